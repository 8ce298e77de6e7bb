// Object references and headers: immediate encodings, header bit positions, identity hashes
// and the new-space walk step.
#include <gtest/gtest.h>

#include <string>

#include <cmath>
#include <cstring>

#include "mman/mmImageHeader.h"
#include "mman/mmObject.h"

namespace {

// Each of the eight low-bit patterns is exactly one kind of oop, or (2, 4, 6, 7) none.
TEST(Oop_Tags, EachLowBitPatternIsAtMostOneKind) {
  const char* expected[8] = {"object", "character", "", "integer", "", "double", "", ""};
  for (uint64_t high : {0ULL, 0x12345678ULL, 0x1FFFFFFFFFFFFFFFULL}) {
    for (uint64_t low = 0; low < 8; low++) {
      oop o = high << 3 | low;
      std::string kinds;
      if (isHeapObject(o)) kinds += "object";
      if (isCharacter(o)) kinds += "character";
      if (isSmallInteger(o)) kinds += "integer";
      if (isSmallDouble(o)) kinds += "double";
      EXPECT_EQ(kinds, expected[low]) << low;
      EXPECT_EQ(isImmediate(o), (low & 1) != 0) << low;
    }
  }
}

TEST(Oop_SmallInteger, EncodesAndDecodesAcrossItsRange) {
  struct Case { int64_t value; oop expected; } cases[] = {
      {0, 3}, {1, 11}, {-1, 0xFFFFFFFFFFFFFFFBull}, {smallIntegerMax, 0x7FFFFFFFFFFFFFFBull},
      {smallIntegerMin, 0x8000000000000003ull}, {-2, 0xFFFFFFFFFFFFFFF3ull}};
  for (const Case& c : cases) {
    ASSERT_TRUE(fitsSmallInteger(c.value)) << c.value;
    EXPECT_EQ(smallIntegerFor(c.value), c.expected) << c.value;
    EXPECT_EQ(smallIntegerValue(c.expected), c.value);
    EXPECT_TRUE(isSmallInteger(c.expected));
    EXPECT_TRUE(isImmediate(c.expected));
    EXPECT_NE(c.expected & 2, 0u);
  }
  EXPECT_FALSE(fitsSmallInteger(smallIntegerMax + 1));
  EXPECT_FALSE(fitsSmallInteger(smallIntegerMin - 1));
}

TEST(Oop_Character, EncodesCodePointTimesEightPlusOne) {
  for (uint64_t c : {0ull, 97ull, 0x10FFFFull}) {
    oop o = characterFor(c);
    EXPECT_EQ(o, c * 8 + 1);
    EXPECT_TRUE(isCharacter(o));
    EXPECT_EQ(o & 2, 0u);
    EXPECT_EQ(characterValue(o), c);
  }
}

TEST(Oop_SmallDouble, EncodesTheImmediateRangeAndRoundTrips) {
  double minFit = doubleFromBits(smallDoubleMinMagnitude);
  double maxFit = doubleFromBits(smallDoubleMaxMagnitude);
  struct Case { double d; bool fits; } cases[] = {
      {1.0, true}, {-1.0, true}, {0.0, true}, {-0.0, true}, {3.141592653589793, true},
      {-1e38, true}, {minFit, true}, {-minFit, true}, {maxFit, true}, {-maxFit, true},
      {std::ldexp(1.0, -127), false}, {std::ldexp(1.0, 129), false}, {-std::ldexp(1.0, 129), false},
      {1e-300, false}, {INFINITY, false}, {-INFINITY, false}, {NAN, false}};
  for (const Case& c : cases) {
    EXPECT_EQ(fitsSmallDouble(c.d), c.fits) << c.d;
    if (!c.fits) continue;
    oop o = smallDoubleFor(c.d);
    EXPECT_TRUE(isSmallDouble(o)) << c.d;
    EXPECT_EQ(doubleBits(loadSmallDoubleFromOop(o)), doubleBits(c.d)) << c.d;
  }
  EXPECT_EQ(smallDoubleFor(1.0), (uint64_t(127) << 56) + 5);
  EXPECT_EQ(smallDoubleFor(0.0), 5u);
  EXPECT_EQ(smallDoubleFor(-0.0), 13u);
  EXPECT_EQ(doubleBits(loadSmallDoubleFromOop(5)), 0u);
  EXPECT_EQ(doubleBits(loadSmallDoubleFromOop(13)), doubleSignBit);
}

TEST(ObjectHeader_Fields, SitAtTheirBitPositions) {
  struct Case { void (*set)(ObjectHeader*); uint64_t flags; } cases[] = {
      {[](ObjectHeader* h) { setClassTag(h, 0xFFFFF); }, 0xFFFFF},
      {[](ObjectHeader* h) { setFlag(h, isInOldRtBit); }, 1ull << 20},
      {[](ObjectHeader* h) { setFlag(h, inRtBit); }, 1ull << 21},
      {[](ObjectHeader* h) { setFlag(h, isGCSpecialBit); }, 1ull << 22},
      {[](ObjectHeader* h) { setFlag(h, ephemeronNotWeakBit); }, 1ull << 23},
      {[](ObjectHeader* h) { setSizeField(h, 254); }, 254ull << 24},
      {[](ObjectHeader* h) { setFlag(h, isImmutableBit); }, 1ull << 32},
      {[](ObjectHeader* h) { setFlag(h, isMarkedBit); }, 1ull << 33},
      {[](ObjectHeader* h) { setIndexability(h, 255); }, 255ull << 34},
      {[](ObjectHeader* h) { setHash(h, 0xFFFFF); }, 0xFFFFFull << 42},
      {[](ObjectHeader* h) { setFlag(h, isPermBit); }, 1ull << 62},
      {[](ObjectHeader* h) { setFlag(h, hasPtrsBit); }, 1ull << 63}};
  for (const Case& c : cases) {
    ObjectHeader h{0, 0};
    c.set(&h);
    EXPECT_EQ(h.flags, c.flags);
  }
  ObjectHeader h{0, 0};
  setHash(&h, 0x12345);
  setIndexability(&h, 0xA5);
  setSizeField(&h, 252);
  setFlag(&h, isPermBit);
  setFlag(&h, hasPtrsBit);
  uint8_t raw[16];
  memcpy(raw, &h, 16);
  uint32_t high;
  uint16_t low16;
  memcpy(&high, raw + 12, 4);
  memcpy(&low16, raw + 12, 2);
  EXPECT_EQ(raw[11], 252);
  EXPECT_EQ((high >> 10) & 0xFFFFF, 0x12345u);
  EXPECT_EQ(high >> 30, 3u);
  EXPECT_EQ(unsigned((low16 >> 2) & 0xFF), 0xA5u);
  EXPECT_EQ(hashOf(&h), 0x12345u);
  EXPECT_EQ(indexabilityOf(&h), 0xA5u);
  EXPECT_EQ(sizeFieldOf(&h), 252u);
}

TEST(ObjectHeader_IdentityHash, StepsByTheConstantAndIsNeverZero) {
  lastHash = 0;
  ObjectHeader a{0, hasPtrsBit | 77}, b{0, 0};
  EXPECT_EQ(getObjHash(&a), 648019u);
  EXPECT_EQ(getObjHash(&a), 648019u);
  EXPECT_EQ(getObjHash(&b), (2u * 648019u) & 0xFFFFFu);
  EXPECT_EQ(a.flags & ~hashMask, hasPtrsBit | 77);
  lastHash = (1u << 20) - 648019u;  // the next step lands on 0
  ObjectHeader c{0, 0};
  EXPECT_EQ(getObjHash(&c), 648019u);
  EXPECT_EQ(lastHash, 648019u);
  EXPECT_EQ(maximumIdentityHashValue(), smallIntegerFor(1048575));
}

TEST(NewSpaceWalk_Step, CoversFillersAdjacentAndDetachedBodies) {
  alignas(16) uint64_t area[400] = {};
  uint64_t base = reinterpret_cast<uint64_t>(area);
  auto at = [&](uint64_t words) { return reinterpret_cast<ObjectHeader*>(base + words * 8); };
  writeFiller(at(0), 5);  // a freed 5-word object: the walk steps over 56 bytes
  EXPECT_EQ(nextNewSpaceHeader(at(0)), at(7));
  *at(7) = ObjectHeader{base + 9 * 8, 30 | (uint64_t(3) << sizeFieldShift)};  // adjacent, 3 words
  EXPECT_EQ(nextNewSpaceHeader(at(7)), at(12));
  *at(12) = ObjectHeader{base + 15 * 8, 30 | (uint64_t(252) << sizeFieldShift)};
  area[14] = 256 * 8;  // size word
  EXPECT_EQ(nextNewSpaceHeader(at(12)), at(15 + 256));
  *at(300) = ObjectHeader{0x7000000, 30};  // body elsewhere
  EXPECT_EQ(nextNewSpaceHeader(at(300)), at(302));
  area[302] = 4 * 8 + 7;  // skip marker
  EXPECT_EQ(nextNewSpaceHeader(at(300)), at(306));
}

}  // namespace
