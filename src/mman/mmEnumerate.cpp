// Object memory: heap scans.
// Owns no global record. Prefix: none.
#include "mman/mmEnumerate.h"

#include "ext/exError.h"
#include "ext/exPrimTable.h"
#include "mman/mmAllocate.h"
#include "mman/mmHooks.h"
#include "mman/mmIncGC.h"
#include "mman/mmInit.h"
#include "mman/mmNewSpace.h"
#include "mman/mmPermSpace.h"
#include "mman/mmPrimUtil.h"
#include "mman/mmRt.h"
#include "mman/mmScavenge.h"
#include "mman/mmSysOop.h"

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
    if ((context && i <= ctxContents ? stackHooks.contextInstVarNoReify(oopOf(h), uint32_t(i)) : bodyOf(h)[i]) == target)
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
