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
      // A walk that lost the inverter marks its readings stale.
      std::map<unsigned, float> expected = h.readings;
      if (h.line.find(Timeout()) != std::string::npos)
        expected.emplace(14, 1.0f);
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
  void ServeSlowly(Script script, const std::string& settings = "{}") {
    Serve(std::move(script), settings);
    dev.SessionTemplate().timeout = 400 * 1000;
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
       Timeout(),
       2,
       {}},
      {"wrong community",
       [&](const Request&) {
         return Reply::Answer({foreign}).WithCommunity("public");
       },
       Timeout(),
       2,
       {}},
      {"community that only starts like ours",
       [&](const Request&) {
         return Reply::Answer({foreign}).WithCommunity(kCommunity + "x");
       },
       Timeout(),
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
      {"tooBig with a binding",
       [](const Request&) {
         return Reply::Error(SNMP_ERR_TOOBIG, 0, {{KeyOid(2), Integer(666)}});
       },
       "",
       1,
       {}},
      {"tooBig without bindings",
       [](const Request&) { return Reply::Error(SNMP_ERR_TOOBIG, 0, {}); },
       "",
       1,
       {}},
      {"noSuchObject in the subtree",
       [](const Request&) {
         return Reply::Answer({{KeyOid(2), NoSuchObject()}});
       },
       "",
       1,
       {}},
      {"noSuchInstance in the subtree",
       [](const Request&) {
         return Reply::Answer({{KeyOid(2), NoSuchInstance()}});
       },
       "",
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

TEST_F(HostileAgentTest, AnswersWithMoreBindingsThanAskedForAreCutUnread) {
  // The first request gets `n` bindings of key 2 (instances 1..n, all 42).
  const auto first_of = [](size_t n, std::string community = kCommunity) {
    Oid key = BaseOid();
    key.push_back(2);
    return FirstThenEnd([=](const Request&) {
      return Reply::Answer(NumberedBindings(key, 1, n, Integer(42)))
          .WithCommunity(community);
    });
  };
  const auto too_many = [this](size_t n, size_t most) {
    return Cut("answer with " + std::to_string(n) + " bindings, at most " +
               std::to_string(most) + " asked for");
  };
  // The shortest bindings there are, empty names and NULL values.
  const auto ten_thousand = [](const Request& r) {
    return Reply::Raw(BuildRawResponse(
        r.request_id, r.community,
        std::vector<RawBinding>(10000, RawBinding{{}, ASN_NULL, {}}), 0, 0,
        r.version));
  };
  // Defaults: GETBULK of one binding with non-repeaters 1, so at most 1.
  ServeSlowly(TableScript({}));
  Run({
      {"GETBULK answer of 2", first_of(2), too_many(2, 1), 1, {}},
      {"GETBULK answer of 2,800", first_of(2800), too_many(2800, 1), 1, {}},
      {"10,000 in one datagram", ten_thousand, too_many(10000, 1), 1, {}},
      {"too many, with another community (not ours)",
       first_of(2, "public"),
       Timeout(),
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
      {"exactly 1", first_of(1), "", 2, {{0, 42.0f}}},
  });
  if (sizeof(long) > 4) {  // a 32-bit library refuses an id in five octets
    Run({{"GETBULK answer of 2, our request id in five octets",
          FirstThenEnd([](const Request& r) {  // the library keeps 32 bits
            const RawBinding b = {KeyOid(2), 0x02, {42}};
            return Reply::Raw(BuildRawResponse(r.request_id + 0x100000000,
                                               r.community, {b, b}));
          }),
          too_many(2, 1),
          1,
          {}}});
  }
  ServeSlowly(TableScript({}), kTwentyPerAnswer);
  Run({
      {"GETBULK answer of 21", first_of(21), too_many(21, 20), 1, {}},
      {"exactly 20", first_of(20), "", 2, {{0, 42.0f}}},
  });
  ServeSlowly(TableScript({}), R"({"appSetting":{"snmp":{"version":"1"}}})");
  Run({
      {"GETNEXT answer of 2", first_of(2), too_many(2, 1), 1, {}},
      {"exactly 1 (GETNEXT)", first_of(1), "", 2, {{0, 42.0f}}},
  });
}

TEST_F(HostileAgentTest, EverGrowingOidsEndAtTheLongestOid) {
  // Each answer is the question with one more sub-identifier: the walk goes
  // on until an answer's OID is longer than any OID can be; the library
  // refuses that answer and the walk times out.
  ServeSlowly([](const Request& r) {
    Oid next = AskedForBase(r) ? KeyOid(2) : r.oids[0];
    next.push_back(1);
    const long n = static_cast<long>(next.size());
    return Reply::Raw(BuildRawResponse(r.request_id, r.community,
                                       {{next, 0x02, BerIntegerContent(n)}}));
  });
  dev.SetReading(0, kSentinel);
  EXPECT_EQ(Walk(), "Timeout: No Response from " + agent->peer() + "\n");
  // Answers of 14 .. MAX_OID_LEN sub-identifiers, then one refused (twice).
  EXPECT_EQ(agent->request_count(), MAX_OID_LEN - 14 + 1 + 2);
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
  Run({
      // The library refuses these answers whole: nothing arrives.
      {"zero-length INTEGER", raw(0x02, {}), Timeout(), 2, {}},
      {"nine-byte INTEGER",
       raw(0x02, std::vector<u_char>(9, 0x01)),
       Timeout(),
       2,
       {}},
      {"plain float tag 0x48",
       raw(0x48, {0x42, 0x48, 0x00, 0x00}),
       "bad type returned (48)\nbad type returned (48)\n" + Timeout(),
       2,
       {}},
      {"Opaque float of three bytes",
       raw(0x44, {0x9f, 0x78, 0x03, 0x42, 0x48, 0x00}),
       Timeout(),
       2,
       {}},
      {"Opaque float of five bytes",
       raw(0x44, {0x9f, 0x78, 0x05, 0x42, 0x48, 0x00, 0x00, 0x00}),
       Timeout(),
       2,
       {}},
      {"length past the end",
       FirstThenEnd([](const Request& r) {
         std::vector<u_char> bytes = RawAnswer(r, 0x02, {0x05});
         bytes[bytes.size() - 2] = 0x7f;  // the INTEGER's length
         return Reply::Raw(bytes);
       }),
       Timeout(),
       2,
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
