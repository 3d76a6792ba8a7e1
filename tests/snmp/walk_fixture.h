#pragma once
// A device walking a scripted agent on loopback, with the recording host.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "inverter_probe.h"
#include "inverter_tables.h"
#include "recorder.h"
#include "scripted_agent.h"

namespace walk {

using namespace tarn::test;

inline Oid KeyOid(unsigned key, unsigned instance = 0) {
  Oid id(inverter::kSubtree.begin(), inverter::kSubtree.end());
  id.push_back(key);
  id.push_back(instance);
  return id;
}

inline Oid BaseOid() {
  return Oid(inverter::kSubtree.begin(), inverter::kSubtree.end());
}

// Sixteen INTEGER objects, key k holding `first + k`.
inline Table SixteenIntegers(int first) {
  Table table;
  for (unsigned key = 2; key <= 17; ++key)
    table[KeyOid(key)] = Integer(first + int(key));
  return table;
}

// Waits until `dev` has completed n rounds (SendSP calls).
inline bool WaitRounds(const host::Recorder& rec, const TarnVDevice* dev,
                       size_t n, std::chrono::milliseconds timeout) {
  return rec.WaitFor(
      [&](const std::vector<host::Call>& calls) {
        size_t sends = 0;
        for (const auto& c : calls)
          sends += c.kind == host::Call::Kind::SendSP && c.device == dev;
        return sends >= n;
      },
      timeout);
}

// The record a SendSP call published (zeros past bytes it lacks), and one
// of its readings.
inline SNMP_KEHUA_INVERTER_Data_t RecordOf(const host::Call& send) {
  SNMP_KEHUA_INVERTER_Data_t record{};
  std::memcpy(&record, send.bytes.data(),
              std::min(send.bytes.size(), sizeof record));
  return record;
}
inline float ReadingOf(const host::Call& send, unsigned i) {
  return RecordOf(send).readings[i];
}

// A record as the host caches it: data id and every reading `value`.
inline SNMP_KEHUA_INVERTER_Data_t CachedRecord(unsigned id, float value) {
  SNMP_KEHUA_INVERTER_Data_t record;
  std::memset(&record, 0, sizeof record);
  record.id = id;
  for (unsigned e = 0; e < 16; ++e) record.readings[e] = value;
  return record;
}

class WalkTest : public ::testing::Test {
 protected:
  // Starts an agent with `script` and points the device at it, host-driven,
  // with these settings.
  void Serve(Script script, const std::string& settings = "{}") {
    agent = std::make_unique<ScriptedAgent>(std::move(script));
    dev.SetIds(7, agent->peer());
    dev.InitSetting(ParseJson(settings));
    dev.SessionTemplate().timeout = 200 * 1000;  // short time-outs in tests
  }
  // One walk; returns what it wrote to standard error.
  std::string Walk() {
    dev.ShowEveryLine();
    testing::internal::CaptureStderr();
    dev.RefreshStatus();
    return testing::internal::GetCapturedStderr();
  }
  size_t Rounds() const { return rec.Count(host::Call::Kind::SendSP, &dev); }

  host::Recorder rec;
  host::ScopedObserver attach{&rec};
  std::unique_ptr<ScriptedAgent> agent;
  InverterProbe dev;
};

}  // namespace walk
