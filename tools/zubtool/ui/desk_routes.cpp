#include "desk_routes.h"

#include "card_routes.h"
#include "file_routes.h"

#include "key_list.h"
#include "commands.h"
#include "status.h"

#include <set>

namespace zubtool {
namespace ui {

namespace {

JsonValue KeysJson(const std::vector<Bytes>& keys) {
  JsonValue list = JsonValue::array();
  for (const auto& key : keys) list.push_back(HexText(key));
  return list;
}

// Sees the card when nothing else runs (request, anticollision, select,
// halt);
// while busy, the card as last seen and no card command.
Reply Status(Desk& desk) {
  Reply seen = desk.WithReader("the status check", [&desk](CardCalls& reader) {
    CardSession session(reader, PackedKeys());
    const int32_t r = desk.FindCard(session);
    // Halted, the card answers the next operation's first request: that
    // operation then sends what the same zubtool command sends.
    if (r == 0) reader.Halt();
    if (r > 0 && r != kNoCard) {
      JsonValue card = JsonValue::object();
      card["present"] = false;
      card["error"] = "no card selected: " + Describe(r);
      desk.SetLastCard(card);
    }
    return Reply::Ok(JsonValue::object());
  });
  JsonValue json = JsonValue::object();
  json["reader"] = desk.ReaderJson();
  JsonValue card = desk.LastCard();
  if (seen.status == 503) {
    card = JsonValue::object();
    card["present"] = false;
    card["error"] = seen.json.value("error", std::string("no reader"));
  } else if (card.is_null()) {
    card = JsonValue::object();
    card["present"] = false;
    card["error"] = "not seen yet";
  }
  json["card"] = card;
  const std::string busy = desk.Busy();
  json["busy"] = busy.empty() ? JsonValue(nullptr) : JsonValue(busy);
  json["job"] = desk.JobJson();
  json["keys"] = desk.KeyCount();
  return Reply::Ok(json);
}

// The keys to try, and whether zubtool's built-in list is among them (every
// one of its keys is), for the page to show what is tried; "own": those
// that are not the built-in list's.
Reply KeysToTry(Desk& desk) {
  const std::vector<Bytes> keys = desk.Keys();
  std::set<Bytes> builtIn;
  for (const auto& key : BuiltInKeys()) builtIn.insert(key);
  size_t found = 0;
  std::vector<Bytes> own;
  for (const auto& key : keys) {
    if (builtIn.count(key)) {
      ++found;
    } else {
      own.push_back(key);
    }
  }
  JsonValue json = JsonValue::object();
  json["keys"] = KeysJson(keys);
  json["builtIn"] = !builtIn.empty() && found == builtIn.size();
  json["own"] = KeysJson(own);
  return Reply::Ok(json);
}

// A dictionary larger than a request's body comes in parts, each of whole
// lines: the first sets the keys to try, the others ("append") add theirs
// after them, "firstLine" numbering their skipped lines within the file.
constexpr size_t kMostKeys = 1000000;

Reply SetKeys(Desk& desk, const Request& request) {
  const std::string text = StringField(request.body, "text", "");
  const bool builtIn = BoolField(request.body, "builtIn", false);
  const bool append = BoolField(request.body, "append", false);
  const int firstLine = static_cast<int>(IntField(request.body, "firstLine", 1, 1 << 30, 1));
  const KeyList list = ReadKeyList(text);
  UniqueKeys keys;
  if (append) {
    for (const auto& key : desk.Keys()) keys.Add(key);
  }
  const size_t before = keys.Size();
  for (const auto& key : list.keys) keys.Add(key);
  if (builtIn) {
    for (const auto& key : BuiltInKeys()) keys.Add(key);
  }
  JsonValue skipped = JsonValue::array();
  for (const auto& line : list.skipped) {
    skipped.push_back({{"line", line.line + firstLine - 1},
                       {"text", line.text},
                       {"reason", "not a key of 12 hex digits"}});
  }
  if (keys.Size() == 0) {
    // The keys to try stay as they were: a card operation needs at least one.
    Reply reply = Reply::Error(400, "no key to try: the text holds no key of 12 hex digits");
    reply.json["skipped"] = skipped;
    return reply;
  }
  if (keys.Size() > kMostKeys) {
    return Reply::Error(400, "more than " + std::to_string(kMostKeys) +
                                 " keys to try: the keys to try stay as they were");
  }
  const size_t count = keys.Size();
  std::vector<Bytes> taken = keys.Take();
  JsonValue json = JsonValue::object();
  // A part's reply does not send back the whole list each time.
  if (!append) json["keys"] = KeysJson(taken);
  json["count"] = count;
  json["added"] = count - before;
  json["skipped"] = skipped;
  desk.SetKeys(std::move(taken));
  return Reply::Ok(json);
}

}  // namespace

std::vector<Route> DeskRoutes(Desk& desk) {
  Desk* d = &desk;
  return {
      {"GET", "/api/status", [d](const Request&) { return Status(*d); }},
      {"GET", "/api/keys", [d](const Request&) { return KeysToTry(*d); }},
      {"POST", "/api/keys", [d](const Request& request) { return SetKeys(*d, request); }},
      {"GET", "/api/job",
       [d](const Request&) {
         return Reply::Ok(JsonValue{{"job", d->JobJson()}});
       }},
      {"POST", "/api/job/cancel", [d](const Request&) { return d->Cancel(); }},
  };
}

std::vector<Route> WorkbenchRoutes(Desk& desk) {
  std::vector<Route> routes = DeskRoutes(desk);
  for (auto& route : CardRoutes(desk)) routes.push_back(std::move(route));
  for (auto& route : FileRoutes(desk)) routes.push_back(std::move(route));
  return routes;
}

}  // namespace ui
}  // namespace zubtool
