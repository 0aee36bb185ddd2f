// SPDX-License-Identifier: GPL-2.0-or-later
// The login from the window: the Setup button's context menu runs the device
// flow on a worker against the scripted authorization server, shows its lines
// in the incoming pane, hands the device page to the browser and saves the
// token file, while the window goes on serving events.
#include <gtest/gtest.h>

#include <QAction>
#include <QPlainTextEdit>
#include <QPushButton>
#include <chrono>
#include <string>
#include <vector>

#include "app/controller.h"
#include "gui/main_window.h"
#include "gui/run_window.h"
#include "oauth/token_file.h"
#include "platform/program_home.h"
#include "pump_until.h"
#include "support/oauth_server.h"
#include "support/program_home_at.h"
#include "support/temp_dir.h"

namespace kestrel::gui {
namespace {

using namespace std::chrono_literals;

TEST(WindowLoginTest, SetupMenuLoginRunsTheDeviceFlowAndSavesTheTokens) {
  testing::OAuthServerOptions options;
  options.device = "pending,ok";
  const testing::OAuthServer auth(options);
  ASSERT_TRUE(auth.running());
  testing::TempDir home;
  const testing::ProgramHomeAt at(home.path());
  home.MakeDir("inbound");
  home.Write(platform::ProgramBaseName() + ".FLT", "@ALL\n");
  home.Write("KESTREL.INI",
             "IMAPSERVER 127.0.0.1\nIMAPUSERNAME gate@example.org\nIMAPOAUTH "
             "custom\nNETTIMEOUT 10\nINBOUND " +
                 home.File("inbound") + "\n" + auth.ConfigurationLines(true));
  const std::string file = oauth::TokenFileName(oauth::Account::Imap, "gate@example.org");

  TKestrel window;
  std::vector<std::string> opened;
  window.SetAddressOpener([&opened](const std::string& address) { opened.push_back(address); });
  app::Controller controller(window.front_end(), window.dispatcher());
  BindWindow(window, controller);
  auto* setup = window.findChild<QPushButton*>("SetupButton");
  ASSERT_EQ(setup->contextMenuPolicy(), Qt::ActionsContextMenu);
  auto* login = setup->findChild<QAction*>(kLoginActionName);
  ASSERT_NE(login, nullptr);

  login->trigger();
  // The flow waits on its worker; the click has returned at once.
  EXPECT_TRUE(controller.LoginRunning());
  login->trigger();  // a second one while the first waits starts nothing

  ASSERT_TRUE(PumpUntil([&] { return !controller.LoginRunning(); }, 60s));
  const std::string shown =
      window.findChild<QPlainTextEdit*>("GetActivity")->toPlainText().toStdString();
  EXPECT_NE(shown.find("To log in the IMAP account gate@example.org, open " +
                       auth.Url("/activate") + " and enter the code KES-TREL"),
            std::string::npos)
      << shown;
  EXPECT_NE(shown.find("-- IMAP login of gate@example.org saved in " + file), std::string::npos)
      << shown;
  for (const char* secret : {"device-secret", "access-", "refresh-"})
    EXPECT_EQ(shown.find(secret), std::string::npos) << shown;
  EXPECT_EQ(opened, std::vector<std::string>{auth.Url("/activate")});
  EXPECT_EQ(oauth::LoadTokens(file).tokens.refresh_token, "refresh-1");
  EXPECT_TRUE(window.findChild<QPlainTextEdit*>("SendActivity")->toPlainText().isEmpty());
}

}  // namespace
}  // namespace kestrel::gui
