// Translator: the translated SmallInteger, SmallDouble, Double and Float primitives and their
// record table. Owns txArithPrims. Prefix: none (txArithPrims).
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

static uint8_t* genAddSub(uint8_t* at, const TranslatedPrimRecord* r, int inlineFailure);
static uint8_t* genCompare(uint8_t* at, const TranslatedPrimRecord* r, int inlineFailure);
static uint8_t* genMultiply(uint8_t* at, const TranslatedPrimRecord* r, int inlineFailure);
static uint8_t* genBitOp(uint8_t* at, const TranslatedPrimRecord* r, int inlineFailure);
static uint8_t* genShift(uint8_t* at, const TranslatedPrimRecord* r, int inlineFailure);
static uint8_t* genDivide(uint8_t* at, const TranslatedPrimRecord* r, int inlineFailure);
static uint8_t* genWordHash(uint8_t* at, const TranslatedPrimRecord* r, int inlineFailure);
static uint8_t* genSmallDoubleCompare(uint8_t* at, const TranslatedPrimRecord* r, int inlineFailure);
static uint8_t* genSmallDoubleArith(uint8_t* at, const TranslatedPrimRecord* r, int inlineFailure);
static uint8_t* genDoubleSqrt(uint8_t* at, const TranslatedPrimRecord* r, int inlineFailure);
static uint8_t* genFloatArith(uint8_t* at, const TranslatedPrimRecord* r, int inlineFailure);
static uint8_t* genFloatCompare(uint8_t* at, const TranslatedPrimRecord* r, int inlineFailure);
static uint8_t* genAsFloat(uint8_t* at, const TranslatedPrimRecord* r, int inlineFailure);
static uint8_t* genFloatSqrt(uint8_t* at, const TranslatedPrimRecord* r, int inlineFailure);
static uint8_t* genSmallDoubleSqrt(uint8_t* at, const TranslatedPrimRecord* r, int inlineFailure);
static uint8_t* genAsSmallDouble(uint8_t* at, const TranslatedPrimRecord* r, int inlineFailure);

TranslatedPrimRecord txArithPrims[54] = {
    txRecord(1, 1, 0, 1, genAddSub), txRecord(2, 1, 0, 1, genAddSub), txRecord(3, 1, 0, 1, genCompare),
    txRecord(4, 1, 0, 1, genCompare), txRecord(5, 1, 0, 1, genCompare),
    txRecord(6, 1, 0, 1, genCompare), txRecord(7, 1, 0, 1, genCompare),
    txRecord(8, 1, 0, 1, genCompare), txRecord(9, 1, 0, 1, genMultiply),
    txRecord(1747, 0, 0, 1, genWordHash), txRecord(10, 1, 0, 1, genDivide),
    txRecord(11, 1, 0, 1, genDivide), txRecord(12, 1, 0, 1, genDivide),
    txRecord(13, 1, 0, 1, genDivide), txRecord(14, 1, 0, 1, genBitOp), txRecord(15, 1, 0, 1, genBitOp),
    txRecord(16, 1, 0, 1, genBitOp), txRecord(17, 1, 0, 1, genShift), txRecord(40, 0, 2, 1, genAsFloat),
    txRecord(589, 0, 2, 1, genAsSmallDouble), txRecord(41, 1, 2, 0, genFloatArith),
    txRecord(42, 1, 2, 0, genFloatArith), txRecord(43, 1, 2, 0, genFloatCompare),
    txRecord(44, 1, 2, 0, genFloatCompare), txRecord(45, 1, 2, 0, genFloatCompare),
    txRecord(46, 1, 2, 0, genFloatCompare), txRecord(47, 1, 2, 0, genFloatCompare),
    txRecord(48, 1, 2, 0, genFloatCompare), txRecord(49, 1, 2, 0, genFloatArith),
    txRecord(50, 1, 2, 0, genFloatArith), txRecord(561, 1, 2, 0, genSmallDoubleArith),
    txRecord(562, 1, 2, 0, genSmallDoubleArith), txRecord(563, 1, 2, 0, genSmallDoubleCompare),
    txRecord(564, 1, 2, 0, genSmallDoubleCompare), txRecord(565, 1, 2, 0, genSmallDoubleCompare),
    txRecord(566, 1, 2, 0, genSmallDoubleCompare), txRecord(567, 1, 2, 0, genSmallDoubleCompare),
    txRecord(568, 1, 2, 0, genSmallDoubleCompare), txRecord(569, 1, 2, 0, genSmallDoubleArith),
    txRecord(570, 1, 2, 0, genSmallDoubleArith), txRecord(821, 1, 2, 0, genSmallDoubleArith),
    txRecord(822, 1, 2, 0, genSmallDoubleArith), txRecord(823, 1, 2, 0, genSmallDoubleCompare),
    txRecord(824, 1, 2, 0, genSmallDoubleCompare), txRecord(825, 1, 2, 0, genSmallDoubleCompare),
    txRecord(826, 1, 2, 0, genSmallDoubleCompare), txRecord(827, 1, 2, 0, genSmallDoubleCompare),
    txRecord(828, 1, 2, 0, genSmallDoubleCompare), txRecord(829, 1, 2, 0, genSmallDoubleArith),
    txRecord(830, 1, 2, 0, genSmallDoubleArith), txRecord(582, 0, 2, 0, genDoubleSqrt),
    txRecord(603, 0, 2, 0, genFloatSqrt), txRecord(842, 0, 2, 0, genSmallDoubleSqrt),
    {},
};

// ---- SmallInteger members -------------------------------------------------------------------
// Tagged SmallIntegers are v*8 + 3: 64-bit signed overflow of the scaled values is exactly
// leaving the SmallInteger range. Every path that gives up leaves rbx and r12 (and r13) as
// they came, so the fallback sees the send's operands.

static uint8_t* genAddSub(uint8_t* at, const TranslatedPrimRecord* r, int inlineFailure) {
  uint8_t* fail[2];
  at = txArgumentCheck(&fail[0], at);
  at = emitMovRR(at, rR15, rR12);
  at = emitAluRI8(at, aluSub, rR15, 3);  // untagged, still scaled
  at = emitMovRR(at, rR11, rBX);
  at = emitAluRR(at, r->number == 1 ? aluRRAdd : aluRRSub, rR11, rR15);
  at = emitJccRel8(at, ccO, 0);
  fail[1] = at;
  at = emitMovRR(at, rBX, rR11);
  at = emitRet(at);
  txFixShortList(fail, 2, at);
  return txGiveUp(at, r, inlineFailure);
}

static uint8_t* genCompare(uint8_t* at, const TranslatedPrimRecord* r, int inlineFailure) {
  static const uint8_t conditions[6] = {ccL, ccG, ccLE, ccGE, ccE, ccNE};  // 3..8
  uint8_t* fail;
  at = txArgumentCheck(&fail, at);
  at = emitCmpRR(at, rBX, rR12);
  at = emitJccRel8(at, conditions[r->number - 3], 0);
  at = txMakeBoolean(at);
  txFixShortList(&fail, 1, at);
  return txGiveUp(at, r, inlineFailure);
}

static uint8_t* genMultiply(uint8_t* at, const TranslatedPrimRecord* r, int inlineFailure) {
  uint8_t* fail;
  at = txArgumentCheck(&fail, at);
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
  return txGiveUp(at, r, inlineFailure);
}

static uint8_t* genBitOp(uint8_t* at, const TranslatedPrimRecord* r, int inlineFailure) {
  static const AluRROp ops[3] = {aluRRAnd, aluRROr, aluRRXor};  // 14, 15, 16
  uint8_t* fail;
  at = txArgumentCheck(&fail, at);
  at = emitAluRR(at, ops[r->number - 14], rBX, rR12);
  if (r->number == 16) at = emitAluRI8(at, aluAdd, rBX, 3);  // both tags cancelled
  at = emitRet(at);
  txFixShortList(&fail, 1, at);
  return txGiveUp(at, r, inlineFailure);
}

// bitShift: counts of 60 or more to the left fail unless the receiver is 0, as in C.
static uint8_t* genShift(uint8_t* at, const TranslatedPrimRecord* r, int inlineFailure) {
  uint8_t* fail;
  at = txArgumentCheck(&fail, at);
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
  return txGiveUp(at, r, inlineFailure);
}

// 10 exact /, 11 \\ (floored modulo), 12 // (floored), 13 quo: (truncated). The operands stay
// scaled by 8, so the quotient comes out unscaled and the remainder scaled. The one quotient
// out of range (the most negative SmallInteger by -1) is caught before the idiv, which would
// trap; its modulo is 0.
static uint8_t* genDivide(uint8_t* at, const TranslatedPrimRecord* r, int inlineFailure) {
  uint8_t* fail[3] = {nullptr, nullptr, nullptr};
  uint8_t* restore[2] = {nullptr, nullptr};
  at = txArgumentCheck(&fail[0], at);
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
  return txGiveUp(at, r, inlineFailure);
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
// instruction on.
static const uint64_t smallDoubleBias = cgenSmallDoubleBias;

static uint8_t* decodeShiftedSmallDouble(uint8_t* at, int x) { return cgenDecodeShiftedSmallDouble(at, x); }

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
static uint8_t* boxResult(uint8_t* at, bool isDouble, int x, TxExits& e) {
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
    txAddJump(e.fails32, at);
  }
  uint8_t* slow;
  at = tAllocFloat(at, isDouble, rBX, &slow);
  txAddJump(e.toC32, slow);
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
static uint8_t* boxXmm1Tail(uint8_t* at, const TranslatedPrimRecord* r, int inlineFailure, uint8_t* noForm, TxExits& e) {
  txFixShortList(&noForm, 1, at);
  at = boxResult(at, true, 1, e);
  return txExitsTail(at, r, inlineFailure, e);
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
  TxExits e;
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
  TxExits e;
  return boxXmm1Tail(at, r, inlineFailure, noForm, e);
}

// xmm1 := the receiver (a Float), xmm0 := the argument: a Float or a SmallInteger rounded to
// binary32. Anything else fails in C: the 32-bit jumps go to e.fails32.
static uint8_t* floatOperands(uint8_t* at, TxExits& e) {
  at = emitMovRM(at, rAX, rBX, 0);
  at = emitMovssXM(at, 1, rAX, 0);
  at = emitMovRR(at, rAX, rR12);
  at = emitTestR8I8(at, rAX, 7);
  at = emitJccRel8(at, ccNE, 0);
  uint8_t* immediate = at;
  at = cgenLoadHeaderClassTag(at, rAX, rR12);
  at = emitCmpRI(at, rAX, classIndexFloat);
  at = emitJccRel32(at, ccNE, 0);
  txAddJump(e.fails32, at);
  at = emitMovRM(at, rAX, rR12, 0);
  at = emitMovssXM(at, 0, rAX, 0);
  at = emitJmpRel8(at, 0);
  uint8_t* done = at;
  txFixShortList(&immediate, 1, at);
  at = emitMovRR(at, rAX, rR12);
  at = emitAluRI8(at, aluAnd, rAX, 7);
  at = emitCmpRI(at, rAX, oopTagSmallInteger);
  at = emitJccRel32(at, ccNE, 0);
  txAddJump(e.fails32, at);
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
  TxExits e;
  at = floatOperands(at, e);
  at = emitSsXX(at, opcode, 1, 0);  // xmm1 op= xmm0
  at = boxResult(at, false, 1, e);
  return txExitsTail(at, r, inlineFailure, e);
}

// 43-48: the receiver against the argument, NaNs unordered.
static uint8_t* genFloatCompare(uint8_t* at, const TranslatedPrimRecord* r, int inlineFailure) {
  static const uint8_t conditions[6] = {ccA, ccB, ccAE, ccBE, ccE, ccNE};  // mirrored: argument against receiver
  if (!enableTFP) return txUseCPrim(r, at, 0);
  TxExits e;
  at = floatOperands(at, e);
  at = emitUcomiss(at, 0, 1);
  at = tFJumpCond(conditions[r->number - 43], at);
  at = txMakeBoolean(at);
  return txExitsTail(at, r, inlineFailure, e);
}

// 40: a SmallInteger as a new Float.
static uint8_t* genAsFloat(uint8_t* at, const TranslatedPrimRecord* r, int inlineFailure) {
  if (!enableTFP) return txUseCPrim(r, at, 0);
  at = emitMovRR(at, rAX, rBX);
  at = emitShiftRI(at, shiftSar, rAX, 3);
  at = emitCvtsi2ssXR(at, 1, rAX);  // cvtsi2ss xmm1, rax
  TxExits e;
  at = boxResult(at, false, 1, e);
  return txExitsTail(at, r, inlineFailure, e);
}

// 603: the square root of a Float, a new Float.
static uint8_t* genFloatSqrt(uint8_t* at, const TranslatedPrimRecord* r, int inlineFailure) {
  if (!enableTFP) return txUseCPrim(r, at, 0);
  at = emitMovRM(at, rAX, rBX, 0);
  at = emitMovssXM(at, 1, rAX, 0);
  at = emitSsXX(at, sseSqrt, 1, 1);  // sqrtss xmm1, xmm1
  TxExits e;
  at = boxResult(at, false, 1, e);
  return txExitsTail(at, r, inlineFailure, e);
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
  return txGiveUp(at, r, inlineFailure);
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
