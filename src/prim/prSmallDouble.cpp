// Primitives: SmallDouble primitives 820-848 on the immediate form; none allocates but 848.
// Owns no global record. Prefix: none (initSmallDoublePrims).
#include <cmath>

#include "ext/exOption.h"
#include "ext/exPrimTable.h"
#include "mman/mmPrimUtil.h"
#include "mman/mmSysOop.h"
#include "prim/prDouble.h"

static oop fail0(uint64_t numArgs) { return failPrimitive(primErrorAt(0), numArgs); }

// Results that have no immediate form fail whatever IEEEInfNaN says: the image's fallback
// code boxes finite ones.
static oop answerSmallDouble(double r, uint64_t numArgs) {
  return fitsSmallDouble(r) ? smallDoubleFor(r) : fail0(numArgs);
}

static bool smallDoubleArgument(oop a, double* out) {
  if (isSmallInteger(a)) *out = double(smallIntegerValue(a));
  else if (isSmallDouble(a)) *out = loadSmallDoubleFromOop(a);
  else if (isDoubleObject(a)) *out = doubleValueOf(a);
  else if (isFloatObject(a)) *out = floatValueOf(a);
  else return false;
  return true;
}

static oop primSmallDoubleAsInteger(oop receiver) {
  if (!isSmallDouble(receiver)) return fail0(0);
  return (receiver & ~oopTagMask) | oopTagSmallInteger;
}

enum Op { opAdd, opSubtract, opMultiply, opDivide, opLess, opGreater, opLessEqual, opGreaterEqual, opEqual, opNotEqual };

template <Op op>
static oop primSmallDoubleBinary(oop receiver, oop argument) {
  double a;
  if (!isSmallDouble(receiver) || !smallDoubleArgument(argument, &a)) return fail0(1);
  double r = loadSmallDoubleFromOop(receiver);
  switch (op) {
    case opAdd: return answerSmallDouble(r + a, 1);
    case opSubtract: return answerSmallDouble(r - a, 1);
    case opMultiply: return answerSmallDouble(r * a, 1);
    case opDivide: return answerSmallDouble(r / a, 1);
    case opLess: return booleanOop(r < a);
    case opGreater: return booleanOop(r > a);
    case opLessEqual: return booleanOop(r <= a);
    case opGreaterEqual: return booleanOop(r >= a);
    case opEqual: return booleanOop(r == a);
    case opNotEqual: return booleanOop(!(r == a));
  }
  return fail0(1);
}

static oop primSmallDoubleTruncated(oop receiver) {
  int64_t v;
  if (!isSmallDouble(receiver) || !truncatedToSmallInteger(loadSmallDoubleFromOop(receiver), &v)) return fail0(0);
  return smallIntegerFor(v);
}

static oop primSmallDoubleFractionPart(oop receiver) {
  if (!isSmallDouble(receiver)) return fail0(0);
  double r = loadSmallDoubleFromOop(receiver);
  int e = doubleActualExponent(r);
  if (e < 0) return receiver;
  if (e >= 60) return smallDoubleFor(0.0);
  return answerSmallDouble(r - std::trunc(r), 0);
}

static oop primSmallDoubleExponent(oop receiver) {
  if (!isSmallDouble(receiver)) return fail0(0);
  return smallIntegerFor(doubleSmalltalkExponent(loadSmallDoubleFromOop(receiver)));
}

static oop primSmallDoubleTimesTwoPower(oop receiver, oop argument) {
  if (!isSmallDouble(receiver) || !isSmallInteger(argument)) return fail0(1);
  int32_t e = int32_t(uint32_t(uint64_t(smallIntegerValue(argument))));
  return answerSmallDouble(std::ldexp(loadSmallDoubleFromOop(receiver), e), 1);
}

static oop primSmallDoubleRounded(oop receiver) {
  int64_t v;
  if (!isSmallDouble(receiver)) return fail0(0);
  if (receiver <= smallDoubleSignedZeroMax) return smallIntegerFor(0);
  if (!roundedHalfAwayFromZero(loadNZSmallDoubleFromOop(receiver), &v)) return fail0(0);
  return smallIntegerFor(v);
}


template <UnaryFunction f>
static oop primSmallDoubleUnary(oop receiver) {
  if (!isSmallDouble(receiver)) return fail0(0);
  return answerSmallDouble(f(loadSmallDoubleFromOop(receiver)), 0);
}

// A negative base with a finite exponent fails (the image's code serves it).
static oop primSmallDoublePower(oop receiver, oop argument) {
  double a;
  if (!isSmallDouble(receiver) || !smallDoubleArgument(argument, &a)) return fail0(1);
  double r = loadSmallDoubleFromOop(receiver);
  if (r < 0 && isFiniteDouble(a)) return fail0(1);
  return answerSmallDouble(std::pow(r, a), 1);
}

static oop primSmallDoubleFloorLog10(oop receiver) {
  if (!isSmallDouble(receiver)) return fail0(0);
  double l = std::log10(loadSmallDoubleFromOop(receiver));
  if (!isFiniteDouble(l)) return fail0(0);
  return smallIntegerFor(int64_t(std::floor(l)));
}

static oop primSmallDoubleAsFloat(oop receiver) {
  if (!isSmallDouble(receiver)) return fail0(0);
  float f = float(loadSmallDoubleFromOop(receiver));
  if (!isFiniteFloat(f) && !IEEEInfNaN) return fail0(0);
  oop box = newFloatBox(f);
  return box != 0 ? box : fail0(0);
}

static const FloatPrimEntry smallDoublePrims[] = {
    FLOAT_PRIM0(820, primSmallDoubleAsInteger),
    FLOAT_PRIM1(821, primSmallDoubleBinary<opAdd>),
    FLOAT_PRIM1(822, primSmallDoubleBinary<opSubtract>),
    FLOAT_PRIM1(823, primSmallDoubleBinary<opLess>),
    FLOAT_PRIM1(824, primSmallDoubleBinary<opGreater>),
    FLOAT_PRIM1(825, primSmallDoubleBinary<opLessEqual>),
    FLOAT_PRIM1(826, primSmallDoubleBinary<opGreaterEqual>),
    FLOAT_PRIM1(827, primSmallDoubleBinary<opEqual>),
    FLOAT_PRIM1(828, primSmallDoubleBinary<opNotEqual>),
    FLOAT_PRIM1(829, primSmallDoubleBinary<opMultiply>),
    FLOAT_PRIM1(830, primSmallDoubleBinary<opDivide>),
    FLOAT_PRIM0(831, primSmallDoubleTruncated),
    FLOAT_PRIM0(832, primSmallDoubleFractionPart),
    FLOAT_PRIM0(833, primSmallDoubleExponent),
    FLOAT_PRIM1(834, primSmallDoubleTimesTwoPower),
    FLOAT_PRIM0(835, primSmallDoubleRounded),
    FLOAT_PRIM0(836, primSmallDoubleUnary<sineOf>),
    FLOAT_PRIM0(837, primSmallDoubleUnary<cosineOf>),
    FLOAT_PRIM0(838, primSmallDoubleUnary<tangentOf>),
    FLOAT_PRIM0(839, primSmallDoubleUnary<arcSineOf>),
    FLOAT_PRIM0(840, primSmallDoubleUnary<arcCosineOf>),
    FLOAT_PRIM0(841, primSmallDoubleUnary<arcTangentOf>),
    FLOAT_PRIM0(842, primSmallDoubleUnary<squareRootOf>),
    FLOAT_PRIM0(843, primSmallDoubleUnary<logarithmOf>),
    FLOAT_PRIM0(844, primSmallDoubleUnary<exponentialOf>),
    FLOAT_PRIM1(845, primSmallDoublePower),
    FLOAT_PRIM0(847, primSmallDoubleFloorLog10),
    FLOAT_PRIM0(848, primSmallDoubleAsFloat),
};

void initSmallDoublePrims() {
  addFloatPrims(smallDoublePrims, sizeof smallDoublePrims / sizeof smallDoublePrims[0]);
}
