// C interface: the object interface for loaded C code (the oe family, exported through
// include/tessel/oe.h) and the checked operations it shares with the user-primitive toolkit
// (prUp.cpp). Each operation answers 0 or the oe failure code; `check` applies the oop test to
// the objects it is given. Owns oeErrorCode. Prefix: oe (exported), oeOp (shared operations).
#pragma once
#include <cstdint>

#include "mman/mmObject.h"
#include <tessel/oe.h>

extern "C" uint32_t oeErrorCode;

// Clears the x87 unit's pending exceptions when it has some (fenv's feclearexcept rewrites the
// whole x87 and SSE environments, and fnclex waits for the unit: too slow for every user
// primitive's answer, when reading the status word is not).
inline void clearX87Exceptions() {
  uint16_t status;
  __asm__ volatile("fnstsw %0" : "=a"(status));
  if ((status & 0xFF) != 0) __asm__ volatile("fnclex");
}

// 1 when the word is an immediate or the address of a live object in a space it may be in.
bool oeValidOop(oop o);

// Conversions between objects and C values.
uint32_t oeOpToCbool(oop o, bool check, int32_t* out);
uint32_t oeOpToCint(oop o, bool check, int64_t* out);
uint32_t oeOpToCchar(oop o, bool check, char* out);
uint32_t oeOpToCfloat(oop o, bool check, float* out);
uint32_t oeOpToCdouble(oop o, bool check, double* out);
uint32_t oeOpFromCint(int64_t v, oop* out);
uint32_t oeOpFromCfloat(float f, oop* out);
uint32_t oeOpFromCdouble(double d, oop* out);

// Access by 1-based index; the stores go through the store check.
uint32_t oeOpInstVarSize(oop o, bool check, uint64_t* out);
uint32_t oeOpIndexVarSize(oop o, bool check, uint64_t* out);
uint32_t oeOpInstVarAt(oop o, int64_t index, bool check, oop* out);
uint32_t oeOpInstVarAtPut(oop o, int64_t index, oop value, bool check);
uint32_t oeOpBasicAt(oop o, int64_t index, bool check, oop* out);
uint32_t oeOpBasicAtPut(oop o, int64_t index, oop value, bool check);
uint32_t oeOpByteAt(oop o, int64_t index, bool check, char* out);
uint32_t oeOpByteAtPut(oop o, int64_t index, char byte, bool check);
uint32_t oeOpIntegerAt(oop o, int64_t index, bool check, int64_t* out);
uint32_t oeOpFloatAt(oop o, int64_t index, bool check, float* out);
uint32_t oeOpDoubleAt(oop o, int64_t index, bool check, double* out);
uint32_t oeOpIntegerAtPut(oop o, int64_t index, int64_t value, bool check, oop* stored);
uint32_t oeOpFloatAtPut(oop o, int64_t index, float value, bool check, oop* stored);

// Copies between an object's indexed part and a C buffer of length elements, from the
// 1-based start, as far as either reaches; *count the elements copied.
enum OeCopyKind : uint8_t { oeCopyBytes, oeCopyString, oeCopyInts, oeCopyFloats };
uint32_t oeOpCopyOut(OeCopyKind kind, oop o, void* buffer, int64_t length, int64_t start, bool check, int64_t* count);
uint32_t oeOpCopyIn(OeCopyKind kind, oop o, const void* buffer, int64_t length, int64_t start, bool check, int64_t* count);

// Tests on a valid oop.
bool oeIsBooleanOop(oop o);
bool oeIsFloatOop(oop o);
bool oeIsDoubleOop(oop o);
bool oeIsByteLikeOop(oop o);
bool oeIsByteArrayOop(oop o);
bool oeIsStringOop(oop o);
bool oeIsArrayOfIntegerOop(oop o);
bool oeIsArrayOfFloatOop(oop o);
oop oeClassOfOop(oop o);

// Allocation.
uint32_t oeOpAllocFs(oop cls, bool check, oop* out);
uint32_t oeOpAllocVs(oop cls, int64_t n, bool fixedSpace, bool check, oop* out);
uint32_t oeOpAllocArray(oop value, int64_t n, bool check, oop* out);
uint32_t oeOpAllocBytes(uint32_t classTag, char byte, int64_t n, oop* out);

// The registry: slots 0-2 (nil, true, false) are never replaced.
uint32_t oeOpRegistryAt(int64_t index, oop* out);
uint32_t oeOpRegistryAtPut(int64_t index, oop o, bool check);
// Number 10000-65535, count 0-15, a function: registered (and translated methods naming the
// number run it from now on).
bool oeOpAddPrimitive(int64_t number, void* function, int64_t numArgs);
bool oeOpSignalSemaphore(oop semaphore, bool check);

// Request 2 runs userPollHandler; set at start-up.
void oeInstallUserPollServer();
