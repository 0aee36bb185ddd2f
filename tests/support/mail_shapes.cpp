// SPDX-License-Identifier: GPL-2.0-or-later
#include "support/mail_shapes.h"

#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include "support/mail_servers.h"

namespace kestrel::testing {
namespace {

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::vector<std::string> Fields(const std::string& line) {
  std::vector<std::string> fields;
  std::istringstream in(line);
  std::string field;
  while (std::getline(in, field, '\t')) fields.push_back(field);
  return fields;
}

}  // namespace

std::optional<MailShapes> MakeMailShapes(const std::string& directory,
                                         const std::vector<std::string>& arguments,
                                         std::string& error) {
  const std::string out = directory + "/mail-shapes";
  std::filesystem::remove_all(out);
  std::vector<std::string> argv = {"/usr/bin/python3",
                                   KESTREL_SOURCE_DIR "/tests/servers/mail_shapes.py", out};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  const CommandResult result = RunCommand(argv, 120s, true);
  if (result.exit_code != 0) {
    error = result.output;
    return std::nullopt;
  }
  MailShapes shapes;
  std::map<std::string, std::size_t> index;
  std::ifstream manifest(out + "/manifest.tsv");
  std::string line;
  while (std::getline(manifest, line)) {
    const std::vector<std::string> f = Fields(line);
    if (f.size() == 3 && f[0] == "message") {
      index[f[1]] = shapes.mails.size();
      shapes.mails.push_back({ReadFile(out + "/" + f[1]), f[2]});
    } else if (f.size() == 4 && f[0] == "file") {
      shapes.files.push_back({index.at(f[1]), f[2], ReadFile(out + "/expected/" + f[3])});
    } else if (f.size() == 1 && f[0] == "joined") {
      ++shapes.joined;
    } else if (f.size() == 3 && f[0] == "existing") {
      shapes.existing.push_back({0, f[1], ReadFile(out + "/expected/" + f[2])});
    }
  }
  if (shapes.mails.empty()) error = "no mails in " + out + "/manifest.tsv";
  if (shapes.mails.empty()) return std::nullopt;
  return shapes;
}

}  // namespace kestrel::testing
