// The checks before a trailer or block 0 is written: what each refuses, what
// it lets through, and what it says can never be undone.
#include <gtest/gtest.h>

#include "trailer_check.h"

namespace mzcard {
namespace {

Bytes Trailer(const std::string& keyA, const std::string& bits, const std::string& keyB) {
  return *ParseHex(keyA + bits + "69" + keyB);
}

// The names zubtool's command line gives the permissions.
const PermissionNames kOptions = {"--force", "--irreversible", "--block0", "--key-a", "--key-b"};

// The refusal in the command line's words; "" when the write may go.
std::string Refusal(int block, Bytes* data, const WritePermissions& permissions) {
  auto refusal = CheckBlockWrite(block, data, permissions);
  return refusal ? RefusalText(*refusal, kOptions) : "";
}

WritePermissions Force() {
  WritePermissions p;
  p.force = true;
  return p;
}

TEST(TrailerCheck, EachRuleRefusesWithItsReason) {
  WritePermissions irreversible = Force();
  irreversible.irreversible = true;
  struct Case {
    const char* name;
    int block;
    Bytes data;
    WritePermissions permissions;
    const char* refusal;  // a part of the refusal; "" when the write may go
  };
  const Bytes transport = Trailer("FFFFFFFFFFFF", "FF0780", "FFFFFFFFFFFF");
  const Case cases[] = {
      {"data block", 4, Bytes(16, 0x11), {}, ""},
      {"block 0", 0, Bytes(16, 0), Force(), "only with --block0"},
      {"trailer without --force", 7, transport, {}, "only with --force"},
      {"trailer with --force", 7, transport, Force(), ""},
      {"bits without inverses", 7, Trailer("FFFFFFFFFFFF", "FF0781", "FFFFFFFFFFFF"), irreversible,
       "not stored with their inverses"},
      {"only the inverted C3 wrong", 7, Trailer("FFFFFFFFFFFF", "FF0680", "FFFFFFFFFFFF"),
       irreversible, "not stored with their inverses"},
      {"access bits frozen", 7, Trailer("FFFFFFFFFFFF", "FF0F00", "FFFFFFFFFFFF"), Force(),
       "its access conditions can never be changed again"},
      {"access bits frozen, allowed", 7, Trailer("FFFFFFFFFFFF", "FF0F00", "FFFFFFFFFFFF"),
       irreversible, ""},
      {"zero key A", 7, Trailer("000000000000", "FF0780", "FFFFFFFFFFFF"), irreversible,
       "key A is 000000000000"},
      {"zero key B", 7, Trailer("FFFFFFFFFFFF", "7F0788", "000000000000"), irreversible,
       "key B is 000000000000"},
  };
  for (const auto& c : cases) {
    Bytes data = c.data;
    std::string refusal = Refusal(c.block, &data, c.permissions);
    if (std::string(c.refusal).empty()) {
      EXPECT_EQ(refusal, "") << c.name;
    } else {
      EXPECT_NE(refusal.find(c.refusal), std::string::npos) << c.name << ": " << refusal;
    }
  }
}

TEST(TrailerCheck, KeyAGivenFillsZerosAndMustAgreeOtherwise) {
  WritePermissions p = Force();
  p.keyA = *ParseHex("A0A1A2A3A4A5");
  Bytes zeros = Trailer("000000000000", "FF0780", "FFFFFFFFFFFF");
  EXPECT_EQ(Refusal(11, &zeros, p), "");
  EXPECT_EQ(zeros, Trailer("A0A1A2A3A4A5", "FF0780", "FFFFFFFFFFFF"));
  Bytes other = Trailer("B0B1B2B3B4B5", "FF0780", "FFFFFFFFFFFF");
  EXPECT_NE(Refusal(11, &other, p).find("not the key A0A1A2A3A4A5"), std::string::npos);
  p.keyA = Bytes(6, 0);  // zeros, given on purpose
  Bytes meant = Trailer("000000000000", "FF0780", "FFFFFFFFFFFF");
  EXPECT_EQ(Refusal(11, &meant, p), "");
}

// The refusal names its facts: the rule, the block, its sector, the key.
TEST(TrailerCheck, RefusalsCarryTheirFacts) {
  WritePermissions given = Force();
  given.keyB = *ParseHex("B0B1B2B3B4B5");
  struct Case {
    const char* name;
    int block;
    Bytes data;
    WritePermissions permissions;
    WriteRefusal::Rule rule;
    int sector;
    int keyType;  // -1: not looked at
  };
  const Case cases[] = {
      {"block 0", 0, Bytes(16, 0), Force(), WriteRefusal::kBlock0, 0, -1},
      {"trailer",
       11,
       Trailer("FFFFFFFFFFFF", "FF0780", "FFFFFFFFFFFF"),
       {},
       WriteRefusal::kTrailer,
       2,
       -1},
      {"broken bits", 255, Trailer("FFFFFFFFFFFF", "FF0781", "FFFFFFFFFFFF"), Force(),
       WriteRefusal::kBrokenAccessBits, 39, -1},
      {"zero key A", 7, Trailer("000000000000", "FF0780", "FFFFFFFFFFFF"), Force(),
       WriteRefusal::kZeroKey, 1, kKeyA},
      {"zero key B", 7, Trailer("FFFFFFFFFFFF", "7F0788", "000000000000"), Force(),
       WriteRefusal::kZeroKey, 1, kKeyB},
      {"other key B", 15, Trailer("FFFFFFFFFFFF", "FF0780", "C0C1C2C3C4C5"), given,
       WriteRefusal::kOtherKey, 3, kKeyB},
      {"frozen", 143, Trailer("FFFFFFFFFFFF", "FF0F00", "FFFFFFFFFFFF"), Force(),
       WriteRefusal::kIrreversible, 32, -1},
  };
  for (const auto& c : cases) {
    Bytes data = c.data;
    auto refusal = CheckBlockWrite(c.block, &data, c.permissions);
    ASSERT_TRUE(refusal) << c.name;
    EXPECT_EQ(refusal->rule, c.rule) << c.name;
    EXPECT_EQ(refusal->block, c.block) << c.name;
    EXPECT_EQ(refusal->sector, c.sector) << c.name;
    if (c.keyType >= 0) {
      EXPECT_EQ(refusal->keyType, c.keyType) << c.name;
    }
  }
  Bytes other = Trailer("FFFFFFFFFFFF", "FF0780", "C0C1C2C3C4C5");
  auto refusal = CheckBlockWrite(15, &other, given);
  ASSERT_TRUE(refusal);
  EXPECT_EQ(refusal->key, *ParseHex("C0C1C2C3C4C5"));
  EXPECT_EQ(refusal->given, *ParseHex("B0B1B2B3B4B5"));
  Bytes frozen = Trailer("FFFFFFFFFFFF", "FF0F00", "FFFFFFFFFFFF");
  refusal = CheckBlockWrite(7, &frozen, Force());
  ASSERT_TRUE(refusal);
  EXPECT_EQ(refusal->accessBits, *ParseHex("FF0F00"));
  EXPECT_EQ(refusal->effects, IrreversibleEffects(1, *DecodeAccessBits(frozen)));
}

// Each program words a refusal in its own names; the rest of it is the same.
TEST(TrailerCheck, RefusalTextsNameThePermissionsAsGiven) {
  const PermissionNames fields = {"F", "I", "Z", "KA", "KB"};
  const struct {
    int block;
    Bytes data;
    WritePermissions permissions;
    const char* words;  // with `fields`
  } cases[] = {
      {0, Bytes(16, 0), {}, "write it only with Z"},
      {7, Trailer("FFFFFFFFFFFF", "FF0780", "FFFFFFFFFFFF"), {}, "write it only with F"},
      {7, Trailer("000000000000", "FF0780", "FFFFFFFFFFFF"), Force(),
       "give the key A to write with KA HEX (KA 000000000000 if zeros are meant)"},
      {7, Trailer("FFFFFFFFFFFF", "7F0788", "000000000000"), Force(),
       "give the key B to write with KB HEX (KB 000000000000 if zeros are meant)"},
      {7, Trailer("FFFFFFFFFFFF", "FF0F00", "FFFFFFFFFFFF"), Force(),
       "Write them only with I as well as F"},
  };
  for (const auto& c : cases) {
    Bytes data = c.data;
    auto refusal = CheckBlockWrite(c.block, &data, c.permissions);
    ASSERT_TRUE(refusal) << c.words;
    const std::string text = RefusalText(*refusal, fields);
    EXPECT_NE(text.find(c.words), std::string::npos) << text;
    EXPECT_EQ(text.find("--"), std::string::npos) << text;
  }
}

TEST(TrailerCheck, WhatCanNeverBeUndone) {
  auto effects = [](int sector, const char* bits) {
    std::string text;
    for (const auto& e : IrreversibleEffects(sector, *DecodeAccessBits(*ParseHex(bits)))) {
      text += e + "\n";
    }
    return text;
  };
  // Access bits still writable by some key: nothing is final.
  EXPECT_EQ(effects(1, "FF0780"), "");  // transport: key A rewrites them
  EXPECT_EQ(effects(1, "7F0788"), "");  // key B rewrites them
  EXPECT_EQ(effects(1, "F78780"), "");  // 101: key B rewrites the bits, then the keys
  EXPECT_EQ(effects(1, "00F0FF"),
            "its access conditions can never be changed again\n"
            "the trailer can never be written again: keys A and B stay as they are\n"
            "blocks 4, 5 and 6 can never be read or written again\n");
  // 000: keys still change, data open: only the bits are final.
  EXPECT_EQ(effects(1, "FF0F00"), "its access conditions can never be changed again\n");
  // Data write by key B only (100), trailer 000 where key B is readable and so
  // no key: the data blocks are read-only for good.
  EXPECT_EQ(effects(2, "F87F00"),
            "its access conditions can never be changed again\n"
            "blocks 8, 9 and 10 can never be written again\n");
  // Value blocks that only count down (001) under a frozen trailer (111).
  EXPECT_EQ(effects(32, "7780F8"),
            "its access conditions can never be changed again\n"
            "the trailer can never be written again: keys A and B stay as they are\n"
            "blocks 128-132, 133-137 and 138-142 can never be written again, only decremented\n");
  // Value blocks (110) stay writable by key B under a frozen trailer.
  EXPECT_EQ(effects(1, "00F78F"),
            "its access conditions can never be changed again\n"
            "the trailer can never be written again: keys A and B stay as they are\n");
  // Block 0 is never written anyway and is not listed.
  EXPECT_EQ(effects(0, "00F0FF"),
            "its access conditions can never be changed again\n"
            "the trailer can never be written again: keys A and B stay as they are\n"
            "blocks 1 and 2 can never be read or written again\n");
}

}  // namespace
}  // namespace mzcard
