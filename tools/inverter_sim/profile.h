// Readings served by the simulated inverter and the JSON profile that sets
// them.
#pragma once

#include <array>
#include <string>
#include <variant>
#include <vector>

namespace inverter_sim {

// SNMP types an object can have. The order matches the alternatives of Value,
// so a value's type is Value::index().
enum class Type { Integer, Gauge32, OpaqueFloat, OctetString };
using Value = std::variant<long, unsigned long, float, std::string>;

// One object of the subtree 1.3.6.1.4.1.44782.4.6.1.1: sub-identifier, name,
// type and the value served when no profile overrides it.
struct KeyInfo {
  int key;
  const char* name;
  Type type;
  double value;
};

inline constexpr KeyInfo kKeys[] = {
    {2, "input voltage (V)", Type::Integer, 221},
    {3, "output voltage (V)", Type::Integer, 220},
    {4, "input frequency (Hz)", Type::OpaqueFloat, 49.9},
    {5, "output frequency (Hz)", Type::OpaqueFloat, 50.0},
    {6, "output load (%)", Type::Integer, 37},
    {7, "battery voltage (V)", Type::OpaqueFloat, 54.6},
    {8, "battery capacity (%)", Type::Integer, 100},
    {9, "internal temperature (C)", Type::Integer, 31},
    {10, "output current (A)", Type::OpaqueFloat, 3.4},
    {11, "mains abnormal", Type::Integer, 0},
    {12, "battery under-voltage", Type::Integer, 0},
    {13, "on bypass", Type::Integer, 0},
    {14, "UPS fault", Type::Integer, 0},
    {15, "general alarm", Type::Integer, 0},
    {16, "communication status", Type::Integer, 0},
    {17, "battery backup time (min)", Type::Integer, 95},
};
inline constexpr int kFirstKey = 2;
inline constexpr std::size_t kKeyCount = std::size(kKeys);

// Current values, indexed by key - kFirstKey.
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
std::string to_string(const Value& value);

}  // namespace inverter_sim
