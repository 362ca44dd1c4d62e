#include "messages.h"

namespace mzub {
namespace {

// The texts are kept as GBK byte sequences so that no compiler's source or
// execution character set can change a byte. Each comment gives the reading.
struct Message {
  int32_t code;
  const char* text;
};

const Message kMessages[] = {
    {0, "OK"},
    {1, "\xC3\xBB\xD3\xD0\xBF\xA8\xBB\xF2\xC3\xDC\xC2\xEB\xB4\xED"},  // 没有卡或密码错
    {2,
     "\xBF\xA8\xCD\xA8\xD1\xB6"  // 卡通讯
     "CRC"
     "\xD0\xA3\xD1\xE9\xB4\xED"},                                             // 校验错
    {3, "\xCA\xFD\xD6\xB5\xD2\xE7\xB3\xF6"},                                  // 数值溢出
    {4, "\xC3\xDC\xC2\xEB\xB4\xED"},                                          // 密码错
    {5, "\xBF\xA8\xCD\xA8\xD1\xB6\xC6\xE6\xC5\xBC\xD0\xA3\xD1\xE9\xB4\xED"},  // 卡通讯奇偶校验错
    {6, "\xBF\xA8\xCD\xA8\xD1\xB6\xB4\xED"},                                  // 卡通讯错
    {8, "\xCE\xDE\xD0\xA7\xB5\xC4\xD0\xBE\xC6\xAC\xBA\xC5"},                  // 无效的芯片号
    {16, "\xCE\xDE\xB6\xC1\xD0\xB4\xC8\xA8\xCF\xDE"},                         // 无读写权限
    {17, "\xBF\xA8\xCD\xA8\xD1\xB6\xCE\xBB\xCA\xFD\xB4\xED"},                 // 卡通讯位数错
    {18, "\xBF\xA8\xCD\xA8\xD1\xB6\xD7\xD6\xBD\xDA\xCA\xFD\xB4\xED"},  // 卡通讯字节数错
    {19,
     "\xB5\xC8\xB4\xFD"  // 等待
     "DV"},
    {20, "\xD6\xB5\xB1\xA3\xB4\xE6\xB4\xED"},          // 值保存错
    {21, "\xD0\xB4\xBF\xA8\xB4\xED"},                  // 写卡错
    {22, "\xD4\xF6\xD6\xB5\xB2\xD9\xD7\xF7\xB4\xED"},  // 增值操作错
    {23, "\xBC\xF5\xD6\xB5\xB2\xD9\xD7\xF7\xB4\xED"},  // 减值操作错
    {24, "\xB6\xC1\xBF\xA8\xB4\xED"},                  // 读卡错
    {32, "POLL"},
    {255, "\xB9\xA6\xC4\xDC\xCE\xB4\xCA\xB5\xCF\xD6"},  // 功能未实现
    {-1, "\xB4\xAE\xBF\xDA\xB4\xED"},                   // 串口错
    {-2, "\xB4\xAE\xBF\xDA\xCD\xA8\xD1\xB6\xB4\xED"},   // 串口通讯错
};

// Prefix of every other code's text, before the code in decimal.
const char kErrorPrefix[] = "\xB4\xED\xCE\xF3\xA3\xBA";  // 错误： (full-width colon)

// Appends src to out[*len..cap-1), keeping room for the zero byte.
void Append(const char* src, char* out, size_t cap, size_t* len) {
  for (; *src != '\0' && *len + 1 < cap; ++src) out[(*len)++] = *src;
}

}  // namespace

size_t MessageText(int32_t code, char* out, size_t cap) {
  if (cap == 0) return 0;
  size_t len = 0;
  for (const Message& m : kMessages) {
    if (m.code == code) {
      Append(m.text, out, cap, &len);
      out[len] = '\0';
      return len;
    }
  }
  // The code in decimal, with a leading "-" when negative; computed on the
  // unsigned magnitude so that the most negative code needs no special case.
  char digits[12];
  size_t n = 0;
  uint32_t magnitude = code < 0 ? 0u - static_cast<uint32_t>(code) : static_cast<uint32_t>(code);
  do {
    digits[n++] = static_cast<char>('0' + magnitude % 10);
    magnitude /= 10;
  } while (magnitude != 0);
  if (code < 0) digits[n++] = '-';
  char number[12];
  for (size_t i = 0; i < n; ++i) number[i] = digits[n - 1 - i];
  number[n] = '\0';
  Append(kErrorPrefix, out, cap, &len);
  Append(number, out, cap, &len);
  out[len] = '\0';
  return len;
}

}  // namespace mzub
