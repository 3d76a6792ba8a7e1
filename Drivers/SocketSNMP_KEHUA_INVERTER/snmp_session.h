#pragma once
// The one place that talks to the Net-SNMP library.
//
// Debian's library does no locking of its own: its id counters, statistics,
// error state and (for SNMPv3) user and engine-time caches are shared by
// every session in the process. Every library call of a walk therefore runs
// under one process-wide lock, and only the wait for an answer runs outside
// it, so that many devices wait on their inverters at the same time.
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

#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

namespace inverter::snmp {

class LookupSlot;

// Initialises the library once per process, reading no configuration, MIB
// or per-host files; its log lines reach standard error at most a few a
// minute. Safe to call from any thread.
void EnsureLibrary();

// Prepares the library for SNMPv3 sessions, once per process.
void EnsureSnmpV3();

// Fills a session template with the library's defaults.
void InitTemplate(netsnmp_session* session);

// Checks an inverter address: UDP only (HOST, HOST:PORT, udp:..., udp6:...,
// [IPv6] or [IPv6]:PORT), no control characters. Returns the name to hand
// to the library (with an explicit UDP domain, so that no other transport
// is ever chosen from the text), or an empty string and sets *why.
std::string LibraryPeerName(const std::string& address, std::string* why);

// `text` with control and non-ASCII bytes written as \xNN: safe on one line.
std::string Printable(const std::string& text);

struct PduDeleter {
  void operator()(netsnmp_pdu* pdu) const;  // frees under the library lock
};
using PduPtr = std::unique_ptr<netsnmp_pdu, PduDeleter>;

// An SNMPv3 agent's engine boots and time as its authenticated answers
// gave them, kept per device: agents whose cards share one engine ID each
// keep their own, which the library's process-wide table (one entry per
// engine ID) cannot.
struct EngineClock {
  bool known = false;
  unsigned boots = 0;
  unsigned time = 0;  // seconds, at `at`
  std::chrono::steady_clock::time_point at;
};

// One open session of a walk. Closed (under the lock) when destroyed.
class Session {
 public:
  enum class Result {
    kAnswer,       // Request: *answer holds the response; Discover: *engine
                   // holds the engine ID
    kTimeout,      // no answer after the library's time-out and retries
    kSendFailed,   // the library could not send the request (ErrorText)
    kFailed,       // the library ended the request with an error that is
                   // neither a time-out nor a Report (a security error
                   // without a message, an answer that could not be copied)
    kDropped,      // the library let the request go without a word: no
                   // time-out pending, no answer
    kWaitFailed,   // waiting for the answer failed (poll)
    kRefused,      // an SNMPv3 Report ended the request (ErrorText): an
                   // authenticated one, or the probe's without an engine ID
    kNoReport,     // Discover: a response came, not the Report naming the
                   // engine
    kStopped,      // the wake descriptor became readable
    kDeadline,     // the deadline passed before an answer came
    kUndecodable,  // the peer answered the request with a datagram the
                   // library cannot parse (UndecodableText)
  };

  // Opens a session from the template to `library_peer` (from
  // LibraryPeerName), a host name in it looked up first (ToNumericPeer,
  // bounded by the template's time-out). On failure writes "<label>: <error
  // text>" to standard error and returns null; a stop during the lookup
  // returns null without a line. `wake_fd` (an eventfd) ends any wait of
  // this session when it becomes readable; -1 for none. `lookups`: the
  // device's own lookup slot (at most one lookup in flight), or null.
  static std::unique_ptr<Session> Open(netsnmp_session* templ,
                                       const char* library_peer,
                                       const char* label, int wake_fd,
                                       LookupSlot* lookups = nullptr);
  ~Session();
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  // Sends a request for one OID (GETBULK, or GETNEXT for SNMPv1) and waits
  // for its answer, the library's time-out and retries, a stop, or the
  // deadline, whichever comes first.
  Result Request(int command, const oid* name, size_t name_len,
                 long non_repeaters, long max_repetitions,
                 std::chrono::steady_clock::time_point deadline,
                 PduPtr* answer);

  // SNMPv3: learns the agent's engine ID with an unauthenticated probe
  // (kAnswer and *engine set when a Report brought one).
  Result Discover(std::chrono::steady_clock::time_point deadline,
                  std::vector<u_char>* engine);
  // SNMPv3: uses this engine ID and makes the session's own user for it,
  // with the keys of its configuration. That user is in the library's
  // process-wide table only during the session's own library calls; it is
  // freed (keys wiped) when the session closes. Likewise the engine's boots
  // and time are *clock's (the caller's, outliving the session) during the
  // session's calls, and what the agent's answers teach goes back there.
  void UseEngine(const std::vector<u_char>& engine, EngineClock* clock);
  // SNMPv3: forgets the engine's boots and time (an agent that restarted
  // with its boots unchanged is otherwise refused as "too old").
  void ForgetEngineTime();
  // After kUndecodable: what could not be decoded ("binding 17: IpAddress
  // of 0 octets").
  std::string UndecodableText() const;
  // What the hooks refused while the last request waited (answers from
  // another address, with another request id or community), for the line
  // after a time-out; empty for nothing.
  std::string RefusedMeanwhile() const;
  // The session's last error, as the library words it.
  std::string ErrorText();
  // The last unauthenticated Report the last request got ("wrong digests",
  // "unknown user name", ...), empty for none: such Reports never end an
  // authenticated request, but tell a wrong passphrase from a silent agent.
  std::string UnauthenticatedReport() const;

 private:
  struct Exchange;
  Session(void* handle, int sock, int wake_fd);
  static int OnAnswer(int op, netsnmp_session*, int reqid, netsnmp_pdu* pdu,
                      void* magic);
  bool Send(netsnmp_pdu* pdu);  // inside a LibraryCall; true: sent
  Result Wait(std::chrono::steady_clock::time_point deadline);

  void* handle_;
  int sock_;
  int wake_fd_;
  std::unique_ptr<Exchange> exchange_;
  struct usmUser* own_user_ = nullptr;  // SNMPv3: this session's user
  EngineClock* clock_ = nullptr;        // SNMPv3: its engine's time
};

}  // namespace inverter::snmp
