#include "json.h"

namespace zubtool {

namespace {

using nlohmann::ordered_json;

std::string Scalar(const ordered_json& value) {
  return value.dump(-1, ' ', false, ordered_json::error_handler_t::replace);
}

void Write(const ordered_json& value, std::string* out) {
  if (value.is_object()) {
    *out += '{';
    bool first = true;
    for (const auto& member : value.items()) {
      if (!first) *out += ", ";
      first = false;
      *out += Scalar(ordered_json(member.key())) + ": ";
      Write(member.value(), out);
    }
    *out += '}';
  } else if (value.is_array()) {
    *out += '[';
    for (size_t i = 0; i < value.size(); ++i) {
      if (i) *out += ", ";
      Write(value[i], out);
    }
    *out += ']';
  } else {
    *out += Scalar(value);
  }
}

}  // namespace

Json Json::Object() {
  Json j;
  j.value_ = ordered_json::object();
  return j;
}

Json Json::Array() {
  Json j;
  j.value_ = ordered_json::array();
  return j;
}

Json& Json::Add(const std::string& key, const Json& value) {
  if (!value_.is_object()) value_ = ordered_json::object();
  value_[key] = value.value_;
  return *this;
}

Json& Json::Push(const Json& value) {
  if (!value_.is_array()) value_ = ordered_json::array();
  value_.push_back(value.value_);
  return *this;
}

std::string Json::Text() const {
  std::string out;
  Write(value_, &out);
  return out;
}

}  // namespace zubtool
