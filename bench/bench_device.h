#pragma once
// Devices configured the way the host configures them, and observers for
// the recording host that keep nothing.

#include <json/json.h>

#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "SNMP_KEHUA_INVERTER.h"
#include "json_text.h"
#include "recorder.h"

namespace bench {

// Host configuration of one device: its peer and its application settings,
// with `snmp` as `appSetting.snmp` unless it is null.
inline Json::Value DeviceConfig(const std::string& peer, bool threaded,
                                int alarm_mode = 2,
                                const Json::Value& snmp = Json::Value()) {
  Json::Value config(Json::objectValue);
  config["address"] = peer;
  Json::Value& app = config["settings"]["appSetting"];
  app["b_mode"] = std::to_string(alarm_mode);
  app["use_thread"] = threaded ? "1" : "0";
  if (!snmp.isNull()) app["snmp"] = snmp;
  return config;
}

// Creates a device and initialises it as the host does (Init with data id
// and configuration); a threaded device starts walking at once.
inline std::unique_ptr<SNMP_KEHUA_INVERTER> MakeDevice(
    unsigned int data_id, const std::string& peer, bool threaded,
    int alarm_mode = 2, const Json::Value& snmp = Json::Value()) {
  auto dev = std::make_unique<SNMP_KEHUA_INVERTER>();
  dev->Init(std::weak_ptr<TarnController>(), data_id,
            DeviceConfig(peer, threaded, alarm_mode, snmp));
  return dev;
}

// The `--settings JSON` option of the benchmarks: the device's
// `appSetting.snmp` object, or a whole `{"appSetting":{"snmp":{...}}}`.
inline Json::Value ParseSnmpOption(const std::string& text) {
  Json::Value value = tarn::test::ParseJson(text, "--settings");
  if (value.isObject() && value.isMember("appSetting"))
    value = value["appSetting"]["snmp"];
  if (!value.isObject())
    throw std::runtime_error("--settings: want a JSON object");
  return value;
}

// The SNMPv3 level of a device's settings: `level`, or what the
// passphrases given allow, as the driver reads them.
inline std::string SnmpLevel(const Json::Value& snmp) {
  const std::string level = snmp.get("level", "").asString();
  if (!level.empty()) return level;
  return !snmp.get("priv_pass", "").asString().empty()   ? "authPriv"
         : !snmp.get("auth_pass", "").asString().empty() ? "authNoPriv"
                                                         : "noAuthNoPriv";
}

inline bool IsV3(const Json::Value& snmp) {
  return snmp.isObject() && snmp.get("version", "2c").asString() == "3";
}

// The simulator's `--user NAME[:AUTH:PASS[:PRIV:PASS]]` serving a device's
// SNMPv3 settings (nothing for v1/v2c).
inline std::vector<std::string> SimUserArgs(const Json::Value& snmp) {
  if (!IsV3(snmp)) return {};
  const std::string level = SnmpLevel(snmp);
  std::string arg = snmp.get("user", "").asString();
  if (level != "noAuthNoPriv")
    arg += ":" + snmp.get("auth", "SHA").asString() + ":" +
           snmp.get("auth_pass", "").asString();
  if (level == "authPriv")
    arg += ":" + snmp.get("priv", "AES").asString() + ":" +
           snmp.get("priv_pass", "").asString();
  return {"--user", arg};
}

// What the settings select, for the output: never a passphrase.
inline std::string DescribeSnmp(const Json::Value& snmp) {
  const Json::Value& s = snmp.isObject() ? snmp : Json::Value::nullSingleton();
  std::string text = "v" + s.get("version", "2c").asString();
  if (IsV3(s)) {
    const std::string level = SnmpLevel(s);
    text += " " + level;
    if (level != "noAuthNoPriv") text += " " + s.get("auth", "SHA").asString();
    if (level == "authPriv") text += "/" + s.get("priv", "AES").asString();
  }
  text += ", non_repeaters " + s.get("non_repeaters", 1).asString() +
          ", max_repetitions " + s.get("max_repetitions", 100).asString();
  return text;
}

// Splits `--sim-args "..."` at white space.
inline std::vector<std::string> SplitArgs(const std::string& text) {
  std::istringstream in(text);
  std::vector<std::string> args;
  for (std::string word; in >> word;) args.push_back(word);
  return args;
}

// Attached, it makes the host report every call to nobody.
class NoOpObserver : public host::Observer {
 public:
  void OnCall(const host::Call&) override {}
};

}  // namespace bench
