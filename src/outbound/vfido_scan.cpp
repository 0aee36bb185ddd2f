// SPDX-License-Identifier: GPL-2.0-or-later
#include "outbound/vfido_scan.h"

#include <optional>

#include "core/le_bytes.h"
#include "fido/attributes.h"
#include "fido/packed_message.h"
#include "fido/packet_header.h"
#include "mime/ascii_text.h"
#include "outbound/list_file.h"
#include "platform/files.h"

namespace kestrel::outbound {

namespace {

// "zone:net/node.point" in decimal, as the redirect table holds addresses.
std::string DestinationText(const fido::PacketHeader& header) {
  return std::to_string(header.dest_zone) + ":" + std::to_string(header.dest_net) + "/" +
         std::to_string(header.dest_node) + "." + std::to_string(header.dest_point);
}

// The redirect entry of a packet's destination; 0 when it is unredirected.
int PacketRedirect(const config::RedirectTable& redirects, const fido::PacketHeader& header) {
  return redirects.FindRedirect(DestinationText(header));
}

// "00000001.LST" -> "00000001.PKT"; a name without extension just gains one.
std::string PacketNameOf(const std::string& list_name) {
  const std::size_t dot = list_name.rfind('.');
  return (dot == std::string::npos ? list_name : list_name.substr(0, dot)) + ".PKT";
}

void ScanLists(ScanContext& context) {
  const config::Configuration& configuration = context.configuration();
  const FileMatches lists = context.directories().Matching(configuration.VFIDO + "*.LST");
  if (lists.outcome == platform::SearchOutcome::NoDirectory) {
    context.Log("-- Directory not found");
    return;
  }
  for (const platform::FoundFile& list_found : lists.files) {
    const FileMatches packets =
        FindRegularFiles(configuration.VFIDO + PacketNameOf(list_found.name));
    if (packets.files.empty() || packets.files.front().size == 0) continue;
    const std::optional<std::string> head =
        platform::ReadFilePrefix(packets.files.front().path, fido::kPacketHeaderSize);
    if (!head) continue;
    core::ByteReader reader(*head);
    const std::optional<fido::PacketHeader> header = fido::ParsePacketHeader(reader);
    if (!header) continue;
    const int index = PacketRedirect(configuration.Redirects, *header);
    if (index == 0) continue;

    ListFile list;
    list.path = list_found.path;
    list.max_line = kMaxVfidoLine;
    list.redirect_index = index;
    list.redirect_line_per_line = true;
    if (!ScanListFile(context, list))
      context.Detail("-- Could not open " + mime::Printable(list.path));
  }
}

void ScanPackets(ScanContext& context) {
  const config::Configuration& configuration = context.configuration();
  const FileMatches packets = context.directories().Matching(configuration.VFIDO + "*.PKT");
  if (packets.outcome == platform::SearchOutcome::NoDirectory) {
    context.Log("-- Directory not found");
    return;
  }
  for (const platform::FoundFile& found : packets.files) {
    if (found.size == 0) continue;
    // The packet header and the fixed part of its first message.
    const std::optional<std::string> head = platform::ReadFilePrefix(
        found.path, fido::kPacketHeaderSize + fido::kPackedMessageFixedSize);
    if (!head) continue;
    core::ByteReader reader(*head);
    const std::optional<fido::PacketHeader> header = fido::ParsePacketHeader(reader);
    const std::optional<fido::PackedMessageHeader> first =
        header ? fido::ParsePackedMessageFixedPart(reader) : std::nullopt;
    if (!first) continue;
    if ((first->attribute & fido::kAttrFileAttached) != 0) continue;  // its list carried its files
    const int index = PacketRedirect(configuration.Redirects, *header);
    if (index == 0) continue;

    context.Detail(RedirectLine(configuration.Redirects.Entry(index)));
    SendEntry entry;
    entry.Kind = SendKind::OutboundPacket;
    entry.Path = found.path;
    entry.RedirectIndex = index;
    entry.AfterSend = AfterSendAction::Delete;
    const std::string report =
        "--   " + mime::Printable(entry.Path) + " " + std::to_string(found.size) + "b";
    if (context.Add(std::move(entry), found.size, /*count_once=*/false)) context.Detail(report);
  }
}

}  // namespace

void ScanVfido(ScanContext& context) {
  if (context.configuration().VFIDO.empty()) return;
  context.Log("-- Scanning VFIDO netmail....");
  ScanLists(context);
  ScanPackets(context);
}

}  // namespace kestrel::outbound
