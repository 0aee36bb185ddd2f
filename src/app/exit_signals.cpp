// SPDX-License-Identifier: GPL-2.0-or-later
#include "app/exit_signals.h"

#include <pthread.h>
#include <signal.h>

namespace kestrel::app {

namespace {

sigset_t ExitSignals() {
  sigset_t set;
  sigemptyset(&set);
  for (const int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) sigaddset(&set, signal);
  return set;
}

}  // namespace

void BlockExitSignals() {
  const sigset_t set = ExitSignals();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

ExitSignalWatcher::ExitSignalWatcher(Controller& controller) : controller_(controller) {
  thread_ = std::thread([this] { Watch(); });
}

ExitSignalWatcher::~ExitSignalWatcher() {
  done_ = true;
  // Wakes sigwait; the signal is ours and is swallowed by Watch.
  pthread_kill(thread_.native_handle(), SIGTERM);
  thread_.join();
}

void ExitSignalWatcher::Watch() {
  const sigset_t set = ExitSignals();
  for (;;) {
    int signal = 0;
    if (sigwait(&set, &signal) != 0) continue;
    if (done_) return;
    if (signalled_.exchange(true)) continue;  // Exit is on its way
    controller_.dispatcher().Post([this] { controller_.ExitButtonClick(); });
  }
}

}  // namespace kestrel::app
