// Layout constants against the machine code they describe: the entry sequence's bytes and a
// send site, laid out byte by byte.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "tran/nmLayout.h"

namespace {

// The entry sequence of a framed method from the header end to the unchecked entry.
std::vector<uint8_t> entrySequence() {
  std::vector<uint8_t> b(nMethodHeaderSize, 0);
  auto put = [&](std::initializer_list<uint8_t> bytes) { b.insert(b.end(), bytes); };
  put({0x48, 0xC7, 0xC0, 0, 0, 0, 0, 0xFF, 0xD0, 0x90, 0x90});  // mov rax, abort; call rax; nops
  put({0xE8, 0, 0, 0, 0});                                      // call rtPICAbortSendMiss
  while (b.size() < nMethodEntry) b.push_back(0x90);
  put({0x48, 0x89, 0xD8, 0x48, 0x83, 0xE0, 0x07, 0x75, 0x09});  // immediate tag test
  put({0x48, 0x8B, 0x43, 0x08, 0x25, 0xFF, 0xFF, 0x0F, 0x00});  // class tag load
  put({0x49, 0x3B, 0xC7, 0x75, 0x00});                          // compare, jne miss
  return b;
}

TEST(NmLayout_EntrySequence, OffsetsMatchTheInstructionBytes) {
  std::vector<uint8_t> b = entrySequence();
  EXPECT_EQ(b.size(), nMethodEntryNoCheck);
  EXPECT_EQ(b[nMethodCannotResumeEntry], 0x48);
  EXPECT_EQ(b[nMethodAbortOffsetOffset - 2], 0xFF);  // call rax returns to the nop pair
  EXPECT_EQ(b[nMethodAbortSendMissOffset], 0xE8);
  EXPECT_EQ(b[nMethodEntryNonImmediate], 0x48);
  EXPECT_EQ(b[nMethodEntryCompare], 0x49);
  // The immediate test's jne lands on the compare.
  EXPECT_EQ(nMethodEntry + 9 + b[nMethodEntry + 8], nMethodEntryCompare);
}

TEST(NmLayout_SendSite, ImmediateAndDisplacementSitBeforeTheReturnAddress) {
  const uint32_t imm = 0x12345678, disp = 0x9ABCDEF0;
  uint8_t site[10 + sendSiteSize] = {0x49, 0xBB, 1, 2, 3, 4, 5, 6, 7, 8, 0x41, 0xBF, 0, 0, 0, 0, 0xE8, 0, 0, 0, 0};
  memcpy(site + 12, &imm, 4);
  memcpy(site + 17, &disp, 4);
  const uint8_t* r = site + sizeof site;  // return address of the call
  uint32_t readImm, readDisp;
  uint64_t cls;
  memcpy(&readImm, r + sendSiteImmediateOffset, 4);
  memcpy(&readDisp, r + sendSiteDisplacementOffset, 4);
  memcpy(&cls, r + superLookupClassLoadOffset - 8, 8);
  EXPECT_EQ(readImm, imm);
  EXPECT_EQ(readDisp, disp);
  EXPECT_EQ(cls, 0x0807060504030201u);
}

}  // namespace
