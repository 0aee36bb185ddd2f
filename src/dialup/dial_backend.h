// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// The dial-up interface the dialling routines work through: phonebook entries,
// active connections, stored dial parameters, dialling with asynchronous
// events, hang-up, and the connect window. A backend is loaded for each
// routine and released when it ends; none loads where dial-up is not installed.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace kestrel::dialup {

using ConnectionHandle = std::uint64_t;
// The handle value that means "no connection".
inline constexpr ConnectionHandle kNoConnection = ~ConnectionHandle{0};

// The state a dial event reports when the connection is up.
inline constexpr std::uint32_t kStateConnected = 8192;
// The error a dial event carries when the line is busy.
inline constexpr std::int32_t kErrorLineBusy = 676;
// The error of a dial that failed otherwise (no answer, refused, carrier lost).
inline constexpr std::int32_t kErrorNoAnswer = 678;
inline constexpr std::int32_t kErrorDialFailed = 651;

struct ActiveConnection {
  ConnectionHandle handle = kNoConnection;
  std::string entry_name;
  std::string device_type;
  std::string device_name;
  // A dial-up connection (or one this program dialled): only such are ever
  // hung up by "all connections"; a LAN, Wi-Fi or VPN link never is.
  bool dial_up = true;
};

struct DialParams {
  std::string entry_name;
  std::string phone_number;
  std::string callback_number;
  std::string user_name;
  std::string password;
  std::string domain;
  bool has_password = false;  // the entry has a stored password
};

// One notification of a dial in progress: its state, and an error code (0 when
// none).
struct DialEvent {
  std::uint32_t state = 0;
  std::int32_t error = 0;
};
// Called from any thread while the dial runs.
using DialEventSink = std::function<void(const DialEvent&)>;

enum class WindowSearch { Found, NotFound, NoWindows };

class DialBackend {
 public:
  virtual ~DialBackend() = default;
  // The phonebook entries in the order the system lists them; nothing when
  // the phonebook cannot be read.
  [[nodiscard]] virtual std::optional<std::vector<std::string>> EnumEntries() = 0;
  [[nodiscard]] virtual std::optional<std::vector<ActiveConnection>> EnumConnections() = 0;
  [[nodiscard]] virtual std::optional<DialParams> GetEntryDialParams(const std::string& entry) = 0;
  [[nodiscard]] virtual bool SetEntryDialParams(const DialParams& params) = 0;
  // Starts dialling; the handle of the pending connection, or nothing when the
  // dial is refused at once. Events reach `sink` until the backend is released
  // or the connection hung up.
  [[nodiscard]] virtual std::optional<ConnectionHandle> Dial(const DialParams& params,
                                                             DialEventSink sink) = 0;
  virtual bool HangUp(ConnectionHandle handle) = 0;
  // Minimises the top-level window with exactly this caption. NoWindows: the
  // backend shows no connect windows at all.
  virtual WindowSearch MinimizeWindow(const std::string& caption) = 0;
};

// The backend chosen by the environment: KESTREL_DIALUP=nmcli uses
// NetworkManager; otherwise dial-up is not installed and nothing is returned.
[[nodiscard]] std::unique_ptr<DialBackend> LoadDialBackend();

// Installs a loader for tests, which LoadDialBackend then calls instead; an
// empty function restores the environment's choice.
using BackendLoader = std::function<std::unique_ptr<DialBackend>()>;
void SetDialBackendLoaderForTesting(BackendLoader loader);

}  // namespace kestrel::dialup
