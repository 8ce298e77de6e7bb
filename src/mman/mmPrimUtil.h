// Primitive utilities that primitive code of every layer uses: the failure and commit protocol,
// class membership, integer objects to C integers, error objects carrying a value.
// Owns no global record. Prefix: none (failPrimitive, commitPrimitive, isKindOf, oopToQ32, ...).
#pragma once
#include <cstdint>

#include "mman/mmObject.h"

// ---- The primitive protocol -------------------------------------------------------------
// How a primitive's C function answers its glue. The execution engine implements it
// (src/stack/nsupport.cpp): failing and committing lay out native frames.

// The value a primitive's C function returns to its glue after the failure was laid out:
// with a pending primitive, the receiver (0-2 arguments: the glue's return enters the short
// failure path pushed here) or 0 (3 or more: the glue's own failure path); without one (the
// frame is built), it does not return: the frame resumes at its first non-primitive pc.
oop failPrimitive(oop errorOop, uint64_t numArgs);
// What the failPrimitive call that a primitive already made answered, for a primitive that
// returns after a helper failed it: the glue's failure paths expect that very word.
oop primFailureAnswer();
// Builds the pending primitive's frame so that the process resumes at the primitive return
// point with result; without a pending primitive the result replaces the word above sp.
void commitPrimitive(oop result);
// As commitPrimitive, but resuming runs the primitive again.
void commitPrimitiveWithRestart(oop result);
// commitPrimitive, then serve the pending requests; answers the word above the (possibly
// other) current segment's sp.
oop commitPrimitiveAndHandleRequests(oop result);

// ---- Class membership, integers and error objects ------------------------------------------

// 1 when the object's class is cls or inherits from it; 0 when cls is nil.
int isKindOf(oop object, oop cls);
// 1 when cls is one of the given classes or inherits from one; a match on nil answers 0.
int inheritsFrom1(oop cls, oop c1);
int inheritsFrom2(oop cls, oop c1, oop c2);
int inheritsFrom3(oop cls, oop c1, oop c2, oop c3);
int inheritsFrom4(oop cls, oop c1, oop c2, oop c3, oop c4);

// Integer objects to C integers: 1 and *out set when the object is an integer in range.
int oopToQ32(oop object, uint32_t* out);   // SmallInteger 0 .. 2^32-1
int oopToSq32(oop object, int32_t* out);   // SmallInteger -2^31 .. 2^31-1
int oopToQ31(oop object, uint32_t* out);   // SmallInteger 0 .. 2^31-1
int oopToQ64(oop object, uint64_t* out);   // SmallInteger >= 0, or 5..8-byte LargePositive
int oopToQ63(oop object, uint64_t* out);   // oopToQ64 below 2^63
int oopToSq64(oop object, int64_t* out);   // any integer object in -2^63 .. 2^63-1

// The error (a PrimErrorTable entry) itself when it is immediate or not a pointer object,
// when value is 0, or when no copy can be made; else a copy whose slot 0 is value.
oop cloneErrorWith(oop error, oop value);

// What a failed call-out, threaded call or fault leaves: code is 0 (bad argument), a
// negative SmallInteger -n (PrimErrorTable entry n-1), a positive SmallInteger, or an
// error object; the values are raw C integers.
struct CallErrorRecord {
  oop code;         // as above
  uint64_t value1;  // first value (argument position, errno, signal, ...)
  uint64_t value2;  // second value (faults only)
};
enum : int64_t { callErrorFault = -141 };
oop cloneCallCError(const CallErrorRecord* record);
