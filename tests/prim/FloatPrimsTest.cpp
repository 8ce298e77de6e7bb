// Double (560-589, 849), SmallDouble (820-848) and Float (40-54, 590-609) primitives: tables
// of values crossed with every operation, each run with IEEEInfNaN 0 and 1. Expected answers
// come from the C operation in this build and the encoding rules written out here (range
// 0x3800000000000001..0x47FFFFFFFFFFFFFF, oops 5 and 13, box header words); rounding is
// checked against long double. NaN answers are checked for being NaN, never by their bits.
#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <random>
#include <vector>

#include "ext/exOption.h"
#include "mman/heapVerifier.h"
#include "mman/mmImageHeader.h"
#include "mman/mmSnapshot.h"
#include "mman/mmNewSpace.h"
#include "mman/mmSysOop.h"
#include "mman/testHeap.h"
#include "prim/prDouble.h"
#include "support/primHarness.h"

namespace {

uint64_t bitsOf(double d) {
  uint64_t b;
  memcpy(&b, &d, 8);
  return b;
}
double fromBits(uint64_t b) {
  double d;
  memcpy(&d, &b, 8);
  return d;
}
uint32_t bitsOfFloat(float f) {
  uint32_t b;
  memcpy(&b, &f, 4);
  return b;
}

// What a primitive should do.
enum Kind { kFail, kOop, kDoubleBox, kFloatBox };
struct Want {
  Kind kind;
  uint64_t value;  // kOop: the oop; boxes: the value's bits
};

bool inSmallDoubleRange(double r) {
  uint64_t m = bitsOf(r) & ~(uint64_t(1) << 63);
  return m >= 0x3800000000000001ull && m <= 0x47FFFFFFFFFFFFFFull;
}
uint64_t encodeSmallDouble(double r) {
  uint64_t b = bitsOf(r);
  if ((b << 1) == 0) return b >> 63 ? 13 : 5;
  return ((b >> 60) & 8) | ((b + 0xC800000000000000ull) << 4) | 5;
}
bool ieee() { return IEEEInfNaN != 0; }

// A Double primitive's binary64 answer: immediate when in range or zero, else a box;
// infinities and NaNs only with IEEEInfNaN.
Want asDouble(double r) {
  if (!std::isfinite(r) && !ieee()) return {kFail, 0};
  if (r == 0 || inSmallDoubleRange(r)) return {kOop, encodeSmallDouble(r)};
  return {kDoubleBox, bitsOf(r)};
}
// A SmallDouble primitive's answer: the immediate, or failure.
Want asSmallDouble(double r) {
  if (r == 0 || inSmallDoubleRange(r)) return {kOop, encodeSmallDouble(r)};
  return {kFail, 0};
}
Want asFloat(float r) {
  if (!std::isfinite(r) && !ieee()) return {kFail, 0};
  return {kFloatBox, bitsOfFloat(r)};
}
Want integer(int64_t v) { return {kOop, smallIntegerFor(v)}; }
Want boolean(bool b) { return {kOop, booleanOop(b)}; }
Want failure() { return {kFail, 0}; }
Want same(oop o) { return {kOop, o}; }

// Nearest integer, halves away from zero, in long double (exact for every double); fails
// from 2^60 in magnitude, as truncation does.
Want roundedModel(double d) {
  if (!std::isfinite(d)) return failure();
  long double x = d;
  long double n = x >= 0 ? floorl(x + 0.5L) : ceill(x - 0.5L);
  if (fabsl(n) >= 0x1p60L) return failure();
  return integer(int64_t(n));
}
Want truncatedModel(double d) {
  if (!std::isfinite(d) || std::fabs(d) >= 0x1p60) return failure();
  return integer(int64_t(truncl((long double)d)));
}
int exponentField(double d) { return int((bitsOf(d) >> 52) & 0x7FF); }
int smalltalkExponent(double d) { return d == 0 ? 0 : exponentField(d) - 1023; }

oop doubleBox(double d) { return newDoubleBox(d); }
oop floatBox(float f) { return newFloatBox(f); }

void expectOutcome(const PrimOutcome& o, const Want& w, uint64_t numArgs) {
  if (w.kind == kFail) {
    ASSERT_TRUE(o.failed);
    EXPECT_EQ(o.errorOop, primErrorAt(0));
    EXPECT_EQ(o.numArgs, numArgs);
    return;
  }
  ASSERT_FALSE(o.failed);
  if (w.kind == kOop) {
    EXPECT_EQ(o.result, w.value);
    return;
  }
  ASSERT_TRUE(isHeapObject(o.result));
  ObjectHeader* h = headerOf(o.result);
  if (w.kind == kDoubleBox) {
    EXPECT_EQ(h->flags, 0x101000019ull);
    double got = fromBits(bodyOf(h)[0]), want = fromBits(w.value);
    if (std::isnan(want)) EXPECT_TRUE(std::isnan(got));
    else EXPECT_EQ(bodyOf(h)[0], w.value);
  } else {
    EXPECT_EQ(h->flags, 0x110100001Cull);
    float got, want;
    memcpy(&got, bodyOf(h), 4);
    uint32_t wb = uint32_t(w.value);
    memcpy(&want, &wb, 4);
    if (std::isnan(want)) EXPECT_TRUE(std::isnan(got));
    else EXPECT_EQ(uint32_t(bodyOf(h)[0]), wb);
    EXPECT_EQ(bodyOf(h)[0] >> 32, 0u);
  }
}

const double inf = INFINITY, nan = NAN;
const std::vector<double> doubles = {
    0.0, -0.0, 1.0, -1.0, 2.0, 0.5, 0.49999999999999994, 1.5, -1.5, 2.5, -2.5, 0.25, -8.0, 999.0,
    4503599627370497.0, -4503599627370497.0, 2251799813685248.5, -2251799813685248.5,
    1e-310, -1e-310, 0x1p-127, 0x1.0000000000001p-127, 0x1p129, 0x1.fffffffffffffp128, 1e38, 10.0,
    1e300, 1e-300, DBL_MAX, 1e22, 0x1p60, -0x1p60, 0x1p60 - 128, -0x1p60 + 128, 1e-38, 1e-2,
    inf, -inf, nan, -nan};

class FloatPrims : public testing::TestWithParam<uint32_t> {
 protected:
  void SetUp() override {
    newTestHeap();
    initFloatPrims();
    initDoublePrims();
    IEEEInfNaN = GetParam();
    mark = eden.allocPtr;
  }
  void TearDown() override {
    IEEEInfNaN = 0;
    freeTestHeap();
  }
  void resetEden() { eden.allocPtr = mark; }
  uint64_t mark = 0;
};

// The forms an argument of value v can take: Double box, SmallDouble, SmallInteger, Float.
struct Form {
  oop object;
  double value;   // as the primitive reads it
  char kind;      // 'D', 'S', 'I', 'F'
};
std::vector<Form> formsOf(double v) {
  std::vector<Form> f = {{doubleBox(v), v, 'D'}};
  if (v == 0 || inSmallDoubleRange(v)) f.push_back({encodeSmallDouble(v), v, 'S'});
  if (std::isfinite(v) && v == std::trunc(v) && std::fabs(v) < 0x1p60) f.push_back({smallIntegerFor(int64_t(v)), double(int64_t(v)), 'I'});
  if (double(float(v)) == v || std::isnan(v)) f.push_back({floatBox(float(v)), double(float(v)), 'F'});
  return f;
}

Want binaryDouble(uint32_t op, double r, double a, bool smallDouble) {
  double x;
  switch (op % 10) {
    case 1: x = r + a; break;
    case 2: x = r - a; break;
    case 3: return boolean(r < a);
    case 4: return boolean(r > a);
    case 5: return boolean(r <= a);
    case 6: return boolean(r >= a);
    case 7: return boolean(r == a);
    case 8: return boolean(r != a);
    case 9: x = r * a; break;
    default: x = r / a;
  }
  return smallDouble ? asSmallDouble(x) : asDouble(x);
}

TEST_P(FloatPrims, DoubleAndSmallDoubleBinaryOperations) {
  for (double r : doubles)
    for (double a : doubles) {
      resetEden();
      oop boxed = doubleBox(r);
      for (const Form& f : formsOf(a)) {
        SCOPED_TRACE(testing::Message() << r << " op " << a << " form " << f.kind);
        for (uint32_t p = 561; p <= 570; p++) expectOutcome(callPrimitive(p, boxed, {f.object}), binaryDouble(p - 560, r, f.value, false), 1);
        expectOutcome(callPrimitive(585, boxed, {f.object}), asDouble(std::pow(r, f.value)), 1);
        if (r != 0 && !inSmallDoubleRange(r)) continue;
        oop small = encodeSmallDouble(r);
        for (uint32_t p = 821; p <= 830; p++) expectOutcome(callPrimitive(p, small, {f.object}), binaryDouble(p - 820, r, f.value, true), 1);
        Want power = r < 0 && std::isfinite(f.value) ? failure() : asSmallDouble(std::pow(r, f.value));
        expectOutcome(callPrimitive(845, small, {f.object}), power, 1);
      }
      if (HasFatalFailure()) return;
    }
}

TEST_P(FloatPrims, DoubleAndSmallDoubleUnaryOperations) {
  typedef double (*F)(double);
  const std::pair<uint32_t, F> library[] = {
      {576, [](double d) { return std::sin(d); }},  {577, [](double d) { return std::cos(d); }},
      {578, [](double d) { return std::tan(d); }},  {579, [](double d) { return std::asin(d); }},
      {580, [](double d) { return std::acos(d); }}, {581, [](double d) { return std::atan(d); }},
      {582, [](double d) { return std::sqrt(d); }}, {583, [](double d) { return std::log(d); }},
      {584, [](double d) { return std::exp(d); }}};
  const int32_t powers[] = {0, 1, -1, 1074, -1075, 2000, -2000, 127, -126};
  for (double r : doubles) {
    resetEden();
    SCOPED_TRACE(testing::Message() << "receiver " << r);
    oop boxed = doubleBox(r);
    bool small = r == 0 || inSmallDoubleRange(r);
    oop sd = small ? encodeSmallDouble(r) : 0;
    int e = exponentField(r) - 1023;
    for (auto& [p, f] : library) {
      expectOutcome(callPrimitive(p, boxed, {}), asDouble(f(r)), 0);
      if (small) expectOutcome(callPrimitive(p + 260, sd, {}), asSmallDouble(f(r)), 0);
    }
    expectOutcome(callPrimitive(571, boxed, {}), truncatedModel(r), 0);
    expectOutcome(callPrimitive(575, boxed, {}), roundedModel(r), 0);
    expectOutcome(callPrimitive(573, boxed, {}), integer(smalltalkExponent(r)), 0);
    Want fraction = e < 0 ? same(boxed) : e >= 60 ? same(5) : asDouble(double(r - truncl((long double)r)));
    expectOutcome(callPrimitive(572, boxed, {}), fraction, 0);
    double l = std::log10(r);
    Want log10 = !std::isfinite(r) ? (ieee() ? same(boxed) : failure())
                 : std::isfinite(l) ? integer(int64_t(std::floor(l))) : asDouble(l);
    expectOutcome(callPrimitive(587, boxed, {}), log10, 0);
    expectOutcome(callPrimitive(588, boxed, {}), asFloat(float(r)), 0);
    for (int32_t k : powers) {
      // The argument's low 32 bits count: 2^32 + k computes as k.
      oop arg = smallIntegerFor((int64_t(1) << 32) + k);
      expectOutcome(callPrimitive(574, boxed, {arg}), asDouble(std::ldexp(r, k)), 1);
      if (small) expectOutcome(callPrimitive(834, sd, {arg}), asSmallDouble(std::ldexp(r, k)), 1);
    }
    if (!small) continue;
    expectOutcome(callPrimitive(820, sd, {}), same(smallIntegerFor(int64_t(sd) >> 3)), 0);
    expectOutcome(callPrimitive(831, sd, {}), truncatedModel(r), 0);
    expectOutcome(callPrimitive(835, sd, {}), roundedModel(r), 0);
    expectOutcome(callPrimitive(833, sd, {}), integer(smalltalkExponent(r)), 0);
    Want sdFraction = e < 0 ? same(sd) : e >= 60 ? same(5) : asSmallDouble(double(r - truncl((long double)r)));
    expectOutcome(callPrimitive(832, sd, {}), sdFraction, 0);
    expectOutcome(callPrimitive(847, sd, {}), std::isfinite(l) ? integer(int64_t(std::floor(l))) : failure(), 0);
    expectOutcome(callPrimitive(848, sd, {}), asFloat(float(r)), 0);
    expectOutcome(callPrimitive(849, sd, {}), {kDoubleBox, bitsOf(r)}, 0);
    if (HasFatalFailure()) return;
  }
}

// Random bit patterns of every exponent: identities through the arithmetic primitives land
// on the encoding rule, the box and the SmallInteger conversions exactly.
TEST_P(FloatPrims, EveryExponentEncodesExactly) {
  std::mt19937_64 rng(1210);
  for (uint64_t field = 0; field < 2048; field++)
    for (int k = 0; k < 3; k++) {
      resetEden();
      uint64_t b = (uint64_t(rng() & 1) << 63) | (field << 52) | (rng() & 0xFFFFFFFFFFFFFull);
      double r = fromBits(b);
      SCOPED_TRACE(testing::Message() << std::hex << "bits " << b);
      oop boxed = doubleBox(r);
      expectOutcome(callPrimitive(569, boxed, {smallIntegerFor(1)}), asDouble(r * 1.0), 1);
      expectOutcome(callPrimitive(561, boxed, {smallIntegerFor(0)}), asDouble(r + 0.0), 1);
      if (r == 0 || inSmallDoubleRange(r)) {
        oop sd = encodeSmallDouble(r);
        expectOutcome(callPrimitive(849, sd, {}), {kDoubleBox, b}, 0);
        expectOutcome(callPrimitive(829, sd, {smallIntegerFor(1)}), asSmallDouble(r), 1);
      }
      if (std::isfinite(r) && std::fabs(r) < 0x1p60 && r == std::trunc(r))
        expectOutcome(callPrimitive(589, smallIntegerFor(int64_t(r)), {}), asDouble(double(int64_t(r))), 0);
      if (HasFatalFailure()) return;
    }
}

const std::vector<float> floats = {
    0.0f, -0.0f, 1.0f, -1.0f, 2.0f, 0.5f, 0.49999997f, 2.5f, -2.5f, 1.5f, -1.5f, 8388609.0f, -8388609.0f,
    4194304.5f, 16777216.0f, 1e-45f, -1e-45f, 1e38f, 10.0f, FLT_MAX, -FLT_MAX, 1e-38f, 999.0f, -8.0f,
    0x1p60f, -0x1p60f, 0x1p59f, INFINITY, -INFINITY, NAN, -NAN};

Want binaryFloat(uint32_t p, float r, float a) {
  switch (p) {
    case 41: return asFloat(r + a);
    case 42: return asFloat(r - a);
    case 43: return boolean(r < a);
    case 44: return boolean(r > a);
    case 45: return boolean(r <= a);
    case 46: return boolean(r >= a);
    case 47: return boolean(r == a);
    case 48: return boolean(r != a);
    case 49: return asFloat(r * a);
    default: return asFloat(r / a);
  }
}

TEST_P(FloatPrims, FloatOperations) {
  typedef float (*F)(float);
  const std::pair<uint32_t, F> library[] = {
      {600, [](float f) { return std::sin(f); }},  {591, [](float f) { return std::cos(f); }},
      {601, [](float f) { return std::tan(f); }},  {592, [](float f) { return std::asin(f); }},
      {593, [](float f) { return std::acos(f); }}, {602, [](float f) { return std::atan(f); }},
      {603, [](float f) { return std::sqrt(f); }}, {604, [](float f) { return std::log(f); }},
      {605, [](float f) { return std::exp(f); }}};
  for (float r : floats) {
    resetEden();
    SCOPED_TRACE(testing::Message() << "receiver " << r);
    oop boxed = floatBox(r);
    for (float a : floats) {
      std::vector<std::pair<oop, float>> args = {{floatBox(a), a}};
      if (std::isfinite(a) && a == std::trunc(a) && std::fabs(a) < 0x1p60f) args.push_back({smallIntegerFor(int64_t(a)), float(int64_t(a))});
      for (auto& [arg, v] : args) {
        for (uint32_t p = 41; p <= 50; p++) expectOutcome(callPrimitive(p, boxed, {arg}), binaryFloat(p, r, v), 1);
        Want power = r < 0 && std::isfinite(v) ? failure() : asFloat(float(std::pow(double(r), double(v))));
        expectOutcome(callPrimitive(606, boxed, {arg}), power, 1);
      }
      // Doubles and SmallDoubles are not Float arguments.
      expectOutcome(callPrimitive(41, boxed, {doubleBox(a)}), failure(), 1);
      if (a == 0 || inSmallDoubleRange(a)) expectOutcome(callPrimitive(43, boxed, {encodeSmallDouble(a)}), failure(), 1);
    }
    for (auto& [p, f] : library) expectOutcome(callPrimitive(p, boxed, {}), asFloat(f(r)), 0);
    int e = int((bitsOfFloat(r) >> 23) & 0xFF) - 127;
    expectOutcome(callPrimitive(51, boxed, {}), truncatedModel(r), 0);
    expectOutcome(callPrimitive(590, boxed, {}), roundedModel(r), 0);
    expectOutcome(callPrimitive(53, boxed, {}), integer(r == 0 ? 0 : e), 0);
    Want fraction = e < 0 ? same(boxed) : asFloat(e >= 60 ? 0.0f : float(r - truncl((long double)r)));
    expectOutcome(callPrimitive(52, boxed, {}), fraction, 0);
    float l = std::log10(r);
    Want log10 = !std::isfinite(r) ? (ieee() ? same(boxed) : failure())
                 : std::isfinite(l) ? integer(int64_t(std::floor(l))) : asFloat(l);
    expectOutcome(callPrimitive(609, boxed, {}), log10, 0);
    for (int32_t k : {0, 1, -1, 200, -200, -149})
      expectOutcome(callPrimitive(54, boxed, {smallIntegerFor((int64_t(1) << 32) + k)}),
                    asFloat(float(std::ldexp(double(r), k))), 1);
    if (std::isfinite(r) && r == std::trunc(r) && std::fabs(r) < 0x1p60f)
      expectOutcome(callPrimitive(40, smallIntegerFor(int64_t(r)), {}), asFloat(float(int64_t(r))), 0);
    if (HasFatalFailure()) return;
  }
  // SmallIntegers round to binary32 before they compare: 2^24 + 1 equals the Float 2^24.
  expectOutcome(callPrimitive(47, floatBox(16777216.0f), {smallIntegerFor(16777217)}), boolean(true), 1);
}

// Random binary32 patterns of every exponent through arithmetic, truncation, rounding and
// exponent, against the C operations in binary32 and the long double models.
TEST_P(FloatPrims, EveryFloatExponent) {
  std::mt19937 rng(590);
  for (uint32_t field = 0; field < 256; field++)
    for (int k = 0; k < 4; k++) {
      resetEden();
      uint32_t b = (rng() & 0x80000000u) | (field << 23) | (rng() & 0x7FFFFF);
      float r;
      memcpy(&r, &b, 4);
      SCOPED_TRACE(testing::Message() << std::hex << "bits " << b);
      oop boxed = floatBox(r), other = floatBox(1.75f);
      expectOutcome(callPrimitive(41, boxed, {other}), asFloat(r + 1.75f), 1);
      expectOutcome(callPrimitive(49, boxed, {other}), asFloat(r * 1.75f), 1);
      expectOutcome(callPrimitive(50, boxed, {smallIntegerFor(3)}), asFloat(r / 3.0f), 1);
      expectOutcome(callPrimitive(51, boxed, {}), truncatedModel(r), 0);
      expectOutcome(callPrimitive(590, boxed, {}), roundedModel(r), 0);
      expectOutcome(callPrimitive(53, boxed, {}), integer(r == 0 ? 0 : int(field) - 127), 0);
      if (HasFatalFailure()) return;
    }
}

// Arguments and receivers of the wrong kind fail with code 0 and the primitive's count.
TEST_P(FloatPrims, WrongKindsFail) {
  oop d = doubleBox(1.5), f = floatBox(1.5f), bytes = newNewObject(classIndexByteArray, 8);
  struct Case { uint32_t prim; oop receiver; std::vector<oop> args; };
  const Case cases[] = {
      {560, nilOop(), {d}},  {560, nilOop(), {encodeSmallDouble(1.5)}}, {561, d, {bytes}}, {563, d, {nilOop()}},
      {574, d, {d}},         {834, encodeSmallDouble(1.5), {encodeSmallDouble(2.0)}}, {54, f, {f}},
      {821, encodeSmallDouble(1.5), {characterFor('a')}},
      {561, bytes, {d}},     {571, smallIntegerFor(3), {}}, {820, d, {}}, {849, d, {}}, {589, d, {}},
      {41, d, {f}},          {51, bytes, {}}, {40, f, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "primitive " << c.prim);
    uint64_t before = eden.allocPtr;
    PrimOutcome o = c.args.empty() ? callPrimitive(c.prim, c.receiver, {}) : callPrimitive(c.prim, c.receiver, {c.args[0]});
    expectOutcome(o, failure(), c.args.size());
    EXPECT_EQ(eden.allocPtr, before);
  }
  expectOutcome(callPrimitive(560, nilOop(), {smallIntegerFor(3)}), asDouble(3.0), 1);
  expectOutcome(callPrimitive(560, nilOop(), {f}), asDouble(1.5), 1);
}

// castOopToFiniteDouble accepts the four numeric forms and refuses non-finite values.
TEST_P(FloatPrims, CastToFiniteDouble) {
  struct Case { oop o; int ok; double value; };
  const Case cases[] = {
      {smallIntegerFor(-7), 1, -7.0}, {encodeSmallDouble(2.5), 1, 2.5}, {13, 1, -0.0}, {floatBox(0.25f), 1, 0.25},
      {doubleBox(1e300), 1, 1e300},   {doubleBox(inf), 0, 0},            {floatBox(NAN), 0, 0},
      {characterFor('x'), 0, 0},      {nilOop(), 0, 0}};
  for (const Case& c : cases) {
    double out = 12345;
    EXPECT_EQ(castOopToFiniteDouble(c.o, &out), c.ok);
    if (c.ok) {
      EXPECT_EQ(bitsOf(out), bitsOf(c.value));
    }
  }
}

// When eden is full, boxes come from the general route with the same header word.
TEST_P(FloatPrims, BoxesWhenEdenIsFull) {
  eden.allocPtr = eden.warningLimit;
  expectOutcome(callPrimitive(561, doubleBox(1e300), {smallIntegerFor(1)}), asDouble(1e300 + 1), 1);
  expectOutcome(callPrimitive(41, floatBox(1.5f), {smallIntegerFor(1)}), asFloat(2.5f), 1);
  eden.allocPtr = mark;
  EXPECT_HEAP_VALID();
}

// -ieeefp holds for the run: the image's flag bit 5 turns IEEEInfNaN on when the option did
// not, and a snapshot writes the image's own setting back, not the option's.
TEST(IEEEFlagPrims, OptionHoldsForTheRunOnly) {
  struct Case { uint32_t option; uint32_t imageFlags; uint32_t running; uint32_t written; };
  const Case cases[] = {{0, 0x01, 0, 0x01}, {0, 0x21, 1, 0x21}, {1, 0x01, 1, 0x01}, {1, 0x21, 1, 0x21}};
  newTestHeap();
  for (const Case& c : cases) {
    ImageHeader h;
    memset(&h, 0, sizeof h);
    h.imageType = imageType64;
    h.imageSubType = 2;
    h.flags = c.imageFlags;
    h.marker = imageMarker;
    h.newSpaceBase = 0x1000;
    h.permDataStart = 0x40000000;
    h.largeDataStart = 0x20000000;
    h.oldDataStart = 0x30000000;
    h.sysOopRegistryOop = 0x30001230;
    h.firstFreeRegistryIndex = 64;
    IEEEInfNaN = c.option;
    ASSERT_EQ(acceptImageHeader(&h, 1), 1);
    EXPECT_EQ(IEEEInfNaN, c.running);
    ImageHeader out;
    memset(&out, 0, sizeof out);
    composeSnapshotHeader(&out, 0);
    EXPECT_EQ(out.flags, c.written) << "option " << c.option << " image flags " << c.imageFlags;
  }
  IEEEInfNaN = 0;
  freeTestHeap();
}

INSTANTIATE_TEST_SUITE_P(InfNaN, FloatPrims, testing::Values(0u, 1u),
                         [](const testing::TestParamInfo<uint32_t>& i) { return i.param ? "IEEEInfNaN" : "NoInfNaN"; });

}  // namespace
