// Primitive utilities: conversions between C integers and integer objects.
// Owns no global record.
// Prefix: none (cSignedToOop, cUnsignedToOop).
#pragma once
#include <cstdint>

#include "mman/mmObject.h"

// A SmallInteger when the value fits, else a new 8-byte LargePositiveInteger or
// LargeNegativeInteger holding the magnitude (always 8 bytes); 0 when no space.
oop cSignedToOop(int64_t value);
oop cUnsignedToOop(uint64_t value);
