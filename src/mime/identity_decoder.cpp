// SPDX-License-Identifier: GPL-2.0-or-later
// 7bit, 8bit and binary parts: the content is the lines themselves. Each line
// end becomes CR LF once the next line shows it was content.

#include "mime/content_decoder.h"

namespace kestrel::mime {
namespace {

class IdentityDecoder final : public ContentDecoder {
 public:
  void Feed(std::string_view piece, bool line_ends, std::string& out) override {
    if (line_end_pending_) out.append("\r\n");
    line_end_pending_ = false;
    out.append(piece);
    line_end_pending_ = line_ends;
  }

  void Finish(bool before_delimiter, std::string& out) override {
    if (line_end_pending_ && !before_delimiter) out.append("\r\n");
    line_end_pending_ = false;
  }

 private:
  bool line_end_pending_ = false;
};

}  // namespace

std::unique_ptr<ContentDecoder> MakeIdentityDecoder() {
  return std::make_unique<IdentityDecoder>();
}

}  // namespace kestrel::mime
