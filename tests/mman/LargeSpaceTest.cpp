// Tests of large space: block search and splitting, freeing, compaction, request 7 and a
// randomised soak with the block-chain invariants checked after every step.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "ext/exRequest.h"
#include "mman/mmAllocate.h"
#include "mman/mmLargeSpace.h"
#include "mman/mmOldSpace.h"
#include "mman/heapVerifier.h"
#include "mman/spaceArena.h"

namespace {

constexpr uint32_t tagBytes = 60;

class LargeSpace : public ::testing::Test {
 protected:
  void SetUp() override {
    ArenaSizes s;
    s.largeWords = 1000;
    s.edenWords = 16384;
    newSpaceArena(s);
  }
  void TearDown() override {
    EXPECT_HEAP_VALID();
    freeSpaceArena();
  }
  static BlockTableEntry* blockOf(ObjectHeader* h) { return btFindOwner(&largeSpace.table, oopOf(h)); }
  static void fillPattern(ObjectHeader* h, uint64_t seed) {
    uint8_t* p = reinterpret_cast<uint8_t*>(bodyOf(h));
    for (uint64_t i = 0; i < byteSizeOf(h); i++) p[i] = uint8_t(seed + i * 7);
  }
  static bool hasPattern(ObjectHeader* h, uint64_t seed) {
    const uint8_t* p = reinterpret_cast<const uint8_t*>(bodyOf(h));
    for (uint64_t i = 0; i < byteSizeOf(h); i++)
      if (p[i] != uint8_t(seed + i * 7)) return false;
    return true;
  }
};

TEST_F(LargeSpace, LargeSpace_AllocationLayout) {
  uint64_t free0 = largeSpace.table.freeWords;
  ObjectHeader* h = allocInLargeSpace(tagBytes, 3000, 0, 0);
  ASSERT_NE(h, nullptr);
  EXPECT_TRUE(isNewObject(oopOf(h)));
  EXPECT_EQ(sizeFieldOf(h), uint32_t(sizeFieldLarge));
  EXPECT_EQ(*sizeWordOf(h), 3000u);
  EXPECT_EQ(byteSizeOf(h), 3000u);
  BlockTableEntry* b = blockOf(h);
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(b->words, 3000u / 8 + 1);
  EXPECT_EQ(h->dataPtr, b->block + 8);
  EXPECT_EQ(largeSpace.table.freeWords, free0 - (3000 / 8 + 1) - btEntryWords);
  EXPECT_EQ(allocInLargeSpace(tagBytes, 16, hasPtrsBit, 0), nullptr);  // never pointers
}

TEST_F(LargeSpace, LargeSpace_ExactFitInMiddleTakesNoEntry) {
  ObjectHeader* a = allocInLargeSpace(tagBytes, 800, 0, 0);
  ObjectHeader* b = allocInLargeSpace(tagBytes, 800, 0, 0);
  ASSERT_NE(b, nullptr);
  BlockTableEntry* blockA = blockOf(a);
  recycleNewObj(a);  // gives the block back
  EXPECT_EQ(largeSpace.table.firstFree, blockA);
  BlockTableEntry* lowest = largeSpace.table.lowest;
  ObjectHeader* c = allocInLargeSpace(tagBytes, 800, 0, 0);
  EXPECT_EQ(blockOf(c), blockA);
  EXPECT_EQ(largeSpace.table.lowest, lowest);
}

TEST_F(LargeSpace, LargeSpace_LastBlockNeedsRoomForAnEntry) {
  uint64_t last = largeSpace.table.lastBlock->words;  // 995 words
  uint64_t w = last - 6;                               // w + 6 == last: fits exactly
  EXPECT_EQ(allocInLargeSpace(tagBytes, (w + 1) * 8, 0, 0), nullptr);
  EXPECT_TRUE(isRequested(requestCompactLarge));
  EXPECT_EQ(largeSpacePendingWords, w + 1 + 6);
  ObjectHeader* h = allocInLargeSpace(tagBytes, w * 8, 0, 0);
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(largeSpace.table.lastBlock->words, 0u);
  EXPECT_EQ(largeSpace.table.freeWords, 0u);
}

TEST_F(LargeSpace, LargeSpace_CompactionSlidesBodiesAndOwners) {
  std::vector<ObjectHeader*> objs;
  for (int i = 0; i < 6; i++) {
    objs.push_back(allocInLargeSpace(tagBytes, 400 + 8 * i, 0, 0));
    fillPattern(objs.back(), i);
  }
  for (int i : {0, 2, 3}) recycleNewObj(objs[i]);
  uint64_t free = largeSpace.table.freeWords;
  compactLargeSpace();
  EXPECT_EQ(largeSpace.table.firstBlock->owner, oopOf(objs[1]));
  EXPECT_EQ(largeSpace.table.firstFree, largeSpace.table.lastBlock);
  EXPECT_EQ(numLargeSpaceObjects(), 3u);
  EXPECT_EQ(largeSpace.table.highest - largeSpace.table.lowest + 1, 4);  // 3 owners + last
  EXPECT_EQ(largeSpace.table.freeWords, free + 3 * btEntryWords);  // freed table entries
  for (int i : {1, 4, 5}) EXPECT_TRUE(hasPattern(objs[i], i)) << i;
}

TEST_F(LargeSpace, LargeSpace_RequestForImpossibleSizeClearsPending) {
  EXPECT_EQ(allocInLargeSpace(tagBytes, 100000, 0, 0), nullptr);
  EXPECT_GT(largeSpacePendingWords, 1000u);
  compactLargeSpaceResponse();
  EXPECT_EQ(largeSpacePendingWords, 0u);
}

// Request 7 moves old owners' bodies into old data, top block first, until the pending
// size fits; 2008 bytes go without a size word, 2009 with one.
TEST_F(LargeSpace, LargeSpace_Request7MovesOldOwnersToOldSpace) {
  ASSERT_TRUE(growOldSpace(20000));
  setCurrentOldSegment(oldSpaceSegs.first);
  osReserveSlots = 0;
  ObjectHeader* young = allocInLargeSpace(tagBytes, 2000, 0, 0);
  ObjectHeader* olds[2];
  const uint64_t sizes[2] = {2008, 2009};
  for (int i = 0; i < 2; i++) {
    ObjectHeader* h = allocInLargeSpace(tagBytes, sizes[i], 0, 0);
    fillPattern(h, 10 + i);
    olds[i] = allocInOldSpace(tagBytes, 0, 0, 0, noFill, 1);
    *olds[i] = *h;
    reRegisterLargeObj(h, olds[i]);
    recycleNewOtEntry(h, 0);
  }
  EXPECT_EQ(allocInLargeSpace(tagBytes, 4000, 0, 0), nullptr);
  compactLargeSpaceResponse();
  EXPECT_EQ(largeSpacePendingWords, 0u);
  EXPECT_EQ(numLargeSpaceObjects(), 1u);
  EXPECT_EQ(sizeFieldOf(olds[0]), 251u);
  EXPECT_EQ(sizeFieldOf(olds[1]), uint32_t(sizeFieldExtended));
  EXPECT_EQ(*sizeWordOf(olds[1]), 2016u);
  for (int i = 0; i < 2; i++) {
    EXPECT_EQ(byteSizeOf(olds[i]), sizes[i]);
    EXPECT_TRUE(hasPattern(olds[i], 10 + i));
  }
  EXPECT_EQ(blockOf(young), largeSpace.table.firstBlock);
  EXPECT_NE(allocInLargeSpace(tagBytes, 4000, 0, 0), nullptr);
}

// Random allocation, freeing, sweeping and compaction; the chain is verified every step.
TEST_F(LargeSpace, LargeSpace_RandomSoakKeepsChainValid) {
  std::mt19937_64 rng(42);
  std::vector<std::pair<ObjectHeader*, uint64_t>> live;
  for (int step = 0; step < 3000; step++) {
    int action = int(rng() % 10);
    if (action < 6) {
      ObjectHeader* h = allocInLargeSpace(tagBytes, rng() % 1500, 0, 0);
      if (h != nullptr) {
        fillPattern(h, uint64_t(step));
        live.push_back({h, uint64_t(step)});
      }
    } else if (action < 9 && !live.empty()) {
      size_t i = rng() % live.size();
      recycleNewObj(live[i].first);
      live[i] = live.back();
      live.pop_back();
    } else if (action == 9) {
      for (auto& [h, seed] : live) ASSERT_TRUE(hasPattern(h, seed));
      if (rng() % 2) compactLargeSpace(); else compactLargeSpaceResponse();
    }
    if (eden.allocPtr > eden.warningLimit) {  // keep eden from filling: start a new run
      for (auto& [h, seed] : live) recycleNewObj(h);
      live.clear();
      compactLargeSpace();
      eden.allocPtr = eden.start;
    }
    ASSERT_EQ(verifyHeap(), "") << "step " << step;
  }
  for (auto& [h, seed] : live) EXPECT_TRUE(hasPattern(h, seed));
}

}  // namespace
