// Start-up's top half: the supervisor that opens the image and starts the kernel, and the
// registration steps kernel start-up calls once the image is read. Owns timerSemaphoreX and
// inputSemaphoreX. Prefix: none (startSupervisor, loadImageHeader, initPrimitives, initSuper).
#pragma once
#include <cstdint>

extern int64_t timerSemaphoreX;  // registry slot of the timer Semaphore, -1 = none
extern int64_t inputSemaphoreX;  // registry slot of the input Semaphore, -1 = none

// Opens the image and reads its header (reporting a failure when report is set); 0 when no
// usable header was read.
int loadImageHeader(const char* fileName, int report);
// The platform's start, the header, the herald and the kernel; ends the process.
[[noreturn]] void startSupervisor();

// The numeric, link-registry, hash and byte primitive sets (those that exist).
void initPrimitives();
// The engine's and the platform's external sets, the Semaphore slots and the default
// primitive-failure table.
void initSuper();
// Keeps an image's PrimErrorTable of 27 or more slots; otherwise installs a 37-slot
// Array whose entry k is -(k+1).
void installPrimErrorTable();
