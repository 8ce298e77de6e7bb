// Object memory: which space each new object goes to, the instantiation, copying, resizing and
// freeing services, and the allocation primitives. Owns no global record.
// Prefix: none (allocSmallObj, allocVSObj, allocFSObj, createShallowCopyOf, ...).
#include "mman/mmAllocate.h"

#include <cstring>

#include "ext/exPrimTable.h"
#include "mman/mmCValue.h"
#include "mman/mmFixedSpace.h"
#include "mman/mmIncGC.h"
#include "mman/mmLargeSpace.h"
#include "mman/mmOldSpace.h"
#include "mman/mmPermSpace.h"
#include "mman/mmPrimUtil.h"
#include "mman/mmRt.h"
#include "mman/mmSysOop.h"

static const char* const allocateSource = "src/mman/mmAllocate";

ObjectHeader* allocSmallObj(uint32_t classTag, int64_t namedSlots, uint64_t byteSize,
                            uint64_t headerFlags, uint64_t fill) {
  ObjectHeader* h = allocInNewSpace(classTag, namedSlots, byteSize, headerFlags, fill);
  if (h == nullptr && !(headerFlags & hasPtrsBit))
    h = allocInLargeSpace(classTag, byteSize, headerFlags, fill);
  if (h == nullptr)
    h = allocInOldSpace(classTag, uint64_t(namedSlots), byteSize, headerFlags, fill, 0);
  return h;
}

ObjectHeader* allocLargeByteObj(uint32_t classTag, uint64_t byteSize, uint64_t headerFlags,
                                uint64_t fill) {
  ObjectHeader* h = allocInLargeSpace(classTag, byteSize, headerFlags, fill);
  if (h == nullptr) h = allocInNewSpace(classTag, 0, byteSize, headerFlags, fill);
  if (h == nullptr) h = allocInOldSpace(classTag, 0, byteSize, headerFlags, fill, 0);
  return h;
}

ObjectHeader* allocLargePointerObj(uint32_t classTag, int64_t namedSlots, uint64_t byteSize,
                                   uint64_t headerFlags, uint64_t fill) {
  ObjectHeader* h = allocInNewSpace(classTag, namedSlots, byteSize, headerFlags, fill);
  if (h == nullptr)
    h = allocInOldSpace(classTag, uint64_t(namedSlots), byteSize, headerFlags, fill, 0);
  return h;
}

// ---- Instantiation ---------------------------------------------------------------------------

static uint32_t classIndexOf(oop cls) { return hashOf(headerOf(cls)); }

// Pointer bodies of up to 2048 bytes fall back to the general routine, larger ones to
// the large-pointer route; both try eden inline first.
static ObjectHeader* allocPointerInstance(uint32_t tag, uint64_t named, uint64_t bytes,
                                          uint64_t flags) {
  oop nil = nilOop();
  ObjectHeader* h = allocInEdenInline(tag, int64_t(named), bytes, flags, nil);
  if (h != nullptr) return h;
  if (bytes > smallBodyLimitBytes) return allocLargePointerObj(tag, int64_t(named), bytes, flags, nil);
  return allocSmallObj(tag, int64_t(named), bytes, flags, nil);
}

static ObjectHeader* allocByteInstance(uint32_t tag, uint64_t count, uint64_t fill) {
  if (count > smallBodyLimitBytes) return allocLargeByteObj(tag, count, 0, fill);
  ObjectHeader* h = allocInEdenInline(tag, 0, count, 0, fill);
  return h != nullptr ? h : allocSmallObj(tag, 0, count, 0, fill);
}

ObjectHeader* allocVSObj(oop cls, uint64_t count) {
  if (count > maxIndexedElements) return nullptr;
  uint64_t format = classFormatOf(cls);
  uint32_t tag = classIndexOf(cls);
  if (!(format & formatPointers)) return allocByteInstance(tag, count, 0);
  uint64_t named = formatNamedSlots(format);
  return allocPointerInstance(tag, named, (named + count) * 8, headerFlagsForFormat(format));
}

ObjectHeader* allocFSObj(oop cls) {
  uint64_t format = classFormatOf(cls);
  uint64_t bytes = slotOf(cls, classFormatSlot) & 0x7FF8;
  uint64_t flags = hasPtrsBit | (headerFlagsForFormat(format) & (isGCSpecialBit | ephemeronNotWeakBit));
  return allocPointerInstance(classIndexOf(cls), formatNamedSlots(format), bytes, flags);
}

ObjectHeader* allocVSObjInFixedSpace(oop cls, uint64_t byteCount) {
  if (byteCount > maxIndexedElements || (classFormatOf(cls) & formatPointers)) return nullptr;
  return allocInFixedSpace(classIndexOf(cls), byteCount, 0, 0);
}

// ---- Copying and resizing --------------------------------------------------------------------

void rememberCopyOutsideNewSpace(ObjectHeader* copy, const char* file, int line) {
  if (currentIncGCState == incGCMarking && isMarked(copy)) incMarkObj(oopOf(copy));
  if (!inRt(copy) && !registerInRt(copy)) reportStoreCheckFailure(file, line);
  if (isPermObject(copy) && !isInOldRt(copy) && !registerInOldRt(copy))
    reportStoreCheckFailure(file, line);
}

// Weak and ephemeron flags come from the class format, not from the original.
static uint64_t copyFlagsFor(ObjectHeader* h) {
  if (!hasPtrs(h)) return 0;
  return hasPtrsBit | (headerFlagsForFormat(classFormatOf(classOfHeader(h))) & (isGCSpecialBit | ephemeronNotWeakBit));
}

ObjectHeader* createShallowCopyOf(ObjectHeader* h) {
  uint32_t tag = classTagOf(h);
  if (tag == classIndexHybridMethodContext || tag == classIndexHybridBlockContext) return nullptr;
  bool pointers = hasPtrs(h);
  uint64_t bytes = pointers ? bodyBytesOf(h) : byteSizeOf(h);
  int64_t named = pointers ? indexabilityOf(h) : 0;
  uint64_t flags = pointers ? uint64_t(hasPtrsBit) : 0;
  ObjectHeader* copy = allocInEdenInline(tag, named, bytes, flags, noFill);
  if (copy == nullptr) copy = allocSmallObj(tag, named, bytes, flags, noFill);
  if (copy == nullptr) return nullptr;
  if (bytes != 0) memcpy(bodyOf(copy), bodyOf(h), roundedBodyBytes(bytes));
  copy->flags |= copyFlagsFor(h);
  if (!isNewObject(oopOf(copy))) rememberCopyOutsideNewSpace(copy, allocateSource, __LINE__);
  return copy;
}

ObjectHeader* shrinkOrCopyPtrObj(ObjectHeader* h, uint64_t words) {
  if (!hasPtrs(h)) return nullptr;
  uint64_t n = bodyWordsOf(h);
  if (words > n) return nullptr;
  if (words == n) return h;
  if (isNewObject(oopOf(h)) || isPermObject(h)) return shrinkOrCopyNewObj(h, words);
  return shrinkOldObject(h, n - words, n - words) != 0 ? h : nullptr;
}

// ---- Freeing at once --------------------------------------------------------------------------

void recycleObj(oop obj) {
  ObjectHeader* h = headerOf(obj);
  if (isNewObject(obj)) return recycleNewObj(h);
  if (isPermObject(h)) return recyclePermObj(h);
  uint32_t size = sizeFieldOf(h);
  if (size != sizeFieldLarge && size != sizeFieldFixed) return recycleOldObj(h);
  if (size == sizeFieldLarge) reRegisterLargeObj(h, nullptr);
  else reRegisterFixedObj(h, nullptr);
  h->dataPtr = 0;
  setSizeField(h, 0);
  freeOldOtEntry(h);
}

// ---- Allocation primitives -------------------------------------------------------------------

enum : uint32_t { errNoSpace = 1, errBadArgument = 3, errUnsuitableReceiver = 5 };

static oop fail(uint32_t code, uint64_t numArgs) { return failPrimitive(primErrorAt(code), numArgs); }
static oop failNoSpace(uint64_t wanted, uint64_t numArgs) {
  oop size = cUnsignedToOop(wanted);
  return failPrimitive(cloneErrorWith(primErrorAt(errNoSpace), size), numArgs);
}

// The receiver must be a class with a class index; one without gets it now. Answers 0, or
// the error to fail with.
static oop checkInstantiable(oop cls) {
  if (classType(cls) == 0) return primErrorAt(errUnsuitableReceiver);
  if (hashOf(headerOf(cls)) != 0) return 0;
  return enterIntoClassTable(cls);
}

// A count argument: a SmallInteger 0 .. 2^56.
static bool countArgument(oop arg, uint64_t* count) {
  if (!isSmallInteger(arg) || smallIntegerValue(arg) < 0) return false;
  *count = uint64_t(smallIntegerValue(arg));
  return *count <= maxIndexedElements;
}

static bool isVariableByteFormat(uint64_t format) {
  return (format & (formatIndexable | formatPointers)) == formatIndexable;
}

// Primitives 70 and 320: an instance of a non-indexable class, in eden or perm space.
static oop newFixedInstance(oop cls, bool perm) {
  oop error = checkInstantiable(cls);
  if (error != 0) return failPrimitive(error, 0);
  uint64_t format = classFormatOf(cls);
  if (format & formatIndexable) return fail(errUnsuitableReceiver, 0);
  ObjectHeader* h;
  if (perm) {
    uint64_t flags = hasPtrsBit | (headerFlagsForFormat(format) & (isGCSpecialBit | ephemeronNotWeakBit));
    h = allocInPermSpace(hashOf(headerOf(cls)), formatNamedSlots(format),
                         formatNamedSlots(format) * 8, flags, nilOop());
  } else {
    h = allocFSObj(cls);
  }
  return h != nullptr ? oopOf(h) : fail(errNoSpace, 0);
}

static oop primNew(oop cls) { return newFixedInstance(cls, false); }
static oop primNewPerm(oop cls) { return newFixedInstance(cls, true); }

// Primitives 71 and 321: count indexed elements; byte classes count bytes.
static oop newVariableInstance(oop cls, oop countOop, bool perm) {
  oop error = checkInstantiable(cls);
  if (error != 0) return failPrimitive(error, 1);
  uint64_t format = classFormatOf(cls), count;
  if (!(format & formatIndexable)) return fail(errUnsuitableReceiver, 1);
  if (!countArgument(countOop, &count)) return fail(errBadArgument, 1);
  bool pointers = (format & formatPointers) != 0;
  uint64_t named = pointers ? formatNamedSlots(format) : 0;
  uint64_t bytes = pointers ? (named + count) * 8 : count;
  ObjectHeader* h;
  if (!perm)
    h = allocVSObj(cls, count);
  else if (pointers)
    h = allocInPermSpace(hashOf(headerOf(cls)), int64_t(named), bytes, headerFlagsForFormat(format), nilOop());
  else
    h = allocInPermSpace(hashOf(headerOf(cls)), 0, bytes, 0, 0);
  return h != nullptr ? oopOf(h) : failNoSpace(bytes, 1);
}

static oop primNewWithArg(oop cls, oop count) { return newVariableInstance(cls, count, false); }
static oop primNewPermWithArg(oop cls, oop count) { return newVariableInstance(cls, count, true); }

static oop primShallowCopy(oop receiver) {
  if (isImmediate(receiver)) return receiver;
  ObjectHeader* copy = createShallowCopyOf(headerOf(receiver));
  return copy != nullptr ? oopOf(copy) : failNoSpace(byteSizeOf(headerOf(receiver)), 0);
}

// Primitive 533: the copy lives in perm space and gets the store check of any holder.
static oop primPermCopy(oop receiver) {
  if (isImmediate(receiver)) return receiver;
  ObjectHeader* h = headerOf(receiver);
  uint32_t tag = classTagOf(h);
  bool pointers = hasPtrs(h);
  uint64_t bytes = pointers ? bodyBytesOf(h) : byteSizeOf(h);
  ObjectHeader* copy = nullptr;
  if (tag != classIndexHybridMethodContext && tag != classIndexHybridBlockContext)
    copy = allocInPermSpace(tag, pointers ? indexabilityOf(h) : 0, bytes, copyFlagsFor(h), noFill);
  if (copy == nullptr) return failNoSpace(byteSizeOf(h), 0);
  if (bytes != 0) memcpy(bodyOf(copy), bodyOf(h), roundedBodyBytes(bytes));
  rememberCopyOutsideNewSpace(copy, allocateSource, __LINE__);
  return oopOf(copy);
}

// Primitives 1040, 1045 and 1046: byte instances of a variable byte class.
static oop newByteInstance(oop cls, oop countOop, bool fixed, uint64_t fill) {
  oop error = checkInstantiable(cls);
  if (error != 0) return failPrimitive(error, 1);
  uint64_t count;
  if (!isVariableByteFormat(classFormatOf(cls))) return fail(errUnsuitableReceiver, 1);
  if (!countArgument(countOop, &count)) return fail(errBadArgument, 1);
  uint32_t tag = hashOf(headerOf(cls));
  ObjectHeader* h;
  if (fixed) {
    h = allocInFixedSpace(tag, count, 0, fill);
  } else {
    h = allocInEdenInline(tag, 0, count, 0, fill);
    if (h == nullptr) h = allocSmallObj(tag, 0, count, 0, fill);
  }
  return h != nullptr ? oopOf(h) : failNoSpace(count, 1);
}

static oop primNewFixed(oop cls, oop count) { return newByteInstance(cls, count, true, 0); }
static oop primNewFixedUncleared(oop cls, oop count) { return newByteInstance(cls, count, true, noFill); }
static oop primNewBytesUncleared(oop cls, oop count) { return newByteInstance(cls, count, false, noFill); }

static oop primIsFixed(oop receiver) {
  if (isImmediate(receiver)) return fail(errUnsuitableReceiver, 0);
  return booleanOop(sizeFieldOf(headerOf(receiver)) == sizeFieldFixed);
}

static oop primFixedAddress(oop receiver) {
  if (isImmediate(receiver) || sizeFieldOf(headerOf(receiver)) != sizeFieldFixed)
    return fail(errUnsuitableReceiver, 0);
  oop address = cUnsignedToOop(headerOf(receiver)->dataPtr);
  return address != 0 ? address : fail(errNoSpace, 0);
}

void initAllocationPrims() {
  addCPrimitive(70, reinterpret_cast<const void*>(primNew), 0);
  addCPrimitive(71, reinterpret_cast<const void*>(primNewWithArg), 1);
  addCPrimitive(320, reinterpret_cast<const void*>(primNewPerm), 0);
  addCPrimitive(321, reinterpret_cast<const void*>(primNewPermWithArg), 1);
  addCPrimitive(532, reinterpret_cast<const void*>(primShallowCopy), 0);
  addCPrimitive(533, reinterpret_cast<const void*>(primPermCopy), 0);
  addCPrimitive(1040, reinterpret_cast<const void*>(primNewFixed), 1);
  addCPrimitive(1041, reinterpret_cast<const void*>(primIsFixed), 0);
  addCPrimitive(1044, reinterpret_cast<const void*>(primFixedAddress), 0);
  addCPrimitive(1045, reinterpret_cast<const void*>(primNewFixedUncleared), 1);
  addCPrimitive(1046, reinterpret_cast<const void*>(primNewBytesUncleared), 1);
}
