#include "SNMP_KEHUA_INVERTER.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <system_error>

#include "atoi_clamped.h"
#include "inverter_tables.h"

namespace {

constexpr long kTimeoutUs = 10 * 1000 * 1000;
constexpr char kCommunity[] = "varnel";
constexpr auto kPause = std::chrono::seconds(5);

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
  session_.version = SNMP_VERSION_2c;
  // The library copies the community when a session is opened.
  session_.community = reinterpret_cast<u_char*>(const_cast<char*>(kCommunity));
  session_.community_len = std::strlen(kCommunity);
  session_.timeout = kTimeoutUs;
  session_.retries = 1;
  session_.peername = nullptr;

  std::fill(std::begin(root_oid_), std::end(root_oid_), 0);
  std::copy(inverter::kBaseOid.begin(), inverter::kBaseOid.end(), root_oid_);
  root_len_ = inverter::kBaseOid.size();
  std::fill(std::begin(name_oid_), std::end(name_oid_), 0);
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
SNMP_KEHUA_INVERTER::~SNMP_KEHUA_INVERTER() { stop_sampling(); }

void SNMP_KEHUA_INVERTER::stop_sampling() {
  if (!sample_thread_) return;
  {
    std::lock_guard<std::mutex> lock(stop_mutex_);
    stop_ = true;
  }
  stop_cv_.notify_all();
  sample_thread_->join();
  sample_thread_.reset();
  stop_ = false;
}

int SNMP_KEHUA_INVERTER::InitSetting(const Json::Value& settings) {
  static const Json::Value null_value(Json::nullValue);
  // Never two walkers: a running thread stops before settings change.
  stop_sampling();

  data_.id = data_id_;
  const Json::Value& app = settings["appSetting"];
  if (app != null_value && app.type() == Json::objectValue) {
    const Json::Value& use_thread = app["use_thread"];
    if (use_thread != null_value) {
      use_thread_ = tarn::atoi_clamped(use_thread.asString());
    }
  }
  UniDataDevice::InitSetting(settings);

  peer_name_ = peer_address_;
  session_.peername = peer_name_.data();

  if (use_thread_ != 0) {
    sample_thread_ = std::make_unique<SampleThread>(
        kSampleStackSize, [this] { sample_data(nullptr); });
  }
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
    if (stop_cv_.wait_for(lock, kPause, [this] { return stop_; })) return;
  }
}

void SNMP_KEHUA_INVERTER::do_sample() {
  std::cout << "SNMP_KEHUA_INVERTER::do_sample" << std::endl;
  // A cached record loaded by the host never mixes with a walk's readings.
  std::lock_guard<std::mutex> walk_lock(mutex_);
  if (peer_address_.empty()) return;

  ss_ = inverter::snmp::OpenSession(&session_, "snmpbulkwalk");
  if (!ss_) return;
  snmp_sess_session(ss_.get())->timeout = session_.timeout;

  std::copy(root_oid_, root_oid_ + root_len_, name_oid_);
  name_len_ = root_len_;

  // Named in diagnostics; unset only if the host skipped InitSetting.
  const char* peer = session_.peername != nullptr ? session_.peername : "";
  const char* cut = nullptr;
  unsigned requests = 0;
  bool running = true;
  while (running) {
    // The host sees the device's last activity move with every request.
    last_update_ = boost::posix_time::second_clock::local_time();
    pdu_ = inverter::snmp::CreatePdu(SNMP_MSG_GETBULK);
    pdu_->non_repeaters = 1;
    pdu_->max_repetitions = 100;
    snmp_add_null_var(pdu_, name_oid_, name_len_);

    netsnmp_pdu* answer = nullptr;
    // The library takes the request PDU and frees it, answered or not.
    const int status = snmp_sess_synch_response(ss_.get(), pdu_, &answer);
    pdu_ = nullptr;
    response_.reset(answer);  // the answer is ours to free
    ++requests;

    if (status != STAT_SUCCESS || !response_) {
      if (status == STAT_TIMEOUT) {
        std::fprintf(stderr, "Timeout: No Response from %s\n", peer);
      } else {
        std::printf("snmp get error %d\n", status);
        std::fflush(stdout);
      }
      running = false;
    } else if (response_->errstat != SNMP_ERR_NOERROR) {
      running = false;
    } else {
      running = process_response(&cut);
      if (running && requests >= kMaxRequests) {
        cut = "more than 1000 requests";
        running = false;
      }
    }
    response_.reset();
  }
  if (cut != nullptr) {
    std::fprintf(stderr, "Walk of %s cut short: %s\n", peer, cut);
  }
  ss_.reset();
  RoundDone();
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
  std::memcpy(reinterpret_cast<unsigned char*>(&data_) + slot->offset, &value,
              sizeof value);
}

void SNMP_KEHUA_INVERTER::RunCheckThreshold() {
  if (b_mode_ != inverter::kAlarmMode) return;
  // The texts handed to the host are made once, not on every round.
  static const std::string group = inverter::kAlarmGroup;
  static const auto names = [] {
    std::array<std::string, inverter::kAlarmTable.size()> out;
    for (size_t i = 0; i < out.size(); ++i)
      out[i] = inverter::kAlarmTable[i].name;
    return out;
  }();
  for (size_t i = 0; i < inverter::kAlarmTable.size(); ++i) {
    const inverter::AlarmRow& row = inverter::kAlarmTable[i];
    const std::string id = AlarmId(signal_index_);
    float reading;
    std::memcpy(&reading,
                reinterpret_cast<const unsigned char*>(&data_) +
                    inverter::kReadingMap[row.entry].offset,
                sizeof reading);
    const bool state = reading != 0.0f;
    const unsigned short signal = signal_index_;
    signal_index_ = static_cast<unsigned short>(signal_index_ + 1);
    CheckThresholdBool(inverter::kAlarmType, id, id, group, names[i], state,
                       signal);
  }
}
