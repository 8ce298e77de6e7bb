// Primitives: the enumeration primitives (first and next instance or owner, every instance,
// owner or object collected into an Array) over object memory's heap scans.
// Owns no global record. Prefix: none (initEnumerationPrims).
#include "prim/prEnumerate.h"

#include "ext/exError.h"
#include "ext/exPrimTable.h"
#include "ext/exRequest.h"
#include "mman/mmAllocate.h"
#include "mman/mmEnumerate.h"
#include "mman/mmInit.h"
#include "mman/mmNewSpace.h"
#include "mman/mmOldSpace.h"
#include "mman/mmPrimUtil.h"
#include "mman/mmScavenge.h"
#include "mman/mmSysOop.h"
#include "stack/nsupport.h"
#include "stack/stackzone.h"

static oop fail(uint32_t code, uint64_t numArgs) { return failPrimitive(primErrorAt(code), numArgs); }
static void* argOf(oop o) { return reinterpret_cast<void*>(o); }

// The first/next primitives walk perm space and the old segments (searchObjectMemory) after
// tenuring what they look for out of new space; the collecting forms scan new space too.

// Answers a result of a primitive that did not commit: through the request service when
// requests are pending.
static oop answerServingRequests(oop result) {
  return anyRequestsPending() ? commitPrimitiveAndHandleRequests(result) : result;
}

static bool isBoolean(oop o) { return o == trueOop() || o == falseOop(); }
static bool needsReify(uint32_t index) {
  return index == classIndexMethodContext || index == classIndexBlockContext || index == classIndexArray;
}
static bool isContextClassIndex(uint32_t index) {
  return index == classIndexMethodContext || index == classIndexBlockContext;
}
static bool isClassObject(oop o) {
  return isHeapObject(o) && hasPtrs(headerOf(o)) && bodyWordsOf(headerOf(o)) > classFormatSlot &&
         isSmallInteger(slotOf(o, classFormatSlot));
}

// 77: first instance of the receiver class.
static oop p77(oop rcv) {
  if (!isClassObject(rcv)) return fail(primErrWrongClass, 0);
  uint32_t index = hashOf(headerOf(rcv));
  if (index == 0) return fail(primErrGeneral, 0);
  commitPrimitive(rcv);
  if (needsReify(index) && !reifyAllStacks()) return fail(primErrNoSpace, 0);
  scavengeTenuringInstancesOf(index);
  if (isContextClassIndex(index)) scavengeTenuringInstancesOf(index - 3);
  rcv = topOfStack(0);
  OtPredicate p = isContextClassIndex(index) ? instanceOfContextClassIndex : instanceOfClassIndex;
  ObjectHeader* h = searchObjectMemory(nullptr, &index, p);
  return h != nullptr ? commitPrimitiveAndHandleRequests(oopOf(h)) : fail(primErrGeneral, 0);
}

// 78: next instance after the receiver; a hybrid context's next is sought among the
// instances of its stable class as well.
static oop p78(oop rcv) {
  if (isImmediate(rcv)) return fail(primErrWrongClass, 0);
  uint32_t index = classTagOf(headerOf(rcv));
  if (index == classIndexHybridMethodContext || index == classIndexHybridBlockContext) index += 3;
  OtPredicate p = isContextClassIndex(index) ? instanceOfContextClassIndex : instanceOfClassIndex;
  ObjectHeader* h = searchObjectMemory(headerOf(rcv), &index, p);
  return h != nullptr ? answerServingRequests(oopOf(h)) : fail(primErrGeneral, 0);
}

static oop p163(oop, oop after) {
  if (isImmediate(after)) return fail(primErrBadArgument, 1);
  ObjectHeader* h = searchObjectMemory(headerOf(after), nullptr, anyObject);
  return h != nullptr ? answerServingRequests(oopOf(h)) : fail(primErrGeneral, 1);
}

static oop p197(oop rcv) {
  commitPrimitive(rcv);
  if (!reifyAllStacks()) return fail(primErrNoSpace, 0);
  scavengeTenuringOwnersOf(rcv);
  rcv = topOfStack(0);
  ObjectHeader* h = searchObjectMemory(nullptr, argOf(rcv), oopInObj);
  return h != nullptr ? commitPrimitiveAndHandleRequests(oopOf(h)) : fail(primErrGeneral, 0);
}

static oop p198(oop rcv, oop after) {
  if (isImmediate(after)) return fail(primErrBadArgument, 1);
  ObjectHeader* h = searchObjectMemory(headerOf(after), argOf(rcv), oopInObj);
  return h != nullptr ? answerServingRequests(oopOf(h)) : fail(primErrGeneral, 1);
}

static oop p530(oop rcv) {
  commitPrimitive(rcv);
  if (!reifyAllStacks()) return fail(primErrNoSpace, 0);
  scavengeTenuringEveryone();
  ObjectHeader* h = searchObjectMemory(nullptr, nullptr, anyObject);
  return h != nullptr ? commitPrimitiveAndHandleRequests(oopOf(h)) : fail(primErrGeneral, 0);
}

static oop p531(oop rcv) {
  if (isImmediate(rcv)) return fail(primErrWrongClass, 0);
  ObjectHeader* h = searchObjectMemory(headerOf(rcv), nullptr, anyObject);
  return h != nullptr ? answerServingRequests(oopOf(h)) : fail(primErrGeneral, 0);
}

// The collector's answer: the Array, or failure 1 carrying the bytes it needs.
static oop answerCollected(oop result, uint64_t numArgs) {
  if (isSmallInteger(result)) return failPrimitive(cloneErrorWith(primErrorAt(primErrNoSpace), result), numArgs);
  return commitPrimitiveAndHandleRequests(result);
}

static oop p402(oop rcv, oop weak) {
  if (!isBoolean(weak)) return fail(primErrBadArgument, 1);
  if (!isClassObject(rcv)) return fail(primErrWrongClass, 1);
  uint32_t index = hashOf(headerOf(rcv));
  commitPrimitive(rcv);
  if (needsReify(index) && !reifyAllStacks()) return fail(primErrNoSpace, 1);
  flushEden();
  rcv = topOfStack(0);
  OtPredicate p = index == 0 ? nullptr : isContextClassIndex(index) ? instanceOfContextClassIndex : instanceOfClassIndex;
  auto none = [](void*, ObjectHeader*) { return 0; };
  return answerCollected(collectAllSpecifiedObjects(&index, p != nullptr ? p : +none, weak == trueOop(), 0), 1);
}

// 403, 404, 408: every owner (strong owner) of the receiver, or every object.
static oop collectAfterReify(oop rcv, oop weak, OtPredicate predicate, int referents) {
  if (!isBoolean(weak)) return fail(primErrBadArgument, 1);
  commitPrimitive(rcv);
  if (!reifyAllStacks()) return fail(primErrNoSpace, 1);
  flushEden();
  rcv = topOfStack(0);
  return answerCollected(collectAllSpecifiedObjects(argOf(rcv), predicate, weak == trueOop(), referents), 1);
}
static oop p403(oop rcv, oop weak) { return collectAfterReify(rcv, weak, oopInObj, 1); }
static oop p404(oop rcv, oop weak) { return collectAfterReify(rcv, weak, anyObject, 0); }
static oop p408(oop rcv, oop weak) { return collectAfterReify(rcv, weak, isStrongOwnerOf, 1); }

// 440: every instance of any class in the Array. Its elements stand in for their class
// indices during the scan and are restored from the class table afterwards, so each must be
// a class that the table gives back: one already entered under its hash, or one without a
// hash, entered here.
static oop p440(oop rcv, oop classes, oop weak) {
  if (isImmediate(classes) || classOf(classes) != sysOop(sysArrayClass) || !hasPtrs(headerOf(classes)) ||
      !isBoolean(weak))
    return fail(primErrBadArgument, 2);
  ObjectHeader* a = headerOf(classes);
  uint64_t n = bodyWordsOf(a);
  for (uint64_t i = 0; i < n; i++) {
    oop c = bodyOf(a)[i];
    if (!isClassObject(c)) return fail(primErrBadArgument, 2);
    uint32_t index = hashOf(headerOf(c));
    if (index != 0 && (index >= classIndexLimit || classTable[index >> 10] == nullptr || classAt(index) != c))
      return fail(primErrBadArgument, 2);
  }
  bool reify = false;
  for (uint64_t i = 0; i < n; i++) {
    oop c = bodyOf(a)[i];
    if (hashOf(headerOf(c)) == 0) {
      oop error = enterIntoClassTable(c);
      if (error != 0) return failPrimitive(error, 2);
    }
    reify = reify || needsReify(hashOf(headerOf(c)));
  }
  commitPrimitive(rcv);
  if (reify && !reifyAllStacks()) return fail(primErrNoSpace, 2);
  bool kept = temp1RegisteredOopX >= 0;
  if (kept) registerSysOop(classes, uint32_t(temp1RegisteredOopX));
  flushEden();
  if (kept) {
    classes = sysOop(uint32_t(temp1RegisteredOopX));
    registerSysOop(nilOop(), uint32_t(temp1RegisteredOopX));
  }
  a = headerOf(classes);
  for (uint64_t i = 0; i < n; i++) bodyOf(a)[i] = smallIntegerFor(hashOf(headerOf(bodyOf(a)[i])));
  oop result = collectAllSpecifiedObjects(argOf(classes), instanceOfClassIndexList, weak == trueOop(), 0);
  for (uint64_t i = 0; i < n; i++) bodyOf(a)[i] = classAt(uint32_t(smallIntegerValue(bodyOf(a)[i])));
  return answerCollected(result, 2);
}

void initEnumerationPrims() {
  struct Entry { uint32_t number; const void* function; uint8_t numArgs; };
#define P(n, args) {n, reinterpret_cast<const void*>(p##n), args}
  static const Entry entries[] = {P(77, 0),  P(78, 0),  P(163, 1), P(197, 0), P(198, 1), P(402, 1), P(403, 1),
                                  P(404, 1), P(408, 1), P(440, 2), P(530, 0), P(531, 0)};
#undef P
  for (const Entry& e : entries) addCPrimitive(e.number, e.function, e.numArgs);
}
