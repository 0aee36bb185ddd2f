// SPDX-License-Identifier: GPL-2.0-or-later
#include "mime/content_decoder.h"

#include "mime/ascii_text.h"
#include "mime/mime_text.h"

namespace kestrel::mime {

TransferEncoding ParseTransferEncoding(std::string_view value) {
  const std::string upper = UpperCase(TrimBlanks(value));
  if (upper.empty() || upper == "7BIT" || upper == "8BIT" || upper == "BINARY")
    return TransferEncoding::Identity;
  if (upper == "BASE64") return TransferEncoding::Base64;
  if (upper == "QUOTED-PRINTABLE") return TransferEncoding::QuotedPrintable;
  if (upper == "X-UUENCODE" || upper == "X-UUE" || upper == "UUENCODE" || upper == "X-UUENCODED")
    return TransferEncoding::Uuencode;
  return TransferEncoding::Unknown;
}

std::unique_ptr<ContentDecoder> MakeContentDecoder(TransferEncoding encoding) {
  switch (encoding) {
    case TransferEncoding::Identity:
      return MakeIdentityDecoder();
    case TransferEncoding::Base64:
      return MakeBase64Decoder();
    case TransferEncoding::QuotedPrintable:
      return MakeQuotedPrintableDecoder();
    case TransferEncoding::Uuencode:
    case TransferEncoding::Unknown:
      break;
  }
  return nullptr;
}

}  // namespace kestrel::mime
