// The virtual readers of a process, and the lock that every vendor call and
// control call holds while it acts on them.
#ifndef MIFAREZUB_SIM_INSTANCE_H
#define MIFAREZUB_SIM_INSTANCE_H

#if defined(_WIN32)
#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#else
#include <mutex>
#endif

#include <memory>
#include <vector>

#include "command_file.h"
#include "usb_device.h"

namespace zubsim {

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

struct Instance {
  Instance() : Instance(config_from_environment()) {}
  explicit Instance(const Config& config) : device(config) { add_readers(config); }

  // Back to a fresh start with `config`, every reader.
  void configure(const Config& config) {
    device.configure(config);
    add_readers(config);
  }

  // The reader a vendor call for `index` goes to: the one at that index, or
  // the first, which then answers as for an index it does not have.
  Device& at(uint32_t index) {
    for (const std::unique_ptr<Device>& d : more) {
      if (d->device_index() >= 0 && static_cast<uint32_t>(d->device_index()) == index) return *d;
    }
    return device;
  }

  // Runs what was appended to the command file since the last call.
  void run_commands() {
    for (const std::string& line : commands.new_lines()) {
      ControlCommand command;
      std::string problem;
      switch (parse_control_line(line, &command, &problem)) {
        case LineKind::kCommand:
          device.trace().note("command file: " + line);
          at(static_cast<uint32_t>(command.index)).run(command);
          break;
        case LineKind::kProblem:
          device.trace().warn("command file: " + problem);
          break;
        case LineKind::kSkip:
          break;
      }
    }
  }

  Lock lock;
  // The first reader: the one the control API acts on.
  Device device;
  // ZUBSIM_READERS beyond the first, each at the next index with a card of
  // its own, made as the first one's.
  std::vector<std::unique_ptr<Device>> more;
  CommandFile commands;

 private:
  void add_readers(const Config& config) {
    more.clear();
    commands.start(config.control);
    for (int k = 1; k < config.readers && config.device_index >= 0; ++k) {
      Config other = config;
      other.device_index = config.device_index + k;
      other.save_on_close = false;  // only the first reader writes the image back
      other.messages.clear();       // reported once, by the first
      more.push_back(std::make_unique<Device>(other));
    }
  }
};

// Built on first use from the ZUBSIM_ variables; never destroyed, as vendor
// calls may come from other libraries' teardown.
Instance& instance();

// Runs `body` on the whole instance with the lock held; returns what it
// returns.
template <typename Body>
auto locked_instance(Body body) -> decltype(body(instance())) {
  Instance& i = instance();
  i.lock.lock();
  struct Unlock {
    Lock& lock;
    ~Unlock() { lock.unlock(); }
  } unlock{i.lock};
  return body(i);
}

// The same on the first reader.
template <typename Body>
auto locked(Body body) -> decltype(body(instance().device)) {
  return locked_instance([&](Instance& i) -> decltype(body(i.device)) { return body(i.device); });
}

}  // namespace zubsim

#endif  // MIFAREZUB_SIM_INSTANCE_H
