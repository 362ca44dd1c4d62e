#include "ndef.h"

#include <algorithm>

namespace mzcard {

const Bytes& NfcKeyA() {
  static const Bytes key = {0xD3, 0xF7, 0xD3, 0xF7, 0xD3, 0xF7};
  return key;
}

Bytes NfcTrailer(const Bytes& keyB, bool readOnly) {
  Bytes trailer = NfcKeyA();
  const Bytes access = readOnly ? Bytes{0x07, 0x8F, 0x0F, 0x43} : Bytes{0x7F, 0x07, 0x88, 0x40};
  trailer.insert(trailer.end(), access.begin(), access.end());
  trailer.insert(trailer.end(), keyB.begin(), keyB.end());
  return trailer;
}

std::vector<int> NfcSectors(const Mad& mad, int sectors) {
  std::vector<int> out;
  const int last = std::min(sectors, static_cast<int>(mad.entries.size()));
  for (int sector = 1; sector < last; ++sector) {
    if (sector == 16) continue;
    const bool nfc = mad.entries[static_cast<size_t>(sector)] == kMadNdef;
    if (nfc) {
      out.push_back(sector);
    } else if (!out.empty()) {
      break;
    }
  }
  return out;
}

std::vector<int> NfcDataBlocks(const std::vector<int>& sectors) {
  std::vector<int> blocks;
  for (int sector : sectors) {
    for (int block = FirstBlock(sector); block < TrailerBlock(sector); ++block) {
      blocks.push_back(block);
    }
  }
  return blocks;
}

namespace {

// A TLV's length at `at`: one byte, or FF and two bytes big-endian. Moves
// `at` past it; nothing when it runs past the end.
std::optional<size_t> TlvLength(const Bytes& area, size_t* at) {
  if (*at >= area.size()) return std::nullopt;
  const uint8_t first = area[(*at)++];
  if (first != 0xFF) return first;
  if (*at + 2 > area.size()) return std::nullopt;
  const size_t length = static_cast<size_t>(area[*at]) << 8 | area[*at + 1];
  *at += 2;
  return length;
}

}  // namespace

std::optional<TlvScan> ScanTlvs(const Bytes& area, std::string* error) {
  TlvScan scan;
  size_t at = 0;
  while (at < area.size()) {
    const size_t start = at;
    const uint8_t tag = area[at++];
    if (tag == kTlvNull) {
      scan.used = at;
      continue;
    }
    if (tag == kTlvTerminator) {
      scan.terminated = true;
      scan.used = at;
      return scan;
    }
    if (tag != kTlvNdef && tag != kTlvProprietary && tag != 0x01 && tag != 0x02) {
      *error = "reserved TLV tag " + HexText({tag}) + " at byte " + std::to_string(start) +
               " of the NFC sectors' data";
      return std::nullopt;
    }
    auto length = TlvLength(area, &at);
    if (!length || *length > area.size() - at) {
      *error = "the TLV " + HexText({tag}) + " at byte " + std::to_string(start) + " claims " +
               (length ? std::to_string(*length) + " bytes" : "a length") +
               ", past the end of the NFC sectors' " + std::to_string(area.size()) +
               " bytes of data";
      return std::nullopt;
    }
    if (tag == kTlvNdef) {
      scan.found = true;
      scan.offset = at;
      scan.message.assign(area.begin() + static_cast<std::ptrdiff_t>(at),
                          area.begin() + static_cast<std::ptrdiff_t>(at + *length));
      scan.used = at + *length;
      return scan;
    }
    at += *length;  // lock and memory control TLVs and proprietary data: skipped
    scan.used = at;
  }
  return scan;
}

size_t NdefTlvSize(size_t size) {
  return (size < 0xFF ? 2 : 4) + size;
}

size_t MaxNdefMessage(size_t area) {
  if (area < 2) return 0;
  if (area - 2 < 0xFF) return area - 2;
  if (area < 4 + 0xFF) return 0xFE;
  return std::min<size_t>(area - 4, 0xFFFE);
}

std::optional<Bytes> BuildNdefArea(const Bytes& message, size_t area, std::string* error) {
  if (message.size() > MaxNdefMessage(area)) {
    *error = "the NDEF message is " + std::to_string(message.size()) + " bytes; at most " +
             std::to_string(MaxNdefMessage(area)) + " bytes fit in the " + std::to_string(area) +
             " bytes of the NFC sectors";
    return std::nullopt;
  }
  Bytes out;
  out.push_back(kTlvNdef);
  if (message.size() < 0xFF) {
    out.push_back(static_cast<uint8_t>(message.size()));
  } else {
    out.push_back(0xFF);
    out.push_back(static_cast<uint8_t>(message.size() >> 8));
    out.push_back(static_cast<uint8_t>(message.size() & 0xFF));
  }
  out.insert(out.end(), message.begin(), message.end());
  if (out.size() < area) out.push_back(kTlvTerminator);
  out.resize(area, 0);
  return out;
}

namespace {

constexpr uint8_t kMb = 0x80, kMe = 0x40, kCf = 0x20, kSr = 0x10, kIl = 0x08;

const char* const kUriPrefixes[] = {"",
                                    "http://www.",
                                    "https://www.",
                                    "http://",
                                    "https://",
                                    "tel:",
                                    "mailto:",
                                    "ftp://anonymous:anonymous@",
                                    "ftp://ftp.",
                                    "ftps://",
                                    "sftp://",
                                    "smb://",
                                    "nfs://",
                                    "ftp://",
                                    "dav://",
                                    "news:",
                                    "telnet://",
                                    "imap:",
                                    "rtsp://",
                                    "urn:",
                                    "pop:",
                                    "sip:",
                                    "sips:",
                                    "tftp:",
                                    "btspp://",
                                    "btl2cap://",
                                    "btgoep://",
                                    "tcpobex://",
                                    "irdaobex://",
                                    "file://",
                                    "urn:epc:id:",
                                    "urn:epc:tag:",
                                    "urn:epc:pat:",
                                    "urn:epc:raw:",
                                    "urn:epc:",
                                    "urn:nfc:"};
constexpr size_t kUriPrefixCount = sizeof(kUriPrefixes) / sizeof(kUriPrefixes[0]);

Bytes BytesOf(const std::string& text) {
  return Bytes(text.begin(), text.end());
}

std::string TextOf(const Bytes& bytes) {
  return std::string(bytes.begin(), bytes.end());
}

void AppendUtf8(uint32_t cp, std::string* out) {
  if (cp < 0x80) {
    out->push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out->push_back(static_cast<char>(0xC0 | cp >> 6));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out->push_back(static_cast<char>(0xE0 | cp >> 12));
    out->push_back(static_cast<char>(0x80 | (cp >> 6 & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out->push_back(static_cast<char>(0xF0 | cp >> 18));
    out->push_back(static_cast<char>(0x80 | (cp >> 12 & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (cp >> 6 & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

}  // namespace

bool ValidUtf8(const std::string& text) {
  static const uint32_t kLeast[] = {0, 0x80, 0x800, 0x10000};
  size_t i = 0;
  while (i < text.size()) {
    const auto c = static_cast<uint8_t>(text[i]);
    size_t more = 0;
    uint32_t cp = c;
    if (c >= 0x80) {
      if ((c >> 5) == 6) {
        more = 1, cp = c & 0x1F;
      } else if ((c >> 4) == 14) {
        more = 2, cp = c & 0x0F;
      } else if ((c >> 3) == 30) {
        more = 3, cp = c & 0x07;
      } else {
        return false;
      }
    }
    if (text.size() - i - 1 < more) return false;
    for (size_t k = 1; k <= more; ++k) {
      const auto d = static_cast<uint8_t>(text[i + k]);
      if ((d & 0xC0) != 0x80) return false;
      cp = cp << 6 | (d & 0x3F);
    }
    if (cp < kLeast[more] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    i += more + 1;
  }
  return true;
}

std::optional<std::vector<NdefRecord>> ParseNdefMessage(const Bytes& message, std::string* error) {
  std::vector<NdefRecord> records;
  size_t at = 0;
  if (message.empty()) {
    *error = "the NDEF message is empty";
    return std::nullopt;
  }
  bool ended = false;
  while (at < message.size()) {
    const size_t start = at;
    auto fail = [&](const std::string& what) {
      *error = "record " + std::to_string(records.size() + 1) + " (byte " + std::to_string(start) +
               "): " + what;
      return std::nullopt;
    };
    if (ended)
      return fail("follows the record marked last (ME), " + std::to_string(message.size() - start) +
                  " bytes left over");
    const uint8_t header = message[at++];
    if ((header & kMb) != (records.empty() ? kMb : 0)) {
      return fail(records.empty() ? "the first record lacks the message begin flag (MB)"
                                  : "a record after the first carries the message begin flag (MB)");
    }
    if (header & kCf) return fail("chunked records (CF) are not supported");
    NdefRecord record;
    record.tnf = header & 0x07;
    if (record.tnf == kTnfUnchanged) return fail("type format 6 (unchanged) outside a chunk");
    if (record.tnf == kTnfReserved) return fail("reserved type format 7");
    const size_t fixed = 1 + ((header & kSr) ? 1 : 4) + ((header & kIl) ? 1 : 0);
    if (message.size() - at < fixed) return fail("the header runs past the end of the message");
    const size_t typeLength = message[at++];
    size_t payloadLength = 0;
    if (header & kSr) {
      payloadLength = message[at++];
    } else {
      for (int i = 0; i < 4; ++i) payloadLength = payloadLength << 8 | message[at++];
    }
    const size_t idLength = (header & kIl) ? message[at++] : 0;
    const size_t left = message.size() - at;
    if (typeLength > left || idLength > left - typeLength ||
        payloadLength > left - typeLength - idLength) {
      return fail("its type, ID and payload (" +
                  std::to_string(typeLength + idLength + payloadLength) + " bytes) run past the " +
                  "end of the message (" + std::to_string(left) + " bytes left)");
    }
    if (record.tnf == kTnfEmpty && (typeLength || idLength || payloadLength)) {
      return fail("an empty record (type format 0) with a type, ID or payload");
    }
    if ((record.tnf == kTnfUnknown) && typeLength) {
      return fail("an unknown-type record (type format 5) with a type");
    }
    auto take = [&](size_t n) {
      Bytes out(message.begin() + static_cast<std::ptrdiff_t>(at),
                message.begin() + static_cast<std::ptrdiff_t>(at + n));
      at += n;
      return out;
    };
    record.type = take(typeLength);
    record.id = take(idLength);
    record.payload = take(payloadLength);
    ended = (header & kMe) != 0;
    records.push_back(std::move(record));
  }
  if (!ended) {
    *error = "the last record lacks the message end flag (ME)";
    return std::nullopt;
  }
  return records;
}

Bytes BuildNdefMessage(const std::vector<NdefRecord>& records) {
  Bytes out;
  for (size_t i = 0; i < records.size(); ++i) {
    const NdefRecord& r = records[i];
    const bool shortRecord = r.payload.size() < 0x100;
    uint8_t header = r.tnf & 0x07;
    if (i == 0) header |= kMb;
    if (i + 1 == records.size()) header |= kMe;
    if (shortRecord) header |= kSr;
    if (!r.id.empty()) header |= kIl;
    out.push_back(header);
    out.push_back(static_cast<uint8_t>(r.type.size()));
    if (shortRecord) {
      out.push_back(static_cast<uint8_t>(r.payload.size()));
    } else {
      for (int shift = 24; shift >= 0; shift -= 8) {
        out.push_back(static_cast<uint8_t>(r.payload.size() >> shift));
      }
    }
    if (!r.id.empty()) out.push_back(static_cast<uint8_t>(r.id.size()));
    out.insert(out.end(), r.type.begin(), r.type.end());
    out.insert(out.end(), r.id.begin(), r.id.end());
    out.insert(out.end(), r.payload.begin(), r.payload.end());
  }
  return out;
}

std::string UriProblem(const std::string& uri) {
  if (uri.empty()) return "the URI is empty";
  for (size_t i = 0; i < uri.size(); ++i) {
    const auto c = static_cast<uint8_t>(uri[i]);
    if (c < 0x20 || c == 0x7F) {
      return "the URI holds the control character " + HexText({c}) + " at position " +
             std::to_string(i + 1);
    }
  }
  if (!ValidUtf8(uri)) return "the URI is not valid UTF-8";
  return "";
}

NdefRecord UriRecord(const std::string& uri) {
  size_t best = 0;
  for (size_t code = 1; code < kUriPrefixCount; ++code) {
    const std::string prefix = kUriPrefixes[code];
    if (uri.compare(0, prefix.size(), prefix) == 0 &&
        prefix.size() > std::string(kUriPrefixes[best]).size()) {
      best = code;
    }
  }
  NdefRecord record;
  record.tnf = kTnfWellKnown;
  record.type = {'U'};
  record.payload.push_back(static_cast<uint8_t>(best));
  const Bytes rest = BytesOf(uri.substr(std::string(kUriPrefixes[best]).size()));
  record.payload.insert(record.payload.end(), rest.begin(), rest.end());
  return record;
}

NdefRecord TextRecord(const std::string& text, const std::string& language) {
  NdefRecord record;
  record.tnf = kTnfWellKnown;
  record.type = {'T'};
  record.payload.push_back(static_cast<uint8_t>(language.size() & 0x3F));  // UTF-8
  record.payload.insert(record.payload.end(), language.begin(), language.end());
  record.payload.insert(record.payload.end(), text.begin(), text.end());
  return record;
}

NdefRecord MimeRecord(const std::string& type, const Bytes& data) {
  return {kTnfMedia, BytesOf(type), {}, data};
}

NdefRecord AbsoluteUriRecord(const std::string& uri, const Bytes& payload) {
  return {kTnfAbsoluteUri, BytesOf(uri), {}, payload};
}

std::string AbsoluteUriProblem(const std::string& uri) {
  std::string problem = UriProblem(uri);
  if (!problem.empty()) return problem;
  if (uri.size() > 255) {
    return "the absolute URI is " + std::to_string(uri.size()) +
           " bytes; a record's type holds at most 255";
  }
  if (uri.find(' ') != std::string::npos) return "the absolute URI holds a space";
  // scheme = ALPHA *( ALPHA / DIGIT / "+" / "-" / "." ) ":"
  auto alpha = [](char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); };
  const size_t colon = uri.find(':');
  bool scheme = colon != std::string::npos && colon > 0 && alpha(uri[0]);
  for (size_t i = 1; scheme && i < colon; ++i) {
    const char c = uri[i];
    scheme = alpha(c) || (c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.';
  }
  if (!scheme) return "not an absolute URI (scheme:...): '" + uri + "'";
  return "";
}

std::string ExternalTypeProblem(const std::string& type) {
  if (type.size() > 255) {
    return "the external type is " + std::to_string(type.size()) +
           " bytes; a record's type holds at most 255";
  }
  for (char c : type) {
    if (c <= 0x20 || c >= 0x7F) {
      return "the external type must be printable ASCII without spaces: '" + type + "'";
    }
  }
  const size_t colon = type.find(':');
  if (colon == std::string::npos || colon == 0 || colon + 1 == type.size()) {
    return "not an external type (domain:type): '" + type + "'";
  }
  return "";
}

NdefRecord ExternalRecord(const std::string& type, const Bytes& payload) {
  return {kTnfExternal, BytesOf(type), {}, payload};
}

std::optional<std::string> DecodeUri(const Bytes& payload) {
  if (payload.empty() || payload[0] >= kUriPrefixCount) return std::nullopt;
  return kUriPrefixes[payload[0]] + TextOf(Bytes(payload.begin() + 1, payload.end()));
}

std::optional<NdefText> DecodeText(const Bytes& payload, std::string* error) {
  if (payload.empty()) {
    *error = "the text record has no status byte";
    return std::nullopt;
  }
  const size_t languageLength = payload[0] & 0x3F;
  if (1 + languageLength > payload.size()) {
    *error = "the text record's language (" + std::to_string(languageLength) +
             " bytes) runs past its payload";
    return std::nullopt;
  }
  NdefText text;
  text.utf16 = (payload[0] & 0x80) != 0;
  text.language = TextOf(Bytes(payload.begin() + 1,
                               payload.begin() + 1 + static_cast<std::ptrdiff_t>(languageLength)));
  const Bytes body(payload.begin() + 1 + static_cast<std::ptrdiff_t>(languageLength),
                   payload.end());
  if (!text.utf16) {
    text.text = TextOf(body);
    return text;
  }
  if (body.size() % 2) {
    *error = "the text record's UTF-16 text has an odd number of bytes (" +
             std::to_string(body.size()) + ")";
    return std::nullopt;
  }
  // Big-endian unless a byte order mark says otherwise.
  size_t i = 0;
  bool little = false;
  if (body.size() >= 2 &&
      ((body[0] == 0xFF && body[1] == 0xFE) || (body[0] == 0xFE && body[1] == 0xFF))) {
    little = body[0] == 0xFF;
    i = 2;
  }
  auto unit = [&](size_t k) {
    return static_cast<uint32_t>(little ? body[k] | body[k + 1] << 8 : body[k] << 8 | body[k + 1]);
  };
  for (; i < body.size(); i += 2) {
    uint32_t cp = unit(i);
    if (cp >= 0xD800 && cp <= 0xDBFF && i + 3 < body.size()) {
      const uint32_t low = unit(i + 2);
      if (low >= 0xDC00 && low <= 0xDFFF) {
        cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
        i += 2;
      }
    }
    if (cp >= 0xD800 && cp <= 0xDFFF) cp = 0xFFFD;  // a lone surrogate
    AppendUtf8(cp, &text.text);
  }
  return text;
}

std::string RecordKind(const NdefRecord& record) {
  switch (record.tnf) {
    case kTnfEmpty:
      return "empty";
    case kTnfWellKnown:
      if (record.type == Bytes{'U'}) return "URI";
      if (record.type == Bytes{'T'}) return "text";
      if (record.type == Bytes{'S', 'p'}) return "smart poster";
      return "well-known type";
    case kTnfMedia:
      return "MIME type";
    case kTnfAbsoluteUri:
      return "absolute URI";
    case kTnfExternal:
      return "external type";
    case kTnfUnknown:
      return "unknown type";
    default:
      return "reserved";
  }
}

std::string RecordTypeText(const NdefRecord& record) {
  return AsciiText(record.type);
}

}  // namespace mzcard
