// What a command reports: its failures on standard error, kept for the
// error object of --json, its JSON result on standard output, and the texts
// and JSON pieces the commands share.
#ifndef ZUBTOOL_OUTPUT_H
#define ZUBTOOL_OUTPUT_H

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "json.h"
#include "session.h"
#include "verify.h"

namespace zubtool {

// One run's reports. The command's context holds it (Context::Out()).
class Output {
 public:
  // Keeps the failures without printing them (the workbench answers with them).
  void SetQuiet(bool quiet) { quiet_ = quiet; }
  // "zubtool: <what>" on standard error.
  void Fail(const std::string& what);
  // The same for a failure with a result code and, where known, its block
  // (and so its sector): --json reports them in its error object.
  void Fail(const std::string& what, std::optional<int32_t> code,
            std::optional<int> block = std::nullopt);
  // A command's JSON result on standard output (one line).
  void PrintJson(const Json& json);
  // With --json, after a command that failed without printing its result:
  // one JSON error object on standard output for the failures reported
  // (message, code, its name, English description and library text, block
  // and sector).
  void PrintJsonError(int exitStatus);
  // The error object PrintJsonError prints, for a result that failed in part
  // (restore, format) and carries it in its own object.
  Json ErrorJson() const;

  struct Failure {
    std::string message;
    std::optional<int32_t> code;
    std::optional<int> block;
  };
  const std::vector<Failure>& Failures() const { return failures_; }

 private:
  std::vector<Failure> failures_;
  bool jsonPrinted_ = false;
  bool quiet_ = false;
};

// Adds "keyType" and "key": the key that opened the sector (null when none did).
Json OpenedWithJson(Json& object, const Access& access, const CardSession& session);
Json StringsJson(const std::vector<std::string>& texts);
// How a write was checked: "read back the same", "not verified (--no-verify)",
// "not verifiable: key B may not read the block", "failed".
std::string VerificationText(const WriteOutcome& outcome, bool verify);
// One block written, for --json: block, sector, data, the key that opened the
// sector, whether and how it was verified, what could not be compared, and
// what the card holds where it was read back.
Json WrittenJson(int block, const Bytes& data, const WriteOutcome& outcome, bool verify,
                 const CardSession& session);
// "   4  00 11 ...  |....|": one block in hex and ASCII.
std::string BlockLine(int block, const Bytes& data);

}  // namespace zubtool

#endif  // ZUBTOOL_OUTPUT_H
