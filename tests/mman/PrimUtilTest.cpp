// Primitive utilities: class membership.
#include <gtest/gtest.h>

#include "mman/mmPrimUtil.h"
#include "mman/mmSysOop.h"
#include "mman/testHeap.h"

namespace {

TEST(PrimUtil_IsKindOf, FollowsTheSuperclassChain) {
  newTestHeap();
  oop object = classAt(testClasses.object);
  oop pointers = classAt(testClasses.pointers);
  oop o = newOldObject(testClasses.pointers, 2);
  EXPECT_EQ(isKindOf(o, pointers), 1);
  EXPECT_EQ(isKindOf(o, object), 1);
  EXPECT_EQ(isKindOf(o, classAt(testClasses.bytes)), 0);
  EXPECT_EQ(isKindOf(smallIntegerFor(5), classAt(classIndexSmallInteger)), 1);
  EXPECT_EQ(isKindOf(smallIntegerFor(5), object), 1);
  EXPECT_EQ(isKindOf(characterFor(65), classAt(classIndexSmallInteger)), 0);
  EXPECT_EQ(isKindOf(o, nilOop()), 0);
  freeTestHeap();
}

}  // namespace
