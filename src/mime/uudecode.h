// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// uuencoded files, as older gateways put FidoNet packets into plain text
// mail: a line "begin 644 NAME", data lines that each start with their byte
// count, a line of no bytes ("`"), and "end".

#include <optional>
#include <string>
#include <string_view>

namespace kestrel::mime {

// The name of a "begin MODE NAME" line (MODE octal), or nothing.
[[nodiscard]] std::optional<std::string> UuBeginName(std::string_view line);

enum class UuLine {
  Data,   // a data line, its bytes appended (none for the closing "`" line)
  End,    // "end"
  Other,  // no uuencoded data: the file is broken off here
};

// One line after the "begin" line. A line shortened on the way (trailing
// blanks removed) decodes with the missing characters as blanks.
[[nodiscard]] UuLine DecodeUuLine(std::string_view line, std::string& out);

}  // namespace kestrel::mime
