// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// Dialling the configured phonebook entry with busy retries, and hanging up
// the program's own connection or every connection. Lines go to the receiving
// side; countdowns to GetTimeout.

#include <functional>

#include "config/configuration.h"
#include "core/log.h"
#include "dialup/dial_state.h"

namespace kestrel::dialup {

struct DialContext {
  DialState& state;
  // AUTODIAL, CONNECTTIME, BUSYTRIES, BUSYPAUSE, CONNECTTXT.
  const config::Configuration& configuration;
  core::Logger& logger;
  // Processes the calling thread's pending work inside waits; may be empty.
  std::function<void()> process_messages;
};

// The dial task's body. Afterwards either DialConnected is set (connected now
// or before) or StopDial is set (given up).
void DialNetwork(DialContext& context);

// all = false: the program's own connection; all = true: every connection.
// drop_attempt: a failed dial attempt is dropped, StopDial stays as it is.
void HangUp(DialContext& context, bool all, bool drop_attempt = false);

// The caption of the window that shows the connection: connect_text followed
// by the entry name, cut to 28 characters and "..." when over 29.
[[nodiscard]] std::string ConnectWindowCaption(const std::string& connect_text,
                                               const std::string& entry_name);

}  // namespace kestrel::dialup
