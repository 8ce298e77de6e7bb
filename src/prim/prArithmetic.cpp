// Primitives: SmallInteger arithmetic, comparison, bit and shift operations (1-18, 55-58).
// Owns no global record.
// Prefix: none (initArithmeticPrims).
#include "prim/prArithmetic.h"

#include "ext/exPrimTable.h"
#include "mman/mmAllocate.h"
#include "mman/mmCValue.h"
#include "mman/mmNewSpace.h"
#include "mman/mmPrimUtil.h"
#include "mman/mmRt.h"
#include "mman/mmSysOop.h"

// The receiver is taken on trust: the image binds these primitives to SmallInteger methods
// only. Every primitive but 18 checks its argument first. A SmallInteger oop is v*8 + 3, so
// tagged words compare, AND and OR exactly as their values do.

static const char arithmeticSource[] = "src/prim/prArithmetic";

enum : uint32_t { errGeneral = 0, errNoSpace = 1, errBadArgument = 3 };
enum : uint64_t { rangeBias = uint64_t(1) << 60, rangeSpan = uint64_t(1) << 61 };

static oop fail(uint32_t code) { return failPrimitive(primErrorAt(code), 1); }
static inline bool inRange(int64_t v) { return uint64_t(v) + rangeBias < rangeSpan; }
static inline int64_t valueOf(oop o) { return smallIntegerValue(o); }
// Sign as the sign bit: 0 counts as non-negative.
static inline bool signsDiffer(int64_t r, int64_t a) { return (r ^ a) < 0; }

// ---- add, subtract, compare -----------------------------------------------------------

static oop primAdd(oop r, oop a) {
  if (!isSmallInteger(a)) return fail(errBadArgument);
  int64_t s = valueOf(r) + valueOf(a);
  return inRange(s) ? smallIntegerFor(s) : fail(errGeneral);
}
static oop primSubtract(oop r, oop a) {
  if (!isSmallInteger(a)) return fail(errBadArgument);
  int64_t s = valueOf(r) - valueOf(a);
  return inRange(s) ? smallIntegerFor(s) : fail(errGeneral);
}

#define COMPARE_PRIM(name, op)                                   \
  static oop name(oop r, oop a) {                                \
    if (!isSmallInteger(a)) return fail(errBadArgument);         \
    return booleanOop(int64_t(r) op int64_t(a));                 \
  }
COMPARE_PRIM(primLess, <)
COMPARE_PRIM(primGreater, >)
COMPARE_PRIM(primLessOrEqual, <=)
COMPARE_PRIM(primGreaterOrEqual, >=)
COMPARE_PRIM(primEqual, ==)
COMPARE_PRIM(primNotEqual, !=)
#undef COMPARE_PRIM

// ---- multiply and divide --------------------------------------------------------------

// One multiply when both are non-negative and below 2^30; otherwise the product is formed
// only when |y| <= 2^60 / |x| says it cannot leave 64 bits, then range-checked.
static oop primMultiply(oop r, oop a) {
  if (!isSmallInteger(a)) return fail(errBadArgument);
  int64_t x = valueOf(a), y = valueOf(r);
  if (uint64_t(x | y) <= (uint64_t(1) << 30) - 1) return smallIntegerFor(x * y);
  if (x == 0) return smallIntegerFor(0);
  int64_t ax = x < 0 ? -x : x, ay = y < 0 ? -y : y;
  if (ay > int64_t(rangeBias) / ax) return fail(errGeneral);
  int64_t p = x * y;
  return inRange(p) ? smallIntegerFor(p) : fail(errGeneral);
}

static oop primDivideExact(oop r, oop a) {
  if (!isSmallInteger(a) || valueOf(a) == 0) return fail(errBadArgument);
  int64_t x = valueOf(r), y = valueOf(a);
  int64_t q = x / y;
  if (x % y != 0 || q > smallIntegerMax) return fail(errGeneral);
  return smallIntegerFor(q);
}

static oop primModulo(oop r, oop a) {
  if (!isSmallInteger(a) || valueOf(a) == 0) return fail(errBadArgument);
  int64_t x = valueOf(r), y = valueOf(a);
  int64_t m = x % y;
  if (!signsDiffer(x, y) || m == 0) return smallIntegerFor(m);
  return smallIntegerFor(m + y);
}

// With opposite signs the dividend is moved one divisor further from zero (less one) so
// that the truncating division rounds toward minus infinity.
static oop primDivideFloored(oop r, oop a) {
  if (!isSmallInteger(a) || valueOf(a) == 0) return fail(errBadArgument);
  int64_t x = valueOf(r), y = valueOf(a);
  if (signsDiffer(x, y)) x = x < 0 ? x + 1 - y : x - 1 - y;
  int64_t q = x / y;
  return inRange(q) ? smallIntegerFor(q) : fail(errGeneral);
}

static oop primDivideTruncated(oop r, oop a) {
  if (!isSmallInteger(a) || valueOf(a) == 0) return fail(errBadArgument);
  int64_t q = valueOf(r) / valueOf(a);
  return q <= smallIntegerMax ? smallIntegerFor(q) : fail(errGeneral);
}

// ---- bits and shifts ------------------------------------------------------------------

static oop primAnd(oop r, oop a) { return isSmallInteger(a) ? r & a : fail(errBadArgument); }
static oop primOr(oop r, oop a) { return isSmallInteger(a) ? r | a : fail(errBadArgument); }
static oop primXor(oop r, oop a) { return isSmallInteger(a) ? (r ^ a) | oopTagSmallInteger : fail(errBadArgument); }

// A right shift of more than 60 bits leaves only the sign.
static oop shiftRight(int64_t r, int64_t k) {
  if (k < -60) return smallIntegerFor(r < 0 ? -1 : 0);
  return smallIntegerFor(r >> -k);
}

static oop primShift(oop r, oop a) {
  if (!isSmallInteger(a)) return fail(errBadArgument);
  int64_t k = valueOf(a), x = valueOf(r);
  if (k < 0) return shiftRight(x, k);
  if (k >= 60) return x == 0 ? r : fail(errBadArgument);
  int64_t word = int64_t(r - oopTagSmallInteger);  // x * 8
  int64_t shifted = int64_t(uint64_t(word) << k);
  if (shifted >> k != word) return fail(errBadArgument);
  return oop(shifted) + oopTagSmallInteger;
}

// ---- answers that allocate ------------------------------------------------------------

// Eden's bump pointer first; the general allocator when eden is full (nothing is left
// half-made: the inline form changes nothing when it does not fit).
static ObjectHeader* newObject(uint32_t classTag, int64_t namedSlots, uint64_t bytes, uint64_t flags, uint64_t fill) {
  ObjectHeader* h = allocInEdenInline(classTag, namedSlots, bytes, flags, fill);
  return h != nullptr ? h : allocSmallObj(classTag, namedSlots, bytes, flags, fill);
}

static oop primMakePair(oop r, oop a) {
  uint32_t tag = hashOf(headerOf(sysOop(sysPointClass)));  // a class's hash is its index
  ObjectHeader* h = newObject(tag, 2, 16, hasPtrsBit, nilOop());
  if (h == nullptr) return fail(errNoSpace);
  bodyOf(h)[0] = r;
  storeCheck(h, r, arithmeticSource, __LINE__);
  bodyOf(h)[1] = a;
  storeCheck(h, a, arithmeticSource, __LINE__);
  return oopOf(h);
}

static oop largeOrFail(int64_t v) {
  oop o = cSignedToOop(v);
  return o != 0 ? o : fail(errNoSpace);
}
static oop primAddLarge(oop r, oop a) {
  return isSmallInteger(a) ? largeOrFail(valueOf(r) + valueOf(a)) : fail(errBadArgument);
}
// Argument minus receiver.
static oop primSubtractLarge(oop r, oop a) {
  return isSmallInteger(a) ? largeOrFail(valueOf(a) - valueOf(r)) : fail(errBadArgument);
}

// |r| * 2^k into a new immutable LargeInteger of ceil((L + k) / 8) bytes, L the bit length
// of |r|; the answer is not normalised further (a negative magnitude of exactly 2^60 stays
// large). The magnitude's bytes start at byte k / 8; the bytes below are zero.
static oop shiftLeftLarge(int64_t r, int64_t k) {
  uint64_t m = r < 0 ? 0 - uint64_t(r) : uint64_t(r);
  uint64_t bitLength = 64 - uint64_t(__builtin_clzll(m));
  if (bitLength + uint64_t(k) < 61) return smallIntegerFor(int64_t(m << k) * (r < 0 ? -1 : 1));
  uint64_t n = (bitLength + uint64_t(k) + 7) / 8;
  uint32_t tag = r < 0 ? classIndexLargeNegativeInteger : classIndexLargePositiveInteger;
  ObjectHeader* h = newObject(tag, 0, n, isImmutableBit, 0);
  if (h == nullptr) return failPrimitive(cloneErrorWith(primErrorAt(errNoSpace), smallIntegerFor(int64_t(n))), 1);
  unsigned __int128 shifted = (unsigned __int128)m << (k % 8);
  uint8_t* bytes = reinterpret_cast<uint8_t*>(bodyOf(h));
  for (uint64_t i = uint64_t(k) / 8; i < n; i++, shifted >>= 8) bytes[i] = uint8_t(shifted);
  return oopOf(h);
}

static oop primShiftLarge(oop r, oop a) {
  if (!isSmallInteger(a)) return fail(errBadArgument);
  int64_t k = valueOf(a), x = valueOf(r);
  if (x == 0) return r;
  if (k < 0) return shiftRight(x, k);
  return shiftLeftLarge(x, k);
}

// ---- registration ---------------------------------------------------------------------

#define ARITHMETIC_PRIMS(X)                                                                   \
  X(1, primAdd) X(2, primSubtract) X(3, primLess) X(4, primGreater) X(5, primLessOrEqual)     \
  X(6, primGreaterOrEqual) X(7, primEqual) X(8, primNotEqual) X(9, primMultiply)              \
  X(10, primDivideExact) X(11, primModulo) X(12, primDivideFloored) X(13, primDivideTruncated) \
  X(14, primAnd) X(15, primOr) X(16, primXor) X(17, primShift) X(18, primMakePair)            \
  X(55, primAddLarge) X(56, primSubtractLarge) X(57, primMultiply) X(58, primShiftLarge)

void initArithmeticPrims() {
#define REGISTER(number, function) addCPrimitive(number, reinterpret_cast<const void*>(function), 1);
  ARITHMETIC_PRIMS(REGISTER)
#undef REGISTER
}
