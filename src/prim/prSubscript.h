// Primitives: the indexed-access primitives (slots, bytes, characters and machine numbers
// by index, string searches and comparison, range copies). Owns no global record.
// Prefix: none (initSubscriptPrims).
#pragma once
#include <cstdint>

#include "mman/mmObject.h"

// Registers every indexed-access primitive except the two-byte range copy, 414, which
// initStringPrims registers with the collation primitives.
void initSubscriptPrims();
// Primitive 414: replaceFrom: start to: stop with: src startingAt: srcStart on two-byte
// strings.
oop primTwoByteReplace(oop rcv, oop start, oop stop, oop src, oop srcStart);
