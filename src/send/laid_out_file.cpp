// SPDX-License-Identifier: GPL-2.0-or-later
#include "send/laid_out_file.h"

#include <sys/stat.h>

#include "mime/ascii_text.h"
#include "platform/file_names.h"
#include "send/message_layout.h"

namespace kestrel::send {

using outbound::SendKind;

bool LaysOut(const outbound::SendEntry& entry, const config::RedirectEntry& redirect) {
  return entry.Kind == SendKind::ListedFile || entry.Kind == SendKind::AttachedFile ||
         (entry.Kind == SendKind::OutboundPacket && !redirect.SendAsText);
}

bool OpenToLayOut(const std::string& path, LaidOutFile& out) {
  out.file = platform::OpenFile(path, "rb");
  struct stat info {};
  if (!out.file || ::fstat(::fileno(out.file.get()), &info) != 0) return false;
  out.laid.file_bytes = static_cast<std::uint64_t>(info.st_size);
  return true;
}

void LayOutFileMessage(LaidOutFile& out, const outbound::SendEntry& entry, std::int64_t size,
                       const FileMessageHead& head, LineSink& remarks) {
  const int boundary = DrawBoundaryNumber();
  // A listed file or packet is named as it is on disk, so that names in
  // other files (a TIC's) find it on a case-sensitive file system.
  const std::string real_name = platform::BaseName(entry.Path);
  const std::string shown =
      head.configuration.UPPERCASENAMES && entry.Kind != SendKind::AttachedFile
          ? mime::UpperCase(real_name)
          : real_name;
  out.subject = ExpandSubjectTemplate(head.configuration.SUBJECT, shown, size);

  LineCollector lines(&remarks);
  SendMessageHead(lines, boundary, head.redirect, head.configuration, head.stamp);
  SendTemplateTextPart(lines, boundary, out.subject, head.header_template, shown, size);
  SendAttachmentHead(lines, boundary,
                     entry.Kind == SendKind::OutboundPacket ? RandomPacketName() : shown);
  out.laid.head = std::move(lines.lines);
  LineCollector tail;
  tail.SendLine("");  // the end of the attachment part
  SendClosing(tail, boundary);
  out.laid.tail = std::move(tail.lines);
}

}  // namespace kestrel::send
