// Object memory: which space each new object goes to, the instantiation, copying, resizing and
// freeing services, and the allocation primitives. Owns no global record.
// Prefix: none (allocSmallObj, allocVSObj, allocFSObj, createShallowCopyOf, recycleObj, ...).
#pragma once
#include <cstdint>

#include "mman/mmNewSpace.h"
#include "mman/mmObject.h"

// Every routine answers the new header or 0; 0 means every space it may use was full (the
// scavenge request has then been posted by eden's overflow). Arguments: class index, named
// slot count, body bytes, header flags or-ed into the u64 at +8 (hasPtrs, and isGCSpecial /
// ephemeronNotWeak for weak objects and ephemerons), and the fill word (noFill: unfilled).
enum : uint64_t {
  maxIndexedElements = uint64_t(1) << 56,  // counts up to and including this are accepted
  smallBodyLimitBytes = 2048,              // larger bodies take the large-object routes
};

// New space, then large space for bodies without pointers, then old space (no reserve).
ObjectHeader* allocSmallObj(uint32_t classTag, int64_t namedSlots, uint64_t byteSize,
                            uint64_t headerFlags, uint64_t fill);
// Large space, then new space, then old space (no reserve).
ObjectHeader* allocLargeByteObj(uint32_t classTag, uint64_t byteSize, uint64_t headerFlags,
                                uint64_t fill);
// New space, then old space (no reserve).
ObjectHeader* allocLargePointerObj(uint32_t classTag, int64_t namedSlots, uint64_t byteSize,
                                   uint64_t headerFlags, uint64_t fill);

// Instances of a class (which must already have a class index): variable with count
// indexed elements (0 above 2^56), non-indexable, and byte instances with a fixed body.
ObjectHeader* allocVSObj(oop cls, uint64_t count);
ObjectHeader* allocFSObj(oop cls);
ObjectHeader* allocVSObjInFixedSpace(oop cls, uint64_t byteCount);

// Same class, size, named count or odd bytes and body words; never the hash, immutability
// or remembered-table flags. 0 for hybrid contexts (class indices 8, 9) or no space.
ObjectHeader* createShallowCopyOf(ObjectHeader* h);
// Makes a pointer object words long: the object itself (equal length, or cut in place), a
// shorter copy, or 0 (longer, a byte object, or no space).
ObjectHeader* shrinkOrCopyPtrObj(ObjectHeader* h, uint64_t words);

// Frees a dead object's storage now, in whichever space it lives. A header still listed in
// the remembered table or marked by a running collection stays as an empty ByteArray.
void recycleObj(oop obj);

// The store check of a new object that did not land in new space and may hold any value:
// incremental marking, the remembered table and, for perm objects, the old one.
void rememberCopyOutsideNewSpace(ObjectHeader* copy, const char* file, int line);

void initAllocationPrims();
