// The engine's side of a worker's call for the ThreadSanitizer program of the thread pool,
// which holds the pool and the POSIX threads layer only: the harness runs its own call.
#include "plat/unxThreads.h"

void NBAPIInnerCall(TInfo*) {}
