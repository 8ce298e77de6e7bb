// Windows layer: the request lock and the exported request test of code the engine loads.
// Owns requestLock. Prefix: none (initRequestLock, anyRequests).
#include "platpc/ntMain.h"
#include "ext/exRequest.h"

static CRITICAL_SECTION requestLock;

void initRequestLock() { InitializeCriticalSection(&requestLock); }

extern "C" uint32_t anyRequests() { return anyRequestsPending() ? 1 : 0; }
