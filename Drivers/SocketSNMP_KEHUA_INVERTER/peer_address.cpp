// Inverter addresses as the driver, the simulated inverter and the host program
// read them.
#include "peer_address.h"

#include <strings.h>

#include <cstdio>
#include <cstring>

namespace inverter {
namespace {

bool AllDigits(const std::string& text) {
  return !text.empty() && text.find_first_not_of("0123456789") == text.npos;
}

bool StartsWithNoCase(const std::string& text, const char* prefix) {
  const size_t n = std::strlen(prefix);
  return text.size() >= n && strncasecmp(text.c_str(), prefix, n) == 0;
}

// A port as the text gives it: digits, at most 65535.
bool ReadPort(const std::string& text, PeerAddress* out, std::string* why) {
  if (!AllDigits(text) || text.size() > 5 || std::stoul(text) > 65535) {
    *why = "port \"" + text + "\" is not a number from 0 to 65535";
    return false;
  }
  out->port = text;
  return true;
}

// The text after the domain, as the library's endpoint parser splits it:
// "PORT", "[HOST]" or "[HOST]:PORT", "HOST@IFACE...", "HOST:PORT" (one ':'
// only; with more, the whole text is an IPv6 address), "HOST".
bool SplitRest(const std::string& rest, PeerAddress* out, std::string* why) {
  if (AllDigits(rest)) return ReadPort(rest, out, why);
  if (!rest.empty() && rest[0] == '[') {
    const size_t close = rest.find(']');
    if (close == std::string::npos || close == 1) {
      *why = "malformed bracketed IPv6 address";
      return false;
    }
    out->host = rest.substr(1, close - 1);
    const std::string after = rest.substr(close + 1);
    if (after.empty()) return true;
    if (after[0] != ':') {
      *why = "malformed bracketed IPv6 address";
      return false;
    }
    return ReadPort(after.substr(1), out, why);
  }
  const size_t at = rest.find('@');
  if (at != std::string::npos) {
    out->host = rest.substr(0, at);
    return true;
  }
  const size_t colon = rest.find(':');
  if (colon == std::string::npos || rest.find(':', colon + 1) != rest.npos) {
    out->host = rest;
    return true;
  }
  out->host = rest.substr(0, colon);
  return ReadPort(rest.substr(colon + 1), out, why);
}

}  // namespace

std::string Printable(const std::string& text) {
  std::string out;
  for (unsigned char c : text) {
    if (c < 0x20 || c == 0x7f) {
      char hex[5];
      std::snprintf(hex, sizeof hex, "\\x%02x", c);
      out += hex;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

bool ParsePeerAddress(const std::string& text, PeerAddress* out,
                      std::string* why) {
  *out = PeerAddress{};
  // The library reads the text before the first ':' as a transport name (a
  // leading '/' as a Unix socket), so only forms that cannot name another
  // transport get through, each with an explicit UDP domain.
  for (unsigned char c : text) {
    if (c < 0x20 || c == 0x7f) {
      *why = "control character in the address";
      return false;
    }
  }
  std::string rest = text;
  if (text.empty()) {
    *why = "empty address";
    return false;
  } else if (text[0] == '/') {
    *why = "not a UDP address (Unix socket path)";
    return false;
  } else if (text[0] == '[') {
    out->ipv6 = true;
    out->library = "udp6:" + text;
  } else if (StartsWithNoCase(text, "udp:")) {
    rest = text.substr(4);
    out->library = text;
  } else if (StartsWithNoCase(text, "udp6:")) {
    rest = text.substr(5);
    out->ipv6 = true;
    out->library = text;
  } else {
    const size_t colon = text.find(':');
    if (colon != std::string::npos && !AllDigits(text.substr(colon + 1))) {
      *why = "transport \"" + Printable(text.substr(0, colon)) +
             "\" not allowed, only UDP";
      return false;
    }
    out->library = "udp:" + text;  // HOST or HOST:PORT
  }
  if (!SplitRest(rest, out, why)) {
    *out = PeerAddress{};
    return false;
  }
  return true;
}

}  // namespace inverter
