#pragma once
// Shared pieces of the benchmark programs: silencing the driver's standard
// output, process figures from /proc, and simulated inverters run as child
// processes on loopback.

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <streambuf>
#include <string>
#include <vector>

#include "child_process.h"

namespace bench {

// An output stream buffer writing straight to a file descriptor.
class FdBuf : public std::streambuf {
 public:
  explicit FdBuf(int fd) : fd_(fd) { setp(buf_, buf_ + sizeof buf_); }
  ~FdBuf() override { sync(); }

 protected:
  int_type overflow(int_type c) override {
    if (sync() != 0) return traits_type::eof();
    if (!traits_type::eq_int_type(c, traits_type::eof())) {
      *pptr() = traits_type::to_char_type(c);
      pbump(1);
    }
    return traits_type::not_eof(c);
  }
  int sync() override {
    const char* p = pbase();
    while (p < pptr()) {
      const ssize_t n = ::write(fd_, p, static_cast<size_t>(pptr() - p));
      if (n <= 0) return -1;
      p += n;
    }
    setp(buf_, buf_ + sizeof buf_);
    return 0;
  }

 private:
  int fd_;
  char buf_[4096];
};

// Sends the process's standard output (the driver prints two lines a
// round) to /dev/null for this object's lifetime; out() still reaches the
// original standard output.
class QuietStdout {
 public:
  QuietStdout() {
    std::cout.flush();
    std::fflush(stdout);
    saved_ = ::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 0);
    const int null_fd = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (saved_ < 0 || null_fd < 0 || ::dup2(null_fd, STDOUT_FILENO) < 0)
      throw std::runtime_error("cannot redirect standard output");
    ::close(null_fd);
    buf_ = std::make_unique<FdBuf>(saved_);
    out_ = std::make_unique<std::ostream>(buf_.get());
  }
  ~QuietStdout() {
    out_->flush();
    std::cout.flush();
    std::fflush(stdout);
    ::dup2(saved_, STDOUT_FILENO);
    ::close(saved_);
  }
  QuietStdout(const QuietStdout&) = delete;
  QuietStdout& operator=(const QuietStdout&) = delete;
  std::ostream& out() { return *out_; }

 private:
  int saved_ = -1;
  std::unique_ptr<FdBuf> buf_;
  std::unique_ptr<std::ostream> out_;
};

// Figures of this process from /proc/self/status (KiB, threads) and the sum
// of its mappings from /proc/self/maps. Under qemu-user, status describes
// the emulator's own process while maps lists the emulated program's
// address space.
struct ProcFigures {
  long rss_kib = -1;
  long peak_rss_kib = -1;  // since the process started or ResetPeakRss
  long size_kib = -1;
  long threads = -1;
  long mapped_kib = -1;
};

inline ProcFigures ReadProcFigures() {
  ProcFigures f;
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    std::istringstream in(line);
    std::string key;
    long value = 0;
    in >> key >> value;
    if (key == "VmRSS:") f.rss_kib = value;
    if (key == "VmHWM:") f.peak_rss_kib = value;
    if (key == "VmSize:") f.size_kib = value;
    if (key == "Threads:") f.threads = value;
  }
  std::ifstream maps("/proc/self/maps");
  unsigned long long total = 0;
  while (std::getline(maps, line)) {
    unsigned long long lo = 0, hi = 0;
    if (std::sscanf(line.c_str(), "%llx-%llx", &lo, &hi) == 2 && hi > lo)
      total += hi - lo;
  }
  f.mapped_kib = static_cast<long>(total / 1024);
  return f;
}

// Starts the peak resident memory (VmHWM) again from what is resident now;
// false where the kernel does not allow it.
inline bool ResetPeakRss() {
  std::ofstream clear("/proc/self/clear_refs");
  clear << "5";
  clear.flush();
  return static_cast<bool>(clear);
}

// User plus system CPU time of the whole process, in seconds.
inline double CpuSeconds() {
  rusage ru{};
  getrusage(RUSAGE_SELF, &ru);
  return static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
         static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

// Simulated inverters (tools/inverter_sim), one child process each, on
// free 127.0.0.1 ports. Each child is also told to exit by itself after
// `max_seconds`, so none outlives a benchmark that dies. `extra_args` go to
// every simulator (e.g. its `--user` and `--delay-ms`). Stopped (SIGTERM,
// then SIGKILL) on destruction.
class SimFarm {
 public:
  SimFarm(const std::string& program, int count, double max_seconds,
          std::vector<std::string> extra_args = {}) {
    extra_args.insert(extra_args.begin(),
                      {"--duration", std::to_string(max_seconds)});
    for (int i = 0; i < count; ++i) {
      sims_.push_back(
          std::make_unique<tarn::test::SimulatorProcess>(program, extra_args));
      peers_.push_back(sims_.back()->address());
    }
  }
  ~SimFarm() { Stop(); }
  SimFarm(const SimFarm&) = delete;
  SimFarm& operator=(const SimFarm&) = delete;

  const std::vector<std::string>& peers() const { return peers_; }
  void Stop() {
    for (const auto& sim : sims_) sim->Signal(SIGTERM);  // all at once
    sims_.clear();
    peers_.clear();
  }

 private:
  std::vector<std::unique_ptr<tarn::test::SimulatorProcess>> sims_;
  std::vector<std::string> peers_;
};

}  // namespace bench
