// C interface: working with C memory without a call: C heap blocks, copies between objects
// and C memory, single C values at an address or a struct field, C strings to platform
// strings, kind sizes (primitives 335, 382, 384, 385, 392, 393, 396-399, 480-486, 490, 491).
// Owns no global record. Prefix: none (cValueAt, cValueStore, initCSupportPrimitives).
#pragma once
#include <cstdint>

#include "mman/mmObject.h"

// cValueAt's answers besides an object.
enum : uint64_t { cValueNoSpace = 0, cValueInvalid = 2 };

// The C value of kind2 at address as an object; kind1 (0..34) is only range-checked.
// Pointer results (kind2 13) are new instances of resultClass holding the address in slot 0
// and descriptor in slot 1. cValueNoSpace, or cValueInvalid for a bad kind or address 0.
oop cValueAt(uint64_t address, oop kind1, oop kind2, oop resultClass, oop descriptor);
// Stores value as a C value of kind2 at address: value, or 0 when it does not convert.
oop cValueStore(uint64_t address, oop kind1, oop kind2, oop value);

// Fills the kind size table, then registers the C support primitives.
void initCSupportPrimitives();
