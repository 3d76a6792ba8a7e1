// The driver's walk of the inverter subtree against a bare Net-SNMP loop
// making the same GETBULK requests on the same loopback agent, interleaved
// (driver, bare, bare, driver, ...) so that drift of the machine cancels.
//
//   walk_bench [--walks N] [--warm-up N] [--agent scripted|sim] [--sim PATH]
//              [--settings JSON] [--delay-ms N] [--sim-args "ARGS"]
//   walk_bench --driver-only N --agent sim   (for callgrind: only do_sample)
//   walk_bench --junk N --settings V3JSON     (memory under junk datagrams)
//   walk_bench --oversized N   (N walks against agents that send too much)
//
// The scripted agent (tests/support) runs in this process on its own
// thread; the simulated inverter runs as a child process.
//
// --settings JSON is the device's `appSetting.snmp` (version, user, auth,
// auth_pass, priv, priv_pass, non_repeaters, max_repetitions, ...); the bare
// loop uses the same settings. With an SNMPv3 user and --agent sim the
// simulator serves that user. --delay-ms N (the simulator answers N ms late,
// a simulated round trip) and --sim-args go to the simulator.
//
// --junk N: the device walks the simulator through a relay of this process
// (the scripted agent), which sends before every answer 100 SNMPv3
// datagrams that no request asked for (noAuthNoPriv, each for a fresh
// engine, with a 64-octet context engine ID: 135 bytes) until N went out,
// the first walk (engine discovery) left alone. Prints the walks, resident
// memory before and after, the lines on standard error meanwhile and the
// system's UDP receive-buffer drops.

// --oversized N: the driver's walks against four scripted agents in a
// child process (so that the figures are the driver's alone): a normal one,
// one that answers every one-binding GETBULK with 2,800 bindings inside the
// subtree (a walk of 1,000 requests: N / 25 walks, at least one), one that
// answers with one datagram of 10,000 bindings, and one with 7,900 bindings
// whose request id is written in five octets (more than a 32-bit `long`
// holds, and what the library reads). For each: CPU time and wall time per
// walk, requests per walk and CPU per answer, and how far resident memory
// rose above what it was before the agent's first walk (its peak, VmHWM,
// started afresh there).

#include <poll.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iomanip>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "bench_device.h"
#include "bench_support.h"
#include "inverter_tables.h"
#include "scripted_agent.h"
#include "snmp_settings.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Options {
  int walks = 2000;
  int warm_up = 50;
  int driver_only = 0;
  std::string agent = "scripted";
  std::string sim = INVERTER_SIM;
  Json::Value snmp;  // appSetting.snmp; null: the defaults (v2c)
  std::vector<std::string> sim_args;
  int delay_ms = 0;
  long junk = 0;
  int oversized = 0;
};

Options Parse(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    auto next = [&]() -> std::string {
      if (i + 1 >= argc) throw std::runtime_error(a + " needs a value");
      return argv[++i];
    };
    if (a == "--walks") {
      o.walks = std::max(2, std::stoi(next()));
    } else if (a == "--driver-only") {
      o.driver_only = std::stoi(next());
    } else if (a == "--junk") {
      o.junk = std::max(1L, std::stol(next()));
      o.agent = "sim";
    } else if (a == "--oversized") {
      o.oversized = std::max(1, std::stoi(next()));
    } else if (a == "--agent") {
      o.agent = next();
    } else if (a == "--warm-up") {
      o.warm_up = std::max(0, std::stoi(next()));
    } else if (a == "--sim") {
      o.sim = next();
    } else if (a == "--settings") {
      o.snmp = bench::ParseSnmpOption(next());
    } else if (a == "--delay-ms") {
      o.delay_ms = std::stoi(next());
      o.sim_args.push_back("--delay-ms");
      o.sim_args.push_back(std::to_string(o.delay_ms));
    } else if (a == "--sim-args") {
      for (std::string& arg : bench::SplitArgs(next()))
        o.sim_args.push_back(std::move(arg));
    } else {
      throw std::runtime_error("unknown option " + a);
    }
  }
  if (o.agent != "scripted" && o.agent != "sim")
    throw std::runtime_error("--agent is scripted or sim");
  if (o.agent == "scripted" && (bench::IsV3(o.snmp) || !o.sim_args.empty()))
    throw std::runtime_error(
        "SNMPv3 settings, --delay-ms and --sim-args need --agent sim");
  return o;
}

// Sixteen readings, as the simulated inverter serves them (INTEGER, Opaque
// float and Gauge32).
tarn::test::Table InverterTable() {
  using namespace tarn::test;
  Table table;
  for (unsigned key = 2; key <= 17; ++key) {
    Oid id(inverter::kSubtree.begin(), inverter::kSubtree.end());
    id.push_back(key);
    id.push_back(0);
    if (key == 4 || key == 5 || key == 7 || key == 10)
      table[id] = OpaqueFloat(49.5f + static_cast<float>(key));
    else if (key == 17)
      table[id] = Gauge32(95);
    else
      table[id] = Integer(key >= 11 && key <= 16 ? 0 : 200 + int(key));
  }
  return table;
}

// The same requests as the driver's walk, with the same SNMP settings, and
// nothing done with the answers beyond following the walk. An SNMPv3 walk
// discovers the agent's engine once (the first walk) and then opens its
// sessions with that engine ID. It still makes one exchange more per walk
// than the driver (not pinned down), so for SNMPv3 the ratio is not like
// for like; see BENCHMARKS.md.
class BareWalker {
 public:
  BareWalker(const std::string& peer, const Json::Value& snmp) : peer_(peer) {
    Json::Value app(Json::objectValue);
    if (!snmp.isNull()) app["snmp"] = snmp;
    std::string error;
    if (!inverter::snmp::ParseSnmpSettings(app, &settings_, &error))
      throw std::runtime_error("--settings: " + error);
    snmp_sess_init(&templ_);
    inverter::snmp::ApplyToTemplate(settings_, &templ_);
    templ_.peername = peer_.data();
  }
  ~BareWalker() { inverter::snmp::WipeTemplateKeys(&templ_); }
  BareWalker(const BareWalker&) = delete;
  BareWalker& operator=(const BareWalker&) = delete;

  // Objects of the subtree the last walk received.
  int bindings() const { return bindings_; }

  int Walk() {
    bindings_ = 0;
    void* ss = snmp_sess_open(&templ_);
    if (ss == nullptr) return 0;
    if (settings_.version == SNMP_VERSION_3 &&
        templ_.securityEngineIDLen == 0) {
      const netsnmp_session* opened = snmp_sess_session(ss);
      if (opened != nullptr && opened->securityEngineIDLen > 0 &&
          opened->securityEngineIDLen <= sizeof engine_id_) {
        std::memcpy(engine_id_, opened->securityEngineID,
                    opened->securityEngineIDLen);
        templ_.securityEngineID = engine_id_;
        templ_.securityEngineIDLen = opened->securityEngineIDLen;
      }
    }
    const size_t root_len = inverter::kSubtree.size();
    oid name[MAX_OID_LEN];
    std::copy(inverter::kSubtree.begin(), inverter::kSubtree.end(), name);
    size_t name_len = root_len;
    int requests = 0;
    bool more = true;
    while (more && requests < 1000) {
      netsnmp_pdu* pdu = snmp_pdu_create(SNMP_MSG_GETBULK);
      pdu->non_repeaters = settings_.non_repeaters;
      pdu->max_repetitions = settings_.max_repetitions;
      snmp_add_null_var(pdu, name, name_len);
      netsnmp_pdu* answer = nullptr;
      const int status = snmp_sess_synch_response(ss, pdu, &answer);
      ++requests;
      more = false;
      if (status == STAT_SUCCESS && answer != nullptr &&
          answer->errstat == SNMP_ERR_NOERROR && answer->variables != nullptr) {
        const netsnmp_variable_list* v = answer->variables;
        while (v != nullptr && v->name_length > root_len &&
               v->name_length <= MAX_OID_LEN &&
               std::equal(inverter::kSubtree.begin(), inverter::kSubtree.end(),
                          v->name) &&
               v->type != SNMP_ENDOFMIBVIEW) {
          ++bindings_;
          std::copy(v->name, v->name + v->name_length, name);
          name_len = v->name_length;
          more = v->next_variable == nullptr;
          v = v->next_variable;
        }
      }
      if (answer != nullptr) snmp_free_pdu(answer);
    }
    snmp_sess_close(ss);
    return requests;
  }

 private:
  std::string peer_;
  inverter::snmp::SnmpSettings settings_;
  netsnmp_session templ_{};
  u_char engine_id_[SNMP_MAX_ENG_SIZE] = {};
  int bindings_ = 0;
};

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  const size_t n = v.size();
  return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

double Percentile(std::vector<double> v, double p) {
  std::sort(v.begin(), v.end());
  return v[static_cast<size_t>(p * static_cast<double>(v.size() - 1))];
}

template <typename F>
double TimeUs(F&& f) {
  const auto start = Clock::now();
  f();
  return std::chrono::duration<double, std::micro>(Clock::now() - start)
      .count();
}

// RcvbufErrors of the system's UDP counters (/proc/net/snmp), -1 unknown.
long UdpReceiveBufferDrops() {
  std::ifstream in("/proc/net/snmp");
  std::string names, values;
  while (std::getline(in, names) && std::getline(in, values)) {
    if (names.rfind("Udp:", 0) != 0) continue;
    std::istringstream n(names), v(values);
    std::string name, value;
    while (n >> name && v >> value)
      if (name == "RcvbufErrors") return std::stol(value);
  }
  return -1;
}

int RunJunk(const Options& o, std::ostream& out) {
  using namespace tarn::test;
  if (!bench::IsV3(o.snmp))
    throw std::runtime_error("--junk needs SNMPv3 --settings");
  std::vector<std::string> args = bench::SimUserArgs(o.snmp);
  args.insert(args.end(), o.sim_args.begin(), o.sim_args.end());
  bench::SimFarm sims(o.sim, 1, 900, args);
  const std::string& sim = sims.peers().front();
  const auto port =
      static_cast<std::uint16_t>(std::stoi(sim.substr(sim.rfind(':') + 1)));
  std::atomic<bool> flood{false};
  std::atomic<long> sent{0};
  ScriptedAgent relay(nullptr);
  relay.SetRawScript([&, forward = RelayTo(port)](const Request& r) {
    std::vector<Reply> replies;
    for (int i = 0; flood && i < 100 && sent < o.junk; ++i) {
      const long n = sent++;
      std::vector<u_char> engine = {0x80, 0, 0x1f, 0x88, 4};
      for (int shift = 24; shift >= 0; shift -= 8)
        engine.push_back(static_cast<u_char>(n >> shift));
      replies.push_back(Reply::Raw(
          BuildRawV3Response(engine, std::vector<u_char>(64, 0x80))));
    }
    replies.push_back(forward(r));
    return Reply::Sequence(std::move(replies));
  });
  bench::NoOpObserver observer;
  host::ScopedObserver attach(&observer);
  auto dev = bench::MakeDevice(9, relay.peer(), false, 2, o.snmp);
  dev->do_sample();  // discovers the engine

  // Standard error to a file meanwhile, its lines counted.
  std::fflush(stderr);
  FILE* log = std::tmpfile();
  const int saved = dup(STDERR_FILENO);
  if (log == nullptr || saved < 0 || dup2(fileno(log), STDERR_FILENO) < 0)
    throw std::runtime_error("cannot redirect standard error");
  const long drops = UdpReceiveBufferDrops();
  const long before = bench::ReadProcFigures().rss_kib;
  flood = true;
  long walks = 0;
  for (; sent < o.junk && walks < 1000000; ++walks) {
    dev->do_sample();
    relay.ClearRequests();  // the relay's own log is not the driver's memory
  }
  const long after = bench::ReadProcFigures().rss_kib;
  std::fflush(stderr);
  dup2(saved, STDERR_FILENO);
  close(saved);
  long lines = 0;
  std::rewind(log);
  for (int c; (c = std::fgetc(log)) != EOF;) lines += c == '\n';
  std::fclose(log);
  out << "junk_datagrams " << sent << " of "
      << BuildRawV3Response(std::vector<u_char>(9), std::vector<u_char>(64))
             .size()
      << " bytes\nwalks " << walks << "\nvm_rss_before_kib " << before
      << "\nvm_rss_after_kib " << after << "\nstderr_lines " << lines
      << "\nudp_receive_buffer_drops " << UdpReceiveBufferDrops() - drops
      << "\n";
  return 0;
}

// ---------------------------------------------------------------- oversized

tarn::test::Oid KeyPrefix(unsigned key) {
  tarn::test::Oid id(inverter::kSubtree.begin(), inverter::kSubtree.end());
  id.push_back(key);
  return id;
}

// 2,800 INTEGER bindings inside the subtree for every request, each answer
// past the one before, so that a walk without a bound goes on until its
// 1,000-request limit: base.K.A.1 to base.K.A.2800, with A counting 1 to
// 127 and then K up from 2 (every OID the same size, about 64,300 bytes a
// datagram).
tarn::test::Reply Flood(const tarn::test::Request& r) {
  const size_t base = inverter::kSubtree.size();
  const tarn::test::Oid& asked = r.oids.at(0);
  oid key = 2, group = 1;
  if (asked.size() == base + 3) {
    key = asked[base];
    group = asked[base + 1] + 1;
    if (group > 127) ++key, group = 1;
  }
  tarn::test::Oid prefix = KeyPrefix(static_cast<unsigned>(key));
  prefix.push_back(group);
  return tarn::test::Reply::Answer(
      tarn::test::NumberedBindings(prefix, 1, 2800, tarn::test::Integer(23)));
}

// One datagram of 10,000 bindings, the shortest there are (an empty name
// and NULL; Net-SNMP's encoder writes no binding under 7 bytes, so this one
// is put together by hand).
tarn::test::Reply TenThousand(const tarn::test::Request& r) {
  return tarn::test::Reply::Raw(tarn::test::BuildRawResponse(
      r.request_id, r.community,
      std::vector<tarn::test::RawBinding>(
          10000, tarn::test::RawBinding{{}, ASN_NULL, {}}),
      0, 0, r.version));
}

// One datagram of 7,900 bindings (1.3 = INTEGER 0, 63,000 bytes) whose
// request id has a redundant leading zero octet: five octets, where the
// library on a 32-bit target reads it once normalised.
tarn::test::Reply FiveOctetId(const tarn::test::Request& r) {
  using tarn::test::BerTlv;
  std::vector<u_char> id = {0x00, static_cast<u_char>(r.request_id >> 24),
                            static_cast<u_char>(r.request_id >> 16),
                            static_cast<u_char>(r.request_id >> 8),
                            static_cast<u_char>(r.request_id)};
  std::vector<u_char> list;
  for (int i = 0; i < 7900; ++i)
    list.insert(list.end(), {0x30, 0x06, 0x06, 0x01, 0x2b, 0x02, 0x01, 0x00});
  std::vector<u_char> pdu = BerTlv(0x02, id);
  for (const auto& part :
       {BerTlv(0x02, {0x00}), BerTlv(0x02, {0x00}), BerTlv(0x30, list)})
    pdu.insert(pdu.end(), part.begin(), part.end());
  std::vector<u_char> message =
      BerTlv(0x02, tarn::test::BerIntegerContent(r.version));
  for (const auto& part : {BerTlv(0x04, std::vector<u_char>(r.community.begin(),
                                                            r.community.end())),
                           BerTlv(0xa2, pdu)})
    message.insert(message.end(), part.begin(), part.end());
  return tarn::test::Reply::Raw(BerTlv(0x30, message));
}

// The agents, in a child process forked before any thread exists. It
// writes their ports to `ports`, counts the requests of each in `counts`
// (memory shared with the parent) and serves until `stop` reaches its end
// (or 15 minutes at most).
[[noreturn]] void ServeAgents(int ports, int stop, std::atomic<long>* counts) {
  {
    const auto counted = [counts](int a, tarn::test::Script script) {
      return [counts, a, script](const tarn::test::Request& r) {
        counts[a].fetch_add(1);
        return script(r);
      };
    };
    tarn::test::ScriptedAgent normal(
        counted(0, tarn::test::TableScript(InverterTable())));
    tarn::test::ScriptedAgent flood(counted(1, &Flood));
    tarn::test::ScriptedAgent big(counted(2, &TenThousand));
    tarn::test::ScriptedAgent five(counted(3, &FiveOctetId));
    const std::uint16_t p[4] = {normal.port(), flood.port(), big.port(),
                                five.port()};
    if (::write(ports, p, sizeof p) != static_cast<ssize_t>(sizeof p))
      ::_exit(1);
    for (int i = 0; i < 900; ++i) {
      pollfd f{stop, POLLIN, 0};
      char c;
      if (::poll(&f, 1, 1000) > 0 && ::read(stop, &c, 1) <= 0) break;
    }
  }
  ::_exit(0);
}

double ProcessCpuSeconds() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

// Standard error into a temporary file while it lives (the driver writes a
// line per cut walk); first_line() gives it back and tells the first.
class StderrToFile {
 public:
  StderrToFile() : file_(std::tmpfile()), saved_(::dup(STDERR_FILENO)) {
    if (file_ == nullptr || saved_ < 0 ||
        ::dup2(::fileno(file_), STDERR_FILENO) < 0)
      throw std::runtime_error("cannot redirect standard error");
  }
  ~StderrToFile() {
    ::dup2(saved_, STDERR_FILENO);
    ::close(saved_);
    std::fclose(file_);
  }
  StderrToFile(const StderrToFile&) = delete;
  StderrToFile& operator=(const StderrToFile&) = delete;
  std::string first_line() {
    std::rewind(file_);
    char line[512];
    if (std::fgets(line, sizeof line, file_) == nullptr) return "(none)";
    return std::string(line, std::strcspn(line, "\n"));
  }

 private:
  std::FILE* file_;
  int saved_;
};

int RunOversized(const Options& o) {
  int ports[2], stop[2];
  if (::pipe(ports) != 0 || ::pipe(stop) != 0) throw std::runtime_error("pipe");
  // The agents' request counts, shared with the child (never unmapped: the
  // process ends soon after).
  void* shared =
      ::mmap(nullptr, 4 * sizeof(std::atomic<long>), PROT_READ | PROT_WRITE,
             MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  if (shared == MAP_FAILED) throw std::runtime_error("mmap");
  auto* counts = static_cast<std::atomic<long>*>(shared);
  for (int a = 0; a < 4; ++a) new (&counts[a]) std::atomic<long>(0);
  std::fflush(nullptr);
  const pid_t child = ::fork();
  if (child < 0) throw std::runtime_error("fork");
  if (child == 0) {
    ::close(ports[0]);
    ::close(stop[1]);
    ServeAgents(ports[1], stop[0], counts);
  }
  ::close(ports[1]);
  ::close(stop[0]);
  // Ends the child, by its pid, however this function is left.
  struct Reap {
    pid_t pid;
    int stop;
    ~Reap() {
      ::close(stop);
      int status = 0;
      for (int i = 0; i < 250; ++i) {  // up to 5 s
        if (::waitpid(pid, &status, WNOHANG) == pid) return;
        ::usleep(20 * 1000);
      }
      ::kill(pid, SIGKILL);
      ::waitpid(pid, &status, 0);
    }
  } reap{child, stop[1]};
  std::uint16_t port[4];
  pollfd ready{ports[0], POLLIN, 0};
  if (::poll(&ready, 1, 10000) <= 0 ||
      ::read(ports[0], port, sizeof port) != static_cast<ssize_t>(sizeof port))
    throw std::runtime_error("the agents did not start");
  ::close(ports[0]);

  bench::QuietStdout quiet;
  std::ostream& out = quiet.out();
  bench::NoOpObserver observer;
  host::ScopedObserver attach(&observer);
  const char* names[4] = {"normal (16 objects, one per answer)",
                          "2,800 bindings per answer",
                          "one datagram of 10,000 bindings",
                          "7,900 bindings, request id in five octets"};
  out << "driver walks against scripted agents in a child process, settings: "
      << bench::DescribeSnmp(o.snmp) << ", " << o.oversized << " walks each\n";
  for (int a = 0; a < 4; ++a) {
    auto dev = bench::MakeDevice(9, "127.0.0.1:" + std::to_string(port[a]),
                                 false, 2, o.snmp);
    StderrToFile err;
    bench::ResetPeakRss();
    const long before = bench::ReadProcFigures().rss_kib;
    dev->do_sample();  // warm-up: its memory counts, its time does not
    const int walks = a == 1 ? std::max(1, o.oversized / 25) : o.oversized;
    const long requests0 = counts[a].load();
    const double cpu0 = ProcessCpuSeconds();
    const auto wall0 = Clock::now();
    for (int i = 0; i < walks; ++i) dev->do_sample();
    const double cpu = (ProcessCpuSeconds() - cpu0) / walks;
    const double wall =
        std::chrono::duration<double>(Clock::now() - wall0).count() / walks;
    const double requests =
        static_cast<double>(counts[a].load() - requests0) / walks;
    const long peak = bench::ReadProcFigures().peak_rss_kib;
    const std::string line = err.first_line();
    out << std::fixed << std::setprecision(3) << names[a] << ": CPU "
        << cpu * 1e3 << " ms per walk, wall " << wall * 1e3 << " ms per walk, "
        << requests << " requests per walk, CPU " << cpu * 1e3 / requests
        << " ms per answer, peak resident memory +" << (peak - before)
        << " KiB over the walks\n  first line: " << line << "\n";
  }
  return 0;
}

int Run(const Options& o) {
  bench::QuietStdout quiet;
  std::ostream& out = quiet.out();
  if (o.junk > 0) return RunJunk(o, out);

  std::unique_ptr<tarn::test::ScriptedAgent> scripted;
  std::unique_ptr<bench::SimFarm> sims;
  std::string peer;
  if (o.agent == "scripted") {
    scripted = std::make_unique<tarn::test::ScriptedAgent>(
        tarn::test::TableScript(InverterTable()));
    peer = scripted->peer();
  } else {
    std::vector<std::string> args = bench::SimUserArgs(o.snmp);
    args.insert(args.end(), o.sim_args.begin(), o.sim_args.end());
    sims = std::make_unique<bench::SimFarm>(o.sim, 1, 900, args);
    peer = sims->peers().front();
  }

  bench::NoOpObserver observer;
  host::ScopedObserver attach(&observer);
  auto dev = bench::MakeDevice(9, peer, false, 2, o.snmp);

  if (o.driver_only > 0) {
    for (int i = 0; i < o.driver_only; ++i) dev->do_sample();
    out << "driver walks: " << o.driver_only << "\n";
    return 0;
  }

  BareWalker bare(peer, o.snmp);
  const int requests = bare.Walk();
  if (bare.bindings() != 16) {
    out << "unexpected walk: " << bare.bindings() << " objects in " << requests
        << " requests (want 16)\n";
    return 1;
  }
  for (int i = 0; i < o.warm_up; ++i) {
    dev->do_sample();
    bare.Walk();
  }

  std::vector<double> driver_us, bare_us;
  driver_us.reserve(o.walks);
  bare_us.reserve(o.walks);
  const int pairs = o.walks / 2;
  for (int i = 0; i < pairs; ++i) {
    driver_us.push_back(TimeUs([&] { dev->do_sample(); }));
    bare_us.push_back(TimeUs([&] { bare.Walk(); }));
    bare_us.push_back(TimeUs([&] { bare.Walk(); }));
    driver_us.push_back(TimeUs([&] { dev->do_sample(); }));
    if (scripted && i % 64 == 63) scripted->ClearRequests();
  }

  const double d = Median(driver_us), b = Median(bare_us);
  out << std::fixed << std::setprecision(1);
  out << "agent: "
      << (o.agent == "scripted" ? "scripted (in process)"
                                : "inverter_sim (child process)")
      << ", " << requests << " GETBULK requests per walk, " << driver_us.size()
      << " walks each, interleaved\n";
  out << "settings: " << bench::DescribeSnmp(o.snmp);
  if (o.delay_ms > 0) out << ", answers " << o.delay_ms << " ms late";
  out << "\n";
  out << "driver walk (do_sample + round, alarm mode 2): median " << d
      << " us, p10 " << Percentile(driver_us, 0.1) << ", p90 "
      << Percentile(driver_us, 0.9) << "\n";
  out << "bare Net-SNMP walk:                             median " << b
      << " us, p10 " << Percentile(bare_us, 0.1) << ", p90 "
      << Percentile(bare_us, 0.9) << "\n";
  out << std::setprecision(3) << "ratio driver / bare: " << d / b << "\n";
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    const Options o = Parse(argc, argv);
    return o.oversized > 0 ? RunOversized(o) : Run(o);
  } catch (const std::exception& e) {
    std::cerr << "walk_bench: " << e.what() << "\n";
    return 2;
  }
}
