// The reader as zubtool sees it: the MifareZUB calls with C++ types, the
// result texts in UTF-8, and an optional log of every call.
#ifndef ZUBTOOL_READER_H
#define ZUBTOOL_READER_H

#include <cstdint>
#include <string>

#include "card_format.h"

namespace zubtool {

// The message of a result code (ErrMsg, GBK) in UTF-8.
std::string ResultText(int32_t code);
// "<text> (<code>)", for error lines.
std::string Describe(int32_t code);

class Reader {
 public:
  explicit Reader(bool verbose) : verbose_(verbose) {}
  ~Reader();
  Reader(const Reader&) = delete;
  Reader& operator=(const Reader&) = delete;

  int32_t Open(int device);
  void Close();

  int32_t Request(bool all, uint16_t* atqa);
  int32_t Anticollision(std::string* serialHex);
  int32_t Select(const std::string& serialHex, uint8_t* sak);
  int32_t LoadKey(int keyType, int slot, const Bytes& key);
  int32_t Authenticate(int keyType, int slot, int block);
  int32_t Read(int block, Bytes* data);
  int32_t Write(int block, const Bytes& data);
  int32_t Increment(int block, int32_t value);
  int32_t Decrement(int block, int32_t value);
  int32_t Transfer(int block);
  int32_t Halt();
  int32_t Beep(bool on);
  int32_t Led(int led, bool on);

 private:
  int32_t Log(const std::string& call, int32_t result);
  bool verbose_;
  bool open_ = false;
};

}  // namespace zubtool

#endif  // ZUBTOOL_READER_H
