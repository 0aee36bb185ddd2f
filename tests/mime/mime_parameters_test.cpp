// SPDX-License-Identifier: GPL-2.0-or-later
#include "mime/mime_parameters.h"

#include <gtest/gtest.h>

namespace kestrel::mime {
namespace {

// File names as mail clients write them: quoted or not, RFC 2231 (charset,
// percent escapes, numbered sections), RFC 2047 words inside quotes.
TEST(DecodedParameter, NamesAsClientsWriteThem) {
  const struct {
    std::string field, name;
  } cases[] = {
      {"attachment; filename=\"FILE.ZIP\"", "FILE.ZIP"},
      {"attachment; filename=FILE.ZIP; size=10", "FILE.ZIP"},
      {"attachment; filename=\"a;b \\\"q\\\".pkt\"; size=10", "a;b \"q\".pkt"},
      {"attachment; filename=\"C:\\FIDO\\X.PKT\"", "C:\\FIDO\\X.PKT"},
      {"attachment; filename=My File.tic  ", "My File.tic"},
      {"attachment; filename=\"NO CLOSING", "NO CLOSING"},
      {"attachment; FILENAME*=UTF-8''%E2%82%AC%20rate.pkt", "\u20ac rate.pkt"},
      {"attachment; filename*=iso-8859-1'de'M%FCller.tic", "M\u00fcller.tic"},
      {"attachment; filename*0*=UTF-8''%E2%82; filename*1*=%AC-long; filename*2=\"-name.pkt\"",
       "\u20ac-long-name.pkt"},
      {"attachment; filename*1=\"b.pkt\"; filename*0=\"a\"", "ab.pkt"},
      {"attachment; filename=\"=?UTF-8?B?0YTQsNC50Ls=?= =?UTF-8?Q?=2Epkt?=\"",
       "\u0444\u0430\u0439\u043b.pkt"},
      {"attachment; filename=\"=?ISO-8859-1?Q?M=FCller_2.tic?=\"", "M\u00fcller 2.tic"},
      {"attachment; filename=\"=?NO-SUCH-SET?Q?x=41?= y\"", "xA y"},
      {"attachment; filename=\"=?UTF-8?X?broken?=\"", "=?UTF-8?X?broken?="},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(DecodedParameter(ParseMimeField(c.field), "filename"), c.name) << c.field;
  }
  EXPECT_EQ(DecodedParameter(ParseMimeField("inline"), "filename"), std::nullopt);
  const MimeField type = ParseMimeField(" Multipart/Mixed ;\tboundary=\"=_b 1\"");
  EXPECT_EQ(type.value, "multipart/mixed");
  EXPECT_EQ(RawParameter(type, "boundary"), "=_b 1");
}

}  // namespace
}  // namespace kestrel::mime
