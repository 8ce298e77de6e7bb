// Differential runs of the translated SmallInteger primitives: for each operand pair the C
// primitive (through the primitive harness) and the generated code alone (run natively, its
// glue a probe) must agree: the same answer inline, or the fallback reached with the
// operands as passed (inlineFailure 0) or the fall-through with r15 = 0 (inlineFailure 1),
// and only where C fails.
#include <gtest/gtest.h>

#include <algorithm>
#include <limits>
#include <vector>

#include "mman/mmIncGC.h"
#include "mman/mmRt.h"
#include "mman/mmAllocate.h"
#include "mman/mmNewSpace.h"
#include "mman/mmSysOop.h"
#include "mman/mmVerify.h"
#include "ext/exOption.h"
#include "prim/subscriptCases.h"
#include "mman/testHeap.h"
#include "nativeCode.h"
#include "prim/prArithmetic.h"
#include "prim/prDouble.h"
#include "prim/prHash.h"
#include "prim/prObject.h"
#include "prim/prSubscript.h"
#include "support/primHarness.h"
#include "tran/cgenx86_64.h"
#include "tran/taux.h"
#include "tran/tloop.h"
#include "tran/txmem.h"
#include "stack/send.h"
#include "tran/tmain.h"
#include "tran/tprim.h"
#include "support/testZone.h"
#include "stack/stackzone.h"
#include "tran/nmLayout.h"

extern "C" oop CrtCreateArray(uint64_t n);
extern "C" oop CrtMakeCopyingBlock1(oop method, oop value);
extern "C" oop CrtConsArray(uint64_t n);
extern "C" oop CrtMakeCopyingBlock(oop method, uint64_t n);
extern "C" oop CrtMakeFullBlock(oop method);
extern "C" oop CrtMakeFullCopyingBlock(oop method, uint64_t n);

namespace {

uint64_t seen[6];  // at the probe: rbx, r12, r13, r15, rsp; at entry: rsp
uint64_t checkStoreSeen[3];  // at the store-check routine's double: r12, rbx, and 1

// The store-check routine's double: notes its operands and returns.
uint8_t* genCheckStoreDouble(uint8_t* at) {
  at = emitMovRI64(at, rR11, (uint64_t)(uintptr_t)checkStoreSeen);
  at = emitMovMR(at, rR11, 0, rR12);
  at = emitMovMR(at, rR11, 8, rBX);
  at = emitMovRI32(at, rAX, 1);
  at = emitMovMR(at, rR11, 16, rAX);
  return emitRet(at);
}

// The glue probe: notes the registers, r10 := 2, and returns past the generated code.
uint8_t* genProbe(uint8_t* at) {
  at = emitMovRI64(at, rR11, (uint64_t)(uintptr_t)seen);
  const int regs[4] = {rBX, rR12, rR13, rR15};
  for (int k = 0; k < 4; k++) at = emitMovMR(at, rR11, 8 * k, regs[k]);
  at = emitMovMR(at, rR11, 32, rSP);
  at = emitMovRI32(at, rR10, 2);
  at = emitAluRI8(at, aluAdd, rSP, 8);
  return emitRet(at);
}

const int64_t p60 = int64_t(1) << 60;

class TxPrim_Native : public testing::Test {
 protected:
  uint8_t* area = nullptr;
  TRoutines savedRt = tRt;
  // Switches and heap states a test may change, as set-up left them.
  uint32_t savedTFP = enableTFP;
  uint8_t savedIncGCState = currentIncGCState;
  uint32_t savedAbsorbed = permSpaceAbsorbed;
  uint32_t savedIEEE = IEEEInfNaN;
  uint32_t savedThresholdRefs = numThresholdRefs;  // the stub cases record their compares
  void SetUp() override {
    newTestHeap();
    registerAll();
    savedTFP = enableTFP, savedIncGCState = currentIncGCState, savedAbsorbed = permSpaceAbsorbed;
  }
  // The C primitives, then the translated ones over them (again after a new zone, which holds
  // the table).
  void registerAll() {
    initPrimitiveTable();
    initArithmeticPrims();
    initHashPrimitives();
    initObjectPrims();
    initSmallDoublePrims();
    initDoublePrims();
    initFloatPrims();
    initSubscriptPrims();
    initAllocationPrims();
    initEvaluationPrimitives();
    tNil = nilOop();
    tTrue = trueOop();
    tFalse = falseOop();
    if (area == nullptr) area = nativeCodeArea();
    for (int k = 0; k < 5; k++) tRt.primGlue[k] = area;
    genProbe(area);
    genCheckStoreDouble(area + 128);
    tRt.checkStore = area + 128;
    forgetCaptures();
    txRegisterTable(txArithPrims, 5, primKindTranslated);
    txRegisterTable(txControlPrims, 5, primKindTranslated);
    txRegisterTable(txMemPrims, 5, primKindTranslated);
    txRegisterTable(txSubscriptPrims, 5, primKindTranslated);
  }
  static void forgetCaptures() {
    for (TranslatedPrimRecord* t : {txArithPrims, txControlPrims, txMemPrims, txSubscriptPrims}) {
      for (TranslatedPrimRecord* r = t; r->number != 0; r++) r->cFunction = r->glue = nullptr;
    }
  }
  void TearDown() override {
    enableTFP = savedTFP, currentIncGCState = savedIncGCState, permSpaceAbsorbed = savedAbsorbed;
    IEEEInfNaN = savedIEEE;
    numThresholdRefs = savedThresholdRefs;
    forgetCaptures();
    tRt = savedRt;
    initPrimitiveTable();
    freeTestHeap();
  }

  // Generated code of the record behind `number`: notes rsp, the inline code, then (for the
  // fall-through) r10 := 3.
  uint8_t* generate(uint32_t number, int inlineFailure) {
    const PrimEntry* e = getPrimEntry(number);
    EXPECT_EQ(e->kind, primKindTranslated);
    const TranslatedPrimRecord* r = (const TranslatedPrimRecord*)(uintptr_t)e->function;
    uint8_t* code = area + 256;
    uint8_t* at = emitMovRI64(code, rR11, (uint64_t)(uintptr_t)&seen[5]);
    at = emitMovMR(at, rR11, 0, rSP);
    at = r->generator(at, r, inlineFailure);
    at = emitMovRI32(at, rR10, 3);
    emitRet(at);
    return code;
  }

  // An object made inline: the C answer's header word but the hash, its body, and the last
  // object in eden.
  static void expectSameAnswer(oop inlineAnswer, oop c) {
    if (isImmediate(c) || inlineAnswer == c) {
      EXPECT_EQ(inlineAnswer, c);
      return;
    }
    ASSERT_FALSE(isImmediate(inlineAnswer));
    const ObjectHeader *a = headerOf(inlineAnswer), *b = headerOf(c);
    EXPECT_EQ(a->flags & ~hashMask, b->flags & ~hashMask);
    EXPECT_EQ(a->dataPtr, inlineAnswer + objectHeaderBytes) << "the body right behind the header";
    const uint64_t words = roundedBodyBytes(bodyBytesOf(b)) / 8;
    for (uint64_t k = 0; k < words; k++) EXPECT_EQ(bodyOf(a)[k], bodyOf(b)[k]) << "word " << k;
    EXPECT_EQ(a->dataPtr + 8 * words, eden.allocPtr) << "the next object right behind";
  }

  bool mayCallC = false;  // members that hand some cases C answers for to C

  // The indexed-access cases of the C primitives, replayed through the translated ones.
  void replaySubscriptCases();

  // The receiver's body bytes, for the stores: each run starts from the body as it was.
  static std::vector<uint8_t> bodyBytes(oop o) {
    if (isImmediate(o)) return {};
    const uint8_t* b = reinterpret_cast<const uint8_t*>(bodyOf(headerOf(o)));
    return std::vector<uint8_t>(b, b + bodyBytesOf(headerOf(o)));
  }
  static void setBodyBytes(oop o, const std::vector<uint8_t>& bytes) {
    if (!bytes.empty()) memcpy(bodyOf(headerOf(o)), bytes.data(), bytes.size());
  }

  // value: the second argument of the two-argument members (r13).
  void check(uint32_t number, oop receiver, oop argument, oop value = 0x5A5A5A5A5A5A5A5Aull) {
    const TranslatedPrimRecord* r = (const TranslatedPrimRecord*)(uintptr_t)getPrimEntry(number)->function;
    addCPrimitive(number, r->cFunction, (uint8_t)txArgCount(r));  // the harness calls the table's function
    const std::vector<uint8_t> before = bodyBytes(receiver);
    PrimOutcome c = txArgCount(r) == 0   ? callPrimitive(number, receiver, {})
                    : txArgCount(r) == 1 ? callPrimitive(number, receiver, {argument})
                                         : callPrimitive(number, receiver, {argument, value});
    const std::vector<uint8_t> afterC = bodyBytes(receiver);
    addPrimitiveWithParams(number, r, (uint8_t)txArgCount(r), primKindTranslated, r->flag);
    bool callsC = mayCallC;
    for (int inlineFailure = 0; inlineFailure < 2; inlineFailure++) {
      SCOPED_TRACE(testing::Message() << "primitive " << number << " receiver 0x" << std::hex << receiver
                                      << " argument 0x" << argument << " value 0x" << value << " inlineFailure "
                                      << inlineFailure);
      uint8_t* code = generate(number, inlineFailure);
      const uint64_t r13 = value;
      setBodyBytes(receiver, before);
      RegFile regs = {};
      regs.r[rSP] = 0x202;
      regs.r[rBX] = receiver;
      regs.r[rR12] = argument;
      regs.r[rR13] = r13;
      regs.r[rR15] = 0x77;
      regs.r[rCX] = 0xC0C0;
      nativeRun(code, regs);
      EXPECT_EQ(regs.r[rCX], 0xC0C0u);
      if (callsC && regs.r[rR10] == 2) {
        EXPECT_EQ(seen[0], receiver);
        EXPECT_EQ(seen[1], argument);
        EXPECT_EQ(seen[3], (uint64_t)(uintptr_t)r->cFunction);
      } else if (!c.failed) {
        ASSERT_EQ(regs.r[rR10], 0u) << "answered inline";
        expectSameAnswer(regs.r[rBX], c.result);
        EXPECT_TRUE(bodyBytes(receiver) == afterC) << "the receiver's body as C leaves it";
      } else if (inlineFailure == 0) {
        ASSERT_EQ(regs.r[rR10], 2u) << "the fallback";
        EXPECT_EQ(seen[0], receiver);
        EXPECT_EQ(seen[1], argument);
        EXPECT_EQ(seen[2], r13);
        EXPECT_EQ(seen[3], (uint64_t)(uintptr_t)r->cFunction);
        EXPECT_EQ(seen[4], seen[5] - 8) << "called from the method's entry level";
      } else {
        ASSERT_EQ(regs.r[rR10], 3u) << "the fall-through";
        EXPECT_EQ(regs.r[rR15], 0u);
        EXPECT_EQ(regs.r[rBX], receiver);
        EXPECT_EQ(regs.r[rR12], argument);
        EXPECT_EQ(regs.r[rR13], r13);
      }
      if (regs.r[rR10] != 0) {
        EXPECT_TRUE(bodyBytes(receiver) == before) << "nothing stored before giving up";
      }
    }
    setBodyBytes(receiver, afterC);
  }
};

}  // namespace

TEST_F(TxPrim_Native, SmallIntegerMembersAnswerAsTheCPrimitives) {
  const int64_t values[] = {0, 1, -1, 2, -2, 3, 7, -7, 1000, -1000, (1 << 30) - 1, 1 << 30, int64_t(1) << 59,
                            -(int64_t(1) << 59), p60 - 1, p60 - 2, -p60, -p60 + 1, p60 / 3, 0x123456789ABLL};
  const int64_t shifts[] = {-1000, -64, -61, -60, -59, -3, -1, 0, 1, 3, 30, 58, 59, 60, 61, 64, 1000};
  const oop others[] = {nilOop(), characterFor('a'), newNewObject(testClasses.object, 0)};
  for (uint32_t number : {1u, 2u, 3u, 4u, 5u, 6u, 7u, 8u, 9u, 10u, 11u, 12u, 13u, 14u, 15u, 16u}) {
    for (int64_t r : values) {
      for (int64_t a : values) {
        check(number, smallIntegerFor(r), smallIntegerFor(a));
        if (HasFatalFailure()) return;
      }
      for (oop other : others) check(number, smallIntegerFor(r), other);
      if (HasFatalFailure()) return;
    }
  }
  for (int64_t r : values) {
    for (int64_t k : shifts) check(17, smallIntegerFor(r), smallIntegerFor(k));
    for (oop other : others) check(17, smallIntegerFor(r), other);
    check(1747, smallIntegerFor(r), 0);
    if (HasFatalFailure()) return;
  }
}

TEST_F(TxPrim_Native, IdentityAndClassMembersAnswerAsTheCPrimitives) {
  oop hashed = newNewObject(testClasses.object, 0), old = newOldObject(testClasses.threeSlots, 3);
  getObjHash(headerOf(hashed));
  getObjHash(headerOf(old));
  const oop receivers[] = {smallIntegerFor(-7), characterFor('z'), nilOop(), trueOop(), hashed, old};
  for (oop r : receivers) {
    for (uint32_t number : {75u, 111u, 1065u}) check(number, r, 0);
    for (oop a : receivers) {
      check(109, r, a);
      check(110, r, a);
    }
    if (HasFatalFailure()) return;
  }
  // Retagging members (the receiver is of the method's class) and Characters from codes.
  for (oop c : {characterFor(0), characterFor('a'), characterFor(0x10FFFF)}) check(410, c, 0);
  for (double d : {0.0, -1.5, 1e10}) check(820, smallDoubleFor(d), 0);
  for (oop code : {smallIntegerFor(0), smallIntegerFor(65), smallIntegerFor(0x10FFFF), smallIntegerFor(p60 - 1),
                   smallIntegerFor(-1), smallIntegerFor(-p60), nilOop(), characterFor('x'), hashed})
    check(411, nilOop(), code);
  // Without a hash yet, 75 leaves the object alone and calls C, which assigns one.
  for (int inlineFailure = 0; inlineFailure < 2; inlineFailure++) {
    oop fresh = newNewObject(testClasses.object, 0);
    ASSERT_EQ(hashOf(headerOf(fresh)), 0u);
    RegFile regs = {};
    regs.r[rSP] = 0x202;
    regs.r[rBX] = fresh;
    nativeRun(generate(75, inlineFailure), regs);
    EXPECT_EQ(regs.r[rR10], 2u) << inlineFailure;
    EXPECT_EQ(seen[0], fresh);
    EXPECT_EQ(hashOf(headerOf(fresh)), 0u);
  }
}

TEST_F(TxPrim_Native, SmallDoubleMembersAnswerAsTheCPrimitives) {
  const double nan = std::numeric_limits<double>::quiet_NaN(), inf = std::numeric_limits<double>::infinity();
  const double receivers[] = {0.0, -0.0, 1.0, -1.0, 1.5, -3.25, 1e10, doubleFromBits(smallDoubleMinMagnitude),
                              doubleFromBits(smallDoubleMaxMagnitude), -doubleFromBits(smallDoubleMaxMagnitude)};
  std::vector<oop> arguments;
  for (double d : receivers) arguments.push_back(smallDoubleFor(d));
  for (double d : {nan, -nan, inf, -inf, 5e-324, -5e-324, 1e300, 1.0, -0.0, 1.5}) arguments.push_back(newDoubleBox(d));
  // Just outside the immediate range on either side: with a zero receiver the results land on
  // the range's edges, which have no immediate form.
  const double belowRange = doubleFromBits(smallDoubleMinMagnitude - 1), aboveRange = doubleFromBits(smallDoubleMaxMagnitude + 1);
  for (double d : {belowRange, -belowRange, aboveRange, -aboveRange}) arguments.push_back(newDoubleBox(d));
  for (int64_t v : {int64_t(0), int64_t(1), int64_t(-1), (int64_t(1) << 53) + 1, p60 - 1, -p60})
    arguments.push_back(smallIntegerFor(v));
  arguments.push_back(newFloatBox(1.5f));  // C answers: the inline code hands it over
  arguments.push_back(characterFor('a'));
  arguments.push_back(nilOop());
  for (uint32_t number = 821; number <= 830; number++) {
    for (double d : receivers) {
      for (oop a : arguments) {
        mayCallC = !isImmediate(a) && classTagOf(headerOf(a)) != classIndexDouble;  // only other objects
        check(number, smallDoubleFor(d), a);
      }
      if (HasFatalFailure()) return;
    }
  }
  // Double receivers: results without an immediate form are boxed inline.
  for (uint32_t number = 561; number <= 570; number++) {
    for (double d : {0.0, -0.0, 1.5, -3.25, 1e300, nan, inf, 5e-324}) {
      oop box = newDoubleBox(d);
      for (oop a : arguments) {
        mayCallC = !isImmediate(a) && classTagOf(headerOf(a)) != classIndexDouble;
        check(number, box, a);
      }
      if (HasFatalFailure()) return;
    }
  }
  mayCallC = false;
  for (double d : receivers) check(842, smallDoubleFor(d), 0);
  for (double d : {0.25, 2.0, 1e-300 * 0 + 5e-200, -4.0}) {
    if (fitsSmallDouble(d)) check(842, smallDoubleFor(d), 0);
  }
  for (int64_t v : {int64_t(0), int64_t(1), int64_t(-1), int64_t(-7), (int64_t(1) << 53) + 1, p60 - 1, -p60})
    check(589, smallIntegerFor(v), 0);
  // With the floating-point code off, every case goes to C.
  enableTFP = 0;
  for (int inlineFailure = 0; inlineFailure < 2; inlineFailure++) {
    RegFile regs = {};
    regs.r[rSP] = 0x202;
    regs.r[rBX] = smallDoubleFor(1.0);
    regs.r[rR12] = smallDoubleFor(2.0);
    nativeRun(generate(823, inlineFailure), regs);
    EXPECT_EQ(regs.r[rR10], 2u) << inlineFailure;
  }
}

// Without "get self class format": pointer receivers whose header defers the named count to
// the class, and for 62 pointer objects without indexed slots; the inline code calls C.
bool leftToC(uint32_t number, oop o) {
  if (isImmediate(o) || !hasPtrs(headerOf(o)) || txClassFormatStub != nullptr) return false;
  const ObjectHeader* h = headerOf(o);
  if (indexabilityOf(h) == indexabilityAskClass) return true;
  return number == 62 && bodyWordsOf(h) <= indexabilityOf(h);
}

// The indexed-access cases of the C primitives, replayed through the translated ones built.
void TxPrim_Native::replaySubscriptCases() {
  int replayed = 0;
  for (auto cases : {slotAccessCases(), byteAndUnitCases(), byteOffsetCases()}) {
    for (const PrimCase& c : cases) {
      if (getPrimEntry(c.prim)->kind != primKindTranslated) continue;
      SCOPED_TRACE(c.what);
      mayCallC = leftToC(c.prim, c.rcv);
      if (c.args.size() == 2) check(c.prim, c.rcv, c.args[0], c.args[1]);
      else check(c.prim, c.rcv, c.args.empty() ? 0 : c.args[0]);
      replayed++;
      if (HasFatalFailure()) return;
    }
  }
  EXPECT_GT(replayed, 20);
  mayCallC = false;
}

TEST_F(TxPrim_Native, SubscriptMembersAnswerAsTheCPrimitives) {
  replaySubscriptCases();
  if (HasFatalFailure()) return;
  // Indices at the edges of pointer objects of 0, 3 and 251 named slots and of byte objects
  // with 0-7 unused bytes.
  for (uint64_t named : {0u, 3u, 200u}) {
    std::vector<oop> slots;
    for (uint64_t k = 0; k < named + 5; k++) slots.push_back(smallIntegerFor((int64_t)k * 10));
    oop o = oldSlots(testClasses.pointers, named, slots);
    for (int64_t i : {-1, 0, 1, 5, 6, 1000}) {
      for (uint32_t number : {60u, 63u, 420u, 412u, 423u, 540u, 544u}) check(number, o, smallIntegerFor(i));  // bytes only: all but 60
      for (uint32_t number : {61u, 64u, 421u, 413u, 424u}) check(number, o, smallIntegerFor(i), smallIntegerFor(7));
    }
    check(62, o, 0);
  }
  mayCallC = true;  // no indexed slots: the class decides, in C
  for (uint64_t named : {0u, 2u}) check(62, oldSlots(testClasses.pointers, named, std::vector<oop>(named, nilOop())), 0);
  mayCallC = false;
  check(62, smallIntegerFor(3), 0);
  for (size_t n = 8; n <= 16; n++) {
    std::vector<uint8_t> bytes(n);
    for (size_t k = 0; k < n; k++) bytes[k] = (uint8_t)(200 + k);
    oop o = oldBytes(testClasses.bytes, bytes);
    const int64_t indices[] = {int64_t(0), int64_t(1), (int64_t)n / 2, (int64_t)n / 2 + 1, (int64_t)n - 3,
                               (int64_t)n - 2, (int64_t)n - 1, (int64_t)n, (int64_t)n + 1};
    for (uint32_t number : {60u, 63u, 420u, 412u, 423u, 540u, 544u}) {
      for (int64_t i : indices) check(number, o, smallIntegerFor(i));
      check(number, o, nilOop());
      check(number, smallIntegerFor(4), smallIntegerFor(1));
    }
    check(62, o, 0);
    // Stores: every member's values at and past its range, of the right and the wrong kind.
    const oop values[] = {smallIntegerFor(0), smallIntegerFor(255), smallIntegerFor(256), smallIntegerFor(65535),
                          smallIntegerFor(65536), smallIntegerFor(-1), characterFor(0), characterFor(255),
                          characterFor(256), characterFor(65535), characterFor(65536), nilOop()};
    for (uint32_t number : {61u, 64u, 421u, 413u, 424u}) {
      for (int64_t i : indices) {
        for (oop v : values) check(number, o, smallIntegerFor(i), v);
      }
      check(number, o, nilOop(), smallIntegerFor(1));
      check(number, smallIntegerFor(4), smallIntegerFor(1), smallIntegerFor(1));
    }
  }
  // Bodies whose size lies in the word before them: new and old, pointers and bytes, 0-7 odd bytes.
  std::vector<oop> sized = {oopOf(allocSmallObj(classIndexArray, 0, 8 * 4000, hasPtrsBit, nilOop())),
                            oopOf(allocLargePointerObj(testClasses.pointers, 0, 8 * 300, hasPtrsBit, nilOop()))};
  for (uint64_t n : {2008u, 2009u, 2015u, 5000u})
    sized.push_back(oopOf(allocLargeByteObj(testClasses.bytes, n, 0, 0)));
  for (oop o : sized) {
    ASSERT_GT(sizeFieldOf(headerOf(o)), 251u);
    mayCallC = false;
    const int64_t n = (int64_t)byteSizeOf(headerOf(o)), words = (int64_t)bodyWordsOf(headerOf(o));
    for (int64_t i : {int64_t(0), int64_t(1), words - 1, words, words + 1, n - 4, n - 3, n - 2, n - 1, n, n + 1}) {
      for (uint32_t number : {60u, 63u, 412u, 420u, 423u, 540u, 544u}) check(number, o, smallIntegerFor(i));
      for (uint32_t number : {61u, 421u, 424u}) check(number, o, smallIntegerFor(i), smallIntegerFor(200));
      check(61, o, smallIntegerFor(i), o);
      for (uint32_t number : {64u, 413u}) check(number, o, smallIntegerFor(i), characterFor(300));
    }
    check(62, o, 0);
  }
  // Immutable and perm byte objects, and pointer objects (immutable and empty among them),
  // under every store and element read.
  oop frozen = oldBytes(testClasses.bytes, std::vector<uint8_t>(12, 1));
  setFlag(headerOf(frozen), isImmutableBit);
  oop perm = oldBytes(testClasses.bytes, std::vector<uint8_t>(12, 1));
  makePerm(perm);
  oop slots = oldSlots(testClasses.pointers, 0, std::vector<oop>(6, nilOop()));
  oop frozenSlots = oldSlots(testClasses.pointers, 0, std::vector<oop>(6, nilOop()));
  setFlag(headerOf(frozenSlots), isImmutableBit);
  oop frozenSized = oopOf(allocLargePointerObj(testClasses.pointers, 0, 8 * 300, hasPtrsBit, nilOop()));
  setFlag(headerOf(frozenSized), isImmutableBit);
  oop empty = oldSlots(testClasses.pointers, 0, std::vector<oop>());
  for (oop o : {frozen, perm, slots, frozenSlots, frozenSized, empty}) {
    for (int64_t i : {1, 2, 5, 12}) {
      for (uint32_t number : {60u, 63u, 412u, 420u, 423u, 540u, 544u}) check(number, o, smallIntegerFor(i));
      for (uint32_t number : {61u, 421u, 424u}) check(number, o, smallIntegerFor(i), smallIntegerFor(9));
      for (uint32_t number : {64u, 413u}) check(number, o, smallIntegerFor(i), characterFor('9'));
    }
  }
}

// 61 over the store check's truth table: the routine is reached, with the holder and the
// value, exactly where C's barrier works, and the routine then leaves the remembered tables
// and the mark bits as C 61 does.
TEST_F(TxPrim_Native, BasicAtPutLeavesTheRememberedTablesAsC) {
  const uint32_t cls = testClasses.pointers;
  oop perm = oldSlots(cls, 0, std::vector<oop>(3, nilOop())), permValue = newOldObject(testClasses.object, 0);
  makePerm(perm);
  makePerm(permValue);
  const oop holders[3] = {newNewObject(cls, 3), oldSlots(cls, 0, std::vector<oop>(3, nilOop())), perm};
  const oop values[4] = {smallIntegerFor(5), newNewObject(testClasses.object, 0), newOldObject(testClasses.object, 0),
                         permValue};
  permSpaceAbsorbed = 0;
  const uint64_t varied = inRtBit | isInOldRtBit | isMarkedBit;
  const TranslatedPrimRecord* record = (const TranslatedPrimRecord*)(uintptr_t)getPrimEntry(61)->function;
  int works = 0;
  struct State {
    uint64_t ffs, holderFlags, valueFlags;
    bool operator==(const State&) const = default;
  };
  for (int hk = 0; hk < 3; hk++) {
    for (int vk = 0; vk < 4; vk++) {
      for (int bits = 0; bits < 32; bits++) {
        SCOPED_TRACE(testing::Message() << "holder " << hk << " value " << vk << " bits " << bits);
        ObjectHeader* h = headerOf(holders[hk]);
        const oop v = values[vk];
        setStoreCheckCase(h, v, bits);
        auto state = [&] { return State{rt.ffs, h->flags & varied, isImmediate(v) ? 0 : headerOf(v)->flags & varied}; };
        const State before = state();
        auto restore = [&] {
          rt.ffs = before.ffs;
          h->flags = (h->flags & ~varied) | before.holderFlags;
          if (!isImmediate(v)) headerOf(v)->flags = (headerOf(v)->flags & ~varied) | before.valueFlags;
          bodyOf(h)[1] = nilOop();
        };
        addCPrimitive(61, record->cFunction, 2);
        PrimOutcome c = callPrimitive(61, holders[hk], {smallIntegerFor(2), v});
        addPrimitiveWithParams(61, record, 2, primKindTranslated, record->flag);
        ASSERT_FALSE(c.failed);
        const State afterC = state();
        works += afterC != before;
        restore();
        checkStoreSeen[2] = 0;
        RegFile regs = {};
        regs.r[rSP] = 0x202;
        regs.r[rBX] = holders[hk];
        regs.r[rR12] = smallIntegerFor(2);
        regs.r[rR13] = v;
        nativeRun(generate(61, 0), regs);
        ASSERT_EQ(regs.r[rR10], 0u) << "answered inline";
        EXPECT_EQ(regs.r[rBX], v);
        EXPECT_EQ(bodyOf(h)[1], v);
        EXPECT_EQ(checkStoreSeen[2] != 0, afterC != before) << "the routine, exactly where C's barrier works";
        if (checkStoreSeen[2] != 0) {
          EXPECT_EQ(checkStoreSeen[0], holders[hk]);
          EXPECT_EQ(checkStoreSeen[1], v);
          storeCheck(headerOf(checkStoreSeen[0]), checkStoreSeen[1], "test", 1);  // what the routine runs
        }
        EXPECT_TRUE(state() == afterC) << "the remembered tables and marks as C 61 leaves them";
        restore();
      }
    }
  }
  EXPECT_GT(works, 0);
}

// Pointer receivers whose header defers the named count to the class (the class naming 2,
// 3, 5 or 300 slots, some past the body), and pointer objects without indexed slots, under
// 60, 61 and 62: C, then with "get self class format" inline, as C answers or fails.
TEST_F(TxPrim_Native, SubscriptMembersAskTheClassForTheNamedCount) {
  struct Shape {
    uint64_t format;  // the class's
    uint64_t words;
    bool askClass;    // else the header holds the class's named count
  };
  const Shape shapes[] = {
      {formatIndexable | 2, 4, true},    {formatIndexable | 300, 304, true}, {formatIndexable | 3, 3, true},
      {3, 3, true},                      {formatIndexable | 5, 3, true},     {2, 2, false},
      {formatIndexable | 0, 0, false},
  };
  std::vector<oop> receivers;
  for (const Shape& shape : shapes) {
    const uint32_t cls = newTestClass(formatPointers | shape.format);
    const uint64_t named = formatNamedSlots(shape.format);
    ObjectHeader* h = shape.words > 251 ? allocLargePointerObj(cls, (int64_t)named, 8 * shape.words, hasPtrsBit, nilOop())
                                        : headerOf(oldSlots(cls, std::min(named, shape.words),
                                                            std::vector<oop>(shape.words, nilOop())));
    for (uint64_t k = 0; k < shape.words; k++) bodyOf(h)[k] = smallIntegerFor((int64_t)k + 100);
    if (shape.askClass) setIndexability(h, indexabilityAskClass);
    receivers.push_back(oopOf(h));
  }
  auto checkAll = [&] {
    for (oop o : receivers) {
      mayCallC = leftToC(62, o);
      check(62, o, 0);
      const int64_t words = (int64_t)bodyWordsOf(headerOf(o));
      for (int64_t i : {int64_t(0), int64_t(1), int64_t(2), int64_t(3), int64_t(4), int64_t(5), words}) {
        mayCallC = leftToC(60, o);
        check(60, o, smallIntegerFor(i));
        check(61, o, smallIntegerFor(i), characterFor('x'));
      }
      check(60, o, nilOop());
    }
    mayCallC = false;
  };
  checkAll();
  if (HasFatalFailure()) return;
  SavedNMethodZone savedZone;
  nativeZone();
  txMakeClassFormatStub();
  registerAll();
  EXPECT_STREQ(nzoneSymbolAt((uint64_t)(uintptr_t)txClassFormatStub), "NrtGetSelfClassFormat");
  for (oop o : receivers) EXPECT_FALSE(leftToC(62, o));
  checkAll();
  if (!HasFatalFailure()) replaySubscriptCases();
}

TEST_F(TxPrim_Native, FloatMembersAndBoxedResultsAnswerAsTheCPrimitives) {
  const float fnan = std::numeric_limits<float>::quiet_NaN(), finf = std::numeric_limits<float>::infinity();
  const double nan = std::numeric_limits<double>::quiet_NaN(), inf = std::numeric_limits<double>::infinity();
  std::vector<oop> floats, arguments;
  for (float f : {0.0f, -0.0f, 1.5f, -3.25f, 3.0e38f, 1e-45f, fnan, finf}) floats.push_back(newFloatBox(f));
  for (float f : {0.0f, -0.0f, 2.0f, 3.0e38f, 1e-45f, fnan, -finf}) arguments.push_back(newFloatBox(f));
  for (int64_t v : {int64_t(0), int64_t(1), int64_t(-7), (int64_t(1) << 24) + 1, (int64_t(1) << 53) + 1, p60 - 1})
    arguments.push_back(smallIntegerFor(v));
  for (oop other : {newDoubleBox(1.5), smallDoubleFor(1.5), characterFor('a'), nilOop()}) arguments.push_back(other);
  std::vector<oop> doubles, doubleArguments;
  for (double d : {0.0, -0.0, 2.0, -4.0, 1.5, 1e300, -1e300, 5e-324, nan, inf}) doubles.push_back(newDoubleBox(d));
  for (double d : {1e300, 2.0, nan}) doubleArguments.push_back(newDoubleBox(d));
  for (oop a : {smallIntegerFor(0), smallIntegerFor(3), smallDoubleFor(2.0)}) doubleArguments.push_back(a);
  for (uint32_t ieee : {0u, 1u}) {
    IEEEInfNaN = ieee;
    SCOPED_TRACE(testing::Message() << "IEEEInfNaN " << ieee);
    for (uint32_t number = 41; number <= 50; number++) {
      for (oop r : floats) {
        for (oop a : arguments) check(number, r, a);
      }
      if (HasFatalFailure()) break;
    }
    for (oop r : floats) check(603, r, 0);
    for (int64_t v : {int64_t(0), int64_t(-1), int64_t(1) << 24, (int64_t(1) << 24) + 1, p60 - 1, -p60})
      check(40, smallIntegerFor(v), 0);
    for (oop r : doubles) {
      check(582, r, 0);
      for (uint32_t number : {561u, 562u, 569u, 570u}) {
        for (oop a : doubleArguments) check(number, r, a);
      }
    }
  }
  EXPECT_EQ(verifyHeap(), "");
}

// Instances of every class shape and size: inline where the header holds the size, C for
// the rest, failures as in C.
TEST_F(TxPrim_Native, InstanceCreationAnswersAsTheCPrimitives) {
  registerSysOop(classAt(newTestClass(formatPointers | 2)), sysPointClass);  // 18's class
  const uint32_t wide = newTestClass(formatPointers | 251), wider = newTestClass(formatPointers | 252);
  const uint32_t named = newTestClass(formatPointers | formatIndexable | 3);
  const oop unentered = newUnenteredTestClass(formatPointers | 2);
  struct Case {
    uint32_t number;
    oop receiver, argument;
    bool toC;  // C answers or fails where the inline code calls it
  };
  std::vector<Case> cases = {
      {70, classAt(testClasses.object), 0, false},  {70, classAt(testClasses.threeSlots), 0, false},
      {70, classAt(wide), 0, false},                {70, classAt(wider), 0, true},
      {70, classAt(testClasses.pointers), 0, true}, {70, classAt(testClasses.weak), 0, true},
      {70, unentered, 0, true},
      {71, classAt(testClasses.object), smallIntegerFor(3), true},
      {71, classAt(testClasses.weak), smallIntegerFor(3), true},
      {71, classAt(testClasses.pointers), smallIntegerFor(252), true},
      {71, classAt(testClasses.pointers), smallIntegerFor(int64_t(1) << 40), true},
      {71, classAt(named), smallIntegerFor(249), true},
      {71, classAt(testClasses.bytes), smallIntegerFor(2002), true},
      {71, classAt(testClasses.bytes), smallIntegerFor(int64_t(1) << 59), true},
  };
  for (int64_t n : {0, 1, 2, 5, 250, 251}) cases.push_back({71, classAt(testClasses.pointers), smallIntegerFor(n), false});
  for (int64_t n : {0, 1, 248}) cases.push_back({71, classAt(named), smallIntegerFor(n), false});
  for (int64_t n : {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 16, 2001}) cases.push_back({71, classAt(testClasses.bytes), smallIntegerFor(n), false});
  for (oop bad : {smallIntegerFor(-1), smallIntegerFor(-p60), nilOop(), characterFor('a')}) {
    for (uint32_t cls : {testClasses.pointers, testClasses.bytes}) cases.push_back({71, classAt(cls), bad, false});
  }
  const oop old = newOldObject(testClasses.threeSlots, 3);
  for (oop r : {smallIntegerFor(3), nilOop(), old}) {
    for (oop a : {smallIntegerFor(-4), characterFor('q'), old}) cases.push_back({18, r, a, false});
  }
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "case of " << c.number << " argument 0x" << std::hex << c.argument);
    mayCallC = c.toC;
    check(c.number, c.receiver, c.argument);
    if (HasFatalFailure()) return;
  }
  mayCallC = false;
  EXPECT_EQ(verifyHeap(), "");
}

// An object that ends exactly at eden's warning limit is made inline; one a word longer goes
// to C with eden as it was.
TEST_F(TxPrim_Native, InlineAllocationEndsAtTheWarningLimitAndNoFurther) {
  registerSysOop(classAt(newTestClass(formatPointers | 2)), sysPointClass);
  struct Case {
    uint32_t number;
    oop receiver, argument;
    uint64_t bytes;  // header and body
  };
  const Case cases[] = {
      {18, smallIntegerFor(1), smallIntegerFor(2), 32},
      {70, classAt(testClasses.threeSlots), 0, 40},
      {71, classAt(testClasses.pointers), smallIntegerFor(5), 56},
      {71, classAt(testClasses.bytes), smallIntegerFor(9), 32},
      {561, newDoubleBox(1e300), newDoubleBox(1e300), 24},
      {582, newDoubleBox(1e300), 0, 24},
      {41, newFloatBox(1.5f), newFloatBox(2.0f), 24},
      {40, smallIntegerFor(7), 0, 24},
  };
  const uint64_t limit = eden.warningLimit;
  for (const Case& c : cases) {
    for (uint64_t shortBy : {0u, 8u}) {
      SCOPED_TRACE(testing::Message() << c.number << " short by " << shortBy);
      const uint64_t top = eden.allocPtr;
      eden.warningLimit = top + c.bytes - shortBy;
      uint8_t* code = generate(c.number, 0);
      RegFile regs = {};
      regs.r[rSP] = 0x202;
      regs.r[rBX] = c.receiver;
      regs.r[rR12] = c.argument;
      nativeRun(code, regs);
      if (shortBy == 0) {
        EXPECT_EQ(regs.r[rR10], 0u);
        EXPECT_EQ(regs.r[rBX], top);
        EXPECT_EQ(eden.allocPtr, top + c.bytes);
      } else {
        EXPECT_EQ(regs.r[rR10], 2u);
        EXPECT_EQ(seen[0], c.receiver);
        EXPECT_EQ(seen[1], c.argument);
        EXPECT_EQ(eden.allocPtr, top);
      }
    }
  }
  eden.warningLimit = limit;
  EXPECT_EQ(verifyHeap(), "");
}

uint8_t* genAllocStub(uint8_t* at) {
  uint8_t* slow;
  at = tAllocFloat(at, 1, rBX, &slow);
  at = emitRet(at);
  cgenPatchRel32(slow, at);
  return emitRet(at);
}

// Stubs in the permanent area record their compares with the limit; a new limit empties the
// zone and changes only those immediates, in both forms, each stub then equal to a fresh
// generation.
TEST_F(TxPrim_Native, ANewEdenLimitRewritesOnlyTheRecordedCompares) {
  SavedNMethodZone savedZone;
  const EdenRecord savedEden = eden;
  for (bool above : {false, true}) {
    SCOPED_TRACE(above ? "imm64" : "imm32");
    nativeZone();
    if (above) eden = {0x180000000ull, 0x180000000ull, 0x1BFFF0000ull, 0x1C0000000ull};  // never run
    generatingRuntimeRoutines = 1;
    numThresholdRefs = 0;
    uint8_t* stubs[4];
    for (uint8_t*& stub : stubs) stub = tGenerate(genAllocStub, "alloc test");
    generatingRuntimeRoutines = 0;
    ASSERT_EQ(numThresholdRefs, 4u);
    ASSERT_NE(nMethodAlloc(256), nullptr);
    const uint8_t* low = reinterpret_cast<const uint8_t*>(uintptr_t(nmZone.top));
    const std::vector<uint8_t> before(low, reinterpret_cast<const uint8_t*>(uintptr_t(maxNZonePC)) + 1);
    eden.warningLimit -= 0x12340;
    tranNoteEdenWarningThresholdChanged();
    EXPECT_EQ(nmZone.free, nmZone.bottom) << "every nmethod discarded";
    uint8_t fresh[256];
    const uint8_t* end = genAllocStub(fresh);
    for (uint8_t* stub : stubs) EXPECT_EQ(memcmp(stub, fresh, size_t(end - fresh)), 0);
    const int immediate = above ? 2 : 3, width = above ? 8 : 4;
    for (size_t k = 0; k < before.size(); k++) {
      if (before[k] == low[k]) continue;
      bool inImmediate = false;
      for (uint32_t i = 0; i < numThresholdRefs; i++) {
        const uint8_t* at = threshold_refs[i] + immediate;
        inImmediate |= low + k >= at && low + k < at + width;
      }
      EXPECT_TRUE(inImmediate) << "byte " << k << " of the permanent area changed";
    }
    eden = savedEden;
  }
}

TEST_F(TxPrim_Native, AThresholdSiteBeyondTheTableIsFatal) {
  SavedNMethodZone savedZone;
  EXPECT_DEATH(
      {
        nativeZone();
        generatingRuntimeRoutines = 1;
        numThresholdRefs = 0;
        for (int k = 0; k <= thresholdRefCapacity; k++) tGenerate(genAllocStub, "alloc test");
      },
      "threshold_refs table too small");
}

// The allocation stubs build what the run-time routines build; what they cannot (an Array
// whose size the header cannot hold, an eden without room) reaches the routine with the
// registers as they came and eden unchanged.
TEST_F(TxPrim_Native, AllocationStubsBuildWhatTheRunTimeRoutinesBuild) {
  SavedNMethodZone savedZone;
  nativeZone();
  generatingRuntimeRoutines = 1;
  numThresholdRefs = 0;
  txMakeAllocStubs(area, area);  // the probe stands for the routines
  generatingRuntimeRoutines = 0;
  EXPECT_EQ(numThresholdRefs, 2u);
  EXPECT_STREQ(nzoneSymbolAt((uint64_t)(uintptr_t)tRt.createArray), "NrtCreateArray");
  EXPECT_STREQ(nzoneSymbolAt((uint64_t)(uintptr_t)tRt.makeCopyingBlock1), "NrtMakeCopyingBlock1Value");
  // A caller, as generated code calls the stubs: r10 stays 0 unless the probe is reached.
  auto callStub = [&](const void* stub, oop rbx, uint64_t r12) {
    uint8_t* code = area + 1024;
    emitRet(emitCallRel(code, stub));
    RegFile regs = {};
    regs.r[rSP] = 0x202;
    regs.r[rBX] = rbx;
    regs.r[rR12] = r12;
    regs.r[rR15] = nilOop();
    nativeRun(code, regs);
    return regs;
  };
  const oop method = newOldObject(testClasses.pointers, 2);
  const oop savedClass13 = classTable[0][13];
  classTable[0][13] = classAt(newTestClass(formatPointers | 3));  // the test heap has no BlockClosure
  for (uint64_t slots : {0u, 1u, 2u, 3u, 250u, 251u, 252u, 300u}) {
    SCOPED_TRACE(slots);
    const oop c = CrtCreateArray(slots);
    const uint64_t top = eden.allocPtr;
    RegFile regs = callStub(tRt.createArray, method, slots * 8);
    if (slots <= 251) {
      ASSERT_EQ(regs.r[rR10], 0u);
      expectSameAnswer(regs.r[rBX], c);
    } else {
      EXPECT_EQ(regs.r[rR10], 2u);
      EXPECT_EQ(seen[1], slots * 8);
      EXPECT_EQ(eden.allocPtr, top);
    }
  }
  for (oop value : {smallIntegerFor(5), nilOop(), newOldObject(testClasses.object, 0), newNewObject(testClasses.object, 0)}) {
    const oop c = CrtMakeCopyingBlock1(method, value);
    RegFile regs = callStub(tRt.makeCopyingBlock1, method, value);
    ASSERT_EQ(regs.r[rR10], 0u);
    expectSameAnswer(regs.r[rBX], c);
  }
  // Eden's warning limit: both stubs hold it in their compares, rewritten when it moves.
  const uint64_t limit = eden.warningLimit;
  for (uint64_t shortBy : {0u, 8u}) {
    eden.warningLimit = eden.allocPtr + 16 + 24 - shortBy;
    tranNoteEdenWarningThresholdChanged();
    for (const void* stub : {tRt.createArray, tRt.makeCopyingBlock1}) {
      const uint64_t top = eden.allocPtr;
      RegFile regs = callStub(stub, method, stub == tRt.createArray ? 3 * 8 : smallIntegerFor(3));
      EXPECT_EQ(regs.r[rR10], shortBy == 0 ? 0u : 2u) << shortBy;
      EXPECT_EQ(eden.allocPtr, shortBy == 0 ? top + 40 : top) << shortBy;
      EXPECT_EQ(seen[0], method);
      if (shortBy == 0) eden.warningLimit += 40;  // room for the next stub's object
      tranNoteEdenWarningThresholdChanged();
    }
  }
  eden.warningLimit = limit;
  EXPECT_EQ(verifyHeap(), "");
  classTable[0][13] = savedClass13;
}

alignas(stackSegmentBytes) uint64_t gatherZone[4 * stackSegmentWords];

// Two objects alike field for field: the header word (hash included: neither has one yet),
// the body right behind the header, and the same slots, but for an Array that the one holds
// where the other holds its own alike Array (a block's copied values).
void expectAlike(oop mine, oop theirs, int depth = 0) {
  if (isImmediate(theirs) || mine == theirs || isImmediate(mine)) {
    EXPECT_EQ(mine, theirs);
    return;
  }
  const ObjectHeader *a = headerOf(mine), *b = headerOf(theirs);
  EXPECT_EQ(a->flags, b->flags);
  EXPECT_EQ(a->dataPtr, mine + objectHeaderBytes) << "the body right behind the header";
  const uint64_t words = roundedBodyBytes(bodyBytesOf(b)) / 8;
  for (uint64_t k = 0; k < words; k++) {
    const oop x = bodyOf(a)[k], y = bodyOf(b)[k];
    if (depth == 0 && x != y && !isImmediate(x) && !isImmediate(y) && classTagOf(b) == 13) expectAlike(x, y, 1);
    else EXPECT_EQ(x, y) << "word " << k;
  }
}

// The gathering stubs against the run-time routines, for every kind and a range of counts:
// the same objects from the same stack values, the values taken off the stack; and where the
// stubs do not build (an Array too large for the header, eden without room, a full block's
// frame without its context) the routine reached with the registers and stack as they came
// and eden unchanged.
TEST_F(TxPrim_Native, GatherStubsBuildWhatTheRunTimeRoutinesBuild) {
  SavedNMethodZone savedZone;
  nativeZone();
  // The routines' double notes rbx, r12 and rsp, sets r10 := 2 and returns.
  uint8_t* routine = area + 1536;
  uint8_t* at = emitMovRI64(routine, rR11, (uint64_t)(uintptr_t)seen);
  at = emitMovMR(at, rR11, 0, rBX);
  at = emitMovMR(at, rR11, 8, rR12);
  at = emitMovMR(at, rR11, 32, rSP);
  at = emitMovRI32(at, rR10, 2);
  emitRet(at);
  tRt.consArray = tRt.makeCopyingBlock = tRt.makeFullCopyingBlock = tRt.makeFullBlock = routine;
  generatingRuntimeRoutines = 1;
  numThresholdRefs = 0;
  txMakeGatherStubs();
  generatingRuntimeRoutines = 0;
  EXPECT_EQ(numThresholdRefs, 5u) << "one compare each, two in the full copying block's";
  EXPECT_STREQ(nzoneSymbolAt((uint64_t)(uintptr_t)tRt.makeCopyingBlock), "NrtMakeCopyingBlock");

  initStacks(gatherZone, 4);
  stackAlloc(0);
  alignas(16) static NMethodHeader nm;
  static uint64_t frame[4];  // the words below the frame pointer, apart from the pushes
  uint64_t* fp = frame + 3;
  const oop context = newOldObject(testClasses.threeSlots, 3);  // stands for the frame's context
  fp[frContext] = context;
  currentStack[shFp] = reinterpret_cast<uint64_t>(fp);
  const oop savedClass13 = classTable[0][13];
  classTable[0][13] = classAt(newTestClass(formatPointers | 3));
  const oop method = newOldObject(testClasses.pointers, 2);
  const oop old = newOldObject(testClasses.object, 0), young = newNewObject(testClasses.object, 0);

  enum Kind { consArray, copying, fullCopying, full };
  const void* const stubs[4] = {tRt.consArray, tRt.makeCopyingBlock, tRt.makeFullCopyingBlock, tRt.makeFullBlock};
  // The values pushed (the first deepest) for a count.
  auto valuesFor = [&](uint64_t n) {
    std::vector<oop> v;
    const oop some[5] = {smallIntegerFor(7), nilOop(), old, young, characterFor('x')};
    for (uint64_t i = 0; i < n; i++) v.push_back(i < 5 ? some[i] : smallIntegerFor(int64_t(i)));
    return v;
  };
  // The C routine's answer from the same values on the running segment.
  auto reference = [&](Kind kind, const std::vector<oop>& values) {
    uint64_t* p = currentStack + shRootReturn;
    for (oop v : values) *--p = v;
    *--p = 0xC0DE;
    currentStack[shSp] = reinterpret_cast<uint64_t>(p);
    const uint64_t n = values.size();
    oop answer = kind == consArray ? CrtConsArray(n) : kind == copying ? CrtMakeCopyingBlock(method, n)
               : kind == fullCopying ? CrtMakeFullCopyingBlock(method, n) : CrtMakeFullBlock(method);
    EXPECT_EQ(currentStack[shSp], reinterpret_cast<uint64_t>(p) + 8 * n);
    return answer;
  };
  // A caller as generated code calls the stubs: the values pushed, the count in rbx (cons
  // array) or r12, the method in rbx, rbp the frame. r15 := rsp after the call less rsp
  // before the pushes: 0 when the stub took the values.
  auto callStub = [&](Kind kind, const std::vector<oop>& values) {
    uint8_t* code = area + 2048;
    uint8_t* c = emitMovRR(code, rR13, rSP);
    for (oop v : values) c = emitPushR(emitMovRI64(c, rAX, v), rAX);
    c = emitCallRel(c, stubs[kind]);
    c = emitMovRR(c, rR15, rSP);
    c = emitAluRR(c, aluRRSub, rR15, rR13);
    c = emitMovRR(c, rSP, rR13);
    emitRet(c);
    RegFile regs = {};
    regs.r[rSP] = 0x202;
    regs.r[rBX] = kind == consArray ? values.size() : method;
    regs.r[rR12] = values.size();
    regs.r[rBP] = reinterpret_cast<uint64_t>(fp);
    nativeRun(code, regs);
    return regs;
  };
  // Runs one case: inline (the answer alike the routine's, the values taken off the stack,
  // eden's top right behind the objects) or slow (the routine reached as the stub was
  // entered, eden unchanged).
  auto check = [&](Kind kind, uint64_t n, bool inlineExpected) {
    SCOPED_TRACE(testing::Message() << "kind " << int(kind) << " count " << n);
    const std::vector<oop> values = valuesFor(n);
    const oop theirs = inlineExpected ? reference(kind, values) : 0;  // (the routine would give the frame a context)
    const uint64_t top = eden.allocPtr;
    RegFile regs = callStub(kind, values);
    if (inlineExpected) {
      ASSERT_EQ(regs.r[rR10], 0u);
      EXPECT_EQ(regs.r[rR15], 0u) << "the values taken off the stack";
      expectAlike(regs.r[rBX], theirs);
      EXPECT_EQ(regs.r[rBX], eden.allocPtr - (kind == consArray ? objectHeaderBytes + 8 * n : objectHeaderBytes + 24));
    } else {
      ASSERT_EQ(regs.r[rR10], 2u);
      EXPECT_EQ(regs.r[rR15], uint64_t(-8 * int64_t(n))) << "the values left";
      EXPECT_EQ(seen[0], kind == consArray ? n : method);
      EXPECT_EQ(seen[1], n);
      EXPECT_EQ(eden.allocPtr, top);
    }
  };

  nm = NMethodHeader{};
  fp[frNMethod] = reinterpret_cast<uint64_t>(&nm) | frameHybridBit;
  for (Kind kind : {consArray, copying, fullCopying}) {
    for (uint64_t n : {0u, 1u, 2u, 3u, 7u, 251u}) check(kind, n, true);
    check(kind, 252, false);
  }
  check(full, 0, true);
  // A frame without its context: the routine makes it.
  fp[frNMethod] = reinterpret_cast<uint64_t>(&nm);
  for (uint64_t n : {0u, 1u, 3u}) check(fullCopying, n, false);
  // Eden's warning limit: objects ending at it are made, a word more goes to the routine.
  fp[frNMethod] = reinterpret_cast<uint64_t>(&nm) | frameHybridBit;
  const uint64_t limit = eden.warningLimit;
  struct Room {
    Kind kind;
    uint64_t n, bytes;  // headers and bodies of what the stub makes
  };
  const Room rooms[] = {{consArray, 3, 16 + 24}, {copying, 2, 16 + 16 + 40}, {copying, 0, 16 + 40},
                        {fullCopying, 1, 40}, {fullCopying, 4, 16 + 32 + 40}, {full, 0, 40}};
  for (const Room& r : rooms) {
    for (uint64_t shortBy : {0u, 8u}) {
      eden.warningLimit = limit;  // room for the routine's answer
      const std::vector<oop> values = valuesFor(r.n);
      const oop theirs = reference(r.kind, values);
      eden.warningLimit = eden.allocPtr + r.bytes - shortBy;
      tranNoteEdenWarningThresholdChanged();
      SCOPED_TRACE(testing::Message() << "kind " << int(r.kind) << " count " << r.n << " short by " << shortBy);
      const uint64_t top = eden.allocPtr;
      RegFile regs = callStub(r.kind, values);
      EXPECT_EQ(regs.r[rR10], shortBy == 0 ? 0u : 2u);
      EXPECT_EQ(eden.allocPtr, shortBy == 0 ? top + r.bytes : top);
      if (shortBy == 0) expectAlike(regs.r[rBX], theirs);
    }
  }
  eden.warningLimit = limit;
  tranNoteEdenWarningThresholdChanged();
  EXPECT_EQ(verifyHeap(), "");
  classTable[0][13] = savedClass13;
  initStackChains();
}

// Within the first 400 bytes of code, a call to target followed by EB 04 (and the offset word):
// the fallback that carries the return mark.
bool callsWithReturnMark(const uint8_t* code, const uint8_t* target) {
  for (const uint8_t* p = code; p < code + 400; p++) {
    int32_t rel;
    memcpy(&rel, p + 1, 4);
    // In integers: a displacement read from bytes that are no call may point anywhere.
    uint64_t to = reinterpret_cast<uint64_t>(p) + 5 + uint64_t(int64_t(rel));
    if (p[0] == 0xE8 && to == reinterpret_cast<uint64_t>(target) && p[5] == 0xEB && p[6] == 0x04) return true;
  }
  return false;
}

// perform: and perform:with: enter a cached nmethod of the right argument count at its
// unchecked entry, from either probe, with the argument moved into place; everything else
// reaches C through the call that carries the return mark.
TEST_F(TxPrim_Native, PerformsEnterCachedNMethodsAndLeaveTheRestToC) {
  ASSERT_NE(mCache, nullptr);
  static uint64_t entered[3];  // rbx, r12 and a mark at the nmethod's unchecked entry
  auto fakeNMethod = [&](uint8_t* block, oop selector, uint8_t numArgs) {
    NMethodHeader* h = reinterpret_cast<NMethodHeader*>(block);
    *h = NMethodHeader{};
    h->selector = selector;
    h->numArgs = numArgs;
    uint8_t* at = block + nMethodEntryNoCheck;
    at = emitMovRI64(at, rR11, (uint64_t)(uintptr_t)entered);
    at = emitMovMR(at, rR11, 0, rBX);
    at = emitMovMR(at, rR11, 8, rR12);
    at = emitMovRI32(at, rR10, 7);
    emitRet(at);
    return (uint64_t)(uintptr_t)block;
  };
  oop selector = newOldObject(testClasses.bytes, 8), other = newOldObject(testClasses.bytes, 8);
  getObjHash(headerOf(selector));
  getObjHash(headerOf(other));
  const oop object = newOldObject(testClasses.threeSlots, 3);
  const uint64_t nm0 = fakeNMethod(area + 2048, selector, 0), nm1 = fakeNMethod(area + 2304, selector, 1);
  const uint64_t nmOther = fakeNMethod(area + 2560, other, 0);
  enum Fill { none, first, second };
  struct Case {
    uint32_t number;
    oop receiver, selector;
    Fill fill;
    uint64_t nm;
    bool enters;
  };
  const Case cases[] = {
      {511, smallIntegerFor(5), selector, first, nm0, true},   {511, object, selector, first, nm0, true},
      {511, characterFor('c'), selector, second, nm0, true},   {512, object, selector, first, nm1, true},
      {512, smallIntegerFor(5), selector, second, nm1, true},  {511, object, selector, none, nm0, false},
      {511, object, selector, first, nm1, false},              {512, object, selector, first, nm0, false},
      {511, object, smallIntegerFor(9), first, nm0, false},    {511, object, other, first, nm0, false},
  };
  for (const Case& c : cases) {
    clearMCache();
    const uint32_t cls = isImmediate(c.receiver) ? uint32_t(c.receiver & 7) : classTagOf(headerOf(c.receiver));
    if (!isImmediate(c.selector) && c.fill != none) {
      const uint32_t index = mCacheFirstProbe(c.selector, cls);
      if (c.fill == second) mCache[index] = {cls, 0, nmOther};
      mCache[(index + (c.fill == second ? uint64_t(mCacheSecondProbe) : 0)) & mCacheMask] = {cls, 0, c.nm};
    }
    for (int inlineFailure = 0; inlineFailure < 2; inlineFailure++) {
      SCOPED_TRACE(testing::Message() << c.number << " receiver 0x" << std::hex << c.receiver << " fill " << c.fill
                                      << " inlineFailure " << inlineFailure);
      uint8_t* code = generate(c.number, inlineFailure);
      const oop argument = smallIntegerFor(42);
      RegFile regs = {};
      regs.r[rSP] = 0x202;
      regs.r[rBX] = c.receiver;
      regs.r[rR12] = c.selector;
      regs.r[rR13] = argument;
      nativeRun(code, regs);
      if (c.enters) {
        ASSERT_EQ(regs.r[rR10], 7u);
        EXPECT_EQ(entered[0], c.receiver);
        if (c.number == 512) {
          EXPECT_EQ(entered[1], argument);
        }
        continue;
      }
      ASSERT_EQ(regs.r[rR10], 2u);
      EXPECT_EQ(seen[0], c.receiver);
      EXPECT_EQ(seen[1], c.selector);
      EXPECT_EQ(seen[2], argument);
      EXPECT_TRUE(callsWithReturnMark(code, area)) << "the fallback carries the return mark";
    }
  }
  clearMCache();
}

// value, value: and value:value: enter the nmethod that blockVToNMethod finds for the block's
// method in the table of their argument count, at its block entry with the sender's return
// address on top and the arguments in place; every other block, and every receiver that is
// no block, reaches C through the call that carries the return mark.
TEST_F(TxPrim_Native, BlockValuesEnterTheBlocksNMethodAndLeaveTheRestToC) {
  static uint64_t entered[4];  // rbx, r12, r13, rsp at the block entry
  uint8_t* next = area + 3072;
  std::vector<std::pair<uint64_t*, uint64_t>> savedHeads;
  // A block nmethod filed at the head of its method's bucket in table k.
  auto fileNMethod = [&](oop method, uint32_t k, uint8_t flags) {
    NMethodHeader* h = reinterpret_cast<NMethodHeader*>(next);
    *h = NMethodHeader{};
    h->vmethod = method;
    h->numArgs = uint8_t(k);
    h->flags = uint8_t(nmFlagBlock | flags);
    uint8_t* at = next + nMethodBlockEntry;
    at = emitMovRI64(at, rR11, (uint64_t)(uintptr_t)entered);
    const int regs[4] = {rBX, rR12, rR13, rSP};
    for (int i = 0; i < 4; i++) at = emitMovMR(at, rR11, 8 * i, regs[i]);
    at = emitMovRI32(at, rR10, 7);
    emitRet(at);
    VToNTable& t = allVToNTables[k];
    uint64_t* head = &t.buckets[hashOf(headerOf(method)) & t.mask];
    savedHeads.push_back({head, *head});
    h->link = *head;
    *head = (uint64_t)(uintptr_t)next;
    next += 256;
    return (uint64_t)(uintptr_t)h;
  };
  auto newMethod = [&](uint32_t hash) {
    oop m = newOldObject(testClasses.pointers, 2);
    setHash(headerOf(m), hash);
    return m;
  };
  auto newBlock = [&](oop method) {
    oop b = newOldObject(testClasses.threeSlots, 3);
    bodyOf(headerOf(b))[0] = method;
    return b;
  };
  for (uint32_t k = 0; k < 3; k++) ASSERT_NE(allVToNTables[k].buckets, nullptr);
  uint32_t mask = 0;
  for (uint32_t k = 0; k < 3; k++) mask = std::max(mask, allVToNTables[k].mask);
  // Two methods sharing a bucket in every table (their hashes differ above the masks).
  oop alone = newMethod(5), sharing = newMethod(5 + mask + 1), hidden = newMethod(6), unlinkedOnly = newMethod(7),
      noCode = newMethod(8), unhashed = newOldObject(testClasses.pointers, 2);
  uint64_t nmAlone[3], nmSharing[3], nmHidden[3];
  for (uint32_t k = 0; k < 3; k++) {
    nmAlone[k] = fileNMethod(alone, k, 0);
    nmSharing[k] = fileNMethod(sharing, k, 0);
    nmHidden[k] = fileNMethod(hidden, k, 0);
    fileNMethod(hidden, k, nmFlagUnlinked);  // an unlinked one ahead of it in the chain
    fileNMethod(unlinkedOnly, k, nmFlagUnlinked);
  }
  const oop oneArg = newMethod(9);
  fileNMethod(oneArg, 1, 0);  // found only by value:
  const oop byteObject = newOldObject(testClasses.bytes, 16), noSlots = newOldObject(testClasses.object, 0);
  struct Case {
    const char* what;
    oop receiver;
    const uint64_t* nm;  // per argument count; null: reaches C
    bool cFails;         // C fails too (no block), checked through the C primitive
  };
  const Case cases[] = {
      {"one of two in a bucket", newBlock(alone), nmAlone, false},
      {"the other of the two", newBlock(sharing), nmSharing, false},
      {"behind an unlinked one", newBlock(hidden), nmHidden, false},
      {"only unlinked", newBlock(unlinkedOnly), nullptr, false},
      {"not translated", newBlock(noCode), nullptr, false},
      {"method without hash", newBlock(unhashed), nullptr, false},
      {"method slot immediate", newBlock(smallIntegerFor(5)), nullptr, false},
      {"SmallInteger receiver", smallIntegerFor(3), nullptr, true},
      {"Character receiver", characterFor('v'), nullptr, true},
      {"byte receiver", byteObject, nullptr, true},
      {"receiver without slots", noSlots, nullptr, true},
  };
  const oop a1 = smallIntegerFor(11), a2 = newOldObject(testClasses.object, 0);
  for (uint32_t k = 0; k < 3; k++) {
    const uint32_t number = 501 + k;
    for (const Case& c : cases) {
      const oop method = isImmediate(c.receiver) || !hasPtrs(headerOf(c.receiver)) || bodyWordsOf(headerOf(c.receiver)) == 0
                             ? 0 : slotOf(c.receiver, 0);
      if (c.cFails) {
        const TranslatedPrimRecord* r = (const TranslatedPrimRecord*)(uintptr_t)getPrimEntry(number)->function;
        addCPrimitive(number, r->cFunction, (uint8_t)k);
        std::vector<oop> args = {a1, a2};
        args.resize(k);
        EXPECT_TRUE(callPrimitive(number, c.receiver, args).failed) << c.what;
        addPrimitiveWithParams(number, r, (uint8_t)k, primKindTranslated, r->flag);
      }
      for (int inlineFailure = 0; inlineFailure < 2; inlineFailure++) {
        SCOPED_TRACE(testing::Message() << number << " " << c.what << " inlineFailure " << inlineFailure);
        uint8_t* code = generate(number, inlineFailure);
        RegFile regs = {};
        regs.r[rSP] = 0x202;
        regs.r[rBX] = c.receiver;
        regs.r[rR12] = a1;
        regs.r[rR13] = a2;
        nativeRun(code, regs);
        // The reference: what the lookup of C's primitive finds in this argument count's table.
        const uint64_t found = method != 0 && !isImmediate(method) ? blockVToNMethod(method, k) : 0;
        EXPECT_EQ(found, c.nm != nullptr ? c.nm[k] : 0u);
        if (c.nm != nullptr) {
          ASSERT_EQ(regs.r[rR10], 7u) << "the block entry";
          EXPECT_EQ(entered[0], c.receiver);
          EXPECT_EQ(entered[1], a1);
          EXPECT_EQ(entered[2], a2);
          EXPECT_EQ(entered[3], seen[5]) << "the sender's return address on top";
          continue;
        }
        ASSERT_EQ(regs.r[rR10], 2u) << "the fallback";
        EXPECT_EQ(seen[0], c.receiver);
        EXPECT_EQ(seen[1], a1);
        EXPECT_EQ(seen[2], a2);
        EXPECT_EQ(seen[4], seen[5] - 8) << "called from the method's entry level";
        EXPECT_TRUE(callsWithReturnMark(code, area)) << "the fallback carries the return mark";
      }
    }
  }
  // value: of a block whose method has code for one argument only: value and value:value: go
  // to C, which fails them for the argument count.
  for (uint32_t k = 0; k < 3; k++) {
    RegFile regs = {};
    regs.r[rSP] = 0x202;
    regs.r[rBX] = newBlock(oneArg);
    regs.r[rR12] = a1;
    nativeRun(generate(501 + k, 0), regs);
    EXPECT_EQ(regs.r[rR10], k == 1 ? 7u : 2u) << k;
  }

  // 10^5 values of a block with code, from a native loop: every one enters the block and none
  // reaches C.
  static uint64_t count;
  count = 0;
  uint8_t* counting = next;
  *reinterpret_cast<NMethodHeader*>(counting) = NMethodHeader{};
  const oop loopMethod = newMethod(10);
  reinterpret_cast<NMethodHeader*>(counting)->vmethod = loopMethod;
  reinterpret_cast<NMethodHeader*>(counting)->flags = nmFlagBlock;
  {
    uint8_t* at = counting + nMethodBlockEntry;
    at = emitMovRI64(at, rR11, (uint64_t)(uintptr_t)&count);
    at = emitMovRM(at, rAX, rR11, 0);
    at = emitAluRI8(at, aluAdd, rAX, 1);
    at = emitMovMR(at, rR11, 0, rAX);
    emitRet(at);
    uint64_t* head = &allVToNTables[0].buckets[10 & allVToNTables[0].mask];
    savedHeads.push_back({head, *head});
    reinterpret_cast<NMethodHeader*>(counting)->link = *head;
    *head = (uint64_t)(uintptr_t)counting;
  }
  uint8_t* value = generate(501, 0);
  uint8_t* loop = counting + 256;
  uint8_t* at = emitMovRI32(loop, rSI, 100000);
  uint8_t* top = at;
  at = emitCallRel(at, value);
  at = emitAluRI8(at, aluSub, rSI, 1);
  at = emitJccRel8(at, ccNE, (int8_t)(top - (at + 2)));
  emitRet(at);
  RegFile regs = {};
  regs.r[rSP] = 0x202;
  regs.r[rBX] = newBlock(loopMethod);
  nativeRun(loop, regs);
  EXPECT_EQ(count, 100000u);
  EXPECT_EQ(regs.r[rR10], 0u) << "C was entered";

  // An nmethod entered before is passed over once unlinked, and once the zone forgets what
  // the values entered, a block whose method lost its code reaches C.
  for (uint32_t k = 0; k < 3; k++) {
    RegFile r1 = {};
    r1.r[rSP] = 0x202;
    r1.r[rBX] = newBlock(alone);
    nativeRun(generate(501 + k, 0), r1);
    ASSERT_EQ(r1.r[rR10], 7u) << k;
    reinterpret_cast<NMethodHeader*>(nmAlone[k])->flags |= nmFlagUnlinked;
    RegFile r2 = {};
    r2.r[rSP] = 0x202;
    r2.r[rBX] = newBlock(alone);
    nativeRun(generate(501 + k, 0), r2);
    EXPECT_EQ(r2.r[rR10], 2u) << k << ": entered an unlinked nmethod";
  }
  for (auto it = savedHeads.rbegin(); it != savedHeads.rend(); ++it) *it->first = it->second;
  txForgetBlockEntries();  // the zone does so when it frees an nmethod; these were never filed there
  regs = {};
  regs.r[rSP] = 0x202;
  regs.r[rBX] = newBlock(loopMethod);
  nativeRun(value, regs);
  EXPECT_EQ(regs.r[rR10], 2u) << "entered an nmethod no longer filed";
}
