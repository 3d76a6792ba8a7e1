#pragma once
// The inverter device with its protected state opened up for tests.

#include <cstring>
#include <string>

#include "SNMP_KEHUA_INVERTER.h"
#include "json_text.h"

class InverterProbe : public SNMP_KEHUA_INVERTER {
 public:
  // A sampling thread must be stopped before the object's type changes back
  // to SNMP_KEHUA_INVERTER under it.
  ~InverterProbe() override { stop_sampling(); }

  void SetIds(unsigned int data_id, const std::string& peer) {
    data_id_ = data_id;
    peer_address_ = peer;
  }
  float Reading(unsigned entry) const {
    float v;
    std::memcpy(&v,
                reinterpret_cast<const unsigned char*>(&data_) + 4 + 4 * entry,
                sizeof v);
    return v;
  }
  void SetReading(unsigned entry, float v) {
    std::memcpy(reinterpret_cast<unsigned char*>(&data_) + 4 + 4 * entry, &v,
                sizeof v);
  }
  bool Threaded() const { return sample_thread_ != nullptr; }

  using SNMP_KEHUA_INVERTER::b_mode_;
  using SNMP_KEHUA_INVERTER::data_;
  using SNMP_KEHUA_INVERTER::max_walk_time_;
  using SNMP_KEHUA_INVERTER::name_len_;
  using SNMP_KEHUA_INVERTER::pause_;
  using SNMP_KEHUA_INVERTER::root_len_;
  using SNMP_KEHUA_INVERTER::root_oid_;
  using SNMP_KEHUA_INVERTER::session_;
  using SNMP_KEHUA_INVERTER::use_thread_;
  using TarnVDevice::alarm_raised_;
  using TarnVDevice::signal_index_;
};

using tarn::test::ParseJson;
