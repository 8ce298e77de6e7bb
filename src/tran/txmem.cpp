// Translator: the method cache and the search of method dictionaries.
// Prefix: mCache, none (initMCache, clearMCache, lookupCompiledMethod).
#include "tran/txmem.h"

#include <cstring>

#include "ext/exOption.h"
#include "mman/mmSysOop.h"
#include "tran/nmLayout.h"

MethodCacheEntry* mCache;
uint32_t mCacheToggle;
uint64_t mDictSearchLimit = mDictSortedFrom;

int64_t initMCache(uint64_t area, uint64_t size) {
  uint64_t start = (area + 7) & ~uint64_t(7);
  uint64_t used = start - area + mCacheEntries * sizeof(MethodCacheEntry);
  mDictSearchLimit = (qrxOptions & 0x1000) != 0 ? uint64_t(1) << 56 : uint64_t(mDictSortedFrom);
  if (used > size) return -1;
  mCache = reinterpret_cast<MethodCacheEntry*>(start);
  clearMCache();
  return int64_t(used);
}

void clearMCache() {
  if (mCache == nullptr) return;
  for (uint32_t i = 0; i < mCacheEntries; i++) mCache[i].classIndex = 0;
}

void purgeDeadClassesFromMCache() {
  if (mCache == nullptr) return;
  for (uint32_t i = 0; i < mCacheEntries; i++) {
    uint32_t c = mCache[i].classIndex;
    if (c == 0 || (c >= 8 && c <= 10)) continue;
    bool dead = c >= 0x100000 || classTable[c >> 10] == nullptr;
    if (!dead) {
      oop cls = classAt(c);
      dead = cls == 0 || isImmediate(cls) || hashOf(headerOf(cls)) != c;
    }
    if (dead) mCache[i].classIndex = 0;
  }
}

void nmUpdateNewRefsFromMCache() {
  if (mCache == nullptr) return;
  for (uint32_t i = 0; i < mCacheEntries; i++)
    if (mCache[i].classIndex != 0 && reinterpret_cast<const NMethodHeader*>(mCache[i].nmethod)->usedSize == 0)
      mCache[i].classIndex = 0;
}

static bool isHit(const MethodCacheEntry& e, oop selector, uint32_t classIndex) {
  return e.classIndex == classIndex && e.classIndex != 0 &&
         reinterpret_cast<const NMethodHeader*>(e.nmethod)->selector == selector;
}

uint64_t mCacheProbe(oop selector, uint32_t classIndex) {
  uint32_t i1 = mCacheFirstProbe(selector, classIndex);
  uint32_t i2 = (i1 + mCacheSecondProbe) & mCacheMask;
  if (isHit(mCache[i1], selector, classIndex)) return mCache[i1].nmethod;
  if (isHit(mCache[i2], selector, classIndex)) return mCache[i2].nmethod;
  return 0;
}

MethodCacheEntry* mCacheVictim(oop selector, uint32_t classIndex) {
  uint32_t i1 = mCacheFirstProbe(selector, classIndex);
  uint32_t i2 = (i1 + mCacheSecondProbe) & mCacheMask;
  bool used1 = mCache[i1].classIndex != 0, used2 = mCache[i2].classIndex != 0;
  if (used1) return mCacheToggle != 0 || !used2 ? &mCache[i2] : &mCache[i1];
  return mCacheToggle != 0 && !used2 ? &mCache[i2] : &mCache[i1];
}

void mCacheFill(MethodCacheEntry* victim, uint32_t classIndex, uint64_t nmethod) {
  mCacheToggle ^= 1;
  victim->classIndex = classIndex;
  victim->nmethod = nmethod;
}

// Pairs (selector, method) in the dictionary's indexable slots.
static oop searchDictionary(oop dict, oop selector, uint32_t hash) {
  if (isImmediate(dict)) return 0;
  const ObjectHeader* h = headerOf(dict);
  uint64_t named = formatNamedSlots(classFormatOf(classOfHeader(h)));
  uint64_t words = bodyWordsOf(h);
  if (words <= named) return 0;
  const oop* pairs = bodyOf(h) + named;
  uint64_t n = words - named;
  if (n < mDictSearchLimit) {
    for (uint64_t i = 0; i + 1 < n; i += 2)
      if (pairs[i] == selector) return pairs[i + 1];
    return 0;
  }
  // Sorted by selector hash: halve to a pair of the same hash, then look at its neighbours
  // of that hash on both sides for the identical selector.
  uint64_t lo = 0, hi = n / 2;
  while (lo < hi) {
    uint64_t mid = lo + (hi - lo) / 2;
    uint32_t mh = selectorHash(pairs[2 * mid]);
    if (mh < hash) {
      lo = mid + 1;
    } else if (mh > hash) {
      hi = mid;
    } else {
      for (uint64_t k = mid + 1; k-- > 0 && selectorHash(pairs[2 * k]) == hash;)
        if (pairs[2 * k] == selector) return pairs[2 * k + 1];
      for (uint64_t k = mid + 1; k < n / 2 && selectorHash(pairs[2 * k]) == hash; k++)
        if (pairs[2 * k] == selector) return pairs[2 * k + 1];
      return 0;
    }
  }
  return 0;
}

oop lookupCompiledMethod(oop selector, oop cls) {
  for (int round = 0; round < 2; round++) {
    uint32_t hash = selectorHash(selector);
    for (oop c = cls; !isImmediate(c) && c != nilOop(); c = superclassOf(c)) {
      oop m = searchDictionary(slotOf(c, 1), selector, hash);
      if (m != 0) return m;
    }
    if (isImmediate(selector) || hash != 0) return 0;
    getObjHash(headerOf(selector));
  }
  return 0;
}
