// Translator: the primitives through which the image controls the translator (caches,
// translation options, code-layout constants, listings) and the native-code sampling profiler.
// Owns ProfileState (below). Prefix: none (initNMethodPrims, incrementProfile, recordCompacted,
// moveProfiledCode, finishProfiledMove).
#pragma once
#include <cstdint>

#include "mman/mmObject.h"
#include "tran/taux.h"

// ProfileState. While collectingProfileData is 1, every profiling-timer sample adds one to the
// 64-bit counter of the 8-byte code word it interrupted: engineData holds one counter per 8
// bytes of the program's text range, nzoneData one per 8 bytes of the native-method zone;
// samples outside both ranges are counted in profileOutsideSamples. The buffers are the bodies
// of two fixed-space byte objects, kept alive in two registry slots while collecting.
extern volatile uint32_t collectingProfileData;
extern uint64_t* engineData;  // profiler counters, one per 8 bytes of the program's code
extern uint64_t* nzoneData;   // and of the native-method zone; null while not profiling
extern volatile uint64_t profileOutsideSamples;  // samples that fell in neither range
extern int64_t profileEngineBufferX, profileNZoneBufferX;  // registry slots, -1 until first use

// The labels a profiler's symbol table reads besides the run-time stubs: ".NZone" (zone
// bottom), ".NMethodEnd" (end of the nmethods then), ".NZoneEnd" (end of the code area), then
// the entries of nzoneRTSymbolTable; filled when the profiler starts.
enum { profileSymbolCapacity = 3 + nzoneRTSymbolCapacity };
extern CodeSymbol profileSymbols[profileSymbolCapacity];  // names the profile report gives addresses
extern int profileSymbolCount;                            // entries used

// Registers the primitives 89, 522, 526, 537, 1001-1005 and 1009 (translator start-up).
void initNMethodPrims();
// One profiling sample at the interrupted pc; safe in a signal handler.
void incrementProfile(uint64_t pc);
// Adds count to the compaction counters ("CompactedCode" up to "OtherCode"): a counter that
// would pass 2^64 - 1 stays there and the rest goes on to the next; the last one saturates.
void recordCompacted(uint64_t count);
// nmethod compaction while collecting: moves bytes of code from src down to dest eight bytes
// at a time with their counters; a counter overwritten at a destination is remembered.
void moveProfiledCode(uint64_t dest, uint64_t src, uint64_t bytes);
// After the last move: the remembered counts and those left between the new free pointer and
// the old one (code that was freed) go to recordCompacted, and that range is zeroed.
void finishProfiledMove(uint64_t newFree, uint64_t oldFree);

// Commits the running primitive with committed and discards every translation: the active
// context waits in registry slot temp1RegisteredOopX while every frame becomes a stable
// context with a bytecode pc, then resumes. Answers 1; 0 when the stacks could not be
// stabilised, nothing discarded (the primitive is committed either way, so a failure then
// runs its fallback from the frame). For switches that translated code has built in.
int nmDiscardAllCode(oop committed);

// How the translation primitives make every frame a stable context whose pc is a bytecode
// pc (1) or find they cannot (0); tests put in a failing one.
extern int (*nmPrimStabilizeHook)();
// Null: the listing primitive makes its string with allocVSObj; tests put in one that fails.
extern ObjectHeader* (*nmListingAllocHook)(oop stringClass, uint64_t bytes);
