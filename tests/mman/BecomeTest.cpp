// Become: every pair of body kinds and header locations exchanged and then scavenged and
// collected (globally and incrementally, each followed by a quick compaction); each
// allocation of an exchange failing in turn; the primitives' failures; the one-way
// replacement over heap holders; promoteToFixedSpace.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "ext/exPrimTable.h"
#include "mman/mmAllocate.h"
#include "mman/mmBecome.h"
#include "mman/mmFixedSpace.h"
#include "mman/mmIncGC.h"
#include "mman/mmInit.h"
#include "mman/mmLargeSpace.h"
#include "mman/mmPermSpace.h"
#include "mman/scavengeHeap.h"
#include "support/primHarness.h"

namespace {

// Roots: 0 and 1 the two objects, 2 a new object that pointer bodies refer to.
enum : uint64_t { rootA = 0, rootB = 1, rootMarker = 2 };

struct Kind {
  const char* name;
  std::function<oop(uint32_t seed)> make;  // fills the body from seed
};

// What an object's contents look like independently of where its body lies: class,
// shape and every body word, with the marker reference spelled as one word.
struct Contents {
  uint32_t classTag;
  uint64_t bytes;
  uint32_t indexability;
  uint64_t special;
  std::vector<uint64_t> words;
  bool operator==(const Contents&) const = default;
};

class Become : public ScavengeHeapTest {
 protected:
  void SetUp() override {
    ScavengeHeapTest::SetUp();
    initPrimitiveTable();
    initBecomePrims();
    temp1RegisteredOopX = allocSysOopSlot();
    temp2RegisteredOopX = allocSysOopSlot();
    setRoot(rootMarker, newNewObject(testClasses.object, 0));
  }
  void TearDown() override {
    becomeFailAllocationAt = -1;
    temp1RegisteredOopX = temp2RegisteredOopX = -1;
    ScavengeHeapTest::TearDown();
  }

  static void fillPtrs(oop o, uint32_t seed, oop marker) {
    ObjectHeader* h = headerOf(o);
    for (uint64_t i = 0; i < bodyWordsOf(h); i++) store(o, i, smallIntegerFor(seed * 100 + i));
    if (bodyWordsOf(h) > 1) store(o, 1, marker);
  }
  static void fillBytes(oop o, uint32_t seed) {
    auto* p = reinterpret_cast<uint8_t*>(bodyOf(headerOf(o)));
    for (uint64_t i = 0; i < byteSizeOf(headerOf(o)); i++) p[i] = uint8_t(seed * 7 + i);
  }

  std::vector<Kind> kinds() {
    uint32_t ptrs = testClasses.pointers, bytes = testClasses.bytes;
    auto marker = [this] { return rootAt(rootMarker); };
    auto ptrObj = [=](ObjectHeader* h, uint32_t seed) { fillPtrs(oopOf(h), seed, marker()); return oopOf(h); };
    auto byteObj = [=](ObjectHeader* h, uint32_t seed) { fillBytes(oopOf(h), seed); return oopOf(h); };
    return {
        {"new pointers", [=](uint32_t s) { return ptrObj(headerOf(newNewObject(ptrs, 5)), s); }},
        {"new bytes", [=](uint32_t s) { return byteObj(headerOf(newNewObject(bytes, 13)), s); }},
        {"new empty", [=](uint32_t) { return newNewObject(ptrs, 0); }},
        {"new 2009 bytes", [=](uint32_t s) { return byteObj(allocInNewSpace(bytes, 0, 2009, 0, 0), s); }},
        {"old pointers", [=](uint32_t s) { return ptrObj(headerOf(newOldObject(ptrs, 4)), s); }},
        {"old 3000 bytes", [=](uint32_t s) { return byteObj(headerOf(newOldObject(bytes, 3000)), s); }},
        {"old empty", [=](uint32_t) { return newOldObject(ptrs, 0); }},
        {"perm pointers", [=](uint32_t s) { return ptrObj(allocInPermSpace(ptrs, 0, 24, hasPtrsBit, nilOop()), s); }},
        {"large", [=](uint32_t s) { return byteObj(allocInLargeSpace(bytes, 2500, 0, 0), s); }},
        {"fixed", [=](uint32_t s) { return byteObj(allocInFixedSpace(bytes, 21, 0, 0), s); }},
    };
  }

  Contents contentsOf(oop o) {
    ObjectHeader* h = headerOf(o);
    Contents c{classTagOf(h), byteSizeOf(h), indexabilityOf(h), h->flags & (hasPtrsBit | isGCSpecialBit | ephemeronNotWeakBit), {}};
    uint64_t words = bodyWordsOf(h);
    for (uint64_t i = 0; i < words; i++) {
      uint64_t w = bodyOf(h)[i];
      if (hasPtrs(h) && w == rootAt(rootMarker)) w = 1;  // the marker moves with scavenges
      c.words.push_back(w);
    }
    if (!hasPtrs(h) && words > 0) {  // odd bytes past the data are no contents
      uint64_t odd = bodyBytesOf(h) - byteSizeOf(h);
      if (odd) c.words.back() &= ~uint64_t(0) >> (8 * odd);
    }
    return c;
  }
  static uint64_t keptBits(oop o) { return headerOf(o)->flags & ~uint64_t(becomeMovedFlags) & ~uint64_t(isInOldRtBit | inRtBit); }
};

TEST_F(Become, ExchangesEveryPairOfBodyKindsThenSurvivesCollections) {
  std::vector<Kind> table = kinds();
  for (size_t i = 0; i < table.size(); i++)
    for (size_t j = 0; j < table.size(); j++) {
      SCOPED_TRACE(std::string(table[i].name) + " <-> " + table[j].name);
      TearDown();
      SetUp();
      setRoot(rootA, table[i].make(1));
      setRoot(rootB, table[j].make(2));
      oop a = rootAt(rootA), b = rootAt(rootB);
      getObjHash(headerOf(a)), getObjHash(headerOf(b));
      if (i % 3 == 0) setFlag(headerOf(a), isImmutableBit);  // tryBecome ignores immutability
      Contents ca = contentsOf(a), cb = contentsOf(b);
      uint64_t ka = keptBits(a), kb = keptBits(b);
      ASSERT_EQ(tryBecome(a, b), 1);
      EXPECT_EQ(contentsOf(a), cb);
      EXPECT_EQ(contentsOf(b), ca);
      EXPECT_EQ(keptBits(a), ka);
      EXPECT_EQ(keptBits(b), kb);
      ASSERT_EQ(verifyHeap(), "");
      ASSERT_EQ(scavengeNewSpace(), 1);
      ASSERT_EQ(verifyHeap(), "");
      // Each collection, then a quick compaction, which finds the owner of a perm header's
      // old body only through the old remembered table.
      for (std::function<int()> collect : {std::function<int()>([] { return collectGarbage(0); }),
                                           std::function<int()>([] { return collectGarbage(1); }),
                                           std::function<int()>([] {
                                             while (!incMarkSweep(0, incGCUnbounded, incGCUnbounded)) {}
                                             return 1;
                                           })}) {
        ASSERT_EQ(collect(), 1);
        ASSERT_EQ(verifyHeap(), "");
        for (oop o : {rootAt(rootA), rootAt(rootB)}) {
          const ObjectHeader* h = headerOf(o);
          uint64_t block = h->dataPtr - (hasSizeWord(h) ? 8 : 0);
          if (isPermObject(h) && h->dataPtr != 0 && addressInOldSegmentData(block) != nullptr) {
            ASSERT_TRUE(isInOldRt(h)) << "a perm header with an old body left the old remembered table";
          }
        }
        compact();
        ASSERT_EQ(verifyHeap(), "");
      }
      EXPECT_EQ(contentsOf(rootAt(rootA)), cb);
      EXPECT_EQ(contentsOf(rootAt(rootB)), ca);
      EXPECT_EQ(hashOf(headerOf(rootAt(rootA))), ka >> hashShift & identityHashMax);
    }
}

TEST_F(Become, FailedAllocationLeavesBothObjectsAndTablesUnchanged) {
  std::vector<Kind> table = kinds();
  for (size_t i = 0; i < table.size(); i++)
    for (size_t j = 0; j < table.size(); j++) {
      SCOPED_TRACE(std::string(table[i].name) + " <-> " + table[j].name);
      TearDown();
      SetUp();
      setRoot(rootA, table[i].make(1));
      setRoot(rootB, table[j].make(2));
      oop a = rootAt(rootA), b = rootAt(rootB);
      int failures = 0;
      // A new header receives a fresh body unless its partner's body is a block.
      bool needsFresh = (isNewObject(a) && sizeFieldOf(headerOf(b)) < sizeFieldLarge) ||
                        (isNewObject(b) && sizeFieldOf(headerOf(a)) < sizeFieldLarge);
      for (int64_t k = 0;; k++) {
        ObjectHeader ha = *headerOf(a), hb = *headerOf(b);
        Contents ca = contentsOf(a), cb = contentsOf(b);
        std::vector<uint64_t> rtBefore(reinterpret_cast<uint64_t*>(rt.start), reinterpret_cast<uint64_t*>(rt.ffs));
        becomeFailAllocationAt = k;
        int done = exchangeObjects(a, b);
        bool refused = becomeFailAllocationAt < 0;  // the countdown reached the failing one
        becomeFailAllocationAt = -1;
        if (done) {
          EXPECT_FALSE(refused);
          break;
        }
        failures++;
        EXPECT_EQ(memcmp(headerOf(a), &ha, sizeof ha), 0);
        EXPECT_EQ(memcmp(headerOf(b), &hb, sizeof hb), 0);
        EXPECT_EQ(contentsOf(a), ca);
        EXPECT_EQ(contentsOf(b), cb);
        std::vector<uint64_t> rtAfter(reinterpret_cast<uint64_t*>(rt.start), reinterpret_cast<uint64_t*>(rt.ffs));
        EXPECT_EQ(rtAfter, rtBefore);
        ASSERT_EQ(verifyHeap(), "");
        ASSERT_LT(k, 3);
      }
      if (needsFresh) { EXPECT_GT(failures, 0); }
      EXPECT_EQ(verifyHeap(), "");
    }
}

TEST_F(Become, PrimitiveFailuresAndAnswers) {
  oop oldA = newOldObject(testClasses.pointers, 2), oldB = newOldObject(testClasses.pointers, 3);
  oop frozen = newOldObject(testClasses.pointers, 1);
  setFlag(headerOf(frozen), isImmutableBit);
  oop si = smallIntegerFor(3), nil = nilOop();
  struct Case { uint32_t prim; oop rcv; std::vector<oop> args; int code; oop answer; const char* what; };
  std::vector<Case> cases = {
      {72, si, {oldA}, primErrBadReceiver, 0, "immediate receiver"},
      {72, oldA, {si}, primErrBadArgument, 0, "immediate argument"},
      {72, oldA, {frozen}, primErrImmutable, 0, "immutable argument"},
      {72, frozen, {oldA}, primErrImmutable, 0, "immutable receiver"},
      {72, oldA, {oldA}, -1, oldA, "itself"},
      {72, oldA, {oldB}, -1, oldB, "answers the argument"},
      {172, nil, {si, oldA}, primErrBadArgument, 0, "172 immediate first"},
      {172, nil, {oldA, oldB}, -1, oldB, "172 answers the second"},
      {108, si, {oldA}, primErrBadReceiver, 0, "108 immediate receiver"},
      {108, oldA, {oldA}, -1, oldA, "108 itself"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    uint64_t wordsA = bodyWordsOf(headerOf(oldA));
    PrimOutcome o = callPrimitive(c.prim, c.rcv, c.args);
    ASSERT_EQ(o.failed, c.code >= 0);
    if (o.failed) {
      EXPECT_EQ(o.errorOop, primErrorAt(uint32_t(c.code)));
      EXPECT_EQ(bodyWordsOf(headerOf(oldA)), wordsA);
    } else {
      EXPECT_EQ(o.result, c.answer);
    }
  }
  EXPECT_EQ(bodyWordsOf(headerOf(oldA)), 2u);  // 72 then 172 exchanged twice
  EXPECT_HEAP_VALID();
}

TEST_F(Become, NoRoomAfterTenuringFailsWithTheBytesNeeded) {
  oop a = newNewObject(testClasses.pointers, 3), b = newOldObject(testClasses.bytes, 20);
  setRoot(rootA, a);
  becomeFailAllocationAt = 0;  // the first exchange fails; the retry after tenuring succeeds
  PrimOutcome o = callPrimitive(72, a, {b});
  ASSERT_FALSE(o.failed);
  EXPECT_FALSE(isNewObject(rootAt(rootA)));  // tenured before the retry
  EXPECT_EQ(classTagOf(headerOf(rootAt(rootA))), testClasses.bytes);
  EXPECT_EQ(sysOop(uint32_t(temp1RegisteredOopX)), nilOop());

  oop c = rootAt(rootA), d = newOldObject(testClasses.pointers, 2);
  becomeFailAllocationAt = -1;
  temp1RegisteredOopX = -1;  // no temporary slots: no tenuring retry either
  setRoot(rootB, newNewObject(testClasses.pointers, 1));
  oop n = rootAt(rootB);
  becomeFailAllocationAt = 0;
  o = callPrimitive(72, n, {d});
  ASSERT_TRUE(o.failed);
  EXPECT_EQ(o.errorOop, primErrorAt(primErrNoSpace));  // this heap's entries are immediate: not cloned
  EXPECT_EQ(classTagOf(headerOf(c)), testClasses.bytes);
}

TEST_F(Become, OneWayReplacesHeapReferencesWithTheStoreCheck) {
  oop r = newOldObject(testClasses.object, 0);
  oop oldHolder = newOldObject(testClasses.pointers, 3);
  oop permHolder = oopOf(allocInPermSpace(testClasses.pointers, 0, 16, hasPtrsBit, nilOop()));
  setRoot(3, oldHolder);
  setRoot(4, permHolder);
  setRoot(5, newNewObject(testClasses.pointers, 2));
  for (oop h : {oldHolder, permHolder, rootAt(5)}) store(h, 0, r), store(h, 1, r);
  setRoot(6, r);
  struct Case { const char* what; std::function<oop()> x; };
  std::vector<Case> cases = {
      {"immediate", [] { return smallIntegerFor(9); }},
      {"new", [] { return newNewObject(testClasses.bytes, 3); }},
      {"old", [] { return newOldObject(testClasses.bytes, 3); }},
      {"perm", [] { return oopOf(allocInPermSpace(testClasses.bytes, 0, 3, 0, 0)); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    oop x = c.x();
    ASSERT_TRUE(registerInRt(headerOf(r)));  // a listed r stays listed: the tables are not rewritten
    replaceEveryReference(r, x);
    EXPECT_TRUE(objReallyInRt(headerOf(r)));
    for (uint64_t s : {uint64_t(3), uint64_t(4), uint64_t(5)})
      for (uint64_t i : {uint64_t(0), uint64_t(1)}) EXPECT_EQ(slotOf(rootAt(s), i), x);
    EXPECT_EQ(slotOf(rootAt(3), 2), nilOop());
    EXPECT_EQ(rootAt(6), x);
    ASSERT_EQ(verifyHeap(), "");
    ASSERT_EQ(scavengeNewSpace(), 1);
    ASSERT_EQ(collectGarbage(0), 1);
    ASSERT_EQ(verifyHeap(), "");
    // the next round replaces a fresh old object again
    r = newOldObject(testClasses.object, 0);
    for (uint64_t s : {uint64_t(3), uint64_t(4), uint64_t(5)}) store(rootAt(s), 0, r), store(rootAt(s), 1, r);
    setRoot(6, r);
  }
}

TEST_F(Become, PromoteToFixedSpace) {
  oop fixed = oopOf(allocInFixedSpace(testClasses.bytes, 10, 0, 0));
  oop bytes = newNewObject(testClasses.bytes, 11);
  fillBytes(bytes, 4);
  setRoot(rootA, bytes);
  Contents before = contentsOf(bytes);
  struct Case { oop o; int answer; };
  for (Case c : std::vector<Case>{{smallIntegerFor(1), 0}, {newOldObject(testClasses.pointers, 1), 0}, {fixed, 1}, {bytes, 1}})
    EXPECT_EQ(promoteToFixedSpace(c.o), c.answer);
  EXPECT_EQ(sizeFieldOf(headerOf(bytes)), uint32_t(sizeFieldFixed));
  EXPECT_EQ(contentsOf(bytes), before);
  ASSERT_EQ(verifyHeap(), "");
  ASSERT_EQ(scavengeNewSpace(), 1);
  EXPECT_EQ(contentsOf(rootAt(rootA)), before);
}

}  // namespace
