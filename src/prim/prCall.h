// C interface: the external-call primitives: a call described by its arguments (337) or by
// the calling ExternalMethod's slots (395), user primitives (375, 394), the image's offsets
// and C classes (334, 336), and linking on first use. Owns calloutResult, calloutIsLongComp,
// the named objects of external calls and unlinkedCallSelectorX. Prefix: none (initCPrimitives).
#pragma once
#include <cstdint>

#include "mman/mmObject.h"

// The preallocated result object (nil for a result kind that has none) of the C call in
// progress on the engine thread; 0 when none runs. While it is set, a fault is the call's.
extern oop calloutResult;
extern uint32_t calloutIsLongComp;  // the call in progress announced a long computation (flag 8)

extern uint32_t catchExternalCallErrors;          // named "catchExternalCallErrors"
extern int64_t externalMethodInstVarOffset;       // named "ExternalMethodInstVarOffset"; -1 unset
extern int64_t userPrimitiveMethodInstVarOffset;  // named "UserPrimitiveMethodInstVarOffset"
extern int64_t unlinkedCallSelectorX;             // registry slot of the unlinked-call selector

// ExternalMethod slots from the offset k, and the flags of a call.
enum : uint32_t {
  emHandle = 0,             // an integer address, or nil until linked
  emFlags = 1,              // SmallInteger
  emKinds = 2,              // ByteArray: result kind, then the argument kinds
  emStructArgBytes = 3,     // SmallInteger: bytes of the structs passed by value
  emStructResultBytes = 4,  // SmallInteger: bytes of a struct result
  emResultClass = 5,        // class of pointer and struct results
  emResultDescriptor = 6,   // the result's type descriptor
  emHandleTable = 7,        // nil, or (class, handle) pairs
  emSlotCount = 8,
};
//   bit  61                 8..7           6          3
//      +-------------+----+-------------+---------+---+------+---+
//      | struct regs | .. | allegiance  | threaded| ..| long | ..|
//      +-------------+----+-------------+---------+---+------+---+
enum : uint64_t {
  callFlagLong = 0x08,
  callFlagThreaded = 0x40,
  callFlagStructInRegisters = uint64_t(1) << 61,
};

// Registers the named objects, the C support primitives and the external-call primitives.
void initCPrimitives();

// ---- What both platforms' call-outs share ----------------------------------------------------
struct CallErrorRecord;
// A number argument as a double: SmallInteger, SmallDouble, Double or Float; false otherwise.
bool calloutNumberAsDouble(oop arg, double* out);
// Argument i (0-based) of n, the first n - trailing in the words at base (reversed), the rest
// in the running segment's argument slots.
oop calloutArgumentAt(const uint64_t* base, uint64_t n, uint64_t trailing, uint64_t i);
// Notes "no memory" (-13, the error table's entry 1) in record; answers 0.
oop calloutNoMemory(CallErrorRecord* record);
// calloutResult is a heap object with (pointers) or without pointer slots.
bool calloutHasResultObject(bool pointers);
// The results as objects: an address (also left in a pointer result object's first slot), a
// double (a SmallDouble where it has one, else the preallocated Double filled, else a new one)
// and a float (the preallocated Float filled, else a new one); 0 with record noted when no
// object could be had.
oop calloutPointerResult(uint64_t address, CallErrorRecord* record);
oop calloutDoubleResult(double d, CallErrorRecord* record);
oop calloutFloatResult(float f, CallErrorRecord* record);
// A threaded call's object argument made safe for a worker: the bytes' holder moved to fixed
// space; a string's own bytes in *out (with *done set). False when it cannot be made safe.
bool calloutThreadedAddress(oop arg, uint64_t* out, bool* done);
