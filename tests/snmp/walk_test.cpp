// Walks of the inverter's subtree against scripted agents.

#include <cmath>
#include <cstring>

#include "walk_fixture.h"

using namespace walk;

TEST_F(WalkTest, SixteenIntegersFillTheRecordInSeventeenRequests) {
  Serve(TableScript(SixteenIntegers(100), "varnel"));
  EXPECT_EQ(Walk(), "");
  for (unsigned e = 0; e < 16; ++e) EXPECT_EQ(dev.Reading(e), 102.0f + e) << e;

  const auto requests = agent->requests();
  ASSERT_EQ(requests.size(), 17u);
  Oid asked = BaseOid();
  for (const Request& r : requests) {
    EXPECT_EQ(r.command, SNMP_MSG_GETBULK);
    EXPECT_EQ(r.version, SNMP_VERSION_2c);
    EXPECT_EQ(r.community, "varnel");
    EXPECT_EQ(r.non_repeaters, 1);
    EXPECT_EQ(r.max_repetitions, 100);
    ASSERT_EQ(r.oids.size(), 1u);
    EXPECT_EQ(OidToString(r.oids[0]), OidToString(asked));
    asked = KeyOid(2 + unsigned(&r - requests.data()));
  }
  ASSERT_EQ(Rounds(), 1u);
  // The published record holds the readings.
  EXPECT_EQ(ReadingOf(rec.CallsOf(host::Call::Kind::SendSP)[0], 0), 102.0f);
}

TEST_F(WalkTest, ValuesAreConvertedByType) {
  Table table;
  table[KeyOid(1)] = Integer(11);             // no reading
  table[KeyOid(2)] = Integer(-5);             // entry 0
  table[KeyOid(3)] = Integer((1 << 24) + 1);  // entry 1: nearest float
  table[KeyOid(4)] = OpaqueFloat(49.9f);      // entry 2, bit for bit
  table[KeyOid(5)] = Gauge32(9);              // entry 3 unchanged
  table[KeyOid(6)] = OpaqueDouble(1.5);       // entry 4 unchanged
  table[KeyOid(7)] = Integer(2147483647);     // entry 5
  table[KeyOid(12, 0)] = Integer(1);          // entry 10 ...
  table[KeyOid(12, 1)] = Integer(2);          // ... the later wins
  table[KeyOid(17)] = Integer(170);           // entry 15
  table[KeyOid(18)] = Integer(180);           // no reading
  Serve(TableScript(table));
  for (unsigned e = 0; e < 16; ++e) dev.SetReading(e, -100.0f);

  Walk();
  const float f499 = 49.9f;
  EXPECT_EQ(dev.Reading(0), -5.0f);
  EXPECT_EQ(dev.Reading(1), 16777216.0f);
  const float got = dev.Reading(2);
  EXPECT_EQ(std::memcmp(&got, &f499, 4), 0);
  EXPECT_EQ(dev.Reading(3), -100.0f);
  EXPECT_EQ(dev.Reading(4), -100.0f);
  EXPECT_EQ(dev.Reading(5), 2147483648.0f);
  EXPECT_EQ(dev.Reading(10), 2.0f);
  EXPECT_EQ(dev.Reading(15), 170.0f);
  for (unsigned e : {6u, 7u, 8u, 9u, 11u, 12u, 13u, 14u}) {
    EXPECT_EQ(dev.Reading(e), -100.0f) << e;
  }
  EXPECT_EQ(agent->request_count(), table.size() + 1);

  // Counter32 and OCTET STRING leave the reading unchanged as well.
  for (const Value& v : {Counter32(5), OctetString("220")}) {
    Table t;
    t[KeyOid(5)] = v;
    agent->SetScript(TableScript(t));
    Walk();
    EXPECT_EQ(dev.Reading(3), -100.0f);
  }
}

TEST_F(WalkTest, AWalkEndsAndCompletesItsRoundOnEveryNormalEnd) {
  struct Case {
    const char* what;
    Script script;
    size_t requests;
    std::string line;  // an early end: its line, and the readings stale
  };
  Oid outside = BaseOid();  // the first object after the subtree
  ++outside.back();
  outside.push_back(0);
  Serve(TableScript({}));
  const std::string peer = agent->peer();
  const Case cases[] = {
      {"first answer outside the subtree",
       [&](const Request&) {
         return Reply::Answer({{outside, Integer(1)}});
       },
       1, ""},
      {"endOfMibView",
       [](const Request& r) {
         return Reply::Answer({{r.oids[0], EndOfMibView()}});
       },
       1, ""},
      {"noSuchObject echoing the request",
       [](const Request& r) {
         return Reply::Answer({{r.oids[0], NoSuchObject()}});
       },
       1, peer + " answered noSuchObject at 1.3.6.1.4.1.44782.4.6.1.1\n"},
      {"error status",
       [](const Request&) {
         return Reply::Error(SNMP_ERR_GENERR, 1, {{KeyOid(2), Integer(5)}});
       },
       1, peer + " answered genErr (5) at binding 1\n"},
  };
  for (unsigned e = 0; e < 16; ++e) dev.SetReading(e, 3.0f);
  for (const Case& c : cases) {
    agent->SetScript(c.script);
    agent->ClearRequests();
    const size_t before = Rounds();
    EXPECT_EQ(Walk(), c.line) << c.what;
    EXPECT_EQ(agent->request_count(), c.requests) << c.what;
    EXPECT_EQ(Rounds(), before + 1) << c.what;
    for (unsigned e = 0; e < 16; ++e) {
      EXPECT_EQ(dev.Reading(e), e == 14 && !c.line.empty() ? 1.0f : 3.0f)
          << c.what;
    }
  }
}

TEST_F(WalkTest, FaultLinesAreAFewAMinute) {
  Serve([](const Request&) { return Reply::Error(SNMP_ERR_GENERR, 1, {}); });
  testing::internal::CaptureStderr();
  for (int i = 0; i < 7; ++i) dev.RefreshStatus();
  const std::string out = testing::internal::GetCapturedStderr();
  EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 5) << out;
}

TEST_F(WalkTest, NoAnswerTimesOutAfterOneRetryAndKeepsOldReadings) {
  Serve([](const Request&) { return Reply::Drop(); });
  dev.SetReading(0, 42.0f);
  EXPECT_EQ(Walk(), "Timeout: No Response from " + agent->peer() + "\n");
  EXPECT_EQ(agent->request_count(), 2u);  // the request and its one retry
  ASSERT_EQ(Rounds(), 1u);
  EXPECT_EQ(dev.Reading(0), 42.0f);
}

TEST_F(WalkTest, AnEmptyPeerOnlyPrintsTheStartLine) {
  dev.InitSetting(ParseJson("{}"));
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  dev.RefreshStatus();
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "SNMP_KEHUA_INVERTER::do_sample\n");
  EXPECT_EQ(rec.Calls().size(), 1u);  // the host's InitSetting only
}

TEST_F(WalkTest, MisbehavingAgentsAreCutOffWithOneLine) {
  Serve(TableScript({}));
  const std::string cut = "Walk of " + agent->peer() + " cut short: ";
  struct Case {
    const char* what;
    Script script;
    size_t requests;
    std::string line;
  };
  const Case cases[] = {
      {"no bindings", [](const Request&) { return Reply::Empty(); }, 1,
       cut + "answer without bindings\n"},
      {"repeats the same OID",
       [](const Request&) {
         return Reply::Answer({{KeyOid(2), Integer(1)}});
       },
       2, cut + "OID not increasing\n"},
      {"goes back",
       [](const Request& r) {
         const bool first = r.oids[0].size() == inverter::kSubtree.size();
         return Reply::Answer({{first ? KeyOid(9) : KeyOid(3), Integer(1)}});
       },
       2, cut + "OID not increasing\n"},
      {"grows for ever",
       [](const Request& r) {
         const Oid& asked = r.oids[0];
         const unsigned n = asked.size() == 13 ? unsigned(asked[12]) : 0;
         return Reply::Answer({{KeyOid(2, n + 1), Integer(1)}});
       },
       SNMP_KEHUA_INVERTER::kMaxRequests, cut + "more than 1000 requests\n"},
  };
  for (const Case& c : cases) {
    agent->SetScript(c.script);
    agent->ClearRequests();
    const size_t before = Rounds();
    EXPECT_EQ(Walk(), c.line) << c.what;
    EXPECT_EQ(agent->request_count(), c.requests) << c.what;
    EXPECT_EQ(Rounds(), before + 1) << c.what;
    EXPECT_EQ(dev.Reading(14), 1.0f) << c.what;  // stale
  }
  // The bindings of a cut answer are still stored ("goes back": key 3).
  EXPECT_EQ(dev.Reading(1), 1.0f);
}
