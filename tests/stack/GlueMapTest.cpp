// Glue thunks: generated code reaches a glue routine beyond the code zone's 32-bit reach
// through a 14-byte thunk in the zone's permanent area.
#include <gtest/gtest.h>

#include <cstring>

#include "ext/platform.h"
#include "stack/glueMap.h"
#include "support/testZone.h"

namespace {

// A function far above the program and the code zone: mov eax, 42; ret.
uint64_t farFunction() {
  static uint8_t* code;
  if (code == nullptr) {
    code = static_cast<uint8_t*>(pdMapMemory(4096, 12ull << 30, 0, pdProtRead | pdProtWrite | pdProtExec, nullptr));
    if (code == nullptr) return 0;
    static const uint8_t body[6] = {0xB8, 42, 0, 0, 0, 0xC3};
    memcpy(code, body, sizeof body);
  }
  return uint64_t(code);
}

// The map's pairs are emptied after each case (their thunks lie in the zone the case saved).
class GlueMap : public ::testing::Test {
 protected:
  void TearDown() override { glueMapCount = 0; }
};

}  // namespace

// The glue map pairs only what lies out of reach; the thunk, made in the permanent area,
// jumps to the far function, and glueThunkFor answers it there and the address itself for a
// routine in reach.
TEST_F(GlueMap, AThunkReachesAFunctionBeyondTwoGigabytes) {
  SavedNMethodZone saved;
  uint64_t farAddress = farFunction(), nearAddress = minNZonePC;
  ASSERT_NE(farAddress, 0u);
  ASSERT_FALSE(glueInReach(farAddress));
  ASSERT_TRUE(glueInReach(nearAddress));
  const uint64_t routines[] = {nearAddress, farAddress};
  initGlueMapFor(routines, 2);
  ASSERT_EQ(glueMapCount, 1);
  uint64_t thunk = glueThunkFor(farAddress);
  EXPECT_EQ(thunk, glueMap[0].thunk);
  EXPECT_TRUE(thunk >= minNZonePC && thunk <= maxNZonePC) << std::hex << thunk;
  const uint8_t* t = reinterpret_cast<const uint8_t*>(thunk);
  uint32_t low, high;
  memcpy(&low, t + 1, 4);
  memcpy(&high, t + 9, 4);
  EXPECT_EQ(t[0], 0x68);
  EXPECT_EQ(memcmp(t + 5, "\xC7\x44\x24\x04", 4), 0);
  EXPECT_EQ(t[13], 0xC3);
  EXPECT_EQ((uint64_t(high) << 32) | low, farAddress);
  EXPECT_EQ(reinterpret_cast<int (*)()>(thunk)(), 42);
  EXPECT_EQ(glueThunkFor(nearAddress), nearAddress);
}

TEST(GlueMapDeathTest, TooManyOrUnpairedRoutinesAbortTheTranslator) {
  uint64_t farAddress = farFunction();
  ASSERT_NE(farAddress, 0u);
  uint64_t routines[glueMapCapacity + 1];
  for (int i = 0; i <= glueMapCapacity; i++) routines[i] = farAddress + 16 * uint64_t(i);
  EXPECT_DEATH(initGlueMapFor(routines, glueMapCapacity + 1), "glueMap too small");
  glueMapCount = 0;
  EXPECT_DEATH(glueThunkFor(farAddress), "no thunk for glue routine 0x\\w+ \\(0x\\w+\\)");
}
