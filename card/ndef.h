// NDEF on MIFARE Classic: the NFC sectors the directory names, the TLVs
// their data blocks hold, and the NDEF records of a message (reading them
// and building them).
#ifndef MZCARD_NDEF_H
#define MZCARD_NDEF_H

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "card_format.h"
#include "mad.h"

namespace mzcard {

// The NFC sectors' public key A.
const Bytes& NfcKeyA();
// An NFC sector's trailer with key B `keyB`: writable (GPB 40) or read-only
// for good (GPB 43, no block writable by any key).
Bytes NfcTrailer(const Bytes& keyB, bool readOnly);

// The sectors the directory gives the NFC Forum, in the order the message
// runs through them: from the first such sector on, as long as they follow
// one another (sector 16, the directory's, is stepped over).
std::vector<int> NfcSectors(const Mad& mad, int sectors);
// The data blocks of those sectors in order (trailers left out).
std::vector<int> NfcDataBlocks(const std::vector<int>& sectors);

// TLV tags.
constexpr uint8_t kTlvNull = 0x00;
constexpr uint8_t kTlvNdef = 0x03;
constexpr uint8_t kTlvProprietary = 0xFD;
constexpr uint8_t kTlvTerminator = 0xFE;

struct TlvScan {
  bool found = false;       // an NDEF message TLV
  size_t offset = 0;        // where its value starts in the area
  Bytes message;            // its value
  bool terminated = false;  // a terminator TLV was met
  size_t used = 0;          // bytes up to the end of the TLV that was read last
};
// Reads the TLVs of the NFC data area up to the first NDEF message (or the
// terminator, or the end). Nothing, with `*error`, when a TLV runs past the
// end of the area or its tag is reserved.
std::optional<TlvScan> ScanTlvs(const Bytes& area, std::string* error);
// The bytes a TLV area needs for an NDEF message of `size` bytes, without
// the terminator.
size_t NdefTlvSize(size_t size);
// The largest NDEF message an area of `area` bytes holds.
size_t MaxNdefMessage(size_t area);
// The area's new bytes for `message`: its TLV, the terminator where there is
// room, zeros to the end. Nothing, with `*error` saying how many bytes fit,
// when the message does not fit in `area` bytes.
std::optional<Bytes> BuildNdefArea(const Bytes& message, size_t area, std::string* error);

// Type name formats.
enum Tnf : uint8_t {
  kTnfEmpty = 0,
  kTnfWellKnown = 1,
  kTnfMedia = 2,
  kTnfAbsoluteUri = 3,
  kTnfExternal = 4,
  kTnfUnknown = 5,
  kTnfUnchanged = 6,
  kTnfReserved = 7,
};

struct NdefRecord {
  uint8_t tnf = kTnfEmpty;
  Bytes type, id, payload;
};

// The records of a message. Nothing, with `*error`, for a message whose
// records run past its end or leave bytes after the last, whose first and
// last records do not carry MB and ME, or which is chunked (not supported).
std::optional<std::vector<NdefRecord>> ParseNdefMessage(const Bytes& message, std::string* error);
// The message of `records`: MB on the first, ME on the last, the short form
// where the payload is under 256 bytes, IL where there is an ID.
Bytes BuildNdefMessage(const std::vector<NdefRecord>& records);

// Whether `text` is well-formed UTF-8 (no overlong forms, no surrogates).
bool ValidUtf8(const std::string& text);
// Why `uri` cannot be written (a control character, a character that is not
// UTF-8, empty); "" when it can.
std::string UriProblem(const std::string& uri);
// Why `uri` cannot be an absolute URI record's type (as UriProblem, or no
// scheme, or a space, or over the 255 bytes a type holds); "" when it can.
std::string AbsoluteUriProblem(const std::string& uri);
// Why `type` cannot be an external type ("domain:type", printable ASCII
// without spaces, at most 255 bytes); "" when it can.
std::string ExternalTypeProblem(const std::string& type);
// Records of each kind. The URI record takes the longest prefix code that
// matches.
NdefRecord UriRecord(const std::string& uri);
NdefRecord TextRecord(const std::string& text, const std::string& language);
NdefRecord MimeRecord(const std::string& type, const Bytes& data);
NdefRecord AbsoluteUriRecord(const std::string& uri, const Bytes& payload = {});
NdefRecord ExternalRecord(const std::string& type, const Bytes& payload);

// The URI of a well-known "U" payload; nothing for an empty payload or a
// reserved prefix code.
std::optional<std::string> DecodeUri(const Bytes& payload);
struct NdefText {
  std::string language;
  std::string text;  // UTF-8 (converted from UTF-16 where the record held that)
  bool utf16 = false;
};
// The text of a well-known "T" payload; nothing, with `*error`, when the
// language runs past the payload or the UTF-16 is odd.
std::optional<NdefText> DecodeText(const Bytes& payload, std::string* error);

// "URI", "text", "MIME type", ...: what the record is.
std::string RecordKind(const NdefRecord& record);
// Its type as text ("U", "text/plain", "example.com:thing").
std::string RecordTypeText(const NdefRecord& record);

}  // namespace mzcard

#endif  // MZCARD_NDEF_H
