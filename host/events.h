#pragma once
// The host program's events file: one JSON object per line for every call a
// device makes into the host, in the order the calls were made.

#include <cstdint>
#include <cstdio>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "recorder.h"

namespace host {

// A 75-byte inverter record as the host reads it: the device's data id, the
// sixteen readings and the round time.
struct Record {
  std::uint32_t id = 0;
  float readings[16] = {};
  unsigned year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
};

// The record in `bytes`, or nothing unless they are 75 bytes.
std::optional<Record> DecodeRecord(const std::vector<unsigned char>& bytes);

// The call as one line of JSON, without the line end. Field names:
//   send:         device, data_id, length, flag, record, hex
//   history:      device, length, hex
//   alarm:        device, type, id, id2, group, name, state, signal
//   reset:        device
//   batch_check:  device, rules, result
//   init_setting: device
// "record" decodes a 75-byte inverter record (id, readings, round_time) and
// is null for any other length. Readings are written with enough digits to
// read back as the same float32; NaN and the infinities as the strings
// "NaN", "Infinity" and "-Infinity".
std::string FormatEvent(const Call& call);

// Appends `text` to `out` as a JSON string (quotes included). Bytes that are
// not valid UTF-8 become U+FFFD so that the output stays valid JSON.
void AppendJsonString(std::string& out, const std::string& text);

// Appends a float32 as a JSON value as described for FormatEvent.
void AppendJsonFloat(std::string& out, float value);

// Writes each call as one line to a stdio stream, flushed per line;
// thread-safe. The stream stays owned by the caller.
class EventWriter : public Observer {
 public:
  explicit EventWriter(std::FILE* out) : out_(out) {}
  void OnCall(const Call& call) override;
  // Whether every line so far was written completely.
  bool ok() const;
  // The errno of the first failed write, -1 if it set none, 0 if none failed.
  int error() const;

 private:
  mutable std::mutex mutex_;
  std::FILE* out_;
  bool ok_ = true;
  int error_ = 0;
};

}  // namespace host
