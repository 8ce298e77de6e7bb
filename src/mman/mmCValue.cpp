// Primitive utilities: conversions between C integers and integer objects.
// Owns no global record.
// Prefix: none (cSignedToOop, cUnsignedToOop).
#include "mman/mmCValue.h"

#include "mman/mmAllocate.h"
#include "mman/mmSysOop.h"

// An 8-byte large integer of the given class holding magnitude; eden first.
static oop newLargeInteger(uint32_t classTag, uint64_t magnitude) {
  ObjectHeader* h = allocInEdenInline(classTag, 0, 8, 0, noFill);
  if (h == nullptr) h = allocSmallObj(classTag, 0, 8, 0, noFill);
  if (h == nullptr) return 0;
  bodyOf(h)[0] = magnitude;
  return oopOf(h);
}

oop cSignedToOop(int64_t value) {
  if (fitsSmallInteger(value)) return smallIntegerFor(value);
  if (value > 0) return newLargeInteger(classIndexLargePositiveInteger, uint64_t(value));
  return newLargeInteger(classIndexLargeNegativeInteger, 0 - uint64_t(value));
}

oop cUnsignedToOop(uint64_t value) {
  if (value <= uint64_t(smallIntegerMax)) return smallIntegerFor(int64_t(value));
  return newLargeInteger(classIndexLargePositiveInteger, value);
}
