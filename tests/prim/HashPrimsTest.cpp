// Content-hash primitives 1700-1702, 1747 (golden values) and byte-order primitives
// 1750-1753 (against a reversal model on 0-33 bytes).
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "mman/heapVerifier.h"
#include "mman/mmNewSpace.h"
#include "mman/mmSysOop.h"
#include "mman/testHeap.h"
#include "prim/prHash.h"
#include "support/primHarness.h"

namespace {

class HashPrims : public testing::Test {
 protected:
  void SetUp() override {
    newTestHeap();
    initHashPrimitives();
    initBytePrimitives();
  }
  void TearDown() override { freeTestHeap(); }
};

oop byteObject(const std::vector<uint8_t>& bytes, bool old = false) {
  oop o = old ? newOldObject(testClasses.bytes, bytes.size()) : newNewObject(testClasses.bytes, bytes.size());
  if (!bytes.empty()) memcpy(bodyOf(headerOf(o)), bytes.data(), bytes.size());
  return o;
}
std::vector<uint8_t> bodyBytes(oop o, size_t n) {
  const uint8_t* p = reinterpret_cast<const uint8_t*>(bodyOf(headerOf(o)));
  return std::vector<uint8_t>(p, p + n);
}
std::vector<uint8_t> bytesOfString(const std::string& s) { return {s.begin(), s.end()}; }
std::vector<uint8_t> sequence(size_t n) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; i++) v[i] = uint8_t(i * 37 + 11);
  return v;
}

TEST_F(HashPrims, GoldenHashes) {
  std::vector<uint8_t> long306(306);
  for (size_t i = 0; i < 306; i++) long306[i] = uint8_t(i);
  struct Case { uint32_t prim; std::vector<uint8_t> bytes; int64_t hash; };
  const Case cases[] = {
      {1700, {}, 0},
      {1700, {0}, 1664525},
      {1700, bytesOfString("abc"), 99488237},
      {1700, bytesOfString("hello world!"), 174849605},
      {1700, long306, 214670263},
      {1702, {}, 0},
      {1702, {0x01, 0x02, 0x03, 0x04}, 205966882},  // units 0x0201, 0x0403
  };
  for (const Case& c : cases) {
    PrimOutcome o = callPrimitive(c.prim, byteObject(c.bytes), {});
    ASSERT_FALSE(o.failed);
    EXPECT_EQ(o.result, smallIntegerFor(c.hash)) << c.prim << " of " << c.bytes.size() << " bytes";
  }
  struct WordCase { oop receiver; int64_t hash; };
  const WordCase words[] = {{smallIntegerFor(1), 1664525},
                            {smallIntegerFor(-1), 266770931},
                            {smallIntegerFor(0x123456789), 237492213},  // low 32 bits only
                            {characterFor('a'), 161458925},
                            {characterFor(0x10FFFF), 113482227}};
  for (const WordCase& w : words) EXPECT_EQ(callPrimitive(1747, w.receiver, {}).result, smallIntegerFor(w.hash));
}

// The map must be a byte object of exactly 512 bytes; it is checked before the receiver.
TEST_F(HashPrims, MappedHashAndItsTable) {
  std::vector<uint8_t> table(512);
  for (int b = 0; b < 256; b++) {
    uint16_t e = uint16_t(b * 3 + 7);
    memcpy(&table[2 * b], &e, 2);
  }
  PrimOutcome o = callPrimitive(1701, byteObject(bytesOfString("abc")), {byteObject(table)});
  ASSERT_FALSE(o.failed);
  EXPECT_EQ(o.result, smallIntegerFor(72323926));
  EXPECT_EQ(callPrimitive(1701, byteObject({}), {byteObject(table)}).result, smallIntegerFor(0));
  oop pointers = newNewObject(testClasses.pointers, 64);
  for (oop bad : {byteObject(std::vector<uint8_t>(511)), byteObject(std::vector<uint8_t>(513)), pointers,
                  smallIntegerFor(1)}) {
    PrimOutcome f = callPrimitive(1701, byteObject({}), {bad});
    ASSERT_TRUE(f.failed);
    EXPECT_EQ(f.errorOop, primErrorAt(3));
    EXPECT_EQ(f.numArgs, 1u);
  }
}

TEST_F(HashPrims, ByteReversalAgainstModel) {
  for (uint32_t prim = 1750; prim <= 1753; prim++) {
    size_t w = size_t(2) << (prim - 1750);
    for (size_t n = 0; n <= 33; n++) {
      std::vector<uint8_t> before = sequence(n), want = before;
      for (size_t u = 0; u + w <= n; u += w)
        for (size_t i = 0; i < w; i++) want[u + i] = before[u + w - 1 - i];
      oop o = byteObject(before, n % 2 == 1);
      PrimOutcome r = callPrimitive(prim, o, {});
      ASSERT_FALSE(r.failed);
      EXPECT_EQ(r.result, o);
      EXPECT_EQ(bodyBytes(o, n), want) << prim << " on " << n << " bytes";
      // Immutable: fails untouched when a unit would change, else answers unchanged.
      oop frozen = byteObject(before);
      setFlag(headerOf(frozen), isImmutableBit);
      PrimOutcome f = callPrimitive(prim, frozen, {});
      EXPECT_EQ(f.failed, n >= w);
      if (f.failed) {
        EXPECT_EQ(f.errorOop, primErrorAt(23));
      }
      EXPECT_EQ(bodyBytes(frozen, n), before);
    }
  }
  EXPECT_HEAP_VALID();
}

// Receivers are taken on trust by the image; the wrong kind fails 5 and changes nothing.
TEST_F(HashPrims, WrongReceiverFails) {
  oop pointers = newNewObject(testClasses.pointers, 2);
  struct Case { uint32_t prim; oop receiver; };
  const Case cases[] = {{1700, pointers}, {1702, smallIntegerFor(3)}, {1747, pointers},
                        {1750, pointers}, {1753, characterFor('x')}};
  for (const Case& c : cases) {
    PrimOutcome o = callPrimitive(c.prim, c.receiver, {});
    ASSERT_TRUE(o.failed);
    EXPECT_EQ(o.errorOop, primErrorAt(5));
  }
  EXPECT_EQ(callPrimitive(1702, byteObject({1, 2, 3}), {}).errorOop, primErrorAt(3));
}

}  // namespace
