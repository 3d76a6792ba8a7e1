// The door to the Net-SNMP library: its lock and user-table swap, its log
// handler and start-up, key derivation, OID compare and PDU ownership.
#include "snmp_library.h"

#include <dlfcn.h>

#include <cstdio>
#include <cstring>

#include "log_budget.h"

namespace inverter::snmp {
namespace {

std::once_flag g_library_once;
// Every call into the library runs under this lock (see the header), taken
// by a LibraryCall only.
std::mutex g_library_mutex;

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

}  // namespace

// usm_free_user unlinks through the user's own next/prev, which
// usm_remove_user leaves pointing into the list; followed, they would
// corrupt it.
void FreeUser(usmUser* user) {
  user->next = user->prev = nullptr;
  if (user->authKey) explicit_bzero(user->authKey, user->authKeyLen);
  if (user->privKey) explicit_bzero(user->privKey, user->privKeyLen);
  usm_free_user(user);
}

LibraryCall::LibraryCall(usmUser* user, EngineClock* clock)
    : lock_(g_library_mutex), user_(user), clock_(clock) {
  if (user_ == nullptr) return;
  usm_add_user(user_);
  if (clock_ == nullptr) return;
  unsigned now = 0;
  if (clock_->known) {
    now = clock_->time + static_cast<unsigned>(
                             std::chrono::duration_cast<std::chrono::seconds>(
                                 std::chrono::steady_clock::now() - clock_->at)
                                 .count());
  }
  // Unknown: boots and time 0, which the agent answers with a Report of
  // its own time, on which the library resends.
  set_enginetime(user_->engineID, static_cast<u_int>(user_->engineIDLen),
                 clock_->boots, now, clock_->known ? TRUE : FALSE);
}

LibraryCall::~LibraryCall() {
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

void PduDeleter::operator()(netsnmp_pdu* pdu) const {
  LibraryCall call;
  snmp_free_pdu(pdu);
}

int DeriveUsmKey(const oid* auth, size_t auth_len,
                 const std::string& passphrase, u_char* key, size_t* key_len) {
  LibraryCall call;
  return generate_Ku(auth, auth_len,
                     reinterpret_cast<const u_char*>(passphrase.data()),
                     passphrase.size(), key, key_len);
}

const oid* AuthProtocolOid(int type, size_t* len) {
  LibraryCall call;
  return sc_get_auth_oid(type, len);
}

const oid* PrivProtocolOid(int type, size_t* len) {
  LibraryCall call;
  return sc_get_priv_oid(type, len);
}

int CompareOids(const oid* a, size_t a_len, const oid* b, size_t b_len) {
  return snmp_oid_compare(a, a_len, b, b_len);
}

}  // namespace inverter::snmp
