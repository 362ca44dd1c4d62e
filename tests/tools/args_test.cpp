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

TEST(CommandLine, CardCommandsAndTheirOptions) {
  auto restore = Parse(
      {"restore", "--trailers", "--force", "--key-a", "a0a1a2a3a4a5", "--dry-run", "card.mfd"});
  ASSERT_EQ(restore.error, "");
  EXPECT_EQ(restore.invocation.file, "card.mfd");
  EXPECT_TRUE(restore.invocation.trailers);
  EXPECT_TRUE(restore.invocation.dryRun);
  EXPECT_TRUE(restore.invocation.permissions.force);
  EXPECT_EQ(restore.invocation.permissions.keyA, *ParseHex("A0A1A2A3A4A5"));

  auto keys = Parse({"keys", "--out", "found.keys", "--json"}).invocation;
  EXPECT_EQ(keys.out, "found.keys");
  EXPECT_TRUE(keys.json);

  auto acl = Parse({"acl", "encode", "read-only", "open", "110", "key-b"});
  ASSERT_EQ(acl.error, "");
  ASSERT_TRUE(acl.invocation.encode);
  const int expected[] = {0b010, 0b000, 0b110, 0b011};
  for (int g = 0; g < kGroups; ++g) EXPECT_EQ(acl.invocation.encode->group[g], expected[g]);
  auto shared = Parse({"acl", "encode", "value", "transport"}).invocation;
  for (int g = 0; g < 3; ++g) EXPECT_EQ(shared.encode->group[g], 0b110);
  EXPECT_EQ(Parse({"acl", "--bytes", "FFFFFFFFFFFF FF078069 FFFFFFFFFFFF"}).invocation.accessBytes,
            *ParseHex("FF0780"));
  EXPECT_EQ(Parse({"acl", "39"}).invocation.sector, 39);

  EXPECT_FALSE(Parse({"scan"}).invocation.wait);
  EXPECT_EQ(Parse({"scan", "--wait"}).invocation.wait, 0.0);
  EXPECT_EQ(Parse({"scan", "--wait", "30"}).invocation.wait, 30.0);
  EXPECT_EQ(Parse({"help", "codes"}).invocation.topic, "codes");
}

TEST(CommandLine, MissingArgumentsAreNamed) {
  EXPECT_EQ(Parse({"read"}).error, "missing argument BLOCK");
  EXPECT_EQ(Parse({"write", "4"}).error, "missing argument HEX32");
  EXPECT_EQ(Parse({"value", "set", "5"}).error, "missing argument N");
  EXPECT_EQ(Parse({"restore"}).error, "missing argument FILE");
  EXPECT_EQ(Parse({"acl"}).error, "missing argument SECTOR");
  EXPECT_EQ(Parse({"acl", "encode", "open"}).error, "missing argument TRAILER");
}

TEST(CommandLine, HelpWinsOverEverythingElse) {
  auto r = Parse({"write", "999", "--help"});
  EXPECT_EQ(r.error, "");
  EXPECT_TRUE(r.invocation.help);
  EXPECT_EQ(CommandOf(r.invocation), "write");
  EXPECT_NE(Usage(FindCommand("write")).find("Usage: zubtool write"), std::string::npos);
  EXPECT_TRUE(Parse({"-h"}).invocation.help);
}

std::string NoArguments(const Arguments& args, Invocation*) {
  return args.Count(0, 0, {});
}
int RunNothing(Context&) {
  return 0;
}

// The core knows no command of the layers above it; the program's table adds
// them before help, and the command line is parsed with the table installed.
TEST(CommandLine, CommandsOfTheLayersAboveGoBeforeHelp) {
  EXPECT_EQ(FindCommand("extra"), nullptr);
  EXPECT_EQ(FindCommand("ui"), nullptr);
  const std::vector<CommandSpec> core = Commands();
  const std::vector<CommandSpec> table = CommandTable({{"extra",
                                                        "extra",
                                                        "a command above the core",
                                                        "",
                                                        {},
                                                        NoArguments,
                                                        RunNothing,
                                                        TriesNoKey}});
  ASSERT_EQ(table.size(), core.size() + 1);
  EXPECT_STREQ(table.back().name, "help");
  EXPECT_STREQ(table[table.size() - 2].name, "extra");
  for (size_t i = 0; i + 1 < core.size(); ++i) EXPECT_STREQ(table[i].name, core[i].name);
  EXPECT_NE(Parse({"extra"}).error, "");
  InstallCommands(table);
  auto r = Parse({"extra"});
  EXPECT_EQ(r.error, "");
  EXPECT_EQ(CommandOf(r.invocation), "extra");
  EXPECT_NE(Usage(nullptr).find("extra"), std::string::npos);
  InstallCommands(core);
  EXPECT_EQ(FindCommand("extra"), nullptr);
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
      {"write", "--force", "--irreversible", "--key-a", "00", "7",
       "FFFFFFFFFFFFFF078069FFFFFFFFFFFF"},
      {"write", "--irreversible", "7", "FFFFFFFFFFFF FF0780 69 FFFFFFFFFFFF"},
      {"write", "--force", "7", "000000000000 FF0780 69 FFFFFFFFFFFF"},
      {"write", "--force", "7", "FFFFFFFFFFFF FF0F00 69 FFFFFFFFFFFF"},
      {"restore", "--trailers", "card.mfd"},
      {"restore", "a.mfd", "b.mfd"},
      {"keys", "extra"},
      {"acl", "40"},
      {"acl", "--bytes", "FF07"},
      {"acl", "encode", "value", "1000"},
      {"acl", "encode", "value", "read-only"},
      {"acl", "encode", "1", "2", "3"},
      {"scan", "--wait", "0"},
      {"scan", "5"},
      {"value", "frob", "5"},
      {"help", "frob"},
      {"--json", "beep"},
  };
  for (const auto& args : refused) {
    std::string line;
    for (const auto& a : args) line += a + " ";
    EXPECT_NE(Parse(args).error, "") << line;
  }
}

}  // namespace
}  // namespace zubtool
