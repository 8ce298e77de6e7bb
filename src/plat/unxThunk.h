// Unix layer: callback thunks: generated entries whose address C calls like a function,
// carved from an executable arena, and the send they make. Owns the thunk arena and
// thunkSendHook. Prefix: pd (pdThunkCreate, pdThunkDestroy); none (thunkArgumentObject).
#pragma once
#include <cstdint>

#include "mman/mmObject.h"

// CallbackThunk, 5 x argc + 41 bytes; its address is the C function pointer:
//   0-19   movabs r11, entry; lea r10, [rip - 0x11] (r10 = the thunk); jmp r11
//   20     single-precision bits: bit k set = the k-th floating argument is a float
//   21     floating arguments held in registers (kinds 8 and 9, up to 8)
//   22     argc
//   23     the result's struct pattern when its kind is 40 (else 0)
//   24-27  total argument bytes (the declared sizes of arguments 1..argc)
//   36+4i  declared size of entry i (0 the result)
//   40+4argc+i  kind of entry i; a struct of at most 16 bytes that travels in registers is 40
enum : uint32_t {
  thunkCodeBytes = 20,
  thunkSingles = 20,
  thunkFloatCount = 21,
  thunkArgc = 22,
  thunkResultPattern = 23,
  thunkTotalBytes = 24,
  thunkSizes = 36,
};
inline uint32_t thunkBytes(uint32_t argc) { return 5 * argc + 41; }
inline uint32_t thunkSizeOf(const uint8_t* thunk, uint32_t i) {
  return *reinterpret_cast<const uint32_t*>(thunk + thunkSizes + 4 * i);
}
inline uint8_t thunkKindOf(const uint8_t* thunk, uint32_t i) { return thunk[40 + 4 * thunk[thunkArgc] + i]; }

// The send a callback makes on the engine thread (UPSendMessage2; tests put a double in).
extern oop (*thunkSendHook)(oop receiver, oop selector, oop a1, oop a2, oop* resultPtr, oop failValue);

// The callback's arguments packed at their declared sizes into a new C-data object, from the
// saved integer words, stack arguments and SSE slots; nil when a kind and its size disagree
// or a kind cannot be taken, 0 when no space is left.
oop thunkArgumentObject(const uint8_t* thunk, const uint64_t* ints, const uint64_t* stackArgs, const uint8_t* sse);
