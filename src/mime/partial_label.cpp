// SPDX-License-Identifier: GPL-2.0-or-later
#include "mime/partial_label.h"

#include <charconv>

#include "mime/ascii_text.h"
#include "mime/mime_parameters.h"
#include "mime/mime_text.h"

namespace kestrel::mime {
namespace {

// A number 1..kMaxPieces written in plain digits.
std::optional<std::uint32_t> PieceNumber(const std::optional<std::string>& text) {
  if (!text) return std::nullopt;
  std::uint32_t value = 0;
  const auto [end, error] = std::from_chars(text->data(), text->data() + text->size(), value);
  if (error != std::errc() || end != text->data() + text->size()) return std::nullopt;
  if (value < 1 || value > kMaxPieces) return std::nullopt;
  return value;
}

}  // namespace

PieceReading ReadPieceLabel(std::string_view content_type) {
  PieceReading reading;
  const MimeField type = ParseMimeField(content_type);
  if (type.value != "message/partial") return reading;
  reading.is_piece = true;
  const std::optional<std::string> id = RawParameter(type, "id");
  const std::optional<std::string> number = RawParameter(type, "number");
  const std::optional<std::string> total = RawParameter(type, "total");
  const std::optional<std::uint32_t> n = PieceNumber(number);
  const std::optional<std::uint32_t> t = PieceNumber(total);
  if (!id || id->empty() || id->size() > kMaxPieceIdBytes) {
    reading.problem = "its id is missing or longer than " + std::to_string(kMaxPieceIdBytes);
  } else if (!n || (total && !t)) {
    reading.problem = "its number or total is not one of 1 to " + std::to_string(kMaxPieces);
  } else if (t && *n > *t) {
    reading.problem = "its number " + *number + " is beyond its total " + *total;
  }
  if (!reading.problem.empty()) return reading;
  reading.label = {*id, *n, t};
  return reading;
}

std::string DescribePiece(const PieceLabel& label) {
  return "piece " + std::to_string(label.number) +
         (label.total ? " of " + std::to_string(*label.total) : std::string()) + " of " +
         Printable(label.id);
}

}  // namespace kestrel::mime
