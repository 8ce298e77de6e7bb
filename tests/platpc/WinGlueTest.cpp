// The Windows x64 glue driven by hand-built callers (winGlueSnippets.S): jumpToMarkedStack
// brings back what the convention makes callee-saved, and a many-argument primitive finds
// its arguments where a Windows C function looks for them.
#include <gtest/gtest.h>

#include <cstring>

#include "stack/glue.h"
#include "stack/stackzone.h"

extern "C" {
uint64_t winMarkAndJump(void* buffer, void* out);
uint64_t winCallPrim(void* fn, uint64_t n, const uint64_t* words);
void winPrimProbe();
alignas(16) uint8_t winXmmPattern[160];
uint32_t winMxcsrPattern;
uint16_t winFpcwPattern;
uint64_t winRsiPattern, winRdiPattern;
alignas(16) uint64_t winNativeStack[64];
uint64_t winNativeRspAfter, winProbeRsp, winProbeStackWords[2];
uint64_t winPrimRecord(uint64_t r, uint64_t a1, uint64_t a2, uint64_t a3, uint64_t a4, uint64_t a5,
                       uint64_t a6);
}

namespace {

struct JumpOut {
  uint64_t value, rsi, rdi;
  uint32_t mxcsr;
  uint16_t fpcw, pad;
  uint8_t xmm[160];
};
static_assert(offsetof(JumpOut, mxcsr) == 24 && offsetof(JumpOut, fpcw) == 28 && offsetof(JumpOut, xmm) == 32);

uint64_t seenWords[7];

}  // namespace

extern "C" uint64_t winPrimRecord(uint64_t r, uint64_t a1, uint64_t a2, uint64_t a3, uint64_t a4,
                                  uint64_t a5, uint64_t a6) {
  const uint64_t words[7] = {r, a1, a2, a3, a4, a5, a6};
  memcpy(seenWords, words, sizeof words);
  return 0x7770;
}

// The second return of markStack answers 7 with xmm6-15, MXCSR (round up, flush to zero),
// the x87 control word (truncate, single precision), rsi and rdi as markStack saw them,
// though all were wiped before the jump.
TEST(Win_Glue, JumpToMarkedStackKeepsCalleeSavedState) {
  for (int i = 0; i < 160; i++) winXmmPattern[i] = uint8_t(0xA0 + i * 7);
  winMxcsrPattern = 0xBF80;
  winFpcwPattern = 0x0C7F;
  winRsiPattern = 0x5151515151515151ull;
  winRdiPattern = 0xD1D1D1D1D1D1D1D1ull;
  alignas(16) uint8_t buffer[240];
  JumpOut out;
  memset(&out, 0, sizeof out);
  uint64_t savedStack = CStack, savedFrame = CFrame;
  winMarkAndJump(buffer, &out);
  CStack = savedStack;
  CFrame = savedFrame;
  EXPECT_EQ(out.value, 7u);
  EXPECT_EQ(out.rsi, winRsiPattern);
  EXPECT_EQ(out.rdi, winRdiPattern);
  EXPECT_EQ(out.mxcsr & 0xFFC0, winMxcsrPattern & 0xFFC0);  // the flag bits may differ
  EXPECT_EQ(out.fpcw & 0x0F3F, winFpcwPattern & 0x0F3F);
  EXPECT_EQ(memcmp(out.xmm, winXmmPattern, 160), 0);
}

// A primitive of n arguments is called as f(receiver, a1 ... an): a1-a3 in registers, a4 and
// up directly above the 32-byte home area ([rsp+40], [rsp+48] at entry), rsp 8 off 16-byte
// alignment there; the method continues with the answer and its stacked words dropped.
TEST(Win_Glue, ManyArgumentPrimitiveFindsStackArgumentsAboveTheHomeArea) {
  uint64_t segment[16] = {};
  uint64_t* savedCurrent = currentStack;
  uint64_t savedStack = CStack, savedFrame = CFrame;
  for (uint64_t n = 3; n <= 6; n++) {
    uint64_t words[7];
    for (uint64_t i = 0; i <= n; i++) words[i] = 0x1110 + i * 0x1000;
    memset(seenWords, 0, sizeof seenWords);
    winProbeStackWords[0] = winProbeStackWords[1] = 0;
    currentStack = segment;
    uint64_t answer = winCallPrim((void*)winPrimProbe, n, words);
    currentStack = savedCurrent;
    EXPECT_EQ(answer, 0x7770u) << n;
    for (uint64_t i = 0; i <= n; i++) EXPECT_EQ(seenWords[i], words[i]) << n << " argument " << i;
    if (n >= 4) { EXPECT_EQ(winProbeStackWords[0], words[4]) << n; }
    if (n >= 5) { EXPECT_EQ(winProbeStackWords[1], words[5]) << n; }
    EXPECT_EQ(winProbeRsp % 16, 8u) << n;
    EXPECT_EQ(winNativeRspAfter, uint64_t(winNativeStack + 64)) << n;
    EXPECT_EQ(segment[6], 0u) << n;  // the saved receiver is cleared on return
  }
  CStack = savedStack;
  CFrame = savedFrame;
}
