// mad and ndef: the application directory, and NDEF messages on the NFC
// Forum's sectors (read, write, format). The layouts are the card model's
// (card/mad.h, card/ndef.h); here they meet the card.
#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <functional>

#include "commands.h"
#include "format_card.h"
#include "mad.h"
#include "ndef.h"
#include "status.h"

namespace zubtool {

namespace {

// The indices of the directory's and the NFC sectors' public keys A in the
// keys to try, which get them (after the keys given) when they lack them.
struct PublicKeys {
  int mad = -1;
  int nfc = -1;
};

// The indices of the public keys in `keys` (-1 for one not there).
PublicKeys PublicKeysIn(const PackedKeys& keys) {
  PublicKeys found;
  for (size_t i = 0; i < keys.size() && (found.mad < 0 || found.nfc < 0); ++i) {
    const Bytes key = keys[i];
    if (found.mad < 0 && key == MadKeyA()) found.mad = static_cast<int>(i);
    if (found.nfc < 0 && key == NfcKeyA()) found.nfc = static_cast<int>(i);
  }
  return found;
}

PublicKeys AddPublicKeys(Context& context) {
  PackedKeys keys = context.TakeKeys();
  keys.Push(MadKeyA());
  keys.Push(NfcKeyA());
  keys.RemoveDuplicates();
  const PublicKeys found = PublicKeysIn(keys);
  context.SetKeys(std::move(keys));
  return found;
}

// Reads `count` blocks from `first` on in one authentication, or as long as
// `more` says (asked before each block after the first). The access, and in
// `*blocks` what was read; access.result is the failing read's.
Access ReadSectorBlocks(CardSession& session, std::optional<int> keyType, int first, int count,
                        int keyIndex, std::vector<Bytes>* blocks,
                        const std::function<bool()>& more = nullptr) {
  return WithAccess(
      session, keyType, first,
      [&]() -> int32_t {
        blocks->clear();
        for (int block = first; block < first + count; ++block) {
          if (block > first && more && !more()) break;
          Bytes data;
          int32_t r = session.Reader().Read(block, &data);
          if (r != 0) return r;
          blocks->push_back(data);
        }
        return 0;
      },
      keyIndex >= 0 ? std::vector<int>{keyIndex} : std::vector<int>{});
}

Bytes Joined(const std::vector<Bytes>& blocks) {
  Bytes out;
  for (const auto& b : blocks) out.insert(out.end(), b.begin(), b.end());
  return out;
}

// The card's directory as read from it.
struct CardMad {
  Mad mad;
  std::vector<int> nfcSectors;  // the run the message is in
  Bytes part1;                  // blocks 1 and 2
  bool mad2Read = false;
  Bytes trailer0, trailer16;  // where read (mad)
};

// Reads MAD2 (blocks 64 to 66, and the trailer when `trailer`) into `out`;
// the exit status, reported on failure.
int ReadMad2(Output& output, CardSession& session, const Invocation& inv, const CardLayout& layout,
             const PublicKeys& keys, bool trailer, CardMad* out) {
  std::vector<Bytes> blocks;
  Access access = ReadSectorBlocks(session, inv.keyType, 64, trailer ? 4 : 3, keys.mad, &blocks);
  if (access.result != 0) {
    output.Fail(AccessFailure(access, "read the directory's second part (sector 16)", 64, session),
                access.result, 64);
    return kExitFailed;
  }
  if (trailer) out->trailer16 = blocks[3];
  std::string error;
  auto mad =
      ParseMad(out->part1, Joined({blocks[0], blocks[1], blocks[2]}), layout.sectors, &error);
  if (!mad) {
    output.Fail(error);
    return kExitFailed;
  }
  out->mad = *mad;
  out->mad2Read = true;
  out->nfcSectors = NfcSectors(*mad, layout.sectors);
  return kExitOk;
}

// Whether the run of NFC sectors MAD1 gives may go on in MAD2's sectors.
bool RunMayGoOn(const CardMad& card, const CardLayout& layout) {
  return layout.sectors > 16 && !card.mad2Read &&
         (card.nfcSectors.empty() || card.nfcSectors.back() == 15);
}

// Reads the directory: sector 0's blocks 1 and 2 (and its trailer when
// `trailers`), and sector 16's blocks when the card has one and `needMad2`
// says they are needed for the run of NFC sectors MAD1 gives. Reports and
// returns the exit status on failure: a sector no key opens, an empty
// directory, a CRC that does not match.
int ReadCardMad(Output& output, CardSession& session, const Invocation& inv,
                const CardLayout& layout, const PublicKeys& keys, bool trailers, CardMad* out) {
  std::vector<Bytes> blocks;
  Access access = ReadSectorBlocks(session, inv.keyType, 1, trailers ? 3 : 2, keys.mad, &blocks);
  if (access.result != 0) {
    output.Fail(AccessFailure(access, "read the directory (sector 0)", 1, session), access.result,
                1);
    return kExitFailed;
  }
  const Bytes part1 = Joined({blocks[0], blocks[1]});
  if (trailers) out->trailer0 = blocks[2];
  if (part1 == Bytes(32, 0)) {
    output.Fail(
        "the card holds no application directory (blocks 1 and 2 of sector 0 are empty): it is "
        "not formatted for NDEF (see 'zubtool ndef format')");
    return kExitFailed;
  }
  std::string error;
  auto mad = ParseMad(part1, {}, layout.sectors, &error);
  if (!mad) {
    output.Fail(error);
    return kExitFailed;
  }
  out->part1 = part1;
  out->mad = *mad;
  out->nfcSectors = NfcSectors(*mad, layout.sectors);
  // MAD2 where the card has sector 16 and the trailer says so (mad), or MAD1
  // names no NFC sector (ndef); the other readers of the run read it when
  // the message goes on past sector 15 (ReadMad2).
  const bool mad2 = layout.sectors > 16 &&
                    (trailers ? MadVersionOfGpb(out->trailer0[9]) == 2 : out->nfcSectors.empty());
  if (mad2) return ReadMad2(output, session, inv, layout, keys, trailers, out);
  return kExitOk;
}

// Refuses a directory whose CRC does not match: its entries are not trusted.
int CheckMadCrc(Output& output, const Mad& mad) {
  if (mad.crcOk) return kExitOk;
  std::string what;
  if (mad.crc1 != mad.expectedCrc1) {
    what = "MAD1 (sector 0) holds CRC " + HexText({mad.crc1}) + ", its bytes give " +
           HexText({mad.expectedCrc1});
  }
  if (mad.version == 2 && mad.crc2 != mad.expectedCrc2) {
    what += std::string(what.empty() ? "" : "; ") + "MAD2 (sector 16) holds CRC " +
            HexText({mad.crc2}) + ", its bytes give " + HexText({mad.expectedCrc2});
  }
  output.Fail("the application directory is damaged: " + what + "; its entries are not trusted");
  return kExitFailed;
}

// Reports a block write that failed (the sector refused, or the card holds
// other bytes than written); true when it did.
bool WriteFailed(Output& output, const WriteOutcome& outcome, int block,
                 const CardSession& session) {
  if (outcome.access.result != 0) {
    output.Fail(
        AccessFailure(outcome.access, "write block " + std::to_string(block), block, session),
        outcome.access.result, block);
    return true;
  }
  if (!outcome.failure.empty()) {
    output.Fail(outcome.failure, std::nullopt, block);
    return true;
  }
  return false;
}

int CardLayoutOf(Output& output, const CardSession& session, const Invocation& inv,
                 CardLayout* layout) {
  const CardInfo& card = session.Info();
  *layout = inv.layout ? *inv.layout : card.layout;
  if (layout->sectors == 0) {
    output.Fail("the card (" + card.layout.name + ", SAK " + HexText({card.sak}) +
                ") has no MIFARE Classic sectors; give --card 1K, 2K, 4K or mini");
    return kExitFailed;
  }
  return kExitOk;
}

// The card's layout and a directory with a good CRC that names NFC sectors,
// as `ndef read` and `ndef write` need them; else the failure reported (`none`:
// what to say when no NFC sector is named) and the exit status.
int ReadNfcDirectory(Output& output, CardSession& session, const Invocation& inv,
                     const PublicKeys& keys, const char* none, CardLayout* layout, CardMad* card) {
  if (int status = CardLayoutOf(output, session, inv, layout)) return status;
  if (int status = ReadCardMad(output, session, inv, *layout, keys, false, card)) return status;
  if (int status = CheckMadCrc(output, card->mad)) return status;
  if (card->nfcSectors.empty()) {
    output.Fail(std::string("the application directory names no NFC Forum sector (AID 03E1)") +
                none);
    return kExitFailed;
  }
  return kExitOk;
}

std::string SectorList(const std::vector<int>& sectors) {
  std::string out;
  for (int s : sectors) out += (out.empty() ? "" : ", ") + std::to_string(s);
  return out.empty() ? "none" : out;
}

Json SectorsJson(const std::vector<int>& sectors) {
  Json list = Json::Array();
  for (int s : sectors) list.Push(s);
  return list;
}

// The NFC sectors refuse: "sector 2 is the NFC Forum's in the directory, but
// ..." for a sector the keys do not open.
std::string ForeignSector(const Access& access, int sector, const CardSession& session) {
  return "sector " + std::to_string(sector) +
         " is the NFC Forum's in the directory, but it does not open with the NFC key A " +
         HexText(NfcKeyA()) + " nor with the keys tried (" + Refusals(access.refused) +
         "): another application's keys, or a wrong directory" +
         (session.Lost() ? "; " + session.LostReason() : "");
}

bool ReadInputFile(const std::string& path, Bytes* data, std::string* error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    *error = "cannot read " + path;
    return false;
  }
  data->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  if (in.bad()) {
    *error = "cannot read " + path;
    return false;
  }
  return true;
}

}  // namespace

// ---- mad ----

std::string ParseMadCommand(const Arguments& args, Invocation* inv) {
  inv->json = args.Has("--json");
  if (args.Has("--card")) {
    inv->layout = LayoutByName(args.Value("--card"));
    if (!inv->layout) return "card must be 1K, 2K, 4K or mini: '" + args.Value("--card") + "'";
  }
  return args.Count(0, 0, {});
}

int RunMad(Context& context) {
  Output& output = context.Out();
  const Invocation& inv = context.inv;
  const PublicKeys keys = AddPublicKeys(context);
  if (int status = context.Open()) return status;
  CardSession& session = context.Session();
  if (int status = FindCard(output, session)) return status;
  CardLayout layout;
  if (int status = CardLayoutOf(output, session, inv, &layout)) return status;
  CardMad card;
  if (int status = ReadCardMad(output, session, inv, layout, keys, true, &card)) return status;
  const Mad& mad = card.mad;
  const uint8_t gpb = card.trailer0[9];
  const int gpbVersion = MadVersionOfGpb(gpb);
  std::vector<int> free;
  const int last = std::min(layout.sectors, static_cast<int>(mad.entries.size()));
  for (int s = 1; s < last; ++s) {
    if (s != 16 && mad.entries[static_cast<size_t>(s)] == kMadFree) free.push_back(s);
  }
  auto conditions = DecodeAccessBits(card.trailer0);
  const std::vector<std::string> access =
      conditions ? DescribeConditions(*conditions, 0)
                 : std::vector<std::string>{"access bits not stored with their inverses"};
  const int status = mad.crcOk ? kExitOk : kExitFailed;
  if (!mad.crcOk) CheckMadCrc(output, mad);
  for (const auto& p : mad.problems) output.Fail(p);
  if (inv.json) {
    Json out = Json::Object();
    out.Add("card", layout.name)
        .Add("uid", HexText(session.Info().serial.uid))
        .Add("version", mad.version)
        .Add("crc", HexText({mad.crc1}))
        .Add("expectedCrc", HexText({mad.expectedCrc1}));
    if (mad.version == 2) {
      out.Add("crc2", HexText({mad.crc2})).Add("expectedCrc2", HexText({mad.expectedCrc2}));
    }
    out.Add("crcOk", mad.crcOk)
        .Add("publisher", mad.publisher ? Json(static_cast<int>(mad.publisher)) : Json())
        .Add("gpb", HexText({gpb}))
        .Add("gpbVersion", gpbVersion)
        .Add("access", StringsJson(access));
    Json sectors = Json::Array();
    for (int s = 1; s < last; ++s) {
      if (s == 16) continue;
      const MadEntry& e = mad.entries[static_cast<size_t>(s)];
      Json item = Json::Object();
      item.Add("sector", s)
          .Add("aid", MadEntryHex(e))
          .Add("application", HexText({e.application}))
          .Add("cluster", HexText({e.cluster}))
          .Add("meaning", MadEntryMeaning(e));
      sectors.Push(item);
    }
    out.Add("sectors", sectors)
        .Add("free", SectorsJson(free))
        .Add("nfc", SectorsJson(card.nfcSectors));
    if (status != kExitOk) out.Add("error", output.ErrorJson()).Add("exitStatus", status);
    output.PrintJson(out);
    return status;
  }
  std::printf("%s, UID %s: MAD%d, CRC %s (%s), card publisher: %s\n", layout.name.c_str(),
              HexText(session.Info().serial.uid).c_str(), mad.version, HexText({mad.crc1}).c_str(),
              mad.crc1 == mad.expectedCrc1 ? "correct"
                                           : ("should be " + HexText({mad.expectedCrc1})).c_str(),
              mad.publisher ? ("sector " + std::to_string(mad.publisher)).c_str() : "none");
  if (mad.version == 2) {
    std::printf("MAD2 CRC %s (%s)\n", HexText({mad.crc2}).c_str(),
                mad.crc2 == mad.expectedCrc2
                    ? "correct"
                    : ("should be " + HexText({mad.expectedCrc2})).c_str());
  }
  std::printf("general purpose byte %s: %s\n", HexText({gpb}).c_str(),
              gpbVersion ? (std::string("directory present, ") +
                            ((gpb & 0x40) ? "multi-application, " : "single application, ") +
                            "MAD" + std::to_string(gpbVersion))
                               .c_str()
                         : "announces no directory");
  std::printf("sector 0's access conditions:\n");
  for (const auto& line : access) std::printf("  %s\n", line.c_str());
  std::printf("\nsector  AID   meaning\n");
  for (int s = 1; s < last; ++s) {
    if (s == 16) {
      std::printf("%6d  -     the directory's second part (MAD2)\n", s);
      continue;
    }
    const MadEntry& e = mad.entries[static_cast<size_t>(s)];
    std::printf("%6d  %s  %s\n", s, MadEntryHex(e).c_str(), MadEntryMeaning(e).c_str());
  }
  std::printf("\nfree sectors: %s\nNFC sectors: %s\n", SectorList(free).c_str(),
              SectorList(card.nfcSectors).c_str());
  return status;
}

// ---- ndef ----

std::string UriMessage(const std::string& uri, Bytes* message) {
  const std::string error = UriProblem(uri);
  if (!error.empty()) return error + ": nothing written";
  *message = BuildNdefMessage({UriRecord(uri)});
  return "";
}

std::string TextMessage(const std::string& text, const std::string& language, Bytes* message) {
  if (language.empty() || language.size() > 63) {
    return "the language code must be 1 to 63 characters";
  }
  for (char c : language) {
    if (c <= 0x20 || c >= 0x7F) return "the language code must be ASCII: '" + language + "'";
  }
  if (!ValidUtf8(text)) return "the text is not valid UTF-8: nothing written";
  *message = BuildNdefMessage({TextRecord(text, language)});
  return "";
}

namespace {

// The message the options give; "" or the error.
std::string MessageOfOptions(const Arguments& args, Bytes* message) {
  int forms = args.Has("--uri") + args.Has("--text") + args.Has("--mime") +
              args.Has("--absolute-uri") + args.Has("--external") + args.Has("--message");
  if (forms > 1) {
    return "give one of --uri, --text, --mime, --absolute-uri, --external and --message";
  }
  if (args.Has("--lang") && !args.Has("--text")) return "--lang goes with --text";
  std::vector<NdefRecord> records;
  std::string error;
  if (args.Has("--uri")) {
    return UriMessage(args.Value("--uri"), message);
  } else if (args.Has("--text")) {
    return TextMessage(args.Value("--text"), args.Has("--lang") ? args.Value("--lang") : "en",
                       message);
  } else if (args.Has("--mime") || args.Has("--absolute-uri") || args.Has("--external")) {
    // A record of a type and the bytes of a FILE.
    const char* option = args.Has("--mime")           ? "--mime"
                         : args.Has("--absolute-uri") ? "--absolute-uri"
                                                      : "--external";
    const std::string type = args.Value(option);
    if (option[2] == 'm') {
      if (type.empty() || type.size() > 255 || type.find('/') == std::string::npos)
        return "not a MIME type (type/subtype): '" + type + "'";
    } else {
      error = option[2] == 'a' ? AbsoluteUriProblem(type) : ExternalTypeProblem(type);
      if (!error.empty()) return error + ": nothing written";
    }
    if (args.positionals.size() != 2) {
      return std::string(option) + (option[2] == 'a' ? " URI" : " TYPE") +
             " needs the FILE of its content";
    }
    Bytes data;
    if (!ReadInputFile(args.positionals[1], &data, &error)) return error;
    records.push_back(option[2] == 'm'   ? MimeRecord(type, data)
                      : option[2] == 'a' ? AbsoluteUriRecord(type, data)
                                         : ExternalRecord(type, data));
  } else if (args.Has("--message")) {
    if (!ReadInputFile(args.Value("--message"), message, &error)) return error;
    if (!ParseNdefMessage(*message, &error)) {
      return args.Value("--message") + " is not an NDEF message: " + error;
    }
    return "";
  } else {
    return "";
  }
  *message = BuildNdefMessage(records);
  return "";
}

// The data blocks of the NFC sectors.
size_t AreaSize(const std::vector<int>& sectors) {
  return NfcDataBlocks(sectors).size() * kBlockSize;
}

Json RecordJson(const NdefRecord& r) {
  Json item = Json::Object();
  item.Add("tnf", static_cast<int>(r.tnf))
      .Add("kind", RecordKind(r))
      .Add("type", RecordTypeText(r))
      .Add("id", AsciiText(r.id))
      .Add("payloadSize", static_cast<int64_t>(r.payload.size()));
  const std::string kind = RecordKind(r);
  std::string error;
  if (kind == "URI") {
    auto uri = DecodeUri(r.payload);
    item.Add("uri", uri ? Json(*uri) : Json());
    if (!uri) item.Add("payload", HexText(r.payload));
  } else if (kind == "text") {
    auto text = DecodeText(r.payload, &error);
    if (text) {
      item.Add("language", text->language)
          .Add("encoding", text->utf16 ? "UTF-16" : "UTF-8")
          .Add("text", text->text);
    } else {
      item.Add("error", error).Add("payload", HexText(r.payload));
    }
  } else if (kind == "absolute URI") {
    item.Add("uri", RecordTypeText(r)).Add("payload", HexText(r.payload));
  } else {
    item.Add("payload", HexText(r.payload));
  }
  return item;
}

void PrintRecord(size_t n, const NdefRecord& r) {
  const std::string kind = RecordKind(r);
  std::printf("record %zu: %s", n, kind.c_str());
  if (r.tnf == kTnfWellKnown) std::printf(" (well-known type \"%s\")", RecordTypeText(r).c_str());
  if (r.tnf == kTnfMedia || r.tnf == kTnfExternal) {
    std::printf(" %s", RecordTypeText(r).c_str());
  }
  std::printf(", %zu bytes of payload", r.payload.size());
  if (!r.id.empty()) std::printf(", ID \"%s\"", AsciiText(r.id).c_str());
  std::printf("\n");
  std::string error;
  if (kind == "URI") {
    auto uri = DecodeUri(r.payload);
    if (uri) {
      std::printf("  URL: %s\n", uri->c_str());
    } else {
      std::printf("  reserved prefix code %s: payload %s\n",
                  r.payload.empty() ? "(none)" : HexText({r.payload[0]}).c_str(),
                  HexSpaced(r.payload).c_str());
    }
  } else if (kind == "text") {
    auto text = DecodeText(r.payload, &error);
    if (text) {
      std::printf("  language %s, %s\n  text: %s\n", text->language.c_str(),
                  text->utf16 ? "UTF-16" : "UTF-8", text->text.c_str());
    } else {
      std::printf("  %s\n", error.c_str());
    }
  } else if (kind == "absolute URI") {
    std::printf("  URI: %s\n", RecordTypeText(r).c_str());
  } else if (!r.payload.empty()) {
    const size_t shown = std::min<size_t>(r.payload.size(), 32);
    std::printf(
        "  payload: %s%s\n",
        HexSpaced(Bytes(r.payload.begin(), r.payload.begin() + static_cast<long>(shown))).c_str(),
        shown < r.payload.size() ? " ..." : "");
  }
}

// Reads the NFC sectors in order, each block only while the TLVs up to the
// first NDEF message (or the terminator) are not complete, into `*area`;
// `*readSectors` gets the sectors read. The exit status, reported on failure.
int ReadNdefArea(Output& output, CardSession& session, const Invocation& inv,
                 const CardLayout& layout, const PublicKeys& keys, CardMad* card, Bytes* area,
                 std::vector<int>* readSectors) {
  auto complete = [&] {
    std::string e;
    auto s = ScanTlvs(*area, &e);
    return s && (s->found || s->terminated);
  };
  for (size_t n = 0; !complete(); ++n) {
    if (n == card->nfcSectors.size()) {
      if (!RunMayGoOn(*card, layout)) break;
      // Past sector 15 of a 4K: MAD2 says where the message goes on.
      if (int status = ReadMad2(output, session, inv, layout, keys, false, card)) return status;
      if (int status = CheckMadCrc(output, card->mad)) return status;
      if (n == card->nfcSectors.size()) break;
    }
    const int sector = card->nfcSectors[n];
    std::vector<Bytes> blocks;
    const int first = FirstBlock(sector), count = BlocksInSector(sector) - 1;
    const Bytes before = *area;
    Access access = ReadSectorBlocks(session, inv.keyType, first, count, keys.nfc, &blocks, [&] {
      *area = before;
      for (const auto& b : blocks) area->insert(area->end(), b.begin(), b.end());
      return !complete();
    });
    if (access.result != 0) {
      output.Fail(
          access.authenticated
              ? AccessFailure(access, "read sector " + std::to_string(sector), first, session)
              : ForeignSector(access, sector, session),
          access.result, first);
      return kExitFailed;
    }
    *area = before;
    for (const auto& b : blocks) area->insert(area->end(), b.begin(), b.end());
    readSectors->push_back(sector);
  }
  return kExitOk;
}

int RunNdefRead(Context& context, const PublicKeys& keys) {
  Output& output = context.Out();
  const Invocation& inv = context.inv;
  CardSession& session = context.Session();
  CardLayout layout;
  CardMad card;
  if (int status = ReadNfcDirectory(output, session, inv, keys, ": no NDEF message on this card",
                                    &layout, &card))
    return status;
  Bytes area;
  std::vector<int> readSectors;
  if (int status = ReadNdefArea(output, session, inv, layout, keys, &card, &area, &readSectors)) {
    return status;
  }
  std::string error;
  auto scan = ScanTlvs(area, &error);
  if (!scan) {
    output.Fail(error + " (the NFC sectors " + SectorList(card.nfcSectors) + " hold " +
                std::to_string(AreaSize(card.nfcSectors)) + " bytes)");
    return kExitFailed;
  }
  if (!scan->found) {
    output.Fail("the NFC sectors hold no NDEF message TLV" +
                std::string(scan->terminated ? " before the terminator" : ""));
    return kExitFailed;
  }
  std::vector<NdefRecord> records;
  if (!scan->message.empty()) {
    auto parsed = ParseNdefMessage(scan->message, &error);
    if (!parsed) {
      output.Fail("the NDEF message (" + std::to_string(scan->message.size()) +
                  " bytes) cannot be read: " + error);
      return kExitFailed;
    }
    records = std::move(*parsed);
  }
  if (inv.json) {
    Json out = Json::Object();
    out.Add("card", layout.name)
        .Add("uid", HexText(session.Info().serial.uid))
        .Add("nfcSectors", SectorsJson(card.nfcSectors))
        .Add("sectorsRead", SectorsJson(readSectors))
        .Add("messageSize", static_cast<int64_t>(scan->message.size()))
        .Add("message", HexText(scan->message));
    Json list = Json::Array();
    for (const auto& r : records) list.Push(RecordJson(r));
    out.Add("records", list);
    output.PrintJson(out);
    return kExitOk;
  }
  std::printf("%s, UID %s: NDEF message of %zu bytes in sector%s %s (NFC sectors: %s)\n",
              layout.name.c_str(), HexText(session.Info().serial.uid).c_str(), scan->message.size(),
              readSectors.size() > 1 ? "s" : "", SectorList(readSectors).c_str(),
              SectorList(card.nfcSectors).c_str());
  if (records.empty()) std::printf("the message is empty (a tag with no records)\n");
  for (size_t i = 0; i < records.size(); ++i) PrintRecord(i + 1, records[i]);
  return kExitOk;
}

// Whether key `keyType` may write the data blocks of `sector` under
// `trailer`: "" or why not.
std::string WhyNdefDataNotWritable(int sector, const Bytes& trailer, int keyType) {
  auto conditions = DecodeAccessBits(trailer);
  if (!conditions) return "its access bits are not stored with their inverses";
  for (int block = FirstBlock(sector); block < TrailerBlock(sector); ++block) {
    if (block == 0) continue;
    if (!Allows(DataRights(conditions->group[AccessGroup(block)]).write, keyType)) {
      return std::string("key ") + KeyName(keyType) + " may not write block " +
             std::to_string(block) + " (the sector is read-only)";
    }
  }
  return "";
}

}  // namespace

int WriteNdefMessage(Output& output, CardSession& session, const Invocation& inv,
                     NdefWritten* out) {
  const PublicKeys keys = PublicKeysIn(session.Keys());
  CardLayout layout;
  CardMad card;
  if (int status = ReadNfcDirectory(output, session, inv, keys,
                                    "; see 'zubtool ndef format': nothing written", &layout, &card))
    return status;
  // A message run on into sector 16 of a 4K that MAD1 alone named is not
  // known to reach it; the run is what the directory gives.
  // What the card holds now: blocks of a longer message than the new one are
  // cleared, not left behind the terminator.
  Bytes before;
  std::vector<int> beforeSectors;
  if (int status =
          ReadNdefArea(output, session, inv, layout, keys, &card, &before, &beforeSectors)) {
    return status;
  }
  std::string oldError;
  auto oldScan = ScanTlvs(before, &oldError);
  const size_t oldUsed = oldScan && oldScan->found ? oldScan->used + 1 : 0;
  if (MaxNdefMessage(AreaSize(card.nfcSectors)) < inv.data.size() && RunMayGoOn(card, layout)) {
    if (int status = ReadMad2(output, session, inv, layout, keys, false, &card)) return status;
    if (int status = CheckMadCrc(output, card.mad)) return status;
  }
  std::string error;
  const size_t areaSize = AreaSize(card.nfcSectors);
  auto area = BuildNdefArea(inv.data, areaSize, &error);
  if (!area) {
    output.Fail(error + " (sector" + (card.nfcSectors.size() > 1 ? "s " : " ") +
                SectorList(card.nfcSectors) + "): nothing written");
    return kExitUsage;
  }
  const std::vector<int> blocks = NfcDataBlocks(card.nfcSectors);
  // The blocks to write: up to the terminator (or the message's end).
  const size_t used = std::min(areaSize, std::max(NdefTlvSize(inv.data.size()) + 1, oldUsed));
  const size_t count = (used + kBlockSize - 1) / kBlockSize;
  // Every sector written to is checked first: opened, and its data blocks
  // writable by the key that opened it.
  std::vector<int> sectors;
  for (size_t i = 0; i < count; ++i) {
    const int sector = SectorOfBlock(blocks[i]);
    if (sectors.empty() || sectors.back() != sector) sectors.push_back(sector);
  }
  for (int sector : sectors) {
    std::vector<Bytes> trailer;
    Access access =
        ReadSectorBlocks(session, inv.keyType, TrailerBlock(sector), 1, keys.nfc, &trailer);
    if (access.result != 0) {
      output.Fail(
          (access.authenticated
               ? AccessFailure(access, "read sector " + std::to_string(sector) + "'s trailer",
                               TrailerBlock(sector), session)
               : ForeignSector(access, sector, session)) +
              ": nothing written",
          access.result, TrailerBlock(sector));
      return kExitFailed;
    }
    const std::string why = WhyNdefDataNotWritable(sector, trailer[0], access.keyType);
    if (!why.empty()) {
      output.Fail("sector " + std::to_string(sector) + ": " + why + ": nothing written");
      return kExitFailed;
    }
  }
  out->writing = true;
  out->card = layout.name;
  out->nfcSectors = card.nfcSectors;
  out->capacity = MaxNdefMessage(areaSize);
  int status = kExitOk;
  for (size_t i = 0; i < count; ++i) {
    const int block = blocks[i];
    const Bytes data(area->begin() + static_cast<long>(i * kBlockSize),
                     area->begin() + static_cast<long>((i + 1) * kBlockSize));
    WriteOutcome outcome =
        WriteVerified(session, inv.keyType, block, data, inv.verify,
                      keys.nfc >= 0 ? std::vector<int>{keys.nfc} : std::vector<int>{});
    out->blocksJson.Push(WrittenJson(block, data, outcome, inv.verify, session));
    out->blocks.push_back(block);
    if (WriteFailed(output, outcome, block, session)) {
      status = kExitFailed;
      break;
    }
  }
  return status;
}

namespace {

int RunNdefWrite(Context& context) {
  Output& output = context.Out();
  const Invocation& inv = context.inv;
  CardSession& session = context.Session();
  NdefWritten written;
  const int status = WriteNdefMessage(output, session, inv, &written);
  // Refused before the first write: the failure alone, as for any command.
  if (!written.writing) return status;
  if (inv.json) {
    Json out = Json::Object();
    out.Add("card", written.card)
        .Add("uid", HexText(session.Info().serial.uid))
        .Add("nfcSectors", SectorsJson(written.nfcSectors))
        .Add("messageSize", static_cast<int64_t>(inv.data.size()))
        .Add("capacity", static_cast<int64_t>(written.capacity))
        .Add("verify", inv.verify)
        .Add("blocks", written.blocksJson);
    if (status != kExitOk) out.Add("error", output.ErrorJson()).Add("exitStatus", status);
    output.PrintJson(out);
    return status;
  }
  if (status == kExitOk) {
    std::printf(
        "NDEF message of %zu bytes written to block%s %d to %d (%s); the NFC sectors "
        "hold %zu bytes of message at most\n",
        inv.data.size(), written.blocks.size() > 1 ? "s" : "", written.blocks.front(),
        written.blocks.back(), inv.verify ? "read back the same" : "not verified",
        written.capacity);
  }
  return status;
}

// ---- ndef format ----

// What a sector's format needs: the key that may write it whole, its key B
// kept, and whether it holds data.
struct FormatSector {
  int keyType = -1, keyIndex = -1;
  Bytes keyB;
  bool holdsData = false;
};

// Whether key `keyType` may rewrite the sector whole under `trailer`: "" or why not.
std::string WhyNotNdefFormattable(int sector, const Bytes& trailer, int keyType) {
  std::string why = WhyNdefDataNotWritable(sector, trailer, keyType);
  if (!why.empty()) return why;
  return WhyTrailerNotWritable(*DecodeAccessBits(trailer), keyType);
}

int RunNdefFormat(Context& context) {
  Output& output = context.Out();
  const Invocation& inv = context.inv;
  CardSession& session = context.Session();
  CardLayout layout;
  if (int status = CardLayoutOf(output, session, inv, &layout)) return status;
  const int sectors = layout.sectors;
  const bool mad2 = sectors > 16;
  // Every sector is checked, and read, before anything is written.
  std::vector<FormatSector> plan(static_cast<size_t>(sectors));
  std::vector<int> withData;
  for (int sector = 0; sector < sectors; ++sector) {
    FormatSector& p = plan[static_cast<size_t>(sector)];
    std::string why;
    std::optional<int32_t> refused[2];
    const int first = FirstBlock(sector), trailerBlock = TrailerBlock(sector);
    for (int type : {kKeyA, kKeyB}) {
      if (inv.keyType && *inv.keyType != type) continue;
      int32_t r;
      const int index = session.FindKey(trailerBlock, type, &r);
      if (index < 0) {
        refused[type] = r;
        if (r < 0 || session.Lost()) break;
        continue;
      }
      std::vector<Bytes> blocks;
      for (int block = first; block <= trailerBlock && r == 0; ++block) {
        Bytes data;
        r = session.Reader().Read(block, &data);
        blocks.push_back(data);
      }
      if (r != 0) {
        why += (why.empty() ? "" : "; ") + std::string("key ") + KeyName(type) +
               " cannot read the sector: " + Describe(r);
        continue;
      }
      const Bytes& trailer = blocks.back();
      std::string reason = WhyNotNdefFormattable(sector, trailer, type);
      // Key B kept: the one given, the one that opened the sector, or the one
      // the trailer shows.
      if (reason.empty()) {
        if (inv.permissions.keyB) {
          p.keyB = *inv.permissions.keyB;
        } else if (type == kKeyB) {
          p.keyB = session.Key(index);
        } else if (KeyBReadable(trailer)) {
          p.keyB = Bytes(trailer.begin() + 10, trailer.end());
        } else {
          reason =
              "its key B is not known (it did not open the sector and the trailer hides "
              "it): give --key-b, or the key with --key";
        }
      }
      if (!reason.empty()) {
        why += (why.empty() ? "" : "; ") + reason;
        continue;
      }
      p.keyType = type;
      p.keyIndex = index;
      for (size_t i = 0; i + 1 < blocks.size(); ++i) {
        if (first + static_cast<int>(i) != 0 && blocks[i] != Bytes(kBlockSize, 0)) {
          p.holdsData = true;
        }
      }
      break;
    }
    if (p.keyType < 0) {
      output.Fail("sector " + std::to_string(sector) + " cannot be formatted: " +
                      (why.empty() ? "no key to try opens it: " + Refusals(refused) : why) +
                      "; nothing written",
                  refused[kKeyA] ? refused[kKeyA] : refused[kKeyB], FirstBlock(sector));
      return kExitFailed;
    }
    if (p.holdsData) withData.push_back(sector);
  }
  if (!withData.empty() && !inv.permissions.force) {
    output.Fail("the card holds data in sector" + std::string(withData.size() > 1 ? "s " : " ") +
                SectorList(withData) +
                ", which formatting erases: give --force to format it anyway; nothing written");
    return kExitUsage;
  }
  // The directory and the NFC sectors' data.
  std::vector<MadEntry> entries(static_cast<size_t>(sectors), kMadNdef);
  entries[0] = kMadFree;
  if (mad2) entries[16] = kMadFree;
  const auto madParts = BuildMad(entries, sectors, 1);
  std::vector<int> nfc;
  for (int s = 1; s < sectors; ++s) {
    if (s != 16) nfc.push_back(s);
  }
  std::string error;
  const size_t areaSize = AreaSize(nfc);
  auto area = BuildNdefArea(inv.data, areaSize, &error);
  if (!area) {
    output.Fail(error + ": nothing written");
    return kExitUsage;
  }
  // Block by block, each sector's data first and its trailer last.
  std::vector<std::pair<int, Bytes>> writes;
  auto slice = [](const Bytes& bytes, size_t block) {
    return Bytes(bytes.begin() + static_cast<long>(block * kBlockSize),
                 bytes.begin() + static_cast<long>((block + 1) * kBlockSize));
  };
  size_t at = 0;
  for (int sector = 0; sector < sectors; ++sector) {
    const FormatSector& p = plan[static_cast<size_t>(sector)];
    const int first = FirstBlock(sector), trailerBlock = TrailerBlock(sector);
    if (sector == 0 || (mad2 && sector == 16)) {
      const Bytes& part = sector == 0 ? madParts.first : madParts.second;
      for (int b = first + (sector == 0 ? 1 : 0), i = 0; b < trailerBlock; ++b, ++i) {
        writes.emplace_back(b, slice(part, static_cast<size_t>(i)));
      }
      writes.emplace_back(trailerBlock,
                          MadTrailer(mad2 ? 2 : 1, p.keyB, inv.permissions.irreversible));
      continue;
    }
    for (int b = first; b < trailerBlock; ++b) writes.emplace_back(b, slice(*area, at++));
    writes.emplace_back(trailerBlock, NfcTrailer(p.keyB, inv.permissions.irreversible));
  }
  Json written = Json::Array();
  int status = kExitOk;
  size_t done = 0;
  for (const auto& [block, data] : writes) {
    const FormatSector& p = plan[static_cast<size_t>(SectorOfBlock(block))];
    WriteOutcome outcome = WriteVerified(session, p.keyType, block, data, inv.verify, {p.keyIndex});
    if (inv.json) written.Push(WrittenJson(block, data, outcome, inv.verify, session));
    if (WriteFailed(output, outcome, block, session)) {
      status = kExitFailed;
      break;
    }
    ++done;
  }
  if (inv.json) {
    Json out = Json::Object();
    out.Add("card", layout.name)
        .Add("uid", HexText(session.Info().serial.uid))
        .Add("mad", mad2 ? 2 : 1)
        .Add("nfcSectors", SectorsJson(nfc))
        .Add("readOnly", inv.permissions.irreversible)
        .Add("messageSize", static_cast<int64_t>(inv.data.size()))
        .Add("capacity", static_cast<int64_t>(MaxNdefMessage(areaSize)))
        .Add("verify", inv.verify)
        .Add("blocks", written);
    if (status != kExitOk) out.Add("error", output.ErrorJson()).Add("exitStatus", status);
    output.PrintJson(out);
    return status;
  }
  if (status == kExitOk) {
    std::printf(
        "%s, UID %s: formatted for NDEF: MAD%d in sector 0%s, NFC sectors %s%s, "
        "%zu blocks written (%s); room for %zu bytes of message\n",
        layout.name.c_str(), HexText(session.Info().serial.uid).c_str(), mad2 ? 2 : 1,
        mad2 ? " and 16" : "", SectorList(nfc).c_str(),
        inv.permissions.irreversible ? ", read-only for good" : "", done,
        inv.verify ? "read back the same" : "not verified", MaxNdefMessage(areaSize));
  } else {
    std::printf("%zu of %zu blocks written before the failure\n", done, writes.size());
  }
  return status;
}

}  // namespace

std::string ParseNdef(const Arguments& args, Invocation* inv) {
  if (args.positionals.empty()) return "missing the action: read, write or format";
  inv->topic = args.positionals[0];
  inv->json = args.Has("--json");
  inv->verify = !args.Has("--no-verify");
  if (args.Has("--card")) {
    inv->layout = LayoutByName(args.Value("--card"));
    if (!inv->layout) return "card must be 1K, 2K, 4K or mini: '" + args.Value("--card") + "'";
  }
  const std::string& action = inv->topic;
  const bool message = args.Has("--uri") || args.Has("--text") || args.Has("--mime") ||
                       args.Has("--absolute-uri") || args.Has("--external") ||
                       args.Has("--message") || args.Has("--lang");
  if (action == "read") {
    if (message || args.Has("--force") || args.Has("--key-b") || args.Has("--read-only-forever")) {
      return "ndef read takes --json and --card only";
    }
    return args.Count(1, 1, {"ACTION"});
  }
  if (action != "write" && action != "format") {
    return "the action must be read, write or format: '" + action + "'";
  }
  std::string error = MessageOfOptions(args, &inv->data);
  if (!error.empty()) return error;
  const bool takesFile = args.Has("--mime") || args.Has("--absolute-uri") || args.Has("--external");
  if (!takesFile && args.positionals.size() > 1) {
    return "unexpected argument '" + args.positionals[1] + "'";
  }
  if (action == "write") {
    if (!message) {
      return "ndef write needs --uri, --text, --mime, --absolute-uri, --external or --message";
    }
    if (args.Has("--force") || args.Has("--key-b") || args.Has("--read-only-forever")) {
      return "--force, --key-b and --read-only-forever go with ndef format";
    }
    return "";
  }
  // format: an empty message unless one is given.
  if (!message) inv->data.clear();
  inv->permissions.force = args.Has("--force");
  inv->permissions.irreversible = args.Has("--read-only-forever");
  if (args.Has("--key-b")) {
    auto key = ParseHex(args.Value("--key-b"));
    if (!key || key->size() != static_cast<size_t>(kKeySize)) {
      return "not a key of 12 hex digits: '" + args.Value("--key-b") + "'";
    }
    inv->permissions.keyB = *key;
  }
  return "";
}

int RunNdef(Context& context) {
  const PublicKeys keys = AddPublicKeys(context);
  if (int status = context.Open()) return status;
  if (int status = FindCard(context.Out(), context.Session())) return status;
  const std::string& action = context.inv.topic;
  if (action == "read") return RunNdefRead(context, keys);
  if (action == "write") return RunNdefWrite(context);
  return RunNdefFormat(context);
}

}  // namespace zubtool
