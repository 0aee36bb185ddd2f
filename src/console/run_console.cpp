// SPDX-License-Identifier: GPL-2.0-or-later
#include "console/run_console.h"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "console/console_front_end.h"

namespace kestrel::console {
namespace {

// The console loop's wait for work when nothing else wakes it.
constexpr auto kLoopWait = std::chrono::milliseconds(1000);

sigset_t ExitSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  return set;
}

// Waits for SIGINT or SIGTERM on a thread of its own and hands Exit to the
// user-interface thread; a signal that arrives after the end is ignored.
class SignalWatcher {
 public:
  explicit SignalWatcher(app::Controller& controller) : controller_(controller) {
    thread_ = std::thread([this] { Watch(); });
  }
  ~SignalWatcher() {
    done_ = true;
    // Wakes sigwait; the signal is ours and is swallowed by Watch.
    pthread_kill(thread_.native_handle(), SIGTERM);
    thread_.join();
  }
  [[nodiscard]] bool Signalled() const { return signalled_; }

 private:
  void Watch() {
    const sigset_t set = ExitSignals();
    for (;;) {
      int signal = 0;
      if (sigwait(&set, &signal) != 0) continue;
      if (done_) return;
      if (signalled_.exchange(true)) continue;  // Exit is on its way
      controller_.dispatcher().Post([this] { controller_.ExitButtonClick(); });
    }
  }

  app::Controller& controller_;
  std::atomic<bool> done_{false};
  std::atomic<bool> signalled_{false};
  std::thread thread_;
};

}  // namespace

void BlockExitSignals() {
  const sigset_t set = ExitSignals();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

int RunConsole(const std::vector<std::string>& arguments, const app::ControllerOptions& options) {
  BlockExitSignals();
  ConsoleFrontEnd front_end(stdout, isatty(STDOUT_FILENO) == 1);
  int status = 0;
  bool abandoned = false;
  {
    app::Controller controller(front_end, options);
    SignalWatcher signals(controller);

    controller.RunMail(arguments);
    while (!controller.CloseRequested()) {
      // Ends by itself once its jobs are done, unless polling goes on.
      if (!controller.AnyTaskRunning()) {
        controller.ExitButtonClick();
        break;
      }
      controller.dispatcher().WaitForWork(kLoopWait);
      controller.ProcessMessages();
    }
    status = controller.ExitStatus();
    abandoned = controller.WorkersAbandoned();
    if (abandoned) {
      // Workers that would not end may still use the controller and the logs:
      // nothing of them may be destroyed.
      std::fflush(nullptr);
      std::_Exit(status);
    }
  }
  return status;
}

}  // namespace kestrel::console
