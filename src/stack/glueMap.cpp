// Execution engine: the glue thunks (see glueMap.h).
#include "stack/glueMap.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "stack/glue.h"
#include "tran/nmalloc.h"
#include "tran/taux.h"
#include "tran/tmain.h"

GlueMapPair glueMap[glueMapCapacity];
int glueMapCount;

static const char* const glueMapFile = __FILE__;

// A call or jump's displacement counts from the end of its instruction, at most 16 bytes on.
bool glueInReach(uint64_t address) {
  const int64_t reach = int64_t(1) << 31;
  return int64_t(address - minNZonePC) < reach - 16 && int64_t(maxNZonePC - address) < reach - 16;
}

uint64_t glueThunkFor(uint64_t glue) {
  if (glueInReach(glue)) return glue;
  for (int i = 0; i < glueMapCount; i++)
    if (glueMap[i].glue == glue) return glueMap[i].thunk;
  char message[80];
  snprintf(message, sizeof message, "no thunk for glue routine 0x%" PRIx64 " (0x%" PRIx64 ")", glue, glue);
  TAbortFunc(message, -1, nullptr, glueMapFile, __LINE__);
}

uint8_t* genGlueThunk(uint8_t* at, uint64_t pairIndex, int) {
  uint64_t glue = glueMap[pairIndex].glue;
  uint32_t low = uint32_t(glue), high = uint32_t(glue >> 32);
  static const uint8_t movHigh[4] = {0xC7, 0x44, 0x24, 0x04};
  at[0] = 0x68;
  memcpy(at + 1, &low, 4);
  memcpy(at + 5, movHigh, 4);
  memcpy(at + 9, &high, 4);
  at[13] = 0xC3;
  return at + glueThunkBytes;
}

void initGlueMapFor(const uint64_t* routines, int count) {
  glueMapCount = 0;
  for (int i = 0; i < count; i++) {
    if (glueInReach(routines[i])) continue;
    if (glueMapCount == glueMapCapacity) TAbortFunc("glueMap too small", -1, nullptr, glueMapFile, __LINE__);
    glueMap[glueMapCount++] = {0, routines[i]};
  }
  for (int i = glueMapCount - 1; i >= 0; i--)
    glueMap[i].thunk = uint64_t(tGenerate1(genGlueThunk, uint64_t(i), i, "gluemap"));
}

void initGlueMap() {
#define GLUE_ADDRESS(name, ...) glueAddress(name),
  static const uint64_t routines[] = {GLUE_ENTRIES(GLUE_ADDRESS) GLUE_EXITS(GLUE_ADDRESS)};
#undef GLUE_ADDRESS
  initGlueMapFor(routines, int(sizeof routines / sizeof routines[0]));
}
