// Threaded sampling: mode changes, stopping, concurrent devices and the
// cache reload serialised with a walk.

#include <chrono>
#include <thread>

#include "walk_fixture.h"

using namespace walk;
using namespace std::chrono;
using Kind = host::Call::Kind;

TEST_F(WalkTest, ThreadedDeviceWalksAloneAndRefreshStatusDoesNot) {
  Serve(TableScript(SixteenIntegers(0)));
  dev.InitSetting(ParseJson(R"({"appSetting":{"use_thread":"1"}})"));
  ASSERT_TRUE(dev.Threaded());
  ASSERT_TRUE(WaitRounds(rec, &dev, 1, seconds(10)));
  const size_t requests = agent->request_count();
  EXPECT_EQ(dev.RefreshStatus(), 0);
  EXPECT_EQ(agent->request_count(), requests);  // the thread pauses 5 s

  // Back to host-driven: the thread is gone and each refresh walks once.
  dev.InitSetting(ParseJson(R"({"appSetting":{"use_thread":0}})"));
  EXPECT_FALSE(dev.Threaded());
  const size_t rounds = Rounds();
  dev.RefreshStatus();
  EXPECT_EQ(Rounds(), rounds + 1);
  EXPECT_EQ(agent->request_count(), requests + 17);

  // And threaded again: a new thread walks at once.
  dev.InitSetting(ParseJson(R"({"appSetting":{"use_thread":-1}})"));
  EXPECT_TRUE(dev.Threaded());
  EXPECT_TRUE(WaitRounds(rec, &dev, rounds + 2, seconds(10)));
}

TEST(ThreadedStop, DeletingADeviceStopsItsThreadMidPauseAndMidWalk) {
  host::Recorder rec;
  host::ScopedObserver attach{&rec};
  const Table table = SixteenIntegers(0);
  // Slow answers make the walk take about 17 x 30 ms.
  ScriptedAgent agent([&](const Request& r) {
    return AnswerFromTable(table, r).Delayed(milliseconds(30));
  });

  for (bool mid_walk : {false, true}) {
    auto dev = std::make_unique<InverterProbe>();
    const TarnVDevice* id = dev.get();
    dev->SetIds(5, agent.peer());
    dev->InitSetting(ParseJson(R"({"appSetting":{"use_thread":1}})"));
    if (mid_walk) {
      ASSERT_TRUE(agent.WaitForRequests(agent.request_count() + 3, seconds(5)));
    } else {
      ASSERT_TRUE(WaitRounds(rec, id, 1, seconds(10)));
    }
    const auto start = steady_clock::now();
    dev.reset();
    // Bounded at 100 ms (generous margin here); a walk in progress ends
    // without a round.
    EXPECT_LT(steady_clock::now() - start, milliseconds(500)) << mid_walk;
    const size_t requests = agent.request_count();
    const size_t rounds = rec.Count(Kind::SendSP, id);
    EXPECT_EQ(rounds, mid_walk ? 0u : 1u);
    std::this_thread::sleep_for(milliseconds(200));
    EXPECT_EQ(agent.request_count(), requests);
    EXPECT_EQ(rec.Count(Kind::SendSP, id), rounds);
    rec.Clear();
  }
}

TEST(ThreadedDevices, ManyDevicesOnManyAgentsKeepTheirOwnReadings) {
  constexpr int kAgents = 8, kDevices = 32, kRounds = 2;
  host::Recorder rec;
  host::ScopedObserver attach{&rec};
  std::vector<std::unique_ptr<ScriptedAgent>> agents;
  for (int a = 0; a < kAgents; ++a) {
    agents.push_back(std::make_unique<ScriptedAgent>(
        TableScript(SixteenIntegers(1000 * (a + 1)))));
  }
  std::vector<std::unique_ptr<InverterProbe>> devices;
  for (int d = 0; d < kDevices; ++d) {
    devices.push_back(std::make_unique<InverterProbe>());
    devices.back()->SetIds(100 + d, agents[d % kAgents]->peer());
    devices.back()->SetPause(milliseconds(20));  // walks go on meanwhile
  }
  testing::internal::CaptureStdout();
  for (auto& dev : devices) {
    dev->InitSetting(
        ParseJson(R"({"appSetting":{"use_thread":"1","b_mode":"2"}})"));
  }
  for (auto& dev : devices) {
    EXPECT_TRUE(WaitRounds(rec, dev.get(), kRounds, seconds(30)));
  }
  // One thread reloads cached records (readings -1) into the second half
  // while the first half is deleted.
  std::thread reloader([&] {
    for (int i = 0; i < 20; ++i) {
      for (int d = kDevices / 2; d < kDevices; ++d) {
        const auto cached = CachedRecord(100 + d, -1.0f);
        devices[d]->LoadFromCache(
            reinterpret_cast<const unsigned char*>(&cached), sizeof cached);
      }
    }
  });
  for (int d = 0; d < kDevices / 2; ++d) devices[d].reset();
  reloader.join();
  devices.clear();
  testing::internal::GetCapturedStdout();

  for (const host::Call& send : rec.CallsOf(Kind::SendSP)) {
    const int d = static_cast<int>(send.device_id) - 100;
    const float base = 1000.0f * (d % kAgents + 1);
    EXPECT_EQ(RecordOf(send).id, send.device_id);
    const bool from_cache = ReadingOf(send, 0) == -1.0f;  // whole, never mixed
    for (unsigned e = 0; e < 16; ++e) {
      ASSERT_EQ(ReadingOf(send, e), from_cache ? -1.0f : base + 2 + e) << d;
    }
  }
}

TEST(CacheReload, IsNeverMixedWithAWalk) {
  host::Recorder rec;
  host::ScopedObserver attach{&rec};
  const Table table = SixteenIntegers(0);
  ScriptedAgent agent([&](const Request& r) {
    return AnswerFromTable(table, r).Delayed(milliseconds(20));
  });
  InverterProbe dev;
  dev.SetIds(8, agent.peer());
  dev.InitSetting(ParseJson("{}"));

  const auto cached = CachedRecord(8, -1.0f);
  std::thread walker([&] { dev.RefreshStatus(); });
  ASSERT_TRUE(agent.WaitForRequests(3, seconds(5)));
  EXPECT_TRUE(
      dev.LoadFromCache(reinterpret_cast<const unsigned char*>(&cached), 75));
  walker.join();

  const auto sends = rec.CallsOf(Kind::SendSP);
  ASSERT_EQ(sends.size(), 2u);
  // The cache is published at once, whole; then the walk, with its own
  // readings only.
  for (unsigned e = 0; e < 16; ++e) {
    EXPECT_EQ(ReadingOf(sends[0], e), -1.0f);
    EXPECT_EQ(ReadingOf(sends[1], e), 2.0f + e);
  }
}
