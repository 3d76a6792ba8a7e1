// The inverter device object: construction, settings and sampling mode.

#include <gtest/gtest.h>

#include "inverter_probe.h"
#include "slot_index.h"

TEST(InverterDevice, SlotOrderHoldsOnTheDriverClass) {
  for (const std::string& m : CheckDeviceSlots<SNMP_KEHUA_INVERTER>()) {
    ADD_FAILURE() << m;
  }
}

TEST(InverterDevice, StartsWithItsSessionTemplateAndAZeroRecord) {
  InverterProbe dev;
  EXPECT_EQ(dev.DeviceType(), "snmp_kehua_inverter");
  const netsnmp_session& templ = dev.SessionTemplate();
  EXPECT_EQ(templ.version, SNMP_VERSION_2c);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(templ.community),
                        templ.community_len),
            "varnel");
  EXPECT_EQ(templ.timeout, 10000000);
  EXPECT_EQ(templ.retries, 1);
  EXPECT_EQ(templ.peername, nullptr);
  const auto* bytes = reinterpret_cast<const unsigned char*>(&dev.Record());
  EXPECT_EQ(std::vector<unsigned char>(bytes, bytes + 75),
            std::vector<unsigned char>(75, 0));
  unsigned char buf[4] = {1, 2, 3, 4};
  EXPECT_EQ(dev.process_data(3, buf, 4), 0);
}

TEST(InverterDevice, InitSettingStampsIdAndOwnsThePeerName) {
  InverterProbe dev;
  std::string peer = "127.0.0.1:16100";
  dev.SetIds(31, peer);
  EXPECT_EQ(dev.InitSetting(ParseJson("{}")), 1);
  EXPECT_EQ(dev.Record().id, 31u);
  const char* peername = dev.SessionTemplate().peername;
  ASSERT_NE(peername, nullptr);
  EXPECT_STREQ(peername, "127.0.0.1:16100");
  EXPECT_NE(static_cast<const void*>(peername),
            static_cast<const void*>(peer.data()));
  EXPECT_FALSE(dev.Threaded());
}

TEST(InverterDevice, UseThreadSelectsTheSamplingMode) {
  struct Case {
    const char* settings;
    int use_thread;
  } cases[] = {
      {R"({"appSetting":{"use_thread":"1"}})", 1},
      {R"({"appSetting":{"use_thread":1}})", 1},
      {R"({"appSetting":{"use_thread":2}})", 2},
      {R"({"appSetting":{"use_thread":"-1"}})", -1},
      {R"({"appSetting":{"use_thread":"0"}})", 0},
      {R"({"appSetting":{"use_thread":"abc"}})", 0},
      {R"({"appSetting":{"use_thread":true}})", 0},
      {R"({"appSetting":{}})", 0},
      {R"({})", 0},
      {R"({"appSetting":"1"})", 0},
  };
  for (const Case& c : cases) {
    InverterProbe dev;  // empty peer: a walk prints its start line only
    testing::internal::CaptureStdout();
    EXPECT_EQ(dev.InitSetting(ParseJson(c.settings)), 1);
    EXPECT_EQ(dev.UseThread(), c.use_thread) << c.settings;
    EXPECT_EQ(dev.Threaded(), c.use_thread != 0) << c.settings;
    EXPECT_EQ(dev.RefreshStatus(), 0);
    const std::string out = testing::internal::GetCapturedStdout();
    if (c.use_thread == 0) {
      EXPECT_EQ(out, "SNMP_KEHUA_INVERTER::do_sample\n") << c.settings;
    }
  }
}
