// LargeInteger primitives 21-39: a seeded differential run against a plain reference
// (schoolbook arithmetic, bit-by-bit division, Euclid) and the failure table.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "mman/heapVerifier.h"
#include "mman/mmNewSpace.h"
#include "mman/mmSysOop.h"
#include "mman/testHeap.h"
#include "prim/prLargeInt.h"
#include "support/primHarness.h"

namespace {

// ---- The reference: sign and magnitude in 32-bit digits, no leading zero digit ----------

struct Ref {
  bool negative = false;
  std::vector<uint32_t> mag;
};
typedef std::vector<uint32_t> Mag;

void trim(Mag& m) {
  while (!m.empty() && m.back() == 0) m.pop_back();
}
Ref make(bool negative, Mag m) {
  trim(m);
  return {negative && !m.empty(), m};
}
Ref fromInt(int64_t v) {
  uint64_t m = v < 0 ? 0 - uint64_t(v) : uint64_t(v);
  return make(v < 0, {uint32_t(m), uint32_t(m >> 32)});
}
int cmpMag(const Mag& a, const Mag& b) {
  if (a.size() != b.size()) return a.size() < b.size() ? -1 : 1;
  for (size_t i = a.size(); i-- > 0;)
    if (a[i] != b[i]) return a[i] < b[i] ? -1 : 1;
  return 0;
}
int cmp(const Ref& a, const Ref& b) {
  if (a.negative != b.negative) return a.negative ? -1 : 1;
  return a.negative ? -cmpMag(a.mag, b.mag) : cmpMag(a.mag, b.mag);
}
Mag addMag(const Mag& a, const Mag& b) {
  Mag r(std::max(a.size(), b.size()) + 1);
  uint64_t c = 0;
  for (size_t i = 0; i < r.size(); i++) {
    c += uint64_t(i < a.size() ? a[i] : 0) + (i < b.size() ? b[i] : 0);
    r[i] = uint32_t(c);
    c >>= 32;
  }
  trim(r);
  return r;
}
Mag subMag(const Mag& a, const Mag& b) {  // a >= b
  Mag r(a.size());
  int64_t c = 0;
  for (size_t i = 0; i < a.size(); i++) {
    c += int64_t(a[i]) - (i < b.size() ? b[i] : 0);
    r[i] = uint32_t(c);
    c = c < 0 ? -1 : 0;
  }
  trim(r);
  return r;
}
Ref add(const Ref& a, const Ref& b) {
  if (a.negative == b.negative) return make(a.negative, addMag(a.mag, b.mag));
  int c = cmpMag(a.mag, b.mag);
  return c >= 0 ? make(a.negative, subMag(a.mag, b.mag)) : make(b.negative, subMag(b.mag, a.mag));
}
Ref neg(Ref a) {
  a.negative = !a.negative && !a.mag.empty();
  return a;
}
Ref mul(const Ref& a, const Ref& b) {
  Mag r(a.mag.size() + b.mag.size() + 1);
  for (size_t i = 0; i < a.mag.size(); i++)
    for (size_t j = 0; j < b.mag.size(); j++) {
      uint64_t c = uint64_t(a.mag[i]) * b.mag[j];
      for (size_t k = i + j; c != 0; k++) {
        c += r[k];
        r[k] = uint32_t(c);
        c >>= 32;
      }
    }
  return make(a.negative != b.negative, r);
}
size_t bits(const Mag& m) { return m.empty() ? 0 : 32 * m.size() - __builtin_clz(m.back()); }
bool bitAt(const Mag& m, size_t i) { return i / 32 < m.size() && (m[i / 32] >> (i % 32) & 1); }
Mag shl(const Mag& m, size_t s) {
  Mag r(m.size() + s / 32 + 1);
  for (size_t i = 0; i < m.size(); i++) {
    uint64_t w = uint64_t(m[i]) << (s % 32);
    r[i + s / 32] |= uint32_t(w);
    r[i + s / 32 + 1] |= uint32_t(w >> 32);
  }
  trim(r);
  return r;
}
Mag shr(const Mag& m, size_t s) {
  Mag r(m.size());
  for (size_t i = s / 32; i < m.size(); i++) {
    uint64_t w = (uint64_t(m[i]) << 32) >> (s % 32);
    r[i - s / 32] |= uint32_t(w >> 32);
    if (i > s / 32) r[i - s / 32 - 1] |= uint32_t(w);
  }
  trim(r);
  return r;
}
// Truncated division of magnitudes one bit at a time.
void divMag(const Mag& u, const Mag& v, Mag& q, Mag& r) {
  q.assign(u.size() + 1, 0);
  r.assign(v.size() + 1, 0);
  Mag vw = v;
  vw.push_back(0);
  for (size_t i = bits(u); i-- > 0;) {
    for (size_t k = r.size(); k-- > 1;) r[k] = r[k] << 1 | r[k - 1] >> 31;
    r[0] = r[0] << 1 | uint32_t(bitAt(u, i));
    size_t k = r.size();
    while (k-- > 0 && r[k] == vw[k]) {
    }
    if (k == size_t(-1) || r[k] > vw[k]) {
      int64_t c = 0;
      for (size_t j = 0; j < r.size(); j++, c = c < 0 ? -1 : 0) r[j] = uint32_t(c += int64_t(r[j]) - vw[j]);
      q[i / 32] |= 1u << (i % 32);
    }
  }
  trim(q);
  trim(r);
}
// Binary gcd: halve the even one, subtract the smaller odd one.
Mag gcdMag(Mag a, Mag b) {
  size_t twos = 0;
  while (!a.empty() && !b.empty() && !(a[0] & 1) && !(b[0] & 1)) a = shr(a, 1), b = shr(b, 1), twos++;
  while (!b.empty()) {
    while (!a.empty() && !(a[0] & 1)) a = shr(a, 1);
    while (!(b[0] & 1)) b = shr(b, 1);
    if (cmpMag(a, b) > 0) std::swap(a, b);
    b = subMag(b, a);
  }
  return shl(a, twos);
}
// Bitwise operations on two's complement of a width that holds both.
Mag twos(const Ref& a, size_t n) {
  Mag t(n);
  for (size_t i = 0; i < n; i++) t[i] = i < a.mag.size() ? a.mag[i] : 0;
  if (a.negative) {
    uint64_t c = 1;
    for (auto& d : t) {
      c += uint32_t(~d);
      d = uint32_t(c);
      c >>= 32;
    }
  }
  return t;
}
Ref bitop(const Ref& a, const Ref& b, int op) {
  size_t n = std::max(a.mag.size(), b.mag.size()) + 1;
  Mag x = twos(a, n), y = twos(b, n), r(n);
  for (size_t i = 0; i < n; i++) r[i] = op == 0 ? x[i] & y[i] : op == 1 ? x[i] | y[i] : x[i] ^ y[i];
  bool negative = r.back() >> 31;
  return negative ? neg(make(false, twos(make(true, r), n))) : make(false, r);
}

// ---- Objects ------------------------------------------------------------------------------

bool fitsSmall(const Ref& a) {
  if (a.mag.size() > 2) return false;
  uint64_t m = a.mag.empty() ? 0 : a.mag[0] | (a.mag.size() > 1 ? uint64_t(a.mag[1]) << 32 : 0);
  return a.negative ? m <= (uint64_t(1) << 60) : m < (uint64_t(1) << 60);
}
int64_t smallValue(const Ref& a) {
  uint64_t m = a.mag.empty() ? 0 : a.mag[0] | (a.mag.size() > 1 ? uint64_t(a.mag[1]) << 32 : 0);
  return a.negative ? int64_t(0 - m) : int64_t(m);
}
size_t byteLength(const Mag& m) { return (bits(m) + 7) / 8; }

// An immutable LargeInteger object of the value in new space (forced: also values that fit a
// SmallInteger, for the unnormalised receivers), extra zero bytes on top when asked.
oop largeObject(const Ref& a, size_t extraZeros = 0) {
  size_t n = byteLength(a.mag) + extraZeros;
  ObjectHeader* h = allocInNewSpace(a.negative ? classIndexLargeNegativeInteger : classIndexLargePositiveInteger, 0,
                                    n, isImmutableBit, 0);
  if (!a.mag.empty()) memcpy(bodyOf(h), a.mag.data(), byteLength(a.mag));
  return oopOf(h);
}
oop objectFor(const Ref& a) { return fitsSmall(a) ? smallIntegerFor(smallValue(a)) : largeObject(a); }

// Reads an answer back, checking everything a normalised LargeInteger answer promises.
Ref readAnswer(oop o) {
  if (isSmallInteger(o)) return fromInt(smallIntegerValue(o));
  ObjectHeader* h = headerOf(o);
  uint32_t tag = classTagOf(h);
  EXPECT_TRUE(tag == classIndexLargePositiveInteger || tag == classIndexLargeNegativeInteger);
  EXPECT_TRUE(isImmutable(h));
  EXPECT_FALSE(hasPtrs(h));
  uint64_t n = byteSizeOf(h);
  const uint8_t* p = reinterpret_cast<const uint8_t*>(bodyOf(h));
  EXPECT_EQ(bodyBytesOf(h) - n, indexabilityOf(h));
  EXPECT_LT(bodyBytesOf(h) - n, 8u);
  for (uint64_t i = n; i < bodyBytesOf(h); i++) EXPECT_EQ(p[i], 0) << "padding byte " << i;
  EXPECT_TRUE(n > 0 && p[n - 1] != 0) << "leading zero byte";
  Mag m((n + 3) / 4);
  memcpy(m.data(), p, n);
  Ref r = make(tag == classIndexLargeNegativeInteger, m);
  EXPECT_FALSE(fitsSmall(r)) << "answer fits a SmallInteger";
  return r;
}

std::string show(const Ref& a) {
  std::string s = a.negative ? "-0x" : "0x";
  char buf[16];
  if (a.mag.empty()) return "0";
  for (size_t i = a.mag.size(); i-- > 0;) {
    snprintf(buf, sizeof buf, i + 1 == a.mag.size() ? "%x" : "%08x", a.mag[i]);
    s += buf;
  }
  return s;
}

// What a primitive answers for (r, a): a value, a Boolean, or a failure code.
struct Expect {
  enum Kind { value, boolean, failure } kind;
  Ref v;
  bool b = false;
  uint32_t code = 0;
};
Expect val(Ref v) { return {Expect::value, v}; }
Expect boolean(bool b) { return {Expect::boolean, {}, b}; }
Expect failure(uint32_t code) { return {Expect::failure, {}, false, code}; }

Expect expected(uint32_t prim, const Ref& r, const Ref& a) {
  bool zero = a.mag.empty();
  Mag q, rem;
  if (prim >= 30 && prim <= 33 && !zero) divMag(r.mag, a.mag, q, rem);
  bool signsDiffer = r.negative != a.negative;
  switch (prim) {
    case 21: return val(add(r, a));
    case 22: return val(add(r, neg(a)));
    case 23: return boolean(cmp(r, a) < 0);
    case 24: return boolean(cmp(r, a) > 0);
    case 25: return boolean(cmp(r, a) <= 0);
    case 26: return boolean(cmp(r, a) >= 0);
    case 27: return boolean(cmp(r, a) == 0);
    case 28: return boolean(cmp(r, a) != 0);
    case 29: return val(mul(r, a));
    case 30: return zero || !make(false, rem).mag.empty() ? failure(0) : val(make(signsDiffer, q));
    case 31: return zero || signsDiffer ? failure(0) : val(make(r.negative, rem));
    case 32: return zero || signsDiffer ? failure(0) : val(make(signsDiffer, q));
    case 33: return zero ? failure(0) : val(make(signsDiffer, q));
    case 34: return val(bitop(r, a, 0));
    case 35: return val(bitop(r, a, 1));
    case 36: return val(bitop(r, a, 2));
    case 38: return val(make(false, gcdMag(r.mag, a.mag)));
  }
  return failure(99);
}

void check(uint32_t prim, const Ref& r, const Ref& a, oop receiver, oop argument) {
  Expect e = expected(prim, r, a);
  PrimOutcome o = callPrimitive(prim, receiver, {argument});
  SCOPED_TRACE(testing::Message() << "primitive " << prim << " " << show(r) << " , " << show(a));
  if (e.kind == Expect::failure) {
    ASSERT_TRUE(o.failed);
    EXPECT_EQ(o.errorOop, primErrorAt(e.code));
    EXPECT_EQ(o.numArgs, 1u);
    return;
  }
  ASSERT_FALSE(o.failed);
  if (e.kind == Expect::boolean) {
    EXPECT_EQ(o.result, booleanOop(e.b));
    return;
  }
  Ref got = readAnswer(o.result);
  EXPECT_EQ(show(got), show(e.v));
}

class LargeIntPrims : public testing::Test {
 protected:
  void SetUp() override {
    newTestHeap();
    initLargeIntPrims();
  }
  void TearDown() override { freeTestHeap(); }
};

// Magnitudes whose digits are drawn from 0, 1, 0x7FFFFFFF, 0x80000000, 0xFFFFFFFE,
// 0xFFFFFFFF and random words, so that Algorithm D's estimates are corrected and, a few
// times in the seeded run, its add-back runs.
Mag randomMag(std::mt19937_64& rng, size_t bytes) {
  Mag m((bytes + 3) / 4);
  for (auto& d : m) {
    switch (rng() % 8) {
      case 0: d = 0; break;
      case 1: d = 0xFFFFFFFF; break;
      case 2: d = 0x80000000; break;
      case 3: d = 0x7FFFFFFF; break;
      case 4: d = 0xFFFFFFFE; break;
      case 5: d = 1; break;
      default: d = uint32_t(rng());
    }
  }
  if (bytes % 4) m.back() &= (1u << (8 * (bytes % 4))) - 1;
  if (m.back() == 0) m.back() = 1u << (8 * ((bytes - 1) % 4));
  return m;
}

TEST_F(LargeIntPrims, DifferentialAgainstReference) {
  std::mt19937_64 rng(20261210);
  const int64_t smalls[] = {0, 1, -1, smallIntegerMax, smallIntegerMin, smallIntegerMax - 1, smallIntegerMin + 1,
                            7, -7, 0x7FFFFFFF, int64_t(0xFFFFFFFF)};
  const uint32_t prims[] = {21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31, 32, 33, 34, 35, 36, 38};
  uint64_t mark = eden.allocPtr;
  for (int round = 0; round < 600; round++) {
    size_t rn = round % 50 == 0 ? 2009 + rng() % 40 : 8 + rng() % 293;
    Ref r = make(rng() & 1, randomMag(rng, rn));
    if (fitsSmall(r)) r.mag.push_back(1);
    Ref a;
    switch (rng() % 4) {
      case 0: a = fromInt(smalls[rng() % (sizeof smalls / sizeof smalls[0])]); break;
      case 1: a = fromInt(int64_t(rng()) >> (3 + rng() % 60)); break;
      case 2: a = make(rng() & 1, randomMag(rng, 8 + rng() % (rn + 8))); break;
      default: a = make(r.negative, Mag(r.mag.begin() + rng() % r.mag.size(), r.mag.end()));  // shares r's top
    }
    if (!fitsSmall(a) && byteLength(a.mag) < 8) a.mag.push_back(1);
    for (uint32_t prim : prims) {
      if (prim == 38 && !fitsSmall(a) && a.negative != r.negative) continue;  // class mismatch, below
      eden.allocPtr = mark;
      oop receiver = largeObject(r), argument = objectFor(a);
      check(prim, r, a, receiver, argument);
      if (HasFatalFailure()) return;
    }
    if (round % 100 == 0) {
      EXPECT_HEAP_VALID();
    }
  }
  eden.allocPtr = mark;
}

// Division cases chosen for Algorithm D: the add-back (the estimate one too large after
// the correction test), an estimate of 2^32 - 1 from equal top digits, divisors of two digits.
TEST_F(LargeIntPrims, DivisionCorners) {
  const Ref cases[][2] = {
      {make(false, {0, 0xFFFFFFFE, 0x80000000}), make(false, {0xFFFFFFFF, 0x80000000})},
      {make(false, {0, 0, 0x80000000, 0x7FFFFFFF}), make(false, {1, 0, 0x80000000})},
      {make(false, {3, 0, 0x80000000}), make(false, {1, 0, 0x20000000})},
      {make(false, {0, 0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF}), make(false, {1, 0xFFFFFFFF, 0xFFFFFFFF})},
      {make(false, {0x89ABCDEF, 0x01234567, 0xFFFFFFFF, 0x7FFF8000}), make(false, {0xFFFF, 0x00008000})},
      {make(true, {0, 0, 0, 1}), make(false, {7})},
  };
  for (auto& c : cases)
    for (uint32_t prim : {30, 31, 32, 33}) check(prim, c[0], c[1], largeObject(c[0]), objectFor(c[1]));
}

// The boundaries of normal form and the zero and sign rules the image relies on.
TEST_F(LargeIntPrims, NormalFormEdges) {
  Ref two60 = make(false, {0, 0x10000000});
  Ref two64 = make(false, {0, 0, 1});
  struct Case { uint32_t prim; Ref r; Ref a; };
  const Case cases[] = {
      {22, two60, fromInt(1)},            // 2^60 - 1 is a SmallInteger
      {22, neg(two60), fromInt(0)},       // -2^60 is a SmallInteger
      {21, neg(two60), fromInt(-1)},      // -2^60 - 1 is not
      {21, two64, fromInt(0)},            // stays 9 bytes
      {22, two64, two64},                 // 0
      {29, two64, fromInt(0)},
      {29, two64, fromInt(-1)},
      {34, neg(two64), fromInt(-1)},      // -2^64
      {35, two64, fromInt(-1)},           // -1
      {36, two64, two64},                 // 0
      {38, make(false, {0, 0, 0x40}), make(false, {0, 2})},   // gcd(2^70, 2^65) = 2^65
      {38, neg(two64), fromInt(0)},       // |receiver|
      {38, neg(two64), fromInt(-12)},
  };
  for (auto& c : cases) check(c.prim, c.r, c.a, largeObject(c.r), objectFor(c.a));
}

// An unnormalised receiver (zero bytes on top, or a value that fits a SmallInteger) and a
// zero divisor of any length: views use the significant length.
TEST_F(LargeIntPrims, UnnormalisedOperands) {
  Ref big = make(false, {5, 6, 7});
  Ref zero;
  for (uint32_t prim : {21, 23, 27, 29, 33, 36}) check(prim, big, big, largeObject(big, 9), largeObject(big, 3));
  for (uint32_t prim : {30, 31, 32, 33}) check(prim, big, zero, largeObject(big), largeObject(zero, 12));
  Ref small = fromInt(-12345);
  for (uint32_t prim : {21, 29, 35}) check(prim, small, fromInt(3), largeObject(small, 8), smallIntegerFor(3));
}

// Operands with a large common factor and common powers of two, so that the gcd's Lehmer
// steps, binary steps and final word steps all run before a non-trivial answer.
TEST_F(LargeIntPrims, GcdOfCommonMultiples) {
  std::mt19937_64 rng(38);
  uint64_t mark = eden.allocPtr;
  for (int round = 0; round < 200; round++) {
    eden.allocPtr = mark;
    Ref g = make(false, randomMag(rng, 1 + rng() % 60));
    bool negative = rng() & 1;
    Ref r = make(negative, shl(mul(g, make(false, randomMag(rng, 1 + rng() % 150))).mag, rng() % 70));
    Ref a = make(negative, shl(mul(g, make(false, randomMag(rng, 1 + rng() % 150))).mag, rng() % 70));
    if (fitsSmall(r)) r.mag.push_back(1);
    check(38, r, a, largeObject(r), objectFor(a));
    if (HasFatalFailure()) return;
  }
}

TEST_F(LargeIntPrims, ShiftsAgainstReference) {
  std::mt19937_64 rng(7);
  uint64_t mark = eden.allocPtr;
  for (int round = 0; round < 300; round++) {
    eden.allocPtr = mark;
    Ref r = make(rng() & 1, randomMag(rng, 8 + rng() % 120));
    if (fitsSmall(r)) r.mag.push_back(1);
    int64_t k = int64_t(rng() % 1200) - 600;
    PrimOutcome o = callPrimitive(37, largeObject(r), {smallIntegerFor(k)});
    SCOPED_TRACE(testing::Message() << show(r) << " shift " << k);
    if (k < 0 && r.negative) {
      ASSERT_TRUE(o.failed);
      EXPECT_EQ(o.errorOop, primErrorAt(0));
      continue;
    }
    ASSERT_FALSE(o.failed);
    Ref want = k >= 0 ? make(r.negative, shl(r.mag, size_t(k))) : make(false, shr(r.mag, size_t(-k)));
    EXPECT_EQ(show(readAnswer(o.result)), show(want));
  }
}

// Failures and the answers that are not computed values.
TEST_F(LargeIntPrims, FailureAndIdentityTable) {
  Ref two64 = make(false, {0, 0, 1});
  oop r = largeObject(two64), negR = largeObject(neg(two64));
  oop notNumber = newNewObject(classIndexByteArray, 8);
  oop character = characterFor('a');
  struct Case { uint32_t prim; oop receiver; oop argument; bool fails; uint32_t code; oop answer; };
  const Case cases[] = {
      {21, r, notNumber, true, 3, 0}, {23, r, character, true, 3, 0}, {29, r, nilOop(), true, 3, 0},
      {33, r, notNumber, true, 3, 0},
      {37, r, smallIntegerFor(0), false, 0, r},
      {37, r, notNumber, true, 0, 0},
      {37, negR, smallIntegerFor(-1), true, 0, 0},
      {37, r, smallIntegerFor(-65), false, 0, smallIntegerFor(0)},
      {37, r, smallIntegerFor(smallIntegerMin / 2), false, 0, smallIntegerFor(0)},   // -2^59: nothing left
      {37, r, smallIntegerFor(smallIntegerMax / 2 + 1), true, 0, 0},                 // 2^59: no such object
      {38, r, negR, true, 3, 0},              // not of the receiver's class
      {38, r, character, true, 3, 0},
      {39, smallIntegerFor(12), smallIntegerFor(18), false, 0, smallIntegerFor(6)},
      {39, smallIntegerFor(0), smallIntegerFor(-5), false, 0, smallIntegerFor(5)},
      {39, smallIntegerFor(-12), smallIntegerFor(0), false, 0, smallIntegerFor(12)},
      {39, smallIntegerFor(smallIntegerMin), smallIntegerFor(0), true, 0, 0},
      {39, smallIntegerFor(smallIntegerMin), smallIntegerFor(smallIntegerMin), true, 0, 0},
      {39, smallIntegerFor(smallIntegerMin), smallIntegerFor(6), false, 0, smallIntegerFor(2)},
      {39, smallIntegerFor(4), r, true, 3, 0},
      // Receivers taken on trust: the wrong kind fails 0 and touches nothing.
      {21, notNumber, smallIntegerFor(1), true, 0, 0},
      {37, smallIntegerFor(3), smallIntegerFor(1), true, 0, 0},
      {39, r, smallIntegerFor(1), true, 0, 0},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "primitive " << c.prim);
    uint64_t before = eden.allocPtr;
    PrimOutcome o = callPrimitive(c.prim, c.receiver, {c.argument});
    ASSERT_EQ(o.failed, c.fails);
    if (c.fails) {
      EXPECT_EQ(o.errorOop, primErrorAt(c.code));
      EXPECT_EQ(eden.allocPtr, before);
    } else {
      EXPECT_EQ(o.result, c.answer);
    }
  }
  EXPECT_HEAP_VALID();
}

}  // namespace
