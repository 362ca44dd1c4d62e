// One card in the field and the keys to try on it: finding the card,
// authenticating sectors with the keys in order, and why an operation was
// refused. Depends on the reader only through CardCalls.
#ifndef ZUBTOOL_SESSION_H
#define ZUBTOOL_SESSION_H

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "MifareZUB.h"
#include "card_calls.h"

namespace zubtool {

// Results the session tells apart, from the library's one table.
constexpr int32_t kNoCard = MZ_STATUS_NO_CARD;
constexpr int32_t kNoPermission = MZ_STATUS_NO_PERMISSION;
constexpr int32_t kExchangeFailed = MZ_STATUS_EXCHANGE_FAILED;

// The reader's key store has this many slots per key type.
constexpr int kSlots = 256;

const char* KeyName(int type);

struct CardInfo {
  uint16_t atqa = 0;
  uint8_t sak = 0;
  std::string serialHex;  // UID and BCC, as anticollision reported them
  Serial serial;
  CardLayout layout;
};

// One card in the field: found once, selected again whenever a refused
// authentication sent it back to idle. Key i goes to the reader's key store
// in slot i mod 256, and is loaded again only when another key took the slot.
// The keys are shared, not copied: sessions over one list of millions cost
// nothing more.
class CardSession {
 public:
  CardSession(CardCalls& reader, std::shared_ptr<const PackedKeys> keys);
  CardSession(CardCalls& reader, PackedKeys keys);

  // Wakes every card in the field and selects the one that answers.
  int32_t Find();

  const CardInfo& Info() const { return info_; }
  CardCalls& Reader() { return reader_; }
  const PackedKeys& Keys() const { return *keys_; }
  Bytes Key(int index) const { return (*keys_)[static_cast<size_t>(index)]; }
  // Nonzero once the card could not be selected again (taken away, another
  // card, the reader gone): nothing more can be done with it.
  int32_t Lost() const { return lost_; }
  // What went wrong when the card was lost, beyond its result ("another card
  // is in the field (UID ...)"); empty otherwise.
  const std::string& LostReason() const { return lostReason_; }

  // Authenticates the sector of `block` as key `type`, trying the keys in
  // order: first the key that last opened the sector as that type, then
  // `first` (indices), then the rest. The index of the key that worked, or -1
  // with the last result in `*result`. `tried`, when given, is called after
  // each try with the number of keys tried so far.
  int FindKey(int block, int type, int32_t* result, const std::vector<int>& first = {},
              const std::function<void(size_t)>& tried = nullptr);
  // One try: key `index` as key `type` for the sector of `block`.
  int32_t Authenticate(int block, int type, int index);

  // `stop` is asked before each try of FindKey; once it says true, FindKey
  // tries no more keys and returns -1, and Stopped() is true.
  void StopWhen(std::function<bool()> stop) { stop_ = std::move(stop); }
  bool Stopped() const { return stopped_; }

 private:
  int32_t Reselect();

  CardCalls& reader_;
  std::shared_ptr<const PackedKeys> keys_;
  CardInfo info_;
  bool selected_ = false;
  int32_t lost_ = 0;
  std::string lostReason_;
  std::function<bool()> stop_;
  bool stopped_ = false;
  int slotKey_[2][kSlots];      // the key index each slot holds, -1: none
  std::vector<int> opened_[2];  // by sector: the key that last opened it, -1: none
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
// `first`: key indices to try before the others, as FindKey takes them.
Access WithAccess(CardSession& session, std::optional<int> keyType, int block,
                  const std::function<int32_t()>& op, const std::vector<int>& first = {});

// Why no key opened a sector: "key A 密码错 (4), key B 无读写权限 (16)".
std::string Refusals(const std::optional<int32_t> (&refused)[2]);

// The error text for an operation that did not succeed.
std::string AccessFailure(const Access& access, const std::string& what, int block,
                          const CardSession& session);

// "key A FFFFFFFFFFFF": the key that opened the sector.
std::string KeyNote(const Access& access, const CardSession& session);

}  // namespace zubtool

#endif  // ZUBTOOL_SESSION_H
