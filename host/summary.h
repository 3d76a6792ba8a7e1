#pragma once
// A readable account of what the devices report, one block per round:
// the readings (all of them on a device's first round, then the ones that
// changed) and every alarm that was raised or cleared.

#include <cstdio>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "events.h"
#include "recorder.h"

namespace host {

// English meaning of an alarm name the plug-in reports (the name of the
// reading the alarm watches), or "".
const char* AlarmMeaning(const std::string& name);

class Summary : public Observer {
 public:
  explicit Summary(std::FILE* out) : out_(out) {}
  // How the device with this data id is run, e.g. "host-driven".
  void Describe(unsigned int device, const std::string& how);
  void OnCall(const Call& call) override;
  // One closing line per device: rounds, alarms raised and cleared.
  void Finish();

 private:
  struct Device {
    std::string how;
    unsigned rounds = 0;
    bool have_readings = false;
    Record last;                         // the previous round's record
    std::map<std::string, bool> alarms;  // by alarm id: active
    unsigned raised = 0, cleared = 0;
    std::string block;  // the round being reported
    std::vector<std::string> active;
  };

  std::mutex mutex_;
  std::FILE* out_;
  std::map<unsigned int, Device> devices_;
};

}  // namespace host
