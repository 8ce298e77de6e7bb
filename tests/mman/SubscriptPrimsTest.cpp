// Indexed-access primitives: one table of {primitive, receiver, arguments} -> answer or
// failure code over every object format, replayed in order (stores are followed by the
// reads that see them); range copies against a memmove model; the store check's effects.
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
#include "mman/heapVerifier.h"
#include "mman/mmAllocate.h"
#include "mman/mmFixedSpace.h"
#include "mman/mmLargeSpace.h"
#include "mman/mmOldSpace.h"
#include "mman/mmPending.h"
#include "mman/mmRt.h"
#include "mman/mmString.h"
#include "mman/mmSubscript.h"
#include "mman/mmSysOop.h"
#include "mman/testHeap.h"
#include "prim/prCValue.h"
#include "prim/prUtil.h"
#include "support/primHarness.h"
#include "tran/tprim.h"

namespace {

oop si(int64_t v) { return smallIntegerFor(v); }
oop ch(uint64_t c) { return characterFor(c); }

// An expected outcome: an answer, or a failure with a PrimErrorTable code (or nil's error).
struct Expect {
  bool fails;
  oop answer;     // when !fails
  int code;       // when fails: the table entry, or -1 for nil as the error object
};
Expect ans(oop v) { return {false, v, 0}; }
Expect code(int c) { return {true, 0, c}; }
Expect nilError() { return {true, 0, -1}; }

struct Row {
  uint32_t prim;
  oop rcv;
  std::vector<oop> args;
  Expect expect;
  std::string what;
};

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

  static oop oldBytes(uint32_t classIndex, const std::vector<uint8_t>& data) {
    ObjectHeader* h = allocInOldSpace(classIndex, 0, data.size(), 0, 0, 1);
    if (!data.empty()) memcpy(bodyOf(h), data.data(), data.size());
    return oopOf(h);
  }
  static oop oldSlots(uint32_t classIndex, uint64_t named, const std::vector<oop>& slots) {
    uint64_t format = classFormatOf(classAt(classIndex));
    ObjectHeader* h = allocInOldSpace(classIndex, named, slots.size() * 8, headerFlagsForFormat(format), 0, 1);
    for (size_t i = 0; i < slots.size(); i++) bodyOf(h)[i] = slots[i];
    return oopOf(h);
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

const int64_t big = smallIntegerMax, little = smallIntegerMin;

TEST_F(SubscriptPrims, SlotAccessOverEveryPointerFormat) {
  uint32_t namedIdx = newTestClass(formatPointers | formatIndexable | 2);
  oop nil = nilOop();
  oop arr = oldSlots(classIndexArray, 0, {si(10), si(20), si(30)});
  oop named = oopOf(allocVSObj(classAt(namedIdx), 2));  // 2 named + 2 indexed, in new space
  bodyOf(headerOf(named))[0] = si(1);
  bodyOf(headerOf(named))[3] = si(4);
  oop weak = oldSlots(testClasses.weak, 0, {si(7)});
  oop fixed = oldSlots(testClasses.threeSlots, 3, {si(1), si(2), si(3)});
  oop empty = oldSlots(classIndexArray, 0, {});
  oop frozen = oldSlots(classIndexArray, 0, {si(5)});
  setFlag(headerOf(frozen), isImmutableBit);
  oop perm = oldSlots(classIndexArray, 0, {si(6)});
  makePerm(perm);
  oop askClass = oldSlots(namedIdx, 0, {si(1), si(2), si(3)});  // indexability 255: the class says 2
  setIndexability(headerOf(askClass), indexabilityAskClass);
  oop large = oopOf(allocLargePointerObj(classIndexArray, 0, 300 * 8, hasPtrsBit, nil));
  bodyOf(headerOf(large))[299] = si(299);
  // A hybrid context: class index 8 whose class format names 2 slots.
  oop ctxClass = newUnenteredTestClass(formatPointers | 2);
  classTable[0][8] = ctxClass;
  oop ctx = oldSlots(8, 2, {si(81), si(82)});

  std::vector<Row> rows = {
      {60, si(3), {si(1)}, code(5), "immediate receiver"},
      {60, arr, {ch(1)}, code(3), "Character index"},
      {60, arr, {nil}, code(3), "nil index"},
      {60, arr, {si(0)}, code(6), "index 0"},
      {60, arr, {si(3)}, ans(si(30)), "index = size"},
      {60, arr, {si(4)}, code(6), "size + 1"},
      {60, arr, {si(big)}, code(6), "2^60 - 1"},
      {60, arr, {si(little)}, code(6), "-2^60"},
      {60, named, {si(1)}, ans(nil), "first indexed slot after 2 named"},
      {60, named, {si(2)}, ans(si(4)), "last indexed slot"},
      {60, named, {si(3)}, code(6), "past the indexed slots"},
      {60, askClass, {si(1)}, ans(si(3)), "named count from the class"},
      {60, weak, {si(1)}, ans(si(7)), "weak"},
      {60, large, {si(300)}, ans(si(299)), "extended body"},
      {60, large, {si(301)}, code(6), "past the extended body"},
      {61, frozen, {si(1), si(9)}, code(23), "immutable"},
      {61, frozen, {si(2), si(9)}, code(6), "bounds before immutability"},
      {61, frozen, {ch(0), si(9)}, code(3), "index kind first"},
      {61, perm, {si(1), si(8)}, ans(si(8)), "perm store"},
      {60, perm, {si(1)}, ans(si(8)), "reads it"},
      {61, named, {si(2), ch(65)}, ans(ch(65)), "store"},
      {60, named, {si(2)}, ans(ch(65)), "reads it"},
      {62, arr, {}, ans(si(3)), "Array size"},
      {62, named, {}, ans(si(2)), "indexed count only"},
      {62, empty, {}, ans(si(0)), "empty Array"},
      {62, fixed, {}, code(5), "non-indexable class"},
      {62, si(1), {}, code(5), "immediate"},
      {62, large, {}, ans(si(300)), "large body"},
      {73, named, {si(1)}, ans(si(1)), "named slot"},
      {73, named, {si(3)}, code(6), "past the named slots"},
      {73, fixed, {si(3)}, ans(si(3)), "fixed class last slot"},
      {73, arr, {si(1)}, code(6), "Array has no named slots"},
      {73, ch(3), {si(1)}, code(5), "immediate"},
      {73, fixed, {nil}, code(3), "nil index"},
      {74, fixed, {si(2), si(22)}, ans(si(22)), "store"},
      {73, fixed, {si(2)}, ans(si(22)), "reads it"},
      {74, frozen, {si(1), si(1)}, code(6), "bounds before immutability"},
      {160, nil, {arr, si(2)}, ans(si(20)), "on the argument"},
      {160, nil, {si(4), si(1)}, code(5), "immediate argument"},
      {160, nil, {askClass, si(1)}, ans(si(3)), "named count from the class format"},
      {161, nil, {arr, si(2), si(21)}, ans(si(21)), "store on the argument"},
      {160, nil, {arr, si(2)}, ans(si(21)), "reads it"},
      {161, nil, {frozen, si(1), si(1)}, code(23), "immutable argument"},
      {162, nil, {named}, ans(si(2)), "size of the argument"},
      {162, nil, {si(1)}, code(5), "immediate argument"},
      {173, nil, {fixed, si(1)}, ans(si(1)), "named slot of the argument"},
      {173, nil, {fixed, si(4)}, code(6), "past the class's named count"},
      {173, nil, {ctx, si(2)}, ans(si(82)), "hybrid context"},
      {173, nil, {ctx, si(3)}, code(6), "past the context's named count"},
      {174, nil, {ctx, si(1), si(91)}, ans(si(91)), "store into a context"},
      {173, nil, {ctx, si(1)}, ans(si(91)), "reads it"},
      {174, nil, {frozen, si(1), si(1)}, code(6), "Array class has no named slots"},
      {174, nil, {si(1), si(1), si(1)}, code(5), "immediate argument"},
  };
  replay(rows);
  EXPECT_HEAP_VALID();
}

TEST_F(SubscriptPrims, BytesCharactersAndTwoByteUnits) {
  std::vector<Row> rows;
  // Byte objects with 0-7 odd bytes: the data size bounds every access.
  for (uint32_t n = 8; n <= 16; n++) {
    std::vector<uint8_t> data(n);
    for (uint32_t i = 0; i < n; i++) data[i] = uint8_t(200 + i);
    oop b = oldBytes(classIndexByteArray, data);
    std::string w = std::to_string(n) + " bytes";
    rows.push_back({60, b, {si(n)}, ans(si(200 + n - 1)), w + " last"});
    rows.push_back({60, b, {si(n + 1)}, code(6), w + " past the data"});
    rows.push_back({62, b, {}, ans(si(n)), w + " size"});
    rows.push_back({61, b, {si(n + 1), si(1)}, code(6), w + " store past the data"});
  }
  oop b = oldBytes(classIndexByteString, {'a', 'b', 200, 'c'});
  oop frozen = oldBytes(classIndexByteArray, {1, 2});
  setFlag(headerOf(frozen), isImmutableBit);
  oop wide = oldBytes(classIndexTwoByteString, {0x41, 0, 0x34, 0x12, 0xFF, 0xFF});
  oop big2009 = oopOf(allocSmallObj(classIndexByteArray, 0, 2009, 0, 0));  // size word, 7 odd bytes
  oop inLarge = oopOf(allocInLargeSpace(classIndexByteArray, 5000, 0, 0));
  oop inFixed = oopOf(allocVSObjInFixedSpace(classAt(classIndexByteArray), 100));
  oop nil = nilOop();
  rows.insert(rows.end(), {
      {61, b, {si(1), si(256)}, code(3), "256 is no byte"},
      {61, b, {si(1), si(-1)}, code(3), "-1 is no byte"},
      {61, b, {si(1), ch(65)}, code(3), "a Character is no byte"},
      {61, frozen, {si(1), si(255)}, code(23), "immutable"},
      {61, b, {si(9), si(256)}, code(6), "bad index and bad value: bounds first"},
      {61, b, {si(4), si(255)}, ans(si(255)), "store"},
      {60, b, {si(4)}, ans(si(255)), "reads it"},
      {62, big2009, {}, ans(si(2009)), "extended size word"},
      {61, big2009, {si(2009), si(7)}, ans(si(7)), "last byte of an extended body"},
      {60, big2009, {si(2010)}, code(6), "past it"},
      {61, inLarge, {si(5000), si(9)}, ans(si(9)), "large-space body"},
      {60, inLarge, {si(5000)}, ans(si(9)), "reads it"},
      {61, inFixed, {si(100), si(3)}, ans(si(3)), "fixed-space body"},
      {420, inFixed, {si(100)}, ans(si(3)), "reads it"},
      {63, b, {si(3)}, ans(ch(200)), "byte as Character"},
      {63, b, {si(5)}, code(6), "past the data"},
      {63, b, {nil}, code(3), "nil index"},
      {342, b, {si(1)}, ans(ch('a')), "ASCII"},
      {342, b, {si(3)}, code(0), "byte of 128 or more"},
      {64, b, {si(2), ch(256)}, code(3), "code 256"},
      {64, b, {si(9), ch(256)}, code(6), "index tested before the value"},
      {64, b, {si(2), ch(255)}, ans(ch(255)), "code 255"},
      {64, frozen, {si(1), ch(1)}, code(23), "immutable"},
      {343, b, {si(2), ch(128)}, code(3), "code 128"},
      {343, b, {si(0), ch(128)}, code(6), "bounds first"},
      {343, frozen, {si(1), ch(200)}, code(3), "value before immutability"},
      {343, b, {si(2), ch(127)}, ans(ch(127)), "code 127"},
      {63, b, {si(2)}, ans(ch(127)), "reads it"},
      {420, b, {si(0)}, code(6), "index 0"},
      {421, b, {si(5), si(300)}, code(6), "bounds first"},
      {421, b, {si(1), si(300)}, code(3), "300"},
      {421, frozen, {si(1), si(3)}, code(23), "immutable"},
      {421, b, {si(1), si(0)}, ans(si(0)), "0"},
      {420, b, {si(1)}, ans(si(0)), "reads it"},
      {412, wide, {si(2)}, ans(ch(0x1234)), "two-byte unit"},
      {412, wide, {si(4)}, code(6), "past the units"},
      {423, wide, {si(3)}, ans(si(65535)), "largest unit"},
      {423, wide, {ch(1)}, code(3), "Character index"},
      {413, wide, {si(1), ch(65536)}, code(3), "code 65536"},
      {413, wide, {si(4), ch(65536)}, code(6), "bounds first"},
      {413, wide, {si(1), ch(0xFFFF)}, ans(ch(0xFFFF)), "code 65535"},
      {423, wide, {si(1)}, ans(si(0xFFFF)), "reads it"},
      {424, wide, {nil, si(-1)}, code(3), "index kind first"},
      {424, wide, {si(4), si(-1)}, code(6), "then bounds"},
      {424, wide, {si(3), si(-1)}, code(3), "then the value"},
      {424, wide, {si(3), si(7)}, ans(si(7)), "store"},
      {412, wide, {si(3)}, ans(ch(7)), "reads it"},
      {62, wide, {}, ans(si(6)), "basic size counts bytes"},
      {410, ch(0x263A), {}, ans(si(0x263A)), "Character value"},
      {411, nil, {si(0x10FFFF)}, ans(ch(0x10FFFF)), "Character of a code"},
      {411, nil, {si(uint64_t(1) << 40)}, ans(ch(uint64_t(1) << 40)), "no upper bound"},
      {411, nil, {si(-1)}, code(3), "negative"},
      {411, nil, {ch(1)}, code(3), "not a SmallInteger"},
      {534, b, {}, ans(falseOop()), "always false"},
  });
  replay(rows);
  EXPECT_HEAP_VALID();
}

TEST_F(SubscriptPrims, MachineNumbersAtByteOffsets) {
  // 16 bytes: offsets at the last w-1 positions of each width.
  std::vector<uint8_t> data(16);
  for (int i = 0; i < 16; i++) data[i] = uint8_t(0xF0 + i);
  oop b = oldBytes(classIndexByteArray, data);
  oop odd = oldBytes(classIndexByteArray, std::vector<uint8_t>(13, 0));  // 3 odd bytes
  oop frozen = oldBytes(classIndexByteArray, std::vector<uint8_t>(8, 0));
  setFlag(headerOf(frozen), isImmutableBit);
  oop nil = nilOop();
  auto le = [&](int from, int w) {
    uint64_t v = 0;
    for (int k = w - 1; k >= 0; k--) v = (v << 8) | data[size_t(from - 1 + k)];
    return v;
  };
  std::vector<Row> rows;
  struct Width { uint32_t unsignedRead, signedRead; int w; };
  for (Width wd : {Width{540, 542, 2}, Width{544, 546, 4}, Width{552, 554, 8}}) {
    int w = wd.w;
    int last = 16 - w + 1;
    uint64_t u = le(last, w);
    int64_t s = int64_t(u << (64 - 8 * w)) >> (64 - 8 * w);
    std::string n = std::to_string(w) + "-byte ";
    rows.push_back({wd.signedRead, b, {si(last)}, ans(fitsSmallInteger(s) ? si(s) : 0), n + "signed at the last offset"});
    if (w < 8) rows.push_back({wd.unsignedRead, b, {si(last)}, ans(si(int64_t(u))), n + "unsigned at the last offset"});
    for (int past = last + 1; past <= 16; past++)
      rows.push_back({wd.unsignedRead, b, {si(past)}, code(6), n + "offset " + std::to_string(past)});
    rows.push_back({wd.unsignedRead, odd, {si(13 - w + 2)}, code(6), n + "into the odd bytes"});
    rows.push_back({wd.signedRead, b, {si(0)}, code(6), n + "offset 0"});
    rows.push_back({wd.signedRead, b, {ch(1)}, code(3), n + "Character offset"});
  }
  rows.insert(rows.end(), {
      {541, b, {si(15), si(65535)}, ans(si(65535)), "u16 at the last offset"},
      {540, b, {si(15)}, ans(si(65535)), "reads it"},
      {541, b, {si(16), si(65536)}, code(3), "value tested with the index, before bounds"},
      {541, b, {si(16), si(1)}, code(6), "then bounds"},
      {541, frozen, {si(1), si(1)}, code(23), "then immutability"},
      {543, b, {si(2), si(-32768)}, ans(si(-32768)), "s16 minimum"},
      {542, b, {si(2)}, ans(si(-32768)), "reads it"},
      {543, b, {si(2), si(32768)}, code(3), "s16 overflow"},
      {545, b, {si(13), si(0xFFFFFFFF)}, ans(si(0xFFFFFFFF)), "u32 maximum"},
      {544, b, {si(13)}, ans(si(0xFFFFFFFF)), "reads it"},
      {546, b, {si(13)}, ans(si(-1)), "as signed"},
      {545, b, {si(1), si(-1)}, code(3), "u32 negative"},
      {547, b, {si(1), si(-2147483648LL)}, ans(si(-2147483648LL)), "s32 minimum"},
      {546, b, {si(1)}, ans(si(-2147483648LL)), "reads it"},
      {547, b, {si(1), si(2147483648LL)}, code(3), "s32 overflow"},
      {555, b, {si(9), si(little)}, ans(si(little)), "s64 SmallInteger minimum"},
      {554, b, {si(9)}, ans(si(little)), "reads it"},
      {553, b, {si(9), si(-1)}, code(3), "u64 negative"},
      {553, b, {si(9), nil}, code(3), "u64 nil"},
      {555, frozen, {si(1), nil}, code(3), "bad value before immutability"},
  });
  replay(rows);

  // Reads that answer large integers: values through the numbers they stand for.
  int64_t out;
  uint64_t uout;
  data.assign(16, 0xFF);
  memcpy(bodyOf(headerOf(b)), data.data(), 16);
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
  oop nil = nilOop();
  oop s = oldBytes(classIndexByteString, {'a', 'b', 'c', 'b', 'a'});
  oop sym = oldBytes(21, {'a', 'b', 'c', 'b', 'a'});
  oop t = oldBytes(classIndexByteString, {'a', 'b', 'd'});
  oop w = oldBytes(classIndexTwoByteString, {'a', 0, 0x34, 0x12, 'a', 0});
  oop w2 = oldBytes(classIndexTwoByteSymbol, {'a', 0, 0x35, 0x12});
  oop bytes = oldBytes(classIndexByteArray, {1, 2});
  oop chars1 = oldSlots(classIndexArray, 0, {ch('a'), ch('b')});
  oop chars2 = oldSlots(classIndexArray, 0, {ch('a'), ch('c'), ch('z')});
  oop notChars = oldSlots(classIndexArray, 0, {si(1)});
  oop mixed = oldSlots(classIndexArray, 0, {ch('a'), si(2)});
  oop arr = oldSlots(classIndexArray, 0, {si(1), si(2), si(1), si(3)});
  oop emptyArr = oldSlots(classIndexArray, 0, {});
  oop frozenArr = oldSlots(classIndexArray, 0, {si(1)});
  setFlag(headerOf(frozenArr), isImmutableBit);
  oop page = oldBytes(classIndexByteArray, std::vector<uint8_t>(512, 0));
  reinterpret_cast<uint16_t*>(bodyOf(headerOf(page)))[255] = 4242;
  oop shortPage = oldBytes(classIndexByteArray, std::vector<uint8_t>(510, 0));
  uint32_t tableClass = newTestClass(formatPointers | formatIndexable | 1);
  oop table = oldSlots(tableClass, 1, {falseOop(), page, nil, shortPage});
  oop lockedTable = oldSlots(tableClass, 1, {trueOop(), page});
  oop frozenPage = oldBytes(classIndexByteArray, std::vector<uint8_t>(512, 0));
  setFlag(headerOf(frozenPage), isImmutableBit);
  oop tableFrozen = oldSlots(tableClass, 1, {falseOop(), frozenPage});
  std::vector<uint8_t> long128(128, 'x'), long129(129, 'x');
  oop sym128 = oldBytes(21, long128);
  oop symbols = oldSlots(classIndexArray, 0, {si(1), s, sym, w2, sym128});
  std::vector<uint8_t> wide128, wide129;
  for (int i = 0; i < 129; i++) wide129.insert(wide129.end(), {'x', 0});
  wide128.assign(wide129.begin(), wide129.end() - 2);
  std::vector<Row> rows = {
      {418, s, {ch('b'), si(1), si(5)}, ans(si(2)), "forward"},
      {419, s, {ch('b'), si(5), si(1)}, ans(si(4)), "backward"},
      {418, s, {ch('b'), si(3), si(3)}, ans(nil), "single position without it"},
      {418, s, {ch('b'), si(4), si(3)}, ans(nil), "end below the beginning"},
      {419, s, {ch('b'), si(3), si(4)}, ans(nil), "beginning below the end"},
      {418, s, {ch('b'), si(0), si(5)}, code(6), "beginning 0"},
      {418, s, {ch('b'), si(1), si(6)}, code(6), "end past the size"},
      {419, s, {ch('b'), si(6), si(1)}, code(6), "backward beginning past the size"},
      {418, s, {ch(200), si(1), si(5)}, code(3), "code 200"},
      {418, s, {si(98), si(1), si(5)}, code(3), "not a Character"},
      {418, s, {ch('b'), nil, si(5)}, code(3), "nil beginning"},
      {344, w, {ch(0x1234), si(1), si(3)}, ans(si(2)), "two-byte forward"},
      {345, w, {ch('a'), si(3), si(1)}, ans(si(3)), "two-byte backward"},
      {344, w, {ch(70000), nil, nil}, ans(nil), "code above 65535 before the indices"},
      {344, w, {ch('a'), si(1), si(4)}, code(6), "past the units"},
      {417, s, {t}, ans(si(-1)), "c < d"},
      {417, t, {s}, ans(si(1)), "d > c"},
      {417, s, {sym}, ans(si(0)), "ByteSymbol accesses like ByteString"},
      {417, t, {oldBytes(classIndexByteString, {'a', 'b'})}, ans(si(1)), "longer"},
      {417, w, {w2}, ans(si(-1)), "two-byte codes unsigned"},
      {417, chars1, {chars2}, ans(si(-1)), "Arrays of Characters"},
      {417, chars2, {chars1}, ans(si(1)), "first difference decides"},
      {417, notChars, {chars1}, code(4), "receiver element not a Character"},
      {417, chars1, {mixed}, code(3), "argument element not a Character at the difference"},
      {417, bytes, {bytes}, code(4), "ByteArray"},
      {417, si(1), {s}, code(4), "immediate receiver"},
      {417, s, {si(1)}, code(3), "immediate argument"},
      {417, s, {w}, code(3), "other access class"},
      {223, s, {sym}, code(3), "other class index"},
      {223, s, {oldBytes(classIndexByteString, {'a', 'b', 'c', 'b', 'a'})}, ans(trueOop()), "equal"},
      {223, s, {t}, ans(falseOop()), "different"},
      {223, s, {nil}, code(3), "immediate"},
      {422, arr, {si(1), si(9), si(4), si(1)}, ans(si(3)), "downward scan finds the last"},
      {60, arr, {si(3)}, ans(si(9)), "it was replaced"},
      {422, arr, {si(1), si(1), si(1), si(4)}, ans(si(1)), "same object: answered, not stored"},
      {422, arr, {si(7), si(8), si(1), si(4)}, ans(si(0)), "none"},
      {422, arr, {si(1), si(8), si(0), si(4)}, code(6), "first 0"},
      {422, arr, {si(1), si(8), nil, si(4)}, code(3), "nil first"},
      {422, emptyArr, {si(1), si(8), si(1), si(0)}, ans(si(0)), "empty with 1 to 0"},
      {422, emptyArr, {si(1), si(8), si(2), si(0)}, code(6), "empty with 2 to 0"},
      {422, frozenArr, {si(1), si(8), si(1), si(1)}, code(23), "immutable"},
      {425, table, {si(256)}, ans(si(4242)), "entry 255 of page 0"},
      {425, table, {si(257)}, ans(si(0)), "absent page"},
      {425, table, {si(513)}, code(4), "page of the wrong size"},
      {425, table, {si(769)}, code(6), "page slot past the body"},
      {425, table, {si(0)}, code(6), "index 0"},
      {425, table, {ch(1)}, code(3), "Character index"},
      {426, table, {si(1), si(65535)}, ans(si(65535)), "store"},
      {425, table, {si(1)}, ans(si(65535)), "reads it"},
      {426, table, {si(1), si(65536)}, code(3), "value too large"},
      {426, table, {si(300), si(1)}, nilError(), "absent page fails with nil"},
      {426, lockedTable, {si(1), si(1)}, nilError(), "first named slot not false"},
      {426, table, {si(513), si(1)}, code(4), "bad page"},
      {426, tableFrozen, {si(1), si(1)}, code(23), "immutable page"},
      {432, symbols, {s}, ans(sym), "ByteString finds the ByteSymbol"},
      {432, symbols, {w}, ans(nil), "wide key: no TwoByteSymbol equal"},
      {432, symbols, {oldBytes(classIndexTwoByteString, {'a', 0, 0x35, 0x12})}, ans(w2), "TwoByteSymbol"},
      {432, symbols, {oldBytes(classIndexTwoByteString, wide128)}, ans(sym128), "128 narrow codes"},
      {432, symbols, {oldBytes(classIndexTwoByteString, wide129)}, code(3), "129 narrow codes"},
      {432, symbols, {bytes}, code(3), "ByteArray key"},
      {432, symbols, {si(1)}, code(3), "immediate key"},
  };
  replay(rows);
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
                    {540, {one}}, {541, {one, one}}, {548, {one}}, {549, {one, one}}, {550, {one}},
                    {551, {one, one}}, {552, {one}}, {555, {one, one}}, {558, {one, one, bytes, one, bytes}},
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
  oop five = oldBytes(classIndexByteString, {1, 2, 3, 4, 5});
  oop emptyStr = oldBytes(classIndexByteString, {});
  oop frozen = oldBytes(classIndexByteString, {9, 9});
  setFlag(headerOf(frozen), isImmutableBit);
  oop other = oldBytes(classIndexByteArray, {1, 2, 3, 4, 5});
  oop goodMap = oldBytes(classIndexByteArray, std::vector<uint8_t>(512, 0));
  oop shortMap = oldBytes(classIndexByteArray, std::vector<uint8_t>(510, 0));
  oop wide = oldBytes(classIndexTwoByteString, {1, 0, 2, 0, 3, 0});
  oop wideFrozen = oldBytes(classIndexTwoByteString, {1, 0, 2, 0});
  setFlag(headerOf(wideFrozen), isImmutableBit);
  oop arr = oldSlots(classIndexArray, 0, {si(1), si(2), si(3)});
  oop arrFrozen = oldSlots(classIndexArray, 0, {si(1)});
  setFlag(headerOf(arrFrozen), isImmutableBit);
  oop nil = nilOop();
  std::vector<Row> rows = {
      {105, five, {si(1), si(0), emptyStr, si(1)}, code(0), "empty copy from an empty source"},
      {105, frozen, {si(3), si(2), five, si(5)}, ans(frozen), "empty copy, source position inside"},
      {105, frozen, {si(3), si(2), five, si(6)}, code(0), "source position past the source"},
      {105, frozen, {si(1), si(1), five, si(1)}, code(0), "immutable"},
      {105, five, {si(1), si(2), other, si(1)}, code(0), "other class"},
      {105, five, {si(0), si(2), five, si(1)}, code(0), "start 0"},
      {105, five, {si(4), si(6), five, si(1)}, code(0), "stop past the receiver"},
      {105, five, {si(1), si(3), five, si(4)}, code(0), "source too short"},
      {105, five, {si(3), si(1), five, si(1)}, code(0), "negative count"},
      {105, five, {si(1), si(1), five, nil}, code(0), "nil source start"},
      {105, five, {si(1), si(1), si(1), si(1)}, code(0), "immediate source"},
      {559, five, {si(1), si(2), other, si(4)}, ans(five), "559 takes any byte source"},
      {559, five, {si(1), si(2), arr, si(1)}, code(0), "but not pointers"},
      {558, five, {si(1), si(2), five, si(1), shortMap}, code(0), "map of 510 bytes"},
      {558, five, {si(1), si(2), five, si(1), arr}, code(0), "map with pointers"},
      {558, frozen, {si(1), si(1), five, si(1), goodMap}, code(0), "immutable"},
      {414, wide, {si(1), si(2), wideFrozen, si(1)}, ans(wide), "two-byte copy"},
      {414, wide, {si(1), si(2), wideFrozen, si(2)}, code(3), "source too short"},
      {414, wide, {si(2), si(1), wideFrozen, si(3)}, ans(wide), "empty copy asks nothing of the source"},
      {414, wide, {si(1), si(0), wideFrozen, si(1)}, code(3), "stop 0"},
      {414, wide, {si(0), si(1), wide, si(1)}, code(3), "start 0"},
      {414, wide, {si(3), si(4), wide, si(1)}, code(3), "stop past the receiver"},
      {414, wide, {si(1), si(1), five, si(1)}, code(3), "other class"},
      {414, wideFrozen, {si(1), si(1), wide, si(1)}, code(23), "immutable"},
      {414, wideFrozen, {si(2), si(1), wide, si(1)}, ans(wideFrozen), "empty copy into immutable"},
      {450, arr, {si(1), si(2), arrFrozen, si(1)}, code(6), "source too short"},
      {450, arr, {si(1), si(0), arrFrozen, si(2)}, code(6), "source position must lie inside"},
      {450, arr, {si(1), si(1), five, si(1)}, code(3), "other class"},
      {450, arr, {nil, si(1), arr, si(1)}, code(3), "nil start"},
      {450, arrFrozen, {si(1), si(1), arr, si(1)}, code(23), "immutable"},
      {450, arrFrozen, {si(2), si(1), arr, si(1)}, ans(arrFrozen), "empty copy into immutable"},
  };
  replay(rows);
  // 558 stops at an entry above 255, the bytes before it written.
  oop map = oldBytes(classIndexByteArray, std::vector<uint8_t>(512, 0));
  uint16_t* m = reinterpret_cast<uint16_t*>(bodyOf(headerOf(map)));
  for (int i = 0; i < 256; i++) m[i] = uint16_t(i + 10);
  m[3] = 256;
  oop dst = oldBytes(classIndexByteString, {0, 0, 0, 0, 0});
  five = oldBytes(classIndexByteString, {1, 2, 3, 4, 5});
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
  EXPECT_EQ(pendingCalls.resumes, 1u);
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
