// Unix layer: the System V x86-64 call-out: arguments converted by their CKind into a
// register image and a stack area, the call (assembly, unx86_64CallC.S), the result
// converted back, and the struct classifier. Owns no global record.
// Prefix: pd (pdCallC, pdSetNumBytesForKind); none (classifyStructEightbytes, ...).
#include "plat/unx86_64CallC.h"

#include <cerrno>
#include <csetjmp>
#include <cstdlib>
#include <cstring>
#include <pthread.h>
#include <setjmp.h>

#include "prim/prCall.h"
#include "ext/platform.h"
#include "mman/mmRt.h"
#include "mman/mmSysOop.h"
#include "prim/prCKind.h"
#include "mman/mmCValue.h"
#include "prim/prDouble.h"
#include "mman/mmPrimUtil.h"
#include "stack/stackzone.h"
#include "tran/nmLayout.h"
#include "mman/mmBecome.h"
#include "mman/mmCString.h"
#include "plat/unxThreads.h"
#include "prim/prThreads.h"


// Error words of the CallErrorRecord (negative SmallIntegers: PrimErrorTable entry n-1).
enum : int64_t {
  callNoMemory = -13,       // entry 1
  callErrno = -77,          // entry 9, with errno
  callNotHere = -101,       // entry 12
  callBadFunction = -109,   // entry 13
  callImmutable = -189,     // entry 23, with the argument's position
};

void pdSetNumBytesForKind(uint8_t* sizes) {
  sizes[ckLongDouble] = 16;
  sizes[ckPointer11] = 8;  // a pointer like 12 and 13 on Unix
  sizes[ckStrictPointer] = 8;
  sizes[ckPointer23] = 8;
}

// ---- Struct classification ----------------------------------------------------------------

// Field kinds that make an eightbyte INTEGER: the integral, Boolean and object kinds and
// every pointer kind (an address is an INTEGER eightbyte in the convention).
static constexpr uint32_t integerFieldKinds = 0x7ff9b8ffu;
enum EightbyteClass { ebNone, ebInteger, ebDouble, ebSingle, ebFloats };

static const oop* fieldRecords(oop descriptor, uint64_t* count) {
  *count = 0;
  if (isImmediate(descriptor) || !hasPtrs(headerOf(descriptor))) return nullptr;
  ObjectHeader* h = headerOf(descriptor);
  uint64_t named = indexabilityOf(h);
  if (named == indexabilityAskClass) named = formatNamedSlots(classFormatOf(classOfHeader(h)));
  uint64_t slots = bodyWordsOf(h);
  if (slots <= named || (slots - named) % 5 != 0) return nullptr;
  *count = (slots - named) / 5;
  return bodyOf(h) + named;
}

oop structDescriptorOf(oop object) {
  uint64_t n;
  if (fieldRecords(object, &n) != nullptr) return object;
  if (isHeapObject(object) && hasPtrs(headerOf(object)) && bodyWordsOf(headerOf(object)) >= 2) return slotOf(object, 1);
  return 0;
}

// The class a field gives its eightbyte; INTEGER wins over SSE, two floats make a double slot.
static EightbyteClass joinClass(EightbyteClass c, uint32_t kind) {
  if ((integerFieldKinds >> kind) & 1) return ebInteger;
  if (c == ebInteger) return c;
  if (kind == ckDouble) return ebDouble;
  return c == ebNone ? ebSingle : ebFloats;  // a float
}

// The classes of eightbytes 0 and 1 (ebNone: absent); false for a struct that goes by memory.
static bool eightbyteClasses(oop descriptor, EightbyteClass classes[2]) {
  uint64_t n;
  const oop* r = fieldRecords(descriptor, &n);
  classes[0] = classes[1] = ebNone;
  if (r == nullptr || n == 0) return false;
  for (uint64_t i = 0; i < n; i++, r += 5) {
    if (!isSmallInteger(r[1]) || !isSmallInteger(r[3])) return false;
    int64_t offset = smallIntegerValue(r[1]), kind = smallIntegerValue(r[3]);
    if (offset < 0 || offset > 15 || kind < 0 || kind > 30) return false;
    if (!((integerFieldKinds >> kind) & 1) && kind != ckFloat && kind != ckDouble) return false;
    int which = offset >= 8 ? 1 : 0;
    classes[which] = joinClass(classes[which], uint32_t(kind));
  }
  return classes[0] != ebNone;
}

uint64_t classifyStructEightbytes(oop descriptor, const uint8_t* structBytes, uint64_t* intWords,
                                  uint8_t (*sseSlots)[16], uint8_t* singles, uint64_t intsUsed, uint64_t sseUsed) {
  EightbyteClass classes[2];
  if (!eightbyteClasses(descriptor, classes)) return 0;
  uint64_t ints = intsUsed, sse = sseUsed, pattern = 0;
  for (int i = 0; i < 2 && classes[i] != ebNone; i++) {
    if (classes[i] == ebInteger ? ints > 5 : sse > 7) return 0;
    if (classes[i] == ebInteger) ints++, pattern += uint64_t(i + 1);
    else sse++, pattern += 16 * uint64_t(i + 1);
  }
  ints = intsUsed, sse = sseUsed;
  for (int i = 0; i < 2 && classes[i] != ebNone; i++) {
    if (classes[i] == ebInteger) {
      memcpy(&intWords[ints++], structBytes + 8 * i, 8);
      continue;
    }
    memset(sseSlots[sse], 0, 16);
    memcpy(sseSlots[sse], structBytes + 8 * i, 8);
    if (classes[i] == ebSingle) *singles |= uint8_t(1u << sse);
    sse++;
  }
  return (ints - intsUsed) | (sse - sseUsed) << 8 | pattern << 16;
}

// Classification into empty registers: what travels in registers, or 0.
static uint64_t classifyAlone(oop descriptor) {
  uint8_t bytes[16] = {0}, slots[8][16], singles = 0;
  uint64_t words[6];
  return classifyStructEightbytes(descriptor, bytes, words, slots, &singles, 0, 0);
}

uint64_t shouldPassStructInRegisters(oop descriptorOrComposite) {
  oop d = structDescriptorOf(descriptorOrComposite);
  return d == 0 ? 0 : classifyAlone(d) & 0xFFFF;
}

uint64_t structReturnModel(oop descriptorOrComposite) {
  oop d = structDescriptorOf(descriptorOrComposite);
  return d == 0 ? 0 : classifyAlone(d) >> 16;
}

// ---- Arguments -------------------------------------------------------------------------------

// One call being prepared: the register image, the stack area growing in words, and the
// record that a refused argument fills.
struct CallBuild {
  CallRegisters regs;
  uint64_t* area;        // stack-argument words
  uint64_t areaWords;    // words used
  uint64_t areaCapacity; // words available
  CallErrorRecord* record;
  bool threaded;         // objects whose bytes C sees must stay put while other code runs
};

static void pushStackWord(CallBuild& b, uint64_t word) { b.area[b.areaWords++] = word; }
static void pushInteger(CallBuild& b, uint64_t word) {
  if (b.regs.intCount < 6) b.regs.ints[b.regs.intCount++] = word;
  else pushStackWord(b, word);
}
static void pushFloating(CallBuild& b, uint64_t bits, bool single) {
  if (b.regs.sseCount >= 8) return pushStackWord(b, bits);
  memset(b.regs.sse[b.regs.sseCount], 0, 16);
  memcpy(b.regs.sse[b.regs.sseCount], &bits, 8);
  if (single) b.regs.singles |= uint8_t(1u << b.regs.sseCount);
  b.regs.sseCount++;
}

static bool refuse(CallBuild& b, int64_t code, uint64_t position) {
  b.record->code = oop(code);
  b.record->value1 = position;
  return false;
}

static bool floatingArgument(CallBuild& b, uint32_t kind, oop arg, uint64_t position) {
  double d;
  if (!calloutNumberAsDouble(arg, &d)) return refuse(b, 0, position);
  if (kind == ckFloat) {
    float f = isFloatObject(arg) ? floatValueOf(arg) : float(d);
    uint32_t bits;
    memcpy(&bits, &f, 4);
    pushFloating(b, bits, true);
  } else if (kind == ckDouble) {
    pushFloating(b, doubleBits(d), false);
  } else {  // a long double goes by memory, 16-byte aligned, as an x87 value
    if (b.areaWords & 1) pushStackWord(b, 0);
    long double x = d;
    uint64_t words[2] = {0, 0};
    memcpy(words, &x, 10);
    pushStackWord(b, words[0]);
    pushStackWord(b, words[1]);
  }
  return true;
}

// A composite's bytes: in the registers left when it classifies into them, else copied to
// the stack area in whole words.
static bool structArgument(CallBuild& b, oop arg, uint64_t position) {
  if (!isCComposite(arg) || bodyWordsOf(headerOf(arg)) < 2 || !isCDataHolder(slotOf(arg, 0))) return refuse(b, 0, position);
  ObjectHeader* data = headerOf(slotOf(arg, 0));
  uint64_t size = byteSizeOf(data);
  const uint8_t* bytes = reinterpret_cast<const uint8_t*>(bodyOf(data));
  if (size <= 16) {
    uint8_t padded[16] = {0};
    if (size != 0) memcpy(padded, bytes, size);
    oop descriptor = structDescriptorOf(arg);
    uint64_t used = descriptor == 0 ? 0
                    : classifyStructEightbytes(descriptor, padded, b.regs.ints, b.regs.sse, &b.regs.singles,
                                               b.regs.intCount, b.regs.sseCount);
    if (used != 0) {
      b.regs.intCount += used & 0xFF;
      b.regs.sseCount = uint8_t(b.regs.sseCount + ((used >> 8) & 0xFF));
      return true;
    }
  }
  uint64_t words = (size + 7) / 8;
  if (b.areaWords + words > b.areaCapacity) return refuse(b, 0, position);
  b.area[b.areaWords + words - 1] = 0;  // the last partial word
  if (size != 0) memcpy(b.area + b.areaWords, bytes, size);
  b.areaWords += words;
  return true;
}

static bool addressArgument(CallBuild& b, uint32_t kind, oop arg, uint64_t position) {
  uint64_t a;
  bool done = false;
  if (b.threaded && !(kind == ckStrictPointer && isImmediate(arg)) && !calloutThreadedAddress(arg, &a, &done))
    return refuse(b, 0, position);
  if (!done && ((kind == ckStrictPointer && isImmediate(arg)) || !cAddressOf(arg, kind == ckStrictPointer, &a)))
    return refuse(b, 0, position);
  if (passesImmutableBytes(arg, a)) return refuse(b, callImmutable, position);
  pushInteger(b, a);
  return true;
}

static bool convertArgument(CallBuild& b, uint32_t kind, oop arg, uint64_t position) {
  uint64_t word = 0;
  if (isCIntegerKind(kind)) {
    if (isSmallInteger(arg)) word = uint64_t(smallIntegerValue(arg));
    else if (isCharacter(arg)) word = characterValue(arg);
    else if (!stOopToCValue(&word, arg, 8)) return refuse(b, 0, position);
    pushInteger(b, word);
    return true;
  }
  if (kind == ckFloat || kind == ckDouble || kind == ckLongDouble) return floatingArgument(b, kind, arg, position);
  if (isCPointerKind(kind)) return addressArgument(b, kind, arg, position);
  if (kind == ckStruct) return structArgument(b, arg, position);
  if (kind == ckObject) {
    if (b.threaded) return refuse(b, 0, position);  // the object may move while C holds it
    pushInteger(b, arg);
    return true;
  }
  if (isCBooleanKind(kind) && (arg == trueOop() || arg == falseOop())) {
    pushInteger(b, arg == trueOop());
    return true;
  }
  return refuse(b, 0, position);
}

// ---- Results ---------------------------------------------------------------------------------

// A struct result's bytes: from the two registers its pattern names, or from the hidden
// buffer; into the C-data object in slot 0 of the preallocated result.
static oop structResult(const CallRegisters& r, uint64_t pattern, const uint8_t* memory, uint64_t size) {
  if (!calloutHasResultObject(true) || bodyWordsOf(headerOf(calloutResult)) == 0 || !isCDataHolder(slotOf(calloutResult, 0)))
    return nilOop();
  oop holder = calloutResult;
  uint64_t words[2] = {0, 0};
  const uint64_t first = (pattern & 16) ? r.xmm0[0] : r.rax;
  uint64_t second = 0;
  if (pattern == 3) second = r.rdx;
  else if (pattern == 18) second = r.rax;
  else if (pattern == 33) second = r.xmm0[0];
  else if (pattern == 48) second = r.xmm1[0];
  words[0] = first, words[1] = second;
  const uint8_t* from = memory != nullptr ? memory : reinterpret_cast<const uint8_t*>(words);
  ObjectHeader* data = headerOf(slotOf(holder, 0));
  uint64_t n = byteSizeOf(data) < size ? byteSizeOf(data) : size;
  if (n != 0) memcpy(bodyOf(data), from, n);
  return holder;
}

static oop booleanResult(uint32_t kind, uint64_t rax) {
  static const uint64_t masks[5] = {0xFF, 0xFFFF, 0xFFFFFFFF, ~uint64_t(0), ~uint64_t(0)};
  return booleanOop((rax & masks[kind - ckBool1]) != 0);
}

static oop integerResult(uint32_t kind, uint64_t rax, CallErrorRecord* record) {
  static const uint8_t widths[] = {1, 1, 2, 2, 4, 4, 8, 8};
  uint32_t width = kind <= ckUnsignedLong ? widths[kind] : 8;
  uint64_t v = rax;
  if (width < 8) {
    uint32_t shift = 64 - 8 * width;
    v = isCSignedKind(kind) ? uint64_t(int64_t(rax << shift) >> shift) : (rax << shift) >> shift;
  }
  oop answer = isCSignedKind(kind) ? cSignedToOop(int64_t(v)) : cUnsignedToOop(v);
  return answer != 0 ? answer : calloutNoMemory(record);
}

// What the result kind makes of the registers after the call.
static oop convertResult(uint32_t kind, const CallRegisters& r, uint64_t pattern, const uint8_t* memory,
                         uint64_t size, int savedErrno, CallErrorRecord* record) {
  if (isCIntegerKind(kind)) return integerResult(kind, r.rax, record);
  if (isCBooleanKind(kind)) return booleanResult(kind, r.rax);
  if (isCPointerKind(kind)) return calloutPointerResult(r.rax, record);
  switch (kind) {
    case ckFloat: {
      float f;
      memcpy(&f, r.xmm0, 4);
      return calloutFloatResult(f, record);
    }
    case ckDouble: {
      double d;
      memcpy(&d, r.xmm0, 8);
      return calloutDoubleResult(d, record);
    }
    case ckLongDouble: {
      long double x;
      memcpy(&x, r.x87, sizeof x < 16 ? sizeof x : 16);
      return calloutDoubleResult(double(x), record);
    }
    case ckObject: return r.rax;
    case ckStruct: return structResult(r, pattern, memory, size);
    case ckVoid: return nilOop();
    case ckErrnoResult:
      if (r.rax == ~uint64_t(0)) {
        record->code = oop(callErrno);
        record->value1 = uint64_t(int64_t(savedErrno));
        return 0;
      }
      return integerResult(ckUnsignedLongLong, r.rax, record);
    default: record->code = oop(callNotHere); return 0;
  }
}

// ---- Threaded calls ----------------------------------------------------------------------------

// The call package a worker runs, inside its thread's call record: the register image, the
// result's kind and model, the errno the call left; then the stack-argument words and the
// buffer of a struct result returned in memory.
struct CallPackage {
  CallRegisters regs;    // arguments; the raw results after the call
  uint32_t resultKind;   // CKind
  uint32_t pattern;      // struct result in registers: its pattern
  uint64_t resultSize;   // bytes of a struct result
  uint64_t areaWords;    // stack-argument words
  uint64_t hiddenOffset; // struct result in memory: byte offset of its buffer from the package, else 0
  int32_t savedErrno;    // errno after the call
  uint32_t pad;
};

static CallPackage* packageOf(TInfo* t) {
  return reinterpret_cast<CallPackage*>((uintptr_t(callPackageOf(t->calls)) + 15) & ~uintptr_t(15));
}

// Result kinds a threaded call may have: 0-13, 16-30 and 32.
static bool threadedResultKindAllowed(uint32_t kind) { return kind <= 32 && ((uint64_t(0x17fff3fff) >> kind) & 1); }

static uint64_t threadedCall(uint64_t flags, uint64_t address, const uint8_t* kinds, uint64_t numArgs, uint64_t trailing,
                      const uint64_t* base, uint64_t resultDescriptor, uint64_t structArgBytes, uint64_t resultBytes,
                      CallErrorRecord* record) {
  uint32_t resultKind = kinds[0];
  if (!threadedResultKindAllowed(resultKind)) return record->code = oop(callNotHere), 0;
  bool inMemory = resultKind == ckStruct && !(flags & callFlagStructInRegisters);
  uint64_t areaCapacity = (structArgBytes + 7) / 8 + 3 * (numArgs + 1);
  uint64_t hidden = inMemory ? (resultBytes + 15) & ~uint64_t(15) : 0;
  uint64_t bytes = 16 + sizeof(CallPackage) + 8 * (areaCapacity + 1) + hidden;
  int64_t error = 0;
  TInfo* t = NBAPIThreadForCall(activeProcess(), bytes, &error);
  if (t == nullptr) return record->code = oop(error), 0;
  CallPackage* p = packageOf(t);
  CallBuild b;
  b.regs.intCount = 0;
  b.regs.singles = b.regs.sseCount = 0;
  b.area = reinterpret_cast<uint64_t*>(p + 1);
  b.areaCapacity = areaCapacity;
  b.areaWords = 0;
  b.record = record;
  b.threaded = true;
  p->hiddenOffset = 0;
  if (inMemory) {
    p->hiddenOffset = sizeof(CallPackage) + 8 * (areaCapacity + 1);
    b.regs.ints[b.regs.intCount++] = uintptr_t(p) + p->hiddenOffset;
  }
  bool ok = true;
  for (uint64_t i = 0; ok && i < numArgs; i++) {
    uint32_t kind = kinds[i + 1];
    ok = kind <= ckBool8 && convertArgument(b, kind, calloutArgumentAt(base, numArgs, trailing, i), i + 1);
    if (!ok && kind > ckBool8) refuse(b, 0, i + 1);
  }
  if (!ok) {
    NBAPIReleaseThreadIfUnwound(t);
    return 0;
  }
  if (b.areaWords & 1) pushStackWord(b, 0);
  b.regs.function = address;
  b.regs.stackBytes = 8 * b.areaWords;
  b.regs.x87Result = resultKind == ckLongDouble;
  p->regs = b.regs;
  p->resultKind = resultKind;
  p->pattern = resultKind == ckStruct && !inMemory ? uint32_t(structReturnModel(resultDescriptor)) : 0;
  p->resultSize = resultBytes;
  p->areaWords = b.areaWords;
  p->savedErrno = 0;
  NBAPISignalThreadForCallout(t);
  return nbapiSemaphoreAt(t->index);
}

static_assert(sizeof(sigjmp_buf) <= nbapiJumpBytes, "the jump point fits its record");

// On the worker: the call, cancellable while the C function runs (a termination), with the
// fault jump point set (the mask saved: the fault arrives with the critical set blocked).
void NBAPIInnerCall(TInfo* t) {
  CallPackage* p = packageOf(t);
  sigjmp_buf* jump = reinterpret_cast<sigjmp_buf*>(t->calls->jump);
  if (sigsetjmp(*jump, 1) != 0) {
    pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, nullptr);
    return;
  }
  p->regs.stack = reinterpret_cast<uint64_t*>(p + 1);
  pthread_setcancelstate(PTHREAD_CANCEL_ENABLE, nullptr);
  callC(&p->regs);
  p->savedErrno = errno;
  pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, nullptr);
}

void nbapiFaultOnWorker(int signal, int64_t value) {
  TInfo* t = nbapiCurrentTInfo();
  if (t == nullptr || t->calls == nullptr || t->calls->inCall.load() == 0) return;
  t->calls->error[0] = uint64_t(callErrorFault);
  t->calls->error[1] = uint64_t(int64_t(signal));
  t->calls->error[2] = uint64_t(value);
  siglongjmp(*reinterpret_cast<sigjmp_buf*>(t->calls->jump), 1);
}

// On the engine thread: the raw result converted as the direct call does, into the object
// preallocated for it.
static oop NBAPIReapInnerCall(TInfo* t, CallErrorRecord* record, oop result) {
  CallPackage* p = packageOf(t);
  record->code = oop(callErrno);
  record->value1 = uint64_t(int64_t(p->savedErrno));
  const uint8_t* hidden = p->hiddenOffset != 0 ? reinterpret_cast<const uint8_t*>(p) + p->hiddenOffset : nullptr;
  oop saved = calloutResult;
  calloutResult = result;
  CallErrorRecord converted = {0, 0, 0};
  oop answer = convertResult(p->resultKind, p->regs, p->pattern, hidden, p->resultSize, p->savedErrno, &converted);
  calloutResult = saved;
  if (answer == 0 && converted.code != 0) *record = converted;
  if (answer == 0 && converted.code == oop(callNoMemory)) NBAPIReleaseThreadIfUnwound(t);
  return answer;
}

[[maybe_unused]] static const bool threadsInstalled = (installUnixThreads(), threadReapHook = NBAPIReapInnerCall, true);

// ---- The call ---------------------------------------------------------------------------------

enum : uint64_t { localAreaWords = 256, localResultBytes = 256 };

static bool resultKindAllowed(uint32_t kind) {
  return kind <= ckErrnoResult && kind != ckReservedPointer && kind != ckPlatform31;
}

uint64_t pdCallC(uint64_t flags, uint64_t function, const uint8_t* kinds, uint64_t numArgs, uint64_t trailing,
                 const uint64_t* base, uint64_t resultDescriptor, uint64_t structArgBytes, uint64_t resultBytes,
                 CallErrorRecord* record) {
  uint64_t address;
  if (!oopToQ64(function, &address)) return record->code = oop(callBadFunction), 0;
  if (flags & callFlagThreaded) return threadedCall(flags, address, kinds, numArgs, trailing, base, resultDescriptor,
                                                   structArgBytes, resultBytes, record);
  uint32_t resultKind = kinds[0];
  CallBuild b;
  b.regs.intCount = 0;  // the unused words and slots may hold anything
  b.regs.singles = b.regs.sseCount = 0;
  uint64_t localArea[localAreaWords];
  b.areaCapacity = (structArgBytes + 7) / 8 + 3 * (numArgs + 1);  // a long double takes up to 3 words
  b.area = b.areaCapacity <= localAreaWords ? localArea : static_cast<uint64_t*>(malloc(8 * b.areaCapacity));
  b.areaWords = 0;
  b.record = record;
  b.threaded = false;
  uint8_t localResult[localResultBytes];
  uint8_t* hidden = nullptr;
  if (b.area == nullptr) return calloutNoMemory(record);
  bool inMemory = resultKind == ckStruct && !(flags & callFlagStructInRegisters);
  if (inMemory) {
    hidden = resultBytes <= localResultBytes ? localResult : static_cast<uint8_t*>(calloc(1, resultBytes));
    if (hidden == nullptr) return calloutNoMemory(record);
    b.regs.ints[b.regs.intCount++] = uint64_t(uintptr_t(hidden));
  }
  bool ok = true;
  for (uint64_t i = 0; ok && i < numArgs; i++) {
    uint32_t kind = kinds[i + 1];
    ok = kind <= ckBool8 && convertArgument(b, kind, calloutArgumentAt(base, numArgs, trailing, i), i + 1);
    if (!ok && kind > ckBool8) refuse(b, 0, i + 1);
  }
  if (ok && !resultKindAllowed(resultKind)) ok = false, record->code = oop(callNotHere);
  uint64_t pattern = resultKind == ckStruct && !inMemory ? structReturnModel(resultDescriptor) : 0;
  oop answer = 0;
  if (ok) {
    if (b.areaWords & 1) pushStackWord(b, 0);
    b.regs.function = address;
    b.regs.stack = b.area;
    b.regs.stackBytes = 8 * b.areaWords;
    b.regs.x87Result = resultKind == ckLongDouble;
    callC(&b.regs);
    int savedErrno = errno;
    answer = convertResult(resultKind, b.regs, pattern, hidden, resultBytes, savedErrno, record);
  }
  if (b.area != localArea) free(b.area);
  if (hidden != nullptr && hidden != localResult) free(hidden);
  return answer;
}
