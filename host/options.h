#pragma once
// The host program's command line.

#include <string>

namespace host {

struct Options {
  std::string plugin;
  std::string config;             // --config FILE, or
  std::string address, settings;  // --address HOST[:PORT] [--settings]
  bool settings_given = false;
  std::string events, plugin_output;  // "" when not given
  unsigned long rounds = 1;
  double interval = 5.0;
  bool summary = false;
  bool help = false;
  bool version = false;
};

extern const char kUsage[];

// Throws BadInput naming the option that is wrong.
Options ParseOptions(int argc, char** argv);

// A count of rounds, 0..1000000; `what` names it in the error.
unsigned long ParseRounds(const std::string& text, const std::string& what);

}  // namespace host
