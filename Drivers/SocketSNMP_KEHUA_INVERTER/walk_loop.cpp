// The device's walk of the subtree over an open session: the requests, the
// tooBig retries, and the lines of a walk that ends early.
#include <chrono>
#include <cstdio>
#include <mutex>
#include <string>

#include "SNMP_KEHUA_INVERTER.h"
#include "walk_answer.h"

namespace {

// Names of the error statuses an answer may carry (RFC 3416), by value.
constexpr const char* kErrorStatusNames[] = {"noError",
                                             "tooBig",
                                             "noSuchName",
                                             "badValue",
                                             "readOnly",
                                             "genErr",
                                             "noAccess",
                                             "wrongType",
                                             "wrongLength",
                                             "wrongEncoding",
                                             "wrongValue",
                                             "noCreation",
                                             "inconsistentValue",
                                             "resourceUnavailable",
                                             "commitFailed",
                                             "undoFailed",
                                             "authorizationError",
                                             "notWritable",
                                             "inconsistentName"};

std::string ErrorStatusName(long status) {
  constexpr long n = sizeof kErrorStatusNames / sizeof kErrorStatusNames[0];
  return status >= 0 && status < n ? kErrorStatusNames[status] : "error";
}

std::string OidText(const oid* name, size_t length) {
  std::string out;
  for (size_t i = 0; i < length; ++i) {
    if (i != 0) out += '.';
    out += std::to_string(name[i]);
  }
  return out;
}

// A time limit for a line: "60 s" when it is whole seconds, else "300 ms".
std::string DurationText(std::chrono::steady_clock::duration d) {
  using std::chrono::duration_cast;
  if (d % std::chrono::seconds(1) == d.zero())
    return std::to_string(duration_cast<std::chrono::seconds>(d).count()) +
           " s";
  return std::to_string(duration_cast<std::chrono::milliseconds>(d).count()) +
         " ms";
}

}  // namespace

SNMP_KEHUA_INVERTER::WalkEnd SNMP_KEHUA_INVERTER::run_walk(
    inverter::snmp::Session& session, const char* peer, const char** cut) {
  using Result = inverter::snmp::Session::Result;
  inverter::WalkCursor cursor;
  comm_status_given_ = false;
  told_ = false;
  const auto deadline = std::chrono::steady_clock::now() + max_walk_time_;
  const bool v3 = snmp_.version == SNMP_VERSION_3;
  // An engine ID learned by discovery (unauthenticated by design) is kept
  // only once an answer has come with it.
  bool answered = false;
  // How a request that got no answer ends the walk.
  auto lost = [&](Result result) {
    switch (result) {
      case Result::kStopped:
        return WalkEnd::kStopped;
      case Result::kDeadline:
        cut_text_ = "walk took longer than " + DurationText(max_walk_time_);
        *cut = cut_text_.c_str();
        if (v3 && !answered) engine_id_.clear();
        return WalkEnd::kLost;
      case Result::kUndecodable:  // v1/v2c: the agent is there
        tell(std::string(peer) + ": answer could not be decoded (" +
             session.UndecodableText() + ")");
        return WalkEnd::kLost;
      case Result::kTimeout:
        if (v3 && !session.UnauthenticatedReport().empty()) {
          std::fprintf(stderr,
                       "snmpbulkwalk: %s: user \"%s\": no authenticated "
                       "answer; last unauthenticated report: %s\n",
                       peer, snmp_.user.c_str(),
                       session.UnauthenticatedReport().c_str());
        } else {
          std::fprintf(stderr, "Timeout: No Response from %s\n", peer);
        }
        if (!session.RefusedMeanwhile().empty())
          tell(session.RefusedMeanwhile());
        break;
      case Result::kRefused:
      case Result::kNoReport:
        std::fprintf(stderr, "snmpbulkwalk: %s: user \"%s\": %s\n", peer,
                     snmp_.user.c_str(), session.ErrorText().c_str());
        break;
      // kSendFailed, kFailed, kDropped, kWaitFailed
      default:
        if (v3) {  // SNMPv3 errors have a reason worth one clear line
          std::fprintf(stderr, "snmpbulkwalk: %s: user \"%s\": %s\n", peer,
                       snmp_.user.c_str(), session.ErrorText().c_str());
          break;
        }
        std::printf("snmp get error %d\n", STAT_ERROR);
        std::fflush(stdout);
        break;
    }
    if (v3) {  // learn the engine afresh next time: it may have restarted
      session.ForgetEngineTime();
      engine_id_.clear();
    }
    return WalkEnd::kLost;
  };

  if (v3) {
    if (snmp_.engine_id.empty() && engine_id_.empty()) {
      const Result found = session.Discover(deadline, &engine_id_);
      if (found != Result::kAnswer) return lost(found);
    }
    session.UseEngine(snmp_.engine_id.empty() ? engine_id_ : snmp_.engine_id,
                      &engine_clock_);
  }
  // SNMPv1 has no GETBULK; GETNEXT asks the same of the agent.
  const int command =
      snmp_.version == SNMP_VERSION_1 ? SNMP_MSG_GETNEXT : SNMP_MSG_GETBULK;
  // tooBig: the same OID is asked again with half the repetitions, down to
  // one; the size that brings an answer is kept for later walks.
  const long repetitions_before = repetitions_;
  long too_big_at = 0;  // the repetitions of this walk's first tooBig
  for (unsigned requests = 1;; ++requests) {
    // The host sees the device's last activity move with every request.
    // Under the record's lock: a round that a cache load completes on
    // another thread writes it too.
    {
      const auto now = boost::posix_time::second_clock::local_time();
      std::lock_guard<std::mutex> lock(mutex_);
      last_update_ = now;
    }
    inverter::snmp::PduPtr answer;
    const Result result =
        session.Request(command, cursor.name, cursor.length,
                        snmp_.non_repeaters, repetitions_, deadline, &answer);
    if (result != Result::kAnswer) {
      if (too_big_at != 0) repetitions_ = repetitions_before;
      return lost(result);
    }
    answered = true;
    const long status = answer->errstat;
    if (status == SNMP_ERR_TOOBIG && command == SNMP_MSG_GETBULK &&
        repetitions_ > 1 && requests < kMaxRequests) {
      if (too_big_at == 0) too_big_at = repetitions_;
      repetitions_ /= 2;
      continue;
    }
    if (too_big_at != 0 && status != SNMP_ERR_TOOBIG) {
      tell(std::string(peer) + ": answer too big for " +
           std::to_string(too_big_at) + " repetitions; asking " +
           std::to_string(repetitions_));
      too_big_at = 0;
    } else if (too_big_at != 0) {
      repetitions_ = repetitions_before;  // no size brought an answer
    }
    // SNMPv1 ends a walk at the end of the agent's objects with noSuchName.
    if (status == SNMP_ERR_NOSUCHNAME && command == SNMP_MSG_GETNEXT)
      return WalkEnd::kDone;
    const inverter::Examined examined =
        inverter::ExamineAnswer(*answer, &cursor, &walk_record_);
    comm_status_given_ = comm_status_given_ || examined.comm_status_given;
    *cut = examined.cut;
    if (status != SNMP_ERR_NOERROR) {
      tell(std::string(peer) + " answered " + ErrorStatusName(status) + " (" +
           std::to_string(status) + ") at binding " +
           std::to_string(answer->errindex));
    } else if (examined.exception != nullptr) {
      tell(std::string(peer) + " answered " +
           (examined.exception->type == SNMP_NOSUCHOBJECT ? "noSuchObject"
                                                          : "noSuchInstance") +
           " at " +
           OidText(examined.exception->name, examined.exception->name_length));
    }
    if (examined.walk_on && requests >= kMaxRequests) {
      cut_text_ = "more than " + std::to_string(kMaxRequests) + " requests";
      *cut = cut_text_.c_str();
      return WalkEnd::kLost;
    }
    if (!examined.walk_on)
      return examined.early ? WalkEnd::kLost : WalkEnd::kDone;
  }
}
