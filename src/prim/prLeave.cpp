// Engine control: primitives that leave the engine or stop in the debugger, and the
// child-status Semaphore. Owns childStatusSemaphoreX. Prefix: none (init...Primitives).
#include "prim/prLeave.h"

#include "ext/exError.h"
#include "ext/exInit.h"
#include "ext/exOption.h"
#include "ext/exPrimTable.h"
#include "ext/exRequest.h"
#include "ext/platform.h"
#include "mman/mmNewSpace.h"
#include "mman/mmOldSpace.h"
#include "mman/mmPermSpace.h"
#include "mman/mmPrimUtil.h"
#include "mman/mmSysOop.h"
#include "stack/scheduler.h"

// ---- Leaving the engine and stopping in the debugger -------------------------------------

int64_t childStatusSemaphoreX = -1;

// Stops the process where an attached debugger takes over, on either platform.
static void invokeDebugger() { __builtin_trap(); }

static oop primQuit(oop receiver) {
  (void)receiver;
  vmExit(0);
}

static oop primDebugger(oop receiver) {
  invokeDebugger();
  return receiver;
}

// The platform keeps the status's low byte (0 becomes 9 when the status was not 0).
static oop primQuitWithStatus(oop receiver, oop status) {
  (void)receiver;
  if (!isSmallInteger(status)) return failPrimitive(primErrorAt(primErrBadArgument), 1);
  vmExit(uint64_t(smallIntegerValue(status)));
}

// A valid reference is immediate, or an untagged address of a header in the allocated part
// of eden, in a survivor space, or in the used part of an object table.
static bool isValidReference(oop o) {
  if (isImmediate(o)) return true;
  if (!isHeapObject(o)) return false;
  if (o >= eden.start && o < eden.allocPtr) return true;
  if (o >= pastSpace.start && o < pastSpace.top) return true;
  if (o >= futureSpace.start && o < futureSpace.top) return true;
  if (permSpaceExists && o > permSpace.otLow && o <= permSpace.otHigh) return true;
  return addressInOldNewOt(o) != nullptr;
}

static oop primCheckReference(oop receiver, oop object) {
  if (!isValidReference(object)) invokeDebugger();
  return receiver;
}

void initLeavePrimitives() {
  addCPrimitive(113, reinterpret_cast<const void*>(primQuit), 0);
  addCPrimitive(114, reinterpret_cast<const void*>(primDebugger), 0);
  addCPrimitive(117, reinterpret_cast<const void*>(primQuitWithStatus), 1);
  addCPrimitive(118, reinterpret_cast<const void*>(primCheckReference), 1);
}

// ---- The child-status Semaphore ---------------------------------------------------------

static oop primSetChildStatusSemaphore(oop receiver, oop semaphore) {
  if (!isKindOf(semaphore, sysOop(sysSemaphoreClass))) return failPrimitive(primErrorAt(primErrBadArgument), 1);
  if (childStatusSemaphoreX < 0) {
    int64_t slot = allocSysOopSlot();
    if (slot < 0) return failPrimitive(primErrorAt(primErrNoSpace), 1);
    childStatusSemaphoreX = slot;
  }
  registerSysOop(semaphore, uint32_t(childStatusSemaphoreX));
  return receiver;
}

void signalChildStatusSemaphore() {
  if (childStatusSemaphoreX < 0) return;
  oop semaphore = sysOop(uint32_t(childStatusSemaphoreX));
  if (semaphore != nilOop()) asynchSignal(semaphore);
}

void initSignalPrimitives() {
  addCPrimitive(310, reinterpret_cast<const void*>(primSetChildStatusSemaphore), 1);
  setRequestServer(requestChildStatus, signalChildStatusSemaphore);
}
