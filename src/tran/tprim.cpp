// Translator: translated primitives: their registration over the primitive table, the
// fallback call and what the generators share, inline allocation in eden and its eden-limit
// sites. Owns threshold_refs and enableXTP. Prefix: tx, tAllocFloat.
#include "tran/tprim.h"

#include "ext/exError.h"
#include "ext/exOption.h"
#include "mman/mmNewSpace.h"
#include "mman/mmObject.h"
#include "mman/mmSysOop.h"
#include "stack/glue.h"
#include "tran/cgenx86_64.h"
#include "tran/nmLayout.h"
#include "tran/nmalloc.h"
#include "tran/taux.h"
#include "tran/tloop.h"
#include "tran/tmain.h"
#include "tran/tstack.h"
#include "tran/txmem.h"

uint32_t enableXTP = 0;  // enableTP and enableTFP belong to the start-up options

// ---- registration -------------------------------------------------------------------------

void txRegisterTable(TranslatedPrimRecord* table, int L, int kind) {
  if ((L & 1) == 0) return;
  int A = L >> 1;
  for (TranslatedPrimRecord* r = table; r->number != 0; r++) {
    if ((txLevel(r) | A) != A || r->generator == nullptr) continue;
    int n = txArgCount(r);
    if (r->cFunction == nullptr) {  // the first registration: the C primitive becomes the fallback
      const PrimEntry* e = getPrimEntry(r->number);
      if (e->function == 0 || e->kind != primKindC || tRt.primGlue[n < 4 ? n : 4] == nullptr) continue;  // nothing to fall back on
      r->cFunction = reinterpret_cast<const void*>(e->function);
      r->glue = tRt.primGlue[n < 4 ? n : 4];
    }
    addPrimitiveWithParams(r->number, r, (uint8_t)n, (uint8_t)kind, r->flag);
  }
}

void initTxArithPrims(int L, void (*reg)(TranslatedPrimRecord*, int, int)) {
  if (L != 0) reg(txArithPrims, L, primKindTranslated);
}

// The run-time routines make Arrays and copying blocks unless the translated primitives are
// on: then stubs in the permanent area make them inline and call the routines only when eden
// has no room.
void initTxMemPrims(int L, void (*reg)(TranslatedPrimRecord*, int, int)) {
  tResetStubRoutines();
  if (L == 0) return;
  txMakeAllocStubs(tRt.createArray, tRt.makeCopyingBlock1);
  txMakeGatherStubs();
  reg(txMemPrims, L, primKindTranslated);
}

// The subscript members ask "get self class format" for the named count a header defers to
// the class.
void initTxSubscriptPrims(int L, void (*reg)(TranslatedPrimRecord*, int, int)) {
  if (L == 0) return;
  txMakeClassFormatStub();
  reg(txSubscriptPrims, L, primKindTranslated);
}

void initTxControlPrims(int L, void (*reg)(TranslatedPrimRecord*, int, int)) {
  if (L != 0) reg(txControlPrims, L, primKindTranslated);
}

void makeTranslatedPrimitives() {
  int L = enableTP == 0 ? 0 : enableXTP != 0 ? 7 : 5;
  initTxArithPrims(L, txRegisterTable);
  initTxControlPrims(L, txRegisterTable);
  initTxMemPrims(L, txRegisterTable);
  initTxSubscriptPrims(L, txRegisterTable);
}

// ---- shared emitters ------------------------------------------------------------------------

uint8_t* txUseCPrim(const TranslatedPrimRecord* r, uint8_t* at, int withReturnMark) {
  uint64_t fn = (uint64_t)(uintptr_t)r->cFunction;
  at = fn <= 0x7fffffff ? emitMovRI32(at, rR15, (int32_t)fn) : emitMovRI64(at, rR15, fn);
  int n = txArgCount(r);
  if (n > 3) at = emitMovRI32(at, rR9, n);
  at = tCallRecorded(at, r->glue);
  if (withReturnMark) {
    at = emitJmpRel8(at, 4);
    at = cgenPutL((uint64_t)(at - (startNMethod != nullptr ? startNMethod : at)), at);
  }
  return at;
}

uint8_t* txMakeBoolean(uint8_t* at) {
  at[-1] = 11;
  at = emitMovRI64(at, rBX, tFalse);
  at = emitRet(at);
  at = emitMovRI64(at, rBX, tTrue);
  return emitRet(at);
}

void txFixShortList(uint8_t** list, int n, const uint8_t* target) {
  for (int i = 0; i < n; i++) {
    if (list[i] == nullptr) continue;
    int64_t d = target - list[i];
    if (!cgenFitsS8(d)) TAbortFunc("Short jump out of range in a translated primitive", -1, list[i], SOURCE_NAME, __LINE__);
    list[i][-1] = (uint8_t)d;
  }
}

uint8_t* txGiveUp(uint8_t* at, const TranslatedPrimRecord* r, int inlineFailure) {
  return inlineFailure ? emitMovRI32(at, rR15, 0) : txUseCPrim(r, at, 0);
}
uint8_t* txArgumentCheck(uint8_t** jump, uint8_t* at) {
  at = emitBtRI(at, rR12, 1);
  at = emitJccRel8(at, ccAE, 0);
  *jump = at;
  return at;
}

void txAddJump(uint8_t** list, uint8_t* jump) {
  while (*list != nullptr) list++;
  *list = jump;
}
uint8_t* txExitsTail(uint8_t* at, const TranslatedPrimRecord* r, int inlineFailure, TxExits& e) {
  for (uint8_t* j : e.fails32) if (j != nullptr) cgenPatchRel32(j, at);
  txFixShortList(e.fails8, 8, at);
  uint8_t* over = nullptr;
  if (inlineFailure) {
    at = emitMovRI32(at, rR15, 0);
    at = emitJmpRel8(at, 0);
    over = at;
  }
  for (uint8_t* j : e.toC32) if (j != nullptr) cgenPatchRel32(j, at);
  txFixShortList(e.toC8, 8, at);
  at = txUseCPrim(r, at, 0);
  if (over != nullptr) txFixShortList(&over, 1, at);
  return at;
}

// ---- inline allocation ---------------------------------------------------------------------
// Bump allocation in eden as allocInNewSpace does it: header, body, the next object right
// behind. An object that would end past eden's warning limit takes the slow path with nothing
// changed (the C primitive then allocates and posts the scavenge request); one ending exactly
// at the limit is allocated inline. Run-time stubs in the permanent area record where they
// compare with the limit, so that a new limit can be written into them.

uint8_t* threshold_refs[thresholdRefCapacity];
uint32_t numThresholdRefs;

// The limit's form follows eden's end, which never moves: a 32-bit immediate while it fits
// one, else a 64-bit one through r11.
static bool edenLimitFits32() { return eden.end <= 0x7FFFFFFFu; }

uint8_t* txEdenLimitCompare(uint8_t* at) {
  uint8_t* site = at;
  if (edenLimitFits32()) {
    at = emitAluRI32(at, aluCmp, rR14, (int32_t)eden.warningLimit);  // 49 81 FE imm32
  } else {
    at = emitMovRI64(at, rR11, eden.warningLimit);  // 49 BB imm64
    at = emitCmpRR(at, rR14, rR11);                 // 4D 3B F3
  }
  uint64_t a = (uint64_t)(uintptr_t)site;
  if (generatingRuntimeRoutines && a >= nmZone.top && a <= maxNZonePC) {
    if (numThresholdRefs >= thresholdRefCapacity) TAbortFunc("threshold_refs table too small", -1, site, SOURCE_NAME, __LINE__);
    threshold_refs[numThresholdRefs++] = site;
  }
  return at;
}

uint8_t* txAllocInline(uint8_t* at, int sizeReg, uint32_t bytes, int flagsReg, uint64_t flags, int result, uint8_t** slow) {
  uint64_t top = (uint64_t)(uintptr_t)&eden.allocPtr;
  at = top <= 0x7FFFFFFFu ? emitMovR32I32(at, rAX, (uint32_t)top) : emitMovRI64(at, rAX, top);
  at = emitMovRM(at, rR14, rAX, 0);
  if (sizeReg < 0) {
    at = emitLeaRM(at, rR14, rR14, (int32_t)(objectHeaderBytes + bytes));
  } else {
    at = emitAluRR(at, aluRRAdd, rR14, sizeReg);
    at = emitAluRI8(at, aluAdd, rR14, (int8_t)objectHeaderBytes);
  }
  at = txEdenLimitCompare(at);
  at = emitJccRel32(at, ccA, 0);
  *slow = at;
  at = emitMovMR(at, rAX, 0, rR14);  // eden's new top
  at = emitMovRR(at, rR11, rR14);
  if (sizeReg < 0) at = emitLeaRM(at, rR14, rR14, -(int32_t)bytes);
  else at = emitAluRR(at, aluRRSub, rR14, sizeReg);
  at = emitMovMR(at, rR14, -(int32_t)objectHeaderBytes, rR14);  // the body pointer
  if (flagsReg < 0) {
    at = emitMovRI64(at, rAX, flags);
    flagsReg = rAX;
  }
  at = emitMovMR(at, rR14, -(int32_t)objectHeaderBytes + 8, flagsReg);
  return emitLeaRM(at, result, rR14, -(int32_t)objectHeaderBytes);
}

uint8_t* tAllocFloat(uint8_t* at, int isDouble, int result, uint8_t** slow) {
  const uint64_t flags = isDouble ? 0x101000019ull : 0x110100001Cull;
  return txAllocInline(at, -1, 8, -1, flags, result, slow);
}

void tranNoteEdenWarningThresholdChanged() {
  if (nmZone.top == 0) return;  // no zone yet: no code holds the limit
  reInitNMethods();
  for (uint32_t i = 0; i < numThresholdRefs; i++) {
    uint8_t* site = threshold_refs[i];
    uint8_t* end = edenLimitFits32() ? emitAluRI32(site, aluCmp, rR14, (int32_t)eden.warningLimit)
                                     : emitMovRI64(site, rR11, eden.warningLimit);
    (void)end;
    rtFlushICache();
  }
}

// ---- User primitives ------------------------------------------------------------------------

// Methods whose translations name a primitive number (collected first: discarding changes
// the zone being walked).
struct MethodsNamingPrimitive {
  uint32_t number;
  uint64_t count;
  oop methods[64];
};
static void noteMethodNamingPrimitive(NMethodHeader* block, void* data) {
  auto* found = static_cast<MethodsNamingPrimitive*>(data);
  if (block->usedSize == 0 || (block->flags & (nmFlagPIC | nmFlagBlock | nmFlagUnlinked)) != 0 ||
      (block->flags & nmFlagPrimitive) == 0)
    return;
  TVInfo info;
  if (!unpackVMethod(block->vmethod, &info)) return;
  if (info.primitive == int32_t(found->number) && found->count < sizeof found->methods / sizeof found->methods[0]) found->methods[found->count++] = block->vmethod;
}

void addUPrimitive(uint32_t number, const void* function, uint8_t numArgs) {
  addPrimitiveWithParams(number, function, numArgs, primKindUser, 0);
  MethodsNamingPrimitive found;
  do {
    found.number = number;
    found.count = 0;
    nMethodZoneDo(noteMethodNamingPrimitive, &found);
    for (uint64_t i = 0; i < found.count; i++) nmFlushCachedCodeForMethod(found.methods[i]);
  } while (found.count == sizeof found.methods / sizeof found.methods[0]);
}
