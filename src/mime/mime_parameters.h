// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// Structured MIME header values (RFC 2045, RFC 2231): a main value and its
// parameters, as in "multipart/mixed; boundary=b1" or
// "attachment; filename*=UTF-8''%E2%82%AC.pkt". Parsed leniently, the way
// mail clients read what other clients write.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kestrel::mime {

// Parameters kept of one header field; real fields have a handful.
inline constexpr std::size_t kMaxMimeParameters = 64;
// Sections of one RFC 2231 parameter ("filename*0" ... "filename*63").
inline constexpr int kMaxParameterSections = 64;

struct MimeParameter {
  std::string attribute;  // lower-cased, with any "*" or "*N" of RFC 2231
  std::string value;      // unquoted ("\"" and "\\" escapes undone)
};

struct MimeField {
  std::string value;  // the main value, lower-cased ("multipart/mixed", "attachment")
  std::vector<MimeParameter> parameters;
};

// Splits a field at the ";" outside quoted strings. A quoted value ends at
// its closing quote (or the end); an unquoted one is the whole rest of its
// part, trailing blanks removed.
[[nodiscard]] MimeField ParseMimeField(std::string_view text);

// The value of a parameter as written (a boundary), nothing when absent.
[[nodiscard]] std::optional<std::string> RawParameter(const MimeField& field,
                                                      std::string_view attribute);

// A parameter as UTF-8 text: its RFC 2231 form when there is one ("name*",
// or the sections "name*0", "name*0*", "name*1", ... joined in order, percent
// escapes undone, the charset of the first section applied), else its plain
// value with RFC 2047 encoded words decoded. Nothing when absent.
[[nodiscard]] std::optional<std::string> DecodedParameter(const MimeField& field,
                                                          std::string_view attribute);

}  // namespace kestrel::mime
