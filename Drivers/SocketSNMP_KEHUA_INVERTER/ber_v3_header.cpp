// The SNMPv3 header reader: the engine ID of a received message, in place.
#include "ber_v3_header.h"

#include "ber_length.h"

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
  bool Next(unsigned char tag, const unsigned char** content, size_t* length) {
    const size_t left = static_cast<size_t>(end - at);
    if (left < 2 || at[0] != tag) return false;
    size_t n = 0;
    const unsigned char* c = ReadBerLength(at + 1, left - 1, &n);
    if (c == nullptr) return false;
    *content = c;
    *length = n;
    at = c + n;
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
