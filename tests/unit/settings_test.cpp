// The settings loader: alarm mode, threshold table and their trace lines.

#include <gtest/gtest.h>

#include <climits>

#include "json_text.h"
#include "recorder.h"
#include "test_device.h"

namespace {

using tarn::test::ParseJson;

class SettingsTest : public ::testing::Test {
 protected:
  void SetUp() override { dev.SetIds(9, ""); }

  // Runs InitSetting and returns what it printed.
  std::string Init(const std::string& json) {
    testing::internal::CaptureStdout();
    EXPECT_EQ(dev.InitSetting(ParseJson(json)), 1);
    return testing::internal::GetCapturedStdout();
  }
  size_t HostInits() const { return rec.Count(host::Call::Kind::InitSetting); }

  host::Recorder rec;
  host::ScopedObserver attach{&rec};
  TestDevice dev;
};

}  // namespace

TEST_F(SettingsTest, WithoutAnAppSettingObjectTheModeStays) {
  for (const char* json : {R"({})", R"({"appSetting":"3"})",
                           R"({"appSetting":[3]})", R"({"appSetting":null})"}) {
    EXPECT_EQ(Init(json), "") << json;
    EXPECT_EQ(dev.b_mode_, 1) << json;
    EXPECT_EQ(dev.data_.id, 9u);
  }
  EXPECT_EQ(HostInits(), 4u);
}

TEST_F(SettingsTest, ModeIsReadAsAtoiReadsText) {
  struct Case {
    const char* value;
    int mode;
  } cases[] = {
      {"3", 3},
      {"\"3\"", 3},
      {"\"  3xyz\"", 3},
      {"\"abc\"", 0},
      {"3.5", 3},
      {"true", 0},
      {"\"-2\"", -2},
      {"\"+2\"", 2},
      {"\"123456789012345678901234567890\"", INT_MAX},
      {"\"-123456789012345678901234567890\"", INT_MIN},
      {"\"2147483647\"", INT_MAX},
      {"\"-2147483648\"", INT_MIN},
  };
  for (const Case& c : cases) {
    dev.b_mode_ = 1;
    const std::string out =
        Init(std::string(R"({"appSetting":{"b_mode":)") + c.value + "}}");
    EXPECT_EQ(dev.b_mode_, c.mode) << c.value;
    const std::string line =
        "InitSetting 9 b_mode_:" + std::to_string(c.mode) + "\n";
    EXPECT_EQ(out.substr(0, line.size()), line) << c.value;
  }
}

TEST_F(SettingsTest, ThresholdTableIsReadOnlyInModeThree) {
  const char* table =
      R"("thresholdSetting":{"t1":{"SignalName":"s","NMAlarmID":"A","ID":1,"SignalNumber":2}})";
  EXPECT_EQ(Init(std::string(R"({"appSetting":{"b_mode":2},)") + table + "}"),
            "InitSetting 9 b_mode_:2\n");
  EXPECT_TRUE(dev.alarm_ids_.empty());
  EXPECT_TRUE(dev.signal_names_.empty());

  EXPECT_EQ(Init(R"({"appSetting":{"b_mode":"3"}})"),
            "InitSetting 9 b_mode_:3\nhere 1\n");
  // The mode sticks when a later call does not name it.
  EXPECT_EQ(Init(R"({"thresholdSetting":7})"), "here 1\nhere 2\n");
}

TEST_F(SettingsTest, ThresholdEntriesAreTracedAndStored) {
  dev.threshold_levels_["b"] = 4;
  dev.threshold_values_["b"] = 12.5f;
  const std::string out = Init(R"({
    "appSetting": {"b_mode": 3},
    "thresholdSetting": {
      "b": {"SignalName": "Battery", "NMAlarmID": "A1", "ID": 7, "SignalNumber": "3", "extra": 1},
      "a": {"SignalName": null},
      "c": 5
    }})");
  EXPECT_EQ(out,
            "InitSetting 9 b_mode_:3\n"
            "here 1\n"
            "here 2\n"
            "here a\n"
            "9 NMAlarmID is missing\n"
            "9 ID is missing\n"
            "9 SignalNumber is missing\n"
            "mobile:a:;;; level:0 value:0\n"
            "here b\n"
            "mobile:b:A1;7;3; level:4 value:12.5\n"
            "here c\n");
  EXPECT_EQ(dev.alarm_ids_, (std::map<std::string, std::string>{
                                {"a", ";;;"}, {"b", "A1;7;3;"}}));
  EXPECT_EQ(dev.signal_names_,
            (std::map<std::string, std::string>{{"b", "Battery"}}));
  // The host's maps gained the key read for the trace line.
  EXPECT_EQ(dev.threshold_levels_.count("a"), 1u);
  EXPECT_EQ(dev.threshold_values_.count("a"), 1u);
  EXPECT_EQ(dev.threshold_levels_.count("c"), 0u);

  // A second call only adds and overwrites.
  Init(
      R"({"thresholdSetting":{"b":{"NMAlarmID":"Z","ID":"1","SignalNumber":"2"}}})");
  EXPECT_EQ(dev.alarm_ids_["a"], ";;;");
  EXPECT_EQ(dev.alarm_ids_["b"], "Z;1;2;");
  EXPECT_EQ(dev.signal_names_["b"], "Battery");
  EXPECT_EQ(HostInits(), 2u);
}

TEST_F(SettingsTest, JsonErrorsLeaveBeforeTheHostIsCalled) {
  const char* bad[] = {
      R"({"appSetting":{"b_mode":[3]}})",
      R"({"appSetting":{"b_mode":3},"thresholdSetting":[1]})",
      R"({"appSetting":{"b_mode":3},"thresholdSetting":{"k":{"ID":{}}}})",
      R"(5)",
  };
  for (const char* json : bad) {
    testing::internal::CaptureStdout();
    EXPECT_THROW(dev.InitSetting(ParseJson(json)), Json::Exception) << json;
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(dev.data_.id, 9u);
  }
  EXPECT_EQ(HostInits(), 0u);
}
