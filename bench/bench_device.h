#pragma once
// Devices configured the way the host configures them, and observers for
// the recording host that keep nothing.

#include <json/json.h>

#include <memory>
#include <string>

#include "SNMP_KEHUA_INVERTER.h"
#include "recorder.h"

namespace bench {

// Host configuration of one device: its peer and its application settings.
inline Json::Value DeviceConfig(const std::string& peer, bool threaded,
                                int alarm_mode = 2) {
  Json::Value config(Json::objectValue);
  config["address"] = peer;
  Json::Value& app = config["settings"]["appSetting"];
  app["b_mode"] = std::to_string(alarm_mode);
  app["use_thread"] = threaded ? "1" : "0";
  return config;
}

// Creates a device and initialises it as the host does (Init with data id
// and configuration); a threaded device starts walking at once.
inline std::unique_ptr<SNMP_KEHUA_INVERTER> MakeDevice(unsigned int data_id,
                                                       const std::string& peer,
                                                       bool threaded,
                                                       int alarm_mode = 2) {
  auto dev = std::make_unique<SNMP_KEHUA_INVERTER>();
  dev->Init(std::weak_ptr<TarnController>(), data_id,
            DeviceConfig(peer, threaded, alarm_mode));
  return dev;
}

// Attached, it makes the host report every call to nobody.
class NoOpObserver : public host::Observer {
 public:
  void OnCall(const host::Call&) override {}
};

}  // namespace bench
