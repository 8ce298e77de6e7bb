// Entry sequence, prologue and abort stubs run natively, with doubles of the glue entries.
#include <gtest/gtest.h>

#include "ext/exRequest.h"
#include "nativeCode.h"
#include "support/testZone.h"
#include "tran/cgenx86_64.h"
#include "tran/nmLayout.h"
#include "tran/nmalloc.h"
#include "tran/taction.h"
#include "tran/taux.h"
#include "tran/tloop.h"
#include "tran/tprim.h"
#include "tran/tstack.h"

namespace {

uint64_t seen[8];  // words the abort doubles copy from the stack: [0..5] stack, 6 rsp, 7 rbp

// A double entered by a jump (push; ret): r10 := which, copies six stack words, then leaves
// the method's frame and returns to the thunk.
uint8_t* genFrameDouble(uint8_t* at, int which) {
  at = emitMovRI32(at, rR10, which);
  at = emitMovRI64(at, rR11, (uint64_t)(uintptr_t)seen);
  for (int k = 0; k < 6; k++) {
    at = emitMovRM(at, rAX, rSP, 8 * k);
    at = emitMovMR(at, rR11, 8 * k, rAX);
  }
  at = emitMovMR(at, rR11, 48, rSP);
  at = emitMovMR(at, rR11, 56, rBP);
  at = emitMovRR(at, rSP, rBP);
  at = emitPopR(at, rBP);
  return emitRet(at);
}

struct EntryArea {
  SavedNMethodZone savedZone;
  uint8_t* area;
  uint8_t* block;
  int64_t savedLimit = stackLimit;
  EntryArea() {
    area = nativeCodeArea();
    uint8_t* at = area;
    // The miss double drops its return address into r11 and returns to the thunk.
    tRt.picAbortSendMiss = at;
    at = emitPopR(at, rR11);
    at = emitMovRI32(at, rR10, 9);
    at = emitRet(at);
    at = area + 64;
    tRt.abortSend = at;
    at = genFrameDouble(at, 1);
    tRt.abortPrimFail = at;
    at = genFrameDouble(at, 2);
    tRt.cannotResume = at;
    at = genFrameDouble(at, 3);
    nativeZone();
    initTxAborts();
    block = (uint8_t*)(((uintptr_t)at + 255) & ~(uintptr_t)255);
    tStackInit();
    actionInit();
  }
  ~EntryArea() { stackLimit = savedLimit; }
};

}  // namespace

TEST(Entry_Native, CheckedEntryReachesTheBodyOrTheMissCall) {
  EntryArea s;
  static const uint8_t returnSelf[] = {0x60};
  const struct {
    uint8_t receiverTag;
    uint64_t receiver;  // 0: a heap object of class tag 0x12345
    uint64_t r15;
    bool hit;
  } cases[] = {
    {0, 43, 3, true},       {0, 43, 1, false},    {0, 0, 0x12345, true}, {0, 0, 0x12346, false},
    {0, 0x209, 1, true},    {3, 43, 0, true},     {3, 0, 0x12345, false}, {3, 0x209, 1, false},
    {1, 0x209, 0, true},    {1, 43, 0, false},    {5, 0x4d, 0, true},    {5, 0, 0, false},
  };
  static uint64_t object[2] = {0, 0x800000000012345ull};
  for (auto c : cases) {
    TVInfo info = {};
    info.bytecodes = returnSelf;
    info.bytecodesEnd = returnSelf + 1;
    info.primitive = -1;
    info.receiverTag = c.receiverTag;
    uint8_t* body = initTemps(returnSelf, s.block, &info);
    ASSERT_EQ(body, s.block + nMethodEntryNoCheck);  // frameless: no prologue
    ASSERT_EQ(info.frameSize, 0);
    emitRet(emitMovRI32(body, rR10, 7));
    RegFile regs = {};
    regs.r[rSP] = 0x202;
    regs.r[rBX] = c.receiver != 0 ? c.receiver : (uint64_t)(uintptr_t)object;
    regs.r[rR15] = c.r15;
    nativeRun(s.block + nMethodEntry, regs);
    EXPECT_EQ(regs.r[rR10], c.hit ? 7u : 9u) << (int)c.receiverTag << " " << c.receiver;
    if (!c.hit) {
      EXPECT_EQ(regs.r[rR11], (uint64_t)(uintptr_t)(s.block + nMethodAbortSendMissReturnOffset));
    }
  }
}

// A tripped stack check: the prologue goes to the cannot-resume entry, the abort stub pushes
// receiver, register arguments and resume (the body start) and reaches the run time.
TEST(Entry_Native, TrippedStackCheckReachesTheAbortRoutine) {
  EntryArea s;
  static const uint8_t plain[] = {0x70, 0x7C};  // push self, return top: needs a frame with a temp
  static const uint8_t withPrim[] = {254, 0, 60, 0x70, 0x7C};
  for (int prim = 0; prim < 2; prim++) {
    for (int n = 0; n <= 2; n++) {
      initPrimitiveTable();
      TVInfo info = {};
      info.bytecodes = prim ? withPrim : plain;
      info.bytecodesEnd = info.bytecodes + (prim ? sizeof withPrim : sizeof plain);
      info.numArgs = (uint8_t)n;
      info.numTemps = 1;
      info.primitive = prim ? 60 : -1;  // unregistered: no call, r15 := nil
      uint8_t* body = initTemps(info.bytecodes, s.block, &info);
      ASSERT_EQ(info.frameSize, 12);
      emitRet(emitMovRI32(body, rR10, 7));
      stackLimit = INT64_MAX;  // every check trips
      RegFile regs = {};
      regs.r[rSP] = 0x202;
      regs.r[rBX] = 0xB0B;
      regs.r[rR12] = 0xA1;
      regs.r[rR13] = 0xA2;
      nativeRun(s.block + nMethodEntryNoCheck, regs);
      ASSERT_EQ(regs.r[rR10], prim ? 2u : 1u) << "prim " << prim << " args " << n;
      EXPECT_EQ(seen[0], (uint64_t)(uintptr_t)body) << "resume";
      const uint64_t args[] = {0xA2, 0xA1};
      int k = 1;
      for (int a = n; a >= 1; a--) EXPECT_EQ(seen[k++], args[2 - a]) << "argument " << a;
      EXPECT_EQ(seen[k++], 0xB0Bu) << "receiver";
      EXPECT_EQ(seen[k], (uint64_t)(uintptr_t)s.block) << "nMethod word";
      EXPECT_EQ(seen[7] - seen[6], 8u * (uint64_t)(n + 4)) << "frame depth";
    }
  }
  // Entered with the stack already deeper than a fresh frame: cannot resume.
  uint8_t* call = s.block + 1024;
  uint8_t* at = emitPushR(call, rBP);
  at = emitMovRR(at, rBP, rSP);
  at = emitAluRI8(at, aluSub, rSP, 32);
  at = emitCallRel(at, s.block + nMethodCannotResumeEntry);
  emitRet(at);
  RegFile regs = {};
  regs.r[rSP] = 0x202;
  nativeRun(call, regs);
  EXPECT_EQ(regs.r[rR10], 3u);
}

// Making the stubs again points the routine table at them: it comes back after each test.
class Entry_Table : public testing::Test {
 protected:
  TRoutines savedRt = tRt;
  void TearDown() override { tRt = savedRt; }
};

TEST_F(Entry_Table, WordsEqualFreshMethodsFirstBytes) {
  EntryArea s;
  nativeZone();
  initFirstTime();  // stubs again, measured layout, table
  // Every stub in the permanent area under its name, in the order made.
  const struct {
    const char* name;
    const uint8_t* address;
  } stubs[] = {
      {"NrtAbortSend0", AbortSendTable[0]},        {"NrtAbortSend1", AbortSendTable[1]},
      {"NrtAbortSend2", AbortSendTable[2]},        {"NrtAbortPrimFail0", AbortPrimFailTable[0]},
      {"NrtAbortPrimFail1", AbortPrimFailTable[1]}, {"NrtAbortPrimFail2", AbortPrimFailTable[2]},
      {"NrtAbortSendNoFrame", AbortNoFrame},
      {"NrtCreateArray", (const uint8_t*)tRt.createArray},
      {"NrtMakeCopyingBlock1Value", (const uint8_t*)tRt.makeCopyingBlock1},
      {"NrtConsArray", (const uint8_t*)tRt.consArray},
      {"NrtMakeCopyingBlock", (const uint8_t*)tRt.makeCopyingBlock},
      {"NrtMakeFullCopyingBlock", (const uint8_t*)tRt.makeFullCopyingBlock},
      {"NrtMakeFullBlock", (const uint8_t*)tRt.makeFullBlock},
      {"NrtGetSelfClassFormat", txClassFormatStub},
      {"NrtStoreInstVarN", storeStubs[storeStubGeneral].start},
      {"NrtStoreInstVar3", storeStubs[3].start},    {"NrtStoreInstVar2", storeStubs[2].start},
      {"NrtStoreInstVar1", storeStubs[1].start},    {"NrtStoreInstVar0", storeStubs[0].start},
  };
  ASSERT_EQ(nzoneRTSymbolCount, 2 + (int)(sizeof stubs / sizeof stubs[0]));
  for (int i = 0; i < (int)(sizeof stubs / sizeof stubs[0]); i++) {
    EXPECT_STREQ(nzoneRTSymbolTable[2 + i].name, stubs[i].name);
    EXPECT_EQ(nzoneRTSymbolTable[2 + i].address, (uint64_t)(uintptr_t)stubs[i].address) << stubs[i].name;
    EXPECT_GE((uint64_t)(uintptr_t)stubs[i].address, minNZoneRTPC) << stubs[i].name;
    EXPECT_EQ((uintptr_t)stubs[i].address & 15, 0u) << stubs[i].name;
  }
  EXPECT_EQ(generatingRuntimeRoutines, 0u);
  static const uint8_t plain[] = {0x70, 0x7C};
  static const uint8_t frameless[] = {0x60};
  static const uint8_t withPrim[] = {254, 0, 60, 0x70, 0x7C};
  initPrimitiveTable();
  for (int k = 0; k < 8; k++) {
    if (k == 4) continue;
    TVInfo info = {};
    bool prim = k >= 5;
    info.bytecodes = k == 0 ? frameless : prim ? withPrim : plain;
    info.bytecodesEnd = info.bytecodes + (k == 0 ? 1 : prim ? 5 : 2);
    info.numArgs = (uint8_t)(k == 0 ? 0 : prim ? k - 5 : k - 1);
    info.primitive = prim ? 60 : -1;
    memset(s.block, 0, 64);
    initTemps(info.bytecodes, s.block, &info);
    uint64_t first;
    memcpy(&first, s.block + nMethodCannotResumeEntry, 8);
    EXPECT_EQ(first, entryCodeTable[k]) << k;
    // A compaction overwrote them; restoring answers the same bytes.
    NMethodHeader* h = (NMethodHeader*)s.block;
    h->frame = info.frameSize;
    h->numArgs = info.numArgs;
    h->flags = prim ? nmFlagPrimitive : 0;
    memset(s.block + nMethodCannotResumeEntry, 0xEE, 8);
    restoreNMethodPostRelocation(s.block);
    memcpy(&first, s.block + nMethodCannotResumeEntry, 8);
    EXPECT_EQ(first, entryCodeTable[k]) << k;
  }
}
