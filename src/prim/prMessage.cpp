// C interface: message sends from C and the primitives of their protocol.
// Owns cSendClassX, cSendSelectorX, the CSendRequest slot indices, returningRequest, the
// callback registry indices and the send delegate. Prefix: oe, UP, none.
#include "prim/prMessage.h"

#include <csetjmp>
#include <cstring>
#include <initializer_list>

#include "prim/prCall.h"
#include "prim/prCallback.h"
#include "ext/exError.h"
#include "ext/platform.h"
#include "mman/mmAllocate.h"
#include "stack/scheduler.h"
#include "mman/mmRt.h"
#include "mman/mmSysOop.h"
#include "mman/mmPrimUtil.h"
#include "stack/glue.h"
#include "stack/nsupport.h"
#include "stack/send.h"
#include "stack/stackframe.h"
#include "stack/stackzone.h"
#include "tran/nmLayout.h"
#include "ext/exPrimTable.h"
#include "mman/mmCString.h"
#include "prim/prOe.h"

static const char* const messageSource = __FILE__;

static int64_t cSendClassX = -1, cSendSelectorX = -1;
int64_t callbackClassX = -1, callbackSelectorX = -1, nbCallbackSelectorX = -1, callbackSemaphoreX = -1;

// A CSendRequest (an instance of the send class): slot 0 the selector, slot 1 the argument
// Array, then the engine's slots from base, the named-slot count of the send class's
// superclass. The image's class provides them; the engine does not check.
enum : uint32_t {
  reqSelector = 0,
  reqArguments = 1,
  reqReceiver = 0,       // base + ...
  reqFrameRecord = 1,    // the CSendFrameRecord while a C caller waits; nil after the jump back
  reqResult = 2,         // start value of *resultPtr, copied back at the end
  reqSuspended = 3,      // the context to come back to
  reqOuterCallout = 5,   // calloutResult of the call in progress at entry
  reqSavedPriority = 8,  // the active Process's priority before the send raised it
  reqAnswer = 9,         // the send's answer, stored by the image
  reqOutcome = 10,       // the fail value (nil for 0); the image stores true with the answer
};
static uint64_t requestBase;

// CSendFrameRecord: a 56-byte object of the ByteArray class: the nested and the outer C
// stack and frame, the resume point, calloutIsLongComp at entry, and 1 when the outcome slot
// holds nil in place of a fail value that is no object (the send still returns to its caller).
enum : uint32_t {
  frNestedStack, frNestedFrame, frOuterStack, frOuterFrame, frResumePoint, frLongComp, frFailStoodIn,
  frameRecordWords,
};

// The request primitive 381 hands back to the nested run when it jumps.
static oop returningRequest;

static oop requestSlot(oop request, uint32_t index) { return slotOf(request, requestBase + index); }
static void putRequestSlot(oop request, uint32_t index, oop value) {
  storeSlot(request, requestBase + index, value, messageSource, __LINE__);
}
static uint64_t* frameRecordWordsOf(oop request) {
  return reinterpret_cast<uint64_t*>(bodyOf(headerOf(requestSlot(request, reqFrameRecord))));
}

// The jump back to a nested send's C caller leaves only native frames, which have nothing to
// unwind. On Windows a jump point with no frame makes longjmp restore the registers alone;
// with one it unwinds through those frames, which costs tens of microseconds a callback.
#if defined(_WIN32)
#define setResumePoint(buffer) _setjmp((buffer), nullptr)
#else
#define setResumePoint(buffer) setjmp(buffer)
#endif

// Runs the send prepared on the current stack to completion: answers the request as
// primitive 381 hands it back (it may have moved), or 0 when the frame record cannot be made.
static oop runNestedSend(oop request, bool failStoodIn) {
  uint64_t outerStack = CStack, outerFrame = CFrame;
  jmp_buf resume;
  if (setResumePoint(resume) != 0) {
    oop back = returningRequest;
    const uint64_t* record = frameRecordWordsOf(back);
    CStack = record[frOuterStack];
    CFrame = record[frOuterFrame];
    calloutIsLongComp = uint32_t(record[frLongComp]);
    putRequestSlot(back, reqFrameRecord, nilOop());
    return back;
  }
  markStack();  // native code's C calls now run below this frame
  ObjectHeader* h = allocInEdenInline(classIndexByteArray, 0, 8 * frameRecordWords, 0, noFill);
  if (h == nullptr) h = allocSmallObj(classIndexByteArray, 0, 8 * frameRecordWords, 0, noFill);
  if (h == nullptr) {
    CStack = outerStack;
    CFrame = outerFrame;
    return 0;
  }
  putRequestSlot(request, reqFrameRecord, oopOf(h));
  uint64_t* record = reinterpret_cast<uint64_t*>(bodyOf(h));
  record[frNestedStack] = CStack;
  record[frNestedFrame] = CFrame;
  record[frOuterStack] = outerStack;
  record[frOuterFrame] = outerFrame;
  record[frResumePoint] = uint64_t(uintptr_t(&resume));
  record[frLongComp] = calloutIsLongComp;
  record[frFailStoodIn] = failStoodIn;
  if (calloutIsLongComp) pdFinishLongComp();
  calloutResult = 0;
  backToNcodePopping();
}

// A new request for the send, with the thing to come back to; 0 when none can be made. The
// fail value goes into the outcome slot only as a word the collector may see.
static oop newRequest(oop receiver, oop selector, oop arguments, oop suspended, oop* resultPtr, oop failValue) {
  ObjectHeader* h = allocFSObj(sysOop(uint32_t(cSendClassX)));
  if (h == nullptr) return 0;
  oop request = oopOf(h);
  putRequestSlot(request, reqReceiver, receiver);
  storeSlot(request, reqSelector, selector, messageSource, __LINE__);
  storeSlot(request, reqArguments, arguments, messageSource, __LINE__);
  putRequestSlot(request, reqSuspended, suspended);
  if (resultPtr != nullptr) putRequestSlot(request, reqResult, *resultPtr);
  if (failValue != 0) putRequestSlot(request, reqOutcome, oeValidOop(failValue) ? failValue : nilOop());
  return request;
}

// With no stack running, the send runs in the highest-priority Process waiting on the
// callback Semaphore: it becomes the active Process and its context is resumed. Answers a
// one-slot Array holding that context, or 0 (nothing changed).
static oop takeCallbackProcess() {
  ObjectHeader* a = allocInEdenInline(classIndexArray, 0, 8, hasPtrsBit, nilOop());
  if (a == nullptr) a = allocSmallObj(classIndexArray, 0, 8, hasPtrsBit, nilOop());
  if (a == nullptr || callbackSemaphoreX < 1) return 0;
  oop process = removeHighestPriorityProcess(sysOop(uint32_t(callbackSemaphoreX)));
  if (process == nilOop()) return 0;
  storeSlot(sysOop(sysProcessor), schedulerActiveProcess, process, messageSource, __LINE__);
  oop context = slotOf(process, processSuspendedContext);
  storeSlot(process, processSuspendedContext, nilOop(), messageSource, __LINE__);
  resumeContext(context);
  storeSlot(oopOf(a), 0, context, messageSource, __LINE__);
  return oopOf(a);
}

// Comes back to what the send suspended: the context, or for a Process taken from the
// callback Semaphore, that Process waiting again last on the Semaphore with no excess signals.
static void comeBack(oop suspended) {
  if (isImmediate(suspended) || classTagOf(headerOf(suspended)) != classIndexArray) {
    resumeContext(suspended);
    return;
  }
  oop semaphore = sysOop(uint32_t(callbackSemaphoreX));
  oop process = activeProcess();
  oop context = slotOf(suspended, 0);
  storeSlot(sysOop(sysProcessor), schedulerActiveProcess, nilOop(), messageSource, __LINE__);
  storeSlot(process, processSuspendedContext, context, messageSource, __LINE__);
  storeSlot(process, processNextLink, nilOop(), messageSource, __LINE__);
  oop last = slotOf(semaphore, listLastLink);
  if (slotOf(semaphore, listFirstLink) == nilOop()) storeSlot(semaphore, listFirstLink, process, messageSource, __LINE__);
  else storeSlot(last, processNextLink, process, messageSource, __LINE__);
  storeSlot(semaphore, listLastLink, process, messageSource, __LINE__);
  storeSlot(process, processMyList, semaphore, messageSource, __LINE__);
  resumeContext(context);
  commitPrimitiveWithRestart(semaphore);
  currentStack = nullptr;
  storeSlot(semaphore, semaphoreExcessSignals, smallIntegerFor(0), messageSource, __LINE__);
}

oop basicOeSendMessageMany(oop receiver, oop selector, oop arguments, oop* resultPtr, oop failValue) {
  oop outerCallout = calloutResult;
  if (!pdOnEngineThread()) return 0;
  clearX87Exceptions();
  if (cSendClassX < 0) return failValue;
  oop suspended;
  if (currentStack != nullptr) {
    if (currentStack[shReceiver] != 0) commitPrimitive(currentStack[shReceiver]);
    suspended = suspendTopContext();
  } else if ((suspended = takeCallbackProcess()) == 0) {
    return failValue;
  }
  // From here a send that cannot be made undoes what it did, last step first.
  oop request = newRequest(receiver, selector, arguments, suspended, resultPtr, failValue);
  uint64_t spBefore = currentStack != nullptr ? currentStack[shSp] : 0;
  if (request == 0 || !buildSendWithArgs(request, sysOop(uint32_t(cSendSelectorX)), nullptr, 0)) {
    comeBack(suspended);
    return failValue;
  }
  oop priority = requestActiveProcessPriority(highestProcessPriority());
  putRequestSlot(request, reqSavedPriority, priority);
  if (outerCallout != 0) putRequestSlot(request, reqOuterCallout, outerCallout);
  oop back = runNestedSend(request, failValue != 0 && !oeValidOop(failValue));
  if (back == 0) {
    currentStack[shSp] = spBefore;  // the prepared send
    requestActiveProcessPriority(priority);
    comeBack(suspended);
    return failValue;
  }
  request = back;
  comeBack(requestSlot(request, reqSuspended));
  calloutResult = outerCallout == 0 ? 0 : requestSlot(request, reqOuterCallout);
  if (calloutIsLongComp) pdStartLongComp(100000);
  if (resultPtr != nullptr) *resultPtr = requestSlot(request, reqResult);
  oop outcome = requestSlot(request, reqOutcome);
  if (outcome == trueOop()) return requestSlot(request, reqAnswer);
  // A fail value the collector could not see stood as nil: the caller gets its own word.
  return failValue != 0 && !oeValidOop(failValue) ? failValue : outcome;
}

extern "C" {
oeSendDelegate delegateForSendMessageMany;
uint32_t useDelegateForSendMessageMany;

oop oeSendMessageMany(oop receiver, oop selector, oop arguments, oop* resultPtr, oop failValue) {
  if (useDelegateForSendMessageMany == 1 && delegateForSendMessageMany != nullptr)
    return delegateForSendMessageMany(receiver, selector, arguments, resultPtr, failValue);
  return basicOeSendMessageMany(receiver, selector, arguments, resultPtr, failValue);
}
oop UPSendMessageMany(oop receiver, oop selector, oop arguments, oop* resultPtr, oop failValue) {
  return oeSendMessageMany(receiver, selector, arguments, resultPtr, failValue);
}
void oeInstallDelegateForSendMessageMany(oeSendDelegate delegate) { delegateForSendMessageMany = delegate; }
void oeReleaseDelegateForSendMessageMany() { delegateForSendMessageMany = nullptr; }
void oeActivateDelegateForSendMessageMany() { useDelegateForSendMessageMany = 1; }
void oeDeactivateDelegateForSendMessageMany() { useDelegateForSendMessageMany = 0; }
uint32_t oeIsDelegateActivatedForSendMessageMany() { return useDelegateForSendMessageMany; }
}

// A new Array of the n arguments, or 0.
static oop argumentArray(const oop* argv, uint64_t n) {
  uint64_t bytes = 8 * n;
  ObjectHeader* a = allocInEdenInline(classIndexArray, 0, bytes, hasPtrsBit, nilOop());
  if (a == nullptr) a = allocSmallObj(classIndexArray, 0, bytes, hasPtrsBit, nilOop());
  if (a == nullptr) return 0;
  for (uint64_t i = 0; i < n; i++) storeSlot(oopOf(a), i, argv[i], messageSource, __LINE__);
  return oopOf(a);
}

oop sendMessageWithArgs(oop receiver, oop selector, const oop* argv, int32_t argc, oop* resultPtr, oop failValue) {
  if (!pdOnEngineThread() || argc < 0 || (argv == nullptr && argc != 0)) return 0;
  oop arguments = argumentArray(argv, uint64_t(argc));
  if (arguments == 0) return 0;
  return oeSendMessageMany(receiver, selector, arguments, resultPtr, failValue);
}

extern "C" {
oop oeSendMessage0(oop receiver, oop selector, oop* resultPtr, oop failValue) {
  return sendMessageWithArgs(receiver, selector, nullptr, 0, resultPtr, failValue);
}
oop oeSendMessage1(oop receiver, oop selector, oop a1, oop* resultPtr, oop failValue) {
  return sendMessageWithArgs(receiver, selector, &a1, 1, resultPtr, failValue);
}
oop oeSendMessage2(oop receiver, oop selector, oop a1, oop a2, oop* resultPtr, oop failValue) {
  const oop args[2] = {a1, a2};
  return sendMessageWithArgs(receiver, selector, args, 2, resultPtr, failValue);
}
oop oeSendMessage3(oop receiver, oop selector, oop a1, oop a2, oop a3, oop* resultPtr, oop failValue) {
  const oop args[3] = {a1, a2, a3};
  return sendMessageWithArgs(receiver, selector, args, 3, resultPtr, failValue);
}
oop UPSendMessage0(oop receiver, oop selector, oop* resultPtr, oop failValue) {
  return oeSendMessage0(receiver, selector, resultPtr, failValue);
}
oop UPSendMessage1(oop receiver, oop selector, oop a1, oop* resultPtr, oop failValue) {
  return oeSendMessage1(receiver, selector, a1, resultPtr, failValue);
}
oop UPSendMessage2(oop receiver, oop selector, oop a1, oop a2, oop* resultPtr, oop failValue) {
  return oeSendMessage2(receiver, selector, a1, a2, resultPtr, failValue);
}
oop UPSendMessage3(oop receiver, oop selector, oop a1, oop a2, oop a3, oop* resultPtr, oop failValue) {
  return oeSendMessage3(receiver, selector, a1, a2, a3, resultPtr, failValue);
}

// The selector as a platform string: the send class's method makes a Symbol of it.
oop oeCSendMessageMany(oop receiver, const char* selector, const oop* argv, int64_t argc, oop* resultPtr, oop failValue) {
  if (!pdOnEngineThread() || selector == nullptr || argc < 0 || (argv == nullptr && argc != 0)) return 0;
  oop arguments = argumentArray(argv, uint64_t(argc));
  if (arguments == 0) return 0;
  // The Array stays reachable across the string's allocation: allocation does not collect.
  oop name = STStringWithSize(selector, strlen(selector));
  if (name == 0) return 0;
  return oeSendMessageMany(receiver, name, arguments, resultPtr, failValue);
}
oop oeCSendMessage0(oop receiver, const char* selector, oop* resultPtr, oop failValue) {
  return oeCSendMessageMany(receiver, selector, nullptr, 0, resultPtr, failValue);
}
oop oeCSendMessage1(oop receiver, const char* selector, oop a1, oop* resultPtr, oop failValue) {
  return oeCSendMessageMany(receiver, selector, &a1, 1, resultPtr, failValue);
}
oop oeCSendMessage2(oop receiver, const char* selector, oop a1, oop a2, oop* resultPtr, oop failValue) {
  const oop args[2] = {a1, a2};
  return oeCSendMessageMany(receiver, selector, args, 2, resultPtr, failValue);
}
oop oeCSendMessage3(oop receiver, const char* selector, oop a1, oop a2, oop a3, oop* resultPtr, oop failValue) {
  const oop args[3] = {a1, a2, a3};
  return oeCSendMessageMany(receiver, selector, args, 3, resultPtr, failValue);
}
oop UPCSendMessageMany(oop receiver, const char* selector, const oop* argv, int64_t argc, oop* resultPtr, oop failValue) {
  return oeCSendMessageMany(receiver, selector, argv, argc, resultPtr, failValue);
}
oop UPCSendMessage0(oop receiver, const char* selector, oop* resultPtr, oop failValue) {
  return oeCSendMessage0(receiver, selector, resultPtr, failValue);
}
oop UPCSendMessage1(oop receiver, const char* selector, oop a1, oop* resultPtr, oop failValue) {
  return oeCSendMessage1(receiver, selector, a1, resultPtr, failValue);
}
oop UPCSendMessage2(oop receiver, const char* selector, oop a1, oop a2, oop* resultPtr, oop failValue) {
  return oeCSendMessage2(receiver, selector, a1, a2, resultPtr, failValue);
}
oop UPCSendMessage3(oop receiver, const char* selector, oop a1, oop a2, oop a3, oop* resultPtr, oop failValue) {
  return oeCSendMessage3(receiver, selector, a1, a2, a3, resultPtr, failValue);
}
}

// ---- Primitives ----------------------------------------------------------------------------

static oop fail(uint32_t code, uint64_t numArgs) { return failPrimitive(primErrorAt(code), numArgs); }

// 370: the image is up (the GUI takes its splash window down).
static oop primSystemReady(oop receiver) {
  pdInformSystemReady();
  return receiver;
}

// 380: the receiver becomes the send class, the argument its selector.
static oop primRegisterSendClass(oop receiver, oop selector) {
  if (cSendClassX < 0 && (cSendClassX = allocSysOopSlot()) < 0) return fail(primErrNoSpace, 1);
  if (cSendSelectorX < 0 && (cSendSelectorX = allocSysOopSlot()) < 0) return fail(primErrNoSpace, 1);
  registerSysOop(receiver, uint32_t(cSendClassX));
  registerSysOop(selector, uint32_t(cSendSelectorX));
  requestBase = formatNamedSlots(classFormatOf(superclassOf(receiver)));
  return receiver;
}

// 381: the send's request returns to its C caller.
static oop primReturnToC(oop request) {
  requestActiveProcessPriority(requestSlot(request, reqSavedPriority));
  if (requestSlot(request, reqFrameRecord) == nilOop()) return request;
  const uint64_t* record = frameRecordWordsOf(request);
  if (requestSlot(request, reqOutcome) == nilOop() && record[frFailStoodIn] == 0) {
    calloutIsLongComp = 1;
    CStack = record[frOuterStack];
    CFrame = record[frOuterFrame];
    return request;
  }
  currentStack[shReceiver] = 0;
  returningRequest = request;
  CStack = record[frNestedStack];
  CFrame = record[frNestedFrame];
  longjmp(*reinterpret_cast<jmp_buf*>(record[frResumePoint]), 1);
}

// 383 and 1050: the receiver is the callback class; the selector, or {selector, threaded
// selector}, and the callback Semaphore.
static oop primRegisterCallbacks(oop receiver, oop selectors, oop semaphore) {
  if (isImmediate(semaphore) || (classTagOf(headerOf(semaphore)) != classIndexSemaphore &&
                                 !isKindOf(semaphore, sysOop(sysSemaphoreClass))))
    return fail(primErrBadArgument, 2);
  oop selector = selectors, threaded = selectors;
  if (isHeapObject(selectors) && classTagOf(headerOf(selectors)) == classIndexArray) {
    if (bodyWordsOf(headerOf(selectors)) != 2) return fail(primErrBadArgument, 2);
    selector = slotOf(selectors, 0);
    threaded = slotOf(selectors, 1);
  }
  for (int64_t* x : {&callbackClassX, &callbackSelectorX, &nbCallbackSelectorX, &callbackSemaphoreX})
    if (*x < 0 && (*x = allocSysOopSlot()) < 0) return fail(primErrNoSpace, 2);
  registerSysOop(receiver, uint32_t(callbackClassX));
  registerSysOop(selector, uint32_t(callbackSelectorX));
  registerSysOop(threaded, uint32_t(nbCallbackSelectorX));
  registerSysOop(semaphore, uint32_t(callbackSemaphoreX));
  return receiver;
}

void initMessagePrimitives() {
  addCPrimitive(370, reinterpret_cast<const void*>(primSystemReady), 0);
  addCPrimitive(380, reinterpret_cast<const void*>(primRegisterSendClass), 1);
  addCPrimitive(381, reinterpret_cast<const void*>(primReturnToC), 0);
  addCPrimitive(383, reinterpret_cast<const void*>(primRegisterCallbacks), 2);
  addCPrimitive(1050, reinterpret_cast<const void*>(primRegisterCallbacks), 2);
  initCallbackPrimitives();
}
