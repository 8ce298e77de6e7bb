// Emitters run natively: division, floating conditional jumps and filler.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "nativeCode.h"
#include "tran/cgenx86_64.h"

namespace {

uint64_t sentinel(int r) { return 0x5A5A000000000000ull + 0x1111ull * (uint64_t)r; }

void fillSentinels(RegFile& regs) {
  for (int r = 0; r < 16; r++) regs.r[r] = sentinel(r);
  regs.r[rSP] = 0x202;  // flags
}

}  // namespace

TEST(Emitter_CgenDiv, EveryRegisterPairOverAValueGrid) {
  static const int64_t dividends[] = {0, 1, -1, 7, -7, 100, -101, INT64_MAX, INT64_MIN, (1ll << 40) + 3};
  static const int64_t divisors[] = {1, -1, 2, -3, 7, -7, 1ll << 33, INT64_MAX, INT64_MIN};
  int usable[14], n = 0;
  for (int r = 0; r < 16; r++) {
    if (r != rSP && r != rBP) usable[n++] = r;
  }
  for (int both = 0; both < 2; both++) {
    for (int ia = 0; ia < n; ia++) {
      for (int ib = 0; ib < n; ib++) {
        int a = usable[ia], b = usable[ib];
        if (a == b) continue;
        uint8_t* code = nativeCodeArea();
        emitRet(cgenDiv(a, b, both, code));
        for (int64_t x : dividends) {
          for (int64_t y : divisors) {
            if (x == INT64_MIN && y == -1) continue;
            RegFile regs;
            fillSentinels(regs);
            regs.r[b] = (uint64_t)x;
            regs.r[a] = (uint64_t)y;
            nativeRun(code, regs);
            ASSERT_EQ((int64_t)regs.r[b], x / y) << "a " << a << " b " << b << " both " << both;
            ASSERT_EQ((int64_t)regs.r[a], both ? x % y : y) << "a " << a << " b " << b << " both " << both;
            for (int r = 0; r < 16; r++) {
              if (r != a && r != b && r != rSP) {
                ASSERT_EQ(regs.r[r], sentinel(r)) << "register " << r << " changed";
              }
            }
          }
        }
      }
    }
  }
}

// ucomisd x, y then the conditional jump: taken exactly where the IEEE relation holds, and
// "not equal" also for unordered operands.
TEST(Emitter_TFJumpCond, TakenAsIeeeComparisonSays) {
  const double nan = std::numeric_limits<double>::quiet_NaN(), inf = INFINITY;
  const double values[] = {nan, 0.0, -0.0, inf, -inf, 1.0, 2.0, -2.5};
  struct Cond {
    int cc;
    bool (*holds)(double, double);
  };
  const Cond conds[] = {
    {ccA, [](double x, double y) { return x > y; }},   {ccAE, [](double x, double y) { return x >= y; }},
    {ccB, [](double x, double y) { return x < y; }},   {ccBE, [](double x, double y) { return x <= y; }},
    {ccE, [](double x, double y) { return x == y; }},  {ccNE, [](double x, double y) { return x != y; }},
  };
  for (const Cond& c : conds) {
    uint8_t* at = nativeCodeArea();
    uint8_t* code = at;
    at = emitMovqXR(at, 0, rAX);
    at = emitMovqXR(at, 1, rCX);
    at = emitMovRI32(at, rDX, 1);  // taken
    at = emitUcomisd(at, 0, 1);
    at = tFJumpCond(c.cc, at);
    uint8_t* site = at;
    at = emitMovRI32(at, rDX, 0);  // not taken
    cgenPatchRel8(site, at);
    emitRet(at);
    for (double x : values) {
      for (double y : values) {
        RegFile regs;
        fillSentinels(regs);
        memcpy(&regs.r[rAX], &x, 8);
        memcpy(&regs.r[rCX], &y, 8);
        nativeRun(code, regs);
        EXPECT_EQ(regs.r[rDX], c.holds(x, y) ? 1u : 0u) << "condition " << std::hex << c.cc << " x " << x << " y " << y;
      }
    }
  }
}

TEST(Emitter_CNopGenTo, FillsExactlyAndChangesNoRegisterOrFlag) {
  const uint64_t flagSets[] = {0x202, 0x202 | 0x8D5};  // none / CF PF AF ZF SF OF
  for (int length = 0; length <= 20; length++) {
    uint8_t* code = nativeCodeArea();
    EXPECT_EQ(cNopGenTo(code, code + length), code + length);
    emitRet(code + length);
    for (uint64_t flags : flagSets) {
      RegFile regs;
      fillSentinels(regs);
      regs.r[rSP] = flags;
      nativeRun(code, regs);
      for (int r = 0; r < 16; r++) {
        if (r != rSP) {
          EXPECT_EQ(regs.r[r], sentinel(r)) << "fill " << length << " register " << r;
        }
      }
      EXPECT_EQ(regs.r[rSP] & 0x8D5, flags & 0x8D5) << "fill " << length;
    }
  }
}
