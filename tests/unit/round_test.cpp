// Round completion and cache reload against the recording host.

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "recorder.h"
#include "test_device.h"

using host::Call;
using Kind = host::Call::Kind;

namespace {

class RoundTest : public ::testing::Test {
 protected:
  void SetUp() override { dev.SetIds(9, "127.0.0.1:1"); }
  void TearDown() override { host::SetBatchCheck(nullptr); }

  std::vector<Kind> Kinds() const {
    std::vector<Kind> kinds;
    for (const Call& c : rec.Calls()) kinds.push_back(c.kind);
    return kinds;
  }

  host::Recorder rec;
  host::ScopedObserver attach{&rec};
  TestDevice dev;
};

std::vector<unsigned char> Bytes(const SNMP_KEHUA_INVERTER_Data_t& r) {
  const auto* p = reinterpret_cast<const unsigned char*>(&r);
  return std::vector<unsigned char>(p, p + sizeof r);
}

}  // namespace

TEST_F(RoundTest, NewDeviceHasZeroRecordAndDefaultMode) {
  const auto bytes = Bytes(dev.data_);
  EXPECT_EQ(bytes, std::vector<unsigned char>(75, 0));
  EXPECT_EQ(dev.b_mode_, 1);
  EXPECT_TRUE(dev.alarm_ids_.empty());
  EXPECT_TRUE(dev.signal_names_.empty());
  EXPECT_FALSE(dev.data_ready_);
}

TEST_F(RoundTest, RoundDoneCallsTheHostInOrderWithTheSameBytes) {
  dev.data_.readings[3] = 220.0f;
  dev.rule_values_.push_back(rule_value{"r1", "rule", 1, false});
  dev.rule_values_.push_back(rule_value{"r2", "rule", 1, false});
  testing::internal::CaptureStdout();
  dev.RoundDone();
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "rvSize is 2\n");

  const std::vector<Kind> want = {Kind::SendSP, Kind::Reset,
                                  Kind::DoBatchCheckThreshold,
                                  Kind::SaveDeviceHistory};
  EXPECT_EQ(Kinds(), want);
  const auto calls = rec.Calls();
  const Call& send = calls[0];
  EXPECT_EQ(send.data_id, 5156);
  EXPECT_EQ(send.length, 75u);
  EXPECT_FALSE(send.flag);
  EXPECT_EQ(send.bytes, Bytes(dev.data_));
  EXPECT_EQ(calls[2].rules, 2u);
  EXPECT_EQ(calls[3].length, 75u);
  EXPECT_EQ(calls[3].bytes, send.bytes);

  // The record carries the round's time stamp.
  const TTime stamp = get_ttime(dev.last_update_);
  EXPECT_EQ(0, std::memcmp(send.bytes.data() + 68, stamp.bytes, 7));
  EXPECT_FALSE(dev.last_update_.is_special());
  EXPECT_TRUE(dev.data_ready_);
  EXPECT_EQ(dev.signal_index_, 1);
  EXPECT_TRUE(dev.rule_values_.empty());
}

TEST_F(RoundTest, AlarmFlagIsDecidedAfreshEachRound) {
  testing::internal::CaptureStdout();
  // Raised by the alarm step; the batch check is still made.
  dev.raise_in_check = true;
  host::SetBatchCheck(
      [](const TarnVDevice&, const std::vector<rule_value>&) { return false; });
  dev.RoundDone();
  EXPECT_TRUE(dev.alarm_raised_);
  EXPECT_EQ(rec.Count(Kind::DoBatchCheckThreshold), 1u);

  // A quiet round clears what the previous one raised.
  dev.raise_in_check = false;
  dev.RoundDone();
  EXPECT_FALSE(dev.alarm_raised_);

  // Raised by the host's batch check alone.
  host::SetBatchCheck(
      [](const TarnVDevice&, const std::vector<rule_value>&) { return true; });
  dev.RoundDone();
  EXPECT_TRUE(dev.alarm_raised_);
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(out, "rvSize is 1\nrvSize is 0\nrvSize is 0\n");
}

TEST_F(RoundTest, LoadFromCacheTakesExactlyOneRecord) {
  SNMP_KEHUA_INVERTER_Data_t cached;
  std::memset(&cached, 0, sizeof cached);
  cached.id = 77;
  cached.readings[12] = 1.0f;
  std::memset(cached.round_time.bytes, 0xAB, 7);
  const auto bytes = Bytes(cached);

  for (int len : {74, 76, -1, -75, 0}) {
    EXPECT_FALSE(dev.LoadFromCache(bytes.data(), len)) << len;
  }
  EXPECT_FALSE(dev.LoadFromCache(nullptr, 75));
  EXPECT_FALSE(dev.LoadFromCache(std::string(74, '\1')));
  EXPECT_TRUE(rec.Calls().empty());
  EXPECT_FALSE(dev.data_ready_);
  EXPECT_EQ(Bytes(dev.data_), std::vector<unsigned char>(75, 0));

  testing::internal::CaptureStdout();
  EXPECT_TRUE(dev.LoadFromCache(bytes.data(), 75));
  testing::internal::GetCapturedStdout();
  EXPECT_TRUE(dev.data_ready_);
  ASSERT_EQ(rec.Count(Kind::SendSP), 1u);
  ASSERT_EQ(rec.Count(Kind::SaveDeviceHistory), 1u);
  const Call send = rec.CallsOf(Kind::SendSP)[0];
  EXPECT_EQ(send.data_id, 5156);
  EXPECT_EQ(send.length, 75u);
  EXPECT_FALSE(send.flag);
  // Everything but the time stamp comes from the cache; the stamp is new.
  EXPECT_TRUE(
      std::equal(bytes.begin(), bytes.begin() + 68, send.bytes.begin()));
  const TTime stamp = get_ttime(dev.last_update_);
  EXPECT_EQ(0, std::memcmp(send.bytes.data() + 68, stamp.bytes, 7));
  EXPECT_EQ(rec.CallsOf(Kind::SaveDeviceHistory)[0].bytes, send.bytes);

  // The string overload forwards to the same operation.
  const std::string text(reinterpret_cast<const char*>(bytes.data()), 75);
  testing::internal::CaptureStdout();
  EXPECT_TRUE(dev.LoadFromCache(text));
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(rec.Count(Kind::SendSP), 2u);
}
