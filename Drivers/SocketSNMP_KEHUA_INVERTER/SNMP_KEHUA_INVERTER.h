#pragma once
// One UPS inverter watched over SNMP (v1, v2c or v3): each round walks the
// inverter's enterprise subtree (GETBULK; GETNEXT for v1) into a working
// copy of the record, then publishes it and completes the round.

#include <pthread.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "SNMP_KEHUA_INVERTER_Data.h"
#include "device_limits.h"
#include "inverter_tables.h"
#include "log_budget.h"
#include "name_lookup.h"
#include "snmp_session.h"
#include "snmp_settings.h"
#include "uni_data_device.h"

class SNMP_KEHUA_INVERTER
    : public UniDataDevice<SNMP_KEHUA_INVERTER_Data_t, TarnSocketDevice,
                           inverter::kRecordDataId> {
 public:
  // Longest walk, in requests; an agent that never leaves the subtree is
  // cut off there.
  static constexpr unsigned kMaxRequests = 1000;
  // Longest walk, in time; a slow agent is cut off there.
  static constexpr std::chrono::seconds kMaxWalkTime = inverter::kMaxWalkTime;
  // Stack of a sampling thread. A walk and its round use under 9 KiB of it
  // on x86-64 and on armhf (tests/snmp/stack_test.cpp measures it and keeps
  // it under a quarter); the default of 8 MiB a thread would not let 1,000
  // threaded devices fit the address space of a 32-bit host process.
  static constexpr std::size_t kSampleStackSize = inverter::kThreadStackSize;

  SNMP_KEHUA_INVERTER();
  ~SNMP_KEHUA_INVERTER() override;

  int InitSetting(const Json::Value& settings) override;
  int process_data(int socket, unsigned char* data, int len) override;
  int RefreshStatus() override;
  void RunCheckThreshold() override;

  // One complete walk and its round, on the calling thread.
  void do_sample();
  // Body of the sampling thread: walk, pause 5 s, until stopped.
  void sample_data(void* unused);

 protected:
  // What every walk's session is opened from: the SNMP settings, the peer.
  netsnmp_session session_template_;
  // A joinable thread on a stack of a chosen size (std::thread cannot set
  // one). Throws std::system_error when the thread cannot be started. The
  // owner ends the body before destroying it; destruction joins.
  class SampleThread {
   public:
    SampleThread(std::size_t stack_size, std::function<void()> body);
    ~SampleThread();
    SampleThread(const SampleThread&) = delete;
    SampleThread& operator=(const SampleThread&) = delete;
    void join();

   private:
    static void* Run(void* self) noexcept;
    std::function<void()> body_;
    pthread_t handle_{};
    bool joinable_ = false;
  };

  std::unique_ptr<SampleThread> sample_thread_;
  int use_thread_ = 0;
  // Timing; tests shorten them.
  std::chrono::steady_clock::duration pause_ = inverter::kSamplePause;
  std::chrono::steady_clock::duration max_walk_time_ = kMaxWalkTime;

  // The device's lines that tell an agent's faults apart (at most one a
  // walk): a few a minute, the rest counted (tests start it afresh).
  inverter::snmp::LogBudget fault_lines_;

  // Stops and joins the sampling thread, if any. The thread calls virtual
  // members: a subclass must call this in its own destructor, before its
  // part of the object is torn down.
  void stop_sampling();

 private:
  enum class WalkEnd { kDone, kLost, kStopped };
  // The request loop of one walk, on an open session.
  WalkEnd run_walk(inverter::snmp::Session& session, const char* peer,
                   const char** cut);
  // Sets the communication-status reading after a walk (see the .cpp).
  void mark_communication(bool lost);
  void start_sampling();
  // The pause between two walks of the sampling thread; true when a stop
  // ended it.
  bool pause_until_stopped();
  void forget_credentials();
  // Writes one line of fault_lines_ to standard error, the first of a walk
  // only (told_).
  void tell(const std::string& line);

  // The walk's working copy of the record: readings persist across walks,
  // and the record the host sees changes only when a walk publishes.
  SNMP_KEHUA_INVERTER_Data_t walk_record_;
  // The alarm texts handed to the host, made once per device rather than
  // on every round. Members, not statics: a sampling thread still running
  // while the process exits never sees them destroyed, and unloading the
  // plug-in leaves nothing behind.
  const std::string alarm_group_ = inverter::kAlarmGroup;
  std::array<std::string, inverter::kAlarmTable.size()> alarm_names_;

  std::string peer_name_;     // owned copy handed to the library as peer name
  std::string library_peer_;  // peer_name_ with its UDP domain, or empty
  std::string peer_refused_;  // why peer_name_ was refused
  // The device's name lookup given up by a walk and not answered yet.
  inverter::snmp::LookupSlot lookup_;
  inverter::snmp::SnmpSettings snmp_;  // the session template points here
  bool snmp_ok_ = true;                // false: no walk until fixed
  std::vector<u_char> engine_id_;      // discovered SNMPv3 engine ID
  inverter::snmp::EngineClock engine_clock_;  // that engine's boots, time
  // GETBULK max-repetitions in use: the configured one, halved after a
  // tooBig until an answer comes, and kept for later walks.
  long repetitions_ = 0;
  bool told_ = false;     // this walk has written its fault line
  std::string cut_text_;  // why the last walk was cut, if made
  // The communication-status reading as the agent last gave it, whether
  // this walk gave it, and whether the record marks the inverter lost.
  float agent_comm_status_ = 0.0f;
  bool comm_status_given_ = false;
  bool comm_marked_ = false;

  // Stopping the sampling thread: stop_ is set, then stop_fd_ (an eventfd,
  // for the device's life) is made readable, which ends the pause and any
  // wait of a walk (name lookup, answer) at once. Both are cleared once the
  // thread is joined. Without the descriptor (eventfd failed: -1) a stop
  // waits for the walk in progress.
  std::atomic<bool> stop_{false};
  int stop_fd_ = -1;
};
