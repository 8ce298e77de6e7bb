// Test support: the I/O test heap with what the C interface needs: the C-data holder class
// (registry slot 20), the six C classes registered as primitive 336 registers them, a
// pointer class for pointer results, and builders of C-data objects, struct descriptors and
// composites. The C support and external-call primitives are registered.
#pragma once
#include <cstdint>
#include <utility>
#include <vector>

#include "mman/mmObject.h"

struct CTestClasses {
  oop data;       // CData: a byte class, subclass of ByteArray
  oop composite;  // CComposite: slots data, type
  oop pointer;    // CPointer: slots address, type
  oop datum;      // CDatum: slot data
};
extern CTestClasses cTestClasses;

void newCTestHeap();
// A CData object of n bytes (copied from bytes when given).
oop newCData(uint64_t n, const void* bytes = nullptr);
// A descriptor: an Array of 5-slot records {key k (SmallInteger 1..n), offset, nil, kind,
// the pointer class}, one per (offset, kind) pair.
oop newDescriptor(const std::vector<std::pair<int, int>>& fields);
// A composite holding a CData of n bytes and the descriptor.
oop newComposite(oop descriptor, uint64_t n, const void* bytes = nullptr);
// The value a failed primitive's error copy carries in slot 0 (0 for an error itself).
oop errorValueOf(oop error);
