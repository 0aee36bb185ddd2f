// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// The window position file: one record of six unsigned 16-bit little-endian
// numbers (top, left, width, height of the window, then the width and height of
// the screen it was written on), named after the program file with the
// extension "POS" in the program's home. Free of any window library so the
// record and the screen fitting can be tested on their own.

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace kestrel::gui {

inline constexpr std::size_t kPositionRecordSize = 12;  // six u16 values

// The window's outer rectangle (frame included), in screen pixels.
struct WindowRect {
  int top = 0;
  int left = 0;
  int width = 0;
  int height = 0;
  friend bool operator==(const WindowRect&, const WindowRect&) = default;
};

struct WindowPosition {
  WindowRect window;
  int screen_width = 0;
  int screen_height = 0;
  friend bool operator==(const WindowPosition&, const WindowPosition&) = default;
};

// Each value cut to 16 bits, so a negative left or top is stored as a large
// unsigned number (which the screen fitting later resets to 0).
[[nodiscard]] std::array<std::uint8_t, kPositionRecordSize> EncodePosition(
    const WindowPosition& position);

// Reads the record from the start of `bytes`. A short record keeps, for every
// value it does not hold completely, the one in `defaults`; an empty one gives
// nothing (the built-in position stays).
[[nodiscard]] std::optional<WindowPosition> DecodePosition(std::string_view bytes,
                                                           const WindowPosition& defaults);

// Moves and shrinks a window so that it lies on a screen of the given size:
// a window that would stick out on the right goes to left 0, one wider than the
// screen gets the screen's width; the same for top and height.
[[nodiscard]] WindowRect FitToScreen(WindowRect window, int screen_width, int screen_height);

// HomeFile(ProgramBaseName() + ".POS").
[[nodiscard]] std::string PositionFilePath();

// The record of the file, decoded over `defaults`; nothing when the file is
// missing, unreadable or empty.
[[nodiscard]] std::optional<WindowPosition> LoadPositionFile(const std::string& path,
                                                             const WindowPosition& defaults);

// Writes the record through a temporary file and a rename, so an interrupted
// write never leaves half a record; false when it could not be written.
bool SavePositionFile(const std::string& path, const WindowPosition& position);

}  // namespace kestrel::gui
