// SPDX-License-Identifier: GPL-2.0-or-later
#include "console/status_command.h"

#include <cstdio>
#include <ctime>

#include "app/command_line.h"
#include "app/exit_status.h"
#include "app/status_report.h"
#include "app/status_text.h"
#include "console/json_text.h"

namespace kestrel::console {
namespace {

// The version of the JSON document's layout; a field removed or changed in
// meaning raises it, a field added does not.
constexpr int kStatusSchema = 1;

void PrintText(const app::StatusReport& report) {
  for (const std::string& line : app::StatusLines(report)) std::printf("%s\n", line.c_str());
}

std::string JsonRun(const std::optional<core::RunEnd>& run) {
  if (!run) return "null";
  return "{\"ended\": " + std::to_string(run->seconds) +
         ", \"exit_status\": " + std::to_string(run->exit_status) + "}";
}

std::string JsonLeft(const std::optional<core::LeftOnServer>& left) {
  if (!left) return "null";
  return "{\"messages\": " + std::to_string(left->messages) +
         ", \"counted\": " + std::to_string(left->seconds) + "}";
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
         ", \"untidied\": " + std::to_string(link.untidied) +
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
      ", \"left_by_filters\": " + JsonLeft(receiving.left_by_filters) +
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
