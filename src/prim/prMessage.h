// C interface: message sends from C code running on the engine thread, run to completion in
// a nested run of translated code; the send-class (380), return (381) and callback
// registration (383, 1050) primitives. Owns cSendClassX, cSendSelectorX, the request slot
// indices, returningRequest and the callback registry indices. Prefix: UP (exported),
// none (basicOeSendMessageMany, sendMessageWithArgs, initMessagePrimitives).
#pragma once
#include <cstdint>

#include "mman/mmObject.h"

// Registry slots of the callback class, its selectors and Semaphore (-1 until primitive
// 383 registers them).
extern int64_t callbackClassX, callbackSelectorX, nbCallbackSelectorX, callbackSemaphoreX;

// A send of selector to receiver with the arguments (an Array) from C code on the engine
// thread while a stack runs: the answer, failValue when the send cannot be made, 0 on
// another thread. resultPtr (may be null) gives the request's result slot its start value
// and receives it at the end. Objects held across it by the caller may have moved.
oop basicOeSendMessageMany(oop receiver, oop selector, oop arguments, oop* resultPtr, oop failValue);
// The same with argc arguments from argv in a new Array; 0 for argc < 0, a null argv with
// arguments, or no room for the Array.
oop sendMessageWithArgs(oop receiver, oop selector, const oop* argv, int32_t argc, oop* resultPtr, oop failValue);
extern "C" oop UPSendMessage2(oop receiver, oop selector, oop a1, oop a2, oop* resultPtr, oop failValue);

// Registers 380, 381, 383 and 1050, then the callback primitives.
void initMessagePrimitives();
