// Primitives: the 64-bit Double primitives (560-589, 849) and what every float set shares:
// encodings, boxing, exponents, conversions, rounding and the primitives written once over
// the representation (boxed Double, SmallDouble, Float).
// Owns no global record (IEEEInfNaN is start-up's). Prefix: none (initDoublePrims,
// castOopToFiniteDouble, isFiniteDouble, newDoubleBox, newFloatBox, ...).
#pragma once
#include <cmath>
#include <cstdint>

#include "ext/exOption.h"
#include "mman/mmObject.h"
#include "mman/mmPrimUtil.h"
#include "mman/mmSysOop.h"

// Boxed Double (class 25, one body word) and Float (class 28, one word with 4 odd bytes),
// both immutable; the header words a bump allocation writes:
enum : uint64_t {
  doubleBoxHeaderWord = 0x101000019ull,   // isImmutable | size field 1 | class 25
  floatBoxHeaderWord = 0x110100001Cull,   // odd bytes 4 | isImmutable | size field 1 | class 28
};

inline bool isFiniteDouble(double d) { return ((doubleBits(d) >> 52) & 0x7FF) != 0x7FF; }
// Exponent field - 1023: -1023 for zeros and subnormals, 1024 for infinities and NaNs.
inline int doubleActualExponent(double d) { return int((doubleBits(d) >> 52) & 0x7FF) - 1023; }
inline int doubleSmalltalkExponent(double d) {
  return (doubleBits(d) << 1) == 0 ? 0 : doubleActualExponent(d);
}
inline double loadNZSmallDoubleFromOop(oop o) {
  return doubleFromBits(((o >> 4) + smallDoubleUnbias) | ((o & 8) << 60));
}

inline uint32_t floatBits(float f) {
  uint32_t b;
  memcpy(&b, &f, 4);
  return b;
}
inline bool isFiniteFloat(float f) { return ((floatBits(f) >> 23) & 0xFF) != 0xFF; }
inline int floatActualExponent(float f) { return int((floatBits(f) >> 23) & 0xFF) - 127; }
inline int floatSmalltalkExponent(float f) { return (floatBits(f) << 1) == 0 ? 0 : floatActualExponent(f); }

// Double and Float objects: byte objects of class 25 (a whole word of body) and 28 (at
// least 4 bytes), and their values (callers have checked the class).
inline bool isByteObjectOfClass(oop o, uint32_t tag, uint64_t minBytes) {
  if (!isHeapObject(o)) return false;
  ObjectHeader* h = headerOf(o);
  return classTagOf(h) == tag && !hasPtrs(h) && byteSizeOf(h) >= minBytes;
}
inline bool isDoubleObject(oop o) { return isByteObjectOfClass(o, classIndexDouble, 8); }
inline bool isFloatObject(oop o) { return isByteObjectOfClass(o, classIndexFloat, 4); }
inline double doubleValueOf(oop o) {
  double d;
  memcpy(&d, bodyOf(headerOf(o)), 8);
  return d;
}
inline float floatValueOf(oop o) {
  float f;
  memcpy(&f, bodyOf(headerOf(o)), 4);
  return f;
}

// SmallInteger, SmallDouble, Float or Double to double: 1 and *out when the value is
// finite (SmallIntegers and SmallDoubles always are); 0 for other objects and non-finite values.
int castOopToFiniteDouble(oop o, double* out);
// Any number object to binary64 as the Double and SmallDouble primitives take an argument
// (SmallInteger, SmallDouble, Double, Float, whatever the value): false for other objects.
bool doubleArgumentOf(oop a, double* out);

// New boxes (eden's bump, else the general route); 0 when there is no space.
oop newDoubleBox(double d);
oop newFloatBox(float f);

// Rounding half away from zero of a finite value, as the rounded primitives answer it: 1
// and *out when the result lies below 2^60 in magnitude.
bool roundedHalfAwayFromZero(double d, int64_t* out);
bool truncatedToSmallInteger(double d, int64_t* out);

// The library functions the unary primitives apply, in the representation's own width
// (binary64 for Double and SmallDouble, binary32 for Float).
template <class V> V sineOf(V v) { return std::sin(v); }
template <class V> V cosineOf(V v) { return std::cos(v); }
template <class V> V tangentOf(V v) { return std::tan(v); }
template <class V> V arcSineOf(V v) { return std::asin(v); }
template <class V> V arcCosineOf(V v) { return std::acos(v); }
template <class V> V arcTangentOf(V v) { return std::atan(v); }
template <class V> V squareRootOf(V v) { return std::sqrt(v); }  // NaN for negatives, as the library
template <class V> V logarithmOf(V v) { return std::log(v); }
template <class V> V exponentialOf(V v) { return std::exp(v); }

// ---- The primitives every representation shares -------------------------------------------
// The boxed Double, the immediate SmallDouble and the boxed binary32 Float answer the same
// primitives with their own receiver test, argument kinds and answers. A representation R
// gives: Value (double or float); isReceiver(o); valueOf(o); argument(receiver, a, &v);
// answer(v, numArgs), the result or the failure; negativeBaseFails, whether a negative base
// with a finite exponent fails the power (the image's code serves it).

// Every failure of the float primitives is PrimErrorTable code 0 with the primitive's own
// argument count.
inline oop floatFail(uint64_t numArgs) { return failPrimitive(primErrorAt(0), numArgs); }

inline bool isFiniteValue(double d) { return isFiniteDouble(d); }
inline bool isFiniteValue(float f) { return isFiniteFloat(f); }
inline int actualExponentOf(double d) { return doubleActualExponent(d); }
inline int actualExponentOf(float f) { return floatActualExponent(f); }
inline int smalltalkExponentOf(double d) { return doubleSmalltalkExponent(d); }
inline int smalltalkExponentOf(float f) { return floatSmalltalkExponent(f); }

// Arithmetic in the representation's own width; the IEEE ordered comparisons (every ordering
// with a NaN is false, and so is equality).
enum FloatOp {
  floatOpAdd, floatOpSubtract, floatOpMultiply, floatOpDivide,
  floatOpLess, floatOpGreater, floatOpLessEqual, floatOpGreaterEqual, floatOpEqual, floatOpNotEqual
};
template <class R, FloatOp op>
oop floatBinary(oop receiver, oop argument) {
  typename R::Value a;
  if (!R::isReceiver(receiver) || !R::argument(receiver, argument, &a)) return floatFail(1);
  typename R::Value r = R::valueOf(receiver);
  switch (op) {
    case floatOpAdd: return R::answer(r + a, 1);
    case floatOpSubtract: return R::answer(r - a, 1);
    case floatOpMultiply: return R::answer(r * a, 1);
    case floatOpDivide: return R::answer(r / a, 1);
    case floatOpLess: return booleanOop(r < a);
    case floatOpGreater: return booleanOop(r > a);
    case floatOpLessEqual: return booleanOop(r <= a);
    case floatOpGreaterEqual: return booleanOop(r >= a);
    case floatOpEqual: return booleanOop(r == a);
    case floatOpNotEqual: return booleanOop(!(r == a));
  }
  return floatFail(1);
}

template <class R>
oop floatTruncated(oop receiver) {
  int64_t v;
  if (!R::isReceiver(receiver) || !truncatedToSmallInteger(R::valueOf(receiver), &v)) return floatFail(0);
  return smallIntegerFor(v);
}

// The receiver itself below exponent 0; +0.0 (sign not kept) from exponent 60, which
// covers infinities and NaNs.
template <class R>
oop floatFractionPart(oop receiver) {
  if (!R::isReceiver(receiver)) return floatFail(0);
  typename R::Value r = R::valueOf(receiver);
  int e = actualExponentOf(r);
  if (e < 0) return receiver;
  return R::answer(e >= 60 ? typename R::Value(0) : r - std::trunc(r), 0);
}

template <class R>
oop floatExponent(oop receiver) {
  if (!R::isReceiver(receiver)) return floatFail(0);
  return smallIntegerFor(smalltalkExponentOf(R::valueOf(receiver)));
}

// The exponent is the argument's low 32 bits, signed; the scaling runs in binary64.
template <class R>
oop floatTimesTwoPower(oop receiver, oop argument) {
  if (!R::isReceiver(receiver) || !isSmallInteger(argument)) return floatFail(1);
  int32_t e = int32_t(uint32_t(uint64_t(smallIntegerValue(argument))));
  return R::answer(typename R::Value(std::ldexp(double(R::valueOf(receiver)), e)), 1);
}

// Binary32 values from 2^23 up are integers, so rounding the widened value is the binary32
// rounding.
template <class R>
oop floatRounded(oop receiver) {
  int64_t v;
  if (!R::isReceiver(receiver) || !roundedHalfAwayFromZero(R::valueOf(receiver), &v)) return floatFail(0);
  return smallIntegerFor(v);
}

template <class R, typename R::Value (*f)(typename R::Value)>
oop floatUnary(oop receiver) {
  if (!R::isReceiver(receiver)) return floatFail(0);
  return R::answer(f(R::valueOf(receiver)), 0);
}

// The power runs in binary64.
template <class R>
oop floatPower(oop receiver, oop argument) {
  typename R::Value a;
  if (!R::isReceiver(receiver) || !R::argument(receiver, argument, &a)) return floatFail(1);
  typename R::Value r = R::valueOf(receiver);
  if (R::negativeBaseFails && r < 0 && isFiniteValue(a)) return floatFail(1);
  return R::answer(typename R::Value(std::pow(double(r), double(a))), 1);
}

// An infinite or NaN receiver answers itself with IEEEInfNaN; a logarithm with no finite
// value (zero, negatives) is answered as a result, so it fails without IEEEInfNaN.
template <class R>
oop floatFloorLog10(oop receiver) {
  if (!R::isReceiver(receiver)) return floatFail(0);
  typename R::Value r = R::valueOf(receiver);
  if (!isFiniteValue(r)) return IEEEInfNaN ? receiver : floatFail(0);
  typename R::Value l = std::log10(r);
  if (!isFiniteValue(l)) return R::answer(l, 0);
  return smallIntegerFor(int64_t(std::floor(l)));
}

// A binary64 value to a new Float box.
template <class R>
oop floatAsFloat(oop receiver) {
  if (!R::isReceiver(receiver)) return floatFail(0);
  float f = float(R::valueOf(receiver));
  if (!isFiniteFloat(f) && !IEEEInfNaN) return floatFail(0);
  oop box = newFloatBox(f);
  return box != 0 ? box : floatFail(0);
}

// One row of a float primitive set's registration table, and the rows' two forms.
struct FloatPrimEntry {
  uint32_t number;
  const void* function;
  uint8_t numArgs;
};
#define FLOAT_PRIM1(n, f) {n, reinterpret_cast<const void*>(static_cast<oop (*)(oop, oop)>(f)), 1}
#define FLOAT_PRIM0(n, f) {n, reinterpret_cast<const void*>(static_cast<oop (*)(oop)>(f)), 0}
void addFloatPrims(const FloatPrimEntry* rows, uint32_t count);

void initDoublePrims();
void initSmallDoublePrims();
void initFloatPrims();
