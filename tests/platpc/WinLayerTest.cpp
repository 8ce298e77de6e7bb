// The Windows layer's own services, run under Wine: the clock (its steering on an injected
// counter, the real one beside the system time), the pdMoreMemory reservation, execute
// permission, the guarded external-heap copies and the error-name table.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <set>

#include "ext/platform.h"
#include "platpc/ntErrorNames.h"
#include "platpc/ntMain.h"

namespace {

// A performance counter and a system time that the test moves by hand: the counter at 3.579545
// MHz (not whole megahertz), possibly running fast against the system time.
struct FakeTime {
  uint64_t count, fileTime;
  int systemReads;
};
FakeTime fake;
const uint64_t fakeFrequency = 3579545;
BOOL fakeCounter(uint64_t* count) {
  *count = fake.count;
  return TRUE;
}
BOOL fakeFrequencyOf(uint64_t* perSecond) {
  *perSecond = fakeFrequency;
  return TRUE;
}
void fakeSystemTime(uint64_t* fileTime) {
  fake.systemReads++;
  *fileTime = fake.fileTime;
}
int64_t fakeSystemMicroseconds() { return int64_t((fake.fileTime - fileTimeOf1901) / 10); }

// seconds of system time pass while the counter runs rate times as fast.
void advance(double seconds, double rate = 1.0) {
  fake.count += uint64_t(seconds * rate * double(fakeFrequency));
  fake.fileTime += uint64_t(seconds * 1e7);
}

class Win_ClockSteering : public ::testing::Test {
 protected:
  void SetUp() override {
    saved = clockSource;
    fake = {123456789012ull, fileTimeOf1901 + 3900000000ull * 10000000, 0};
    clockSource = {fakeCounter, fakeFrequencyOf, fakeSystemTime};
    startClock();
  }
  void TearDown() override {
    clockSource = saved;
    startClock();
  }
  ClockSource saved;
};

}  // namespace

// The clock follows the counter between corrections without reading the system time; a
// one-hour change of the system time is taken over at the first reading 10 s or more after
// the last synchronisation, not before.
TEST_F(Win_ClockSteering, AnHourJumpResynchronisesAtTheFirstCorrection) {
  int64_t start = int64_t(pdMicrosecondClock());
  EXPECT_EQ(start, fakeSystemMicroseconds());
  fake.systemReads = 0;
  for (int i = 1; i <= 9; i++) {
    advance(1.0);
    if (i == 5) fake.fileTime += 3600ull * 10000000;
    EXPECT_NEAR(double(int64_t(pdMicrosecondClock()) - start), i * 1e6, 1.0) << i;
  }
  EXPECT_EQ(fake.systemReads, 0);  // nine readings under 10 s apart from the synchronisation
  advance(1.0);
  EXPECT_EQ(int64_t(pdMicrosecondClock()), fakeSystemMicroseconds());
  advance(0.5);
  EXPECT_NEAR(double(int64_t(pdMicrosecondClock()) - fakeSystemMicroseconds()), 0.0, 1.0);
}

// A counter 0.01 % fast is steered out gradually: readings never go back, never jump to the
// system time, and after a few minutes stay within 10 us of it (unsteered: 100 us a second).
TEST_F(Win_ClockSteering, ASmallDriftIsAbsorbedGradually) {
  int64_t previous = int64_t(pdMicrosecondClock()), worst = 0;
  for (int second = 1; second <= 1200; second++) {
    advance(1.0, 1.0001);
    int64_t now = int64_t(pdMicrosecondClock());
    EXPECT_GE(now, previous) << second;
    EXPECT_NEAR(double(now - previous), 1e6, 1e6 * 0.002) << second;
    int64_t error = std::llabs(now - fakeSystemMicroseconds());
    if (second >= 300) worst = std::max(worst, error);
    previous = now;
  }
  EXPECT_LE(worst, 10);
}

// After a power event the next reading is the system time, and the flag is cleared.
TEST_F(Win_ClockSteering, APowerEventResynchronisesTheNextReading) {
  advance(3.0);
  fake.fileTime += 2ull * 10000000;  // the counter stood still while the machine slept
  EXPECT_NE(int64_t(pdMicrosecondClock()), fakeSystemMicroseconds());
  InterlockedExchange(&powerEventFlag, 1);
  EXPECT_EQ(int64_t(pdMicrosecondClock()), fakeSystemMicroseconds());
  EXPECT_EQ(powerEventFlag, 0);
  advance(1.0);
  EXPECT_NEAR(double(int64_t(pdMicrosecondClock()) - fakeSystemMicroseconds()), 0.0, 1.0);
}

// The real clock stays within 1 ms of the system time over 15 s: each reading is bracketed
// by two readings of the system time, so a pause between them cannot fail the comparison.
TEST(Win_Clock, RealClockKeepsToTheSystemTime) {
  startClock();
  auto systemMicroseconds = [] {
    FILETIME t;
    GetSystemTimeAsFileTime(&t);
    return int64_t(((uint64_t(t.dwHighDateTime) << 32 | t.dwLowDateTime) - fileTimeOf1901) / 10);
  };
  uint64_t start = GetTickCount64();
  int readings = 0;
  while (GetTickCount64() - start < 15000) {
    int64_t before = systemMicroseconds();
    int64_t clock = int64_t(pdMicrosecondClock());
    int64_t after = systemMicroseconds();
    EXPECT_GE(clock, before - 1000) << "after " << GetTickCount64() - start << " ms";
    EXPECT_LE(clock, after + 1000) << "after " << GetTickCount64() - start << " ms";
    readings++;
    Sleep(20);
  }
  EXPECT_GT(readings, 0);
}

// The reservation is the size asked for plus 2 MB less a byte, in whole megabytes.
TEST(Win_Memory, ReservationRoundsToMegabytes) {
  const struct { uint64_t asked, reserved; } cases[] = {
      {300ull << 20, 301ull << 20}, {(300ull << 20) + 5, 302ull << 20}, {0, 1ull << 20}};
  for (const auto& c : cases) {
    resetMoreMemory(c.asked);
    void* block = pdMoreMemory(4096, pdProtRead | pdProtWrite);
    ASSERT_NE(block, nullptr);
    memset(block, 0x5A, 4096);  // committed and writable
    EXPECT_EQ(moreMemoryReservedBytes(), c.reserved) << c.asked;
  }
  // Past the region's end the answer is null and nothing is reserved anew.
  resetMoreMemory(8ull << 20);
  ASSERT_NE(pdMoreMemory(7ull << 20, pdProtRead | pdProtWrite), nullptr);
  EXPECT_EQ(pdMoreMemory(4ull << 20, pdProtRead | pdProtWrite), nullptr);
  EXPECT_EQ(moreMemoryReservedBytes(), 9ull << 20);
  resetMoreMemory(300ull << 20);
}

// Execute permission keeps each protection's access and reports nothing.
TEST(Win_Memory, ExecutePermissionKeepsTheAccess) {
  const struct { DWORD before, after; } cases[] = {
      {PAGE_READWRITE, PAGE_EXECUTE_READWRITE}, {PAGE_READONLY, PAGE_EXECUTE_READ},
      {PAGE_NOACCESS, PAGE_EXECUTE}, {PAGE_EXECUTE_READ, PAGE_EXECUTE_READ}};
  for (const auto& c : cases) {
    void* pages = VirtualAlloc(nullptr, 8192, MEM_RESERVE | MEM_COMMIT, c.before);
    ASSERT_NE(pages, nullptr);
    testing::internal::CaptureStderr();
    pdSetMemExecPerm(pages, 8192);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "") << c.before;
    MEMORY_BASIC_INFORMATION info;
    ASSERT_EQ(VirtualQuery(pages, &info, sizeof info), sizeof info);
    EXPECT_EQ(info.Protect, c.after) << c.before;
    VirtualFree(pages, 0, MEM_RELEASE);
  }
}

// A copy from or to an unmapped address answers -1; a good copy its length.
TEST(Win_Memory, ExternalCopiesSurviveFaults) {
  char source[16] = "external bytes", destination[16] = {};
  EXPECT_EQ(pdCopyFromExternalHeap(destination, (void*)8, 8), uint32_t(-1));
  EXPECT_EQ(pdCopyToExternalHeap((void*)8, source, 8), uint32_t(-1));
  EXPECT_EQ(pdCopyFromExternalHeap(destination, source, sizeof source), uint32_t(sizeof source));
  EXPECT_STREQ(destination, source);
}

TEST(Win_ErrorNames, RowsAreUniqueAndFound) {
  std::set<int32_t> codes;
  for (const ErrorNameRow& row : errorNameTable) {
    EXPECT_TRUE(codes.insert(row.code).second) << "code " << row.code << " twice";
    ASSERT_NE(row.className, nullptr);
    ASSERT_NE(row.symbolicName, nullptr);
    EXPECT_EQ(errorNameRowFor(row.code), &row);
  }
  EXPECT_EQ(codes.size(), 474u);
  const struct { int64_t code; const char* className; } named[] = {
      {2, "ENOENT"}, {32, "EPIPE"}, {10062, "EELOOP"}};
  for (const auto& n : named) {
    const ErrorNameRow* row = errorNameRowFor(n.code);
    ASSERT_NE(row, nullptr) << n.code;
    EXPECT_STREQ(row->className, n.className);
  }
  EXPECT_EQ(errorNameRowFor(0x7FFFFFF0), nullptr);
}
