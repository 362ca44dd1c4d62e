// The reader through the MifareZUB library, as zubtool sees it: the
// library's calls with C++ types, the result texts in UTF-8, and an optional
// log of every call.
#ifndef ZUBTOOL_LIBRARY_READER_H
#define ZUBTOOL_LIBRARY_READER_H

#include <cstdint>
#include <string>

#include "card_calls.h"

namespace zubtool {

class LibraryReader : public CardCalls {
 public:
  explicit LibraryReader(bool verbose) : verbose_(verbose) {}
  ~LibraryReader();
  LibraryReader(const LibraryReader&) = delete;
  LibraryReader& operator=(const LibraryReader&) = delete;

  int32_t Open(int device);
  void Close();

  int32_t Request(bool all, uint16_t* atqa) override;
  int32_t Anticollision(std::string* serialHex) override;
  int32_t Select(const std::string& serialHex, uint8_t* sak) override;
  int32_t LoadKey(int keyType, int slot, const Bytes& key) override;
  int32_t Authenticate(int keyType, int slot, int block) override;
  int32_t Read(int block, Bytes* data) override;
  int32_t Write(int block, const Bytes& data) override;
  int32_t Increment(int block, int32_t value) override;
  int32_t Decrement(int block, int32_t value) override;
  int32_t Transfer(int block) override;
  int32_t Halt() override;
  int32_t Beep(bool on);

  // Not empty when the vendor library the library loaded is the virtual
  // reader (a card in software): its own description of itself.
  static std::string VirtualReader();
  int32_t Led(int led, bool on);

 private:
  int32_t Log(const std::string& call, int32_t result);
  bool verbose_;
  bool open_ = false;
};

}  // namespace zubtool

#endif  // ZUBTOOL_LIBRARY_READER_H
