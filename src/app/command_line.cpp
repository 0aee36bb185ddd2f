// SPDX-License-Identifier: GPL-2.0-or-later
#include "app/command_line.h"

#include <algorithm>
#include <string_view>

#include "core/text_utils.h"
#include "mime/ascii_text.h"

namespace kestrel::app {

namespace {

constexpr std::string_view kConfigSwitch = "/CFG:";
constexpr std::string_view kSwitches[] = {"/HANGUP", "/SHUTDOWN", "/AUTO",   "/SEND",    "/GET",
                                          "/PUT:",   "/CHECK:",   "/REPORT", "/CONNECT", "/QUIET"};
// Digits of a polling interval the command line may give.
constexpr std::size_t kIntervalDigits = 4;
// Polling intervals are seconds in 16 bits: longer ones stop at the largest.
constexpr std::int32_t kMaxIntervalSeconds = 65535;

// An argument split into the text searched for switches and the /CFG: value.
struct Argument {
  std::string switches;
  std::optional<std::string> config_file;
};

Argument Split(const std::string& argument) {
  const std::string text = mime::UpperCase(argument.substr(0, kMaxArgument));
  const std::size_t at = text.find(kConfigSwitch);
  if (at == std::string::npos) return {text, std::nullopt};
  return {text.substr(0, at), text.substr(at + kConfigSwitch.size(), kMaxConfigFileName)};
}

std::uint16_t IntervalSeconds(std::string_view text, std::size_t after) {
  const std::int32_t minutes = core::TextToInt(text.substr(after, kIntervalDigits));
  if (minutes <= 0) return 0;
  const std::int64_t seconds = std::int64_t{minutes} * 60;
  return static_cast<std::uint16_t>(std::min<std::int64_t>(seconds, kMaxIntervalSeconds));
}

std::optional<std::uint16_t> Interval(const std::string& text, std::string_view name) {
  const std::size_t at = text.find(name);
  if (at == std::string::npos) return std::nullopt;
  return IntervalSeconds(text, at + name.size());
}

bool Has(const std::string& text, std::string_view name) {
  return text.find(name) != std::string::npos;
}

// The arguments up to the first empty one.
std::vector<std::string> Given(const std::vector<std::string>& arguments) {
  const auto end = std::find(arguments.begin(), arguments.end(), std::string());
  return {arguments.begin(), end};
}

}  // namespace

CommandLine ParseCommandLine(const std::vector<std::string>& arguments) {
  CommandLine line;
  for (const std::string& argument : Given(arguments)) {
    const Argument split = Split(argument);
    const std::string& text = split.switches;
    line.hangup |= Has(text, "/HANGUP");
    line.shutdown |= Has(text, "/SHUTDOWN");
    line.send |= Has(text, "/AUTO") || Has(text, "/SEND");
    line.get |= Has(text, "/AUTO") || Has(text, "/GET");
    line.report |= Has(text, "/REPORT");
    line.connect |= Has(text, "/CONNECT");
    line.quiet |= Has(text, "/QUIET");
    if (auto seconds = Interval(text, "/PUT:")) line.send_interval = seconds;
    if (auto seconds = Interval(text, "/CHECK:")) line.get_interval = seconds;
    if (split.config_file) line.config_file = split.config_file;
  }
  return line;
}

std::optional<std::string> ArgumentWithoutSwitch(const std::vector<std::string>& arguments) {
  for (const std::string& argument : Given(arguments)) {
    const Argument split = Split(argument);
    const bool any = split.config_file ||
                     std::any_of(std::begin(kSwitches), std::end(kSwitches),
                                 [&](std::string_view name) { return Has(split.switches, name); });
    if (!any) return argument;
  }
  return std::nullopt;
}

}  // namespace kestrel::app
