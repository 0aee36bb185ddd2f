// SPDX-License-Identifier: GPL-2.0-or-later
// BASE64 parts as one stream of characters, whatever their line length:
// runs of alphabet characters go to the lenient line decoder, anything
// else (blanks, stray characters) is skipped, and "=" padding completes the
// group of four it stands in, so data that follows it decodes afresh.

#include "mime/base64.h"
#include "mime/content_decoder.h"

namespace kestrel::mime {
namespace {

constexpr std::size_t kGroupChars = 4;

class Base64Decoder final : public ContentDecoder {
 public:
  void Feed(std::string_view piece, bool /*line_ends*/, std::string& out) override {
    if (line_decoder_.FeedAlphabetOnly(piece, out)) {  // the usual line: one run, no padding
      in_group_ = (in_group_ + piece.size()) % kGroupChars;
      return;
    }
    const char* p = piece.data();
    const char* const end = p + piece.size();
    while (p < end) {
      const char* run = p;
      while (p < end && InBase64Alphabet(*p)) ++p;
      if (p > run) {
        line_decoder_.Feed(std::string_view(run, static_cast<std::size_t>(p - run)), out);
        in_group_ = (in_group_ + static_cast<std::size_t>(p - run)) % kGroupChars;
      }
      if (p == end) break;
      // Padding counts only where it can stand: for the third or fourth character.
      if (*p == '=' && in_group_ >= 2) Pad(out);
      ++p;
    }
  }

  void Finish(bool /*before_delimiter*/, std::string& out) override {
    // Padding left out at the end: the group's whole bytes still count.
    while (in_group_ != 0) Pad(out);
  }

  [[nodiscard]] std::size_t Ready(const std::string& out) const override {
    return line_decoder_.ReadyBytes(out);
  }

 private:
  void Pad(std::string& out) {
    line_decoder_.Feed("=", out);
    in_group_ = (in_group_ + 1) % kGroupChars;
    if (in_group_ == 0) line_decoder_.EndLine(out);
  }

  Base64LineDecoder line_decoder_;
  std::size_t in_group_ = 0;  // characters of the current group of four
};

}  // namespace

std::unique_ptr<ContentDecoder> MakeBase64Decoder() {
  return std::make_unique<Base64Decoder>();
}

}  // namespace kestrel::mime
