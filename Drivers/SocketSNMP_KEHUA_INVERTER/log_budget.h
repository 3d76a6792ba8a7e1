#pragma once
// How many of the library's log lines reach standard error: a few a minute,
// so that datagrams the library complains about cannot flood the host's
// log; the lines held back are counted and summed up in one line.

#include <chrono>

namespace inverter::snmp {

class LogBudget {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr unsigned kPerMinute = 5;

  // Whether a line that comes at `now` is shown. A minute starts with the
  // first line after the last minute ended; its first line gets in *held the
  // number of lines held back in the minute before (0 if none).
  bool Admit(Clock::time_point now, unsigned long* held) {
    *held = 0;
    if (!started_ || now - start_ >= std::chrono::minutes(1)) {
      *held = held_;
      held_ = 0;
      shown_ = 0;
      start_ = now;
      started_ = true;
    }
    if (shown_ < kPerMinute) {
      ++shown_;
      return true;
    }
    ++held_;
    return false;
  }

 private:
  Clock::time_point start_{};
  bool started_ = false;
  unsigned shown_ = 0;
  unsigned long held_ = 0;
};

}  // namespace inverter::snmp
