// The environment registry: reading and setting engine variables by name (140-142), the
// identity bytes (302), the string encoding (340) and the PrimErrorTable (400, 401).
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "prim/prEnviron.h"
#include "ext/exOption.h"
#include "mman/mmAllocate.h"
#include "mman/mmImageHeader.h"
#include "mman/mmSysOop.h"
#include "mman/testHeap.h"
#include "support/ioKernel.h"

namespace {

class Environment : public testing::Test {
 protected:
  void SetUp() override {
    newIOTestHeap();
    registerStartupNamedObjects();
    savedImageFilename = imageFilename;
  }
  void TearDown() override {
    imageFilename = savedImageFilename;
    freeTestHeap();
  }
  char* savedImageFilename = imageFilename;
  PrimOutcome get(const std::string& name) { return callPrimitive(141, nilOop(), {byteString(name)}); }
  PrimOutcome set(const std::string& name, oop value) {
    return callPrimitive(140, nilOop(), {value, byteString(name)});
  }
};

TEST_F(Environment, ReadsAndSetsByKind) {
  EXPECT_EQ(textOf(get("ISA").result), "x86-64");
  EXPECT_EQ(textOf(get("moniker").result), "linuxx86_64");
  EXPECT_EQ(get("sysOopRegistry").result, (oop)sysOopRegistryOop);
  std::string herald100(100, 'h'), herald101(101, 'h');
  oop semaphore = newSemaphore();
  struct Case {
    const char* name;
    oop value;
    int failure;  // -1: accepted, and 141 answers expected
    oop expected;
  } cases[] = {
      {"ISA", byteString("x"), 12, 0},
      {"sysOopRegistry", nilOop(), 12, 0},
      {"acceptQuitEvents", smallIntegerFor(3), 5, 0},
      {"acceptQuitEvents", trueOop(), -1, trueOop()},
      {"acceptQuitEvents", falseOop(), -1, falseOop()},
      {"showHerald", nilOop(), 5, 0},
      {"IEEEFloatingPointPrimitives", smallIntegerFor(1), 5, 0},
      {"ScavengeSemaphore", smallIntegerFor(3), 5, 0},
      {"ScavengeSemaphore", semaphore, -1, semaphore},
      {"ScavengeSemaphore", nilOop(), -1, nilOop()},
      {"heraldString", byteString(herald101), 3, 0},
      {"heraldString", smallIntegerFor(1), 5, 0},
      {"noSuchName", nilOop(), 10, 0},
  };
  uint32_t ieee = IEEEInfNaN, persistIeee = persistIEEEInfNaN;
  for (const Case& c : cases) {
    PrimOutcome r = set(c.name, c.value);
    if (c.failure >= 0) {
      EXPECT_EQ(failureOf(r).code, c.failure) << c.name;
      continue;
    }
    ASSERT_FALSE(r.failed) << c.name;
    EXPECT_EQ(get(c.name).result, c.expected) << c.name;
  }
  EXPECT_EQ(IEEEInfNaN, ieee);
  EXPECT_EQ(persistIEEEInfNaN, persistIeee);
  EXPECT_EQ(get("IEEEFloatingPointPrimitives").result, booleanOop(ieee != 0));
  ASSERT_FALSE(set("heraldString", byteString(herald100)).failed);
  EXPECT_EQ(textOf(get("heraldString").result), herald100);
  EXPECT_EQ(failureOf(callPrimitive(141, nilOop(), {smallIntegerFor(1)})).code, 3);
  EXPECT_EQ(failureOf(get("noSuchName")).code, 10);
}

// The two image-name entries share one variable and one length: setting either is seen
// through both, nil through both, and the start-up name is never freed (ASan watches).
TEST_F(Environment, ImageNameEntriesShareTheName) {
  char startName[] = "start.im";
  imageFilename = startName;
  initEnvironmentPrimitives();
  EXPECT_EQ(textOf(get("imageFilename").result), std::string("start.im", 9));
  ASSERT_FALSE(set("imageName", byteString("second.im")).failed);
  EXPECT_EQ(textOf(get("imageName").result), "second.im");
  EXPECT_EQ(textOf(get("imageFilename").result), std::string("second.im", 10));
  ObjectHeader* bytes = allocVSObj(sysOop(sysByteArrayClass), 7);
  memcpy(bodyOf(bytes), "third\0", 6);
  ((char*)bodyOf(bytes))[6] = 0;
  ASSERT_FALSE(set("imageFilename", oopOf(bytes)).failed);
  EXPECT_STREQ(imageFilename, "third");
  EXPECT_EQ(textOf(get("imageName").result), "third");
  EXPECT_EQ(failureOf(set("imageFilename", byteString("x"))).code, 5);
  ASSERT_FALSE(set("imageName", nilOop()).failed);
  EXPECT_EQ(get("imageName").result, nilOop());
  EXPECT_EQ(get("imageFilename").result, nilOop());
  EXPECT_EQ(imageFilename, nullptr);
}

TEST_F(Environment, NamesIdentityAndEncoding) {
  PrimOutcome names = callPrimitive(142, nilOop(), {});
  ASSERT_FALSE(names.failed);
  const char* fixed[] = {"ISA", "moniker", "ScavengeSemaphore", "imageName", "imageFilename",
                         "sysOopRegistry", "acceptQuitEvents", "showHerald", "IEEEFloatingPointPrimitives"};
  ASSERT_GE(byteSizeOf(headerOf(names.result)) / 8, 9u);
  for (int i = 0; i < 9; i++) EXPECT_EQ(textOf(slotOf(names.result, i)), fixed[i]);
  PrimOutcome id = callPrimitive(302, nilOop(), {});
  ASSERT_FALSE(id.failed);
  ASSERT_EQ(byteSizeOf(headerOf(id.result)), 12u);
  const uint8_t* b = (const uint8_t*)bodyOf(headerOf(id.result));
  EXPECT_EQ(std::string((const char*)b, 4), "\x48\x40\x4C\xB0");
  EXPECT_EQ(memcmp(b + 4, viSig, 4), 0);
  EXPECT_EQ(memcmp(b + 8, vmThumb, 4), 0);
  oop twoByte = newUnenteredTestClass(formatIndexable);
  classTable[0][classIndexTwoByteString] = twoByte;
  setHash(headerOf(twoByte), classIndexTwoByteString);
  sysOopRegistry[sysTwoByteStringClass] = twoByte;
  PrimOutcome encoding = callPrimitive(340, nilOop(), {});
  ASSERT_FALSE(encoding.failed);
  EXPECT_EQ(textOf(slotOf(encoding.result, 0)), "ISO8859L1");
  const uint16_t* codes = (const uint16_t*)bodyOf(headerOf(slotOf(encoding.result, 1)));
  for (int i = 0; i < 256; i++) ASSERT_EQ(codes[i], i);
}

TEST_F(Environment, ErrorTableCopiesAndReplacement) {
  oop table = sysOop(sysPrimErrorTable);
  PrimOutcome copy = callPrimitive(400, nilOop(), {});
  ASSERT_FALSE(copy.failed);
  EXPECT_NE(copy.result, table);
  EXPECT_EQ(memcmp(bodyOf(headerOf(copy.result)), bodyOf(headerOf(table)), 37 * 8), 0);
  struct Case {
    oop argument;
    bool accepted;
  } cases[] = {{oopOf(allocVSObj(sysOop(sysArrayClass), 26)), false},
               {smallIntegerFor(3), false},
               {oopOf(allocVSObj(sysOop(sysByteArrayClass), 27 * 8)), false},
               {copy.result, true}};
  for (const Case& c : cases) {
    PrimOutcome r = callPrimitive(401, nilOop(), {c.argument});
    EXPECT_EQ(r.failed, !c.accepted);
    if (c.accepted) {
      EXPECT_NE(sysOop(sysPrimErrorTable), c.argument);  // a copy is installed
      EXPECT_EQ(slotOf(sysOop(sysPrimErrorTable), 9), slotOf(c.argument, 9));
    }
  }
}

}  // namespace
