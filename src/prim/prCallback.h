// C interface: the callback primitives (387, 388, 391) and the turning of a fault inside a
// C call into the failure of the calling primitive. Owns no global record.
// Prefix: none (initCallbackPrimitives, maybeCallCFatalError).
#pragma once
#include <cstdint>

// Registers primitives 387, 388 and 391.
void initCallbackPrimitives();

// Called first by the platform's fault-signal handler, with the signal's mask of the
// interrupted code already back in place. On the engine thread while a C call runs
// (calloutResult set) the calling primitive fails with PrimErrorTable entry 17 carrying
// {signal, value}, and control does not come back; otherwise it returns.
void maybeCallCFatalError(int signal, int64_t value);
