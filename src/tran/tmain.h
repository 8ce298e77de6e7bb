// Translator: the method information record and the translator's fatal report.
// Owns tVInfo. Prefix: t (tVInfo, TAbortFunc).
#pragma once

#include <cstdint>

// What the translation of one method knows about it (filled by the unpacking of a method).
struct TVInfo {
  uint64_t method;           // the compiled method
  uint8_t contextReceiver;   // instance variables go through the context routines
  uint8_t isBlock;           // becomes nmethod flag 0x80
  uint8_t isUnwind;          // becomes flag 0x20
  uint8_t isHandler;         // becomes flag 0x10
  const uint8_t* bytecodes;  // first bytecode
  const uint8_t* bytecodesEnd;  // one past the last
  uint8_t frameSize;         // words; 0 = frameless
  uint8_t numArgs;
  uint8_t numTemps;
  uint8_t receiverTag;       // 3, 5 or 1 for methods of immediate classes, else 0
  uint8_t primErrorTemp;     // temp receiving a primitive's error, 255 = none
  const uint64_t* literals;  // first literal slot
  uint32_t numLiterals;
  int32_t primitive;         // -1 none; 0x10000 not to be called
};
extern TVInfo tVInfo;

// Per translation: the registry's nil, true and false, and the largest forward distance in
// bytecode bytes for which a short native jump is tried (6 at the start of a translation,
// lowered by one on each retry after a short jump did not reach).
extern uint64_t tNil, tTrue, tFalse;
extern int32_t effectiveMaxVBytesJumpShort;

// Fatal translator failure: the message, the method's particulars and the code so far go to
// stderr, then the engine stops with a panic at file and line. vpc is the bytecode offset or
// -1; codeEnd the end of the code generated so far, or null.
[[noreturn]] void TAbortFunc(const char* message, int64_t vpc, const uint8_t* codeEnd, const char* file, int line);
