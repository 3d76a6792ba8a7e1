// tarn_host: loads a device plug-in the way the monitoring host does and runs
// one device per configured inverter for a number of rounds, writing every
// call the devices make into the host to an events file.

#include <dlfcn.h>
#include <fcntl.h>
#include <json/json.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "atoi_clamped.h"
#include "events.h"
#include "provider.h"
#include "recorder.h"
#include "summary.h"

namespace {

constexpr char kUsage[] =
    R"(Usage: tarn_host --plugin PATH --config FILE [options]

Loads the device plug-in PATH, creates one device per entry of the JSON
configuration FILE, runs the devices for a number of rounds, then deletes
them and unloads the plug-in.

  --plugin PATH          plug-in shared object (exports get_providers)
  --config FILE          {"devices":[{"data_id":7,"address":"127.0.0.1:16100",
                          "settings":{"appSetting":{"use_thread":"0",
                          "b_mode":"2"}}}, ...]}
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
  --help                 this text

Threaded devices (use_thread not 0) sample on their own; they run until each
has completed N rounds. Exit status: 0 done, 1 a device or the plug-in
failed, 2 bad command line, configuration or plug-in.
)";

// Bad input: reported as one line, exit status 2.
struct BadInput : std::runtime_error {
  using std::runtime_error::runtime_error;
};
// Failure while running: reported as one line, exit status 1.
struct Failure : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// Text on one line, with every run of white space made one blank.
std::string OneLine(const std::string& text) {
  std::string out;
  for (char c : text) {
    const bool blank = c == ' ' || c == '\n' || c == '\r' || c == '\t';
    if (!blank) {
      out += c;
    } else if (!out.empty() && out.back() != ' ') {
      out += ' ';
    }
  }
  while (!out.empty() && out.back() == ' ') out.pop_back();
  return out;
}

struct Options {
  std::string plugin, config, events, plugin_output;
  unsigned long rounds = 1;
  double interval = 5.0;
  bool summary = false;
  bool help = false;
};

unsigned long ParseRounds(const std::string& text,
                          const std::string& what = "--rounds") {
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

double ParseInterval(const std::string& text) {
  char* end = nullptr;
  const double value = std::strtod(text.c_str(), &end);
  if (text.empty() || *end != '\0' || !(value >= 0) || value > 3600)
    throw BadInput(
        "--interval needs a number of seconds from 0 to 3600, not '" + text +
        "'");
  return value;
}

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
    if (name == "--help" || name == "-h") {
      options.help = true;
    } else if (name == "--summary") {
      if (inline_value) throw BadInput("--summary takes no value");
      options.summary = true;
    } else if (name == "--plugin") {
      options.plugin = take();
    } else if (name == "--config") {
      options.config = take();
    } else if (name == "--events") {
      options.events = take();
    } else if (name == "--plugin-output") {
      options.plugin_output = take();
    } else if (name == "--rounds") {
      options.rounds = ParseRounds(take());
    } else if (name == "--interval") {
      options.interval = ParseInterval(take());
    } else {
      throw BadInput("unknown option '" + name + "' (see --help)");
    }
  }
  if (options.help) return options;
  if (options.plugin.empty()) throw BadInput("--plugin PATH is required");
  if (options.config.empty()) throw BadInput("--config FILE is required");
  return options;
}

struct DeviceConfig {
  unsigned int data_id = 0;
  bool threaded = false;
  unsigned long rounds = 0;
  Json::Value entry;
};

std::vector<DeviceConfig> ReadConfig(const std::string& path,
                                     unsigned long rounds) {
  std::ifstream in(path);
  if (!in)
    throw BadInput("cannot read configuration " + path + ": " +
                   std::strerror(errno));
  Json::CharReaderBuilder builder;
  Json::Value root;
  std::string errors;
  if (!Json::parseFromStream(builder, in, &root, &errors))
    throw BadInput(path + " is not valid JSON: " + OneLine(errors));
  if (!root.isObject() || !root["devices"].isArray() || root["devices"].empty())
    throw BadInput(path + " needs a non-empty array \"devices\"");

  std::vector<DeviceConfig> devices;
  std::set<unsigned int> seen;
  for (Json::ArrayIndex i = 0; i < root["devices"].size(); ++i) {
    const Json::Value& entry = root["devices"][i];
    const std::string where =
        path + ": device " + std::to_string(i + 1) + " of the list";
    if (!entry.isObject()) throw BadInput(where + " is not an object");
    const Json::Value& id = entry["data_id"];
    if (id.isNull()) throw BadInput(where + " has no data_id");
    if (!id.isUInt() || id.asUInt() == 0)
      throw BadInput(where + ": data_id must be a whole number from 1 to " +
                     "4294967295");
    const Json::Value& address = entry["address"];
    if (address.isNull()) throw BadInput(where + " has no address");
    if (!address.isString() || address.asString().empty())
      throw BadInput(where + ": address must be a non-empty string");
    const Json::Value& settings = entry["settings"];
    if (!settings.isNull() && !settings.isObject())
      throw BadInput(where + ": settings must be an object");

    DeviceConfig device;
    device.data_id = id.asUInt();
    if (!seen.insert(device.data_id).second)
      throw BadInput(where + ": data_id " + std::to_string(device.data_id) +
                     " is used twice");
    const Json::Value& app = settings["appSetting"];
    if (app.isObject() && app.isMember("use_thread")) {
      const Json::Value& use_thread = app["use_thread"];
      if (use_thread.isObject() || use_thread.isArray())
        throw BadInput(where + ": use_thread must be a number or a string");
      device.threaded = tarn::atoi_clamped(use_thread.asString()) != 0;
    }
    device.rounds = rounds;
    if (entry.isMember("rounds")) {
      const Json::Value& own = entry["rounds"];
      device.rounds = ParseRounds(own.isUInt() ? std::to_string(own.asUInt())
                                               : OneLine(own.toStyledString()),
                                  where + ": rounds");
    }
    device.entry = entry;
    devices.push_back(std::move(device));
  }
  return devices;
}

// Counts every device's rounds (SendSP calls) and passes each call on to the
// events file and the summary.
class HostObserver : public host::Observer {
 public:
  void Attach(host::Observer* observer) { observers_.push_back(observer); }

  void OnCall(const host::Call& call) override {
    for (host::Observer* observer : observers_) observer->OnCall(call);
    if (call.kind != host::Call::Kind::SendSP) return;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      ++rounds_[call.device_id];
    }
    changed_.notify_all();
  }

  // Waits until each device has completed `rounds` rounds or the deadline
  // passes; returns the devices still short of it.
  std::vector<unsigned int> WaitRounds(
      const std::vector<unsigned int>& devices, unsigned long rounds,
      std::chrono::steady_clock::time_point deadline) {
    std::unique_lock<std::mutex> lock(mutex_);
    auto short_of = [&] {
      std::vector<unsigned int> out;
      for (unsigned int id : devices)
        if (rounds_[id] < rounds) out.push_back(id);
      return out;
    };
    changed_.wait_until(lock, deadline, [&] { return short_of().empty(); });
    return short_of();
  }

  unsigned long Rounds(unsigned int device) {
    std::lock_guard<std::mutex> lock(mutex_);
    return rounds_[device];
  }

 private:
  std::vector<host::Observer*> observers_;  // fixed before devices exist
  std::mutex mutex_;
  std::condition_variable changed_;
  std::map<unsigned int, unsigned long> rounds_;
};

using GetProviders = std::vector<std::shared_ptr<Provider>> (*)();

// A loaded plug-in with its providers and the devices made from them. Close()
// (or the destructor) deletes the devices through their base pointer,
// releases the providers and unloads the plug-in, in that order.
class PluginSession {
 public:
  explicit PluginSession(const std::string& path) {
    // A name without a slash would be searched for on the library path.
    const std::string file =
        path.find('/') == std::string::npos ? "./" + path : path;
    handle_ = dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle_ == nullptr)
      throw BadInput("cannot load plug-in: " + OneLine(dlerror()));
    dlerror();
    void* symbol = dlsym(handle_, "get_providers");
    if (symbol == nullptr) {
      Unload();
      throw BadInput("plug-in " + path + " has no get_providers");
    }
    const auto get_providers = reinterpret_cast<GetProviders>(symbol);
    try {
      providers_ = get_providers();
    } catch (const std::exception& e) {
      Unload();
      throw Failure(std::string("get_providers failed: ") + e.what());
    }
    for (const std::shared_ptr<Provider>& p : providers_) {
      socket_provider_ = std::dynamic_pointer_cast<TarnSocketDeviceProvider>(p);
      if (socket_provider_) break;
    }
    if (!socket_provider_) {
      providers_.clear();
      Unload();
      throw BadInput("plug-in " + path + " provides no socket device provider");
    }
  }
  ~PluginSession() { Close(); }
  PluginSession(const PluginSession&) = delete;
  PluginSession& operator=(const PluginSession&) = delete;

  TarnSocketDevice* Create() {
    devices_.emplace_back(socket_provider_->create());
    if (!devices_.back()) throw Failure("the provider created no device");
    return devices_.back().get();
  }

  // Returns a problem found while closing, or "".
  std::string Close() {
    std::string problem;
    if (handle_ == nullptr) return problem;
    deleted_ = devices_.size();
    devices_.clear();
    if (const int live = host::LiveDevices(); live != 0)
      problem = std::to_string(live) + " device objects still alive after " +
                "deletion";
    socket_provider_.reset();
    providers_.clear();
    if (!Unload() && problem.empty()) problem = "cannot unload the plug-in";
    return problem;
  }
  std::size_t deleted() const { return deleted_; }

 private:
  bool Unload() {
    const bool ok = dlclose(handle_) == 0;
    handle_ = nullptr;
    return ok;
  }

  void* handle_ = nullptr;
  std::vector<std::shared_ptr<Provider>> providers_;
  std::shared_ptr<TarnSocketDeviceProvider> socket_provider_;
  std::vector<std::unique_ptr<TarnSocketDevice>> devices_;
  std::size_t deleted_ = 0;
};

// Where the host's own lines, the events and the plug-in's output go.
struct Outputs {
  std::FILE* report = stdout;  // summary and closing line
  std::FILE* events = nullptr;
  ~Outputs() {
    if (events != nullptr && events != report && events != stdout)
      std::fclose(events);
    if (report != stdout && report != stderr) std::fclose(report);
  }
};

void SetUpOutputs(const Options& options, Outputs& out) {
  int plugin_fd = -1;
  if (!options.plugin_output.empty()) {
    plugin_fd = open(options.plugin_output.c_str(),
                     O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (plugin_fd < 0) throw BadInput("cannot write " + options.plugin_output);
  }
  if (!options.events.empty() && options.events != "-") {
    out.events = std::fopen(options.events.c_str(), "w");
    if (out.events == nullptr) {
      if (plugin_fd >= 0) close(plugin_fd);
      throw BadInput("cannot write events file " + options.events);
    }
  }
  if (plugin_fd < 0 && options.events != "-") return;

  // Standard output (fd 1, which the plug-in writes to) is redirected; the
  // host keeps the original for itself.
  std::fflush(stdout);
  std::cout.flush();
  const int original = fcntl(1, F_DUPFD_CLOEXEC, 3);
  std::FILE* saved = original >= 0 ? fdopen(original, "w") : nullptr;
  if (saved == nullptr) throw Failure("cannot duplicate standard output");
  dup2(plugin_fd >= 0 ? plugin_fd : 2, 1);
  if (plugin_fd >= 0) close(plugin_fd);
  if (options.events == "-") {
    out.events = saved;
    out.report = stderr;
  } else {
    out.report = saved;
  }
}

void Sleep(std::chrono::steady_clock::time_point until) {
  std::this_thread::sleep_until(until);
}

int Run(const Options& options) {
  const std::vector<DeviceConfig> configs =
      ReadConfig(options.config, options.rounds);
  Outputs out;
  SetUpOutputs(options, out);

  HostObserver observer;
  std::unique_ptr<host::EventWriter> events;
  if (out.events != nullptr) {
    events = std::make_unique<host::EventWriter>(out.events);
    observer.Attach(events.get());
  }
  std::unique_ptr<host::Summary> summary;
  if (options.summary) {
    summary = std::make_unique<host::Summary>(out.report);
    for (const DeviceConfig& c : configs)
      summary->Describe(c.data_id, c.threaded ? "threaded" : "host-driven");
    observer.Attach(summary.get());
  }

  std::string problem;
  std::size_t deleted = 0;
  {
    PluginSession plugin(options.plugin);
    host::ScopedObserver attached(&observer);
    const auto start = std::chrono::steady_clock::now();

    std::vector<std::pair<TarnSocketDevice*, unsigned long>> driven;
    std::map<unsigned long, std::vector<unsigned int>> threaded;  // by rounds
    for (const DeviceConfig& c : configs) {
      TarnSocketDevice* device = plugin.Create();
      try {
        device->Init(std::weak_ptr<TarnController>(), c.data_id, c.entry);
      } catch (const std::exception& e) {
        throw Failure("device " + std::to_string(c.data_id) +
                      ": initialisation failed: " + e.what());
      }
      if (c.threaded) {
        threaded[c.rounds].push_back(c.data_id);
      } else {
        driven.emplace_back(device, c.rounds);
      }
    }

    const auto interval =
        std::chrono::duration_cast<std::chrono::steady_clock::duration>(
            std::chrono::duration<double>(options.interval));
    unsigned long most = 0;
    for (const auto& [device, rounds] : driven) most = std::max(most, rounds);
    for (unsigned long round = 0; round < most; ++round) {
      if (round > 0) Sleep(start + interval * round);
      for (const auto& [device, rounds] : driven)
        if (round < rounds) device->RefreshStatus();
    }

    // A threaded round takes at most a walk that times out (20 s) and the
    // device's pause between rounds (5 s).
    for (const auto& [rounds, ids] : threaded) {
      const auto deadline =
          start + std::chrono::seconds(10) + std::chrono::seconds(30) * rounds;
      for (unsigned int id : observer.WaitRounds(ids, rounds, deadline)) {
        problem += (problem.empty() ? "" : "; ") + std::string("device ") +
                   std::to_string(id) + " completed " +
                   std::to_string(observer.Rounds(id)) + " of " +
                   std::to_string(rounds) + " rounds in time";
      }
    }
    const std::string closing = plugin.Close();
    if (!closing.empty()) problem += (problem.empty() ? "" : "; ") + closing;
    deleted = plugin.deleted();
  }

  if (summary) summary->Finish();
  if (events && !events->ok())
    problem += (problem.empty() ? "" : "; ") +
               std::string("writing the events file failed");
  std::fprintf(out.report, "host: %zu device%s deleted, plug-in unloaded\n",
               deleted, deleted == 1 ? "" : "s");
  std::fflush(out.report);
  if (!problem.empty()) {
    std::fprintf(stderr, "host: %s\n", problem.c_str());
    return 1;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    const Options options = ParseOptions(argc, argv);
    if (options.help) {
      std::fputs(kUsage, stdout);
      return 0;
    }
    return Run(options);
  } catch (const BadInput& e) {
    std::fprintf(stderr, "host: %s\n", e.what());
    return 2;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "host: %s\n", e.what());
    return 1;
  }
}
