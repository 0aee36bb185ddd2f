// SPDX-License-Identifier: GPL-2.0-or-later
#include "support/simulated_dialup.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "core/text_utils.h"
#include "platform/files.h"

namespace kestrel::testing {
namespace {

using dialup::ActiveConnection;
using dialup::ConnectionHandle;
using dialup::DialBackend;
using dialup::DialEventSink;
using dialup::DialParams;
using dialup::kErrorLineBusy;
using dialup::kNoConnection;
using dialup::kStateConnected;
using dialup::WindowSearch;

// A phonebook is a small hand-written file.
constexpr std::size_t kMaxPhonebookBytes = 64 * 1024;
// How soon a busy line or a refused carrier is reported.
constexpr auto kBusySignalDelay = std::chrono::milliseconds(50);

enum class Behaviour { Connect, Busy, NoAnswer, Refused, Online };

struct SimEntry {
  std::string name;
  Behaviour behaviour = Behaviour::Connect;
  int seconds = 0;
  bool password = false;
  bool no_params = false;
};

struct Phonebook {
  bool broken = false;
  std::vector<SimEntry> entries;
  std::vector<std::string> windows;
};

std::string Trim(std::string_view text) {
  const auto first = text.find_first_not_of(" \t\r\n");
  if (first == std::string_view::npos) return {};
  const auto last = text.find_last_not_of(" \t\r\n");
  return std::string(text.substr(first, last - first + 1));
}

std::vector<std::string> SplitBars(const std::string& text) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  for (;;) {
    const auto bar = text.find('|', start);
    parts.push_back(Trim(std::string_view(text).substr(start, bar - start)));
    if (bar == std::string::npos) break;
    start = bar + 1;
  }
  return parts;
}

Phonebook ReadPhonebook(const std::string& file) {
  Phonebook book;
  auto content = platform::ReadFilePrefix(file, kMaxPhonebookBytes);
  if (!content) {
    book.broken = true;
    return book;
  }
  std::size_t start = 0;
  while (start < content->size()) {
    auto end = content->find('\n', start);
    if (end == std::string::npos) end = content->size();
    const std::string line = Trim(std::string_view(*content).substr(start, end - start));
    start = end + 1;
    if (line.empty() || line[0] == '#') continue;
    if (line == "broken") {
      book.broken = true;
    } else if (line.rfind("window ", 0) == 0) {
      book.windows.push_back(line.substr(7));
    } else if (line.rfind("entry ", 0) == 0) {
      auto parts = SplitBars(line.substr(6));
      SimEntry entry;
      entry.name = parts[0];
      for (std::size_t i = 1; i < parts.size(); ++i) {
        const std::string& part = parts[i];
        if (part.rfind("connect", 0) == 0) {
          entry.behaviour = Behaviour::Connect;
          entry.seconds = core::TextToInt(Trim(std::string_view(part).substr(7)));
        } else if (part == "busy") {
          entry.behaviour = Behaviour::Busy;
        } else if (part == "noanswer") {
          entry.behaviour = Behaviour::NoAnswer;
        } else if (part == "refused") {
          entry.behaviour = Behaviour::Refused;
        } else if (part == "online") {
          entry.behaviour = Behaviour::Online;
        } else if (part == "password") {
          entry.password = true;
        } else if (part == "noparams") {
          entry.no_params = true;
        }
      }
      book.entries.push_back(entry);
    }
  }
  return book;
}

// The simulated system: one per process.
struct SimConnection {
  ConnectionHandle handle = kNoConnection;
  std::string entry;
  bool connected = false;
};

struct SimSystem {
  std::mutex mutex;
  std::string phonebook_file;  // whose "online" entries were put up
  std::vector<SimConnection> connections;
  ConnectionHandle next_handle = 0x1000;
  SimulatedRecord history;
};

SimSystem& System() {
  static SimSystem system;
  return system;
}

class SimulatedBackend : public DialBackend {
 public:
  explicit SimulatedBackend(Phonebook book, const std::string& file) : book_(std::move(book)) {
    SimSystem& system = System();
    std::lock_guard guard(system.mutex);
    if (system.phonebook_file != file) {
      system.phonebook_file = file;
      for (const SimEntry& entry : book_.entries) {
        if (entry.behaviour != Behaviour::Online) continue;
        system.connections.push_back({system.next_handle++, entry.name, true});
      }
    }
  }

  ~SimulatedBackend() override {
    {
      std::lock_guard guard(mutex_);
      released_ = true;
    }
    wake_.notify_all();
    for (auto& thread : threads_) thread.join();
  }

  std::optional<std::vector<std::string>> EnumEntries() override {
    if (book_.broken) return std::nullopt;
    std::vector<std::string> names;
    for (const SimEntry& entry : book_.entries) names.push_back(entry.name);
    return names;
  }

  std::optional<std::vector<ActiveConnection>> EnumConnections() override {
    if (book_.broken) return std::nullopt;
    SimSystem& system = System();
    std::lock_guard guard(system.mutex);
    std::vector<ActiveConnection> active;
    for (const SimConnection& connection : system.connections) {
      if (connection.connected)
        active.push_back({connection.handle, connection.entry, "modem", "Simulated modem"});
    }
    return active;
  }

  std::optional<DialParams> GetEntryDialParams(const std::string& name) override {
    const SimEntry* entry = Find(name);
    if (!entry || entry->no_params) return std::nullopt;
    DialParams params;
    params.entry_name = name;
    params.user_name = "fido";
    params.has_password = entry->password;
    if (entry->password) params.password = "secret";
    return params;
  }

  bool SetEntryDialParams(const DialParams& params) override {
    SimSystem& system = System();
    std::lock_guard guard(system.mutex);
    system.history.params_stored.push_back(params.entry_name);
    return true;
  }

  std::optional<ConnectionHandle> Dial(const DialParams& params, DialEventSink sink) override {
    const SimEntry* entry = Find(params.entry_name);
    if (!entry || entry->behaviour == Behaviour::Refused) return std::nullopt;
    SimSystem& system = System();
    ConnectionHandle handle;
    {
      std::lock_guard guard(system.mutex);
      handle = system.next_handle++;
      system.connections.push_back({handle, entry->name, false});
      system.history.dialled.push_back(entry->name);
    }
    const SimEntry dialled = *entry;
    threads_.emplace_back(
        [this, dialled, handle, sink = std::move(sink)] { Answer(dialled, handle, sink); });
    return handle;
  }

  bool HangUp(ConnectionHandle handle) override {
    SimSystem& system = System();
    std::lock_guard guard(system.mutex);
    auto& connections = system.connections;
    for (auto it = connections.begin(); it != connections.end(); ++it) {
      if (it->handle != handle) continue;
      system.history.hung_up.push_back(it->entry);
      connections.erase(it);
      return true;
    }
    return false;
  }

  WindowSearch MinimizeWindow(const std::string& caption) override {
    for (const std::string& window : book_.windows) {
      if (window != caption) continue;
      SimSystem& system = System();
      std::lock_guard guard(system.mutex);
      system.history.minimized.push_back(caption);
      return WindowSearch::Found;
    }
    return WindowSearch::NotFound;
  }

 private:
  const SimEntry* Find(const std::string& name) const {
    for (const SimEntry& entry : book_.entries) {
      if (entry.name == name) return &entry;
    }
    return nullptr;
  }

  // True when the backend was released during the pause.
  bool Pause(std::chrono::milliseconds pause) {
    std::unique_lock lock(mutex_);
    return wake_.wait_for(lock, pause, [&] { return released_; });
  }

  void Answer(const SimEntry& entry, ConnectionHandle handle, const DialEventSink& sink) {
    switch (entry.behaviour) {
      case Behaviour::Busy:
        if (!Pause(kBusySignalDelay)) sink({0, kErrorLineBusy});
        return;
      case Behaviour::Connect: {
        if (Pause(std::chrono::seconds(entry.seconds))) return;
        SimSystem& system = System();
        {
          std::lock_guard guard(system.mutex);
          bool pending = false;
          for (SimConnection& connection : system.connections) {
            if (connection.handle == handle) {
              connection.connected = true;
              pending = true;
            }
          }
          if (!pending) return;  // hung up before it answered
        }
        sink({kStateConnected, 0});
        return;
      }
      default:
        return;  // never answers
    }
  }

  Phonebook book_;
  std::mutex mutex_;
  std::condition_variable wake_;
  bool released_ = false;
  std::vector<std::thread> threads_;
};

}  // namespace

void UseSimulatedPhonebook(const std::string& phonebook_file) {
  dialup::SetDialBackendLoaderForTesting([phonebook_file]() -> std::unique_ptr<DialBackend> {
    return std::make_unique<SimulatedBackend>(ReadPhonebook(phonebook_file), phonebook_file);
  });
}

SimulatedRecord SimulatedHistory() {
  SimSystem& system = System();
  std::lock_guard guard(system.mutex);
  return system.history;
}

void ResetSimulatedDialup() {
  dialup::SetDialBackendLoaderForTesting({});
  SimSystem& system = System();
  std::lock_guard guard(system.mutex);
  system.phonebook_file.clear();
  system.connections.clear();
  system.history = {};
}

}  // namespace kestrel::testing
