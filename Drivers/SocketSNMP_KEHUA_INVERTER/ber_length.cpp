// The BER length reader shared by the driver's BER readers.
#include "ber_length.h"

namespace inverter::snmp {

// sizeof(long) length octets always fit a size_t (LP64 and ILP32).
static_assert(sizeof(size_t) >= sizeof(long));

const unsigned char* ReadBerLength(const unsigned char* p, size_t available,
                                   size_t* length) {
  if (available < 1) return nullptr;
  size_t octets = 1;
  unsigned long value = p[0];
  if (value & 0x80) {
    const size_t count = value & 0x7f;
    if (count == 0 || count > sizeof(long) || available < count + 1)
      return nullptr;
    value = 0;
    for (size_t i = 1; i <= count; ++i) value = value << 8 | p[i];
    if (static_cast<long>(value) < 0) return nullptr;
    octets += count;
  }
  if (value > available - octets) return nullptr;
  *length = value;
  return p + octets;
}

}  // namespace inverter::snmp
