// SPDX-License-Identifier: GPL-2.0-or-later
#include "outbound/netmail_scan.h"

#include <optional>

#include "config/address.h"
#include "core/le_bytes.h"
#include "core/text_utils.h"
#include "fido/attributes.h"
#include "fido/stored_message.h"
#include "mime/ascii_text.h"
#include "outbound/netmail_text.h"
#include "platform/files.h"

namespace kestrel::outbound {

namespace {

// The subject's file names are read no further than this.
constexpr std::size_t kMaxAttachNames = 80;
// Addresses built from a message are cut like the redirect table's.
constexpr std::size_t kMaxAddressText = 30;

bool AnyRedirectContains(const config::RedirectTable& redirects, const std::string& text) {
  for (int i = 1; i <= redirects.RedirectCount(); ++i) {
    if (redirects.Entry(i).Address.find(text) != std::string::npos) return true;
  }
  return false;
}

void AddAttachedFiles(ScanContext& context, const std::string& names, const std::string& msg_path,
                      AfterSendAction action, int redirect_index) {
  for (int n = 1;; ++n) {
    const std::string word = core::WordAt(names, n);
    if (word.empty()) return;
    const FileMatches matches = FindRegularFiles(word);
    if (matches.files.empty() || matches.files.front().size == 0) {
      context.Detail("--   " + ShownMissing(word) + " not found");
      continue;
    }
    const platform::FoundFile& found = matches.files.front();
    SendEntry entry;
    entry.Kind = SendKind::AttachedFile;
    entry.Path = found.path;
    entry.ListPath = msg_path;
    entry.RedirectIndex = redirect_index;
    entry.AfterSend = action;
    const std::string report = "--   " + mime::Printable(entry.Path) + " " +
                               std::to_string(found.size) + "b" + AfterSendSuffix(action);
    if (context.Add(std::move(entry), found.size, /*count_once=*/true)) context.Detail(report);
  }
}

void AddMessageText(ScanContext& context, const std::string& msg_path, std::uint64_t size,
                    bool kill_sent, int redirect_index) {
  const config::RedirectEntry& redirect = context.configuration().Redirects.Entry(redirect_index);
  SendEntry entry;
  entry.Kind = redirect.SendAsText ? SendKind::NetmailText : SendKind::NetmailPacket;
  entry.Path = msg_path;
  entry.RedirectIndex = redirect_index;
  entry.AfterSend = kill_sent ? AfterSendAction::Delete : AfterSendAction::Nothing;
  if (context.Add(std::move(entry), size, /*count_once=*/false))
    context.Detail("--   Message text " + std::to_string(size) + "b");
}

void ScanMessage(ScanContext& context, const platform::FoundFile& found) {
  const config::Configuration& configuration = context.configuration();
  const std::optional<std::string> head =
      platform::ReadFilePrefix(found.path, fido::kStoredMessageHeaderSize);
  if (!head) return;
  core::ByteReader reader(*head);
  const std::optional<fido::StoredMessageHeader> header = fido::ParseStoredMessageHeader(reader);
  if (!header) return;

  // Every address FindRedirect can match holds this net/node text; the test
  // spares reading the texts of messages to other systems.
  std::string address = std::to_string(header->dest_net) + "/" + std::to_string(header->dest_node);
  if (!AnyRedirectContains(configuration.Redirects, address)) return;
  if ((header->attribute & fido::kAttrSent) != 0) return;
  if ((header->attribute & fido::kAttrLocal) == 0) return;  // passing through: not ours to send

  // A read error leaves the text unknown: no kludges, no text.
  const std::optional<std::string> bytes =
      platform::ReadFilePrefix(found.path, fido::kStoredMessageHeaderSize + kMaxNetmailTextScan);
  const std::string_view text =
      bytes && bytes->size() > fido::kStoredMessageHeaderSize
          ? std::string_view(*bytes).substr(fido::kStoredMessageHeaderSize)
          : std::string_view();
  const NetmailTextFacts facts = InspectNetmailText(text);
  if (!facts.point.empty()) address = (address + "." + facts.point).substr(0, kMaxAddressText);
  if (!facts.zone.empty()) address = (facts.zone + ":" + address).substr(0, kMaxAddressText);
  address = config::CompleteAddress(address, configuration.OURZONE);
  const int index = configuration.Redirects.FindRedirect(address);
  if (index == 0) return;

  const std::string name = mime::Printable(found.name);
  context.Detail("--   " + name + " -> " + configuration.Redirects.Entry(index).EmailAddress);
  const std::string& msg_path = found.path;
  const bool kill_sent = (header->attribute & fido::kAttrKillSent) != 0;
  if ((header->attribute & fido::kAttrFileAttached) != 0) {
    const std::string names = header->subject.substr(0, kMaxAttachNames);
    if (names.empty()) {
      context.Detail("--   No files in message");
      return;
    }
    AddAttachedFiles(context, names, msg_path, facts.attached_files, index);
    if (facts.has_text) AddMessageText(context, msg_path, found.size, kill_sent, index);
  } else {
    AddMessageText(context, msg_path, found.size, kill_sent, index);
  }
}

}  // namespace

void ScanNetmail(ScanContext& context) {
  const config::Configuration& configuration = context.configuration();
  if (configuration.NETMAIL.empty()) return;
  context.Log("-- Scanning netmail....");
  const FileMatches messages = context.directories().Matching(configuration.NETMAIL + "*.MSG");
  if (messages.outcome == platform::SearchOutcome::NoDirectory) {
    context.Log("-- Directory not found");
    return;
  }
  for (const platform::FoundFile& found : messages.files) ScanMessage(context, found);
}

}  // namespace kestrel::outbound
