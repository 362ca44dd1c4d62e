// zubtool's command line: what each accepted line means, and what is refused.
#include <gtest/gtest.h>

#include "args.h"
#include "command_table.h"

namespace zubtool {
namespace {

ParseResult Parse(std::vector<std::string> args) {
  return ParseCommandLine(args);
}

std::string CommandOf(const Invocation& inv) {
  return inv.command ? inv.command->name : "";
}

TEST(CommandLine, GlobalOptionsGoAnywhere) {
  auto r = Parse({"--device", "3", "read", "--key=A0A1A2A3A4A5", "0x10", "--key-type", "b", "-v",
                  "--key", "ff ff ff ff ff ff", "--no-default-key", "--keys-file", "k.txt"});
  ASSERT_EQ(r.error, "");
  const Invocation& inv = r.invocation;
  EXPECT_EQ(CommandOf(inv), "read");
  EXPECT_EQ(inv.block, 16);
  EXPECT_EQ(inv.device, 3);
  EXPECT_EQ(inv.keys, (std::vector<Bytes>{*ParseHex("A0A1A2A3A4A5"), Bytes(6, 0xFF)}));
  EXPECT_EQ(inv.keyType, kKeyB);
  EXPECT_TRUE(inv.verbose);
  EXPECT_FALSE(inv.defaultKey);
  EXPECT_EQ(inv.keysFile, "k.txt");
}

TEST(CommandLine, CommandArguments) {
  auto write = Parse({"write", "--force", "7", "A0A1A2A3A4A5 FF078069 B0B1B2B3B4B5"}).invocation;
  EXPECT_EQ(CommandOf(write), "write");
  EXPECT_EQ(write.block, 7);
  EXPECT_EQ(write.data, *ParseHex("A0A1A2A3A4A5FF078069B0B1B2B3B4B5"));

  struct ValueCase {
    std::vector<std::string> args;
    ValueOp op;
    int32_t amount;
  };
  const ValueCase values[] = {
      {{"value", "get", "5"}, ValueOp::kGet, 0},
      {{"value", "set", "5", "-2147483648"}, ValueOp::kSet, INT32_MIN},
      {{"value", "inc", "5"}, ValueOp::kInc, 1},
      {{"value", "dec", "5", "0x20"}, ValueOp::kDec, 32},
  };
  for (const auto& v : values) {
    auto r = Parse(v.args);
    ASSERT_EQ(r.error, "") << v.args[1];
    EXPECT_EQ(r.invocation.valueOp, v.op);
    EXPECT_EQ(r.invocation.amount, v.amount);
    EXPECT_EQ(r.invocation.block, 5);
  }

  auto dump = Parse({"dump", "--out", "card.mfd", "--card", "4K"}).invocation;
  EXPECT_EQ(dump.out, "card.mfd");
  EXPECT_EQ(dump.layout->sectors, 40);
  EXPECT_EQ(Parse({"beep"}).invocation.milliseconds, 200);
  EXPECT_EQ(Parse({"beep", "0"}).invocation.milliseconds, 0);
  auto led = Parse({"led", "255", "on"}).invocation;
  EXPECT_EQ(led.led, 255);
  EXPECT_TRUE(led.on);
  EXPECT_FALSE(Parse({"led", "1", "off"}).invocation.on);
}

TEST(CommandLine, HelpWinsOverEverythingElse) {
  auto r = Parse({"write", "999", "--help"});
  EXPECT_EQ(r.error, "");
  EXPECT_TRUE(r.invocation.help);
  EXPECT_EQ(CommandOf(r.invocation), "write");
  EXPECT_NE(Usage(FindCommand("write")).find("Usage: zubtool write"), std::string::npos);
  EXPECT_TRUE(Parse({"-h"}).invocation.help);
}

TEST(CommandLine, RefusedLines) {
  const std::vector<std::vector<std::string>> refused = {
      {},
      {"scan", "extra"},
      {"read", "-1"},
      {"read", "4", "5"},
      {"write", "4"},
      {"write", "4", "00"},
      {"write", "0", "00112233445566778899AABBCCDDEEFF"},
      {"write", "63", "FFFFFFFFFFFFFF078069FFFFFFFFFFFF"},
      {"write", "--force", "63", "FFFFFFFFFFFF07FF8069FFFFFFFFFFFF"},
      {"write", "--force", "143", "FFFFFFFFFFFF000000FFFFFFFFFFFFFF"},
      {"value"},
      {"value", "get"},
      {"value", "get", "3"},
      {"value", "get", "0"},
      {"value", "set", "5", "1", "2"},
      {"value", "inc", "5", "2147483648"},
      {"beep", "-5"},
      {"led", "1"},
      {"led", "x", "on"},
      {"--key-type", "AB", "scan"},
      {"--key", "FFFFFFFFFFFFFF", "scan"},
      {"--verbose=1", "scan"},
      {"--out", "x", "scan"},
      {"--force", "read", "4"},
      {"--card", "8K", "dump"},
      {"scan", "--device"},
  };
  for (const auto& args : refused) {
    std::string line;
    for (const auto& a : args) line += a + " ";
    EXPECT_NE(Parse(args).error, "") << line;
  }
}

}  // namespace
}  // namespace zubtool
