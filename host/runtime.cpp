// The stand-in host's device framework: the non-inline operations of the
// device classes and get_ttime. Every call a device makes into the host is
// reported to the attached observer.

#include <atomic>
#include <mutex>

#include "recorder.h"

namespace host {
namespace {

std::atomic<Observer*> g_observer{nullptr};
std::mutex g_batch_mutex;
BatchCheck g_batch_check;
std::atomic<int> g_live_devices{0};

void Report(Call&& call) {
  if (Observer* observer = g_observer.load()) observer->OnCall(call);
}

Call MakeCall(Call::Kind kind, const TarnVDevice* device) {
  Call call;
  call.kind = kind;
  call.device = device;
  call.device_id = device->DataId();
  return call;
}

}  // namespace

const char* KindName(Call::Kind kind) {
  switch (kind) {
    case Call::Kind::InitSetting:
      return "init_setting";
    case Call::Kind::SendSP:
      return "send";
    case Call::Kind::Reset:
      return "reset";
    case Call::Kind::CheckThresholdBool:
      return "alarm";
    case Call::Kind::DoBatchCheckThreshold:
      return "batch_check";
    case Call::Kind::SaveDeviceHistory:
      return "history";
  }
  return "unknown";
}

void SetObserver(Observer* observer) { g_observer.store(observer); }

int LiveDevices() { return g_live_devices.load(); }

void SetBatchCheck(BatchCheck check) {
  std::lock_guard<std::mutex> lock(g_batch_mutex);
  g_batch_check = std::move(check);
}

void Recorder::OnCall(const Call& call) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    calls_.push_back(call);
  }
  changed_.notify_all();
}

std::vector<Call> Recorder::Calls() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return calls_;
}

std::vector<Call> Recorder::CallsOf(Call::Kind kind) const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<Call> out;
  for (const Call& c : calls_)
    if (c.kind == kind) out.push_back(c);
  return out;
}

std::vector<Call> Recorder::CallsFor(const TarnVDevice* device) const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<Call> out;
  for (const Call& c : calls_)
    if (c.device == device) out.push_back(c);
  return out;
}

std::size_t Recorder::Count(Call::Kind kind, const TarnVDevice* device) const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::size_t n = 0;
  for (const Call& c : calls_)
    if (c.kind == kind && (device == nullptr || c.device == device)) ++n;
  return n;
}

void Recorder::Clear() {
  std::lock_guard<std::mutex> lock(mutex_);
  calls_.clear();
}

bool Recorder::WaitFor(
    const std::function<bool(const std::vector<Call>&)>& done,
    std::chrono::milliseconds timeout) const {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] { return done(calls_); });
}

}  // namespace host

using host::Call;

TTime get_ttime(boost::posix_time::ptime t) {
  TTime out{};
  if (t.is_special()) return out;
  const auto date = t.date();
  const auto time = t.time_of_day();
  const unsigned year = static_cast<unsigned>(date.year());
  out.bytes[0] = static_cast<unsigned char>(year & 0xFF);
  out.bytes[1] = static_cast<unsigned char>(year >> 8);
  out.bytes[2] = static_cast<unsigned char>(date.month().as_number());
  out.bytes[3] = static_cast<unsigned char>(date.day());
  out.bytes[4] = static_cast<unsigned char>(time.hours());
  out.bytes[5] = static_cast<unsigned char>(time.minutes());
  out.bytes[6] = static_cast<unsigned char>(time.seconds());
  return out;
}

TarnController::~TarnController() = default;

VDeviceInterface::VDeviceInterface() = default;
VDeviceInterface::~VDeviceInterface() = default;

TarnVDevice::TarnVDevice() { ++host::g_live_devices; }
TarnVDevice::~TarnVDevice() { --host::g_live_devices; }

int TarnVDevice::DeviceIoControl(int, const void*, int, void*, int,
                                 int& returned) {
  returned = 0;
  return -1;
}

void TarnVDevice::Reset() {
  host::Report(host::MakeCall(Call::Kind::Reset, this));
}

int TarnVDevice::InitV(TarnVDevice* parent, unsigned int id,
                       const Json::Value& config) {
  parent_ = parent;
  data_id_ = id;
  return InitSetting(config);
}

// The host's own part of initialisation: the data id is in place before the
// device's settings hook runs.
int TarnVDevice::Init(std::weak_ptr<TarnController> controller, unsigned int id,
                      const Json::Value& config) {
  controller_ = std::move(controller);
  data_id_ = id;
  return InitSetting(config);
}

int TarnVDevice::InitSetting(const Json::Value&) {
  host::Report(host::MakeCall(Call::Kind::InitSetting, this));
  return 1;
}

bool TarnVDevice::IsSupportDevice(const std::string& type) const {
  return type == device_type_;
}

int TarnVDevice::SendSP(int data_id, const unsigned char* data,
                        unsigned int len, bool flag) {
  Call call = host::MakeCall(Call::Kind::SendSP, this);
  call.data_id = data_id;
  call.length = len;
  call.flag = flag;
  if (data != nullptr) call.bytes.assign(data, data + len);
  host::Report(std::move(call));
  return static_cast<int>(len);
}

int TarnVDevice::SendDelayData(int) { return 0; }
int TarnVDevice::SendDoData(int, char) { return 0; }
int TarnVDevice::ReadDi(int) { return 0; }
float TarnVDevice::ReadAi(int) { return 0.0f; }
double TarnVDevice::Get_SP_Value(unsigned int, const std::string&) {
  return 0.0;
}

// Collects one rule per reported signal; an active signal raises the
// device's alarm flag.
int TarnVDevice::CheckThresholdBool(int type, const std::string& id,
                                    const std::string& id2,
                                    const std::string& group,
                                    const std::string& name, bool state,
                                    unsigned short signal) {
  Call call = host::MakeCall(Call::Kind::CheckThresholdBool, this);
  call.type = type;
  call.id = id;
  call.id2 = id2;
  call.group = group;
  call.name = name;
  call.state = state;
  call.signal = signal;
  host::Report(std::move(call));
  rule_values_.push_back(rule_value{id, name, type, state});
  if (state) alarm_raised_ = true;
  return state ? 1 : 0;
}

bool TarnVDevice::DoBatchCheckThreshold(const std::vector<rule_value>& rules) {
  bool result = false;
  {
    std::lock_guard<std::mutex> lock(host::g_batch_mutex);
    if (host::g_batch_check) {
      result = host::g_batch_check(*this, rules);
    } else {
      for (const rule_value& r : rules) result = result || r.state;
    }
  }
  Call call = host::MakeCall(Call::Kind::DoBatchCheckThreshold, this);
  call.rules = rules.size();
  call.result = result;
  host::Report(std::move(call));
  return result;
}

int TarnVDevice::SaveDeviceHistory(const unsigned char* data,
                                   unsigned int len) {
  Call call = host::MakeCall(Call::Kind::SaveDeviceHistory, this);
  call.length = len;
  if (data != nullptr) call.bytes.assign(data, data + len);
  host::Report(std::move(call));
  return static_cast<int>(len);
}

TarnSocketDevice::TarnSocketDevice() = default;
TarnSocketDevice::~TarnSocketDevice() = default;

// A socket device's configuration names its peer ("address") and carries
// its settings ("settings"); the address is in place before the settings
// hook runs.
int TarnSocketDevice::Init(std::weak_ptr<TarnController> controller,
                           unsigned int id, const Json::Value& config) {
  controller_ = std::move(controller);
  data_id_ = id;
  peer_address_ = config.isObject() ? config["address"].asString() : "";
  const Json::Value settings =
      config.isObject() ? config["settings"] : Json::Value(Json::objectValue);
  return InitSetting(settings);
}

int TarnSocketDevice::process(int socket, unsigned char* data, int len) {
  return process_data(socket, data, len);
}
void TarnSocketDevice::OnConnected(int socket) { socket_id_ = socket; }
int TarnSocketDevice::RefreshStatus() { return 0; }
int TarnSocketDevice::StartSocket(const std::string&, unsigned short) {
  return -1;
}
void TarnSocketDevice::CloseSocket(int) {}
int TarnSocketDevice::SendSocketData(int, const unsigned char*, unsigned int) {
  return -1;
}
int TarnSocketDevice::SendSocketData(
    int, const std::vector<boost::asio::const_buffer>&) {
  return -1;
}
