// Simulated UPS inverter: an SNMP v2c agent that serves the readings of one
// inverter under 1.3.6.1.4.1.44782.4.6.1.1 from a JSON profile and changes
// them along the profile's timeline.

// net-snmp-config.h must precede the other Net-SNMP headers.
// clang-format off
#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>
#include <net-snmp/agent/net-snmp-agent-includes.h>
// clang-format on

#include <algorithm>
#include <cctype>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <stdexcept>
#include <string>

#include "profile.h"

namespace {

using namespace inverter_sim;

constexpr oid kSubtree[] = {1, 3, 6, 1, 4, 1, 44782, 4, 6, 1, 1};
constexpr const char* kAppName = "inverter_sim";
// SNMP type sent for each Type, in the same order.
constexpr u_char kAsnTypes[] = {ASN_INTEGER, ASN_GAUGE, ASN_OPAQUE_FLOAT,
                                ASN_OCTET_STR};

constexpr const char kUsage[] =
    R"(usage: inverter_sim [options]
Simulated UPS inverter: an SNMP v2c agent serving 1.3.6.1.4.1.44782.4.6.1.1.K.0
for K = 2..17.

  --listen ADDR       UDP address to listen on (default 127.0.0.1:16100;
                      also udp:HOST:PORT, udp6:[::1]:PORT)
  --community NAME    read-only community (default varnel)
  --profile FILE      JSON profile with values and timeline (default: built in)
  --duration SECONDS  exit after this long (default: until SIGINT/SIGTERM)
  --help              show this text

Prints "ready ADDR" once listening and one line per timeline change.
Exit status: 0 normal, 1 cannot listen, 2 bad option or profile.
)";

struct Options {
  std::string listen = "127.0.0.1:16100";
  std::string community = "varnel";
  std::string profile;
  double duration = 0;  // 0: run until a signal
  bool help = false;
};

// Accepts "--name value" and "--name=value"; throws std::runtime_error.
Options parse_options(int argc, char** argv) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    std::string name = argv[i];
    std::string inline_value;
    const auto eq = name.find('=');
    const bool has_inline = name.rfind("--", 0) == 0 && eq != name.npos;
    if (has_inline) {
      inline_value = name.substr(eq + 1);
      name.resize(eq);
    }
    const auto value = [&]() -> std::string {
      if (has_inline) return inline_value;
      if (i + 1 >= argc) throw std::runtime_error(name + " needs a value");
      return argv[++i];
    };
    if (name == "--help") {
      options.help = true;
    } else if (name == "--listen") {
      options.listen = value();
    } else if (name == "--community") {
      options.community = value();
    } else if (name == "--profile") {
      options.profile = value();
    } else if (name == "--duration") {
      const std::string text = value();
      char* end = nullptr;
      options.duration = std::strtod(text.c_str(), &end);
      if (text.empty() || *end != '\0' || !(options.duration > 0) ||
          options.duration > 1e9)
        throw std::runtime_error(
            "--duration needs a positive number of "
            "seconds, not \"" +
            text + "\"");
    } else {
      throw std::runtime_error("unknown option " + name + " (see --help)");
    }
  }
  if (options.listen.empty()) throw std::runtime_error("--listen is empty");
  // The community goes into a configuration line: keep it one plain word.
  const auto plain = [](unsigned char c) {
    return std::isgraph(c) && c != '"' && c != '\'' && c != '#';
  };
  if (options.community.empty() ||
      !std::all_of(options.community.begin(), options.community.end(), plain))
    throw std::runtime_error(
        "--community must be one word of printable "
        "characters without quotes or #");
  return options;
}

volatile std::sig_atomic_t g_stop = 0;
extern "C" void on_signal(int) { g_stop = 1; }

// A private folder for the library's persistent state, removed at exit, so
// nothing is written anywhere else.
class TempDir {
 public:
  TempDir() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern =
        std::string(base && *base ? base : "/tmp") + "/inverter_sim.XXXXXX";
    if (!mkdtemp(pattern.data()))
      throw std::runtime_error("cannot create a folder in " + pattern);
    path_ = pattern;
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

void set_value(netsnmp_variable_list* var, const Value& value) {
  std::visit(
      [&](const auto& v) {
        if constexpr (std::is_same_v<std::decay_t<decltype(v)>, std::string>)
          snmp_set_var_typed_value(var, ASN_OCTET_STR, v.data(), v.size());
        else
          snmp_set_var_typed_value(var, kAsnTypes[value.index()], &v, sizeof v);
      },
      value);
}

// Answers for one key. The scalar helper turns GETNEXT and GETBULK into GET
// on KEY.0 and rejects SETs, so only GET reaches here; myvoid points at the
// key's current value, whose type may change at run time.
int handle_key(netsnmp_mib_handler* handler, netsnmp_handler_registration*,
               netsnmp_agent_request_info* info,
               netsnmp_request_info* requests) {
  if (info->mode != MODE_GET) return SNMP_ERR_NOERROR;
  const auto& value = *static_cast<const Value*>(handler->myvoid);
  for (auto* request = requests; request; request = request->next)
    set_value(request->requestvb, value);
  return SNMP_ERR_NOERROR;
}

// The agent library, set up to read no configuration or MIB files, keep its
// state in `state_dir`, and serve `table` read-only; shut down on destruction.
class Agent {
 public:
  Agent(const Options& options, const std::string& state_dir, Table& table) {
    // No MIB modules to load and no MIB folders to index: the agent serves
    // numeric OIDs only.
    setenv("MIBS", "", 1);
    setenv("MIBDIRS", state_dir.c_str(), 1);
    setenv("SNMPCONFPATH", state_dir.c_str(), 1);
    setenv("SNMP_PERSISTENT_DIR", state_dir.c_str(), 1);
    const auto lib = NETSNMP_DS_LIBRARY_ID;
    for (int flag :
         {NETSNMP_DS_LIB_DONT_READ_CONFIGS, NETSNMP_DS_LIB_DONT_PERSIST_STATE,
          NETSNMP_DS_LIB_DISABLE_PERSISTENT_LOAD,
          NETSNMP_DS_LIB_DISABLE_PERSISTENT_SAVE,
          NETSNMP_DS_LIB_DONT_LOAD_HOST_FILES,
          // Alarms drive the select timeout instead of SIGALRM.
          NETSNMP_DS_LIB_ALARM_DONT_USE_SIG})
      netsnmp_ds_set_boolean(lib, flag, 1);
    netsnmp_ds_set_string(lib, NETSNMP_DS_LIB_PERSISTENT_DIR,
                          state_dir.c_str());
    const auto app = NETSNMP_DS_APPLICATION_ID;
    netsnmp_ds_set_boolean(app, NETSNMP_DS_AGENT_ROLE, 0);  // 0: master
    netsnmp_ds_set_boolean(app, NETSNMP_DS_AGENT_DONT_LOG_TCPWRAPPERS_CONNECTS,
                           1);
    netsnmp_ds_set_string(app, NETSNMP_DS_AGENT_PORTS, options.listen.c_str());

    // Library messages go to stderr from warnings up; informational ones
    // (such as "Created directory" for its state folder) stay quiet.
    netsnmp_register_loghandler(NETSNMP_LOGHANDLER_STDERR, LOG_WARNING);

    // SMUX would try to bind TCP port 199, which needs root.
    char no_smux[] = "-smux";
    add_to_init_list(no_smux);
    init_agent(kAppName);

    for (std::size_t i = 0; i < kKeyCount; ++i) {
      oid name[std::size(kSubtree) + 1];
      std::copy(std::begin(kSubtree), std::end(kSubtree), name);
      name[std::size(kSubtree)] = kKeys[i].key;
      auto* reg = netsnmp_create_handler_registration(
          kKeys[i].name, handle_key, name, std::size(name), HANDLER_CAN_RONLY);
      reg->handler->myvoid = &table[i];
      netsnmp_register_read_only_scalar(reg);
    }
    // Read-only access with this community from any source, over IPv4 and
    // IPv6; the listening address limits who can reach the agent.
    for (const char* directive : {"rocommunity", "rocommunity6"}) {
      std::string line =
          std::string(directive) + " " + options.community + " default";
      netsnmp_config_remember(line.data());
    }
    init_snmp(kAppName);
    listening_ = init_master_agent() == 0;
  }
  ~Agent() { snmp_shutdown(kAppName); }
  Agent(const Agent&) = delete;
  Agent& operator=(const Agent&) = delete;

  bool listening() const { return listening_; }

 private:
  bool listening_ = false;
};

int run(const Options& options, Profile& profile) {
  TempDir state_dir;
  Agent agent(options, state_dir.path(), profile.objects);
  if (!agent.listening()) {
    std::cerr << "inverter_sim: cannot listen on " << options.listen << '\n';
    return 1;
  }

  struct sigaction action {};
  action.sa_handler = on_signal;  // no SA_RESTART: a signal ends the select
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  // A no-op repeating alarm bounds each wait to 100 ms, so timeline changes,
  // the end of --duration and a signal that lands just before the wait are
  // all handled promptly.
  snmp_alarm_register_hr(
      {0, 100000}, SA_REPEAT, [](unsigned int, void*) {}, nullptr);

  std::cout << "ready " << options.listen << std::endl;
  const auto start = std::chrono::steady_clock::now();
  std::size_t next = 0;
  while (!g_stop) {
    const std::chrono::duration<double> elapsed =
        std::chrono::steady_clock::now() - start;
    for (; next < profile.timeline.size() &&
           profile.timeline[next].at <= elapsed.count();
         ++next) {
      const Change& change = profile.timeline[next];
      Value& slot = profile.objects[change.key - kFirstKey];
      const bool retyped = slot.index() != change.value.index();
      slot = change.value;
      std::cout << "t=" << change.at << "s key " << change.key << " = "
                << to_string(slot);
      if (retyped)
        std::cout << " (" << type_name(static_cast<Type>(slot.index())) << ")";
      std::cout << std::endl;
    }
    if (options.duration > 0 && elapsed.count() >= options.duration) break;
    agent_check_and_process(1);  // one request, alarm or signal
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  Profile profile;
  try {
    options = parse_options(argc, argv);
    if (options.help) {
      std::cout << kUsage;
      return 0;
    }
    profile = options.profile.empty() ? default_profile()
                                      : load_profile(options.profile);
  } catch (const std::exception& e) {
    std::cerr << "inverter_sim: " << e.what() << '\n';
    return 2;
  }
  try {
    return run(options, profile);
  } catch (const std::exception& e) {
    std::cerr << "inverter_sim: " << e.what() << '\n';
    return 1;
  }
}
