// C interface: the oe object interface for loaded C code and the checked operations the
// user-primitive toolkit shares. Owns oeErrorCode. Prefix: oe.
#include "prim/prOe.h"

#include <cstring>

#include "ext/exPrimTable.h"
#include "ext/exRequest.h"
#include "ext/platform.h"
#include "mman/mmAllocate.h"
#include "mman/mmCString.h"
#include "mman/mmNewSpace.h"
#include "mman/mmPermSpace.h"
#include "mman/mmPrimUtil.h"
#include "mman/mmRt.h"
#include "mman/mmSysOop.h"
#include "prim/prDouble.h"
#include "stack/scheduler.h"
#include "stack/stackzone.h"
#include "tran/tprim.h"

extern "C" {
uint32_t oeErrorCode;
oePollHandler userPollHandler;
}

// ---- The oop test ---------------------------------------------------------------------------

static bool below(oop o, uint64_t start, uint64_t top) { return o >= start && o < top; }

bool oeValidOop(oop o) {
  if (isImmediate(o)) return true;
  if ((o & oopTagMask) != 0 || o < newSpaceLowerBound) return false;
  if (o >= startOfStackZone && o < endOfStackZone) return false;
  if (below(o, eden.start, eden.allocPtr) || below(o, pastSpace.start, pastSpace.top) ||
      below(o, futureSpace.start, futureSpace.top))
    return true;
  if (o >= oldNewSpaceBoundary) return true;
  // Perm headers sit in perm space's header table; read one only there.
  return permSpaceExists && !permSpaceAbsorbed && o > permSpace.otLow && o <= permSpace.otHigh &&
         isPermHeader(headerOf(o));
}

// ---- Shapes -----------------------------------------------------------------------------------

static uint64_t namedSlotsOf(const ObjectHeader* h) {
  if (!hasPtrs(h)) return 0;
  uint32_t x = indexabilityOf(h);
  return x == indexabilityAskClass ? formatNamedSlots(classFormatOf(classOfHeader(h))) : x;
}
// Slots (pointer objects) or bytes (byte objects) after the named slots.
static uint64_t indexedSizeOf(const ObjectHeader* h) {
  if (!hasPtrs(h)) return byteSizeOf(h);
  uint64_t words = bodyWordsOf(h), named = namedSlotsOf(h);
  return words > named ? words - named : 0;
}
static bool hasAccessClass(const ObjectHeader* h, uint32_t reference) {
  uint32_t tag = classTagOf(h);
  return tag == reference || basicAccessClass(tag, 0) == reference;
}
static bool isArrayLike(oop o) { return isHeapObject(o) && hasAccessClass(headerOf(o), classIndexArray); }
static float floatOf(oop o) {
  float f;
  memcpy(&f, bodyOf(headerOf(o)), 4);
  return f;
}
static double doubleOf(oop o) {
  if (isSmallDouble(o)) return loadSmallDoubleFromOop(o);
  double d;
  memcpy(&d, bodyOf(headerOf(o)), 8);
  return d;
}

// The store check's remembering, answering whether it held instead of reporting.
static bool remember(ObjectHeader* holder, oop value) {
  if (isImmediate(value) || isNewObject(oopOf(holder))) return true;
  if (isNewObject(value)) return inRt(holder) || registerInRt(holder);
  if (isMarked(holder) && !isMarked(headerOf(value)) && currentIncGCState == incGCMarking) incMarkObj(value);
  if ((holder->flags & (isPermBit | isInOldRtBit)) == isPermBit && !permSpaceAbsorbed && !isPermHeader(headerOf(value)))
    return registerInOldRt(holder) != 0;
  return true;
}
static uint32_t storeInto(oop holder, uint64_t slot, oop value) {
  if (!remember(headerOf(holder), value)) return oeErrRemember;
  bodyOf(headerOf(holder))[slot] = value;
  return 0;
}

// The checks every access makes: oop test, then a heap object of the kind.
static uint32_t checkObject(oop o, bool check) {
  if (check && !oeValidOop(o)) return oeErrInvalidOop;
  return isImmediate(o) ? oeErrKind : 0;
}
static uint32_t checkIndex(int64_t index, uint64_t size) {
  if (index < 1) return oeErrRange;
  return uint64_t(index) > size ? oeErrIndex : 0;
}

// ---- Conversions ------------------------------------------------------------------------------

uint32_t oeOpToCbool(oop o, bool check, int32_t* out) {
  if (check && !oeValidOop(o)) return oeErrInvalidOop;
  if (!oeIsBooleanOop(o)) return oeErrKind;
  *out = o == trueOop();
  return 0;
}
uint32_t oeOpToCint(oop o, bool check, int64_t* out) {
  if (check && !oeValidOop(o)) return oeErrInvalidOop;
  if (!isSmallInteger(o)) return oeErrKind;
  *out = smallIntegerValue(o);
  return 0;
}
uint32_t oeOpToCchar(oop o, bool check, char* out) {
  if (check && !oeValidOop(o)) return oeErrInvalidOop;
  if (!isCharacter(o)) return oeErrKind;
  *out = char(characterValue(o) & 0xFF);
  return 0;
}
uint32_t oeOpToCfloat(oop o, bool check, float* out) {
  if (check && !oeValidOop(o)) return oeErrInvalidOop;
  if (isImmediate(o) || !isKindOf(o, sysOop(sysFloatClass))) return oeErrKind;
  *out = floatOf(o);
  return 0;
}
uint32_t oeOpToCdouble(oop o, bool check, double* out) {
  if (check && !oeValidOop(o)) return oeErrInvalidOop;
  if (!isSmallDouble(o) && (isImmediate(o) || !isKindOf(o, sysOop(sysDoubleClass)))) return oeErrKind;
  *out = doubleOf(o);
  return 0;
}
uint32_t oeOpFromCint(int64_t v, oop* out) {
  if (!fitsSmallInteger(v)) return oeErrRange;
  *out = smallIntegerFor(v);
  return 0;
}
uint32_t oeOpFromCfloat(float f, oop* out) {
  *out = newFloatBox(f);
  return *out == 0 ? oeErrNoSpace : 0;
}
uint32_t oeOpFromCdouble(double d, oop* out) {
  *out = fitsSmallDouble(d) ? smallDoubleFor(d) : newDoubleBox(d);
  return *out == 0 ? oeErrNoSpace : 0;
}

// ---- Access -----------------------------------------------------------------------------------

uint32_t oeOpInstVarSize(oop o, bool check, uint64_t* out) {
  if (check && !oeValidOop(o)) return oeErrInvalidOop;
  *out = isImmediate(o) ? 0 : namedSlotsOf(headerOf(o));
  return 0;
}
uint32_t oeOpIndexVarSize(oop o, bool check, uint64_t* out) {
  if (uint32_t e = checkObject(o, check)) return e;
  *out = indexedSizeOf(headerOf(o));
  return 0;
}
uint32_t oeOpInstVarAt(oop o, int64_t index, bool check, oop* out) {
  if (uint32_t e = checkObject(o, check)) return e;
  if (!hasPtrs(headerOf(o))) return oeErrKind;
  if (uint32_t e = checkIndex(index, namedSlotsOf(headerOf(o)))) return e;
  *out = slotOf(o, uint64_t(index - 1));
  return 0;
}
uint32_t oeOpInstVarAtPut(oop o, int64_t index, oop value, bool check) {
  if (uint32_t e = checkObject(o, check)) return e;
  if (check && !oeValidOop(value)) return oeErrInvalidOop;
  if (!hasPtrs(headerOf(o))) return oeErrKind;
  if (uint32_t e = checkIndex(index, namedSlotsOf(headerOf(o)))) return e;
  return storeInto(o, uint64_t(index - 1), value);
}
uint32_t oeOpBasicAt(oop o, int64_t index, bool check, oop* out) {
  if (uint32_t e = checkObject(o, check)) return e;
  const ObjectHeader* h = headerOf(o);
  if (!hasPtrs(h)) return oeErrKind;
  if (uint32_t e = checkIndex(index, indexedSizeOf(h))) return e;
  *out = slotOf(o, namedSlotsOf(h) + uint64_t(index - 1));
  return 0;
}
uint32_t oeOpBasicAtPut(oop o, int64_t index, oop value, bool check) {
  if (uint32_t e = checkObject(o, check)) return e;
  if (check && !oeValidOop(value)) return oeErrInvalidOop;
  const ObjectHeader* h = headerOf(o);
  if (!hasPtrs(h)) return oeErrKind;
  if (uint32_t e = checkIndex(index, indexedSizeOf(h))) return e;
  return storeInto(o, namedSlotsOf(h) + uint64_t(index - 1), value);
}
uint32_t oeOpByteAt(oop o, int64_t index, bool check, char* out) {
  if (uint32_t e = checkObject(o, check)) return e;
  const ObjectHeader* h = headerOf(o);
  if (hasPtrs(h)) return oeErrKind;
  if (uint32_t e = checkIndex(index, byteSizeOf(h))) return e;
  *out = reinterpret_cast<const char*>(bodyOf(h))[index - 1];
  return 0;
}
uint32_t oeOpByteAtPut(oop o, int64_t index, char byte, bool check) {
  if (uint32_t e = checkObject(o, check)) return e;
  const ObjectHeader* h = headerOf(o);
  if (hasPtrs(h)) return oeErrKind;
  if (uint32_t e = checkIndex(index, byteSizeOf(h))) return e;
  reinterpret_cast<char*>(bodyOf(h))[index - 1] = byte;
  return 0;
}

// The element of an Array-like object, for the typed readers and writers.
static uint32_t elementAt(oop o, int64_t index, bool check, oop* out) {
  if (uint32_t e = checkObject(o, check)) return e;
  if (!isArrayLike(o)) return oeErrKind;
  return oeOpBasicAt(o, index, false, out);
}
uint32_t oeOpIntegerAt(oop o, int64_t index, bool check, int64_t* out) {
  oop e;
  if (uint32_t c = elementAt(o, index, check, &e)) return c;
  return oeOpToCint(e, false, out);
}
uint32_t oeOpFloatAt(oop o, int64_t index, bool check, float* out) {
  oop e;
  if (uint32_t c = elementAt(o, index, check, &e)) return c;
  if (!isFloatObject(e)) return oeErrKind;
  *out = floatOf(e);
  return 0;
}
uint32_t oeOpDoubleAt(oop o, int64_t index, bool check, double* out) {
  oop e;
  if (uint32_t c = elementAt(o, index, check, &e)) return c;
  if (!oeIsDoubleOop(e)) return oeErrKind;
  *out = doubleOf(e);
  return 0;
}
uint32_t oeOpIntegerAtPut(oop o, int64_t index, int64_t value, bool check, oop* stored) {
  oop e;
  if (uint32_t c = elementAt(o, index, check, &e)) return c;
  if (uint32_t c = oeOpFromCint(value, stored)) return c;
  return oeOpBasicAtPut(o, index, *stored, false);
}
uint32_t oeOpFloatAtPut(oop o, int64_t index, float value, bool check, oop* stored) {
  oop e;
  if (uint32_t c = elementAt(o, index, check, &e)) return c;
  if (uint32_t c = oeOpFromCfloat(value, stored)) return c;
  return oeOpBasicAtPut(o, index, *stored, false);
}

// ---- Copies ---------------------------------------------------------------------------------

// The kind check and the range of a copy: *first the 0-based first element, *n how many.
static uint32_t copyRange(OeCopyKind kind, oop o, int64_t length, int64_t start, bool check, uint64_t* first,
                          uint64_t* n) {
  if (uint32_t e = checkObject(o, check)) return e;
  const ObjectHeader* h = headerOf(o);
  bool kindOk = kind == oeCopyBytes    ? !hasPtrs(h)
                : kind == oeCopyString ? hasAccessClass(h, classIndexByteString)
                                       : isArrayLike(o);
  if (!kindOk) return oeErrKind;
  uint64_t size = indexedSizeOf(h);
  *first = 0;
  *n = 0;
  if (size == 0) return 0;
  if (start < 1 || uint64_t(start) > size || length < 0) return oeErrRange;
  *first = uint64_t(start - 1);
  *n = size - *first < uint64_t(length) ? size - *first : uint64_t(length);
  return 0;
}

uint32_t oeOpCopyOut(OeCopyKind kind, oop o, void* buffer, int64_t length, int64_t start, bool check, int64_t* count) {
  uint64_t first, n;
  if (uint32_t e = copyRange(kind, o, length, start, check, &first, &n)) return e;
  const ObjectHeader* h = headerOf(o);
  if (kind == oeCopyBytes || kind == oeCopyString) {
    if (n != 0) memcpy(buffer, reinterpret_cast<const char*>(bodyOf(h)) + first, n);
  } else {
    const oop* elements = bodyOf(h) + namedSlotsOf(h) + first;
    for (uint64_t i = 0; i < n; i++) {
      oop e = elements[i];
      if (kind == oeCopyInts) {
        if (!isSmallInteger(e)) return oeErrKind;
        static_cast<int64_t*>(buffer)[i] = smallIntegerValue(e);
      } else {
        if (!isFloatObject(e)) return oeErrKind;
        static_cast<float*>(buffer)[i] = floatOf(e);
      }
    }
  }
  *count = int64_t(n);
  return 0;
}

uint32_t oeOpCopyIn(OeCopyKind kind, oop o, const void* buffer, int64_t length, int64_t start, bool check, int64_t* count) {
  uint64_t first, n;
  if (uint32_t e = copyRange(kind, o, length, start, check, &first, &n)) return e;
  const ObjectHeader* h = headerOf(o);
  if (kind == oeCopyBytes || kind == oeCopyString) {
    if (n != 0) memcpy(reinterpret_cast<char*>(bodyOf(h)) + first, buffer, n);
  } else {
    uint64_t base = namedSlotsOf(h) + first;
    for (uint64_t i = 0; i < n; i++) {
      oop v;
      if (kind == oeCopyInts) {
        if (uint32_t e = oeOpFromCint(static_cast<const int64_t*>(buffer)[i], &v)) return e;
      } else if (uint32_t e = oeOpFromCfloat(static_cast<const float*>(buffer)[i], &v)) {
        return e;
      }
      if (uint32_t e = storeInto(o, base + i, v)) return e;
    }
  }
  *count = int64_t(n);
  return 0;
}

// ---- Tests ----------------------------------------------------------------------------------

bool oeIsBooleanOop(oop o) { return o == trueOop() || o == falseOop(); }
bool oeIsFloatOop(oop o) { return isFloatObject(o); }
bool oeIsDoubleOop(oop o) { return isSmallDouble(o) || (isHeapObject(o) && classTagOf(headerOf(o)) == classIndexDouble); }
bool oeIsByteLikeOop(oop o) { return isHeapObject(o) && !hasPtrs(headerOf(o)); }
bool oeIsByteArrayOop(oop o) { return isHeapObject(o) && hasAccessClass(headerOf(o), classIndexByteArray); }
bool oeIsStringOop(oop o) { return isHeapObject(o) && hasAccessClass(headerOf(o), classIndexByteString); }
static bool allElements(oop o, bool (*test)(oop)) {
  if (!isArrayLike(o)) return false;
  const ObjectHeader* h = headerOf(o);
  const oop* elements = bodyOf(h) + namedSlotsOf(h);
  for (uint64_t i = 0, n = indexedSizeOf(h); i < n; i++)
    if (!test(elements[i])) return false;
  return true;
}
bool oeIsArrayOfIntegerOop(oop o) { return allElements(o, isSmallInteger); }
bool oeIsArrayOfFloatOop(oop o) { return allElements(o, isFloatObject); }
oop oeClassOfOop(oop o) { return classOf(o); }

// ---- Allocation -----------------------------------------------------------------------------

uint32_t oeOpAllocFs(oop cls, bool check, oop* out) {
  if (check && !oeValidOop(cls)) return oeErrInvalidOop;
  if (classType(cls) != 1) return oeErrKind;
  ObjectHeader* h = allocFSObj(cls);
  if (h == nullptr) return oeErrNoSpace;
  *out = oopOf(h);
  return 0;
}
uint32_t oeOpAllocVs(oop cls, int64_t n, bool fixedSpace, bool check, oop* out) {
  if (check && !oeValidOop(cls)) return oeErrInvalidOop;
  if (classType(cls) != 2) return oeErrKind;
  if (n < 0) return oeErrRange;
  ObjectHeader* h = fixedSpace ? allocVSObjInFixedSpace(cls, uint64_t(n)) : allocVSObj(cls, uint64_t(n));
  if (h == nullptr) return oeErrNoSpace;
  *out = oopOf(h);
  return 0;
}
uint32_t oeOpAllocArray(oop value, int64_t n, bool check, oop* out) {
  if (n < 0) return oeErrRange;
  if (check && !oeValidOop(value)) return oeErrInvalidOop;
  if (uint64_t(n) >= maxIndexedElements) return oeErrNoSpace;
  uint64_t bytes = 8 * uint64_t(n);
  ObjectHeader* h = allocInEdenInline(classIndexArray, 0, bytes, hasPtrsBit, value);
  if (h == nullptr) h = allocSmallObj(classIndexArray, 0, bytes, hasPtrsBit, value);
  if (h == nullptr) return oeErrNoSpace;
  if (n != 0 && !remember(h, value)) {
    for (int64_t i = 0; i < n; i++) bodyOf(h)[i] = nilOop();  // nothing unremembered is left behind
    return oeErrRemember;
  }
  *out = oopOf(h);
  return 0;
}
uint32_t oeOpAllocBytes(uint32_t classTag, char byte, int64_t n, oop* out) {
  if (n < 0) return oeErrRange;
  if (uint64_t(n) >= maxIndexedElements) return oeErrNoSpace;
  uint64_t fill = uint64_t(uint8_t(byte)) * 0x0101010101010101ull;
  ObjectHeader* h = allocInEdenInline(classTag, 0, uint64_t(n), 0, fill);
  if (h == nullptr) h = allocSmallObj(classTag, 0, uint64_t(n), 0, fill);
  if (h == nullptr) return oeErrNoSpace;
  *out = oopOf(h);
  return 0;
}

// ---- Registry, primitives, requests ---------------------------------------------------------

uint32_t oeOpRegistryAt(int64_t index, oop* out) {
  if (index < 0 || index > maxValidSysOopX()) return oeErrRange;
  *out = sysOop(uint32_t(index));
  return 0;
}
uint32_t oeOpRegistryAtPut(int64_t index, oop o, bool check) {
  if (index <= sysFalse || index > maxValidSysOopX()) return oeErrRange;
  if (check && !oeValidOop(o)) return oeErrInvalidOop;
  registerSysOop(o, uint32_t(index));
  return 0;
}
bool oeOpAddPrimitive(int64_t number, void* function, int64_t numArgs) {
  if (number < 10000 || number >= int64_t(primNumberLimit) || numArgs < 0 || numArgs > 15 || function == nullptr)
    return false;
  addUPrimitive(uint32_t(number), function, uint8_t(numArgs));
  return true;
}
bool oeOpSignalSemaphore(oop semaphore, bool check) {
  if ((check && !oeValidOop(semaphore)) || isImmediate(semaphore)) return false;
  if (classTagOf(headerOf(semaphore)) != classIndexSemaphore && !isKindOf(semaphore, sysOop(sysSemaphoreClass)))
    return false;
  asynchSignal(semaphore);
  return true;
}

static void serveUserPoll() {
  if (userPollHandler != nullptr) userPollHandler();
}
void oeInstallUserPollServer() { setRequestServer(requestUserPoll, serveUserPoll); }

// ---- The exported oe family -----------------------------------------------------------------

static oop failed(uint32_t code) {
  oeErrorCode = code;
  return 0;
}
// The object on success; 0 and the code otherwise.
static oop answer(uint32_t code, oop object) { return code != 0 ? failed(code) : object; }

extern "C" {
uint32_t oeGetErrorCode() { return oeErrorCode; }

oop oeNil() { return sysOop(sysNil); }
oop oeTrue() { return sysOop(sysTrue); }
oop oeFalse() { return sysOop(sysFalse); }
oop oeSmallIntegerClass() { return sysOop(sysSmallIntegerClass); }
oop oeCharacterClass() { return sysOop(sysCharacterClass); }
oop oeArrayClass() { return sysOop(sysArrayClass); }
oop oeSemaphoreClass() { return sysOop(sysSemaphoreClass); }
oop oeByteStringClass() { return sysOop(sysByteStringClass); }
oop oeLargePositiveIntegerClass() { return sysOop(sysLargePositiveIntegerClass); }
oop oeLargeNegativeIntegerClass() { return sysOop(sysLargeNegativeIntegerClass); }
oop oeByteArrayClass() { return sysOop(sysByteArrayClass); }
oop oeTwoByteStringClass() { return sysOop(sysTwoByteStringClass); }
oop oeTwoByteSymbolClass() { return sysOop(sysTwoByteSymbolClass); }
oop oeDoubleClass() { return sysOop(sysDoubleClass); }
oop oePointClass() { return sysOop(sysPointClass); }
oop oeFloatClass() { return sysOop(sysFloatClass); }

// The out parameter is written only on success.
#define OE_TO_C(name, op, type)        \
  oop name(oop o, type* out) {         \
    type v;                            \
    uint32_t code = op(o, true, &v);   \
    if (code != 0) return failed(code); \
    *out = v;                          \
    return o;                          \
  }
OE_TO_C(oeOEToCbool, oeOpToCbool, int32_t)
OE_TO_C(oeOEToCint, oeOpToCint, int64_t)
OE_TO_C(oeOEToCchar, oeOpToCchar, char)
OE_TO_C(oeOEToCfloat, oeOpToCfloat, float)
OE_TO_C(oeOEToCdouble, oeOpToCdouble, double)
OE_TO_C(oeInstVarSize, oeOpInstVarSize, uint64_t)
OE_TO_C(oeIndexVarSize, oeOpIndexVarSize, uint64_t)
#undef OE_TO_C

oop oeCtoOEbool(int32_t b) { return booleanOop(b != 0); }
oop oeCtoOEint(int64_t v) {
  oop o = 0;
  uint32_t code = oeOpFromCint(v, &o);
  return answer(code, o);
}
oop oeCtoOEchar(char c) { return characterFor(uint64_t(int64_t(static_cast<signed char>(c)))); }
oop oeCtoOEfloat(float f) {
  oop o = 0;
  uint32_t code = oeOpFromCfloat(f, &o);
  return answer(code, o);
}
oop oeCtoOEdouble(double d) {
  oop o = 0;
  uint32_t code = oeOpFromCdouble(d, &o);
  return answer(code, o);
}

// Immediates have no body: null for them as for invalid words.
void* oeOopDataPtr(oop o) {
  if (!oeValidOop(o) || isImmediate(o)) return nullptr;
  return bodyOf(headerOf(o));
}
oop oeInstVarAt(oop o, int64_t index) {
  oop v = 0;
  uint32_t code = oeOpInstVarAt(o, index, true, &v);
  return answer(code, v);
}
oop oeInstVarAtPut(oop o, int64_t index, oop value) {
  uint32_t code = oeOpInstVarAtPut(o, index, value, true);
  return answer(code, o);
}
oop oeBasicAt(oop o, int64_t index) {
  oop v = 0;
  uint32_t code = oeOpBasicAt(o, index, true, &v);
  return answer(code, v);
}
oop oeBasicAtPut(oop o, int64_t index, oop value) {
  uint32_t code = oeOpBasicAtPut(o, index, value, true);
  return answer(code, o);
}

#define OE_AT(name, op, type)                    \
  oop name(oop o, int64_t index, type* out) {    \
    type v;                                      \
    uint32_t code = op(o, index, true, &v);      \
    if (code != 0) return failed(code);          \
    *out = v;                                    \
    return o;                                    \
  }
OE_AT(oeByteAt, oeOpByteAt, char)
OE_AT(oeIntegerAt, oeOpIntegerAt, int64_t)
OE_AT(oeFloatAt, oeOpFloatAt, float)
OE_AT(oeDoubleAt, oeOpDoubleAt, double)
#undef OE_AT
oop oeByteAtPut(oop o, int64_t index, char byte) {
  uint32_t code = oeOpByteAtPut(o, index, byte, true);
  return answer(code, o);
}
oop oeIntegerAtPut(oop o, int64_t index, int64_t value) {
  oop stored = 0;
  uint32_t code = oeOpIntegerAtPut(o, index, value, true, &stored);
  return answer(code, stored);
}
oop oeFloatAtPut(oop o, int64_t index, float value) {
  oop stored = 0;
  uint32_t code = oeOpFloatAtPut(o, index, value, true, &stored);
  return answer(code, stored);
}

#define OE_COPY(name, op, kind, bufferType)                                                  \
  oop name(oop o, bufferType buffer, int64_t length, int64_t start, int64_t* count) {        \
    int64_t n;                                                                               \
    uint32_t code = op(kind, o, buffer, length, start, true, &n);                           \
    if (code != 0) return failed(code);                                                      \
    *count = n;                                                                              \
    return o;                                                                                \
  }
OE_COPY(oeCopyOEtoCbytes, oeOpCopyOut, oeCopyBytes, void*)
OE_COPY(oeCopyCtoOEbytes, oeOpCopyIn, oeCopyBytes, const void*)
OE_COPY(oeCopyOEtoCstring, oeOpCopyOut, oeCopyString, char*)
OE_COPY(oeCopyCtoOEstring, oeOpCopyIn, oeCopyString, const char*)
OE_COPY(oeCopyOEtoCintArray, oeOpCopyOut, oeCopyInts, int64_t*)
OE_COPY(oeCopyCtoOEintArray, oeOpCopyIn, oeCopyInts, const int64_t*)
OE_COPY(oeCopyOEtoCfloatArray, oeOpCopyOut, oeCopyFloats, float*)
OE_COPY(oeCopyCtoOEfloatArray, oeOpCopyIn, oeCopyFloats, const float*)
#undef OE_COPY

uint32_t oeIsImmediate(oop o) { return isImmediate(o); }
uint32_t oeIsInteger(oop o) { return isSmallInteger(o); }
uint32_t oeIsCharacter(oop o) { return isCharacter(o); }
#define OE_IS(name, test) \
  uint32_t name(oop o) { return oeValidOop(o) && test(o); }
OE_IS(oeIsBoolean, oeIsBooleanOop)
OE_IS(oeIsFloat, oeIsFloatOop)
OE_IS(oeIsDouble, oeIsDoubleOop)
OE_IS(oeIsByteLike, oeIsByteLikeOop)
OE_IS(oeIsByteArray, oeIsByteArrayOop)
OE_IS(oeIsString, oeIsStringOop)
OE_IS(oeIsArrayOfInteger, oeIsArrayOfIntegerOop)
OE_IS(oeIsArrayOfFloat, oeIsArrayOfFloatOop)
#undef OE_IS
uint32_t oeIsKindOf(oop o, oop cls) {
  return oeValidOop(o) && oeValidOop(cls) && !isImmediate(cls) && isKindOf(o, cls);
}
uint32_t oeCouldBeOop(oop o) {
  if (oeValidOop(o)) return 1;
  oeErrorCode = oeErrInvalidOop;
  return 0;
}
oop oeClass(oop o) { return oeValidOop(o) ? oeClassOfOop(o) : failed(oeErrInvalidOop); }
uint32_t oeClassType(oop o) { return oeValidOop(o) ? uint32_t(classType(o)) : 0; }

oop oeAllocFsObject(oop cls) {
  oop o = 0;
  uint32_t code = oeOpAllocFs(cls, true, &o);
  return answer(code, o);
}
oop oeAllocVsObject(oop cls, int64_t n) {
  oop o = 0;
  uint32_t code = oeOpAllocVs(cls, n, false, true, &o);
  return answer(code, o);
}
oop oeAllocVsObjectInFixedSpace(oop cls, int64_t n) {
  oop o = 0;
  uint32_t code = oeOpAllocVs(cls, n, true, true, &o);
  return answer(code, o);
}
oop oeAllocArray(oop value, int64_t n) {
  oop o = 0;
  uint32_t code = oeOpAllocArray(value, n, true, &o);
  return answer(code, o);
}
oop oeAllocByteArray(char byte, int64_t n) {
  oop o = 0;
  uint32_t code = oeOpAllocBytes(classIndexByteArray, byte, n, &o);
  return answer(code, o);
}
oop oeAllocString(char byte, int64_t n) {
  oop o = 0;
  uint32_t code = oeOpAllocBytes(classIndexByteString, byte, n, &o);
  return answer(code, o);
}

int64_t oeAllocRegistrySlot() {
  int64_t x = allocSysOopSlot();
  if (x < 0) oeErrorCode = oeErrNoSpace;
  return x < 0 ? -1 : x;
}
oop oeRegisteredHandleAt(int64_t index) {
  oop o = 0;
  uint32_t code = oeOpRegistryAt(index, &o);
  return answer(code, o);
}
oop oeRegisteredHandleAtPut(int64_t index, oop o) {
  uint32_t code = oeOpRegistryAtPut(index, o, true);
  return answer(code, o);
}
uint32_t oeAddPrimitive(int64_t number, void* function, int64_t numArgs) {
  return oeOpAddPrimitive(number, function, numArgs);
}
void oePostInterrupt() { asyncSetRequest(requestUserPoll, 2, 0); }
oePollHandler oeInstallPollHandler(oePollHandler handler) {
  oePollHandler previous = userPollHandler;
  userPollHandler = handler;
  return previous;
}
uint32_t oeSignalSemaphore(oop semaphore) { return oeOpSignalSemaphore(semaphore, true); }
void oeStartLongComputation(int64_t expectedMilliseconds) { pdStartLongComp(uint64_t(expectedMilliseconds)); }
void oeFinishLongComputation() { pdFinishLongComp(); }
void oeFail(int32_t code) { UPFailPrimitive(code); }
}
