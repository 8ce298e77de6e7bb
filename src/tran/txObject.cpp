// Translator: the translated identity, class, hash, instance-creation, subscript, block-value
// and perform: primitives, their record tables, and the stubs they call ("create array", "make
// copying block 1 value", "get self class format"), and the stubs that gather stack values into
// Arrays and blocks. Owns txControlPrims, txMemPrims, txSubscriptPrims and the stubs' addresses.
// Prefix: tx (txMakeAllocStubs, txMakeGatherStubs, txMakeClassFormatStub).
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

static uint8_t* genIdentity(uint8_t* at, const TranslatedPrimRecord* r, int inlineFailure);
static uint8_t* genClass(uint8_t* at, const TranslatedPrimRecord* r, int inlineFailure);
static uint8_t* genIdentityHash(uint8_t* at, const TranslatedPrimRecord* r, int inlineFailure);
static uint8_t* genRetag(uint8_t* at, const TranslatedPrimRecord* r, int inlineFailure);
static uint8_t* genCharacterFor(uint8_t* at, const TranslatedPrimRecord* r, int inlineFailure);
static uint8_t* genMaxHash(uint8_t* at, const TranslatedPrimRecord* r, int inlineFailure);
static uint8_t* genPerform(uint8_t* at, const TranslatedPrimRecord* r, int inlineFailure);
static uint8_t* genBlockValue(uint8_t* at, const TranslatedPrimRecord* r, int inlineFailure);
static uint8_t* genMakePair(uint8_t* at, const TranslatedPrimRecord* r, int inlineFailure);
static uint8_t* genNew(uint8_t* at, const TranslatedPrimRecord* r, int inlineFailure);
static uint8_t* genNewWithArg(uint8_t* at, const TranslatedPrimRecord* r, int inlineFailure);
static uint8_t* genBasicAt(uint8_t* at, const TranslatedPrimRecord* r, int inlineFailure);
static uint8_t* genBasicSize(uint8_t* at, const TranslatedPrimRecord* r, int inlineFailure);
static uint8_t* genBasicAtPut(uint8_t* at, const TranslatedPrimRecord* r, int inlineFailure);
static uint8_t* genElementAtPut(uint8_t* at, const TranslatedPrimRecord* r, int inlineFailure);
static uint8_t* genElementAt(uint8_t* at, const TranslatedPrimRecord* r, int inlineFailure);

TranslatedPrimRecord txControlPrims[6] = {
    txRecord(501, 0, 0, 0, genBlockValue), txRecord(502, 1, 0, 0, genBlockValue),
    txRecord(503, 2, 0, 0, genBlockValue), txRecord(511, 1, 0, 0, genPerform),
    txRecord(512, 2, 0, 0, genPerform),
    {},
};
TranslatedPrimRecord txMemPrims[12] = {
    txRecord(18, 1, 0, 0, genMakePair), txRecord(70, 0, 0, 0, genNew),
    txRecord(71, 1, 0, 0, genNewWithArg), txRecord(75, 0, 0, 0, genIdentityHash),
    txRecord(109, 1, 0, 192, genIdentity), txRecord(110, 1, 0, 192, genIdentity),
    txRecord(111, 0, 0, 192, genClass), txRecord(410, 0, 0, 192, genRetag),
    txRecord(411, 1, 0, 0, genCharacterFor), txRecord(820, 0, 0, 192, genRetag),
    txRecord(1065, 0, 0, 192, genMaxHash),
    {},
};
TranslatedPrimRecord txSubscriptPrims[14] = {
    txRecord(60, 1, 0, 0, genBasicAt), txRecord(61, 2, 0, 0, genBasicAtPut),
    txRecord(62, 0, 0, 0, genBasicSize), txRecord(63, 1, 0, 0, genBasicAt),
    txRecord(64, 2, 0, 0, genElementAtPut), txRecord(412, 1, 0, 0, genBasicAt),
    txRecord(413, 2, 0, 0, genElementAtPut), txRecord(420, 1, 0, 0, genBasicAt),
    txRecord(421, 2, 0, 0, genElementAtPut), txRecord(423, 1, 0, 0, genBasicAt),
    txRecord(424, 2, 0, 0, genElementAtPut), txRecord(540, 1, 0, 0, genElementAt),
    txRecord(544, 1, 0, 0, genElementAt),
    {},
};

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
  at = txArgumentCheck(&fail[0], at);
  at = emitTestRR(at, rR12, rR12);
  at = emitJccRel8(at, ccS, 0);
  fail[1] = at;
  at = emitMovRR(at, rBX, rR12);
  at = emitAluRI8(at, aluSub, rBX, 2);
  at = emitRet(at);
  txFixShortList(fail, 2, at);
  return txGiveUp(at, r, inlineFailure);
}

// 1065: the largest identity hash as a SmallInteger.
static uint8_t* genMaxHash(uint8_t* at, const TranslatedPrimRecord*, int) {
  at = emitMovRI32(at, rBX, (int32_t)(((uint64_t)identityHashMax << 3) | 3));
  return emitRet(at);
}

// ---- the allocation stubs -------------------------------------------------------------------

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

enum : uint64_t { blockClosureHeader = 0x8000000C0300000Dull };  // class 13, three named slots

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
  at = txAllocInline(at, rR12, 0, rR9, 0, rBX, &slow);
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
  uint8_t* slow;
  at = txAllocInline(at, -1, 24, -1, blockClosureHeader, rR9, &slow);
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

// ---- objects gathered from the stack --------------------------------------------------------
// Generated code pushes the values (the first pushed is the deepest) and calls one of these
// stubs, which builds the Array and block in eden, takes the values off the stack under the
// return address and answers the new object in rbx. New objects need no store check. What
// the stub cannot make goes to the run-time routine with the registers and stack as they came.

enum GatherKind : uint64_t { gatherArray, gatherCopying, gatherFullCopying, gatherFull };
static const void* gatherSlowPath[4];

// Eden's top into r14 through rax (which keeps its address).
static uint8_t* loadEdenTop(uint8_t* at) {
  uint64_t top = (uint64_t)(uintptr_t)&eden.allocPtr;
  at = top <= 0x7FFFFFFFu ? emitMovR32I32(at, rAX, (uint32_t)top) : emitMovRI64(at, rAX, top);
  return emitMovRM(at, rR14, rAX, 0);
}

// The block's header and slots at r14: the method in rbx, the outer context (the frame's
// context for full blocks, else nil) and copied; rax clobbered.
static uint8_t* storeBlock(uint8_t* at, bool full, int copiedReg) {
  at = emitLeaRM(at, rAX, rR14, int32_t(objectHeaderBytes));
  at = emitMovMR(at, rR14, 0, rAX);
  at = emitMovRI64(at, rAX, blockClosureHeader);
  at = emitMovMR(at, rR14, 8, rAX);
  at = emitMovMR(at, rR14, 16, rBX);
  at = full ? emitMovRM(at, rAX, rBP, 8 * frContext) : loadNil(at, rAX);
  at = emitMovMR(at, rR14, 24, rAX);
  return emitMovMR(at, rR14, 32, copiedReg);
}

// The count arrives in rbx ("cons array") or r12 (the copying blocks); "make full block" has
// none. Full blocks are made here only when the frame (rbp) already has its context.
static uint8_t* genGatherStub(uint8_t* at, uint64_t kind, int) {
  const bool full = kind == gatherFull || kind == gatherFullCopying;
  const int countReg = kind == gatherArray ? rBX : rR12;
  uint8_t* slow[4] = {};
  if (full) {
    at = emitMovRM(at, rAX, rBP, 8 * frNMethod);
    at = emitTestR8I8(at, rAX, uint8_t(frameHybridBit));
    at = emitJccRel32(at, ccE, 0);
    slow[0] = at;
  }
  if (kind == gatherFull || kind == gatherFullCopying) {
    // The block alone: a full block, or a full copying block of one value held as itself.
    uint8_t* many = nullptr;
    if (kind == gatherFullCopying) {
      at = emitCmpRI(at, rR12, 1);
      at = emitJccRel32(at, ccNE, 0);
      many = at;
    }
    at = txAllocInline(at, -1, 24, -1, blockClosureHeader, rR9, &slow[1]);
    if (kind == gatherFull) {
      at = loadNil(at, rR11);
    } else {
      at = emitMovRM(at, rR11, rSP, 8);
    }
    at = emitMovRR(at, rR14, rR9);
    at = storeBlock(at, true, rR11);
    at = emitMovRR(at, rBX, rR9);
    at = kind == gatherFull ? emitRet(at) : emitRetI16(at, 8);
    if (kind == gatherFull) {
      for (uint8_t* j : slow) if (j != nullptr) cgenPatchRel32(j, at);
      return emitJmpRel32(at, gatherSlowPath[kind]);
    }
    cgenPatchRel32(many, at);
  }
  // An Array of the count's values (r9 := its body's bytes), then the block behind it; one
  // compare with the limit covers both.
  const int32_t extra = kind == gatherArray ? 0 : int32_t(objectHeaderBytes + 24);
  at = emitMovRR(at, rR9, countReg);
  at = emitShiftRI(at, shiftShl, rR9, 3);
  at = emitCmpRI(at, rR9, 2008);
  at = emitJccRel32(at, ccA, 0);
  slow[2] = at;
  at = loadEdenTop(at);
  at = emitLeaRMIdxD8(at, rR14, rR14, rR9, int8_t(objectHeaderBytes + extra));
  at = txEdenLimitCompare(at);
  at = emitJccRel32(at, ccA, 0);
  slow[3] = at;
  at = emitMovMR(at, rAX, 0, rR14);  // eden's new top
  at = emitMovRR(at, rR11, rR14);    // r11 := the Array
  at = emitAluRR(at, aluRRSub, rR11, rR9);
  at = emitAluRI8(at, aluSub, rR11, int8_t(objectHeaderBytes + extra));
  at = emitLeaRM(at, rAX, rR11, int32_t(objectHeaderBytes));
  at = emitMovMR(at, rR11, 0, rAX);
  at = emitMovRR(at, rAX, rR9);
  at = emitShiftRI(at, shiftShl, rAX, 21);  // the size field (words << 24)
  at = emitMovRI64(at, rR14, uint64_t(hasPtrsBit) | classIndexArray);
  at = emitAluRR(at, aluRROr, rAX, rR14);
  at = emitMovMR(at, rR11, 8, rAX);
  // The values, deepest first: slot i is at rsp + 8 * (count - i).
  at = emitLeaRM(at, rR14, rR11, int32_t(objectHeaderBytes));
  uint8_t* loop = at;
  at = emitTestRR(at, rR9, rR9);
  at = emitJccRel8(at, ccE, 0);
  uint8_t* done = at;
  at = emitMovRMIdxD8(at, rAX, rSP, rR9, 0);
  at = emitMovMR(at, rR14, 0, rAX);
  at = emitAluRI8(at, aluAdd, rR14, 8);
  at = emitAluRI8(at, aluSub, rR9, 8);
  at = emitJmpRel8(at, int8_t(loop - (at + 2)));
  txFixShortList(&done, 1, at);
  if (kind != gatherArray) {  // r14 is the block's header, right behind the Array
    at = storeBlock(at, full, rR11);
    at = emitMovRR(at, rR11, rR14);
  }
  // Off the stack under the return address.
  at = emitMovRR(at, rR9, countReg);
  at = emitShiftRI(at, shiftShl, rR9, 3);
  at = emitMovRM(at, rAX, rSP, 0);
  at = emitMovMIdxR(at, rSP, rR9, rAX);
  at = emitLeaRMIdxD8(at, rSP, rSP, rR9, 0);
  at = emitMovRR(at, rBX, rR11);
  at = emitRet(at);
  for (uint8_t* j : slow) if (j != nullptr) cgenPatchRel32(j, at);
  return emitJmpRel32(at, gatherSlowPath[kind]);
}

uint8_t* txGenGatherStub(uint8_t* at, uint64_t kind, const void* slowPath) {
  gatherSlowPath[kind] = slowPath;
  return genGatherStub(at, kind, -1);
}

void txMakeGatherStubs() {
  const void** slots[4] = {&tRt.consArray, &tRt.makeCopyingBlock, &tRt.makeFullCopyingBlock, &tRt.makeFullBlock};
  const char* const names[4] = {"cons array", "make copying block", "make full copying block", "make full block"};
  for (uint64_t k = 0; k < 4; k++) {
    gatherSlowPath[k] = *slots[k];
    *slots[k] = tGenerate1(genGatherStub, k, -1, names[k]);
  }
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

// The nmethods the block value primitives last jumped to, by argument count and a few bits
// of the block's method oop: a hit skips the method's header and the table's chain, the
// slowest part of a value. Every entry points at an empty header (its vmethod odd, so never
// equal to a method oop) from start-up on and whenever an nmethod is freed or moved.
static const NMethodHeader noBlockEntry = {0, 0, nmFlagUnlinked, 0, 0, 0, 0, {}, 1, 0};
uint64_t lastBlockEntries[4][lastBlockEntryCount];

void txForgetBlockEntries() {
  for (auto& row : lastBlockEntries)
    for (uint64_t& e : row) e = (uint64_t)(uintptr_t)&noBlockEntry;
}

static uint8_t* movAddress(uint8_t* at, int reg, uint64_t address) {
  return address <= 0x7FFFFFFFu ? emitMovR32I32(at, reg, (uint32_t)address) : emitMovRI64(at, reg, address);
}

// r9 := the entry's index for the method oop in r15.
static uint8_t* lastEntryIndex(uint8_t* at) {
  at = emitMovRR(at, rR9, rR15);
  at = emitShiftRI(at, shiftShr, rR9, 3);
  return emitAluRI8(at, aluAnd, rR9, lastBlockEntryCount - 1);
}

// Falls through when the nmethod in rax is the translation of the block's method in r15 and
// is not unlinked; otherwise one of the two short jumps, answered in out, is taken.
static uint8_t* ifNotBlockMethodsNMethod(uint8_t* at, uint8_t** out) {
  at = emitCmpRM(at, rR15, rAX, offsetof(NMethodHeader, vmethod));
  at = emitJccRel8(at, ccNE, 0);
  out[0] = at;
  at = emitTestM8I8(at, rAX, offsetof(NMethodHeader, flags), nmFlagUnlinked);
  at = emitJccRel8(at, ccNE, 0);
  out[1] = at;
  return at;
}

// 501-503 value, value:, value:value:: the block's method (its first slot) is looked up in the
// block table of this argument count as blockVToNMethod looks it up (the method's identity
// hash picks the bucket; unlinked nmethods are passed over), and a find is entered at its
// block entry with the sender's return address still on top and the arguments where a send
// leaves them, so that the block answers the sender. Every other case (no such nmethod yet,
// another argument count, a receiver that is no block) goes to C, which translates or fails
// and may move this nmethod: the call carries the return mark.
static uint8_t* genBlockValue(uint8_t* at, const TranslatedPrimRecord* r, int) {
  const VToNTable& table = allVToNTables[txArgCount(r)];
  if (lastBlockEntries[0][0] == 0) txForgetBlockEntries();  // before the first such code runs
  const uint64_t last = (uint64_t)(uintptr_t)&lastBlockEntries[txArgCount(r)][0];
  uint8_t* toC[5];
  at = emitTestR8I8(at, rBX, 1);  // an immediate receiver
  at = emitJccRel32(at, ccNE, 0);  // long: the cache's path lies between
  toC[0] = at;
  at = emitMovRM(at, rR9, rBX, 8);  // the header: pointers (sign bit) and at least one slot
  at = emitTestRR(at, rR9, rR9);
  at = emitJccRel32(at, ccNS, 0);
  toC[1] = at;
  at = emitCmpM8I8(at, rBX, 8 + 3, 0);  // the header's size field: no slots
  at = emitJccRel32(at, ccE, 0);
  toC[2] = at;
  at = emitMovRM(at, rAX, rBX, 0);
  at = emitMovRM(at, rR15, rAX, 0);  // the block's method
  at = emitBtRI(at, rR15, 0);
  at = emitJccRel32(at, ccB, 0);
  toC[3] = at;
  at = movAddress(at, rAX, last);
  at = lastEntryIndex(at);
  at = emitMovRMIdx8(at, rAX, rAX, rR9);  // the nmethod last found for such a method
  uint8_t* miss[2];
  at = ifNotBlockMethodsNMethod(at, miss);
  at = emitAluRI8(at, aluAdd, rAX, (int8_t)nMethodBlockEntry);
  at = emitJmpR(at, rAX);
  txFixShortList(miss, 2, at);
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
  uint8_t* other[2];
  at = ifNotBlockMethodsNMethod(at, other);
  at = lastEntryIndex(at);
  at = movAddress(at, rR11, last);
  at = emitMovMIdx8R(at, rR11, rR9, rAX);  // remembered for the next value
  at = emitAluRI8(at, aluAdd, rAX, (int8_t)nMethodBlockEntry);
  at = emitJmpR(at, rAX);
  txFixShortList(other, 2, at);
  at = emitMovRM(at, rAX, rAX, offsetof(NMethodHeader, link));
  at = emitJmpRel8(at, (int8_t)(chain - (at + 2)));
  for (int i = 0; i < 4; i++) cgenPatchRel32(toC[i], at);
  txFixShortList(&toC[4], 1, at);
  return txUseCPrim(r, at, 1);
}

// ---- instance creation ----------------------------------------------------------------------
// New objects lie in eden: storing into them needs no store check.

// 18: a Point of the receiver and the argument.
static uint8_t* genMakePair(uint8_t* at, const TranslatedPrimRecord* r, int inlineFailure) {
  oop cls = sysOop(sysPointClass);
  uint64_t tag = isImmediate(cls) ? 0 : hashOf(headerOf(cls));  // a class's hash is its index
  if (tag == 0) return txUseCPrim(r, at, 0);
  TxExits e;
  uint8_t* slow;
  at = txAllocInline(at, -1, 16, -1, hasPtrsBit | (uint64_t(2) << 34) | (uint64_t(2) << 24) | tag, rR15, &slow);
  txAddJump(e.toC32, slow);
  at = emitMovMR(at, rR14, 0, rBX);
  at = emitMovMR(at, rR14, 8, rR12);
  at = emitMovRR(at, rBX, rR15);
  at = emitRet(at);
  return txExitsTail(at, r, inlineFailure, e);
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
static uint8_t* classAndFormat(uint8_t* at, uint32_t mask, uint32_t want, TxExits& e) {
  at = emitMovRM(at, rR9, rBX, 0);
  at = emitMovRM(at, rR9, rR9, 8 * classFormatSlot);
  at = emitMovRR(at, rAX, rR9);
  at = emitAndEAXI32(at, mask);
  at = emitCmpRI(at, rAX, (int32_t)want);
  at = emitJccRel32(at, ccNE, 0);
  txAddJump(e.toC32, at);
  at = emitMovRM(at, rR15, rBX, 8);
  at = emitShiftRI(at, shiftShr, rR15, 42);
  at = emitAluR32I32(at, aluAnd, rR15, identityHashMax);  // the hash field alone
  at = emitJccRel32(at, ccE, 0);
  txAddJump(e.toC32, at);
  return at;
}

// The end of 70 and 71 for pointer instances: r15 (the header word but hasPtrs) marked as
// holding pointers, a body of r9 bytes allocated into rbx (no room: e.toC32) and filled with nil.
static uint8_t* pointerInstanceTail(uint8_t* at, TxExits& e) {
  at = emitMovRI64(at, rAX, hasPtrsBit);
  at = orRR(at, rR15, rAX);
  uint8_t* slow;
  at = txAllocInline(at, rR9, 0, rR15, 0, rBX, &slow);
  txAddJump(e.toC32, slow);
  at = loadNil(at, rR15);
  at = fillLoop(at, rR15);
  return emitRet(at);
}

// 70: an instance of a class with named slots only (pointers, neither weak nor ephemeron),
// its slots nil. Bodies above 251 words are left to C.
static uint8_t* genNew(uint8_t* at, const TranslatedPrimRecord* r, int inlineFailure) {
  TxExits e;
  at = classAndFormat(at, 0xE8000, 0x20000, e);
  at = emitAluRI32(at, aluAnd, rR9, 0x7FF8);  // named slots x 8: the body's bytes
  at = emitCmpRI(at, rR9, 2008);
  at = emitJccRel32(at, ccA, 0);
  txAddJump(e.toC32, at);
  at = orShifted(at, rR9, 21);  // the size field (words << 24)
  at = orShifted(at, rR9, 31);  // the named count (<< 34)
  at = pointerInstanceTail(at, e);
  return txExitsTail(at, r, inlineFailure, e);
}

// 71: an instance of an indexable class (neither weak nor ephemeron) with the SmallInteger
// in r12 as its indexed size: pointers filled with nil, bytes with 0. A size that is not a
// SmallInteger of 0 or more fails as in C; bodies above 251 words are left to C.
static uint8_t* genNewWithArg(uint8_t* at, const TranslatedPrimRecord* r, int inlineFailure) {
  TxExits e;
  at = classAndFormat(at, 0xC8000, 0x8000, e);
  at = emitBtRI(at, rR12, 1);
  at = emitJccRel32(at, ccAE, 0);
  txAddJump(e.fails32, at);
  at = emitTestRR(at, rR12, rR12);
  at = emitJccRel32(at, ccS, 0);
  txAddJump(e.fails32, at);
  at = emitBtRI(at, rR9, 17);  // pointers
  at = emitJccRel32(at, ccAE, 0);
  uint8_t* bytes = at;
  at = emitAluRI32(at, aluAnd, rR9, 0x7FF8);  // named x 8
  at = orShifted(at, rR9, 31);                // the named count (<< 34)
  at = emitMovRR(at, rAX, rR12);
  at = emitAluRI8(at, aluSub, rAX, 3);        // the size x 8
  at = emitAluRR(at, aluRRAdd, rR9, rAX);             // body bytes
  at = emitJccRel32(at, ccB, 0);
  txAddJump(e.toC32, at);
  at = emitCmpRI(at, rR9, 2008);
  at = emitJccRel32(at, ccA, 0);
  txAddJump(e.toC32, at);
  at = orShifted(at, rR9, 21);                // the size field
  at = pointerInstanceTail(at, e);
  cgenPatchRel32(bytes, at);
  at = emitCmpRI(at, rR12, 2001 * 8 + 3);
  at = emitJccRel32(at, ccA, 0);
  txAddJump(e.toC32, at);
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
  at = txAllocInline(at, rR9, 0, rR15, 0, rBX, &slow);
  txAddJump(e.toC32, slow);
  at = emitXorRR(at, rR15, rR15);
  at = fillLoop(at, rR15);
  at = emitRet(at);
  return txExitsTail(at, r, inlineFailure, e);
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
    txAddJump(immutableFails, at);
  }
  at = emitMovRM(at, rAX, rBX, 0);
  at = emitMovRM(at, rAX, rAX, -8);
  at = emitAluRI8(at, aluAnd, rAX, -8);
  txFixShortList(&inHeader, 1, at);
  return at;
}

// mov d32, [base+disp] (8B): the upper half of d is cleared.
static uint8_t* movR32M(uint8_t* at, int d, int base, int32_t disp) {
  at = cgenRexOpt(at, d, base);
  at = cgenPutB(0x8B, at);
  return cgenModMem(at, d, base, disp);
}

// The receiver most subscripts meet, a pointer object without named slots (for stores also
// not immutable), told by one test of the header's upper half (at +12): anything else takes
// the long jump *other to the general path. rax is clobbered.
static uint8_t* plainPointers(uint8_t* at, bool store, uint8_t** other) {
  const uint64_t immutable = store ? uint64_t(isImmutableBit) : 0;
  const uint32_t mask = uint32_t((hasPtrsBit | indexabilityMask | immutable) >> 32);
  at = movR32M(at, rAX, rBX, 12);
  at = emitAluR32I32(at, aluAnd, rAX, (int32_t)mask);
  at = emitAluR32I32(at, aluCmp, rAX, (int32_t)uint32_t(hasPtrsBit >> 32));
  at = emitJccRel32(at, ccNE, 0);
  *other = at;
  return at;
}

// rax := the body words of a pointer receiver: the header's size field (byte +11), or for
// larger bodies the size word before the body, whose address is in body (or, when body is
// rax, loaded from the receiver).
static uint8_t* pointerWords(uint8_t* at, int body) {
  at = emitMovzxBR32M(at, rAX, rBX, 11);
  at = emitCmpRI(at, rAX, maxInlineBodyWords);
  at = emitJccRel8(at, ccBE, 0);
  uint8_t* inHeader = at;
  if (body == rAX) at = emitMovRM(at, rAX, rBX, 0);
  at = emitMovRM(at, rAX, body, -8);
  at = emitShiftRI(at, shiftShr, rAX, 3);
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

// rbx := the byte or two-byte element at the 0-based index r9 of the receiver's body, as a
// SmallInteger or (63, 412) a Character; returns.
static uint8_t* byteAnswer(uint8_t* at, const TranslatedPrimRecord* r) {
  const bool units = r->number == 412 || r->number == 423;
  at = emitMovRM(at, rR11, rBX, 0);
  at = units ? emitMovzxWR32MIdx(at, rAX, rR11, rR9, 2) : emitMovzxBR32MIdx(at, rAX, rR11, rR9, 1);
  at = emitLeaTagInt(at, rBX, rAX);
  if (r->number == 63 || r->number == 412) at[-4] = oopTagCharacter;  // the displacement: a Character's tag
  return emitRet(at);
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
  at = byteAnswer(at, r);
  uint8_t* over = nullptr;
  for (int i = 0; i < nFails; i++) if (fails[i] != nullptr) cgenPatchRel32(fails[i], at);
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
  uint8_t* fails[5] = {};
  at = emitTestR8I8(at, rBX, 7);
  at = emitJccRel32(at, ccNE, 0);  // the give-up jumps are long: the two paths lie between
  fails[0] = at;
  at = emitBtRI(at, rR12, 1);
  at = emitJccRel32(at, ccAE, 0);
  fails[1] = at;
  uint8_t* general = nullptr;
  if (r->number == 60) {
    // Arrays first: no named slots, no class format, one bounds test.
    at = plainPointers(at, false, &general);
    at = emitLeaRM(at, rR9, rR12, -11);
    at = emitShiftRI(at, shiftSar, rR9, 3);   // 0-based index
    at = emitMovRM(at, rR11, rBX, 0);         // the body
    at = pointerWords(at, rR11);
    at = emitCmpRR(at, rR9, rAX);
    at = emitJccRel32(at, ccAE, 0);           // out of range (below 1 included)
    fails[4] = at;
    at = emitMovRMIdx8(at, rBX, rR11, rR9);
    at = emitRet(at);
    cgenPatchRel32(general, at);
  } else {
    // Byte objects whose size the header holds: one format test, one bounds test.
    at = movR32M(at, rR11, rBX, 12);          // the header's upper half
    at = emitBtRI(at, rR11, 31);
    at = emitJccRel32(at, ccB, 0);            // a pointer object
    fails[3] = at;
    at = emitMovzxBR32M(at, rAX, rBX, 11);    // body words
    at = emitCmpRI(at, rAX, maxInlineBodyWords);
    at = emitJccRel32(at, ccA, 0);
    general = at;
    at = emitShiftRI(at, shiftShl, rAX, 3);
    at = emitShiftRI(at, shiftShr, rR11, indexabilityShift - 32);
    at = emitAluRI8(at, aluAnd, rR11, 7);     // unused bytes of the last word
    at = emitAluRR(at, aluRRSub, rAX, rR11);
    if (r->number == 412 || r->number == 423) at = emitShiftRI(at, shiftShr, rAX, 1);
    at = emitLeaRM(at, rR9, rR12, -11);
    at = emitShiftRI(at, shiftSar, rR9, 3);   // 0-based index
    at = emitCmpRR(at, rR9, rAX);
    at = emitJccRel32(at, ccAE, 0);           // out of range (below 1 included)
    fails[4] = at;
    at = byteAnswer(at, r);
    cgenPatchRel32(general, at);
  }
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
    return genByteAt(at, r, inlineFailure, fails, 5, nullptr);
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
  return genByteAt(at, r, inlineFailure, fails, 5, toC);
}

// ---- subscript stores and element reads -----------------------------------------------------
// 61, 64, 413, 421, 424 store, 540 and 544 read. None changes r12 or r13: every path that gives
// up leaves the send's operands as they came. Immutable receivers of stores fail, as in C
// whatever the index or value.

// Immediate receivers take e.fails32.
static uint8_t* heapReceiver(uint8_t* at, TxExits& e) {
  at = emitTestR8I8(at, rBX, 7);
  at = emitJccRel32(at, ccNE, 0);
  txAddJump(e.fails32, at);
  return at;
}
// r15 := the header word, rax := the body's bytes, r11 := the indexability byte. For stores
// immutable receivers take e.fails32.
static uint8_t* headerSize(uint8_t* at, bool store, TxExits& e) {
  at = emitMovRM(at, rR15, rBX, 8);
  at = bodyBytes(at, rR15, store ? e.fails32 : nullptr);
  at = emitMovRR(at, rR11, rR15);
  at = emitShiftRI(at, shiftShr, rR11, 34);
  return emitAluRI32(at, aluAnd, rR11, 0xFF);
}
// Both of the above.
static uint8_t* receiverSize(uint8_t* at, bool store, TxExits& e) {
  return headerSize(heapReceiver(at, e), store, e);
}

// 62 (basic size): a byte object's byte count, or a pointer object's slots past the named
// ones. Immediates fail; a pointer object without indexed slots answers 0 when its class is
// indexable and fails otherwise, as in C.
static uint8_t* genBasicSize(uint8_t* at, const TranslatedPrimRecord* r, int inlineFailure) {
  TxExits e;
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
  txAddJump(e.toC32, toC);
  at = emitAluRR(at, aluRRSub, rAX, rR11);
  if (txClassFormatStub == nullptr) {
    at = emitJccRel32(at, ccLE, 0);           // no indexed slots: the class decides, in C
    txAddJump(e.toC32, at);
    at = emitLeaTagInt(at, rBX, rAX);
    return txExitsTail(emitRet(at), r, inlineFailure, e);
  }
  at = emitJccRel8(at, ccLE, 0);
  uint8_t* none = at;
  at = emitLeaTagInt(at, rBX, rAX);
  at = emitRet(at);
  txFixShortList(&none, 1, at);
  at = tCallRecorded(at, txClassFormatStub);
  at = emitBtRI(at, rR11, 3 + __builtin_ctzll(formatIndexable));  // the format is a SmallInteger
  at = emitJccRel32(at, ccAE, 0);
  txAddJump(e.fails32, at);
  at = emitMovRI32(at, rBX, (int32_t)smallIntegerFor(0));
  at = emitRet(at);
  return txExitsTail(at, r, inlineFailure, e);
}

// r9 := the 0-based index from the SmallInteger in r12 (anything else takes e.fails32).
static uint8_t* zeroBasedIndex(uint8_t* at, TxExits& e) {
  at = emitBtRI(at, rR12, 1);
  at = emitJccRel32(at, ccAE, 0);
  txAddJump(e.fails32, at);
  at = emitLeaRM(at, rR9, rR12, -11);           // (index - 1) x 8
  return emitShiftRI(at, shiftSar, rR9, 3);
}

// Jumps to e.fails32 unless (reg & ~mask) == tag: a SmallInteger or Character whose value
// lies in 0..mask >> 3. rax is clobbered.
static uint8_t* valueCheck(uint8_t* at, int reg, int32_t mask, int32_t tag, TxExits& e) {
  at = emitMovRR(at, rAX, reg);
  at = emitAluRI32(at, aluAnd, rAX, ~mask);
  at = emitCmpRI(at, rAX, tag);
  at = emitJccRel32(at, ccNE, 0);
  txAddJump(e.fails32, at);
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
  TxExits e;
  at = zeroBasedIndex(at, e);
  at = heapReceiver(at, e);
  // Arrays first: no named slots, no class format, one bounds test.
  uint8_t* general;
  at = plainPointers(at, true, &general);
  at = pointerWords(at, rAX);
  at = emitCmpRR(at, rR9, rAX);
  at = emitJccRel32(at, ccAE, 0);                // out of range (below 1 included)
  txAddJump(e.fails32, at);
  at = tStoreIndexed(at);
  cgenPatchRel32(general, at);
  at = headerSize(at, true, e);
  at = emitBtRI(at, rR15, 63);
  at = emitJccRel32(at, ccAE, 0);
  uint8_t* bytes = at;
  at = emitShiftRI(at, shiftShr, rAX, 3);        // body words
  uint8_t* toC;
  at = namedCountOfPointers(at, &toC);
  txAddJump(e.toC32, toC);
  at = emitAluRR(at, aluRRSub, rAX, rR11);               // indexed slots
  at = emitJccRel32(at, ccB, 0);                 // fewer words than named slots: none
  txAddJump(e.fails32, at);
  at = emitCmpRR(at, rR9, rAX);
  at = emitJccRel32(at, ccAE, 0);                // out of range (below 1 included)
  txAddJump(e.fails32, at);
  at = emitAluRR(at, aluRRAdd, rR9, rR11);               // past the named slots
  at = tStoreIndexed(at);
  cgenPatchRel32(bytes, at);
  at = emitAluRI8(at, aluAnd, rR11, 7);
  at = emitAluRR(at, aluRRSub, rAX, rR11);               // the byte size
  at = emitCmpRR(at, rR9, rAX);
  at = emitJccRel32(at, ccAE, 0);
  txAddJump(e.fails32, at);
  at = valueCheck(at, rR13, 0x7F8, oopTagSmallInteger, e);
  at = storeByteOrUnit(at, false);
  return txExitsTail(at, r, inlineFailure, e);
}

// After receiverSize: a byte object's size in bytes into rax (its body's bytes less the odd
// count in the indexability byte's low three bits); pointer objects (r15's top bit) fail.
static uint8_t* byteObjectSize(uint8_t* at, TxExits& e) {
  at = emitBtRI(at, rR15, 63);
  at = emitJccRel32(at, ccB, 0);
  txAddJump(e.fails32, at);
  at = emitAluRI8(at, aluAnd, rR11, 7);
  return emitAluRR(at, aluRRSub, rAX, rR11);
}

// 64 and 413 (a Character of code 0-255 or 0-65535), 421 and 424 (a SmallInteger of 0-255 or
// 0-65535): the value's code into a byte or a two-byte element of a byte object; answers
// the value. Pointer objects fail, as in C.
static uint8_t* genElementAtPut(uint8_t* at, const TranslatedPrimRecord* r, int inlineFailure) {
  const bool units = r->number == 413 || r->number == 424;
  const bool characters = r->number == 64 || r->number == 413;
  TxExits e;
  at = zeroBasedIndex(at, e);
  at = receiverSize(at, true, e);
  at = byteObjectSize(at, e);
  if (units) at = emitShiftRI(at, shiftShr, rAX, 1);
  at = emitCmpRR(at, rR9, rAX);
  at = emitJccRel32(at, ccAE, 0);
  txAddJump(e.fails32, at);
  at = valueCheck(at, rR13, units ? 0x7FFF8 : 0x7F8, characters ? oopTagCharacter : oopTagSmallInteger, e);
  at = storeByteOrUnit(at, units);
  return txExitsTail(at, r, inlineFailure, e);
}

// 540 and 544: the unsigned little-endian 16- or 32-bit value at 1-based byte index of a byte
// object, the whole element inside the byte size, as a SmallInteger.
static uint8_t* genElementAt(uint8_t* at, const TranslatedPrimRecord* r, int inlineFailure) {
  const int width = r->number == 540 ? 2 : 4;
  TxExits e;
  at = zeroBasedIndex(at, e);
  at = receiverSize(at, false, e);
  at = byteObjectSize(at, e);
  at = emitCmpRR(at, rR9, rAX);
  at = emitJccRel32(at, ccAE, 0);                // below 1 or past the size
  txAddJump(e.fails32, at);
  at = emitAluRI8(at, aluSub, rAX, width);
  at = emitCmpRR(at, rR9, rAX);
  at = emitJccRel32(at, ccG, 0);                 // the element runs past the size
  txAddJump(e.fails32, at);
  at = emitMovRM(at, rR11, rBX, 0);
  at = width == 2 ? emitMovzxWR32MIdx(at, rAX, rR11, rR9, 1) : emitMovR32MIdx(at, rAX, rR11, rR9);
  at = emitLeaTagInt(at, rBX, rAX);
  at = emitRet(at);
  return txExitsTail(at, r, inlineFailure, e);
}
