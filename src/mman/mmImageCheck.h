// Object memory: loading: what the loaded classes, their instances and their method
// dictionaries must hold before running may rely on them. Owns loadedClassUse.
// Prefix: none (beginClassUse, noteClassUse, checkLoadedClasses, selectorArity).
#pragma once
#include <cstdint>

#include "mman/mmObject.h"
#include "mman/mmSysOop.h"

// The loader's checks of what running relies on. The benchmarks build the program once more
// without them (TESSEL_UNCHECKED_LOAD) to time what they cost.
#ifdef TESSEL_UNCHECKED_LOAD
constexpr bool loadChecks = false;
#else
constexpr bool loadChecks = true;
#endif

// The loader's passes over the object tables and past space note every live header under
// its class index; once the class table is attached, every index noted must name a sound
// class whose format fits all its instances ("each instance fits its class"), and every
// class that has an identity hash must sit at that class index, where instances made from
// it will look for it ("a class's hash is its index"). One record per class index, in a
// mapping whose untouched pages cost nothing:
//
//   kinds   bit 8 noted; bit 7 some instance has a body; bits 0-2 the kinds of the instances
//           with a body or-ed, bits 4-6 the same kinds inverted and or-ed (so both ranges
//           agree exactly when every instance has one kind): bit 0 isGCSpecial, bit 1
//           ephemeronNotWeak, bit 2 hasPtrs
//   fewest  ~(fewest body words of any instance); 0 while none is noted
//   hashed  instances with an identity hash
//   listed  classes in the class table, under their own hash, that are instances
struct ClassUse {
  uint32_t kinds;
  uint32_t fewest;
  uint32_t hashed;
  uint32_t listed;
};
enum : uint32_t { classUseNoted = 1u << 8, classUseBody = 1u << 7 };

extern ClassUse* loadedClassUse;     // one record per class index (2^20), or null
extern uint32_t highestClassUse;     // the highest class index noted

// The kind bits of a header's flags, as ClassUse draws them.
inline uint32_t instanceKindOf(uint64_t flags) {
  return uint32_t((flags >> 22) & 3) | uint32_t((flags >> 61) & 4);
}

// Contexts are checked one by one: their slots say how a frame is rebuilt.
void noteContext(const ObjectHeader* h);

// Notes h (live, class index non-zero) with words body words; a body in large or fixed
// space counts as one word, its length being known only later and not mattering here.
inline void noteClassUse(const ObjectHeader* h, uint64_t words) {
  if (!loadChecks) return;
  uint32_t tag = classTagOf(h);
  ClassUse& u = loadedClassUse[tag];
  uint32_t kind = instanceKindOf(h->flags);
  u.kinds |= classUseNoted | (words != 0 ? classUseBody | kind | ((~kind & 7) << 4) : 0);
  uint32_t inverted = ~uint32_t(words < 0xFFFFFFFFu ? words : 0xFFFFFFFEu);
  if (inverted > u.fewest) u.fewest = inverted;
  u.hashed += (h->flags & hashMask) != 0;
  if (tag > highestClassUse) highestClassUse = tag;
  if (tag - classIndexHybridMethodContext <= classIndexBlockContext - classIndexHybridMethodContext) noteContext(h);
}

// A fresh record for every class index (the previous load's mapping given back first).
void beginClassUse();
// After the class table is attached (its pages and the registry checked): every class index
// noted, and the immediates' classes, name sound classes that their instances fit; every
// entry of the class table is the empty-slot marker, nil, or a sound class under its own
// hash, and no other class has a hash; each table class's superclass chain ends at nil
// through sound classes; every method dictionary on them holds compiled methods of that
// class whose header the lookup and the translator can read and whose argument count is its
// selector's; every context can be made a frame again. Else "Bad oop contained in image".
// Gives the records back.
void checkLoadedClasses();

// The argument count a selector's text implies (a keyword's colons, 1 for a binary
// selector), or -1 when the selector is no byte object with text.
int selectorArity(oop selector);
