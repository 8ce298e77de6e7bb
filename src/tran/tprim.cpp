// Translator: translated primitives: the record tables, their registration, the fallback call
// and the generators; inline allocation in eden and the allocation stubs.
// Owns the record tables, threshold_refs and the stubs' addresses. Prefix: tx, tAllocFloat.
#include "tran/tprim.h"

#include "ext/exError.h"
#include "tran/cgenx86_64.h"
#include "tran/nmalloc.h"
#include "tran/taux.h"
#include "stack/glue.h"
#include "tran/tloop.h"
#include "tran/tmain.h"
#include "tran/tstack.h"
#include "tran/txmem.h"
#include "tran/nmLayout.h"
#include "ext/exOption.h"
#include "mman/mmNewSpace.h"
#include "mman/mmObject.h"
#include "mman/mmSysOop.h"

uint32_t enableXTP = 0;  // enableTP and enableTFP belong to the start-up options

static uint8_t* genAddSub(uint8_t* at, const TranslatedPrimRecord* r, int inlineFailure);
static uint8_t* genCompare(uint8_t* at, const TranslatedPrimRecord* r, int inlineFailure);
static uint8_t* genMultiply(uint8_t* at, const TranslatedPrimRecord* r, int inlineFailure);
static uint8_t* genDivide(uint8_t* at, const TranslatedPrimRecord* r, int inlineFailure);
static uint8_t* genBitOp(uint8_t* at, const TranslatedPrimRecord* r, int inlineFailure);
static uint8_t* genShift(uint8_t* at, const TranslatedPrimRecord* r, int inlineFailure);
static uint8_t* genWordHash(uint8_t* at, const TranslatedPrimRecord* r, int inlineFailure);
static uint8_t* genIdentity(uint8_t* at, const TranslatedPrimRecord* r, int inlineFailure);
static uint8_t* genClass(uint8_t* at, const TranslatedPrimRecord* r, int inlineFailure);
static uint8_t* genIdentityHash(uint8_t* at, const TranslatedPrimRecord* r, int inlineFailure);
static uint8_t* genMaxHash(uint8_t* at, const TranslatedPrimRecord* r, int inlineFailure);
static uint8_t* genSmallDoubleCompare(uint8_t* at, const TranslatedPrimRecord* r, int inlineFailure);
static uint8_t* genBasicAt(uint8_t* at, const TranslatedPrimRecord* r, int inlineFailure);
static uint8_t* genBasicSize(uint8_t* at, const TranslatedPrimRecord* r, int inlineFailure);
static uint8_t* genSmallDoubleArith(uint8_t* at, const TranslatedPrimRecord* r, int inlineFailure);
static uint8_t* genSmallDoubleSqrt(uint8_t* at, const TranslatedPrimRecord* r, int inlineFailure);
static uint8_t* genAsSmallDouble(uint8_t* at, const TranslatedPrimRecord* r, int inlineFailure);
static uint8_t* genDoubleSqrt(uint8_t* at, const TranslatedPrimRecord* r, int inlineFailure);
static uint8_t* genFloatArith(uint8_t* at, const TranslatedPrimRecord* r, int inlineFailure);
static uint8_t* genFloatCompare(uint8_t* at, const TranslatedPrimRecord* r, int inlineFailure);
static uint8_t* genAsFloat(uint8_t* at, const TranslatedPrimRecord* r, int inlineFailure);
static uint8_t* genFloatSqrt(uint8_t* at, const TranslatedPrimRecord* r, int inlineFailure);
static uint8_t* genMakePair(uint8_t* at, const TranslatedPrimRecord* r, int inlineFailure);
static uint8_t* genNew(uint8_t* at, const TranslatedPrimRecord* r, int inlineFailure);
static uint8_t* genNewWithArg(uint8_t* at, const TranslatedPrimRecord* r, int inlineFailure);
static uint8_t* genRetag(uint8_t* at, const TranslatedPrimRecord* r, int inlineFailure);
static uint8_t* genPerform(uint8_t* at, const TranslatedPrimRecord* r, int inlineFailure);
static uint8_t* genCharacterFor(uint8_t* at, const TranslatedPrimRecord* r, int inlineFailure);
static uint8_t* genBlockValue(uint8_t* at, const TranslatedPrimRecord* r, int inlineFailure);
static uint8_t* genBasicAtPut(uint8_t* at, const TranslatedPrimRecord* r, int inlineFailure);
static uint8_t* genElementAtPut(uint8_t* at, const TranslatedPrimRecord* r, int inlineFailure);
static uint8_t* genElementAt(uint8_t* at, const TranslatedPrimRecord* r, int inlineFailure);

#define TX(number, args, level, flag, gen) {number, (uint8_t)((args) | ((level) << 5)), flag, gen, nullptr, nullptr}
// Records whose generator is null are not built yet: their numbers stay C primitives.
#define TXNONE(number, args, level, flag) TX(number, args, level, flag, nullptr)

TranslatedPrimRecord txArithPrims[54] = {
    TX(1, 1, 0, 1, genAddSub),    TX(2, 1, 0, 1, genAddSub),    TX(3, 1, 0, 1, genCompare),
    TX(4, 1, 0, 1, genCompare),   TX(5, 1, 0, 1, genCompare),   TX(6, 1, 0, 1, genCompare),
    TX(7, 1, 0, 1, genCompare),   TX(8, 1, 0, 1, genCompare),   TX(9, 1, 0, 1, genMultiply),
    TX(1747, 0, 0, 1, genWordHash), TX(10, 1, 0, 1, genDivide), TX(11, 1, 0, 1, genDivide),
    TX(12, 1, 0, 1, genDivide),   TX(13, 1, 0, 1, genDivide),   TX(14, 1, 0, 1, genBitOp),
    TX(15, 1, 0, 1, genBitOp),    TX(16, 1, 0, 1, genBitOp),    TX(17, 1, 0, 1, genShift),
    TX(40, 0, 2, 1, genAsFloat),  TX(589, 0, 2, 1, genAsSmallDouble),
    TX(41, 1, 2, 0, genFloatArith),   TX(42, 1, 2, 0, genFloatArith),   TX(43, 1, 2, 0, genFloatCompare),
    TX(44, 1, 2, 0, genFloatCompare), TX(45, 1, 2, 0, genFloatCompare), TX(46, 1, 2, 0, genFloatCompare),
    TX(47, 1, 2, 0, genFloatCompare), TX(48, 1, 2, 0, genFloatCompare), TX(49, 1, 2, 0, genFloatArith),
    TX(50, 1, 2, 0, genFloatArith),
    TX(561, 1, 2, 0, genSmallDoubleArith),   TX(562, 1, 2, 0, genSmallDoubleArith),
    TX(563, 1, 2, 0, genSmallDoubleCompare), TX(564, 1, 2, 0, genSmallDoubleCompare),
    TX(565, 1, 2, 0, genSmallDoubleCompare), TX(566, 1, 2, 0, genSmallDoubleCompare),
    TX(567, 1, 2, 0, genSmallDoubleCompare), TX(568, 1, 2, 0, genSmallDoubleCompare),
    TX(569, 1, 2, 0, genSmallDoubleArith),   TX(570, 1, 2, 0, genSmallDoubleArith),
    TX(821, 1, 2, 0, genSmallDoubleArith), TX(822, 1, 2, 0, genSmallDoubleArith),
    TX(823, 1, 2, 0, genSmallDoubleCompare), TX(824, 1, 2, 0, genSmallDoubleCompare),
    TX(825, 1, 2, 0, genSmallDoubleCompare), TX(826, 1, 2, 0, genSmallDoubleCompare),
    TX(827, 1, 2, 0, genSmallDoubleCompare), TX(828, 1, 2, 0, genSmallDoubleCompare), TX(829, 1, 2, 0, genSmallDoubleArith), TX(830, 1, 2, 0, genSmallDoubleArith),
    TX(582, 0, 2, 0, genDoubleSqrt), TX(603, 0, 2, 0, genFloatSqrt), TX(842, 0, 2, 0, genSmallDoubleSqrt),
    {},
};
TranslatedPrimRecord txControlPrims[6] = {
    TX(501, 0, 0, 0, genBlockValue), TX(502, 1, 0, 0, genBlockValue), TX(503, 2, 0, 0, genBlockValue), TX(511, 1, 0, 0, genPerform), TX(512, 2, 0, 0, genPerform), {},
};
TranslatedPrimRecord txMemPrims[12] = {
    TX(18, 1, 0, 0, genMakePair), TX(70, 0, 0, 0, genNew), TX(71, 1, 0, 0, genNewWithArg),  TX(75, 0, 0, 0, genIdentityHash),
    TX(109, 1, 0, 192, genIdentity), TX(110, 1, 0, 192, genIdentity), TX(111, 0, 0, 192, genClass),
    TX(410, 0, 0, 192, genRetag), TX(411, 1, 0, 0, genCharacterFor), TX(820, 0, 0, 192, genRetag), TX(1065, 0, 0, 192, genMaxHash), {},
};
TranslatedPrimRecord txSubscriptPrims[14] = {
    TX(60, 1, 0, 0, genBasicAt), TX(61, 2, 0, 0, genBasicAtPut),  TX(62, 0, 0, 0, genBasicSize),  TX(63, 1, 0, 0, genBasicAt),
    TX(64, 2, 0, 0, genElementAtPut), TX(412, 1, 0, 0, genBasicAt), TX(413, 2, 0, 0, genElementAtPut), TX(420, 1, 0, 0, genBasicAt),
    TX(421, 2, 0, 0, genElementAtPut), TX(423, 1, 0, 0, genBasicAt), TX(424, 2, 0, 0, genElementAtPut),
    TX(540, 1, 0, 0, genElementAt), TX(544, 1, 0, 0, genElementAt), {},
};
#undef TX
#undef TXNONE

void txRegisterTable(TranslatedPrimRecord* table, int L, int kind) {
  if ((L & 1) == 0) return;
  int A = L >> 1;
  for (TranslatedPrimRecord* r = table; r->number != 0; r++) {
    if ((txLevel(r) | A) != A || r->generator == nullptr) continue;
    int n = txArgCount(r);
    if (r->cFunction == nullptr) {  // the first registration: the C primitive becomes the fallback
      const PrimEntry* e = getPrimEntry(r->number);
      if (e->function == 0 || e->kind != primKindC || tGlue.primGlue[n < 4 ? n : 4] == nullptr) continue;  // nothing to fall back on
      r->cFunction = reinterpret_cast<const void*>(e->function);
      r->glue = tGlue.primGlue[n < 4 ? n : 4];
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
  tRt.createArray = reinterpret_cast<const void*>(rtCreateArray);
  tRt.makeCopyingBlock1 = reinterpret_cast<const void*>(rtMakeCopyingBlock1);
  if (L == 0) return;
  txMakeAllocStubs(tRt.createArray, tRt.makeCopyingBlock1);
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
    if (!cgenFitsS8(d)) TAbortFunc("Short jump out of range in a translated primitive", -1, list[i], "src/tran/tprim", __LINE__);
    list[i][-1] = (uint8_t)d;
  }
}

// ---- SmallInteger members -------------------------------------------------------------------
// Tagged SmallIntegers are v*8 + 3: 64-bit signed overflow of the scaled values is exactly
// leaving the SmallInteger range. Every path that gives up leaves rbx and r12 (and r13) as
// they came, so the fallback sees the send's operands.

// The end of every path that gives up.
static uint8_t* giveUp(uint8_t* at, const TranslatedPrimRecord* r, int inlineFailure) {
  return inlineFailure ? emitMovRI32(at, rR15, 0) : txUseCPrim(r, at, 0);
}
// bt r12, 1; jnc: the argument must be a SmallInteger. Answers the jump to patch.
static uint8_t* argumentCheck(uint8_t** jump, uint8_t* at) {
  at = emitBtRI(at, rR12, 1);
  at = emitJccRel8(at, ccAE, 0);
  *jump = at;
  return at;
}

static uint8_t* genAddSub(uint8_t* at, const TranslatedPrimRecord* r, int inlineFailure) {
  uint8_t* fail[2];
  at = argumentCheck(&fail[0], at);
  at = emitMovRR(at, rR15, rR12);
  at = emitAluRI8(at, aluSub, rR15, 3);  // untagged, still scaled
  at = emitMovRR(at, rR11, rBX);
  at = emitAluRR(at, r->number == 1 ? aluRRAdd : aluRRSub, rR11, rR15);
  at = emitJccRel8(at, ccO, 0);
  fail[1] = at;
  at = emitMovRR(at, rBX, rR11);
  at = emitRet(at);
  txFixShortList(fail, 2, at);
  return giveUp(at, r, inlineFailure);
}

static uint8_t* genCompare(uint8_t* at, const TranslatedPrimRecord* r, int inlineFailure) {
  static const uint8_t conditions[6] = {ccL, ccG, ccLE, ccGE, ccE, ccNE};  // 3..8
  uint8_t* fail;
  at = argumentCheck(&fail, at);
  at = emitCmpRR(at, rBX, rR12);
  at = emitJccRel8(at, conditions[r->number - 3], 0);
  at = txMakeBoolean(at);
  txFixShortList(&fail, 1, at);
  return giveUp(at, r, inlineFailure);
}

static uint8_t* genMultiply(uint8_t* at, const TranslatedPrimRecord* r, int inlineFailure) {
  uint8_t* fail;
  at = argumentCheck(&fail, at);
  at = emitMovRR(at, rR15, rBX);
  at = emitShiftRI(at, shiftSar, rBX, 3);
  at = emitAluRI8(at, aluSub, rR12, 3);
  at = emitImulRR(at, rBX, rR12);
  at = emitJccRel8(at, ccO, 0);
  uint8_t* repair = at;
  at = emitAluRI8(at, aluAdd, rBX, 3);
  at = emitRet(at);
  txFixShortList(&repair, 1, at);
  at = emitAluRI8(at, aluAdd, rR12, 3);
  at = emitMovRR(at, rBX, rR15);
  txFixShortList(&fail, 1, at);
  return giveUp(at, r, inlineFailure);
}

static uint8_t* genBitOp(uint8_t* at, const TranslatedPrimRecord* r, int inlineFailure) {
  static const AluRROp ops[3] = {aluRRAnd, aluRROr, aluRRXor};  // 14, 15, 16
  uint8_t* fail;
  at = argumentCheck(&fail, at);
  at = emitAluRR(at, ops[r->number - 14], rBX, rR12);
  if (r->number == 16) at = emitAluRI8(at, aluAdd, rBX, 3);  // both tags cancelled
  at = emitRet(at);
  txFixShortList(&fail, 1, at);
  return giveUp(at, r, inlineFailure);
}

// bitShift: counts of 60 or more to the left fail unless the receiver is 0, as in C.
static uint8_t* genShift(uint8_t* at, const TranslatedPrimRecord* r, int inlineFailure) {
  uint8_t* fail;
  at = argumentCheck(&fail, at);
  at = emitShiftRI(at, shiftSar, rR12, 3);  // the count
  at = emitCmpRI(at, rR12, 0);
  at = emitJccRel8(at, ccG, 0);
  uint8_t* toLeft = at;
  at = emitNegR(at, rR12);
  at = emitCmpRI(at, rR12, 61);
  at = emitJccRel8(at, ccL, 0);
  uint8_t* small = at;
  at = emitMovRI32(at, rR12, 61);  // only the sign is left
  txFixShortList(&small, 1, at);
  at = emitXchgRR(at, rR12, rCX);
  at = emitShiftRCl(at, shiftSar, rBX);
  at = emitXchgRR(at, rR12, rCX);
  at = emitAluRI8(at, aluAnd, rBX, -8);
  at = emitAluRI8(at, aluAdd, rBX, 3);
  at = emitRet(at);
  txFixShortList(&toLeft, 1, at);
  at = emitCmpRI(at, rR12, 60);
  at = emitJccRel8(at, ccL, 0);
  uint8_t* inRange = at;
  at = emitCmpRI(at, rBX, 3);
  at = emitJccRel8(at, ccNE, 0);  // a non-zero receiver loses bits
  uint8_t* tooFar = at;
  at = emitRet(at);               // 0 shifted is 0
  txFixShortList(&inRange, 1, at);
  at = emitAluRI8(at, aluSub, rBX, 3);
  at = emitMovRR(at, rR15, rBX);
  at = emitXchgRR(at, rR12, rCX);
  at = emitShiftRCl(at, shiftShl, rBX);
  at = emitMovRR(at, rR9, rBX);
  at = emitShiftRCl(at, shiftSar, rR9);
  at = emitXchgRR(at, rR12, rCX);
  at = emitCmpRR(at, rR9, rR15);
  at = emitJccRel8(at, ccNE, 0);
  uint8_t* lost = at;
  at = emitAluRI8(at, aluAdd, rBX, 3);
  at = emitRet(at);
  txFixShortList(&lost, 1, at);
  at = emitLeaRM(at, rBX, rR15, 3);
  txFixShortList(&tooFar, 1, at);
  at = emitLeaTagInt(at, rR12, rR12);
  txFixShortList(&fail, 1, at);
  return giveUp(at, r, inlineFailure);
}

// 10 exact /, 11 \\ (floored modulo), 12 // (floored), 13 quo: (truncated). The operands stay
// scaled by 8, so the quotient comes out unscaled and the remainder scaled. The one quotient
// out of range (the most negative SmallInteger by -1) is caught before the idiv, which would
// trap; its modulo is 0.
static uint8_t* genDivide(uint8_t* at, const TranslatedPrimRecord* r, int inlineFailure) {
  uint8_t* fail[3] = {nullptr, nullptr, nullptr};
  uint8_t* restore[2] = {nullptr, nullptr};
  at = argumentCheck(&fail[0], at);
  at = emitCmpRI(at, rR12, 3);
  at = emitJccRel8(at, ccE, 0);  // zero divisor
  fail[1] = at;
  at = emitAluRI8(at, aluSub, rR12, 3);
  at = emitAluRI8(at, aluSub, rBX, 3);
  at = emitMovRR(at, rR15, rBX);  // kept for the paths that give up
  at = emitMovRR(at, rR9, rR12);
  at = emitCmpRI(at, rR12, -8);
  at = emitJccRel8(at, ccNE, 0);
  uint8_t* divide = at;
  at = emitMovRI64(at, rR11, 0x8000000000000000ull);
  at = emitCmpRR(at, rBX, rR11);
  at = emitJccRel8(at, ccNE, 0);
  uint8_t* divide2 = at;
  if (r->number == 11) {
    at = emitMovRI32(at, rBX, 3);
    at = emitRet(at);
  } else {
    at = emitJmpRel8(at, 0);
    restore[0] = at;
  }
  txFixShortList(&divide, 1, at);
  txFixShortList(&divide2, 1, at);
  at = cgenDiv(rR12, rBX, 1, at);  // rbx quotient, r12 remainder (scaled)
  uint8_t* done = nullptr;
  switch (r->number) {
    case 10:
      at = emitTestRR(at, rR12, rR12);
      at = emitJccRel8(at, ccNE, 0);  // not exact
      restore[1] = at;
      break;
    case 11:
    case 12:
      at = emitTestRR(at, rR12, rR12);
      at = emitJccRel8(at, ccE, 0);
      done = at;
      at = emitMovRR(at, rR11, rR12);
      at = emitAluRR(at, aluRRXor, rR11, rR9);  // signs differ: one step down
      at = emitJccRel8(at, ccNS, 0);
      fail[2] = at;  // reused below as a second jump to done
      at = r->number == 11 ? emitAluRR(at, aluRRAdd, rR12, rR9) : emitAluRI8(at, aluSub, rBX, 1);
      txFixShortList(&done, 1, at);
      txFixShortList(&fail[2], 1, at);
      fail[2] = nullptr;
      break;
    default: break;
  }
  at = r->number == 11 ? emitLeaRM(at, rBX, rR12, 3) : emitLeaTagInt(at, rBX, rBX);
  at = emitRet(at);
  txFixShortList(restore, 2, at);
  if (restore[0] != nullptr || restore[1] != nullptr) {
    at = emitLeaRM(at, rBX, rR15, 3);
    at = emitLeaRM(at, rR12, rR9, 3);
  }
  txFixShortList(fail, 3, at);
  return giveUp(at, r, inlineFailure);
}

// A hash step of the receiver (a SmallInteger: the method's class says so); never gives up.
static uint8_t* genWordHash(uint8_t* at, const TranslatedPrimRecord*, int) {
  at = emitShiftRI(at, shiftSar, rBX, 3);
  at = emitMovRI64(at, rR12, 1664525);
  at = emitImulRR(at, rBX, rR12);
  at = emitAluRI32(at, aluAnd, rBX, 0x0FFFFFFF);
  at = emitLeaTagInt(at, rBX, rBX);
  return emitRet(at);
}

// ---- identity and class members -------------------------------------------------------------

// 110 ==, 109 ~~: the oops themselves.
static uint8_t* genIdentity(uint8_t* at, const TranslatedPrimRecord* r, int) {
  at = emitCmpRR(at, rR12, rBX);
  at = emitJccRel8(at, r->number == 110 ? ccE : ccNE, 0);
  return txMakeBoolean(at);
}

// 111: the class through the class table's page (index >> 10) and slot (index & 1023).
static uint8_t* genClass(uint8_t* at, const TranslatedPrimRecord*, int) {
  at = cgenLoadClassTag(at, rR15);
  at = emitMovRR(at, rAX, rR15);
  at = emitShiftRI(at, shiftShr, rAX, 10);
  at = emitMovRI64(at, rR11, (uint64_t)(uintptr_t)classTable);
  at = emitMovRMIdx8(at, rR11, rR11, rAX);
  at = emitAluRI32(at, aluAnd, rR15, 1023);
  at = emitMovRMIdx8(at, rBX, rR11, rR15);
  return emitRet(at);
}

// 75: the identity hash (header bits 42-61) as a SmallInteger. An immediate fails in C; an
// object without a hash yet gets one there, so that case always calls C.
static uint8_t* genIdentityHash(uint8_t* at, const TranslatedPrimRecord* r, int inlineFailure) {
  at = emitTestR8I8(at, rBX, 1);
  at = emitJccRel8(at, ccNE, 0);
  uint8_t* immediate = at;
  at = emitMovRM(at, rR11, rBX, 8);
  at = emitMovRI64(at, rAX, 0x3FFFFC0000000000ull);
  at = emitAluRR(at, aluRRAnd, rR11, rAX);
  at = emitJccRel8(at, ccE, 0);
  uint8_t* noHash = at;
  at = emitShiftRI(at, shiftShr, rR11, 39);
  at = emitLeaRM(at, rBX, rR11, 3);
  at = emitRet(at);
  txFixShortList(&immediate, 1, at);
  uint8_t* over = nullptr;
  if (inlineFailure) {
    at = emitMovRI32(at, rR15, 0);
    at = emitJmpRel8(at, 0);
    over = at;
  }
  txFixShortList(&noHash, 1, at);
  at = txUseCPrim(r, at, 0);
  if (over != nullptr) txFixShortList(&over, 1, at);
  return at;
}

// 410 (a Character's code) and 820 (a SmallDouble's bits): the receiver's bits with the
// SmallInteger tag; the receiver is of the method's class.
static uint8_t* genRetag(uint8_t* at, const TranslatedPrimRecord* r, int) {
  if (r->number == 410) {
    at = emitAluRI8(at, aluAdd, rBX, 2);  // tag 001 becomes 011
  } else {
    at = emitAluRI8(at, 1 /* or */, rBX, 7);
    at = emitAluRI8(at, 6 /* xor */, rBX, 4);  // tag 101 becomes 011
  }
  return emitRet(at);
}

// 411: the Character of a SmallInteger code of 0 or more (the same bits, tag 001).
static uint8_t* genCharacterFor(uint8_t* at, const TranslatedPrimRecord* r, int inlineFailure) {
  uint8_t* fail[2];
  at = argumentCheck(&fail[0], at);
  at = emitTestRR(at, rR12, rR12);
  at = emitJccRel8(at, ccS, 0);
  fail[1] = at;
  at = emitMovRR(at, rBX, rR12);
  at = emitAluRI8(at, aluSub, rBX, 2);
  at = emitRet(at);
  txFixShortList(fail, 2, at);
  return giveUp(at, r, inlineFailure);
}

// 1065: the largest identity hash as a SmallInteger.
static uint8_t* genMaxHash(uint8_t* at, const TranslatedPrimRecord*, int) {
  at = emitMovRI32(at, rBX, (int32_t)(((uint64_t)identityHashMax << 3) | 3));
  return emitRet(at);
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

static uint8_t* edenLimitCompare(uint8_t* at) {
  uint8_t* site = at;
  if (edenLimitFits32()) {
    at = emitAluRI32(at, aluCmp, rR14, (int32_t)eden.warningLimit);  // 49 81 FE imm32
  } else {
    at = emitMovRI64(at, rR11, eden.warningLimit);  // 49 BB imm64
    at = emitCmpRR(at, rR14, rR11);                 // 4D 3B F3
  }
  uint64_t a = (uint64_t)(uintptr_t)site;
  if (generatingRuntimeRoutines && a >= nmZone.top && a <= maxNZonePC) {
    if (numThresholdRefs >= thresholdRefCapacity) TAbortFunc("threshold_refs table too small", -1, site, "src/tran/tprim", __LINE__);
    threshold_refs[numThresholdRefs++] = site;
  }
  return at;
}

// Allocates a body of `bytes` bytes (a multiple of 8 up to 2008; in the register sizeReg
// unless it is -1) with the header word `flags` (in the register flagsReg unless it is -1):
// r14 := the body, r11 := its end, result := the new object. rax is clobbered. *slow gets the
// 32-bit jump taken when eden has no room below its warning limit.
static uint8_t* allocInline(uint8_t* at, int sizeReg, uint32_t bytes, int flagsReg, uint64_t flags, int result, uint8_t** slow) {
  uint64_t top = (uint64_t)(uintptr_t)&eden.allocPtr;
  at = top <= 0x7FFFFFFFu ? emitMovR32I32(at, rAX, (uint32_t)top) : emitMovRI64(at, rAX, top);
  at = emitMovRM(at, rR14, rAX, 0);
  if (sizeReg < 0) {
    at = emitLeaRM(at, rR14, rR14, (int32_t)(objectHeaderBytes + bytes));
  } else {
    at = emitAluRR(at, aluRRAdd, rR14, sizeReg);
    at = emitAluRI8(at, aluAdd, rR14, (int8_t)objectHeaderBytes);
  }
  at = edenLimitCompare(at);
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

// Stores value into every word from r14 up to r11 (r14 moves).
static uint8_t* fillLoop(uint8_t* at, int value) {
  at = emitCmpRR(at, rR14, rR11);
  at = emitJccRel8(at, ccAE, 0);
  uint8_t* done = at;
  uint8_t* loop = at;
  at = emitMovMR(at, rR14, 0, value);
  at = emitAluRI8(at, aluAdd, rR14, 8);
  at = emitCmpRR(at, rR14, rR11);
  at = emitJccRel8(at, ccB, (int8_t)(loop - (at + 2)));
  txFixShortList(&done, 1, at);
  return at;
}

// reg := nil, read from the registry when the code runs: the code may outlive nil's place.
static uint8_t* loadNil(uint8_t* at, int reg) {
  at = emitMovRI64(at, reg, (uint64_t)(uintptr_t)&sysOopRegistry);
  at = emitMovRM(at, reg, reg, 0);
  return emitMovRM(at, reg, reg, 8 * sysNil);
}

uint8_t* tAllocFloat(uint8_t* at, int isDouble, int result, uint8_t** slow) {
  const uint64_t flags = isDouble ? 0x101000019ull : 0x110100001Cull;
  return allocInline(at, -1, 8, -1, flags, result, slow);
}

// The stubs' slow paths: the run-time routines, entered with the registers as they came.
static const void* createArraySlowPath;
static const void* copyingBlockSlowPath;

// "create array": an Array of r12 / 8 slots (r12 = slots x 8), nil-filled, into rbx. Arrays
// whose size the header cannot hold, and an eden without room, go to the routine.
static uint8_t* genCreateArrayStub(uint8_t* at) {
  at = emitCmpRI(at, rR12, 2008);
  at = emitJccRel32(at, ccA, 0);
  uint8_t* large = at;
  at = emitMovRR(at, rR9, rR12);
  at = emitShiftRI(at, shiftShl, rR9, 21);  // the size field (words << 24)
  at = emitMovRI64(at, rAX, uint64_t(hasPtrsBit) | classIndexArray);
  at = emitAluRR(at, aluRROr, rR9, rAX);
  uint8_t* slow;
  at = allocInline(at, rR12, 0, rR9, 0, rBX, &slow);
  at = loadNil(at, rR9);
  at = fillLoop(at, rR9);
  at = emitRet(at);
  cgenPatchRel32(large, at);
  cgenPatchRel32(slow, at);
  return emitJmpRel32(at, createArraySlowPath);
}

// "make copying block 1 value": a BlockClosure of the method in rbx, no outer context and the
// copied value in r12, into rbx.
static uint8_t* genCopyingBlockStub(uint8_t* at) {
  enum : uint64_t { blockClosureHeader = 0x8000000C0300000Dull };  // class 13, three named slots
  uint8_t* slow;
  at = allocInline(at, -1, 24, -1, blockClosureHeader, rR9, &slow);
  at = emitMovMR(at, rR14, 0, rBX);
  at = loadNil(at, rAX);
  at = emitMovMR(at, rR14, 8, rAX);
  at = emitMovMR(at, rR14, 16, rR12);
  at = emitMovRR(at, rBX, rR9);
  at = emitRet(at);
  cgenPatchRel32(slow, at);
  return emitJmpRel32(at, copyingBlockSlowPath);
}

void txMakeAllocStubs(const void* createArrayRoutine, const void* copyingBlockRoutine) {
  createArraySlowPath = createArrayRoutine;
  copyingBlockSlowPath = copyingBlockRoutine;
  tRt.createArray = tGenerate(genCreateArrayStub, "create array");
  tRt.makeCopyingBlock1 = tGenerate(genCopyingBlockStub, "make copying block 1 value");
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

// The end of a member whose give-up jumps come in two kinds: where C fails (the shortcut
// with inlineFailure) and where C answers (always called). Lists may hold null entries.
struct Exits {
  uint8_t* fails32[8] = {};
  uint8_t* fails8[8] = {};
  uint8_t* toC32[8] = {};
  uint8_t* toC8[8] = {};
};
static void addJump(uint8_t** list, uint8_t* jump) {
  while (*list != nullptr) list++;
  *list = jump;
}
static uint8_t* exitsTail(uint8_t* at, const TranslatedPrimRecord* r, int inlineFailure, Exits& e) {
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

// ---- floating-point members -----------------------------------------------------------------

// x := the double a SmallDouble oop in rax stands for (rax changes): the 60 stored bits with
// the sign below them, re-biased unless the value is a zero, then the sign rotated to the top.
static uint8_t* decodeSmallDouble(uint8_t* at, int x) {
  at = emitShiftRI(at, shiftShr, rAX, 3);
  at = emitCmpRI(at, rAX, 1);
  at = emitJccRel8(at, ccBE, 0);
  uint8_t* zero = at;
  at = emitMovRI64(at, rR11, 0x7000000000000000ull);
  at = emitAluRR(at, aluRRAdd, rAX, rR11);
  txFixShortList(&zero, 1, at);
  at = emitShift1R(at, rotateRor, rAX);
  return emitMovqXR(at, x, rAX);
}

// The arithmetic and comparison members keep the decoding's re-bias in r11 from their first
// instruction on, as 0x7000000000000002: the encoding subtracts it whole, and the decoding
// adds it through a lea that takes the 2 off again.
static const uint64_t smallDoubleBias = 0x7000000000000002ull;

// x := the double of a SmallDouble whose oop, shifted right by 3, is in rax (rax changes);
// r11 holds smallDoubleBias.
static uint8_t* decodeShiftedSmallDouble(uint8_t* at, int x) {
  at = emitCmpRI(at, rAX, 1);
  at = emitJccRel8(at, ccBE, 0);  // a zero: only the sign moves
  uint8_t* zero = at;
  at = emitLeaRMIdxD8(at, rAX, rAX, rR11, -2);
  txFixShortList(&zero, 1, at);
  at = emitShift1R(at, rotateRor, rAX);
  return emitMovqXR(at, x, rAX);
}

// xmm1 := the receiver (a SmallDouble, or with boxedReceiver a Double), xmm0 := the argument: a SmallDouble, a Double or a
// SmallInteger; r11 := smallDoubleBias. *fails gets the 32-bit jump taken for an immediate C
// fails for (a Character), *other the one for any other object (a Float, which C answers
// for, among them).
static uint8_t* smallDoubleOperands(uint8_t* at, uint8_t** fails, uint8_t** other, bool boxedReceiver) {
  at = emitMovRI64(at, rR11, smallDoubleBias);
  if (boxedReceiver) {  // a Double: its body word
    at = emitMovRM(at, rAX, rBX, 0);
    at = emitMovsdXM(at, 1, rAX, 0);
  } else {
    at = emitMovRR(at, rAX, rBX);
    at = emitShiftRI(at, shiftShr, rAX, 3);
    at = decodeShiftedSmallDouble(at, 1);
  }
  // A SmallDouble argument, the common case: its tag taken off leaves the low three bits
  // clear and the stored bits in place, so the test and the decoding share one lea; it jumps
  // over the other kinds into its decoding, which falls into the operation.
  at = emitLeaRM(at, rAX, rR12, -(int32_t)oopTagSmallDouble);
  at = emitTestR8I8(at, rAX, 7);
  at = emitJccRel8(at, ccE, 0);
  uint8_t* smallDouble = at;
  at = emitMovRR(at, rAX, rR12);
  at = emitAluRI8(at, aluAnd, rAX, 7);
  at = emitCmpRI(at, rAX, oopTagSmallInteger);
  at = emitJccRel8(at, ccE, 0);
  uint8_t* smallInteger = at;
  at = emitAluRI8(at, aluAnd, rAX, 7);  // sets ZF again: 0 for an object
  at = emitJccRel32(at, ccNE, 0);  // both give-up jumps are long: the operation lies between
  *fails = at;
  at = cgenLoadHeaderClassTag(at, rAX, rR12);
  at = emitCmpRI(at, rAX, classIndexDouble);
  at = emitJccRel32(at, ccNE, 0);
  *other = at;
  at = emitMovRM(at, rAX, rR12, 0);
  at = emitMovsdXM(at, 0, rAX, 0);
  at = emitJmpRel8(at, 0);
  uint8_t* done1 = at;
  txFixShortList(&smallInteger, 1, at);
  at = emitMovRR(at, rAX, rR12);
  at = emitShiftRI(at, shiftSar, rAX, 3);
  at = emitCvtsi2sdXR(at, 0, rAX);  // cvtsi2sd xmm0, rax
  at = emitJmpRel8(at, 0);
  uint8_t* done2 = at;
  txFixShortList(&smallDouble, 1, at);
  at = emitShiftRI(at, shiftShr, rAX, 3);
  at = decodeShiftedSmallDouble(at, 0);
  uint8_t* done[2] = {done1, done2};
  txFixShortList(done, 2, at);
  return at;
}

// The end of a floating-point member: where C fails (the 32-bit jump fails, and the short
// jumps in more) the shortcut is taken with inlineFailure; other objects (the 32-bit jump
// other) and the short jumps in toC always call C.
static uint8_t* floatTail(uint8_t* at, const TranslatedPrimRecord* r, int inlineFailure, uint8_t* fails, uint8_t** more,
                          int nMore, uint8_t* other, uint8_t** toC, int nToC) {
  uint8_t* over = nullptr;
  cgenPatchRel32(fails, at);
  txFixShortList(more, nMore, at);
  if (inlineFailure) {
    at = emitMovRI32(at, rR15, 0);
    at = emitJmpRel8(at, 0);
    over = at;
  }
  cgenPatchRel32(other, at);
  txFixShortList(toC, nToC, at);
  at = txUseCPrim(r, at, 0);
  if (over != nullptr) txFixShortList(&over, 1, at);
  return at;
}

// 823-828 (SmallDouble receiver), 563-568 (Double): the receiver against the argument, NaNs
// unordered.
static uint8_t* genSmallDoubleCompare(uint8_t* at, const TranslatedPrimRecord* r, int inlineFailure) {
  // Argument against receiver: the conditions are the mirror images.
  static const uint8_t conditions[6] = {ccA, ccB, ccAE, ccBE, ccE, ccNE};  // <, >, <=, >=, =, ~=
  if (!enableTFP) return txUseCPrim(r, at, 0);
  bool boxed = r->number < 800;
  uint8_t *fails, *other;
  at = smallDoubleOperands(at, &fails, &other, boxed);
  at = emitUcomisd(at, 0, 1);
  at = tFJumpCond(conditions[r->number - (boxed ? 563 : 823)], at);
  at = txMakeBoolean(at);
  return floatTail(at, r, inlineFailure, fails, nullptr, 0, other, nullptr, 0);
}

// rbx := the SmallDouble for the double in rax, or a jump (answered) to give up when it has
// no immediate form: rotate the sign to bit 0, re-bias; zeros of either sign are 5 and 13.
static uint8_t* encodeSmallDouble(uint8_t* at, uint8_t** noForm) {
  at = emitShift1R(at, rotateRol, rAX);
  at = emitMovRR(at, rR15, rAX);
  at = emitMovRI64(at, rR11, 0x7000000000000002ull);
  at = emitAluRR(at, aluRRSub, rAX, rR11);
  at = emitMovRI64(at, rR11, 0x1FFFFFFFFFFFFFFEull);
  at = emitCmpRR(at, rAX, rR11);
  at = emitJccRel8(at, ccB, 0);
  uint8_t* inRange = at;
  at = emitCmpRI(at, rR15, 1);
  at = emitJccRel8(at, ccA, 0);
  *noForm = at;
  at = emitLeaRM(at, rAX, rR15, -2);  // a zero: the same two steps land on 5 or 13
  txFixShortList(&inRange, 1, at);
  at = emitShiftRI(at, shiftShl, rAX, 3);
  return emitLeaRM(at, rBX, rAX, 0x15);
}

// Answers a new box holding xmm x (a Double, or a Float in its low half) with ret. Without
// IEEEInfNaN an infinity or a NaN fails as in C; an eden without room leaves it to C.
static uint8_t* boxResult(uint8_t* at, bool isDouble, int x, Exits& e) {
  if (!IEEEInfNaN) {  // the exponent all ones
    if (isDouble) {
      at = emitMovqRX(at, rAX, x);  // movq rax, x
      at = emitShiftRI(at, shiftShr, rAX, 52);
      at = emitAndEAXI32(at, 0x7FF);
      at = emitCmpRI(at, rAX, 0x7FF);
    } else {
      at = emitMovdR32X(at, rAX, x);  // movd eax, x
      at = emitAndEAXI32(at, 0x7F800000);
      at = emitCmpRI(at, rAX, 0x7F800000);
    }
    at = emitJccRel32(at, ccE, 0);
    addJump(e.fails32, at);
  }
  uint8_t* slow;
  at = tAllocFloat(at, isDouble, rBX, &slow);
  addJump(e.toC32, slow);
  at = isDouble ? emitMovqRX(at, rAX, x) : emitMovdR32X(at, rAX, x);  // the whole word: a Float's upper half is 0
  at = emitMovMR(at, rR14, 0, rAX);
  return emitRet(at);
}

// The double in xmm1 answered as a SmallDouble, r11 holding smallDoubleBias; noForm collects
// the jump taken when it has no such form. The encoding of encodeSmallDouble with the bias
// already in place and the range's bound in r9.
static uint8_t* answerSmallDoubleOfXmm1(uint8_t* at, uint8_t** noForm) {
  at = emitMovqRX(at, rAX, 1);  // movq rax, xmm1
  at = emitShift1R(at, rotateRol, rAX);
  at = emitAluRR(at, aluRRSub, rAX, rR11);
  at = emitMovRI64(at, rR9, 0x1FFFFFFFFFFFFFFEull);
  at = emitCmpRR(at, rAX, rR9);
  at = emitJccRel8(at, ccAE, 0);
  uint8_t* outside = at;
  at = emitLeaScaled8(at, rBX, rAX, 0x15);
  at = emitRet(at);
  txFixShortList(&outside, 1, at);
  at = emitAluRR(at, aluRRAdd, rAX, rR11);  // the rotated bits again: a zero of either sign is 0 or 1
  at = emitCmpRI(at, rAX, 1);
  at = emitJccRel8(at, ccA, 0);
  *noForm = at;
  at = emitLeaScaled8(at, rBX, rAX, oopTagSmallDouble);
  return emitRet(at);
}

// Where xmm1 has no SmallDouble form: a new Double holding it, then the member's exits.
static uint8_t* boxXmm1Tail(uint8_t* at, const TranslatedPrimRecord* r, int inlineFailure, uint8_t* noForm, Exits& e) {
  txFixShortList(&noForm, 1, at);
  at = boxResult(at, true, 1, e);
  return exitsTail(at, r, inlineFailure, e);
}

// 821 +, 822 -, 829 *, 830 / (SmallDouble receiver) and 561, 562, 569, 570 (Double): answers
// a SmallDouble where the result has one. Otherwise a SmallDouble member fails in C and a
// Double member answers a new Double.
static uint8_t* genSmallDoubleArith(uint8_t* at, const TranslatedPrimRecord* r, int inlineFailure) {
  if (!enableTFP) return txUseCPrim(r, at, 0);
  int k = r->number % 10;  // 1 +, 2 -, 9 *, 0 /
  SseOp opcode = k == 1 ? sseAdd : k == 2 ? sseSub : k == 9 ? sseMul : sseDiv;
  bool boxed = r->number < 800;
  uint8_t *fails, *noForm, *other;
  at = smallDoubleOperands(at, &fails, &other, boxed);
  at = emitSdXX(at, opcode, 1, 0);  // xmm1 op= xmm0
  at = answerSmallDoubleOfXmm1(at, &noForm);
  if (!boxed) return floatTail(at, r, inlineFailure, fails, &noForm, 1, other, nullptr, 0);
  Exits e;
  e.fails32[0] = fails;
  e.toC32[0] = other;
  return boxXmm1Tail(at, r, inlineFailure, noForm, e);
}

// 582: the square root of a Double, a SmallDouble where it has one form, else a new Double.
static uint8_t* genDoubleSqrt(uint8_t* at, const TranslatedPrimRecord* r, int inlineFailure) {
  if (!enableTFP) return txUseCPrim(r, at, 0);
  at = emitMovRI64(at, rR11, smallDoubleBias);
  at = emitMovRM(at, rAX, rBX, 0);
  at = emitMovsdXM(at, 1, rAX, 0);
  at = emitSdXX(at, sseSqrt, 1, 1);   // sqrtsd xmm1, xmm1
  uint8_t* noForm;
  at = answerSmallDoubleOfXmm1(at, &noForm);
  Exits e;
  return boxXmm1Tail(at, r, inlineFailure, noForm, e);
}

// xmm1 := the receiver (a Float), xmm0 := the argument: a Float or a SmallInteger rounded to
// binary32. Anything else fails in C: the 32-bit jumps go to e.fails32.
static uint8_t* floatOperands(uint8_t* at, Exits& e) {
  at = emitMovRM(at, rAX, rBX, 0);
  at = emitMovssXM(at, 1, rAX, 0);
  at = emitMovRR(at, rAX, rR12);
  at = emitTestR8I8(at, rAX, 7);
  at = emitJccRel8(at, ccNE, 0);
  uint8_t* immediate = at;
  at = cgenLoadHeaderClassTag(at, rAX, rR12);
  at = emitCmpRI(at, rAX, classIndexFloat);
  at = emitJccRel32(at, ccNE, 0);
  addJump(e.fails32, at);
  at = emitMovRM(at, rAX, rR12, 0);
  at = emitMovssXM(at, 0, rAX, 0);
  at = emitJmpRel8(at, 0);
  uint8_t* done = at;
  txFixShortList(&immediate, 1, at);
  at = emitMovRR(at, rAX, rR12);
  at = emitAluRI8(at, aluAnd, rAX, 7);
  at = emitCmpRI(at, rAX, oopTagSmallInteger);
  at = emitJccRel32(at, ccNE, 0);
  addJump(e.fails32, at);
  at = emitMovRR(at, rAX, rR12);
  at = emitShiftRI(at, shiftSar, rAX, 3);
  at = emitCvtsi2ssXR(at, 0, rAX);  // cvtsi2ss xmm0, rax
  txFixShortList(&done, 1, at);
  return at;
}

// 41 +, 42 -, 49 *, 50 /: a new Float.
static uint8_t* genFloatArith(uint8_t* at, const TranslatedPrimRecord* r, int inlineFailure) {
  if (!enableTFP) return txUseCPrim(r, at, 0);
  SseOp opcode = r->number == 41 ? sseAdd : r->number == 42 ? sseSub : r->number == 49 ? sseMul : sseDiv;
  Exits e;
  at = floatOperands(at, e);
  at = emitSsXX(at, opcode, 1, 0);  // xmm1 op= xmm0
  at = boxResult(at, false, 1, e);
  return exitsTail(at, r, inlineFailure, e);
}

// 43-48: the receiver against the argument, NaNs unordered.
static uint8_t* genFloatCompare(uint8_t* at, const TranslatedPrimRecord* r, int inlineFailure) {
  static const uint8_t conditions[6] = {ccA, ccB, ccAE, ccBE, ccE, ccNE};  // mirrored: argument against receiver
  if (!enableTFP) return txUseCPrim(r, at, 0);
  Exits e;
  at = floatOperands(at, e);
  at = emitUcomiss(at, 0, 1);
  at = tFJumpCond(conditions[r->number - 43], at);
  at = txMakeBoolean(at);
  return exitsTail(at, r, inlineFailure, e);
}

// 40: a SmallInteger as a new Float.
static uint8_t* genAsFloat(uint8_t* at, const TranslatedPrimRecord* r, int inlineFailure) {
  if (!enableTFP) return txUseCPrim(r, at, 0);
  at = emitMovRR(at, rAX, rBX);
  at = emitShiftRI(at, shiftSar, rAX, 3);
  at = emitCvtsi2ssXR(at, 1, rAX);  // cvtsi2ss xmm1, rax
  Exits e;
  at = boxResult(at, false, 1, e);
  return exitsTail(at, r, inlineFailure, e);
}

// 603: the square root of a Float, a new Float.
static uint8_t* genFloatSqrt(uint8_t* at, const TranslatedPrimRecord* r, int inlineFailure) {
  if (!enableTFP) return txUseCPrim(r, at, 0);
  at = emitMovRM(at, rAX, rBX, 0);
  at = emitMovssXM(at, 1, rAX, 0);
  at = emitSsXX(at, sseSqrt, 1, 1);  // sqrtss xmm1, xmm1
  Exits e;
  at = boxResult(at, false, 1, e);
  return exitsTail(at, r, inlineFailure, e);
}

// ---- perform --------------------------------------------------------------------------------

// One probe of the method cache at the scaled index in r9: rax := the entry; a hit leaves the
// nmethod in r8 and takes the jump answered in *hit; a miss falls through (its jumps in
// miss[0..1]).
static uint8_t* cacheProbe(uint8_t* at, uint8_t** miss, uint8_t** hit) {
  uint64_t cache = (uint64_t)(uintptr_t)mCache;
  if (cache < 256) {
    at = emitXorR32(at, rAX);
    at = emitMovR8I8(at, rAX, (uint8_t)cache);
  } else {
    at = cache <= 0x7FFFFFFFu ? emitMovR32I32(at, rAX, (uint32_t)cache) : emitMovRI64(at, rAX, cache);
  }
  at = emitAluRR(at, aluRRAdd, rAX, rR9);
  at = emitCmpRM(at, rR15, rAX, 0);   // the entry's class index
  at = emitJccRel8(at, ccNE, 0);
  miss[0] = at;
  at = emitMovRM(at, rR8, rAX, 8);    // its nmethod
  at = emitCmpRM(at, rR12, rR8, offsetof(NMethodHeader, selector));
  at = emitJccRel8(at, ccE, 0);
  *hit = at;
  miss[1] = nullptr;
  return at;
}

// 511 perform: (the selector in r12) and 512 perform:with: (the argument in r13): a method
// cache hit for the selector and the receiver's class whose nmethod takes 0 (511) or 1 (512)
// arguments is entered at its unchecked entry, the sender's return address still on top, so
// that it answers the sender. Every other case goes to C, whose lookup may move this
// nmethod: the call carries the return mark.
static uint8_t* genPerform(uint8_t* at, const TranslatedPrimRecord* r, int) {
  const int want = r->number == 511 ? 0 : 1;
  uint8_t* toC32[2];
  uint8_t *miss[4], *hit[2];
  at = emitBtRI(at, rR12, 0);
  at = emitJccRel32(at, ccB, 0);  // an immediate selector
  toC32[0] = at;
  at = cgenLoadClassTag(at, rR15);
  at = emitMovRM(at, rR9, rR12, 8);
  at = emitShiftRI(at, shiftShr, rR9, 42);  // the selector's identity hash (and flags above it)
  at = emitAluRR(at, aluRRAdd, rR9, rR15);
  at = emitAluRI32(at, aluAnd, rR9, mCacheMask);
  at = emitShiftRI(at, shiftShl, rR9, 4);   // 16 bytes an entry
  at = cacheProbe(at, miss, &hit[0]);
  txFixShortList(miss, 2, at);
  at = emitAluRI32(at, aluAdd, rR9, mCacheSecondProbe * 16);
  at = emitAluRI32(at, aluAnd, rR9, mCacheMask * 16 + 15);
  at = cacheProbe(at, miss + 2, &hit[1]);
  at = emitJmpRel32(at, at + 5);  // both probes missed
  toC32[1] = at;
  txFixShortList(hit, 2, at);
  at = emitMovzxBR32M(at, rAX, rR8, offsetof(NMethodHeader, numArgs));  // the nmethod's argument count
  at = emitCmpRI(at, rAX, want);
  at = emitJccRel8(at, ccNE, 0);
  uint8_t* wrongCount = at;
  if (want == 1) at = emitMovRR(at, rR12, rR13);
  at = emitAluRI8(at, aluAdd, rR8, (int8_t)nMethodEntryNoCheck);
  at = emitJmpR(at, rR8);
  for (uint8_t* j : toC32) cgenPatchRel32(j, at);
  txFixShortList(miss + 2, 2, at);
  txFixShortList(&wrongCount, 1, at);
  return txUseCPrim(r, at, 1);
}

// ---- block value ----------------------------------------------------------------------------

// 501-503 value, value:, value:value:: the block's method (its first slot) is looked up in the
// block table of this argument count as blockVToNMethod looks it up (the method's identity
// hash picks the bucket; unlinked nmethods are passed over), and a find is entered at its
// block entry with the sender's return address still on top and the arguments where a send
// leaves them, so that the block answers the sender. Every other case (no such nmethod yet,
// another argument count, a receiver that is no block) goes to C, which translates or fails
// and may move this nmethod: the call carries the return mark.
static uint8_t* genBlockValue(uint8_t* at, const TranslatedPrimRecord* r, int) {
  const VToNTable& table = allVToNTables[txArgCount(r)];
  uint8_t* toC[5];
  at = emitTestR8I8(at, rBX, 1);  // an immediate receiver
  at = emitJccRel8(at, ccNE, 0);
  toC[0] = at;
  at = emitMovRM(at, rR9, rBX, 8);  // the header: pointers (sign bit) and at least one slot
  at = emitTestRR(at, rR9, rR9);
  at = emitJccRel8(at, ccNS, 0);
  toC[1] = at;
  at = emitCmpM8I8(at, rBX, 8 + 3, 0);  // the header's size field: no slots
  at = emitJccRel8(at, ccE, 0);
  toC[2] = at;
  at = emitMovRM(at, rAX, rBX, 0);
  at = emitMovRM(at, rR15, rAX, 0);  // the block's method
  at = emitBtRI(at, rR15, 0);
  at = emitJccRel8(at, ccB, 0);
  toC[3] = at;
  at = emitMovRM(at, rR9, rR15, 8);
  at = emitShiftRI(at, shiftShr, rR9, 42);  // its identity hash
  at = table.mask < 128 ? emitAluRI8(at, aluAnd, rR9, (int8_t)table.mask) : emitAluRI32(at, aluAnd, rR9, (int32_t)table.mask);
  const uint64_t buckets = (uint64_t)(uintptr_t)table.buckets;
  at = buckets <= 0x7FFFFFFFu ? emitMovR32I32(at, rAX, (uint32_t)buckets) : emitMovRI64(at, rAX, buckets);
  at = emitMovRMIdx8(at, rAX, rAX, rR9);  // the chain's head
  uint8_t* chain = at;
  at = emitTestRR(at, rAX, rAX);
  at = emitJccRel8(at, ccE, 0);
  toC[4] = at;
  at = emitCmpRM(at, rR15, rAX, offsetof(NMethodHeader, vmethod));
  at = emitJccRel8(at, ccNE, 0);
  uint8_t* other[2] = {at, nullptr};
  at = emitTestM8I8(at, rAX, offsetof(NMethodHeader, flags), nmFlagUnlinked);
  at = emitJccRel8(at, ccNE, 0);
  other[1] = at;
  at = emitAluRI8(at, aluAdd, rAX, (int8_t)nMethodBlockEntry);
  at = emitJmpR(at, rAX);
  txFixShortList(other, 2, at);
  at = emitMovRM(at, rAX, rAX, offsetof(NMethodHeader, link));
  at = emitJmpRel8(at, (int8_t)(chain - (at + 2)));
  txFixShortList(toC, 5, at);
  return txUseCPrim(r, at, 1);
}

// ---- instance creation ----------------------------------------------------------------------
// New objects lie in eden: storing into them needs no store check.

// 18: a Point of the receiver and the argument.
static uint8_t* genMakePair(uint8_t* at, const TranslatedPrimRecord* r, int inlineFailure) {
  oop cls = sysOop(sysPointClass);
  uint64_t tag = isImmediate(cls) ? 0 : hashOf(headerOf(cls));  // a class's hash is its index
  if (tag == 0) return txUseCPrim(r, at, 0);
  Exits e;
  uint8_t* slow;
  at = allocInline(at, -1, 16, -1, hasPtrsBit | (uint64_t(2) << 34) | (uint64_t(2) << 24) | tag, rR15, &slow);
  addJump(e.toC32, slow);
  at = emitMovMR(at, rR14, 0, rBX);
  at = emitMovMR(at, rR14, 8, rR12);
  at = emitMovRR(at, rBX, rR15);
  at = emitRet(at);
  return exitsTail(at, r, inlineFailure, e);
}

static uint8_t* orRR(uint8_t* at, int d, int s) { return emitAluRR(at, aluRROr, d, s); }
// r15 |= (r << shift) through rax.
static uint8_t* orShifted(uint8_t* at, int r, uint8_t shift) {
  at = emitMovRR(at, rAX, r);
  at = emitShiftRI(at, shiftShl, rAX, shift);
  return orRR(at, rR15, rAX);
}

// The receiver class's tagged format word into r9, and its index (identity hash) into r15;
// a class without an index yet goes to C (which gives it one). The format's bits under mask
// must equal want, else C decides.
static uint8_t* classAndFormat(uint8_t* at, uint32_t mask, uint32_t want, Exits& e) {
  at = emitMovRM(at, rR9, rBX, 0);
  at = emitMovRM(at, rR9, rR9, 8 * classFormatSlot);
  at = emitMovRR(at, rAX, rR9);
  at = emitAndEAXI32(at, mask);
  at = emitCmpRI(at, rAX, (int32_t)want);
  at = emitJccRel32(at, ccNE, 0);
  addJump(e.toC32, at);
  at = emitMovRM(at, rR15, rBX, 8);
  at = emitShiftRI(at, shiftShr, rR15, 42);
  at = emitAluR32I32(at, aluAnd, rR15, identityHashMax);  // the hash field alone
  at = emitJccRel32(at, ccE, 0);
  addJump(e.toC32, at);
  return at;
}

// The end of 70 and 71 for pointer instances: r15 (the header word but hasPtrs) marked as
// holding pointers, a body of r9 bytes allocated into rbx (no room: e.toC32) and filled with nil.
static uint8_t* pointerInstanceTail(uint8_t* at, Exits& e) {
  at = emitMovRI64(at, rAX, hasPtrsBit);
  at = orRR(at, rR15, rAX);
  uint8_t* slow;
  at = allocInline(at, rR9, 0, rR15, 0, rBX, &slow);
  addJump(e.toC32, slow);
  at = loadNil(at, rR15);
  at = fillLoop(at, rR15);
  return emitRet(at);
}

// 70: an instance of a class with named slots only (pointers, neither weak nor ephemeron),
// its slots nil. Bodies above 251 words are left to C.
static uint8_t* genNew(uint8_t* at, const TranslatedPrimRecord* r, int inlineFailure) {
  Exits e;
  at = classAndFormat(at, 0xE8000, 0x20000, e);
  at = emitAluRI32(at, aluAnd, rR9, 0x7FF8);  // named slots x 8: the body's bytes
  at = emitCmpRI(at, rR9, 2008);
  at = emitJccRel32(at, ccA, 0);
  addJump(e.toC32, at);
  at = orShifted(at, rR9, 21);  // the size field (words << 24)
  at = orShifted(at, rR9, 31);  // the named count (<< 34)
  at = pointerInstanceTail(at, e);
  return exitsTail(at, r, inlineFailure, e);
}

// 71: an instance of an indexable class (neither weak nor ephemeron) with the SmallInteger
// in r12 as its indexed size: pointers filled with nil, bytes with 0. A size that is not a
// SmallInteger of 0 or more fails as in C; bodies above 251 words are left to C.
static uint8_t* genNewWithArg(uint8_t* at, const TranslatedPrimRecord* r, int inlineFailure) {
  Exits e;
  at = classAndFormat(at, 0xC8000, 0x8000, e);
  at = emitBtRI(at, rR12, 1);
  at = emitJccRel32(at, ccAE, 0);
  addJump(e.fails32, at);
  at = emitTestRR(at, rR12, rR12);
  at = emitJccRel32(at, ccS, 0);
  addJump(e.fails32, at);
  at = emitBtRI(at, rR9, 17);  // pointers
  at = emitJccRel32(at, ccAE, 0);
  uint8_t* bytes = at;
  at = emitAluRI32(at, aluAnd, rR9, 0x7FF8);  // named x 8
  at = orShifted(at, rR9, 31);                // the named count (<< 34)
  at = emitMovRR(at, rAX, rR12);
  at = emitAluRI8(at, aluSub, rAX, 3);        // the size x 8
  at = emitAluRR(at, aluRRAdd, rR9, rAX);             // body bytes
  at = emitJccRel32(at, ccB, 0);
  addJump(e.toC32, at);
  at = emitCmpRI(at, rR9, 2008);
  at = emitJccRel32(at, ccA, 0);
  addJump(e.toC32, at);
  at = orShifted(at, rR9, 21);                // the size field
  at = pointerInstanceTail(at, e);
  cgenPatchRel32(bytes, at);
  at = emitCmpRI(at, rR12, 2001 * 8 + 3);
  at = emitJccRel32(at, ccA, 0);
  addJump(e.toC32, at);
  at = emitMovRR(at, rAX, rR12);
  at = emitShiftRI(at, shiftShr, rAX, 3);     // the size in bytes
  at = emitLeaRM(at, rR9, rAX, 7);
  at = emitAluRI8(at, aluAnd, rR9, -8);       // rounded to words
  at = emitNegR(at, rAX);
  at = emitAluRR(at, aluRRAdd, rAX, rR9);             // the unused bytes of the last word
  at = emitShiftRI(at, shiftShl, rAX, 34);
  at = orRR(at, rR15, rAX);
  at = orShifted(at, rR9, 21);                // the size field
  uint8_t* slow;
  at = allocInline(at, rR9, 0, rR15, 0, rBX, &slow);
  addJump(e.toC32, slow);
  at = emitXorRR(at, rR15, rR15);
  at = fillLoop(at, rR15);
  at = emitRet(at);
  return exitsTail(at, r, inlineFailure, e);
}

// 842: the square root of the receiver, a SmallDouble.
static uint8_t* genSmallDoubleSqrt(uint8_t* at, const TranslatedPrimRecord* r, int inlineFailure) {
  if (!enableTFP) return txUseCPrim(r, at, 0);
  at = emitMovRR(at, rAX, rBX);
  at = decodeSmallDouble(at, 0);
  at = emitSdXX(at, sseSqrt, 0, 0);   // sqrtsd xmm0, xmm0
  at = emitMovqRX(at, rAX, 0);  // movq rax, xmm0
  uint8_t* noForm;
  at = encodeSmallDouble(at, &noForm);
  at = emitRet(at);
  txFixShortList(&noForm, 1, at);
  return giveUp(at, r, inlineFailure);
}

// 589: a SmallInteger as a SmallDouble. Every SmallInteger but 0 converts to a double whose
// exponent lies well inside the immediate range, so only 0 needs its own answer.
static uint8_t* genAsSmallDouble(uint8_t* at, const TranslatedPrimRecord* r, int) {
  if (!enableTFP) return txUseCPrim(r, at, 0);
  at = emitMovRR(at, rAX, rBX);
  at = emitShiftRI(at, shiftSar, rAX, 3);
  at = emitCvtsi2sdXR(at, 0, rAX);  // cvtsi2sd xmm0, rax
  at = emitCmpRI(at, rBX, 3);
  at = emitJccRel8(at, ccE, 0);
  uint8_t* zero = at;
  at = emitMovqRX(at, rAX, 0);  // movq rax, xmm0
  at = emitShift1R(at, rotateRol, rAX);
  at = emitMovRI64(at, rR11, 0x7000000000000000ull);
  at = emitAluRR(at, aluRRSub, rAX, rR11);
  at = emitLeaScaled8(at, rBX, rAX, oopTagSmallDouble);
  at = emitRet(at);
  txFixShortList(&zero, 1, at);
  at = emitXorR32(at, rBX);
  at = emitMovR8I8(at, rBX, oopTagSmallDouble);
  return emitRet(at);
}

// ---- subscript members ----------------------------------------------------------------------

const uint8_t* txClassFormatStub;

// "get self class format": r11 := the receiver's class's format word (a SmallInteger); rax
// is clobbered.
static uint8_t* genClassFormatStub(uint8_t* at) {
  at = emitPushR(at, rR9);
  at = cgenLoadClassTag(at, rR9);
  at = emitMovRR(at, rAX, rR9);
  at = emitShiftRI(at, shiftShr, rAX, 10);
  at = emitMovRI64(at, rR11, (uint64_t)(uintptr_t)classTable);
  at = emitMovRMIdx8(at, rR11, rR11, rAX);          // the page's body
  at = emitAluRI32(at, aluAnd, rR9, 1023);
  at = emitMovRMIdx8(at, rR11, rR11, rR9);          // the class
  at = emitMovRM(at, rR11, rR11, 0);
  at = emitMovRM(at, rR11, rR11, 8 * classFormatSlot);
  at = emitPopR(at, rR9);
  return emitRet(at);
}

void txMakeClassFormatStub() { txClassFormatStub = tGenerate(genClassFormatStub, "get self class format"); }

// rax := the receiver's body bytes: the header's size field, or for larger bodies the size word
// before the body (its low bits cleared). The header comes from header (a register holding it)
// or, when that is rBX, from the receiver. With immutableFails, an immutable receiver takes
// that long jump: the mask keeps the immutable bit (32) as 2048, past every size.
static uint8_t* bodyBytes(uint8_t* at, int header, uint8_t** immutableFails = nullptr) {
  at = header == rBX ? emitMovRM(at, rAX, rBX, 8) : emitMovRR(at, rAX, header);
  at = emitShiftRI(at, shiftShr, rAX, 21);
  at = emitAndEAXI32(at, immutableFails != nullptr ? 4088 : 2040);  // the size field x 8
  at = emitCmpRI(at, rAX, 2008);
  at = emitJccRel8(at, ccBE, 0);
  uint8_t* inHeader = at;
  if (immutableFails != nullptr) {
    at = emitCmpRI(at, rAX, 2040);
    at = emitJccRel32(at, ccA, 0);
    addJump(immutableFails, at);
  }
  at = emitMovRM(at, rAX, rBX, 0);
  at = emitMovRM(at, rAX, rAX, -8);
  at = emitAluRI8(at, aluAnd, rAX, -8);
  txFixShortList(&inHeader, 1, at);
  return at;
}

// Pointer receivers, rax their body words and r11 the header's named count: when that reads
// 255 the class's format holds the count, read through "get self class format" (which
// clobbers rax, so the body words are read again). Before start-up made the stub such
// receivers go to C: *toC is then that long jump, else null.
static uint8_t* namedCountOfPointers(uint8_t* at, uint8_t** toC) {
  at = emitCmpRI(at, rR11, indexabilityAskClass);
  if (txClassFormatStub == nullptr) {
    at = emitJccRel32(at, ccE, 0);
    *toC = at;
    return at;
  }
  *toC = nullptr;
  at = emitJccRel8(at, ccNE, 0);
  uint8_t* inHeader = at;
  at = tCallRecorded(at, txClassFormatStub);
  at = emitShiftRI(at, shiftShr, rR11, 3);
  at = emitAluRI32(at, aluAnd, rR11, (int32_t)formatNamedMask);
  at = bodyBytes(at, rBX);
  at = emitShiftRI(at, shiftShr, rAX, 3);
  txFixShortList(&inHeader, 1, at);
  return at;
}

// The byte path of the subscript readers: rax body words, r11 the indexability byte, r9 the
// 0-based index. Ends every member: the long jumps in fails (nFails) take the shortcut with
// inlineFailure, the long jump toC (when not null) calls C.
static uint8_t* genByteAt(uint8_t* at, const TranslatedPrimRecord* r, int inlineFailure, uint8_t** fails, int nFails,
                          uint8_t* toC) {
  const bool units = r->number == 412 || r->number == 423;  // two-byte elements
  at = emitShiftRI(at, shiftShl, rAX, 3);
  at = emitAluRI8(at, aluAnd, rR11, 7);       // unused bytes of the last word
  at = emitAluRR(at, aluRRSub, rAX, rR11);
  if (units) at = emitShiftRI(at, shiftShr, rAX, 1);
  at = emitCmpRR(at, rR9, rAX);
  at = emitJccRel8(at, ccAE, 0);
  uint8_t* byteRange = at;
  at = emitMovRM(at, rR11, rBX, 0);
  at = units ? emitMovzxWR32MIdx(at, rAX, rR11, rR9, 2) : emitMovzxBR32MIdx(at, rAX, rR11, rR9, 1);
  at = emitLeaTagInt(at, rBX, rAX);
  if (r->number == 63 || r->number == 412) at[-4] = oopTagCharacter;  // the displacement: a Character's tag
  at = emitRet(at);
  uint8_t* over = nullptr;
  for (int i = 0; i < nFails; i++) cgenPatchRel32(fails[i], at);
  txFixShortList(&byteRange, 1, at);
  if (inlineFailure) {
    at = emitMovRI32(at, rR15, 0);
    at = emitJmpRel8(at, 0);
    over = at;
  }
  if (toC != nullptr) cgenPatchRel32(toC, at);
  at = txUseCPrim(r, at, 0);
  if (over != nullptr) txFixShortList(&over, 1, at);
  return at;
}

// 60 (basic at:): a slot past the named ones of a pointer object, or a byte as a SmallInteger;
// 63 and 420: a byte of a byte object, as a Character or a SmallInteger; 412 and 423 a
// two-byte element of a byte object, likewise (pointer objects fail).
// Immediates, non-SmallInteger indices and indices out of range fail in C.
static uint8_t* genBasicAt(uint8_t* at, const TranslatedPrimRecord* r, int inlineFailure) {
  uint8_t* fails[4];
  at = emitTestR8I8(at, rBX, 7);
  at = emitJccRel32(at, ccNE, 0);  // the give-up jumps are long: the two paths lie between
  fails[0] = at;
  at = emitBtRI(at, rR12, 1);
  at = emitJccRel32(at, ccAE, 0);
  fails[1] = at;
  at = emitMovRM(at, rR15, rBX, 8);           // the header word
  at = emitMovRR(at, rAX, rR15);
  at = emitShiftRI(at, shiftShr, rAX, 24);
  at = emitAluRI32(at, aluAnd, rAX, 0xFF);    // body words
  at = emitCmpRI(at, rAX, 251);
  at = emitJccRel8(at, ccBE, 0);
  uint8_t* inHeader = at;
  at = emitMovRM(at, rAX, rBX, 0);            // larger bodies: the size word before the body
  at = emitMovRM(at, rAX, rAX, -8);
  at = emitShiftRI(at, shiftShr, rAX, 3);
  txFixShortList(&inHeader, 1, at);
  at = emitLeaRM(at, rR9, rR12, -11);
  at = emitShiftRI(at, shiftSar, rR9, 3);     // 0-based index
  at = emitShiftRI(at, shiftShr, rR15, 34);   // indexability, then the pointer bit
  at = emitMovRR(at, rR11, rR15);
  at = emitAluRI32(at, aluAnd, rR11, 0xFF);
  at = emitBtRI(at, rR15, 63 - 34);
  if (r->number != 60) {
    at = emitJccRel32(at, ccB, 0);  // a pointer object
    fails[2] = at;
    return genByteAt(at, r, inlineFailure, fails, 3, nullptr);
  }
  at = emitJccRel8(at, ccAE, 0);
  uint8_t* bytes = at;
  uint8_t* toC;
  at = namedCountOfPointers(at, &toC);
  at = emitAluRR(at, aluRRSub, rAX, rR11);            // indexed slots
  at = emitJccRel32(at, ccB, 0);              // fewer words than named slots: none
  fails[2] = at;
  at = emitCmpRR(at, rR9, rAX);
  at = emitJccRel32(at, ccAE, 0);             // out of range (below 1 included)
  fails[3] = at;
  at = emitAluRR(at, aluRRAdd, rR9, rR11);            // past the named slots
  at = emitMovRM(at, rR11, rBX, 0);
  at = emitMovRMIdx8(at, rBX, rR11, rR9);
  at = emitRet(at);
  txFixShortList(&bytes, 1, at);
  return genByteAt(at, r, inlineFailure, fails, 4, toC);
}

// ---- subscript stores and element reads -----------------------------------------------------
// 61, 64, 413, 421, 424 store, 540 and 544 read. None changes r12 or r13: every path that gives
// up leaves the send's operands as they came. Immutable receivers of stores fail, as in C
// whatever the index or value.

// r15 := the header word, rax := the body's bytes, r11 := the indexability byte. Immediates
// and (for stores) immutable receivers take e.fails32.
static uint8_t* receiverSize(uint8_t* at, bool store, Exits& e) {
  at = emitTestR8I8(at, rBX, 7);
  at = emitJccRel32(at, ccNE, 0);
  addJump(e.fails32, at);
  at = emitMovRM(at, rR15, rBX, 8);
  at = bodyBytes(at, rR15, store ? e.fails32 : nullptr);
  at = emitMovRR(at, rR11, rR15);
  at = emitShiftRI(at, shiftShr, rR11, 34);
  return emitAluRI32(at, aluAnd, rR11, 0xFF);
}

// 62 (basic size): a byte object's byte count, or a pointer object's slots past the named
// ones. Immediates fail; a pointer object without indexed slots answers 0 when its class is
// indexable and fails otherwise, as in C.
static uint8_t* genBasicSize(uint8_t* at, const TranslatedPrimRecord* r, int inlineFailure) {
  Exits e;
  at = receiverSize(at, false, e);
  at = emitBtRI(at, rR15, 63);
  at = emitJccRel8(at, ccB, 0);
  uint8_t* pointers = at;
  at = emitAluRI8(at, aluAnd, rR11, 7);       // unused bytes of the last word
  at = emitAluRR(at, aluRRSub, rAX, rR11);
  at = emitLeaTagInt(at, rBX, rAX);
  at = emitRet(at);
  txFixShortList(&pointers, 1, at);
  at = emitShiftRI(at, shiftShr, rAX, 3);     // body words
  uint8_t* toC;
  at = namedCountOfPointers(at, &toC);
  addJump(e.toC32, toC);
  at = emitAluRR(at, aluRRSub, rAX, rR11);
  if (txClassFormatStub == nullptr) {
    at = emitJccRel32(at, ccLE, 0);           // no indexed slots: the class decides, in C
    addJump(e.toC32, at);
    at = emitLeaTagInt(at, rBX, rAX);
    return exitsTail(emitRet(at), r, inlineFailure, e);
  }
  at = emitJccRel8(at, ccLE, 0);
  uint8_t* none = at;
  at = emitLeaTagInt(at, rBX, rAX);
  at = emitRet(at);
  txFixShortList(&none, 1, at);
  at = tCallRecorded(at, txClassFormatStub);
  at = emitBtRI(at, rR11, 3 + __builtin_ctzll(formatIndexable));  // the format is a SmallInteger
  at = emitJccRel32(at, ccAE, 0);
  addJump(e.fails32, at);
  at = emitMovRI32(at, rBX, (int32_t)smallIntegerFor(0));
  at = emitRet(at);
  return exitsTail(at, r, inlineFailure, e);
}

// r9 := the 0-based index from the SmallInteger in r12 (anything else takes e.fails32).
static uint8_t* zeroBasedIndex(uint8_t* at, Exits& e) {
  at = emitBtRI(at, rR12, 1);
  at = emitJccRel32(at, ccAE, 0);
  addJump(e.fails32, at);
  at = emitLeaRM(at, rR9, rR12, -11);           // (index - 1) x 8
  return emitShiftRI(at, shiftSar, rR9, 3);
}

// Jumps to e.fails32 unless (reg & ~mask) == tag: a SmallInteger or Character whose value
// lies in 0..mask >> 3. rax is clobbered.
static uint8_t* valueCheck(uint8_t* at, int reg, int32_t mask, int32_t tag, Exits& e) {
  at = emitMovRR(at, rAX, reg);
  at = emitAluRI32(at, aluAnd, rAX, ~mask);
  at = emitCmpRI(at, rAX, tag);
  at = emitJccRel32(at, ccNE, 0);
  addJump(e.fails32, at);
  return at;
}

// The byte or two-byte element at r9 of the body at r11 := al or ax.
static uint8_t* storeElementFromAX(uint8_t* at, bool units) {
  return units ? emitMovMIdxR16(at, rR11, rR9, 2, rAX) : emitMovMIdxR8(at, rR11, rR9, 1, rAX);
}

// The byte path of a store of the code in r13 at the 0-based position r9 of a byte object
// (rax its byte size): answers r13.
static uint8_t* storeByteOrUnit(uint8_t* at, bool units) {
  at = emitMovRM(at, rR11, rBX, 0);
  at = emitMovRR(at, rAX, rR13);
  at = emitShiftRI(at, shiftShr, rAX, 3);
  at = storeElementFromAX(at, units);
  at = emitMovRR(at, rBX, rR13);
  return emitRet(at);
}

// 61 (basic at:put:): the value in r13 into a slot past the named ones of a pointer object,
// then the store check (its work done by the run-time routine, as the store stubs do), or a
// byte (a SmallInteger 0-255) into a byte object. Answers the value.
static uint8_t* genBasicAtPut(uint8_t* at, const TranslatedPrimRecord* r, int inlineFailure) {
  Exits e;
  at = zeroBasedIndex(at, e);
  at = receiverSize(at, true, e);
  at = emitBtRI(at, rR15, 63);
  at = emitJccRel32(at, ccAE, 0);
  uint8_t* bytes = at;
  at = emitShiftRI(at, shiftShr, rAX, 3);        // body words
  uint8_t* toC;
  at = namedCountOfPointers(at, &toC);
  addJump(e.toC32, toC);
  at = emitAluRR(at, aluRRSub, rAX, rR11);               // indexed slots
  at = emitJccRel32(at, ccB, 0);                 // fewer words than named slots: none
  addJump(e.fails32, at);
  at = emitCmpRR(at, rR9, rAX);
  at = emitJccRel32(at, ccAE, 0);                // out of range (below 1 included)
  addJump(e.fails32, at);
  at = emitAluRR(at, aluRRAdd, rR9, rR11);               // past the named slots
  at = tStoreIndexed(at);
  cgenPatchRel32(bytes, at);
  at = emitAluRI8(at, aluAnd, rR11, 7);
  at = emitAluRR(at, aluRRSub, rAX, rR11);               // the byte size
  at = emitCmpRR(at, rR9, rAX);
  at = emitJccRel32(at, ccAE, 0);
  addJump(e.fails32, at);
  at = valueCheck(at, rR13, 0x7F8, oopTagSmallInteger, e);
  at = storeByteOrUnit(at, false);
  return exitsTail(at, r, inlineFailure, e);
}

// After receiverSize: a byte object's size in bytes into rax (its body's bytes less the odd
// count in the indexability byte's low three bits); pointer objects (r15's top bit) fail.
static uint8_t* byteObjectSize(uint8_t* at, Exits& e) {
  at = emitBtRI(at, rR15, 63);
  at = emitJccRel32(at, ccB, 0);
  addJump(e.fails32, at);
  at = emitAluRI8(at, aluAnd, rR11, 7);
  return emitAluRR(at, aluRRSub, rAX, rR11);
}

// 64 and 413 (a Character of code 0-255 or 0-65535), 421 and 424 (a SmallInteger of 0-255 or
// 0-65535): the value's code into a byte or a two-byte element of a byte object; answers
// the value. Pointer objects fail, as in C.
static uint8_t* genElementAtPut(uint8_t* at, const TranslatedPrimRecord* r, int inlineFailure) {
  const bool units = r->number == 413 || r->number == 424;
  const bool characters = r->number == 64 || r->number == 413;
  Exits e;
  at = zeroBasedIndex(at, e);
  at = receiverSize(at, true, e);
  at = byteObjectSize(at, e);
  if (units) at = emitShiftRI(at, shiftShr, rAX, 1);
  at = emitCmpRR(at, rR9, rAX);
  at = emitJccRel32(at, ccAE, 0);
  addJump(e.fails32, at);
  at = valueCheck(at, rR13, units ? 0x7FFF8 : 0x7F8, characters ? oopTagCharacter : oopTagSmallInteger, e);
  at = storeByteOrUnit(at, units);
  return exitsTail(at, r, inlineFailure, e);
}

// 540 and 544: the unsigned little-endian 16- or 32-bit value at 1-based byte index of a byte
// object, the whole element inside the byte size, as a SmallInteger.
static uint8_t* genElementAt(uint8_t* at, const TranslatedPrimRecord* r, int inlineFailure) {
  const int width = r->number == 540 ? 2 : 4;
  Exits e;
  at = zeroBasedIndex(at, e);
  at = receiverSize(at, false, e);
  at = byteObjectSize(at, e);
  at = emitCmpRR(at, rR9, rAX);
  at = emitJccRel32(at, ccAE, 0);                // below 1 or past the size
  addJump(e.fails32, at);
  at = emitAluRI8(at, aluSub, rAX, width);
  at = emitCmpRR(at, rR9, rAX);
  at = emitJccRel32(at, ccG, 0);                 // the element runs past the size
  addJump(e.fails32, at);
  at = emitMovRM(at, rR11, rBX, 0);
  at = width == 2 ? emitMovzxWR32MIdx(at, rAX, rR11, rR9, 1) : emitMovR32MIdx(at, rAX, rR11, rR9);
  at = emitLeaTagInt(at, rBX, rAX);
  at = emitRet(at);
  return exitsTail(at, r, inlineFailure, e);
}
