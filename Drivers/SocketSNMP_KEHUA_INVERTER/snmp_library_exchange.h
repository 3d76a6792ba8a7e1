#pragma once
// The state of a Session's request in flight, shared by the request loop
// (snmp_library_session.cpp) and its SNMPv3 half (snmp_library_v3.cpp).

#include <vector>

#include "snmp_library_filters.h"
#include "snmp_library_session.h"

namespace inverter::snmp {

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

}  // namespace inverter::snmp
