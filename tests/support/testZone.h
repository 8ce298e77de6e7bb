// Test support: a native-method zone for the whole test program (primitive sub-tables and
// stubs live in its permanent area), set up before any test runs; tests that lay out a zone
// of their own keep the program's zone aside while they run, and with it the translator's
// pointers to stubs, symbols and eden-limit sites, which would otherwise point into the
// other zone's permanent area once it is reused.
#pragma once
#include "tran/nmalloc.h"
#include "tran/taux.h"
#include "tran/tloop.h"
#include "tran/tprim.h"
#include "tran/tstack.h"
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
  // Made in the permanent area by the translator's first-time set-up.
  TRoutines rtRoutines;
  uint8_t* abortSend[3];
  uint8_t* abortPrimFail[3];
  uint8_t* abortNoFrame;
  uint64_t entryCodes[8];
  StoreStub stores[5];
  const uint8_t* classFormatStub;
  CodeSymbol symbols[nzoneRTSymbolCapacity];
  int symbolCount;
  uint64_t compactionArea, otherArea;
  uint8_t* thresholdRefs[thresholdRefCapacity];
  uint32_t thresholdRefCount;
};
