// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// Streaming decoders for the body of one MIME part, one per transfer
// encoding: lines (or pieces of long lines) in, the part's bytes out, with
// bounded state. The CR LF that ends the last line before a delimiter belongs
// to the delimiter (RFC 2046), never to the content.

#include <memory>
#include <string>
#include <string_view>

namespace kestrel::mime {

enum class TransferEncoding {
  Identity,         // 7bit, 8bit, binary (and none given)
  Base64,           //
  QuotedPrintable,  //
  Uuencode,         // x-uuencode and kin: "begin" ... "end" inside the part
  Unknown,          // anything else: the part cannot be decoded
};

// A Content-Transfer-Encoding value, in any letter case, blanks around.
[[nodiscard]] TransferEncoding ParseTransferEncoding(std::string_view value);

class ContentDecoder {
 public:
  virtual ~ContentDecoder() = default;
  // One piece of a body line, without its line end; line_ends: the line
  // ends after this piece. Decoded bytes are appended to `out`.
  virtual void Feed(std::string_view piece, bool line_ends, std::string& out) = 0;
  // The body has ended. before_delimiter: a delimiter line follows, so the
  // last line end is not content.
  virtual void Finish(bool before_delimiter, std::string& out) = 0;
  // How many bytes at the start of `out` later input can no longer change;
  // the caller may take them away.
  [[nodiscard]] virtual std::size_t Ready(const std::string& out) const { return out.size(); }
};

// 7bit, 8bit and binary: the lines as they came, joined by CR LF.
[[nodiscard]] std::unique_ptr<ContentDecoder> MakeIdentityDecoder();
// BASE64 as one stream: characters outside the alphabet are skipped, and
// "=" padding ends a group wherever it comes.
[[nodiscard]] std::unique_ptr<ContentDecoder> MakeBase64Decoder();
// Quoted-printable (RFC 2045 6.7): "=XX" bytes, "=" soft line breaks,
// trailing blanks dropped, malformed escapes kept as they are.
[[nodiscard]] std::unique_ptr<ContentDecoder> MakeQuotedPrintableDecoder();

// The decoder for an encoding; null for Uuencode and Unknown.
[[nodiscard]] std::unique_ptr<ContentDecoder> MakeContentDecoder(TransferEncoding encoding);

}  // namespace kestrel::mime
