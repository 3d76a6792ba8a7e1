#include "snmp_session.h"

#include <net-snmp/library/large_fd_set.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/random.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "ber_integers.h"

namespace inverter::snmp {
namespace {

std::once_flag g_library_once;
// Every call into the library runs under this lock (see the header).
std::mutex g_library_mutex;
using Lock = std::lock_guard<std::mutex>;

// A request id the kernel's random source picks, 1..2^31-1: an answer
// cannot be forged by guessing from the ids of other requests.
long RandomId() {
  unsigned int value = 0;
  while (getrandom(&value, sizeof value, 0) != sizeof value) {
    if (errno != EINTR) {
      value = static_cast<unsigned int>(std::rand());  // no random source
      break;
    }
  }
  value &= 0x7fffffffu;
  return value != 0 ? static_cast<long>(value) : 1;
}

// Pre-parse hook: only a datagram from the peer's own address and port is
// parsed; anything else is dropped and the request waits on. The transport
// hands over the sender first in its per-datagram data (a sockaddr, alone
// or at the head of an address pair).
int FromPeerOnly(netsnmp_session*, netsnmp_transport* transport, void* from,
                 int from_length) {
  if (transport == nullptr || transport->remote == nullptr || from == nullptr)
    return 0;
  const auto* peer = static_cast<const sockaddr*>(transport->remote);
  const auto* sender = static_cast<const sockaddr*>(from);
  if (peer->sa_family != sender->sa_family) return 0;
  if (peer->sa_family == AF_INET &&
      transport->remote_length >= int(sizeof(sockaddr_in)) &&
      from_length >= int(sizeof(sockaddr_in))) {
    const auto* p = reinterpret_cast<const sockaddr_in*>(peer);
    const auto* s = reinterpret_cast<const sockaddr_in*>(sender);
    return p->sin_port == s->sin_port &&
           p->sin_addr.s_addr == s->sin_addr.s_addr;
  }
  if (peer->sa_family == AF_INET6 &&
      transport->remote_length >= int(sizeof(sockaddr_in6)) &&
      from_length >= int(sizeof(sockaddr_in6))) {
    const auto* p = reinterpret_cast<const sockaddr_in6*>(peer);
    const auto* s = reinterpret_cast<const sockaddr_in6*>(sender);
    return p->sin6_port == s->sin6_port &&
           std::memcmp(&p->sin6_addr, &s->sin6_addr, sizeof p->sin6_addr) == 0;
  }
  return 0;
}

// Parse hook: INTEGERs lose redundant sign octets first (v1/v2c only: an
// SNMPv3 digest covers the message as sent), then the library parses as it
// would without the hook. The session's handle is in `myvoid`.
int ParseNormalised(netsnmp_session* session, netsnmp_pdu* pdu, u_char* data,
                    size_t length) {
  if (session->version != SNMP_VERSION_3) {
    length = NormaliseIntegers(data, length);
  }
  return snmp_parse(static_cast<struct session_list*>(session->myvoid), session,
                    pdu, data, length);
}

// Post-parse hook. The library matches a v1/v2c answer to its request by
// request id alone, whatever community the answer carries. An answer that
// is not for the session's community is not trusted: refused here, so that
// the request waits on as if nothing had come.
int AcceptOwnCommunity(netsnmp_session* session, netsnmp_pdu* pdu, int) {
  return pdu->community_len == session->community_len &&
         (pdu->community_len == 0 ||
          std::memcmp(pdu->community, session->community, pdu->community_len) ==
              0);
}

bool IsPort(const std::string& text) {
  if (text.empty() || text.size() > 5) return false;
  for (char c : text) {
    if (!std::isdigit(static_cast<unsigned char>(c))) return false;
  }
  return true;
}

bool StartsWithNoCase(const std::string& text, const char* prefix) {
  const size_t n = std::strlen(prefix);
  return text.size() >= n && strncasecmp(text.c_str(), prefix, n) == 0;
}

timespec ToTimespec(std::chrono::nanoseconds d) {
  if (d.count() < 0) d = std::chrono::nanoseconds(0);
  const auto s = std::chrono::duration_cast<std::chrono::seconds>(d);
  return timespec{static_cast<time_t>(s.count()),
                  static_cast<long>((d - s).count())};
}

}  // namespace

void EnsureLibrary() {
  std::call_once(g_library_once, [] {
    Lock lock(g_library_mutex);
    // Process-wide settings: they hold for every user of the library in
    // the host process (README, Reliability).
    netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID,
                           NETSNMP_DS_LIB_DONT_LOAD_HOST_FILES, 1);
    netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID,
                           NETSNMP_DS_LIB_DONT_READ_CONFIGS, 1);
    netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID,
                           NETSNMP_DS_LIB_DISABLE_PERSISTENT_LOAD, 1);
    netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID,
                           NETSNMP_DS_LIB_DISABLE_PERSISTENT_SAVE, 1);
    // The first snmp_sess_init runs the library's one-time setup.
    netsnmp_session scratch;
    snmp_sess_init(&scratch);
  });
}

void InitTemplate(netsnmp_session* session) {
  EnsureLibrary();
  Lock lock(g_library_mutex);
  snmp_sess_init(session);
}

std::string Printable(const std::string& text) {
  std::string out;
  for (unsigned char c : text) {
    if (c < 0x20 || c == 0x7f) {
      char hex[5];
      std::snprintf(hex, sizeof hex, "\\x%02x", c);
      out += hex;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

std::string LibraryPeerName(const std::string& address, std::string* why) {
  // The library reads the text before the first ':' as a transport name
  // (a leading '/' as a Unix socket), so only forms that cannot name
  // another transport get through, each with an explicit UDP domain.
  for (unsigned char c : address) {
    if (c < 0x20 || c == 0x7f) {
      *why = "control character in the address";
      return {};
    }
  }
  if (address.empty()) {
    *why = "empty address";
  } else if (address[0] == '/') {
    *why = "not a UDP address (Unix socket path)";
  } else if (address[0] == '[') {
    const size_t close = address.find(']');
    const std::string rest =
        close == std::string::npos ? "" : address.substr(close + 1);
    if (close == std::string::npos || close == 1 ||
        !(rest.empty() || (rest[0] == ':' && IsPort(rest.substr(1))))) {
      *why = "malformed bracketed IPv6 address";
    } else {
      return "udp6:" + address;
    }
  } else if (StartsWithNoCase(address, "udp:") ||
             StartsWithNoCase(address, "udp6:")) {
    return address;
  } else {
    const size_t colon = address.find(':');
    if (colon == std::string::npos || IsPort(address.substr(colon + 1))) {
      return "udp:" + address;  // HOST or HOST:PORT
    }
    *why = "transport \"" + Printable(address.substr(0, colon)) +
           "\" not allowed, only UDP";
  }
  return {};
}

void PduDeleter::operator()(netsnmp_pdu* pdu) const {
  Lock lock(g_library_mutex);
  snmp_free_pdu(pdu);
}

// State of the request in flight, filled by the library's callback.
struct Session::Exchange {
  long reqid = 0;
  bool done = false;
  int status = STAT_SUCCESS;
  netsnmp_pdu* answer = nullptr;  // a clone, ours to free
  netsnmp_large_fd_set fds;
};

Session::Session(void* handle, int sock, int wake_fd)
    : handle_(handle),
      sock_(sock),
      wake_fd_(wake_fd),
      exchange_(std::make_unique<Exchange>()) {
  netsnmp_large_fd_set_init(&exchange_->fds, FD_SETSIZE);
}

Session::~Session() {
  Lock lock(g_library_mutex);
  // Closing frees a request still in flight (a stopped or cut walk).
  snmp_sess_close(handle_);
  netsnmp_large_fd_set_cleanup(&exchange_->fds);
  if (exchange_->answer != nullptr) snmp_free_pdu(exchange_->answer);
}

std::unique_ptr<Session> Session::Open(netsnmp_session* templ,
                                       const char* library_peer,
                                       const char* label, int wake_fd) {
  EnsureLibrary();
  Lock lock(g_library_mutex);
  templ->s_snmp_errno = 0;
  templ->s_errno = 0;
  void* handle = nullptr;
  netsnmp_transport* transport = netsnmp_tdomain_transport_full(
      "snmp", library_peer, templ->local_port, "udp,udp6", nullptr);
  if (transport == nullptr) {
    templ->s_snmp_errno = SNMPERR_BAD_ADDRESS;
    templ->s_errno = errno;
  } else {
    // Takes the transport, and closes it itself on failure.
    handle = snmp_sess_add_ex(templ, transport, &FromPeerOnly, &ParseNormalised,
                              &AcceptOwnCommunity, nullptr, nullptr, nullptr,
                              nullptr);
  }
  if (handle == nullptr) {
    // The failed open leaves its error in the template, not in the
    // library's shared error state.
    char* text = nullptr;
    int lib_errno = 0, sys_errno = 0;
    snmp_error(templ, &sys_errno, &lib_errno, &text);
    std::fprintf(stderr, "%s: %s\n", label, text ? text : "unknown error");
    std::free(text);
    return nullptr;
  }
  snmp_sess_session(handle)->myvoid = handle;  // for ParseNormalised
  const int sock = snmp_sess_transport(handle)->sock;
  return std::unique_ptr<Session>(new Session(handle, sock, wake_fd));
}

int Session::OnAnswer(int op, netsnmp_session* session, int reqid,
                      netsnmp_pdu* pdu, void* magic) {
  auto* ex = static_cast<Exchange*>(magic);
  if (reqid != ex->reqid || ex->done) return 1;
  if (op == NETSNMP_CALLBACK_OP_RESEND || op == NETSNMP_CALLBACK_OP_CONNECT) {
    return 1;  // a retry went out; the request goes on
  }
  if (op == NETSNMP_CALLBACK_OP_RECEIVED_MESSAGE) {
    if (pdu->command == SNMP_MSG_REPORT) {
      ex->status = STAT_ERROR;
      session->s_snmp_errno = snmpv3_get_report_type(pdu);
    } else {
      // The library frees its own copy once this returns.
      ex->answer = snmp_clone_pdu(pdu);
      ex->status = ex->answer != nullptr ? STAT_SUCCESS : STAT_ERROR;
    }
  } else if (op == NETSNMP_CALLBACK_OP_TIMED_OUT) {
    ex->status = STAT_TIMEOUT;
    session->s_snmp_errno = SNMPERR_TIMEOUT;
  } else {
    ex->status = STAT_ERROR;
  }
  ex->done = true;
  return 1;
}

Session::Result Session::GetBulk(const oid* name, size_t name_len,
                                 long non_repeaters, long max_repetitions,
                                 std::chrono::steady_clock::time_point deadline,
                                 PduPtr* answer) {
  Exchange& ex = *exchange_;
  {
    Lock lock(g_library_mutex);
    netsnmp_pdu* pdu = snmp_pdu_create(SNMP_MSG_GETBULK);
    pdu->non_repeaters = non_repeaters;
    pdu->max_repetitions = max_repetitions;
    pdu->reqid = RandomId();
    pdu->msgid = RandomId();
    snmp_add_null_var(pdu, name, name_len);
    ex.reqid = pdu->reqid;
    ex.done = false;
    // The library takes the request when it is sent, and frees it once
    // answered or timed out; a request it could not send stays ours.
    if (snmp_sess_async_send(handle_, pdu, &Session::OnAnswer, &ex) == 0) {
      snmp_free_pdu(pdu);
      return Result::kSendError;
    }
  }
  while (!ex.done) {
    timeval library_wait{0, 0};
    int block = 1, numfds = 0;
    {
      Lock lock(g_library_mutex);
      snmp_sess_select_info2_flags(handle_, &numfds, &ex.fds, &library_wait,
                                   &block, NETSNMP_SELECT_NOALARMS);
    }
    const auto now = std::chrono::steady_clock::now();
    if (now >= deadline) return Result::kDeadline;
    std::chrono::nanoseconds wait = deadline - now;
    if (!block) {
      wait = std::min<std::chrono::nanoseconds>(
          wait, std::chrono::seconds(library_wait.tv_sec) +
                    std::chrono::microseconds(library_wait.tv_usec));
    }
    // The wait, outside the lock: other devices' requests go on meanwhile.
    pollfd fds[2] = {{sock_, POLLIN, 0}, {wake_fd_, POLLIN, 0}};
    const timespec ts = ToTimespec(wait);
    const int ready = ppoll(fds, wake_fd_ >= 0 ? 2 : 1, &ts, nullptr);
    if (ready < 0 && errno != EINTR) return Result::kSendError;
    if (wake_fd_ >= 0 && fds[1].revents != 0) return Result::kStopped;
    if (ready < 0) continue;
    Lock lock(g_library_mutex);
    if (fds[0].revents != 0) {
      NETSNMP_LARGE_FD_ZERO(&ex.fds);
      NETSNMP_LARGE_FD_SET(sock_, &ex.fds);
      snmp_sess_read2(handle_, &ex.fds);  // the hooks may drop the datagram
    } else {
      snmp_sess_timeout(handle_);  // resends, or reports the time-out
    }
  }
  if (ex.status == STAT_SUCCESS) {
    answer->reset(ex.answer);  // the clone moves to the caller
    ex.answer = nullptr;
    return Result::kAnswer;
  }
  return ex.status == STAT_TIMEOUT ? Result::kTimeout : Result::kSendError;
}

}  // namespace inverter::snmp
