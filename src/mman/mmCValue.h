// Primitive utilities: conversions between C integers and integer objects.
// Owns no global record.
// Prefix: none (cSignedToOop, cUnsignedToOop, stOopToCValue).
#pragma once
#include <cstdint>

#include "mman/mmObject.h"

// A SmallInteger when the value fits, else a new 8-byte LargePositiveInteger or
// LargeNegativeInteger holding the magnitude (always 8 bytes); 0 when no space.
oop cSignedToOop(int64_t value);
oop cUnsignedToOop(uint64_t value);

// Stores the low size bytes (1, 2, 4 or 8, no range check) of an integer object's value: a
// SmallInteger, a Character's code, or an 8-byte LargePositiveInteger or
// LargeNegativeInteger. 0 for anything else (SmallDoubles included) or another size.
int stOopToCValue(void* destination, oop object, uint64_t size);
