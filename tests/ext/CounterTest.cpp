// The counter conversion against 128-bit arithmetic.
#include <gtest/gtest.h>

#include "ext/exCounter.h"

// count x 1000000 / frequency, floored, over counts and frequencies whose product needs all of
// 96 bits, and frequencies that are and are not whole megahertz.
TEST(Counter, CountToMicrosecondsIsExact) {
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
  // And pseudo-random pairs of every magnitude.
  uint64_t x = 0x9E3779B97F4A7C15ull;
  auto next = [&x] {
    x ^= x << 13, x ^= x >> 7, x ^= x << 17;
    return x;
  };
  for (int i = 0; i < 20000; i++) {
    uint64_t c = next() >> (next() % 64), f = (next() >> (next() % 64)) | 1;
    unsigned __int128 exact = (unsigned __int128)c * 1000000 / f;
    if (exact >> 64) continue;
    ASSERT_EQ(countToMicroseconds(c, f), uint64_t(exact)) << c << " at " << f;
  }
}
