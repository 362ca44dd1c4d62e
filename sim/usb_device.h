// The virtual reader as a USB device: the reader firmware with its card, the
// replies on their way to the host, the configuration it was started with,
// its trace and the faults waiting for it. The seven vendor calls and the
// control API act on one Device through these methods only.
//
// Not thread-safe by itself: its users hold one lock around every call.
#ifndef MIFAREZUB_SIM_USB_DEVICE_H
#define MIFAREZUB_SIM_USB_DEVICE_H

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "CH375DLL.h"
#include "command_file.h"
#include "config.h"
#include "faults.h"
#include "firmware.h"
#include "trace.h"

namespace zubsim {

class Device {
 public:
  // Until the host sets one.
  static constexpr uint32_t kDefaultReadTimeoutMs = 1000;

  explicit Device(const Config& config) { configure(config); }
  Device(const Device&) = delete;
  Device& operator=(const Device&) = delete;

  // Back to a fresh start with `config`: closed, no replies, no faults, a new
  // trace, the reader's key store and signals cleared, the card from the
  // configuration.
  void configure(const Config& config);

  // ---- What the vendor calls do ----

  // A handle for the reader's index, else CH375_INVALID_HANDLE.
  CH375_HANDLE open(uint32_t index);
  void close(uint32_t index);
  bool reset(uint32_t index);
  bool is_ours(uint32_t index) const;
  bool set_read_timeout(uint32_t index, uint32_t ms);
  // How long the host is kept waiting by each request it writes (the
  // configured exchange delay), outside the reader's lock.
  uint32_t exchange_delay_ms() const { return config_.exchange_delay_ms; }
  // One request frame: the reader answers it, the reply is queued.
  bool write(uint32_t index, const uint8_t* frame, uint32_t* length);
  // The oldest reply, cut to *length. Returns how long to wait before
  // reporting that nothing came (0: at once); *ok is the call's result.
  uint32_t read(uint32_t index, uint8_t* buffer, uint32_t* length, bool* ok);
  // True if this call of `call` is to raise a processor fault (noted on the
  // trace; a faulted read loses what was on its way).
  bool take_call_fault(int call);

  // ---- What the control API does ----

  void set_device_index(int index) { device_index_ = index < 0 || index > 255 ? -1 : index; }
  int device_index() const { return device_index_; }
  // A command from the command file (ZUBSIM_CONTROL) for this reader.
  void run(const ControlCommand& command);
  bool device_open() const { return opened_; }
  void set_honour_timeout(bool on) { honour_timeout_ = on; }
  const ReaderFirmware& reader() const { return reader_; }

  bool new_card(int type, const Uid& uid);
  bool insert_image(const uint8_t* bytes, size_t size, const std::string& what);
  bool load_image(const std::string& path);
  bool save_image(const std::string& path);
  void interrupt_next_save(long bytes) { interrupt_save_at_ = bytes < 0 ? -1 : bytes; }
  void take_out_card();
  bool put_back_card();

  bool add_exchange_faults(int kind, int arg, unsigned count) {
    return faults_.add_exchange(kind, arg, count);
  }
  bool add_call_faults(int call, unsigned count) { return faults_.add_call(call, count); }
  void clear_faults() { faults_.clear(); }

  Trace& trace() { return trace_; }
  const Trace& trace() const { return trace_; }

 private:
  static std::string describe_card(const Card& card);
  void drop_replies() { replies_.clear(); }

  Config config_;
  ReaderFirmware reader_;
  bool opened_ = false;
  int device_index_ = 0;
  bool honour_timeout_ = false;
  long interrupt_save_at_ = -1;
  uint32_t read_timeout_ms_ = kDefaultReadTimeoutMs;
  std::deque<Reply> replies_;
  Faults faults_;
  Trace trace_;
};

}  // namespace zubsim

#endif  // MIFAREZUB_SIM_USB_DEVICE_H
