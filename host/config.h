#pragma once
// The devices to run: read from a configuration file, or one device from
// --address and --settings. JSON is read strictly (no comments, nothing
// after the value, no duplicate keys), with bounded size and nesting.

#include <json/json.h>

#include <chrono>
#include <cstddef>
#include <string>
#include <vector>

namespace host {

// Bounds that suit a 32-bit target: JsonCpp needs some 50 bytes of memory
// per byte of input.
constexpr std::size_t kMaxConfigBytes = 1024 * 1024;
constexpr unsigned kMaxNesting = 32;

struct DeviceConfig {
  unsigned int data_id = 0;
  bool threaded = false;
  unsigned long rounds = 0;
  // A threaded round's longest time: a walk whose request times out
  // ((retries + 1) x timeout_ms of its settings, at most the device's walk
  // limit) and the device's pause (both in device_limits.h).
  std::chrono::milliseconds round_time{0};
  Json::Value entry;  // handed to the device's Init
  std::string where;  // names the entry in error lines
};

// Throws BadInput with one line naming the file and what is wrong.
std::vector<DeviceConfig> ReadConfig(const std::string& path,
                                     unsigned long rounds);

// One device, data id 1, as a configuration entry with this address and
// these settings (JSON text; "" for none) would give.
std::vector<DeviceConfig> AddressConfig(const std::string& address,
                                        const std::string& settings,
                                        bool settings_given,
                                        unsigned long rounds);

// Reports settings a device cannot take (a JsonCpp type error raised while
// the settings are read), the same way whichever key is wrong.
[[noreturn]] void RefuseSettings(const DeviceConfig& device,
                                 const std::string& what);

}  // namespace host
