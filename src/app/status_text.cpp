// SPDX-License-Identifier: GPL-2.0-or-later
#include "app/status_text.h"

#include <ctime>

#include "app/exit_status.h"

namespace kestrel::app {
namespace {

std::string Plural(std::int64_t count, const std::string& word) {
  if (count == 1) return "1 " + word;
  return std::to_string(count) + " " +
         (word.ends_with('y') ? word.substr(0, word.size() - 1) + "ies" : word + "s");
}

std::string RunText(const std::optional<core::RunEnd>& run) {
  if (!run) return "none recorded";
  return StatusTimeText(run->seconds) + ", exit status " + std::to_string(run->exit_status);
}

}  // namespace

std::string StatusTimeText(std::optional<std::int64_t> seconds) {
  if (!seconds) return "never";
  const auto time = static_cast<std::time_t>(*seconds);
  std::tm local{};
  char text[24] = "?";
  if (::localtime_r(&time, &local)) {
    (void)std::strftime(text, sizeof text, "%Y-%m-%d %H:%M", &local);
  }
  return text;
}

LinkStatusText TextOf(const LinkStatus& link) {
  LinkStatusText text;
  text.link = link.address + " -> " + link.email + " (" + link.name + ")";
  text.waiting = Plural(link.files, "file") + ", " + Plural(link.bytes, "byte");
  if (link.oldest_file) text.oldest = StatusTimeText(link.oldest_file);
  if (link.untidied > 0) text.untidied = Plural(link.untidied, "file");
  text.last_sent = StatusTimeText(link.last_sent);
  if (link.busy) {
    text.held =
        link.busy->flag + " (pid " + link.busy->pid + ") since " + StatusTimeText(link.busy->since);
  }
  if (link.refusals > 0) {
    text.refused = Plural(link.refusals, "time") + " since, the last at " +
                   StatusTimeText(link.last_refusal) + ": " + link.last_reply;
  }
  if (link.bounces > 0) {
    text.bounced =
        Plural(link.bounces, "time") + " since, the last at " + StatusTimeText(link.last_bounce);
  }
  return text;
}

std::vector<std::string> ReceivingLines(const StatusReport& report) {
  const ReceivingStatus& receiving = report.receiving;
  std::vector<std::string> lines;
  lines.push_back("Receiving: last taken " + StatusTimeText(receiving.last_take) + "; journal " +
                  Plural(static_cast<std::int64_t>(receiving.journal_entries), "entry") + ", " +
                  Plural(static_cast<std::int64_t>(receiving.journal_bytes), "byte"));
  std::string pieces = "  Split messages waiting: " + std::to_string(receiving.piece_sets);
  if (receiving.oldest_piece_set) {
    pieces += ", the oldest since " + StatusTimeText(receiving.oldest_piece_set);
  }
  lines.push_back(pieces);
  if (const auto& left = receiving.left_by_filters) {
    lines.push_back("  Left on the server by the filters: " +
                    Plural(static_cast<std::int64_t>(left->messages), "message") + " at " +
                    StatusTimeText(left->seconds));
  } else {
    lines.emplace_back("  Left on the server by the filters: not counted yet");
  }
  lines.push_back("Last send run: " + RunText(report.send_run));
  lines.push_back("Last receive run: " + RunText(report.receive_run));
  return lines;
}

std::vector<std::string> StatusLines(const StatusReport& report) {
  std::vector<std::string> lines;
  lines.push_back("Status at " + StatusTimeText(report.now) + " (work counts as stale after " +
                  std::to_string(report.stale_hours) + " hours)");
  if (!report.sending_configured) lines.emplace_back("Sending side: not configured");
  for (const LinkStatus& link : report.links) {
    const LinkStatusText text = TextOf(link);
    lines.push_back("Link " + text.link);
    lines.push_back("  Waiting: " + text.waiting +
                    (text.oldest.empty() ? "" : ", the oldest from " + text.oldest));
    if (!text.untidied.empty()) {
      lines.push_back("  Sent but not tidied away: " + text.untidied + " (not sent again)");
    }
    lines.push_back("  Last sent: " + text.last_sent);
    if (!text.held.empty()) lines.push_back("  Held by " + text.held);
    if (!text.refused.empty()) lines.push_back("  Refused " + text.refused);
    if (!text.bounced.empty()) lines.push_back("  Bounced " + text.bounced);
  }
  for (std::string& line : ReceivingLines(report)) lines.push_back(std::move(line));
  for (const std::string& problem : report.problems) lines.push_back("Stale: " + problem);
  lines.push_back("Status: " + std::to_string(report.exit_status) + " (" +
                  (report.exit_status == kExitSuccess ? "all is well" : "needs a look") + ")");
  return lines;
}

}  // namespace kestrel::app
