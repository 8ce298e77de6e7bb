// Tests of perm space: allocation at the room limit, empty bodies, freeing that retires
// headers, and marking.
#include <gtest/gtest.h>

#include "mman/mmAllocate.h"
#include "mman/mmPermSpace.h"
#include "mman/heapVerifier.h"
#include "mman/spaceArena.h"

namespace {

constexpr uint32_t tagA = 70;

class PermSpace : public ::testing::Test {
 protected:
  void SetUp() override { newSpaceArena(); }
  void TearDown() override {
    EXPECT_HEAP_VALID();
    freeSpaceArena();
  }
};

TEST_F(PermSpace, PermSpace_EmptyBodyTakesOnlyAHeader) {
  uint64_t top = permSpace.dataTop;
  ObjectHeader* h = allocInPermSpace(tagA, 0, 0, hasPtrsBit, 0);
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(h->dataPtr, 0u);
  EXPECT_EQ(permSpace.dataTop, top);
  EXPECT_TRUE(isPermHeader(h));
  EXPECT_TRUE(isMarked(h));
  EXPECT_EQ(oopOf(h), permSpace.otHigh);
}

// An object of w words needs w + 2 free words (its header's two).
TEST_F(PermSpace, PermSpace_RoomLimit) {
  uint64_t start = permSpace.dataStart;
  for (uint64_t words : {11, 10}) {
    nilPermSpacePtrs(start);
    permSpace.otLow = permSpace.otHigh = start + 12 * 8 - 16;
    ASSERT_EQ(segmentRoom(&permSpace), 12u);
    ObjectHeader* h = allocInPermSpace(tagA, 0, words * 8, 0, 0);
    EXPECT_EQ(h != nullptr, words == 10) << words;
  }
  EXPECT_EQ(segmentRoom(&permSpace), 0u);
}

TEST_F(PermSpace, PermSpace_FreedHeaderStaysAnEmptyByteArray) {
  ObjectHeader* a = allocInPermSpace(tagA, 0, 24, 0, 0);
  uint64_t body = a->dataPtr;
  recyclePermObj(a);
  EXPECT_EQ(classTagOf(a), 22u);
  EXPECT_EQ(sizeFieldOf(a), 0u);
  EXPECT_EQ(indexabilityOf(a), 0u);
  EXPECT_EQ(permSpaceSegs.freeHead, body);
  EXPECT_EQ(permSpaceSegs.freeWords, 3u);
  EXPECT_EQ(reinterpret_cast<uint64_t*>(body)[1], 3u);
  ObjectHeader* b = allocInPermSpace(tagA, 0, 8, 0, 0);
  EXPECT_NE(b, a);
  EXPECT_EQ(oopOf(b), oopOf(a) - 16);
}

TEST_F(PermSpace, PermSpace_MarkAndUnmark) {
  ObjectHeader* a = allocInPermSpace(tagA, 0, 8, 0, 0);
  ObjectHeader* b = allocInPermSpace(tagA, 0, 16, 0, 0);
  markPermSpace(0);
  EXPECT_FALSE(isMarked(a));
  EXPECT_FALSE(isMarked(b));
  EXPECT_TRUE(isMarked(allocInPermSpace(tagA, 0, 8, 0, 0)));
  markPermSpace(1);
  EXPECT_TRUE(isMarked(a) && isMarked(b));
}

}  // namespace
