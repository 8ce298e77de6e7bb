// C interface: the objects of threaded calls (the Semaphore and Process tables in the
// registry, the reap of a finished call into its waiting Process) and the thread primitives
// 1051-1056. Owns NBAPITableIndex, nbForeignCallbackProcessX and threadReapHook.
// Prefix: none (initThreadInterface, initThreadPrimitives, nbapiSemaphoreAt).
#pragma once
#include <cstdint>

#include "ext/exThreads.h"
#include "mman/mmObject.h"
#include "mman/mmPrimUtil.h"

extern int64_t NBAPITableIndex;            // registry slot of the Semaphore table; Processes at + 1
extern int64_t nbForeignCallbackProcessX;  // registry slot of the foreign-callback Process; -1 unset

// The platform's conversion of a finished threaded call into result (the preallocated object
// or nil): the answer, or 0 with the record filled. Set by the platform layer.
extern oop (*threadReapHook)(TInfo* t, CallErrorRecord* record, oop result);
// The platform's side of a callback on another thread: the argument object of the record's
// top callback (0 no space, nil not convertible), and the image's answer into its C result.
extern oop (*threadCallbackArgsHook)(TInfo* t);
extern void (*threadCallbackAnswerHook)(TInfo* t, oop answer);

// The Semaphore of the record of index (what a threaded call waits on).
oop nbapiSemaphoreAt(int32_t index);

// Serves threadObjects for the engine, registers request 4's server and primitives
// 1051-1056, and sets the interface up (after the platform has set threadPlatform).
// Sets up the threaded-call interface (InitializeNBAPI); user primitives' start-up calls it.
void initThreadInterface();
void initThreadPrimitives();
