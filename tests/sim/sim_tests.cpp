// Runs the simulated inverter as a child process on a free loopback port and
// checks what it serves over SNMP v1, v2c and v3.
#include <gtest/gtest.h>
#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <thread>

#include "child_process.h"
#include "inverter_tables.h"
#include "json_text.h"

namespace {

namespace fs = std::filesystem;
using tarn::test::ChildProcess;
using tarn::test::SimulatorProcess;

constexpr const auto& kRoot = inverter::kSubtree;
constexpr std::size_t kRootLen = std::size(kRoot);

// Key K of K.0, type and value as text; floats with 9 digits, which tell any
// two floats apart.
using Reading = std::tuple<int, int, std::string>;

// The walk of an open session (none: std::nullopt).
std::optional<std::vector<Reading>> walk_session(void* session) {
  const long version = session ? snmp_sess_session(session)->version : 0;
  std::vector<Reading> readings;
  std::vector<oid> next(std::begin(kRoot), std::end(kRoot));
  for (int i = 0; session && i < 40; ++i) {
    netsnmp_pdu* request = snmp_pdu_create(
        version == SNMP_VERSION_1 ? SNMP_MSG_GETNEXT : SNMP_MSG_GETBULK);
    if (version != SNMP_VERSION_1) {
      request->non_repeaters = 1;
      request->max_repetitions = 10;
    }
    snmp_add_null_var(request, next.data(), next.size());
    netsnmp_pdu* answer = nullptr;
    const int status = snmp_sess_synch_response(session, request, &answer);
    const std::unique_ptr<netsnmp_pdu, void (*)(netsnmp_pdu*)> owned(
        answer, snmp_free_pdu);
    if (status == STAT_SUCCESS && version == SNMP_VERSION_1 &&
        answer->errstat == SNMP_ERR_NOSUCHNAME)
      return readings;  // v1's end of the MIB view
    if (status != STAT_SUCCESS || answer->errstat || !answer->variables)
      return std::nullopt;
    const netsnmp_variable_list& var = *answer->variables;
    if (var.type == SNMP_ENDOFMIBVIEW || var.name_length <= kRootLen ||
        !std::equal(kRoot.begin(), kRoot.end(), var.name))
      return readings;  // left the subtree
    if (var.name_length != kRootLen + 2 || var.name[kRootLen + 1] != 0)
      return std::nullopt;  // not a K.0 instance
    char text[32];
    if (var.type == ASN_OPAQUE_FLOAT)
      std::snprintf(text, sizeof text, "%.9g", *var.val.floatVal);
    else if (var.type == ASN_INTEGER)
      std::snprintf(text, sizeof text, "%ld", *var.val.integer);
    else  // unsigned 32-bit types; a long may be 32 bits wide
      std::snprintf(
          text, sizeof text, "%lu",
          static_cast<unsigned long>(*var.val.integer) & 0xffffffffUL);
    readings.emplace_back(
        var.name[kRootLen], var.type,
        var.type != ASN_OCTET_STR
            ? text
            : std::string(reinterpret_cast<char*>(var.val.string),
                          var.val_len));
    next.assign(var.name, var.name + var.name_length);
  }
  return std::nullopt;
}

// Who asks: a community (v1, v2c) or a v3 user with SHA-256 and AES,
// authNoPriv with an authentication passphrase, authPriv with both.
struct Auth {
  Auth(const char* community = "varnel") : community(community) {}
  long version = SNMP_VERSION_2c;
  std::string community, user, auth_pass, priv_pass;
};

Auth v3(std::string user, std::string auth_pass = "",
        std::string priv_pass = "") {
  Auth auth("");
  auth.version = SNMP_VERSION_3;
  auth.user = std::move(user);
  auth.auth_pass = std::move(auth_pass);
  auth.priv_pass = std::move(priv_pass);
  return auth;
}

// Walks the subtree as the plug-in does: GETBULK with non-repeaters 1 (GETNEXT
// in v1), one binding per answer. std::nullopt when a request gets no usable
// answer. A v3 walk gives the agent's engine ID and then forgets the user the
// library cached for it, so the next walk derives its keys afresh.
std::optional<std::vector<Reading>> walk(int port, Auth auth,
                                         long timeout_us = 1000000,
                                         std::string* engine_id = nullptr) {
  netsnmp_session config;
  snmp_sess_init(&config);
  config.version = auth.version;
  std::string peer = "127.0.0.1:" + std::to_string(port);
  config.peername = peer.data();
  config.community = reinterpret_cast<u_char*>(auth.community.data());
  config.community_len = auth.community.size();
  config.securityName = auth.user.data();
  config.securityNameLen = auth.user.size();
  config.securityLevel = !auth.priv_pass.empty()   ? SNMP_SEC_LEVEL_AUTHPRIV
                         : !auth.auth_pass.empty() ? SNMP_SEC_LEVEL_AUTHNOPRIV
                                                   : SNMP_SEC_LEVEL_NOAUTH;
  config.securityAuthProto = usmHMAC192SHA256AuthProtocol;
  config.securityAuthProtoLen = USM_AUTH_PROTO_SHA_LEN;
  config.securityPrivProto = usmAESPrivProtocol;
  config.securityPrivProtoLen = USM_PRIV_PROTO_AES_LEN;
  for (auto [pass, key, length] :
       {std::tuple(&auth.auth_pass, config.securityAuthKey,
                   &config.securityAuthKeyLen),
        std::tuple(&auth.priv_pass, config.securityPrivKey,
                   &config.securityPrivKeyLen)})
    if (*length = pass->empty() ? 0 : USM_AUTH_KU_LEN; *length)
      generate_Ku(config.securityAuthProto, config.securityAuthProtoLen,
                  reinterpret_cast<u_char*>(pass->data()), pass->size(), key,
                  length);
  config.timeout = timeout_us;
  config.retries = 0;
  const std::unique_ptr<void, int (*)(void*)> session(snmp_sess_open(&config),
                                                      snmp_sess_close);
  const auto readings = walk_session(session.get());
  const netsnmp_session* used = session ? snmp_sess_session(session.get()) : 0;
  if (used && auth.version == SNMP_VERSION_3) {
    if (engine_id)
      engine_id->assign(reinterpret_cast<char*>(used->securityEngineID),
                        used->securityEngineIDLen);
    if (usmUser* user =
            usm_get_user(used->securityEngineID, used->securityEngineIDLen,
                         auth.user.data())) {
      usm_remove_user(user);
      usm_free_user(user);
    }
  }
  return readings;
}

class SimTest : public ::testing::Test {
 protected:
  // The library's full initialisation (v3 needs it), without reading
  // configuration files or storing state.
  static void SetUpTestSuite() {
    setenv("MIBS", "", 1);
    for (int flag : {NETSNMP_DS_LIB_DONT_READ_CONFIGS,
                     NETSNMP_DS_LIB_DISABLE_PERSISTENT_LOAD,
                     NETSNMP_DS_LIB_DISABLE_PERSISTENT_SAVE})
      netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, flag, 1);
    init_snmp("sim_tests");
  }
  void SetUp() override {
    char pattern[] = "/tmp/sim_tests.XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    // The simulator keeps its state in a folder under TMPDIR.
    fs::create_directory(dir_ / "state");
    setenv("TMPDIR", (dir_ / "state").c_str(), 1);
  }
  void TearDown() override { fs::remove_all(dir_); }

  // Writes a profile whose objects 2..7 differ from the built-in ones.
  std::string profile(const std::string& timeline,
                      const std::string& users = "") {
    std::ofstream(dir_ / "profile.json") << R"({"objects": {
        "2": {"type": "INTEGER", "value": -5},
        "3": {"type": "INTEGER", "value": 2147483647},
        "4": {"type": "Opaque float", "value": 49.9},
        "5": {"type": "Gauge32", "value": 4000000000},
        "6": {"type": "OCTET STRING", "value": "on line"},
        "7": {"type": "Opaque float", "value": -0.125}},
      "timeline": [)" + timeline + "], \"users\": [" +
                                                users + "]}";
    return (dir_ / "profile.json").string();
  }
  // Starts a simulator on a free port; port_ is its port.
  std::unique_ptr<SimulatorProcess> start(std::vector<std::string> args) {
    auto sim = std::make_unique<SimulatorProcess>(INVERTER_SIM, args);
    port_ = sim->port();
    return sim;
  }
  // The simulator alone, to see it start or fail.
  static ChildProcess launch(std::vector<std::string> args) {
    args.insert(args.begin(), INVERTER_SIM);
    return ChildProcess(std::move(args));
  }

  fs::path dir_;
  int port_ = 0;
};

TEST_F(SimTest, ServesProfileInOrderQuietlyAndStopsCleanlyOnSigterm) {
  auto sim = start({"--profile", profile("")});
  const std::vector<Reading> expected = {
      {2, ASN_INTEGER, "-5"},
      {3, ASN_INTEGER, "2147483647"},
      {4, ASN_OPAQUE_FLOAT, "49.9000015"},  // the float nearest to 49.9
      {5, ASN_GAUGE, "4000000000"},
      {6, ASN_OCTET_STR, "on line"},
      {7, ASN_OPAQUE_FLOAT, "-0.125"},
      {8, ASN_INTEGER, "100"},  // keys the profile omits keep defaults
  };
  const auto readings = walk(port_, "varnel");
  ASSERT_TRUE(readings);
  ASSERT_EQ(readings->size(), 16u);
  EXPECT_EQ(std::vector<Reading>(readings->begin(), readings->begin() + 7),
            expected);
  for (int k = 9; k <= 17; ++k) EXPECT_EQ(std::get<0>((*readings)[k - 2]), k);

  EXPECT_FALSE(walk(port_, "public", 300000)) << "wrong community answered";

  EXPECT_EQ(sim->Stop(), 0);
  EXPECT_EQ(sim->Err(), "");
  EXPECT_TRUE(fs::is_empty(dir_ / "state")) << "left files behind";

  // Stopped at any moment of its start, it still removes its folder (a
  // signal before main() has created nothing).
  for (int delay_ms : {0, 2, 5, 10, 20, 40, 80}) {
    ChildProcess early = launch({"--listen", "127.0.0.1:0"});
    std::this_thread::sleep_for(std::chrono::milliseconds(delay_ms));
    early.Signal(SIGTERM);
    const int status = early.Wait();
    EXPECT_TRUE(status == 0 || status == 128 + SIGTERM) << status;
    EXPECT_TRUE(fs::is_empty(dir_ / "state")) << "left files at " << delay_ms;
  }
}

TEST_F(SimTest, V3UsersReadTheSameValuesAsCommunitiesAtTheirLevelOnly) {
  auto sim = start(
      {"--engine-id", "0x80001F8888A1B2C3D4E5", "--engine-boots", "41",
       "--user", "alice:sha-256:alice-auth-pass:AES:alice-priv-pass",
       "--profile",
       profile(
           "",
           R"({"name": "bob", "auth": "SHA-256", "auth_pass": "bob-pass"})")});
  const auto v2c = walk(port_, "varnel");
  ASSERT_TRUE(v2c && v2c->size() == 16u);
  Auth v1;
  v1.version = SNMP_VERSION_1;
  EXPECT_EQ(walk(port_, v1), v2c);
  std::string id;
  EXPECT_EQ(walk(port_, v3("alice", "alice-auth-pass", "alice-priv-pass"),
                 1000000, &id),
            v2c);
  EXPECT_EQ(id, std::string("\x80\x00\x1f\x88\x88\xa1\xb2\xc3\xd4\xe5", 10));
  u_int boots = 0, engine_time = 0;
  get_enginetime(reinterpret_cast<u_char*>(id.data()), id.size(), &boots,
                 &engine_time, FALSE);
  EXPECT_EQ(boots, 41u);
  EXPECT_EQ(walk(port_, v3("bob", "bob-pass")), v2c);

  // Below the user's level, wrong passphrases, unknown users: no values.
  for (const Auth& refused :
       {v3("alice", "alice-auth-pass"), v3("bob"), v3("bob", "bob-wrong"),
        v3("alice", "alice-auth-wrong", "alice-priv-pass"),
        v3("alice", "alice-auth-pass", "alice-priv-wrong"), v3("mallory")})
    EXPECT_FALSE(walk(port_, refused, 300000)) << refused.user;

  sim->Stop();
  EXPECT_EQ((sim->Out() + sim->Err()).find("-pass"), std::string::npos);
  EXPECT_TRUE(fs::is_empty(dir_ / "state")) << "left files behind";
}

TEST_F(SimTest, DefaultProfileFileMatchesBuiltInValues) {
  auto built_in_sim = start({});
  const auto built_in = walk(port_, "varnel");
  auto file_sim = start({"--profile", INVERTER_SIM_PROFILES "/default.json"});
  ASSERT_TRUE(built_in);
  EXPECT_EQ(built_in->size(), 16u);
  EXPECT_EQ(walk(port_, "varnel"), built_in);
}

TEST_F(SimTest, TimelineChangesValueAndTypeThenDurationEnds) {
  auto sim = start({"--duration", "2.5", "--profile",
                    profile(R"({"at": 1, "key": 14, "value": 1},
      {"at": 1, "key": 17, "type": "OCTET STRING", "value": "late"})")});
  EXPECT_EQ(sim->Line(1), "t=1s key 14 = 1");
  const auto after = walk(port_, "varnel");
  ASSERT_TRUE(after && after->size() == 16u);
  EXPECT_EQ((*after)[12], Reading(14, ASN_INTEGER, "1"));
  EXPECT_EQ((*after)[15], Reading(17, ASN_OCTET_STR, "late"));
  EXPECT_EQ(sim->Wait(), 0);
}

TEST_F(SimTest, BadProfileOrOptionExitsWithStatus2AndOneLine) {
  for (const char* bad : {
           R"({"objects": {"2": {"type": "INTEGER", "value": 1})",  // syntax
           R"({"objects": {"18": {"type": "INTEGER", "value": 1}}})",
           R"({"objects": {"2": {"type": "Counter64", "value": 1}}})",
           R"({"objects": {"2": {"type": "INTEGER", "value": "220"}}})",
           R"({"timeline": [{"at": 1, "key": 3, "value": 1.5}]})",
       }) {
    std::ofstream(dir_ / "bad.json") << bad;
    ChildProcess bad_sim = launch({"--profile", (dir_ / "bad.json").string()});
    EXPECT_EQ(bad_sim.Wait(), 2) << bad;
    EXPECT_EQ(bad_sim.Out(), "") << "started with " << bad;
    const std::string text = bad_sim.Err();
    EXPECT_TRUE(text.size() > 1 && text.find('\n') == text.size() - 1) << text;
  }
  // UDP only; bad users refused in one line without their passphrases.
  for (std::vector<std::string> args : std::vector<std::vector<std::string>>{
           {"--listen", "tcp:127.0.0.1:0"},
           {"--listen", "tcp:0"},
           {"--listen", "unix:/tmp/sim.sock"},
           {"--listen", "/tmp/sim.sock"},
           {"--listen", "127.0.0.1:0,127.0.0.1:0"},
           {"--listen", "127.0.0.1"},
           {"--listen", "127.0.0.1:99999"},
           {"--user", "u:SHA1:secret-pass"},
           {"--user", "u:secret-pass:SHA"},
           {"--user", "u:SHA:secret-pass:AES128:secret-priv"},
           {"--user", "u:SHA:secret-pass:AES:secret"},
           {"--user", "u x:SHA:secret-pass"},
           {"--user", "u:MD5"}}) {
    ChildProcess bad_sim = launch(args);
    EXPECT_EQ(bad_sim.Wait(), 2) << args[1];
    const std::string text = bad_sim.Err();
    EXPECT_EQ(text.find('\n'), text.size() - 1) << text;
    EXPECT_EQ(text.find("secret"), text.npos) << text;
  }
}

// What scripts read instead of restating the inverter: one line of JSON with
// the table's objects, each with the type the simulator serves, and the
// record's layout.
TEST_F(SimTest, DescribeGivesTheObjectsAsServedAndTheRecordLayout) {
  ChildProcess described = launch({"--describe"});
  EXPECT_EQ(described.Wait(), 0);
  const std::string text = described.Out();
  EXPECT_EQ(text.find('\n'), text.size() - 1) << text;
  const Json::Value d = tarn::test::ParseJson(text, "--describe");
  EXPECT_EQ(d["subtree"], "1.3.6.1.4.1.44782.4.6.1.1");
  EXPECT_EQ(d["record"]["length"], 75);
  EXPECT_EQ(d["record"]["round_time"]["offset"], 68);
  EXPECT_EQ(d["record"]["round_time"]["size"], 7);
  auto sim = start({});
  const auto served = walk(port_, "varnel");
  ASSERT_TRUE(served && served->size() == inverter::kReadings.size());
  ASSERT_EQ(d["objects"].size(), served->size());
  for (Json::ArrayIndex i = 0; i < d["objects"].size(); ++i) {
    const Json::Value& o = d["objects"][i];
    EXPECT_EQ(o["key"], std::get<0>((*served)[i]));
    EXPECT_EQ(o["reading"].asUInt(), i);
    EXPECT_EQ(o["name"], inverter::kReadings[i].name);
    EXPECT_EQ(o["unit"], inverter::kReadings[i].unit);
    EXPECT_EQ(o["type"], std::get<1>((*served)[i]) == ASN_OPAQUE_FLOAT
                             ? "Opaque float"
                             : "INTEGER");
  }
}

}  // namespace
