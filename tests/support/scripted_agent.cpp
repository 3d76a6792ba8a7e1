// The tests' scripted SNMP agent: decoding, scripts, encoding, its thread.
#include "scripted_agent.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>
#include <stdexcept>
#include <utility>

namespace tarn::test {
namespace {

struct PduDeleter {
  void operator()(netsnmp_pdu* pdu) const { snmp_free_pdu(pdu); }
};
using PduPtr = std::unique_ptr<netsnmp_pdu, PduDeleter>;

// An empty PDU the way snmp_pdu_create makes one, but without drawing a
// request id and message id from the library's global, unlocked counters:
// the agent thread runs beside clients that draw from them. Freed by
// snmp_free_pdu (calloc'ed like the library's own).
PduPtr NewPdu(int command) {
  auto* pdu = static_cast<netsnmp_pdu*>(std::calloc(1, sizeof(netsnmp_pdu)));
  if (pdu == nullptr) throw std::bad_alloc();
  pdu->version = SNMP_DEFAULT_VERSION;
  pdu->command = command;
  pdu->errstat = SNMP_DEFAULT_ERRSTAT;
  pdu->errindex = SNMP_DEFAULT_ERRINDEX;
  pdu->securityModel = SNMP_DEFAULT_SECMODEL;
  return PduPtr(pdu);
}

// Session template for snmp_build, made once by snmp_sess_init.
netsnmp_session g_template;
std::once_flag g_init_once;

Value Make(u_char type) {
  Value v;
  v.type = type;
  return v;
}

void AddValue(netsnmp_pdu* pdu, const Binding& b) {
  const Value& v = b.value;
  netsnmp_variable_list* added = nullptr;
  switch (v.type) {
    case ASN_INTEGER: {
      long n = v.integer;
      added = snmp_pdu_add_variable(pdu, b.name.data(), b.name.size(), v.type,
                                    &n, sizeof n);
      break;
    }
    case ASN_GAUGE:
    case ASN_COUNTER:
    case ASN_TIMETICKS: {
      u_long n = static_cast<u_long>(v.integer) & 0xffffffffUL;
      added = snmp_pdu_add_variable(pdu, b.name.data(), b.name.size(), v.type,
                                    &n, sizeof n);
      break;
    }
    case ASN_OCTET_STR:
      added = snmp_pdu_add_variable(pdu, b.name.data(), b.name.size(), v.type,
                                    v.bytes.data(), v.bytes.size());
      break;
    case ASN_OPAQUE_FLOAT: {
      float f = static_cast<float>(v.real);
      added = snmp_pdu_add_variable(pdu, b.name.data(), b.name.size(), v.type,
                                    &f, sizeof f);
      break;
    }
    case ASN_OPAQUE_DOUBLE: {
      double d = v.real;
      added = snmp_pdu_add_variable(pdu, b.name.data(), b.name.size(), v.type,
                                    &d, sizeof d);
      break;
    }
    case ASN_NULL:
    case SNMP_NOSUCHOBJECT:
    case SNMP_NOSUCHINSTANCE:
    case SNMP_ENDOFMIBVIEW:
      added = snmp_pdu_add_variable(pdu, b.name.data(), b.name.size(), v.type,
                                    nullptr, 0);
      break;
    default:
      throw std::runtime_error("EncodeResponse: unsupported value type " +
                               std::to_string(v.type) +
                               " (use BuildRawResponse)");
  }
  if (added == nullptr) {
    throw std::runtime_error("snmp_pdu_add_variable failed for " +
                             OidToString(b.name));
  }
}

Request DecodeRequest(std::vector<u_char> datagram) {
  Request req;
  req.received = std::chrono::steady_clock::now();
  std::vector<u_char> data = datagram;
  req.datagram = std::move(datagram);

  u_char community[COMMUNITY_MAX_LEN];
  size_t community_len = sizeof community;
  size_t length = data.size();
  long version = -1;
  u_char* rest = snmp_comstr_parse(data.data(), &length, community,
                                   &community_len, &version);
  if (rest == nullptr) return req;
  if (version != SNMP_VERSION_1 && version != SNMP_VERSION_2c) return req;

  PduPtr pdu = NewPdu(0);
  pdu->version = version;
  if (snmp_pdu_parse(pdu.get(), rest, &length) != 0) return req;

  req.parsed = true;
  req.version = version;
  req.community.assign(reinterpret_cast<const char*>(community), community_len);
  req.command = pdu->command;
  req.request_id = pdu->reqid;
  if (pdu->command == SNMP_MSG_GETBULK) {
    req.non_repeaters = pdu->non_repeaters;
    req.max_repetitions = pdu->max_repetitions;
  } else {
    req.error_status = pdu->errstat;
    req.error_index = pdu->errindex;
  }
  for (auto* v = pdu->variables; v != nullptr; v = v->next_variable) {
    req.oids.emplace_back(v->name, v->name + v->name_length);
  }
  return req;
}

void AppendLength(std::vector<u_char>& out, size_t len) {
  if (len < 0x80) {
    out.push_back(static_cast<u_char>(len));
    return;
  }
  std::vector<u_char> digits;
  for (; len != 0; len >>= 8) digits.push_back(static_cast<u_char>(len));
  out.push_back(static_cast<u_char>(0x80 | digits.size()));
  out.insert(out.end(), digits.rbegin(), digits.rend());
}

std::vector<u_char> Concat(const std::vector<std::vector<u_char>>& parts) {
  std::vector<u_char> out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

}  // namespace

// ---------------------------------------------------------------- OIDs

Oid ParseOid(const std::string& text) {
  Oid out;
  size_t i = (!text.empty() && text[0] == '.') ? 1 : 0;
  if (i >= text.size()) throw std::invalid_argument("empty OID");
  while (i <= text.size()) {
    size_t end = text.find('.', i);
    if (end == std::string::npos) end = text.size();
    std::string part = text.substr(i, end - i);
    if (part.empty() || part.size() > 10 ||
        part.find_first_not_of("0123456789") != std::string::npos) {
      throw std::invalid_argument("bad OID: " + text);
    }
    unsigned long long n = std::stoull(part);
    if (n > 0xffffffffULL) throw std::invalid_argument("bad OID: " + text);
    out.push_back(static_cast<oid>(n));
    i = end + 1;
  }
  if (out.size() > MAX_OID_LEN) throw std::invalid_argument("OID too long");
  return out;
}

std::string OidToString(const Oid& id) {
  std::string s;
  for (size_t i = 0; i < id.size(); ++i) {
    if (i != 0) s += '.';
    s += std::to_string(id[i]);
  }
  return s;
}

bool OidLess::operator()(const Oid& a, const Oid& b) const {
  return snmp_oid_compare(a.data(), a.size(), b.data(), b.size()) < 0;
}

void EnsureNetSnmpInitialised() {
  std::call_once(g_init_once, [] {
    netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID,
                           NETSNMP_DS_LIB_DONT_LOAD_HOST_FILES, 1);
    // The first snmp_sess_init runs the library's one-time initialisation
    // (no config or MIB files, unlike init_snmp).
    snmp_sess_init(&g_template);
  });
}

// ---------------------------------------------------------------- values

Value Integer(std::int32_t v) {
  Value out = Make(ASN_INTEGER);
  out.integer = v;
  return out;
}
Value Gauge32(std::uint32_t v) {
  Value out = Make(ASN_GAUGE);
  out.integer = static_cast<long>(v);
  return out;
}
Value Counter32(std::uint32_t v) {
  Value out = Make(ASN_COUNTER);
  out.integer = static_cast<long>(v);
  return out;
}
Value TimeTicks(std::uint32_t v) {
  Value out = Make(ASN_TIMETICKS);
  out.integer = static_cast<long>(v);
  return out;
}
Value OctetString(const std::string& v) {
  Value out = Make(ASN_OCTET_STR);
  out.bytes = v;
  return out;
}
Value OpaqueFloat(float v) {
  Value out = Make(ASN_OPAQUE_FLOAT);
  out.real = v;  // exact: float -> double -> float round-trips
  return out;
}
Value OpaqueDouble(double v) {
  Value out = Make(ASN_OPAQUE_DOUBLE);
  out.real = v;
  return out;
}
Value Null() { return Make(ASN_NULL); }
Value NoSuchObject() { return Make(SNMP_NOSUCHOBJECT); }
Value NoSuchInstance() { return Make(SNMP_NOSUCHINSTANCE); }
Value EndOfMibView() { return Make(SNMP_ENDOFMIBVIEW); }

std::vector<Binding> NumberedBindings(const Oid& prefix, std::uint32_t first,
                                      std::size_t count, const Value& value) {
  std::vector<Binding> out(count, Binding{prefix, value});
  for (std::size_t i = 0; i < count; ++i)
    out[i].name.push_back(static_cast<oid>(first + i));
  return out;
}

// ---------------------------------------------------------------- replies

Reply Reply::Answer(std::vector<Binding> bindings) {
  Reply r;
  r.bindings = std::move(bindings);
  return r;
}
Reply Reply::Error(long status, long index, std::vector<Binding> bindings) {
  Reply r = Answer(std::move(bindings));
  r.error_status = status;
  r.error_index = index;
  return r;
}
Reply Reply::Empty() { return Reply(); }
Reply Reply::Drop() {
  Reply r;
  r.kind = Kind::kDrop;
  return r;
}
Reply Reply::Raw(std::vector<u_char> bytes) {
  Reply r;
  r.kind = Kind::kRaw;
  r.raw = std::move(bytes);
  return r;
}
Reply Reply::Sequence(std::vector<Reply> replies) {
  Reply r;
  r.kind = Kind::kSequence;
  r.sequence = std::move(replies);
  return r;
}
Reply Reply::Delayed(std::chrono::milliseconds d) const {
  Reply r = *this;
  r.delay = d;
  return r;
}
Reply Reply::WithRequestId(long id) const {
  Reply r = *this;
  r.request_id = id;
  return r;
}
Reply Reply::WithCommunity(std::string c) const {
  Reply r = *this;
  r.community = std::move(c);
  return r;
}
Reply Reply::WithVersion(long v) const {
  Reply r = *this;
  r.version = v;
  return r;
}

Reply AnswerFromTable(const Table& table, const Request& req) {
  constexpr size_t kMaxBindings = 1000;  // keeps the answer within a datagram
  auto next = [&table](const Oid& after) -> const std::pair<const Oid, Value>* {
    auto it = table.upper_bound(after);
    return it == table.end() ? nullptr : &*it;
  };
  std::vector<Binding> out;
  switch (req.command) {
    case SNMP_MSG_GET:
      for (const Oid& o : req.oids) {
        auto it = table.find(o);
        out.push_back({o, it == table.end() ? NoSuchObject() : it->second});
      }
      break;
    case SNMP_MSG_GETNEXT:
      for (const Oid& o : req.oids) {
        const auto* n = next(o);
        out.push_back(n ? Binding{n->first, n->second}
                        : Binding{o, EndOfMibView()});
      }
      break;
    case SNMP_MSG_GETBULK: {
      const size_t count = req.oids.size();
      const size_t non_rep = static_cast<size_t>(
          std::clamp<long>(req.non_repeaters, 0, static_cast<long>(count)));
      const long max_rep = std::max<long>(req.max_repetitions, 0);
      for (size_t i = 0; i < non_rep; ++i) {
        const auto* n = next(req.oids[i]);
        out.push_back(n ? Binding{n->first, n->second}
                        : Binding{req.oids[i], EndOfMibView()});
      }
      std::vector<Oid> cursor(req.oids.begin() + non_rep, req.oids.end());
      for (long round = 0; round < max_rep && !cursor.empty(); ++round) {
        if (out.size() + cursor.size() > kMaxBindings) break;
        bool all_end = true;
        for (Oid& c : cursor) {
          const auto* n = next(c);
          if (n != nullptr) {
            out.push_back({n->first, n->second});
            c = n->first;
            all_end = false;
          } else {
            out.push_back({c, EndOfMibView()});
          }
        }
        if (all_end) break;
      }
      break;
    }
    default:
      return Reply::Drop();
  }
  return Reply::Answer(std::move(out));
}

Script TableScript(Table table, std::string community) {
  return [table = std::move(table),
          community = std::move(community)](const Request& req) {
    if (!community.empty() && req.community != community) {
      return Reply::Drop();
    }
    return AnswerFromTable(table, req);
  };
}

// ---------------------------------------------------------------- encoding

std::vector<u_char> EncodeResponse(long request_id,
                                   const std::string& community,
                                   const std::vector<Binding>& bindings,
                                   long error_status, long error_index,
                                   long version) {
  EnsureNetSnmpInitialised();
  PduPtr pdu = NewPdu(SNMP_MSG_RESPONSE);
  pdu->version = version;
  pdu->securityModel = version == SNMP_VERSION_1 ? SNMP_SEC_MODEL_SNMPv1
                                                 : SNMP_SEC_MODEL_SNMPv2c;
  pdu->reqid = request_id;
  pdu->errstat = error_status;
  pdu->errindex = error_index;
  // The PDU owns its community copy (freed by snmp_free_pdu).
  pdu->community = static_cast<u_char*>(std::malloc(community.size() + 1));
  if (pdu->community == nullptr) throw std::bad_alloc();
  std::memcpy(pdu->community, community.data(), community.size());
  pdu->community_len = community.size();
  for (const Binding& b : bindings) AddValue(pdu.get(), b);

  netsnmp_session session = g_template;  // local copy; snmp_build writes it
  session.version = version;
  session.community = pdu->community;  // borrowed, not freed through session
  session.community_len = pdu->community_len;

  // snmp_build reallocates the buffer as it needs; the packet is written
  // backwards and ends at the buffer's end (reverse ASN encoding).
  size_t size = 256;
  size_t used = 0;
  auto* buffer = static_cast<u_char*>(std::malloc(size));
  if (buffer == nullptr) throw std::bad_alloc();
  const int rc = snmp_build(&buffer, &size, &used, &session, pdu.get());
  std::unique_ptr<u_char, decltype(&std::free)> owned(buffer, &std::free);
  if (rc != 0) {
    throw std::runtime_error(std::string("snmp_build failed: ") +
                             snmp_api_errstring(session.s_snmp_errno));
  }
  const u_char* start = buffer + size - used;
  return std::vector<u_char>(start, start + used);
}

std::vector<u_char> BerTlv(u_char tag, const std::vector<u_char>& content) {
  std::vector<u_char> out{tag};
  AppendLength(out, content.size());
  out.insert(out.end(), content.begin(), content.end());
  return out;
}

std::vector<u_char> BerIntegerContent(long v) {
  // Two's complement, big-endian, minimal length.
  std::vector<u_char> out;
  for (int shift = static_cast<int>(sizeof(long) - 1) * 8; shift >= 0;
       shift -= 8) {
    out.push_back(static_cast<u_char>(static_cast<unsigned long>(v) >> shift));
  }
  while (out.size() > 1 && ((out[0] == 0x00 && !(out[1] & 0x80)) ||
                            (out[0] == 0xff && (out[1] & 0x80)))) {
    out.erase(out.begin());
  }
  return out;
}

std::vector<u_char> BerOidContent(const Oid& id) {
  std::vector<u_char> out;
  if (id.size() < 2) throw std::invalid_argument("OID needs two arcs");
  std::vector<oid> arcs{id[0] * 40 + id[1]};
  arcs.insert(arcs.end(), id.begin() + 2, id.end());
  for (oid arc : arcs) {
    std::vector<u_char> group;
    do {
      group.push_back(static_cast<u_char>(arc & 0x7f));
      arc >>= 7;
    } while (arc != 0);
    for (size_t i = group.size(); i-- > 0;) {
      out.push_back(static_cast<u_char>(group[i] | (i != 0 ? 0x80 : 0)));
    }
  }
  return out;
}

std::vector<u_char> BuildRawResponse(long request_id,
                                     const std::string& community,
                                     const std::vector<RawBinding>& bindings,
                                     long error_status, long error_index,
                                     long version) {
  std::vector<std::vector<u_char>> vbs;
  for (const RawBinding& b : bindings) {
    const std::vector<u_char> name =
        b.name.empty() ? std::vector<u_char>() : BerOidContent(b.name);
    vbs.push_back(
        BerTlv(0x30, Concat({BerTlv(0x06, name), BerTlv(b.tag, b.content)})));
  }
  const auto pdu =
      BerTlv(0xa2, Concat({BerTlv(0x02, BerIntegerContent(request_id)),
                           BerTlv(0x02, BerIntegerContent(error_status)),
                           BerTlv(0x02, BerIntegerContent(error_index)),
                           BerTlv(0x30, Concat(vbs))}));
  return BerTlv(0x30,
                Concat({BerTlv(0x02, BerIntegerContent(version)),
                        BerTlv(0x04, std::vector<u_char>(community.begin(),
                                                         community.end())),
                        pdu}));
}

std::vector<u_char> EncodeTooBig(long request_id, const std::string& community,
                                 bool long_form) {
  std::vector<u_char> out =
      BuildRawResponse(request_id, community, {}, SNMP_ERR_TOOBIG, 0);
  if (!long_form) return out;
  // Short lengths throughout: two octets more for the message and the PDU.
  const size_t pdu = 2 + 3 + 2 + community.size();
  out[1] = static_cast<u_char>(out[1] + 2);
  out[pdu + 1] = static_cast<u_char>(out[pdu + 1] + 2);
  out.pop_back();
  out.insert(out.end(), {0x82, 0x00, 0x00});
  return out;
}

std::vector<u_char> BuildRawV3Response(
    const std::vector<u_char>& engine_id,
    const std::vector<u_char>& context_engine_id, long msg_max_size,
    long msg_id) {
  auto integer = [](long v) { return BerTlv(0x02, BerIntegerContent(v)); };
  auto octets = [](const std::vector<u_char>& v) { return BerTlv(0x04, v); };
  const auto usm =
      BerTlv(0x30, Concat({octets(engine_id), integer(1), integer(1),
                           octets({}), octets({}), octets({})}));
  const auto pdu = BerTlv(
      0xa2, Concat({integer(1), integer(0), integer(0), BerTlv(0x30, {})}));
  return BerTlv(
      0x30,
      Concat({integer(SNMP_VERSION_3),
              BerTlv(0x30, Concat({integer(msg_id), integer(msg_max_size),
                                   octets({0}), integer(SNMP_SEC_MODEL_USM)})),
              octets(usm),
              BerTlv(0x30,
                     Concat({octets(context_engine_id), octets({}), pdu}))}));
}

Script RelayTo(std::uint16_t port, std::chrono::milliseconds wait) {
  std::shared_ptr<int> fd(new int(::socket(AF_INET, SOCK_DGRAM, 0)),
                          [](int* f) {
                            if (*f >= 0) ::close(*f);
                            delete f;
                          });
  return [fd, port, wait](const Request& r) {
    sockaddr_in to{AF_INET, htons(port), {htonl(INADDR_LOOPBACK)}, {}};
    ::sendto(*fd, r.datagram.data(), r.datagram.size(), 0,
             reinterpret_cast<sockaddr*>(&to), sizeof to);
    pollfd p{*fd, POLLIN, 0};
    std::vector<u_char> answer(65536);
    const ssize_t n = ::poll(&p, 1, static_cast<int>(wait.count())) > 0
                          ? ::recv(*fd, answer.data(), answer.size(), 0)
                          : -1;
    if (n < 0) return Reply::Drop();
    answer.resize(static_cast<size_t>(n));
    return Reply::Raw(std::move(answer));
  };
}

// ---------------------------------------------------------------- agent

ScriptedAgent::ScriptedAgent(Script script, Family family)
    : family_(family), script_(std::move(script)) {
  EnsureNetSnmpInitialised();
  const int domain = family == Family::kIPv4 ? AF_INET : AF_INET6;
  fd_ = ::socket(domain, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd_ < 0)
    throw std::runtime_error("socket: " + std::string(strerror(errno)));
  sockaddr_storage addr{};
  socklen_t len = 0;
  if (family == Family::kIPv4) {
    auto* a = reinterpret_cast<sockaddr_in*>(&addr);
    a->sin_family = AF_INET;
    a->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    len = sizeof *a;
  } else {
    auto* a = reinterpret_cast<sockaddr_in6*>(&addr);
    a->sin6_family = AF_INET6;
    a->sin6_addr = in6addr_loopback;
    len = sizeof *a;
  }
  if (::bind(fd_, reinterpret_cast<sockaddr*>(&addr), len) != 0 ||
      ::getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    const std::string err = strerror(errno);
    ::close(fd_);
    throw std::runtime_error("bind on loopback: " + err);
  }
  port_ = ntohs(family == Family::kIPv4
                    ? reinterpret_cast<sockaddr_in*>(&addr)->sin_port
                    : reinterpret_cast<sockaddr_in6*>(&addr)->sin6_port);
  thread_ = std::thread(&ScriptedAgent::Run, this);
}

ScriptedAgent::~ScriptedAgent() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    stop_ = true;
  }
  cv_.notify_all();
  thread_.join();  // the loop polls in 20 ms steps; sleeps wake on stop
  ::close(fd_);
}

std::string ScriptedAgent::peer() const {
  return family_ == Family::kIPv4 ? "127.0.0.1:" + std::to_string(port_)
                                  : "udp6:[::1]:" + std::to_string(port_);
}

void ScriptedAgent::SetScript(Script script) {
  std::lock_guard<std::mutex> lock(mu_);
  script_ = std::move(script);
}

void ScriptedAgent::SetRawScript(Script script) {
  std::lock_guard<std::mutex> lock(mu_);
  raw_script_ = std::move(script);
}

std::vector<Request> ScriptedAgent::requests() const {
  std::lock_guard<std::mutex> lock(mu_);
  return log_;
}

std::size_t ScriptedAgent::request_count() const {
  std::lock_guard<std::mutex> lock(mu_);
  return log_.size();
}

void ScriptedAgent::ClearRequests() {
  std::lock_guard<std::mutex> lock(mu_);
  log_.clear();
}

bool ScriptedAgent::WaitForRequests(std::size_t n,
                                    std::chrono::milliseconds timeout) const {
  std::unique_lock<std::mutex> lock(mu_);
  return cv_.wait_for(lock, timeout, [&] { return log_.size() >= n; });
}

bool ScriptedAgent::WaitForResponses(std::size_t n,
                                     std::chrono::milliseconds timeout) const {
  std::unique_lock<std::mutex> lock(mu_);
  return cv_.wait_for(lock, timeout, [&] { return sent_ >= n; });
}

std::size_t ScriptedAgent::responses_sent() const {
  std::lock_guard<std::mutex> lock(mu_);
  return sent_;
}

std::vector<std::string> ScriptedAgent::errors() const {
  std::lock_guard<std::mutex> lock(mu_);
  return errors_;
}

bool ScriptedAgent::SleepUnlessStopped(std::chrono::milliseconds d) {
  std::unique_lock<std::mutex> lock(mu_);
  return !cv_.wait_for(lock, d, [this] { return stop_.load(); });
}

void ScriptedAgent::Run() {
  std::vector<u_char> buffer(65536);
  while (!stop_) {
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, 20) <= 0) continue;  // time-out or EINTR
    sockaddr_storage from{};
    socklen_t from_len = sizeof from;
    const ssize_t n = ::recvfrom(fd_, buffer.data(), buffer.size(), 0,
                                 reinterpret_cast<sockaddr*>(&from), &from_len);
    if (n < 0) continue;
    Handle(std::vector<u_char>(buffer.begin(), buffer.begin() + n), &from,
           from_len);
  }
}

void ScriptedAgent::Handle(const std::vector<u_char>& datagram,
                           const void* from, unsigned from_len) {
  Request req = DecodeRequest(datagram);
  // sin_port and sin6_port lie at the same offset.
  req.sender_port = ntohs(static_cast<const sockaddr_in*>(from)->sin_port);
  Script script;
  {
    std::lock_guard<std::mutex> lock(mu_);
    log_.push_back(req);
    script = req.parsed ? script_ : raw_script_;
  }
  cv_.notify_all();
  if (!script) return;
  try {
    Send(req, script(req), from, from_len);
  } catch (const std::exception& e) {
    std::lock_guard<std::mutex> lock(mu_);
    errors_.push_back(e.what());
  }
}

void ScriptedAgent::Send(const Request& req, const Reply& reply, const void* to,
                         unsigned to_len) {
  if (reply.delay.count() > 0 && !SleepUnlessStopped(reply.delay)) return;
  std::vector<u_char> bytes;
  switch (reply.kind) {
    case Reply::Kind::kDrop:
      return;
    case Reply::Kind::kSequence:
      for (const Reply& r : reply.sequence) {
        if (stop_) return;
        Send(req, r, to, to_len);
      }
      return;
    case Reply::Kind::kRaw:
      bytes = reply.raw;
      break;
    case Reply::Kind::kAnswer:
      bytes =
          EncodeResponse(reply.request_id.value_or(req.request_id),
                         reply.community.value_or(req.community),
                         reply.bindings, reply.error_status, reply.error_index,
                         reply.version.value_or(req.version));
      break;
  }
  const ssize_t n = ::sendto(fd_, bytes.data(), bytes.size(), 0,
                             static_cast<const sockaddr*>(to),
                             static_cast<socklen_t>(to_len));
  if (n == static_cast<ssize_t>(bytes.size())) {
    {
      std::lock_guard<std::mutex> lock(mu_);
      ++sent_;
    }
    cv_.notify_all();
  }
}

}  // namespace tarn::test
