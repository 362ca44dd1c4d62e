#include "key_search.h"

namespace zubtool {

const char* const kNoneOpens = "none of the keys tried opens it";
const char* const kReadable = "readable with key A, not a key";

void SearchKeys(CardSession& session, const CardLayout& layout, std::optional<int> keyType,
                std::vector<SectorKeys>* found, const KeySearchHooks& hooks) {
  std::vector<int> opened;  // keys that opened some sector: tried first on the next
  for (int sector = 0; sector < layout.sectors && !session.Lost() && !session.Stopped(); ++sector) {
    SectorKeys& s = (*found)[static_cast<size_t>(sector)];
    for (int type : {kKeyA, kKeyB}) {
      if (keyType && *keyType != type) continue;
      if (s.Done(type)) continue;  // settled by an earlier search
      int32_t r;
      int index = session.FindKey(FirstBlock(sector), type, &r, opened, [&](size_t tried) {
        if (hooks.tried) hooks.tried(sector, type, tried);
      });
      if (session.Stopped()) break;
      bool settled = true;
      if (index >= 0) {
        (type == kKeyA ? s.keyA : s.keyB) = session.Key(index);
        opened.push_back(index);
      } else if (type == kKeyB && r == kNoPermission) {
        s.keyBReadable = true;
      } else if (!session.Lost()) {
        s.notFound[type] = true;
      } else {
        settled = false;
      }
      if (settled && hooks.settled) hooks.settled(sector, type);
    }
    s.searched = !session.Stopped() && !session.Lost();
  }
  // A sector an earlier search settled is searched, though this one may not have reached it.
  for (auto& s : *found) {
    bool settled = true;
    for (int type : {kKeyA, kKeyB}) {
      if (!(keyType && *keyType != type)) settled = settled && s.Done(type);
    }
    s.searched = s.searched || settled;
  }
}

std::string KeysFileText(const CardInfo& card, const CardLayout& layout,
                         const std::vector<SectorKeys>& found, bool interrupted) {
  std::string text = "# keys found on the card " + HexText(card.serial.uid) + " (" + layout.name +
                     ") by zubtool keys\n";
  for (int sector = 0; sector < layout.sectors; ++sector) {
    const SectorKeys& s = found[static_cast<size_t>(sector)];
    for (int type : {kKeyA, kKeyB}) {
      const auto& key = type == kKeyA ? s.keyA : s.keyB;
      const std::string where = "sector " + std::to_string(sector) + " key " + KeyName(type);
      if (key) {
        text += HexText(*key) + "  # " + where + "\n";
      } else if (type == kKeyB && s.keyBReadable) {
        text += "# " + where + ": " + kReadable + "\n";
      } else if (s.notFound[type]) {
        text += "# " + where + ": " + kNoneOpens + "\n";
      }
    }
  }
  if (interrupted)
    text += "# the search was interrupted: sectors after the last above were not searched\n";
  return text;
}

}  // namespace zubtool
