// Test support: new, perm, large and fixed space placed in one arena, and the checks of
// their invariants (the heap verifier's part for these spaces).
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
void newSpaceArena(const ArenaSizes& sizes = ArenaSizes());
void freeSpaceArena();

// 1 when new space walks from each start exactly to its top, over well-formed headers and
// fillers, and the large and fixed block chains hold; else 0 with the reason in *why.
int verifyNewLargeFixed(const char** why);

#define EXPECT_SPACES_VALID()                         \
  do {                                                \
    const char* why_ = "";                            \
    EXPECT_TRUE(verifyNewLargeFixed(&why_)) << why_;  \
  } while (0)
