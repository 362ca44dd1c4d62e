// The IFD handler entry points pcscd calls (capabilities version 3). Each
// Lun is one reader with its own link; the table below maps pcscd's reader
// numbers to them.
//
// No C++ exception leaves an entry point: pcscd is C, and a failure to
// allocate or to take a lock is answered as a communication error.
//
// pcsc-lite's headers declare the entry points without C linkage of their
// own; reader.h has the SCARD_ATTR_ tags.
extern "C" {
#include <ifdhandler.h>
#include <reader.h>
}
#include <string.h>

#include <memory>
#include <mutex>

#include "device_name.h"
#include "mifarezub_pcsc.h"
#include "slot.h"

#define IFD_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

// pcscd numbers readers in the upper 16 bits of a Lun; each has one slot.
constexpr size_t kMaxReaders = 16;

struct Entry {
  bool used = false;
  DWORD reader = 0;
  std::unique_ptr<mzpcsc::ReaderSlot> device;
};

std::mutex tableLock;
Entry table[kMaxReaders];

DWORD ReaderOf(DWORD lun) {
  return lun >> 16;
}

// The reader for a Lun. Entries are only replaced by CreateChannel and
// CloseChannel, which pcscd never runs alongside other calls for that Lun.
mzpcsc::ReaderSlot* Find(DWORD lun) {
  std::lock_guard<std::mutex> hold(tableLock);
  for (Entry& e : table) {
    if (e.used && e.reader == ReaderOf(lun)) return e.device.get();
  }
  return nullptr;
}

const char* SysfsDevices() {
  // Tests point this at a tree of their own.
  const char* dir = getenv("MIFAREZUB_SYSFS_USB");
  return dir != nullptr && *dir != '\0' ? dir : "/sys/bus/usb/devices";
}

// A free entry for a new reader at `index`, or null when the Lun or the
// index is taken already or the table is full. Call with tableLock held.
Entry* FreeEntry(DWORD lun, int index) {
  Entry* free = nullptr;
  for (Entry& e : table) {
    if (e.used && (e.reader == ReaderOf(lun) || e.device->DeviceIndex() == index)) return nullptr;
    if (!e.used && free == nullptr) free = &e;
  }
  return free;
}

RESPONSECODE Create(DWORD lun, int index) {
  if (index < 0 || index > 255) return IFD_NO_SUCH_DEVICE;
  {
    std::lock_guard<std::mutex> hold(tableLock);
    if (FreeEntry(lun, index) == nullptr) return IFD_COMMUNICATION_ERROR;
  }
  // Opened outside the table's lock: a USB open can take a while, and the
  // other readers go on meanwhile.
  std::unique_ptr<mzpcsc::ReaderSlot> reader(new mzpcsc::ReaderSlot(static_cast<uint8_t>(index)));
  if (!reader->Open()) return IFD_NO_SUCH_DEVICE;
  std::lock_guard<std::mutex> hold(tableLock);
  Entry* free = FreeEntry(lun, index);
  if (free == nullptr) return IFD_COMMUNICATION_ERROR;  // reader's destructor closes it
  free->used = true;
  free->reader = ReaderOf(lun);
  free->device = std::move(reader);
  return IFD_SUCCESS;
}

// Runs an entry point's body; an exception becomes a communication error.
template <typename Body>
RESPONSECODE Safely(Body body) noexcept {
  try {
    return body();
  } catch (...) {
    return IFD_COMMUNICATION_ERROR;
  }
}

RESPONSECODE PutBytes(const uint8_t* bytes, size_t n, PDWORD length, PUCHAR value) {
  if (*length < n) return IFD_ERROR_INSUFFICIENT_BUFFER;
  memcpy(value, bytes, n);
  *length = static_cast<DWORD>(n);
  return IFD_SUCCESS;
}

RESPONSECODE PutByte(uint8_t byte, PDWORD length, PUCHAR value) {
  return PutBytes(&byte, 1, length, value);
}

RESPONSECODE PutDword(DWORD v, PDWORD length, PUCHAR value) {
  // A DWORD attribute in host order, as wide as pcsc-lite's DWORD.
  return PutBytes(reinterpret_cast<const uint8_t*>(&v), sizeof v, length, value);
}

}  // namespace

IFD_EXPORT RESPONSECODE IFDHCreateChannelByName(DWORD Lun, LPSTR DeviceName) {
  return Safely([&]() -> RESPONSECODE {
    return Create(Lun, mzpcsc::DeviceIndexFor(DeviceName, SysfsDevices()));
  });
}

IFD_EXPORT RESPONSECODE IFDHCreateChannel(DWORD Lun, DWORD Channel) {
  return Safely([&]() -> RESPONSECODE {
    // reader.conf entries without DEVICENAME: CHANNELID is the device index.
    return Create(Lun, Channel > 255 ? -1 : static_cast<int>(Channel));
  });
}

IFD_EXPORT RESPONSECODE IFDHCloseChannel(DWORD Lun) {
  return Safely([&]() -> RESPONSECODE {
    std::unique_ptr<mzpcsc::ReaderSlot> closing;
    {
      std::lock_guard<std::mutex> hold(tableLock);
      for (Entry& e : table) {
        if (e.used && e.reader == ReaderOf(Lun)) {
          closing = std::move(e.device);
          e.used = false;
        }
      }
    }
    if (!closing) return IFD_NO_SUCH_DEVICE;
    closing->Close();
    return IFD_SUCCESS;
  });
}

IFD_EXPORT RESPONSECODE IFDHGetCapabilities(DWORD Lun, DWORD Tag, PDWORD Length, PUCHAR Value) {
  return Safely([&]() -> RESPONSECODE {
    if (Length == nullptr || Value == nullptr) return IFD_COMMUNICATION_ERROR;
    mzpcsc::ReaderSlot* reader = Find(Lun);
    switch (Tag) {
      case TAG_IFD_SIMULTANEOUS_ACCESS:
        return PutByte(kMaxReaders, Length, Value);
      case TAG_IFD_THREAD_SAFE:
        return PutByte(1, Length, Value);  // readers are independent of each other
      case TAG_IFD_SLOTS_NUMBER:
        return PutByte(1, Length, Value);
      case TAG_IFD_SLOT_THREAD_SAFE:
        return PutByte(0, Length, Value);
      default:
        break;
    }
    if (reader == nullptr) return IFD_NO_SUCH_DEVICE;
    switch (Tag) {
      case TAG_IFD_ATR:
      case SCARD_ATTR_ATR_STRING: {
        uint8_t atr[mzpcsc::kAtrSize];
        const size_t n = reader->Atr(atr, sizeof atr);
        return PutBytes(atr, n, Length, Value);
      }
      case MIFAREZUB_ATTR_UID: {
        uint8_t uid[mzpcsc::kUidSize];
        const size_t n = reader->Uid(uid, sizeof uid);
        if (n == 0) return IFD_ERROR_TAG;
        return PutBytes(uid, n, Length, Value);
      }
      case SCARD_ATTR_VENDOR_NAME: {
        static const char kVendor[] = "MifareZUB";
        return PutBytes(reinterpret_cast<const uint8_t*>(kVendor), sizeof kVendor, Length, Value);
      }
      case SCARD_ATTR_VENDOR_IFD_TYPE: {
        static const char kType[] = "USB MIFARE Classic reader";
        return PutBytes(reinterpret_cast<const uint8_t*>(kType), sizeof kType, Length, Value);
      }
      case SCARD_ATTR_ICC_INTERFACE_STATUS:
        return PutByte(reader->Powered() ? 1 : 0, Length, Value);
      case SCARD_ATTR_CHANNEL_ID:
        // 0x0020: USB; the channel number is the device index.
        return PutDword(0x00200000u | reader->DeviceIndex(), Length, Value);
      default:
        return IFD_ERROR_TAG;
    }
  });
}

IFD_EXPORT RESPONSECODE IFDHSetCapabilities(DWORD Lun, DWORD Tag, DWORD Length, PUCHAR Value) {
  return Safely([&]() -> RESPONSECODE {
    (void)Tag;
    (void)Length;
    (void)Value;
    return Find(Lun) == nullptr ? IFD_NO_SUCH_DEVICE : IFD_ERROR_TAG;
  });
}

IFD_EXPORT RESPONSECODE IFDHSetProtocolParameters(DWORD Lun, DWORD Protocol, UCHAR Flags,
                                                  UCHAR PTS1, UCHAR PTS2, UCHAR PTS3) {
  return Safely([&]() -> RESPONSECODE {
    (void)Flags;
    (void)PTS1;
    (void)PTS2;
    (void)PTS3;
    if (Find(Lun) == nullptr) return IFD_NO_SUCH_DEVICE;
    // The pseudo-APDUs travel as T=1 (the ATR offers T=1 only).
    return Protocol == SCARD_PROTOCOL_T1 ? IFD_SUCCESS : IFD_PROTOCOL_NOT_SUPPORTED;
  });
}

IFD_EXPORT RESPONSECODE IFDHPowerICC(DWORD Lun, DWORD Action, PUCHAR Atr, PDWORD AtrLength) {
  return Safely([&]() -> RESPONSECODE {
    mzpcsc::ReaderSlot* reader = Find(Lun);
    if (AtrLength != nullptr && Action == IFD_POWER_DOWN) *AtrLength = 0;
    if (reader == nullptr) return IFD_NO_SUCH_DEVICE;
    switch (Action) {
      case IFD_POWER_DOWN:
        reader->PowerDown();
        return IFD_SUCCESS;
      case IFD_POWER_UP:
      case IFD_RESET: {
        if (Atr == nullptr || AtrLength == nullptr) return IFD_COMMUNICATION_ERROR;
        uint8_t atr[mzpcsc::kAtrSize];
        size_t n = 0;
        *AtrLength = 0;
        switch (reader->PowerUp(atr, &n)) {
          case mzpcsc::PowerResult::kOk:
            memcpy(Atr, atr, n);
            *AtrLength = static_cast<DWORD>(n);
            return IFD_SUCCESS;
          case mzpcsc::PowerResult::kNoCard:
            return IFD_ERROR_POWER_ACTION;
          default:
            return IFD_COMMUNICATION_ERROR;
        }
      }
      default:
        return IFD_NOT_SUPPORTED;
    }
  });
}

IFD_EXPORT RESPONSECODE IFDHTransmitToICC(DWORD Lun, SCARD_IO_HEADER SendPci, PUCHAR TxBuffer,
                                          DWORD TxLength, PUCHAR RxBuffer, PDWORD RxLength,
                                          PSCARD_IO_HEADER RecvPci) {
  return Safely([&]() -> RESPONSECODE {
    (void)SendPci;
    if (RxLength == nullptr) return IFD_COMMUNICATION_ERROR;
    size_t length = *RxLength;
    *RxLength = 0;
    mzpcsc::ReaderSlot* reader = Find(Lun);
    if (reader == nullptr) return IFD_NO_SUCH_DEVICE;
    if (RxBuffer == nullptr || (TxBuffer == nullptr && TxLength != 0)) {
      return IFD_COMMUNICATION_ERROR;
    }
    if (RecvPci != nullptr) RecvPci->Protocol = SCARD_PROTOCOL_T1;
    switch (reader->Transmit(TxBuffer, TxLength, RxBuffer, &length)) {
      case mzpcsc::TransmitResult::kOk:
        *RxLength = static_cast<DWORD>(length);
        return IFD_SUCCESS;
      case mzpcsc::TransmitResult::kNoCard:
        return IFD_ICC_NOT_PRESENT;
      default:
        return IFD_COMMUNICATION_ERROR;
    }
  });
}

IFD_EXPORT RESPONSECODE IFDHControl(DWORD Lun, DWORD dwControlCode, PUCHAR TxBuffer, DWORD TxLength,
                                    PUCHAR RxBuffer, DWORD RxLength, LPDWORD pdwBytesReturned) {
  return Safely([&]() -> RESPONSECODE {
    (void)RxBuffer;
    (void)RxLength;
    if (pdwBytesReturned != nullptr) *pdwBytesReturned = 0;
    mzpcsc::ReaderSlot* reader = Find(Lun);
    if (reader == nullptr) return IFD_NO_SUCH_DEVICE;
    if (dwControlCode != MIFAREZUB_IOCTL_SIGNAL) return IFD_NOT_SUPPORTED;
    bool sent = false;
    if (reader->Signal(TxBuffer, TxLength, &sent)) return IFD_SUCCESS;
    return sent ? IFD_COMMUNICATION_ERROR : IFD_NOT_SUPPORTED;
  });
}

IFD_EXPORT RESPONSECODE IFDHICCPresence(DWORD Lun) {
  return Safely([&]() -> RESPONSECODE {
    mzpcsc::ReaderSlot* reader = Find(Lun);
    if (reader == nullptr) return IFD_NO_SUCH_DEVICE;
    switch (reader->Poll()) {
      case mzpcsc::Presence::kPresent:
        return IFD_ICC_PRESENT;
      case mzpcsc::Presence::kAbsent:
        return IFD_ICC_NOT_PRESENT;
      default:
        return IFD_NO_SUCH_DEVICE;
    }
  });
}
