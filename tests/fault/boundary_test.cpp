// The walk's trust and time boundaries: answers only from the inverter, only
// over UDP, never unbounded, never stale unmarked, no use after free at exit.

#include <arpa/inet.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <netdb.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <thread>
#include <utility>

#include "name_lookup.h"
#include "walk_fixture.h"

using namespace walk;
using namespace std::chrono;
using Kind = host::Call::Kind;

namespace {

// A non-blocking socket bound on `ip`, port 0 (any), or on a Unix path;
// listening if a stream socket.
int Bound(int type, const char* ip, const sockaddr_un* path = nullptr) {
  const int fd = socket(path ? AF_UNIX : AF_INET, type | SOCK_NONBLOCK, 0);
  sockaddr_in in{AF_INET, 0, {ip ? inet_addr(ip) : 0}, {}};
  const auto* at = path ? reinterpret_cast<const sockaddr*>(path)
                        : reinterpret_cast<const sockaddr*>(&in);
  EXPECT_EQ(bind(fd, at, path ? sizeof *path : sizeof in), 0);
  if (type == SOCK_STREAM) {
    EXPECT_EQ(listen(fd, 4), 0);
  }
  return fd;
}

std::string At(int fd) {
  sockaddr_in in{};
  socklen_t len = sizeof in;
  getsockname(fd, reinterpret_cast<sockaddr*>(&in), &len);
  return "127.0.0.1:" + std::to_string(ntohs(in.sin_port));
}

// The resolver that the driver and Net-SNMP call in this program. Only
// numeric addresses reach the real one (read without a lookup);
// "agent.invalid" is loopback, "block.invalid" is held while blocking (4 s at
// most: a resolver that does not answer), any other name is unknown. Never
// destroyed: walks go on while the program exits.
struct Resolver {
  bool WaitHeld(int n) {
    std::unique_lock<std::mutex> lock(mutex);
    return changed.wait_for(lock, seconds(5), [&] {
      return std::count(asked.begin(), asked.end(), "block.invalid") >= n;
    });
  }
  void Block(bool on) {
    std::lock_guard<std::mutex> lock(mutex);
    blocking = on;
    changed.notify_all();
  }
  std::vector<std::string> Take() {
    std::lock_guard<std::mutex> lock(mutex);
    return std::exchange(asked, {});
  }
  std::mutex mutex;
  std::condition_variable changed;
  bool blocking = false;
  std::vector<std::string> asked;  // names, in the order asked
};
Resolver& resolver = *new Resolver;

}  // namespace

extern "C" int getaddrinfo(const char* node, const char* service,
                           const addrinfo* hints, addrinfo** res) {
  using Real = int (*)(const char*, const char*, const addrinfo*, addrinfo**);
  static const auto real =
      reinterpret_cast<Real>(dlsym(RTLD_NEXT, "getaddrinfo"));
  const std::string name = node != nullptr ? node : "";
  std::unique_lock<std::mutex> lock(resolver.mutex);
  resolver.asked.push_back(name);
  resolver.changed.notify_all();
  if (name == "block.invalid") {
    resolver.changed.wait_for(lock, seconds(4),
                              [] { return !resolver.blocking; });
    return EAI_AGAIN;
  }
  lock.unlock();
  in6_addr numeric;
  if (name == "agent.invalid") {
    node =
        hints != nullptr && hints->ai_family == AF_INET6 ? "::1" : "127.0.0.1";
  } else if (inet_pton(AF_INET, name.c_str(), &numeric) != 1 &&
             inet_pton(AF_INET6, name.c_str(), &numeric) != 1) {
    return EAI_NONAME;
  }
  return real(node, service, hints, res);
}

TEST_F(WalkTest, OnlyThePeerAnswersAndRequestIdsAreUnpredictable) {
  const Table table = SixteenIntegers(200), forged = SixteenIntegers(600);
  // Forged answers, right id and community, from another address and from
  // another port of the agent's address, before the agent's own answer.
  const int other_address = Bound(SOCK_DGRAM, "127.0.0.2");
  const int other_port = Bound(SOCK_DGRAM, "127.0.0.1");
  Serve([&](const Request& r) {
    const auto bytes = EncodeResponse(r.request_id, r.community,
                                      AnswerFromTable(forged, r).bindings);
    sockaddr_in to{AF_INET, htons(r.sender_port), {inet_addr("127.0.0.1")}, {}};
    for (int fd : {other_address, other_port})
      sendto(fd, bytes.data(), bytes.size(), 0,
             reinterpret_cast<sockaddr*>(&to), sizeof to);
    return AnswerFromTable(table, r).Delayed(milliseconds(30));
  });
  dev.SessionTemplate().timeout = 2000 * 1000;
  EXPECT_EQ(Walk(), "");
  for (unsigned e = 0; e < 16; ++e) EXPECT_EQ(dev.Reading(e), 202.0f + e);
  const auto log = agent->requests();
  ASSERT_EQ(log.size(), 17u);
  for (size_t i = 1; i < log.size(); ++i)  // not counted up: far apart
    EXPECT_GT(std::labs(log[i].request_id - log[i - 1].request_id), 1000) << i;
  agent.reset();
  close(other_address);
  close(other_port);
}

TEST_F(WalkTest, AnswersFromAnotherAddressAreToldAfterTheTimeOut) {
  const int other = Bound(SOCK_DGRAM, "127.0.0.2");  // the card's other side
  Serve([&](const Request& r) {
    const auto bytes =
        EncodeResponse(r.request_id, r.community,
                       AnswerFromTable(SixteenIntegers(0), r).bindings);
    sockaddr_in to{AF_INET, htons(r.sender_port), {inet_addr("127.0.0.1")}, {}};
    sendto(other, bytes.data(), bytes.size(), 0,
           reinterpret_cast<sockaddr*>(&to), sizeof to);
    return Reply::Drop();
  });
  EXPECT_EQ(Walk(), "Timeout: No Response from " + agent->peer() +
                        "\n2 answers from 127.0.0.2" + At(other).substr(9) +
                        " refused: not the inverter's address\n");
  EXPECT_EQ(dev.Reading(14), 1.0f);
  agent.reset();
  close(other);
}

TEST_F(WalkTest, OnlyUdpPeersAreOpenedAndOthersRefusedWithOneLine) {
  Serve(TableScript(SixteenIntegers(0)));
  const std::string path =
      testing::TempDir() + "inverter-" + std::to_string(getpid()) + ".sock";
  sockaddr_un un{AF_UNIX, {}};
  path.copy(un.sun_path, sizeof un.sun_path - 1);
  const int tcp = Bound(SOCK_STREAM, "127.0.0.1"),
            udp = Bound(SOCK_DGRAM, "127.0.0.1"),
            unix_stream = Bound(SOCK_STREAM, nullptr, &un);
  const std::string no = "\" not allowed, only UDP", ctl = "control character";
  // The address, why it is refused, and how the line shows it when that is
  // not as it was given.
  struct Refused {
    std::string address, why, shown = {};
  };
  const Refused refused[] = {
      {"tcp:" + At(tcp), "transport \"tcp" + no},
      {"TCP6:[::1]:1", "transport \"TCP6" + no},
      {"unix:" + path, "transport \"unix" + no},
      {path, "not a UDP address (Unix socket path)"},
      {"tls:127.0.0.1:16100", "transport \"tls" + no},
      {"tlstcp:" + At(tcp), "transport \"tlstcp" + no},
      {"dtlsudp:" + At(udp), "transport \"dtlsudp" + no},
      {"[::1", "malformed bracketed IPv6 address"},
      {"127.0.0.1:99999", "port \"99999\" is not a number from 0 to 65535"},
      {"udp6:[::1]:65536", "port \"65536\" is not a number from 0 to 65535"},
      {"127.0.0.1\n:161", ctl + " in the address", "127.0.0.1\\x0a:161"},
      {std::string("127.0.0.1\0:161", 14), ctl + " in the address",
       "127.0.0.1\\x00:161"},
      {"\x7f"
       "127.0.0.1",
       ctl + " in the address", "\\x7f127.0.0.1"},
      // Open errors name the address too; non-ASCII bytes show as they are.
      {"inverter.invalid:16100", "Unknown host"},
      {"wechselrichter-k\xc3\xbc"
       "che.invalid:16100",
       "Unknown host"},
      {"block.invalid:16100", "name lookup timed out after 200 ms"},
  };
  resolver.Block(true);
  for (const auto& [address, why, shown] : refused) {
    dev.SetIds(7, address);
    dev.InitSetting(ParseJson(R"({"appSetting":{"snmp":{"timeout_ms":200}}})"));
    EXPECT_EQ(Walk(), "snmpbulkwalk: " + (shown.empty() ? address : shown) +
                          ": " + why + "\n");
  }
  resolver.Block(false);
  EXPECT_EQ(Rounds(), 0u);
  char byte;
  EXPECT_LT(accept(tcp, nullptr, nullptr), 0);  // nobody connected
  EXPECT_LT(accept(unix_stream, nullptr, nullptr), 0);
  EXPECT_LT(recv(udp, &byte, 1, 0), 0);  // nothing sent
  for (int fd : {tcp, unix_stream, udp}) close(fd);
  unlink(path.c_str());
  dev.SetIds(7, "udp:" + agent->peer());  // a UDP domain named is taken
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

TEST(TimeBounds, ADeviceWithoutItsEventfdStillStopsMidPause) {
  host::Recorder rec;
  host::ScopedObserver attach{&rec};
  ScriptedAgent agent(TableScript(SixteenIntegers(0)));
  delete new InverterProbe;  // the library's one-time set-up done
  // No descriptor free under the limit while the device is made.
  rlimit limit;
  getrlimit(RLIMIT_NOFILE, &limit);
  const int lowest = open("/dev/null", O_RDONLY);
  close(lowest);
  const rlimit full = {static_cast<rlim_t>(lowest), limit.rlim_max};
  testing::internal::CaptureStderr();
  setrlimit(RLIMIT_NOFILE, &full);
  auto dev = std::make_unique<InverterProbe>();
  setrlimit(RLIMIT_NOFILE, &limit);
  EXPECT_NE(testing::internal::GetCapturedStderr().find("eventfd: "),
            std::string::npos);
  dev->SetIds(5, agent.peer());
  dev->InitSetting(ParseJson(R"({"appSetting":{"use_thread":1}})"));
  ASSERT_TRUE(WaitRounds(rec, dev.get(), 1, seconds(10)));
  std::this_thread::sleep_for(milliseconds(200));  // into its 5 s pause
  const auto start = steady_clock::now();
  dev.reset();
  EXPECT_LT(steady_clock::now() - start, seconds(1));
}

TEST_F(WalkTest, NamesAreLookedUpBeforeTheLibraryNumericAddressesNever) {
  Serve(TableScript(SixteenIntegers(0)));
  const std::string port = agent->peer().substr(agent->peer().rfind(':'));
  resolver.Take();
  EXPECT_EQ(Walk(), "");  // 127.0.0.1:PORT, which only the library reads
  EXPECT_EQ(resolver.Take(), std::vector<std::string>{"127.0.0.1"});
  dev.SetIds(7, "agent.invalid" + port);
  dev.InitSetting(ParseJson("{}"));
  EXPECT_EQ(Walk(), "");  // the library gets the address looked up
  EXPECT_EQ(resolver.Take(),
            (std::vector<std::string>{"agent.invalid", "127.0.0.1"}));
  const auto v6 =
      inverter::snmp::ToNumericPeer("udp6:agent.invalid:161", seconds(1), -1);
  EXPECT_EQ(v6.peer, "udp6:[::1]:161");  // udp6: and brackets take IPv6
  EXPECT_EQ(Rounds(), 2u);
}

TEST(TimeBounds, ALookupThatDoesNotAnswerHoldsNoOtherDeviceNorAStop) {
  host::Recorder rec;
  host::ScopedObserver attach{&rec};
  ScriptedAgent agent(TableScript(SixteenIntegers(0)));
  const Json::Value threaded = ParseJson(R"({"appSetting":{"use_thread":1}})");
  InverterProbe other;  // walks on meanwhile, round after round
  other.SetIds(6, agent.peer());
  other.SetPause(milliseconds(20));
  other.InitSetting(threaded);
  resolver.Take();
  resolver.Block(true);
  auto dev = std::make_unique<InverterProbe>();
  const TarnVDevice* id = dev.get();
  dev->SetIds(5, "block.invalid:16100");
  dev->InitSetting(threaded);
  ASSERT_TRUE(resolver.WaitHeld(1));
  EXPECT_TRUE(
      WaitRounds(rec, &other, rec.Count(Kind::SendSP, &other) + 3, seconds(2)));
  // 100 ms each, with a margin for loaded machines and sanitizers.
  auto start = steady_clock::now();
  dev->InitSetting(threaded);
  EXPECT_LT(steady_clock::now() - start, seconds(1));
  std::this_thread::sleep_for(milliseconds(100));  // the new walk has begun
  const auto asked = resolver.Take();  // and found the lookup still pending
  EXPECT_EQ(std::count(asked.begin(), asked.end(), "block.invalid"), 1);
  start = steady_clock::now();
  dev.reset();
  EXPECT_LT(steady_clock::now() - start, seconds(1));
  EXPECT_EQ(rec.Count(Kind::SendSP, id), 0u);
  resolver.Block(false);
}

size_t ThreadsOfThisProcess() {
  size_t n = 0;
  for (const auto& task :
       std::filesystem::directory_iterator("/proc/self/task"))
    n += task.is_directory() ? 1 : 0;
  return n;
}

TEST_F(WalkTest, ADeviceHasOneLookupInFlightAndTakesItsLateAnswer) {
  resolver.Take();
  resolver.Block(true);
  dev.SetIds(7, "block.invalid:16100");
  dev.InitSetting(ParseJson(R"({"appSetting":{"snmp":{"timeout_ms":100}}})"));
  const std::string line = "snmpbulkwalk: block.invalid:16100: ";
  const size_t threads = ThreadsOfThisProcess();
  EXPECT_EQ(Walk(), line + "name lookup timed out after 100 ms\n");
  for (int i = 1; i < 20; ++i)
    EXPECT_EQ(Walk(), line + "name lookup of block.invalid still pending\n");
  EXPECT_LE(ThreadsOfThisProcess(), threads + 1);
  EXPECT_EQ(resolver.Take(), std::vector<std::string>{"block.invalid"});
  resolver.Block(false);  // the lookup fails now, after its walk gave up
  // Walks meanwhile find it pending and ask nothing (a count of threads
  // cannot tell when it ends: another test's thread may still be ending).
  std::string late = Walk();
  for (int i = 0;
       i < 200 && late == line + "name lookup of block.invalid still pending\n";
       ++i) {
    std::this_thread::sleep_for(milliseconds(10));
    late = Walk();
  }
  EXPECT_EQ(late, line +
                      "Unknown host (Temporary failure in name "
                      "resolution)\n");  // the late answer, not asked
  EXPECT_EQ(resolver.Take(), std::vector<std::string>{});
  Walk();  // and the next walk asks afresh
  EXPECT_EQ(resolver.Take(), std::vector<std::string>{"block.invalid"});
  EXPECT_EQ(Rounds(), 0u);
}

TEST(TimeBounds, LookupsInFlightAreCappedInTheProcess) {
  resolver.Block(true);
  std::vector<std::unique_ptr<InverterProbe>> devices;
  const Json::Value settings =
      ParseJson(R"({"appSetting":{"snmp":{"timeout_ms":300}}})");
  for (unsigned id = 1; id <= inverter::snmp::kMaxLookupsInFlight + 8; ++id) {
    devices.push_back(std::make_unique<InverterProbe>());
    devices.back()->SetIds(id, "block.invalid:" + std::to_string(id));
    devices.back()->InitSetting(settings);
  }
  testing::internal::CaptureStderr();
  std::vector<std::thread> walks;
  for (auto& dev : devices) walks.emplace_back([&] { dev->RefreshStatus(); });
  for (auto& walk : walks) walk.join();
  const std::string out = testing::internal::GetCapturedStderr();
  resolver.Block(false);
  size_t refused = 0;
  for (size_t at = 0;
       (at = out.find("lookups already pending", at)) != std::string::npos;
       ++at)
    ++refused;
  EXPECT_GE(refused, 8u) << out;
  EXPECT_NE(out.find(": cannot look the name up: 32 lookups already pending "
                     "in the process\n"),
            std::string::npos);
}

TEST_F(WalkTest, AWalkIsCutAtItsTimeLimitAndCompletesItsRound) {
  Serve([](const Request& r) {
    if (r.oids[0] == BaseOid()) return Reply::Answer({{KeyOid(2), Integer(9)}});
    return Reply::Answer({{KeyOid(3), Integer(8)}}).Delayed(seconds(9));
  });
  dev.SessionTemplate().timeout = 20 * 1000 * 1000;
  dev.SetMaxWalkTime(milliseconds(300));  // stands for the 60 s
  const auto start = steady_clock::now();
  EXPECT_EQ(Walk(), "Walk of " + agent->peer() +
                        " cut short: walk took longer than 300 ms\n");
  EXPECT_LT(steady_clock::now() - start, seconds(3));
  EXPECT_EQ(Rounds(), 1u);
  EXPECT_EQ(dev.Reading(0), 9.0f);
  EXPECT_EQ(dev.Reading(14), 1.0f);  // stale
  dev.SetMaxWalkTime(seconds(1));    // whole seconds, as the device's own 60 s
  EXPECT_EQ(Walk(), "Walk of " + agent->peer() +
                        " cut short: walk took longer than 1 s\n");
}

TEST_F(WalkTest, CacheLoadsNeverWaitForTheNetworkNorDeadlockInARound) {
  const auto cached = CachedRecord(7, -1.0f);
  const auto* bytes = reinterpret_cast<const unsigned char*>(&cached);
  Serve([](const Request&) { return Reply::Drop(); });
  dev.SessionTemplate().timeout = 5 * 1000 * 1000;
  dev.InitSetting(ParseJson(R"({"appSetting":{"use_thread":1}})"));
  ASSERT_TRUE(agent->WaitForRequests(1, seconds(5)));
  const auto start = steady_clock::now();
  EXPECT_TRUE(dev.LoadFromCache(bytes, sizeof cached));
  EXPECT_LT(steady_clock::now() - start, milliseconds(100));  // a few ms
  dev.InitSetting(ParseJson(R"({"appSetting":{"use_thread":0}})"));
  EXPECT_EQ(Rounds(), 1u);

  // The host reloads from inside its own callbacks, on the walking thread:
  // the load's round follows the walk's, neither mixed with the other.
  struct Reloader : host::Recorder {
    void OnCall(const host::Call& c) override {
      host::Recorder::OnCall(c);
      if (c.kind == when && !done) done = dev->LoadFromCache(bytes, 75);
    }
    Kind when = Kind::SendSP;
    InverterProbe* dev = nullptr;
    const unsigned char* bytes = nullptr;
    bool done = false;
  };
  agent->SetScript(TableScript(SixteenIntegers(0)));
  for (Kind when : {Kind::SendSP, Kind::SaveDeviceHistory}) {
    Reloader reloader;
    reloader.when = when, reloader.dev = &dev, reloader.bytes = bytes;
    host::ScopedObserver attach_reloader{&reloader};
    EXPECT_EQ(Walk(), "");
    const auto sends = reloader.CallsOf(Kind::SendSP);
    ASSERT_EQ(sends.size(), 2u);
    EXPECT_EQ(reloader.Count(Kind::SaveDeviceHistory), 2u);
    for (unsigned e = 0; e < 16; ++e) {
      EXPECT_EQ(ReadingOf(sends[0], e), 2.0f + e);
      EXPECT_EQ(ReadingOf(sends[1], e), -1.0f);
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
    EXPECT_EQ(ReadingOf(rec.CallsOf(Kind::SendSP).back(), 14), status);
  }
  EXPECT_EQ(Rounds(), 6u);
}

TEST_F(WalkTest, AFailedSecondInitSettingLeavesTheDeviceSampling) {
  Serve(TableScript(SixteenIntegers(0)));
  dev.SetPause(milliseconds(20));
  dev.InitSetting(ParseJson(R"({"appSetting":{"use_thread":1,"b_mode":2}})"));
  EXPECT_ANY_THROW(dev.InitSetting(
      ParseJson(R"({"appSetting":{"use_thread":0,"b_mode":[1]}})")));
  EXPECT_TRUE(dev.Threaded());
  EXPECT_EQ(dev.b_mode_, 2);
  EXPECT_TRUE(WaitRounds(rec, &dev, Rounds() + 2, seconds(10)));
}

TEST(ProcessExit, AThreadedDeviceInAlarmModeTwoOutlivesTheStaticDestructors) {
#ifndef __arm__  // qemu-user cannot exec the test program again
#ifdef GTEST_FLAG_SET
  GTEST_FLAG_SET(death_test_style, "threadsafe");  // a fresh process
#else
  ::testing::GTEST_FLAG(death_test_style) = "threadsafe";  // GoogleTest 1.10
#endif
#endif
  // Registered before the first round, the handler runs after the
  // destructors of statics made in that round, while rounds go on.
  EXPECT_EXIT(
      {
        std::atexit([] { std::this_thread::sleep_for(milliseconds(300)); });
        static auto* rec = new host::Recorder;
        host::SetObserver(rec);
        static auto* agent = new ScriptedAgent(TableScript(SixteenIntegers(0)));
        static auto* dev = new InverterProbe;
        dev->SetPause(milliseconds(1));
        dev->SetIds(9, agent->peer());
        dev->InitSetting(
            ParseJson(R"({"appSetting":{"use_thread":1,"b_mode":2}})"));
        WaitRounds(*rec, dev, 3, seconds(10));
        std::exit(0);
      },
      testing::ExitedWithCode(0), "");
}
