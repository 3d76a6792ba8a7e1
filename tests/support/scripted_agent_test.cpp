// Tests of the scripted SNMP agent: what it decodes, answers and encodes.
#include "scripted_agent.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <stdexcept>

#include "inverter_tables.h"

namespace tarn::test {
namespace {

using std::chrono::milliseconds;

const Oid kRoot(inverter::kSubtree.begin(), inverter::kSubtree.end());

Oid Leaf(oid k) {
  Oid o = kRoot;
  o.push_back(k);
  o.push_back(0);
  return o;
}

struct PduDeleter {
  void operator()(netsnmp_pdu* p) const { snmp_free_pdu(p); }
};
using PduPtr = std::unique_ptr<netsnmp_pdu, PduDeleter>;

// Minimal client on the single-session API.
class Client {
 public:
  Client(const std::string& peer, milliseconds timeout,
         const std::string& community = "public") {
    EnsureNetSnmpInitialised();
    netsnmp_session s;
    snmp_sess_init(&s);
    s.version = SNMP_VERSION_2c;
    s.peername = const_cast<char*>(peer.c_str());  // copied by open
    s.community =
        reinterpret_cast<u_char*>(const_cast<char*>(community.c_str()));
    s.community_len = community.size();
    s.timeout = static_cast<long>(timeout.count()) * 1000;
    s.retries = 0;
    handle_ = snmp_sess_open(&s);
    if (handle_ == nullptr) throw std::runtime_error("snmp_sess_open failed");
  }
  ~Client() { snmp_sess_close(handle_); }
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;

  // Sends one request for `name`; returns the status and the response.
  int Send(int command, const Oid& name, PduPtr* response) {
    netsnmp_pdu* pdu = snmp_pdu_create(command);
    if (command == SNMP_MSG_GETBULK) {
      pdu->non_repeaters = 1;
      pdu->max_repetitions = 100;
    }
    snmp_add_null_var(pdu, name.data(), name.size());
    netsnmp_pdu* raw = nullptr;
    // The request PDU is consumed by the library in every case.
    const int status = snmp_sess_synch_response(handle_, pdu, &raw);
    response->reset(raw);  // the response is ours
    return status;
  }

 private:
  void* handle_ = nullptr;
};

Reply Fixed(const Value& v) { return Reply::Answer({{Leaf(2), v}}); }

Script Always(Reply r) {
  return [r](const Request&) { return r; };
}

TEST(OidTest, ParsesAndOrdersLikeSnmp) {
  EXPECT_EQ(ParseOid(".1.3.6.1"), (Oid{1, 3, 6, 1}));
  EXPECT_EQ(OidToString(Leaf(17)), "1.3.6.1.4.1.44782.4.6.1.1.17.0");
  EXPECT_THROW(ParseOid("1..3"), std::invalid_argument);
  EXPECT_THROW(ParseOid("1.x"), std::invalid_argument);
  EXPECT_THROW(ParseOid(""), std::invalid_argument);
  OidLess less;
  EXPECT_TRUE(less(Leaf(2), Leaf(10)));  // numeric, not textual
  EXPECT_TRUE(less(kRoot, Leaf(2)));     // a prefix comes first
  EXPECT_FALSE(less(Leaf(3), Leaf(3)));
}

TEST(TableScriptTest, AnswersLikeAnAgent) {
  Table table{
      {Leaf(2), Integer(1)}, {Leaf(3), Integer(2)}, {Leaf(10), Integer(3)}};
  Request req;
  req.parsed = true;
  req.command = SNMP_MSG_GETBULK;
  req.non_repeaters = 0;
  req.max_repetitions = 5;
  req.oids = {kRoot};
  Reply r = AnswerFromTable(table, req);
  ASSERT_EQ(r.bindings.size(), 4u);  // three rows, then endOfMibView
  EXPECT_EQ(r.bindings[2].name, Leaf(10));
  EXPECT_EQ(r.bindings[3].value.type, SNMP_ENDOFMIBVIEW);

  req.command = SNMP_MSG_GETNEXT;
  req.oids = {Leaf(3)};
  r = AnswerFromTable(table, req);
  ASSERT_EQ(r.bindings.size(), 1u);
  EXPECT_EQ(r.bindings[0].name, Leaf(10));

  req.command = SNMP_MSG_GET;
  req.oids = {Leaf(3), Leaf(4)};
  r = AnswerFromTable(table, req);
  ASSERT_EQ(r.bindings.size(), 2u);
  EXPECT_EQ(r.bindings[0].value.integer, 2);
  EXPECT_EQ(r.bindings[1].value.type, SNMP_NOSUCHOBJECT);
}

TEST(ScriptedAgentTest, BulkWalkGetsOneBindingPerRequest) {
  Table table;
  for (oid k = 2; k <= 17; ++k) {
    table[Leaf(k)] = Integer(static_cast<std::int32_t>(k) * 100 - 1000);
  }
  Oid outside = kRoot;  // the first object after the subtree
  ++outside.back();
  outside.push_back(0);
  table[outside] = Integer(7);
  ScriptedAgent agent(TableScript(table, "public"));
  Client client(agent.peer(), milliseconds(1000));

  Oid next = kRoot;
  std::vector<long> values;
  for (int i = 0; i < 40; ++i) {
    PduPtr resp;
    ASSERT_EQ(client.Send(SNMP_MSG_GETBULK, next, &resp), STAT_SUCCESS);
    ASSERT_EQ(resp->errstat, SNMP_ERR_NOERROR);
    netsnmp_variable_list* v = resp->variables;
    ASSERT_NE(v, nullptr);
    ASSERT_EQ(v->next_variable, nullptr);
    Oid name(v->name, v->name + v->name_length);
    if (snmp_oidtree_compare(kRoot.data(), kRoot.size(), v->name,
                             v->name_length) != 0) {
      break;
    }
    ASSERT_EQ(v->type, ASN_INTEGER);
    values.push_back(*v->val.integer);
    next = name;
  }
  ASSERT_EQ(values.size(), 16u);
  EXPECT_EQ(values.front(), -800);
  EXPECT_EQ(values.back(), 700);

  ASSERT_TRUE(agent.WaitForRequests(17, milliseconds(1000)));
  const auto log = agent.requests();
  ASSERT_EQ(log.size(), 17u);
  for (size_t i = 0; i < log.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_TRUE(log[i].parsed);
    EXPECT_EQ(log[i].version, SNMP_VERSION_2c);
    EXPECT_EQ(log[i].community, "public");
    EXPECT_EQ(log[i].command, SNMP_MSG_GETBULK);
    EXPECT_EQ(log[i].non_repeaters, 1);
    EXPECT_EQ(log[i].max_repetitions, 100);
    ASSERT_EQ(log[i].oids.size(), 1u);
    EXPECT_EQ(log[i].oids[0], i == 0 ? kRoot : Leaf(static_cast<oid>(i + 1)));
  }
  EXPECT_NE(log[0].request_id, log[1].request_id);
  EXPECT_TRUE(agent.WaitForResponses(17, milliseconds(1000)));
  EXPECT_EQ(agent.responses_sent(), 17u);
  EXPECT_TRUE(agent.errors().empty());
}

TEST(ScriptedAgentTest, OpaqueFloatArrivesAsOpaqueFloatWithExactBits) {
  const float f = 49.9f;
  const auto bytes = EncodeResponse(1, "public", {{Leaf(2), OpaqueFloat(f)}});
  u_char be[4];
  std::uint32_t bits;
  std::memcpy(&bits, &f, 4);
  for (int i = 0; i < 4; ++i) be[i] = static_cast<u_char>(bits >> (24 - 8 * i));
  const std::vector<u_char> wire{0x44,  0x07,  0x9f,  0x78, 0x04,
                                 be[0], be[1], be[2], be[3]};
  ASSERT_GE(bytes.size(), wire.size());
  EXPECT_TRUE(std::equal(wire.begin(), wire.end(), bytes.end() - 9));

  ScriptedAgent agent(Always(Fixed(OpaqueFloat(f))));
  Client client(agent.peer(), milliseconds(1000));
  PduPtr resp;
  ASSERT_EQ(client.Send(SNMP_MSG_GETBULK, kRoot, &resp), STAT_SUCCESS);
  ASSERT_NE(resp->variables, nullptr);
  EXPECT_EQ(resp->variables->type, ASN_OPAQUE_FLOAT);
  std::uint32_t got;
  std::memcpy(&got, resp->variables->val.floatVal, 4);
  EXPECT_EQ(got, bits);

  agent.SetScript(Always(Fixed(OpaqueDouble(-0.125))));
  ASSERT_EQ(client.Send(SNMP_MSG_GETBULK, kRoot, &resp), STAT_SUCCESS);
  ASSERT_NE(resp->variables, nullptr);
  EXPECT_EQ(resp->variables->type, ASN_OPAQUE_DOUBLE);
  EXPECT_EQ(*resp->variables->val.doubleVal, -0.125);
}

TEST(ScriptedAgentTest, OtherValueTypesAndErrorsArrive) {
  ScriptedAgent agent(Always(Fixed(NoSuchInstance())));
  Client client(agent.peer(), milliseconds(1000));
  PduPtr resp;
  ASSERT_EQ(client.Send(SNMP_MSG_GETBULK, kRoot, &resp), STAT_SUCCESS);
  ASSERT_NE(resp->variables, nullptr);
  EXPECT_EQ(resp->variables->type, SNMP_NOSUCHINSTANCE);

  agent.SetScript(Always(Fixed(EndOfMibView())));
  ASSERT_EQ(client.Send(SNMP_MSG_GETBULK, kRoot, &resp), STAT_SUCCESS);
  EXPECT_EQ(resp->variables->type, SNMP_ENDOFMIBVIEW);

  agent.SetScript(Always(Fixed(Integer(-5))));
  ASSERT_EQ(client.Send(SNMP_MSG_GETBULK, kRoot, &resp), STAT_SUCCESS);
  EXPECT_EQ(resp->variables->type, ASN_INTEGER);
  EXPECT_EQ(*resp->variables->val.integer, -5);

  agent.SetScript(Always(Fixed(Gauge32(4000000000u))));
  ASSERT_EQ(client.Send(SNMP_MSG_GETBULK, kRoot, &resp), STAT_SUCCESS);
  EXPECT_EQ(resp->variables->type, ASN_GAUGE);
  EXPECT_EQ(static_cast<unsigned long>(*resp->variables->val.integer),
            4000000000ul);

  agent.SetScript(Always(Fixed(OctetString("UPS-01"))));
  ASSERT_EQ(client.Send(SNMP_MSG_GETBULK, kRoot, &resp), STAT_SUCCESS);
  EXPECT_EQ(resp->variables->type, ASN_OCTET_STR);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(resp->variables->val.string),
                        resp->variables->val_len),
            "UPS-01");

  agent.SetScript(Always(Reply::Error(SNMP_ERR_GENERR, 1, {{kRoot, Null()}})));
  ASSERT_EQ(client.Send(SNMP_MSG_GETBULK, kRoot, &resp), STAT_SUCCESS);
  EXPECT_EQ(resp->errstat, SNMP_ERR_GENERR);
  EXPECT_EQ(resp->errindex, 1);

  agent.SetScript(Always(Reply::Empty()));
  ASSERT_EQ(client.Send(SNMP_MSG_GETBULK, kRoot, &resp), STAT_SUCCESS);
  EXPECT_EQ(resp->variables, nullptr);
}

TEST(ScriptedAgentTest, DropDelayAndWrongRequestIdTimeOut) {
  ScriptedAgent agent(Always(Reply::Drop()));
  Client client(agent.peer(), milliseconds(200));
  PduPtr resp;
  EXPECT_EQ(client.Send(SNMP_MSG_GETBULK, kRoot, &resp), STAT_TIMEOUT);
  EXPECT_EQ(agent.request_count(), 1u);

  agent.SetScript(Always(Fixed(Integer(1)).Delayed(milliseconds(500))));
  EXPECT_EQ(client.Send(SNMP_MSG_GETBULK, kRoot, &resp), STAT_TIMEOUT);

  agent.SetScript([](const Request& r) {
    return Fixed(Integer(1)).WithRequestId(r.request_id + 1);
  });
  EXPECT_EQ(client.Send(SNMP_MSG_GETBULK, kRoot, &resp), STAT_TIMEOUT);

  agent.SetScript(Always(Fixed(Integer(1)).WithCommunity("other")));
  // Net-SNMP's client does not check the community of an answer.
  ASSERT_EQ(client.Send(SNMP_MSG_GETBULK, kRoot, &resp), STAT_SUCCESS);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(resp->community),
                        resp->community_len),
            "other");

  // A stale answer first, then the right one: the client keeps the latter.
  agent.SetScript([](const Request& r) {
    return Reply::Sequence(
        {Fixed(Integer(1)).WithRequestId(r.request_id - 1), Fixed(Integer(2))});
  });
  ASSERT_EQ(client.Send(SNMP_MSG_GETBULK, kRoot, &resp), STAT_SUCCESS);
  EXPECT_EQ(*resp->variables->val.integer, 2);
}

TEST(ScriptedAgentTest, RawDatagrams) {
  ScriptedAgent agent([](const Request& r) {
    auto bytes =
        EncodeResponse(r.request_id, r.community, {{Leaf(2), Integer(1234)}});
    bytes.resize(bytes.size() - 3);  // truncated
    return Reply::Raw(bytes);
  });
  Client client(agent.peer(), milliseconds(200));
  PduPtr resp;
  EXPECT_EQ(client.Send(SNMP_MSG_GETBULK, kRoot, &resp), STAT_TIMEOUT);
  EXPECT_TRUE(agent.WaitForResponses(1, milliseconds(1000)));

  // Hand-written BER that is well formed is accepted ...
  agent.SetScript([](const Request& r) {
    return Reply::Raw(
        BuildRawResponse(r.request_id, r.community,
                         {{Leaf(2), ASN_INTEGER, BerIntegerContent(-129)}}));
  });
  ASSERT_EQ(client.Send(SNMP_MSG_GETBULK, kRoot, &resp), STAT_SUCCESS);
  ASSERT_NE(resp->variables, nullptr);
  EXPECT_EQ(*resp->variables->val.integer, -129);

  // ... and a bare Float tag (0x48) makes the library reject the answer.
  agent.SetScript([](const Request& r) {
    return Reply::Raw(
        BuildRawResponse(r.request_id, r.community,
                         {{Leaf(2), 0x48, {0x42, 0x47, 0x99, 0x9a}}}));
  });
  EXPECT_EQ(client.Send(SNMP_MSG_GETBULK, kRoot, &resp), STAT_TIMEOUT);
}

TEST(ScriptedAgentTest, AnswersAsLongAsADatagramAllows) {
  // 2,800 encoded bindings of 13 arcs, and 10,000 of the shortest kind
  // (an empty name, which the library reads as "0", and NULL).
  ScriptedAgent agent(
      Always(Reply::Answer(NumberedBindings(Leaf(2), 1, 2800, Integer(23)))));
  Client client(agent.peer(), milliseconds(2000));
  const auto count = [](const netsnmp_pdu& p) {
    size_t n = 0;
    for (auto* v = p.variables; v != nullptr; v = v->next_variable) ++n;
    return n;
  };
  PduPtr resp;
  ASSERT_EQ(client.Send(SNMP_MSG_GETBULK, kRoot, &resp), STAT_SUCCESS);
  EXPECT_EQ(count(*resp), 2800u);
  Oid last = Leaf(2);
  last.push_back(2800);
  auto* v = resp->variables;
  while (v->next_variable != nullptr) v = v->next_variable;
  EXPECT_EQ(Oid(v->name, v->name + v->name_length), last);
  agent.SetScript([](const Request& r) {
    return Reply::Raw(BuildRawResponse(
        r.request_id, r.community,
        std::vector<RawBinding>(10000, RawBinding{{}, ASN_NULL, {}}), 0, 0,
        r.version));
  });
  ASSERT_EQ(client.Send(SNMP_MSG_GETBULK, kRoot, &resp), STAT_SUCCESS);
  EXPECT_EQ(count(*resp), 10000u);
  EXPECT_EQ(Oid(resp->variables->name,
                resp->variables->name + resp->variables->name_length),
            Oid{0});
}

TEST(ScriptedAgentTest, EncoderMatchesHandWrittenBer) {
  const std::vector<Binding> b{{Leaf(2), Integer(-129)}};
  EXPECT_EQ(
      EncodeResponse(0x1234, "public", b, 0, 0),
      BuildRawResponse(0x1234, "public",
                       {{Leaf(2), ASN_INTEGER, BerIntegerContent(-129)}}));
  EXPECT_EQ(BerIntegerContent(0), std::vector<u_char>{0x00});
  EXPECT_EQ(BerIntegerContent(128), (std::vector<u_char>{0x00, 0x80}));
  EXPECT_EQ(BerIntegerContent(-1), std::vector<u_char>{0xff});
}

TEST(ScriptedAgentTest, UndecodableDatagramIsLoggedNotAnswered) {
  ScriptedAgent agent(Always(Fixed(Integer(1))));
  const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
  ASSERT_GE(fd, 0);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  to.sin_port = htons(agent.port());
  const u_char junk[] = {0x30, 0x03, 0x02, 0x01};
  const ssize_t n = ::sendto(fd, junk, sizeof junk, 0,
                             reinterpret_cast<sockaddr*>(&to), sizeof to);
  ::close(fd);
  ASSERT_EQ(n, static_cast<ssize_t>(sizeof junk));
  ASSERT_TRUE(agent.WaitForRequests(1, milliseconds(1000)));
  const auto log = agent.requests();
  EXPECT_FALSE(log[0].parsed);
  EXPECT_EQ(log[0].datagram, std::vector<u_char>(junk, junk + sizeof junk));
  EXPECT_EQ(agent.responses_sent(), 0u);
}

TEST(ScriptedAgentTest, ServesIpv6Loopback) {
  std::unique_ptr<ScriptedAgent> agent;
  try {
    agent = std::make_unique<ScriptedAgent>(Always(Fixed(Integer(6))),
                                            ScriptedAgent::Family::kIPv6);
  } catch (const std::runtime_error& e) {
    GTEST_SKIP() << "no IPv6 loopback: " << e.what();
  }
  Client client(agent->peer(), milliseconds(1000));
  PduPtr resp;
  ASSERT_EQ(client.Send(SNMP_MSG_GET, Leaf(2), &resp), STAT_SUCCESS);
  EXPECT_EQ(*resp->variables->val.integer, 6);
}

}  // namespace
}  // namespace tarn::test
