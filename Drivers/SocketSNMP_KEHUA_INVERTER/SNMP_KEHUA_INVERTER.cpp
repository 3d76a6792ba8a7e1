// The inverter device: its settings, its sampling thread, a round and its walk.
#include "SNMP_KEHUA_INVERTER.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <mutex>
#include <system_error>

#include "atoi_clamped.h"
#include "inverter_tables.h"
#include "walk_answer.h"

namespace {

// An alarm's id: the prefix, the signal index with at least three digits,
// then '0' (signal 7 gives "120400640070").
std::string AlarmId(unsigned signal) {
  char digits[8];
  size_t n = 0;
  do {
    digits[n++] = static_cast<char>('0' + signal % 10);
    signal /= 10;
  } while (signal != 0);
  while (n < 3) digits[n++] = '0';
  std::string id = inverter::kAlarmIdPrefix;
  while (n != 0) id += digits[--n];
  id += '0';
  return id;
}

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

SNMP_KEHUA_INVERTER::SNMP_KEHUA_INVERTER() {
  device_type_ = "snmp_kehua_inverter";
  inverter::snmp::InitTemplate(&session_template_);
  // The defaults of the SNMP settings (SnmpSettings), until InitSetting
  // reads the device's own.
  inverter::snmp::ApplyToTemplate(snmp_, &session_template_);
  session_template_.peername = nullptr;

  std::memset(static_cast<void*>(&walk_record_), 0, sizeof walk_record_);
  for (size_t i = 0; i < alarm_names_.size(); ++i)
    alarm_names_[i] = inverter::kAlarmTable[i].name;
  stop_fd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (stop_fd_ < 0) {
    std::fprintf(stderr,
                 "SNMP_KEHUA_INVERTER: eventfd: %s: a stop of the sampling "
                 "thread waits for the walk in progress\n",
                 std::strerror(errno));
  }
}

SNMP_KEHUA_INVERTER::SampleThread::SampleThread(std::size_t stack_size,
                                                std::function<void()> body)
    : body_(std::move(body)) {
  pthread_attr_t attr;
  int rc = pthread_attr_init(&attr);
  if (rc == 0) {
    rc = pthread_attr_setstacksize(&attr, stack_size);
    if (rc == 0) rc = pthread_create(&handle_, &attr, &SampleThread::Run, this);
    pthread_attr_destroy(&attr);
  }
  if (rc != 0) {
    throw std::system_error(rc, std::generic_category(),
                            "cannot start the sampling thread");
  }
  joinable_ = true;
}

SNMP_KEHUA_INVERTER::SampleThread::~SampleThread() { join(); }

void SNMP_KEHUA_INVERTER::SampleThread::join() {
  if (!joinable_) return;
  pthread_join(handle_, nullptr);
  joinable_ = false;
}

// noexcept: an exception leaving the body ends the process, as it would
// from a std::thread.
void* SNMP_KEHUA_INVERTER::SampleThread::Run(void* self) noexcept {
  static_cast<SampleThread*>(self)->body_();
  return nullptr;
}

// Stop the sampling thread before anything of the device is torn down, so
// that no walk or round runs on a destroyed object.
SNMP_KEHUA_INVERTER::~SNMP_KEHUA_INVERTER() {
  stop_sampling();
  forget_credentials();
  if (stop_fd_ >= 0) close(stop_fd_);
}

// Keys leave the session template with the configuration that brought
// them (the library's user table holds them only during a walk).
void SNMP_KEHUA_INVERTER::forget_credentials() {
  inverter::snmp::WipeTemplateKeys(&session_template_);
  engine_id_.clear();
  engine_clock_ = inverter::snmp::EngineClock();
}

void SNMP_KEHUA_INVERTER::stop_sampling() {
  if (!sample_thread_) return;
  stop_ = true;
  // Ends the pause, or a wait of the walk at once (the walk then ends
  // without a round).
  if (stop_fd_ >= 0) eventfd_write(stop_fd_, 1);
  sample_thread_->join();
  sample_thread_.reset();
  // Cleared for the next thread: reading an eventfd sets it back to zero.
  eventfd_t count;
  if (stop_fd_ >= 0) eventfd_read(stop_fd_, &count);
  stop_ = false;
}

void SNMP_KEHUA_INVERTER::start_sampling() {
  sample_thread_ = std::make_unique<SampleThread>(
      kSampleStackSize, [this] { sample_data(nullptr); });
}

int SNMP_KEHUA_INVERTER::InitSetting(const Json::Value& settings) {
  static const Json::Value null_value(Json::nullValue);
  // Never two walkers: a running thread stops before settings change.
  stop_sampling();
  const int old_use_thread = use_thread_;
  try {
    data_.id = data_id_;
    const Json::Value& app = settings["appSetting"];
    if (app != null_value && app.type() == Json::objectValue) {
      const Json::Value& use_thread = app["use_thread"];
      if (use_thread != null_value) {
        use_thread_ = tarn::atoi_clamped(use_thread.asString());
      }
    }
    UniDataDevice::InitSetting(settings);
  } catch (...) {
    // Settings that cannot be read leave the device sampling as it was.
    use_thread_ = old_use_thread;
    if (use_thread_ != 0) start_sampling();
    throw;
  }

  // SNMP settings: a bad value stops the device walking (no fall-back that
  // would send credentials or readings where the operator did not allow).
  forget_credentials();
  std::string error;
  snmp_ok_ =
      inverter::snmp::ParseSnmpSettings(settings["appSetting"], &snmp_, &error);
  if (!snmp_ok_) {
    std::fprintf(stderr, "SNMP_KEHUA_INVERTER %u: %s\n", data_id_,
                 error.c_str());
  }
  inverter::snmp::ApplyToTemplate(snmp_, &session_template_);
  repetitions_ = snmp_.max_repetitions;

  peer_name_ = peer_address_;
  session_template_.peername = peer_name_.data();
  peer_refused_.clear();
  library_peer_ = inverter::snmp::LibraryPeerName(peer_name_, &peer_refused_);

  if (use_thread_ != 0) start_sampling();
  return 1;
}

int SNMP_KEHUA_INVERTER::process_data(int, unsigned char*, int) { return 0; }

int SNMP_KEHUA_INVERTER::RefreshStatus() {
  if (use_thread_ == 0) do_sample();
  return 0;
}

void SNMP_KEHUA_INVERTER::sample_data(void*) {
  do {
    do_sample();
  } while (!pause_until_stopped());
}

bool SNMP_KEHUA_INVERTER::pause_until_stopped() {
  using std::chrono::steady_clock;
  const auto end = steady_clock::now() + pause_;
  for (auto now = steady_clock::now(); !stop_ && now < end;
       now = steady_clock::now()) {
    // Rounded up: a pause never ends early. Without the descriptor (poll
    // then only sleeps), stop_ is looked at every 100 ms.
    auto ms = std::chrono::ceil<std::chrono::milliseconds>(end - now);
    if (stop_fd_ < 0) ms = std::min(ms, std::chrono::milliseconds(100));
    pollfd fd = {stop_fd_, POLLIN, 0};
    poll(&fd, 1, static_cast<int>(ms.count()));
  }
  return stop_;
}

void SNMP_KEHUA_INVERTER::tell(const std::string& line) {
  if (told_) return;
  told_ = true;
  unsigned long held = 0;
  if (!fault_lines_.Admit(inverter::snmp::LogBudget::Clock::now(), &held))
    return;
  if (held != 0) {
    std::fprintf(stderr,
                 "SNMP_KEHUA_INVERTER %u: %lu more lines in the last "
                 "minute not shown\n",
                 data_id_, held);
  }
  std::fprintf(stderr, "%s\n", line.c_str());
}

void SNMP_KEHUA_INVERTER::do_sample() {
  std::cout << "SNMP_KEHUA_INVERTER::do_sample" << std::endl;
  if (peer_address_.empty() || !snmp_ok_) return;
  // Named in diagnostics; unset only if the host skipped InitSetting.
  const char* peer =
      session_template_.peername != nullptr ? session_template_.peername : "";
  if (library_peer_.empty()) {  // refused before the library sees it
    std::fprintf(stderr, "snmpbulkwalk: %s: %s\n",
                 inverter::snmp::Printable(peer_name_).c_str(),
                 peer_refused_.empty() ? "InitSetting not called"
                                       : peer_refused_.c_str());
    return;
  }

  if (stop_) return;
  // An open error names the address: "snmpbulkwalk: ADDRESS: Unknown host".
  const std::string label =
      "snmpbulkwalk: " + inverter::snmp::Printable(peer_name_);
  WalkEnd end;
  const char* cut = nullptr;
  {
    const std::unique_ptr<inverter::snmp::Session> session =
        inverter::snmp::Session::Open(&session_template_, library_peer_.c_str(),
                                      label.c_str(), stop_fd_, &lookup_);
    if (!session) return;  // its line is written, or a stop came
    {
      std::lock_guard<std::mutex> lock(mutex_);
      walk_record_ = data_;  // readings persist across walks
    }
    end = run_walk(*session, peer, &cut);
  }  // closed before the round
  // What the agent last gave counts, even from a walk that lost it later.
  if (comm_status_given_)
    agent_comm_status_ = walk_record_.readings[inverter::kCommStatusReading];
  if (end == WalkEnd::kStopped) return;  // no round
  if (cut != nullptr) {
    std::fprintf(stderr, "Walk of %s cut short: %s\n", peer, cut);
  }
  mark_communication(end == WalkEnd::kLost);
  // The walk's readings become the record in one step, never mixed with a
  // cached record the host loads meanwhile.
  std::lock_guard<std::mutex> lock(mutex_);
  for (size_t i = 0; i < inverter::kReadings.size(); ++i)
    data_.readings[i] = walk_record_.readings[i];
  CompleteRound();
}

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
    last_update_ = boost::posix_time::second_clock::local_time();
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

// A walk that lost the inverter, or ended early in any other way, marks the
// record: the communication-status reading says 1, so that the record, its
// history and alarm mode 2 show the readings as stale. The next walk that keeps
// the inverter leaves what the agent gave, or puts back what it last gave.
void SNMP_KEHUA_INVERTER::mark_communication(bool lost) {
  constexpr unsigned kStatus = inverter::kCommStatusReading;
  if (lost) {
    walk_record_.readings[kStatus] = 1.0f;
    comm_marked_ = true;
  } else if (comm_marked_) {
    if (!comm_status_given_)
      walk_record_.readings[kStatus] = agent_comm_status_;
    comm_marked_ = false;
  }
}

void SNMP_KEHUA_INVERTER::RunCheckThreshold() {
  if (b_mode_ != inverter::kAlarmMode) return;
  const std::string& group = alarm_group_;
  const auto& names = alarm_names_;
  for (size_t i = 0; i < inverter::kAlarmTable.size(); ++i) {
    const inverter::AlarmRow& row = inverter::kAlarmTable[i];
    const std::string id = AlarmId(signal_index_);
    const bool state = data_.readings[row.reading] != 0.0f;
    const unsigned short signal = signal_index_;
    signal_index_ = static_cast<unsigned short>(signal_index_ + 1);
    CheckThresholdBool(inverter::kAlarmType, id, id, group, names[i], state,
                       signal);
  }
}
