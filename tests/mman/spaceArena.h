// Test support: new, perm, large and fixed space placed in one static arena, as start-up
// places them. Their invariants are checked by the shared heap verifier (heapVerifier.h).
#pragma once
#include <cstdint>

#include "mman/mmObject.h"

struct ArenaSizes {
  uint64_t edenWords = 4096;     // eden
  uint64_t warningWords = 512;   // eden's warning gap
  uint64_t survivorWords = 1024; // each survivor space
  uint64_t largeWords = 4096;    // large space area
  uint64_t fixedWords = 4096;    // the first fixed segment's area
  uint64_t permWords = 2048;     // perm space area
};

// Lays the spaces out as start-up does (survivors with a word of gap, eden with 80 bytes,
// then perm, large, the fixed record and fixed space) and clears the request counters.
// The arena is static, so it lies below every mapped old segment.
void newSpaceArena(const ArenaSizes& sizes = ArenaSizes());
void freeSpaceArena();
