#pragma once

#include <memory>
#include <vector>

#include "provider.h"

class TARN_API SNMP_KEHUA_INVERTERProvider : public TarnSocketDeviceProvider {
 public:
  SNMP_KEHUA_INVERTERProvider() = default;
  ~SNMP_KEHUA_INVERTERProvider() override {}
  TarnSocketDevice* create() const override;
};

// The plug-in's one exported function, looked up by its plain name.
extern "C" TARN_API std::vector<std::shared_ptr<Provider>> get_providers();
