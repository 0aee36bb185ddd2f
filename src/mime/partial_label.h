// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// Which piece of a split message a message is (RFC 2046 5.2.2): its
// top-level Content-Type "message/partial; id=...; number=N; total=T".
// Everything in it comes from the network, so each value is bounded.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace kestrel::mime {

// Far above what any sender cuts a file into; more is taken as an attack.
inline constexpr std::uint32_t kMaxPieces = 1000;
inline constexpr std::size_t kMaxPieceIdBytes = 200;

struct PieceLabel {
  std::string id;
  std::uint32_t number = 0;
  // Only the last piece must carry it.
  std::optional<std::uint32_t> total;
};

struct PieceReading {
  bool is_piece = false;  // the type is message/partial
  std::string problem;    // why the piece cannot be used; empty when it can
  PieceLabel label;
};

[[nodiscard]] PieceReading ReadPieceLabel(std::string_view content_type);

// "piece 2 of 5 of ID" for the log, the id made printable.
[[nodiscard]] std::string DescribePiece(const PieceLabel& label);

}  // namespace kestrel::mime
