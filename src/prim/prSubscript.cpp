// Primitives: the indexed-access primitives.
// Owns no global record. Prefix: none.
#include "prim/prSubscript.h"

#include <cmath>
#include <cstring>

#include "ext/exError.h"
#include "ext/exOption.h"
#include "ext/exPrimTable.h"
#include "ext/exRequest.h"
#include "mman/mmAllocate.h"
#include "mman/mmCString.h"
#include "mman/mmCValue.h"
#include "mman/mmIncGC.h"
#include "mman/mmPrimUtil.h"
#include "mman/mmRt.h"
#include "mman/mmSysOop.h"
#include "stack/nsupport.h"
#include "stack/stackframe.h"

// Indices are 1-based SmallIntegers: a non-SmallInteger index fails 3 before an out-of-range
// one fails 6, bounds are tested before immutability, and every oop store runs the store
// check. Primitives that the image installs only on byte (or pointer) receivers fail 5 for
// any other receiver rather than touch its body.

static const char subscriptFile[] = "src/mman/mmSubscript";

#define STORE_CHECK_HERE(holder, value) storeCheck((holder), (value), subscriptFile, __LINE__)

static oop fail(uint32_t code, uint64_t numArgs) { return failPrimitive(primErrorAt(code), numArgs); }

static bool isBytes(oop o) { return isHeapObject(o) && !hasPtrs(headerOf(o)); }
static bool isPointers(oop o) { return isHeapObject(o) && hasPtrs(headerOf(o)); }

// Named slots: the header's count, or the class format's when the header says 255.
static uint64_t namedCountOf(const ObjectHeader* h) {
  uint32_t n = indexabilityOf(h);
  return n != indexabilityAskClass ? n : formatNamedSlots(classFormatOf(classOfHeader(h)));
}
static uint64_t classNamedCountOf(const ObjectHeader* h) {
  return formatNamedSlots(classFormatOf(classOfHeader(h)));
}
static uint64_t indexedCountOf(const ObjectHeader* h, uint64_t named) {
  uint64_t words = bodyWordsOf(h);
  return words > named ? words - named : 0;
}
static uint8_t* bytesOf(const ObjectHeader* h) { return reinterpret_cast<uint8_t*>(h->dataPtr); }
static uint16_t* unitsOf(const ObjectHeader* h) { return reinterpret_cast<uint16_t*>(h->dataPtr); }
static uint64_t unitCountOf(const ObjectHeader* h) { return byteSizeOf(h) / 2; }

// 1-based index i inside 1..count, as one unsigned comparison.
static bool inRange(int64_t i, uint64_t count) { return uint64_t(i - 1) < count; }

// ---- Pointer objects --------------------------------------------------------------------

static oop pointerAt(ObjectHeader* h, uint64_t named, oop index, uint64_t numArgs) {
  int64_t i = smallIntegerValue(index);
  if (!inRange(i, indexedCountOf(h, named))) return fail(primErrIndex, numArgs);
  return bodyOf(h)[named + uint64_t(i) - 1];
}

static oop pointerAtPut(ObjectHeader* h, uint64_t named, oop index, oop value, uint64_t numArgs) {
  int64_t i = smallIntegerValue(index);
  if (!inRange(i, indexedCountOf(h, named))) return fail(primErrIndex, numArgs);
  if (isImmutable(h)) return fail(primErrImmutable, numArgs);
  bodyOf(h)[named + uint64_t(i) - 1] = value;
  STORE_CHECK_HERE(h, value);
  return value;
}

// basic at: and at:put: on object o (the receiver of 60/61, the first argument of 160/161).
static oop basicAt(oop o, oop index, bool classNamed, uint64_t numArgs) {
  if (isImmediate(o)) return fail(primErrWrongClass, numArgs);
  if (!isSmallInteger(index)) return fail(primErrBadArgument, numArgs);
  ObjectHeader* h = headerOf(o);
  if (hasPtrs(h)) return pointerAt(h, classNamed ? classNamedCountOf(h) : namedCountOf(h), index, numArgs);
  int64_t i = smallIntegerValue(index);
  if (!inRange(i, byteSizeOf(h))) return fail(primErrIndex, numArgs);
  return smallIntegerFor(bytesOf(h)[i - 1]);
}

static bool isByteValue(oop v) { return (v & ~uint64_t(0x7F8)) == oopTagSmallInteger; }

static oop basicAtPut(oop o, oop index, oop value, bool classNamed, uint64_t numArgs) {
  if (isImmediate(o)) return fail(primErrWrongClass, numArgs);
  if (!isSmallInteger(index)) return fail(primErrBadArgument, numArgs);
  ObjectHeader* h = headerOf(o);
  if (hasPtrs(h))
    return pointerAtPut(h, classNamed ? classNamedCountOf(h) : namedCountOf(h), index, value, numArgs);
  int64_t i = smallIntegerValue(index);
  if (!inRange(i, byteSizeOf(h))) return fail(primErrIndex, numArgs);
  if (!isByteValue(value)) return fail(primErrBadArgument, numArgs);
  if (isImmutable(h)) return fail(primErrImmutable, numArgs);
  bytesOf(h)[i - 1] = uint8_t(value >> 3);
  return value;
}

static oop basicSize(oop o, bool classNamed, uint64_t numArgs) {
  if (isImmediate(o)) return fail(primErrWrongClass, numArgs);
  ObjectHeader* h = headerOf(o);
  if (!hasPtrs(h)) return smallIntegerFor(int64_t(byteSizeOf(h)));
  uint64_t n = indexedCountOf(h, classNamed ? classNamedCountOf(h) : namedCountOf(h));
  if (n == 0 && (classFormatOf(classOfHeader(h)) & formatIndexable) == 0) return fail(primErrWrongClass, numArgs);
  return smallIntegerFor(int64_t(n));
}

static oop p60(oop rcv, oop i) { return basicAt(rcv, i, false, 1); }
static oop p61(oop rcv, oop i, oop v) { return basicAtPut(rcv, i, v, false, 2); }
static oop p62(oop rcv) { return basicSize(rcv, false, 0); }
static oop p160(oop, oop o, oop i) { return basicAt(o, i, true, 2); }
static oop p161(oop, oop o, oop i, oop v) { return basicAtPut(o, i, v, true, 3); }
static oop p162(oop, oop o) { return basicSize(o, true, 1); }

// instVarAt: and instVarAt:put: (73/74 on the receiver, 173/174 on the first argument, with
// the class's named count). A byte object has no named slots.
static ObjectHeader* namedSlotHolder(oop o, oop index, bool classNamed, uint64_t numArgs, uint64_t* slot) {
  if (isImmediate(o)) return fail(primErrWrongClass, numArgs), nullptr;
  if (!isSmallInteger(index)) return fail(primErrBadArgument, numArgs), nullptr;
  ObjectHeader* h = headerOf(o);
  uint64_t named = hasPtrs(h) ? (classNamed ? classNamedCountOf(h) : namedCountOf(h)) : 0;
  if (named > bodyWordsOf(h)) named = bodyWordsOf(h);
  int64_t i = smallIntegerValue(index);
  if (!inRange(i, named)) return fail(primErrIndex, numArgs), nullptr;
  *slot = uint64_t(i) - 1;
  return h;
}

static oop p73(oop rcv, oop i) {
  uint64_t slot;
  ObjectHeader* h = namedSlotHolder(rcv, i, false, 1, &slot);
  return h == nullptr ? primFailureAnswer() : bodyOf(h)[slot];
}
static oop p74(oop rcv, oop i, oop v) {
  uint64_t slot;
  ObjectHeader* h = namedSlotHolder(rcv, i, false, 2, &slot);
  if (h == nullptr) return primFailureAnswer();
  if (isImmutable(h)) return fail(primErrImmutable, 2);
  bodyOf(h)[slot] = v;
  STORE_CHECK_HERE(h, v);
  return v;
}
static oop p173(oop, oop o, oop i) {
  uint64_t slot;
  ObjectHeader* h = namedSlotHolder(o, i, true, 2, &slot);
  if (h == nullptr) return primFailureAnswer();
  if (classTagOf(h) <= classIndexHybridBlockContext) return CLoadContextInstVar(o, slot * 8);
  return bodyOf(h)[slot];
}
static oop p174(oop, oop o, oop i, oop v) {
  uint64_t slot;
  ObjectHeader* h = namedSlotHolder(o, i, true, 3, &slot);
  if (h == nullptr) return primFailureAnswer();
  if (isImmutable(h)) return fail(primErrImmutable, 3);
  if (classTagOf(h) <= classIndexHybridBlockContext) {
    storeContextInstVar(o, v, uint32_t(slot));
    return v;
  }
  bodyOf(h)[slot] = v;
  STORE_CHECK_HERE(h, v);
  return v;
}

// ---- Bytes, characters and two-byte units -------------------------------------------------

// The 0-based position of element `index` of count elements, after the index (3) and
// bound (6) tests; -1 after a failure.
static int64_t bytePosition(oop index, uint64_t count, uint64_t numArgs) {
  if (!isSmallInteger(index)) return fail(primErrBadArgument, numArgs), -1;
  int64_t i = smallIntegerValue(index);
  if (!inRange(i, count)) return fail(primErrIndex, numArgs), -1;
  return i - 1;
}

static oop p63(oop rcv, oop i) {
  if (!isBytes(rcv)) return fail(primErrWrongClass, 1);
  ObjectHeader* h = headerOf(rcv);
  int64_t p = bytePosition(i, byteSizeOf(h), 1);
  return p < 0 ? primFailureAnswer() : characterFor(bytesOf(h)[p]);
}
static oop p342(oop rcv, oop i) {
  if (!isBytes(rcv)) return fail(primErrWrongClass, 1);
  ObjectHeader* h = headerOf(rcv);
  int64_t p = bytePosition(i, byteSizeOf(h), 1);
  if (p < 0) return primFailureAnswer();
  if (bytesOf(h)[p] >= 128) return fail(primErrGeneral, 1);
  return characterFor(bytesOf(h)[p]);
}
static oop p420(oop rcv, oop i) {
  if (!isBytes(rcv)) return fail(primErrWrongClass, 1);
  ObjectHeader* h = headerOf(rcv);
  int64_t p = bytePosition(i, byteSizeOf(h), 1);
  return p < 0 ? primFailureAnswer() : smallIntegerFor(bytesOf(h)[p]);
}
static oop p412(oop rcv, oop i) {
  if (!isBytes(rcv)) return fail(primErrWrongClass, 1);
  ObjectHeader* h = headerOf(rcv);
  int64_t p = bytePosition(i, unitCountOf(h), 1);
  return p < 0 ? primFailureAnswer() : characterFor(unitsOf(h)[p]);
}
static oop p423(oop rcv, oop i) {
  if (!isBytes(rcv)) return fail(primErrWrongClass, 1);
  ObjectHeader* h = headerOf(rcv);
  int64_t p = bytePosition(i, unitCountOf(h), 1);
  return p < 0 ? primFailureAnswer() : smallIntegerFor(unitsOf(h)[p]);
}

// The element stores: index (3), bound (6), value (3), immutability (23). limit is the
// first code (or value) refused; characters says whether the value is a Character.
static oop storeElement(oop rcv, oop i, oop v, bool units, bool characters, uint64_t limit) {
  if (!isBytes(rcv)) return fail(primErrWrongClass, 2);
  ObjectHeader* h = headerOf(rcv);
  int64_t p = bytePosition(i, units ? unitCountOf(h) : byteSizeOf(h), 2);
  if (p < 0) return primFailureAnswer();
  bool ok = characters ? isCharacter(v) && characterValue(v) < limit
                       : isSmallInteger(v) && smallIntegerValue(v) >= 0 && uint64_t(smallIntegerValue(v)) < limit;
  if (!ok) return fail(primErrBadArgument, 2);
  if (isImmutable(h)) return fail(primErrImmutable, 2);
  uint64_t code = v >> 3;
  if (units) unitsOf(h)[p] = uint16_t(code);
  else bytesOf(h)[p] = uint8_t(code);
  return v;
}
static oop p64(oop rcv, oop i, oop v) { return storeElement(rcv, i, v, false, true, 256); }
static oop p343(oop rcv, oop i, oop v) { return storeElement(rcv, i, v, false, true, 128); }
static oop p421(oop rcv, oop i, oop v) { return storeElement(rcv, i, v, false, false, 256); }
static oop p413(oop rcv, oop i, oop v) { return storeElement(rcv, i, v, true, true, 65536); }
static oop p424(oop rcv, oop i, oop v) { return storeElement(rcv, i, v, true, false, 65536); }

static oop p410(oop rcv) { return (rcv & ~oopTagMask) | oopTagSmallInteger; }
static oop p411(oop, oop code) {
  if (!isSmallInteger(code) || smallIntegerValue(code) < 0) return fail(primErrBadArgument, 1);
  return characterFor(uint64_t(smallIntegerValue(code)));
}
static oop p534(oop) { return falseOop(); }

static oop p223(oop rcv, oop a) {
  if (!isBytes(rcv)) return fail(primErrWrongClass, 1);
  if (isImmediate(a) || classTagOf(headerOf(a)) != classTagOf(headerOf(rcv)) || hasPtrs(headerOf(a)))
    return fail(primErrBadArgument, 1);
  ObjectHeader *r = headerOf(rcv), *s = headerOf(a);
  uint64_t n = byteSizeOf(r);
  return booleanOop(n == byteSizeOf(s) && (n == 0 || memcmp(bytesOf(r), bytesOf(s), n) == 0));
}

// Character searches. units selects two-byte elements; backward scans from `from` down.
static oop searchCharacter(oop rcv, oop ch, oop from, oop to, bool units, bool backward) {
  if (!isBytes(rcv)) return fail(primErrWrongClass, 3);
  if (!isCharacter(ch)) return fail(primErrBadArgument, 3);
  uint64_t code = characterValue(ch);
  if (units && code > 65535) return nilOop();
  if (!units && code >= 128) return fail(primErrBadArgument, 3);
  if (!isSmallInteger(from) || !isSmallInteger(to)) return fail(primErrBadArgument, 3);
  ObjectHeader* h = headerOf(rcv);
  uint64_t count = units ? unitCountOf(h) : byteSizeOf(h);
  int64_t a = smallIntegerValue(from), b = smallIntegerValue(to);
  int64_t low = backward ? b : a, high = backward ? a : b;
  if (low < 1 || high > int64_t(count)) return fail(primErrIndex, 3);
  if (high < low) return nilOop();
  for (int64_t k = 0; k <= high - low; k++) {
    int64_t i = backward ? high - k : low + k;
    uint64_t e = units ? unitsOf(h)[i - 1] : bytesOf(h)[i - 1];
    if (e == code) return smallIntegerFor(i);
  }
  return nilOop();
}
static oop p344(oop rcv, oop c, oop a, oop b) { return searchCharacter(rcv, c, a, b, true, false); }
static oop p345(oop rcv, oop c, oop a, oop b) { return searchCharacter(rcv, c, a, b, true, true); }
static oop p418(oop rcv, oop c, oop a, oop b) { return searchCharacter(rcv, c, a, b, false, false); }
static oop p419(oop rcv, oop c, oop a, oop b) { return searchCharacter(rcv, c, a, b, false, true); }

// ---- Three-way compare ------------------------------------------------------------------

static int compareCodes(uint64_t a, uint64_t b) { return a > b ? 1 : -1; }
static int compareLengths(uint64_t a, uint64_t b) { return a == b ? 0 : a > b ? 1 : -1; }

static oop p417(oop rcv, oop a) {
  uint32_t k = isImmediate(rcv) ? 0 : basicAccessClass(classTagOf(headerOf(rcv)), 0);
  if (k == 0) return fail(primErrBadReceiver, 1);
  if (isImmediate(a)) return fail(primErrBadArgument, 1);
  ObjectHeader *r = headerOf(rcv), *s = headerOf(a);
  if (classTagOf(s) != classTagOf(r) && basicAccessClass(classTagOf(s), 0) != k) return fail(primErrBadArgument, 1);
  bool pointers = k == classIndexArray;
  if (hasPtrs(r) != pointers || (k != classIndexArray && k != classIndexByteString && k != classIndexTwoByteString))
    return fail(primErrBadReceiver, 1);
  if (hasPtrs(s) != pointers) return fail(primErrBadArgument, 1);
  if (k == classIndexByteString) {
    uint64_t n = byteSizeOf(r), m = byteSizeOf(s);
    for (uint64_t i = 0; i < n && i < m; i++)
      if (bytesOf(r)[i] != bytesOf(s)[i]) return smallIntegerFor(compareCodes(bytesOf(r)[i], bytesOf(s)[i]));
    return smallIntegerFor(compareLengths(n, m));
  }
  if (k == classIndexTwoByteString) {
    uint64_t n = unitCountOf(r), m = unitCountOf(s);
    for (uint64_t i = 0; i < n && i < m; i++)
      if (unitsOf(r)[i] != unitsOf(s)[i]) return smallIntegerFor(compareCodes(unitsOf(r)[i], unitsOf(s)[i]));
    return smallIntegerFor(compareLengths(n, m));
  }
  uint64_t nr = namedCountOf(r), ns = namedCountOf(s);
  uint64_t n = indexedCountOf(r, nr), m = indexedCountOf(s, ns);
  for (uint64_t i = 0; i < n && i < m; i++) {
    oop x = bodyOf(r)[nr + i], y = bodyOf(s)[ns + i];
    if (!isCharacter(x)) return fail(primErrBadReceiver, 1);
    if (x == y) continue;
    if (!isCharacter(y)) return fail(primErrBadArgument, 1);
    return smallIntegerFor(compareCodes(characterValue(x), characterValue(y)));
  }
  return smallIntegerFor(compareLengths(n, m));
}

// ---- Replace first occurrence, paged tables, symbol search --------------------------------

static oop p422(oop rcv, oop old, oop neu, oop first, oop last) {
  if (!isPointers(rcv)) return fail(primErrWrongClass, 4);
  if (!isSmallInteger(first) || !isSmallInteger(last)) return fail(primErrBadArgument, 4);
  ObjectHeader* h = headerOf(rcv);
  uint64_t named = namedCountOf(h), count = indexedCountOf(h, named);
  int64_t a = smallIntegerValue(first), b = smallIntegerValue(last);
  if (!inRange(a, count) || !inRange(b, count)) {
    if (count == 0 && a == 1 && b == 0) return smallIntegerFor(0);
    return fail(primErrIndex, 4);
  }
  int64_t step = b >= a ? 1 : -1;
  for (int64_t i = a;; i += step) {
    if (bodyOf(h)[named + uint64_t(i) - 1] == old) {
      if (neu == old) return smallIntegerFor(i);
      if (isImmutable(h)) return fail(primErrImmutable, 4);
      bodyOf(h)[named + uint64_t(i) - 1] = neu;
      STORE_CHECK_HERE(h, neu);
      return smallIntegerFor(i);
    }
    if (i == b) return smallIntegerFor(0);
  }
}

enum : uint64_t { tablePageEntries = 256, tablePageBytes = 512 };

static bool isTablePage(oop page) {
  return isBytes(page) && byteSizeOf(headerOf(page)) == tablePageBytes;
}

// The page holding entry I of a paged table, or 0 after a failure. nilFails makes an absent
// page fail with nil as the error object (426); else *absent is set (425).
static ObjectHeader* tablePage(oop rcv, oop index, uint64_t numArgs, bool nilFails, bool* absent, uint64_t* element) {
  if (!isSmallInteger(index)) return fail(primErrBadArgument, numArgs), nullptr;
  ObjectHeader* h = headerOf(rcv);
  int64_t i = smallIntegerValue(index);
  uint64_t slot = namedCountOf(h) + (uint64_t(i - 1) >> 8);
  if (i <= 0 || slot >= bodyWordsOf(h)) return fail(primErrIndex, numArgs), nullptr;
  *element = uint64_t(i - 1) & (tablePageEntries - 1);
  oop page = bodyOf(h)[slot];
  *absent = false;
  if (page == nilOop()) {
    if (nilFails) return failPrimitive(nilOop(), numArgs), nullptr;
    *absent = true;
    return h;
  }
  if (!isTablePage(page)) return fail(primErrBadReceiver, numArgs), nullptr;
  return headerOf(page);
}

static oop p425(oop rcv, oop index) {
  if (!isPointers(rcv)) return fail(primErrWrongClass, 1);
  bool absent;
  uint64_t e;
  ObjectHeader* page = tablePage(rcv, index, 1, false, &absent, &e);
  if (page == nullptr) return primFailureAnswer();
  return smallIntegerFor(absent ? 0 : unitsOf(page)[e]);
}

static oop p426(oop rcv, oop index, oop value) {
  if (!isPointers(rcv)) return fail(primErrWrongClass, 2);
  ObjectHeader* h = headerOf(rcv);
  if (namedCountOf(h) > 0 && bodyWordsOf(h) > 0 && bodyOf(h)[0] != falseOop()) return failPrimitive(nilOop(), 2);
  bool absent;
  uint64_t e;
  ObjectHeader* page = tablePage(rcv, index, 2, true, &absent, &e);
  if (page == nullptr) return primFailureAnswer();
  if (!isSmallInteger(value) || smallIntegerValue(value) < 0 || smallIntegerValue(value) > 65535)
    return fail(primErrBadArgument, 2);
  if (isImmutable(page)) return fail(primErrImmutable, 2);
  unitsOf(page)[e] = uint16_t(smallIntegerValue(value));
  return value;
}

enum : uint32_t { classIndexByteSymbol = 21, symbolKeyBuffer = 128 };

static oop p432(oop rcv, oop string) {
  if (!isPointers(rcv)) return fail(primErrWrongClass, 1);
  if (isImmediate(string)) return fail(primErrBadArgument, 1);
  ObjectHeader* s = headerOf(string);
  uint32_t c = classTagOf(s), target;
  const uint8_t* key;
  uint64_t keyBytes;
  uint8_t narrow[symbolKeyBuffer];
  if (hasPtrs(s)) return fail(primErrBadArgument, 1);
  if (c == classIndexByteString || c == classIndexByteSymbol) {
    target = classIndexByteSymbol, key = bytesOf(s), keyBytes = byteSizeOf(s);
  } else if (c == classIndexTwoByteString || c == classIndexTwoByteSymbol) {
    uint64_t n = unitCountOf(s);
    bool wide = false;
    for (uint64_t i = 0; i < n && !wide; i++) wide = unitsOf(s)[i] > 255;
    if (wide) {
      target = classIndexTwoByteSymbol, key = bytesOf(s), keyBytes = byteSizeOf(s);
    } else {
      if (n > symbolKeyBuffer) return fail(primErrBadArgument, 1);
      for (uint64_t i = 0; i < n; i++) narrow[i] = uint8_t(unitsOf(s)[i]);
      target = classIndexByteSymbol, key = narrow, keyBytes = n;
    }
  } else {
    return fail(primErrBadArgument, 1);
  }
  ObjectHeader* h = headerOf(rcv);
  uint64_t named = namedCountOf(h), count = indexedCountOf(h, named);
  for (uint64_t i = 0; i < count; i++) {
    oop e = bodyOf(h)[named + i];
    if (isImmediate(e)) continue;
    ObjectHeader* eh = headerOf(e);
    if (classTagOf(eh) == target && !hasPtrs(eh) && byteSizeOf(eh) == keyBytes &&
        (keyBytes == 0 || memcmp(bytesOf(eh), key, keyBytes) == 0))
      return e;
  }
  return nilOop();
}

// ---- Range copies -----------------------------------------------------------------------

// The common tests of the byte-range copies (105, 558, 559); answers the count, or -1
// when a test fails. Every failure of these primitives is code 0.
static int64_t byteCopyCount(ObjectHeader* r, oop start, oop stop, ObjectHeader* s, oop srcStart) {
  if (!isSmallInteger(start) || !isSmallInteger(stop) || !isSmallInteger(srcStart)) return -1;
  int64_t a = smallIntegerValue(start), b = smallIntegerValue(stop), c = smallIntegerValue(srcStart);
  if (c < 1 || a < 1) return -1;
  int64_t count = b - a + 1;
  if (count < 0) return -1;
  if (uint64_t(c - 1) + uint64_t(count > 1 ? count : 1) > byteSizeOf(s)) return -1;
  if (b > int64_t(byteSizeOf(r))) return -1;
  return count;
}

static oop byteReplace(oop rcv, oop start, oop stop, oop src, oop srcStart, bool sameClass) {
  if (!isBytes(rcv)) return fail(primErrWrongClass, 4);
  if (!isBytes(src) || (sameClass && classTagOf(headerOf(src)) != classTagOf(headerOf(rcv))))
    return fail(primErrGeneral, 4);
  ObjectHeader *r = headerOf(rcv), *s = headerOf(src);
  int64_t count = byteCopyCount(r, start, stop, s, srcStart);
  if (count < 0) return fail(primErrGeneral, 4);
  if (count == 0) return rcv;
  if (isImmutable(r)) return fail(primErrGeneral, 4);
  memmove(bytesOf(r) + smallIntegerValue(start) - 1, bytesOf(s) + smallIntegerValue(srcStart) - 1, uint64_t(count));
  return rcv;
}
static oop p105(oop rcv, oop a, oop b, oop src, oop c) { return byteReplace(rcv, a, b, src, c, true); }
static oop p559(oop rcv, oop a, oop b, oop src, oop c) { return byteReplace(rcv, a, b, src, c, false); }

static oop p558(oop rcv, oop start, oop stop, oop src, oop srcStart, oop map) {
  if (!isBytes(rcv)) return fail(primErrWrongClass, 5);
  if (!isBytes(src) || !isTablePage(map)) return fail(primErrGeneral, 5);
  ObjectHeader *r = headerOf(rcv), *s = headerOf(src);
  int64_t count = byteCopyCount(r, start, stop, s, srcStart);
  if (count < 0) return fail(primErrGeneral, 5);
  if (count == 0) return rcv;
  if (isImmutable(r)) return fail(primErrGeneral, 5);
  const uint16_t* table = unitsOf(headerOf(map));
  int64_t a = smallIntegerValue(start), c = smallIntegerValue(srcStart);
  uint8_t* to = bytesOf(r) + a - 1;
  const uint8_t* from = bytesOf(s) + c - 1;
  bool downward = r == s && c < a && a <= c + count;
  for (int64_t k = 0; k < count; k++) {
    int64_t i = downward ? count - 1 - k : k;
    uint16_t m = table[from[i]];
    if (m > 255) return fail(primErrGeneral, 5);
    to[i] = uint8_t(m);
  }
  if (anyRequestsPending()) return commitPrimitiveAndHandleRequests(rcv);
  return rcv;
}

oop primTwoByteReplace(oop rcv, oop start, oop stop, oop src, oop srcStart) {
  if (!isBytes(rcv)) return fail(primErrWrongClass, 4);
  if (isImmediate(src) || classTagOf(headerOf(src)) != classTagOf(headerOf(rcv)) || hasPtrs(headerOf(src)) ||
      !isSmallInteger(start) || !isSmallInteger(stop) || !isSmallInteger(srcStart))
    return fail(primErrBadArgument, 4);
  ObjectHeader *r = headerOf(rcv), *s = headerOf(src);
  int64_t a = smallIntegerValue(start), b = smallIntegerValue(stop), c = smallIntegerValue(srcStart);
  int64_t count = b - a + 1;
  if (a < 1 || b < 1 || c < 1 || count < 0) return fail(primErrBadArgument, 4);
  if (uint64_t(b) > unitCountOf(r) || uint64_t(c - 1) + uint64_t(count) > unitCountOf(s))
    return fail(primErrBadArgument, 4);
  if (count == 0) return rcv;
  if (isImmutable(r)) return fail(primErrImmutable, 4);
  memmove(unitsOf(r) + a - 1, unitsOf(s) + c - 1, uint64_t(count) * 2);
  return rcv;
}

static void rememberHolderOfAnything(ObjectHeader* h, int line) {
  if (currentIncGCState == incGCMarking && isMarked(h)) incMarkObj(oopOf(h));
  if (!inRt(h) && !registerInRt(h)) reportStoreCheckFailure(subscriptFile, line);
  if (isPermObject(h) && !isInOldRt(h) && !registerInOldRt(h)) reportStoreCheckFailure(subscriptFile, line);
}

static oop p450(oop rcv, oop start, oop stop, oop src, oop srcStart) {
  if (!isPointers(rcv)) return fail(primErrWrongClass, 4);
  if (isImmediate(src) || classTagOf(headerOf(src)) != classTagOf(headerOf(rcv)) || !hasPtrs(headerOf(src)) ||
      !isSmallInteger(start) || !isSmallInteger(stop) || !isSmallInteger(srcStart))
    return fail(primErrBadArgument, 4);
  ObjectHeader *r = headerOf(rcv), *s = headerOf(src);
  uint64_t n = namedCountOf(r);
  int64_t a = smallIntegerValue(start), b = smallIntegerValue(stop), c = smallIntegerValue(srcStart);
  int64_t count = b - a + 1;
  if (c < 1 || a < 1 || count < 0 || uint64_t(c - 1) + uint64_t(count > 1 ? count : 1) > indexedCountOf(s, n) ||
      uint64_t(b) > indexedCountOf(r, n))
    return fail(primErrIndex, 4);
  if (count == 0) return rcv;
  if (isImmutable(r)) return fail(primErrImmutable, 4);
  memmove(bodyOf(r) + n + a - 1, bodyOf(s) + n + c - 1, uint64_t(count) * 8);
  if (r != s && !isNewObject(rcv)) rememberHolderOfAnything(r, __LINE__);
  return rcv;
}

// ---- Machine numbers at byte offsets ------------------------------------------------------

// The offset of a w-byte element at 1-based byte I of a byte receiver: index (3) and bounds
// (6) tested; -1 after a failure. valueOk false fails 3 with the index (the integer stores).
static int64_t elementOffset(oop rcv, oop index, uint64_t w, uint64_t numArgs, bool valueOk = true) {
  if (!isSmallInteger(index) || !valueOk) return fail(primErrBadArgument, numArgs), -1;
  int64_t i = smallIntegerValue(index);
  if (i < 1 || uint64_t(i) - 1 + w > byteSizeOf(headerOf(rcv))) return fail(primErrIndex, numArgs), -1;
  return i - 1;
}

template <typename T>
static T readAt(oop rcv, int64_t offset) {
  T v;
  memcpy(&v, bytesOf(headerOf(rcv)) + offset, sizeof v);
  return v;
}

template <typename T>
static oop readElement(oop rcv, oop index) {
  if (!isBytes(rcv)) return fail(primErrWrongClass, 1);
  int64_t p = elementOffset(rcv, index, sizeof(T), 1);
  if (p < 0) return primFailureAnswer();
  T v = readAt<T>(rcv, p);
  oop answer = sizeof(T) == 8 && T(-1) > T(0) ? cUnsignedToOop(uint64_t(v)) : cSignedToOop(int64_t(v));
  return answer != 0 ? answer : fail(primErrNoSpace, 1);
}

// Stores of integers: value range [low, high] tested with the index.
template <typename T>
static oop storeInteger(oop rcv, oop index, oop value, bool valueOk, T v) {
  if (!isBytes(rcv)) return fail(primErrWrongClass, 2);
  int64_t p = elementOffset(rcv, index, sizeof(T), 2, valueOk);
  if (p < 0) return primFailureAnswer();
  if (isImmutable(headerOf(rcv))) return fail(primErrImmutable, 2);
  memcpy(bytesOf(headerOf(rcv)) + p, &v, sizeof v);
  return value;
}

static bool smallIntegerIn(oop v, int64_t low, int64_t high) {
  return isSmallInteger(v) && smallIntegerValue(v) >= low && smallIntegerValue(v) <= high;
}

static oop p540(oop rcv, oop i) { return readElement<uint16_t>(rcv, i); }
static oop p542(oop rcv, oop i) { return readElement<int16_t>(rcv, i); }
static oop p544(oop rcv, oop i) { return readElement<uint32_t>(rcv, i); }
static oop p546(oop rcv, oop i) { return readElement<int32_t>(rcv, i); }
static oop p552(oop rcv, oop i) { return readElement<uint64_t>(rcv, i); }
static oop p554(oop rcv, oop i) { return readElement<int64_t>(rcv, i); }

static oop p541(oop rcv, oop i, oop v) {
  bool ok = smallIntegerIn(v, 0, 65535);
  return storeInteger<uint16_t>(rcv, i, v, ok, uint16_t(smallIntegerValue(v)));
}
static oop p543(oop rcv, oop i, oop v) {
  bool ok = smallIntegerIn(v, -32768, 32767);
  return storeInteger<int16_t>(rcv, i, v, ok, int16_t(smallIntegerValue(v)));
}
static oop p545(oop rcv, oop i, oop v) {
  uint32_t x = 0;
  bool ok = oopToQ32(v, &x);
  return storeInteger<uint32_t>(rcv, i, v, ok, x);
}
static oop p547(oop rcv, oop i, oop v) {
  int32_t x = 0;
  bool ok = oopToSq32(v, &x);
  return storeInteger<int32_t>(rcv, i, v, ok, x);
}
static oop p553(oop rcv, oop i, oop v) {
  uint64_t x = 0;
  bool ok = oopToQ64(v, &x);
  return storeInteger<uint64_t>(rcv, i, v, ok, x);
}
static oop p555(oop rcv, oop i, oop v) {
  int64_t x = 0;
  bool ok = oopToSq64(v, &x);
  return storeInteger<int64_t>(rcv, i, v, ok, x);
}

// A boxed float: class, immutable, one body word holding bytes bytes of bits.
static oop boxFloat(uint32_t classTag, uint64_t bits, uint64_t bytes, uint64_t numArgs) {
  ObjectHeader* h = allocInEdenInline(classTag, 0, bytes, isImmutableBit, noFill);
  if (h == nullptr) h = allocSmallObj(classTag, 0, bytes, isImmutableBit, noFill);
  if (h == nullptr) return fail(primErrNoSpace, numArgs);
  bodyOf(h)[0] = bits;
  return oopOf(h);
}

static oop p548(oop rcv, oop i) {
  if (!isBytes(rcv)) return fail(primErrWrongClass, 1);
  int64_t p = elementOffset(rcv, i, 4, 1);
  if (p < 0) return primFailureAnswer();
  float f = readAt<float>(rcv, p);
  if (!std::isfinite(f) && !IEEEInfNaN) return fail(primErrGeneral, 1);
  return boxFloat(classIndexFloat, readAt<uint32_t>(rcv, p), 4, 1);
}

static oop p550(oop rcv, oop i) {
  if (!isBytes(rcv)) return fail(primErrWrongClass, 1);
  int64_t p = elementOffset(rcv, i, 8, 1);
  if (p < 0) return primFailureAnswer();
  double d = readAt<double>(rcv, p);
  if (fitsSmallDouble(d)) return smallDoubleFor(d);
  if (!std::isfinite(d) && !IEEEInfNaN) return fail(primErrGeneral, 1);
  return boxFloat(classIndexDouble, doubleBits(d), 8, 1);
}

static bool isBoxOf(oop v, uint32_t classTag) {
  return isHeapObject(v) && classTagOf(headerOf(v)) == classTag && !hasPtrs(headerOf(v)) &&
         byteSizeOf(headerOf(v)) >= (classTag == classIndexDouble ? 8u : 4u);
}

static oop p549(oop rcv, oop i, oop v) {
  if (!isBytes(rcv)) return fail(primErrWrongClass, 2);
  int64_t p = elementOffset(rcv, i, 4, 2);
  if (p < 0) return primFailureAnswer();
  if (isImmutable(headerOf(rcv))) return fail(primErrImmutable, 2);
  float f;
  if (isSmallInteger(v)) f = float(smallIntegerValue(v));
  else if (isBoxOf(v, classIndexFloat)) memcpy(&f, bodyOf(headerOf(v)), 4);
  else return fail(primErrBadArgument, 2);
  memcpy(bytesOf(headerOf(rcv)) + p, &f, 4);
  return v;
}

static oop p551(oop rcv, oop i, oop v) {
  if (!isBytes(rcv)) return fail(primErrWrongClass, 2);
  int64_t p = elementOffset(rcv, i, 8, 2);
  if (p < 0) return primFailureAnswer();
  if (isImmutable(headerOf(rcv))) return fail(primErrImmutable, 2);
  double d;
  float f;
  if (isSmallInteger(v)) d = double(smallIntegerValue(v));
  else if (isSmallDouble(v)) d = loadSmallDoubleFromOop(v);
  else if (isBoxOf(v, classIndexDouble)) memcpy(&d, bodyOf(headerOf(v)), 8);
  else if (isBoxOf(v, classIndexFloat)) memcpy(&f, bodyOf(headerOf(v)), 4), d = f;
  else return fail(primErrBadArgument, 2);
  memcpy(bytesOf(headerOf(rcv)) + p, &d, 8);
  return v;
}

// ---- Registration -----------------------------------------------------------------------

void initSubscriptPrims() {
  struct Entry { uint32_t number; const void* function; uint8_t numArgs; };
#define P(n, args) {n, reinterpret_cast<const void*>(p##n), args}
  static const Entry entries[] = {
      P(60, 1),  P(61, 2),  P(62, 0),  P(63, 1),  P(64, 2),  P(73, 1),  P(74, 2),  P(105, 4),
      P(160, 2), P(161, 3), P(162, 1), P(173, 2), P(174, 3), P(223, 1), P(342, 1), P(343, 2),
      P(344, 3), P(345, 3), P(410, 0), P(411, 1), P(412, 1), P(413, 2), P(417, 1), P(418, 3),
      P(419, 3), P(420, 1), P(421, 2), P(422, 4), P(423, 1), P(424, 2), P(425, 1), P(426, 2),
      P(432, 1), P(450, 4), P(534, 0), P(540, 1), P(541, 2), P(542, 1), P(543, 2), P(544, 1),
      P(545, 2), P(546, 1), P(547, 2), P(548, 1), P(549, 2), P(550, 1), P(551, 2), P(552, 1),
      P(553, 2), P(554, 1), P(555, 2), P(558, 5), P(559, 4)};
#undef P
  static_assert(sizeof entries / sizeof entries[0] == 53, "53 indexed-access primitives");
  for (const Entry& e : entries) addCPrimitive(e.number, e.function, e.numArgs);
}
