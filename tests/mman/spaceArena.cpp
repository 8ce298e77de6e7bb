// Test support: new, perm, large and fixed space placed in one static arena.
#include "mman/spaceArena.h"

#include <cassert>
#include <cstring>

#include "ext/exMemory.h"
#include "ext/exRequest.h"
#include "imageWriter.h"
#include "mman/mmFixedSpace.h"
#include "mman/mmLargeSpace.h"
#include "mman/mmNewSpace.h"
#include "mman/mmOldSpace.h"
#include "mman/mmPermSpace.h"

// Static, so in the low part of the address space below every mapped segment.
alignas(4096) static uint8_t arena[8 << 20];

void newSpaceArena(const ArenaSizes& s) {
  IwHeapSizes sizes;
  sizes.edenWords = s.edenWords;
  sizes.warningWords = s.warningWords;
  sizes.survivorWords = s.survivorWords;
  sizes.largeWords = s.largeWords;
  sizes.fixedWords = s.fixedWords;
  sizes.permWords = s.permWords;
  uint64_t bytes = iwSpacesBytes(sizes);
  assert(bytes <= sizeof arena);
  memset(arena, 0xA5, bytes);
  iwLayOutSpaces(uint64_t(arena), sizes);
}

// Old segments come from moreMemory; they go back with the arena.
static void freeOldSegments() {
  writeBackOldSpace();
  for (OldSpaceSegment* s = oldSpaceSegs.first; s != nullptr;) {
    OldSpaceSegment* next = s->next;
    lessMemory(s, s->otHigh + 16 - reinterpret_cast<uint64_t>(s), s->segFlags & segMapped);
    s = next;
  }
  memset(&oldSpaceSegs, 0, sizeof oldSpaceSegs);
  memset(&oldSpace, 0, sizeof oldSpace);
}

void freeSpaceArena() {
  freeOldSegments();
  eden = {};
  pastSpace = futureSpace = {};
  largeSpace = {};
  fixedSpace = {};
  fixedSpaceSegs = {};
  permSpace = {};
  permSpaceSegs = {};
  permSpaceExists = 0;
}
