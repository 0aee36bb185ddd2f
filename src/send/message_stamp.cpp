// SPDX-License-Identifier: GPL-2.0-or-later
#include "send/message_stamp.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <random>

#include "core/le_bytes.h"
#include "fido/stored_message.h"
#include "net/sha256.h"
#include "platform/files.h"

namespace kestrel::send {

namespace {

constexpr const char* kDayNames[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
constexpr const char* kMonthNames[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                       "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
// Digest bytes shown in the identifier: 128 bits.
constexpr std::size_t kIdDigestBytes = 16;
constexpr std::string_view kAtextSpecials = "!#$%&'*+-/=?^_`{|}~";

bool IsDotAtom(std::string_view text) {
  if (text.empty() || text.front() == '.' || text.back() == '.') return false;
  if (text.find("..") != std::string_view::npos) return false;
  return std::all_of(text.begin(), text.end(), [](char c) {
    const auto byte = static_cast<unsigned char>(c);
    return std::isalnum(byte) || c == '.' || kAtextSpecials.find(c) != std::string_view::npos;
  });
}

// Each field as its length, ":" and its bytes: no two lists of fields give
// the same text.
void AppendField(std::string& text, std::string_view field) {
  text += std::to_string(field.size());
  text += ':';
  text += field;
}

std::string Hex(const unsigned char* bytes, std::size_t count) {
  std::string hex;
  for (std::size_t i = 0; i < count; ++i) {
    std::array<char, 3> pair{};
    std::snprintf(pair.data(), pair.size(), "%02x", bytes[i]);
    hex += pair.data();
  }
  return hex;
}

// An identifier no other message has: a retry then counts as a new message,
// which is safer than two messages that look alike.
std::string RandomHex(std::size_t bytes) {
  std::random_device source;
  std::array<unsigned char, 64> random{};
  for (std::size_t i = 0; i < bytes && i < random.size(); ++i) {
    random[i] = static_cast<unsigned char>(source());
  }
  return Hex(random.data(), std::min(bytes, random.size()));
}

}  // namespace

std::string MailDate(std::time_t when) {
  std::tm local{};
  localtime_r(&when, &local);
  const long offset_minutes = local.tm_gmtoff / 60;
  const long offset = std::labs(offset_minutes);
  std::array<char, 64> text{};
  std::snprintf(text.data(), text.size(), "%s, %02d %s %04d %02d:%02d:%02d %c%02ld%02ld",
                kDayNames[local.tm_wday % 7], local.tm_mday, kMonthNames[local.tm_mon % 12],
                local.tm_year + 1900, local.tm_hour, local.tm_min, local.tm_sec,
                offset_minutes < 0 ? '-' : '+', offset / 60, offset % 60);
  return text.data();
}

std::string MessageIdDomain(std::string_view from_email, std::string_view local_host) {
  const std::size_t at = from_email.rfind('@');
  if (at != std::string_view::npos && IsDotAtom(from_email.substr(at + 1))) {
    return std::string(from_email.substr(at + 1));
  }
  if (IsDotAtom(local_host)) return std::string(local_host);
  return "localhost";
}

std::vector<std::string> FileFields(std::string_view path) {
  const auto identity = platform::IdentifyFile(path);
  // A file not known by its size and time must not share an identifier with
  // another version of itself.
  if (!identity) return {"file", std::string(path), RandomHex(kIdDigestBytes)};
  return {"file", identity->real_path, std::to_string(identity->size),
          std::to_string(identity->modified_ns)};
}

std::vector<std::string> StoredMessageFields(std::string_view path) {
  const auto identity = platform::IdentifyFile(path);
  const auto head = platform::ReadFilePrefix(path, fido::kStoredMessageHeaderSize);
  if (!identity || !head) return {"netmail", std::string(path), RandomHex(kIdDigestBytes)};
  core::ByteReader reader(*head);
  const auto header = fido::ParseStoredMessageHeader(reader);
  return {"netmail", identity->real_path, header ? header->date_time : std::string(),
          std::to_string(identity->size)};
}

std::string DerivedMessageId(std::string_view from_email, std::vector<std::string> recipients,
                             const std::vector<std::string>& item_fields, std::string_view domain) {
  std::sort(recipients.begin(), recipients.end());
  std::string identity;
  AppendField(identity, from_email);
  AppendField(identity, std::to_string(recipients.size()));
  for (const auto& recipient : recipients) AppendField(identity, recipient);
  for (const auto& field : item_fields) AppendField(identity, field);
  const std::optional<std::string> digest = net::Sha256Hex(identity);
  const std::string shown =
      digest ? digest->substr(0, 2 * kIdDigestBytes) : RandomHex(kIdDigestBytes);
  return "<" + shown + "@" + std::string(domain) + ">";
}

std::string QueuedMessageId(std::string_view from_email, const std::vector<std::string>& recipients,
                            std::vector<std::string> item_fields, std::string_view domain,
                            const SentRecord& sent) {
  std::string id = DerivedMessageId(from_email, recipients, item_fields, domain);
  if (!sent.Has(id)) return id;
  item_fields.insert(item_fields.end(), {"queued", ""});
  // Ends: the record holds a bounded number of identifiers.
  for (std::size_t generation = 2; sent.Has(id); ++generation) {
    item_fields.back() = std::to_string(generation);
    id = DerivedMessageId(from_email, recipients, item_fields, domain);
  }
  return id;
}

}  // namespace kestrel::send
