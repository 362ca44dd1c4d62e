// Every export timed against the instant reader, with the heap allocations
// and the vendor writes and reads each call makes, and two baselines: the
// vendor's share of one exchange, and an uncontended platform lock.
#include <pthread.h>

#include <benchmark/benchmark.h>

#include "CH375DLL.h"
#include "MifareZUB.h"
#include "hooks.h"
#include "instant_reader.h"
#include "protocol.h"

namespace {

char textBuffer[64];
char* text = textBuffer;
int32_t number = 0;

// Runs `call` in the timed loop and reports per call: allocations, vendor
// writes and vendor reads. Before timing, one call must give `expected`.
template <class Call>
void Measure(benchmark::State& state, int32_t expected, Call call) {
  if (call() != expected) {
    state.SkipWithError("unexpected result: is the test double the one loaded?");
    return;
  }
  const mzb::VendorCounts vendor = mzb::VendorCounts::Now();
  const uint64_t allocations = mzb::Allocations();
  for (auto _ : state) benchmark::DoNotOptimize(call());
  const uint64_t allocated = mzb::Allocations() - allocations;
  const mzb::VendorCounts after = mzb::VendorCounts::Now();
  using benchmark::Counter;
  const auto perCall = [](uint64_t n) {
    return Counter(static_cast<double>(n), Counter::kAvgIterations);
  };
  state.counters["allocs"] = perCall(allocated);
  state.counters["writes"] = perCall(after.calls[DBL_WRITE] - vendor.calls[DBL_WRITE]);
  state.counters["reads"] = perCall(after.calls[DBL_READ] - vendor.calls[DBL_READ]);
}

// A command against an open link.
template <class Call>
void Command(benchmark::State& state, int32_t expected, Call call) {
  if (OpenComm(0, 0) != MZ_OK) {
    state.SkipWithError("OpenComm failed: is the test double the one loaded?");
    return;
  }
  Measure(state, expected, call);
  CloseComm();
}

// ---- The link -------------------------------------------------------------

// Each call closes the link the previous one opened and opens a new one.
void BM_OpenComm(benchmark::State& state) {
  Measure(state, MZ_OK, [] { return OpenComm(0, 0); });
  CloseComm();
}
void BM_OpenCommCloseComm(benchmark::State& state) {
  Measure(state, MZ_OK, [] {
    const int32_t opened = OpenComm(0, 0);
    return opened | CloseComm();
  });
}
void BM_CloseCommNoLink(benchmark::State& state) {
  Measure(state, MZ_OK, [] { return CloseComm(); });
}
BENCHMARK(BM_OpenComm);
BENCHMARK(BM_OpenCommCloseComm);
BENCHMARK(BM_CloseCommNoLink);

// ---- Card commands --------------------------------------------------------

#define MZ_COMMAND_BENCHMARK(name, expected, expr) \
  void BM_##name(benchmark::State& state) {        \
    Command(state, expected, [] { return expr; }); \
  }                                                \
  BENCHMARK(BM_##name)

MZ_COMMAND_BENCHMARK(mif_Request, 0, mif_Request(1, &number));
MZ_COMMAND_BENCHMARK(mif_Anticollision, 0, mif_Anticollision(&text));
MZ_COMMAND_BENCHMARK(mif_Select, 0, mif_Select("8A3F21C45E", &number));
MZ_COMMAND_BENCHMARK(mif_LoadKey, 0, mif_LoadKey(0, 0, "FFFFFFFFFFFF"));
MZ_COMMAND_BENCHMARK(mif_Authentication, 0, mif_Authentication(0, 0, 4));
MZ_COMMAND_BENCHMARK(mif_Read, 0, mif_Read(4, &text));
MZ_COMMAND_BENCHMARK(mif_Write, 0, mif_Write(4, "00112233445566778899AABBCCDDEEFF"));
MZ_COMMAND_BENCHMARK(mif_Increment, 0, mif_Increment(5, 100));
MZ_COMMAND_BENCHMARK(mif_Decrement, 0, mif_Decrement(5, 100));
MZ_COMMAND_BENCHMARK(mif_Restore, 0, mif_Restore(5));
MZ_COMMAND_BENCHMARK(mif_Transfer, 0, mif_Transfer(5));
MZ_COMMAND_BENCHMARK(mif_Halt, 0, mif_Halt());

// ---- Reader signals and texts ---------------------------------------------

MZ_COMMAND_BENCHMARK(zub_beep, 0, zub_beep(1));
// Two exchanges and no wait.
MZ_COMMAND_BENCHMARK(zub_beepms, 0, zub_beepms(0));
MZ_COMMAND_BENCHMARK(zub_LED, 0, zub_LED(1, 1));
MZ_COMMAND_BENCHMARK(zub_LEDx, 0, zub_LEDx(127));
MZ_COMMAND_BENCHMARK(mif_CtrlRelay, 0, mif_CtrlRelay(1, 1));
MZ_COMMAND_BENCHMARK(ErrMsg, 0, (ErrMsg(-2, &text), 0));

// A command with no link: the cheapest path through an export.
void BM_mif_ReadNoLink(benchmark::State& state) {
  Measure(state, MZ_NO_LINK, [] { return mif_Read(4, &text); });
}
BENCHMARK(BM_mif_ReadNoLink);

// ---- Baselines ------------------------------------------------------------

// The vendor's share of one mif_Read exchange: the three calls the link makes,
// made directly with the frame mif_Read(4) writes.
void BM_VendorExchange(benchmark::State& state) {
  if (CH375OpenDevice(0) == CH375_INVALID_HANDLE) {
    state.SkipWithError("the test double did not open device 0");
    return;
  }
  uint8_t frame[256] = {0x04, 0x50, 0x01, 0x04, 0x51};
  Measure(state, 1, [&frame] {
    uint32_t n = 5;
    CH375WriteData(0, frame, &n);
    CH375SetTimeout(0, 100, 100);
    n = 32;
    CH375ReadData(0, frame, &n);
    frame[0] = 0x04;  // the request again, over the reply
    frame[1] = 0x50;
    frame[2] = 0x01;
    frame[3] = 0x04;
    frame[4] = 0x51;
    return static_cast<int32_t>(n == 5 + zubsim::reply_fields(zubsim::cmd::kRead));
  });
  CH375CloseDevice(0);
}
BENCHMARK(BM_VendorExchange);

// An uncontended lock and unlock of a platform mutex: what serializing the
// exports adds to every call.
void BM_PlatformLock(benchmark::State& state) {
  static pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
  Measure(state, 0, [] { return pthread_mutex_lock(&mutex) | pthread_mutex_unlock(&mutex); });
}
BENCHMARK(BM_PlatformLock);

}  // namespace

int main(int argc, char** argv) {
  mzb::InstallInstantReader();
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
