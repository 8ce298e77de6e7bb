// The translator's primitives on a test heap: the sample counters and the compaction counters,
// the code-layout constants and code ranges, the profiler's buffers, the answers that need no
// running process, and every refused argument.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "ext/exOption.h"
#include "ext/exPrimTable.h"
#include "ext/platform.h"
#include "mman/mmAllocate.h"
#include "mman/mmInit.h"
#include "mman/mmSysOop.h"
#include "mman/testHeap.h"
#include "support/primHarness.h"
#include "tran/tloop.h"
#include "tran/tnmprim.h"

namespace {

constexpr uint64_t all = ~uint64_t(0);

// Fake code ranges (the counters never read the code): text [0x1000, 0x1100), zone
// [0x2000, 0x2100), 32 counters each; the compaction counters are zone words 8-10.
class ProfileCounters : public ::testing::Test {
 protected:
  uint64_t saved[6];
  std::vector<uint64_t> text = std::vector<uint64_t>(32), zone = std::vector<uint64_t>(32);
  void SetUp() override {
    uint64_t now[6] = {profile_text_lopc, profile_text_hipc, profile_nzone_lopc, profile_nzone_hipc,
                       profile_compaction_area, profile_other_area};
    memcpy(saved, now, sizeof saved);
    profile_text_lopc = 0x1000, profile_text_hipc = 0x1100;
    profile_nzone_lopc = 0x2000, profile_nzone_hipc = 0x2100;
    profile_compaction_area = 0x2040, profile_other_area = 0x2058;
    engineData = text.data();
    nzoneData = zone.data();
    profileOutsideSamples = 0;
    collectingProfileData = 1;
  }
  void TearDown() override {
    collectingProfileData = 0;
    engineData = nzoneData = nullptr;
    profile_text_lopc = saved[0], profile_text_hipc = saved[1];
    profile_nzone_lopc = saved[2], profile_nzone_hipc = saved[3];
    profile_compaction_area = saved[4], profile_other_area = saved[5];
  }
};

TEST_F(ProfileCounters, EachSampleCountsForItsCodeWordOrOutside) {
  struct Case {
    uint64_t pc;
    int zoneWord, textWord;  // -1: not that buffer
  };
  const Case cases[] = {
      {0x2000, 0, -1},  {0x2007, 0, -1},  {0x2008, 1, -1}, {0x20FF, 31, -1}, {0x2100, -1, -1},
      {0x1000, -1, 0},  {0x10F9, -1, 31}, {0x1100, -1, -1}, {0x0FFF, -1, -1}, {0x1FFF, -1, -1},
      {0, -1, -1},      {all, -1, -1},
  };
  for (const Case& c : cases) {
    std::fill(text.begin(), text.end(), 0);
    std::fill(zone.begin(), zone.end(), 0);
    profileOutsideSamples = 0;
    incrementProfile(c.pc);
    incrementProfile(c.pc);
    for (int i = 0; i < 32; i++) {
      EXPECT_EQ(zone[i], i == c.zoneWord ? 2u : 0u) << std::hex << c.pc << " zone word " << i;
      EXPECT_EQ(text[i], i == c.textWord ? 2u : 0u) << std::hex << c.pc << " text word " << i;
    }
    EXPECT_EQ(profileOutsideSamples, c.zoneWord < 0 && c.textWord < 0 ? 2u : 0u) << std::hex << c.pc;
  }
  collectingProfileData = 0;
  profileOutsideSamples = 0;
  incrementProfile(0x2000);
  incrementProfile(0);
  EXPECT_EQ(zone[0], 0u);
  EXPECT_EQ(profileOutsideSamples, 0u);
}

// A counter that would pass 2^64 - 1 stays there and hands on what did not fit; the last
// compaction counter saturates; the words around the range never change.
TEST_F(ProfileCounters, CompactedCountsCarryIntoTheNextCounter) {
  struct Case {
    uint64_t before[3], count, after[3];
  };
  const Case cases[] = {
      {{0, 0, 0}, 5, {5, 0, 0}},
      {{1, 2, 3}, 0, {1, 2, 3}},
      {{all - 2, 0, 0}, 5, {all, 3, 0}},
      {{all - 2, 0, 0}, 2, {all, 0, 0}},
      {{all, all - 1, 7}, 4, {all, all, 10}},
      {{all, all, all - 1}, 9, {all, all, all}},
      {{all - 1, all - 1, all - 1}, all, {all, all, all}},
  };
  for (const Case& c : cases) {
    std::fill(zone.begin(), zone.end(), 11);
    memcpy(&zone[8], c.before, sizeof c.before);
    recordCompacted(c.count);
    for (int i = 0; i < 3; i++) EXPECT_EQ(zone[8 + i], c.after[i]) << c.count << " counter " << i;
    EXPECT_EQ(zone[7], 11u);
    EXPECT_EQ(zone[11], 11u);
  }
}

// ---- Primitives ------------------------------------------------------------------------------

class NMethodPrims : public ::testing::Test {
 protected:
  int32_t savedMaxIndex = tsMaxIndex;  // 537's cases set it
  void SetUp() override {
    newTestHeap();
    initPrimitiveTable();
    initNMethodPrims();
    temp1RegisteredOopX = allocSysOopSlot();
    temp2RegisteredOopX = allocSysOopSlot();
  }
  void TearDown() override {
    temp1RegisteredOopX = temp2RegisteredOopX = -1;
    profileEngineBufferX = profileNZoneBufferX = -1;
    collectingProfileData = 0;
    engineData = nzoneData = nullptr;
    tsMaxIndex = savedMaxIndex;
    freeTestHeap();
  }
  static std::string text(oop s) {
    const ObjectHeader* h = headerOf(s);
    return std::string(reinterpret_cast<const char*>(bodyOf(h)), byteSizeOf(h));
  }
  static oop fixedBytes(uint64_t n) { return oopOf(allocVSObjInFixedSpace(classAt(classIndexByteArray), n)); }
};

TEST_F(NMethodPrims, LayoutConstantsComeAsThirteenNamedPairsInOrder) {
  const std::pair<const char*, int64_t> expected[] = {
      {"entry", 64}, {"entryNonImm", 73}, {"entryNoCheck", 87}, {"glueEntry", 87}, {"blockEntry", 64},
      {"blockGlueEntry", 64}, {"abortSendMissReturnOffset", 56}, {"cannotResumeEntry", 40},
      {"primitiveJumpSize", 6}, {"PICTypeCaseSize", 13}, {"PICFirstTargetOffset", 92},
      {"ClosedPICSize", 196}, {"OpenPICSize", 224}};
  PrimOutcome o = callPrimitive(1003, nilOop(), {});
  ASSERT_FALSE(o.failed);
  ASSERT_EQ(classOf(o.result), sysOop(sysArrayClass));
  ASSERT_EQ(bodyWordsOf(headerOf(o.result)), 26u);
  for (int k = 0; k < 13; k++) {
    oop name = slotOf(o.result, 2 * k);
    ASSERT_TRUE(isHeapObject(name) && !hasPtrs(headerOf(name))) << k;
    EXPECT_EQ(text(name), expected[k].first);
    EXPECT_EQ(slotOf(o.result, 2 * k + 1), smallIntegerFor(expected[k].second)) << expected[k].first;
  }
  EXPECT_NE(slotOf(o.result, 0), slotOf(callPrimitive(1003, nilOop(), {}).result, 0)) << "new Strings each time";
}

// Bounds past the SmallInteger range come as LargePositiveIntegers.
TEST_F(NMethodPrims, CodeRangesAnswerTheFourBounds) {
  uint64_t saved[4] = {profile_text_lopc, profile_text_hipc, profile_nzone_lopc, profile_nzone_hipc};
  const uint64_t bounds[4] = {0x401000, uint64_t(smallIntegerMax), uint64_t(smallIntegerMax) + 1, all};
  profile_text_lopc = bounds[0], profile_text_hipc = bounds[1];
  profile_nzone_lopc = bounds[2], profile_nzone_hipc = bounds[3];
  PrimOutcome o = callPrimitive(1001, nilOop(), {});
  profile_text_lopc = saved[0], profile_text_hipc = saved[1];
  profile_nzone_lopc = saved[2], profile_nzone_hipc = saved[3];
  ASSERT_FALSE(o.failed);
  ASSERT_EQ(bodyWordsOf(headerOf(o.result)), 4u);
  for (int i = 0; i < 2; i++) EXPECT_EQ(slotOf(o.result, i), smallIntegerFor(int64_t(bounds[i]))) << i;
  for (int i = 2; i < 4; i++) {
    oop large = slotOf(o.result, i);
    ASSERT_TRUE(isHeapObject(large)) << i;
    EXPECT_EQ(classOf(large), classAt(classIndexLargePositiveInteger)) << i;
    ASSERT_EQ(byteSizeOf(headerOf(large)), 8u);
    uint64_t value;
    memcpy(&value, bodyOf(headerOf(large)), 8);
    EXPECT_EQ(value, bounds[i]);
  }
}

TEST_F(NMethodPrims, RefusedArgumentsFailWithTheirCodes) {
  oop string = newOldObject(classIndexByteString, 3);
  oop movable = newOldObject(classIndexByteArray, 8);
  struct Case {
    uint32_t number;
    std::vector<oop> args;
    uint32_t code;
  };
  const Case cases[] = {
      {1009, {smallIntegerFor(32)}, 3},
      {1009, {smallIntegerFor(-1)}, 3},
      {1009, {string}, 3},
      {1009, {trueOop()}, 3},
      {537, {smallIntegerFor(3)}, 3},
      {537, {string}, 3},
      {1004, {smallIntegerFor(5)}, 0},
      {1004, {sysOop(sysArrayClass)}, 0},
      {1002, {trueOop(), nilOop(), nilOop()}, 5},
      {1002, {smallIntegerFor(1), nilOop(), nilOop()}, 3},
      {1002, {nilOop(), nilOop(), nilOop()}, 3},
      {1002, {falseOop(), movable, nilOop()}, 3},
      {1002, {trueOop(), string, string}, 3},
      {1002, {trueOop(), fixedBytes(8), fixedBytes(8)}, 3},
  };
  for (const Case& c : cases) {
    PrimOutcome o = callPrimitive(c.number, nilOop(), c.args);
    ASSERT_TRUE(o.failed) << c.number;
    EXPECT_EQ(o.errorOop, primErrorAt(c.code)) << c.number;
    EXPECT_EQ(o.numArgs, c.args.size()) << c.number;
    EXPECT_FALSE(o.afterCommit) << c.number;
  }
  EXPECT_EQ(collectingProfileData, 0u);
}

// Answers that need no running process: 537 asked for the state it is in answers at once,
// 526 on an immediate answers it.
TEST_F(NMethodPrims, QueriesAnswerWithoutTouchingTheCode) {
  struct Case {
    int32_t max;
    oop arg;
    oop answer;
  };
  const Case cases[] = {
      {22, nilOop(), trueOop()}, {7, nilOop(), falseOop()}, {-1, nilOop(), falseOop()},
      {22, trueOop(), trueOop()}, {7, falseOop(), falseOop()},
  };
  for (const Case& c : cases) {
    tsMaxIndex = c.max;
    PrimOutcome o = callPrimitive(537, nilOop(), {c.arg});
    EXPECT_FALSE(o.failed);
    EXPECT_EQ(o.result, c.answer) << c.max;
    EXPECT_EQ(tsMaxIndex, c.max);
  }
  for (oop immediate : {smallIntegerFor(5), characterFor(65), nilOop()}) {
    PrimOutcome o = callPrimitive(526, immediate, {});
    EXPECT_FALSE(o.failed);
    EXPECT_EQ(o.result, immediate);
  }
}

// Starting keeps both buffers in registry slots and counts into their bodies; stopping empties
// the slots and ends the counting.
TEST_F(NMethodPrims, ProfilerStartsOnFixedBuffersAndStops) {
  uint64_t saved[4] = {profile_text_lopc, profile_text_hipc, profile_nzone_lopc, profile_nzone_hipc};
  profile_text_lopc = 0x1000, profile_text_hipc = 0x1040;
  profile_nzone_lopc = 0x2000, profile_nzone_hipc = 0x2080;
  oop engine = fixedBytes(0x40), zone = fixedBytes(0x80);
  PrimOutcome on = callPrimitive(1002, nilOop(), {trueOop(), engine, zone});
  ASSERT_FALSE(on.failed);
  EXPECT_EQ(collectingProfileData, 1u);
  ASSERT_GE(profileEngineBufferX, 0);
  EXPECT_EQ(sysOop(uint32_t(profileEngineBufferX)), engine);
  EXPECT_EQ(sysOop(uint32_t(profileNZoneBufferX)), zone);
  incrementProfile(0x2010);
  incrementProfile(0x1038);
  EXPECT_EQ(reinterpret_cast<uint64_t*>(bodyOf(headerOf(zone)))[2], 1u);
  EXPECT_EQ(reinterpret_cast<uint64_t*>(bodyOf(headerOf(engine)))[7], 1u);
  ASSERT_GE(profileSymbolCount, 3);
  const char* const labels[3] = {".NZone", ".NMethodEnd", ".NZoneEnd"};
  for (int i = 0; i < 3; i++) EXPECT_STREQ(profileSymbols[i].name, labels[i]);

  PrimOutcome off = callPrimitive(1002, nilOop(), {falseOop(), nilOop(), nilOop()});
  ASSERT_FALSE(off.failed);
  EXPECT_EQ(collectingProfileData, 0u);
  EXPECT_EQ(nzoneData, nullptr);
  EXPECT_EQ(sysOop(uint32_t(profileEngineBufferX)), nilOop());
  EXPECT_EQ(sysOop(uint32_t(profileNZoneBufferX)), nilOop());
  incrementProfile(0x2010);
  EXPECT_EQ(reinterpret_cast<uint64_t*>(bodyOf(headerOf(zone)))[2], 1u);
  profile_text_lopc = saved[0], profile_text_hipc = saved[1];
  profile_nzone_lopc = saved[2], profile_nzone_hipc = saved[3];
}

}  // namespace
