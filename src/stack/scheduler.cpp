// Execution engine: the process scheduler's machinery (ready lists, Semaphores, the switch, the
// idle loop, the asynchronous signal, the reboot after loading and the process primitives).
// Owns highestReadyPriorityHint, asynchSignalCount and schedulerOps.
// Prefix: none.
#include "ext/exThreads.h"
#include "stack/scheduler.h"

#include "ext/exError.h"
#include "ext/exOption.h"
#include "ext/exPrimTable.h"
#include "ext/exRequest.h"
#include "ext/platform.h"
#include "mman/mmPrimUtil.h"
#include "mman/mmRt.h"
#include "mman/mmSysOop.h"
#include "stack/glue.h"
#include "stack/nsupport.h"
#include "stack/stackframe.h"
#include "stack/stackzone.h"
#include "tran/nmLayout.h"

uint32_t highestReadyPriorityHint;
uint64_t asynchSignalCount;

static oop engineSuspendTop() { return suspendTopContext(); }
static void enginePush(oop value) {
  currentStack[shSp] -= 8;
  *reinterpret_cast<oop*>(currentStack[shSp]) = value;
}
static void engineEnter(void (*entry)()) { entry(); }

const SchedulerOps engineSchedulerOps = {engineSuspendTop, resumeContext, enginePush, engineEnter};
SchedulerOps schedulerOps = engineSchedulerOps;

#define PUT(holder, index, value) storeSlot((holder), (index), (value), SOURCE_NAME, __LINE__)

// ---- Objects ------------------------------------------------------------------------------

static bool hasSlots(oop o, uint64_t n) {
  return isHeapObject(o) && o != 0 && hasPtrs(headerOf(o)) && bodyWordsOf(headerOf(o)) >= n;
}

static oop scheduler() {
  oop s = sysOop(sysProcessor);
  return hasSlots(s, 2) ? s : 0;
}

static oop readyLists() {
  oop s = scheduler();
  if (s == 0) return 0;
  oop lists = slotOf(s, schedulerReadyLists);
  return hasSlots(lists, 1) ? lists : 0;
}

static uint32_t levelCount() {
  oop lists = readyLists();
  return lists == 0 ? 0 : uint32_t(bodyWordsOf(headerOf(lists)));
}

oop highestProcessPriority() { return smallIntegerFor(levelCount()); }

// The process's priority when it names a ready list, else 0.
static uint32_t priorityOf(oop process) {
  if (!hasSlots(process, 4)) return 0;
  oop p = slotOf(process, processPriority);
  if (!isSmallInteger(p) || smallIntegerValue(p) < 1 || smallIntegerValue(p) > int64_t(levelCount())) return 0;
  return uint32_t(smallIntegerValue(p));
}

// The ready list of priority p (1-based), or 0 when it is not a list.
static oop readyList(uint32_t p) {
  oop lists = readyLists();
  if (lists == 0 || p < 1 || p > bodyWordsOf(headerOf(lists))) return 0;
  oop list = slotOf(lists, p - 1);
  return hasSlots(list, 2) ? list : 0;
}

static bool isEmptyList(oop list) { return slotOf(list, listFirstLink) == nilOop(); }

static void appendToList(oop list, oop process) {
  oop last = slotOf(list, listLastLink);
  PUT(process, processNextLink, nilOop());
  if (last == nilOop()) PUT(list, listFirstLink, process);
  else PUT(last, processNextLink, process);
  PUT(list, listLastLink, process);
  PUT(process, processMyList, list);
}

void removeProcessFromList(oop list, oop process) {
  oop previous = nilOop();
  for (oop p = slotOf(list, listFirstLink); p != nilOop(); p = slotOf(p, processNextLink)) {
    if (p != process) {
      previous = p;
      continue;
    }
    oop next = slotOf(p, processNextLink);
    if (previous == nilOop()) PUT(list, listFirstLink, next);
    else PUT(previous, processNextLink, next);
    if (slotOf(list, listLastLink) == process) PUT(list, listLastLink, previous);
    PUT(process, processNextLink, nilOop());
    return;
  }
}

oop removeHighestPriorityProcess(oop list) {
  oop best = nilOop();
  int64_t bestPriority = 0;
  for (oop p = slotOf(list, listFirstLink); p != nilOop(); p = slotOf(p, processNextLink)) {
    oop priority = slotOf(p, processPriority);
    int64_t value = isSmallInteger(priority) ? smallIntegerValue(priority) : 0;
    if (best == nilOop() || value > bestPriority) {
      best = p;
      bestPriority = value;
    }
  }
  if (best == nilOop()) return best;
  removeProcessFromList(list, best);
  PUT(best, processMyList, nilOop());
  return best;
}

static void raiseHint(uint32_t priority) {
  if (priority > highestReadyPriorityHint) highestReadyPriorityHint = priority;
}

void makeProcessReady(oop process) {
  uint32_t p = priorityOf(process);
  oop list = readyList(p);
  if (list == 0) return;
  raiseHint(p);
  appendToList(list, process);
}


oop nextReadyProcess() {
  uint32_t levels = levelCount();
  if (highestReadyPriorityHint > levels) highestReadyPriorityHint = levels;
  for (uint32_t p = highestReadyPriorityHint; p >= 1; p--) {
    oop list = readyList(p);
    if (list == 0) continue;
    for (;;) {
      oop first = slotOf(list, listFirstLink);
      if (first == nilOop()) break;
      oop next = slotOf(first, processNextLink);
      PUT(list, listFirstLink, next);
      if (next == nilOop()) PUT(list, listLastLink, nilOop());
      PUT(first, processNextLink, nilOop());
      PUT(first, processMyList, nilOop());
      if (slotOf(first, processSuspendedContext) == nilOop()) {
        NBAPICheckProcessTermination(first);
        continue;
      }
      highestReadyPriorityHint = p;
      return first;
    }
  }
  highestReadyPriorityHint = 0;
  return 0;
}

// ---- The switch ---------------------------------------------------------------------------

void transferToProcess(uint32_t terminated) {
  oop s = scheduler();
  oop a = slotOf(s, schedulerActiveProcess);
  if (a != nilOop()) PUT(a, processSuspendedContext, terminated ? nilOop() : schedulerOps.suspendTop());
  oop p;
  while ((p = nextReadyProcess()) == 0) {
    // Idle: only an outside event (a signalled Semaphore) can make a process ready.
    PUT(s, schedulerActiveProcess, nilOop());
    currentStack = nullptr;
    if (!isRequested(requestThreadedCalls) && !(qrxOptions & 0x2000)) pdBlockUntilEvent();
    handleAsyncRequests();
  }
  clearRequest(requestProcessSwitch);
  PUT(s, schedulerActiveProcess, p);
  oop k = slotOf(p, processSuspendedContext);
  PUT(p, processSuspendedContext, nilOop());
  schedulerOps.resume(k);
  schedulerOps.enter(backToNcode);
}

void processSwitch() {
  oop a = activeProcess();
  uint32_t p = priorityOf(a);
  oop list = readyList(p);
  if (list == 0) return;  // nothing runs (the idle loop), or a process outside the lists
  raiseHint(p);
  oop first = slotOf(list, listFirstLink);
  PUT(a, processNextLink, first);
  PUT(list, listFirstLink, a);
  if (first == nilOop()) PUT(list, listLastLink, a);
  PUT(a, processMyList, list);
  transferToProcess(0);
}

static oop firstWaiter(oop semaphore) { return slotOf(semaphore, listFirstLink); }

static void addExcessSignal(oop semaphore) {
  oop excess = slotOf(semaphore, semaphoreExcessSignals);
  PUT(semaphore, semaphoreExcessSignals, smallIntegerFor(isSmallInteger(excess) ? smallIntegerValue(excess) + 1 : 1));
}

// The waiter a signal wakes: made ready, and its wait answers instead of running again.
static oop wakeWaiter(oop semaphore) {
  oop w = removeHighestPriorityProcess(semaphore);
  makeProcessReady(w);
  oop context = slotOf(w, processSuspendedContext);
  if (hasSlots(context, ctxContents + 1)) convertRestartToReturn(context);
  return w;
}

void asynchSignal(oop semaphore) {
  asynchSignalCount++;
  if (!hasSlots(semaphore, 3)) return;
  if (firstWaiter(semaphore) == nilOop()) {
    addExcessSignal(semaphore);
    return;
  }
  oop w = wakeWaiter(semaphore);
  oop a = activeProcess();
  if (a == nilOop() || priorityOf(w) > priorityOf(a)) setRequest(requestProcessSwitch);
}

static bool takeExcessSignal(oop semaphore) {
  oop excess = slotOf(semaphore, semaphoreExcessSignals);
  if (!isSmallInteger(excess) || smallIntegerValue(excess) <= 0) return false;
  PUT(semaphore, semaphoreExcessSignals, smallIntegerFor(smallIntegerValue(excess) - 1));
  return true;
}

int waitOnCalloutSemaphore(oop semaphore, oop stackTop) {
  if (takeExcessSignal(semaphore)) return 0;
  appendToList(semaphore, activeProcess());
  commitPrimitiveWithRestart(stackTop);
  transferToProcess(0);
  return 1;
}

oop requestActiveProcessPriority(oop priority) {
  oop a = activeProcess();
  oop old = slotOf(a, processPriority);
  PUT(a, processPriority, priority);
  if (isSmallInteger(priority) && isSmallInteger(old) && smallIntegerValue(priority) < smallIntegerValue(old))
    setRequest(requestProcessSwitch);
  return old;
}

// ---- Reboot -------------------------------------------------------------------------------

[[noreturn]] static void noProcess() {
  doReportError("Image has no processes ready to be activated.", errFatal | errCauseUser, SOURCE_NAME,
                __LINE__);
  pdExit(qrxErrorStatus);
}

void rebootSystem() {
  oop s = scheduler();
  if (s == 0) noProcess();
  oop p = slotOf(s, schedulerActiveProcess);
  if (p == nilOop()) {
    highestReadyPriorityHint = levelCount();
    p = nextReadyProcess();
  }
  if (p == 0 || !hasSlots(p, 4)) noProcess();
  PUT(s, schedulerActiveProcess, p);
  oop k = slotOf(p, processSuspendedContext);
  if (!hasSlots(k, ctxContents + 1)) noProcess();
  PUT(p, processSuspendedContext, nilOop());
  oop sender = slotOf(k, ctxSender);
  if (methodBeginsWithPrimitiveMarker(slotOf(k, ctxMethod)) && slotOf(k, ctxPc) == smallIntegerFor(4) &&
      hasSlots(sender, ctxContents + 1)) {
    // Saved inside a primitive that already answered: the sender receives the answer.
    oop value = topOfStack(k);
    schedulerOps.resume(sender);
    PUT(k, ctxSender, nilOop());
    PUT(k, ctxPc, smallIntegerFor(-int64_t(nMethodCannotResumeEntry)));
    schedulerOps.push(value);
    schedulerOps.enter(inToNcodePopResult);
  } else {
    schedulerOps.resume(k);
    schedulerOps.enter(inToNcode);
  }
  if (schedulerOps.enter == engineSchedulerOps.enter) pdExit(qrxErrorStatus);
}

uint64_t CStackMain;  // the C stack level of the Smalltalk thread

// Runs on the C stack below the stack zone: records the C level of every later glue call and
// enters Smalltalk in the image's process.
static void rebootContinuation() {
  markStack();
  CStackMain = CStack;
  rebootSystem();
}

// The zone lies on the main thread's stack when it fits there with room to spare for the C
// code that runs below it; otherwise in memory of its own.
void enterImage(uint64_t stackSlots) {
  int32_t numStacks = int32_t(stackSlots / stackSegmentWords);
  uint64_t zoneBytes = uint64_t(numStacks) * stackSegmentBytes;
  const uint64_t cStackMargin = 2 << 20;
  if (zoneBytes + cStackMargin <= pdMainStackLimit()) {
    uint64_t zone;
    initStacksOnStack(numStacks, &zone, rebootContinuation);
  } else {
    initStacks(nullptr, numStacks);
    rebootContinuation();
  }
}

// ---- Primitives ---------------------------------------------------------------------------

static oop fail(uint32_t entry, uint64_t numArgs) { return failPrimitive(primErrorAt(entry), numArgs); }

static uint32_t activePriority() { return priorityOf(activeProcess()); }

static oop primSignal(oop semaphore) {
  if (firstWaiter(semaphore) == nilOop()) {
    addExcessSignal(semaphore);
    return semaphore;
  }
  oop w = wakeWaiter(semaphore);
  if (priorityOf(w) > activePriority()) {
    commitPrimitive(semaphore);
    processSwitch();
  }
  return semaphore;
}

static oop primWait(oop semaphore) {
  if (takeExcessSignal(semaphore)) return semaphore;
  appendToList(semaphore, activeProcess());
  commitPrimitiveWithRestart(semaphore);
  transferToProcess(0);
  return semaphore;
}

static oop primResume(oop process) {
  if (!hasSlots(process, 4) || slotOf(process, processMyList) != nilOop() || process == activeProcess() ||
      priorityOf(process) == 0)
    return fail(5, 0);
  makeProcessReady(process);
  if (priorityOf(process) > activePriority()) {
    commitPrimitive(process);
    processSwitch();
  }
  return process;
}

// Suspend: the active process gives way; another leaves its list and keeps its context.
static oop suspendProcess(oop process, uint32_t terminated) {
  if (process == activeProcess()) {
    if (terminated) currentStack[shReceiver] = 0;  // committed, with no frame to return to
    else commitPrimitive(process);
    transferToProcess(terminated);
    return process;
  }
  oop list = hasSlots(process, 4) ? slotOf(process, processMyList) : nilOop();
  if (list == nilOop()) return terminated ? process : fail(5, 0);
  PUT(process, processMyList, nilOop());
  if (hasSlots(list, 2)) removeProcessFromList(list, process);
  return process;
}

static oop primSuspend(oop process) { return suspendProcess(process, 0); }

static oop primTerminate(oop process) {
  NBAPICheckProcessTermination(process);
  return suspendProcess(process, 1);
}

static oop primPriority(oop process, oop priority) {
  if (!isSmallInteger(priority)) return fail(3, 1);
  int64_t p = smallIntegerValue(priority);
  if (p < 1 || p > int64_t(levelCount())) return fail(6, 1);
  if (!hasSlots(process, 4)) return fail(5, 1);
  oop a = activeProcess();
  oop old = slotOf(a, processPriority);
  int64_t activeOld = isSmallInteger(old) ? smallIntegerValue(old) : 0;
  if (process == a) {
    PUT(process, processPriority, priority);
    if (p < activeOld) {
      commitPrimitive(old);
      processSwitch();
    }
    return old;
  }
  oop list = slotOf(process, processMyList);
  if (list == nilOop() || isKindOf(list, sysOop(sysSemaphoreClass))) {
    PUT(process, processPriority, priority);
    return old;
  }
  removeProcessFromList(list, process);
  PUT(process, processMyList, nilOop());
  PUT(process, processPriority, priority);
  makeProcessReady(process);
  if (p > activeOld) {
    commitPrimitive(old);
    processSwitch();
  }
  return old;
}

static oop primYield(oop process) {
  if (process != activeProcess()) return fail(5, 0);
  oop list = readyList(priorityOf(process));
  if (list == 0 || isEmptyList(list)) return process;
  makeProcessReady(process);
  commitPrimitive(process);
  transferToProcess(0);
  return process;
}

void initProcessPrims() {
  addCPrimitive(85, reinterpret_cast<const void*>(primSignal), 0);
  addCPrimitive(86, reinterpret_cast<const void*>(primWait), 0);
  addCPrimitive(87, reinterpret_cast<const void*>(primResume), 0);
  addCPrimitive(88, reinterpret_cast<const void*>(primSuspend), 0);
  addCPrimitive(312, reinterpret_cast<const void*>(primTerminate), 0);
  addCPrimitive(313, reinterpret_cast<const void*>(primYield), 0);
  addCPrimitive(311, reinterpret_cast<const void*>(primPriority), 1);
  setRequestServer(requestProcessSwitch, processSwitch);
}
