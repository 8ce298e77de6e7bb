// Translator: simulated operand stack, frame entries and the register-cache skeleton.
// Prefix: tStack, se, reg (and emitArgs, localFrameOffset, lookBranch).
#include "tran/tstack.h"
#include "tran/taux.h"

#include <cstring>

#include "ext/exRequest.h"
#include "mman/mmIncGC.h"
#include "mman/mmObject.h"
#include "tran/cgenx86_64.h"
#include "tran/taction.h"
#include "tran/tmain.h"

static StackEntry stackSimStore[stackSimEntries + 1];  // one below entry 0 for the empty mark
static StackEntry spillStore[stackSimEntries];
static StackEntry stackLocalsStore[stackLocalsEntries];
StackEntry* stackSim = stackSimStore + 1;
StackEntry* spill = spillStore;
StackEntry* stackLocals = stackLocalsStore;
StackEntry* stackEmpty = stackSimStore;
StackEntry* stackTemps = stackSimStore + 1;
StackEntry seSelfNormal;
StackEntry seSelfFrameless;
StackEntry stackLocalsFrameless[2];
StackEntry seSelf;
StackEntry seStackLimit;
void (*tMapLit)(uint64_t literal, uint64_t address, int64_t offset);
uint64_t assignedRegSummary;
uint64_t emptyRegSummary;
uint32_t regsInitialized;

static const char* const stackFile = "src/tran/tstack";

// Frame layout of locals: stacked arguments above the return address at rbp + 16 upward,
// then (below the receiver at rbp - 24) the register arguments and temporaries from rbp - 32.
void tStackInit() {
  for (int i = 0; i < stackSimEntries; i++) spill[i] = seSlotEntry(skReadSlot, rBP, -32 - 8 * i);
  for (int i = 0; i < stackLocalsEntries; i++) {
    // Rows up to 252 are stacked arguments; 253 on are register arguments and temporaries,
    // which stores may change, so all of those are writable slots.
    stackLocals[i] = i <= 252 ? seSlotEntry(skReadSlot, rBP, 2032 - 8 * i)
                              : seSlotEntry(skSlot, rBP, -32 - 8 * (i - 253));
  }
  seSelfNormal = seSlotEntry(skReadSlot, rBP, -24);
  seSelfFrameless = seRegEntry(rBX);
  stackLocalsFrameless[0] = seRegEntry(rR12);
  stackLocalsFrameless[1] = seRegEntry(rR13);
  seSelf = seSelfNormal;
  seStackLimit = {skGlobal, 0, (uint64_t)(uintptr_t)&stackLimit};
  stackEmpty = stackSim - 1;
  tInitRegs();
}

int32_t localFrameOffset(int i, int n) {
  int v = (n > 2 ? n - 2 : 0) - i;
  return v >= 1 ? (v + 1) * 8 : (v - 4) * 8;
}

StackEntry tStackLocal(int i, int n) {
  StackEntry e = stackLocals[253 - (n > 2 ? n - 2 : 0) + i];
  e.kind = i < n ? skReadSlot : skSlot;
  return e;
}

// mov d, imm64 with a heap object's address recorded as a literal of the PC map.
static uint8_t* movQuad(int d, uint64_t value, uint8_t* at) {
  at = emitMovRI64(at, d, value);
  if (!isImmediate(value) && tMapLit != nullptr) tMapLit(value, (uint64_t)(uintptr_t)at, -8);
  return at;
}

static uint8_t* loadConst(uint64_t value, int d, uint8_t* at) {
  if (isImmediate(value) && d < 4 && value < 256) {
    at = emitXorR32(at, d);
    return value != 0 ? emitMovR8I8(at, d, (uint8_t)value) : at;
  }
  if (isImmediate(value) && cgenFitsS32((int64_t)value)) return emitMovRI32(at, d, (int32_t)value);
  return movQuad(d, value, at);
}

// Tags an untagged register in place: SmallInteger value x 8 + 3, Character code x 8 + 1.
static uint8_t* tagInPlace(StackEntry* e, uint8_t* at) {
  int r = seReg(*e);
  if (e->kind == skUntaggedInt) {
    at = emitLeaTagInt(at, r, r);
  } else {
    at = emitShiftRI(at, shiftShl, r, 3);
    at = emitAluRI8(at, aluAdd, r, 1);
  }
  e->kind = skReg;
  return at;
}

uint8_t* tStackLoad(const StackEntry* e, int d, uint8_t* at) {
  switch (e->kind) {
    case skReg:
    case skRegCounted:
    case skStableReg:
      return seReg(*e) == d ? at : emitMovRR(at, d, seReg(*e));
    case skUntaggedInt: return emitLeaTagInt(at, d, seReg(*e));
    case skUntaggedChar:
      if (seReg(*e) != d) at = emitMovRR(at, d, seReg(*e));
      at = emitShiftRI(at, shiftShl, d, 3);
      return emitAluRI8(at, aluAdd, d, 1);
    case skConst: return loadConst(e->payload, d, at);
    case skPushed: return emitPopR(at, d);
    case skSlot:
    case skReadSlot: return emitMovRM(at, d, seBase(*e), seDisp(*e));
    default: TAbortFunc("Bad type in tStackLoad", -1, at, stackFile, __LINE__);
  }
}

uint8_t* tStackLoadBase(const StackEntry* e, int d, uint8_t* at) {
  switch (e->kind) {
    case skGlobal: return emitMovRA(at, d, (uint32_t)e->payload);
    case skCode: return emitLeaRipRel(at, d, (const void*)(uintptr_t)e->payload);
    case skReg:
    case skRegCounted:
    case skStableReg:
    case skConst:
    case skPushed:
    case skSlot:
    case skReadSlot: return tStackLoad(e, d, at);
    default: TAbortFunc("Bad type in tStackLoadBase", -1, at, stackFile, __LINE__);
  }
}

uint8_t* tStackLoadDataPtr(const StackEntry* e, int d, int* reg, uint8_t* at) {
  at = e->kind == skSlot ? emitMovRM(at, d, seBase(*e), seDisp(*e)) : tStackLoadBase(e, d, at);
  *reg = d;
  return emitMovRM(at, d, d, 0);  // header word 0: the body address
}

uint8_t* tStackLoadValue(const StackEntry* e, int d, int32_t untaggedKind, StackEntry* out, uint8_t* at) {
  bool usable = e->kind == skReg || e->kind == skRegCounted || e->kind == skStableReg ||
                ((e->kind == skUntaggedInt || e->kind == skUntaggedChar) && e->kind == untaggedKind);
  if (usable) {
    *out = *e;
    return at;
  }
  at = tStackLoad(e, d, at);
  *out = seRegEntry(d);
  return at;
}

uint8_t* tStackPush(StackEntry* e, uint8_t* at) {
  int64_t i = e - stackSim;
  switch (e->kind) {
    case skUntaggedInt:
    case skUntaggedChar:
      at = tagInPlace(e, at);
      [[fallthrough]];
    case skReg:
    case skRegCounted:
    case skStableReg: at = emitPushR(at, seReg(*e)); break;
    case skConst:
      if (isImmediate(e->payload) && cgenFitsS8((int64_t)e->payload)) {
        at = emitPushI8(at, (int8_t)e->payload);
      } else {
        at = movQuad(rR11, e->payload, at);
        at = emitPushR(at, rR11);
      }
      break;
    case skSlot:
    case skReadSlot: at = emitPushM(at, seBase(*e), seDisp(*e)); break;
    case skCode:
      at = emitLeaRipRel(at, rR11, (const void*)(uintptr_t)e->payload);
      at = emitPushR(at, rR11);
      break;
    default: TAbortFunc("Bad type in tStackPush", -1, at, stackFile, __LINE__);
  }
  if (i < 0 || i >= stackSimEntries) TAbortFunc("Bad type in tStackPush", -1, at, stackFile, __LINE__);
  *e = {skPushed, 0, (uint64_t)(uintptr_t)&spill[i]};
  return at;
}

static bool isRegisterHeld(const StackEntry& e) {
  if (e.kind >= skReg && e.kind <= skUntaggedChar) return true;
  return (e.kind == skSlot || e.kind == skReadSlot) && seBase(e) != rBP;  // no base is ever cached
}
static bool isStable(const StackEntry& e) {
  return e.kind == skStableReg || e.kind == skConst || e.kind == skCode ||
         (e.kind == skReadSlot && seBase(e) == rBP);
}

// Mode 1 pushes only when something is register-held, mode 2 only when something is not
// stable, any other mode always; bit 4 adds the register-cache flush.
uint8_t* tStackFlush(StackEntry* top, int mode, uint8_t* at) {
  StackEntry* first = stackEmpty + 1;
  while (first <= top && first->kind == skPushed) first++;
  bool need = first <= top;
  if (need && (mode & ~4) == 1) {
    need = false;
    for (StackEntry* e = first; e <= top; e++) need |= isRegisterHeld(*e);
  } else if (need && (mode & ~4) == 2) {
    need = false;
    for (StackEntry* e = first; e <= top; e++) need |= !isStable(*e);
  }
  if (need) {
    for (StackEntry* e = first; e <= top; e++) at = tStackPush(e, at);
  }
  if ((mode & 4) != 0) at = regFlush(at);
  return at;
}

uint8_t* tStackFlushAliases(int base, int32_t disp, StackEntry* top, uint8_t* at) {
  for (StackEntry* e = top; e > stackEmpty; e--) {
    if ((e->kind == skSlot || e->kind == skReadSlot) && seBase(*e) == base && seDisp(*e) == disp) {
      return tStackFlush(e, 3, at);
    }
  }
  return at;
}

void tStackClear(StackEntry* top) {
  for (StackEntry* e = stackEmpty + 1; e <= top; e++) *e = {skPushed, 0, (uint64_t)(uintptr_t)&spill[e - stackSim]};
}

uint8_t* tStackStore(StackEntry* e, int base, int32_t disp, uint8_t* at) {
  switch (e->kind) {
    case skUntaggedInt:
    case skUntaggedChar:
      at = tagInPlace(e, at);
      [[fallthrough]];
    case skReg:
    case skRegCounted:
    case skStableReg: return emitMovMR(at, base, disp, seReg(*e));
    case skConst: {
      uint64_t v = e->payload;
      if (!isImmediate(v)) {
        at = movQuad(rAX, v, at);
        return emitMovMR(at, base, disp, rAX);
      }
      at = cgenFitsS32((int64_t)v) ? emitMovRI32(at, rR11, (int32_t)v) : emitMovRI64(at, rR11, v);
      return emitMovMR(at, base, disp, rR11);
    }
    case skPushed: return emitPopM(at, base, disp);
    case skSlot:
    case skReadSlot:
      at = emitMovRM(at, rR11, seBase(*e), seDisp(*e));
      return emitMovMR(at, base, disp, rR11);
    default: TAbortFunc("Bad type in tStackStore", -1, at, stackFile, __LINE__);
  }
}

uint8_t* tStackCompare(StackEntry* e, int r, uint8_t* at) {
  switch (e->kind) {
    case skUntaggedInt:
    case skUntaggedChar:
      at = tagInPlace(e, at);  // no register is cached, so always in place
      [[fallthrough]];
    case skReg:
    case skRegCounted:
    case skStableReg: return emitCmpRR(at, r, seReg(*e));
    case skConst: {
      uint64_t v = e->payload;
      if (isImmediate(v) && cgenFitsS32((int64_t)v)) return emitCmpRI(at, r, (int32_t)v);
      at = movQuad(rR11, v, at);
      return emitCmpRR(at, r, rR11);
    }
    case skPushed:
      at = emitPopR(at, rAX);
      return emitCmpRR(at, r, rAX);
    case skSlot:
    case skReadSlot: return emitCmpRM(at, r, seBase(*e), seDisp(*e));
    case skGlobal: return emitCmpRA(at, r, (uint32_t)e->payload);
    default: TAbortFunc("Bad type in tStackCompare", -1, at, stackFile, __LINE__);
  }
}

uint8_t* tStackCompareBase(StackEntry* e, int r, uint8_t* at) {
  switch (e->kind) {
    case skReg:
    case skStableReg:
    case skConst:
    case skGlobal: return tStackCompare(e, r, at);
    default: TAbortFunc("Bad type in tStackCompareBase", -1, at, stackFile, __LINE__);
  }
}

// On exit: rbx the receiver, r12 and r13 the last two arguments, and for three or more
// arguments the receiver and arguments 1..n-2 on the machine stack in that order. Loads run
// from the top entry down, so entries still on the machine stack pop in order.
uint8_t* emitArgs(int n, StackEntry* top, uint8_t* at) {
  StackEntry* receiver = top - n;
  if (receiver - 1 > stackEmpty) at = tStackFlush(receiver - 1, 3, at);
  if (n <= 2) {
    if (n == 2) at = tStackLoad(top, rR13, at);
    if (n >= 1) at = tStackLoad(receiver + 1, rR12, at);
    at = tStackLoad(receiver, rBX, at);
  } else {
    StackEntry original = *receiver;
    if (receiver->kind != skPushed) at = tStackPush(receiver, at);
    for (StackEntry* a = receiver + 1; a <= top - 2; a++) {
      if (a->kind != skPushed) at = tStackPush(a, at);
    }
    at = tStackLoad(top, rR13, at);
    at = tStackLoad(top - 1, rR12, at);
    bool inRegister = original.kind == skReg || original.kind == skRegCounted || original.kind == skStableReg;
    at = inRegister ? tStackLoad(&original, rBX, at) : tStackLoad(&spill[receiver - stackSim], rBX, at);
  }
  if (assignedRegSummary != emptyRegSummary) at = regFlush(at);
  *receiver = seRegEntry(rBX);
  return at;
}

// ---------------------------------------------------------------- register cache

namespace {
enum RegState : int32_t { regAssigned = 0, regLoaded = 1, regHeld = 3, regBase = 4, regBaseLoaded = 5,
                          regReleased = 6, regNotAssigned = 7 };
struct RegRecord {
  StackEntry home;        // the cached variable's own entry
  StackEntry regEntry;    // kind 0, or 2/3 when untagged; the register number
  StackEntry* variable;   // its entry in stackLocals or seSelf
  int32_t state;          // RegState
  int32_t summaryShift;   // position of its 4-bit field in the summary
};
RegRecord assignedRegs[16];
}  // namespace

void tInitRegs() {
  for (int r = 0; r < 16; r++) {
    assignedRegs[r] = {};
    assignedRegs[r].regEntry = seRegEntry(r);
    assignedRegs[r].state = regNotAssigned;
  }
}

// No policy assigns a register, so no record is ever in a state that loads or stores.
const StackEntry* regLoad(const StackEntry* entry, uint8_t**, int) { return entry; }
uint8_t* regLoadBase(int, uint8_t* at) { return at; }
uint8_t* regLoadup(uint8_t* at, int) { return at; }
uint8_t* regReconcile(uint64_t summary, uint8_t* at, int) {
  assignedRegSummary = summary;
  return at;
}
uint8_t* regFlush(uint8_t* at) { return regReconcile(emptyRegSummary, at, 1); }
void regCleanup() {
  if (regsInitialized == 0) return;
  for (RegRecord& r : assignedRegs) {
    if (r.state != regNotAssigned) r.state = regReleased;
  }
}

int lookBranch(const uint8_t* p, const uint8_t** target) {
  if (actNext != nullptr && p == actNext->vPC) return 0;  // a merge point
  uint8_t b = *p;
  if (b >= 0xC0 && b <= 0xC7) {
    *target = p + 1 + (b - 0xBF);
    return 1;
  }
  if (b >= 0xE8 && b <= 0xEF) {
    *target = p + 2 + (b & 3) * 256 + p[1];
    return 1;
  }
  return 0;
}

// ---------------------------------------------------------------- stores and the store check

void (*tMapRelCall)(uint64_t addressAfter, uint64_t target);
void (*tMapOnly)(uint64_t bytecodeIndex, uint64_t address);
StoreStub storeStubs[5];

enum : uint8_t { bitImmutable = 32, bitMarked = 33, bitPerm = 62, bitInOldRt = 20, bitInRt = 21 };

// S := oldNewSpaceBoundary, in the shortest form for its value.
static uint8_t* loadBoundary(int S, uint8_t* at) {
  uint64_t b = oldNewSpaceBoundary;
  if (b < 256 && S < 4) {
    at = emitXorRR(at, S, S);
    return emitMovR8I8(at, S, (uint8_t)b);
  }
  return b <= 0x7fffffff ? emitMovRI32(at, S, (int32_t)b) : emitMovRI64(at, S, b);
}

// A "done" exit for condition cc (the short-jump opcode taken when done): in stub form a
// return skipped in the opposite sense; inline, a jump recorded for patching to the end.
static uint8_t* doneExit(int cc, bool stubForm, uint8_t** pending, int* nPending, uint8_t* at) {
  if (stubForm) {
    at = emitJccRel8(at, cc ^ 1, 1);
    return emitRet(at);
  }
  at = emitJccRel8(at, cc, 0);
  pending[(*nPending)++] = at;
  return at;
}

uint8_t* tStoreCheck(uint8_t* at, int H, int V, int F, int flagsLoaded, int S, uint8_t** exits, int stubForm,
                     uint8_t** afterFirstTests) {
  uint8_t* done[8];
  int nDone = 0;
  uint8_t* work[3];
  bool stub = stubForm != 0;
  assert((uintptr_t)&currentIncGCState < 0x80000000u);  // addressed as a 32-bit absolute
  at = loadBoundary(S, at);
  at = emitCmpRR(at, S, H);
  at = doneExit(ccAE, stub, done, &nDone, at);  // holder new
  if (V < 4) {
    at = emitTestR8I8(at, V, 1);
    at = doneExit(ccNE, stub, done, &nDone, at);  // value immediate
  } else {
    at = emitBtRI(at, V, 0);
    at = doneExit(ccB, stub, done, &nDone, at);
  }
  if (afterFirstTests != nullptr) *afterFirstTests = at;
  if (!flagsLoaded) at = emitMovRM(at, F, H, 8);
  at = emitCmpRR(at, S, V);
  at = emitJccRel8(at, ccAE, 0);  // value new: to the remembered-table test
  uint8_t* toRtTest = at;
  // Incremental marking: a marked holder must not come to refer to an unmarked value. The
  // state is read last: unmarked holders (all old ones at rest) skip the value's header, and
  // marked values skip the state.
  at = emitBtRI(at, F, bitMarked);
  at = emitJccRel8(at, ccAE, 0);  // holder unmarked
  uint8_t* holderUnmarked = at;
  at = emitMovRM(at, S, V, 8);
  at = emitBtRI(at, S, bitMarked);
  at = emitJccRel8(at, ccB, 0);  // value marked
  uint8_t* valueMarked = at;
  at = emitCmpA8I8(at, (uint32_t)(uintptr_t)&currentIncGCState, incGCMarking);
  at = emitJccRel8(at, ccE, 0);  // marking: needs work
  work[0] = at;
  cgenPatchRel8(holderUnmarked, at);
  cgenPatchRel8(valueMarked, at);
  // Perm holders of old values go into the old remembered table. The holder's flags are in
  // hand, so they are tested before the value's header is read.
  at = emitBtRI(at, F, bitPerm);
  at = doneExit(ccAE, stub, done, &nDone, at);  // holder not perm
  at = emitMovRM(at, S, V, 8);
  at = emitBtRI(at, S, bitPerm);
  at = doneExit(ccB, stub, done, &nDone, at);  // value perm
  at = emitBtRI(at, F, bitInOldRt);
  at = doneExit(ccB, stub, done, &nDone, at);  // already listed
  at = emitJmpRel8(at, 0);  // needs work
  work[1] = at;
  cgenPatchRel8(toRtTest, at);
  at = emitBtRI(at, F, bitInRt);
  if (stub) {
    at = doneExit(ccB, true, done, &nDone, at);  // already remembered; else falls to the end
    cgenPatchRel8(work[0], at);
    cgenPatchRel8(work[1], at);
    return at;
  }
  at = emitJccRel8(at, ccAE, 0);  // not remembered: needs work
  work[2] = at;
  for (int i = 0; i < nDone; i++) cgenPatchRel8(done[i], at);
  for (int i = 0; i < 3; i++) exits[i] = work[i];
  return at;
}

static uint8_t* pushJump(const void* target, uint8_t* at) {
  at = emitPushI32(at, (int32_t)(uintptr_t)target);  // push; ret: a jump the glue returns from
  return emitRet(at);
}

// Stub n (storeStubGeneral: slot byte offset in r9). On entry at start: rbx value; at
// afterSelfLoad: r12 holder. Leaves r8 = holder body, r13 = holder flags.
static uint8_t* genStoreStub(int n, uint8_t* at, StoreStub* entries) {
  entries->start = at;
  at = tStackLoad(&seSelf, rR12, at);
  entries->afterSelfLoad = at;
  at = emitMovRM(at, rR8, rR12, 0);    // holder body
  at = emitMovRM(at, rR13, rR12, 8);   // header flags
  at = emitBtRI(at, rR13, bitImmutable);
  at = emitJccRel8(at, ccAE, 0);       // mutable: to the store
  uint8_t* toStore = at;
  entries->immutable = at;
  at = n == storeStubGeneral ? emitShiftRI(at, shiftShr, rR9, 3) : emitMovRI32(at, rR9, n);
  at = pushJump(tRt.attemptToAssign, at);
  cgenPatchRel8(toStore, at);
  at = n == storeStubGeneral ? emitMovMIdxR(at, rR8, rR9, rBX) : emitMovMR(at, rR8, 8 * n, rBX);
  at = tStoreCheck(at, rR12, rBX, rR13, 1, rAX, nullptr, 1, &entries->check);
  return pushJump(tRt.checkStore, at);
}

uint8_t* genStoreInstStub(uint8_t* at, uint64_t, int n) { return genStoreStub(n, at, &storeStubs[n]); }

static uint8_t* genGeneralStoreStub(uint8_t* at) { return genStoreInstStub(at, 0, storeStubGeneral); }

void initStoreInst() {
  seSelf = seSelfNormal;
  tGenerate(genGeneralStoreStub, "store inst var N");
  for (int n = 3; n >= 0; n--) tGenerate1(genStoreInstStub, 0, n, "store inst var");
}

uint8_t* tCallRecorded(uint8_t* at, const void* target) {
  at = emitCallRel(at, target);
  if (tMapRelCall != nullptr) tMapRelCall((uint64_t)(uintptr_t)at, (uint64_t)(uintptr_t)target);
  return at;
}
uint8_t* tStoreIndexed(uint8_t* at) {
  at = emitMovRM(at, rR11, rBX, 0);
  at = emitMovMIdx8R(at, rR11, rR9, rR13);  // the value into the slot
  uint8_t* work[3];
  at = tStoreCheck(at, rBX, rR13, rR15, 0, rAX, work, 0, nullptr);
  at = emitMovRR(at, rBX, rR13);
  at = emitRet(at);
  for (uint8_t* w : work) cgenPatchRel8(w, at);
  at = emitMovRR(at, rR12, rBX);  // the routine takes the holder in r12, the value in rbx
  at = emitMovRR(at, rBX, rR13);
  at = tCallRecorded(at, tRt.checkStore);
  return emitRet(at);
}
static void mapHere(uint64_t vpc, uint8_t* at) {
  if (tMapOnly != nullptr) tMapOnly(vpc, (uint64_t)(uintptr_t)at);
}

// A constant value needs no check when it is an immediate or (perm space not absorbed) a perm
// object.
static bool needsNoCheck(const StackEntry* value) {
  if (value->kind != skConst) return false;
  uint64_t v = value->payload;
  return isImmediate(v) || (!permSpaceAbsorbed && (((const uint64_t*)(uintptr_t)v)[1] & isPermBit) != 0);
}

uint8_t* tStoreInst(StackEntry* holder, int n, StackEntry* value, int16_t* marks, uint64_t vpc,
                    int contextReceiver, uint8_t* at) {
  if (value - 1 > stackEmpty) at = tStackFlush(value - 1, 3, at);
  bool self = holder->kind == seSelf.kind && holder->payload == seSelf.payload;
  if (contextReceiver) {
    at = tStackLoad(holder, rR12, at);
    at = tStackLoad(value, rBX, at);
    at = emitMovRI32(at, rR9, n);
    at = tCallRecorded(at, tRt.storeContextInstVar);
    mapHere(vpc, at);
  } else {
    // Every slot is stored inline; only the immutable holder and the store check's work go to
    // a stub. The general stub takes the slot's byte offset in r9, so those two paths load it.
    StoreStub& stub = storeStubs[n < 4 ? n : storeStubGeneral];
    at = tStackLoad(holder, rR12, at);
    at = tStackLoad(value, rBX, at);
    at = emitMovRM(at, rR13, rR12, 8);      // header flags
    at = emitBtRI(at, rR13, bitImmutable);
    at = emitJccRel8(at, ccAE, 0);          // mutable: to the store
    uint8_t* toStore = at;
    if (n >= 4) at = emitMovRI32(at, rR9, 8 * n);
    at = tCallRecorded(at, stub.immutable);
    mapHere(vpc, at);
    at = emitJmpRel8(at, 0);                // to the end
    uint8_t* toEnd = at;
    cgenPatchRel8(toStore, at);
    if (!(self && marks[0] == 1)) at = emitMovRM(at, rR8, rR12, 0);  // holder body
    at = emitMovMR(at, rR8, 8 * n, rBX);
    uint8_t* skips[2] = {nullptr, nullptr};
    if (!needsNoCheck(value)) {
      at = loadBoundary(rAX, at);
      at = emitCmpRR(at, rAX, rR12);
      at = emitJccRel8(at, ccAE, 0);        // holder new
      skips[0] = at;
      at = emitTestR8I8(at, rBX, 1);
      at = emitJccRel8(at, ccNE, 0);        // value immediate
      skips[1] = at;
      if (n >= 4) at = emitMovRI32(at, rR9, 8 * n);
      at = tCallRecorded(at, stub.check);
    }
    cgenPatchRel8(toEnd, at);
    for (uint8_t* s : skips) {
      if (s != nullptr) cgenPatchRel8(s, at);
    }
  }
  marks[0] = marks[1] = -1;
  return at;
}
