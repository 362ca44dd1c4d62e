// One reader as pcscd sees it: a slot with its own link to one device index,
// the card in its field, and the driver's volatile key slots.
//
// Every public method takes the reader's lock: pcscd polls for the card from
// one thread while applications transmit from others.
#ifndef MIFAREZUB_PCSC_SLOT_H
#define MIFAREZUB_PCSC_SLOT_H

#include <stddef.h>
#include <stdint.h>

#include <mutex>

#include "apdu.h"
#include "qvcomm.h"

namespace mzpcsc {

enum class Presence { kPresent, kAbsent, kNoReader };

enum class PowerResult { kOk, kNoCard, kFailed };
enum class TransmitResult { kOk, kNoCard, kBufferTooSmall };

class ReaderSlot {
 public:
  // Takes device index `index` (0-255). Nothing is opened yet.
  explicit ReaderSlot(uint8_t index);
  ~ReaderSlot();
  ReaderSlot(const ReaderSlot&) = delete;
  ReaderSlot& operator=(const ReaderSlot&) = delete;

  // Opens the device (and resets its USB side, as a reader a killed process
  // left mid-exchange may need). False when there is no reader at the index.
  bool Open();
  void Close();

  // Looks for a card without disturbing one in use: a card that is powered
  // and authenticated stays authenticated, one that is powered stays
  // selected. A card found gone by a command is reported absent once even if
  // it is back by now, so that pcscd ends the sessions that used it.
  Presence Poll();

  // Selects the card and gives its ATR (kAtrSize bytes).
  PowerResult PowerUp(uint8_t* atr, size_t* atrLength);
  void PowerDown();
  // The ATR of the powered card; 0 when none.
  size_t Atr(uint8_t* out, size_t capacity);
  // The UID of the powered card; 0 when none.
  size_t Uid(uint8_t* out, size_t capacity);
  bool Powered();

  // Runs one APDU: the response (data and status word) in rx.
  TransmitResult Transmit(const uint8_t* tx, size_t txLength, uint8_t* rx, size_t* rxLength);

  // The reader's signals: one control request, laid out as in
  // mifarezub_pcsc.h. False for a request that does not fit the layout
  // (nothing sent), or a failed exchange (*sent true).
  bool Signal(const uint8_t* request, size_t length, bool* sent);

  uint8_t DeviceIndex() const { return link_.DeviceIndex; }

 private:
  struct CardReply {
    int status;  // the reader's status byte; MZ_STATUS_EXCHANGE_FAILED for a failed exchange
    uint8_t fields[kBlockSize];
    size_t fieldLength;
  };
  CardReply Exchange(uint8_t command, const uint8_t* args, size_t count, int attempts = 1);
  // Wakes the card (idle or halted) and selects it; with expectUid set only
  // that card. Leaves it active. False when no card (or another) answered.
  bool Select(bool expectUid);
  // Halts a card that is only selected and selects it again: proof that it
  // is there, leaving it as it was.
  bool CheckSelected();
  // Marks the card gone: what was known of it is dropped, and Poll reports
  // it absent once.
  void LoseCard();
  uint16_t Run(const Command& c, uint8_t* data, size_t* dataLength, bool* gone);
  uint16_t Authenticate(const Command& c, bool* gone);
  uint16_t CardStatusWord(int status, bool write, bool* gone);
  uint16_t Transfer(uint8_t source, uint8_t target, uint8_t command, const uint8_t* value,
                    bool* gone);

  std::mutex lock_;
  mzub::TQVcomm link_;
  bool open_ = false;

  bool powered_ = false;   // a card was selected for an application
  bool selected_ = false;  // the card is known to be active or authenticated
  int authSector_ = -1;    // the sector the card is authenticated for
  bool lost_ = false;      // found gone by a command; Poll reports it once
  CardKind kind_ = CardKind::kClassic1K;
  uint8_t uid_[kUidSize] = {};
  uint8_t atr_[kAtrSize] = {};

  uint8_t keys_[kKeySlots][kKeySize] = {};
  bool keyLoaded_[kKeySlots] = {};
};

}  // namespace mzpcsc

#endif  // MIFAREZUB_PCSC_SLOT_H
