// Disassembler: forms outside the emitter corpus, other modes, bad bytes, random input.
#include <gtest/gtest.h>

#include <cinttypes>
#include <cstdio>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "tran/disx86_64.h"

namespace {

struct DisCase {
  std::vector<uint8_t> bytes;
  int mode;
  const char* text;
};

std::string dis(const std::vector<uint8_t>& bytes, int mode, int* length, DisSymProc sym = nullptr) {
  char text[200];
  const uint8_t* next = disx86_64Text(bytes.data(), text, sizeof text, nullptr, sym, mode);
  *length = (int)(next - bytes.data());
  return text;
}

int nmOffset(char* buf, int size, uint64_t address) {
  snprintf(buf, size, "nm@%03" PRIx64, address & 0xfff);
  return 1;
}

}  // namespace

TEST(Disasm_Forms, PrintsTheAttText) {
  const DisCase cases[] = {
    {{0x48, 0x8B, 0x05, 0x10, 0, 0, 0}, disMode64, "mov    0x10(%rip),%rax"},
    {{0x8B, 0x05, 0x10, 0, 0, 0}, disMode32, "mov    0x10,%eax"},
    {{0x67, 0x8B, 0x05, 0xF0, 0xFF, 0xFF, 0xFF}, disMode64, "mov    -0x10(%eip),%eax"},
    {{0x8B, 0x46, 0x08}, disMode16, "mov    0x8(%bp),%ax"},
    {{0x66, 0x8B, 0x46, 0x08}, disMode16, "mov    0x8(%bp),%eax"},
    {{0x40, 0x88, 0xF0}, disMode64, "mov    %sil,%al"},
    {{0x88, 0xF0}, disMode64, "mov    %dh,%al"},
    {{0x48, 0x83, 0xC0, 0x80}, disMode64, "add    $-0x80,%rax"},
    {{0x48, 0x81, 0x38, 0, 1, 0, 0}, disMode64, "cmpq   $0x100,(%rax)"},
    {{0xC6, 0x00, 0xFF}, disMode64, "movb   $0xff,(%rax)"},
    {{0x66, 0xC7, 0x00, 0x34, 0x12}, disMode64, "movw   $0x1234,(%rax)"},
    {{0x48, 0xD1, 0x20}, disMode64, "shlq   (%rax)"},
    {{0x48, 0xD3, 0xF8}, disMode64, "sar    %cl,%rax"},
    {{0x48, 0xF7, 0x38}, disMode64, "idivq  (%rax)"},
    {{0xFF, 0x24, 0xC5, 0, 0x10, 0, 0}, disMode64, "jmp    *0x1000(,%rax,8)"},
    {{0xFF, 0x70, 0x08}, disMode64, "push   0x8(%rax)"},
    {{0x0F, 0xB6, 0x00}, disMode64, "movzbl (%rax),%eax"},
    {{0x48, 0x63, 0xC1}, disMode64, "movslq %ecx,%rax"},
    {{0x48, 0x0F, 0x4F, 0xC1}, disMode64, "cmovg  %rcx,%rax"},
    {{0x0F, 0x94, 0xC0}, disMode64, "setz   %al"},
    {{0xF2, 0x48, 0x0F, 0x2A, 0x00}, disMode64, "cvtsi2sdq (%rax),%xmm0"},
    {{0xF2, 0x0F, 0x59, 0xC1}, disMode64, "mulsd  %xmm1,%xmm0"},
    {{0x66, 0x48, 0x0F, 0x7E, 0xC0}, disMode64, "movq   %xmm0,%rax"},
    {{0xF0, 0x48, 0x0F, 0xB1, 0x0A}, disMode64, "lock cmpxchg %rcx,(%rdx)"},
    {{0xF3, 0xC3}, disMode64, "repz ret"},
    {{0xF3, 0xA4}, disMode64, "rep movsb"},
    {{0x64, 0x48, 0x8B, 0x04, 0x25, 0x28, 0, 0, 0}, disMode64, "mov    %fs:0x28,%rax"},
    {{0x48, 0xB8, 1, 2, 3, 4, 5, 6, 7, 8}, disMode64, "movabs $0x807060504030201,%rax"},
    {{0x40}, disMode32, "inc    %eax"},
    {{0xD9, 0xE0}, disMode64, "fchs"},
    {{0xDE, 0xD9}, disMode64, "fcompp"},
    {{0xDF, 0xE0}, disMode64, "fnstsw %ax"},
    {{0xDD, 0x45, 0xF8}, disMode64, "fldl   -0x8(%rbp)"},
    {{0xD8, 0xC1}, disMode64, "fadd   %st(1),%st"},
    {{0x0F, 0xAE, 0xF0}, disMode64, "mfence"},
    // No known instruction: one byte in .byte form.
    {{0x06}, disMode64, ".byte  0x06"},
    {{0xF2, 0x0F, 0x28, 0xC1}, disMode64, ".byte  0xf2"},
    {{0x0F, 0x04}, disMode64, ".byte  0x0f"},
    {{0x8D, 0xC0}, disMode64, ".byte  0x8d"},
    {{0xFF, 0xF8}, disMode64, ".byte  0xff"},
  };
  for (const DisCase& c : cases) {
    int length = 0;
    std::string text = dis(c.bytes, c.mode, &length);
    EXPECT_EQ(text, c.text);
    int expected = text.rfind(".byte", 0) == 0 ? 1 : (int)c.bytes.size();
    EXPECT_EQ(length, expected) << c.text;
  }
}

TEST(Disasm_Targets, NamesBranchTargetsThroughTheSymbolProcedure) {
  // A buffer at a known low-12-bit offset: targets print relative to it.
  alignas(4096) static uint8_t code[4096];
  const uint8_t call[] = {0xE8, 0x10, 0, 0, 0};
  memcpy(code + 0x40, call, sizeof call);
  char text[100];
  disx86_64Text(code + 0x40, text, sizeof text, nullptr, nmOffset, disMode64);
  EXPECT_STREQ(text, "call   nm@055");
  const uint8_t jcc[] = {0x72, 0xF0};
  memcpy(code + 0x80, jcc, sizeof jcc);
  disx86_64Text(code + 0x80, text, sizeof text, nullptr, nullptr, disMode64);
  char expected[64];
  snprintf(expected, sizeof expected, "jb     0x%" PRIx64, (uint64_t)(uintptr_t)(code + 0x72));
  EXPECT_STREQ(text, expected);
}

TEST(Disasm_Stream, WritesOneLinePerInstruction) {
  FILE* f = tmpfile();
  ASSERT_NE(f, nullptr);
  const uint8_t code[] = {0x55, 0x48, 0x89, 0xE5, 0xC3};
  const uint8_t* p = code;
  while (p < code + sizeof code) p = disx86_64_64bit_mode(p, f, nullptr, nullptr);
  EXPECT_EQ(p, code + sizeof code);
  rewind(f);
  char buf[200] = {};
  size_t n = fread(buf, 1, sizeof buf - 1, f);
  fclose(f);
  EXPECT_EQ(std::string(buf, n), "push   %rbp\nmov    %rsp,%rbp\nret\n");
}

// Random bytes: each decode reads only the 15 bytes it may (the copy is exactly that long, so
// the address sanitizer reports any read past it) and advances by 1 to 15.
TEST(Disasm_RandomBytes, NeverReadsPastFifteenBytesAndAlwaysAdvances) {
  std::mt19937_64 rng(20261210);
  int modes[] = {disMode16, disMode32, disMode64};
  for (int round = 0; round < 20000; round++) {
    std::unique_ptr<uint8_t[]> bytes(new uint8_t[disMaxLength]);
    for (int i = 0; i < disMaxLength; i++) {
      // Prefix-heavy input half the time, to reach the length limit.
      bytes[i] = (round & 1) && (rng() & 3) ? (uint8_t)"\x66\x67\xF2\xF3\x48\x0F\x2E\x64"[rng() & 7] : (uint8_t)rng();
    }
    char text[200];
    const uint8_t* next = disx86_64Text(bytes.get(), text, sizeof text, nullptr, nullptr, modes[round % 3]);
    ASSERT_GE(next - bytes.get(), 1);
    ASSERT_LE(next - bytes.get(), disMaxLength);
    ASSERT_GT(strlen(text), 0u);
  }
}
