#include "profile.h"

#include <json/json.h>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <fstream>
#include <initializer_list>
#include <sstream>
#include <stdexcept>

namespace inverter_sim {
namespace {

constexpr const char* kTypeNames[] = {"INTEGER", "Gauge32", "Opaque float",
                                      "OCTET STRING"};

[[noreturn]] void fail(const std::string& message) {
  throw std::runtime_error(message);
}

Value from_default(const KeyInfo& info) {
  switch (info.type) {
    case Type::Integer:
      return static_cast<long>(info.value);
    case Type::Gauge32:
      return static_cast<unsigned long>(info.value);
    case Type::OpaqueFloat:
      return static_cast<float>(info.value);
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

int parse_key(const Json::Value& json, const std::string& where) {
  const int last = kFirstKey + static_cast<int>(kKeyCount) - 1;
  if (!json.isInt() || json.asInt() < kFirstKey || json.asInt() > last)
    fail(where + ": key must be an integer from 2 to 17");
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

}  // namespace

const char* type_name(Type type) { return kTypeNames[static_cast<int>(type)]; }

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
    profile.objects[i] = from_default(kKeys[i]);
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
  check_members(root, {"description", "objects", "timeline"}, where);

  Profile profile = default_profile();
  const Json::Value& objects = root["objects"];
  if (!objects.isNull() && !objects.isObject())
    fail(where + ": \"objects\" must be a JSON object");
  for (const auto& name : objects.getMemberNames()) {
    const std::string at = where + ": objects." + name;
    // Member names are strings; the key must still be a plain number.
    if (name.empty() || name.find_first_not_of("0123456789") != name.npos ||
        name.size() > 2)
      fail(at + ": key must be an integer from 2 to 17");
    const int key = parse_key(Json::Value(std::stoi(name)), at);
    const Json::Value& entry = objects[name];
    check_members(entry, {"type", "value"}, at);
    profile.objects[key - kFirstKey] =
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
    Type& type = types[key - kFirstKey];
    if (entry.isMember("type")) type = parse_type(entry["type"], at);
    profile.timeline.push_back(
        {entry["at"].asDouble(), key, parse_value(entry["value"], type, at)});
  }
  return profile;
}

}  // namespace inverter_sim
