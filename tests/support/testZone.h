// Test support: a native-method zone for the whole test program (primitive sub-tables and
// stubs live in its permanent area), set up before any test runs; tests that lay out a zone
// of their own keep the program's zone aside while they run.
#pragma once
#include "tran/nmalloc.h"
#include "tran/txmem.h"

// Lays the program's zone out afresh (its permanent area emptied, the primitive table
// cleared): after an in-process image load whose code area is gone again.
void resetTestZone();

class SavedNMethodZone {
 public:
  SavedNMethodZone();
  ~SavedNMethodZone();

 private:
  NMZone zone;
  uint64_t size, request, minPC, maxPC, minRTPC, stub;
  void (*flush)();
  MethodCacheEntry* cache;  // lives in the code area, so it goes with the zone
};
