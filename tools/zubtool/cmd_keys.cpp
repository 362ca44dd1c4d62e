// keys: which key A and which key B open each sector.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <regex>
#include <sstream>

#include "commands.h"
#include "files.h"
#include "interrupt.h"
#include "json.h"
#include "key_search.h"
#include "session.h"
#include "status.h"

namespace zubtool {

namespace {

// Widely published default and transport keys: those cards leave the
// factory with, and those common systems and tutorials configure.
const char* const kBuiltInKeys[] = {
    "FFFFFFFFFFFF", "000000000000", "A0A1A2A3A4A5", "B0B1B2B3B4B5", "D3F7D3F7D3F7", "AABBCCDDEEFF",
    "4D3A99C351DD", "1A982C7E459A", "714C5C886E97", "587EE5F9350F", "A0478CC39091", "533CB6C723F6",
    "8FD0A4F256E9", "123456789ABC", "ABCDEF123456", "010203040506", "111111111111", "222222222222",
    "333333333333", "444444444444", "555555555555", "666666666666", "777777777777", "888888888888",
    "999999999999", "AAAAAAAAAAAA", "BBBBBBBBBBBB", "CCCCCCCCCCCC", "DDDDDDDDDDDD", "EEEEEEEEEEEE",
    "0123456789AB", "A1A2A3A4A5A6", "B1B2B3B4B5B6", "C0C1C2C3C4C5", "D0D1D2D3D4D5",
};

// What an earlier --out file holds: the card it was written for, the keys in
// its order, and per sector and key type what was found or searched in vain.
struct EarlierSearch {
  std::string uid;
  std::vector<Bytes> keys;
  std::vector<SectorKeys> sectors;
};

std::optional<EarlierSearch> ReadEarlierSearch(const std::string& text, int sectors,
                                               std::string* error) {
  EarlierSearch earlier;
  earlier.sectors.resize(static_cast<size_t>(sectors));
  static const std::regex header(R"(^# keys found on the card ([0-9A-Fa-f]+) \()");
  static const std::regex found(R"(^\s*([0-9A-Fa-f]{12})\s*# sector (\d+) key ([AB])\s*$)");
  static const std::regex searched(R"(^# sector (\d+) key ([AB]): (.*)$)");
  std::istringstream lines(text);
  std::string line;
  bool first = true;
  std::smatch m;
  while (std::getline(lines, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (first) {
      first = false;
      if (!std::regex_search(line, m, header)) {
        *error =
            "its first line does not name the card it was written for (not written by "
            "zubtool keys --out)";
        return std::nullopt;
      }
      earlier.uid = m[1].str();
      continue;
    }
    int sector = -1, type = kKeyA;
    std::optional<Bytes> key;
    std::string what;
    if (std::regex_match(line, m, found)) {
      key = ParseHex(m[1].str());
      sector = std::stoi(m[2].str().substr(0, 4));
      type = m[3].str() == "A" ? kKeyA : kKeyB;
    } else if (std::regex_match(line, m, searched)) {
      sector = std::stoi(m[1].str().substr(0, 4));
      type = m[2].str() == "A" ? kKeyA : kKeyB;
      what = m[3].str();
    } else {
      continue;  // the interruption note, or lines added by hand
    }
    if (sector < 0 || sector >= sectors) continue;
    SectorKeys& s = earlier.sectors[static_cast<size_t>(sector)];
    if (key) {
      (type == kKeyA ? s.keyA : s.keyB) = *key;
      earlier.keys.push_back(*key);
    } else if (what == kReadable && type == kKeyB) {
      s.keyBReadable = true;
    } else if (what == kNoneOpens) {
      s.notFound[type] = true;
    }
  }
  if (first) {
    *error = "it is empty";
    return std::nullopt;
  }
  return earlier;
}

// Progress on standard error once a search has run for more than a second.
// Sectors are numbered as in the table, from 0.
class Progress {
 public:
  explicit Progress(size_t keys) : keys_(keys), start_(Clock::now()), last_(start_) {}
  ~Progress() { Clear(); }
  void Show(int sector, int sectors, int type, size_t tried) {
    auto now = Clock::now();
    if (now - start_ < std::chrono::seconds(1) || now - last_ < std::chrono::milliseconds(250)) {
      return;
    }
    last_ = now;
    const int n =
        std::fprintf(stderr, "\rsector %d (sectors 0 to %d), key %s: %zu of %zu keys tried  ",
                     sector, sectors - 1, KeyName(type), tried, keys_);
    shown_ = std::max(shown_, n - 1);
    std::fflush(stderr);
  }
  void Clear() {
    if (shown_ > 0) std::fprintf(stderr, "\r%*s\r", shown_, "");
    shown_ = 0;
  }

 private:
  using Clock = std::chrono::steady_clock;
  size_t keys_;
  Clock::time_point start_, last_;
  int shown_ = 0;  // the width of the longest line shown
};

}  // namespace

const std::vector<Bytes>& BuiltInKeys() {
  static const std::vector<Bytes> kKeys = [] {
    std::vector<Bytes> keys;
    for (const char* hex : kBuiltInKeys) keys.push_back(*ParseHex(hex));
    return keys;
  }();
  return kKeys;
}

std::string ParseKeys(const Arguments& args, Invocation* inv) {
  inv->json = args.Has("--json");
  if (args.Has("--card")) {
    inv->layout = LayoutByName(args.Value("--card"));
    if (!inv->layout) return "card must be 1K, 2K, 4K or mini: '" + args.Value("--card") + "'";
  }
  if (args.Has("--out")) {
    inv->out = args.Value("--out");
    if (inv->out.empty()) return "option --out needs a file name";
  }
  inv->resume = args.Has("--resume");
  if (inv->resume && inv->out.empty())
    return "--resume goes on from the file of --out FILE: give --out as well";
  return args.Count(0, 0, {});
}

int RunKeys(Context& context) {
  Output& output = context.Out();
  const Invocation& inv = context.inv;
  if (!inv.out.empty() && !CheckOutputFile(output, inv.out)) return kExitUsage;
  // --resume: the earlier file is read before anything else; its keys come first.
  std::optional<std::string> earlierText;
  if (inv.resume) {
    std::ifstream file(inv.out, std::ios::binary);
    if (file) {
      std::stringstream text;
      text << file.rdbuf();
      earlierText = text.str();
    } else if (!inv.json) {
      std::fprintf(stderr, "zubtool: %s does not exist yet: the search starts from the beginning\n",
                   inv.out.c_str());
    }
  }
  // The keys of the earlier file first, then those given, then the built-in
  // ones, each once: the list given is moved, not copied.
  PackedKeys keys;
  if (earlierText) keys = ReadKeyList(*earlierText).keys;
  keys.Append(context.TakeKeys());
  if (inv.defaultKey) {
    for (const auto& key : BuiltInKeys()) keys.Push(key);
  }
  keys.RemoveDuplicates();
  if (keys.empty()) {
    output.Fail(
        "no key to try (--no-default-key without --key, --keys-file or an earlier --out file)");
    return kExitUsage;
  }
  const size_t keyCount = keys.size();
  context.SetKeys(std::move(keys));
  if (int status = context.Open()) return status;
  CardSession& session = context.Session();
  if (int status = FindCard(output, session)) return status;
  const CardInfo& card = session.Info();
  const CardLayout layout = inv.layout ? *inv.layout : card.layout;
  if (layout.sectors == 0) {
    output.Fail("the card (" + card.layout.name + ") has no MIFARE Classic sectors");
    return kExitFailed;
  }

  std::vector<SectorKeys> found(static_cast<size_t>(layout.sectors));
  int resumed = 0;  // key types the earlier file had settled
  if (earlierText) {
    std::string error;
    auto earlier = ReadEarlierSearch(*earlierText, layout.sectors, &error);
    if (!earlier) {
      output.Fail("cannot resume from " + inv.out + ": " + error + "; nothing was searched");
      return kExitUsage;
    }
    const std::string uid = HexText(card.serial.uid);
    if (HexText(*ParseHex(earlier->uid)) != uid) {
      output.Fail("cannot resume from " + inv.out + ": it is for the card " + earlier->uid +
                  ", the card in the field is " + uid + "; nothing was searched");
      return kExitFailed;
    }
    found = earlier->sectors;
    for (const auto& s : found) {
      for (int type : {kKeyA, kKeyB}) resumed += s.Done(type) ? 1 : 0;
    }
  }
  // The --out file is written as the search goes: a key found is on the disk
  // before the next try.
  std::string writeError;
  auto save = [&](bool interrupted) {
    if (inv.out.empty() || !writeError.empty()) return;
    writeError = WriteFileAtomically(inv.out, KeysFileText(card, layout, found, interrupted));
    if (!writeError.empty()) output.Fail(writeError);
  };
  Progress progress(keyCount);
  InterruptScope interrupt;
  session.StopWhen(InterruptScope::Interrupted);
  KeySearchHooks hooks;
  hooks.tried = [&](int sector, int type, size_t tried) {
    progress.Show(sector, layout.sectors, type, tried);
  };
  hooks.settled = [&](int, int) { save(false); };
  SearchKeys(session, layout, inv.keyType, &found, hooks);
  progress.Clear();
  const bool interrupted = session.Stopped();

  int status = kExitOk;
  if (session.Lost()) {
    output.Fail("the card was lost during the search: " + Describe(session.Lost()));
    status = kExitFailed;
  }
  if (inv.json) {
    Json out = Json::Object();
    out.Add("card", layout.name).Add("uid", HexText(card.serial.uid));
    Json sectors = Json::Array();
    for (int sector = 0; sector < layout.sectors; ++sector) {
      const SectorKeys& s = found[static_cast<size_t>(sector)];
      Json entry = Json::Object();
      entry.Add("sector", sector);
      entry.Add("keyA", s.keyA ? Json(HexText(*s.keyA)) : Json());
      entry.Add("keyB", s.keyB ? Json(HexText(*s.keyB)) : Json());
      entry.Add("keyBReadable", s.keyBReadable);
      entry.Add("searched", s.searched);
      sectors.Push(entry);
    }
    out.Add("sectors", sectors).Add("keysTried", static_cast<int64_t>(keyCount));
    out.Add("interrupted", interrupted);
    out.Add("resumed", resumed);
    output.PrintJson(out);
  } else {
    std::printf("card  %s  UID %s  (%zu keys to try)\n", layout.name.c_str(),
                HexText(card.serial.uid).c_str(), keyCount);
    if (resumed) {
      std::printf("resumed from %s: %d sector key%s settled there, not searched again\n",
                  inv.out.c_str(), resumed, resumed > 1 ? "s" : "");
    }
    std::printf("\n");
    std::printf("sector  key A         key B\n");
    for (int sector = 0; sector < layout.sectors; ++sector) {
      const SectorKeys& s = found[static_cast<size_t>(sector)];
      const char* none = s.searched ? "?" : "-";
      std::string b = s.keyB           ? HexText(*s.keyB)
                      : s.keyBReadable ? "readable with key A: not a key"
                                       : none;
      std::printf("%6d  %-12s  %s\n", sector, s.keyA ? HexText(*s.keyA).c_str() : none, b.c_str());
    }
  }
  if (interrupted) {
    save(true);
    output.Fail(std::string("the search was interrupted: sectors marked - were not searched") +
                (inv.out.empty() ? "" : "; " + inv.out + " holds the keys found"));
    std::fflush(stdout);
    return kExitInterrupted;
  }
  int missing = 0;
  for (const auto& s : found) missing += s.searched && !s.keyA && !s.keyB;
  if (missing) {
    output.Fail(std::to_string(missing) + " sector" + (missing > 1 ? "s" : "") +
                " opened by none of the keys tried");
    status = kExitFailed;
  }
  if (!inv.out.empty()) {
    save(false);
    if (!writeError.empty()) return kExitFailed;
    if (!inv.json) std::printf("\nkeys written to %s\n", inv.out.c_str());
  }
  return status;
}

}  // namespace zubtool
