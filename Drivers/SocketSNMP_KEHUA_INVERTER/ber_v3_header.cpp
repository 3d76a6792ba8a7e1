#include "ber_v3_header.h"

namespace inverter::snmp {
namespace {

constexpr unsigned char kInteger = 0x02, kOctets = 0x04, kSequence = 0x30;
constexpr long kMaxId = 0x7fffffff, kMinMaxSize = 484, kUsm = 3;
constexpr size_t kMaxEngineId = 32;  // octets (SnmpEngineID)

// The TLVs in [at, end), read one after another.
struct Fields {
  const unsigned char* at;
  const unsigned char* end;

  // The next TLV, if it has this tag and fits: its content and length.
  // Lengths as the library reads them: short form, or up to sizeof(long)
  // length octets.
  bool Next(unsigned char tag, const unsigned char** content, size_t* length) {
    const size_t left = static_cast<size_t>(end - at);
    if (left < 2 || at[0] != tag) return false;
    size_t n = at[1], header = 2;
    if (n & 0x80) {
      const size_t count = n & 0x7f;
      if (count == 0 || count > sizeof(long) || left - 2 < count) return false;
      n = 0;
      for (size_t i = 0; i < count; ++i) {
        if (n > left) return false;  // longer than the datagram already
        n = n << 8 | at[2 + i];
      }
      header += count;
    }
    if (n > left - header) return false;
    *content = at + header;
    *length = n;
    at += header + n;
    return true;
  }
  // Fields of the next TLV, if it is a `tag` that fits.
  bool Enter(unsigned char tag, Fields* inner) {
    size_t n = 0;
    if (!Next(tag, &inner->at, &n)) return false;
    inner->end = inner->at + n;
    return true;
  }
  // The next INTEGER, as the library reads it (1..sizeof(long) octets,
  // sign-extended), if it lies in [low, high].
  bool Integer(long low, long high) {
    const unsigned char* c = nullptr;
    size_t n = 0;
    if (!Next(kInteger, &c, &n) || n == 0 || n > sizeof(long)) return false;
    unsigned long v = (c[0] & 0x80) ? ~0ul : 0ul;
    for (size_t i = 0; i < n; ++i) v = v << 8 | c[i];
    const long value = static_cast<long>(v);
    return value >= low && value <= high;
  }
};

}  // namespace

bool ReadV3EngineId(const unsigned char* message, size_t length,
                    const unsigned char** engine, size_t* engine_length) {
  Fields datagram{message, message + length}, msg{}, global{}, params{}, usm{};
  const unsigned char* flags = nullptr;
  size_t flags_length = 0;
  if (!datagram.Enter(kSequence, &msg) || !msg.Integer(3, 3) ||
      !msg.Enter(kSequence, &global) || !global.Integer(0, kMaxId) ||
      !global.Integer(kMinMaxSize, kMaxId) ||
      !global.Next(kOctets, &flags, &flags_length) || flags_length != 1 ||
      (flags[0] & 0x03) == 0x02 || !global.Integer(kUsm, kUsm) ||
      global.at != global.end) {
    return false;
  }
  // msgSecurityParameters: an OCTET STRING holding USM's SEQUENCE, whose
  // first field is the engine ID.
  return msg.Enter(kOctets, &params) && params.Enter(kSequence, &usm) &&
         usm.Next(kOctets, engine, engine_length) &&
         *engine_length <= kMaxEngineId;
}

}  // namespace inverter::snmp
