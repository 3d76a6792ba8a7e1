#pragma once
// Reads the header of a received SNMPv3 message in place, before the
// library parses it, so that a session can drop datagrams that are not for
// its engine. The library keeps a process-wide engine-time entry, never
// freed, for the engine any unauthenticated message names.

#include <cstddef>

namespace inverter::snmp {

// True if `message` starts with the header of an SNMPv3 message that the
// library would take (SNMPv3Message up to msgAuthoritativeEngineID):
// version 3; msgID 0..2^31-1; msgMaxSize 484..2^31-1; msgFlags one octet,
// privacy only with authentication; security model USM; every field inside
// the field around it and msgGlobalData exactly filled; an engine ID of at
// most 32 octets. Sets *engine and *engine_length to the engine ID, inside
// `message`.
bool ReadV3EngineId(const unsigned char* message, size_t length,
                    const unsigned char** engine, size_t* engine_length);

}  // namespace inverter::snmp
