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

// Every failure of the float primitives is PrimErrorTable code 0 with the primitive's own
// argument count.
static oop fail0(uint64_t numArgs) { return failPrimitive(primErrorAt(0), numArgs); }

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
  if (!isFiniteDouble(r) && !IEEEInfNaN) return fail0(numArgs);
  if (fitsSmallDouble(r)) return smallDoubleFor(r);
  oop box = newDoubleBox(r);
  return box != 0 ? box : fail0(numArgs);
}

// The argument of 561, 562, 569, 570 and 585 (anyClass) or of the comparisons (a Double or
// Float object only; the same classes, since the receiver is a Double).
static bool doubleArgument(oop a, double* out) {
  if (isSmallInteger(a)) *out = double(smallIntegerValue(a));
  else if (isSmallDouble(a)) *out = loadSmallDoubleFromOop(a);
  else if (isDoubleObject(a)) *out = doubleValueOf(a);
  else if (isFloatObject(a)) *out = floatValueOf(a);
  else return false;
  return true;
}

enum BinaryOp { opAdd, opSubtract, opMultiply, opDivide, opPower };
enum CompareOp { cmpLess, cmpGreater, cmpLessEqual, cmpGreaterEqual, cmpEqual, cmpNotEqual };

static double applyBinary(BinaryOp op, double r, double a) {
  switch (op) {
    case opAdd: return r + a;
    case opSubtract: return r - a;
    case opMultiply: return r * a;
    case opDivide: return r / a;
    case opPower: return std::pow(r, a);
  }
  return 0;
}
// IEEE ordered comparisons: every ordering with a NaN is false, and so is equality.
static bool applyCompare(CompareOp op, double r, double a) {
  switch (op) {
    case cmpLess: return r < a;
    case cmpGreater: return r > a;
    case cmpLessEqual: return r <= a;
    case cmpGreaterEqual: return r >= a;
    case cmpEqual: return r == a;
    case cmpNotEqual: return !(r == a);
  }
  return false;
}

template <BinaryOp op>
static oop primDoubleBinary(oop receiver, oop argument) {
  double a;
  if (!isDoubleObject(receiver) || !doubleArgument(argument, &a)) return fail0(1);
  return answerDouble(applyBinary(op, doubleValueOf(receiver), a), 1);
}

template <CompareOp op>
static oop primDoubleCompare(oop receiver, oop argument) {
  double a;
  if (!isDoubleObject(receiver) || !doubleArgument(argument, &a)) return fail0(1);
  return booleanOop(applyCompare(op, doubleValueOf(receiver), a));
}


template <UnaryFunction f>
static oop primDoubleUnary(oop receiver) {
  if (!isDoubleObject(receiver)) return fail0(0);
  return answerDouble(f(doubleValueOf(receiver)), 0);
}

static oop primAsDouble(oop, oop argument) {
  if (isSmallInteger(argument)) return answerDouble(double(smallIntegerValue(argument)), 1);
  if (isFloatObject(argument)) return answerDouble(floatValueOf(argument), 1);
  return fail0(1);
}

static oop primDoubleTruncated(oop receiver) {
  int64_t v;
  if (!isDoubleObject(receiver) || !truncatedToSmallInteger(doubleValueOf(receiver), &v)) return fail0(0);
  return smallIntegerFor(v);
}

// The receiver itself below exponent 0; +0.0 (sign not kept) from exponent 60, which
// covers infinities and NaNs.
static oop primDoubleFractionPart(oop receiver) {
  if (!isDoubleObject(receiver)) return fail0(0);
  double r = doubleValueOf(receiver);
  int e = doubleActualExponent(r);
  if (e < 0) return receiver;
  if (e >= 60) return smallDoubleFor(0.0);
  return answerDouble(r - std::trunc(r), 0);
}

static oop primDoubleExponent(oop receiver) {
  if (!isDoubleObject(receiver)) return fail0(0);
  return smallIntegerFor(doubleSmalltalkExponent(doubleValueOf(receiver)));
}

// The exponent is the argument's low 32 bits, signed.
static oop primDoubleTimesTwoPower(oop receiver, oop argument) {
  if (!isDoubleObject(receiver) || !isSmallInteger(argument)) return fail0(1);
  int32_t e = int32_t(uint32_t(uint64_t(smallIntegerValue(argument))));
  return answerDouble(std::ldexp(doubleValueOf(receiver), e), 1);
}

static oop primDoubleRounded(oop receiver) {
  int64_t v;
  if (!isDoubleObject(receiver) || !roundedHalfAwayFromZero(doubleValueOf(receiver), &v)) return fail0(0);
  return smallIntegerFor(v);
}

static oop primDoubleFloorLog10(oop receiver) {
  if (!isDoubleObject(receiver)) return fail0(0);
  double r = doubleValueOf(receiver);
  if (!isFiniteDouble(r)) return IEEEInfNaN ? receiver : fail0(0);
  double l = std::log10(r);
  if (!isFiniteDouble(l)) return answerDouble(l, 0);
  return smallIntegerFor(int64_t(std::floor(l)));
}

static oop primDoubleAsFloat(oop receiver) {
  if (!isDoubleObject(receiver)) return fail0(0);
  float f = float(doubleValueOf(receiver));
  if (!isFiniteFloat(f) && !IEEEInfNaN) return fail0(0);
  oop box = newFloatBox(f);
  return box != 0 ? box : fail0(0);
}

static oop primSmallIntegerAsDouble(oop receiver) {
  if (!isSmallInteger(receiver)) return fail0(0);
  return answerDouble(double(smallIntegerValue(receiver)), 0);
}

static oop primSmallDoubleBox(oop receiver) {
  if (!isSmallDouble(receiver)) return fail0(0);
  oop box = newDoubleBox(loadSmallDoubleFromOop(receiver));
  return box != 0 ? box : fail0(0);
}

static const FloatPrimEntry doublePrims[] = {
    FLOAT_PRIM0(849, primSmallDoubleBox),
    FLOAT_PRIM1(560, primAsDouble),
    FLOAT_PRIM1(561, primDoubleBinary<opAdd>),
    FLOAT_PRIM1(562, primDoubleBinary<opSubtract>),
    FLOAT_PRIM1(563, primDoubleCompare<cmpLess>),
    FLOAT_PRIM1(564, primDoubleCompare<cmpGreater>),
    FLOAT_PRIM1(565, primDoubleCompare<cmpLessEqual>),
    FLOAT_PRIM1(566, primDoubleCompare<cmpGreaterEqual>),
    FLOAT_PRIM1(567, primDoubleCompare<cmpEqual>),
    FLOAT_PRIM1(568, primDoubleCompare<cmpNotEqual>),
    FLOAT_PRIM1(569, primDoubleBinary<opMultiply>),
    FLOAT_PRIM1(570, primDoubleBinary<opDivide>),
    FLOAT_PRIM0(571, primDoubleTruncated),
    FLOAT_PRIM0(572, primDoubleFractionPart),
    FLOAT_PRIM0(573, primDoubleExponent),
    FLOAT_PRIM1(574, primDoubleTimesTwoPower),
    FLOAT_PRIM0(575, primDoubleRounded),
    FLOAT_PRIM0(576, primDoubleUnary<sineOf>),
    FLOAT_PRIM0(577, primDoubleUnary<cosineOf>),
    FLOAT_PRIM0(578, primDoubleUnary<tangentOf>),
    FLOAT_PRIM0(579, primDoubleUnary<arcSineOf>),
    FLOAT_PRIM0(580, primDoubleUnary<arcCosineOf>),
    FLOAT_PRIM0(581, primDoubleUnary<arcTangentOf>),
    FLOAT_PRIM0(582, primDoubleUnary<squareRootOf>),
    FLOAT_PRIM0(583, primDoubleUnary<logarithmOf>),
    FLOAT_PRIM0(584, primDoubleUnary<exponentialOf>),
    FLOAT_PRIM1(585, primDoubleBinary<opPower>),
    FLOAT_PRIM0(587, primDoubleFloorLog10),
    FLOAT_PRIM0(588, primDoubleAsFloat),
    FLOAT_PRIM0(589, primSmallIntegerAsDouble),
};

void addFloatPrims(const FloatPrimEntry* rows, uint32_t count) {
  for (uint32_t i = 0; i < count; i++) addCPrimitive(rows[i].number, rows[i].function, rows[i].numArgs);
}

void initDoublePrims() {
  initSmallDoublePrims();
  addFloatPrims(doublePrims, sizeof doublePrims / sizeof doublePrims[0]);
}
