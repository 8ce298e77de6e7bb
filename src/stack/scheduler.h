// Execution engine: the process scheduler's machinery. Processes, Semaphores, LinkedLists and the
// ProcessorScheduler are image objects; the engine only moves Processes between the ready
// lists and Semaphores, switches the running one, idles when none can run, and starts the
// image's process after loading. Process primitives 85-88 and 311-313.
// Owns highestReadyPriorityHint, asynchSignalCount and schedulerOps.
// Prefix: none (transferToProcess, processSwitch, asynchSignal, rebootSystem, ...).
#pragma once
#include <cstdint>

#include "mman/mmObject.h"
#include "mman/mmSysOop.h"

// No ready list above this priority holds a process.
extern uint32_t highestReadyPriorityHint;
// Calls of asynchSignal (the collectors' tests read it).
extern uint64_t asynchSignalCount;

// How a switch leaves and enters native code. The engine's: the running segment's top context,
// resumeContext, a push onto the running segment, and a glue entry that never returns. Tests
// put in recorders; with theirs, transferToProcess and rebootSystem return to their callers.
struct SchedulerOps {
  oop (*suspendTop)();
  void (*resume)(oop context);
  void (*push)(oop value);
  void (*enter)(void (*entry)());
};
extern SchedulerOps schedulerOps;               // what the scheduler calls; tests put their own in place
extern const SchedulerOps engineSchedulerOps;  // the engine's own: frames on the stack zone

// The number of priority levels (the size of the ready-lists Array) as a SmallInteger.
oop highestProcessPriority();
void removeProcessFromList(oop list, oop process);
oop removeHighestPriorityProcess(oop list);  // nil for an empty list
oop nextReadyProcess();                      // 0 when none is ready
// Appends the process at the end of the ready list of its priority.
void makeProcessReady(oop process);
void transferToProcess(uint32_t terminated);
void processSwitch();
void asynchSignal(oop semaphore);
// For the C-call primitives, after their restartable commit: takes an excess signal and
// answers 0, or the active process waits (its primitive runs again with stackTop as its top
// of stack) and another runs; 1 comes back only to tests' scheduler operations.
int waitOnCalloutSemaphore(oop semaphore, oop stackTop);
oop requestActiveProcessPriority(oop priority);
void rebootSystem();
// Start-up's last step: builds the stack zone of stackSlots words and reboots into the image's
// active process (kernelHooks.enterImage); returns only when the reboot does.
void enterImage(uint64_t stackSlots);
void initProcessPrims();
