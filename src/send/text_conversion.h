// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// Netmail messages (*.MSG) and mail packets (*.PKT) sent as readable text
// e-mail: converted to UTF-8 from the charset each message declares (CHRS or
// CODEPAGE control line; FIDOCHARSET when it declares none), control lines
// (kludges) left out, control characters removed, long lines cut into pieces
// of at most 120 characters, then the header template.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/front_end.h"
#include "send/line_sink.h"
#include "send/message_layout.h"

namespace kestrel::send {

// Longest piece of a text line sent: longer lines arrive cut into pieces.
inline constexpr std::size_t kMaxTextPiece = 120;
// The e-mail subject taken from a packed message is cut to this.
inline constexpr std::size_t kMaxPacketSubject = 80;
// Files converted to text are read whole; a bigger one is refused (it would
// be no readable mail, and memory must stay bounded).
inline constexpr std::uint64_t kMaxTextFileBytes = 64u * 1024 * 1024;

// What a text conversion needs from the running dialogue.
struct TextSendContext {
  LineSink& sink;
  core::FrontEnd& front_end;           // progress fields
  std::string header_template_path;    // usually HeaderTemplatePath()
  int boundary = 0;                    // of the message being sent
  std::int64_t& bytes_sent_total;      // the dialogue's running total; grows by the size
  std::int64_t total_bytes = 0;        // the send list's TotalBytes, for TotalPercent
  std::string fido_charset = "CP437";  // iconv name of FIDOCHARSET
};

// Cuts the text at CRs into lines of at most 120 characters (bytes, or UTF-8
// characters when `utf8`) and sends them in the encoding: a piece that begins
// with code 1 (a kludge) is left out, control characters are removed, a lone
// "." becomes the empty line. Text after the last CR is not sent. Stops when
// the sink is aborted.
void SendTextLines(LineSink& sink, std::string_view text,
                   TextEncoding encoding = TextEncoding::Ascii, bool utf8 = false);

// True when every line SendTextLines would send is ASCII.
[[nodiscard]] bool TextLinesAreAscii(std::string_view text, bool utf8);

// The converted body of a packet: the packed messages' texts with the first
// message's subject, as the packet-as-text conversion sends them.
struct PacketText {
  int message_count = 0;
  std::optional<std::string> subject;       // first message's subject; none without messages
  std::string text;                         // ready for SendTextLines
  std::vector<std::size_t> message_starts;  // where each message's part of the text begins
};
// Pure conversion of what follows the 58-byte packet header (taken over and
// reused as the text's buffer). Malformed messages are not detected; their
// fields are taken from whatever is there.
[[nodiscard]] PacketText ConvertPacketText(std::string after_header);

// FidoNet text and subject made ready for mail.
struct MailText {
  std::string text;
  std::string subject;
  bool utf8 = true;             // converted; false: some text kept its unknown charset
  std::string unknown_charset;  // the first charset name the system did not know
};
// A stored message's text and subject, from the charset the text declares,
// else default_charset (an iconv name).
[[nodiscard]] MailText NetmailMailText(std::string_view text, std::string_view subject,
                                       const std::string& default_charset);
// Each packed message's part of the text from the charset it declares, else
// default_charset; the subject from the first message's.
[[nodiscard]] MailText PacketMailText(const PacketText& packet, const std::string& default_charset);

// Sends a stored message as the text part: subject line and text-part head,
// the converted text, the header template; sets the progress fields. False
// (nothing sent) when the file cannot be opened, is shorter than its header or
// too big; the caller then treats it like a file that cannot be opened.
[[nodiscard]] bool SendNetmailAsText(TextSendContext& context, std::string_view path,
                                     std::int64_t size);

// Sends every packed message of a packet as text, logs the message count.
// False as for SendNetmailAsText (the header being the 58-byte packet header).
[[nodiscard]] bool SendPacketAsText(TextSendContext& context, std::string_view path,
                                    std::int64_t size);

}  // namespace kestrel::send
