#include "SNMP_KEHUA_INVERTER.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <system_error>

#include "atoi_clamped.h"
#include "inverter_tables.h"

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

bool IsException(u_char type) {
  return type == SNMP_NOSUCHOBJECT || type == SNMP_NOSUCHINSTANCE ||
         type == SNMP_ENDOFMIBVIEW;
}

}  // namespace

SNMP_KEHUA_INVERTER::SNMP_KEHUA_INVERTER() {
  device_type_ = "snmp_kehua_inverter";
  inverter::snmp::InitTemplate(&session_);
  // v2c, community "varnel", 10 s time-out, one retry: the defaults of
  // the SNMP settings, until InitSetting reads the device's own.
  inverter::snmp::ApplyToTemplate(snmp_, &session_);
  session_.peername = nullptr;

  std::fill(std::begin(root_oid_), std::end(root_oid_), 0);
  std::copy(inverter::kBaseOid.begin(), inverter::kBaseOid.end(), root_oid_);
  root_len_ = inverter::kBaseOid.size();
  std::fill(std::begin(name_oid_), std::end(name_oid_), 0);
  std::memset(static_cast<void*>(&walk_), 0, sizeof walk_);
  for (size_t i = 0; i < alarm_names_.size(); ++i)
    alarm_names_[i] = inverter::kAlarmTable[i].name;
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
}

// Keys leave the session template with the configuration that brought
// them (the library's user table holds them only during a walk).
void SNMP_KEHUA_INVERTER::forget_credentials() {
  inverter::snmp::WipeTemplateKeys(&session_);
  engine_id_.clear();
}

void SNMP_KEHUA_INVERTER::stop_sampling() {
  if (!sample_thread_) return;
  {
    std::lock_guard<std::mutex> lock(stop_mutex_);
    stop_ = true;
    // Ends a wait for an answer at once; the walk then ends without a round.
    if (wake_fd_ >= 0) eventfd_write(wake_fd_, 1);
  }
  stop_cv_.notify_all();
  sample_thread_->join();
  sample_thread_.reset();
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
  inverter::snmp::ApplyToTemplate(snmp_, &session_);

  peer_name_ = peer_address_;
  session_.peername = peer_name_.data();
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
  for (;;) {
    do_sample();
    std::unique_lock<std::mutex> lock(stop_mutex_);
    if (stop_cv_.wait_for(lock, pause_, [this] { return stop_; })) return;
  }
}

namespace {

// An eventfd that ends a walk's waits when written; closed when dropped.
struct WakeFd {
  int fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  ~WakeFd() {
    if (fd >= 0) close(fd);
  }
};

}  // namespace

void SNMP_KEHUA_INVERTER::do_sample() {
  std::cout << "SNMP_KEHUA_INVERTER::do_sample" << std::endl;
  if (peer_address_.empty() || !snmp_ok_) return;
  // Named in diagnostics; unset only if the host skipped InitSetting.
  const char* peer = session_.peername != nullptr ? session_.peername : "";
  if (library_peer_.empty()) {  // refused before the library sees it
    std::fprintf(stderr, "snmpbulkwalk: %s: %s\n",
                 inverter::snmp::Printable(peer_name_).c_str(),
                 peer_refused_.empty() ? "InitSetting not called"
                                       : peer_refused_.c_str());
    return;
  }

  WakeFd wake;
  {
    std::lock_guard<std::mutex> lock(stop_mutex_);
    if (stop_) return;
    wake_fd_ = wake.fd;
  }
  // An open error names the address: "snmpbulkwalk: ADDRESS: Unknown host".
  const std::string label =
      "snmpbulkwalk: " + inverter::snmp::Printable(peer_name_);
  ss_ = inverter::snmp::Session::Open(&session_, library_peer_.c_str(),
                                      label.c_str(), wake.fd);
  WalkEnd end = WalkEnd::kStopped;
  const char* cut = nullptr;
  if (ss_) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      walk_ = data_;  // readings persist across walks
    }
    end = walk(peer, &cut);
    ss_.reset();
  }
  {
    std::lock_guard<std::mutex> lock(stop_mutex_);
    wake_fd_ = -1;
  }
  if (end == WalkEnd::kStopped) return;  // not opened, or stopped mid-walk
  if (cut != nullptr) {
    std::fprintf(stderr, "Walk of %s cut short: %s\n", peer, cut);
  }
  mark_communication(end == WalkEnd::kLost);
  // The walk's readings become the record in one step, never mixed with a
  // cached record the host loads meanwhile.
  constexpr size_t kReadings = offsetof(SNMP_KEHUA_INVERTER_Data_t, readings);
  std::lock_guard<std::mutex> lock(mutex_);
  std::memcpy(reinterpret_cast<unsigned char*>(&data_) + kReadings,
              reinterpret_cast<const unsigned char*>(&walk_) + kReadings,
              sizeof(walk_.readings));
  CompleteRound();
}

SNMP_KEHUA_INVERTER::WalkEnd SNMP_KEHUA_INVERTER::walk(const char* peer,
                                                       const char** cut) {
  using Result = inverter::snmp::Session::Result;
  std::copy(root_oid_, root_oid_ + root_len_, name_oid_);
  name_len_ = root_len_;
  comm_status_given_ = false;
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
        *cut = "walk took longer than 60 s";
        if (v3 && !answered) engine_id_.clear();
        return WalkEnd::kDone;
      case Result::kOversized:  // refused before anything was read from it
        cut_text_ = "answer with " + std::to_string(ss_->RefusedBindings()) +
                    " bindings, at most " +
                    std::to_string(ss_->AllowedBindings()) + " asked for";
        *cut = cut_text_.c_str();
        return WalkEnd::kDone;
      case Result::kTimeout:
        if (v3 && !ss_->UnauthenticatedReport().empty()) {
          std::fprintf(stderr,
                       "snmpbulkwalk: %s: user \"%s\": no authenticated "
                       "answer; last unauthenticated report: %s\n",
                       peer, snmp_.user.c_str(),
                       ss_->UnauthenticatedReport().c_str());
          break;
        }
        std::fprintf(stderr, "Timeout: No Response from %s\n", peer);
        break;
      case Result::kRefused:
        std::fprintf(stderr, "snmpbulkwalk: %s: user \"%s\": %s\n", peer,
                     snmp_.user.c_str(), ss_->ErrorText().c_str());
        break;
      case Result::kSendError:
        if (v3) {  // SNMPv3 send errors have a reason worth one clear line
          std::fprintf(stderr, "snmpbulkwalk: %s: user \"%s\": %s\n", peer,
                       snmp_.user.c_str(), ss_->ErrorText().c_str());
          break;
        }
        [[fallthrough]];
      default:
        std::printf("snmp get error %d\n", STAT_ERROR);
        std::fflush(stdout);
        break;
    }
    if (v3) {  // learn the engine afresh next time: it may have restarted
      ss_->ForgetEngineTime();
      engine_id_.clear();
    }
    return WalkEnd::kLost;
  };

  if (v3) {
    if (snmp_.engine_id.empty() && engine_id_.empty()) {
      const Result found = ss_->Discover(deadline, &engine_id_);
      if (found != Result::kAnswer) return lost(found);
    }
    ss_->UseEngine(snmp_.engine_id.empty() ? engine_id_ : snmp_.engine_id);
  }
  // SNMPv1 has no GETBULK; GETNEXT asks the same of the agent.
  const int command =
      snmp_.version == SNMP_VERSION_1 ? SNMP_MSG_GETNEXT : SNMP_MSG_GETBULK;
  for (unsigned requests = 1;; ++requests) {
    // The host sees the device's last activity move with every request.
    last_update_ = boost::posix_time::second_clock::local_time();
    const Result result =
        ss_->Request(command, name_oid_, name_len_, snmp_.non_repeaters,
                     snmp_.max_repetitions, deadline, &response_);
    if (result != Result::kAnswer) return lost(result);
    answered = true;
    bool running = response_->errstat == SNMP_ERR_NOERROR;
    if (running) {
      running = process_response(cut);
      if (running && requests >= kMaxRequests) {
        *cut = "more than 1000 requests";
        running = false;
      }
    }
    response_.reset();
    if (!running) return WalkEnd::kDone;
  }
}

// A walk that lost the inverter marks the record: the communication-status
// reading says 1, so that the record, its history and alarm mode 2 show the
// readings as stale. The next walk that keeps the inverter leaves what the
// agent gave, or puts back what it last gave.
void SNMP_KEHUA_INVERTER::mark_communication(bool lost) {
  unsigned char* status =
      reinterpret_cast<unsigned char*>(&walk_) +
      inverter::SlotForKey(inverter::kCommStatusKey)->offset;
  if (lost) {
    const float one = 1.0f;
    std::memcpy(status, &one, sizeof one);
    comm_marked_ = true;
  } else if (comm_marked_) {
    if (!comm_status_given_) {
      std::memcpy(status, &agent_comm_status_, sizeof agent_comm_status_);
    }
    comm_marked_ = false;
  }
}

bool SNMP_KEHUA_INVERTER::process_response(const char** cut) {
  if (response_->variables == nullptr) {
    *cut = "answer without bindings";
    return false;
  }
  bool running = true;
  // Each value inside the subtree must lie past the OID asked for and past
  // the binding before it; an agent that repeats or goes back would
  // otherwise be asked the same question for ever.
  oid last[MAX_OID_LEN];
  size_t last_len = name_len_;
  std::copy(name_oid_, name_oid_ + name_len_, last);

  for (vars_ = response_->variables; vars_ != nullptr;
       vars_ = vars_->next_variable) {
    const netsnmp_variable_list& var = *vars_;
    const bool in_subtree =
        var.name_length >= root_len_ &&
        std::equal(root_oid_, root_oid_ + root_len_, var.name);
    if (!in_subtree) {
      running = false;
      continue;
    }
    store_binding(var);
    if (IsException(var.type)) {
      running = false;
      continue;
    }
    if (snmp_oid_compare(var.name, var.name_length, last, last_len) <= 0) {
      *cut = "OID not increasing";
      running = false;
    }
    last_len = std::min<size_t>(var.name_length, MAX_OID_LEN);
    std::copy(var.name, var.name + last_len, last);
    if (var.next_variable == nullptr) {
      std::copy(last, last + last_len, name_oid_);
      name_len_ = last_len;
    }
  }
  vars_ = nullptr;
  return running;
}

void SNMP_KEHUA_INVERTER::store_binding(const netsnmp_variable_list& var) {
  if (var.name_length <= root_len_) return;
  const inverter::ReadingSlot* slot = inverter::SlotForKey(var.name[root_len_]);
  if (slot == nullptr) return;
  float value;
  switch (var.type) {
    case ASN_INTEGER:
      if (var.val.integer == nullptr || var.val_len != sizeof(long)) return;
      value = static_cast<float>(*var.val.integer);
      break;
    case ASN_FLOAT:         // a plain float, as it comes
    case ASN_OPAQUE_FLOAT:  // the Opaque-wrapped float agents send
      if (var.val.floatVal == nullptr || var.val_len != sizeof(float)) return;
      std::memcpy(&value, var.val.floatVal, sizeof value);
      break;
    default:  // other types leave the reading unchanged
      return;
  }
  // Byte copy: the packed record gives its floats no alignment.
  std::memcpy(reinterpret_cast<unsigned char*>(&walk_) + slot->offset, &value,
              sizeof value);
  if (slot->key == inverter::kCommStatusKey) {
    agent_comm_status_ = value;
    comm_status_given_ = true;
  }
}

void SNMP_KEHUA_INVERTER::RunCheckThreshold() {
  if (b_mode_ != inverter::kAlarmMode) return;
  const std::string& group = alarm_group_;
  const auto& names = alarm_names_;
  for (size_t i = 0; i < inverter::kAlarmTable.size(); ++i) {
    const inverter::AlarmRow& row = inverter::kAlarmTable[i];
    const std::string id = AlarmId(signal_index_);
    float reading;
    std::memcpy(&reading,
                reinterpret_cast<const unsigned char*>(&data_) +
                    inverter::kReadingMap[row.reading].offset,
                sizeof reading);
    const bool state = reading != 0.0f;
    const unsigned short signal = signal_index_;
    signal_index_ = static_cast<unsigned short>(signal_index_ + 1);
    CheckThresholdBool(inverter::kAlarmType, id, id, group, names[i], state,
                       signal);
  }
}
