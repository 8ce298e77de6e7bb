// GC walkers over hand-built frames: every root slot of every frame shape is visited exactly
// once (the nmethod fields once per frame), immediates are skipped by the oop form, and a
// pending primitive's receiver and register arguments are roots.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "mman/scavengeHeap.h"
#include "stack/glue.h"
#include "stack/stackzone.h"
#include "support/handFrames.h"

namespace {

alignas(stackSegmentBytes) uint64_t zone[4 * stackSegmentWords];

FakeNMethod nms[3];

uint64_t addr(const void* p) { return frameAddr(p); }

std::vector<uint64_t> visited;
void recordRef(oop* slot) { visited.push_back(addr(slot)); }
void recordOop(oop o) { visited.push_back(o); }

class StackWalk : public ::testing::Test {
 protected:
  void SetUp() override {
    initStacks(zone, 4);
    makeNMethod(nms[0], 0, 0x5000, 0);
    makeNMethod(nms[1], 2, 0x5010, 0x5020);
    makeNMethod(nms[2], 4, 0x5030, 0x5040);
    visited.clear();
  }
  void TearDown() override {
    initStackChains();  // no segment outlives the test
    scavengeCopyHook = savedCopyHook;
    oldNewSpaceBoundary = savedBoundary;
  }
  oop (*savedCopyHook)(oop) = scavengeCopyHook;
  uint64_t savedBoundary = oldNewSpaceBoundary;
  static std::vector<uint64_t> sorted(std::vector<uint64_t> v) {
    std::sort(v.begin(), v.end());
    return v;
  }
};

TEST_F(StackWalk, RefsVisitEverySlotOfEveryFrameShapeOnce) {
  struct Shape {
    int nm;
    bool hybrid;
    int temps, stackWords;
  };
  const std::vector<std::vector<Shape>> segments = {
      {},                                                  // empty segment: only the root sender
      {{0, false, 0, 0}},                                  // one frameless-looking frame
      {{2, true, 1, 2}, {1, false, 2, 0}, {0, true, 0, 3}},  // stacked arguments at the bottom
      {{1, true, 0, 1}, {2, false, 3, 1}},                 // stacked arguments in the middle
  };
  std::vector<uint64_t> expected;
  for (const auto& shapes : segments) {
    SegmentBuilder b(stackAlloc(0));
    for (const Shape& f : shapes) b.frame(nms[f.nm], f.hybrid, f.temps, f.stackWords);
    b.finish();
    expected.insert(expected.end(), b.expected.begin(), b.expected.end());
  }
  stackEnumerateRefsForGC(recordRef);
  EXPECT_EQ(sorted(visited), sorted(expected));
}

TEST_F(StackWalk, OopsSkipImmediatesAndNullSelectors) {
  SegmentBuilder b(stackAlloc(0));
  b.s[shRootSender] = 0x4440;
  b.frame(nms[1], false, 1, 0);
  b.push(smallIntegerFor(7), false);  // an immediate on the expression stack
  b.push(0x4450, true);
  b.finish();
  stackEnumerateOopsForGC(recordOop);
  std::vector<uint64_t> values;
  for (uint64_t a : b.expected) values.push_back(*reinterpret_cast<uint64_t*>(a));
  EXPECT_EQ(sorted(visited), sorted(values));
}

TEST_F(StackWalk, PendingPrimitiveSaveAreaIsARoot) {
  for (int nm : {0, 1, 2}) {
    initStacks(zone, 4);
    visited.clear();
    SegmentBuilder b(stackAlloc(0));
    b.frame(nms[0], false, 0, 1);
    b.finish();
    uint64_t* s = b.s;
    s[shReceiver] = 0x6660;
    s[shFailAddr] = addr(&nms[nm]) + 100;
    std::vector<uint64_t> expected = b.expected;
    expected.push_back(addr(s + shReceiver));
    for (uint32_t i = 0; i < nms[nm].h.numArgs && i < 2; i++) expected.push_back(addr(s + shArg0 + i));
    expected.push_back(addr(&nms[nm].h.vmethod));
    if (nms[nm].h.selector != 0) expected.push_back(addr(&nms[nm].h.selector));
    stackEnumerateRefsForGC(recordRef);
    EXPECT_EQ(sorted(visited), sorted(expected)) << nm;
  }
}

oop movedCopy(oop o) { return o + 0x1000000; }

TEST_F(StackWalk, ScavengeReplacesNewReferencesAndRefreshesTheRootContext) {
  oldNewSpaceBoundary = 0x100000;
  scavengeCopyHook = movedCopy;
  SegmentBuilder b(stackAlloc(0));
  b.frame(nms[1], true, 1, 0);  // hybrid bottom frame
  b.frame(nms[0], false, 0, 0);
  b.push(smallIntegerFor(3), false);
  b.push(0x200000, false);  // an old object stays
  b.finish();
  std::vector<uint64_t> before;
  for (uint64_t a : b.expected) before.push_back(*reinterpret_cast<uint64_t*>(a));
  scavengeStacks();
  for (size_t i = 0; i < b.expected.size(); i++)
    EXPECT_EQ(*reinterpret_cast<uint64_t*>(b.expected[i]), before[i] + 0x1000000) << i;
  EXPECT_EQ(reinterpret_cast<uint64_t*>(b.sp)[2], smallIntegerFor(3));
  EXPECT_EQ(reinterpret_cast<uint64_t*>(b.sp)[1], 0x200000u);
  EXPECT_EQ(b.s[shRootContext], reinterpret_cast<uint64_t*>(b.fps[0])[frContext]);
}

std::vector<std::pair<uint64_t, uint64_t>> framesSeen;
void recordFrame(uint64_t fp, uint64_t* pcSlot) {
  uint64_t nm = reinterpret_cast<uint64_t*>(fp)[frNMethod] & frameNMethodMask;
  framesSeen.push_back({nm, addr(pcSlot)});
}

TEST_F(StackWalk, FramesAndReturnsNameEachFramesPcWord) {
  SegmentBuilder b(stackAlloc(0));
  b.frame(nms[2], true, 0, 1);
  b.frame(nms[1], false, 1, 0);
  b.frame(nms[0], false, 0, 2);
  b.finish();
  b.s[shReceiver] = 0x6660;
  b.s[shFailAddr] = addr(&nms[1]) + 100;
  framesSeen.clear();
  enumerateFramesAndReturns(recordFrame);
  const std::vector<std::pair<uint64_t, uint64_t>> expected = {
      {addr(&nms[1]), addr(b.s + shFailAddr)},
      {addr(&nms[0]), b.s[shSp]},
      {addr(&nms[1]), b.fps[2] + 8},
      {addr(&nms[2]), b.fps[1] + 8},
  };
  EXPECT_EQ(framesSeen, expected);
  EXPECT_EQ(b.s[shRootNMethod], addr(&nms[2]));
}

// A real scavenge with frames on a segment: a stack slot is the only root of a new object,
// which survives with its contents, and the slot follows it; the verifier stays clean.
class StackScavenge : public ScavengeHeapTest {
 protected:
  void SetUp() override {
    ScavengeHeapTest::SetUp();
    initStacks(zone, 4);
    makeNMethod(nms[0], 0, 0, 0);  // no method oops: the fake nmethods hold nothing new
    makeNMethod(nms[1], 2, 0, 0);
  }
  void TearDown() override {
    initStackChains();
    ScavengeHeapTest::TearDown();
  }
};

TEST_F(StackScavenge, FrameSlotsFollowTheirObjectsThroughAScavenge) {
  oop kept = oopOf(allocInNewSpace(testClasses.pointers, 2, 16, hasPtrsBit, nilOop()));
  store(kept, 0, smallIntegerFor(41));
  store(kept, 1, smallIntegerFor(42));
  oop dropped = oopOf(allocInNewSpace(testClasses.pointers, 1, 8, hasPtrsBit, nilOop()));
  SegmentBuilder b(stackAlloc(0));
  b.frame(nms[1], false, 1, 0);
  b.frame(nms[0], false, 0, 1);
  b.finish();
  for (uint64_t a : b.expected)  // every root slot of the segment reads nil ...
    if (a >= addr(b.s) && a < addr(b.s + stackSegmentWords)) *reinterpret_cast<uint64_t*>(a) = nilOop();
  uint64_t* top = reinterpret_cast<uint64_t*>(b.sp) + 1;  // ... but the top frame's stack word
  *top = kept;
  ASSERT_EQ(scavengeNewSpace(), 1);
  EXPECT_NE(*top, kept);
  EXPECT_EQ(slotOf(*top, 0), smallIntegerFor(41));
  EXPECT_EQ(slotOf(*top, 1), smallIntegerFor(42));
  EXPECT_TRUE(isForwarded(headerOf(kept)));
  EXPECT_FALSE(isForwarded(headerOf(dropped)));
}

}  // namespace
