// Primitives: utilities that primitive code of every group uses (class membership, integer
// objects to C integers, error objects carrying a value). Owns no global record.
// Prefix: none (isKindOf, inheritsFrom1..4, oopToQ32 .. oopToSq64, cloneErrorWith, ...).
#include "mman/mmPrimUtil.h"

#include "ext/exError.h"
#include "mman/mmAllocate.h"
#include "mman/mmCValue.h"
#include "mman/mmRt.h"
#include "mman/mmSysOop.h"

static const char* const utilSource = SOURCE_NAME;

// ---- Class membership ------------------------------------------------------------------------

static int inheritsFromAny(oop cls, const oop* candidates, int n) {
  oop nil = nilOop();
  for (oop c = cls; c != nil; c = superclassOf(c))
    for (int i = 0; i < n; i++)
      if (c == candidates[i]) return 1;
  return 0;
}

int isKindOf(oop object, oop cls) {
  if (cls == nilOop()) return 0;
  return inheritsFromAny(classOf(object), &cls, 1);
}
int inheritsFrom1(oop cls, oop c1) { return inheritsFromAny(cls, &c1, 1); }
int inheritsFrom2(oop cls, oop c1, oop c2) {
  const oop cs[] = {c1, c2};
  return inheritsFromAny(cls, cs, 2);
}
int inheritsFrom3(oop cls, oop c1, oop c2, oop c3) {
  const oop cs[] = {c1, c2, c3};
  return inheritsFromAny(cls, cs, 3);
}
int inheritsFrom4(oop cls, oop c1, oop c2, oop c3, oop c4) {
  const oop cs[] = {c1, c2, c3, c4};
  return inheritsFromAny(cls, cs, 4);
}

// ---- Integer objects to C integers -----------------------------------------------------------

int oopToQ32(oop object, uint32_t* out) {
  if (!isSmallInteger(object)) return 0;
  int64_t v = smallIntegerValue(object);
  if (v < 0 || v > int64_t(UINT32_MAX)) return 0;
  *out = uint32_t(v);
  return 1;
}

int oopToSq32(oop object, int32_t* out) {
  if (!isSmallInteger(object)) return 0;
  int64_t v = smallIntegerValue(object);
  if (v < INT32_MIN || v > INT32_MAX) return 0;
  *out = int32_t(v);
  return 1;
}

int oopToQ31(oop object, uint32_t* out) {
  uint32_t v;
  if (!oopToQ32(object, &v) || v > uint32_t(INT32_MAX)) return 0;
  *out = v;
  return 1;
}

// The magnitude of a large integer of class classTag holding 5 to 8 bytes.
static int largeMagnitude(oop object, uint32_t classTag, uint64_t* out) {
  if (!isHeapObject(object)) return 0;
  ObjectHeader* h = headerOf(object);
  if (classTagOf(h) != classTag || hasPtrs(h)) return 0;
  uint64_t bytes = byteSizeOf(h);
  if (bytes < 5 || bytes > 8) return 0;
  *out = bodyOf(h)[0];
  return 1;
}

int oopToQ64(oop object, uint64_t* out) {
  if (isSmallInteger(object)) {
    if (smallIntegerValue(object) < 0) return 0;
    *out = uint64_t(smallIntegerValue(object));
    return 1;
  }
  return largeMagnitude(object, classIndexLargePositiveInteger, out);
}

int oopToQ63(oop object, uint64_t* out) {
  uint64_t v;
  if (!oopToQ64(object, &v) || v >= (uint64_t(1) << 63)) return 0;
  *out = v;
  return 1;
}

int oopToSq64(oop object, int64_t* out) {
  uint64_t m;
  if (isSmallInteger(object)) {
    *out = smallIntegerValue(object);
    return 1;
  }
  if (largeMagnitude(object, classIndexLargePositiveInteger, &m)) {
    if (m >= (uint64_t(1) << 63)) return 0;
    *out = int64_t(m);
    return 1;
  }
  if (!largeMagnitude(object, classIndexLargeNegativeInteger, &m) || m > (uint64_t(1) << 63)) return 0;
  *out = int64_t(0 - m);
  return 1;
}

// ---- Error objects ---------------------------------------------------------------------------

oop cloneErrorWith(oop error, oop value) {
  if (isImmediate(error) || value == 0 || !hasPtrs(headerOf(error))) return error;
  if (bodyWordsOf(headerOf(error)) == 0) return error;
  ObjectHeader* copy = createShallowCopyOf(headerOf(error));
  if (copy == nullptr) return error;
  storeSlot(oopOf(copy), 0, value, utilSource, __LINE__);
  return oopOf(copy);
}

// A fault carries both raw values, as integers in a two-slot Array.
static oop faultError(const CallErrorRecord* record) {
  oop nil = nilOop();
  oop v1 = cUnsignedToOop(record->value1);
  oop v2 = cUnsignedToOop(record->value2);
  ObjectHeader* pair = allocVSObj(sysOop(sysArrayClass), 2);
  oop carried = 0;
  if (pair != nullptr) {
    storeSlot(oopOf(pair), 0, v1 != 0 ? v1 : nil, utilSource, __LINE__);
    storeSlot(oopOf(pair), 1, v2 != 0 ? v2 : nil, utilSource, __LINE__);
    carried = oopOf(pair);
  }
  return cloneErrorWith(primErrorAt(17), carried);
}

oop cloneCallCError(const CallErrorRecord* record) {
  oop code = record->code;
  if (code == oop(callErrorFault)) return faultError(record);
  oop value = 0;
  if (record->value1 != 0)
    value = cSignedToOop(int64_t(record->value1));
  else if (code == oop(int64_t(-77)))
    value = smallIntegerFor(0);
  if (code == 0) return cloneErrorWith(primErrorAt(3), value);
  if (isSmallInteger(code)) {
    int64_t n = -smallIntegerValue(code);
    uint64_t entries = bodyWordsOf(headerOf(sysOop(sysPrimErrorTable)));
    if (n > 0 && uint64_t(n - 1) < entries) return cloneErrorWith(primErrorAt(uint32_t(n - 1)), value);
    return code;
  }
  return cloneErrorWith(code, value);
}
