#include "summary.h"

#include <cmath>
#include <cstring>

namespace host {
namespace {

struct Reading {
  const char* name;
  const char* unit;
};

// Entry k holds the value of the inverter's object k + 2.
constexpr Reading kReadings[16] = {
    {"input voltage", "V"},
    {"output voltage", "V"},
    {"input frequency", "Hz"},
    {"output frequency", "Hz"},
    {"output load", "%"},
    {"battery voltage", "V"},
    {"battery capacity", "%"},
    {"temperature", "C"},
    {"output current", "A"},
    {"mains abnormal", ""},
    {"battery under-voltage", ""},
    {"on bypass", ""},
    {"UPS fault", ""},
    {"general alarm", ""},
    {"communication fault", ""},
    {"battery backup time", "min"},
};

std::string Value(float value, const char* unit) {
  char buf[48];
  std::snprintf(buf, sizeof buf, "%g%s%s", static_cast<double>(value),
                *unit ? " " : "", unit);
  return buf;
}

bool Same(float a, float b) {
  return a == b || (std::isnan(a) && std::isnan(b));
}

std::string AlarmText(const Call& call) {
  std::string text = call.name;
  const char* meaning = AlarmMeaning(call.name);
  if (*meaning) text += std::string(" (") + meaning + ")";
  return text;
}

}  // namespace

const char* ReadingName(unsigned entry) {
  return entry < 16 ? kReadings[entry].name : "?";
}

const char* ReadingUnit(unsigned entry) {
  return entry < 16 ? kReadings[entry].unit : "";
}

const char* AlarmMeaning(const std::string& name) {
  static const std::map<std::string, const char*> kMeanings = {
      {"市电异常", "mains abnormal"}, {"电池欠压", "battery under-voltage"},
      {"旁路输出", "on bypass"},      {"UPS故障", "UPS fault"},
      {"一般告警", "general alarm"},  {"通讯状态", "communication fault"},
  };
  const auto it = kMeanings.find(name);
  return it == kMeanings.end() ? "" : it->second;
}

void Summary::Describe(unsigned int device, const std::string& how) {
  std::lock_guard<std::mutex> lock(mutex_);
  devices_[device].how = how;
}

void Summary::OnCall(const Call& call) {
  std::lock_guard<std::mutex> lock(mutex_);
  Device& d = devices_[call.device_id];
  switch (call.kind) {
    case Call::Kind::SendSP: {
      if (call.bytes.size() != 75) break;
      const unsigned char* b = call.bytes.data();
      char head[96];
      std::snprintf(head, sizeof head,
                    "device %u, round %u, %04u-%02u-%02u %02u:%02u:%02u",
                    call.device_id, ++d.rounds, b[68] | (b[69] << 8), b[70],
                    b[71], b[72], b[73], b[74]);
      d.block = head;
      if (!d.how.empty()) d.block += " (" + d.how + ")";
      d.block += '\n';
      float now[16];
      std::memcpy(now, b + 4, sizeof now);
      std::string changed;
      for (unsigned k = 0; k < 16; ++k) {
        char line[96];
        if (!d.have_readings) {
          std::snprintf(
              line, sizeof line, k % 2 ? "   %-21s %s\n" : "  %-21s %-10s",
              kReadings[k].name, Value(now[k], kReadings[k].unit).c_str());
          d.block += line;
        } else if (!Same(now[k], d.readings[k])) {
          changed += changed.empty() ? "  changed: " : ", ";
          changed += std::string(kReadings[k].name) + " " +
                     Value(d.readings[k], kReadings[k].unit) + " -> " +
                     Value(now[k], kReadings[k].unit);
        }
      }
      if (d.have_readings)
        d.block += changed.empty() ? "  readings unchanged\n" : changed + "\n";
      std::memcpy(d.readings, now, sizeof now);
      d.have_readings = true;
      d.active.clear();
      break;
    }
    case Call::Kind::CheckThresholdBool: {
      bool& was = d.alarms[call.id];
      if (call.state) d.active.push_back(AlarmText(call));
      if (call.state != was) {
        d.block += call.state ? "  ALARM RAISED:  " : "  alarm cleared: ";
        d.block += AlarmText(call) + ", id " + call.id + ", signal " +
                   std::to_string(call.signal) + "\n";
        ++(call.state ? d.raised : d.cleared);
      }
      was = call.state;
      break;
    }
    case Call::Kind::SaveDeviceHistory: {
      if (d.block.empty()) break;
      std::string alarms;
      for (const std::string& a : d.active)
        alarms += (alarms.empty() ? "" : ", ") + a;
      if (!d.alarms.empty())
        d.block +=
            "  active alarms: " + (alarms.empty() ? "none" : alarms) + "\n";
      std::fputs(d.block.c_str(), out_);
      std::fflush(out_);
      d.block.clear();
      break;
    }
    default:
      break;
  }
}

void Summary::Finish() {
  std::lock_guard<std::mutex> lock(mutex_);
  for (const auto& [id, d] : devices_) {
    std::fprintf(out_, "device %u: %u rounds, alarms raised %u, cleared %u\n",
                 id, d.rounds, d.raised, d.cleared);
  }
  std::fflush(out_);
}

}  // namespace host
