#pragma once
// SNMPv3 names as the driver's settings and the simulated inverter's
// options both read them: the authentication and privacy protocols (any
// case, spelt as listed here, each with the library's number for it), and
// engine IDs written in hex.

#include <strings.h>

#include <cctype>
#include <cstddef>
#include <string>
#include <vector>

#include "snmp_library.h"

namespace inverter::v3 {

struct Protocol {
  const char* name;
  int type;  // the library's: NETSNMP_USMAUTH_*, USM_CREATE_USER_PRIV_*
};

constexpr Protocol kAuthProtocols[] = {
    {"MD5", NETSNMP_USMAUTH_HMACMD5},
    {"SHA", NETSNMP_USMAUTH_HMACSHA1},
    {"SHA-224", NETSNMP_USMAUTH_HMAC128SHA224},
    {"SHA-256", NETSNMP_USMAUTH_HMAC192SHA256},
    {"SHA-384", NETSNMP_USMAUTH_HMAC256SHA384},
    {"SHA-512", NETSNMP_USMAUTH_HMAC384SHA512},
};
constexpr Protocol kPrivProtocols[] = {
    {"DES", USM_CREATE_USER_PRIV_DES},
    {"AES", USM_CREATE_USER_PRIV_AES},
    {"AES-192", USM_CREATE_USER_PRIV_AES192},
    {"AES-256", USM_CREATE_USER_PRIV_AES256},
};

// The protocol `name` spells, compared case-insensitively and in full (the
// library's own lookups take any prefix: "S" would be SHA); null for none.
template <std::size_t N>
const Protocol* FindProtocol(const std::string& name,
                             const Protocol (&protocols)[N]) {
  for (const Protocol& p : protocols) {
    if (strcasecmp(p.name, name.c_str()) == 0) return &p;
  }
  return nullptr;
}

// The protocols' names in order, `between` between two and `last` before
// the last one: ("MD5", ", ", " or ") gives "MD5, SHA, ... or SHA-512".
template <std::size_t N>
std::string ProtocolNames(const Protocol (&protocols)[N], const char* between,
                          const char* last) {
  std::string names;
  for (std::size_t i = 0; i < N; ++i) {
    if (i != 0) names += i + 1 == N ? last : between;
    names += protocols[i].name;
  }
  return names;
}

// An engine ID of 5 to 32 octets from its hex digits, "0x" or "0X" in front
// allowed. False, with *bytes unspecified, for any other text.
inline bool ParseEngineId(const std::string& text,
                          std::vector<unsigned char>* bytes) {
  const bool prefixed =
      text.size() >= 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  const std::string hex = prefixed ? text.substr(2) : text;
  if (hex.size() % 2 != 0 || hex.size() < 10 || hex.size() > 64) return false;
  bytes->clear();
  for (std::size_t i = 0; i < hex.size(); i += 2) {
    if (!std::isxdigit(static_cast<unsigned char>(hex[i])) ||
        !std::isxdigit(static_cast<unsigned char>(hex[i + 1])))
      return false;
    bytes->push_back(
        static_cast<unsigned char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  }
  return true;
}

}  // namespace inverter::v3
