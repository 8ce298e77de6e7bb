// Branch actions: the sorted pending list, growth of the table, loops and jump retargeting.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "tran/cgenx86_64.h"
#include "tran/taction.h"
#include "tran/tmain.h"
#include "tran/tstack.h"

namespace {

uint8_t bytecodes[200];
const uint8_t* endPC = bytecodes + 150;

std::vector<ActionRecord*> pending() {
  std::vector<ActionRecord*> list;
  for (ActionRecord* r = actNext; r != nullptr; r = r->next) list.push_back(r);
  return list;
}

}  // namespace

TEST(TAction_Order, RandomInsertionsStaySortedWithTheEndActionLast) {
  std::mt19937 rng(11);
  tStackInit();
  for (int round = 0; round < 50; round++) {
    actionInit();
    actionReset(endPC);
    int n = 1 + (int)(rng() % 70);
    for (int i = 0; i < n; i++) {
      // Targets cluster so that equal targets are common; some are the end of the bytecodes.
      const uint8_t* v = bytecodes + 140 + (rng() % 11);
      addAction(actShortJump, v, nullptr, (uint64_t)i, stackSim + (i % 5), nullptr);
    }
    std::vector<ActionRecord*> list = pending();
    ASSERT_EQ((int)list.size(), n + 1);
    EXPECT_EQ(list.back(), &actionTable[0]);
    for (size_t k = 0; k + 2 < list.size(); k++) {
      ASSERT_LE(list[k]->vPC, list[k + 1]->vPC) << "round " << round << " at " << k;
    }
    std::vector<bool> seen(n, false);
    for (size_t k = 0; k + 1 < list.size(); k++) seen[list[k]->registerSummary] = true;
    for (int i = 0; i < n; i++) EXPECT_TRUE(seen[i]) << "action " << i << " lost";
  }
}

TEST(TAction_Order, EqualTargetsPutTheNewestFirstButNeverBeforeTheHead) {
  tStackInit();
  actionInit();
  actionReset(endPC);
  const uint8_t* a = bytecodes + 10;
  const uint8_t* b = bytecodes + 20;
  addAction(actShortJump, b, nullptr, 1, stackSim, nullptr);
  addAction(actShortJump, b, nullptr, 2, stackSim, nullptr);      // follows the head of equal target
  addAction(actShortJump, a, nullptr, 3, stackSim, nullptr);      // new head
  addAction(actShortJump, b, nullptr, 4, stackSim, nullptr);      // before the older b's
  addAction(actShortJump, endPC, nullptr, 5, stackSim, nullptr);  // directly before record 0
  addAction(actShortJump, endPC, nullptr, 6, stackSim, nullptr);
  std::vector<uint64_t> order;
  for (ActionRecord* r : pending()) {
    if (r != &actionTable[0]) order.push_back(r->registerSummary);
  }
  EXPECT_EQ(order, (std::vector<uint64_t>{3, 4, 1, 2, 5, 6}));
  EXPECT_EQ(actionPop()->registerSummary, 3u);
}

TEST(TAction_Growth, FortyOneActionsAndOpenLoopsSurviveGrowth) {
  tStackInit();
  actionInit();
  actionReset(endPC);
  tRegisterMarks[0] = 1;
  tRegisterMarks[1] = -3;
  ActionRecord* outer = loopBegin(bytecodes + 5, 77, nullptr);
  ActionRecord* inner = loopBegin(bytecodes + 6, 78, nullptr);
  (void)outer;
  (void)inner;
  uint8_t site[1];
  for (int i = 0; i < 37; i++) addAction(actLongJump, bytecodes + 10 + i, nullptr, (uint64_t)i, stackSim + i, site);
  EXPECT_EQ(actionTableSize, actionInitialRecords);  // 1 end + 2 loops + 37 = 40 records: full
  addAction(actLongJump, bytecodes + 100, nullptr, 37, stackSim + 37, site);  // the 41st
  EXPECT_EQ(actionTableSize, actionInitialRecords + actionGrowRecords);
  std::vector<ActionRecord*> list = pending();
  ASSERT_EQ(list.size(), 39u);
  for (int i = 0; i < 38; i++) {
    EXPECT_EQ(list[i]->registerSummary, (uint64_t)i);
    EXPECT_EQ(list[i]->depth, i);
    EXPECT_EQ(list[i]->registerMarks[0], 1);
    EXPECT_EQ(list[i]->registerMarks[1], -3);
    EXPECT_EQ(list[i]->site, site);
  }
  EXPECT_EQ(loopEnd(bytecodes + 5), nullptr);  // not the innermost: the list is unchanged
  ActionRecord* r = loopEnd(bytecodes + 6);
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(r->registerSummary, 78u);
  r = loopEnd(bytecodes + 5);
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(r->registerSummary, 77u);
  EXPECT_EQ(loopEnd(bytecodes + 5), nullptr);
  // Freed records are reused first.
  EXPECT_EQ(addAction(actShortJump, bytecodes + 1, nullptr, 99, stackSim, site), r);
  tRegisterMarks[0] = tRegisterMarks[1] = -1;
}

TEST(TAction_OptReFix, RetargetsTheRecordedJumpWhenItsOptimisationIsOn) {
  uint8_t code[300] = {};
  const struct {
    const char* name;
    uint32_t* enable;
    bool isLong;
    int distance;
    bool fixed;
  } cases[] = {
    {"tAddSub(q)", &enableASOpt, false, 40, true},
    {"tLoadInst", &enableLIOpt, false, 100, true},
    {"tReln", &enableROpt, true, 250, true},
    {"tReln", &enableROpt, false, 200, false},  // an 8-bit jump cannot reach that far
    {"tLoadOther", &enableLIOpt, false, 40, false},  // no optimisation of that name
  };
  for (auto c : cases) {
    memset(code, 0, sizeof code);
    uint8_t* site = c.isLong ? emitJmpRel32(code, code + 5) : emitJmpRel8(code, 0);
    OptState state = {site, c.isLong ? 1u : 0u, site, nullptr, 0};
    optReFix(&state, site + c.distance, c.name);
    int64_t d = c.isLong ? (int32_t)(code[1] | code[2] << 8 | code[3] << 16 | (uint32_t)code[4] << 24) : (int8_t)code[1];
    EXPECT_EQ(d, c.fixed ? c.distance : 0) << c.name;
    EXPECT_EQ(state.target, c.fixed ? site + c.distance : nullptr) << c.name;
    *c.enable = 0;
    optReFix(&state, site + 3, c.name);
    EXPECT_NE(state.target, site + 3) << c.name << " switched off";
    *c.enable = 1;
  }
}

// Branches on a constant Boolean or on a condition in the flags: the jump form by sense and
// distance, and the action that waits for the target.
TEST(TAction_TBxp, ConstantAndConditionTops) {
  tStackInit();
  tTrue = 0x500010;
  tFalse = 0x500020;
  effectiveMaxVBytesJumpShort = 6;
  const struct {
    StackEntry top;
    int sense, distance;
    const char* bytes;  // hex; "" for no jump
    int32_t kind;
  } cases[] = {
    {seConst(0x500010), 1, 6, "eb00", actShortJump},
    {seConst(0x500010), 1, 7, "e900000000", actLongJump},
    {seConst(0x500020), 0, 3, "eb00", actShortJump},
    {seConst(0x500010), 0, 3, "", 0},  // true never branches if false
    {seConst(0x500020), 1, 3, "", 0},
    {{skCond, 0, ccL}, 1, 6, "7c00", actShortCondJump},
    {{skCond, 0, ccL}, 0, 6, "7d00", actShortCondJump},  // branch if false: the inverse
    {{skCond, 0, ccE}, 1, 50, "0f8400000000", actLongCondJump},
    {{skCond, 0, ccA}, 0, 50, "0f8600000000", actLongCondJump},
  };
  static uint8_t bytecodes[64];
  for (auto c : cases) {
    actionInit();
    actionReset(bytecodes + 60);
    stackEmpty = stackSim - 1;
    stackSim[0] = seRegEntry(rBX);  // below the condition: flushed
    stackSim[1] = c.top;
    uint8_t buf[32];
    uint8_t* end = tBxp(bytecodes, bytecodes + c.distance, c.sense, &stackSim[1], nullptr, buf);
    ASSERT_GE(end - buf, 1);
    EXPECT_EQ(buf[0], 0x53);  // push rbx
    std::string hex;
    char two[3];
    for (uint8_t* p = buf + 1; p < end; p++) {
      snprintf(two, sizeof two, "%02x", *p);
      hex += two;
    }
    EXPECT_EQ(hex, c.bytes) << c.sense << "/" << c.distance;
    if (*c.bytes == 0) {
      EXPECT_EQ(actNext, &actionTable[0]);  // nothing pending
      continue;
    }
    ASSERT_NE(actNext, &actionTable[0]);
    EXPECT_EQ(actNext->kind, c.kind);
    EXPECT_EQ(actNext->vPC, bytecodes + c.distance);
    EXPECT_EQ(actNext->site, end);
    EXPECT_EQ(actNext->depth, 0);  // the condition is consumed: the top is entry 0
  }
}
