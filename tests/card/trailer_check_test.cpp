// The checks before a trailer or block 0 is written: what each refuses, what
// it lets through, and what it says can never be undone.
#include <gtest/gtest.h>

#include "trailer_check.h"

namespace mzcard {
namespace {

Bytes Trailer(const std::string& keyA, const std::string& bits, const std::string& keyB) {
  return *ParseHex(keyA + bits + "69" + keyB);
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
    std::string refusal = CheckBlockWrite(c.block, &data, c.permissions);
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
  EXPECT_EQ(CheckBlockWrite(11, &zeros, p), "");
  EXPECT_EQ(zeros, Trailer("A0A1A2A3A4A5", "FF0780", "FFFFFFFFFFFF"));
  Bytes other = Trailer("B0B1B2B3B4B5", "FF0780", "FFFFFFFFFFFF");
  EXPECT_NE(CheckBlockWrite(11, &other, p).find("not the key A0A1A2A3A4A5"), std::string::npos);
  p.keyA = Bytes(6, 0);  // zeros, given on purpose
  Bytes meant = Trailer("000000000000", "FF0780", "FFFFFFFFFFFF");
  EXPECT_EQ(CheckBlockWrite(11, &meant, p), "");
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
