// Primitives: the memory-policy primitives: the estimate of free old space (115) and the
// seven size fractions the next start-up applies (305, 306). Owns no global record (the
// fractions live in imageLayout). Prefix: none (initResourcePrims).
#pragma once
#include <cstdint>

// The fractions x 10000 in the order the primitives use: eden, survivor, large space, stack
// zone, code cache, old-space headroom, fixed space.
enum : uint32_t { resourceFractionCount = 7 };
uint32_t* resourceFraction(uint32_t i);

void initResourcePrims();
