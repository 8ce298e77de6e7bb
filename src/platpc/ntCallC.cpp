// Windows layer: the Windows x64 call-out: arguments converted by their CKind into four
// argument words (each loaded into both its integer and its SSE register) and stack words,
// the call (assembly, ntCallOut.S) under a frame handler that turns a hardware exception into
// the call's failure, and the result converted back. Small structs (1, 2, 4 or 8 bytes) travel
// in one word, others as the address of a copy the caller owns; a struct result of another
// size comes back through a hidden buffer passed first. A threaded call's package is built
// here for a worker (ntThreads.cpp), which runs it under the same frame handler.
// Owns no global record. Prefix: pd (pdCallC, pdSetNumBytesForKind); NBAPI (NBAPIInnerCall);
// none (winCallC).
#include <windows.h>

#include "platpc/ntCallC.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "ext/exError.h"
#include "ext/platform.h"
#include "mman/mmBecome.h"
#include "mman/mmCString.h"
#include "mman/mmCValue.h"
#include "mman/mmPrimUtil.h"
#include "mman/mmRt.h"
#include "mman/mmSysOop.h"
#include "prim/prCKind.h"
#include "prim/prCall.h"
#include "prim/prDouble.h"
#include "platpc/ntThreads.h"
#include "prim/prThreads.h"
#include "stack/stackzone.h"
#include "tran/nmLayout.h"

static const char* const callOutSource = SOURCE_NAME;

// Error words of the CallErrorRecord (negative SmallIntegers: PrimErrorTable entry n-1).
enum : int64_t {
  callNoMemory = -13,
  callErrno = -77,         // with errno or the system's last error
  callNotHere = -101,
  callBadFunction = -109,
  callNegativeResult = -149,  // a kind-31 result below 0, with the value
  callImmutable = -189,
};

// Kind 11 is a pointer: 8 bytes, as every pointer here; long is 4 bytes, long double a double.
void pdSetNumBytesForKind(uint8_t* sizes) {
  sizes[ckSignedLong] = sizes[ckUnsignedLong] = sizes[ckBoolLong] = 4;
  sizes[ckLongDouble] = 8;
  sizes[ckPointer11] = 8;
  sizes[ckStrictPointer] = sizes[ckPointer23] = 8;
  sizes[ckPlatform31] = 4;
  sizes[ckErrnoResult] = sizes[ckPlatform33] = 8;
}

// The struct-result rule is the result's size here (winStructInRegister), which the
// descriptor alone does not tell.
uint64_t shouldPassStructInRegisters(uint64_t) { return 0; }
bool winStructInRegister(uint64_t size) { return size == 1 || size == 2 || size == 4 || size == 8; }

// ---- Arguments -----------------------------------------------------------------------------

// One call being prepared: the four argument words, the stack words, the copies of structs
// passed by reference, and the record a refused argument fills.
struct WinCallBuild {
  WinCall call;
  uint64_t* stack;      // words of positions 4 and up
  uint64_t positions;   // positions used
  uint8_t* copies;      // struct copies, 16-byte aligned pieces
  uint64_t copiesUsed, copiesCapacity;
  CallErrorRecord* record;
  bool threaded;        // the engine runs on while C reads the bytes it is given
};

static void put(WinCallBuild& b, uint64_t word) {
  if (b.positions < 4) b.call.words[b.positions] = word;
  else b.stack[b.positions - 4] = word;
  b.positions++;
}

static bool refuse(WinCallBuild& b, int64_t code, uint64_t position) {
  b.record->code = oop(code);
  b.record->value1 = position;
  return false;
}

// A float fills the low 4 bytes of its zeroed word; a double (and a long double) the word.
static bool floatingArgument(WinCallBuild& b, uint32_t kind, oop arg, uint64_t position) {
  double d;
  if (!calloutNumberAsDouble(arg, &d)) return refuse(b, 0, position);
  if (kind != ckFloat) return put(b, doubleBits(d)), true;
  float f = isFloatObject(arg) ? floatValueOf(arg) : float(d);
  uint32_t bits;
  memcpy(&bits, &f, 4);
  put(b, bits);
  return true;
}

// A composite of 0, 1, 2, 4 or 8 bytes goes as its bytes; any other as the address of a copy,
// so that what the callee writes there never reaches the composite.
static bool structArgument(WinCallBuild& b, oop arg, uint64_t position) {
  if (!isCComposite(arg) || bodyWordsOf(headerOf(arg)) < 1 || !isCDataHolder(slotOf(arg, 0))) return refuse(b, 0, position);
  ObjectHeader* data = headerOf(slotOf(arg, 0));
  uint64_t size = byteSizeOf(data);
  const uint8_t* bytes = reinterpret_cast<const uint8_t*>(bodyOf(data));
  if (size == 0 || winStructInRegister(size)) {
    uint64_t word = 0;
    memcpy(&word, bytes, size);
    put(b, word);
    return true;
  }
  uint64_t room = (size + 15) & ~uint64_t(15);
  if (b.copiesUsed + room > b.copiesCapacity) return refuse(b, callNoMemory, position);
  uint8_t* copy = b.copies + b.copiesUsed;
  memcpy(copy, bytes, size);
  b.copiesUsed += room;
  put(b, uint64_t(uintptr_t(copy)));
  return true;
}

static bool addressArgument(WinCallBuild& b, uint32_t kind, oop arg, uint64_t position) {
  uint64_t a;
  bool done = false;
  if (b.threaded && !(kind == ckStrictPointer && isImmediate(arg)) && !calloutThreadedAddress(arg, &a, &done))
    return refuse(b, 0, position);
  if (!done && ((kind == ckStrictPointer && isImmediate(arg)) || !cAddressOf(arg, kind == ckStrictPointer, &a)))
    return refuse(b, 0, position);
  if (passesImmutableBytes(arg, a)) return refuse(b, callImmutable, position);
  put(b, a);
  return true;
}

static bool convertArgument(WinCallBuild& b, uint32_t kind, oop arg, uint64_t position) {
  if (isCIntegerKind(kind)) {
    uint64_t word = 0;
    if (isSmallInteger(arg)) word = uint64_t(smallIntegerValue(arg));
    else if (isCharacter(arg)) word = characterValue(arg);
    else if (!stOopToCValue(&word, arg, 8)) return refuse(b, 0, position);
    put(b, word);
    return true;
  }
  if (kind == ckFloat || kind == ckDouble || kind == ckLongDouble) return floatingArgument(b, kind, arg, position);
  if (isCPointerKind(kind)) return addressArgument(b, kind, arg, position);
  if (kind == ckStruct) return structArgument(b, arg, position);
  if (kind == ckObject) {
    if (b.threaded) return refuse(b, 0, position);  // the object may move while C holds it
    return put(b, arg), true;
  }
  if (isCBooleanKind(kind) && (arg == trueOop() || arg == falseOop())) return put(b, arg == trueOop()), true;
  return refuse(b, 0, position);
}

// ---- Results -------------------------------------------------------------------------------

// An integer result is also left in the preallocated result object when there is one.
static oop integerAnswer(oop value, CallErrorRecord* record) {
  if (value == 0) return calloutNoMemory(record);
  if (calloutHasResultObject(true) && bodyWordsOf(headerOf(calloutResult)) != 0 && !isCDataHolder(slotOf(calloutResult, 0)))
    storeSlot(calloutResult, 0, value, callOutSource, __LINE__);
  return value;
}

// A struct result: size bytes of rax, or of the memory rax points at (the hidden buffer),
// into the C-data object in slot 0 of the preallocated result.
static oop structResult(uint64_t rax, bool inRegister, uint64_t size) {
  if (!calloutHasResultObject(true) || bodyWordsOf(headerOf(calloutResult)) == 0 || !isCDataHolder(slotOf(calloutResult, 0)))
    return nilOop();
  const uint8_t* from = inRegister ? reinterpret_cast<const uint8_t*>(&rax) : reinterpret_cast<const uint8_t*>(uintptr_t(rax));
  ObjectHeader* data = headerOf(slotOf(calloutResult, 0));
  uint64_t n = byteSizeOf(data) < size ? byteSizeOf(data) : size;
  if (inRegister && n > 8) n = 8;
  if (n != 0 && from != nullptr) memcpy(bodyOf(data), from, n);
  return calloutResult;
}

oop winConvertResult(uint32_t kind, uint64_t rax, uint64_t xmm0, bool structInRegister, uint64_t size,
                     uint64_t savedError, CallErrorRecord* record) {
  static const uint8_t widths[] = {1, 1, 2, 2, 4, 4, 4, 4};
  if (isCIntegerKind(kind)) {
    uint32_t width = kind <= ckUnsignedLong ? widths[kind] : 8;
    uint64_t v = rax;
    if (width < 8) {
      uint32_t shift = 64 - 8 * width;
      v = isCSignedKind(kind) ? uint64_t(int64_t(rax << shift) >> shift) : (rax << shift) >> shift;
    }
    return integerAnswer(isCSignedKind(kind) ? cSignedToOop(int64_t(v)) : cUnsignedToOop(v), record);
  }
  if (isCBooleanKind(kind)) {
    static const uint64_t masks[5] = {0xFF, 0xFFFF, 0xFFFFFFFF, 0xFFFFFFFF, ~uint64_t(0)};
    return booleanOop((rax & masks[kind - ckBool1]) != 0);
  }
  if (isCPointerKind(kind)) return calloutPointerResult(rax, record);
  switch (kind) {
    case ckFloat: {
      float f;
      memcpy(&f, &xmm0, 4);
      return calloutFloatResult(f, record);
    }
    case ckDouble:
    case ckLongDouble: {
      double d;
      memcpy(&d, &xmm0, 8);
      return calloutDoubleResult(d, record);
    }
    case ckObject: return rax;
    case ckStruct: return structResult(rax, structInRegister, size);
    case ckVoid: return nilOop();
    case ckPlatform31:
      if (int32_t(rax) < 0) {
        record->code = oop(callNegativeResult);
        record->value1 = uint64_t(int64_t(int32_t(rax)));
        return 0;
      }
      return integerAnswer(cSignedToOop(int32_t(rax)), record);
    case ckErrnoResult:
    case ckPlatform33:
      if (kind == ckErrnoResult ? uint32_t(rax) == 0xFFFFFFFFu : rax == 0) {
        record->code = oop(callErrno);
        record->value1 = savedError;
        return 0;
      }
      return integerAnswer(cUnsignedToOop(rax), record);
    default: record->code = oop(callNotHere); return 0;
  }
}

// ---- The call ------------------------------------------------------------------------------

// A hardware exception inside callWin64's call: with catching on, its code and address go
// into the record and the frame is unwound to the routine's end, which answers 1; otherwise
// it goes on to the process's own handling.
extern "C" EXCEPTION_DISPOSITION callFaultHandler(EXCEPTION_RECORD* exception, void* frame, CONTEXT* context,
                                                  DISPATCHER_CONTEXT* dispatch) {
  if (exception->ExceptionFlags & (EXCEPTION_UNWINDING | EXCEPTION_EXIT_UNWIND)) return ExceptionContinueSearch;
  WinCall* call = *static_cast<WinCall**>(frame);
  if (!catchExternalCallErrors && !call->alwaysCatch) return ExceptionContinueSearch;
  call->faultCode = exception->ExceptionCode;
  call->faultAddress = context->Rip;
  RtlUnwindEx(frame, reinterpret_cast<void*>(callWin64Resume), exception, reinterpret_cast<void*>(1), context,
              dispatch->HistoryTable);
  return ExceptionContinueSearch;  // not reached
}

// Runs the call; false (the record filled) when an exception ended it.
bool winRunCall(WinCall* call, CallErrorRecord* record) {
  if (callWin64(call) == 0) return true;
  record->code = oop(callErrorFault);
  record->value1 = call->faultCode;
  record->value2 = call->faultAddress;
  return false;
}

// The bytes the struct copies (and a hidden result buffer) may take: the bytes the composites
// hold, in whole 16-byte pieces.
static uint64_t copyBytesFor(const uint8_t* kinds, uint64_t firstKind, uint64_t numArgs, uint64_t trailing,
                             const uint64_t* base, bool hidden, uint64_t resultBytes) {
  uint64_t bytes = (hidden ? ((resultBytes + 15) & ~uint64_t(15)) : 0) + 16 * (numArgs + 1);
  for (uint64_t i = 0; i < numArgs; i++) {
    if (kinds[i + firstKind] != ckStruct) continue;
    oop arg = calloutArgumentAt(base, numArgs, trailing, i);
    if (isCComposite(arg) && bodyWordsOf(headerOf(arg)) >= 1 && isCDataHolder(slotOf(arg, 0)))
      bytes += byteSizeOf(headerOf(slotOf(arg, 0)));
  }
  return bytes;
}

// The hidden result buffer, the implicit first argument and the converted arguments into the
// build's words, stack and copies; false with the record filled when one is refused.
static bool buildArguments(WinCallBuild& b, uint64_t implicitFirst, const uint8_t* kinds, uint64_t numArgs,
                           uint64_t trailing, const uint64_t* base, bool hidden, uint64_t resultBytes,
                           uint8_t** resultBuffer) {
  if (hidden) {
    *resultBuffer = b.copies;
    b.copiesUsed = (resultBytes + 15) & ~uint64_t(15);
    memset(*resultBuffer, 0, resultBytes);
    put(b, uint64_t(uintptr_t(*resultBuffer)));
  }
  uint64_t position = 1;
  if (implicitFirst != 0) {  // a COM interface: an address, passed as it is whatever its kind byte
    put(b, implicitFirst);
    position++;
  }
  uint64_t firstKind = implicitFirst != 0 ? 2 : 1;
  for (uint64_t i = 0; i < numArgs; i++, position++) {
    uint32_t kind = kinds[i + firstKind];
    if (kind > ckBool8) return refuse(b, 0, position);
    if (!convertArgument(b, kind, calloutArgumentAt(base, numArgs, trailing, i), position)) return false;
  }
  return true;
}

// ---- Threaded calls --------------------------------------------------------------------------

// The call package a worker runs, inside its thread's call record: the call, how its result
// converts, the errors the call left; then the stack words and the struct copies (the hidden
// result buffer first among them).
struct WinCallPackage {
  WinCall call;
  uint32_t resultKind;     // CKind
  uint32_t structInRegister;
  uint64_t resultSize;     // bytes of a struct result
  uint64_t lastError;      // GetLastError at once after the call
  int64_t savedErrno;      // errno after the call
};

static WinCallPackage* packageOf(TInfo* t) {
  return reinterpret_cast<WinCallPackage*>((uintptr_t(callPackageOf(t->calls)) + 15) & ~uintptr_t(15));
}

// Result kinds a threaded call may have: 0-13 and 16-33 (the error-carrying kinds read their
// error on the worker).
static bool threadedResultKindAllowed(uint32_t kind) {
  return kind <= ckPlatform33 && kind != ckReservedPointer && kind != ckObject;
}

static uint64_t threadedCall(uint64_t implicitFirst, uint64_t address, const uint8_t* kinds, uint64_t numArgs,
                             uint64_t trailing, const uint64_t* base, bool structInRegister, uint64_t resultBytes,
                             CallErrorRecord* record) {
  uint32_t resultKind = kinds[0];
  if (!threadedResultKindAllowed(resultKind)) return record->code = oop(callNotHere), 0;
  bool hidden = resultKind == ckStruct && !structInRegister;
  uint64_t stackWords = numArgs + 2;
  uint64_t copyBytes = copyBytesFor(kinds, implicitFirst != 0 ? 2 : 1, numArgs, trailing, base, hidden, resultBytes);
  uint64_t bytes = 16 + sizeof(WinCallPackage) + 8 * stackWords + 16 + copyBytes;
  int64_t error = 0;
  TInfo* t = NBAPIThreadForCall(activeProcess(), bytes, &error);
  if (t == nullptr) return record->code = oop(error), 0;
  WinCallPackage* p = packageOf(t);
  WinCallBuild b;
  memset(&b.call, 0, sizeof b.call);
  b.stack = reinterpret_cast<uint64_t*>(p + 1);
  b.copies = reinterpret_cast<uint8_t*>((uintptr_t(b.stack + stackWords) + 15) & ~uintptr_t(15));
  b.copiesUsed = 0, b.copiesCapacity = copyBytes;
  b.positions = 0;
  b.record = record;
  b.threaded = true;
  uint8_t* resultBuffer = nullptr;
  if (!buildArguments(b, implicitFirst, kinds, numArgs, trailing, base, hidden, resultBytes, &resultBuffer)) {
    NBAPIReleaseThreadIfUnwound(t);
    return 0;
  }
  b.call.function = address;
  b.call.stack = b.stack;
  b.call.stackWords = b.positions > 4 ? b.positions - 4 : 0;
  b.call.alwaysCatch = 1;  // a fault on a worker fails its call whatever the switch says
  p->call = b.call;
  p->resultKind = resultKind;
  p->structInRegister = structInRegister;
  p->resultSize = resultBytes;
  p->lastError = 0;
  p->savedErrno = 0;
  NBAPISignalThreadForCallout(t);
  return nbapiSemaphoreAt(t->index);
}

void NBAPIInnerCall(TInfo* t) {
  WinCallPackage* p = packageOf(t);
  if (callWin64(&p->call) != 0) {
    t->calls->error[0] = uint64_t(callErrorFault);
    t->calls->error[1] = p->call.faultCode;
    t->calls->error[2] = p->call.faultAddress;
    return;
  }
  p->lastError = GetLastError();
  p->savedErrno = errno;
}

// On the engine thread: the raw result converted as the direct call does, into the object
// preallocated for it.
static oop NBAPIReapInnerCall(TInfo* t, CallErrorRecord* record, oop result) {
  WinCallPackage* p = packageOf(t);
  uint64_t savedError = p->resultKind == ckPlatform33 ? p->lastError : uint64_t(-p->savedErrno);
  oop saved = calloutResult;
  calloutResult = result;
  oop answer = winConvertResult(p->resultKind, p->call.rax, p->call.xmm0, p->structInRegister != 0, p->resultSize,
                                savedError, record);
  calloutResult = saved;
  if (answer == 0 && record->code == oop(callNoMemory)) NBAPIReleaseThreadIfUnwound(t);
  return answer;
}

[[maybe_unused]] static const bool threadsInstalled =
    (installWindowsThreads(), threadReapHook = NBAPIReapInnerCall, true);

// ---- The call ------------------------------------------------------------------------------

enum : uint64_t { localWords = 64, localCopyBytes = 512 };

uint64_t winCallC(uint64_t flags, uint64_t implicitFirst, uint64_t function, const uint8_t* kinds, uint64_t numArgs,
                  uint64_t trailing, const uint64_t* base, uint64_t resultBytes, CallErrorRecord* record) {
  if (flags & 1) return record->code = oop(callNotHere), 0;
  uint64_t address = function;
  if (implicitFirst == 0 && !oopToQ64(function, &address)) return record->code = oop(callBadFunction), 0;
  uint32_t resultKind = kinds[0];
  bool structInRegister = resultKind == ckStruct && ((flags & callFlagStructInRegisters) || winStructInRegister(resultBytes));
  bool hidden = resultKind == ckStruct && !structInRegister;
  if (flags & callFlagThreaded)
    return threadedCall(implicitFirst, address, kinds, numArgs, trailing, base, structInRegister, resultBytes, record);

  WinCallBuild b;
  memset(&b.call, 0, sizeof b.call);
  uint64_t localStack[localWords];
  uint8_t localCopies[localCopyBytes] __attribute__((aligned(16)));
  uint64_t words = numArgs + 2;
  b.stack = words <= localWords ? localStack : static_cast<uint64_t*>(calloc(words, 8));
  uint64_t copyBytes = copyBytesFor(kinds, implicitFirst != 0 ? 2 : 1, numArgs, trailing, base, hidden, resultBytes);
  b.copies = copyBytes <= localCopyBytes ? localCopies : static_cast<uint8_t*>(_aligned_malloc(copyBytes, 16));
  b.copiesUsed = 0, b.copiesCapacity = copyBytes;
  b.positions = 0;
  b.record = record;
  b.threaded = false;
  oop answer = 0;
  bool ok = b.stack != nullptr && b.copies != nullptr;
  if (!ok) calloutNoMemory(record);
  uint8_t* resultBuffer = nullptr;
  if (ok) ok = buildArguments(b, implicitFirst, kinds, numArgs, trailing, base, hidden, resultBytes, &resultBuffer);
  if (ok && (resultKind > ckPlatform33 || resultKind == ckReservedPointer)) ok = false, record->code = oop(callNotHere);
  if (ok) {
    b.call.function = address;
    b.call.stack = b.stack;
    b.call.stackWords = b.positions > 4 ? b.positions - 4 : 0;
    if (winRunCall(&b.call, record)) {
      uint64_t savedError = resultKind == ckPlatform33 ? uint64_t(GetLastError()) : uint64_t(-int64_t(errno));
      answer = winConvertResult(resultKind, b.call.rax, b.call.xmm0, structInRegister, resultBytes, savedError, record);
    }
  }
  if (b.stack != localStack) free(b.stack);
  if (b.copies != localCopies && b.copies != nullptr) _aligned_free(b.copies);
  return answer;
}

uint64_t pdCallC(uint64_t flags, uint64_t function, const uint8_t* kinds, uint64_t numArgs, uint64_t trailing,
                 const uint64_t* base, uint64_t, uint64_t, uint64_t resultBytes, CallErrorRecord* record) {
  return winCallC(flags, 0, function, kinds, numArgs, trailing, base, resultBytes, record);
}

// The engine's thread is the one that started it; other threads run no Smalltalk here.
static DWORD engineThread = GetCurrentThreadId();
int pdOnEngineThread() { return GetCurrentThreadId() == engineThread; }
