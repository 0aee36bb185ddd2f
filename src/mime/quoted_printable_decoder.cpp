// SPDX-License-Identifier: GPL-2.0-or-later
// Quoted-printable parts (RFC 2045 6.7), decoded as the lines come: "=XX" is
// a byte, "=" at the end of a line joins it to the next, blanks (and a stray
// CR) at the end of a line were added on the way and are dropped, and an "=" that starts no
// valid escape stands for itself. A line end is CR LF once the next line
// shows it was content.

#include "mime/content_decoder.h"
#include "mime/mime_text.h"

namespace kestrel::mime {
namespace {

// Blanks held back in case the line ends after them; a longer run is content.
constexpr std::size_t kMaxHeldBlanks = 1024;

// Dropped at the end of a line: blanks added on the way, and a stray CR the
// line end left behind.
bool IsTrailingSpace(char c) {
  return IsBlank(c) || c == '\r';
}

class QuotedPrintableDecoder final : public ContentDecoder {
 public:
  void Feed(std::string_view piece, bool line_ends, std::string& out) override {
    if (line_end_pending_) out.append("\r\n");
    line_end_pending_ = false;
    for (const char c : piece) Take(c, out);
    if (line_ends) EndLine(out);
  }

  void Finish(bool before_delimiter, std::string& out) override {
    if (line_end_pending_ && !before_delimiter) out.append("\r\n");
    line_end_pending_ = false;
  }

 private:
  enum class State { Text, Equals, EqualsAndDigit };

  void Take(char c, std::string& out) {
    switch (state_) {
      case State::Text:
        if (IsTrailingSpace(c) && held_.size() < kMaxHeldBlanks) {
          held_.push_back(c);
          return;
        }
        out.append(held_);
        held_.clear();
        if (c == '=') {
          state_ = State::Equals;
          held_ = "=";
        } else {
          out.push_back(c);
        }
        return;
      case State::Equals:
        if (held_.size() == 1 && HexValue(c) >= 0) {
          state_ = State::EqualsAndDigit;
          held_.push_back(c);
          return;
        }
        if (IsTrailingSpace(c) && held_.size() < kMaxHeldBlanks) {  // "=" and blanks: a soft break?
          held_.push_back(c);
          return;
        }
        break;
      case State::EqualsAndDigit:
        if (HexValue(c) >= 0) {
          out.push_back(static_cast<char>(HexValue(held_[1]) * 16 + HexValue(c)));
          held_.clear();
          state_ = State::Text;
          return;
        }
        break;
    }
    // Not an escape after all: what was held is content, and so is `c`.
    out.append(held_);
    held_.clear();
    state_ = State::Text;
    Take(c, out);
  }

  void EndLine(std::string& out) {
    switch (state_) {
      case State::Text:  // trailing blanks go
        line_end_pending_ = true;
        break;
      case State::Equals:  // a soft line break
        break;
      case State::EqualsAndDigit:
        out.append(held_);
        line_end_pending_ = true;
        break;
    }
    held_.clear();
    state_ = State::Text;
  }

  State state_ = State::Text;
  std::string held_;  // blanks, or "=" with what followed it, not yet decided
  bool line_end_pending_ = false;
};

}  // namespace

std::unique_ptr<ContentDecoder> MakeQuotedPrintableDecoder() {
  return std::make_unique<QuotedPrintableDecoder>();
}

}  // namespace kestrel::mime
