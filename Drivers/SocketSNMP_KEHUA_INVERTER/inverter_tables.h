#pragma once
// The inverter's objects as data: which sub-identifier under the walked
// subtree fills which reading, and which readings raise which alarm.

#include <array>
#include <cstddef>

namespace inverter {

// Base of the walked subtree: 1.3.6.1.4.1.44782.4.6.1.1.
constexpr std::array<unsigned, 11> kBaseOid = {1,     3, 6, 1, 4, 1,
                                               44782, 4, 6, 1, 1};

// The key is the sub-identifier right after the base; key k fills entry
// k - 2 of the record's readings, at record offset 4 * (k - 1).
struct ReadingSlot {
  unsigned key;
  unsigned entry;
  unsigned offset;
};

constexpr std::array<ReadingSlot, 16> MakeReadingMap() {
  std::array<ReadingSlot, 16> map{};
  for (unsigned entry = 0; entry < 16; ++entry) {
    map[entry] = ReadingSlot{entry + 2, entry, 4 * (entry + 1)};
  }
  return map;
}
constexpr std::array<ReadingSlot, 16> kReadingMap = MakeReadingMap();

// The reading a key fills, or null when the key fills none.
constexpr const ReadingSlot* SlotForKey(unsigned long key) {
  for (const ReadingSlot& slot : kReadingMap) {
    if (slot.key == key) return &slot;
  }
  return nullptr;
}

// The communication-status reading: a walk that loses the inverter sets it
// to 1, so that a record of stale readings says so.
constexpr unsigned kCommStatusKey = 16;

// Alarms of alarm mode 2, evaluated top to bottom; active when the reading
// is not zero.
struct AlarmRow {
  unsigned entry;
  const char* name;
};

constexpr const char* kAlarmGroup = "UPS主机其他告警";
constexpr const char* kAlarmIdPrefix = "12040064";
constexpr int kAlarmType = 2;
constexpr int kAlarmMode = 2;

constexpr std::array<AlarmRow, 6> kAlarmTable = {{
    {9, "市电异常"},   // mains supply abnormal
    {10, "电池欠压"},  // battery under-voltage
    {11, "旁路输出"},  // output on bypass
    {12, "UPS故障"},   // UPS fault
    {13, "一般告警"},  // general alarm
    {14, "通讯状态"},  // communication status
}};

}  // namespace inverter
