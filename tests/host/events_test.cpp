// The host program's events lines: every field of every kind of call, exact
// float readings, JSON escaping, and whole lines under concurrent writers.

#include "events.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <sstream>
#include <thread>

#include "json_text.h"
#include "summary.h"

namespace {

using host::Call;

using tarn::test::ParseJson;

Call MakeCall(Call::Kind kind) {
  Call call;
  call.kind = kind;
  call.device_id = 7;
  return call;
}

// A 75-byte record: id, readings, round time 2026-12-08 15:04:59.
std::vector<unsigned char> Record(std::uint32_t id, const float (&r)[16]) {
  std::vector<unsigned char> b(75);
  std::memcpy(b.data(), &id, 4);
  std::memcpy(b.data() + 4, r, sizeof r);
  const unsigned char time[] = {0xEA, 0x07, 12, 8, 15, 4, 59};
  std::memcpy(b.data() + 68, time, 7);
  return b;
}

TEST(Events, SendCarriesTheDecodedRecordAndItsBytes) {
  const float inf = std::numeric_limits<float>::infinity();
  const float r[16] = {221,
                       49.9f,
                       3.4f,
                       -0.0f,
                       1e-45f,
                       3.4028235e38f,
                       std::nanf(""),
                       inf,
                       -inf,
                       0.1f,
                       123456792.0f,
                       1,
                       0,
                       0,
                       0,
                       -7.25f};
  Call call = MakeCall(Call::Kind::SendSP);
  call.data_id = 5156;
  call.length = 75;
  call.bytes = Record(0xFEDCBA98, r);
  const std::string line = host::FormatEvent(call);
  EXPECT_EQ(line.find('\n'), std::string::npos);
  const Json::Value v = ParseJson(line);

  EXPECT_EQ(v["event"], "send");
  EXPECT_EQ(v["device"], 7);
  EXPECT_EQ(v["data_id"], 5156);
  EXPECT_EQ(v["length"], 75);
  EXPECT_EQ(v["flag"], false);
  EXPECT_EQ(v["record"]["id"].asUInt(), 0xFEDCBA98u);
  EXPECT_EQ(v["record"]["round_time"], "2026-12-08T15:04:59");
  const Json::Value& readings = v["record"]["readings"];
  ASSERT_EQ(readings.size(), 16u);
  for (Json::ArrayIndex k = 0; k < 16; ++k) {
    if (std::isnan(r[k]) || std::isinf(r[k])) continue;
    const float back = static_cast<float>(readings[k].asDouble());
    EXPECT_EQ(std::memcmp(&back, &r[k], 4), 0) << "entry " << k;
  }
  EXPECT_EQ(readings[6], "NaN");
  EXPECT_EQ(readings[7], "Infinity");
  EXPECT_EQ(readings[8], "-Infinity");

  const std::string hex = v["hex"].asString();
  ASSERT_EQ(hex.size(), 150u);
  EXPECT_EQ(hex.substr(0, 16), "98badcfe00005d43");  // id, then 221.0f
  EXPECT_EQ(hex.substr(136), "ea070c080f043b");
}

TEST(Events, RecordIsNullUnlessSeventyFiveBytes) {
  Call call = MakeCall(Call::Kind::SendSP);
  call.length = 3;
  call.bytes = {0x01, 0xAB, 0xFF};
  const Json::Value v = ParseJson(host::FormatEvent(call));
  EXPECT_TRUE(v["record"].isNull());
  EXPECT_EQ(v["hex"], "01abff");
}

TEST(Events, OtherCallsHaveTheirFields) {
  Call alarm = MakeCall(Call::Kind::CheckThresholdBool);
  alarm.type = 2;
  alarm.id = alarm.id2 = "120400640040";
  alarm.group = "UPS主机其他告警";
  alarm.name = "UPS故障";
  alarm.state = true;
  alarm.signal = 4;
  Json::Value v = ParseJson(host::FormatEvent(alarm));
  EXPECT_EQ(v["event"], "alarm");
  EXPECT_EQ(v["type"], 2);
  EXPECT_EQ(v["id"], "120400640040");
  EXPECT_EQ(v["id2"], "120400640040");
  EXPECT_EQ(v["group"], "UPS主机其他告警");
  EXPECT_EQ(v["name"], "UPS故障");
  EXPECT_EQ(v["state"], true);
  EXPECT_EQ(v["signal"], 4);

  Call history = MakeCall(Call::Kind::SaveDeviceHistory);
  history.length = 2;
  history.bytes = {0x00, 0x7F};
  v = ParseJson(host::FormatEvent(history));
  EXPECT_EQ(v["event"], "history");
  EXPECT_EQ(v["length"], 2);
  EXPECT_EQ(v["hex"], "007f");
  EXPECT_EQ(v.size(), 4u);

  Call batch = MakeCall(Call::Kind::DoBatchCheckThreshold);
  batch.rules = 6;
  batch.result = true;
  v = ParseJson(host::FormatEvent(batch));
  EXPECT_EQ(v["event"], "batch_check");
  EXPECT_EQ(v["rules"], 6);
  EXPECT_EQ(v["result"], true);

  EXPECT_EQ(host::FormatEvent(MakeCall(Call::Kind::Reset)),
            R"({"event":"reset","device":7})");
  EXPECT_EQ(host::FormatEvent(MakeCall(Call::Kind::InitSetting)),
            R"({"event":"init_setting","device":7})");
}

TEST(Events, StringsAreEscapedAndStayValidUtf8) {
  const std::string text = std::string("q\"b\\n\n\t\x01\x1f\0", 10) + "é€😀";
  std::string out;
  host::AppendJsonString(out, text);
  EXPECT_EQ(out,
            "\"q\\\"b\\\\n\\n\\t\\u0001\\u001f\\u0000"
            "é€😀\"");
  EXPECT_EQ(ParseJson("[" + out + "]")[0].asString(), text);

  // Stray continuation, truncated sequence, overlong form, surrogate.
  out.clear();
  host::AppendJsonString(out,
                         "a\x80"
                         "b\xE4\xB8"
                         "c\xC0\xAF"
                         "d\xED\xA0\x80");
  const std::string want =
      "a\uFFFDb\uFFFD\uFFFDc\uFFFD\uFFFDd\uFFFD\uFFFD\uFFFD";
  EXPECT_EQ(ParseJson("[" + out + "]")[0].asString(), want);
}

// The summary reads the record as the events do and names readings and
// alarms after the inverter's table.
TEST(Summary, ShowsTheRecordWithTheTablesNames) {
  std::FILE* file = std::tmpfile();
  ASSERT_NE(file, nullptr);
  host::Summary summary(file);
  float r[16] = {221, 220, 49.9f, 50, 37, 54.6f, 100, 31};
  Call send = MakeCall(Call::Kind::SendSP);
  send.bytes = Record(7, r);
  Call alarm = MakeCall(Call::Kind::CheckThresholdBool);
  alarm.id = "120400640060";
  alarm.name = "通讯状态";
  alarm.state = true;
  alarm.signal = 6;
  const Call save = MakeCall(Call::Kind::SaveDeviceHistory);
  for (const Call& call : {send, alarm, save}) summary.OnCall(call);
  r[7] = 32;
  send.bytes = Record(7, r);
  for (const Call& call : {send, save}) summary.OnCall(call);
  std::rewind(file);
  char text[2048];
  const std::string out(text, std::fread(text, 1, sizeof text, file));
  std::fclose(file);
  for (const char* part :
       {"device 7, round 1, 2026-12-08 15:04:59\n"
        "  input voltage         221 V        output voltage        220 V\n"
        "  input frequency       49.9 Hz      output frequency      50 Hz\n",
        "  battery capacity      100 %        internal temperature  31 C\n",
        "  ALARM RAISED:  通讯状态 (communication status), id 120400640060, "
        "signal 6\n",
        "round 2, 2026-12-08 15:04:59\n"
        "  changed: internal temperature 31 C -> 32 C\n"})
    EXPECT_NE(out.find(part), std::string::npos) << part << " in\n" << out;
}

TEST(EventWriter, ConcurrentWritersProduceWholeLines) {
  std::FILE* file = std::tmpfile();
  ASSERT_NE(file, nullptr);
  host::EventWriter writer(file);
  constexpr int kThreads = 4, kCalls = 300;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&writer, t] {
      Call call = MakeCall(Call::Kind::CheckThresholdBool);
      call.device_id = static_cast<unsigned>(t);
      call.name = std::string(200, 'x');
      for (int i = 0; i < kCalls; ++i) {
        call.signal = static_cast<unsigned short>(i);
        writer.OnCall(call);
      }
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_TRUE(writer.ok());

  std::rewind(file);
  std::string text;
  char buf[4096];
  for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, file)) > 0;)
    text.append(buf, n);
  std::fclose(file);
  std::istringstream lines(text);
  std::vector<int> next(kThreads, 0);
  int count = 0;
  for (std::string line; std::getline(lines, line); ++count) {
    const Json::Value v = ParseJson(line);
    const unsigned device = v["device"].asUInt();
    ASSERT_LT(device, static_cast<unsigned>(kThreads));
    EXPECT_EQ(v["signal"].asInt(), next[device]++);  // in call order
  }
  EXPECT_EQ(count, kThreads * kCalls);
}

}  // namespace
