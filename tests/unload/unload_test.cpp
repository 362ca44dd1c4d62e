// A host that loads the library, uses it (a contained fault included), frees
// it, and then raises and handles exceptions of its own must keep running.
//
// Whatever the library leaves behind once unloaded and the system still
// reaches while dispatching an exception (a registration record in the x86
// chain, a vectored handler, a function table) points into unmapped memory
// then. So the host's handler is set up before the library is loaded, further
// out than anything the library could have left, and the host's exceptions
// are raised after the unload with no handler nearer: dispatch has to walk
// past every such leftover to get there.
#include <stdint.h>
#include <windows.h>

#include <stdexcept>

#include <gtest/gtest.h>

#include "ch375_double.h"
#include "guard.h"

namespace {

// The exports this test calls, by name and with the header's convention.
struct Library {
  HMODULE module = nullptr;
  int32_t(WINAPI* openComm)(int32_t, int32_t) = nullptr;
  int32_t(WINAPI* closeComm)() = nullptr;
  int32_t(WINAPI* halt)() = nullptr;
};

bool Load(Library& lib) {
  lib.module = LoadLibraryA("MifareZUB.dll");
  if (lib.module == nullptr) return false;
  lib.openComm = reinterpret_cast<decltype(lib.openComm)>(
      reinterpret_cast<void*>(GetProcAddress(lib.module, "OpenComm")));
  lib.closeComm = reinterpret_cast<decltype(lib.closeComm)>(
      reinterpret_cast<void*>(GetProcAddress(lib.module, "CloseComm")));
  lib.halt = reinterpret_cast<decltype(lib.halt)>(
      reinterpret_cast<void*>(GetProcAddress(lib.module, "mif_Halt")));
  return lib.openComm && lib.closeComm && lib.halt;
}

const uint8_t kHaltOk[] = {0x04, 0xD0, 0x01, 0x00, 0xD5};

// What the library did while loaded, for the checks outside the guard.
struct Use {
  bool loaded = false;
  int32_t open = 99, faulted = 99, selfHandled = 99, close = 99;
  bool freed = false;
  bool gone = false;
};

void LoadUseAndFree(Use& use) {
  Library lib;
  use.loaded = Load(lib);
  if (!use.loaded) return;
  dbl_reset();
  use.open = lib.openComm(0, 0);
  // An exception the vendor raises and handles itself.
  dbl_self_handled_next(DBL_WRITE);
  dbl_queue_reply(kHaltOk, sizeof kHaltOk);
  use.selfHandled = lib.halt();
  // An access violation inside the vendor call, contained by the library.
  dbl_fault_next(DBL_SET_TIMEOUT);
  use.faulted = lib.halt();
  use.close = lib.closeComm();
  use.freed = FreeLibrary(lib.module) != FALSE;
  use.gone = GetModuleHandleA("MifareZUB.dll") == nullptr;
}

constexpr DWORD kHostException = 0xE0484F53;  // a code of the host's own

struct HostRun {
  Use use;
  int afterRaise = 0;
};

// Loads, uses and frees the library, then raises the host's own exception:
// only the host's handler, further out, can take it.
void UseThenRaise(void* arg) {
  HostRun& run = *static_cast<HostRun*>(arg);
  LoadUseAndFree(run.use);
  RaiseException(kHostException, 0, 0, nullptr);
  run.afterRaise = 1;
}

// The same, with an access violation of the host's own.
void UseThenFault(void* arg) {
  HostRun& run = *static_cast<HostRun*>(arg);
  LoadUseAndFree(run.use);
  *static_cast<volatile int*>(nullptr) = 0;
  run.afterRaise = 1;
}

void ExpectUsedAndUnloaded(const Use& use) {
  ASSERT_TRUE(use.loaded) << "MifareZUB.dll did not load";
  EXPECT_EQ(use.open, 0);
  EXPECT_EQ(use.faulted, -2) << "the fault inside the vendor call was not contained";
  EXPECT_EQ(use.selfHandled, 0);
  EXPECT_EQ(use.close, 0);
  EXPECT_EQ(dbl_self_handled_count(), 1u);
  EXPECT_TRUE(use.freed);
  EXPECT_TRUE(use.gone) << "MifareZUB.dll stayed loaded after FreeLibrary";
}

TEST(Unload, HostHandlesItsOwnExceptionAfterFreeLibrary) {
  HostRun run;
  // mzub::Guarded here is the host's own copy, linked into this program: a
  // handler of the host's, like any __try or try/except block of a host.
  EXPECT_FALSE(mzub::Guarded(UseThenRaise, &run));
  EXPECT_EQ(run.afterRaise, 0);
  ExpectUsedAndUnloaded(run.use);
}

TEST(Unload, HostHandlesItsOwnFaultAfterFreeLibrary) {
  HostRun run;
  EXPECT_FALSE(mzub::Guarded(UseThenFault, &run));
  EXPECT_EQ(run.afterRaise, 0);
  ExpectUsedAndUnloaded(run.use);
}

TEST(Unload, LoadsAgainAndTheHostsCppExceptionsStillWork) {
  for (int round = 0; round < 3; ++round) {
    Use use;
    LoadUseAndFree(use);
    ExpectUsedAndUnloaded(use);
    EXPECT_THROW(throw std::runtime_error("the host's own"), std::runtime_error);
  }
}

}  // namespace
