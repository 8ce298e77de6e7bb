// Buffer byte-order helpers (unaligned starts, n = 0-9), the object helper that reverses
// 32-bit units, and the scan-character primitives 956 and 972 over one table of runs.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <vector>

#include "ext/exPrimTable.h"
#include "mman/heapVerifier.h"
#include "mman/mmImageLoad.h"
#include "mman/mmSysOop.h"
#include "mman/testHeap.h"
#include "prim/prByteOrder.h"
#include "support/primHarness.h"

namespace {

uint8_t reverseBitsModel(uint8_t b) {
  uint8_t r = 0;
  for (int i = 0; i < 8; i++)
    if (b & (1 << i)) r |= uint8_t(0x80 >> i);
  return r;
}
uint8_t reverseQ2sModel(uint8_t b) {
  uint8_t r = 0;
  for (int i = 0; i < 4; i++) r |= uint8_t(((b >> (2 * i)) & 3) << (6 - 2 * i));
  return r;
}

// Each helper against a model that says which byte lands where.
TEST(ByteOrderPrims, BufferHelpersAtUnalignedStarts) {
  typedef void (*Helper)(uint8_t*, uint64_t);
  struct Case { const char* name; Helper helper; void (*model)(std::vector<uint8_t>&, size_t, size_t); };
  const Case cases[] = {
      {"reverseBits", reverseBitsInData,
       [](std::vector<uint8_t>& v, size_t s, size_t n) { for (size_t i = s; i < s + n; i++) v[i] = reverseBitsModel(v[i]); }},
      {"swapFourQ2s", swapFourQ2s,
       [](std::vector<uint8_t>& v, size_t s, size_t n) { for (size_t i = s; i < s + n; i++) v[i] = reverseQ2sModel(v[i]); }},
      {"swapTwoQ4s", swapTwoQ4s,
       [](std::vector<uint8_t>& v, size_t s, size_t n) { for (size_t i = s; i < s + n; i++) v[i] = uint8_t(v[i] << 4 | v[i] >> 4); }},
      {"swapTwoQ8s", swapTwoQ8s,
       [](std::vector<uint8_t>& v, size_t s, size_t n) { for (size_t i = s; i + 2 <= s + n; i += 2) std::swap(v[i], v[i + 1]); }},
      {"swapFourQ8s", swapFourQ8s,
       [](std::vector<uint8_t>& v, size_t s, size_t n) {
         for (size_t i = s; i + 4 <= s + n; i += 4) std::swap(v[i], v[i + 3]), std::swap(v[i + 1], v[i + 2]);
       }},
  };
  for (const Case& c : cases)
    for (size_t start = 0; start < 8; start++)
      for (size_t n = 0; n <= 9; n++) {
        std::vector<uint8_t> buffer(24);
        for (size_t i = 0; i < buffer.size(); i++) buffer[i] = uint8_t(i * 29 + 0x5A);
        std::vector<uint8_t> want = buffer;
        c.model(want, start, n);
        c.helper(buffer.data() + start, n);
        EXPECT_EQ(buffer, want) << c.name << " start " << start << " n " << n;
      }
}

TEST(ByteOrderPrims, SwapThreeQ8sLeavesEachRowTail) {
  std::vector<uint8_t> rows = {0, 1, 2, 3, 4, 5, 6, 10, 11, 12, 13, 14, 15, 16, 99};
  swapThreeQ8s(rows.data(), 7, 2);
  EXPECT_EQ(rows, (std::vector<uint8_t>{2, 1, 0, 5, 4, 3, 6, 12, 11, 10, 15, 14, 13, 16, 99}));
}

TEST(ByteOrderPrims, ObjectReverseFourQ8s) {
  alignas(8) uint8_t body[24];
  for (int i = 0; i < 24; i++) body[i] = uint8_t(i);
  objReverseFourQ8s(reinterpret_cast<uint64_t*>(body), 20);  // five units; bytes 20-23 stay
  const uint8_t want[24] = {3, 2, 1, 0, 7, 6, 5, 4, 11, 10, 9, 8, 15, 14, 13, 12, 19, 18, 17, 16, 20, 21, 22, 23};
  EXPECT_EQ(memcmp(body, want, 24), 0);
}

// ---- Scan characters -------------------------------------------------------------------


class ScanCharPrims : public testing::Test {
 protected:
  void SetUp() override {
    newTestHeap();
    initScanCharPrimitives();
    widths = widthTable(256);
    page1 = widthTable(256);
    pages = newOldObject(classIndexArray, 2);
    bodyOf(headerOf(pages))[1] = page1;
    stops = stopsFor(0);
    pagedStops = stopsFor(0x100);
    source = bytes("abc def");
  }
  void TearDown() override { freeTestHeap(); }

  // Slot k holds the width k.
  static oop widthTable(uint64_t slots) {
    oop t = newOldObject(classIndexArray, slots);
    for (uint64_t k = 0; k < slots; k++) bodyOf(headerOf(t))[k] = smallIntegerFor(int64_t(k));
    return t;
  }
  // Letters a.. select widths 1..; space is a stop; 'z' points past a 256-slot table.
  static oop stopsFor(uint16_t page) {
    oop s = newOldObject(testClasses.bytes, 512);
    uint16_t* e = reinterpret_cast<uint16_t*>(bodyOf(headerOf(s)));
    for (int c = 'a'; c <= 'y'; c++) e[c] = uint16_t(page | (c - 'a' + 1));
    e[uint8_t(' ')] = 65535;
    e[uint8_t('z')] = uint16_t(page ? 0x300 : 300);
    return s;
  }
  static oop bytes(const char* text) {
    oop o = newOldObject(testClasses.bytes, strlen(text));
    memcpy(bodyOf(headerOf(o)), text, strlen(text));
    return o;
  }
  oop scanner(int64_t destX) {
    oop s = newOldObject(testClasses.threeSlots, 3);
    bodyOf(headerOf(s))[0] = smallIntegerFor(destX);
    bodyOf(headerOf(s))[1] = smallIntegerFor(-99);
    bodyOf(headerOf(s))[2] = widths;
    return s;
  }
  PrimOutcome scan(bool paged, oop receiver, int64_t start, int64_t stop, oop text, int64_t rightX) {
    if (paged)
      return callPrimitive(972, receiver, {smallIntegerFor(start), smallIntegerFor(stop), text,
                                           smallIntegerFor(rightX), pagedStops, pages});
    return callPrimitive(956, receiver, {smallIntegerFor(start), smallIntegerFor(stop), text,
                                         smallIntegerFor(rightX), stops});
  }
  oop widths = 0, page1 = 0, pages = 0, stops = 0, pagedStops = 0, source = 0;
};

TEST_F(ScanCharPrims, RunsThroughBothForms) {
  // "abc def": a=1 b=2 c=3, space stops, d=4 e=5 f=6.
  struct Case { int64_t start, stop, rightX, destX, answer, lastIndex, destXAfter; };
  const Case cases[] = {
      {1, 7, 100, 0, ' ', 4, 6},   // stops at the space
      {5, 7, 100, 0, -1, 7, 15},   // end of run
      {5, 7, 15, 0, -1, 7, 15},    // ends exactly at the margin: not crossed
      {5, 7, 14, 0, -2, 7, 9},     // f crosses: destX before it
      {5, 7, 3, 0, -2, 5, 0},      // the first character crosses
      {4, 7, 100, 7, ' ', 4, 7},   // the first character is a stop
      {3, 2, 100, 7, -1, 2, 7},    // start past stop
      {1, 3, 100, -5, -1, 3, 1},   // negative start x
  };
  for (bool paged : {false, true})
    for (const Case& c : cases) {
      SCOPED_TRACE(testing::Message() << (paged ? "972" : "956") << " from " << c.start << " right " << c.rightX);
      oop s = scanner(c.destX);
      PrimOutcome o = scan(paged, s, c.start, c.stop, source, c.rightX);
      ASSERT_FALSE(o.failed);
      EXPECT_EQ(o.result, smallIntegerFor(c.answer));
      EXPECT_EQ(slotOf(s, 1), smallIntegerFor(c.lastIndex));
      EXPECT_EQ(slotOf(s, 0), smallIntegerFor(c.destXAfter));
    }
}

// Each bad input fails with its code (956) or 0 (972) and leaves the scanner untouched.
TEST_F(ScanCharPrims, FailuresTouchNothing) {
  oop shortWidths = widthTable(255), shortStops = newOldObject(testClasses.bytes, 510);
  oop pointerSource = newOldObject(testClasses.pointers, 2);
  oop withZ = bytes("abz"), notSmall = widthTable(256);
  bodyOf(headerOf(notSmall))[2] = nilOop();
  struct Case { const char* what; uint32_t code956; std::function<PrimOutcome(bool, oop)> run; };
  const Case cases[] = {
      {"rightX 0", 3, [&](bool p, oop s) { return scan(p, s, 1, 3, source, 0); }},
      {"pointer source", 3, [&](bool p, oop s) { return scan(p, s, 1, 2, pointerSource, 100); }},
      {"start 0", 6, [&](bool p, oop s) { return scan(p, s, 0, 3, source, 100); }},
      {"stop past the source", 6, [&](bool p, oop s) { return scan(p, s, 1, 8, source, 100); }},
      {"entry past the widths", 4, [&](bool p, oop s) { return scan(p, s, 1, 3, withZ, 100); }},
      {"receiver not a scanner", 5, [&](bool p, oop) { return scan(p, smallIntegerFor(1), 1, 3, source, 100); }},
      {"destX not a SmallInteger", 4, [&](bool p, oop s) {
         bodyOf(headerOf(s))[0] = nilOop();
         return scan(p, s, 1, 3, source, 100);
       }},
      {"width not a SmallInteger", 4, [&](bool p, oop s) {
         bodyOf(headerOf(s))[2] = notSmall;
         bodyOf(headerOf(pages))[1] = notSmall;
         return scan(p, s, 1, 3, source, 100);
       }},
      {"short width table", 4, [&](bool p, oop s) {
         bodyOf(headerOf(s))[2] = shortWidths;
         bodyOf(headerOf(pages))[1] = shortWidths;
         return scan(p, s, 1, 3, source, 100);
       }},
  };
  for (bool paged : {false, true})
    for (const Case& c : cases) {
      SCOPED_TRACE(testing::Message() << (paged ? "972 " : "956 ") << c.what);
      bodyOf(headerOf(pages))[1] = page1;
      oop s = scanner(11);
      PrimOutcome o = c.run(paged, s);
      ASSERT_TRUE(o.failed);
      EXPECT_EQ(o.errorOop, primErrorAt(paged ? 0 : c.code956));
      EXPECT_EQ(o.numArgs, paged ? 6u : 5u);
      EXPECT_EQ(slotOf(s, 1), smallIntegerFor(-99));
    }
  // 972 alone: a stops object too short, and pages that are not an Array.
  EXPECT_TRUE(callPrimitive(972, scanner(0), {smallIntegerFor(1), smallIntegerFor(3), source, smallIntegerFor(100),
                                              shortStops, pages})
                  .failed);
  EXPECT_TRUE(callPrimitive(972, scanner(0), {smallIntegerFor(1), smallIntegerFor(3), source, smallIntegerFor(100),
                                              pagedStops, source})
                  .failed);
  EXPECT_HEAP_VALID();
}

}  // namespace
