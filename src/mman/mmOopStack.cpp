// Object memory: oop stacks: segment allocation, the push and pop slow paths, enumeration,
// release and the per-segment walks. Owns no global. Prefix: none (createOopStack, ...).
#include "mman/mmOopStack.h"

#include <cassert>

#include "mman/mmIncGC.h"
#include "mman/mmOldSpace.h"
#include "mman/mmSysOop.h"

oop createOopStack() {
  ObjectHeader* h = allocInOldSpace(classIndexByteArray, 0, oopStackSegmentBytes, 0, 1, 1);
  if (h == nullptr) return 0;
  oop seg = oopOf(h);
  oop* body = bodyOf(h);
  body[oopStackCountWord] = 0;
  body[oopStackNextWord] = seg;
  body[oopStackPrevWord] = seg;
  if (currentIncGCState == incGCMarking) setFlag(h, isMarkedBit);
  return seg;
}

// The top is full: the next segment becomes the top when it is an empty spare, else a new
// segment is linked in after the top.
int pushOopStackCallout(oop* ref) {
  oop top = *ref, next = segmentNext(top);
  if (next != top && segmentCount(next) == 0) {
    *ref = next;
    return 1;
  }
  oop seg = createOopStack();
  if (seg == 0) return 0;
  segmentBody(seg)[oopStackNextWord] = next;
  segmentBody(seg)[oopStackPrevWord] = top;
  segmentBody(top)[oopStackNextWord] = seg;
  segmentBody(next)[oopStackPrevWord] = seg;
  *ref = seg;
  return 1;
}

// The top emptied: the previous segment becomes the top when it holds entries; the bottom
// segment stays the top of an empty stack.
void popOopStackCallout(oop* ref) {
  oop prev = segmentPrev(*ref);
  if (prev != *ref && segmentCount(prev) != 0) *ref = prev;
}

oop oopStackBottom(oop top) {
  for (oop s = segmentNext(top); s != top; s = segmentNext(s))
    if (segmentCount(s) != 0) return s;
  return top;
}

// Below the top every segment of the stack is full; a segment that is not is the top, or a
// top that emptied while it was being enumerated.
static bool isLastSegment(oop* ref, oop seg) {
  return seg == *ref || segmentCount(seg) < oopStackEntries;
}

// Removes the entry at (seg, i) after drop: the entry popped from the top takes its place
// unless it was itself the last entry.
static void fillHoleFromTop(oop* ref, oop seg, uint64_t i) {
  oop top = *ref;
  bool isLast = seg == top && i + 1 == segmentCount(top);
  oop last = popOopStack(ref);
  if (!isLast) segmentBody(seg)[oopStackFirstEntry + i] = last;
}

// From the bottom up; a dropped entry's place takes the entry popped from the top, which is
// then tested there.
void enumOopStack(oop* ref, OopStackTest test, OopStackDrop drop) {
  oop seg = oopStackBottom(*ref);
  uint64_t i = 0;
  for (;;) {
    if (i >= segmentCount(seg)) {
      if (isLastSegment(ref, seg)) return;
      seg = segmentNext(seg);
      i = 0;
      continue;
    }
    oop entry = segmentBody(seg)[oopStackFirstEntry + i];
    if (test(entry)) {
      i++;
      continue;
    }
    drop(entry);
    fillHoleFromTop(ref, seg, i);
  }
}

uint64_t incEnumOopStack(oop* ref, OopStackStepTest test, OopStackDrop drop, uint64_t position,
                         uint64_t limit, int* done) {
  oop seg = oopStackBottom(*ref);
  for (uint64_t k = position / oopStackEntries; k > 0 && seg != *ref; k--) seg = segmentNext(seg);
  uint64_t i = position % oopStackEntries, visited = 0;
  int stop = 0;
  *done = 0;
  while (visited < limit && !stop) {
    if (i >= segmentCount(seg)) {
      if (isLastSegment(ref, seg)) {
        *done = 1;
        return position;
      }
      seg = segmentNext(seg);
      i = 0;
      continue;
    }
    oop entry = segmentBody(seg)[oopStackFirstEntry + i];
    visited++;
    if (test(entry, &stop)) {
      i++;
      position++;
      continue;
    }
    drop(entry);
    fillHoleFromTop(ref, seg, i);
  }
  return position;
}

uint64_t incEnumOopStackNBL(oop* ref, OopStackStepTest test, OopStackDrop drop, uint64_t position,
                            int* done) {
  return incEnumOopStack(ref, test, drop, position, ~uint64_t(0), done);
}

// Cuts a segment's body away; the header is left for the collector.
static void releaseSegment(oop seg) { shrinkOldObject(headerOf(seg), oopStackSegmentWords, 0); }

void emptyOopStack(oop* ref, OopStackTest test, OopStackDrop drop) {
  enumOopStack(ref, test, drop);
  oop top = *ref;
  for (oop s = segmentNext(top); s != top;) {
    oop next = segmentNext(s);
    releaseSegment(s);
    s = next;
  }
  oop* body = segmentBody(top);
  body[oopStackCountWord] = 0;
  body[oopStackNextWord] = body[oopStackPrevWord] = top;
}

void shrinkOopStack(oop* ref) {
  oop top = *ref;
  for (oop s = segmentNext(top); s != top;) {
    oop next = segmentNext(s);
    if (segmentCount(s) == 0) {
      oop prev = segmentPrev(s);
      segmentBody(prev)[oopStackNextWord] = next;
      segmentBody(next)[oopStackPrevWord] = prev;
      releaseSegment(s);
    }
    s = next;
  }
}

void releaseOopStack(oop* ref) {
  oop top = *ref;
  *ref = 0;
  if (top == 0) return;
  oop s = top;
  do {
    oop next = segmentNext(s);
    releaseSegment(s);
    s = next;
  } while (s != top);
}

void recycleOopStack(oop seg) {
  if (seg == 0) return;
  oop s = seg;
  do {
    oop next = segmentNext(s);
    recycleOldObj(headerOf(s));
    s = next;
  } while (s != seg);
}

// During compaction: links and entries that moved are replaced by their new location.
void sweepOopStack(oop* ref) {
  oop top = *ref, s = top;
  do {
    oop* body = segmentBody(s);
    oop next = body[oopStackNextWord];
    for (uint64_t w = oopStackNextWord; w < oopStackFirstEntry + body[oopStackCountWord]; w++)
      body[w] = movedEntry(body[w]);
    s = next;
  } while (s != top);
  *ref = movedEntry(top);
}

void noPermMarkOopStack(oop seg) {
  oop s = seg;
  do {
    setFlag(headerOf(s), isMarkedBit);
    s = segmentNext(s);
  } while (s != seg);
}

void skipPermMarkOopStack(oop seg) {
  oop s = seg;
  do {
    if (!isPermObject(headerOf(s))) setFlag(headerOf(s), isMarkedBit);
    s = segmentNext(s);
  } while (s != seg);
}

int objIsOopStackSeg(oop* ref, oop o) {
  oop s = *ref;
  do {
    if (s == o) return 1;
    s = segmentNext(s);
  } while (s != *ref);
  return 0;
}

uint64_t totalEntriesInOopStack(oop* ref) {
  uint64_t n = 0;
  oop s = *ref;
  do {
    n += oopStackEntries;
    s = segmentNext(s);
  } while (s != *ref);
  return n;
}

uint64_t liveEntriesInOopStack(oop* ref) {
  uint64_t n = 0;
  oop s = *ref;
  do {
    n += segmentCount(s);
    s = segmentNext(s);
  } while (s != *ref);
  return n;
}

int oopOnOopStack(oop o, oop* ref) {
  oop s = *ref;
  do {
    oop* body = segmentBody(s);
    for (uint64_t w = oopStackNextWord; w < oopStackFirstEntry + body[oopStackCountWord]; w++)
      if (body[w] == o) return 1;
    s = segmentNext(s);
  } while (s != *ref);
  return 0;
}
