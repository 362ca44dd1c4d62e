// One request of the workbench's JSON API and its reply, as the routes see
// them: the HTTP server (server.*) has checked the token, Host and Origin and
// parsed the body before a route runs.
#ifndef ZUBTOOL_UI_API_H
#define ZUBTOOL_UI_API_H

#include <functional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace zubtool {
namespace ui {

using JsonValue = nlohmann::ordered_json;

struct Request {
  std::string method;  // "GET", "POST"
  std::string path;    // "/api/card/read"
  JsonValue body;      // the parsed body; null for a GET or an empty body
};

struct Reply {
  int status = 200;
  JsonValue json = JsonValue::object();
  // A file instead of JSON: its bytes, type and name (Content-Disposition).
  bool file = false;
  std::string bytes, contentType, fileName;

  static Reply Ok(JsonValue json, int status = 200);
  // {"error": message}
  static Reply Error(int status, const std::string& message);
  static Reply File(std::string bytes, std::string contentType, std::string fileName);
};

using Handler = std::function<Reply(const Request&)>;

struct Route {
  std::string method, path;
  Handler handler;
};

// Thrown by the field readers below for a body of the wrong shape; the server
// answers it with 400 and its text.
struct BadRequest {
  std::string message;
};
[[noreturn]] void ThrowBadRequest(const std::string& message);

// A list of texts as a JSON array, and as one text.
JsonValue TextList(const std::vector<std::string>& texts);
std::string Joined(const std::vector<std::string>& texts, const char* separator);

// Fields of a request body. A field absent (or null) gives the fallback where
// there is one; present with the wrong type, or absent without a fallback,
// throws BadRequest naming it.
// A field's name in words for messages: "keyA" -> "key A", "cardUid" ->
// "card UID" (the page shows messages, not the JSON's names).
std::string FieldWords(const char* name);
const JsonValue& Field(const JsonValue& body, const char* name);
std::string StringField(const JsonValue& body, const char* name);
std::string StringField(const JsonValue& body, const char* name, const std::string& fallback);
int64_t IntField(const JsonValue& body, const char* name, int64_t low, int64_t high);
int64_t IntField(const JsonValue& body, const char* name, int64_t low, int64_t high,
                 int64_t fallback);
bool BoolField(const JsonValue& body, const char* name, bool fallback);
std::vector<std::string> StringsField(const JsonValue& body, const char* name);

}  // namespace ui
}  // namespace zubtool

#endif  // ZUBTOOL_UI_API_H
