// A scripted stand-in for the vendor library, built as CH375DLL.DLL /
// libCH375DLL.so for the tests.
//
// It records every vendor call with its arguments and every frame written,
// answers reads from a script of replies (whole, short, with a forged count,
// or none), and can make any of the seven calls fault: natively by throwing a
// C++ exception, on Windows by an access violation. It can also make a call
// raise and handle an exception of its own, which the library must leave
// alone. It counts every call, and keeps which devices are open.
//
// A program that decides each call as it comes (the fuzz targets, from the
// fuzzer's bytes; the benchmark, answering every request at once) installs a
// DblScript and, for a benchmark, turns recording off: then no call
// allocates, sleeps or copies more than the reply. With recording off and
// nothing scheduled (no queued reply or answer, no untouched read, no fault or
// self-handled exception due), SetTimeout, WriteData and ReadData take a fast
// path for the calls the script's enter does not see: counted, then straight
// to the script's read or write, a few instructions besides them.
#ifndef MIFAREZUB_TESTS_CH375_DOUBLE_H
#define MIFAREZUB_TESTS_CH375_DOUBLE_H

#include <stdint.h>

#if defined(_WIN32)
#if defined(CH375DLL_BUILD)
#define DBL_API __declspec(dllexport)
#else
#define DBL_API __declspec(dllimport)
#endif
#else
#define DBL_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

enum DblCall {
  DBL_OPEN,
  DBL_CLOSE,
  DBL_RESET,
  DBL_BUF_UPLOAD,
  DBL_SET_TIMEOUT,
  DBL_WRITE,
  DBL_READ,
  DBL_CALL_KINDS
};

// One recorded vendor call: its kind, the device index and up to two more
// arguments (SetBufUpload: enable; SetTimeout: write and read timeout;
// WriteData and ReadData: the count passed in, then the count handed back),
// and whether it faulted (then arg2 of a read is still the count passed in).
typedef struct DblEvent {
  int32_t call;
  uint32_t index;
  uint32_t arg1;
  uint32_t arg2;
  int32_t faulted;
} DblEvent;

// Decides calls as they are made. Its functions run inside the vendor call,
// on the caller's thread; any may be null.
typedef struct DblScript {
  void* context;
  // Runs as every call it sees (all but the `unseen` ones) begins, once it is
  // counted and recorded and before it does anything else. `buffer` and `length` are WriteData's
  // and ReadData's arguments as passed (null for the other calls, and possibly null there: the
  // double itself never reads through a null one). A nonzero result makes the call fault, as
  // dbl_fault_next does; a faulting WriteData still has its frame recorded (it may have reached the
  // reader).
  int32_t (*enter)(void* context, int32_t call, uint32_t index, const void* buffer,
                   const uint32_t* length);
  // Answers a ReadData that finds no reply queued and no untouched read
  // due: fills the buffer and the count as a vendor does (or leaves them) and
  // returns the call's result.
  int32_t (*read)(void* context, uint32_t index, void* buffer, uint32_t* length);
  // The kinds of call `enter` is not asked about, as bits (1u << DBL_READ,
  // ...): they never fault by the script. 0: `enter` sees every call. A
  // script that needs only some calls saves the others the call into it.
  uint32_t unseen;
  // Takes every WriteData once it has been entered (and its frame recorded):
  // may set the count written, and returns the call's result. Only a write
  // that succeeds (nonzero) releases an answer queued by dbl_queue_answer.
  // Null: every write succeeds and leaves the count as it is.
  int32_t (*write)(void* context, uint32_t index, const void* buffer, uint32_t* length);
} DblScript;

// Forgets every event, reply, answer, fault and count and the script; no
// device open; device 0 present, no other; recording on.
DBL_API void dbl_reset(void);
// Installs a copy of the script (null: none).
DBL_API void dbl_set_script(const DblScript* script);
// With recording off, calls are counted and the open devices kept, but no
// event, frame or read data is kept: no call allocates.
DBL_API void dbl_set_recording(int32_t on);
// Whether CH375OpenDevice(index) succeeds (index below 256).
DBL_API void dbl_set_present(uint32_t index, int32_t present);
// Queues the answer to one read: the n bytes are copied into the caller's
// buffer and n is reported as the count. n = 0 answers with nothing.
DBL_API void dbl_queue_reply(const uint8_t* bytes, uint32_t n);
// Like dbl_queue_reply, but reports `count` whatever was copied.
DBL_API void dbl_queue_reply_count(const uint8_t* bytes, uint32_t n, uint32_t count);
// Queues the reader's answer to the next request not yet answered: it becomes
// readable only once that request has been written (one answer per write,
// in order), after whatever replies are already waiting. dbl_queue_reply, by
// contrast, is readable at once: a stale or late reply.
DBL_API void dbl_queue_answer(const uint8_t* bytes, uint32_t n);
// The next read touches neither the count nor the buffer and returns
// `result` (0 or nonzero): a read that fails without saying how much came.
DBL_API void dbl_read_untouched_next(int32_t result);
// The next call of this kind faults (after recording itself).
DBL_API void dbl_fault_next(int32_t call);
// The next call of this kind raises an exception and handles it itself
// before going on as usual.
DBL_API void dbl_self_handled_next(int32_t call);
// Makes CH375ResetDevice return this value (default 1).
DBL_API void dbl_set_reset_result(int32_t result);

DBL_API uint32_t dbl_event_count(void);
DBL_API DblEvent dbl_event(uint32_t i);
// The bytes of event i: for WriteData the frame, for ReadData the first bytes
// of the caller's buffer as the read left it, as many as the count passed in
// (at most DBL_READ_DATA_MAX); none for the other calls. Copies at most `cap`
// of them into out and returns how many there are.
#define DBL_READ_DATA_MAX 256u
DBL_API uint32_t dbl_event_data(uint32_t i, uint8_t* out, uint32_t cap);
// Calls of this kind since the last reset, recorded or not.
DBL_API uint64_t dbl_call_count(int32_t call);
// Whether device `index` was opened by a successful CH375OpenDevice and not
// closed since.
DBL_API int32_t dbl_device_open(uint32_t index);
// Number of frames written, and a copy of frame i; returns its length.
DBL_API uint32_t dbl_frame_count(void);
DBL_API uint32_t dbl_frame(uint32_t i, uint8_t* out, uint32_t cap);
// How many exceptions the double raised and handled itself, in all.
DBL_API uint32_t dbl_self_handled_count(void);

#ifdef __cplusplus
}
#endif

#endif  // MIFAREZUB_TESTS_CH375_DOUBLE_H
