// Tests of the finalization queue: queueing by the scavenger, fetching (primitive 301), losses,
// growth, the Semaphore (300) and the weakness primitives (465-469).
#include <gtest/gtest.h>

#include <cmath>

#include "ext/exPrimTable.h"
#include "mman/mmOldSpace.h"
#include "mman/scavengeHeap.h"
#include "support/primHarness.h"

namespace {

class Finalization : public ScavengeHeapTest {
 protected:
  oop semaphore = 0;
  void SetUp() override {
    ScavengeHeapTest::SetUp();
    initPrimitiveTable();
    initFinalizationPrims();
    // Error entries that can carry a value, as the image's are.
    for (uint32_t code : {1u, 26u}) {
      oop error = newOldObject(testClasses.pointers, 1);
      store(error, 0, smallIntegerFor(-int64_t(code)));
      store(sysOop(sysPrimErrorTable), code, error);
    }
    semaphore = newOldObject(hashOf(headerOf(sysOop(sysSemaphoreClass))), 3);
    store(semaphore, 2, smallIntegerFor(0));
  }
  oop fetch() {
    PrimOutcome r = callPrimitive(301, nilOop(), {});
    EXPECT_FALSE(r.failed);
    return r.result;
  }
  void registerSemaphore() { ASSERT_FALSE(callPrimitive(300, nilOop(), {semaphore}).failed); }
  int64_t excessSignals() { return smallIntegerValue(slotOf(semaphore, 2)); }
  uint64_t slots() { return (finalQueueEnd - finalQueueBase) / 8; }
  // A weak holder (rooted at slot i) whose only referent dies in the next scavenge.
  void weakWithDeadReferent(uint64_t i) {
    oop weak = newWeak(1);
    setRoot(i, weak);
    store(weak, 1, newNewObject(testClasses.pointers, 1));
  }
};

TEST_F(Finalization, Finalization_FetchSkipsMarkersAndTheQueueThenResetsTheWindow) {
  registerSemaphore();
  weakWithDeadReferent(0);
  ASSERT_EQ(scavengeNewSpace(), 1);
  EXPECT_EQ(excessSignals(), 1) << "the collection signals the Semaphore";
  // an entry that dies before it is fetched: its slot is cleared and the queue queues itself
  addToFinalQueue(newNewObject(testClasses.pointers, 1));
  ASSERT_EQ(scavengeNewSpace(), 1);
  std::vector<oop> q = queued();
  ASSERT_EQ(q.size(), 3u);
  EXPECT_EQ(q[0], rootAt(0));
  EXPECT_EQ(q[1], sysOop(sysEmptySlotMarker));
  EXPECT_EQ(q[2], sysOop(sysFinalQueue));
  EXPECT_EQ(fetch(), rootAt(0));
  EXPECT_EQ(fetch(), nilOop());
  EXPECT_EQ(finalQueueRead, finalQueueBase);
  EXPECT_EQ(finalQueueWrite, finalQueueBase);
  for (uint64_t a = finalQueueBase; a < finalQueueEnd; a += 8) EXPECT_EQ(*reinterpret_cast<oop*>(a), nilOop());
}

TEST_F(Finalization, Finalization_NoSemaphoreFetchesNil) {
  weakWithDeadReferent(0);
  ASSERT_EQ(scavengeNewSpace(), 1);
  EXPECT_EQ(queued().size(), 1u);
  EXPECT_EQ(fetch(), nilOop());
}

// Without a Semaphore a full queue does not grow: the losses are counted until the fetch,
// which keeps the queued ephemerons and fails with the size the queue should have.
TEST_F(Finalization, Finalization_OverflowFailsTheFetchWithTheNeededSize) {
  uint64_t n = slots();
  oop keptEphemeron = newEphemeron(smallIntegerFor(1), nilOop(), true);
  clearFlag(headerOf(keptEphemeron), isGCSpecialBit | ephemeronNotWeakBit);  // as a queued one
  oop weakEntry = newOldObject(weakClass, 2);
  for (uint64_t i = 0; i < n; i++) addToFinalQueue(i == 3 ? keptEphemeron : weakEntry);
  weakWithDeadReferent(0);
  weakWithDeadReferent(1);
  ASSERT_EQ(scavengeNewSpace(), 1);
  EXPECT_EQ(finalQueueOverflow, 2);
  EXPECT_EQ(slots(), n) << "no Semaphore: no growth";
  finalizationSemaphoreX = -1;
  registerSemaphore();
  EXPECT_EQ(excessSignals(), 1) << "registering signals a queue that lost entries";
  PrimOutcome r = callPrimitive(301, nilOop(), {});
  ASSERT_TRUE(r.failed);
  EXPECT_EQ(slotOf(r.errorOop, 0), smallIntegerFor(int64_t(n) + 2));
  EXPECT_NE(r.errorOop, primErrorAt(26)) << "a copy of entry 26";
  EXPECT_EQ(classOf(r.errorOop), classOf(primErrorAt(26)));
  EXPECT_EQ(finalQueueOverflow, 0);
  EXPECT_EQ(queued(), std::vector<oop>{keptEphemeron});
  EXPECT_EQ(finalQueueRead, finalQueueBase);
}

TEST_F(Finalization, Finalization_GrowsOnlyWithASemaphoreAndTheWindowFollows) {
  registerSemaphore();
  uint64_t n = slots();
  for (uint64_t i = 0; i < n; i++) addToFinalQueue(newOldObject(weakClass, 1));
  addToFinalQueue(newOldObject(weakClass, 1));
  EXPECT_EQ(finalQueueOverflow, 0);
  EXPECT_EQ(slots(), n + (n + 1) / 2);
  EXPECT_EQ(queued().size(), n + 1);
  EXPECT_EQ(finalQueueBase, uint64_t(bodyOf(headerOf(sysOop(sysFinalQueue)))));
  EXPECT_HEAP_VALID();
  // room at the front is used before growing
  fetch();
  fetch();
  uint64_t grown = slots();
  while (finalQueueWrite < finalQueueEnd) addToFinalQueue(newOldObject(weakClass, 1));
  addToFinalQueue(newOldObject(weakClass, 1));
  EXPECT_EQ(slots(), grown);
  EXPECT_EQ(finalQueueRead, finalQueueBase);
}

TEST_F(Finalization, Finalization_RegisterSemaphoreChecksItsArgument) {
  struct Case { oop arg; bool fails; } cases[] = {
      {smallIntegerFor(3), true}, {newOldObject(testClasses.pointers, 1), true}, {nilOop(), false}, {semaphore, false}};
  for (const Case& c : cases) {
    PrimOutcome r = callPrimitive(300, trueOop(), {c.arg});
    EXPECT_EQ(r.failed, c.fails);
    if (c.fails) {
      EXPECT_EQ(r.errorOop, primErrorAt(3));
    } else {
      EXPECT_EQ(r.result, trueOop());
      EXPECT_EQ(sysOop(uint32_t(finalizationSemaphoreX)), c.arg);
    }
  }
}

// Primitives 465-468 on receivers of each kind of class.
TEST_F(Finalization, Finalization_WeaknessPrimitives) {
  oop weakable = newOldObject(weakClass, 2);
  clearFlag(headerOf(weakable), isGCSpecialBit);
  oop ephemeral = newEphemeron(nilOop(), nilOop(), true);
  clearFlag(headerOf(ephemeral), isGCSpecialBit | ephemeronNotWeakBit);
  oop plain = newOldObject(testClasses.pointers, 2);
  struct Case { uint32_t prim; oop receiver; oop arg; bool fails; oop answer; int code; uint64_t bits; } cases[] = {
      {467, weakable, trueOop(), false, falseOop(), 0, isGCSpecialBit},
      {467, weakable, trueOop(), false, trueOop(), 0, isGCSpecialBit},
      {465, weakable, 0, false, trueOop(), 0, isGCSpecialBit},
      {466, weakable, 0, false, falseOop(), 0, isGCSpecialBit},
      {467, weakable, falseOop(), false, trueOop(), 0, 0},
      {467, weakable, smallIntegerFor(1), true, 0, 3, 0},
      {467, plain, trueOop(), true, 0, 4, 0},
      {467, smallIntegerFor(4), trueOop(), true, 0, 4, 0},
      {468, ephemeral, trueOop(), false, falseOop(), 0, isGCSpecialBit | ephemeronNotWeakBit},
      {466, ephemeral, 0, false, trueOop(), 0, isGCSpecialBit | ephemeronNotWeakBit},
      {465, ephemeral, 0, false, falseOop(), 0, isGCSpecialBit | ephemeronNotWeakBit},
      {468, weakable, trueOop(), true, 0, 4, 0},
      {468, ephemeral, falseOop(), false, trueOop(), 0, 0},
      {465, smallIntegerFor(1), 0, false, falseOop(), 0, 0},
  };
  for (const Case& c : cases) {
    PrimOutcome r = c.arg == 0 ? callPrimitive(c.prim, c.receiver, {}) : callPrimitive(c.prim, c.receiver, {c.arg});
    EXPECT_EQ(r.failed, c.fails) << c.prim;
    EXPECT_EQ(c.fails ? r.errorOop : r.result, c.fails ? primErrorAt(uint32_t(c.code)) : c.answer) << c.prim;
    uint64_t bits = isImmediate(c.receiver) ? 0 : headerOf(c.receiver)->flags & (isGCSpecialBit | ephemeronNotWeakBit);
    EXPECT_EQ(bits, c.bits) << c.prim;
  }
  // an immutable receiver: the same state is answered, a change fails with 23
  setFlag(headerOf(weakable), isImmutableBit);
  EXPECT_EQ(callPrimitive(467, weakable, {falseOop()}).result, falseOop());
  PrimOutcome r = callPrimitive(467, weakable, {trueOop()});
  EXPECT_TRUE(r.failed);
  EXPECT_EQ(r.errorOop, primErrorAt(23));
  EXPECT_FALSE(isGCSpecial(headerOf(weakable)));
}

TEST_F(Finalization, Finalization_GrowQueuePrimitive) {
  uint64_t n = slots();
  oop big = smallIntegerFor(int64_t(1) << 59);
  struct Case { oop arg; bool fails; oop error; uint64_t slotsAfter; } cases[] = {
      {nilOop(), true, 0, n},
      {smallIntegerFor(int64_t(n) - 5), false, 0, n},
      {smallIntegerFor(int64_t(n) + 40), false, 0, n + 40},
      {big, true, big, n + 40},
  };
  for (const Case& c : cases) {
    PrimOutcome r = callPrimitive(469, trueOop(), {c.arg});
    EXPECT_EQ(r.failed, c.fails);
    if (c.fails) {
      oop error = c.error == 0 ? r.errorOop : slotOf(r.errorOop, 0);  // 1 is cloned with the argument
      EXPECT_EQ(error, c.error == 0 ? primErrorAt(3) : c.error);
    }
    EXPECT_EQ(slots(), c.slotsAfter);
    EXPECT_HEAP_VALID();
  }
}

}  // namespace
