// Translator: diagnostic disassembler (AT&T syntax, table-driven, one instruction per call).
// Prefix: disx86_64.
#include "tran/disx86_64.h"

#include <cinttypes>
#include <cstdarg>
#include <cstring>

// A template is the mnemonic, a space and the operands in AT&T order separated by commas.
// Mnemonic marks: a trailing '*' adds the size suffix when no general register operand shows
// the size (a memory operand with an immediate or alone); '%' prints the operand-size suffix
// always; 'D' prints 'q' under REX.W, else 'd' (movd/movq).
// Operands: E r/m, G ModRM reg, R register in the opcode's low bits, A accumulator, each
// followed by the width: b 8, w 16, d 32, q 64 (operand size in 16/32-bit modes), v operand
// size; M memory only; V xmm of ModRM reg, W xmm or memory of ModRM r/m; S segment register;
// Ib unsigned imm8, Is sign-extended imm8, Iz sign-extended imm16/32, Iw unsigned imm16,
// Iv full-width immediate; Jb, Jz branch targets; Ov memory offset; a leading '*' marks an
// indirect target; a token starting with '%' or '$' prints as it stands.

namespace {

struct Dis {
  const uint8_t* p;  // first byte of the instruction
  int len;           // bytes consumed
  bool over;         // tried to read past disMaxLength
  bool bad;          // no known instruction
  int mode;
  int opsize, adsize;  // bits
  uint8_t rex;
  int rep;       // 0, 0xF2 or 0xF3
  bool repUsed;  // the instruction consumed the F2/F3 prefix
  int seg;       // segment override byte or 0
  int count66;   // operand-size prefixes seen
  bool lock;
  int opcode;  // the last opcode byte (its low bits name R operands)
  bool haveModrm;
  int mod, reg, rm;  // reg and rm with their REX extension bits
  char mem[80];      // the r/m operand's memory text (mod != 3)
  DisRegProc regProc;
  DisSymProc symProc;
  char* out;
  int size, n;
};

const char* const regs64[16] = {"rax", "rcx", "rdx", "rbx", "rsp", "rbp", "rsi", "rdi",
                                "r8",  "r9",  "r10", "r11", "r12", "r13", "r14", "r15"};
const char* const regs32[16] = {"eax", "ecx", "edx", "ebx", "esp", "ebp", "esi", "edi",
                                "r8d", "r9d", "r10d", "r11d", "r12d", "r13d", "r14d", "r15d"};
const char* const regs16[16] = {"ax", "cx", "dx", "bx", "sp", "bp", "si", "di",
                                "r8w", "r9w", "r10w", "r11w", "r12w", "r13w", "r14w", "r15w"};
const char* const regs8Rex[16] = {"al", "cl", "dl", "bl", "spl", "bpl", "sil", "dil",
                                  "r8b", "r9b", "r10b", "r11b", "r12b", "r13b", "r14b", "r15b"};
const char* const regs8[8] = {"al", "cl", "dl", "bl", "ah", "ch", "dh", "bh"};
const char* const segRegs[8] = {"es", "cs", "ss", "ds", "fs", "gs", "?", "?"};
const char* const ccNames[16] = {"o", "no", "b", "ae", "z", "nz", "be", "a",
                                 "s", "ns", "pe", "po", "l", "ge", "le", "g"};
const char* const aluNames[8] = {"add", "or", "adc", "sbb", "and", "sub", "xor", "cmp"};
const char* const shiftNames[8] = {"rol", "ror", "rcl", "rcr", "shl", "shr", "sal", "sar"};

void put(Dis& d, const char* s) {
  while (*s != 0 && d.n < d.size - 1) d.out[d.n++] = *s++;
  d.out[d.n] = 0;
}
void putf(Dis& d, const char* format, ...) {
  char buf[96];
  va_list args;
  va_start(args, format);
  vsnprintf(buf, sizeof buf, format, args);
  va_end(args);
  put(d, buf);
}

int fetch(Dis& d) {
  if (d.len >= disMaxLength) {
    d.over = true;
    return 0;
  }
  return d.p[d.len++];
}
int64_t fetchS8(Dis& d) { return (int8_t)fetch(d); }
int64_t fetchS16(Dis& d) {
  int v = fetch(d);
  v |= fetch(d) << 8;
  return (int16_t)v;
}
int64_t fetchS32(Dis& d) {
  uint32_t v = 0;
  for (int i = 0; i < 4; i++) v |= (uint32_t)fetch(d) << (8 * i);
  return (int32_t)v;
}
uint64_t fetchU64(Dis& d) {
  uint64_t v = 0;
  for (int i = 0; i < 8; i++) v |= (uint64_t)fetch(d) << (8 * i);
  return v;
}

void regName(Dis& d, char* buf, int size, int reg, int width) {
  if (d.regProc != nullptr && d.regProc(buf, size, reg, width) != 0) return;
  const char* name = width == 64   ? regs64[reg & 15]
                     : width == 32 ? regs32[reg & 15]
                     : width == 16 ? regs16[reg & 15]
                     : d.rex != 0  ? regs8Rex[reg & 15]
                                   : regs8[reg & 7];
  if (width == 128) {
    snprintf(buf, size, "%%xmm%d", reg & 15);
    return;
  }
  snprintf(buf, size, "%%%s", name);
}
void putReg(Dis& d, int reg, int width) {
  char buf[24];
  regName(d, buf, sizeof buf, reg, width);
  put(d, buf);
}
void putSigned(Dis& d, const char* lead, int64_t v) {
  if (v < 0) {
    putf(d, "%s-0x%" PRIx64, lead, (uint64_t)0 - (uint64_t)v);
  } else {
    putf(d, "%s0x%" PRIx64, lead, (uint64_t)v);
  }
}

// ---------------------------------------------------------------- ModRM

void decode16(Dis& d) {
  static const char* const forms[8] = {"%bx,%si", "%bx,%di", "%bp,%si", "%bp,%di",
                                       "%si",     "%di",     "%bp",     "%bx"};
  char* m = d.mem;
  int64_t disp = 0;
  if (d.mod == 0 && (d.rm & 7) == 6) {
    disp = fetchS16(d);
    snprintf(m, sizeof d.mem, "0x%x", (unsigned)(uint16_t)disp);
    return;
  }
  if (d.mod == 1) disp = fetchS8(d);
  if (d.mod == 2) disp = fetchS16(d);
  char dispText[24] = "";
  if (d.mod != 0) {
    snprintf(dispText, sizeof dispText, disp < 0 ? "-0x%x" : "0x%x", (unsigned)(disp < 0 ? -disp : disp));
  }
  snprintf(m, sizeof d.mem, "%s(%s)", dispText, forms[d.rm & 7]);
}

// Fetches ModRM, SIB and displacement, and keeps the memory operand's text.
void decodeModrm(Dis& d) {
  int b = fetch(d);
  d.haveModrm = true;
  d.mod = b >> 6;
  d.reg = ((b >> 3) & 7) | ((d.rex & 4) << 1);
  d.rm = (b & 7) | ((d.rex & 1) << 3);
  d.mem[0] = 0;
  if (d.mod == 3) return;
  if (d.adsize == 16) return decode16(d);
  int aw = d.adsize;
  int base = d.rm, index = -1, scale = 1;
  bool noBase = false, ripRel = false;
  int64_t disp = 0;
  if ((d.rm & 7) == 4) {
    int sib = fetch(d);
    scale = 1 << (sib >> 6);
    index = ((sib >> 3) & 7) | ((d.rex & 2) << 2);
    base = (sib & 7) | ((d.rex & 1) << 3);
    if (index == 4) index = (base & 7) == 4 ? -1 : -2;  // -2: %riz shown
    if ((sib & 7) == 5 && d.mod == 0) noBase = true;
  } else if ((d.rm & 7) == 5 && d.mod == 0) {
    noBase = true;
    ripRel = d.mode == disMode64;
  }
  if (d.mod == 1) disp = fetchS8(d);
  if (d.mod == 2 || noBase) disp = fetchS32(d);
  char text[80];
  int n = 0;
  const char* segText = d.seg == 0x26 ? "%es:" : d.seg == 0x2E ? "%cs:" : d.seg == 0x36 ? "%ss:"
                        : d.seg == 0x3E ? "%ds:" : d.seg == 0x64 ? "%fs:" : d.seg == 0x65 ? "%gs:" : "";
  n += snprintf(text + n, sizeof text - n, "%s", segText);
  if (noBase && index < 0 && !ripRel) {
    uint64_t a = aw == 64 ? (uint64_t)disp : (uint32_t)disp;
    snprintf(text + n, sizeof text - n, "0x%" PRIx64, a);
    memcpy(d.mem, text, sizeof d.mem);
    return;
  }
  if (d.mod != 0 || noBase) {
    uint64_t mag = disp < 0 ? (uint64_t)0 - (uint64_t)disp : (uint64_t)disp;
    n += snprintf(text + n, sizeof text - n, disp < 0 ? "-0x%" PRIx64 : "0x%" PRIx64, mag);
  }
  char r1[24] = "", r2[24] = "";
  if (ripRel) {
    snprintf(text + n, sizeof text - n, "(%s)", aw == 64 ? "%rip" : "%eip");
  } else if (index == -1) {
    regName(d, r1, sizeof r1, base, aw);
    snprintf(text + n, sizeof text - n, "(%s)", r1);
  } else {
    if (!noBase) regName(d, r1, sizeof r1, base, aw);
    if (index == -2) {
      snprintf(r2, sizeof r2, "%s", aw == 64 ? "%riz" : "%eiz");
    } else {
      regName(d, r2, sizeof r2, index, aw);
    }
    snprintf(text + n, sizeof text - n, "(%s,%s,%d)", r1, r2, scale);
  }
  memcpy(d.mem, text, sizeof d.mem);
}

int widthOf(Dis& d, char c) {
  switch (c) {
    case 'b': return 8;
    case 'w': return 16;
    case 'd': return 32;
    case 'q': return d.mode == disMode64 ? 64 : d.opsize;
    default: return d.opsize;
  }
}
char suffixOf(int width) { return width == 8 ? 'b' : width == 16 ? 'w' : width == 32 ? 'l' : 'q'; }

// ---------------------------------------------------------------- templates

bool needsModrm(const char* ops) {
  for (const char* s = ops; *s != 0; s++) {
    if ((s == ops || s[-1] == ',' || s[-1] == '*') && strchr("EGMVWS", *s) != nullptr) return true;
  }
  return false;
}

// Prints one operand; answers whether it showed a general register.
bool putOperand(Dis& d, const char* tok, int tokLen, int* suffixWidth) {
  char t0 = tok[0], t1 = tokLen > 1 ? tok[1] : 0;
  if (t0 == '*') {
    put(d, "*");
    return putOperand(d, tok + 1, tokLen - 1, suffixWidth);
  }
  if (t0 == '%' || t0 == '$' || t0 == '(') {
    char buf[16];
    snprintf(buf, sizeof buf, "%.*s", tokLen, tok);
    put(d, buf);
    return t0 == '%';
  }
  switch (t0) {
    case 'E':
    case 'M':
      if (d.mod == 3) {
        if (t0 == 'M') d.bad = true;
        putReg(d, d.rm, widthOf(d, t1));
        return true;
      }
      *suffixWidth = widthOf(d, t1);
      put(d, d.mem);
      return false;
    case 'G': putReg(d, d.reg, widthOf(d, t1)); return true;
    case 'R': putReg(d, (d.opcode & 7) | ((d.rex & 1) << 3), widthOf(d, t1)); return true;
    case 'A': putReg(d, 0, widthOf(d, t1)); return true;
    case 'V': putReg(d, d.reg, 128); return false;
    case 'W':
      if (d.mod == 3) {
        putReg(d, d.rm, 128);
      } else {
        put(d, d.mem);
      }
      return false;
    case 'S': putf(d, "%%%s", segRegs[d.reg & 7]); return false;
    case 'O': {
      uint64_t a = d.adsize == 64 ? fetchU64(d) : d.adsize == 32 ? (uint32_t)fetchS32(d) : (uint16_t)fetchS16(d);
      putf(d, "0x%" PRIx64, a);
      return false;
    }
    case 'I': {
      if (t1 == 'b') putf(d, "$0x%x", (unsigned)fetch(d));
      if (t1 == 's') putSigned(d, "$", fetchS8(d));
      if (t1 == 'w') putf(d, "$0x%x", (unsigned)(uint16_t)fetchS16(d));
      if (t1 == 'z') putSigned(d, "$", d.opsize == 16 ? fetchS16(d) : fetchS32(d));
      if (t1 == 'v') {
        if (d.opsize == 64) {
          putf(d, "$0x%" PRIx64, fetchU64(d));
        } else if (d.opsize == 32) {
          putf(d, "$0x%x", (unsigned)(uint32_t)fetchS32(d));
        } else {
          putf(d, "$0x%x", (unsigned)(uint16_t)fetchS16(d));
        }
      }
      return false;
    }
    case 'J': {
      int64_t rel = t1 == 'b' ? fetchS8(d) : (d.mode != disMode64 && d.opsize == 16) ? fetchS16(d) : fetchS32(d);
      uint64_t target = (uint64_t)(uintptr_t)(d.p + d.len) + (uint64_t)rel;
      if (d.mode != disMode64) target &= d.opsize == 16 ? 0xFFFF : 0xFFFFFFFF;
      char buf[64];
      if (d.symProc != nullptr && d.symProc(buf, sizeof buf, target) != 0) {
        put(d, buf);
      } else {
        putf(d, "0x%" PRIx64, target);
      }
      return false;
    }
    default: d.bad = true; return false;
  }
}

// Prints a template: mnemonic with its marks, then the operands.
void runTemplate(Dis& d, const char* tmpl) {
  const char* space = strchr(tmpl, ' ');
  const char* ops = space != nullptr ? space + 1 : "";
  if (!d.haveModrm && needsModrm(ops)) decodeModrm(d);
  if (d.over || d.bad) return;
  // Operands first, into a side buffer, so the suffix rule knows what they showed.
  char* mainOut = d.out;
  int mainN = d.n, mainSize = d.size;
  char opText[200];
  d.out = opText;
  d.n = 0;
  d.size = sizeof opText;
  opText[0] = 0;
  bool anyReg = false;
  int suffixWidth = 0;
  const char* s = ops;
  while (*s != 0) {
    const char* e = strchr(s, ',');
    int tokLen = e != nullptr ? (int)(e - s) : (int)strlen(s);
    anyReg |= putOperand(d, s, tokLen, &suffixWidth);
    if (e == nullptr) break;
    put(d, ",");
    s = e + 1;
  }
  d.out = mainOut;
  d.n = mainN;
  d.size = mainSize;
  char mnem[24];
  int m = 0;
  for (const char* c = tmpl; *c != 0 && *c != ' ' && m < 20; c++) {
    if (*c == '*') {
      if (!anyReg && suffixWidth != 0) mnem[m++] = suffixOf(suffixWidth);
    } else if (*c == '%') {
      mnem[m++] = suffixOf(d.opsize);
    } else if (*c == 'D') {
      mnem[m++] = (d.rex & 8) != 0 ? 'q' : 'd';
    } else {
      mnem[m++] = *c;
    }
  }
  mnem[m] = 0;
  if (*ops == 0) {
    put(d, mnem);
  } else {
    putf(d, "%-6s %s", mnem, opText);
  }
}

// ---------------------------------------------------------------- opcode maps

// The one-byte map; null entries are decoded in code (prefixes, escapes, groups, x87).
const char* const oneByte[256] = {
  // 00
  "add Gb,Eb", "add Gv,Ev", "add Eb,Gb", "add Ev,Gv", "add Ib,Ab", "add Iz,Av", nullptr, nullptr,
  "or Gb,Eb", "or Gv,Ev", "or Eb,Gb", "or Ev,Gv", "or Ib,Ab", "or Iz,Av", nullptr, nullptr,
  // 10
  "adc Gb,Eb", "adc Gv,Ev", "adc Eb,Gb", "adc Ev,Gv", "adc Ib,Ab", "adc Iz,Av", nullptr, nullptr,
  "sbb Gb,Eb", "sbb Gv,Ev", "sbb Eb,Gb", "sbb Ev,Gv", "sbb Ib,Ab", "sbb Iz,Av", nullptr, nullptr,
  // 20
  "and Gb,Eb", "and Gv,Ev", "and Eb,Gb", "and Ev,Gv", "and Ib,Ab", "and Iz,Av", nullptr, nullptr,
  "sub Gb,Eb", "sub Gv,Ev", "sub Eb,Gb", "sub Ev,Gv", "sub Ib,Ab", "sub Iz,Av", nullptr, nullptr,
  // 30
  "xor Gb,Eb", "xor Gv,Ev", "xor Eb,Gb", "xor Ev,Gv", "xor Ib,Ab", "xor Iz,Av", nullptr, nullptr,
  "cmp Gb,Eb", "cmp Gv,Ev", "cmp Eb,Gb", "cmp Ev,Gv", "cmp Ib,Ab", "cmp Iz,Av", nullptr, nullptr,
  // 40: REX in 64-bit mode, inc/dec otherwise (decoded in code)
  nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
  nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
  // 50
  "push Rq", "push Rq", "push Rq", "push Rq", "push Rq", "push Rq", "push Rq", "push Rq",
  "pop Rq", "pop Rq", "pop Rq", "pop Rq", "pop Rq", "pop Rq", "pop Rq", "pop Rq",
  // 60
  nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
  "push Iz", "imul Iz,Ev,Gv", "push Is", "imul Is,Ev,Gv", nullptr, nullptr, nullptr, nullptr,
  // 70: conditional jumps (decoded in code)
  nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
  nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
  // 80
  nullptr, nullptr, nullptr, nullptr, "test Gb,Eb", "test Gv,Ev", "xchg Gb,Eb", "xchg Gv,Ev",
  "mov Gb,Eb", "mov Gv,Ev", "mov Eb,Gb", "mov Ev,Gv", "mov Sw,Ev", "lea Mv,Gv", "mov Ew,Sw", nullptr,
  // 90
  nullptr, "xchg Av,Rv", "xchg Av,Rv", "xchg Av,Rv", "xchg Av,Rv", "xchg Av,Rv", "xchg Av,Rv", "xchg Av,Rv",
  nullptr, nullptr, nullptr, "fwait", "pushf", "popf", "sahf", "lahf",
  // A0
  "movabs Ob,Ab", "movabs Ov,Av", "movabs Ab,Ob", "movabs Av,Ov", "movsb", "movs%", "cmpsb", "cmps%",
  "test Ib,Ab", "test Iz,Av", "stosb", "stos%", "lodsb", "lods%", "scasb", "scas%",
  // B0
  "mov Ib,Rb", "mov Ib,Rb", "mov Ib,Rb", "mov Ib,Rb", "mov Ib,Rb", "mov Ib,Rb", "mov Ib,Rb", "mov Ib,Rb",
  nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
  // C0
  nullptr, nullptr, "ret Iw", "ret", nullptr, nullptr, nullptr, nullptr,
  "enter Iw,Ib", "leave", "lret Iw", "lret", "int3", "int Ib", nullptr, "iret",
  // D0
  nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, "xlat",
  nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
  // E0
  "loopne Jb", "loope Jb", "loop Jb", "jrcxz Jb", "in Ib,%al", "in Ib,%eax", "out %al,Ib", "out %eax,Ib",
  "call Jz", "jmp Jz", nullptr, "jmp Jb", "in (%dx),%al", "in (%dx),%eax", "out %al,(%dx)", "out %eax,(%dx)",
  // F0
  nullptr, "int1", nullptr, nullptr, "hlt", "cmc", nullptr, nullptr,
  "clc", "stc", "cli", "sti", "cld", "std", nullptr, nullptr,
};

// Two-byte SSE forms by mandatory prefix: none, 66, F3, F2.
struct SseRow {
  uint8_t op;
  const char* forms[4];
};
const SseRow sseRows[] = {
  {0x10, {"movups W,V", "movupd W,V", "movss W,V", "movsd W,V"}},
  {0x11, {"movups V,W", "movupd V,W", "movss V,W", "movsd V,W"}},
  {0x28, {"movaps W,V", "movapd W,V", nullptr, nullptr}},
  {0x29, {"movaps V,W", "movapd V,W", nullptr, nullptr}},
  {0x2A, {nullptr, nullptr, "cvtsi2ss* Ev,V", "cvtsi2sd* Ev,V"}},
  {0x2C, {nullptr, nullptr, "cvttss2si W,Gv", "cvttsd2si W,Gv"}},
  {0x2D, {nullptr, nullptr, "cvtss2si W,Gv", "cvtsd2si W,Gv"}},
  {0x2E, {"ucomiss W,V", "ucomisd W,V", nullptr, nullptr}},
  {0x2F, {"comiss W,V", "comisd W,V", nullptr, nullptr}},
  {0x51, {"sqrtps W,V", "sqrtpd W,V", "sqrtss W,V", "sqrtsd W,V"}},
  {0x54, {"andps W,V", "andpd W,V", nullptr, nullptr}},
  {0x55, {"andnps W,V", "andnpd W,V", nullptr, nullptr}},
  {0x56, {"orps W,V", "orpd W,V", nullptr, nullptr}},
  {0x57, {"xorps W,V", "xorpd W,V", nullptr, nullptr}},
  {0x58, {"addps W,V", "addpd W,V", "addss W,V", "addsd W,V"}},
  {0x59, {"mulps W,V", "mulpd W,V", "mulss W,V", "mulsd W,V"}},
  {0x5A, {"cvtps2pd W,V", "cvtpd2ps W,V", "cvtss2sd W,V", "cvtsd2ss W,V"}},
  {0x5C, {"subps W,V", "subpd W,V", "subss W,V", "subsd W,V"}},
  {0x5D, {"minps W,V", "minpd W,V", "minss W,V", "minsd W,V"}},
  {0x5E, {"divps W,V", "divpd W,V", "divss W,V", "divsd W,V"}},
  {0x5F, {"maxps W,V", "maxpd W,V", "maxss W,V", "maxsd W,V"}},
  {0x6E, {nullptr, "movD Ev,V", nullptr, nullptr}},
  {0x6F, {nullptr, "movdqa W,V", "movdqu W,V", nullptr}},
  {0x7E, {nullptr, "movD V,Ev", "movq W,V", nullptr}},
  {0x7F, {nullptr, "movdqa V,W", "movdqu V,W", nullptr}},
  {0xD6, {nullptr, "movq V,W", nullptr, nullptr}},
  {0xEF, {nullptr, "pxor W,V", nullptr, nullptr}},
};

// Plain two-byte forms (no mandatory prefix).
struct TwoRow {
  uint8_t op;
  const char* form;
};
const TwoRow twoRows[] = {
  {0x05, "syscall"}, {0x0B, "ud2"}, {0x31, "rdtsc"}, {0xA2, "cpuid"},
  {0xA3, "bt Gv,Ev"}, {0xAB, "bts Gv,Ev"}, {0xB3, "btr Gv,Ev"}, {0xBB, "btc Gv,Ev"},
  {0xA4, "shld Ib,Gv,Ev"}, {0xA5, "shld %cl,Gv,Ev"}, {0xAC, "shrd Ib,Gv,Ev"}, {0xAD, "shrd %cl,Gv,Ev"},
  {0xAF, "imul Ev,Gv"}, {0xB0, "cmpxchg Gb,Eb"}, {0xB1, "cmpxchg Gv,Ev"},
  {0xB6, "movzb% Eb,Gv"}, {0xB7, "movzw% Ew,Gv"}, {0xBE, "movsb% Eb,Gv"}, {0xBF, "movsw% Ew,Gv"},
  {0xBC, "bsf Ev,Gv"}, {0xBD, "bsr Ev,Gv"}, {0xC0, "xadd Gb,Eb"}, {0xC1, "xadd Gv,Ev"},
};

void bad(Dis& d) { d.bad = true; }

// Templates chosen by the ModRM reg field.
void group(Dis& d, int op) {
  decodeModrm(d);
  if (d.over) return;
  int r = d.reg & 7;
  char t[40];
  switch (op) {
    case 0x80: snprintf(t, sizeof t, "%s* Ib,Eb", aluNames[r]); break;
    case 0x81: snprintf(t, sizeof t, "%s* Iz,Ev", aluNames[r]); break;
    case 0x83: snprintf(t, sizeof t, "%s* Is,Ev", aluNames[r]); break;
    case 0x8F: if (r != 0) return bad(d); snprintf(t, sizeof t, "pop Eq"); break;
    case 0xC0: snprintf(t, sizeof t, "%s* Ib,Eb", shiftNames[r]); break;
    case 0xC1: snprintf(t, sizeof t, "%s* Ib,Ev", shiftNames[r]); break;
    case 0xD0: snprintf(t, sizeof t, "%s* Eb", shiftNames[r]); break;
    case 0xD1: snprintf(t, sizeof t, "%s* Ev", shiftNames[r]); break;
    case 0xD2: snprintf(t, sizeof t, "%s* %%cl,Eb", shiftNames[r]); break;
    case 0xD3: snprintf(t, sizeof t, "%s* %%cl,Ev", shiftNames[r]); break;
    case 0xC6: if (r != 0) return bad(d); snprintf(t, sizeof t, "mov* Ib,Eb"); break;
    case 0xC7: if (r != 0) return bad(d); snprintf(t, sizeof t, "mov* Iz,Ev"); break;
    case 0xF6:
    case 0xF7: {
      static const char* const names[8] = {"test", "test", "not", "neg", "mul", "imul", "div", "idiv"};
      const char* w = op == 0xF6 ? "b" : "v";
      if (r < 2) {
        snprintf(t, sizeof t, "test* %s,E%s", op == 0xF6 ? "Ib" : "Iz", w);
      } else {
        snprintf(t, sizeof t, "%s* E%s", names[r], w);
      }
      break;
    }
    case 0xFE:
      if (r > 1) return bad(d);
      snprintf(t, sizeof t, "%s* Eb", r == 0 ? "inc" : "dec");
      break;
    case 0xFF: {
      static const char* const forms[8] = {"inc* Ev", "dec* Ev", "call *Eq", "lcall *Mv",
                                           "jmp *Eq", "ljmp *Mv", "push Eq", nullptr};
      if (forms[r] == nullptr) return bad(d);
      snprintf(t, sizeof t, "%s", forms[r]);
      break;
    }
    case 0x0FBA:
      if (r < 4) return bad(d);
      snprintf(t, sizeof t, "%s* Ib,Ev", r == 4 ? "bt" : r == 5 ? "bts" : r == 6 ? "btr" : "btc");
      break;
    case 0x0F1F: snprintf(t, sizeof t, "nop* Ev"); break;
    default: return bad(d);
  }
  runTemplate(d, t);
}

// ---------------------------------------------------------------- x87

void x87(Dis& d, int op) {
  decodeModrm(d);
  if (d.over) return;
  int r = d.reg & 7, i = d.rm & 7, esc = op - 0xD8;
  if (d.mod != 3) {
    static const char* const memNames[8][8] = {
      {"fadds", "fmuls", "fcoms", "fcomps", "fsubs", "fsubrs", "fdivs", "fdivrs"},
      {"flds", nullptr, "fsts", "fstps", "fldenv", "fldcw", "fnstenv", "fnstcw"},
      {"fiaddl", "fimull", "ficoml", "ficompl", "fisubl", "fisubrl", "fidivl", "fidivrl"},
      {"fildl", "fisttpl", "fistl", "fistpl", nullptr, "fldt", nullptr, "fstpt"},
      {"faddl", "fmull", "fcoml", "fcompl", "fsubl", "fsubrl", "fdivl", "fdivrl"},
      {"fldl", "fisttpll", "fstl", "fstpl", "frstor", nullptr, "fnsave", "fnstsw"},
      {"fiadds", "fimuls", "ficoms", "ficomps", "fisubs", "fisubrs", "fidivs", "fidivrs"},
      {"filds", "fisttps", "fists", "fistps", "fbld", "fildll", "fbstp", "fistpll"},
    };
    const char* name = memNames[esc][r];
    if (name == nullptr) return bad(d);
    putf(d, "%-6s %s", name, d.mem);
    return;
  }
  int modrm = 0xC0 | (r << 3) | i;
  if (esc == 1 && modrm >= 0xE0) {
    static const char* const d9[32] = {
      "fchs", "fabs", nullptr, nullptr, "ftst", "fxam", nullptr, nullptr,
      "fld1", "fldl2t", "fldl2e", "fldpi", "fldlg2", "fldln2", "fldz", nullptr,
      "f2xm1", "fyl2x", "fptan", "fpatan", "fxtract", "fprem1", "fdecstp", "fincstp",
      "fprem", "fyl2xp1", "fsqrt", "fsincos", "frndint", "fscale", "fsin", "fcos"};
    if (d9[modrm - 0xE0] == nullptr) return bad(d);
    put(d, d9[modrm - 0xE0]);
    return;
  }
  if (esc == 1 && modrm == 0xD0) return put(d, "fnop");
  if (esc == 2 && modrm == 0xE9) return put(d, "fucompp");
  if (esc == 3 && modrm == 0xE2) return put(d, "fnclex");
  if (esc == 3 && modrm == 0xE3) return put(d, "fninit");
  if (esc == 6 && modrm == 0xD9) return put(d, "fcompp");
  if (esc == 7 && modrm == 0xE0) return put(d, "fnstsw %ax");
  struct RegForm {
    int esc, reg;
    const char* name;
    int order;  // 0: st(i),st  1: st,st(i)  2: st(i) alone
  };
  static const RegForm forms[] = {
    {0, 0, "fadd", 0}, {0, 1, "fmul", 0}, {0, 2, "fcom", 2}, {0, 3, "fcomp", 2},
    {0, 4, "fsub", 0}, {0, 5, "fsubr", 0}, {0, 6, "fdiv", 0}, {0, 7, "fdivr", 0},
    {1, 0, "fld", 2}, {1, 1, "fxch", 2},
    {2, 0, "fcmovb", 0}, {2, 1, "fcmove", 0}, {2, 2, "fcmovbe", 0}, {2, 3, "fcmovu", 0},
    {3, 0, "fcmovnb", 0}, {3, 1, "fcmovne", 0}, {3, 2, "fcmovnbe", 0}, {3, 3, "fcmovnu", 0},
    {3, 5, "fucomi", 0}, {3, 6, "fcomi", 0},
    {4, 0, "fadd", 1}, {4, 1, "fmul", 1}, {4, 4, "fsub", 1}, {4, 5, "fsubr", 1},
    {4, 6, "fdiv", 1}, {4, 7, "fdivr", 1},
    {5, 0, "ffree", 2}, {5, 2, "fst", 2}, {5, 3, "fstp", 2}, {5, 4, "fucom", 2}, {5, 5, "fucomp", 2},
    {6, 0, "faddp", 1}, {6, 1, "fmulp", 1}, {6, 4, "fsubp", 1}, {6, 5, "fsubrp", 1},
    {6, 6, "fdivp", 1}, {6, 7, "fdivrp", 1},
    {7, 5, "fucomip", 0}, {7, 6, "fcomip", 0},
  };
  for (const RegForm& f : forms) {
    if (f.esc != esc || f.reg != r) continue;
    if (f.order == 0) putf(d, "%-6s %%st(%d),%%st", f.name, i);
    if (f.order == 1) putf(d, "%-6s %%st,%%st(%d)", f.name, i);
    if (f.order == 2) putf(d, "%-6s %%st(%d)", f.name, i);
    return;
  }
  bad(d);
}

// ---------------------------------------------------------------- opcodes

void twoByte(Dis& d) {
  int op = fetch(d);
  if (d.over) return;
  d.opcode = op;
  char t[40];
  if (op >= 0x80 && op <= 0x8F) {
    snprintf(t, sizeof t, "j%s Jz", ccNames[op & 15]);
    return runTemplate(d, t);
  }
  if (op >= 0x90 && op <= 0x9F) {
    snprintf(t, sizeof t, "set%s Eb", ccNames[op & 15]);
    return runTemplate(d, t);
  }
  if (op >= 0x40 && op <= 0x4F) {
    snprintf(t, sizeof t, "cmov%s Ev,Gv", ccNames[op & 15]);
    return runTemplate(d, t);
  }
  if (op >= 0xC8 && op <= 0xCF) return runTemplate(d, "bswap Rv");
  if (op == 0xBA) return group(d, 0x0FBA);
  if (op == 0x1F) return group(d, 0x0F1F);
  if (op == 0xB8 && d.rep == 0xF3) {
    d.repUsed = true;
    return runTemplate(d, "popcnt Ev,Gv");
  }
  if ((op == 0xBC || op == 0xBD) && d.rep == 0xF3) {
    d.repUsed = true;
    return runTemplate(d, op == 0xBC ? "tzcnt Ev,Gv" : "lzcnt Ev,Gv");
  }
  if (op == 0xAE) {
    decodeModrm(d);
    if (d.over) return;
    int r = d.reg & 7;
    if (d.mod == 3) {
      if (r == 5) return put(d, "lfence");
      if (r == 6) return put(d, "mfence");
      if (r == 7) return put(d, "sfence");
      return bad(d);
    }
    if (r == 2) return runTemplate(d, "ldmxcsr Mv");
    if (r == 3) return runTemplate(d, "stmxcsr Mv");
    return bad(d);
  }
  for (const SseRow& row : sseRows) {
    if (row.op != op) continue;
    int which = d.rep == 0xF3 ? 2 : d.rep == 0xF2 ? 3 : d.count66 > 0 ? 1 : 0;
    const char* form = row.forms[which];
    if (form == nullptr) return bad(d);
    if (which >= 2) d.repUsed = true;
    if (which == 1) {  // 66 is the mandatory prefix here, not an operand-size change
      d.count66--;
      d.opsize = (d.rex & 8) != 0 ? 64 : 32;
    }
    return runTemplate(d, form);
  }
  for (const TwoRow& row : twoRows) {
    if (row.op == op) return runTemplate(d, row.form);
  }
  bad(d);
}

void oneByteOp(Dis& d, int op) {
  if (oneByte[op] != nullptr) {
    if (op >= 0xA4 && op <= 0xAF && op != 0xA8 && op != 0xA9 && d.rep != 0) {
      put(d, d.rep == 0xF3 ? (op == 0xA6 || op == 0xA7 || op == 0xAE || op == 0xAF ? "repz " : "rep ") : "repnz ");
      d.repUsed = true;
    }
    return runTemplate(d, oneByte[op]);
  }
  char t[40];
  if (op >= 0x70 && op <= 0x7F) {
    snprintf(t, sizeof t, "j%s Jb", ccNames[op & 15]);
    return runTemplate(d, t);
  }
  if (op >= 0xB8 && op <= 0xBF) return runTemplate(d, d.opsize == 64 ? "movabs Iv,Rv" : "mov Iv,Rv");
  if (op >= 0x40 && op <= 0x4F) return runTemplate(d, op < 0x48 ? "inc Rv" : "dec Rv");  // not mode 64
  if (op >= 0xD8 && op <= 0xDF) return x87(d, op);
  switch (op) {
    case 0x0F: return twoByte(d);
    case 0x63:
      if (d.mode != disMode64) return bad(d);
      return runTemplate(d, (d.rex & 8) != 0 ? "movslq Ed,Gq" : "movsxd Ed,Gv");
    case 0x80: case 0x81: case 0x83: case 0x8F: case 0xC0: case 0xC1: case 0xC6: case 0xC7:
    case 0xD0: case 0xD1: case 0xD2: case 0xD3: case 0xF6: case 0xF7: case 0xFE: case 0xFF:
      return group(d, op);
    case 0x90:
      if ((d.rex & 1) != 0) return runTemplate(d, "xchg Av,Rv");
      if (d.rep == 0xF3) {
        d.repUsed = true;
        return put(d, "pause");
      }
      if (d.count66 > 0) return runTemplate(d, "xchg Av,Rv");
      return put(d, "nop");
    case 0x98: return put(d, d.opsize == 64 ? "cltq" : d.opsize == 32 ? "cwtl" : "cbtw");
    case 0x99: return put(d, d.opsize == 64 ? "cqto" : d.opsize == 32 ? "cltd" : "cwtd");
    default: return bad(d);
  }
}

bool isLegacyPrefix(int b) {
  return b == 0x66 || b == 0x67 || b == 0xF0 || b == 0xF2 || b == 0xF3 || b == 0x26 || b == 0x2E ||
         b == 0x36 || b == 0x3E || b == 0x64 || b == 0x65;
}

void decode(Dis& d) {
  int b;
  for (;;) {
    b = fetch(d);
    if (d.over) return;
    if (isLegacyPrefix(b)) {
      d.rex = 0;  // a REX prefix counts only right before the opcode
      if (b == 0x66) d.count66++;
      if (b == 0x67) d.adsize = d.mode == disMode64 ? 32 : d.mode == disMode32 ? 16 : 32;
      if (b == 0xF0) d.lock = true;
      if (b == 0xF2 || b == 0xF3) d.rep = b;
      if (b != 0x66 && b != 0x67 && b != 0xF0 && b != 0xF2 && b != 0xF3) d.seg = b;
      continue;
    }
    if (d.mode == disMode64 && (b & 0xF0) == 0x40) {
      d.rex = (uint8_t)b;
      continue;
    }
    break;
  }
  int base = d.mode == disMode16 ? 16 : 32;
  d.opsize = (d.rex & 8) != 0 ? 64 : d.count66 > 0 ? (base == 16 ? 32 : 16) : base;
  if (d.lock) put(d, "lock ");
  d.opcode = b;
  oneByteOp(d, b);
}

}  // namespace

const uint8_t* disx86_64Text(const uint8_t* address, char* text, int size, DisRegProc regProc,
                             DisSymProc symProc, int mode) {
  char body[200];
  Dis d{};
  d.p = address;
  d.mode = mode < disMode16 || mode > disMode64 ? disMode64 : mode;
  d.adsize = d.mode == disMode16 ? 16 : d.mode == disMode32 ? 32 : 64;
  d.regProc = regProc;
  d.symProc = symProc;
  d.out = body;
  d.size = sizeof body;
  body[0] = 0;
  decode(d);
  int length = d.len;
  if (d.over || d.bad || length == 0) {
    snprintf(text, size, ".byte  0x%02x", address[0]);
    return address + 1;
  }
  // Prefixes that the instruction did not use show as words before it.
  char lead[64] = "";
  int n = 0;
  for (int i = 1; i < d.count66 && n < 40; i++) n += snprintf(lead + n, sizeof lead - n, "data16 ");
  if (d.rep != 0 && !d.repUsed) n += snprintf(lead + n, sizeof lead - n, d.rep == 0xF3 ? "repz " : "repnz ");
  if (d.seg != 0 && strchr(body, ':') == nullptr) {
    static const char* const names[] = {"es", "cs", "ss", "ds", "fs", "gs"};
    int k = d.seg == 0x26 ? 0 : d.seg == 0x2E ? 1 : d.seg == 0x36 ? 2 : d.seg == 0x3E ? 3 : d.seg == 0x64 ? 4 : 5;
    snprintf(lead + n, sizeof lead - n, "%s ", names[k]);
  }
  snprintf(text, size, "%s%s", lead, body);
  return address + length;
}

const uint8_t* disx86_64(const uint8_t* address, FILE* stream, DisRegProc regProc, DisSymProc symProc,
                         int mode) {
  char line[260];
  const uint8_t* next = disx86_64Text(address, line, sizeof line - 1, regProc, symProc, mode);
  size_t n = strlen(line);
  if (n > 0) {
    line[n] = '\n';
    line[n + 1] = 0;
    fputs(line, stream);
  }
  return next;
}

const uint8_t* disx86_64_16bit_mode(const uint8_t* address, FILE* stream, DisRegProc regProc,
                                    DisSymProc symProc) {
  return disx86_64(address, stream, regProc, symProc, disMode16);
}
const uint8_t* disx86_64_32bit_mode(const uint8_t* address, FILE* stream, DisRegProc regProc,
                                    DisSymProc symProc) {
  return disx86_64(address, stream, regProc, symProc, disMode32);
}
const uint8_t* disx86_64_64bit_mode(const uint8_t* address, FILE* stream, DisRegProc regProc,
                                    DisSymProc symProc) {
  return disx86_64(address, stream, regProc, symProc, disMode64);
}
