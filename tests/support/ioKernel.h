// Test support: a test heap with what the I/O primitives need: a Semaphore class at its
// reserved index, the string classes in the registry, the timer and input Semaphores' slots and a
// PrimErrorTable of one-slot error objects (installed with primitive 401), each of its own
// class so that a failure's code can be read back from a copy carrying errno.
#pragma once
#include <cstdint>
#include <string>

#include "mman/mmObject.h"
#include "support/primHarness.h"

void newIOTestHeap(uint64_t oldSlots = 1 << 17);
oop newSemaphore();
int64_t excessSignals(oop semaphore);
oop byteString(const std::string& text);
std::string textOf(oop byteObject);

// What a failed primitive handed over: its PrimErrorTable code, and the value an error
// copy carries (errno), or -1 when the error is the table's entry itself.
struct FailureInfo {
  int code;
  int64_t value;
};
FailureInfo failureOf(const PrimOutcome& outcome);

// A descriptor holder (three slots, the descriptor in slot 1) of the class that
// startImageIO registers as the I/O-accessor class.
oop descriptorHolder(int fd);
// The image's I/O start-up (primitive 699): the IO-semaphore table and the accessor class.
void startImageIO();
// Registers the test heap's byte class as the socket-address class (primitive 698).
void registerSocketAddressClass();
