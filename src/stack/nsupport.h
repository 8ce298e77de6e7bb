// Execution engine: the primitive failure and commit protocol (declared with the primitive
// utilities in mman/mmPrimUtil.h, implemented here), and the run-time routines the glue calls.
// Owns CStack, CFrame, contextOnTop. Prefix: none (failPrimitive, commitPrimitive...).
#pragma once
#include <cstdint>

#include "mman/mmObject.h"
#include "mman/mmPrimUtil.h"

// Called once a failure is laid on a built frame, before native code is entered at the
// failure code; null in the engine. Tests that run primitives outside native code set it and
// do not return from it.
extern void (*frameFailureHook)(oop errorOop, uint64_t numArgs);
// Builds nmethod's frame below the running segment's sp as its prologue would, with result on
// top and resumePc as the address to resume at.
void commitPrimitiveFrame(oop result, uint64_t nmethod, uint64_t resumePc);
// The top of a context's stack (0: the word above the current segment's sp, where a commit
// leaves its result); a primitive rereads what it committed there after a collection.
oop topOfStack(oop context);

// Delivers the result of a primitive finished elsewhere to the suspended process of the
// context: into its stack top; with restart, the failure code runs with it as the error.
void asynchReCommitOrFailPrimitive(oop context, oop result, int restartFlag);
// A suspended context that would run its primitive again resumes after it instead.
bool methodBeginsWithPrimitiveMarker(oop method);
void convertRestartToReturn(oop context);

// A pointer object of the class made for the run time: eden, then new space, then old
// space, nil-filled; when all are full the allocation failure is fatal, naming what.
ObjectHeader* newRunTimeObject(uint32_t classTag, uint64_t namedSlots, uint64_t indexedSlots, const char* what);

// Calls a C function of the receiver and n (below 32) separate arguments; 0 for more.
oop callWithReceiverAndArgs(uint64_t function, oop receiver, const oop* args, uint64_t n);

// The argument count of the user primitive the dispatch last called and the saved sp it was
// called at: an answer that bypasses the glue drops that many words above that sp.
extern uint64_t userPrimitiveArgCount, userPrimitiveSp;

struct PrimEntry;
extern "C" {
// The user-primitive dispatch behind the glue: (function, receiver, r12, r13); the
// many-argument one (function, r12, r13, count), the other arguments above the saved sp.
uint64_t CrtUPrimGlue0(uint64_t function, oop receiver, oop a1, oop a2);
uint64_t CrtUPrimGlue1(uint64_t function, oop receiver, oop a1, oop a2);
uint64_t CrtUPrimGlue2(uint64_t function, oop receiver, oop a1, oop a2);
uint64_t CrtUPrimGlue3(uint64_t function, oop receiver, oop a2, oop a3);
uint64_t CrtUPrimGlueMany(uint64_t function, oop last2, oop last, uint64_t n);
// The primitive of entry run from its method's built frame (glue rtCarefulCallPrim, entry in
// rbx, called by the stub at the method's restart point): on an answer the frame is popped
// and the answer goes to its sender in rbx; a failure resumes the frame at its failure code.
// May allocate (the primitive may).
oop CrtCarefulCallPrim(const PrimEntry* entry);
void CrtEndLoop();
// Translated code met an invalid bytecode at index: badBytecodeAt: goes to the top frame's
// method; without that selector the stacks are dumped and the system stops.
void CrtBadBytecode(uint64_t index);
}
