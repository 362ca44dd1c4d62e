#include "card_routes.h"

#include <chrono>
#include <cstdint>
#include <limits>
#include <memory>
#include <mutex>
#include <stdexcept>

#include "commands.h"
#include "format_card.h"
#include "image_json.h"
#include "key_search.h"
#include "library_reader.h"
#include "mad.h"
#include "ndef.h"
#include "value_op.h"
#include "status.h"
#include "verify.h"

namespace zubtool {
namespace ui {

namespace {

// Hex of exactly `size` bytes, or 400 naming the field.
Bytes HexField(const JsonValue& body, const char* name, size_t size) {
  const std::string text = StringField(body, name);
  auto bytes = ParseHex(text);
  if (!bytes || bytes->size() != size) {
    throw BadRequest{FieldWords(name) + " must be " + std::to_string(size) + " bytes as " +
                     std::to_string(2 * size) + " hex digits: '" + text + "'"};
  }
  return *bytes;
}

// A block to write, as `zubtool write` takes it: its number, 16 bytes, and
// what the request allows.
struct BlockWrite {
  int block = 0;
  Bytes data;
  WritePermissions permissions;
};

// A refusal of CheckBlockWrite in the request's terms: the permissions are
// fields of the request (conditions that cannot be undone need "confirm").
std::string RequestRefusal(BlockWrite* w) {
  static const PermissionNames kFields = {"\"a trailer (force)\" ticked",
                                          "each consequence confirmed", "\"block 0\" ticked",
                                          nullptr, nullptr};
  auto refusal = CheckBlockWrite(w->block, &w->data, w->permissions);
  return refusal ? RefusalText(*refusal, kFields) : "";
}

BlockWrite ParseBlockWrite(const JsonValue& body) {
  BlockWrite w;
  w.block = static_cast<int>(IntField(body, "block", 0, 255));
  w.data = HexField(body, "data", kBlockSize);
  w.permissions.force = BoolField(body, "force", false);
  w.permissions.block0 = BoolField(body, "block0", false);
  // The keys a trailer is to hold where its data has zeros (the card shows
  // key A, and a hidden key B, as zeros), as --key-a and --key-b give them.
  for (const char* name : {"keyA", "keyB"}) {
    if (body.is_object() && body.contains(name) && !body[name].is_null())
      (name[3] == 'A' ? w.permissions.keyA : w.permissions.keyB) = HexField(body, name, kKeySize);
  }
  // Conditions that cannot be undone are not refused here: they need the
  // request's "confirm" instead of --irreversible.
  w.permissions.irreversible = true;
  return w;
}

// "current": what the trailer holds now as the page knows it ({"keyA",
// "keyB", "accessBits"}, each hex or null); none when not given.
std::optional<TrailerNow> TrailerNowField(const JsonValue& body) {
  if (!body.is_object() || !body.contains("current") || body["current"].is_null())
    return std::nullopt;
  const JsonValue& current = body["current"];
  if (!current.is_object()) throw BadRequest{"what the trailer holds now must be an object"};
  TrailerNow now;
  auto part = [&](const char* name, size_t size, std::optional<Bytes>* out) {
    if (current.contains(name) && !current[name].is_null()) *out = HexField(current, name, size);
  };
  part("keyA", kKeySize, &now.keyA);
  part("keyB", kKeySize, &now.keyB);
  part("accessBits", 3, &now.accessBits);
  return now;
}

// What a trailer write changes, in words, when the request says what the
// trailer holds now; empty for other blocks.
std::vector<std::string> Changes(const BlockWrite& w, const JsonValue& body) {
  if (!IsTrailer(w.block)) return {};
  const auto now = TrailerNowField(body);
  return now ? TrailerChanges(SectorOfBlock(w.block), *now, w.data) : std::vector<std::string>();
}

// What can never be undone once `data` is in trailer `block`; empty for
// other blocks and for access bits that do not decode.
std::vector<std::string> Consequences(int block, const Bytes& data) {
  if (!IsTrailer(block)) return {};
  auto conditions = DecodeAccessBits(data);
  if (!conditions) return {};
  return IrreversibleEffects(SectorOfBlock(block), *conditions);
}

std::string OffTheCard(int block, const CardLayout& layout) {
  if (layout.sectors > 0 && block < layout.Blocks()) return "";
  return "block " + std::to_string(block) + " is outside the card (" + layout.name +
         (layout.sectors ? ": blocks 0 to " + std::to_string(layout.Blocks() - 1) : "") + ")";
}

void AddOpenedWith(JsonValue& json, const Access& access, const CardSession& session) {
  if (access.keyIndex < 0) {
    json["keyType"] = nullptr;
    json["key"] = nullptr;
  } else {
    json["keyType"] = KeyName(access.keyType);
    json["key"] = HexText(session.Key(access.keyIndex));
  }
}

// The words of one condition, without the group it was given to.
std::string ConditionWords(int condition, bool trailer) {
  AccessConditions c;
  // A trailer condition that leaves key B a key: data rights given to key B count.
  c.group[0] = c.group[1] = c.group[2] = 0;
  c.group[kTrailerGroup] = 0b011;
  if (trailer) {
    c.group[kTrailerGroup] = condition;
  } else {
    c.group[0] = condition;
  }
  const std::string line = DescribeConditions(c, -1)[trailer ? kTrailerGroup : 0];
  const size_t colon = line.find(": ");
  return colon == std::string::npos ? line : line.substr(colon + 2);
}

// The last key search, for its keys file.
struct LastSearch {
  std::mutex mutex;
  bool ran = false;
  CardInfo card;
  CardLayout layout;
  std::vector<SectorKeys> found;
  bool interrupted = false;
};

JsonValue FoundJson(const std::vector<SectorKeys>& found) {
  JsonValue list = JsonValue::array();
  for (size_t sector = 0; sector < found.size(); ++sector) {
    const SectorKeys& s = found[sector];
    JsonValue entry = JsonValue::object();
    entry["sector"] = static_cast<int>(sector);
    entry["keyA"] = HexOrNull(s.keyA);
    entry["keyB"] = HexOrNull(s.keyB);
    entry["keyBReadable"] = s.keyBReadable;
    JsonValue notFound = JsonValue::object();
    notFound["A"] = s.notFound[kKeyA];
    notFound["B"] = s.notFound[kKeyB];
    entry["notFound"] = notFound;
    list.push_back(entry);
  }
  return list;
}

Reply ReadRoute(Desk& desk) {
  return desk.WithCard("reading the card", [&](CardSession& session) {
    const CardInfo& card = session.Info();
    if (card.layout.sectors == 0) {
      return Reply::Error(422, "the card (" + card.layout.name + ", SAK " + HexText({card.sak}) +
                                   ") has no MIFARE Classic sectors");
    }
    std::vector<SectorDump> dumps;
    const CardImage image = ReadCard(session, card.layout, desk.Options().keyType,
                                     [&](int, const SectorDump& dump) { dumps.push_back(dump); });
    JsonValue sectors = DescribeImage(image);
    bool complete = dumps.size() == static_cast<size_t>(card.layout.sectors);
    for (size_t sector = 0; sector < sectors.size(); ++sector) {
      JsonValue read = JsonValue::object();
      if (sector >= dumps.size()) {  // the card was lost before this sector
        read["opened"] = false;
        read["keyA"] = read["keyB"] = nullptr;
        read["keyBRead"] = false;
        read["refused"] = "not read: the card was lost";
        read["unreadable"] = JsonValue::array();
        sectors[sector]["read"] = read;
        continue;
      }
      const SectorDump& dump = dumps[sector];
      const bool opened = dump.keyA || (dump.keyB && !dump.keyBRead);
      read["opened"] = opened;
      read["keyA"] = HexOrNull(dump.keyA);
      read["keyB"] = HexOrNull(dump.keyB);
      read["keyBRead"] = dump.keyBRead;
      read["refused"] = opened ? JsonValue(nullptr) : JsonValue(Refusals(dump.refused));
      JsonValue unreadable = JsonValue::array();
      const int first = FirstBlock(static_cast<int>(sector));
      for (size_t i = 0; i < dump.blocks.size(); ++i) {
        if (dump.blocks[i]) continue;
        complete = false;
        JsonValue b = JsonValue::object();
        b["block"] = first + static_cast<int>(i);
        // Every unreadable block says why: the read's result, or the keys refused.
        int32_t code = dump.results[i];
        if (opened) {
          b["error"] = Describe(code);
        } else {
          code = dump.refused[kKeyA].value_or(dump.refused[kKeyB].value_or(1));
          b["error"] = "no key to try opens the sector: " + Refusals(dump.refused);
        }
        b["code"] = code;
        unreadable.push_back(b);
      }
      read["unreadable"] = unreadable;
      sectors[sector]["read"] = read;
    }
    JsonValue json = JsonValue::object();
    json["card"] = desk.LastCard();
    json["image"] = ImageToJson(image);
    json["sectors"] = sectors;
    json["mad"] = DescribeMad(image);
    json["ndef"] = DescribeNdef(image);
    json["complete"] = complete && !session.Lost();
    json["lost"] = session.Lost()
                       ? JsonValue("the card was lost during the read: " + Describe(session.Lost()))
                       : JsonValue(nullptr);
    const std::string simulated = LibraryReader::VirtualReader();
    json["virtualReader"] = simulated.empty() ? JsonValue(nullptr) : JsonValue(simulated);
    return Reply::Ok(json);
  });
}

Reply CheckRoute(const Request& request) {
  const JsonValue& body = request.body;
  BlockWrite w = ParseBlockWrite(body);
  const std::string cardName = StringField(body, "card", "1K");
  // "1K", as an image names it, or "MIFARE Classic 1K", as the status does.
  auto layout = LayoutByName(cardName);
  for (const char* name : {"1K", "4K", "mini"}) {
    if (!layout && LayoutByName(name)->name == cardName) layout = LayoutByName(name);
  }
  if (!layout) throw BadRequest{"the card must be 1K, 4K or mini: '" + cardName + "'"};
  const std::string off = OffTheCard(w.block, *layout);
  if (!off.empty()) throw BadRequest{off};
  const std::string error = RequestRefusal(&w);
  // The block as it would be: alone in an image of the card, its sector's
  // conditions known only when it is the trailer.
  CardImage image(*layout);
  image.SetBlock(w.block, w.data);
  const int sector = SectorOfBlock(w.block);
  const JsonValue described = DescribeSector(image, sector);
  JsonValue block = described["blocks"][static_cast<size_t>(w.block - FirstBlock(sector))];
  if (IsTrailer(w.block)) {
    block["sectorAccessWords"] = described["accessWords"];
    block["keyBReadable"] = described["keyBReadable"];
  }
  JsonValue json = JsonValue::object();
  json["ok"] = error.empty();
  json["error"] = error.empty() ? JsonValue(nullptr) : JsonValue(error);
  json["confirm"] = TextList(Consequences(w.block, w.data));
  json["changes"] = TextList(error.empty() ? Changes(w, body) : std::vector<std::string>());
  json["block"] = block;
  return Reply::Ok(json);
}

Reply WriteRoute(Desk& desk, const Request& request) {
  const JsonValue& body = request.body;
  BlockWrite w = ParseBlockWrite(body);
  std::vector<std::string> confirm;
  if (body.is_object() && body.contains("confirm") && !body["confirm"].is_null())
    confirm = StringsField(body, "confirm");
  const std::optional<Bytes> uid = CardUidField(body);
  const std::string error = RequestRefusal(&w);
  if (!error.empty()) return Reply::Error(422, error);
  // A trailer write that cannot be undone, or that changes the sector's keys
  // or conditions, is confirmed consequence by consequence first.
  const std::vector<std::string> effects = Consequences(w.block, w.data);
  const std::vector<std::string> changes = Changes(w, body);
  std::vector<std::string> needed = effects;
  needed.insert(needed.end(), changes.begin(), changes.end());
  if (!needed.empty() && confirm != needed) {
    const std::string trailer = "block " + std::to_string(w.block) + " (trailer of sector " +
                                std::to_string(SectorOfBlock(w.block)) + "): ";
    const std::string what =
        effects.empty()
            ? "this write changes the sector: " + Joined(changes, "; ")
            : "these access bits cannot be undone: " + Joined(effects, "; ") +
                  (changes.empty() ? "" : ". It also changes: " + Joined(changes, "; "));
    Reply reply =
        Reply::Error(428, trailer + what + ". Nothing was written; confirm each " +
                              (effects.empty() ? "change" : "consequence") + " to write it");
    reply.json["confirm"] = TextList(needed);
    reply.json["irreversible"] = !effects.empty();
    return reply;
  }
  return desk.WithCardFor(
      "writing block " + std::to_string(w.block), uid, [&](CardSession& session) {
        const std::string off = OffTheCard(w.block, session.Info().layout);
        if (!off.empty()) return Reply::Error(400, off);
        const BlockWriteResult written =
            WriteBlock(session, desk.Options().keyType, w.block, w.data, true);
        const WriteOutcome& outcome = written.outcome;
        const Access& access = outcome.access;
        if (written.code) return CardFailure(502, written.error, *written.code, w.block);
        if (!written.error.empty()) {
          Reply reply = Reply::Error(502, written.error);
          reply.json["block"] = w.block;
          reply.json["held"] =
              outcome.checked ? JsonValue(HexText(outcome.held)) : JsonValue(nullptr);
          return reply;
        }
        std::vector<std::string> notes = outcome.notes;
        notes.insert(notes.end(), written.warnings.begin(), written.warnings.end());
        JsonValue json = JsonValue::object();
        json["block"] = w.block;
        json["written"] = HexText(w.data);
        json["held"] = outcome.checked ? JsonValue(HexText(outcome.held)) : JsonValue(nullptr);
        json["verified"] = outcome.checked && outcome.failure.empty();
        json["verification"] = VerificationText(outcome, true);
        json["notes"] = TextList(notes);
        AddOpenedWith(json, access, session);
        // The card written, for the page to tell whether it is the card it shows.
        json["cardUid"] = HexText(session.Info().serial.uid);
        // A trailer's keys join the keys to try, first: the next read opens the
        // sector with them.
        JsonValue added = JsonValue::array();
        if (IsTrailer(w.block)) {
          std::vector<Bytes> keys = {Bytes(w.data.begin(), w.data.begin() + 6)};
          if (!KeyBReadable(w.data)) keys.emplace_back(w.data.begin() + 10, w.data.end());
          for (const auto& key : desk.AddKeys(keys)) added.push_back(HexText(key));
        }
        json["keysAdded"] = added;
        return Reply::Ok(json);
      });
}

Reply ValueRoute(Desk& desk, const Request& request) {
  const JsonValue& body = request.body;
  const int block = static_cast<int>(IntField(body, "block", 0, 255));
  const std::string op = StringField(body, "op");
  if (op != "set" && op != "increment" && op != "decrement")
    throw BadRequest{"the operation must be set, increment or decrement: '" + op + "'"};
  const bool set = op == "set";
  const int64_t amount = set ? IntField(body, "value", std::numeric_limits<int32_t>::min(),
                                        std::numeric_limits<int32_t>::max())
                             : IntField(body, "value", 0, std::numeric_limits<int32_t>::max());
  const uint8_t address = static_cast<uint8_t>(IntField(body, "address", 0, 255, block));
  const std::string number = std::to_string(block);
  if (block == 0 || IsTrailer(block)) {
    return Reply::Error(422, "block " + number + " cannot be a value block (" +
                                 (block == 0 ? "manufacturer data" : "a sector trailer") + ")");
  }
  const std::optional<Bytes> uid = CardUidField(body);
  return desk.WithCardFor(op + " of block " + number, uid, [&](CardSession& session) {
    const std::string off = OffTheCard(block, session.Info().layout);
    if (!off.empty()) return Reply::Error(400, off);
    const ValueOp valueOp = set ? ValueOp::kSet : op == "increment" ? ValueOp::kInc : ValueOp::kDec;
    const ValueResult applied = ApplyValue(session, desk.Options().keyType, block, valueOp,
                                           static_cast<int32_t>(amount), address, true);
    const ValueChange& change = applied.change;
    const Access& access = change.access;
    const Bytes& data = change.data;
    const std::optional<Bytes>& expected = change.expected;
    const std::optional<int32_t>& previous = change.previous;
    const WriteOutcome& outcome = applied.outcome;
    const int32_t r = applied.readResult;
    const std::optional<ValueBlock>& value = applied.value;
    auto refused = [&](int status, const std::string& message, bool held) {
      Reply reply = Reply::Error(status, message);
      reply.json["block"] = block;
      if (held) reply.json["held"] = HexText(data);
      return reply;
    };
    switch (applied.problem) {
      case ValueResult::kNone:
        break;
      case ValueResult::kRefused:
        return CardFailure(502, AccessFailure(access, change.what, block, session), access.result,
                           block);
      case ValueResult::kNotValue:
        return refused(422, "block " + number + " is not a value block; nothing was changed", true);
      case ValueResult::kDiffers:
        return refused(502, outcome.failure, false);
      case ValueResult::kNotValueAfter:
        return refused(502, "block " + number + " is not a value block afterwards", true);
      case ValueResult::kOtherValue:
        return refused(502, "block " + number + " reads back a different value", true);
    }
    JsonValue json = JsonValue::object();
    json["block"] = block;
    json["operation"] = op;
    json["amount"] = amount;
    json["previous"] = previous ? JsonValue(*previous) : JsonValue(nullptr);
    json["value"] = value ? JsonValue(value->value) : JsonValue(nullptr);
    json["address"] = value ? JsonValue(value->address) : JsonValue(nullptr);
    json["held"] = r == 0 ? JsonValue(HexText(data)) : JsonValue(nullptr);
    json["verified"] = expected.has_value() && outcome.checked;
    json["verification"] = !expected ? std::string("not verifiable: the result is outside 32 bits")
                           : r != 0
                               ? "not verifiable: the block cannot be read back: " + Describe(r)
                               : VerificationText(outcome, true);
    json["notes"] = TextList(outcome.notes);
    AddOpenedWith(json, access, session);
    json["cardUid"] = HexText(session.Info().serial.uid);
    return Reply::Ok(json);
  });
}

// An NDEF message of one URI or one text record, written as `zubtool ndef
// write --uri` or `--text` writes it: the same checks and refusals, the
// public keys tried after the keys to try.
Reply NdefRoute(Desk& desk, const Request& request) {
  const JsonValue& body = request.body;
  const bool hasUri = body.is_object() && body.contains("uri") && !body["uri"].is_null();
  const bool hasText = body.is_object() && body.contains("text") && !body["text"].is_null();
  if (hasUri == hasText) throw BadRequest{"give a URL or a text, one of them"};
  Bytes message;
  const std::string refusal =
      hasUri ? UriMessage(StringField(body, "uri"), &message)
             : TextMessage(StringField(body, "text"), StringField(body, "lang", "en"), &message);
  if (!refusal.empty()) return Reply::Error(422, refusal);
  const std::optional<Bytes> uid = CardUidField(body);
  return desk.WithReader("writing an NDEF message", [&](CardCalls& reader) {
    PackedKeys keys(desk.Keys());
    keys.Push(MadKeyA());
    keys.Push(NfcKeyA());
    keys.RemoveDuplicates();
    CardSession session(reader, std::move(keys));
    if (int32_t r = desk.FindCard(session)) return Desk::CardNotFound(r);
    if (auto other = Desk::OtherCard(uid, session)) return *other;
    Invocation inv = desk.Options();
    inv.data = message;
    inv.verify = true;
    inv.json = false;
    Output output;
    output.SetQuiet(true);
    NdefWritten written;
    const int status = WriteNdefMessage(output, session, inv, &written);
    if (status != kExitOk) {
      // The failure with a code tells most (as zubtool's error object).
      const auto& failures = output.Failures();
      const Output::Failure* main = failures.empty() ? nullptr : &failures.front();
      for (const auto& f : failures) {
        if (f.code) {
          main = &f;
          break;
        }
      }
      const std::string text = main ? main->message : "the message was not written";
      if (main && main->code) return CardFailure(502, text, *main->code, main->block);
      return Reply::Error(written.writing ? 502 : 422, text);
    }
    JsonValue json = JsonValue::object();
    json["message"] = HexText(message);
    json["messageSize"] = message.size();
    json["capacity"] = written.capacity;
    json["nfcSectors"] = written.nfcSectors;
    json["blocks"] = written.blocks;
    json["cardUid"] = HexText(session.Info().serial.uid);
    return Reply::Ok(json);
  });
}

// The card back to its factory state, as `zubtool format` does: "dryRun"
// decides each sector and writes nothing; otherwise "cardUid" must name the
// card (a format erases it).
Reply FormatRoute(Desk& desk, const Request& request) {
  const JsonValue& body = request.body;
  const bool dryRun = BoolField(body, "dryRun", false);
  const std::optional<Bytes> uid = CardUidField(body);
  if (!dryRun && !uid)
    return Reply::Error(422, "a format erases the card: say which card (read it first)");
  return desk.WithCardFor(
      dryRun ? "checking the format" : "formatting the card", uid, [&](CardSession& session) {
        const CardInfo& card = session.Info();
        if (card.layout.sectors == 0) {
          return Reply::Error(422, "the card (" + card.layout.name + ", SAK " +
                                       HexText({card.sak}) + ") has no MIFARE Classic sectors");
        }
        const FormatResult done =
            FormatSectors(session, card.layout, desk.Options().keyType, dryRun, true);
        JsonValue sectors = JsonValue::array();
        for (size_t sector = 0; sector < done.sectors.size(); ++sector) {
          const SectorResult& r = done.sectors[sector];
          JsonValue s = JsonValue::object();
          s["sector"] = static_cast<int>(sector);
          s["result"] = r.state;
          s["outcome"] = r.outcome;
          AddOpenedWith(s, r.access, session);
          s["reason"] = r.reason.empty() ? JsonValue(nullptr) : JsonValue(r.reason);
          s["verified"] = r.verified;
          sectors.push_back(s);
        }
        if (!dryRun) desk.AddKeys({Bytes(FactoryTrailer().begin(), FactoryTrailer().begin() + 6)});
        JsonValue json = JsonValue::object();
        json["dryRun"] = dryRun;
        json["card"] = card.layout.name;
        json["cardUid"] = HexText(card.serial.uid);
        json["sectors"] = sectors;
        json["done"] = card.layout.sectors - done.left;
        json["left"] = done.left;
        json["lost"] = session.Lost() ? JsonValue("the card was lost: " + Describe(session.Lost()))
                                      : JsonValue(nullptr);
        return Reply::Ok(json);
      });
}

Reply ConditionsRoute() {
  JsonValue data = JsonValue::array(), trailer = JsonValue::array();
  for (int c = 0; c < 8; ++c) {
    JsonValue d = JsonValue::object();
    d["bits"] = ConditionBits(c);
    d["words"] = ConditionWords(c, false);
    d["rights"] = DataRightsJson(c);
    data.push_back(d);
    JsonValue t = JsonValue::object();
    t["bits"] = ConditionBits(c);
    t["words"] = ConditionWords(c, true);
    t["rights"] = TrailerRightsJson(c);
    t["keyBReadable"] = KeyBReadable(c);
    trailer.push_back(t);
  }
  JsonValue json = JsonValue::object();
  json["data"] = data;
  json["trailer"] = trailer;
  return Reply::Ok(json);
}

Reply TrailerRoute(const Request& request) {
  const JsonValue& body = request.body;
  const int sector = static_cast<int>(IntField(body, "sector", 0, 39));
  const Bytes keyA = HexField(body, "keyA", kKeySize);
  const Bytes keyB = HexField(body, "keyB", kKeySize);
  Bytes byte9 = {0x69};
  if (body.is_object() && body.contains("byte9") && !body["byte9"].is_null())
    byte9 = HexField(body, "byte9", 1);
  const std::vector<std::string> texts = StringsField(body, "conditions");
  if (texts.size() != kGroups)
    throw BadRequest{"give 4 conditions: block groups 0 to 2 and the trailer"};
  AccessConditions conditions;
  for (int group = 0; group < kGroups; ++group) {
    auto c = ParseCondition(texts[static_cast<size_t>(group)], group == kTrailerGroup);
    if (!c) {
      throw BadRequest{"condition " + std::to_string(group + 1) + " is not a condition: '" +
                       texts[static_cast<size_t>(group)] + "' (" + ConditionNames() + ")"};
    }
    conditions.group[group] = *c;
  }
  Bytes trailer = keyA;
  const Bytes access = EncodeAccessBits(conditions);
  trailer.insert(trailer.end(), access.begin(), access.end());
  trailer.push_back(byte9[0]);
  trailer.insert(trailer.end(), keyB.begin(), keyB.end());
  JsonValue json = JsonValue::object();
  json["trailer"] = HexText(trailer);
  json["accessBits"] = HexText(access);
  json["accessWords"] = TextList(DescribeConditions(conditions, sector));
  json["confirm"] = TextList(IrreversibleEffects(sector, conditions));
  return Reply::Ok(json);
}

using Clock = std::chrono::steady_clock;

// The key search as a job: the shared search, its progress reported after
// every try, the found keys first in the keys to try when it ends.
void RunSearch(Desk& desk, const std::shared_ptr<LastSearch>& last, std::optional<int> keyType,
               CardSession& session, Job& job) {
  const CardInfo& card = session.Info();
  const CardLayout layout = card.layout;
  if (layout.sectors == 0)
    throw std::runtime_error("the card (" + card.layout.name + ") has no MIFARE Classic sectors");
  const auto start = Clock::now();
  std::vector<SectorKeys> found(static_cast<size_t>(layout.sectors));
  const int types = keyType ? 1 : 2;
  int done = 0, sector = 0, type = keyType.value_or(kKeyA);
  size_t tried = 0;
  JsonValue foundJson = FoundJson(found);
  auto keep = [&](bool interrupted) {
    std::lock_guard<std::mutex> lock(last->mutex);
    last->ran = true;
    last->card = card;
    last->layout = layout;
    last->found = found;
    last->interrupted = interrupted;
  };
  auto report = [&] {
    JsonValue state = JsonValue::object();
    state["sectors"] = layout.sectors;
    state["keys"] = session.Keys().size();
    state["sector"] = sector;
    state["keyType"] = KeyName(type);
    state["tried"] = tried;
    state["done"] = done;
    state["total"] = layout.sectors * types;
    state["elapsedMs"] =
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
    state["found"] = foundJson;
    job.Report(std::move(state));
  };
  keep(false);
  report();
  KeySearchHooks hooks;
  hooks.tried = [&](int s, int t, size_t n) {
    sector = s;
    type = t;
    tried = n;
    report();
  };
  hooks.settled = [&](int, int) {
    ++done;
    tried = 0;
    foundJson = FoundJson(found);
    keep(false);
    report();
  };
  SearchKeys(session, layout, keyType, &found, hooks);
  foundJson = FoundJson(found);
  keep(session.Stopped());
  report();
  // The keys found go first in the keys to try, the others after them.
  std::vector<Bytes> keys;
  for (const auto& s : found) {
    if (s.keyA) keys.push_back(*s.keyA);
    if (s.keyB) keys.push_back(*s.keyB);
  }
  desk.AddKeys(keys);
}

Reply SearchRoute(Desk& desk, const std::shared_ptr<LastSearch>& last, const Request& request) {
  std::optional<int> keyType = desk.Options().keyType;
  const JsonValue& body = request.body;
  if (body.is_object() && body.contains("keyType") && !body["keyType"].is_null()) {
    const std::string text = StringField(body, "keyType");
    if (text != "A" && text != "B") throw BadRequest{"the key type must be A, B or both"};
    keyType = text == "A" ? kKeyA : kKeyB;
  }
  if (desk.KeyCount() == 0) return Reply::Error(422, "no key to try: give keys first");
  return desk.StartJob("keys", "the key search", [&desk, last, keyType](CardSession& s, Job& job) {
    RunSearch(desk, last, keyType, s, job);
  });
}

Reply KeysFileRoute(const std::shared_ptr<LastSearch>& last) {
  std::lock_guard<std::mutex> lock(last->mutex);
  if (!last->ran) return Reply::Error(422, "no key search has run yet: nothing to save");
  return Reply::File(KeysFileText(last->card, last->layout, last->found, last->interrupted),
                     "text/plain; charset=utf-8", HexText(last->card.serial.uid) + ".keys");
}

}  // namespace

std::vector<Route> CardRoutes(Desk& desk) {
  auto last = std::make_shared<LastSearch>();
  Desk* d = &desk;
  return {
      {"POST", "/api/card/read", [d](const Request&) { return ReadRoute(*d); }},
      {"POST", "/api/check/block", [](const Request& r) { return CheckRoute(r); }},
      {"POST", "/api/card/write", [d](const Request& r) { return WriteRoute(*d, r); }},
      {"POST", "/api/card/value", [d](const Request& r) { return ValueRoute(*d, r); }},
      {"POST", "/api/card/ndef", [d](const Request& r) { return NdefRoute(*d, r); }},
      {"POST", "/api/card/format", [d](const Request& r) { return FormatRoute(*d, r); }},
      {"GET", "/api/conditions", [](const Request&) { return ConditionsRoute(); }},
      {"POST", "/api/trailer/build", [](const Request& r) { return TrailerRoute(r); }},
      {"POST", "/api/keys/search",
       [d, last](const Request& r) { return SearchRoute(*d, last, r); }},
      {"POST", "/api/keys/file", [last](const Request&) { return KeysFileRoute(last); }},
  };
}

}  // namespace ui
}  // namespace zubtool
