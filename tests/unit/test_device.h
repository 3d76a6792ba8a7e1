#pragma once
// A minimal device on the record template, with its protected state opened
// up for tests.

#include <string>

#include "SNMP_KEHUA_INVERTER_Data.h"
#include "uni_data_device.h"

class TestDevice
    : public UniDataDevice<SNMP_KEHUA_INVERTER_Data_t, TarnSocketDevice, 5156> {
 public:
  int process_data(int, unsigned char*, int) override { return 0; }

  // When set, the alarm step reports one active signal, as a driver would.
  bool raise_in_check = false;
  void RunCheckThreshold() override {
    if (raise_in_check) {
      CheckThresholdBool(2, "1", "1", "group", "name", true, signal_index_++);
    }
  }

  void SetIds(unsigned int data_id, const std::string& peer) {
    data_id_ = data_id;
    peer_address_ = peer;
  }

  using TarnVDevice::alarm_raised_;
  using TarnVDevice::data_ready_;
  using TarnVDevice::last_update_;
  using TarnVDevice::rule_values_;
  using TarnVDevice::signal_index_;
  using TarnVDevice::threshold_levels_;
  using TarnVDevice::threshold_values_;
  using UniDataDevice::alarm_ids_;
  using UniDataDevice::b_mode_;
  using UniDataDevice::data_;
  using UniDataDevice::signal_names_;
};
