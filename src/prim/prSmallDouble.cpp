// Primitives: SmallDouble primitives 820-848 on the immediate form; none allocates but 848.
// Owns no global record. Prefix: none (initSmallDoublePrims).
#include <cmath>

#include "ext/exPrimTable.h"
#include "mman/mmSysOop.h"
#include "prim/prDouble.h"

// The immediate SmallDouble: any number argument taken to binary64; results that have no
// immediate form fail whatever IEEEInfNaN says (the image's fallback code boxes finite ones).
struct SmallDouble {
  typedef double Value;
  static bool isReceiver(oop o) { return isSmallDouble(o); }
  static double valueOf(oop o) { return loadSmallDoubleFromOop(o); }
  static bool argument(oop, oop a, double* out) { return doubleArgumentOf(a, out); }
  static oop answer(double r, uint64_t numArgs) { return fitsSmallDouble(r) ? smallDoubleFor(r) : floatFail(numArgs); }
  static constexpr bool negativeBaseFails = true;
};

static oop primSmallDoubleAsInteger(oop receiver) {
  if (!isSmallDouble(receiver)) return floatFail(0);
  return (receiver & ~oopTagMask) | oopTagSmallInteger;
}

static const FloatPrimEntry smallDoublePrims[] = {
    FLOAT_PRIM0(820, primSmallDoubleAsInteger),
    FLOAT_PRIM1(821, (floatBinary<SmallDouble, floatOpAdd>)),
    FLOAT_PRIM1(822, (floatBinary<SmallDouble, floatOpSubtract>)),
    FLOAT_PRIM1(823, (floatBinary<SmallDouble, floatOpLess>)),
    FLOAT_PRIM1(824, (floatBinary<SmallDouble, floatOpGreater>)),
    FLOAT_PRIM1(825, (floatBinary<SmallDouble, floatOpLessEqual>)),
    FLOAT_PRIM1(826, (floatBinary<SmallDouble, floatOpGreaterEqual>)),
    FLOAT_PRIM1(827, (floatBinary<SmallDouble, floatOpEqual>)),
    FLOAT_PRIM1(828, (floatBinary<SmallDouble, floatOpNotEqual>)),
    FLOAT_PRIM1(829, (floatBinary<SmallDouble, floatOpMultiply>)),
    FLOAT_PRIM1(830, (floatBinary<SmallDouble, floatOpDivide>)),
    FLOAT_PRIM0(831, floatTruncated<SmallDouble>),
    FLOAT_PRIM0(832, floatFractionPart<SmallDouble>),
    FLOAT_PRIM0(833, floatExponent<SmallDouble>),
    FLOAT_PRIM1(834, floatTimesTwoPower<SmallDouble>),
    FLOAT_PRIM0(835, floatRounded<SmallDouble>),
    FLOAT_PRIM0(836, (floatUnary<SmallDouble, sineOf<double>>)),
    FLOAT_PRIM0(837, (floatUnary<SmallDouble, cosineOf<double>>)),
    FLOAT_PRIM0(838, (floatUnary<SmallDouble, tangentOf<double>>)),
    FLOAT_PRIM0(839, (floatUnary<SmallDouble, arcSineOf<double>>)),
    FLOAT_PRIM0(840, (floatUnary<SmallDouble, arcCosineOf<double>>)),
    FLOAT_PRIM0(841, (floatUnary<SmallDouble, arcTangentOf<double>>)),
    FLOAT_PRIM0(842, (floatUnary<SmallDouble, squareRootOf<double>>)),
    FLOAT_PRIM0(843, (floatUnary<SmallDouble, logarithmOf<double>>)),
    FLOAT_PRIM0(844, (floatUnary<SmallDouble, exponentialOf<double>>)),
    FLOAT_PRIM1(845, floatPower<SmallDouble>),
    FLOAT_PRIM0(847, floatFloorLog10<SmallDouble>),
    FLOAT_PRIM0(848, floatAsFloat<SmallDouble>),
};

void initSmallDoublePrims() {
  addFloatPrims(smallDoublePrims, sizeof smallDoublePrims / sizeof smallDoublePrims[0]);
}
