// Our declarations of the seven calls of the USB chip vendor's library
// (CH375DLL.DLL on Windows, libCH375DLL.so natively) that the reader link uses.
//
// Every call takes the device index first. On 32-bit Windows the calls use the
// Windows API convention (the callee pops its arguments) and are exported under
// their plain names; CH375DLL.def beside this file lists them with their
// argument sizes so that an import library can be generated from it.
//
// A realisation of these calls (the vendor's DLL, the virtual reader, a libusb
// backend, a test double) must keep the contract written on each declaration:
// the link relies on nothing more.
#ifndef MIFAREZUB_VENDOR_CH375DLL_H
#define MIFAREZUB_VENDOR_CH375DLL_H

#include <stdint.h>

#if defined(_WIN32)
#define CH375_CALL __stdcall
#if defined(CH375DLL_BUILD)
#define CH375_DECL
#else
#define CH375_DECL __declspec(dllimport)
#endif
#else
#define CH375_CALL
#if defined(CH375DLL_BUILD)
#define CH375_DECL __attribute__((visibility("default")))
#else
#define CH375_DECL
#endif
#endif

#ifdef __cplusplus
extern "C" {
#endif

// A device handle as the vendor returns it. The link only compares it with
// CH375_INVALID_HANDLE and never keeps it: every later call names the device
// by its index again.
typedef void* CH375_HANDLE;
#define CH375_INVALID_HANDLE ((CH375_HANDLE)(intptr_t)-1)

// Opens device `index`. Returns CH375_INVALID_HANDLE (all bits set) when there
// is no such device or it cannot be opened; any other value means open.
CH375_DECL CH375_HANDLE CH375_CALL CH375OpenDevice(uint32_t index);

// Closes device `index`. Safe on a device that is not open.
CH375_DECL void CH375_CALL CH375CloseDevice(uint32_t index);

// Resets the USB device `index`. Nonzero on success.
CH375_DECL int32_t CH375_CALL CH375ResetDevice(uint32_t index);

// With `enable` 0, every read goes straight to the device's data pipe instead
// of a buffer the vendor fills in the background. Nonzero on success.
CH375_DECL int32_t CH375_CALL CH375SetBufUpload(uint32_t index, uint32_t enable);

// Sets the write and the read timeout in milliseconds (0xFFFFFFFF: none).
// Bounds every later write and read until the next call. Before the first
// call the vendor's own default applies. Nonzero on success.
CH375_DECL int32_t CH375_CALL CH375SetTimeout(uint32_t index, uint32_t writeTimeoutMs,
                                              uint32_t readTimeoutMs);

// Writes `*length` bytes from `buffer` as one transfer. On return `*length`
// holds the count written. Nonzero on success.
CH375_DECL int32_t CH375_CALL CH375WriteData(uint32_t index, void* buffer, uint32_t* length);

// Reads at most `*length` bytes into `buffer` as one transfer, waiting at most
// the read timeout. On return `*length` holds the count received: 0 when
// nothing came in time. Nonzero on success.
CH375_DECL int32_t CH375_CALL CH375ReadData(uint32_t index, void* buffer, uint32_t* length);

#ifdef __cplusplus
}
#endif

#endif  // MIFAREZUB_VENDOR_CH375DLL_H
