// Memory-policy primitives: the free old-space estimate (115) against reserve and room, and
// the size fractions set (305) and read back (306), every element checked before any store.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "ext/exPrimTable.h"
#include "mman/heapVerifier.h"
#include "mman/mmImageHeader.h"
#include "mman/mmOldSpace.h"
#include "mman/mmRt.h"
#include "mman/mmSysOop.h"
#include "mman/testHeap.h"
#include "prim/prDouble.h"
#include "prim/prResources.h"
#include "support/primHarness.h"

namespace {

class LowSpaceResources : public ::testing::Test {
 protected:
  void SetUp() override {
    newTestHeap();
    initPrimitiveTable();
    initResourcePrims();
    saved = imageLayout;
    savedReserve = osReserveSlots;
    for (uint32_t i = 0; i < resourceFractionCount; i++) *resourceFraction(i) = 1000 * (i + 1);
  }
  void TearDown() override {
    imageLayout = saved;
    osReserveSlots = savedReserve;
    EXPECT_HEAP_VALID();
    freeTestHeap();
  }
  static oop array(const std::vector<oop>& elements) {
    oop a = newOldObject(testClasses.pointers, elements.size());
    setClassTag(headerOf(a), classIndexArray);
    for (uint64_t i = 0; i < elements.size(); i++) storeSlot(a, i, elements[i], __FILE__, __LINE__);
    return a;
  }
  static std::vector<uint32_t> fractions() {
    std::vector<uint32_t> out;
    for (uint32_t i = 0; i < resourceFractionCount; i++) out.push_back(*resourceFraction(i));
    return out;
  }
  ImageLayout saved;
  uint64_t savedReserve = osReserveSlots;
};

TEST_F(LowSpaceResources, Prim305SetsFractionsOnlyWhenEveryElementIsGood) {
  auto f = [](float v) { return newFloatBox(v); };
  oop nil = nilOop();
  float inf = std::numeric_limits<float>::infinity(), nan = std::numeric_limits<float>::quiet_NaN();
  struct Case { const char* what; std::vector<oop> elements; bool ok; std::vector<uint32_t> expected; };
  std::vector<Case> cases = {
      {"seven", {f(0.5f), f(0.25f), f(0.125f), f(1), f(2), f(0), f(0.0001f)}, true, {5000, 2500, 1250, 10000, 20000, 0, 1}},
      {"six keep fixed space", {f(0.5f), f(0.5f), f(0.5f), f(0.5f), f(0.5f), f(0.5f)}, true, {5000, 5000, 5000, 5000, 5000, 5000, 7000}},
      {"nil keeps its fraction", {nil, f(0.5f), nil, f(0.5f), nil, f(0.5f), nil}, true, {1000, 5000, 3000, 5000, 5000, 5000, 7000}},
      {"negative", {f(0.5f), f(-0.5f), f(0.5f), f(0.5f), f(0.5f), f(0.5f)}, false, {}},
      {"NaN", {f(0.5f), f(0.5f), f(nan), f(0.5f), f(0.5f), f(0.5f)}, false, {}},
      {"infinity", {f(0.5f), f(0.5f), f(0.5f), f(inf), f(0.5f), f(0.5f)}, false, {}},
      {"past 32 bits", {f(0.5f), f(0.5f), f(0.5f), f(0.5f), f(0.5f), f(430000.0f)}, false, {}},
      {"an integer element", {f(0.5f), smallIntegerFor(1), f(0.5f), f(0.5f), f(0.5f), f(0.5f)}, false, {}},
      {"five", {f(0.5f), f(0.5f), f(0.5f), f(0.5f), f(0.5f)}, false, {}},
      {"eight", {nil, nil, nil, nil, nil, nil, nil, nil}, false, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    for (uint32_t i = 0; i < resourceFractionCount; i++) *resourceFraction(i) = 1000 * (i + 1);
    std::vector<uint32_t> before = fractions();
    PrimOutcome o = callPrimitive(305, nilOop(), {array(c.elements)});
    ASSERT_EQ(o.failed, !c.ok);
    if (c.ok) {
      EXPECT_EQ(o.result, nilOop());
      EXPECT_EQ(fractions(), c.expected);
    } else {
      EXPECT_EQ(o.errorOop, primErrorAt(3));
      EXPECT_EQ(fractions(), before);
    }
  }
  EXPECT_TRUE(callPrimitive(305, nilOop(), {smallIntegerFor(3)}).failed);
}

TEST_F(LowSpaceResources, Prim306AnswersTheFractionsAsFloats) {
  PrimOutcome o = callPrimitive(306, nilOop(), {});
  ASSERT_FALSE(o.failed);
  ASSERT_EQ(classTagOf(headerOf(o.result)), uint32_t(classIndexArray));
  ASSERT_EQ(bodyWordsOf(headerOf(o.result)), uint64_t(resourceFractionCount));
  for (uint32_t i = 0; i < resourceFractionCount; i++) {
    oop e = slotOf(o.result, i);
    ASSERT_EQ(classTagOf(headerOf(e)), uint32_t(classIndexFloat));
    float v;
    memcpy(&v, bodyOf(headerOf(e)), sizeof v);
    EXPECT_FLOAT_EQ(v, 0.1f * float(i + 1));
  }
  // Read back through 305: the same fractions.
  std::vector<uint32_t> before = fractions();
  ASSERT_FALSE(callPrimitive(305, nilOop(), {o.result}).failed);
  EXPECT_EQ(fractions(), before);
}

TEST_F(LowSpaceResources, Prim115CountsATenthOfTheRoomBeyondTheReserve) {
  uint64_t left = slotsLeftInOldSpace(), free = oldSpaceSegs.freeSlots;
  struct Case { uint64_t reserve; uint64_t expected; };
  std::vector<Case> cases = {
      {0, free + left / 10},
      {left, free},
      {left + 10 * free + 10, 0},          // the deficit's tenth outweighs the free words
      {left + 10, free > 1 ? free - 1 : 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.reserve);
    osReserveSlots = c.reserve;
    PrimOutcome o = callPrimitive(115, nilOop(), {});
    ASSERT_FALSE(o.failed);
    EXPECT_EQ(o.result, smallIntegerFor(int64_t(c.expected)));
  }
}

}  // namespace
