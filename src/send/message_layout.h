// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// The lines of every outgoing message: a "Multipart/Mixed" MIME message with a
// text part (filled from the header template) and at most one BASE64
// attachment. Each line goes to the LineSink as soon as it is complete; the
// message is never held in memory as a whole.

#include <cstdint>
#include <string>
#include <string_view>

#include "config/configuration.h"
#include "config/redirects.h"
#include "core/version.h"
#include "send/line_sink.h"
#include "send/message_stamp.h"

namespace kestrel::send {

// Boundary numbers are drawn from 0 up to, not including, this.
inline constexpr int kBoundaryRange = 65000;
// Texts built here (subject, template lines) never grow beyond this.
inline constexpr std::size_t kMaxTextLine = 255;

// Character sets for RemoveChars.
enum class CharSet {
  Control,  // codes 0 to 31, tab included
  Blank,    // the blank alone
};

// The text without every character of the set.
[[nodiscard]] std::string RemoveChars(std::string_view text, CharSet set);

// A fresh boundary number for the next message (0 .. kBoundaryRange-1).
[[nodiscard]] int DrawBoundaryNumber();
// "Message-Boundary-" + N.
[[nodiscard]] std::string BoundaryText(int boundary);

// Eight random hexadecimal digits (upper case) and ".PKT".
[[nodiscard]] std::string RandomPacketName();

// How the lines of the text part travel, chosen by their content.
enum class TextEncoding {
  Ascii,        // "charset=US-ASCII", 7BIT: the lines as they are
  Utf8,         // "charset=UTF-8", quoted-printable
  Unknown8bit,  // "charset=unknown-8bit" (RFC 1428), quoted-printable: bytes
                // of a charset the system does not know, unconverted
};
// ASCII text goes as it is; other text as UTF-8 when it was converted (or is
// user text), else as unknown-8bit. Quoted-printable rather than 8bit: the
// classic conversation (HELO) cannot ask the server for 8BITMIME, and it
// keeps every line short.
[[nodiscard]] TextEncoding ChooseTextEncoding(bool ascii, bool converted);

// The five head lines: X-Mailer, Mime-Version, Content-type with the boundary,
// "To:" of the redirect, "From:" of FROM/FROMEMAIL; then "Date:" and
// "Message-ID:" of the stamp. Display names that need it are quoted or
// encoded (and the line folded); plain ones go as they are.
void SendMessageHead(LineSink& sink, int boundary, const config::RedirectEntry& redirect,
                     const config::Configuration& configuration, const MessageStamp& stamp);

// One message of a set that carries a larger one in pieces (RFC 2046 5.2.2).
struct PieceOfSet {
  std::string set_id;  // the same for every piece of the set
  std::uint64_t number = 1;
  std::uint64_t total = 1;
};

// The head of one piece: the lines of SendMessageHead with the type
// "message/partial" naming the set, the piece's number and, on the last
// piece alone, the total; the
// subject and the empty line that ends the head. What a reader joining the
// pieces keeps of the first piece's head (X-Mailer, To, From, Date) is that
// of the whole message; the piece's own Message-ID is in `stamp`.
void SendPieceHead(LineSink& sink, const PieceOfSet& piece, const config::RedirectEntry& redirect,
                   const config::Configuration& configuration, const MessageStamp& stamp,
                   std::string_view subject);

// "Subject: " + subject, the empty line that ends the head, the empty
// preamble, the first delimiter, the three text-part head lines for the
// encoding and the empty line after them. A non-ASCII subject goes as encoded
// words: UTF-8 (user text taken as in mime::UserTextAsUtf8), or unknown-8bit
// with that encoding.
void SendSubjectAndTextHead(LineSink& sink, int boundary, std::string_view subject,
                            TextEncoding encoding = TextEncoding::Ascii);

// One line of the text part in its encoding: as it is (cut for the sink), or
// as quoted-printable lines.
void SendTextPartLine(LineSink& sink, TextEncoding encoding, std::string_view line);

// The subject of a file's message without SUBJECT: an empty subject is a
// spam filter's mark, and this one says what the message carries.
inline constexpr std::string_view kDefaultSubject = "FidoNet file $FILENAME$";

// The subject template (kDefaultSubject when empty) with its first
// "$FILENAME$" (any letter case) replaced by the file name without directory,
// then its first "$FILESIZE$" by the size.
[[nodiscard]] std::string ExpandSubjectTemplate(std::string_view subject_template,
                                                std::string_view file_name, std::int64_t size);

// HEADER.TXT in the program's home.
[[nodiscard]] std::string HeaderTemplatePath();

// Sends the lines of the header template at template_path with "$FILENAME$",
// "$FILESIZE$" and "$VERSION$" filled in (first occurrence of each, any letter
// case), control characters removed and a lone "." sent as an empty line.
// Logs "-- No header file defined" (through the sink) and sends nothing when the
// file cannot be opened. With UTF-8, lines are taken as user text.
void SendHeaderTemplate(LineSink& sink, std::string_view template_path, std::string_view file_name,
                        std::int64_t size, TextEncoding encoding = TextEncoding::Ascii);

// True when the template, filled in for this file, is ASCII (or missing):
// whether it may go in a US-ASCII text part.
[[nodiscard]] bool HeaderTemplateIsAscii(std::string_view template_path, std::string_view file_name,
                                         std::int64_t size);

// The subject and text-part head, then the header template: the text part of
// a message that carries a file. US-ASCII when the filled-in template is,
// else UTF-8.
void SendTemplateTextPart(LineSink& sink, int boundary, std::string_view subject,
                          std::string_view template_path, std::string_view file_name,
                          std::int64_t size);

// The delimiter and the three head lines of the attachment part (the last one
// empty). A name that is a MIME token is written as it is; other ASCII names
// are quoted; a non-ASCII name goes as UTF-8 encoded words in "name=" and in
// RFC 2231 form in a "Content-disposition:" line.
void SendAttachmentHead(LineSink& sink, int boundary, std::string_view attachment_name);

// The closing delimiter, two empty lines and the end of the data.
void SendClosing(LineSink& sink, int boundary);

}  // namespace kestrel::send
