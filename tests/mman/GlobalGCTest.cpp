// Tests of the global collector: weak objects and ephemerons, overflowing work areas, the
// bodies of other spaces, the sweep quantum, the stress switch, primitive 138 and request 8.
#include <gtest/gtest.h>
#include <cstdlib>
#include <functional>
#include <vector>

#include "ext/exRequest.h"
#include "mman/mmAllocate.h"
#include "mman/mmFixedSpace.h"
#include "mman/mmGlobalGC.h"
#include "mman/mmLargeSpace.h"
#include "mman/mmOldSpace.h"
#include "mman/mmPermSpace.h"
#include "mman/mmRt.h"
#include "mman/mmVerify.h"
#include "mman/scavengeHeap.h"
#include "stack/scheduler.h"
#include "support/primHarness.h"

namespace {

class GlobalGC : public ScavengeHeapTest {
 public:  // the case table's checks use the fixture
  using ScavengeHeapTest::makeHeap;
  using ScavengeHeapTest::newEphemeron;
  using ScavengeHeapTest::setRoot;
  using ScavengeHeapTest::rootAt;
  void SetUp() override {
    savedLowSpaceSemaphoreX = lowSpaceSemaphoreX;
    ScavengeHeapTest::SetUp();
    initGarbagePrims();
  }
  void TearDown() override {
    ScavengeHeapTest::TearDown();  // clears the low-space limit and the reserve too
    lowSpaceSemaphoreX = savedLowSpaceSemaphoreX;
  }
  int64_t savedLowSpaceSemaphoreX = -1;
  oop oldArray(uint64_t n) { return newOldObject(testClasses.pointers, n); }
  oop oldWeak(uint64_t indexed) {
    return oopOf(allocInOldSpace(weakClass, 1, (1 + indexed) * 8, hasPtrsBit | isGCSpecialBit, nilOop(), 1));
  }
  static bool freed(oop o) { return classTagOf(headerOf(o)) == 0; }
  // Identity hashes no other test object gets, to find an object again after a collection.
  static uint32_t tagHash(uint32_t k) { return identityHashMax - k; }
  static oop tagged(oop o, uint32_t k) {
    setHash(headerOf(o), tagHash(k));
    return o;
  }
  // The live old or perm object carrying tag k, or 0.
  static oop findTagged(uint32_t k) {
    auto search = [k](uint64_t low, uint64_t high) -> oop {
      for (uint64_t a = low + 16; a <= high; a += 16) {
        const ObjectHeader* h = reinterpret_cast<const ObjectHeader*>(a);
        if (classTagOf(h) != 0 && hashOf(h) == tagHash(k)) return a;
      }
      return 0;
    };
    writeBackOldSpace();
    oop found = permSpaceExists ? search(permSpace.otLow, permSpace.otHigh) : 0;
    for (OldSpaceSegment* s = oldSpaceSegs.first; s != nullptr && found == 0; s = s->next)
      found = search(s->otLow, s->otHigh);
    return found;
  }
  static bool queuedHas(oop o) {
    for (oop q : queued())
      if (q == o) return true;
    return false;
  }
};

// The weak and ephemeron cases: what survives, what is cleared, what is queued.
TEST_F(GlobalGC, GlobalGC_WeakSlotsAndEphemerons) {
  struct Case {
    const char* name;
    std::function<void(GlobalGC*)> check;
  };
  // Headers move: objects are found again through the roots, and by their hashes.
  const Case cases[] = {
      {"weak array: indexed referents held only by it are cleared, named ones kept",
       [](GlobalGC* t) {
         oop w = t->oldWeak(2), named = tagged(t->oldArray(1), 1), dead = tagged(t->oldArray(1), 2);
         oop kept = t->oldArray(1);
         store(w, 0, named), store(w, 1, dead), store(w, 2, kept);
         t->setRoot(0, w), t->setRoot(1, kept);
         ASSERT_EQ(collectGarbage(0), 1);
         w = t->rootAt(0);
         EXPECT_EQ(hashOf(headerOf(slotOf(w, 0))), tagHash(1));
         EXPECT_EQ(slotOf(w, 1), sysOop(sysEmptySlotMarker));
         EXPECT_EQ(slotOf(w, 2), t->rootAt(1));
         EXPECT_EQ(findTagged(2), 0u);
         EXPECT_TRUE(queuedHas(w));
       }},
      {"weak array whose referents all live is not queued",
       [](GlobalGC* t) {
         oop w = t->oldWeak(1), kept = t->oldArray(1);
         store(w, 1, kept);
         t->setRoot(0, w), t->setRoot(1, kept);
         ASSERT_EQ(collectGarbage(0), 1);
         EXPECT_EQ(slotOf(t->rootAt(0), 1), t->rootAt(1));
         EXPECT_FALSE(queuedHas(t->rootAt(0)));
       }},
      {"ephemeron whose key is reached only through its value: queued, both kept",
       [](GlobalGC* t) {
         oop key = tagged(t->oldArray(1), 1);
         t->setRoot(0, t->newEphemeron(key, key, true));
         ASSERT_EQ(collectGarbage(0), 1);
         oop e = t->rootAt(0);
         EXPECT_NE(findTagged(1), 0u);
         EXPECT_EQ(slotOf(e, 0), findTagged(1));
         EXPECT_TRUE(queuedHas(e));
         EXPECT_FALSE(isEphemeron(headerOf(e)));
       }},
      {"ephemeron whose key is marked later in the same mark: traced, not queued",
       [](GlobalGC* t) {
         oop key = t->oldArray(1), value = tagged(t->oldArray(1), 1), chain = t->oldArray(1);
         oop e = t->newEphemeron(key, value, true);
         store(chain, 0, t->oldArray(1));
         store(slotOf(chain, 0), 0, key);
         t->setRoot(0, e), t->setRoot(1, chain);
         ASSERT_EQ(collectGarbage(0), 1);
         e = t->rootAt(0);
         EXPECT_EQ(slotOf(e, 1), findTagged(1));
         EXPECT_EQ(slotOf(e, 0), slotOf(slotOf(t->rootAt(1), 0), 0));
         EXPECT_TRUE(isEphemeron(headerOf(e)));
         EXPECT_FALSE(queuedHas(e));
       }},
      {"ephemeron chain: each key is the value of the one before",
       [](GlobalGC* t) {
         oop k1 = t->oldArray(1), k2 = t->oldArray(1), v2 = tagged(t->oldArray(1), 1);
         oop e2 = t->newEphemeron(k2, v2, true);
         oop e1 = t->newEphemeron(k1, e2, true);
         t->setRoot(0, e1), t->setRoot(1, k1);
         ASSERT_EQ(collectGarbage(0), 1);
         e1 = t->rootAt(0);
         e2 = slotOf(e1, 1);
         EXPECT_FALSE(queuedHas(e1));
         EXPECT_TRUE(queuedHas(e2));  // k2 is held by nothing but e2
         EXPECT_EQ(slotOf(e2, 1), findTagged(1));
       }},
      {"dead weak holder: neither queued nor kept",
       [](GlobalGC* t) {
         oop w = tagged(t->oldWeak(1), 1), referent = tagged(t->oldArray(1), 2);
         store(w, 1, referent);
         ASSERT_EQ(collectGarbage(0), 1);
         EXPECT_EQ(findTagged(1), 0u);
         EXPECT_EQ(findTagged(2), 0u);
         EXPECT_TRUE(queued().empty());
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    makeHeap(1 << 18, 100);
    c.check(this);
    EXPECT_HEAP_VALID();
  }
}

// A full queue that cannot grow: the ephemerons are kept whole but not queued; the loss counts.
TEST_F(GlobalGC, GlobalGC_FailedReservationKeepsEphemeronsUnqueued) {
  ASSERT_EQ(collectGarbage(0), 1);  // the heap's own weak objects lose their dead referents
  finalQueueOverflow = 0;
  while (finalQueueWrite < finalQueueEnd) {
    *reinterpret_cast<oop*>(finalQueueWrite) = sysOop(rootX);  // entries the image has not fetched
    finalQueueWrite += 8;
  }
  for (uint64_t i = 0; i < 3; i++) {
    oop key = oldArray(1);
    setRoot(i, newEphemeron(key, key, true));
  }
  ASSERT_EQ(collectGarbage(0), 1);
  EXPECT_EQ(finalQueueOverflow, 3);
  for (uint64_t i = 0; i < 3; i++) {
    EXPECT_TRUE(isEphemeron(headerOf(rootAt(i))));
    EXPECT_FALSE(freed(slotOf(rootAt(i), 0)));
  }
}

// A mark area of 16 slots and a scratch area of two entries: the collection completes,
// counting rescans; weak arrays past the list's room are held strongly.
TEST_F(GlobalGC, GlobalGC_OverflowingWorkAreas) {
  gcMarkAreaCap = 16 * 8;
  gcScratchAreaCap = 16;
  oop head = oldArray(1), o = head;
  for (int i = 0; i < 500; i++) {
    oop next = i % 2 ? oldArray(3) : newNewObject(testClasses.pointers, 3);
    store(o, 0, next);
    o = next;
  }
  setRoot(0, head);
  for (uint32_t i = 0; i < 5; i++) {
    oop weak = oldWeak(1);
    store(weak, 1, tagged(oldArray(1), i));
    setRoot(1 + i, weak);
  }
  ASSERT_EQ(collectGarbage(0), 1);
  EXPECT_GT(numMarkStackOverflows, 0u);
  EXPECT_GE(numWeakObjectListOverflows, 3u);  // the class-table pages are weak too
  uint64_t held = 0;
  for (uint32_t i = 0; i < 5; i++) {
    oop referent = slotOf(rootAt(1 + i), 1);
    bool cleared = referent == sysOop(sysEmptySlotMarker);
    EXPECT_EQ(cleared, findTagged(i) == 0) << i;
    if (!cleared) { EXPECT_EQ(referent, findTagged(i)) << i; }
    held += !cleared;
  }
  EXPECT_GE(held, 3u);
  uint64_t length = 0;
  for (oop p = rootAt(0); p != nilOop(); p = slotOf(p, 0)) length++;
  EXPECT_EQ(length, 501u);
}

// A root Array of 300,000 slots, three of them inner Arrays past the piece size: every
// referent survives 138 and 406 with its contents. Scanned in pieces, the whole mark fits
// eden's free room without a rescan; in a 16-slot area it rescans and keeps the same set.
TEST_F(GlobalGC, GlobalGC_BigBodiesAreScannedInPieces) {
  constexpr uint64_t outer = 300000, inner = 5000, inners = 3;
  auto tagOf = [](oop o) { return smallIntegerValue(slotOf(o, 0)); };
  for (uint64_t cap : {uint64_t(0), uint64_t(16 * 8)}) {
    SCOPED_TRACE(cap);
    makeHeap(1 << 22, 100);
    oop big = newOldObject(testClasses.pointers, outer);
    setRoot(0, big);
    int64_t next = 0;
    auto fill = [&](oop holder, uint64_t from, uint64_t to) {
      for (uint64_t i = from; i < to; i++) {
        oop o = oldArray(1);
        store(o, 0, smallIntegerFor(next++));
        store(holder, i, o);
      }
    };
    fill(big, 0, outer - inners);
    for (uint64_t k = 0; k < inners; k++) {
      oop in = newOldObject(testClasses.pointers, inner);
      store(rootAt(0), outer - inners + k, in);
      fill(in, 0, inner);
    }
    gcMarkAreaCap = cap;
    for (int includePerm : {0, 1}) {
      SCOPED_TRACE(includePerm);
      numMarkStackOverflows = 0;
      ASSERT_EQ(collectGarbage(includePerm), 1);
      if (cap == 0)
        EXPECT_EQ(numMarkStackOverflows, 0u);
      else
        EXPECT_GT(numMarkStackOverflows, 0u);
      oop b = rootAt(0);
      ASSERT_EQ(bodyWordsOf(headerOf(b)), outer);
      int64_t expect = 0;
      bool intact = true;
      for (uint64_t i = 0; i < outer - inners && intact; i++) intact = !freed(slotOf(b, i)) && tagOf(slotOf(b, i)) == expect++;
      for (uint64_t k = 0; k < inners && intact; k++) {
        oop in = slotOf(b, outer - inners + k);
        for (uint64_t i = 0; i < inner && intact; i++) intact = !freed(slotOf(in, i)) && tagOf(slotOf(in, i)) == expect++;
      }
      EXPECT_TRUE(intact) << "first fault before tag " << expect;
      EXPECT_EQ(expect, next);
      EXPECT_HEAP_VALID();
    }
    gcMarkAreaCap = 0;
  }
}

// nil is an ordinary entry to the compaction: when dead entries before it make it move,
// every slot holding it follows, as slots holding anything else do.
TEST_F(GlobalGC, GlobalGC_SlotsFollowNilWhenItsEntryMoves) {
  for (int i = 0; i < 8; i++) oldArray(1);  // dead: holes ahead of what follows
  oop movingNil = newOldObject(testClasses.object, 0);
  sysOopRegistry[sysNil] = movingNil;
  oop other = tagged(oldArray(1), 1);
  oop holder = oldArray(40);  // filled with the new nil
  store(holder, 7, other);
  setRoot(0, holder);
  ASSERT_EQ(collectGarbage(0), 1);
  ASSERT_NE(nilOop(), movingNil);
  oop h = rootAt(0);
  for (uint64_t i = 0; i < 40; i++) EXPECT_EQ(slotOf(h, i), i == 7 ? findTagged(1) : nilOop()) << i;
  EXPECT_FALSE(freed(nilOop()));
  EXPECT_HEAP_VALID();
}

// Dead owners give their large and fixed blocks back; live ones keep their bytes.
TEST_F(GlobalGC, GlobalGC_FreesTheLargeAndFixedBodiesOfTheDead) {
  ObjectHeader* liveLarge = allocLargeByteObj(testClasses.bytes, 4000, 0, 0);
  ObjectHeader* deadLarge = allocLargeByteObj(testClasses.bytes, 4000, 0, 0);
  ObjectHeader* liveFixed = allocVSObjInFixedSpace(classAt(testClasses.bytes), 100);
  ObjectHeader* deadFixed = allocVSObjInFixedSpace(classAt(testClasses.bytes), 100);
  ASSERT_TRUE(liveLarge && deadLarge && liveFixed && deadFixed);
  (void)deadLarge, (void)deadFixed;
  reinterpret_cast<uint8_t*>(liveLarge->dataPtr)[3999] = 7;
  reinterpret_cast<uint8_t*>(liveFixed->dataPtr)[99] = 9;
  setRoot(0, oopOf(liveLarge)), setRoot(1, oopOf(liveFixed));
  uint64_t large = occupiedLsDataSlots(), fixed = occupiedFsDataSlots();
  ASSERT_EQ(collectGarbage(0), 1);
  EXPECT_LT(occupiedLsDataSlots(), large);
  EXPECT_LT(occupiedFsDataSlots(), fixed);
  EXPECT_EQ(reinterpret_cast<uint8_t*>(headerOf(rootAt(0))->dataPtr)[3999], 7);
  EXPECT_EQ(reinterpret_cast<uint8_t*>(headerOf(rootAt(1))->dataPtr)[99], 9);
}

// ---- The sweep quantum --------------------------------------------------------------------------

class GlobalGC_IncSweep : public GlobalGC {
 protected:
  // Every entry now live is marked, then n one-slot objects; odd ones stay unmarked.
  std::vector<oop> handMarked(uint64_t n) {
    writeBackOldSpace();
    for (OldSpaceSegment* s = oldSpaceSegs.first; s != nullptr; s = s->next)
      for (uint64_t a = s->otLow + 16; a <= s->otHigh; a += 16)
        if (classTagOf(reinterpret_cast<ObjectHeader*>(a)) != 0) setFlag(reinterpret_cast<ObjectHeader*>(a), isMarkedBit);
    std::vector<oop> objects;
    for (uint64_t i = 0; i < n; i++) {
      oop o = newOldObject(testClasses.bytes, 8);
      if (i % 2 == 0) setFlag(headerOf(o), isMarkedBit);
      objects.push_back(o);
    }
    return objects;
  }
};

TEST_F(GlobalGC_IncSweep, StopsAtItsEntryBudget) {
  std::vector<oop> objects = handMarked(9000);
  oop listed = objects[1];
  ASSERT_TRUE(registerInRt(headerOf(listed)));
  oop upper = objects[3];  // an entry high in the table, freed while the sweep runs
  saveOtBaseAfterIncMark();
  uint64_t start = incSweepPoint;
  EXPECT_EQ(incSweepOldSpace(0, 10, ~uint64_t(0)), 0);
  EXPECT_EQ(memoryStats.incSweepEntriesScanned, 11u);  // ten entries in one run
  EXPECT_EQ(incSweepPoint, start + 10 * 16);
  ASSERT_LT(incSweepPoint, oopOf(headerOf(upper)));
  recycleOldObj(headerOf(upper));
  ObjectHeader* born = allocInOldSpace(testClasses.bytes, 0, 8, 0, 0, 1);
  ASSERT_EQ(oopOf(born), upper);  // the freed entry comes back above the sweep point
  EXPECT_TRUE(isMarked(born));
  EXPECT_EQ(incSweepOldSpace(0, ~uint64_t(0), ~uint64_t(0)), 1);
  EXPECT_EQ(incSweepPoint, ~uint64_t(0));
  EXPECT_FALSE(isMarked(born));
  EXPECT_EQ(classTagOf(born), testClasses.bytes);
  for (uint64_t i = 0; i < objects.size(); i++) {
    if (i == 3) continue;
    ObjectHeader* h = headerOf(objects[i]);
    EXPECT_FALSE(isMarked(h));
    if (i % 2 == 0) EXPECT_EQ(classTagOf(h), testClasses.bytes) << i;
    else if (objects[i] == listed) EXPECT_EQ(classTagOf(h), uint32_t(classIndexByteArray));
    else EXPECT_EQ(classTagOf(h), 0u) << i;
  }
  EXPECT_EQ(headerOf(listed)->dataPtr, 0u);
  EXPECT_TRUE(inRt(headerOf(listed)));
  EXPECT_EQ(memoryStats.incSweepObjectsFreed, 4499u);  // the odd ones but the reborn one
}

TEST_F(GlobalGC_IncSweep, StopsAtTheByteBudgetAndAtAProcessSwitch) {
  handMarked(20000);
  saveOtBaseAfterIncMark();
  EXPECT_EQ(incSweepOldSpace(0, ~uint64_t(0), 1), 0);  // stops after the first body freed
  EXPECT_EQ(memoryStats.incSweepObjectsFreed, 1u);
  uint64_t scanned = memoryStats.incSweepEntriesScanned;
  EXPECT_LT(scanned, uint64_t(sweepRunEntries));
  setRequest(requestProcessSwitch);
  EXPECT_EQ(incSweepOldSpace(1, ~uint64_t(0), ~uint64_t(0)), 0);  // one whole run
  EXPECT_EQ(memoryStats.incSweepEntriesScanned, scanned + sweepRunEntries + 1);
  clearRequest(requestProcessSwitch);
  EXPECT_EQ(incSweepOldSpace(1, ~uint64_t(0), ~uint64_t(0)), 1);
}

// A stretch of several runs swept in budgeted quanta: each quantum stops where its budget
// says, the stretch takes as many quanta as the budget divides it into, and what is freed is
// the unmarked set, as one unbounded quantum frees it.
TEST_F(GlobalGC_IncSweep, BudgetedQuantaFreeTheSameSet) {
  constexpr uint64_t all = ~uint64_t(0);
  struct Case {
    const char* name;
    uint64_t entries, bytes;
  } cases[] = {{"unbounded", all, all}, {"1000 entries", 1000, all}, {"no entries: one a quantum", 0, all},
               {"4 KB freed", all, 4096}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<oop> objects = handMarked(3 * sweepRunEntries + 500);  // odd ones unmarked
    saveOtBaseAfterIncMark();
    uint64_t entries = 0;
    for (OldSpaceSegment* s = oldSpaceSegs.first; s != nullptr; s = s->next) entries += (s->otHigh - s->otLow) / 16;
    uint64_t quanta = 0, freedBefore = 0;
    for (int done = 0; !done; quanta++) {
      done = incSweepOldSpace(0, c.entries, c.bytes);
      if (!done && c.bytes != all) {
        ASSERT_EQ(memoryStats.incSweepBytesFreed - freedBefore, c.bytes);
      }
      freedBefore = memoryStats.incSweepBytesFreed;
      ASSERT_LE(quanta, entries);
    }
    uint64_t perQuantum = c.entries == all ? entries : c.entries == 0 ? 1 : c.entries;
    uint64_t expected =
        c.bytes == all ? (entries + perQuantum - 1) / perQuantum : memoryStats.incSweepBytesFreed / c.bytes + 1;
    EXPECT_EQ(quanta, expected);
    EXPECT_EQ(memoryStats.incSweepObjectsFreed, objects.size() / 2);
    for (uint64_t i = 0; i < objects.size(); i++) {
      ObjectHeader* h = headerOf(objects[i]);
      ASSERT_FALSE(isMarked(h)) << i;
      ASSERT_EQ(classTagOf(h), i % 2 == 0 ? testClasses.bytes : 0u) << i;
    }
    EXPECT_HEAP_VALID();
  }
}

TEST_F(GlobalGC_IncSweep, IncUnmark_ClearsEveryMarkInRunsAndStopsAtItsBudget) {
  std::vector<oop> objects = handMarked(20000);
  recycleOldObj(headerOf(objects[2]));  // a free entry, marked by hand, is cleared as well
  setFlag(headerOf(objects[2]), isMarkedBit);
  prepareToUnmarkOldSpace();
  EXPECT_EQ(incUnmarkCount, 0u);
  EXPECT_EQ(incUnmarkOldSpace(0, 0, 0), 0);  // one run however small the budget
  EXPECT_EQ(incUnmarkCount, uint64_t(sweepRunEntries) + 1);
  setRequest(requestProcessSwitch);
  EXPECT_EQ(incUnmarkOldSpace(1, ~uint64_t(0), 0), 0);
  EXPECT_EQ(incUnmarkCount, 2 * (uint64_t(sweepRunEntries) + 1));
  clearRequest(requestProcessSwitch);
  EXPECT_EQ(incUnmarkOldSpace(1, ~uint64_t(0), 0), 1);
  EXPECT_EQ(incUnmarkPoint, ~uint64_t(0));
  uint64_t marked = 0;
  writeBackOldSpace();
  for (OldSpaceSegment* s = oldSpaceSegs.first; s != nullptr; s = s->next)
    for (uint64_t a = s->otLow + 16; a <= s->otHigh; a += 16) marked += isMarked(reinterpret_cast<ObjectHeader*>(a));
  EXPECT_EQ(marked, 0u);
  EXPECT_EQ(classTagOf(headerOf(objects[1])), testClasses.bytes);  // nothing is freed
}

// ---- Perm space collected with old space --------------------------------------------------------

// 138 keeps every perm object; 406 frees the unreachable ones, packs perm space's table and
// data (live perm headers move, every reference follows), clears weak slots to the dead and
// lists exactly the perm holders of old objects in the old remembered table.
TEST_F(GlobalGC, GlobalGC_PermSpaceIsCollectedOnlyWithPerm) {
  auto permArray = [](uint64_t n) { return oopOf(allocInPermSpace(testClasses.pointers, 0, n * 8, hasPtrsBit, nilOop())); };
  oop deadPerm = tagged(permArray(6), 1), livePerm = permArray(2);
  oop weakHolder = oopOf(allocInPermSpace(weakClass, 1, 3 * 8, hasPtrsBit | isGCSpecialBit, nilOop()));
  oop holderOfOld = permArray(1), holderOfGone = permArray(1);
  oop oldKept = tagged(oldArray(1), 2), oldGone = oldArray(1);
  store(holderOfOld, 0, oldKept), store(holderOfGone, 0, oldGone);
  store(weakHolder, 1, deadPerm), store(weakHolder, 2, livePerm);
  store(livePerm, 0, holderOfOld), store(livePerm, 1, holderOfGone);
  setRoot(0, livePerm), setRoot(1, weakHolder);
  uint64_t deadBytes = bodyBytesOf(headerOf(deadPerm));
  setRoot(2, deadPerm);
  ASSERT_EQ(collectGarbage(0), 1);
  EXPECT_EQ(classTagOf(headerOf(deadPerm)), testClasses.pointers);
  ASSERT_EQ(verifyHeap(), "");
  setRoot(2, nilOop());
  store(holderOfGone, 0, nilOop());  // still listed in the old RT, no longer holding an old object
  EXPECT_NE(verifyOldRtAfterCollection(), "");
  ASSERT_EQ(collectGarbage(0), 1);
  EXPECT_EQ(verifyOldRtAfterCollection(), "");
  EXPECT_EQ(classTagOf(headerOf(deadPerm)), testClasses.pointers);  // 138 frees no perm object
  EXPECT_EQ(slotOf(weakHolder, 1), deadPerm);
  EXPECT_EQ(slotOf(holderOfOld, 0), findTagged(2));
  uint64_t dataTop = permSpace.dataTop, otLow = permSpace.otLow;
  ASSERT_EQ(collectGarbage(1), 1);  // primitive 406's collection
  EXPECT_EQ(verifyOldRtAfterCollection(), "");
  EXPECT_EQ(findTagged(1), 0u);
  EXPECT_EQ(permSpace.otLow, otLow + 16) << "the dead perm entry left the table";
  livePerm = rootAt(0), weakHolder = rootAt(1);
  holderOfOld = slotOf(livePerm, 0), holderOfGone = slotOf(livePerm, 1);
  EXPECT_EQ(slotOf(weakHolder, 1), sysOop(sysEmptySlotMarker));
  EXPECT_EQ(slotOf(weakHolder, 2), livePerm);
  EXPECT_EQ(permSpace.dataTop, dataTop - deadBytes);
  EXPECT_EQ(permSpaceAbsorbed, 0u);
  EXPECT_TRUE(isInOldRt(headerOf(holderOfOld)));
  EXPECT_FALSE(isInOldRt(headerOf(holderOfGone)));
  EXPECT_EQ(slotOf(holderOfOld, 0), findTagged(2));
  for (oop p : {livePerm, weakHolder, holderOfOld, holderOfGone}) {
    EXPECT_TRUE(isPermObject(headerOf(p)));
    EXPECT_TRUE(isMarked(headerOf(p)));
  }
  ASSERT_EQ(verifyHeap(), "");
  // Perm allocation goes on below the packed table and above the packed data.
  ObjectHeader* fresh = allocInPermSpace(testClasses.pointers, 0, 8, hasPtrsBit, nilOop());
  ASSERT_NE(fresh, nullptr);
  EXPECT_EQ(oopOf(fresh), otLow + 16);
  EXPECT_EQ(fresh->dataPtr, permSpace.dataTop - 8);
  ASSERT_EQ(collectGarbage(1), 1);
  EXPECT_EQ(permSpace.otLow, otLow + 16);
  EXPECT_EQ(verifyHeap(), "");
}

// ---- Primitives, requests, the stress switch -----------------------------------------------------

TEST_F(GlobalGC, GCStress_EveryNthScavengeRequestCollects) {
  static char on[] = "TESSEL_GC_STRESS=2", off[] = "TESSEL_GC_STRESS=";  // putenv: both builds
  putenv(on);
  EXPECT_EQ(initGCStress(), 2u);
  putenv(off);
  oop dead = oldArray(2);
  uint64_t before = numGCs;
  serveScavengeRequest();
  EXPECT_EQ(numGCs, before);
  EXPECT_FALSE(freed(dead));
  serveScavengeRequest();
  EXPECT_EQ(numGCs, before + 1);
  EXPECT_TRUE(freed(dead));
}

// Under the stress switch a registry slot naming a freed entry, or a vacated one (marked,
// outside perm space), is a fatal fault after the collection's sweeps.
TEST_F(GlobalGC, GCStress_RegistryNamingAFreedOrMovedEntryIsFatal) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  gcStressInterval = 1;
  sysOopRegistryPostGCChecks();  // the fixture's registry is sound
  for (bool vacated : {false, true}) {
    EXPECT_EXIT(
        {
          oop o = oldArray(1);
          registerSysOop(o, uint32_t(allocSysOopSlot()));
          if (vacated) setFlag(headerOf(o), isMarkedBit);
          else recycleOldObj(headerOf(o));
          sysOopRegistryPostGCChecks();
          exit(0);
        },
        ::testing::ExitedWithCode(5), "");  // the report goes to standard output
  }
}

TEST_F(GlobalGC, LowSpace_RequestSignalsTheSemaphoreOnceAndNilNothing) {
  oop semaphore = newOldObject(hashOf(headerOf(sysOop(sysSemaphoreClass))), 3);
  store(semaphore, semaphoreExcessSignals, smallIntegerFor(0));
  lowSpaceSemaphoreX = -1;
  PrimOutcome armed = callPrimitive(116, nilOop(), {semaphore, smallIntegerFor(0), smallIntegerFor(4096)});
  ASSERT_FALSE(armed.failed);
  EXPECT_EQ(lowSpaceLimit, 4096u);
  ASSERT_GE(lowSpaceSemaphoreX, 0);
  EXPECT_EQ(sysOop(uint32_t(lowSpaceSemaphoreX)), semaphore);
  uint64_t signals = asynchSignalCount;
  setRequest(requestLowSpace);
  handleRequests();
  EXPECT_EQ(lowSpaceLimit, 0u);
  EXPECT_EQ(asynchSignalCount, signals + 1);
  EXPECT_EQ(slotOf(semaphore, semaphoreExcessSignals), smallIntegerFor(1));
  ASSERT_FALSE(callPrimitive(116, nilOop(), {nilOop(), smallIntegerFor(0), smallIntegerFor(4096)}).failed);
  EXPECT_EQ(lowSpaceLimit, 0u);
  lowSpaceResponse();
  EXPECT_EQ(asynchSignalCount, signals + 1);
}

TEST_F(GlobalGC, LowSpace_Prim116RejectsBadArgumentsChangingNothing) {
  lowSpaceLimit = 77;
  oop notSemaphore = oldArray(1);
  const std::vector<std::vector<oop>> bad = {
      {notSemaphore, smallIntegerFor(0), smallIntegerFor(10)},
      {smallIntegerFor(1), smallIntegerFor(0), smallIntegerFor(10)},
      {nilOop(), nilOop(), smallIntegerFor(10)},
      {nilOop(), smallIntegerFor(0), smallIntegerFor(-1)},
  };
  for (const auto& args : bad) {
    PrimOutcome out = callPrimitive(116, nilOop(), {args[0], args[1], args[2]});
    EXPECT_TRUE(out.failed);
    EXPECT_EQ(out.errorOop, primErrorAt(3));
    EXPECT_EQ(lowSpaceLimit, 77u);
  }
}

// Primitive 112: free bytes beyond the reserve, never negative.
TEST_F(GlobalGC, LowSpace_Prim112AnswersTheFreeBytesBeyondTheReserve) {
  writeBackOldSpace();
  uint64_t room = slotsLeftInOldSpace() + oldSpaceSegs.freeSlots;
  for (uint64_t reserve : {uint64_t(0), room / 2, room, room + 100}) {
    osReserveSlots = reserve;
    PrimOutcome out = callPrimitive(112, nilOop(), {});
    ASSERT_FALSE(out.failed);
    EXPECT_EQ(smallIntegerValue(out.result), reserve < room ? int64_t(8 * (room - reserve)) : 0) << reserve;
  }
}

}  // namespace
