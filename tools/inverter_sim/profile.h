// Readings served by the simulated inverter and the JSON profile that sets
// them.
#pragma once

#include <array>
#include <string>
#include <variant>
#include <vector>

#include "inverter_tables.h"

namespace inverter_sim {

// SNMP types an object can have. The order matches the alternatives of Value,
// so a value's type is Value::index().
enum class Type { Integer, Gauge32, OpaqueFloat, OctetString };
using Value = std::variant<long, unsigned long, float, std::string>;

// The objects served are the inverter's (inverter_tables.h): object i of the
// subtree is inverter::kReadings[i], with that key, name, unit and type.
inline constexpr std::size_t kKeyCount = inverter::kReadings.size();

// The value served for inverter::kReadings[i] when no profile sets it.
inline constexpr double kDefaultValues[] = {
    221, 220, 49.9, 50.0, 37, 54.6, 100, 31, 3.4, 0, 0, 0, 0, 0, 0, 95,
};
static_assert(std::size(kDefaultValues) == kKeyCount, "one value per object");

// The type an object has when no profile sets it: the inverter's own.
constexpr Type default_type(inverter::ObjectType type) {
  switch (type) {
    case inverter::ObjectType::kInteger:
      break;
    case inverter::ObjectType::kOpaqueFloat:
      return Type::OpaqueFloat;
  }
  return Type::Integer;
}

// Where object `key` lies in a Table; the key must be one of the inverter's.
inline std::size_t index_of(int key) {
  return static_cast<std::size_t>(inverter::ReadingForKey(key));
}

// Current values, indexed by place in inverter::kReadings.
using Table = std::array<Value, kKeyCount>;

// A change applied `at` seconds after the agent started.
struct Change {
  double at;
  int key;
  Value value;
};

// An SNMPv3 user. Protocols use their canonical names; empty `auth` means
// noAuthNoPriv, empty `priv` (with `auth`) authNoPriv.
struct User {
  std::string name;
  std::string auth;
  std::string auth_pass;
  std::string priv;
  std::string priv_pass;
};

struct Profile {
  Table objects;
  std::vector<Change> timeline;  // sorted by `at`, stable
  std::vector<User> users;
};

// Checks a user and spells its protocols canonically (MD5, SHA, SHA-224,
// SHA-256, SHA-384, SHA-512; DES, AES, AES-192, AES-256; any case). Throws
// std::runtime_error with a one-line message that starts with `where` and
// never contains a passphrase.
User check_user(User user, const std::string& where);

// A user from "NAME[:AUTH:AUTHPASS[:PRIV:PRIVPASS]]" (the last field keeps
// any further ':'); checked as by check_user.
User parse_user(const std::string& text, const std::string& where);

// The built-in profile: the table's defaults and no timeline.
Profile default_profile();

// Reads a profile file; keys it does not list keep their defaults. Throws
// std::runtime_error with a one-line message when the file is unreadable or
// invalid.
Profile load_profile(const std::string& path);

const char* type_name(Type type);
// The object's name, with its unit in brackets when it has one.
std::string label(const inverter::Reading& reading);
// The subtree in dotted form.
std::string subtree_text();
std::string to_string(const Value& value);

}  // namespace inverter_sim
