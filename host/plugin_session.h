#pragma once
// A loaded plug-in with its providers and the devices made from them.

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "provider.h"

namespace host {

// Close() (or the destructor) deletes the devices through their base
// pointer, releases the providers and unloads the plug-in, in that order.
class PluginSession {
 public:
  // Loads the plug-in as the monitoring host does (dlopen, get_providers);
  // throws BadInput when it is no plug-in.
  explicit PluginSession(const std::string& path);
  ~PluginSession() { Close(); }
  PluginSession(const PluginSession&) = delete;
  PluginSession& operator=(const PluginSession&) = delete;

  // A device from the socket device provider, owned by the session.
  TarnSocketDevice* Create();

  // Returns a problem found while closing, or "".
  std::string Close();
  std::size_t deleted() const { return deleted_; }

 private:
  bool Unload();

  void* handle_ = nullptr;
  std::vector<std::shared_ptr<Provider>> providers_;
  std::shared_ptr<TarnSocketDeviceProvider> socket_provider_;
  std::vector<std::unique_ptr<TarnSocketDevice>> devices_;
  std::size_t deleted_ = 0;
};

}  // namespace host
