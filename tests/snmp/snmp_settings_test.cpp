// A device's SNMP settings: each bad value refused by its key without a
// secret in the message, and the request settings as the agent sees them.

#include "snmp_settings.h"

#include <chrono>

#include "inverter_tables.h"
#include "snmp_library_session.h"
#include "walk_fixture.h"

using namespace walk;
using inverter::snmp::ParseSnmpSettings;
using inverter::snmp::SnmpSettings;

namespace {

const std::string kAuth = "Auth-Pass-4711", kPriv = "Priv-Pass-0815";
const std::string kV3 = R"("version":"3","user":"ups",)";
const std::string kKeys =
    R"("auth_pass":")" + kAuth + R"(","priv_pass":")" + kPriv + "\"";

// Parses {"snmp": <snmp>}; the error, or "" when accepted.
std::string Parse(const std::string& snmp, SnmpSettings* s) {
  std::string error;
  const bool ok =
      ParseSnmpSettings(ParseJson(R"({"snmp":)" + snmp + "}"), s, &error);
  EXPECT_EQ(ok, error.empty()) << snmp;
  return error;
}

}  // namespace

TEST(SnmpSettings, EachBadValueIsRefusedByItsKeyWithoutSecrets) {
  const std::string name = "appSetting.snmp.";
  const std::string one_of = ": must be one of ";
  const struct {
    std::string snmp, error;
  } cases[] = {
      {"5", "appSetting.snmp: not an object"},
      {R"({"version":"2"})", name + R"(version: must be "1", "2c" or "3")"},
      {R"({"version":true})", name + "version: not a string"},
      {R"({"community":""})",
       name + "community: must be 1..64 printable characters"},
      {R"({"community":"a\nb"})",
       name + "community: must be 1..64 printable characters"},
      {R"({"community":")" + std::string(65, 'c') + "\"}",
       name + "community: must be 1..64 printable characters"},
      {R"({"timeout_ms":99})", name + "timeout_ms: must be 100..60000"},
      {R"({"timeout_ms":"60001"})", name + "timeout_ms: must be 100..60000"},
      {R"({"timeout_ms":"1e3"})", name + "timeout_ms: not a number"},
      {R"({"timeout_ms":1.5})", name + "timeout_ms: not a number"},
      {R"({"retries":-1})", name + "retries: must be 0..5"},
      {R"({"non_repeaters":2})", name + "non_repeaters: must be 0..1"},
      {R"({"max_repetitions":"0"})", name + "max_repetitions: must be 1..100"},
      {R"({"max_repetitions":101})", name + "max_repetitions: must be 1..100"},
      {R"({"version":3,"auth_pass":")" + kAuth + "\"}",
       name + "user: required for version 3"},
      {R"({"version":"3","user":")" + std::string(33, 'u') + "\"}",
       name + "user: must be 1..32 printable characters"},
      {"{" + kV3 + R"("auth_pass":"Short-7"})",
       name + "auth_pass: must have at least 8 characters"},
      {"{" + kV3 + R"("auth_pass":")" + kAuth + R"(","priv_pass":"Short-7"})",
       name + "priv_pass: must have at least 8 characters"},
      {"{" + kV3 + R"("auth_pass":12345678})",
       name + "auth_pass: not a string"},
      {"{" + kV3 + kKeys + R"(,"level":"secret"})",
       name + "level" + one_of + "noAuthNoPriv authNoPriv authPriv"},
      {"{" + kV3 + kKeys + R"(,"auth":"SH"})",
       name + "auth" + one_of + "MD5 SHA SHA-224 SHA-256 SHA-384 SHA-512"},
      {"{" + kV3 + kKeys + R"(,"priv":"AES128"})",
       name + "priv" + one_of + "DES AES AES-192 AES-256"},
      {"{" + kV3 + R"("level":"authNoPriv"})",
       name + "auth_pass: required for level authNoPriv and authPriv"},
      {"{" + kV3 + R"("level":"authPriv","auth_pass":")" + kAuth + "\"}",
       name + "priv_pass: required for level authPriv"},
      {"{" + kV3 + kKeys + R"(,"engine_id":"0x80001f88"})",
       name + "engine_id: must be 10..64 hex digits"},
      {"{" + kV3 + kKeys + R"(,"engine_id":"80001f8880zz"})",
       name + "engine_id: must be 10..64 hex digits"},
  };
  for (const auto& c : cases) {
    SnmpSettings s;
    const std::string error = Parse(c.snmp, &s);
    EXPECT_EQ(error, c.error) << c.snmp;
    for (const std::string& secret : {kAuth, kPriv, std::string("Short-7")})
      EXPECT_EQ(error.find(secret), std::string::npos) << error;
    // Nothing of a refused configuration is kept: the defaults, no keys.
    EXPECT_EQ(s.version, SNMP_VERSION_2c);
    EXPECT_TRUE(s.user.empty() && s.auth_key.size() == 0 &&
                s.priv_key.size() == 0);
  }

  // Accepted: unknown keys are ignored, numbers may be digit strings, names
  // are matched case-insensitively, keys are derived for the level only.
  SnmpSettings s;
  EXPECT_EQ(Parse(R"({"colour":"red","timeout_ms":"300","retries":"0",)"
                  R"("non_repeaters":0,"max_repetitions":20})",
                  &s),
            "");
  EXPECT_EQ(s.timeout_us, 300000);
  EXPECT_EQ(s.retries, 0);
  EXPECT_EQ(s.non_repeaters, 0);
  EXPECT_EQ(s.max_repetitions, 20);
  EXPECT_EQ(Parse("{" + kV3 + kKeys + R"(,"level":"noAuthNoPriv"})", &s), "");
  EXPECT_EQ(s.level, SNMP_SEC_LEVEL_NOAUTH);
  EXPECT_EQ(s.auth_key.size() + s.priv_key.size(), 0u);
}

TEST(SnmpSettings, AesOf256BitsWhereTheLibraryHasIt) {
  size_t len = 0;
  if (sc_get_priv_oid(USM_CREATE_USER_PRIV_AES256, &len) == nullptr) {
    GTEST_SKIP() << "this Net-SNMP build has no AES-256 (its settings are "
                    "refused: \"not supported by this build\")";
  }
  SnmpSettings s;
  EXPECT_EQ(
      Parse("{" + kV3 + kKeys +
                R"(,"auth":"sha-256","priv":"aes-256","level":"AUTHPRIV",)"
                R"("engine_id":"0x8000AAAA0102"})",
            &s),
      "");
  EXPECT_EQ(s.level, SNMP_SEC_LEVEL_AUTHPRIV);
  EXPECT_EQ(s.auth_key.size(), 32u);  // SHA-256
  EXPECT_EQ(s.priv_key.size(), 32u);
  EXPECT_EQ(s.engine_id.size(), 6u);
}

TEST_F(WalkTest, BulkSizesTimeOutAndRetriesComeFromTheSettings) {
  using namespace std::chrono;
  Serve(TableScript(SixteenIntegers(100)));
  dev.InitSetting(ParseJson(
      R"({"appSetting":{"snmp":{"non_repeaters":0,"max_repetitions":20}}})"));
  EXPECT_EQ(Walk(), "");
  ASSERT_EQ(agent->request_count(), 1u);  // the sixteen objects in one
  EXPECT_EQ(agent->requests()[0].non_repeaters, 0);
  EXPECT_EQ(agent->requests()[0].max_repetitions, 20);
  for (unsigned e = 0; e < 16; ++e) EXPECT_EQ(dev.Reading(e), 102.0f + e) << e;

  // A silent peer holds a walk (retries + 1) x timeout_ms, with one request
  // per try.
  agent->SetScript([](const Request&) { return Reply::Drop(); });
  for (int retries : {0, 2}) {
    agent->ClearRequests();
    dev.InitSetting(ParseJson(R"({"appSetting":{"snmp":{"timeout_ms":100,)"
                              R"("retries":)" +
                              std::to_string(retries) + "}}}"));
    const auto start = steady_clock::now();
    EXPECT_EQ(Walk(), "Timeout: No Response from " + agent->peer() + "\n");
    const auto took = steady_clock::now() - start;
    EXPECT_EQ(agent->request_count(), size_t(retries) + 1);
    EXPECT_GE(took, milliseconds(90) * (retries + 1));
    EXPECT_LT(took, seconds(5));  // generous: loaded machines, sanitizers
  }
}

// A request the library cannot secure (the session's user is in no table:
// its engine was never given) hands the request back as a security error;
// the error names the library's cause, not a Report the request never was.
TEST(SnmpSettings, ASendTheLibraryCannotSecureNamesItsCause) {
  SnmpSettings s;
  ASSERT_EQ(Parse("{" + kV3 + kKeys + "}", &s), "");
  inverter::snmp::EnsureSnmpV3();
  netsnmp_session templ;
  inverter::snmp::InitTemplate(&templ);
  inverter::snmp::ApplyToTemplate(s, &templ);
  // Nothing is sent: port 9 (discard) is never reached.
  auto session =
      inverter::snmp::Session::Open(&templ, "udp:127.0.0.1:9", "label", -1);
  ASSERT_TRUE(session);
  const std::vector<oid> name(inverter::kSubtree.begin(),
                              inverter::kSubtree.end());
  inverter::snmp::PduPtr answer;
  const auto result = session->Request(
      SNMP_MSG_GETBULK, name.data(), name.size(), 1, 10,
      std::chrono::steady_clock::now() + std::chrono::seconds(2), &answer);
  EXPECT_NE(result, inverter::snmp::Session::Result::kAnswer);
  EXPECT_EQ(session->ErrorText(),
            "USM unknown security name (no such user exists)");
  inverter::snmp::WipeTemplateKeys(&templ);
}
