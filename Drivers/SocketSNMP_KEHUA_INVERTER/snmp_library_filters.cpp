// The receive filters of a session: the library's parse hooks and the bound
// on an answer's bindings.
#include "snmp_library_filters.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <vector>

#include "ber_binding_count.h"
#include "ber_integers.h"
#include "ber_v3_header.h"

namespace inverter::snmp {
namespace {

std::string SenderText(const sockaddr* sender, int length) {
  char host[INET6_ADDRSTRLEN] = "?";
  unsigned port = 0;
  if (sender->sa_family == AF_INET && length >= int(sizeof(sockaddr_in))) {
    const auto* in = reinterpret_cast<const sockaddr_in*>(sender);
    inet_ntop(AF_INET, &in->sin_addr, host, sizeof host);
    port = ntohs(in->sin_port);
    return std::string(host) + ":" + std::to_string(port);
  }
  if (sender->sa_family == AF_INET6 && length >= int(sizeof(sockaddr_in6))) {
    const auto* in6 = reinterpret_cast<const sockaddr_in6*>(sender);
    inet_ntop(AF_INET6, &in6->sin6_addr, host, sizeof host);
    port = ntohs(in6->sin6_port);
  }
  return "[" + std::string(host) + "]:" + std::to_string(port);
}

}  // namespace

// Pre-parse hook: only a datagram from the peer's own address and port is
// parsed; anything else is dropped, counted for the time-out's line, and
// the request waits on.
int FromPeerOnly(netsnmp_session* session, netsnmp_transport* transport,
                 void* from, int from_length) {
  if (SamePeer(transport, from, from_length)) return 1;
  auto* bound = static_cast<AnswerBound*>(session->callback_magic);
  if (bound != nullptr && from != nullptr) {
    ++bound->other_address;
    bound->other_sender =
        SenderText(static_cast<const sockaddr*>(from), from_length);
  }
  return 0;
}

// Whether a datagram came from the peer's own address and port. The
// transport hands over the sender first in its per-datagram data (a
// sockaddr, alone or at the head of an address pair).
bool SamePeer(netsnmp_transport* transport, void* from, int from_length) {
  if (transport == nullptr || transport->remote == nullptr || from == nullptr)
    return 0;
  const auto* peer = static_cast<const sockaddr*>(transport->remote);
  const auto* sender = static_cast<const sockaddr*>(from);
  if (peer->sa_family != sender->sa_family) return 0;
  if (peer->sa_family == AF_INET &&
      transport->remote_length >= int(sizeof(sockaddr_in)) &&
      from_length >= int(sizeof(sockaddr_in))) {
    const auto* p = reinterpret_cast<const sockaddr_in*>(peer);
    const auto* s = reinterpret_cast<const sockaddr_in*>(sender);
    return p->sin_port == s->sin_port &&
           p->sin_addr.s_addr == s->sin_addr.s_addr;
  }
  if (peer->sa_family == AF_INET6 &&
      transport->remote_length >= int(sizeof(sockaddr_in6)) &&
      from_length >= int(sizeof(sockaddr_in6))) {
    const auto* p = reinterpret_cast<const sockaddr_in6*>(peer);
    const auto* s = reinterpret_cast<const sockaddr_in6*>(sender);
    return p->sin6_port == s->sin6_port &&
           std::memcmp(&p->sin6_addr, &s->sin6_addr, sizeof p->sin6_addr) == 0;
  }
  return 0;
}

// The pre-parse check of the bytes, which the library's pre-parse hook does
// not see (the parse hook calls it first). Once an SNMPv3 session knows its
// engine (discovered or configured), only a well-formed message of that
// engine is parsed: for every engine an unauthenticated datagram names, the
// library would keep an engine-time entry for the life of the process, and
// it prints a line for many a malformed header. During discovery anything
// from the peer is parsed, as the Report that names the engine must be.
bool ForTheSessionsEngine(const netsnmp_session* session, const u_char* data,
                          size_t length) {
  if (session->version != SNMP_VERSION_3 || session->securityEngineIDLen == 0)
    return true;
  const u_char* engine = nullptr;
  size_t engine_length = 0;
  return ReadV3EngineId(data, length, &engine, &engine_length) &&
         engine_length == session->securityEngineIDLen &&
         std::memcmp(engine, session->securityEngineID, engine_length) == 0;
}

namespace {

bool SameCommunity(const netsnmp_session* session, const u_char* community,
                   size_t length) {
  return length == session->community_len &&
         (length == 0 ||
          std::memcmp(community, session->community, length) == 0);
}

// Whether a counted datagram would be taken as the answer: a response of
// the session's version, community and request id.
bool OursCounted(const netsnmp_session* session, const AnswerBound& bound,
                 const BindingCount& count) {
  return count.read && count.pdu_type == SNMP_MSG_RESPONSE &&
         count.version == session->version && count.request_id == bound.reqid &&
         SameCommunity(session, count.community, count.community_length);
}

}  // namespace

// Pre-parse half of the bound (v1/v2c): INTEGERs are normalised first, as
// the library will read them, then the bindings are counted where the
// datagram lies, and the answer is cut in place after as many as are read,
// before the library copies any (its lengths in the shortest form). Any
// other datagram with more is dropped as if it had not come.
bool WithinBound(netsnmp_session* session, u_char* data, size_t* length) {
  auto* bound = static_cast<AnswerBound*>(session->callback_magic);
  if (bound == nullptr) {
    *length = NormaliseIntegers(data, *length);
    return true;
  }
  const BindingCount count = NormaliseAndCount(data, length, bound->most);
  if (!count.read) return true;
  if (!OursCounted(session, *bound, count))
    return count.bindings <= bound->most;
  const size_t cut = CutBindings(data, *length, bound->most);
  // Past the bound and not to be cut: dropped, the request waits on.
  if (count.bindings > bound->most && cut == *length) return false;
  *length = cut;
  return true;
}

namespace {

// Post-parse half: the bindings of a parsed PDU, counted before the driver
// clones it. It decides where the datagram could not be counted: an SNMPv3
// message (its scoped PDU may be encrypted, and one in the clear is not
// authenticated before it is parsed), whose answer loses the bindings past
// the bound here. A Report is read for its kind only.
bool ParsedWithinBound(netsnmp_session* session, netsnmp_pdu* pdu) {
  auto* bound = static_cast<AnswerBound*>(session->callback_magic);
  if (bound == nullptr || pdu->command == SNMP_MSG_REPORT) return true;
  size_t n = 1;
  netsnmp_variable_list* v = pdu->variables;
  for (; v != nullptr && n < bound->most; v = v->next_variable) ++n;
  if (v == nullptr || v->next_variable == nullptr) return true;
  if (pdu->command != SNMP_MSG_RESPONSE || pdu->reqid != bound->reqid)
    return false;
  snmp_free_varbind(v->next_variable);  // the PDU's own, freed unread
  v->next_variable = nullptr;
  return true;
}

// Names of the value types an answer may carry, for the line on an
// undecodable one.
struct TypeName {
  u_char tag;
  const char* name;
};
constexpr TypeName kTypeNames[] = {
    {ASN_INTEGER, "INTEGER"},
    {ASN_OCTET_STR, "OCTET STRING"},
    {ASN_NULL, "NULL"},
    {ASN_OBJECT_ID, "OBJECT IDENTIFIER"},
    {ASN_IPADDRESS, "IpAddress"},
    {ASN_COUNTER, "Counter32"},
    {ASN_GAUGE, "Gauge32"},
    {ASN_TIMETICKS, "TimeTicks"},
    {ASN_OPAQUE, "Opaque"},
    {ASN_COUNTER64, "Counter64"},
    {SNMP_NOSUCHOBJECT, "noSuchObject"},
    {SNMP_NOSUCHINSTANCE, "noSuchInstance"},
    {SNMP_ENDOFMIBVIEW, "endOfMibView"},
};

std::string ValueTypeName(u_char tag) {
  for (const TypeName& t : kTypeNames) {
    if (t.tag == tag) return t.name;
  }
  char hex[16];
  std::snprintf(hex, sizeof hex, "type 0x%02x", tag);
  return hex;
}

std::string LocateUndecodable(const std::function<bool(size_t)>& parses,
                              const u_char* data, size_t length,
                              size_t bindings);

// What the library could not decode of our answer, as far as the datagram
// shows: the first binding whose prefix of the binding list the library
// refuses (each prefix parsed into a scratch PDU), and its value's type.
std::string WhatIsUndecodable(netsnmp_session* session, const u_char* data,
                              size_t length, size_t bindings) {
  std::vector<u_char> copy;
  const auto parses = [&](size_t keep) {
    copy.assign(data, data + length);
    const size_t cut = CutBindings(copy.data(), copy.size(), keep);
    netsnmp_pdu* scratch =
        static_cast<netsnmp_pdu*>(std::calloc(1, sizeof *scratch));
    if (scratch == nullptr) return true;
    const int rc =
        snmp_parse(static_cast<struct session_list*>(session->myvoid), session,
                   scratch, copy.data(), cut);
    snmp_free_pdu(scratch);  // and whatever the parse put in it
    return rc == SNMPERR_SUCCESS;
  };
  // The library's complaints about the prefixes are not the peer's: every
  // log handler is off meanwhile but one that discards (with none enabled
  // the library writes to standard error), registered once and left
  // disabled afterwards.
  static netsnmp_log_handler* const quiet =
      netsnmp_register_loghandler(NETSNMP_LOGHANDLER_NONE, LOG_DEBUG);
  std::vector<netsnmp_log_handler*> enabled;
  for (netsnmp_log_handler* h = get_logh_head(); h != nullptr; h = h->next) {
    if (h->enabled && h != quiet) enabled.push_back(h);
  }
  if (quiet != nullptr) netsnmp_enable_this_loghandler(quiet);
  for (netsnmp_log_handler* h : enabled) netsnmp_disable_this_loghandler(h);
  const std::string what = LocateUndecodable(parses, data, length, bindings);
  for (netsnmp_log_handler* h : enabled) netsnmp_enable_this_loghandler(h);
  if (quiet != nullptr) netsnmp_disable_this_loghandler(quiet);
  return what;
}

std::string LocateUndecodable(const std::function<bool(size_t)>& parses,
                              const u_char* data, size_t length,
                              size_t bindings) {
  if (!parses(0)) return "its header";
  // Prefix `good` parses, `bad` does not; past the bindings the counter
  // steps over, the next one is malformed.
  size_t good = 0, bad = bindings + 1;
  if (!parses(bindings)) {
    bad = bindings;
    while (bad - good > 1) {
      const size_t mid = good + (bad - good) / 2;
      (parses(mid) ? good : bad) = mid;
    }
  }
  const BindingValue value = ValueOfBinding(data, length, bad - 1);
  return "binding " + std::to_string(bad) + ": name of " +
         std::to_string(value.name_length) + " octets, " +
         ValueTypeName(value.tag) + " of " + std::to_string(value.length) +
         " octets";
}

// The parse hook's half of an undecodable answer: a datagram the library
// refuses that carries the request's id and community ends the request.
void NoteUndecodable(netsnmp_session* session, const u_char* data,
                     size_t length) {
  auto* bound = static_cast<AnswerBound*>(session->callback_magic);
  if (bound == nullptr || bound->undecodable) return;
  const BindingCount count = CountBindings(data, length, SIZE_MAX);
  if (!OursCounted(session, *bound, count)) return;
  bound->undecodable_what =
      WhatIsUndecodable(session, data, length, count.bindings);
  bound->undecodable = true;
}

}  // namespace

// Parse hook. First the engine check (ForTheSessionsEngine: SNMPv3 only,
// once the engine is known). Then, for v1/v2c only (an SNMPv3 digest covers
// the message as sent), the bound: INTEGERs lose redundant sign octets, an
// answer with more bindings than are read is cut and any other datagram
// with more is dropped unparsed. Normalised first, so that the count reads
// what the library will read on any width of `long`. Then the library
// parses as it would without the hook; a v1/v2c answer of ours that it
// refuses is noted as undecodable. The session's handle is in `myvoid`.
int ParseNormalisedWithinBound(netsnmp_session* session, netsnmp_pdu* pdu,
                               u_char* data, size_t length) {
  if (!ForTheSessionsEngine(session, data, length))
    return SNMPERR_ASN_PARSE_ERR;
  if (session->version != SNMP_VERSION_3) {
    if (!WithinBound(session, data, &length)) return SNMPERR_TOO_LONG;
  }
  const int parsed =
      snmp_parse(static_cast<struct session_list*>(session->myvoid), session,
                 pdu, data, length);
  if (parsed != SNMPERR_SUCCESS && session->version != SNMP_VERSION_3)
    NoteUndecodable(session, data, length);
  return parsed;
}

// Post-parse hook. The library matches a v1/v2c answer to its request by
// request id alone, whatever community the answer carries. An answer that
// is not for the session's community is not trusted: refused here, so that
// the request waits on as if nothing had come. Then the bound on bindings.
int AcceptOwnCommunityWithinBound(netsnmp_session* session, netsnmp_pdu* pdu,
                                  int parsed) {
  if (parsed != SNMPERR_SUCCESS) return 0;  // dropped by the library anyway
  auto* bound = static_cast<AnswerBound*>(session->callback_magic);
  // USM vouches for SNMPv3 messages.
  if (pdu->version != SNMP_VERSION_3 &&
      !SameCommunity(session, pdu->community, pdu->community_len)) {
    if (bound != nullptr) ++bound->other_community;
    return 0;
  }
  // Matched to no request by the library; counted for the time-out's line.
  if (bound != nullptr && pdu->command == SNMP_MSG_RESPONSE &&
      pdu->version != SNMP_VERSION_3 && pdu->reqid != bound->reqid)
    ++bound->other_id;
  return ParsedWithinBound(session, pdu);
}

// Bindings read of an answer to `request`: for a GETBULK, max-repetitions
// for each binding asked, so that an agent that takes the non-repeaters as
// repeaters is read as far as it was asked, and never fewer than the
// request strictly allows (one for each of its first non-repeaters, up to
// max-repetitions for each of the others); for a GET or GETNEXT one per
// binding asked.
size_t MostBindings(const netsnmp_pdu& request) {
  size_t asked = 0;
  for (auto* v = request.variables; v != nullptr; v = v->next_variable) ++asked;
  if (request.command != SNMP_MSG_GETBULK) return asked;
  const size_t fixed = static_cast<size_t>(
      std::clamp<long>(request.non_repeaters, 0, static_cast<long>(asked)));
  const size_t repeats =
      static_cast<size_t>(std::max<long>(request.max_repetitions, 0));
  if (asked != 0 && repeats > SIZE_MAX / asked) return SIZE_MAX;
  return std::max(fixed + repeats * (asked - fixed), repeats * asked);
}

}  // namespace inverter::snmp
