// Test support: the test program's native-method zone.
#include "support/testZone.h"

#include <algorithm>
#include <iterator>

#include "ext/platform.h"

namespace {

constexpr uint64_t testCodeAreaBytes = 16 << 20;
alignas(16) uint8_t testCodeArea[testCodeAreaBytes];

// The area runs code (the i-cache stub at least, which every code change calls).
struct ProgramZone {
  ProgramZone() {
    pdSetMemExecPerm(testCodeArea, testCodeAreaBytes);
    resetTestZone();
  }
} programZone;

}  // namespace

void resetTestZone() { initNMethods(reinterpret_cast<uint64_t>(testCodeArea), testCodeAreaBytes); }

SavedNMethodZone::SavedNMethodZone()
    : zone(nmZone), size(nmZoneSize), request(nmAllocRequest), minPC(minNZonePC), maxPC(maxNZonePC),
      minRTPC(minNZoneRTPC), stub(icacheStubAddress), flush(rtFlushICache), cache(mCache), rtRoutines(tRt),
      abortNoFrame(AbortNoFrame), classFormatStub(txClassFormatStub), symbolCount(nzoneRTSymbolCount),
      compactionArea(profile_compaction_area), otherArea(profile_other_area), thresholdRefCount(numThresholdRefs) {
  std::copy(std::begin(AbortSendTable), std::end(AbortSendTable), abortSend);
  std::copy(std::begin(AbortPrimFailTable), std::end(AbortPrimFailTable), abortPrimFail);
  std::copy(std::begin(entryCodeTable), std::end(entryCodeTable), entryCodes);
  std::copy(std::begin(storeStubs), std::end(storeStubs), stores);
  std::copy(std::begin(nzoneRTSymbolTable), std::end(nzoneRTSymbolTable), symbols);
  std::copy(std::begin(threshold_refs), std::end(threshold_refs), thresholdRefs);
}

SavedNMethodZone::~SavedNMethodZone() {
  nmZone = zone;
  nmZoneSize = size;
  nmAllocRequest = request;
  minNZonePC = minPC;
  maxNZonePC = maxPC;
  minNZoneRTPC = minRTPC;
  icacheStubAddress = stub;
  rtFlushICache = flush;
  mCache = cache;
  tRt = rtRoutines;
  std::copy(std::begin(abortSend), std::end(abortSend), AbortSendTable);
  std::copy(std::begin(abortPrimFail), std::end(abortPrimFail), AbortPrimFailTable);
  AbortNoFrame = abortNoFrame;
  std::copy(std::begin(entryCodes), std::end(entryCodes), entryCodeTable);
  std::copy(std::begin(stores), std::end(stores), storeStubs);
  txClassFormatStub = classFormatStub;
  std::copy(std::begin(symbols), std::end(symbols), nzoneRTSymbolTable);
  nzoneRTSymbolCount = symbolCount;
  profile_compaction_area = compactionArea;
  profile_other_area = otherArea;
  std::copy(std::begin(thresholdRefs), std::end(thresholdRefs), threshold_refs);
  numThresholdRefs = thresholdRefCount;
}
