// Primitives: the object primitives.
// Owns no global record. Prefix: none.
#include "prim/prObject.h"

#include "ext/exError.h"
#include "ext/exPrimTable.h"
#include "mman/mmFixedSpace.h"
#include "mman/mmIncGC.h"
#include "mman/mmLargeSpace.h"
#include "mman/mmNewSpace.h"
#include "mman/mmOldSpace.h"
#include "mman/mmPermSpace.h"
#include "mman/mmRt.h"
#include "mman/mmSysOop.h"
#include "stack/nsupport.h"
#include "stack/stackframe.h"

static oop fail(uint32_t code, uint64_t numArgs) { return failPrimitive(primErrorAt(code), numArgs); }

// ---- Identity and class -------------------------------------------------------------------

static oop p75(oop rcv) {
  if (isImmediate(rcv)) return fail(primErrWrongClass, 0);
  return smallIntegerFor(getObjHash(headerOf(rcv)));
}
static oop p109(oop rcv, oop a) { return booleanOop(rcv != a); }
static oop p110(oop rcv, oop a) { return booleanOop(rcv == a); }
static oop p111(oop rcv) { return classOf(rcv); }
static oop p175(oop, oop a) {
  if (isImmediate(a)) return fail(primErrWrongClass, 1);
  return smallIntegerFor(getObjHash(headerOf(a)));
}
static bool immutableOop(oop o) { return isImmediate(o) || isImmutable(headerOf(o)); }
static oop p176(oop, oop a) { return booleanOop(immutableOop(a)); }
static oop p209(oop, oop a, oop b) { return booleanOop(a != b); }
static oop p210(oop, oop a, oop b) { return booleanOop(a == b); }
static oop p211(oop, oop a) { return classOf(a); }
static oop p1063(oop rcv) { return booleanOop(immutableOop(rcv)); }
static oop p1065(oop) { return maximumIdentityHashValue(); }

static oop p1060(oop rcv) { return booleanOop(isImmediate(rcv) || hashOf(headerOf(rcv)) != 0); }

static oop p1061(oop rcv) {
  if (isSmallInteger(rcv)) return rcv;
  if (isImmediate(rcv)) return (rcv & ~oopTagMask) | oopTagSmallInteger;  // oop >> 3 as a SmallInteger
  uint32_t hash = hashOf(headerOf(rcv));
  return hash != 0 ? smallIntegerFor(hash) : fail(primErrWrongClass, 0);
}

// A class entered in the class table under its hash.
static bool isEnteredClass(oop o) {
  uint32_t hash = hashOf(headerOf(o));
  return hash != 0 && hash < classIndexLimit && classTable[hash >> 10] != nullptr && classAt(hash) == o;
}

static oop p1062(oop rcv, oop value) {
  if (isImmediate(rcv)) return fail(primErrWrongClass, 1);
  if (!isSmallInteger(value)) return fail(primErrBadArgument, 1);
  ObjectHeader* h = headerOf(rcv);
  uint32_t hash = uint32_t(uint64_t(smallIntegerValue(value)) & identityHashMax);
  if (isEnteredClass(rcv) && hash != hashOf(h)) return fail(primErrNotHere, 1);
  setHash(h, hash);
  return smallIntegerFor(getObjHash(h));
}

static oop p1075(oop rcv) {
  if (isImmediate(rcv)) return fail(primErrWrongClass, 0);
  ObjectHeader* h = headerOf(rcv);
  if (hashOf(h) == 0) {
    oop error = enterIntoClassTable(rcv);
    if (error != 0) return failPrimitive(error, 0);
  }
  return smallIntegerFor(hashOf(h));
}

// ---- Immutability -------------------------------------------------------------------------

// Sets or clears the immutability of o to v (177 on its first argument, 1064 on the
// receiver); answers the previous state.
static oop setImmutability(oop o, oop v, uint64_t numArgs) {
  if (v != trueOop() && v != falseOop()) return fail(primErrBadArgument, numArgs);
  if (v == falseOop()) {
    if (isImmediate(o) || classTagOf(headerOf(o)) == classIndexClassTablePage) return fail(primErrWrongClass, numArgs);
    oop previous = booleanOop(isImmutable(headerOf(o)));
    clearFlag(headerOf(o), isImmutableBit);
    return previous;
  }
  if (isImmediate(o)) return trueOop();
  ObjectHeader* h = headerOf(o);
  oop previous = booleanOop(isImmutable(h));
  if (classTagOf(h) > classIndexHybridBlockContext) {
    setFlag(h, isImmutableBit);
    return previous;
  }
  // A context still living in a stack frame is made a stable heap context first (a dead
  // hybrid one becomes stable on the spot).
  if (isLiveHybrid(o)) {
    commitPrimitive(o);
    if (stabilizeThisContext(o, 1) == 0) return fail(primErrNoSpace, numArgs);
    setFlag(h, isImmutableBit);
    return commitPrimitiveAndHandleRequests(previous);
  }
  setFlag(h, isImmutableBit);
  return previous;
}
static oop p177(oop, oop o, oop v) { return setImmutability(o, v, 2); }
static oop p1064(oop rcv, oop v) { return setImmutability(rcv, v, 1); }

// ---- Changing the class of an instance ------------------------------------------------------

static bool wasWeak(const ObjectHeader* h) { return isGCSpecial(h) && !isEphemeron(h); }

// Steps shared by 535 and 536 once the shapes agree: immutability, the perm object's old
// remembered-table entry and the incremental barrier. 0 when the primitive has failed.
static bool prepareClassChange(ObjectHeader* o, uint64_t numArgs) {
  if (isImmutable(o)) return fail(primErrImmutable, numArgs), false;
  if (isPermObject(o) && !isInOldRt(o) && !registerInOldRt(o)) return fail(primErrGeneral, numArgs), false;
  return true;
}
static void classChangeBarrier(ObjectHeader* o, oop cls) {
  if (currentIncGCState == incGCMarking && !isNewObject(oopOf(o)) && !isNewObject(cls) && isMarked(o) &&
      !isMarked(headerOf(cls)))
    incMarkObj(cls);
}

static oop p536(oop rcv, oop obj) {
  if (!isHeapObject(rcv) || !hasPtrs(headerOf(rcv)) || bodyWordsOf(headerOf(rcv)) <= classFormatSlot ||
      !isSmallInteger(slotOf(rcv, classFormatSlot)))
    return fail(primErrWrongClass, 1);
  if (isImmediate(obj)) return fail(primErrBadArgument, 1);
  ObjectHeader *c = headerOf(rcv), *o = headerOf(obj);
  uint64_t f = classFormatOf(rcv), named = formatNamedSlots(f), slots = bodyWordsOf(o);
  uint32_t index = hashOf(c);
  bool ok;
  if (index >= 1 && index <= classIndexHybridBlockContext) ok = false;  // kernel classes adopt nothing
  else if (hasPtrs(o))
    ok = (f & formatPointers) && classTagOf(o) > classIndexHybridBlockContext &&
         ((f & formatIndexable) ? slots >= named && !isEphemeron(o) : slots == named);
  else
    ok = (f & (formatIndexable | formatPointers)) == formatIndexable;
  if (!ok) return fail(primErrBadArgument, 1);
  if (!prepareClassChange(o, 1)) return primFailureAnswer();
  if (index == 0) {
    oop error = enterIntoClassTable(rcv);
    if (error != 0) return failPrimitive(error, 1);
    index = hashOf(c);
  }
  classChangeBarrier(o, rcv);
  bool weak = wasWeak(o), eph = isEphemeron(o);
  setClassTag(o, index);
  if (hasPtrs(o)) {
    uint64_t flags = headerFlagsForFormat(f) & (isGCSpecialBit | ephemeronNotWeakBit);
    o->flags = (o->flags & ~(isGCSpecialBit | ephemeronNotWeakBit)) | flags;
    setIndexability(o, uint32_t(named < indexabilityAskClass ? named : uint64_t(indexabilityAskClass)));
    incGCObjClassChanged(obj, weak, eph);
  }
  return rcv;
}

static oop p535(oop rcv, oop a) {
  if (isImmediate(rcv) || classTagOf(headerOf(rcv)) <= classIndexHybridBlockContext) return fail(primErrWrongClass, 1);
  if (isImmediate(a) || classTagOf(headerOf(a)) <= classIndexHybridBlockContext) return fail(primErrBadArgument, 1);
  ObjectHeader *o = headerOf(rcv), *s = headerOf(a);
  if (hasPtrs(o) != hasPtrs(s)) return fail(primErrBadArgument, 1);
  oop cls = classOfHeader(s);
  if (hasPtrs(o)) {
    uint64_t f = classFormatOf(cls), words = bodyWordsOf(s);
    uint32_t ix = indexabilityOf(s);
    bool noIndexed = ix == indexabilityAskClass || ix >= words;
    bool ok;
    if (noIndexed && !(f & formatIndexable)) {
      ok = bodyWordsOf(o) == words;
    } else {
      uint64_t named = ix == indexabilityAskClass ? formatNamedSlots(f) : ix;
      ok = !isEphemeron(o) && bodyWordsOf(o) >= named;
    }
    if (!ok) return fail(primErrBadArgument, 1);
  }
  if (!prepareClassChange(o, 1)) return primFailureAnswer();
  classChangeBarrier(o, cls);
  bool weak = wasWeak(o), eph = isEphemeron(o);
  setClassTag(o, classTagOf(s));
  if (hasPtrs(o)) {
    uint64_t copied = isGCSpecialBit | ephemeronNotWeakBit | indexabilityMask;
    o->flags = (o->flags & ~copied) | (s->flags & copied);
    incGCObjClassChanged(rcv, weak, eph);
  }
  return rcv;
}

void initObjectPrims() {
  struct Entry { uint32_t number; const void* function; uint8_t numArgs; };
#define P(n, args) {n, reinterpret_cast<const void*>(p##n), args}
  static const Entry entries[] = {
      P(75, 0),   P(109, 1),  P(110, 1),  P(111, 0),  P(175, 1),  P(176, 1),  P(177, 2),
      P(209, 2),  P(210, 2),  P(211, 1),  P(535, 1),  P(536, 1),  P(1060, 0), P(1061, 0),
      P(1062, 1), P(1063, 0), P(1064, 1), P(1065, 0), P(1075, 0)};
#undef P
  for (const Entry& e : entries) addCPrimitive(e.number, e.function, e.numArgs);
}
