// Card images as the workbench's JSON carries them: the round trip keeps
// every byte and what is unknown, malformed images are refused with a
// reason, and the description reads the trailer as the card does.
#include "image_json.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "mad.h"

namespace zubtool {
namespace ui {
namespace {

CardImage NewCard() {
  CardImage image(*LayoutByName("1K"));
  for (int block = 0; block < image.Blocks(); ++block) image.SetBlock(block, Bytes(16, 0));
  image.SetBlock(0, *ParseHex("1A7B8C54B90804006263646566676869"));
  for (int sector = 0; sector < 16; ++sector) {
    image.SetBlock(TrailerBlock(sector), *ParseHex("FFFFFFFFFFFFFF078069FFFFFFFFFFFF"));
  }
  return image;
}

// A 1K formatted for NDEF, sector 7 given to another application (4801),
// and `message` in the NFC sectors' TLV.
CardImage NdefCard(const std::string& area) {
  CardImage image = NewCard();
  std::vector<MadEntry> entries(16, kMadNdef);
  entries[0] = kMadFree;
  entries[7] = {0x48, 0x01};
  const auto mad = BuildMad(entries, 16);
  image.SetBlock(1, Bytes(mad.first.begin(), mad.first.begin() + 16));
  image.SetBlock(2, Bytes(mad.first.begin() + 16, mad.first.end()));
  image.SetBlock(3, *ParseHex("A0A1A2A3A4A5787788C1FFFFFFFFFFFF"));
  Bytes bytes = *ParseHex(area);
  bytes.resize(48, 0);
  for (int i = 0; i < 3; ++i) {
    image.SetBlock(4 + i, Bytes(bytes.begin() + 16 * i, bytes.begin() + 16 * (i + 1)));
  }
  return image;
}

TEST(ImageJson, DirectoryLabelsEachSector) {
  const JsonValue mad = DescribeMad(NdefCard("0300FE"));
  ASSERT_TRUE(mad.is_object()) << mad.dump();
  EXPECT_EQ(mad["version"], 1);
  EXPECT_EQ(mad["crcOk"], true);
  ASSERT_EQ(mad["sectors"].size(), 16u);
  const struct {
    int sector;
    const char* label;
    const char* meaning;
  } cases[] = {{0, "MAD", "the application directory"},
               {1, "NFC", "NFC Forum (NDEF)"},
               {6, "NFC", "NFC Forum (NDEF)"},
               {7, "4801", ""}};
  for (const auto& c : cases) {
    const JsonValue& s = mad["sectors"][static_cast<size_t>(c.sector)];
    EXPECT_EQ(s["sector"], c.sector);
    EXPECT_EQ(s["label"], c.label) << c.sector;
    if (*c.meaning) {
      EXPECT_EQ(s["meaning"], c.meaning) << c.sector;
    }
  }
  // No directory: none shown; blocks 1 and 2 not known: none either.
  EXPECT_TRUE(DescribeMad(NewCard()).is_null());
  CardImage unknown = NdefCard("0300FE");
  unknown.Forget(2, 5, 1);
  EXPECT_TRUE(DescribeMad(unknown).is_null());
  // A wrong CRC is shown, and its NDEF is not trusted.
  CardImage bad = NdefCard("0300FE");
  Bytes b1 = bad.Block(1);
  b1[0] ^= 0xFF;
  bad.SetBlock(1, b1);
  EXPECT_EQ(DescribeMad(bad)["crcOk"], false);
  EXPECT_TRUE(DescribeNdef(bad).is_null());
  // Data in blocks 1 and 2 of a card whose general purpose byte claims no
  // directory (transport 69): no directory.
  CardImage data = NdefCard("0300FE");
  Bytes trailer = data.Block(3);
  trailer[9] = 0x69;
  data.SetBlock(3, trailer);
  EXPECT_TRUE(DescribeMad(data).is_null());
}

TEST(ImageJson, NdefRecordsDecoded) {
  const struct {
    const char* name;
    const char* area;
    const char* message;  // null: none
    const char* records;  // kind=value;...
    const char* error;    // "": none
  } cases[] = {
      {"URI", "0310D1010C55046578616D706C652E636F6D FE", "D1010C55046578616D706C652E636F6D",
       "URI=https://example.com;", ""},
      {"text, after a NULL TLV", "00 0307 D101035402656E FE", "D101035402656E", "text=;", ""},
      {"two records", "030F 91010155 00 5101065402656E486921 FE", "91010155005101065402656E486921",
       "URI=;text=Hi!;", ""},
      {"empty message", "0300FE", "", "", ""},
      {"terminator only", "FE", nullptr, "", "no NDEF message TLV before the terminator"},
      {"a record past the message", "0304D1010955 FE", "D1010955", "",
       "run past the end of the message"},
      {"a TLV past the area", "03FF0200", nullptr, "", "past"},
  };
  for (const auto& c : cases) {
    std::string area = c.area;
    area.erase(std::remove(area.begin(), area.end(), ' '), area.end());
    const JsonValue ndef = DescribeNdef(NdefCard(area));
    ASSERT_TRUE(ndef.is_object()) << c.name;
    EXPECT_EQ(ndef["nfcSectors"].size(), 6u) << c.name;  // 1 to 6: sector 7 ends the run
    if (c.message) {
      EXPECT_EQ(ndef["message"], c.message) << c.name;
    } else {
      EXPECT_TRUE(ndef["message"].is_null()) << c.name;
    }
    std::string records;
    for (const auto& r : ndef["records"]) {
      const char* value = r.contains("uri") ? "uri" : r.contains("text") ? "text" : nullptr;
      records += r["kind"].get<std::string>() + "=" +
                 (value ? r[value].get<std::string>() : std::string()) + ";";
    }
    EXPECT_EQ(records, c.records) << c.name;
    if (*c.error) {
      ASSERT_TRUE(ndef["error"].is_string()) << c.name;
      EXPECT_NE(ndef["error"].get<std::string>().find(c.error), std::string::npos)
          << c.name << ": " << ndef["error"];
    } else {
      EXPECT_TRUE(ndef["error"].is_null()) << c.name << ": " << ndef["error"];
    }
  }
}

TEST(ImageJson, RoundTripKeepsBytesUnknownsAndCardData) {
  CardImage image = NewCard();
  image.Forget(7, 0, 6);  // key A of sector 1, as a dump leaves it
  image.Forget(9, 3, 1);
  image.atqa = Bytes{0x04, 0x00};
  image.sak = 0x08;
  const JsonValue json = ImageToJson(image);
  EXPECT_EQ(json["card"], "1K");
  EXPECT_EQ(json["uid"], "1A7B8C54");
  EXPECT_EQ(json["atqa"], "0400");
  EXPECT_EQ(json["sak"], "08");
  ASSERT_EQ(json["blocks"].size(), 64u);
  EXPECT_EQ(json["blocks"][7], "????????????FF078069FFFFFFFFFFFF");
  EXPECT_EQ(json["blocks"][9], "000000??000000000000000000000000");

  const CardImage back = ImageFromJson(json);
  EXPECT_EQ(back.Raw(), image.Raw());
  for (int offset = 0; offset < image.Size(); ++offset) {
    ASSERT_EQ(back.Known(offset), image.Known(offset)) << "byte " << offset;
  }
  EXPECT_EQ(back.atqa, image.atqa);
  EXPECT_EQ(back.sak, image.sak);
  EXPECT_EQ(ImageToJson(back), json);
}

TEST(ImageJson, MalformedImagesAreRefusedWithTheReason) {
  const JsonValue good = ImageToJson(NewCard());
  struct Case {
    const char* name;
    std::function<void(JsonValue&)> spoil;
    const char* reason;
  };
  const Case cases[] = {
      {"not an object", [](JsonValue& j) { j = JsonValue::array(); }, "JSON object"},
      {"no card type", [](JsonValue& j) { j.erase("card"); }, "which card"},
      {"unknown card type", [](JsonValue& j) { j["card"] = "8K"; }, "mini, 1K, 2K or 4K"},
      {"a block short", [](JsonValue& j) { j["blocks"].erase(63); }, "64 blocks, not 63"},
      {"a 4K card of 64 blocks", [](JsonValue& j) { j["card"] = "4K"; }, "256 blocks"},
      {"a block too long", [](JsonValue& j) { j["blocks"][3] = std::string(34, '0'); }, "block 3"},
      {"not hex", [](JsonValue& j) { j["blocks"][5] = std::string(31, '0') + "G"; }, "block 5"},
      {"half unknown byte", [](JsonValue& j) { j["blocks"][5] = "?0" + std::string(30, '0'); },
       "block 5"},
      {"a block as a number", [](JsonValue& j) { j["blocks"][1] = 0; }, "block 1"},
      {"a UID of 5 bytes", [](JsonValue& j) { j["uid"] = "0102030405"; }, "image's UID"},
      {"a SAK of two bytes", [](JsonValue& j) { j["sak"] = "0808"; }, "image's SAK"},
  };
  for (const auto& c : cases) {
    JsonValue json = good;
    c.spoil(json);
    try {
      ImageFromJson(json);
      ADD_FAILURE() << c.name << ": accepted";
    } catch (const BadRequest& e) {
      EXPECT_NE(e.message.find(c.reason), std::string::npos) << c.name << ": " << e.message;
    }
  }
}

TEST(ImageJson, DescriptionReadsTrailersValueBlocksAndBlockZero) {
  CardImage image = NewCard();
  image.SetBlock(5, EncodeValueBlock(100, 5));
  // Sector 2: conditions 000 100 110 011 (block 10 a value block for key B).
  AccessConditions c;
  c.group[0] = 0b000;
  c.group[1] = 0b100;
  c.group[2] = 0b110;
  c.group[3] = 0b011;
  Bytes trailer = *ParseHex("A0A1A2A3A4A5000000 69B0B1B2B3B4B5");
  const Bytes bits = EncodeAccessBits(c);
  std::copy(bits.begin(), bits.end(), trailer.begin() + 6);
  image.SetBlock(11, trailer);
  image.SetBlock(15, *ParseHex("FFFFFFFFFFFF 00 00 00 69 FFFFFFFFFFFF"));  // broken bits
  image.Forget(19, 6, 3);                                                  // unknown bits

  const JsonValue sectors = DescribeImage(image);
  ASSERT_EQ(sectors.size(), 16u);
  const JsonValue& s0 = sectors[0];
  EXPECT_EQ(s0["blocks"][0]["kind"], "manufacturer");
  EXPECT_EQ(s0["blocks"][0]["manufacturer"]["uid"], "1A7B8C54");
  EXPECT_EQ(s0["blocks"][0]["manufacturer"]["bccValid"], true);
  EXPECT_EQ(s0["blocks"][0]["manufacturer"]["sak"], "08");
  EXPECT_EQ(s0["conditions"], JsonValue({"000", "000", "000", "001"}));
  EXPECT_EQ(s0["keyBReadable"], true);
  EXPECT_EQ(s0["blocks"][3]["rights"]["writeKeyA"], "A");

  const JsonValue& value = sectors[1]["blocks"][1];
  EXPECT_EQ(value["kind"], "value");
  EXPECT_EQ(value["value"]["value"], 100);
  EXPECT_EQ(value["value"]["address"], 5);

  const JsonValue& s2 = sectors[2];
  EXPECT_EQ(s2["keyA"], "A0A1A2A3A4A5");
  EXPECT_EQ(s2["keyB"], "B0B1B2B3B4B5");
  EXPECT_EQ(s2["keyBReadable"], false);
  EXPECT_EQ(
      s2["blocks"][1]["rights"],
      JsonValue({{"read", "A/B"}, {"write", "B"}, {"increment", "never"}, {"decrement", "never"}}));
  EXPECT_EQ(s2["blocks"][2]["rights"]["increment"], "B");
  EXPECT_EQ(s2["blocks"][3]["rights"]["writeAccessBits"], "B");
  EXPECT_EQ(s2["blocks"][3]["condition"], "011");

  EXPECT_EQ(sectors[3]["accessConsistent"], false);
  EXPECT_TRUE(sectors[3]["conditions"].is_null());
  EXPECT_TRUE(sectors[3]["blocks"][0]["rights"].is_null());
  EXPECT_NE(sectors[3]["accessWords"][0].get<std::string>().find("refuses every access"),
            std::string::npos);

  EXPECT_TRUE(sectors[4]["accessConsistent"].is_null());
  EXPECT_TRUE(sectors[4]["accessBits"].is_null());
  EXPECT_EQ(sectors[4]["accessWords"].size(), 0u);
}

}  // namespace
}  // namespace ui
}  // namespace zubtool
