// Simulated stack run natively: sends of 0 to 5 arguments over mixed entries reach the send
// convention with the values the entries stand for.
#include <gtest/gtest.h>

#include "nativeCode.h"
#include "tran/cgenx86_64.h"
#include "tran/tstack.h"

namespace {

uint64_t slotBody[4] = {0, 0, 0x4444, 0};  // r8 points here: [r8 + 16] = 0x4444

struct Mixed {
  StackEntry entry;
  uint64_t value;  // what the entry stands for in the run below
};

}  // namespace

TEST(TStack_EmitArgs, SendsOfZeroToFiveArgumentsRunNatively) {
  tStackInit();
  const Mixed mixed[] = {
    {seConst(43), 43},
    {seSlotEntry(skReadSlot, rBP, -32), 0x1111},  // local 0
    {seRegEntry(rBX), 0x2222},
    {seConst(0x400000), 0x400000},
    {seSlotEntry(skSlot, rR8, 16), 0x4444},
    {seRegEntry(rSI, skUntaggedInt), 7 * 8 + 3},
    {seRegEntry(rDI, skUntaggedChar), 65 * 8 + 1},
    {seConst(0x123456789ab3), 0x123456789ab3},
    {seSlotEntry(skReadSlot, rBP, -24), 0x5555},  // self
  };
  const int count = (int)(sizeof mixed / sizeof mixed[0]);
  for (int n = 0; n <= 5; n++) {
    // Two locals (entries 0 and 1 at rbp-32, rbp-40); one operand below the receiver.
    stackEmpty = stackSim + 1;
    StackEntry* below = stackSim + 2;
    uint64_t expect[8];
    for (int k = 0; k < n + 2; k++) {
      const Mixed& m = mixed[(k + 2 * n) % count];
      below[k] = m.entry;
      expect[k] = m.value;
    }
    StackEntry* top = below + n + 1;
    uint8_t* code = nativeCodeArea();
    uint8_t* at = emitPushR(code, rBP);
    at = emitMovRR(at, rBP, rSP);
    at = emitAluRI8(at, aluSub, rSP, 40);  // context, nMethod word, self, two locals
    at = emitMovMR(at, rBP, -24, rR15);    // self
    at = emitMovMR(at, rBP, -32, rR14);    // local 0
    at = emitMovMR(at, rBP, -40, rR10);    // local 1
    at = emitArgs(n, top, at);
    EXPECT_EQ(below[1].kind, skReg);
    EXPECT_EQ(seReg(below[1]), rBX);
    int stacked = n >= 3 ? n - 1 : 0;  // receiver and arguments 1..n-2
    static const int into[] = {rAX, rCX, rDX, rR9};
    for (int k = 0; k < stacked; k++) at = emitPopR(at, into[k]);
    at = emitMovRM(at, rR11, rBP, -48);  // the operand flushed below the receiver
    at = emitMovRR(at, rSP, rBP);
    at = emitPopR(at, rBP);
    emitRet(at);
    RegFile regs = {};
    regs.r[rSP] = 0x202;
    regs.r[rBX] = 0x2222;
    regs.r[rSI] = 7;
    regs.r[rDI] = 65;
    regs.r[rR8] = (uint64_t)(uintptr_t)slotBody;
    regs.r[rR15] = 0x5555;
    regs.r[rR14] = 0x1111;
    regs.r[rR10] = 0x9999;
    nativeRun(code, regs);
    EXPECT_EQ(regs.r[rR11], expect[0]) << n;
    EXPECT_EQ(regs.r[rBX], expect[1]) << n << " receiver";
    if (n >= 1) {
      EXPECT_EQ(regs.r[rR12], expect[n == 1 ? 2 : n]) << n << " r12 argument";
    }
    if (n >= 2) {
      EXPECT_EQ(regs.r[rR13], expect[n + 1]) << n << " last argument";
    }
    for (int k = 0; k < stacked; k++) {
      // Popped top first: argument n-2 first, the receiver last.
      EXPECT_EQ(regs.r[into[k]], expect[n - 1 - k]) << n << " stacked word " << k;
    }
  }
}
