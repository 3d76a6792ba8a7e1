#pragma once
// A host device that owns one fixed-size packed data record and completes
// every sampling round with it: time stamp, publish, alarms, batch threshold
// check, history.

#include <json/json.h>

#include <atomic>
#include <boost/date_time/posix_time/posix_time.hpp>
#include <cstring>
#include <iostream>
#include <map>
#include <mutex>
#include <string>
#include <thread>

#include "atoi_clamped.h"
#include "tarn_device.h"

template <typename Data, typename Base, int DATA_ID>
class UniDataDevice : public Base {
 public:
  UniDataDevice() {
    std::memset(static_cast<void*>(&data_), 0, sizeof(Data));
    b_mode_ = 1;
  }
  ~UniDataDevice() override = default;

  using Base::LoadFromCache;  // keep the host's text overload visible

  // Replaces the record with a stored copy and completes a round with it.
  // A buffer that is not exactly one record long, or no buffer at all, is
  // refused and changes nothing. Never waits for the network: a walk holds
  // the record only to publish it. Called by the host from inside a round
  // of this device on the same thread (from its SendSP, for example), the
  // load is kept and completed right after that round, so that neither
  // round sees the other's record.
  bool LoadFromCache(const unsigned char* data, int len) override {
    if (data == nullptr || len != static_cast<int>(sizeof(Data))) return false;
    if (round_thread_.load() == std::this_thread::get_id()) {
      std::memcpy(static_cast<void*>(&pending_), data, sizeof(Data));
      has_pending_ = true;
      return true;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    std::memcpy(static_cast<void*>(&data_), data, sizeof(Data));
    CompleteRound();
    return true;
  }

  void RoundDone() override {
    this->data_ready_ = true;
    this->last_update_ = boost::posix_time::second_clock::local_time();
    data_.round_time = get_ttime(this->last_update_);
    const auto* bytes = reinterpret_cast<const unsigned char*>(&data_);
    TarnVDevice::SendSP(DATA_ID, bytes, sizeof(Data), false);
    this->Reset();
    this->signal_index_ = 1;
    this->alarm_raised_ = false;
    this->RunCheckThreshold();
    std::cout << "rvSize is " << static_cast<int>(this->rule_values_.size())
              << std::endl;
    if (this->DoBatchCheckThreshold(this->rule_values_)) {
      this->alarm_raised_ = true;
    }
    this->SaveDeviceHistory(bytes, sizeof(Data));
    this->rule_values_.clear();
  }

  // Stamps the record with the data id, reads the alarm mode and, in mode 3,
  // the threshold table, then hands the settings to the host.
  int InitSetting(const Json::Value& settings) override {
    static const Json::Value null_value(Json::nullValue);
    data_.id = this->data_id_;

    const Json::Value& app = settings["appSetting"];
    if (app != null_value && app.type() == Json::objectValue) {
      const Json::Value& mode = app["b_mode"];
      if (mode != null_value) {
        b_mode_ = tarn::atoi_clamped(mode.asString());
        std::cout << "InitSetting " << static_cast<unsigned int>(data_.id)
                  << " b_mode_:" << b_mode_ << std::endl;
      }
    }

    if (b_mode_ == 3) LoadThresholdTable(settings);
    return TarnVDevice::InitSetting(settings);
  }

  virtual void RunCheckThreshold() {}

 protected:
  // Runs RoundDone on the record, then any cache load the host made from
  // inside it. The caller holds mutex_.
  void CompleteRound() {
    round_thread_.store(std::this_thread::get_id());
    this->data_ready_ = true;
    this->RoundDone();
    while (has_pending_) {
      has_pending_ = false;
      std::memcpy(static_cast<void*>(&data_), &pending_, sizeof(Data));
      this->RoundDone();
    }
    round_thread_.store(std::thread::id());
  }

  Data data_;
  int b_mode_;
  std::map<std::string, std::string> alarm_ids_;
  std::map<std::string, std::string> signal_names_;
  boost::posix_time::ptime stamp_;
  std::mutex mutex_;  // serialises publishing a record and its round
  Json::Value settings_;

 private:
  std::atomic<std::thread::id> round_thread_{};  // thread inside a round
  Data pending_;              // a cache load made from inside a round
  bool has_pending_ = false;  // touched only by the round's thread

  void LoadThresholdTable(const Json::Value& settings) {
    static const Json::Value null_value(Json::nullValue);
    static const char* const kIdFields[] = {"NMAlarmID", "ID", "SignalNumber"};

    std::cout << "here 1" << std::endl;
    const Json::Value& table = settings["thresholdSetting"];
    if (table == null_value) return;
    std::cout << "here 2" << std::endl;

    for (auto it = table.begin(); it != table.end(); ++it) {
      const std::string key = it.key().asString();
      std::cout << "here " << key << std::endl;
      const Json::Value& entry = table[key];
      if (entry.type() != Json::objectValue) continue;

      const Json::Value& name = entry["SignalName"];
      if (name != null_value) signal_names_[key] = name.asString();

      std::string alarm_id;
      for (const char* field : kIdFields) {
        const Json::Value& value = entry[field];
        if (value != null_value) {
          alarm_id += value.asString();
        } else {
          std::cout << this->data_id_ << " " << field << " is missing"
                    << std::endl;
        }
        alarm_id += ";";
      }
      std::cout << "mobile:" << key << ":" << alarm_id
                << " level:" << this->threshold_levels_[key]
                << " value:" << this->threshold_values_[key] << std::endl;
      alarm_ids_[key] = alarm_id;
    }
  }
};
