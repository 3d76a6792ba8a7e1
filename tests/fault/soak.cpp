// Soak: many walks in one process, host-driven and threaded, printing the
// resident set size as it goes. Built with the tests, not run by ctest.
//
//   fault_soak [host_walks] [threaded_walks] [report_every]
//   (defaults 8000, 2000, 1000)
//
// Host-driven walks: one device, RefreshStatus after RefreshStatus; every
// tenth walk ends on an error status and every tenth on an exception value.
// Threaded walks: devices made by the provider with use_thread on, four at a
// time; each is deleted after its first round (its thread then pauses and
// is stopped). In an AddressSanitizer build LeakSanitizer checks at exit
// that nothing leaked; in a plain build the resident set size shows whether
// memory stays flat after warm-up. Exit status 0 when every walk published
// its readings.

#include <json/json.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "SNMP_KEHUA_INVERTERProvider.h"
#include "inverter_probe.h"
#include "recorder.h"
#include "walk_fixture.h"

using namespace walk;
using namespace std::chrono;

namespace {

long RssKb() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
  }
  return -1;
}

// Counts each device's published rounds and checks their readings; keeps
// nothing else.
class Rounds : public host::Observer {
 public:
  void OnCall(const host::Call& call) override {
    if (call.kind != host::Call::Kind::SendSP) return;
    bool full = call.bytes.size() == 75;
    for (unsigned e = 0; full && e < 16; ++e)
      full = ReadingOf(call, e) == 102.0f + e;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      ++rounds_[call.device_id];
      if (!full) ++incomplete_;
    }
    changed_.notify_all();
  }
  bool WaitFor(unsigned device_id, size_t n, milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, timeout,
                             [&] { return rounds_[device_id] >= n; });
  }
  size_t Take(unsigned device_id) {
    std::lock_guard<std::mutex> lock(mutex_);
    const size_t n = rounds_[device_id];
    rounds_.erase(device_id);
    return n;
  }
  size_t Incomplete() {
    std::lock_guard<std::mutex> lock(mutex_);
    return incomplete_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::map<unsigned, size_t> rounds_;
  size_t incomplete_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
  const long host_walks = argc > 1 ? std::atol(argv[1]) : 8000;
  const long threaded_walks = argc > 2 ? std::atol(argv[2]) : 2000;
  const long every =
      argc > 3 && std::atol(argv[3]) > 0 ? std::atol(argv[3]) : 1000;
  // The driver's progress lines would drown the figures.
  if (std::freopen("/dev/null", "w", stdout) == nullptr) return 2;

  Rounds rounds;
  host::ScopedObserver attach{&rounds};
  const Table table = SixteenIntegers(100);
  std::atomic<long> walk_no{0};
  ScriptedAgent agent([&](const Request& r) {
    // Error status and exception answers come only on the first request
    // of a host-driven walk (the walk ends there, keeping its readings).
    const long n = walk_no.load();
    if (n % 10 == 8 && r.oids[0] == BaseOid()) {
      return Reply::Error(SNMP_ERR_GENERR, 1, {{KeyOid(2), Integer(1)}});
    }
    if (n % 10 == 9 && r.oids[0] == BaseOid()) {
      return Reply::Answer({{KeyOid(2), NoSuchObject()}});
    }
    return AnswerFromTable(table, r);
  });

  long done = 0, failures = 0, warm_rss = -1;
  const auto started = steady_clock::now();
  const auto report = [&] {
    agent.ClearRequests();  // the agent logs every request it gets
    const long rss = RssKb();
    if (done == 2 * every) warm_rss = rss;
    std::fprintf(stderr, "walks %ld rss_kb %ld (%.0f s)\n", done, rss,
                 duration<double>(steady_clock::now() - started).count());
  };

  {  // host-driven
    InverterProbe dev;
    dev.SetIds(1, agent.peer());
    dev.InitSetting(ParseJson(R"({"appSetting":{"b_mode":"2"}})"));
    // Readings of the last full walk; kept by error and exception walks.
    dev.RefreshStatus();
    for (long i = 0; i < host_walks; ++i) {
      walk_no = i < 10 ? 0 : i;  // the first ten walks are full
      const size_t before = rounds.Take(1);
      dev.RefreshStatus();
      if (rounds.Take(1) != 1 || before != (i == 0 ? 1 : 0)) ++failures;
      if (++done % every == 0) report();
    }
  }
  walk_no = 0;  // threaded walks are always full

  {  // threaded: four workers, each making and deleting devices in turn
    SNMP_KEHUA_INVERTERProvider provider;
    std::atomic<long> next{0};
    std::atomic<long> threaded_failures{0};
    std::mutex report_mutex;
    std::vector<std::thread> workers;
    for (int w = 0; w < 4; ++w) {
      workers.emplace_back([&] {
        for (long i; (i = next++) < threaded_walks;) {
          const unsigned id = 100 + static_cast<unsigned>(i);
          Json::Value config;
          config["address"] = agent.peer();
          config["settings"]["appSetting"]["use_thread"] = "1";
          std::unique_ptr<TarnSocketDevice> dev(provider.create());
          dev->Init({}, id, config);
          if (!rounds.WaitFor(id, 1, seconds(30))) ++threaded_failures;
          dev.reset();
          if (rounds.Take(id) != 1) ++threaded_failures;
          std::lock_guard<std::mutex> lock(report_mutex);
          if (++done % every == 0) report();
        }
      });
    }
    for (std::thread& t : workers) t.join();
    failures += threaded_failures;
  }

  const long end_rss = RssKb();
  std::fprintf(stderr,
               "soak: %ld walks (%ld host-driven, %ld threaded), %ld failed, "
               "%zu incomplete records, rss_kb after warm-up %ld, at end %ld, "
               "%.0f s\n",
               done, host_walks, threaded_walks, failures, rounds.Incomplete(),
               warm_rss, end_rss,
               duration<double>(steady_clock::now() - started).count());
  return failures == 0 && rounds.Incomplete() == 0 ? 0 : 1;
}
