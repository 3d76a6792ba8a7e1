#pragma once
// The device's numbers that other code derives from, each stated once: the
// defaults and bounds of its SNMP settings' timing, its walk's time limit,
// its sampling pause and the stack of its threads. No Net-SNMP here, so
// that the host program reads them as well.

#include <chrono>
#include <cstddef>

namespace inverter {

// appSetting.snmp.timeout_ms and .retries: the default, and the range
// outside which a value is refused.
constexpr long kDefaultTimeoutMs = 10000;
constexpr long kMinTimeoutMs = 100, kMaxTimeoutMs = 60000;
constexpr long kDefaultRetries = 1;
constexpr long kMinRetries = 0, kMaxRetries = 5;

// Longest walk, in time, whatever the settings.
constexpr std::chrono::seconds kMaxWalkTime{60};
// Pause of a sampling thread between two walks.
constexpr std::chrono::seconds kSamplePause{5};

// Stack of the device's threads: its sampling thread
// (SNMP_KEHUA_INVERTER::kSampleStackSize says why this size) and a name
// lookup's, which runs the resolver a sampling thread ran before.
constexpr std::size_t kThreadStackSize = 256 * 1024;

}  // namespace inverter
