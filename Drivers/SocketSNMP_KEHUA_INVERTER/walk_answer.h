#pragma once
// The examination of one answer of a walk: which of its bindings fill
// readings, whether the walk goes on, and from which OID.

#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>

#include <cstddef>

#include "SNMP_KEHUA_INVERTER_Data.h"

namespace inverter {

// The OID a walk asks for next; a new cursor stands at the subtree.
struct WalkCursor {
  WalkCursor();
  oid name[MAX_OID_LEN];
  size_t length;
};

struct Examined {
  bool walk_on;            // ask again, from the cursor
  const char* cut;         // why the walk was cut short (an agent that
                           // misbehaves), or null
  bool comm_status_given;  // a binding filled the communication status
  // The walk ended other than normally (at a binding past the subtree or at
  // endOfMibView, in an answer without error status): its readings are
  // stale.
  bool early;
  // The noSuchObject or noSuchInstance inside the subtree that ended the
  // walk, or null (points into the answer).
  const netsnmp_variable_list* exception;
};

// Examines `answer`, storing the values of its bindings inside the subtree
// into record->readings and moving the cursor past its last binding. The
// walk ends on an error status, an answer without bindings, a binding
// outside the subtree, an exception (noSuchObject, noSuchInstance,
// endOfMibView) or an OID that does not increase; every end but a binding
// outside the subtree and endOfMibView is an early one.
Examined ExamineAnswer(const netsnmp_pdu& answer, WalkCursor* cursor,
                       SNMP_KEHUA_INVERTER_Data_t* record);

}  // namespace inverter
