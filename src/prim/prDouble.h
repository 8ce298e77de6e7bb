// Primitives: the 64-bit Double primitives (560-589, 849) and the floating-point helpers
// every float set shares: encodings, boxing, exponents, conversions and rounding.
// Owns no global record (IEEEInfNaN is start-up's). Prefix: none (initDoublePrims,
// castOopToFiniteDouble, isFiniteDouble, newDoubleBox, newFloatBox, ...).
#pragma once
#include <cmath>
#include <cstdint>

#include "mman/mmObject.h"
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

// New boxes (eden's bump, else the general route); 0 when there is no space.
oop newDoubleBox(double d);
oop newFloatBox(float f);

// Rounding half away from zero of a finite value, as the rounded primitives answer it: 1
// and *out when the result lies below 2^60 in magnitude.
bool roundedHalfAwayFromZero(double d, int64_t* out);
bool truncatedToSmallInteger(double d, int64_t* out);

// The binary64 library functions the unary Double and SmallDouble primitives apply.
typedef double (*UnaryFunction)(double);
inline double sineOf(double d) { return std::sin(d); }
inline double cosineOf(double d) { return std::cos(d); }
inline double tangentOf(double d) { return std::tan(d); }
inline double arcSineOf(double d) { return std::asin(d); }
inline double arcCosineOf(double d) { return std::acos(d); }
inline double arcTangentOf(double d) { return std::atan(d); }
inline double squareRootOf(double d) { return std::sqrt(d); }  // sqrtsd; NaN for negatives, as the library
inline double logarithmOf(double d) { return std::log(d); }
inline double exponentialOf(double d) { return std::exp(d); }

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
