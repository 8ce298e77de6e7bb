// C interface: the C support primitives and the single-value reads and stores they share.
// Owns no global record. Prefix: none.
#include "prim/prCSupport.h"

#include <cstdlib>
#include <cstring>

#include "ext/exError.h"
#include "ext/platform.h"
#include "mman/mmAllocate.h"
#include "mman/mmRt.h"
#include "mman/mmSysOop.h"
#include "prim/prCKind.h"
#include "mman/mmCValue.h"
#include "prim/prDouble.h"
#include "mman/mmCString.h"
#include "mman/mmPrimUtil.h"
#include "stack/nsupport.h"
#include "ext/exPrimTable.h"

static const char* const supportSource = SOURCE_NAME;

// ---- Arguments ----------------------------------------------------------------------------

// A SmallInteger in 0 .. limit-1.
static bool smallIn(oop o, int64_t limit, uint32_t* out) {
  if (!isSmallInteger(o) || smallIntegerValue(o) < 0 || smallIntegerValue(o) >= limit) return false;
  *out = uint32_t(smallIntegerValue(o));
  return true;
}
static bool isKind(oop o) {
  uint32_t k;
  return smallIn(o, cKindCount, &k);
}

// Byte widths of the integer and Boolean kinds as single values (0: not one of them).
static const uint8_t valueWidth[31] = {1, 1, 2, 2, 4, 4, 8, 8, 0, 0, 0, 0, 0, 0, 0, 0,
                                       0, 0, 0, 0, 0, 0, 0, 0, 8, 8, 1, 2, 4, 8, 8};

static uint64_t readWidth(const void* p, uint32_t width, bool sign) {
  uint64_t v = 0;
  memcpy(&v, p, width);
  if (sign && width < 8) {
    uint32_t shift = 64 - 8 * width;
    v = uint64_t(int64_t(v << shift) >> shift);
  }
  return v;
}

// A number as a double: SmallInteger, SmallDouble, Double or Float (NaNs and infinities kept).
static bool doubleOf(oop value, double* out) {
  if (isSmallInteger(value)) return *out = double(smallIntegerValue(value)), true;
  if (isSmallDouble(value)) return *out = loadSmallDoubleFromOop(value), true;
  if (isDoubleObject(value)) return *out = doubleValueOf(value), true;
  if (isFloatObject(value)) return *out = floatValueOf(value), true;
  return false;
}

// ---- Single values ------------------------------------------------------------------------

static oop pointerResult(uint64_t address, oop resultClass, oop descriptor) {
  if (!isFixedPointerClass(resultClass, 2)) return cValueInvalid;
  oop word = cUnsignedToOop(*reinterpret_cast<const uint64_t*>(address));
  if (word == 0) return cValueNoSpace;
  ObjectHeader* h = allocFSObj(resultClass);
  if (h == nullptr) return cValueNoSpace;
  bodyOf(h)[0] = word;
  storeCheck(h, word, supportSource, __LINE__);
  bodyOf(h)[1] = descriptor;
  storeCheck(h, descriptor, supportSource, __LINE__);
  return oopOf(h);
}

static oop floatingAt(uint64_t address, uint32_t kind) {
  if (kind == ckFloat) {
    float f;
    if (int32_t(pdCopyFromExternalHeap(&f, reinterpret_cast<const void*>(address), 4)) < 0) return cValueInvalid;
    return newFloatBox(f);
  }
  double d;
  if (int32_t(pdCopyFromExternalHeap(&d, reinterpret_cast<const void*>(address), 8)) < 0) return cValueInvalid;
  return fitsSmallDouble(d) ? smallDoubleFor(d) : newDoubleBox(d);
}

oop cValueAt(uint64_t address, oop kind1, oop kind2, oop resultClass, oop descriptor) {
  uint32_t k;
  if (!isKind(kind1) || !smallIn(kind2, 31, &k) || address == 0) return cValueInvalid;
  const void* p = reinterpret_cast<const void*>(address);
  if (k == ckFloat || k == ckDouble) return floatingAt(address, k);
  if (k == ckPointer13) return pointerResult(address, resultClass, descriptor);
  uint32_t width = valueWidth[k];
  if (width == 0) return cValueInvalid;
  uint64_t v = readWidth(p, width, isCSignedKind(k));
  if (isCBooleanKind(k)) return booleanOop(v != 0);
  return isCSignedKind(k) ? cSignedToOop(int64_t(v)) : cUnsignedToOop(v);
}

oop cValueStore(uint64_t address, oop kind1, oop kind2, oop value) {
  uint32_t k;
  if (!isKind(kind1) || !smallIn(kind2, 31, &k) || address == 0) return 0;
  void* p = reinterpret_cast<void*>(address);
  double d;
  if (k == ckFloat || k == ckDouble) {
    // A SmallDouble is a Double to the image: a float slot takes it too.
    if (!doubleOf(value, &d)) return 0;
    float f = float(d);
    const void* from = k == ckFloat ? static_cast<const void*>(&f) : static_cast<const void*>(&d);
    return int32_t(pdCopyToExternalHeap(p, from, k == ckFloat ? 4 : 8)) < 0 ? 0 : value;
  }
  if (k == ckPointer13) {
    uint64_t a;
    if (!cAddressOf(value, 0, &a)) return 0;
    memcpy(p, &a, 8);
    return value;
  }
  uint32_t width = valueWidth[k];
  if (width == 0) return 0;
  if (isCBooleanKind(k)) {
    if (value != trueOop() && value != falseOop()) return 0;
    uint64_t one = value == trueOop();
    memcpy(p, &one, width);
    return value;
  }
  uint64_t v;
  if (!stOopToCValue(&v, value, 8)) return 0;
  memcpy(p, &v, width);
  return value;
}

// ---- C heap blocks and sizes ---------------------------------------------------------------

static oop fail(uint32_t code, uint64_t numArgs) { return failPrimitive(primErrorAt(code), numArgs); }

// No process has this much address space: such a request is a null block without asking
// the C heap (whose checking allocators end the program instead).
enum : uint64_t { largestBlockBytes = uint64_t(1) << 47 };

static oop newBlock(oop count, oop kind, bool zeroed) {
  uint64_t n;
  if (!oopToQ64(count, &n) || !isKind(kind)) return fail(primErrBadArgument, 2);
  void* block = n > largestBlockBytes ? nullptr : zeroed ? calloc(1, n) : malloc(n);
  if (block == nullptr && n != 0) return failPrimitive(cloneErrorWith(primErrorAt(primErrMalloc), count), 2);
  oop answer = cUnsignedToOop(uint64_t(uintptr_t(block)));
  if (answer == 0) {
    free(block);
    return fail(primErrNoSpace, 2);
  }
  return answer;
}
static oop primCalloc(oop, oop count, oop kind) { return newBlock(count, kind, true); }
static oop primMalloc(oop, oop count, oop kind) { return newBlock(count, kind, false); }

static oop primFree(oop receiver, oop address, oop kind) {
  uint64_t a;
  if (!oopToQ64(address, &a) || !isKind(kind)) return fail(primErrBadArgument, 2);
  if (a != 0) free(reinterpret_cast<void*>(a));
  return receiver;
}

static oop primKindBits(oop, oop kind) {
  uint32_t k;
  if (!smallIn(kind, cKindCount, &k) || cKindSizes[k] == 0) return fail(primErrGeneral, 1);
  return smallIntegerFor(8 * int64_t(cKindSizes[k]));
}

// ---- Copies between byte objects and C memory -----------------------------------------------

// 398 (toObject) and 399: count bytes between address + offset and the byte object from
// its 1-based index start.
static oop copyBytes(oop receiver, oop address, oop kind, oop offset, oop object, oop count, oop start, bool toObject) {
  uint64_t a;
  if (!isKind(kind) || !isSmallInteger(offset) || isImmediate(object) || hasPtrs(headerOf(object)) ||
      !isSmallInteger(count) || smallIntegerValue(count) < 0 || !isSmallInteger(start) ||
      smallIntegerValue(start) < 1 || !oopToQ64(address, &a))
    return fail(primErrIndex, 6);
  uint64_t n = uint64_t(smallIntegerValue(count)), from = uint64_t(smallIntegerValue(start));
  ObjectHeader* h = headerOf(object);
  if (from - 1 + n > byteSizeOf(h)) return fail(primErrIndex, 6);
  if (toObject && isImmutable(h)) return fail(primErrImmutable, 6);
  uint8_t* bytes = reinterpret_cast<uint8_t*>(bodyOf(h)) + from - 1;
  void* c = reinterpret_cast<void*>(a + uint64_t(smallIntegerValue(offset)));
  int32_t done = int32_t(toObject ? pdCopyFromExternalHeap(bytes, c, int64_t(n)) : pdCopyToExternalHeap(c, bytes, int64_t(n)));
  return done < 0 ? fail(primErrIndex, 6) : receiver;
}
static oop primCopyFromC(oop r, oop a, oop k, oop o, oop obj, oop n, oop s) { return copyBytes(r, a, k, o, obj, n, s, true); }
static oop primCopyToC(oop r, oop a, oop k, oop o, oop obj, oop n, oop s) { return copyBytes(r, a, k, o, obj, n, s, false); }

// ---- C strings -----------------------------------------------------------------------------

static oop platformString(const char* bytes, uint64_t n, uint64_t numArgs) {
  oop s = STStringWithSize(bytes, n);
  return s != 0 ? s : failPrimitive(cloneErrorWith(primErrorAt(primErrNoSpace), cUnsignedToOop(n)), numArgs);
}

// The bytes up to the first 0 unit (1 or 2 bytes wide), scanning at most limit bytes.
static uint64_t terminatedBytes(const uint8_t* p, uint64_t limit, uint32_t unit) {
  uint64_t n = 0;
  while (n + unit <= limit && (p[n] != 0 || (unit == 2 && p[n + 1] != 0))) n += unit;
  return n;
}

static oop stringAt(oop address, oop kind, uint32_t unit) {
  uint64_t a;
  if (kind != smallIntegerFor(ckPointer13) || !oopToQ64(address, &a) || a == 0) return fail(primErrBadArgument, 2);
  const uint8_t* p = reinterpret_cast<const uint8_t*>(a);
  return platformString(reinterpret_cast<const char*>(p), terminatedBytes(p, UINT64_MAX, unit), 2);
}
static oop primCString(oop, oop address, oop kind) { return stringAt(address, kind, 1); }
static oop primWideCString(oop, oop address, oop kind) { return stringAt(address, kind, 2); }

static oop ownString(oop receiver, uint32_t unit) {
  if (isImmediate(receiver) || hasPtrs(headerOf(receiver))) return fail(primErrBadReceiver, 0);
  ObjectHeader* h = headerOf(receiver);
  uint64_t size = byteSizeOf(h), limit = unit == 2 ? (size == 0 ? 0 : size - 1) : size;
  uint64_t n = size == 0 ? 0 : terminatedBytes(reinterpret_cast<const uint8_t*>(bodyOf(h)), limit, unit);
  static const char empty = 0;  // an empty object may have no body
  return platformString(n == 0 ? &empty : reinterpret_cast<const char*>(bodyOf(h)), n, 0);
}
static oop primBytesToString(oop receiver) { return ownString(receiver, 1); }
static oop primUnitsToString(oop receiver) { return ownString(receiver, 2); }

// ---- Struct fields ---------------------------------------------------------------------------

struct CField {
  int64_t offset;
  oop descriptor;
  oop kind;
  oop resultClass;
};

// The first 5-slot record after the type's named slots whose key is identical to fieldKey.
static bool findField(oop type, oop fieldKey, CField* out) {
  if (isImmediate(type) || !hasPtrs(headerOf(type))) return false;
  ObjectHeader* h = headerOf(type);
  uint64_t named = indexabilityOf(h);
  if (named == indexabilityAskClass) named = formatNamedSlots(classFormatOf(classOfHeader(h)));
  uint64_t slots = bodyWordsOf(h);
  if (slots < named) return false;
  const oop* records = bodyOf(h) + named;
  for (uint64_t i = 0; i < (slots - named) / 5; i++) {
    const oop* r = records + 5 * i;
    if (r[0] != fieldKey) continue;
    if (!isSmallInteger(r[1])) return false;
    *out = {smallIntegerValue(r[1]), r[2], r[3], r[4]};
    return true;
  }
  return false;
}

// A composite's holder: slot 0, a C-data holder.
static oop holderOf(oop composite) {
  if (!isCComposite(composite) || bodyWordsOf(headerOf(composite)) == 0) return 0;
  oop holder = slotOf(composite, 0);
  return isCDataHolder(holder) ? holder : 0;
}

static oop fieldRead(uint64_t base, oop kind1, const CField& f, uint64_t numArgs) {
  oop v = cValueAt(base + uint64_t(f.offset), kind1, f.kind, f.resultClass, f.descriptor);
  if (v == cValueInvalid) return fail(primErrBadArgument, numArgs);
  return v == cValueNoSpace ? fail(primErrNoSpace, numArgs) : v;
}

static oop primFieldAt(oop type, oop key, oop pointer, oop kind1) {
  CField f;
  uint64_t a;
  if (!findField(type, key, &f) || !cAddressOf(pointer, 0, &a) || a == 0) return fail(primErrBadArgument, 3);
  return fieldRead(a, kind1, f, 3);
}

static oop primFieldAtPut(oop type, oop key, oop pointer, oop value, oop kind1) {
  CField f;
  uint64_t a;
  if (!findField(type, key, &f) || !cAddressOf(pointer, 0, &a) || a == 0) return fail(primErrBadArgument, 4);
  if (passesImmutableBytes(pointer, a)) return fail(primErrImmutable, 4);
  return cValueStore(a + uint64_t(f.offset), kind1, f.kind, value) == 0 ? fail(primErrBadArgument, 4) : type;
}

static oop primCompositeAt(oop type, oop key, oop composite) {
  CField f;
  oop holder = holderOf(composite);
  if (holder == 0 || !findField(type, key, &f)) return fail(primErrBadArgument, 2);
  return fieldRead(uint64_t(uintptr_t(bodyOf(headerOf(holder)))), smallIntegerFor(ckPointer13), f, 2);
}

static oop primCompositeAtPut(oop type, oop key, oop composite, oop value) {
  CField f;
  oop holder = holderOf(composite);
  if (holder == 0 || !findField(type, key, &f)) return fail(primErrBadArgument, 3);
  if (isImmutable(headerOf(holder))) return fail(primErrImmutable, 3);
  uint64_t base = uint64_t(uintptr_t(bodyOf(headerOf(holder))));
  return cValueStore(base + uint64_t(f.offset), smallIntegerFor(ckPointer13), f.kind, value) == 0
             ? fail(primErrBadArgument, 3)
             : type;
}

// ---- Values at addresses -------------------------------------------------------------------

static oop valueAt(uint64_t a, oop kind1, oop kind2, oop cls, oop descriptor, uint64_t numArgs) {
  oop v = cValueAt(a, kind1, kind2, cls, descriptor);
  if (v == cValueInvalid) return fail(primErrBadArgument, numArgs);
  return v == cValueNoSpace ? fail(primErrNoSpace, numArgs) : v;
}

static oop primValueAt(oop, oop address, oop kind1, oop kind2, oop cls, oop descriptor) {
  uint64_t a;
  if (!oopToQ64(address, &a)) return fail(primErrBadArgument, 5);
  return valueAt(a, kind1, kind2, cls, descriptor, 5);
}

static oop primValueAtPut(oop receiver, oop address, oop kind1, oop kind2, oop value) {
  uint64_t a;
  if (!oopToQ64(address, &a) || cValueStore(a, kind1, kind2, value) == 0) return fail(primErrBadArgument, 4);
  return receiver;
}

// The element index of a C array of kind2 values: its byte offset, or false for a kind of
// no size or an offset beyond 64 bits.
static bool elementAddress(oop address, oop index, oop kind2, uint64_t* out) {
  uint64_t a;
  int64_t i;
  uint32_t k;
  if (!oopToQ64(address, &a) || !oopToSq64(index, &i) || !smallIn(kind2, cKindCount, &k) || cKindSizes[k] == 0)
    return false;
  int64_t offset;
  if (__builtin_mul_overflow(i, int64_t(cKindSizes[k]), &offset)) return false;
  *out = a + uint64_t(offset);
  return true;
}

static oop primElementAt(oop, oop address, oop index, oop kind1, oop kind2, oop cls, oop descriptor) {
  uint64_t a;
  if (!elementAddress(address, index, kind2, &a)) return fail(primErrBadArgument, 6);
  return valueAt(a, kind1, kind2, cls, descriptor, 6);
}

static oop primElementAtPut(oop receiver, oop address, oop index, oop kind1, oop kind2, oop value) {
  uint64_t a;
  if (!elementAddress(address, index, kind2, &a) || cValueStore(a, kind1, kind2, value) == 0)
    return fail(primErrBadArgument, 5);
  return receiver;
}

// 486: the first of the receiver's indexed slots at distances 0, stride, ... identical to
// value, as its distance + 1; 0 when none.
static oop primIndexOfStride(oop receiver, oop value, oop stride) {
  if (!isSmallInteger(stride) || smallIntegerValue(stride) < 1) return fail(primErrBadArgument, 2);
  if (isImmediate(receiver) || !hasPtrs(headerOf(receiver))) return smallIntegerFor(0);
  ObjectHeader* h = headerOf(receiver);
  uint64_t named = indexabilityOf(h);
  if (named == indexabilityAskClass) named = formatNamedSlots(classFormatOf(classOfHeader(h)));
  uint64_t slots = bodyWordsOf(h), step = uint64_t(smallIntegerValue(stride));
  uint64_t n = slots > named ? (slots - named) / step : 0;
  for (uint64_t i = 0; i < n; i++)
    if (bodyOf(h)[named + i * step] == value) return smallIntegerFor(int64_t(i * step + 1));
  return smallIntegerFor(0);
}

// ---- Registration ----------------------------------------------------------------------------

void initCSupportPrimitives() {
  initCKindSizes();
  static const struct {
    uint32_t number;
    const void* function;
    uint8_t numArgs;
  } rows[] = {
      {392, reinterpret_cast<const void*>(primFree), 2},
      {393, reinterpret_cast<const void*>(primCalloc), 2},
      {396, reinterpret_cast<const void*>(primKindBits), 1},
      {397, reinterpret_cast<const void*>(primMalloc), 2},
      {398, reinterpret_cast<const void*>(primCopyFromC), 6},
      {399, reinterpret_cast<const void*>(primCopyToC), 6},
      {335, reinterpret_cast<const void*>(primCString), 2},
      {382, reinterpret_cast<const void*>(primWideCString), 2},
      {384, reinterpret_cast<const void*>(primBytesToString), 0},
      {385, reinterpret_cast<const void*>(primUnitsToString), 0},
      {480, reinterpret_cast<const void*>(primFieldAt), 3},
      {481, reinterpret_cast<const void*>(primFieldAtPut), 4},
      {482, reinterpret_cast<const void*>(primValueAt), 5},
      {483, reinterpret_cast<const void*>(primValueAtPut), 4},
      {484, reinterpret_cast<const void*>(primCompositeAt), 2},
      {485, reinterpret_cast<const void*>(primCompositeAtPut), 3},
      {486, reinterpret_cast<const void*>(primIndexOfStride), 2},
      {490, reinterpret_cast<const void*>(primElementAt), 6},
      {491, reinterpret_cast<const void*>(primElementAtPut), 5},
  };
  for (const auto& r : rows) addCPrimitive(r.number, r.function, r.numArgs);
}
