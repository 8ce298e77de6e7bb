// Execution engine: message not understood (the dnu glue's argument collection and the
// doesNotUnderstand: send), cannotReturn: and the cannot-resume path.
// Owns the pending-MNU record. Prefix: none.
#include <cstring>

#include "ext/exError.h"
#include "mman/mmRt.h"
#include "mman/mmSysOop.h"
#include "stack/glue.h"
#include "stack/nsupport.h"
#include "stack/send.h"
#include "stack/stackframe.h"
#include "stack/stackzone.h"
#include "tran/nmLayout.h"

namespace {

// The send that failed, between doesNotUnderstand and the dnu glue's C routine.
struct PendingMNU {
  oop selector;
  uint64_t numArgs;
  oop lookupClass;  // 0 for ordinary sends; the method class for super sends
} pendingMNU;

constexpr uint64_t maxSendArgs = 255;
const char* const dnuFile = SOURCE_NAME;

inline uint64_t* words(uint64_t a) { return reinterpret_cast<uint64_t*>(a); }
inline uint64_t* savedSp() { return words(currentStack[shSp]); }

// The method that runs for selector on receiver, or 1 when none understands it.
uint64_t lookupOrRecover(oop receiver, oop selector) {
  uint32_t tag = receiverClassTag(receiver);
  uint64_t r = findMethodHook(selector, tag);
  if (r >= lookupResultLimit || r == lookupNotUnderstood) return r;
  return handleTranFailure(tag, selector, r);
}

}  // namespace

uint64_t doesNotUnderstand(uint64_t numArgs, oop selector, oop lookupClass) {
  pendingMNU = {selector, numArgs, lookupClass};
  uint64_t entry = dnuPChAddr[numArgs < 4 ? numArgs : 4];
  pushOnSavedStack(entry);
  return entry;
}

[[noreturn]] void doesNotUnderstandWA(uint64_t numArgs, oop receiver, oop selector, oop lookupClass,
                                      const oop* arguments) {
  oop dnuSelector = sysOop(sysDnuSelector);
  uint64_t d = lookupOrRecover(receiver, dnuSelector);
  if (d == lookupNotUnderstood) {
    doReportError("No method found for doesNotUnderstand:", errFatal | errCauseUser, dnuFile, __LINE__);
    doPanic(__FILE__, __LINE__);
  }
  ObjectHeader* array = newRunTimeObject(classIndexArray, 0, numArgs, "doesNotUnderstand arguments");
  for (uint64_t i = 0; i < numArgs; i++) {
    bodyOf(array)[i] = arguments[i];
    storeCheck(array, arguments[i], dnuFile, __LINE__);
  }
  uint32_t dnuArgs = reinterpret_cast<const NMethodHeader*>(d)->numArgs;
  if (dnuArgs == 1) {
    oop messageClass = sysOop(sysMessageClass);
    uint64_t named = formatNamedSlots(classFormatOf(messageClass));
    ObjectHeader* message =
        newRunTimeObject(hashOf(headerOf(messageClass)), named, 0, "doesNotUnderstand message");
    bodyOf(message)[0] = selector;
    storeCheck(message, selector, dnuFile, __LINE__);
    bodyOf(message)[1] = oopOf(array);
    storeCheck(message, oopOf(array), dnuFile, __LINE__);
    if (named >= 3) {
      oop cls = lookupClass == 0 ? nilOop() : lookupClass;
      bodyOf(message)[2] = cls;
      storeCheck(message, cls, dnuFile, __LINE__);
    }
    pushOnSavedStack(d + nMethodGlueEntry);
    pushOnSavedStack(oopOf(message));
    pushOnSavedStack(receiver);
    backToNcodePop1();
  } else if (dnuArgs == 2) {
    pushOnSavedStack(d + nMethodGlueEntry);
    pushOnSavedStack(oopOf(array));
    pushOnSavedStack(selector);
    pushOnSavedStack(receiver);
    backToNcodePop2();
  } else {
    doReportError("Three-argument doesNotUnderstand: dispatch not implemented", errFatal | errCauseVMBug,
                  dnuFile, __LINE__);
  }
  doPanic(__FILE__, __LINE__);
}

// The dnu glue arrives with the site's return address on top of the saved stack; with n > 2
// arguments the first n-2 lie above it (argument n-2 nearest) and the receiver above them.
static void collectAndSend(oop receiver, const oop* registers) {
  uint64_t n = pendingMNU.numArgs;
  oop args[maxSendArgs];
  uint64_t* sp = savedSp();
  if (n <= 2) {
    for (uint64_t i = 0; i < n; i++) args[i] = registers[i];
  } else {
    for (uint64_t k = 1; k + 2 <= n; k++) args[k - 1] = sp[1 + (n - 2 - k)];
    args[n - 2] = registers[0];
    args[n - 1] = registers[1];
    uint64_t returnAddress = sp[0];
    currentStack[shSp] += 8 * (n - 1);
    *savedSp() = returnAddress;
  }
  doesNotUnderstandWA(n, receiver, pendingMNU.selector, pendingMNU.lookupClass, args);
}

extern "C" void Cdnu0(oop receiver) { collectAndSend(receiver, nullptr); }
extern "C" void Cdnu1(oop receiver, oop a1) {
  const oop r[1] = {a1};
  collectAndSend(receiver, r);
}
extern "C" void Cdnu2(oop receiver, oop a1, oop a2) {
  const oop r[2] = {a1, a2};
  collectAndSend(receiver, r);
}
extern "C" void Cdnu3(oop receiver, oop r12, oop r13) {
  const oop r[2] = {r12, r13};
  collectAndSend(receiver, r);
}
extern "C" void CdnuMany(oop receiver, oop r12, oop r13) {
  const oop r[2] = {r12, r13};
  collectAndSend(receiver, r);
}

// The MNU path of a PIC. A method word of 1 says the selector may be understood by now:
// then the site is relinked as a class-check miss in the PIC would relink it, and the send
// goes on into the method found.
extern "C" void CrtMNUFromPIC(oop receiver, oop r12, oop r13, uint64_t pic) {
  const NMethodHeader* h = reinterpret_cast<const NMethodHeader*>(pic);
  if (h->vmethod == 1 && findMethodHook(h->selector, receiverClassTag(receiver)) >= lookupResultLimit) {
    pushOnSavedStack(pic + nMethodAbortSendMissReturnOffset);
    relinkSendToUnlinked(receiver);
    return;
  }
  pendingMNU = {h->selector, h->numArgs, 0};
  const oop r[2] = {r12, r13};
  collectAndSend(receiver, r);
}

// A non-local return found its home dead: cannotReturn: to the context left on top.
extern "C" void CcantReturn(oop value) {
  oop context = contextOnTop;
  oop selector = sysOop(sysCannotReturnSelector);
  uint64_t d = lookupOrRecover(context, selector);
  if (d == lookupNotUnderstood) doesNotUnderstandWA(1, context, selector, 0, &value);
  pushOnSavedStack(d + nMethodGlueEntry);
  pushOnSavedStack(value);
  pushOnSavedStack(context);
  backToNcodePop1();
  doPanic(__FILE__, __LINE__);
}

// The top frame cannot continue: its context is sent the dead-context selector; should that
// answer, the frame resumes at its cannot-resume entry and comes back here.
extern "C" void CrtCannotResume() {
  uint64_t fp = currentStack[shFp];
  oop context = frameContextOf(fp);
  uint64_t nm = words(fp)[frNMethod] & frameNMethodMask;
  *savedSp() = nm + nMethodCannotResumeEntry;
  oop selector = sysOop(sysDeadContextSelector);
  uint64_t d = lookupOrRecover(context, selector);
  if (d == lookupNotUnderstood) doesNotUnderstandWA(0, context, selector, 0, nullptr);
  pushOnSavedStack(d + nMethodGlueEntry);
  pushOnSavedStack(context);
  backToNcodePop0();
  doPanic(__FILE__, __LINE__);
}
