// Primitives: Float (binary32) primitives 40-54 and 590-609; arithmetic stays in binary32
// except ldexp (54) and pow (606), which run on the widened values. Every result is a new
// box. Owns no global record. Prefix: none (initFloatPrims).
#include <cmath>

#include "ext/exOption.h"
#include "ext/exPrimTable.h"
#include "mman/mmPrimUtil.h"
#include "mman/mmSysOop.h"
#include "prim/prDouble.h"

static oop fail0(uint64_t numArgs) { return failPrimitive(primErrorAt(0), numArgs); }

static oop answerFloat(float r, uint64_t numArgs) {
  if (!isFiniteFloat(r) && !IEEEInfNaN) return fail0(numArgs);
  oop box = newFloatBox(r);
  return box != 0 ? box : fail0(numArgs);
}

// A SmallInteger (rounded to binary32) or an object of the receiver's class; Doubles and
// SmallDoubles fail, the image's code converts them.
static bool floatArgument(oop receiver, oop a, float* out) {
  if (isSmallInteger(a)) *out = float(smallIntegerValue(a));
  else if (isFloatObject(a) && classTagOf(headerOf(a)) == classTagOf(headerOf(receiver))) *out = floatValueOf(a);
  else return false;
  return true;
}

enum Op { opAdd, opSubtract, opMultiply, opDivide, opLess, opGreater, opLessEqual, opGreaterEqual, opEqual, opNotEqual };

template <Op op>
static oop primFloatBinary(oop receiver, oop argument) {
  float a;
  if (!isFloatObject(receiver) || !floatArgument(receiver, argument, &a)) return fail0(1);
  float r = floatValueOf(receiver);
  switch (op) {
    case opAdd: return answerFloat(r + a, 1);
    case opSubtract: return answerFloat(r - a, 1);
    case opMultiply: return answerFloat(r * a, 1);
    case opDivide: return answerFloat(r / a, 1);
    case opLess: return booleanOop(r < a);
    case opGreater: return booleanOop(r > a);
    case opLessEqual: return booleanOop(r <= a);
    case opGreaterEqual: return booleanOop(r >= a);
    case opEqual: return booleanOop(r == a);
    case opNotEqual: return booleanOop(!(r == a));
  }
  return fail0(1);
}

static oop primSmallIntegerAsFloat(oop receiver) {
  if (!isSmallInteger(receiver)) return fail0(0);
  return answerFloat(float(smallIntegerValue(receiver)), 0);
}

static oop primFloatTruncated(oop receiver) {
  int64_t v;
  if (!isFloatObject(receiver) || !truncatedToSmallInteger(floatValueOf(receiver), &v)) return fail0(0);
  return smallIntegerFor(v);
}

static oop primFloatFractionPart(oop receiver) {
  if (!isFloatObject(receiver)) return fail0(0);
  float r = floatValueOf(receiver);
  int e = floatActualExponent(r);
  if (e < 0) return receiver;
  return answerFloat(e >= 60 ? 0.0f : r - std::trunc(r), 0);
}

static oop primFloatExponent(oop receiver) {
  if (!isFloatObject(receiver)) return fail0(0);
  return smallIntegerFor(floatSmalltalkExponent(floatValueOf(receiver)));
}

static oop primFloatTimesTwoPower(oop receiver, oop argument) {
  if (!isFloatObject(receiver) || !isSmallInteger(argument)) return fail0(1);
  int32_t e = int32_t(uint32_t(uint64_t(smallIntegerValue(argument))));
  return answerFloat(float(std::ldexp(double(floatValueOf(receiver)), e)), 1);
}

// Binary32 values from 2^23 up are integers, so the double rounding is the binary32 one.
static oop primFloatRounded(oop receiver) {
  int64_t v;
  if (!isFloatObject(receiver) || !roundedHalfAwayFromZero(floatValueOf(receiver), &v)) return fail0(0);
  return smallIntegerFor(v);
}

typedef float (*UnaryFloatFunction)(float);
static float sineOfFloat(float f) { return std::sin(f); }
static float cosineOfFloat(float f) { return std::cos(f); }
static float tangentOfFloat(float f) { return std::tan(f); }
static float arcSineOfFloat(float f) { return std::asin(f); }
static float arcCosineOfFloat(float f) { return std::acos(f); }
static float arcTangentOfFloat(float f) { return std::atan(f); }
static float squareRootOfFloat(float f) { return std::sqrt(f); }
static float logarithmOfFloat(float f) { return std::log(f); }
static float exponentialOfFloat(float f) { return std::exp(f); }

template <UnaryFloatFunction f>
static oop primFloatUnary(oop receiver) {
  if (!isFloatObject(receiver)) return fail0(0);
  return answerFloat(f(floatValueOf(receiver)), 0);
}

static oop primFloatPower(oop receiver, oop argument) {
  float a;
  if (!isFloatObject(receiver) || !floatArgument(receiver, argument, &a)) return fail0(1);
  float r = floatValueOf(receiver);
  if (r < 0 && isFiniteFloat(a)) return fail0(1);
  return answerFloat(float(std::pow(double(r), double(a))), 1);
}

static oop primFloatFloorLog10(oop receiver) {
  if (!isFloatObject(receiver)) return fail0(0);
  float r = floatValueOf(receiver);
  if (!isFiniteFloat(r)) return IEEEInfNaN ? receiver : fail0(0);
  float l = std::log10(r);
  if (!isFiniteFloat(l)) return answerFloat(l, 0);
  return smallIntegerFor(int64_t(std::floor(l)));
}

static const FloatPrimEntry floatPrims[] = {
    FLOAT_PRIM0(40, primSmallIntegerAsFloat),
    FLOAT_PRIM1(41, primFloatBinary<opAdd>),
    FLOAT_PRIM1(42, primFloatBinary<opSubtract>),
    FLOAT_PRIM1(43, primFloatBinary<opLess>),
    FLOAT_PRIM1(44, primFloatBinary<opGreater>),
    FLOAT_PRIM1(45, primFloatBinary<opLessEqual>),
    FLOAT_PRIM1(46, primFloatBinary<opGreaterEqual>),
    FLOAT_PRIM1(47, primFloatBinary<opEqual>),
    FLOAT_PRIM1(48, primFloatBinary<opNotEqual>),
    FLOAT_PRIM1(49, primFloatBinary<opMultiply>),
    FLOAT_PRIM1(50, primFloatBinary<opDivide>),
    FLOAT_PRIM0(51, primFloatTruncated),
    FLOAT_PRIM0(52, primFloatFractionPart),
    FLOAT_PRIM0(53, primFloatExponent),
    FLOAT_PRIM1(54, primFloatTimesTwoPower),
    FLOAT_PRIM0(590, primFloatRounded),
    FLOAT_PRIM0(600, primFloatUnary<sineOfFloat>),
    FLOAT_PRIM0(591, primFloatUnary<cosineOfFloat>),
    FLOAT_PRIM0(601, primFloatUnary<tangentOfFloat>),
    FLOAT_PRIM0(592, primFloatUnary<arcSineOfFloat>),
    FLOAT_PRIM0(593, primFloatUnary<arcCosineOfFloat>),
    FLOAT_PRIM0(602, primFloatUnary<arcTangentOfFloat>),
    FLOAT_PRIM0(603, primFloatUnary<squareRootOfFloat>),
    FLOAT_PRIM0(604, primFloatUnary<logarithmOfFloat>),
    FLOAT_PRIM0(605, primFloatUnary<exponentialOfFloat>),
    FLOAT_PRIM1(606, primFloatPower),
    FLOAT_PRIM0(609, primFloatFloorLog10),
};

void initFloatPrims() {
  addFloatPrims(floatPrims, sizeof floatPrims / sizeof floatPrims[0]);
}
