// Object memory: the object primitives (identity, class, identity hash, immutability,
// changing an object's class) and freeing a dead object at once. Owns no global record.
// Prefix: none (initObjectPrims, recycleObj).
#pragma once
#include <cstdint>

#include "mman/mmObject.h"

// Frees a dead object's storage now, in whichever space it lives. A header still listed in
// the remembered table or marked by a running collection stays as an empty ByteArray.
void recycleObj(oop obj);
void initObjectPrims();
