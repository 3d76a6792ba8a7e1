// Device lifecycle under load: many threaded devices made by the provider,
// as the host makes them, walking shared agents while other threads reload
// cached records into them; then every device deleted, most of them
// mid-walk against slow agents. Run under ThreadSanitizer for races and
// AddressSanitizer for leaks and use after free.

#include <gtest/gtest.h>
#include <json/json.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "SNMP_KEHUA_INVERTERProvider.h"
#include "recorder.h"
#include "walk_fixture.h"

using namespace walk;
using namespace std::chrono;

namespace {

constexpr int kAgents = 10;
constexpr int kDevices = 100;
constexpr int kRounds = 2;
constexpr unsigned kFirstId = 1000;
constexpr float kCached = -1.0f;

float Base(unsigned device_id) {
  return 1000.0f * float((device_id - kFirstId) % kAgents + 1);
}

// Counts each device's rounds by what they published, and every record
// that is neither a whole walk nor a whole cached record. Keeps no calls,
// so its memory stays flat however long it runs.
class RoundCounter : public host::Observer {
 public:
  void OnCall(const host::Call& call) override {
    if (call.kind != host::Call::Kind::SendSP) return;
    const SNMP_KEHUA_INVERTER_Data_t record = RecordOf(call);
    bool walk = true, cached = true;
    for (unsigned e = 0; e < 16; ++e) {
      walk = walk && record.readings[e] == Base(call.device_id) + 2 + e;
      cached = cached && record.readings[e] == kCached;
    }
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (call.bytes.size() != 75 || record.id != call.device_id ||
          walk == cached) {
        ++corrupt_;
      } else if (walk) {
        ++walks_[call.device_id];
      } else {
        ++cached_;
      }
    }
    changed_.notify_all();
  }
  bool WaitAllWalked(size_t rounds, milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] {
      if (walks_.size() < size_t(kDevices)) return false;
      for (const auto& w : walks_)
        if (w.second < rounds) return false;
      return true;
    });
  }
  size_t Walks() {
    std::lock_guard<std::mutex> lock(mutex_);
    size_t n = 0;
    for (const auto& w : walks_) n += w.second;
    return n;
  }
  size_t Cached() {
    std::lock_guard<std::mutex> lock(mutex_);
    return cached_;
  }
  size_t Corrupt() {
    std::lock_guard<std::mutex> lock(mutex_);
    return corrupt_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::map<unsigned, size_t> walks_;
  size_t cached_ = 0, corrupt_ = 0;
};

}  // namespace

TEST(Lifecycle, HundredThreadedDevicesReloadedAndDeletedMidWalk) {
  RoundCounter counter;
  host::ScopedObserver attach{&counter};
  std::atomic<int> delay_ms{0};
  std::vector<std::unique_ptr<ScriptedAgent>> agents;
  for (int a = 0; a < kAgents; ++a) {
    agents.push_back(std::make_unique<ScriptedAgent>(
        [&delay_ms, table = SixteenIntegers(1000 * (a + 1))](const Request& r) {
          return AnswerFromTable(table, r).Delayed(
              milliseconds(delay_ms.load()));
        }));
  }

  // Made and configured the way the host does it.
  SNMP_KEHUA_INVERTERProvider provider;
  std::vector<std::unique_ptr<TarnSocketDevice>> devices;
  testing::internal::CaptureStdout();
  for (int d = 0; d < kDevices; ++d) {
    Json::Value config;
    config["address"] = agents[d % kAgents]->peer();
    config["settings"]["appSetting"]["use_thread"] = "1";
    config["settings"]["appSetting"]["b_mode"] = "2";
    devices.emplace_back(provider.create());
    devices.back()->Init({}, kFirstId + d, config);
  }

  // Cached records reloaded all along, from four threads.
  std::atomic<bool> stop_reloads{false};
  std::vector<std::thread> reloaders;
  for (int t = 0; t < 4; ++t) {
    reloaders.emplace_back([&, t] {
      for (int i = 0; i < 5000 && !stop_reloads; ++i) {
        const int d = (t * 25 + i) % kDevices;
        SNMP_KEHUA_INVERTER_Data_t cached;
        std::memset(&cached, 0, sizeof cached);
        cached.id = kFirstId + d;
        for (float& v : cached.readings) v = kCached;
        devices[d]->LoadFromCache(
            reinterpret_cast<const unsigned char*>(&cached), sizeof cached);
        std::this_thread::sleep_for(milliseconds(2));
      }
    });
  }
  EXPECT_TRUE(counter.WaitAllWalked(kRounds, seconds(60)));
  stop_reloads = true;
  for (std::thread& t : reloaders) t.join();

  // Slow agents: the next round's walks take seconds; delete every device
  // once that round is under way.
  delay_ms = 15;
  size_t asked = 0;
  for (auto& a : agents) asked += a->request_count();
  for (auto& a : agents) {
    EXPECT_TRUE(a->WaitForRequests(a->request_count() + 10, seconds(20)));
  }
  milliseconds longest{0};
  const auto start = steady_clock::now();
  for (auto& dev : devices) {
    const auto t0 = steady_clock::now();
    dev.reset();
    longest = std::max(longest,
                       duration_cast<milliseconds>(steady_clock::now() - t0));
  }
  const auto all = duration_cast<milliseconds>(steady_clock::now() - start);
  testing::internal::GetCapturedStdout();

  // A delete ends a walk under way at once (100 ms, with a margin here).
  EXPECT_LT(longest, seconds(1));
  EXPECT_LT(all, seconds(5));
  RecordProperty("longest_delete_ms", int(longest.count()));
  RecordProperty("all_deletes_ms", int(all.count()));

  // Nothing walks any more: once the agents have worked through the
  // requests queued before the deletes (one per device at most), no new
  // one comes.
  auto total = [&] {
    size_t n = 0;
    for (auto& a : agents) n += a->request_count();
    return n;
  };
  size_t requests = total();
  for (int i = 0; i < 50; ++i) {
    std::this_thread::sleep_for(milliseconds(300));
    const size_t now = total();
    if (now == requests) break;
    requests = now;
  }
  std::this_thread::sleep_for(milliseconds(300));
  const size_t later = total();
  EXPECT_EQ(later, requests);
  EXPECT_GT(requests, asked);

  EXPECT_EQ(counter.Corrupt(), 0u);
  EXPECT_GE(counter.Walks(), size_t(kDevices * kRounds));
  EXPECT_GT(counter.Cached(), 0u);
  std::printf(
      "lifecycle: %zu walks, %zu cache reloads, longest delete %lld ms, "
      "all deletes %lld ms\n",
      counter.Walks(), counter.Cached(),
      static_cast<long long>(longest.count()),
      static_cast<long long>(all.count()));
}
