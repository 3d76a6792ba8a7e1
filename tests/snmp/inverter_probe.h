#pragma once
// The inverter device with what tests set and check of its state.

#include <json/json.h>

#include <chrono>
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
  float Reading(unsigned i) const { return data_.readings[i]; }
  void SetReading(unsigned i, float v) { data_.readings[i] = v; }
  const SNMP_KEHUA_INVERTER_Data_t& Record() const { return data_; }
  bool Threaded() const { return sample_thread_ != nullptr; }
  int UseThread() const { return use_thread_; }
  // What walks open their sessions from; tests shorten its time-out.
  netsnmp_session& SessionTemplate() { return session_template_; }
  void SetPause(std::chrono::steady_clock::duration d) { pause_ = d; }
  void SetMaxWalkTime(std::chrono::steady_clock::duration d) {
    max_walk_time_ = d;
  }

  // Every line of a walk shown, however many walks a test makes a minute.
  void ShowEveryLine() { fault_lines_ = {}; }

  // The framework's round state.
  using SNMP_KEHUA_INVERTER::b_mode_;
  using TarnVDevice::alarm_raised_;
  using TarnVDevice::signal_index_;
};

using tarn::test::ParseJson;
