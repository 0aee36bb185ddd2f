#include "gui/window_position.h"

#include "platform/files.h"
#include "platform/program_home.h"

namespace kestrel::gui {

namespace {

constexpr int kValueCount = 6;

void PutU16(std::uint8_t* out, int value) {
  const auto cut = static_cast<std::uint16_t>(value);
  out[0] = static_cast<std::uint8_t>(cut & 0xFF);
  out[1] = static_cast<std::uint8_t>(cut >> 8);
}

int GetU16(std::string_view bytes, std::size_t offset) {
  const auto low = static_cast<std::uint8_t>(bytes[offset]);
  const auto high = static_cast<std::uint8_t>(bytes[offset + 1]);
  return low | (high << 8);
}

}  // namespace

std::array<std::uint8_t, kPositionRecordSize> EncodePosition(const WindowPosition& position) {
  const int values[kValueCount] = {position.window.top,   position.window.left,
                                   position.window.width, position.window.height,
                                   position.screen_width, position.screen_height};
  std::array<std::uint8_t, kPositionRecordSize> record{};
  for (int i = 0; i < kValueCount; ++i) PutU16(record.data() + 2 * i, values[i]);
  return record;
}

std::optional<WindowPosition> DecodePosition(std::string_view bytes,
                                             const WindowPosition& defaults) {
  if (bytes.empty()) return std::nullopt;
  WindowPosition position = defaults;
  int* targets[kValueCount] = {&position.window.top,   &position.window.left,
                               &position.window.width, &position.window.height,
                               &position.screen_width, &position.screen_height};
  for (int i = 0; i < kValueCount; ++i) {
    const std::size_t offset = 2 * static_cast<std::size_t>(i);
    if (offset + 2 > bytes.size()) break;
    *targets[i] = GetU16(bytes, offset);
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
