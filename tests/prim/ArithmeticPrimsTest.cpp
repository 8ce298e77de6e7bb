// SmallInteger primitives 1-18 and 55-58 against a 128-bit reference over a table of edge
// values, and the answers that allocate.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "mman/heapVerifier.h"
#include "mman/mmNewSpace.h"
#include "mman/mmSysOop.h"
#include "mman/testHeap.h"
#include "prim/prArithmetic.h"
#include "support/primHarness.h"

namespace {

typedef __int128 Wide;
const int64_t p60 = int64_t(1) << 60;

// What a primitive should do: fail with a code, answer a boolean, or answer an integer
// whose magnitude is given in bytes (little-endian, no zero byte on top) with its sign.
struct Expect {
  enum Kind { failure, boolean, integer };
  explicit Expect(Kind k, uint32_t c = 0) : kind(k), code(c) {}
  Kind kind;
  uint32_t code = 0;
  bool b = false;
  bool negative = false;
  std::vector<uint8_t> magnitude;
  bool large = false;  // a LargeInteger is wanted even where the value would fit
};

Expect failWith(uint32_t code) { return Expect(Expect::failure, code); }
Expect boolean(bool b) {
  Expect e(Expect::boolean);
  e.b = b;
  return e;
}
// |value| << shift as bytes.
Expect integer(Wide value, uint64_t shift = 0) {
  Expect e(Expect::integer);
  e.negative = value < 0;
  unsigned __int128 m = value < 0 ? -(unsigned __int128)value : (unsigned __int128)value;
  std::vector<uint8_t> bits;
  for (; m != 0; m >>= 1) bits.push_back(uint8_t(m & 1));
  if (!bits.empty()) bits.insert(bits.begin(), shift, 0);
  e.magnitude.assign((bits.size() + 7) / 8, 0);
  for (size_t i = 0; i < bits.size(); i++) e.magnitude[i / 8] |= uint8_t(bits[i] << (i % 8));
  return e;
}
size_t bitLength(const std::vector<uint8_t>& m) { return m.empty() ? 0 : 8 * m.size() - (__builtin_clz(m.back()) - 24); }
bool inRange(Wide v) { return v >= -p60 && v < p60; }
Expect ranged(Wide v, uint32_t code = 0) { return inRange(v) ? integer(v) : failWith(code); }
Wide floorDiv(Wide r, Wide a) { return r / a - ((r % a != 0 && (r < 0) != (a < 0)) ? 1 : 0); }
Wide shiftRight(Wide r, int64_t k) { return r >> (k > 100 ? 100 : k); }

// The reference, from the operations' meanings on 128-bit values.
Expect expected(uint32_t prim, Wide r, Wide a) {
  bool divides = prim >= 10 && prim <= 13;
  if (divides && a == 0) return failWith(3);
  switch (prim) {
    case 1: return ranged(r + a);
    case 2: return ranged(r - a);
    case 3: return boolean(r < a);
    case 4: return boolean(r > a);
    case 5: return boolean(r <= a);
    case 6: return boolean(r >= a);
    case 7: return boolean(r == a);
    case 8: return boolean(r != a);
    case 9:
    case 57: return ranged(r * a);
    case 10: return r % a != 0 ? failWith(0) : ranged(r / a);
    case 11: return integer(r - floorDiv(r, a) * a);
    case 12: return ranged(floorDiv(r, a));
    case 13: return ranged(r / a);
    case 14: return integer(r & a);
    case 15: return integer(r | a);
    case 16: return integer(r ^ a);
    case 17:
      if (a < 0) return integer(shiftRight(r, int64_t(-a)));
      if (r == 0) return integer(0);
      // From 60 bits on only -1 would still fit (as -2^60); the primitive leaves it to the
      // fallback code.
      return a < 60 ? ranged(r << int(a), 3) : failWith(3);
    case 55: return integer(r + a);
    case 56: return integer(a - r);
    case 58: {
      if (r == 0) return integer(0);
      if (a < 0) return integer(shiftRight(r, int64_t(-a)));
      Expect e = integer(r, uint64_t(a));
      e.large = bitLength(e.magnitude) > 60;  // |value| >= 2^60, whatever the sign
      return e;
    }
  }
  return failWith(99);
}

// The integer an answer stands for, in the form Expect uses.
Expect readAnswer(oop o, bool* large, bool* immutable) {
  *large = *immutable = false;
  if (isSmallInteger(o)) return integer(smallIntegerValue(o));
  Expect e(Expect::integer);
  ObjectHeader* h = headerOf(o);
  uint32_t tag = classTagOf(h);
  EXPECT_TRUE(tag == classIndexLargePositiveInteger || tag == classIndexLargeNegativeInteger);
  *large = true;
  *immutable = isImmutable(h);
  e.negative = tag == classIndexLargeNegativeInteger;
  const uint8_t* p = reinterpret_cast<const uint8_t*>(bodyOf(h));
  e.magnitude.assign(p, p + byteSizeOf(h));
  return e;
}

std::string show(const Expect& e) {
  std::string s = e.negative ? "-" : "+";
  for (size_t i = e.magnitude.size(); i-- > 0;) s += "0123456789abcdef"[e.magnitude[i] >> 4], s += "0123456789abcdef"[e.magnitude[i] & 15];
  return s;
}

class ArithmeticPrims : public testing::Test {
 protected:
  void SetUp() override {
    newTestHeap();
    initArithmeticPrims();
  }
  void TearDown() override { freeTestHeap(); }

  void check(uint32_t prim, int64_t r, int64_t a) {
    SCOPED_TRACE(testing::Message() << "primitive " << prim << " " << r << " , " << a);
    Expect e = expected(prim, r, a);
    uint64_t before = eden.allocPtr;
    PrimOutcome o = callPrimitive(prim, smallIntegerFor(r), {smallIntegerFor(a)});
    if (e.kind == Expect::failure) {
      ASSERT_TRUE(o.failed);
      EXPECT_EQ(o.errorOop, primErrorAt(e.code));
      EXPECT_EQ(o.numArgs, 1u);
      EXPECT_EQ(eden.allocPtr, before);
      return;
    }
    ASSERT_FALSE(o.failed);
    if (e.kind == Expect::boolean) {
      EXPECT_EQ(o.result, booleanOop(e.b));
      return;
    }
    bool large, immutable;
    Expect got = readAnswer(o.result, &large, &immutable);
    EXPECT_EQ(show(got), show(e));
    if (prim == 58) {
      EXPECT_EQ(large, e.large);
      EXPECT_EQ(immutable, large);
    } else if (prim == 55 || prim == 56) {
      EXPECT_EQ(large, !inRange((prim == 55 ? Wide(r) + a : Wide(a) - r)));
      if (large) {
        EXPECT_EQ(byteSizeOf(headerOf(o.result)), 8u);
      }
    }
  }
};

// Every operand pair of the edge set through every primitive but the pair maker.
TEST_F(ArithmeticPrims, AgreeWithReference) {
  const int64_t values[] = {0, 1, -1, 2, -2, 3, 7, -7, 6, -6, 1000, -1000,
                            (1 << 30) - 1, 1 << 30, -(1 << 30), 1 << 29, int64_t(1) << 59, -(int64_t(1) << 59),
                            p60 - 1, -p60, -p60 + 1, p60 / 3, 0x123456789ABLL};
  const int64_t shifts[] = {-1000, -61, -60, -59, -3, -1, 0, 1, 3, 29, 30, 31, 58, 59, 60, 61, 64, 100, 1000};
  const uint32_t prims[] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 55, 56, 57};
  uint64_t mark = eden.allocPtr;
  for (uint32_t prim : prims)
    for (int64_t r : values)
      for (int64_t a : values) {
        check(prim, r, a);
        if (HasFatalFailure()) return;
      }
  for (uint32_t prim : {17u, 58u})
    for (int64_t r : values)
      for (int64_t k : shifts) {
        check(prim, r, k);
        if (HasFatalFailure()) return;
      }
  EXPECT_HEAP_VALID();
  eden.allocPtr = mark;
}

// Arguments that are not SmallIntegers fail with code 3 before anything is done.
TEST_F(ArithmeticPrims, NonSmallIntegerArgumentFails) {
  oop large = newNewObject(classIndexLargePositiveInteger, 8);
  for (uint32_t prim : {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 55, 56, 57, 58})
    for (oop argument : {nilOop(), characterFor('a'), large}) {
      SCOPED_TRACE(testing::Message() << "primitive " << prim);
      uint64_t before = eden.allocPtr;
      PrimOutcome o = callPrimitive(prim, smallIntegerFor(5), {argument});
      ASSERT_TRUE(o.failed);
      EXPECT_EQ(o.errorOop, primErrorAt(3));
      EXPECT_EQ(eden.allocPtr, before);
    }
}

// A left shift too long for any space fails with the no-space entry carrying the byte count.
TEST_F(ArithmeticPrims, HugeLargeShiftFailsWithSize) {
  uint64_t before = eden.allocPtr;
  PrimOutcome o = callPrimitive(58, smallIntegerFor(1), {smallIntegerFor(p60 - 1)});
  ASSERT_TRUE(o.failed);
  oop error = o.errorOop;
  EXPECT_EQ(eden.allocPtr, before);
  // The test heap's error entries are SmallIntegers, which are answered as they are.
  EXPECT_EQ(error, primErrorAt(1));
}

// The pair takes any argument, keeps both in order and is an instance of the pair class.
TEST_F(ArithmeticPrims, MakePair) {
  oop old = newOldObject(testClasses.object, 0);
  for (oop argument : {smallIntegerFor(4), nilOop(), old}) {
    PrimOutcome o = callPrimitive(18, smallIntegerFor(3), {argument});
    ASSERT_FALSE(o.failed);
    ObjectHeader* h = headerOf(o.result);
    EXPECT_EQ(classTagOf(h), hashOf(headerOf(sysOop(sysPointClass))));
    ASSERT_EQ(byteSizeOf(h), 16u);
    EXPECT_EQ(bodyOf(h)[0], smallIntegerFor(3));
    EXPECT_EQ(bodyOf(h)[1], argument);
  }
  EXPECT_HEAP_VALID();
}

}  // namespace
