// SPDX-License-Identifier: GPL-2.0-or-later
#include "mime/mime_parameters.h"

#include "mime/charset_conversion.h"
#include "mime/encoded_words.h"
#include "mime/mime_text.h"

namespace kestrel::mime {
namespace {

std::string LowerCase(std::string_view text) {
  std::string lower(text);
  for (char& c : lower) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return lower;
}

// The parts of a field between the ";" that lie outside quoted strings.
std::vector<std::string_view> SplitAtSemicolons(std::string_view text) {
  std::vector<std::string_view> parts;
  bool quoted = false;
  std::size_t start = 0;
  for (std::size_t i = 0; i < text.size() && parts.size() <= kMaxMimeParameters; ++i) {
    if (quoted && text[i] == '\\') {
      ++i;
    } else if (text[i] == '"') {
      quoted = !quoted;
    } else if (text[i] == ';' && !quoted) {
      parts.push_back(text.substr(start, i - start));
      start = i + 1;
    }
  }
  if (parts.size() <= kMaxMimeParameters) parts.push_back(text.substr(start));
  return parts;
}

std::string Unquoted(std::string_view value) {
  if (value.empty() || value.front() != '"') return std::string(value);
  std::string text;
  for (std::size_t i = 1; i < value.size() && value[i] != '"'; ++i) {
    const bool escape =
        value[i] == '\\' && i + 1 < value.size() && (value[i + 1] == '"' || value[i + 1] == '\\');
    if (escape) ++i;
    text.push_back(value[i]);
  }
  return text;
}

const MimeParameter* Find(const MimeField& field, std::string_view attribute) {
  for (const auto& parameter : field.parameters) {
    if (parameter.attribute == attribute) return &parameter;
  }
  return nullptr;
}

// "charset'language'%XX...": the charset and the bytes after the second "'";
// without both quotes the whole value is the percent-encoded text.
std::string SplitCharset(std::string_view value, std::string& charset) {
  const auto first = value.find('\'');
  const auto second = first == std::string_view::npos ? first : value.find('\'', first + 1);
  if (second == std::string_view::npos) return UnescapeHex(value, '%');
  charset = std::string(value.substr(0, first));
  return UnescapeHex(value.substr(second + 1), '%');
}

}  // namespace

MimeField ParseMimeField(std::string_view text) {
  MimeField field;
  const std::vector<std::string_view> parts = SplitAtSemicolons(text);
  field.value = LowerCase(TrimBlanks(parts.front()));
  for (std::size_t i = 1; i < parts.size(); ++i) {
    const auto equals = parts[i].find('=');
    if (equals == std::string_view::npos) continue;
    MimeParameter parameter;
    parameter.attribute = LowerCase(TrimBlanks(parts[i].substr(0, equals)));
    parameter.value = Unquoted(TrimBlanks(parts[i].substr(equals + 1)));
    if (!parameter.attribute.empty()) field.parameters.push_back(std::move(parameter));
  }
  return field;
}

std::optional<std::string> RawParameter(const MimeField& field, std::string_view attribute) {
  const MimeParameter* parameter = Find(field, attribute);
  if (!parameter) return std::nullopt;
  return parameter->value;
}

std::optional<std::string> DecodedParameter(const MimeField& field, std::string_view attribute) {
  const std::string name(attribute);
  std::string charset;
  if (const MimeParameter* extended = Find(field, name + "*")) {
    const std::string bytes = SplitCharset(extended->value, charset);
    return DeclaredTextAsUtf8(charset, bytes);
  }
  std::string bytes;
  bool found = false;
  for (int n = 0; n < kMaxParameterSections; ++n) {
    const std::string section = name + "*" + std::to_string(n);
    if (const MimeParameter* encoded = Find(field, section + "*")) {
      bytes += n == 0 ? SplitCharset(encoded->value, charset) : UnescapeHex(encoded->value, '%');
    } else if (const MimeParameter* plain = Find(field, section)) {
      bytes += plain->value;
    } else {
      break;
    }
    found = true;
  }
  if (found) return DeclaredTextAsUtf8(charset, bytes);
  if (const MimeParameter* plain = Find(field, name)) return DecodeEncodedWords(plain->value);
  return std::nullopt;
}

}  // namespace kestrel::mime
