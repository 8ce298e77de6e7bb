// Object memory: generation scavenger (its start-up sizing; the collector comes later).
// Owns tenureThreshold. Prefix: none (initScavenger, getTenureThreshold).
#include "mman/mmScavenge.h"

#include "mman/mmNewSpace.h"

int64_t tenureThreshold;

// A threshold that filled past space would leave no room for the survivors of one scavenge;
// 250 slots are kept back.
int64_t initScavenger(uint64_t bytes) {
  int64_t pastSlots = int64_t((pastSpace.end - pastSpace.start) / 8);
  int64_t wanted = int64_t(bytes / 8), limit = pastSlots - 250;
  tenureThreshold = wanted < limit ? wanted : limit;
  return tenureThreshold * 8;
}

int64_t getTenureThreshold() { return tenureThreshold; }
