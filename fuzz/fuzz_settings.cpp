// Arbitrary bytes as a device's settings: parsed as JSON and handed to
// InitSetting, through the record-device template alone and through the
// driver (which may start a sampling thread), then a round is completed
// with them. Nothing may crash or trip a sanitizer; the only exceptions
// allowed out of InitSetting are JsonCpp's own (a value of the wrong kind).

#include <json/json.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "SNMP_KEHUA_INVERTER.h"

namespace {

using Template =
    UniDataDevice<SNMP_KEHUA_INVERTER_Data_t, TarnSocketDevice, 5156>;

bool Parse(const uint8_t* data, size_t size, Json::Value* out) {
  Json::CharReaderBuilder builder;
  std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
  const char* text = reinterpret_cast<const char*>(data);
  std::string errors;
  try {
    return reader->parse(text, text + size, out, &errors);
  } catch (const Json::Exception&) {  // e.g. nesting deeper than allowed
    return false;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Json::Value settings;
  if (!Parse(data, size, &settings)) return 0;

  for (const bool driver : {false, true}) {
    // No peer: a walk returns at once, so a thread the settings start only
    // pauses; deleting the device stops it.
    SNMP_KEHUA_INVERTER device;
    try {
      if (driver) {
        device.InitSetting(settings);
      } else {
        device.Template::InitSetting(settings);
      }
    } catch (const Json::Exception&) {
      continue;
    }
    SNMP_KEHUA_INVERTER_Data_t record;
    std::memset(&record, 0, sizeof record);
    record.readings[7] = 1.0f;  // one alarm reading active
    device.LoadFromCache(reinterpret_cast<const unsigned char*>(&record),
                         sizeof record);
    device.RefreshStatus();
  }
  return 0;
}
