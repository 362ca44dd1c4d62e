#include "exports.h"

#include <stdio.h>
#include <stdlib.h>

#include <gtest/gtest.h>

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#endif

namespace mzt {
namespace {

void* Library() {
#if defined(_WIN32)
  static HMODULE lib = LoadLibraryA("MifareZUB.dll");
#else
  static void* lib = dlopen(MZ_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
#endif
  if (lib == nullptr) {
    fprintf(stderr, "cannot load the library under test\n");
    abort();
  }
  return reinterpret_cast<void*>(lib);
}

void* Need(const char* name) {
  void* fn = FindExport(name);
  if (fn == nullptr) {
    fprintf(stderr, "the library does not export %s\n", name);
    abort();
  }
  return fn;
}

#if defined(_WIN32) && defined(__i386__)

// int32_t __cdecl mzt_call_stdcall(void* fn, const uint32_t* args, int32_t n,
//                                  int32_t* imbalance)
// Pushes args[n-1] .. args[0], calls fn and reports how far the stack pointer
// ended from where it stood before the pushes: 0 when fn popped exactly n
// words.
extern "C" int32_t mzt_call_stdcall(void* fn, const uint32_t* args, int32_t n, int32_t* imbalance);
__asm__(
    ".text\n"
    ".globl _mzt_call_stdcall\n"
    "_mzt_call_stdcall:\n"
    "  pushl %ebp\n"
    "  movl %esp, %ebp\n"
    "  pushl %esi\n"
    "  pushl %edi\n"
    "  pushl %ebx\n"
    "  movl 8(%ebp), %eax\n"
    "  movl 12(%ebp), %esi\n"
    "  movl 16(%ebp), %ecx\n"
    "  movl %esp, %edi\n"
    "1:\n"
    "  testl %ecx, %ecx\n"
    "  jz 2f\n"
    "  pushl -4(%esi,%ecx,4)\n"
    "  decl %ecx\n"
    "  jmp 1b\n"
    "2:\n"
    "  call *%eax\n"
    "  movl %esp, %edx\n"
    "  subl %edi, %edx\n"
    "  movl %edi, %esp\n"
    "  movl 20(%ebp), %ecx\n"
    "  movl %edx, (%ecx)\n"
    "  popl %ebx\n"
    "  popl %edi\n"
    "  popl %esi\n"
    "  popl %ebp\n"
    "  ret\n");

uint32_t Word(int32_t v) {
  return static_cast<uint32_t>(v);
}
template <typename T>
uint32_t Word(T* p) {
  return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(p));
}

template <typename R = int32_t, typename... A>
R Call(const char* name, A... a) {
  const uint32_t args[] = {0, Word(a)...};  // args[0] is padding for n = 0
  int32_t imbalance = 0;
  const int32_t result =
      mzt_call_stdcall(Need(name), args + 1, static_cast<int32_t>(sizeof...(A)), &imbalance);
  EXPECT_EQ(imbalance, 0) << name << " did not pop exactly its " << sizeof...(A) << " arguments";
  return static_cast<R>(result);
}

#else

template <typename R = int32_t, typename... A>
R Call(const char* name, A... a) {
  using Fn = R (*)(A...);
  return reinterpret_cast<Fn>(Need(name))(a...);
}

#endif

}  // namespace

void* FindExport(const char* name) {
#if defined(_WIN32)
  return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(Library()), name));
#else
  return dlsym(Library(), name);
#endif
}

int32_t OpenComm(int32_t d, int32_t p) {
  return Call("OpenComm", d, p);
}
int32_t CloseComm() {
  return Call("CloseComm");
}
int32_t mif_Request(int32_t m, int32_t* t) {
  return Call("mif_Request", m, t);
}
int32_t mif_Anticollision(char** s) {
  return Call("mif_Anticollision", s);
}
int32_t mif_Select(const char* s, int32_t* z) {
  return Call("mif_Select", s, z);
}
int32_t mif_LoadKey(int32_t a, int32_t b, const char* k) {
  return Call("mif_LoadKey", a, b, k);
}
int32_t mif_Authentication(int32_t a, int32_t b, int32_t c) {
  return Call("mif_Authentication", a, b, c);
}
int32_t mif_Read(int32_t b, char** d) {
  return Call("mif_Read", b, d);
}
int32_t mif_Write(int32_t b, const char* d) {
  return Call("mif_Write", b, d);
}
int32_t mif_Increment(int32_t b, int32_t v) {
  return Call("mif_Increment", b, v);
}
int32_t mif_Decrement(int32_t b, int32_t v) {
  return Call("mif_Decrement", b, v);
}
int32_t mif_Restore(int32_t b) {
  return Call("mif_Restore", b);
}
int32_t mif_Transfer(int32_t b) {
  return Call("mif_Transfer", b);
}
int32_t mif_Halt() {
  return Call("mif_Halt");
}
int32_t zub_beep(int32_t on) {
  return Call("zub_beep", on);
}
int32_t zub_beepms(int32_t ms) {
  return Call("zub_beepms", ms);
}
int32_t zub_LED(int32_t l, int32_t on) {
  return Call("zub_LED", l, on);
}
int32_t zub_LEDx(int32_t l) {
  return Call("zub_LEDx", l);
}
int32_t mif_CtrlRelay(int32_t r, int32_t on) {
  return Call("mif_CtrlRelay", r, on);
}
void ErrMsg(int32_t c, char** t) {
  Call<void>("ErrMsg", c, t);
}

}  // namespace mzt
