// The request loop of a session: open, send, wait outside the library lock,
// read or time out under it.
#include "snmp_library_session.h"

#include <poll.h>
#include <sys/random.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <mutex>

#include "name_lookup.h"
#include "peer_address.h"
#include "snmp_library_exchange.h"
#include "snmp_library_filters.h"

namespace inverter::snmp {
namespace {

// A request id the kernel's random source picks, 1..2^31-1: an answer
// cannot be forged by guessing from the ids of other requests. Drawn from
// a buffer that one getrandom call fills for 256 ids (a system call per
// request would cost a walk several per cent). Called under the lock.
long RandomId() {
  static unsigned int pool[256];
  static size_t left = 0;
  if (left == 0) {
    size_t got = 0;
    while (got < sizeof pool) {
      const ssize_t n =
          getrandom(reinterpret_cast<char*>(pool) + got, sizeof pool - got, 0);
      if (n > 0) {
        got += static_cast<size_t>(n);
      } else if (errno != EINTR) {
        for (unsigned int& v : pool) v = static_cast<unsigned int>(std::rand());
        break;  // no random source
      }
    }
    left = sizeof pool / sizeof pool[0];
  }
  const unsigned int value = pool[--left] & 0x7fffffffu;
  pool[left] = 0;  // a used id does not stay in memory
  return value != 0 ? static_cast<long>(value) : 1;
}

timespec ToTimespec(std::chrono::nanoseconds d) {
  if (d.count() < 0) d = std::chrono::nanoseconds(0);
  const auto s = std::chrono::duration_cast<std::chrono::seconds>(d);
  return timespec{static_cast<time_t>(s.count()),
                  static_cast<long>((d - s).count())};
}

}  // namespace

std::string LibraryPeerName(const std::string& address, std::string* why) {
  PeerAddress parsed;
  if (!ParsePeerAddress(address, &parsed, why)) return {};
  return parsed.library;
}

Session::Session(void* handle, int sock, int wake_fd)
    : handle_(handle),
      sock_(sock),
      wake_fd_(wake_fd),
      exchange_(std::make_unique<Exchange>()) {
  netsnmp_large_fd_set_init(&exchange_->fds, FD_SETSIZE);
  // Where the parse hooks find the bound (made by Open, under its lock).
  snmp_sess_session(handle_)->callback_magic = &exchange_->bound;
}

Session::~Session() {
  LibraryCall call;
  if (own_user_ != nullptr) FreeUser(own_user_);  // in no table between calls
  // The library frees its copy of the session without wiping the keys.
  netsnmp_session* session = snmp_sess_session(handle_);
  explicit_bzero(session->securityAuthKey, sizeof session->securityAuthKey);
  explicit_bzero(session->securityPrivKey, sizeof session->securityPrivKey);
  // Closing frees a request still in flight (a stopped or cut walk).
  snmp_sess_close(handle_);
  netsnmp_large_fd_set_cleanup(&exchange_->fds);
  if (exchange_->answer != nullptr) snmp_free_pdu(exchange_->answer);
}

std::unique_ptr<Session> Session::Open(netsnmp_session* templ,
                                       const char* library_peer,
                                       const char* label, int wake_fd,
                                       LookupSlot* lookups) {
  // A host name is looked up first, outside the library lock (the library
  // would resolve it under the lock, holding every other device's walk),
  // bounded by the request time-out and given up on a stop.
  const NumericPeer numeric =
      ToNumericPeer(library_peer,
                    std::chrono::milliseconds(
                        templ->timeout > 0 ? templ->timeout / 1000 : 1000),
                    wake_fd, lookups);
  if (numeric.end != NumericPeer::End::kReady) {
    if (numeric.end == NumericPeer::End::kFailed) {
      std::fprintf(stderr, "%s: %s\n", label, numeric.why.c_str());
    }
    return nullptr;
  }
  EnsureLibrary();
  LibraryCall call;
  templ->s_snmp_errno = 0;
  templ->s_errno = 0;
  void* handle = nullptr;
  netsnmp_transport* transport = netsnmp_tdomain_transport_full(
      "snmp", numeric.peer.c_str(), templ->local_port, "udp,udp6", nullptr);
  if (transport == nullptr) {
    templ->s_snmp_errno = SNMPERR_BAD_ADDRESS;
    templ->s_errno = errno;
  } else {
    // Takes the transport, and closes it itself on failure.
    handle = snmp_sess_add_ex(
        templ, transport, &FromPeerOnly, &ParseNormalisedWithinBound,
        &AcceptOwnCommunityWithinBound, nullptr, nullptr, nullptr, nullptr);
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
  netsnmp_session* session = snmp_sess_session(handle);
  session->myvoid = handle;  // for ParseNormalisedWithinBound
  // The library would otherwise probe for the engine ID inside the first
  // send, waiting under the lock; Discover does it through the wait loop.
  session->flags |= SNMP_FLAGS_DONT_PROBE;
  const int sock = snmp_sess_transport(handle)->sock;
  return std::unique_ptr<Session>(new Session(handle, sock, wake_fd));
}

bool Session::Send(netsnmp_pdu* pdu) {
  Exchange& ex = *exchange_;
  pdu->reqid = RandomId();
  // v1/v2c messages carry no message id; SNMPv3 matches answers by it.
  if (snmp_sess_session(handle_)->version == SNMP_VERSION_3) {
    pdu->msgid = RandomId();
  }
  ex.reqid = pdu->reqid;
  // A probe's answer is a Report, whatever it carries.
  ex.bound = AnswerBound();
  ex.bound.reqid = pdu->reqid;
  ex.bound.most = ex.probe ? SIZE_MAX : MostBindings(*pdu);
  ex.done = false;
  ex.report = false;
  ex.unauthenticated_report = 0;
  ex.engine.clear();
  // The library takes the request when it is sent, and frees it once
  // answered or timed out; a request it could not send stays ours.
  if (snmp_sess_async_send(handle_, pdu, &Session::OnAnswer, &ex) == 0) {
    snmp_free_pdu(pdu);
    return false;
  }
  return true;
}

Session::Result Session::Wait(std::chrono::steady_clock::time_point deadline) {
  Exchange& ex = *exchange_;
  while (!ex.done && !ex.bound.undecodable) {
    timeval library_wait{0, 0};
    int block = 1, numfds = 0;
    {
      LibraryCall call;
      snmp_sess_select_info2_flags(handle_, &numfds, &ex.fds, &library_wait,
                                   &block, NETSNMP_SELECT_NOALARMS);
    }
    // No time-out pending means the library has dropped the request.
    if (block) return Result::kDropped;
    const auto now = std::chrono::steady_clock::now();
    if (now >= deadline) return Result::kDeadline;
    const std::chrono::nanoseconds wait = std::min<std::chrono::nanoseconds>(
        deadline - now, std::chrono::seconds(library_wait.tv_sec) +
                            std::chrono::microseconds(library_wait.tv_usec));
    // The wait, outside the lock: other devices' requests go on meanwhile.
    pollfd fds[2] = {{sock_, POLLIN, 0}, {wake_fd_, POLLIN, 0}};
    const timespec ts = ToTimespec(wait);
    const int ready = ppoll(fds, wake_fd_ >= 0 ? 2 : 1, &ts, nullptr);
    if (ready < 0 && errno != EINTR) return Result::kWaitFailed;
    if (wake_fd_ >= 0 && fds[1].revents != 0) return Result::kStopped;
    if (ready < 0) continue;
    LibraryCall call(own_user_, clock_);  // an answer checked, a resend built
    if (fds[0].revents != 0) {
      NETSNMP_LARGE_FD_ZERO(&ex.fds);
      NETSNMP_LARGE_FD_SET(sock_, &ex.fds);
      snmp_sess_read2(handle_, &ex.fds);  // the hooks may drop the datagram
    } else {
      snmp_sess_timeout(handle_);  // resends, or reports the time-out
    }
  }
  // Ends without waiting for the time-out; the request stays with the
  // library until the session closes.
  if (ex.bound.undecodable) return Result::kUndecodable;
  switch (ex.status) {
    case STAT_SUCCESS:
      return Result::kAnswer;
    case STAT_TIMEOUT:
      return Result::kTimeout;
    default:
      return ex.report ? Result::kRefused : Result::kFailed;
  }
}

Session::Result Session::Request(int command, const oid* name, size_t name_len,
                                 long non_repeaters, long max_repetitions,
                                 std::chrono::steady_clock::time_point deadline,
                                 PduPtr* answer) {
  {
    LibraryCall call(own_user_, clock_);
    snmp_sess_session(handle_)->s_snmp_errno = 0;
    netsnmp_pdu* pdu = snmp_pdu_create(command);
    if (command == SNMP_MSG_GETBULK) {
      pdu->non_repeaters = non_repeaters;
      pdu->max_repetitions = max_repetitions;
    }
    snmp_add_null_var(pdu, name, name_len);
    exchange_->probe = false;
    if (!Send(pdu)) return Result::kSendFailed;
  }
  const Result result = Wait(deadline);
  if (result == Result::kAnswer) {
    answer->reset(exchange_->answer);  // the clone moves to the caller
    exchange_->answer = nullptr;
  }
  return result;
}

std::string Session::UndecodableText() const {
  return exchange_->bound.undecodable_what;
}

std::string Session::RefusedMeanwhile() const {
  const AnswerBound& b = exchange_->bound;
  const auto answers = [](unsigned n) {
    return std::to_string(n) + (n == 1 ? " answer" : " answers");
  };
  std::string out;
  const auto add = [&out](const std::string& part) {
    out += (out.empty() ? "" : "; ") + part;
  };
  if (b.other_address != 0) {
    add(answers(b.other_address) + " from " + b.other_sender +
        " refused: not the inverter's address");
  }
  if (b.other_id != 0)
    add(answers(b.other_id) + " refused: another request id");
  if (b.other_community != 0) {
    add(answers(b.other_community) + " refused: another community");
  }
  return out;
}

std::string Session::ErrorText() {
  LibraryCall call;
  int sys_errno = 0, lib_errno = 0;
  char* text = nullptr;
  snmp_sess_error(handle_, &sys_errno, &lib_errno, &text);
  std::string out = text != nullptr ? text : "unknown error";
  std::free(text);
  return out;
}

}  // namespace inverter::snmp
