// The examination of one answer of a walk.
#include "walk_answer.h"

#include <algorithm>
#include <cstring>

#include "inverter_tables.h"

namespace inverter {
namespace {

bool InSubtree(const netsnmp_variable_list& var) {
  return var.name_length >= kSubtree.size() &&
         std::equal(kSubtree.begin(), kSubtree.end(), var.name);
}

bool IsException(u_char type) {
  return type == SNMP_NOSUCHOBJECT || type == SNMP_NOSUCHINSTANCE ||
         type == SNMP_ENDOFMIBVIEW;
}

// Stores the value of a binding inside the subtree into its reading, if
// the binding names one and holds a well-formed INTEGER or float; returns
// the reading stored, or -1.
int Store(const netsnmp_variable_list& var,
          SNMP_KEHUA_INVERTER_Data_t* record) {
  if (var.name_length <= kSubtree.size()) return -1;
  const int reading = ReadingForKey(var.name[kSubtree.size()]);
  if (reading < 0) return -1;
  float value;
  switch (var.type) {
    case ASN_INTEGER:
      if (var.val.integer == nullptr || var.val_len != sizeof(long)) return -1;
      value = static_cast<float>(*var.val.integer);
      break;
    case ASN_FLOAT:         // a plain float, as it comes
    case ASN_OPAQUE_FLOAT:  // the Opaque-wrapped float agents send
      if (var.val.floatVal == nullptr || var.val_len != sizeof(float))
        return -1;
      std::memcpy(&value, var.val.floatVal, sizeof value);
      break;
    default:  // other types leave the reading unchanged
      return -1;
  }
  record->readings[reading] = value;
  return reading;
}

}  // namespace

WalkCursor::WalkCursor() : name{}, length(kSubtree.size()) {
  std::copy(kSubtree.begin(), kSubtree.end(), name);
}

Examined ExamineAnswer(const netsnmp_pdu& answer, WalkCursor* cursor,
                       SNMP_KEHUA_INVERTER_Data_t* record) {
  Examined out{answer.errstat == SNMP_ERR_NOERROR, nullptr, false, false,
               nullptr};
  out.early = !out.walk_on;
  if (!out.walk_on) return out;  // stores nothing
  if (answer.variables == nullptr) {
    out.walk_on = false;
    out.early = true;
    out.cut = "answer without bindings";
    return out;
  }
  // Each value inside the subtree must lie past the OID asked for and past
  // the binding before it; an agent that repeats or goes back would
  // otherwise be asked the same question for ever.
  oid last[MAX_OID_LEN];
  size_t last_len = cursor->length;
  std::copy(cursor->name, cursor->name + cursor->length, last);

  for (const netsnmp_variable_list* var = answer.variables; var != nullptr;
       var = var->next_variable) {
    if (!InSubtree(*var)) {
      out.walk_on = false;
      continue;
    }
    if (Store(*var, record) == static_cast<int>(kCommStatusReading))
      out.comm_status_given = true;
    if (IsException(var->type)) {
      if (out.walk_on && var->type != SNMP_ENDOFMIBVIEW) {
        out.early = true;
        out.exception = var;
      }
      out.walk_on = false;
      continue;
    }
    if (snmp_oid_compare(var->name, var->name_length, last, last_len) <= 0) {
      out.cut = "OID not increasing";
      out.early = true;
      out.walk_on = false;
    }
    last_len = std::min<size_t>(var->name_length, MAX_OID_LEN);
    std::copy(var->name, var->name + last_len, last);
    if (var->next_variable == nullptr) {
      std::copy(last, last + last_len, cursor->name);
      cursor->length = last_len;
    }
  }
  return out;
}

}  // namespace inverter
