// SPDX-License-Identifier: GPL-2.0-or-later
// What must be on disk before the server may drop a message: the program's
// system calls, traced by strace, show that the attachment got its name and
// the inbound directory was synced before "DELE" went out, so a power cut
// right after cannot take back a file whose mail is already gone.

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

TEST(Durability, AttachmentNameIsSyncedBeforeTheServerMayDropTheMail) {
  const std::string program = testing::ProgramPath();
  if (!fs::exists(program)) GTEST_SKIP() << "the program is not built: " << program;
  if (!fs::exists(kStrace)) GTEST_SKIP() << "strace is not installed";
  FidoWorld world(1);
  testing::Pop3Server pop3;
  ASSERT_TRUE(pop3.running()) << pop3.ServerLog();
  world.WriteConfiguration(1, pop3.port(), kNetTimeoutSeconds);
  pop3.AddMessage(MessageWithAttachment("FILE.BIN", "QUJD"));

  const std::string trace = world.Path("trace.txt");
  const testing::CommandResult result = testing::RunCommand(
      {kStrace, "-f", "-qq", "-e", "trace=openat,fsync,link,rename,sendto,write", "-o", trace,
       // The leak checker cannot work under a tracer.
       "/usr/bin/env", "ASAN_OPTIONS=detect_leaks=0", "KESTREL_HOME=" + world.Home(), program,
       "--console", "/GET"});
  ASSERT_EQ(result.exit_code, 0) << result.output;
  ASSERT_EQ(world.dir().Read("fido/inbound/FILE.BIN"), "ABC");
  EXPECT_TRUE(pop3.RemainingMessages().empty());

  // The order of the calls that matter.
  const std::vector<std::string> lines = Lines(ReadAll(trace));
  const std::string inbound = world.Path("fido/inbound");
  // The directory opened for its sync, and synced at once.
  const std::regex directory_open("openat\\(AT_FDCWD, \"" + inbound +
                                  "/?\", O_RDONLY[^)]*O_DIRECTORY[^)]*\\) = ([0-9]+)");
  std::size_t named = 0;
  std::size_t synced = 0;
  std::size_t dele = 0;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const std::string& line = lines[i];
    std::smatch match;
    if ((line.find("link(") != std::string::npos || line.find("rename(") != std::string::npos) &&
        line.find("/FILE.BIN\"") != std::string::npos && named == 0) {
      named = i + 1;
    } else if (named != 0 && synced == 0 && i + 1 < lines.size() &&
               std::regex_search(line, match, directory_open) &&
               lines[i + 1].find("fsync(" + match[1].str() + ")") != std::string::npos) {
      synced = i + 2;
    } else if (line.find("DELE 1") != std::string::npos && dele == 0) {
      dele = i + 1;
    }
  }
  ASSERT_NE(named, 0u) << "the attachment never got its name";
  ASSERT_NE(dele, 0u) << "no DELE was sent";
  EXPECT_NE(synced, 0u) << "the inbound directory was never synced";
  EXPECT_LT(named, synced);
  EXPECT_LT(synced, dele);
}

}  // namespace
}  // namespace kestrel::faults
