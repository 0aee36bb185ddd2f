// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// What the part parser reports as a message's lines stream by: each line
// with what it is, the problems of its structure, and the files it carries
// with their decoded bytes. Whoever implements it decides what is written
// where; the parser holds at most a block of decoded bytes.

#include <cstddef>
#include <string>
#include <string_view>

#include "mime/delivery_report.h"

namespace kestrel::mime {

// A part that carries a file.
struct FilePart {
  std::string number;      // "2.1": its place in the message, as mail clients show it
  std::string label;       // "Part 2 (NAME.PKT)", for lines about it
  std::string media_type;  // "application/octet-stream"
  // The safe name (see PartSink::SafeName) of the name the mail gives it;
  // empty when the mail gives it none.
  std::string file_name;
};

class PartSink {
 public:
  virtual ~PartSink() = default;

  // The name a file given in mail is written under; empty when no usable
  // name can be made of it.
  [[nodiscard]] virtual std::string SafeName(std::string_view name) = 0;

  // One line of the message, or a piece of a long one, after the parser has
  // taken it in. content: it is part of what the message carries (its top
  // header and the empty line after it are not); saved: it belongs in the
  // saved text of the message (the empty line before a file's data does not).
  virtual void MessageLine(std::string_view line, bool line_ends, bool content, bool saved) = 0;

  // Something in the message that keeps it from being taken whole.
  virtual void Problem(const std::string& what) = 0;

  // A file part's data follows; false when the file is not to be taken (the
  // sink says why, if there is anything to say).
  [[nodiscard]] virtual bool FileBegins(const FilePart& part) = 0;
  // Decoded bytes of the file, in order; false when they could not be taken,
  // which ends the file.
  [[nodiscard]] virtual bool FileData(std::string_view bytes) = 0;
  // `waiting` more bytes are decoded but not yet handed over.
  virtual void FileProgress(std::size_t waiting) = 0;
  // The file's data is complete.
  virtual void FileEnds() = 0;
  // The file is broken or cut short: what was taken of it goes.
  virtual void FileAbandoned() = 0;

  // At the end of a message that is (or holds) a delivery status
  // notification: what its machine-readable parts say.
  virtual void DeliveryReportRead(DeliveryReport report) = 0;
};

}  // namespace kestrel::mime
