// The readable per-round account of readings and alarms.
#include "summary.h"

#include <cmath>

#include "inverter_tables.h"

namespace host {
namespace {

static_assert(sizeof(Record::readings) / sizeof(float) ==
                  inverter::kReadings.size(),
              "one reading of the record per object of the inverter");

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

const char* AlarmMeaning(const std::string& name) {
  for (const inverter::AlarmRow& row : inverter::kAlarmTable)
    if (name == row.name) return inverter::kReadings[row.reading].name;
  return "";
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
      const std::optional<Record> record = DecodeRecord(call.bytes);
      if (!record) break;
      char head[96];
      std::snprintf(head, sizeof head,
                    "device %u, round %u, %04u-%02u-%02u %02u:%02u:%02u",
                    call.device_id, ++d.rounds, record->year, record->month,
                    record->day, record->hour, record->minute, record->second);
      d.block = head;
      if (!d.how.empty()) d.block += " (" + d.how + ")";
      d.block += '\n';
      const float* now = record->readings;
      std::string changed;
      for (unsigned k = 0; k < inverter::kReadings.size(); ++k) {
        const char* name = inverter::kReadings[k].name;
        const char* unit = inverter::kReadings[k].unit;
        char line[96];
        if (!d.have_readings) {
          std::snprintf(line, sizeof line,
                        k % 2 ? "   %-21s %s\n" : "  %-21s %-10s", name,
                        Value(now[k], unit).c_str());
          d.block += line;
        } else if (!Same(now[k], d.last.readings[k])) {
          changed += changed.empty() ? "  changed: " : ", ";
          changed += std::string(name) + " " + Value(d.last.readings[k], unit) +
                     " -> " + Value(now[k], unit);
        }
      }
      if (d.have_readings)
        d.block += changed.empty() ? "  readings unchanged\n" : changed + "\n";
      d.last = *record;
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
