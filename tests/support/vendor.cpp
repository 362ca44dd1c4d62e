#include "vendor.h"

#include <stdio.h>

namespace mzt {

Bytes Hex(const std::string& text) {
  Bytes out;
  int pending = -1;
  for (char c : text) {
    int v;
    if (c >= '0' && c <= '9')
      v = c - '0';
    else if (c >= 'A' && c <= 'F')
      v = c - 'A' + 10;
    else if (c >= 'a' && c <= 'f')
      v = c - 'a' + 10;
    else
      continue;
    if (pending < 0) {
      pending = v;
    } else {
      out.push_back(static_cast<uint8_t>(pending * 16 + v));
      pending = -1;
    }
  }
  return out;
}

std::string HexOf(const Bytes& bytes) {
  std::string out;
  char pair[4];
  for (size_t i = 0; i < bytes.size(); ++i) {
    snprintf(pair, sizeof pair, i == 0 ? "%02X" : " %02X", bytes[i]);
    out += pair;
  }
  return out;
}

void Reply(const std::string& hex) {
  const Bytes b = Hex(hex);
  dbl_queue_reply(b.data(), static_cast<uint32_t>(b.size()));
}

namespace {
Bytes WithCheck(const std::string& hexWithoutCheck) {
  Bytes b = Hex(hexWithoutCheck);
  uint8_t x = 0;
  for (uint8_t v : b) x ^= v;
  b.push_back(x);
  return b;
}
}  // namespace

void ReplyChecked(const std::string& hexWithoutCheck) {
  const Bytes b = WithCheck(hexWithoutCheck);
  dbl_queue_reply(b.data(), static_cast<uint32_t>(b.size()));
}

void Answer(const std::string& hex) {
  const Bytes b = Hex(hex);
  dbl_queue_answer(b.data(), static_cast<uint32_t>(b.size()));
}

void AnswerChecked(const std::string& hexWithoutCheck) {
  const Bytes b = WithCheck(hexWithoutCheck);
  dbl_queue_answer(b.data(), static_cast<uint32_t>(b.size()));
}

std::vector<std::string> Frames() {
  std::vector<std::string> out;
  for (uint32_t i = 0; i < dbl_frame_count(); ++i) {
    Bytes f(300);
    f.resize(dbl_frame(i, f.data(), static_cast<uint32_t>(f.size())));
    out.push_back(HexOf(f));
  }
  return out;
}

std::string Calls() {
  std::string out;
  char text[64];
  for (uint32_t i = 0; i < dbl_event_count(); ++i) {
    const DblEvent e = dbl_event(i);
    switch (e.call) {
      case DBL_OPEN:
        snprintf(text, sizeof text, "open(%u)", e.index);
        break;
      case DBL_CLOSE:
        snprintf(text, sizeof text, "close(%u)", e.index);
        break;
      case DBL_RESET:
        snprintf(text, sizeof text, "reset(%u)", e.index);
        break;
      case DBL_BUF_UPLOAD:
        snprintf(text, sizeof text, "upload(%u,%u)", e.index, e.arg1);
        break;
      case DBL_SET_TIMEOUT:
        snprintf(text, sizeof text, "timeout(%u,%u,%u)", e.index, e.arg1, e.arg2);
        break;
      case DBL_WRITE:
        snprintf(text, sizeof text, "write(%u)", e.arg1);
        break;
      case DBL_READ:
        snprintf(text, sizeof text, "read(%u)", e.arg1);
        break;
      default:
        snprintf(text, sizeof text, "?");
        break;
    }
    if (!out.empty()) out += ' ';
    out += text;
  }
  return out;
}

int CountCalls(int32_t call) {
  int n = 0;
  for (uint32_t i = 0; i < dbl_event_count(); ++i) n += dbl_event(i).call == call;
  return n;
}

}  // namespace mzt
