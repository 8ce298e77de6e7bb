// The Windows layer's own services, run under Wine: the clock's 96-bit conversion, the
// pdMoreMemory reservation, the guarded external-heap copies and the error-name table.
#include <gtest/gtest.h>

#include <cstring>
#include <set>

#include "ext/platform.h"
#include "platpc/ntErrorNames.h"
#include "platpc/ntMain.h"

// count x 1000000 / frequency, floored, over counts and frequencies whose product needs all of
// 96 bits, and frequencies that are and are not whole megahertz.
TEST(Win_Clock, CountToMicrosecondsIsExact) {
  const uint64_t counts[] = {0, 1, 999999, 0xFFFFFFFFu, 0x100000000ull, 0x123456789ABCDEFull,
                             0x7FFFFFFFFFFFFFFFull, 0xFFFFFFFFFFFFFFFFull};
  const uint64_t frequencies[] = {1, 3, 1000000, 10000000, 3579545, 2441406, 0xFFFFFFFFull,
                                  0x1234567890ull, 0xFFFFFFFFFFFFFFFFull};
  for (uint64_t f : frequencies) {
    for (uint64_t c : counts) {
      unsigned __int128 exact = (unsigned __int128)c * 1000000 / f;
      if (exact >> 64) continue;  // no 64-bit answer
      EXPECT_EQ(countToMicroseconds(c, f), uint64_t(exact)) << c << " at " << f;
    }
  }
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
  resetMoreMemory(300ull << 20);
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
  const struct { int64_t code; const char* className; } named[] = {
      {2, "ENOENT"}, {32, "EPIPE"}, {10062, "EELOOP"}};
  for (const auto& n : named) {
    const ErrorNameRow* row = errorNameRowFor(n.code);
    ASSERT_NE(row, nullptr) << n.code;
    EXPECT_STREQ(row->className, n.className);
  }
  EXPECT_EQ(errorNameRowFor(0x7FFFFFF0), nullptr);
}
