// scan, read, write and value: one card, one block.
#include <cerrno>
#include <chrono>
#include <thread>
#include <cstdio>
#include <cstring>
#include <cstdint>
#include <limits>
#include <vector>

#include "commands.h"
#include "json.h"
#include "library_reader.h"
#include "session.h"
#include "status.h"
#include "value_op.h"
#include "verify.h"

namespace zubtool {

std::string ParseNone(const Arguments& args, Invocation*) {
  return args.Count(0, 0, {});
}

std::string ParseScan(const Arguments& args, Invocation* inv) {
  inv->json = args.Has("--json");
  if (!args.Has("--wait")) return args.Count(0, 0, {});
  std::string error = args.Count(0, 1, {});
  if (!error.empty()) return error;
  inv->wait = 0;
  if (args.positionals.size() == 1) {
    auto n = ParseNumber(args.positionals[0], 1, 86400);
    if (!n) return "not a number of seconds (1 to 86400): '" + args.positionals[0] + "'";
    inv->wait = static_cast<double>(*n);
  }
  return "";
}

int RunScan(Context& context) {
  Output& output = context.Out();
  const Invocation& inv = context.inv;
  if (int status = context.Open()) return status;
  CardSession& session = context.Session();
  if (inv.wait) {
    // Polls the field: a request every 100 ms until a card answers.
    using Clock = std::chrono::steady_clock;
    const auto end =
        Clock::now() + std::chrono::milliseconds(static_cast<int64_t>(*inv.wait * 1000));
    if (!inv.json) {
      std::fprintf(stderr, "waiting for a card%s...\n",
                   *inv.wait > 0
                       ? (" (" + std::to_string(static_cast<int>(*inv.wait)) + " s)").c_str()
                       : "");
    }
    for (;;) {
      int32_t r = session.Find();
      if (r == 0) break;
      if (r < 0) {
        output.Fail("the reader stopped answering: " + Describe(r));
        return kExitFailed;
      }
      if (*inv.wait > 0 && Clock::now() >= end) {
        output.Fail("no card entered the field within " +
                    std::to_string(static_cast<int>(*inv.wait)) + " s");
        return kExitFailed;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
  } else if (int status = FindCard(output, session)) {
    return status;
  }
  const CardInfo& card = session.Info();
  if (inv.json) {
    Json out = Json::Object();
    out.Add("card", card.layout.name)
        .Add("uid", HexText(card.serial.uid))
        .Add("bcc", HexText({card.serial.bcc}))
        .Add("bccOk", card.serial.bccOk)
        .Add("atqa", HexText({static_cast<uint8_t>(card.atqa >> 8),
                              static_cast<uint8_t>(card.atqa & 0xFF)}))
        .Add("sak", HexText({card.sak}))
        .Add("sectors", card.layout.sectors);
    const std::string simulated = LibraryReader::VirtualReader();
    out.Add("virtualReader", !simulated.empty());
    output.PrintJson(out);
    return kExitOk;
  }
  std::printf("card  %s\n", card.layout.name.c_str());
  std::printf("UID   %s\n", HexText(card.serial.uid).c_str());
  std::printf("BCC   %02X (%s)\n", card.serial.bcc,
              card.serial.bccOk ? "ok" : "does not match the UID");
  std::printf("ATQA  %02X %02X\n", card.atqa >> 8, card.atqa & 0xFF);
  std::printf("SAK   %02X\n", card.sak);
  const std::string simulated = LibraryReader::VirtualReader();
  if (!simulated.empty())
    std::printf("note  the virtual reader is answering, not a real card (%s)\n", simulated.c_str());
  return kExitOk;
}

std::string ParseRead(const Arguments& args, Invocation* inv) {
  inv->json = args.Has("--json");
  std::string error = args.Count(1, 1, {"BLOCK"});
  if (!error.empty()) return error;
  return ParseBlock(args.positionals[0], &inv->block);
}

int RunRead(Context& context) {
  Output& output = context.Out();
  const Invocation& inv = context.inv;
  if (int status = context.Open()) return status;
  CardSession& session = context.Session();
  if (int status = FindCard(output, session)) return status;
  if (int status = CheckBlockOnCard(output, session, inv.block)) return status;
  Bytes data;
  Access access = WithAccess(session, inv.keyType, inv.block,
                             [&] { return session.Reader().Read(inv.block, &data); });
  if (access.result != 0) {
    output.Fail(
        AccessFailure(access, "read block " + std::to_string(inv.block), inv.block, session),
        access.result, inv.block);
    return kExitFailed;
  }
  if (inv.json) {
    Json out = Json::Object();
    out.Add("block", inv.block)
        .Add("sector", SectorOfBlock(inv.block))
        .Add("data", HexText(data))
        .Add("keyType", KeyName(access.keyType))
        .Add("key", HexText(session.Key(access.keyIndex)));
    output.PrintJson(out);
    return kExitOk;
  }
  std::printf("block %d, sector %d, %s\n", inv.block, SectorOfBlock(inv.block),
              KeyNote(access, session).c_str());
  std::printf("%s\n", BlockLine(inv.block, data).c_str());
  return kExitOk;
}

std::string ParseWrite(const Arguments& args, Invocation* inv) {
  std::string error = ParsePermissions(args, &inv->permissions);
  if (!error.empty()) return error;
  inv->verify = !args.Has("--no-verify");
  inv->json = args.Has("--json");
  if (!(error = args.Count(2, 2, {"BLOCK", "HEX32"})).empty()) return error;
  const auto& pos = args.positionals;
  if (!(error = ParseBlock(pos[0], &inv->block)).empty()) return error;
  auto data = ParseHex(pos[1]);
  if (!data || data->size() != static_cast<size_t>(kBlockSize)) {
    return "block data must be 16 bytes as 32 hex digits: '" + pos[1] + "'";
  }
  inv->data = *data;
  return CheckWriteOptions(inv->block, &inv->data, inv->permissions);
}

int RunWrite(Context& context) {
  Output& output = context.Out();
  const Invocation& inv = context.inv;
  if (int status = context.Open()) return status;
  CardSession& session = context.Session();
  if (int status = FindCard(output, session)) return status;
  if (int status = CheckBlockOnCard(output, session, inv.block)) return status;
  const BlockWriteResult written =
      WriteBlock(session, inv.keyType, inv.block, inv.data, inv.verify);
  if (!written.error.empty()) {
    output.Fail(written.error, written.code, inv.block);
    return kExitFailed;
  }
  const WriteOutcome& outcome = written.outcome;
  const Access& access = outcome.access;
  const std::vector<std::string>& warnings = written.warnings;
  for (const auto& w : warnings) std::fprintf(stderr, "zubtool: warning: %s\n", w.c_str());
  if (inv.json) {
    Json out = WrittenJson(inv.block, inv.data, outcome, inv.verify, session);
    out.Add("warnings", StringsJson(warnings));
    output.PrintJson(out);
    return kExitOk;
  }
  // "opened with": the key that opened the sector, not a key the trailer gives it.
  std::printf("block %d written, opened with %s\n", inv.block, KeyNote(access, session).c_str());
  std::printf("%s\n", BlockLine(inv.block, inv.data).c_str());
  if (!inv.verify) {
    std::printf("not verified (--no-verify)\n");
  } else if (!outcome.checked) {
    // The conditions do not let this key read the block: no claim that it was checked.
    std::printf("not verified: %s\n", VerificationText(outcome, inv.verify).c_str());
  } else {
    std::string notes;
    for (const auto& n : outcome.notes) notes += "; " + n;
    std::printf("verified: read back the same%s\n", notes.c_str());
  }
  return kExitOk;
}

std::string ParseValue(const Arguments& args, Invocation* inv) {
  const auto& pos = args.positionals;
  inv->json = args.Has("--json");
  inv->verify = !args.Has("--no-verify");
  if (pos.empty()) return "missing operation: get, set, inc or dec";
  const std::string& op = pos[0];
  std::string error;
  if (op == "get") {
    inv->valueOp = ValueOp::kGet;
    if (!(error = args.Count(2, 2, {"", "BLOCK"})).empty()) return error;
  } else if (op == "set") {
    inv->valueOp = ValueOp::kSet;
    if (!(error = args.Count(3, 3, {"", "BLOCK", "N"})).empty()) return error;
    auto n = ParseNumber(pos[2], std::numeric_limits<int32_t>::min(),
                         std::numeric_limits<int32_t>::max());
    if (!n) return "not a 32-bit value: '" + pos[2] + "'";
    inv->amount = static_cast<int32_t>(*n);
  } else if (op == "inc" || op == "dec") {
    inv->valueOp = op == "inc" ? ValueOp::kInc : ValueOp::kDec;
    if (!(error = args.Count(2, 3, {"", "BLOCK"})).empty()) return error;
    inv->amount = 1;
    if (pos.size() == 3) {
      auto n = ParseNumber(pos[2], 0, std::numeric_limits<int32_t>::max());
      if (!n) return "not an amount (0 to 2147483647): '" + pos[2] + "'";
      inv->amount = static_cast<int32_t>(*n);
    }
  } else {
    return "unknown value operation '" + op + "' (get, set, inc or dec)";
  }
  if (!(error = ParseBlock(pos[1], &inv->block)).empty()) return error;
  if (inv->block == 0 || IsTrailer(inv->block)) {
    return "block " + pos[1] + " cannot be a value block (" +
           (inv->block == 0 ? "manufacturer data" : "a sector trailer") + ")";
  }
  return "";
}

int RunValue(Context& context) {
  Output& output = context.Out();
  const Invocation& inv = context.inv;
  if (int status = context.Open()) return status;
  CardSession& session = context.Session();
  if (int status = FindCard(output, session)) return status;
  if (int status = CheckBlockOnCard(output, session, inv.block)) return status;
  const std::string block = std::to_string(inv.block);
  const ValueResult applied = ApplyValue(session, inv.keyType, inv.block, inv.valueOp, inv.amount,
                                         static_cast<uint8_t>(inv.block), inv.verify);
  const ValueChange& change = applied.change;
  const Access& access = change.access;
  const Bytes& data = change.data;
  const std::optional<Bytes>& expected = change.expected;
  const std::optional<int32_t>& previous = change.previous;
  const WriteOutcome& outcome = applied.outcome;
  switch (applied.problem) {
    case ValueResult::kNone:
      break;
    case ValueResult::kRefused:
      output.Fail(AccessFailure(access, change.what, inv.block, session), access.result, inv.block);
      return kExitFailed;
    case ValueResult::kNotValue:
      output.Fail("block " + block + " is not a value block; nothing was changed:\n" +
                      BlockLine(inv.block, data),
                  std::nullopt, inv.block);
      return kExitFailed;
    case ValueResult::kDiffers:
      output.Fail(outcome.failure, std::nullopt, inv.block);
      return kExitFailed;
    case ValueResult::kNotValueAfter:
      output.Fail("block " + block + " is not a value block:\n" + BlockLine(inv.block, data),
                  std::nullopt, inv.block);
      return kExitFailed;
    case ValueResult::kOtherValue:
      output.Fail("block " + block + " reads back a different value", std::nullopt, inv.block);
      return kExitFailed;
  }
  const char* opName = inv.valueOp == ValueOp::kGet   ? "get"
                       : inv.valueOp == ValueOp::kSet ? "set"
                       : inv.valueOp == ValueOp::kInc ? "inc"
                                                      : "dec";
  auto result = [&](const std::optional<ValueBlock>& value) {
    Json out = Json::Object();
    out.Add("block", inv.block).Add("sector", SectorOfBlock(inv.block)).Add("operation", opName);
    if (inv.valueOp != ValueOp::kGet) out.Add("amount", static_cast<int64_t>(inv.amount));
    if (previous) out.Add("previous", static_cast<int64_t>(*previous));
    out.Add("value", value ? Json(static_cast<int64_t>(value->value)) : Json())
        .Add("address", value ? Json(static_cast<int>(value->address)) : Json());
    OpenedWithJson(out, access, session);
    if (inv.valueOp != ValueOp::kGet) {
      // A result the counter cannot hold (it overflowed) has no expected block to compare.
      const bool verified = expected && inv.verify && outcome.checked;
      out.Add("verified", verified)
          .Add("verification", !expected && inv.verify ? std::string("not verifiable: the result "
                                                                     "is outside 32 bits")
                                                       : VerificationText(outcome, inv.verify))
          .Add("notes", StringsJson(outcome.notes));
    }
    return out;
  };
  if (const int32_t r = applied.readResult) {
    if (inv.json) {
      Json out = result(std::nullopt);
      out.Add("readBack", "the block cannot be read back: " + Describe(r));
      output.PrintJson(out);
      return kExitOk;
    }
    std::printf("block %s: done (the block cannot be read back: %s)\n", block.c_str(),
                Describe(r).c_str());
    return kExitOk;
  }
  const ValueBlock& value = *applied.value;
  if (inv.json) {
    output.PrintJson(result(value));
    return kExitOk;
  }
  std::printf("block %s: value %d (address byte %u), %s\n", block.c_str(),
              static_cast<int>(value.value), value.address, KeyNote(access, session).c_str());
  return kExitOk;
}

}  // namespace zubtool
