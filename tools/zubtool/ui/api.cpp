#include "api.h"

#include <cstring>

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

std::string FieldWords(const char* name) {
  // "keyA" -> "key A", "byte9" -> "byte 9", "cardUid" -> "card UID".
  std::string words;
  for (const char* c = name; *c; ++c) {
    const bool upper = *c >= 'A' && *c <= 'Z', digit = *c >= '0' && *c <= '9';
    if ((upper || (digit && c != name && !(c[-1] >= '0' && c[-1] <= '9'))) && !words.empty())
      words += ' ';
    // A capital alone (key A) stays one; a word's capital starts a small word.
    const bool alone = upper && !(c[1] >= 'a' && c[1] <= 'z');
    words += upper && !alone ? static_cast<char>(*c - 'A' + 'a') : *c;
  }
  // Short names the page writes in capitals.
  for (const char* acronym : {"uid", "sak", "atqa"}) {
    const size_t at = words.find(acronym), size = std::strlen(acronym);
    const bool whole = at != std::string::npos && (at == 0 || words[at - 1] == ' ') &&
                       (at + size == words.size() || words[at + size] == ' ');
    if (whole) {
      for (size_t i = at; i < at + size; ++i) words[i] = static_cast<char>(words[i] - 'a' + 'A');
    }
  }
  return words;
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
  if (!value) ThrowBadRequest("the request gives no " + FieldWords(name));
  return *value;
}

std::string StringField(const JsonValue& body, const char* name) {
  const JsonValue& value = Field(body, name);
  if (!value.is_string()) ThrowBadRequest(FieldWords(name) + " must be text");
  return value.get<std::string>();
}

std::string StringField(const JsonValue& body, const char* name, const std::string& fallback) {
  return Find(body, name) ? StringField(body, name) : fallback;
}

int64_t IntField(const JsonValue& body, const char* name, int64_t low, int64_t high) {
  const JsonValue& value = Field(body, name);
  if (!value.is_number_integer()) ThrowBadRequest(FieldWords(name) + " must be a whole number");
  // A number above what int64 holds arrives as unsigned.
  if (value.is_number_unsigned() && value.get<uint64_t>() > static_cast<uint64_t>(high)) {
    ThrowBadRequest(FieldWords(name) + " must be from " + std::to_string(low) + " to " +
                    std::to_string(high));
  }
  const int64_t n = value.get<int64_t>();
  if (n < low || n > high) {
    ThrowBadRequest(FieldWords(name) + " must be from " + std::to_string(low) + " to " +
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
  if (!value->is_boolean()) ThrowBadRequest(FieldWords(name) + " must be true or false");
  return value->get<bool>();
}

std::vector<std::string> StringsField(const JsonValue& body, const char* name) {
  const JsonValue* value = Find(body, name);
  std::vector<std::string> strings;
  if (!value) return strings;
  if (!value->is_array()) ThrowBadRequest(FieldWords(name) + " must be a list of texts");
  for (const auto& item : *value) {
    if (!item.is_string()) ThrowBadRequest(FieldWords(name) + " must be a list of texts");
    strings.push_back(item.get<std::string>());
  }
  return strings;
}

}  // namespace ui
}  // namespace zubtool
