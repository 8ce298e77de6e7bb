// Object memory: identity hashes and the space-boundary globals of object references.
// Owns oldNewSpaceBoundary and permSpaceAbsorbed.
// Prefix: none (getObjHash, maximumIdentityHashValue).
#include "mman/mmObject.h"

#include "mman/mmImageHeader.h"

uint64_t oldNewSpaceBoundary;
uint32_t permSpaceAbsorbed;

// Hashes are handed out lazily; the step is odd, so the sequence runs through every 20-bit
// value, and 0 (meaning "none yet") is replaced by the step itself.
uint32_t getObjHash(ObjectHeader* h) {
  uint32_t hash = hashOf(h);
  if (hash != 0) return hash;
  hash = (lastHash + identityHashStep) & identityHashMax;
  if (hash == 0) hash = identityHashStep;
  lastHash = hash;
  setHash(h, hash);
  return hash;
}

oop maximumIdentityHashValue() { return smallIntegerFor(identityHashMax); }
