// Primitives: content hashes (1700-1702, 1747) and byte-order reversal (1750-1753).
// Owns no global record. Prefix: none (initHashPrimitives, initBytePrimitives).
#include "prim/prHash.h"

#include <cstring>

#include "ext/exPrimTable.h"
#include "mman/mmPrimUtil.h"
#include "mman/mmSysOop.h"

// One multiplicative step per element: h = (h + e) * 1664525 mod 2^32, starting from the
// element count; answers keep 28 bits, so they are never negative.
enum : uint32_t { hashMultiplier = 1664525, contentHashMask = 0x0FFFFFFF };
enum : uint32_t { errBadArgument = 3, errBadReceiver = 5, errImmutable = 23 };

static oop fail(uint32_t code, uint64_t numArgs) { return failPrimitive(primErrorAt(code), numArgs); }

static bool isByteObject(oop o) { return isHeapObject(o) && !hasPtrs(headerOf(o)); }
static const uint8_t* bytesOf(oop o) { return reinterpret_cast<const uint8_t*>(bodyOf(headerOf(o))); }

static oop primByteHash(oop receiver) {
  if (!isByteObject(receiver)) return fail(errBadReceiver, 0);
  uint64_t n = byteSizeOf(headerOf(receiver));
  const uint8_t* p = bytesOf(receiver);
  uint32_t h = uint32_t(n);
  for (uint64_t i = 0; i < n; i++) h = (h + p[i]) * hashMultiplier;
  return smallIntegerFor(n == 0 ? 0 : h & contentHashMask);
}

// The map is 256 unsigned 16-bit entries indexed by byte value.
static oop primMappedByteHash(oop receiver, oop map) {
  if (!isByteObject(map) || byteSizeOf(headerOf(map)) != 512) return fail(errBadArgument, 1);
  if (!isByteObject(receiver)) return fail(errBadReceiver, 1);
  uint64_t n = byteSizeOf(headerOf(receiver));
  const uint8_t* p = bytesOf(receiver);
  const uint8_t* m = bytesOf(map);
  uint32_t h = uint32_t(n);
  for (uint64_t i = 0; i < n; i++) {
    uint16_t e;
    memcpy(&e, m + 2 * p[i], 2);
    h = (h + e) * hashMultiplier;
  }
  return smallIntegerFor(n == 0 ? 0 : h & contentHashMask);
}

static oop primTwoByteHash(oop receiver) {
  if (!isByteObject(receiver)) return fail(errBadReceiver, 0);
  uint64_t n = byteSizeOf(headerOf(receiver));
  if (n & 1) return fail(errBadArgument, 0);
  const uint8_t* p = bytesOf(receiver);
  uint32_t h = uint32_t(n / 2);
  for (uint64_t i = 0; i < n; i += 2) {
    uint16_t u;
    memcpy(&u, p + i, 2);
    h = (h + u) * hashMultiplier;
  }
  return smallIntegerFor(n == 0 ? 0 : h & contentHashMask);
}

static oop primWordHash(oop receiver) {
  if (!isImmediate(receiver)) return fail(errBadReceiver, 0);
  return smallIntegerFor((uint32_t(receiver >> 3) * hashMultiplier) & contentHashMask);
}

// Reverses the bytes of each whole unit of width bytes; a shorter tail stays. An immutable
// receiver fails only when some unit would change.
template <uint64_t width>
static oop primReverseUnits(oop receiver) {
  if (!isByteObject(receiver)) return fail(errBadReceiver, 0);
  ObjectHeader* h = headerOf(receiver);
  uint64_t units = byteSizeOf(h) / width;
  if (units != 0 && isImmutable(h)) return fail(errImmutable, 0);
  uint8_t* p = reinterpret_cast<uint8_t*>(bodyOf(h));
  for (uint64_t u = 0; u < units; u++, p += width)
    for (uint64_t i = 0; i < width / 2; i++) {
      uint8_t t = p[i];
      p[i] = p[width - 1 - i];
      p[width - 1 - i] = t;
    }
  return receiver;
}

void initHashPrimitives() {
  addCPrimitive(1700, reinterpret_cast<const void*>(primByteHash), 0);
  addCPrimitive(1701, reinterpret_cast<const void*>(primMappedByteHash), 1);
  addCPrimitive(1702, reinterpret_cast<const void*>(primTwoByteHash), 0);
  addCPrimitive(1747, reinterpret_cast<const void*>(primWordHash), 0);
}

void initBytePrimitives() {
  addCPrimitive(1750, reinterpret_cast<const void*>(primReverseUnits<2>), 0);
  addCPrimitive(1751, reinterpret_cast<const void*>(primReverseUnits<4>), 0);
  addCPrimitive(1752, reinterpret_cast<const void*>(primReverseUnits<8>), 0);
  addCPrimitive(1753, reinterpret_cast<const void*>(primReverseUnits<16>), 0);
}
