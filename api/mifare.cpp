// The exported functions: the single reader link, the command skeleton every
// command export follows, the card commands, the reader signals and the
// result texts.
#include "MifareZUB.h"

#include <string.h>

#include <new>

#include "lock.h"
#include "messages.h"
#include "qvcomm.h"
#include "reader_commands.h"
#include "reply.h"
#include "sleep_ms.h"

using mzub::TQVcomm;

namespace {

// The current link, or none. The only state kept between calls. It lives in
// static storage rather than on the heap: the library then needs no
// allocator and no C++ runtime (operator new would bring in the exception
// machinery and, on Windows, a thread library with it).
TQVcomm* Link = nullptr;
alignas(TQVcomm) unsigned char LinkStorage[sizeof(TQVcomm)];

void DiscardLink() {
  Link->~TQVcomm();
  Link = nullptr;
}

// The reader's command codes and the exchange timeout.
using namespace mzub::reader;

// Reply fields, in hex characters, after the status byte.
constexpr size_t kTagTypeChars = 4;
constexpr size_t kSerialChars = 10;
constexpr size_t kSizeChars = 2;
constexpr size_t kBlockChars = 32;

bool LinkOpen() {
  return Link != nullptr && Link->Opened;
}

// Byte arguments go to the reader as exactly one byte: a value outside 0 to
// 255 would need more digits and shift every pair after it.
bool IsByte(int32_t v) {
  return v >= 0 && v <= 255;
}

// Starts the request of the current link: command code and lead byte.
TQVcomm& Begin(uint8_t command) {
  Link->BeginRequest(command);
  return *Link;
}

// The one place where what the link reports becomes an export's result: no
// link is -1, and every way an exchange can fail (nothing framed, nothing
// written, no reply, a damaged reply, a reply to another command) is -2.
int32_t ResultCode(mzub::LinkResult r) {
  switch (r) {
    case mzub::LinkResult::kOk:
      return MZ_OK;
    case mzub::LinkResult::kNotOpen:
      return MZ_NO_LINK;
    default:
      return MZ_EXCHANGE_FAILED;
  }
}

// Runs the prepared request: 0 once a matching reply arrived, otherwise -2.
int32_t Exchange() {
  return ResultCode(Link->Transact(kReplyTimeoutMs, 1, 1));
}

// Exchanges the prepared request and takes its reply apart (link/reply.h).
// Returns the reader's status byte, or -2 for a failed exchange or a reply
// too short to hold a status.
int32_t CardExchange(mzub::ReplyParts* reply) {
  if (Exchange() != MZ_OK) return MZ_EXCHANGE_FAILED;
  if (!mzub::ParseReply(Link->ReplyText(), Link->ReplyTextLength(), reply)) {
    return MZ_EXCHANGE_FAILED;
  }
  return reply->status;
}

// A card command whose reply carries nothing for the host but its status.
int32_t StatusResult() {
  mzub::ReplyParts reply;
  return CardExchange(&reply);
}

// Copies a field and a zero byte into the host's buffer. A null address (of
// the variable or of the buffer) is never written through.
void PutText(char** out, mzub::ReplyField field) {
  if (out == nullptr || *out == nullptr) return;
  char* buffer = *out;
  memcpy(buffer, field.text, field.length);
  buffer[field.length] = '\0';
}

void PutInt(int32_t* out, int32_t value) {
  if (out != nullptr) *out = value;
}

// A card command with one text output: up to `chars` characters from reply
// character 5 on when the status is 0 (a reply shorter than the field gives
// what it holds, its check byte included), the empty text otherwise.
int32_t TextResult(char** out, size_t chars) {
  mzub::ReplyParts reply;
  const int32_t status = CardExchange(&reply);
  if (status < 0) return status;
  PutText(out, status == 0 ? mzub::FieldText(reply, chars) : mzub::ReplyField{"", 0});
  return status;
}

// A card command with one integer output: the field read as one hex number,
// first pair most significant, on status 0; 0 otherwise. A reply that ends
// before the field starts cannot give the number: -2, output untouched.
int32_t IntResult(int32_t* out, size_t chars) {
  mzub::ReplyParts reply;
  const int32_t status = CardExchange(&reply);
  if (status < 0) return status;
  if (status != 0) {
    PutInt(out, 0);
    return status;
  }
  uint32_t value = 0;
  if (!mzub::FieldNumber(reply, chars, &value)) return MZ_EXCHANGE_FAILED;
  PutInt(out, static_cast<int32_t>(value));
  return status;
}

// Block commands that take nothing but the block number.
int32_t BlockCommand(uint8_t command, int32_t block) {
  if (!LinkOpen()) return MZ_NO_LINK;
  if (!IsByte(block)) return MZ_EXCHANGE_FAILED;
  Begin(command).AppendByte(static_cast<uint8_t>(block));
  return StatusResult();
}

// Increment and decrement: the block, then the value as four bytes, least
// significant first.
int32_t ValueCommand(uint8_t command, int32_t block, int32_t value) {
  if (!LinkOpen()) return MZ_NO_LINK;
  if (!IsByte(block)) return MZ_EXCHANGE_FAILED;
  TQVcomm& link = Begin(command);
  link.AppendByte(static_cast<uint8_t>(block));
  const uint32_t v = static_cast<uint32_t>(value);
  for (int shift = 0; shift < 32; shift += 8) link.AppendByte(static_cast<uint8_t>(v >> shift));
  return StatusResult();
}

// Reader signals: a completed exchange is success; the status is not read.
int32_t SignalResult() {
  return Exchange();
}

// Closes the device of the current link, if open, and discards the link.
void CloseLink() {
  if (Link == nullptr) return;
  if (Link->Opened) Link->CloseDevice();
  DiscardLink();
}

}  // namespace

extern "C" {

// ---- The link -------------------------------------------------------------

MZ_API int32_t MZ_CALL OpenComm(int32_t deviceIndex, int32_t /*param*/) {
  const mzub::ExportLock lock;
  // An earlier link would otherwise stay open with no way to reach it.
  CloseLink();
  Link = new (LinkStorage) TQVcomm();
  Link->DeviceIndex = static_cast<uint8_t>(deviceIndex);
  Link->Opened = false;
  Link->OpenDevice();
  // The index is reset whether or not the open succeeded: a reader that a
  // host left in the middle of a transfer (a process killed mid-exchange)
  // can refuse to open until its USB side is reset, and hosts retry
  // OpenComm after a failure expecting exactly that.
  Link->ResetDevice();
  if (Link->Opened) return MZ_OK;
  DiscardLink();
  return MZ_NO_LINK;
}

MZ_API int32_t MZ_CALL CloseComm(void) {
  const mzub::ExportLock lock;
  CloseLink();
  return MZ_OK;
}

// ---- Card commands --------------------------------------------------------

MZ_API int32_t MZ_CALL mif_Request(int32_t mode, int32_t* tagType) {
  const mzub::ExportLock lock;
  if (!LinkOpen()) return MZ_NO_LINK;
  Begin(mode == MZ_REQUEST_ALL ? kRequestAll : kRequestIdle);
  return IntResult(tagType, kTagTypeChars);
}

MZ_API int32_t MZ_CALL mif_Anticollision(char** serial) {
  const mzub::ExportLock lock;
  if (!LinkOpen()) return MZ_NO_LINK;
  Begin(kAnticollision);
  return TextResult(serial, kSerialChars);
}

MZ_API int32_t MZ_CALL mif_Select(const char* serial, int32_t* size) {
  const mzub::ExportLock lock;
  if (!LinkOpen()) return MZ_NO_LINK;
  Begin(kSelect).AppendText(serial);
  return IntResult(size, kSizeChars);
}

MZ_API int32_t MZ_CALL mif_LoadKey(int32_t a, int32_t b, const char* key) {
  const mzub::ExportLock lock;
  if (!LinkOpen()) return MZ_NO_LINK;
  if (!IsByte(a) || !IsByte(b)) return MZ_EXCHANGE_FAILED;
  TQVcomm& link = Begin(kLoadKey);
  link.AppendByte(static_cast<uint8_t>(a));
  link.AppendByte(static_cast<uint8_t>(b));
  link.AppendText(key);
  return StatusResult();
}

MZ_API int32_t MZ_CALL mif_Authentication(int32_t a, int32_t b, int32_t c) {
  const mzub::ExportLock lock;
  if (!LinkOpen()) return MZ_NO_LINK;
  if (!IsByte(a) || !IsByte(b) || !IsByte(c)) return MZ_EXCHANGE_FAILED;
  TQVcomm& link = Begin(kAuthentication);
  link.AppendByte(static_cast<uint8_t>(a));
  link.AppendByte(static_cast<uint8_t>(b));
  link.AppendByte(static_cast<uint8_t>(c));
  return StatusResult();
}

MZ_API int32_t MZ_CALL mif_Read(int32_t block, char** data) {
  const mzub::ExportLock lock;
  if (!LinkOpen()) return MZ_NO_LINK;
  if (!IsByte(block)) return MZ_EXCHANGE_FAILED;
  Begin(kRead).AppendByte(static_cast<uint8_t>(block));
  return TextResult(data, kBlockChars);
}

MZ_API int32_t MZ_CALL mif_Write(int32_t block, const char* data) {
  const mzub::ExportLock lock;
  if (!LinkOpen()) return MZ_NO_LINK;
  if (!IsByte(block)) return MZ_EXCHANGE_FAILED;
  TQVcomm& link = Begin(kWrite);
  link.AppendByte(static_cast<uint8_t>(block));
  link.AppendText(data);
  return StatusResult();
}

MZ_API int32_t MZ_CALL mif_Increment(int32_t block, int32_t value) {
  const mzub::ExportLock lock;
  return ValueCommand(kIncrement, block, value);
}

MZ_API int32_t MZ_CALL mif_Decrement(int32_t block, int32_t value) {
  const mzub::ExportLock lock;
  return ValueCommand(kDecrement, block, value);
}

MZ_API int32_t MZ_CALL mif_Restore(int32_t block) {
  const mzub::ExportLock lock;
  return BlockCommand(kRestore, block);
}

MZ_API int32_t MZ_CALL mif_Transfer(int32_t block) {
  const mzub::ExportLock lock;
  return BlockCommand(kTransfer, block);
}

MZ_API int32_t MZ_CALL mif_Halt(void) {
  const mzub::ExportLock lock;
  if (!LinkOpen()) return MZ_NO_LINK;
  Begin(kHalt);
  return StatusResult();
}

// ---- Reader signals -------------------------------------------------------

MZ_API int32_t MZ_CALL zub_beep(int32_t on) {
  const mzub::ExportLock lock;
  if (!LinkOpen()) return MZ_NO_LINK;
  Begin(kBeep).AppendByte(on == 1 ? 1 : 0);
  return SignalResult();
}

MZ_API int32_t MZ_CALL zub_beepms(int32_t ms) {
  // The two beeps' results are not consulted: with no link, or a failing
  // reader, the call still waits and still succeeds. Each beep takes the
  // lock on its own; the wait holds it not, so other calls go on meanwhile.
  zub_beep(1);
  mzub::SleepMs(ms);
  zub_beep(0);
  return MZ_OK;
}

MZ_API int32_t MZ_CALL zub_LED(int32_t led, int32_t on) {
  const mzub::ExportLock lock;
  if (!LinkOpen()) return MZ_NO_LINK;
  if (!IsByte(led)) return MZ_EXCHANGE_FAILED;
  TQVcomm& link = Begin(kLed);
  link.AppendByte(static_cast<uint8_t>(led));
  link.AppendByte(on == 1 ? 1 : 0);
  return SignalResult();
}

MZ_API int32_t MZ_CALL zub_LEDx(int32_t level) {
  const mzub::ExportLock lock;
  if (level != MZ_LED_OFF && level != MZ_LED_HALF && level != MZ_LED_FULL) return 1;
  if (!LinkOpen()) return MZ_NO_LINK;
  Begin(kLedLevel).AppendByte(static_cast<uint8_t>(level));
  return SignalResult();
}

MZ_API int32_t MZ_CALL mif_CtrlRelay(int32_t /*relay*/, int32_t /*on*/) {
  return MZ_OK;
}

// ---- Texts ----------------------------------------------------------------

MZ_API void MZ_CALL ErrMsg(int32_t code, char** text) {
  if (text == nullptr || *text == nullptr) return;
  mzub::MessageText(code, *text, MZ_MESSAGE_BUFFER);
}

}  // extern "C"
