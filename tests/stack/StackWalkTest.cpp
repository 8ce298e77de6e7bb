// GC walkers over hand-built frames: every root slot of every frame shape is visited exactly
// once (the nmethod fields once per frame), immediates are skipped by the oop form, and a
// pending primitive's receiver and register arguments are roots.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "stack/glue.h"
#include "stack/stackzone.h"

namespace {

alignas(stackSegmentBytes) uint64_t zone[4 * stackSegmentWords];

// Fake nmethods: a header, and a primitive call site whose offset word leads back to it.
struct alignas(16) FakeNMethod {
  NMethodHeader h;
  uint8_t code[216];
};
FakeNMethod nms[3];

uint64_t addr(const void* p) { return reinterpret_cast<uint64_t>(p); }

void makeNMethod(FakeNMethod& nm, uint8_t numArgs, uint64_t vmethod, uint64_t selector) {
  memset(&nm, 0, sizeof nm);
  nm.h.usedSize = sizeof nm;
  nm.h.numArgs = numArgs;
  nm.h.vmethod = vmethod;
  nm.h.selector = selector;
  uint32_t word = 102;  // the failure jump at 100, its offset word at 102
  nm.code[100 - 40] = 0xEB;
  memcpy(nm.code + 102 - 40, &word, 4);
}

// Pushes frames onto a segment, noting the address of every slot the walkers must visit.
struct SegmentBuilder {
  uint64_t* s;
  uint64_t sp, fp;
  std::vector<uint64_t> expected;
  std::vector<uint64_t> fps;  // frames, bottom first
  uint64_t next = 0x1000;  // distinct even values

  explicit SegmentBuilder(uint64_t* seg) : s(seg), sp(seg[shSp]), fp(seg[shFp]) {
    s[shRootSender] = value();
    expected.push_back(addr(s + shRootSender));
  }
  void push(uint64_t v, bool root) {
    sp -= 8;
    *reinterpret_cast<uint64_t*>(sp) = v;
    if (root) expected.push_back(sp);
  }
  uint64_t value() { return next += 16; }
  void frame(FakeNMethod& nm, bool hybrid, int temps, int stackWords) {
    uint32_t n = nm.h.numArgs;
    bool bottom = fp == rootFpOf(s);
    if (n >= 3) {
      if (bottom) {  // the receiver takes the root return word's place, which moves below
        sp += 8;
        push(value(), true);
      } else {
        push(value(), true);
      }
      for (uint32_t i = 0; i + 2 < n; i++) push(value(), true);
      push(rootReturnPC, false);
    } else if (!bottom) {
      push(0x7777, false);  // return pc into the caller
    }
    push(fp, false);
    fp = sp;
    fps.push_back(fp);
    push(hybrid ? value() : 0, false);
    if (hybrid) expected.push_back(fp - 8);
    push(addr(&nm) | (hybrid ? uint64_t(frameHybridBit) : 0), false);
    expected.push_back(addr(&nm.h.vmethod));
    if (nm.h.selector != 0) expected.push_back(addr(&nm.h.selector));
    push(value(), true);  // receiver
    for (uint32_t i = 0; i < n && i < 2; i++) push(value(), true);
    for (int i = 0; i < temps + stackWords; i++) push(value(), true);
  }
  void finish() {
    if (fp != rootFpOf(s)) push(0x8888, false);  // resume pc; an empty segment's sp stays at its root
    s[shSp] = sp;
    s[shFp] = fp;
  }
};

std::vector<uint64_t> visited;
void recordRef(oop* slot) { visited.push_back(addr(slot)); }
void recordOop(oop o) { visited.push_back(o); }

class StackWalkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    initStacks(zone, 4);
    makeNMethod(nms[0], 0, 0x5000, 0);
    makeNMethod(nms[1], 2, 0x5010, 0x5020);
    makeNMethod(nms[2], 4, 0x5030, 0x5040);
    visited.clear();
  }
  void TearDown() override { initStackChains(); }  // no segment outlives the test
  static std::vector<uint64_t> sorted(std::vector<uint64_t> v) {
    std::sort(v.begin(), v.end());
    return v;
  }
};

TEST_F(StackWalkTest, RefsVisitEverySlotOfEveryFrameShapeOnce) {
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

TEST_F(StackWalkTest, OopsSkipImmediatesAndNullSelectors) {
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

TEST_F(StackWalkTest, PendingPrimitiveSaveAreaIsARoot) {
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

TEST_F(StackWalkTest, ScavengeReplacesNewReferencesAndRefreshesTheRootContext) {
  uint64_t savedBoundary = oldNewSpaceBoundary;
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
  scavengeCopyHook = nullptr;
  oldNewSpaceBoundary = savedBoundary;
}

std::vector<std::pair<uint64_t, uint64_t>> framesSeen;
void recordFrame(uint64_t fp, uint64_t* pcSlot) {
  uint64_t nm = reinterpret_cast<uint64_t*>(fp)[frNMethod] & frameNMethodMask;
  framesSeen.push_back({nm, addr(pcSlot)});
}

TEST_F(StackWalkTest, FramesAndReturnsNameEachFramesPcWord) {
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

}  // namespace
