// Translator: the method entry sequence, the prologue (frame, stack check, primitive call,
// temporaries), the return sequence, the abort stubs and the entry-code table.
// Owns AbortSendTable, AbortPrimFailTable, AbortNoFrame and entryCodeTable.
// Prefix: t (initTemps, tReturn, tFinishMethod), init (initTxAborts), restoreNMethodPostRelocation;
// the shared code sequences of cgenx86_64.h are defined beside them.
#pragma once

#include <cstdint>

#include "tran/tmain.h"

extern uint8_t* AbortSendTable[3];      // by min(numArgs, 2)
extern uint8_t* AbortPrimFailTable[3];  // abort stubs of methods with a primitive, by register arguments
extern uint8_t* AbortNoFrame;           // abort stub of a method without a frame
extern uint64_t entryCodeTable[8];      // first 8 code bytes: 0 frameless, 1-3 send, 5-7 primitive
extern uint8_t* primReturnEntry;        // of the method being translated, or null

// Run-time stubs in the zone's permanent area. A generator writes its code at the given
// address and answers the end; tGenerate runs it twice (measuring in scratch space, then at
// the permanent address), pads to 16 bytes, flushes the i-cache and enters the stub under
// its name in the code symbol table. tGenerate1 hands argument and number to the generator
// and appends the number to the name. Both answer the stub's address.
typedef uint8_t* (*TGenerator)(uint8_t* at);
typedef uint8_t* (*TGenerator1)(uint8_t* at, uint64_t argument, int number);
uint8_t* tGenerate(TGenerator generator, const char* name);
uint8_t* tGenerate1(TGenerator1 generator, uint64_t argument, int number, const char* name);

// Code symbol table for listings and the profiler: the two profiler areas, then one entry per
// stub, named "Nrt" and the description in camel case ("abort send" 1 is "NrtAbortSend1").
struct CodeSymbol {
  uint64_t address;
  char name[48];
};
enum { nzoneRTSymbolCapacity = 25 };
extern CodeSymbol nzoneRTSymbolTable[nzoneRTSymbolCapacity];  // names of the stubs in the permanent area
extern int nzoneRTSymbolCount;                                // entries used
// The name of the stub that starts at address, or null.
const char* nzoneSymbolAt(uint64_t address);
// Forgets every entry and the profiler areas (the zone was laid out afresh).
void resetCodeSymbols();

extern uint8_t* startNMethod;            // block being written (a stub's address less 40)
extern uint64_t profile_compaction_area; // set by the first stub: the end of that stub
extern uint64_t profile_other_area;      // midway from there to maxNZonePC, 16-aligned
extern uint32_t tDebug;                  // bit 7: list every stub made; 0x1000: listings show offsets in the nmethod
extern uint32_t generatingRuntimeRoutines;  // 1 while the first translation makes its stubs

// The seven abort stubs ("abort send" and "abort prim fail" for 0-2 arguments, "abort send no
// frame") in the permanent area; fills AbortSendTable, AbortPrimFailTable and AbortNoFrame.
void initTxAborts();
// The prologue of the method described by info at blockStart (code from blockStart + 40);
// answers the body's first byte. Decides a zero frame size from the bytecodes and writes the
// decision back into info.
uint8_t* initTemps(const uint8_t* bytecodes, uint8_t* blockStart, TVInfo* info);
// Returns the top (already in rbx) from a method with frameSize words and numArgs arguments.
uint8_t* tReturn(int frameSize, int numArgs, uint8_t* at);
// Frame size (words) for a method whose header says 0: frameless or 12 from its bytecodes.
int tFrameSizeFor(const uint8_t* bytecodes, const uint8_t* end, const TVInfo* info);
// The first translation's one-time set-up: the abort stubs, the entry sequence measured in
// scratch space against the layout constants (a difference is fatal), the entry-code table,
// the translated primitives and the store stubs. The shared stubs of later components (PICs,
// the non-Boolean branch stubs) are made by them.
void initFirstTime();
// Fills entryCodeTable from the abort stubs (they must exist).
void initEntryCodeTable();
// Rewrites the first eight code bytes of a moved nmethod from the entry-code table.
void restoreNMethodPostRelocation(uint8_t* nmethod);
// After the body of a primitive method: maps the code end to the last bytecode, then the
// careful-call stub and the two trailer words; answers the end of the code.
uint8_t* tFinishMethod(uint8_t* at, uint8_t* blockStart, const TVInfo* info);
