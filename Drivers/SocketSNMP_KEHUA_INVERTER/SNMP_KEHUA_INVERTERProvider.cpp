// The provider of inverter devices and the plug-in's exported get_providers.
#include "SNMP_KEHUA_INVERTERProvider.h"

#include "SNMP_KEHUA_INVERTER.h"

TarnSocketDevice* SNMP_KEHUA_INVERTERProvider::create() const {
  return new SNMP_KEHUA_INVERTER();
}

std::vector<std::shared_ptr<Provider>> get_providers() {
  std::vector<std::shared_ptr<Provider>> providers;
  std::shared_ptr<SNMP_KEHUA_INVERTERProvider> provider =
      std::make_shared<SNMP_KEHUA_INVERTERProvider>();
  providers.push_back(std::shared_ptr<Provider>(std::move(provider)));
  return providers;
}
