// Primitives: Float (binary32) primitives 40-54 and 590-609; arithmetic stays in binary32
// except ldexp (54) and pow (606), which run on the widened values. Every result is a new
// box. Owns no global record. Prefix: none (initFloatPrims).
#include <cmath>

#include "ext/exPrimTable.h"
#include "mman/mmSysOop.h"
#include "prim/prDouble.h"

static oop answerFloat(float r, uint64_t numArgs) {
  if (!isFiniteFloat(r) && !IEEEInfNaN) return floatFail(numArgs);
  oop box = newFloatBox(r);
  return box != 0 ? box : floatFail(numArgs);
}

// The boxed binary32 Float: a SmallInteger argument (rounded to binary32) or an object of the
// receiver's class; Doubles and SmallDoubles fail, the image's code converts them.
struct BoxedFloat {
  typedef float Value;
  static bool isReceiver(oop o) { return isFloatObject(o); }
  static float valueOf(oop o) { return floatValueOf(o); }
  static bool argument(oop receiver, oop a, float* out) {
    if (isSmallInteger(a)) *out = float(smallIntegerValue(a));
    else if (isFloatObject(a) && classTagOf(headerOf(a)) == classTagOf(headerOf(receiver))) *out = floatValueOf(a);
    else return false;
    return true;
  }
  static oop answer(float r, uint64_t numArgs) { return answerFloat(r, numArgs); }
  static constexpr bool negativeBaseFails = true;
};

static oop primSmallIntegerAsFloat(oop receiver) {
  if (!isSmallInteger(receiver)) return floatFail(0);
  return answerFloat(float(smallIntegerValue(receiver)), 0);
}

static const FloatPrimEntry floatPrims[] = {
    FLOAT_PRIM0(40, primSmallIntegerAsFloat),
    FLOAT_PRIM1(41, (floatBinary<BoxedFloat, floatOpAdd>)),
    FLOAT_PRIM1(42, (floatBinary<BoxedFloat, floatOpSubtract>)),
    FLOAT_PRIM1(43, (floatBinary<BoxedFloat, floatOpLess>)),
    FLOAT_PRIM1(44, (floatBinary<BoxedFloat, floatOpGreater>)),
    FLOAT_PRIM1(45, (floatBinary<BoxedFloat, floatOpLessEqual>)),
    FLOAT_PRIM1(46, (floatBinary<BoxedFloat, floatOpGreaterEqual>)),
    FLOAT_PRIM1(47, (floatBinary<BoxedFloat, floatOpEqual>)),
    FLOAT_PRIM1(48, (floatBinary<BoxedFloat, floatOpNotEqual>)),
    FLOAT_PRIM1(49, (floatBinary<BoxedFloat, floatOpMultiply>)),
    FLOAT_PRIM1(50, (floatBinary<BoxedFloat, floatOpDivide>)),
    FLOAT_PRIM0(51, floatTruncated<BoxedFloat>),
    FLOAT_PRIM0(52, floatFractionPart<BoxedFloat>),
    FLOAT_PRIM0(53, floatExponent<BoxedFloat>),
    FLOAT_PRIM1(54, floatTimesTwoPower<BoxedFloat>),
    FLOAT_PRIM0(590, floatRounded<BoxedFloat>),
    FLOAT_PRIM0(600, (floatUnary<BoxedFloat, sineOf<float>>)),
    FLOAT_PRIM0(591, (floatUnary<BoxedFloat, cosineOf<float>>)),
    FLOAT_PRIM0(601, (floatUnary<BoxedFloat, tangentOf<float>>)),
    FLOAT_PRIM0(592, (floatUnary<BoxedFloat, arcSineOf<float>>)),
    FLOAT_PRIM0(593, (floatUnary<BoxedFloat, arcCosineOf<float>>)),
    FLOAT_PRIM0(602, (floatUnary<BoxedFloat, arcTangentOf<float>>)),
    FLOAT_PRIM0(603, (floatUnary<BoxedFloat, squareRootOf<float>>)),
    FLOAT_PRIM0(604, (floatUnary<BoxedFloat, logarithmOf<float>>)),
    FLOAT_PRIM0(605, (floatUnary<BoxedFloat, exponentialOf<float>>)),
    FLOAT_PRIM1(606, floatPower<BoxedFloat>),
    FLOAT_PRIM0(609, floatFloorLog10<BoxedFloat>),
};

void initFloatPrims() {
  addFloatPrims(floatPrims, sizeof floatPrims / sizeof floatPrims[0]);
}
