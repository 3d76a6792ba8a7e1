// Reading and checking the host program's devices (file or command line).
#include "config.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <set>

#include "atoi_clamped.h"
#include "device_limits.h"
#include "host_error.h"
#include "options.h"
#include "peer_address.h"

namespace host {
namespace {

// The whole file, refused when it is larger than kMaxConfigBytes. The size
// is checked before reading and the read is bounded (a pipe has no size).
std::string ReadBounded(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0)
    throw BadInput("cannot read configuration " + path + ": " +
                   std::strerror(errno));
  struct stat st {};
  const std::string too_big = path + " is larger than " +
                              std::to_string(kMaxConfigBytes) +
                              " bytes, the most a configuration may have";
  if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) &&
      static_cast<unsigned long long>(st.st_size) > kMaxConfigBytes) {
    close(fd);
    throw BadInput(too_big);
  }
  std::string text(kMaxConfigBytes + 1, '\0');
  std::size_t got = 0;
  while (got < text.size()) {
    const ssize_t n = read(fd, &text[got], text.size() - got);
    if (n == 0) break;
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      const int error = errno;
      close(fd);
      throw BadInput("cannot read configuration " + path + ": " +
                     std::strerror(error));
    }
    got += static_cast<std::size_t>(n);
  }
  close(fd);
  if (got > kMaxConfigBytes) throw BadInput(too_big);
  text.resize(got);
  return text;
}

// JsonCpp skips a comment after an object's '{' or ',' even with comments
// off, so they are looked for here: a '/' outside a string.
void RefuseComments(const std::string& text, const std::string& name) {
  bool in_string = false;
  unsigned line = 1, column = 1;
  for (std::size_t i = 0; i < text.size(); ++i, ++column) {
    const char c = text[i];
    if (in_string) {
      if (c == '\\') {
        ++i, ++column;
      } else if (c == '"') {
        in_string = false;
      }
    } else if (c == '"') {
      in_string = true;
    } else if (c == '/') {
      throw BadInput(name + ", line " + std::to_string(line) + ", column " +
                     std::to_string(column) + ": comments are not allowed");
    }
    if (c == '\n') line += 1, column = 0;
  }
}

// JsonCpp quotes the token it stopped at ("'20251209450853e' is not a
// number."), which may be an unquoted passphrase: quoted tokens longer than
// one character (not the punctuation it names, "','") become "value".
std::string WithoutTokens(const std::string& message) {
  std::string out;
  for (std::size_t i = 0; i < message.size(); ++i) {
    const std::size_t close =
        message[i] == '\'' ? message.find('\'', i + 1) : std::string::npos;
    if (close != std::string::npos && close > i + 2) {
      out += "value";
      i = close;
    } else {
      out += message[i];
    }
  }
  return out;
}

// The key whose value holds the error at (line, column): the last `"key":`
// before it, or empty.
std::string KeyBefore(const std::string& text, unsigned line, unsigned column) {
  std::size_t at = 0;
  for (unsigned l = 1; l < line && at < text.size(); ++at)
    if (text[at] == '\n') ++l;
  at = std::min(text.size(), at + (column > 0 ? column - 1 : 0));
  while (at > 0) {
    const std::size_t colon = text.rfind(':', at - 1);
    if (colon == std::string::npos) break;
    std::size_t end = colon;
    while (end > 0 && std::isspace(static_cast<unsigned char>(text[end - 1])))
      --end;
    if (end > 1 && text[end - 1] == '"') {
      const std::size_t open = text.rfind('"', end - 2);
      if (open != std::string::npos)
        return text.substr(open + 1, end - open - 2);
    }
    at = colon;
  }
  return "";
}

// Strict JSON; `name` names the text in error lines, with JsonCpp's line
// and column of the first error.
Json::Value ParseStrict(const std::string& text, const std::string& name) {
  RefuseComments(text, name);
  Json::CharReaderBuilder builder;
  Json::CharReaderBuilder::strictMode(&builder.settings_);
  builder["stackLimit"] = kMaxNesting;
  const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
  Json::Value root;
  std::string errors;
  bool ok = false;
  try {
    ok = reader->parse(text.data(), text.data() + text.size(), &root, &errors);
  } catch (const Json::Exception&) {  // JsonCpp throws past the stack limit
    throw BadInput(name + ": nested deeper than " +
                   std::to_string(kMaxNesting) + " levels");
  }
  if (ok) return root;
  // JsonCpp's first error reads "* Line L, Column C\n  message".
  unsigned line = 0, column = 0;
  int used = 0;
  const std::size_t star = errors.find("* Line ");
  if (star != std::string::npos &&
      std::sscanf(errors.c_str() + star, "* Line %u, Column %u%n", &line,
                  &column, &used) == 2) {
    std::string message = errors.substr(star + used);
    message.erase(0, message.find_first_not_of(" \t\r\n"));
    message = OneLine(message.substr(0, message.find('\n')));
    // A repeated key is named by JsonCpp itself; any other error is placed
    // by the key whose value holds it.
    const std::string duplicate = "Duplicate key: '";
    std::string key;
    if (message.rfind(duplicate, 0) == 0 && message.back() == '\'') {
      key = message.substr(duplicate.size(),
                           message.size() - duplicate.size() - 1);
      message = "Duplicate key";
    } else {
      key = KeyBefore(text, line, column);
      message = WithoutTokens(message);
    }
    throw BadInput(name + ", line " + std::to_string(line) + ", column " +
                   std::to_string(column) +
                   (key.empty() ? "" : ", key \"" + OneLine(key) + "\"") +
                   ": " + message);
  }
  throw BadInput(name + " is not valid JSON: " + OneLine(errors));
}

// A control character (a NUL included) would cut or garble the peer name.
void CheckAddress(const Json::Value& address, const std::string& where) {
  if (address.isNull()) throw BadInput(where + " has no address");
  if (!address.isString() || address.asString().empty())
    throw BadInput(where + ": address must be a non-empty string");
  const std::string text = address.asString();
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c < 0x20 || c == 0x7F) {
      char code[8];
      std::snprintf(code, sizeof code, "0x%02X", c);
      throw BadInput(where + ": address has a control character (" + code +
                     " at offset " + std::to_string(i) + ")");
    }
  }
  inverter::PeerAddress parsed;
  std::string why;
  if (!inverter::ParsePeerAddress(text, &parsed, &why))
    throw BadInput(where + ": address \"" + text + "\": " + why);
}

// The host's own reading of use_thread, done as the device reads it; a
// value the device cannot read is refused as the device would refuse it.
bool UsesThread(const DeviceConfig& device) {
  const Json::Value& app = device.entry["settings"]["appSetting"];
  if (!app.isObject() || !app.isMember("use_thread")) return false;
  try {
    return tarn::atoi_clamped(app["use_thread"].asString()) != 0;
  } catch (const Json::Exception& e) {
    RefuseSettings(device, e.what());
  }
}

// A whole number of appSetting.snmp as the device reads it (a JSON number or
// digit string), `fallback` when absent or unreadable (the device then makes
// no walk), held to the device's range.
long SnmpNumber(const Json::Value& snmp, const char* key, long fallback,
                long low, long high) {
  if (!snmp.isObject() || !snmp.isMember(key)) return fallback;
  const Json::Value& v = snmp[key];
  long n = fallback;
  if (v.isIntegral()) {
    n = static_cast<long>(
        std::clamp<Json::LargestInt>(v.asLargestInt(), low, high));
  } else if (v.isString() && !v.asString().empty() && v.asString().size() < 9 &&
             v.asString().find_first_not_of("0123456789") ==
                 std::string::npos) {
    n = std::stol(v.asString());
  }
  return std::clamp(n, low, high);
}

std::chrono::milliseconds RoundTime(const DeviceConfig& device) {
  const Json::Value& app = device.entry["settings"]["appSetting"];
  const Json::Value& snmp = app.isObject() ? app["snmp"] : Json::Value();
  const long timeout =
      SnmpNumber(snmp, "timeout_ms", inverter::kDefaultTimeoutMs,
                 inverter::kMinTimeoutMs, inverter::kMaxTimeoutMs);
  const long retries = SnmpNumber(snmp, "retries", inverter::kDefaultRetries,
                                  inverter::kMinRetries, inverter::kMaxRetries);
  const std::chrono::milliseconds walk =
      std::min(std::chrono::milliseconds((retries + 1) * timeout),
               std::chrono::milliseconds(inverter::kMaxWalkTime));
  return walk + inverter::kSamplePause;
}

DeviceConfig Device(const Json::Value& entry, const std::string& where,
                    unsigned long rounds) {
  if (!entry.isObject()) throw BadInput(where + " is not an object");
  const Json::Value& id = entry["data_id"];
  if (id.isNull()) throw BadInput(where + " has no data_id");
  if (!id.isUInt() || id.asUInt() == 0)
    throw BadInput(where + ": data_id must be a whole number from 1 to " +
                   "4294967295");
  CheckAddress(entry["address"], where);
  const Json::Value& settings = entry["settings"];
  if (!settings.isNull() && !settings.isObject())
    throw BadInput(where + ": settings must be an object");

  DeviceConfig device;
  device.data_id = id.asUInt();
  device.entry = entry;
  device.where = where;
  device.threaded = UsesThread(device);
  device.round_time = RoundTime(device);
  device.rounds = rounds;
  if (entry.isMember("rounds")) {
    const Json::Value& own = entry["rounds"];
    device.rounds = ParseRounds(own.isUInt() ? std::to_string(own.asUInt())
                                             : OneLine(own.toStyledString()),
                                where + ": rounds");
  }
  return device;
}

}  // namespace

std::vector<DeviceConfig> ReadConfig(const std::string& path,
                                     unsigned long rounds) {
  const Json::Value root = ParseStrict(ReadBounded(path), path);
  const Json::Value& list = root["devices"];
  if (!root.isObject() || !list.isArray() || list.empty())
    throw BadInput(path + " needs a non-empty array \"devices\"");

  std::vector<DeviceConfig> devices;
  std::set<unsigned int> seen;
  for (Json::ArrayIndex i = 0; i < list.size(); ++i) {
    const std::string where =
        path + ": device " + std::to_string(i + 1) + " of the list";
    devices.push_back(Device(list[i], where, rounds));
    const unsigned int id = devices.back().data_id;
    if (!seen.insert(id).second)
      throw BadInput(where + ": data_id " + std::to_string(id) +
                     " is used twice");
  }
  return devices;
}

std::vector<DeviceConfig> AddressConfig(const std::string& address,
                                        const std::string& settings,
                                        bool settings_given,
                                        unsigned long rounds) {
  Json::Value entry(Json::objectValue);
  entry["data_id"] = 1;
  entry["address"] = address;
  CheckAddress(entry["address"], "--address");
  if (settings_given) {
    entry["settings"] = ParseStrict(settings, "--settings");
    if (!entry["settings"].isObject())
      throw BadInput("--settings must be a JSON object");
  }
  return {Device(entry, "--settings", rounds)};
}

void RefuseSettings(const DeviceConfig& device, const std::string& what) {
  throw BadInput(device.where + ": settings the device cannot take (" +
                 OneLine(what) + ")");
}

}  // namespace host
