// Fault containment for calls into the vendor library.
//
// A vendor call may fail in ways no result code reports: natively by throwing a
// C++ exception, on Windows also by a processor exception (an access violation
// inside CH375DLL.DLL, say). None of that may cross into the host, so every
// vendor call the link makes runs through Guarded(), the library's one place
// that catches such faults.
//
// Exceptions that the vendor library raises and handles itself inside a call
// never reach the guard and are left alone.
#ifndef MIFAREZUB_LINK_GUARD_H
#define MIFAREZUB_LINK_GUARD_H

namespace mzub {

// Runs fn(arg). Returns true when fn returned normally, false when a fault
// escaped from it; in that case fn's frames (and the vendor's beneath it) are
// abandoned without unwinding C++ objects, so fn must hold none with a
// destructor: pass plain data in and out through arg.
bool Guarded(void (*fn)(void* arg), void* arg) noexcept;

}  // namespace mzub

#endif  // MIFAREZUB_LINK_GUARD_H
