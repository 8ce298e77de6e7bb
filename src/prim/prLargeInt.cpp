// Primitives: LargeInteger arithmetic, comparison, bit, shift and gcd (21-39).
// Owns the SmallInteger scratch operand and the division work records (valid within one call).
// Prefix: none (initLargeIntPrims).
#include "prim/prLargeInt.h"

#include <cassert>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "ext/exPrimTable.h"
#include "mman/mmAllocate.h"
#include "mman/mmNewSpace.h"
#include "mman/mmPrimUtil.h"
#include "mman/mmSysOop.h"

// A LargeInteger body is little-endian base-256 digits zero-padded to a whole word; the
// arithmetic reads and writes it as little-endian 32-bit digits in place, a partial top
// digit reading the padding as zeros. Every answer is normalised: no most-significant zero
// byte, and every value in -2^60 .. 2^60-1 a SmallInteger.

// An operand viewed in place (or, for a SmallInteger, in the scratch buffer). length is the
// significant byte count, so an operand that is not normalised still reads correctly; a
// zero magnitude is never negative.
struct LargeOperand {
  const uint8_t* bytes;  // magnitude, little-endian, padded with zeros to a whole word
  uint64_t length;       // significant bytes
  bool negative;         // sign
};

alignas(8) static uint8_t scratch[8];  // the SmallInteger argument's magnitude
static uint64_t smallLimits[8];        // 2^60 >> 0, 8, ..., 56; [0] is the SmallInteger limit

enum : uint32_t { errGeneral = 0, errNoSpace = 1, errBadArgument = 3 };

static oop fail(uint32_t code) { return failPrimitive(primErrorAt(code), 1); }

static inline uint32_t digitAt(const uint8_t* p, uint64_t i) {
  uint32_t d;
  memcpy(&d, p + 4 * i, 4);
  return d;
}
static inline void putDigit(uint8_t* p, uint64_t i, uint32_t d) { memcpy(p + 4 * i, &d, 4); }
static inline uint64_t digitsIn(uint64_t bytes) { return (bytes + 3) / 4; }
static inline uint32_t operandDigit(const LargeOperand& v, uint64_t i) {
  return i < digitsIn(v.length) ? digitAt(v.bytes, i) : 0;
}

static uint64_t significantLength(const uint8_t* p, uint64_t n) {
  while (n != 0 && p[n - 1] == 0) n--;
  return n;
}

static bool isLargeInteger(oop o) {
  if (!isHeapObject(o) || hasPtrs(headerOf(o))) return false;
  uint32_t tag = classTagOf(headerOf(o));
  return tag == classIndexLargePositiveInteger || tag == classIndexLargeNegativeInteger;
}

static void viewLarge(oop o, LargeOperand* v) {
  ObjectHeader* h = headerOf(o);
  v->bytes = reinterpret_cast<const uint8_t*>(bodyOf(h));
  v->length = significantLength(v->bytes, byteSizeOf(h));
  v->negative = classTagOf(h) == classIndexLargeNegativeInteger && v->length != 0;
}

static void viewSmall(oop o, LargeOperand* v) {
  int64_t value = smallIntegerValue(o);
  uint64_t magnitude = value < 0 ? 0 - uint64_t(value) : uint64_t(value);
  memcpy(scratch, &magnitude, 8);
  v->bytes = scratch;
  v->length = significantLength(scratch, 8);
  v->negative = value < 0;
}

static bool viewArgument(oop a, LargeOperand* v) {
  if (isSmallInteger(a)) {
    viewSmall(a, v);
    return true;
  }
  if (!isLargeInteger(a)) return false;
  viewLarge(a, v);
  return true;
}

// ---- Results and normalisation -----------------------------------------------------------

// A zero-filled immutable LargeInteger of bytes bytes: eden's bump, else the general route.
static ObjectHeader* newLargeResult(bool negative, uint64_t bytes) {
  if (bytes >= maxIndexedElements) return nullptr;
  uint32_t tag = negative ? classIndexLargeNegativeInteger : classIndexLargePositiveInteger;
  ObjectHeader* h = allocInEdenInline(tag, 0, bytes, isImmutableBit, 0);
  return h != nullptr ? h : allocSmallObj(tag, 0, bytes, isImmutableBit, 0);
}

// The SmallInteger of n magnitude bytes when the value fits one (-2^60 included).
static bool smallFromMagnitude(const uint8_t* p, uint64_t n, bool negative, oop* out) {
  if (n > 8) return false;
  uint64_t m = 0;
  memcpy(&m, p, n);
  if (m > (negative ? smallLimits[0] : smallLimits[0] - 1)) return false;
  *out = smallIntegerFor(negative ? int64_t(0 - m) : int64_t(m));
  return true;
}

// Normalises a fresh result: a SmallInteger when it fits; the object itself when no zero
// byte leads; cut in place when the rounded body (and so the size-field form) stays; else a
// copy. 0 when the copy cannot be allocated.
static oop normalise(ObjectHeader* h) {
  uint8_t* p = reinterpret_cast<uint8_t*>(bodyOf(h));
  bool negative = classTagOf(h) == classIndexLargeNegativeInteger;
  uint64_t old = byteSizeOf(h);
  uint64_t n = significantLength(p, old);
  oop small;
  if (smallFromMagnitude(p, n, negative, &small)) return small;
  if (n == old) return oopOf(h);
  if (roundedBodyBytes(n) == bodyBytesOf(h)) {
    setIndexability(h, uint32_t(roundedBodyBytes(n) - n));
    return oopOf(h);
  }
  ObjectHeader* copy = newLargeResult(negative, n);
  if (copy == nullptr) return 0;
  memcpy(bodyOf(copy), p, n);
  return oopOf(copy);
}

// The normalised integer of nd digits (a work record); 0 when no space.
static oop answerDigits(const uint32_t* d, uint64_t nd, bool negative) {
  const uint8_t* p = reinterpret_cast<const uint8_t*>(d);
  uint64_t n = significantLength(p, nd * 4);
  oop small;
  if (smallFromMagnitude(p, n, negative, &small)) return small;
  ObjectHeader* h = newLargeResult(negative, n);
  if (h == nullptr) return 0;
  memcpy(bodyOf(h), p, n);
  return oopOf(h);
}

// Answers are returned directly: the commit path's present form would serve a pending
// scavenge without keeping the fresh result where the scavenger updates it. Pending
// requests are served at the next check.
static oop answerOrFail(oop result) { return result != 0 ? result : fail(errGeneral); }

// ---- Compare, add, subtract, multiply ------------------------------------------------------

static int compareMagnitudes(const LargeOperand& x, const LargeOperand& y) {
  if (x.length != y.length) return x.length > y.length ? 1 : -1;
  for (uint64_t i = digitsIn(x.length); i-- > 0;) {
    uint32_t a = digitAt(x.bytes, i), b = digitAt(y.bytes, i);
    if (a != b) return a > b ? 1 : -1;
  }
  return 0;
}

static int compareValues(const LargeOperand& x, const LargeOperand& y) {
  if (x.negative != y.negative) return x.negative ? -1 : 1;
  int c = compareMagnitudes(x, y);
  return x.negative ? -c : c;
}

static oop addMagnitudes(const LargeOperand& x, const LargeOperand& y, bool negative) {
  const LargeOperand& lo = x.length >= y.length ? x : y;
  const LargeOperand& sh = x.length >= y.length ? y : x;
  ObjectHeader* h = newLargeResult(negative, lo.length + 1);
  if (h == nullptr) return 0;
  uint8_t* p = reinterpret_cast<uint8_t*>(bodyOf(h));
  uint64_t nl = digitsIn(lo.length), ns = digitsIn(sh.length), acc = 0, i = 0;
  for (; i < ns; i++, acc >>= 32) putDigit(p, i, uint32_t(acc += uint64_t(digitAt(lo.bytes, i)) + digitAt(sh.bytes, i)));
  for (; i < nl; i++, acc >>= 32) putDigit(p, i, uint32_t(acc += digitAt(lo.bytes, i)));
  if (acc != 0) putDigit(p, nl, uint32_t(acc));
  return normalise(h);
}

// |x| - |y| with x's sign (the opposite sign when |y| is larger).
static oop subtractMagnitudes(const LargeOperand& x, const LargeOperand& y) {
  int c = compareMagnitudes(x, y);
  if (c == 0) return smallIntegerFor(0);
  const LargeOperand& big = c > 0 ? x : y;
  const LargeOperand& small = c > 0 ? y : x;
  ObjectHeader* h = newLargeResult(c > 0 ? x.negative : !x.negative, big.length);
  if (h == nullptr) return 0;
  uint8_t* p = reinterpret_cast<uint8_t*>(bodyOf(h));
  uint64_t nb = digitsIn(big.length), ns = digitsIn(small.length);
  int64_t acc = 0;  // carries the borrow as -1 or 0
  for (uint64_t i = 0; i < nb; i++) {
    acc += int64_t(digitAt(big.bytes, i)) - (i < ns ? int64_t(digitAt(small.bytes, i)) : 0);
    putDigit(p, i, uint32_t(acc));
    acc >>= 32;
  }
  return normalise(h);
}

static oop addValues(const LargeOperand& x, const LargeOperand& y, bool subtract) {
  bool ySign = subtract ? !y.negative && y.length != 0 : y.negative;
  return x.negative == ySign || y.length == 0 ? addMagnitudes(x, y, x.negative) : subtractMagnitudes(x, y);
}

// Sized from the top bytes: one byte less when (top x + 1)(top y + 1) < 256.
static oop multiply(const LargeOperand& x, const LargeOperand& y) {
  if (x.length == 0 || y.length == 0) return smallIntegerFor(0);
  uint64_t n = x.length + y.length;
  if ((uint32_t(x.bytes[x.length - 1]) + 1) * (uint32_t(y.bytes[y.length - 1]) + 1) < 256) n--;
  ObjectHeader* h = newLargeResult(x.negative != y.negative, n);
  if (h == nullptr) return 0;
  uint8_t* p = reinterpret_cast<uint8_t*>(bodyOf(h));
  uint64_t nx = digitsIn(x.length), ny = digitsIn(y.length);
  for (uint64_t i = 0; i < nx; i++) {
    uint64_t xi = digitAt(x.bytes, i), carry = 0;
    if (xi == 0) continue;
    for (uint64_t j = 0; j < ny; j++) {
      uint64_t t = xi * digitAt(y.bytes, j) + digitAt(p, i + j) + carry;
      putDigit(p, i + j, uint32_t(t));
      carry = t >> 32;
    }
    if (carry != 0) putDigit(p, i + ny, uint32_t(carry));
  }
  return normalise(h);
}

// ---- Division ------------------------------------------------------------------------------

// Work records of the division, grown on demand and kept for later calls.
static uint32_t* workU;   // the shifted dividend, then the shifted remainder
static uint32_t* workV;   // the shifted divisor
static uint32_t* workQ;   // the quotient
static uint64_t workDigits;  // digits each record holds

static bool growWork(uint64_t digits) {
  if (digits <= workDigits) return true;
  uint64_t n = digits < 64 ? 64 : digits + digits / 2;
  uint32_t* u = static_cast<uint32_t*>(realloc(workU, n * 4));
  if (u != nullptr) workU = u;
  uint32_t* v = static_cast<uint32_t*>(realloc(workV, n * 4));
  if (v != nullptr) workV = v;
  uint32_t* q = static_cast<uint32_t*>(realloc(workQ, n * 4));
  if (q != nullptr) workQ = q;
  if (u == nullptr || v == nullptr || q == nullptr) return false;
  workDigits = n;
  return true;
}

struct Division {
  uint64_t quotientDigits;   // in workQ
  uint64_t remainderDigits;  // in workU
};

static int highBit(uint32_t d) { return 32 - __builtin_clz(d); }

// One quotient digit of Algorithm D at window j: estimate from the top two digits, correct
// with the next, multiply and subtract, add back once when that borrowed.
static uint32_t divideStep(uint32_t* un, const uint32_t* vn, uint64_t n, uint64_t j) {
  const uint64_t b = uint64_t(1) << 32;
  uint64_t top = (uint64_t(un[j + n]) << 32) | un[j + n - 1];
  uint64_t qhat = top / vn[n - 1], rhat = top % vn[n - 1];
  uint64_t third = n >= 2 ? un[j + n - 2] : 0, second = n >= 2 ? vn[n - 2] : 0;
  while (qhat >= b || qhat * second > ((rhat << 32) | third)) {
    qhat--;
    rhat += vn[n - 1];
    if (rhat >= b) break;
  }
  int64_t t = 0;
  uint64_t k = 0;
  for (uint64_t i = 0; i < n; i++) {
    uint64_t p = qhat * vn[i];
    t = int64_t(un[i + j]) - int64_t(k) - int64_t(p & 0xFFFFFFFF);
    un[i + j] = uint32_t(t);
    k = (p >> 32) - (t >> 32);
  }
  t = int64_t(un[j + n]) - int64_t(k);
  un[j + n] = uint32_t(t);
  if (t < 0) {  // the estimate was one too large: add the divisor back
    qhat--;
    uint64_t c = 0;
    for (uint64_t i = 0; i < n; i++) {
      c += uint64_t(un[i + j]) + vn[i];
      un[i + j] = uint32_t(c);
      c >>= 32;
    }
    un[j + n] += uint32_t(c);
  }
  return uint32_t(qhat);
}

// Divides magnitudes (v non-zero) into workQ and workU. False when the records cannot grow.
static bool divideMagnitudes(const LargeOperand& u, const LargeOperand& v, Division* out) {
  uint64_t nu = digitsIn(u.length), n = digitsIn(v.length);
  if (!growWork(nu + 2)) return false;
  for (uint64_t i = 0; i < nu; i++) workU[i] = digitAt(u.bytes, i);
  if (compareMagnitudes(u, v) < 0) {
    out->quotientDigits = 0;
    out->remainderDigits = nu;
    return true;
  }
  uint64_t m = nu - n;
  if (n == 1) {
    uint64_t d = digitAt(v.bytes, 0), rem = 0;
    for (uint64_t i = nu; i-- > 0;) {
      uint64_t t = (rem << 32) | workU[i];
      workQ[i] = uint32_t(t / d);
      rem = t % d;
    }
    workU[0] = uint32_t(rem);
    *out = {nu, 1};
    return true;
  }
  int s = 32 - highBit(digitAt(v.bytes, n - 1));
  for (uint64_t i = n; i-- > 0;)
    workV[i] = (digitAt(v.bytes, i) << s) | (s != 0 && i > 0 ? digitAt(v.bytes, i - 1) >> (32 - s) : 0);
  workU[nu] = s != 0 ? workU[nu - 1] >> (32 - s) : 0;
  for (uint64_t i = nu; i-- > 0;) workU[i] = (workU[i] << s) | (s != 0 && i > 0 ? workU[i - 1] >> (32 - s) : 0);
  for (uint64_t j = m + 1; j-- > 0;) workQ[j] = divideStep(workU, workV, n, j);
  for (uint64_t i = 0; i < n; i++) workU[i] = (workU[i] >> s) | (s != 0 ? workU[i + 1] << (32 - s) : 0);
  *out = {m + 1, n};
  return true;
}

enum DivideAnswer { wantQuotient, wantRemainder, wantExactQuotient };

static oop divide(oop receiver, oop argument, DivideAnswer want, bool sameSignsOnly) {
  LargeOperand u, v;
  viewLarge(receiver, &u);
  if (!viewArgument(argument, &v)) return fail(errBadArgument);
  if (sameSignsOnly && u.negative != v.negative) return fail(errGeneral);
  if (v.length == 0) return fail(errGeneral);
  Division d;
  if (!divideMagnitudes(u, v, &d)) return fail(errGeneral);
  if (want == wantRemainder) return answerOrFail(answerDigits(workU, d.remainderDigits, u.negative));
  if (want == wantExactQuotient && significantLength(reinterpret_cast<uint8_t*>(workU), d.remainderDigits * 4) != 0)
    return fail(errGeneral);
  return answerOrFail(answerDigits(workQ, d.quotientDigits, u.negative != v.negative));
}

// ---- Bit operations and shifts -------------------------------------------------------------

enum BitOp { bitAnd, bitOr, bitXor };

// Two's complement digit by digit, bottom up: digits below the lowest non-zero one stay 0,
// that one is negated, every higher one complemented. The same rule turns a negative
// result's digits back into its magnitude.
static inline uint32_t complementDigit(uint32_t d, bool negative, bool* seenNonZero) {
  if (!negative) return d;
  if (*seenNonZero) return ~d;
  if (d != 0) *seenNonZero = true;
  return 0u - d;
}

static oop bitOperation(const LargeOperand& x, const LargeOperand& y, BitOp op) {
  bool negative = op == bitAnd ? x.negative && y.negative
                  : op == bitOr ? x.negative || y.negative
                                : x.negative != y.negative;
  uint64_t n = (x.length > y.length ? x.length : y.length) + 1;
  ObjectHeader* h = newLargeResult(negative, n);
  if (h == nullptr) return 0;
  uint8_t* p = reinterpret_cast<uint8_t*>(bodyOf(h));
  bool seenX = false, seenY = false, seenResult = false;
  for (uint64_t i = 0, nd = digitsIn(n); i < nd; i++) {
    uint32_t a = complementDigit(operandDigit(x, i), x.negative, &seenX);
    uint32_t b = complementDigit(operandDigit(y, i), y.negative, &seenY);
    uint32_t c = op == bitAnd ? a & b : op == bitOr ? a | b : a ^ b;
    putDigit(p, i, complementDigit(c, negative, &seenResult));
  }
  return normalise(h);
}

static uint64_t bitLength(const LargeOperand& v) {
  return v.length == 0 ? 0 : 8 * (v.length - 1) + uint64_t(highBit(v.bytes[v.length - 1]));
}

static oop shiftRight(const LargeOperand& x, uint64_t s) {
  uint64_t bits = bitLength(x);
  if (s >= bits) return smallIntegerFor(0);
  ObjectHeader* h = newLargeResult(x.negative, (bits - s + 7) / 8);
  if (h == nullptr) return 0;
  uint8_t* p = reinterpret_cast<uint8_t*>(bodyOf(h));
  uint64_t ds = s / 32, bs = s % 32;
  for (uint64_t i = 0, nd = digitsIn((bits - s + 7) / 8); i < nd; i++) {
    uint64_t pair = operandDigit(x, i + ds) | (uint64_t(operandDigit(x, i + ds + 1)) << 32);
    putDigit(p, i, uint32_t(pair >> bs));
  }
  return normalise(h);
}

static oop shiftLeft(const LargeOperand& x, uint64_t s) {
  uint64_t bytes = (bitLength(x) + s + 7) / 8;
  ObjectHeader* h = newLargeResult(x.negative, bytes);
  if (h == nullptr) return 0;
  uint8_t* p = reinterpret_cast<uint8_t*>(bodyOf(h));
  uint64_t ds = s / 32, bs = s % 32;
  for (uint64_t i = 0, nx = digitsIn(x.length); i <= nx; i++) {
    uint64_t pair = (uint64_t(operandDigit(x, i)) << 32) | (i > 0 ? operandDigit(x, i - 1) : 0);
    uint32_t d = uint32_t(pair >> (32 - bs));
    if (d != 0) putDigit(p, i + ds, d);
  }
  return normalise(h);
}

// ---- Greatest common divisor ---------------------------------------------------------------

static uint64_t gcdWords(uint64_t a, uint64_t b) {
  while (b != 0) {
    uint64_t m = a % b;
    a = b;
    b = m;
  }
  return a;
}

// A working magnitude of the gcd: digits in a private buffer, n significant ones.
struct GcdNumber {
  uint32_t* d;  // little-endian digits; the buffer holds the larger operand and one more
  uint64_t n;   // significant digits (0 for the value 0)
};

static void trimNumber(GcdNumber* v) {
  while (v->n != 0 && v->d[v->n - 1] == 0) v->n--;
}
static uint64_t numberBits(const GcdNumber& v) {
  return v.n == 0 ? 0 : 32 * (v.n - 1) + uint64_t(highBit(v.d[v.n - 1]));
}
static int compareNumbers(const GcdNumber& x, const GcdNumber& y) {
  if (x.n != y.n) return x.n > y.n ? 1 : -1;
  for (uint64_t i = x.n; i-- > 0;)
    if (x.d[i] != y.d[i]) return x.d[i] > y.d[i] ? 1 : -1;
  return 0;
}
static uint64_t trailingZeroBits(const GcdNumber& v) {
  uint64_t i = 0;
  while (i < v.n && v.d[i] == 0) i++;
  return i == v.n ? 0 : 32 * i + uint64_t(__builtin_ctz(v.d[i]));
}
static void shiftNumberRight(GcdNumber* v, uint64_t s) {
  uint64_t ds = s / 32, bs = s % 32;
  if (s == 0) return;
  for (uint64_t i = 0; i + ds < v->n; i++) {
    uint64_t pair = v->d[i + ds] | (i + ds + 1 < v->n ? uint64_t(v->d[i + ds + 1]) << 32 : 0);
    v->d[i] = uint32_t(pair >> bs);
  }
  for (uint64_t i = v->n > ds ? v->n - ds : 0; i < v->n; i++) v->d[i] = 0;
  trimNumber(v);
}
static uint64_t stripTrailingZeros(GcdNumber* v) {
  uint64_t t = trailingZeroBits(*v);
  shiftNumberRight(v, t);
  return t;
}
static void subtractNumbers(GcdNumber* x, const GcdNumber& y) {  // x >= y
  int64_t acc = 0;
  for (uint64_t i = 0; i < x->n; i++) {
    acc += int64_t(x->d[i]) - (i < y.n ? int64_t(y.d[i]) : 0);
    x->d[i] = uint32_t(acc);
    acc >>= 32;
  }
  trimNumber(x);
}
// The 32 bits of v from bit o up.
static uint32_t bitsAt(const GcdNumber& v, uint64_t o) {
  uint64_t i = o / 32, s = o % 32;
  uint64_t pair = (i < v.n ? v.d[i] : 0) | (i + 1 < v.n ? uint64_t(v.d[i + 1]) << 32 : 0);
  return uint32_t(pair >> s);
}

// One Lehmer step: the cofactors of the leading 30 bits, applied to both numbers at once.
// False when it makes no progress (the binary step takes over).
static bool lehmerStep(GcdNumber* x, GcdNumber* y) {
  uint64_t b = numberBits(*x), o = b < 31 ? 0 : b - 30;
  int64_t xh = bitsAt(*x, o), yh = bitsAt(*y, o);
  if (yh == 0 || yh == 0xFFFFFFFF) return false;
  int64_t A = 1, B = 0, C = 0, D = 1;
  while (yh + C != 0 && yh + D != 0) {
    int64_t q = (xh + A) / (yh + C);
    if (q != (xh + B) / (yh + D)) break;
    int64_t nc = A - q * C, nd = B - q * D, ny = xh - q * yh;
    A = C, B = D, C = nc, D = nd, xh = yh, yh = ny;
  }
  if (B == 0) return false;
  int64_t cx = 0, cy = 0;  // signed carries; the cofactors stay below 2^31
  for (uint64_t i = 0; i < x->n; i++) {
    int64_t xi = x->d[i], yi = i < y->n ? y->d[i] : 0;
    cx += A * xi + B * yi;
    cy += C * xi + D * yi;
    x->d[i] = uint32_t(cx);
    y->d[i] = uint32_t(cy);
    cx >>= 32;
    cy >>= 32;
  }
  assert(cx == 0 && cy == 0);  // a unimodular step keeps both non-negative
  y->n = x->n;
  trimNumber(x);
  trimNumber(y);
  return true;
}

// Subtractions of odd numbers until their lengths are within 10 bits (or y is 0).
static void binaryStep(GcdNumber* x, GcdNumber* y) {
  do {
    stripTrailingZeros(x);
    stripTrailingZeros(y);
    if (compareNumbers(*x, *y) < 0) std::swap(*x, *y);
    subtractNumbers(x, *y);
    stripTrailingZeros(x);
    if (compareNumbers(*x, *y) < 0) std::swap(*x, *y);
  } while (y->n != 0 && numberBits(*x) - numberBits(*y) > 10);
}

// The gcd of two magnitudes on private copies: the common power of two taken out, Lehmer
// steps while they make progress, binary steps otherwise, 32-bit Euclid at the end. Answers
// the non-negative gcd (the argument itself when it is non-negative and evidently the gcd),
// or 0 with *code set: 1 when the copies cannot be made.
static oop gcdMagnitudes(const LargeOperand& r, const LargeOperand& a, oop argument, uint32_t* code) {
  uint64_t cap = (r.length > a.length ? digitsIn(r.length) : digitsIn(a.length)) + 2;
  GcdNumber x{static_cast<uint32_t*>(calloc(cap, 4)), digitsIn(r.length)};
  GcdNumber y{static_cast<uint32_t*>(calloc(cap, 4)), digitsIn(a.length)};
  uint32_t* buffers[2] = {x.d, y.d};
  oop answer = 0;
  *code = errNoSpace;
  if (x.d != nullptr && y.d != nullptr) {
    *code = errGeneral;
    memcpy(x.d, r.bytes, r.length);
    memcpy(y.d, a.bytes, a.length);
    uint64_t t1 = stripTrailingZeros(&x), t2 = stripTrailingZeros(&y), common = t1 < t2 ? t1 : t2;
    if (t1 > t2 && !a.negative && compareNumbers(x, y) == 0) {
      answer = argument;
    } else {
      if (compareNumbers(x, y) < 0) std::swap(x, y);
      while (y.n != 0) {
        if (x.n <= 1) {
          x.d[0] = uint32_t(gcdWords(x.d[0], y.d[0]));
          break;
        }
        if (!lehmerStep(&x, &y)) binaryStep(&x, &y);
        if (compareNumbers(x, y) < 0) std::swap(x, y);
      }
      GcdNumber g{static_cast<uint32_t*>(calloc(x.n + common / 32 + 2, 4)), 0};
      if (g.d != nullptr) {
        for (uint64_t i = 0; i < x.n; i++) {
          uint64_t w = uint64_t(x.d[i]) << (common % 32);
          g.d[i + common / 32] |= uint32_t(w);
          g.d[i + common / 32 + 1] |= uint32_t(w >> 32);
        }
        answer = answerDigits(g.d, x.n + common / 32 + 2, false);
        free(g.d);
      }
    }
  }
  free(buffers[0]);
  free(buffers[1]);
  return answer;
}

// ---- The primitives ------------------------------------------------------------------------

typedef oop (*LargeIntPrim)(oop, oop);

// Receiver and argument views for the arithmetic and comparison primitives.
static bool viewBoth(oop receiver, oop argument, LargeOperand* r, LargeOperand* a, oop* failure) {
  if (!isLargeInteger(receiver)) {
    *failure = fail(errGeneral);
    return false;
  }
  viewLarge(receiver, r);
  if (viewArgument(argument, a)) return true;
  *failure = fail(errBadArgument);
  return false;
}

#define BINARY_PRIM(name, expression)                       \
  static oop name(oop receiver, oop argument) {             \
    LargeOperand r, a;                                      \
    oop failure;                                            \
    if (!viewBoth(receiver, argument, &r, &a, &failure)) return failure; \
    return expression;                                      \
  }

BINARY_PRIM(primLargeAdd, answerOrFail(addValues(r, a, false)))
BINARY_PRIM(primLargeSubtract, answerOrFail(addValues(r, a, true)))
BINARY_PRIM(primLargeLess, booleanOop(compareValues(r, a) < 0))
BINARY_PRIM(primLargeGreater, booleanOop(compareValues(r, a) > 0))
BINARY_PRIM(primLargeLessEqual, booleanOop(compareValues(r, a) <= 0))
BINARY_PRIM(primLargeGreaterEqual, booleanOop(compareValues(r, a) >= 0))
BINARY_PRIM(primLargeEqual, booleanOop(compareValues(r, a) == 0))
BINARY_PRIM(primLargeNotEqual, booleanOop(compareValues(r, a) != 0))
BINARY_PRIM(primLargeMultiply, answerOrFail(multiply(r, a)))
BINARY_PRIM(primLargeOr, answerOrFail(bitOperation(r, a, bitOr)))
BINARY_PRIM(primLargeXor, answerOrFail(bitOperation(r, a, bitXor)))

static oop checkedDivide(oop receiver, oop argument, DivideAnswer want, bool sameSignsOnly) {
  if (!isLargeInteger(receiver)) return fail(errGeneral);
  return divide(receiver, argument, want, sameSignsOnly);
}
static oop primLargeDivide(oop r, oop a) { return checkedDivide(r, a, wantExactQuotient, false); }
static oop primLargeModulo(oop r, oop a) { return checkedDivide(r, a, wantRemainder, true); }
static oop primLargeFlooredDivide(oop r, oop a) { return checkedDivide(r, a, wantQuotient, true); }
static oop primLargeQuo(oop r, oop a) { return checkedDivide(r, a, wantQuotient, false); }

// A LargePositiveInteger AND a non-negative SmallInteger needs only the low 64 bits.
static oop primLargeAnd(oop receiver, oop argument) {
  LargeOperand r, a;
  oop failure;
  if (!viewBoth(receiver, argument, &r, &a, &failure)) return failure;
  if (!r.negative && isSmallInteger(argument) && !a.negative) {
    uint64_t low = operandDigit(r, 0) | (uint64_t(operandDigit(r, 1)) << 32);
    return smallIntegerFor(int64_t(low & uint64_t(smallIntegerValue(argument))));
  }
  return answerOrFail(bitOperation(r, a, bitAnd));
}

static oop primLargeShift(oop receiver, oop argument) {
  if (!isLargeInteger(receiver) || !isSmallInteger(argument)) return fail(errGeneral);
  int64_t k = smallIntegerValue(argument);
  if (k == 0) return receiver;
  LargeOperand r;
  viewLarge(receiver, &r);
  if (k < 0) return r.negative ? fail(errGeneral) : answerOrFail(shiftRight(r, 0 - uint64_t(k)));
  return answerOrFail(shiftLeft(r, uint64_t(k)));
}

// The argument must be a SmallInteger or of the receiver's own class; a SmallInteger 0
// answers |receiver|. The answer is never negative.
static oop primLargeGcd(oop receiver, oop argument) {
  if (!isLargeInteger(receiver)) return fail(errGeneral);
  if (!isSmallInteger(argument) &&
      !(isLargeInteger(argument) && classTagOf(headerOf(argument)) == classTagOf(headerOf(receiver))))
    return fail(errBadArgument);
  LargeOperand r{}, a{};
  viewLarge(receiver, &r);
  viewArgument(argument, &a);
  uint32_t code;
  if (a.length == 0) return answerOrFail(answerDigits(reinterpret_cast<const uint32_t*>(r.bytes), digitsIn(r.length), false));
  oop answer = gcdMagnitudes(r, a, argument, &code);
  return answer != 0 ? answer : fail(code);
}

// SmallIntegers only; the answer 2^60 (gcd of -2^60 with 0 or itself) has no SmallInteger.
static oop primSmallGcd(oop receiver, oop argument) {
  if (!isSmallInteger(argument)) return fail(errBadArgument);
  if (!isSmallInteger(receiver)) return fail(errGeneral);
  int64_t r = smallIntegerValue(receiver), a = smallIntegerValue(argument);
  uint64_t g = gcdWords(r < 0 ? 0 - uint64_t(r) : uint64_t(r), a < 0 ? 0 - uint64_t(a) : uint64_t(a));
  return g > uint64_t(smallIntegerMax) ? fail(errGeneral) : smallIntegerFor(int64_t(g));
}

static const LargeIntPrim largeIntPrims[] = {
    primLargeAdd,       primLargeSubtract,     primLargeLess,  primLargeGreater,
    primLargeLessEqual, primLargeGreaterEqual, primLargeEqual, primLargeNotEqual,
    primLargeMultiply,  primLargeDivide,       primLargeModulo, primLargeFlooredDivide,
    primLargeQuo,       primLargeAnd,          primLargeOr,    primLargeXor,
    primLargeShift,     primLargeGcd,          primSmallGcd};
static_assert(sizeof largeIntPrims / sizeof largeIntPrims[0] == 39 - 21 + 1, "primitives 21..39");

void initLargeIntPrims() {
  for (int i = 0; i < 8; i++) smallLimits[i] = (uint64_t(1) << 60) >> (8 * i);
  for (uint32_t i = 0; i < 19; i++) addCPrimitive(21 + i, reinterpret_cast<const void*>(largeIntPrims[i]), 1);
}
