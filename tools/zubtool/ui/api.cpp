#include "api.h"

namespace zubtool {
namespace ui {

Reply Reply::Ok(JsonValue json, int status) {
  Reply reply;
  reply.status = status;
  reply.json = std::move(json);
  return reply;
}

Reply Reply::Error(int status, const std::string& message) {
  Reply reply;
  reply.status = status;
  reply.json = JsonValue::object();
  reply.json["error"] = message;
  return reply;
}

Reply Reply::File(std::string bytes, std::string contentType, std::string fileName) {
  Reply reply;
  reply.file = true;
  reply.bytes = std::move(bytes);
  reply.contentType = std::move(contentType);
  reply.fileName = std::move(fileName);
  return reply;
}

void ThrowBadRequest(const std::string& message) {
  throw BadRequest{message};
}

JsonValue TextList(const std::vector<std::string>& texts) {
  JsonValue list = JsonValue::array();
  for (const auto& t : texts) list.push_back(t);
  return list;
}

std::string Joined(const std::vector<std::string>& texts, const char* separator) {
  std::string out;
  for (const auto& t : texts) out += (out.empty() ? "" : separator) + t;
  return out;
}

namespace {

const JsonValue* Find(const JsonValue& body, const char* name) {
  if (!body.is_object()) ThrowBadRequest("the request body must be a JSON object");
  auto it = body.find(name);
  if (it == body.end() || it->is_null()) return nullptr;
  return &*it;
}

}  // namespace

const JsonValue& Field(const JsonValue& body, const char* name) {
  const JsonValue* value = Find(body, name);
  if (!value) ThrowBadRequest(std::string("the request lacks \"") + name + "\"");
  return *value;
}

std::string StringField(const JsonValue& body, const char* name) {
  const JsonValue& value = Field(body, name);
  if (!value.is_string()) ThrowBadRequest(std::string("\"") + name + "\" must be a string");
  return value.get<std::string>();
}

std::string StringField(const JsonValue& body, const char* name, const std::string& fallback) {
  return Find(body, name) ? StringField(body, name) : fallback;
}

int64_t IntField(const JsonValue& body, const char* name, int64_t low, int64_t high) {
  const JsonValue& value = Field(body, name);
  if (!value.is_number_integer())
    ThrowBadRequest(std::string("\"") + name + "\" must be a whole number");
  // A number above what int64 holds arrives as unsigned.
  if (value.is_number_unsigned() && value.get<uint64_t>() > static_cast<uint64_t>(high)) {
    ThrowBadRequest(std::string("\"") + name + "\" must be from " + std::to_string(low) + " to " +
                    std::to_string(high));
  }
  const int64_t n = value.get<int64_t>();
  if (n < low || n > high) {
    ThrowBadRequest(std::string("\"") + name + "\" must be from " + std::to_string(low) + " to " +
                    std::to_string(high));
  }
  return n;
}

int64_t IntField(const JsonValue& body, const char* name, int64_t low, int64_t high,
                 int64_t fallback) {
  return Find(body, name) ? IntField(body, name, low, high) : fallback;
}

bool BoolField(const JsonValue& body, const char* name, bool fallback) {
  const JsonValue* value = Find(body, name);
  if (!value) return fallback;
  if (!value->is_boolean()) ThrowBadRequest(std::string("\"") + name + "\" must be true or false");
  return value->get<bool>();
}

std::vector<std::string> StringsField(const JsonValue& body, const char* name) {
  const JsonValue* value = Find(body, name);
  std::vector<std::string> strings;
  if (!value) return strings;
  if (!value->is_array())
    ThrowBadRequest(std::string("\"") + name + "\" must be a list of strings");
  for (const auto& item : *value) {
    if (!item.is_string())
      ThrowBadRequest(std::string("\"") + name + "\" must be a list of strings");
    strings.push_back(item.get<std::string>());
  }
  return strings;
}

}  // namespace ui
}  // namespace zubtool
