#pragma once
// Child processes of tests and benchmarks: started with posix_spawn (fork
// is not safe in a program run under qemu-user), standard output and error
// in files that stay readable while the child runs and after it ended,
// stopped by pid with SIGTERM and waited for when the object goes away
// (SIGKILL only if the child hangs for 10 s).

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace tarn::test {

class ChildProcess {
 public:
  // Runs argv[0] (a path) with `argv`. Its output goes to `output`.out and
  // `output`.err, or to unnamed temporary files when `output` is empty.
  explicit ChildProcess(std::vector<std::string> argv,
                        const std::string& output = "")
      : out_(Open(output, ".out")), err_(Open(output, ".err")) {
    std::vector<char*> args;
    for (std::string& arg : argv) args.push_back(arg.data());
    args.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fileno(out_.get()), 1);
    posix_spawn_file_actions_adddup2(&actions, fileno(err_.get()), 2);
    const int rc =
        posix_spawn(&pid_, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
      pid_ = -1;
      throw std::runtime_error("cannot run " + argv[0]);
    }
  }
  ~ChildProcess() { Stop(); }
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // Exit status (128 + N when signal N ended the child), or -1 if it is
  // still running after `limit`.
  int Wait(std::chrono::milliseconds limit = std::chrono::seconds(5)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (int status = 0; pid_ > 0;) {
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        status_ =
            WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      } else if (std::chrono::steady_clock::now() >= deadline) {
        return -1;
      } else {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
      }
    }
    return status_;
  }
  // SIGTERM and wait; the exit status.
  int Stop() {
    Signal(SIGTERM);
    if (Wait(std::chrono::seconds(10)) == -1) {
      Signal(SIGKILL);
      Wait(std::chrono::hours(1));
    }
    return status_;
  }
  void Signal(int signal) const {
    if (pid_ > 0) kill(pid_, signal);
  }

  std::string Out() const { return Read(out_.get()); }
  std::string Err() const { return Read(err_.get()); }
  // Line `index` of the standard output once it is complete, or "" if it is
  // not within `limit` or the child ended without it.
  std::string Line(std::size_t index,
                   std::chrono::milliseconds limit = std::chrono::seconds(5)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
      const bool ended = Wait(std::chrono::milliseconds(0)) != -1;
      std::istringstream lines(Out());
      std::string line;  // the last one counts once it has its newline
      for (std::size_t n = 0; std::getline(lines, line) && !lines.eof(); ++n)
        if (n == index) return line;
      if (ended || std::chrono::steady_clock::now() >= deadline) return "";
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  }

 private:
  using File = std::unique_ptr<std::FILE, int (*)(std::FILE*)>;

  static File Open(const std::string& output, const char* suffix) {
    File file(output.empty() ? std::tmpfile()
                             : std::fopen((output + suffix).c_str(), "w+"),
              std::fclose);
    if (!file) throw std::runtime_error("cannot open an output file");
    fcntl(fileno(file.get()), F_SETFD, FD_CLOEXEC);  // for this child only
    return file;
  }
  static std::string Read(std::FILE* file) {
    std::string text;
    char buf[4096];
    for (ssize_t n; (n = pread(fileno(file), buf, sizeof buf,
                               static_cast<off_t>(text.size()))) > 0;)
      text.append(buf, static_cast<std::size_t>(n));
    return text;
  }

  File out_, err_;
  pid_t pid_ = -1;
  int status_ = -1;
};

// The simulated inverter listening on 127.0.0.1:`port` (0: a free port of
// its choice), with `args` after a 120 s limit of its own (a later
// --duration wins), so that a simulator whose test crashed ends by itself.
// Ready once it printed "ready ADDR".
class SimulatorProcess : public ChildProcess {
 public:
  SimulatorProcess(const std::string& program, std::vector<std::string> args,
                   int port = 0, const std::string& output = "")
      : ChildProcess(Command(program, std::move(args), port), output) {
    const std::string ready = Line(0, std::chrono::seconds(10));
    if (ready.rfind("ready ", 0) != 0)
      throw std::runtime_error("simulator not ready: \"" + ready + "\" " +
                               Err());
    address_ = ready.substr(6);
    port_ = std::stoi(address_.substr(address_.rfind(':') + 1));
  }

  const std::string& address() const { return address_; }  // 127.0.0.1:PORT
  int port() const { return port_; }

 private:
  static std::vector<std::string> Command(const std::string& program,
                                          std::vector<std::string> args,
                                          int port) {
    args.insert(args.begin(),
                {program, "--listen", "127.0.0.1:" + std::to_string(port),
                 "--duration", "120"});
    return args;
  }

  std::string address_;
  int port_ = 0;
};

}  // namespace tarn::test
