// Test support: native runs of generated code (see nativeCode.h).
#include "nativeCode.h"

#include <cstdlib>

#include "ext/platform.h"
#include "tran/cgenx86_64.h"
#include "tran/nmalloc.h"
#include "tran/taux.h"

namespace {

uint8_t* thunk;
enum { codeSize = 64 * 1024, zoneSize = 192 * 1024, areaSize = codeSize + zoneSize, thunkRoom = 256 };

// void thunk(RegFile* rdi, code* rsi). Saves the callee-saved registers, keeps rdi and rsi on
// the stack (rsp stays 16-byte aligned at the call), loads the flags and registers (rdi last),
// calls [rsp], then stores registers and flags back.
uint8_t* genThunk(uint8_t* at) {
  static const int saved[] = {rBX, rBP, rR12, rR13, rR14, rR15};
  for (int r : saved) at = emitPushR(at, r);
  at = emitAluRI8(at, aluSub, rSP, 8);  // alignment pad
  at = emitPushR(at, rDI);               // the RegFile, at [rsp+8]
  at = emitPushR(at, rSI);               // the code, at [rsp]
  at = emitPushM(at, rDI, 8 * rSP);      // flags in
  at = cgenPutB(0x9D, at);               // popfq
  for (int r = 0; r < 16; r++) {
    if (r != rSP && r != rDI) at = emitMovRM(at, r, rDI, 8 * r);
  }
  at = emitMovRM(at, rDI, rDI, 8 * rDI);
  static const uint8_t callTop[3] = {0xFF, 0x14, 0x24};  // call [rsp]
  memcpy(at, callTop, 3);
  at += 3;
  at = cgenPutB(0x9C, at);               // pushfq: flags out, before anything changes them
  at = emitPushR(at, rAX);
  at = emitMovRM(at, rAX, rSP, 24);      // the RegFile
  for (int r = 1; r < 16; r++) {
    if (r != rSP) at = emitMovMR(at, rAX, 8 * r, r);
  }
  at = emitPopR(at, rCX);                // the code's rax
  at = emitMovMR(at, rAX, 0, rCX);
  at = emitPopR(at, rCX);                // its flags
  at = emitMovMR(at, rAX, 8 * rSP, rCX);
  at = emitAluRI8(at, aluAdd, rSP, 24);  // code, RegFile, pad
  for (int i = 5; i >= 0; i--) at = emitPopR(at, saved[i]);
  return emitRet(at);
}

}  // namespace

static uint8_t* area;

static void ensureArea() {
  if (area == nullptr) {
    area = (uint8_t*)pdMapMemory(areaSize, 0x20000000, 0, pdProtRead | pdProtWrite | pdProtExec, nullptr);
    if (area == nullptr || (uintptr_t)area + areaSize > 0x80000000u) abort();
    thunk = area;
    genThunk(thunk);
  }
}

uint8_t* nativeCodeArea() {
  ensureArea();
  memset(area + thunkRoom, 0xCC, codeSize - thunkRoom);
  return area + thunkRoom;
}

void nativeZone() {
  ensureArea();
  memset(area + codeSize, 0xCC, zoneSize);
  initNMethods((uint64_t)(uintptr_t)(area + codeSize), zoneSize);
  resetCodeSymbols();
}

void nativeRun(const uint8_t* code, RegFile& regs) {
  ensureArea();
  ((void (*)(RegFile*, const uint8_t*))thunk)(&regs, code);
}
