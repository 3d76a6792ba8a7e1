// Loading a plug-in, taking its providers, making and deleting its devices.
#include "plugin_session.h"

#include <dlfcn.h>

#include <stdexcept>

#include "host_error.h"
#include "recorder.h"

namespace host {

using GetProviders = std::vector<std::shared_ptr<Provider>> (*)();

PluginSession::PluginSession(const std::string& path) {
  // A name without a slash would be searched for on the library path.
  const std::string file =
      path.find('/') == std::string::npos ? "./" + path : path;
  handle_ = dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle_ == nullptr)
    throw BadInput("cannot load plug-in: " + OneLine(dlerror()));
  dlerror();
  void* symbol = dlsym(handle_, "get_providers");
  if (symbol == nullptr) {
    Unload();
    throw BadInput("plug-in " + path + " has no get_providers");
  }
  const auto get_providers = reinterpret_cast<GetProviders>(symbol);
  try {
    providers_ = get_providers();
  } catch (const std::exception& e) {
    Unload();
    throw Failure(std::string("get_providers failed: ") + e.what());
  }
  for (const std::shared_ptr<Provider>& p : providers_) {
    socket_provider_ = std::dynamic_pointer_cast<TarnSocketDeviceProvider>(p);
    if (socket_provider_) break;
  }
  if (!socket_provider_) {
    providers_.clear();
    Unload();
    throw BadInput("plug-in " + path + " provides no socket device provider");
  }
}

TarnSocketDevice* PluginSession::Create() {
  devices_.emplace_back(socket_provider_->create());
  if (!devices_.back()) throw Failure("the provider created no device");
  return devices_.back().get();
}

std::string PluginSession::Close() {
  std::string problem;
  if (handle_ == nullptr) return problem;
  deleted_ = devices_.size();
  devices_.clear();
  if (const int live = LiveDevices(); live != 0)
    problem =
        std::to_string(live) + " device objects still alive after deletion";
  socket_provider_.reset();
  providers_.clear();
  if (!Unload() && problem.empty()) problem = "cannot unload the plug-in";
  return problem;
}

bool PluginSession::Unload() {
  const bool ok = dlclose(handle_) == 0;
  handle_ = nullptr;
  return ok;
}

}  // namespace host
