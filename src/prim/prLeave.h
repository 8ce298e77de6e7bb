// Engine control: primitives that leave the engine (113, 117) or stop in the debugger
// (114, 118), and the child-status Semaphore (310). Owns childStatusSemaphoreX.
// Prefix: none (initLeavePrimitives, initSignalPrimitives).
#pragma once
#include <cstdint>

extern int64_t childStatusSemaphoreX;  // registry slot of the child-status Semaphore, -1 = none

// Registers 113, 114 (no argument), 117 and 118 (one argument).
void initLeavePrimitives();
// Registers 310 and makes signalChildStatusSemaphore the child-status request's server.
void initSignalPrimitives();
// Server of the child-status request: signals the registered Semaphore, if any.
void signalChildStatusSemaphore();
