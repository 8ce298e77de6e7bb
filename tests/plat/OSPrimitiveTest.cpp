// Unix primitives of start-up: error-number names and texts (696, 697), the GUI
// library's name (949) and the link registry's handles (333).
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "ext/exError.h"
#include "ext/exInflate.h"
#include "mman/mmCString.h"
#include "mman/mmCValue.h"
#include "mman/mmPrimUtil.h"
#include "mman/mmSysOop.h"
#include "mman/testHeap.h"
#include "plat/unxMain.h"
#include "prim/prLinkRegistry.h"
#include "support/primHarness.h"

namespace {

std::string textOf(oop s) {
  return std::string((const char*)bodyOf(headerOf(s)), byteSizeOf(headerOf(s)));
}

oop stringFor(const std::string& text) { return STStringWithSize(text.data(), text.size()); }

class OSPrimitives : public testing::Test {
 protected:
  void SetUp() override {
    newTestHeap();
    sysOopRegistry[sysByteStringClass] = classAt(classIndexByteString);
    initOSErrorCodePrims();
    reserveOrLoadGUIPrimitives();
    initLinkRegistryPrimitives();
  }
  void TearDown() override { freeTestHeap(); }
};

TEST_F(OSPrimitives, ErrorNamesAndTexts) {
  struct Case {
    int64_t code;
    const char* name;  // null: fails with code 0
  } cases[] = {{11, "EWOULDBLOCK"}, {35, "EDEADLK"}, {4, "EINTR"}, {-3, "eof"},
               {-6, "inappropriate"}, {1, "EPERM"}, {1000, nullptr}, {0, nullptr}};
  for (const Case& c : cases) {
    PrimOutcome r = callPrimitive(696, nilOop(), {smallIntegerFor(c.code)});
    if (c.name == nullptr) {
      EXPECT_TRUE(r.failed) << c.code;
      EXPECT_EQ(r.errorOop, primErrorAt(primErrGeneral));
      EXPECT_EQ(r.numArgs, 1u);
    } else {
      ASSERT_FALSE(r.failed) << c.code;
      EXPECT_EQ(textOf(r.result), c.name);
    }
  }
  EXPECT_TRUE(callPrimitive(696, nilOop(), {nilOop()}).failed);
  PrimOutcome text = callPrimitive(697, nilOop(), {smallIntegerFor(2)});
  ASSERT_FALSE(text.failed);
  EXPECT_EQ(textOf(text.result), strerror(2));
  PrimOutcome negative = callPrimitive(697, nilOop(), {smallIntegerFor(-1)});
  EXPECT_TRUE(negative.failed);
  EXPECT_EQ(negative.errorOop, primErrorAt(primErrBadArgument));
}

// The name is whatever the bound library wrote (tests in this binary may have bound one).
TEST_F(OSPrimitives, GuiNameAnswersTheBoundLibrarysName) {
  char saved[sizeof graphicsPlatformName];
  memcpy(saved, graphicsPlatformName, sizeof saved);
  for (const char* name : {"nil", "x11-gui"}) {
    strcpy(graphicsPlatformName, name);
    PrimOutcome r = callPrimitive(949, nilOop(), {});
    ASSERT_FALSE(r.failed);
    EXPECT_EQ(textOf(r.result), name);
  }
  memcpy(graphicsPlatformName, saved, sizeof saved);
}

TEST_F(OSPrimitives, LinkRegistryHandles) {
  static int marker;
  UPRegisterSymbolAndHandle("tessel-test-marker", &marker);
  UPRegisterSymbolAndHandle("tessel-test-null", nullptr);
  PrimOutcome r = callPrimitive(333, nilOop(), {stringFor("tessel-test-marker")});
  ASSERT_FALSE(r.failed);
  uint64_t handle = 0;
  ASSERT_TRUE(oopToQ64(r.result, &handle));
  EXPECT_EQ(handle, (uint64_t)&marker);
  std::string longName(1023, 'x');
  UPRegisterSymbolAndHandle(strdup(longName.c_str()), &marker);
  EXPECT_FALSE(callPrimitive(333, nilOop(), {stringFor(longName)}).failed);
  struct Failing {
    oop argument;
  } failing[] = {{stringFor(longName + "x")}, {stringFor("tessel-test-null")},
                 {stringFor("tessel-test-absent")}, {smallIntegerFor(3)}};
  for (const Failing& f : failing) {
    PrimOutcome bad = callPrimitive(333, nilOop(), {f.argument});
    EXPECT_TRUE(bad.failed);
    EXPECT_EQ(bad.errorOop, primErrorAt(primErrBadArgument));
  }
}

TEST_F(OSPrimitives, CStringCopiesAreBounded) {
  oop s = stringFor("abcd");
  char buffer[5];
  memset(buffer, 'z', sizeof buffer);
  EXPECT_EQ(copyToCString(s, buffer, 4), buffer);  // capacity equal to the size
  EXPECT_STREQ(buffer, "abcd");
  EXPECT_EQ(copyToCString(s, buffer, 3), nullptr);
  EXPECT_EQ(copyToCString(smallIntegerFor(1), buffer, 4), nullptr);
  EXPECT_EQ(platformByteFor(0), 0);  // the first entry of the table is found too
  EXPECT_EQ(platformByteFor(255), 255);
  EXPECT_EQ(platformByteFor(256), -1);
}

}  // namespace
