// Tests of the integer conversions between C integers and integer objects.
#include <gtest/gtest.h>

#include "mman/mmCValue.h"
#include "mman/mmNewSpace.h"
#include "mman/mmPrimUtil.h"
#include "mman/mmSysOop.h"
#include "../mman/spaceArena.h"

namespace {

class IntegerConversion : public ::testing::Test {
 protected:
  void SetUp() override { newSpaceArena(); }
  void TearDown() override { freeSpaceArena(); }
  // A large integer of the given class with bytes bytes of magnitude.
  static oop largeInteger(uint32_t tag, uint64_t bytes, uint64_t magnitude) {
    ObjectHeader* h = allocInNewSpace(tag, 0, bytes, 0, 0);
    bodyOf(h)[0] = magnitude;
    return oopOf(h);
  }
};

TEST_F(IntegerConversion, IntegerConversion_SignedAtSmallIntegerLimits) {
  const int64_t p60 = int64_t(1) << 60;
  EXPECT_EQ(cSignedToOop(-p60), smallIntegerFor(-p60));
  EXPECT_EQ(cSignedToOop(p60 - 1), smallIntegerFor(p60 - 1));
  struct Case { int64_t value; uint32_t tag; uint64_t magnitude; } cases[] = {
      {p60, classIndexLargePositiveInteger, uint64_t(p60)},
      {-p60 - 1, classIndexLargeNegativeInteger, uint64_t(p60) + 1},
      {INT64_MIN, classIndexLargeNegativeInteger, uint64_t(1) << 63},
      {INT64_MAX, classIndexLargePositiveInteger, uint64_t(INT64_MAX)},
  };
  for (const Case& c : cases) {
    oop o = cSignedToOop(c.value);
    ASSERT_TRUE(isHeapObject(o));
    EXPECT_EQ(classTagOf(headerOf(o)), c.tag);
    EXPECT_EQ(byteSizeOf(headerOf(o)), 8u);
    EXPECT_EQ(bodyOf(headerOf(o))[0], c.magnitude);
    int64_t back;
    ASSERT_TRUE(oopToSq64(o, &back));
    EXPECT_EQ(back, c.value);
  }
}

TEST_F(IntegerConversion, IntegerConversion_UnsignedRoundTrips) {
  for (uint64_t v : {uint64_t(0), (uint64_t(1) << 60) - 1, uint64_t(1) << 60, uint64_t(1) << 63,
                     ~uint64_t(0)}) {
    oop o = cUnsignedToOop(v);
    EXPECT_EQ(isSmallInteger(o), v < (uint64_t(1) << 60));
    uint64_t back;
    ASSERT_TRUE(oopToQ64(o, &back));
    EXPECT_EQ(back, v);
    EXPECT_EQ(oopToQ63(o, &back) != 0, v < (uint64_t(1) << 63));
  }
}

TEST_F(IntegerConversion, IntegerConversion_RefusesWrongSizesAndKinds) {
  uint64_t out;
  int64_t sout;
  EXPECT_FALSE(oopToQ64(largeInteger(classIndexLargePositiveInteger, 4, 7), &out));
  EXPECT_FALSE(oopToQ64(largeInteger(classIndexLargePositiveInteger, 9, 7), &out));
  EXPECT_TRUE(oopToQ64(largeInteger(classIndexLargePositiveInteger, 5, 7), &out));
  EXPECT_FALSE(oopToQ64(smallIntegerFor(-1), &out));
  EXPECT_FALSE(oopToQ64(largeInteger(classIndexLargeNegativeInteger, 8, 7), &out));
  EXPECT_FALSE(oopToQ64(characterFor(65), &out));
  oop big = largeInteger(classIndexLargeNegativeInteger, 8, (uint64_t(1) << 63) + 1);
  EXPECT_FALSE(oopToSq64(big, &sout));
  uint32_t u32;
  int32_t s32;
  EXPECT_TRUE(oopToQ32(smallIntegerFor(0xFFFFFFFF), &u32));
  EXPECT_FALSE(oopToQ32(smallIntegerFor(0x100000000), &u32));
  EXPECT_FALSE(oopToQ31(smallIntegerFor(0x80000000), &u32));
  EXPECT_TRUE(oopToSq32(smallIntegerFor(INT32_MIN), &s32));
  EXPECT_FALSE(oopToSq32(smallIntegerFor(int64_t(INT32_MAX) + 1), &s32));
}

// The low bytes of a SmallInteger, a Character or an exactly 8-byte LargeInteger, truncated
// to the size asked; everything else, and sizes other than 1, 2, 4 and 8, refused.
TEST_F(IntegerConversion, IntegerConversion_ToCValues) {
  struct Case {
    const char* what;
    oop value;
    uint64_t size;
    int accepted;
    uint64_t stored;
  } cases[] = {
      {"300 in one byte", smallIntegerFor(300), 1, 1, 44},
      {"-1 in two bytes", smallIntegerFor(-1), 2, 1, 0xFFFF},
      {"a Character", characterFor(0x263A), 4, 1, 0x263A},
      {"8-byte LargePositive", largeInteger(classIndexLargePositiveInteger, 8, uint64_t(1) << 62), 8, 1, uint64_t(1) << 62},
      {"8-byte LargeNegative", largeInteger(classIndexLargeNegativeInteger, 8, uint64_t(1) << 61), 8, 1,
       0 - (uint64_t(1) << 61)},
      {"4-byte LargePositive", largeInteger(classIndexLargePositiveInteger, 4, 7), 8, 0, 0},
      {"size 3", smallIntegerFor(1), 3, 0, 0},
      {"size 16", smallIntegerFor(1), 16, 0, 0},
      {"a SmallDouble", smallDoubleFor(1.5), 8, 0, 0},
      {"8 bytes of another class", largeInteger(classIndexByteArray, 8, 7), 8, 0, 0},
  };
  for (const Case& c : cases) {
    uint64_t out = 0;
    EXPECT_EQ(stOopToCValue(&out, c.value, c.size), c.accepted) << c.what;
    EXPECT_EQ(out, c.stored) << c.what;
  }
}

}  // namespace
