// Translator: the simulated operand stack, the frame entries of self, arguments and
// temporaries, and the register cache (a policy-free skeleton that emits nothing).
// Owns stackSim, spill, stackLocals, the fixed entries and the register records.
// Prefix: tStack, se, reg (and emitArgs, localFrameOffset, lookBranch).
#pragma once

#include <cstdint>

// Where a value of the simulated stack is. Payload by kind:
//   0 1 2 3 4  register number            5  the constant oop
//   6          the spill entry of its slot (a StackEntry*)
//   7 8        base register (bits 0-15) and signed displacement (bits 16-31)
//   9          32-bit absolute address    10 code address    11 short-jump opcode
enum StackKind : int32_t {
  skReg = 0,            // a register holding an oop
  skRegCounted = 1,     // as 0 for every operation
  skUntaggedInt = 2,    // a register holding value (the SmallInteger is value x 8 + 3)
  skUntaggedChar = 3,   // a register holding a code point (the Character is code x 8 + 1)
  skStableReg = 4,      // a register whose oop stays valid (not register-held for flushes)
  skConst = 5,          // a constant oop
  skPushed = 6,         // on the machine stack
  skSlot = 7,           // [base + disp], writable (temporaries)
  skReadSlot = 8,       // [base + disp], only read (arguments, copied and pushed values)
  skGlobal = 9,         // a global at a 32-bit address
  skCode = 10,          // a code address
  skCond = 11,          // a condition in the flags
};

struct StackEntry {
  int32_t kind;
  int32_t unused;
  uint64_t payload;
};
static_assert(sizeof(StackEntry) == 16, "the translator's unit of simulated state");

inline StackEntry seRegEntry(int reg, int32_t kind = skReg) { return {kind, 0, (uint64_t)reg}; }
inline StackEntry seConst(uint64_t oop) { return {skConst, 0, oop}; }
inline StackEntry seSlotEntry(int32_t kind, int base, int32_t disp) {
  return {kind, 0, (uint64_t)(uint16_t)base | ((uint64_t)(uint16_t)(int16_t)disp << 16)};
}
inline int seBase(const StackEntry& e) { return (int)(e.payload & 0xFFFF); }
inline int32_t seDisp(const StackEntry& e) { return (int16_t)(uint16_t)(e.payload >> 16); }
inline int seReg(const StackEntry& e) { return (int)(e.payload & 0xFF); }

enum { stackSimEntries = 257, stackLocalsEntries = 510 };

extern StackEntry* stackSim;      // entry i lies at rbp - 32 - 8i once pushed; stackSim[-1] exists
extern StackEntry* spill;         // spill[i] = {8, rbp, -32 - 8i}
extern StackEntry* stackLocals;   // argument and temporary slots of a frame (see localFrameOffset)
extern StackEntry* stackEmpty;    // the entry just below the first operand-stack entry
extern StackEntry* stackTemps;    // the entry of local 0 (arguments and temporaries together)
extern StackEntry seSelfNormal;   // {8, rbp, -24}
extern StackEntry seSelfFrameless;  // {0, rbx}
extern StackEntry stackLocalsFrameless[2];  // {0, r12}, {0, r13}
extern StackEntry seSelf;         // self in the method being translated
extern StackEntry seStackLimit;   // {9, &stackLimit}

// Literal recording into the PC map: the translation driver points this at the map writer
// (genMapLit: literal, address after the 8 literal bytes, offset -8). Null records nothing.
extern void (*tMapLit)(uint64_t literal, uint64_t address, int64_t offset);

// Run-time entry points the store paths reach; the translator's first use fills them from the
// glue (all below 2 GiB: they are pushed as 32-bit immediates); tests put doubles in their place.
// Call sites and mapped points for the PC map (genMapRelCall, genMapOnly); null records nothing.
extern void (*tMapRelCall)(uint64_t addressAfter, uint64_t target);
// A call to target, recorded through tMapRelCall when one is installed; answers the end.
uint8_t* tCallRecorded(uint8_t* at, const void* target);
extern void (*tMapOnly)(uint64_t bytecodeIndex, uint64_t address);

// The five store stubs: "store inst var N" (slot byte offset in r9) and "store inst var" 3..0.
struct StoreStub {
  uint8_t* start;          // loads self into r12 first
  uint8_t* afterSelfLoad;  // holder in r12, value in rbx
  uint8_t* immutable;      // the holder is immutable: on to CrtAttemptToAssign
  uint8_t* check;          // after the store and the first two tests of the store check
};
enum { storeStubGeneral = 4 };  // index of "store inst var N"; 0..3 are the fixed slots
extern StoreStub storeStubs[5];  // instance-variable store stubs: slots 0-3, then the general one

// Store check after value V was stored into holder H (F: H's header flags word, S: scratch,
// rax in practice). Stub form: every "done" exit returns and the paths that need work fall to
// the end. Inline form: "done" exits land after the sequence and the three jumps that need
// work are handed back in exits[0..2] (their 8-bit displacements end there) for the caller to
// patch to its slow path. afterFirstTests (when not null) receives the position after the
// new-holder and immediate-value tests.
uint8_t* tStoreCheck(uint8_t* at, int H, int V, int F, int flagsLoaded, int S, uint8_t** exits, int stubForm,
                     uint8_t** afterFirstTests);
// at:put:'s store into a pointer object: r13 into slot r9 (0-based from the body's start) of
// the holder in rbx, then the inline store check, its work done out of line by the
// store-check routine (holder in r12, value in rbx). Both paths answer r13 in rbx and return;
// r11, r12, r15 and rax are clobbered. The routine's call is recorded for relocation when a
// translation has installed tMapRelCall; code made outside one (none installed) is unaffected.
uint8_t* tStoreIndexed(uint8_t* at);
// Makes the five store stubs in the permanent code area (through tGenerate1) and records
// their entries in storeStubs.
void initStoreInst();
// Store stub n (storeStubGeneral for "store inst var N") written at `at`, its entries recorded
// in storeStubs[n]; answers the end.
uint8_t* genStoreInstStub(uint8_t* at, uint64_t unused, int n);
// Stores the top entry (value) into slot index of holder (an entry); the value stays on the
// stack. marks are the loop's register-knowledge marks; vpc the bytecode index mapped to the
// calls. contextReceiver routes the store through the context routine.
uint8_t* tStoreInst(StackEntry* holder, int index, StackEntry* value, int16_t* marks, uint64_t vpc,
                    int contextReceiver, uint8_t* at);

// Register-cache summary: one 4-bit field per slot (load state, entry kind); no policy
// assigns registers, so both stay 0 and the reconciling operations emit nothing.
extern uint64_t assignedRegSummary;
extern uint64_t emptyRegSummary;  // the register summary with nothing assigned
extern uint32_t regsInitialized;  // set when a translation assigned registers that regCleanup releases

void tStackInit();
// Frame offset in bytes of local i (arguments first) of a method with n arguments.
int32_t localFrameOffset(int i, int n);
// The entry of local i of a method with n arguments: its stackLocals row, read-only (kind 8)
// for an argument and writable (kind 7) for a temporary.
StackEntry tStackLocal(int i, int n);

uint8_t* tStackLoad(const StackEntry* entry, int d, uint8_t* at);
uint8_t* tStackLoadBase(const StackEntry* entry, int d, uint8_t* at);
uint8_t* tStackLoadDataPtr(const StackEntry* entry, int d, int* reg, uint8_t* at);
uint8_t* tStackLoadValue(const StackEntry* entry, int d, int32_t untaggedKind, StackEntry* out, uint8_t* at);
uint8_t* tStackPush(StackEntry* entry, uint8_t* at);
uint8_t* tStackFlush(StackEntry* top, int mode, uint8_t* at);
// Before a store into [base + disp]: flushes up to the highest entry that reads that slot, so
// values pushed earlier keep the slot's old value.
uint8_t* tStackFlushAliases(int base, int32_t disp, StackEntry* top, uint8_t* at);
void tStackClear(StackEntry* top);
uint8_t* tStackStore(StackEntry* entry, int base, int32_t disp, uint8_t* at);
uint8_t* tStackCompare(StackEntry* entry, int r, uint8_t* at);
uint8_t* tStackCompareBase(StackEntry* entry, int r, uint8_t* at);
// Receiver and numArgs arguments (the top numArgs entries) to the send convention: rbx
// receiver, r12/r13 the last two arguments, the rest pushed above the receiver.
uint8_t* emitArgs(int numArgs, StackEntry* top, uint8_t* at);

// Register cache (no assignment policy: every operation leaves the code unchanged).
void tInitRegs();
const StackEntry* regLoad(const StackEntry* entry, uint8_t** at, int emit);
uint8_t* regLoadBase(int r, uint8_t* at);
uint8_t* regLoadup(uint8_t* at, int keep);
uint8_t* regReconcile(uint64_t summary, uint8_t* at, int emit);
uint8_t* regFlush(uint8_t* at);
void regCleanup();

// 1 and the target when the bytecode at p is a conditional branch that is not itself the
// target of the next pending action.
int lookBranch(const uint8_t* p, const uint8_t** target);
