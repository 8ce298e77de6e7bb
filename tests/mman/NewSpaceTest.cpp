// Tests of new space: eden bump allocation, the warning limit, past-space fallback,
// freeing into fillers and shrinking in place.
#include <gtest/gtest.h>

#include "ext/exRequest.h"
#include "mman/mmAllocate.h"
#include "mman/mmNewSpace.h"
#include "mman/heapVerifier.h"
#include "mman/mmLargeSpace.h"
#include "mman/mmSysOop.h"
#include "mman/spaceArena.h"
#include "mman/testHeap.h"

namespace {

constexpr uint32_t tagA = 50;
constexpr uint64_t nilStandIn = 0x1000;  // any heap-looking fill word

class NewSpace : public ::testing::Test {
 protected:
  void SetUp() override { newSpaceArena(); }
  void TearDown() override {
    EXPECT_HEAP_VALID();
    freeSpaceArena();
  }
};

struct SizeCase {
  uint64_t byteSize;
  uint64_t footprint;   // bytes taken from eden
  uint32_t sizeField;
  uint64_t sizeWord;    // 0 when none
  uint32_t oddBytes;
};

TEST_F(NewSpace, NewSpace_ByteObjectLayoutAtSizeFieldLimit) {
  const SizeCase cases[] = {
      {0, 16, 0, 0, 0},       {5, 24, 1, 0, 3},          {2008, 16 + 2008, 251, 0, 0},
      {2009, 16 + 8 + 2016, 252, 2016, 7}, {4096, 16 + 8 + 4096, 252, 4096, 0},
  };
  for (const SizeCase& c : cases) {
    uint64_t before = eden.allocPtr;
    ObjectHeader* h = allocInNewSpace(tagA, 0, c.byteSize, 0, 0);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(oopOf(h), before);
    EXPECT_EQ(eden.allocPtr - before, c.footprint) << c.byteSize;
    EXPECT_EQ(sizeFieldOf(h), c.sizeField) << c.byteSize;
    if (c.sizeWord != 0) {
      EXPECT_EQ(*sizeWordOf(h), c.sizeWord);
    }
    EXPECT_EQ(indexabilityOf(h), c.oddBytes);
    EXPECT_EQ(byteSizeOf(h), c.byteSize);
    for (uint64_t i = 0; i < bodyWordsOf(h); i++) EXPECT_EQ(bodyOf(h)[i], 0u);
  }
}

TEST_F(NewSpace, NewSpace_PointerObjectFlagsAndFill) {
  ObjectHeader* h = allocInNewSpace(tagA, 300, 300 * 8, hasPtrsBit | isGCSpecialBit, nilStandIn);
  ASSERT_NE(h, nullptr);
  EXPECT_TRUE(hasPtrs(h));
  EXPECT_TRUE(isGCSpecial(h));
  EXPECT_EQ(classTagOf(h), tagA);
  EXPECT_EQ(indexabilityOf(h), 255u);  // named count capped
  EXPECT_EQ(bodyWordsOf(h), 300u);
  for (uint64_t i = 0; i < 300; i++) ASSERT_EQ(bodyOf(h)[i], nilStandIn);
  // fill value 1 leaves the body as it was
  uint64_t at = eden.allocPtr + 16;
  *reinterpret_cast<uint64_t*>(at) = 0x77;
  ObjectHeader* u = allocInNewSpace(tagA, 2, 16, hasPtrsBit, noFill);
  EXPECT_EQ(bodyOf(u)[0], 0x77u);
}

TEST_F(NewSpace, NewSpace_WarningLimitPostsScavengeOnlyWhenPassed) {
  while (eden.warningLimit - eden.allocPtr - 16 > 2008) allocInNewSpace(tagA, 0, 2000, 0, 0);
  uint64_t room = eden.warningLimit - eden.allocPtr - 16;  // body bytes that end at the limit
  ASSERT_NE(allocInNewSpace(tagA, 0, room, 0, 0), nullptr);
  EXPECT_EQ(eden.allocPtr, eden.warningLimit);
  EXPECT_FALSE(isRequested(requestScavenge));
  ASSERT_NE(allocInNewSpace(tagA, 0, 1, 0, 0), nullptr);
  EXPECT_TRUE(isRequested(requestScavenge));
  EXPECT_EQ(stackLimit, stackLimitForced);
}

// The warning limit lies its words (not bytes) below eden's end; the inline path refuses
// an object that would pass it, changing nothing and posting nothing, where the slow path
// allocates and posts the scavenge request. An object that ends exactly at eden's end, or
// at past space's end, fits.
TEST_F(NewSpace, NewSpace_WarningLimitInWordsAndExactFits) {
  EdenRecord e = eden;
  SurvivorSpace past = pastSpace, future = futureSpace;
  initNewSpaceBounds(e.start, e.end, 100, past.start, past.end, future.start, future.end);
  EXPECT_EQ(eden.warningLimit, e.end - 800);
  clearRequest(requestScavenge);
  eden.allocPtr = eden.warningLimit - 16 - 64;
  ASSERT_NE(allocInEdenInline(tagA, 0, 64, 0, 0), nullptr);  // ends at the limit
  EXPECT_EQ(eden.allocPtr, eden.warningLimit);
  EXPECT_EQ(allocInEdenInline(tagA, 0, 1, 0, 0), nullptr);
  EXPECT_EQ(eden.allocPtr, eden.warningLimit);
  EXPECT_FALSE(isRequested(requestScavenge));
  ASSERT_NE(allocInNewSpace(tagA, 0, 1, 0, 0), nullptr);
  EXPECT_TRUE(isRequested(requestScavenge));
  eden.allocPtr = eden.end - 16 - 64;
  ObjectHeader* last = allocInNewSpace(tagA, 0, 64, 0, 0);
  EXPECT_EQ(oopOf(last), eden.end - 80);
  EXPECT_EQ(eden.allocPtr, eden.end);
  pastSpace.top = pastSpace.end - 16 - 64;
  ObjectHeader* inPast = allocInNewSpace(tagA, 0, 64, 0, 0);  // eden is full: past space
  EXPECT_EQ(oopOf(inPast), pastSpace.end - 80);
  EXPECT_EQ(pastSpace.top, pastSpace.end);
  EXPECT_EQ(allocInNewSpace(tagA, 0, 0, 0, 0), nullptr);
  eden.allocPtr = eden.start;  // keep the spaces walkable for the verifier
  pastSpace.top = pastSpace.start;
}

TEST_F(NewSpace, NewSpace_FullEdenFallsBackToPastThenFails) {
  eden.allocPtr = eden.end - 16;
  ObjectHeader* h = allocInNewSpace(tagA, 0, 64, 0, 0);
  ASSERT_NE(h, nullptr);
  EXPECT_GE(oopOf(h), pastSpace.start);
  EXPECT_LT(oopOf(h), pastSpace.end);
  EXPECT_TRUE(isRequested(requestScavenge));
  EXPECT_EQ(eden.allocPtr, eden.end - 16);  // the pointer was put back
  pastSpace.top = pastSpace.end - 40;
  EXPECT_EQ(allocInNewSpace(tagA, 0, 64, 0, 0), nullptr);
  EXPECT_EQ(pastSpace.top, pastSpace.end - 40);
  eden.allocPtr = eden.start;  // keep the spaces walkable for the verifier
  pastSpace.top = oopOf(h) + 16 + 64;
}

TEST_F(NewSpace, NewSpace_RecycledObjectBecomesFillerOfItsWords) {
  ObjectHeader* a = allocInNewSpace(tagA, 0, 40, 0, 0);
  ObjectHeader* b = allocInNewSpace(tagA, 0, 8, 0, 0);
  recycleNewObj(a);
  EXPECT_EQ(classTagOf(a), 0u);
  EXPECT_EQ(a->dataPtr, 0u);
  EXPECT_EQ(fillerWordsOf(a), 5u);
  EXPECT_EQ(getNextNewSpaceObj(a), b);
  EXPECT_EQ(searchNewSpace(eden.start, eden.allocPtr, tagA), b);
  recycleNewObj(b);  // the last object: its filler reaches the top
  EXPECT_EQ(oopOf(getNextNewSpaceObj(b)), eden.allocPtr);
  EXPECT_EQ(searchNewSpace(eden.start, eden.allocPtr, tagA), nullptr);
}

struct ShrinkCase {
  uint64_t n, words;
  bool inPlace;
  uint64_t fillerWords;
  bool bodyMoved;
};

TEST_F(NewSpace, NewSpace_ShrinkInPlaceFillerFigures) {
  const ShrinkCase cases[] = {
      {300, 200, true, 99, true},    // loses its size word: body moves down
      {300, 260, true, 38, false},   // stays extended
      {100, 40, true, 58, false},    // never extended
      {100, 98, true, 0, false},     // two words: a bare filler header
  };
  for (const ShrinkCase& c : cases) {
    ObjectHeader* h = allocInNewSpace(tagA, 0, c.n * 8, hasPtrsBit, 0);
    for (uint64_t i = 0; i < c.n; i++) bodyOf(h)[i] = smallIntegerFor(int64_t(i));
    ObjectHeader* after = allocInNewSpace(tagA + 1, 0, 8, 0, 0);
    uint64_t body = h->dataPtr;
    EXPECT_EQ(shrinkOrCopyNewObj(h, c.words), h);
    EXPECT_EQ(bodyWordsOf(h), c.words);
    EXPECT_EQ(h->dataPtr, c.bodyMoved ? body - 8 : body);
    for (uint64_t i = 0; i < c.words; i++) ASSERT_EQ(bodyOf(h)[i], smallIntegerFor(int64_t(i)));
    ObjectHeader* filler = reinterpret_cast<ObjectHeader*>(h->dataPtr + c.words * 8);
    EXPECT_EQ(classTagOf(filler), 0u);
    EXPECT_EQ(fillerWordsOf(filler), c.fillerWords) << c.n << "->" << c.words;
    EXPECT_EQ(getNextNewSpaceObj(getNextNewSpaceObj(h)), after);
  }
}

TEST_F(NewSpace, NewSpace_ShrinkRefusesBytesAndGrowth) {
  ObjectHeader* bytes = allocInNewSpace(tagA, 0, 64, 0, 0);
  EXPECT_EQ(shrinkOrCopyNewObj(bytes, 2), nullptr);
  ObjectHeader* ptrs = allocInNewSpace(tagA, 0, 80, hasPtrsBit, 0);
  EXPECT_EQ(shrinkOrCopyNewObj(ptrs, 11), nullptr);
  EXPECT_EQ(shrinkOrCopyPtrObj(ptrs, 10), ptrs);
  EXPECT_EQ(shrinkOrCopyPtrObj(ptrs, 11), nullptr);
}

// Old space as compaction leaves it for the sweep: a moved object keeps its mark and holds
// its new address in dataPtr; an object that stayed is unmarked.
TEST(NewSpace_Sweep, NewSpace_SweepFreesUnmarkedAndFollowsMovedOldObjects) {
  newTestHeap();
  uint32_t cls = newTestClass(formatPointers | formatIndexable);
  oop movedClass = classAt(cls), classCopy = newUnenteredTestClass(formatPointers | formatIndexable);
  oop moved = newOldObject(testClasses.pointers, 1), target = newOldObject(testClasses.pointers, 1);
  oop stayed = newOldObject(testClasses.pointers, 1);
  oop live = newNewObject(cls, 4), dead = newNewObject(testClasses.pointers, 2);
  ObjectHeader* deadLarge = allocInLargeSpace(testClasses.bytes, 3000, 0, 0);
  oop after = newNewObject(testClasses.pointers, 1);
  ASSERT_NE(deadLarge, nullptr);
  uint64_t largeFree = largeSpace.table.freeWords;
  bodyOf(headerOf(live))[0] = moved;
  bodyOf(headerOf(live))[1] = stayed;
  bodyOf(headerOf(live))[2] = smallIntegerFor(7);
  bodyOf(headerOf(live))[3] = after;
  for (oop o : {live, after}) setFlag(headerOf(o), isMarkedBit);
  uint64_t movedBody = headerOf(moved)->dataPtr, classBody = headerOf(movedClass)->dataPtr;
  for (oop o : {moved, movedClass}) setFlag(headerOf(o), isMarkedBit);
  headerOf(moved)->dataPtr = target;
  headerOf(movedClass)->dataPtr = classCopy;

  sweepNewSpace();

  EXPECT_EQ(classTagOf(headerOf(dead)), 0u);
  EXPECT_EQ(fillerWordsOf(headerOf(dead)), 2u);
  EXPECT_EQ(classTagOf(deadLarge), 0u);
  EXPECT_GT(largeSpace.table.freeWords, largeFree);
  for (oop o : {live, after}) EXPECT_FALSE(isMarked(headerOf(o)));
  const oop expected[] = {target, stayed, smallIntegerFor(7), after};
  for (uint64_t i = 0; i < 4; i++) EXPECT_EQ(bodyOf(headerOf(live))[i], expected[i]) << i;
  EXPECT_EQ(classAt(cls), classCopy);

  // Put the moved objects back so that the heap is whole again.
  classTable[cls >> 10][cls & 1023] = movedClass;
  headerOf(moved)->dataPtr = movedBody;
  headerOf(movedClass)->dataPtr = classBody;
  for (oop o : {moved, movedClass}) clearFlag(headerOf(o), isMarkedBit);
  bodyOf(headerOf(live))[0] = moved;
  EXPECT_HEAP_VALID();
  freeTestHeap();
}

}  // namespace
