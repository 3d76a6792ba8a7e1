// The receive filters of a session, against hand-made sessions, transports,
// datagrams and PDUs: the sender, the SNMPv3 engine, the bound on bindings,
// the community, and the bound a request sets.

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "ber_binding_count.h"
#include "snmp_library_filters.h"

namespace {

using inverter::snmp::AnswerBound;

u_char kCommunity[] = {'v', 'a', 'r', 'n', 'e', 'l'};

netsnmp_session V2cSession(AnswerBound* bound) {
  netsnmp_session s{};
  s.version = SNMP_VERSION_2c;
  s.community = kCommunity;
  s.community_len = sizeof kCommunity;
  s.callback_magic = bound;
  return s;
}

// A v2c response "varnel" with request id `id` and three bindings (empty
// name, NULL).
std::vector<u_char> Response(u_char id) {
  std::vector<u_char> d = {0x30, 0x2a, 0x02, 0x01, 0x01, 0x04, 0x06, 'v',  'a',
                           'r',  'n',  'e',  'l',  0xa2, 0x1d, 0x02, 0x01, id,
                           0x02, 0x01, 0x00, 0x02, 0x01, 0x00, 0x30, 0x12};
  for (int i = 0; i < 3; ++i) d.insert(d.end(), {0x30, 0x04, 0x06, 0, 0x05, 0});
  return d;
}

sockaddr_in Address(const char* ip, uint16_t port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  inet_pton(AF_INET, ip, &a.sin_addr);
  return a;
}

TEST(ReceiveFilters, OnlyThePeersAddressAndPortAreParsed) {
  AnswerBound bound;
  netsnmp_session s = V2cSession(&bound);
  sockaddr_in peer = Address("127.0.0.1", 161);
  netsnmp_transport t{};
  t.remote = &peer;
  t.remote_length = sizeof peer;
  sockaddr_in same = peer, other_host = Address("127.0.0.2", 161),
              other_port = Address("127.0.0.1", 1161);
  EXPECT_EQ(inverter::snmp::FromPeerOnly(&s, &t, &same, sizeof same), 1);
  EXPECT_EQ(inverter::snmp::FromPeerOnly(&s, &t, &other_port, sizeof peer), 0);
  EXPECT_EQ(inverter::snmp::FromPeerOnly(&s, &t, &other_host, sizeof peer), 0);
  EXPECT_EQ(bound.other_address, 2u);
  EXPECT_EQ(bound.other_sender, "127.0.0.2:161");
  EXPECT_FALSE(inverter::snmp::SamePeer(&t, &same, sizeof same - 1));
}

TEST(ReceiveFilters, EngineCheckHoldsForSnmpV3WithAKnownEngineOnly) {
  netsnmp_session s{};
  const u_char junk[] = {0x30, 0x03, 0x02, 0x01, 0x03};
  s.version = SNMP_VERSION_2c;
  EXPECT_TRUE(inverter::snmp::ForTheSessionsEngine(&s, junk, sizeof junk));
  s.version = SNMP_VERSION_3;  // discovery: anything from the peer
  EXPECT_TRUE(inverter::snmp::ForTheSessionsEngine(&s, junk, sizeof junk));
  u_char engine[] = {0x80, 0, 0, 0, 1};
  s.securityEngineID = engine;
  s.securityEngineIDLen = sizeof engine;
  EXPECT_FALSE(inverter::snmp::ForTheSessionsEngine(&s, junk, sizeof junk));
}

TEST(ReceiveFilters, OurAnswerIsCutAtTheBoundAnyOtherWithMoreIsDropped) {
  AnswerBound bound;
  bound.reqid = 5;
  bound.most = 1;
  netsnmp_session s = V2cSession(&bound);
  std::vector<u_char> ours = Response(5);
  size_t length = ours.size();
  ASSERT_TRUE(inverter::snmp::WithinBound(&s, ours.data(), &length));
  EXPECT_EQ(length, ours.size() - 12);
  EXPECT_EQ(
      inverter::snmp::CountBindings(ours.data(), length, SIZE_MAX).bindings,
      1u);
  std::vector<u_char> other = Response(6);
  length = other.size();
  EXPECT_FALSE(inverter::snmp::WithinBound(&s, other.data(), &length));
  bound.most = 3;  // as many as are read: taken whole
  EXPECT_TRUE(inverter::snmp::WithinBound(&s, other.data(), &length));
  EXPECT_EQ(length, other.size());
}

TEST(ReceiveFilters, PostParseRefusesAnotherCommunityAndBoundsOurs) {
  AnswerBound bound;
  bound.reqid = 5;
  bound.most = 1;
  netsnmp_session s = V2cSession(&bound);
  inverter::snmp::PduPtr pdu(snmp_pdu_create(SNMP_MSG_RESPONSE));
  pdu->version = SNMP_VERSION_2c;
  pdu->reqid = 5;
  const oid name[] = {1, 3, 6};
  for (int i = 0; i < 3; ++i) snmp_add_null_var(pdu.get(), name, 3);
  pdu->community = static_cast<u_char*>(malloc(5));  // freed with the PDU
  std::memcpy(pdu->community, "other", 5);
  pdu->community_len = 5;
  using inverter::snmp::AcceptOwnCommunityWithinBound;
  EXPECT_EQ(AcceptOwnCommunityWithinBound(&s, pdu.get(), SNMPERR_SUCCESS), 0);
  EXPECT_EQ(bound.other_community, 1u);
  u_char other[] = {'o', 't', 'h', 'e', 'r'};
  s.community = other;  // now the session's
  s.community_len = sizeof other;
  EXPECT_EQ(AcceptOwnCommunityWithinBound(&s, pdu.get(), SNMPERR_SUCCESS), 1);
  EXPECT_EQ(pdu->variables->next_variable, nullptr);
  EXPECT_EQ(AcceptOwnCommunityWithinBound(&s, pdu.get(), SNMPERR_ASN_PARSE_ERR),
            0);
  pdu->reqid = 6;
  EXPECT_EQ(AcceptOwnCommunityWithinBound(&s, pdu.get(), SNMPERR_SUCCESS), 1);
  EXPECT_EQ(bound.other_id, 1u);
}

TEST(ReceiveFilters, MostBindingsIsMaxRepetitionsForEachBindingAsked) {
  inverter::snmp::PduPtr bulk(snmp_pdu_create(SNMP_MSG_GETBULK));
  const oid name[] = {1, 3, 6};
  snmp_add_null_var(bulk.get(), name, 3);
  snmp_add_null_var(bulk.get(), name, 3);
  bulk->non_repeaters = 1;
  bulk->max_repetitions = 10;
  EXPECT_EQ(inverter::snmp::MostBindings(*bulk), 20u);
  bulk->max_repetitions = 0;  // still the non-repeater's one
  EXPECT_EQ(inverter::snmp::MostBindings(*bulk), 1u);
  bulk->command = SNMP_MSG_GETNEXT;
  EXPECT_EQ(inverter::snmp::MostBindings(*bulk), 2u);
}

}  // namespace
