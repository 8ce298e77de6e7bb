// Engine control: primitives that leave the engine (113, 117) or stop in the debugger
// (114, 118), the child-status Semaphore (310) and the memory manager's entry points to the
// platform's memory. Owns childStatusSemaphoreX.
// Prefix: none (moreMemory, lessMemory, initLeavePrimitives, initSignalPrimitives).
#pragma once
#include <cstdint>

// Memory for the memory manager: when wantMapped, an anonymous mapping at or above
// lowestAddress (mappedOut := 1); otherwise, or when mapping fails, a data-segment block
// aligned to alignment. sizeOut (may be null) gets the size granted. 0 when refused.
void* moreMemory(uint64_t size, int wantMapped, uint64_t lowestAddress, uint64_t alignment,
                 int protection, int* mappedOut, uint64_t* sizeOut);
// Gives back memory from moreMemory; blocks of the data segment are kept.
int lessMemory(void* address, uint64_t size, int wasMapped);

extern int64_t childStatusSemaphoreX;  // registry slot of the child-status Semaphore, -1 = none

// Registers 113, 114 (no argument), 117 and 118 (one argument).
void initLeavePrimitives();
// Registers 310 and makes signalChildStatusSemaphore the child-status request's server.
void initSignalPrimitives();
// Server of the child-status request: signals the registered Semaphore, if any.
void signalChildStatusSemaphore();
