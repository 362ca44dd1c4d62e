#include "faults.h"

#include <cstdlib>
#include <stdexcept>
#include <string>

#include "firmware.h"
#include "zubsim.h"

namespace zubsim {
namespace {

std::string lose(int, Reply* reply) {
  reply->lost = true;
  return "the reply " + hex_bytes(reply->bytes.data(), reply->bytes.size()) + " is lost";
}

std::string bad_check(int, Reply* reply) {
  reply->bytes.back() ^= 0x01;
  return "wrong check byte";
}

std::string other_command(int arg, Reply* reply) {
  std::vector<uint8_t>& r = reply->bytes;
  const uint8_t echoed = arg < 0 ? static_cast<uint8_t>(r[1] + 1) : static_cast<uint8_t>(arg);
  r[1] = echoed;
  r.back() = xor_of(r.data(), r.size() - 1);
  return "the reply echoes command " + hex_bytes(&echoed, 1);
}

std::string truncate(int arg, Reply* reply) {
  std::vector<uint8_t>& r = reply->bytes;
  size_t keep = r.size() - 1;
  if (arg >= 0 && static_cast<size_t>(arg) < r.size()) keep = static_cast<size_t>(arg);
  r.resize(keep);
  return "only " + std::to_string(keep) + " bytes of the reply arrive";
}

// A reply that comes after the read waiting for it has given up stays in the
// reader chip's buffer, and the next read gets it.
std::string hold_back(int, Reply* reply) {
  reply->late = true;
  return "the reply is late: the next read finds nothing, the one after it gets the reply";
}

// Some vendor libraries fail a read without saying how much came, and hand
// back the caller's count and buffer as they were.
std::string fail_next_read(int arg, Reply* reply) {
  reply->untouched_read = arg == 0 ? 1 : 2;
  return std::string("the next read fails without touching the count or the buffer, returning ") +
         (arg == 0 ? "FALSE" : "TRUE");
}

// The reader's status replaced: the same command echoed, status `arg`, no
// fields.
std::string other_status(int arg, Reply* reply) {
  const uint8_t command = reply->bytes[1];
  const Status status = static_cast<Status>(static_cast<uint8_t>(arg));
  reply->bytes.resize(5);
  reply->bytes.resize(build_reply(command, status, nullptr, 0, reply->bytes.data(), 5));
  return "the reply carries status " + std::to_string(static_cast<uint8_t>(arg)) + " and no fields";
}

// A write (60) or a transfer (A0) into block `arg`, or into any block when
// `arg` is below 0. Frame: L, command, lead byte, block, ...
bool writes_block(int arg, const uint8_t* frame, size_t size) {
  if (size < 5 || (frame[1] != 0x60 && frame[1] != 0xA0)) return false;
  return arg < 0 || frame[3] == arg;
}

struct Kind {
  int kind;
  const char* name;  // in the command file
  bool request_arrives;
  std::string (*reply)(int arg, Reply* reply);  // what it does to the reply
  // The requests it waits for; null: any.
  bool (*applies)(int arg, const uint8_t* frame, size_t size);
  bool card_keeps_nothing;  // done as far as the reply says, undone in the card
};

const Kind kKinds[] = {
    // the command runs, its reply is lost
    {ZUBSIM_FAULT_NO_REPLY, "no-reply", true, lose, nullptr, false},
    // nothing runs
    {ZUBSIM_FAULT_LOST_REQUEST, "lost-request", false, nullptr, nullptr, false},
    // the reply is damaged
    {ZUBSIM_FAULT_BAD_CHECK, "bad-check", true, bad_check, nullptr, false},
    // it answers another command
    {ZUBSIM_FAULT_OTHER_COMMAND, "other-command", true, other_command, nullptr, false},
    // part of it arrives
    {ZUBSIM_FAULT_TRUNCATED, "truncated", true, truncate, nullptr, false},
    // it arrives one read late
    {ZUBSIM_FAULT_LATE_REPLY, "late-reply", true, hold_back, nullptr, false},
    // the read meant for it fails
    {ZUBSIM_FAULT_READ_UNTOUCHED, "read-untouched", true, fail_next_read, nullptr, false},
    // the card says done and keeps the block as it was
    {ZUBSIM_FAULT_TORN_WRITE, "torn-write", true, nullptr, writes_block, true},
    // it reports another status
    {ZUBSIM_FAULT_STATUS, "status", true, other_status, nullptr, false},
};

const Kind* kind_of(int kind) {
  for (const Kind& k : kKinds) {
    if (k.kind == kind) return &k;
  }
  return nullptr;
}

struct Call {
  int call;
  const char* name;
};

const Call kCalls[] = {
    {ZUBSIM_CALL_OPEN, "CH375OpenDevice"},        {ZUBSIM_CALL_CLOSE, "CH375CloseDevice"},
    {ZUBSIM_CALL_RESET, "CH375ResetDevice"},      {ZUBSIM_CALL_SET_BUF_UPLOAD, "CH375SetBufUpload"},
    {ZUBSIM_CALL_SET_TIMEOUT, "CH375SetTimeout"}, {ZUBSIM_CALL_WRITE, "CH375WriteData"},
    {ZUBSIM_CALL_READ, "CH375ReadData"},
};

}  // namespace

bool known_exchange_fault(int kind) {
  return kind_of(kind) != nullptr;
}

int exchange_fault_by_name(const std::string& name) {
  for (const Kind& k : kKinds) {
    if (name == k.name || name == std::to_string(k.kind)) return k.kind;
  }
  return 0;
}

const char* exchange_fault_name(int kind) {
  const Kind* k = kind_of(kind);
  return k ? k->name : "?";
}

bool card_keeps_nothing(const ExchangeFault& fault) {
  const Kind* k = kind_of(fault.kind);
  return k && k->card_keeps_nothing;
}

bool known_call(int call) {
  for (const Call& c : kCalls) {
    if (c.call == call) return true;
  }
  return false;
}

const char* call_name(int call) {
  for (const Call& c : kCalls) {
    if (c.call == call) return c.name;
  }
  return "?";
}

bool request_arrives(const ExchangeFault& fault, Trace& trace) {
  const Kind* k = kind_of(fault.kind);
  if (!k || k->request_arrives) return true;
  trace.note("fault: the request is lost on the way");
  return false;
}

void fault_reply(const ExchangeFault& fault, Reply* reply, Trace& trace) {
  const Kind* k = kind_of(fault.kind);
  if (k && k->reply && !reply->bytes.empty()) trace.note("fault: " + k->reply(fault.arg, reply));
}

bool Faults::add_exchange(int kind, int arg, unsigned count) {
  if (!known_exchange_fault(kind)) return false;
  for (unsigned i = 0; i < count; ++i) exchanges_.push_back({kind, arg});
  return true;
}

bool Faults::add_call(int call, unsigned count) {
  if (!known_call(call)) return false;
  for (unsigned i = 0; i < count; ++i) calls_.push_back(call);
  return true;
}

void Faults::clear() {
  exchanges_.clear();
  calls_.clear();
}

ExchangeFault Faults::next_exchange(const uint8_t* frame, size_t size) {
  if (exchanges_.empty()) return {};
  const ExchangeFault fault = exchanges_.front();
  const Kind* k = kind_of(fault.kind);
  if (k && k->applies && !k->applies(fault.arg, frame, size)) return {};
  exchanges_.pop_front();
  return fault;
}

bool Faults::take_call(int call) {
  for (auto it = calls_.begin(); it != calls_.end(); ++it) {
    if (*it == call) {
      calls_.erase(it);
      return true;
    }
  }
  return false;
}

void raise_processor_fault(int call) {
#if defined(_WIN32)
  // A real access violation: a volatile write through a null pointer the
  // compiler cannot see through. (A plain store would be dropped as dead
  // before the abort below.)
  (void)call;
  volatile int* volatile nowhere = nullptr;
  *nowhere = 0;
  std::abort();
#else
  throw std::runtime_error(std::string("virtual reader: fault injected in ") + call_name(call));
#endif
}

}  // namespace zubsim
