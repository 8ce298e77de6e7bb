// Translator: translated primitives (their records, registration and generators), inline
// allocation in eden and the allocation stubs. Owns the four record tables and threshold_refs.
// Prefix: tx (txRegisterTable, txUseCPrim, ...); makeTranslatedPrimitives, tAllocFloat.
#pragma once
#include <cstdint>

#include "ext/exPrimTable.h"

// A translated primitive's fast path is emitted inline at the start of its method's nmethod;
// what it does not finish goes to the C primitive the table held before (the record's
// cFunction) through the ordinary primitive glue. Records are entered in the table as kind 1
// with the record's address as the function.
struct TranslatedPrimRecord;
// Emits the inline code at `at` and answers the new position. Registers: receiver (and
// result) rbx, the last two arguments r12 and r13. Where the inline path gives up it ends in
// the fallback call (inlineFailure 0) or in mov r15, 0 falling through into the code that
// follows (inlineFailure 1: the method pops the error anyway).
typedef uint8_t* (*TxPrimGenerator)(uint8_t* at, const TranslatedPrimRecord* record, int inlineFailure);
struct TranslatedPrimRecord {
  uint16_t number;          // 0 ends a table
  uint8_t arity;            // bits 0-4 argument count (4 or more: "many"), bits 5-7 level
  uint8_t flag;             // handed to the primitive table entry
  TxPrimGenerator generator;  // null: no translated form; the number stays a C primitive
  const void* glue;         // PrimGlueTable entry of the fallback; filled at registration
  const void* cFunction;    // the fallback; captured at the first registration
};
static_assert(sizeof(TranslatedPrimRecord) == 32, "a translated-primitive record is 32 bytes");
inline int txArgCount(const TranslatedPrimRecord* r) { return r->arity & 31; }
inline int txLevel(const TranslatedPrimRecord* r) { return r->arity >> 5; }
// A record of a table: number, argument count, level, flag and generator (null: not built;
// the number stays a C primitive); the fallback is filled at registration.
constexpr TranslatedPrimRecord txRecord(uint16_t number, int args, int level, uint8_t flag, TxPrimGenerator generator) {
  return {number, uint8_t(args | (level << 5)), flag, generator, nullptr, nullptr};
}

// The tables, each ended by a record of number 0: numbers (src/tran/txArith.cpp), then
// control, memory and subscripts (src/tran/txObject.cpp).
extern TranslatedPrimRecord txArithPrims[54], txControlPrims[6], txMemPrims[12], txSubscriptPrims[14];
extern uint32_t enableTP;   // 1: translated primitives on (start-up options)
extern uint32_t enableTFP;  // 1: inline floating-point code on (start-up options)
extern uint32_t enableXTP;  // 1: the extended level too

// Registers the four tables at the level the globals select (none with enableTP 0).
void makeTranslatedPrimitives();
// Enters a user primitive (kind primKindUser). Methods translated while the number had
// another entry are discarded, so that their next translation calls it.
void addUPrimitive(uint32_t number, const void* function, uint8_t numArgs);
// Registers the records of table whose level fits in L >> 1 (nothing when L's bit 0 is clear)
// as `kind`. The first registration captures the table's current C function and the glue of
// its argument count; a number without a C function stays as it is.
void txRegisterTable(TranslatedPrimRecord* table, int L, int kind);
void initTxArithPrims(int L, void (*reg)(TranslatedPrimRecord*, int, int));
void initTxControlPrims(int L, void (*reg)(TranslatedPrimRecord*, int, int));
void initTxMemPrims(int L, void (*reg)(TranslatedPrimRecord*, int, int));
void initTxSubscriptPrims(int L, void (*reg)(TranslatedPrimRecord*, int, int));

// What the generators share.
// The fallback call: r15 := C function, r9 := count above 3, call glue (recorded as a
// relative call); withReturnMark adds EB 04 and the u32 offset from the nmethod's start.
uint8_t* txUseCPrim(const TranslatedPrimRecord* record, uint8_t* at, int withReturnMark);
// After an 8-bit conditional jump: the jump taken answers true, else false.
uint8_t* txMakeBoolean(uint8_t* at);
// Points the n 8-bit jump displacements ending at list[i] (null entries skipped) at target.
void txFixShortList(uint8_t** list, int n, const uint8_t* target);
// The end of every path that gives up: mov r15, 0 with inlineFailure, else the fallback call.
uint8_t* txGiveUp(uint8_t* at, const TranslatedPrimRecord* r, int inlineFailure);
// bt r12, 1; jnc: the argument must be a SmallInteger. *jump gets the jump to patch.
uint8_t* txArgumentCheck(uint8_t** jump, uint8_t* at);
// The end of a member whose give-up jumps come in two kinds: where C fails (the shortcut
// with inlineFailure) and where C answers (always called). Lists may hold null entries.
struct TxExits {
  uint8_t* fails32[12] = {};
  uint8_t* fails8[8] = {};
  uint8_t* toC32[8] = {};
  uint8_t* toC8[8] = {};
};
// Appends a jump to the first free place of list.
void txAddJump(uint8_t** list, uint8_t* jump);
// Patches e's jumps and writes the two exits: the shortcut (with inlineFailure) and the call.
uint8_t* txExitsTail(uint8_t* at, const TranslatedPrimRecord* r, int inlineFailure, TxExits& e);

// Bump allocation in eden of a body of `bytes` bytes (a multiple of 8 up to 2008; in the
// register sizeReg unless it is -1) with the header word `flags` (in the register flagsReg
// unless it is -1): r14 := the body, r11 := its end, result := the new object; rax is
// clobbered. *slow gets the 32-bit jump taken, with nothing changed, when the object would
// pass eden's warning limit.
uint8_t* txAllocInline(uint8_t* at, int sizeReg, uint32_t bytes, int flagsReg, uint64_t flags, int result, uint8_t** slow);

// Inline allocation of a floating-point result (a Double, or a Float): r14 := the body (the
// caller stores the value), result := the new object; rax and r11 are clobbered. *slow gets
// the 32-bit jump taken, with nothing changed, when the object would pass eden's warning
// limit.
uint8_t* tAllocFloat(uint8_t* at, int isDouble, int result, uint8_t** slow);
// The run-time stubs' compares with eden's warning limit (cmp r14, imm32, or mov r11, imm64
// before cmp r14, r11), recorded while start-up generates them.
enum { thresholdRefCapacity = 8 };
extern uint8_t* threshold_refs[thresholdRefCapacity];  // inline allocations that embed eden's warning limit
extern uint32_t numThresholdRefs;                      // entries used
// Makes the "create array" and "make copying block 1 value" stubs (their slow paths the given
// routines) and points the translator's calls at them.
void txMakeAllocStubs(const void* createArrayRoutine, const void* copyingBlockRoutine);
// Makes the stubs that gather values off the stack into new objects in eden: "cons array",
// "make copying block" (any count), "make full block" and "make full copying block". Each
// takes the registers and stack of the routine tRt names now, which becomes its slow path
// (eden without room, an Array whose size the header cannot hold, a frame without a
// context), and tRt is pointed at the stub.
void txMakeGatherStubs();
// One of those stubs at `at` (kind 0 "cons array", 1 "make copying block", 2 "make full
// copying block", 3 "make full block") with the given slow path; answers its end.
uint8_t* txGenGatherStub(uint8_t* at, uint64_t kind, const void* slowPath);
// cmp r14, eden's warning limit (imm32, or through r11 when the limit needs 64 bits), recorded
// in threshold_refs while start-up generates stubs.
uint8_t* txEdenLimitCompare(uint8_t* at);
// Makes the "get self class format" stub, which the subscript members call for the named
// count of a receiver whose header defers it to the class (r11 := the format word of the
// class of the object in rbx; rax clobbered). Null until made: such receivers then go to C.
void txMakeClassFormatStub();
// The block value primitives' memory of the nmethod each last ran, forgotten (by the
// native-method zone) whenever an nmethod is freed or moved.
enum { lastBlockEntryCount = 32 };
extern uint64_t lastBlockEntries[4][lastBlockEntryCount];
void txForgetBlockEntries();
extern const uint8_t* txClassFormatStub;  // the "get self class format" stub, null until made
// The eden warning limit changed: every nmethod goes (their inline allocations hold the old
// limit) and each recorded compare gets the new one in place.
void tranNoteEdenWarningThresholdChanged();
