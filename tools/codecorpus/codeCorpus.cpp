// Test tooling: the emitter corpus (generator calls, intended AT&T text, golden bytes).
// Pseudo-prefixes ({load}, {disp32}) pin the encoding where GNU as could choose another.
#include "codeCorpus.h"

#include <cstdarg>
#include <cinttypes>
#include <cstdio>

#include "mman/mmIncGC.h"
#include "mman/mmObject.h"
#include "tran/cgenx86_64.h"
#include "mman/mmNewSpace.h"
#include "mman/mmSysOop.h"
#include "tran/tmain.h"
#include "tran/tprim.h"
#include "tran/tstack.h"

void CorpusSink::line(const char* format, ...) {
  char buf[160];
  va_list args;
  va_start(args, format);
  vsnprintf(buf, sizeof buf, format, args);
  va_end(args);
  text += buf;
  text += '\n';
}

std::string corpusHex(const uint8_t* bytes, int64_t n) {
  std::string s;
  char two[3];
  for (int64_t i = 0; i < n; i++) {
    snprintf(two, sizeof two, "%02x", bytes[i]);
    s += two;
  }
  return s;
}

namespace {

const char* const r64[16] = {"rax", "rcx", "rdx", "rbx", "rsp", "rbp", "rsi", "rdi",
                             "r8",  "r9",  "r10", "r11", "r12", "r13", "r14", "r15"};
const char* const r32[16] = {"eax", "ecx", "edx", "ebx", "esp", "ebp", "esi", "edi",
                             "r8d", "r9d", "r10d", "r11d", "r12d", "r13d", "r14d", "r15d"};
const char* const r8[4] = {"al", "cl", "dl", "bl"};

// Memory operands: every base with displacement 0 and -8, and the bases whose encodings are
// special (rsp/r12 need a SIB, rbp/r13 a displacement) at the disp8/disp32 edges.
struct Mem {
  int base;
  int32_t disp;
};
const Mem mems[] = {
  {0, 0}, {1, 0}, {2, 0}, {3, 0}, {4, 0}, {5, 0}, {6, 0}, {7, 0},
  {8, 0}, {9, 0}, {10, 0}, {11, 0}, {12, 0}, {13, 0}, {14, 0}, {15, 0},
  {0, -8}, {3, -8}, {4, -8}, {5, -8}, {8, -8}, {12, -8}, {13, -8}, {15, -8},
  {4, 127}, {4, -128}, {4, 128}, {4, -129}, {12, 127}, {12, 128},
  {5, 127}, {5, -128}, {5, 2032}, {5, -2072}, {13, -129}, {0, 0x7fffffff}, {8, INT32_MIN},
};

std::string memText(Mem m) {
  char buf[48];
  if (m.disp == 0) {
    snprintf(buf, sizeof buf, "(%%%s)", r64[m.base]);
  } else {
    snprintf(buf, sizeof buf, "%s0x%x(%%%s)", m.disp < 0 ? "-" : "",
             m.disp < 0 ? (unsigned)(0u - (unsigned)m.disp) : (unsigned)m.disp, r64[m.base]);
  }
  return buf;
}

// ---------------------------------------------------------------- moves

void movRR(CorpusSink& s) {
  for (int d = 0; d < 16; d++) {
    int src = (d + 3) & 15;
    s.at = emitMovRR(s.at, d, src);
    s.line("mov %%%s,%%%s", r64[src], r64[d]);
  }
}
void movRM(CorpusSink& s) {
  int d = 0;
  for (Mem m : mems) {
    d = (d + 5) & 15;
    s.at = emitMovRM(s.at, d, m.base, m.disp);
    s.line("mov %s,%%%s", memText(m).c_str(), r64[d]);
  }
}
void movMR(CorpusSink& s) {
  int r = 0;
  for (Mem m : mems) {
    r = (r + 7) & 15;
    s.at = emitMovMR(s.at, m.base, m.disp, r);
    s.line("mov %%%s,%s", r64[r], memText(m).c_str());
  }
}
void movRA(CorpusSink& s) {
  for (int d = 0; d < 16; d++) {
    s.at = emitMovRA(s.at, d, 0x00601040u + 8 * d);
    s.line("mov 0x%x,%%%s", 0x00601040u + 8 * d, r64[d]);
  }
  s.at = emitMovALA(s.at, 0x7ffffff8u);
  s.line("mov 0x7ffffff8,%%al");
}
void movRI(CorpusSink& s) {
  static const int32_t imms[] = {0, 43, -1, 0x7fffffff, INT32_MIN};
  for (int d = 0; d < 16; d++) {
    int32_t v = imms[d % 5];
    s.at = emitMovRI32(s.at, d, v);
    s.line("mov $%d,%%%s", v, r64[d]);
  }
  for (int d = 0; d < 16; d++) {
    uint64_t v = 0x0123456789abcdefull + (uint64_t)d;
    s.at = emitMovRI64(s.at, d, v);
    s.line("movabs $0x%llx,%%%s", (unsigned long long)v, r64[d]);
  }
  s.at = emitMovRI64(s.at, rR11, ~0ull);
  s.line("movabs $0xffffffffffffffff,%%r11");
  for (int d = 0; d < 16; d++) {
    s.at = emitMovR32I32(s.at, d, 0x7fffffffu - (uint32_t)d);
    s.line("mov $0x%x,%%%s", 0x7fffffffu - (uint32_t)d, r32[d]);
  }
  for (int d = 0; d < 4; d++) {
    s.at = emitMovR8I8(s.at, d, (uint8_t)(d == 3 ? 255 : 43 + d));
    s.line("mov $0x%x,%%%s", d == 3 ? 255 : 43 + d, r8[d]);
  }
}
void xorLea(CorpusSink& s) {
  for (int d = 0; d < 16; d++) {
    s.at = emitXorR32(s.at, d);
    s.line("{load} xor %%%s,%%%s", r32[d], r32[d]);
  }
  for (int d = 0; d < 16; d++) {
    int src = (d + 9) & 15;
    s.at = emitXorRR(s.at, d, src);
    s.line("{load} xor %%%s,%%%s", r64[src], r64[d]);
  }
  for (int d = 0; d < 16; d++) {
    int r = d == rSP ? rR12 : d;  // rsp cannot be an index
    s.at = emitLeaTagInt(s.at, (d + 11) & 15, r);
    s.line("lea 0x3(,%%%s,8),%%%s", r64[r], r64[(d + 11) & 15]);
  }
  for (Mem m : mems) {
    s.at = emitLeaRM(s.at, rAX, m.base, m.disp);
    s.line("lea %s,%%rax", memText(m).c_str());
  }
  for (int d = 0; d < 16; d++) {
    s.at = emitLeaRipRel(s.at, d, s.at + 0x107 - 16 * d);
    s.line("lea .+0x%x(%%rip),%%%s", 0x107 - 16 * d, r64[d]);
  }
  for (int r = 1; r < 16; r++) {
    s.at = emitXchgRaxR(s.at, r);
    s.line("xchg %%rax,%%%s", r64[r]);
  }
}

// ---------------------------------------------------------------- stack

void stack(CorpusSink& s) {
  for (int r = 0; r < 16; r++) {
    s.at = emitPushR(s.at, r);
    s.line("push %%%s", r64[r]);
    s.at = emitPopR(s.at, r);
    s.line("pop %%%s", r64[r]);
  }
  static const int8_t i8[] = {0x2b, -128, 127, 0, -1};
  for (int8_t v : i8) {
    s.at = emitPushI8(s.at, v);
    s.line("push $%d", v);
  }
  static const int32_t i32[] = {128, -129, 0x7fffffff, INT32_MIN, 0x00401000};
  for (int32_t v : i32) {
    s.at = emitPushI32(s.at, v);
    s.line("push $%d", v);
  }
  for (Mem m : mems) {
    s.at = emitPushM(s.at, m.base, m.disp);
    s.line("pushq %s", memText(m).c_str());
    s.at = emitPopM(s.at, m.base, m.disp);
    s.line("popq %s", memText(m).c_str());
  }
}

// ---------------------------------------------------------------- arithmetic

void alu(CorpusSink& s) {
  static const struct {
    int n;
    const char* name;
  } ops[] = {{aluAdd, "add"}, {aluAnd, "and"}, {aluSub, "sub"}, {aluCmp, "cmp"}};
  for (auto op : ops) {
    for (int r = 0; r < 16; r++) {
      int8_t v8 = r & 1 ? -128 : 127;
      s.at = emitAluRI8(s.at, op.n, r, v8);
      s.line("%s $%d,%%%s", op.name, v8, r64[r]);
    }
    int32_t v32 = op.n == aluCmp ? INT32_MIN : 128;
    s.at = emitAluRI32(s.at, op.n, rR13, v32);
    s.line("%s $%d,%%r13", op.name, v32);
    s.at = emitAluRI32(s.at, op.n, rR8, 0x7fffffff);
    s.line("%s $0x7fffffff,%%r8", op.name);
  }
  static const int32_t cmps[] = {0, 3, -128, 127, 128, -129, 0x7fffffff};
  for (int32_t v : cmps) {
    s.at = emitCmpRI(s.at, rR9, v);
    s.line("cmp $%d,%%r9", v);
  }
  s.at = emitAndEAXI32(s.at, 0xfffff);
  s.line("and $0xfffff,%%eax");
}
void compare(CorpusSink& s) {
  for (int r = 0; r < 16; r++) {
    int o = (r + 11) & 15;
    s.at = emitCmpRR(s.at, r, o);
    s.line("{load} cmp %%%s,%%%s", r64[o], r64[r]);
  }
  int r = 0;
  for (Mem m : mems) {
    r = (r + 3) & 15;
    s.at = emitCmpRM(s.at, r, m.base, m.disp);
    s.line("cmp %s,%%%s", memText(m).c_str(), r64[r]);
  }
  for (int q = 0; q < 16; q++) {
    s.at = emitCmpRA(s.at, q, 0x00602000u);
    s.line("cmp 0x602000,%%%s", r64[q]);
  }
  s.at = emitCmpA8I8(s.at, 0x7ffffff8u, 0x6d);
  s.line("cmpb $0x6d,0x7ffffff8");
}
void shiftsAndTests(CorpusSink& s) {
  static const struct {
    int n;
    const char* name;
  } ops[] = {{shiftShl, "shl"}, {shiftShr, "shr"}, {shiftSar, "sar"}};
  for (auto op : ops) {
    for (int r = 0; r < 16; r++) {
      s.at = emitShiftRI(s.at, op.n, r, (uint8_t)(r & 1 ? 3 : 63));
      s.line("%s $%d,%%%s", op.name, r & 1 ? 3 : 63, r64[r]);
    }
  }
  for (int r = 0; r < 16; r++) {
    static const uint8_t bits[] = {0, 20, 21, 32, 33, 62, 63};
    uint8_t b = bits[r % 7];
    s.at = emitBtRI(s.at, r, b);
    s.line("bt $%d,%%%s", b, r64[r]);
  }
  for (int r = 0; r < 4; r++) {
    s.at = emitTestR8I8(s.at, r, 1);
    s.line("test $1,%%%s", r8[r]);
  }
  s.at = emitTestR8I8(s.at, rBX, 2);
  s.line("test $2,%%bl");
  s.at = emitCqo(s.at);
  s.line("cqto");
  for (int r = 0; r < 16; r++) {
    s.at = emitIdivR(s.at, r);
    s.line("idiv %%%s", r64[r]);
  }
}

// ---------------------------------------------------------------- control and SSE

static const char* const ccText[16] = {"jo", "jno", "jb", "jae", "je", "jne", "jbe", "ja",
                                       "js", "jns", "jp", "jnp", "jl", "jge", "jle", "jg"};
void control(CorpusSink& s) {
  static const int32_t targets[] = {0x105, -0x1000, 5, 0x7ffffff0};
  for (int32_t t : targets) {
    s.at = emitCallRel(s.at, s.at + t);
    s.line("call .%s0x%x", t < 0 ? "-" : "+", (unsigned)(t < 0 ? -t : t));
    s.at = emitJmpRel32(s.at, s.at + t);
    s.line("{disp32} jmp .%s0x%x", t < 0 ? "-" : "+", (unsigned)(t < 0 ? -t : t));
  }
  s.at = emitJmpRel8(s.at, 0);
  s.line("jmp .+2");
  s.at = emitJmpRel8(s.at, -128);
  s.line("jmp .-126");
  for (int c = 0; c < 16; c++) {
    s.at = emitJccRel8(s.at, 0x70 + c, (int8_t)(c * 8 - 64));
    s.line("%s .%+d", ccText[c], c * 8 - 64 + 2);
    s.at = emitJccRel32(s.at, 0x70 + c, 0x100 * c - 0x800);
    s.line("{disp32} %s .%+d", ccText[c], 0x100 * c - 0x800 + 6);
  }
  for (int r = 0; r < 16; r++) {
    s.at = emitCallR(s.at, r);
    s.line("call *%%%s", r64[r]);
  }
  s.at = emitRet(s.at);
  s.line("ret");
}
void sse(CorpusSink& s) {
  for (int x = 0; x < 16; x++) {
    int y = (x + 1) & 15;
    s.at = emitUcomisd(s.at, x, y);
    s.line("ucomisd %%xmm%d,%%xmm%d", y, x);
    s.at = emitMovqXR(s.at, x, (x + 4) & 15);
    s.line("movq %%%s,%%xmm%d", r64[(x + 4) & 15], x);
  }
}

// ---------------------------------------------------------------- shared sequences

void nopFills(CorpusSink& s) {
  for (int n = 0; n <= 20; n++) {
    uint8_t* to = s.at + n;
    s.at = cNopGenTo(s.at, to);
    int left = n;
    for (; left >= 7; left -= 7) s.line("{disp32} lea 0x0(%%rax),%%rax");
    if (left == 1) s.line("nop");
    if (left == 2 || left == 3) {
      if (left == 3) s.line(".byte 0x66");
      s.line("xchg %%ax,%%ax");
    }
    if (left >= 4) {
      for (int i = 4; i < left; i++) s.line(".byte 0x66");
      s.line("{disp8} nopl 0x0(%%rax)");
    }
  }
}
// Division: the edge pairs by hand (scratch choice, rax/rdx as dividend or divisor, both).
void division(CorpusSink& s) {
  s.at = cgenDiv(rCX, rAX, 0, s.at);  // divisor rcx, dividend rax: only rdx saved
  s.line("push %%rdx\ncqto\nidiv %%rcx\npop %%rdx");
  s.at = cgenDiv(rCX, rAX, 1, s.at);
  s.line("push %%rdx\ncqto\nidiv %%rcx\nmov %%rdx,%%rcx\npop %%rdx");
  s.at = cgenDiv(rAX, rCX, 1, s.at);  // divisor in rax, dividend rcx: scratch rbx
  s.line("push %%rdx\npush %%rbx\nmov %%rax,%%rbx\nmov %%rcx,%%rax\ncqto\nidiv %%rbx\npop %%rbx");
  s.line("mov %%rax,%%rcx\nmov %%rdx,%%rax\npop %%rdx");
  s.at = cgenDiv(rAX, rDX, 1, s.at);  // results swap places
  s.line("push %%rcx\nmov %%rax,%%rcx\nmov %%rdx,%%rax\ncqto\nidiv %%rcx\npop %%rcx\nxchg %%rax,%%rdx");
  s.at = cgenDiv(rR9, rDX, 1, s.at);  // quotient lands in rdx: remainder moved out first
  s.line("push %%rax\nmov %%rdx,%%rax\ncqto\nidiv %%r9\nmov %%rdx,%%r9\nmov %%rax,%%rdx\npop %%rax");
  s.at = cgenDiv(rDX, rR12, 0, s.at);  // divisor rdx without both: rdx kept
  s.line("push %%rax\npush %%rdx\npush %%rcx\nmov %%rdx,%%rcx\nmov %%r12,%%rax\ncqto\nidiv %%rcx");
  s.line("pop %%rcx\nmov %%rax,%%r12\npop %%rdx\npop %%rax");
  s.at = cgenDiv(rR15, rR8, 1, s.at);
  s.line("push %%rax\npush %%rdx\nmov %%r8,%%rax\ncqto\nidiv %%r15\nmov %%rdx,%%r15\nmov %%rax,%%r8");
  s.line("pop %%rdx\npop %%rax");
}
void floatJumps(CorpusSink& s) {
  s.at = tFJumpCond(ccNE, s.at);
  s.line("jp .+4\nje .+4\njmp .+2");
  s.at = tFJumpCond(ccB, s.at);
  s.line("jp .+4\njb .+2");
  s.at = tFJumpCond(ccAE, s.at);
  s.line("jp .+4\njae .+2");
}
void sendSites(CorpusSink& s) {
  static const uint32_t imms[] = {0, 3, 0x12345, 0x7fffffff};
  for (uint32_t v : imms) {
    s.at = cgenSendSite(s.at, v, s.at + 11 + 0x200);
    s.line("mov $0x%x,%%r15d\ncall .+0x205", v);
  }
}


// ---------------------------------------------------------------- simulated stack

const uint64_t heapObject = 0x00400000, bigImmediate = 0x123456789ab3;

void stackEntries(CorpusSink& s, int op) {
  tStackInit();
  const struct {
    StackEntry e;
    const char* text[4];
  } rows[] = {
    {seRegEntry(rR9), {"mov %r9,%rbx", "push %r9", "mov %r9,-0x30(%rbp)", "{load} cmp %r9,%r9"}},
    {seRegEntry(rCX, skRegCounted), {"mov %rcx,%rbx", "push %rcx", "mov %rcx,-0x30(%rbp)", "{load} cmp %rcx,%r9"}},
    {seRegEntry(rR14, skStableReg), {"mov %r14,%rbx", "push %r14", "mov %r14,-0x30(%rbp)", "{load} cmp %r14,%r9"}},
    {seRegEntry(rR10, skUntaggedInt),
     {"lea 0x3(,%r10,8),%rbx", "lea 0x3(,%r10,8),%r10\npush %r10", "lea 0x3(,%r10,8),%r10\nmov %r10,-0x30(%rbp)",
      "lea 0x3(,%r10,8),%r10\n{load} cmp %r10,%r9"}},
    {seRegEntry(rR12, skUntaggedChar),
     {"mov %r12,%rbx\nshl $3,%rbx\nadd $1,%rbx", "shl $3,%r12\nadd $1,%r12\npush %r12",
      "shl $3,%r12\nadd $1,%r12\nmov %r12,-0x30(%rbp)", "shl $3,%r12\nadd $1,%r12\n{load} cmp %r12,%r9"}},
    {seConst(43), {"{load} xor %ebx,%ebx\nmov $43,%bl", "push $43", "mov $43,%r11\nmov %r11,-0x30(%rbp)", "cmp $43,%r9"}},
    {seConst(3), {"{load} xor %ebx,%ebx\nmov $3,%bl", "push $3", "mov $3,%r11\nmov %r11,-0x30(%rbp)", "cmp $3,%r9"}},
    {seConst(0x3f3), {"mov $0x3f3,%rbx", "movabs $0x3f3,%r11\npush %r11", "mov $0x3f3,%r11\nmov %r11,-0x30(%rbp)",
                      "cmp $0x3f3,%r9"}},
    {seConst((uint64_t)-5), {"mov $-5,%rbx", "push $-5", "mov $-5,%r11\nmov %r11,-0x30(%rbp)", "cmp $-5,%r9"}},
    {seConst(bigImmediate),
     {"movabs $0x123456789ab3,%rbx", "movabs $0x123456789ab3,%r11\npush %r11",
      "movabs $0x123456789ab3,%r11\nmov %r11,-0x30(%rbp)", "movabs $0x123456789ab3,%r11\n{load} cmp %r11,%r9"}},
    {seConst(heapObject),
     {"movabs $0x400000,%rbx", "movabs $0x400000,%r11\npush %r11", "movabs $0x400000,%rax\nmov %rax,-0x30(%rbp)",
      "movabs $0x400000,%r11\n{load} cmp %r11,%r9"}},
    {seSlotEntry(skSlot, rBP, -48), {"mov -0x30(%rbp),%rbx", "pushq -0x30(%rbp)",
                                     "mov -0x30(%rbp),%r11\nmov %r11,-0x30(%rbp)", "cmp -0x30(%rbp),%r9"}},
    {seSlotEntry(skReadSlot, rBP, 2032), {"mov 0x7f0(%rbp),%rbx", "pushq 0x7f0(%rbp)",
                                          "mov 0x7f0(%rbp),%r11\nmov %r11,-0x30(%rbp)", "cmp 0x7f0(%rbp),%r9"}},
    {seSlotEntry(skSlot, rR8, 0), {"mov (%r8),%rbx", "pushq (%r8)", "mov (%r8),%r11\nmov %r11,-0x30(%rbp)",
                                   "cmp (%r8),%r9"}},
    {seSlotEntry(skReadSlot, rR14, 2040), {"mov 0x7f8(%r14),%rbx", "pushq 0x7f8(%r14)",
                                           "mov 0x7f8(%r14),%r11\nmov %r11,-0x30(%rbp)", "cmp 0x7f8(%r14),%r9"}},
    {seSlotEntry(skSlot, rR12, 8), {"mov 0x8(%r12),%rbx", "pushq 0x8(%r12)",
                                    "mov 0x8(%r12),%r11\nmov %r11,-0x30(%rbp)", "cmp 0x8(%r12),%r9"}},
  };
  for (const auto& row : rows) {
    StackEntry e = row.e;
    stackSim[0] = e;
    if (op == 0) s.at = tStackLoad(&e, rBX, s.at);
    if (op == 1) s.at = tStackPush(&stackSim[0], s.at);
    if (op == 2) s.at = tStackStore(&e, rBP, -48, s.at);
    if (op == 3) s.at = tStackCompare(&e, rR9, s.at);
    s.line("%s", row.text[op]);
  }
  // The forms that only some operations take.
  StackEntry pushed = {skPushed, 0, (uint64_t)(uintptr_t)&spill[0]};
  StackEntry global = {skGlobal, 0, 0x00601000};
  StackEntry code = {skCode, 0, 0};
  if (op == 0) {
    s.at = tStackLoad(&pushed, rR13, s.at);
    s.line("pop %%r13");
    StackEntry small = seConst(43);
    s.at = tStackLoad(&small, rR8, s.at);  // the xor/mov-byte form is for rax-rbx only
    s.line("mov $43,%%r8");
    s.at = tStackLoad(&small, rAX, s.at);
    s.line("{load} xor %%eax,%%eax\nmov $43,%%al");
    StackEntry zero = seConst(0x3 - 3 + 1);  // Character 0
    s.at = tStackLoad(&zero, rCX, s.at);
    s.line("{load} xor %%ecx,%%ecx\nmov $1,%%cl");
    s.at = tStackLoadBase(&global, rR14, s.at);
    s.line("mov 0x601000,%%r14");
    code.payload = (uint64_t)(uintptr_t)(s.at + 0x100);
    s.at = tStackLoadBase(&code, rR14, s.at);
    s.line("lea .+0x100(%%rip),%%r14");
    int reg = 0;
    StackEntry ivarHolder = seSlotEntry(skSlot, rBP, -56);
    s.at = tStackLoadDataPtr(&ivarHolder, rR14, &reg, s.at);
    s.line("mov -0x38(%%rbp),%%r14\nmov (%%r14),%%r14");
    StackEntry self = seSelfNormal;
    s.at = tStackLoadDataPtr(&self, rR8, &reg, s.at);
    s.line("mov -0x18(%%rbp),%%r8\nmov (%%r8),%%r8");
  }
  if (op == 1) {
    stackSim[1] = {skCode, 0, (uint64_t)(uintptr_t)(s.at + 0x200)};
    s.at = tStackPush(&stackSim[1], s.at);
    s.line("lea .+0x200(%%rip),%%r11\npush %%r11");
  }
  if (op == 2) {
    s.at = tStackStore(&pushed, rR8, 16, s.at);
    s.line("popq 0x10(%%r8)");
    StackEntry r = seRegEntry(rBX);
    s.at = tStackStore(&r, rR12, 0, s.at);
    s.line("mov %%rbx,(%%r12)");
    s.at = tStackStore(&r, rR13, 0x7f8, s.at);
    s.line("mov %%rbx,0x7f8(%%r13)");
  }
  if (op == 3) {
    s.at = tStackCompare(&pushed, rBX, s.at);
    s.line("pop %%rax\n{load} cmp %%rax,%%rbx");
    s.at = tStackCompareBase(&global, rAX, s.at);
    s.line("cmp 0x601000,%%rax");
  }
}
void stackLoads(CorpusSink& s) { stackEntries(s, 0); }
void stackPushes(CorpusSink& s) { stackEntries(s, 1); }
void stackStores(CorpusSink& s) { stackEntries(s, 2); }
void stackCompares(CorpusSink& s) { stackEntries(s, 3); }

// Sends of 0 to 5 arguments over mixed entries: flushing below the receiver, r13 then r12,
// stacked arguments above the receiver, the receiver into rbx.
void sendArgs(CorpusSink& s) {
  tStackInit();
  stackEmpty = stackSim - 1;
  const StackEntry mixed[] = {seSlotEntry(skReadSlot, rBP, -24), seConst(43), seSlotEntry(skSlot, rBP, -40),
                              seRegEntry(rBX), seConst(heapObject), seSlotEntry(skSlot, rR8, 16)};
  // n = 0: receiver self
  stackSim[0] = mixed[0];
  s.at = emitArgs(0, &stackSim[0], s.at);
  s.line("mov -0x18(%%rbp),%%rbx");
  // n = 1 over one entry below the receiver: that entry is flushed first
  stackSim[0] = mixed[1];
  stackSim[1] = mixed[0];
  stackSim[2] = mixed[3];
  s.at = emitArgs(1, &stackSim[2], s.at);
  s.line("push $43\nmov %%rbx,%%r12\nmov -0x18(%%rbp),%%rbx");
  // n = 2 (entry 0 already on the machine stack)
  stackSim[1] = mixed[2];
  stackSim[2] = mixed[1];
  stackSim[3] = mixed[5];
  s.at = emitArgs(2, &stackSim[3], s.at);
  s.line("mov 0x10(%%r8),%%r13\nmov $43,%%r12\nmov -0x28(%%rbp),%%rbx");
  // n = 3, register receiver: pushed, then loaded from its register
  stackEmpty = stackSim - 1;
  stackSim[0] = mixed[3];
  stackSim[1] = mixed[4];
  stackSim[2] = mixed[1];
  stackSim[3] = mixed[0];
  s.at = emitArgs(3, &stackSim[3], s.at);
  s.line("push %%rbx\nmovabs $0x400000,%%r11\npush %%r11\nmov -0x18(%%rbp),%%r13\nmov $43,%%r12");
  // n = 4, receiver a slot: reloaded from its spill slot
  stackSim[0] = mixed[2];
  stackSim[1] = mixed[1];
  stackSim[2] = mixed[5];
  stackSim[3] = mixed[0];
  stackSim[4] = mixed[3];
  s.at = emitArgs(4, &stackSim[4], s.at);
  s.line("pushq -0x28(%%rbp)\npush $43\npushq 0x10(%%r8)\nmov %%rbx,%%r13\nmov -0x18(%%rbp),%%r12");
  s.line("mov -0x20(%%rbp),%%rbx");
  // n = 5, everything already pushed: the two last arguments pop into r13, r12
  for (int i = 0; i < 6; i++) stackSim[i] = {skPushed, 0, (uint64_t)(uintptr_t)&spill[i]};
  s.at = emitArgs(5, &stackSim[5], s.at);
  s.line("pop %%r13\npop %%r12\nmov -0x20(%%rbp),%%rbx");
}

// ---------------------------------------------------------------- store check
// These hold the address of the incremental collector's state byte, which differs from build
// to build: they have no golden bytes and are checked against GNU as only.

void checkMarkingText(CorpusSink& s, const char* v, const char* f, const char* toPerm, const char* slow) {
  s.line("bt $33,%%%s\njae %s\nmov 0x8(%%%s),%%rax\nbt $33,%%rax\njb %s", f, toPerm, v, toPerm);
  s.line("cmpb $0x6d,0x%x\nje %s", (unsigned)(uintptr_t)&currentIncGCState, slow);
}

void storeCheckInline(CorpusSink& s) {
  uint64_t saved = oldNewSpaceBoundary;
  oldNewSpaceBoundary = 0x10000000;
  uint8_t* exits[3];
  s.at = tStoreCheck(s.at, rR12, rBX, rR13, 0, rAX, exits, 0, nullptr);
  for (uint8_t* e : exits) cgenPatchRel8(e, s.at + 1);
  s.at = emitRet(s.at);
  s.at = cgenPutB(0xCC, s.at);
  s.line("mov $0x10000000,%%rax\n{load} cmp %%r12,%%rax\njae 9f\ntest $1,%%bl\njne 9f\nmov 0x8(%%r12),%%r13");
  s.line("{load} cmp %%rbx,%%rax\njae 5f");
  checkMarkingText(s, "rbx", "r13", "4f", "8f");
  s.line("4: bt $62,%%r13\njae 9f\nmov 0x8(%%rbx),%%rax\nbt $62,%%rax\njb 9f\nbt $20,%%r13\njb 9f\njmp 8f");
  s.line("5: bt $21,%%r13\njae 8f\n9: ret\n8: int3");
  // A value above rbx is tested with bt; flags already loaded; a boundary above 2^31.
  oldNewSpaceBoundary = 0x123456780;
  s.at = tStoreCheck(s.at, rR14, rR9, rR11, 1, rAX, exits, 0, nullptr);
  for (uint8_t* e : exits) cgenPatchRel8(e, s.at + 1);
  s.at = emitRet(s.at);
  s.at = cgenPutB(0xCC, s.at);
  s.line("movabs $0x123456780,%%rax\n{load} cmp %%r14,%%rax\njae 9f\nbt $0,%%r9\njb 9f");
  s.line("{load} cmp %%r9,%%rax\njae 5f");
  checkMarkingText(s, "r9", "r11", "4f", "8f");
  s.line("4: bt $62,%%r11\njae 9f\nmov 0x8(%%r9),%%rax\nbt $62,%%rax\njb 9f\nbt $20,%%r11\njb 9f\njmp 8f");
  s.line("5: bt $21,%%r11\njae 8f\n9: ret\n8: int3");
  oldNewSpaceBoundary = saved;
}

void storeStubText(CorpusSink& s, const char* store, const char* index) {
  s.line("mov -0x18(%%rbp),%%r12\nmov (%%r12),%%r8\nmov 0x8(%%r12),%%r13\nbt $32,%%r13\njae 1f\n%s", index);
  s.line("push $0x401000\nret\n1: %s", store);
  s.line("mov $0x10000000,%%rax\n{load} cmp %%r12,%%rax\njb 2f\nret\n2: test $1,%%bl\nje 2f\nret");
  s.line("2: {load} cmp %%rbx,%%rax\njae 5f");
  checkMarkingText(s, "rbx", "r13", "4f", "8f");
  s.line("4: bt $62,%%r13\njb 2f\nret\n2: mov 0x8(%%rbx),%%rax\nbt $62,%%rax\njae 2f\nret");
  s.line("2: bt $20,%%r13\njae 2f\nret\n2: jmp 8f\n5: bt $21,%%r13\njae 8f\nret\n8: push $0x402000\nret");
}

void storeStubs5(CorpusSink& s) {
  uint64_t saved = oldNewSpaceBoundary;
  oldNewSpaceBoundary = 0x10000000;
  tStackInit();
  tRt.attemptToAssign = (const void*)0x401000;
  tRt.checkStore = (const void*)0x402000;
  seSelf = seSelfNormal;
  s.at = genStoreInstStub(s.at, 0, storeStubGeneral);
  for (int n = 3; n >= 0; n--) s.at = genStoreInstStub(s.at, 0, n);
  storeStubText(s, "mov %rbx,(%r8,%r9,1)", "shr $3,%r9");
  static const char* const stores[4] = {"mov %rbx,(%r8)", "mov %rbx,0x8(%r8)", "mov %rbx,0x10(%r8)",
                                        "mov %rbx,0x18(%r8)"};
  static const char* const indices[4] = {"mov $0,%r9", "mov $1,%r9", "mov $2,%r9", "mov $3,%r9"};
  for (int n = 3; n >= 0; n--) storeStubText(s, stores[n], indices[n]);
  oldNewSpaceBoundary = saved;
}

// ---------------------------------------------------------------- gathering stubs
// They hold the addresses of eden's top and of the registry, which differ from build to build:
// no golden bytes, GNU as only. Each stub's slow path (its last jump's target) is the int3
// right behind it.

void gatherAllocText(CorpusSink& s, const char* sizeLea) {
  s.line("mov $0x%x,%%eax\nmov (%%rax),%%r14\n%s", (unsigned)(uintptr_t)&eden.allocPtr, sizeLea);
  s.line("cmp $0x%x,%%r14\n{disp32} ja 6f\nmov %%r14,(%%rax)", (unsigned)eden.warningLimit);
}

void gatherHybridText(CorpusSink& s) { s.line("mov -0x10(%%rbp),%%rax\ntest $1,%%al\n{disp32} je 6f"); }

void gatherNilText(CorpusSink& s, const char* reg) {
  s.line("movabs $0x%" PRIx64 ",%%%s\nmov (%%%s),%%%s\nmov 0x%x(%%%s),%%%s", (uint64_t)(uintptr_t)&sysOopRegistry, reg,
         reg, reg, 8 * sysNil, reg, reg);
}

void gatherBlockText(CorpusSink& s, bool full, const char* copied) {
  s.line("lea 0x10(%%r14),%%rax\nmov %%rax,(%%r14)\nmovabs $0x8000000c0300000d,%%rax\nmov %%rax,0x8(%%r14)");
  s.line("mov %%rbx,0x10(%%r14)");
  if (full) s.line("mov -0x8(%%rbp),%%rax");
  else gatherNilText(s, "rax");
  s.line("mov %%rax,0x18(%%r14)\nmov %%%s,0x20(%%r14)", copied);
}

// The block alone (full block, or full copying block of one value): inline allocation of 40
// bytes into r9.
void gatherSingleText(CorpusSink& s, bool full) {
  gatherAllocText(s, "lea 0x28(%r14),%r14");
  s.line("mov %%r14,%%r11\nlea -0x18(%%r14),%%r14\nmov %%r14,-0x10(%%r14)");
  s.line("movabs $0x8000000c0300000d,%%rax\nmov %%rax,-0x8(%%r14)\nlea -0x10(%%r14),%%r9");
  if (full) gatherNilText(s, "r11");
  else s.line("mov 0x8(%%rsp),%%r11");
  s.line("mov %%r9,%%r14");
  gatherBlockText(s, true, "r11");
  s.line("mov %%r9,%%rbx\n%s", full ? "ret" : "ret $8");
}

void gatherManyText(CorpusSink& s, int kind) {
  const char* count = kind == 0 ? "rbx" : "r12";
  const int extra = kind == 0 ? 0 : 40;
  s.line("mov %%%s,%%r9\nshl $3,%%r9\ncmp $0x7d8,%%r9\n{disp32} ja 6f", count);
  char lea[48];
  snprintf(lea, sizeof lea, "lea 0x%x(%%r14,%%r9,1),%%r14", 16 + extra);
  gatherAllocText(s, lea);
  s.line("mov %%r14,%%r11\n{load} sub %%r9,%%r11\nsub $0x%x,%%r11\nlea 0x10(%%r11),%%rax\nmov %%rax,(%%r11)", 16 + extra);
  s.line("mov %%r9,%%rax\nshl $21,%%rax\nmovabs $0x%" PRIx64 ",%%r14\n{load} or %%r14,%%rax\nmov %%rax,0x8(%%r11)",
         uint64_t(hasPtrsBit) | classIndexArray);
  s.line("lea 0x10(%%r11),%%r14\n1: test %%r9,%%r9\nje 2f\nmov (%%rsp,%%r9,1),%%rax\nmov %%rax,(%%r14)");
  s.line("add $8,%%r14\nsub $8,%%r9\njmp 1b\n2:");
  if (kind != 0) {
    gatherBlockText(s, kind == 2, "r11");
    s.line("mov %%r14,%%r11");
  }
  s.line("mov %%%s,%%r9\nshl $3,%%r9\nmov (%%rsp),%%rax\nmov %%rax,(%%rsp,%%r9,1)\nlea (%%rsp,%%r9,1),%%rsp", count);
  s.line("mov %%r11,%%rbx\nret");
}

void gatherStubs(CorpusSink& s) {
  const EdenRecord saved = eden;
  eden.end = 0x40000000;
  eden.warningLimit = 0x3ff00000;
  uint8_t scratch[1024];
  for (uint64_t kind = 0; kind < 4; kind++) {
    const int64_t length = txGenGatherStub(scratch, kind, scratch) - scratch;
    s.at = txGenGatherStub(s.at, kind, s.at + length);
    s.at = cgenPutB(0xCC, s.at);
    if (kind >= 2) gatherHybridText(s);
    if (kind == 2) s.line("cmp $1,%%r12\n{disp32} jne 3f");
    if (kind >= 2) gatherSingleText(s, kind == 3);
    if (kind <= 2) {
      if (kind == 2) s.line("3:");
      gatherManyText(s, int(kind));
    }
    s.line("6: {disp32} jmp 7f\n7: int3");
  }
  eden = saved;
}

}  // namespace

const CorpusCase codeCorpus[] = {
#include "codeCorpusGolden.inc"
};
const int codeCorpusCount = (int)(sizeof codeCorpus / sizeof codeCorpus[0]);
