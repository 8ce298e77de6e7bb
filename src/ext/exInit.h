// Start-up: the registration steps that kernel start-up calls after the image is read.
// Prefix: none (initPrimitives, initSuper).
#pragma once
#include <cstdint>

extern int64_t timerSemaphoreX;  // registry slot of the timer Semaphore, -1 = none
extern int64_t inputSemaphoreX;  // registry slot of the input Semaphore, -1 = none

// The numeric, link-registry, hash and byte primitive sets (those that exist).
void initPrimitives();
// The engine's and the platform's external sets, the Semaphore slots and the default
// primitive-failure table.
void initSuper();
// Keeps an image's PrimErrorTable of 27 or more slots; otherwise installs a 37-slot
// Array whose entry k is -(k+1).
void installPrimErrorTable();
