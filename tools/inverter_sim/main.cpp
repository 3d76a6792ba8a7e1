// Simulated UPS inverter: an SNMP v2c agent that serves the readings of one
// inverter under 1.3.6.1.4.1.44782.4.6.1.1 from a JSON profile and changes
// them along the profile's timeline.

// net-snmp-config.h must precede the other Net-SNMP headers.
// clang-format off
#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>
#include <net-snmp/agent/net-snmp-agent-includes.h>
// clang-format on

// The agent library's first listening session; exported but not declared in
// its headers.
extern "C" netsnmp_session* main_session;

#include <netdb.h>
#include <sys/socket.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <stdexcept>
#include <string>

#include "profile.h"
#include "tarn_version.h"

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

  --listen ADDR       UDP address to listen on: HOST:PORT, udp:HOST:PORT,
                      udp6:[HOST]:PORT, or PORT for every address (default
                      127.0.0.1:16100); port 0 lets the system choose
  --community NAME    read-only community (default varnel)
  --profile FILE      JSON profile with values and timeline (default: built in)
  --duration SECONDS  exit after this long (default: until SIGINT/SIGTERM)
  --help              show this text
  --version           show the version

Prints "ready ADDR" once listening (ADDR as given, a port 0 replaced by the
port it got) and one line per timeline change. SIGINT or SIGTERM at any
moment stops it and removes its temporary folder.
Exit status: 0 normal, 1 cannot listen, 2 bad option or profile.
)";

// A UDP listening address: the text given, where its port starts in it, and
// the same address in the library's numeric form.
struct Listen {
  std::string given;
  std::size_t port_at = 0;
  std::string spec;
};

// Accepts [udp:]HOST:PORT, udp6:[HOST]:PORT and [udp:|udp6:]PORT only, so no
// other transport (tcp:, unix:, a path, a list) can be opened by accident.
Listen parse_listen(const std::string& text) {
  const auto bad = [&](const std::string& why) {
    return std::runtime_error("--listen \"" + text + "\": not a UDP address (" +
                              why +
                              "); use HOST:PORT, udp:HOST:PORT, "
                              "udp6:[HOST]:PORT or PORT");
  };
  const auto prefixed = [&](const char* prefix) {
    const std::size_t n = std::strlen(prefix);
    return text.size() >= n && strncasecmp(text.c_str(), prefix, n) == 0;
  };
  const bool v6 = prefixed("udp6:");
  const std::size_t start = v6 ? 5 : prefixed("udp:") ? 4 : 0;
  const std::size_t colon = text.rfind(':');
  Listen listen{text, colon == text.npos || colon < start ? start : colon + 1,
                ""};
  const std::string port = text.substr(listen.port_at);
  if (port.empty() || port.size() > 5 ||
      port.find_first_not_of("0123456789") != port.npos ||
      std::stoi(port) > 65535)
    throw bad("it needs a port from 0 to 65535 at the end");
  std::string host;
  if (listen.port_at > start) {
    host = text.substr(start, listen.port_at - 1 - start);
    if (v6 && host.size() > 2 && host.front() == '[' && host.back() == ']')
      host = host.substr(1, host.size() - 2);
    else if (v6 || host.empty() || host.find(':') != host.npos)
      throw bad(v6 ? "the host goes in brackets" : "bad host");
  }
  addrinfo hints{};
  hints.ai_family = v6 ? AF_INET6 : AF_INET;
  hints.ai_socktype = SOCK_DGRAM;
  hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
  addrinfo* found = nullptr;
  if (getaddrinfo(host.empty() ? nullptr : host.c_str(), port.c_str(), &hints,
                  &found) != 0)
    throw bad(std::string("no ") + (v6 ? "IPv6" : "IPv4") + " host \"" + host +
              "\"");
  char numeric[NI_MAXHOST];
  const int named = getnameinfo(found->ai_addr, found->ai_addrlen, numeric,
                                sizeof numeric, nullptr, 0, NI_NUMERICHOST);
  freeaddrinfo(found);
  if (named != 0) throw bad("no numeric address for the host");  // unlikely
  listen.spec = v6 ? "udp6:[" + std::string(numeric) + "]:" + port
                   : "udp:" + std::string(numeric) + ":" + port;
  return listen;
}

struct Options {
  Listen listen = parse_listen("127.0.0.1:16100");
  std::string community = "varnel";
  std::string profile;
  double duration = 0;  // 0: run until a signal
  bool help = false;
  bool version = false;
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
    } else if (name == "--version") {
      options.version = true;
    } else if (name == "--listen") {
      options.listen = parse_listen(value());
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

// Installed before anything is created, so that SIGINT or SIGTERM at any
// moment only asks for a stop and the temporary folder is always removed.
void catch_stop_signals() {
  struct sigaction action {};
  action.sa_handler = on_signal;  // no SA_RESTART: a signal ends the select
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}

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
    netsnmp_ds_set_string(app, NETSNMP_DS_AGENT_PORTS,
                          options.listen.spec.c_str());

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
  // The port the listening socket got, 0 if unknown.
  int port() const {
    void* session = main_session ? snmp_sess_pointer(main_session) : nullptr;
    const netsnmp_transport* transport =
        session ? snmp_sess_transport(session) : nullptr;
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    if (!transport ||
        getsockname(transport->sock, reinterpret_cast<sockaddr*>(&address),
                    &length) != 0)
      return 0;
    return ntohs(address.ss_family == AF_INET6
                     ? reinterpret_cast<sockaddr_in6*>(&address)->sin6_port
                     : reinterpret_cast<sockaddr_in*>(&address)->sin_port);
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
  if (g_stop) return 0;
  const int port = agent.port();
  if (!agent.listening() || port == 0) {
    std::cerr << "inverter_sim: cannot listen on " << options.listen.given
              << '\n';
    return 1;
  }
  // A no-op repeating alarm bounds each wait to 100 ms, so timeline changes,
  // the end of --duration and a signal that lands just before the wait are
  // all handled promptly.
  snmp_alarm_register_hr(
      {0, 100000}, SA_REPEAT, [](unsigned int, void*) {}, nullptr);

  std::cout << "ready "
            << options.listen.given.substr(0, options.listen.port_at) << port
            << std::endl;
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
  catch_stop_signals();
  Options options;
  Profile profile;
  try {
    options = parse_options(argc, argv);
    if (options.help) {
      std::cout << kUsage;
      return 0;
    }
    if (options.version) {
      std::cout << "inverter_sim " TARN_VERSION "\n";
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
