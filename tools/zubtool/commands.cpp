#include "commands.h"

#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <thread>

#include "reader.h"

namespace zubtool {

namespace {

constexpr int32_t kNoPermission = 16;
constexpr int32_t kExchangeFailed = -2;
constexpr int kSlots = 256;

void Fail(const std::string& what) {
  std::fprintf(stderr, "zubtool: %s\n", what.c_str());
}

std::string BlockLine(int block, const Bytes& data) {
  char number[8];
  std::snprintf(number, sizeof number, "%4d", block);
  return std::string(number) + "  " + HexSpaced(data) + "  |" + AsciiText(data) + "|";
}

const char* KeyName(int type) {
  return type == kKeyA ? "A" : "B";
}

struct CardInfo {
  uint16_t atqa = 0;
  uint8_t sak = 0;
  std::string serialHex;  // UID and BCC, as anticollision reported them
  Serial serial;
  CardLayout layout;
};

// One card in the field: found once, selected again whenever a refused
// authentication sent it back to idle. Each key goes to the reader's key
// store once per key type (key i into slot i).
class CardSession {
 public:
  CardSession(Reader& reader, const std::vector<Bytes>& keys) : reader_(reader), keys_(keys) {}

  // Wakes every card in the field and selects the one that answers.
  int32_t Find() {
    int32_t r = reader_.Request(true, &info_.atqa);
    if (r == 0) r = reader_.Anticollision(&info_.serialHex);
    if (r != 0) return r;
    auto serial = ParseSerial(info_.serialHex);
    if (!serial) return kExchangeFailed;
    info_.serial = *serial;
    if ((r = reader_.Select(info_.serialHex, &info_.sak)) != 0) return r;
    info_.layout = IdentifyCard(info_.atqa, info_.sak);
    selected_ = true;
    return 0;
  }

  const CardInfo& Info() const { return info_; }
  const Bytes& Key(int index) const { return keys_[static_cast<size_t>(index)]; }
  // Nonzero once the card could not be selected again (taken away, another
  // card, the reader gone): nothing more can be done with it.
  int32_t Lost() const { return lost_; }

  // Authenticates the sector of `block` as key `type`, trying the keys in
  // order. The index of the key that worked, or -1 with the last result in
  // `*result`.
  int FindKey(int block, int type, int32_t* result) {
    *result = 1;
    for (size_t i = 0; i < keys_.size() && lost_ == 0; ++i) {
      *result = Authenticate(block, type, static_cast<int>(i));
      if (*result == 0) return static_cast<int>(i);
      if (*result < 0) break;
    }
    return -1;
  }

  int32_t Authenticate(int block, int type, int index) {
    if (lost_) return lost_;
    if (!selected_ && (lost_ = Reselect()) != 0) return lost_;
    int32_t r;
    if (!loaded_[type][index]) {
      if ((r = reader_.LoadKey(type, index, keys_[static_cast<size_t>(index)])) != 0) return r;
      loaded_[type][index] = true;
    }
    r = reader_.Authenticate(type, index, block);
    if (r != 0) selected_ = false;  // a refused card waits for a new request
    return r;
  }

 private:
  int32_t Reselect() {
    uint16_t atqa;
    std::string serial;
    uint8_t sak;
    int32_t r = reader_.Request(true, &atqa);
    if (r == 0) r = reader_.Anticollision(&serial);
    if (r == 0 && serial != info_.serialHex) {
      Fail("another card is in the field (UID " + serial.substr(0, 8) + ")");
      r = 1;
    }
    if (r == 0) r = reader_.Select(serial, &sak);
    selected_ = r == 0;
    return r;
  }

  Reader& reader_;
  const std::vector<Bytes>& keys_;
  CardInfo info_;
  bool selected_ = false;
  int32_t lost_ = 0;
  bool loaded_[2][kSlots] = {};
};

// The outcome of an operation that needs its sector authenticated.
struct Access {
  int32_t result = 1;
  bool authenticated = false;  // some key opened the sector
  int keyType = kKeyA;
  int keyIndex = -1;
  std::optional<int32_t> refused[2];  // why no key opened it, per key type tried
};

// Authenticates the sector of `block` (as key A, then as key B, unless the
// key type is fixed) and runs `op`. Where the access conditions refuse `op`
// to key A, key B gets its turn.
Access WithAccess(CardSession& session, std::optional<int> keyType, int block,
                  const std::function<int32_t()>& op) {
  Access access;
  for (int type : {kKeyA, kKeyB}) {
    if (keyType && *keyType != type) continue;
    int32_t r;
    int index = session.FindKey(block, type, &r);
    if (index < 0) {
      access.refused[type] = r;
      if (r < 0 || session.Lost()) break;
      continue;
    }
    access.authenticated = true;
    access.keyType = type;
    access.keyIndex = index;
    access.result = op();
    if (access.result != kNoPermission) return access;
  }
  if (!access.authenticated)
    access.result = access.refused[kKeyA].value_or(access.refused[kKeyB].value_or(1));
  return access;
}

// Why no key opened a sector: "key A 密码错 (4), key B 无读写权限 (16)".
std::string Refusals(const std::optional<int32_t> (&refused)[2]) {
  std::string text;
  for (int type : {kKeyA, kKeyB}) {
    if (!refused[type]) continue;
    if (!text.empty()) text += ", ";
    text += std::string("key ") + KeyName(type) + " " + Describe(*refused[type]);
  }
  return text;
}

// The error line for an operation that did not succeed.
void ReportAccess(const Access& access, const std::string& what, int block,
                  const CardSession& session) {
  if (session.Lost()) {
    Fail(what + ": the card was lost: " + Describe(session.Lost()));
  } else if (!access.authenticated) {
    Fail(what + ": no key to try opens sector " + std::to_string(SectorOfBlock(block)) + ": " +
         Refusals(access.refused));
  } else {
    Fail(what + ": " + Describe(access.result));
  }
}

std::string KeyNote(const Access& access, const CardSession& session) {
  return std::string("key ") + KeyName(access.keyType) + " " +
         HexText(session.Key(access.keyIndex));
}

// Finds the card, reporting a failure; 0 when it is selected.
int FindCard(CardSession& session) {
  int32_t r = session.Find();
  if (r == 0) return kExitOk;
  Fail(r == 1 ? "no card answers: " + Describe(r) : "no card found: " + Describe(r));
  return kExitFailed;
}

int Scan(CardSession& session) {
  if (int status = FindCard(session)) return status;
  const CardInfo& card = session.Info();
  std::printf("card  %s\n", card.layout.name.c_str());
  std::printf("UID   %s\n", HexText(card.serial.uid).c_str());
  std::printf("BCC   %02X (%s)\n", card.serial.bcc,
              card.serial.bccOk ? "ok" : "does not match the UID");
  std::printf("ATQA  %02X %02X\n", card.atqa >> 8, card.atqa & 0xFF);
  std::printf("SAK   %02X\n", card.sak);
  return kExitOk;
}

int ReadBlock(Reader& reader, CardSession& session, const Invocation& inv) {
  if (int status = FindCard(session)) return status;
  Bytes data;
  Access access =
      WithAccess(session, inv.keyType, inv.block, [&] { return reader.Read(inv.block, &data); });
  if (access.result != 0) {
    ReportAccess(access, "read block " + std::to_string(inv.block), inv.block, session);
    return kExitFailed;
  }
  std::printf("block %d, sector %d, %s\n", inv.block, SectorOfBlock(inv.block),
              KeyNote(access, session).c_str());
  std::printf("%s\n", BlockLine(inv.block, data).c_str());
  return kExitOk;
}

int WriteBlock(Reader& reader, CardSession& session, const Invocation& inv) {
  bool trailer = IsTrailer(inv.block);
  if (int status = FindCard(session)) return status;
  Access access = WithAccess(session, inv.keyType, inv.block,
                             [&] { return reader.Write(inv.block, inv.data); });
  if (access.result != 0) {
    ReportAccess(access, "write block " + std::to_string(inv.block), inv.block, session);
    return kExitFailed;
  }
  // Read it back where the keys allow: trailers hide their keys, so only
  // data blocks are compared.
  Bytes back;
  if (!trailer && reader.Read(inv.block, &back) == 0 && back != inv.data) {
    Fail("block " + std::to_string(inv.block) + " reads back differently:\n" +
         BlockLine(inv.block, back));
    return kExitFailed;
  }
  std::printf("block %d written, %s\n", inv.block, KeyNote(access, session).c_str());
  std::printf("%s\n", BlockLine(inv.block, inv.data).c_str());
  return kExitOk;
}

int Value(Reader& reader, CardSession& session, const Invocation& inv) {
  if (int status = FindCard(session)) return status;
  const std::string block = std::to_string(inv.block);
  Access access;
  std::string what;
  Bytes data;
  switch (inv.valueOp) {
    case ValueOp::kGet:
      what = "read block " + block;
      access = WithAccess(session, inv.keyType, inv.block,
                          [&] { return reader.Read(inv.block, &data); });
      break;
    case ValueOp::kSet:
      what = "write value block " + block;
      access = WithAccess(session, inv.keyType, inv.block, [&] {
        return reader.Write(inv.block,
                            EncodeValueBlock(inv.amount, static_cast<uint8_t>(inv.block)));
      });
      break;
    case ValueOp::kInc:
    case ValueOp::kDec: {
      bool inc = inv.valueOp == ValueOp::kInc;
      what = std::string(inc ? "increment" : "decrement") + " block " + block;
      access = WithAccess(session, inv.keyType, inv.block, [&] {
        int32_t r =
            inc ? reader.Increment(inv.block, inv.amount) : reader.Decrement(inv.block, inv.amount);
        if (r == 0) {
          r = reader.Transfer(inv.block);
          if (r != 0) what = "transfer into block " + block;
        }
        return r;
      });
      break;
    }
  }
  if (access.result != 0) {
    ReportAccess(access, what, inv.block, session);
    return kExitFailed;
  }
  int32_t r = inv.valueOp == ValueOp::kGet ? 0 : reader.Read(inv.block, &data);
  if (r != 0) {
    std::printf("block %s: done (the block cannot be read back: %s)\n", block.c_str(),
                Describe(r).c_str());
    return kExitOk;
  }
  auto value = DecodeValueBlock(data);
  if (!value) {
    Fail("block " + block + " is not a value block:\n" + BlockLine(inv.block, data));
    return kExitFailed;
  }
  std::printf("block %s: value %d (address byte %u), %s\n", block.c_str(),
              static_cast<int>(value->value), value->address, KeyNote(access, session).c_str());
  if (inv.valueOp == ValueOp::kSet && value->value != inv.amount) {
    Fail("block " + block + " reads back a different value");
    return kExitFailed;
  }
  return kExitOk;
}

// What dump learnt about one sector.
struct SectorDump {
  std::optional<Bytes> keyA, keyB;
  bool keyBRead = false;  // key B came from the trailer, not from authenticating
  std::vector<std::optional<Bytes>> blocks;
  std::vector<int32_t> results;
  std::optional<int32_t> refused[2];  // why no key opened it, per key type tried
};

// Whether the trailer's access conditions let key A read key B (the card
// then shows key B in the trailer, and it cannot authenticate).
bool KeyBReadable(const Bytes& trailer) {
  int c1 = trailer[7] >> 7 & 1, c2 = trailer[8] >> 3 & 1, c3 = trailer[8] >> 7 & 1;
  int bits = c1 << 2 | c2 << 1 | c3;
  return bits == 0 || bits == 2 || bits == 1;
}

SectorDump DumpSector(Reader& reader, CardSession& session, std::optional<int> keyType,
                      int sector) {
  SectorDump dump;
  const int first = FirstBlock(sector), count = BlocksInSector(sector);
  dump.blocks.resize(static_cast<size_t>(count));
  dump.results.assign(static_cast<size_t>(count), 1);
  auto readMissing = [&] {
    for (int i = 0; i < count; ++i) {
      if (dump.blocks[static_cast<size_t>(i)]) continue;
      Bytes data;
      int32_t r = reader.Read(first + i, &data);
      dump.results[static_cast<size_t>(i)] = r;
      if (r == 0) dump.blocks[static_cast<size_t>(i)] = data;
      if (r < 0) return;
    }
  };
  int32_t r;
  if (!keyType || *keyType == kKeyA) {
    int index = session.FindKey(first, kKeyA, &r);
    if (index < 0) dump.refused[kKeyA] = r;
    if (index >= 0) {
      dump.keyA = session.Key(index);
      readMissing();
    }
  }
  const auto& trailer = dump.blocks.back();
  if (trailer && KeyBReadable(*trailer)) {
    dump.keyB = Bytes(trailer->begin() + 10, trailer->end());
    dump.keyBRead = true;
  } else if (!session.Lost() && (!keyType || *keyType == kKeyB)) {
    int index = session.FindKey(first, kKeyB, &r);
    if (index < 0) dump.refused[kKeyB] = r;
    if (index >= 0) {
      dump.keyB = session.Key(index);
      readMissing();
    }
  }
  return dump;
}

int Dump(Reader& reader, CardSession& session, const Invocation& inv) {
  if (int status = FindCard(session)) return status;
  const CardInfo& card = session.Info();
  CardLayout layout = inv.layout ? *inv.layout : card.layout;
  if (layout.sectors == 0) {
    Fail("the card (" + card.layout.name + ", SAK " + HexText({card.sak}) +
         ") has no MIFARE Classic sectors; give --card 1K, 4K or mini to dump it anyway");
    return kExitFailed;
  }
  std::printf("card  %s  UID %s  ATQA %02X %02X  SAK %02X\n", layout.name.c_str(),
              HexText(card.serial.uid).c_str(), card.atqa >> 8, card.atqa & 0xFF, card.sak);

  Bytes image(static_cast<size_t>(layout.ImageSize()), 0);
  int sectorsComplete = 0, blocksRead = 0;
  for (int sector = 0; sector < layout.sectors && !session.Lost(); ++sector) {
    SectorDump dump = DumpSector(reader, session, inv.keyType, sector);
    const int first = FirstBlock(sector), count = BlocksInSector(sector);
    std::string keys = "key A " + (dump.keyA ? HexText(*dump.keyA) : std::string("?")) +
                       "  key B " + (dump.keyB ? HexText(*dump.keyB) : std::string("?"));
    if (dump.keyBRead) keys += " (read from the trailer)";
    std::printf("\nsector %d  blocks %d-%d  %s\n", sector, first, first + count - 1, keys.c_str());
    if (!dump.keyA && !dump.keyB) {
      std::printf("      no key to try opens the sector: %s\n", Refusals(dump.refused).c_str());
    }
    bool complete = true;
    for (int i = 0; i < count; ++i) {
      const auto& data = dump.blocks[static_cast<size_t>(i)];
      const int block = first + i;
      if (!data) {
        complete = false;
        if (dump.keyA || dump.keyB) {
          std::printf("%4d  -- unreadable: %s\n", block,
                      Describe(dump.results[static_cast<size_t>(i)]).c_str());
        } else {
          std::printf("%4d  -- unreadable\n", block);
        }
        continue;
      }
      ++blocksRead;
      std::printf("%s\n", BlockLine(block, *data).c_str());
      std::copy(data->begin(), data->end(), image.begin() + block * kBlockSize);
    }
    // Keys go into the image's trailer where known: the card never shows
    // key A, and key B only where the access conditions let it.
    const size_t trailer = static_cast<size_t>(TrailerBlock(sector) * kBlockSize);
    if (dump.keyA) std::copy(dump.keyA->begin(), dump.keyA->end(), image.begin() + trailer);
    if (dump.keyB) std::copy(dump.keyB->begin(), dump.keyB->end(), image.begin() + trailer + 10);
    if (complete) ++sectorsComplete;
  }

  std::printf("\n%d of %d sectors read in full, %d of %d blocks\n", sectorsComplete, layout.sectors,
              blocksRead, layout.Blocks());
  int status = sectorsComplete == layout.sectors ? kExitOk : kExitFailed;
  if (session.Lost()) {
    Fail("the card was lost during the dump: " + Describe(session.Lost()));
    status = kExitFailed;
  }
  if (!inv.out.empty()) {
    std::ofstream file(inv.out, std::ios::binary | std::ios::trunc);
    file.write(reinterpret_cast<const char*>(image.data()),
               static_cast<std::streamsize>(image.size()));
    file.close();
    if (!file) {
      Fail("cannot write " + inv.out);
      return kExitFailed;
    }
    std::printf("image written to %s (%zu bytes)\n", inv.out.c_str(), image.size());
  }
  return status;
}

int Beep(Reader& reader, const Invocation& inv) {
  int32_t r = reader.Beep(true);
  if (r != 0) {
    Fail("beeper on: " + Describe(r));
    return kExitFailed;
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(inv.milliseconds));
  if ((r = reader.Beep(false)) != 0) {
    Fail("beeper off: " + Describe(r));
    return kExitFailed;
  }
  std::printf("beeped for %d ms\n", inv.milliseconds);
  return kExitOk;
}

int Led(Reader& reader, const Invocation& inv) {
  int32_t r = reader.Led(inv.led, inv.on);
  if (r != 0) {
    Fail("LED " + std::to_string(inv.led) + ": " + Describe(r));
    return kExitFailed;
  }
  std::printf("LED %d %s\n", inv.led, inv.on ? "on" : "off");
  return kExitOk;
}

}  // namespace

int RunCommand(const Invocation& inv, const std::vector<Bytes>& keys) {
  Reader reader(inv.verbose);
  int32_t r = reader.Open(inv.device);
  if (r != 0) {
    Fail("no reader at device index " + std::to_string(inv.device) + ": " + Describe(r));
    return kExitNoReader;
  }
  CardSession session(reader, keys);
  switch (inv.command) {
    case Command::kScan:
      return Scan(session);
    case Command::kDump:
      return Dump(reader, session, inv);
    case Command::kRead:
      return ReadBlock(reader, session, inv);
    case Command::kWrite:
      return WriteBlock(reader, session, inv);
    case Command::kValue:
      return Value(reader, session, inv);
    case Command::kBeep:
      return Beep(reader, inv);
    case Command::kLed:
      return Led(reader, inv);
    case Command::kNone:
      break;
  }
  return kExitUsage;
}

}  // namespace zubtool
