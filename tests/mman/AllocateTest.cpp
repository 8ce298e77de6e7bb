// Tests of allocation routing, instantiation, copying and the allocation primitives, run
// through the primitive harness on the test heap's real classes; each ends with the heap
// verifier.
#include <gtest/gtest.h>

#include <vector>

#include "ext/exPrimTable.h"
#include "mman/heapVerifier.h"
#include "mman/mmAllocate.h"
#include "mman/mmFixedSpace.h"
#include "mman/mmLargeSpace.h"
#include "mman/mmNewSpace.h"
#include "mman/mmOldSpace.h"
#include "mman/mmPermSpace.h"
#include "mman/mmPrimUtil.h"
#include "mman/mmRt.h"
#include "mman/mmSysOop.h"
#include "mman/testHeap.h"
#include "support/primHarness.h"

namespace {

class AllocationPrims : public ::testing::Test {
 protected:
  oop noSpace = 0;  // entry 1 of the error table: a one-slot Array, so that it can be cloned

  void SetUp() override {
    newTestHeap();
    initPrimitiveTable();
    initAllocationPrims();
    initFixedSpacePrims();
    initOldSpacePrims();
    noSpace = newOldObject(classIndexArray, 1);
    storeSlot(sysOop(sysPrimErrorTable), 1, noSpace, __FILE__, __LINE__);
  }
  void TearDown() override {
    EXPECT_HEAP_VALID();
    freeTestHeap();
  }
  static oop cls(uint32_t index) { return classAt(index); }
  static oop si(int64_t v) { return smallIntegerFor(v); }
  // The failure must be entry code of the error table, with the primitive's argument count.
  static void expectFailure(const PrimOutcome& o, uint32_t code, uint64_t numArgs) {
    ASSERT_TRUE(o.failed);
    EXPECT_EQ(o.errorOop, primErrorAt(code));
    EXPECT_EQ(o.numArgs, numArgs);
  }
  // Entry 1 cloned with the size wanted: a fresh copy whose slot 0 is the size.
  void expectNoSpaceWithSize(const PrimOutcome& o, uint64_t wanted, uint64_t numArgs) {
    ASSERT_TRUE(o.failed);
    ASSERT_NE(o.errorOop, noSpace);
    EXPECT_EQ(classTagOf(headerOf(o.errorOop)), uint32_t(classIndexArray));
    EXPECT_EQ(slotOf(o.errorOop, 0), cUnsignedToOopForTest(wanted));
    EXPECT_EQ(o.numArgs, numArgs);
  }
  static oop cUnsignedToOopForTest(uint64_t v) { return smallIntegerFor(int64_t(v)); }
  static void fillEden() {
    while (eden.end - eden.allocPtr > 64) allocInNewSpace(testClasses.bytes, 0, 0, 0, 0);
  }
  static void fillPermSpace() {
    while (allocInPermSpace(testClasses.bytes, 0, 800, 0, 0) != nullptr) {}
    while (allocInPermSpace(testClasses.bytes, 0, 0, 0, 0) != nullptr) {}
  }
};

// ---- 70 and 320: instances of non-indexable classes ----------------------------------------

TEST_F(AllocationPrims, Prim70_NamedSlotsOfNilInEden) {
  PrimOutcome o = callPrimitive(70, cls(testClasses.threeSlots), {});
  ASSERT_FALSE(o.failed);
  ObjectHeader* h = headerOf(o.result);
  EXPECT_TRUE(isInEden(o.result));
  EXPECT_EQ(classTagOf(h), testClasses.threeSlots);
  EXPECT_EQ(indexabilityOf(h), 3u);
  EXPECT_TRUE(hasPtrs(h));
  for (int i = 0; i < 3; i++) EXPECT_EQ(slotOf(o.result, i), nilOop());
  EXPECT_FALSE(isGCSpecial(h));
}

TEST_F(AllocationPrims, Prim70_EphemeronClassAndUnenteredClass) {
  uint32_t eph = newTestClass(formatPointers | formatEphemeron | 2);
  PrimOutcome o = callPrimitive(70, cls(eph), {});
  ASSERT_FALSE(o.failed);
  EXPECT_TRUE(isEphemeron(headerOf(o.result)));
  oop fresh = newUnenteredTestClass(formatPointers | 1);
  ASSERT_EQ(hashOf(headerOf(fresh)), 0u);
  o = callPrimitive(70, fresh, {});
  ASSERT_FALSE(o.failed);
  uint32_t index = hashOf(headerOf(fresh));
  EXPECT_NE(index, 0u);
  EXPECT_EQ(classAt(index), fresh);
  EXPECT_EQ(classTagOf(headerOf(o.result)), index);
}

TEST_F(AllocationPrims, Prim70And320_Failures) {
  for (uint32_t prim : {70u, 320u}) {
    expectFailure(callPrimitive(prim, cls(testClasses.pointers), {}), 5, 0);  // indexable
    expectFailure(callPrimitive(prim, si(3), {}), 5, 0);                      // not a class
    expectFailure(callPrimitive(prim, newOldObject(testClasses.object, 0), {}), 5, 0);
  }
  fillPermSpace();
  expectFailure(callPrimitive(320, cls(testClasses.threeSlots), {}), 1, 0);
}

TEST_F(AllocationPrims, Prim320_InstanceInPermSpace) {
  PrimOutcome o = callPrimitive(320, cls(testClasses.threeSlots), {});
  ASSERT_FALSE(o.failed);
  ObjectHeader* h = headerOf(o.result);
  EXPECT_TRUE(isPermObject(h));
  EXPECT_TRUE(isMarked(h));
  EXPECT_GT(o.result, permSpace.otLow);
  EXPECT_LE(o.result, permSpace.otHigh);
  EXPECT_EQ(indexabilityOf(h), 3u);
  for (int i = 0; i < 3; i++) EXPECT_EQ(slotOf(o.result, i), nilOop());
}

// ---- 71 and 321: instances of variable classes -------------------------------------------

TEST_F(AllocationPrims, Prim71_RoutesBySizeAndKind) {
  struct Case {
    uint32_t cls;
    int64_t count;
    bool large;        // body in large space
    uint64_t words;    // body words
  } cases[] = {
      {testClasses.bytes, 2048, false, 256},
      {testClasses.bytes, 2049, true, 257},
      {testClasses.bytes, 0, false, 0},
      {testClasses.pointers, 5, false, 5},
      {testClasses.pointers, 300, false, 300},
  };
  for (const Case& c : cases) {
    PrimOutcome o = callPrimitive(71, cls(c.cls), {si(c.count)});
    ASSERT_FALSE(o.failed) << c.count;
    ObjectHeader* h = headerOf(o.result);
    EXPECT_TRUE(isNewObject(o.result));
    EXPECT_EQ(sizeFieldOf(h) == sizeFieldLarge, c.large) << c.count;
    EXPECT_EQ(bodyWordsOf(h), c.words) << c.count;
    oop expected = hasPtrs(h) ? nilOop() : 0;
    for (uint64_t i = 0; i < c.words; i++) ASSERT_EQ(slotOf(o.result, i), expected);
    if (!hasPtrs(h)) {
      EXPECT_EQ(byteSizeOf(h), uint64_t(c.count));
    }
  }
  PrimOutcome weak = callPrimitive(71, cls(testClasses.weak), {si(4)});
  ASSERT_FALSE(weak.failed);
  EXPECT_TRUE(isGCSpecial(headerOf(weak.result)));
  EXPECT_FALSE(isEphemeron(headerOf(weak.result)));
}

// With eden full a 300-slot pointer object goes to past or old space, never to large space.
TEST_F(AllocationPrims, Prim71_PointerObjectNeverInLargeSpace) {
  fillEden();
  PrimOutcome o = callPrimitive(71, cls(testClasses.pointers), {si(300)});
  ASSERT_FALSE(o.failed);
  ObjectHeader* h = headerOf(o.result);
  EXPECT_NE(sizeFieldOf(h), uint32_t(sizeFieldLarge));
  EXPECT_FALSE(isInEden(o.result));
  EXPECT_EQ(bodyWordsOf(h), 300u);
}

TEST_F(AllocationPrims, Prim71And321_Failures) {
  for (uint32_t prim : {71u, 321u}) {
    expectFailure(callPrimitive(prim, cls(testClasses.threeSlots), {si(1)}), 5, 1);
    expectFailure(callPrimitive(prim, cls(testClasses.bytes), {si(-1)}), 3, 1);
    expectFailure(callPrimitive(prim, cls(testClasses.bytes), {characterFor(65)}), 3, 1);
    expectFailure(callPrimitive(prim, cls(testClasses.bytes), {si((int64_t(1) << 56) + 1)}), 3, 1);
  }
  // 2^56 passes the checks and then finds no space: the error carries the size wanted.
  int64_t limit = int64_t(1) << 56;
  expectNoSpaceWithSize(callPrimitive(71, cls(testClasses.bytes), {si(limit)}), uint64_t(limit), 1);
  expectNoSpaceWithSize(callPrimitive(71, cls(testClasses.pointers), {si(limit)}), uint64_t(limit) * 8, 1);
  expectNoSpaceWithSize(callPrimitive(321, cls(testClasses.bytes), {si(limit)}), uint64_t(limit), 1);
}

TEST_F(AllocationPrims, Prim321_PermInstancesZeroedOrNil) {
  PrimOutcome b = callPrimitive(321, cls(testClasses.bytes), {si(20)});
  PrimOutcome p = callPrimitive(321, cls(testClasses.pointers), {si(3)});
  ASSERT_FALSE(b.failed);
  ASSERT_FALSE(p.failed);
  EXPECT_TRUE(isPermObject(headerOf(b.result)));
  EXPECT_EQ(byteSizeOf(headerOf(b.result)), 20u);
  for (int i = 0; i < 3; i++) EXPECT_EQ(slotOf(b.result, i), 0u);
  for (int i = 0; i < 3; i++) EXPECT_EQ(slotOf(p.result, i), nilOop());
  fillPermSpace();
  expectNoSpaceWithSize(callPrimitive(321, cls(testClasses.pointers), {si(3)}), 24, 1);
}

// ---- 532 and 533: copies ------------------------------------------------------------------

TEST_F(AllocationPrims, Prim532_CopiesWithFreshIdentity) {
  oop young = newNewObject(testClasses.object, 0);
  oop original = newOldObject(testClasses.weak, 3);
  storeSlot(original, 0, young, __FILE__, __LINE__);
  storeSlot(original, 1, si(9), __FILE__, __LINE__);
  getObjHash(headerOf(original));
  setFlag(headerOf(original), isImmutableBit);
  PrimOutcome o = callPrimitive(532, original, {});
  ASSERT_FALSE(o.failed);
  ObjectHeader* c = headerOf(o.result);
  EXPECT_NE(o.result, original);
  EXPECT_EQ(classTagOf(c), testClasses.weak);
  EXPECT_TRUE(isGCSpecial(c));  // weak from the class format
  EXPECT_FALSE(isImmutable(c));
  EXPECT_EQ(hashOf(c), 0u);
  EXPECT_EQ(slotOf(o.result, 0), young);
  EXPECT_EQ(slotOf(o.result, 1), si(9));
  EXPECT_EQ(slotOf(o.result, 2), nilOop());
  oop bytes = newOldObject(testClasses.bytes, 13);
  reinterpret_cast<uint8_t*>(bodyOf(headerOf(bytes)))[12] = 0x5C;
  o = callPrimitive(532, bytes, {});
  ASSERT_FALSE(o.failed);
  EXPECT_EQ(byteSizeOf(headerOf(o.result)), 13u);
  EXPECT_EQ(reinterpret_cast<uint8_t*>(bodyOf(headerOf(o.result)))[12], 0x5C);
  o = callPrimitive(532, si(4), {});
  EXPECT_FALSE(o.failed);
  EXPECT_EQ(o.result, si(4));
}

// A 5-byte body's three padding bytes are copied as the original holds them (zero), not
// left as whatever eden held where the copy lands.
TEST_F(AllocationPrims, Prim532_CopiesThePaddingOfAShortByteBody) {
  oop bytes = newOldObject(testClasses.bytes, 5);
  uint8_t* body = reinterpret_cast<uint8_t*>(bodyOf(headerOf(bytes)));
  for (int i = 0; i < 5; i++) body[i] = uint8_t(0xA0 + i);
  ASSERT_EQ(body[5] | body[6] | body[7], 0);
  memset(reinterpret_cast<void*>(eden.allocPtr), 0xEE, 64);  // the place the copy takes
  PrimOutcome o = callPrimitive(532, bytes, {});
  ASSERT_FALSE(o.failed);
  EXPECT_EQ(byteSizeOf(headerOf(o.result)), 5u);
  EXPECT_EQ(indexabilityOf(headerOf(o.result)), 3u);
  EXPECT_EQ(memcmp(bodyOf(headerOf(o.result)), body, 8), 0);
}

// A copied ephemeron is an ephemeron: both flags come from its class's format.
TEST_F(AllocationPrims, Prim532_CopiedEphemeronStaysAnEphemeron) {
  uint32_t ephemeron = newTestClass(formatPointers | formatEphemeron | 3);
  oop original = newOldObject(ephemeron, 3);
  ASSERT_TRUE(isGCSpecial(headerOf(original)));
  ASSERT_TRUE(headerOf(original)->flags & ephemeronNotWeakBit);
  PrimOutcome o = callPrimitive(532, original, {});
  ASSERT_FALSE(o.failed);
  ObjectHeader* c = headerOf(o.result);
  EXPECT_EQ(classTagOf(c), ephemeron);
  EXPECT_TRUE(isGCSpecial(c));
  EXPECT_TRUE(c->flags & ephemeronNotWeakBit);
  EXPECT_EQ(bodyWordsOf(c), 3u);
}

// Copies that land outside new space get the store check of an unknown holder.
TEST_F(AllocationPrims, Prim533_PermCopyIsRemembered) {
  oop young = newNewObject(testClasses.object, 0);
  oop old = newOldObject(testClasses.object, 0);
  oop original = newOldObject(testClasses.pointers, 2);
  storeSlot(original, 0, young, __FILE__, __LINE__);
  storeSlot(original, 1, old, __FILE__, __LINE__);
  PrimOutcome o = callPrimitive(533, original, {});
  ASSERT_FALSE(o.failed);
  ObjectHeader* c = headerOf(o.result);
  EXPECT_TRUE(isPermObject(c));
  EXPECT_TRUE(inRt(c));
  EXPECT_TRUE(isInOldRt(c));
  EXPECT_EQ(slotOf(o.result, 0), young);
  EXPECT_EQ(slotOf(o.result, 1), old);
  EXPECT_EQ(callPrimitive(533, characterFor(7), {}).result, characterFor(7));
  fillPermSpace();
  expectNoSpaceWithSize(callPrimitive(533, original, {}), 16, 0);
}

// Hybrid contexts (class indices 8 and 9) are never copied: failure 1 with the data size.
TEST_F(AllocationPrims, Prim532And533_RefuseHybridContexts) {
  ObjectHeader* ctx = allocInOldSpace(classIndexHybridMethodContext, 6, 48, hasPtrsBit, nilOop(), 0);
  ASSERT_NE(ctx, nullptr);
  for (uint32_t prim : {532u, 533u}) expectNoSpaceWithSize(callPrimitive(prim, oopOf(ctx), {}), 48, 0);
  recycleOldObj(ctx);
}

// ---- 1040 to 1047: fixed space ------------------------------------------------------------

TEST_F(AllocationPrims, Prim1040To1046_FixedAndUnclearedBytes) {
  PrimOutcome cleared = callPrimitive(1040, cls(testClasses.bytes), {si(10)});
  ASSERT_FALSE(cleared.failed);
  ObjectHeader* h = headerOf(cleared.result);
  EXPECT_EQ(sizeFieldOf(h), uint32_t(sizeFieldFixed));
  EXPECT_EQ(byteSizeOf(h), 10u);
  EXPECT_TRUE(existsFixedSpaceSegmentFor(h->dataPtr));
  for (int i = 0; i < 2; i++) EXPECT_EQ(slotOf(cleared.result, i), 0u);
  // The arena starts out filled with 0xA5: an uncleared body shows it, the NULs excepted.
  PrimOutcome raw = callPrimitive(1045, cls(testClasses.bytes), {si(5)});
  ASSERT_FALSE(raw.failed);
  const uint8_t* data = reinterpret_cast<const uint8_t*>(bodyOf(headerOf(raw.result)));
  EXPECT_EQ(data[0], 0xA5);
  EXPECT_EQ(data[5], 0);
  EXPECT_EQ(data[6], 0);
  PrimOutcome young = callPrimitive(1046, cls(testClasses.bytes), {si(24)});
  ASSERT_FALSE(young.failed);
  EXPECT_TRUE(isInEden(young.result));
  EXPECT_EQ(slotOf(young.result, 0), 0xA5A5A5A5A5A5A5A5u);
  EXPECT_EQ(callPrimitive(1041, cleared.result, {}).result, trueOop());
  EXPECT_EQ(callPrimitive(1041, young.result, {}).result, falseOop());
  EXPECT_EQ(callPrimitive(1044, cleared.result, {}).result, si(int64_t(h->dataPtr)));
}

TEST_F(AllocationPrims, Prim1040To1046_Failures) {
  for (uint32_t prim : {1040u, 1045u, 1046u}) {
    expectFailure(callPrimitive(prim, cls(testClasses.pointers), {si(4)}), 5, 1);
    expectFailure(callPrimitive(prim, cls(testClasses.threeSlots), {si(4)}), 5, 1);
    expectFailure(callPrimitive(prim, cls(testClasses.bytes), {si(-3)}), 3, 1);
  }
  expectFailure(callPrimitive(1041, si(1), {}), 5, 0);
  expectFailure(callPrimitive(1044, si(1), {}), 5, 0);
  expectFailure(callPrimitive(1044, newNewObject(testClasses.bytes, 8), {}), 5, 0);
  uint64_t tooBig = fixedSpace.table.freeWords * 8;
  expectNoSpaceWithSize(callPrimitive(1040, cls(testClasses.bytes), {si(int64_t(tooBig))}), tooBig, 1);
}

// 1047 answers what the allocation search would find; 1042 and 1043 grow and shrink
// fixed space by whole segments.
TEST_F(AllocationPrims, Prim1047And1042And1043_FixedSpaceRoom) {
  uint64_t fits = (fixedSpace.table.lastBlock->words - 7) * 8 - 2;  // the largest that fits
  EXPECT_EQ(callPrimitive(1047, oop(0), {si(int64_t(fits))}).result, trueOop());
  EXPECT_EQ(callPrimitive(1047, oop(0), {si(int64_t(fits + 1))}).result, falseOop());
  EXPECT_EQ(callPrimitive(1047, oop(0), {si(int64_t(1) << 59)}).result, falseOop());
  expectFailure(callPrimitive(1047, oop(0), {si(-1)}), 3, 1);
  expectFailure(callPrimitive(1047, oop(0), {nilOop()}), 3, 1);
  EXPECT_EQ(callPrimitive(1042, oop(0), {si(int64_t(fits + 4000))}).result, trueOop());
  EXPECT_EQ(numFixedSpaceSegs(), 2u);
  EXPECT_EQ(callPrimitive(1047, oop(0), {si(int64_t(fits + 1))}).result, trueOop());
  PrimOutcome shrunk = callPrimitive(1043, oop(0), {si(1 << 30)});
  ASSERT_FALSE(shrunk.failed);
  EXPECT_EQ(smallIntegerValue(shrunk.result), int64_t((fits + 4000 + 7) / 8 * 8));
  EXPECT_EQ(numFixedSpaceSegs(), 1u);
  expectFailure(callPrimitive(1042, oop(0), {si(-8)}), 3, 1);
  expectFailure(callPrimitive(1043, oop(0), {characterFor(1)}), 3, 1);
}

// A body that fits only once the table's unused entries are packed: 1047 compacts. The
// unused entries are those a sweep leaves when it merges free neighbours.
TEST_F(AllocationPrims, Prim1047_CompactsTheTableFirst) {
  std::vector<ObjectHeader*> objs;
  for (int i = 0; i < 6; i++) objs.push_back(allocInFixedSpace(testClasses.bytes, 40, 0, 0));  // 7 words
  uint64_t last = fixedSpace.table.lastBlock->words;
  ObjectHeader* rest = allocInFixedSpace(testClasses.bytes, (last - 8) * 8 - 1, 0, 0);  // leaves 1 word
  ASSERT_NE(rest, nullptr);
  ASSERT_EQ(fixedSpace.table.lastBlock->words, 1u);
  for (ObjectHeader* h : objs) recycleNewObj(h);
  ASSERT_TRUE(btAbsorbFollowing(&fixedSpace.table, fixedSpace.table.firstFree));
  fixedTableHasUnused = 1;
  EXPECT_EQ(findFixedBlock(20, 0), nullptr);  // 42 free words, but no entry for the split
  EXPECT_EQ(callPrimitive(1047, oop(0), {si(150)}).result, trueOop());  // 20 words
  EXPECT_EQ(fixedSpace.table.lastBlock->words, 1u + 5 * btEntryWords);
  recycleNewObj(rest);
}

// ---- Instantiation services and error objects ---------------------------------------------

TEST_F(AllocationPrims, AllocVSAndFSObj_WithRealClasses) {
  ObjectHeader* fs = allocFSObj(cls(testClasses.threeSlots));
  ASSERT_NE(fs, nullptr);
  EXPECT_EQ(bodyWordsOf(fs), 3u);
  EXPECT_EQ(slotOf(oopOf(fs), 2), nilOop());
  ObjectHeader* big = allocVSObj(cls(testClasses.pointers), 400);  // 3200 bytes: size word
  ASSERT_NE(big, nullptr);
  EXPECT_EQ(sizeFieldOf(big), uint32_t(sizeFieldExtended));
  EXPECT_TRUE(isInEden(oopOf(big)));
  ObjectHeader* bytes = allocVSObj(cls(testClasses.bytes), 3000);
  EXPECT_EQ(sizeFieldOf(bytes), uint32_t(sizeFieldLarge));
  EXPECT_EQ(allocVSObj(cls(testClasses.bytes), (uint64_t(1) << 56) + 1), nullptr);
  ObjectHeader* fixed = allocVSObjInFixedSpace(cls(testClasses.bytes), 33);
  ASSERT_NE(fixed, nullptr);
  EXPECT_EQ(sizeFieldOf(fixed), uint32_t(sizeFieldFixed));
  EXPECT_EQ(allocVSObjInFixedSpace(cls(testClasses.pointers), 8), nullptr);
}

TEST_F(AllocationPrims, CloneErrorWith_CopiesOnlyPointerErrors) {
  oop copy = cloneErrorWith(noSpace, si(77));
  EXPECT_NE(copy, noSpace);
  EXPECT_EQ(slotOf(copy, 0), si(77));
  EXPECT_EQ(slotOf(noSpace, 0), nilOop());
  EXPECT_EQ(cloneErrorWith(noSpace, 0), noSpace);
  EXPECT_EQ(cloneErrorWith(primErrorAt(3), si(1)), primErrorAt(3));  // a SmallInteger entry
  oop young = newNewObject(testClasses.object, 0);
  oop oldCopy = cloneErrorWith(noSpace, young);
  EXPECT_EQ(slotOf(oldCopy, 0), young);
  CallErrorRecord r = {smallIntegerFor(-2), 5, 0};  // entry 1, with the value
  oop e = cloneCallCError(&r);
  EXPECT_EQ(classTagOf(headerOf(e)), uint32_t(classIndexArray));
  EXPECT_EQ(slotOf(e, 0), si(5));
  r = {smallIntegerFor(-99), 0, 0};  // beyond the table: the code itself
  EXPECT_EQ(cloneCallCError(&r), smallIntegerFor(-99));
}

}  // namespace
