// JSON output for scripts: values built in memory, written as one line.
#ifndef ZUBTOOL_JSON_H
#define ZUBTOOL_JSON_H

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace zubtool {

class Json {
 public:
  Json() = default;  // null
  Json(const char* text);
  Json(const std::string& text);
  Json(int64_t number);
  Json(int number) : Json(static_cast<int64_t>(number)) {}
  Json(bool value);
  static Json Object();
  static Json Array();

  // Members in the order added (objects), elements (arrays).
  Json& Add(const std::string& key, const Json& value);
  Json& Push(const Json& value);

  std::string Text() const;

 private:
  enum class Kind { kScalar, kObject, kArray };
  Kind kind_ = Kind::kScalar;
  std::string scalar_ = "null";  // the written form of a scalar
  std::vector<std::pair<std::string, Json>> members_;
};

}  // namespace zubtool

#endif  // ZUBTOOL_JSON_H
