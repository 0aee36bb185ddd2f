// SPDX-License-Identifier: GPL-2.0-or-later
#include "console/status_command.h"

#include <cstdio>
#include <ctime>

#include "app/command_line.h"
#include "app/exit_status.h"
#include "app/status_report.h"
#include "console/json_text.h"

namespace kestrel::console {
namespace {

// The version of the JSON document's layout; a field removed or changed in
// meaning raises it, a field added does not.
constexpr int kStatusSchema = 1;

std::string TimeText(std::optional<std::int64_t> seconds) {
  if (!seconds) return "never";
  const auto time = static_cast<std::time_t>(*seconds);
  std::tm local{};
  char text[24] = "?";
  if (::localtime_r(&time, &local)) {
    (void)std::strftime(text, sizeof text, "%Y-%m-%d %H:%M", &local);
  }
  return text;
}

std::string Plural(std::int64_t count, const std::string& word) {
  if (count == 1) return "1 " + word;
  return std::to_string(count) + " " +
         (word.ends_with('y') ? word.substr(0, word.size() - 1) + "ies" : word + "s");
}

std::string RunText(const std::optional<core::RunEnd>& run) {
  if (!run) return "none recorded";
  return TimeText(run->seconds) + ", exit status " + std::to_string(run->exit_status);
}

void PrintText(const app::StatusReport& report) {
  std::printf("Status at %s (work counts as stale after %u hours)\n", TimeText(report.now).c_str(),
              report.stale_hours);
  if (!report.sending_configured) std::printf("Sending side: not configured\n");
  for (const app::LinkStatus& link : report.links) {
    std::printf("Link %s -> %s (%s)\n", link.address.c_str(), link.email.c_str(),
                link.name.c_str());
    std::printf("  Waiting: %s, %s", Plural(link.files, "file").c_str(),
                Plural(link.bytes, "byte").c_str());
    if (link.oldest_file) std::printf(", the oldest from %s", TimeText(link.oldest_file).c_str());
    std::printf("\n  Last sent: %s\n", TimeText(link.last_sent).c_str());
    if (link.busy) {
      std::printf("  Held by %s (pid %s) since %s\n", link.busy->flag.c_str(),
                  link.busy->pid.c_str(), TimeText(link.busy->since).c_str());
    }
    if (link.refusals > 0) {
      std::printf("  Refused %s since, the last at %s: %s\n", Plural(link.refusals, "time").c_str(),
                  TimeText(link.last_refusal).c_str(), link.last_reply.c_str());
    }
    if (link.bounces > 0) {
      std::printf("  Bounced %s since, the last at %s\n", Plural(link.bounces, "time").c_str(),
                  TimeText(link.last_bounce).c_str());
    }
  }
  const app::ReceivingStatus& receiving = report.receiving;
  std::printf("Receiving: last taken %s; journal %s, %s\n", TimeText(receiving.last_take).c_str(),
              Plural(static_cast<std::int64_t>(receiving.journal_entries), "entry").c_str(),
              Plural(static_cast<std::int64_t>(receiving.journal_bytes), "byte").c_str());
  std::printf("  Split messages waiting: %zu", receiving.piece_sets);
  if (receiving.oldest_piece_set) {
    std::printf(", the oldest since %s", TimeText(receiving.oldest_piece_set).c_str());
  }
  std::printf("\nLast send run: %s\nLast receive run: %s\n", RunText(report.send_run).c_str(),
              RunText(report.receive_run).c_str());
  for (const std::string& problem : report.problems) std::printf("Stale: %s\n", problem.c_str());
  std::printf("Status: %d (%s)\n", report.exit_status,
              report.exit_status == app::kExitSuccess ? "all is well" : "needs a look");
}

std::string JsonRun(const std::optional<core::RunEnd>& run) {
  if (!run) return "null";
  return "{\"ended\": " + std::to_string(run->seconds) +
         ", \"exit_status\": " + std::to_string(run->exit_status) + "}";
}

std::string JsonLink(const app::LinkStatus& link) {
  std::string busy = "null";
  if (link.busy) {
    busy = "{\"flag\": " + JsonString(link.busy->flag) +
           ", \"pid\": " + JsonString(link.busy->pid) +
           ", \"since\": " + std::to_string(link.busy->since) + "}";
  }
  return "{\"address\": " + JsonString(link.address) + ", \"email\": " + JsonString(link.email) +
         ", \"name\": " + JsonString(link.name) + ", \"files\": " + std::to_string(link.files) +
         ", \"bytes\": " + std::to_string(link.bytes) +
         ", \"oldest_file\": " + JsonNumber(link.oldest_file) +
         ", \"last_sent\": " + JsonNumber(link.last_sent) + ", \"busy\": " + busy +
         ", \"refusals\": " + std::to_string(link.refusals) +
         ", \"last_refusal\": " + JsonNumber(link.last_refusal) +
         ", \"last_reply\": " + (link.refusals > 0 ? JsonString(link.last_reply) : "null") +
         ", \"bounces\": " + std::to_string(link.bounces) +
         ", \"last_bounce\": " + JsonNumber(link.last_bounce) + "}";
}

void PrintJson(const app::StatusReport& report) {
  std::string links;
  for (const app::LinkStatus& link : report.links) {
    links += (links.empty() ? "\n    " : ",\n    ") + JsonLink(link);
  }
  std::string problems;
  for (const std::string& problem : report.problems) {
    problems += (problems.empty() ? "" : ", ") + JsonString(problem);
  }
  const app::ReceivingStatus& receiving = report.receiving;
  const std::string json =
      "{\n  \"schema\": " + std::to_string(kStatusSchema) +
      ",\n  \"now\": " + std::to_string(report.now) +
      ",\n  \"stale_hours\": " + std::to_string(report.stale_hours) +
      ",\n  \"exit_status\": " + std::to_string(report.exit_status) + ",\n  \"problems\": [" +
      problems + "],\n  \"sending_configured\": " + (report.sending_configured ? "true" : "false") +
      ",\n  \"links\": [" + links + (links.empty() ? "]" : "\n  ]") +
      ",\n  \"receiving\": {\"configured\": " + (report.receiving_configured ? "true" : "false") +
      ", \"last_take\": " + JsonNumber(receiving.last_take) +
      ", \"journal_entries\": " + std::to_string(receiving.journal_entries) +
      ", \"journal_bytes\": " + std::to_string(receiving.journal_bytes) +
      ", \"piece_sets\": " + std::to_string(receiving.piece_sets) +
      ", \"oldest_piece_set\": " + JsonNumber(receiving.oldest_piece_set) +
      "},\n  \"runs\": {\"send\": " + JsonRun(report.send_run) +
      ", \"receive\": " + JsonRun(report.receive_run) + "}\n}\n";
  std::fputs(json.c_str(), stdout);
}

}  // namespace

int RunStatusCommand(StatusFormat format, const std::vector<std::string>& switches) {
  const std::string file = app::ParseCommandLine(switches).config_file.value_or("KESTREL.INI");
  const app::StatusReport report =
      app::GatherStatus(file, static_cast<std::int64_t>(std::time(nullptr)));
  if (report.exit_status == app::kExitUsage) {
    for (const std::string& line : report.configuration_lines) {
      std::fprintf(stderr, "kestrel: %s\n", line.c_str());
    }
    return report.exit_status;
  }
  if (format == StatusFormat::Json) {
    PrintJson(report);
  } else {
    PrintText(report);
  }
  return report.exit_status;
}

}  // namespace kestrel::console
