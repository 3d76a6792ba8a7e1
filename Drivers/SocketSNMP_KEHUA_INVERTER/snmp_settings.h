#pragma once
// A device's SNMP settings (`appSetting.snmp`), parsed once into a plain
// struct that the walk reads. Without the object a device takes the
// defaults: the member initialisers of SnmpSettings (the numbers of its
// timing, and their bounds, from device_limits.h).

#include <json/json.h>
#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>

#include <string>
#include <vector>

#include "device_limits.h"

namespace inverter::snmp {

// Key material: wiped when dropped or replaced.
class SecretBytes {
 public:
  SecretBytes() = default;
  SecretBytes(const SecretBytes&) = delete;
  SecretBytes& operator=(const SecretBytes&) = delete;
  SecretBytes(SecretBytes&& other) noexcept;
  SecretBytes& operator=(SecretBytes&& other) noexcept;
  ~SecretBytes() { Wipe(); }
  void Assign(const u_char* bytes, size_t length);
  void Wipe();
  const u_char* data() const { return bytes_.data(); }
  size_t size() const { return bytes_.size(); }

 private:
  std::vector<u_char> bytes_;
};

struct SnmpSettings {
  long version = SNMP_VERSION_2c;
  std::string community = "varnel";
  // SNMPv3 (USM)
  std::string user;
  int level = SNMP_SEC_LEVEL_NOAUTH;
  std::vector<oid> auth_protocol;  // empty: none
  std::vector<oid> priv_protocol;  // empty: none
  SecretBytes auth_key;            // Ku of the authentication passphrase
  SecretBytes priv_key;            // Ku of the privacy passphrase
  std::string context;
  std::vector<u_char> engine_id;  // empty: discovered
  // Requests
  long timeout_us = kDefaultTimeoutMs * 1000;
  int retries = kDefaultRetries;
  long non_repeaters = 1;
  long max_repetitions = 100;
};

// Reads `appSetting.snmp` (absent: the defaults). On a bad value returns
// false and sets *error to "appSetting.snmp.KEY: reason" (never a secret).
// Derives the v3 keys from the passphrases (a few ms each).
bool ParseSnmpSettings(const Json::Value& app, SnmpSettings* out,
                       std::string* error);

// Points the session template at the settings (which must outlive it) and
// copies the keys into it; WipeTemplateKeys clears them again.
void ApplyToTemplate(const SnmpSettings& settings, netsnmp_session* templ);
void WipeTemplateKeys(netsnmp_session* templ);

}  // namespace inverter::snmp
