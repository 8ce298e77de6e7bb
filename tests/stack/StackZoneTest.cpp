// Stack zone: the chains at start-up, allocation and release, the ring order, stealing and
// the stack limit while a request is pending.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ext/exRequest.h"
#include "mman/mmOldSpace.h"
#include "stack/glue.h"
#include "stack/stackzone.h"
#include "support/testFiles.h"

namespace {

alignas(stackSegmentBytes) uint64_t zone[8 * stackSegmentWords];

uint64_t* seg(int i) { return zone + i * stackSegmentWords; }

// The ring from head to tail, checking the back links on the way.
std::vector<uint64_t*> ring() {
  std::vector<uint64_t*> v;
  uint64_t prev = reinterpret_cast<uint64_t>(allocatedStacks);
  for (uint64_t w = allocatedStacks[0]; w != reinterpret_cast<uint64_t>(allocatedStacks);) {
    uint64_t* s = reinterpret_cast<uint64_t*>(w);
    EXPECT_EQ(s[shPrevious], prev);
    v.push_back(s);
    prev = w;
    w = s[shNext];
  }
  EXPECT_EQ(allocatedStacks[1], prev);
  return v;
}

std::vector<uint64_t*> stabilized;
int freeByStabilizing(uint64_t* s) {
  stabilized.push_back(s);
  stackDeAlloc(s);
  return 1;
}

class StackZone : public ::testing::Test {
 protected:
  void SetUp() override {
    anyReq = 0;
    anyAck = 0;
    stabilized.clear();
    savedHook = stackStabilizeHook;
    stackStabilizeHook = freeByStabilizing;
    savedCompactCount = memoryStats.stackCompactCount;
    initStacks(zone, 8);
  }
  void TearDown() override {
    initStackChains();  // no segment outlives the test
    stackStabilizeHook = savedHook;
    memoryStats.stackCompactCount = savedCompactCount;  // memory statistics tests read it
  }
  uint64_t savedCompactCount = 0;
  int (*savedHook)(uint64_t*) = nullptr;
};

TEST_F(StackZone, ChainsAtStartAndAFreshSegment) {
  EXPECT_EQ(freeStacks, seg(0));
  for (int i = 0; i < 8; i++) {
    EXPECT_EQ(seg(i)[shNext], i < 7 ? reinterpret_cast<uint64_t>(seg(i + 1)) : 0u);
    EXPECT_EQ(seg(i)[shRealLim], reinterpret_cast<uint64_t>(seg(i)) + 4456);
  }
  EXPECT_TRUE(ring().empty());
  uint64_t* s = stackAlloc(0);
  EXPECT_EQ(s, seg(0));
  EXPECT_EQ(currentStack, s);
  EXPECT_EQ(stackLimit, int64_t(s[shRealLim]));
  EXPECT_EQ(s[shSp], reinterpret_cast<uint64_t>(s + shRootReturn));
  EXPECT_EQ(s[shRootReturn], glueAddress(rootReturn));
  EXPECT_EQ(s[shRootFp], 0u);
  EXPECT_EQ(s[shRootContext], 0u);
  EXPECT_TRUE(isEmptySegment(s));
  EXPECT_EQ(segmentOf(reinterpret_cast<uint64_t>(s) + 5000), s);
}

TEST_F(StackZone, RingKeepsRecencyThroughHeadPromoteAndRelease) {
  uint64_t* a = stackAlloc(0);
  uint64_t* b = stackAlloc(0);
  uint64_t* c = stackAlloc(0);
  uint64_t* d = stackAlloc(0);
  EXPECT_EQ(ring(), (std::vector<uint64_t*>{d, c, b, a}));
  stackAtHead(b);
  EXPECT_EQ(currentStack, b);
  EXPECT_EQ(ring(), (std::vector<uint64_t*>{b, d, c, a}));
  promoteStack(a);
  EXPECT_EQ(ring(), (std::vector<uint64_t*>{b, a, d, c}));
  promoteStack(a);  // already second: unchanged
  EXPECT_EQ(ring(), (std::vector<uint64_t*>{b, a, d, c}));
  stackDeAlloc(b);
  EXPECT_EQ(currentStack, nullptr);
  EXPECT_EQ(freeStacks, b);
  EXPECT_EQ(ring(), (std::vector<uint64_t*>{a, d, c}));
  stackDeAlloc(c);
  EXPECT_EQ(ring(), (std::vector<uint64_t*>{a, d}));
}

// With every segment allocated, a shallow one among the NumStacks/4 least recently used is
// stolen in preference to the least recently used; the head never is.
TEST_F(StackZone, StealingPrefersAShallowRecentSegment) {
  std::vector<uint64_t*> s;
  for (int i = 0; i < 8; i++) {
    s.push_back(stackAlloc(0));
    s.back()[shSp] -= 400;  // each 400 bytes deep
  }
  s[6][shSp] = reinterpret_cast<uint64_t>(s[6]) + stackSegmentBytes - 192;  // shallow, but 2nd most recent
  s[1][shSp] = reinterpret_cast<uint64_t>(s[1]) + stackSegmentBytes - 192;  // shallow, 2nd least recent
  uint64_t before = memoryStats.stackCompactCount;
  EXPECT_NE(stackAlloc(0), nullptr);
  EXPECT_EQ(stabilized, (std::vector<uint64_t*>{s[1]}));
  EXPECT_EQ(memoryStats.stackCompactCount, before + 1);
  s[2][shSp] -= 0;  // deep: the least recently used is taken when no shallow one is near the tail
  EXPECT_NE(stackAlloc(0), nullptr);
  EXPECT_EQ(stabilized.back(), s[0]);
}

TEST_F(StackZone, NoSegmentToStealFailsOrIsFatalByRequest) {
  stackStabilizeHook = nullptr;
  for (int i = 0; i < 8; i++) ASSERT_NE(stackAlloc(0), nullptr);
  EXPECT_EQ(stackAlloc(1), nullptr);
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(stackAlloc(0), ::testing::ExitedWithCode(9), "");  // the report goes to standard output
}

// Releasing a segment twice would put it on both chains: the check ends the process naming
// the invariant.
TEST_F(StackZone, ReleasingAFreeSegmentIsFatal) {
  uint64_t* s = stackAlloc(0);
  stackDeAlloc(s);
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  std::string report;
  EXPECT_FATAL_REPORT(stackDeAlloc(s), 9, report);
  EXPECT_NE(report.find("invariant \"a segment is on exactly one of freeStacks and the allocatedStacks ring\" broken"),
            std::string::npos) << report;
}

TEST_F(StackZone, PendingRequestKeepsTheLimitForced) {
  uint64_t* a = stackAlloc(0);
  setRequest(requestTimer);
  uint64_t* b = stackAlloc(0);
  EXPECT_EQ(stackLimit, stackLimitForced);
  stackAtHead(a);
  EXPECT_EQ(stackLimit, stackLimitForced);
  anyAck.store(anyReq.load());
  stackAtHead(b);
  EXPECT_EQ(stackLimit, int64_t(b[shRealLim]));
}

}  // namespace
