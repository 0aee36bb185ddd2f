// SPDX-License-Identifier: GPL-2.0-or-later
// The program itself, run without a window: exit status, stop by signal,
// untouched outbound when the server cannot be reached.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>

#include "net/sha256.h"
#include "platform/error_text.h"
#include "receive/partial/partial_spool.h"
#include "support/dead_process.h"
#include "support/fake_nmcli.h"
#include "support/fido_files.h"
#include "support/mail_servers.h"
#include "support/program_path.h"
#include "support/system_user.h"
#include "support/temp_dir.h"

namespace kestrel::testing {
namespace {

namespace fs = std::filesystem;

// A server that takes connections and never says a word.
class SilentServer {
 public:
  SilentServer() : fd_(testing::ListenOnLoopback(4, port_)) {}
  ~SilentServer() { close(fd_); }
  [[nodiscard]] std::uint16_t port() const { return port_; }

 private:
  std::uint16_t port_ = 0;  // before fd_: the listener fills it in
  int fd_ = -1;
};

class ConsoleRunTest : public ::testing::Test {
 protected:
  void SetUp() override {
    program_ = ProgramPath();
    if (!fs::exists(program_)) GTEST_SKIP() << "the program is not built: " << program_;
    home_.MakeDir("home");
    home_.MakeDir("inbound");
    home_.Write("home/KESTREL.FLT", "@ALL\n");
    // A packet waiting for the redirected node 2:236/200.
    PacketHeader header;
    header.orig_node = 100;
    header.dest_node = 200;
    header.dest_net = 236;
    packet_ = EncodePacket(header, {});
    home_.Write("outbound/00ec00c8.out", packet_);
  }

  void WriteConfiguration(std::uint16_t smtp_port, std::uint16_t pop_port, int timeout) {
    home_.Write("home/KESTREL.INI",
                "OURZONE 2\nOUTBOUND " + home_.File("outbound") + "\nHOST 127.0.0.1\nSMTPPORT " +
                    std::to_string(smtp_port) +
                    "\nFROMEMAIL sysop@example.org\nREDIRECT 236/200 node@example.org Node\n"
                    "POPSERVER 127.0.0.1\nPOPPORT " +
                    std::to_string(pop_port) + "\nPOPUSERNAME fido\nPOPPASSWORD secret\nINBOUND " +
                    home_.File("inbound") + "\nNETTIMEOUT " + std::to_string(timeout) + "\n");
  }

  CommandResult Run(const std::vector<std::string>& arguments) {
    std::vector<std::string> argv = {"/usr/bin/env", "KESTREL_HOME=" + home_.File("home"), program_,
                                     "--console"};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    return RunCommand(argv, 60s);
  }

  std::string program_;
  TempDir home_;
  std::string packet_;
};

TEST_F(ConsoleRunTest, UnreachableServersEndNonZeroAndTouchNothing) {
  const std::uint16_t closed = FreeLoopbackPort();
  WriteConfiguration(closed, closed, 10);
  const CommandResult result = Run({"/AUTO", "/SHUTDOWN"});
  EXPECT_NE(result.exit_code, 0) << result.output;
  EXPECT_NE(result.exit_code, -1) << result.output;
  EXPECT_EQ(home_.Read("outbound/00ec00c8.out"), packet_);
  // Every pane line is printed whole, marked with its side.
  bool saw_send = false;
  bool saw_get = false;
  std::size_t start = 0;
  const std::string& out = result.output;
  while (start < out.size()) {
    const std::size_t end = out.find('\n', start);
    const std::string line = out.substr(start, end - start);
    EXPECT_TRUE(line.starts_with("[out] ") || line.starts_with("[in]  ")) << line;
    saw_send |= line.starts_with("[out] ");
    saw_get |= line.starts_with("[in]  ");
    if (end == std::string::npos) break;
    start = end + 1;
  }
  EXPECT_TRUE(saw_send);
  EXPECT_TRUE(saw_get);
  EXPECT_NE(home_.Read("home/SEND.LOG").find("-- Logfile closed"), std::string::npos);
  EXPECT_NE(home_.Read("home/RECEIVE.LOG").find("-- Logfile closed"), std::string::npos);
}

TEST_F(ConsoleRunTest, UnusableConfigurationEndsNonZero) {
  home_.Write("home/KESTREL.INI", "HOST 127.0.0.1\n");
  const CommandResult result = Run({"/SEND"});
  EXPECT_EQ(result.exit_code, 2) << result.output;
  EXPECT_NE(result.output.find("[out] ** No Outbound, Netmail or VFIDO directory specified"),
            std::string::npos)
      << result.output;
}

// The spool of split messages changes only at the sysop's word: a list, a set
// handed to the inbound as it is, a set removed; a name that is not one
// single set, or a word the command does not know, changes nothing.
TEST_F(ConsoleRunTest, PiecesAreListedDeliveredAndRemovedAtTheSysopsWord) {
  WriteConfiguration(FreeLoopbackPort(), FreeLoopbackPort(), 10);
  const receive::PartialSpool spool(home_.File("home") + "/KESTREL.SPL/",
                                    receive::SpoolLimitsOf({}));
  const auto plant = [&](const std::string& sender, const std::string& id, std::uint32_t number,
                         const std::string& data) {
    std::string error;
    const auto piece = spool.Begin(error);
    ASSERT_TRUE(piece && piece->Write(data) && piece->Finish()) << error;
    EXPECT_EQ(spool.Place(*piece, sender, {id, number, 3}, *net::Sha256Hex(data)).how,
              receive::Placing::Kept);
  };
  plant("node100@example.org", "kept@example.org", 1, "first piece\r\n");
  plant("node100@example.org", "kept@example.org", 3, "third piece\r\n");
  plant("mallory@example.net", "gone@example.org", 2, "stranger\r\n");
  std::vector<receive::PartialSet> sets = spool.Sets();
  ASSERT_EQ(sets.size(), 2u);
  if (sets[0].id != "kept@example.org") std::swap(sets[0], sets[1]);

  CommandResult result = Run({"--pieces"});
  EXPECT_EQ(result.exit_code, 0);
  EXPECT_NE(result.output.find(sets[0].Name() + "  2 of 3 (1,3), 26 bytes, since "),
            std::string::npos)
      << result.output;
  EXPECT_NE(result.output.find("gone@example.org from mallory@example.net"), std::string::npos);
  EXPECT_EQ(Run({"--pieces", "frob"}).exit_code, 2);
  EXPECT_EQ(Run({"--pieces", "remove", "zz"}).exit_code, 1);
  EXPECT_EQ(spool.Sets().size(), 2u);

  result = Run({"--pieces", "deliver", sets[0].ShortName()});
  EXPECT_EQ(result.exit_code, 0) << result.output;
  const std::string file = "inbound/" + sets[0].Name().substr(0, 8) + ".EML";
  EXPECT_EQ(home_.Read(file), "first piece\r\nthird piece\r\n");
  result = Run({"--pieces", "remove", sets[1].Name().substr(0, 6)});
  EXPECT_EQ(result.exit_code, 0) << result.output;
  EXPECT_TRUE(spool.Sets().empty());
  const std::string log = home_.Read("home/RECEIVE.LOG");
  EXPECT_NE(log.find("-- Delivered the pieces of kept@example.org from node100@example.org"),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("-- Removed the pieces of gone@example.org"), std::string::npos);
}

TEST_F(ConsoleRunTest, ReportRunsCheckAndSendsNothing) {
  WriteConfiguration(FreeLoopbackPort(), FreeLoopbackPort(), 10);
  const CommandResult result = Run({"/REPORT"});
  EXPECT_EQ(result.exit_code, 0) << result.output;
  EXPECT_FALSE(fs::exists(home_.File("home/SEND.LOG")));
  EXPECT_EQ(home_.Read("outbound/00ec00c8.out"), packet_);
}

// An outbound the program may read but not change: the packet goes once, and
// no run mails it again while it cannot be deleted; once the outbound can be
// written the next run tidies it, and the packet queued again after that,
// even of the same size and time, goes anew.
TEST_F(ConsoleRunTest, AConfirmedPacketThatCannotBeDeletedIsMailedOnce) {
  const auto user = UnprivilegedUser("kestrelftn");
  if (!user || !fs::exists("/usr/bin/setpriv")) GTEST_SKIP() << "needs root and setpriv";
  SmtpServer smtp;
  ASSERT_TRUE(smtp.running());
  WriteConfiguration(smtp.port(), FreeLoopbackPort(), 10);
  ASSERT_EQ(chmod(home_.path().c_str(), 0755), 0);
  for (const auto& item : fs::recursive_directory_iterator(home_.File("home")))
    ASSERT_EQ(chown(item.path().c_str(), user->uid, user->gid), 0);
  ASSERT_EQ(chown(home_.File("home").c_str(), user->uid, user->gid), 0);
  const std::string packet = home_.File("outbound/00ec00c8.out");
  struct stat queued {};
  ASSERT_EQ(stat(packet.c_str(), &queued), 0);
  const auto run = [&](const char* command) {
    return RunCommand({"/usr/bin/setpriv", "--reuid=" + std::to_string(user->uid),
                       "--regid=" + std::to_string(user->gid), "--clear-groups", "/usr/bin/env",
                       "KESTREL_HOME=" + home_.File("home"), program_, "--console", command},
                      60s, /*merge_stderr=*/true);
  };
  struct Step {
    const char* command;
    int exit_code;
    std::string says;
    std::size_t mailed;
  } steps[] = {
      {"/SEND", 1, "-- Could not delete " + packet + ": " + platform::ErrorText(EACCES), 1},
      {"/SEND", 1, "-- Could not delete " + packet + ": " + platform::ErrorText(EACCES), 1},
      {"/REPORT", 0, packet + " went to 2:236/200.0 on ", 1},
      {"/SEND", 0, "-- Deleting: " + packet, 1},
      {"/SEND", 0, "-- Sent " + packet, 2},
  };
  for (const Step& step : steps) {
    if (&step == &steps[3]) {
      ASSERT_EQ(chmod(home_.File("outbound").c_str(), 0777), 0);
    }
    if (&step == &steps[4]) {
      home_.Write("outbound/00ec00c8.out", packet_);
      const timespec times[2] = {queued.st_mtim, queued.st_mtim};
      ASSERT_EQ(utimensat(AT_FDCWD, packet.c_str(), times, 0), 0);
    }
    const CommandResult result = run(step.command);
    const std::string at = std::string(step.command) + " #" + std::to_string(&step - steps);
    EXPECT_EQ(result.exit_code, step.exit_code) << at << "\n" << result.output;
    EXPECT_NE(result.output.find(step.says), std::string::npos) << at << "\n" << result.output;
    smtp.WaitForMessages(step.mailed, 2s);
    EXPECT_EQ(smtp.Messages().size(), step.mailed) << at;
  }
  EXPECT_FALSE(fs::exists(packet));
}

// A node held by a busy flag says who holds it and since when; a hold of over
// an hour is a problem, which a quiet run shows on standard error.
TEST_F(ConsoleRunTest, HeldNodesSayByWhomAndLongHoldsAreProblems) {
  const std::uint16_t closed = FreeLoopbackPort();
  WriteConfiguration(closed, closed, 10);
  const pid_t ended = EndedProcessId();
  struct Case {
    std::string content;
    int age_minutes;
    int exit_code;
    std::string quiet_says;  // empty: a quiet run prints nothing
    std::string log_says;
  } cases[] = {
      // A mailer of another host: held, by design, until untouched for 10 minutes.
      {std::to_string(ended) + "\n", 0, 0, "",
       "--   Holder: process " + std::to_string(ended) + " not running here, since "},
      {"", 120, 1, "[out] -- 2:236/200.0 held for over an hour: no process id, since ",
       "-- 2:236/200.0 held for over an hour: no process id, since "},
  };
  for (const Case& c : cases) {
    const std::string flag = home_.Write("outbound/00ec00c8.bsy", c.content);
    const timeval touched[2] = {{std::time(nullptr) - c.age_minutes * 60, 0},
                                {std::time(nullptr) - c.age_minutes * 60, 0}};
    ASSERT_EQ(utimes(flag.c_str(), touched), 0);
    fs::remove(home_.File("home/SEND.LOG"));
    const CommandResult result = RunCommand({"/usr/bin/env", "KESTREL_HOME=" + home_.File("home"),
                                             program_, "--console", "/SEND", "/QUIET"},
                                            60s, /*merge_stderr=*/true);
    EXPECT_EQ(result.exit_code, c.exit_code) << result.output;
    if (c.quiet_says.empty()) {
      EXPECT_EQ(result.output, "");
    } else {
      EXPECT_NE(result.output.find(c.quiet_says), std::string::npos) << result.output;
    }
    EXPECT_NE(home_.Read("home/SEND.LOG").find(c.log_says), std::string::npos)
        << home_.Read("home/SEND.LOG");
    EXPECT_EQ(home_.Read("outbound/00ec00c8.out"), packet_);
  }
}

// Each outcome as cron sees it: the exit status, the line that says why (on
// standard error when the run failed), and nothing changed in the outbound or
// the mailbox.
TEST_F(ConsoleRunTest, EveryOutcomeHasItsStatusAndItsReason) {
  SmtpServerOptions starttls_first;
  starttls_first.starttls = starttls_first.require_starttls = true;
  SmtpServer wants_starttls(starttls_first);
  SmtpServerOptions refusing;
  refusing.refuse_recipients = {"node@example.org"};
  SmtpServer refuses_node(refusing);
  Pop3Server pop3;
  ASSERT_TRUE(wants_starttls.running() && refuses_node.running() && pop3.running());
  pop3.AddMessage("From: a@example.org\r\nSubject: x\r\n\r\nbody\r\n");
  home_.Write("home/KESTREL.FLT", "@ALL\n");
  const std::uint16_t closed = FreeLoopbackPort();
  const std::string report_ini = home_.File("home/auto/point.ini");
  struct Case {
    const char* name;
    std::vector<std::string> args;
    std::uint16_t smtp_port;
    std::string more_ini;  // appended: a later line wins
    int exit_code;
    std::string says;
  } cases[] = {
      {"misspelt switch", {"/SNED"}, closed, "", 2, "kestrel: /SNED is no switch"},
      {"nothing to do", {}, closed, "", 2, "--console needs a switch"},
      {"short option", {"-h"}, closed, "", 2, "kestrel: -h is no switch"},
      {"/AUTO inside a /CFG: path",
       {"/REPORT", "/CFG:" + report_ini},
       closed,
       "",
       0,
       "00ec00c8.out"},
      {"sender refused",
       {"/SEND"},
       wants_starttls.port(),
       "",
       1,
       "--   Sender refused, file kept for the next run (530"},
      {"recipient refused",
       {"/SEND"},
       refuses_node.port(),
       "",
       1,
       "--   Recipient refused, file kept for the next run (node@example.org)"},
      {"server unreachable", {"/SEND"}, closed, "", 1, "-- Could not connect (Connection refused)"},
      {"wrong password", {"/GET"}, closed, "POPPASSWORD wrong\n", 1, "-- Login refused: -ERR"},
      {"inbound missing",
       {"/GET"},
       closed,
       "INBOUND /nonexistent/kestrel-inbound\n",
       1,
       "/nonexistent/kestrel-inbound cannot be used (No such file or directory)"},
      {"save directory missing",
       {"/GET"},
       closed,
       "SAVEEMAIL /nonexistent/kestrel-save\n",
       2,
       "/nonexistent/kestrel-save cannot be written (No such file or directory), nothing taken"},
      {"misspelt key",
       {"/GET"},
       closed,
       "INBUOND /tmp\n",
       2,
       "[in]  ** INBUOND: did you mean INBOUND? (unknown key, "},
      {"malformed redirect",
       {"/SEND"},
       closed,
       "REDIRECT 2:236/1OO node@example.org\n",
       2,
       "[out] ** REDIRECT 2:236/1OO is not a FidoNet address (zone:net/node.point)"},
      {"port out of range",
       {"/GET"},
       closed,
       "POPPORT 99999\n",
       2,
       "** POPPORT 99999 is not a port number (1 to 65535)"},
      {"port not a number",
       {"/SEND"},
       closed,
       "SMTPPORT 11O\n",
       2,
       "** SMTPPORT 11O is not a port number (1 to 65535)"},
      {"names before the address",
       {"/REPORT"},
       closed,
       "REDIRECT 2:236/300 Ann Node ann@example.org\n",
       0,
       "** REDIRECT 2:236/300: 'Ann' is not an e-mail address, line ignored"},
      {"missing configuration",
       {"/CFG:nope.ini", "/SEND"},
       closed,
       "",
       2,
       "-- Error reading configuration " + home_.File("home") +
           "/NOPE.INI (No such file or directory)"},
      {"no dial-up backend",
       {"/GET"},
       closed,
       "AUTODIAL 1\n",
       1,
       "-- No dialup networking installed"},
  };
  for (const Case& c : cases) {
    WriteConfiguration(c.smtp_port, pop3.port(), 10);
    const std::string ini = home_.Read("home/KESTREL.INI") + c.more_ini;
    home_.Write("home/KESTREL.INI", ini);
    home_.Write("home/auto/point.ini", ini);
    // A failed run says why on standard error alone, /QUIET or not.
    const bool failing = c.exit_code != 0;
    std::vector<std::string> argv = {"/usr/bin/env", "KESTREL_HOME=" + home_.File("home"), program_,
                                     "--console"};
    if (failing) argv.insert(argv.begin(), {"/bin/sh", "-c", "\"$@\" 2>&1 >/dev/null", "sh"});
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    const CommandResult result = RunCommand(argv, 60s, /*merge_stderr=*/!failing);
    EXPECT_EQ(result.exit_code, c.exit_code) << c.name << "\n" << result.output;
    // Letter case aside: the program shows some paths upper-cased.
    const auto upper = [](std::string text) {
      for (char& ch : text) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
      return text;
    };
    EXPECT_NE(upper(result.output).find(upper(c.says)), std::string::npos) << c.name << "\n"
                                                                           << result.output;
    EXPECT_EQ(home_.Read("outbound/00ec00c8.out"), packet_) << c.name;
    EXPECT_EQ(pop3.RemainingMessages().size(), 1u) << c.name;
  }
  EXPECT_TRUE(wants_starttls.Messages().empty());
  EXPECT_EQ(home_.Read("home/SEND.LOG").find("-> RCPT TO:<node@example.org>\r\n-> "),
            std::string::npos);
}

// SIGTERM runs Exit's steps while the job waits for a silent server.
void ExpectTerminationEndsStalledJob(const std::string& program, const std::string& home,
                                     const std::string& command, const std::string& log_name) {
  ChildProcess child;
  ASSERT_TRUE(child.Start({"/usr/bin/env", "KESTREL_HOME=" + home, program, "--console", command},
                          true, ""));
  bool waiting = false;
  for (int i = 0; i < 100 && !waiting; ++i) {
    auto line = child.ReadStdoutLine(200ms);
    waiting = line && line->find("-- Connecting") != std::string::npos;
  }
  ASSERT_TRUE(waiting) << command;
  std::this_thread::sleep_for(500ms);
  const auto start = std::chrono::steady_clock::now();
  ASSERT_EQ(kill(child.pid(), SIGTERM), 0);
  int status = 0;
  pid_t done = 0;
  while (done == 0 && std::chrono::steady_clock::now() - start < 15s) {
    done = waitpid(child.pid(), &status, WNOHANG);
    if (done == 0) std::this_thread::sleep_for(20ms);
  }
  ASSERT_EQ(done, child.pid()) << command;
  EXPECT_LT(std::chrono::steady_clock::now() - start, 7s) << command;
  ASSERT_TRUE(WIFEXITED(status)) << command;
  EXPECT_NE(WEXITSTATUS(status), 0) << command;  // the job was aborted
  std::string log;
  {
    std::ifstream in(home + "/" + log_name, std::ios::binary);
    log.assign(std::istreambuf_iterator<char>(in), {});
  }
  const auto aborted = log.find("-- Aborted, shutting down...");
  ASSERT_NE(aborted, std::string::npos) << log;
  EXPECT_NE(log.find("-- Logfile closed", aborted), std::string::npos) << log;
}

TEST_F(ConsoleRunTest, TerminationDuringAStalledServerEndsTheJobAndClosesItsLog) {
  SilentServer server;
  WriteConfiguration(server.port(), server.port(), 60);
  ExpectTerminationEndsStalledJob(program_, home_.File("home"), "/GET", "RECEIVE.LOG");
  ExpectTerminationEndsStalledJob(program_, home_.File("home"), "/SEND", "SEND.LOG");
  EXPECT_EQ(home_.Read("outbound/00ec00c8.out"), packet_);
}

TEST_F(ConsoleRunTest, HangupAndShutdownHangUpEveryConnection) {
  const FakeNmcli nmcli(home_);
  home_.Write("nm/active", "Wired connection 1:802-3-ethernet:eth0\nProvider:gsm:ttyUSB0\n");
  const CommandResult result = RunCommand({"/usr/bin/env", "KESTREL_HOME=" + home_.File("home"),
                                           program_, "--console", "/HANGUP", "/SHUTDOWN"},
                                          30s);
  EXPECT_EQ(result.exit_code, 0) << result.output;
  EXPECT_EQ(result.output, "[in]  -- Hanging up: Provider\n");
  EXPECT_EQ(home_.Read("nm/active"), "Wired connection 1:802-3-ethernet:eth0\n");
}

TEST_F(ConsoleRunTest, StatusLineOnlyOnATerminal) {
  if (!fs::exists("/usr/bin/script")) GTEST_SKIP() << "no script(1) for a terminal";
  SilentServer server;
  WriteConfiguration(server.port(), server.port(), 2);
  const std::string command =
      "KESTREL_HOME=" + home_.File("home") + " " + program_ + " --console /GET";
  // script(1) gives the program a terminal as its standard output.
  const CommandResult on_terminal =
      RunCommand({"/usr/bin/script", "-qfec", command, "/dev/null"}, 30s);
  EXPECT_NE(on_terminal.output.find("\r\033[K"), std::string::npos) << on_terminal.output;
  EXPECT_NE(on_terminal.output.find("in: (net)"), std::string::npos) << on_terminal.output;
  const CommandResult plain = Run({"/GET"});
  EXPECT_EQ(plain.output.find('\033'), std::string::npos) << plain.output;
  EXPECT_NE(plain.output.find("[in]  -- Connecting"), std::string::npos) << plain.output;
}

// The whole round against real servers: /AUTO /SHUTDOWN sends the packet and
// ends with 0; the delivered mail, put into the POP3 mailbox, comes back
// into the inbound byte for byte.
TEST_F(ConsoleRunTest, AutoShutdownRoundTripWithRealServers) {
  SmtpServer smtp;
  ASSERT_TRUE(smtp.running()) << smtp.ServerLog();
  Pop3Server pop3;
  ASSERT_TRUE(pop3.running()) << pop3.ServerLog();
  WriteConfiguration(smtp.port(), pop3.port(), 20);
  home_.Write("home/KESTREL.FLT", "@ALL\n");

  const CommandResult first = Run({"/AUTO", "/SHUTDOWN"});
  EXPECT_EQ(first.exit_code, 0) << first.output;
  ASSERT_TRUE(smtp.WaitForMessages(1));
  EXPECT_FALSE(fs::exists(home_.File("outbound/00ec00c8.out")));  // sent, then deleted
  for (const char* log : {"home/SEND.LOG", "home/RECEIVE.LOG"}) {
    const std::string text = home_.Read(log);
    std::size_t sections = 0;
    for (auto at = text.find("-- Logfile opened"); at != std::string::npos;
         at = text.find("-- Logfile opened", at + 1))
      ++sections;
    EXPECT_EQ(sections, 1u) << log;
    EXPECT_NE(text.find("-- Done\r\n-- Logfile closed"), std::string::npos) << text;
  }
  EXPECT_NE(first.output.find("[in]  -- AUTOMATIC SHUTDOWN"), std::string::npos);

  pop3.AddMessage(smtp.Messages().at(0));
  const CommandResult second = Run({"/GET", "/SHUTDOWN"});
  EXPECT_EQ(second.exit_code, 0) << second.output;
  std::vector<std::string> arrived;
  for (const auto& entry : fs::directory_iterator(home_.File("inbound"))) {
    arrived.push_back(entry.path().filename().string());
  }
  ASSERT_EQ(arrived.size(), 1u) << second.output;
  EXPECT_EQ(home_.Read("inbound/" + arrived[0]), packet_);
  EXPECT_TRUE(pop3.RemainingMessages().empty());
}

}  // namespace
}  // namespace kestrel::testing
