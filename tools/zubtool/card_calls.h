// The card calls a reader answers, as the card commands need them: those of
// MifareZUB with C++ types. LibraryReader makes them through the library's
// exports; the card-session tests answer them with a card in memory.
#ifndef ZUBTOOL_CARD_CALLS_H
#define ZUBTOOL_CARD_CALLS_H

#include <cstdint>
#include <string>

#include "card.h"

namespace zubtool {

class CardCalls {
 public:
  virtual ~CardCalls() = default;
  virtual int32_t Request(bool all, uint16_t* atqa) = 0;
  virtual int32_t Anticollision(std::string* serialHex) = 0;
  virtual int32_t Select(const std::string& serialHex, uint8_t* sak) = 0;
  virtual int32_t LoadKey(int keyType, int slot, const Bytes& key) = 0;
  virtual int32_t Authenticate(int keyType, int slot, int block) = 0;
  virtual int32_t Read(int block, Bytes* data) = 0;
  virtual int32_t Write(int block, const Bytes& data) = 0;
  virtual int32_t Increment(int block, int32_t value) = 0;
  virtual int32_t Decrement(int block, int32_t value) = 0;
  virtual int32_t Transfer(int block) = 0;
  virtual int32_t Halt() = 0;
};

}  // namespace zubtool

#endif  // ZUBTOOL_CARD_CALLS_H
