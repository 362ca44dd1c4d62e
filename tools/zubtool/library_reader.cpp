#include "library_reader.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#endif

#include <cstdio>
#include <cstring>

#include "MifareZUB.h"
#include "status.h"

namespace zubtool {

namespace {

std::string Num(int32_t v) {
  return std::to_string(v);
}

}  // namespace

LibraryReader::~LibraryReader() {
  Close();
}

int32_t LibraryReader::Log(const std::string& call, int32_t result) {
  if (verbose_) std::fprintf(stderr, "  %s -> %s\n", call.c_str(), Describe(result).c_str());
  return result;
}

std::string LibraryReader::VirtualReader() {
  // The virtual reader exports zubsim_identify; a vendor's library does not.
  // Only a library already loaded is looked at: nothing new is loaded here.
  using Identify = const char* (*)();
  Identify identify = nullptr;
#if defined(_WIN32)
  for (const char* name : {"CH375DLL.DLL", "CH375DLL64.dll"}) {
    if (HMODULE module = GetModuleHandleA(name)) {
      identify = reinterpret_cast<Identify>(
          reinterpret_cast<void (*)()>(GetProcAddress(module, "zubsim_identify")));
      if (identify) break;
    }
  }
#else
  if (void* library = dlopen("libCH375DLL.so", RTLD_LAZY | RTLD_NOLOAD)) {
    identify = reinterpret_cast<Identify>(dlsym(library, "zubsim_identify"));
    dlclose(library);  // drops only the reference RTLD_NOLOAD took
  }
#endif
  const char* text = identify ? identify() : nullptr;
  return text ? text : "";
}

int32_t LibraryReader::Open(int device) {
  int32_t r = Log("OpenComm(" + Num(device) + ", 0)", OpenComm(device, 0));
  open_ = r == MZ_OK;
  return r;
}

void LibraryReader::Close() {
  if (!open_) return;
  Log("CloseComm()", CloseComm());
  open_ = false;
}

int32_t LibraryReader::Request(bool all, uint16_t* atqa) {
  int32_t tagType = 0;
  int32_t r = Log(std::string("mif_Request(") + (all ? "1" : "0") + ")",
                  mif_Request(all ? 1 : 0, &tagType));
  *atqa = static_cast<uint16_t>(tagType);
  return r;
}

int32_t LibraryReader::Anticollision(std::string* serialHex) {
  char buffer[MZ_SERIAL_BUFFER] = "";
  char* p = buffer;
  int32_t r = Log("mif_Anticollision()", mif_Anticollision(&p));
  *serialHex = std::string(buffer, strnlen(buffer, sizeof buffer));
  return r;
}

int32_t LibraryReader::Select(const std::string& serialHex, uint8_t* sak) {
  int32_t size = 0;
  int32_t r = Log("mif_Select(" + serialHex + ")", mif_Select(serialHex.c_str(), &size));
  *sak = static_cast<uint8_t>(size);
  return r;
}

int32_t LibraryReader::LoadKey(int keyType, int slot, const Bytes& key) {
  std::string hex = HexText(key);
  return Log("mif_LoadKey(" + Num(keyType) + ", " + Num(slot) + ", " + hex + ")",
             mif_LoadKey(keyType, slot, hex.c_str()));
}

int32_t LibraryReader::Authenticate(int keyType, int slot, int block) {
  return Log("mif_Authentication(" + Num(keyType) + ", " + Num(slot) + ", " + Num(block) + ")",
             mif_Authentication(keyType, slot, block));
}

int32_t LibraryReader::Read(int block, Bytes* data) {
  char buffer[MZ_BLOCK_BUFFER] = "";
  char* p = buffer;
  int32_t r = Log("mif_Read(" + Num(block) + ")", mif_Read(block, &p));
  data->clear();
  if (r == MZ_OK) {
    auto bytes = ParseHex(std::string(buffer, strnlen(buffer, sizeof buffer)));
    // A reply too short for a block is a failed exchange as far as the tool goes.
    if (!bytes || bytes->size() != static_cast<size_t>(kBlockSize)) return MZ_EXCHANGE_FAILED;
    *data = *bytes;
  }
  return r;
}

int32_t LibraryReader::Write(int block, const Bytes& data) {
  std::string hex = HexText(data);
  return Log("mif_Write(" + Num(block) + ", " + hex + ")", mif_Write(block, hex.c_str()));
}

int32_t LibraryReader::Increment(int block, int32_t value) {
  return Log("mif_Increment(" + Num(block) + ", " + Num(value) + ")", mif_Increment(block, value));
}

int32_t LibraryReader::Decrement(int block, int32_t value) {
  return Log("mif_Decrement(" + Num(block) + ", " + Num(value) + ")", mif_Decrement(block, value));
}

int32_t LibraryReader::Transfer(int block) {
  return Log("mif_Transfer(" + Num(block) + ")", mif_Transfer(block));
}

int32_t LibraryReader::Halt() {
  return Log("mif_Halt()", mif_Halt());
}

int32_t LibraryReader::Beep(bool on) {
  return Log(std::string("zub_beep(") + (on ? "1" : "0") + ")", zub_beep(on ? 1 : 0));
}

int32_t LibraryReader::Led(int led, bool on) {
  return Log("zub_LED(" + Num(led) + ", " + (on ? "1" : "0") + ")", zub_LED(led, on ? 1 : 0));
}

}  // namespace zubtool
