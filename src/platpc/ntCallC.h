// Windows layer: the Windows x64 call-out's record and entries, shared by the C calls, the
// COM calls and the tests. Owns no global record. Prefix: win (winCallC, ...), none (callWin64).
#pragma once
#include <cstddef>
#include <cstdint>

#include "mman/mmObject.h"
#include "mman/mmPrimUtil.h"

// One call as the assembly runs it (offsets are ntCallOut.S's WC_*).
struct WinCall {
  uint64_t function;
  uint64_t words[4];      // positions 0-3: rcx/xmm0, rdx/xmm1, r8/xmm2, r9/xmm3
  const uint64_t* stack;  // positions 4 and up, above the shadow area
  uint64_t stackWords;
  uint64_t rax, xmm0;     // results
  uint64_t faultCode, faultAddress;  // a caught exception's
  uint64_t alwaysCatch;   // 1: caught even with catching off (a worker's call)
};
static_assert(offsetof(WinCall, stack) == 40 && offsetof(WinCall, rax) == 56 && offsetof(WinCall, xmm0) == 64,
              "WinCall matches the assembly's offsets");

extern "C" {
int callWin64(WinCall* call);  // 0, or 1 when a caught exception ended the call
void callWin64Resume();
}

// The call-out with an implicit first argument (a COM interface; 0 for none, and then function
// is an integer object, else a raw address).
uint64_t winCallC(uint64_t flags, uint64_t implicitFirst, uint64_t function, const uint8_t* kinds, uint64_t numArgs,
                  uint64_t trailing, const uint64_t* base, uint64_t resultBytes, CallErrorRecord* record);
bool winRunCall(WinCall* call, CallErrorRecord* record);  // false, the record filled, after an exception
oop winConvertResult(uint32_t kind, uint64_t rax, uint64_t xmm0, bool structInRegister, uint64_t size,
                     uint64_t savedError, CallErrorRecord* record);
bool winStructInRegister(uint64_t size);  // a struct of 1, 2, 4 or 8 bytes travels in one word
