// Test support: the indexed-access primitives' cases as data, {primitive, receiver,
// arguments} -> answer or failure code, built on the current test heap and replayed in
// order (stores are followed by the reads that see them). The translated primitives must
// answer every case alike.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "mman/mmObject.h"

// An expected outcome: an answer, or a failure with a PrimErrorTable code (or nil's error).
struct Expect {
  bool fails;
  oop answer;  // when !fails
  int code;    // when fails: the table entry, or -1 for nil as the error object
};
inline Expect ans(oop v) { return {false, v, 0}; }
inline Expect code(int c) { return {true, 0, c}; }
inline Expect nilError() { return {true, 0, -1}; }

struct PrimCase {
  uint32_t prim;
  oop rcv;
  std::vector<oop> args;
  Expect expect;
  std::string what;
};

inline oop si(int64_t v) { return smallIntegerFor(v); }
inline oop ch(uint64_t c) { return characterFor(c); }
// Old objects: bytes of a byte class; slots of a pointer class with named of them named.
oop oldBytes(uint32_t classIndex, const std::vector<uint8_t>& data);
oop oldSlots(uint32_t classIndex, uint64_t named, const std::vector<oop>& slots);

// Slot access (60-62, 73, 74, 160-162, 173, 174) over every pointer format.
std::vector<PrimCase> slotAccessCases();
// Bytes with 0-7 odd bytes, extended, large and fixed bodies, characters, two-byte units.
std::vector<PrimCase> byteAndUnitCases();
// Machine integers at byte offsets (540-547, 552-555).
std::vector<PrimCase> byteOffsetCases();
// Searches, comparison, replace-first, paged tables, symbol search, byte equality.
std::vector<PrimCase> searchAndTableCases();
// The range copies' refusals and their empty copies (105, 414, 450, 558, 559).
std::vector<PrimCase> rangeCopyFailureCases();
