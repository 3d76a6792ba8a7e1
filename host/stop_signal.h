#pragma once
// SIGINT and SIGTERM stop a run cleanly. The signals are blocked in every
// thread and taken by one watching thread with sigwait, so no thread of the
// host or the plug-in is ever interrupted and the run's own thread does the
// stopping (deleting devices is not done in a signal handler).

#include <atomic>
#include <functional>
#include <thread>

namespace host {

class StopSignal {
 public:
  // Blocks SIGINT and SIGTERM in the calling thread and so in every thread
  // started from it later. Call first thing in main.
  static void Block();

  // Watches for the signals: the first one calls `on_stop(signal)` on the
  // watching thread; a second one ends the process at once, as the
  // signal's default action does.
  explicit StopSignal(std::function<void(int)> on_stop);
  // Stops watching (a signal that comes later is left pending).
  ~StopSignal();
  StopSignal(const StopSignal&) = delete;
  StopSignal& operator=(const StopSignal&) = delete;

 private:
  void Watch();

  std::function<void(int)> on_stop_;
  std::atomic<bool> done_{false};
  int received_ = 0;  // touched by the watching thread only
  std::thread thread_;
};

}  // namespace host
