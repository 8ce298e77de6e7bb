// String collation primitives on synthetic tables: full-size tables of pages (34,816-byte
// page Arrays), Hangul and table decompositions with canonical ordering, first-level
// comparison, and every way the tables or arguments can be refused.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "ext/exPrimTable.h"
#include "mman/heapVerifier.h"
#include "mman/mmOldSpace.h"
#include "mman/mmRt.h"
#include "mman/mmSysOop.h"
#include "mman/testHeap.h"
#include "prim/prCollation.h"
#include "support/primHarness.h"

namespace {

oop si(int64_t v) { return smallIntegerFor(v); }

class CollationPrims : public ::testing::Test {
 protected:
  oop coll = 0;  // the collation object

  void SetUp() override {
    newTestHeap(1 << 18, 100);
    initPrimitiveTable();
    initStringPrims();
    releaseDecompositionBuffer();
    coll = newOldObject(classIndexArray, 10);
    for (uint32_t slot : {0u, 2u, 3u, 5u}) put(slot, table());
    put(4, newOldObject(classIndexArray, 0));
    // Error 3 carries a value when cloned.
    oop error = newOldObject(classIndexArray, 1);
    storeSlot(sysOop(sysPrimErrorTable), 3, error, __FILE__, __LINE__);
  }
  void TearDown() override {
    releaseDecompositionBuffer();
    freeTestHeap();
  }

  void put(uint32_t slot, oop value) { storeSlot(coll, slot, value, __FILE__, __LINE__); }
  static oop table(uint64_t slots = 4352) { return newOldObject(classIndexArray, slots); }
  // The page of table t for code c, made on first use.
  static oop page(oop t, uint32_t c, uint64_t bytes) {
    oop p = slotOf(t, c >> 8);
    if (p != nilOop()) return p;
    p = newOldObject(classIndexByteArray, bytes);
    storeSlot(t, c >> 8, p, __FILE__, __LINE__);
    return p;
  }
  void setUnit(uint32_t slot, uint32_t c, uint16_t v) {
    reinterpret_cast<uint16_t*>(bodyOf(headerOf(page(slotOf(coll, slot), c, 512))))[c & 255] = v;
  }
  void setProperty(uint32_t c, uint16_t v) { setUnit(2, c, v); }
  void setClass(uint32_t c, uint16_t v) { setUnit(3, c, v); }
  void setWeight(uint32_t c, uint16_t w) {
    reinterpret_cast<uint16_t*>(bodyOf(headerOf(page(slotOf(coll, 5), c, 1024))))[2 * (c & 255)] = w;
  }
  // Decomposition of c (kind 1 at the given level) into codes.
  void setMapping(uint32_t c, const std::u16string& codes, uint16_t level = 0) {
    oop d = slotOf(coll, 0), p = slotOf(d, c >> 8);
    if (p == nilOop()) {
      p = newOldObject(classIndexArray, 256);
      storeSlot(d, c >> 8, p, __FILE__, __LINE__);
    }
    storeSlot(p, c & 255, wide(codes), __FILE__, __LINE__);
    setProperty(c, uint16_t(0x4000 | (level << 8)));
  }
  static oop bytes(const std::string& s, uint32_t cls = classIndexByteString) {
    oop o = newOldObject(cls, s.size());
    if (!s.empty()) memcpy(bodyOf(headerOf(o)), s.data(), s.size());
    return o;
  }
  static oop wide(const std::u16string& s) {
    oop o = newOldObject(classIndexTwoByteString, s.size() * 2);
    if (!s.empty()) memcpy(bodyOf(headerOf(o)), s.data(), s.size() * 2);
    return o;
  }
  static std::u16string units(oop o) {
    uint64_t n = byteSizeOf(headerOf(o)) / 2;
    return n == 0 ? std::u16string() : std::u16string(reinterpret_cast<const char16_t*>(bodyOf(headerOf(o))), n);
  }
  static void expectFailure(const PrimOutcome& o, uint32_t code, int64_t carried = 0) {
    ASSERT_TRUE(o.failed);
    if (carried == 0) {
      EXPECT_EQ(o.errorOop, primErrorAt(code));
    } else {
      ASSERT_TRUE(isHeapObject(o.errorOop) && o.errorOop != primErrorAt(code));
      EXPECT_EQ(slotOf(o.errorOop, 0), si(carried));
    }
  }
};

TEST_F(CollationPrims, AlreadyDecomposed) {
  setProperty('a', 0);
  setProperty(0x301, 230);     // a combining mark
  setProperty(0xE9, 0x4000);   // decomposes through the table
  setProperty(0x5C, 0x3000);   // level bits alone do not count
  struct Case { oop string; oop answer; };
  Case cases[] = {{bytes(""), trueOop()},        {bytes("abc"), trueOop()},
                  {bytes("\x5C", 21), trueOop()}, {bytes("a\xE9"), falseOop()},
                  {wide(u"a\u0301"), falseOop()}, {wide(u"\uFFFF\u4E00"), trueOop()}};
  for (const Case& c : cases) EXPECT_EQ(callPrimitive(1710, coll, {c.string}).result, c.answer);
  expectFailure(callPrimitive(1710, coll, {bytes("a", classIndexByteArray)}), 3);
  expectFailure(callPrimitive(1710, coll, {si(1)}), 3);
  put(2, table(4351));
  expectFailure(callPrimitive(1710, coll, {bytes("a")}), 3);
  put(2, nilOop());
  expectFailure(callPrimitive(1710, coll, {bytes("a")}), 3);
  expectFailure(callPrimitive(1710, si(1), {bytes("a")}), 5);
}

TEST_F(CollationPrims, Decomposition) {
  setProperty(44032, 0x8000);
  setProperty(44033, 0x8000);
  setProperty(0x301, 230);
  setProperty(0x316, 220);
  setProperty(0x317, 220);
  setMapping(0xE9, u"e\u0301");
  setMapping(0x1E15, u"\u0113\u0300");    // decomposed again: 0x113 -> e + macron
  setMapping(0x113, u"e\u0304");
  setMapping(0xFB01, u"fi", 2);           // only from level 2 on
  setProperty(0x300, 230);
  setProperty(0x304, 230);
  struct Case { std::u16string in; oop level; std::u16string out; };
  Case cases[] = {
      {u"\uAC00", si(0), u"\u1100\u1161"},
      {u"\uAC01", si(0), u"\u1100\u1161\u11A8"},
      {u"a\u0301\u0316", si(0), u"a\u0316\u0301"},        // 220 before the 230 that preceded it
      {u"a\u0316\u0317", si(0), u"a\u0316\u0317"},        // equal classes keep their order
      {u"a\u0317\u0316", si(0), u"a\u0317\u0316"},
      {u"\u00E9\u0316", si(0), u"e\u0316\u0301"},
      {u"\u1E15", si(0), u"e\u0304\u0300"},
      {u"\uFB01", si(1), u"\uFB01"},
      {u"\uFB01", si(2), u"fi"},
      {u"\uFB01", characterFor(2), u"fi"},                // any immediate: oop >> 3
      {u"", si(0), u""},
  };
  for (const Case& c : cases) {
    PrimOutcome o = callPrimitive(1711, coll, {wide(c.in), c.level});
    ASSERT_FALSE(o.failed);
    EXPECT_EQ(classTagOf(headerOf(o.result)), classIndexTwoByteString);
    EXPECT_EQ(units(o.result), c.out);
  }
  // Byte strings are read a code per byte.
  EXPECT_EQ(units(callPrimitive(1711, coll, {bytes("\xE9"), si(0)}).result), u"e\u0301");
}

TEST_F(CollationPrims, DecompositionRefusals) {
  setProperty(0xC0, 0x4000);                        // no mapping in the table
  setMapping(0xC1, u"x", 0);
  storeSlot(slotOf(slotOf(coll, 0), 0), 0xC1, bytes("x", classIndexByteArray), __FILE__, __LINE__);
  std::u16string deep(33, u'a');
  setMapping(0xC2, deep);                            // more than 32 codes stacked
  setProperty(0x301, 230);
  oop tooManyMarks = wide(u"a" + std::u16string(30, u'\u0301'));
  struct Case { oop rcv, string, level; uint32_t code; };
  Case cases[] = {
      {coll, bytes("\xC0"), si(0), 12},  {coll, bytes("\xC1"), si(0), 12},
      {coll, bytes("\xC2"), si(0), 0},   {coll, tooManyMarks, si(0), 0},
      {coll, bytes("a"), nilOop(), 3},   {coll, bytes("a", classIndexByteArray), si(0), 3},
      {si(1), bytes("a"), si(0), 5},
  };
  for (const Case& c : cases) expectFailure(callPrimitive(1711, c.rcv, {c.string, c.level}), c.code);
  put(0, table(4000));
  expectFailure(callPrimitive(1711, coll, {bytes("a"), si(0)}), 3);
  // A page of the wrong kind is refused, not read.
  put(0, table());
  storeSlot(slotOf(coll, 2), 0, newOldObject(classIndexByteArray, 256), __FILE__, __LINE__);
  expectFailure(callPrimitive(1711, coll, {bytes("a"), si(0)}), 3);
}

// 12 codes already out, then a flush of 25: the buffer, grown once to 21, must grow past
// used + 25 (run under ASan, an overrun shows).
TEST_F(CollationPrims, DecompositionBufferGrowsPastLongFlushes) {
  setProperty(0x301, 230);
  std::u16string in(12, u'a');
  in += std::u16string(24, u'\u0301');
  for (int run = 0; run < 2; run++) {
    PrimOutcome o = callPrimitive(1711, coll, {wide(in), si(0)});
    ASSERT_FALSE(o.failed);
    EXPECT_EQ(units(o.result), in);
  }
}

class CollationComparePrims : public CollationPrims {
 protected:
  oop option = 0;
  void SetUp() override {
    CollationPrims::SetUp();
    option = bytes("nonIgnorable", 21);
    for (char c = 'a'; c <= 'z'; c++) {
      setClass(uint32_t(c), 1);
      setWeight(uint32_t(c), uint16_t(100 + c));
    }
    setClass('-', 1);  // weight 0: ignored at the first level
    setClass('A', 1);
    setWeight('A', 100 + 'a');
    setClass('#', 8);
    setClass('c', 5);  // may begin a contraction: the pair list decides
    oop contraction = newOldObject(classIndexArray, 2);
    storeSlot(contraction, 0, bytes("ch"), __FILE__, __LINE__);
    oop pairs = newOldObject(classIndexArray, 2);
    storeSlot(pairs, 0, characterFor('c'), __FILE__, __LINE__);
    storeSlot(pairs, 1, contraction, __FILE__, __LINE__);
    put(8, pairs);
  }
  PrimOutcome compare(oop a, oop b) { return callPrimitive(1712, coll, {a, b, option}); }
};

TEST_F(CollationComparePrims, FirstLevelWeights) {
  struct Case { oop a, b; int64_t answer; };
  Case cases[] = {
      {bytes("abc"), bytes("abd"), -1},     {bytes("abd"), bytes("abc"), 1},
      {bytes("ab"), bytes("abc"), -1},      {bytes("abc"), bytes("ab"), 1},
      {bytes("a-b"), bytes("ac"), -1},      {bytes("b", 21), bytes("a"), 1},
      {bytes("ca"), bytes("cb"), -1},       {bytes("c"), bytes("b"), 1},
      {wide(u"ab"), bytes("ac"), -1},       {bytes("Ab"), bytes("ac"), -1},
      {bytes("same"), bytes("same"), 0},    {wide(u"xy"), wide(u"xy"), 0},
  };
  for (const Case& c : cases) {
    PrimOutcome o = compare(c.a, c.b);
    ASSERT_FALSE(o.failed) << units(c.a).size();
    EXPECT_EQ(o.result, si(c.answer));
  }
  // Equal at the first level, contractions, codes without entries or with entry 8: the
  // image decides (code 0).
  oop undecided[][2] = {{bytes("a-b"), bytes("ab")}, {bytes("Ab"), bytes("ab")}, {bytes("cha"), bytes("cza")},
                        {bytes("a#"), bytes("ab")},   {bytes("a!"), bytes("ab")}};
  for (auto& u : undecided) expectFailure(compare(u[0], u[1]), 0);
  EXPECT_HEAP_VALID();
}

TEST_F(CollationComparePrims, Refusals) {
  oop s = bytes("abc"), t = bytes("abd");
  // Identical contents answer 0 before the option and the tables are looked at.
  for (uint32_t slot : {2u, 3u, 5u}) put(slot, nilOop());
  EXPECT_EQ(callPrimitive(1712, coll, {s, bytes("abc"), si(7)}).result, si(0));
  EXPECT_EQ(callPrimitive(1712, coll, {s, s, nilOop()}).result, si(0));
  expectFailure(callPrimitive(1712, coll, {si(1), t, option}), 3, 1);
  expectFailure(callPrimitive(1712, coll, {s, bytes("x", classIndexByteArray), option}), 3, 2);
  expectFailure(callPrimitive(1712, coll, {s, t, bytes("nonIgnorable")}), 3, 3);
  expectFailure(callPrimitive(1712, coll, {s, t, bytes("shifted", 21)}), 3, 3);
  expectFailure(callPrimitive(1712, coll, {s, t, option}), 3);  // tables missing
  SetUp();
  put(4, nilOop());
  put(8, nilOop());
  expectFailure(compare(bytes("abc"), bytes("abd")), 3);  // no pair list
  put(4, newOldObject(classIndexArray, 0));
  put(5, table(100));
  expectFailure(compare(bytes("abc"), bytes("abd")), 3);  // weights table too small
  put(5, table());
  setWeight('a', 1);
  storeSlot(slotOf(coll, 5), 'b' >> 8, newOldObject(classIndexByteArray, 512), __FILE__, __LINE__);
  expectFailure(compare(bytes("abc"), bytes("abd")), 3);  // weight page of 512 bytes
}

}  // namespace
