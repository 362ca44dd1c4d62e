#include "file_routes.h"

#include <cstdint>

#include "commands.h"
#include "image_file.h"
#include "image_json.h"
#include "key_list.h"
#include "restore_plan.h"
#include "status.h"
#include "verify.h"

namespace zubtool {
namespace ui {

namespace {

const Format kFormats[] = {Format::kRaw, Format::kMct, Format::kEml, Format::kJson, Format::kNfc};

// The extensions a format is known by, its usual one first.
std::vector<std::string> Extensions(Format format) {
  std::vector<std::string> extensions;
  for (const char* ext : {"mfd", "bin", "raw", "mct", "eml", "json", "nfc"}) {
    if (FormatOfPath(std::string("x.") + ext) == format)
      extensions.push_back(std::string(".") + ext);
  }
  return extensions;
}

Reply Formats(const Request&) {
  JsonValue list = JsonValue::array();
  for (Format format : kFormats) {
    JsonValue f = JsonValue::object();
    f["name"] = FormatName(format);
    f["extensions"] = TextList(Extensions(format));
    f["carriesUnknown"] = CarriesUnknown(format);
    // What the format writes for a byte the image does not know (WriteImage's
    // stand-ins): a file that cannot be restored as the image stands.
    f["unknownAs"] =
        CarriesUnknown(format)
            ? JsonValue()
            : JsonValue("zeros (a trailer's unknown access bytes: " + HexSpaced(SafeAccessBytes()) +
                        ")");
    list.push_back(f);
  }
  JsonValue json = JsonValue::object();
  json["formats"] = list;
  // The one that keeps everything an image knows: unknown bytes, UID, ATQA, SAK.
  json["default"] = FormatName(Format::kJson);
  return Reply::Ok(json);
}

Reply Open(const Request& request) {
  const std::string name = StringField(request.body, "name", "");
  const auto content = DecodeBase64(StringField(request.body, "data"));
  if (!content) return Reply::Error(400, "\"data\" is not base64");
  std::string error;
  Format format = Format::kRaw;
  // The format from the content, then the name's extension: as zubtool reads a file.
  std::vector<std::string> notes;
  auto image = LoadImageContent(*content, name.empty() ? "the file" : name, std::nullopt, &error,
                                &format, std::nullopt, &notes);
  if (!image) return Reply::Error(400, error);
  JsonValue json = JsonValue::object();
  json["format"] = FormatName(format);
  json["image"] = ImageToJson(*image);
  json["sectors"] = DescribeImage(*image);
  json["mad"] = DescribeMad(*image);
  json["ndef"] = DescribeNdef(*image);
  json["warnings"] = TextList(ImplausibleImage(*image));
  json["notes"] = TextList(notes);  // what the file left out
  json["unknownBytes"] = image->UnknownBytes();
  return Reply::Ok(json);
}

Reply DescribeRoute(const Request& request) {
  const CardImage image = ImageFromJson(Field(request.body, "image"));
  JsonValue json = JsonValue::object();
  json["sectors"] = DescribeImage(image);
  json["mad"] = DescribeMad(image);
  json["ndef"] = DescribeNdef(image);
  json["warnings"] = TextList(ImplausibleImage(image));
  return Reply::Ok(json);
}

bool IsCard(const JsonValue& side) {
  return side.is_string() && side.get<std::string>() == "card";
}

// The card read as `zubtool diff card` reads it, or the failure.
Reply ReadTheCard(CardSession& session, const Invocation& options, std::optional<CardImage>* out) {
  const CardInfo& card = session.Info();
  if (card.layout.sectors == 0) {
    return Reply::Error(422, "the card (" + card.layout.name + ") has no MIFARE Classic sectors");
  }
  CardImage image = ReadCard(session, card.layout, options.keyType);
  if (session.Lost()) {
    return CardFailure(502,
                       "the card was lost while it was read: " + zubtool::Describe(session.Lost()),
                       session.Lost());
  }
  *out = std::move(image);
  return Reply::Ok(JsonValue::object());
}

Reply Diff(Desk& desk, const Request& request) {
  const JsonValue& a = Field(request.body, "a");
  const JsonValue& b = Field(request.body, "b");
  if (IsCard(a) && IsCard(b))
    return Reply::Error(400, "compare the card with an image: both sides are the card");
  std::optional<CardImage> sides[2];
  const JsonValue* given[2] = {&a, &b};
  // The images first: a malformed one costs no card reading.
  for (int s = 0; s < 2; ++s) {
    if (IsCard(*given[s])) continue;
    if (!given[s]->is_object())
      throw BadRequest{std::string(s ? "the second" : "the first") +
                       " side must be an image or the card"};
    sides[s] = ImageFromJson(*given[s]);
  }
  for (int s = 0; s < 2; ++s) {
    if (sides[s]) continue;
    Reply read = desk.WithCard("diff: reading the card", [&](CardSession& session) {
      return ReadTheCard(session, desk.Options(), &sides[s]);
    });
    if (read.status != 200) return read;
  }
  const ImageDiff diff = CompareImages(*sides[0], *sides[1]);
  JsonValue json = JsonValue::object();
  json["a"] = ImageToJson(*sides[0]);
  json["b"] = ImageToJson(*sides[1]);
  json["same"] = diff.Same();
  json["sameLayout"] = diff.sameLayout;
  json["compared"] = diff.compared;
  json["ignored"] = diff.ignored;
  JsonValue blocks = JsonValue::array();
  for (const auto& d : diff.blocks) {
    JsonValue entry = JsonValue::object();
    JsonValue bytes = JsonValue::array(), unknown = JsonValue::array();
    for (int i = 0; i < kBlockSize; ++i) {
      const size_t at = static_cast<size_t>(i);
      if (d.differs[at]) bytes.push_back(i);
      if (!d.aKnown[at] || !d.bKnown[at]) unknown.push_back(i);
    }
    entry["block"] = d.block;
    entry["sector"] = SectorOfBlock(d.block);
    entry["trailer"] = IsTrailer(d.block);
    entry["a"] = SideHex(d.a, d.aKnown);
    entry["b"] = SideHex(d.b, d.bKnown);
    entry["aAscii"] = SideAscii(d.a, d.aKnown);
    entry["bAscii"] = SideAscii(d.b, d.bKnown);
    entry["bytes"] = bytes;
    entry["unknown"] = unknown;
    entry["differing"] = DifferingBytesText(d);
    entry["changes"] = TextList(DescribeChange(d));
    blocks.push_back(entry);
  }
  json["blocks"] = blocks;
  return Reply::Ok(json);
}

// A restore's request: the image, and its options as `zubtool restore` takes
// them ("trailers" is --trailers --force, "block0" is --block0, "keyA" and
// "keyB" are --key-a and --key-b). Conditions that can never be undone are
// not refused here: they need the request's "confirm" instead. "safePart"
// plans only what cannot harm the card (PlanRestore's `safePart`); "cardUid"
// is the card the page shows, whose UID the image's is compared with.
struct RestoreRequest {
  CardImage image;
  bool trailers = false;
  bool notACardImage = false;
  bool safePart = false;
  WritePermissions permissions;
  std::optional<Bytes> cardUid;
};

std::optional<Bytes> KeyField(const JsonValue& body, const char* name) {
  const std::string text = StringField(body, name, "");
  if (text.empty()) return std::nullopt;
  auto key = ParseHex(text);
  if (!key || key->size() != static_cast<size_t>(kKeySize)) {
    throw BadRequest{FieldWords(name) + " must be 12 hex digits"};
  }
  return key;
}

RestoreRequest ParseRestoreRequest(const JsonValue& body) {
  RestoreRequest r;
  r.image = ImageFromJson(Field(body, "image"));
  r.trailers = BoolField(body, "trailers", false);
  r.notACardImage = BoolField(body, "notACardImage", false);
  r.safePart = BoolField(body, "safePart", false);
  r.cardUid = CardUidField(body);
  r.permissions.force = r.trailers;
  r.permissions.block0 = BoolField(body, "block0", false);
  r.permissions.irreversible = true;
  r.permissions.keyA = KeyField(body, "keyA");
  r.permissions.keyB = KeyField(body, "keyB");
  return r;
}

// What a restore would do, decided once for the plan and for the restore:
// the plan, and the refusal (422) when the restore would write nothing.
struct RestoreDecision {
  RestorePlan plan;
  std::vector<std::string> implausible;
  std::optional<Reply> refusal;
};

RestoreDecision Decide(const RestoreRequest& r) {
  RestoreDecision d{PlanRestore(r.image, r.trailers, r.permissions, r.safePart),
                    ImplausibleImage(r.image), std::nullopt};
  // The safe part writes none of the blocks the warnings are about.
  if (!d.implausible.empty() && !r.notACardImage && !r.safePart) {
    d.refusal = Reply::Error(422, "not a plausible card image (" + Joined(d.implausible, "; ") +
                                      "); nothing was written");
    d.refusal->json["warnings"] = TextList(d.implausible);
  } else if (!d.plan.refusals.empty()) {
    d.refusal = Reply::Error(422, Joined(d.plan.refusals, "\n") + "\nnothing was written");
    d.refusal->json["refused"] = TextList(d.plan.refusals);
  }
  return d;
}

// Another card's image: its UID is not the card's. Empty when the same or
// either is not known.
std::string OtherCard(const RestoreRequest& r) {
  const auto uid = r.image.Uid();
  if (!uid || !r.cardUid || *uid == *r.cardUid) return "";
  return "the image is of the card " + HexText(*uid) + ", the card shown is " +
         HexText(*r.cardUid) +
         (r.permissions.block0 ? ": writing block 0 would give it the image's UID"
                               : ": the data is copied, block 0 is kept");
}

JsonValue PlanJson(const RestoreDecision& d, const RestoreRequest& r) {
  const RestorePlan& plan = d.plan;
  JsonValue json = JsonValue::object();
  JsonValue writes = JsonValue::array(), skipped = JsonValue::array();
  for (const auto& w : plan.writes) {
    JsonValue entry = JsonValue::object();
    entry["block"] = w.block;
    entry["sector"] = SectorOfBlock(w.block);
    entry["data"] = HexText(w.data);
    entry["what"] = WhatBlockIs(w.block);
    writes.push_back(entry);
  }
  for (const auto& s : plan.skipped) {
    JsonValue entry = JsonValue::object();
    entry["block"] = s.block;
    entry["sector"] = SectorOfBlock(s.block);
    entry["reason"] = s.reason;
    entry["unknown"] = s.unknown;
    entry["refused"] = s.refused;
    skipped.push_back(entry);
  }
  json["writes"] = writes;
  json["skipped"] = skipped;
  json["refused"] = TextList(plan.refusals);
  json["confirm"] = TextList(plan.irreversible);
  json["warnings"] = TextList(d.implausible);
  json["unknownBytes"] = r.image.UnknownBytes();
  const std::string other = OtherCard(r);
  json["otherCard"] = other.empty() ? JsonValue() : JsonValue(other);
  json["safePart"] = r.safePart;
  // Whether POST /api/restore with this request writes (after "confirm"), and
  // why not.
  json["writable"] = !d.refusal && !plan.writes.empty();
  json["refusal"] = d.refusal ? d.refusal->json["error"] : JsonValue();
  return json;
}

Reply Plan(const Request& request) {
  const RestoreRequest r = ParseRestoreRequest(request.body);
  return Reply::Ok(PlanJson(Decide(r), r));
}

JsonValue BlockResult(int block, const WriteOutcome& outcome, const CardSession& session) {
  JsonValue entry = JsonValue::object();
  const Access& access = outcome.access;
  entry["block"] = block;
  entry["ok"] = access.result == 0 && outcome.failure.empty();
  entry["verified"] = access.result == 0 && outcome.checked && outcome.failure.empty();
  entry["verification"] = access.result == 0 ? VerificationText(outcome, true) : "failed";
  entry["held"] = outcome.checked ? JsonValue(HexText(outcome.held)) : JsonValue();
  entry["notes"] = TextList(outcome.notes);
  if (access.keyIndex >= 0) {
    entry["keyType"] = KeyName(access.keyType);
    entry["key"] = HexText(session.Key(access.keyIndex));
  } else {
    entry["keyType"] = nullptr;
    entry["key"] = nullptr;
  }
  if (access.result == 0 && outcome.failure.empty()) {
    entry["error"] = nullptr;
  } else if (access.result == 0) {
    entry["error"] = outcome.failure;
  } else {
    std::string why = AccessFailure(access, "block " + std::to_string(block), block, session);
    if (block == 0 && access.authenticated) why += " (genuine cards never let block 0 be written)";
    entry["error"] = why;
    entry["code"] = access.result;
    entry["codeName"] = StatusName(access.result);
  }
  return entry;
}

Reply Restore(Desk& desk, const Request& request) {
  const RestoreRequest r = ParseRestoreRequest(request.body);
  const CardImage& image = r.image;
  // Every check before the card is touched, as zubtool restore makes them.
  const RestoreDecision decision = Decide(r);
  if (decision.refusal) return *decision.refusal;
  const RestorePlan& plan = decision.plan;
  if (!plan.irreversible.empty()) {
    const bool given = request.body.is_object() && request.body.contains("confirm") &&
                       !request.body["confirm"].is_null();
    if (!given || StringsField(request.body, "confirm") != plan.irreversible) {
      Reply reply = Reply::Error(
          428, "the trailers written can never be undone: " + Joined(plan.irreversible, "; "));
      reply.json["confirm"] = TextList(plan.irreversible);
      return reply;
    }
  }
  return desk.WithCard("restore", [&](CardSession& found) {
    // The keys the image holds for each sector are tried first, then the desk's.
    std::vector<Bytes> keys = ImageKeys(image);
    keys.insert(keys.end(), found.Keys().begin(), found.Keys().end());
    CardSession session(found.Reader(), keys);
    // The card is still selected by the session that found it: it answers
    // the first request with "no card" and goes back to idle, and the
    // second finds it, as the desk does.
    int32_t result = session.Find();
    if (result == kNoCard) result = session.Find();
    if (result) return Desk::CardNotFound(result);
    // Meant for the card shown: another card on the reader gets nothing.
    if (auto other = Desk::OtherCard(r.cardUid, session)) return *other;
    const CardInfo& card = session.Info();
    if (card.layout.sectors != image.Layout().sectors &&
        (!r.notACardImage || card.layout.sectors == 0)) {
      return Reply::Error(422, "the image is for a " + image.Layout().name + ", the card is a " +
                                   card.layout.name + "; nothing was written");
    }
    const int cardBlocks = card.layout.Blocks();
    JsonValue results = JsonValue::array();
    int written = 0, failed = 0;
    std::vector<std::string> keyBData;  // sectors whose new conditions show key B
    std::vector<Bytes> newKeys;         // the keys of the trailers written
    for (const auto& w : plan.writes) {
      if (w.block >= cardBlocks) break;
      WriteOutcome outcome;
      if (session.Lost()) {
        outcome.access.result = session.Lost();
      } else {
        outcome = WriteVerified(session, desk.Options().keyType, w.block, w.data, true,
                                SectorKeyIndices(image, SectorOfBlock(w.block), keys));
      }
      JsonValue entry = BlockResult(w.block, outcome, session);
      if (entry["ok"].get<bool>()) {
        ++written;
        auto conditions = IsTrailer(w.block) ? DecodeAccessBits(w.data) : std::nullopt;
        const bool keyBIsData = conditions && KeyBReadable(conditions->group[kTrailerGroup]);
        if (keyBIsData) keyBData.push_back(std::to_string(SectorOfBlock(w.block)));
        // A trailer's keys join the keys to try, as a written trailer's do.
        if (IsTrailer(w.block)) {
          newKeys.emplace_back(w.data.begin(), w.data.begin() + kKeySize);
          if (!keyBIsData) newKeys.emplace_back(w.data.end() - kKeySize, w.data.end());
        }
      } else {
        ++failed;
      }
      results.push_back(entry);
    }
    JsonValue json = JsonValue::object();
    json["results"] = results;
    json["written"] = written;
    json["failed"] = failed;
    json["cardUid"] = HexText(card.serial.uid);
    JsonValue added = JsonValue::array();
    for (const auto& key : desk.AddKeys(newKeys)) added.push_back(HexText(key));
    json["keysAdded"] = added;
    json["sameCard"] = image.Uid() ? JsonValue(*image.Uid() == card.serial.uid) : JsonValue();
    JsonValue warnings = JsonValue::array();
    if (!keyBData.empty()) {
      warnings.push_back("the conditions written let key A read key B in sector" +
                         std::string(keyBData.size() > 1 ? "s " : " ") + Joined(keyBData, ", ") +
                         ": key B is then data, not a key (it can no longer open the sector)");
    }
    json["warnings"] = warnings;
    return Reply::Ok(json);
  });
}

Reply Export(const Request& request) {
  const CardImage image = ImageFromJson(Field(request.body, "image"));
  const std::string name = StringField(request.body, "format");
  const auto format = FormatByName(name);
  if (!format)
    return Reply::Error(400, "format must be one of " + FormatNames() + ": '" + name + "'");
  const Bytes content = WriteImage(image, *format);
  const char* type = *format == Format::kRaw    ? "application/octet-stream"
                     : *format == Format::kJson ? "application/json"
                                                : "text/plain; charset=utf-8";
  return Reply::File(std::string(content.begin(), content.end()), type,
                     ExportFileName(image, *format));
}

// A keys file checked line by line as POST /api/keys reads it (the same
// parser, a line at a time), without setting the keys: which lines hold no
// key, which repeat an earlier line's key, and the text without those repeats.
Reply CheckKeys(const Request& request) {
  const std::string text = StringField(request.body, "text");
  UniqueKeys keys;
  JsonValue skipped = JsonValue::array(), duplicates = JsonValue::array();
  std::string tidy;
  int number = 0;
  for (size_t at = 0; at <= text.size();) {
    size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    const std::string line = text.substr(at, end - at);
    const bool last = end == text.size();
    at = end + 1;
    ++number;
    const KeyList parsed = ReadKeyList(line);
    bool repeat = false;
    if (!parsed.keys.empty()) repeat = !keys.Add(parsed.keys[0]);
    for (const auto& s : parsed.skipped) {
      skipped.push_back(
          {{"line", number}, {"text", s.text}, {"reason", "not a key of 12 hex digits"}});
    }
    if (repeat) {
      duplicates.push_back(number);
    } else if (!(last && line.empty())) {
      tidy += line + (last ? "" : "\n");
    }
  }
  JsonValue json = JsonValue::object();
  json["count"] = keys.Size();
  json["skipped"] = skipped;
  json["duplicates"] = duplicates;
  json["tidy"] = tidy;
  return Reply::Ok(json);
}

// The keys to try as a keys file: one key a line, in the order they are tried.
Reply KeysDownload(const Desk& desk) {
  const std::vector<Bytes> keys = desk.Keys();
  std::string text = "# zubtool ui: the keys to try, " + std::to_string(keys.size()) + " keys\n";
  for (const auto& key : keys) text += HexText(key) + "\n";
  return Reply::File(text, "text/plain; charset=utf-8", "keys-to-try.keys");
}

}  // namespace

std::optional<Bytes> DecodeBase64(const std::string& text) {
  if (text.size() % 4) return std::nullopt;
  auto value = [](char c) -> int {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
  };
  Bytes out;
  out.reserve(text.size() / 4 * 3);
  for (size_t at = 0; at < text.size(); at += 4) {
    const bool last = at + 4 == text.size();
    int pad = 0;
    if (last) pad = (text[at + 3] == '=') + (text[at + 2] == '=' && text[at + 3] == '=');
    uint32_t group = 0;
    for (size_t i = 0; i < 4; ++i) {
      int v = 0;
      if (i < static_cast<size_t>(4 - pad)) {
        v = value(text[at + i]);
        if (v < 0) return std::nullopt;  // includes a '=' out of place
      }
      group = group << 6 | static_cast<uint32_t>(v);
    }
    // The bits past the last byte must be zero: one text, one content.
    if ((pad == 1 && (group & 0xFF)) || (pad == 2 && (group & 0xFFFF))) return std::nullopt;
    out.push_back(static_cast<uint8_t>(group >> 16));
    if (pad < 2) out.push_back(static_cast<uint8_t>(group >> 8));
    if (pad < 1) out.push_back(static_cast<uint8_t>(group));
  }
  return out;
}

std::string ExportFileName(const CardImage& image, Format format) {
  const auto uid = image.Uid();
  const auto extensions = Extensions(format);
  return (uid ? HexText(*uid) : std::string("card")) + extensions.front();
}

std::vector<Route> FileRoutes(Desk& desk) {
  return {
      {"GET", "/api/formats", Formats},
      {"POST", "/api/image/open", Open},
      {"POST", "/api/image/describe", DescribeRoute},
      {"POST", "/api/diff", [&desk](const Request& r) { return Diff(desk, r); }},
      {"POST", "/api/restore/plan", Plan},
      {"POST", "/api/restore", [&desk](const Request& r) { return Restore(desk, r); }},
      {"POST", "/api/image/export", Export},
      {"POST", "/api/keys/check", CheckKeys},
      {"POST", "/api/keys/download", [&desk](const Request&) { return KeysDownload(desk); }},
  };
}

}  // namespace ui
}  // namespace zubtool
