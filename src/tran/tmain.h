// Translator: the method information record, the run-time routine table and the translator's
// fatal report. Owns tVInfo and tRt. Prefix: t (tVInfo, TAbortFunc).
#pragma once

#include <cstdint>
#include <cstdio>

#include "stack/glue.h"

// The run-time routines generated code calls, one slot for each glue entry GLUE_ENTRIES marks
// rt or stub (its contract is written there), and the primitive glues by argument count.
// Filled from the glue when the translator starts, each slot only while null, so tests may
// point slots at doubles first. All below 2 GiB (or reached through a glue thunk).
#define TRT_SLOT(entry, use, slot, contract) TRT_SLOT_##use(slot)
#define TRT_SLOT_rt(slot) const void* slot;
#define TRT_SLOT_stub(slot) const void* slot;
#define TRT_SLOT_no(slot)
struct TRoutines {
  GLUE_ENTRIES(TRT_SLOT)
  const void* primGlue[5];      // PrimGlueTable, by min(numArgs, 4)
  const void* userPrimGlue[5];  // UserPrimGlueTable, by min(numArgs, 4)
};
#undef TRT_SLOT
#undef TRT_SLOT_rt
#undef TRT_SLOT_stub
#undef TRT_SLOT_no
extern TRoutines tRt;
// Fills the slots still null from the glue.
void tInstallRoutines();
// Points the stub slots back at their glue entries (the translated primitives' stubs are off).
void tResetStubRoutines();

// What the translation of one method knows about it (filled by the unpacking of a method).
struct TVInfo {
  uint64_t method;           // the compiled method
  uint8_t contextReceiver;   // instance variables go through the context routines
  uint8_t isBlock;           // becomes nmethod flag 0x80
  uint8_t isUnwind;          // becomes flag 0x20
  uint8_t isHandler;         // becomes flag 0x10
  const uint8_t* bytecodes;  // first bytecode
  const uint8_t* bytecodesEnd;  // one past the last
  uint8_t frameSize;         // words; 0 = frameless
  uint8_t numArgs;
  uint8_t numTemps;
  uint8_t receiverTag;       // 3, 5 or 1 for methods of immediate classes, else 0
  uint8_t primErrorTemp;     // temp receiving a primitive's error, 255 = none
  const uint64_t* literals;  // first literal slot
  uint32_t numLiterals;
  int32_t primitive;         // -1 none; 0x10000 not to be called
};
extern TVInfo tVInfo;

// Decodes compiled method `method` into info: header fields, the bytecode range, the literal
// range, the primitive and its error temporary. Answers 0 (info unspecified) when the method
// cannot be translated: an immediate, not a pointer object of an indexable class, a bytecode
// holder that is an immediate or not a byte object, or a holder too short for its header;
// else 1. A primitive whose table entry takes another argument count (and is not of the
// variable-argument C kind) becomes 0x10000: it is not called.
int unpackVMethod(uint64_t method, TVInfo* info);

// Per translation: the registry's nil, true and false, and the largest forward distance in
// bytecode bytes for which a short native jump is tried (6 at the start of a translation,
// lowered by one on each retry after a short jump did not reach).
extern uint64_t tNil, tTrue, tFalse;
extern int32_t effectiveMaxVBytesJumpShort;  // bytecode distance up to which a jump is emitted short

// Fatal translator failure: the message, the method's particulars and the code so far go to
// stderr, then the engine stops with a panic at file and line. vpc is the bytecode offset or
// -1; codeEnd the end of the code generated so far, or null.
[[noreturn]] void TAbortFunc(const char* message, int64_t vpc, const uint8_t* codeEnd, const char* file, int line);

// ---- the translation driver and the lookup of nmethods

// Answer codes below the lowest nmethod address (LookupResultCode).
enum : uint64_t {
  lookupNotUnderstood = 1,
  lookupNoSpace = 2,
  lookupNotTranslatable = 3,
  lookupOtherFailure = 4,
  lookupResultLimit = 5,
};

// Per translation: the method, its selector, the requested bytecode-to-native table (or null)
// and the block being written.
extern uint64_t tVMethod, tSelector;
extern uint64_t* tPVToN;  // the method being translated: native offset of each bytecode pc, null outside
extern uint32_t tPermAreaBytes;  // the permanent-area room of the one-time set-up
extern uint8_t* tLastCodeEnd;    // end of the code of the last translation (for listings)

// Translates method (sent as selector) into a new nmethod; answers it, or 2 (no room in the
// zone) or 3 (not translatable). With table non-null the nmethod is a throw-away holding the
// per-bytecode native offsets at *table (not shortened, map not stored): the caller frees it.
uint64_t nmTranslate(uint64_t method, uint64_t selector, uint64_t** table);
// The one-time set-up runs again at the next translation (after the zone was laid out anew).
void tResetFirstTime();

// Native offset of bytecode pc vpc (1 = the first bytecode) of method, -1 when it has none,
// and 0 (or the cannot-resume entry for the pc past the end) when the method cannot be
// translated.
int64_t mapVToNPC(uint64_t method, int64_t vpc);
// Bytecode pc of native offset npc in method's code, the smaller of it and nBytes + 1; -1
// when no bytecode maps there; 0 (nBytes + 1 for the cannot-resume entry) when the method
// cannot be translated. noRoom (when given) is set when the zone had no room for it.
int64_t mapNToVPC(uint64_t method, int64_t npc, int* noRoom = nullptr);
// Turns every context's native pc into a bytecode pc (before a snapshot). A pc no translation
// maps is reported and replaced by the method's cannot-resume pc; answers 0 only when that too
// is missing.
int mapAllNPCs();

// The method-to-nmethod tables: bucket heads chained through the header's link word.
struct VToNTable {
  uint64_t* buckets;
  uint32_t mask;
};
extern VToNTable allVToNTables[6];  // 0-3 blocks by argument count, 4 methods, 5 PICs
VToNTable* tableForVMethod(uint64_t method);
VToNTable* tableForNMethod(uint64_t nmethod);
void clearNTable();
// The nmethod of method (for selector; 0 any), without translating; 0 when none.
uint64_t vToNMethod(uint64_t method, uint64_t selector);
// The nmethod of block method method with kind arguments (its table: 0-2, more in the
// general block table), without translating; 0 when none.
uint64_t blockVToNMethod(uint64_t method, uint32_t kind);
// Translates method and enters the nmethod in its table; answers it or a code below 5.
uint64_t addNMethod(uint64_t method, uint64_t selector);
// The nmethod that runs when selector is sent to an instance of the class at classIndex,
// through the method cache; or 1 (not understood), 2, 3 or 4.
uint64_t findMethod(uint64_t selector, uint32_t classIndex);
// The same lookup for an open PIC's miss: with skipProbe set the two cache probes, which the
// PIC's code has just made, are left out; the victim is chosen and filled as always.
uint64_t findMethodForOpenPIC(uint64_t selector, uint32_t classIndex, int skipProbe);
extern uint64_t lastFailedMethod;  // the compiled method whose translation failed last
// Points the run-time core's and the zone's hooks at the translator.
void installTranslatorHooks();

// The method's class and selector to the debug log ("[] in " before a block method, the
// selector of its home method); ">>unboundMethod" for a method without class. printMethod
// ends the line.
void printMethodName(uint64_t method);
void printMethod(uint64_t method);

// Listings: the code of [from, to) one instruction a line, with the entry points of nmethod
// (when given) labelled, and the map bytes recorded at each instruction's end; the nmethod's
// record, its code, its primitive map and its PC map.
void fprintNCode(FILE* stream, const uint8_t* from, const uint8_t* to, uint64_t nmethod, const uint64_t* offsetTable);
void printEntireNMethod(uint64_t nmethod, const uint64_t* offsetTable, FILE* stream, int showRegisterNames, int flag);
