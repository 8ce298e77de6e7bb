// Translator: shared code sequences (filling, division, floating branches, send sites).
// Prefix: cgen, cNop, tF, tc (declared in cgenx86_64.h).
#include "ext/platform.h"
#include "tran/cgenx86_64.h"
#include "tran/taux.h"
#include "tran/taction.h"
#include "tran/tprim.h"
#include "tran/tstack.h"
#include "stack/vmsupport.h"
#include "mman/mmObject.h"

// Alignment filler before run-time stubs, entry points and PICs. Seven-byte lea rax, [rax+0]
// while it fits, then one instruction (with 66 prefixes) for the rest, so a fill of n bytes
// costs at most ceil(n / 7) + 1 decodes.
uint8_t* cNopGenTo(uint8_t* from, uint8_t* to) {
  if (to <= from) return from;
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
  assert(a != b && a != rSP && a != rBP && b != rSP && b != rBP);
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

// ---------------------------------------------------------------- entry sequence and prologue

TGlueEntries tGlue;
uint8_t* AbortSendTable[3];
uint8_t* AbortPrimFailTable[3];
uint8_t* AbortNoFrame;
uint64_t entryCodeTable[8];
uint8_t* primReturnEntry;

static void recordRelCall(uint8_t* after, const void* target) {
  if (tMapRelCall != nullptr) tMapRelCall((uint64_t)(uintptr_t)after, (uint64_t)(uintptr_t)target);
}
static uint8_t* callRecorded(uint8_t* at, const void* target) {
  at = emitCallRel(at, target);
  recordRelCall(at, target);
  return at;
}
static uint8_t* pushJump(uint8_t* at, const void* target) {
  at = emitPushI32(at, (int32_t)(uintptr_t)target);  // push; ret: on to the glue
  return emitRet(at);
}
static uint8_t* movLiteral(uint8_t* at, int d, uint64_t value) {
  at = emitMovRI64(at, d, value);
  if ((value & 7) == 0 && tMapLit != nullptr) tMapLit(value, (uint64_t)(uintptr_t)at, -8);
  return at;
}

// rax := resume = the return point popped into r11 + the u16 stored at it.
static uint8_t* genResume(uint8_t* at) {
  at = emitPopR(at, rR11);                                     // return point
  static const uint8_t movzx[4] = {0x49, 0x0F, 0xB7, 0x03};    // movzx rax, word [r11]
  memcpy(at, movzx, 4);
  static const uint8_t add[3] = {0x4C, 0x01, 0xD8};            // add rax, r11
  memcpy(at + 4, add, 3);
  return at + 7;
}

// Abort stub: entered by call rax from the cannot-resume entry, whose return point is followed
// by the u16 distance to the body. Pushes resume; a stack already deeper than a fresh frame's
// (rsp at or below rbp - 32) cannot be resumed. Otherwise pushes receiver and register
// arguments as the prologue would, then resume, and continues in the run time.
static uint8_t* genAbortStub(uint8_t* at, int numArgs, const void* routine) {
  at = genResume(at);
  at = emitPushR(at, rAX);                   // resume
  at = emitLeaRM(at, rR11, rBP, -32);
  at = emitCmpRR(at, rSP, rR11);
  at = emitJccRel8(at, ccA, 0);              // rsp above rbp - 32: resumable
  uint8_t* resumable = at;
  at = pushJump(at, tGlue.cannotResume);
  cgenPatchRel8(resumable, at);
  at = emitPopR(at, rAX);
  at = emitPushR(at, rBX);                   // receiver
  if (numArgs >= 1) at = emitPushR(at, rR12);
  if (numArgs >= 2) at = emitPushR(at, rR13);
  at = emitPushR(at, rAX);                   // resume
  return pushJump(at, routine);
}

uint8_t* initTxAborts(uint8_t* area) {
  uint8_t* at = area;
  for (int n = 0; n < 3; n++) {
    AbortSendTable[n] = at;
    at = genAbortStub(at, n, tGlue.abortSend);
    at = cNopGenTo(at, (uint8_t*)(((uintptr_t)at + 15) & ~(uintptr_t)15));
  }
  for (int n = 0; n < 3; n++) {
    AbortPrimFailTable[n] = at;
    at = genAbortStub(at, n, tGlue.abortPrimFail);
    at = cNopGenTo(at, (uint8_t*)(((uintptr_t)at + 15) & ~(uintptr_t)15));
  }
  // "abort send no frame": resume, then straight on to cannot-resume.
  AbortNoFrame = at;
  at = genResume(at);
  at = emitPushR(at, rAX);
  at = pushJump(at, tGlue.cannotResume);
  return cNopGenTo(at, (uint8_t*)(((uintptr_t)at + 15) & ~(uintptr_t)15));
}

// The fixed sequence from the header's end to the unchecked entry (or, for a block, to the
// block entry); answers the position after it. Offsets are the nmLayout constants.
static uint8_t* genEntrySequence(uint8_t* block, const TVInfo* info, const void* abortStub) {
  uint8_t* at = block + nMethodCannotResumeEntry;
  assert((uintptr_t)abortStub < 0x80000000u);
  at = emitMovRI32(at, rAX, (int32_t)(uintptr_t)abortStub);  // the abort stub
  at = emitCallR(at, rAX);
  at = cgenPutW(0x9090, at);  // becomes the distance to the body
  if (info->isBlock) return cNopGenTo(at, block + nMethodBlockEntry);
  at = callRecorded(at, tGlue.picAbortSendMiss);  // class-check miss
  at = cNopGenTo(at, block + nMethodEntry);
  uint8_t* miss = block + nMethodAbortSendMissOffset;
  if (info->receiverTag == 3) {
    at = emitTestR8I8(at, rBX, 2);   // SmallInteger tag bit
    at = emitJccRel8(at, ccE, (int8_t)(miss - (at + 2)));
  } else if (info->receiverTag != 0) {
    at = emitMovRR(at, rAX, rBX);
    at = emitAluRI8(at, aluAnd, rAX, 7);  // immediate tag
    at = emitCmpRI(at, rAX, info->receiverTag);
    at = emitJccRel8(at, ccNE, (int8_t)(miss - (at + 2)));
  } else {
    at = emitMovRR(at, rAX, rBX);
    at = emitAluRI8(at, aluAnd, rAX, 7);  // immediate tag
    at = emitJccRel8(at, ccNE, 9);        // an immediate: compare its tag
    at = emitMovRM(at, rAX, rBX, 8);      // header flags word
    at = emitAndEAXI32(at, 0xFFFFF);      // class tag
    at = emitCmpRR(at, rAX, rR15);        // the tag the send site expects
    at = emitJccRel8(at, ccNE, (int8_t)(miss - (at + 2)));
  }
  if (at > block + nMethodEntryNoCheck) {
    TAbortFunc("Class check overran the unchecked entry", -1, at, "src/tran/taux", __LINE__);
  }
  return cNopGenTo(at, block + nMethodEntryNoCheck);
}

int tFrameSizeFor(const uint8_t* p, const uint8_t* end, const TVInfo* info) {
  if (info->frameSize != 0) return info->frameSize;
  if (info->numTemps > 0 || info->contextReceiver) return info->numTemps + 2 > 12 ? info->numTemps + 2 : 12;
  while (p < end) {
    uint8_t b = *p;
    if (b == 0x60 || (b >= 0x62 && b <= 0x65)) return 0;  // a return after pushes only
    bool argPush = b >= 0x10 && b < 0x10 + info->numArgs && info->numArgs <= 2;
    if (b <= 0x0F || argPush || (b >= 0x1C && b <= 0x2B) || b == 0x44 || (b >= 0x46 && b <= 0x4B)) {
      p += 1;
    } else if (b == 0xD0 || b == 0xD2 || b == 0xD7 || b == 0xD8) {
      p += 2;
    } else if (b == 0xF9) {
      p += 3;
    } else {
      return 12;
    }
  }
  return 12;
}

uint8_t* tReturn(int frameSize, int numArgs, uint8_t* at) {
  if (frameSize != 0) {
    at = regFlush(at);
    at = emitMovRR(at, rSP, rBP);
    at = emitPopR(at, rBP);
  }
  if (numArgs > 2) {
    at = cgenPutB(0xC2, at);  // ret imm16: the receiver and arguments the caller pushed
    return cgenPutW((uint64_t)(numArgs - 1) * 8, at);
  }
  return emitRet(at);
}

static uint8_t* loadR15(uint8_t* at, uint64_t value) {
  return value <= 0x7fffffff ? emitMovRI32(at, rR15, (int32_t)value) : emitMovRI64(at, rR15, value);
}

typedef uint8_t* (*TranslatedPrimGenerator)(uint8_t* at, const void* record, int popsError);

// The primitive call and what follows it, before the frame code.
static uint8_t* genPrimitiveCall(uint8_t* at, uint8_t* block, const uint8_t* bytecodes, const TVInfo* info) {
  bool has43 = bytecodes + 3 < info->bytecodesEnd && bytecodes[3] == 0x43;
  const uint8_t* first = bytecodes + (has43 ? 4 : 3);
  bool popsError = first < info->bytecodesEnd && (*first == 0x66 || *first == 0x45 || *first == 0x56);
  const PrimEntry* entry = getPrimEntry((uint64_t)(uint32_t)info->primitive);
  int n = info->numArgs;
  switch (entry->kind) {
    case primKindTranslated: {
      TranslatedPrimGenerator gen = ((const TranslatedPrimGenerator*)(uintptr_t)entry->function)[1];
      return gen(at, (const void*)(uintptr_t)entry->function, popsError);
    }
    case primKindC:
    case primKindUser:
      at = loadR15(at, entry->function);
      if (n > 3) at = emitMovRI32(at, rR9, n);
      at = callRecorded(at, (entry->kind == primKindC ? tGlue.primGlue : tGlue.userPrimGlue)[n < 4 ? n : 4]);
      break;
    case primKindVarArgC:
    case primKindVarArgUser:
      if (entry->function == 0) {  // no primitive: only the error value
        return popsError ? emitMovRI32(at, rR15, 0) : movLiteral(at, rR15, tNil);
      }
      at = loadR15(at, entry->function);
      at = emitMovRI32(at, rR9, n);
      at = callRecorded(at, tGlue.primGlueVarArgMany);
      break;
    default: TAbortFunc("This primitive type is not recognized", 0, at, "src/tran/taux", __LINE__);
  }
  at = emitJmpRel8(at, 0);  // failure: over the word and the return sequence
  uint8_t* failJump = at;
  at = cgenPutL((uint64_t)(at - block), at);  // finds the nmethod from the call site
  int regArgs = n < 2 ? n : 2;
  primReturnEntry = has43 ? at : nullptr;
  if (has43 && tMapOnly != nullptr) tMapOnly(3, (uint64_t)(uintptr_t)at);
  at = emitMovRM(at, rBX, rBP, -32 - 8 * (regArgs + info->numTemps));  // the committed result
  at = tReturn(info->frameSize, n, at);
  cgenPatchRel8(failJump, at);
  return at;
}

uint8_t* initTemps(const uint8_t* bytecodes, uint8_t* block, TVInfo* info) {
  int frame = tFrameSizeFor(bytecodes, info->bytecodesEnd, info);
  info->frameSize = (uint8_t)frame;
  int n = info->numArgs, regArgs = n < 2 ? n : 2;
  bool prim = info->primitive >= 0;
  seSelf = frame != 0 ? seSelfNormal : seSelfFrameless;
  const void* abortStub = frame == 0 ? AbortNoFrame : (prim ? AbortPrimFailTable : AbortSendTable)[regArgs];
  uint8_t* at = genEntrySequence(block, info, abortStub);
  primReturnEntry = nullptr;
  if (prim) at = genPrimitiveCall(at, block, bytecodes, info);
  if (frame != 0) {
    at = emitPushR(at, rBP);
    at = emitMovRR(at, rBP, rSP);
    at = emitAluRI8(at, aluSub, rSP, 8);     // context slot, left unset
    at = emitLeaRipRel(at, rR11, block);     // the nmethod
    at = emitPushR(at, rR11);
    if (frame > 12) {
      at = emitLeaRM(at, rAX, rSP, 96 - 8 * frame);
      at = emitCmpRA(at, rAX, (uint32_t)(uintptr_t)&stackLimit);
    } else {
      at = emitCmpRA(at, rSP, (uint32_t)(uintptr_t)&stackLimit);
    }
    uint8_t* cannotResume = block + nMethodCannotResumeEntry;
    at = at - cannotResume <= 120 ? emitJccRel8(at, ccB, (int8_t)(cannotResume - (at + 2)))
                                  : emitJccRel32(at, ccB, (int32_t)(cannotResume - (at + 6)));
    at = emitPushR(at, rBX);                 // receiver
    if (n >= 1) at = emitPushR(at, rR12);
    if (n >= 2) at = emitPushR(at, rR13);
  }
  if (info->numTemps == 1) {
    at = movLiteral(at, rR11, tNil);
    at = emitPushR(at, rR11);
  } else if (info->numTemps > 1) {
    at = movLiteral(at, rAX, tNil);
    for (int i = 0; i < info->numTemps; i++) at = emitPushR(at, rAX);
  }
  int locals = frame != 0 ? regArgs + info->numTemps : 0;
  if (prim) {
    at = emitPushR(at, rR15);  // the primitive's error value
    stackSim[locals] = {skPushed, 0, (uint64_t)(uintptr_t)&spill[locals]};
    locals++;
  }
  cgenPutW((uint64_t)(at - (block + nMethodAbortOffsetOffset)), block + nMethodAbortOffsetOffset);
  stackEmpty = stackSim - 1 + locals;
  actionReset(info->bytecodesEnd);
  return at;
}

uint8_t* tFinishMethod(uint8_t* at, uint8_t* block, const TVInfo* info) {
  if (tMapOnly != nullptr) tMapOnly((uint64_t)(info->bytecodesEnd - info->bytecodes), (uint64_t)(uintptr_t)at);
  uint8_t* stub = at;
  // The table entry and the routine are loaded as 32-bit immediates where they lie below 2 GiB
  // (always in the engine's own layout), else with 64-bit loads.
  uint64_t entry = (uint64_t)(uintptr_t)getPrimEntry((uint64_t)(uint32_t)info->primitive);
  uint64_t routine = (uint64_t)(uintptr_t)tGlue.carefulCallPrim;
  at = entry <= 0x7fffffff ? emitMovRI32(at, rBX, (int32_t)entry) : emitMovRI64(at, rBX, entry);
  at = routine <= 0x7fffffff ? emitMovRI32(at, rAX, (int32_t)routine) : emitMovRI64(at, rAX, routine);
  at = emitCallR(at, rAX);
  uint8_t* end = (uint8_t*)(((uintptr_t)at + 16 + 15) & ~(uintptr_t)15);  // >= 16 past the stub
  at = cNopGenTo(at, end - 16);
  at = cgenPutQ((uint64_t)(stub - block), at);
  return cgenPutQ(primReturnEntry != nullptr ? (uint64_t)(primReturnEntry - block) : ~0ull, at);
}

// Word k: the first eight code bytes (mov rax, abort stub; the FF of call rax) of a method of
// that frame, primitive and argument count.
void initEntryCodeTable() {
  uint8_t scratch[nMethodEntryNoCheck + 16];
  TVInfo info = {};
  info.isBlock = 1;  // only the cannot-resume part is wanted
  for (int k = 0; k < 8; k++) {
    if (k == 4) continue;  // unused
    const void* stub = k == 0 ? AbortNoFrame : k < 4 ? AbortSendTable[k - 1] : AbortPrimFailTable[k - 5];
    genEntrySequence(scratch, &info, stub);
    memcpy(&entryCodeTable[k], scratch + nMethodCannotResumeEntry, 8);
  }
}

void restoreNMethodPostRelocation(uint8_t* nmethod) {
  const NMethodHeader* h = (const NMethodHeader*)nmethod;
  int args = h->numArgs < 2 ? h->numArgs : 2;
  int k = h->frame == 0 ? 0 : (h->flags & nmFlagPrimitive) != 0 ? 5 + args : 1 + args;
  memcpy(nmethod + nMethodCannotResumeEntry, &entryCodeTable[k], 8);
}

// The first translation's set-up: abort stubs, the layout measurement, the entry-code table
// and the store stubs. area stands in for the permanent code area and scratch for the zone's
// scratch space (both not built yet on this branch). The shared stubs of later parts (PICs,
// translated primitives, the non-Boolean branch stubs) are not built yet either.
uint8_t* initFirstTime(uint8_t* scratch, uint8_t* area) {
  uint8_t* at = initTxAborts(area);
  // The offsets that glue, frames and PICs rely on, measured on generated code.
  uint8_t* abortReturn = emitCallR(emitMovRI32(scratch + nMethodCannotResumeEntry, rAX, 0), rAX);
  uint8_t* missReturn = emitCallRel(scratch + nMethodAbortSendMissOffset, scratch);
  TVInfo block = {};
  block.isBlock = 1;
  block.frameSize = 12;
  uint8_t* blockEntry = genEntrySequence(scratch, &block, AbortSendTable[0]);
  if (abortReturn != scratch + nMethodAbortOffsetOffset || missReturn != scratch + nMethodAbortSendMissReturnOffset ||
      blockEntry != scratch + nMethodBlockEntry) {
    TAbortFunc("Entry sequence differs from its layout", -1, nullptr, "src/tran/taux", __LINE__);
  }
  for (uint8_t tag : {0, 1, 3, 5}) {
    TVInfo method = {};
    method.receiverTag = tag;
    if (genEntrySequence(scratch, &method, AbortSendTable[0]) != scratch + nMethodEntryNoCheck) {
      TAbortFunc("Entry sequence differs from its layout", -1, nullptr, "src/tran/taux", __LINE__);
    }
  }
  initEntryCodeTable();
  at = cNopGenTo(at, (uint8_t*)(((uintptr_t)at + 15) & ~(uintptr_t)15));
  return initStoreInst(at);
}
