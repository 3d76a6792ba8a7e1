// Runs the simulated inverter as a child process on a free loopback port and
// checks what it serves over SNMP v2c.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <sstream>
#include <thread>

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr oid kRoot[] = {1, 3, 6, 1, 4, 1, 44782, 4, 6, 1, 1};
constexpr std::size_t kRootLen = std::size(kRoot);

// Key K of K.0, type and value as text; floats with 9 digits, which tell any
// two floats apart.
using Reading = std::tuple<int, int, std::string>;

std::string read_file(const fs::path& path) {
  std::ifstream in(path);
  return {std::istreambuf_iterator<char>(in), {}};
}

// The simulator as a child process with stdout and stderr in files next to
// `out`; stopped by pid with SIGTERM (SIGKILL if it hangs) and waited for when
// the object goes away.
class Sim {
 public:
  Sim(std::vector<std::string> args, const fs::path& out) : out_(out) {
    args.insert(args.begin(), INVERTER_SIM);
    std::vector<char*> argv;
    for (auto& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    pid_ = fork();
    if (pid_ == 0) {
      const int flags = O_WRONLY | O_CREAT | O_TRUNC;
      dup2(open(out.c_str(), flags, 0600), 1);
      dup2(open(err().c_str(), flags, 0600), 2);
      execv(argv[0], argv.data());
      _exit(127);
    }
  }
  ~Sim() {
    if (pid_ <= 0) return;
    terminate();
    if (wait_exit() == -1 && kill(pid_, SIGKILL) == 0)
      waitpid(pid_, nullptr, 0);
  }

  fs::path err() const { return fs::path(out_) += ".err"; }
  // Line `index` of stdout once complete, or "" if it is not within 5 s.
  std::string line(std::size_t index) const {
    for (int i = 0; i < 250; ++i, std::this_thread::sleep_for(20ms)) {
      std::istringstream text(read_file(out_));
      std::string line;
      for (std::size_t n = 0; std::getline(text, line) && !text.eof(); ++n)
        if (n == index) return line;
    }
    return "";
  }
  // Exit status (128 + N when killed by signal N), or -1 if the child has
  // not ended within 5 s.
  int wait_exit() {
    for (int i = 0; i < 250; ++i, std::this_thread::sleep_for(20ms)) {
      int status = 0;
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      }
    }
    return -1;
  }
  void terminate() const { kill(pid_, SIGTERM); }

 private:
  fs::path out_;
  pid_t pid_ = -1;
};

// Walks the subtree as the plug-in does: GETBULK with non-repeaters 1, one
// binding per answer. std::nullopt when a request gets no usable answer.
std::optional<std::vector<Reading>> walk(int port, std::string community,
                                         long timeout_us = 1000000) {
  netsnmp_session config;
  snmp_sess_init(&config);
  config.version = SNMP_VERSION_2c;
  std::string peer = "127.0.0.1:" + std::to_string(port);
  config.peername = peer.data();
  config.community = reinterpret_cast<u_char*>(community.data());
  config.community_len = community.size();
  config.timeout = timeout_us;
  config.retries = 0;
  const std::unique_ptr<void, int (*)(void*)> session(snmp_sess_open(&config),
                                                      snmp_sess_close);
  std::vector<Reading> readings;
  std::vector<oid> next(std::begin(kRoot), std::end(kRoot));
  for (int i = 0; session && i < 40; ++i) {
    netsnmp_pdu* request = snmp_pdu_create(SNMP_MSG_GETBULK);
    request->non_repeaters = 1;
    request->max_repetitions = 10;
    snmp_add_null_var(request, next.data(), next.size());
    netsnmp_pdu* answer = nullptr;
    const int status =
        snmp_sess_synch_response(session.get(), request, &answer);
    const std::unique_ptr<netsnmp_pdu, void (*)(netsnmp_pdu*)> owned(
        answer, snmp_free_pdu);
    if (status != STAT_SUCCESS || answer->errstat || !answer->variables)
      return std::nullopt;
    const netsnmp_variable_list& var = *answer->variables;
    if (var.type == SNMP_ENDOFMIBVIEW || var.name_length <= kRootLen ||
        !std::equal(kRoot, kRoot + kRootLen, var.name))
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

class SimTest : public ::testing::Test {
 protected:
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
  std::string profile(const std::string& timeline) {
    std::ofstream(dir_ / "profile.json") << R"({"objects": {
        "2": {"type": "INTEGER", "value": -5},
        "3": {"type": "INTEGER", "value": 2147483647},
        "4": {"type": "Opaque float", "value": 49.9},
        "5": {"type": "Gauge32", "value": 4000000000},
        "6": {"type": "OCTET STRING", "value": "on line"},
        "7": {"type": "Opaque float", "value": -0.125}},
      "timeline": [)" + timeline + "]}";
    return (dir_ / "profile.json").string();
  }
  // Starts a simulator on port 0 and takes the port it got from its ready
  // line.
  std::unique_ptr<Sim> start(std::vector<std::string> args) {
    args.insert(args.end(), {"--listen", "127.0.0.1:0"});
    auto sim = std::make_unique<Sim>(args, dir_ / std::to_string(++started_));
    const std::string ready = sim->line(0);
    port_ = 0;
    std::sscanf(ready.c_str(), "ready 127.0.0.1:%d", &port_);
    EXPECT_GT(port_, 0) << ready;
    return sim;
  }

  fs::path dir_;
  int port_ = 0;
  int started_ = 0;
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

  sim->terminate();
  EXPECT_EQ(sim->wait_exit(), 0);
  EXPECT_EQ(read_file(sim->err()), "");
  EXPECT_TRUE(fs::is_empty(dir_ / "state")) << "left files behind";

  // Stopped at any moment of its start, it still removes its folder (a
  // signal before main() has created nothing).
  for (int delay_ms : {0, 2, 5, 10, 20, 40, 80}) {
    Sim early({"--listen", "127.0.0.1:0"}, dir_ / "early");
    std::this_thread::sleep_for(std::chrono::milliseconds(delay_ms));
    early.terminate();
    const int status = early.wait_exit();
    EXPECT_TRUE(status == 0 || status == 128 + SIGTERM) << status;
    EXPECT_TRUE(fs::is_empty(dir_ / "state")) << "left files at " << delay_ms;
  }
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
  EXPECT_EQ(sim->line(1), "t=1s key 14 = 1");
  const auto after = walk(port_, "varnel");
  ASSERT_TRUE(after && after->size() == 16u);
  EXPECT_EQ((*after)[12], Reading(14, ASN_INTEGER, "1"));
  EXPECT_EQ((*after)[15], Reading(17, ASN_OCTET_STR, "late"));
  EXPECT_EQ(sim->wait_exit(), 0);
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
    Sim sim({"--profile", (dir_ / "bad.json").string()}, dir_ / "out");
    EXPECT_EQ(sim.wait_exit(), 2) << bad;
    EXPECT_EQ(read_file(dir_ / "out"), "") << "started with " << bad;
    const std::string text = read_file(sim.err());
    EXPECT_TRUE(text.size() > 1 && text.find('\n') == text.size() - 1) << text;
  }
  // UDP only: other transports, lists and missing ports are refused.
  for (const char* listen :
       {"tcp:127.0.0.1:0", "tcp:0", "unix:/tmp/sim.sock", "/tmp/sim.sock",
        "127.0.0.1:0,127.0.0.1:0", "127.0.0.1", "udp6:::1:0"}) {
    Sim sim({"--listen", listen}, dir_ / "out");
    EXPECT_EQ(sim.wait_exit(), 2) << listen;
    const std::string text = read_file(sim.err());
    EXPECT_EQ(text.find('\n'), text.size() - 1) << text;
  }
}

}  // namespace
