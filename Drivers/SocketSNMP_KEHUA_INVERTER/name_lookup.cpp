// Host-name lookups of inverter addresses, each on a thread of its own.
#include "name_lookup.h"

#include <arpa/inet.h>
#include <dlfcn.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <strings.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>
#include <utility>

#include "device_limits.h"

namespace inverter::snmp {

// One lookup, shared by the waiting walk and the helper thread; whichever
// lets go last frees it.
struct Lookup {
  Lookup(std::string name, int address_family)
      : host(std::move(name)), family(address_family) {}
  ~Lookup() {
    if (done >= 0) close(done);
  }
  Lookup(const Lookup&) = delete;
  Lookup& operator=(const Lookup&) = delete;

  const std::string host;
  const int family;
  bool started = false;  // its helper thread runs or ran
  // Written once, when the answer is in.
  const int done = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  std::mutex mutex;  // guards the answer: getaddrinfo's status, the address
  bool answered = false;
  int status = 0;
  std::string numeric;
};

struct LookupAccess {
  static std::mutex& Mutex(LookupSlot& slot) { return slot.mutex_; }
  static std::shared_ptr<Lookup>& Pending(LookupSlot& slot) {
    return slot.pending_;
  }
};

LookupSlot::LookupSlot() = default;
LookupSlot::~LookupSlot() = default;

namespace {

// The resolver ran on a sampling thread's stack before; its own thread gets
// as much.
constexpr size_t kLookupStackSize = kThreadStackSize;

// Where the host lies in the text after the domain, read as the library's
// endpoint parser reads it: "[HOST]...", "HOST@IFACE...", "HOST:PORT" (one
// ':' only, else the whole text is an IPv6 address), "HOST"; "PORT",
// "@IFACE..." and ":PORT" have none.
struct HostSpan {
  size_t begin = 0;
  size_t length = 0;
  bool bracketed = false;
};

HostSpan FindHost(const std::string& rest) {
  HostSpan span;
  if (rest.find_first_not_of("0123456789") == std::string::npos) return span;
  if (rest[0] == '[') {
    const size_t close = rest.find(']');
    if (close != std::string::npos) {
      span.begin = 1;
      span.length = close - 1;
      span.bracketed = true;
    }
    return span;
  }
  if (rest[0] == '@' || (rest[0] == ':' && (rest.size() < 2 || rest[1] != ':')))
    return span;
  size_t end = rest.find('@');
  if (end == std::string::npos) {
    end = rest.rfind(':');
    if (end != std::string::npos && rest.find(':') < end)
      end = std::string::npos;
  }
  span.length = end == std::string::npos ? rest.size() : end;
  return span;
}

// A helper thread given up on may still be resolving when the host deletes
// its devices and unloads the plug-in: its code must stay mapped under it.
// The first one given up on keeps this object loaded for the life of the
// process, as the library is kept.
void KeepCodeLoaded() {
  static std::once_flag once;
  std::call_once(once, [] {
    static const char anchor = 0;
    Dl_info info;
    if (dladdr(&anchor, &info) != 0 && info.dli_fname != nullptr) {
      dlopen(info.dli_fname, RTLD_NOW | RTLD_NOLOAD | RTLD_NODELETE);
    }
  });
}

// Helper threads that have not answered yet, in the whole process.
std::atomic<std::size_t> g_in_flight{0};

// Body of the helper thread: asks as the library would (family of the
// domain, datagram sockets) and keeps the first address.
void* Resolve(void* arg) noexcept {
  const std::unique_ptr<std::shared_ptr<Lookup>> own(
      static_cast<std::shared_ptr<Lookup>*>(arg));
  Lookup& lookup = **own;
  addrinfo hints{};
  hints.ai_family = lookup.family;
  hints.ai_socktype = SOCK_DGRAM;
  addrinfo* found = nullptr;
  int status = getaddrinfo(lookup.host.c_str(), nullptr, &hints, &found);
  char text[INET6_ADDRSTRLEN] = "";
  if (status == 0) {
    const sockaddr* address = found->ai_addr;
    const void* bytes = nullptr;
    if (address != nullptr && address->sa_family == AF_INET &&
        lookup.family == AF_INET) {
      bytes = &reinterpret_cast<const sockaddr_in*>(address)->sin_addr;
    } else if (address != nullptr && address->sa_family == AF_INET6 &&
               lookup.family == AF_INET6) {
      bytes = &reinterpret_cast<const sockaddr_in6*>(address)->sin6_addr;
    }
    if (bytes == nullptr ||
        inet_ntop(lookup.family, bytes, text, sizeof text) == nullptr) {
      status = EAI_FAMILY;
    }
    freeaddrinfo(found);
  }
  {
    std::lock_guard<std::mutex> lock(lookup.mutex);
    lookup.answered = true;
    lookup.status = status;
    lookup.numeric = text;
  }
  eventfd_write(lookup.done, 1);
  g_in_flight.fetch_sub(1);
  return nullptr;
}

// The helper thread: joined once it has answered, otherwise detached when
// this goes (it ends by itself when the resolver answers).
class Helper {
 public:
  explicit Helper(const std::shared_ptr<Lookup>& lookup) {
    // The thread's own reference, handed over when it starts.
    auto arg = std::make_unique<std::shared_ptr<Lookup>>(lookup);
    pthread_attr_t attr;
    error_ = pthread_attr_init(&attr);
    if (error_ == 0) {
      error_ = pthread_attr_setstacksize(&attr, kLookupStackSize);
      if (error_ == 0) {
        error_ = pthread_create(&thread_, &attr, &Resolve, arg.get());
      }
      pthread_attr_destroy(&attr);
    }
    if (error_ == 0) {
      static_cast<void>(arg.release());  // the thread has it
    } else {
      g_in_flight.fetch_sub(1);  // counted by the caller
    }
    running_ = error_ == 0;
  }
  ~Helper() {
    if (!running_) return;
    KeepCodeLoaded();
    pthread_detach(thread_);
  }
  Helper(const Helper&) = delete;
  Helper& operator=(const Helper&) = delete;

  int error() const { return error_; }
  void Join() {
    if (running_) pthread_join(thread_, nullptr);
    running_ = false;
  }

 private:
  pthread_t thread_{};
  int error_ = 0;
  bool running_ = false;
};

enum class WaitEnd { kAnswered, kTimedOut, kStopped, kFailed };

WaitEnd Poll(int done, int wake_fd,
             std::chrono::steady_clock::time_point deadline) {
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() < 0) left = std::chrono::nanoseconds(0);
    const timespec ts{static_cast<time_t>(left.count() / 1000000000),
                      static_cast<long>(left.count() % 1000000000)};
    pollfd fds[2] = {{done, POLLIN, 0}, {wake_fd, POLLIN, 0}};
    const int ready = ppoll(fds, wake_fd >= 0 ? 2 : 1, &ts, nullptr);
    if (wake_fd >= 0 && fds[1].revents != 0) return WaitEnd::kStopped;
    if (ready > 0) return WaitEnd::kAnswered;
    if (ready == 0) return WaitEnd::kTimedOut;
    if (errno != EINTR) return WaitEnd::kFailed;
  }
}

// Starts `lookup` on a helper thread and waits for its answer, at most
// `limit`; kReady once answered, else *why says why (empty for a stop).
// Past kMaxLookupsInFlight in the process, none is started.
NumericPeer::End Await(const std::shared_ptr<Lookup>& lookup,
                       std::chrono::milliseconds limit, int wake_fd,
                       std::string* why) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  if (lookup->done < 0) {
    *why = std::string("cannot look the name up: ") + std::strerror(errno);
    return NumericPeer::End::kFailed;
  }
  if (g_in_flight.fetch_add(1) >= kMaxLookupsInFlight) {
    g_in_flight.fetch_sub(1);
    *why = "cannot look the name up: " + std::to_string(kMaxLookupsInFlight) +
           " lookups already pending in the process";
    return NumericPeer::End::kFailed;
  }
  Helper helper(lookup);
  if (helper.error() != 0) {
    *why = std::string("cannot look the name up: ") +
           std::strerror(helper.error());
    return NumericPeer::End::kFailed;
  }
  lookup->started = true;
  switch (Poll(lookup->done, wake_fd, deadline)) {
    case WaitEnd::kAnswered:
      helper.Join();
      return NumericPeer::End::kReady;
    case WaitEnd::kTimedOut:
      *why = "name lookup timed out after " + std::to_string(limit.count()) +
             " ms";
      return NumericPeer::End::kFailed;
    case WaitEnd::kStopped:
      return NumericPeer::End::kStopped;
    case WaitEnd::kFailed:
      break;
  }
  *why =
      std::string("cannot wait for the name lookup: ") + std::strerror(errno);
  return NumericPeer::End::kFailed;
}

}  // namespace

NumericPeer ToNumericPeer(const std::string& library_peer,
                          std::chrono::milliseconds limit, int wake_fd,
                          LookupSlot* slot) {
  NumericPeer out;
  out.end = NumericPeer::End::kReady;
  out.peer = library_peer;
  const size_t colon = library_peer.find(':');
  if (colon == std::string::npos) return out;
  const std::string domain = library_peer.substr(0, colon);
  const int family = strcasecmp(domain.c_str(), "udp") == 0    ? AF_INET
                     : strcasecmp(domain.c_str(), "udp6") == 0 ? AF_INET6
                                                               : AF_UNSPEC;
  const std::string rest = library_peer.substr(colon + 1);
  const HostSpan span = FindHost(rest);
  std::string host = rest.substr(span.begin, span.length);
  std::string zone;  // an IPv6 "%zone", which the library reads itself
  if (family == AF_INET6 && host.find('%') != std::string::npos) {
    zone = host.substr(host.find('%'));
    host.erase(host.find('%'));
  }
  unsigned char binary[sizeof(in6_addr)];
  if (family == AF_UNSPEC || host.empty() ||
      inet_pton(family, host.c_str(), binary) == 1) {
    return out;  // nothing to look up
  }

  out.end = NumericPeer::End::kFailed;
  std::shared_ptr<Lookup> lookup;
  if (slot != nullptr) {
    std::lock_guard<std::mutex> hold(LookupAccess::Mutex(*slot));
    std::shared_ptr<Lookup>& pending = LookupAccess::Pending(*slot);
    if (pending != nullptr) {
      std::lock_guard<std::mutex> answer(pending->mutex);
      if (!pending->answered) {
        out.why = "name lookup of " + pending->host + " still pending";
        return out;
      }
      // Answered after its walk gave up: the answer serves this walk if it
      // is for the same name.
      if (pending->host == host && pending->family == family) lookup = pending;
    }
    pending.reset();
  }
  if (lookup == nullptr) {
    lookup = std::make_shared<Lookup>(host, family);
    const NumericPeer::End end = Await(lookup, limit, wake_fd, &out.why);
    if (end != NumericPeer::End::kReady) {
      out.end = end;
      if (slot != nullptr && lookup->started) {
        std::lock_guard<std::mutex> hold(LookupAccess::Mutex(*slot));
        LookupAccess::Pending(*slot) = lookup;  // for the next walk
      }
      return out;
    }
  }
  std::lock_guard<std::mutex> lock(lookup->mutex);
  if (lookup->status != 0) {
    // The library's words for a name it could not resolve.
    out.why = "Unknown host";
    if (lookup->status != EAI_NONAME && lookup->status != EAI_NODATA) {
      out.why += std::string(" (") + gai_strerror(lookup->status) + ")";
    }
    return out;
  }
  // An IPv6 address is always bracketed: its ':' would read as a port.
  const bool bracket = family == AF_INET6 && !span.bracketed;
  out.end = NumericPeer::End::kReady;
  out.peer = domain + ":" + rest.substr(0, span.begin) + (bracket ? "[" : "") +
             lookup->numeric + zone + (bracket ? "]" : "") +
             rest.substr(span.begin + span.length);
  return out;
}

}  // namespace inverter::snmp
