// C interface: the external-call primitives 334, 336, 337, 375, 394 and 395.
// Owns calloutResult, calloutIsLongComp, the named objects of external calls and
// unlinkedCallSelectorX. Prefix: none (initCPrimitives).
#include "prim/prCall.h"

#include <cstring>

#include "prim/prEnviron.h"
#include "ext/exError.h"
#include "ext/platform.h"
#include "mman/mmAllocate.h"
#include "mman/mmBecome.h"
#include "mman/mmCString.h"
#include "mman/mmRt.h"
#include "mman/mmSysOop.h"
#include "prim/prCKind.h"
#include "prim/prCSupport.h"
#include "prim/prDouble.h"
#include "mman/mmCValue.h"
#include "mman/mmPrimUtil.h"
#include "stack/nsupport.h"
#include "stack/send.h"
#include "stack/stackzone.h"
#include "ext/exRequest.h"
#include "tran/nmLayout.h"
#include "tran/tpcmap.h"
#include "ext/exPrimTable.h"
#include "prim/prThreads.h"
#include "stack/scheduler.h"

oop calloutResult;
uint32_t calloutIsLongComp;
uint32_t catchExternalCallErrors = 1;
int64_t externalMethodInstVarOffset = -1;
int64_t userPrimitiveMethodInstVarOffset = -1;
int64_t unlinkedCallSelectorX = -1;

static const char* const callSource = __FILE__;

static RegisteredNamedObject callNamedObjects[] = {
    {"catchExternalCallErrors", (uint64_t)&catchExternalCallErrors, regBoolean, 0, namedFlag, 0},
    {"ExternalMethodInstVarOffset", (uint64_t)&externalMethodInstVarOffset, regOopIntVar, 0, namedInt64Var, 0},
    {"UserPrimitiveMethodInstVarOffset", (uint64_t)&userPrimitiveMethodInstVarOffset, regOopIntVar, 0,
     namedInt64Var, 0},
};

static oop fail(uint32_t code, uint64_t numArgs) { return failPrimitive(primErrorAt(code), numArgs); }

// ---- Offsets and C classes (334, 336) ------------------------------------------------------

static oop primSetExternalMethodOffset(oop receiver, oop selector, oop, oop offset) {
  if (!isSmallInteger(offset) || smallIntegerValue(offset) < 0) return fail(primErrBadArgument, 3);
  if (unlinkedCallSelectorX < 0 && (unlinkedCallSelectorX = allocSysOopSlot()) < 0) return fail(primErrNoSpace, 3);
  externalMethodInstVarOffset = smallIntegerValue(offset);
  registerSysOop(selector, uint32_t(unlinkedCallSelectorX));
  return receiver;
}

static oop primRegisterCClasses(oop receiver, oop classes) {
  if (isImmediate(classes) || !hasPtrs(headerOf(classes)) || !isKindOf(classes, sysOop(sysArrayClass)) ||
      bodyWordsOf(headerOf(classes)) < cClassRoleCount)
    return fail(primErrBadArgument, 1);
  if (cClassX[0] < 0) {
    for (uint32_t role = 0; role < cClassRoleCount; role++)
      if ((cClassX[role] = allocSysOopSlot()) < 0) return fail(primErrNoSpace, 1);
  }
  for (uint32_t role = 0; role < cClassRoleCount; role++) registerSysOop(slotOf(classes, role), uint32_t(cClassX[role]));
  return receiver;
}

// ---- The call ------------------------------------------------------------------------------

// What a call needs besides its arguments: 337's arguments or an ExternalMethod's slots.
struct CallDescription {
  oop function;
  uint64_t flags;
  oop kinds;  // ByteArray: result kind, then one byte per argument
  uint64_t structArgBytes, structResultBytes;
  oop resultClass, resultDescriptor;
};

// The checks both primitives apply: kinds exactly a ByteArray of n + 1 bytes, flags and
// sizes SmallIntegers (the sizes not negative).
static bool describeCall(oop function, oop flags, oop kinds, oop argBytes, oop resultBytes, oop resultClass,
                         oop descriptor, uint64_t n, CallDescription* out) {
  if (isImmediate(kinds) || classTagOf(headerOf(kinds)) != classIndexByteArray || hasPtrs(headerOf(kinds)) ||
      byteSizeOf(headerOf(kinds)) != n + 1 || !isSmallInteger(flags) || !isSmallInteger(argBytes) ||
      !isSmallInteger(resultBytes) || smallIntegerValue(argBytes) < 0 || smallIntegerValue(resultBytes) < 0)
    return false;
  *out = {function, uint64_t(smallIntegerValue(flags)), kinds, uint64_t(smallIntegerValue(argBytes)),
          uint64_t(smallIntegerValue(resultBytes)), resultClass, descriptor};
  return true;
}

static ObjectHeader* newPointerResult(const CallDescription& d, oop slot0) {
  ObjectHeader* h = allocFSObj(d.resultClass);
  if (h == nullptr) return nullptr;
  bodyOf(h)[0] = slot0;
  storeCheck(h, slot0, callSource, __LINE__);
  bodyOf(h)[1] = d.resultDescriptor;
  storeCheck(h, d.resultDescriptor, callSource, __LINE__);
  return h;
}

enum PreallocOutcome { preallocDone, preallocNoSpace, preallocBadClass };

// The result object the call-out fills, by result kind: a Float or Double box, an instance
// of the result class for pointer kinds (slot 0 the address, slot 1 the descriptor), or for
// a struct one holding a C-data object of the struct's size; nil for kinds that need none.
// A struct result that comes back in registers sets the flag bit.
static PreallocOutcome preallocateResult(CallDescription& d, oop* out) {
  uint8_t kind = *reinterpret_cast<const uint8_t*>(bodyOf(headerOf(d.kinds)));
  *out = nilOop();
  if (kind == ckFloat) *out = newFloatBox(0);
  else if (kind == ckDouble || kind == ckLongDouble) *out = newDoubleBox(0);
  else if (!isCPointerKind(kind) && kind != ckStruct) return preallocDone;
  else if (!isFixedPointerClass(d.resultClass, 2)) return preallocBadClass;
  else if (kind != ckStruct) *out = oopOf(newPointerResult(d, nilOop()));
  else {
    ObjectHeader* bytes = allocVSObj(sysOop(sysCDataClass), d.structResultBytes);
    *out = bytes != nullptr ? oopOf(newPointerResult(d, oopOf(bytes))) : 0;
    if (shouldPassStructInRegisters(d.resultDescriptor)) d.flags |= callFlagStructInRegisters;
  }
  return *out != 0 ? preallocDone : preallocNoSpace;
}

// Runs the described call with n arguments read from base (the last trailing ones from the
// stack segment's saved-argument words) and answers the result, or fails with primArgs.
#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define TESSEL_ADDRESS_SANITIZER 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define TESSEL_ADDRESS_SANITIZER 1
#endif
#if defined(TESSEL_ADDRESS_SANITIZER)
extern "C" void __asan_handle_no_return();
#endif

// The wait switches to another Process and does not come back to the C frames below it: the
// address sanitizer must forget their stack objects, or the next use of that stack meets
// them.
static void waitForThreadedCall(oop semaphore, oop stackTop) {
#if defined(TESSEL_ADDRESS_SANITIZER)
  __asan_handle_no_return();
#endif
  waitOnCalloutSemaphore(semaphore, stackTop);
}

// A threaded call that is still outstanding when its Process comes back to the primitive's
// restart point: the Process waits on its Semaphore again.
static oop awaitThreadedCall(uint64_t primArgs) {
  int64_t index = NBAPISemaphoreIndexForCurrentProcess();
  if (index < 0) return failPrimitive(cloneErrorWith(primErrorAt(primErrThreadedCall), oop(index)), primArgs);
  oop top = topOfStack(0);
  waitForThreadedCall(nbapiSemaphoreAt(int32_t(index)), top);
  return top;
}

static oop runCall(CallDescription& d, const uint64_t* base, uint64_t n, uint64_t trailing, uint64_t primArgs) {
  bool threaded = d.flags & callFlagThreaded;
  if (threaded && currentStack[shReceiver] == 0) return awaitThreadedCall(primArgs);
  oop result;
  PreallocOutcome made = preallocateResult(d, &result);
  if (made != preallocDone) return fail(made == preallocNoSpace ? primErrNoSpace : primErrBadArgument, primArgs);
  CallErrorRecord record = {0, 0, 0};
  if (threaded) {
    // The worker runs the call; the Process waits for the engine to reap it, the result
    // object on its stack.
    oop semaphore = pdCallC(d.flags, d.function, reinterpret_cast<const uint8_t*>(bodyOf(headerOf(d.kinds))), n,
                            trailing, base, d.resultDescriptor, d.structArgBytes, d.structResultBytes, &record);
    if (semaphore == 0) return failPrimitive(cloneCallCError(&record), primArgs);
    commitPrimitiveWithRestart(result);
    waitForThreadedCall(semaphore, result);
    return result;
  }
  calloutIsLongComp = uint32_t(d.flags & callFlagLong);
  if (calloutIsLongComp) pdStartLongComp(10000);
  calloutResult = result;
  oop answer = pdCallC(d.flags, d.function, reinterpret_cast<const uint8_t*>(bodyOf(headerOf(d.kinds))), n,
                       trailing, base, d.resultDescriptor, d.structArgBytes, d.structResultBytes, &record);
  calloutResult = 0;  // the call-out has cleared the floating-point exception flags
  if (calloutIsLongComp) pdFinishLongComp();
  if (answer == 0) return failPrimitive(cloneCallCError(&record), primArgs);
  return anyRequestsPending() ? commitPrimitiveAndHandleRequests(answer) : answer;
}

// 337: function, flags, arguments (exactly an Array), kinds, struct argument bytes, struct
// result bytes, result class, result descriptor.
static oop primCallC(oop, oop function, oop flags, oop arguments, oop kinds, oop argBytes, oop resultBytes,
                     oop resultClass, oop descriptor) {
  if (isImmediate(arguments) || classTagOf(headerOf(arguments)) != classIndexArray) return fail(primErrBadArgument, 8);
  uint64_t n = bodyWordsOf(headerOf(arguments));
  CallDescription d;
  if (!describeCall(function, flags, kinds, argBytes, resultBytes, resultClass, descriptor, n, &d))
    return fail(primErrBadArgument, 8);
  // The arguments reversed, so that base[n - i] is argument i (0-based) as the call-out reads them.
  ObjectHeader* reversed = allocSmallObj(classIndexArray, 0, 8 * n, hasPtrsBit, nilOop());
  if (reversed == nullptr) return fail(primErrNoSpace, 8);
  for (uint64_t j = 0; j < n; j++) {
    oop v = slotOf(arguments, n - 1 - j);
    bodyOf(reversed)[j] = v;
    storeCheck(reversed, v, callSource, __LINE__);
  }
  return runCall(d, reinterpret_cast<const uint64_t*>(bodyOf(reversed)) - 1, n, 0, 8);
}

// ---- Calls described by the calling method ---------------------------------------------------

// The method whose prologue called the running primitive.
static oop callingMethod() {
  uint64_t nm = nmethFromPrimReturn(currentStack[shFailAddr]);
  return oop(reinterpret_cast<const NMethodHeader*>(nm)->vmethod);
}

// Argument i (0-based) of a var-arg primitive of n arguments: the last two lie in the
// segment's saved-argument words, the others above the saved sp.
static oop varArg(const uint64_t* sp, uint64_t n, uint64_t i) {
  int64_t index = int64_t(n) - int64_t(n < 2 ? n : 2) - int64_t(i);
  return index > 0 ? sp[index] : currentStack[shArg0 - index];
}

// The receiver's handle in a table of (class, handle) pairs, or nil.
static oop handleForReceiver(oop table, oop receiver) {
  if (isImmediate(table) || !hasPtrs(headerOf(table))) return nilOop();
  oop cls = classOf(receiver);
  uint64_t slots = bodyWordsOf(headerOf(table));
  for (uint64_t i = 0; i + 1 < slots; i += 2)
    if (slotOf(table, i) == cls) return slotOf(table, i + 1);
  return nilOop();
}

// The unlinked-call selector goes to the method with the receiver and the arguments in an
// Array; the image links the method and runs it again.
static oop unlinkedExternalCall(oop method, oop receiver, const uint64_t* sp, uint64_t n) {
  ObjectHeader* a = newRunTimeObject(classIndexArray, 0, n, "unlinkedCall arguments");
  for (uint64_t i = 0; i < n; i++) {
    oop v = varArg(sp, n, i);
    bodyOf(a)[i] = v;
    storeCheck(a, v, callSource, __LINE__);
  }
  const oop args[2] = {receiver, oopOf(a)};
  return sendInsteadOfPrimitive(method, sysOop(uint32_t(unlinkedCallSelectorX)), args, 2, n);
}

static oop primCallExternalMethod(oop receiver, uint64_t n, uint64_t savedSp) {
  if (externalMethodInstVarOffset < 0) {
    doReportError("Attempted external call prior to initialization", errCauseUser, callSource, __LINE__);
    return fail(primErrNotInitialized, n);
  }
  oop method = callingMethod();
  uint64_t k = uint64_t(externalMethodInstVarOffset);
  if (isImmediate(method) || !hasPtrs(headerOf(method)) || bodyWordsOf(headerOf(method)) < k + emSlotCount)
    return fail(primErrBadArgument, n);
  const oop* slots = bodyOf(headerOf(method)) + k;
  CallDescription d;
  if (!describeCall(slots[emHandle], slots[emFlags], slots[emKinds], slots[emStructArgBytes],
                    slots[emStructResultBytes], slots[emResultClass], slots[emResultDescriptor], n, &d))
    return fail(primErrBadArgument, n);
  const uint64_t* sp = reinterpret_cast<const uint64_t*>(savedSp);
  if (d.function == nilOop()) d.function = handleForReceiver(slots[emHandleTable], receiver);
  if (d.function == nilOop()) return unlinkedExternalCall(method, receiver, sp, n);
  return runCall(d, sp, n, 2, n);
}

// ---- User primitives (375, 394) ----------------------------------------------------------------

enum : uint64_t { maxUserPrimitiveArgs = 15 };

// The user primitive's answer: its result, else the error it left in the segment, else
// PrimErrorTable entry 0.
static oop userPrimitiveAnswer(oop result, uint64_t n) {
  if (result == 0) {
    oop error = currentStack[shPrimErr];
    return failPrimitive(error != 0 ? error : primErrorAt(primErrGeneral), n);
  }
  return anyRequestsPending() ? commitPrimitiveAndHandleRequests(result) : result;
}

// The function slot of the calling method, or 0 after failing.
static bool userFunction(oop method, int64_t slot, uint64_t n, oop* function) {
  if (slot < 0 || isImmediate(method) || !hasPtrs(headerOf(method)) || bodyWordsOf(headerOf(method)) <= uint64_t(slot)) {
    fail(primErrBadReceiver, n);
    return false;
  }
  *function = slotOf(method, uint64_t(slot));
  return true;
}

static oop callUserPrimitive(oop receiver, uint64_t n, uint64_t savedSp, bool withVector) {
  if (n > maxUserPrimitiveArgs) return fail(primErrNotHere, n);
  oop method = callingMethod();
  int64_t slot = userPrimitiveMethodInstVarOffset;
  if (slot < 0 && !withVector && !isImmediate(method) && hasPtrs(headerOf(method)))
    slot = int64_t(formatNamedSlots(classFormatOf(classOf(method))));
  oop function;
  if (!userFunction(method, slot, n, &function)) return primFailureAnswer();
  const uint64_t* sp = reinterpret_cast<const uint64_t*>(savedSp);
  if (function == nilOop()) return unlinkedExternalCall(method, receiver, sp, n);
  uint64_t address;
  if (!oopToQ64(function, &address)) return fail(primErrCCall, n);
  oop args[maxUserPrimitiveArgs];
  for (uint64_t i = 0; i < n; i++) args[i] = varArg(sp, n, i);
  currentStack[shPrimErr] = 0;
  oop result = withVector ? reinterpret_cast<oop (*)(oop, oop, uint64_t, const oop*)>(address)(method, receiver, n, args)
                          : callWithReceiverAndArgs(address, receiver, args, n);
  return userPrimitiveAnswer(result, n);
}

static oop primUserPrimitiveVector(oop receiver, uint64_t n, uint64_t savedSp) {
  if (userPrimitiveMethodInstVarOffset < 0) {
    doReportError("Attempted prim call prior to initialization", errCauseUser, callSource, __LINE__);
    return fail(primErrNotInitialized, n);
  }
  return callUserPrimitive(receiver, n, savedSp, true);
}
static oop primUserPrimitive(oop receiver, uint64_t n, uint64_t savedSp) {
  return callUserPrimitive(receiver, n, savedSp, false);
}

// ---- Registration ------------------------------------------------------------------------------

void initCPrimitives() {
  for (RegisteredNamedObject& r : callNamedObjects)
    if (findRegisteredName(r.name, strlen(r.name)) == nullptr) addRegisteredNamedObject(&r);
  initCSupportPrimitives();
  addCPrimitive(334, reinterpret_cast<const void*>(primSetExternalMethodOffset), 3);
  addCPrimitive(336, reinterpret_cast<const void*>(primRegisterCClasses), 1);
  addCPrimitive(337, reinterpret_cast<const void*>(primCallC), 8);
  addVarArgCPrimitive(375, reinterpret_cast<const void*>(primUserPrimitiveVector));
  addVarArgCPrimitive(394, reinterpret_cast<const void*>(primUserPrimitive));
  addVarArgCPrimitive(395, reinterpret_cast<const void*>(primCallExternalMethod));
}

// ---- What both platforms' call-outs share ----------------------------------------------------

bool calloutNumberAsDouble(oop arg, double* out) {
  if (isSmallInteger(arg)) return *out = double(smallIntegerValue(arg)), true;
  if (isSmallDouble(arg)) return *out = loadSmallDoubleFromOop(arg), true;
  if (isDoubleObject(arg)) return *out = doubleValueOf(arg), true;
  if (isFloatObject(arg)) return *out = double(floatValueOf(arg)), true;
  return false;
}

oop calloutArgumentAt(const uint64_t* base, uint64_t n, uint64_t trailing, uint64_t i) {
  int64_t index = int64_t(n) - int64_t(trailing < n ? trailing : n) - int64_t(i);
  return index > 0 ? base[index] : currentStack[shArg0 - index];
}

oop calloutNoMemory(CallErrorRecord* record) {
  record->code = oop(-13);  // the platforms' callNoMemory
  return 0;
}

bool calloutHasResultObject(bool pointers) {
  oop r = calloutResult;
  return r != 0 && isHeapObject(r) && r != nilOop() && hasPtrs(headerOf(r)) == pointers;
}

oop calloutPointerResult(uint64_t address, CallErrorRecord* record) {
  oop value = cUnsignedToOop(address);
  if (value == 0) return calloutNoMemory(record);
  if (!calloutHasResultObject(true)) return value;
  storeSlot(calloutResult, 0, value, callSource, __LINE__);
  return calloutResult;
}

oop calloutDoubleResult(double d, CallErrorRecord* record) {
  if (fitsSmallDouble(d)) return smallDoubleFor(d);
  if (!calloutHasResultObject(false) || !isDoubleObject(calloutResult)) {
    oop box = newDoubleBox(d);
    return box != 0 ? box : calloutNoMemory(record);
  }
  memcpy(bodyOf(headerOf(calloutResult)), &d, 8);
  return calloutResult;
}

oop calloutFloatResult(float f, CallErrorRecord* record) {
  if (!calloutHasResultObject(false) || !isFloatObject(calloutResult)) {
    oop box = newFloatBox(f);
    return box != 0 ? box : calloutNoMemory(record);
  }
  memcpy(bodyOf(headerOf(calloutResult)), &f, 4);
  return calloutResult;
}

// In a threaded call the engine runs on while C reads the bytes: the object holding them
// moves to fixed space first, and a string goes by its own bytes, which must end in a NUL
// the platform can read.
bool calloutThreadedAddress(oop arg, uint64_t* out, bool* done) {
  *done = false;
  if (!isHeapObject(arg) || arg == nilOop() || isCPointerFamily(arg)) return true;
  oop holder = arg;
  if (isCDatum(arg)) holder = bodyWordsOf(headerOf(arg)) != 0 ? slotOf(arg, 0) : nilOop();
  if (!isHeapObject(holder) || holder == nilOop() || hasPtrs(headerOf(holder))) return true;
  if (holder == arg && isCStringObject(arg)) {
    if (!isValidPlatformString(arg) || !promoteToFixedSpace(arg)) return false;
    *out = uint64_t(uintptr_t(bodyOf(headerOf(arg))));
    *done = true;
    return true;
  }
  return promoteToFixedSpace(holder) != 0;
}
