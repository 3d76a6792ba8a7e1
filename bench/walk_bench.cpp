// The driver's walk of the inverter subtree against a bare Net-SNMP loop
// making the same GETBULK requests on the same loopback agent, interleaved
// (driver, bare, bare, driver, ...) so that drift of the machine cancels.
//
//   walk_bench [--walks N] [--agent scripted|sim] [--sim PATH]
//   walk_bench --driver-only N --agent sim   (for callgrind: only do_sample)
//
// The scripted agent (tests/support) runs in this process on its own
// thread; the simulated inverter runs as a child process.

#include <algorithm>
#include <chrono>
#include <cstring>
#include <iomanip>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "bench_device.h"
#include "bench_support.h"
#include "inverter_tables.h"
#include "scripted_agent.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Options {
  int walks = 2000;
  int driver_only = 0;
  std::string agent = "scripted";
  std::string sim = INVERTER_SIM;
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
    } else if (a == "--agent") {
      o.agent = next();
    } else if (a == "--sim") {
      o.sim = next();
    } else {
      throw std::runtime_error("unknown option " + a);
    }
  }
  if (o.agent != "scripted" && o.agent != "sim")
    throw std::runtime_error("--agent is scripted or sim");
  return o;
}

// Sixteen readings, as the simulated inverter serves them (INTEGER, Opaque
// float and Gauge32).
tarn::test::Table InverterTable() {
  using namespace tarn::test;
  Table table;
  for (unsigned key = 2; key <= 17; ++key) {
    Oid id(inverter::kBaseOid.begin(), inverter::kBaseOid.end());
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

// The same requests as the driver's walk, with nothing done with the
// answers beyond following the walk.
class BareWalker {
 public:
  explicit BareWalker(const std::string& peer) : peer_(peer) {
    snmp_sess_init(&templ_);
    templ_.version = SNMP_VERSION_2c;
    templ_.community = reinterpret_cast<u_char*>(community_);
    templ_.community_len = std::strlen(community_);
    templ_.timeout = 10 * 1000 * 1000;
    templ_.retries = 1;
    templ_.peername = peer_.data();
  }

  int Walk() {
    void* ss = snmp_sess_open(&templ_);
    if (ss == nullptr) return 0;
    const size_t root_len = inverter::kBaseOid.size();
    oid name[MAX_OID_LEN];
    std::copy(inverter::kBaseOid.begin(), inverter::kBaseOid.end(), name);
    size_t name_len = root_len;
    int requests = 0;
    bool more = true;
    while (more && requests < 1000) {
      netsnmp_pdu* pdu = snmp_pdu_create(SNMP_MSG_GETBULK);
      pdu->non_repeaters = 1;
      pdu->max_repetitions = 100;
      snmp_add_null_var(pdu, name, name_len);
      netsnmp_pdu* answer = nullptr;
      const int status = snmp_sess_synch_response(ss, pdu, &answer);
      ++requests;
      more = false;
      if (status == STAT_SUCCESS && answer != nullptr &&
          answer->errstat == SNMP_ERR_NOERROR && answer->variables != nullptr) {
        const netsnmp_variable_list* v = answer->variables;
        if (v->name_length > root_len && v->name_length <= MAX_OID_LEN &&
            std::equal(name, name + root_len, v->name) &&
            v->type != SNMP_ENDOFMIBVIEW) {
          std::copy(v->name, v->name + v->name_length, name);
          name_len = v->name_length;
          more = true;
        }
      }
      if (answer != nullptr) snmp_free_pdu(answer);
    }
    snmp_sess_close(ss);
    return requests;
  }

 private:
  std::string peer_;
  char community_[7] = "varnel";
  netsnmp_session templ_{};
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

int Run(const Options& o) {
  bench::QuietStdout quiet;
  std::ostream& out = quiet.out();

  std::unique_ptr<tarn::test::ScriptedAgent> scripted;
  std::unique_ptr<bench::SimFarm> sims;
  std::string peer;
  if (o.agent == "scripted") {
    scripted = std::make_unique<tarn::test::ScriptedAgent>(
        tarn::test::TableScript(InverterTable()));
    peer = scripted->peer();
  } else {
    sims = std::make_unique<bench::SimFarm>(o.sim, 1, 27100, 900);
    peer = sims->peers().front();
  }

  bench::NoOpObserver observer;
  host::ScopedObserver attach(&observer);
  auto dev = bench::MakeDevice(9, peer, false);

  if (o.driver_only > 0) {
    for (int i = 0; i < o.driver_only; ++i) dev->do_sample();
    out << "driver walks: " << o.driver_only << "\n";
    return 0;
  }

  BareWalker bare(peer);
  const int requests = bare.Walk();
  if (requests != 17) {
    out << "unexpected walk of " << requests << " requests (want 17)\n";
    return 1;
  }
  for (int i = 0; i < 50; ++i) {  // warm-up
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
    return Run(Parse(argc, argv));
  } catch (const std::exception& e) {
    std::cerr << "walk_bench: " << e.what() << "\n";
    return 2;
  }
}
