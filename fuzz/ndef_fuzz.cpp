// Fuzz target "ndef": the directory and NDEF readers (card/mad.h,
// card/ndef.h) against any bytes. The input's first byte picks what reads
// the rest (byte % 4): 0 the directory (the first 32 bytes as blocks 1 and
// 2, the next 48, when there, as blocks 64 to 66; card size by byte / 4 % 4:
// Mini, 1K, 2K, 4K), 1 the TLVs of an NFC data area, 2 an NDEF message, 3 a
// URI to be written.
//
// Checked: nothing crashes and every refusal has its reason. A directory
// read is judged by its CRC exactly as recomputed; built again from its
// entries it reads back with the same entries and a good CRC. A message the
// TLVs find lies inside the area and is exactly its bytes there; written
// into an area of the same size it is found again, the same. Records read
// from a message build a message that reads back as the same records, and
// their URI and text payloads decode or refuse without a crash. A URI that
// may be written comes back from its record unchanged.
#include <stddef.h>
#include <stdint.h>

#include <string>

#include "harness/check.h"
#include "mad.h"
#include "ndef.h"

namespace {

using mzcard::Bytes;

void FuzzMad(const Bytes& in, int sectors) {
  if (in.size() < 32) return;
  const Bytes part1(in.begin(), in.begin() + 32);
  const Bytes part2 =
      in.size() >= 80 && sectors > 16 ? Bytes(in.begin() + 32, in.begin() + 80) : Bytes();
  std::string error;
  auto mad = mzcard::ParseMad(part1, part2, sectors, &error);
  if (!mad) {
    MZF_CHECK(!error.empty(), "directory refused without a reason");
    return;
  }
  const bool crc1 = mzcard::MadCrc(part1.data() + 1, 31) == part1[0];
  const bool crc2 = part2.empty() || mzcard::MadCrc(part2.data() + 1, 47) == part2[0];
  MZF_CHECK(mad->crcOk == (crc1 && crc2), "CRC judged %d, recomputed %d/%d", mad->crcOk, crc1,
            crc2);
  const auto parts = mzcard::BuildMad(mad->entries, sectors, mad->publisher);
  auto again =
      mzcard::ParseMad(parts.first, part2.empty() ? Bytes() : parts.second, sectors, &error);
  MZF_CHECK(again && again->crcOk, "a built directory is refused or its CRC wrong");
  for (int s = 1; s < std::min<int>(sectors, static_cast<int>(mad->entries.size())); ++s) {
    if (s == 16) continue;
    MZF_CHECK(again->entries[static_cast<size_t>(s)] == mad->entries[static_cast<size_t>(s)],
              "sector %d's entry changed when built again", s);
  }
  const auto nfc = mzcard::NfcSectors(*mad, sectors);
  for (int s : nfc) MZF_CHECK(s > 0 && s < sectors && s != 16, "NFC sector %d", s);
}

void FuzzTlvs(const Bytes& area) {
  std::string error;
  auto scan = mzcard::ScanTlvs(area, &error);
  if (!scan) {
    MZF_CHECK(!error.empty(), "TLVs refused without a reason");
    return;
  }
  MZF_CHECK(scan->used <= area.size(), "read %zu bytes of %zu", scan->used, area.size());
  if (!scan->found) return;
  MZF_CHECK(scan->offset + scan->message.size() <= area.size() &&
                Bytes(area.begin() + static_cast<long>(scan->offset),
                      area.begin() + static_cast<long>(scan->offset + scan->message.size())) ==
                    scan->message,
            "the message is not the area's bytes at %zu", scan->offset);
  auto rebuilt = mzcard::BuildNdefArea(scan->message, area.size(), &error);
  if (!rebuilt) {
    MZF_CHECK(scan->message.size() > mzcard::MaxNdefMessage(area.size()) && !error.empty(),
              "a %zu-byte message refused in %zu bytes", scan->message.size(), area.size());
    return;
  }
  MZF_CHECK(rebuilt->size() == area.size(), "area of %zu bytes built as %zu", area.size(),
            rebuilt->size());
  auto again = mzcard::ScanTlvs(*rebuilt, &error);
  MZF_CHECK(again && again->found && again->message == scan->message,
            "a written message is not found again");
}

void FuzzMessage(const Bytes& message) {
  std::string error;
  auto records = mzcard::ParseNdefMessage(message, &error);
  if (!records) {
    MZF_CHECK(!error.empty(), "message refused without a reason");
    return;
  }
  MZF_CHECK(!records->empty(), "a message of no records");
  for (const auto& r : *records) {
    (void)mzcard::DecodeUri(r.payload);
    std::string textError;
    if (!mzcard::DecodeText(r.payload, &textError)) {
      MZF_CHECK(!textError.empty(), "text refused without a reason");
    }
    (void)mzcard::RecordKind(r);
  }
  auto again = mzcard::ParseNdefMessage(mzcard::BuildNdefMessage(*records), &error);
  MZF_CHECK(again && again->size() == records->size(), "records built again are refused: %s",
            error.c_str());
  for (size_t i = 0; i < records->size(); ++i) {
    const auto &a = (*records)[i], &b = (*again)[i];
    MZF_CHECK(a.tnf == b.tnf && a.type == b.type && a.id == b.id && a.payload == b.payload,
              "record %zu changed when built again", i + 1);
  }
}

void FuzzUri(const Bytes& in) {
  const std::string uri(in.begin(), in.end());
  if (!mzcard::UriProblem(uri).empty()) return;
  const auto record = mzcard::UriRecord(uri);
  auto back = mzcard::DecodeUri(record.payload);
  MZF_CHECK(back && *back == uri, "a URI does not come back from its record");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const Bytes rest(data + 1, data + size);
  static const int kSectors[] = {5, 16, 32, 40};
  switch (data[0] % 4) {
    case 0:
      FuzzMad(rest, kSectors[data[0] / 4 % 4]);
      break;
    case 1:
      FuzzTlvs(rest);
      break;
    case 2:
      FuzzMessage(rest);
      break;
    default:
      FuzzUri(rest);
      break;
  }
  return 0;
}
