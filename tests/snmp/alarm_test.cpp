// The inverter's alarm evaluation against the recording host.

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "inverter_probe.h"
#include "inverter_tables.h"
#include "recorder.h"

using Kind = host::Call::Kind;

namespace {

class AlarmTest : public ::testing::Test {
 protected:
  std::vector<host::Call> Alarms() const {
    return rec.CallsOf(Kind::CheckThresholdBool);
  }
  host::Recorder rec;
  host::ScopedObserver attach{&rec};
  InverterProbe dev;
};

}  // namespace

TEST_F(AlarmTest, OnlyModeTwoReports) {
  dev.SetReading(12, 1.0f);
  for (int mode : {1, 0, 3, -1, 20}) {
    dev.b_mode_ = mode;
    dev.signal_index_ = 5;
    dev.RunCheckThreshold();
    EXPECT_TRUE(Alarms().empty()) << mode;
    EXPECT_EQ(dev.signal_index_, 5) << mode;
  }
}

TEST_F(AlarmTest, ARoundReportsTheSixRowsInOrder) {
  dev.b_mode_ = 2;
  dev.SetReading(12, 1.0f);  // UPS fault
  testing::internal::CaptureStdout();
  dev.RoundDone();
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "rvSize is 6\n");

  const auto alarms = Alarms();
  ASSERT_EQ(alarms.size(), inverter::kAlarmTable.size());
  for (size_t i = 0; i < alarms.size(); ++i) {
    const host::Call& a = alarms[i];
    const std::string id = "1204006400" + std::to_string(i + 1) + "0";
    EXPECT_EQ(a.type, 2);
    EXPECT_EQ(a.id, id);
    EXPECT_EQ(a.id2, id);
    EXPECT_EQ(a.group, "UPS主机其他告警");
    EXPECT_EQ(a.name, inverter::kAlarmTable[i].name);
    EXPECT_EQ(a.signal, i + 1);
    EXPECT_EQ(a.state, inverter::kAlarmTable[i].reading == 12) << a.name;
  }
  EXPECT_EQ(alarms[3].name, "UPS故障");
  EXPECT_EQ(dev.signal_index_, 7);
  EXPECT_TRUE(dev.alarm_raised_);

  // The sent record was published before the alarms were evaluated.
  const auto calls = rec.Calls();
  EXPECT_EQ(calls.front().kind, Kind::SendSP);
  EXPECT_EQ(calls.back().kind, Kind::SaveDeviceHistory);
}

TEST_F(AlarmTest, StateIsReadingNotEqualToZero) {
  dev.b_mode_ = 2;
  struct Case {
    float value;
    bool state;
  } cases[] = {{0.0f, false},
               {-0.0f, false},
               {0.0001f, true},
               {-1.0f, true},
               {std::numeric_limits<float>::quiet_NaN(), true},
               {std::numeric_limits<float>::infinity(), true}};
  for (const Case& c : cases) {
    rec.Clear();
    for (unsigned e = 0; e < 16; ++e) dev.SetReading(e, c.value);
    dev.signal_index_ = 1;
    dev.RunCheckThreshold();
    for (const host::Call& a : Alarms()) EXPECT_EQ(a.state, c.state) << c.value;
  }
}

TEST_F(AlarmTest, NumberingContinuesFromTheCurrentIndex) {
  dev.b_mode_ = 2;
  dev.signal_index_ = 1000;
  dev.RunCheckThreshold();
  auto alarms = Alarms();
  ASSERT_EQ(alarms.size(), 6u);
  EXPECT_EQ(alarms[0].id, "1204006410000");
  EXPECT_EQ(alarms[0].signal, 1000);
  EXPECT_EQ(alarms[5].id, "1204006410050");

  // 16-bit arithmetic: 65535 is followed by 0.
  rec.Clear();
  dev.signal_index_ = 65534;
  dev.RunCheckThreshold();
  alarms = Alarms();
  EXPECT_EQ(alarms[1].id, "12040064655350");
  EXPECT_EQ(alarms[2].id, "120400640000");
  EXPECT_EQ(alarms[2].signal, 0);
  EXPECT_EQ(dev.signal_index_, 4);
}
