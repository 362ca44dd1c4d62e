#include "json.h"

#include <cstdio>

namespace zubtool {

namespace {

std::string Quoted(const std::string& text) {
  std::string out = "\"";
  for (char c : text) {
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (static_cast<unsigned char>(c) < 0x20) {
          char escaped[8];
          std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
          out += escaped;
        } else {
          out += c;  // UTF-8 passes through
        }
    }
  }
  return out + "\"";
}

}  // namespace

Json::Json(const char* text) : scalar_(Quoted(text)) {}
Json::Json(const std::string& text) : scalar_(Quoted(text)) {}
Json::Json(int64_t number) : scalar_(std::to_string(number)) {}
Json::Json(bool value) : scalar_(value ? "true" : "false") {}

Json Json::Object() {
  Json j;
  j.kind_ = Kind::kObject;
  return j;
}

Json Json::Array() {
  Json j;
  j.kind_ = Kind::kArray;
  return j;
}

Json& Json::Add(const std::string& key, const Json& value) {
  members_.emplace_back(key, value);
  return *this;
}

Json& Json::Push(const Json& value) {
  members_.emplace_back(std::string(), value);
  return *this;
}

std::string Json::Text() const {
  if (kind_ == Kind::kScalar) return scalar_;
  const bool object = kind_ == Kind::kObject;
  std::string out = object ? "{" : "[";
  for (size_t i = 0; i < members_.size(); ++i) {
    if (i) out += ", ";
    if (object) out += Quoted(members_[i].first) + ": ";
    out += members_[i].second.Text();
  }
  return out + (object ? "}" : "]");
}

}  // namespace zubtool
