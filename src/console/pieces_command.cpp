// SPDX-License-Identifier: GPL-2.0-or-later
#include "console/pieces_command.h"

#include <cstdio>
#include <ctime>

#include "app/command_line.h"
#include "app/exit_status.h"
#include "config/read_configuration.h"
#include "console/console_front_end.h"
#include "core/log.h"
#include "core/text_utils.h"
#include "platform/program_home.h"
#include "receive/partial/partial_delivery.h"
#include "receive/partial/partial_spool.h"
#include "receive/walk/message_intake.h"

namespace kestrel::console {
namespace {

std::string DateText(std::time_t time) {
  std::tm local{};
  char text[16] = "?";
  if (::localtime_r(&time, &local)) (void)std::strftime(text, sizeof text, "%Y-%m-%d", &local);
  return text;
}

int List(const receive::PartialSpool& spool) {
  const std::vector<receive::PartialSet> sets = spool.Sets();
  if (sets.empty()) std::printf("No pieces wait in %s\n", spool.directory().c_str());
  for (const receive::PartialSet& set : sets) {
    std::string numbers;
    for (const std::uint32_t number : set.numbers) {
      numbers += (numbers.empty() ? "" : ",") + std::to_string(number);
    }
    std::printf("%s  %s of %s (%s), %llu bytes, since %s: %s\n", set.Name().c_str(),
                std::to_string(set.numbers.size()).c_str(),
                set.total ? std::to_string(*set.total).c_str() : "?", numbers.c_str(),
                static_cast<unsigned long long>(set.bytes), DateText(set.since).c_str(),
                set.Describe().c_str());
  }
  return app::kExitSuccess;
}

}  // namespace

int RunPiecesCommand(const std::vector<std::string>& words,
                     const std::vector<std::string>& switches) {
  const std::string action = words.empty() ? "list" : words.front();
  const bool named = action == "deliver" || action == "remove";
  if ((action == "list" && words.size() > 1) || (named && words.size() != 2) ||
      (!named && action != "list")) {
    std::fprintf(stderr, "kestrel: --pieces takes list, deliver NAME or remove NAME\n");
    return app::kExitUsage;
  }
  const receive::PartialSpool spool;
  if (action == "list") return List(spool);
  const std::optional<receive::PartialSet> set = spool.Find(words[1]);
  if (!set) {
    std::fprintf(stderr, "kestrel: no single set of pieces is named %s (see kestrel --pieces)\n",
                 words[1].c_str());
    return app::kExitFailure;
  }
  ConsoleFrontEnd front_end(stdout, false);
  core::Logger logger(front_end, platform::ProgramHome());
  const std::string what = "pieces of " + set->Describe() + " (" + set->Name() + ")";
  if (action == "remove") {
    if (!spool.Remove(*set)) {
      logger.LogLineKept(core::Side::Receiving, "-- Could not remove " + set->directory);
      return app::kExitFailure;
    }
    logger.LogLineKept(core::Side::Receiving, "-- Removed the " + what + " at the sysop's word");
    return app::kExitSuccess;
  }
  config::Configuration configuration;
  const std::string file = app::ParseCommandLine(switches).config_file.value_or("KESTREL.INI");
  if (!config::ReadConfiguration(core::Side::Receiving, file, configuration, logger)) {
    return app::kExitUsage;
  }
  std::string error;
  const std::optional<std::string> name =
      receive::DeliverPieces(spool, *set, receive::InboundDirectory(configuration), error);
  if (name) {
    logger.LogLineKept(core::Side::Receiving,
                       "-- Delivered the " + what + " as they are, as " + *name);
  }
  if (!error.empty()) logger.LogLineKept(core::Side::Receiving, "-- " + error);
  return error.empty() ? app::kExitSuccess : app::kExitFailure;
}

}  // namespace kestrel::console
