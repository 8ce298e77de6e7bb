// Simulated stack: frame offsets of locals, flush rules, literal recording, the store-aliasing
// flush, branch lookahead and the fatal reports for entries an operation cannot take.
#include <gtest/gtest.h>

#include <vector>

#include "tran/cgenx86_64.h"
#include "tran/taction.h"
#include "tran/tstack.h"

namespace {

std::vector<uint64_t> literalsSeen;
void recordLiteral(uint64_t literal, uint64_t, int64_t) { literalsSeen.push_back(literal); }

struct Fresh {
  Fresh() {
    tStackInit();
    tMapLit = nullptr;
    literalsSeen.clear();
  }
  ~Fresh() { tMapLit = nullptr; }  // a case may install the literal recorder
};

}  // namespace

TEST(TStack_Locals, FrameOffsetsOfArgumentsAndTemporaries) {
  tStackInit();
  const struct {
    int i, n;
    int32_t offset;
  } cases[] = {
    {0, 0, -32}, {1, 0, -40}, {0, 1, -32}, {1, 1, -40}, {0, 2, -32}, {1, 2, -40}, {2, 2, -48},
    {0, 3, 16},  {1, 3, -32}, {2, 3, -40}, {3, 3, -48}, {0, 5, 32},  {2, 5, 16},  {3, 5, -32},
    {255, 255, -48},  // the deepest temporary of the largest frame
  };
  for (auto c : cases) {
    EXPECT_EQ(localFrameOffset(c.i, c.n), c.offset) << c.i << "/" << c.n;
    StackEntry e = tStackLocal(c.i, c.n);
    EXPECT_EQ(seBase(e), rBP);
    EXPECT_EQ(seDisp(e), c.offset) << c.i << "/" << c.n;
    EXPECT_EQ(e.kind, c.i < c.n ? skReadSlot : skSlot) << c.i << "/" << c.n;
  }
  EXPECT_EQ(seDisp(stackLocals[stackLocalsEntries - 1]), localFrameOffset(256, 2));  // the last row
}

TEST(TStack_Flush, ModesPushOnlyWhatTheyMust) {
  Fresh f;
  const struct {
    std::vector<StackEntry> entries;
    int mode;
    bool pushes;
  } cases[] = {
    {{seConst(43), seConst(0x400000)}, 2, false},                             // constants are stable
    {{seConst(43), seSlotEntry(skReadSlot, rBP, 16)}, 2, false},              // so are rbp-based arguments
    {{seConst(43), seSlotEntry(skSlot, rBP, -48)}, 2, true},                  // a temporary may change
    {{seConst(43), seRegEntry(rBX, skStableReg)}, 1, false},                  // not register-held
    {{seConst(43), seSlotEntry(skSlot, rBP, -48)}, 1, false},
    {{seConst(43), seSlotEntry(skSlot, rR8, 8)}, 1, true},                    // an r8-based slot
    {{seConst(43), seRegEntry(rBX)}, 5, true},
    {{seConst(43)}, 3, true},
  };
  for (const auto& c : cases) {
    stackEmpty = stackSim - 1;
    for (size_t i = 0; i < c.entries.size(); i++) stackSim[i] = c.entries[i];
    uint8_t buf[64];
    StackEntry* top = stackSim + c.entries.size() - 1;
    uint8_t* end = tStackFlush(top, c.mode, buf);
    EXPECT_EQ(end != buf, c.pushes) << "mode " << c.mode;
    for (StackEntry* e = stackSim; e <= top; e++) EXPECT_EQ(e->kind == skPushed, c.pushes);
    if (c.pushes) {
      // Pushed entries name their own spill slot.
      EXPECT_EQ((StackEntry*)(uintptr_t)top->payload, &spill[top - stackSim]);
    }
  }
}

TEST(TStack_Literals, HeapConstantsAreRecordedImmediatesAreNot) {
  Fresh f;
  tMapLit = recordLiteral;
  uint8_t buf[64];
  StackEntry heap = seConst(0x400000), imm = seConst(0x123456789ab3);
  tStackLoad(&heap, rBX, buf);
  tStackLoad(&imm, rBX, buf);
  tStackStore(&heap, rBP, -48, buf);
  tStackCompare(&heap, rBX, buf);
  tStackCompare(&imm, rBX, buf);
  EXPECT_EQ(literalsSeen, (std::vector<uint64_t>{0x400000, 0x400000, 0x400000}));
}

// t + (t := 5): the pushed t must keep its old value, so the store flushes the entry that
// reads the slot first; entries reading other slots stay where they are.
TEST(TStack_Store, FlushesEntriesThatReadTheStoredSlot) {
  Fresh f;
  stackEmpty = stackSim - 1;
  stackSim[0] = seSlotEntry(skSlot, rBP, -48);  // t
  stackSim[1] = seSlotEntry(skSlot, rBP, -56);  // another temporary
  stackSim[2] = seConst(43);                    // 5
  uint8_t buf[64];
  uint8_t* at = tStackFlushAliases(rBP, -48, &stackSim[2], buf);
  EXPECT_NE(at, buf);
  EXPECT_EQ(stackSim[0].kind, skPushed);
  EXPECT_EQ(stackSim[1].kind, skSlot);
  EXPECT_EQ(tStackFlushAliases(rBP, -64, &stackSim[2], at), at);  // nothing reads that slot
}

TEST(TStack_LookBranch, FindsConditionalBranchTargetsExceptAtMergePoints) {
  actionInit();
  static uint8_t code[1024] = {0xC0, 0xC7, 0xE8, 0x05, 0xEF, 0x10, 0xB8, 0x60};
  actionReset(code + 8);
  const uint8_t* target = nullptr;
  EXPECT_EQ(lookBranch(code, &target), 1);
  EXPECT_EQ(target, code + 2);
  EXPECT_EQ(lookBranch(code + 1, &target), 1);
  EXPECT_EQ(target, code + 1 + 1 + 8);
  EXPECT_EQ(lookBranch(code + 2, &target), 1);
  EXPECT_EQ(target, code + 2 + 2 + 5);
  EXPECT_EQ(lookBranch(code + 4, &target), 1);
  EXPECT_EQ(target, code + 4 + 2 + 3 * 256 + 0x10);
  EXPECT_EQ(lookBranch(code + 6, &target), 0);  // a send
  addAction(actShortJump, code + 2, nullptr, 0, stackSim, nullptr);
  EXPECT_EQ(lookBranch(code + 2, &target), 0);  // a pending action lands here
}

using TStackDeathTest = ::testing::Test;
TEST(TStackDeathTest, EntriesAnOperationCannotTakeAreFatal) {
  Fresh f;
  uint8_t buf[64];
  StackEntry pushed = {skPushed, 0, 0}, global = {skGlobal, 0, 0x601000}, cond = {skCond, 0, ccE},
             untagged = seRegEntry(rBX, skUntaggedInt);
  stackSim[0] = pushed;
  EXPECT_DEATH(tStackPush(&stackSim[0], buf), "Bad type in tStackPush");
  EXPECT_DEATH(tStackLoad(&global, rBX, buf), "Bad type in tStackLoad");
  EXPECT_DEATH(tStackLoadBase(&cond, rBX, buf), "Bad type in tStackLoadBase");
  EXPECT_DEATH(tStackCompareBase(&untagged, rBX, buf), "Bad type in tStackCompareBase");
}
