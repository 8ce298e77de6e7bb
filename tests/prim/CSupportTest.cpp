// C support primitives and the C value kinds: the size table, values of every kind through
// C memory, strides, copies at their bounds, C strings, struct fields and the C string
// coercion of each string class.
#include <gtest/gtest.h>

#include <cstring>

#include "ext/exError.h"
#include "mman/mmAllocate.h"
#include "mman/mmSysOop.h"
#include "mman/testHeap.h"
#include "prim/prCKind.h"
#include "prim/prCSupport.h"
#include "mman/mmCValue.h"
#include "prim/prDouble.h"
#include "mman/mmCString.h"
#include "mman/mmPrimUtil.h"
#include "support/cKernel.h"
#include "support/ioKernel.h"
#include "support/primHarness.h"

namespace {

class CSupport : public ::testing::Test {
 protected:
  void SetUp() override { newCTestHeap(); }
  void TearDown() override { freeTestHeap(); }

  static oop k(int64_t v) { return smallIntegerFor(v); }
  static oop address(const void* p) { return cUnsignedToOop(uint64_t(uintptr_t(p))); }
  static int code(const PrimOutcome& o) { return failureOf(o).code; }
};

TEST_F(CSupport, KindBitsOfEveryKind) {
#ifdef _WIN32
  // Windows sizes: long (6, 7, 29) has 4 bytes, 10 is a double, 11 a pointer as everywhere;
  // 31 and 33 are the platform's.
  const int bytes[cKindCount] = {1, 1, 2, 2, 4, 4, 4, 4, 4, 8, 8, 8, 8, 8, 0, 8, 0, 0,
                                 0, 8, 8, 8, 8, 8, 8, 8, 1, 2, 4, 4, 8, 4, 8, 8, 0};
#else
  // Unix sizes: 10 is an x87 long double of 16 bytes; 11, 19 and 23 are pointers.
  const int bytes[cKindCount] = {1, 1, 2, 2, 4, 4, 8, 8, 4, 8, 16, 8, 8, 8, 0, 8, 0, 0,
                                 0, 8, 8, 8, 8, 8, 8, 8, 1, 2, 4, 8, 8, 0, 8, 0, 0};
#endif
  for (int kind = 0; kind < cKindCount; kind++) {
    PrimOutcome o = callPrimitive(396, nilOop(), {k(kind)});
    if (bytes[kind] == 0) {
      EXPECT_TRUE(o.failed && code(o) == primErrGeneral) << kind;
    } else {
      ASSERT_FALSE(o.failed) << kind;
      EXPECT_EQ(smallIntegerValue(o.result), 8 * bytes[kind]) << kind;
    }
  }
  for (oop bad : {k(-1), k(35), nilOop()}) EXPECT_TRUE(callPrimitive(396, nilOop(), {bad}).failed);
}

// One value of each kind 482 and 483 know, stored into a fresh block (393), read back and
// compared with the C value written, then the block freed (392).
TEST_F(CSupport, ValuesOfEachKindRoundTripThroughCMemory) {
  struct Row {
    int kind;
    oop value;          // what is stored
    uint64_t bits;      // the C bytes expected at the address
    oop expectedBack;   // what 482 answers (0: the value itself)
  };
  const Row rows[] = {
      {0, k(-128), 0x80, 0}, {1, k(255), 0xFF, 0}, {0, k(300), 44, k(44)},
      {2, k(-32768), 0x8000, 0}, {3, k(65535), 0xFFFF, 0},
      {4, k(INT32_MIN), 0x80000000, 0}, {5, k(UINT32_MAX), 0xFFFFFFFF, 0},
      {6, k(-1), ~uint64_t(0), 0}, {24, k(smallIntegerMin), uint64_t(smallIntegerMin), 0},
      {7, k(42), 42, 0}, {25, characterFor('A'), 65, k(65)},
      {26, trueOop(), 1, 0}, {27, falseOop(), 0, 0}, {28, trueOop(), 1, 0}, {29, trueOop(), 1, 0},
      {30, falseOop(), 0, 0},
  };
  for (const Row& r : rows) {
    PrimOutcome block = callPrimitive(393, nilOop(), {k(16), k(13)});
    ASSERT_FALSE(block.failed);
    uint64_t a;
    ASSERT_TRUE(oopToQ64(block.result, &a));
    ASSERT_FALSE(callPrimitive(483, nilOop(), {block.result, k(13), k(r.kind), r.value}).failed) << r.kind;
    uint64_t width = cKindSizes[r.kind], stored = 0;
    memcpy(&stored, reinterpret_cast<void*>(a), width);
    EXPECT_EQ(stored, width == 8 ? r.bits : r.bits & ((uint64_t(1) << (8 * width)) - 1)) << r.kind;
    PrimOutcome back = callPrimitive(482, nilOop(), {block.result, k(13), k(r.kind), nilOop(), nilOop()});
    ASSERT_FALSE(back.failed) << r.kind;
    EXPECT_EQ(back.result, r.expectedBack != 0 ? r.expectedBack : r.value) << r.kind;
    EXPECT_FALSE(callPrimitive(392, nilOop(), {block.result, k(13)}).failed);
  }
}

TEST_F(CSupport, FloatsDoublesAndPointersAtAnAddress) {
  alignas(8) uint8_t memory[16] = {0};
  oop a = address(memory);
  ASSERT_FALSE(callPrimitive(483, nilOop(), {a, k(13), k(ckFloat), smallDoubleFor(0.5)}).failed);
  float f;
  memcpy(&f, memory, 4);
  EXPECT_EQ(f, 0.5f);
  PrimOutcome back = callPrimitive(482, nilOop(), {a, k(13), k(ckFloat), nilOop(), nilOop()});
  ASSERT_TRUE(isFloatObject(back.result));
  EXPECT_EQ(floatValueOf(back.result), 0.5f);
  EXPECT_TRUE(isImmutable(headerOf(back.result)));
  ASSERT_FALSE(callPrimitive(483, nilOop(), {a, k(13), k(ckDouble), newDoubleBox(1e300)}).failed);
  back = callPrimitive(482, nilOop(), {a, k(13), k(ckDouble), nilOop(), nilOop()});
  ASSERT_TRUE(isDoubleObject(back.result));
  EXPECT_EQ(doubleValueOf(back.result), 1e300);
  // A pointer stored from a C-pointer object and read back as a new one with the descriptor.
  ObjectHeader* p = allocFSObj(cTestClasses.pointer);
  bodyOf(p)[0] = k(0x1234);
  ASSERT_FALSE(callPrimitive(483, nilOop(), {a, k(13), k(13), oopOf(p)}).failed);
  back = callPrimitive(482, nilOop(), {a, k(13), k(13), cTestClasses.pointer, k(7)});
  ASSERT_FALSE(back.failed);
  EXPECT_EQ(classOf(back.result), cTestClasses.pointer);
  EXPECT_EQ(slotOf(back.result, 0), k(0x1234));
  EXPECT_EQ(slotOf(back.result, 1), k(7));
  // Bad kinds, address 0 and a value of the wrong class fail and write nothing.
  memset(memory, 0x5A, sizeof memory);
  EXPECT_TRUE(callPrimitive(482, nilOop(), {k(0), k(13), k(4), nilOop(), nilOop()}).failed);
  EXPECT_TRUE(callPrimitive(482, nilOop(), {a, k(13), k(31), nilOop(), nilOop()}).failed);
  EXPECT_TRUE(callPrimitive(482, nilOop(), {a, k(35), k(4), nilOop(), nilOop()}).failed);
  EXPECT_TRUE(callPrimitive(483, nilOop(), {a, k(13), k(26), k(1)}).failed);
  EXPECT_TRUE(callPrimitive(483, nilOop(), {a, k(13), k(9), trueOop()}).failed);
  EXPECT_EQ(memory[0], 0x5A);
}

TEST_F(CSupport, StridesOfElementsAndIdentitySearch) {
  int16_t shorts[4] = {1, -2, 3, -4};
  PrimOutcome o = callPrimitive(490, nilOop(), {address(shorts), k(3), k(13), k(2), nilOop(), nilOop()});
  EXPECT_EQ(o.result, k(-4));
  o = callPrimitive(490, nilOop(), {address(shorts + 3), k(-2), k(13), k(2), nilOop(), nilOop()});
  EXPECT_EQ(o.result, k(-2));
  ASSERT_FALSE(callPrimitive(491, nilOop(), {address(shorts), k(2), k(13), k(3), k(65535)}).failed);
  EXPECT_EQ(shorts[2], -1);
  EXPECT_TRUE(callPrimitive(490, nilOop(), {address(shorts), k(1), k(13), k(17), nilOop(), nilOop()}).failed);
  // 486 looks at distances 0, stride, ... among the indexed slots.
  ObjectHeader* a = allocVSObj(sysOop(sysArrayClass), 7);
  bodyOf(a)[4] = trueOop();
  bodyOf(a)[3] = falseOop();
  EXPECT_EQ(callPrimitive(486, oopOf(a), {trueOop(), k(2)}).result, k(5));
  EXPECT_EQ(callPrimitive(486, oopOf(a), {falseOop(), k(2)}).result, k(0));
  EXPECT_EQ(callPrimitive(486, oopOf(a), {falseOop(), k(1)}).result, k(4));
  EXPECT_TRUE(callPrimitive(486, oopOf(a), {falseOop(), k(0)}).failed);
}

TEST_F(CSupport, BlocksAndCopiesAtTheirBounds) {
  // A count no process can have is a null block: entry 2 carrying the count.
  oop huge = cUnsignedToOop(uint64_t(1) << 62);
  PrimOutcome o = callPrimitive(393, nilOop(), {huge, k(13)});
  ASSERT_TRUE(o.failed);
  EXPECT_EQ(code(o), primErrMalloc);
  EXPECT_EQ(errorValueOf(o.errorOop), huge);
  PrimOutcome empty = callPrimitive(397, nilOop(), {k(0), k(13)});  // malloc(0) is never a failure
  EXPECT_FALSE(empty.failed);
  EXPECT_FALSE(callPrimitive(392, nilOop(), {empty.result, k(13)}).failed);
  EXPECT_FALSE(callPrimitive(392, nilOop(), {k(0), k(13)}).failed);
  EXPECT_TRUE(callPrimitive(393, nilOop(), {k(-1), k(13)}).failed);
  uint8_t c[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  oop bytes = newCData(6);
  struct Row {
    int64_t offset, count, start;
    bool ok;
  } rows[] = {{0, 6, 1, true}, {2, 4, 3, true}, {0, 0, 7, true}, {0, 6, 2, false}, {0, 1, 0, false}, {0, -1, 1, false}};
  for (const Row& r : rows) {
    for (uint32_t number : {398u, 399u}) {
      PrimOutcome copy = callPrimitive(number, nilOop(), {address(c), k(13), k(r.offset), bytes, k(r.count), k(r.start)});
      EXPECT_EQ(copy.failed, !r.ok) << number << " " << r.count << " from " << r.start;
      if (copy.failed) {
        EXPECT_EQ(code(copy), primErrIndex);
      }
    }
  }
  const uint8_t* body = reinterpret_cast<const uint8_t*>(bodyOf(headerOf(bytes)));
  EXPECT_EQ(body[2], 3);
  EXPECT_EQ(body[5], 6);
  // Decision: C bytes never go into an immutable object.
  setFlag(headerOf(bytes), isImmutableBit);
  o = callPrimitive(398, nilOop(), {address(c), k(13), k(0), bytes, k(1), k(1)});
  EXPECT_TRUE(o.failed && code(o) == primErrImmutable);
  EXPECT_FALSE(callPrimitive(399, nilOop(), {address(c), k(13), k(0), bytes, k(1), k(1)}).failed);
}

TEST_F(CSupport, CStringsToPlatformStrings) {
  const char narrow[] = "narrow";
  const char16_t wide[] = u"wide";
  EXPECT_EQ(textOf(callPrimitive(335, nilOop(), {address(narrow), k(13)}).result), "narrow");
  EXPECT_EQ(textOf(callPrimitive(382, nilOop(), {address(wide), k(13)}).result), std::string("w\0i\0d\0e\0", 8));
  for (oop bad : {k(0), nilOop()}) EXPECT_TRUE(callPrimitive(335, nilOop(), {bad, k(13)}).failed);
  EXPECT_TRUE(callPrimitive(335, nilOop(), {address(narrow), k(12)}).failed);
  oop held = newCData(8, "ab\0cdefg");
  EXPECT_EQ(textOf(callPrimitive(384, held, {}).result), "ab");
  oop full = newCData(3, "xyz");
  EXPECT_EQ(textOf(callPrimitive(384, full, {}).result), "xyz");
  // 385 scans at most size - 1 bytes for a 0 unit.
  oop units = newCData(5, "a\0b\0c");
  EXPECT_EQ(textOf(callPrimitive(385, units, {}).result), std::string("a\0b\0", 4));
  EXPECT_EQ(textOf(callPrimitive(385, newCData(0), {}).result), "");
}

TEST_F(CSupport, StructFieldsOfCompositesAndPointers) {
  oop type = newDescriptor({{0, ckSignedInt}, {8, ckDouble}, {16, ckPointer13}});
  struct {
    int32_t i;
    double d;
    void* p;
  } s = {-7, 2.5, nullptr};
  oop composite = newComposite(type, sizeof s, &s);
  EXPECT_EQ(callPrimitive(484, type, {k(1), composite}).result, k(-7));
  EXPECT_EQ(callPrimitive(484, type, {k(2), composite}).result, smallDoubleFor(2.5));
  ASSERT_FALSE(callPrimitive(485, type, {k(1), composite, k(9)}).failed);
  EXPECT_EQ(callPrimitive(484, type, {k(1), composite}).result, k(9));
  EXPECT_EQ(classOf(callPrimitive(484, type, {k(3), composite}).result), cTestClasses.pointer);
  EXPECT_TRUE(callPrimitive(484, type, {k(4), composite}).failed);          // no such field
  EXPECT_TRUE(callPrimitive(485, type, {k(2), composite, trueOop()}).failed);  // wrong class
  EXPECT_EQ(callPrimitive(484, type, {k(2), composite}).result, smallDoubleFor(2.5));
  // 480 and 481 reach C memory through a pointer-like object.
  ObjectHeader* p = allocFSObj(cTestClasses.pointer);
  bodyOf(p)[0] = address(&s);
  EXPECT_EQ(callPrimitive(480, type, {k(1), oopOf(p), k(13)}).result, k(-7));
  ASSERT_FALSE(callPrimitive(481, type, {k(2), oopOf(p), smallDoubleFor(-1.0), k(13)}).failed);
  EXPECT_EQ(s.d, -1.0);
  oop frozen = newCData(24);
  setFlag(headerOf(frozen), isImmutableBit);
  PrimOutcome o = callPrimitive(481, type, {k(1), frozen, k(1), k(13)});
  EXPECT_TRUE(o.failed && code(o) == primErrImmutable);
  o = callPrimitive(485, type, {k(1), newComposite(type, 24), nilOop()});
  EXPECT_TRUE(o.failed && code(o) == primErrBadArgument);
}

// The four cases of the C string of a string object.
TEST_F(CSupport, CoerceToCStringByClass) {
  oop five = byteString("hello");  // the platform string: a 0 goes into its padding
  EXPECT_EQ(coerceToCString(five), reinterpret_cast<char*>(bodyOf(headerOf(five))));
  EXPECT_STREQ(coerceToCString(five), "hello");
  oop eight = byteString("12345678");  // no padding: a terminated copy of its class
  char* copy = coerceToCString(eight);
  EXPECT_NE(copy, reinterpret_cast<char*>(bodyOf(headerOf(eight))));
  EXPECT_STREQ(copy, "12345678");
  oop ended = byteString(std::string("abc\0", 4));  // a multiple of 4 ending in 0: its own bytes
  EXPECT_EQ(coerceToCString(ended), reinterpret_cast<char*>(bodyOf(headerOf(ended))));
  EXPECT_STREQ(coerceToCString(byteString("")), "");
  // Another platform-string class: ByteStrings and two-byte strings are translated copies.
  uint16_t codes[256];
  for (int i = 0; i < 256; i++) codes[i] = uint16_t(i);
  codes[0xA4] = 0x20AC;
  oop platform = classAt(newTestClass(formatIndexable));
  bodyOf(headerOf(platform))[classSuperclassSlot] = classAt(classIndexByteString);
  ASSERT_EQ(setStringEncoding(platform, codes, nullptr), 1);
  ObjectHeader* plain = allocVSObj(classAt(classIndexByteString), 4);
  memcpy(bodyOf(plain), "byte", 4);
  char* translated = coerceToCString(oopOf(plain));
  EXPECT_NE(translated, reinterpret_cast<char*>(bodyOf(plain)));
  EXPECT_STREQ(translated, "byte");
  ObjectHeader* wide = allocVSObj(classAt(classIndexTwoByteString), 4);
  const char16_t euro[2] = {u'\u20AC', u'e'};
  memcpy(bodyOf(wide), euro, 4);
  EXPECT_STREQ(coerceToCString(oopOf(wide)), "\xA4" "e");
  const char16_t missing[2] = {u'\u0100', u'e'};  // no platform byte
  memcpy(bodyOf(wide), missing, 4);
  EXPECT_EQ(coerceToCString(oopOf(wide)), nullptr);
  EXPECT_EQ(coerceToCString(newCData(4)), nullptr);
  EXPECT_EQ(coerceToCString(k(3)), nullptr);
  for (int i = 0; i < 256; i++) codes[i] = uint16_t(i);
  EXPECT_EQ(setStringEncoding(classAt(classIndexByteString), codes, nullptr), 1);
}

}  // namespace
