// Object memory: object references (oops), the 16-byte object header and identity hashes.
// Owns oldNewSpaceBoundary and permSpaceAbsorbed (defined in mmObject.cpp).
// Prefix: none (getObjHash, loadSmallDoubleFromOop; inline accessors named after the field).
#pragma once
#include <cstdint>
#include <cstring>

// An oop is one 64-bit word; its low three bits are the tag:
//
//   63                                              3  2  1  0
//  +-------------------------------------------------+--+--+--+
//  | header address >> 3                              | 0  0  0 |  heap object
//  | value (two's complement, 61 bits)                | 0  1  1 |  SmallInteger  v*8+3
//  | code point                                       | 0  0  1 |  Character     c*8+1
//  | re-biased exponent and mantissa (60 bits) | sign | 1  0  1 |  SmallDouble
//  +-------------------------------------------------+--+--+--+
//
// Bit 0 set means immediate (no header); of the immediates only SmallInteger has bit 1 set.
// The class of an immediate is slot (oop & 7) of class-table page 0.
typedef uint64_t oop;

enum : uint64_t {
  oopTagMask = 7,
  oopTagObject = 0,
  oopTagCharacter = 1,
  oopTagSmallInteger = 3,
  oopTagSmallDouble = 5,
};

static constexpr int64_t smallIntegerMin = -(int64_t(1) << 60);
static constexpr int64_t smallIntegerMax = (int64_t(1) << 60) - 1;

inline bool isImmediate(oop o) { return (o & 1) != 0; }
inline bool isHeapObject(oop o) { return (o & oopTagMask) == 0; }
inline bool isSmallInteger(oop o) { return (o & oopTagMask) == oopTagSmallInteger; }
inline bool isCharacter(oop o) { return (o & oopTagMask) == oopTagCharacter; }
inline bool isSmallDouble(oop o) { return (o & oopTagMask) == oopTagSmallDouble; }

inline bool fitsSmallInteger(int64_t v) { return v >= smallIntegerMin && v <= smallIntegerMax; }
// v must fit (fitsSmallInteger); the shift is done unsigned so that negatives are defined.
inline oop smallIntegerFor(int64_t v) { return (uint64_t(v) << 3) | oopTagSmallInteger; }
inline int64_t smallIntegerValue(oop o) { return int64_t(o) >> 3; }
inline oop characterFor(uint64_t codePoint) { return (codePoint << 3) | oopTagCharacter; }
inline uint64_t characterValue(oop o) { return o >> 3; }

// SmallDouble: a double whose magnitude bits m (sign cleared) lie in
// [smallDoubleMinMagnitude, smallDoubleMaxMagnitude] (biased exponents 896..1151), or a zero.
//
//   63                                            4    3     2..0
//  +-----------------------------------------------+------+-------+
//  | low 60 bits of m - 0x3800000000000000          | sign |  101  |
//  +-----------------------------------------------+------+-------+
//
// +0.0 is the oop 5 and -0.0 the oop 13; every other double is boxed (class index 25).
enum : uint64_t {
  doubleSignBit = uint64_t(1) << 63,
  smallDoubleMinMagnitude = 0x3800000000000001ull,
  smallDoubleMaxMagnitude = 0x47FFFFFFFFFFFFFFull,
  smallDoubleRebias = 0xC800000000000000ull,   // adds -0x3800000000000000 modulo 2^64
  smallDoubleUnbias = 0x3800000000000000ull,
  smallDoubleSignedZeroMax = 13,
};

inline uint64_t doubleBits(double d) {
  uint64_t b;
  memcpy(&b, &d, 8);
  return b;
}
inline double doubleFromBits(uint64_t b) {
  double d;
  memcpy(&d, &b, 8);
  return d;
}
// 1 when d has an immediate form.
inline bool fitsSmallDouble(double d) {
  uint64_t m = doubleBits(d) & ~doubleSignBit;
  return m == 0 || (m >= smallDoubleMinMagnitude && m <= smallDoubleMaxMagnitude);
}
// d must fit (fitsSmallDouble).
inline oop smallDoubleFor(double d) {
  uint64_t b = doubleBits(d);
  if ((b & ~doubleSignBit) == 0) return ((b >> 60) & 8) | oopTagSmallDouble;
  return ((b >> 60) & 8) | ((b + smallDoubleRebias) << 4) | oopTagSmallDouble;
}
inline double loadSmallDoubleFromOop(oop o) {
  if (o <= smallDoubleSignedZeroMax) return doubleFromBits((o & 8) << 60);
  return doubleFromBits(((o >> 4) + smallDoubleUnbias) | ((o & 8) << 60));
}

// The object header, 16 bytes at the address an object oop holds.
//
//  +0  u64 dataPtr: address of the first body word; low 2 bits non-zero only while a
//      collector has forwarded the object (2: the value less its tag is the new header,
//      1: forwarded otherwise); collectors may use bit 0 as a transient mark.
//  +8  u64 flags:
//
//   63   62   61        42 41        34  33   32  31     24  23  22  21  20  19       0
//  +----+----+------------+------------+----+----+---------+---+---+---+---+----------+
//  |ptrs|perm|    hash    |indexability|mark|immu|sizeField|eph|gcs|rt |ort| classTag |
//  +----+----+------------+------------+----+----+---------+---+---+---+---+----------+
//
//   classTag          class index; 0 only in new-space fillers and freed entries
//   isInOldRt (ort)   a perm object recorded in the old remembered table
//   inRt (rt)         an object recorded in the remembered table
//   isGCSpecial (gcs) pointer slots are weak; with ephemeronNotWeak an ephemeron
//   sizeField         0..251 body words; 252 extended, 253 body in large space, 254 body
//                     in fixed space (for these three the word before the body holds the
//                     body's byte count)
//   isImmutable       stores fail (failure code 23)
//   isMarked          mark bit of the global and incremental collectors
//   indexability      pointer objects: named slots, 255 = ask the class format;
//                     byte objects: unused bytes of the last body word, 0..7
//   hash              identity hash, 0 = not yet assigned
//   isPerm            lives in perm space
//   hasPtrs           the body holds oops
//
// Bits 32-63 are also handled as a u32 at +12 (hash bits 10-29, isPerm 30, hasPtrs 31).
struct ObjectHeader {
  uint64_t dataPtr;  // body address (bytes); low 2 bits = forwarding tag while collecting
  uint64_t flags;    // the bit fields drawn above
};
static_assert(sizeof(ObjectHeader) == 16, "an object header is 16 bytes");

enum : uint64_t {
  classTagMask = 0xFFFFF,
  isInOldRtBit = uint64_t(1) << 20,
  inRtBit = uint64_t(1) << 21,
  isGCSpecialBit = uint64_t(1) << 22,
  ephemeronNotWeakBit = uint64_t(1) << 23,
  sizeFieldShift = 24,
  sizeFieldMask = uint64_t(0xFF) << 24,
  isImmutableBit = uint64_t(1) << 32,
  isMarkedBit = uint64_t(1) << 33,
  indexabilityShift = 34,
  indexabilityMask = uint64_t(0xFF) << 34,
  hashShift = 42,
  hashMask = uint64_t(0xFFFFF) << 42,
  isPermBit = uint64_t(1) << 62,
  hasPtrsBit = uint64_t(1) << 63,
  fillerWordsShift = 20,  // a filler keeps its following word count in bits 20-63
  forwardTagMask = 3,
  forwardedWithBody = 2,
  forwardedOther = 1,
};

enum : uint32_t {
  maxInlineBodyWords = 251,     // largest body counted in sizeField
  maxInlineBodyBytes = 2008,
  sizeFieldExtended = 252,
  sizeFieldLarge = 253,
  sizeFieldFixed = 254,
  indexabilityAskClass = 255,
  identityHashBits = 20,
  identityHashMax = 0xFFFFF,    // also the answer of maximumIdentityHashValue
  identityHashStep = 648019,
  objectHeaderBytes = 16,
};

// Where objects live. A heap header address below oldNewSpaceBoundary is a new-space object;
// at or above it old or perm (perm when isPerm is set and perm space is not absorbed).
extern uint64_t oldNewSpaceBoundary;  // byte address: first address above new space
extern uint32_t permSpaceAbsorbed;    // 1 once perm objects count as old everywhere

inline ObjectHeader* headerOf(oop o) { return reinterpret_cast<ObjectHeader*>(o); }
inline oop oopOf(const ObjectHeader* h) { return reinterpret_cast<oop>(h); }

inline uint32_t classTagOf(const ObjectHeader* h) { return uint32_t(h->flags & classTagMask); }
inline uint32_t sizeFieldOf(const ObjectHeader* h) {
  return uint32_t((h->flags & sizeFieldMask) >> sizeFieldShift);
}
inline uint32_t indexabilityOf(const ObjectHeader* h) {
  return uint32_t((h->flags & indexabilityMask) >> indexabilityShift);
}
inline uint32_t hashOf(const ObjectHeader* h) { return uint32_t((h->flags & hashMask) >> hashShift); }
inline bool hasFlag(const ObjectHeader* h, uint64_t bit) { return (h->flags & bit) != 0; }
inline bool isInOldRt(const ObjectHeader* h) { return hasFlag(h, isInOldRtBit); }
inline bool inRt(const ObjectHeader* h) { return hasFlag(h, inRtBit); }
inline bool isGCSpecial(const ObjectHeader* h) { return hasFlag(h, isGCSpecialBit); }
inline bool isEphemeron(const ObjectHeader* h) {
  return (h->flags & (isGCSpecialBit | ephemeronNotWeakBit)) == (isGCSpecialBit | ephemeronNotWeakBit);
}
inline bool isImmutable(const ObjectHeader* h) { return hasFlag(h, isImmutableBit); }
inline bool isMarked(const ObjectHeader* h) { return hasFlag(h, isMarkedBit); }
inline bool isPermHeader(const ObjectHeader* h) { return hasFlag(h, isPermBit); }
inline bool hasPtrs(const ObjectHeader* h) { return hasFlag(h, hasPtrsBit); }

inline void setFlag(ObjectHeader* h, uint64_t bit) { h->flags |= bit; }
inline void clearFlag(ObjectHeader* h, uint64_t bit) { h->flags &= ~bit; }
inline void setClassTag(ObjectHeader* h, uint32_t tag) {
  h->flags = (h->flags & ~uint64_t(classTagMask)) | (tag & classTagMask);
}
inline void setSizeField(ObjectHeader* h, uint32_t v) {
  h->flags = (h->flags & ~sizeFieldMask) | (uint64_t(v & 0xFF) << sizeFieldShift);
}
inline void setIndexability(ObjectHeader* h, uint32_t v) {
  h->flags = (h->flags & ~indexabilityMask) | (uint64_t(v & 0xFF) << indexabilityShift);
}
inline void setHash(ObjectHeader* h, uint32_t v) {
  h->flags = (h->flags & ~hashMask) | (uint64_t(v & identityHashMax) << hashShift);
}

// Space tests on heap oops (callers have ruled out immediates).
inline bool isNewObject(oop o) { return o < oldNewSpaceBoundary; }
inline bool isPermObject(const ObjectHeader* h) { return isPermHeader(h) && !permSpaceAbsorbed; }
inline bool isOldNotPerm(oop o) { return !isNewObject(o) && !isPermObject(headerOf(o)); }

// Bodies. A body is whole 8-byte words; with sizeField 252..254 the word before it is the
// size word, the body's length in bytes (readers of pointer objects clear its low 3 bits).
inline bool isForwarded(const ObjectHeader* h) { return (h->dataPtr & forwardTagMask) != 0; }
inline oop* bodyOf(const ObjectHeader* h) { return reinterpret_cast<oop*>(h->dataPtr); }
inline uint64_t* sizeWordOf(const ObjectHeader* h) {
  return reinterpret_cast<uint64_t*>(h->dataPtr - 8);
}
inline bool hasSizeWord(const ObjectHeader* h) { return sizeFieldOf(h) >= sizeFieldExtended; }
inline uint64_t bodyWordsOf(const ObjectHeader* h) {
  uint32_t s = sizeFieldOf(h);
  return s < sizeFieldExtended ? s : *sizeWordOf(h) >> 3;
}
inline uint64_t bodyBytesOf(const ObjectHeader* h) { return bodyWordsOf(h) * 8; }
// Bytes of data: pointer objects all their words, byte objects less the odd bytes.
inline uint64_t byteSizeOf(const ObjectHeader* h) {
  uint64_t bytes = bodyBytesOf(h);
  return hasPtrs(h) ? bytes : bytes - (indexabilityOf(h) & 7);
}
inline oop slotOf(oop o, uint64_t i) { return bodyOf(headerOf(o))[i]; }
// Rounded body length for a request of n bytes.
inline uint64_t roundedBodyBytes(uint64_t n) { return (n + 7) & ~uint64_t(7); }
inline bool needsSizeWord(uint64_t bodyBytes) { return bodyBytes > maxInlineBodyBytes; }

// A new-space filler (NewSpaceDummyObject): dataPtr 0, classTag 0, bits 20-63 of flags the
// number of words after its 16-byte header. Written over freed objects and cut-off tails.
inline void writeFiller(ObjectHeader* h, uint64_t followingWords) {
  h->dataPtr = 0;
  h->flags = followingWords << fillerWordsShift;
}
inline uint64_t fillerWordsOf(const ObjectHeader* h) { return h->flags >> fillerWordsShift; }

// The header after h in a new-space walk: after a filler its words; after a header whose
// body lies elsewhere the next header (or a skip marker, a word with its low 3 bits set);
// else past the adjacent body. While a scavenge runs a header forwarded with its body (tag
// 2) is measured through the new header, one forwarded otherwise (tag 1) as a body elsewhere.
inline ObjectHeader* afterAdjacentBody(uint64_t next, const ObjectHeader* m) {
  uint32_t s = sizeFieldOf(m);
  if (s < sizeFieldExtended) return reinterpret_cast<ObjectHeader*>(next + 8 * uint64_t(s));
  return reinterpret_cast<ObjectHeader*>(next + (*sizeWordOf(m) >> 3) * 8 + 8);
}
inline ObjectHeader* afterDetachedBody(uint64_t next) {
  uint64_t w = *reinterpret_cast<uint64_t*>(next);
  return reinterpret_cast<ObjectHeader*>((w & 7) == 7 ? next + (w & ~uint64_t(7)) : next);
}
inline ObjectHeader* nextNewSpaceHeader(ObjectHeader* h) {
  uint64_t next = oopOf(h) + objectHeaderBytes;
  uint64_t tag = h->dataPtr & forwardTagMask;
  if (tag == forwardedWithBody)
    return afterAdjacentBody(next, reinterpret_cast<const ObjectHeader*>(h->dataPtr & ~forwardTagMask));
  if (tag == forwardedOther) return afterDetachedBody(next);
  if (classTagOf(h) == 0) return reinterpret_cast<ObjectHeader*>(next + 8 * fillerWordsOf(h));
  if (h->dataPtr - (hasSizeWord(h) ? 8 : 0) != next) return afterDetachedBody(next);
  return afterAdjacentBody(next, h);
}

// The identity hash of a heap object, assigning the next one of the sequence
// (lastHash + 648019 mod 2^20, never 0) when it has none.
uint32_t getObjHash(ObjectHeader* h);
// Primitive 1065: the SmallInteger 2^20-1.
oop maximumIdentityHashValue();
