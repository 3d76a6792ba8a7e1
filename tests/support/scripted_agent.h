// Scripted SNMP agent on loopback, for tests: v1 and v2c requests decoded
// and answered by a script, SNMPv3 datagrams by a raw script.
//
// A ScriptedAgent binds a UDP socket on 127.0.0.1 (or ::1) with an ephemeral
// port before its constructor returns, then serves it from one thread until
// it is destroyed. Every datagram it receives is logged; a v1 or v2c message
// is decoded with Net-SNMP's own parser into a Request and the test's Script
// decides what goes back, as a Reply (any other datagram, SNMPv3 or one
// that does not decode, goes to the raw script of SetRawScript, or is left
// unanswered):
//
//   Reply::Answer(bindings)            a well-formed GetResponse (Net-SNMP's
//                                      encoder), error status/index 0
//   Reply::Error(status, index, b)     the same with an error status/index
//   Reply::Empty()                     a response with zero bindings
//   Reply::Drop()                      no answer at all (client times out)
//   Reply::Raw(bytes)                  exactly these bytes (malformed packets)
//   Reply::Sequence({r1, r2, ...})     several replies in order (for example a
//                                      stale request id, then the right one)
// and modifiers on any answer:
//   .Delayed(ms)                       sleep before sending
//   .WithRequestId(id)                 answer with another request id
//   .WithCommunity(c)                  answer with another community
//   .WithVersion(v)                    answer with another SNMP version
//
// Values for bindings: Integer, Gauge32, Counter32, TimeTicks, OctetString,
// OpaqueFloat (on the wire 44 07 9f 78 04 <float>; Net-SNMP clients receive
// type ASN_OPAQUE_FLOAT 0x78), OpaqueDouble (0x79), Null, NoSuchObject,
// NoSuchInstance, EndOfMibView.
//
// TableScript(table) answers GET, GETNEXT and GETBULK over a fixed table like
// a real agent would (lexicographic SNMP order, endOfMibView past the end).
//
// Typical use:
//
//   tarn::test::Table table;
//   tarn::test::Oid input_voltage(inverter::kSubtree.begin(),
//                                 inverter::kSubtree.end());
//   input_voltage.insert(input_voltage.end(), {2, 0});
//   table[input_voltage] = tarn::test::Integer(230);
//   tarn::test::ScriptedAgent agent(tarn::test::TableScript(table));
//   ... point the client at agent.peer() ...
//   ASSERT_TRUE(agent.WaitForRequests(17, std::chrono::seconds(2)));
//   auto log = agent.requests();
//
// For packets the encoder refuses to build: EncodeResponse() gives the bytes a
// well-formed answer would have (cut or patch them, then send with
// Reply::Raw), and BuildRawResponse() hand-encodes a response whose bindings
// carry any tag and content bytes.
//
// Net-SNMP: the library is initialised once (EnsureNetSnmpInitialised, also
// called by the agent's constructor on the constructing thread) without
// reading any configuration or MIB file. The agent thread never uses the
// library's shared request-id counters or session list.
#pragma once

#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace tarn::test {

// ---------------------------------------------------------------- OIDs

using Oid = std::vector<oid>;

// "1.3.6.1.4.1" (a leading dot is allowed) -> {1,3,6,1,4,1}.
// Throws std::invalid_argument on anything else.
Oid ParseOid(const std::string& text);
// {1,3,6} -> "1.3.6".
std::string OidToString(const Oid& id);
// SNMP lexicographic order of sub-identifiers (snmp_oid_compare).
struct OidLess {
  bool operator()(const Oid& a, const Oid& b) const;
};

// Initialises Net-SNMP once, thread-safely, quietly (no config/MIB files).
void EnsureNetSnmpInitialised();

// ---------------------------------------------------------------- values

struct Value {
  u_char type = ASN_NULL;  // ASN_INTEGER, ASN_GAUGE, ASN_OPAQUE_FLOAT, ...
  long integer = 0;        // INTEGER (signed), Counter32/Gauge32/TimeTicks
  std::string bytes;       // OCTET STRING
  double real = 0.0;       // Opaque float / double
};

Value Integer(std::int32_t v);
Value Gauge32(std::uint32_t v);
Value Counter32(std::uint32_t v);
Value TimeTicks(std::uint32_t v);
Value OctetString(const std::string& v);
Value OpaqueFloat(float v);
Value OpaqueDouble(double v);
Value Null();
Value NoSuchObject();
Value NoSuchInstance();
Value EndOfMibView();

struct Binding {
  Oid name;
  Value value;
};

using Table = std::map<Oid, Value, OidLess>;

// `count` bindings prefix.first, prefix.first+1, ... (in SNMP order), each
// holding `value`: for answers with as many bindings as a test wants
// (Reply::Answer encodes them with Net-SNMP's encoder; about 2,800 of
// 13-arc INTEGER bindings fill a datagram).
std::vector<Binding> NumberedBindings(const Oid& prefix, std::uint32_t first,
                                      std::size_t count, const Value& value);

// ---------------------------------------------------------------- requests

struct Request {
  // false: not a decodable v1/v2c message; then only `datagram` and
  // `received` are set, and only the raw script runs (SetRawScript).
  bool parsed = false;
  long version = -1;  // SNMP_VERSION_2c, ...
  std::string community;
  int command = 0;  // SNMP_MSG_GETBULK, SNMP_MSG_GETNEXT, SNMP_MSG_GET
  long request_id = 0;
  long non_repeaters = 0;    // GETBULK only
  long max_repetitions = 0;  // GETBULK only
  long error_status = 0;     // other commands
  long error_index = 0;      // other commands
  std::vector<Oid> oids;
  std::vector<u_char> datagram;
  std::chrono::steady_clock::time_point received;
  std::uint16_t sender_port =
      0;  // where the request came from (and answers go)
};

// ---------------------------------------------------------------- replies

struct Reply {
  enum class Kind { kAnswer, kDrop, kRaw, kSequence };

  static Reply Answer(std::vector<Binding> bindings);
  static Reply Error(long status, long index, std::vector<Binding> bindings);
  static Reply Empty();
  static Reply Drop();
  static Reply Raw(std::vector<u_char> bytes);
  static Reply Sequence(std::vector<Reply> replies);

  Reply Delayed(std::chrono::milliseconds d) const;
  Reply WithRequestId(long id) const;
  Reply WithCommunity(std::string c) const;
  Reply WithVersion(long v) const;  // SNMP_VERSION_1/2c; others: use Raw

  Kind kind = Kind::kAnswer;
  std::vector<Binding> bindings;
  long error_status = 0;
  long error_index = 0;
  std::chrono::milliseconds delay{0};
  std::optional<long> request_id;        // default: the request's
  std::optional<std::string> community;  // default: the request's
  std::optional<long> version;           // default: the request's
  std::vector<u_char> raw;
  std::vector<Reply> sequence;
};

// Runs on the agent's thread, after the request is logged; one request at a
// time (a delay holds back later requests, which queue in the socket). A
// script that throws gets no answer sent; its message goes to errors().
// Sequence elements are sent in order, each after its own delay.
using Script = std::function<Reply(const Request&)>;

// GET: exact match or noSuchObject. GETNEXT: the next OID after each
// requested one, or endOfMibView. GETBULK: the first non_repeaters OIDs as
// GETNEXT, then up to max_repetitions rounds for the rest (stops after a
// round where all are endOfMibView). With a non-empty `community`, requests
// carrying another community are dropped. Other commands are dropped.
Script TableScript(Table table, std::string community = "");

// Forwards each datagram to 127.0.0.1:`port` (the simulated inverter, for
// SNMPv3) from a socket of its own and answers with what comes back within
// `wait` (Reply::Raw), or nothing. For a ScriptedAgent's SetRawScript.
Script RelayTo(std::uint16_t port,
               std::chrono::milliseconds wait = std::chrono::seconds(2));

// What TableScript would answer, without an agent.
Reply AnswerFromTable(const Table& table, const Request& request);

// ---------------------------------------------------------------- encoding

// A v2c (or `version`) GetResponse encoded by Net-SNMP.
// Throws std::runtime_error if the encoder refuses.
std::vector<u_char> EncodeResponse(long request_id,
                                   const std::string& community,
                                   const std::vector<Binding>& bindings,
                                   long error_status = 0, long error_index = 0,
                                   long version = SNMP_VERSION_2c);

// A binding encoded by hand: any tag, any content bytes. An empty name is
// a zero-length OBJECT IDENTIFIER (06 00, which Net-SNMP reads as "0" and
// its encoder never writes): 30 04 06 00 05 00 is the shortest binding,
// 10,000 of them fit a datagram.
struct RawBinding {
  Oid name;
  u_char tag;
  std::vector<u_char> content;
};

// Hand-written BER for a GetResponse (tag 0xa2) with the given bindings.
std::vector<u_char> BuildRawResponse(long request_id,
                                     const std::string& community,
                                     const std::vector<RawBinding>& bindings,
                                     long error_status = 0,
                                     long error_index = 0,
                                     long version = SNMP_VERSION_2c);

// tooBig (error status 1) with an empty binding list, written 30 00 or, as
// some agents do, with a long-form length (30 82 00 00).
std::vector<u_char> EncodeTooBig(long request_id, const std::string& community,
                                 bool long_form);

// Hand-written BER for a noAuthNoPriv SNMPv3 Response (empty user, no
// bindings) of `engine_id`: a datagram no request asked for.
std::vector<u_char> BuildRawV3Response(
    const std::vector<u_char>& engine_id,
    const std::vector<u_char>& context_engine_id, long msg_max_size = 65507,
    long msg_id = 1);

// BER pieces, for odd packets: a TLV with definite length, and content bytes
// of an INTEGER and of an OBJECT IDENTIFIER.
std::vector<u_char> BerTlv(u_char tag, const std::vector<u_char>& content);
std::vector<u_char> BerIntegerContent(long v);
std::vector<u_char> BerOidContent(const Oid& id);

// ---------------------------------------------------------------- agent

class ScriptedAgent {
 public:
  enum class Family { kIPv4, kIPv6 };

  // Binds the socket (ready when this returns) and starts the thread.
  // Throws std::runtime_error if the socket cannot be bound.
  explicit ScriptedAgent(Script script, Family family = Family::kIPv4);
  ~ScriptedAgent();  // stops and joins the thread (bounded), closes socket
  ScriptedAgent(const ScriptedAgent&) = delete;
  ScriptedAgent& operator=(const ScriptedAgent&) = delete;

  std::uint16_t port() const { return port_; }
  // Peer name for a Net-SNMP session: "127.0.0.1:PORT" or "udp6:[::1]:PORT".
  std::string peer() const;

  // Replaces the script; applies to requests received afterwards.
  void SetScript(Script script);
  // The script for datagrams that are not v1/v2c messages (SNMPv3, say),
  // which are left unanswered without one.
  void SetRawScript(Script script);

  std::vector<Request> requests() const;  // copy of the log, in order
  std::size_t request_count() const;
  void ClearRequests();
  // Waits until at least n requests were logged; false on time-out.
  bool WaitForRequests(std::size_t n, std::chrono::milliseconds timeout) const;
  // Datagrams sent back so far (counted just after each send, so a client
  // may see an answer before it is counted: use WaitForResponses).
  std::size_t responses_sent() const;
  bool WaitForResponses(std::size_t n, std::chrono::milliseconds timeout) const;
  // Messages of scripts that threw or replies that could not be encoded
  // (those requests got no answer).
  std::vector<std::string> errors() const;

 private:
  void Run();
  void Handle(const std::vector<u_char>& datagram, const void* from,
              unsigned from_len);
  void Send(const Request& req, const Reply& reply, const void* to,
            unsigned to_len);
  bool SleepUnlessStopped(std::chrono::milliseconds d);

  Family family_;
  int fd_ = -1;
  std::uint16_t port_ = 0;
  std::atomic<bool> stop_{false};

  mutable std::mutex mu_;
  mutable std::condition_variable cv_;
  Script script_;
  Script raw_script_;
  std::vector<Request> log_;
  std::vector<std::string> errors_;
  std::size_t sent_ = 0;

  std::thread thread_;  // last: started after everything above exists
};

}  // namespace tarn::test
