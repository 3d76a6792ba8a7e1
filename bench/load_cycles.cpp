// Loads and unloads the plug-in again and again the way the host does
// (dlopen, get_providers, a device made, initialised host-driven and
// deleted, providers released, dlclose), and prints what the process keeps
// of it: heap in use (mallinfo2) and resident memory after a warm-up and
// after every cycle, and whether Net-SNMP stays loaded between cycles.
//
//   load_cycles [cycles] [plug-in path]
// The program links neither the driver nor Net-SNMP, like the host.

#include <dlfcn.h>
#include <json/json.h>
#include <malloc.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "bench_support.h"
#include "provider.h"

namespace {

using GetProviders = std::vector<std::shared_ptr<Provider>> (*)();

void Cycle(const char* path) {
  void* handle = dlopen(path, RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) throw std::runtime_error(dlerror());
  {
    auto get = reinterpret_cast<GetProviders>(dlsym(handle, "get_providers"));
    auto providers = get();
    auto provider =
        std::dynamic_pointer_cast<TarnSocketDeviceProvider>(providers.at(0));
    std::unique_ptr<TarnSocketDevice> dev(provider->create());
    Json::Value config(Json::objectValue);
    config["address"] = "127.0.0.1:161";
    config["settings"]["appSetting"]["b_mode"] = "2";
    dev->Init(std::weak_ptr<TarnController>(), 1, config);
  }
  dlclose(handle);
}

long HeapInUse() {
  const struct mallinfo2 m = mallinfo2();
  return static_cast<long>(m.uordblks + m.hblkhd);
}

}  // namespace

int main(int argc, char** argv) {
  const int cycles = argc > 1 ? std::max(2, std::atoi(argv[1])) : 1000;
  const char* path = argc > 2 ? argv[2] : PLUGIN_PATH;
  bench::QuietStdout quiet;
  std::ostream& out = quiet.out();
  try {
    constexpr int kWarmUp = 10;
    for (int i = 0; i < kWarmUp; ++i) Cycle(path);
    const long heap0 = HeapInUse();
    const long rss0 = bench::ReadProcFigures().rss_kib;
    for (int i = kWarmUp; i < cycles; ++i) Cycle(path);
    const long heap1 = HeapInUse();
    const long rss1 = bench::ReadProcFigures().rss_kib;
    void* netsnmp = dlopen("libnetsnmp.so.40", RTLD_NOW | RTLD_NOLOAD);
    out << "cycles " << cycles << "\n"
        << "heap_in_use_after_warm_up_bytes " << heap0 << "\n"
        << "heap_in_use_at_end_bytes " << heap1 << "\n"
        << "heap_bytes_kept_per_cycle "
        << double(heap1 - heap0) / (cycles - kWarmUp) << "\n"
        << "vm_rss_after_warm_up_kib " << rss0 << "\n"
        << "vm_rss_at_end_kib " << rss1 << "\n"
        << "netsnmp_still_loaded " << (netsnmp != nullptr ? "yes" : "no")
        << "\n";
    if (netsnmp != nullptr) dlclose(netsnmp);
  } catch (const std::exception& e) {
    out << "load_cycles: " << e.what() << "\n";
    return 1;
  }
  return 0;
}
