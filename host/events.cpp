// The host program's events file, one JSON line per call of a device.
#include "events.h"

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <iterator>

namespace host {
namespace {

constexpr unsigned kRecordLength = 75;

void AppendHex(std::string& out, const std::vector<unsigned char>& bytes) {
  static const char kDigits[] = "0123456789abcdef";
  for (unsigned char b : bytes) {
    out += kDigits[b >> 4];
    out += kDigits[b & 0x0F];
  }
}

// Length of the valid UTF-8 sequence at p (at most n bytes left), or 0.
std::size_t Utf8Length(const unsigned char* p, std::size_t n) {
  if (p[0] < 0x80) return 1;
  std::size_t len;
  std::uint32_t cp;
  if ((p[0] & 0xE0) == 0xC0) {
    len = 2;
    cp = p[0] & 0x1F;
  } else if ((p[0] & 0xF0) == 0xE0) {
    len = 3;
    cp = p[0] & 0x0F;
  } else if ((p[0] & 0xF8) == 0xF0) {
    len = 4;
    cp = p[0] & 0x07;
  } else {
    return 0;
  }
  if (len > n) return 0;
  for (std::size_t i = 1; i < len; ++i) {
    if ((p[i] & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (p[i] & 0x3F);
  }
  static const std::uint32_t kMin[] = {0, 0, 0x80, 0x800, 0x10000};
  if (cp < kMin[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
    return 0;  // overlong, out of range or a surrogate
  return len;
}

void AppendRecord(std::string& out, const std::vector<unsigned char>& b) {
  const std::optional<Record> record = DecodeRecord(b);
  if (!record) {
    out += "null";
    return;
  }
  out += "{\"id\":" + std::to_string(record->id) + ",\"readings\":[";
  for (std::size_t k = 0; k < std::size(record->readings); ++k) {
    if (k > 0) out += ',';
    AppendJsonFloat(out, record->readings[k]);
  }
  char time[32];
  std::snprintf(time, sizeof time, "%04u-%02u-%02uT%02u:%02u:%02u",
                record->year, record->month, record->day, record->hour,
                record->minute, record->second);
  out += "],\"round_time\":\"";
  out += time;
  out += "\"}";
}

const char* Bool(bool value) { return value ? "true" : "false"; }

}  // namespace

// Offsets of its own on purpose: an independent check of the plug-in's layout.
std::optional<Record> DecodeRecord(const std::vector<unsigned char>& b) {
  if (b.size() != kRecordLength) return std::nullopt;
  Record record;
  for (int i = 3; i >= 0; --i) record.id = (record.id << 8) | b[i];
  for (unsigned k = 0; k < std::size(record.readings); ++k)
    std::memcpy(&record.readings[k], b.data() + 4 + 4 * k, sizeof(float));
  record.year = b[68] | (b[69] << 8);
  record.month = b[70];
  record.day = b[71];
  record.hour = b[72];
  record.minute = b[73];
  record.second = b[74];
  return record;
}

void AppendJsonString(std::string& out, const std::string& text) {
  out += '"';
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t n = text.size();
  for (std::size_t i = 0; i < n;) {
    const unsigned char c = p[i];
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
      ++i;
    } else if (c < 0x20) {
      static const char* const kShort[] = {"b", "t", "n", nullptr, "f", "r"};
      const char* s = (c >= 8 && c <= 13) ? kShort[c - 8] : nullptr;
      char buf[8];
      if (s == nullptr) std::snprintf(buf, sizeof buf, "u%04x", c);
      out += '\\';
      out += s != nullptr ? s : buf;
      ++i;
    } else if (const std::size_t len = Utf8Length(p + i, n - i)) {
      out.append(text, i, len);
      i += len;
    } else {
      out += "\xEF\xBF\xBD";  // U+FFFD
      ++i;
    }
  }
  out += '"';
}

void AppendJsonFloat(std::string& out, float value) {
  if (std::isnan(value)) {
    out += "\"NaN\"";
  } else if (std::isinf(value)) {
    out += value > 0 ? "\"Infinity\"" : "\"-Infinity\"";
  } else if (value == 0 && std::signbit(value)) {
    out += "-0.0";  // "-0" would read back as the integer 0
  } else {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.9g", static_cast<double>(value));
    out += buf;
  }
}

std::string FormatEvent(const Call& call) {
  std::string out = "{\"event\":\"";
  out += KindName(call.kind);
  out += "\",\"device\":" + std::to_string(call.device_id);
  switch (call.kind) {
    case Call::Kind::SendSP:
      out += ",\"data_id\":" + std::to_string(call.data_id);
      out += ",\"length\":" + std::to_string(call.length);
      out += ",\"flag\":";
      out += Bool(call.flag);
      out += ",\"record\":";
      AppendRecord(out, call.bytes);
      out += ",\"hex\":\"";
      AppendHex(out, call.bytes);
      out += '"';
      break;
    case Call::Kind::SaveDeviceHistory:
      out += ",\"length\":" + std::to_string(call.length);
      out += ",\"hex\":\"";
      AppendHex(out, call.bytes);
      out += '"';
      break;
    case Call::Kind::CheckThresholdBool:
      out += ",\"type\":" + std::to_string(call.type);
      out += ",\"id\":";
      AppendJsonString(out, call.id);
      out += ",\"id2\":";
      AppendJsonString(out, call.id2);
      out += ",\"group\":";
      AppendJsonString(out, call.group);
      out += ",\"name\":";
      AppendJsonString(out, call.name);
      out += ",\"state\":";
      out += Bool(call.state);
      out += ",\"signal\":" + std::to_string(call.signal);
      break;
    case Call::Kind::DoBatchCheckThreshold:
      out += ",\"rules\":" + std::to_string(call.rules);
      out += ",\"result\":";
      out += Bool(call.result);
      break;
    case Call::Kind::Reset:
    case Call::Kind::InitSetting:
      break;
  }
  out += '}';
  return out;
}

void EventWriter::OnCall(const Call& call) {
  std::string line = FormatEvent(call);
  line += '\n';
  std::lock_guard<std::mutex> lock(mutex_);
  errno = 0;
  if (std::fwrite(line.data(), 1, line.size(), out_) != line.size() ||
      std::fflush(out_) != 0) {
    if (ok_) error_ = errno != 0 ? errno : -1;
    ok_ = false;
  }
}

bool EventWriter::ok() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return ok_;
}

int EventWriter::error() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return error_;
}

}  // namespace host
