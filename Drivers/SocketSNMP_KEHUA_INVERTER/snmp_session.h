#pragma once
// Process-wide Net-SNMP support for devices that walk on their own threads.
// The library's first initialisation and its session and request id counters
// are not thread-safe, so initialisation runs once and opening, closing and
// PDU creation are serialised on one mutex; requests and answers run
// concurrently on separate single-session handles.

#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>

#include <memory>

namespace inverter::snmp {

// Initialises the library once per process, reading no configuration, MIB
// or per-host files. Safe to call from any thread.
void EnsureLibrary();

// Fills a session template with the library's defaults.
void InitTemplate(netsnmp_session* session);

struct PduDeleter {
  void operator()(netsnmp_pdu* pdu) const { snmp_free_pdu(pdu); }
};
using PduPtr = std::unique_ptr<netsnmp_pdu, PduDeleter>;

struct SessionCloser {
  void operator()(void* handle) const;
};
using SessionPtr = std::unique_ptr<void, SessionCloser>;

// Opens a single session from the template; on failure writes
// "<label>: <error text>" to standard error and returns null.
SessionPtr OpenSession(netsnmp_session* templ, const char* label);

// Creates a request PDU of the given command.
netsnmp_pdu* CreatePdu(int command);

}  // namespace inverter::snmp
