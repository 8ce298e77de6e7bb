// Primitives: the memory-policy primitives 115, 305 and 306.
// Owns no global record. Prefix: none.
#include "prim/prResources.h"

#include <cmath>
#include <cstring>

#include "ext/exError.h"
#include "ext/exPrimTable.h"
#include "mman/mmAllocate.h"
#include "mman/mmCValue.h"
#include "mman/mmImageHeader.h"
#include "mman/mmOldSpace.h"
#include "mman/mmRt.h"
#include "mman/mmSysOop.h"
#include "prim/prDouble.h"
#include "stack/nsupport.h"

uint32_t* resourceFraction(uint32_t i) {
  uint32_t* fields[resourceFractionCount] = {
      &imageLayout.edenSizeFraction,      &imageLayout.survivorSizeFraction, &imageLayout.largeSizeFraction,
      &imageLayout.stackSizeFraction,     &imageLayout.codeCacheSizeFraction, &imageLayout.oldHeadroomFraction,
      &imageLayout.fixedSizeFraction};
  return fields[i];
}

// Primitive 115: free old-space words plus a tenth of the room left beyond the reserve (a
// reserve deficit counts a tenth against the free words).
static oop primOldSpaceFreeEstimate(oop) {
  uint64_t left = slotsLeftInOldSpace(), reserve = osReserveSlots, free = oldSpaceSegs.freeSlots;
  uint64_t words;
  if (left >= reserve) words = free + (left - reserve) / 10;
  else words = (reserve - left) / 10 >= free ? 0 : free - (reserve - left) / 10;
  oop answer = cUnsignedToOop(words);
  return answer != 0 ? answer : failPrimitive(primErrorAt(primErrNoSpace), 0);
}

// A fraction from a 4-byte Float: finite, not negative, and times 10000 within 32 bits.
static bool fractionOf(oop element, uint32_t* out) {
  if (!isHeapObject(element) || classTagOf(headerOf(element)) != classIndexFloat) return false;
  float f;
  memcpy(&f, bodyOf(headerOf(element)), sizeof f);
  // In the Float's own precision, so that what 306 answers sets the same fractions again.
  double scaled = std::trunc(double(f * 10000.0f));
  if (!std::isfinite(scaled) || scaled < 0 || scaled > 4294967295.0) return false;
  *out = uint32_t(scaled);
  return true;
}

// Primitive 305: every element is checked before any fraction is stored; nil leaves its
// fraction, and six elements leave fixed space's.
static oop primSetFractions(oop receiver, oop array) {
  if (!isHeapObject(array) || classTagOf(headerOf(array)) != classIndexArray) return failPrimitive(primErrorAt(primErrBadArgument), 1);
  uint64_t n = bodyWordsOf(headerOf(array));
  if (n != 6 && n != 7) return failPrimitive(primErrorAt(primErrBadArgument), 1);
  uint32_t values[resourceFractionCount];
  for (uint64_t i = 0; i < n; i++) {
    oop e = slotOf(array, i);
    if (e != nilOop() && !fractionOf(e, &values[i])) return failPrimitive(primErrorAt(primErrBadArgument), 1);
  }
  for (uint64_t i = 0; i < n; i++)
    if (slotOf(array, i) != nilOop()) *resourceFraction(uint32_t(i)) = values[i];
  return receiver;
}

// Primitive 306: a new Array of the seven fractions as 4-byte Floats.
static oop primFractions(oop) {
  uint32_t tag = classIndexArray;
  ObjectHeader* a = allocInEdenInline(tag, 0, resourceFractionCount * 8, hasPtrsBit, nilOop());
  if (a == nullptr) a = allocSmallObj(tag, 0, resourceFractionCount * 8, hasPtrsBit, nilOop());
  if (a == nullptr) return failPrimitive(primErrorAt(primErrNoSpace), 0);
  for (uint32_t i = 0; i < resourceFractionCount; i++) {
    oop f = newFloatBox(float(double(*resourceFraction(i)) / 10000.0));
    if (f == 0) return failPrimitive(primErrorAt(primErrNoSpace), 0);
    storeSlot(oopOf(a), i, f, SOURCE_NAME, __LINE__);
  }
  return oopOf(a);
}

void initResourcePrims() {
  addCPrimitive(115, reinterpret_cast<const void*>(primOldSpaceFreeEstimate), 0);
  addCPrimitive(305, reinterpret_cast<const void*>(primSetFractions), 1);
  addCPrimitive(306, reinterpret_cast<const void*>(primFractions), 0);
}
