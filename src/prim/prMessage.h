// C interface: message sends from C code running on the engine thread, run to completion in
// a nested run of translated code (the oe and UP send families and the send delegate); the
// system-ready (370), send-class (380), return (381) and callback registration (383, 1050)
// primitives. Owns cSendClassX, cSendSelectorX, the request slot indices, returningRequest, the
// callback registry indices and the delegate. Prefix: oe, UP (exported), none
// (basicOeSendMessageMany, sendMessageWithArgs, initMessagePrimitives).
#pragma once
#include <cstdint>

#include "mman/mmObject.h"
#include <tessel/oe.h>

// Registry slots of the callback class, its selectors and Semaphore (-1 until primitive
// 383 registers them).
extern int64_t callbackClassX, callbackSelectorX, nbCallbackSelectorX, callbackSemaphoreX;

// basicOeSendMessageMany (include/tessel/oe.h): a send of selector to receiver with the
// arguments (an Array) from C code on the engine thread: the answer, failValue when the send
// cannot be made (what it did undone), 0 on another thread. resultPtr (may be null) gives the
// request's result slot its start value and receives it at the end. Objects held across it by
// the caller may have moved.
// The same (through the delegate when it is active) with argc arguments from argv in a new
// Array; 0 off the engine thread, for argc < 0, a null argv with arguments, or no room for
// the Array.
oop sendMessageWithArgs(oop receiver, oop selector, const oop* argv, int32_t argc, oop* resultPtr, oop failValue);
// The exported families (oeSendMessage*, oeCSendMessage*, their UP twins, the delegate) are
// declared in include/tessel/oe.h.

// Registers 370, 380, 381, 383 and 1050, then the callback primitives.
void initMessagePrimitives();
