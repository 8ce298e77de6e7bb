// Object memory: the incremental collector's marking step used by the write barrier.
// Owns currentIncGCState, incMarkStackOop, incGCMarkOverflow and the mark counters.
// Prefix: none (incMarkObj).
#include "mman/mmIncGC.h"

#include "mman/mmOopStack.h"
#include "mman/mmPending.h"
#include "mman/mmSysOop.h"

uint8_t currentIncGCState = incGCResting;
oop incMarkStackOop;
uint32_t incGCMarkOverflow;
uint64_t incGCMarkCount;
uint64_t incGCMarkBytes;

static uint64_t blockBytes(const ObjectHeader* h) {
  if (h->dataPtr == 0 || sizeFieldOf(h) >= sizeFieldLarge) return 0;
  return bodyBytesOf(h) + (hasSizeWord(h) ? 8 : 0);
}

// Objects with nothing to scan are finished here; the rest wait on the mark stack.
void incMarkObj(oop o) {
  ObjectHeader* h = headerOf(o);
  if ((!hasPtrs(h) || h->dataPtr == 0) && !scavengeInProgress) {
    incGCMarkCount += 1;
    incGCMarkBytes += blockBytes(h);
    oop cls = classOfHeader(h);
    if (!isImmediate(cls) && !isNewObject(cls) && !isPermObject(headerOf(cls)) &&
        !isMarked(headerOf(cls)))
      incMarkObj(cls);
    setFlag(h, isMarkedBit);
    return;
  }
  if (incMarkStackOop == 0 || !pushOopStack(&incMarkStackOop, o)) incGCMarkOverflow = 1;
  setFlag(h, isMarkedBit);
}
