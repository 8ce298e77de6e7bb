// Primitive utilities: the platform string encoding, the platform-string check and C
// strings in ByteArrays.
#include <gtest/gtest.h>

#include <cstring>

#include "mman/mmAllocate.h"
#include "mman/mmCString.h"
#include "mman/mmNewSpace.h"
#include "mman/mmOldSpace.h"
#include "mman/mmSysOop.h"
#include "mman/testHeap.h"

namespace {

class PrimString : public ::testing::Test {
 protected:
  uint16_t identity[256];

  void SetUp() override {
    newTestHeap();
    for (int i = 0; i < 256; i++) identity[i] = uint16_t(i);
    oop twoByte = newUnenteredTestClass(formatIndexable);
    classTable[0][classIndexTwoByteString] = twoByte;
    setHash(headerOf(twoByte), classIndexTwoByteString);
  }
  void TearDown() override {
    EXPECT_EQ(setStringEncoding(classAt(classIndexByteString), identity, nullptr), 1);
    freeTestHeap();
  }

  static oop bytes(uint32_t classIndex, const void* data, uint64_t n) {
    ObjectHeader* h = allocInOldSpace(classIndex, 0, n, 0, 0, 1);
    memcpy(bodyOf(h), data, n);
    return oopOf(h);
  }
  static oop wide(const std::u16string& text) {
    return bytes(classIndexTwoByteString, text.data(), text.size() * 2);
  }
  // A class whose superclass is ByteString, entered into the class table.
  static oop byteStringSubclass() {
    oop cls = newUnenteredTestClass(formatIndexable);
    bodyOf(headerOf(cls))[0] = classAt(classIndexByteString);
    enterIntoClassTable(cls);
    return cls;
  }
};

TEST_F(PrimString, SetStringEncodingSortsCodesAndPicksTheClass) {
  uint16_t codes[256], copy[256];
  memcpy(codes, identity, sizeof codes);
  codes[0x80] = 0x20AC;  // the euro sign is platform byte 0x80
  EXPECT_EQ(setStringEncoding(classAt(classIndexArray), codes, nullptr), 0);
  EXPECT_EQ(setStringEncoding(classAt(classIndexTwoByteString), codes, nullptr), 0);
  EXPECT_EQ(setStringEncoding(newUnenteredTestClass(formatIndexable), codes, nullptr), 0);
  oop cls = byteStringSubclass();
  ASSERT_EQ(setStringEncoding(cls, codes, copy), 1);
  EXPECT_EQ(platformStringClassX, hashOf(headerOf(cls)));
  EXPECT_EQ(memcmp(copy, codes, sizeof codes), 0);
  EXPECT_EQ(platformByteFor(0x20AC), 0x80);
  EXPECT_EQ(platformByteFor(0x80), -1);
  EXPECT_EQ(platformByteFor(0x7F), 0x7F);
  EXPECT_EQ(platformByteFor(0x81), 0x81);

  char buffer[8] = {};
  EXPECT_EQ(copyToCString(wide(u"A\u20AC"), buffer, 7), buffer);
  EXPECT_STREQ(buffer, "A\x80");
  const char latin[] = "\x80";
  EXPECT_EQ(copyToCString(bytes(classIndexByteString, latin, 1), buffer, 7), nullptr);
  // Instances of the platform-string class are copied byte for byte.
  EXPECT_EQ(copyToCString(bytes(hashOf(headerOf(cls)), latin, 1), buffer, 7), buffer);
  EXPECT_STREQ(buffer, "\x80");
}

TEST_F(PrimString, IsValidPlatformStringNeedsATerminatorAndOwnBytes) {
  struct Case {
    const char* what;
    oop string;
    int valid;
  };
  oop fixedNoTerminator = oopOf(allocVSObjInFixedSpace(classAt(classIndexByteString), 8));
  memcpy(bodyOf(headerOf(fixedNoTerminator)), "abcdefgh", 8);
  oop subclassInstance = bytes(hashOf(headerOf(byteStringSubclass())), "abc", 3);
  const Case cases[] = {
      {"padding holds the 0", bytes(classIndexByteString, "abc", 3), 1},
      {"full last word", bytes(classIndexByteString, "abcdefgh", 8), 0},
      {"0 inside the data", bytes(classIndexByteString, "abc\0efgh", 8), 1},
      {"two-byte with a 0 unit", wide(u"ab"), 1},
      {"two-byte, four full units", wide(u"abcd"), 0},
      {"character without its own byte", wide(u"\u20AC"), 0},
      {"accessed like ByteString", subclassInstance, 1},
      {"ByteArray", bytes(classIndexByteArray, "abc", 3), 0},
      {"fixed body needs no 0", fixedNoTerminator, 1},
      {"pointer object", newOldObject(testClasses.pointers, 2), 0},
      {"immediate", smallIntegerFor(3), 0},
  };
  for (const Case& c : cases) EXPECT_EQ(isValidPlatformString(c.string), c.valid) << c.what;

  uint16_t codes[256];
  memcpy(codes, identity, sizeof codes);
  codes[0x41] = 0x3A9;  // byte 0x41 now stands for another character
  ASSERT_EQ(setStringEncoding(classAt(classIndexByteString), codes, nullptr), 1);
  EXPECT_EQ(isValidPlatformString(bytes(classIndexByteString, "BA", 2)), 0);
  EXPECT_EQ(isValidPlatformString(bytes(classIndexByteString, "BC", 2)), 1);
}

TEST_F(PrimString, TempCStringLivesInANewByteArray) {
  oop s = bytes(classIndexByteString, "hello", 5);
  char* c = tempCString(s);
  ASSERT_NE(c, nullptr);
  EXPECT_STREQ(c, "hello");
  ObjectHeader* holder = reinterpret_cast<ObjectHeader*>(c) - 1;  // an eden body follows its header
  EXPECT_EQ(classTagOf(holder), classIndexByteArray);
  EXPECT_EQ(byteSizeOf(holder), 6u);
  char* w = tempCString(wide(u"hi"));
  ASSERT_NE(w, nullptr);
  EXPECT_STREQ(w, "hi");
  EXPECT_NE(w, c);
  EXPECT_EQ(tempCString(smallIntegerFor(1)), nullptr);
  EXPECT_EQ(tempCString(newOldObject(testClasses.pointers, 1)), nullptr);
}

}  // namespace
