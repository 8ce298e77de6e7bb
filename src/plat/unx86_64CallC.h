// Unix layer: System V x86-64 calls into C: the register image the assembly half runs,
// the struct classifier and the machine entries of callback thunks.
// Owns no global record. Prefix: none (callC, loadFPRegArgs, classifyStructEightbytes,
// structReturnModel, thunkProcess).
#pragma once
#include <cstddef>
#include <cstdint>

#include "mman/mmObject.h"

// Argument registers and results of one call (offsets are the assembly's, CR_*).
struct CallRegisters {
  uint64_t ints[6];         // rdi rsi rdx rcx r8 r9
  uint64_t intCount;        // integer words used
  uint8_t sse[8][16];       // xmm0 .. xmm7
  uint8_t singles;          // bit i: slot i holds a 4-byte float (right after the eighth slot)
  uint8_t sseCount;         // SSE slots used (also al at the call)
  uint8_t x87Result;        // the result is a long double in st(0)
  uint8_t pad[5];
  uint64_t function;        // address called
  const uint64_t* stack;    // the stack-argument area
  uint64_t stackBytes;      // its size, a multiple of 16
  uint64_t rax, rdx;        // results
  uint64_t xmm0[2], xmm1[2];
  uint8_t x87[16];          // st(0) of a long double result
  uint32_t mxcsr;           // scratch of the exception-flag clearing
  uint32_t pad2;
};
static_assert(offsetof(CallRegisters, sse) == 56 && offsetof(CallRegisters, singles) == 184 &&
                  offsetof(CallRegisters, function) == 192 && offsetof(CallRegisters, rax) == 216 &&
                  offsetof(CallRegisters, xmm0) == 232 && offsetof(CallRegisters, x87) == 264 && offsetof(CallRegisters, mxcsr) == 280,
              "CallRegisters matches the assembly's offsets");

// What a thunk's C half leaves for its entry routine to return in registers.
struct ThunkResult {
  uint64_t rax, rdx;
  uint64_t xmm0[2], xmm1[2];
};

extern "C" {
void callC(CallRegisters* registers);
uint64_t loadFPRegArgs(uint64_t count, const uint8_t* slots, uint32_t singles);
void thunkProcessHelper();
void thunkProcessHelperFP();
void thunkProcess(const uint8_t* thunk, const uint64_t* ints, const uint64_t* stackArgs, const uint8_t* sse,
                  ThunkResult* result);
}

// Struct classification of the System V convention for structs of at most 16 bytes given
// by a type descriptor (5-slot field records after its named slots: key, offset, descriptor,
// kind, class). On success the struct's eightbytes go to the next integer words and SSE
// slots (singles gets the bits of slots holding one float), answering integers used | SSE
// used << 8 | pattern << 16 (pattern: 1, 2 INTEGER eightbytes 0, 1; 16, 32 SSE ones); 0
// when it goes by memory (size, field kinds, or no registers left).
uint64_t classifyStructEightbytes(oop descriptor, const uint8_t* structBytes, uint64_t* intWords,
                                  uint8_t (*sseSlots)[16], uint8_t* singles, uint64_t intsUsed, uint64_t sseUsed);
// The pattern of a struct result (1, 3, 16, 18, 33, 48), or 0 when returned in memory.
uint64_t structReturnModel(oop descriptorOrComposite);
// The descriptor itself, or the one a composite holds in slot 1.
oop structDescriptorOf(oop descriptorOrComposite);
