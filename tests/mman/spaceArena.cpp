// Test support: new, perm, large and fixed space placed in one arena, and the checks of
// their invariants (the heap verifier's part for these spaces).
#include "spaceArena.h"

#include <cstdlib>
#include <cstring>

#include "mman/mmFixedSpace.h"
#include "mman/mmLargeSpace.h"
#include "mman/mmNewSpace.h"
#include "mman/mmPermSpace.h"
#include "stack/vmsupport.h"

static void* arena;

void newSpaceArena(const ArenaSizes& s) {
  uint64_t bytes = (2 * (s.survivorWords + 1) + s.edenWords + 10 + s.permWords + s.largeWords +
                    9 + s.fixedWords) * 8 + 64;
  arena = malloc(bytes);  // the spaces are aligned inside it
  memset(arena, 0xA5, bytes);
  uint64_t a = (uint64_t(arena) + 15) & ~uint64_t(15);
  uint64_t past = a, future = past + (s.survivorWords + 1) * 8;
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

void freeSpaceArena() {
  free(arena);
  arena = nullptr;
  fixedSpaceSegs = {};
  permSpaceExists = 0;
}

// Every header of [from, top) is a filler or a well-formed object; the walk lands on top.
static int verifyNewArea(const char* name, uint64_t from, uint64_t top, const char** why) {
  uint64_t a = from;
  while (a < top) {
    ObjectHeader* h = reinterpret_cast<ObjectHeader*>(a);
    if (classTagOf(h) == 0) {
      if (h->dataPtr != 0) return *why = "filler with a body pointer", 0;
    } else if (sizeFieldOf(h) == sizeFieldLarge || sizeFieldOf(h) == sizeFieldFixed) {
      if (hasPtrs(h)) return *why = "pointer object with a large or fixed body", 0;
    } else if (h->dataPtr != a + 16 + (hasSizeWord(h) ? 8 : 0)) {
      return *why = "new object whose body is not beside its header", 0;
    } else if (hasSizeWord(h) && *sizeWordOf(h) <= maxInlineBodyBytes) {
      return *why = "size word on a body that fits the size field", 0;
    }
    a = oopOf(nextNewSpaceHeader(h));
  }
  if (a != top) return *why = name, 0;
  return 1;
}

int verifyNewLargeFixed(const char** why) {
  writeNewSpaceEndMarkers();
  if (eden.allocPtr > eden.end || pastSpace.top > pastSpace.end) return *why = "top past end", 0;
  if (!verifyNewArea("eden walk overshoots its top", eden.start, eden.allocPtr, why)) return 0;
  if (!verifyNewArea("past walk overshoots its top", pastSpace.start, pastSpace.top, why)) return 0;
  if (!btVerify(&largeSpace.table, why)) return 0;
  return verifyFixedSpace(why);
}
