#pragma once
// The receive filters of a session: the library's hooks that check each
// datagram before and after it is parsed (the sender, the SNMPv3 engine, the
// bound on bindings, the INTEGER normaliser, the community, an undecodable
// answer of ours), and the bound itself.
//
// What a session accepts: datagrams from the peer's own address and port
// (checked before they are parsed) and, for SNMPv3 once the engine is known,
// well-formed messages of that engine only (also checked before), with the
// session's community (checked after), answering an unpredictable request
// id. Of an answer at most max-repetitions bindings for each binding asked
// are read (never fewer than the request strictly allows), the rest cut
// unparsed where the datagram shows them (v1/v2c) or from the parsed list
// before it is copied (SNMPv3), so that an agent cannot make the library
// copy thousands. INTEGERs with redundant leading sign octets are shortened
// before parsing, so that a 32-bit build reads what a 64-bit one does.
//
// The hooks run inside the library's read, under the library lock.

#include <cstddef>
#include <cstdint>
#include <string>

#include "snmp_library.h"

namespace inverter::snmp {

// The bound on the answer to the request in flight, which the parse hooks
// enforce, and what they refused meanwhile. The session's callback_magic
// points here (the session has no callback of its own: each request names
// OnAnswer with its Exchange). Null: no request, no bound.
struct AnswerBound {
  long reqid = 0;
  size_t most = SIZE_MAX;    // bindings read of the answer
  bool undecodable = false;  // our answer, which the library cannot parse
  std::string undecodable_what;
  unsigned other_address = 0;    // datagrams from anyone but the peer
  std::string other_sender;      // the last of them
  unsigned other_id = 0;         // responses to another request
  unsigned other_community = 0;  // responses with another community
};

// Pre-parse hook (snmp_sess_add_ex's fpre_parse): the sender's check.
int FromPeerOnly(netsnmp_session* session, netsnmp_transport* transport,
                 void* from, int from_length);
// Whether `from` (the transport's per-datagram data) is the peer's own
// address and port.
bool SamePeer(netsnmp_transport* transport, void* from, int from_length);
// SNMPv3, once the engine is known: whether `data` is a well-formed message
// of that engine. True for v1/v2c and during discovery.
bool ForTheSessionsEngine(const netsnmp_session* session, const u_char* data,
                          size_t length);
// v1/v2c: normalises and bounds `data` in place (*length may shrink); false
// drops it.
bool WithinBound(netsnmp_session* session, u_char* data, size_t* length);
// Parse hook (fparse): engine check, normaliser and bound, the library's
// parse, the note of an undecodable answer.
int ParseNormalisedWithinBound(netsnmp_session* session, netsnmp_pdu* pdu,
                               u_char* data, size_t length);
// Post-parse hook (fpost_parse): the community check and the bound on the
// parsed bindings; 0 drops the PDU.
int AcceptOwnCommunityWithinBound(netsnmp_session* session, netsnmp_pdu* pdu,
                                  int parsed);
// The bindings read of an answer to `request`.
size_t MostBindings(const netsnmp_pdu& request);

}  // namespace inverter::snmp
