// Translator: the translation loop over a method's bytecodes, the send sites it makes, the
// inline special selectors and the generators for blocks, Arrays, jumps, loops and branches.
// Prefix: t (generators), init (initSendTypeTable, initBxpNotBoolean).
#include "tran/tloop.h"

#include <cassert>
#include <cstring>

#include "ext/exError.h"
#include "ext/exOption.h"
#include "ext/exRequest.h"
#include "mman/mmObject.h"
#include "mman/mmSysOop.h"
#include "stack/glue.h"
#include "tran/cgenx86_64.h"
#include "tran/taux.h"
#include "tran/tbytecodes.h"
#include "tran/tpcmap.h"
#include "tran/tprim.h"
#include "tran/tsdstub.h"

int64_t badBytecodePC = -1;
SendTypeRow sendTypeTable[20];
int32_t tsMaxIndex = 22;
int32_t bxpStandardSize = -1, bxpStandardOffset;

static const char* const loopFile = SOURCE_NAME;

void initSendTypeTable() {
  for (int i = 0; i < 20; i++)
    if (sendTypeTable[i].glue == 0) sendTypeTable[i].glue = SendTable[i];
#define SEND_KIND_ENTRY(kind, base, entry, routine) \
  for (int i = base; i < base + 5; i++) sendTypeTable[i].entryOffset = entry;
  SEND_KINDS(SEND_KIND_ENTRY)
#undef SEND_KIND_ENTRY
}

void initTranAfter(uint64_t options) {
  tsMaxIndex = (options & 0x400000) ? -1 : (options & 0x100000) ? 7 : 22;
}

// ---------------------------------------------------------------- loop state

namespace {
struct LoopState {
  const uint8_t* bytecodes;  // first bytecode
  const uint8_t* end;        // one past the last
  const uint8_t* p;          // the instruction being translated
  const uint8_t* next;       // the instruction after it
  StackEntry* top;           // top of the simulated stack
  uint8_t* block;
  TVInfo* info;
  uint32_t numLocals;        // arguments, temporaries and copied values
  uint32_t instVars;         // named slots every receiver has
  bool live;                 // the code position is reachable
  bool invalid;              // an invalid encoding was met
  const uint8_t* keptPush;   // a push of a temp whose value the store before it kept on top
  OptState chain;            // the last inlined + or -: its fast path's exit and code end
  int sdStubs;               // SmallDouble stubs still to place after the method's code
  int sdLast;                // the last Double arithmetic site's stub index + 1, else 0
  StackEntry* sdLastResult;  // and the entry of its result
  bool sdFloat;              // a * or / site or a SmallDouble constant came before: the method
                             // does floating point, so SmallInteger constant sites get stubs too
};
LoopState L;
}  // namespace

// The bytecode index recorded for a place in the code: the offset of the instruction after
// the one being translated (a context resumes there).
static uint64_t nextIndex() { return uint64_t(L.next - L.bytecodes); }

static void invalid() {
  if (!L.invalid) badBytecodePC = (L.p - L.bytecodes) + 1;
  L.invalid = true;
}

static void push(const StackEntry& e) {
  if (L.top + 1 >= stackSim + stackSimEntries - 1) {
    TAbortFunc("Simulated stack overflow", L.p - L.bytecodes, nullptr, loopFile, __LINE__);
  }
  *++L.top = e;
}

// The entry n below the top, which must lie above the empty mark.
static StackEntry* operand(int n) {
  if (L.top - n <= stackEmpty) {
    TAbortFunc("Simulated stack underflow", L.p - L.bytecodes, nullptr, loopFile, __LINE__);
  }
  return L.top - n;
}

static uint8_t* relCall(const void* target, uint8_t* at) {
  at = emitCallRel(at, target);
  genMapRelCall((uint64_t)(uintptr_t)at, (uint64_t)(uintptr_t)target);
  return at;
}

static uint8_t* movLiteral(int r, uint64_t value, uint8_t* at) {
  at = emitMovRI64(at, r, value);
  genMapLit(value, (uint64_t)(uintptr_t)at, -8);
  return at;
}

// r := a 64-bit value in the shortest form the generators use: 49 C7 Cr imm32 for values that
// fit a signed 32-bit immediate, else 49 Br imm64.
static uint8_t* movValue(int r, int64_t v, uint8_t* at) {
  return cgenFitsS32(v) ? emitMovRI32(at, r, int32_t(v)) : emitMovRI64(at, r, uint64_t(v));
}

// rbx := n: xor and a byte load for 0-255, else 32 or 64 bits.
static uint8_t* movRbxCount(int64_t n, uint8_t* at) {
  if (n >= 0 && n <= 255) {
    at = emitXorRR(at, rBX, rBX);
    return n != 0 ? emitMovR8I8(at, rBX, uint8_t(n)) : at;
  }
  return movValue(rBX, n, at);
}


static void forgetMarks() { tRegisterMarks[0] = tRegisterMarks[1] = -1; }

// The loop's record of an unreachable position after a jump or return.
static void endOfPath() {
  L.top = stackEmpty;
  L.live = false;
  forgetMarks();
}

// ---------------------------------------------------------------- sends

// Special selector k's argument count from the registry's pairs, or -1.
static int specialArgCount(uint32_t k) {
  oop pairs = sysOop(sysSpecialSelectors);
  if (isImmediate(pairs) || !hasPtrs(headerOf(pairs)) || 2 * uint64_t(k) + 1 >= bodyWordsOf(headerOf(pairs))) {
    return -1;
  }
  oop n = slotOf(pairs, 2 * uint64_t(k) + 1);
  return isSmallInteger(n) && smallIntegerValue(n) >= 0 && smallIntegerValue(n) <= 255 ? int(smallIntegerValue(n)) : -1;
}

static int rowFor(int kind, int numArgs) { return kind + (numArgs < 4 ? numArgs : 4); }

// The site proper: r15 := selector index, call the row's routine, recorded in the map.
static uint8_t* sendSite(uint32_t selectorIndex, int row, uint8_t* at) {
  at = cgenSendSite(at, selectorIndex, reinterpret_cast<const void*>(uintptr_t(sendTypeTable[row].glue)));
  genMapSend(nextIndex(), (uint64_t)(uintptr_t)at, uint32_t(row));
  return at;
}

// A send of numArgs arguments to the receiver below them; superClass non-zero for a super
// send (the class where lookup starts).
static uint8_t* genSend(uint32_t selectorIndex, int numArgs, int kind, uint64_t superClass, uint8_t* at) {
  operand(numArgs);
  at = emitArgs(numArgs, L.top, at);
  if (numArgs > 3) at = emitMovRI32(at, rR9, numArgs);
  if (kind == sendKindSuper) at = movLiteral(rR11, superClass, at);
  at = sendSite(selectorIndex, rowFor(kind, numArgs), at);
  L.top -= numArgs;
  *L.top = seRegEntry(rBX);
  forgetMarks();
  return at;
}

static uint8_t* literalSend(uint32_t literal, int numArgs, int kind, uint8_t* at) {
  if (literal >= L.info->numLiterals) {
    invalid();
    return at;
  }
  uint64_t superClass = 0;
  if (kind == sendKindSuper) {
    StackEntry* cls = operand(0);
    if (cls->kind != skConst) {
      invalid();
      return at;
    }
    superClass = cls->payload;
    L.top--;
  }
  return genSend(256 + literal, numArgs, kind, superClass, at);
}

static uint8_t* specialSend(uint32_t k, int kind, uint8_t* at) {
  int numArgs = specialArgCount(k);
  if (numArgs < 0) {
    invalid();
    return at;
  }
  operand(numArgs);
  if (int32_t(k) <= tsMaxIndex && k < 23) {
    uint8_t* inlined = tSpecialProcs[k](int(k), kind, L.next, at);
    if (inlined != nullptr) return inlined;
  }
  return genSend(k, numArgs, kind, 0, at);
}

// ---------------------------------------------------------------- special selectors

static uint8_t* tNone(int, int, const uint8_t*, uint8_t*) { return nullptr; }

static bool isSmallIntConst(const StackEntry* e) { return e->kind == skConst && isSmallInteger(e->payload); }

// The send path of an inlined binary operation: argument in r12, receiver in rbx.
static uint8_t* binarySend(int index, int kind, uint8_t* at) {
  if (assignedRegSummary != emptyRegSummary) at = regFlush(at);
  return sendSite(uint32_t(index), rowFor(kind, 1), at);
}

// A branch after a comparison: the consumed branch's sense and target, or 0.
static int branchAfter(const uint8_t* next, const uint8_t** target, int* sense) {
  if (next >= L.end || !lookBranch(next, target)) return 0;
  uint8_t b = *next;
  *sense = b >= 0xEC && b <= 0xEF;
  return 1;
}

// Double paths. An operand that is not a SmallInteger at an arithmetic or comparison site jumps
// to a stub placed after the method's code, so that the site itself grows by one jump and the
// SmallInteger code keeps its short jumps. The stub takes SmallDoubles, boxed Doubles and
// SmallIntegers (not two SmallIntegers), each SmallInteger converted as the primitives and the
// image's mixed arithmetic convert it; it loads the receiver into xmm1 and the argument into
// xmm0, operates, and jumps back to the site's exit with the result in rbx, or to its true or
// false code. A result with the immediate form answers a SmallDouble; another finite one (any
// one under IEEEInfNaN) a new Double taken from eden inline, as the Double primitives box it.
// What the primitives would not answer (other operands, an infinity or a NaN without
// IEEEInfNaN) and an eden without room go back to the send, which does all of it in full.
SdStub sdStubs[sdStubMax];

// rbx holds the receiver, r12 the argument: a jump to a new stub; for * and / (smallFirst) two
// SmallIntegers first go straight on to the send. Answers the stub's record for the site to
// complete, or null (nothing emitted) when the method has no room for more.
static SdStub* sdJump(int index, bool smallFirst, uint8_t** at) {
  if (L.sdStubs == sdStubMax) return nullptr;
  SdStub* s = &sdStubs[L.sdStubs++];
  *s = {};
  s->index = index;
  uint8_t* over = nullptr;
  if (smallFirst) {
    *at = emitMovRR(*at, rAX, rBX);
    *at = emitAluRR(*at, aluRRAnd, rAX, rR12);
    *at = emitTestR8I8(*at, rAX, 2);
    *at = emitJccRel8(*at, ccNE, 0);
    over = *at;
  }
  *at = emitJmpRel32(*at, *at + 5);
  s->entries[0] = *at;
  if (over != nullptr) cgenPatchRel8(over, *at);
  return s;
}

// The rest of a stub's record, its entries, selector and chaining as they stand.
static void sdFill(SdStub* s, uint8_t* send, uint8_t* yes, uint8_t* no, bool inverted, oop rcvConst, oop argConst) {
  s->send = send;
  s->yes = yes;
  s->no = no;
  s->inverted = inverted;
  s->constants[0] = rcvConst;
  s->constants[1] = argConst;
}

static bool isNumberConst(const StackEntry* e) {
  return e->kind == skConst && (isSmallDouble(e->payload) || isSmallInteger(e->payload));
}

// Operands a SmallDouble site may take: variables, or constant SmallDoubles and SmallIntegers,
// not two constant SmallIntegers.
static bool sdOperandsFit(const StackEntry* rcv, const StackEntry* arg) {
  return (rcv->kind != skConst || isNumberConst(rcv)) && (arg->kind != skConst || isNumberConst(arg)) &&
         !(isSmallIntConst(rcv) && isSmallIntConst(arg));
}

static bool anySmallDoubleConst(const StackEntry* rcv, const StackEntry* arg) {
  return (rcv->kind == skConst && isSmallDouble(rcv->payload)) || (arg->kind == skConst && isSmallDouble(arg->payload));
}

// Whether the load of an operand may run again from a stub: registers, frame slots, values
// popped from the machine stack and immediate constants (no literal the collector must find
// in the code).
static bool sdLoadCopies(const StackEntry* e) {
  switch (e->kind) {
    case skReg: case skRegCounted: case skStableReg: case skPushed: case skSlot: case skReadSlot: return true;
    case skConst: return isImmediate(e->payload);
    default: return false;
  }
}

// Site n (stub s) loads its operands in [start, end): when the last Double arithmetic site's
// result, still in rbx, is one of them and nothing but these loads lies between the two, that
// site's stub goes on into s with the result unencoded, as the main line would run from its
// exit (the result is no SmallInteger, so the tag tests between would lead to s anyway).
static void sdChain(const StackEntry* rcv, const StackEntry* arg, const uint8_t* start, const uint8_t* end, SdStub* s) {
  int last = L.sdLast;
  L.sdLast = 0;
  if (s == nullptr || last == 0 || sdStubs[last - 1].yes != start || end - start > 32) return;
  auto isResult = [](const StackEntry* e) { return e == L.sdLastResult && e->kind == skReg && seReg(*e) == rBX; };
  int as = isResult(rcv) ? 1 : isResult(arg) ? 2 : 0;
  if (as == 0 || !sdLoadCopies(as == 1 ? arg : rcv)) return;
  sdStubs[last - 1].chainTo = int(s - sdStubs) + 1;
  sdStubs[last - 1].chainLoads[0] = start;
  sdStubs[last - 1].chainLoads[1] = end;
  s->chainedAs = as;
}

// The site of a SmallDouble operation with no SmallInteger path (a SmallDouble constant takes
// part, or * and /): the operands in rbx and r12, the jump to the stub, the send.
static uint8_t* tSdSite(int index, int kind, const uint8_t* next, uint8_t* at) {
  StackEntry* arg = operand(0);
  StackEntry* rcv = operand(1);
  bool always = anySmallDoubleConst(rcv, arg);
  L.sdFloat = true;
  oop rcvConst = rcv->kind == skConst && isSmallDouble(rcv->payload) ? rcv->payload : 0;
  oop argConst = arg->kind == skConst && (isSmallDouble(arg->payload) || isSmallInteger(arg->payload)) ? arg->payload : 0;
  if (rcv - 1 > stackEmpty) at = tStackFlush(rcv - 1, 3, at);
  const uint8_t* loads = at;
  at = tStackLoad(arg, rR12, at);
  at = tStackLoad(rcv, rBX, at);
  const uint8_t* loaded = at;
  L.chain = {};
  SdStub* s = sdJump(index, !always, &at);
  if (s != nullptr) sdFill(s, nullptr, nullptr, nullptr, false, rcvConst, argConst);
  sdChain(rcv, arg, loads, loaded, s);
  if (!sdIsComparison(index)) {
    if (s != nullptr) s->send = at;
    at = binarySend(index, kind, at);
    if (s != nullptr) s->yes = at;
    L.top--;
    *L.top = seRegEntry(rBX);
    if (s != nullptr) {
      L.sdLast = int(s - sdStubs) + 1;
      L.sdLastResult = L.top;
    }
    forgetMarks();
    return at;
  }
  const uint8_t* target = nullptr;
  int sense = 0;
  bool branch = branchAfter(next, &target, &sense);
  if (branch && (target > L.end)) branch = false;  // the loop reports the bad target
  if (s != nullptr) s->inverted = branch && sense;
  uint8_t* toSend = nullptr;
  if (s == nullptr) {
    at = emitJmpRel8(at, 0);
    toSend = at;
  }
  L.top -= 2;
  forgetMarks();
  if (branch) {
    // The stub jumps here when the branch is taken, and past the send when it is not.
    if (s != nullptr) s->no = at;
    at = emitJmpRel32(at, at + 5);
    addAction(actLongJump, target, nullptr, assignedRegSummary, L.top, at);
    if (toSend != nullptr) cgenPatchRel8(toSend, at);
    if (s != nullptr) s->send = at;
    at = binarySend(index, kind, at);
    push(seRegEntry(rBX));
    at = tBxpTest(sense, next, target, L.top, nullptr, at);
    L.top--;
    if (s != nullptr) s->yes = at;
    L.next = next + (*next <= 0xC7 ? 1 : 2);  // the branch is consumed
    return at;
  }
  if (s != nullptr) s->no = at;
  at = movLiteral(rBX, tFalse, at);
  at = emitJmpRel8(at, 0);
  uint8_t* exits[2] = {at, nullptr};
  if (s != nullptr) s->yes = at;
  at = movLiteral(rBX, tTrue, at);
  at = emitJmpRel8(at, 0);
  exits[1] = at;
  if (toSend != nullptr) cgenPatchRel8(toSend, at);
  if (s != nullptr) s->send = at;
  at = binarySend(index, kind, at);
  cgenPatchRel8(exits[0], at);
  cgenPatchRel8(exits[1], at);
  push(seRegEntry(rBX));
  return at;
}

// * and /: SmallDoubles only; SmallIntegers take the send.
static uint8_t* tMulDiv(int index, int kind, const uint8_t* next, uint8_t* at) {
  if (!sdOperandsFit(operand(1), operand(0))) return nullptr;
  return tSdSite(index, kind, next, at);
}

// Whether an operation on a constant argument whose receiver tag test starts at `at` follows
// the last inlined + or - directly, with that result in rbx as its receiver: then the fast
// path's exit may skip the test. The chain is used once.
static bool chainsFromLastAddSub(const StackEntry* rcv, const uint8_t* at) {
  bool chained = L.chain.jumpSite != nullptr && L.chain.flag == 0 && L.chain.codeEnd == at &&
                 rcv->kind == skReg && seReg(*rcv) == rBX;
  if (!chained) L.chain = {};
  return chained;
}

// SmallInteger + and -: the fast path on tagged values with the send on a non-SmallInteger
// or an overflow.
// rbx := receiver, r12 := argument (the loads end at *loaded), and a short jump (answered in
// toSend, to be patched to the send path) taken unless both are SmallIntegers.
static uint8_t* loadPairTestingTags(StackEntry* rcv, StackEntry* arg, uint8_t** toSend, const uint8_t** loaded,
                                    uint8_t* at) {
  at = tStackLoad(arg, rR12, at);
  at = tStackLoad(rcv, rBX, at);
  *loaded = at;
  at = emitMovRR(at, rAX, rBX);
  at = emitAluRR(at, aluRRAnd, rAX, rR12);
  at = emitTestR8I8(at, rAX, 2);
  at = emitJccRel8(at, ccE, 0);
  *toSend = at;
  return at;
}

static uint8_t* tAddSub(int index, int kind, const uint8_t*, uint8_t* at) {
  StackEntry* arg = operand(0);
  StackEntry* rcv = operand(1);
  bool add = index == 0;
  if ((arg->kind == skConst && !isSmallInteger(arg->payload)) || (rcv->kind == skConst && !isSmallInteger(rcv->payload))) {
    return sdOperandsFit(rcv, arg) ? tSdSite(index, kind, nullptr, at) : nullptr;
  }
  if (isSmallIntConst(arg) && isSmallIntConst(rcv)) {
    int64_t a = smallIntegerValue(rcv->payload), b = smallIntegerValue(arg->payload);
    int64_t r = add ? a + b : a - b;  // both within 61 bits: no 64-bit overflow
    if (!fitsSmallInteger(r)) return nullptr;
    L.top--;
    *L.top = seConst(smallIntegerFor(r));
    return at;
  }
  if (rcv - 1 > stackEmpty) at = tStackFlush(rcv - 1, 3, at);
  uint8_t *toSend, *toExit;
  SdStub* sd = nullptr;
  bool wideArg = false;
  if (isSmallIntConst(arg)) {
    int64_t k = int64_t(arg->payload - 3);  // the value x 8
    wideArg = !cgenFitsS32(k);
    uint64_t argOop = arg->payload;
    const uint8_t* loads = at;
    at = tStackLoad(rcv, rBX, at);
    const uint8_t* loaded = at;
    bool chained = chainsFromLastAddSub(rcv, at);
    at = emitTestR8I8(at, rBX, 2);
    at = emitJccRel8(at, ccE, 0);
    toSend = at;
    if (chained) optReFix(&L.chain, at, wideArg ? "tAddSub(c)" : "tAddSub(q)");
    auto apply = [&](bool doAdd, uint8_t* p) {
      if (cgenFitsS8(k)) return emitAluRI8(p, doAdd ? aluAdd : aluSub, rBX, int8_t(k));
      if (cgenFitsS32(k)) return emitAluRI32(p, doAdd ? aluAdd : aluSub, rBX, int32_t(k));
      return emitAluRR(p, doAdd ? aluRRAdd : aluRRSub, rBX, rR11);
    };
    if (!cgenFitsS32(k)) at = emitMovRI64(at, rR11, uint64_t(k));
    at = apply(add, at);
    at = emitJccRel8(at, ccNO, 0);
    toExit = at;
    at = apply(!add, at);  // overflow: restore the receiver
    cgenPatchRel8(toSend, at);
    // Any other receiver tries the stub, which holds the constant as a double and comes back
    // to the argument's load for the send.
    // Only where the method does floating point: integer code keeps its size.
    if (L.sdFloat) sd = sdJump(index, false, &at);
    if (sd != nullptr) sdFill(sd, nullptr, nullptr, nullptr, false, 0, argOop);
    sdChain(rcv, arg, loads, loaded, sd);
    if (sd != nullptr) sd->send = at;
    if (cgenFitsS8(int64_t(argOop))) {
      at = emitPushI8(at, int8_t(argOop));
      at = emitPopR(at, rR12);
    } else {
      at = emitMovRI64(at, rR12, argOop);
    }
  } else {
    const uint8_t* loads = at;
    const uint8_t* loaded;
    at = loadPairTestingTags(rcv, arg, &toSend, &loaded, at);
    at = emitAluRI8(at, aluSub, rR12, 3);
    at = emitAluRR(at, add ? aluRRAdd : aluRRSub, rBX, rR12);
    at = emitJccRel8(at, ccNO, 0);
    toExit = at;
    at = emitAluRR(at, add ? aluRRSub : aluRRAdd, rBX, rR12);
    at = emitAluRI8(at, aluAdd, rR12, 3);
    cgenPatchRel8(toSend, at);
    sd = sdJump(index, false, &at);
    sdChain(rcv, arg, loads, loaded, sd);
    if (sd != nullptr) sd->send = at;
  }
  at = binarySend(index, kind, at);
  cgenPatchRel8(toExit, at);
  if (sd != nullptr) sd->yes = at;
  // The fast path leaves a SmallInteger in rbx: a + or - or comparison with a constant that
  // follows at once may jump from here past its own tag test.
  L.chain = {toExit, 0, at, nullptr, 0};
  L.top--;
  *L.top = seRegEntry(rBX);
  if (sd != nullptr) {
    L.sdLast = int(sd - sdStubs) + 1;
    L.sdLastResult = L.top;
  }
  forgetMarks();
  return at;
}

// rbx := false, or true where the condition jump lands; answers the two exits to patch.
static uint8_t* booleanFromFlags(int cond, uint8_t** exits, uint8_t* at) {
  at = emitJccRel8(at, cond, 0);
  uint8_t* toTrue = at;
  at = movLiteral(rBX, tFalse, at);
  at = emitJmpRel8(at, 0);
  exits[0] = at;
  cgenPatchRel8(toTrue, at);
  at = movLiteral(rBX, tTrue, at);
  at = emitJmpRel8(at, 0);
  exits[1] = at;
  return at;
}

// The ordering and equality comparisons of SmallIntegers.
static uint8_t* tReln(int index, int kind, const uint8_t* next, uint8_t* at) {
  static const uint8_t conds[6][2] = {{ccL, ccGE}, {ccG, ccLE}, {ccLE, ccG}, {ccGE, ccL}, {ccE, ccNE}, {ccNE, ccE}};
  StackEntry* arg = operand(0);
  StackEntry* rcv = operand(1);
  if ((arg->kind == skConst && !isSmallInteger(arg->payload)) || (rcv->kind == skConst && !isSmallInteger(rcv->payload))) {
    return sdOperandsFit(rcv, arg) ? tSdSite(index, kind, next, at) : nullptr;
  }
  if (isSmallIntConst(arg) && isSmallIntConst(rcv)) {
    int64_t a = smallIntegerValue(rcv->payload), b = smallIntegerValue(arg->payload);
    bool r = index == 2 ? a < b : index == 3 ? a > b : index == 4 ? a <= b : index == 5 ? a >= b
           : index == 6 ? a == b : a != b;
    L.top--;
    *L.top = seConst(r ? tTrue : tFalse);
    return at;
  }
  const uint8_t* target = nullptr;
  int sense = 0;
  bool branch = branchAfter(next, &target, &sense);
  if (branch && (target > L.end)) branch = false;  // the loop reports the bad target
  int cond = conds[index - 2][branch && sense ? 1 : 0];
  if (rcv - 1 > stackEmpty) at = tStackFlush(rcv - 1, 3, at);
  uint8_t* toSend;
  const uint8_t *loads = nullptr, *loaded = nullptr;
  bool argInR12 = !isSmallIntConst(arg);
  if (isSmallIntConst(arg)) {
    int64_t c = int64_t(arg->payload);
    bool wide = !cgenFitsS8(c) && !(c >= 0 && c < 0x80000000LL);
    // A wide constant goes to r12 before the tag test, unless the test is skipped by the
    // chain from a + or -: then it is compared through r11 and loaded on the send path.
    bool chained = chainsFromLastAddSub(rcv, at);
    loads = at;
    if (wide && !chained) {
      at = emitMovRI64(at, rR12, uint64_t(c));
      argInR12 = true;
    }
    at = tStackLoad(rcv, rBX, at);
    loaded = at;
    at = emitTestR8I8(at, rBX, 2);
    at = emitJccRel8(at, ccE, 0);
    toSend = at;
    if (chained) optReFix(&L.chain, at, "tReln");
    if (wide && !chained) {
      at = emitCmpRR(at, rBX, rR12);
    } else if (wide) {
      at = emitMovRI64(at, rR11, uint64_t(c));
      at = emitCmpRR(at, rBX, rR11);
    } else {
      at = cgenFitsS8(c) ? emitAluRI8(at, aluCmp, rBX, int8_t(c)) : emitAluRI32(at, aluCmp, rBX, int32_t(c));
    }
  } else {
    loads = at;
    at = loadPairTestingTags(rcv, arg, &toSend, &loaded, at);
    at = emitCmpRR(at, rBX, rR12);
  }
  // An operand that is not a SmallInteger tries the stub before the send; a constant argument
  // is held by the stub as a double and loaded into r12 on the way back to the send.
  oop sdConst = isSmallIntConst(arg) ? arg->payload : 0;
  bool sdPath = sdConst == 0 || L.sdFloat;  // as for + and -
  L.chain = {};
  uint64_t argOop = arg->payload;
  L.top -= 2;  // both operands leave the stack
  forgetMarks();
  if (branch) {
    // The condition goes to the fall-through past the send path; the E9 to the target.
    at = emitJccRel32(at, cond, 0);
    uint8_t* toFallThrough = at;
    at = emitJmpRel32(at, at + 5);
    addAction(actLongJump, target, nullptr, assignedRegSummary, L.top, at);
    cgenPatchRel8(toSend, at);
    SdStub* sd = sdPath ? sdJump(index, false, &at) : nullptr;
    if (sd != nullptr) sdFill(sd, at, nullptr, toFallThrough, sense != 0, 0, sdConst);
    if (sd != nullptr) sdChain(rcv, arg, loads, loaded, sd);
    if (!argInR12) at = movValue(rR12, int64_t(argOop), at);
    at = binarySend(index, kind, at);
    StackEntry result = seRegEntry(rBX);
    push(result);
    at = tBxpTest(sense, next, target, L.top, nullptr, at);
    L.top--;
    cgenPatchRel32(toFallThrough, at);
    if (sd != nullptr) sd->yes = at;
    L.next = next + (*next <= 0xC7 ? 1 : 2);  // the branch is consumed
    return at;
  }
  uint8_t* exits[2];
  at = booleanFromFlags(cond, exits, at);
  cgenPatchRel8(toSend, at);
  SdStub* sd = sdPath ? sdJump(index, false, &at) : nullptr;
  // booleanFromFlags: rbx := false after the condition jump, rbx := true where it lands.
  if (sd != nullptr) sdFill(sd, at, exits[0], exits[0] - 12, false, 0, sdConst);
  if (sd != nullptr) sdChain(rcv, arg, loads, loaded, sd);
  if (!argInR12) at = movValue(rR12, int64_t(argOop), at);
  at = binarySend(index, kind, at);
  cgenPatchRel8(exits[0], at);
  cgenPatchRel8(exits[1], at);
  push(seRegEntry(rBX));
  return at;
}

// == and ~~: never a send. Before a branch the result stays in the flags.
static uint8_t* tEqNeq(int index, int, const uint8_t* next, uint8_t* at) {
  StackEntry* arg = operand(0);
  StackEntry* rcv = operand(1);
  int cond = index == 22 ? ccE : ccNE;
  if (arg->kind == skConst && rcv->kind == skConst) {
    bool same = arg->payload == rcv->payload;
    L.top--;
    *L.top = seConst((same == (index == 22)) ? tTrue : tFalse);
    return at;
  }
  if (rcv - 1 > stackEmpty) at = tStackFlush(rcv - 1, 3, at);
  if (arg->kind == skConst || rcv->kind == skConst) {
    StackEntry* c = arg->kind == skConst ? arg : rcv;
    StackEntry* v = arg->kind == skConst ? rcv : arg;
    at = tStackLoad(v, rBX, at);  // a constant is never on the machine stack
    StackEntry k = *c;
    at = tStackCompare(&k, rBX, at);
  } else {
    at = tStackLoad(arg, rR12, at);
    at = tStackLoad(rcv, rBX, at);
    at = emitCmpRR(at, rBX, rR12);
  }
  L.top--;
  forgetMarks();
  const uint8_t* target;
  if (next < L.end && lookBranch(next, &target)) {
    *L.top = {skCond, 0, uint64_t(cond)};
    return at;
  }
  uint8_t* exits[2];
  at = booleanFromFlags(cond, exits, at);
  cgenPatchRel8(exits[0], at);
  cgenPatchRel8(exits[1], at);
  *L.top = seRegEntry(rBX);
  return at;
}

TSpecialProc tSpecialProcs[23] = {tAddSub, tAddSub, tReln,  tReln,  tReln,  tReln,  tReln,  tReln,
                                  tMulDiv, tMulDiv, tNone,  tNone,  tNone,  tNone,  tNone,  tNone,
                                  tNone,   tNone,   tNone,  tEqNeq, tNone,  tNone,  tEqNeq};

// ---------------------------------------------------------------- branches

static uint8_t* emitR9Distance(int64_t d, uint8_t* at) {
  return cgenFitsS32(d) && d >= 0 ? emitMovRI32(at, rR9, int32_t(d)) : emitMovRI64(at, rR9, uint64_t(d));
}

// The shared stub of pair i that the standard test calls, or 0 before they exist.
static uint64_t sharedNotBoolean() { return notBTable[1]; }

uint8_t* tBxpTest(int sense, const uint8_t* branchPC, const uint8_t* target, StackEntry* top,
                  const OptState* state, uint8_t* at) {
  [[maybe_unused]] uint8_t* start = at;
  tRegisterMarks[0] = tRegisterMarks[1] = -1;  // the non-Boolean path may resume at either side
  StackEntry jumpOn = seConst(sense ? tTrue : tFalse);
  at = tStackCompare(&jumpOn, rBX, at);
  bool isShort = target - branchPC <= effectiveMaxVBytesJumpShort;
  at = isShort ? emitJccRel8(at, ccE, 0) : emitJccRel32(at, ccE, 0);
  addAction(isShort ? actShortCondJump : actLongCondJump, target, state, assignedRegSummary, top - 1, at);
  StackEntry other = seConst(sense ? tFalse : tTrue);
  at = tStackCompare(&other, rBX, at);
  at = emitJccRel8(at, ccE, 0);
  uint8_t* toEnd = at;
  if (bxpStandardSize >= 0 && at - start == bxpStandardSize && sharedNotBoolean() != 0) {
    at = relCall(reinterpret_cast<const void*>(uintptr_t(sharedNotBoolean())), at);
  } else {
    uint8_t* pathStart = at;
    int64_t d = 0;
    for (int round = 0; round < 4; round++) {
      genMapMark();
      at = emitR9Distance(d, pathStart);
      at = relCall(reinterpret_cast<const void*>(uintptr_t(notBTable[0])), at);
      int64_t measured = at - start;
      if (measured == d) break;
      genMapBackToMark();
      d = measured;
    }
    if (bxpStandardSize < 0) {
      bxpStandardSize = int32_t(pathStart - start);
      bxpStandardOffset = int32_t(d - (at - pathStart - 5));
    }
  }
  cgenPatchRel8(toEnd, at);
  return at;
}

uint8_t* initBxpNotBoolean(uint8_t* scratch, uint8_t* area) {
  bxpStandardSize = -1;
  uint8_t map[64];
  PCMapWriter saved = pcMapWriter;
  genMapAlloc(map, map + sizeof map, nullptr);
  genMapInit(0, (uint64_t)(uintptr_t)scratch);
  actionReset(nullptr);
  static const uint8_t branch[2] = {0xC0, 0x60};  // branch if false by one, return self
  effectiveMaxVBytesJumpShort = 6;
  StackEntry* savedEmpty = stackEmpty;
  stackEmpty = stackSim - 1;
  stackSim[0] = seRegEntry(rBX);
  tBxpTest(0, branch, branch + 2, &stackSim[0], nullptr, scratch + nMethodHeaderSize);
  stackEmpty = savedEmpty;
  actionReset(nullptr);
  pcMapWriter = saved;
  uint8_t* at = area;
  for (int i = 0; i < 3; i++) {
    notBTable[2 * i + 1] = (uint64_t)(uintptr_t)at;
    at = emitR9Distance(bxpStandardOffset, at);
    at = emitPushI32(at, int32_t(notBTable[2 * i]));
    at = emitRet(at);
    at = cNopGenTo(at, reinterpret_cast<uint8_t*>((uintptr_t(at) + 15) & ~uintptr_t(15)));
  }
  return at;
}

// ---------------------------------------------------------------- generators

// r8 := self's body address (the first mark says when it already is).
static uint8_t* tLoadInst(uint8_t* at) {
  int16_t* marks = tRegisterMarks;
  if (marks[0] != -1 && marks[0] != 0 && marks[0] != 1) at = tStackFlush(L.top, 6, at);
  if (marks[0] != 1) {
    if (seSelf.kind == skReg || seSelf.kind == skStableReg) {
      at = emitMovRM(at, rR8, seReg(seSelf), 0);
    } else if (marks[1] == 0) {
      at = emitMovRM(at, rR8, rR14, 0);
    } else if (marks[1] == -1) {
      at = tStackLoadBase(&seSelf, rR14, at);
      at = emitMovRM(at, rR8, rR14, 0);
      marks[1] = 0;
    } else {
      int reg;
      at = tStackLoadDataPtr(&seSelf, rR8, &reg, at);
    }
  }
  marks[0] = 1;
  return at;
}

// The entry of local i (arguments, then temporaries, then copied values).
static StackEntry localEntry(int i) {
  if (L.info->frameSize == 0) {
    int n = L.info->numArgs;
    return n == 1 ? stackLocalsFrameless[0] : stackLocalsFrameless[i];
  }
  return tStackLocal(i, L.info->numArgs);
}

static bool validLocal(uint32_t i) { return i < L.numLocals && i < 509; }

// The receivers of a method are instances of its class or of a subclass, so they have at
// least its named slots; a byte class's instances have none. A block method's receiver, a
// method naming no class and a context receiver (whose slots the run time reads) are not
// bounded here.
static uint32_t instVarsOf(const TVInfo* info) {
  oop cls = slotOf(info->method, 1);
  if (info->isBlock || info->contextReceiver || cls == 0 || !isHeapObject(cls) || !hasPtrs(headerOf(cls)) ||
      bodyWordsOf(headerOf(cls)) <= classFormatSlot || !isSmallInteger(slotOf(cls, classFormatSlot)))
    return UINT32_MAX;
  uint64_t format = classFormatOf(cls);
  return (format & formatIndexable) && !(format & formatPointers) ? 0 : uint32_t(formatNamedSlots(format));
}

// An instance variable beyond every receiver's named slots is no instruction of this method.
static bool validInstVar(uint32_t n) {
  if (n < L.instVars) return true;
  invalid();
  return false;
}

static uint8_t* pushInstVar(uint32_t n, uint8_t* at) {
  if (!validInstVar(n)) return at;
  if (L.info->contextReceiver) {
    at = tStackFlush(L.top, 5, at);
    at = tStackLoad(&seSelf, rBX, at);
    at = emitMovRI32(at, rR9, int32_t(n * 8));
    at = relCall(tRt.loadContextInstVar, at);
    genMapOnly(nextIndex(), (uint64_t)(uintptr_t)at);
    forgetMarks();
    push(seRegEntry(rBX));
    return at;
  }
  at = tLoadInst(at);
  push(seSlotEntry(skSlot, rR8, int32_t(8 * n)));
  return at;
}

// After a store that keeps its value: the value was read into rbx (a pushed one popped).
static void valueNowInRbx(StackEntry* value) {
  if (value->kind != skConst) *value = seRegEntry(rBX);
}

static uint8_t* storeInstVar(uint32_t n, uint8_t* at) {
  StackEntry* value = operand(0);
  if (!validInstVar(n)) return at;
  StackEntry self = seSelf;
  at = tStoreInst(&self, int(n), value, tRegisterMarks, nextIndex(), L.info->contextReceiver, at);
  valueNowInRbx(value);
  return at;
}

static uint8_t* popIntoLocal(uint32_t i, uint8_t* at) {
  StackEntry* value = operand(0);
  if (!validLocal(i)) {
    invalid();
    return at;
  }
  StackEntry slot = localEntry(int(i));
  if (tRegisterMarks[1] == -3 - int(i)) {
    if (value - 1 > stackEmpty) at = tStackFlush(value - 1, 3, at);
    tRegisterMarks[1] = -1;
  }
  if (value - 1 > stackEmpty) at = tStackFlushAliases(seBase(slot), seDisp(slot), value - 1, at);
  at = tStackStore(value, seBase(slot), seDisp(slot), at);
  // Store and keep: when the next instruction pushes this temp again and no jump lands on
  // it, a value in a register or a constant stays the top instead of being read back.
  if (i <= 11 && L.next < L.end && *L.next == 0x10 + i && actNext->vPC != L.next) {
    bool inRegister = value->kind == skReg || value->kind == skRegCounted || value->kind == skStableReg;
    if (!inRegister && value->kind != skConst) *value = slot;
    L.keptPush = L.next;
    return at;
  }
  L.top--;
  return at;
}

static uint8_t* pushLocalIndirect(uint32_t temp, uint32_t index, uint8_t* at) {
  if (!validLocal(temp)) {
    invalid();
    return at;
  }
  StackEntry holder = localEntry(int(temp));
  if (L.info->contextReceiver) {
    at = tStackFlush(L.top, 5, at);
    at = tStackLoad(&holder, rBX, at);
    at = movValue(rR9, int64_t(index) * 8, at);
    at = relCall(tRt.loadContextInstVar, at);
    genMapOnly(nextIndex(), (uint64_t)(uintptr_t)at);
    forgetMarks();
    push(seRegEntry(rBX));
    return at;
  }
  if (tRegisterMarks[1] != -3 - int(temp)) {
    if (tRegisterMarks[1] != -1) at = tStackFlush(L.top, 6, at);
    at = tStackLoad(&holder, rR14, at);
    at = emitMovRM(at, rR14, rR14, 0);
    tRegisterMarks[1] = int16_t(-3 - int(temp));
  }
  push(seSlotEntry(skSlot, rR14, int32_t(index * 8)));
  return at;
}

static uint8_t* storeLocalIndirect(uint32_t temp, uint32_t index, uint8_t* at) {
  StackEntry* value = operand(0);
  if (!validLocal(temp)) {
    invalid();
    return at;
  }
  StackEntry holder = localEntry(int(temp));
  at = tStoreInst(&holder, int(index), value, tRegisterMarks, nextIndex(), L.info->contextReceiver, at);
  L.top--;
  return at;
}

static uint8_t* pop(uint8_t* at) {
  StackEntry* e = operand(0);
  if (e->kind == skPushed) at = emitAluRI8(at, aluAdd, rSP, 8);
  L.top--;
  return at;
}

static uint8_t* tDup(uint8_t* at) {
  StackEntry e = *operand(0);
  switch (e.kind) {
    case skReg:
    case skRegCounted:
    case skUntaggedInt:
    case skUntaggedChar:
      at = tStackFlush(L.top, 3, at);  // keeps the machine stack in order; the register stays
      push(e.kind == skReg || e.kind == skRegCounted ? e : seRegEntry(seReg(e)));
      break;
    case skPushed:
      at = emitMovRM(at, rBX, rSP, 0);
      push(seRegEntry(rBX));
      break;
    default: push(e); break;
  }
  return at;
}

static uint8_t* tCopyValues(uint32_t n, uint8_t* at) {
  if (L.top > stackEmpty) at = tStackFlush(L.top, 3, at);
  at = tStackLoadBase(&seSelf, rAX, at);
  at = emitMovRM(at, rAX, rAX, 0);
  if (n == 1) {
    StackEntry v = seSlotEntry(skReadSlot, rAX, 16);
    push(v);
    at = tStackPush(L.top, at);
  } else if (n > 1) {
    at = emitMovRM(at, rAX, rAX, 16);
    at = emitMovRM(at, rR8, rAX, 0);
    for (uint32_t i = 0; i < n; i++) {
      push(seSlotEntry(skReadSlot, rR8, int32_t(8 * i)));
      at = tStackPush(L.top, at);
    }
  }
  for (StackEntry* e = stackEmpty + 1; e <= L.top; e++) *e = spill[e - stackSim];
  stackEmpty = L.top;  // the copied values are locals from here on
  L.numLocals += n;
  forgetMarks();
  return at;
}

static uint8_t* afterCall(const void* routine, uint8_t* at) {
  at = relCall(routine, at);
  genMapOnly(nextIndex(), (uint64_t)(uintptr_t)at);
  forgetMarks();
  return at;
}

static uint8_t* tCreateArray(uint32_t count, uint8_t* at) {
  at = tStackFlush(L.top, 5, at);
  at = movValue(rR12, int64_t(count) * 8, at);
  at = movLiteral(rR15, tNil, at);
  at = afterCall(tRt.createArray, at);
  push(seRegEntry(rBX));
  return at;
}

static uint8_t* tConsArray(uint32_t n, uint8_t* at) {
  if (n > 0) operand(int(n) - 1);
  at = tStackFlush(L.top, 7, at);
  at = movRbxCount(n, at);
  at = afterCall(tRt.consArray, at);
  L.top -= n;
  push(seRegEntry(rBX));
  return at;
}

static uint8_t* blockLiteral(uint32_t literal, uint64_t* value) {
  if (literal >= L.info->numLiterals) {
    invalid();
    return nullptr;
  }
  *value = L.info->literals[literal];
  return reinterpret_cast<uint8_t*>(1);
}

static uint8_t* tFullBlock(uint32_t literal, uint8_t* at) {
  uint64_t method;
  if (blockLiteral(literal, &method) == nullptr) return at;
  at = tStackFlush(L.top, 7, at);
  at = movLiteral(rBX, method, at);
  at = afterCall(tRt.makeFullBlock, at);
  push(seRegEntry(rBX));
  return at;
}

static uint8_t* tCopyingBlock(uint32_t literal, uint32_t n, bool full, uint8_t* at) {
  uint64_t method;
  if (blockLiteral(literal, &method) == nullptr) return at;
  if (n > 0) operand(int(n) - 1);
  if (n == 1 && !full) {
    if (L.top - 1 > stackEmpty) at = tStackFlush(L.top - 1, 5, at);
    at = tStackLoad(L.top, rR12, at);
    at = movLiteral(rBX, method, at);
    at = afterCall(tRt.makeCopyingBlock1, at);
  } else {
    at = tStackFlush(L.top, 7, at);
    at = movValue(rR12, n, at);
    at = movLiteral(rBX, method, at);
    at = afterCall(full ? tRt.makeFullCopyingBlock : tRt.makeCopyingBlock, at);
  }
  L.top -= n;
  push(seRegEntry(rBX));
  return at;
}

// Instruction starts of the method, for checking jump targets.
static uint8_t instructionStart[65536 + 8];
static bool targetValid(const uint8_t* target) {
  if (target == L.end) return true;
  if (target < L.bytecodes || target > L.end) return false;
  uint64_t i = uint64_t(target - L.bytecodes);
  return i < sizeof instructionStart && instructionStart[i] != 0;
}

static uint8_t* tJmp(const uint8_t* target, uint8_t* at) {
  if (target <= L.p || !targetValid(target)) {
    invalid();
    return at;
  }
  const uint8_t* branchTarget;
  StackEntry* top = L.top;
  if (top > stackEmpty && top->kind == skConst && (top->payload == tTrue || top->payload == tFalse) &&
      target < L.end && lookBranch(target, &branchTarget) && targetValid(branchTarget)) {
    uint8_t b = *target;
    bool onTrue = b >= 0xEC && b <= 0xEF;
    const uint8_t* dest = (top->payload == tTrue) == onTrue ? branchTarget : target + (b <= 0xC7 ? 1 : 2);
    if (top - 1 > stackEmpty) at = tStackFlush(top - 1, 3, at);
    bool isShort = dest - L.p <= effectiveMaxVBytesJumpShort;
    at = isShort ? emitJmpRel8(at, 0) : emitJmpRel32(at, at + 5);
    addAction(isShort ? actShortJump : actLongJump, dest, nullptr, assignedRegSummary, top - 1, at);
    endOfPath();
    return at;
  }
  at = tStackFlush(L.top, 3, at);
  at = emitJmpRel32(at, at + 5);
  addAction(actLongJump, target, nullptr, assignedRegSummary, L.top, at);
  endOfPath();
  return at;
}

static uint8_t* tLoopHead(uint8_t* at) {
  L.chain.flag = 1;  // the loop's end jumps back here
  at = tStackFlush(L.top, 7, at);
  forgetMarks();
  at = regLoadup(at, 1);
  ActionRecord* r = loopBegin(L.p, assignedRegSummary, at);
  r->depth = int16_t(L.top - stackSim);
  return at;
}

static uint8_t* tJmpBack(const uint8_t* head, uint8_t* at) {
  // Inner loops whose ends were never reached (their bodies return) are closed here.
  while (actLoops != nullptr && actLoops->vPC > head && actLoops->vPC < L.p) loopEnd(actLoops->vPC);
  ActionRecord* loop = actLoops;
  if (loop == nullptr || loop->vPC != head || loop->depth != int16_t(L.top - stackSim)) {
    invalid();
    return at;
  }
  uint8_t* headCode = loop->site;
  uint64_t summary = loop->registerSummary;
  loopEnd(head);
  at = tStackFlush(L.top, 3, at);
  at = regReconcile(summary, at, 1);
  at = tStackCompareBase(&seStackLimit, rSP, at);
  at = emitJccRel32(at, ccAE, int32_t(headCode - (at + 6)));
  if (assignedRegSummary != emptyRegSummary) at = regFlush(at);
  at = relCall(tRt.endLoop, at);
  genMapOnly(nextIndex(), (uint64_t)(uintptr_t)at);
  at = regReconcile(summary, at, 1);
  at = emitJmpRel32(at, headCode);
  endOfPath();
  return at;
}

static uint8_t* conditionalBranch(const uint8_t* target, int sense, uint8_t* at) {
  if (target <= L.p || !targetValid(target)) {
    invalid();
    return at;
  }
  StackEntry* top = operand(0);
  bool alwaysTaken = top->kind == skConst && (top->payload == tTrue || top->payload == tFalse) &&
                     (top->payload == tTrue) == (sense != 0);
  at = tBxp(L.p, target, sense, top, nullptr, at);
  L.top--;
  if (alwaysTaken) endOfPath();
  return at;
}

static uint8_t* returnTop(uint8_t* at) {
  at = tStackLoad(operand(0), rBX, at);
  at = tReturn(L.info->frameSize, L.info->numArgs, at);
  endOfPath();
  return at;
}

// ---------------------------------------------------------------- actions

static int32_t storeDisplacement(ActionRecord* a, uint8_t* at) {
  int64_t d = at - a->site;
  if (a->kind == actShortJump || a->kind == actNoMerge || a->kind == actShortCondJump) {
    if (d > 127) return 1;
    a->site[-1] = uint8_t(d);
  } else {
    cgenPutL(uint64_t(d), a->site - 4);
  }
  return 0;
}

// Takes the actions that stand at the walk's position; answers 1 when a short jump does not
// reach, -1 at the end of the method.
static int processActions(uint8_t** atp) {
  uint8_t* at = *atp;
  if (actNext != nullptr && actNext->vPC == L.p) L.chain.flag = 1;  // another path joins here
  while (actNext != nullptr && actNext->vPC == L.p) {
    ActionRecord* a = actionPop();
    if (a->kind == actEndOfMethod) {
      *atp = at;
      return -1;
    }
    StackEntry* depth = stackSim + a->depth;
    switch (a->kind) {
      case actLongJump:
      case actShortJump:
      case actLongCondJump:
      case actShortCondJump:
      case actNoMerge:
        if (L.live) {
          if (L.top != depth) invalid();
          if (a->kind != actNoMerge) at = tStackFlush(L.top, 3, at);
          if (a->registerSummary != assignedRegSummary) at = regReconcile(a->registerSummary, at, 1);
        }
        if (storeDisplacement(a, at)) return 1;
        L.top = depth;
        tStackClear(L.top);
        break;
      case actOneValue:
        if (L.live) {
          if (L.top != depth + 1) invalid();
          if (L.top - 1 > stackEmpty) at = tStackFlush(L.top - 1, 3, at);
          at = tStackLoad(L.top, rBX, at);
        }
        if (storeDisplacement(a, at)) return 1;
        L.top = depth + 1;
        tStackClear(depth);
        *L.top = seRegEntry(rBX);
        break;
      default: TAbortFunc("Impossible action kind", L.p - L.bytecodes, at, loopFile, __LINE__);
    }
    // Register knowledge: what both paths agree on stays.
    for (int k = 0; k < 2; k++) {
      if (!L.live || tRegisterMarks[k] != a->registerMarks[k]) tRegisterMarks[k] = L.live ? -1 : a->registerMarks[k];
    }
    L.live = true;
    actionFree(a);
  }
  *atp = at;
  return 0;
}

// ---------------------------------------------------------------- the loop

// Length of the instruction at p (prefixes are instructions of their own), 0 past the end.
static int instructionLength(const uint8_t* p, const uint8_t* end) {
  int n = bcInfo[*p].length;
  return end - p >= n ? n : 0;
}

// ---------------------------------------------------------------- instruction handlers

// One handler for each instruction of the bytecode list; v1 and v2 are its decoded operands.
#define BC_HANDLER(handler) \
  static uint8_t* tBc##handler([[maybe_unused]] uint8_t op, [[maybe_unused]] int64_t v1, [[maybe_unused]] int64_t v2, uint8_t* at)

static oop specialConstant(int64_t k) { return k == 0 ? tNil : k == 1 ? tTrue : tFalse; }

BC_HANDLER(Invalid) {
  invalid();
  return at;
}
BC_HANDLER(Prefix) {  // read before dispatch; never dispatched
  invalid();
  return at;
}
BC_HANDLER(Nop) { return at; }
BC_HANDLER(PushInstVar) { return pushInstVar(uint32_t(v1), at); }
BC_HANDLER(PushTemp) {
  if (L.p == L.keptPush) L.keptPush = nullptr;  // the value is on top already
  else if (!validLocal(uint32_t(v1))) invalid();
  else push(localEntry(int(v1)));
  return at;
}
BC_HANDLER(PushLiteral) {
  if (uint32_t(v1) >= L.info->numLiterals) invalid();
  else push(seConst(L.info->literals[v1]));
  return at;
}
BC_HANDLER(PushLiteralValue) {
  if (uint32_t(v1) >= L.info->numLiterals) {
    invalid();
    return at;
  }
  push(seConst(L.info->literals[v1]));
  return specialSend(25, sendKindNonImmediate, at);
}
BC_HANDLER(PushSelf) {
  push(seSelf);
  return at;
}
BC_HANDLER(PopPushSelf) {
  at = pop(at);
  push(seSelf);
  return at;
}
BC_HANDLER(PushConstant) {
  push(seConst(specialConstant(v1)));
  return at;
}
BC_HANDLER(PushSmallInt) {
  push(seConst(smallIntegerFor(v1)));
  return at;
}
BC_HANDLER(PushCharacter) {
  push(seConst(characterFor(uint32_t(v1))));
  return at;
}
BC_HANDLER(PopIntoTemp) { return popIntoLocal(uint32_t(v1), at); }
BC_HANDLER(PushThisContext) {
  at = tStackFlush(L.top, 7, at);
  at = afterCall(tRt.loadThisContext, at);
  push(seRegEntry(rBX));
  return at;
}
BC_HANDLER(PopPushTemp) {
  at = pop(at);
  if (!validLocal(uint32_t(v1))) invalid();
  else push(localEntry(int(v1)));
  return at;
}
BC_HANDLER(StoreInstVar) { return storeInstVar(uint32_t(v1), at); }
BC_HANDLER(ReturnSelf) {
  at = tStackLoad(&seSelf, rBX, at);
  at = tReturn(L.info->frameSize, L.info->numArgs, at);
  endOfPath();
  return at;
}
BC_HANDLER(ReturnConstant) {
  at = movLiteral(rBX, specialConstant(v1), at);
  at = tReturn(L.info->frameSize, L.info->numArgs, at);
  endOfPath();
  return at;
}
BC_HANDLER(ReturnTop) { return returnTop(at); }
BC_HANDLER(NonLocalReturn) {
  at = tStackLoad(operand(0), rBX, at);
  at = regFlush(at);
  at = movValue(rR12, uint32_t(v1), at);
  at = afterCall(tRt.methodReturn, at);
  // The call comes back only when the home was dead and cannotReturn: answered: that
  // answer (in rbx) is this activation's answer to its caller.
  at = tReturn(L.info->frameSize, L.info->numArgs, at);
  endOfPath();
  return at;
}
BC_HANDLER(Pop) { return pop(at); }
BC_HANDLER(LoopHead) { return tLoopHead(at); }
BC_HANDLER(Dup) { return tDup(at); }
BC_HANDLER(PopDup) { return tDup(pop(at)); }
BC_HANDLER(Jump) { return tJmp(L.next + v1, at); }
BC_HANDLER(LoopEnd) { return tJmpBack(L.next + v1, at); }
BC_HANDLER(BranchFalse) { return conditionalBranch(L.next + v1, 0, at); }
BC_HANDLER(BranchTrue) { return conditionalBranch(L.next + v1, 1, at); }
BC_HANDLER(Send) { return literalSend(uint32_t(v2), int(v1), sendKindNormal, at); }
BC_HANDLER(SuperSend) { return literalSend(uint32_t(v2), int(v1), sendKindSuper, at); }
BC_HANDLER(SendNoCheck) { return literalSend(uint32_t(v2), int(v1), sendKindNoCheck, at); }
BC_HANDLER(SendNonImmediate) { return literalSend(uint32_t(v2), int(v1), sendKindNonImmediate, at); }
BC_HANDLER(SelfSend) {
  push(seSelf);
  return literalSend(uint32_t(v2), int(v1), sendKindNormal, at);
}
BC_HANDLER(SendSpecial) { return specialSend(uint32_t(v1), sendKindNormal, at); }
BC_HANDLER(SendSpecialNoCheck) { return specialSend(uint32_t(v1), sendKindNoCheck, at); }
BC_HANDLER(SendSpecialNonImmediate) { return specialSend(uint32_t(v1), sendKindNonImmediate, at); }
BC_HANDLER(PushOneSendPlus) {
  push(seConst(smallIntegerFor(1)));
  return specialSend(0, sendKindNormal, at);
}
BC_HANDLER(PushIndirect) { return pushLocalIndirect(uint32_t(v1), uint32_t(v2), at); }
BC_HANDLER(StoreIndirect) { return storeLocalIndirect(uint32_t(v1), uint32_t(v2), at); }
BC_HANDLER(CopyValues) { return tCopyValues(uint32_t(v1), at); }
BC_HANDLER(NewArray) { return tCreateArray(uint32_t(v1), at); }
BC_HANDLER(ConsArray) { return tConsArray(uint32_t(v1), at); }
BC_HANDLER(FullBlock) { return tFullBlock(uint32_t(v1), at); }
BC_HANDLER(FullCopyingBlock) { return tCopyingBlock(uint32_t(v1), uint32_t(v2), true, at); }
BC_HANDLER(CopyingBlock) { return tCopyingBlock(uint32_t(v1), uint32_t(v2), false, at); }
#undef BC_HANDLER

// The upper bound of what one instruction emits besides its flushes.
enum : int64_t { instructionRoom = 128, flushRoomPerEntry = 12, trailerRoom = 64 };

// Entries a flush would still push (pushed entries form a prefix of the stack).
static int64_t unpushedEntries() {
  int64_t n = 0;
  for (StackEntry* e = L.top; e > stackEmpty && e->kind != skPushed; e--) n++;
  return n;
}

static uint8_t* badBytecodeStub(uint8_t* at) {
  uint64_t n = uint64_t(L.end - L.bytecodes);
  for (uint64_t i = 0; i <= n; i++) genMapOnly(i, (uint64_t)(uintptr_t)at);
  at = movRbxCount(badBytecodePC, at);
  at = relCall(tRt.badBytecode, at);
  at = tStackLoad(&seSelf, rBX, at);
  at = tReturn(L.info->frameSize, L.info->numArgs, at);
  return L.info->primitive > 0 ? tFinishMethod(at, L.block, L.info) : at;
}

uint8_t* tMainLoop(const uint8_t* bytecodes, uint8_t* block, uint8_t* mapStart, TVInfo* info) {
  L = {};
  L.bytecodes = bytecodes;
  L.end = info->bytecodesEnd;
  L.block = block;
  L.info = info;
  genMapInit(0, (uint64_t)(uintptr_t)block);
  forgetMarks();
  uint8_t* at = initTemps(bytecodes, block, info);
  L.top = stackEmpty;
  L.live = true;
  L.numLocals = info->frameSize == 0 ? info->numArgs : uint32_t(info->numArgs) + info->numTemps;
  L.instVars = instVarsOf(info);
  if (badBytecodePC >= 0) return badBytecodeStub(at);
  const uint8_t* p = bytecodes;
  if (L.end - p >= 3 && p[0] == 254) {
    if (mapStart - at < 273) return mapStart + 1;
    p += 3;
    if (p < L.end && *p == 0x43) p++;
    stackEmpty--;  // the error value the prologue pushed is the first operand
    L.top = stackEmpty + 1;
    for (uint64_t i = 0; i < uint64_t(p - bytecodes); i++) {
      if (genMapTest(i) == 0) genMapOnly(i, (uint64_t)(uintptr_t)at);  // the primitive return stays
    }
  }
  const uint8_t* first = p;
  // Instruction starts; an instruction running past the end is invalid where it stands.
  uint64_t n = uint64_t(L.end - bytecodes);
  if (n >= sizeof instructionStart) {
    L.p = bytecodes;
    invalid();
    return tLoopInvalid();
  }
  memset(instructionStart, 0, n + 1);
  bool prefixed = false;  // an instruction after a prefix is no jump target
  for (const uint8_t* q = first; q < L.end;) {
    if (!prefixed) instructionStart[q - bytecodes] = 1;
    prefixed = bcIsPrefix(*q);
    int len = instructionLength(q, L.end);
    if (len == 0) break;
    q += len;
  }
  uint32_t ext[2] = {0, 0};
  int extCount = 0;
  const uint8_t* extFollows = nullptr;  // the instruction the pending prefixes belong to
  while (true) {
    L.p = p;
    // Room for the flushes of the actions here and for the instruction: past the margin the
    // code budget is doubled, so nothing is ever written beyond the block.
    if (at + instructionRoom + flushRoomPerEntry * unpushedEntries() > mapStart - 50) return mapStart + 1;
    int r = processActions(&at);
    if (r == 1) return tLoopShortJumpRetry();
    if (L.invalid) return tLoopInvalid();
    if (r == -1 || p >= L.end) {
      if (L.live && p >= L.end) {
        invalid();  // the last instruction falls off the end of the method
        return tLoopInvalid();
      }
      if (r != -1) return tLoopInvalid();  // cannot happen: the end action stands at the end
      if (at + int64_t(L.sdStubs) * sdStubRoom > mapStart - 50) return mapStart + 1;
      for (int i = 0; i < L.sdStubs; i++) at = sdStubCode(sdStubs, i, at);
      if (info->primitive > 0) {
        if (at + trailerRoom > mapStart) return mapStart + 1;
        at = tFinishMethod(at, block, info);
      }
      return at > mapStart - 50 ? mapStart + 1 : at;
    }
    if (extCount > 0 && p != extFollows) {
      invalid();
      return tLoopInvalid();
    }
    int len = instructionLength(p, L.end);
    if (len == 0) {
      invalid();
      return tLoopInvalid();
    }
    L.next = p + len;
    uint8_t b = *p;
    uint32_t b1 = len > 1 ? p[1] : 0, b2 = len > 2 ? p[2] : 0;
    if (bcIsPrefix(b)) {
      if (extCount == 2) {
        invalid();
        return tLoopInvalid();
      }
      ext[extCount++] = uint32_t(bcDecode(b, b1, b2, 0, 0).v1);
      extFollows = L.next;
      p = L.next;
      continue;
    }
    if (extCount > bcInfo[b].prefixes) {
      invalid();
      return tLoopInvalid();
    }
    uint32_t e1 = ext[0], e2 = ext[1];
    ext[0] = ext[1] = 0;
    extCount = 0;
    if (!L.live) {  // unreachable: nothing to generate until a jump lands
      p = L.next;
      continue;
    }
    BcValues v = bcDecode(b, b1, b2, e1, e2);
    switch (b) {
#define BC_DISPATCH(first, last, name, handler, length, prefixes, operands) \
  case first ... last: at = tBc##handler(b, v.v1, v.v2, at); break;
      BYTECODES(BC_DISPATCH)
#undef BC_DISPATCH
    }
    if (L.invalid) return tLoopInvalid();
    if (at >= mapStart - 50) return mapStart + 1;
    p = L.next;
  }
}
