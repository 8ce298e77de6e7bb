// Primitives: LargePositiveInteger and LargeNegativeInteger arithmetic, comparison, bit,
// shift and gcd primitives (21-39) on the byte bodies in place. Owns the SmallInteger
// scratch operand and the division work records. Prefix: none (initLargeIntPrims).
#pragma once
#include <cstdint>

#include "mman/mmObject.h"

// Registers primitives 21..39 (one argument each), in number order.
void initLargeIntPrims();
