// Object memory: heap scans and the enumeration primitives.
// Owns no global record. Prefix: none.
#include "mman/mmEnumerate.h"

#include "ext/exError.h"
#include "ext/exPrimTable.h"
#include "mman/mmAllocate.h"
#include "mman/mmIncGC.h"
#include "mman/mmInit.h"
#include "mman/mmNewSpace.h"
#include "mman/mmObjPrims.h"
#include "mman/mmPending.h"
#include "mman/mmPermSpace.h"
#include "mman/mmPrimUtil.h"
#include "mman/mmRt.h"
#include "mman/mmSysOop.h"
#include "stack/stackframe.h"

static oop fail(uint32_t code, uint64_t numArgs) { return failPrimitive(primErrorAt(code), numArgs); }

// ---- Predicates ---------------------------------------------------------------------------

static oop targetOf(void* arg) { return reinterpret_cast<oop>(arg); }
static void* argOf(oop o) { return reinterpret_cast<void*>(o); }

int anyObject(void*, ObjectHeader*) { return 1; }

int instanceOfClassIndex(void* arg, ObjectHeader* h) { return classTagOf(h) == *static_cast<uint32_t*>(arg); }

int instanceOfContextClassIndex(void* arg, ObjectHeader* h) {
  uint32_t target = *static_cast<uint32_t*>(arg), tag = classTagOf(h);
  return tag == target || (tag + 3 == target && (tag == classIndexHybridMethodContext || tag == classIndexHybridBlockContext));
}

int instanceOfClassIndexList(void* arg, ObjectHeader* h) {
  uint32_t tag = classTagOf(h);
  if (tag >= 8 && tag <= 10) tag += 3;  // hybrid contexts count as their stable classes
  ObjectHeader* list = headerOf(targetOf(arg));
  oop want = smallIntegerFor(tag);
  for (uint64_t i = 0, n = bodyWordsOf(list); i < n; i++)
    if (bodyOf(list)[i] == want) return 1;
  return 0;
}

// The slots [first, last) of h holding target; contexts are read through the context
// accessors.
static int holdsIn(ObjectHeader* h, oop target, uint64_t first, uint64_t last) {
  bool context = classTagOf(h) <= classIndexHybridBlockContext;
  for (uint64_t i = first; i < last; i++)
    if ((context && i <= ctxContents ? contextInstVarNoReify(oopOf(h), uint32_t(i)) : bodyOf(h)[i]) == target)
      return 1;
  return 0;
}

int oopInObj(void* arg, ObjectHeader* h) {
  if (!hasPtrs(h) || h->dataPtr == 0) return 0;
  return holdsIn(h, targetOf(arg), 0, bodyWordsOf(h));
}

// Weak slots do not count: a weak object is searched in its named slots only, an
// ephemeron from its second slot on.
int isStrongOwnerOf(void* arg, ObjectHeader* h) {
  if (!hasPtrs(h) || h->dataPtr == 0) return 0;
  uint64_t words = bodyWordsOf(h), first = 0, last = words;
  if (isEphemeron(h)) first = 1;
  else if (isGCSpecial(h)) {
    uint32_t n = indexabilityOf(h);
    last = n != indexabilityAskClass ? n : formatNamedSlots(classFormatOf(classOfHeader(h)));
    if (last > words) last = words;
  }
  return holdsIn(h, targetOf(arg), first, last);
}

// ---- Scans -----------------------------------------------------------------------------------

struct ScanBuffer {
  oop* next;
  oop* end;
  uint64_t count;
  void add(ObjectHeader* h) {
    if (next < end) *next++ = oopOf(h);
    count += 1;
  }
};

static void scanNewArea(uint64_t from, uint64_t to, void* arg, OtPredicate predicate, ScanBuffer* buffer,
                        ObjectHeader* exclude, bool pointersOnly) {
  for (ObjectHeader* h = reinterpret_cast<ObjectHeader*>(from); oopOf(h) < to; h = nextNewSpaceHeader(h))
    if (classTagOf(h) != 0 && h != exclude && (!pointersOnly || hasPtrs(h)) && predicate(arg, h)) buffer->add(h);
}

static int64_t scanAll(void* arg, OtPredicate predicate, oop* bufStart, oop* bufEnd, ObjectHeader* exclude,
                       bool pointersOnly) {
  ScanBuffer buffer{bufStart, bufEnd, 0};
  if (!scavengeInProgress) {
    writeNewSpaceEndMarkers();
    scanNewArea(eden.start, eden.allocPtr, arg, predicate, &buffer, exclude, pointersOnly);
    scanNewArea(pastSpace.start, pastSpace.top, arg, predicate, &buffer, exclude, pointersOnly);
  }
  struct Filter { void* arg; OtPredicate predicate; ObjectHeader* exclude; bool pointersOnly; };
  Filter filter{arg, predicate, exclude, pointersOnly};
  auto accept = [](void* f, ObjectHeader* h) {
    Filter* x = static_cast<Filter*>(f);
    return int(h != x->exclude && (!x->pointersOnly || hasPtrs(h)) && x->predicate(x->arg, h));
  };
  for (ObjectHeader* h = searchObjectMemory(nullptr, &filter, accept); h != nullptr;
       h = searchObjectMemory(h, &filter, accept))
    buffer.add(h);
  int64_t n = int64_t(buffer.count);
  return buffer.count > uint64_t(bufEnd - bufStart) ? -n : n;
}

int64_t scanObjectMemory(void* arg, OtPredicate predicate, oop* bufStart, oop* bufEnd, ObjectHeader* exclude) {
  return scanAll(arg, predicate, bufStart, bufEnd, exclude, false);
}

int64_t scanReferentsOf(oop arg, OtPredicate owner, oop* bufStart, oop* bufEnd, ObjectHeader* exclude) {
  return scanAll(argOf(arg), owner, bufStart, bufEnd, exclude, true);
}

static uint64_t magnitude(int64_t n) { return n < 0 ? uint64_t(-n) : uint64_t(n); }

oop collectAllSpecifiedObjects(void* arg, OtPredicate predicate, int weak, int referents) {
  auto scan = [&](oop* from, oop* to, ObjectHeader* exclude) {
    return referents ? scanReferentsOf(targetOf(arg), predicate, from, to, exclude)
                     : scanObjectMemory(arg, predicate, from, to, exclude);
  };
  uint64_t count = magnitude(scan(nullptr, nullptr, nullptr));
  oop cls = sysOop(weak ? sysWeakArrayClass : sysArrayClass);
  uint64_t named = formatNamedSlots(classFormatOf(cls));
  uint64_t flags = hasPtrsBit | (weak ? uint64_t(isGCSpecialBit) : 0);
  uint32_t tag = hashOf(headerOf(cls));
  uint64_t bytes = (named + count) * 8;
  ObjectHeader* h = allocInEdenInline(tag, int64_t(named), bytes, flags, noFill);
  if (h == nullptr) h = allocSmallObj(tag, int64_t(named), bytes, flags, noFill);
  if (h == nullptr) return smallIntegerFor(int64_t(bytes));
  oop* body = bodyOf(h);
  for (uint64_t i = 0; i < named + count; i++) body[i] = nilOop();
  int64_t found = scan(body + named, body + named + count, h);
  if (found != int64_t(count)) {
    recycleObj(oopOf(h));
    return smallIntegerFor(int64_t((named + magnitude(found)) * 8));
  }
  if (!isNewObject(oopOf(h))) {
    if (currentIncGCState == incGCMarking) incMarkObj(oopOf(h));
    if (!inRt(h) && !registerInRt(h)) reportStoreCheckFailure("src/mman/mmOldSpace", __LINE__);
    if (isPermObject(h) && !isInOldRt(h) && !registerInOldRt(h)) reportStoreCheckFailure("src/mman/mmOldSpace", __LINE__);
  }
  return oopOf(h);
}

// ---- Primitives --------------------------------------------------------------------------------
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
