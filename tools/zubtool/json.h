// JSON output for scripts: values built in memory (nlohmann::ordered_json,
// members in the order added), written as one line.
#ifndef ZUBTOOL_JSON_H
#define ZUBTOOL_JSON_H

#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>

namespace zubtool {

class Json {
 public:
  Json() = default;  // null
  Json(const char* text) : value_(std::string(text)) {}
  Json(const std::string& text) : value_(text) {}
  Json(int64_t number) : value_(number) {}
  Json(int number) : Json(static_cast<int64_t>(number)) {}
  Json(bool value) : value_(value) {}
  static Json Object();
  static Json Array();

  // Members in the order added (objects), elements (arrays).
  Json& Add(const std::string& key, const Json& value);
  Json& Push(const Json& value);

  // One line: {"a": 1, "b": [true, null]}; text that is not UTF-8 has its
  // bad bytes replaced.
  std::string Text() const;
  const nlohmann::ordered_json& Value() const { return value_; }

 private:
  nlohmann::ordered_json value_;
};

}  // namespace zubtool

#endif  // ZUBTOOL_JSON_H
