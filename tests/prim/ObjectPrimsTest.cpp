// Object primitives (identity, class, hash, immutability, class changes) as tables of
// cases in failure order, and recycleObj in every space, checked by the heap verifier.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ext/exPrimTable.h"
#include "mman/heapVerifier.h"
#include "mman/mmAllocate.h"
#include "mman/mmFixedSpace.h"
#include "mman/mmIncGC.h"
#include "mman/mmLargeSpace.h"
#include "mman/mmNewSpace.h"
#include "mman/mmOldSpace.h"
#include "mman/mmPermSpace.h"
#include "mman/mmRt.h"
#include "mman/mmSysOop.h"
#include "mman/testHeap.h"
#include "prim/prObject.h"
#include "support/primHarness.h"

namespace {

oop si(int64_t v) { return smallIntegerFor(v); }

struct Case {
  uint32_t prim;
  oop rcv;
  std::vector<oop> args;
  int code;    // failure code, or -1 for success
  oop answer;  // on success, unless 0 (checked by the caller)
  std::string what;
};

class ObjectPrims : public ::testing::Test {
 protected:
  void SetUp() override {
    newTestHeap();
    initPrimitiveTable();
    initObjectPrims();
  }
  void TearDown() override { freeTestHeap(); }

  static void run(const std::vector<Case>& cases) {
    for (const Case& c : cases) {
      SCOPED_TRACE(std::to_string(c.prim) + " " + c.what);
      uint64_t flags = isHeapObject(c.rcv) ? headerOf(c.rcv)->flags : 0;
      PrimOutcome o = callPrimitive(c.prim, c.rcv, c.args);
      ASSERT_EQ(o.failed, c.code >= 0);
      if (o.failed) {
        EXPECT_EQ(o.errorOop, primErrorAt(uint32_t(c.code)));
        EXPECT_EQ(o.numArgs, c.args.size());
        if (isHeapObject(c.rcv)) { EXPECT_EQ(headerOf(c.rcv)->flags, flags); }
      } else if (c.answer != 0) {
        EXPECT_EQ(o.result, c.answer);
      }
    }
  }
};

TEST_F(ObjectPrims, IdentityClassAndHash) {
  oop t = trueOop(), f = falseOop(), nil = nilOop();
  oop a = newOldObject(classIndexArray, 2), b = newOldObject(classIndexArray, 2);
  oop fresh = newOldObject(classIndexArray, 1);
  oop cls = newUnenteredTestClass(formatPointers);
  uint32_t entered = newTestClass(formatPointers);
  oop enteredClass = classAt(entered);
  run({
      {109, a, {b}, -1, t, "different"},     {109, a, {a}, -1, f, "same"},
      {110, si(3), {si(3)}, -1, t, "same immediate"},
      {209, nil, {a, a}, -1, f, "same"},      {210, nil, {a, b}, -1, f, "different"},
      {111, a, {}, -1, classAt(classIndexArray), "heap object"},
      {111, si(1), {}, -1, firstClassTablePage[3], "SmallInteger"},
      {211, nil, {characterFor(7)}, -1, firstClassTablePage[1], "Character"},
      {75, si(1), {}, 5, 0, "immediate"},    {175, nil, {si(1)}, 5, 0, "immediate argument"},
      {1060, fresh, {}, -1, f, "no hash yet"}, {1061, fresh, {}, 5, 0, "no hash yet"},
      {1060, si(5), {}, -1, t, "immediate"},  {1061, si(-5), {}, -1, si(-5), "SmallInteger answers itself"},
      {1061, characterFor(65), {}, -1, si(65), "Character"},
      {1061, smallDoubleFor(1.0), {}, -1, si(int64_t(smallDoubleFor(1.0) >> 3)), "SmallDouble"},
      {1062, si(1), {si(1)}, 5, 0, "immediate receiver"},
      {1062, a, {nil}, 3, 0, "not a SmallInteger"},
      {1062, a, {si(0x123456)}, -1, si(0x23456), "low 20 bits"},
      {1061, a, {}, -1, si(0x23456), "reads it"},
      {1062, enteredClass, {si(entered)}, -1, si(entered), "class keeps its index"},
      {1062, enteredClass, {si(entered + 1)}, 12, 0, "class index differs"},
      {1062, b, {si(entered + 1)}, -1, si(entered + 1), "any value on an ordinary object"},
      {1065, nil, {}, -1, si(1048575), "largest hash"},
      {1075, si(1), {}, 5, 0, "immediate"},
      {1075, enteredClass, {}, -1, si(entered), "entered class"},
  });
  // 75 assigns a hash that 1061 then reads; 1062 with low bits 0 assigns a fresh one.
  PrimOutcome h = callPrimitive(75, fresh, {});
  ASSERT_FALSE(h.failed);
  EXPECT_NE(smallIntegerValue(h.result), 0);
  EXPECT_EQ(callPrimitive(1061, fresh, {}).result, h.result);
  EXPECT_EQ(callPrimitive(175, nilOop(), {fresh}).result, h.result);
  PrimOutcome z = callPrimitive(1062, a, {si(1 << 20)});
  ASSERT_FALSE(z.failed);
  EXPECT_NE(smallIntegerValue(z.result), 0);
  EXPECT_EQ(hashOf(headerOf(a)), uint32_t(smallIntegerValue(z.result)));
  // 1075 enters a class without index.
  PrimOutcome e = callPrimitive(1075, cls, {});
  ASSERT_FALSE(e.failed);
  EXPECT_EQ(classAt(uint32_t(smallIntegerValue(e.result))), cls);
  EXPECT_HEAP_VALID();
}

TEST_F(ObjectPrims, Immutability) {
  oop t = trueOop(), f = falseOop(), nil = nilOop();
  oop a = newOldObject(classIndexArray, 1);
  oop page0 = slotOf(sysOop(sysClassTablePages), 0);
  oop ctxClass = newUnenteredTestClass(formatPointers | 2);
  classTable[0][8] = ctxClass;
  oop ctx = newOldObject(8, 2);
  run({
      {176, nil, {si(1)}, -1, t, "immediates are immutable"},
      {1063, a, {}, -1, f, "mutable"},
      {1064, a, {nil}, 3, 0, "not a Boolean"},
      {1064, si(1), {nil}, 3, 0, "not a Boolean on an immediate"},
      {1064, si(1), {t}, -1, t, "immediate: already immutable"},
      {1064, si(1), {f}, 5, 0, "immediate cannot be made mutable"},
      {1064, a, {t}, -1, f, "previous state"},
      {1063, a, {}, -1, t, "now immutable"},
      {177, nil, {a, t}, -1, t, "again"},
      {177, nil, {a, f}, -1, t, "cleared"},
      {176, nil, {a}, -1, f, "reads it"},
      {177, nil, {page0, f}, 5, 0, "class-table page stays immutable"},
      {177, nil, {page0, t}, -1, t, "setting it succeeds"},
  });
  // A hybrid context without a frame is made stable before it becomes immutable.
  PrimOutcome o = callPrimitive(1064, ctx, {t});
  ASSERT_FALSE(o.failed);
  EXPECT_EQ(o.result, f);
  EXPECT_TRUE(isImmutable(headerOf(ctx)));
  EXPECT_EQ(classTagOf(headerOf(ctx)), classIndexMethodContext);
}

TEST_F(ObjectPrims, ChangingClassesInFailureOrder) {
  uint64_t ptr = formatPointers, var = formatIndexable;
  oop fixed3 = newUnenteredTestClass(ptr | 3);
  oop var2 = newUnenteredTestClass(ptr | var | 2);
  oop weakVar = newUnenteredTestClass(ptr | var | formatWeak);
  oop byteClass = newUnenteredTestClass(var);
  oop ephClass = newUnenteredTestClass(ptr | formatEphemeron | 2);
  oop kernel = classAt(classIndexByteString);  // index 17
  oop three = newOldObject(testClasses.threeSlots, 3);
  oop four = newOldObject(classIndexArray, 4);
  oop one = newOldObject(classIndexArray, 1);
  oop bytes = newOldObject(classIndexByteArray, 5);
  oop frozen = newOldObject(classIndexArray, 3);
  setFlag(headerOf(frozen), isImmutableBit);
  oop eph = newOldObject(classIndexArray, 2);
  headerOf(eph)->flags |= isGCSpecialBit | ephemeronNotWeakBit;
  oop ctxClass = newUnenteredTestClass(ptr | 3);
  classTable[0][8] = ctxClass;
  oop ctx = newOldObject(8, 3);
  // An ordinary class entered under an index 1-9 adopts nothing.
  oop low = newUnenteredTestClass(ptr | 3);
  classTable[0][7] = low;
  setHash(headerOf(low), 7);
  run({
      {536, si(1), {three}, 5, 0, "receiver no class"},
      {536, fixed3, {si(1)}, 3, 0, "immediate object"},
      {536, fixed3, {four}, 3, 0, "4 slots for 3 named"},
      {536, fixed3, {ctx}, 3, 0, "context"},
      {536, byteClass, {four}, 3, 0, "byte class, pointer object"},
      {536, fixed3, {bytes}, 3, 0, "pointer class, byte object"},
      {536, var2, {one}, 3, 0, "fewer slots than named"},
      {536, var2, {eph}, 3, 0, "ephemeron into an indexable class"},
      {536, low, {three}, 3, 0, "class index 1-9"},
      {536, fixed3, {frozen}, 23, 0, "immutable after the shape"},
      {536, fixed3, {three}, -1, fixed3, "3 named slots"},
      {536, kernel, {bytes}, -1, kernel, "byte class adopts bytes"},
      {536, weakVar, {four}, -1, weakVar, "weak"},
      {536, ephClass, {eph}, -1, ephClass, "ephemeron class"},
      {535, si(1), {four}, 5, 0, "immediate receiver"},
      {535, ctx, {four}, 5, 0, "context receiver"},
      {535, four, {ctx}, 3, 0, "context argument"},
      {535, four, {si(1)}, 3, 0, "immediate argument"},
      {535, four, {bytes}, 3, 0, "pointers and bytes"},
      {535, one, {three}, 3, 0, "slot counts differ"},
      {535, frozen, {newOldObject(classIndexArray, 0)}, 23, 0, "immutable"},
  });
  EXPECT_EQ(classOf(three), fixed3);
  EXPECT_EQ(indexabilityOf(headerOf(three)), 3u);
  EXPECT_EQ(classTagOf(headerOf(bytes)), classIndexByteString);
  EXPECT_TRUE(isGCSpecial(headerOf(four)) && !isEphemeron(headerOf(four)));
  EXPECT_TRUE(isEphemeron(headerOf(eph)));
  EXPECT_EQ(indexabilityOf(headerOf(eph)), 2u);
  EXPECT_EQ(incGCClassChangeCalls, 3u);
  // 535 copies the class and the special bits of its argument.
  oop plain = newOldObject(classIndexArray, 4);
  ASSERT_FALSE(callPrimitive(535, plain, {four}).failed);
  EXPECT_EQ(headerOf(plain)->flags & (classTagMask | isGCSpecialBit | ephemeronNotWeakBit | indexabilityMask),
            headerOf(four)->flags & (classTagMask | isGCSpecialBit | ephemeronNotWeakBit | indexabilityMask));
  oop threeAgain = newOldObject(classIndexArray, 3);
  ASSERT_FALSE(callPrimitive(535, threeAgain, {three}).failed);
  EXPECT_EQ(classOf(threeAgain), fixed3);
  // A perm object that changes class is recorded in the old remembered table.
  oop perm = newOldObject(classIndexArray, 3);
  makePerm(perm);
  ASSERT_FALSE(callPrimitive(536, fixed3, {perm}).failed);
  EXPECT_TRUE(isInOldRt(headerOf(perm)));
  EXPECT_HEAP_VALID();
}

// While marking runs, a marked object that takes an unmarked class marks the class, so that
// no marked object refers to an unmarked one.
TEST_F(ObjectPrims, ClassChangesKeepTheMarkingInvariant) {
  oop fixed3 = newUnenteredTestClass(formatPointers | 3);
  oop other = newOldObject(testClasses.threeSlots, 3);
  struct Case { uint32_t prim; oop rcv; oop arg; oop cls; };
  oop a = newOldObject(classIndexArray, 3), b = newOldObject(classIndexArray, 3);
  Case cases[] = {{536, fixed3, a, fixed3}, {535, b, other, classAt(testClasses.threeSlots)}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.prim);
    oop o = c.prim == 536 ? c.arg : c.rcv;
    currentIncGCState = incGCMarking;
    setFlag(headerOf(o), isMarkedBit);
    clearFlag(headerOf(c.cls), isMarkedBit);
    ASSERT_FALSE(callPrimitive(c.prim, c.rcv, {c.arg}).failed);
    EXPECT_TRUE(isMarked(headerOf(c.cls)));
    currentIncGCState = incGCResting;
    clearFlag(headerOf(o), isMarkedBit);
    clearFlag(headerOf(c.cls), isMarkedBit);
  }
  EXPECT_HEAP_VALID();
}

TEST_F(ObjectPrims, RecycleObjInEverySpace) {
  struct Kind {
    const char* what;
    oop (*make)();
  };
  Kind kinds[] = {
      {"new", [] { return newNewObject(classIndexArray, 3); }},
      {"new, extended body", [] { return newNewObject(classIndexByteArray, 3000); }},
      {"perm", [] { return oopOf(allocInPermSpace(classIndexArray, 0, 24, hasPtrsBit, nilOop())); }},
      {"old", [] { return newOldObject(classIndexArray, 5); }},
      {"old, 70 slots", [] { return newOldObject(classIndexArray, 70); }},
      {"old, extended body", [] { return newOldObject(classIndexByteArray, 2100); }},
      {"large space", [] { return oopOf(allocInLargeSpace(classIndexByteArray, 5000, 0, 0)); }},
      {"fixed space", [] { return oopOf(allocVSObjInFixedSpace(classAt(classIndexByteArray), 100)); }},
      {"remembered", [] {
         oop o = newOldObject(classIndexArray, 2);
         storeSlot(o, 0, newNewObject(testClasses.object, 0), __FILE__, __LINE__);
         return o;
       }},
      {"marked", [] {
         oop o = newOldObject(classIndexArray, 2);
         setFlag(headerOf(o), isMarkedBit);
         return o;
       }},
  };
  for (const Kind& k : kinds) {
    SCOPED_TRACE(k.what);
    oop o = k.make();
    ASSERT_NE(o, 0u);
    ObjectHeader* h = headerOf(o);
    bool oldObject = !isNewObject(o) && !isPermObject(h);
    bool stays = oldObject && (inRt(h) || isMarked(h));
    uint64_t freeSlots = oldSpaceSegs.freeSlots, freeOt = oldSpaceSegs.freeOtCount;
    uint64_t body = bodyWordsOf(h) + (hasSizeWord(h) ? 1 : 0);
    bool oldData = oldObject && sizeFieldOf(h) < sizeFieldLarge;
    recycleObj(o);
    if (stays) {
      EXPECT_EQ(classTagOf(h), classIndexByteArray);
      EXPECT_EQ(h->dataPtr, 0u);
      EXPECT_EQ(sizeFieldOf(h), 0u);
      EXPECT_FALSE(hasPtrs(h));
    } else if (oldObject) {
      EXPECT_EQ(oldSpaceSegs.freeOtCount, freeOt + 1);
    }
    if (oldData) { EXPECT_EQ(oldSpaceSegs.freeSlots, freeSlots + body); }
    if (stays) clearFlag(h, isMarkedBit);  // the mark belonged to no running collection
    EXPECT_HEAP_VALID();
  }
}

}  // namespace
