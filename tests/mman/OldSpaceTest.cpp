// Old space: body allocation from the lists and the tree, objects, growth and shrinking,
// segments, the primitives, and a long randomised run checked by the heap verifier.
#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <random>
#include <vector>

#include "ext/exPrimTable.h"
#include "mman/heapVerifier.h"
#include "mman/mmFixedSpace.h"
#include "mman/mmIncGC.h"
#include "mman/mmInit.h"
#include "mman/mmNewSpace.h"
#include "mman/mmOldSpace.h"
#include "mman/mmRt.h"
#include "mman/mmScavenge.h"
#include "mman/mmSysOop.h"
#include "mman/testHeap.h"
#include "support/primHarness.h"

namespace {

class OldSpace : public ::testing::Test {
 protected:
  void SetUp() override {
    savedTenure = tenureThreshold;
    savedStack = stackSpaceSlots;
    savedCode = kernelSlots[slotsCode];
    newTestHeap();
    initPrimitiveTable();
    initOldSpacePrims();
  }
  void TearDown() override {
    if (heapSegs) oldSpaceSegs = *heapSegs;
    EXPECT_EQ(verifyHeap(), "");
    freeTestHeap();
    tenureThreshold = savedTenure;
    stackSpaceSlots = savedStack;
    kernelSlots[slotsCode] = savedCode;
  }
  int64_t savedTenure = 0;
  uint64_t savedStack = 0, savedCode = 0;
  // The heap's own free lists, kept by a test that points them at a copy of the data.
  std::optional<OldSpaceSegs> heapSegs;
  // A free chunk of n slots carved from the data top.
  uint64_t freeChunk(uint64_t n) {
    uint64_t c = oldSpace.dataTop;
    oldSpace.dataTop += n * 8;
    freeOldData(c, n);
    return c;
  }
};

TEST_F(OldSpace, TakesTheFirstMultipleAndListsTheRemainder) {
  uint64_t c30 = freeChunk(30);
  freeChunk(13);
  EXPECT_EQ(allocOldData(10, 0), c30);
  EXPECT_EQ(oldSpaceSegs.lists[19], c30 + 80);
  EXPECT_EQ(oldSpaceSegs.lists[12] != 0, true);
  EXPECT_EQ(fragSplits, 1u);
  freeOldData(c30, 10);
}

TEST_F(OldSpace, ClearsAStaleListBitAndGoesOn) {
  oldSpaceSegs.listBits |= 1u << 2;
  uint64_t c5 = freeChunk(5);
  EXPECT_EQ(allocOldData(3, 0), c5);
  EXPECT_EQ(oldSpaceSegs.listBits & (1u << 2), 0u);
  freeOldData(c5, 3);
}

TEST_F(OldSpace, TreeGivesExactFitsFromTheChainThenSplitsLargerNodes) {
  uint64_t a = freeChunk(100), b = freeChunk(100);
  freeChunk(1);  // keeps the chunks apart
  uint64_t big = freeChunk(300);
  uint64_t first = allocOldData(100, 0);
  EXPECT_TRUE(first == a || first == b);
  EXPECT_EQ(fragExactFits, 1u);
  uint64_t second = allocOldData(100, 0);
  EXPECT_NE(first, second);
  EXPECT_EQ(allocOldData(120, 0), big);
  EXPECT_EQ(oldSpaceSegs.treeRoot, big + 120 * 8);  // the 180-slot remainder
  freeOldData(first, 100);
  freeOldData(second, 100);
  freeOldData(big, 120);
}

TEST_F(OldSpace, ChoosesTheExtendedSizeFormAbove2008Bytes) {
  struct Case { uint64_t bytes; uint32_t sizeField; uint64_t sizeWord; uint32_t odd; } cases[] = {
      {2008, 251, 0, 0}, {2009, 252, 2016, 7}, {1, 1, 0, 7}, {0, 0, 0, 0}};
  for (const Case& c : cases) {
    uint64_t top = oldSpace.dataTop;
    ObjectHeader* h = headerOf(newOldObject(testClasses.bytes, c.bytes));
    EXPECT_EQ(sizeFieldOf(h), c.sizeField) << c.bytes;
    EXPECT_EQ(indexabilityOf(h), c.odd) << c.bytes;
    EXPECT_EQ(byteSizeOf(h), c.bytes);
    if (c.sizeWord != 0) {
      EXPECT_EQ(*sizeWordOf(h), c.sizeWord);
      EXPECT_EQ(h->dataPtr, top + 8);
      EXPECT_EQ(oldSpace.dataTop, top + 8 + c.sizeWord);
    }
  }
}

TEST_F(OldSpace, ShrinkFreesTheTailAndADroppedSizeWord) {
  ObjectHeader* h = headerOf(newOldObject(testClasses.pointers, 400));
  EXPECT_EQ(shrinkOldObject(h, 100, 0), 100u);
  EXPECT_EQ(sizeFieldOf(h), 252u);
  EXPECT_EQ(*sizeWordOf(h), 2400u);
  EXPECT_EQ(oldSpaceSegs.treeRoot, h->dataPtr + 2400);
  ObjectHeader* g = headerOf(newOldObject(testClasses.pointers, 260));
  EXPECT_EQ(shrinkOldObject(g, 20, 0), 20u);
  EXPECT_EQ(sizeFieldOf(g), 240u);
  EXPECT_EQ(oldSpaceSegs.lists[0], g->dataPtr - 8);
  EXPECT_EQ(oldSpaceSegs.lists[19], g->dataPtr + 240 * 8);
  EXPECT_EQ(shrinkOldObject(g, 10, 241), 0u);  // minSlots above the body
  EXPECT_EQ(shrinkOldObject(g, 1000, 0), 240u);
  EXPECT_EQ(g->dataPtr, 0u);
  EXPECT_EQ(sizeFieldOf(g), 0u);
}

TEST_F(OldSpace, GrowCopiesTheBodyAndFillsNewSlots) {
  ObjectHeader* h = headerOf(newOldObject(testClasses.pointers, 250));
  bodyOf(h)[0] = smallIntegerFor(7);
  bodyOf(h)[249] = smallIntegerFor(9);
  EXPECT_EQ(growOldObject(h, 10, 10), 10u);
  EXPECT_EQ(sizeFieldOf(h), 252u);
  EXPECT_EQ(bodyWordsOf(h), 260u);
  EXPECT_EQ(bodyOf(h)[0], smallIntegerFor(7));
  EXPECT_EQ(bodyOf(h)[249], smallIntegerFor(9));
  EXPECT_EQ(bodyOf(h)[259], nilOop());
  ObjectHeader* b = headerOf(newOldObject(testClasses.bytes, 13));
  EXPECT_EQ(growOldObject(b, 2, 1), 2u);
  EXPECT_EQ(bodyWordsOf(b), 4u);
  EXPECT_EQ(bodyOf(b)[3], 0u);
}

TEST_F(OldSpace, GrowStepsDownToTheMinimumWhenSpaceIsShort) {
  osReserveSlots = 0;
  ObjectHeader* h = headerOf(newOldObject(testClasses.pointers, 4));
  uint64_t room = segmentRoom(&oldSpace);
  uint64_t added = growOldObject(h, room + 1000, 10);  // cannot fit; must step down
  EXPECT_GE(added, 10u);
  EXPECT_LE(added, room);
  ObjectHeader* g = headerOf(newOldObject(testClasses.pointers, 4));
  EXPECT_EQ(growOldObject(g, 1 << 30, 1 << 29), 0u);
}

TEST_F(OldSpace, GrowOldSpaceOfZeroAddsNothing) {
  EXPECT_EQ(growOldSpace(0), 1);
  EXPECT_EQ(numOldSpaceSegs(), 1u);
  EXPECT_EQ(growOldSpace(1000), 1);
  EXPECT_EQ(numOldSpaceSegs(), 2u);
  EXPECT_GE(slotsLeftInOldSpace(), 1000u);
}

TEST_F(OldSpace, ReserveIsOnlyForTheMemoryManager) {
  osReserveSlots = segmentRoom(&oldSpace) - 10;
  EXPECT_EQ(allocInOldSpace(testClasses.bytes, 0, 200, 0, 0, 0), nullptr);  // no other segment
  EXPECT_EQ(oldSpaceSegs.freeOtCount, 1u);  // its entry went back
  EXPECT_NE(allocInOldSpace(testClasses.bytes, 0, 200, 0, 0, 1), nullptr);
  ASSERT_EQ(growOldSpace(osReserveSlots + 1000), 1);
  ObjectHeader* h = allocInOldSpace(testClasses.bytes, 0, 200, 0, 0, 0);
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(oldSpaceSegs.current, addressInOldSegment(h->dataPtr));
  EXPECT_GE(slotsLeftInOldSpace(), osReserveSlots);  // an ordinary allocation never eats into the reserve
}

TEST_F(OldSpace, FindContiguousPicksTheTightestSegmentThatFits) {
  ASSERT_EQ(growOldSpace(5000), 1);
  ASSERT_EQ(growOldSpace(3000), 1);
  auto fillCurrent = [&]() { freeChunk(segmentRoom(&oldSpace)); };
  fillCurrent();
  EXPECT_EQ(findContiguousSlotsInOldSpaceSlowly(2500, 1), 1);
  EXPECT_GE(segmentRoom(&oldSpace), 2500u);
  EXPECT_LT(segmentRoom(&oldSpace), 5000u);
  fillCurrent();
  EXPECT_EQ(findContiguousSlotsInOldSpaceSlowly(4000, 1), 1);
  EXPECT_GE(segmentRoom(&oldSpace), 5000u);
  fillCurrent();
  EXPECT_EQ(findContiguousSlotsInOldSpaceSlowly(10, 1), 0);
}

TEST_F(OldSpace, PrimitivesCheckTheirArgumentsAndAct) {
  oop r = nilOop();
  PrimOutcome o = callPrimitive(409, r, {smallIntegerFor(-8)});
  EXPECT_TRUE(o.failed);
  EXPECT_EQ(o.errorOop, primErrorAt(3));
  EXPECT_EQ(o.numArgs, 1u);
  o = callPrimitive(409, r, {smallIntegerFor(800)});
  EXPECT_FALSE(o.failed);
  EXPECT_EQ(o.result, r);
  EXPECT_EQ(osReserveSlots, 100u);
  osReserveSlots = 0;
  uint64_t top = oldSpace.dataTop;
  o = callPrimitive(328, r, {smallIntegerFor(7)});
  EXPECT_EQ(o.result, trueOop());
  EXPECT_EQ(oldSpace.dataTop, top);  // fewer than 8 bytes: nothing carved
  o = callPrimitive(328, r, {smallIntegerFor(803)});
  EXPECT_EQ(o.result, trueOop());
  EXPECT_EQ(oldSpaceSegs.treeRoot, top);
  EXPECT_TRUE(callPrimitive(328, r, {trueOop()}).failed);
  EXPECT_EQ(callPrimitive(323, r, {smallIntegerFor(80000)}).result, trueOop());
  EXPECT_EQ(callPrimitive(323, r, {smallIntegerFor(80000)}).result, trueOop());
  EXPECT_EQ(numOldSpaceSegs(), 3u);
  EXPECT_TRUE(callPrimitive(323, r, {smallIntegerFor(-1)}).failed);
  // The first segment by address is never given back; the platform places the new ones,
  // so at least one of the two empty segments follows another and goes back.
  o = callPrimitive(329, r, {smallIntegerFor(1 << 20)});
  EXPECT_FALSE(o.failed);
  EXPECT_LE(numOldSpaceSegs(), 2u);
  EXPECT_GE(smallIntegerValue(o.result), 80000);
  EXPECT_EQ(smallIntegerValue(callPrimitive(329, r, {smallIntegerFor(0)}).result), 0);
}

// A randomised run over objects, with references among them and from old holders to new
// objects, checked by the verifier after every step.
TEST_F(OldSpace, RandomisedRunKeepsEveryInvariant) {
  std::mt19937_64 rng(12345);
  std::vector<oop> live;
  auto pick = [&]() { return live[rng() % live.size()]; };
  auto forget = [&](oop dead) {
    for (oop o : live)
      if (hasPtrs(headerOf(o)) && headerOf(o)->dataPtr != 0)
        for (uint64_t i = 0, n = bodyWordsOf(headerOf(o)); i < n; i++)
          if (bodyOf(headerOf(o))[i] == dead) bodyOf(headerOf(o))[i] = nilOop();
  };
  for (int step = 0; step < 3000; step++) {
    uint64_t op = rng() % 100;
    if (op < 40 || live.size() < 5) {
      uint64_t n = rng() % 8 == 0 ? 200 + rng() % 2000 : rng() % 40;
      live.push_back(newOldObject(rng() % 2 ? testClasses.pointers : testClasses.bytes, n));
    } else if (op < 60) {
      oop dead = pick();
      live.erase(std::find(live.begin(), live.end(), dead));
      forget(dead);
      recycleOldObj(headerOf(dead));
    } else if (op < 70) {
      growOldObject(headerOf(pick()), 1 + rng() % 300, 1);
    } else if (op < 80) {
      shrinkOldObject(headerOf(pick()), rng() % 300, 0);
    } else if (op < 95) {
      oop holder = pick();
      ObjectHeader* h = headerOf(holder);
      if (!hasPtrs(h) || h->dataPtr == 0) continue;
      oop value = rng() % 4 == 0 ? newNewObject(testClasses.object, 0) : pick();
      storeSlot(holder, rng() % bodyWordsOf(h), value, __FILE__, __LINE__);
    } else if (op < 97) {
      oop bytes = smallIntegerFor(int64_t(8000 + rng() % 400000));
      ASSERT_EQ(callPrimitive(323, nilOop(), {bytes}).result, trueOop());
    } else if (op < 98) {
      callPrimitive(329, nilOop(), {smallIntegerFor(int64_t(rng() % 800000))});
    } else {
      callPrimitive(328, nilOop(), {smallIntegerFor(int64_t(rng() % 4000))});
    }
    std::string faults = verifyHeap();
    ASSERT_EQ(faults, "") << "after step " << step << " (operation " << op << ")";
  }
}

}  // namespace

namespace {

uint64_t relocationDelta;
uint64_t relocateByDelta(uint64_t a) { return a + relocationDelta; }

// In-order sizes of the tree, each node's chain length after it; parent links checked.
void treeShape(uint64_t node, uint64_t parent, std::vector<uint64_t>& out) {
  if (node == 0) return;
  FreeChunk* c = reinterpret_cast<FreeChunk*>(node);
  EXPECT_EQ(c->parent, parent);
  treeShape(c->smaller, node, out);
  uint64_t chain = 0;
  for (uint64_t k = node; k != 0; k = reinterpret_cast<FreeChunk*>(k)->next) chain++;
  out.push_back(c->sizeWord >> 3);
  out.push_back(chain);
  treeShape(c->larger, node, out);
}

std::vector<uint64_t> freeShape() {
  std::vector<uint64_t> shape;
  for (uint64_t head : oldSpaceSegs.lists) {
    uint64_t n = 0;
    for (uint64_t c = head; c != 0; c = *reinterpret_cast<uint64_t*>(c)) n++;
    shape.push_back(n);
  }
  treeShape(oldSpaceSegs.treeRoot, 0, shape);
  return shape;
}

TEST_F(OldSpace, FreeListsSurviveASnapshotAndARelocatedLoad) {
  for (uint64_t n : {3, 3, 10, 64, 65, 200, 90, 200, 500, 90, 120}) {
    freeChunk(n);
    freeChunk(1);  // keeps neighbours apart
  }
  ASSERT_EQ(prepareThreadedFreeListForSnapshot(), 1);
  EXPECT_GE(reinterpret_cast<FreeChunk*>(threadedDataForSnapshot)->sizeWord >> 3, 70u);
  heapSegs = oldSpaceSegs;
  const OldSpaceSegs& saved = *heapSegs;
  std::vector<uint64_t> shape = freeShape();
  oldSpaceSegs.treeRoot = 0;
  memset(oldSpaceSegs.lists, 0, sizeof oldSpaceSegs.lists);
  oldSpaceSegs.listBits = 0;
  updateThreadedDataPointers(nullptr);
  EXPECT_EQ(oldSpaceSegs.treeRoot, saved.treeRoot);
  EXPECT_EQ(memcmp(oldSpaceSegs.lists, saved.lists, sizeof saved.lists), 0);
  EXPECT_EQ(verifyHeap(), "");

  // The segment's data copied elsewhere, as a load at another address would place it.
  uint64_t bytes = oldSpace.dataTop - oldSpace.dataStart;
  std::vector<uint64_t> copy(bytes / 8);
  memcpy(copy.data(), reinterpret_cast<void*>(oldSpace.dataStart), bytes);
  relocationDelta = reinterpret_cast<uint64_t>(copy.data()) - oldSpace.dataStart;
  threadedDataForSnapshot += relocationDelta;
  OldSpaceSegment inPlace = oldSpace;  // the loaded segment's data is the copy
  oldSpace.dataStart += relocationDelta;
  oldSpace.dataTop += relocationDelta;
  EXPECT_EQ(updateThreadedDataPointers(relocateByDelta), 1);
  oldSpace = inPlace;
  writeBackOldSpace();
  EXPECT_EQ(freeShape(), shape);
  for (uint64_t head : oldSpaceSegs.lists)
    for (uint64_t c = head; c != 0; c = *reinterpret_cast<uint64_t*>(c))
      EXPECT_TRUE(c >= uint64_t(reinterpret_cast<uint64_t>(copy.data())) &&
                  c < reinterpret_cast<uint64_t>(copy.data()) + bytes);
}

// Memory statistics: summary slots agree with the per-segment tail and with the spaces
// themselves; declared extra slots, the counter reset and the argument checks.
TEST_F(OldSpace, MemoryStatisticsDescribeEverySpace) {
  ASSERT_EQ(callPrimitive(323, nilOop(), {smallIntegerFor(80000)}).result, trueOop());
  freeChunk(5);
  freeChunk(300);
  oop stats62 = classAt(newTestClass(formatIndexable | formatPointers | 62));
  oop stats70 = classAt(newTestClass(formatIndexable | formatPointers | 70));
  oop stats64 = classAt(newTestClass(formatIndexable | formatPointers | 64));
  uint64_t oldSegs = numOldSpaceSegs(), fixedSegs = numFixedSpaceSegs();
  ASSERT_EQ(oldSegs, 2u);
  auto value = [](oop stats, uint64_t slot) {
    oop v = slotOf(stats, slot);
    EXPECT_TRUE(isSmallInteger(v)) << slot;
    return uint64_t(smallIntegerValue(v));
  };

  fragSplits = 7;
  tenureThreshold = 100;
  stackSpaceSlots = 3072;
  kernelSlots[slotsCode] = 25000;
  uint64_t edenBytes = eden.end - eden.start;
  PrimOutcome o = callPrimitive(326, stats62, {falseOop()});
  ASSERT_FALSE(o.failed);
  oop s = o.result;
  EXPECT_EQ(byteSizeOf(headerOf(s)), (62 + 3 * (oldSegs + fixedSegs)) * 8);
  EXPECT_EQ(value(s, 0), 16u);
  EXPECT_EQ(value(s, 5), edenBytes);
  EXPECT_EQ(value(s, 10), 800u);
  EXPECT_EQ(value(s, 15), 40u);
  EXPECT_EQ(value(s, 17), oldSpaceSegs.freeChunks);
  EXPECT_EQ(value(s, 20), 7u);
  EXPECT_EQ(slotOf(s, 23), characterFor(currentIncGCState));
  EXPECT_EQ(value(s, 43), oldSegs);
  EXPECT_EQ(value(s, 48), 3072u * 8);
  EXPECT_EQ(value(s, 49), 25000u * 8);
  EXPECT_EQ(value(s, 56), fixedSegs);
  EXPECT_EQ(slotOf(s, 61), nilOop());
  uint64_t sums[3] = {0, 0, 0};
  for (uint64_t k = 0; k < 3 * oldSegs; k++) sums[k % 3] += value(s, 62 + k);
  EXPECT_EQ(sums[0], value(s, 40));
  EXPECT_EQ(sums[1], value(s, 41));
  EXPECT_EQ(sums[2], value(s, 42));
  uint64_t fixedBytes = 0;
  for (uint64_t k = 0; k < fixedSegs; k++) fixedBytes += value(s, 62 + 3 * oldSegs + 3 * k);
  EXPECT_EQ(fixedBytes, value(s, 57));
  EXPECT_EQ(fragSplits, 7u);  // false leaves the counters

  o = callPrimitive(326, stats70, {trueOop()});
  ASSERT_FALSE(o.failed);
  s = o.result;
  EXPECT_EQ(byteSizeOf(headerOf(s)), (70 + 3 * oldSegs + 4 * fixedSegs) * 8);
  EXPECT_EQ(value(s, 20), 7u);  // read before the reset
  EXPECT_EQ(fragSplits, 0u);
  uint64_t room = 0;
  writeBackOldSpace();
  for (OldSpaceSegment* g = oldSpaceSegs.first; g != nullptr; g = g->next) room = std::max(room, segmentRoom(g));
  EXPECT_EQ(value(s, 62), std::max<uint64_t>(room, 300) * 8);
  for (uint64_t slot = 63; slot <= 68; slot++) EXPECT_EQ(value(s, slot), 0u) << slot;
  EXPECT_EQ(slotOf(s, 69), nilOop());
  FixedSpaceSegment* last = fixedSpaceSegs.first;
  EXPECT_EQ(value(s, 70 + 3 * oldSegs + 3), maximalFreeSlotsInFixedSpaceSeg(last) * 8);

  s = callPrimitive(326, stats64, {falseOop()}).result;
  ASSERT_NE(s, oop(0));
  EXPECT_TRUE(isSmallInteger(slotOf(s, 62)));
  EXPECT_EQ(slotOf(s, 63), nilOop());

  struct Refusal {
    oop receiver, argument;
    uint32_t code;
  } refusals[] = {
      {nilOop(), falseOop(), 5},
      {smallIntegerFor(3), falseOop(), 5},
      {classAt(newTestClass(formatIndexable | formatPointers | 61)), falseOop(), 5},
      {classAt(newTestClass(formatPointers | 62)), falseOop(), 5},
      {classAt(newTestClass(formatIndexable | 62)), falseOop(), 5},
      {stats62, smallIntegerFor(1), 3},
  };
  for (const Refusal& r : refusals) {
    PrimOutcome f = callPrimitive(326, r.receiver, {r.argument});
    EXPECT_TRUE(f.failed);
    EXPECT_EQ(f.errorOop, primErrorAt(r.code));
  }
}

}  // namespace
