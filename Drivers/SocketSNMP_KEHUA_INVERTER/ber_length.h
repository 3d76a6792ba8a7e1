#pragma once
// The definite length of a BER TLV, read as the library reads one
// (asn_parse_nlength): the one length reader of the driver's BER readers.

#include <cstddef>

namespace inverter::snmp {

// Reads the length octets at `p`, of which `available` bytes (the length
// octets and the contents) are there: the short form, or the long form with
// 1 to sizeof(long) length octets, as the library takes them. Sets *length
// and returns where the contents start; null when the length is indefinite,
// has more length octets, is negative as a long or runs past `available`.
const unsigned char* ReadBerLength(const unsigned char* p, size_t available,
                                   size_t* length);

}  // namespace inverter::snmp
