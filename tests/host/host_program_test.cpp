// The host program as a user runs it: against the simulated inverter in both
// sampling modes, checked through its events file, and with bad input.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <json/json.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>
#include <sstream>
#include <thread>

#include "child_process.h"
#include "json_text.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using tarn::test::ChildProcess;
using tarn::test::SimulatorProcess;

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

void WriteFile(const fs::path& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

// A program with its output in dir/name.out and dir/name.err; the host
// program behind its launcher (an emulator in cross builds).
ChildProcess Start(std::vector<std::string> args, const fs::path& dir,
                   const std::string& name) {
  if (args[0] == TARN_HOST) {
    std::istringstream launcher(TARN_HOST_LAUNCHER);
    args.insert(args.begin(), std::istream_iterator<std::string>(launcher),
                std::istream_iterator<std::string>());
  }
  return ChildProcess(std::move(args), (dir / name).string());
}

// The simulated inverter with the fault profile below, output in dir/sim.*.
SimulatorProcess Simulator(const fs::path& dir,
                           std::vector<std::string> args = {}) {
  args.insert(args.begin(), {"--profile", PROFILES "/fault_short.json"});
  return SimulatorProcess(INVERTER_SIM, std::move(args), 0,
                          (dir / "sim").string());
}

class HostProgram : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
    dir_ = fs::path(TEST_OUTPUT_DIR) / test->name();
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }

  fs::path dir_;
};

// ---------------------------------------------------------------------------
// End to end: the host program runs two devices against the simulator whose
// UPS fault (key 14, entry 12) is raised from 3 s to 8 s.

struct Round {
  Json::Value send;
  std::vector<Json::Value> alarms;
};

// Reads the events of one device and checks the shape of every round:
// init_setting once, then send, reset, six alarms, batch_check, history.
std::vector<Round> RoundsOf(const std::vector<Json::Value>& events,
                            unsigned device) {
  static const char* const kNames[] = {"市电异常", "电池欠压", "旁路输出",
                                       "UPS故障",  "一般告警", "通讯状态"};
  std::vector<Json::Value> mine;
  for (const Json::Value& e : events)
    if (e["device"].asUInt() == device) mine.push_back(e);
  std::vector<Round> rounds;
  EXPECT_FALSE(mine.empty()) << "no events of device " << device;
  if (mine.empty()) return rounds;
  EXPECT_EQ(mine[0]["event"], "init_setting");
  EXPECT_EQ((mine.size() - 1) % 10, 0u) << "incomplete round";
  for (std::size_t i = 1; i + 10 <= mine.size(); i += 10) {
    Round round;
    round.send = mine[i];
    EXPECT_EQ(mine[i]["event"], "send");
    EXPECT_EQ(mine[i + 1]["event"], "reset");
    for (int a = 0; a < 6; ++a) {
      const Json::Value& alarm = mine[i + 2 + a];
      EXPECT_EQ(alarm["event"], "alarm");
      EXPECT_EQ(alarm["type"], 2);
      EXPECT_EQ(alarm["id"], "1204006400" + std::to_string(a + 1) + "0");
      EXPECT_EQ(alarm["id2"], alarm["id"]);
      EXPECT_EQ(alarm["group"], "UPS主机其他告警");
      EXPECT_EQ(alarm["name"], kNames[a]);
      EXPECT_EQ(alarm["signal"], a + 1);
      // Alarms 1..6 follow readings 9..14.
      const Json::Value& reading = round.send["record"]["readings"][9 + a];
      EXPECT_EQ(alarm["state"].asBool(), reading.asDouble() != 0);
      round.alarms.push_back(alarm);
    }
    EXPECT_EQ(mine[i + 8]["event"], "batch_check");
    EXPECT_EQ(mine[i + 8]["rules"], 6);
    EXPECT_EQ(mine[i + 9]["event"], "history");
    EXPECT_EQ(mine[i + 9]["length"], 75);
    EXPECT_EQ(mine[i + 9]["hex"], mine[i]["hex"]) << "history differs";
    rounds.push_back(round);
  }
  return rounds;
}

// The record in a send event against its own bytes and the profile.
void CheckRecord(const Json::Value& send, unsigned device) {
  EXPECT_EQ(send["data_id"], 5156);
  EXPECT_EQ(send["length"], 75);
  EXPECT_EQ(send["flag"], false);
  const Json::Value& record = send["record"];
  EXPECT_EQ(record["id"].asUInt(), device);
  EXPECT_TRUE(std::regex_match(record["round_time"].asString(),
                               std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d)")))
      << record["round_time"];
  const std::string hex = send["hex"].asString();
  ASSERT_EQ(hex.size(), 150u);
  unsigned char bytes[75];
  for (int i = 0; i < 75; ++i)
    bytes[i] = static_cast<unsigned char>(
        std::stoi(hex.substr(2 * i, 2), nullptr, 16));
  std::uint32_t id;
  std::memcpy(&id, bytes, 4);
  EXPECT_EQ(id, device);
  float readings[16];
  std::memcpy(readings, bytes + 4, sizeof readings);
  ASSERT_EQ(record["readings"].size(), 16u);
  for (Json::ArrayIndex k = 0; k < 16; ++k)
    EXPECT_EQ(static_cast<float>(record["readings"][k].asDouble()), readings[k])
        << "entry " << k;
  EXPECT_EQ(readings[0], 230.0f);   // key 2, INTEGER
  EXPECT_EQ(readings[1], 220.0f);   // key 3, built-in INTEGER
  EXPECT_EQ(readings[2], 50.1f);    // key 4, Opaque float
  EXPECT_EQ(readings[5], -12.75f);  // key 7, Opaque float
  EXPECT_EQ(readings[8], 3.4f);     // key 10, Opaque float
}

// Every line of an events file, each a whole JSON object.
std::vector<Json::Value> ReadEvents(const fs::path& path) {
  const std::string text = ReadFile(path);
  EXPECT_TRUE(text.empty() || text.back() == '\n') << "last line cut";
  std::vector<Json::Value> events;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);)
    events.push_back(tarn::test::ParseJson(
        line, path.string() + ", line " + std::to_string(events.size() + 1)));
  return events;
}

void RunBothDevices(const fs::path& dir, bool threaded, unsigned long rounds,
                    const std::string& interval) {
  const SimulatorProcess sim = Simulator(dir);
  const std::string& address = sim.address();

  Json::Value config;
  for (unsigned id : {7u, 9u}) {
    Json::Value device;
    device["data_id"] = id;
    device["address"] = address;
    device["settings"]["appSetting"]["use_thread"] = threaded ? "1" : "0";
    device["settings"]["appSetting"]["b_mode"] = "2";
    config["devices"].append(device);
  }
  config["comment"] = "other keys are allowed";
  WriteFile(dir / "config.json", config.toStyledString());

  ChildProcess host = Start(
      {TARN_HOST, "--plugin", PLUGIN_PATH, "--config",
       (dir / "config.json").string(), "--rounds", std::to_string(rounds),
       "--interval", interval, "--events", (dir / "events.jsonl").string()},
      dir, "host");
  ASSERT_EQ(host.Wait(60s), 0) << host.Err();
  const std::string out = host.Out();
  EXPECT_NE(out.find("\nhost: 2 devices deleted, plug-in unloaded\n"),
            std::string::npos)
      << out;

  const std::vector<Json::Value> events = ReadEvents(dir / "events.jsonl");
  for (unsigned device : {7u, 9u}) {
    SCOPED_TRACE("device " + std::to_string(device));
    const std::vector<Round> got = RoundsOf(events, device);
    if (threaded) {
      EXPECT_GE(got.size(), rounds);
    } else {
      EXPECT_EQ(got.size(), rounds);
    }
    for (const Round& round : got) CheckRecord(round.send, device);
    // The UPS fault: off, raised, cleared again.
    std::string states;
    for (const Round& round : got) {
      EXPECT_EQ(round.alarms[3]["name"], "UPS故障");
      EXPECT_EQ(round.alarms[3]["signal"], 4);
      const char state = round.alarms[3]["state"].asBool() ? '1' : '0';
      if (states.empty() || states.back() != state) states += state;
    }
    EXPECT_EQ(states, "010");
  }
}

TEST_F(HostProgram, HostDrivenDevicesSeeTheFaultRaisedAndCleared) {
  RunBothDevices(dir_, false, 22, "0.5");
}

TEST_F(HostProgram, ThreadedDevicesSeeTheFaultRaisedAndCleared) {
  // Threaded devices pause 5 s between rounds: t = 0 s, 5 s, 10 s.
  RunBothDevices(dir_, true, 3, "5");
}

// ---------------------------------------------------------------------------
// Bad input: exit status 2 and one line on standard error.

// A silent agent and time-outs the settings allow: 21 s, one retry. The
// round completes after 42 s, later than a fixed 40 s would wait.
TEST_F(HostProgram, ThreadedDeviceWithLongTimeOutsIsNotReportedLate) {
  const int silent = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in at{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
  socklen_t length = sizeof at;
  ASSERT_EQ(bind(silent, reinterpret_cast<sockaddr*>(&at), sizeof at), 0);
  getsockname(silent, reinterpret_cast<sockaddr*>(&at), &length);
  ChildProcess host = Start(
      {TARN_HOST, "--plugin", PLUGIN_PATH, "--address",
       "127.0.0.1:" + std::to_string(ntohs(at.sin_port)), "--settings",
       R"({"appSetting":{"use_thread":"1","snmp":{"timeout_ms":21000,"retries":"1"}}})",
       "--summary"},
      dir_, "patient");
  EXPECT_EQ(host.Wait(90s), 0) << host.Err();
  EXPECT_EQ(host.Err().find("in time"), std::string::npos) << host.Err();
  close(silent);
}

TEST_F(HostProgram, BadInputIsOneLineAndStatusTwo) {
  const std::string good = (dir_ / "good.json").string();
  WriteFile(good, R"({"devices":[{"data_id":7,"address":"127.0.0.1:9"}]})");
  auto config = [&](const std::string& name, const std::string& text) {
    WriteFile(dir_ / name, text);
    return (dir_ / name).string();
  };
  const std::string text_file = config("not_elf.so", "not a shared object\n");

  const std::vector<std::pair<std::string, std::vector<std::string>>> cases = {
      {"missing plug-in",
       {"--plugin", (dir_ / "none.so").string(), "--config", good}},
      {"plug-in not ELF", {"--plugin", text_file, "--config", good}},
      {"no get_providers", {"--plugin", NO_PROVIDERS_PATH, "--config", good}},
      {"no --plugin", {"--config", good}},
      {"unreadable config", {"--config", (dir_ / "none.json").string()}},
      {"malformed JSON",
       {"--config", config("bad.json", R"({"devices":[{"data_id":7,)")}},
      {"no devices", {"--config", config("empty.json", R"({"devices":[]})")}},
      {"no data_id",
       {"--config",
        config("noid.json", R"({"devices":[{"address":"127.0.0.1:9"}]})")}},
      {"data_id text",
       {"--config", config("textid.json",
                           R"({"devices":[{"data_id":"x","address":"a"}]})")}},
      {"no address",
       {"--config", config("noaddr.json", R"({"devices":[{"data_id":7}]})")}},
      {"same data_id twice",
       {"--config",
        config(
            "twice.json",
            R"({"devices":[{"data_id":7,"address":"a"},{"data_id":7,"address":"b"}]})")}},
      {"rounds negative", {"--config", good, "--rounds", "-1"}},
      {"device rounds negative",
       {"--config",
        config("rounds.json",
               R"({"devices":[{"data_id":7,"address":"a","rounds":-2}]})")}},
      {"rounds text", {"--config", good, "--rounds", "ten"}},
      {"rounds missing value", {"--config", good, "--rounds"}},
      {"interval text", {"--config", good, "--interval", "2s"}},
      {"unknown option", {"--config", good, "--bogus"}},
      {"events unwritable",
       {"--config", good, "--events", (dir_ / "no/such/dir").string()}},
  };
  int n = 0;
  for (const auto& [what, extra] : cases) {
    SCOPED_TRACE(what);
    std::vector<std::string> args = {TARN_HOST};
    if (std::find(extra.begin(), extra.end(), "--plugin") == extra.end() &&
        what != "no --plugin")
      args.insert(args.end(), {"--plugin", PLUGIN_PATH});
    args.insert(args.end(), extra.begin(), extra.end());
    ChildProcess host = Start(args, dir_, "case" + std::to_string(++n));
    EXPECT_EQ(host.Wait(20s), 2);
    const std::string err = host.Err();
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
    EXPECT_EQ(err.rfind("host: ", 0), 0u) << err;
    EXPECT_TRUE(!err.empty() && err.back() == '\n');
  }
}

// Refused input, each kind with its status and one line naming the file or
// option and what is wrong (line and column where JsonCpp gives them).
TEST_F(HostProgram, RefusedInputAndFailedWritesAreOneLine) {
  auto file = [&](const std::string& name, const std::string& text) {
    WriteFile(dir_ / name, text);
    return (dir_ / name).string();
  };
  const std::string device = R"({"data_id":7,"address":"127.0.0.1:9")";
  const std::string list = R"({"devices":[)" + device + "}]}";
  const std::string good = file("good.json", list);
  auto app = [&](const std::string& name, const std::string& settings) {
    return file(name, R"({"devices":[)" + device +
                          R"(,"settings":{"appSetting":)" + settings + "}}]}");
  };
  const std::string events = (dir_ / "events.jsonl").string();
  const std::string b_mode_2 = R"({"appSetting":{"b_mode":"2"}})";
  const struct {
    std::vector<std::string> args;
    int status;
    std::string line;
  } cases[] = {
      {{"--config", file("c1.json", list + "\n// note\n")},
       2,
       "c1.json, line 2, column 1: "},
      {{"--config", file("c2.json", "{/**/" + list.substr(1))},
       2,
       "c2.json, line 1, column 2: "},
      {{"--config", file("extra.json", list + " x")},
       2,
       "extra.json, line 1, column "},
      {{"--config", file("dup.json", list.substr(0, list.size() - 1) +
                                         ",\n\"devices\":[]}")},
       2,
       "dup.json, line 2, column 1, key \"devices\": Duplicate key"},
      {{"--config",
        app("secret.json", R"({"snmp":{"auth_pass":2025120945e}})")},
       2,
       "secret.json, line 1, column 96, key \"auth_pass\": value is not a "
       "number."},
      {{"--config",
        file("deep.json", std::string(2000, '[') + std::string(2000, ']'))},
       2,
       "deep.json: nested deeper than 32 levels"},
      {{"--config", file("big.json", list + std::string(1 << 20, ' '))},
       2,
       "big.json is larger than 1048576 bytes"},
      {{"--config", app("b_mode.json", R"({"b_mode":{}})")},
       2,
       "b_mode.json: device 1 of the list: settings the device cannot take ("},
      {{"--config", app("thread.json", R"({"use_thread":[]})")},
       2,
       "thread.json: device 1 of the list: settings the device cannot take ("},
      {{"--address", "127.0.0.1:9", "--settings",
        R"({"appSetting":{"b_mode":[]}})"},
       2,
       "--settings: settings the device cannot take ("},
      {{"--config",
        file("nul.json",
             R"({"devices":[{"data_id":7,"address":"127.0.0.1:9\u0000"}]})")},
       2,
       "nul.json: device 1 of the list: address has a control character (0x00 "
       "at offset 11)"},
      {{"--address", "127.0.0.1:9\n"},
       2,
       "--address: address has a control character (0x0A at offset 11)"},
      {{"--address", "udp:127.0.0.1:99999"},
       2,
       "--address: address \"udp:127.0.0.1:99999\": port \"99999\" is not a "
       "number from 0 to 65535"},
      {{"--config", good, "--address", "127.0.0.1:9"}, 2, "not both"},
      {{"--config", good, "--events", events, "--plugin-output",
        dir_.string() + "/./events.jsonl"},
       2,
       "are the same file"},
      {{"--config", good, "--events", "-", "--plugin-output", "/dev/stdout"},
       2,
       "--plugin-output /dev/stdout and standard output are the same file"},
      {{"--config", good, "--events", good}, 2, "are the same file"},
      {{"--config", good, "--events", "/dev/full"},
       1,
       "writing the events to /dev/full failed"},
      {{"--address", "127.0.0.1:9", "--settings", b_mode_2, "--plugin-output",
        "/dev/full"},
       1,
       "writing the plug-in's output to /dev/full failed"},
  };
  int n = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    std::vector<std::string> args = {TARN_HOST, "--plugin", PLUGIN_PATH,
                                     "--rounds", "0"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    ChildProcess host = Start(args, dir_, "refused" + std::to_string(++n));
    EXPECT_EQ(host.Wait(20s), c.status);
    const std::string err = host.Err();
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
    EXPECT_EQ(err.rfind("host: ", 0), 0u) << err;
    EXPECT_NE(err.find(c.line), std::string::npos) << err;
  }
  EXPECT_EQ(ReadFile(good), list);
}

// ---------------------------------------------------------------------------
// One device without a configuration file; runs stopped by signals.

TEST_F(HostProgram, AddressRunsOneDeviceWithoutAFile) {
  const SimulatorProcess sim = Simulator(dir_);
  ChildProcess host =
      Start({TARN_HOST, "--plugin", PLUGIN_PATH, "--address", sim.address(),
             "--settings", R"({"appSetting":{"b_mode":"2"}})", "--rounds", "2",
             "--interval", "0.2", "--events", (dir_ / "events.jsonl").string(),
             "--summary"},
            dir_, "host");
  ASSERT_EQ(host.Wait(60s), 0) << host.Err();
  const std::vector<Round> rounds =
      RoundsOf(ReadEvents(dir_ / "events.jsonl"), 1);
  EXPECT_EQ(rounds.size(), 2u);
  for (const Round& round : rounds) CheckRecord(round.send, 1);
  EXPECT_NE(host.Out().find("device 1: 2 rounds, alarms raised 0, cleared 0\n"
                            "host: 1 device deleted, plug-in unloaded\n"),
            std::string::npos)
      << host.Out();
}

TEST_F(HostProgram, SignalsStopTheRunCleanly) {
  const SimulatorProcess sim = Simulator(dir_);
  const std::string& address = sim.address();
  const std::string threaded = (dir_ / "threaded.json").string();
  WriteFile(
      threaded,
      R"({"devices":[{"data_id":7,"address":")" + address +
          R"(","settings":{"appSetting":{"use_thread":"1","b_mode":"2"}}}]})");
  const struct {
    int signal;
    const char* name;
    unsigned device;
    std::vector<std::string> args;
  } cases[] = {{SIGINT,
                "SIGINT",
                1,
                {"--address", address, "--interval", "0.1", "--settings",
                 R"({"appSetting":{"b_mode":"2"}})"}},
               {SIGTERM, "SIGTERM", 7, {"--config", threaded}}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const fs::path events = dir_ / (std::string(c.name) + ".jsonl");
    std::vector<std::string> args = {TARN_HOST,
                                     "--plugin",
                                     PLUGIN_PATH,
                                     "--rounds",
                                     "1000",
                                     "--summary",
                                     "--events",
                                     events.string(),
                                     "--plugin-output",
                                     (dir_ / "plugin.log").string()};
    args.insert(args.end(), c.args.begin(), c.args.end());
    ChildProcess host = Start(args, dir_, c.name);
    for (int i = 0;
         i < 500 && ReadFile(events).find("\"history\"") == std::string::npos;
         ++i)
      std::this_thread::sleep_for(20ms);
    host.Signal(c.signal);
    ASSERT_EQ(host.Wait(40s), 128 + c.signal) << host.Err();
    EXPECT_FALSE(RoundsOf(ReadEvents(events), c.device).empty());
    const std::string out = host.Out();
    EXPECT_TRUE(std::regex_search(
        out, std::regex("\ndevice " + std::to_string(c.device) +
                        ": [1-9][0-9]* rounds, alarms raised 0, cleared 0\n"
                        "host: 1 device deleted, plug-in unloaded\n$")))
        << out;
    EXPECT_EQ(host.Err(), "host: stopped by " + std::string(c.name) + "\n");
  }

  // A second signal does not wait for the walk (20 s) to an inverter that
  // answers a minute late.
  const SimulatorProcess late(INVERTER_SIM, {"--delay-ms", "60000"});
  ChildProcess stuck = Start({TARN_HOST, "--plugin", PLUGIN_PATH, "--address",
                              late.address(), "--summary"},
                             dir_, "stuck");
  for (int i = 0; i < 250 && stuck.Out().find("do_sample") == std::string::npos;
       ++i)
    std::this_thread::sleep_for(20ms);
  stuck.Signal(SIGINT);
  std::this_thread::sleep_for(300ms);
  stuck.Signal(SIGINT);
  EXPECT_EQ(stuck.Wait(5s), 128 + SIGINT);
  EXPECT_EQ(stuck.Out().find("deleted"), std::string::npos) << stuck.Out();
}

TEST_F(HostProgram, EventsOnStandardOutputAreAloneThere) {
  // No rounds: the devices are initialised (the plug-in prints a line then)
  // and deleted.
  const std::string config = (dir_ / "config.json").string();
  WriteFile(config, R"({"devices":[{"data_id":7,"address":"127.0.0.1:9",)"
                    R"("settings":{"appSetting":{"b_mode":"2"}}}]})");
  ChildProcess host = Start({TARN_HOST, "--plugin", PLUGIN_PATH, "--config",
                             config, "--rounds", "0", "--events", "-"},
                            dir_, "host");
  ASSERT_EQ(host.Wait(20s), 0) << host.Err();
  EXPECT_EQ(host.Out(), "{\"event\":\"init_setting\",\"device\":7}\n");
  EXPECT_NE(host.Err().find("InitSetting 7"), std::string::npos) << host.Err();
  EXPECT_NE(host.Err().find("host: 1 device deleted, plug-in unloaded\n"),
            std::string::npos)
      << host.Err();
}

TEST_F(HostProgram, HelpExitsZero) {
  ChildProcess host = Start({TARN_HOST, "--help"}, dir_, "help");
  EXPECT_EQ(host.Wait(10s), 0);
  EXPECT_NE(host.Out().find("--plugin PATH"), std::string::npos);
  EXPECT_EQ(host.Err(), "");
}

}  // namespace

// Per-device SNMP settings end to end: SNMPv3 users of the simulator fill
// the same record as v2c; wrong credentials and bad settings are one line
// each, with no readings; no passphrase is ever printed.
TEST_F(HostProgram, SnmpSettingsReachTheInverterOrSayWhyNot) {
  const std::string kAuth = "auth-secret-1", kPriv = "priv-secret-2";
  const SimulatorProcess sim =
      Simulator(dir_, {"--user", "alice:SHA-256:" + kAuth + ":AES:" + kPriv,
                       "--user", "bob:SHA:" + kAuth});
  const std::string& address = sim.address();
  auto snmp = [](const std::string& fields) {
    return R"({"appSetting":{"b_mode":"2","snmp":{"timeout_ms":300,"retries":0,)" +
           fields + "}}}";
  };
  const std::string alice = R"("version":"3","user":"alice","auth":"sha-256",)";
  struct Case {
    std::string what, settings, line;  // line: empty when readings come
  };
  const std::vector<Case> cases = {
      {"v2c, one request", snmp(R"("non_repeaters":0,"max_repetitions":20)"),
       ""},
      {"v3 authPriv",
       snmp(alice + R"("auth_pass":")" + kAuth + R"(","priv_pass":")" + kPriv +
            "\""),
       ""},
      {"v3 authNoPriv",
       snmp(R"("version":3,"user":"bob","auth_pass":")" + kAuth + "\""), ""},
      {"wrong passphrase",
       snmp(alice + R"("auth_pass":"not-the-one","priv_pass":")" + kPriv +
            "\""),
       "snmpbulkwalk: " + address +
           ": user \"alice\": no authenticated answer; last unauthenticated "
           "report: wrong digests"},
      {"wrong user",
       snmp(R"("version":"3","user":"carol","auth_pass":")" + kAuth + "\""),
       "snmpbulkwalk: " + address +
           ": user \"carol\": no authenticated answer; last unauthenticated "
           "report: unknown user name"},
      {"wrong community", snmp(R"("community":"other")"),
       "Timeout: No Response from " + address},
      {"bad value", snmp(alice + R"("auth_pass":"short")"),
       "SNMP_KEHUA_INVERTER 1: appSetting.snmp.auth_pass: must have at least "
       "8 characters"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const fs::path events = dir_ / "events.jsonl";
    ChildProcess host =
        Start({TARN_HOST, "--plugin", PLUGIN_PATH, "--address", address,
               "--settings", c.settings, "--rounds", "2", "--interval", "0.2",
               "--events", events.string(), "--summary"},
              dir_, "host");
    ASSERT_EQ(host.Wait(60s), 0) << host.Err();
    const std::vector<Round> rounds = RoundsOf(ReadEvents(events), 1);
    const std::string all = host.Out() + host.Err() + ReadFile(events);
    EXPECT_EQ(all.find(kAuth), std::string::npos);
    EXPECT_EQ(all.find(kPriv), std::string::npos);
    if (c.line.empty()) {
      EXPECT_EQ(host.Err(), "");
      ASSERT_EQ(rounds.size(), 2u);
      for (const Round& round : rounds) CheckRecord(round.send, 1);
    } else {
      EXPECT_EQ(host.Err().rfind(c.line, 0), 0u) << host.Err();
      for (const Round& round : rounds)  // no readings from the inverter
        EXPECT_EQ(round.send["record"]["readings"][0].asDouble(), 0.0);
      if (c.what == "bad value") EXPECT_TRUE(rounds.empty());
    }
  }
}
