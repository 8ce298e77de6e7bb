// Tests of fixed space: block sizes with their NUL bytes, the search rules, growing and
// shrinking segments, sweeps and a randomised soak checked after every step.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "mman/mmAllocate.h"
#include "mman/mmFixedSpace.h"
#include "mman/heapVerifier.h"
#include "mman/spaceArena.h"

namespace {

constexpr uint32_t tagBytes = 61;

class FixedSpace : public ::testing::Test {
 protected:
  void SetUp() override {
    ArenaSizes s;
    s.fixedWords = 600;
    s.edenWords = 16384;
    newSpaceArena(s);
  }
  void TearDown() override {
    EXPECT_HEAP_VALID();
    shrinkFixedSpace(~uint64_t(0) >> 4);  // give grown segments back
    freeSpaceArena();
  }
};

TEST_F(FixedSpace, FixedSpace_BlockWordsLeaveTwoNuls) {
  const uint64_t sizes[][2] = {{0, 2}, {6, 2}, {7, 3}, {8, 3}, {14, 3}, {15, 4}};
  for (auto [bytes, words] : sizes) {
    EXPECT_EQ(fixedBlockWords(bytes), words) << bytes;
    ObjectHeader* h = allocInFixedSpace(tagBytes, bytes, 0, noFill);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(sizeFieldOf(h), uint32_t(sizeFieldFixed));
    EXPECT_EQ(byteSizeOf(h), bytes);
    const uint8_t* data = reinterpret_cast<const uint8_t*>(bodyOf(h));
    EXPECT_EQ(data[bytes], 0);
    EXPECT_EQ(data[bytes + 1], 0);
    EXPECT_TRUE(existsFixedSpaceSegmentFor(h->dataPtr));
  }
  EXPECT_EQ(allocInFixedSpace(tagBytes, 8, hasPtrsBit, 0), nullptr);
}

// The last block must keep more than an entry's words; a middle block that does not fit
// exactly needs the last block to give an entry, else an exact fit is looked for.
TEST_F(FixedSpace, FixedSpace_SearchRules) {
  uint64_t last = fixedSpace.table.lastBlock->words;  // 595
  EXPECT_EQ(findFixedBlock(last - 5, 0), nullptr);
  EXPECT_EQ(findFixedBlock(last - 6, 0), fixedSpace.table.lastBlock);
  ObjectHeader* a = allocInFixedSpace(tagBytes, 80, 0, 0);   // 12 words
  ObjectHeader* b = allocInFixedSpace(tagBytes, 80, 0, 0);
  ObjectHeader* c = allocInFixedSpace(tagBytes, 160, 0, 0);  // 22 words
  ObjectHeader* d = allocInFixedSpace(tagBytes, 8, 0, 0);
  ObjectHeader* rest = allocInFixedSpace(tagBytes, (fixedSpace.table.lastBlock->words - 8) * 8, 0, 0);
  ASSERT_NE(rest, nullptr);
  ASSERT_LE(fixedSpace.table.lastBlock->words, uint64_t(btEntryWords));
  BlockTableEntry* blockC = btFindOwner(&fixedSpace.table, oopOf(c));
  recycleNewObj(a);  // gives the blocks back
  recycleNewObj(c);
  EXPECT_EQ(findFixedBlock(10, 0), nullptr);                        // no entry for a split
  BlockTableEntry* exact = findFixedBlock(22, 0);
  ASSERT_NE(exact, nullptr);
  EXPECT_EQ(exact->words, 22u);
  EXPECT_EQ(exact, blockC);
  (void)b;
  (void)d;
}

TEST_F(FixedSpace, FixedSpace_GrowsAndShrinksSegments) {
  ObjectHeader* first = allocInFixedSpace(tagBytes, 100, 0, 0);
  ASSERT_TRUE(growFixedSpace(2000));
  EXPECT_EQ(numFixedSpaceSegs(), 2u);
  ObjectHeader* big = allocInFixedSpace(tagBytes, 8000, 0, 0);  // only the new one fits
  ASSERT_NE(big, nullptr);
  EXPECT_EQ(fixedSegmentFor(big->dataPtr), fixedSpaceSegs.current);
  EXPECT_EQ(shrinkFixedSpace(100000), 0u);  // it holds an owned block
  reRegisterFixedObj(big, nullptr);
  recycleNewOtEntry(big, 0);
  EXPECT_EQ(shrinkFixedSpace(100000), 0u);  // two free blocks: not yet one
  sweepAndCompactFixedSpace();
  EXPECT_EQ(shrinkFixedSpace(100000), 2000u);
  EXPECT_EQ(numFixedSpaceSegs(), 1u);
  EXPECT_EQ(fixedSegmentFor(first->dataPtr), fixedSpaceSegs.first);
  EXPECT_TRUE(growFixedSpace(0));
}

TEST_F(FixedSpace, FixedSpace_RandomSoakKeepsSegmentsValid) {
  std::mt19937_64 rng(7);
  ASSERT_TRUE(growFixedSpace(800));
  std::vector<ObjectHeader*> live;
  for (int step = 0; step < 3000; step++) {
    int action = int(rng() % 10);
    if (action < 6) {
      ObjectHeader* h = allocInFixedSpace(tagBytes, rng() % 700, 0, rng() % 2 ? uint64_t(noFill) : 0);
      if (h != nullptr) live.push_back(h);
    } else if (action < 9 && !live.empty()) {
      size_t i = rng() % live.size();
      recycleNewObj(live[i]);
      live[i] = live.back();
      live.pop_back();
    } else {
      sweepAndCompactFixedSpace();  // merges free neighbours, packs the tables
    }
    if (eden.allocPtr > eden.warningLimit) {
      for (ObjectHeader* h : live) recycleNewObj(h);
      live.clear();
      eden.allocPtr = eden.start;
    }
    ASSERT_EQ(verifyHeap(), "") << "step " << step;
  }
  for (ObjectHeader* h : live) recycleNewObj(h);
}

}  // namespace
