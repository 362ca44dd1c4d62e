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

// A 1K card: UID 1A7B8C54, data in block 4, a hidden key A in sector 1.
CardImage Sample(const CardLayout& layout, bool withUnknown) {
  CardImage image(layout, Bytes(static_cast<size_t>(layout.ImageSize()), 0));
  image.SetBlock(0, *ParseHex("1A7B8C54B90804006263646566676869"));
  image.SetBytes(0, 5,
                 {static_cast<uint8_t>(layout.sectors == 5    ? 0x09
                                       : layout.sectors == 40 ? 0x18
                                                              : 0x08)});
  for (int s = 0; s < layout.sectors; ++s) image.SetBlock(TrailerBlock(s), *ParseHex(kTrailer));
  image.SetBlock(4, *ParseHex("48656C6C6F2C2063617264210000FF00"));
  image.SetBlock(layout.Blocks() - 2, EncodeValueBlock(-7, 9));
  if (withUnknown) {
    image.Forget(7, 0, 6);   // key A of sector 1 not learnt
    image.Forget(9, 0, 16);  // a block not read
    image.Forget(5, 3, 1);   // one byte
  }
  return image;
}

void ExpectSameBlocks(const CardImage& a, const CardImage& b, const std::string& what) {
  ASSERT_EQ(a.Layout().sectors, b.Layout().sectors) << what;
  for (int i = 0; i < a.Size(); ++i) {
    ASSERT_EQ(a.Known(i), b.Known(i)) << what << ": byte " << i;
    if (a.Known(i)) {
      ASSERT_EQ(a.Raw()[static_cast<size_t>(i)], b.Raw()[static_cast<size_t>(i)])
          << what << ": byte " << i;
    }
  }
}

const Format kAll[] = {Format::kRaw, Format::kMct, Format::kEml, Format::kJson, Format::kNfc};

TEST(Formats, EveryPairRoundTripsEveryCardSize) {
  for (const char* size : {"mini", "1k", "4k"}) {
    for (bool unknown : {false, true}) {
      const CardImage image = Sample(*LayoutByName(size), unknown);
      for (Format first : kAll) {
        for (Format second : kAll) {
          // Unknown bytes survive only formats that can carry them.
          if (unknown && (!CarriesUnknown(first) || !CarriesUnknown(second))) continue;
          const std::string what = std::string(size) + " " + FormatName(first) + " -> " +
                                   FormatName(second) + (unknown ? " with unknown bytes" : "");
          std::string error;
          auto once = ReadImage(WriteImage(image, first), first, &error);
          ASSERT_TRUE(once) << what << ": " << error;
          auto twice = ReadImage(WriteImage(*once, second), second, &error);
          ASSERT_TRUE(twice) << what << ": " << error;
          ExpectSameBlocks(image, *twice, what);
          EXPECT_EQ(FormatOfContent(WriteImage(image, second)).value_or(Format::kRaw), second)
              << what << ": recognised by content";
        }
      }
    }
  }
}

// A dump that opened no sector knows nothing; its file must still read back
// as an image of that card, all unknown, in every format that says so.
TEST(Formats, AnImageThatKnowsNothingRoundTrips) {
  for (const auto& layout : {*LayoutOfSectors(5), *LayoutOfSectors(16), *LayoutOfSectors(40)}) {
    const CardImage nothing(layout);
    for (Format f : {Format::kMct, Format::kJson, Format::kNfc}) {
      std::string error;
      auto again = ReadImage(WriteImage(nothing, f), f, &error, layout);
      ASSERT_TRUE(again) << FormatName(f) << " " << layout.name << ": " << error;
      ExpectSameBlocks(nothing, *again, std::string(FormatName(f)) + " " + layout.name);
    }
  }
}

TEST(Formats, RawAndEmlWriteUnknownBytesAsZerosAndCountThem) {
  const CardImage image = Sample(*LayoutByName("1k"), true);
  for (Format f : kAll) {
    int zeroed = -1;
    const Bytes file = WriteImage(image, f, &zeroed);
    EXPECT_EQ(zeroed, CarriesUnknown(f) ? 0 : 6 + 16 + 1) << FormatName(f);
    auto back = ReadImage(file, f, nullptr);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->UnknownBytes(), CarriesUnknown(f) ? 23 : 0) << FormatName(f);
    EXPECT_EQ(back->Block(7), *ParseHex("000000000000FF078069FFFFFFFFFFFF")) << FormatName(f);
  }
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
      {"eml a block short", Format::kEml, eml.substr(33), "line 63: the file ends after 63 blocks"},
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
       "Filetype: Flipper NFC device\nDevice type: Mifare Classic\nMifare Classic type: 2K\n",
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
}

}  // namespace
}  // namespace mzcard
