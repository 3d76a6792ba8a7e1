#pragma once
// JSON text of tests and benchmarks, read as strictly as the host program
// reads its configuration (no comments, nothing after the value, no key
// twice in an object), but of any type: a device's settings may be a number.

#include <json/json.h>

#include <memory>
#include <stdexcept>
#include <string>

namespace tarn::test {

// The value in `text`; throws std::runtime_error naming `what` and JsonCpp's
// complaint (never the text, which may hold a passphrase).
inline Json::Value ParseJson(const std::string& text,
                             const std::string& what = "JSON of a test") {
  Json::CharReaderBuilder builder;
  Json::CharReaderBuilder::strictMode(&builder.settings_);
  builder.settings_["strictRoot"] = false;
  const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
  Json::Value value;
  std::string errors;
  if (!reader->parse(text.data(), text.data() + text.size(), &value, &errors))
    throw std::runtime_error(what + ": not JSON: " + errors);
  return value;
}

}  // namespace tarn::test
