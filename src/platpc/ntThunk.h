// Windows layer: callback thunks and the code arenas they are carved from.
// Owns no global record here (see ntThunk.cpp). Prefix: winThunk, codeArena.
#pragma once
#include <cstdint>

#include "mman/mmObject.h"

// CallbackThunk, (argc + 1) x 5 + 36 bytes; its address is the C function pointer:
//   0-19   movabs r11, thunkProcessHelper; lea r10, [rip - 0x11] (r10 = the thunk); jmp r11
//   20     floating bits: bit i set when argument i+1 (positions 0-3) is a float or a double
//   21     argc
//   24-27  total argument bytes (the declared sizes of arguments 1..argc)
//   36+4i  declared size of entry i (0 the result)
//   40+4argc+i  kind of entry i; a struct of 0, 1, 2, 4 or 8 bytes is 40 (in one word)
enum : uint32_t {
  thunkCodeBytes = 20,
  winThunkFloatBits = 20,
  winThunkArgc = 21,
  winThunkTotalBytes = 24,
  winThunkSizes = 36,
};
inline uint32_t winThunkBytes(uint32_t argc) { return (argc + 1) * 5 + 36; }
inline uint32_t winThunkSizeOf(const uint8_t* thunk, uint32_t i) {
  return *reinterpret_cast<const uint32_t*>(thunk + winThunkSizes + 4 * i);
}
inline uint8_t winThunkKindOf(const uint8_t* thunk, uint32_t i) { return thunk[40 + 4 * thunk[winThunkArgc] + i]; }

struct WinThunkResult {
  uint64_t rax, xmm0;
};

extern "C" {
void thunkProcessHelper();
void thunkProcess(const uint8_t* thunk, const uint64_t* words, WinThunkResult* result);
}

// The send a callback makes on the engine thread (UPSendMessage2; tests put their own in).
extern oop (*winThunkSendHook)(oop receiver, oop selector, oop a1, oop a2, oop* resultPtr, oop failValue);
// The callback's arguments packed at their declared sizes into a new C-data object; nil when
// a kind cannot be taken at its size, 0 when no space is left.
oop winThunkArgumentObject(const uint8_t* thunk, const uint64_t* words);

// Executable blocks: null when no arena has room (a request above 131000 bytes gets no new
// arena once the arena size is fixed); a freed block that ends at its arena's tail goes back
// to it. codeArenaTail answers the tail offset of the arena holding a block (tests).
void* codeArenaAlloc(uint64_t bytes);
void codeArenaFree(void* block);
void codeArenaRegister(void* region, uint64_t bytes);
uint64_t codeArenaTail(void* block);
