// Test support: new, perm, large and fixed space placed in one static arena.
#include "mman/spaceArena.h"

#include <cassert>
#include <cstring>

#include "ext/exLeave.h"
#include "mman/mmFixedSpace.h"
#include "mman/mmLargeSpace.h"
#include "mman/mmNewSpace.h"
#include "mman/mmOldSpace.h"
#include "mman/mmPermSpace.h"
#include "stack/vmsupport.h"

// Static, so in the low part of the address space below every mapped segment.
alignas(4096) static uint8_t arena[8 << 20];

void newSpaceArena(const ArenaSizes& s) {
  uint64_t bytes = (2 * (s.survivorWords + 1) + s.edenWords + 10 + s.permWords + s.largeWords +
                    9 + s.fixedWords) * 8;
  assert(bytes <= sizeof arena);
  memset(arena, 0xA5, bytes);
  uint64_t past = uint64_t(arena), future = past + (s.survivorWords + 1) * 8;
  uint64_t edenStart = future + (s.survivorWords + 1) * 8;
  uint64_t edenEnd = edenStart + s.edenWords * 8;
  initNewSpaceBounds(edenStart, edenEnd, s.warningWords, past, past + s.survivorWords * 8,
                     future, future + s.survivorWords * 8);
  uint64_t perm = edenEnd + 80;
  initPermSpace(perm, perm + s.permWords * 8);
  uint64_t large = perm + s.permWords * 8;
  initLargeSpace(large, s.largeWords, 5000);
  FixedSpaceSegment* seg = reinterpret_cast<FixedSpaceSegment*>(large + s.largeWords * 8);
  initializeEmptyFixedSpaceSegment(seg, s.fixedWords, uint64_t(seg + 1), sizeof(BlockTableEntry));
  initFixedSpaceSegs(seg);
  for (uint32_t k = 0; k < requestKindCount; k++) clearRequest(k);
  anyAck.store(anyReq.load());
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
