// The bytecode set, one row per opcode range, every byte covered in order: the translation
// loop dispatches on it, measures instructions and checks prefixes with it, and mkimage writes
// and lists methods with it. Prefix bc.
#pragma once

#include <array>
#include <cstdint>

// How an instruction's operands are read. v1 and v2 are the first and second operand in the
// order the bytes hold them; b1 and b2 are the bytes after the opcode, ext1 and ext2 the values
// of the prefixes before it, in order.
enum BcOperands : uint8_t {
  bcoNone,       // none
  bcoOpcode,     // v1 = opcode - the row's first
  bcoShortJump,  // v1 = opcode - the row's first + 1, the distance from the next instruction
  bcoSend0,      // v1 = 0 arguments, v2 = literal opcode - the row's first
  bcoSend1,      // v1 = 1 argument, v2 as bcoSend0
  bcoSend2,      // v1 = 2 arguments, v2 as bcoSend0
  bcoPrefix,     // v1 = b1 (two bytes) or b1 x 256 + b2 (three bytes): the next ext
  bcoByte,       // v1 = b1
  bcoExtByte,    // v1 = ext1 x 256 + b1
  bcoSelector,   // v1 = b1 >> 5 arguments, v2 = literal b1 & 31
  bcoNibbles,    // v1 = temp b1 >> 4, v2 = slot b1 & 15
  bcoJump,       // v1 = (opcode & 3) x 256 + b1 + ext1 x 1024 from the next instruction
  bcoLoopEnd,    // v1 = -((4 - (opcode & 3)) x 256 - b1 + ext1 x 1024), backwards from the next
  bcoInt16,      // v1 = b1 b2 as signed 16 bits, moved ext1 x 32768 away from zero
  bcoPair,       // v1 = b1 + ext2 x 256, v2 = b2 + ext1 x 256
  bcoBlock,      // v1 = literal b1 + ext1 x 256, v2 = b2 + ext2 x 256 copied values
};

// X(first, last, name, handler, length, prefixes, operands): the range, the row's name (bcName
// is its first opcode), the translation loop's handler, the length with the operand bytes, the
// most extension prefixes allowed before it, and how its operands are read. Rows that share a
// handler are short and long forms of one instruction. Invalid bytes have length 1; the primitive
// marker FE is read before the loop, which finds it invalid anywhere else.
#define BYTECODES(X)                                                         \
  X(0x00, 0x0F, PushInstVar, PushInstVar, 1, 0, Opcode)                      \
  X(0x10, 0x1B, PushTemp, PushTemp, 1, 0, Opcode)                            \
  X(0x1C, 0x2B, PushLiteral, PushLiteral, 1, 0, Opcode)                      \
  X(0x2C, 0x33, Unused2C, Invalid, 1, 0, None)                               \
  X(0x34, 0x3F, PushLiteralValue, PushLiteralValue, 1, 0, Opcode)            \
  X(0x40, 0x40, Nop, Nop, 1, 0, None)                                        \
  X(0x41, 0x43, Unused41, Invalid, 1, 0, None)                               \
  X(0x44, 0x44, PushSelf, PushSelf, 1, 0, None)                              \
  X(0x45, 0x45, PopPushSelf, PopPushSelf, 1, 0, None)                        \
  X(0x46, 0x48, PushConstant, PushConstant, 1, 0, Opcode)                    \
  X(0x49, 0x4B, PushSmallInt, PushSmallInt, 1, 0, Opcode)                    \
  X(0x4C, 0x53, PopIntoTemp, PopIntoTemp, 1, 0, Opcode)                      \
  X(0x54, 0x54, PushThisContext, PushThisContext, 1, 0, None)                \
  X(0x55, 0x55, Unused55, Invalid, 1, 0, None)                               \
  X(0x56, 0x57, PopPushTemp, PopPushTemp, 1, 0, Opcode)                      \
  X(0x58, 0x5F, StoreInstVar, StoreInstVar, 1, 0, Opcode)                    \
  X(0x60, 0x60, ReturnSelf, ReturnSelf, 1, 0, None)                          \
  X(0x61, 0x61, Unused61, Invalid, 1, 0, None)                               \
  X(0x62, 0x64, ReturnConstant, ReturnConstant, 1, 0, Opcode)                \
  X(0x65, 0x65, ReturnTop, ReturnTop, 1, 0, None)                            \
  X(0x66, 0x66, Pop, Pop, 1, 0, None)                                        \
  X(0x67, 0x67, LoopHead, LoopHead, 1, 0, None)                              \
  X(0x68, 0x68, Dup, Dup, 1, 0, None)                                        \
  X(0x69, 0x69, PopDup, PopDup, 1, 0, None)                                  \
  X(0x6A, 0x6A, PopAlt, Pop, 1, 0, None) /* where the short jumps count */   \
  X(0x6B, 0x6F, JumpShort, Jump, 1, 0, ShortJump)                            \
  X(0x70, 0x7F, Send0, Send, 1, 0, Send0)                                    \
  X(0x80, 0x8F, Send1, Send, 1, 0, Send1)                                    \
  X(0x90, 0x97, Send2, Send, 1, 0, Send2)                                    \
  X(0x98, 0x9F, SelfSend0, SelfSend, 1, 0, Send0)                            \
  X(0xA0, 0xBF, SendSpecial, SendSpecial, 1, 0, Opcode)                      \
  X(0xC0, 0xC7, BranchFalseShort, BranchFalse, 1, 0, ShortJump)              \
  X(0xC8, 0xC8, PushOneSendPlus, PushOneSendPlus, 1, 0, None)                \
  X(0xC9, 0xC9, Prefix, Prefix, 2, 0, Prefix)                                \
  X(0xCA, 0xCA, UnusedCA, Invalid, 1, 0, None)                               \
  X(0xCB, 0xCB, CopyValues, CopyValues, 2, 0, Byte)                          \
  X(0xCC, 0xCC, SendNoCheck, SendNoCheck, 2, 0, Selector)                    \
  X(0xCD, 0xCD, SendNonImmediate, SendNonImmediate, 2, 0, Selector)          \
  X(0xCE, 0xCE, SendSpecialNonImmediate, SendSpecialNonImmediate, 2, 0, Byte) \
  X(0xCF, 0xCF, FullBlock, FullBlock, 2, 1, ExtByte)                         \
  X(0xD0, 0xD0, PushInstVarExt, PushInstVar, 2, 1, ExtByte)                  \
  X(0xD1, 0xD1, PushTempByte, PushTemp, 2, 0, Byte)                          \
  X(0xD2, 0xD2, PushLiteralExt, PushLiteral, 2, 1, ExtByte)                  \
  X(0xD3, 0xD3, PushLiteralValueExt, PushLiteralValue, 2, 1, ExtByte)        \
  X(0xD4, 0xD4, NewArray, NewArray, 2, 1, ExtByte)                           \
  X(0xD5, 0xD5, ConsArray, ConsArray, 2, 1, ExtByte)                         \
  X(0xD6, 0xD6, UnusedD6, Invalid, 1, 0, None)                               \
  X(0xD7, 0xD7, PushCharacter, PushCharacter, 2, 1, ExtByte)                 \
  X(0xD8, 0xD8, PushSmallIntByte, PushSmallInt, 2, 0, Byte)                  \
  X(0xD9, 0xD9, PushIndirect, PushIndirect, 2, 0, Nibbles)                   \
  X(0xDA, 0xDA, StoreInstVarExt, StoreInstVar, 2, 1, ExtByte)                \
  X(0xDB, 0xDB, PopIntoTempByte, PopIntoTemp, 2, 0, Byte)                    \
  X(0xDC, 0xDC, StoreIndirect, StoreIndirect, 2, 0, Nibbles)                 \
  X(0xDD, 0xDD, UnusedDD, Invalid, 1, 0, None)                               \
  X(0xDE, 0xDE, NonLocalReturn, NonLocalReturn, 2, 1, ExtByte)               \
  X(0xDF, 0xDF, SendSpecialNoCheck, SendSpecialNoCheck, 2, 0, Byte)          \
  X(0xE0, 0xE3, LoopEnd, LoopEnd, 2, 1, LoopEnd)                             \
  X(0xE4, 0xE7, Jump, Jump, 2, 1, Jump)                                      \
  X(0xE8, 0xEB, BranchFalse, BranchFalse, 2, 1, Jump)                        \
  X(0xEC, 0xEF, BranchTrue, BranchTrue, 2, 1, Jump)                          \
  X(0xF0, 0xF0, SendSpecialByte, SendSpecial, 2, 0, Byte)                    \
  X(0xF1, 0xF1, SendByte, Send, 2, 0, Selector)                              \
  X(0xF2, 0xF2, SuperSend, SuperSend, 2, 0, Selector)                        \
  X(0xF3, 0xF3, SendNonImmediatePair, SendNonImmediate, 3, 2, Pair)          \
  X(0xF4, 0xF4, SendNoCheckPair, SendNoCheck, 3, 2, Pair)                    \
  X(0xF5, 0xF5, PushIndirectPair, PushIndirect, 3, 2, Pair)                  \
  X(0xF6, 0xF6, StoreIndirectPair, StoreIndirect, 3, 2, Pair)                \
  X(0xF7, 0xF7, FullCopyingBlock, FullCopyingBlock, 3, 2, Block)             \
  X(0xF8, 0xF8, PrefixWord, Prefix, 3, 0, Prefix)                            \
  X(0xF9, 0xF9, PushSmallInt16, PushSmallInt, 3, 1, Int16)                   \
  X(0xFA, 0xFA, CopyingBlock, CopyingBlock, 3, 2, Block)                     \
  X(0xFB, 0xFB, UnusedFB, Invalid, 1, 0, None)                               \
  X(0xFC, 0xFC, SendPair, Send, 3, 2, Pair)                                  \
  X(0xFD, 0xFD, SuperSendPair, SuperSend, 3, 2, Pair)                        \
  X(0xFE, 0xFE, PrimitiveMarker, Invalid, 1, 0, None)                        \
  X(0xFF, 0xFF, UnusedFF, Invalid, 1, 0, None)

// Each row's first opcode by name: bcPushInstVar, bcPushInstVarExt, ...
enum BcOpcode : uint8_t {
#define BC_OPCODE(first, last, name, handler, length, prefixes, operands) bc##name = first,
  BYTECODES(BC_OPCODE)
#undef BC_OPCODE
};

// One opcode's row.
struct BcInfo {
  uint8_t first;        // the row's first opcode
  uint8_t length;       // bytes with the operands
  uint8_t prefixes;     // most extension prefixes allowed before it
  BcOperands operands;  // how they are read
  bool valid;           // a row with a handler other than Invalid
};

constexpr bool bcSameName(const char* a, const char* b) {
  while (*a && *a == *b) a++, b++;
  return *a == *b;
}

struct BcRow {
  int first, last;
  BcInfo info;
};

inline constexpr BcRow bcRows[] = {
#define BC_ROW(first, last, name, handler, length, prefixes, operands) \
  {first, last, {first, length, prefixes, bco##operands, !bcSameName(#handler, "Invalid")}},
    BYTECODES(BC_ROW)
#undef BC_ROW
};

constexpr bool bcRowsCoverEveryByte() {
  int next = 0;
  for (const BcRow& r : bcRows) {
    if (r.first != next || r.last < r.first) return false;
    next = r.last + 1;
  }
  return next == 256;
}
static_assert(bcRowsCoverEveryByte(), "the rows cover every byte, in order");

inline constexpr std::array<BcInfo, 256> bcInfo = [] {
  std::array<BcInfo, 256> t{};
  for (const BcRow& r : bcRows) {
    for (int op = r.first; op <= r.last; op++) t[size_t(op)] = r.info;
  }
  return t;
}();

inline bool bcIsPrefix(uint8_t op) { return bcInfo[op].operands == bcoPrefix; }

// The two operands of instruction op with bytes b1 b2 after it and prefix values ext1, ext2.
struct BcValues {
  int64_t v1, v2;
};

inline BcValues bcDecode(uint8_t op, uint32_t b1, uint32_t b2, uint32_t ext1, uint32_t ext2) {
  const BcInfo& i = bcInfo[op];
  int64_t rel = int64_t(op) - i.first;
  switch (i.operands) {
    case bcoNone: return {0, 0};
    case bcoOpcode: return {rel, 0};
    case bcoShortJump: return {rel + 1, 0};
    case bcoSend0: return {0, rel};
    case bcoSend1: return {1, rel};
    case bcoSend2: return {2, rel};
    case bcoPrefix: return {i.length == 2 ? int64_t(b1) : int64_t(b1 << 8 | b2), 0};
    case bcoByte: return {b1, 0};
    case bcoExtByte: return {int64_t(ext1) * 256 + b1, 0};
    case bcoSelector: return {b1 >> 5, b1 & 31};
    case bcoNibbles: return {b1 >> 4, b1 & 15};
    case bcoJump: return {int64_t(op & 3) * 256 + b1 + int64_t(ext1) * 1024, 0};
    case bcoLoopEnd: return {-((4 - int64_t(op & 3)) * 256 - int64_t(b1) + int64_t(ext1) * 1024), 0};
    case bcoInt16: {
      int64_t v = int16_t(uint16_t(b1 << 8 | b2));
      return {v >= 0 ? v + int64_t(ext1) * 32768 : v - int64_t(ext1) * 32768, 0};
    }
    case bcoPair: return {b1 + int64_t(ext2) * 256, b2 + int64_t(ext1) * 256};
    case bcoBlock: return {b1 + int64_t(ext1) * 256, b2 + int64_t(ext2) * 256};
  }
  return {0, 0};
}
