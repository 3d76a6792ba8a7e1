// Inverter addresses as the driver, the simulated inverter and the host program
// read them.
#pragma once

#include <string>

namespace inverter {

// A UDP address: HOST, HOST:PORT, [IPv6], [IPv6]:PORT, PORT, or any of
// these after udp: or udp6:, read as Net-SNMP reads the text after its
// transport domain.
struct PeerAddress {
  bool ipv6 = false;    // udp6:, or a bracketed host without a domain
  std::string host;     // brackets removed; empty when only a port is given
  std::string port;     // digits, 0 to 65535; empty when none is given
  std::string library;  // the text with its UDP domain, for the library
};

// Reads `text` into *out. Anything that could name another transport (tcp:,
// a path, ...), a control character, a malformed bracket or a port past
// 65535 gives false and *why, a phrase for one line naming the address.
bool ParsePeerAddress(const std::string& text, PeerAddress* out,
                      std::string* why);

// `text` with its control bytes (below 0x20, and 0x7f) written as \xNN and
// every other byte as it is (UTF-8 stays readable): safe on one line.
std::string Printable(const std::string& text);

}  // namespace inverter
