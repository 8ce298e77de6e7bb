// Object memory: finalization and ephemeron queue (its start-up; queueing comes later).
// Owns the queue window finalQueueBase..finalQueueEnd. Prefix: none (initFinalQueue).
#include "mman/mmFinal.h"

#include "ext/exError.h"
#include "mman/mmOldSpace.h"
#include "mman/mmSysOop.h"

uint64_t finalQueueBase, finalQueueRead, finalQueueWrite, finalQueueEnd;
int64_t finalQueueOverflow;
int64_t finalizationSemaphoreX = -1;

// The queue is weak (isGCSpecial), so entries that die before they are fetched are cleared.
static oop newFinalQueue() {
  oop cls = sysOop(sysWeakArrayClass);
  if (isImmediate(cls) || cls == nilOop()) return 0;  // no class to make it from
  uint64_t named = formatNamedSlots(classFormatOf(cls));
  ObjectHeader* h = allocInOldSpace(hashOf(headerOf(cls)), named, (named + finalQueueInitialSlots) * 8,
                                    hasPtrsBit | isGCSpecialBit, nilOop(), 1);
  return h == nullptr ? 0 : oopOf(h);
}

void initFinalQueue() {
  if (sysOop(sysFinalQueue) == nilOop()) {
    oop queue = newFinalQueue();
    if (queue == 0) doReportError("Unable to create finalization queue.", errFatal | 6, "src/mman/mmFinal", 440);
    registerSysOop(queue, sysFinalQueue);
  }
  ObjectHeader* h = headerOf(sysOop(sysFinalQueue));
  uint64_t body = h->dataPtr, named = indexabilityOf(h);
  if (named == indexabilityAskClass) named = formatNamedSlots(classFormatOf(classOfHeader(h)));
  finalQueueBase = finalQueueRead = body + named * 8;
  finalQueueEnd = body + bodyWordsOf(h) * 8;
  if (finalQueueBase > finalQueueEnd) finalQueueBase = finalQueueRead = finalQueueEnd;
  finalQueueWrite = finalQueueBase;
  while (finalQueueWrite < finalQueueEnd && *reinterpret_cast<oop*>(finalQueueWrite) != nilOop())
    finalQueueWrite += 8;
  finalQueueOverflow = 0;
}
