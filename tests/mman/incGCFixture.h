// Test support for the incremental collector's tests: the fixture (a heap with scavenging,
// the collector's primitives, helpers that make and inspect old objects) and, where native
// runs are built, the stores emitted by the translator run on a stack-zone segment.
#pragma once
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <set>
#include <string>
#include <unistd.h>
#include <vector>

#include "ext/exError.h"
#include "ext/exRequest.h"
#include "mman/mmAllocate.h"
#include "mman/mmBecome.h"
#include "mman/mmEnumerate.h"
#include "mman/mmIncGC.h"
#include "mman/mmOldSpace.h"
#include "mman/mmPermSpace.h"
#include "mman/mmOopStack.h"
#include "mman/scavengeHeap.h"
#include "prim/prObject.h"
#include "stack/stackzone.h"
#include "support/handFrames.h"
#include "support/primHarness.h"
#ifndef _WIN32
#include "stack/glue.h"
#include "support/testZone.h"
#include "tran/cgenx86_64.h"
#include "tran/nativeCode.h"
#include "tran/tstack.h"

extern "C" uint64_t testEnter(void (*entry)());
#endif

namespace {

constexpr uint64_t all = incGCUnbounded;

#ifndef _WIN32
// Stores through the code the translator emits, run natively on a segment of the stack zone
// and reaching the real store-check routine through the glue: the instance-variable store
// (the slot stored inline, the check finished in the shared stubs) and the indexed store of
// at:put: (the inline store-check sequence). The stubs go into the program's native-method
// zone, whose room goes back when this is destroyed; the sequences go into the test code area.
class NativeStores {
 public:
  enum { instVarSlots = 16 };  // the root slots the fuzz stores into; node links are 0-2
  NativeStores() : checkStore(tRt.checkStore), attemptToAssign(tRt.attemptToAssign) {
    tRt.checkStore = reinterpret_cast<const void*>(glueAddress(rtCheckStore));
    tRt.attemptToAssign = reinterpret_cast<const void*>(glueAddress(rtAttemptToAssign));
    tStackInit();
    initStoreInst();
    uint8_t* at = nativeCodeArea();
    for (int n = 0; n < instVarSlots; n++) {
      instVar[n] = at;
      at = loadCells(at, rR15, rR14, -1);
      at = emitPushR(at, rBP);
      at = emitMovRR(at, rBP, rSP);
      at = emitAluRI8(at, aluSub, rSP, 24);
      at = emitMovMR(at, rBP, -24, rR15);  // self
      stackEmpty = stackSim - 1;
      stackSim[0] = seRegEntry(rR14);
      int16_t marks[2] = {-1, -1};
      at = tStoreInst(&seSelf, n, &stackSim[0], marks, 0, 0, at);
      at = emitMovRR(at, rSP, rBP);
      at = emitPopR(at, rBP);
      at = emitRet(at);
    }
    // at:put:'s store, as the translated primitive emits it: holder rbx, value r13, r9 the slot.
    indexed = at;
    at = loadCells(at, rBX, rR13, rR9);
    tStoreIndexed(at);
  }
  ~NativeStores() {
    tRt.checkStore = checkStore;
    tRt.attemptToAssign = attemptToAssign;
  }
  NativeStores(const NativeStores&) = delete;
  NativeStores& operator=(const NativeStores&) = delete;
  // Stores value into slot i of holder on segment (an empty one of the running zone): through
  // the instance-variable store when i has a sequence and byIndex is false.
  void store(uint64_t* segment, oop holder, uint64_t i, oop value, bool byIndex) {
    cells[0] = holder, cells[1] = value, cells[2] = i;
    const uint8_t* code = byIndex || i >= instVarSlots ? indexed : instVar[i];
    uint64_t* saved = currentStack;
    uint64_t cStack = CStack, cFrame = CFrame;
    currentStack = segment;
    empty(segment);
    testEnter(reinterpret_cast<void (*)()>(const_cast<uint8_t*>(code)));
    empty(segment);  // the glue left the code's sp and fp there
    currentStack = saved;
    CStack = cStack, CFrame = cFrame;
  }

 private:
  static inline uint64_t cells[3];
  const void* checkStore;
  const void* attemptToAssign;
  SavedNMethodZone savedZone;
  uint8_t* instVar[instVarSlots] = {};
  uint8_t* indexed = nullptr;
  static void empty(uint64_t* segment) {
    segment[shSp] = reinterpret_cast<uint64_t>(segment + shRootReturn);
    segment[shFp] = rootFpOf(segment);
  }
  static uint8_t* loadCells(uint8_t* at, int holder, int value, int index) {
    at = emitMovRI64(at, rAX, reinterpret_cast<uint64_t>(cells));
    at = emitMovRM(at, holder, rAX, 0);
    at = emitMovRM(at, value, rAX, 8);
    return index < 0 ? at : emitMovRM(at, index, rAX, 16);
  }
};
#endif

class IncGC : public ScavengeHeapTest {
 public:  // the case tables use the fixture
  using ScavengeHeapTest::newEphemeron;
  using ScavengeHeapTest::setRoot;
  using ScavengeHeapTest::root;
  using ScavengeHeapTest::rootAt;
  using ScavengeHeapTest::weakClass;
  using ScavengeHeapTest::ephemeronClass;
  void SetUp() override {
    ScavengeHeapTest::SetUp();
    initIncGCPrims();
    numIncGCs = incGCAbortedCount = incGCMarkStackOverflows = 0;
  }
  void TearDown() override {
    blowAwayIncGC();
    EXPECT_EQ(marksInOldSpace(), 0u);
    ScavengeHeapTest::TearDown();
  }
  oop oldArray(uint64_t n) { return newOldObject(testClasses.pointers, n); }
  oop oldBytes(uint64_t n) { return newOldObject(classIndexByteArray, n); }
  oop oldWeak(uint64_t indexed) {
    return oopOf(allocInOldSpace(weakClass, 1, (1 + indexed) * 8, hasPtrsBit | isGCSpecialBit, nilOop(), 1));
  }
  static bool freed(oop o) { return classTagOf(headerOf(o)) == 0; }
  // More entries than one unmark run takes, so that an abort stays in 'a' for a while.
  void addDeadEntries() {
    for (uint64_t i = 0; i < sweepRunEntries + 100; i++) ASSERT_NE(oldBytes(1), 0u);
  }
  // A perm header as perm space has it: marked, flagged perm.
  static void makeMarkedPerm(oop o) {
    makePerm(o);
    setFlag(headerOf(o), isMarkedBit);
  }
  // What the image does when it fetches every queued entry.
  static void dropQueued() {
    for (uint64_t a = finalQueueBase; a < finalQueueEnd; a += 8) *reinterpret_cast<oop*>(a) = nilOop();
    finalQueueRead = finalQueueWrite = finalQueueBase;
  }
  static bool queuedHas(oop o) {
    for (oop q : queued())
      if (q == o) return true;
    return false;
  }
  // Marked entries of the old object tables (perm headers live in their own table).
  static uint64_t marksInOldSpace() {
    writeBackOldSpace();
    uint64_t n = 0;
    for (OldSpaceSegment* s = oldSpaceSegs.first; s != nullptr; s = s->next)
      for (uint64_t a = s->otLow + 16; a <= s->otHigh; a += 16) {
        const ObjectHeader* h = reinterpret_cast<const ObjectHeader*>(a);
        n += isMarked(h) && !isPermHeader(h);  // the test heap keeps its constants perm here
      }
    return n;
  }
  // Quanta of the given budget, the program's step run after each, until a cycle completes.
  static uint64_t runCycle(uint64_t work, const std::function<void()>& between = [] {}) {
    uint64_t quanta = 1;
    while (!incMarkSweep(1, work, all)) {
      between();
      if (++quanta > 100000) break;
    }
    return quanta;
  }
};

}  // namespace
