// The host program's run: devices made, their rounds, all torn down.
#include "run.h"

#include <json/json.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "config.h"
#include "events.h"
#include "host_error.h"
#include "outputs.h"
#include "plugin_session.h"
#include "recorder.h"
#include "stop_signal.h"
#include "summary.h"

namespace host {
namespace {

using Clock = std::chrono::steady_clock;

// Counts every device's rounds (SendSP calls), passes each call on to the
// events file and the summary, and carries a request to stop the run.
class Progress : public Observer {
 public:
  void Attach(Observer* observer) { observers_.push_back(observer); }

  void OnCall(const Call& call) override {
    for (Observer* observer : observers_) observer->OnCall(call);
    if (call.kind != Call::Kind::SendSP) return;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      ++rounds_[call.device_id];
    }
    changed_.notify_all();
  }

  void Stop(int signal) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      signal_ = signal;
    }
    changed_.notify_all();
  }
  // The signal that stopped the run, or 0.
  int stopped() {
    std::lock_guard<std::mutex> lock(mutex_);
    return signal_;
  }

  // Sleeps until `until`; returns early, with true, when the run stops.
  bool SleepUntil(Clock::time_point until) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_until(lock, until, [&] { return signal_ != 0; });
  }

  // Waits until each device has completed `rounds` rounds, the deadline
  // passes or the run stops; returns the devices still short of it.
  std::vector<unsigned int> WaitRounds(const std::vector<unsigned int>& devices,
                                       unsigned long rounds,
                                       Clock::time_point deadline) {
    std::unique_lock<std::mutex> lock(mutex_);
    auto short_of = [&] {
      std::vector<unsigned int> out;
      for (unsigned int id : devices)
        if (rounds_[id] < rounds) out.push_back(id);
      return out;
    };
    changed_.wait_until(lock, deadline,
                        [&] { return signal_ != 0 || short_of().empty(); });
    return short_of();
  }

  unsigned long Rounds(unsigned int device) {
    std::lock_guard<std::mutex> lock(mutex_);
    return rounds_[device];
  }

 private:
  std::vector<Observer*> observers_;  // fixed before devices exist
  std::mutex mutex_;
  std::condition_variable changed_;
  std::map<unsigned int, unsigned long> rounds_;
  int signal_ = 0;
};

void Add(std::string& problems, const std::string& problem) {
  if (!problem.empty()) problems += (problems.empty() ? "" : "; ") + problem;
}

// Creates and initialises the devices, runs their rounds until done or
// stopped; returns the problems seen (one line, or "").
std::string RunDevices(PluginSession& plugin,
                       const std::vector<DeviceConfig>& configs,
                       const Options& options, Progress& progress) {
  std::string problems;
  const auto start = Clock::now();
  std::vector<std::pair<TarnSocketDevice*, unsigned long>> driven;
  // By rounds and round time.
  std::map<std::pair<unsigned long, std::chrono::milliseconds>,
           std::vector<unsigned int>>
      threaded;
  for (const DeviceConfig& c : configs) {
    if (progress.stopped()) return problems;
    TarnSocketDevice* device = plugin.Create();
    try {
      device->Init(std::weak_ptr<TarnController>(), c.data_id, c.entry);
    } catch (const Json::Exception& e) {
      RefuseSettings(c, e.what());
    } catch (const std::exception& e) {
      throw Failure("device " + std::to_string(c.data_id) +
                    ": initialisation failed: " + e.what());
    }
    if (c.threaded) {
      threaded[{c.rounds, c.round_time}].push_back(c.data_id);
    } else {
      driven.emplace_back(device, c.rounds);
    }
  }

  // A walk in progress ends before the run stops (at most a walk that
  // times out, as in DeviceConfig::round_time; a second signal does not
  // wait for it).
  const auto interval = std::chrono::duration_cast<Clock::duration>(
      std::chrono::duration<double>(options.interval));
  unsigned long most = 0;
  for (const auto& [device, rounds] : driven) most = std::max(most, rounds);
  for (unsigned long round = 0; round < most; ++round) {
    if (round > 0 && progress.SleepUntil(start + interval * round))
      return problems;
    for (const auto& [device, rounds] : driven) {
      if (progress.stopped()) return problems;
      if (round < rounds) device->RefreshStatus();
    }
  }

  // A threaded round takes at most a walk that times out and the device's
  // pause between rounds (DeviceConfig::round_time), given 5 s more each and
  // 10 s for the start.
  for (const auto& [key, ids] : threaded) {
    const auto& [rounds, round_time] = key;
    const auto deadline = start + std::chrono::seconds(10) +
                          (round_time + std::chrono::seconds(5)) * rounds;
    const std::vector<unsigned int> late =
        progress.WaitRounds(ids, rounds, deadline);
    if (progress.stopped()) return problems;
    for (unsigned int id : late)
      Add(problems, "device " + std::to_string(id) + " completed " +
                        std::to_string(progress.Rounds(id)) + " of " +
                        std::to_string(rounds) + " rounds in time");
  }
  return problems;
}

}  // namespace

int Run(const Options& options) {
  Progress progress;
  StopSignal stop_signal([&progress](int signal) { progress.Stop(signal); });

  const std::vector<DeviceConfig> configs =
      options.config.empty()
          ? AddressConfig(options.address, options.settings,
                          options.settings_given, options.rounds)
          : ReadConfig(options.config, options.rounds);
  Outputs out(options);

  std::unique_ptr<EventWriter> events;
  if (out.events() != nullptr) {
    events = std::make_unique<EventWriter>(out.events());
    progress.Attach(events.get());
  }
  std::unique_ptr<Summary> summary;
  if (options.summary) {
    summary = std::make_unique<Summary>(out.report());
    for (const DeviceConfig& c : configs)
      summary->Describe(c.data_id, c.threaded ? "threaded" : "host-driven");
    progress.Attach(summary.get());
  }

  std::string problems;
  std::size_t deleted = 0;
  {
    PluginSession plugin(options.plugin);
    ScopedObserver attached(&progress);
    Add(problems, RunDevices(plugin, configs, options, progress));
    Add(problems, plugin.Close());
    deleted = plugin.deleted();
  }

  if (summary) summary->Finish();
  std::fprintf(out.report(), "host: %zu device%s deleted, plug-in unloaded\n",
               deleted, deleted == 1 ? "" : "s");
  Add(problems, out.WriteProblems(events ? events->error() : 0));
  if (!problems.empty()) std::fprintf(stderr, "host: %s\n", problems.c_str());
  if (const int signal = progress.stopped()) {
    std::fprintf(stderr, "host: stopped by %s\n",
                 signal == SIGINT ? "SIGINT" : "SIGTERM");
    return 128 + signal;
  }
  return problems.empty() ? 0 : 1;
}

}  // namespace host
