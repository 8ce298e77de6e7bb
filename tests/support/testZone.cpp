// Test support: the test program's native-method zone.
#include "support/testZone.h"

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
      minRTPC(minNZoneRTPC), stub(icacheStubAddress), flush(rtFlushICache), cache(mCache) {}

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
}
