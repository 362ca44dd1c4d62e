// NDEF on MIFARE Classic: the TLVs over the NFC sectors, records read and
// built, against the published examples.
#include <gtest/gtest.h>

#include <cstring>

#include "ndef.h"

namespace mzcard {
namespace {

Bytes NdefHex(const std::string& text) {
  return *ParseHex(text);
}

// https://example.com as a URI record.
const char* const kExampleUri = "D1 01 0C 55 04 65 78 61 6D 70 6C 65 2E 63 6F 6D";

TEST(Ndef, TlvsFindTheMessage) {
  const struct {
    const char* name;
    std::string area;
    bool ok;
    const char* message;  // hex; null when no message
    const char* error;    // part of the error
  } cases[] = {
      {"empty tag", "03 00 FE 00", true, "", ""},
      {"example URI", std::string("03 10 ") + kExampleUri + " FE", true, kExampleUri, ""},
      {"NULLs and proprietary first", std::string("00 00 FD 02 AA BB 03 10 ") + kExampleUri, true,
       kExampleUri, ""},
      {"three-byte length", "03 FF 00 02 D0 00 FE", true, "D000", ""},
      {"terminator first", "FE 03 10", true, nullptr, ""},
      {"all zeros", "00 00 00 00", true, nullptr, ""},
      {"length past the end", "03 10 D1 01", false, nullptr, "past the end"},
      {"three-byte length cut", "03 FF 00", false, nullptr, "past the end"},
      {"proprietary past the end", "FD 05 00", false, nullptr, "past the end"},
      {"reserved tag", "42 00", false, nullptr, "reserved TLV tag 42"},
  };
  for (const auto& c : cases) {
    std::string error;
    auto scan = ScanTlvs(NdefHex(c.area), &error);
    ASSERT_EQ(scan.has_value(), c.ok) << c.name << ": " << error;
    if (!c.ok) {
      EXPECT_NE(error.find(c.error), std::string::npos) << c.name << ": " << error;
      continue;
    }
    EXPECT_EQ(scan->found, c.message != nullptr) << c.name;
    if (c.message) {
      EXPECT_EQ(HexText(scan->message), HexText(NdefHex(c.message))) << c.name;
    }
  }
}

TEST(Ndef, AreaHoldsWhatFitsAndSaysHowMuch) {
  const struct {
    size_t message, area;
    bool fits;
    const char* head;  // the TLV's first bytes
  } cases[] = {
      {0, 720, true, "0300FE"},     {16, 720, true, "0310"},
      {254, 720, true, "03FE"},     {255, 720, true, "03FF00FF"},  // the long form from 255 on
      {716, 720, true, "03FF02CC"}, {717, 720, false, ""},
      {46, 48, true, "032E"},  // one sector of a 1K, full: no room for the terminator
      {47, 48, false, ""},
  };
  for (const auto& c : cases) {
    std::string error;
    auto area = BuildNdefArea(Bytes(c.message, 0xD0), c.area, &error);
    ASSERT_EQ(area.has_value(), c.fits) << c.message << " in " << c.area;
    if (!c.fits) {
      EXPECT_NE(error.find("at most " + std::to_string(MaxNdefMessage(c.area)) + " bytes fit"),
                std::string::npos)
          << error;
      continue;
    }
    EXPECT_EQ(area->size(), c.area);
    EXPECT_EQ(HexText(Bytes(area->begin(), area->begin() + static_cast<long>(strlen(c.head) / 2))),
              c.head);
    auto scan = ScanTlvs(*area, &error);
    ASSERT_TRUE(scan && scan->found) << error;
    EXPECT_EQ(scan->message.size(), c.message);
  }
  EXPECT_EQ(MaxNdefMessage(720), 716u);
  EXPECT_EQ(MaxNdefMessage(48), 46u);
  EXPECT_EQ(MaxNdefMessage(256), 254u);
}

TEST(Ndef, RecordsAreReadOrRefusedWithTheReason) {
  const struct {
    const char* name;
    const char* message;
    size_t records;
    const char* error;
  } cases[] = {
      {"URI", kExampleUri, 1, ""},
      {"long record", "C1 01 00 00 00 02 55 00 41", 1, ""},
      {"ID", "D9 01 01 02 55 69 64 00", 1, ""},
      {"two records", "91 01 01 55 00 51 01 01 54 00", 2, ""},
      {"no MB", "51 01 01 55 00", 0, "message begin"},
      {"no ME", "91 01 01 55 00", 0, "message end"},
      {"chunked", "B1 01 01 55 00", 0, "chunked"},
      {"payload past the end", "D1 01 0D 55 04 65", 0, "past the"},
      {"long length past the end", "C1 01 FF FF FF FF 55", 0, "past the"},
      {"header cut", "D1 01", 0, "header runs past"},
      {"bytes after ME", "D1 01 01 55 00 00", 0, "left over"},
      {"reserved TNF", "D7 00 00", 0, "reserved type format"},
      {"empty with a type", "D0 01 00 55", 0, "empty record"},
  };
  for (const auto& c : cases) {
    std::string error;
    auto records = ParseNdefMessage(NdefHex(c.message), &error);
    if (!c.records) {
      EXPECT_FALSE(records) << c.name;
      EXPECT_NE(error.find(c.error), std::string::npos) << c.name << ": " << error;
      continue;
    }
    ASSERT_TRUE(records) << c.name << ": " << error;
    EXPECT_EQ(records->size(), c.records) << c.name;
    // Built again, the short form where it fits: the same records.
    auto again = ParseNdefMessage(BuildNdefMessage(*records), &error);
    ASSERT_TRUE(again) << c.name;
    for (size_t i = 0; i < records->size(); ++i) {
      EXPECT_EQ((*again)[i].payload, (*records)[i].payload) << c.name;
      EXPECT_EQ((*again)[i].id, (*records)[i].id) << c.name;
    }
  }
}

TEST(Ndef, UrisTakeTheLongestPrefix) {
  const struct {
    const char* uri;
    uint8_t code;
  } cases[] = {
      {"https://example.com", 0x04},
      {"https://www.example.com", 0x02},
      {"http://www.x", 0x01},
      {"tel:+123", 0x05},
      {"urn:epc:id:sgtin:1", 0x1E},
      {"urn:epc:x", 0x22},
      {"urn:nfc:sn:x", 0x23},
      {"urn:isbn:1", 0x13},
      {"ftp://anonymous:anonymous@h", 7},
      {"ftp://ftp.h", 8},
      {"example:thing", 0x00},
  };
  for (const auto& c : cases) {
    const NdefRecord record = UriRecord(c.uri);
    ASSERT_FALSE(record.payload.empty());
    EXPECT_EQ(record.payload[0], c.code) << c.uri;
    EXPECT_EQ(DecodeUri(record.payload).value_or("?"), c.uri);
  }
  EXPECT_EQ(HexSpaced(BuildNdefMessage({UriRecord("https://example.com")})),
            HexSpaced(NdefHex(kExampleUri)));
  EXPECT_FALSE(DecodeUri(NdefHex("24 41")));  // reserved code: not guessed
}

TEST(Ndef, UriProblems) {
  const struct {
    const char* uri;
    const char* problem;
  } cases[] = {
      {"https://example.com/ä", ""},
      {"https://example.com/\n", "control character 0A at position 21"},
      {"\x7F", "control character 7F"},
      {"", "empty"},
      {"https://\xC3", "not valid UTF-8"},
      {"https://\xC0\xAF", "not valid UTF-8"},
  };
  for (const auto& c : cases) {
    const std::string problem = UriProblem(c.uri);
    if (!*c.problem) {
      EXPECT_EQ(problem, "") << c.uri;
    } else {
      EXPECT_NE(problem.find(c.problem), std::string::npos) << problem;
    }
  }
}

TEST(Ndef, AbsoluteUriAndExternalTypeProblems) {
  const struct {
    const char* value;
    bool external;
    const char* problem;
  } cases[] = {
      {"https://schemas.example/thing", false, ""},
      {"urn:x-example:v1.2+beta", false, ""},
      {"tag:", false, ""},
      {"//example.com/no-scheme", false, "not an absolute URI"},
      {"1http://example.com", false, "not an absolute URI"},
      {"ht_tp://example.com", false, "not an absolute URI"},
      {"example.com", false, "not an absolute URI"},
      {"https://a b", false, "holds a space"},
      {"https://a\tb", false, "control character 09"},
      {"https://a\x01", false, "control character 01"},
      {"", false, "empty"},
      {"example.com:card", true, ""},
      {"android.com:pkg", true, ""},
      {"example.com", true, "not an external type"},
      {":card", true, "not an external type"},
      {"example.com:", true, "not an external type"},
      {"example.com:a b", true, "printable ASCII"},
      {"example.com:Ã¤", true, "printable ASCII"},
      {"", true, "not an external type"},
  };
  for (const auto& c : cases) {
    const std::string problem =
        c.external ? ExternalTypeProblem(c.value) : AbsoluteUriProblem(c.value);
    if (!*c.problem) {
      EXPECT_EQ(problem, "") << c.value;
    } else {
      EXPECT_NE(problem.find(c.problem), std::string::npos) << c.value << ": " << problem;
    }
  }
  // A type is one length byte: 255 bytes fit, 256 do not.
  const std::string uri255 = "https://example.com/" + std::string(235, 'a');
  EXPECT_EQ(AbsoluteUriProblem(uri255), "");
  EXPECT_NE(AbsoluteUriProblem(uri255 + "a").find("at most 255"), std::string::npos);
  EXPECT_EQ(ExternalTypeProblem("e:" + std::string(253, 't')), "");
  EXPECT_NE(ExternalTypeProblem("e:" + std::string(254, 't')).find("at most 255"),
            std::string::npos);
  // The absolute URI record carries its payload.
  EXPECT_EQ(HexSpaced(BuildNdefMessage({AbsoluteUriRecord("a:b", Bytes{'x', 'y'})})),
            "D3 03 02 61 3A 62 78 79");
}

TEST(Ndef, TextRecords) {
  const struct {
    const char* name;
    const char* payload;
    const char* language;
    const char* text;
    bool utf16;
  } cases[] = {
      {"UTF-8", "02 65 6E 48 69", "en", "Hi", false},
      {"UTF-16 big-endian", "82 64 65 00 48 00 E4", "de", "H\xC3\xA4", true},
      {"UTF-16 with a little-endian mark", "82 64 65 FF FE 48 00", "de", "H", true},
      {"UTF-16 surrogate pair", "80 D8 3D DE 00", "", "\xF0\x9F\x98\x80", true},
  };
  for (const auto& c : cases) {
    std::string error;
    auto text = DecodeText(NdefHex(c.payload), &error);
    ASSERT_TRUE(text) << c.name << ": " << error;
    EXPECT_EQ(text->language, c.language) << c.name;
    EXPECT_EQ(text->text, c.text) << c.name;
    EXPECT_EQ(text->utf16, c.utf16) << c.name;
  }
  std::string error;
  EXPECT_FALSE(DecodeText(NdefHex("05 65 6E"), &error));
  EXPECT_FALSE(DecodeText(NdefHex("80 00"), &error));
  EXPECT_EQ(HexText(TextRecord("Hi", "en").payload), "02656E4869");
}

TEST(Ndef, NfcSectorsRunOnFromTheFirst) {
  const struct {
    const char* name;
    int sectors;
    std::vector<int> nfc, want;
  } cases[] = {
      {"1K, 1 to 3", 16, {1, 2, 3}, {1, 2, 3}},
      {"1K, a gap ends the run", 16, {2, 3, 5}, {2, 3}},
      {"4K, across the directory's sector 16", 40, {15, 17, 18}, {15, 17, 18}},
  };
  for (const auto& c : cases) {
    std::vector<MadEntry> entries(static_cast<size_t>(c.sectors), kMadFree);
    for (int s : c.nfc) entries[static_cast<size_t>(s)] = kMadNdef;
    auto parts = BuildMad(entries, c.sectors);
    std::string error;
    auto mad = ParseMad(parts.first, parts.second, c.sectors, &error);
    ASSERT_TRUE(mad);
    EXPECT_EQ(NfcSectors(*mad, c.sectors), c.want) << c.name;
  }
  EXPECT_EQ(NfcDataBlocks({15, 17, 32}),
            (std::vector<int>{60,  61,  62,  68,  69,  70,  128, 129, 130, 131, 132,
                              133, 134, 135, 136, 137, 138, 139, 140, 141, 142}));
  EXPECT_EQ(HexText(NfcTrailer(Bytes(6, 0xFF), false)), "D3F7D3F7D3F77F078840FFFFFFFFFFFF");
}

}  // namespace
}  // namespace mzcard
