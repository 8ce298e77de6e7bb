// Run-time stubs in the permanent area: measured then placed, padded, named in the code
// symbol table, listed on request; the table's overflow is fatal.
#include <gtest/gtest.h>

#include <string>
#include <unistd.h>

#include "support/testZone.h"
#include "tran/cgenx86_64.h"
#include "tran/taux.h"

namespace {

uint8_t* lastStart[2];  // startNMethod seen by the last two generator runs
int runs;

// mov r9, number (7 bytes), then `argument` single-byte rets: lengths across the 16-byte pad.
uint8_t* genSized(uint8_t* at, uint64_t argument, int number) {
  lastStart[runs++ & 1] = startNMethod;
  at = emitMovRI32(at, rR9, number);
  for (uint64_t i = 0; i < argument; i++) at = emitRet(at);
  return at;
}
uint8_t* genRet(uint8_t* at) { return genSized(at, 1, 0); }

int flushes;
void countFlush() { flushes++; }

// The program's zone laid out afresh; its i-cache stub lies in data memory, so a counter
// stands in for it.
struct FreshZone {
  SavedNMethodZone saved;
  FreshZone() {
    resetTestZone();
    resetCodeSymbols();
    rtFlushICache = countFlush;
  }
  ~FreshZone() { resetCodeSymbols(); }
};

}  // namespace

TEST(TGenerate, StubsArePlacedPaddedAndNamed) {
  FreshZone zone;
  const uint64_t top = nmZone.top;
  const struct {
    const char* description;
    int number;  // -1: tGenerate
    uint64_t rets;
    const char* name;
    uint64_t length;  // after padding
  } cases[] = {
      {"abort send", 2, 1, "NrtAbortSend2", 16},
      {"abort send no frame", -1, 1, "NrtAbortSendNoFrame", 16},
      {"get self class format", 7, 9, "NrtGetSelfClassFormat7", 16},
      {"closed PIC template", 0, 10, "NrtClosedPICTemplate0", 32},
      {"notBoolean", 12, 25, "NrtNotBoolean12", 32},
  };
  uint64_t below = top;
  int k = 2;  // after the two profiler areas
  for (const auto& c : cases) {
    runs = flushes = 0;
    uint8_t* stub = c.number < 0 ? tGenerate(genRet, c.description) : tGenerate1(genSized, c.rets, c.number, c.description);
    SCOPED_TRACE(c.name);
    EXPECT_EQ(runs, 2) << "measured, then generated in place";
    EXPECT_EQ(flushes, 1);
    EXPECT_EQ(lastStart[1], stub - 40);
    EXPECT_NE(lastStart[0], stub - 40);
    EXPECT_EQ((uint64_t)(uintptr_t)stub, below - c.length) << "directly below the previous stub";
    EXPECT_EQ((uint64_t)(uintptr_t)stub, nmZone.top);
    below = (uint64_t)(uintptr_t)stub;
    EXPECT_EQ(stub[0], 0x49);
    EXPECT_EQ(stub[3], (uint8_t)(c.number < 0 ? 0 : c.number));
    EXPECT_EQ(stub[7], 0xC3);
    ASSERT_EQ(nzoneRTSymbolCount, k + 1);
    EXPECT_EQ(nzoneRTSymbolTable[k].address, (uint64_t)(uintptr_t)stub);
    EXPECT_STREQ(nzoneRTSymbolTable[k].name, c.name);
    EXPECT_STREQ(nzoneSymbolAt((uint64_t)(uintptr_t)stub), c.name);
    k++;
  }
  // The first stub set the profiler's areas: its end, and midway from there to the zone's end.
  EXPECT_STREQ(nzoneRTSymbolTable[0].name, "OtherCode");
  EXPECT_STREQ(nzoneRTSymbolTable[1].name, "CompactedCode");
  EXPECT_EQ(profile_compaction_area, top);
  EXPECT_EQ(profile_other_area, ((top + maxNZonePC) / 2 + 15) & ~uint64_t(15));
  EXPECT_EQ(nzoneRTSymbolTable[0].address, profile_other_area);
  EXPECT_EQ(nzoneRTSymbolTable[1].address, profile_compaction_area);
  EXPECT_EQ(nzoneSymbolAt(below + 1), nullptr);
}

TEST(TGenerate, ListsEachStubWhenAsked) {
  FreshZone zone;
  uint32_t saved = tDebug;
  tDebug = 0x80;
  testing::internal::CaptureStderr();
  uint8_t* stub = tGenerate1(genSized, 1, 3, "abort prim fail");
  std::string text = testing::internal::GetCapturedStderr();
  tDebug = saved;
  EXPECT_NE(text.find("\n------ Translating NrtAbortPrimFail3 ------\n"), std::string::npos) << text;
  EXPECT_NE(text.find("NrtAbortPrimFail3:\tmov    $0x3,%r9 49 c7 c1 03 00 00 00\n"), std::string::npos) << text;
  char ret[64];
  snprintf(ret, sizeof ret, "_%llx:\tret c3\n", (unsigned long long)(uintptr_t)(stub + 7));
  EXPECT_NE(text.find(ret), std::string::npos) << text;
}

TEST(TGenerateDeathTest, SymbolTableOverflowIsFatal) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        FreshZone zone;
        for (int i = 2; i < nzoneRTSymbolCapacity; i++) tGenerate1(genSized, 0, i, "stub");  // fills it
        fflush(stdout);
        dup2(2, 1);  // the report goes to standard output
        tGenerate1(genSized, 0, 99, "stub");
      },
      [](int status) { return !::testing::ExitedWithCode(0)(status); }, "OE_PROFILE nzone table overflow");
}
