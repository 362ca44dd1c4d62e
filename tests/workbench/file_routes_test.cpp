// The files' routes: every format opened and exported as zubtool reads and
// writes it, malformed requests refused, diffs byte by byte (also against the
// virtual reader's card), and the restore: its plan as `zubtool restore`
// lists it, its verified writes, and the confirmation irreversible trailers
// need.
#include "file_routes.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <string>

#include "image_json.h"
#include "key_list.h"
#include "restore_plan.h"
#include "route_support.h"
#include "zubsim.h"

namespace zubtool {
namespace ui {
namespace {

std::string Base64(const Bytes& data) {
  static const char* digits = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  for (size_t i = 0; i < data.size(); i += 3) {
    uint32_t group = static_cast<uint32_t>(data[i]) << 16;
    if (i + 1 < data.size()) group |= static_cast<uint32_t>(data[i + 1]) << 8;
    if (i + 2 < data.size()) group |= data[i + 2];
    out += digits[group >> 18 & 63];
    out += digits[group >> 12 & 63];
    out += i + 1 < data.size() ? digits[group >> 6 & 63] : '=';
    out += i + 2 < data.size() ? digits[group & 63] : '=';
  }
  return out;
}

Bytes Hex(const std::string& text) {
  return *ParseHex(text);
}

class FileRoutesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    FreshVirtualReader();
    desk_.reset(new Desk(inv_, {Bytes(kKeySize, 0xFF)}));
    routes_ = FileRoutes(*desk_);
  }
  Reply Call(const std::string& method, const std::string& path, JsonValue body) {
    return CallRoute(routes_, method, path, std::move(body));
  }

 public:
  // The virtual reader's card as an image.
  static CardImage SimCard() {
    Bytes memory(zubsim_card_image(nullptr, 0));
    zubsim_card_image(memory.data(), memory.size());
    std::string error;
    return *ReadImage(memory, Format::kRaw, &error);
  }
  static int Exchanges() { return TraceLines(); }
  static JsonValue Body(const CardImage& image) {
    JsonValue body = JsonValue::object();
    body["image"] = ImageToJson(image);
    return body;
  }

  Invocation inv_;
  std::unique_ptr<Desk> desk_;
  std::vector<Route> routes_;
};

// An image as a dump of the virtual reader's fresh card gives it, with a
// value block, some text and a sector the dump could not read.
CardImage SampleImage() {
  zubsim_reset();
  CardImage image = FileRoutesTest::SimCard();
  image.SetBlock(4, Hex("48656C6C6F2C20776F726B62656E6368"));
  image.SetBlock(5, EncodeValueBlock(100, 5));
  for (int block = 8; block < 12; ++block) image.Forget(block, 0, kBlockSize);
  return image;
}

TEST_F(FileRoutesTest, FormatsListEveryFormatWithItsExtensions) {
  Reply reply = Call("GET", "/api/formats", nullptr);
  ASSERT_EQ(reply.status, 200);
  const JsonValue& formats = reply.json["formats"];
  ASSERT_EQ(formats.size(), 5u);
  for (const auto& f : formats) {
    const auto format = FormatByName(f["name"].get<std::string>());
    ASSERT_TRUE(format) << f.dump();
    EXPECT_EQ(f["carriesUnknown"], CarriesUnknown(*format));
    ASSERT_FALSE(f["extensions"].empty());
    for (const auto& ext : f["extensions"])
      EXPECT_EQ(FormatOfPath("dump" + ext.get<std::string>()), format) << ext;
  }
  EXPECT_EQ(formats[0]["extensions"], JsonValue({".mfd", ".bin", ".raw"}));
  for (const auto& f : formats)
    EXPECT_EQ(f["unknownAs"].is_null(), f["carriesUnknown"].get<bool>());
  // The default download keeps unknown bytes unknown.
  EXPECT_TRUE(CarriesUnknown(*FormatByName(reply.json["default"].get<std::string>())));
}

// Each format: the file opens as zubtool reads it, and its export is the
// bytes WriteImage (so `zubtool convert`) gives, named after the UID.
TEST_F(FileRoutesTest, EveryFormatOpensAndExportsAsZubtoolWritesIt) {
  const CardImage image = SampleImage();
  const struct {
    Format format;
    const char* name;
  } cases[] = {{Format::kRaw, "dump.mfd"},
               {Format::kMct, "dump.mct"},
               {Format::kEml, "dump.eml"},
               {Format::kJson, "dump.json"},
               {Format::kNfc, "dump.nfc"},
               // the content decides before the name
               {Format::kMct, "dump.bin"},
               {Format::kNfc, "noname"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const Bytes content = WriteImage(image, c.format);
    std::string error;
    const auto expected = ReadImage(content, c.format, &error);
    ASSERT_TRUE(expected) << error;

    JsonValue open = JsonValue::object();
    open["name"] = c.name;
    open["data"] = Base64(content);
    Reply opened = Call("POST", "/api/image/open", open);
    ASSERT_EQ(opened.status, 200) << opened.json.dump();
    EXPECT_EQ(opened.json["format"], FormatName(c.format));
    EXPECT_EQ(opened.json["image"], ImageToJson(*expected));
    EXPECT_EQ(opened.json["sectors"], DescribeImage(*expected));
    // A format without unknown bytes holds the unread trailer's access bytes
    // as the safe FF 07 80 69, which every card accepts: nothing to warn of.
    EXPECT_TRUE(opened.json["warnings"].empty()) << opened.json["warnings"];
    EXPECT_TRUE(opened.json["notes"].empty()) << opened.json["notes"];
    EXPECT_EQ(opened.json["sectors"][1]["blocks"][1]["kind"], "value");
    // Unknown bytes stay unknown where the format says so.
    EXPECT_EQ(opened.json["image"]["blocks"][8] == std::string(32, '?'), CarriesUnknown(c.format));

    JsonValue exportBody = JsonValue::object();
    exportBody["image"] = opened.json["image"];
    exportBody["format"] = FormatName(c.format);
    Reply file = Call("POST", "/api/image/export", exportBody);
    ASSERT_EQ(file.status, 200) << file.json.dump();
    ASSERT_TRUE(file.file);
    EXPECT_EQ(file.bytes, std::string(content.begin(), content.end()));
    EXPECT_EQ(file.fileName, "1A7B8C54" + std::string(c.format == Format::kRaw    ? ".mfd"
                                                      : c.format == Format::kMct  ? ".mct"
                                                      : c.format == Format::kEml  ? ".eml"
                                                      : c.format == Format::kJson ? ".json"
                                                                                  : ".nfc"));
  }
}

TEST_F(FileRoutesTest, AnImageWithoutUidIsExportedAsCard) {
  CardImage image(*LayoutByName("1K"));
  image.SetBlock(1, Bytes(kBlockSize, 0x11));
  EXPECT_EQ(ExportFileName(image, Format::kMct), "card.mct");
  JsonValue body = Body(image);
  body["format"] = "bin";
  Reply file = Call("POST", "/api/image/export", body);
  ASSERT_EQ(file.status, 200);
  EXPECT_EQ(file.fileName, "card.mfd");
  EXPECT_EQ(file.bytes.size(), 1024u);
  body["format"] = "pdf";
  EXPECT_EQ(Call("POST", "/api/image/export", body).status, 400);
}

// A file that ends early opens with the blocks it left out named.
TEST_F(FileRoutesTest, AFileThatEndsEarlyOpensWithTheMissingBlocksNamed) {
  const std::string nfc =
      "Filetype: Flipper NFC device\nVersion: 4\nDevice type: Mifare Classic\n"
      "Mifare Classic type: 1K\nBlock 0: 1A 7B 8C 54 B9 08 04 00 62 63 64 65 66 67 68 69\n";
  JsonValue open = JsonValue::object();
  open["name"] = "short.nfc";
  open["data"] = Base64(Bytes(nfc.begin(), nfc.end()));
  Reply opened = Call("POST", "/api/image/open", open);
  ASSERT_EQ(opened.status, 200) << opened.json.dump();
  EXPECT_EQ(opened.json["unknownBytes"], 1024 - 16);
  ASSERT_EQ(opened.json["notes"].size(), 1u);
  EXPECT_EQ(opened.json["notes"][0], "blocks 1 to 63 are not in the file: read as unknown");
}

TEST_F(FileRoutesTest, Base64IsDecodedStrictly) {
  const struct {
    const char* text;
    const char* decoded;  // nullptr: refused
  } cases[] = {{"", ""},
               {"Zg==", "f"},
               {"Zm8=", "fo"},
               {"Zm9v", "foo"},
               {"Zm9vYg==", "foob"},
               {"Zg", nullptr},
               {"Zg=", nullptr},
               {"Z===", nullptr},
               {"Zh==", nullptr},
               {"Zm9=", nullptr},
               {"Zg==Zg==", nullptr},
               {"Zm 9v", nullptr},
               {"Zm9v\n", nullptr},
               {"Zm-_", nullptr},
               {"=Zm9", nullptr}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    const auto bytes = DecodeBase64(c.text);
    if (!c.decoded) {
      EXPECT_FALSE(bytes);
      JsonValue open = JsonValue::object();
      open["name"] = "dump.mfd";
      open["data"] = c.text;
      Reply reply = Call("POST", "/api/image/open", open);
      EXPECT_EQ(reply.status, 400);
      EXPECT_EQ(reply.json["error"], "\"data\" is not base64");
    } else {
      ASSERT_TRUE(bytes);
      EXPECT_EQ(std::string(bytes->begin(), bytes->end()), c.decoded);
    }
  }
}

TEST_F(FileRoutesTest, MalformedFilesAndImagesAreBadRequests) {
  // Files zubtool cannot read: its reason, named after the file.
  const struct {
    const char* name;
    std::string content;
    const char* error;
  } files[] = {{"short.mfd", std::string(100, 'x'), "short.mfd (raw): "},
               {"dump.eml", std::string(1024, '\0'), "dump.eml (eml): "},
               {"bad.mct", "+Sector: 0\nnot hex\n", "bad.mct (mct): "}};
  for (const auto& f : files) {
    JsonValue open = JsonValue::object();
    open["name"] = f.name;
    open["data"] = Base64(Bytes(f.content.begin(), f.content.end()));
    Reply reply = Call("POST", "/api/image/open", open);
    EXPECT_EQ(reply.status, 400) << f.name;
    EXPECT_EQ(reply.json["error"].get<std::string>().rfind(f.error, 0), 0u) << reply.json.dump();
  }
  JsonValue noData = JsonValue::object();
  noData["name"] = "x.mfd";
  EXPECT_EQ(Call("POST", "/api/image/open", noData).status, 400);

  // Images the page sent wrong: each route that takes one refuses them.
  JsonValue good = ImageToJson(SampleImage());
  JsonValue shortImage = good, badHex = good, noCard = good;
  shortImage["blocks"].erase(shortImage["blocks"].begin());
  badHex["blocks"][3] = "zz" + std::string(30, '0');
  noCard.erase("card");
  for (const JsonValue& image : {shortImage, badHex, noCard, JsonValue("a string")}) {
    JsonValue body = JsonValue::object();
    body["image"] = image;
    body["format"] = "mct";
    EXPECT_EQ(Call("POST", "/api/image/describe", body).status, 400) << image.dump();
    EXPECT_EQ(Call("POST", "/api/image/export", body).status, 400);
    EXPECT_EQ(Call("POST", "/api/restore/plan", body).status, 400);
    JsonValue diff = JsonValue::object();
    diff["a"] = image;
    diff["b"] = "card";
    const int before = Exchanges();
    EXPECT_EQ(Call("POST", "/api/diff", diff).status, 400);
    EXPECT_EQ(Exchanges(), before) << "a malformed image cost a card reading";
  }
  JsonValue twoCards = JsonValue::object();
  twoCards["a"] = "card";
  twoCards["b"] = "card";
  EXPECT_EQ(Call("POST", "/api/diff", twoCards).status, 400);
}

TEST_F(FileRoutesTest, DiffMarksExactlyTheBytesThatDiffer) {
  const CardImage a = SampleImage();
  CardImage b = a;
  Bytes block4 = b.Block(4);
  block4[3] ^= 0x01;
  block4[15] = 0x00;
  b.SetBlock(4, block4);
  b.SetBlock(5, EncodeValueBlock(125, 5));
  b.Forget(6, 2, 1);                    // unknown on one side only: not a difference
  b.SetBlock(9, Bytes(kBlockSize, 1));  // unknown in a
  Bytes block6 = b.Block(6);
  block6[7] = 0x42;
  b.SetBytes(6, 7, {0x42});

  JsonValue body = JsonValue::object();
  body["a"] = ImageToJson(a);
  body["b"] = ImageToJson(b);
  Reply reply = Call("POST", "/api/diff", body);
  ASSERT_EQ(reply.status, 200) << reply.json.dump();
  EXPECT_FALSE(reply.json["same"]);
  const JsonValue& blocks = reply.json["blocks"];
  ASSERT_EQ(blocks.size(), 3u) << blocks.dump();
  EXPECT_EQ(blocks[0]["block"], 4);
  EXPECT_EQ(blocks[0]["bytes"], JsonValue({3, 15}));
  EXPECT_EQ(blocks[0]["a"], BlockText(a, 4));
  EXPECT_EQ(blocks[0]["b"], BlockText(b, 4));
  EXPECT_EQ(blocks[0]["differing"], "2 bytes differ: 3, 15");
  EXPECT_EQ(blocks[0]["aAscii"], "Hello, workbench");
  EXPECT_EQ(blocks[0]["bAscii"], "Helmo, workbenc.");
  EXPECT_EQ(blocks[1]["block"], 5);
  EXPECT_EQ(blocks[1]["changes"], JsonValue({"value 100 -> 125"}));
  EXPECT_EQ(blocks[2]["block"], 6);
  EXPECT_EQ(blocks[2]["bytes"], JsonValue({7}));
  EXPECT_EQ(blocks[2]["unknown"], JsonValue({2}));
  EXPECT_EQ(blocks[2]["b"].get<std::string>().substr(4, 2), "??");
  EXPECT_EQ(blocks[2]["bAscii"].get<std::string>()[2], '?');
  EXPECT_EQ(blocks[2]["differing"], "1 byte differs: 7");
  EXPECT_EQ(reply.json["ignored"], 4 * kBlockSize + 1);

  body["b"] = ImageToJson(a);
  Reply same = Call("POST", "/api/diff", body);
  EXPECT_TRUE(same.json["same"]);
  EXPECT_TRUE(same.json["blocks"].empty());
  EXPECT_EQ(Exchanges(), 0) << "a diff of two files went to the reader";
}

TEST_F(FileRoutesTest, DiffAgainstTheCardReadsItAsDumpDoes) {
  CardImage file = SimCard();
  file.SetBytes(6, 0, {0xAB, 0xCD});
  JsonValue body = JsonValue::object();
  body["a"] = "card";
  body["b"] = ImageToJson(file);
  Reply reply = Call("POST", "/api/diff", body);
  ASSERT_EQ(reply.status, 200) << reply.json.dump();
  ASSERT_EQ(reply.json["blocks"].size(), 1u) << reply.json["blocks"].dump();
  EXPECT_EQ(reply.json["blocks"][0]["block"], 6);
  EXPECT_EQ(reply.json["blocks"][0]["bytes"], JsonValue({0, 1}));
  EXPECT_EQ(reply.json["a"]["uid"], "1A7B8C54");
  EXPECT_GT(Exchanges(), 0);

  zubsim_take_out_card();
  EXPECT_EQ(Call("POST", "/api/diff", body).status, 503);
}

// The plan equals what `zubtool restore --dry-run --json` lists for the same
// image and options.
TEST_F(FileRoutesTest, RestorePlanIsWhatZubtoolRestoreWouldWrite) {
  CardImage image = SampleImage();
  image.Forget(13, 4, 1);  // a data block with one unknown byte
  const std::string path = ::testing::TempDir() + "/file_routes_plan.mct";
  {
    const Bytes content = WriteImage(image, Format::kMct);
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(content.data()), static_cast<long>(content.size()));
  }
  const struct {
    bool trailers, block0;
    const char* options;
  } cases[] = {{false, false, ""},
               {true, false, "--trailers --force"},
               {true, true, "--trailers --force --block0"},
               {false, true, "--block0"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.options);
    const std::string command =
        std::string(ZUBTOOL_PATH) + " restore --dry-run --json " + c.options + " " + path;
    std::FILE* pipe = popen(command.c_str(), "r");
    ASSERT_TRUE(pipe);
    std::string out;
    char buffer[4096];
    for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) out.append(buffer, n);
    ASSERT_EQ(pclose(pipe), 0) << out;
    const JsonValue cli = JsonValue::parse(out);

    JsonValue body = Body(image);
    body["trailers"] = c.trailers;
    body["block0"] = c.block0;
    Reply plan = Call("POST", "/api/restore/plan", body);
    ASSERT_EQ(plan.status, 200) << plan.json.dump();
    ASSERT_EQ(plan.json["writes"].size(), cli["planned"].size());
    for (size_t i = 0; i < cli["planned"].size(); ++i) {
      EXPECT_EQ(plan.json["writes"][i]["block"], cli["planned"][i]["block"]);
      EXPECT_EQ(plan.json["writes"][i]["data"], cli["planned"][i]["data"]);
    }
    std::vector<int> unknown, cliSkipped;
    for (const auto& s : plan.json["skipped"])
      if (s["unknown"].get<bool>()) unknown.push_back(s["block"]);
    for (const auto& s : cli["skipped"]) cliSkipped.push_back(s["block"]);
    EXPECT_EQ(unknown, cliSkipped);
    const std::vector<int> expected =
        c.trailers ? std::vector<int>{8, 9, 10, 11, 13} : std::vector<int>{8, 9, 10, 13};
    EXPECT_EQ(unknown, expected);
    EXPECT_TRUE(plan.json["confirm"].empty());
    EXPECT_TRUE(plan.json["refused"].empty());
  }
  std::remove(path.c_str());
  EXPECT_EQ(Exchanges(), 0) << "the plan went to the reader";
}

TEST_F(FileRoutesTest, RestoreWritesAndVerifiesEveryPlannedBlock) {
  CardImage image = SimCard();
  image.SetBlock(1, Hex("000102030405060708090A0B0C0D0E0F"));
  image.SetBlock(5, EncodeValueBlock(42, 5));
  image.SetBlock(62, Bytes(kBlockSize, 0x5A));
  // Sector 2 gets a key A of its own, its trailer written with --trailers.
  Bytes trailer = image.Block(11);
  std::copy_n(Hex("A0A1A2A3A4A5").begin(), kKeySize, trailer.begin());
  image.SetBlock(11, trailer);
  JsonValue body = Body(image);
  body["trailers"] = true;
  Reply reply = Call("POST", "/api/restore", body);
  ASSERT_EQ(reply.status, 200) << reply.json.dump();
  EXPECT_EQ(reply.json["failed"], 0);
  EXPECT_EQ(reply.json["written"], 63);  // every block but block 0
  for (const auto& r : reply.json["results"]) {
    EXPECT_TRUE(r["ok"].get<bool>()) << r.dump();
    EXPECT_TRUE(r["error"].is_null());
  }
  const JsonValue& first = reply.json["results"][0];
  EXPECT_EQ(first["block"], 1);
  EXPECT_TRUE(first["verified"].get<bool>());
  EXPECT_EQ(first["held"], "000102030405060708090A0B0C0D0E0F");
  EXPECT_EQ(first["key"], "FFFFFFFFFFFF");

  const CardImage card = SimCard();
  for (int block : {1, 5, 62}) EXPECT_EQ(card.Block(block), image.Block(block)) << block;
  EXPECT_EQ(card.Block(11), trailer);
  EXPECT_EQ(reply.json["keysAdded"], JsonValue({"A0A1A2A3A4A5"}));  // sector 2's new key A
  EXPECT_EQ(reply.json["sameCard"], true);
  // The transport conditions let key A read key B: said for each trailer written.
  ASSERT_EQ(reply.json["warnings"].size(), 1u);
  EXPECT_NE(reply.json["warnings"][0].get<std::string>().find("in sectors 0, 1, 2,"),
            std::string::npos)
      << reply.json["warnings"];
}

// A block the card refuses is reported with its reason; the others are
// written. No card: nothing written, 503.
TEST_F(FileRoutesTest, RestoreReportsWhatTheCardRefused) {
  CardImage image = SimCard();
  image.SetBlock(2, Bytes(kBlockSize, 0x22));
  JsonValue body = Body(image);
  body["block0"] = true;
  zubsim_take_out_card();
  EXPECT_EQ(Call("POST", "/api/restore", body).status, 503);
  ASSERT_EQ(zubsim_put_back_card(), 0);

  Reply reply = Call("POST", "/api/restore", body);
  ASSERT_EQ(reply.status, 200) << reply.json.dump();
  const JsonValue& block0 = reply.json["results"][0];
  EXPECT_EQ(block0["block"], 0);
  EXPECT_FALSE(block0["ok"].get<bool>());
  EXPECT_FALSE(block0["verified"].get<bool>());
  EXPECT_NE(block0["error"].get<std::string>().find("genuine cards never let block 0 be written"),
            std::string::npos)
      << block0;
  EXPECT_TRUE(block0["code"].is_number());
  EXPECT_EQ(reply.json["failed"], 1);
  EXPECT_EQ(reply.json["written"], 47);  // the data blocks
  EXPECT_EQ(SimCard().Block(2), image.Block(2));
}

TEST_F(FileRoutesTest, AnImageOfAnotherCardSizeIsNotRestored) {
  CardImage image(*LayoutByName("4K"));
  image.SetBlock(1, Bytes(kBlockSize, 0x44));
  Reply reply = Call("POST", "/api/restore", Body(image));
  EXPECT_EQ(reply.status, 422);
  EXPECT_EQ(
      reply.json["error"],
      "the image is for a MIFARE Classic 4K, the card is a MIFARE Classic 1K; nothing was written");
  EXPECT_NE(SimCard().Block(1), image.Block(1));
}

TEST_F(FileRoutesTest, RefusedBlocksWriteNothing) {
  const int blocks = SimCard().Layout().Blocks();
  const Bytes before = [] {
    Bytes memory(zubsim_card_image(nullptr, 0));
    zubsim_card_image(memory.data(), memory.size());
    return memory;
  }();
  CardImage image = SimCard();
  image.SetBlock(1, Bytes(kBlockSize, 0x77));
  image.SetBytes(15, 0, Bytes(kKeySize, 0));  // a key A not known: zeros
  JsonValue body = Body(image);
  body["trailers"] = true;
  Reply plan = Call("POST", "/api/restore/plan", body);
  ASSERT_EQ(plan.json["refused"].size(), 1u);
  Reply reply = Call("POST", "/api/restore", body);
  EXPECT_EQ(reply.status, 422);
  EXPECT_NE(reply.json["error"].get<std::string>().find("key A is 000000000000"),
            std::string::npos);
  // With the key given, the same image is written.
  body["keyA"] = "FFFFFFFFFFFF";
  EXPECT_TRUE(Call("POST", "/api/restore/plan", body).json["refused"].empty());

  // An image that is no card's.
  CardImage noise = SimCard();
  noise.SetBytes(0, 4, {0x00});  // the UID's check byte broken
  JsonValue noiseBody = Body(noise);
  noiseBody["block0"] = true;
  EXPECT_FALSE(Call("POST", "/api/restore/plan", noiseBody).json["warnings"].empty());
  EXPECT_EQ(Call("POST", "/api/restore", noiseBody).status, 422);

  Bytes after(before.size());
  zubsim_card_image(after.data(), after.size());
  EXPECT_EQ(after, before);
  EXPECT_EQ(Exchanges(), 0) << "a refused restore went to the reader";
  EXPECT_EQ(blocks, 64);
}

TEST_F(FileRoutesTest, IrreversibleTrailersNeedTheirConfirmation) {
  CardImage image = SimCard();
  Bytes trailer = image.Block(7);
  const Bytes bits = EncodeAccessBits(AccessConditions{{0, 0, 0, 7}});
  std::copy(bits.begin(), bits.end(), trailer.begin() + 6);
  image.SetBlock(7, trailer);
  JsonValue body = Body(image);
  body["trailers"] = true;
  Reply plan = Call("POST", "/api/restore/plan", body);
  ASSERT_EQ(plan.status, 200);
  const JsonValue confirm = plan.json["confirm"];
  ASSERT_FALSE(confirm.empty());
  for (const auto& phrase : confirm)
    EXPECT_EQ(phrase.get<std::string>().rfind("sector 1: ", 0), 0u) << phrase;

  const JsonValue wrong[] = {JsonValue(), JsonValue::array(), JsonValue({"yes"})};
  for (const auto& w : wrong) {
    if (!w.is_null()) body["confirm"] = w;
    Reply refused = Call("POST", "/api/restore", body);
    EXPECT_EQ(refused.status, 428) << w.dump();
    EXPECT_EQ(refused.json["confirm"], confirm);
  }
  EXPECT_EQ(Exchanges(), 0) << "an unconfirmed restore went to the reader";
  EXPECT_NE(SimCard().Block(7), trailer);

  body["confirm"] = confirm;
  Reply done = Call("POST", "/api/restore", body);
  ASSERT_EQ(done.status, 200) << done.json.dump();
  EXPECT_EQ(done.json["failed"], 0);
  EXPECT_EQ(SimCard().Block(7), trailer);
}

// The plan and the restore decide alike: what the plan lists is exactly what
// is written, and a plan that cannot be written is a 422 that writes nothing.
// The safe part skips, with the reason, what would harm the card.
TEST_F(FileRoutesTest, ThePlanIsExactlyWhatTheRestoreWrites) {
  const auto brokenBits = [](CardImage& i) { i.SetBytes(7, 6, {0, 0, 0}); };
  const auto unknownKeyB = [](CardImage& i) { i.Forget(11, 10, kKeySize); };
  const auto badCheckByte = [](CardImage& i) { i.SetBytes(0, 4, {0}); };
  const struct {
    const char* name;
    std::function<void(CardImage&)> change;
    bool trailers, block0, safePart, writable;
    std::vector<int> refused;  // skipped by the safe part
  } cases[] = {{"sound", [](CardImage&) {}, true, false, false, true, {}},
               {"broken access bits", brokenBits, false, false, false, false, {}},
               {"broken access bits, safe part", brokenBits, true, false, true, true, {7}},
               {"unknown key B", unknownKeyB, true, false, false, false, {}},
               {"unknown key B, safe part", unknownKeyB, true, false, true, true, {11}},
               {"wrong check byte, safe part", badCheckByte, true, true, true, true, {0}}};
  const auto memory = [] {
    Bytes m(zubsim_card_image(nullptr, 0));
    zubsim_card_image(m.data(), m.size());
    return m;
  };
  uint8_t fill = 0x30;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    CardImage image = SimCard();
    image.SetBlock(1, Bytes(kBlockSize, ++fill));
    c.change(image);
    JsonValue body = Body(image);
    body["trailers"] = c.trailers;
    body["block0"] = c.block0;
    body["safePart"] = c.safePart;
    const JsonValue plan = Call("POST", "/api/restore/plan", body).json;
    EXPECT_EQ(plan["writable"], c.writable) << plan["refusal"];
    std::vector<int> refused;
    for (const auto& s : plan["skipped"])
      if (s["refused"].get<bool>()) refused.push_back(s["block"]);
    EXPECT_EQ(refused, c.refused);
    const Bytes before = memory();
    Bytes expected = before;
    for (const auto& w : plan["writes"]) {
      const Bytes data = Hex(w["data"]);
      std::copy(data.begin(), data.end(), expected.begin() + w["block"].get<int>() * kBlockSize);
    }
    Reply done = Call("POST", "/api/restore", body);
    if (!c.writable) {
      EXPECT_EQ(done.status, 422);
      EXPECT_EQ(done.json["error"], plan["refusal"]);
      EXPECT_EQ(memory(), before) << "a refused restore wrote";
      continue;
    }
    ASSERT_EQ(done.status, 200) << done.json.dump();
    ASSERT_EQ(done.json["results"].size(), plan["writes"].size());
    for (size_t i = 0; i < plan["writes"].size(); ++i)
      EXPECT_EQ(done.json["results"][i]["block"], plan["writes"][i]["block"]);
    EXPECT_EQ(memory(), expected);
  }
}

TEST_F(FileRoutesTest, ThePlanNamesAnotherCardsImage) {
  JsonValue body = Body(SimCard());
  const struct {
    const char* cardUid;
    bool block0, other;
  } cases[] = {{"1A7B8C54", false, false}, {"01020304", false, true}, {"01020304", true, true}};
  for (const auto& c : cases) {
    body["cardUid"] = c.cardUid;
    body["block0"] = c.block0;
    const JsonValue other = Call("POST", "/api/restore/plan", body).json["otherCard"];
    EXPECT_EQ(other.is_string(), c.other) << c.cardUid;
    if (c.block0) {
      EXPECT_NE(other.get<std::string>().find("give it the image's UID"), std::string::npos);
    }
  }
  body["cardUid"] = "0102";
  EXPECT_EQ(Call("POST", "/api/restore/plan", body).status, 400);
  // A restore meant for another card than the one on the reader writes nothing.
  body["cardUid"] = "01020304";
  body["block0"] = false;
  const auto before = zubsim::Sim::card_image();
  const Reply refused = Call("POST", "/api/restore", body);
  EXPECT_EQ(refused.status, 409) << refused.json.dump();
  EXPECT_EQ(refused.json["cardUid"], "1A7B8C54");
  EXPECT_EQ(zubsim::Sim::card_image(), before);
}

// The key editor's check: lines as POST /api/keys reads them, nothing set.
TEST_F(FileRoutesTest, KeysAreCheckedLineByLineAndDownloadedAsInUse) {
  const struct {
    const char* text;
    int count;
    JsonValue skippedLines, duplicates;
    const char* tidy;
  } cases[] = {{"A0A1A2A3A4A5\nffffffffffff # default\n", 2, JsonValue::array(), JsonValue::array(),
                "A0A1A2A3A4A5\nffffffffffff # default\n"},
               {"# list\nA0A1A2A3A4A5\nA0A1A2\na0a1a2a3a4a5\n\nA0 A1 A2 A3 A4 A5",
                1,
                {3},
                {4, 6},
                "# list\nA0A1A2A3A4A5\nA0A1A2\n\n"},
               {"", 0, JsonValue::array(), JsonValue::array(), ""}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    JsonValue body = JsonValue::object();
    body["text"] = c.text;
    Reply reply = Call("POST", "/api/keys/check", body);
    ASSERT_EQ(reply.status, 200) << reply.json.dump();
    EXPECT_EQ(reply.json["count"], c.count);
    JsonValue lines = JsonValue::array();
    for (const auto& s : reply.json["skipped"]) lines.push_back(s["line"]);
    EXPECT_EQ(lines, c.skippedLines);
    EXPECT_EQ(reply.json["duplicates"], c.duplicates);
    EXPECT_EQ(reply.json["tidy"], c.tidy);
  }
  EXPECT_EQ(desk_->Keys().size(), 1u) << "a check set the keys";
  desk_->SetKeys({Hex("A0A1A2A3A4A5"), Hex("FFFFFFFFFFFF")});
  Reply file = Call("POST", "/api/keys/download", JsonValue::object());
  ASSERT_TRUE(file.file);
  EXPECT_EQ(file.fileName, "keys-to-try.keys");
  EXPECT_EQ(ReadKeyList(file.bytes).keys.ToBytes(), desk_->Keys());
}

}  // namespace
}  // namespace ui
}  // namespace zubtool
