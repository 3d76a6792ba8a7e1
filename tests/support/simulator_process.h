#pragma once
// The simulated inverter as a child process of a test: started with its
// options and "--listen 127.0.0.1:PORT" (0: any free port), ready once it
// printed "ready ADDR"; stopped by its pid with SIGTERM and waited for when
// the object goes away (SIGKILL only if it hangs for 10 s). Its standard
// error goes to /dev/null: the agent library logs every refused request.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace tarn::test {

class SimulatorProcess {
 public:
  SimulatorProcess(const std::string& program, std::vector<std::string> args,
                   int port = 0) {
    // A bounded life: a simulator whose test crashed ends by itself.
    args.insert(args.begin(),
                {program, "--listen", "127.0.0.1:" + std::to_string(port),
                 "--duration", "120"});
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    pid_ = fork();
    if (pid_ == 0) {  // only async-signal-safe calls until exec
      dup2(out[1], 1);
      const int null = open("/dev/null", O_WRONLY);
      dup2(null, 2);
      execv(argv[0], argv.data());
      _exit(127);
    }
    close(out[1]);
    out_ = out[0];
    // "ready 127.0.0.1:PORT\n" within 10 s (the simulator prints nothing
    // else with its built-in profile, so the pipe never fills).
    std::string line;
    const auto deadline = std::chrono::steady_clock::now() + kReady;
    while (line.find('\n') == std::string::npos &&
           std::chrono::steady_clock::now() < deadline) {
      pollfd fd{out_, POLLIN, 0};
      char buf[128];
      if (poll(&fd, 1, 100) <= 0) continue;
      const ssize_t n = read(out_, buf, sizeof buf);
      if (n <= 0) break;
      line.append(buf, static_cast<size_t>(n));
    }
    if (line.rfind("ready ", 0) != 0 || line.find('\n') == std::string::npos) {
      Stop();
      throw std::runtime_error("simulator not ready: \"" + line + "\"");
    }
    address_ = line.substr(6, line.find('\n') - 6);
    port_ = std::stoi(address_.substr(address_.rfind(':') + 1));
  }
  ~SimulatorProcess() { Stop(); }
  SimulatorProcess(const SimulatorProcess&) = delete;
  SimulatorProcess& operator=(const SimulatorProcess&) = delete;

  const std::string& address() const { return address_; }  // 127.0.0.1:PORT
  int port() const { return port_; }

  // SIGTERM and wait; the simulator removes its private folder on the way.
  void Stop() {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      int status = 0;
      for (int i = 0; i < 1000 && waitpid(pid_, &status, WNOHANG) == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      if (waitpid(pid_, &status, WNOHANG) == 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, &status, 0);
      }
      pid_ = -1;
    }
    if (out_ >= 0) close(out_);
    out_ = -1;
  }

 private:
  static constexpr std::chrono::seconds kReady{10};
  pid_t pid_ = -1;
  int out_ = -1;
  std::string address_;
  int port_ = 0;
};

}  // namespace tarn::test
