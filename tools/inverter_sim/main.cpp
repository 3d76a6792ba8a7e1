// Simulated UPS inverter: an SNMP agent (v1, v2c, v3) that serves the objects
// of one inverter (inverter_tables.h) from a JSON profile and changes them
// along the profile's timeline.

// net-snmp-config.h must precede the other Net-SNMP headers.
// clang-format off
#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>
#include <net-snmp/agent/net-snmp-agent-includes.h>
// clang-format on

// The agent library's first listening session; exported but not declared in
// its headers.
extern "C" netsnmp_session* main_session;

#include <json/json.h>
#include <netdb.h>
#include <sys/socket.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <list>
#include <stdexcept>
#include <string>

#include "SNMP_KEHUA_INVERTER_Data.h"
#include "peer_address.h"
#include "profile.h"
#include "snmp_v3_names.h"
#include "tarn_version.h"

namespace {

using namespace inverter_sim;

constexpr const char* kAppName = "inverter_sim";
// SNMP type sent for each Type, in the same order.
constexpr u_char kAsnTypes[] = {ASN_INTEGER, ASN_GAUGE, ASN_OPAQUE_FLOAT,
                                ASN_OCTET_STR};

// The usage text; its second line names the objects served.
std::string usage() {
  return R"(usage: inverter_sim [options]
Simulated UPS inverter: an SNMP agent (v1, v2c, v3) serving
)" + subtree_text() +
         ".K.0 for K = " + std::to_string(inverter::kReadings.front().key) +
         ".." + std::to_string(inverter::kReadings.back().key) +
         R"(, read-only.

  --listen ADDR       UDP address to listen on: HOST:PORT, udp:HOST:PORT,
                      udp6:[HOST]:PORT, or PORT for every address (default
                      127.0.0.1:16100); port 0 lets the system choose
  --community NAME    read-only community for v1 and v2c (default varnel)
  --user NAME[:AUTH:AUTHPASS[:PRIV:PRIVPASS]]
                      an SNMPv3 user, answered at its level or above:
                      NAME alone is noAuthNoPriv, with AUTH authNoPriv,
                      with PRIV authPriv. AUTH: MD5, SHA, SHA-224, SHA-256,
                      SHA-384, SHA-512; PRIV: DES, AES, AES-192, AES-256
                      (any case); passphrases 8 to 128 characters, AUTHPASS
                      without ':'. Repeatable; also "users" in the profile
  --engine-id HEX     SNMPv3 engine ID, 5 to 32 bytes in hex (default: a new
                      random one at every start)
  --engine-boots N    SNMPv3 engine boots to start with, 1..2147483646
                      (default 1)
  --delay-ms N        send every answer N ms late (0..60000, default 0);
                      other requests are served meanwhile
  --forge-reports     before every SNMPv3 answer, send an unauthenticated
                      wrongDigests Report with the answer's message id, as
                      anyone who sees the requests could
  --forge-engine-id HEX  the engine ID forged Reports name (default: the
                      agent's own)
  --profile FILE      JSON profile: values, timeline, users (default: built in)
  --duration SECONDS  exit after this long (default: until SIGINT/SIGTERM)
  --describe          print the inverter's objects (key, name, unit, type,
                      reading) and the record's layout as one line of JSON
  --help              show this text
  --version           show the version

Prints "ready ADDR" once listening (ADDR as given, a port 0 replaced by the
port it got) and one line per timeline change. SIGINT or SIGTERM at any
moment stops it and removes its temporary folder.
Exit status: 0 normal, 1 cannot listen, 2 bad option or profile.
)";
}

// The inverter's objects and the facts of the record's layout that scripts
// need, as one JSON object: what --describe prints.
std::string describe() {
  Json::Value out;
  out["subtree"] = subtree_text();
  Json::Value& objects = out["objects"];
  for (std::size_t i = 0; i < kKeyCount; ++i) {
    Json::Value& object = objects.append(Json::objectValue);
    object["key"] = inverter::kReadings[i].key;
    object["name"] = inverter::kReadings[i].name;
    object["unit"] = inverter::kReadings[i].unit;
    object["type"] = type_name(default_type(inverter::kReadings[i].type));
    object["reading"] = static_cast<Json::UInt>(i);
  }
  Json::Value& record = out["record"];
  record["length"] =
      static_cast<Json::UInt>(sizeof(SNMP_KEHUA_INVERTER_Data_t));
  record["round_time"]["offset"] =
      static_cast<Json::UInt>(offsetof(SNMP_KEHUA_INVERTER_Data_t, round_time));
  record["round_time"]["size"] =
      static_cast<Json::UInt>(sizeof(SNMP_KEHUA_INVERTER_Data_t::round_time));
  Json::StreamWriterBuilder builder;
  builder["indentation"] = "";
  return Json::writeString(builder, out);
}

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
  inverter::PeerAddress parsed;
  std::string why;
  if (!inverter::ParsePeerAddress(text, &parsed, &why)) throw bad(why);
  if (parsed.port.empty())
    throw bad("it needs a port from 0 to 65535 at the end");
  const bool v6 = parsed.ipv6;
  const std::string& port = parsed.port;
  const std::string& host = parsed.host;
  if (v6 && !host.empty() && text.find('[') == std::string::npos)
    throw bad("the host goes in brackets");
  Listen listen{text, text.size() - port.size(), ""};
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
  std::vector<User> users;
  std::string engine_id;  // bytes; empty: random
  long engine_boots = 0;  // 0: the library's default
  long delay_ms = 0;
  bool forge_reports = false;
  std::string forge_engine_id;  // bytes; empty: the agent's own
  bool help = false;
  bool version = false;
  bool describe = false;
};

long parse_whole(const std::string& option, const std::string& text, long min,
                 long max) {
  char* end = nullptr;
  errno = 0;
  const long number = std::strtol(text.c_str(), &end, 10);
  if (text.empty() || !std::isdigit(static_cast<unsigned char>(text[0])) ||
      *end != '\0' || errno != 0 || number < min || number > max)
    throw std::runtime_error(option + " needs a whole number from " +
                             std::to_string(min) + " to " +
                             std::to_string(max) + ", not \"" + text + "\"");
  return number;
}

// An engine ID from hex digits (an optional 0x in front): the bytes.
std::string parse_engine_id(const std::string& text) {
  std::vector<unsigned char> bytes;
  if (!inverter::v3::ParseEngineId(text, &bytes))
    throw std::runtime_error("--engine-id needs 5 to 32 bytes in hex, not \"" +
                             text + "\"");
  return std::string(bytes.begin(), bytes.end());
}

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
    } else if (name == "--describe") {
      options.describe = true;
    } else if (name == "--listen") {
      options.listen = parse_listen(value());
    } else if (name == "--community") {
      options.community = value();
    } else if (name == "--profile") {
      options.profile = value();
    } else if (name == "--user") {
      options.users.push_back(parse_user(
          value(), "--user #" + std::to_string(options.users.size() + 1)));
    } else if (name == "--engine-id") {
      options.engine_id = parse_engine_id(value());
    } else if (name == "--engine-boots") {
      options.engine_boots = parse_whole(name, value(), 1, 2147483646);
    } else if (name == "--forge-reports") {
      options.forge_reports = true;
    } else if (name == "--forge-engine-id") {
      options.forge_engine_id = parse_engine_id(value());
    } else if (name == "--delay-ms") {
      options.delay_ms = parse_whole(name, value(), 0, 60000);
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

// Quoted for the library's configuration lines: \ and " escaped.
std::string quoted(const std::string& text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  return out + '"';
}

// Sends every answer of a transport `delay` late from an alarm of the agent's
// select loop, so requests that arrive meanwhile are served (and delayed) in
// parallel.
class DelayedSends {
 public:
  static void install(netsnmp_transport* transport, long delay_ms) {
    delay_ = {delay_ms / 1000, delay_ms % 1000 * 1000};
    send_ = transport->f_send;
    transport->f_send = &DelayedSends::queue;
  }
  static void clear() { pending_.clear(); }

 private:
  struct Pending {
    netsnmp_transport* transport;
    std::string packet;
    std::string peer;  // the transport's opaque address data
  };
  static int queue(netsnmp_transport* transport, const void* packet, int size,
                   void** opaque, int* opaque_length) {
    const bool has_peer = opaque && *opaque && opaque_length;
    pending_.push_back(
        {transport, std::string(static_cast<const char*>(packet), size),
         has_peer
             ? std::string(static_cast<const char*>(*opaque), *opaque_length)
             : std::string()});
    if (snmp_alarm_register_hr(delay_, 0, &DelayedSends::fire,
                               &pending_.back()) == 0) {
      pending_.pop_back();
      return send_(transport, packet, size, opaque, opaque_length);
    }
    return size;
  }
  static void fire(unsigned int, void* arg) {
    const auto it = std::find_if(pending_.begin(), pending_.end(),
                                 [arg](const Pending& p) { return &p == arg; });
    if (it == pending_.end()) return;
    void* peer = it->peer.empty() ? nullptr : it->peer.data();
    int peer_length = static_cast<int>(it->peer.size());
    send_(it->transport, it->packet.data(), static_cast<int>(it->packet.size()),
          &peer, &peer_length);
    pending_.erase(it);
  }

  static inline timeval delay_{};
  static inline int (*send_)(netsnmp_transport*, const void*, int, void**,
                             int*) = nullptr;
  static inline std::list<Pending> pending_;
};

// Sends, before each SNMPv3 answer of a transport, a forged noAuthNoPriv
// Report (usmStatsWrongDigests) carrying the answer's message id: what an
// attacker who sees the requests can send, built with the library's encoder.
class ForgedReports {
 public:
  static void install(netsnmp_transport* transport, const std::string& engine) {
    engine_ = engine;
    send_ = transport->f_send;
    transport->f_send = &ForgedReports::send;
  }

 private:
  // The message id of a v3 message: SEQUENCE { INTEGER 3, SEQUENCE {
  // INTEGER msgID, ... } ... } (short lengths and the agent's own encoding
  // are all this reads). -1 for anything else.
  static long MessageId(const u_char* p, int size) {
    auto header = [&](int at, u_char tag) {  // offset of the contents
      if (at + 2 > size || p[at] != tag) return -1;
      const int n = p[at + 1] & 0x80 ? (p[at + 1] & 0x7f) : 0;
      return at + 2 + n;
    };
    int at = header(0, 0x30);
    if (at < 0 || at + 3 > size || p[at] != 0x02 || p[at + 1] != 1 ||
        p[at + 2] != 3)
      return -1;
    at = header(at + 3, 0x30);
    if (at < 0 || at + 2 > size || p[at] != 0x02 || p[at + 1] > 4 ||
        at + 2 + p[at + 1] > size)
      return -1;
    long id = 0;
    for (int i = 0; i < p[at + 1]; ++i) id = id << 8 | p[at + 2 + i];
    return id;
  }
  static int send(netsnmp_transport* transport, const void* packet, int size,
                  void** opaque, int* opaque_length) {
    const long id = MessageId(static_cast<const u_char*>(packet), size);
    if (id >= 0) {
      netsnmp_session session;
      snmp_sess_init(&session);
      session.version = SNMP_VERSION_3;
      session.securityModel = SNMP_SEC_MODEL_USM;
      session.securityLevel = SNMP_SEC_LEVEL_NOAUTH;
      u_char engine[64];
      session.securityEngineIDLen = snmpv3_get_engineID(engine, sizeof engine);
      if (!engine_.empty()) {
        session.securityEngineIDLen = engine_.size();
        std::memcpy(engine, engine_.data(), engine_.size());
      }
      session.securityEngineID = engine;
      netsnmp_pdu* report = snmp_pdu_create(SNMP_MSG_REPORT);
      report->version = SNMP_VERSION_3;
      report->securityModel = SNMP_SEC_MODEL_USM;
      report->securityLevel = SNMP_SEC_LEVEL_NOAUTH;
      report->msgid = id;
      report->securityEngineID = static_cast<u_char*>(
          netsnmp_memdup(engine, session.securityEngineIDLen));
      report->securityEngineIDLen = session.securityEngineIDLen;
      report->contextEngineID = static_cast<u_char*>(
          netsnmp_memdup(engine, session.securityEngineIDLen));
      report->contextEngineIDLen = session.securityEngineIDLen;
      report->contextName = strdup("");
      report->contextNameLen = 0;
      report->securityName = strdup("");
      const oid wrong_digests[] = {1, 3, 6, 1, 6, 3, 15, 1, 1, 5, 0};
      const u_long count = 1;
      snmp_pdu_add_variable(report, wrong_digests, std::size(wrong_digests),
                            ASN_COUNTER, &count, sizeof count);
      size_t length = 2048, offset = 0;
      auto* buffer = static_cast<u_char*>(malloc(length));
      if (snmp_build(&buffer, &length, &offset, &session, report) == 0) {
        // Reverse encoding fills the buffer from its end.
        const bool forward = report->flags & UCD_MSG_FLAG_FORWARD_ENCODE;
        send_(transport, forward ? buffer : buffer + length - offset,
              static_cast<int>(forward ? length : offset), opaque,
              opaque_length);
      }
      free(buffer);
      snmp_free_pdu(report);
    }
    return send_(transport, packet, size, opaque, opaque_length);
  }

  static inline int (*send_)(netsnmp_transport*, const void*, int, void**,
                             int*) = nullptr;
  static inline std::string engine_;
};

// The agent library, set up to read no configuration or MIB files, keep its
// state in `state_dir`, and serve `table` read-only to the community and to
// `users`; shut down on destruction.
class Agent {
 public:
  Agent(const Options& options, const std::vector<User>& users,
        const std::string& state_dir, Table& table) {
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
      const inverter::Reading& reading = inverter::kReadings[i];
      oid name[inverter::kSubtree.size() + 1];
      std::copy(inverter::kSubtree.begin(), inverter::kSubtree.end(), name);
      name[inverter::kSubtree.size()] = reading.key;
      // The library keeps its own copy of the handler's name.
      auto* reg = netsnmp_create_handler_registration(
          label(reading).c_str(), handle_key, name, std::size(name),
          HANDLER_CAN_RONLY);
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
    // Each user reads everything at its own security level or above.
    for (const User& user : users) {
      std::string line = "rouser " + user.name + " " +
                         (user.auth.empty()   ? "noauth"
                          : user.priv.empty() ? "auth"
                                              : "priv");
      netsnmp_config_remember(line.data());
    }
    if (!options.engine_id.empty())
      set_exact_engineID(
          reinterpret_cast<const u_char*>(options.engine_id.data()),
          options.engine_id.size());
    init_snmp(kAppName);
    // Set after start-up, which resets the boots of an engine ID it has not
    // stored (the simulator stores nothing). The library's handler of a
    // stored "engineBoots N" starts at N + 1.
    if (options.engine_boots > 0) {
      std::string stored = std::to_string(options.engine_boots - 1);
      engineBoots_conf("engineBoots", stored.data());
      u_char engine[64];
      const size_t length = snmpv3_get_engineID(engine, sizeof engine);
      set_enginetime(engine, length, snmpv3_local_snmpEngineBoots(),
                     snmpv3_local_snmpEngineTime(), TRUE);
    }
    // Users belong to the engine ID, now final. The library derives the keys
    // from the passphrases as it does for its own configuration files.
    for (const User& user : users) {
      std::string line = user.name;
      if (!user.auth.empty())
        line += " " + user.auth + " " + quoted(user.auth_pass);
      if (!user.priv.empty())
        line += " " + user.priv + " " + quoted(user.priv_pass);
      usm_parse_create_usmUser("createUser", line.data());
      std::fill(line.begin(), line.end(), '\0');
      u_char engine[64];
      const size_t engine_length = snmpv3_get_engineID(engine, sizeof engine);
      if (!usm_get_user(engine, engine_length, user.name.c_str()))
        throw std::runtime_error("cannot create SNMPv3 user " + user.name);
    }
    listening_ = init_master_agent() == 0;
    if (listening_ && options.delay_ms > 0 && transport())
      DelayedSends::install(transport(), options.delay_ms);
    if (listening_ && options.forge_reports && transport())
      ForgedReports::install(transport(), options.forge_engine_id);
  }
  // The port the listening socket got, 0 if unknown.
  int port() const {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    if (!transport() ||
        getsockname(transport()->sock, reinterpret_cast<sockaddr*>(&address),
                    &length) != 0)
      return 0;
    return ntohs(address.ss_family == AF_INET6
                     ? reinterpret_cast<sockaddr_in6*>(&address)->sin6_port
                     : reinterpret_cast<sockaddr_in*>(&address)->sin_port);
  }
  ~Agent() {
    snmp_shutdown(kAppName);
    DelayedSends::clear();
  }
  Agent(const Agent&) = delete;
  Agent& operator=(const Agent&) = delete;

  bool listening() const { return listening_; }

 private:
  // The listening transport (there is one), or null.
  static netsnmp_transport* transport() {
    void* session = main_session ? snmp_sess_pointer(main_session) : nullptr;
    return session ? snmp_sess_transport(session) : nullptr;
  }

 private:
  bool listening_ = false;
};

int run(const Options& options, const std::vector<User>& users,
        Profile& profile) {
  TempDir state_dir;
  Agent agent(options, users, state_dir.path(), profile.objects);
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
      Value& slot = profile.objects[index_of(change.key)];
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
  std::vector<User> users;
  try {
    options = parse_options(argc, argv);
    if (options.help) {
      std::cout << usage();
      return 0;
    }
    if (options.version) {
      std::cout << "inverter_sim " TARN_VERSION "\n";
      return 0;
    }
    if (options.describe) {
      std::cout << describe() << '\n';
      return 0;
    }
    profile = options.profile.empty() ? default_profile()
                                      : load_profile(options.profile);
    users = options.users;
    users.insert(users.end(), profile.users.begin(), profile.users.end());
    for (auto user = users.begin(); user != users.end(); ++user)
      if (std::any_of(users.begin(), user,
                      [&](const User& u) { return u.name == user->name; }))
        throw std::runtime_error("user " + user->name + " is given twice");
  } catch (const std::exception& e) {
    std::cerr << "inverter_sim: " << e.what() << '\n';
    return 2;
  }
  try {
    return run(options, users, profile);
  } catch (const std::exception& e) {
    std::cerr << "inverter_sim: " << e.what() << '\n';
    return 1;
  }
}
