#include "snmp_session.h"

#include <arpa/inet.h>
#include <dlfcn.h>
#include <net-snmp/library/large_fd_set.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/random.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <mutex>

#include "ber_binding_count.h"
#include "ber_integers.h"
#include "ber_v3_header.h"
#include "log_budget.h"
#include "name_lookup.h"
#include "peer_address.h"

namespace inverter::snmp {
namespace {

std::once_flag g_library_once;
// Every call into the library runs under this lock (see the header), taken
// by a LibraryCall only.
std::mutex g_library_mutex;

// Frees a user that is in no list: usm_free_user unlinks through the
// user's own next/prev, which usm_remove_user leaves pointing into the
// list; followed, they would corrupt it.
void FreeUser(usmUser* user) {
  user->next = user->prev = nullptr;
  if (user->authKey) explicit_bzero(user->authKey, user->authKeyLen);
  if (user->privKey) explicit_bzero(user->privKey, user->privKeyLen);
  usm_free_user(user);
}

// One call (or a run of calls) into the library: holds the process-wide
// lock and, for an SNMPv3 session, puts the session's user into the
// library's user table for as long as it is held. The library keeps one
// user per (engine ID, name) for the whole process; devices of the same
// user on the same agent, with the same or other passphrases, would
// otherwise replace or remove each other's entry. So the table holds only
// the user of the call in progress. The library's engine-time table, one
// entry per engine ID, holds the session's own clock during the call (two
// agents may share an engine ID); what the call learned goes back to it.
class LibraryCall {
 public:
  explicit LibraryCall(usmUser* user = nullptr, EngineClock* clock = nullptr)
      : lock_(g_library_mutex), user_(user), clock_(clock) {
    if (user_ == nullptr) return;
    usm_add_user(user_);
    if (clock_ == nullptr) return;
    unsigned now = 0;
    if (clock_->known) {
      now =
          clock_->time + static_cast<unsigned>(
                             std::chrono::duration_cast<std::chrono::seconds>(
                                 std::chrono::steady_clock::now() - clock_->at)
                                 .count());
    }
    // Unknown: boots and time 0, which the agent answers with a Report of
    // its own time, on which the library resends.
    set_enginetime(user_->engineID, static_cast<u_int>(user_->engineIDLen),
                   clock_->boots, now, clock_->known ? TRUE : FALSE);
  }
  ~LibraryCall() {
    if (user_ == nullptr) return;
    u_int boots = 0, time = 0;
    if (clock_ != nullptr &&
        get_enginetime(user_->engineID, static_cast<u_int>(user_->engineIDLen),
                       &boots, &time, TRUE) == SNMPERR_SUCCESS &&
        (boots != 0 || time != 0)) {
      *clock_ = {true, boots, time, std::chrono::steady_clock::now()};
    }
    usm_remove_user(user_);
    user_->next = user_->prev = nullptr;  // the session's own again
  }
  LibraryCall(const LibraryCall&) = delete;
  LibraryCall& operator=(const LibraryCall&) = delete;

 private:
  std::lock_guard<std::mutex> lock_;
  usmUser* user_;
  EngineClock* clock_;
};

// The library's log lines when no handler of the host takes them: at most
// LogBudget::kPerMinute a minute reach standard error (docs/reliability.md).
// A lock of its own: other users of the library in the process log without
// the library lock.
std::mutex g_log_mutex;
LogBudget g_log_budget;
netsnmp_log_handler* g_log_handler = nullptr;  // under the library lock

int BoundedStderr(netsnmp_log_handler*, int, const char* text) {
  std::lock_guard<std::mutex> lock(g_log_mutex);
  unsigned long held = 0;
  if (!g_log_budget.Admit(LogBudget::Clock::now(), &held)) return 1;
  if (held != 0) {
    std::fprintf(stderr,
                 "snmp: %lu more library messages in the last minute not "
                 "shown\n",
                 held);
  }
  std::fputs(text, stderr);
  return 1;
}

// The handler's code goes with the plug-in while the library stays loaded:
// it leaves the library when the plug-in is unloaded or the process exits.
struct LogHandlerRemover {
  ~LogHandlerRemover() {
    LibraryCall call;
    if (g_log_handler == nullptr) return;
    netsnmp_disable_this_loghandler(g_log_handler);
    netsnmp_remove_loghandler(g_log_handler);
    g_log_handler = nullptr;
  }
} g_log_handler_remover;

// A request id the kernel's random source picks, 1..2^31-1: an answer
// cannot be forged by guessing from the ids of other requests. Drawn from
// a buffer that one getrandom call fills for 256 ids (a system call per
// request would cost a walk several per cent). Called under the lock.
long RandomId() {
  static unsigned int pool[256];
  static size_t left = 0;
  if (left == 0) {
    size_t got = 0;
    while (got < sizeof pool) {
      const ssize_t n =
          getrandom(reinterpret_cast<char*>(pool) + got, sizeof pool - got, 0);
      if (n > 0) {
        got += static_cast<size_t>(n);
      } else if (errno != EINTR) {
        for (unsigned int& v : pool) v = static_cast<unsigned int>(std::rand());
        break;  // no random source
      }
    }
    left = sizeof pool / sizeof pool[0];
  }
  const unsigned int value = pool[--left] & 0x7fffffffu;
  pool[left] = 0;  // a used id does not stay in memory
  return value != 0 ? static_cast<long>(value) : 1;
}

// The bound on the answer to the request in flight, which the parse hooks
// enforce, and what they refused meanwhile. The session's callback_magic
// points here (the session has no callback of its own: each request names
// OnAnswer with its Exchange).
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

bool SamePeer(netsnmp_transport* transport, void* from, int from_length);

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

// Parse-hook half of item "an undecodable answer": a datagram the library
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

// Parse hook (v1/v2c only: an SNMPv3 digest covers the message as sent):
// INTEGERs lose redundant sign octets, an answer with more bindings than
// asked for is dropped unparsed, then the library parses as it would
// without the hook. Normalised first, so that the count reads what the
// library will read on any width of `long`. The session's handle is in
// `myvoid`.
int ParseNormalised(netsnmp_session* session, netsnmp_pdu* pdu, u_char* data,
                    size_t length) {
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
int AcceptOwnCommunity(netsnmp_session* session, netsnmp_pdu* pdu, int parsed) {
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

timespec ToTimespec(std::chrono::nanoseconds d) {
  if (d.count() < 0) d = std::chrono::nanoseconds(0);
  const auto s = std::chrono::duration_cast<std::chrono::seconds>(d);
  return timespec{static_cast<time_t>(s.count()),
                  static_cast<long>((d - s).count())};
}

}  // namespace

void EnsureLibrary() {
  std::call_once(g_library_once, [] {
    LibraryCall call;
    // The library stays loaded when the host unloads the plug-in: its
    // one-time setup is never freed, and would be made again (about 10 KB)
    // on every load. Pinned, a reload finds it set up.
    dlopen("libnetsnmp.so.40", RTLD_NOW | RTLD_NOLOAD | RTLD_NODELETE);
    // Process-wide settings: they hold for every user of the library in
    // the host process (docs/reliability.md).
    netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID,
                           NETSNMP_DS_LIB_DONT_LOAD_HOST_FILES, 1);
    netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID,
                           NETSNMP_DS_LIB_DONT_READ_CONFIGS, 1);
    netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID,
                           NETSNMP_DS_LIB_DISABLE_PERSISTENT_LOAD, 1);
    netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID,
                           NETSNMP_DS_LIB_DISABLE_PERSISTENT_SAVE, 1);
    // The library's log lines would go to standard error unbounded (one for
    // many a malformed datagram) unless the host set up logging of its own.
    if (!snmp_get_do_logging()) {
      g_log_handler =
          netsnmp_register_loghandler(NETSNMP_LOGHANDLER_STDERR, LOG_DEBUG);
      if (g_log_handler != nullptr) g_log_handler->handler = &BoundedStderr;
    }
    // The first snmp_sess_init runs the library's one-time setup.
    netsnmp_session scratch;
    snmp_sess_init(&scratch);
  });
}

void EnsureSnmpV3() {
  EnsureLibrary();
  static std::once_flag once;
  std::call_once(once, [] {
    LibraryCall call;
    // SNMPv3 needs its security module (USM) and the empty user of engine
    // discovery, which init_snmp would set up after reading configuration
    // and MIB files (it reads none here). Done on the first v3 device only:
    // a v2c plug-in prints and changes nothing more. The library's own
    // complaints on the way (certificates it has no store for) are kept
    // off standard error.
    if (netsnmp_ds_get_string(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_APPTYPE) ==
        nullptr) {
      netsnmp_ds_set_string(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_APPTYPE,
                            "snmpapp");
    }
    // Set up already when the plug-in was loaded before (the library stays).
    if (find_sec_mod(SNMP_SEC_MODEL_USM) != nullptr) return;
    netsnmp_disable_this_loghandler(g_log_handler);  // null: none
    netsnmp_log_handler* quiet =
        netsnmp_register_loghandler(NETSNMP_LOGHANDLER_NONE, LOG_DEBUG);
    init_snmpv3("snmpapp");  // registers USM
    snmp_call_callbacks(SNMP_CALLBACK_LIBRARY,
                        SNMP_CALLBACK_POST_PREMIB_READ_CONFIG, nullptr);
    if (quiet != nullptr) netsnmp_disable_this_loghandler(quiet);
    netsnmp_enable_this_loghandler(g_log_handler);
  });
}

void InitTemplate(netsnmp_session* session) {
  EnsureLibrary();
  LibraryCall call;
  snmp_sess_init(session);
}

std::string Printable(const std::string& text) {
  return inverter::Printable(text);
}

std::string LibraryPeerName(const std::string& address, std::string* why) {
  PeerAddress parsed;
  if (!ParsePeerAddress(address, &parsed, why)) return {};
  return parsed.library;
}

void PduDeleter::operator()(netsnmp_pdu* pdu) const {
  LibraryCall call;
  snmp_free_pdu(pdu);
}

// State of the request in flight, filled by the library's callback.
struct Session::Exchange {
  long reqid = 0;
  bool done = false;
  bool probe = false;   // an engine ID probe: its Report is the answer
  bool report = false;  // refused with a Report (an SNMPv3 error)
  int unauthenticated_report = 0;  // the last one's type, 0 for none
  int status = STAT_SUCCESS;
  AnswerBound bound;              // checked by the parse hooks
  netsnmp_pdu* answer = nullptr;  // a clone, ours to free
  std::vector<u_char> engine;     // from a probe's Report
  netsnmp_large_fd_set fds;
};

Session::Session(void* handle, int sock, int wake_fd)
    : handle_(handle),
      sock_(sock),
      wake_fd_(wake_fd),
      exchange_(std::make_unique<Exchange>()) {
  netsnmp_large_fd_set_init(&exchange_->fds, FD_SETSIZE);
  // Where the parse hooks find the bound (made by Open, under its lock).
  snmp_sess_session(handle_)->callback_magic = &exchange_->bound;
}

Session::~Session() {
  LibraryCall call;
  if (own_user_ != nullptr) FreeUser(own_user_);  // in no table between calls
  // The library frees its copy of the session without wiping the keys.
  netsnmp_session* session = snmp_sess_session(handle_);
  explicit_bzero(session->securityAuthKey, sizeof session->securityAuthKey);
  explicit_bzero(session->securityPrivKey, sizeof session->securityPrivKey);
  // Closing frees a request still in flight (a stopped or cut walk).
  snmp_sess_close(handle_);
  netsnmp_large_fd_set_cleanup(&exchange_->fds);
  if (exchange_->answer != nullptr) snmp_free_pdu(exchange_->answer);
}

std::unique_ptr<Session> Session::Open(netsnmp_session* templ,
                                       const char* library_peer,
                                       const char* label, int wake_fd,
                                       LookupSlot* lookups) {
  // A host name is looked up first, outside the library lock (the library
  // would resolve it under the lock, holding every other device's walk),
  // bounded by the request time-out and given up on a stop.
  const NumericPeer numeric =
      ToNumericPeer(library_peer,
                    std::chrono::milliseconds(
                        templ->timeout > 0 ? templ->timeout / 1000 : 1000),
                    wake_fd, lookups);
  if (numeric.end != NumericPeer::End::kReady) {
    if (numeric.end == NumericPeer::End::kFailed) {
      std::fprintf(stderr, "%s: %s\n", label, numeric.why.c_str());
    }
    return nullptr;
  }
  EnsureLibrary();
  LibraryCall call;
  templ->s_snmp_errno = 0;
  templ->s_errno = 0;
  void* handle = nullptr;
  netsnmp_transport* transport = netsnmp_tdomain_transport_full(
      "snmp", numeric.peer.c_str(), templ->local_port, "udp,udp6", nullptr);
  if (transport == nullptr) {
    templ->s_snmp_errno = SNMPERR_BAD_ADDRESS;
    templ->s_errno = errno;
  } else {
    // Takes the transport, and closes it itself on failure.
    handle = snmp_sess_add_ex(templ, transport, &FromPeerOnly, &ParseNormalised,
                              &AcceptOwnCommunity, nullptr, nullptr, nullptr,
                              nullptr);
  }
  if (handle == nullptr) {
    // The failed open leaves its error in the template, not in the
    // library's shared error state.
    char* text = nullptr;
    int lib_errno = 0, sys_errno = 0;
    snmp_error(templ, &sys_errno, &lib_errno, &text);
    std::fprintf(stderr, "%s: %s\n", label, text ? text : "unknown error");
    std::free(text);
    return nullptr;
  }
  netsnmp_session* session = snmp_sess_session(handle);
  session->myvoid = handle;  // for ParseNormalised
  // The library would otherwise probe for the engine ID inside the first
  // send, waiting under the lock; Discover does it through the wait loop.
  session->flags |= SNMP_FLAGS_DONT_PROBE;
  const int sock = snmp_sess_transport(handle)->sock;
  return std::unique_ptr<Session>(new Session(handle, sock, wake_fd));
}

int Session::OnAnswer(int op, netsnmp_session* session, int reqid,
                      netsnmp_pdu* pdu, void* magic) {
  auto* ex = static_cast<Exchange*>(magic);
  // One request at a time per session: whatever the callback reports is
  // about it (an SNMPv3 Report may carry request id 0).
  (void)reqid;
  if (ex->done) return 1;
  if (op == NETSNMP_CALLBACK_OP_RESEND || op == NETSNMP_CALLBACK_OP_CONNECT) {
    return 1;  // a retry went out; the request goes on
  }
  // A Report below an authenticated request's level carries no digest:
  // anyone who sees the requests can send one. It is remembered for the
  // time-out's line and the request waits on for an authenticated answer
  // (0 keeps it in the library's list, whichever callback the library
  // makes first). Engine discovery is unauthenticated by design.
  if (pdu != nullptr && pdu->command == SNMP_MSG_REPORT && !ex->probe &&
      session->securityLevel >= SNMP_SEC_LEVEL_AUTHNOPRIV &&
      pdu->securityLevel < SNMP_SEC_LEVEL_AUTHNOPRIV &&
      (op == NETSNMP_CALLBACK_OP_RECEIVED_MESSAGE ||
       op == NETSNMP_CALLBACK_OP_SEC_ERROR)) {
    ex->unauthenticated_report = snmpv3_get_report_type(pdu);
    return 0;
  }
  // A Report that the engine's time is out of step is the library's to act
  // on: it resends with the time the Report brought, or reports OP_SEC_ERROR
  // once the retries are spent. Some builds (Debian 11's) pass it here as a
  // message first; ending the request on it would lose the resend's answer.
  if (op == NETSNMP_CALLBACK_OP_RECEIVED_MESSAGE && !ex->probe &&
      pdu != nullptr && pdu->command == SNMP_MSG_REPORT &&
      snmpv3_get_report_type(pdu) == SNMPERR_NOT_IN_TIME_WINDOW) {
    return 1;
  }
  // An SNMPv3 Report comes as a message or, when the library judged it a
  // security error, as OP_SEC_ERROR; either way it carries the PDU.
  const bool report =
      pdu != nullptr && (op == NETSNMP_CALLBACK_OP_SEC_ERROR ||
                         (op == NETSNMP_CALLBACK_OP_RECEIVED_MESSAGE &&
                          pdu->command == SNMP_MSG_REPORT));
  if (report && ex->probe) {
    ex->engine.assign(pdu->securityEngineID,
                      pdu->securityEngineID + pdu->securityEngineIDLen);
    ex->status = ex->engine.empty() ? STAT_ERROR : STAT_SUCCESS;
    ex->report = ex->engine.empty();
    if (ex->engine.empty()) session->s_snmp_errno = SNMPERR_BAD_SEC_NAME;
  } else if (report) {
    ex->status = STAT_ERROR;
    ex->report = true;
    // A Report names its cause. A security error of the library's own (a
    // send it could not secure) hands back the request, which has no
    // report type: the library's error says why.
    if (pdu->command == SNMP_MSG_REPORT) {
      session->s_snmp_errno = snmpv3_get_report_type(pdu);
    } else if (session->s_snmp_errno == SNMPERR_SUCCESS) {
      session->s_snmp_errno =
          snmp_errno != SNMPERR_SUCCESS ? snmp_errno : SNMPERR_USM_GENERICERROR;
    }
  } else if (op == NETSNMP_CALLBACK_OP_RECEIVED_MESSAGE) {
    // The library frees its own copy once this returns.
    ex->answer = snmp_clone_pdu(pdu);
    ex->status = ex->answer != nullptr ? STAT_SUCCESS : STAT_ERROR;
  } else if (op == NETSNMP_CALLBACK_OP_TIMED_OUT) {
    ex->status = STAT_TIMEOUT;
    session->s_snmp_errno = SNMPERR_TIMEOUT;
  } else {
    ex->status = STAT_ERROR;
  }
  ex->done = true;
  return 1;
}

bool Session::Send(netsnmp_pdu* pdu) {
  Exchange& ex = *exchange_;
  pdu->reqid = RandomId();
  // v1/v2c messages carry no message id; SNMPv3 matches answers by it.
  if (snmp_sess_session(handle_)->version == SNMP_VERSION_3) {
    pdu->msgid = RandomId();
  }
  ex.reqid = pdu->reqid;
  // A probe's answer is a Report, whatever it carries.
  ex.bound = AnswerBound();
  ex.bound.reqid = pdu->reqid;
  ex.bound.most = ex.probe ? SIZE_MAX : MostBindings(*pdu);
  ex.done = false;
  ex.report = false;
  ex.unauthenticated_report = 0;
  ex.engine.clear();
  // The library takes the request when it is sent, and frees it once
  // answered or timed out; a request it could not send stays ours.
  if (snmp_sess_async_send(handle_, pdu, &Session::OnAnswer, &ex) == 0) {
    snmp_free_pdu(pdu);
    return false;
  }
  return true;
}

Session::Result Session::Wait(std::chrono::steady_clock::time_point deadline) {
  Exchange& ex = *exchange_;
  while (!ex.done && !ex.bound.undecodable) {
    timeval library_wait{0, 0};
    int block = 1, numfds = 0;
    {
      LibraryCall call;
      snmp_sess_select_info2_flags(handle_, &numfds, &ex.fds, &library_wait,
                                   &block, NETSNMP_SELECT_NOALARMS);
    }
    // No time-out pending means the library has dropped the request.
    if (block) return Result::kDropped;
    const auto now = std::chrono::steady_clock::now();
    if (now >= deadline) return Result::kDeadline;
    const std::chrono::nanoseconds wait = std::min<std::chrono::nanoseconds>(
        deadline - now, std::chrono::seconds(library_wait.tv_sec) +
                            std::chrono::microseconds(library_wait.tv_usec));
    // The wait, outside the lock: other devices' requests go on meanwhile.
    pollfd fds[2] = {{sock_, POLLIN, 0}, {wake_fd_, POLLIN, 0}};
    const timespec ts = ToTimespec(wait);
    const int ready = ppoll(fds, wake_fd_ >= 0 ? 2 : 1, &ts, nullptr);
    if (ready < 0 && errno != EINTR) return Result::kWaitFailed;
    if (wake_fd_ >= 0 && fds[1].revents != 0) return Result::kStopped;
    if (ready < 0) continue;
    LibraryCall call(own_user_, clock_);  // an answer checked, a resend built
    if (fds[0].revents != 0) {
      NETSNMP_LARGE_FD_ZERO(&ex.fds);
      NETSNMP_LARGE_FD_SET(sock_, &ex.fds);
      snmp_sess_read2(handle_, &ex.fds);  // the hooks may drop the datagram
    } else {
      snmp_sess_timeout(handle_);  // resends, or reports the time-out
    }
  }
  // Ends without waiting for the time-out; the request stays with the
  // library until the session closes.
  if (ex.bound.undecodable) return Result::kUndecodable;
  switch (ex.status) {
    case STAT_SUCCESS:
      return Result::kAnswer;
    case STAT_TIMEOUT:
      return Result::kTimeout;
    default:
      return ex.report ? Result::kRefused : Result::kFailed;
  }
}

Session::Result Session::Request(int command, const oid* name, size_t name_len,
                                 long non_repeaters, long max_repetitions,
                                 std::chrono::steady_clock::time_point deadline,
                                 PduPtr* answer) {
  {
    LibraryCall call(own_user_, clock_);
    snmp_sess_session(handle_)->s_snmp_errno = 0;
    netsnmp_pdu* pdu = snmp_pdu_create(command);
    if (command == SNMP_MSG_GETBULK) {
      pdu->non_repeaters = non_repeaters;
      pdu->max_repetitions = max_repetitions;
    }
    snmp_add_null_var(pdu, name, name_len);
    exchange_->probe = false;
    if (!Send(pdu)) return Result::kSendFailed;
  }
  const Result result = Wait(deadline);
  if (result == Result::kAnswer) {
    answer->reset(exchange_->answer);  // the clone moves to the caller
    exchange_->answer = nullptr;
  }
  return result;
}

Session::Result Session::Discover(
    std::chrono::steady_clock::time_point deadline,
    std::vector<u_char>* engine) {
  {
    LibraryCall call(own_user_);
    snmp_sess_session(handle_)->s_snmp_errno = 0;
    // What the library's own probe sends: an unauthenticated GET of no
    // object for an empty user; the agent's Report names its engine.
    netsnmp_pdu* pdu = snmp_pdu_create(SNMP_MSG_GET);
    pdu->version = SNMP_VERSION_3;
    pdu->securityModel = SNMP_SEC_MODEL_USM;
    pdu->securityLevel = SNMP_SEC_LEVEL_NOAUTH;
    pdu->securityName = strdup("");  // the library frees it with the PDU
    pdu->securityNameLen = 0;
    exchange_->probe = true;
    if (!Send(pdu)) return Result::kSendFailed;
  }
  Result result = Wait(deadline);
  if (exchange_->answer != nullptr) {  // an answer, not the Report expected
    PduPtr drop(exchange_->answer);
    exchange_->answer = nullptr;
    result = Result::kNoReport;
  }
  if (result == Result::kAnswer) *engine = exchange_->engine;
  return result;
}

void Session::UseEngine(const std::vector<u_char>& engine, EngineClock* clock) {
  clock_ = clock;
  LibraryCall call;
  netsnmp_session* s = snmp_sess_session(handle_);
  auto set = [&engine](u_char** id, size_t* len) {
    std::free(*id);  // the session's own copies, made by the library
    *id = static_cast<u_char*>(std::malloc(engine.size()));
    std::memcpy(*id, engine.data(), engine.size());
    *len = engine.size();
  };
  set(&s->securityEngineID, &s->securityEngineIDLen);
  set(&s->contextEngineID, &s->contextEngineIDLen);
  // This session's user for the engine, with the keys of its own
  // configuration (a changed passphrase takes effect at once).
  if (own_user_ == nullptr) {
    // An entry of the same engine and name left by another user of the
    // library would be taken instead of a new one: it goes first.
    if (usmUser* listed = usm_get_user(
            s->securityEngineID, s->securityEngineIDLen, s->securityName)) {
      usm_remove_user(listed);
      FreeUser(listed);
    }
    usm_create_user_from_session(s);
    own_user_ = usm_get_user(s->securityEngineID, s->securityEngineIDLen,
                             s->securityName);
    if (own_user_ != nullptr) {
      usm_remove_user(own_user_);  // the session owns it from here
      own_user_->next = own_user_->prev = nullptr;
    }
  }
}

void Session::ForgetEngineTime() {
  LibraryCall call;
  netsnmp_session* s = snmp_sess_session(handle_);
  if (s->securityEngineIDLen != 0) {
    free_enginetime(s->securityEngineID, s->securityEngineIDLen);
  }
  if (clock_ != nullptr) *clock_ = EngineClock();
}

std::string Session::UnauthenticatedReport() const {
  switch (exchange_->unauthenticated_report) {
    case 0:
      return "";
    case SNMPERR_AUTHENTICATION_FAILURE:
      return "wrong digests";
    case SNMPERR_NOT_IN_TIME_WINDOW:
      return "not in time window";
    case SNMPERR_UNKNOWN_ENG_ID:
      return "unknown engine ID";
    case SNMPERR_UNKNOWN_USER_NAME:
      return "unknown user name";
    case SNMPERR_UNSUPPORTED_SEC_LEVEL:
      return "unsupported security level";
    case SNMPERR_DECRYPTION_ERR:
      return "decryption error";
    default:
      return "other";
  }
}

std::string Session::UndecodableText() const {
  return exchange_->bound.undecodable_what;
}

std::string Session::RefusedMeanwhile() const {
  const AnswerBound& b = exchange_->bound;
  const auto answers = [](unsigned n) {
    return std::to_string(n) + (n == 1 ? " answer" : " answers");
  };
  std::string out;
  const auto add = [&out](const std::string& part) {
    out += (out.empty() ? "" : "; ") + part;
  };
  if (b.other_address != 0) {
    add(answers(b.other_address) + " from " + b.other_sender +
        " refused: not the inverter's address");
  }
  if (b.other_id != 0)
    add(answers(b.other_id) + " refused: another request id");
  if (b.other_community != 0) {
    add(answers(b.other_community) + " refused: another community");
  }
  return out;
}

std::string Session::ErrorText() {
  LibraryCall call;
  int sys_errno = 0, lib_errno = 0;
  char* text = nullptr;
  snmp_sess_error(handle_, &sys_errno, &lib_errno, &text);
  std::string out = text != nullptr ? text : "unknown error";
  std::free(text);
  return out;
}

}  // namespace inverter::snmp
