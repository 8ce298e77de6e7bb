// Test support: runs generated code natively (Linux x86-64 only) in a low executable buffer.
// A thunk loads every register but rsp (and the flags) from a RegFile, calls the code, and
// stores them back; the code must return with ret and keep rsp balanced.
#pragma once

#include <cstdint>

struct RegFile {
  uint64_t r[16];  // by register number; r[4] (rsp) carries the flags in and out
};

// A fresh code area of 64 KiB below 2 GiB, readable, writable and executable; the thunk
// lives in its first bytes. Answers the first free byte.
uint8_t* nativeCodeArea();
// Lays the native-method zone out afresh in executable memory below 2 GiB (beside the code
// area), with an empty code symbol table, so that stubs made in its permanent area can run.
// The caller keeps the program's zone aside (SavedNMethodZone).
void nativeZone();
// Calls code with the registers of regs and stores them back.
void nativeRun(const uint8_t* code, RegFile& regs);
