// Reading a device's `appSetting.snmp` and handing it to a session template.
#include "snmp_settings.h"

#include <strings.h>

#include <cstring>
#include <utility>

#include "snmp_session.h"
#include "snmp_v3_names.h"

namespace inverter::snmp {
namespace {

struct Name {
  const char* text;
  int type;
};
constexpr Name kLevelNames[] = {
    {"noAuthNoPriv", SNMP_SEC_LEVEL_NOAUTH},
    {"authNoPriv", SNMP_SEC_LEVEL_AUTHNOPRIV},
    {"authPriv", SNMP_SEC_LEVEL_AUTHPRIV},
};
constexpr size_t kMinPassphrase = 8;

class Reader {
 public:
  explicit Reader(const Json::Value& snmp) : snmp_(snmp) {}
  bool failed() const { return !error_.empty(); }
  const std::string& error() const { return error_; }

  bool Has(const char* key) const {
    return snmp_.isMember(key) && !snmp_[key].isNull();
  }
  // A string, or nothing with an error.
  bool Text(const char* key, std::string* out) {
    if (failed() || !Has(key)) return false;
    if (!snmp_[key].isString()) return Fail(key, "not a string");
    *out = snmp_[key].asString();
    return true;
  }
  // A JSON integer or a digit string within [low, high].
  void Number(const char* key, long low, long high, long* out) {
    if (failed() || !Has(key)) return;
    const Json::Value& v = snmp_[key];
    long value = -1;
    if (v.isIntegral() && v.isInt64()) {
      const auto n = v.asInt64();
      value = n < low || n > high ? -1 : static_cast<long>(n);
      if (value < 0) return void(Range(key, low, high));
    } else if (v.isString()) {
      const std::string s = v.asString();
      if (s.empty() || s.size() > 9 ||
          s.find_first_not_of("0123456789") != std::string::npos) {
        return void(Fail(key, "not a number"));
      }
      value = std::stol(s);
      if (value < low || value > high) return void(Range(key, low, high));
    } else {
      return void(Fail(key, "not a number"));
    }
    *out = value;
  }
  // One of `names`, case-insensitively and in full.
  template <size_t N>
  bool Choice(const char* key, const Name (&names)[N], int* out) {
    std::string text;
    if (!Text(key, &text)) return false;
    for (const Name& n : names) {
      if (strcasecmp(n.text, text.c_str()) == 0) {
        *out = n.type;
        return true;
      }
    }
    std::string why = "must be one of";
    for (const Name& n : names) why += std::string(" ") + n.text;
    return Fail(key, why);
  }
  // One of the SNMPv3 protocols, case-insensitively and in full.
  template <size_t N>
  void Protocol(const char* key, const v3::Protocol (&protocols)[N], int* out) {
    std::string text;
    if (!Text(key, &text)) return;
    if (const v3::Protocol* p = v3::FindProtocol(text, protocols)) {
      *out = p->type;
    } else {
      Fail(key, "must be one of " + v3::ProtocolNames(protocols, " ", " "));
    }
  }
  bool Fail(const char* key, const std::string& why) {
    if (!failed()) error_ = std::string("appSetting.snmp.") + key + ": " + why;
    return false;
  }

 private:
  void Range(const char* key, long low, long high) {
    Fail(key, "must be " + std::to_string(low) + ".." + std::to_string(high));
  }
  const Json::Value& snmp_;
  std::string error_;
};

bool IsPrintable(const std::string& s) {
  for (unsigned char c : s) {
    if (c < 0x20 || c >= 0x7f) return false;
  }
  return true;
}

// Wipes a passphrase held in a string once its key is derived.
void WipeString(std::string* s) {
  explicit_bzero(s->data(), s->size());
  s->clear();
}

bool DeriveKey(const std::vector<oid>& auth, std::string* passphrase,
               SecretBytes* key) {
  u_char ku[USM_AUTH_KU_LEN];
  size_t ku_len = sizeof ku;
  const int rc =
      generate_Ku(auth.data(), auth.size(),
                  reinterpret_cast<const u_char*>(passphrase->data()),
                  passphrase->size(), ku, &ku_len);
  WipeString(passphrase);
  if (rc == SNMPERR_SUCCESS) key->Assign(ku, ku_len);
  explicit_bzero(ku, sizeof ku);
  return rc == SNMPERR_SUCCESS;
}

}  // namespace

SecretBytes::SecretBytes(SecretBytes&& other) noexcept
    : bytes_(std::move(other.bytes_)) {
  other.bytes_.clear();
}

SecretBytes& SecretBytes::operator=(SecretBytes&& other) noexcept {
  if (this != &other) {
    Wipe();
    bytes_ = std::move(other.bytes_);
    other.bytes_.clear();
  }
  return *this;
}

void SecretBytes::Assign(const u_char* bytes, size_t length) {
  Wipe();
  bytes_.assign(bytes, bytes + length);
}

void SecretBytes::Wipe() {
  if (!bytes_.empty()) explicit_bzero(bytes_.data(), bytes_.size());
  bytes_.clear();
}

bool ParseSnmpSettings(const Json::Value& app, SnmpSettings* out,
                       std::string* error) {
  *out = SnmpSettings();
  if (app.type() != Json::objectValue || !app.isMember("snmp")) return true;
  const Json::Value& snmp = app["snmp"];
  if (snmp.isNull()) return true;
  if (!snmp.isObject()) {
    *error = "appSetting.snmp: not an object";
    return false;
  }
  Reader r(snmp);
  std::string text;
  if (r.Has("version")) {
    const Json::Value& given = snmp["version"];
    std::string v = given.isIntegral() ? std::to_string(given.asInt64()) : "";
    if (!given.isIntegral()) r.Text("version", &v);
    if (v == "1") {
      out->version = SNMP_VERSION_1;
    } else if (v == "2c" || v == "2C") {
      out->version = SNMP_VERSION_2c;
    } else if (v == "3") {
      out->version = SNMP_VERSION_3;
    } else if (!r.failed()) {
      r.Fail("version", "must be \"1\", \"2c\" or \"3\"");
    }
  }
  if (out->version != SNMP_VERSION_3 && r.Text("community", &text)) {
    if (text.empty() || text.size() > 64 || !IsPrintable(text)) {
      r.Fail("community", "must be 1..64 printable characters");
    }
    out->community = text;
  }
  long number = 0;
  number = out->timeout_us / 1000;
  r.Number("timeout_ms", kMinTimeoutMs, kMaxTimeoutMs, &number);
  out->timeout_us = number * 1000;
  number = out->retries;
  r.Number("retries", kMinRetries, kMaxRetries, &number);
  out->retries = static_cast<int>(number);
  r.Number("non_repeaters", 0, 1, &out->non_repeaters);
  r.Number("max_repetitions", 1, 100, &out->max_repetitions);

  if (out->version == SNMP_VERSION_3 && !r.failed()) {
    EnsureSnmpV3();
    if (!r.Text("user", &out->user) && !r.failed()) {
      r.Fail("user", "required for version 3");
    } else if (!r.failed() && (out->user.empty() || out->user.size() > 32 ||
                               !IsPrintable(out->user))) {
      r.Fail("user", "must be 1..32 printable characters");
    }
    std::string auth_pass, priv_pass;
    const std::string too_short =
        "must have at least " + std::to_string(kMinPassphrase) + " characters";
    if (r.Text("auth_pass", &auth_pass) && auth_pass.size() < kMinPassphrase)
      r.Fail("auth_pass", too_short);
    if (r.Text("priv_pass", &priv_pass) && priv_pass.size() < kMinPassphrase)
      r.Fail("priv_pass", too_short);
    int level = !priv_pass.empty()   ? SNMP_SEC_LEVEL_AUTHPRIV
                : !auth_pass.empty() ? SNMP_SEC_LEVEL_AUTHNOPRIV
                                     : SNMP_SEC_LEVEL_NOAUTH;
    r.Choice("level", kLevelNames, &level);
    int auth = NETSNMP_USMAUTH_HMACSHA1, priv = USM_CREATE_USER_PRIV_AES;
    r.Protocol("auth", v3::kAuthProtocols, &auth);
    r.Protocol("priv", v3::kPrivProtocols, &priv);
    if (level != SNMP_SEC_LEVEL_NOAUTH && auth_pass.empty())
      r.Fail("auth_pass", "required for level authNoPriv and authPriv");
    if (level == SNMP_SEC_LEVEL_AUTHPRIV && priv_pass.empty())
      r.Fail("priv_pass", "required for level authPriv");
    r.Text("context", &out->context);
    if (r.Text("engine_id", &text) && !v3::ParseEngineId(text, &out->engine_id))
      r.Fail("engine_id", "must be 10..64 hex digits");
    out->level = level;
    if (!r.failed() && level != SNMP_SEC_LEVEL_NOAUTH) {
      size_t len = 0;
      const oid* o = sc_get_auth_oid(auth, &len);
      if (o == nullptr) {
        r.Fail("auth", "not supported by this build");
      } else {
        out->auth_protocol.assign(o, o + len);
        if (!DeriveKey(out->auth_protocol, &auth_pass, &out->auth_key))
          r.Fail("auth_pass", "key derivation failed");
      }
    }
    if (!r.failed() && level == SNMP_SEC_LEVEL_AUTHPRIV) {
      size_t len = 0;
      const oid* o = sc_get_priv_oid(priv, &len);
      if (o == nullptr) {
        r.Fail("priv", "not supported by this build");
      } else {
        out->priv_protocol.assign(o, o + len);
        // The privacy key is derived with the authentication hash.
        if (!DeriveKey(out->auth_protocol, &priv_pass, &out->priv_key))
          r.Fail("priv_pass", "key derivation failed");
      }
    }
    WipeString(&auth_pass);
    WipeString(&priv_pass);
  }
  if (r.failed()) {
    *error = r.error();
    *out = SnmpSettings();
    return false;
  }
  return true;
}

void ApplyToTemplate(const SnmpSettings& s, netsnmp_session* templ) {
  WipeTemplateKeys(templ);
  templ->version = s.version;
  // The library copies all of these when a session is opened.
  templ->community =
      reinterpret_cast<u_char*>(const_cast<char*>(s.community.c_str()));
  templ->community_len = s.community.size();
  templ->timeout = s.timeout_us;
  templ->retries = s.retries;
  if (s.version != SNMP_VERSION_3) return;
  templ->securityModel = SNMP_SEC_MODEL_USM;
  templ->securityName = const_cast<char*>(s.user.c_str());
  templ->securityNameLen = s.user.size();
  templ->securityLevel = s.level;
  templ->contextName = const_cast<char*>(s.context.c_str());
  templ->contextNameLen = s.context.size();
  if (!s.auth_protocol.empty()) {
    templ->securityAuthProto = const_cast<oid*>(s.auth_protocol.data());
    templ->securityAuthProtoLen = s.auth_protocol.size();
    std::memcpy(templ->securityAuthKey, s.auth_key.data(), s.auth_key.size());
    templ->securityAuthKeyLen = s.auth_key.size();
  }
  if (!s.priv_protocol.empty()) {
    templ->securityPrivProto = const_cast<oid*>(s.priv_protocol.data());
    templ->securityPrivProtoLen = s.priv_protocol.size();
    std::memcpy(templ->securityPrivKey, s.priv_key.data(), s.priv_key.size());
    templ->securityPrivKeyLen = s.priv_key.size();
  }
}

void WipeTemplateKeys(netsnmp_session* templ) {
  templ->securityModel = SNMP_DEFAULT_SECMODEL;
  templ->securityLevel = 0;
  explicit_bzero(templ->securityAuthKey, sizeof templ->securityAuthKey);
  explicit_bzero(templ->securityPrivKey, sizeof templ->securityPrivKey);
  templ->securityAuthKeyLen = 0;
  templ->securityPrivKeyLen = 0;
  templ->securityAuthProto = nullptr;
  templ->securityAuthProtoLen = 0;
  templ->securityPrivProto = nullptr;
  templ->securityPrivProtoLen = 0;
  templ->securityName = nullptr;
  templ->securityNameLen = 0;
  templ->contextName = nullptr;
  templ->contextNameLen = 0;
  templ->securityEngineID = nullptr;
  templ->securityEngineIDLen = 0;
  templ->contextEngineID = nullptr;
  templ->contextEngineIDLen = 0;
}

}  // namespace inverter::snmp
