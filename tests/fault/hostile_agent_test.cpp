// Hostile agents: every kind of answer an agent on the network may send
// instead of a proper one. For each, the walk ends, the round completes, no
// reading comes from a malformed or foreign answer, and the next walk
// against a well-behaved agent fills every reading again.

#include <chrono>
#include <cstdint>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "walk_fixture.h"

using namespace walk;
using namespace std::chrono;

namespace {

constexpr float kSentinel = -7.0f;
const std::string kCommunity = "varnel";
// Settings whose GETBULK takes up to 20 bindings in one answer (the
// defaults, non-repeaters 1 for the one binding asked, take one).
const std::string kTwentyPerAnswer =
    R"({"appSetting":{"snmp":{"non_repeaters":0,"max_repetitions":20}}})";

struct Hostile {
  std::string what;
  Script script;
  std::string line;  // what the walk writes to standard error
  size_t requests;   // requests the walk makes (0: as many as it takes)
  std::map<unsigned, float> readings;  // entries that change, and to what
  bool late = false;  // answers still to come after the walk ends
};

bool AskedForBase(const Request& r) {
  return r.oids.size() == 1 && r.oids[0] == BaseOid();
}

// A well-formed answer to `r` whose bytes are then altered.
std::vector<u_char> Encoded(const Request& r, const std::vector<Binding>& b) {
  return EncodeResponse(r.request_id, r.community, b);
}

std::vector<u_char> RawAnswer(const Request& r, u_char tag,
                              std::vector<u_char> content) {
  return BuildRawResponse(r.request_id, r.community,
                          {{KeyOid(2), tag, std::move(content)}});
}

// Answers the first request with `first`, every later one with
// endOfMibView (so that an accepted first answer gives a two-request walk).
Script FirstThenEnd(std::function<Reply(const Request&)> first) {
  return [first](const Request& r) {
    if (AskedForBase(r)) return first(r);
    return Reply::Answer({{r.oids[0], EndOfMibView()}});
  };
}

class HostileAgentTest : public WalkTest {
 protected:
  void Run(const std::vector<Hostile>& cases) {
    for (const Hostile& h : cases) {
      SCOPED_TRACE(h.what);
      agent->SetScript(h.script);
      agent->ClearRequests();
      const size_t sent = agent->responses_sent();
      for (unsigned e = 0; e < 16; ++e) dev.SetReading(e, kSentinel);
      const size_t rounds = Rounds();

      EXPECT_EQ(Walk(), h.line);
      EXPECT_EQ(Rounds(), rounds + 1);
      // Every early end has its line, and marks the readings stale.
      std::map<unsigned, float> expected = h.readings;
      if (!h.line.empty()) expected.emplace(14, 1.0f);
      for (unsigned e = 0; e < 16; ++e) {
        const auto it = expected.find(e);
        EXPECT_EQ(dev.Reading(e), it == expected.end() ? kSentinel : it->second)
            << "entry " << e;
      }
      // Answers sent after the walk gave up go to a closed socket; let them
      // go before the agent serves the next walk (it answers in turn).
      if (h.late) {
        EXPECT_TRUE(Settle(sent));
      }
      if (h.requests != 0) {
        EXPECT_EQ(agent->request_count(), h.requests);
      }

      // The device keeps working: a normal walk fills every reading.
      agent->SetScript(TableScript(SixteenIntegers(500), kCommunity));
      EXPECT_EQ(Walk(), "");
      EXPECT_EQ(Rounds(), rounds + 2);
      for (unsigned e = 0; e < 16; ++e) EXPECT_EQ(dev.Reading(e), 502.0f + e);
    }
  }
  // Serve() with a longer time-out: a loaded machine (sanitizers, parallel
  // tests) must not make a well-behaved answer late.
  void ServeSlowly(Script script, const std::string& settings = "{}",
                   long timeout_ms = 400) {
    Serve(std::move(script), settings);
    dev.SessionTemplate().timeout = timeout_ms * 1000;
  }
  // Waits until the agent has answered every request it got, and has had
  // no new one for 200 ms.
  bool Settle(size_t sent_before) {
    const auto deadline = steady_clock::now() + seconds(10);
    size_t seen = SIZE_MAX;
    while (steady_clock::now() < deadline) {
      const size_t requests = agent->request_count();
      if (agent->responses_sent() - sent_before >= requests) {
        if (requests == seen) return true;
        seen = requests;
      }
      std::this_thread::sleep_for(milliseconds(200));
    }
    return false;
  }
  std::string Timeout() const {
    return "Timeout: No Response from " + agent->peer() + "\n";
  }
  std::string Cut(const std::string& why) const {
    return "Walk of " + agent->peer() + " cut short: " + why + "\n";
  }
  // The driver's own line on an agent's fault.
  std::string Told(const std::string& what) const {
    return agent->peer() + what + "\n";
  }
  std::string Refused(unsigned n, const std::string& why) const {
    return Timeout() + std::to_string(n) + " answers refused: " + why + "\n";
  }
};

}  // namespace

TEST_F(HostileAgentTest, NoAnswerOrAnAnswerThatIsNotOursTimesOut) {
  ServeSlowly(TableScript({}));
  const Table table = SixteenIntegers(200);
  const Binding foreign{KeyOid(2), Integer(666)};
  Run({
      {"silent",
       [](const Request&) { return Reply::Drop(); },
       Timeout(),
       2,
       {}},
      {"answers after the time-out",
       [&](const Request& r) {
         if (AskedForBase(r)) return Reply::Answer({{KeyOid(2), Integer(111)}});
         return Reply::Answer({{KeyOid(3), Integer(666)}})
             .Delayed(milliseconds(1500));
       },
       Timeout(),
       0,
       {{0, 111.0f}},
       true},
      {"truncated datagram",
       [&](const Request& r) {
         std::vector<u_char> bytes = Encoded(r, {foreign});
         bytes.resize(bytes.size() / 2);
         return Reply::Raw(bytes);
       },
       Timeout(),
       2,
       {}},
      {"one byte short",
       [&](const Request& r) {
         std::vector<u_char> bytes = Encoded(r, {foreign});
         bytes.pop_back();
         return Reply::Raw(bytes);
       },
       Timeout(),
       2,
       {}},
      {"wrong request id",
       [&](const Request& r) {
         return Reply::Answer({foreign}).WithRequestId(r.request_id + 1);
       },
       Refused(2, "another request id"),
       2,
       {}},
      {"wrong community",
       [&](const Request&) {
         return Reply::Answer({foreign}).WithCommunity("public");
       },
       Refused(2, "another community"),
       2,
       {}},
      {"community that only starts like ours",
       [&](const Request&) {
         return Reply::Answer({foreign}).WithCommunity(kCommunity + "x");
       },
       Refused(2, "another community"),
       2,
       {}},
      {"SNMP v1 answer to a v2c request",
       [&](const Request&) {
         return Reply::Answer({foreign}).WithVersion(SNMP_VERSION_1);
       },
       Timeout(),
       2,
       {}},
  });
}

TEST_F(HostileAgentTest, AForeignAnswerBeforeTheRightOneIsIgnored) {
  ServeSlowly(TableScript({}));
  const Table table = SixteenIntegers(200);
  std::map<unsigned, float> all;
  for (unsigned e = 0; e < 16; ++e) all[e] = 202.0f + e;
  // The foreign answer carries other values for the same objects.
  const auto foreign = [](const Request& r) {
    return AnswerFromTable(SixteenIntegers(600), r);
  };
  Run({
      {"wrong request id first",
       [&](const Request& r) {
         return Reply::Sequence({foreign(r).WithRequestId(r.request_id + 7),
                                 AnswerFromTable(table, r)});
       },
       "", 17, all},
      {"wrong community first",
       [&](const Request& r) {
         return Reply::Sequence(
             {foreign(r).WithCommunity("public"), AnswerFromTable(table, r)});
       },
       "", 17, all},
      {"garbage first",
       [&](const Request& r) {
         return Reply::Sequence(
             {Reply::Raw({0x30, 0x03, 0x02, 0x01}), AnswerFromTable(table, r)});
       },
       "", 17, all},
  });
}

TEST_F(HostileAgentTest, ErrorStatusExceptionsAndBadOrderEndTheWalk) {
  ServeSlowly(TableScript({}), kTwentyPerAnswer);  // answers of 2 and 3
  Run({
      // tooBig for 20, 10, 5, 2 and 1 repetitions.
      {"tooBig with a binding",
       [](const Request&) {
         return Reply::Error(SNMP_ERR_TOOBIG, 0, {{KeyOid(2), Integer(666)}});
       },
       Told(" answered tooBig (1) at binding 0"),
       5,
       {}},
      {"tooBig without bindings",
       [](const Request&) { return Reply::Error(SNMP_ERR_TOOBIG, 0, {}); },
       Told(" answered tooBig (1) at binding 0"),
       5,
       {}},
      {"genErr at the second request",
       [](const Request& r) {
         if (AskedForBase(r)) return Reply::Answer({{KeyOid(2), Integer(2)}});
         return Reply::Error(SNMP_ERR_GENERR, 1, {{KeyOid(3), Integer(666)}});
       },
       Told(" answered genErr (5) at binding 1"),
       2,
       {{0, 2.0f}}},
      {"noSuchObject in the subtree",
       [](const Request&) {
         return Reply::Answer({{KeyOid(2), NoSuchObject()}});
       },
       Told(" answered noSuchObject at 1.3.6.1.4.1.44782.4.6.1.1.2.0"),
       1,
       {}},
      {"noSuchInstance in the subtree",
       [](const Request&) {
         return Reply::Answer({{KeyOid(2), NoSuchInstance()}});
       },
       Told(" answered noSuchInstance at 1.3.6.1.4.1.44782.4.6.1.1.2.0"),
       1,
       {}},
      {"endOfMibView in the subtree",
       [](const Request&) {
         return Reply::Answer({{KeyOid(2), EndOfMibView()}});
       },
       "",
       1,
       {}},
      {"NULL values are skipped",
       FirstThenEnd([](const Request&) {
         return Reply::Answer({{KeyOid(2), Null()}, {KeyOid(3), Integer(3)}});
       }),
       "",
       2,
       {{1, 3.0f}}},
      {"repeated OID in one answer",
       [](const Request&) {
         return Reply::Answer({{KeyOid(2), Integer(1)},
                               {KeyOid(2), Integer(2)},
                               {KeyOid(3), Integer(3)}});
       },
       Cut("OID not increasing"),
       1,
       {{0, 2.0f}, {1, 3.0f}}},
      {"decreasing OIDs in one answer",
       [](const Request&) {
         return Reply::Answer(
             {{KeyOid(5), Integer(5)}, {KeyOid(4), Integer(4)}});
       },
       Cut("OID not increasing"),
       1,
       {{3, 5.0f}, {2, 4.0f}}},
      {"answer equal to the request",
       [](const Request& r) {
         return Reply::Answer({{r.oids[0], Integer(9)}});
       },
       Cut("OID not increasing"),
       1,
       {}},
      {"no bindings",
       [](const Request&) { return Reply::Empty(); },
       Cut("answer without bindings"),
       1,
       {}},
  });
}

TEST_F(HostileAgentTest, AnswersAreReadAsFarAsTheyWereAsked) {
  // The first request gets `n` bindings of key 2 (instances 1..n, all 42).
  const auto first_of = [](size_t n, std::string community = kCommunity) {
    Oid key = BaseOid();
    key.push_back(2);
    return FirstThenEnd([=](const Request&) {
      return Reply::Answer(NumberedBindings(key, 1, n, Integer(42)))
          .WithCommunity(community);
    });
  };
  std::map<unsigned, float> all;
  for (unsigned e = 0; e < 16; ++e) all[e] = 202.0f + e;
  // The sixteen readings first, then the shortest bindings there are (empty
  // names, NULL values) up to 10,000 in one datagram.
  const auto readings_then_junk = [](const Request& r) {
    std::vector<RawBinding> b;
    for (unsigned key = 2; key <= 17; ++key)
      b.push_back({KeyOid(key), 0x02, BerIntegerContent(200 + key)});
    b.resize(10000, RawBinding{{}, ASN_NULL, {}});
    return Reply::Raw(
        BuildRawResponse(r.request_id, r.community, b, 0, 0, r.version));
  };
  // Defaults: GETBULK of one binding, non-repeaters 1, max-repetitions 100:
  // up to 100 bindings are read of each answer, the walk goes on after them.
  // 1.5 s a request: the agent's encoding of 2,800 bindings takes longer
  // than 400 ms under ThreadSanitizer, and a resend would change the count.
  ServeSlowly(TableScript({}), "{}", 1500);
  Run({
      {"non-repeaters taken as repeaters",
       [](const Request& r) {
         Request as_if = r;
         as_if.non_repeaters = 0;
         return AnswerFromTable(SixteenIntegers(200), as_if);
       },
       "", 1, all},
      {"GETBULK answer of 2", first_of(2), "", 2, {{0, 42.0f}}},
      {"GETBULK answer of 2,800 (100 read)",
       first_of(2800),
       "",
       2,
       {{0, 42.0f}}},
      {"10,000 in one datagram, the readings first", readings_then_junk, "", 1,
       all},
      {"another community (not ours)",
       first_of(2, "public"),
       Refused(2, "another community"),
       2,
       {}},
      {"too many under another request id, then the answer",
       FirstThenEnd([](const Request& r) {
         Oid key = BaseOid();
         key.push_back(2);
         return Reply::Sequence(
             {Reply::Answer(NumberedBindings(key, 1, 2800, Integer(7)))
                  .WithRequestId(r.request_id + 1),
              Reply::Answer(NumberedBindings(key, 1, 1, Integer(42)))});
       }),
       "",
       2,
       {{0, 42.0f}}},
  });
  if (sizeof(long) > 4) {  // a 32-bit library refuses an id in five octets
    Run({{"150 bindings, our request id in five octets",
          FirstThenEnd([](const Request& r) {  // the library keeps 32 bits
            Oid key = BaseOid();
            key.push_back(3);
            std::vector<RawBinding> b;
            for (oid i = 1; i <= 150; ++i) {
              b.push_back({key, 0x02, {42}});
              b.back().name.push_back(i);
            }
            return Reply::Raw(
                BuildRawResponse(r.request_id + 0x100000000, r.community, b));
          }),
          "",
          2,
          {{1, 42.0f}}}});
  }
  ServeSlowly(TableScript({}), kTwentyPerAnswer);
  Run({
      {"GETBULK answer of 21 (20 read)", first_of(21), "", 2, {{0, 42.0f}}},
  });
  ServeSlowly(TableScript({}), R"({"appSetting":{"snmp":{"version":"1"}}})");
  Run({
      {"GETNEXT answer of 2 (1 read)", first_of(2), "", 2, {{0, 42.0f}}},
  });
}

TEST_F(HostileAgentTest, TooBigIsAskedAgainWithFewerRepetitionsAndRemembered) {
  const Table table = SixteenIntegers(200);
  for (const bool long_form : {false, true}) {
    SCOPED_TRACE(long_form ? "30 82 00 00" : "30 00");
    ServeSlowly(
        [&](const Request& r) {
          if (r.max_repetitions <= 5) return AnswerFromTable(table, r);
          return Reply::Raw(EncodeTooBig(r.request_id, r.community, long_form));
        },
        kTwentyPerAnswer);
    EXPECT_EQ(Walk(), Told(": answer too big for 20 repetitions; asking 5"));
    for (unsigned e = 0; e < 16; ++e) EXPECT_EQ(dev.Reading(e), 202.0f + e);
    std::vector<long> asked;
    for (const Request& r : agent->requests())
      asked.push_back(r.max_repetitions);
    EXPECT_EQ(asked, (std::vector<long>{20, 10, 5, 5, 5, 5}));
    agent->ClearRequests();
    EXPECT_EQ(Walk(), "");  // the size that worked, kept
    EXPECT_EQ(agent->requests().at(0).max_repetitions, 5);
  }
}

TEST_F(HostileAgentTest, EverGrowingOidsEndAtTheLongestOid) {
  // Each answer is the question with one more sub-identifier: the walk goes
  // on until an answer's OID is longer than any OID can be; the library
  // refuses that answer and the walk ends there.
  ServeSlowly([](const Request& r) {
    Oid next = AskedForBase(r) ? KeyOid(2) : r.oids[0];
    next.push_back(1);
    const long n = static_cast<long>(next.size());
    return Reply::Raw(BuildRawResponse(r.request_id, r.community,
                                       {{next, 0x02, BerIntegerContent(n)}}));
  });
  dev.SetReading(0, kSentinel);
  EXPECT_EQ(Walk(), agent->peer() +
                        ": answer could not be decoded (binding 1: name of "
                        "130 octets, INTEGER of 2 octets)\n");
  // Answers of 14 .. MAX_OID_LEN sub-identifiers, then one refused.
  EXPECT_EQ(agent->request_count(), MAX_OID_LEN - 14 + 1 + 1);
  EXPECT_EQ(dev.Reading(14), 1.0f);
  EXPECT_EQ(dev.Reading(0), float(MAX_OID_LEN));
  EXPECT_EQ(Rounds(), 1u);
}

TEST_F(HostileAgentTest, MalformedValuesNeverBecomeReadings) {
  ServeSlowly(TableScript({}));
  const auto raw = [](u_char tag, std::vector<u_char> content) {
    return FirstThenEnd([=](const Request& r) {
      return Reply::Raw(RawAnswer(r, tag, content));
    });
  };
  const auto undecodable = [this](const std::string& value) {
    return Told(
        ": answer could not be decoded (binding 1: name of 14 octets, " +
        value + ")");
  };
  Run({
      // The library refuses these answers whole: the request ends at once,
      // without a retry, and nothing arrives.
      {"zero-length INTEGER",
       raw(0x02, {}),
       undecodable("INTEGER of 0 octets"),
       1,
       {}},
      {"nine-byte INTEGER",
       raw(0x02, std::vector<u_char>(9, 0x01)),
       undecodable("INTEGER of 9 octets"),
       1,
       {}},
      {"plain float tag 0x48",
       raw(0x48, {0x42, 0x48, 0x00, 0x00}),
       "bad type returned (48)\n" + undecodable("type 0x48 of 4 octets"),
       1,
       {}},
      {"Opaque float of three bytes",
       raw(0x44, {0x9f, 0x78, 0x03, 0x42, 0x48, 0x00}),
       undecodable("Opaque of 6 octets"),
       1,
       {}},
      {"Opaque float of five bytes",
       raw(0x44, {0x9f, 0x78, 0x05, 0x42, 0x48, 0x00, 0x00, 0x00}),
       undecodable("Opaque of 8 octets"),
       1,
       {}},
      {"IpAddress of 0 octets after a reading",
       FirstThenEnd([](const Request& r) {
         return Reply::Raw(BuildRawResponse(
             r.request_id, r.community,
             {{KeyOid(2), 0x02, {5}}, {KeyOid(3), ASN_IPADDRESS, {}}}));
       }),
       Told(": answer could not be decoded (binding 2: name of 14 octets, "
            "IpAddress of 0 octets)"),
       1,
       {}},
      {"length past the end",
       FirstThenEnd([](const Request& r) {
         std::vector<u_char> bytes = RawAnswer(r, 0x02, {0x05});
         bytes[bytes.size() - 2] = 0x7f;  // the INTEGER's length
         return Reply::Raw(bytes);
       }),
       undecodable("INTEGER of 0 octets"),
       1,
       {}},
      // These arrive with a type that holds no reading.
      {"empty Opaque", raw(0x44, {}), "", 2, {}},
      {"Opaque double",
       raw(0x44,
           {0x9f, 0x79, 0x08, 0x40, 0x09, 0x21, 0xfb, 0x54, 0x44, 0x2d, 0x18}),
       "",
       2,
       {}},
      {"OCTET STRING", raw(0x04, {'2', '3', '0'}), "", 2, {}},
      {"Counter64", raw(0x46, {0x01, 0x00, 0x00, 0x00, 0x00}), "", 2, {}},
      {"IpAddress", raw(0x40, {127, 0, 0, 1}), "", 2, {}},
      // Redundant sign octets, up to the 8 a 64-bit library reads: the same
      // reading on every build (a 32-bit library refused more than 4).
      {"-2^31 in five octets",
       raw(0x02, {0xff, 0x80, 0, 0, 0}),
       "",
       2,
       {{0, -2147483648.0f}}},
      {"5 in eight octets",
       raw(0x02, {0, 0, 0, 0, 0, 0, 0, 5}),
       "",
       2,
       {{0, 5.0f}}},
      {"-1 in eight octets",
       raw(0x02, std::vector<u_char>(8, 0xff)),
       "",
       2,
       {{0, -1.0f}}},
      // A well-formed Opaque float is a reading.
      {"Opaque float",
       raw(0x44, {0x9f, 0x78, 0x04, 0x42, 0x48, 0x00, 0x00}),
       "",
       2,
       {{0, 50.0f}}},
  });
}

TEST_F(HostileAgentTest, AnAnswerOf65000BytesIsReadWhole) {
  const std::string filler(64950, 'x');
  const std::vector<Binding> big = {{KeyOid(2), Integer(222)},
                                    {KeyOid(2, 1), OctetString(filler)}};
  const size_t size = EncodeResponse(1, kCommunity, big).size();
  EXPECT_GE(size, 65000u) << size;
  EXPECT_LE(size, 65507u);  // largest UDP payload over IPv4
  ServeSlowly(TableScript({}), kTwentyPerAnswer);
  Run({{"65,000-byte answer",
        FirstThenEnd([&](const Request&) { return Reply::Answer(big); }),
        "",
        2,
        {{0, 222.0f}}}});
}

TEST_F(HostileAgentTest, AnAgentThatStopsMidWalkAndComesBack) {
  const Table table = SixteenIntegers(300);
  ServeSlowly(TableScript({}));
  Run({{"answers keys 2 to 5, then nothing",
        [&](const Request& r) {
          const Oid& asked = r.oids[0];
          if (asked.size() > inverter::kSubtree.size() &&
              asked[inverter::kSubtree.size()] >= 5) {
            return Reply::Drop();
          }
          return AnswerFromTable(table, r);
        },
        Timeout(),
        4 + 2,
        {{0, 302.0f}, {1, 303.0f}, {2, 304.0f}, {3, 305.0f}}}});
}
