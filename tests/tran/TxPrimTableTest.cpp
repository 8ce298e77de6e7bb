// Translated primitives: the four record tables, and their registration over the C
// primitives they fall back on.
#include <gtest/gtest.h>

#include <vector>

#include "support/testZone.h"
#include "tran/taux.h"
#include "tran/tprim.h"

namespace {

int cPrims[2000];  // distinct addresses standing for C functions
int glues[5];

void forgetCaptures() {
  for (TranslatedPrimRecord* t : {txArithPrims, txControlPrims, txMemPrims, txSubscriptPrims}) {
    for (TranslatedPrimRecord* r = t; r->number != 0; r++) r->cFunction = r->glue = nullptr;
  }
}

struct Golden {
  uint16_t number;
  int args, level, flag;
};

}  // namespace

TEST(TxPrim_Tables, RecordsInTableOrder) {
  std::vector<Golden> arith;
  for (int n = 1; n <= 9; n++) arith.push_back({(uint16_t)n, 1, 0, 1});
  arith.push_back({1747, 0, 0, 1});
  for (int n = 10; n <= 17; n++) arith.push_back({(uint16_t)n, 1, 0, 1});
  arith.push_back({40, 0, 2, 1});
  arith.push_back({589, 0, 2, 1});
  for (int first : {41, 561, 821}) {
    for (int n = first; n < first + 10; n++) arith.push_back({(uint16_t)n, 1, 2, 0});
  }
  for (int n : {582, 603, 842}) arith.push_back({(uint16_t)n, 0, 2, 0});
  const std::vector<Golden> control = {{501, 0, 0, 0}, {502, 1, 0, 0}, {503, 2, 0, 0}, {511, 1, 0, 0}, {512, 2, 0, 0}};
  const std::vector<Golden> mem = {{18, 1, 0, 0},    {70, 0, 0, 0},    {71, 1, 0, 0},   {75, 0, 0, 0},
                                   {109, 1, 0, 192}, {110, 1, 0, 192}, {111, 0, 0, 192}, {410, 0, 0, 192},
                                   {411, 1, 0, 0},   {820, 0, 0, 192}, {1065, 0, 0, 192}};
  const std::vector<Golden> subscript = {{60, 1, 0, 0},  {61, 2, 0, 0},  {62, 0, 0, 0},  {63, 1, 0, 0},  {64, 2, 0, 0},
                                         {412, 1, 0, 0}, {413, 2, 0, 0}, {420, 1, 0, 0}, {421, 2, 0, 0}, {423, 1, 0, 0},
                                         {424, 2, 0, 0}, {540, 1, 0, 0}, {544, 1, 0, 0}};
  const struct {
    const TranslatedPrimRecord* table;
    const std::vector<Golden>* golden;
  } tables[] = {{txArithPrims, &arith}, {txControlPrims, &control}, {txMemPrims, &mem}, {txSubscriptPrims, &subscript}};
  int total = 0;
  for (const auto& t : tables) {
    size_t i = 0;
    for (const TranslatedPrimRecord* r = t.table; r->number != 0; r++, i++) {
      ASSERT_LT(i, t.golden->size());
      const Golden& g = (*t.golden)[i];
      EXPECT_EQ(r->number, g.number) << i;
      EXPECT_EQ(txArgCount(r), g.args) << g.number;
      EXPECT_EQ(txLevel(r), g.level) << g.number;
      EXPECT_EQ(r->flag, g.flag) << g.number;
    }
    EXPECT_EQ(i, t.golden->size());
    total += (int)i;
  }
  EXPECT_EQ(total, 82);
}

// Registration changes the primitive table, the captured C functions, the glue slots and the
// translated-primitives switch: all come back after each test.
class TxPrim_Registration : public testing::Test {
 protected:
  TRoutines savedRt = tRt;
  uint32_t savedTP = enableTP;
  void TearDown() override {
    enableTP = savedTP;
    tRt = savedRt;
    forgetCaptures();
    initPrimitiveTable();
  }
};

TEST_F(TxPrim_Registration, TranslatedOverTheCPrimitivesCapturedOnce) {
  // Registering makes stubs in the zone; a later test may reset the zone under them, so
  // their addresses must not outlive this one.
  SavedNMethodZone savedZone;
  for (int k = 0; k < 5; k++) tRt.primGlue[k] = &glues[k];
  const struct {
    int enable;
    bool translated;  // a built member with a C primitive becomes kind 1
  } cases[] = {{1, true}, {0, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.enable);
    initPrimitiveTable();
    forgetCaptures();
    for (const TranslatedPrimRecord* r = txArithPrims; r->number != 0; r++) {
      if (r->number != 13) addCPrimitive(r->number, &cPrims[r->number], (uint8_t)txArgCount(r));  // 13 has none
    }
    enableTP = (uint32_t)c.enable;
    makeTranslatedPrimitives();
    for (int pass = 0; pass < 2; pass++) {  // registering again keeps what the first captured
      for (TranslatedPrimRecord* r = txArithPrims; r->number != 0; r++) {
        const PrimEntry* e = getPrimEntry(r->number);
        bool expectTranslated = c.translated && r->generator != nullptr && r->number != 13;
        SCOPED_TRACE(r->number);
        if (expectTranslated) {
          EXPECT_EQ(e->kind, primKindTranslated);
          EXPECT_EQ(e->function, (uint64_t)(uintptr_t)r);
          EXPECT_EQ(e->flag, r->flag);
          EXPECT_EQ(e->numArgs, txArgCount(r));
          EXPECT_EQ(r->cFunction, &cPrims[r->number]);
          EXPECT_EQ(r->glue, &glues[txArgCount(r)]);
        } else {
          EXPECT_EQ(e->kind, r->number == 13 ? primKindVarArgC : primKindC);  // as it was
          EXPECT_EQ(e->function, r->number == 13 ? 0u : (uint64_t)(uintptr_t)&cPrims[r->number]);
          EXPECT_EQ(r->cFunction, nullptr);
        }
      }
      makeTranslatedPrimitives();
    }
  }
  // Levels: L 1 registers level 0 only, L 5 levels 0 and 2; an even L nothing.
  const struct {
    int L;
    int registered;  // of the built records of a two-record table
  } levels[] = {{0, 0}, {4, 0}, {1, 1}, {5, 2}, {7, 2}};
  for (const auto& l : levels) {
    initPrimitiveTable();
    TranslatedPrimRecord table[3] = {txArithPrims[0], txArithPrims[1], {}};
    table[0].cFunction = table[1].cFunction = nullptr;
    table[1].arity = (uint8_t)(1 | (2 << 5));
    addCPrimitive(1, &cPrims[1], 1);
    addCPrimitive(2, &cPrims[2], 1);
    txRegisterTable(table, l.L, primKindTranslated);
    int n = (getPrimEntry(1)->kind == primKindTranslated) + (getPrimEntry(2)->kind == primKindTranslated);
    EXPECT_EQ(n, l.registered) << "L " << l.L;
  }
}
