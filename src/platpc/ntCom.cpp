// Windows layer: COM calls and COM objects on the x64 layout. A COM call is a C call whose
// function is entry k (8 bytes each) of the interface's method table, with the interface
// pointer as its implicit first argument (389, 390). Primitive 487 builds a method table
// whose entries are 16-byte stubs in a code-arena block: each loads its record into r10 and
// jumps to comStubEntry (ntCallOut.S), which spills the four register arguments to the home
// slots and xmm0-3 to a local block and calls comMethodDispatch; that turns the arguments
// into objects, sends the record's selector to the object the COM instance names (the
// 32-bit word at byte offset 8, after the method-table pointer) and converts the answer.
// Primitive 488 frees a block and releases its registeredArray counts; 489 registers the
// Array. Owns the descriptor-class and registeredArray registry slots and comSendHook.
// Prefix: none (initCOMPrimitives, comMethodDispatch, registeredArrayAt, ...).
#include <windows.h>

#include "platpc/ntCom.h"

#include <cstring>

#include "ext/exError.h"
#include "ext/exPrimTable.h"
#include "ext/exRequest.h"
#include "ext/platform.h"
#include "mman/mmAllocate.h"
#include "mman/mmCString.h"
#include "mman/mmCValue.h"
#include "mman/mmPrimUtil.h"
#include "mman/mmRt.h"
#include "mman/mmSysOop.h"
#include "platpc/ntCallC.h"
#include "platpc/ntThunk.h"
#include "prim/prCKind.h"
#include "prim/prCall.h"
#include "prim/prDouble.h"
#include "prim/prMessage.h"
#include "stack/nsupport.h"
#include "stack/stackzone.h"
#include "tran/nmLayout.h"
#include "tran/nmalloc.h"
#include "tran/tpcmap.h"

static const char* const comSource = SOURCE_NAME;

int64_t comDescriptorClassX = -1;  // registry slot of the descriptor class (338)
int64_t comDescriptorSlot = -1;    // first descriptor slot of a call descriptor
int64_t comInterfaceSlot = -1;     // slot of a COM-holding object with the interface pointer (339)
int64_t registeredArrayX = -1;     // registry slot of the registeredArray (489)
oop (*comSendHook)(oop receiver, oop selector, oop arguments, oop* resultPtr, oop failValue) = basicOeSendMessageMany;

static oop fail(uint32_t code, uint64_t numArgs) { return failPrimitive(primErrorAt(code), numArgs); }

// ---- The registeredArray -------------------------------------------------------------------

static oop registeredArray() { return registeredArrayX < 0 ? 0 : sysOop(uint32_t(registeredArrayX)); }

oop registeredArrayAt(int64_t index) {
  oop a = registeredArray();
  if (a == 0 || isImmediate(a) || !hasPtrs(headerOf(a)) || index < 1 || uint64_t(index) > bodyWordsOf(headerOf(a)))
    return nilOop();
  return slotOf(a, uint64_t(index - 1));
}

int64_t registeredArrayRelease(int64_t index) {
  oop a = registeredArray();
  if (a == 0 || isImmediate(a) || !hasPtrs(headerOf(a)) || index < 1 || uint64_t(index) + 1 > bodyWordsOf(headerOf(a)))
    return 0;
  oop count = slotOf(a, uint64_t(index));
  if (!isSmallInteger(count)) return 0;
  int64_t n = smallIntegerValue(count);
  if (n == 1) bodyOf(headerOf(a))[index - 1] = nilOop();
  bodyOf(headerOf(a))[index] = smallIntegerFor(n - 1);
  return n - 1;
}

// 489: the Array whose (object, count) pairs COM objects name.
static oop primRegisterArray(oop receiver, oop array) {
  if (isImmediate(array) || classTagOf(headerOf(array)) != classIndexArray) return fail(primErrBadArgument, 1);
  if (registeredArrayX < 0 && (registeredArrayX = allocSysOopSlot()) < 0) return fail(primErrNoSpace, 1);
  registerSysOop(array, uint32_t(registeredArrayX));
  return receiver;
}

// ---- COM calls -----------------------------------------------------------------------------

static bool isPointerKind(uint32_t k) {
  return k == 11 || k == 12 || k == 13 || k == 19 || k == 20 || k == 21 || k == 22;
}

// The result object the call-out fills, by result kind; 0 (the failure code in *code) when
// it cannot be made. A struct of 1, 2, 4 or 8 bytes comes back in rax.
static oop comResultObject(uint8_t kind, oop resultClass, oop descriptor, uint64_t resultBytes, uint64_t* flags,
                           uint32_t* code) {
  *code = primErrNoSpace;
  if (kind == ckFloat) return newFloatBox(0);
  if (kind == ckDouble || kind == ckLongDouble) return newDoubleBox(0);
  if (kind == ckPointer23) return *code = primErrNotHere, 0;
  if (!(kind == 11 || kind == 12 || kind == 13 || kind == ckStruct)) return nilOop();
  if (isImmediate(resultClass) || !isFixedPointerClass(resultClass, 2)) return *code = primErrBadArgument, 0;
  oop slot0 = nilOop();
  if (kind == ckStruct) {
    ObjectHeader* bytes = allocVSObj(sysOop(sysCDataClass), resultBytes);
    if (bytes == nullptr) return 0;
    slot0 = oopOf(bytes);
    if (winStructInRegister(resultBytes) || resultBytes == 0) *flags |= callFlagStructInRegisters;
  }
  ObjectHeader* h = allocFSObj(resultClass);
  if (h == nullptr) return 0;
  bodyOf(h)[0] = slot0;
  storeCheck(h, slot0, comSource, __LINE__);
  bodyOf(h)[1] = descriptor;
  storeCheck(h, descriptor, comSource, __LINE__);
  return oopOf(h);
}

// One COM call: entry slot of the interface's method table, argument i at base[n - i]
// (the last trailing ones in the segment's saved-argument words).
static oop comCall(uint64_t interfacePointer, int64_t slot, uint64_t flags, oop kinds, uint64_t resultBytes,
                   oop resultClass, oop descriptor, const uint64_t* base, uint64_t n, uint64_t trailing,
                   uint64_t primArgs) {
  if (interfacePointer == 0 || slot < 0) return fail(primErrBadArgument, primArgs);
  uint64_t table = *reinterpret_cast<const uint64_t*>(uintptr_t(interfacePointer));
  uint64_t function = reinterpret_cast<const uint64_t*>(uintptr_t(table))[slot];
  const uint8_t* k = reinterpret_cast<const uint8_t*>(bodyOf(headerOf(kinds)));
  uint32_t code;
  oop result = comResultObject(k[0], resultClass, descriptor, resultBytes, &flags, &code);
  if (result == 0) return fail(code, primArgs);
  CallErrorRecord record = {0, 0, 0};
  calloutResult = result;
  oop answer = winCallC(flags, interfacePointer, function, k, n, trailing, base, resultBytes, &record);
  calloutResult = 0;
  if (answer == 0) return failPrimitive(cloneCallCError(&record), primArgs);
  return anyRequestsPending() ? commitPrimitiveAndHandleRequests(answer) : answer;
}

static bool interfaceOf(oop holder, uint64_t* out) {
  if (comInterfaceSlot < 0 || isImmediate(holder) || !hasPtrs(headerOf(holder)) ||
      bodyWordsOf(headerOf(holder)) <= uint64_t(comInterfaceSlot))
    return false;
  return oopToQ64(slotOf(holder, uint64_t(comInterfaceSlot)), out) != 0;
}

static bool isByteArray(oop o) { return !isImmediate(o) && classTagOf(headerOf(o)) == classIndexByteArray; }

// Argument i (0-based) of a var-arg primitive of n arguments: the last two lie in the
// segment's saved-argument words, the others above the saved sp.
static oop varArg(const uint64_t* sp, uint64_t n, uint64_t i) {
  int64_t index = int64_t(n) - int64_t(n < 2 ? n : 2) - int64_t(i);
  return index > 0 ? sp[index] : currentStack[shArg0 - index];
}

// 389 (nine arguments, so of the var-arg form): holder, slot index, flags, arguments (an
// Array), kinds (argument count + 2 bytes), struct-argument bytes, result size, result class,
// result descriptor.
static oop primComCallWithArguments(oop, uint64_t count, uint64_t savedSp) {
  if (count != 9) return fail(primErrBadArgument, count);
  const uint64_t* sp = reinterpret_cast<const uint64_t*>(savedSp);
  oop holder = varArg(sp, 9, 0), slot = varArg(sp, 9, 1), flags = varArg(sp, 9, 2), arguments = varArg(sp, 9, 3),
      kinds = varArg(sp, 9, 4), resultSize = varArg(sp, 9, 6), resultClass = varArg(sp, 9, 7),
      descriptor = varArg(sp, 9, 8);
  if (!isSmallInteger(slot) || !isSmallInteger(flags) || !isSmallInteger(resultSize) || smallIntegerValue(resultSize) < 0 ||
      !isSmallInteger(varArg(sp, 9, 5)) || isImmediate(arguments) || classTagOf(headerOf(arguments)) != classIndexArray ||
      !isByteArray(kinds))
    return fail(primErrBadArgument, 9);
  uint64_t n = bodyWordsOf(headerOf(arguments));
  if (byteSizeOf(headerOf(kinds)) != n + 2) return fail(primErrBadArgument, 9);
  uint64_t pointer;
  if (!interfaceOf(holder, &pointer)) return fail(primErrBadArgument, 9);
  ObjectHeader* reversed = allocVSObj(sysOop(sysArrayClass), n);
  if (reversed == nullptr) return fail(primErrNoSpace, 9);
  for (uint64_t j = 0; j < n; j++) {
    oop v = slotOf(arguments, n - 1 - j);
    bodyOf(reversed)[j] = v;
    storeCheck(reversed, v, comSource, __LINE__);
  }
  return comCall(pointer, smallIntegerValue(slot), uint64_t(smallIntegerValue(flags)) & ~uint64_t(callFlagThreaded),
                 kinds, uint64_t(smallIntegerValue(resultSize)), resultClass, descriptor,
                 reinterpret_cast<const uint64_t*>(bodyOf(reversed)) - 1, n, 0, 9);
}

// 390: the COM call the calling method describes, on the receiver's interface.
static oop primComCall(oop receiver, uint64_t n, uint64_t savedSp) {
  if (comDescriptorClassX < 0) {
    doReportError("Attempted COM call prior to initialization", 4096, "src/ext/exCOM", __LINE__);
    return fail(primErrNotInitialized, n);
  }
  oop method = oop(reinterpret_cast<const NMethodHeader*>(nmethFromPrimReturn(currentStack[shFailAddr]))->vmethod);
  uint64_t k = uint64_t(comDescriptorSlot);
  if (isImmediate(method) || !isKindOf(method, sysOop(uint32_t(comDescriptorClassX))) || !hasPtrs(headerOf(method)) ||
      bodyWordsOf(headerOf(method)) < k + 7)
    return fail(primErrBadReceiver, n);
  const oop* d = bodyOf(headerOf(method)) + k;
  if (!isSmallInteger(d[0]) || !isSmallInteger(d[1]) || !isSmallInteger(d[4]) || smallIntegerValue(d[4]) < 0 ||
      !isByteArray(d[2]) || byteSizeOf(headerOf(d[2])) != n + 2)
    return fail(primErrBadArgument, n);
  if (smallIntegerValue(d[1]) & callFlagThreaded) return fail(primErrNotHere, n);
  uint64_t pointer;
  if (!interfaceOf(receiver, &pointer)) return fail(primErrBadArgument, n);
  return comCall(pointer, smallIntegerValue(d[0]), uint64_t(smallIntegerValue(d[1])), d[2], uint64_t(smallIntegerValue(d[4])),
                 d[5], d[6], reinterpret_cast<const uint64_t*>(savedSp), n, 2, n);
}

// 338: the receiver is the descriptor class; its descriptor slots start at the index.
static oop primRegisterComDescriptorClass(oop receiver, oop index) {
  if (!isSmallInteger(index) || smallIntegerValue(index) < 0) return fail(primErrBadArgument, 1);
  if (comDescriptorClassX < 0 && (comDescriptorClassX = allocSysOopSlot()) < 0) return fail(primErrNoSpace, 1);
  registerSysOop(receiver, uint32_t(comDescriptorClassX));
  comDescriptorSlot = smallIntegerValue(index);
  return receiver;
}

// 339: the slot of a COM-holding object that holds the interface pointer.
static oop primSetComInterfaceSlot(oop receiver, oop index) {
  if (!isSmallInteger(index) || smallIntegerValue(index) < 0) return fail(primErrBadArgument, 1);
  comInterfaceSlot = smallIntegerValue(index);
  return receiver;
}

// ---- COM objects ---------------------------------------------------------------------------

// Record layout (32-bit words): stub flags; the 16-byte stub; selector index; argument
// count; kind bytes padded to 4; index entries (2 per pointer kind, 3 per struct kind).
enum : uint32_t { recFlags = 0, recStub = 4, recSelector = 20, recArgc = 24, recKinds = 28 };
enum : uint32_t { stubBytes = 16, stubFlagCalleePops = 0x20 };

static uint32_t kindWords(uint32_t argc) { return (argc + 1 + 3) / 4; }

static uint32_t entryWords(uint32_t kind) { return isPointerKind(kind) ? 2 : kind == ckStruct ? 3 : 0; }

// A descriptor's fields, or false when it is malformed.
struct ComMethodDescriptor {
  int64_t selector, flags, argc;
  const uint8_t* kinds;
  const oop* values;
  uint64_t valueCount;
};

static bool readDescriptor(oop d, ComMethodDescriptor* out) {
  if (isImmediate(d) || classTagOf(headerOf(d)) != classIndexArray || bodyWordsOf(headerOf(d)) < 5) return false;
  const oop* s = bodyOf(headerOf(d));
  if (!isSmallInteger(s[0]) || !isSmallInteger(s[1]) || !isSmallInteger(s[2]) || !isByteArray(s[3])) return false;
  *out = {smallIntegerValue(s[0]), smallIntegerValue(s[1]), smallIntegerValue(s[2]),
          reinterpret_cast<const uint8_t*>(bodyOf(headerOf(s[3]))), s + 4, bodyWordsOf(headerOf(d)) - 4};
  if (out->argc < 1 || out->argc > 255 || byteSizeOf(headerOf(s[3])) < uint64_t(out->argc) + 1) return false;
  return true;
}

// The record's word count, or 0 when the flags or a kind refuse it.
static uint32_t sizeComMethodRecord(const ComMethodDescriptor& d) {
  if ((d.flags & 5) != 0 || (d.flags & 0x22) == 0) return 0;
  uint32_t words = 7 + kindWords(uint32_t(d.argc)), values = 0;
  for (int64_t i = 0; i <= d.argc; i++) {
    uint8_t k = d.kinds[i];
    if (k == 14 || k == 16 || k == 23) return 0;
    words += entryWords(k), values += entryWords(k);
  }
  return d.valueCount >= values ? words : 0;
}

// Argument bytes a callee-pops stub would remove (kept in the record; x64 callers pop).
static bool argumentByteCount(const uint8_t* kinds, uint32_t argc, const uint32_t* entries, uint32_t* out) {
  uint32_t n = 0;
  for (uint32_t i = 1; i <= argc; i++) {
    uint8_t k = kinds[i];
    if (k == 14 || k == 18 || k == 23 || k >= 31) return false;
    n += k <= 8 || (k >= 26 && k <= 29) ? 4 : k == ckStruct ? 0 : 8;
    if (k == ckStruct) n += (entries[2] + 3) & ~3u;
    entries += entryWords(k);
  }
  *out = n;
  return true;
}

static const uint8_t stubTemplate[stubBytes] = {
    0x4C, 0x8D, 0x15, 0xF5, 0xFF, 0xFF, 0xFF,  // lea r10, [rip - 11]: the record
    0xFF, 0x25, 0, 0, 0, 0,                    // jmp [rip + d]: the block's entry word
    0xCC, 0xCC, 0xCC,
};

// Walks the records of a block: fn(record) for each; the table address is block + 8.
template <typename Visit>
static void forEachRecord(uint8_t* table, Visit visit) {
  uint64_t count = *reinterpret_cast<uint64_t*>(table - 8);
  uint8_t* r = table + 8 * count + 8;
  for (uint64_t i = 0; i < count; i++) {
    uint32_t argc = *reinterpret_cast<uint32_t*>(r + recArgc);
    const uint8_t* kinds = r + recKinds;
    uint32_t words = 7 + kindWords(argc);
    for (uint32_t k = 0; k <= argc; k++) words += entryWords(kinds[k]);
    visit(r);
    r += 4 * words;
  }
}

static uint32_t* recordEntries(uint8_t* record) {
  uint32_t argc = *reinterpret_cast<uint32_t*>(record + recArgc);
  return reinterpret_cast<uint32_t*>(record + recKinds + 4 * kindWords(argc));
}

// 487: a method table of stubs for the descriptors; its address.
static oop primBuildComObject(oop, oop descriptors) {
  if (isImmediate(descriptors) || classTagOf(headerOf(descriptors)) != classIndexArray) return fail(primErrBadArgument, 1);
  uint64_t count = bodyWordsOf(headerOf(descriptors));
  if (count == 0) return fail(primErrBadArgument, 1);
  uint64_t recordWords = 0;
  for (uint64_t i = 0; i < count; i++) {
    ComMethodDescriptor d;
    uint32_t words = readDescriptor(slotOf(descriptors, i), &d) ? sizeComMethodRecord(d) : 0;
    if (words == 0) return fail(primErrBadArgument, 1);
    recordWords += words;
  }
  uint8_t* block = static_cast<uint8_t*>(codeArenaAlloc(8 + 8 * count + 8 + 4 * recordWords));
  if (block == nullptr) return fail(primErrNoSpace, 1);
  *reinterpret_cast<uint64_t*>(block) = count;
  uint8_t* table = block + 8;
  uint8_t* entryWord = table + 8 * count;
  uint64_t entry = uint64_t(uintptr_t(comStubEntry));
  memcpy(entryWord, &entry, 8);
  uint8_t* r = entryWord + 8;
  for (uint64_t i = 0; i < count; i++) {
    ComMethodDescriptor d;
    readDescriptor(slotOf(descriptors, i), &d);
    uint32_t* w = reinterpret_cast<uint32_t*>(r);
    w[0] = uint32_t(d.flags);
    uint8_t* stub = r + recStub;
    memcpy(stub, stubTemplate, stubBytes);
    int32_t displacement = int32_t(entryWord - (stub + 13));
    memcpy(stub + 9, &displacement, 4);
    *reinterpret_cast<uint32_t*>(r + recSelector) = uint32_t(d.selector);
    *reinterpret_cast<uint32_t*>(r + recArgc) = uint32_t(d.argc);
    memset(r + recKinds, 0, 4 * kindWords(uint32_t(d.argc)));
    memcpy(r + recKinds, d.kinds, size_t(d.argc) + 1);
    uint32_t* entries = recordEntries(r);
    uint32_t e = 0;
    bool ok = true;
    for (int64_t k = 0; k <= d.argc && ok; k++)
      for (uint32_t j = 0; j < entryWords(d.kinds[k]) && ok; j++, e++) {
        uint64_t v;
        if (isSmallInteger(d.values[e])) v = uint64_t(smallIntegerValue(d.values[e]));
        else ok = stOopToCValue(&v, d.values[e], 4) != 0;
        entries[e] = uint32_t(v);
      }
    uint32_t popBytes;
    if (ok && (d.flags & stubFlagCalleePops)) ok = argumentByteCount(r + recKinds, uint32_t(d.argc), entries, &popBytes);
    if (!ok) {
      codeArenaFree(block);
      return fail(primErrBadArgument, 1);
    }
    uint64_t address = uint64_t(uintptr_t(stub));
    memcpy(table + 8 * i, &address, 8);
    r = reinterpret_cast<uint8_t*>(entries + e);
  }
  if (rtFlushICache != nullptr) rtFlushICache();
  oop answer = cUnsignedToOop(uint64_t(uintptr_t(table)));
  if (answer == 0) {
    codeArenaFree(block);
    return fail(primErrNoSpace, 1);
  }
  return answer;
}

// 488: the counts of the selectors, classes and descriptors the records name are released
// and the block goes back to its arena.
static oop primFreeComObject(oop receiver, oop address) {
  uint64_t a;
  if (!oopToQ64(address, &a) || a < 8) return fail(primErrBadArgument, 1);
  uint8_t* table = reinterpret_cast<uint8_t*>(uintptr_t(a));
  forEachRecord(table, [](uint8_t* r) {
    registeredArrayRelease(*reinterpret_cast<uint32_t*>(r + recSelector));
    uint32_t argc = *reinterpret_cast<uint32_t*>(r + recArgc);
    const uint8_t* kinds = r + recKinds;
    const uint32_t* e = recordEntries(r);
    for (uint32_t k = 0; k <= argc; k++) {
      if (entryWords(kinds[k]) != 0) registeredArrayRelease(e[0]), registeredArrayRelease(e[1]);
      e += entryWords(kinds[k]);
    }
  });
  codeArenaFree(table - 8);
  return receiver;
}

// ---- The dispatcher ------------------------------------------------------------------------

enum : uint64_t { eFail = 0x80004005 };

static oop newInstance(uint32_t classIndex, uint32_t descriptorIndex, oop slot0) {
  oop cls = registeredArrayAt(classIndex);
  if (isImmediate(cls) || cls == nilOop() || !isFixedPointerClass(cls, 2)) return 0;
  ObjectHeader* h = allocFSObj(cls);
  if (h == nullptr) return 0;
  oop descriptor = registeredArrayAt(descriptorIndex);
  bodyOf(h)[0] = slot0;
  storeCheck(h, slot0, comSource, __LINE__);
  bodyOf(h)[1] = descriptor;
  storeCheck(h, descriptor, comSource, __LINE__);
  return oopOf(h);
}

// One argument word as an object by its kind; 0 when refused or not allocated.
static oop argumentObject(uint32_t kind, uint64_t w, uint64_t xmmWord, const uint32_t* entry) {
  switch (kind) {
    case 0: return cSignedToOop(int8_t(w));
    case 2: return cSignedToOop(int16_t(w));
    case 4: case 6: return cSignedToOop(int32_t(w));
    case 1: return cUnsignedToOop(uint8_t(w));
    case 3: return cUnsignedToOop(uint16_t(w));
    case 5: case 7: return cUnsignedToOop(uint32_t(w));
    case 8: {
      float f;
      memcpy(&f, &xmmWord, 4);
      return newFloatBox(f);
    }
    case 9: {
      double d;
      memcpy(&d, &xmmWord, 8);
      return newDoubleBox(d);
    }
    case 24: return cSignedToOop(int64_t(w));
    case 25: return cUnsignedToOop(w);
    case 15: return oop(w);
    case 26: return booleanOop(uint8_t(w) != 0);
    case 27: return booleanOop(uint16_t(w) != 0);
    case 28: case 29: return booleanOop(uint32_t(w) != 0);
    case 30: return booleanOop(w != 0);
    case 11: case 12: case 13: case 16: case 19: case 20: case 21: case 22: {
      oop address = cUnsignedToOop(w);
      return address != 0 ? newInstance(entry[0], entry[1], address) : 0;
    }
    case ckStruct: {
      uint32_t size = entry[2];
      ObjectHeader* bytes = allocVSObj(sysOop(sysCDataClass), size);
      if (bytes == nullptr) return 0;
      const void* from = winStructInRegister(size) ? static_cast<const void*>(&w) : reinterpret_cast<const void*>(uintptr_t(w));
      if (size != 0 && from != nullptr) memcpy(bodyOf(bytes), from, size);
      return newInstance(entry[0], entry[1], oopOf(bytes));
    }
    default: return 0;
  }
}

static double answerAsDouble(oop a) {
  if (isSmallInteger(a)) return double(smallIntegerValue(a));
  if (isSmallDouble(a)) return loadSmallDoubleFromOop(a);
  if (isFloatObject(a)) return floatValueOf(a);
  if (isDoubleObject(a)) return doubleValueOf(a);
  return 0.0;
}

// The answer as the C value of an integer or pointer result kind.
static uint64_t integerAnswer(oop a) {
  uint64_t v = 0;
  if (isSmallInteger(a)) return uint64_t(smallIntegerValue(a));
  if (a == nilOop()) return 0;
  if (!isImmediate(a) && isCStringObject(a)) return uint64_t(uintptr_t(coerceToCString(a)));
  if (!isImmediate(a) && isCPointerFamily(a)) {
    oop s = slotOf(a, 0);
    if (isSmallInteger(s)) return uint64_t(smallIntegerValue(s));
    return stOopToCValue(&v, s, 8) ? v : 0;
  }
  if (stOopToCValue(&v, a, 8)) return v;
  if (!isImmediate(a) && !hasPtrs(headerOf(a))) return uint64_t(uintptr_t(bodyOf(headerOf(a))));
  return 0;
}

extern "C" void comMethodDispatch(const uint8_t* record, const uint64_t* words, const uint64_t* xmm, ComResult* result) {
  result->rax = eFail;
  result->xmm0 = 0;
  uint32_t argc = *reinterpret_cast<const uint32_t*>(record + recArgc);
  const uint8_t* kinds = record + recKinds;
  const uint32_t* entries = recordEntries(const_cast<uint8_t*>(record));
  bool hidden = kinds[0] == ckStruct && !winStructInRegister(entries[2]);
  uint64_t first = hidden ? 1 : 0;
  const uint64_t* thisPointer = reinterpret_cast<const uint64_t*>(uintptr_t(words[first]));
  uint32_t receiverIndex = *reinterpret_cast<const uint32_t*>(reinterpret_cast<const uint8_t*>(thisPointer) + 8);
  ObjectHeader* args = allocVSObj(sysOop(sysArrayClass), argc);
  if (args == nullptr) return;
  const uint32_t* e = entries + entryWords(kinds[0]);
  for (uint32_t i = 0; i < argc; i++) {
    uint32_t kind = kinds[i + 1];
    uint64_t position = first + i;
    uint64_t w = words[position], x = position < 4 ? xmm[position] : w;
    oop a = argumentObject(kind, w, x, e);
    if (a == 0) return;
    bodyOf(args)[i] = a;
    storeCheck(args, a, comSource, __LINE__);
    e += entryWords(kind);
  }
  oop receiver = registeredArrayAt(receiverIndex);
  oop selector = registeredArrayAt(*reinterpret_cast<const uint32_t*>(record + recSelector));
  oop answer = comSendHook(receiver, selector, oopOf(args), nullptr, 0);
  if (answer == 0) return;
  uint32_t kind = kinds[0];
  result->rax = 0;
  if (kind == ckFloat) {
    float f = isFloatObject(answer) ? floatValueOf(answer) : float(answerAsDouble(answer));
    memcpy(&result->xmm0, &f, 4);
  } else if (kind == ckDouble) {
    double d = answerAsDouble(answer);
    memcpy(&result->xmm0, &d, 8);
  } else if (kind == ckStruct) {
    oop bytes = !isImmediate(answer) && isCComposite(answer) ? slotOf(answer, 0) : answer;
    uint64_t size = entries[2];
    if (!isImmediate(bytes) && bytes != nilOop() && !hasPtrs(headerOf(bytes))) {
      uint64_t n = byteSizeOf(headerOf(bytes)) < size ? byteSizeOf(headerOf(bytes)) : size;
      void* to = hidden ? reinterpret_cast<void*>(uintptr_t(words[0])) : static_cast<void*>(&result->rax);
      memcpy(to, bodyOf(headerOf(bytes)), n);
    }
    if (hidden) result->rax = words[0];
  } else if (kind == ckVoid) {
    result->rax = 0;
  } else if (kind >= 26 && kind <= 29) {
    result->rax = answer == trueOop();
  } else if (kind == 10 || kind == 14 || kind == 15 || kind == 23 || kind == 24 || kind == 25 || kind == 30) {
    uint64_t v = 0;
    result->rax = isSmallInteger(answer) ? uint64_t(smallIntegerValue(answer)) : stOopToCValue(&v, answer, 8) ? v : 0;
  } else {
    result->rax = integerAnswer(answer);
  }
}

void initCOMPrimitives() {
  addCPrimitive(338, reinterpret_cast<const void*>(primRegisterComDescriptorClass), 1);
  addCPrimitive(339, reinterpret_cast<const void*>(primSetComInterfaceSlot), 1);
  addVarArgCPrimitive(389, reinterpret_cast<const void*>(primComCallWithArguments));
  addVarArgCPrimitive(390, reinterpret_cast<const void*>(primComCall));
  addCPrimitive(487, reinterpret_cast<const void*>(primBuildComObject), 1);
  addCPrimitive(488, reinterpret_cast<const void*>(primFreeComObject), 1);
}

void initRegisteredArrayPrimitive() { addCPrimitive(489, reinterpret_cast<const void*>(primRegisterArray), 1); }
