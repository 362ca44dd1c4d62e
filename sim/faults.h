// Faults injected into the virtual reader: exchange faults (what happens to a
// request on its way in and to its reply on its way out) and processor
// faults raised inside a vendor call. A new exchange fault kind is a number
// in zubsim.h and one entry, with what it does, in faults.cpp's table.
#ifndef MIFAREZUB_SIM_FAULTS_H
#define MIFAREZUB_SIM_FAULTS_H

#include <cstdint>
#include <cstddef>
#include <deque>
#include <string>
#include <vector>

#include "trace.h"

namespace zubsim {

struct ExchangeFault {
  int kind = 0;  // 0: none
  int arg = -1;
};

// A reply on its way to the host.
struct Reply {
  std::vector<uint8_t> bytes;
  bool lost = false;  // never arrives
  bool late = false;  // arrives after the first read that looks for it
  // The next read fails without touching the count or the buffer: 1 returns
  // FALSE, 2 TRUE.
  int untouched_read = 0;
};

bool known_exchange_fault(int kind);
// The kind of an exchange fault by its name in the command file
// ("torn-write") or its number; 0 for neither.
int exchange_fault_by_name(const std::string& name);
const char* exchange_fault_name(int kind);
bool known_call(int call);
const char* call_name(int call);

// Whether the request reaches the reader under `fault` (noted on the trace
// when it does not).
bool request_arrives(const ExchangeFault& fault, Trace& trace);
// What `fault` does to the reply the reader made, noted on the trace.
void fault_reply(const ExchangeFault& fault, Reply* reply, Trace& trace);
// Whether `fault` lets the card answer the request as done but keep none of
// what it changed in its memory (a torn write).
bool card_keeps_nothing(const ExchangeFault& fault);

// The faults waiting, each kind in the order given.
class Faults {
 public:
  // False (and nothing queued) for a kind or call the reader does not know.
  bool add_exchange(int kind, int arg, unsigned count);
  bool add_call(int call, unsigned count);
  void clear();
  // The fault the exchange of request `frame` takes (kind 0: none): the one
  // at the front of the queue, unless that one waits for another command.
  ExchangeFault next_exchange(const uint8_t* frame, size_t size);
  // True if the next call of `call` is to fault (and uses that fault up).
  bool take_call(int call);

 private:
  std::deque<ExchangeFault> exchanges_;
  std::deque<int> calls_;
};

// The processor fault of a vendor call: natively a std::runtime_error thrown
// out of it, on Windows an access violation.
[[noreturn]] void raise_processor_fault(int call);

}  // namespace zubsim

#endif  // MIFAREZUB_SIM_FAULTS_H
