// Object memory: the remembered table and the old remembered table, and the store check's
// slow paths. Owns rt and oldRtOop.
// Prefix: none (registerInRt, registerInOldRt, updateRtPtrs, shrinkRt, ...).
#include "mman/mmRt.h"

#include <cinttypes>

#include "mman/mmOldSpace.h"
#include "mman/mmOopStack.h"
#include "mman/mmPending.h"
#include "mman/mmSysOop.h"

RememberedTable rt;
oop oldRtOop;

void reportStoreCheckFailure(const char* file, int line) {
  doReportError(nullptr, storeCheckFailureCode, file, line);
}

// The soft limit sits 10 slots below the end while a tenth of the table is still free
// beyond FFS.
void computeRtWarning() {
  uint64_t n = (rt.end - rt.start) / 8;
  uint64_t margin = rt.end - rtWarningGapSlots * 8;
  rt.wt = rt.end >= rt.start + rtWarningGapSlots * 8 && rt.ffs + (n / 10) * 8 < margin ? margin : rt.end;
}

void updateRtPtrs(int reload) {
  uint64_t ffsOffset = rt.ffs - rt.start, fssOffset = rt.fss - rt.start;
  bool fssInUse = rt.fss != 0;
  if (reload) rt.object = sysOop(sysRt);
  ObjectHeader* h = headerOf(rt.object);
  rt.start = h->dataPtr;
  rt.end = rt.start + (h->dataPtr == 0 ? 0 : bodyBytesOf(h));
  rt.ffs = rt.start + ffsOffset;
  rt.fss = fssInUse ? rt.start + fssOffset : 0;
  computeRtWarning();
}

// Past the soft limit the next scavenge is asked to empty the table; at the hard limit the
// table grows.
int registerInRt(ObjectHeader* h) {
  if (inRt(h)) return 1;
  if (rt.object == 0) return 0;
  if (rt.ffs >= rt.wt) {
    rt.wt = rt.end;
    if ((rt.end - rt.start) / 8 > (pastSpace.end - pastSpace.start) / 8) {
      if (!scavengeInProgress) setRequest(requestScavenge);
      tenureToShrinkRememberedTable = 1;
    }
  }
  if (rt.ffs >= rt.end) {
    growOldObject(headerOf(rt.object), rtGrowSlots, 1);
    updateRtPtrs(0);
    if (rt.ffs >= rt.end) return 0;
  }
  *reinterpret_cast<oop*>(rt.ffs) = oopOf(h);
  rt.ffs += 8;
  setFlag(h, inRtBit);
  return 1;
}

int registerInOldRt(ObjectHeader* h) {
  if (isInOldRt(h)) return 1;
  if (oldRtOop == 0) {
    oldRtOop = createOopStack();
    if (oldRtOop == 0) return 0;
    cacheOldRtOop();
  }
  if (!pushOopStack(&oldRtOop, oopOf(h))) return 0;
  setFlag(h, isInOldRtBit);
  return 1;
}

void canonicalizeRt() {
  for (uint64_t a = rt.ffs; a < rt.end; a += 8) *reinterpret_cast<oop*>(a) = 0;
}

void shrinkRt() {
  if (rt.object == 0) return;
  uint64_t spare = (rt.end - rt.ffs) / 8;
  if (rt.end - rt.start <= rtShrinkMinBytes || spare <= rtShrinkKeepSlots) return;
  shrinkOldObject(headerOf(rt.object), spare - rtShrinkKeepSlots, 0);
  updateRtPtrs(0);
}

// Drops the entries keep refuses, moving the last entry into each hole.
static void compactRt(bool (*keep)(ObjectHeader*)) {
  oop* e = reinterpret_cast<oop*>(rt.start);
  uint64_t n = (rt.ffs - rt.start) / 8;
  for (uint64_t i = 0; i < n;) {
    ObjectHeader* h = headerOf(e[i]);
    if (keep(h)) {
      i++;
      continue;
    }
    clearFlag(h, inRtBit);
    e[i] = e[--n];
  }
  rt.ffs = rt.start + n * 8;
  computeRtWarning();
}

void noPermCompactRt() {
  compactRt([](ObjectHeader* h) { return isMarked(h); });
}
void skipPermCompactRt() {
  compactRt([](ObjectHeader* h) { return isMarked(h) || isPermObject(h); });
}

void sweepRt() {
  for (uint64_t a = rt.start; a < rt.ffs; a += 8) {
    oop* e = reinterpret_cast<oop*>(a);
    ObjectHeader* h = headerOf(*e);
    if (!isNewObject(*e) && !isPermObject(h) && isMarked(h)) *e = h->dataPtr;
  }
}

uint64_t objReallyInRt(ObjectHeader* h) {
  for (uint64_t a = rt.start; a < rt.ffs; a += 8)
    if (*reinterpret_cast<oop*>(a) == oopOf(h)) return (a - rt.start) / 8 + 1;
  return 0;
}

void printRtUsageTo(FILE* stream) {
  fprintf(stream, "\t0 [FSS (%s): %" PRIu64 ", FFS: %" PRIu64 ", WT: %" PRIu64 "] %" PRIu64 " @ 0x%x\n",
          rt.fss != 0 ? "in use" : "unused", rt.fss == 0 ? 0 : (rt.fss - rt.start) / 8,
          (rt.ffs - rt.start) / 8, (rt.wt - rt.start) / 8, (rt.end - rt.start) / 8,
          unsigned(rt.start & 0xFFFFFFFF));
}

// ---------------------------------------------------------------------------------------
// The old remembered table.

static void dropFromOldRt(oop entry) { clearFlag(headerOf(entry), isInOldRtBit); }

void noPermCompactOldRt() {
  if (oldRtOop == 0) return;
  enumOopStack(&oldRtOop, [](oop e) { return int(isMarked(headerOf(e))); }, dropFromOldRt);
}

void emptyOldRt() {
  if (oldRtOop == 0) return;
  emptyOopStack(&oldRtOop, [](oop) { return 0; }, dropFromOldRt);
}

void shrinkOldRt() {
  if (oldRtOop != 0) shrinkOopStack(&oldRtOop);
}

void cacheOldRtOop() { registerSysOop(oldRtOop != 0 ? oldRtOop : nilOop(), sysOldRt); }

int objReallyInOldRt(ObjectHeader* h) { return oldRtOop == 0 || oopOnOopStack(oopOf(h), &oldRtOop); }

void printOldRtUsageTo(FILE* stream) {
  if (oldRtOop == 0) {
    fprintf(stream, "no oldRt");
    return;
  }
  fprintf(stream, "\t%" PRIu64 " total slots, %" PRIu64 " used slots\n", totalEntriesInOopStack(&oldRtOop),
          liveEntriesInOopStack(&oldRtOop));
}
