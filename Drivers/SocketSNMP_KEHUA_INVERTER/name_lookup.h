#pragma once
// Host names in inverter addresses, looked up before the library sees them.
//
// Net-SNMP resolves a host name itself when it opens a transport, and it is
// opened under the process-wide library lock: a resolver that does not
// answer (glibc: 5 s, two attempts) would hold every other device's walk and
// any stop for as long. So a name is looked up here, on a thread of its own,
// without the lock, bounded in time and given up at once on a stop; the
// library then gets the numeric address and resolves nothing.

#include <chrono>
#include <cstddef>
#include <memory>
#include <mutex>
#include <string>

namespace inverter::snmp {

// Lookups in flight in the process, past which a new one is refused: each
// holds a thread (kThreadStackSize of stack, device_limits.h) and a descriptor
// for as long as the resolver keeps it.
constexpr std::size_t kMaxLookupsInFlight = 32;

struct Lookup;

// The one lookup a device may have in flight, for the device's life. A walk
// that finds it still unanswered starts none; an answer that came after its
// walk gave up is used by the next walk.
class LookupSlot {
 public:
  LookupSlot();
  ~LookupSlot();
  LookupSlot(const LookupSlot&) = delete;
  LookupSlot& operator=(const LookupSlot&) = delete;

 private:
  friend struct LookupAccess;
  std::mutex mutex_;
  std::shared_ptr<Lookup> pending_;  // given up on by its walk
};

struct NumericPeer {
  enum class End {
    kReady,    // `peer` holds the name for the library
    kFailed,   // `why` says why, for one line naming the address
    kStopped,  // the wake descriptor became readable first
  };
  End end = End::kFailed;
  std::string peer;
  std::string why;
};

// `library_peer` (udp:REST or udp6:REST, from LibraryPeerName) with its
// host written as a numeric address: udp: takes the host's first IPv4
// address, udp6: its first IPv6 address, as the library would pick them
// (`udp:192.0.2.7:16100`, `udp6:[2001:db8::7]:161`). A numeric host, or
// none, is kept as it is and nothing is looked up. A name is looked up on a
// helper thread; the wait ends after `limit` or as soon as `wake_fd` (an
// eventfd, -1 for none) becomes readable. A lookup given up on goes on by
// itself; with a `slot`, it is kept there for the next walk (see
// LookupSlot), else its answer is dropped.
NumericPeer ToNumericPeer(const std::string& library_peer,
                          std::chrono::milliseconds limit, int wake_fd,
                          LookupSlot* slot = nullptr);

}  // namespace inverter::snmp
