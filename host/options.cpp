// Parsing the host program's command line.
#include "options.h"

#include <cstdlib>

#include "host_error.h"

namespace host {

const char kUsage[] =
    R"(Usage: tarn_host --plugin PATH --config FILE [options]
       tarn_host --plugin PATH --address HOST[:PORT] [--settings JSON] [options]

Loads the device plug-in PATH, creates one device per entry of the JSON
configuration FILE (or one device, data id 1, watching HOST[:PORT]), runs
the devices for a number of rounds, then deletes them and unloads the
plug-in.

  --plugin PATH          plug-in shared object (exports get_providers)
  --config FILE          {"devices":[{"data_id":7,"address":"127.0.0.1:16100",
                          "settings":{"appSetting":{"use_thread":"0",
                          "b_mode":"2"}}}, ...]}
  --address HOST[:PORT]  one device watching this inverter, no file needed
  --settings JSON        that device's settings, e.g.
                         '{"appSetting":{"b_mode":"2"}}'
  --rounds N             rounds per device (default 1); a device entry's
                         own "rounds" overrides it
  --interval SECONDS     time between the rounds of host-driven devices
                         (use_thread 0 or absent; default 5, fractions allowed)
  --events FILE          one JSON line per call a device makes into the host;
                         "-" writes them to standard output, and everything
                         else that would go there goes to standard error
  --plugin-output FILE   where the plug-in's own standard output goes
                         (default: standard output)
  --summary              readable account of every round on standard output
  --version              the program's version
  --help                 this text

Threaded devices (use_thread not 0) sample on their own; they run until each
has completed N rounds. SIGINT or SIGTERM stops the run: the devices are
deleted and the summary finished (a second signal ends the program at
once). Exit status: 0 done, 1 a device, the plug-in or an output failed,
2 bad command line, configuration, output files or plug-in, 130 or 143
stopped by SIGINT or SIGTERM.
)";

unsigned long ParseRounds(const std::string& text, const std::string& what) {
  constexpr unsigned long kMax = 1000000;
  unsigned long value = 0;
  bool ok = !text.empty() && text.size() <= 7;
  for (char c : text) {
    ok = ok && c >= '0' && c <= '9';
    if (ok) value = value * 10 + static_cast<unsigned long>(c - '0');
  }
  if (!ok || value > kMax)
    throw BadInput(what + " needs a whole number from 0 to 1000000, not '" +
                   text + "'");
  return value;
}

namespace {

double ParseInterval(const std::string& text) {
  char* end = nullptr;
  const double value = std::strtod(text.c_str(), &end);
  if (text.empty() || *end != '\0' || !(value >= 0) || value > 3600)
    throw BadInput(
        "--interval needs a number of seconds from 0 to 3600, not '" + text +
        "'");
  return value;
}

}  // namespace

Options ParseOptions(int argc, char** argv) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    std::string name = argv[i];
    std::string value;
    bool inline_value = false;
    const auto eq = name.find('=');
    if (name.rfind("--", 0) == 0 && eq != std::string::npos) {
      value = name.substr(eq + 1);
      name.resize(eq);
      inline_value = true;
    }
    auto take = [&]() -> std::string {
      if (inline_value) return value;
      if (i + 1 >= argc) throw BadInput(name + " needs a value");
      return argv[++i];
    };
    auto flag = [&]() {
      if (inline_value) throw BadInput(name + " takes no value");
      return true;
    };
    if (name == "--help" || name == "-h") {
      options.help = true;
    } else if (name == "--version") {
      options.version = flag();
    } else if (name == "--summary") {
      options.summary = flag();
    } else if (name == "--plugin") {
      options.plugin = take();
    } else if (name == "--config") {
      options.config = take();
    } else if (name == "--address") {
      options.address = take();
    } else if (name == "--settings") {
      options.settings = take();
      options.settings_given = true;
    } else if (name == "--events") {
      options.events = take();
    } else if (name == "--plugin-output") {
      options.plugin_output = take();
    } else if (name == "--rounds") {
      options.rounds = ParseRounds(take(), "--rounds");
    } else if (name == "--interval") {
      options.interval = ParseInterval(take());
    } else {
      throw BadInput("unknown option '" + name + "' (see --help)");
    }
  }
  if (options.help || options.version) return options;
  if (options.plugin.empty()) throw BadInput("--plugin PATH is required");
  if (!options.config.empty() && !options.address.empty())
    throw BadInput("give --config FILE or --address HOST[:PORT], not both");
  if (options.config.empty() && options.address.empty())
    throw BadInput("--config FILE or --address HOST[:PORT] is required");
  if (options.settings_given && options.address.empty())
    throw BadInput(
        "--settings goes with --address (a configuration file "
        "holds each device's settings)");
  if (options.events == "-" && options.plugin_output == "-")
    throw BadInput(
        "--events - and --plugin-output - both name standard "
        "output; give one of them a file");
  return options;
}

}  // namespace host
