#pragma once
// The plug-in's provider of inverter devices and its one exported function.

#include <memory>
#include <vector>

#include "provider.h"

class TARN_API SNMP_KEHUA_INVERTERProvider : public TarnSocketDeviceProvider {
 public:
  SNMP_KEHUA_INVERTERProvider() = default;
  ~SNMP_KEHUA_INVERTERProvider() override {}
  TarnSocketDevice* create() const override;
};

// The plug-in's one exported function, looked up by its plain name. The
// host fixes this signature, a C++ type returned from a C-linkage function;
// clang's warning about it is silenced here only.
#if defined(__clang__)
#pragma clang diagnostic push
#pragma clang diagnostic ignored "-Wreturn-type-c-linkage"
#endif
extern "C" TARN_API std::vector<std::shared_ptr<Provider>> get_providers();
#if defined(__clang__)
#pragma clang diagnostic pop
#endif
