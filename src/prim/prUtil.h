// Primitives: small services for primitive code (class membership).
// Owns no global. Prefix: none (isKindOf).
#pragma once
#include "mman/mmObject.h"

// 1 when the object's class (immediates by their tag's class) is cls or inherits from it;
// 0 when cls is nil.
int isKindOf(oop object, oop cls);
