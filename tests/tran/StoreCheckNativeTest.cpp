// Store paths run natively on objects laid out about a test boundary: the store check (inline
// and stub forms) reaches the run-time routine exactly where the object memory's barrier
// would register or mark, and instance-variable stores honour immutability.
#include <gtest/gtest.h>

#include "mman/mmIncGC.h"
#include "mman/mmRt.h"
#include "mman/testHeap.h"
#include "mman/mmObject.h"
#include "nativeCode.h"
#include "support/testZone.h"
#include "tran/cgenx86_64.h"
#include "tran/tstack.h"

namespace {

// Headers (16 bytes: body address, flags word) below and above the boundary, and bodies.
alignas(16) uint64_t heap[64];
alignas(16) uint64_t bodies[8][260];
constexpr int newHolder = 0, newValue = 2, oldHolder = 40, oldValue = 42, permHolder = 44, permValue = 46;

struct Saved {
  uint64_t boundary = oldNewSpaceBoundary;
  uint8_t state = currentIncGCState;
  uint32_t absorbed = permSpaceAbsorbed;
  ~Saved() {
    oldNewSpaceBoundary = boundary;
    currentIncGCState = state;
    permSpaceAbsorbed = absorbed;
  }
};

uint64_t header(int at, uint64_t flags, int body) {
  heap[at] = (uint64_t)(uintptr_t)bodies[body];
  heap[at + 1] = flags;
  return (uint64_t)(uintptr_t)&heap[at];
}

// Doubles of the run-time routines: r10 says which was reached, r11 keeps r9.
uint8_t* genDouble(uint8_t* at, int which) {
  at = emitMovRI32(at, rR10, which);
  at = emitMovRR(at, rR11, rR9);
  return emitRet(at);
}

// The barrier's own rule (the object memory's storeCheck), as a predicate.
bool barrierNeedsWork(uint64_t h, uint64_t v, bool marking) {
  auto flags = [](uint64_t o) { return ((const uint64_t*)(uintptr_t)o)[1]; };
  if ((v & 7) != 0 || h < oldNewSpaceBoundary) return false;
  if (v < oldNewSpaceBoundary) return (flags(h) & inRtBit) == 0;
  bool mark = marking && (flags(h) & isMarkedBit) != 0 && (flags(v) & isMarkedBit) == 0;
  bool perm = (flags(h) & (isPermBit | isInOldRtBit)) == isPermBit && !permSpaceAbsorbed && (flags(v) & isPermBit) == 0;
  return mark || perm;
}

}  // namespace

TEST(StoreCheck_Native, ReachesTheRoutineExactlyWhereTheBarrierWould) {
  Saved saved;
  oldNewSpaceBoundary = (uint64_t)(uintptr_t)&heap[32];
  permSpaceAbsorbed = 0;
  tStackInit();
  uint8_t* area = nativeCodeArea();
  uint8_t* checkDouble = area;
  uint8_t* assignDouble = area + 32;
  genDouble(checkDouble, 1);
  genDouble(assignDouble, 2);
  tRt.checkStore = checkDouble;
  tRt.attemptToAssign = assignDouble;
  uint8_t* inlineCode = area + 64;
  uint8_t* exits[3];
  uint8_t* at = tStoreCheck(inlineCode, rR12, rBX, rR13, 0, rAX, exits, 0, nullptr);
  at = emitRet(at);
  for (uint8_t* e : exits) cgenPatchRel8(e, at);
  at = genDouble(at, 1);
  SavedNMethodZone savedZone;
  nativeZone();
  initStoreInst();

  const uint64_t holderKinds[] = {0, 1, 2}, valueKinds[] = {0, 1, 2, 3};  // new old perm / imm new old perm
  int reached = 0;
  for (uint64_t hk : holderKinds) {
    for (uint64_t vk : valueKinds) {
      for (int bits = 0; bits < 32; bits++) {
        bool marking = bits & 1, hMarked = bits & 2, vMarked = bits & 4, hInRt = bits & 8, hInOldRt = bits & 16;
        auto bit = [](bool on, uint64_t b) { return on ? b : uint64_t(0); };
        uint64_t hFlags = bit(hMarked, isMarkedBit) | bit(hInRt, inRtBit) | bit(hInOldRt, isInOldRtBit) |
                          bit(hk == 2, isPermBit);
        uint64_t vFlags = bit(vMarked, isMarkedBit) | bit(vk == 3, isPermBit);
        uint64_t h = header(hk == 0 ? newHolder : hk == 1 ? oldHolder : permHolder, hFlags, 0);
        uint64_t v = vk == 0 ? 43 : header(vk == 1 ? newValue : vk == 2 ? oldValue : permValue, vFlags, 1);
        currentIncGCState = marking ? (uint8_t)incGCMarking : (uint8_t)'i';
        bool expected = barrierNeedsWork(h, v, marking);
        reached += expected;
        for (int form = 0; form < 2; form++) {
          RegFile regs = {};
          regs.r[rSP] = 0x202;
          regs.r[rR12] = h;
          regs.r[rBX] = v;
          bodies[0][1] = 0;
          nativeRun(form == 0 ? inlineCode : storeStubs[1].afterSelfLoad, regs);
          EXPECT_EQ(regs.r[rR10], expected ? 1u : 0u)
              << (form ? "stub" : "inline") << " holder " << hk << " value " << vk << " bits " << bits;
          if (form == 1) {
            EXPECT_EQ(bodies[0][1], v) << "the stub stores first";
          }
        }
      }
    }
  }
  EXPECT_GT(reached, 20);  // the table covers both outcomes
}

TEST(StoreCheck_Native, InstanceVariableStoresThroughTheStubs) {
  Saved saved;
  oldNewSpaceBoundary = (uint64_t)(uintptr_t)&heap[32];
  permSpaceAbsorbed = 0;
  currentIncGCState = 'i';
  tStackInit();
  uint8_t* area = nativeCodeArea();
  genDouble(area, 1);
  genDouble(area + 32, 2);
  tRt.checkStore = area;
  tRt.attemptToAssign = area + 32;
  SavedNMethodZone savedZone;
  nativeZone();
  initStoreInst();
  uint8_t* code = area + 64;
  constexpr uint64_t oldHolderFlags = 0;
  const struct {
    int index;
    uint64_t holderFlags;
    uint64_t value;  // 0: a new object
    int reached;     // 0 none, 1 check store, 2 attempt to assign
    uint64_t r9;     // seen by the routine
  } cases[] = {
    {2, oldHolderFlags, 43, 0, 0},              // an immediate needs no check
    {2, oldHolderFlags, 0, 1, 0},               // a new value into an old holder
    {2, inRtBit, 0, 0, 0},                      // already remembered
    {0, isImmutableBit, 43, 2, 0},              // immutable: nothing stored
    {3, isImmutableBit, 0, 2, 3},
    {200, oldHolderFlags, 0, 1, 1600},          // the general stub, r9 the byte offset
    {200, isImmutableBit, 43, 2, 200},          // its immutable path hands over the index
    {200, oldHolderFlags, 43, 0, 0},            // a far slot stores inline: no check for an immediate
    {200, inRtBit, 0, 0, 0},                    // nor for a remembered holder
    {4, oldHolderFlags, 0, 1, 32},              // the first slot past the fixed stubs
  };
  uint64_t newObject = header(newValue, 0, 2);
  for (auto c : cases) {
    uint64_t holder = header(oldHolder, c.holderFlags, 0);
    uint64_t value = c.value != 0 ? c.value : newObject;
    // Frame: self at rbp-24; the store of a constant or of a register value into self.
    stackEmpty = stackSim - 1;
    seSelf = seSelfNormal;
    stackSim[0] = c.value != 0 ? seConst(value) : seRegEntry(rR14);
    int16_t marks[2] = {-1, -1};
    uint8_t* at = emitPushR(code, rBP);
    at = emitMovRR(at, rBP, rSP);
    at = emitAluRI8(at, aluSub, rSP, 24);
    at = emitMovMR(at, rBP, -24, rR15);  // self
    at = tStoreInst(&seSelf, c.index, &stackSim[0], marks, 0, 0, at);
    EXPECT_EQ(marks[0], -1);
    at = emitMovRR(at, rSP, rBP);
    at = emitPopR(at, rBP);
    emitRet(at);
    bodies[0][c.index] = 0x77;
    RegFile regs = {};
    regs.r[rSP] = 0x202;
    regs.r[rR15] = holder;
    regs.r[rR14] = newObject;
    nativeRun(code, regs);
    EXPECT_EQ(regs.r[rR10], (uint64_t)c.reached) << "slot " << c.index;
    EXPECT_EQ(bodies[0][c.index], c.reached == 2 ? 0x77u : value) << "slot " << c.index;
    if (c.reached != 0 && c.index >= 4) {
      EXPECT_EQ(regs.r[rR11], c.r9) << "slot " << c.index;
    }
    if (c.reached == 2 && c.index < 4) {
      EXPECT_EQ(regs.r[rR11], c.r9) << "slot " << c.index;
    }
  }
}

// The same table on objects of a real heap, the oracle being the object memory's barrier
// itself: the generated code reaches the routine exactly where storeCheck registers the
// holder (RT or old RT) or marks the value.
TEST(StoreCheck_Native, RealObjectsReachTheRoutineExactlyWhereTheCBarrierWorks) {
  Saved saved;
  SavedNMethodZone savedZone;
  newTestHeap();
  permSpaceAbsorbed = 0;
  uint8_t state = currentIncGCState;
  tStackInit();
  uint8_t* area = nativeCodeArea();
  tRt.checkStore = area;
  tRt.attemptToAssign = area + 32;
  genDouble(area, 1);
  genDouble(area + 32, 2);
  uint8_t* inlineCode = area + 64;
  uint8_t* exits[3];
  uint8_t* at = tStoreCheck(inlineCode, rR12, rBX, rR13, 0, rAX, exits, 0, nullptr);
  at = emitRet(at);
  for (uint8_t* e : exits) cgenPatchRel8(e, at);
  genDouble(at, 1);
  nativeZone();
  initStoreInst();

  uint32_t cls = testClasses.threeSlots;
  oop perm = newOldObject(cls, 3), permValue = newOldObject(cls, 3);
  makePerm(perm);
  makePerm(permValue);
  const oop holders[3] = {newNewObject(cls, 3), newOldObject(cls, 3), perm};
  const oop values[4] = {smallIntegerFor(5), newNewObject(cls, 3), newOldObject(cls, 3), permValue};
  const uint64_t varied = inRtBit | isInOldRtBit | isMarkedBit;
  int works = 0, cases = 0;
  for (int hk = 0; hk < 3; hk++) {
    for (int vk = 0; vk < 4; vk++) {
      for (int bits = 0; bits < 32; bits++) {
        ObjectHeader* h = headerOf(holders[hk]);
        oop v = values[vk];
        setStoreCheckCase(h, v, bits);
        const uint64_t hFlags = h->flags, vFlags = isImmediate(v) ? 0 : headerOf(v)->flags, ffs = rt.ffs;
        bodyOf(h)[1] = v;
        storeCheck(h, v, "test", 1);
        bool work = rt.ffs != ffs || (h->flags & varied) != (hFlags & varied) ||
                    (!isImmediate(v) && (headerOf(v)->flags & isMarkedBit) != (vFlags & isMarkedBit));
        // Undo what the barrier did: the next case starts from its own flags.
        rt.ffs = ffs;
        h->flags = hFlags;
        if (!isImmediate(v)) headerOf(v)->flags = vFlags;
        works += work;
        cases++;
        for (int form = 0; form < 2; form++) {
          RegFile regs = {};
          regs.r[rSP] = 0x202;
          regs.r[rR12] = holders[hk];
          regs.r[rBX] = v;
          nativeRun(form == 0 ? inlineCode : storeStubs[1].afterSelfLoad, regs);
          EXPECT_EQ(regs.r[rR10], work ? 1u : 0u)
              << (form ? "stub" : "inline") << " holder " << hk << " value " << vk << " bits " << bits;
        }
      }
    }
  }
  EXPECT_GT(works, 0);
  EXPECT_LT(works, cases);
  currentIncGCState = state;
  freeTestHeap();
}
