// SPDX-License-Identifier: GPL-2.0-or-later
#include "oauth/token_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include "platform/file_names.h"
#include "platform/files.h"
#include "platform/program_home.h"
#include "platform/unique_fd.h"

namespace kestrel::oauth {

namespace {

using nlohmann::json;

// A token file holds two tokens of a few kilobytes each.
constexpr std::size_t kMaxTokenFileBytes = 64 * 1024;
constexpr mode_t kOthersMayRead = S_IRWXG | S_IRWXO;

bool FileNameCharacter(char ch) {
  return (ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z') || (ch >= '0' && ch <= '9') ||
         ch == '@' || ch == '.' || ch == '-' || ch == '_' || ch == '+';
}

}  // namespace

std::string TokenFileName(Account account, const std::string& user) {
  std::string name = "oauth-" + std::string(AccountWord(account)) + "-";
  for (const char ch : user) name += FileNameCharacter(ch) ? ch : '_';
  return platform::ResolveName(platform::HomeFile(name + ".token"));
}

LoadedTokens LoadTokens(const std::string& file_name) {
  LoadedTokens loaded;
  struct stat info {};
  bool ours = false;
  {
    const platform::UniqueFd fd(open(file_name.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
    if (!fd) {
      loaded.state = errno == ENOENT ? TokenFileState::Missing : TokenFileState::Unreadable;
      return loaded;
    }
    ours = fstat(fd.get(), &info) == 0 && S_ISREG(info.st_mode) && info.st_uid == geteuid();
  }
  if (!ours) {
    loaded.state = TokenFileState::Unreadable;
    return loaded;
  }
  if ((info.st_mode & kOthersMayRead) != 0) {
    loaded.state = TokenFileState::OpenToOthers;
    return loaded;
  }
  std::string content;
  if (platform::ReadBoundedFile(file_name, 1, kMaxTokenFileBytes, content) !=
      platform::ReadOutcome::Ok) {
    loaded.state = TokenFileState::Unreadable;
    return loaded;
  }
  const json object = json::parse(content, nullptr, /*allow_exceptions=*/false);
  const auto text = [&object](const char* name) {
    const auto found = object.find(name);
    return found != object.end() && found->is_string() ? found->get<std::string>() : std::string();
  };
  if (object.is_discarded() || !object.is_object() || text("refresh_token").empty()) {
    loaded.state = TokenFileState::Unreadable;
    return loaded;
  }
  loaded.tokens.refresh_token = text("refresh_token");
  loaded.tokens.access_token = text("access_token");
  const auto expires = object.find("expires_at");
  if (expires != object.end() && expires->is_number_integer())
    loaded.tokens.expires_at = expires->get<std::int64_t>();
  loaded.state = TokenFileState::Loaded;
  return loaded;
}

bool SaveTokens(const std::string& file_name, const StoredTokens& tokens) {
  // The replacement takes the old file's mode: one others could read is
  // closed first, before it gets the new tokens.
  struct stat info {};
  if (lstat(file_name.c_str(), &info) == 0 && (info.st_mode & kOthersMayRead) != 0 &&
      chmod(file_name.c_str(), S_IRUSR | S_IWUSR) != 0)
    return false;
  json object = {{"refresh_token", tokens.refresh_token},
                 {"access_token", tokens.access_token},
                 {"expires_at", tokens.expires_at}};
  return platform::ReplaceFileContent(file_name, object.dump() + "\n");
}

std::string TokenFileProblem(TokenFileState state, const std::string& file_name, Account account) {
  const std::string login = "kestrel --login " + std::string(AccountWord(account));
  switch (state) {
    case TokenFileState::OpenToOthers:
      return "** Token file " + file_name + " can be read by other users: not used (run " + login +
             " again, its tokens may have been seen)";
    case TokenFileState::Missing:
      return "** No " + std::string(AccountLabel(account)) + " login yet: run " + login;
    case TokenFileState::Unreadable:
    case TokenFileState::Loaded:
      break;
  }
  return "** Token file " + file_name + " cannot be read: run " + login;
}

}  // namespace kestrel::oauth
