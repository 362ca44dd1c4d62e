#include "status.h"

#include <atomic>
#include <cstring>

#include "MifareZUB.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <iconv.h>
#endif

namespace zubtool {

namespace {

// GBK (code page 936) to UTF-8; the bytes unchanged if they do not convert.
std::string Utf8FromGbk(const std::string& gbk) {
  if (gbk.empty()) return gbk;
#if defined(_WIN32)
  int wideLength = MultiByteToWideChar(936, MB_ERR_INVALID_CHARS, gbk.data(),
                                       static_cast<int>(gbk.size()), nullptr, 0);
  if (wideLength <= 0) return gbk;
  std::wstring wide(static_cast<size_t>(wideLength), L'\0');
  MultiByteToWideChar(936, 0, gbk.data(), static_cast<int>(gbk.size()), &wide[0], wideLength);
  int length =
      WideCharToMultiByte(CP_UTF8, 0, wide.data(), wideLength, nullptr, 0, nullptr, nullptr);
  if (length <= 0) return gbk;
  std::string utf8(static_cast<size_t>(length), '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide.data(), wideLength, &utf8[0], length, nullptr, nullptr);
  return utf8;
#else
  iconv_t cd = iconv_open("UTF-8", "GBK");
  if (cd == reinterpret_cast<iconv_t>(-1)) return gbk;
  std::string in = gbk;
  std::string out(in.size() * 3 + 4, '\0');
  char* inPtr = &in[0];
  size_t inLeft = in.size();
  char* outPtr = &out[0];
  size_t outLeft = out.size();
  size_t done = iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft);
  iconv_close(cd);
  if (done == static_cast<size_t>(-1) || inLeft != 0) return gbk;
  out.resize(out.size() - outLeft);
  return out;
#endif
}

}  // namespace

std::string ResultText(int32_t code) {
  char gbk[MZ_MESSAGE_BUFFER] = "";
  char* p = gbk;
  ErrMsg(code, &p);
  return Utf8FromGbk(std::string(gbk, strnlen(gbk, sizeof gbk)));
}

const std::vector<StatusEntry>& StatusTable() {
#define ZUBTOOL_STATUS_ENTRY(name, description) {name, #name, description},
  static const std::vector<StatusEntry> kTable = {MZ_STATUS_TABLE(ZUBTOOL_STATUS_ENTRY)};
#undef ZUBTOOL_STATUS_ENTRY
  return kTable;
}

std::string StatusDescription(int32_t code) {
  for (const auto& s : StatusTable()) {
    if (s.code == code) return s.description;
  }
  return "unknown result";
}

std::string StatusName(int32_t code) {
  for (const auto& s : StatusTable()) {
    if (s.code == code) return s.name;
  }
  return "";
}

namespace {
std::atomic<bool> libraryTextsShown{true};
}  // namespace

void ShowLibraryTexts(bool shown) {
  libraryTextsShown = shown;
}

std::string Describe(int32_t code) {
  if (!libraryTextsShown) return StatusDescription(code) + " (code " + std::to_string(code) + ")";
  return StatusDescription(code) + " (" + ResultText(code) + ", " + std::to_string(code) + ")";
}

}  // namespace zubtool
