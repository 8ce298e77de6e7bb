// Object memory: become (exchange of header contents, one-way replacement), primitives 72,
// 108, 172 and promoteToFixedSpace. Owns no global record. Prefix: none.
#include "mman/mmBecome.h"

#include <cstring>

#include "ext/exError.h"
#include "ext/exPrimTable.h"
#include "ext/exRequest.h"
#include "mman/mmAllocate.h"
#include "mman/mmEnumerate.h"
#include "mman/mmFinal.h"
#include "mman/mmFixedSpace.h"
#include "mman/mmHooks.h"
#include "mman/mmIncGC.h"
#include "mman/mmInit.h"
#include "mman/mmLargeSpace.h"
#include "mman/mmNewSpace.h"
#include "mman/mmOldSpace.h"
#include "mman/mmOopStack.h"
#include "mman/mmPermSpace.h"
#include "mman/mmPrimUtil.h"
#include "mman/mmRt.h"
#include "mman/mmScavenge.h"
#include "mman/mmSysOop.h"

int64_t becomeFailAllocationAt = -1;

static const char becomeFile[] = "src/mman/mmBecome";

// ---- Exchange ----------------------------------------------------------------------------------

// Where a body lies, which decides whether it can change owners directly.
enum BodyKind : uint8_t {
  bodyInNew,    // in new space (inline or under a filler), or a new header's empty body
  bodyInOld,    // old space outside perm data, or an old header without a body
  bodyInPerm,   // perm data while perm space is not absorbed
  bodyInBlock,  // large or fixed space (sizeField 253, 254)
};

static BodyKind bodyKindOf(const ObjectHeader* h) {
  uint32_t s = sizeFieldOf(h);
  if (s == sizeFieldLarge || s == sizeFieldFixed) return bodyInBlock;
  if (isNewObject(oopOf(h))) return bodyInNew;
  if (h->dataPtr != 0 && !permSpaceAbsorbed && addressInPermData(h->dataPtr)) return bodyInPerm;
  return bodyInOld;
}

// What one header receives from the other: the other's body itself, or a fresh copy made
// under a scratch header (class 22) that is let go once the exchange is done.
struct Transfer {
  ObjectHeader* from;     // the header whose contents move
  ObjectHeader* to;       // the header receiving them
  BodyKind kind;          // of from's body
  ObjectHeader* scratch;  // holder of the fresh body, or null when the body moves itself
  uint64_t scratchSpan;   // words after a new-space scratch header up to the next header
};

static bool allocationRefused() {
  if (becomeFailAllocationAt < 0) return false;
  return becomeFailAllocationAt-- == 0;
}

// Words from a new header's +16 to the next header (its inline size word and body).
static uint64_t newSpanWords(ObjectHeader* h) {
  writeNewSpaceEndMarkers();
  return (oopOf(nextNewSpaceHeader(h)) - oopOf(h) - objectHeaderBytes) / 8;
}

// A fresh body of bytes for a new header: new space, or large space for a body without
// pointers past the small-object limit.
static ObjectHeader* newScratch(uint64_t bytes, bool ptrs) {
  if (allocationRefused()) return nullptr;
  if (!ptrs && bytes > smallBodyLimitBytes) return allocInLargeSpace(classIndexByteArray, bytes, 0, noFill);
  ObjectHeader* s = allocInEdenInline(classIndexByteArray, 0, bytes, 0, noFill);
  return s != nullptr ? s : allocInNewSpace(classIndexByteArray, 0, bytes, 0, noFill);
}
static ObjectHeader* oldScratch(uint64_t bytes) {
  if (allocationRefused()) return nullptr;
  return allocInOldSpace(classIndexByteArray, 0, bytes, 0, noFill, 0);
}

static void freeScratch(ObjectHeader* s) {
  if (isNewObject(oopOf(s))) recycleNewObj(s);
  else recycleOldObj(s);
}

// Makes the fresh body of t when from's body cannot move to t.to as it is. 0 when refused.
static bool prepareTransfer(Transfer* t) {
  bool toNew = isNewObject(oopOf(t->to));
  t->scratch = nullptr;
  if (t->kind == bodyInBlock || (t->kind == bodyInOld && !toNew)) return true;
  uint64_t bytes = bodyBytesOf(t->from);
  t->scratch = toNew ? newScratch(bytes, hasPtrs(t->from)) : oldScratch(bytes);
  if (t->scratch == nullptr) return false;
  t->scratchSpan = isNewObject(oopOf(t->scratch)) ? newSpanWords(t->scratch) : 0;
  if (bytes > 0) memcpy(bodyOf(t->scratch), bodyOf(t->from), bytes);
  return true;
}

// Remembered-table duties, made before any header changes: perm objects enter the old
// table; an old header receiving pointers that may refer to new space enters the table.
static bool registerForExchange(const Transfer* t) {
  ObjectHeader *from = t->from, *to = t->to;
  if (isPermObject(to) && !isInOldRt(to) && !registerInOldRt(to)) return false;
  if (isNewObject(oopOf(to)) || inRt(to) || !hasPtrs(from) || bodyWordsOf(from) == 0) return true;
  if (isNewObject(oopOf(from)) || inRt(from)) return registerInRt(to) != 0;
  return true;
}

static void reRegisterBlock(ObjectHeader* owner, ObjectHeader* to) {
  if (sizeFieldOf(owner) == sizeFieldLarge) reRegisterLargeObj(owner, to);
  else reRegisterFixedObj(owner, to);
}

void swapHeaderContents(ObjectHeader* a, ObjectHeader* b, int withBodies) {
  uint64_t fa = a->flags, fb = b->flags;
  a->flags = (fa & ~becomeMovedFlags) | (fb & becomeMovedFlags);
  b->flags = (fb & ~becomeMovedFlags) | (fa & becomeMovedFlags);
  if (!withBodies) return;
  uint64_t d = a->dataPtr;
  a->dataPtr = b->dataPtr;
  b->dataPtr = d;
}

// A new header whose inline body went away: a skip marker at +16 spans the old body so
// that new space stays walkable.
static void leaveNewBody(const ObjectHeader* before, ObjectHeader* h) {
  uint64_t next = oopOf(h) + objectHeaderBytes;
  if (before->dataPtr - (hasSizeWord(before) ? 8 : 0) != next) return;  // already detached
  uint64_t span = bodyWordsOf(before) + (hasSizeWord(before) ? 1 : 0);
  if (span > 0) *reinterpret_cast<uint64_t*>(next) = span * 8 | 7;
}

// Gives back what t.from's former body occupied, once t.to holds its contents.
static void releaseFormerBody(const Transfer* t, const ObjectHeader* before) {
  if (t->scratch == nullptr || t->kind == bodyInBlock) return;
  if (t->kind == bodyInNew) return leaveNewBody(before, t->from);
  uint64_t extra = hasSizeWord(before) ? 1 : 0;
  if (before->dataPtr != 0) recycleNonNewData(t->from, before->dataPtr - extra * 8, bodyWordsOf(before) + extra);
}

// Installs the fresh body (if any) in t.to and lets the scratch header go.
static void installBody(const Transfer* t) {
  ObjectHeader* s = t->scratch;
  if (s == nullptr) return;
  t->to->dataPtr = s->dataPtr;
  setSizeField(t->to, sizeFieldOf(s));
  if (sizeFieldOf(s) == sizeFieldLarge) reRegisterLargeObj(s, t->to);
  if (isNewObject(oopOf(s))) {
    writeFiller(s, t->scratchSpan);
  } else {
    s->dataPtr = 0;
    setSizeField(s, 0);
    freeOldOtEntry(s);
  }
}

int exchangeObjects(oop a, oop b) {
  if (a == b) return 1;
  ObjectHeader *ha = headerOf(a), *hb = headerOf(b);
  Transfer toB = {ha, hb, bodyKindOf(ha), nullptr, 0}, toA = {hb, ha, bodyKindOf(hb), nullptr, 0};
  if (!prepareTransfer(&toB)) return 0;
  if (!prepareTransfer(&toA)) {
    if (toB.scratch != nullptr) freeScratch(toB.scratch);
    return 0;
  }
  if (!registerForExchange(&toB) || !registerForExchange(&toA)) {
    if (toB.scratch != nullptr) freeScratch(toB.scratch);
    if (toA.scratch != nullptr) freeScratch(toA.scratch);
    return 0;
  }
  // Blocks are parked on copies of their owners while the headers change.
  ObjectHeader ca = *ha, cb = *hb;
  if (toB.kind == bodyInBlock) reRegisterBlock(ha, &ca);
  if (toA.kind == bodyInBlock) reRegisterBlock(hb, &cb);
  swapHeaderContents(ha, hb, 1);
  if (toB.kind == bodyInBlock) reRegisterBlock(&ca, hb);
  if (toA.kind == bodyInBlock) reRegisterBlock(&cb, ha);
  installBody(&toB);
  installBody(&toA);
  releaseFormerBody(&toB, &ca);
  releaseFormerBody(&toA, &cb);
  incGCOtEntriesSwapped(a, b);
  return 1;
}

static bool isBecomeable(oop o) { return isHeapObject(o) && classTagOf(headerOf(o)) > classIndexHybridBlockContext; }

int tryBecome(oop a, oop b) {
  if (!isBecomeable(a) || !isBecomeable(b)) return 0;
  if (!exchangeObjects(a, b)) return 0;
  signalFinalizationSemaphoreIfRequired();
  return 1;
}

int promoteToFixedSpace(oop object) {
  if (!isHeapObject(object)) return 0;
  ObjectHeader* h = headerOf(object);
  if (sizeFieldOf(h) == sizeFieldFixed) return 1;
  if (hasPtrs(h)) return 0;
  uint64_t bytes = byteSizeOf(h);
  ObjectHeader* copy = allocInFixedSpace(classTagOf(h), bytes, 0, noFill);
  if (copy == nullptr) return 0;
  if (bytes > 0) memcpy(bodyOf(copy), bodyOf(h), bytes);
  if (tryBecome(object, oopOf(copy))) return 1;
  recycleObj(oopOf(copy));
  return 0;
}

// ---- Primitives 72 and 172 ---------------------------------------------------------------------

static oop fail(uint32_t code, uint64_t numArgs) { return failPrimitive(primErrorAt(code), numArgs); }

// The exchange with one tenuring retry: both objects are held in the registry's temporary
// slots across the scavenge, which moves them.
static oop exchangeOrTenure(oop r, oop x, uint64_t numArgs) {
  oop result = x;
  if (exchangeObjects(r, x)) {
    signalFinalizationSemaphoreIfRequired();
    return result;
  }
  uint64_t bytes = bodyBytesOf(headerOf(r)) + bodyBytesOf(headerOf(x));
  if (temp1RegisteredOopX < 0 || temp2RegisteredOopX < 0)
    return failPrimitive(cloneErrorWith(primErrorAt(primErrNoSpace), smallIntegerFor(int64_t(bytes))), numArgs);
  commitPrimitive(result);
  registerSysOop(r, uint32_t(temp1RegisteredOopX));
  registerSysOop(x, uint32_t(temp2RegisteredOopX));
  bool ran = scavengeTenuringTheseObjs(r, x) != 0;
  r = sysOop(uint32_t(temp1RegisteredOopX));
  x = sysOop(uint32_t(temp2RegisteredOopX));
  registerSysOop(nilOop(), uint32_t(temp1RegisteredOopX));
  registerSysOop(nilOop(), uint32_t(temp2RegisteredOopX));
  if (ran && exchangeObjects(r, x)) {
    signalFinalizationSemaphoreIfRequired();
    return commitPrimitiveAndHandleRequests(x);
  }
  return failPrimitive(cloneErrorWith(primErrorAt(primErrNoSpace), smallIntegerFor(int64_t(bytes))), numArgs);
}

static bool eitherImmutable(oop a, oop b) { return isImmutable(headerOf(a)) || isImmutable(headerOf(b)); }

static oop p72(oop r, oop x) {
  if (!isBecomeable(r)) return fail(primErrBadReceiver, 1);
  if (!isBecomeable(x)) return fail(primErrBadArgument, 1);
  if (eitherImmutable(r, x)) return fail(primErrImmutable, 1);
  return exchangeOrTenure(r, x, 1);
}

static oop p172(oop, oop a, oop b) {
  if (!isBecomeable(a) || !isBecomeable(b)) return fail(primErrBadArgument, 2);
  if (eitherImmutable(a, b)) return fail(primErrImmutable, 2);
  return exchangeOrTenure(a, b, 2);
}

// ---- Primitive 108: one-way replacement ----------------------------------------------------------

static oop replacedRef, replacementRef;

// The store check of a holder that now refers to x. Registration failures are reported and
// the scan goes on.
static void replacementBarrier(ObjectHeader* holder) {
  oop x = replacementRef;
  if (isImmediate(x) || isNewObject(oopOf(holder))) return;
  // New objects are never marked: the mark stack would keep the address a scavenge leaves.
  if (currentIncGCState == incGCMarking && isMarked(holder) && !isNewObject(x) && !isMarked(headerOf(x))) incMarkObj(x);
  if (isNewObject(x)) {
    if (!inRt(holder) && !registerInRt(holder)) doReportError("Become: cannot remember a holder", errFatal | 1032, becomeFile, __LINE__);
    return;
  }
  if (isPermObject(holder) && !isInOldRt(holder) && !isPermObject(headerOf(x)) && !registerInOldRt(holder))
    doReportError("Become: cannot remember a perm holder", errFatal | 1032, becomeFile, __LINE__);
}

// The remembered tables are left alone: a listed r replaced by a new or immediate x would
// corrupt the next scavenge, and x's holders are registered by the barrier anyway.
static bool isRememberedTable(ObjectHeader* h) {
  if (oopOf(h) == rt.object) return true;
  if (oldRtOop == 0) return false;
  oop s = oldRtOop;
  do {
    if (oopOf(h) == s) return true;
    s = segmentNext(s);
  } while (s != oldRtOop);
  return false;
}

static int replaceInObject(void*, ObjectHeader* h) {
  uint32_t tag = classTagOf(h);
  if (!hasPtrs(h) || tag == classIndexClassTablePage || sizeFieldOf(h) >= sizeFieldLarge) return 0;
  if (isRememberedTable(h)) return 0;
  oop r = replacedRef, x = replacementRef;
  if (tag <= classIndexHybridBlockContext) {
    for (uint64_t i = bodyWordsOf(h); i-- > 0;)
      if (stackHooks.loadContextInstVar(oopOf(h), i * 8) == r) stackHooks.storeContextInstVar(oopOf(h), x, uint32_t(i));
    return 0;
  }
  bool changed = false;
  oop* body = bodyOf(h);
  for (uint64_t i = 0, n = bodyWordsOf(h); i < n; i++)
    if (body[i] == r) body[i] = x, changed = true;
  if (changed) replacementBarrier(h);
  return 0;
}

static void replaceStackSlot(oop* slot) {
  if (*slot == replacedRef) *slot = replacementRef;
}

void replaceEveryReference(oop r, oop x) {
  replacedRef = r, replacementRef = x;
  stackHooks.stackEnumerateRefsForGC(replaceStackSlot);
  scanReferentsOf(r, replaceInObject, nullptr, nullptr);
  replacedRef = replacementRef = 0;
}

int discardNMethodsReferringTo(oop r) {
  int n = codeHooks.markNMethodsAsNotReferringTo(r);
  if (n == 0) return 1;
  if (!stackHooks.stabilizeAllStacks()) return 0;
  codeHooks.unlinkAndFreeUnmarkedNMethods(uint32_t(n));
  return 1;
}

static oop p108(oop r, oop x) {
  if (!isBecomeable(r)) return fail(primErrBadReceiver, 1);
  if (r == x) return x;
  commitPrimitive(x);
  oop k = stackHooks.suspendTopContext();
  if (!discardNMethodsReferringTo(r)) {
    stackHooks.resumeContext(k);
    return fail(primErrNoSpace, 1);
  }
  replaceEveryReference(r, x);
  stackHooks.resumeContext(k);
  return commitPrimitiveAndHandleRequests(x);
}

void initBecomePrims() {
  addCPrimitive(72, reinterpret_cast<const void*>(p72), 1);
  addCPrimitive(108, reinterpret_cast<const void*>(p108), 1);
  addCPrimitive(172, reinterpret_cast<const void*>(p172), 2);
}
