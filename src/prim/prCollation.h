// Primitives: the string primitives: the two-byte range copy and the collation
// primitives that test, decompose and compare strings by tables held in the image.
// Owns the decomposition output buffer. Prefix: none (initStringPrims).
#pragma once
#include <cstdint>

#include "mman/mmObject.h"

// Registers 414 and the collation primitives 1710-1712.
void initStringPrims();
// Gives back the decomposition output buffer (kept between calls); the next call starts
// again with room for 10 codes.
void releaseDecompositionBuffer();
