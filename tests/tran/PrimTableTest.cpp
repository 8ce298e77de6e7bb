// Primitive table: default entries, sub-table creation and the registration forms.
#include <gtest/gtest.h>

#include "ext/exPrimTable.h"
#include "tran/tprim.h"

namespace {

int dummyPrimitive;
const void* fn = &dummyPrimitive;

bool isDefault(const PrimEntry* e) { return e->function == 0 && e->numArgs == 0 && e->kind == primKindVarArgC && e->flag == 0; }

TEST(PrimTable_Lookup, AnswersTheDefaultEntryForUnregisteredNumbers) {
  initPrimitiveTable();
  EXPECT_EQ(getPrimEntry(65536), &defaultPrimEntry);
  EXPECT_EQ(getPrimEntry(~0ull), &defaultPrimEntry);
  EXPECT_EQ(getPrimEntry(323), &defaultPrimEntry);
  EXPECT_TRUE(isDefault(getPrimEntry(0)));
}

TEST(PrimTable_Registration, FillsANewSubTableWithDefaultsAndOverwrites) {
  initPrimitiveTable();
  addCPrimitive(0x1234, fn, 2);
  const PrimEntry* e = getPrimEntry(0x1234);
  EXPECT_NE(e, &defaultPrimEntry);
  EXPECT_EQ(e->function, reinterpret_cast<uint64_t>(fn));
  EXPECT_EQ(e->numArgs, 2);
  EXPECT_EQ(e->kind, primKindC);
  for (uint32_t n = 0x1200; n < 0x1300; n++)
    if (n != 0x1234) { EXPECT_TRUE(isDefault(getPrimEntry(n))) << n; }
  EXPECT_EQ(getPrimEntry(0x1235), e + 1);
  addUPrimitive(0x1234, fn, 1);
  EXPECT_EQ(e->kind, primKindUser);
  EXPECT_EQ(e->numArgs, 1);
  addVarArgUPrimitive(0x1234, fn);
  EXPECT_EQ(e->kind, primKindVarArgUser);
  EXPECT_EQ(e->numArgs, 0);
  addPrimitiveWithParams(65535, fn, 3, primKindTranslated, 9);
  EXPECT_EQ(getPrimEntry(65535)->flag, 9);
}

TEST(PrimTable_Range, RegistersEveryNumberBelowTheLimit) {
  initPrimitiveTable();
  addVarArgCPrimitiveForRange(250, 260, fn);
  EXPECT_TRUE(isDefault(getPrimEntry(249)));
  for (uint32_t n = 250; n < 260; n++) {
    EXPECT_EQ(getPrimEntry(n)->function, reinterpret_cast<uint64_t>(fn));
    EXPECT_EQ(getPrimEntry(n)->kind, primKindVarArgC);
  }
  EXPECT_TRUE(isDefault(getPrimEntry(260)));
  addVarArgCPrimitiveForRange(300, 300, fn);
  EXPECT_TRUE(isDefault(getPrimEntry(300)));
}

}  // namespace
