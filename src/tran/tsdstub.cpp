// Translator: the SmallDouble site stubs (decoding, converting, reading boxed Doubles, the
// operation, re-encoding or boxing in eden, and the give-up to the send). Prefix: sd.
#include "tran/tsdstub.h"

#include <cassert>

#include "ext/exOption.h"
#include "mman/mmSysOop.h"
#include "tran/cgenx86_64.h"
#include "tran/taux.h"
#include "tran/tprim.h"

namespace {
// The boxed Doubles read inline: one body word, no pointers, class Double; any other shape
// (a Float among them) takes the send.
constexpr uint64_t sdBoxShapeMask = hasPtrsBit | indexabilityMask | sizeFieldMask | classTagMask;
constexpr uint64_t sdBoxShape = (uint64_t(1) << sizeFieldShift) | classIndexDouble;
}  // namespace

// The 32-bit jump just emitted goes to the stub's give-up.
static void sdAddFail(uint8_t** fails, int* nFails, uint8_t* at) { fails[(*nFails)++] = at; }

// rax := register r less the SmallDouble tag; a 32-bit jump, answered, taken unless r holds a
// SmallDouble (the tag taken off leaves its low three bits clear and its stored bits in place).
static uint8_t* sdTestTag(int r, uint8_t** jump, uint8_t* at) {
  at = emitLeaRM(at, rAX, r, -int32_t(oopTagSmallDouble));
  at = emitTestR8I8(at, rAX, 7);
  at = emitJccRel32(at, ccNE, 0);
  *jump = at;
  return at;
}

// xmm x := the SmallDouble whose oop less its tag is in rax; r11 holds the bias.
static uint8_t* sdDecode(int x, uint8_t* at) {
  at = emitShiftRI(at, shiftShr, rAX, 3);
  return cgenDecodeShiftedSmallDouble(at, x);
}

// xmm x := the SmallInteger in register r converted; a 32-bit jump, answered, taken when r
// holds anything else.
static uint8_t* sdConvert(int r, int x, uint8_t** jump, uint8_t* at) {
  at = emitMovRR(at, rAX, r);
  at = emitAluRI8(at, aluAnd, rAX, 7);
  at = emitCmpRI(at, rAX, oopTagSmallInteger);
  at = emitJccRel32(at, ccNE, 0);
  *jump = at;
  at = emitMovRR(at, rAX, r);
  at = emitShiftRI(at, shiftSar, rAX, 3);
  return emitCvtsi2sdXR(at, x, rAX);
}

// xmm x := the eight bytes of the boxed Double in register r, else a 32-bit jump to the give-up.
static uint8_t* sdLoadBoxOrFail(int r, int x, uint8_t** fails, int* nFails, uint8_t* at) {
  at = emitMovRR(at, rAX, r);
  at = emitTestR8I8(at, rAX, 7);
  at = emitJccRel32(at, ccNE, 0);
  sdAddFail(fails, nFails, at);
  at = emitMovRM(at, rAX, r, 8);  // the header's flags
  at = emitMovRI64(at, rR9, sdBoxShapeMask);
  at = emitAluRR(at, aluRRAnd, rAX, rR9);
  at = emitCmpRI(at, rAX, int32_t(sdBoxShape));
  at = emitJccRel32(at, ccNE, 0);
  sdAddFail(fails, nFails, at);
  at = emitMovRM(at, rAX, r, 0);  // the body
  return emitMovsdXM(at, x, rAX, 0);
}

// The comparison of xmm1 (receiver) with xmm0 (argument) jumping to yes when it holds, else to
// no. Every ordering with a NaN is false, and so is equality: < and <= ask whether the argument
// is above the receiver, so that an unordered pair (carry set) fails them all.
static uint8_t* sdCompare(int index, uint8_t* yes, uint8_t* no, uint8_t* at) {
  bool argumentFirst = index == 2 || index == 4;
  at = emitUcomisd(at, argumentFirst ? 0 : 1, argumentFirst ? 1 : 0);
  switch (index) {
    case 2: case 3:
      at = emitJccRel32(at, ccA, 0);
      cgenPatchRel32(at, yes);
      break;
    case 4: case 5:
      at = emitJccRel32(at, ccAE, 0);
      cgenPatchRel32(at, yes);
      break;
    case 6:
      at = emitJccRel32(at, ccP, 0);
      cgenPatchRel32(at, no);
      at = emitJccRel32(at, ccE, 0);
      cgenPatchRel32(at, yes);
      break;
    default:
      at = emitJccRel32(at, ccP, 0);
      cgenPatchRel32(at, yes);
      at = emitJccRel32(at, ccNE, 0);
      cgenPatchRel32(at, yes);
      break;
  }
  return emitJmpRel32(at, no);
}

// The bound of the stored bits, held in r10 by an arithmetic stub from its start (nothing in a
// stub or in the loads a chain copies changes r10).
constexpr uint64_t sdEncodeBound = 0x1FFFFFFFFFFFFFFEull;

// rbx := the SmallDouble for xmm1 when it has the immediate form; r11 holds the bias and r10
// the bound. The sign rotated to bit 0 and the bias taken off leave the stored bits when they
// fit, which one unsigned compare checks; *other gets the 32-bit jump taken otherwise, rax then
// holding the rotated bits less the bias.
static uint8_t* sdEncode(uint8_t** other, uint8_t* at) {
  at = emitMovqRX(at, rAX, 1);
  at = emitShift1R(at, rotateRol, rAX);
  at = emitAluRR(at, aluRRSub, rAX, rR11);
  at = emitCmpRR(at, rAX, rR10);
  at = emitJccRel32(at, ccAE, 0);
  *other = at;
  return emitLeaScaled8(at, rBX, rAX, 0x15);
}

// The encoding's other forms, then to done: a zero of either sign (rotated: 0 or 1) is 5 or
// 13; any other result becomes a new Double holding xmm1 (without IEEEInfNaN an infinity or a
// NaN goes to the send, as does an eden without room). The allocation changes r11: a chained
// stub wants the bias back.
static uint8_t* sdEncodeOther(const SdStub& s, uint8_t* done, uint8_t* at) {
  at = emitAluRR(at, aluRRAdd, rAX, rR11);
  at = emitCmpRI(at, rAX, 1);
  at = emitJccRel8(at, ccA, 0);
  uint8_t* box = at;
  at = emitLeaScaled8(at, rBX, rAX, 5);
  at = emitJmpRel32(at, done);
  cgenPatchRel8(box, at);
  if (!IEEEInfNaN) {  // the exponent all ones
    at = emitMovqRX(at, rAX, 1);
    at = emitShiftRI(at, shiftShr, rAX, 52);
    at = emitAndEAXI32(at, 0x7FF);
    at = emitCmpRI(at, rAX, 0x7FF);
    at = emitJccRel32(at, ccE, 0);
    cgenPatchRel32(at, s.send);
  }
  uint8_t* slow;
  at = tAllocFloat(at, 1, rBX, &slow);
  cgenPatchRel32(slow, s.send);
  at = emitMovqRX(at, rAX, 1);
  at = emitMovMR(at, rR14, 0, rAX);
  if (s.chainTo != 0) at = emitMovRI64(at, rR11, cgenSmallDoubleBias);
  return emitJmpRel32(at, done);
}

// xmm x := the double of a SmallDouble constant, or of a SmallInteger one converted as the
// stub converts a SmallInteger operand (rounded to nearest).
static uint8_t* sdLoadConstant(oop constant, int x, uint8_t* at) {
  double d = isSmallInteger(constant) ? double(smallIntegerValue(constant)) : loadSmallDoubleFromOop(constant);
  at = emitMovRI64(at, rAX, doubleBits(d));
  return emitMovqXR(at, x, rAX);
}

// Two SmallDoubles, the common case, fall straight through to the operation (a constant one
// loaded as it stands); the other forms follow it and jump back.
uint8_t* sdStubCode(SdStub* stubs, int i, uint8_t* at) {
  const SdStub& s = stubs[i];
  [[maybe_unused]] uint8_t* start = at;
  for (uint8_t* e : s.entries) {
    if (e != nullptr) cgenPatchRel32(e, at);
  }
  uint8_t* fails[4];
  int nFails = 0;
  uint8_t *receiverOther = nullptr, *argumentOther = nullptr;
  at = emitMovRI64(at, rR11, cgenSmallDoubleBias);
  if (!sdIsComparison(s.index)) at = emitMovRI64(at, rR10, sdEncodeBound);
  if (s.constants[0] != 0) {
    at = sdLoadConstant(s.constants[0], 1, at);
  } else {
    at = sdTestTag(rBX, &receiverOther, at);
    at = sdDecode(1, at);
  }
  uint8_t* anyArgument = at;
  if (s.constants[1] != 0) {
    at = sdLoadConstant(s.constants[1], 0, at);
  } else {
    at = sdTestTag(rR12, &argumentOther, at);
    at = sdDecode(0, at);
  }
  uint8_t* operation = at;
  if (sdIsComparison(s.index)) {
    at = sdCompare(s.index, s.inverted ? s.no : s.yes, s.inverted ? s.yes : s.no, at);
  } else {
    static const SseOp ops[10] = {sseAdd, sseSub, sseAdd, sseAdd, sseAdd, sseAdd, sseAdd, sseAdd, sseMul, sseDiv};
    uint8_t* other;
    at = emitSdXX(at, ops[s.index], 1, 0);
    at = sdEncode(&other, at);
    uint8_t* done = at;
    if (s.chainTo != 0) {
      // The next site's loads, then its stub with this result in xmm1 and the bias in r11.
      for (const uint8_t* p = s.chainLoads[0]; p < s.chainLoads[1]; p++) *at++ = *p;
      at = emitJmpRel32(at, at + 5);
      stubs[s.chainTo - 1].chainJump = at;
    } else {
      at = emitJmpRel32(at, s.yes);
    }
    cgenPatchRel32(other, at);
    at = sdEncodeOther(s, done, at);
  }
  // A SmallDouble or boxed Double receiver: the argument a SmallInteger or a boxed Double.
  uint8_t* notInteger;
  uint8_t* argumentBox = nullptr;
  if (argumentOther != nullptr) {
    cgenPatchRel32(argumentOther, at);
    at = sdConvert(rR12, 0, &notInteger, at);
    at = emitJmpRel32(at, operation);
    cgenPatchRel32(notInteger, at);
    argumentBox = at;
    at = sdLoadBoxOrFail(rR12, 0, fails, &nFails, at);
    at = emitJmpRel32(at, operation);
  }
  if (receiverOther != nullptr && isSmallInteger(s.constants[1])) {
    // A SmallInteger constant argument: a SmallInteger receiver is the SmallInteger path's
    // (an overflow sends), so only a boxed Double goes on.
    cgenPatchRel32(receiverOther, at);
    at = sdLoadBoxOrFail(rBX, 1, fails, &nFails, at);
    at = emitJmpRel32(at, anyArgument);
  } else if (receiverOther != nullptr) {
    // A SmallInteger receiver: the argument a SmallDouble or a boxed Double.
    cgenPatchRel32(receiverOther, at);
    at = sdConvert(rBX, 1, &notInteger, at);
    if (argumentBox != nullptr) {
      uint8_t* toBox;
      at = sdTestTag(rR12, &toBox, at);
      cgenPatchRel32(toBox, argumentBox);
      at = sdDecode(0, at);
      at = emitJmpRel32(at, operation);
    } else {
      at = emitJmpRel32(at, anyArgument);
    }
    // A boxed Double receiver: any argument.
    cgenPatchRel32(notInteger, at);
    at = sdLoadBoxOrFail(rBX, 1, fails, &nFails, at);
    at = emitJmpRel32(at, anyArgument);
  }
  for (int f = 0; f < nFails; f++) cgenPatchRel32(fails[f], at);
  at = emitJmpRel32(at, s.send);
  // Entered from the previous site's stub: a receiver already in xmm1 goes on to the argument;
  // an argument already there moves to xmm0 and the receiver is read alone, anything but a
  // SmallDouble taking the stub from its start.
  if (s.chainJump != nullptr && s.chainedAs == 1) cgenPatchRel32(s.chainJump, anyArgument);
  if (s.chainJump != nullptr && s.chainedAs == 2) {
    cgenPatchRel32(s.chainJump, at);
    at = emitMovapsXX(at, 0, 1);
    if (s.constants[0] != 0) {
      at = sdLoadConstant(s.constants[0], 1, at);
    } else {
      uint8_t* fromStart;
      at = sdTestTag(rBX, &fromStart, at);
      cgenPatchRel32(fromStart, start);
      at = sdDecode(1, at);
    }
    at = emitJmpRel32(at, operation);
  }
  assert(at - start <= sdStubRoom);
  return at;
}
