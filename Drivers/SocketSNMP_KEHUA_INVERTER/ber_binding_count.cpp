// The binding counter and cutter of received v1/v2c messages, in place.
#include "ber_binding_count.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "ber_integers.h"
#include "ber_length.h"

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

// One TLV header as asn_parse_header reads it, short tags only.
bool Header(const unsigned char* p, size_t available, Tlv* out) {
  if (available < 2 || (p[0] & 0x1f) == 0x1f) return false;
  out->tag = p[0];
  out->content = ReadBerLength(p + 1, available - 1, &out->length);
  return out->content != nullptr;
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
      v.content = ReadBerLength(v.content + 2, v.length - 2, &v.length);
      if (v.content == nullptr) return false;
    }
  }
  *end = v.content + v.length;
  return true;
}

// The end of the binding that starts at p (as CountBindings steps over it).
bool BindingEnd(const unsigned char* p, size_t left,
                const unsigned char** end) {
  Tlv binding, name;
  if (!Header(p, left, &binding) || binding.tag != kSequence ||
      !Header(binding.content, binding.length, &name) || name.tag != kObjectId)
    return false;
  const unsigned char* value = name.content + name.length;
  return ValueEnd(value,
                  binding.length - static_cast<size_t>(value - binding.content),
                  end);
}

// Octets of a TLV header (short tag) with a length of `length` in its
// shortest form.
size_t HeaderSize(size_t length) {
  size_t octets = 2;
  if (length >= 0x80) {
    for (; length != 0; length >>= 8) ++octets;
  }
  return octets;
}

// Writes that header at w; returns where its contents go.
unsigned char* PutHeader(unsigned char* w, unsigned char tag, size_t length) {
  *w++ = tag;
  if (length < 0x80) {
    *w++ = static_cast<unsigned char>(length);
    return w;
  }
  const size_t octets = HeaderSize(length) - 2;
  *w++ = static_cast<unsigned char>(0x80 | octets);
  for (size_t i = octets; i > 0; --i)
    *w++ = static_cast<unsigned char>(length >> (8 * (i - 1)));
  return w;
}

// Where a v1/v2c message's parts lie, up to its binding list.
struct Layout {
  Tlv whole, community, pdu, list;
  const unsigned char* pdu_at;   // the PDU's tag
  const unsigned char* list_at;  // the binding list's tag
};

bool ReadLayout(const unsigned char* message, size_t length, Layout* at,
                long* version, long* request_id) {
  if (!Header(message, length, &at->whole) || at->whole.tag != kSequence)
    return false;
  const unsigned char* p = at->whole.content;
  size_t left = at->whole.length;
  if (!Integer(&p, &left, version) || !Next(&p, &left, &at->community))
    return false;
  const unsigned char c = at->community.tag;
  if (c != kOctetString && c != kIpAddress && c != kOpaque && c != kNsap)
    return false;
  if (!Header(p, left, &at->pdu) || at->pdu.tag == kV1Trap) return false;
  at->pdu_at = p;
  p = at->pdu.content;
  left = at->pdu.length;
  long status = 0, index = 0;
  if (!Integer(&p, &left, request_id) || !Integer(&p, &left, &status) ||
      !Integer(&p, &left, &index) || !Header(p, left, &at->list) ||
      at->list.tag != kSequence)
    return false;
  at->list_at = p;
  return true;
}

// The binding at `index` of the list of a read layout: where it starts,
// and the bytes of the list left from there. False past the last one.
bool SkipBindings(const Layout& at, size_t index, const unsigned char** p,
                  size_t* left) {
  *p = at.list.content;
  *left = at.list.length;
  for (size_t n = 0; n < index; ++n) {
    const unsigned char* end = nullptr;
    if (*left == 0 || !BindingEnd(*p, *left, &end)) return false;
    *left -= static_cast<size_t>(end - *p);
    *p = end;
  }
  return true;
}

}  // namespace

BindingCount CountBindings(const unsigned char* message, size_t length,
                           size_t limit) {
  BindingCount out;
  Layout at;
  if (!ReadLayout(message, length, &at, &out.version, &out.request_id))
    return out;
  out.read = true;
  out.community = at.community.content;
  out.community_length = at.community.length;
  out.pdu_type = at.pdu.tag;

  // Each binding as snmp_parse_var_op steps over it: its SEQUENCE header,
  // the name, the value's header, then to the end of the value.
  const unsigned char* p = at.list.content;
  size_t left = at.list.length;
  while (left > 0 && out.bindings <= limit) {
    const unsigned char* end = nullptr;
    if (!BindingEnd(p, left, &end)) break;
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

size_t CutBindings(unsigned char* message, size_t length, size_t keep) {
  Layout at;
  long version = 0, id = 0;
  if (!ReadLayout(message, length, &at, &version, &id)) return length;
  const unsigned char* p = at.list.content;
  size_t left = at.list.length;
  // The library steps from a value's end to the next binding, but checks
  // that each binding's SEQUENCE fits in the list: a kept binding that
  // claims bytes past the cut cannot be cut after.
  const unsigned char* reach = p;
  for (size_t n = 0; n < keep && left > 0; ++n) {
    const unsigned char* end = nullptr;
    Tlv binding;
    if (!BindingEnd(p, left, &end) || !Header(p, left, &binding)) return length;
    reach = std::max(reach, binding.content + binding.length);
    left -= static_cast<size_t>(end - p);
    p = end;
  }
  if (left != 0 && reach > p) return length;
  const size_t list = at.list.length - left;
  const size_t pdu = static_cast<size_t>(at.list_at - at.pdu.content) +
                     HeaderSize(list) + list;
  const size_t whole =
      static_cast<size_t>(at.pdu_at - at.whole.content) + HeaderSize(pdu) + pdu;
  const size_t total = HeaderSize(whole) + whole;
  if (total == length) return length;  // nothing cut, lengths the shortest
  // Front to back: no header grows, so nothing is written over bytes still
  // to be moved.
  unsigned char* w = message;
  const auto move = [&w, message](const unsigned char* from, size_t n) {
    std::memmove(w, message + (from - message), n);
    w += n;
  };
  w = PutHeader(w, kSequence, whole);
  move(at.whole.content, static_cast<size_t>(at.pdu_at - at.whole.content));
  w = PutHeader(w, at.pdu.tag, pdu);
  move(at.pdu.content, static_cast<size_t>(at.list_at - at.pdu.content));
  w = PutHeader(w, kSequence, list);
  move(at.list.content, list);
  return total;
}

BindingValue ValueOfBinding(const unsigned char* message, size_t length,
                            size_t index) {
  BindingValue out;
  Layout at;
  long version = 0, id = 0;
  const unsigned char* p = nullptr;
  size_t left = 0;
  Tlv binding, name, value;
  if (!ReadLayout(message, length, &at, &version, &id) ||
      !SkipBindings(at, index, &p, &left) || !Header(p, left, &binding) ||
      !Header(binding.content, binding.length, &name))
    return out;
  out.name_length = name.length;
  const unsigned char* v = name.content + name.length;
  const size_t rest = binding.length - static_cast<size_t>(v - binding.content);
  if (rest >= 1) out.tag = v[0];
  if (Header(v, rest, &value)) out.length = value.length;
  return out;
}

}  // namespace inverter::snmp
