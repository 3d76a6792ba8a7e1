#include "snmp_session.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace inverter::snmp {
namespace {

std::once_flag g_library_once;
std::mutex g_library_mutex;  // guards open, close and the id counters

// The library matches a v1/v2c answer to its request by request id alone,
// whatever community the answer carries. An answer that is not for the
// session's community is not trusted: refused here, after parsing and
// before matching, so that the request waits on as if nothing had come.
int AcceptOwnCommunity(netsnmp_session* session, netsnmp_pdu* pdu, int) {
  return pdu->community_len == session->community_len &&
         (pdu->community_len == 0 ||
          std::memcmp(pdu->community, session->community, pdu->community_len) ==
              0);
}

}  // namespace

void EnsureLibrary() {
  std::call_once(g_library_once, [] {
    netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID,
                           NETSNMP_DS_LIB_DONT_LOAD_HOST_FILES, 1);
    netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID,
                           NETSNMP_DS_LIB_DONT_READ_CONFIGS, 1);
    netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID,
                           NETSNMP_DS_LIB_DISABLE_PERSISTENT_LOAD, 1);
    netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID,
                           NETSNMP_DS_LIB_DISABLE_PERSISTENT_SAVE, 1);
    // The first snmp_sess_init runs the library's one-time setup.
    netsnmp_session scratch;
    snmp_sess_init(&scratch);
  });
}

void InitTemplate(netsnmp_session* session) {
  EnsureLibrary();
  std::lock_guard<std::mutex> lock(g_library_mutex);
  snmp_sess_init(session);
}

void SessionCloser::operator()(void* handle) const {
  std::lock_guard<std::mutex> lock(g_library_mutex);
  snmp_sess_close(handle);
}

SessionPtr OpenSession(netsnmp_session* templ, const char* label) {
  EnsureLibrary();
  std::lock_guard<std::mutex> lock(g_library_mutex);
  // What snmp_sess_open does, with the community check added.
  templ->s_snmp_errno = 0;
  templ->s_errno = 0;
  void* handle = nullptr;
  netsnmp_transport* transport = netsnmp_tdomain_transport_full(
      "snmp", templ->peername, templ->local_port, "udp,udp6", nullptr);
  if (transport == nullptr) {
    templ->s_snmp_errno = SNMPERR_BAD_ADDRESS;
    templ->s_errno = errno;
    snmp_set_detail(templ->peername);
  } else {
    // Takes the transport, and closes it itself on failure.
    handle = snmp_sess_add(templ, transport, nullptr, &AcceptOwnCommunity);
  }
  if (handle == nullptr) {
    // The failed open leaves its error in the template, not in the
    // library's shared error state.
    char* text = nullptr;
    int lib_errno = 0, sys_errno = 0;
    snmp_error(templ, &sys_errno, &lib_errno, &text);
    std::fprintf(stderr, "%s: %s\n", label, text ? text : "unknown error");
    std::free(text);
  }
  return SessionPtr(handle);
}

netsnmp_pdu* CreatePdu(int command) {
  std::lock_guard<std::mutex> lock(g_library_mutex);
  return snmp_pdu_create(command);
}

}  // namespace inverter::snmp
