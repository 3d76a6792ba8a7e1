// Round completion in alarm mode 2 against the recording host: time per
// round and heap allocations per round (every operator new in this program
// is counted).
//
//   round_bench [Google Benchmark options]

#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdlib>
#include <new>

#include "bench_device.h"
#include "bench_support.h"

namespace {

std::atomic<unsigned long long> g_allocs{0};
std::atomic<unsigned long long> g_bytes{0};

void* Allocate(std::size_t size) {
  g_allocs.fetch_add(1, std::memory_order_relaxed);
  g_bytes.fetch_add(size, std::memory_order_relaxed);
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}

}  // namespace

void* operator new(std::size_t size) { return Allocate(size); }
void* operator new[](std::size_t size) { return Allocate(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  try {
    return Allocate(size);
  } catch (...) {
    return nullptr;
  }
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
  try {
    return Allocate(size);
  } catch (...) {
    return nullptr;
  }
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }

namespace {

// The device with its alarm evaluation reachable on its own.
class BenchInverter : public SNMP_KEHUA_INVERTER {
 public:
  // One round's alarm evaluation, as RoundDone runs it.
  void Alarms() {
    signal_index_ = 1;
    RunCheckThreshold();
    rule_values_.clear();
  }
};

std::unique_ptr<BenchInverter> MakeInverter() {
  auto dev = std::make_unique<BenchInverter>();
  // Not walking: the peer is never contacted here.
  dev->Init(std::weak_ptr<TarnController>(), 9,
            bench::DeviceConfig("127.0.0.1:9", false, 2));
  return dev;
}

class AllocCounter {
 public:
  AllocCounter() : allocs_(g_allocs.load()), bytes_(g_bytes.load()) {}
  void Report(benchmark::State& state) const {
    const auto avg = benchmark::Counter::kAvgIterations;
    state.counters["allocs"] =
        benchmark::Counter(static_cast<double>(g_allocs.load() - allocs_), avg);
    state.counters["bytes"] =
        benchmark::Counter(static_cast<double>(g_bytes.load() - bytes_), avg);
  }

 private:
  unsigned long long allocs_, bytes_;
};

void BM_RoundDone_NoOpObserver(benchmark::State& state) {
  bench::NoOpObserver observer;
  host::ScopedObserver attach(&observer);
  auto dev = MakeInverter();
  AllocCounter count;
  for (auto _ : state) dev->RoundDone();
  count.Report(state);
}
BENCHMARK(BM_RoundDone_NoOpObserver);

void BM_RoundDone_Recorder(benchmark::State& state) {
  host::Recorder recorder;
  host::ScopedObserver attach(&recorder);
  auto dev = MakeInverter();
  AllocCounter count;
  long rounds = 0;
  for (auto _ : state) {
    dev->RoundDone();
    if (++rounds % 1024 == 0) {  // keep the recording bounded
      state.PauseTiming();
      recorder.Clear();
      state.ResumeTiming();
    }
  }
  count.Report(state);
}
BENCHMARK(BM_RoundDone_Recorder);

// The driver's own share of a round: the six mode-2 alarms it reports
// (the host's calls included, with no observer attached).
void BM_AlarmsOnly(benchmark::State& state) {
  host::ScopedObserver attach(nullptr);
  auto dev = MakeInverter();
  AllocCounter count;
  for (auto _ : state) dev->Alarms();
  count.Report(state);
}
BENCHMARK(BM_AlarmsOnly);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  // RoundDone prints a line per round: standard output goes to /dev/null,
  // the figures to the original standard output.
  bench::QuietStdout quiet;
  benchmark::ConsoleReporter reporter(benchmark::ConsoleReporter::OO_Tabular);
  reporter.SetOutputStream(&quiet.out());
  reporter.SetErrorStream(&quiet.out());
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
