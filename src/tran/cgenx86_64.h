// Translator: x86-64 instruction emitters shared by every generator.
// One inline emitter per instruction form, named emit<Mnemonic><operand kinds> (R register,
// M [base+disp] slot, I immediate, A absolute 32-bit address, Rel pc-relative target); each
// takes the code position first and answers the position after what it wrote.
// Prefix: cgen (byte stores and the shared sequences), emit (single instructions).
#pragma once

#include <cassert>
#include <cstdint>
#include <cstring>

#include "tran/nmLayout.h"

// Register numbers are the hardware encodings; bit 3 goes into the REX prefix.
enum CgenReg : int {
  rAX = 0, rCX = 1, rDX = 2, rBX = 3, rSP = 4, rBP = 5, rSI = 6, rDI = 7,
  rR8 = 8, rR9 = 9, rR10 = 10, rR11 = 11, rR12 = 12, rR13 = 13, rR14 = 14, rR15 = 15,
};

// Short-jump opcodes (7x); the long form is 0F 8x with the same low nibble. Flipping bit 0
// inverts the condition.
enum CgenCond : int {
  ccO = 0x70, ccNO = 0x71, ccB = 0x72, ccAE = 0x73, ccE = 0x74, ccNE = 0x75, ccBE = 0x76,
  ccA = 0x77, ccS = 0x78, ccNS = 0x79, ccP = 0x7A, ccNP = 0x7B, ccL = 0x7C, ccGE = 0x7D,
  ccLE = 0x7E, ccG = 0x7F,
};


// ---------------------------------------------------------------- byte stores

inline uint8_t* cgenPutB(uint64_t value, uint8_t* at) {
  *at = (uint8_t)value;
  return at + 1;
}
inline uint8_t* cgenPutW(uint64_t value, uint8_t* at) {
  uint16_t v = (uint16_t)value;
  memcpy(at, &v, 2);
  return at + 2;
}
inline uint8_t* cgenPutL(uint64_t value, uint8_t* at) {
  uint32_t v = (uint32_t)value;
  memcpy(at, &v, 4);
  return at + 4;
}
inline uint8_t* cgenPutQ(uint64_t value, uint8_t* at) {
  memcpy(at, &value, 8);
  return at + 8;
}

// The 32-bit displacement from the end of a 4-byte field at `at` to target.
inline int64_t cgenRel32(const uint8_t* at, const void* target) {
  return (int64_t)((uintptr_t)target - (uintptr_t)(at + 4));
}
inline bool cgenFitsS8(int64_t v) { return v >= -128 && v <= 127; }
inline bool cgenFitsS32(int64_t v) { return v >= INT32_MIN && v <= INT32_MAX; }

// Patches the displacement field that ends at site (the position after a jump) to reach target.
inline void cgenPatchRel8(uint8_t* site, const void* target) {
  int64_t d = (int64_t)((uintptr_t)target - (uintptr_t)site);
  assert(cgenFitsS8(d));
  site[-1] = (uint8_t)d;
}
inline void cgenPatchRel32(uint8_t* site, const void* target) {
  int64_t d = (int64_t)((uintptr_t)target - (uintptr_t)site);
  assert(cgenFitsS32(d));
  cgenPutL((uint64_t)d, site - 4);
}

// ---------------------------------------------------------------- encoding helpers

// REX.W with the reg (bit 2 = R) and rm/base (bit 0 = B) extensions.
inline uint8_t* cgenRexW(uint8_t* at, int reg, int rm) {
  return cgenPutB(0x48 | ((reg >> 3) << 2) | (rm >> 3), at);
}
// A REX prefix only where an extension bit is needed (32-bit and byte forms of r0-r7).
inline uint8_t* cgenRexOpt(uint8_t* at, int reg, int rm) {
  if ((reg | rm) & 8) at = cgenPutB(0x40 | ((reg >> 3) << 2) | (rm >> 3), at);
  return at;
}
inline uint8_t* cgenModRR(uint8_t* at, int reg, int rm) {
  return cgenPutB(0xC0 | ((reg & 7) << 3) | (rm & 7), at);
}
// ModRM (and SIB) for [base + disp]: no displacement for 0 unless the base is rbp/r13 (disp8 0),
// disp8 for -128..127, else disp32; an rsp/r12 base takes SIB 24.
inline uint8_t* cgenModMem(uint8_t* at, int reg, int base, int32_t disp) {
  int mod = (disp == 0 && (base & 7) != rBP) ? 0 : cgenFitsS8(disp) ? 1 : 2;
  at = cgenPutB((mod << 6) | ((reg & 7) << 3) | (base & 7), at);
  if ((base & 7) == rSP) at = cgenPutB(0x24, at);
  if (mod == 1) return cgenPutB((uint64_t)disp, at);
  if (mod == 2) return cgenPutL((uint64_t)disp, at);
  return at;
}
// REX for [base + index*scale] forms: W as asked, then R, X and B; without W only where an
// extension bit is needed.
inline uint8_t* cgenRexIdx(uint8_t* at, bool w, int reg, int index, int base) {
  uint8_t rex = 0x40 | (w ? 8 : 0) | ((reg >> 3) << 2) | ((index >> 3) << 1) | (base >> 3);
  return rex != 0x40 ? cgenPutB(rex, at) : at;
}
// ModRM and SIB for [base + index*scale + disp8] (disp8 0 omitted); base is not rbp/r13
// without a displacement, index is not rsp. scale is 1, 2, 4 or 8.
inline uint8_t* cgenModSib(uint8_t* at, int reg, int base, int index, int scale, int disp8 = 0) {
  assert((index & 15) != rSP && cgenFitsS8(disp8) && (disp8 != 0 || (base & 7) != rBP));
  int ss = scale == 8 ? 3 : scale == 4 ? 2 : scale == 2 ? 1 : 0;
  at = cgenPutB((disp8 != 0 ? 0x44 : 0x04) | ((reg & 7) << 3), at);
  at = cgenPutB((ss << 6) | ((index & 7) << 3) | (base & 7), at);
  return disp8 != 0 ? cgenPutB((uint64_t)disp8, at) : at;
}
// ModRM with mod 10 and a 32-bit displacement, whatever its size (fixed layouts).
inline uint8_t* cgenModMem32(uint8_t* at, int reg, int base, int32_t disp) {
  at = cgenPutB(0x80 | ((reg & 7) << 3) | (base & 7), at);
  if ((base & 7) == rSP) at = cgenPutB(0x24, at);
  return cgenPutL((uint64_t)disp, at);
}
// The SSE forms: prefix, REX (W when asked), 0F, opcode, ModRM of two registers.
inline uint8_t* cgenSseRR(uint8_t* at, uint8_t prefix, bool w, uint8_t opcode, int reg, int rm) {
  if (prefix != 0) at = cgenPutB(prefix, at);
  at = w ? cgenRexW(at, reg, rm) : cgenRexOpt(at, reg, rm);
  at = cgenPutB(0x0F, at);
  at = cgenPutB(opcode, at);
  return cgenModRR(at, reg, rm);
}

// ModRM 04+8reg, SIB 25: an absolute 32-bit address (sign-extended).
inline uint8_t* cgenModAbs(uint8_t* at, int reg, uint32_t address) {
  at = cgenPutB(0x04 | ((reg & 7) << 3), at);
  at = cgenPutB(0x25, at);
  return cgenPutL(address, at);
}

// ---------------------------------------------------------------- moves

// mov d, s (REX.W 89 /r)
inline uint8_t* emitMovRR(uint8_t* at, int d, int s) {
  at = cgenRexW(at, s, d);
  at = cgenPutB(0x89, at);
  return cgenModRR(at, s, d);
}
// mov d, [base+disp] (REX.W 8B)
inline uint8_t* emitMovRM(uint8_t* at, int d, int base, int32_t disp) {
  at = cgenRexW(at, d, base);
  at = cgenPutB(0x8B, at);
  return cgenModMem(at, d, base, disp);
}
// mov [base+disp], s (REX.W 89)
inline uint8_t* emitMovMR(uint8_t* at, int base, int32_t disp, int s) {
  at = cgenRexW(at, s, base);
  at = cgenPutB(0x89, at);
  return cgenModMem(at, s, base, disp);
}
// mov [base+index], s (REX.W 89, SIB scale 1); base is not rbp/r13.
inline uint8_t* emitMovMIdxR(uint8_t* at, int base, int index, int s) {
  at = cgenRexIdx(at, true, s, index, base);
  at = cgenPutB(0x89, at);
  return cgenModSib(at, s, base, index, 1);
}
// mov [base+index*8], s (REX.W 89); base is not rbp/r13.
inline uint8_t* emitMovMIdx8R(uint8_t* at, int base, int index, int s) {
  at = cgenRexIdx(at, true, s, index, base);
  at = cgenPutB(0x89, at);
  return cgenModSib(at, s, base, index, 8);
}
// mov d, [base+index*8] (REX.W 8B); base is not rbp/r13.
inline uint8_t* emitMovRMIdx8(uint8_t* at, int d, int base, int index) {
  at = cgenRexIdx(at, true, d, index, base);
  at = cgenPutB(0x8B, at);
  return cgenModSib(at, d, base, index, 8);
}
// mov d, [base+index+disp8] (REX.W 8B, SIB scale 1)
inline uint8_t* emitMovRMIdxD8(uint8_t* at, int d, int base, int index, int8_t disp) {
  at = cgenRexIdx(at, true, d, index, base);
  at = cgenPutB(0x8B, at);
  return cgenModSib(at, d, base, index, 1, disp);
}
// mov d32, [base+index] (8B); the upper half of d is cleared.
inline uint8_t* emitMovR32MIdx(uint8_t* at, int d, int base, int index) {
  at = cgenRexIdx(at, false, d, index, base);
  at = cgenPutB(0x8B, at);
  return cgenModSib(at, d, base, index, 1);
}
// movzx d32, byte / word [base+index*scale] (0F B6 / 0F B7)
inline uint8_t* emitMovzxBR32MIdx(uint8_t* at, int d, int base, int index, int scale) {
  at = cgenRexIdx(at, false, d, index, base);
  at = cgenPutB(0x0F, at);
  at = cgenPutB(0xB6, at);
  return cgenModSib(at, d, base, index, scale);
}
inline uint8_t* emitMovzxWR32MIdx(uint8_t* at, int d, int base, int index, int scale) {
  at = cgenRexIdx(at, false, d, index, base);
  at = cgenPutB(0x0F, at);
  at = cgenPutB(0xB7, at);
  return cgenModSib(at, d, base, index, scale);
}
// mov byte [base+index*scale], s8 (88) for al, cl, dl, bl; mov word [...], s16 (66 89).
inline uint8_t* emitMovMIdxR8(uint8_t* at, int base, int index, int scale, int s) {
  assert(s < 4);
  at = cgenRexIdx(at, false, s, index, base);
  at = cgenPutB(0x88, at);
  return cgenModSib(at, s, base, index, scale);
}
inline uint8_t* emitMovMIdxR16(uint8_t* at, int base, int index, int scale, int s) {
  at = cgenPutB(0x66, at);
  at = cgenRexIdx(at, false, s, index, base);
  at = cgenPutB(0x89, at);
  return cgenModSib(at, s, base, index, scale);
}
// movzx d32, byte [base+disp] (0F B6); movzx d, word [base+disp] (REX.W 0F B7).
inline uint8_t* emitMovzxBR32M(uint8_t* at, int d, int base, int32_t disp) {
  at = cgenRexOpt(at, d, base);
  at = cgenPutB(0x0F, at);
  at = cgenPutB(0xB6, at);
  return cgenModMem(at, d, base, disp);
}
inline uint8_t* emitMovzxWRM(uint8_t* at, int d, int base, int32_t disp) {
  at = cgenRexW(at, d, base);
  at = cgenPutB(0x0F, at);
  at = cgenPutB(0xB7, at);
  return cgenModMem(at, d, base, disp);
}
// mov d, [address] (REX.W 8B, SIB 25)
inline uint8_t* emitMovRA(uint8_t* at, int d, uint32_t address) {
  at = cgenRexW(at, d, 0);
  at = cgenPutB(0x8B, at);
  return cgenModAbs(at, d, address);
}
// mov al, [address] (8A 04 25)
inline uint8_t* emitMovALA(uint8_t* at, uint32_t address) {
  at = cgenPutB(0x8A, at);
  return cgenModAbs(at, rAX, address);
}
// mov d, imm32 sign-extended (REX.W C7 C0+d)
inline uint8_t* emitMovRI32(uint8_t* at, int d, int32_t imm) {
  at = cgenRexW(at, 0, d);
  at = cgenPutB(0xC7, at);
  at = cgenModRR(at, 0, d);
  return cgenPutL((uint64_t)(int64_t)imm, at);
}
// mov d, imm64 (REX.W B8+d); the 8 immediate bytes end the instruction.
inline uint8_t* emitMovRI64(uint8_t* at, int d, uint64_t imm) {
  at = cgenRexW(at, 0, d);
  at = cgenPutB(0xB8 + (d & 7), at);
  return cgenPutQ(imm, at);
}
// mov d32, imm32 zero-extended (B8+d, 41 prefix for r8-r15): the send site's r15d load.
inline uint8_t* emitMovR32I32(uint8_t* at, int d, uint32_t imm) {
  at = cgenRexOpt(at, 0, d);
  at = cgenPutB(0xB8 + (d & 7), at);
  return cgenPutL(imm, at);
}
// mov d8, imm8 (B0+d) for al, cl, dl, bl only.
inline uint8_t* emitMovR8I8(uint8_t* at, int d, uint8_t imm) {
  assert(d < 4);
  at = cgenPutB(0xB0 + d, at);
  return cgenPutB(imm, at);
}
// xor d32, d32 (33 /r): clears the whole register.
inline uint8_t* emitXorR32(uint8_t* at, int d) {
  at = cgenRexOpt(at, d, d);
  at = cgenPutB(0x33, at);
  return cgenModRR(at, d, d);
}
// lea d, [base+disp] (REX.W 8D)
inline uint8_t* emitLeaRM(uint8_t* at, int d, int base, int32_t disp) {
  at = cgenRexW(at, d, base);
  at = cgenPutB(0x8D, at);
  return cgenModMem(at, d, base, disp);
}
// lea d, [base+disp32], the displacement 32 bits whatever its size (REX.W 8D, mod 10).
inline uint8_t* emitLeaRMD32(uint8_t* at, int d, int base, int32_t disp) {
  at = cgenRexW(at, d, base);
  at = cgenPutB(0x8D, at);
  return cgenModMem32(at, d, base, disp);
}
// lea d, [base+index+disp8] (REX.W 8D, SIB scale 1); index is not rsp.
inline uint8_t* emitLeaRMIdxD8(uint8_t* at, int d, int base, int index, int8_t disp) {
  at = cgenRexIdx(at, true, d, index, base);
  at = cgenPutB(0x8D, at);
  return cgenModSib(at, d, base, index, 1, disp);
}
// lea d, [r*8+disp32] (REX.W 8D, SIB scale 8, no base)
inline uint8_t* emitLeaScaled8(uint8_t* at, int d, int r, int32_t disp) {
  at = cgenRexIdx(at, true, d, r, 0);
  at = cgenPutB(0x8D, at);
  at = cgenPutB(0x04 | ((d & 7) << 3), at);
  at = cgenPutB(0xC5 | ((r & 7) << 3), at);
  return cgenPutL((uint64_t)(uint32_t)disp, at);
}
// lea d, [r*8+3]: tags an untagged integer.
inline uint8_t* emitLeaTagInt(uint8_t* at, int d, int r) { return emitLeaScaled8(at, d, r, 3); }
// lea d, [rip+disp32] to target (REX.W 8D 05+8d)
inline uint8_t* emitLeaRipRel(uint8_t* at, int d, const void* target) {
  at = cgenRexW(at, d, 0);
  at = cgenPutB(0x8D, at);
  at = cgenPutB(0x05 | ((d & 7) << 3), at);
  return cgenPutL((uint64_t)cgenRel32(at, target), at);
}
// mov d, [rip+disp32] to target (REX.W 8B 05+8d)
inline uint8_t* emitMovRRipRel(uint8_t* at, int d, const void* target) {
  at = cgenRexW(at, d, 0);
  at = cgenPutB(0x8B, at);
  at = cgenPutB(0x05 | ((d & 7) << 3), at);
  return cgenPutL((uint64_t)cgenRel32(at, target), at);
}
// xchg a, b (REX.W 87 /r)
inline uint8_t* emitXchgRR(uint8_t* at, int a, int b) {
  at = cgenRexW(at, a, b);
  at = cgenPutB(0x87, at);
  return cgenModRR(at, a, b);
}
// xchg rax, r (REX.W 90+r)
inline uint8_t* emitXchgRaxR(uint8_t* at, int r) {
  at = cgenRexW(at, 0, r);
  return cgenPutB(0x90 + (r & 7), at);
}

// ---------------------------------------------------------------- stack

inline uint8_t* emitPushR(uint8_t* at, int r) {
  at = cgenRexOpt(at, 0, r);
  return cgenPutB(0x50 + (r & 7), at);
}
inline uint8_t* emitPopR(uint8_t* at, int r) {
  at = cgenRexOpt(at, 0, r);
  return cgenPutB(0x58 + (r & 7), at);
}
// push imm8 sign-extended (6A)
inline uint8_t* emitPushI8(uint8_t* at, int8_t imm) {
  at = cgenPutB(0x6A, at);
  return cgenPutB((uint64_t)imm, at);
}
// push imm32 sign-extended (68)
inline uint8_t* emitPushI32(uint8_t* at, int32_t imm) {
  at = cgenPutB(0x68, at);
  return cgenPutL((uint64_t)(int64_t)imm, at);
}
// push qword [base+disp] (FF /6)
inline uint8_t* emitPushM(uint8_t* at, int base, int32_t disp) {
  at = cgenRexOpt(at, 0, base);
  at = cgenPutB(0xFF, at);
  return cgenModMem(at, 6, base, disp);
}
// pop qword [base+disp] (8F /0)
inline uint8_t* emitPopM(uint8_t* at, int base, int32_t disp) {
  at = cgenRexOpt(at, 0, base);
  at = cgenPutB(0x8F, at);
  return cgenModMem(at, 0, base, disp);
}

// ---------------------------------------------------------------- arithmetic and tests

// The 83 /n ib and 81 /n id groups on a 64-bit register: n 0 add, 4 and, 5 sub, 7 cmp.
inline uint8_t* emitAluRI8(uint8_t* at, int n, int r, int8_t imm) {
  at = cgenRexW(at, 0, r);
  at = cgenPutB(0x83, at);
  at = cgenModRR(at, n, r);
  return cgenPutB((uint64_t)imm, at);
}
inline uint8_t* emitAluRI32(uint8_t* at, int n, int r, int32_t imm) {
  at = cgenRexW(at, 0, r);
  at = cgenPutB(0x81, at);
  at = cgenModRR(at, n, r);
  return cgenPutL((uint64_t)(int64_t)imm, at);
}
enum : int { aluAdd = 0, aluOr = 1, aluAnd = 4, aluSub = 5, aluXor = 6, aluCmp = 7 };
// The same group on a 32-bit register (81 /n id, REX only for r8-r15): and clears the upper half.
inline uint8_t* emitAluR32I32(uint8_t* at, int n, int r, int32_t imm) {
  at = cgenRexOpt(at, 0, r);
  at = cgenPutB(0x81, at);
  at = cgenModRR(at, n, r);
  return cgenPutL((uint64_t)(uint32_t)imm, at);
}
// Two-register ALU operations in the "reg, r/m" direction (REX.W op /r, d the reg field:
// d := d op s) and in the "r/m, reg" direction (REX.W op-2 /r: d the r/m field).
enum AluRROp : uint8_t { aluRRAdd = 0x03, aluRROr = 0x0B, aluRRAnd = 0x23, aluRRSub = 0x2B, aluRRXor = 0x33, aluRRCmp = 0x3B };
inline uint8_t* emitAluRR(uint8_t* at, AluRROp op, int d, int s) {
  at = cgenRexW(at, d, s);
  at = cgenPutB(op, at);
  return cgenModRR(at, d, s);
}
inline uint8_t* emitAluRmR(uint8_t* at, AluRROp op, int d, int s) {
  at = cgenRexW(at, s, d);
  at = cgenPutB(op - 2, at);
  return cgenModRR(at, s, d);
}
// cmp r, imm: the imm8 form when it fits, else imm32.
inline uint8_t* emitCmpRI(uint8_t* at, int r, int32_t imm) {
  return cgenFitsS8(imm) ? emitAluRI8(at, aluCmp, r, (int8_t)imm) : emitAluRI32(at, aluCmp, r, imm);
}
// xor d, s and cmp r, s (REX.W 3B /r: computes r - s)
inline uint8_t* emitXorRR(uint8_t* at, int d, int s) { return emitAluRR(at, aluRRXor, d, s); }
inline uint8_t* emitCmpRR(uint8_t* at, int r, int s) { return emitAluRR(at, aluRRCmp, r, s); }
// cmp [base+disp], r (REX.W 39 /r: computes the memory word - r)
inline uint8_t* emitCmpMR(uint8_t* at, int base, int32_t disp, int r) {
  at = cgenRexW(at, r, base);
  at = cgenPutB(0x39, at);
  return cgenModMem(at, r, base, disp);
}
// cmp r32, [base+index] (3B, SIB scale 1)
inline uint8_t* emitCmpR32MIdx(uint8_t* at, int r, int base, int index) {
  at = cgenRexIdx(at, false, r, index, base);
  at = cgenPutB(0x3B, at);
  return cgenModSib(at, r, base, index, 1);
}
// test a, b (REX.W 85 /r, b in the reg field)
inline uint8_t* emitTestRR(uint8_t* at, int a, int b) {
  at = cgenRexW(at, b, a);
  at = cgenPutB(0x85, at);
  return cgenModRR(at, b, a);
}
// imul d, s (REX.W 0F AF /r)
inline uint8_t* emitImulRR(uint8_t* at, int d, int s) {
  at = cgenRexW(at, d, s);
  at = cgenPutB(0x0F, at);
  at = cgenPutB(0xAF, at);
  return cgenModRR(at, d, s);
}
// neg r (REX.W F7 /3)
inline uint8_t* emitNegR(uint8_t* at, int r) {
  at = cgenRexW(at, 0, r);
  at = cgenPutB(0xF7, at);
  return cgenModRR(at, 3, r);
}
// cmp r, [base+disp] (REX.W 3B)
inline uint8_t* emitCmpRM(uint8_t* at, int r, int base, int32_t disp) {
  at = cgenRexW(at, r, base);
  at = cgenPutB(0x3B, at);
  return cgenModMem(at, r, base, disp);
}
// cmp r, [address] (REX.W 3B, SIB 25)
inline uint8_t* emitCmpRA(uint8_t* at, int r, uint32_t address) {
  at = cgenRexW(at, r, 0);
  at = cgenPutB(0x3B, at);
  return cgenModAbs(at, r, address);
}
// cmp byte [base+disp], imm8 (80 /7 ib)
inline uint8_t* emitCmpM8I8(uint8_t* at, int base, int32_t disp, uint8_t imm) {
  at = cgenRexOpt(at, 0, base);
  at = cgenPutB(0x80, at);
  at = cgenModMem(at, 7, base, disp);
  return cgenPutB(imm, at);
}
// test byte [base+disp], imm8 (F6 /0 ib)
inline uint8_t* emitTestM8I8(uint8_t* at, int base, int32_t disp, uint8_t imm) {
  at = cgenRexOpt(at, 0, base);
  at = cgenPutB(0xF6, at);
  at = cgenModMem(at, 0, base, disp);
  return cgenPutB(imm, at);
}
// cmp byte [address], imm8 (80 /7 ib, SIB 25)
inline uint8_t* emitCmpA8I8(uint8_t* at, uint32_t address, uint8_t imm) {
  at = cgenPutB(0x80, at);
  at = cgenModAbs(at, 7, address);
  return cgenPutB(imm, at);
}
// and eax, imm32 (25 id): the class-tag mask of the entry sequence.
inline uint8_t* emitAndEAXI32(uint8_t* at, uint32_t imm) {
  at = cgenPutB(0x25, at);
  return cgenPutL(imm, at);
}
// The C1 /n ib shift group on a 64-bit register: n 4 shl, 5 shr, 7 sar.
enum : int { shiftShl = 4, shiftShr = 5, shiftSar = 7 };
inline uint8_t* emitShiftRI(uint8_t* at, int n, int r, uint8_t count) {
  at = cgenRexW(at, 0, r);
  at = cgenPutB(0xC1, at);
  at = cgenModRR(at, n, r);
  return cgenPutB(count, at);
}
// The C1 group's shift and rotate by cl (D3 /n) and by 1 (D1 /n): n 0 rol, 1 ror, and the
// shifts above.
enum : int { rotateRol = 0, rotateRor = 1 };
inline uint8_t* emitShiftRCl(uint8_t* at, int n, int r) {
  at = cgenRexW(at, 0, r);
  at = cgenPutB(0xD3, at);
  return cgenModRR(at, n, r);
}
inline uint8_t* emitShift1R(uint8_t* at, int n, int r) {
  at = cgenRexW(at, 0, r);
  at = cgenPutB(0xD1, at);
  return cgenModRR(at, n, r);
}
// bt r, imm8 (REX.W 0F BA /4 ib)
inline uint8_t* emitBtRI(uint8_t* at, int r, uint8_t bit) {
  at = cgenRexW(at, 0, r);
  at = cgenPutB(0x0F, at);
  at = cgenPutB(0xBA, at);
  at = cgenModRR(at, 4, r);
  return cgenPutB(bit, at);
}
// test r8, imm8: A8 ib for al, F6 /0 ib for cl, dl, bl.
inline uint8_t* emitTestR8I8(uint8_t* at, int r, uint8_t imm) {
  assert(r < 4);
  if (r == rAX) {
    at = cgenPutB(0xA8, at);
  } else {
    at = cgenPutB(0xF6, at);
    at = cgenModRR(at, 0, r);
  }
  return cgenPutB(imm, at);
}
// cqo (48 99) and idiv r (REX.W F7 /7)
inline uint8_t* emitCqo(uint8_t* at) { return cgenPutB(0x99, cgenPutB(0x48, at)); }
inline uint8_t* emitIdivR(uint8_t* at, int r) {
  at = cgenRexW(at, 0, r);
  at = cgenPutB(0xF7, at);
  return cgenModRR(at, 7, r);
}

// ---------------------------------------------------------------- control transfer

inline uint8_t* emitCallRel(uint8_t* at, const void* target) {
  at = cgenPutB(0xE8, at);
  return cgenPutL((uint64_t)cgenRel32(at, target), at);
}
inline uint8_t* emitJmpRel32(uint8_t* at, const void* target) {
  at = cgenPutB(0xE9, at);
  return cgenPutL((uint64_t)cgenRel32(at, target), at);
}
// jmp rel8 / jcc rel8 with displacement d (0 to be patched).
inline uint8_t* emitJmpRel8(uint8_t* at, int8_t d) { return cgenPutB((uint64_t)d, cgenPutB(0xEB, at)); }
inline uint8_t* emitJccRel8(uint8_t* at, int cond, int8_t d) {
  return cgenPutB((uint64_t)d, cgenPutB((uint64_t)cond, at));
}
// jcc rel32 (0F 8x) with displacement d.
inline uint8_t* emitJccRel32(uint8_t* at, int cond, int32_t d) {
  at = cgenPutB(0x0F, at);
  at = cgenPutB(0x80 | (cond & 0x0F), at);
  return cgenPutL((uint64_t)(int64_t)d, at);
}
// call r (FF /2)
inline uint8_t* emitCallR(uint8_t* at, int r) {
  at = cgenRexOpt(at, 0, r);
  at = cgenPutB(0xFF, at);
  return cgenModRR(at, 2, r);
}
// jmp r (FF /4)
inline uint8_t* emitJmpR(uint8_t* at, int r) {
  at = cgenRexOpt(at, 0, r);
  at = cgenPutB(0xFF, at);
  return cgenModRR(at, 4, r);
}
inline uint8_t* emitRet(uint8_t* at) { return cgenPutB(0xC3, at); }
// ret imm16 (C2 iw): pops bytes more after the return address.
inline uint8_t* emitRetI16(uint8_t* at, uint16_t bytes) { return cgenPutW(bytes, cgenPutB(0xC2, at)); }

// ---------------------------------------------------------------- fillers

// nop (90), the operand-size prefix 66 that lengthens the next filler, and nopl 0(%rax)
// (0F 1F 40 00).
inline uint8_t* emitNop(uint8_t* at) { return cgenPutB(0x90, at); }
inline uint8_t* emitPrefix66(uint8_t* at) { return cgenPutB(0x66, at); }
inline uint8_t* emitNop4(uint8_t* at) {
  at = cgenPutB(0x0F, at);
  at = cgenPutB(0x1F, at);
  at = cgenPutB(0x40, at);
  return cgenPutB(0x00, at);
}

// ---------------------------------------------------------------- SSE

// ucomisd x, y (66 0F 2E /r) and ucomiss x, y (0F 2E /r): compare x with y.
inline uint8_t* emitUcomisd(uint8_t* at, int x, int y) { return cgenSseRR(at, 0x66, false, 0x2E, x, y); }
inline uint8_t* emitUcomiss(uint8_t* at, int x, int y) { return cgenSseRR(at, 0, false, 0x2E, x, y); }
// movaps x, y (0F 28 /r): the whole register, as a double move.
inline uint8_t* emitMovapsXX(uint8_t* at, int x, int y) { return cgenSseRR(at, 0, false, 0x28, x, y); }
// movq x, r (66 REX.W 0F 6E /r); movq r, x (66 REX.W 0F 7E /r); movd r32, x (66 0F 7E /r).
inline uint8_t* emitMovqXR(uint8_t* at, int x, int r) { return cgenSseRR(at, 0x66, true, 0x6E, x, r); }
inline uint8_t* emitMovqRX(uint8_t* at, int r, int x) { return cgenSseRR(at, 0x66, true, 0x7E, x, r); }
inline uint8_t* emitMovdR32X(uint8_t* at, int r, int x) { return cgenSseRR(at, 0x66, false, 0x7E, x, r); }
// cvtsi2sd x, r and cvtsi2ss x, r from a 64-bit register (F2 / F3 REX.W 0F 2A /r)
inline uint8_t* emitCvtsi2sdXR(uint8_t* at, int x, int r) { return cgenSseRR(at, 0xF2, true, 0x2A, x, r); }
inline uint8_t* emitCvtsi2ssXR(uint8_t* at, int x, int r) { return cgenSseRR(at, 0xF3, true, 0x2A, x, r); }
// x := x op y in double (F2 0F op) or single (F3 0F op) precision; sqrt takes the root of y.
enum SseOp : uint8_t { sseSqrt = 0x51, sseAdd = 0x58, sseMul = 0x59, sseSub = 0x5C, sseDiv = 0x5E };
inline uint8_t* emitSdXX(uint8_t* at, SseOp op, int x, int y) { return cgenSseRR(at, 0xF2, false, op, x, y); }
inline uint8_t* emitSsXX(uint8_t* at, SseOp op, int x, int y) { return cgenSseRR(at, 0xF3, false, op, x, y); }
// movsd x, [base+disp] (F2 0F 10 /r) and movss x, [base+disp] (F3 0F 10 /r)
inline uint8_t* emitMovsdXM(uint8_t* at, int x, int base, int32_t disp) {
  at = cgenPutB(0xF2, at);
  at = cgenRexOpt(at, x, base);
  at = cgenPutB(0x0F, at);
  at = cgenPutB(0x10, at);
  return cgenModMem(at, x, base, disp);
}
inline uint8_t* emitMovssXM(uint8_t* at, int x, int base, int32_t disp) {
  at = cgenPutB(0xF3, at);
  at = cgenRexOpt(at, x, base);
  at = cgenPutB(0x0F, at);
  at = cgenPutB(0x10, at);
  return cgenModMem(at, x, base, disp);
}

// ---------------------------------------------------------------- shared sequences (taux)

// reg := the class tag in the header of the object in register object (classTagMask of its
// flags word); the upper half of reg is cleared.
uint8_t* cgenLoadHeaderClassTag(uint8_t* at, int reg, int object);
// reg := the class tag of the receiver in rbx: an immediate's 3-bit tag, else its header's.
// The fixed 14-byte form for rax that class checks and PICs lay out: mov rax, rbx; and rax,
// 7; jnz +9; mov rax, [rbx+8]; and eax, classTagMask.
uint8_t* cgenLoadClassTag(uint8_t* at, int reg);

// Fills [from, to) with instructions that change no register, flag or memory.
uint8_t* cNopGenTo(uint8_t* from, uint8_t* to);
// Signed 64-bit division of register b by register a: quotient in b and, with both set,
// remainder in a; every other register is kept.
uint8_t* cgenDiv(int a, int b, int both, uint8_t* at);
// Conditional jump after ucomisd for a short-jump opcode; unordered operands take only
// "not equal". The jump's 8-bit displacement is the last byte written (0).
uint8_t* tFJumpCond(int condition, uint8_t* at);
// The SmallDouble re-bias, held in r11 by the sequences below: the encoding subtracts it whole,
// the decoding adds it through a lea that takes the 2 off again.
constexpr uint64_t cgenSmallDoubleBias = 0x7000000000000002ull;
// xmm x := the double of a SmallDouble whose oop, shifted right by 3, is in rax (rax changes);
// r11 holds cgenSmallDoubleBias.
uint8_t* cgenDecodeShiftedSmallDouble(uint8_t* at, int x);
// rbx := the SmallDouble for the double in xmm x, rax and r11 changing (r11 need hold nothing);
// *noForm gets the short jump taken, rbx untouched, when the double has no immediate form.
uint8_t* cgenEncodeSmallDouble(uint8_t* at, int x, uint8_t** noForm);
// EB 00 when the platform needs the pipeline flushed after code is written.
uint8_t* tcInlineIFlush(uint8_t* at);
// The send site: mov r15d, immediate; call target. Indices and tags lie below 2^31.
uint8_t* cgenSendSite(uint8_t* at, uint32_t immediate, const void* target);
