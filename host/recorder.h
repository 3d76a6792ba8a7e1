#pragma once
// The stand-in host keeps every call a device makes into the host, in order
// and with its arguments, and hands each one to an observer.

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "tarn_device.h"

namespace host {

struct Call {
  enum class Kind {
    InitSetting,
    SendSP,
    Reset,
    CheckThresholdBool,
    DoBatchCheckThreshold,
    SaveDeviceHistory,
  };
  Kind kind;
  const TarnVDevice* device = nullptr;
  unsigned int device_id = 0;  // DataId() of the device at the time of the call
  // SendSP and SaveDeviceHistory
  int data_id = 0;
  unsigned int length = 0;
  bool flag = false;
  std::vector<unsigned char> bytes;
  // CheckThresholdBool
  int type = 0;
  std::string id, id2, group, name;
  bool state = false;
  unsigned short signal = 0;
  // DoBatchCheckThreshold
  std::size_t rules = 0;
  bool result = false;
};

const char* KindName(Call::Kind kind);

class Observer {
 public:
  virtual ~Observer() = default;
  // May be called from several threads at once.
  virtual void OnCall(const Call& call) = 0;
};

// Process-wide observer; nullptr detaches. The observer must outlive every
// call made while it is attached.
void SetObserver(Observer* observer);

// Decides DoBatchCheckThreshold's result; by default a batch check raises an
// alarm when any collected rule is active.
using BatchCheck =
    std::function<bool(const TarnVDevice&, const std::vector<rule_value>&)>;
void SetBatchCheck(BatchCheck check);

// Number of device objects (TarnVDevice and derived) constructed and not yet
// destroyed in this process.
int LiveDevices();

// An observer that keeps every call; thread-safe.
class Recorder : public Observer {
 public:
  void OnCall(const Call& call) override;
  std::vector<Call> Calls() const;
  std::vector<Call> CallsOf(Call::Kind kind) const;
  std::vector<Call> CallsFor(const TarnVDevice* device) const;
  std::size_t Count(Call::Kind kind, const TarnVDevice* device = nullptr) const;
  void Clear();
  // Waits until `done` holds for the calls recorded so far, or the time-out
  // passes; returns whether it holds.
  bool WaitFor(const std::function<bool(const std::vector<Call>&)>& done,
               std::chrono::milliseconds timeout) const;

 private:
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::vector<Call> calls_;
};

// Attaches a recorder for the lifetime of this object.
class ScopedObserver {
 public:
  explicit ScopedObserver(Observer* observer) { SetObserver(observer); }
  ~ScopedObserver() { SetObserver(nullptr); }
  ScopedObserver(const ScopedObserver&) = delete;
  ScopedObserver& operator=(const ScopedObserver&) = delete;
};

}  // namespace host
