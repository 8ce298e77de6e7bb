// Primitive utilities: conversions between C integers and integer objects.
// Owns no global record.
// Prefix: none (cSignedToOop, cUnsignedToOop, stOopToCValue).
#include "mman/mmCValue.h"

#include <cstring>

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

int stOopToCValue(void* destination, oop object, uint64_t size) {
  if (size != 1 && size != 2 && size != 4 && size != 8) return 0;
  uint64_t value;
  if (isSmallInteger(object)) {
    value = uint64_t(smallIntegerValue(object));
  } else if (isCharacter(object)) {
    value = characterValue(object);
  } else {
    if (!isHeapObject(object) || hasPtrs(headerOf(object)) || byteSizeOf(headerOf(object)) != 8) return 0;
    uint32_t tag = classTagOf(headerOf(object));
    if (tag != classIndexLargePositiveInteger && tag != classIndexLargeNegativeInteger) return 0;
    value = bodyOf(headerOf(object))[0];
    if (tag == classIndexLargeNegativeInteger) value = 0 - value;
  }
  memcpy(destination, &value, size);  // the low bytes: the engine runs little-endian
  return 1;
}
