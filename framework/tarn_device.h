#pragma once
// The host's device framework as a plug-in sees it. The order of virtual
// declarations is the calling contract with a host built separately: never
// reorder, insert or remove a virtual member.

#include <json/value.h>

#include <boost/asio/buffer.hpp>
#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "tarn_export.h"

class TarnController;

// The host's compact 7-byte time value (see get_ttime).
struct TTime {
  unsigned char bytes[7];
};
static_assert(sizeof(TTime) == 7, "TTime is 7 bytes");

// Converts a local time into the host's compact time value: year as 16-bit
// little-endian, then month (1-12), day, hour, minute and second.
TARN_API TTime get_ttime(boost::posix_time::ptime t);

// One threshold rule collected by the host during a round.
struct TARN_API rule_value {
  std::string id;
  std::string name;
  int level = 0;
  bool state = false;
};

class TARN_API TarnController {
 public:
  virtual ~TarnController();
};

class TARN_API VDeviceInterface {
 public:
  virtual double Get_Value(unsigned int, const std::string&) const {  // 0
    throw std::out_of_range("数据未就绪");
  }
  virtual bool LoadFromCache(const std::string& text) {  // 1
    return LoadFromCache(reinterpret_cast<const unsigned char*>(text.data()),
                         static_cast<int>(text.size()));
  }
  virtual bool LoadFromCache(const unsigned char* data, int len) = 0;  // 2
  virtual unsigned int DataId() const { return data_id_; }             // 3
  virtual const std::string& DeviceType() const {                      // 4
    return device_type_;
  }
  virtual int DeviceIoControl(int code, const void* in, int in_len,  // 5
                              void* out, int out_len, int& returned) = 0;
  virtual void RoundDone() = 0;                                  // 6
  virtual bool UseControllerDb() { return use_controller_db_; }  // 7
  virtual ~VDeviceInterface();                                   // 8, 9

 protected:
  VDeviceInterface();

  unsigned int data_id_ = 0;
  std::string device_type_;
  bool use_controller_db_ = false;
};

class TARN_API TarnVDevice : public VDeviceInterface {
 public:
  TarnVDevice();
  ~TarnVDevice() override;

  int DeviceIoControl(int code, const void* in, int in_len, void* out,
                      int out_len, int& returned) override;
  virtual void Reset();                                    // 10
  virtual int InitV(TarnVDevice* parent, unsigned int id,  // 11
                    const Json::Value& config);
  virtual int Init(std::weak_ptr<TarnController> controller,  // 12
                   unsigned int id, const Json::Value& config);
  virtual int InitSetting(const Json::Value& settings);                 // 13
  virtual bool IsSupportDevice(const std::string& type) const;          // 14
  virtual std::shared_ptr<TarnVDevice> GetChildVDevice(unsigned int) {  // 15
    return std::shared_ptr<TarnVDevice>();
  }
  virtual std::vector<std::shared_ptr<TarnVDevice>>
  GetAllChildVDevices() {  // 16
    return std::vector<std::shared_ptr<TarnVDevice>>();
  }
  virtual int SendSP(int data_id, const unsigned char* data,  // 17
                     unsigned int len, bool flag);
  virtual int SendDelayData(int delay);            // 18
  virtual int SendDoData(int channel, char on);    // 19
  virtual int ReadDi(int channel);                 // 20
  virtual float ReadAi(int channel);               // 21
  virtual double Get_SP_Value(unsigned int index,  // 22
                              const std::string& key);

  // Alarm and history services (not virtual).
  int CheckThresholdBool(int type, const std::string& id,
                         const std::string& id2, const std::string& group,
                         const std::string& name, bool state,
                         unsigned short signal);
  bool DoBatchCheckThreshold(const std::vector<rule_value>& rules);
  int SaveDeviceHistory(const unsigned char* data, unsigned int len);

 protected:
  std::weak_ptr<TarnController> controller_;
  TarnVDevice* parent_ = nullptr;
  unsigned short signal_index_ = 0;
  boost::posix_time::ptime last_update_;
  bool data_ready_ = false;
  bool alarm_raised_ = false;
  std::vector<rule_value> rule_values_;
  std::map<std::string, int> threshold_levels_;
  std::map<std::string, float> threshold_values_;
};

class TARN_API TarnSocketDevice : public TarnVDevice {
 public:
  TarnSocketDevice();
  ~TarnSocketDevice() override;

  int Init(std::weak_ptr<TarnController> controller, unsigned int id,
           const Json::Value& config) override;
  virtual int process(int socket, unsigned char* data, int len);           // 23
  virtual int process_data(int socket, unsigned char* data, int len) = 0;  // 24
  virtual void OnConnected(int socket);                                    // 25
  virtual int RefreshStatus();                                             // 26
  virtual int StartSocket(const std::string& host, unsigned short port);   // 27
  virtual void CloseSocket(int socket);                                    // 28
  virtual int SendSocketData(const unsigned char* data,
                             unsigned int len) {  // 29
    return TarnSocketDevice::SendSocketData(socket_id_, data, len);
  }
  virtual int SendSocketData(int socket, const unsigned char* data,  // 30
                             unsigned int len);
  virtual int SendSocketData(  // 31
      const std::vector<boost::asio::const_buffer>& buffers) {
    return TarnSocketDevice::SendSocketData(socket_id_, buffers);
  }
  virtual int SendSocketData(  // 32
      int socket, const std::vector<boost::asio::const_buffer>& buffers);

 protected:
  int socket_id_ = -1;
  std::string peer_address_;
};
