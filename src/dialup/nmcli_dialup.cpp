// SPDX-License-Identifier: GPL-2.0-or-later
#include "dialup/nmcli_dialup.h"

#include <atomic>
#include <map>
#include <mutex>
#include <set>
#include <thread>

#include "dialup/program_runner.h"

namespace kestrel::dialup {
namespace {

// Listing profiles is quick; a client that hangs is treated as absent.
constexpr auto kListLimit = std::chrono::seconds(10);
// Bringing a profile up may take as long as a modem dials.
constexpr auto kUpLimit = std::chrono::seconds(600);
constexpr auto kDownLimit = std::chrono::seconds(30);

// Splits one line of terse output at unescaped ":" and removes the escapes.
std::vector<std::string> TerseFields(const std::string& line) {
  std::vector<std::string> fields(1);
  for (std::size_t i = 0; i < line.size(); ++i) {
    const char c = line[i];
    if (c == '\\' && i + 1 < line.size()) {
      fields.back() += line[++i];
    } else if (c == ':') {
      fields.emplace_back();
    } else if (c != '\r') {
      fields.back() += c;
    }
  }
  return fields;
}

// NetworkManager's connection types that are dial-up links.
bool IsDialUpType(const std::string& type) {
  static const std::set<std::string> kDialUpTypes = {"gsm", "cdma", "pppoe", "bluetooth"};
  return kDialUpTypes.count(type) != 0;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < text.size()) {
    auto end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    if (end > start) lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

class NmcliBackend : public DialBackend {
 public:
  ~NmcliBackend() override {
    cancel_ = true;
    for (auto& thread : threads_) thread.join();
  }

  std::optional<std::vector<std::string>> EnumEntries() override {
    auto result = RunProgram({"nmcli", "-t", "-f", "NAME", "connection", "show"}, kListLimit);
    if (!result.started || result.exit_code != 0) return std::nullopt;
    std::vector<std::string> names;
    for (const std::string& line : Lines(result.output)) names.push_back(TerseFields(line)[0]);
    return names;
  }

  std::optional<std::vector<ActiveConnection>> EnumConnections() override {
    auto result = RunProgram(
        {"nmcli", "-t", "-f", "NAME,TYPE,DEVICE", "connection", "show", "--active"}, kListLimit);
    if (!result.started || result.exit_code != 0) return std::nullopt;
    std::vector<ActiveConnection> active;
    for (const std::string& line : Lines(result.output)) {
      auto fields = TerseFields(line);
      fields.resize(3);
      active.push_back({NmcliHandle(fields[0]), fields[0], fields[1], fields[2],
                        IsDialUpType(fields[1]) || Dialled(fields[0])});
      Remember(fields[0], IsDialUpType(fields[1]));
    }
    return active;
  }

  // NetworkManager keeps the secrets itself; there is nothing to read or store.
  std::optional<DialParams> GetEntryDialParams(const std::string& entry) override {
    DialParams params;
    params.entry_name = entry;
    params.has_password = true;
    return params;
  }
  bool SetEntryDialParams(const DialParams&) override { return true; }

  std::optional<ConnectionHandle> Dial(const DialParams& params, DialEventSink sink) override {
    const std::string name = params.entry_name;
    Remember(name, true);
    {
      std::lock_guard guard(NamesMutex());
      Dialled().insert(name);
    }
    std::uint64_t attempt = 0;
    {
      std::lock_guard guard(attempts_mutex_);
      attempt = ++attempts_;
      live_attempt_[name] = attempt;
    }
    threads_.emplace_back([this, name, attempt, sink = std::move(sink)] {
      auto result = RunProgram({"nmcli", "connection", "up", "id", name}, kUpLimit, &cancel_);
      // An attempt hung up meanwhile (a connect time-out before a redial)
      // reports nothing: its late answer is not the redial's.
      std::lock_guard guard(attempts_mutex_);
      const auto live = live_attempt_.find(name);
      if (cancel_ || live == live_attempt_.end() || live->second != attempt) return;
      if (result.started && result.exit_code == 0) {
        sink({kStateConnected, 0});
      } else {
        sink({0, kErrorDialFailed});
      }
    });
    return NmcliHandle(name);
  }

  bool HangUp(ConnectionHandle handle) override {
    const std::string name = NameOf(handle);
    {
      std::lock_guard guard(attempts_mutex_);
      live_attempt_.erase(name);
    }
    if (name.empty() || !MayHangUp(handle)) return false;
    auto result = RunProgram({"nmcli", "connection", "down", "id", name}, kDownLimit);
    return result.started && result.exit_code == 0;
  }

  // NetworkManager shows no window per connection.
  WindowSearch MinimizeWindow(const std::string&) override { return WindowSearch::NoWindows; }

 private:
  static std::mutex& NamesMutex() {
    static std::mutex mutex;
    return mutex;
  }
  struct Known {
    std::string name;
    bool dial_up = false;
  };
  static std::map<ConnectionHandle, Known>& Names() {
    static std::map<ConnectionHandle, Known> names;
    return names;
  }
  // Profiles this process brought up itself.
  static std::set<std::string>& Dialled() {
    static std::set<std::string> dialled;
    return dialled;
  }
  static bool Dialled(const std::string& name) {
    std::lock_guard guard(NamesMutex());
    return Dialled().count(name) != 0;
  }
  static void Remember(const std::string& name, bool dial_up) {
    std::lock_guard guard(NamesMutex());
    Known& known = Names()[NmcliHandle(name)];
    known.name = name;
    known.dial_up = known.dial_up || dial_up;
  }
  static bool MayHangUp(ConnectionHandle handle) {
    std::lock_guard guard(NamesMutex());
    auto it = Names().find(handle);
    return it != Names().end() && (it->second.dial_up || Dialled().count(it->second.name) != 0);
  }
  static std::string NameOf(ConnectionHandle handle) {
    std::lock_guard guard(NamesMutex());
    auto it = Names().find(handle);
    return it == Names().end() ? std::string() : it->second.name;
  }

  std::atomic<bool> cancel_{false};
  std::vector<std::thread> threads_;
  // The attempt whose events still count, by profile name; taken while an
  // event is handed on, so none arrives after its attempt was hung up.
  std::mutex attempts_mutex_;
  std::map<std::string, std::uint64_t> live_attempt_;
  std::uint64_t attempts_ = 0;
};

}  // namespace

ConnectionHandle NmcliHandle(const std::string& profile_name) {
  // FNV-1a: stable across runs, so a handle always names the same profile.
  std::uint64_t hash = 1469598103934665603ull;
  for (unsigned char c : profile_name) {
    hash ^= c;
    hash *= 1099511628211ull;
  }
  return hash == kNoConnection ? hash - 1 : hash;
}

std::unique_ptr<DialBackend> MakeNmcliBackend() {
  return std::make_unique<NmcliBackend>();
}

}  // namespace kestrel::dialup
