// Translator: the method cache in front of the class-chain lookup, and the search of the
// method dictionaries along a class chain. Owns mCache, its replacement toggle and the
// dictionary search limit. Prefix: mCache (the cache), none (initMCache, clearMCache).
#pragma once
#include <cstdint>

#include "mman/mmObject.h"

// One cache entry; generated code addresses the cache, so the layout is fixed.
struct MethodCacheEntry {
  uint32_t classIndex;  // 0 = empty; for immediates the 3-bit tag
  uint32_t unused;
  uint64_t nmethod;     // hit when its selector field is the selector looked up
};
static_assert(sizeof(MethodCacheEntry) == 16, "two words per cache entry");

enum : uint32_t {
  mCacheEntries = 2048,
  mCacheMask = mCacheEntries - 1,
  mCacheSecondProbe = 819,     // distance of the second probe from the first
  mDictSortedFrom = 128,       // dictionaries this large are sorted by selector hash
};

extern MethodCacheEntry* mCache;  // the method cache, in the code area below the zone
extern uint32_t mCacheToggle;     // flipped after every fill: picks the victim
extern uint64_t mDictSearchLimit; // indexable slots from which dictionaries are searched by halving

// Places the cache at area rounded up to 8 and clears it; option 0x1000 makes every
// dictionary search linear. Answers the bytes used, or -1 when they exceed size.
int64_t initMCache(uint64_t area, uint64_t size);
void clearMCache();
// Clears the entries whose class index no longer names a live class (beyond the table, an
// absent page, a free slot, or a class of another hash); the context classes 8-10 stay.
void purgeDeadClassesFromMCache();
// After a scavenge: clears the entries whose nmethod was freed meanwhile.
void nmUpdateNewRefsFromMCache();

// Hash of a selector: an immediate's oop >> 3, else the object's identity hash (0: none yet).
inline uint32_t selectorHash(oop selector) {
  return isImmediate(selector) ? uint32_t(selector >> 3) : hashOf(headerOf(selector));
}
// The two entries a (selector, classIndex) pair may occupy.
inline uint32_t mCacheFirstProbe(oop selector, uint32_t classIndex) {
  return (selectorHash(selector) + classIndex) & mCacheMask;
}
// The cached nmethod for (selector, classIndex) from either probe, or 0.
uint64_t mCacheProbe(oop selector, uint32_t classIndex);
// The entry a new (selector, classIndex) fill replaces, chosen by occupancy and the toggle.
MethodCacheEntry* mCacheVictim(oop selector, uint32_t classIndex);
// Fills the victim and flips the toggle.
void mCacheFill(MethodCacheEntry* victim, uint32_t classIndex, uint64_t nmethod);

// The compiled method that selector names along the class chain from cls (nil ends it), or 0.
// A selector object without a hash is given one and searched for once more, since the
// halving search of sorted dictionaries cannot find it otherwise.
oop lookupCompiledMethod(oop selector, oop cls);
