// C interface: the CKind size table, the C classes and the basic object-to-C conversions.
// Owns cKindSizes and cClassX. Prefix: none.
#include "prim/prCKind.h"

#include <cstring>
#include <initializer_list>

#include "ext/platform.h"
#include "mman/mmAllocate.h"
#include "mman/mmSysOop.h"
#include "mman/mmCValue.h"
#include "mman/mmCString.h"
#include "mman/mmPrimUtil.h"

uint8_t cKindSizes[cKindCount];
int64_t cClassX[cClassRoleCount] = {-1, -1, -1, -1, -1, -1};

void initCKindSizes() {
#define CKIND_SIZE(name, size) size,
  static const uint8_t portable[cKindCount] = {CKIND_LIST(CKIND_SIZE)};
#undef CKIND_SIZE
  memcpy(cKindSizes, portable, sizeof cKindSizes);
  pdSetNumBytesForKind(cKindSizes);
}

// ---- The C classes ----------------------------------------------------------------------

oop cClassFor(uint32_t role) {
  if (cClassX[role] < 0) return 0;
  oop cls = sysOop(uint32_t(cClassX[role]));
  return isHeapObject(cls) && cls != nilOop() ? cls : 0;
}

static bool isInstanceOfRole(oop object, uint32_t role) {
  oop cls = cClassFor(role);
  return cls != 0 && !isImmediate(object) && isKindOf(object, cls);
}

bool isCPointerFamily(oop object) {
  for (uint32_t role : {cPointerRole, cCompositePointerRole, cProcedurePointerRole, cCallbackRole})
    if (isInstanceOfRole(object, role)) return true;
  return false;
}
bool isCDatum(oop object) { return isInstanceOfRole(object, cDatumRole); }
bool isCComposite(oop object) { return isInstanceOfRole(object, cCompositeRole); }

bool isCDataHolder(oop object) {
  oop holder = sysOop(sysCDataClass);
  return isHeapObject(object) && !hasPtrs(headerOf(object)) && isHeapObject(holder) && holder != nilOop() &&
         isKindOf(object, holder);
}

bool isCStringObject(oop object) {
  if (isImmediate(object) || hasPtrs(headerOf(object))) return false;
  uint32_t tag = classTagOf(headerOf(object));
  if (tag == platformStringClassX || tag == classIndexByteString || tag == classIndexTwoByteString) return true;
  oop cls = classAt(tag);
  for (uint32_t base : {platformStringClassX, uint32_t(classIndexByteString), uint32_t(classIndexTwoByteString)})
    if (isHeapObject(classAt(base)) && inheritsFrom1(cls, classAt(base))) return true;
  return false;
}

bool isFixedPointerClass(oop cls, uint64_t named) {
  if (!isHeapObject(cls) || cls == nilOop() || !hasPtrs(headerOf(cls)) || bodyWordsOf(headerOf(cls)) <= classFormatSlot)
    return false;
  oop format = slotOf(cls, classFormatSlot);
  if (!isSmallInteger(format)) return false;
  uint64_t f = uint64_t(smallIntegerValue(format));
  uint32_t index = hashOf(headerOf(cls));
  return (f & formatPointers) && !(f & formatIndexable) && formatNamedSlots(f) >= named && index != 0 &&
         classTable[index >> 10] != nullptr && classAt(index) == cls;
}

// ---- Objects to C values ----------------------------------------------------------------

// A byte or two-byte string translated into a new ByteArray of its characters and a 0.
static char* translatedCopy(oop string, uint64_t characters) {
  ObjectHeader* copy = allocVSObj(sysOop(sysByteArrayClass), characters + 1);
  if (copy == nullptr) return nullptr;
  char* bytes = reinterpret_cast<char*>(bodyOf(copy));
  bytes[characters] = 0;
  return copySubStringToC(string, bytes, characters);
}

// A platform string's own bytes serve when it lies in fixed space, when its last byte is a
// 0 and its size a multiple of 4, or when a 0 fits in its body's padding; else a copy of its
// class one byte longer ends in the 0.
static char* platformCString(oop string) {
  ObjectHeader* h = headerOf(string);
  uint64_t size = byteSizeOf(h);
  char* own = reinterpret_cast<char*>(bodyOf(h));
  if (sizeFieldOf(h) == sizeFieldFixed) return own;
  if (size != 0 && size % 4 == 0 && own[size - 1] == 0) return own;
  if (size % 4 != 0 && size < bodyBytesOf(h)) {
    own[size] = 0;
    return own;
  }
  ObjectHeader* copy = allocVSObj(classAt(classTagOf(h)), size + 1);
  if (copy == nullptr) return nullptr;
  char* bytes = reinterpret_cast<char*>(bodyOf(copy));
  if (size != 0) memcpy(bytes, reinterpret_cast<char*>(bodyOf(headerOf(string))), size);
  bytes[size] = 0;
  return bytes;
}

static bool accessesAs(oop object, uint32_t base) {
  uint32_t tag = classTagOf(headerOf(object));
  return tag == base || (isHeapObject(classAt(base)) && inheritsFrom1(classAt(tag), classAt(base)));
}

char* coerceToCString(oop string) {
  if (isImmediate(string) || hasPtrs(headerOf(string))) return nullptr;
  ObjectHeader* h = headerOf(string);
  if (classTagOf(h) == platformStringClassX) return platformCString(string);
  if (accessesAs(string, classIndexByteString)) return translatedCopy(string, byteSizeOf(h));
  if (accessesAs(string, classIndexTwoByteString)) return translatedCopy(string, byteSizeOf(h) / 2);
  return nullptr;
}

// The address in a C-pointer family object's slot 0: an integer.
static int pointerSlotAddress(oop object, uint64_t* out) {
  if (bodyWordsOf(headerOf(object)) == 0) return 0;
  oop slot = slotOf(object, 0);
  if (isSmallInteger(slot)) return *out = uint64_t(smallIntegerValue(slot)), 1;
  return stOopToCValue(out, slot, 8);
}

// A datum's holder bytes; strictly, a datum without a holder passes 0.
static int datumAddress(oop datum, int strict, uint64_t* out) {
  oop holder = bodyWordsOf(headerOf(datum)) != 0 ? slotOf(datum, 0) : 0;
  if (holder != 0 && isCDataHolder(holder)) return *out = uint64_t(uintptr_t(bodyOf(headerOf(holder)))), 1;
  if (strict) return *out = 0, 1;
  return 0;
}

int cAddressOf(oop object, int strict, uint64_t* out) {
  if (object == nilOop()) return *out = 0, 1;
  if (isImmediate(object)) {
    if (strict) return 0;
    *out = uint64_t(int64_t(object) >> 3);
    return 1;
  }
  if (isCPointerFamily(object)) return pointerSlotAddress(object, out);
  if (isCDatum(object)) return datumAddress(object, strict, out);
  if (hasPtrs(headerOf(object))) return 0;
  if (strict) return *out = uint64_t(uintptr_t(bodyOf(headerOf(object)))), 1;
  if (isCStringObject(object)) {
    char* s = coerceToCString(object);
    return s != nullptr ? (*out = uint64_t(uintptr_t(s)), 1) : 0;
  }
  if (stOopToCValue(out, object, 8)) return 1;
  *out = uint64_t(uintptr_t(bodyOf(headerOf(object))));
  return 1;
}

bool passesImmutableBytes(oop object, uint64_t address) {
  if (!isHeapObject(object) || object == nilOop()) return false;
  if (isCDatum(object) && bodyWordsOf(headerOf(object)) != 0) object = slotOf(object, 0);
  if (!isHeapObject(object) || hasPtrs(headerOf(object))) return false;
  ObjectHeader* h = headerOf(object);
  return isImmutable(h) && address == uint64_t(uintptr_t(bodyOf(h)));
}
