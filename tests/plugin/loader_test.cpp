// Loads the built plug-in the way the host does (dlopen, get_providers,
// run-time type conversion) into a program that has the host runtime and
// nothing of the driver.

#include <dirent.h>
#include <dlfcn.h>
#include <gnu/libc-version.h>
#include <gtest/gtest.h>
#include <limits.h>
#include <stdlib.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

#include "provider.h"
#include "recorder.h"

namespace {

using GetProviders = std::vector<std::shared_ptr<Provider>> (*)();
using Kind = host::Call::Kind;

class Loader : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    handle_ = dlopen(PLUGIN_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(handle_, nullptr) << dlerror();
    get_providers_ =
        reinterpret_cast<GetProviders>(dlsym(handle_, "get_providers"));
  }
  static void TearDownTestSuite() {
    if (handle_ != nullptr) {
      EXPECT_EQ(dlclose(handle_), 0) << dlerror();
    }
    handle_ = nullptr;
  }
  void SetUp() override {
    ASSERT_NE(handle_, nullptr);
    ASSERT_NE(get_providers_, nullptr);
  }

  static std::shared_ptr<TarnSocketDeviceProvider> SocketProvider() {
    std::vector<std::shared_ptr<Provider>> providers = get_providers_();
    return providers.size() == 1
               ? std::dynamic_pointer_cast<TarnSocketDeviceProvider>(
                     providers[0])
               : nullptr;
  }

  static void* handle_;
  static GetProviders get_providers_;
};
void* Loader::handle_ = nullptr;
GetProviders Loader::get_providers_ = nullptr;

int ThreadCount() {
  int n = 0;
  if (DIR* dir = opendir("/proc/self/task")) {
    while (const dirent* e = readdir(dir)) n += e->d_name[0] != '.';
    closedir(dir);
  }
  return n;
}

TEST_F(Loader, EachCallGivesOneFreshSocketDeviceProvider) {
  const std::vector<std::shared_ptr<Provider>> first = get_providers_();
  const std::vector<std::shared_ptr<Provider>> second = get_providers_();
  ASSERT_EQ(first.size(), 1u);
  ASSERT_EQ(second.size(), 1u);
  ASSERT_NE(first[0], nullptr);
  EXPECT_EQ(first[0].use_count(), 1);
  EXPECT_NE(first[0], second[0]);
  const Provider& made = *first[0];
  EXPECT_STREQ(typeid(made).name(), "27SNMP_KEHUA_INVERTERProvider");
  const auto socket =
      std::dynamic_pointer_cast<TarnSocketDeviceProvider>(first[0]);
  ASSERT_NE(socket, nullptr);
  EXPECT_EQ(first[0].use_count(), 2);
}

TEST_F(Loader, DevicesAreDistinctAndOutliveTheirProvider) {
  std::unique_ptr<TarnSocketDevice> a, b;
  {
    const auto provider = SocketProvider();
    ASSERT_NE(provider, nullptr);
    a.reset(provider->create());
    b.reset(provider->create());
  }  // every provider pointer released
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  EXPECT_NE(a, b);
  EXPECT_EQ(a->DeviceType(), "snmp_kehua_inverter");

  host::Recorder recorder;
  host::ScopedObserver observing(&recorder);
  Json::Value config;
  config["address"] = "";  // never walks
  config["settings"]["appSetting"]["b_mode"] = "2";
  a->Init(std::weak_ptr<TarnController>(), 41, config);
  EXPECT_EQ(a->DataId(), 41u);

  unsigned char record[75] = {};
  const std::uint32_t id = 41;
  const float readings[16] = {230, 50.1f, 0, 0, 0, 0, 0, 0,
                              0,   0,     0, 0, 1, 0, 0, 0};
  std::memcpy(record, &id, 4);
  std::memcpy(record + 4, readings, sizeof readings);
  EXPECT_FALSE(a->LoadFromCache(record, 74));
  ASSERT_TRUE(a->LoadFromCache(record, 75));

  std::vector<Kind> kinds;
  for (const host::Call& c : recorder.CallsFor(a.get()))
    kinds.push_back(c.kind);
  const std::vector<Kind> round = {Kind::InitSetting,
                                   Kind::SendSP,
                                   Kind::Reset,
                                   Kind::CheckThresholdBool,
                                   Kind::CheckThresholdBool,
                                   Kind::CheckThresholdBool,
                                   Kind::CheckThresholdBool,
                                   Kind::CheckThresholdBool,
                                   Kind::CheckThresholdBool,
                                   Kind::DoBatchCheckThreshold,
                                   Kind::SaveDeviceHistory};
  EXPECT_EQ(kinds, round);
  const auto sent = recorder.CallsOf(Kind::SendSP);
  const auto saved = recorder.CallsOf(Kind::SaveDeviceHistory);
  ASSERT_EQ(sent.size(), 1u);
  ASSERT_EQ(saved.size(), 1u);
  EXPECT_EQ(sent[0].data_id, 5156);
  ASSERT_EQ(sent[0].bytes.size(), 75u);
  // The round time is the device's own; everything before it is the cache.
  EXPECT_EQ(0, std::memcmp(sent[0].bytes.data(), record, 68));
  EXPECT_EQ(saved[0].bytes, sent[0].bytes);
  const auto alarms = recorder.CallsOf(Kind::CheckThresholdBool);
  ASSERT_EQ(alarms.size(), 6u);
  EXPECT_EQ(alarms[3].name, "UPS故障");
  EXPECT_TRUE(alarms[3].state);
  EXPECT_EQ(recorder.Count(Kind::SendSP, b.get()), 0u);
}

TEST_F(Loader, DeletingThroughTheBaseRunsEveryDestructor) {
  const int live = host::LiveDevices();
  const int threads = ThreadCount();
  VDeviceInterface* device = SocketProvider()->create();
  ASSERT_NE(device, nullptr);
  EXPECT_EQ(host::LiveDevices(), live + 1);

  // A threaded device samples on its own thread (no address: no walk).
  Json::Value config;
  config["address"] = "";
  config["settings"]["appSetting"]["use_thread"] = "1";
  static_cast<TarnSocketDevice*>(device)->Init(std::weak_ptr<TarnController>(),
                                               42, config);
  EXPECT_EQ(ThreadCount(), threads + 1);

  const auto start = std::chrono::steady_clock::now();
  delete device;
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3))
      << "the sampling thread was not stopped promptly";
  EXPECT_EQ(host::LiveDevices(), live);
  for (int i = 0; i < 100 && ThreadCount() != threads; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_EQ(ThreadCount(), threads);
}

// With the plug-in loaded, every other shared object in the process (the
// loader and the C library included) comes from the target's root: a cross
// build's tests must not run on the build machine's libraries while claiming
// the sysroot's (qemu-arm -L falls back to the build machine's files silently).
TEST_F(Loader, EveryLibraryComesFromTheTargetRoot) {
  const std::string root = TARN_TARGET_ROOT;
  std::ifstream maps("/proc/self/maps");
  std::string line;
  char real[PATH_MAX];
  ASSERT_NE(realpath(PLUGIN_PATH, real), nullptr);
  const std::string plugin = real;  // the one library of this build
  int libc = 0, loader = 0;
  while (std::getline(maps, line)) {
    std::istringstream fields(line);
    std::string range, perms, offset, dev, inode, path;
    fields >> range >> perms >> offset >> dev >> inode >> path;
    if (path.find(".so") == std::string::npos) continue;
    ASSERT_NE(realpath(path.c_str(), real), nullptr) << path;
    if (real == plugin) continue;
    EXPECT_EQ(std::string(real).rfind(root == "/" ? root : root + "/", 0), 0u)
        << path << " is not in " << root;
    libc += path.find("/libc.so.6") != std::string::npos ||
            path.find("/libc-2.") != std::string::npos;
    loader += path.find("/ld-") != std::string::npos;
  }
  EXPECT_GT(libc, 0);
  EXPECT_GT(loader, 0);
  EXPECT_STREQ(gnu_get_libc_version(), TARN_TARGET_GLIBC);
}

}  // namespace
