// Enumeration primitives: first/next loops against the collecting forms, context-aware
// instance searches, owners and strong owners, failure order, and 440's Array restored
// whatever happens.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <vector>

#include "ext/exPrimTable.h"
#include "ext/exRequest.h"
#include "mman/heapVerifier.h"
#include "mman/mmAllocate.h"
#include "mman/mmEnumerate.h"
#include "mman/mmInit.h"
#include "mman/mmOldSpace.h"
#include "mman/mmPermSpace.h"
#include "mman/mmRt.h"
#include "mman/mmSysOop.h"
#include "mman/testHeap.h"
#include "prim/prEnumerate.h"
#include "support/primHarness.h"

namespace {

class EnumerationPrims : public ::testing::Test {
 protected:
  void SetUp() override { start(testHeapSizes()); }
  void start(const ArenaSizes& sizes) {
    newTestHeap(1 << 17, 100, sizes);
    initPrimitiveTable();
    initEnumerationPrims();
    temp1RegisteredOopX = allocSysOopSlot();
  }
  void TearDown() override {
    temp1RegisteredOopX = -1;
    osReserveSlots = 0;
    freeTestHeap();
  }

  // The objects a first/next pair visits, in order.
  static std::vector<oop> loop(uint32_t first, uint32_t next, oop rcv, bool nextTakesArg) {
    std::vector<oop> seen;
    PrimOutcome o = callPrimitive(first, rcv, {});
    while (!o.failed) {
      seen.push_back(o.result);
      o = nextTakesArg ? callPrimitive(next, rcv, {o.result}) : callPrimitive(next, o.result, {});
      if (seen.size() > 100000) break;
    }
    EXPECT_EQ(o.errorOop, primErrorAt(0));
    return seen;
  }
  static std::vector<oop> elements(oop array) {
    std::vector<oop> v(bodyOf(headerOf(array)), bodyOf(headerOf(array)) + bodyWordsOf(headerOf(array)));
    return v;
  }
  static std::set<oop> asSet(const std::vector<oop>& v) { return std::set<oop>(v.begin(), v.end()); }
  static oop collect(uint32_t prim, oop rcv, std::vector<oop> args) {
    PrimOutcome o = callPrimitive(prim, rcv, args);
    EXPECT_FALSE(o.failed);
    return o.failed ? 0 : o.result;
  }
};

TEST_F(EnumerationPrims, EveryObjectOnceAndAsTheCollectingFormFindsThem) {
  oop permObj = oopOf(allocInPermSpace(classIndexArray, 0, 8, hasPtrsBit, nilOop()));
  std::vector<oop> made = {permObj, newOldObject(classIndexArray, 2), newOldObject(classIndexByteArray, 3)};
  std::vector<oop> seen = loop(530, 531, nilOop(), false);
  EXPECT_EQ(asSet(seen).size(), seen.size()) << "an object visited twice";
  EXPECT_EQ(seen.front(), permObj) << "perm space comes first";
  for (oop o : made) EXPECT_TRUE(asSet(seen).count(o));
  // With a request pending, the next object is answered through the request service.
  setRequest(requestCompactLarge);
  EXPECT_EQ(callPrimitive(531, seen[0], {}).result, seen[1]);
  EXPECT_FALSE(anyRequestsPending());
  // 163 walks the same way from its argument.
  EXPECT_EQ(callPrimitive(163, nilOop(), {seen[0]}).result, seen[1]);
  EXPECT_TRUE(callPrimitive(163, nilOop(), {smallIntegerFor(1)}).failed);
  oop all = collect(404, nilOop(), {falseOop()});
  std::set<oop> collected = asSet(elements(all));
  EXPECT_EQ(collected.size(), bodyWordsOf(headerOf(all)));
  EXPECT_EQ(collected, asSet(seen));
  EXPECT_EQ(classTagOf(headerOf(all)), classIndexArray);
  EXPECT_HEAP_VALID();
}

TEST_F(EnumerationPrims, InstancesByLoopAndByCollection) {
  uint32_t cls = newTestClass(formatPointers | 1);
  std::vector<oop> made = {newOldObject(cls, 1), newOldObject(cls, 1), newOldObject(cls, 1)};
  makePerm(made[1]);
  made.push_back(oopOf(allocInPermSpace(cls, 1, 8, hasPtrsBit, nilOop())));
  std::vector<oop> seen = loop(77, 78, classAt(cls), false);
  EXPECT_EQ(seen.size(), made.size());
  EXPECT_EQ(asSet(seen), asSet(made));
  EXPECT_EQ(asSet(elements(collect(402, classAt(cls), {falseOop()}))), asSet(made));
  oop weak = collect(402, classAt(cls), {trueOop()});
  EXPECT_EQ(classTagOf(headerOf(weak)), 26u);
  EXPECT_TRUE(isGCSpecial(headerOf(weak)) && !isEphemeron(headerOf(weak)));
  EXPECT_EQ(asSet(elements(weak)), asSet(made));
  // A class that never had an instance (no index) fails 0 before committing anything.
  oop unentered = newUnenteredTestClass(formatPointers);
  PrimOutcome o = callPrimitive(77, unentered, {});
  ASSERT_TRUE(o.failed);
  EXPECT_EQ(o.errorOop, primErrorAt(0));
  EXPECT_FALSE(o.afterCommit);
  EXPECT_EQ(bodyWordsOf(headerOf(collect(402, unentered, {falseOop()}))), 0u);
  EXPECT_HEAP_VALID();
}

TEST_F(EnumerationPrims, ContextClassesIncludeHybridContexts) {
  for (uint32_t i : {8u, 9u, 11u, 12u}) {
    oop c = newUnenteredTestClass(formatPointers | 2);
    classTable[0][i] = c;
    setHash(headerOf(c), i);
  }
  oop hybrid = newOldObject(8, 2), stable = newOldObject(11, 2), block = newOldObject(9, 2);
  std::vector<oop> seen = loop(77, 78, classAt(11), false);
  EXPECT_EQ(asSet(seen), (std::set<oop>{hybrid, stable}));
  EXPECT_EQ(asSet(elements(collect(402, classAt(11), {falseOop()}))), (std::set<oop>{hybrid, stable}));
  EXPECT_EQ(asSet(elements(collect(402, classAt(12), {falseOop()}))), (std::set<oop>{block}));
}

TEST_F(EnumerationPrims, OwnersAndStrongOwners) {
  oop target = newOldObject(classIndexArray, 0);
  oop holder = newOldObject(classIndexArray, 3);
  storeSlot(holder, 2, target, __FILE__, __LINE__);
  oop weakHolder = newOldObject(testClasses.weak, 2);
  storeSlot(weakHolder, 1, target, __FILE__, __LINE__);
  // A new-space owner, kept alive by an old root; scavenges move it, so it is read back there.
  oop young = newNewObject(classIndexArray, 1);
  storeSlot(young, 0, target, __FILE__, __LINE__);
  oop root = newOldObject(classIndexArray, 1);
  storeSlot(root, 0, young, __FILE__, __LINE__);
  oop owners = collect(403, target, {falseOop()});
  EXPECT_EQ(asSet(elements(owners)), (std::set<oop>{holder, weakHolder, slotOf(root, 0)}));
  oop strong = collect(408, target, {falseOop()});
  EXPECT_EQ(asSet(elements(strong)), (std::set<oop>{holder, slotOf(root, 0)}));
  std::vector<oop> seen = loop(197, 198, target, true);  // tenures the owners first
  EXPECT_EQ(asSet(seen), (std::set<oop>{holder, weakHolder, slotOf(root, 0)}));
  EXPECT_TRUE(callPrimitive(198, target, {smallIntegerFor(2)}).failed);
  EXPECT_HEAP_VALID();
}

TEST_F(EnumerationPrims, BadArgumentsFailBeforeCommitting) {
  oop array = newOldObject(classIndexArray, 1);
  storeSlot(array, 0, classAt(classIndexArray), __FILE__, __LINE__);
  oop bogus = newOldObject(classIndexArray, 1);
  storeSlot(bogus, 0, smallIntegerFor(5), __FILE__, __LINE__);
  oop impostor = newUnenteredTestClass(formatPointers);
  setHash(headerOf(impostor), classIndexArray);  // not the table's entry at its hash
  oop withImpostor = newOldObject(classIndexArray, 1);
  storeSlot(withImpostor, 0, impostor, __FILE__, __LINE__);
  struct Case { uint32_t prim; oop rcv; std::vector<oop> args; int code; };
  oop cls = classAt(classIndexArray), n = nilOop();
  Case cases[] = {
      {402, cls, {n}, 3},   {403, cls, {n}, 3},   {404, cls, {smallIntegerFor(1)}, 3}, {408, cls, {n}, 3},
      {440, n, {array, n}, 3}, {440, n, {smallIntegerFor(1), trueOop()}, 3},
      {440, n, {newOldObject(testClasses.pointers, 1), trueOop()}, 3},
      {440, n, {bogus, trueOop()}, 3}, {440, n, {withImpostor, trueOop()}, 3},
      {78, smallIntegerFor(1), {}, 5}, {531, smallIntegerFor(1), {}, 5},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.prim);
    std::vector<oop> before = c.args.empty() || !isHeapObject(c.args[0]) ? std::vector<oop>{} : elements(c.args[0]);
    PrimOutcome o = callPrimitive(c.prim, c.rcv, c.args);
    ASSERT_TRUE(o.failed);
    EXPECT_EQ(o.errorOop, primErrorAt(uint32_t(c.code)));
    EXPECT_FALSE(o.afterCommit);
    if (!before.empty()) { EXPECT_EQ(elements(c.args[0]), before); }
  }
}

TEST_F(EnumerationPrims, InstancesOfAListRestoreTheArray) {
  uint32_t a = newTestClass(formatPointers), b = newTestClass(formatIndexable);
  oop fresh = newUnenteredTestClass(formatPointers);
  std::vector<oop> made = {newOldObject(a, 0), newOldObject(b, 4), newOldObject(a, 0)};
  oop list = newOldObject(classIndexArray, 3);
  std::vector<oop> classes = {classAt(a), classAt(b), fresh};
  for (int i = 0; i < 3; i++) storeSlot(list, uint64_t(i), classes[size_t(i)], __FILE__, __LINE__);
  oop result = collect(440, nilOop(), {list, falseOop()});
  EXPECT_EQ(asSet(elements(result)), asSet(made));
  EXPECT_EQ(elements(list), classes);
  EXPECT_NE(hashOf(headerOf(fresh)), 0u) << "a class without index is entered";
  EXPECT_EQ(sysOop(uint32_t(temp1RegisteredOopX)), nilOop());
  EXPECT_HEAP_VALID();
}

// With no room anywhere the collecting forms fail 1; 440's Array still holds its classes.
TEST_F(EnumerationPrims, CollectionWithoutRoom) {
  ArenaSizes small = testHeapSizes();
  small.edenWords = 64;
  small.warningWords = 8;
  small.survivorWords = 32;
  start(small);
  for (int i = 0; i < 100; i++) newOldObject(classIndexArray, 0);
  osReserveSlots = uint64_t(1) << 40;
  oop list = newOldObject(classIndexArray, 1);
  storeSlot(list, 0, classAt(classIndexArray), __FILE__, __LINE__);
  for (std::vector<oop> call : {std::vector<oop>{list, falseOop()}, std::vector<oop>{falseOop()}}) {
    uint32_t prim = call.size() == 2 ? 440 : 404;
    SCOPED_TRACE(prim);
    PrimOutcome o = callPrimitive(prim, nilOop(), call);
    ASSERT_TRUE(o.failed);
    EXPECT_EQ(o.errorOop, primErrorAt(1));
    EXPECT_EQ(o.numArgs, call.size());
    EXPECT_EQ(elements(list), std::vector<oop>{classAt(classIndexArray)});
  }
  osReserveSlots = 0;
  EXPECT_HEAP_VALID();
}

// The scan fills the buffer while room remains and answers the count, negated when short.
TEST_F(EnumerationPrims, ScanAnswersTheCountNegatedWhenTheBufferIsShort) {
  uint32_t cls = newTestClass(formatPointers);
  std::vector<oop> made = {newNewObject(cls, 0), oopOf(allocInPermSpace(cls, 0, 0, hasPtrsBit, nilOop())),
                           newOldObject(cls, 0)};
  for (size_t room = 0; room <= 4; room++) {
    SCOPED_TRACE(room);
    std::vector<oop> buffer(room + 1, 0);
    int64_t n = scanObjectMemory(&cls, instanceOfClassIndex, buffer.data(), buffer.data() + room);
    EXPECT_EQ(n, room >= 3 ? 3 : -3);
    for (size_t i = 0; i < std::min<size_t>(room, 3); i++)
      EXPECT_TRUE(std::find(made.begin(), made.end(), buffer[i]) != made.end());
    EXPECT_EQ(buffer[room], 0u) << "nothing written past the room";
  }
  oop holder = newOldObject(classIndexArray, 1);
  storeSlot(holder, 0, made[2], __FILE__, __LINE__);
  oop found[2] = {0, 0};
  EXPECT_EQ(scanReferentsOf(made[2], oopInObj, found, found + 2), 1);
  EXPECT_EQ(found[0], holder);
}

}  // namespace
