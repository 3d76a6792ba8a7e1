#pragma once
// Reads the virtual-table slot out of a pointer to a virtual member function.
// Itanium C++ ABI: {ptr, adj}; on most targets a virtual member has
// ptr = 1 + byte offset in the table. 32-bit and 64-bit ARM keep the offset
// in ptr unchanged and move the "virtual" flag into bit 0 of adj.

#include <cstddef>
#include <cstdint>
#include <cstring>

template <typename MemberFn>
std::ptrdiff_t SlotIndex(MemberFn fn) {
  struct Rep {
    std::uintptr_t ptr;
    std::ptrdiff_t adj;
  };
  static_assert(sizeof(MemberFn) == sizeof(Rep), "Itanium member pointer");
  Rep rep;
  std::memcpy(&rep, &fn, sizeof rep);
#if defined(__arm__) || defined(__aarch64__)
  if ((rep.adj & 1) == 0) return -1;
  return static_cast<std::ptrdiff_t>(rep.ptr / sizeof(void*));
#else
  if ((rep.ptr & 1) == 0) return -1;
  return static_cast<std::ptrdiff_t>((rep.ptr - 1) / sizeof(void*));
#endif
}

// Checks every slot of the host device interface on class D (the most
// derived device class); returns a list of mismatches, empty when all hold.
#include <boost/asio/buffer.hpp>
#include <string>
#include <vector>

template <typename D>
std::vector<std::string> CheckDeviceSlots() {
  using Buffers = std::vector<boost::asio::const_buffer>;
  struct Expect {
    const char* name;
    std::ptrdiff_t got;
    std::ptrdiff_t want;
  };
  const Expect table[] = {
      {"Get_Value",
       SlotIndex(
           static_cast<double (D::*)(unsigned int, const std::string&) const>(
               &D::Get_Value)),
       0},
      {"LoadFromCache(string)",
       SlotIndex(
           static_cast<bool (D::*)(const std::string&)>(&D::LoadFromCache)),
       1},
      {"LoadFromCache(bytes)",
       SlotIndex(static_cast<bool (D::*)(const unsigned char*, int)>(
           &D::LoadFromCache)),
       2},
      {"DataId", SlotIndex(&D::DataId), 3},
      {"DeviceType", SlotIndex(&D::DeviceType), 4},
      {"DeviceIoControl", SlotIndex(&D::DeviceIoControl), 5},
      {"RoundDone", SlotIndex(&D::RoundDone), 6},
      {"UseControllerDb", SlotIndex(&D::UseControllerDb), 7},
      // Slots 8 and 9 are the two destructor entries.
      {"Reset", SlotIndex(&D::Reset), 10},
      {"InitV", SlotIndex(&D::InitV), 11},
      {"Init", SlotIndex(&D::Init), 12},
      {"InitSetting", SlotIndex(&D::InitSetting), 13},
      {"IsSupportDevice", SlotIndex(&D::IsSupportDevice), 14},
      {"GetChildVDevice", SlotIndex(&D::GetChildVDevice), 15},
      {"GetAllChildVDevices", SlotIndex(&D::GetAllChildVDevices), 16},
      {"SendSP", SlotIndex(&D::SendSP), 17},
      {"SendDelayData", SlotIndex(&D::SendDelayData), 18},
      {"SendDoData", SlotIndex(&D::SendDoData), 19},
      {"ReadDi", SlotIndex(&D::ReadDi), 20},
      {"ReadAi", SlotIndex(&D::ReadAi), 21},
      {"Get_SP_Value", SlotIndex(&D::Get_SP_Value), 22},
      {"process", SlotIndex(&D::process), 23},
      {"process_data", SlotIndex(&D::process_data), 24},
      {"OnConnected", SlotIndex(&D::OnConnected), 25},
      {"RefreshStatus", SlotIndex(&D::RefreshStatus), 26},
      {"StartSocket", SlotIndex(&D::StartSocket), 27},
      {"CloseSocket", SlotIndex(&D::CloseSocket), 28},
      {"SendSocketData(bytes)",
       SlotIndex(static_cast<int (D::*)(const unsigned char*, unsigned int)>(
           &D::SendSocketData)),
       29},
      {"SendSocketData(socket, bytes)",
       SlotIndex(
           static_cast<int (D::*)(int, const unsigned char*, unsigned int)>(
               &D::SendSocketData)),
       30},
      {"SendSocketData(buffers)",
       SlotIndex(static_cast<int (D::*)(const Buffers&)>(&D::SendSocketData)),
       31},
      {"SendSocketData(socket, buffers)",
       SlotIndex(
           static_cast<int (D::*)(int, const Buffers&)>(&D::SendSocketData)),
       32},
      {"RunCheckThreshold", SlotIndex(&D::RunCheckThreshold), 33},
  };
  std::vector<std::string> mismatches;
  for (const Expect& e : table) {
    if (e.got != e.want) {
      mismatches.push_back(std::string(e.name) + " in slot " +
                           std::to_string(e.got) + ", expected " +
                           std::to_string(e.want));
    }
  }
  return mismatches;
}
