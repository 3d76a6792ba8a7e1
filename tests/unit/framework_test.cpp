// The host framework boundary: inline members, record layout and the host's
// compact time. The virtual slot order is checked on the driver class, which
// derives from these classes (tests/snmp/device_test.cpp).

#include <gtest/gtest.h>

#include <cstring>

#include "SNMP_KEHUA_INVERTER_Data.h"
#include "test_device.h"

TEST(InlineMembers, BehaveAsTheHostDeclaresThem) {
  TestDevice d;
  d.SetIds(42, "");
  try {
    d.Get_Value(0, "x");
    FAIL() << "Get_Value must throw";
  } catch (const std::out_of_range& e) {
    EXPECT_STREQ(e.what(), "数据未就绪");
  }
  EXPECT_EQ(d.DataId(), 42u);
  EXPECT_FALSE(d.UseControllerDb());
  EXPECT_EQ(d.GetChildVDevice(0), nullptr);
  EXPECT_TRUE(d.GetAllChildVDevices().empty());
}

TEST(RecordLayout, IsLittleEndianAndPacked) {
  SNMP_KEHUA_INVERTER_Data_t r;
  std::memset(&r, 0, sizeof r);
  r.id = 7;
  r.readings[0] = 1.0f;
  r.readings[15] = -2.0f;
  unsigned char b[75];
  std::memcpy(b, &r, sizeof b);
  const unsigned char head[] = {0x07, 0x00, 0x00, 0x00, 0x00, 0x00, 0x80, 0x3F};
  EXPECT_EQ(0, std::memcmp(b, head, sizeof head));
  const unsigned char last[] = {0x00, 0x00, 0x00, 0xC0};  // -2.0f at 64..67
  EXPECT_EQ(0, std::memcmp(b + 64, last, sizeof last));
  for (int i = 8; i < 64; ++i) EXPECT_EQ(b[i], 0) << "offset " << i;
}

TEST(CompactTime, YearLittleEndianThenOneBytePerField) {
  using namespace boost::posix_time;
  const ptime t(boost::gregorian::date(2026, 12, 8),
                hours(15) + minutes(4) + seconds(59));
  const TTime tt = get_ttime(t);
  const unsigned char want[] = {0xEA, 0x07, 12, 8, 15, 4, 59};
  EXPECT_EQ(0, std::memcmp(tt.bytes, want, 7));
  const TTime none = get_ttime(ptime());
  EXPECT_EQ(0, std::memcmp(none.bytes, "\0\0\0\0\0\0\0", 7));
}
