// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// What "kestrel --status" tells: for each redirected link what waits, since
// when, what went but could not be tidied away, its last confirmed send, a busy flag holding it and
// the refusals and bounces since; the receiving side's last take, journal, split messages waiting
// and the messages its filters left on the server; each side's last run. Gathered from the home's
// records and a scan of the outbound that only reads: no file is written, no flag taken, no
// connection opened.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/run_record.h"

namespace kestrel::app {

struct BusyHold {
  std::string flag;  // its path
  std::string pid;   // as the flag holds it, printable
  std::int64_t since = 0;
};

struct LinkStatus {
  std::string address;
  std::string email;
  std::string name;
  int files = 0;
  std::int64_t bytes = 0;
  std::optional<std::int64_t> oldest_file;  // modification time of the oldest waiting file
  // Sent and confirmed, but still queued (the packet or flow-file line could
  // not be removed): not waiting, and not mailed again.
  int untidied = 0;
  std::optional<std::int64_t> last_sent;  // the newest confirmed message to it
  std::optional<BusyHold> busy;
  int refusals = 0;  // since the last confirmed send
  std::optional<std::int64_t> last_refusal;
  std::string last_reply;
  int bounces = 0;  // since the last confirmed send
  std::optional<std::int64_t> last_bounce;
};

struct ReceivingStatus {
  std::optional<std::int64_t> last_take;  // the journal's newest entry
  std::uint64_t journal_bytes = 0;
  std::size_t journal_entries = 0;
  std::size_t piece_sets = 0;
  std::optional<std::int64_t> oldest_piece_set;
  std::optional<core::LeftOnServer> left_by_filters;  // as the last full walk counted them
};

struct StatusReport {
  std::int64_t now = 0;
  std::uint32_t stale_hours = 0;
  bool sending_configured = false;    // the links could be read
  bool receiving_configured = false;  // the receiving side's settings could be read
  std::vector<LinkStatus> links;
  ReceivingStatus receiving;
  std::optional<core::RunEnd> send_run;
  std::optional<core::RunEnd> receive_run;
  // Why the status is not 0, one short line each.
  std::vector<std::string> problems;
  int exit_status = 0;
  // What made the configuration unusable (exit status 2).
  std::vector<std::string> configuration_lines;
};

// The status of the configuration `config_file` (as /CFG: names it) at `now`.
[[nodiscard]] StatusReport GatherStatus(const std::string& config_file, std::int64_t now);

}  // namespace kestrel::app
