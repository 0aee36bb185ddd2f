// SPDX-License-Identifier: GPL-2.0-or-later
#include "gui/window_position.h"

#include <algorithm>

#include "core/le_bytes.h"
#include "platform/files.h"
#include "platform/program_home.h"

namespace kestrel::gui {

namespace {

constexpr int kValueCount = 6;

}  // namespace

std::array<std::uint8_t, kPositionRecordSize> EncodePosition(const WindowPosition& position) {
  const int values[kValueCount] = {position.window.top,   position.window.left,
                                   position.window.width, position.window.height,
                                   position.screen_width, position.screen_height};
  std::string bytes;
  core::ByteWriter writer(bytes);
  for (const int value : values) writer.U16le(static_cast<std::uint16_t>(value));
  std::array<std::uint8_t, kPositionRecordSize> record{};
  std::copy(bytes.begin(), bytes.end(), record.begin());
  return record;
}

std::optional<WindowPosition> DecodePosition(std::string_view bytes,
                                             const WindowPosition& defaults) {
  if (bytes.empty()) return std::nullopt;
  WindowPosition position = defaults;
  int* targets[kValueCount] = {&position.window.top,   &position.window.left,
                               &position.window.width, &position.window.height,
                               &position.screen_width, &position.screen_height};
  core::ByteReader reader(bytes);
  for (int* target : targets) {
    const std::uint16_t value = reader.U16le();
    if (reader.failed()) break;  // half a value is no value
    *target = value;
  }
  return position;
}

WindowRect FitToScreen(WindowRect window, int screen_width, int screen_height) {
  if (screen_width < window.left + window.width) window.left = 0;
  if (screen_width < window.width) window.width = screen_width;
  if (screen_height < window.top + window.height) window.top = 0;
  if (screen_height < window.height) window.height = screen_height;
  return window;
}

std::string PositionFilePath() {
  return platform::HomeFile(platform::ProgramBaseName() + ".POS");
}

std::optional<WindowPosition> LoadPositionFile(const std::string& path,
                                               const WindowPosition& defaults) {
  const auto bytes = platform::ReadFilePrefix(path, kPositionRecordSize);
  if (!bytes) return std::nullopt;
  return DecodePosition(*bytes, defaults);
}

bool SavePositionFile(const std::string& path, const WindowPosition& position) {
  const auto record = EncodePosition(position);
  return platform::ReplaceFileContent(
      path, std::string_view(reinterpret_cast<const char*>(record.data()), record.size()));
}

}  // namespace kestrel::gui
