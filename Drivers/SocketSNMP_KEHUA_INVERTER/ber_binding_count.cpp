#include "ber_binding_count.h"

#include <cstdint>

#include "ber_integers.h"

namespace inverter::snmp {
namespace {

constexpr unsigned char kInteger = 0x02;
constexpr unsigned char kOctetString = 0x04;
constexpr unsigned char kObjectId = 0x06;
constexpr unsigned char kSequence = 0x30;
constexpr unsigned char kIpAddress = 0x40;
constexpr unsigned char kOpaque = 0x44;
constexpr unsigned char kNsap = 0x45;
constexpr unsigned char kV1Trap = 0xa4;  // a layout of its own: not counted
// An Opaque whose contents start 9f 76, 78, 79, 7a or 7b wraps a 64-bit
// number, a float or a double; the library takes the wrapped value's
// header as the binding's value.
constexpr unsigned char kOpaqueTag1 = 0x9f;

struct Tlv {
  unsigned char tag;
  const unsigned char* content;
  size_t length;
};

// A definite length at p, with its contents within `available` bytes
// (asn_parse_nlength): at most sizeof(long) length octets, not negative.
bool Length(const unsigned char* p, size_t available,
            const unsigned char** content, size_t* length) {
  if (available < 1) return false;
  size_t octets = 1;
  unsigned long value = p[0];
  if (value & 0x80) {
    const size_t count = value & 0x7f;
    if (count == 0 || count > sizeof(long) || available < count + 1)
      return false;
    value = 0;
    for (size_t i = 1; i <= count; ++i) value = value << 8 | p[i];
    if (static_cast<long>(value) < 0) return false;
    octets += count;
  }
  if (value > available - octets) return false;
  *content = p + octets;
  *length = value;
  return true;
}

// One TLV header as asn_parse_header reads it, short tags only.
bool Header(const unsigned char* p, size_t available, Tlv* out) {
  if (available < 2 || (p[0] & 0x1f) == 0x1f) return false;
  out->tag = p[0];
  return Length(p + 1, available - 1, &out->content, &out->length);
}

// The next TLV of a run: read, and the run moved past it.
bool Next(const unsigned char** p, size_t* left, Tlv* out) {
  if (!Header(*p, *left, out)) return false;
  const unsigned char* end = out->content + out->length;
  *left -= static_cast<size_t>(end - *p);
  *p = end;
  return true;
}

// An INTEGER as asn_parse_int takes it: 1 to sizeof(long) octets, and a
// value beyond 32 bits (64-bit builds only) cut to the low 32 bits of it,
// or of its magnitude when it is negative.
bool Integer(const unsigned char** p, size_t* left, long* value) {
  Tlv t;
  if (!Next(p, left, &t) || t.tag != kInteger || t.length == 0 ||
      t.length > sizeof(long))
    return false;
  unsigned long v = (t.content[0] & 0x80) ? ~0ul : 0ul;
  for (size_t i = 0; i < t.length; ++i) v = v << 8 | t.content[i];
  std::int64_t n = static_cast<long>(v);
  if (n > INT32_MAX) {
    n &= 0xffffffff;
  } else if (n < INT32_MIN) {
    n = -(n & 0xffffffff);
  }
  *value = static_cast<long>(n);
  return true;
}

// Where the library takes the value of a binding to end.
bool ValueEnd(const unsigned char* p, size_t available,
              const unsigned char** end) {
  Tlv v;
  if (!Header(p, available, &v)) return false;
  if (v.tag == kOpaque && v.length > 2 && v.content[0] == kOpaqueTag1) {
    const unsigned char wrapped = v.content[1];
    if (wrapped == 0x76 || (wrapped >= 0x78 && wrapped <= 0x7b)) {
      if (!Length(v.content + 2, v.length - 2, &v.content, &v.length))
        return false;
    }
  }
  *end = v.content + v.length;
  return true;
}

}  // namespace

BindingCount CountBindings(const unsigned char* message, size_t length,
                           size_t limit) {
  BindingCount out;
  Tlv whole, community, pdu, list;
  if (!Header(message, length, &whole) || whole.tag != kSequence) return out;
  const unsigned char* p = whole.content;
  size_t left = whole.length;
  if (!Integer(&p, &left, &out.version) || !Next(&p, &left, &community))
    return out;
  if (community.tag != kOctetString && community.tag != kIpAddress &&
      community.tag != kOpaque && community.tag != kNsap)
    return out;
  if (!Header(p, left, &pdu) || pdu.tag == kV1Trap) return out;
  p = pdu.content;
  left = pdu.length;
  long status = 0, index = 0;
  if (!Integer(&p, &left, &out.request_id) || !Integer(&p, &left, &status) ||
      !Integer(&p, &left, &index) || !Header(p, left, &list) ||
      list.tag != kSequence)
    return out;
  out.read = true;
  out.community = community.content;
  out.community_length = community.length;
  out.pdu_type = pdu.tag;

  // Each binding as snmp_parse_var_op steps over it: its SEQUENCE header,
  // the name, the value's header, then to the end of the value.
  p = list.content;
  left = list.length;
  while (left > 0 && out.bindings <= limit) {
    Tlv binding, name;
    const unsigned char* end = nullptr;
    if (!Header(p, left, &binding) || binding.tag != kSequence ||
        !Header(binding.content, binding.length, &name) ||
        name.tag != kObjectId)
      break;
    const unsigned char* value = name.content + name.length;
    const size_t rest =
        binding.length - static_cast<size_t>(value - binding.content);
    if (!ValueEnd(value, rest, &end)) break;
    ++out.bindings;
    left -= static_cast<size_t>(end - p);
    p = end;
  }
  return out;
}

BindingCount NormaliseAndCount(unsigned char* message, size_t* length,
                               size_t limit) {
  *length = NormaliseIntegers(message, *length);
  return CountBindings(message, *length, limit);
}

}  // namespace inverter::snmp
