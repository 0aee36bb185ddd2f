// SPDX-License-Identifier: GPL-2.0-or-later
#include "outbound/netmail_text.h"

#include "mime/ascii_text.h"

namespace kestrel::outbound {

namespace {

// Fewer bytes than this are no message text worth a look.
constexpr std::size_t kMinInspectedText = 6;
// Kludge values are read no further than this.
constexpr std::size_t kMaxKludgeValue = 80;
// A point number has at most five digits.
constexpr std::size_t kMaxPointText = 5;
// More characters than this after the kludges make a message text.
constexpr std::size_t kMinBodyText = 4;

// The value of a kludge ("\x01NAME "), cut to `limit` and at the end of its line.
std::string KludgeValue(std::string_view text, std::string_view kludge, std::size_t limit) {
  const std::size_t at = text.find(kludge);
  if (at == std::string_view::npos) return {};
  std::string_view value = text.substr(at + kludge.size(), limit);
  return std::string(value.substr(0, value.find_first_of("\r\n")));
}

}  // namespace

NetmailTextFacts InspectNetmailText(std::string_view text) {
  NetmailTextFacts facts;
  if (text.size() < kMinInspectedText) return facts;
  text = text.substr(0, kMaxNetmailTextScan);
  text = text.substr(0, text.find('\0'));

  const std::string flags = mime::UpperCase(KludgeValue(text,
                                                        "\x01"
                                                        "FLAGS ",
                                                        kMaxKludgeValue));
  if (flags.find("KFS") != std::string::npos) facts.attached_files = AfterSendAction::Delete;
  if (flags.find("TFS") != std::string::npos) facts.attached_files = AfterSendAction::Truncate;

  facts.point = KludgeValue(text, "\x01TOPT ", kMaxPointText);
  const std::string intl = KludgeValue(text, "\x01INTL ", kMaxKludgeValue);
  facts.zone = intl.substr(0, intl.find(':'));

  std::string_view body = text;
  if (const std::size_t last = body.rfind('\x01'); last != std::string_view::npos)
    body.remove_prefix(last + 1);
  if (const std::size_t end = body.find('\r'); end != std::string_view::npos)
    body.remove_prefix(end + 1);
  facts.has_text = body.size() >= kMinBodyText;
  return facts;
}

}  // namespace kestrel::outbound
