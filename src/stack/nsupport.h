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
// The C routines behind the glue's run-time entries (GLUE_ENTRIES in stack/glue.h gives each
// entry's registers). Each runs on the C stack with rsp/rbp parked on the running segment and
// leaves through the glue, which returns to the address on top of the saved stack of the
// segment current then (a routine that sends pushes the method's entry there). "May
// allocate" includes a scavenge or a global collection; "may translate" includes allocating
// in and compacting the code zone.
extern "C" {
// rtUPrimGlue0..Many, the user-primitive dispatch: r15 the function, rbx receiver, r12 r13;
// the many-argument one (function, r12, r13, count), the other arguments above the saved sp.
// Answers the primitive's result for rbx, or 0 for the glue's failure path. May allocate.
uint64_t CrtUPrimGlue0(uint64_t function, oop receiver, oop a1, oop a2);
uint64_t CrtUPrimGlue1(uint64_t function, oop receiver, oop a1, oop a2);
uint64_t CrtUPrimGlue2(uint64_t function, oop receiver, oop a1, oop a2);
uint64_t CrtUPrimGlue3(uint64_t function, oop receiver, oop a2, oop a3);
uint64_t CrtUPrimGlueMany(uint64_t function, oop last2, oop last, uint64_t n);
// The primitive of entry run from its method's built frame (glue rtCarefulCallPrim, entry in
// rbx, called by the stub at the method's restart point): on an answer the frame is popped
// and the answer goes to its sender in rbx; a failure resumes the frame at its failure code.
// May allocate and translate (the primitive may).
oop CrtCarefulCallPrim(const PrimEntry* entry);
// rtEndLoop: a loop's stack check failed. Restores the stack limit and serves the pending
// requests (interrupts, process switches: the glue then returns into another segment). May
// allocate and translate.
void CrtEndLoop();
// rtAbortSend, rtAbortPrimFail (r15 the primitive's error): a prologue's stack check failed.
// Finishes the frame the prologue left half built (temporaries, the error), then serves the
// pending requests; the method resumes after its prologue. May allocate and translate.
void CrtAbortSend();
void CrtAbortPrimFail(oop error);
// Translated code met an invalid bytecode at index (glue rtBadBytecode, index in rbx):
// badBytecodeAt: goes to the top frame's method; without that selector the stacks are
// dumped and the system stops. May translate.
void CrtBadBytecode(uint64_t index);
// Objects for the running method, answered in rbx; each may allocate (nil-filled, eden first).
// rtCreateArray: r12 the size in bytes (the glue passes slots). rtConsArray: rbx the count of
// values stacked under the return address, which are popped into the Array (the first pushed
// first). rtMakeCopyingBlock1: rbx method, r12 the one copied value. rtMakeCopyingBlock,
// rtMakeFullCopyingBlock: rbx method, r12 the count of stacked copied values, popped.
// rtMakeFullBlock: rbx method; the full blocks' outer context is the frame's (made if need be).
oop CrtCreateArray(uint64_t n);
oop CrtConsArray(uint64_t n);
oop CrtMakeCopyingBlock1(oop method, oop value);
oop CrtMakeCopyingBlock(oop method, uint64_t n);
oop CrtMakeFullBlock(oop method);
oop CrtMakeFullCopyingBlock(oop method, uint64_t n);
// rtCheckStore: r12 holder, rbx the value stored in it. Remembers an old holder of a new
// value and keeps the incremental collector's invariant; allocates nothing in the heap.
void CrtCheckStore(oop holder, oop value);
// rtNotBoolean (rbx the value), rtNotBooleanTrue/False (rbx the value less true or false),
// r9 the bytes from the branch's resume pc back to its test: sends mustBeBoolean and runs the
// branch again on the answer; does not return. May translate.
void CrtNotBoolean(oop value, uint64_t backUp);
void CrtNotBooleanTrue(oop value, uint64_t backUp);
void CrtNotBooleanFalse(oop value, uint64_t backUp);
// rtAttemptToAssign: r12 an immutable holder, rbx value, r9 the 0-based slot index. Sends
// the read-only assignment selector with the value and the 1-based index; does not return.
// May translate.
void CrtAttemptToAssign(oop object, oop value, uint64_t index);
// rtMethodReturn: rbx result, r12 the depth of block nesting to the home. Returns to the
// home's sender, through unwind contexts (the unwind selector) or cannotReturn: (the glue's
// cantReturn) when the home is dead; answers the result for rbx. May allocate and translate.
oop CrtMethodReturn(oop result, uint64_t depth);
}
