// Many inverter devices in one process, walking simulated inverters
// (tools/inverter_sim, child processes) on loopback.
//
//   scale --devices N --mode thread|host [--agents K] [--sim PATH]
//         [--rounds R] [--seconds S] [--settings JSON] [--delay-ms N]
//         [--sim-args "ARGS"]
//   scale --devices N --silent [--agents K]
//
// Every device first completes R rounds (host mode: the main thread calls
// RefreshStatus on each device in turn; thread mode: each device's own
// sampling thread walks and pauses 5 s). Then the process's memory and
// thread count are printed. With --seconds S (thread mode) the devices go on
// for S more seconds, and the program prints the rounds (SendSP calls) each
// device completed, the gaps between a device's rounds, the devices that
// missed a period, and the process's CPU use over that time. Output lines
// are "name value".
//
// --settings JSON is every device's `appSetting.snmp`; for an SNMPv3 user
// every simulator serves that user. --delay-ms N (answers N ms late) and
// --sim-args go to every simulator.
//
// With --silent the agents are UDP sockets of this process that never
// answer: every threaded device starts its walk and waits for an answer,
// then the devices are deleted one after another; the program prints how
// long the deletes took (all of them, the longest one, the last one).

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <iostream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "bench_device.h"
#include "bench_support.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kPeriod = std::chrono::seconds(5);

struct Options {
  int devices = 1000;
  bool threaded = true;
  int agents = 10;
  std::string sim = INVERTER_SIM;
  int rounds = 2;
  int seconds = 0;
  bool silent = false;
  Json::Value snmp;  // appSetting.snmp; null: the defaults (v2c)
  std::vector<std::string> sim_args;
};

Options Parse(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    auto next = [&]() -> std::string {
      if (i + 1 >= argc) throw std::runtime_error(a + " needs a value");
      return argv[++i];
    };
    if (a == "--devices") {
      o.devices = std::max(1, std::stoi(next()));
    } else if (a == "--mode") {
      const std::string m = next();
      if (m != "thread" && m != "host")
        throw std::runtime_error("--mode is thread or host");
      o.threaded = m == "thread";
    } else if (a == "--agents") {
      o.agents = std::max(1, std::stoi(next()));
    } else if (a == "--sim") {
      o.sim = next();
    } else if (a == "--rounds") {
      o.rounds = std::max(1, std::stoi(next()));
    } else if (a == "--seconds") {
      o.seconds = std::max(0, std::stoi(next()));
    } else if (a == "--silent") {
      o.silent = true;
    } else if (a == "--settings") {
      o.snmp = bench::ParseSnmpOption(next());
    } else if (a == "--delay-ms") {
      o.sim_args.push_back("--delay-ms");
      o.sim_args.push_back(std::to_string(std::stoi(next())));
    } else if (a == "--sim-args") {
      for (std::string& arg : bench::SplitArgs(next()))
        o.sim_args.push_back(std::move(arg));
    } else {
      throw std::runtime_error("unknown option " + a);
    }
  }
  if (o.sim.empty()) throw std::runtime_error("--sim PATH is needed");
  return o;
}

// Counts each device's rounds (SendSP calls) and keeps their times. A
// device's rounds all come from one thread at a time, so each device's
// list is written by that thread only; the counters are read meanwhile.
class RoundCounter : public host::Observer {
 public:
  void Add(const TarnVDevice* dev) {
    index_[dev] = rounds_.size();
    rounds_.emplace_back();
  }
  void Start() {
    counts_ = std::make_unique<std::atomic<int>[]>(rounds_.size());
    for (size_t i = 0; i < rounds_.size(); ++i) counts_[i] = 0;
  }
  void OnCall(const host::Call& call) override {
    if (call.kind != host::Call::Kind::SendSP) return;
    const auto it = index_.find(call.device);
    if (it == index_.end()) return;
    rounds_[it->second].push_back(Clock::now());
    counts_[it->second].fetch_add(1, std::memory_order_release);
  }
  int MinCount() const {
    int m = INT32_MAX;
    for (size_t i = 0; i < rounds_.size(); ++i)
      m = std::min(m, counts_[i].load(std::memory_order_acquire));
    return m;
  }
  // Read only once no device walks any more.
  const std::vector<std::vector<Clock::time_point>>& rounds() const {
    return rounds_;
  }

 private:
  std::unordered_map<const TarnVDevice*, size_t> index_;
  std::vector<std::vector<Clock::time_point>> rounds_;
  std::unique_ptr<std::atomic<int>[]> counts_;
};

void PrintFigures(std::ostream& out, const char* when) {
  const bench::ProcFigures f = bench::ReadProcFigures();
  out << when << "_vm_rss_kib " << f.rss_kib << "\n"
      << when << "_vm_size_kib " << f.size_kib << "\n"
      << when << "_mapped_kib " << f.mapped_kib << "\n"
      << when << "_threads " << f.threads << "\n";
}

int RunSilentDeletes(const Options& o) {
  bench::QuietStdout quiet;
  std::ostream& out = quiet.out();
  std::vector<int> sockets;
  std::vector<std::string> peers;
  for (int a = 0; a < o.agents; ++a) {
    sockets.push_back(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (::bind(sockets.back(), reinterpret_cast<sockaddr*>(&addr), len) != 0 ||
        ::getsockname(sockets.back(), reinterpret_cast<sockaddr*>(&addr),
                      &len) != 0)
      throw std::runtime_error("cannot bind a silent agent");
    peers.push_back("127.0.0.1:" + std::to_string(ntohs(addr.sin_port)));
  }
  std::vector<std::unique_ptr<SNMP_KEHUA_INVERTER>> devices;
  for (int i = 0; i < o.devices; ++i)
    devices.push_back(
        bench::MakeDevice(1000 + i, peers[i % peers.size()], true, 2, o.snmp));
  // Every device has sent its first request and waits (10 s time-out).
  std::this_thread::sleep_for(std::chrono::seconds(1));
  double longest = 0, last = 0;
  const auto start = Clock::now();
  for (auto& dev : devices) {
    const auto t = Clock::now();
    dev.reset();
    last = std::chrono::duration<double, std::milli>(Clock::now() - t).count();
    longest = std::max(longest, last);
  }
  const double all =
      std::chrono::duration<double, std::milli>(Clock::now() - start).count();
  out << "devices " << o.devices << "\n"
      << "silent_agents " << o.agents << "\n"
      << "deletes_all_ms " << all << "\n"
      << "delete_longest_ms " << longest << "\n"
      << "delete_last_ms " << last << "\n";
  for (int fd : sockets) ::close(fd);
  return 0;
}

int Run(const Options& o) {
  if (o.silent) return RunSilentDeletes(o);
  bench::QuietStdout quiet;
  std::ostream& out = quiet.out();
  std::vector<std::string> sim_args = bench::SimUserArgs(o.snmp);
  sim_args.insert(sim_args.end(), o.sim_args.begin(), o.sim_args.end());
  bench::SimFarm sims(
      o.sim, o.agents,
      60.0 + o.rounds * 10.0 + o.seconds * 2.0 + o.devices * 0.05, sim_args);
  out << "devices " << o.devices << "\n"
      << "mode " << (o.threaded ? "thread" : "host") << "\n"
      << "agents " << sims.peers().size() << "\n"
      << "snmp " << bench::DescribeSnmp(o.snmp) << "\n";
  PrintFigures(out, "before");
  out.flush();

  RoundCounter counter;
  host::ScopedObserver attach(&counter);
  std::vector<std::unique_ptr<SNMP_KEHUA_INVERTER>> devices;
  devices.reserve(o.devices);
  for (int i = 0; i < o.devices; ++i) {
    devices.push_back(std::make_unique<SNMP_KEHUA_INVERTER>());
    counter.Add(devices.back().get());
  }
  counter.Start();

  const auto start = Clock::now();
  int started = 0;
  try {
    for (int i = 0; i < o.devices; ++i) {
      const std::string& peer = sims.peers()[i % sims.peers().size()];
      devices[i]->Init(std::weak_ptr<TarnController>(), 1000 + i,
                       bench::DeviceConfig(peer, o.threaded, 2, o.snmp));
      ++started;
      if (o.threaded && started % 50 == 0 && started < o.devices) {
        out << "started " << started << " mapped_kib "
            << bench::ReadProcFigures().mapped_kib << "\n";
        out.flush();
      }
    }
  } catch (const std::exception& e) {
    out << "start_failed_after_devices " << started << "\n"
        << "start_error " << e.what() << "\n";
    PrintFigures(out, "at_failure");
    out.flush();
    sims.Stop();
    // The threads already running cannot all be stopped in order here.
    std::_Exit(3);
  }

  if (!o.threaded) {
    for (int r = 0; r < o.rounds; ++r)
      for (auto& dev : devices) dev->RefreshStatus();
  } else {
    const auto limit = start + kPeriod * o.rounds + std::chrono::seconds(60);
    while (counter.MinCount() < o.rounds && Clock::now() < limit)
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  const double warm_s =
      std::chrono::duration<double>(Clock::now() - start).count();
  out << "rounds_each_at_least " << counter.MinCount() << "\n"
      << "seconds_to_complete_them " << warm_s << "\n";
  PrintFigures(out, "after");

  if (o.threaded && o.seconds > 0) {
    const auto t0 = Clock::now();
    const double cpu0 = bench::CpuSeconds();
    const auto t1 = t0 + std::chrono::seconds(o.seconds);
    while (Clock::now() < t1)
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const double cpu = bench::CpuSeconds() - cpu0;
    const double wall =
        std::chrono::duration<double>(Clock::now() - t0).count();
    PrintFigures(out, "end");
    devices.clear();  // stops and joins every sampling thread

    // A device completes a round every period of its own: a walk, then the
    // 5 s pause. A gap between two rounds of more than the pause and a
    // second means the device missed a period.
    long total_rounds = 0, gaps = 0, missed = 0;
    long min_rounds = -1, max_rounds = 0;
    double max_gap = 0, sum_gap = 0;
    for (const auto& times : counter.rounds()) {
      long rounds = 0;
      bool device_missed = false;
      for (size_t k = 0; k < times.size(); ++k) {
        if (times[k] < t0) continue;
        ++rounds;
        if (k == 0) continue;
        const double g =
            std::chrono::duration<double>(times[k] - times[k - 1]).count();
        max_gap = std::max(max_gap, g);
        sum_gap += g;
        ++gaps;
        device_missed = device_missed || g > 6.0;
      }
      total_rounds += rounds;
      missed += device_missed;
      min_rounds = min_rounds < 0 ? rounds : std::min(min_rounds, rounds);
      max_rounds = std::max(max_rounds, rounds);
    }
    out << "window_seconds " << wall << "\n"
        << "rounds_in_window " << total_rounds << "\n"
        << "rounds_per_device_min " << min_rounds << "\n"
        << "rounds_per_device_max " << max_rounds << "\n"
        << "rounds_per_device_per_5s "
        << total_rounds / static_cast<double>(o.devices) / (wall / 5.0) << "\n"
        << "mean_gap_s " << (gaps ? sum_gap / gaps : 0) << "\n"
        << "max_gap_s " << max_gap << "\n"
        << "devices_that_missed_a_period " << missed << "\n"
        << "cpu_seconds " << cpu << "\n"
        << "cpu_percent_of_one_core " << 100.0 * cpu / wall << "\n";
  }
  devices.clear();
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return Run(Parse(argc, argv));
  } catch (const std::exception& e) {
    std::cerr << "scale: " << e.what() << "\n";
    return 2;
  }
}
