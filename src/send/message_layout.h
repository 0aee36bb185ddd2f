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

// The five head lines: X-Mailer, Mime-Version, Content-type with the boundary,
// "To:" of the redirect, "From:" of FROM/FROMEMAIL.
void SendMessageHead(LineSink& sink, int boundary, const config::RedirectEntry& redirect,
                     const config::Configuration& configuration);

// "Subject: " + subject, the empty line that ends the head, the empty
// preamble, the first delimiter, the three text-part head lines and the empty
// line after them.
void SendSubjectAndTextHead(LineSink& sink, int boundary, std::string_view subject);

// The subject template with its first "$FILENAME$" (any letter case) replaced
// by the file name without directory, then its first "$FILESIZE$" by the size.
[[nodiscard]] std::string ExpandSubjectTemplate(std::string_view subject_template,
                                                std::string_view file_name, std::int64_t size);

// HEADER.TXT in the program's home.
[[nodiscard]] std::string HeaderTemplatePath();

// Sends the lines of the header template at template_path with "$FILENAME$",
// "$FILESIZE$" and "$VERSION$" filled in (first occurrence of each, any letter
// case), control characters removed and a lone "." sent as an empty line.
// Logs "-- No header file defined" (through the sink) and sends nothing when the
// file cannot be opened.
void SendHeaderTemplate(LineSink& sink, std::string_view template_path, std::string_view file_name,
                        std::int64_t size);

// The delimiter and the three head lines of the attachment part (the last one
// empty). The name is written as given, without directory and quotes.
void SendAttachmentHead(LineSink& sink, int boundary, std::string_view attachment_name);

// The closing delimiter, two empty lines and the end of the data.
void SendClosing(LineSink& sink, int boundary);

}  // namespace kestrel::send
