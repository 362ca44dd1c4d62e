// Why the last CH375OpenDevice of the libusb libCH375DLL.so failed.
//
// This call is the libusb library's own, beside the seven vendor calls: the
// vendor's open reports only "no handle", which cannot tell a missing reader
// from one the user may not open. Hosts look it up at run time in the vendor
// library they loaded (dlsym; it is absent from the virtual reader and from
// other vendor libraries), so that the same host runs with any of them:
//
//   void* vendor = dlopen("libCH375DLL.so", RTLD_NOW | RTLD_NOLOAD);
//   CH375GetLastOpenErrorFn get = vendor == NULL ? NULL :
//       (CH375GetLastOpenErrorFn)dlsym(vendor, "CH375GetLastOpenError");
//   int why = get != NULL ? get() : CH375_OPEN_UNKNOWN;
#ifndef MIFAREZUB_VENDOR_LIBUSB_CH375_OPEN_ERROR_H
#define MIFAREZUB_VENDOR_LIBUSB_CH375_OPEN_ERROR_H

// The codes. They are fixed: hosts and the bindings compare with the numbers.
#define CH375_OPEN_OK 0             // the last open on this thread succeeded (or none yet)
#define CH375_OPEN_NO_DEVICE 1      // no reader at that index
#define CH375_OPEN_ACCESS_DENIED 2  // a reader is there; this user may not open its node
#define CH375_OPEN_BUSY 3           // another program (or kernel driver) holds its interface
#define CH375_OPEN_NO_USB 4         // libusb cannot start: no USB access at all
#define CH375_OPEN_FAILED 5         // any other failure (I/O error, out of memory, gone)
// Not returned by the call: what a host takes when the loaded vendor library
// does not have it.
#define CH375_OPEN_UNKNOWN (-1)

#ifdef __cplusplus
extern "C" {
#endif

// Why the last CH375OpenDevice on the calling thread failed (CH375_OPEN_OK
// after a successful one), like errno: a thread's own opens only. (The
// library is Linux-only: a plain C function.)
#if defined(CH375DLL_BUILD)
__attribute__((visibility("default")))
#endif
int CH375GetLastOpenError(void);

typedef int (*CH375GetLastOpenErrorFn)(void);

#ifdef __cplusplus
}
#endif

#endif  // MIFAREZUB_VENDOR_LIBUSB_CH375_OPEN_ERROR_H
