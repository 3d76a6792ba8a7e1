// Arbitrary bytes as an agent's answer to a walking device. The bytes are
// parsed by Net-SNMP's own parser, the way the library parses a datagram
// it receives (snmp_comstr_parse, then snmp_pdu_parse); an answer the
// library would hand over (parsed) goes to the walk's examination of an
// answer (ExamineAnswer). Nothing may crash, hang or trip a sanitizer; an
// answer with an error status ends the walk and stores nothing; otherwise
// the record changes only where the answer has a well-formed INTEGER or
// float binding inside the walked subtree for a reading's key (the last
// such binding of a key wins); the rest of the record stays as it was.
//
// Before parsing, the datagram goes through the driver's own INTEGER
// normaliser, as a received one does: it never grows, a second pass
// changes nothing, and wherever the datagram as sent parses (on this
// 64-bit build) the normalised one parses to the same request id, status
// and readings.
//
// The same bytes go to the driver's SNMPv3 header reader, which decides
// before parsing whether a datagram is for a session's engine: whatever it
// takes, the library's own BER primitives read as a header of the same
// engine, the way the library reads one; and it takes every header the
// library does that is laid out as an agent encodes one (each field inside
// the field around it, INTEGERs of at most four octets, an engine ID of at
// most 32).
//
// The driver's binding counter (ber_binding_count.cpp), which cuts an
// answer with more bindings than are read before the library parses it,
// reads both datagrams in place: with a limit it stops just past it and
// reads nothing else differently, and wherever the library parses a
// datagram the counter finds the same version, community, PDU type and
// request id, and as many bindings as the parsed PDU has; cut after the
// limit, the datagram parses to the same first bindings, never growing.
//
// Input: one byte choosing the OID the device asked for (its value modulo
// 20; 0: the subtree's base, k: base.k.0) and the counter's limit (its
// value divided by 20, 0 to 12), then the datagram.

#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "SNMP_KEHUA_INVERTER_Data.h"
#include "ber_binding_count.h"
#include "ber_integers.h"
#include "ber_v3_header.h"
#include "inverter_tables.h"
#include "walk_answer.h"

namespace {

using inverter::kSubtree;

void Fail(const char* what) {
  std::fprintf(stderr, "fuzz_answers: %s\n", what);
  std::abort();
}

// A v1/v2c datagram parsed the way the library parses one it receives, or
// null.
netsnmp_pdu* Parse(std::vector<u_char> datagram) {
  size_t length = datagram.size();
  u_char community[COMMUNITY_MAX_LEN];
  size_t community_len = sizeof community;
  long version = -1;
  u_char* rest = snmp_comstr_parse(datagram.data(), &length, community,
                                   &community_len, &version);
  if (rest == nullptr ||
      (version != SNMP_VERSION_1 && version != SNMP_VERSION_2c)) {
    return nullptr;
  }
  auto* pdu = static_cast<netsnmp_pdu*>(std::calloc(1, sizeof(netsnmp_pdu)));
  pdu->version = version;
  pdu->community = static_cast<u_char*>(std::malloc(community_len + 1));
  std::memcpy(pdu->community, community, community_len);
  pdu->community_len = community_len;
  if (snmp_pdu_parse(pdu, rest, &length) != 0) {
    snmp_free_pdu(pdu);
    return nullptr;
  }
  return pdu;
}

// The SNMPv3 header as the library reads it (snmpv3_parse, then the start
// of usm_parse_security_parameters), version 3 required: the engine ID, or
// false. *plain: laid out as an agent encodes it (see the top).
bool LibraryV3Header(std::vector<u_char> m, std::vector<u_char>* engine,
                     bool* plain) {
  u_char type = 0, flags[8], id[64];
  long version = 0, msgid = 0, max_size = 0, model = 0;
  size_t length = m.size(), flags_length = sizeof flags, id_length = sizeof id;
  bool short_integers = true;
  auto integer = [&](u_char* at, long* value) {
    u_char* next = asn_parse_int(at, &length, &type, value, sizeof *value);
    short_integers = short_integers && next != nullptr && next - at <= 6;
    return next;
  };
  u_char* d = asn_parse_sequence(m.data(), &length, &type, 0x30, "message");
  u_char* const end = d != nullptr ? d + length : nullptr;
  if (d == nullptr || (d = integer(d, &version)) == nullptr || version != 3)
    return false;
  size_t global_length = length;
  u_char* global = asn_parse_sequence(d, &global_length, &type, 0x30, "global");
  if (global == nullptr) return false;
  length -= static_cast<size_t>(global - d);
  if ((d = integer(global, &msgid)) == nullptr || msgid < 0 ||
      msgid > 0x7fffffff || (d = integer(d, &max_size)) == nullptr ||
      max_size < 484 || max_size > 0x7fffffff ||
      (d = asn_parse_string(d, &length, &type, flags, &flags_length)) ==
          nullptr ||
      type != ASN_OCTET_STR || flags_length != 1 || (flags[0] & 3) == 2 ||
      (d = integer(d, &model)) == nullptr || model != SNMP_SEC_MODEL_USM)
    return false;
  *plain = short_integers && d == global + global_length;
  size_t params_length = m.size() - static_cast<size_t>(d - m.data());
  u_char* p = asn_parse_sequence(d, &params_length, &type, 0x04, "params");
  if (p == nullptr) return false;
  *plain = *plain && p + params_length <= end;
  p = asn_parse_sequence(p, &params_length, &type, 0x30, "usm");
  if (p == nullptr ||
      asn_parse_string(p, &params_length, &type, id, &id_length) == nullptr ||
      type != ASN_OCTET_STR)
    return false;
  *plain = *plain && id_length <= 32;
  engine->assign(id, id + id_length);
  return true;
}

void CheckV3Header(const std::vector<u_char>& datagram) {
  const u_char* at = nullptr;
  size_t length = 0;
  const bool read = inverter::snmp::ReadV3EngineId(
      datagram.data(), datagram.size(), &at, &length);
  std::vector<u_char> engine;
  bool plain = false;
  const bool library = LibraryV3Header(datagram, &engine, &plain);
  if (read &&
      (at < datagram.data() || at + length > datagram.data() + datagram.size()))
    Fail("the SNMPv3 engine ID lies outside the datagram");
  if (read && (!library || engine != std::vector<u_char>(at, at + length)))
    Fail("the SNMPv3 header reader takes what the library reads otherwise");
  if (library && plain && !read)
    Fail("the SNMPv3 header reader refuses a header the library takes");
}

// The record as the answer should leave it.
void Expect(const netsnmp_pdu& pdu, SNMP_KEHUA_INVERTER_Data_t* record) {
  const size_t base = kSubtree.size();
  for (const netsnmp_variable_list* v = pdu.variables; v != nullptr;
       v = v->next_variable) {
    if (v->name_length <= base ||
        !std::equal(kSubtree.begin(), kSubtree.end(), v->name)) {
      continue;
    }
    const int reading = inverter::ReadingForKey(v->name[base]);
    if (reading < 0) continue;
    float value;
    if (v->type == ASN_INTEGER && v->val.integer != nullptr &&
        v->val_len == sizeof(long)) {
      value = static_cast<float>(*v->val.integer);
    } else if ((v->type == ASN_OPAQUE_FLOAT || v->type == ASN_FLOAT) &&
               v->val.floatVal != nullptr && v->val_len == sizeof(float)) {
      std::memcpy(&value, v->val.floatVal, sizeof value);
    } else {
      continue;
    }
    record->readings[reading] = value;
  }
}

// The counter on `datagram` with and without a limit, against the
// library's parse of it (null where the library refuses it).
void CheckCount(const std::vector<u_char>& datagram, const netsnmp_pdu* pdu,
                size_t limit) {
  using inverter::snmp::CountBindings;
  const auto all = CountBindings(datagram.data(), datagram.size(), SIZE_MAX);
  const auto some = CountBindings(datagram.data(), datagram.size(), limit);
  const auto same_header = [](const inverter::snmp::BindingCount& a,
                              const inverter::snmp::BindingCount& b) {
    return a.read == b.read &&
           (!a.read ||
            (a.version == b.version && a.community == b.community &&
             a.community_length == b.community_length &&
             a.pdu_type == b.pdu_type && a.request_id == b.request_id));
  };
  if (!same_header(all, some) ||
      some.bindings != std::min(all.bindings, limit + 1)) {
    Fail("a limit changed the count otherwise than stopping past it");
  }
  if (pdu == nullptr) return;
  size_t parsed = 0;
  for (const netsnmp_variable_list* v = pdu->variables; v != nullptr;
       v = v->next_variable) {
    ++parsed;
  }
  if (!all.read || all.bindings != parsed || all.version != pdu->version ||
      all.pdu_type != pdu->command || all.request_id != pdu->reqid ||
      all.community_length != pdu->community_len ||
      std::memcmp(all.community, pdu->community, pdu->community_len) != 0) {
    Fail("the counter reads a datagram otherwise than the library");
  }
  // Cut after `limit` bindings, it reads as its first `limit` bindings.
  std::vector<u_char> cut = datagram;
  cut.resize(inverter::snmp::CutBindings(cut.data(), cut.size(), limit));
  if (cut.size() > datagram.size()) Fail("the cut grew a datagram");
  if (cut.size() == datagram.size() && parsed > limit) return;  // refused
  netsnmp_pdu* kept = Parse(cut);
  const netsnmp_variable_list* a = pdu->variables;
  const netsnmp_variable_list* b = kept != nullptr ? kept->variables : nullptr;
  size_t n = 0;
  for (; a != nullptr && b != nullptr;
       a = a->next_variable, b = b->next_variable, ++n) {
    if (a->type != b->type ||
        snmp_oid_compare(a->name, a->name_length, b->name, b->name_length) != 0)
      Fail("a cut datagram's binding differs");
  }
  if (kept == nullptr || b != nullptr || n != std::min(parsed, limit) ||
      kept->reqid != pdu->reqid || kept->errstat != pdu->errstat)
    Fail("a cut datagram reads otherwise than its first bindings");
  snmp_free_pdu(kept);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  // The OID asked for.
  inverter::WalkCursor cursor;
  if (data[0] % 20 != 0) {
    cursor.name[cursor.length++] = data[0] % 20;
    cursor.name[cursor.length++] = 0;
  }

  std::vector<u_char> datagram(data + 1, data + size);
  CheckV3Header(datagram);
  std::vector<u_char> normalised = datagram;
  normalised.resize(
      inverter::snmp::NormaliseIntegers(normalised.data(), normalised.size()));
  if (normalised.size() > datagram.size())
    Fail("the normaliser grew a datagram");
  std::vector<u_char> twice = normalised;
  if (inverter::snmp::NormaliseIntegers(twice.data(), twice.size()) !=
          normalised.size() ||
      twice != normalised) {
    Fail("a second normalisation changed the datagram");
  }
  netsnmp_pdu* as_sent = Parse(datagram);
  netsnmp_pdu* pdu = Parse(normalised);
  CheckCount(datagram, as_sent, data[0] / 20);
  CheckCount(normalised, pdu, data[0] / 20);
  if (as_sent != nullptr) {  // same id, status and readings
    SNMP_KEHUA_INVERTER_Data_t a{}, b{};
    if (pdu != nullptr) Expect(*as_sent, &a), Expect(*pdu, &b);
    if (pdu == nullptr || pdu->reqid != as_sent->reqid ||
        pdu->errstat != as_sent->errstat || std::memcmp(&a, &b, sizeof a) != 0)
      Fail("the normalised datagram reads differently");
    snmp_free_pdu(as_sent);
  }
  if (pdu == nullptr) return 0;

  // Known readings before, so that any change shows.
  SNMP_KEHUA_INVERTER_Data_t record;
  auto* bytes = reinterpret_cast<unsigned char*>(&record);
  for (unsigned i = 0; i < sizeof record; ++i) {
    bytes[i] = static_cast<unsigned char>(0xa5 ^ i);
  }
  SNMP_KEHUA_INVERTER_Data_t expected = record;
  const bool error_status = pdu->errstat != SNMP_ERR_NOERROR;
  if (!error_status) Expect(*pdu, &expected);  // else nothing is stored

  const inverter::Examined examined =
      inverter::ExamineAnswer(*pdu, &cursor, &record);
  snmp_free_pdu(pdu);
  if (std::memcmp(&record, &expected, sizeof record) != 0) {
    Fail("the record differs from the answer's well-formed readings");
  }
  if (cursor.length < kSubtree.size() || cursor.length > MAX_OID_LEN) {
    Fail("the next OID to ask is out of range");
  }
  if (examined.walk_on && (examined.cut != nullptr || error_status))
    Fail("a cut walk, or one answered with an error status, goes on");
  return 0;
}
