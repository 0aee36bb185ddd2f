// SPDX-License-Identifier: GPL-2.0-or-later
#include "config/address.h"

#include <gtest/gtest.h>

#include "config/redirects.h"

namespace kestrel::config {
namespace {

TEST(CompleteAddress, AddsZoneAndPointOnly) {
  EXPECT_EQ(CompleteAddress("236/100", 2), "2:236/100.0");
  EXPECT_EQ(CompleteAddress("2:236/100", 2), "2:236/100.0");
  EXPECT_EQ(CompleteAddress("2:236/100.5", 2), "2:236/100.5");
  EXPECT_EQ(CompleteAddress("236.100", 2), "2:236.100");
  EXPECT_EQ(CompleteAddress(std::string(40, '1'), 2).size(), kMaxAddress);
}

TEST(OutboundPath, NodesPointsZonesAndDomains) {
  const std::string out = "C:\\BINK\\OUTBOUND";
  EXPECT_EQ(OutboundPath("2:236/100.0", out, 2), "C:\\BINK\\OUTBOUND\\00EC0064");
  EXPECT_EQ(OutboundPath("2:236/100.3", out, 2), "C:\\BINK\\OUTBOUND\\00EC0064.PNT\\00000003");
  EXPECT_EQ(OutboundPath("1:123/45.0", out, 2), "C:\\BINK\\OUTBOUND.001\\007B002D");
  EXPECT_EQ(OutboundPath("21:1/1.0", out, 2), "C:\\BINK\\OUTBOUND.015\\00010001");
  EXPECT_EQ(OutboundPath("5000:1/1.0", out, 2), "C:\\BINK\\OUTBOUND.000\\00010001");
  EXPECT_EQ(OutboundPath("2:236/100@fidonet", out, 2), OutboundPath("2:236/100.0", out, 2));
  EXPECT_EQ(OutboundPath("@fidonet", out, 2), "");
}

TEST(OutboundPath, MalformedPartsAreConversionErrors) {
  for (const char* bad : {"2:236/", "2:SYSOP.0", "2:236/1.2.3", ":1/1.0", "2:99999999999/1.0"}) {
    EXPECT_THROW((void)OutboundPath(bad, "/out", 2), ConversionError) << bad;
  }
}

TEST(ApplyRemap, ReplacesTheFirstOccurrence) {
  EXPECT_EQ(ApplyRemap("D:\\FILES\\NODELIST.ZIP", "D:\\FILES", "F:\\FIDO\\FILES", 255),
            "F:\\FIDO\\FILES\\NODELIST.ZIP");
  EXPECT_EQ(ApplyRemap("E:\\OTHER.ZIP", "D:\\FILES", "F:\\X", 255), "E:\\OTHER.ZIP");
  EXPECT_EQ(ApplyRemap("ABC", "", "X", 255), "ABC");
  EXPECT_EQ(ApplyRemap("AB", "A", "XXXX", 3), "XXX");
  // Lines keep their spelling; the pair matches them letter case aside.
  EXPECT_EQ(ApplyRemap("d:\\Files\\a.zip", "D:\\FILES", "/srv/fido", 255), "/srv/fido\\a.zip");
}

}  // namespace
}  // namespace kestrel::config
