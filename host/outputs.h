#pragma once
// Where the host program writes: its own lines (summary, closing line), the
// events file and the plug-in's standard output (file descriptor 1, which
// the plug-in writes to through stdio and std::cout).

#include <cstdio>
#include <string>

#include "options.h"

namespace host {

class Outputs {
 public:
  // Refuses (BadInput) an output that is the same file as another output,
  // as standard output or error, as the configuration or as the plug-in;
  // then opens the files and points file descriptor 1 at the plug-in's
  // output, keeping the original standard output for the host's own lines.
  explicit Outputs(const Options& options);
  ~Outputs();
  Outputs(const Outputs&) = delete;
  Outputs& operator=(const Outputs&) = delete;

  std::FILE* report() const { return report_; }  // summary, closing line
  std::FILE* events() const { return events_; }  // nullptr: no events file
  const std::string& events_name() const { return events_name_; }

  // Flushes every output; returns "writing X failed" for each one a write
  // failed on (one line), or "". `events_error` is the events writer's
  // error (0: none, -1: failed without an errno).
  std::string WriteProblems(int events_error);

 private:
  std::FILE* report_ = stdout;
  std::FILE* events_ = nullptr;
  std::string events_name_;
  std::string plugin_name_;  // where fd 1 goes; "" for standard error
};

}  // namespace host
