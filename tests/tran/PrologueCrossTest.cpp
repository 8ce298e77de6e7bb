// The glue tests' hand-assembled primitive nmethods and the translator's prologue for the same
// methods agree byte for byte from the unchecked entry to the body, apart from what the
// hand-built ones leave out on purpose: the stack check (and so 10 bytes of the distance to
// the body at offset 49) and the immediate load of the C function (a RIP-relative load of the
// same length there).
#include <gtest/gtest.h>

#include <vector>

#include "ext/exPrimTable.h"
#include "ext/exRequest.h"
#include "stack/glue.h"
#include "tran/cgenx86_64.h"
#include "tran/nmLayout.h"
#include "tran/taction.h"
#include "tran/taux.h"
#include "tran/tstack.h"

extern "C" uint8_t nmPrim0[], nmPrim1[], nmPrim2[], nmPrim3[], nmPrim4[], nmPrim5[], nmPrim6[], nmPrim7[],
    nmPrim8[], nmVarArg1[], nmVarArg5[];

// The glue slots, the abort stubs' table and the primitive table come back after each test.
class Prologue_CrossCheck : public testing::Test {
 protected:
  TRoutines savedRt = tRt;
  uint8_t* savedAborts[3] = {AbortPrimFailTable[0], AbortPrimFailTable[1], AbortPrimFailTable[2]};
  void TearDown() override {
    memcpy(AbortPrimFailTable, savedAborts, sizeof savedAborts);
    tRt = savedRt;
    initPrimitiveTable();
  }
};

TEST_F(Prologue_CrossCheck, HandBuiltPrimitiveNMethodsMatchTheTranslator) {
  const struct {
    uint8_t* nm;
    int numArgs;
    bool varArg;
  } cases[] = {
      {nmPrim0, 0, false}, {nmPrim1, 1, false}, {nmPrim2, 2, false}, {nmPrim3, 3, false},
      {nmPrim4, 4, false}, {nmPrim5, 5, false}, {nmPrim6, 6, false}, {nmPrim7, 7, false},
      {nmPrim8, 8, false}, {nmVarArg1, 1, true}, {nmVarArg5, 5, true},
  };
  const void* glue[5] = {(const void*)rtPrimGlue0, (const void*)rtPrimGlue1, (const void*)rtPrimGlue2,
                         (const void*)rtPrimGlue3, (const void*)rtPrimGlueMany};
  for (int k = 0; k < 5; k++) tRt.primGlue[k] = glue[k];
  tRt.primGlueVarArgMany = (const void*)rtPrimGlueVarArgMany;
  for (auto& a : AbortPrimFailTable) a = (uint8_t*)0x1000;  // the entry sequence is not compared
  static const uint8_t bytecodes[] = {254, 0x01, 0x2C, 0x70, 0x7C};  // primitive 300; push self, return
  const uint8_t stackCheckStart[4] = {0x48, 0x3B, 0x24, 0x25};    // cmp rsp, [stackLimit]
  for (const auto& c : cases) {
    SCOPED_TRACE(c.numArgs);
    initPrimitiveTable();
    if (c.varArg) addVarArgCPrimitive(300, (const void*)0x123450);
    else addCPrimitive(300, (const void*)0x123450, (uint8_t)c.numArgs);
    tStackInit();
    actionInit();
    TVInfo info = {};
    info.bytecodes = bytecodes;
    info.bytecodesEnd = bytecodes + sizeof bytecodes;
    info.numArgs = (uint8_t)c.numArgs;
    info.primitive = 300;
    info.primErrorTemp = 255;
    uint32_t size = ((NMethodHeader*)c.nm)->usedSize;
    std::vector<uint8_t> built(c.nm, c.nm + size);
    uint8_t* body = initTemps(bytecodes, c.nm, &info);  // at the same address: equal displacements
    std::vector<uint8_t> translated(c.nm, body);
    memcpy(c.nm, built.data(), size);
    ASSERT_EQ(info.frameSize, 12);
    // The function load: the same length, immediate in one, RIP-relative in the other.
    const uint8_t* t = translated.data() + nMethodEntryNoCheck;
    const uint8_t* b = built.data() + nMethodEntryNoCheck;
    EXPECT_EQ(memcmp(t, "\x49\xC7\xC7\x50\x34\x12\x00", 7), 0);
    EXPECT_EQ(memcmp(b, "\x4C\x8B\x3D", 3), 0);
    // The rest, with the translator's stack check (cmp and jb, behind the nMethod word) taken out.
    std::vector<uint8_t> expected(t + 7, (const uint8_t*)translated.data() + translated.size());
    // [mov r9, count;] call glue; jmp over the failure code. The call's displacement depends on
    // where the linker put the glue, so the jmp is found by the instructions' lengths.
    ASSERT_GT(expected.size(), 14u);
    size_t call = expected[0] == 0x49 ? 7 : 0;
    ASSERT_EQ(expected[call], 0xE8);
    size_t fail = call + 5;
    ASSERT_EQ(expected[fail], 0xEB);
    size_t frame = fail + 2 + expected[fail + 1];
    const size_t check = frame + 17;  // push rbp; mov rbp, rsp; sub rsp, 8; lea r11; push r11
    ASSERT_LE(check + 10, expected.size());
    ASSERT_EQ(memcmp(&expected[check], stackCheckStart, 4), 0);
    EXPECT_EQ(expected[check + 8], 0x72);
    expected.erase(expected.begin() + (long)check, expected.begin() + (long)check + 10);
    ASSERT_LE(nMethodEntryNoCheck + 7 + expected.size(), built.size());
    std::vector<uint8_t> actual(b + 7, b + 7 + expected.size());
    EXPECT_EQ(actual, expected);
    // The distance to the body at offset 49 differs by the stack check alone.
    uint16_t tDistance, bDistance;
    memcpy(&tDistance, translated.data() + nMethodAbortOffsetOffset, 2);
    memcpy(&bDistance, built.data() + nMethodAbortOffsetOffset, 2);
    EXPECT_EQ(tDistance, bDistance + 10);
  }
}
