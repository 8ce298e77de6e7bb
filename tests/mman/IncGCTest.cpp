// Tests of the incremental collector: whole cycles and cycles in small quanta with the program
// changing the heap between them, weak objects and ephemerons, big objects, the abort, the
// collector brought to rest from each state, and primitives 327 and 449.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "mman/incGCFixture.h"

namespace {

// Whole cycles and cycles in quanta of 3 objects: what lives, what is freed, what is cleared
// and queued.
TEST_F(IncGC, IncGC_CycleFreesWhatNothingReaches) {
  struct Case {
    const char* name;
    std::function<void(IncGC*, uint64_t work)> check;
  };
  const Case cases[] = {
      {"unreached old objects are freed, reached ones kept",
       [](IncGC* t, uint64_t work) {
         oop kept = t->oldArray(2), child = t->oldBytes(5), dead = t->oldArray(1), deadChild = t->oldBytes(3);
         store(kept, 0, child), store(dead, 0, deadChild);
         t->setRoot(0, kept);
         runCycle(work);
         EXPECT_FALSE(freed(kept) || freed(child));
         EXPECT_TRUE(freed(dead) && freed(deadChild));
       }},
      {"an old object held only by a new one lives",
       [](IncGC* t, uint64_t work) {
         oop young = newNewObject(testClasses.pointers, 1), old = t->oldBytes(4);
         store(young, 0, old);
         t->setRoot(0, young);
         runCycle(work);
         EXPECT_FALSE(freed(old));
       }},
      {"weak array: a dead old referent becomes the marker once, new and live ones stay",
       [](IncGC* t, uint64_t work) {
         oop w = t->oldWeak(3), dead = t->oldArray(1), live = t->oldArray(1), young = newNewObject(testClasses.pointers, 1);
         store(w, 1, dead), store(w, 2, live), store(w, 3, young);
         t->setRoot(0, w), t->setRoot(1, live), t->setRoot(2, young);
         runCycle(work);
         EXPECT_EQ(slotOf(w, 1), sysOop(sysEmptySlotMarker));
         EXPECT_EQ(slotOf(w, 2), live);
         EXPECT_EQ(slotOf(w, 3), slotOf(t->root, 2));  // tenured at the end of the mark
         EXPECT_TRUE(freed(dead));
         std::vector<oop> q = queued();
         EXPECT_EQ(std::count(q.begin(), q.end(), w), 1);
       }},
      {"a weak array's named slot holds strongly",
       [](IncGC* t, uint64_t work) {
         oop w = t->oldWeak(1), named = t->oldArray(1);
         store(w, 0, named);
         t->setRoot(0, w);
         runCycle(work);
         EXPECT_FALSE(freed(named));
         EXPECT_FALSE(queuedHas(w));
       }},
      {"ephemeron whose key is reached only through its value: queued, both kept",
       [](IncGC* t, uint64_t work) {
         oop key = t->oldArray(1);
         oop e = t->newEphemeron(key, key, true);
         t->setRoot(0, e);
         runCycle(work);
         EXPECT_FALSE(freed(key));
         EXPECT_TRUE(queuedHas(e));
         t->setRoot(0, nilOop());  // the image drops it and fetches it from the queue
         dropQueued();
         runCycle(work);
         EXPECT_TRUE(freed(key) && freed(e));
       }},
      {"a perm weak object: a dead old referent becomes the marker, it is queued once, the rest stays",
       [](IncGC* t, uint64_t work) {
         oop w = t->oldWeak(4), named = t->oldArray(1), dead = t->oldArray(1), live = t->oldArray(1);
         oop perm = t->oldArray(1), young = newNewObject(testClasses.pointers, 1);
         makeMarkedPerm(w), makeMarkedPerm(perm);
         store(w, 0, named), store(w, 1, dead), store(w, 2, live), store(w, 3, perm), store(w, 4, young);
         t->setRoot(1, live), t->setRoot(2, young);
         runCycle(work);
         EXPECT_EQ(slotOf(w, 1), sysOop(sysEmptySlotMarker));
         EXPECT_EQ(slotOf(w, 2), live);
         EXPECT_EQ(slotOf(w, 3), perm);
         EXPECT_EQ(slotOf(w, 4), t->rootAt(2));
         EXPECT_FALSE(freed(named));
         EXPECT_TRUE(freed(dead));
         std::vector<oop> q = queued();
         EXPECT_EQ(std::count(q.begin(), q.end(), w), 1);
       }},
      {"a perm queue is weak: an entry nothing else holds is cleared, a held one and new entries stay",
       [](IncGC* t, uint64_t work) {
         oop queue = sysOop(sysFinalQueue);
         makeMarkedPerm(queue);
         oop lost = t->oldArray(1), held = t->oldArray(1), w = t->oldWeak(1), dead = t->oldArray(1);
         addToFinalQueue(lost), addToFinalQueue(held);
         store(w, 1, dead);
         t->setRoot(0, w), t->setRoot(1, held);
         runCycle(work);
         EXPECT_TRUE(freed(lost) && freed(dead));
         EXPECT_EQ(queued()[0], sysOop(sysEmptySlotMarker));
         EXPECT_TRUE(queuedHas(held) && queuedHas(w) && queuedHas(queue));
       }},
      {"a chain of ephemerons whose keys die is queued one link per cycle, nothing freed",
       [](IncGC* t, uint64_t work) {
         oop k2 = t->oldArray(1), v2 = t->oldBytes(2);
         oop e2 = t->newEphemeron(k2, v2, true);
         oop k1 = t->oldArray(1);
         oop e1 = t->newEphemeron(k1, e2, true);
         t->setRoot(0, e1);
         runCycle(work);
         EXPECT_TRUE(queuedHas(e1));
         EXPECT_FALSE(queuedHas(e2));
         runCycle(work);
         EXPECT_TRUE(queuedHas(e2));
         for (oop o : {k1, e2, k2, v2}) EXPECT_FALSE(freed(o));
       }},
      {"a full queue: the ephemeron is traced, not queued, and the loss counted",
       [](IncGC* t, uint64_t work) {
         while (finalQueueWrite < finalQueueEnd) addToFinalQueue(t->root);
         oop key = t->oldArray(1), value = t->oldBytes(2);
         oop e = t->newEphemeron(key, value, true);
         t->setRoot(0, e);
         runCycle(work);
         EXPECT_FALSE(queuedHas(e));
         EXPECT_GT(finalQueueOverflow, 0);
         EXPECT_FALSE(freed(key) || freed(value));
         EXPECT_TRUE(isEphemeron(headerOf(e)));
       }},
      {"a new ephemeron with a dead new key, queued by a scavenge while marking: kept with key and value",
       [](IncGC* t, uint64_t work) {
         for (int i = 1; i < 40; i++) t->setRoot(i, t->oldArray(1));  // work for a first quantum
         incMarkSweep(1, 1, all);
         ASSERT_EQ(currentIncGCState, incGCMarking);
         oop key = newNewObject(testClasses.pointers, 1), value = newNewObject(testClasses.pointers, 1);
         store(value, 0, t->oldArray(1));
         t->setRoot(0, t->newEphemeron(key, value));
         ASSERT_TRUE(scavengeNewSpace());
         ASSERT_TRUE(queuedHas(t->rootAt(0)));
         runCycle(work);
         oop e = t->rootAt(0);
         EXPECT_TRUE(queuedHas(e));
         ASSERT_FALSE(isNewObject(e));
         for (oop o : {e, slotOf(e, 0), slotOf(e, 1), slotOf(slotOf(e, 1), 0)}) EXPECT_FALSE(freed(o));
       }},
      {"ephemeron whose key is reached later: traced, not queued",
       [](IncGC* t, uint64_t work) {
         oop key = t->oldArray(1), value = t->oldBytes(2), holder = t->oldArray(1);
         oop e = t->newEphemeron(key, value, true);
         store(holder, 0, key);
         t->setRoot(0, e), t->setRoot(1, holder);  // the ephemeron is met first
         runCycle(work);
         EXPECT_FALSE(freed(value));
         EXPECT_FALSE(queuedHas(e));
       }},
      {"a big object is scanned in pieces to its last slot",
       [](IncGC* t, uint64_t work) {
         uint64_t n = 3 * incGCBigPieceBytes / 8 + 5;
         oop big = t->oldArray(n), first = t->oldBytes(1), last = t->oldBytes(1), dead = t->oldBytes(1);
         store(big, 0, first), store(big, n - 1, last);
         t->setRoot(0, big);
         runCycle(work);
         EXPECT_FALSE(freed(first) || freed(last));
         EXPECT_TRUE(freed(dead));
       }},
      {"a big object full of referents: a piece ends where the quantum's work does",
       [](IncGC* t, uint64_t work) {
         uint64_t n = 2 * incGCBigPieceBytes / 8;
         oop big = t->oldArray(n);
         for (uint64_t i = 0; i < n; i++) store(big, i, t->oldBytes(1));
         t->setRoot(0, big);
         uint64_t quanta = runCycle(work);
         if (work != all) { EXPECT_GE(quanta, n / work); }  // each marked referent is a unit of work
         for (uint64_t i = 0; i < n; i++) ASSERT_FALSE(freed(slotOf(big, i))) << i;
       }},
  };
  for (uint64_t work : {all, uint64_t(3)}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(c.name) + (work == all ? " (one quantum)" : " (quanta of 3)"));
      makeHeap(1 << 18, 100);
      c.check(this, work);
      EXPECT_EQ(currentIncGCState, incGCResting);
      EXPECT_EQ(marksInOldSpace(), 0u);
      EXPECT_HEAP_VALID();
    }
  }
}

// An interruptible quantum whose loop finished after a third of its work or more stays in
// 'm' and the next performs the final steps; an unbounded quantum marks and clears weak slots
// and stops in 's'; the next sweeps.
TEST_F(IncGC, IncGC_StatesOfSuccessiveQuanta) {
  oop chain = nilOop();
  for (int i = 0; i < 400; i++) {  // 400 objects to scan, each one unit of work
    oop link = oldArray(1);
    store(link, 0, chain);
    chain = link;
  }
  setRoot(0, chain);
  ASSERT_EQ(incMarkSweep(1, 1000, all), 0);
  EXPECT_EQ(currentIncGCState, incGCMarking);
  ASSERT_EQ(incMarkSweep(1, 1000, all), 0);
  EXPECT_EQ(currentIncGCState, incGCSweeping);
  EXPECT_EQ(incMarkSweep(1, all, all), 1);
  EXPECT_EQ(currentIncGCState, incGCResting);
  ASSERT_EQ(incMarkSweep(0, all, all), 0);
  EXPECT_EQ(currentIncGCState, incGCSweeping);
  EXPECT_NE(incSweepPoint, ~uint64_t(0));
  EXPECT_EQ(incMarkSweep(0, all, all), 1);
  EXPECT_EQ(currentIncGCState, incGCResting);
  EXPECT_EQ(numIncGCs, 2u);
}

// A switch request posted directly, with no interrupt to serve, ends an interruptible quantum
// in each state and leaves the state as it was; a quantum that is not interruptible runs on.
TEST_F(IncGC, IncGC_DirectSwitchRequestEndsAnInterruptibleQuantum) {
  struct Case {
    const char* name;
    uint8_t state;
  };
  for (Case c : {Case{"marking", incGCMarking}, Case{"sweeping", incGCSweeping}, Case{"unmarking", incGCAborting}}) {
    SCOPED_TRACE(c.name);
    oop chain = nilOop();
    for (int i = 0; i < 400; i++) {
      oop link = oldArray(1);
      store(link, 0, chain);
      chain = link;
    }
    setRoot(0, chain);
    for (int i = 0; i < 2; i++) addDeadEntries();  // more entries than two sweep or unmark runs take
    int stopsIn = c.state == incGCSweeping ? incMarkSweep(0, all, all) : incMarkSweep(1, 2, all);
    ASSERT_EQ(stopsIn, 0);
    if (c.state == incGCAborting) undoIncMark(0, 0, 0);
    ASSERT_EQ(currentIncGCState, c.state);
    uint64_t marked = incGCMarkCount;
    setRequest(requestProcessSwitch);
    ASSERT_FALSE(anyAsyncRequests());
    EXPECT_EQ(incMarkSweep(1, all, all), 0);
    EXPECT_EQ(currentIncGCState, c.state);
    if (c.state == incGCMarking) {
      EXPECT_EQ(incGCMarkCount, marked);
    }
    EXPECT_EQ(verifyHeap(), "");
    if (c.state == incGCMarking) {
      EXPECT_EQ(incMarkSweep(0, all, all), 0);  // marks, stops in 's'
    }
    EXPECT_EQ(incMarkSweep(0, all, all), 1);
    EXPECT_EQ(currentIncGCState, incGCResting);
    clearRequest(requestProcessSwitch);  // the switch was served
    anyAck.store(anyReq.load());
    setRoot(0, nilOop());
  }
}

// A scavenge while marking: a survivor tenured while the new objects a marked holder reaches
// are copied is marked, and its own new referents are still moved and updated.
TEST_F(IncGC, IncGC_ScavengeTenuresBelowAMarkedHolder) {
  oop aged = newNewObject(testClasses.pointers, 1);
  setRoot(0, aged);
  ASSERT_TRUE(scavengeNewSpace());
  aged = rootAt(0);
  ASSERT_FALSE(isOld(aged));
  setRoot(0, nilOop());
  tenureThreshold = 0;  // every survivor in past space is tenured by the next scavenge
  oop fresh = newNewObject(testClasses.pointers, 1);
  store(fresh, 0, smallIntegerFor(42));
  store(aged, 0, fresh);
  oop via = newNewObject(testClasses.pointers, 1);
  store(via, 0, aged);
  oop holder = oldArray(1);
  setRoot(1, holder);
  ASSERT_EQ(incMarkSweep(1, 1, all), 0);
  ASSERT_EQ(currentIncGCState, incGCMarking);
  if (!isMarked(headerOf(holder))) incMarkObj(holder);
  store(holder, 0, via);
  ASSERT_TRUE(scavengeNewSpace());
  via = slotOf(holder, 0);
  ASSERT_FALSE(isOld(via));
  oop tenured = slotOf(via, 0);
  ASSERT_TRUE(isOld(tenured));
  EXPECT_TRUE(isMarked(headerOf(tenured)));
  oop moved = slotOf(tenured, 0);
  ASSERT_FALSE(isOld(moved));
  EXPECT_TRUE(moved >= pastSpace.start && moved < pastSpace.top) << "left behind in eden";
  EXPECT_EQ(slotOf(moved, 0), smallIntegerFor(42));
  EXPECT_HEAP_VALID();
}

// A scavenge while marking tenures the new key and value of a scanned old ephemeron, its key
// dead or held by a new object too: both copies are marked, as they are under any marked holder.
TEST_F(IncGC, IncGC_ScavengeTenuresTheNewKeyOfAMarkedEphemeron) {
  for (bool keyHeldByNewObject : {false, true}) {
    SCOPED_TRACE(keyHeldByNewObject ? "key held by a new object too" : "key only in the ephemeron");
    makeHeap(1 << 18, 100);
    for (int i = 1; i < 40; i++) setRoot(i, oldArray(1));  // work for a first quantum
    ASSERT_EQ(incMarkSweep(1, 1, all), 0);
    ASSERT_EQ(currentIncGCState, incGCMarking);
    oop e = newEphemeron(nilOop(), nilOop(), true);
    setRoot(0, e);
    if (!isMarked(headerOf(e))) incMarkObj(e);
    for (int i = 0; i < 100 && oopOnOopStack(e, &incMarkStackOop); i++) incMarkSweep(1, 1, all);  // on top: soon scanned
    ASSERT_EQ(currentIncGCState, incGCMarking);
    ASSERT_FALSE(oopOnOopStack(e, &incMarkStackOop));
    oop key = newNewObject(testClasses.pointers, 1), value = newNewObject(testClasses.pointers, 1);
    store(e, 0, key);
    store(e, 1, value);
    if (keyHeldByNewObject) {
      oop young = newNewObject(testClasses.pointers, 1);
      store(young, 0, key);
      setRoot(1, young);
    }
    ASSERT_TRUE(flushNewSpace());
    for (uint64_t i = 0; i < 2; i++) {
      ASSERT_FALSE(isNewObject(slotOf(e, i)));
      EXPECT_TRUE(isMarked(headerOf(slotOf(e, i)))) << "slot " << i;
    }
    EXPECT_HEAP_VALID();
  }
}

// One-way become while marking: a marked holder that now refers to the replacement marks an
// old one (the sweep would free it under the holder) but never a new one, which the mark
// stack would keep at the address a scavenge leaves.
TEST_F(IncGC, IncGC_OneWayBecomeWhileMarkingMarksOnlyOldReplacements) {
  struct Case {
    const char* name;
    bool young;
  };
  for (Case c : {Case{"old replacement", false}, Case{"new replacement", true}}) {
    SCOPED_TRACE(c.name);
    makeHeap(1 << 18, 100);
    for (int i = 1; i < 40; i++) setRoot(i, oldArray(1));  // work left after the first quantum
    oop r = oldArray(1), holder = oldArray(1);
    store(holder, 0, r);
    setRoot(0, holder);
    for (int i = 0; i < 100000 && !isMarked(headerOf(holder)); i++) incMarkSweep(1, 1, all);
    ASSERT_EQ(currentIncGCState, incGCMarking);
    ASSERT_TRUE(isMarked(headerOf(holder)));
    oop x = c.young ? newNewObject(testClasses.pointers, 1) : oldArray(1);
    store(x, 0, smallIntegerFor(7));
    replaceEveryReference(r, x);
    ASSERT_EQ(slotOf(holder, 0), x);
    EXPECT_EQ(isMarked(headerOf(x)), !c.young);
    ASSERT_TRUE(scavengeNewSpace());
    EXPECT_EQ(verifyHeap(), "");
    runCycle(all);
    EXPECT_EQ(slotOf(slotOf(holder, 0), 0), smallIntegerFor(7));
    EXPECT_FALSE(freed(slotOf(holder, 0)));
  }
}

// Kind changes while marking runs (primitives 467 and 468 call the hooks).
TEST_F(IncGC, IncGC_KindChangesWhileMarking) {
  initFinalizationPrims();
  auto markUntil = [](const std::function<bool()>& reached) {
    while (currentIncGCState != incGCNilling && currentIncGCState != incGCSweeping && !reached())
      if (incMarkSweep(1, 1, all)) break;
  };
  struct Case {
    const char* name;
    std::function<void(IncGC*)> check;
  };
  const Case cases[] = {
      {"made strong after its scan: what its weak part holds is kept",
       [&](IncGC* t) {
         oop w = t->oldWeak(2), held = t->oldArray(1);
         store(w, 2, held);
         t->setRoot(0, w);
         markUntil([&] { return incMarkStackOop != 0 && isMarked(headerOf(w)) && !oopOnOopStack(w, &incMarkStackOop); });
         ASSERT_EQ(currentIncGCState, incGCMarking);
         ASSERT_FALSE(isMarked(headerOf(held)));
         ASSERT_FALSE(callPrimitive(467, w, {falseOop()}).failed);
         runCycle(all);
         EXPECT_FALSE(freed(held));
         EXPECT_EQ(slotOf(w, 2), held);
       }},
      {"made weak while waiting on the mark stack: its dead referent is cleared, it is queued once",
       [&](IncGC* t) {
         oop w = oopOf(allocInOldSpace(t->weakClass, 1, 3 * 8, hasPtrsBit, nilOop(), 1)), dead = t->oldArray(1);
         store(w, 2, dead);
         t->setRoot(0, w);
         markUntil([&] { return incMarkStackOop != 0 && isMarked(headerOf(w)) && oopOnOopStack(w, &incMarkStackOop); });
         ASSERT_EQ(currentIncGCState, incGCMarking);
         ASSERT_FALSE(callPrimitive(467, w, {trueOop()}).failed);
         runCycle(all);
         EXPECT_TRUE(freed(dead));
         EXPECT_EQ(slotOf(w, 2), sysOop(sysEmptySlotMarker));
         std::vector<oop> q = queued();
         EXPECT_EQ(std::count(q.begin(), q.end(), w), 1);
       }},
      {"no longer an ephemeron while listed: traced whole, not queued",
       [&](IncGC* t) {
         oop key = t->oldArray(1);
         oop e = t->newEphemeron(key, nilOop(), true);
         t->setRoot(0, e);
         markUntil([&] { return incEphemeronListOop != 0 && liveEntriesInOopStack(&incEphemeronListOop) != 0; });
         ASSERT_EQ(currentIncGCState, incGCMarking);
         ASSERT_FALSE(callPrimitive(468, e, {falseOop()}).failed);
         runCycle(all);
         EXPECT_FALSE(freed(key));
         EXPECT_FALSE(queuedHas(e));
       }},
      {"made an ephemeron after its scan: listed, and its key reached then keeps it off the queue",
       [&](IncGC* t) {
         oop key = t->oldArray(1);
         oop e = oopOf(allocInOldSpace(t->ephemeronClass, 2, 16, hasPtrsBit, nilOop(), 1));
         store(e, 0, key);
         t->setRoot(0, e);
         markUntil([&] { return incMarkStackOop != 0 && isMarked(headerOf(e)) && !oopOnOopStack(e, &incMarkStackOop); });
         ASSERT_EQ(currentIncGCState, incGCMarking);
         ASSERT_FALSE(callPrimitive(468, e, {trueOop()}).failed);
         runCycle(all);
         EXPECT_FALSE(freed(key));
         EXPECT_FALSE(queuedHas(e));
         EXPECT_TRUE(isEphemeron(headerOf(e)));
       }},
      {"an exchange makes a scanned header an ephemeron: it is listed, its key kept and it is queued",
       [&](IncGC* t) {
         oop plain = t->oldArray(2), key = t->oldArray(1);
         oop e = t->newEphemeron(key, nilOop(), true);
         t->setRoot(0, plain), t->setRoot(1, e);
         markUntil([&] {
           return incMarkStackOop != 0 && isMarked(headerOf(plain)) && !oopOnOopStack(plain, &incMarkStackOop);
         });
         ASSERT_EQ(currentIncGCState, incGCMarking);
         ASSERT_FALSE(isMarked(headerOf(key)));
         t->setRoot(1, nilOop());
         ASSERT_EQ(exchangeObjects(plain, e), 1);  // plain's header now holds the ephemeron
         runCycle(all);
         EXPECT_FALSE(freed(key));
         EXPECT_TRUE(queuedHas(plain));
       }},
      {"an exchange gives a scanned ephemeron an unmarked key: it is listed, its new value kept",
       [&](IncGC* t) {
         oop key = t->oldArray(1);
         t->setRoot(0, key);  // marked first: the ephemeron is then traced whole, not listed
         oop scanned = t->newEphemeron(key, nilOop(), true);
         t->setRoot(2, scanned);
         oop otherKey = t->oldArray(1), otherValue = t->oldArray(1);
         oop other = t->newEphemeron(otherKey, otherValue, true);
         t->setRoot(3, other);
         markUntil([&] {
           return incMarkStackOop != 0 && isMarked(headerOf(scanned)) && !oopOnOopStack(scanned, &incMarkStackOop);
         });
         ASSERT_EQ(currentIncGCState, incGCMarking);
         ASSERT_FALSE(isMarked(headerOf(otherKey)));
         ASSERT_FALSE(oopOnOopStack(scanned, &incEphemeronListOop));
         t->setRoot(3, nilOop());
         ASSERT_EQ(exchangeObjects(scanned, other), 1);  // scanned's header now holds the unmarked key
         EXPECT_HEAP_VALID();
         runCycle(all);
         EXPECT_FALSE(freed(otherValue));
         EXPECT_FALSE(freed(otherKey));
         EXPECT_TRUE(queuedHas(scanned));
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    makeHeap(1 << 18, 100);
    initFinalizationPrims();
    for (int i = 1; i < 40; i++) setRoot(i, oldArray(1));  // work for the first quanta
    c.check(this);
    EXPECT_EQ(currentIncGCState, incGCResting);
    EXPECT_HEAP_VALID();
  }
}

// The out-of-line store check: a perm holder of an old value is remembered in every state;
// the value is marked only while marking runs and the holder is marked.
TEST_F(IncGC, IncGC_OutOfLineStoreCheck) {
  struct Case {
    uint8_t state;
    bool holderPerm, holderMarked, valueMarked, remembered;
  } cases[] = {
      {incGCResting, true, false, false, true},  {incGCMarking, true, true, true, true},
      {incGCMarking, false, true, true, false},  {incGCMarking, false, false, false, false},
      {incGCSweeping, false, true, false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(1, char(c.state)) + (c.holderPerm ? " perm" : " old") + (c.holderMarked ? " marked" : ""));
    oop holder = oldArray(1), value = oldArray(1);
    if (c.holderPerm) makePerm(holder);
    if (c.holderMarked) setFlag(headerOf(holder), isMarkedBit);
    if (c.state == incGCMarking) incMarkSweep(0, 1, all);
    uint8_t saved = currentIncGCState;
    if (c.state == incGCSweeping) currentIncGCState = incGCSweeping;  // only the letter matters here
    bodyOf(headerOf(holder))[0] = value;
    chStOldObjInNonNew(holder, 0, value);
    currentIncGCState = saved;
    EXPECT_EQ(isMarked(headerOf(value)), c.valueMarked);
    EXPECT_EQ(bool(isInOldRt(headerOf(holder))), c.remembered);
    store(holder, 0, nilOop());
    if (c.holderPerm) clearFlag(headerOf(holder), isPermBit | isInOldRtBit), emptyOldRt();
    clearFlag(headerOf(holder), isMarkedBit);
    blowAwayIncGC();
  }
}

// From every state the collector comes to rest with no mark left; from 's' the sweep is
// finished first, so what died is freed.
TEST_F(IncGC, IncGC_BlowAwayFromEachState) {
  struct Case {
    uint8_t state;
    bool deadFreed;
  } cases[] = {{incGCResting, false}, {incGCMarking, false}, {incGCSweeping, true}, {incGCAborting, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(1, char(c.state)));
    makeHeap(1 << 18, 100);
    for (int i = 0; i < 30; i++) setRoot(i, oldArray(2));
    oop dead = oldArray(1);
    addDeadEntries();
    if (c.state == incGCMarking || c.state == incGCAborting) incMarkSweep(0, 2, all);
    if (c.state == incGCAborting) undoIncMark(0, 0, 0);
    if (c.state == incGCSweeping) incMarkSweep(0, all, all);
    ASSERT_EQ(currentIncGCState, c.state);
    uint64_t aborted = incGCAbortedCount;
    blowAwayIncGC();
    EXPECT_EQ(currentIncGCState, incGCResting);
    EXPECT_EQ(marksInOldSpace(), 0u);
    EXPECT_EQ(freed(dead), c.deadFreed);
    EXPECT_EQ(incGCAbortedCount, aborted + (c.state == incGCResting ? 0 : 1));
    EXPECT_EQ(incGCMarkCount, 0u);
  }
}

TEST_F(IncGC, IncGCPrims_449CyclesAnd327Aborts) {
  oop dead = oldArray(1);
  PrimOutcome first = callPrimitive(449, nilOop(), {falseOop(), nilOop(), nilOop()});
  ASSERT_FALSE(first.failed);
  EXPECT_TRUE(isSmallInteger(first.result) && smallIntegerValue(first.result) >= 0);
  EXPECT_EQ(currentIncGCState, incGCSweeping);
  ASSERT_FALSE(callPrimitive(449, nilOop(), {falseOop(), nilOop(), nilOop()}).failed);
  EXPECT_EQ(currentIncGCState, incGCResting);
  EXPECT_TRUE(freed(dead));

  PrimOutcome outside = callPrimitive(327, nilOop(), {});
  ASSERT_TRUE(outside.failed);
  EXPECT_EQ(outside.errorOop, primErrorAt(0));

  for (int i = 0; i < 20; i++) setRoot(i, oldArray(1));
  addDeadEntries();
  ASSERT_FALSE(callPrimitive(449, nilOop(), {trueOop(), smallIntegerFor(2), nilOop()}).failed);
  ASSERT_EQ(currentIncGCState, incGCMarking);
  PrimOutcome abort = callPrimitive(327, smallIntegerFor(7), {});
  ASSERT_FALSE(abort.failed);
  EXPECT_EQ(abort.result, smallIntegerFor(7));
  EXPECT_EQ(incGCAbortedCount, 1u);
  ASSERT_EQ(currentIncGCState, incGCAborting);
  ASSERT_FALSE(callPrimitive(449, nilOop(), {trueOop(), nilOop(), nilOop()}).failed);  // unmarks
  EXPECT_EQ(currentIncGCState, incGCResting);
  EXPECT_EQ(marksInOldSpace(), 0u);
  EXPECT_EQ(incGCMarkStackOverflows, 0u);
}

// Old space too small for the collector's stacks: the cycle unmarks at once, and 449 counts
// the overflow.
TEST_F(IncGC, IncGCPrims_NoRoomForTheStacks) {
  while (allocInOldSpace(classIndexByteArray, 0, oopStackSegmentBytes - 64, 0, 0, 1) != nullptr) {
  }
  ASSERT_EQ(createOopStack(), 0u);
  ASSERT_FALSE(callPrimitive(449, nilOop(), {falseOop(), nilOop(), nilOop()}).failed);
  EXPECT_EQ(currentIncGCState, incGCAborting);
  EXPECT_EQ(incGCMarkStackOverflows, 1u);
  ASSERT_FALSE(callPrimitive(449, nilOop(), {trueOop(), nilOop(), nilOop()}).failed);
  EXPECT_EQ(currentIncGCState, incGCResting);
  EXPECT_EQ(incGCMarkStackOverflows, 1u);
  EXPECT_EQ(numIncGCs, 0u);
}

// 449 counts an abort in its overflow figure only when an oop stack could not grow: an abort
// for want of room to flush new space is not counted, so the image can tell that growing old
// space lets the next cycle finish.
TEST_F(IncGC, IncGCPrims_449CountsOnlyStackOverflows) {
  struct Case {
    const char* name;
    uint64_t fanOut;  // old objects with pointers under one holder, each pushed when scanned
    uint64_t youngSlots;  // new space's survivors, rooted
    uint64_t overflows;
  };
  for (Case c : {Case{"the mark stack cannot grow", 3000, 0, 1},
                 Case{"new space cannot be flushed", 10, 20000, 0}}) {
    SCOPED_TRACE(c.name);
    TearDown();  // each case fills old space: a fresh heap
    SetUp();
    oop fan = oldArray(c.fanOut);
    for (uint64_t i = 0; i < c.fanOut; i++) store(fan, i, oldArray(1));
    setRoot(0, fan);
    oop onlyFromYoung = oldArray(1);  // reached through new space only
    ASSERT_FALSE(callPrimitive(449, nilOop(), {trueOop(), smallIntegerFor(1), nilOop()}).failed);
    ASSERT_EQ(currentIncGCState, incGCMarking);
    while (allocInOldSpace(classIndexByteArray, 0, oopStackSegmentBytes - 64, 0, 0, 1) != nullptr) {
    }
    for (uint64_t i = 0; i < c.youngSlots / 1000; i++) {
      oop young = newNewObject(testClasses.pointers, 1000);
      ASSERT_NE(young, 0u);
      store(young, 0, onlyFromYoung);
      setRoot(1 + i, young);
    }
    ASSERT_EQ(sufficientFreeContiguousSpace(c.youngSlots), c.youngSlots == 0 ? 1 : 0);
    ASSERT_FALSE(callPrimitive(449, nilOop(), {falseOop(), nilOop(), nilOop()}).failed);
    EXPECT_EQ(currentIncGCState, incGCAborting);
    EXPECT_EQ(incGCMarkStackOverflows, c.overflows);
    ASSERT_FALSE(callPrimitive(449, nilOop(), {trueOop(), nilOop(), nilOop()}).failed);  // unmarks
    EXPECT_EQ(currentIncGCState, incGCResting);
    EXPECT_EQ(incGCMarkStackOverflows, c.overflows);
    EXPECT_EQ(numIncGCs, 0u);
    EXPECT_FALSE(freed(onlyFromYoung));
  }
}

// The program runs on with old space too small for the stacks: each cycle 449 starts aborts
// at once ('a') and is counted, the unmark runs in later quanta, 327 refuses, and no cycle
// completes, so nothing is freed, however the program changes the heap meanwhile.
TEST_F(IncGC, IncGCPrims_MutatorWithNoRoomForTheStacks) {
  uint64_t seed = 0x9E3779B97F4A7C15ull;
  auto rnd = [&seed](uint64_t n) {
    seed ^= seed << 13, seed ^= seed >> 7, seed ^= seed << 17;
    return seed % n;
  };
  std::vector<oop> nodes;
  for (int i = 0; i < 300; i++) {
    oop o = oldArray(3);
    store(o, 2, smallIntegerFor(i));
    if (!nodes.empty()) store(o, 0, nodes[rnd(nodes.size())]);
    nodes.push_back(o);
    if (rnd(4) == 0) setRoot(rnd(rootSlots), o);
  }
  addDeadEntries();  // an unmark takes more than one run
  while (allocInOldSpace(classIndexByteArray, 0, oopStackSegmentBytes - 64, 0, 0, 1) != nullptr) {
  }
  ASSERT_EQ(createOopStack(), 0u);
  uint64_t started = 0, aborted = 0;
  for (int step = 0; step < 250; step++) {
    SCOPED_TRACE(step);
    oop a = nodes[rnd(nodes.size())], b = nodes[rnd(nodes.size())];
    switch (rnd(6)) {
      case 0: store(a, 1, b); break;
      case 1: store(a, 0, nilOop()); break;
      case 2: {
        oop young = newNewObject(testClasses.pointers, 1);
        store(young, 0, b);
        store(a, 1, young);
        break;
      }
      case 3: setRoot(rnd(rootSlots), rnd(2) ? a : nilOop()); break;
      case 4: {
        PrimOutcome o = callPrimitive(327, nilOop(), {});
        EXPECT_TRUE(o.failed);
        break;
      }
      default:
        if (currentIncGCState == incGCAborting && rnd(10) == 0) {
          blowAwayIncGC();
          aborted++;
        }
        break;
    }
    uint8_t before = currentIncGCState;
    oop work = rnd(3) == 0 ? nilOop() : smallIntegerFor(int64_t(rnd(20000)));
    ASSERT_FALSE(callPrimitive(449, nilOop(), {rnd(2) ? trueOop() : falseOop(), work, nilOop()}).failed);
    if (before == incGCResting) {
      started++;
      EXPECT_EQ(currentIncGCState, incGCAborting);
    } else {
      EXPECT_TRUE(currentIncGCState == incGCAborting || currentIncGCState == incGCResting);
    }
    EXPECT_EQ(incGCMarkStackOverflows, started);
    EXPECT_HEAP_VALID();
  }
  EXPECT_EQ(incGCAbortedCount, aborted);
  blowAwayIncGC();
  EXPECT_EQ(numIncGCs, 0u);
  EXPECT_GT(started, 1u);
  EXPECT_EQ(marksInOldSpace(), 0u);
  for (uint64_t i = 0; i < nodes.size(); i++) {
    ASSERT_FALSE(freed(nodes[i]));
    ASSERT_EQ(slotOf(nodes[i], 2), smallIntegerFor(int64_t(i)));
  }
}

TEST_F(IncGC, IncGCPrims_449RefusesBadArguments) {
  oop nine = newOldObject(classIndexLargePositiveInteger, 9);
  oop eight = newOldObject(classIndexLargePositiveInteger, 8);
  memset(bodyOf(headerOf(nine)), 0xFF, 9);
  memset(bodyOf(headerOf(eight)), 0xFF, 8);
  struct Case {
    const char* name;
    std::vector<oop> args;
    bool fails;
  } cases[] = {
      {"nil first argument", {nilOop(), nilOop(), nilOop()}, true},
      {"integer first argument", {smallIntegerFor(1), nilOop(), nilOop()}, true},
      {"negative work limit", {trueOop(), smallIntegerFor(-1), nilOop()}, true},
      {"negative byte limit", {trueOop(), nilOop(), smallIntegerFor(-5)}, true},
      {"limit beyond 64 bits", {trueOop(), nine, nilOop()}, true},
      {"a Character limit", {trueOop(), characterFor('a'), nilOop()}, true},
      {"2^64-1 as a limit", {falseOop(), eight, eight}, false},
      {"zero limits", {trueOop(), smallIntegerFor(0), smallIntegerFor(0)}, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    blowAwayIncGC();
    PrimOutcome o = callPrimitive(449, nilOop(), c.args);
    EXPECT_EQ(o.failed, c.fails);
    if (c.fails) {
      EXPECT_EQ(o.errorOop, primErrorAt(3));
      EXPECT_EQ(currentIncGCState, incGCResting);  // nothing was run
    } else {
      EXPECT_NE(currentIncGCState, incGCResting);
    }
  }
}

// The program makes objects while a sweep runs: in entries the sweep freed below its point,
// fresh entries in the segments below and above the one being swept and in one added
// meanwhile, by tenuring, after 329 and compact(). The sweep frees none of them, frees all
// that died before it, and no enumeration answers an object it has yet to free.
TEST_F(IncGC, IncGC_SweepWithAllocation) {
  initOldSpacePrims();
  uint32_t deadClass = newTestClass(formatPointers | formatIndexable);  // only garbage has it
  keepClasses();
  ASSERT_EQ(growOldSpace(40000), 1);
  ASSERT_EQ(growOldSpace(40000), 1);
  ASSERT_EQ(numOldSpaceSegs(), 3u);
  OldSpaceSegment* below = oldSpaceSegs.first;
  OldSpaceSegment* swept = below->next;
  OldSpaceSegment* above = swept->next;
  setCurrentOldSegment(swept);
  for (uint64_t i = 0; i < 2 * sweepRunEntries; i++) ASSERT_NE(newOldObject(deadClass, 1), 0u);
  for (int i = 1; i < 30; i++) setRoot(i, oldArray(1));  // live ones among them
  uint32_t arg = deadClass;
  auto deadAnswered = [&] {
    oop buffer[4];
    int64_t n = scanObjectMemory(&arg, instanceOfClassIndex, buffer, buffer + 4);
    return n < 0 ? -n : n;
  };
  ASSERT_GT(deadAnswered(), 0);

  ASSERT_EQ(incMarkSweep(0, all, all), 0);
  ASSERT_EQ(currentIncGCState, incGCSweeping);
  while (!(incSweepSegment == swept && incSweepPoint > swept->otLow + 16)) ASSERT_EQ(incMarkSweep(0, 1, all), 0);

  // Made objects form a chain from root slot 0; each carries its number.
  int64_t made = 0;
  auto make = [&] {
    oop o = oldArray(2);
    store(o, 0, rootAt(0));
    store(o, 1, smallIntegerFor(++made));
    setRoot(0, o);
    return o;
  };
  auto inSegment = [](oop o, OldSpaceSegment* seg) {
    writeBackOldSpace();
    return o > seg->otLow && o <= seg->otHigh;
  };
  auto fresh = [&] {  // a new entry from the current segment: the free list is used up first
    while (oldSpaceSegs.freeOtCount != 0) make();
    return make();
  };
  struct Row {
    const char* name;
    std::function<void()> act;
  };
  const Row rows[] = {
      {"an entry the sweep freed, below the point",
       [&] {
         oop o = make();
         EXPECT_TRUE(o < incSweepPoint && inSegment(o, swept));
       }},
      {"a fresh entry in the segment swept",
       [&] {
         oop o = fresh();  // the platform may have placed the segments so that it has no room left
         if (inSegment(o, swept)) { EXPECT_LT(o, incSweepPoint); }
       }},
      {"a fresh entry in the segment below",
       [&] {
         setCurrentOldSegment(below);
         EXPECT_TRUE(inSegment(fresh(), below));
       }},
      {"a fresh entry in the segment above, born marked",
       [&] {
         setCurrentOldSegment(above);
         oop o = fresh();
         EXPECT_TRUE(o > incSweepPoint && inSegment(o, above));
         EXPECT_TRUE(isMarked(headerOf(o)));
       }},
      {"a segment added meanwhile",
       [&] {
         ASSERT_EQ(growOldSpace(20000), 1);
         OldSpaceSegment* added = oldSpaceSegs.first;
         while (added == below || added == swept || added == above) added = added->next;
         setCurrentOldSegment(added);
         EXPECT_TRUE(inSegment(fresh(), added));
       }},
      {"tenured",
       [&] {
         oop young = newNewObject(testClasses.pointers, 2);
         store(young, 0, rootAt(0));
         store(young, 1, smallIntegerFor(++made));
         setRoot(0, young);
         ASSERT_TRUE(flushNewSpace());
         EXPECT_FALSE(isNewObject(rootAt(0)));
       }},
      {"after 329", [&] {
         ASSERT_FALSE(callPrimitive(329, nilOop(), {smallIntegerFor(1 << 20)}).failed);
         make();
       }},
      {"after compact()", [&] {
         compact();
         make();
       }},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    r.act();
    ASSERT_EQ(currentIncGCState, incGCSweeping);
    EXPECT_EQ(deadAnswered(), 0);
    EXPECT_HEAP_VALID();
  }
  while (!incMarkSweep(0, sweepRunEntries, all)) {  // the rest in runs, checked between them
    EXPECT_EQ(deadAnswered(), 0);
    EXPECT_HEAP_VALID();
  }
  EXPECT_EQ(deadAnswered(), 0);
  int64_t found = 0;
  for (oop o = rootAt(0); o != nilOop(); o = slotOf(o, 0), found++) {
    ASSERT_FALSE(freed(o));
    ASSERT_EQ(slotOf(o, 1), smallIntegerFor(made - found));
  }
  EXPECT_EQ(found, made);
}

// The verifier knows what each state allows: a heap the collector left is sound, and each
// fault planted in it is named.
TEST_F(IncGC, IncGC_VerifierStates) {
  struct Case {
    const char* name;
    uint8_t state;
    std::function<void(IncGC*)> plant;  // null: the heap as the collector left it
    const char* fault;
  };
  auto unmarkedOld = [](IncGC* t) { return t->oldArray(1); };
  // Root 0's object, above the sweep point, comes to refer to a freed entry; unmarked, it is
  // as dead as if nothing had reached it when marking ended.
  static auto referToFreedFromAbove = [](IncGC* t, bool marked) {
    oop above = t->rootAt(0), gone = t->oldBytes(1);
    ASSERT_GT(above, incSweepPoint);
    t->setRoot(0, nilOop());
    recycleObj(gone);
    bodyOf(headerOf(above))[0] = gone;  // past the barrier
    if (!marked) clearFlag(headerOf(above), isMarkedBit);
  };
  const Case cases[] = {
      {"resting", incGCResting, nullptr, ""},
      {"resting: an old mark", incGCResting, [](IncGC* t) { setFlag(headerOf(t->oldArray(1)), isMarkedBit); },
       "marked while no collector runs"},
      {"resting: a perm-space header as allocated", incGCResting,
       [](IncGC*) { ASSERT_NE(allocInPermSpace(testClasses.bytes, 0, 8, 0, 0), nullptr); }, ""},
      {"resting: a perm-space header unmarked", incGCResting,
       [](IncGC*) {
         ObjectHeader* p = allocInPermSpace(testClasses.bytes, 0, 8, 0, 0);
         ASSERT_NE(p, nullptr);
         clearFlag(p, isMarkedBit);
       },
       "unmarked while no collector runs"},
      {"resting: a free entry marked", incGCResting,
       [](IncGC* t) {
         recycleObj(t->oldBytes(1));
         ASSERT_NE(oldSpaceSegs.freeOtHead, 0u);
         setFlag(reinterpret_cast<ObjectHeader*>(oldSpaceSegs.freeOtHead), isMarkedBit);
       },
       "is marked"},
      {"marking", incGCMarking, nullptr, ""},
      {"marking: a scanned object holds an unmarked one", incGCMarking,
       [=](IncGC* t) {
         oop h = t->oldArray(1);
         setFlag(headerOf(h), isMarkedBit);
         bodyOf(headerOf(h))[0] = unmarkedOld(t);  // past the barrier
       },
       "unmarked"},
      {"marking: the same object waiting on the mark stack is grey", incGCMarking,
       [=](IncGC* t) {
         oop h = t->oldArray(1);
         setFlag(headerOf(h), isMarkedBit);
         bodyOf(headerOf(h))[0] = unmarkedOld(t);
         ASSERT_TRUE(pushOopStack(&incMarkStackOop, h));
       },
       ""},
      {"marking: an unmarked object on the mark stack", incGCMarking,
       [=](IncGC* t) { ASSERT_TRUE(pushOopStack(&incMarkStackOop, unmarkedOld(t))); }, "collector stack holds unmarked"},
      {"marking: a scanned object of an unmarked class", incGCMarking,
       [](IncGC* t) {
         oop h = newOldObject(newTestClass(formatPointers), 0);
         setFlag(headerOf(h), isMarkedBit);
         (void)t;
       },
       "has unmarked class"},
      {"sweeping", incGCSweeping, nullptr, ""},
      {"sweeping: a mark below the point", incGCSweeping,
       [](IncGC* t) {
         oop o = t->oldBytes(1);  // an entry the sweep freed
         ASSERT_LT(o, incSweepPoint);
         setFlag(headerOf(o), isMarkedBit);
       },
       "below the sweep point"},
      {"sweeping: a reachable object above the point unmarked", incGCSweeping,
       [](IncGC* t) {
         ASSERT_GT(t->root, incSweepPoint);
         clearFlag(headerOf(t->root), isMarkedBit);
       },
       "is not marked in state 's'"},
      {"sweeping: a dead object above the point refers to an entry the sweep freed", incGCSweeping,
       [](IncGC* t) { referToFreedFromAbove(t, false); }, ""},
      {"sweeping: a marked object above the point does so", incGCSweeping,
       [](IncGC* t) { referToFreedFromAbove(t, true); }, "bad reference"},
      {"aborting", incGCAborting, nullptr, ""},
      {"aborting: a mark below the unmark point", incGCAborting,
       [](IncGC* t) {
         oop o = t->oldBytes(1);
         ASSERT_LT(o, incUnmarkPoint);
         setFlag(headerOf(o), isMarkedBit);
       },
       "below the unmark point"},
      {"an unknown state", 'x', nullptr, "unknown state"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    makeHeap(1 << 18, 100);
    for (int i = 0; i < 30; i++) setRoot(i, oldArray(2));
    addDeadEntries();
    switch (c.state) {
      case incGCMarking: incMarkSweep(1, 2, all); break;
      case incGCSweeping:
        incMarkSweep(0, all, all);
        incMarkSweep(0, 1, all);  // one entry: the point stands among the entries
        break;
      case incGCAborting:
        incMarkSweep(0, 2, all);
        undoIncMark(0, 0, all);
        break;
      default: break;
    }
    ASSERT_EQ(currentIncGCState, c.state == 'x' ? uint8_t(incGCResting) : c.state);
    if (c.plant) c.plant(this);
    uint8_t saved = currentIncGCState;
    if (c.state == 'x') currentIncGCState = c.state;
    std::string faults = verifyHeap();
    currentIncGCState = saved;
    if (c.fault[0] == 0) EXPECT_EQ(faults, "");
    else EXPECT_NE(faults.find(c.fault), std::string::npos) << faults;
    blowAwayIncGC();
    clearOldMarks();  // what was planted
    if (oldSpaceSegs.freeOtHead != 0) clearFlag(reinterpret_cast<ObjectHeader*>(oldSpaceSegs.freeOtHead), isMarkedBit);
  }
}

TEST_F(IncGC, IncGC_UsageLine) {
  numIncGCs = 12, incGCMarkStackOverflows = 3, incGCAbortedCount = uint64_t(1) << 40;
  char buffer[200] = {};
  FILE* f = tmpfile();
  ASSERT_NE(f, nullptr);
  printIGCUsageTo(f);
  rewind(f);
  ASSERT_NE(fgets(buffer, sizeof buffer, f), nullptr);
  fclose(f);
  EXPECT_STREQ(buffer, "IGCs: 12, mark stack overflows: 3, aborts: 1099511627776\n");
  numIncGCs = incGCMarkStackOverflows = incGCAbortedCount = 0;
}

using IncGCDeathTest = IncGC;

// Fatal reports are written to standard output: the dying child sends it to standard error,
// where the death test reads.
void reportToStderr() {
  fflush(stdout);
  dup2(2, 1);
}

TEST_F(IncGCDeathTest, IncGC_FatalStates) {
  struct Case {
    uint8_t state;
    void (*call)();
    const char* message;
  } cases[] = {
      {'x', [] { incMarkSweep(0, all, all); }, "incMarkSweep: incremental GC in unknown state"},
      {incGCResting, [] { undoIncMark(0, all, all); }, "undoIncMark: incremental GC in wrong state"},
      {incGCNilling, [] { undoIncMark(0, all, all); }, "undoIncMark: incremental GC in wrong state"},
      {incGCSweeping, [] { undoIncMark(0, all, all); }, "undoIncMark: incremental GC in wrong state"},
      {'x', [] { blowAwayIncGC(); }, "blowAwayIncGC: incremental GC in unknown state"},
      {incGCResting,
       [] {  // a perm holder of an old value, and no room for the old RT
         initError();  // the report's standard texts
         oop holder = newOldObject(testClasses.pointers, 1), value = newOldObject(testClasses.pointers, 1);
         makePerm(holder);
         while (allocInOldSpace(classIndexByteArray, 0, 64, 0, 0, 1) != nullptr) {
         }
         while (oldRtOop != 0 && pushOopStack(&oldRtOop, nilOop())) {  // its last segment full
         }
         bodyOf(headerOf(holder))[0] = value;
         chStOldObjInNonNew(holder, 0, value);
       },
       "Remembered table overflow"},  // one pattern for both regex dialects: code 0x408's text
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    EXPECT_DEATH(
        {
          reportToStderr();
          currentIncGCState = c.state;
          c.call();
        },
        c.message);
  }
}

}  // namespace
