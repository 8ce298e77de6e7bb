// Windows layer: COM calls (389, 390), COM objects whose method tables are stubs into the
// dispatcher (487, 488), the registeredArray (489). Owns the COM registry slots and
// comSendHook. Prefix: none (initCOMPrimitives, comMethodDispatch, registeredArrayAt, ...).
#pragma once
#include <cstdint>

#include "mman/mmObject.h"

extern int64_t comDescriptorClassX, comDescriptorSlot, comInterfaceSlot, registeredArrayX;

// The send a COM method makes (basicOeSendMessageMany; tests put their own in).
extern oop (*comSendHook)(oop receiver, oop selector, oop arguments, oop* resultPtr, oop failValue);

struct ComResult {
  uint64_t rax, xmm0;
};

extern "C" {
// The stubs' shared entry (ntCallOut.S): r10 the record; spills the register arguments.
void comStubEntry();
// Arguments: the record, the argument words (home slots, then the caller's stack words), the
// spilled xmm0-3; the result's rax and xmm0 words go to result.
void comMethodDispatch(const uint8_t* record, const uint64_t* words, const uint64_t* xmm, ComResult* result);
}

oop registeredArrayAt(int64_t index);           // nil when none is there
int64_t registeredArrayRelease(int64_t index);  // the new count; 0 when nothing changed
void initCOMPrimitives();
void initRegisteredArrayPrimitive();
