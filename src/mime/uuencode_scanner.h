// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// Finds uuencoded files in the lines of a plain text part, the way older
// gateways send FidoNet packets: a "begin" line, data lines, "end". A "begin"
// line in prose (an empty line or text after it) is no file. The scanner only
// reads; the decoder that uses it opens, writes and finishes the files.

#include <functional>
#include <string>
#include <string_view>
#include <utility>

namespace kestrel::mime {

enum class UuScan {
  Text,       // prose, or a piece of a long line: nothing for a file
  Begins,     // a "begin" line with a usable name: name() and file_name()
  Unusable,   // a "begin" line whose name makes no usable file name
  Data,       // a data line of the file, its bytes appended
  End,        // the file's "end" line: the file is complete
  BreaksOff,  // a line inside the file that is no data: the file is broken
};

class UuencodeScanner {
 public:
  // The name a file given in mail is written under; empty when no usable
  // name can be made of it. Which names are safe is the writer's to say.
  using SafeName = std::function<std::string(std::string_view)>;

  explicit UuencodeScanner(SafeName safe_name) : safe_name_(std::move(safe_name)) {}

  // A new part. part_name (may be empty) wins over the name on a "begin"
  // line; expected: the part is marked uuencoded, so it must hold a file.
  void StartPart(std::string part_name, bool expected);

  // One line of the part; whole_line false for a piece of a long line. The
  // bytes of a data line are appended to `out`; `out` is cleared when a
  // "begin" line turns out to be prose.
  [[nodiscard]] UuScan Line(std::string_view line, bool whole_line, std::string& out);

  // The Data or End just returned is the file's first line after "begin":
  // the file is to be opened before its bytes are taken.
  [[nodiscard]] bool opens_file() const { return opens_file_; }
  // The file could not be opened or written: the search goes on.
  void Stop() { state_ = State::Searching; }

  // Inside a file's data, its "end" line not yet seen.
  [[nodiscard]] bool in_file() const { return state_ == State::InFile; }
  // The part was marked uuencoded and held no file.
  [[nodiscard]] bool missing() const { return expected_ && !found_; }
  // The file's name as given, and the safe name it is written under.
  [[nodiscard]] const std::string& name() const { return name_; }
  [[nodiscard]] const std::string& file_name() const { return file_name_; }

 private:
  // Searching for a "begin" line; one seen, its data not yet; inside the data.
  enum class State { Searching, Begun, InFile };

  [[nodiscard]] UuScan Begin(std::string_view line);

  SafeName safe_name_;
  State state_ = State::Searching;
  bool expected_ = false;
  bool found_ = false;
  bool opens_file_ = false;
  std::string part_name_;
  std::string name_;
  std::string file_name_;
};

}  // namespace kestrel::mime
