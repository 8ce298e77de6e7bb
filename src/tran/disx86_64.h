// Translator: diagnostic disassembler, one x86 instruction at a time in AT&T syntax.
// Prefix: disx86_64.
#pragma once

#include <cstdint>
#include <cstdio>

// Names a register of the given width in bits (8, 16, 32, 64; 128 for xmm) into buf; answers
// non-zero when it did, 0 to keep the default name.
typedef int (*DisRegProc)(char* buf, int size, int reg, int width);
// Names a code address (branch and call targets) into buf; answers non-zero when it did,
// 0 for the plain "0x%lx" form.
typedef int (*DisSymProc)(char* buf, int size, uint64_t address);

enum { disMode16 = 0, disMode32 = 1, disMode64 = 2, disMaxLength = 15 };

// Decodes the instruction at address into text (NUL-terminated, at most size bytes) and
// answers the address of the next instruction; reads at most disMaxLength bytes and always
// advances. Bytes that form no known instruction print as ".byte 0x..".
const uint8_t* disx86_64Text(const uint8_t* address, char* text, int size, DisRegProc regProc,
                             DisSymProc symProc, int mode);
// The same, written to stream with one fputs.
const uint8_t* disx86_64(const uint8_t* address, FILE* stream, DisRegProc regProc,
                         DisSymProc symProc, int mode);
const uint8_t* disx86_64_16bit_mode(const uint8_t* address, FILE* stream, DisRegProc regProc,
                                    DisSymProc symProc);
const uint8_t* disx86_64_32bit_mode(const uint8_t* address, FILE* stream, DisRegProc regProc,
                                    DisSymProc symProc);
const uint8_t* disx86_64_64bit_mode(const uint8_t* address, FILE* stream, DisRegProc regProc,
                                    DisSymProc symProc);
