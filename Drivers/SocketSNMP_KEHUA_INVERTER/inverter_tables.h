#pragma once
// The inverter's objects as data, the one description every part uses (the
// driver, the simulated inverter, the host program's summary, the tests):
// the walked subtree, which object fills which reading of the record, the
// readings' names and units, and which readings raise which alarm.

#include <array>
#include <cstddef>

namespace inverter {

// The data id under which the record is handed to the host and stored.
constexpr unsigned kRecordDataId = 5156;

// The walked subtree: 1.3.6.1.4.1.44782.4.6.1.1.
constexpr std::array<unsigned, 11> kSubtree = {1,     3, 6, 1, 4, 1,
                                               44782, 4, 6, 1, 1};

// SNMP type of an object as the inverter serves it.
enum class ObjectType { kInteger, kOpaqueFloat };

// One object of the subtree. Its key is the sub-identifier right after the
// subtree (the object itself is KEY.0); it fills readings[i] of the record,
// where i is its place in kReadings.
struct Reading {
  unsigned key;
  const char* name;
  const char* unit;  // "" for a flag
  ObjectType type;
};

constexpr std::array<Reading, 16> kReadings = {{
    {2, "input voltage", "V", ObjectType::kInteger},
    {3, "output voltage", "V", ObjectType::kInteger},
    {4, "input frequency", "Hz", ObjectType::kOpaqueFloat},
    {5, "output frequency", "Hz", ObjectType::kOpaqueFloat},
    {6, "output load", "%", ObjectType::kInteger},
    {7, "battery voltage", "V", ObjectType::kOpaqueFloat},
    {8, "battery capacity", "%", ObjectType::kInteger},
    {9, "internal temperature", "C", ObjectType::kInteger},
    {10, "output current", "A", ObjectType::kOpaqueFloat},
    {11, "mains abnormal", "", ObjectType::kInteger},
    {12, "battery under-voltage", "", ObjectType::kInteger},
    {13, "on bypass", "", ObjectType::kInteger},
    {14, "UPS fault", "", ObjectType::kInteger},
    {15, "general alarm", "", ObjectType::kInteger},
    {16, "communication status", "", ObjectType::kInteger},
    {17, "battery backup time", "min", ObjectType::kInteger},
}};

constexpr bool KeysFollowOneAnother() {
  for (std::size_t i = 0; i < kReadings.size(); ++i) {
    if (kReadings[i].key != kReadings[0].key + i) return false;
  }
  return true;
}
static_assert(KeysFollowOneAnother(), "ReadingForKey relies on it");

// The reading an object's key fills, or -1 when it fills none.
constexpr int ReadingForKey(unsigned long key) {
  return key >= kReadings[0].key && key - kReadings[0].key < kReadings.size()
             ? static_cast<int>(key - kReadings[0].key)
             : -1;
}

// The communication-status reading: a walk that loses the inverter sets it
// to 1, so that a record of stale readings says so.
constexpr unsigned kCommStatusReading = 14;

// Alarms of alarm mode 2, evaluated top to bottom; active when the reading
// is not zero. A row's meaning in English is its reading's name.
struct AlarmRow {
  unsigned reading;
  const char* name;
};

constexpr const char* kAlarmGroup = "UPS主机其他告警";
constexpr const char* kAlarmIdPrefix = "12040064";
constexpr int kAlarmType = 2;
constexpr int kAlarmMode = 2;

constexpr std::array<AlarmRow, 6> kAlarmTable = {{
    {9, "市电异常"},
    {10, "电池欠压"},
    {11, "旁路输出"},
    {12, "UPS故障"},
    {13, "一般告警"},
    {14, "通讯状态"},
}};

}  // namespace inverter
