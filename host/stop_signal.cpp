// SIGINT and SIGTERM taken by one watching thread, for a clean stop.
#include "stop_signal.h"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

namespace host {
namespace {

sigset_t StopSet() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  return set;
}

}  // namespace

void StopSignal::Block() {
  const sigset_t set = StopSet();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

StopSignal::StopSignal(std::function<void(int)> on_stop)
    : on_stop_(std::move(on_stop)), thread_([this] { Watch(); }) {}

StopSignal::~StopSignal() {
  done_ = true;
  // Wakes the watcher's sigwait; it sees done_ and returns.
  pthread_kill(thread_.native_handle(), SIGTERM);
  thread_.join();
}

void StopSignal::Watch() {
  const sigset_t set = StopSet();
  for (;;) {
    int signal = 0;
    if (sigwait(&set, &signal) != 0) continue;
    if (done_) return;
    if (received_ == 0) {
      received_ = signal;
      on_stop_(signal);
      continue;
    }
    // A second signal while stopping: its default action, now.
    ::signal(signal, SIG_DFL);
    sigset_t one;
    sigemptyset(&one);
    sigaddset(&one, signal);
    pthread_sigmask(SIG_UNBLOCK, &one, nullptr);
    raise(signal);
    _exit(128 + signal);
  }
}

}  // namespace host
