// The seven vendor calls over the reader firmware, and the control API.
//
// One virtual reader per process. Its state is built on first use from the
// ZUBSIM_ environment variables (see README.md) and guarded by one lock; a
// fault raised on purpose inside a vendor call is raised after the lock is
// released, so that a host which survives it finds the reader usable.
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#if defined(_WIN32)
#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <io.h>
#include <windows.h>
#else
#include <unistd.h>

#include <ctime>
#include <mutex>
#endif

#include "CH375DLL.h"
#include "card.h"
#include "firmware.h"
#include "zubsim.h"

namespace zubsim {
namespace {

constexpr Uid kDefaultUid = {0x1A, 0x7B, 0x8C, 0x54};
constexpr uint32_t kDefaultReadTimeoutMs = 1000;
constexpr size_t kTraceLines = 10000;

#if defined(_WIN32)
class Lock {
 public:
  Lock() { InitializeCriticalSection(&section_); }
  Lock(const Lock&) = delete;
  Lock& operator=(const Lock&) = delete;
  void lock() { EnterCriticalSection(&section_); }
  void unlock() { LeaveCriticalSection(&section_); }

 private:
  CRITICAL_SECTION section_;
};
#else
using Lock = std::mutex;
#endif

class Guard {
 public:
  explicit Guard(Lock& lock) : lock_(lock) { lock_.lock(); }
  Guard(const Guard&) = delete;
  Guard& operator=(const Guard&) = delete;
  ~Guard() { lock_.unlock(); }

 private:
  Lock& lock_;
};

std::string env(const char* name) {
#if defined(_WIN32)
  // The process environment itself, not a C runtime's copy of it.
  char buf[4096];
  const DWORD n = GetEnvironmentVariableA(name, buf, sizeof buf);
  return n > 0 && n < sizeof buf ? std::string(buf, n) : std::string();
#else
  const char* v = std::getenv(name);
  return v ? v : "";
#endif
}

std::string lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

void sleep_ms(uint32_t ms) {
#if defined(_WIN32)
  Sleep(ms);
#else
  timespec t{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
  while (nanosleep(&t, &t) != 0) {
  }
#endif
}

// Pushes what was written to `file` past the system's cache onto the disk.
bool flush_to_disk(std::FILE* file) {
#if defined(_WIN32)
  return _commit(_fileno(file)) == 0;
#else
  return fsync(fileno(file)) == 0;
#endif
}

[[noreturn]] void raise_processor_fault(const char* call) {
#if defined(_WIN32)
  // A real access violation: a volatile write through a null pointer the
  // compiler cannot see through. (A plain store would be dropped as dead
  // before the abort below.)
  (void)call;
  volatile int* volatile nowhere = nullptr;
  *nowhere = 0;
  std::abort();
#else
  throw std::runtime_error(std::string("virtual reader: fault injected in ") + call);
#endif
}

const char* call_name(int call) {
  switch (call) {
    case ZUBSIM_CALL_OPEN:
      return "CH375OpenDevice";
    case ZUBSIM_CALL_CLOSE:
      return "CH375CloseDevice";
    case ZUBSIM_CALL_RESET:
      return "CH375ResetDevice";
    case ZUBSIM_CALL_SET_BUF_UPLOAD:
      return "CH375SetBufUpload";
    case ZUBSIM_CALL_SET_TIMEOUT:
      return "CH375SetTimeout";
    case ZUBSIM_CALL_WRITE:
      return "CH375WriteData";
    case ZUBSIM_CALL_READ:
      return "CH375ReadData";
    default:
      return "?";
  }
}

struct ExchangeFault {
  int kind;
  int arg;
};

bool parse_bool(const std::string& text, bool* value) {
  const std::string v = lower(text);
  if (v == "1" || v == "yes" || v == "true" || v == "on") {
    *value = true;
  } else if (v == "0" || v == "no" || v == "false" || v == "off") {
    *value = false;
  } else {
    return false;
  }
  return true;
}

bool parse_uid(const std::string& text, Uid* uid) {
  std::string digits;
  for (char c : text) {
    if (c == ' ' || c == ':' || c == '-') continue;
    if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
    digits += c;
  }
  if (digits.size() != 2 * kUidSize) return false;
  for (size_t i = 0; i < kUidSize; ++i) {
    (*uid)[i] = static_cast<uint8_t>(std::stoul(digits.substr(2 * i, 2), nullptr, 16));
  }
  return true;
}

class VirtualReader {
 public:
  VirtualReader() { configure(); }

  Lock lock;

  // Everything below runs with `lock` held.

  void configure() {
    reader_ = Reader();
    opened_ = false;
    replies_.clear();
    exchange_faults_.clear();
    call_faults_.clear();
    trace_.clear();
    last_error_.clear();
    read_timeout_ms_ = kDefaultReadTimeoutMs;
    if (trace_file_) std::fclose(trace_file_);
    trace_file_ = nullptr;

    trace_path_ = env("ZUBSIM_TRACE");
    if (trace_to_file()) {
      trace_file_ = std::fopen(trace_path_.c_str(), "a");
      if (!trace_file_) warn("ZUBSIM_TRACE: cannot open " + trace_path_ + " for appending");
    }

    device_index_ = 0;
    const std::string index = lower(env("ZUBSIM_DEVICE_INDEX"));
    if (index == "none") {
      device_index_ = -1;
    } else if (!index.empty()) {
      char* end = nullptr;
      const long v = std::strtol(index.c_str(), &end, 10);
      if (*end != '\0' || v < 0 || v > 255) {
        warn("ZUBSIM_DEVICE_INDEX: '" + index + "' is not 0 to 255 or none; using 0");
      } else {
        device_index_ = static_cast<int>(v);
      }
    }

    honour_timeout_ = bool_setting("ZUBSIM_HONOUR_TIMEOUT", false);
    save_on_close_ = bool_setting("ZUBSIM_SAVE_ON_CLOSE", false);
    image_path_ = env("ZUBSIM_IMAGE");

    if (!image_path_.empty()) {
      if (!env("ZUBSIM_CARD").empty() || !env("ZUBSIM_UID").empty()) {
        note("ZUBSIM_IMAGE given: the card type and UID come from the image");
      }
      load_image(image_path_);
      if (!bool_setting("ZUBSIM_CARD_PRESENT", true)) reader_.take_out();
      return;
    }

    CardType type = CardType::k1K;
    const std::string kind = lower(env("ZUBSIM_CARD"));
    if (kind == "4k") {
      type = CardType::k4K;
    } else if (!kind.empty() && kind != "1k") {
      warn("ZUBSIM_CARD: '" + kind + "' is not 1K or 4K; using 1K");
    }
    Uid uid = kDefaultUid;
    const std::string uid_text = env("ZUBSIM_UID");
    if (!uid_text.empty() && !parse_uid(uid_text, &uid)) {
      warn("ZUBSIM_UID: '" + uid_text + "' is not 4 bytes in hex; using 1A7B8C54");
      uid = kDefaultUid;
    }
    reader_.insert(Card(type, uid));
    if (!bool_setting("ZUBSIM_CARD_PRESENT", true)) reader_.take_out();
  }

  bool bool_setting(const char* name, bool fallback) {
    const std::string text = env(name);
    bool value = fallback;
    if (!text.empty() && !parse_bool(text, &value)) {
      warn(std::string(name) + ": '" + text + "' is not 1/0, yes/no, true/false or on/off");
      value = fallback;
    }
    return value;
  }

  // ZUBSIM_TRACE: "-" sends the trace to standard error, "off" keeps it in
  // memory only, any other value names a file.
  bool trace_to_file() const {
    return !trace_path_.empty() && trace_path_ != "-" && trace_path_ != "off";
  }

  // Trace lines go to memory, and to the trace file if there is one.
  void trace(const std::string& line) {
    if (trace_.size() == kTraceLines) trace_.pop_front();
    trace_.push_back(line);
    if (trace_file_) {
      std::fprintf(trace_file_, "%s\n", line.c_str());
      std::fflush(trace_file_);
    } else if (trace_path_ == "-") {
      std::fprintf(stderr, "%s\n", line.c_str());
    }
  }
  void note(const std::string& text) { trace("## " + text); }
  // A problem the user must see: on the trace, and on standard error when no
  // trace was asked for or its file could not be opened (a user who turned
  // the trace off still has zubsim_last_error).
  void warn(const std::string& text) {
    last_error_ = text;
    note("error: " + text);
    if (trace_path_.empty() || (trace_to_file() && !trace_file_))
      std::fprintf(stderr, "virtual reader: %s\n", text.c_str());
  }

  bool load_image(const std::string& path) {
    std::vector<uint8_t> bytes;
    std::string problem;
    if (!read_image_file(path, &bytes, &problem)) {
      reader_.discard();
      warn("card image " + path + ": " + problem + "; the reader has no card");
      return false;
    }
    return insert_image(bytes.data(), bytes.size(), "card image " + path);
  }

  static std::string size_problem(uintmax_t size) {
    return std::to_string(size) + " bytes, a card image has 1024 (1K) or 4096 (4K)";
  }

  static bool read_image_file(const std::string& path, std::vector<uint8_t>* bytes,
                              std::string* problem) {
    std::error_code error;
    if (!std::filesystem::exists(path, error)) {
      *problem = "no such file";
      return false;
    }
    if (!std::filesystem::is_regular_file(path, error)) {
      *problem = "not a file";
      return false;
    }
    const uintmax_t size = std::filesystem::file_size(path, error);
    if (error) {
      *problem = "cannot read it";
      return false;
    }
    if (size != Geometry::bytes(CardType::k1K) && size != Geometry::bytes(CardType::k4K)) {
      *problem = size_problem(size);
      return false;
    }
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (!file) {
      *problem = "cannot open it";
      return false;
    }
    bytes->resize(static_cast<size_t>(size));
    const size_t got = std::fread(bytes->data(), 1, bytes->size(), file);
    std::fclose(file);
    if (got != size) {
      *problem = "cannot read it";
      return false;
    }
    return true;
  }

  bool insert_image(const uint8_t* bytes, size_t size, const std::string& what) {
    Card card(CardType::k1K, kDefaultUid);
    if (!Card::from_image(bytes, size, &card)) {
      reader_.discard();
      warn(what + ": " + size_problem(size) + "; the reader has no card");
      return false;
    }
    reader_.insert(card);
    note(what + ": " + describe_card(card) + " in the field");
    if (size > 4 && bytes[4] != bcc_of(card.uid())) {
      const uint8_t bcc = bcc_of(card.uid());
      note("block 0 holds BCC " + hex_bytes(bytes + 4, 1) + "; the card answers with " +
           hex_bytes(&bcc, 1) + ", the XOR of its UID");
    }
    return true;
  }

  bool save_image(const std::string& path) {
    const Card* card = reader_.card();
    if (!card) {
      warn("save " + path + ": there is no card");
      return false;
    }
    const std::string temp = path + ".new";
    const std::vector<uint8_t>& image = card->image();
    std::FILE* file = std::fopen(temp.c_str(), "wb");
    if (file && interrupt_save_at_ >= 0) {
      // A crash in the middle: part of the new file, and nothing else.
      const size_t n = std::min(image.size(), static_cast<size_t>(interrupt_save_at_));
      interrupt_save_at_ = -1;
      std::fwrite(image.data(), 1, n, file);
      std::fclose(file);
      warn("save " + path + ": interrupted after " + std::to_string(n) + " bytes");
      return false;
    }
    bool written = file && std::fwrite(image.data(), 1, image.size(), file) == image.size();
    // On the disk before it replaces the old image, so that a crash at any
    // point leaves the old image or the new one, whole.
    if (written && (std::fflush(file) != 0 || !flush_to_disk(file))) written = false;
    if (file && std::fclose(file) != 0) written = false;
    if (!written) {
      std::error_code ignored;
      std::filesystem::remove(temp, ignored);
      warn("save " + path + ": cannot write " + temp + "; the old image is unchanged");
      return false;
    }
    std::error_code error;
    std::filesystem::rename(temp, path, error);
    if (error) {
      std::filesystem::remove(temp, error);
      warn("save " + path + ": cannot replace it; the old image is unchanged");
      return false;
    }
    note("card saved to " + path);
    return true;
  }

  static std::string describe_card(const Card& card) {
    return std::string(card.type() == CardType::k1K ? "1K" : "4K") + " card, UID " +
           hex_bytes(card.uid().data(), kUidSize);
  }

  // True if the next call of `call` is to fault (and uses that fault up).
  bool take_call_fault(int call) {
    for (auto it = call_faults_.begin(); it != call_faults_.end(); ++it) {
      if (*it == call) {
        call_faults_.erase(it);
        note(std::string("fault: processor fault in ") + call_name(call));
        return true;
      }
    }
    return false;
  }

  CH375_HANDLE open(uint32_t index) {
    if (device_index_ < 0 || index != static_cast<uint32_t>(device_index_)) {
      note("open device " + std::to_string(index) + ": no such device");
      return CH375_INVALID_HANDLE;
    }
    opened_ = true;
    replies_.clear();
    note("open device " + std::to_string(index));
    return reinterpret_cast<CH375_HANDLE>(static_cast<intptr_t>(index) + 1);
  }

  bool is_ours(uint32_t index) const {
    return opened_ && device_index_ >= 0 && index == static_cast<uint32_t>(device_index_);
  }

  void close(uint32_t index) {
    if (!is_ours(index)) return;
    opened_ = false;
    replies_.clear();
    note("close device " + std::to_string(index));
    if (save_on_close_ && !image_path_.empty() && reader_.card()) save_image(image_path_);
  }

  bool reset(uint32_t index) {
    if (!is_ours(index)) return false;
    replies_.clear();
    note("reset device " + std::to_string(index));
    return true;
  }

  bool set_read_timeout(uint32_t index, uint32_t ms) {
    if (!is_ours(index)) return false;
    read_timeout_ms_ = ms;
    return true;
  }

  bool write(uint32_t index, const uint8_t* frame, uint32_t* length) {
    if (!is_ours(index) || !frame || !length) {
      if (length) *length = 0;
      return false;
    }
    trace("-> " + hex_bytes(frame, *length) + "  " + describe_request(frame, *length));
    ExchangeFault fault{0, 0};
    if (!exchange_faults_.empty()) {
      fault = exchange_faults_.front();
      exchange_faults_.pop_front();
    }
    if (fault.kind == ZUBSIM_FAULT_LOST_REQUEST) {
      note("fault: the request is lost on the way");
      return true;
    }
    std::vector<uint8_t> reply(kMaxReply);
    reply.resize(reader_.handle(frame, *length, reply.data(), reply.size()));
    if (reply.empty()) return true;
    switch (fault.kind) {
      case ZUBSIM_FAULT_NO_REPLY:
        note("fault: the reply " + hex_bytes(reply.data(), reply.size()) + " is lost");
        return true;
      case ZUBSIM_FAULT_BAD_CHECK:
        reply.back() ^= 0x01;
        note("fault: wrong check byte");
        break;
      case ZUBSIM_FAULT_OTHER_COMMAND: {
        const uint8_t echoed =
            fault.arg < 0 ? static_cast<uint8_t>(reply[1] + 1) : static_cast<uint8_t>(fault.arg);
        reply[1] = echoed;
        reply.back() = xor_of(reply.data(), reply.size() - 1);
        note("fault: the reply echoes command " + hex_bytes(&echoed, 1));
        break;
      }
      case ZUBSIM_FAULT_TRUNCATED: {
        size_t keep = reply.size() - 1;
        if (fault.arg >= 0 && static_cast<size_t>(fault.arg) < reply.size()) {
          keep = static_cast<size_t>(fault.arg);
        }
        reply.resize(keep);
        note("fault: only " + std::to_string(keep) + " bytes of the reply arrive");
        break;
      }
      default:
        break;
    }
    trace("<- " + hex_bytes(reply.data(), reply.size()) + "  " +
          describe_reply(reply.data(), reply.size()));
    replies_.push_back(std::move(reply));
    return true;
  }

  // Returns the time to wait before reporting nothing (0: at once).
  uint32_t read(uint32_t index, uint8_t* buffer, uint32_t* length, bool* ok) {
    *ok = false;
    if (!is_ours(index) || !buffer || !length) {
      if (length) *length = 0;
      return 0;
    }
    if (replies_.empty()) {
      *length = 0;
      note("read: no reply");
      // An endless timeout would never end: nothing more is coming.
      return honour_timeout_ && read_timeout_ms_ != 0xFFFFFFFFu ? read_timeout_ms_ : 0;
    }
    const std::vector<uint8_t>& reply = replies_.front();
    const uint32_t n = static_cast<uint32_t>(std::min<size_t>(reply.size(), *length));
    if (n != 0) std::memcpy(buffer, reply.data(), n);
    *length = n;
    replies_.pop_front();
    *ok = true;
    return 0;
  }

  Reader reader_;
  bool opened_ = false;
  int device_index_ = 0;
  bool honour_timeout_ = false;
  bool save_on_close_ = false;
  long interrupt_save_at_ = -1;
  std::string image_path_;
  std::string trace_path_;
  std::FILE* trace_file_ = nullptr;
  uint32_t read_timeout_ms_ = kDefaultReadTimeoutMs;
  std::deque<std::vector<uint8_t>> replies_;
  std::deque<ExchangeFault> exchange_faults_;
  std::deque<int> call_faults_;
  std::deque<std::string> trace_;
  std::string last_error_;
};

VirtualReader& sim() {
  // Never destroyed: vendor calls may come from other libraries' teardown.
  static VirtualReader* instance = new VirtualReader;
  return *instance;
}

size_t copy_text(const std::string& text, char* buffer, size_t capacity) {
  if (buffer && capacity > 0) {
    const size_t n = std::min(text.size(), capacity - 1);
    std::memcpy(buffer, text.data(), n);
    buffer[n] = '\0';
  }
  return text.size();
}

}  // namespace
}  // namespace zubsim

using zubsim::Guard;
using zubsim::sim;

// ---- The seven vendor calls ----

extern "C" {

CH375_DECL CH375_HANDLE CH375_CALL CH375OpenDevice(uint32_t index) {
  {
    Guard guard(sim().lock);
    if (!sim().take_call_fault(ZUBSIM_CALL_OPEN)) return sim().open(index);
  }
  zubsim::raise_processor_fault("CH375OpenDevice");
}

CH375_DECL void CH375_CALL CH375CloseDevice(uint32_t index) {
  {
    Guard guard(sim().lock);
    if (!sim().take_call_fault(ZUBSIM_CALL_CLOSE)) {
      sim().close(index);
      return;
    }
  }
  zubsim::raise_processor_fault("CH375CloseDevice");
}

CH375_DECL int32_t CH375_CALL CH375ResetDevice(uint32_t index) {
  {
    Guard guard(sim().lock);
    if (!sim().take_call_fault(ZUBSIM_CALL_RESET)) return sim().reset(index) ? 1 : 0;
  }
  zubsim::raise_processor_fault("CH375ResetDevice");
}

CH375_DECL int32_t CH375_CALL CH375SetBufUpload(uint32_t index, uint32_t enable) {
  (void)enable;  // replies are produced on demand either way
  {
    Guard guard(sim().lock);
    if (!sim().take_call_fault(ZUBSIM_CALL_SET_BUF_UPLOAD)) return sim().is_ours(index) ? 1 : 0;
  }
  zubsim::raise_processor_fault("CH375SetBufUpload");
}

CH375_DECL int32_t CH375_CALL CH375SetTimeout(uint32_t index, uint32_t writeTimeoutMs,
                                              uint32_t readTimeoutMs) {
  (void)writeTimeoutMs;  // writes never wait
  {
    Guard guard(sim().lock);
    if (!sim().take_call_fault(ZUBSIM_CALL_SET_TIMEOUT)) {
      return sim().set_read_timeout(index, readTimeoutMs) ? 1 : 0;
    }
  }
  zubsim::raise_processor_fault("CH375SetTimeout");
}

CH375_DECL int32_t CH375_CALL CH375WriteData(uint32_t index, void* buffer, uint32_t* length) {
  {
    Guard guard(sim().lock);
    if (!sim().take_call_fault(ZUBSIM_CALL_WRITE)) {
      return sim().write(index, static_cast<const uint8_t*>(buffer), length) ? 1 : 0;
    }
  }
  zubsim::raise_processor_fault("CH375WriteData");
}

CH375_DECL int32_t CH375_CALL CH375ReadData(uint32_t index, void* buffer, uint32_t* length) {
  bool ok = false;
  bool fault;
  uint32_t wait = 0;
  {
    Guard guard(sim().lock);
    fault = sim().take_call_fault(ZUBSIM_CALL_READ);
    if (fault) {
      sim().replies_.clear();  // what was on its way is lost with the fault
    } else {
      wait = sim().read(index, static_cast<uint8_t*>(buffer), length, &ok);
    }
  }
  if (fault) zubsim::raise_processor_fault("CH375ReadData");
  if (wait != 0) zubsim::sleep_ms(wait);
  return ok ? 1 : 0;
}

// ---- The control API ----

ZUBSIM_API void zubsim_reset(void) {
  Guard guard(sim().lock);
  sim().configure();
}

ZUBSIM_API size_t zubsim_last_error(char* buffer, size_t capacity) {
  Guard guard(sim().lock);
  return zubsim::copy_text(sim().last_error_, buffer, capacity);
}

ZUBSIM_API void zubsim_set_device_index(int index) {
  Guard guard(sim().lock);
  sim().device_index_ = index < 0 || index > 255 ? -1 : index;
}

ZUBSIM_API int zubsim_device_open(void) {
  Guard guard(sim().lock);
  return sim().opened_ ? 1 : 0;
}

ZUBSIM_API void zubsim_set_honour_timeout(int on) {
  Guard guard(sim().lock);
  sim().honour_timeout_ = on != 0;
}

ZUBSIM_API int zubsim_beeper_on(void) {
  Guard guard(sim().lock);
  return sim().reader_.beeper_on() ? 1 : 0;
}

ZUBSIM_API unsigned zubsim_beep_count(void) {
  Guard guard(sim().lock);
  return sim().reader_.beeps();
}

ZUBSIM_API int zubsim_led_on(int led) {
  Guard guard(sim().lock);
  return led >= 0 && sim().reader_.led_on(static_cast<size_t>(led)) ? 1 : 0;
}

ZUBSIM_API int zubsim_led_level(void) {
  Guard guard(sim().lock);
  return sim().reader_.led_level();
}

ZUBSIM_API int zubsim_stored_key(int type, int slot, unsigned char* key) {
  Guard guard(sim().lock);
  if (type < 0 || type > 1 || slot < 0 || slot > 255 || !key) return -1;
  const auto stored =
      sim().reader_.stored_key(static_cast<zubsim::KeyType>(type), static_cast<uint8_t>(slot));
  if (!stored) return -1;
  std::memcpy(key, stored->data(), stored->size());
  return 0;
}

ZUBSIM_API int zubsim_new_card(int type, const unsigned char* uid) {
  Guard guard(sim().lock);
  if (type != ZUBSIM_CARD_1K && type != ZUBSIM_CARD_4K) {
    sim().last_error_ = "card type " + std::to_string(type) + " is neither 1K (1) nor 4K (4)";
    return -1;
  }
  zubsim::Uid id = zubsim::kDefaultUid;
  if (uid) std::memcpy(id.data(), uid, id.size());
  const zubsim::Card card(type == ZUBSIM_CARD_1K ? zubsim::CardType::k1K : zubsim::CardType::k4K,
                          id);
  sim().reader_.insert(card);
  sim().note("new " + zubsim::VirtualReader::describe_card(card) + " in the field");
  return 0;
}

ZUBSIM_API int zubsim_insert_image(const unsigned char* image, size_t size) {
  Guard guard(sim().lock);
  if (!image) size = 0;
  return sim().insert_image(image, size, "card image from memory") ? 0 : -1;
}

ZUBSIM_API int zubsim_load_image(const char* path) {
  Guard guard(sim().lock);
  return path && sim().load_image(path) ? 0 : -1;
}

ZUBSIM_API void zubsim_interrupt_next_save(long bytes) {
  Guard guard(sim().lock);
  sim().interrupt_save_at_ = bytes < 0 ? -1 : bytes;
}

ZUBSIM_API int zubsim_save_image(const char* path) {
  Guard guard(sim().lock);
  return path && sim().save_image(path) ? 0 : -1;
}

ZUBSIM_API size_t zubsim_card_image(unsigned char* buffer, size_t capacity) {
  Guard guard(sim().lock);
  const zubsim::Card* card = sim().reader_.card();
  if (!card) return 0;
  const std::vector<uint8_t>& image = card->image();
  if (buffer && capacity >= image.size()) std::memcpy(buffer, image.data(), image.size());
  return image.size();
}

ZUBSIM_API void zubsim_take_out_card(void) {
  Guard guard(sim().lock);
  if (sim().reader_.card_in_field()) sim().note("card taken out of the field");
  sim().reader_.take_out();
}

ZUBSIM_API int zubsim_put_back_card(void) {
  Guard guard(sim().lock);
  if (!sim().reader_.card()) return -1;
  sim().reader_.put_back();
  sim().note("card put back into the field");
  return 0;
}

ZUBSIM_API int zubsim_card_in_field(void) {
  Guard guard(sim().lock);
  return sim().reader_.card_in_field() ? 1 : 0;
}

ZUBSIM_API int zubsim_card_state(void) {
  Guard guard(sim().lock);
  const zubsim::Card* card = sim().reader_.card();
  return card ? static_cast<int>(card->state()) : -1;
}

ZUBSIM_API size_t zubsim_trace(char* buffer, size_t capacity) {
  Guard guard(sim().lock);
  std::string text;
  for (const std::string& line : sim().trace_) text += line + '\n';
  return zubsim::copy_text(text, buffer, capacity);
}

ZUBSIM_API void zubsim_clear_trace(void) {
  Guard guard(sim().lock);
  sim().trace_.clear();
}

ZUBSIM_API void zubsim_fault_exchange(int kind, int arg, unsigned count) {
  Guard guard(sim().lock);
  if (kind < ZUBSIM_FAULT_NO_REPLY || kind > ZUBSIM_FAULT_TRUNCATED) return;
  for (unsigned i = 0; i < count; ++i) sim().exchange_faults_.push_back({kind, arg});
}

ZUBSIM_API void zubsim_fault_call(int call, unsigned count) {
  Guard guard(sim().lock);
  if (call < ZUBSIM_CALL_OPEN || call > ZUBSIM_CALL_READ) return;
  for (unsigned i = 0; i < count; ++i) sim().call_faults_.push_back(call);
}

ZUBSIM_API void zubsim_clear_faults(void) {
  Guard guard(sim().lock);
  sim().exchange_faults_.clear();
  sim().call_faults_.clear();
}

}  // extern "C"
