#pragma once
// Shortens INTEGERs that carry redundant leading sign octets in a received
// v1/v2c message, before the library parses it. The library refuses an
// INTEGER longer than its `long` and drops the whole datagram: on a 32-bit
// build some agents' encoding of -2^31 (02 05 FF 80 00 00 00) would lose
// the answer and the rest of the walk, while a 64-bit build reads it.

#include <cstddef>

namespace inverter::snmp {

// Rewrites `message` in place: every INTEGER inside the message, its PDU
// and its bindings loses its redundant sign octets (02 05 FF 80 00 00 00
// becomes 02 04 80 00 00 00) and the lengths around it shrink to match,
// each keeping its number of length octets. INTEGERs longer than 8 octets
// and anything not well formed are left as they are. Returns the new length,
// never more than `length`.
size_t NormaliseIntegers(unsigned char* message, size_t length);

}  // namespace inverter::snmp
