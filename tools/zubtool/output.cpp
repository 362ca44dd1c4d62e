#include "output.h"

#include <cstdio>

#include "status.h"

namespace zubtool {

void Output::Fail(const std::string& what) {
  if (!quiet_) std::fprintf(stderr, "zubtool: %s\n", what.c_str());
  failures_.push_back({what, std::nullopt, std::nullopt});
}

void Output::Fail(const std::string& what, std::optional<int32_t> code, std::optional<int> block) {
  if (!quiet_) std::fprintf(stderr, "zubtool: %s\n", what.c_str());
  failures_.push_back({what, code, block});
}

void Output::PrintJson(const Json& json) {
  std::printf("%s\n", json.Text().c_str());
  jsonPrinted_ = true;
}

void Output::PrintJsonError(int exitStatus) {
  if (jsonPrinted_) return;
  Json out = Json::Object();
  out.Add("error", ErrorJson()).Add("exitStatus", exitStatus);
  PrintJson(out);
}

Json Output::ErrorJson() const {
  Json error = Json::Object();
  // The failure with a code tells most; the first one where none has.
  const Failure* main = nullptr;
  for (const auto& f : failures_) {
    if (f.code) {
      main = &f;
      break;
    }
  }
  if (!main && !failures_.empty()) main = &failures_.front();
  error.Add("message", main ? Json(main->message) : Json());
  if (main && main->code) {
    error.Add("code", static_cast<int64_t>(*main->code))
        .Add("name", StatusName(*main->code))
        .Add("description", StatusDescription(*main->code))
        .Add("text", ResultText(*main->code));
  } else {
    error.Add("code", Json());
  }
  error.Add("block", main && main->block ? Json(*main->block) : Json());
  error.Add("sector", main && main->block ? Json(SectorOfBlock(*main->block)) : Json());
  Json messages = Json::Array();
  for (const auto& f : failures_) messages.Push(f.message);
  error.Add("messages", messages);
  return error;
}

Json OpenedWithJson(Json& object, const Access& access, const CardSession& session) {
  if (access.keyIndex < 0) return object.Add("keyType", Json()).Add("key", Json());
  return object.Add("keyType", KeyName(access.keyType))
      .Add("key", HexText(session.Key(access.keyIndex)));
}

Json StringsJson(const std::vector<std::string>& texts) {
  Json list = Json::Array();
  for (const auto& t : texts) list.Push(t);
  return list;
}

std::string VerificationText(const WriteOutcome& outcome, bool verify) {
  if (!verify) return "not verified (--no-verify)";
  if (!outcome.failure.empty()) return "failed";
  if (!outcome.checked) {
    for (const auto& n : outcome.notes) {
      if (n.rfind("not verifiable", 0) == 0) return n;
    }
    return "not verifiable";
  }
  return "read back the same";
}

Json WrittenJson(int block, const Bytes& data, const WriteOutcome& outcome, bool verify,
                 const CardSession& session) {
  Json out = Json::Object();
  out.Add("block", block).Add("sector", SectorOfBlock(block)).Add("data", HexText(data));
  OpenedWithJson(out, outcome.access, session);
  out.Add("verified", verify && outcome.checked && outcome.failure.empty())
      .Add("verification", VerificationText(outcome, verify))
      .Add("notes", StringsJson(outcome.notes));
  if (outcome.checked) out.Add("held", HexText(outcome.held));
  return out;
}

std::string BlockLine(int block, const Bytes& data) {
  char number[8];
  std::snprintf(number, sizeof number, "%4d", block);
  return std::string(number) + "  " + HexSpaced(data) + "  |" + AsciiText(data) + "|";
}

}  // namespace zubtool
