// The INTEGER normaliser of received v1/v2c messages, in place.
#include "ber_integers.h"

#include <cstring>

#include "ber_length.h"

namespace inverter::snmp {
namespace {

constexpr size_t kBad = static_cast<size_t>(-1);
constexpr unsigned char kInteger = 0x02;
constexpr unsigned char kConstructed = 0x20;
// Message, PDU, binding list, binding: anything deeper is not SNMP.
constexpr int kMaxDepth = 6;
// The longest INTEGER a 64-bit build of the library reads.
constexpr size_t kMaxIntegerOctets = 8;

// Leading octets that only repeat the sign of the next one.
size_t RedundantOctets(const unsigned char* content, size_t length) {
  size_t skip = 0;
  while (length - skip > 1 &&
         ((content[skip] == 0x00 && (content[skip + 1] & 0x80) == 0) ||
          (content[skip] == 0xff && (content[skip + 1] & 0x80) != 0))) {
    ++skip;
  }
  return skip;
}

// Processes the TLVs in in[0, n). With `write`, writes them shortened to
// `out`, which never lies after `in` (the rewrite only moves bytes left).
// Returns the size they take once shortened, or kBad if not well formed.
size_t Rewrite(const unsigned char* in, size_t n, unsigned char* out,
               bool write, int depth) {
  size_t pos = 0, o = 0;
  while (pos < n) {
    const unsigned char tag = in[pos];
    if ((tag & 0x1f) == 0x1f || n - pos < 2) return kBad;  // long tags: no
    // Kept: once bytes move left, the rewrite overwrites this header.
    const unsigned char first_length_octet = in[pos + 1];
    size_t length = 0;
    const unsigned char* content =
        ReadBerLength(in + pos + 1, n - pos - 1, &length);
    if (content == nullptr) return kBad;
    const size_t header = static_cast<size_t>(content - (in + pos));
    const size_t length_octets = header - 1;

    size_t new_length = length;
    if (tag == kInteger && length <= kMaxIntegerOctets) {
      const size_t skip = RedundantOctets(content, length);
      new_length = length - skip;
      if (write) std::memmove(out + o + header, content + skip, new_length);
    } else if ((tag & kConstructed) && depth < kMaxDepth) {
      new_length = Rewrite(content, length, out + o + header, write, depth + 1);
      if (new_length == kBad) return kBad;
    } else if (write) {
      std::memmove(out + o + header, content, length);
    }
    if (write) {  // same number of length octets, smaller or equal value
      out[o] = tag;
      if (length_octets == 1) {
        out[o + 1] = static_cast<unsigned char>(new_length);
      } else {
        out[o + 1] = first_length_octet;
        for (size_t i = length_octets - 1, v = new_length; i >= 1; --i, v >>= 8)
          out[o + 1 + i] = static_cast<unsigned char>(v & 0xff);
      }
    }
    o += header + new_length;
    pos += header + length;
  }
  return o;
}

}  // namespace

size_t NormaliseIntegers(unsigned char* message, size_t length) {
  // A first pass only measures, so that a message that is not well formed
  // is never half rewritten and the common case writes nothing.
  const size_t shortened = Rewrite(message, length, message, false, 0);
  if (shortened == kBad || shortened == length) return length;
  return Rewrite(message, length, message, true, 0);
}

}  // namespace inverter::snmp
