// Translator: shared code sequences (filling, division, floating branches, send sites).
// Prefix: cgen, cNop, tF, tc (declared in cgenx86_64.h).
#include <cinttypes>
#include <cstdio>

#include "ext/exError.h"
#include "ext/exRequest.h"
#include "ext/platform.h"
#include "tran/disx86_64.h"
#include "tran/nmalloc.h"
#include "tran/cgenx86_64.h"
#include "tran/taux.h"
#include "tran/taction.h"
#include "tran/tprim.h"
#include "tran/tstack.h"
#include "mman/mmObject.h"

// Alignment filler before run-time stubs, entry points and PICs. Seven-byte lea rax, [rax+0]
// while it fits, then one instruction (with 66 prefixes) for the rest, so a fill of n bytes
// costs at most ceil(n / 7) + 1 decodes.
uint8_t* cNopGenTo(uint8_t* from, uint8_t* to) {
  if (to <= from) return from;
  uint8_t* at = from;
  while (to - at >= 7) at = emitLeaRMD32(at, rAX, rAX, 0);  // lea rax, [rax+0]
  int64_t rest = to - at;
  if (rest == 0) return at;
  // 1 to 3 bytes: a nop behind 66 prefixes; 4 to 6: up to two on the 4-byte filler.
  int64_t filler = rest < 4 ? 1 : 4;
  for (int64_t i = filler; i < rest; i++) at = emitPrefix66(at);
  return filler == 1 ? emitNop(at) : emitNop4(at);
}

uint8_t* cgenLoadHeaderClassTag(uint8_t* at, int reg, int object) {
  at = emitMovRM(at, reg, object, 8);  // the header's flags word
  return reg == rAX ? emitAndEAXI32(at, classTagMask) : emitAluR32I32(at, aluAnd, reg, classTagMask);
}

uint8_t* cgenLoadClassTag(uint8_t* at, int reg) {
  if (reg != rBX) at = emitMovRR(at, reg, rBX);
  at = emitAluRI8(at, aluAnd, reg, 7);  // the immediate tag
  at = emitJccRel8(at, ccNE, 0);        // an immediate: the tag is its class tag
  uint8_t* immediate = at;
  at = cgenLoadHeaderClassTag(at, reg, rBX);
  cgenPatchRel8(immediate, at);
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

uint8_t* cgenDecodeShiftedSmallDouble(uint8_t* at, int x) {
  at = emitCmpRI(at, rAX, 1);
  at = emitJccRel8(at, ccBE, 0);  // a zero: only the sign moves
  uint8_t* zero = at;
  at = emitLeaRMIdxD8(at, rAX, rAX, rR11, -2);
  cgenPatchRel8(zero, at);
  at = emitShift1R(at, rotateRor, rAX);
  return emitMovqXR(at, x, rAX);
}

// The sign rotated to bit 0 and the bias taken off leave the stored bits when they fit, which
// one unsigned compare checks; a zero of either sign (rotated: 0 or 1) is 5 or 13.
uint8_t* cgenEncodeSmallDouble(uint8_t* at, int x, uint8_t** noForm) {
  at = emitMovqRX(at, rAX, x);
  at = emitShift1R(at, rotateRol, rAX);
  at = emitMovRI64(at, rR11, cgenSmallDoubleBias);
  at = emitAluRR(at, aluRRSub, rAX, rR11);
  at = emitMovRI64(at, rR11, 0x1FFFFFFFFFFFFFFEull);
  at = emitCmpRR(at, rAX, rR11);
  at = emitJccRel8(at, ccB, 0);
  uint8_t* inRange = at;
  at = emitMovRI64(at, rR11, cgenSmallDoubleBias);
  at = emitAluRR(at, aluRRAdd, rAX, rR11);
  at = emitCmpRI(at, rAX, 1);
  at = emitJccRel8(at, ccA, 0);
  *noForm = at;
  at = emitLeaScaled8(at, rBX, rAX, 5);
  at = emitJmpRel8(at, 0);
  uint8_t* done = at;
  cgenPatchRel8(inRange, at);
  at = emitLeaScaled8(at, rBX, rAX, 0x15);
  cgenPatchRel8(done, at);
  return at;
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

uint8_t* AbortSendTable[3];
uint8_t* AbortPrimFailTable[3];
uint8_t* AbortNoFrame;
uint64_t entryCodeTable[8];
uint8_t* primReturnEntry;

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
  at = emitMovzxWRM(at, rAX, rR11, 0);                         // the distance stored there
  return emitAluRmR(at, aluRRAdd, rAX, rR11);
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
  at = pushJump(at, tRt.cannotResume);
  cgenPatchRel8(resumable, at);
  at = emitPopR(at, rAX);
  at = emitPushR(at, rBX);                   // receiver
  if (numArgs >= 1) at = emitPushR(at, rR12);
  if (numArgs >= 2) at = emitPushR(at, rR13);
  at = emitPushR(at, rAX);                   // resume
  return pushJump(at, routine);
}

static uint8_t* genAbortSendStub(uint8_t* at, uint64_t, int numArgs) {
  return genAbortStub(at, numArgs, tRt.abortSend);
}
static uint8_t* genAbortPrimFailStub(uint8_t* at, uint64_t, int numArgs) {
  return genAbortStub(at, numArgs, tRt.abortPrimFail);
}
// Without a frame there is nothing to resume: push resume, then on to cannot-resume.
static uint8_t* genAbortNoFrameStub(uint8_t* at) {
  at = genResume(at);
  at = emitPushR(at, rAX);
  return pushJump(at, tRt.cannotResume);
}

void initTxAborts() {
  for (int n = 0; n < 3; n++) AbortSendTable[n] = tGenerate1(genAbortSendStub, 0, n, "abort send");
  for (int n = 0; n < 3; n++) AbortPrimFailTable[n] = tGenerate1(genAbortPrimFailStub, 0, n, "abort prim fail");
  AbortNoFrame = tGenerate(genAbortNoFrameStub, "abort send no frame");
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
  at = tCallRecorded(at, tRt.picAbortSendMiss);  // class-check miss
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
    at = cgenLoadClassTag(at, rAX);
    at = emitCmpRR(at, rAX, rR15);        // the tag the send site expects
    at = emitJccRel8(at, ccNE, (int8_t)(miss - (at + 2)));
  }
  if (at > block + nMethodEntryNoCheck) {
    TAbortFunc("Class check overran the unchecked entry", -1, at, SOURCE_NAME, __LINE__);
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
    return emitRetI16(at, uint16_t((numArgs - 1) * 8));  // the receiver and arguments the caller pushed
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
      at = tCallRecorded(at, (entry->kind == primKindC ? tRt.primGlue : tRt.userPrimGlue)[n < 4 ? n : 4]);
      break;
    case primKindVarArgC:
    case primKindVarArgUser:
      if (entry->function == 0) {  // no primitive: only the error value
        return popsError ? emitMovRI32(at, rR15, 0) : movLiteral(at, rR15, tNil);
      }
      at = loadR15(at, entry->function);
      at = emitMovRI32(at, rR9, n);
      at = tCallRecorded(at, tRt.primGlueVarArgMany);
      break;
    default: TAbortFunc("This primitive type is not recognized", 0, at, SOURCE_NAME, __LINE__);
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
  uint64_t routine = (uint64_t)(uintptr_t)tRt.carefulCallPrim;
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

// ---------------------------------------------------------------- run-time stubs

CodeSymbol nzoneRTSymbolTable[nzoneRTSymbolCapacity];
int nzoneRTSymbolCount;
uint8_t* startNMethod;
uint64_t profile_compaction_area;
uint64_t profile_other_area;
uint32_t tDebug;
uint32_t generatingRuntimeRoutines;

static const char* const tauxFile = SOURCE_NAME;

static uint8_t* align16(uint8_t* at) { return (uint8_t*)(((uintptr_t)at + 15) & ~(uintptr_t)15); }

static void enterSymbol(uint64_t address, const char* name) {
  if (nzoneRTSymbolCount >= nzoneRTSymbolCapacity) {
    doReportError("OE_PROFILE nzone table overflow", errFatal | errCauseVMBug, tauxFile, __LINE__);
    return;
  }
  CodeSymbol& s = nzoneRTSymbolTable[nzoneRTSymbolCount++];
  s.address = address;
  snprintf(s.name, sizeof s.name, "%s", name);
}

// "abort send" 1 becomes "NrtAbortSend1": the first letter and each letter after a blank
// upper-cased, blanks dropped; the two profiler areas that come first keep their names.
static void stubSymbol(const char* description, int number, char* out, size_t cap) {
  size_t n = snprintf(out, cap, "Nrt");
  bool upper = true;
  for (const char* c = description; *c != 0 && n + 1 < cap; c++) {
    if (*c == ' ') {
      upper = true;
      continue;
    }
    out[n++] = upper && *c >= 'a' && *c <= 'z' ? (char)(*c - 'a' + 'A') : *c;
    upper = false;
  }
  out[n] = 0;
  if (number >= 0) snprintf(out + n, cap - n, "%d", number);
}

const char* nzoneSymbolAt(uint64_t address) {
  for (int i = 0; i < nzoneRTSymbolCount; i++) {
    if (nzoneRTSymbolTable[i].address == address) return nzoneRTSymbolTable[i].name;
  }
  return nullptr;
}

void resetCodeSymbols() {
  nzoneRTSymbolCount = 0;
  profile_compaction_area = profile_other_area = 0;
}

static int symbolProc(char* buf, int size, uint64_t address) {
  const char* name = nzoneSymbolAt(address);
  if (name == nullptr) return 0;
  snprintf(buf, size, "%s", name);
  return 1;
}

static void listStub(const char* name, const uint8_t* from, const uint8_t* to) {
  fprintf(stderr, "\n------ Translating %s ------\n", name);
  for (const uint8_t* at = from; at < to;) {
    const char* label = nzoneSymbolAt((uint64_t)(uintptr_t)at);
    if (label != nullptr) fprintf(stderr, "%s:\t", label);
    else fprintf(stderr, "_%" PRIx64 ":\t", (uint64_t)(uintptr_t)at);
    char text[160];
    const uint8_t* next = disx86_64Text(at, text, sizeof text, nullptr, symbolProc, disMode64);
    fputs(text, stderr);
    for (const uint8_t* b = at; b < next; b++) fprintf(stderr, " %02x", *b);
    fputc('\n', stderr);
    at = next;
  }
}

// Generation at one place: startNMethod set as for a method's block, the end padded to 16.
// Call sites inside stubs are never moved, so no PC map records them.
static uint8_t* generateAt(uint8_t* at, TGenerator gen, TGenerator1 gen1, uint64_t argument, int number) {
  void (*relCall)(uint64_t, uint64_t) = tMapRelCall;
  void (*only)(uint64_t, uint64_t) = tMapOnly;
  void (*lit)(uint64_t, uint64_t, int64_t) = tMapLit;
  tMapRelCall = nullptr;
  tMapOnly = nullptr;
  tMapLit = nullptr;
  startNMethod = at - nMethodHeaderSize;
  uint8_t* end = gen != nullptr ? gen(at) : gen1(at, argument, number);
  tMapRelCall = relCall;
  tMapOnly = only;
  tMapLit = lit;
  return cNopGenTo(end, align16(end));
}

static uint8_t* generateStub(TGenerator gen, TGenerator1 gen1, uint64_t argument, int number, const char* description) {
  uint8_t* scratch = align16((uint8_t*)(uintptr_t)nMethodAllocScratch(800));
  uint64_t length = (uint64_t)(generateAt(scratch, gen, gen1, argument, number) - scratch);
  uint8_t* stub = (uint8_t*)(uintptr_t)nMethodPermAlloc(length);
  if (stub == nullptr) {
    doReportError("No room for run-time code in the native-method zone", errFatal | errCauseLimit, tauxFile, __LINE__);
    return nullptr;
  }
  if (nzoneRTSymbolCount == 0) {
    profile_compaction_area = (uint64_t)(uintptr_t)stub + length;
    profile_other_area = ((profile_compaction_area + maxNZonePC) / 2 + 15) & ~uint64_t(15);
    enterSymbol(profile_other_area, "OtherCode");
    enterSymbol(profile_compaction_area, "CompactedCode");
  }
  uint8_t* end = generateAt(stub, gen, gen1, argument, number);
  if ((uint64_t)(end - stub) != length) TAbortFunc("Run-time stub changed its length", -1, end, tauxFile, __LINE__);
  char name[sizeof nzoneRTSymbolTable[0].name];
  stubSymbol(description, gen1 != nullptr ? number : -1, name, sizeof name);
  enterSymbol((uint64_t)(uintptr_t)stub, name);
  if ((tDebug & 0x80) != 0) listStub(name, stub, end);
  rtFlushICache();
  return stub;
}

uint8_t* tGenerate(TGenerator generator, const char* name) { return generateStub(generator, nullptr, 0, -1, name); }

uint8_t* tGenerate1(TGenerator1 generator, uint64_t argument, int number, const char* name) {
  return generateStub(nullptr, generator, argument, number, name);
}

// ---------------------------------------------------------------- the first translation

static void layoutDiffers(int line) {
  TAbortFunc("Entry sequence differs from its layout", -1, nullptr, tauxFile, line);
}

void initFirstTime() {
  generatingRuntimeRoutines = 1;
  resetCodeSymbols();  // the zone's permanent area is fresh
  numThresholdRefs = 0;
  initTxAborts();
  // The offsets that glue, frames and PICs rely on, measured on generated code.
  uint8_t* scratch = align16((uint8_t*)(uintptr_t)nMethodAllocScratch(140 + 16));
  uint8_t* abortReturn = emitCallR(emitMovRI32(scratch + nMethodCannotResumeEntry, rAX, 0), rAX);
  uint8_t* missReturn = emitCallRel(scratch + nMethodAbortSendMissOffset, scratch);
  if (abortReturn != scratch + nMethodAbortOffsetOffset || missReturn != scratch + nMethodAbortSendMissReturnOffset) {
    layoutDiffers(__LINE__);
  }
  TVInfo block = {};
  block.isBlock = 1;
  block.frameSize = 12;
  if (genEntrySequence(scratch, &block, AbortSendTable[0]) != scratch + nMethodBlockEntry) layoutDiffers(__LINE__);
  for (uint8_t tag : {0, 1, 3, 5}) {
    TVInfo method = {};
    method.receiverTag = tag;
    if (genEntrySequence(scratch, &method, AbortSendTable[0]) != scratch + nMethodEntryNoCheck) layoutDiffers(__LINE__);
  }
  initEntryCodeTable();
  makeTranslatedPrimitives();
  initStoreInst();
  generatingRuntimeRoutines = 0;
}
