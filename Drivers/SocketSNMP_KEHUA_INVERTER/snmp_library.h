#pragma once
// The door to the Net-SNMP library: the driver's other files reach the
// library through this header and the snmp_library_* files only (a test of
// the suite, tests/plugin/check_library_door.cmake, holds them to it).
//
// Debian's library does no locking of its own: its id counters, statistics,
// error state and (for SNMPv3) user and engine-time caches are shared by
// every session in the process. Every library call of a walk therefore runs
// under one process-wide lock (LibraryCall), and only the wait for an answer
// runs outside it, so that many devices wait on their inverters at the same
// time.

#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>
// After the two above, which it needs.
#include <net-snmp/library/large_fd_set.h>

#include <chrono>
#include <cstddef>
#include <memory>
#include <mutex>
#include <string>

namespace inverter::snmp {

// Initialises the library once per process, reading no configuration, MIB
// or per-host files; its log lines reach standard error at most a few a
// minute. Safe to call from any thread.
void EnsureLibrary();

// Prepares the library for SNMPv3 sessions, once per process.
void EnsureSnmpV3();

// Fills a session template with the library's defaults.
void InitTemplate(netsnmp_session* session);

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
  explicit LibraryCall(usmUser* user = nullptr, EngineClock* clock = nullptr);
  ~LibraryCall();
  LibraryCall(const LibraryCall&) = delete;
  LibraryCall& operator=(const LibraryCall&) = delete;

 private:
  std::lock_guard<std::mutex> lock_;
  usmUser* user_;
  EngineClock* clock_;
};

// Frees a user that is in no list, its keys wiped first. Inside a
// LibraryCall.
void FreeUser(usmUser* user);

// Key derivation, under the library lock: the library's key from a
// passphrase (`generate_Ku`) with the authentication protocol `auth`;
// SNMPERR_SUCCESS and *key_len set, or the library's error. A derivation
// costs a few milliseconds, once per configuration: other devices' calls
// into the library wait that long, which is acceptable.
int DeriveUsmKey(const oid* auth, size_t auth_len,
                 const std::string& passphrase, u_char* key, size_t* key_len);
// The library's OID of an authentication or privacy protocol
// (NETSNMP_USMAUTH_*, USM_CREATE_USER_PRIV_*), or null when this build has
// none; *len its length. Under the library lock.
const oid* AuthProtocolOid(int type, size_t* len);
const oid* PrivProtocolOid(int type, size_t* len);

// The library's order of OIDs (negative, 0, positive). A pure function of
// its arguments: no lock needed, and none taken (a walk compares OIDs of an
// answer it owns, outside any library call).
int CompareOids(const oid* a, size_t a_len, const oid* b, size_t b_len);

}  // namespace inverter::snmp
