// Translator: shared code sequences (filling, division, floating branches, send sites).
// Prefix: cgen, cNop, tF, tc (declared in cgenx86_64.h).
#include "ext/platform.h"
#include "tran/cgenx86_64.h"

// Alignment filler before run-time stubs, entry points and PICs. Seven-byte lea rax, [rax+0]
// while it fits, then one instruction (with 66 prefixes) for the rest, so a fill of n bytes
// costs at most ceil(n / 7) + 1 decodes.
uint8_t* cNopGenTo(uint8_t* from, uint8_t* to) {
  uint8_t* at = from;
  while (to - at >= 7) {
    static const uint8_t lea7[7] = {0x48, 0x8D, 0x80, 0, 0, 0, 0};  // lea rax, [rax+0]
    memcpy(at, lea7, 7);
    at += 7;
  }
  int64_t rest = to - at;
  static const uint8_t nop4[4] = {0x0F, 0x1F, 0x40, 0x00};  // nopl 0x0(%rax)
  switch (rest) {
    case 0: break;
    case 1: at = cgenPutB(0x90, at); break;
    case 2: at = cgenPutB(0x90, cgenPutB(0x66, at)); break;
    case 3: at = cgenPutB(0x90, cgenPutB(0x66, cgenPutB(0x66, at))); break;
    default:  // 4 to 6: up to two 66 prefixes on the 4-byte filler
      for (int64_t i = 4; i < rest; i++) at = cgenPutB(0x66, at);
      memcpy(at, nop4, 4);
      at += 4;
      break;
  }
  return at;
}

// On entry: dividend in b, divisor in a (neither rsp nor rbp). On exit: quotient in b, with
// both the remainder in a; rax and rdx are saved around the idiv unless they hold a result.
// A divisor in rax or rdx is first copied to a pushed scratch (rbx when b is rcx, else rcx)
// since cqo and idiv overwrite both. Where a result lands in rax or rdx the moves are
// ordered so that neither result overwrites the other before it is read.
uint8_t* cgenDiv(int a, int b, int both, uint8_t* at) {
  assert(a != b && (a & 7) != rSP && (a & 7) != rBP && (b & 7) != rSP && (b & 7) != rBP);
  // Without both, a divisor in rax or rdx is saved too: only b changes.
  bool saveRax = b != rAX && (a != rAX || !both);
  bool saveRdx = b != rDX && (a != rDX || !both);
  if (saveRax) at = emitPushR(at, rAX);  // save rax
  if (saveRdx) at = emitPushR(at, rDX);  // save rdx
  int divisor = a;
  int scratch = -1;
  if (a == rAX || a == rDX) {
    scratch = b == rCX ? rBX : rCX;
    at = emitPushR(at, scratch);          // save the scratch
    at = emitMovRR(at, scratch, a);       // divisor out of rax/rdx
    divisor = scratch;
  }
  if (b != rAX) at = emitMovRR(at, rAX, b);  // dividend
  at = emitCqo(at);                          // sign-extend into rdx
  at = emitIdivR(at, divisor);
  if (scratch >= 0) at = emitPopR(at, scratch);
  if (both) {
    if (a == rAX && b == rDX) {
      at = emitXchgRaxR(at, rDX);  // quotient to rdx, remainder to rax
    } else if (a == rAX) {
      at = emitMovRR(at, b, rAX);  // quotient out before the remainder overwrites rax
      at = emitMovRR(at, a, rDX);
    } else {
      if (a != rDX) at = emitMovRR(at, a, rDX);  // remainder out before rdx takes the quotient
      if (b != rAX) at = emitMovRR(at, b, rAX);
    }
  } else if (b != rAX) {
    at = emitMovRR(at, b, rAX);
  }
  if (saveRdx) at = emitPopR(at, rDX);
  if (saveRax) at = emitPopR(at, rAX);
  return at;
}

// After ucomisd, PF set means unordered (a NaN took part): only "not equal" is then taken.
uint8_t* tFJumpCond(int condition, uint8_t* at) {
  at = emitJccRel8(at, ccP, 2);  // unordered: over the next jump
  if (condition == ccNE) {
    at = emitJccRel8(at, ccE, 2);  // ordered and equal: over the jump
    return emitJmpRel8(at, 0);
  }
  return emitJccRel8(at, condition, 0);
}

uint8_t* tcInlineIFlush(uint8_t* at) {
  if (pdMustFlushICache() != 0) at = emitJmpRel8(at, 0);
  return at;
}

uint8_t* cgenSendSite(uint8_t* at, uint32_t immediate, const void* target) {
  assert(immediate < 0x80000000u);
  at = emitMovR32I32(at, rR15, immediate);  // selector index or expected class tag
  return emitCallRel(at, target);
}
