// Execution engine: thunks through which generated code reaches glue routines that lie
// beyond the 32-bit reach of the code zone. Owns glueMap. Prefix: none (glueThunkFor,
// initGlueMap, genGlueThunk).
#pragma once
#include <cstdint>

// A glue routine out of reach and the 14-byte thunk in the zone's permanent area that jumps
// to it.
struct GlueMapPair {
  uint64_t thunk;
  uint64_t glue;
};
enum { glueMapCapacity = 20, glueThunkBytes = 14 };
extern GlueMapPair glueMap[glueMapCapacity];
extern int glueMapCount;

// The glue address itself when every pc of the code zone reaches it with a 32-bit
// displacement, else its thunk; neither is a translator abort.
uint64_t glueThunkFor(uint64_t glue);
// Pairs every glue routine out of reach (in the order of the glue's entry list) with a new
// thunk; more than glueMapCapacity of them is a translator abort ("glueMap too small").
void initGlueMap();
void initGlueMapFor(const uint64_t* routines, int count);
// Writes pair index's thunk at at: push imm32 (the low half), mov dword [rsp+4], imm32 (the
// high half), ret; answers the next free byte.
uint8_t* genGlueThunk(uint8_t* at, uint64_t pairIndex, int);
// Whether every pc of the code zone reaches address with a 32-bit displacement.
bool glueInReach(uint64_t address);
