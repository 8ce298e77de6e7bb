// Primitives: Double primitives 560-589 and 849, and the shared floating-point helpers.
// Owns no global record. Prefix: none (initDoublePrims, castOopToFiniteDouble, newDoubleBox, ...).
#include "prim/prDouble.h"

#include <cmath>

#include "ext/exOption.h"
#include "ext/exPrimTable.h"
#include "mman/mmAllocate.h"
#include "mman/mmNewSpace.h"
#include "mman/mmPrimUtil.h"
#include "mman/mmSysOop.h"

int castOopToFiniteDouble(oop o, double* out) {
  if (isSmallInteger(o)) {
    *out = double(smallIntegerValue(o));
    return 1;
  }
  if (isSmallDouble(o)) {
    *out = loadSmallDoubleFromOop(o);
    return 1;
  }
  double d;
  if (isFloatObject(o))
    d = floatValueOf(o);
  else if (isDoubleObject(o))
    d = doubleValueOf(o);
  else
    return 0;
  if (!isFiniteDouble(d)) return 0;
  *out = d;
  return 1;
}

bool doubleArgumentOf(oop a, double* out) {
  if (isSmallInteger(a)) *out = double(smallIntegerValue(a));
  else if (isSmallDouble(a)) *out = loadSmallDoubleFromOop(a);
  else if (isDoubleObject(a)) *out = doubleValueOf(a);
  else if (isFloatObject(a)) *out = floatValueOf(a);
  else return false;
  return true;
}

// A bump allocation in eden writes the whole box; the general route is the fallback.
static oop newBox(uint32_t tag, uint64_t bytes, uint64_t word) {
  ObjectHeader* h = allocInEdenInline(tag, 0, bytes, isImmutableBit, noFill);
  if (h == nullptr) h = allocSmallObj(tag, 0, bytes, isImmutableBit, noFill);
  if (h == nullptr) return 0;
  bodyOf(h)[0] = word;
  return oopOf(h);
}
oop newDoubleBox(double d) { return newBox(classIndexDouble, 8, doubleBits(d)); }
oop newFloatBox(float f) { return newBox(classIndexFloat, 4, floatBits(f)); }

bool truncatedToSmallInteger(double d, int64_t* out) {
  int e = doubleActualExponent(d);
  if (e >= 60) return false;
  *out = e < 0 ? 0 : int64_t(d);
  return true;
}

// |d| < 0.5 answers 0; else the integer part moves one away from zero when the fraction
// (exact: d - trunc(d)) is at least one half. Adding 0.5 first would round the sum itself
// for odd integers in [2^52, 2^53) and answer one too many.
bool roundedHalfAwayFromZero(double d, int64_t* out) {
  if (doubleActualExponent(d) < -1) {
    *out = 0;
    return true;
  }
  if (!isFiniteDouble(d)) return false;
  double t = std::trunc(d), f = d - t;
  if (f >= 0.5) t += 1;
  if (f <= -0.5) t -= 1;
  return truncatedToSmallInteger(t, out);
}

// ---- Double primitives ----------------------------------------------------------------------

// A result as the Double primitives answer it: the immediate when it has one, else a box;
// infinities and NaNs only with IEEEInfNaN.
static oop answerDouble(double r, uint64_t numArgs) {
  if (!isFiniteDouble(r) && !IEEEInfNaN) return floatFail(numArgs);
  if (fitsSmallDouble(r)) return smallDoubleFor(r);
  oop box = newDoubleBox(r);
  return box != 0 ? box : floatFail(numArgs);
}

// The boxed Double: any number argument (SmallInteger, SmallDouble, Double, Float) taken to
// binary64; results as answerDouble gives them.
struct BoxedDouble {
  typedef double Value;
  static bool isReceiver(oop o) { return isDoubleObject(o); }
  static double valueOf(oop o) { return doubleValueOf(o); }
  static bool argument(oop, oop a, double* out) { return doubleArgumentOf(a, out); }
  static oop answer(double r, uint64_t numArgs) { return answerDouble(r, numArgs); }
  static constexpr bool negativeBaseFails = false;
};

static oop primAsDouble(oop, oop argument) {
  if (isSmallInteger(argument)) return answerDouble(double(smallIntegerValue(argument)), 1);
  if (isFloatObject(argument)) return answerDouble(floatValueOf(argument), 1);
  return floatFail(1);
}

static oop primSmallIntegerAsDouble(oop receiver) {
  if (!isSmallInteger(receiver)) return floatFail(0);
  return answerDouble(double(smallIntegerValue(receiver)), 0);
}

static oop primSmallDoubleBox(oop receiver) {
  if (!isSmallDouble(receiver)) return floatFail(0);
  oop box = newDoubleBox(loadSmallDoubleFromOop(receiver));
  return box != 0 ? box : floatFail(0);
}

static const FloatPrimEntry doublePrims[] = {
    FLOAT_PRIM0(849, primSmallDoubleBox),
    FLOAT_PRIM1(560, primAsDouble),
    FLOAT_PRIM1(561, (floatBinary<BoxedDouble, floatOpAdd>)),
    FLOAT_PRIM1(562, (floatBinary<BoxedDouble, floatOpSubtract>)),
    FLOAT_PRIM1(563, (floatBinary<BoxedDouble, floatOpLess>)),
    FLOAT_PRIM1(564, (floatBinary<BoxedDouble, floatOpGreater>)),
    FLOAT_PRIM1(565, (floatBinary<BoxedDouble, floatOpLessEqual>)),
    FLOAT_PRIM1(566, (floatBinary<BoxedDouble, floatOpGreaterEqual>)),
    FLOAT_PRIM1(567, (floatBinary<BoxedDouble, floatOpEqual>)),
    FLOAT_PRIM1(568, (floatBinary<BoxedDouble, floatOpNotEqual>)),
    FLOAT_PRIM1(569, (floatBinary<BoxedDouble, floatOpMultiply>)),
    FLOAT_PRIM1(570, (floatBinary<BoxedDouble, floatOpDivide>)),
    FLOAT_PRIM0(571, floatTruncated<BoxedDouble>),
    FLOAT_PRIM0(572, floatFractionPart<BoxedDouble>),
    FLOAT_PRIM0(573, floatExponent<BoxedDouble>),
    FLOAT_PRIM1(574, floatTimesTwoPower<BoxedDouble>),
    FLOAT_PRIM0(575, floatRounded<BoxedDouble>),
    FLOAT_PRIM0(576, (floatUnary<BoxedDouble, sineOf<double>>)),
    FLOAT_PRIM0(577, (floatUnary<BoxedDouble, cosineOf<double>>)),
    FLOAT_PRIM0(578, (floatUnary<BoxedDouble, tangentOf<double>>)),
    FLOAT_PRIM0(579, (floatUnary<BoxedDouble, arcSineOf<double>>)),
    FLOAT_PRIM0(580, (floatUnary<BoxedDouble, arcCosineOf<double>>)),
    FLOAT_PRIM0(581, (floatUnary<BoxedDouble, arcTangentOf<double>>)),
    FLOAT_PRIM0(582, (floatUnary<BoxedDouble, squareRootOf<double>>)),
    FLOAT_PRIM0(583, (floatUnary<BoxedDouble, logarithmOf<double>>)),
    FLOAT_PRIM0(584, (floatUnary<BoxedDouble, exponentialOf<double>>)),
    FLOAT_PRIM1(585, floatPower<BoxedDouble>),
    FLOAT_PRIM0(587, floatFloorLog10<BoxedDouble>),
    FLOAT_PRIM0(588, floatAsFloat<BoxedDouble>),
    FLOAT_PRIM0(589, primSmallIntegerAsDouble),
};

void addFloatPrims(const FloatPrimEntry* rows, uint32_t count) {
  for (uint32_t i = 0; i < count; i++) addCPrimitive(rows[i].number, rows[i].function, rows[i].numArgs);
}

void initDoublePrims() {
  initSmallDoublePrims();
  addFloatPrims(doublePrims, sizeof doublePrims / sizeof doublePrims[0]);
}
