// The walk's trust and time boundaries: answers only from the inverter, only
// over UDP, never unbounded, never stale unmarked, no use after free at exit.

#include <arpa/inet.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "walk_fixture.h"

using namespace walk;
using namespace std::chrono;
using Kind = host::Call::Kind;

namespace {

// A non-blocking socket bound on loopback (port 0: any), or on a Unix path.
int Bound(int type, const char* ip, sockaddr_un* unix_path = nullptr) {
  const int fd = socket(unix_path ? AF_UNIX : AF_INET, type | SOCK_NONBLOCK, 0);
  sockaddr_in in{AF_INET, 0, {ip ? inet_addr(ip) : 0}, {}};
  const bool ok =
      unix_path ? bind(fd, reinterpret_cast<sockaddr*>(unix_path),
                       sizeof *unix_path) == 0
                : bind(fd, reinterpret_cast<sockaddr*>(&in), sizeof in) == 0;
  if (!ok || (type == SOCK_STREAM && listen(fd, 4) != 0)) ADD_FAILURE() << ip;
  return fd;
}

int PortOf(int fd) {
  sockaddr_in in{};
  socklen_t len = sizeof in;
  getsockname(fd, reinterpret_cast<sockaddr*>(&in), &len);
  return ntohs(in.sin_port);
}

SNMP_KEHUA_INVERTER_Data_t Cached(float value) {
  SNMP_KEHUA_INVERTER_Data_t record;
  std::memset(&record, 0, sizeof record);
  for (unsigned e = 0; e < 16; ++e)
    std::memcpy(reinterpret_cast<unsigned char*>(&record) + 4 + 4 * e, &value,
                4);
  return record;
}

float Published(const host::Call& call, unsigned entry) {
  float v;
  std::memcpy(&v, call.bytes.data() + 4 + 4 * entry, 4);
  return v;
}

}  // namespace

TEST_F(WalkTest, OnlyThePeerAnswersAndRequestIdsAreUnpredictable) {
  const Table table = SixteenIntegers(200), forged = SixteenIntegers(600);
  // Forged answers, right id and community, from another address and from
  // another port of the agent's address, before the agent's own answer.
  const int from_other_address = Bound(SOCK_DGRAM, "127.0.0.2");
  const int from_other_port = Bound(SOCK_DGRAM, "127.0.0.1");
  Serve([&](const Request& r) {
    const auto bytes = EncodeResponse(r.request_id, r.community,
                                      AnswerFromTable(forged, r).bindings);
    sockaddr_in to{AF_INET, htons(r.sender_port), {inet_addr("127.0.0.1")}, {}};
    for (int fd : {from_other_address, from_other_port})
      sendto(fd, bytes.data(), bytes.size(), 0,
             reinterpret_cast<sockaddr*>(&to), sizeof to);
    return AnswerFromTable(table, r).Delayed(milliseconds(30));
  });
  dev.session_.timeout = 2000 * 1000;
  EXPECT_EQ(Walk(), "");
  for (unsigned e = 0; e < 16; ++e) EXPECT_EQ(dev.Reading(e), 202.0f + e);
  const auto log = agent->requests();
  ASSERT_EQ(log.size(), 17u);
  for (size_t i = 1; i < log.size(); ++i)  // not counted up: far apart
    EXPECT_GT(std::labs(log[i].request_id - log[i - 1].request_id), 1000) << i;
  close(from_other_address);
  close(from_other_port);
}

TEST_F(WalkTest, OnlyUdpPeersAreOpenedAndOthersRefusedWithOneLine) {
  Serve(TableScript(SixteenIntegers(0)));
  sockaddr_un path{AF_UNIX, {}};
  const std::string where =
      testing::TempDir() + "inverter-" + std::to_string(getpid()) + ".sock";
  std::strncpy(path.sun_path, where.c_str(), sizeof path.sun_path - 1);
  const int tcp = Bound(SOCK_STREAM, "127.0.0.1"),
            unix_listener = Bound(SOCK_STREAM, nullptr, &path),
            udp = Bound(SOCK_DGRAM, "127.0.0.1");
  const std::string tcp_at = "127.0.0.1:" + std::to_string(PortOf(tcp));
  const std::string udp_at = "127.0.0.1:" + std::to_string(PortOf(udp));
  const std::string other = "\" not allowed, only UDP";
  const std::pair<std::string, std::string> refused[] = {
      {"tcp:" + tcp_at, "transport \"tcp" + other},
      {"TCP6:[::1]:1", "transport \"TCP6" + other},
      {"unix:" + where, "transport \"unix" + other},
      {where, "not a UDP address (Unix socket path)"},
      {"tls:127.0.0.1:16100", "transport \"tls" + other},
      {"tlstcp:" + tcp_at, "transport \"tlstcp" + other},
      {"dtlsudp:" + udp_at, "transport \"dtlsudp" + other},
      {"[::1", "malformed bracketed IPv6 address"},
      {"127.0.0.1\n:161", "control character in the address"},
      {std::string("127.0.0.1\0:161", 14), "control character in the address"},
  };
  for (const auto& [address, why] : refused) {
    dev.SetIds(7, address);
    dev.InitSetting(ParseJson("{}"));
    EXPECT_EQ(Walk(), "snmpbulkwalk: " + inverter::snmp::Printable(address) +
                          ": " + why + "\n");
  }
  EXPECT_EQ(Rounds(), 0u);
  char byte;
  EXPECT_LT(accept(tcp, nullptr, nullptr), 0);  // nobody connected
  EXPECT_LT(accept(unix_listener, nullptr, nullptr), 0);
  EXPECT_LT(recv(udp, &byte, 1, 0), 0);  // nothing sent
  for (int fd : {tcp, unix_listener, udp}) close(fd);
  unlink(where.c_str());
  // A UDP domain named explicitly is taken.
  dev.SetIds(7, "udp:" + agent->peer());
  dev.InitSetting(ParseJson("{}"));
  EXPECT_EQ(Walk(), "");
  EXPECT_EQ(dev.Reading(15), 17.0f);
}

TEST(TimeBounds, DeleteAndReInitEndAWalkOnAnAgentThatAnswersAfter9s) {
  host::Recorder rec;
  host::ScopedObserver attach{&rec};
  const Table table = SixteenIntegers(0);
  ScriptedAgent agent([&](const Request& r) {
    return AnswerFromTable(table, r).Delayed(seconds(9));
  });
  auto dev = std::make_unique<InverterProbe>();
  dev->SetIds(5, agent.peer());
  const Json::Value threaded = ParseJson(R"({"appSetting":{"use_thread":1}})");
  dev->InitSetting(threaded);
  ASSERT_TRUE(agent.WaitForRequests(1, seconds(5)));
  // 100 ms each, with a margin for loaded machines and sanitizers.
  auto start = steady_clock::now();
  dev->InitSetting(threaded);
  EXPECT_LT(steady_clock::now() - start, seconds(1));
  std::this_thread::sleep_for(milliseconds(100));  // the new walk waits
  start = steady_clock::now();
  dev.reset();
  EXPECT_LT(steady_clock::now() - start, seconds(1));
  EXPECT_EQ(rec.Count(Kind::SendSP), 0u);  // interrupted walks: no round
}

TEST_F(WalkTest, AWalkIsCutAtItsTimeLimitAndCompletesItsRound) {
  Serve([](const Request& r) {
    if (r.oids[0] == BaseOid()) return Reply::Answer({{KeyOid(2), Integer(9)}});
    return Reply::Answer({{KeyOid(3), Integer(8)}}).Delayed(seconds(9));
  });
  dev.session_.timeout = 20 * 1000 * 1000;
  dev.max_walk_time_ = milliseconds(300);  // stands for the 60 s
  const auto start = steady_clock::now();
  EXPECT_EQ(Walk(), "Walk of " + agent->peer() +
                        " cut short: walk took longer than 60 s\n");
  EXPECT_LT(steady_clock::now() - start, seconds(3));
  EXPECT_EQ(Rounds(), 1u);
  EXPECT_EQ(dev.Reading(0), 9.0f);
}

TEST_F(WalkTest, CacheLoadsNeverWaitForTheNetworkNorDeadlockInARound) {
  const auto cached = Cached(-1.0f);
  const auto* bytes = reinterpret_cast<const unsigned char*>(&cached);
  Serve([](const Request&) { return Reply::Drop(); });
  dev.session_.timeout = 5 * 1000 * 1000;
  dev.InitSetting(ParseJson(R"({"appSetting":{"use_thread":1}})"));
  ASSERT_TRUE(agent->WaitForRequests(1, seconds(5)));
  const auto start = steady_clock::now();
  EXPECT_TRUE(dev.LoadFromCache(bytes, sizeof cached));
  EXPECT_LT(steady_clock::now() - start, milliseconds(100));  // a few ms
  dev.InitSetting(ParseJson(R"({"appSetting":{"use_thread":0}})"));
  ASSERT_EQ(Rounds(), 1u);
  EXPECT_EQ(dev.Reading(0), -1.0f);

  // The host reloads from inside its own callbacks, on the walking thread:
  // the load's round follows the walk's, neither mixed with the other.
  struct Reloader : host::Observer {
    Reloader(host::Recorder* r, InverterProbe* d, const unsigned char* b,
             Kind w)
        : rec(r), dev(d), bytes(b), when(w) {}
    void OnCall(const host::Call& c) override {
      rec->OnCall(c);
      if (c.kind == when && !done) done = dev->LoadFromCache(bytes, 75);
    }
    host::Recorder* rec;
    InverterProbe* dev;
    const unsigned char* bytes;
    Kind when;
    bool done = false;
  };
  agent->SetScript(TableScript(SixteenIntegers(0)));
  dev.session_.timeout = 1000 * 1000;
  for (Kind when : {Kind::SendSP, Kind::SaveDeviceHistory}) {
    Reloader reloader(&rec, &dev, bytes, when);
    host::ScopedObserver attach_reloader{&reloader};
    rec.Clear();
    EXPECT_EQ(Walk(), "");
    const auto sends = rec.CallsOf(Kind::SendSP);
    ASSERT_EQ(sends.size(), 2u);
    EXPECT_EQ(rec.Count(Kind::SaveDeviceHistory), 2u);
    for (unsigned e = 0; e < 16; ++e) {
      EXPECT_EQ(Published(sends[0], e), 2.0f + e);
      EXPECT_EQ(Published(sends[1], e), -1.0f);
    }
  }
}

TEST_F(WalkTest, ALostInverterIsMarkedUntilItAnswersAgain) {
  Table without = SixteenIntegers(0);
  without.erase(KeyOid(16));
  const Script silent = [](const Request&) { return Reply::Drop(); };
  // Walk after walk: the communication-status reading (entry 14, key 16).
  const std::pair<Script, float> walks[] = {
      {silent, 1.0f},                             // lost: marked
      {TableScript(without), 0.0f},               // back, never given: 0
      {TableScript(SixteenIntegers(0)), 16.0f},   // the agent's value
      {silent, 1.0f},                             // lost again
      {TableScript(without), 16.0f},              // the agent's last one
      {TableScript(SixteenIntegers(-16)), 0.0f},  // the agent's new one
  };
  Serve(silent);
  for (const auto& [script, status] : walks) {
    agent->SetScript(script);
    Walk();
    EXPECT_EQ(Published(rec.CallsOf(Kind::SendSP).back(), 14), status);
  }
  EXPECT_EQ(Rounds(), 6u);
}

TEST_F(WalkTest, AFailedSecondInitSettingLeavesTheDeviceSampling) {
  Serve(TableScript(SixteenIntegers(0)));
  dev.pause_ = milliseconds(20);
  dev.InitSetting(ParseJson(R"({"appSetting":{"use_thread":1,"b_mode":2}})"));
  EXPECT_ANY_THROW(dev.InitSetting(
      ParseJson(R"({"appSetting":{"use_thread":0,"b_mode":[1]}})")));
  EXPECT_TRUE(dev.Threaded());
  EXPECT_EQ(dev.use_thread_, 1);
  EXPECT_EQ(dev.b_mode_, 2);
  const size_t rounds = Rounds();
  EXPECT_TRUE(rec.WaitFor(
      [&](const std::vector<host::Call>& calls) {
        return size_t(std::count_if(calls.begin(), calls.end(), [](auto& c) {
                 return c.kind == Kind::SendSP;
               })) >= rounds + 2;
      },
      seconds(10)));
}

TEST(ProcessExit, AThreadedDeviceInAlarmModeTwoOutlivesTheStaticDestructors) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");  // a fresh process
  // Registered before the first round, the handler runs after the
  // destructors of statics made in that round, while rounds go on.
  EXPECT_EXIT(
      {
        std::atexit([] { std::this_thread::sleep_for(milliseconds(300)); });
        static auto* rec = new host::Recorder;
        host::SetObserver(rec);
        static auto* agent = new ScriptedAgent(TableScript(SixteenIntegers(0)));
        static auto* dev = new InverterProbe;
        dev->pause_ = milliseconds(1);
        dev->SetIds(9, agent->peer());
        dev->InitSetting(
            ParseJson(R"({"appSetting":{"use_thread":1,"b_mode":2}})"));
        rec->WaitFor([](const auto& c) { return c.size() > 40; }, seconds(10));
        std::exit(0);
      },
      testing::ExitedWithCode(0), "");
}
