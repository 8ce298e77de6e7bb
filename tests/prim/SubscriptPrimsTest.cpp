// Indexed-access primitives: the tables of subscriptCases replayed (a failing case must
// leave every body it was given as it was), floats at byte offsets, range copies against a
// memmove model, the store check's effects.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "ext/exOption.h"
#include "ext/exPrimTable.h"
#include "ext/exRequest.h"
#include "mman/heapVerifier.h"
#include "mman/mmAllocate.h"
#include "mman/mmCValue.h"
#include "mman/mmFixedSpace.h"
#include "mman/mmLargeSpace.h"
#include "mman/mmOldSpace.h"
#include "mman/mmPrimUtil.h"
#include "mman/mmRt.h"
#include "mman/mmSysOop.h"
#include "prim/subscriptCases.h"
#include "mman/testHeap.h"
#include "prim/prCollation.h"
#include "prim/prSubscript.h"
#include "support/primHarness.h"

namespace {

using Row = PrimCase;

class SubscriptPrims : public ::testing::Test {
 protected:
  void SetUp() override {
    newTestHeap();
    initPrimitiveTable();
    initSubscriptPrims();
    initStringPrims();
    IEEEInfNaN = 0;
  }
  void TearDown() override {
    IEEEInfNaN = 0;
    freeTestHeap();
  }

  static std::vector<uint8_t> body(oop o) {
    if (!isHeapObject(o) || headerOf(o)->dataPtr == 0) return {};
    uint8_t* b = reinterpret_cast<uint8_t*>(bodyOf(headerOf(o)));
    return std::vector<uint8_t>(b, b + bodyBytesOf(headerOf(o)));
  }

  static std::string describe(const Row& r) { return std::to_string(r.prim) + " " + r.what; }

  // Runs each row; a failing row must leave the receiver's and the arguments' bodies as
  // they were.
  static void replay(const std::vector<Row>& rows) {
    for (const Row& r : rows) {
      std::vector<std::vector<uint8_t>> before;
      before.push_back(body(r.rcv));
      for (oop a : r.args) before.push_back(body(a));
      PrimOutcome out = callPrimitive(r.prim, r.rcv, r.args);
      SCOPED_TRACE(describe(r));
      ASSERT_EQ(out.failed, r.expect.fails);
      if (out.failed) {
        oop error = r.expect.code < 0 ? nilOop() : primErrorAt(uint32_t(r.expect.code));
        EXPECT_EQ(out.errorOop, error);
        EXPECT_EQ(out.numArgs, r.args.size());
        EXPECT_EQ(body(r.rcv), before[0]);
        for (size_t i = 0; i < r.args.size(); i++) EXPECT_EQ(body(r.args[i]), before[i + 1]);
      } else {
        EXPECT_EQ(out.result, r.expect.answer);
      }
    }
  }
};


TEST_F(SubscriptPrims, SlotAccessOverEveryPointerFormat) {
  replay(slotAccessCases());
  EXPECT_HEAP_VALID();
}

TEST_F(SubscriptPrims, BytesCharactersAndTwoByteUnits) {
  replay(byteAndUnitCases());
  EXPECT_HEAP_VALID();
}

TEST_F(SubscriptPrims, MachineNumbersAtByteOffsets) {
  replay(byteOffsetCases());

  // Reads that answer large integers: values through the numbers they stand for.
  int64_t out;
  uint64_t uout;
  oop b = oldBytes(classIndexByteArray, std::vector<uint8_t>(16, 0xFF));
  PrimOutcome r = callPrimitive(552, b, {si(9)});
  ASSERT_FALSE(r.failed);
  ASSERT_TRUE(oopToQ64(r.result, &uout));
  EXPECT_EQ(uout, ~uint64_t(0));
  r = callPrimitive(554, b, {si(9)});
  ASSERT_TRUE(oopToSq64(r.result, &out));
  EXPECT_EQ(out, -1);
  ASSERT_FALSE(callPrimitive(555, b, {si(1), cSignedToOop(INT64_MIN)}).failed);
  r = callPrimitive(554, b, {si(1)});
  ASSERT_TRUE(oopToSq64(r.result, &out));
  EXPECT_EQ(out, INT64_MIN);
  EXPECT_EQ(classTagOf(headerOf(r.result)), classIndexLargeNegativeInteger);
}

TEST_F(SubscriptPrims, FloatsAtByteOffsets) {
  oop b = oldBytes(classIndexByteArray, std::vector<uint8_t>(12, 0));
  oop frozen = oldBytes(classIndexByteArray, std::vector<uint8_t>(8, 0));
  setFlag(headerOf(frozen), isImmutableBit);
  auto put64 = [&](double d) { memcpy(reinterpret_cast<uint8_t*>(bodyOf(headerOf(b))) + 3, &d, 8); };
  // 550 at offset 4 (unaligned): immediates where they fit, else an immutable Double box.
  struct Case { double d; bool immediate; bool infNaN; };
  double inf = INFINITY, nan = NAN;
  Case cases[] = {{1.0, true, false},      {0.0, true, false},    {-0.0, true, false},
                  {1e300, false, false},   {1e-310, false, false}, {std::ldexp(1.0, -127), false, false},
                  {std::ldexp(1.0, -126), true, false}, {inf, false, true}, {-inf, false, true},
                  {nan, false, true}};
  for (int mode = 0; mode <= 1; mode++) {
    IEEEInfNaN = uint32_t(mode);
    for (const Case& c : cases) {
      SCOPED_TRACE(std::to_string(c.d) + " IEEEInfNaN " + std::to_string(mode));
      put64(c.d);
      PrimOutcome r = callPrimitive(550, b, {si(4)});
      if (c.infNaN && mode == 0) {
        ASSERT_TRUE(r.failed);
        EXPECT_EQ(r.errorOop, primErrorAt(0));
        continue;
      }
      ASSERT_FALSE(r.failed);
      if (c.immediate) {
        ASSERT_TRUE(isSmallDouble(r.result));
        EXPECT_EQ(doubleBits(loadSmallDoubleFromOop(r.result)), doubleBits(c.d));
      } else {
        ASSERT_TRUE(isHeapObject(r.result));
        EXPECT_EQ(headerOf(r.result)->flags, 0x101000019ull);
        EXPECT_EQ(bodyOf(headerOf(r.result))[0], doubleBits(c.d));
      }
    }
  }
  // 548: a Float box always (immutable, class 28, 4 odd bytes).
  IEEEInfNaN = 0;
  float f = 1.5f;
  memcpy(reinterpret_cast<uint8_t*>(bodyOf(headerOf(b))) + 8, &f, 4);
  PrimOutcome r = callPrimitive(548, b, {si(9)});
  ASSERT_FALSE(r.failed);
  EXPECT_EQ(classTagOf(headerOf(r.result)), classIndexFloat);
  EXPECT_TRUE(isImmutable(headerOf(r.result)));
  EXPECT_EQ(byteSizeOf(headerOf(r.result)), 4u);
  EXPECT_EQ(memcmp(bodyOf(headerOf(r.result)), &f, 4), 0);
  oop floatBox = r.result;
  EXPECT_TRUE(callPrimitive(548, b, {si(10)}).failed);
  f = INFINITY;
  memcpy(reinterpret_cast<uint8_t*>(bodyOf(headerOf(b))) + 8, &f, 4);
  r = callPrimitive(548, b, {si(9)});
  ASSERT_TRUE(r.failed);
  EXPECT_EQ(r.errorOop, primErrorAt(0));

  // Stores: index, bounds and immutability come before the value.
  oop doubleBox = oopOf(allocSmallObj(classIndexDouble, 0, 8, isImmutableBit, 0));
  bodyOf(headerOf(doubleBox))[0] = doubleBits(2.5);
  struct Store { uint32_t prim; oop rcv; oop index; oop value; int code; double expect; };
  Store stores[] = {
      {549, b, si(9), si(16777217), -1, 16777216.0},  // nearest float
      {549, b, si(9), floatBox, -1, 1.5},
      {549, b, si(9), doubleBox, 3, 0},
      {549, b, si(9), smallDoubleFor(1.0), 3, 0},
      {549, b, si(10), nilOop(), 6, 0},
      {549, frozen, si(1), nilOop(), 23, 0},
      {549, b, nilOop(), si(1), 3, 0},
      {551, b, si(5), doubleBox, -1, 2.5},
      {551, b, si(5), floatBox, -1, 1.5},
      {551, b, si(5), si(-3), -1, -3.0},
      {551, b, si(5), smallDoubleFor(0.25), -1, 0.25},
      {551, b, si(5), ch(1), 3, 0},
      {551, b, si(6), ch(1), 6, 0},
      {551, frozen, si(1), ch(1), 23, 0},
  };
  for (const Store& s : stores) {
    SCOPED_TRACE(std::to_string(s.prim) + " " + std::to_string(s.expect));
    PrimOutcome o = callPrimitive(s.prim, s.rcv, {s.index, s.value});
    if (s.code >= 0) {
      ASSERT_TRUE(o.failed);
      EXPECT_EQ(o.errorOop, primErrorAt(uint32_t(s.code)));
      continue;
    }
    ASSERT_FALSE(o.failed);
    EXPECT_EQ(o.result, s.value);
    uint8_t* at = reinterpret_cast<uint8_t*>(bodyOf(headerOf(b))) + smallIntegerValue(s.index) - 1;
    if (s.prim == 549) {
      float g;
      memcpy(&g, at, 4);
      EXPECT_EQ(double(g), s.expect);
    } else {
      double g;
      memcpy(&g, at, 8);
      EXPECT_EQ(g, s.expect);
    }
  }
  EXPECT_HEAP_VALID();
}

TEST_F(SubscriptPrims, SearchesComparisonsAndTables) {
  replay(searchAndTableCases());
  EXPECT_HEAP_VALID();
}

// The primitives that take their receiver's kind on trust fail 5 for the other kind.
TEST_F(SubscriptPrims, ReceiversOfTheWrongKindFailFive) {
  oop ptrs = oldSlots(classIndexArray, 0, {si(1), si(2)});
  oop bytes = oldBytes(classIndexByteArray, std::vector<uint8_t>(16, 1));
  oop one = si(1);
  struct Case { uint32_t prim; std::vector<oop> args; };
  Case onBytes[] = {{63, {one}}, {64, {one, ch(1)}}, {105, {one, one, bytes, one}}, {223, {bytes}},
                    {342, {one}}, {343, {one, ch(1)}}, {344, {ch(1), one, one}}, {345, {ch(1), one, one}},
                    {412, {one}}, {413, {one, ch(1)}}, {414, {one, one, bytes, one}}, {418, {ch(1), one, one}},
                    {419, {ch(1), one, one}}, {420, {one}}, {421, {one, one}}, {423, {one}}, {424, {one, one}},
                    {540, {one}}, {541, {one, one}}, {542, {one}}, {543, {one, one}}, {544, {one}},
                    {545, {one, one}}, {546, {one}}, {547, {one, one}}, {548, {one}}, {549, {one, one}},
                    {550, {one}}, {551, {one, one}}, {552, {one}}, {553, {one, one}}, {554, {one}},
                    {555, {one, one}}, {558, {one, one, bytes, one, bytes}},
                    {559, {one, one, bytes, one}}};
  Case onPointers[] = {{422, {one, one, one, one}}, {425, {one}}, {426, {one, one}}, {432, {bytes}},
                       {450, {one, one, ptrs, one}}};
  for (oop rcv : {ptrs, si(5)}) {
    for (const Case& c : onBytes) {
      SCOPED_TRACE(c.prim);
      std::vector<uint8_t> before = body(ptrs);
      PrimOutcome o = callPrimitive(c.prim, rcv, c.args);
      ASSERT_TRUE(o.failed);
      EXPECT_EQ(o.errorOop, primErrorAt(5));
      EXPECT_EQ(body(ptrs), before);
    }
  }
  for (oop rcv : {bytes, si(5)}) {
    for (const Case& c : onPointers) {
      SCOPED_TRACE(c.prim);
      std::vector<uint8_t> before = body(bytes);
      PrimOutcome o = callPrimitive(c.prim, rcv, c.args);
      ASSERT_TRUE(o.failed);
      EXPECT_EQ(o.errorOop, primErrorAt(5));
      EXPECT_EQ(body(bytes), before);
    }
  }
}

// Random overlapping ranges, within the rules, against memmove (through a map for 558);
// the same object as source and destination in either direction.
TEST_F(SubscriptPrims, RangeCopiesMatchAMemmoveModel) {
  std::mt19937_64 rng(1307);
  auto pick = [&](int64_t lo, int64_t hi) { return lo + int64_t(rng() % uint64_t(hi - lo + 1)); };
  const int64_t n = 29;  // 3 odd bytes in a 32-byte body
  oop map = oldBytes(classIndexByteArray, std::vector<uint8_t>(512, 0));
  uint16_t* m = reinterpret_cast<uint16_t*>(bodyOf(headerOf(map)));
  for (int i = 0; i < 256; i++) m[i] = uint16_t((i * 7 + 3) & 255);
  for (int round = 0; round < 400; round++) {
    uint32_t prim = std::vector<uint32_t>{105, 414, 450, 558, 559}[size_t(round % 5)];
    bool units = prim == 414, slots = prim == 450;
    int64_t width = units ? 2 : slots ? 8 : 1;
    int64_t count = n / width;
    std::vector<uint8_t> bytes(size_t(count * width));
    for (auto& x : bytes) x = uint8_t(rng());
    auto make = [&](const std::vector<uint8_t>& data) {
      if (!slots) return oldBytes(units ? classIndexTwoByteString : classIndexByteString, data);
      std::vector<oop> v;
      for (size_t i = 0; i < data.size(); i += 8) v.push_back(si(data[i]));
      return oldSlots(classIndexArray, 0, v);
    };
    oop rcv = make(bytes);
    bool same = rng() % 2;
    oop src = same ? rcv : make(std::vector<uint8_t>(bytes.rbegin(), bytes.rend()));
    if (prim == 559 && !same) setClassTag(headerOf(src), classIndexByteArray);
    int64_t k = pick(0, count);
    // The two-byte copy asks stop >= 1 even of an empty range.
    int64_t start = pick(k == 0 && units ? 2 : 1, count - k + 1), srcStart = pick(1, count - std::max<int64_t>(k, 1) + 1);
    // The model: element arrays copied through a temporary.
    auto elements = [&](oop o) {
      std::vector<uint64_t> e;
      for (int64_t i = 0; i < count; i++)
        e.push_back(slots ? slotOf(o, uint64_t(i)) : units ? reinterpret_cast<uint16_t*>(bodyOf(headerOf(o)))[i]
                                                           : reinterpret_cast<uint8_t*>(bodyOf(headerOf(o)))[i]);
      return e;
    };
    std::vector<uint64_t> expect = elements(rcv), from = elements(src);
    for (int64_t i = 0; i < k; i++) {
      uint64_t v = from[size_t(srcStart - 1 + i)];
      expect[size_t(start - 1 + i)] = prim == 558 ? m[v] : v;
    }
    std::vector<oop> args = {si(start), si(start + k - 1), src, si(srcStart)};
    if (prim == 558) args.push_back(map);
    SCOPED_TRACE(std::to_string(prim) + " start " + std::to_string(start) + " count " + std::to_string(k) +
                 " srcStart " + std::to_string(srcStart) + (same ? " same" : ""));
    PrimOutcome o = callPrimitive(prim, rcv, args);
    ASSERT_FALSE(o.failed);
    EXPECT_EQ(o.result, rcv);
    EXPECT_EQ(elements(rcv), expect);
  }
  EXPECT_HEAP_VALID();
}

TEST_F(SubscriptPrims, RangeCopyFailures) {
  replay(rangeCopyFailureCases());
  // 558 stops at an entry above 255, the bytes before it written.
  oop map = oldBytes(classIndexByteArray, std::vector<uint8_t>(512, 0));
  uint16_t* m = reinterpret_cast<uint16_t*>(bodyOf(headerOf(map)));
  for (int i = 0; i < 256; i++) m[i] = uint16_t(i + 10);
  m[3] = 256;
  oop dst = oldBytes(classIndexByteString, {0, 0, 0, 0, 0});
  oop five = oldBytes(classIndexByteString, {1, 2, 3, 4, 5});
  PrimOutcome o = callPrimitive(558, dst, {si(1), si(5), five, si(1), map});
  ASSERT_TRUE(o.failed);
  EXPECT_EQ(o.errorOop, primErrorAt(0));
  EXPECT_EQ(body(dst), (std::vector<uint8_t>{11, 12, 0, 0, 0, 0, 0, 0}));
  // A pending request is served after a successful copy.
  m[3] = 13;
  setRequest(requestCompactLarge);
  o = callPrimitive(558, dst, {si(1), si(5), five, si(1), map});
  ASSERT_FALSE(o.failed);
  EXPECT_EQ(o.result, dst);
  EXPECT_FALSE(anyRequestsPending());
  EXPECT_EQ(body(dst), (std::vector<uint8_t>{11, 12, 13, 14, 15, 0, 0, 0}));
}

// Every oop store keeps the remembered tables right; the verifier checks the invariants.
TEST_F(SubscriptPrims, StoresKeepTheRememberedTables) {
  oop young = newNewObject(testClasses.object, 0);
  oop oldArr = oldSlots(classIndexArray, 0, {si(1), si(2)});
  oop fixed = oldSlots(testClasses.threeSlots, 3, {si(1), si(2), si(3)});
  oop permArr = oldSlots(classIndexArray, 0, {si(1)});
  makePerm(permArr);
  oop source = oldSlots(classIndexArray, 0, {young, oldArr});
  registerInRt(headerOf(source));
  oop arr = oldSlots(classIndexArray, 0, {si(1), si(2), si(3)});
  struct Store { uint32_t prim; oop rcv; std::vector<oop> args; oop holder; uint64_t bit; };
  Store stores[] = {
      {61, oldArr, {si(1), young}, oldArr, inRtBit},
      {74, fixed, {si(1), young}, fixed, inRtBit},
      {161, nilOop(), {permArr, si(1), oldArr}, permArr, isInOldRtBit},
      {422, arr, {si(3), young, si(3), si(1)}, arr, inRtBit},
  };
  for (const Store& s : stores) {
    SCOPED_TRACE(s.prim);
    ASSERT_FALSE(callPrimitive(s.prim, s.rcv, s.args).failed);
    EXPECT_TRUE(hasFlag(headerOf(s.holder), s.bit));
    EXPECT_HEAP_VALID();
  }
  oop dst = oldSlots(classIndexArray, 0, {si(0), si(0)});
  ASSERT_FALSE(callPrimitive(450, dst, {si(1), si(2), source, si(1)}).failed);
  EXPECT_TRUE(inRt(headerOf(dst)));
  oop permDst = oldSlots(classIndexArray, 0, {si(0), si(0)});
  makePerm(permDst);
  ASSERT_FALSE(callPrimitive(450, permDst, {si(1), si(2), source, si(1)}).failed);
  EXPECT_TRUE(isInOldRt(headerOf(permDst)));
  EXPECT_HEAP_VALID();
}

}  // namespace

namespace {

// A store whose remembered-table registration cannot be made is a fatal report naming this
// source; the report goes to standard output, sent to standard error here to be read.
TEST(SubscriptPrimsDeathTest, FailedRegistrationIsFatalAndNamesTheSource) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        newTestHeap(1 << 14, 2);
        initPrimitiveTable();
        initSubscriptPrims();
        for (int i = 0; i < 2; i++) registerInRt(headerOf(newOldObject(classIndexArray, 0)));
        oop holder = newOldObject(classIndexArray, 1);
        while (allocOldData(1, 1) != 0) {
        }
        fflush(stdout);
        dup2(2, 1);
        callPrimitive(61, holder, {smallIntegerFor(1), newNewObject(testClasses.object, 0)});
      },
      ::testing::ExitedWithCode(8), "src/mman/mmSubscript:");
}

}  // namespace
