// Object memory: the hooks through which it reaches the layers above it. Each record is
// declared here, with what every entry must do, and defined by the layer that serves it.
// Prefix: none (stackHooks, codeHooks, kernelHooks).
#pragma once
#include <cstdint>

#include "mman/mmObject.h"

// The stack zone, its frames and contexts, and the scheduler (src/stack/stackzone.cpp).
struct StackHooks {
  // Scavenger root scan: every stack slot that refers to new space gets the copy.
  void (*scavengeStacks)();
  // Every frame of every segment made a stable context (become, collections, snapshots);
  // 0 when memory ran short.
  int (*stabilizeAllStacks)();
  // 1 once the zone has allocated segments, which the two walks below need.
  int (*stacksAllocated)();
  // Every object a stack slot refers to; every stack slot.
  void (*stackEnumerateOopsForGC)(void (*fn)(oop object));
  void (*stackEnumerateRefsForGC)(void (*fn)(oop* slot));
  // 1 while a segment runs (a process is in native code).
  int (*stackRunning)();
  // The running segment's top context (made hybrid when it has none), and back: the
  // context's frame becomes the running segment's top frame.
  oop (*suspendTopContext)();
  void (*resumeContext)(oop context);
  // Context slots through the frame of a live hybrid context: read without allocating
  // (slot index 0-5), read as translated code does (byte offset), and stored.
  oop (*contextInstVarNoReify)(oop context, uint32_t index);
  oop (*loadContextInstVar)(oop context, uint64_t byteOffset);
  void (*storeContextInstVar)(oop context, oop value, uint32_t index);
  // Signals a Semaphore from outside the running process's code (collectors, finalization).
  void (*asynchSignal)(oop semaphore);
  // Enters the running process again as a process switch enters it, after a collection
  // moved its frame through a context onto another segment; does not return in the engine.
  void (*reenterRunningProcess)();
};
extern const StackHooks stackHooks;

// The native-method zone, PC maps, the method cache and translated primitives (src/tran/nmalloc.cpp).
struct CodeHooks {
  // Scavenger: native methods' new-space literals follow their objects.
  void (*nmUpdateNewRefs)();
  // Incremental collector: mark the native methods whose method (or selector) is marked.
  // Become: unmark those that refer to object. Both answer 1 when any is left unmarked;
  // then the unmarked ones are freed with the links to them.
  int (*markNMethodsWithMarkedObjs)();
  int (*markNMethodsAsNotReferringTo)(oop object);
  void (*unlinkAndFreeUnmarkedNMethods)(uint32_t anyUnmarked);
  // Global collector: every native method dropped; the zone's code area is scratch memory
  // [low, high) until the collection ends.
  void (*reInitNMethods)();
  void (*scratchNmzBounds)(uint64_t* low, uint64_t* high);
  // Snapshot: every context's native pc mapped back to a bytecode pc; 0 when one cannot be.
  int (*mapAllNPCs)();
  // Finalization: method-cache entries of classes that died are purged.
  void (*purgeDeadClassesFromMCache)();
  // Eden's warning limit changed: inline allocations in native code hold the old one.
  void (*tranNoteEdenWarningThresholdChanged)();
};
extern const CodeHooks codeHooks;

// Start-up's steps above object memory (src/prim/prStartup.cpp).
struct KernelHooks {
  // The translator's hooks, then the native-method zone over [address, address + bytes);
  // 0 when the zone cannot be made.
  int (*initCodeZone)(uint64_t address, uint64_t bytes);
  // Every primitive set, in start-up's fixed order, once the image is loaded.
  void (*registerPrimitives)();
  // Builds the stack zone of stackSlots words and reboots into the image's active process;
  // does not return.
  void (*enterImage)(uint64_t stackSlots);
};
extern const KernelHooks kernelHooks;
