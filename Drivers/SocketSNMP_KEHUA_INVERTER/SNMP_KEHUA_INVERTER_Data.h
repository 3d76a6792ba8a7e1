#pragma once
// The inverter device's data record: the unit of transfer (data id 5156)
// and of history storage. Its layout is fixed to the byte.

#include <cstddef>
#include <cstdint>

#include "inverter_tables.h"
#include "tarn_device.h"

#pragma pack(push, 1)
struct SNMP_KEHUA_INVERTER_Data_t {
  std::uint32_t id;                            // the device's data id
  float readings[inverter::kReadings.size()];  // see inverter_tables.h
  TTime round_time;  // completion time of the round that published it
};
#pragma pack(pop)

static_assert(sizeof(SNMP_KEHUA_INVERTER_Data_t) == 75, "record is 75 bytes");
static_assert(offsetof(SNMP_KEHUA_INVERTER_Data_t, id) == 0, "id at 0");
static_assert(offsetof(SNMP_KEHUA_INVERTER_Data_t, readings) == 4,
              "readings at 4");
static_assert(offsetof(SNMP_KEHUA_INVERTER_Data_t, round_time) == 68,
              "round_time at 68");
static_assert(sizeof(float) == 4, "float32 readings");
static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__,
              "the record is stored little-endian as it lies in memory");
