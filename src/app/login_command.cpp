// SPDX-License-Identifier: GPL-2.0-or-later
#include "app/login_command.h"

#include "app/command_line.h"
#include "app/exit_status.h"
#include "config/address.h"
#include "config/read_configuration.h"
#include "oauth/login_credential.h"
#include "platform/program_home.h"

namespace kestrel::app {

namespace {

using oauth::Account;

std::string ProviderKey(Account account) {
  switch (account) {
    case Account::Smtp:
      return "SMTPOAUTH";
    case Account::Pop3:
      return "POPOAUTH";
    case Account::Imap:
      break;
  }
  return "IMAPOAUTH";
}

// Shows the lines of the sides whose accounts log in, so that a sysop who
// logs in to IMAP alone is not told what the sending side lacks.
class ShownSides final : public core::FrontEnd {
 public:
  explicit ShownSides(core::FrontEnd& to) : to_(to) {}
  void Show(core::Side side) { shown_[static_cast<int>(side)] = true; }

  void AppendPaneLine(core::Side side, std::string_view line) override {
    if (shown_[static_cast<int>(side)]) to_.AppendPaneLine(side, line);
  }
  void AppendLine(core::Side side, std::string_view line, core::LineKind kind) override {
    if (shown_[static_cast<int>(side)]) to_.AppendLine(side, line, kind);
  }
  void ClearPane(core::Side side) override { to_.ClearPane(side); }
  void SetField(core::Field field, std::string_view text) override { to_.SetField(field, text); }
  void SetWaitingIndicator(core::Side side, bool waiting) override {
    to_.SetWaitingIndicator(side, waiting);
  }
  [[nodiscard]] bool OnUserInterfaceThread() const override { return to_.OnUserInterfaceThread(); }
  void ProcessPendingWrites() override { to_.ProcessPendingWrites(); }

 private:
  core::FrontEnd& to_;
  bool shown_[2] = {false, false};
};

}  // namespace

int RunLoginCommand(core::FrontEnd& front_end, const std::vector<std::string>& accounts,
                    const std::vector<std::string>& switches, const LoginConsole& console,
                    const std::atomic<bool>& aborted) {
  std::vector<Account> named;
  for (const std::string& word : accounts) {
    const std::optional<Account> account = oauth::AccountNamed(word);
    if (!account) {
      console.problem("kestrel: --login knows smtp, pop and imap, not " + word);
      return kExitUsage;
    }
    named.push_back(*account);
  }
  const std::string file = ParseCommandLine(switches).config_file.value_or("KESTREL.INI");
  ShownSides shown(front_end);
  core::Logger logger(shown, platform::ProgramHome());
  config::Configuration sending;
  config::Configuration receiving;
  bool sending_read = false;
  bool receiving_read = false;
  const auto read = [&] {
    try {
      sending_read = config::ReadConfiguration(core::Side::Sending, file, sending, logger);
      receiving_read = config::ReadConfiguration(core::Side::Receiving, file, receiving, logger);
    } catch (const config::ConversionError&) {
      sending_read = false;
    }
  };
  const auto configuration_of = [&](Account account) -> const config::Configuration& {
    return account == Account::Smtp ? sending : receiving;
  };
  if (named.empty()) {
    read();
    for (const Account account : oauth::kAccounts) {
      if (oauth::UsesOAuth(configuration_of(account), account)) named.push_back(account);
    }
    if (named.empty()) {
      console.problem("** No account has SMTPOAUTH, POPOAUTH or IMAPOAUTH set: nothing to log in");
      return kExitUsage;
    }
  }
  for (const Account account : named) shown.Show(oauth::SideOf(account));
  read();
  int status = kExitSuccess;
  for (const Account account : named) {
    const bool usable = account == Account::Smtp ? sending_read : receiving_read;
    if (!usable || !oauth::UsesOAuth(configuration_of(account), account)) {
      if (usable) console.problem("** " + ProviderKey(account) + " is not set: no login for it");
      status = kExitUsage;
      continue;
    }
    const oauth::LoginOutcome outcome =
        oauth::LogIn(configuration_of(account), account, console.say, aborted, console.open);
    if (!outcome.logged_in) {
      console.problem(outcome.problem);
      if (status == kExitSuccess) status = kExitFailure;
    }
  }
  return status;
}

}  // namespace kestrel::app
