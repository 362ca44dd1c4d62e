#include "verify.h"

#include "status.h"

namespace zubtool {

namespace {

bool SameBytes(const Bytes& a, const Bytes& b, size_t from, size_t to) {
  for (size_t i = from; i < to; ++i) {
    if (a[i] != b[i]) return false;
  }
  return true;
}

}  // namespace

bool Allows(KeySet set, int keyType) {
  return (set & (keyType == kKeyA ? kByA : kByB)) != 0;
}

std::string CompareReadBack(int block, const Bytes& sent, const Bytes& held, int keyType,
                            std::vector<std::string>* notes) {
  if (sent.size() != static_cast<size_t>(kBlockSize) ||
      held.size() != static_cast<size_t>(kBlockSize)) {
    return "the block";
  }
  if (!IsTrailer(block)) return sent == held ? "" : "the block";
  notes->push_back("key A not verifiable");
  // What the key may read follows the conditions the trailer was written with.
  auto conditions = DecodeAccessBits(sent);
  if (!conditions) {
    notes->push_back("access bits and key B not verifiable");
    return "";
  }
  const int trailerCondition = conditions->group[kTrailerGroup];
  const TrailerRights rights = TrailerRightsOf(trailerCondition);
  std::string differs;
  if (Allows(rights.accessRead, keyType)) {
    if (!SameBytes(sent, held, 6, 10)) differs = "access bits and byte 9";
  } else {
    notes->push_back(std::string("access bits not verifiable (key ") + KeyName(keyType) +
                     " may not read them)");
  }
  if (KeyBReadable(trailerCondition) && keyType == kKeyA) {
    if (!SameBytes(sent, held, 10, 16))
      differs += std::string(differs.empty() ? "" : ", ") + "key B";
  } else {
    notes->push_back("key B not verifiable (the conditions hide it)");
  }
  return differs;
}

std::string SentAndHeld(const Bytes& sent, const Bytes& held) {
  return "  sent  " + HexSpaced(sent) + "\n  holds " + HexSpaced(held);
}

void ReadBack(CardSession& session, int block, const Bytes& sent, int keyType,
              WriteOutcome* outcome) {
  const std::string name =
      "block " + std::to_string(block) + " (sector " + std::to_string(SectorOfBlock(block)) + ")";
  Bytes held;
  int32_t r = session.Reader().Read(block, &held);
  if (r == kNoPermission) {
    outcome->notes.push_back(std::string("not verifiable: key ") + KeyName(keyType) +
                             " may not read the block");
    return;
  }
  if (r != 0) {
    outcome->failure = name +
                       " was written but could not be read back to check it: " + Describe(r) +
                       "\n  sent  " + HexSpaced(sent);
    return;
  }
  outcome->checked = true;
  outcome->held = held;
  const std::string differs = CompareReadBack(block, sent, held, keyType, &outcome->notes);
  if (!differs.empty()) {
    outcome->failure = name + " does not hold what was written (" + differs +
                       " read back differently):\n" + SentAndHeld(sent, held);
  }
}

WriteOutcome WriteVerified(CardSession& session, std::optional<int> keyType, int block,
                           const Bytes& data, bool verify, const std::vector<int>& first) {
  WriteOutcome outcome;
  outcome.access = WithAccess(
      session, keyType, block, [&] { return session.Reader().Write(block, data); }, first);
  // Nothing comes between the write and the read: the authentication that
  // wrote the block reads it back.
  if (outcome.access.result == 0 && verify)
    ReadBack(session, block, data, outcome.access.keyType, &outcome);
  return outcome;
}

BlockWriteResult WriteBlock(CardSession& session, std::optional<int> keyType, int block,
                            const Bytes& data, bool verify) {
  BlockWriteResult result;
  result.outcome = WriteVerified(session, keyType, block, data, verify);
  const Access& access = result.outcome.access;
  if (access.result != 0) {
    result.error = AccessFailure(access, "write block " + std::to_string(block), block, session);
    result.code = access.result;
    return result;
  }
  if (!result.outcome.failure.empty()) {
    result.error = result.outcome.failure;
    return result;
  }
  if (IsTrailer(block)) {
    auto conditions = DecodeAccessBits(data);
    if (conditions && KeyBReadable(conditions->group[kTrailerGroup])) {
      result.warnings.push_back(
          "these conditions let key A read key B: key B is then data, not a key (it can no "
          "longer open the sector)");
    }
  }
  return result;
}

}  // namespace zubtool
