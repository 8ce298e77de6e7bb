// Object memory: the remembered tables and the store check (write barrier).
// Owns rt (the remembered table's record) and oldRtOop (the old remembered table).
// Prefix: none (storeCheck, registerInRt, registerInOldRt, ...).
#pragma once
#include <cstdint>
#include <cstdio>

#include "ext/exError.h"
#include "mman/mmIncGC.h"
#include "mman/mmObject.h"

// The remembered table (RT) lists old objects that may refer to new ones; the old remembered
// table lists perm objects that may refer to old, non-perm ones. Invariants, asserted by the
// heap verifier: "no old-to-new reference without a remembered entry" and "inRt (isInOldRt)
// is set exactly on the objects listed".
struct RememberedTable {
  oop object;     // the RT Array (registry slot 32)
  uint64_t start; // byte address of its first body slot
  uint64_t ffs;   // first free slot: entries occupy [start, ffs)
  uint64_t fss;   // end of the scavenger's weak partition; 0 outside a scavenge
  uint64_t wt;    // warning threshold (soft limit)
  uint64_t end;   // byte address after the body
  uint64_t scan;  // scavenger: entries [0, scan) are scanned (an index: the body may move)
};
extern RememberedTable rt;
extern oop oldRtOop;  // top segment of the old RT's oop stack, 0 when there is none

enum : uint32_t {
  rtGrowSlots = 5000,
  rtShrinkKeepSlots = 5000,
  rtShrinkMinBytes = 2048,
  rtWarningGapSlots = 10,
  storeCheckFailureCode = errFatal | 8,  // 0x408: a registration the barrier could not make
};

int registerInRt(ObjectHeader* h);
int registerInOldRt(ObjectHeader* h);
// The fatal report of a registration that failed; the store has been made.
void reportStoreCheckFailure(const char* file, int line);

// The barrier for an old or perm value: keeps the incremental collector's invariant (a marked
// holder never refers to an unmarked object) and records perm holders of old values. The
// state is tested last: unmarked holders (every old one at rest) skip the value's header, and
// marked values skip the state.
inline void storeCheckOld(ObjectHeader* holder, oop value, const char* file, int line) {
  ObjectHeader* v = headerOf(value);
  if (isMarked(holder) && !isMarked(v) && currentIncGCState == incGCMarking) incMarkObj(value);
  if ((holder->flags & (isPermBit | isInOldRtBit)) == isPermBit && !permSpaceAbsorbed &&
      !isPermHeader(v) && !registerInOldRt(holder))
    reportStoreCheckFailure(file, line);
}

// Runs after value was stored into holder.
inline void storeCheck(ObjectHeader* holder, oop value, const char* file, int line) {
  if (isImmediate(value) || isNewObject(oopOf(holder))) return;
  if (isNewObject(value)) {
    if (!inRt(holder) && !registerInRt(holder)) reportStoreCheckFailure(file, line);
    return;
  }
  storeCheckOld(holder, value, file, line);
}

#define STORE_CHECK(holder, value) storeCheck((holder), (value), __FILE__, __LINE__)

// Stores value into slot index of holder and applies the barrier.
inline void storeSlot(oop holder, uint64_t index, oop value, const char* file, int line) {
  ObjectHeader* h = headerOf(holder);
  bodyOf(h)[index] = value;
  storeCheck(h, value, file, line);
}

void computeRtWarning();

// ---- After loading an image -------------------------------------------------------------
// The body of the image was byte-order repaired and relocated before these run; initPerm is
// set when perm space kept its place while other spaces moved, so that perm objects listed
// in the tables (the only perm objects that can refer outside perm space) still hold saved
// references. Loading relocates every object's slots once: these relocate only what the
// relocation walk did not reach.
// Relocates a perm object's body pointer and its non-immediate slots; answers 1.
int initPermObj(ObjectHeader* h);
// The RT from registry slot 32: FFS at the first 0 entry, FSS 0, WT by the rule.
void initRt(int initPerm);
// The old RT from registry slot 33 (none when nil): its segments' links and entries are
// relocated (its segments hold no pointers, so no walk reached them); with swapped the
// words are first put back into this machine's order.
void initOldRt(int swapped, int initPerm);
// An oop stack's ring after loading, from its top segment: each segment's body pointer (perm,
// with initPerm), words (swapped) and links and entries are made good; a ring that does not
// close, or that leads outside the loaded tables, is a bad image.
void initOopStack(int swapped, int initPerm, oop top);
// A new old RT of every perm object that refers to old space; answers 1, or 0 (nothing kept)
// when a segment could not be had.
int createOldRt();
void canonicalizeRt();
void updateRtPtrs(int reload);
void shrinkRt();
void noPermCompactRt();
void skipPermCompactRt();
void sweepRt();
uint64_t objReallyInRt(ObjectHeader* h);
void printRtUsageTo(FILE* stream);

// Quick compaction: perm entries whose bodies lie in old data get their blocks threaded like
// old objects' (the body's first word points back to the header).
void scanOldRtCreatingBackPtrs();
// After compaction: the old RT's top segment is stored again in registry slot 33.
void updateOldRtPtrs(int compacting);
void noPermCompactOldRt();
// After a collection (before perm space is restored): keeps the entries that are perm by their
// header bit and still hold an old, non-perm object.
void sweepOldRt();
void emptyOldRt();
void shrinkOldRt();
void cacheOldRtOop();
// The incremental collector's resumable walk over the old RT: positions count from the
// bottom, so entries pushed between quanta are met. The prepare step restarts the walk,
// stores the table in registry slot 33 and marks its segments. Each step answers 1 once the
// end is reached, with the entries visited in *visited; an entry that no longer refers to
// an old object is dropped.
extern uint64_t oldRtIncPosition;
void prepareOldRtForIncMark();
int incMarkOldRtEntries(uint64_t limit, uint64_t* visited);
int incMarkOldRtEntriesNBL(uint64_t* visited);
int objReallyInOldRt(ObjectHeader* h);
void printOldRtUsageTo(FILE* stream);
