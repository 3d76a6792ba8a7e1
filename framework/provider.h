#pragma once
// Provider classes: factories the host obtains from a plug-in's
// get_providers. A host holding a Provider reaches create() by converting
// it to TarnSocketDeviceProvider through its run-time type, so their type
// information is shared with the host.

#include "tarn_device.h"

class TARN_API Provider {
 public:
  Provider() = default;
  virtual ~Provider() {}
};

class TARN_API TarnSocketDeviceProvider : public Provider {
 public:
  TarnSocketDeviceProvider() = default;
  ~TarnSocketDeviceProvider() override {}
  // A new, unconfigured device owned by the caller.
  virtual TarnSocketDevice* create() const = 0;
};
