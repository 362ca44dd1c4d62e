#include "slot.h"

#include <string.h>
#include <time.h>

#include "MifareZUB.h"
#include "mifarezub_pcsc.h"
#include "reader_commands.h"
#include "reply.h"
#include "sleep_ms.h"

namespace mzpcsc {
namespace {

// The reader's command codes and the exchange timeout, as the library's.
using namespace mzub::reader;

// Reader status bytes the driver tells apart, by the names of the library's
// one table (MifareZUB.h); a failed exchange is the library's result for it.
enum : int {
  kFailedExchange = MZ_STATUS_EXCHANGE_FAILED,
  kStatusOk = MZ_STATUS_OK,
  kStatusNoCard = MZ_STATUS_NO_CARD,
  kStatusForbidden = MZ_STATUS_NO_PERMISSION,
  kStatusWriteOutside = MZ_STATUS_WRITE_ERROR,
  kStatusReadOutside = MZ_STATUS_READ_ERROR,
};

}  // namespace

ReaderSlot::ReaderSlot(uint8_t index) {
  link_.DeviceIndex = index;
}

ReaderSlot::~ReaderSlot() {
  Close();
}

bool ReaderSlot::Open() {
  std::lock_guard<std::mutex> hold(lock_);
  if (open_) return true;
  link_.OpenDevice();
  link_.ResetDevice();
  open_ = link_.Opened;
  return open_;
}

void ReaderSlot::Close() {
  std::lock_guard<std::mutex> hold(lock_);
  if (!open_) return;
  if (powered_ && selected_) Exchange(kHalt, nullptr, 0);
  link_.CloseDevice();
  open_ = false;
  powered_ = selected_ = lost_ = false;
  authSector_ = -1;
  memset(keys_, 0, sizeof keys_);
  memset(keyLoaded_, 0, sizeof keyLoaded_);
}

ReaderSlot::CardReply ReaderSlot::Exchange(uint8_t command, const uint8_t* args, size_t count,
                                           int attempts) {
  CardReply reply{kFailedExchange, {}, 0};
  // The arguments go to the link's hex text in one conversion, and the reply
  // comes back from it in one: the status, then the fields before the check
  // byte.
  link_.BeginRequest(command);
  link_.AppendBytes(args, count);
  if (link_.Transact(kReplyTimeoutMs, attempts, attempts) != mzub::LinkResult::kOk) return reply;
  mzub::ReplyParts parts;
  if (!mzub::ParseReply(link_.ReplyText(), link_.ReplyTextLength(), &parts) || !parts.ownStatus) {
    return reply;
  }
  reply.status = parts.status;
  reply.fieldLength = mzub::FieldBytes(parts, reply.fields, sizeof reply.fields);
  return reply;
}

bool ReaderSlot::Select(bool expectUid) {
  selected_ = false;
  authSector_ = -1;
  // A card that is ready or active takes a request as out of turn and drops
  // back to idle without answering: the second request finds it.
  CardReply r = Exchange(kRequestAll, nullptr, 0);
  if (r.status != kStatusOk) r = Exchange(kRequestAll, nullptr, 0);
  if (r.status != kStatusOk) return false;
  r = Exchange(kAnticollision, nullptr, 0);
  if (r.status != kStatusOk || r.fieldLength < kUidSize + 1) return false;
  uint8_t uid[kUidSize + 1];
  memcpy(uid, r.fields, sizeof uid);
  if (expectUid && memcmp(uid, uid_, kUidSize) != 0) {
    Exchange(kHalt, nullptr, 0);  // ready: back to idle, for the next poll
    return false;
  }
  r = Exchange(kSelect, uid, sizeof uid);
  CardKind kind;
  if (r.status != kStatusOk || r.fieldLength < 1 || !KindFromSak(r.fields[0], &kind)) return false;
  memcpy(uid_, uid, kUidSize);
  kind_ = kind;
  selected_ = true;
  return true;
}

bool ReaderSlot::CheckSelected() {
  // A selected card holds nothing a halt would lose: halted, it answers the
  // wake-up of the next select and is selected again. One that is not
  // active any more (it left the field and came back) ignores the halt and
  // is found by the select all the same.
  Exchange(kHalt, nullptr, 0);
  return Select(true);
}

void ReaderSlot::LoseCard() {
  powered_ = false;
  selected_ = false;
  authSector_ = -1;
  lost_ = true;
}

Presence ReaderSlot::Poll() {
  std::lock_guard<std::mutex> hold(lock_);
  if (!open_) return Presence::kNoReader;
  if (lost_) {
    lost_ = false;
    return Presence::kAbsent;
  }
  if (powered_) {
    bool present;
    if (authSector_ >= 0) {
      // A read inside the authenticated sector leaves the card as it is;
      // refused by the access conditions, it still proves the card there.
      const uint8_t block = static_cast<uint8_t>(FirstBlockOf(static_cast<size_t>(authSector_)));
      const int status = Exchange(kRead, &block, 1, 2).status;
      present = status == kStatusOk || status == kStatusForbidden;
    } else if (selected_) {
      present = CheckSelected();
    } else {
      present = Select(true);
    }
    if (present) return Presence::kPresent;
    LoseCard();
    lost_ = false;  // reported right now
    return Presence::kAbsent;
  }
  CardReply r = Exchange(kRequestAll, nullptr, 0);
  if (r.status != kStatusOk) r = Exchange(kRequestAll, nullptr, 0);
  if (r.status != kStatusOk) return Presence::kAbsent;
  // Ready after the request; a halt out of turn sends it back to idle (or
  // halt) so that the next poll's request finds it at once.
  Exchange(kHalt, nullptr, 0);
  return Presence::kPresent;
}

PowerResult ReaderSlot::PowerUp(uint8_t* atr, size_t* atrLength) {
  std::lock_guard<std::mutex> hold(lock_);
  *atrLength = 0;
  if (!open_) return PowerResult::kFailed;
  powered_ = false;
  lost_ = false;
  if (!Select(false)) return PowerResult::kNoCard;
  powered_ = true;
  StorageCardAtr(kind_, atr_);
  memcpy(atr, atr_, kAtrSize);
  *atrLength = kAtrSize;
  return PowerResult::kOk;
}

void ReaderSlot::PowerDown() {
  std::lock_guard<std::mutex> hold(lock_);
  if (open_ && powered_ && selected_) Exchange(kHalt, nullptr, 0);
  powered_ = false;
  selected_ = false;
  authSector_ = -1;
}

size_t ReaderSlot::Atr(uint8_t* out, size_t capacity) {
  std::lock_guard<std::mutex> hold(lock_);
  if (!powered_ || capacity < kAtrSize) return 0;
  memcpy(out, atr_, kAtrSize);
  return kAtrSize;
}

size_t ReaderSlot::Uid(uint8_t* out, size_t capacity) {
  std::lock_guard<std::mutex> hold(lock_);
  if (!powered_ || capacity < kUidSize) return 0;
  memcpy(out, uid_, kUidSize);
  return kUidSize;
}

bool ReaderSlot::Powered() {
  std::lock_guard<std::mutex> hold(lock_);
  return powered_;
}

TransmitResult ReaderSlot::Transmit(const uint8_t* tx, size_t txLength, uint8_t* rx,
                                    size_t* rxLength) {
  std::lock_guard<std::mutex> hold(lock_);
  const size_t capacity = *rxLength;
  *rxLength = 0;
  if (capacity < 2) return TransmitResult::kBufferTooSmall;
  const Parsed parsed = ParseApdu(tx, txLength);
  if (parsed.sw != kSwOk) {
    PutSw(parsed.sw, rx);
    *rxLength = 2;
    return TransmitResult::kOk;
  }
  if (!open_ || !powered_) return TransmitResult::kNoCard;
  uint8_t data[kBlockSize];
  size_t dataLength = 0;
  bool gone = false;
  const uint16_t sw = Run(parsed.command, data, &dataLength, &gone);
  if (gone) {
    LoseCard();
    return TransmitResult::kNoCard;
  }
  if (dataLength + 2 > capacity) return TransmitResult::kBufferTooSmall;
  memcpy(rx, data, dataLength);
  PutSw(sw, rx + dataLength);
  *rxLength = dataLength + 2;
  return TransmitResult::kOk;
}

uint16_t ReaderSlot::CardStatusWord(int status, bool write, bool* gone) {
  switch (status) {
    case kStatusOk:
      return kSwOk;
    case kFailedExchange:
      return kSwRefused;
    case kStatusNoCard:
      // The driver only sends this for a block of the sector the card is
      // authenticated for: the card lost that, so it left the field, if
      // only for a moment. Back (and the same card), it is merely no longer
      // authenticated.
      if (!Select(true)) *gone = true;
      return kSwNotAuthenticated;
    case kStatusReadOutside:
    case kStatusWriteOutside:
      return kSwBeyondCard;
    default:
      return write ? kSwWriteFailed : kSwRefused;
  }
}

uint16_t ReaderSlot::Authenticate(const Command& c, bool* gone) {
  if (!keyLoaded_[c.keySlot]) return kSwRefused;
  if (!selected_ && !Select(true)) {
    *gone = true;
    return kSwRefused;
  }
  // The driver's key goes to the same slot of the reader's key store for
  // that key type, then authenticates from there.
  uint8_t load[2 + kKeySize] = {static_cast<uint8_t>(c.keyType), c.keySlot};
  memcpy(load + 2, keys_[c.keySlot], kKeySize);
  if (Exchange(kLoadKey, load, sizeof load).status != kStatusOk) return kSwRefused;
  const uint8_t args[3] = {static_cast<uint8_t>(c.keyType), c.keySlot,
                           static_cast<uint8_t>(c.block)};
  const int status = Exchange(kAuthentication, args, sizeof args).status;
  if (status == kStatusOk) {
    authSector_ = static_cast<int>(SectorOf(c.block));
    return kSwOk;
  }
  // A refused authentication leaves the card idle; the next one selects it
  // again first. After a failed exchange its state is unknown: the same.
  selected_ = false;
  authSector_ = -1;
  if (status == kStatusNoCard && !Select(true)) *gone = true;
  return kSwRefused;
}

uint16_t ReaderSlot::Transfer(uint8_t source, uint8_t target, uint8_t command, const uint8_t* value,
                              bool* gone) {
  uint8_t args[5] = {source};
  size_t count = 1;
  if (value != nullptr) {
    memcpy(args + 1, value, 4);
    count = 5;
  }
  const int status = Exchange(command, args, count).status;
  if (status != kStatusOk) return CardStatusWord(status, false, gone);
  return CardStatusWord(Exchange(kTransfer, &target, 1).status, true, gone);
}

uint16_t ReaderSlot::Run(const Command& c, uint8_t* data, size_t* dataLength, bool* gone) {
  const size_t blocks = BlockCount(kind_);
  switch (c.op) {
    case Op::kGetUid:
      memcpy(data, uid_, kUidSize);
      *dataLength = kUidSize;
      return kSwOk;
    case Op::kLoadKey:
      memcpy(keys_[c.keySlot], c.key, kKeySize);
      keyLoaded_[c.keySlot] = true;
      return kSwOk;
    case Op::kAuthenticate:
      if (c.block >= blocks) return kSwBeyondCard;
      return Authenticate(c, gone);
    default:
      break;
  }
  if (c.block >= blocks || (c.op == Op::kRestoreTransfer && c.target >= blocks)) {
    return kSwBeyondCard;
  }
  if (authSector_ < 0 || SectorOf(c.block) != static_cast<size_t>(authSector_) ||
      (c.op == Op::kRestoreTransfer && SectorOf(c.target) != static_cast<size_t>(authSector_))) {
    return kSwNotAuthenticated;
  }
  const uint8_t block = static_cast<uint8_t>(c.block);
  switch (c.op) {
    case Op::kReadBlock:
    case Op::kReadValue: {
      const CardReply r = Exchange(kRead, &block, 1);
      if (r.status != kStatusOk) return CardStatusWord(r.status, false, gone);
      if (r.fieldLength < kBlockSize) return kSwRefused;
      if (c.op == Op::kReadBlock) {
        memcpy(data, r.fields, kBlockSize);
        *dataLength = kBlockSize;
        return kSwOk;
      }
      int32_t value = 0;
      if (!ParseValueBlock(r.fields, &value)) return kSwRefused;
      const uint32_t v = static_cast<uint32_t>(value);
      for (int i = 0; i < 4; ++i) data[i] = static_cast<uint8_t>(v >> (24 - 8 * i));
      *dataLength = 4;
      return kSwOk;
    }
    case Op::kUpdateBlock:
    case Op::kStoreValue: {
      uint8_t args[1 + kBlockSize] = {block};
      if (c.op == Op::kUpdateBlock) {
        memcpy(args + 1, c.data, kBlockSize);
      } else {
        MakeValueBlock(c.value, block, args + 1);
      }
      return CardStatusWord(Exchange(kWrite, args, sizeof args).status, true, gone);
    }
    case Op::kIncrement:
    case Op::kDecrement: {
      // The reader takes the operand least significant byte first.
      const uint32_t v = static_cast<uint32_t>(c.value);
      const uint8_t value[4] = {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8),
                                static_cast<uint8_t>(v >> 16), static_cast<uint8_t>(v >> 24)};
      return Transfer(block, block, c.op == Op::kIncrement ? kIncrement : kDecrement, value, gone);
    }
    case Op::kRestoreTransfer:
      return Transfer(block, static_cast<uint8_t>(c.target), kRestore, nullptr, gone);
    default:
      return kSwNotSupported;
  }
}

bool ReaderSlot::Signal(const uint8_t* request, size_t length, bool* sent) {
  *sent = false;
  if (request == nullptr || length == 0) return false;
  const uint8_t op = request[0];
  uint8_t args[2] = {};
  uint8_t command = 0;
  size_t count = 0;
  unsigned beepMs = 0;
  switch (op) {
    case kMifareZubSignalBeeper:
      if (length != 2 || request[1] > 1) return false;
      command = kBeep;
      args[0] = request[1];
      count = 1;
      break;
    case kMifareZubSignalBeep:
      if (length != 3) return false;
      beepMs = static_cast<unsigned>(request[1]) << 8 | request[2];
      if (beepMs == 0 || beepMs > kMifareZubMaxBeepMs) return false;
      command = kBeep;
      args[0] = 1;
      count = 1;
      break;
    case kMifareZubSignalLed:
      if (length != 3 || request[2] > 1) return false;
      command = kLed;
      args[0] = request[1];
      args[1] = request[2];
      count = 2;
      break;
    case kMifareZubSignalLedLevel:
      if (length != 2 || (request[1] != 0x00 && request[1] != 0x7F && request[1] != 0xFF)) {
        return false;
      }
      command = kLedLevel;
      args[0] = request[1];
      count = 1;
      break;
    default:
      return false;
  }
  *sent = true;
  {
    std::lock_guard<std::mutex> hold(lock_);
    if (!open_ || Exchange(command, args, count).status == kFailedExchange) return false;
  }
  if (beepMs == 0) return true;
  // The lock is not held while the beeper sounds: the card goes on being
  // polled and used meanwhile.
  mzub::SleepMs(beepMs);
  std::lock_guard<std::mutex> hold(lock_);
  const uint8_t off = 0;
  return open_ && Exchange(kBeep, &off, 1).status != kFailedExchange;
}

}  // namespace mzpcsc
