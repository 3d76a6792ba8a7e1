// Reading the simulated inverter's JSON profile and its timeline.
#include "profile.h"

#include <json/json.h>

#include <algorithm>
#include <cctype>
#include <cfloat>
#include <cmath>
#include <cstring>
#include <fstream>
#include <initializer_list>
#include <sstream>
#include <stdexcept>

#include "snmp_v3_names.h"

namespace inverter_sim {
namespace {

constexpr const char* kTypeNames[] = {"INTEGER", "Gauge32", "Opaque float",
                                      "OCTET STRING"};

[[noreturn]] void fail(const std::string& message) {
  throw std::runtime_error(message);
}

// The value object i has when no profile sets it.
Value from_default(std::size_t i) {
  const double value = kDefaultValues[i];
  switch (default_type(inverter::kReadings[i].type)) {
    case Type::Integer:
      return static_cast<long>(value);
    case Type::Gauge32:
      return static_cast<unsigned long>(value);
    case Type::OpaqueFloat:
      return static_cast<float>(value);
    case Type::OctetString:
      break;
  }
  return std::string();
}

Type type_of(const Value& value) { return static_cast<Type>(value.index()); }

// Rejects members other than `allowed`, so a misspelt name is reported
// instead of silently ignored.
void check_members(const Json::Value& object,
                   std::initializer_list<std::string> allowed,
                   const std::string& where) {
  if (!object.isObject()) fail(where + ": expected a JSON object");
  for (const auto& name : object.getMemberNames())
    if (std::find(allowed.begin(), allowed.end(), name) == allowed.end())
      fail(where + ": unknown member \"" + name + "\"");
}

[[noreturn]] void fail_key(const std::string& where) {
  fail(where + ": key must be an integer from " +
       std::to_string(inverter::kReadings.front().key) + " to " +
       std::to_string(inverter::kReadings.back().key));
}

int parse_key(const Json::Value& json, const std::string& where) {
  if (!json.isInt() || inverter::ReadingForKey(json.asInt()) < 0)
    fail_key(where);
  return json.asInt();
}

Type parse_type(const Json::Value& json, const std::string& where) {
  for (std::size_t i = 0; i < std::size(kTypeNames); ++i)
    if (json.isString() && json.asString() == kTypeNames[i])
      return static_cast<Type>(i);
  fail(where +
       ": type must be \"INTEGER\", \"Gauge32\", \"Opaque float\" or "
       "\"OCTET STRING\"");
}

Value parse_value(const Json::Value& json, Type type,
                  const std::string& where) {
  switch (type) {
    case Type::Integer:  // INTEGER is a signed 32-bit number on the wire
      if (json.isInt()) return static_cast<long>(json.asInt());
      break;
    case Type::Gauge32:
      if (json.isUInt()) return static_cast<unsigned long>(json.asUInt());
      break;
    case Type::OpaqueFloat:
      // Checked as a double first: narrowing an out-of-range double to
      // float is undefined.
      if (json.isNumeric() && std::fabs(json.asDouble()) <= FLT_MAX)
        return json.asFloat();
      break;
    case Type::OctetString:
      if (json.isString()) return json.asString();
      break;
  }
  fail(where + ": value does not fit type " + type_name(type));
}

void check_passphrase(const std::string& pass, const std::string& where) {
  if (pass.size() < 8 || pass.size() > 128 || pass.find('\0') != pass.npos)
    fail(where + " must have 8 to 128 characters (and no NUL)");
}

}  // namespace

User check_user(User user, const std::string& where) {
  namespace v3 = inverter::v3;
  // The name goes into configuration lines: one plain word.
  const auto plain = [](unsigned char c) {
    return std::isgraph(c) && !std::strchr("\"'\\#:", c);
  };
  if (user.name.empty() || user.name.size() > 32 || user.name[0] == '-' ||
      !std::all_of(user.name.begin(), user.name.end(), plain))
    fail(where +
         ": a user name has 1 to 32 printable characters without spaces, "
         "quotes, \\, # or :, and no - in front");
  const std::string at = where + ": user " + user.name;
  if (user.auth.empty()) {
    if (!user.auth_pass.empty() || !user.priv.empty() ||
        !user.priv_pass.empty())
      fail(at + ": privacy and passphrases need an authentication protocol");
    return user;
  }
  const auto* auth = v3::FindProtocol(user.auth, v3::kAuthProtocols);
  if (auth == nullptr)
    fail(at + ": authentication protocol must be " +
         v3::ProtocolNames(v3::kAuthProtocols, ", ", " or "));
  user.auth = auth->name;
  check_passphrase(user.auth_pass, at + ": authentication passphrase");
  if (user.priv.empty()) {
    if (!user.priv_pass.empty())
      fail(at + ": a privacy passphrase needs a privacy protocol");
    return user;
  }
  const auto* priv = v3::FindProtocol(user.priv, v3::kPrivProtocols);
  if (priv == nullptr)
    fail(at + ": privacy protocol must be " +
         v3::ProtocolNames(v3::kPrivProtocols, ", ", " or "));
  user.priv = priv->name;
  check_passphrase(user.priv_pass, at + ": privacy passphrase");
  return user;
}

User parse_user(const std::string& text, const std::string& where) {
  std::vector<std::string> fields;
  std::size_t from = 0;
  for (std::size_t colon;
       fields.size() < 4 && (colon = text.find(':', from)) != text.npos;
       from = colon + 1)
    fields.push_back(text.substr(from, colon - from));
  fields.push_back(text.substr(from));
  if (fields.size() != 1 && fields.size() != 3 && fields.size() != 5)
    fail(where + ": expected NAME, NAME:AUTH:AUTHPASS or " +
         "NAME:AUTH:AUTHPASS:PRIV:PRIVPASS");
  fields.resize(5);
  return check_user({fields[0], fields[1], fields[2], fields[3], fields[4]},
                    where);
}

const char* type_name(Type type) { return kTypeNames[static_cast<int>(type)]; }

std::string label(const inverter::Reading& reading) {
  std::string text = reading.name;
  if (*reading.unit) text += std::string(" (") + reading.unit + ")";
  return text;
}

std::string subtree_text() {
  std::string text;
  for (const unsigned arc : inverter::kSubtree)
    text += (text.empty() ? "" : ".") + std::to_string(arc);
  return text;
}

std::string to_string(const Value& value) {
  std::ostringstream out;
  std::visit(
      [&out](const auto& v) {
        if constexpr (std::is_same_v<std::decay_t<decltype(v)>, std::string>)
          out << '"' << v << '"';
        else
          out << v;
      },
      value);
  return out.str();
}

Profile default_profile() {
  Profile profile;
  for (std::size_t i = 0; i < kKeyCount; ++i)
    profile.objects[i] = from_default(i);
  return profile;
}

Profile load_profile(const std::string& path) {
  const std::string where = "profile " + path;
  std::ifstream in(path);
  if (!in) fail(where + ": cannot open file");
  Json::CharReaderBuilder builder;
  Json::CharReaderBuilder::strictMode(&builder.settings_);
  Json::Value json;
  std::string errors;
  if (!Json::parseFromStream(builder, in, &json, &errors)) {
    // JsonCpp reports the position and the error on separate, indented
    // lines: fold them into one.
    std::string line;
    std::istringstream words(errors);
    for (std::string word; words >> word;)
      if (word != "*") line += (line.empty() ? "" : " ") + word;
    fail(where + ": invalid JSON: " + line);
  }
  const Json::Value& root = json;
  check_members(root, {"description", "objects", "timeline", "users"}, where);

  Profile profile = default_profile();
  const Json::Value& objects = root["objects"];
  if (!objects.isNull() && !objects.isObject())
    fail(where + ": \"objects\" must be a JSON object");
  for (const auto& name : objects.getMemberNames()) {
    const std::string at = where + ": objects." + name;
    // Member names are strings; the key must still be a plain number.
    if (name.empty() || name.find_first_not_of("0123456789") != name.npos ||
        name.size() > 2)
      fail_key(at);
    const int key = parse_key(Json::Value(std::stoi(name)), at);
    const Json::Value& entry = objects[name];
    check_members(entry, {"type", "value"}, at);
    profile.objects[index_of(key)] =
        parse_value(entry["value"], parse_type(entry["type"], at), at);
  }

  const Json::Value& timeline = root["timeline"];
  if (!timeline.isNull() && !timeline.isArray())
    fail(where + ": \"timeline\" must be a JSON array");
  // Entries apply in time order; one without a type keeps the type the key
  // has at that moment, so follow the types along while checking values.
  std::vector<Json::ArrayIndex> order(timeline.size());
  for (Json::ArrayIndex i = 0; i < order.size(); ++i) {
    const std::string at = where + ": timeline[" + std::to_string(i) + "]";
    check_members(timeline[i], {"at", "key", "type", "value"}, at);
    const Json::Value& seconds = timeline[i]["at"];
    if (!seconds.isNumeric() || !std::isfinite(seconds.asDouble()) ||
        seconds.asDouble() < 0)
      fail(at + ": \"at\" must be a number of seconds >= 0");
    order[i] = i;
  }
  std::stable_sort(order.begin(), order.end(), [&](auto a, auto b) {
    return timeline[a]["at"].asDouble() < timeline[b]["at"].asDouble();
  });
  std::array<Type, kKeyCount> types;
  for (std::size_t i = 0; i < kKeyCount; ++i)
    types[i] = type_of(profile.objects[i]);
  for (const auto i : order) {
    const std::string at = where + ": timeline[" + std::to_string(i) + "]";
    const Json::Value& entry = timeline[i];
    const int key = parse_key(entry["key"], at);
    Type& type = types[index_of(key)];
    if (entry.isMember("type")) type = parse_type(entry["type"], at);
    profile.timeline.push_back(
        {entry["at"].asDouble(), key, parse_value(entry["value"], type, at)});
  }

  const Json::Value& users = root["users"];
  if (!users.isNull() && !users.isArray())
    fail(where + ": \"users\" must be a JSON array");
  for (Json::ArrayIndex i = 0; i < users.size(); ++i) {
    const std::string at = where + ": users[" + std::to_string(i) + "]";
    const Json::Value& entry = users[i];
    check_members(entry, {"name", "auth", "auth_pass", "priv", "priv_pass"},
                  at);
    // Values are never echoed: they may be passphrases.
    const auto text = [&](const char* member) {
      const Json::Value& value = entry[member];
      if (!value.isNull() && !value.isString())
        fail(at + ": \"" + member + "\" must be a string");
      return value.asString();
    };
    profile.users.push_back(
        check_user({text("name"), text("auth"), text("auth_pass"), text("priv"),
                    text("priv_pass")},
                   at));
  }
  return profile;
}

}  // namespace inverter_sim
