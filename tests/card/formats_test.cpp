// The dump formats: files written by hand from their layouts, round trips
// between formats, unknown bytes kept, damaged files refused with the line.
#include <gtest/gtest.h>

#include "formats.h"
#include "image_diff.h"

namespace mzcard {
namespace {

Bytes Text(const std::string& s) {
  return Bytes(s.begin(), s.end());
}

const char kTrailer[] = "FFFFFFFFFFFFFF078069FFFFFFFFFFFF";

uint8_t SakOfSize(int sectors) {
  return sectors == 5 ? 0x09 : sectors == 32 ? 0x19 : sectors == 40 ? 0x18 : 0x08;
}

// A card: UID 1A7B8C54 and the SAK of its size in block 0, data in block 4,
// a value block next to the last trailer; with unknown bytes, key A of sector
// 1 not learnt, a block not read, one byte, the whole last sector, and the
// access bytes of sector 2.
CardImage Sample(const CardLayout& layout, bool withUnknown) {
  CardImage image(layout, Bytes(static_cast<size_t>(layout.ImageSize()), 0));
  image.SetBlock(0, *ParseHex("1A7B8C54B90804006263646566676869"));
  image.SetBytes(0, 5, {SakOfSize(layout.sectors)});
  for (int s = 0; s < layout.sectors; ++s) image.SetBlock(TrailerBlock(s), *ParseHex(kTrailer));
  image.SetBlock(4, *ParseHex("48656C6C6F2C2063617264210000FF00"));
  image.SetBlock(layout.Blocks() - 2, EncodeValueBlock(-7, 9));
  if (withUnknown) {
    image.Forget(7, 0, 6);   // key A of sector 1 not learnt
    image.Forget(9, 0, 16);  // a block not read
    image.Forget(5, 3, 1);   // one byte
    image.Forget(11, 6, 4);  // access bytes
    const int last = layout.sectors - 1;
    for (int b = FirstBlock(last); b <= TrailerBlock(last); ++b) image.Forget(b, 0, 16);
  }
  return image;
}

void ExpectSameBlocks(const CardImage& a, const CardImage& b, const std::string& what) {
  ASSERT_EQ(a.Layout().sectors, b.Layout().sectors) << what;
  ASSERT_EQ(a.Layout().name, b.Layout().name) << what;
  for (int i = 0; i < a.Size(); ++i) {
    ASSERT_EQ(a.Known(i), b.Known(i)) << what << ": byte " << i;
    if (a.Known(i)) {
      ASSERT_EQ(a.Raw()[static_cast<size_t>(i)], b.Raw()[static_cast<size_t>(i)])
          << what << ": byte " << i;
    }
  }
}

const Format kAll[] = {Format::kRaw, Format::kMct, Format::kEml, Format::kJson, Format::kNfc};
const char* const kSizes[] = {"mini", "1k", "2k", "4k"};

// The round trip, every card size through every chain of two formats, and
// through all five one after another both ways: the size, every byte and
// whether it is known unchanged. Unknown bytes survive only formats that can
// carry them; the file is recognised by its content, and is read back without
// the caller naming the card's size.
TEST(Formats, EveryChainOfFormatsKeepsEveryCardSizeExactly) {
  for (const char* size : kSizes) {
    for (bool unknown : {false, true}) {
      const CardImage image = Sample(*LayoutByName(size), unknown);
      std::vector<std::vector<Format>> chains;
      for (Format first : kAll) {
        for (Format second : kAll) chains.push_back({first, second});
      }
      chains.push_back(std::vector<Format>(std::begin(kAll), std::end(kAll)));
      chains.push_back(std::vector<Format>(std::rbegin(kAll), std::rend(kAll)));
      for (const auto& chain : chains) {
        std::string what = std::string(size) + (unknown ? " with unknown bytes:" : ":");
        bool carries = true;
        for (Format f : chain) {
          what += std::string(" ") + FormatName(f);
          carries = carries && CarriesUnknown(f);
        }
        if (unknown && !carries) continue;
        CardImage now = image;
        for (Format f : chain) {
          const Bytes file = WriteImage(now, f);
          ASSERT_EQ(FormatOfContent(file).value_or(Format::kRaw), f) << what;
          std::string error;
          std::vector<std::string> notes;
          auto again = ReadImage(file, f, &error, std::nullopt, &notes);
          ASSERT_TRUE(again) << what << ": " << error;
          EXPECT_TRUE(notes.empty()) << what << ": " << notes[0];
          now = *again;
        }
        ExpectSameBlocks(image, now, what);
        EXPECT_EQ(now.Uid(), image.Uid()) << what;
      }
    }
  }
}

// A dump that opened no sector knows nothing; its file must still read back
// as an image of that card, all unknown, in every format that says so.
TEST(Formats, AnImageThatKnowsNothingRoundTrips) {
  for (const char* size : kSizes) {
    const CardImage nothing(*LayoutByName(size));
    for (Format f : {Format::kMct, Format::kJson, Format::kNfc}) {
      std::string error;
      auto again = ReadImage(WriteImage(nothing, f), f, &error);
      ASSERT_TRUE(again) << FormatName(f) << " " << size << ": " << error;
      ExpectSameBlocks(nothing, *again, std::string(FormatName(f)) + " " + size);
      EXPECT_FALSE(again->Uid() || again->Atqa() || again->Sak()) << FormatName(f) << " " << size;
    }
  }
}

// Formats that cannot mark a byte unknown write stand-ins and say so: zeros,
// and in a trailer whose access bits are unknown the transport value, never
// the 00 00 00 no card accepts; json too, for tools that ignore its mask.
TEST(Formats, UnknownBytesGetStandInsThatLockNoSector) {
  const CardImage image = Sample(*LayoutByName("1k"), true);
  for (Format f : kAll) {
    int zeroed = -1;
    std::vector<std::string> notes;
    const Bytes file = WriteImage(image, f, &zeroed, &notes);
    std::string all;
    for (const auto& n : notes) all += n + "\n";
    EXPECT_EQ(zeroed, CarriesUnknown(f) ? 0 : image.UnknownBytes()) << FormatName(f);
    const bool standIns = f == Format::kRaw || f == Format::kEml || f == Format::kJson;
    EXPECT_EQ(
        all.find("sectors 2, 15: access bits unknown, written as FF 07 80 69") != std::string::npos,
        standIns)
        << FormatName(f) << ": " << all;
    if (!CarriesUnknown(f)) {
      EXPECT_NE(all.find(std::to_string(image.UnknownBytes()) +
                         " unknown bytes written as zeros or access bytes"),
                std::string::npos)
          << all;
    }
    auto back = ReadImage(file, f, nullptr);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->UnknownBytes(), CarriesUnknown(f) ? image.UnknownBytes() : 0) << FormatName(f);
    if (!CarriesUnknown(f)) {
      EXPECT_EQ(back->Block(7), *ParseHex("000000000000FF078069FFFFFFFFFFFF")) << FormatName(f);
      EXPECT_EQ(back->Block(11), *ParseHex("FFFFFFFFFFFFFF078069FFFFFFFFFFFF")) << FormatName(f);
      EXPECT_EQ(back->Block(63), *ParseHex("000000000000FF078069000000000000")) << FormatName(f);
      EXPECT_TRUE(ImplausibleImage(*back).empty()) << FormatName(f);
    }
  }
  // The json blocks themselves hold the stand-ins.
  const Bytes json = WriteImage(image, Format::kJson);
  const std::string text(json.begin(), json.end());
  EXPECT_NE(text.find("\"63\": \"000000000000FF078069000000000000\""), std::string::npos) << text;
  EXPECT_NE(text.find("\"11\": \"000000000000FFFFFFFF000000000000\""), std::string::npos) << text;
}

TEST(Formats, MetadataSurvivesJsonAndNfc) {
  CardImage image = Sample(*LayoutByName("4k"), false);
  image.uid = *ParseHex("04112233445566");
  image.atqa = Bytes{0x42, 0x00};
  image.sak = 0x18;
  for (Format f : {Format::kJson, Format::kNfc}) {
    auto back = ReadImage(WriteImage(image, f), f, nullptr);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->uid, image.uid) << FormatName(f);
    EXPECT_EQ(back->atqa, image.atqa) << FormatName(f);
    EXPECT_EQ(back->sak, image.sak) << FormatName(f);
  }
}

// Files as the other tools write them, typed from their layouts.
TEST(Formats, HandWrittenFilesOfEachFormat) {
  std::string eml = "# a comment\n";
  for (int b = 0; b < 64; ++b) {
    eml += b == 0 ? "1a7b8c54b90804006263646566676869\r\n"
                  : (b % 4 == 3 ? std::string(kTrailer) + "\r\n" : std::string(32, '0') + "\r\n");
  }
  std::string nfc =
      "Filetype: Flipper NFC device\nVersion: 4\n# comment\nDevice type: Mifare Classic\n"
      "UID: 1A 7B 8C 54\nATQA: 00 04\nSAK: 08\nMifare Classic type: MINI\n"
      "Data format version: 2\n"
      "Block 0: 1A 7B 8C 54 B9 09 04 00 62 63 64 65 66 67 68 69\n"
      "Block 3: ?? ?? ?? ?? ?? ?? FF 07 80 69 FF FF FF FF FF FF\n"
      "Block 4: 48 65 6C 6C 6F ?? 20 63 61 72 64 21 00 00 FF 00\n";
  std::string mct =
      "+Sector: 0\n1A7B8C54B90804006263646566676869\n--------------------------------\n"
      "00000000000000000000000000000000\n------------FF078069FFFFFFFFFFFF\n"
      "+Sector: 2\n*No keys found or dead sector\n"
      "+Sector: 35\n";
  for (int i = 0; i < 15; ++i) mct += "00000000000000000000000000000000\n";
  mct += std::string(kTrailer) + "\n";
  std::string json = R"({
  "Created": "proxmark3",
  "FileType": "mfcard",
  "Card": {"UID": "1A7B8C54", "ATQA": "0400", "SAK": "08"},
  "blocks": {"0": "1A7B8C54B90804006263646566676869", "63": "A0A1A2A3A4A5FF078069B0B1B2B3B4B5"},
  "SectorKeys": {"1": {"KeyA": "C0C1C2C3C4C5", "KeyB": "D0D1D2D3D4D5", "AccessConditions": "7F078869"}}
})";
  struct Case {
    std::string name, text;
    Format format;
    int sectors, unknown;
    int block;
    const char* hex;  // '?' pairs: unknown
  } cases[] = {
      {"eml", eml, Format::kEml, 16, 0, 0, "1A7B8C54B90804006263646566676869"},
      {"nfc", nfc, Format::kNfc, 5, 320 - 16 - 10 - 15, 4, "48656C6C6F??2063617264210000FF00"},
      {"mct", mct, Format::kMct, 40, 4096 - 64 - 256 + 16 + 6, 3,
       "??????????"
       "??FF078069FFFFFFFFFFFF"},
      {"json", json, Format::kJson, 16, 1024 - 32 - 16, 7, "C0C1C2C3C4C5????????????D0D1D2D3D4D5"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(FormatOfContent(Text(c.text)), c.format) << c.name;
    std::string error;
    auto image = ReadImage(Text(c.text), c.format, &error);
    ASSERT_TRUE(image) << c.name << ": " << error;
    EXPECT_EQ(image->Layout().sectors, c.sectors) << c.name;
    EXPECT_EQ(image->UnknownBytes(), c.unknown) << c.name;
    std::string got;
    const std::string hex = HexText(image->Block(c.block));
    for (int i = 0; i < kBlockSize; ++i) {
      got += image->ByteKnown(c.block, i) ? hex.substr(static_cast<size_t>(2 * i), 2) : "??";
    }
    std::string want;
    for (const char* p = c.hex; *p; ++p) want += *p;
    if (c.name == "json")
      want = "C0C1C2C3C4C57F078869D0D1D2D3D4D5";  // sector 1's trailer from the keys
    EXPECT_EQ(got, want) << c.name;
  }
}

std::string Repeat(const std::string& line, int count) {
  std::string text;
  for (int i = 0; i < count; ++i) text += line;
  return text;
}

// Sectors `from` to `to` of a .mct, each block 32 digits of `digit`.
std::string MctSectors(int from, int to, char digit = '0') {
  std::string text;
  for (int s = from; s <= to; ++s) {
    text += "+Sector: " + std::to_string(s) + "\n";
    text += Repeat(std::string(32, digit) + "\n", BlocksInSector(s) - 1) + kTrailer + "\n";
  }
  return text;
}

// Files as other tools (and earlier versions of this one) wrote them: the
// card's size from the file's own count first, the SAK second; card facts
// only where the file or a proven block 0 gives them; each format's byte
// order; what a file leaves out unknown, and said.
TEST(Formats, FilesFromTheFieldGiveTheCardItsSizeFactsAndNotes) {
  const std::string block0_1k = "1A7B8C54B90804006263646566676869";
  const std::string block0_mini = "1A7B8C54B90904006263646566676869";
  // A 7-byte UID: bytes 0 to 3 and 4 are no UID and its check byte.
  const std::string block0_7 = "04306869B2188044C9B4A2061C1D1E1F";
  const std::string nfcHead =
      "Filetype: Flipper NFC device\nVersion: 4\nDevice type: Mifare Classic\n";
  std::string nfcShort =
      nfcHead + "UID: 1A 7B 8C 54\nATQA: 00 04\nSAK: 08\nMifare Classic type: 1K\n";
  for (int b = 0; b <= 13; ++b)
    nfcShort += "Block " + std::to_string(b) + ": " + HexSpaced(Bytes(16, 0x11)) + "\n";
  nfcShort.pop_back();  // and no final newline
  std::string jsonMini = "{\"FileType\": \"mfc v2\", \"Card\": {\"SAK\": \"89\"}, \"blocks\": {";
  for (int b = 0; b < 20; ++b)
    jsonMini += (b ? ", \"" : "\"") + std::to_string(b) + "\": \"" +
                (b ? std::string(32, '0') : block0_mini) + "\"";
  jsonMini += "}}";
  std::string json2k = "{\"Created\": \"proxmark3\", \"FileType\": \"mfcard\", \"blocks\": {";
  for (int b = 0; b < 128; ++b)
    json2k += (b ? ", \"" : "\"") + std::to_string(b) + "\": \"" +
              std::string(32, b % 4 == 3 ? 'F' : '0') + "\"";
  json2k += "}}";
  const std::string eml64 =
      block0_1k + "\n" + Repeat(std::string(32, '0') + "\n", 62) + std::string(32, 'A');
  struct Case {
    const char* name;
    Format format;
    std::string text;
    const char* card;  // the layout's name
    int unknown;
    const char* uid;   // hex, "" for none
    const char* atqa;  // in the order the card sends it
    int sak;           // -1 for none
    const char* note;  // "" for none
  } cases[] = {
      {"eml without a final newline", Format::kEml, eml64, "MIFARE Classic 1K", 0, "1A7B8C54",
       "0400", 0x08, ""},
      {"eml that ends early", Format::kEml, eml64.substr(0, 33 * 14), "MIFARE Classic 1K", 50 * 16,
       "1A7B8C54", "0400", 0x08, "blocks 14 to 63 are not in the file: read as unknown"},
      {"raw 2K", Format::kRaw, std::string(2048, '\0'), "MIFARE Classic 2K", 0, "00000000", "0000",
       0x00, ""},
      {"eml 2K", Format::kEml, Repeat(std::string(32, '0') + "\n", 128), "MIFARE Classic 2K", 0,
       "00000000", "0000", 0x00, ""},
      {"mct 2K", Format::kMct, MctSectors(0, 31), "MIFARE Classic 2K", 0, "00000000", "0000", 0x00,
       ""},
      {"proxmark json 2K", Format::kJson, json2k, "MIFARE Classic 2K", 0, "00000000", "0000", 0x00,
       ""},
      {"json Mini of 20 blocks with another SAK", Format::kJson, jsonMini, "MIFARE Mini", 0,
       "1A7B8C54", "0400", 0x89, ""},
      {"mct Mini of 5 sectors", Format::kMct,
       "+Sector: 0\n" + block0_1k + "\n" + MctSectors(0, 4).substr(44), "MIFARE Mini", 0,
       "1A7B8C54", "0400", 0x08, ""},
      {"mct with a Mini's SAK naming sector 5", Format::kMct,
       "+Sector: 0\n" + block0_mini + "\n" + MctSectors(0, 0).substr(44) + MctSectors(5, 5),
       "MIFARE Classic 1K", (16 - 2) * 64, "1A7B8C54", "0400", 0x09,
       "sectors 1 to 4, 6 to 15 are not in the file"},
      {"mct of some sectors with a proven 4K SAK", Format::kMct,
       "+Sector: 0\n1A7B8C54B91802006263646566676869\n" + MctSectors(0, 0).substr(44) +
           MctSectors(2, 2),
       "MIFARE Classic 4K", 4096 - 128, "1A7B8C54", "0200", 0x18,
       "sectors 1, 3 to 39 are not in the file"},
      {"mct whose last sector ends early", Format::kMct,
       MctSectors(0, 15).substr(0, MctSectors(0, 15).size() - 33), "MIFARE Classic 1K", 16,
       "00000000", "0000", 0x00, "block 63 is not in the file: read as unknown"},
      {"mct of a 7-byte UID", Format::kMct,
       "+Sector: 0\n" + block0_7 + "\n" + MctSectors(0, 15).substr(44), "MIFARE Classic 1K", 0, "",
       "", -1, ""},
      {"nfc that stops after block 13", Format::kNfc, nfcShort, "MIFARE Classic 1K", 50 * 16,
       "1A7B8C54", "0400", 0x08, "blocks 14 to 63 are not in the file: read as unknown"},
      {"nfc v2: ATQA least significant byte first", Format::kNfc,
       "Filetype: Flipper NFC device\nVersion: 2\nDevice type: Mifare Classic\nUID: 04 30 68 6A 12 "
       "34 56\n"
       "ATQA: 44 00\nSAK: 08\nMifare Classic type: MINI\n" +
           Repeat("", 0),
       "MIFARE Mini", 320, "0430686A123456", "4400", 0x08, "blocks 0 to 19 are not in the file"},
      {"nfc v4: ATQA most significant byte first", Format::kNfc,
       nfcHead + "UID: 04 30 68 6A 12 34 56\nATQA: 00 44\nSAK: 08\nMifare Classic type: 4K\n",
       "MIFARE Classic 4K", 4096, "0430686A123456", "4400", 0x08,
       "blocks 0 to 255 are not in the file"},
  };
  for (const auto& c : cases) {
    std::string error;
    std::vector<std::string> notes;
    auto image = ReadImage(Text(c.text), c.format, &error, std::nullopt, &notes);
    ASSERT_TRUE(image) << c.name << ": " << error;
    EXPECT_EQ(image->Layout().name, c.card) << c.name;
    EXPECT_EQ(image->UnknownBytes(), c.unknown) << c.name;
    EXPECT_EQ(image->Uid() ? HexText(*image->Uid()) : "", c.uid) << c.name;
    EXPECT_EQ(image->Atqa() ? HexText(*image->Atqa()) : "", c.atqa) << c.name;
    EXPECT_EQ(image->Sak() ? *image->Sak() : -1, c.sak) << c.name;
    std::string said;
    for (const auto& n : notes) said += n + "; ";
    if (*c.note)
      EXPECT_NE(said.find(c.note), std::string::npos) << c.name << ": " << said;
    else
      EXPECT_EQ(said, "") << c.name;
    // And what was read stays so through every format that can say it.
    for (Format f : {Format::kMct, Format::kJson, Format::kNfc}) {
      auto again = ReadImage(WriteImage(*image, f), f, &error);
      ASSERT_TRUE(again) << c.name << " -> " << FormatName(f) << ": " << error;
      ExpectSameBlocks(*image, *again, std::string(c.name) + " -> " + FormatName(f));
    }
  }
  // The facts block 0 does not prove: a Flipper file needs them, gets
  // stand-ins named in the note and in the file, and reads back not knowing.
  std::string error;
  auto seven = ReadImage(Text(cases[11].text), Format::kMct, &error);
  ASSERT_TRUE(seven) << error;
  std::vector<std::string> notes;
  const Bytes nfc = WriteImage(*seven, Format::kNfc, nullptr, &notes);
  ASSERT_EQ(notes.size(), 1u);
  EXPECT_EQ(
      notes[0],
      "the card's UID, ATQA, SAK not known (block 0's check byte proves no 4-byte UID): written "
      "in their place: UID 00 00 00 00, ATQA 00 04, SAK 08");
  const std::string nfcText(nfc.begin(), nfc.end());
  EXPECT_NE(nfcText.find("UID: 00 00 00 00\n"), std::string::npos) << nfcText;
  auto back = ReadImage(nfc, Format::kNfc, &error);
  ASSERT_TRUE(back) << error;
  EXPECT_FALSE(back->Uid() || back->Atqa() || back->Sak());
  notes.clear();
  const Bytes json = WriteImage(*back, Format::kJson, nullptr, &notes);
  EXPECT_EQ(std::string(json.begin(), json.end()).find("\"Card\": {}"),
            std::string(json.begin(), json.end()).find("\"Card\""));
  ASSERT_EQ(notes.size(), 1u);
  EXPECT_EQ(notes[0], "the card's UID, ATQA, SAK not known: left out of \"Card\"");
  // A v2 file's ATQA, written as v4 and as json, in each one's order.
  auto v2 = ReadImage(Text(cases[13].text), Format::kNfc, &error);
  ASSERT_TRUE(v2) << error;
  const Bytes v4 = WriteImage(*v2, Format::kNfc);
  EXPECT_NE(std::string(v4.begin(), v4.end()).find("\nATQA: 00 44\n"), std::string::npos);
  const Bytes v2json = WriteImage(*v2, Format::kJson);
  EXPECT_NE(std::string(v2json.begin(), v2json.end()).find("\"ATQA\": \"4400\""),
            std::string::npos);
  // Card facts a format without them loses are named.
  notes.clear();
  WriteImage(*v2, Format::kMct, nullptr, &notes);
  ASSERT_EQ(notes.size(), 1u);
  EXPECT_EQ(notes[0],
            "the mct format does not keep the card's UID 0430686A123456, ATQA 4400, SAK 08 (block "
            "0 does not give them)");
  // A 2K in a Flipper file: the 4K type it knows, read back as the 2K.
  const Bytes twoK = WriteImage(Sample(*LayoutByName("2k"), true), Format::kNfc);
  const std::string twoKText(twoK.begin(), twoK.end());
  EXPECT_NE(twoKText.find("Mifare Classic type: 4K\n"), std::string::npos);
  EXPECT_NE(twoKText.find("Block 255: ?? ??"), std::string::npos);
}

TEST(Formats, DamagedFilesAreRefusedWithTheLineAndTheReason) {
  std::string eml;
  for (int b = 0; b < 64; ++b) eml += std::string(32, '0') + "\n";
  std::string badDigit = eml;
  badDigit[33 * 5 + 7] = 'G';  // line 6
  const std::string nfcHead =
      "Filetype: Flipper NFC device\nVersion: 4\nDevice type: Mifare Classic\n"
      "Mifare Classic type: 1K\n";
  struct Case {
    const char* name;
    Format format;
    std::string text;
    const char* error;
  } cases[] = {
      {"raw of no card's size", Format::kRaw, std::string(1000, 'x'),
       "1000 bytes, not a card image"},
      {"eml with a bad digit", Format::kEml, badDigit, "line 6: not a block of 32 hex digits"},
      {"eml of no block", Format::kEml, "# only a comment\n", "no block of 32 hex digits"},
      {"eml beyond every card", Format::kEml, eml + eml + eml + eml + eml,
       "line 257: more than 256 blocks"},
      {"eml with a short line", Format::kEml, "0011\n", "line 1: not a block of 32 hex digits"},
      {"mct block before a sector", Format::kMct, std::string(32, '0') + "\n",
       "line 1: a block before the first '+Sector:' line"},
      {"mct sector cut short", Format::kMct,
       "+Sector: 1\n" + std::string(32, '0') + "\n+Sector: 2\n",
       "line 3: sector 1 has 1 blocks, not 4"},
      {"mct sector twice", Format::kMct, "+Sector: 1\n+Sector: 1\n",
       "line 2: sector 1 a second time"},
      {"mct bad sector", Format::kMct, "+Sector: 40\n", "line 1: not a sector number"},
      {"mct bad block", Format::kMct, "+Sector: 0\n" + std::string(31, '0') + "x\n",
       "line 2: not a block of 32 hex digits"},
      {"json syntax", Format::kJson, "{\n\"FileType\": \"mfc v2\",\n\"blocks\": {\"0\": }\n}",
       "line 3: not JSON"},
      {"json number no type holds", Format::kJson, "{\"FileType\": 1e999}", "not JSON"},
      {"json file type", Format::kJson, "{\n  \"FileType\": \"mfu\",\n  \"blocks\": {}\n}",
       "line 2: \"FileType\" is 'mfu'"},
      {"json bad block", Format::kJson,
       "{\"FileType\": \"mfc v2\",\n \"blocks\": {\n  \"0\": \"00\",\n  \"1\": \"0011\"}}",
       "line 3: block 0 is not 32 hex digits"},
      {"json block number", Format::kJson,
       "{\"FileType\": \"mfc v2\",\n\"blocks\": {\n\"x\": \"00\"}}", "line 3: not a block number"},
      {"nfc header", Format::kNfc, "Filetype: Something\n", "line 1: not a Flipper NFC file"},
      {"nfc other card", Format::kNfc,
       "Filetype: Flipper NFC device\nVersion: 4\nDevice type: NTAG/Ultralight\n",
       "line 3: not a MIFARE Classic card"},
      {"nfc short block", Format::kNfc, nfcHead + "Block 4: 00 11 22\n",
       "line 5: not 16 bytes as hex pairs"},
      {"nfc bad pair", Format::kNfc,
       nfcHead + "Block 4: 00 11 22 33 44 55 66 77 88 99 AA BB CC DD EE F\n",
       "line 5: not 16 bytes as hex pairs"},
      {"nfc block beyond", Format::kNfc,
       nfcHead + "Block 64: 00 11 22 33 44 55 66 77 88 99 AA BB CC DD EE FF\n",
       "line 5: a block beyond the card's last"},
      {"nfc bad type", Format::kNfc,
       "Filetype: Flipper NFC device\nDevice type: Mifare Classic\nMifare Classic type: 8K\n",
       "line 3: not a card type"},
  };
  for (const auto& c : cases) {
    std::string error;
    EXPECT_FALSE(ReadImage(Text(c.text), c.format, &error)) << c.name;
    EXPECT_NE(error.find(c.error), std::string::npos) << c.name << ": " << error;
  }
}

TEST(Formats, NamesAndExtensions) {
  EXPECT_EQ(FormatOfPath("dir.v2/card.MFD"), Format::kRaw);
  EXPECT_EQ(FormatOfPath("card.bin"), Format::kRaw);
  EXPECT_EQ(FormatOfPath("a/b.nfc"), Format::kNfc);
  EXPECT_EQ(FormatOfPath("dir.json/card"), std::nullopt);
  EXPECT_EQ(FormatByName("JSON"), Format::kJson);
  EXPECT_EQ(FormatByName("txt"), std::nullopt);
  // A raw image is never taken for text, even when it is all hex digits.
  EXPECT_EQ(FormatOfContent(Bytes(1024, '0')), std::nullopt);
}

TEST(ImageChecks, BlockZeroAndTrailersOfAPlausibleImage) {
  CardImage image = Sample(*LayoutByName("1k"), false);
  EXPECT_TRUE(ImplausibleImage(image).empty());
  CardImage badBcc = image;
  badBcc.SetBytes(0, 4, {0xB8});
  ASSERT_EQ(ImplausibleImage(badBcc).size(), 1u);
  EXPECT_NE(ImplausibleImage(badBcc)[0].find("check byte B8"), std::string::npos);
  // Only the inverted copy of C3 wrong: FF 06 80.
  CardImage badBits = image;
  badBits.SetBytes(11, 6, *ParseHex("FF0680"));
  ASSERT_EQ(ImplausibleImage(badBits).size(), 1u);
  EXPECT_NE(ImplausibleImage(badBits)[0].find("block 11 (trailer of sector 2)"), std::string::npos);
  // Unknown bytes are not judged.
  badBits.Forget(11, 6, 3);
  badBcc.Forget(0, 4, 1);
  EXPECT_TRUE(ImplausibleImage(badBits).empty());
  EXPECT_TRUE(ImplausibleImage(badBcc).empty());
}

TEST(ImageDiff, DifferingBytesUnknownBytesAndWhatTheyMean) {
  const CardImage a = Sample(*LayoutByName("1k"), false);
  CardImage b = a;
  EXPECT_TRUE(CompareImages(a, b).Same());
  b.SetBlock(62, EncodeValueBlock(25, 9));
  b.SetBlock(11, *ParseHex("A0A1A2A3A4A57F078869FFFFFFFFFFFF"));
  b.Forget(4, 0, 2);
  b.SetBytes(4, 0, {});  // nothing
  const ImageDiff diff = CompareImages(a, b);
  EXPECT_FALSE(diff.Same());
  EXPECT_EQ(diff.ignored, 2);
  ASSERT_EQ(diff.blocks.size(), 2u);
  EXPECT_EQ(diff.blocks[0].block, 11);
  EXPECT_EQ(CaretLine(diff.blocks[0]), "^^ ^^ ^^ ^^ ^^ ^^ ^^    ^^");
  const auto trailer = DescribeChange(diff.blocks[0]);
  ASSERT_GE(trailer.size(), 3u);
  EXPECT_EQ(trailer[0], "key A FFFFFFFFFFFF -> A0A1A2A3A4A5");
  EXPECT_EQ(trailer[1], "access bits FF 07 80 -> 7F 07 88");
  EXPECT_NE(trailer[2].find("was trailer (block 11)"), std::string::npos);
  EXPECT_EQ(DescribeChange(diff.blocks[1]), std::vector<std::string>{"value -7 -> 25"});
  // A byte unknown on one side is not a difference.
  CardImage c = a;
  c.Forget(5, 0, 16);
  EXPECT_TRUE(CompareImages(a, c).Same());
  EXPECT_EQ(CompareImages(a, c).ignored, 16);
  EXPECT_FALSE(CompareImages(a, Sample(*LayoutByName("4k"), false)).Same());
  // The first and the last block of every size are compared too.
  for (const char* size : kSizes) {
    const CardImage one = Sample(*LayoutByName(size), false);
    for (int block : {0, one.Blocks() - 1}) {
      CardImage other = one;
      other.SetBytes(block, 15, {0x5A});
      const ImageDiff d = CompareImages(one, other);
      EXPECT_EQ(d.compared, one.Blocks()) << size;
      ASSERT_EQ(d.blocks.size(), 1u) << size << " block " << block;
      EXPECT_EQ(d.blocks[0].block, block) << size;
      EXPECT_FALSE(d.Same()) << size << " block " << block;
    }
  }
}

}  // namespace
}  // namespace mzcard
