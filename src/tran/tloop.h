// Translator: the one pass over a method's bytecodes (tMainLoop), the send-type table, the
// inline special selectors and the generators the loop calls for blocks, Arrays, jumps,
// loops and the Boolean test of a branch.
// Owns badBytecodePC, sendTypeTable, tSpecialProcs, tsMaxIndex and the non-Boolean
// branch measurements. Prefix: t (generators), init (initSendTypeTable, initBxpNotBoolean).
#pragma once

#include <cstdint>

#include "tran/taction.h"
#include "tran/tmain.h"
#include "tran/tstack.h"

// Index of the first invalid bytecode met (the first bytecode counts 1), or -1.
extern int64_t badBytecodePC;

// One row per send type: the unlinked-send routine the site calls and the entry offset a
// linked site calls. The kinds (SEND_KINDS in stack/glue.h) are normal, no class check,
// receiver known to be an object and super, five rows each, by argument count 0, 1, 2, 3, more.
struct SendTypeRow {
  uint64_t glue;
  uint64_t entryOffset;
};
static_assert(sizeof(SendTypeRow) == 16, "two words per send type");
#define SEND_KIND_BASE(kind, base, entry, routine) sendKind##kind = base,
enum : int32_t { SEND_KINDS(SEND_KIND_BASE) };
#undef SEND_KIND_BASE
extern SendTypeRow sendTypeTable[20];
// Fills each row's entry offset; a row without a routine gets the glue's unlinked send.
void initSendTypeTable();

// Special selectors: an inliner answers the new code position, or null to have the send
// generated. index is the special selector, sendKind the send-type base, next the bytecode
// after the send (the inliners look for a branch there).
typedef uint8_t* (*TSpecialProc)(int index, int sendKind, const uint8_t* next, uint8_t* at);
extern TSpecialProc tSpecialProcs[23];
extern int32_t tsMaxIndex;  // 22; 7 arithmetic and comparisons only; -1 nothing inlined
// Applies the option bits that limit inlining.
void initTranAfter(uint64_t options);

// The standard non-Boolean path of a branch test, measured once: the code length from the
// test's start to that path, and the distance from the start to the shared stub call's return.
extern int32_t bxpStandardSize, bxpStandardOffset;
// Measures the standard test in scratch and generates the three shared non-Boolean stubs
// into [area, answer) of the permanent area, storing them in the second word of each notBTable
// pair.
uint8_t* initBxpNotBoolean(uint8_t* scratch, uint8_t* area);
// The Boolean test of rbx for a branch to target (sense 1: if true); adds the branch's
// action and answers the code position.
uint8_t* tBxpTest(int sense, const uint8_t* branchPC, const uint8_t* target, StackEntry* top,
                  const OptState* state, uint8_t* at);

// The translation loop: answers the end of the generated code, or 1 (a short jump did not
// reach), 2 (an invalid bytecode; badBytecodePC holds it) or mapStart + 1 (the code reached
// the margin below the map area).
uint8_t* tMainLoop(const uint8_t* bytecodes, uint8_t* block, uint8_t* mapStart, TVInfo* info);

// The loop's answer codes as pointers.
inline uint8_t* tLoopShortJumpRetry() { return reinterpret_cast<uint8_t*>(uintptr_t(1)); }
inline uint8_t* tLoopInvalid() { return reinterpret_cast<uint8_t*>(uintptr_t(2)); }
