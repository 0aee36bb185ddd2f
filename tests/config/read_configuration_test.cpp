// SPDX-License-Identifier: GPL-2.0-or-later
#include "config/read_configuration.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "config/address.h"
#include "mime/ascii_text.h"
#include "platform/program_home.h"
#include "support/recording_front_end.h"
#include "support/temp_dir.h"

namespace kestrel::config {
namespace {

using core::Side;

// What every sending read below needs besides the keys it looks at.
constexpr const char* kSending = "OUTBOUND /\nHOST h\nFROMEMAIL gate@example.org\n";

class ReadConfigurationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("KESTREL_HOME", home.path().c_str(), 1);
    platform::SetProgramPath("kestrel");
    home.Write("KESTREL.FLT", "@ALL\n");
  }
  void TearDown() override { unsetenv("KESTREL_HOME"); }

  bool Read(Side side, const std::string& ini) {
    home.Write("KESTREL.INI", ini);
    return ReadConfiguration(side, "KESTREL.INI", c, logger);
  }

  testing::TempDir home;
  testing::RecordingFrontEnd front_end;
  core::Logger logger{front_end, home.path()};
  Configuration c;
};

TEST_F(ReadConfigurationTest, ValueFormsAndQuirks) {
  home.MakeDir("c:/bink/outbound");
  home.MakeDir("c:/fido/netmail");
  ASSERT_TRUE(Read(Side::Sending,
                   "outbound = c:\\bink\\outbound\\\r\n"
                   "NETMAIL c:\\fido\\netmail\r\n"
                   "VFIDO=C:\\\n"
                   "SUBJECT Price a=b\n"
                   "FROM=John Q. Public\n"
                   "FROMEMAIL joe@example.org second\n"
                   "HOST relay ; main\n"
                   "; HOST commented\n"
                   "  ;HOST=blank-led comment\n"
                   "[SMTP]\n"
                   "POPSERVER from-the-other-side\n"
                   "MINIMUMBYTES=-5\n"
                   "OURZONE 2\n"
                   "SMTPPORT 2525\n"
                   "FLOWREMAP d:\\files f:\\fido\\files\n"
                   "DISABLECHECK whatever\n"
                   "CONNECTTXT=\"Verbunden mit \" trailing\n"
                   "LOGSIZE=50\n"
                   "BSYAGE 30\n"
                   "FIDOCHARSET cp866\n"
                   "SENDPAUSE=2000\n"));
  // The mailer's directories keep their spelling.
  EXPECT_EQ(c.OUTBOUND, "c:\\bink\\outbound");
  EXPECT_EQ(c.NETMAIL, "c:\\fido\\netmail\\");
  EXPECT_EQ(c.VFIDO, "C:\\\\");
  EXPECT_EQ(c.SUBJECT, "Price a b");
  EXPECT_EQ(c.FROM, "John Q. Public");
  EXPECT_EQ(c.FROMEMAIL, "joe@example.org");
  EXPECT_EQ(c.HOST, "relay");
  EXPECT_EQ(c.POPSERVER, "");
  EXPECT_EQ(c.MINIMUMBYTES, -5);
  EXPECT_EQ(c.OURZONE, 2);
  EXPECT_EQ(c.SMTPPORT, 2525);
  EXPECT_EQ(c.RemapFrom, "D:\\FILES");
  EXPECT_EQ(c.RemapTo, "f:\\fido\\files");
  EXPECT_EQ(c.BSYAGE, 30u);
  EXPECT_TRUE(c.DISABLECHECK);
  EXPECT_EQ(c.CONNECTTXT, "Verbunden mit ");
  EXPECT_EQ(c.LOGSIZE, 50000u);
  EXPECT_EQ(c.FIDOCHARSET, "cp866");
  EXPECT_EQ(c.SENDPAUSE, 2000u);
  // A pause is never negative and at most a minute; an empty charset keeps CP437.
  ASSERT_TRUE(Read(Side::Sending, std::string(kSending) + "SENDPAUSE -3\nFIDOCHARSET\n"));
  EXPECT_EQ(c.SENDPAUSE, 0u);
  EXPECT_EQ(c.FIDOCHARSET, "CP437");
  ASSERT_TRUE(Read(Side::Sending, std::string(kSending) + "SENDPAUSE 9999999\n"));
  EXPECT_EQ(c.SENDPAUSE, 60000u);
  // The bounds of the saved texts, with a unit; a value that is none keeps
  // the bound rather than lift it.
  const std::string receiving = "POPSERVER p\nPOPUSERNAME u\nPOPPASSWORD x\n";
  ASSERT_TRUE(Read(Side::Receiving, receiving + "SAVEDAYS 7\nSAVEMAX 2G\n"));
  EXPECT_EQ(c.SAVEDAYS, 7u);
  EXPECT_EQ(c.SAVEMAX, 2'000'000'000u);
  ASSERT_TRUE(Read(Side::Receiving, receiving + "SAVEMAX 500MB\nSAVEDAYS -1\nSAVEMAX 9k\n"));
  EXPECT_EQ(c.SAVEMAX, 9000u);
  EXPECT_EQ(c.SAVEDAYS, 30u);
  EXPECT_TRUE(front_end.HasLineStartingWith(Side::Receiving,
                                            "** SAVEMAX 500MB is not a number, line ignored"));
  EXPECT_TRUE(front_end.HasLineStartingWith(Side::Receiving,
                                            "** SAVEDAYS -1 is not a number, line ignored"));
}

TEST_F(ReadConfigurationTest, MissingKeysFallBackToDefaultsOnEveryRead) {
  ASSERT_TRUE(
      Read(Side::Sending, std::string(kSending) + "NETTIMEOUT 5\nSUBJECT s\nSENDPAUSE 0\n"));
  EXPECT_EQ(c.NETTIMEOUT, 5);
  ASSERT_TRUE(Read(Side::Sending, std::string(kSending) + "CONNECTTXT CONNECT\n"));
  EXPECT_EQ(c.NETTIMEOUT, 90);
  EXPECT_EQ(c.SUBJECT, "");
  EXPECT_EQ(c.CONNECTTXT, "CONNECTTXT CONNECT");
  EXPECT_EQ(c.LOGSIZE, 0u);
  ASSERT_TRUE(Read(Side::Sending, std::string(kSending) + "BSYAGE -5\n"));
  EXPECT_EQ(c.BSYAGE, 0u);
  EXPECT_EQ(c.SENDPAUSE, 500u);
  // The spool's bounds: a bound of 0 would turn every piece away.
  const std::string receiving = "POPSERVER p\nPOPUSERNAME u\nPOPPASSWORD x\n";
  ASSERT_TRUE(Read(Side::Receiving, receiving + "SPOOLMAXMB 10\nSPOOLMAXSETS 0\nSPOOLSENDERMB -4\n"
                                                "SPOOLSENDERSETS 3\nSPOOLDAYS 2\n"));
  EXPECT_EQ(c.SPOOLMAXMB, 10u);
  EXPECT_EQ(c.SPOOLMAXSETS, 1u);
  EXPECT_EQ(c.SPOOLSENDERMB, 1u);
  EXPECT_EQ(c.SPOOLSENDERSETS, 3u);
  EXPECT_EQ(c.SPOOLDAYS, 2u);
  ASSERT_TRUE(Read(Side::Receiving, receiving));
  EXPECT_EQ(c.SPOOLMAXSETS, Configuration{}.SPOOLMAXSETS);
  EXPECT_EQ(c.SPOOLDAYS, Configuration{}.SPOOLDAYS);
}

TEST_F(ReadConfigurationTest, SideChecksReportTheFirstMissingSetting) {
  EXPECT_FALSE(Read(Side::Sending, "; only comments\n\n"));
  EXPECT_TRUE(
      front_end.HasLine(Side::Sending, "** No Outbound, Netmail or VFIDO directory specified"));
  EXPECT_FALSE(Read(Side::Sending, "OUTBOUND /x\nHOST\n"));
  EXPECT_TRUE(front_end.HasLine(Side::Sending, "** No Hostname defined"));
  EXPECT_FALSE(Read(Side::Sending, "OUTBOUND /\nHOST h\n"));
  EXPECT_TRUE(front_end.HasLine(Side::Sending, "** No FROMEMAIL defined"));
  // The receiving side's lines are its own.
  EXPECT_FALSE(Read(Side::Receiving, "; only comments\n"));
  EXPECT_TRUE(front_end.HasLine(Side::Receiving, "** No POPserver defined"));
  EXPECT_FALSE(Read(Side::Receiving, "POPSERVER p\nPOPPASSWORD x\n"));
  EXPECT_TRUE(front_end.HasLine(Side::Receiving, "** No POPusername defined"));
  EXPECT_FALSE(Read(Side::Receiving, "POPSERVER p\nPOPUSERNAME u\n"));
  EXPECT_TRUE(front_end.HasLine(Side::Receiving, "** No POPpassword defined"));
}

// Each mistake a sysop makes is named, with where it is, and the side
// refuses to work rather than run with what was not meant.
TEST_F(ReadConfigurationTest, MistakesAreNamedAndMakeTheSideUnusable) {
  const std::string receiving = "POPSERVER p\nPOPUSERNAME u\nPOPPASSWORD x\n";
  const std::string at_line_4 = " (unknown key, " + home.path() + "/KESTREL.INI line 4)";
  const std::string line_4 = " (" + home.path() + "/KESTREL.INI line 4)";
  struct Case {
    Side side;
    std::string ini;
    std::string says;
  } cases[] = {
      {Side::Receiving, receiving + "INBUOND /in\n",
       "** INBUOND: did you mean INBOUND?" + at_line_4},
      {Side::Sending, "OUTBOUND /\nHOST h\nOURZONE 2\nFROMEMIAL gate@example.org\n",
       "** FROMEMIAL: did you mean FROMEMAIL?" + at_line_4},
      {Side::Sending, std::string(kSending) + "REDIRCT 2:236/100 a@example.org\n",
       "** REDIRCT: did you mean REDIRECT?" + at_line_4},
      {Side::Sending, std::string(kSending) + "COLOUR blue\n",
       "** COLOUR: unknown key (" + home.path() + "/KESTREL.INI line 4)"},
      {Side::Sending, std::string(kSending) + "REDIRECT 2:236 a@example.org\n",
       "** REDIRECT 2:236 is not a FidoNet address (zone:net/node.point)" + line_4},
      {Side::Sending, std::string(kSending) + "REDIRECT 2:236/1OO a@example.org\n",
       "** REDIRECT 2:236/1OO is not a FidoNet address (zone:net/node.point)" + line_4},
      {Side::Sending, std::string(kSending) + "SMTPTLS maybe\n",
       "** Unknown SMTPTLS mode maybe" + line_4},
      {Side::Receiving, receiving + "POPPORT 99999\n",
       "** POPPORT 99999 is not a port number (1 to 65535)" + line_4},
      {Side::Sending, "OUTBOUND /\nHOST h\nFROMEMAIL gate\n",
       "** FROMEMAIL gate is not an e-mail address"},
      {Side::Sending, "OUTBOUND /nonexistent/kestrel-out\nHOST h\nFROMEMAIL g@example.org\n",
       "** OUTBOUND /nonexistent/kestrel-out cannot be used (No such file or directory)"},
      {Side::Sending, std::string(kSending) + "NETMAIL /etc/passwd\n",
       "** NETMAIL /etc/passwd cannot be used (Not a directory)"},
      {Side::Receiving, receiving + "EMAILARRIVED /nonexistent/flags/arrived\n",
       "** EMAILARRIVED directory /nonexistent/flags cannot be used (No such file or directory)"},
  };
  for (const Case& mistake : cases) {
    front_end.ClearPane(mistake.side);
    EXPECT_FALSE(Read(mistake.side, mistake.ini)) << mistake.says;
    EXPECT_TRUE(front_end.HasLine(mistake.side, mistake.says))
        << mistake.says << "\n"
        << ::testing::PrintToString(front_end.Lines(mistake.side));
  }

  // A tab after a key reads like a blank.
  ASSERT_TRUE(Read(Side::Receiving, "POPSERVER\tp\nPOPUSERNAME \t u\nPOPPASSWORD\tx\n"));
  EXPECT_EQ(c.POPPASSWORD, "x");
  EXPECT_EQ(c.POPUSERNAME, "u");
  // Without a filter file every message would be skipped.
  std::filesystem::remove(home.File("KESTREL.FLT"));
  EXPECT_FALSE(Read(Side::Receiving, receiving));
  EXPECT_TRUE(front_end.HasLine(Side::Receiving, "** No filter file " + home.path() +
                                                     "/KESTREL.FLT: no message would be taken"));
}

TEST_F(ReadConfigurationTest, ReceivingDirectoriesBecomeAbsolute) {
  const auto working_directory = std::filesystem::current_path();
  ASSERT_TRUE(Read(Side::Receiving,
                   "POPSERVER pop.example.org\nPOPUSERNAME u\nPOPPASSWORD p\nPOPPORT 1100\n"
                   "INBOUND in\nSAVEEMAIL /var/mail/saved/\nEMAILARRIVED flag.txt\n"));
  EXPECT_EQ(c.INBOUND, home.path() + "/IN\\");
  EXPECT_EQ(c.SAVEEMAIL, "/VAR/MAIL/SAVED\\");
  EXPECT_EQ(c.EMAILARRIVED, home.path() + "/flag.txt");
  EXPECT_EQ(c.POPPORT, 1100);
  EXPECT_EQ(std::filesystem::current_path(), working_directory);
  // Long paths stay whole, separator included.
  const std::string deep = home.MakeDir(std::string(140, 'd'));
  ASSERT_TRUE(Read(Side::Receiving, "POPSERVER p\nPOPUSERNAME u\nPOPPASSWORD p\nINBOUND " + deep +
                                        "\nSAVEEMAIL " + deep + "/saved\nEMAILARRIVED " + deep +
                                        "/Arrived.Flag\n"));
  EXPECT_EQ(c.INBOUND, mime::UpperCase(deep) + "\\");
  EXPECT_EQ(c.SAVEEMAIL, mime::UpperCase(deep) + "/SAVED\\");
  EXPECT_EQ(c.EMAILARRIVED, deep + "/Arrived.Flag");
}

TEST_F(ReadConfigurationTest, FilesThatCannotDoWhatTheySaySaySo) {
  const std::string receiving = "POPSERVER pop.example.org\nPOPUSERNAME u\nPOPPASSWORD p\n";
  home.Write("KESTREL.FLT", "FORM bob\nFROM alice\nFORM carol\n");
  ASSERT_TRUE(Read(Side::Receiving, receiving));
  const std::string flt = home.path() + "/KESTREL.FLT";
  EXPECT_EQ(front_end.Lines(Side::Receiving),
            (std::vector<std::string>{
                "-- Warning: " + home.path() +
                    "/KESTREL.INI holds a password and can be read by other users (chmod 600)",
                "** Unknown filter keyword FORM in " + flt}));
  ASSERT_EQ(chmod(home.File("KESTREL.INI").c_str(), 0600), 0);
  front_end.ClearPane(Side::Receiving);
  ASSERT_TRUE(ReadConfiguration(Side::Receiving, "KESTREL.INI", c, logger));
  EXPECT_EQ(front_end.Lines(Side::Receiving),
            (std::vector<std::string>{"** Unknown filter keyword FORM in " + flt}));
}

TEST_F(ReadConfigurationTest, MissingFileIsReported) {
  EXPECT_FALSE(ReadConfiguration(Side::Sending, "NOPE.INI", c, logger));
  EXPECT_TRUE(front_end.HasLine(Side::Sending, "-- Error reading configuration " + home.path() +
                                                   "/NOPE.INI (No such file or directory)"));
  EXPECT_TRUE(front_end.HasLine(
      Side::Sending,
      "-- Another home with KESTREL_HOME=directory, or another file with /CFG:file"));
  EXPECT_FALSE(ReadConfiguration(Side::Receiving, "NOPE.INI", c, logger));
}

TEST_F(ReadConfigurationTest, BadZoneEndsTheReadWithAConversionError) {
  try {
    Read(Side::Sending, "OUTBOUND /x\nOURZONE\nHOST h\n");
    ADD_FAILURE() << "no ConversionError";
  } catch (const ConversionError& error) {
    EXPECT_EQ(std::string(error.what()),
              "'' is not a valid integer value (OURZONE) (" + home.path() + "/KESTREL.INI line 2)");
  }
  EXPECT_EQ(c.OUTBOUND, "/x");
  EXPECT_THROW(Read(Side::Sending, "OURZONE 2x\n"), ConversionError);
  EXPECT_NO_THROW(Read(Side::Receiving, "OURZONE bad\n"));  // not a key of that side
}

TEST_F(ReadConfigurationTest, RedirectsAccumulateOnceAndFollowTheTextMode) {
  const std::string ini = std::string(kSending) +
                          "OURZONE 2\n"
                          "SENDTXT\n"
                          "REDIRECT 236/100 joe@example.org Joe Sysop\n"
                          "REDIRECT=2:236/101 ann@example.org\n"
                          "SENDPKT\n"
                          "REDIRECT 2:236/102.5 bob@example.org  Bob  B.\n";
  ASSERT_TRUE(Read(Side::Sending, ini));
  ASSERT_TRUE(Read(Side::Sending, ini));
  const RedirectTable& r = c.Redirects;
  ASSERT_EQ(r.RedirectCount(), 3);
  EXPECT_EQ(r.Entry(1).Address, "2:236/100.0");
  EXPECT_EQ(r.Entry(1).EmailAddress, "joe@example.org");
  EXPECT_EQ(r.Entry(1).Name, "Joe Sysop");
  EXPECT_TRUE(r.Entry(1).SendAsText);
  EXPECT_EQ(r.Entry(2).Name, "");
  EXPECT_TRUE(r.Entry(2).SendAsText);
  EXPECT_EQ(r.Entry(3).Address, "2:236/102.5");
  EXPECT_EQ(r.Entry(3).Name, "Bob  B.");
  EXPECT_FALSE(r.Entry(3).SendAsText);
  EXPECT_EQ(r.FindRedirect("2:236/101.0"), 2);
  EXPECT_EQ(r.FindRedirect("2:236/100.00"), 0);
  EXPECT_EQ(r.FindRedirect("2:236/0100.0"), 0);
}

// A hub's thousand links, every line of them.
TEST_F(ReadConfigurationTest, EveryRedirectLineOfAHubCounts) {
  std::string ini = std::string(kSending) + "OURZONE 2\n";
  for (int i = 1; i <= 1000; ++i) ini += "REDIRECT 1/" + std::to_string(i) + " a@b\n";
  ASSERT_TRUE(Read(Side::Sending, ini));
  EXPECT_EQ(c.Redirects.RedirectCount(), 1000);
  EXPECT_EQ(c.Redirects.IgnoredCount(), 0);
  EXPECT_EQ(c.Redirects.FindRedirect("2:1/1000.0"), 1000);
}

TEST_F(ReadConfigurationTest, FilterFileIsLoadedWithTheReceivingSide) {
  home.Write("KESTREL.FLT",
             "; filters\n@ALL\nFROM  joe@example.org\nsubject fido mail\nXMAILER x\nTO t\n"
             "UNKNOWN y\n");
  ASSERT_TRUE(Read(Side::Receiving, "POPSERVER p\nPOPUSERNAME u\nPOPPASSWORD x\n"));
  EXPECT_TRUE(c.Filters.AcceptAll);
  EXPECT_EQ(c.Filters.From, std::vector<std::string>{"JOE@EXAMPLE.ORG"});
  EXPECT_EQ(c.Filters.Subject, std::vector<std::string>{"FIDO MAIL"});
  EXPECT_EQ(c.Filters.XMailer.size(), 1u);
  EXPECT_EQ(c.Filters.To.size(), 1u);

  std::string many;
  for (int i = 0; i < 60; ++i) many += "TO t" + std::to_string(i) + "\n";
  home.Write("KESTREL.FLT", many);
  ASSERT_TRUE(Read(Side::Receiving, "POPSERVER p\nPOPUSERNAME u\nPOPPASSWORD x\n"));
  EXPECT_FALSE(c.Filters.AcceptAll);
  EXPECT_EQ(c.Filters.To.size(), kMaxToFilters);
}

}  // namespace
}  // namespace kestrel::config

namespace kestrel::config {
namespace {

// A front end like the window's: a pane line from another thread waits until
// the user-interface thread (the one that made the front end) takes it, for at
// most five seconds.
class HandOverFrontEnd : public testing::RecordingFrontEnd {
 public:
  void AppendPaneLine(Side side, std::string_view line) override {
    if (OnUserInterfaceThread()) {
      RecordingFrontEnd::AppendPaneLine(side, line);
      return;
    }
    std::unique_lock lock(mutex_);
    pending_.emplace_back(side, std::string(line));
    changed_.notify_all();
    if (!changed_.wait_for(lock, std::chrono::seconds(5), [&] { return pending_.empty(); })) {
      gave_up_ = true;
      pending_.clear();
    }
  }
  [[nodiscard]] bool OnUserInterfaceThread() const override {
    return std::this_thread::get_id() == ui_thread_;
  }
  void ProcessPendingWrites() override {
    std::lock_guard guard(mutex_);
    for (const auto& [side, line] : pending_) RecordingFrontEnd::AppendPaneLine(side, line);
    pending_.clear();
    changed_.notify_all();
  }

  bool WaitForHandOver() {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::seconds(5), [&] { return !pending_.empty(); });
  }
  [[nodiscard]] bool GaveUp() {
    std::lock_guard guard(mutex_);
    return gave_up_;
  }

 private:
  const std::thread::id ui_thread_ = std::this_thread::get_id();
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::pair<Side, std::string>> pending_;
  bool gave_up_ = false;
};

TEST_F(ReadConfigurationTest, ClickWaitsOutAPollThatLogsMidRead) {
  HandOverFrontEnd window;
  core::Logger window_logger{window, home.path()};
  home.Write("KESTREL.INI", "; nothing to send with\n");
  std::thread poll([&] {
    Configuration polled;
    (void)ReadConfiguration(Side::Sending, "KESTREL.INI", polled, window_logger);
  });
  // The poll holds the read while its line waits for this thread.
  EXPECT_TRUE(window.WaitForHandOver());
  EXPECT_FALSE(ReadConfiguration(Side::Sending, "KESTREL.INI", c, window_logger));
  poll.join();
  EXPECT_FALSE(window.GaveUp());
  EXPECT_EQ(window.Lines(Side::Sending).size(), 2u);
}

TEST_F(ReadConfigurationTest, SecureConnectionKeys) {
  ASSERT_TRUE(Read(Side::Sending,
                   "OUTBOUND /\nHOST smtp.example.net\nFROMEMAIL g@example.net\nSMTPPORT 587\n"
                   "SMTPTLS starttls\n"
                   "SMTPUSERNAME gate@example.net\nSMTPPASSWORD pw\n"
                   "SMTPTOKENCOMMAND oauth-helper --account gate@example.net --scope mail\n"
                   "CAFILE /etc/ssl/private ca.pem\n"));
  EXPECT_EQ(c.SMTPTLS, TlsMode::StartTls);
  EXPECT_EQ(c.SMTPUSERNAME, "gate@example.net");
  EXPECT_EQ(c.SMTPTOKENCOMMAND, "oauth-helper --account gate@example.net --scope mail");
  EXPECT_EQ(c.CAFILE, "/etc/ssl/private ca.pem");

  ASSERT_TRUE(Read(Side::Sending, std::string(kSending) + "SMTPTLS SSL\n"));
  EXPECT_EQ(c.SMTPTLS, TlsMode::Implicit);
  ASSERT_TRUE(Read(Side::Sending, kSending));
  EXPECT_EQ(c.SMTPTLS, TlsMode::None);
  EXPECT_EQ(c.CAFILE, "");

  // A password command stands in for POPPASSWORD.
  ASSERT_TRUE(
      Read(Side::Receiving,
           "POPSERVER p\nPOPUSERNAME u\nPOPTLS IMPLICIT\nPOPPASSWORDCOMMAND pass show pop\n"));
  EXPECT_EQ(c.POPTLS, TlsMode::Implicit);
  EXPECT_EQ(c.POPPASSWORDCOMMAND, "pass show pop");
  EXPECT_FALSE(Read(Side::Receiving, "POPSERVER p\nPOPUSERNAME u\nPOPPASSWORD x\nPOPTLS yes\n"));
  EXPECT_TRUE(front_end.HasLineStartingWith(Side::Receiving, "** Unknown POPTLS mode yes ("));
}

TEST_F(ReadConfigurationTest, OAuthProviderKeys) {
  const std::string imap = "IMAPSERVER i\nIMAPUSERNAME gate@example.org\n";
  ASSERT_TRUE(Read(Side::Receiving, imap + "IMAPOAUTH Microsoft\nOAUTHCLIENTID app-1\n"
                                           "OAUTHTOKENURL https://127.0.0.1:9/token\n"
                                           "OAUTHSCOPE a b\n"));
  EXPECT_EQ(c.IMAPOAUTH, OAuthProvider::Microsoft);
  EXPECT_EQ(c.OAUTHCLIENTID, "app-1");
  EXPECT_EQ(c.OAUTHTOKENURL, "https://127.0.0.1:9/token");
  EXPECT_EQ(c.OAUTHSCOPE, "a b");
  ASSERT_TRUE(Read(Side::Receiving, imap + "IMAPPASSWORD x\n"));
  EXPECT_EQ(c.IMAPOAUTH, OAuthProvider::None);

  struct Case {
    Side side;
    std::string ini;
    std::string says;
  } cases[] = {
      {Side::Receiving, imap + "IMAPOAUTH yahoo\nOAUTHCLIENTID a\n",
       "** Unknown IMAPOAUTH provider yahoo (microsoft, google or custom) (" + home.path() +
           "/KESTREL.INI line 3)"},
      {Side::Receiving, imap + "IMAPOAUTH google\n",
       "** No OAUTHCLIENTID defined (IMAPOAUTH needs the application's client id)"},
      {Side::Receiving, "POPSERVER p\nPOPUSERNAME u\nPOPOAUTH custom\nOAUTHCLIENTID a\n",
       "** POPOAUTH custom needs OAUTHTOKENURL"},
      {Side::Sending, std::string(kSending) + "SMTPOAUTH google\nOAUTHCLIENTID a\n",
       "** No user name defined (SMTPOAUTH logs in as it)"},
  };
  for (const Case& mistake : cases) {
    front_end.ClearPane(mistake.side);
    EXPECT_FALSE(Read(mistake.side, mistake.ini)) << mistake.says;
    EXPECT_TRUE(front_end.HasLine(mistake.side, mistake.says))
        << mistake.says << "\n"
        << ::testing::PrintToString(front_end.Lines(mistake.side));
  }
}

}  // namespace
}  // namespace kestrel::config
