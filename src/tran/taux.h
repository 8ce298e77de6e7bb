// Translator: the method entry sequence, the prologue (frame, stack check, primitive call,
// temporaries), the return sequence, the abort stubs and the entry-code table.
// Owns AbortSendTable, AbortPrimFailTable, AbortNoFrame and entryCodeTable.
// Prefix: t (initTemps, tReturn, tFinishMethod), init (initTxAborts), restoreNMethodPostRelocation;
// the shared code sequences of cgenx86_64.h are defined beside them.
#pragma once

#include <cstdint>

#include "tran/tmain.h"

// Glue entries the generated code calls; the glue sets them (not built yet on this branch:
// tests point them at doubles). All below 2 GiB.
struct TGlueEntries {
  const void* picAbortSendMiss;   // rtPICAbortSendMiss
  const void* abortSend;          // rtAbortSend
  const void* abortPrimFail;      // rtAbortPrimFail
  const void* cannotResume;       // rtCannotResume
  const void* primGlue[5];        // PrimGlueTable, by min(numArgs, 4)
  const void* userPrimGlue[5];    // UserPrimGlueTable
  const void* primGlueVarArgMany; // rtPrimGlueVarArgMany
  const void* carefulCallPrim;    // rtCarefulCallPrim
};
extern TGlueEntries tGlue;

extern uint8_t* AbortSendTable[3];      // by min(numArgs, 2)
extern uint8_t* AbortPrimFailTable[3];
extern uint8_t* AbortNoFrame;
extern uint64_t entryCodeTable[8];      // first 8 code bytes: 0 frameless, 1-3 send, 5-7 primitive
extern uint8_t* primReturnEntry;        // of the method being translated, or null

// Generates the seven abort stubs into [area, answer) (a stand-in for their permanent-area
// placement through tGenerate, not built yet on this branch).
uint8_t* initTxAborts(uint8_t* area);
// The prologue of the method described by info at blockStart (code from blockStart + 40);
// answers the body's first byte. Decides a zero frame size from the bytecodes and writes the
// decision back into info.
uint8_t* initTemps(const uint8_t* bytecodes, uint8_t* blockStart, TVInfo* info);
// Returns the top (already in rbx) from a method with frameSize words and numArgs arguments.
uint8_t* tReturn(int frameSize, int numArgs, uint8_t* at);
// Frame size (words) for a method whose header says 0: frameless or 12 from its bytecodes.
int tFrameSizeFor(const uint8_t* bytecodes, const uint8_t* end, const TVInfo* info);
// The first translation's one-time set-up: abort stubs and store stubs into area (a stand-in
// for the permanent code area), the entry sequence measured in scratch against the layout
// constants (a difference is fatal), the entry-code table. Answers the end of area's use.
uint8_t* initFirstTime(uint8_t* scratch, uint8_t* area);
// Fills entryCodeTable from the abort stubs (they must exist).
void initEntryCodeTable();
// Rewrites the first eight code bytes of a moved nmethod from the entry-code table.
void restoreNMethodPostRelocation(uint8_t* nmethod);
// After the body of a primitive method: maps the code end to the last bytecode, then the
// careful-call stub and the two trailer words; answers the end of the code.
uint8_t* tFinishMethod(uint8_t* at, uint8_t* blockStart, const TVInfo* info);
