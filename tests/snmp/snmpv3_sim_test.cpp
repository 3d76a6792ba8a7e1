// SNMPv3 walks against the simulated inverter: changed passphrases, agent
// restarts, and many threaded v3 and v2c devices at once.

#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <thread>

#include "child_process.h"
#include "log_budget.h"
#include "walk_fixture.h"

using namespace walk;
using namespace std::chrono;
using Kind = host::Call::Kind;

namespace {

const std::string kAuth = "Auth-Pass-4711", kPriv = "Priv-Pass-0815";
constexpr float kInputVoltage = 221.0f;  // the simulator's key 2

std::string V3(const std::string& auth, const std::string& priv,
               const std::string& extra = "",
               const std::string& wait = R"("timeout_ms":300,"retries":0)") {
  return R"({"appSetting":{)" + extra + R"("snmp":{)" + wait +
         R"(,"version":"3","user":"ups","auth":"SHA-256","auth_pass":")" +
         auth + R"(","priv_pass":")" + priv + R"("}}})";
}

class SimWalkTest : public ::testing::Test {
 protected:
  // One walk on fresh -1 readings; what it printed, on both streams.
  std::string Walk() {
    for (unsigned e = 0; e < 16; ++e) dev.SetReading(e, -1.0f);
    testing::internal::CaptureStderr();
    testing::internal::CaptureStdout();
    dev.RefreshStatus();
    return testing::internal::GetCapturedStdout() +
           testing::internal::GetCapturedStderr();
  }
  host::Recorder rec;
  host::ScopedObserver attach{&rec};
  InverterProbe dev;
};

}  // namespace

TEST_F(SimWalkTest, AChangedPassphraseTakesEffectOnTheNextInitSetting) {
  SimulatorProcess sim(INVERTER_SIM,
                       {"--user", "ups:SHA-256:" + kAuth + ":AES:" + kPriv});
  dev.SetIds(3, sim.address());
  const std::string refused =
      "snmpbulkwalk: " + sim.address() +
      ": user \"ups\": no authenticated answer; last unauthenticated report: "
      "wrong digests";
  // Wrong, right, wrong again: the library's user cache must not keep the
  // keys of an earlier configuration.
  for (const std::string auth : {"Wrong-Pass-1", kAuth.c_str(), "Wrong-2!"}) {
    SCOPED_TRACE(auth);
    dev.InitSetting(ParseJson(V3(auth, kPriv)));
    const std::string out = Walk();
    const bool right = auth == kAuth;
    EXPECT_EQ(out.find(refused) == std::string::npos, right) << out;
    EXPECT_EQ(dev.Reading(0), right ? kInputVoltage : -1.0f);
    for (const std::string& secret : {kAuth, kPriv, auth})
      EXPECT_EQ(out.find(secret), std::string::npos) << out;
  }
}

TEST_F(SimWalkTest, ARestartedAgentIsWalkedAgainWithinTwoRounds) {
  const std::string id = "0x8000AAAA0123456789";
  const std::string user = "ups:SHA-256:" + kAuth + ":AES:" + kPriv;
  auto sim = std::make_unique<SimulatorProcess>(
      INVERTER_SIM, std::vector<std::string>{"--user", user, "--engine-id", id,
                                             "--engine-boots", "5"});
  const int port = sim->port();
  dev.SetIds(4, sim->address());
  dev.InitSetting(ParseJson(V3(kAuth, kPriv)));
  Walk();
  ASSERT_EQ(dev.Reading(0), kInputVoltage);
  // Boots going back (a lost counter) is refused by the library as "too
  // old" as long as it remembers the engine's time, like unchanged boots
  // after more than 150 s up.
  const struct {
    const char* what;
    std::vector<std::string> engine;
    bool one_round = false;  // the library's resend on the time Report
  } restarts[] = {
      {"same engine, same boots", {"--engine-id", id, "--engine-boots", "5"}},
      {"same engine, boots back", {"--engine-id", id, "--engine-boots", "2"}},
      {"new engine", {}},
      {"first engine, boots up", {"--engine-id", id, "--engine-boots", "9"}},
      {"boots up again", {"--engine-id", id, "--engine-boots", "10"}, true},
  };
  for (const auto& restart : restarts) {
    SCOPED_TRACE(restart.what);
    sim.reset();
    std::vector<std::string> args = restart.engine;
    args.insert(args.end(), {"--user", user});
    sim = std::make_unique<SimulatorProcess>(INVERTER_SIM, args, port);
    Walk();
    if (dev.Reading(0) != kInputVoltage && !restart.one_round) Walk();
    EXPECT_EQ(dev.Reading(0), kInputVoltage);
  }
}

// Anyone who sees the requests can put an unauthenticated Report before each
// answer: the walk waits for the authenticated answers and stays complete.
// One that names a fake engine in discovery costs the rounds it lasts.
TEST_F(SimWalkTest, ForgedUnauthenticatedReportsEndNoWalk) {
  const std::string user = "ups:SHA-256:" + kAuth + ":AES:" + kPriv;
  auto sim = std::make_unique<SimulatorProcess>(
      INVERTER_SIM,
      std::vector<std::string>{"--user", user, "--forge-reports"});
  const int port = sim->port();
  dev.SetIds(7, sim->address());
  dev.InitSetting(ParseJson(V3(kAuth, kPriv)));
  for (int round = 0; round < 2; ++round) {
    const std::string out = Walk();
    EXPECT_EQ(out.find("snmpbulkwalk"), std::string::npos) << out;
    EXPECT_EQ(dev.Reading(0), kInputVoltage);
    EXPECT_EQ(dev.Reading(14), 0.0f);  // communication status: fresh
  }
  sim.reset();  // the port is taken again
  sim = std::make_unique<SimulatorProcess>(
      INVERTER_SIM,
      std::vector<std::string>{"--user", user, "--forge-reports",
                               "--forge-engine-id", "0x8000AAAA0BADBADBAD"},
      port);
  dev.InitSetting(ParseJson(V3(kAuth, kPriv)));  // discovers again
  const std::string faked = Walk();
  EXPECT_NE(faked.find("last unauthenticated report"), std::string::npos)
      << faked;
  EXPECT_EQ(dev.Reading(14), 1.0f);
  sim.reset();
  sim = std::make_unique<SimulatorProcess>(
      INVERTER_SIM, std::vector<std::string>{"--user", user}, port);
  const std::string after = Walk();
  EXPECT_EQ(dev.Reading(0), kInputVoltage) << after;
}

// Datagrams from the agent's address and port that no request asked for,
// noAuthNoPriv, before every answer: three for fresh engines (plain, with a
// 64-octet context engine ID, with a msgMaxSize below 484), each of which
// the library would keep in its engine-time table for ever, and one for the
// agent's engine with a 64-octet context engine ID, which it refuses with a
// line on standard error each time.
TEST_F(SimWalkTest, JunkFromTheAgentLeavesTheEngineTableAndTheLogAlone) {
  const std::vector<u_char> own = {0x80, 0,    0xbb, 0xbb, 1,
                                   0x23, 0x45, 0x67, 0x89};
  SimulatorProcess sim(INVERTER_SIM,
                       {"--user", "ups:SHA-256:" + kAuth + ":AES:" + kPriv,
                        "--engine-id", "0x8000BBBB0123456789"});
  auto fresh = [&own](int n) {
    std::vector<u_char> engine = own;
    engine.insert(engine.end(), {u_char(n >> 8), u_char(n)});
    return engine;
  };
  std::atomic<bool> flood{false};
  std::atomic<int> engines{0};
  ScriptedAgent relay(nullptr);
  relay.SetRawScript([&, forward = RelayTo(sim.port())](const Request& r) {
    const std::vector<u_char> context(64, 0x80);
    std::vector<Reply> replies;
    for (int i = 0; flood && i < 4; ++i) {
      replies.push_back(Reply::Raw(
          BuildRawV3Response(i < 3 ? fresh(engines++) : own,
                             i % 2 ? context : own, i == 2 ? 100 : 65507)));
    }
    replies.push_back(forward(r));
    return Reply::Sequence(replies);
  });
  dev.SetIds(8, relay.peer());
  dev.InitSetting(ParseJson(V3(kAuth, kPriv)));
  Walk();  // discovers the engine
  ASSERT_EQ(dev.Reading(0), kInputVoltage);
  flood = true;
  for (int walk = 0; walk < 2; ++walk) {
    const std::string out = Walk();
    EXPECT_EQ(dev.Reading(0), kInputVoltage) << out;
    EXPECT_EQ(dev.Reading(15), 95.0f);
    size_t lines = 0;
    for (size_t at = 0; (at = out.find("security service", at)) != out.npos;
         ++at)
      ++lines;
    EXPECT_LE(lines, inverter::snmp::LogBudget::kPerMinute) << out;
  }
  EXPECT_GE(engines, 2 * 17 * 3);
  for (int n = 0; n < engines; ++n) {
    const std::vector<u_char> engine = fresh(n);
    EXPECT_EQ(search_enginetime_list(engine.data(), u_int(engine.size())),
              nullptr)
        << n;
  }
}

// Cloned firmware: two cards with one engine ID (boots 3 and 300), one user.
TEST(SimClones, TwoAgentsWithOneEngineIdEachKeepWalking) {
  host::Recorder rec;
  host::ScopedObserver attach{&rec};
  const std::string user = "ups:SHA-256:" + kAuth + ":AES:" + kPriv;
  SimulatorProcess a(INVERTER_SIM, {"--user", user, "--engine-id",
                                    "0x8000AAAA0199", "--engine-boots", "3"});
  SimulatorProcess b(INVERTER_SIM, {"--user", user, "--engine-id",
                                    "0x8000AAAA0199", "--engine-boots", "300"});
  InverterProbe devices[2];
  devices[0].SetIds(5, a.address());
  devices[1].SetIds(6, b.address());
  for (InverterProbe& d : devices) d.InitSetting(ParseJson(V3(kAuth, kPriv)));
  for (int round = 0; round < 3; ++round) {
    for (InverterProbe& d : devices) {
      d.SetReading(0, -1.0f);
      testing::internal::CaptureStderr();
      d.RefreshStatus();
      EXPECT_EQ(testing::internal::GetCapturedStderr(), "") << round;
      EXPECT_EQ(d.Reading(0), kInputVoltage) << round;
    }
  }
}

TEST(LogBudget, AFewLinesAMinuteAndOneLineForTheRest) {
  using inverter::snmp::LogBudget;
  LogBudget budget;
  const LogBudget::Clock::time_point t = LogBudget::Clock::now();
  unsigned long held = 0, shown = 0;
  for (int i = 0; i < 100; ++i) shown += budget.Admit(t + i * 500ms, &held);
  EXPECT_EQ(shown, LogBudget::kPerMinute);
  EXPECT_TRUE(budget.Admit(t + 60s, &held));  // the next minute's first line
  EXPECT_EQ(held, 100 - LogBudget::kPerMinute);
  EXPECT_TRUE(budget.Admit(t + 61s, &held));
  EXPECT_EQ(held, 0u);
}

// Devices of one user on one agent share the library's user entry: one that
// is deleted or has a wrong passphrase must not break another's walk.
TEST_F(SimWalkTest, OtherDevicesOfTheSameUserLeaveAWalkAlone) {
  SimulatorProcess sim(INVERTER_SIM,
                       {"--user", "ups:SHA-256:" + kAuth + ":AES:" + kPriv,
                        "--delay-ms", "20"});  // a walk takes 18 x 20 ms
  dev.SetIds(5, sim.address());
  dev.InitSetting(ParseJson(V3(kAuth, kPriv)));
  for (const std::string other : {"Wrong-Pass-1", kAuth.c_str()}) {
    SCOPED_TRACE(other);
    std::atomic<bool> done{false};
    std::thread walker([&] {
      Walk();
      done = true;
    });
    while (!done) {  // one request a walk, then deleted
      InverterProbe b;
      b.SetIds(6, sim.address());
      b.InitSetting(ParseJson(V3(other, kPriv, "",
                                 R"("timeout_ms":300,"retries":0,)"
                                 R"("non_repeaters":0,"max_repetitions":20)")));
      b.RefreshStatus();
    }
    walker.join();
    EXPECT_EQ(dev.Reading(0), kInputVoltage);
    EXPECT_EQ(dev.Reading(14), 0.0f);  // communication status
  }
}

// Under ThreadSanitizer: v3 (authPriv) and v2c threaded devices on eight
// simulators, re-configured and deleted while walking; no device may take
// the user of the others on its agent.
TEST(SimThreads, V3AndV2cDevicesKeepTheirOwnAgentsReadings) {
  constexpr int kAgents = 8, kDevices = 32;
  host::Recorder rec;
  host::ScopedObserver attach{&rec};
  std::vector<std::unique_ptr<SimulatorProcess>> sims;
  for (int a = 0; a < kAgents; ++a) {  // key 2 tells the agents apart
    const std::string profile =
        testing::TempDir() + "sim_threads_" + std::to_string(a) + ".json";
    std::ofstream(profile) << R"({"objects":{"2":{"type":"INTEGER","value":)"
                           << 1000 * (a + 1) << "}}}";
    sims.push_back(std::make_unique<SimulatorProcess>(
        INVERTER_SIM,
        std::vector<std::string>{
            "--profile", profile, "--user",
            "ups:SHA-256:" + kAuth + std::to_string(a) + ":AES:" + kPriv}));
    std::remove(profile.c_str());
  }
  auto settings = [&](int d, bool v3) {
    const std::string thread = R"("use_thread":"1","b_mode":"2",)";
    const std::string a = std::to_string(d % kAgents);
    return ParseJson(
        v3 ? V3(kAuth + a, kPriv, thread, R"("timeout_ms":5000,"retries":1)")
           : R"({"appSetting":{)" + thread + R"("snmp":{"non_repeaters":0}}})");
  };
  std::vector<std::unique_ptr<InverterProbe>> devices;
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  for (int d = 0; d < kDevices; ++d) {
    devices.push_back(std::make_unique<InverterProbe>());
    devices[d]->SetIds(100 + d, sims[d % kAgents]->address());
    devices[d]->SetPause(milliseconds(20));
    devices[d]->InitSetting(settings(d, d < kDevices / 2));
  }
  for (auto& dev : devices) EXPECT_TRUE(WaitRounds(rec, dev.get(), 2, 30s));
  // Every fourth device changes version mid-run, then all are deleted.
  for (int d = 0; d < kDevices; d += 4)
    devices[d]->InitSetting(settings(d, d >= kDevices / 2));
  for (int d = 0; d < kDevices; d += 4)
    EXPECT_TRUE(WaitRounds(rec, devices[d].get(), 4, 30s));
  devices.clear();
  testing::internal::GetCapturedStdout();
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(err, "");  // no time-out, refusal or passphrase

  for (const host::Call& send : rec.CallsOf(Kind::SendSP)) {
    const int d = static_cast<int>(send.device_id) - 100;
    ASSERT_EQ(ReadingOf(send, 0), 1000.0f * (d % kAgents + 1)) << d;
    EXPECT_EQ(ReadingOf(send, 1), 220.0f) << d;
    EXPECT_EQ(ReadingOf(send, 14), 0.0f) << d;  // communication status
    EXPECT_EQ(ReadingOf(send, 15), 95.0f) << d;
  }
}
