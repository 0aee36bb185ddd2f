// SPDX-License-Identifier: GPL-2.0-or-later
// What must be on disk before the server may drop a message: the program's
// system calls, traced by strace, show that each attachment of a batch got
// its name, the inbound directory was synced and the journal entries were
// synced before the message's "DELE" went out, so a power cut right after
// cannot take back a file whose mail is already gone, nor let it in twice.

#include <gtest/gtest.h>

#include <regex>
#include <sstream>

#include "fido_world.h"
#include "support/program_path.h"

namespace kestrel::faults {
namespace {

constexpr const char* kStrace = "/usr/bin/strace";
constexpr int kNetTimeoutSeconds = 10;

std::string MessageWithAttachment(const std::string& name, const std::string& base64) {
  return "From: node100@example.org\r\nTo: gate@example.org\r\nSubject: file\r\n"
         "MIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=\"b1\"\r\n\r\n"
         "--b1\r\nContent-Type: text/plain\r\n\r\nA file.\r\n"
         "--b1\r\nContent-Type: application/octet-stream; name=" +
         name + "\r\nContent-Transfer-Encoding: base64\r\n\r\n" + base64 + "\r\n--b1--\r\n";
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// The first line from `from` on that matches, or 0; numbered from 1.
template <typename Match>
std::size_t FirstFrom(const std::vector<std::string>& lines, std::size_t from, Match match) {
  for (std::size_t i = from; i < lines.size(); ++i) {
    if (match(i)) return i + 1;
  }
  return 0;
}

TEST(Durability, AttachmentNamesAndJournalAreSyncedBeforeTheServerMayDropTheMail) {
  constexpr int kMessages = 3;
  const std::string program = testing::ProgramPath();
  if (!fs::exists(program)) GTEST_SKIP() << "the program is not built: " << program;
  if (!fs::exists(kStrace)) GTEST_SKIP() << "strace is not installed";
  FidoWorld world(1);
  testing::Pop3Server pop3;
  ASSERT_TRUE(pop3.running()) << pop3.ServerLog();
  world.WriteConfiguration(1, pop3.port(), kNetTimeoutSeconds);
  for (int k = 1; k <= kMessages; ++k) {
    pop3.AddMessage(MessageWithAttachment("FILE" + std::to_string(k) + ".BIN", "QUJD"));
  }

  const std::string trace = world.Path("trace.txt");
  const testing::CommandResult result =
      testing::RunCommand({kStrace, "-f", "-qq", "-e",
                           "trace=openat,fsync,fdatasync,link,rename,sendto,write", "-o", trace,
                           // The leak checker cannot work under a tracer.
                           "/usr/bin/env", "ASAN_OPTIONS=detect_leaks=0",
                           "KESTREL_HOME=" + world.Home(), program, "--console", "/GET"});
  ASSERT_EQ(result.exit_code, 0) << result.output;
  ASSERT_EQ(world.dir().Read("fido/inbound/FILE1.BIN"), "ABC");
  EXPECT_TRUE(pop3.RemainingMessages().empty());

  // The order of the calls that matter.
  const std::vector<std::string> lines = Lines(ReadAll(trace));
  const std::string inbound = world.Path("fido/inbound");
  // A directory or the journal opened for its sync, and synced at once.
  const std::regex directory_open("openat\\(AT_FDCWD, \"" + inbound +
                                  "/?\", O_RDONLY[^)]*O_DIRECTORY[^)]*\\) = ([0-9]+)");
  const std::regex journal_open(
      "openat\\(AT_FDCWD, \"[^\"]*\\.JNL\", [^)]*\\) = ([0-9]+)");
  const auto synced_after = [&lines](const std::regex& open, const std::string& sync) {
    return [&lines, &open, sync](std::size_t i) {
      std::smatch match;
      if (!std::regex_search(lines[i], match, open)) return false;
      for (std::size_t next = i + 1; next < lines.size() && next < i + 4; ++next) {
        if (lines[next].find(sync + "(" + match[1].str() + ")") != std::string::npos) return true;
      }
      return false;
    };
  };
  for (int k = 1; k <= kMessages; ++k) {
    const std::string file = "/FILE" + std::to_string(k) + ".BIN\"";
    const std::size_t named = FirstFrom(lines, 0, [&](std::size_t i) {
      return (lines[i].find("link(") != std::string::npos ||
              lines[i].find("rename(") != std::string::npos) &&
             lines[i].find(file) != std::string::npos;
    });
    const std::size_t dele = FirstFrom(lines, 0, [&](std::size_t i) {
      return lines[i].find("DELE " + std::to_string(k)) != std::string::npos;
    });
    ASSERT_NE(named, 0u) << file << " never got its name";
    ASSERT_NE(dele, 0u) << "no DELE " << k << " was sent";
    const std::size_t synced = FirstFrom(lines, named, synced_after(directory_open, "fsync"));
    ASSERT_NE(synced, 0u) << "the inbound directory was never synced after " << file;
    const std::size_t journal = FirstFrom(lines, synced, synced_after(journal_open, "fdatasync"));
    ASSERT_NE(journal, 0u) << "the journal was never synced after " << file;
    EXPECT_LT(journal, dele) << file;
  }
}

}  // namespace
}  // namespace kestrel::faults
