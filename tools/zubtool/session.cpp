#include "session.h"

#include <algorithm>

#include "status.h"

namespace zubtool {

const char* KeyName(int type) {
  return type == kKeyA ? "A" : "B";
}

CardSession::CardSession(CardCalls& reader, std::shared_ptr<const PackedKeys> keys)
    : reader_(reader), keys_(keys ? std::move(keys) : std::make_shared<const PackedKeys>()) {
  for (auto& bank : slotKey_) {
    for (int& k : bank) k = -1;
  }
}

CardSession::CardSession(CardCalls& reader, PackedKeys keys)
    : CardSession(reader, std::make_shared<const PackedKeys>(std::move(keys))) {}

int32_t CardSession::Find() {
  int32_t r = reader_.Request(true, &info_.atqa);
  if (r == 0) r = reader_.Anticollision(&info_.serialHex);
  if (r != 0) return r;
  auto serial = ParseSerial(info_.serialHex);
  if (!serial) return kExchangeFailed;
  info_.serial = *serial;
  if ((r = reader_.Select(info_.serialHex, &info_.sak)) != 0) return r;
  info_.layout = IdentifyCard(info_.atqa, info_.sak);
  selected_ = true;
  return 0;
}

int CardSession::FindKey(int block, int type, int32_t* result, const std::vector<int>& first,
                         const std::function<void(size_t)>& tried) {
  const size_t sector = static_cast<size_t>(SectorOfBlock(block));
  if (opened_[type].size() <= sector) opened_[type].resize(sector + 1, -1);
  const size_t count = keys_->size();
  // The few keys tried first, each once; then every other key in order,
  // without a list of them all (a list of millions would be built for
  // every sector).
  std::vector<int> preferred;
  auto prefer = [&](int index) {
    if (index < 0 || static_cast<size_t>(index) >= count) return;
    if (std::find(preferred.begin(), preferred.end(), index) == preferred.end())
      preferred.push_back(index);
  };
  prefer(opened_[type][sector]);
  for (int index : first) prefer(index);
  std::vector<int> skip = preferred;
  std::sort(skip.begin(), skip.end());

  *result = 1;
  size_t n = 0, nextSkip = 0;
  for (size_t i = 0, rest = 0; lost_ == 0; ++i) {
    int index;
    if (i < preferred.size()) {
      index = preferred[i];
    } else {
      while (nextSkip < skip.size() && static_cast<size_t>(skip[nextSkip]) == rest) {
        ++rest;
        ++nextSkip;
      }
      if (rest >= count) break;
      index = static_cast<int>(rest++);
    }
    if (stopped_ || (stop_ && stop_())) {
      stopped_ = true;
      break;
    }
    *result = Authenticate(block, type, index);
    if (tried) tried(++n);
    if (*result == 0) {
      opened_[type][sector] = index;
      return index;
    }
    // Below zero the reader failed; 16 where key B is readable and so cannot
    // authenticate at all: no other key can do better.
    if (*result < 0 || *result == kNoPermission) break;
  }
  return -1;
}

int32_t CardSession::Authenticate(int block, int type, int index) {
  if (lost_) return lost_;
  if (!selected_ && (lost_ = Reselect()) != 0) return lost_;
  const int slot = index % kSlots;
  int32_t r;
  if (slotKey_[type][slot] != index) {
    if ((r = reader_.LoadKey(type, slot, (*keys_)[static_cast<size_t>(index)])) != 0) return r;
    slotKey_[type][slot] = index;
  }
  r = reader_.Authenticate(type, slot, block);
  if (r != 0) selected_ = false;  // a refused card waits for a new request
  return r;
}

// A refused authentication leaves the card idle: waking it and selecting it
// by the UID already known is all it takes, two exchanges. Only when the
// select fails is anticollision asked who is in the field (a card that was
// not selected stays ready and answers it).
int32_t CardSession::Reselect() {
  uint16_t atqa;
  uint8_t sak;
  int32_t r = reader_.Request(true, &atqa);
  if (r == 0) r = reader_.Select(info_.serialHex, &sak);
  if (r > 0) {
    std::string serial;
    if (reader_.Anticollision(&serial) == 0 && serial != info_.serialHex) {
      lostReason_ = "another card is in the field (UID " + serial.substr(0, 8) + ")";
    }
  }
  selected_ = r == 0;
  return r;
}

Access WithAccess(CardSession& session, std::optional<int> keyType, int block,
                  const std::function<int32_t()>& op, const std::vector<int>& first) {
  Access access;
  for (int type : {kKeyA, kKeyB}) {
    if (keyType && *keyType != type) continue;
    int32_t r;
    int index = session.FindKey(block, type, &r, first);
    if (index < 0) {
      access.refused[type] = r;
      if (r < 0 || session.Lost()) break;
      continue;
    }
    access.authenticated = true;
    access.keyType = type;
    access.keyIndex = index;
    access.result = op();
    if (access.result != kNoPermission) return access;
  }
  if (!access.authenticated)
    access.result = access.refused[kKeyA].value_or(access.refused[kKeyB].value_or(1));
  return access;
}

std::string Refusals(const std::optional<int32_t> (&refused)[2]) {
  std::string text;
  for (int type : {kKeyA, kKeyB}) {
    if (!refused[type]) continue;
    if (!text.empty()) text += ", ";
    text += std::string("key ") + KeyName(type) + " " + Describe(*refused[type]);
  }
  return text;
}

std::string AccessFailure(const Access& access, const std::string& what, int block,
                          const CardSession& session) {
  if (session.Lost()) {
    std::string reason = session.LostReason().empty() ? "" : session.LostReason() + "; ";
    return what + ": the card was lost: " + reason + Describe(session.Lost());
  }
  if (!access.authenticated) {
    return what + ": no key to try opens sector " + std::to_string(SectorOfBlock(block)) + ": " +
           Refusals(access.refused);
  }
  return what + ": " + Describe(access.result);
}

std::string KeyNote(const Access& access, const CardSession& session) {
  return std::string("key ") + KeyName(access.keyType) + " " +
         HexText(session.Key(access.keyIndex));
}

}  // namespace zubtool
