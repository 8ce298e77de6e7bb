// Execution engine: the native/C glue's entries, tables and the C stack level it switches to.
// Entries are machine-code labels: take their address, never call them from C.
// Prefix: rt (entries from generated code), inToNcode/backToNcode (entries from C).
#pragma once
#include <cstdint>

// Every glue entry but the exits below, in one list, with its contract. Columns:
//   name      the entry's label
//   use       how generated code reaches it: rt, a slot of the translator's routine table
//             (tRt) that tests may point at a double; stub, such a slot that a stub in the
//             code zone takes over while translated primitives are on (the entry is then its
//             slow path); no, not through tRt (a glue table, an nmethod field, C, or a label)
//   slot      the tRt field (empty for no)
//   contract  registers in -> result; what the routine behind it may do
// Registers: rbx receiver, value or result; r12 r13 the last two arguments; r9 count, index or
// byte offset; r11 the method class of a super send; r14 the PIC; r15d the selector index (a
// site's immediate), r15 a primitive's C function or error. Every entry that calls C parks
// rsp/rbp on the running segment and returns through the saved stack of whatever segment is
// current afterwards, so C may push an address there to go elsewhere. "translate" below means
// a method lookup that may translate a method, allocate, and compact the code zone; "allocate"
// means it may allocate (and so run a scavenge or a global collection).
#define GLUE_ENTRIES(X)                                                                                      \
  X(rootReturn, no, , "a segment's root frame returned -> resumes the sender context (allocate)")            \
  X(rtBadBytecode, rt, badBytecode, "rbx bytecode index -> sends badBytecodeAt: (translate)")                \
  X(unlinkedSend0, no, , "rbx receiver, r15d selector index -> links the site; runs the method "             \
    "(translate)")                                                                                           \
  X(unlinkedSend1, no, , "as unlinkedSend0, the argument in r12")                                            \
  X(unlinkedSend2, no, , "as unlinkedSend0, arguments in r12 r13")                                           \
  X(unlinkedSend3, no, , "as unlinkedSend0, the first argument stacked, then r12 r13")                       \
  X(unlinkedSendMany, no, , "as unlinkedSend0, r9 arguments, all but the last two stacked")                  \
  X(unlinkedSendNoCheck0, no, , "as unlinkedSend0, the site links to the no-class-check entry")              \
  X(unlinkedSendNoCheck1, no, , "as unlinkedSendNoCheck0, one argument")                                     \
  X(unlinkedSendNoCheck2, no, , "as unlinkedSendNoCheck0, two arguments")                                    \
  X(unlinkedSendNoCheck3, no, , "as unlinkedSendNoCheck0, three arguments")                                  \
  X(unlinkedSendNoCheckMany, no, , "as unlinkedSendNoCheck0, r9 arguments")                                  \
  X(unlinkedSendNonImmediate0, no, , "as unlinkedSend0, the receiver known to be an object")                 \
  X(unlinkedSendNonImmediate1, no, , "as unlinkedSendNonImmediate0, one argument")                           \
  X(unlinkedSendNonImmediate2, no, , "as unlinkedSendNonImmediate0, two arguments")                          \
  X(unlinkedSendNonImmediate3, no, , "as unlinkedSendNonImmediate0, three arguments")                        \
  X(unlinkedSendNonImmediateMany, no, , "as unlinkedSendNonImmediate0, r9 arguments")                        \
  X(unlinkedSendSuper0, no, , "as unlinkedSend0, r11 the method class to look up above")                     \
  X(unlinkedSendSuper1, no, , "as unlinkedSendSuper0, one argument")                                         \
  X(unlinkedSendSuper2, no, , "as unlinkedSendSuper0, two arguments")                                        \
  X(unlinkedSendSuper3, no, , "as unlinkedSendSuper0, three arguments")                                      \
  X(unlinkedSendSuperMany, no, , "as unlinkedSendSuper0, r9 arguments")                                      \
  X(rtExtendClosedPIC, no, , "rbx receiver, r14 PIC -> a case added or the open PIC; runs the method "       \
    "(translate)")                                                                                           \
  X(rtOpenPICSendMiss, no, , "rbx receiver, r14 open PIC -> runs the method found (translate)")              \
  X(rtMNUFromPIC, no, , "rbx receiver, r12 r13 arguments, r14 PIC -> sends doesNotUnderstand: (allocate, "   \
    "translate)")                                                                                            \
  X(rtPICAbortSendMiss, rt, picAbortSendMiss, "rbx receiver -> jumps where the routine pushed, r15 0 "       \
    "(translate)")                                                                                           \
  X(rtAbortRelinkSendToUnlinked, no, , "rbx receiver -> relinks the site to the current lookup "             \
    "(translate)")                                                                                           \
  X(cantReturn, no, , "rbx value, contextOnTop the context -> sends cannotReturn: (translate)")              \
  X(dnu0, no, , "rbx receiver -> sends doesNotUnderstand: with the pending selector (allocate, translate)")  \
  X(dnu1, no, , "as dnu0, argument in r12")                                                                  \
  X(dnu2, no, , "as dnu0, arguments in r12 r13")                                                             \
  X(dnu3, no, , "as dnu0, arguments r12 r13 over the stacked first")                                         \
  X(dnuMany, no, , "as dnu0, the stacked arguments and r12 r13")                                             \
  X(rtCarefulCallPrim, rt, carefulCallPrim, "rbx PrimEntry -> rbx the primitive's answer (allocate, "        \
    "translate)")                                                                                            \
  X(rtLoadThisContext, rt, loadThisContext, "-> rbx the frame's context (allocate when it has none)")        \
  X(LoadThisContext, no, , "rtLoadThisContext's slow path: -> rbx a new context (allocate)")                 \
  X(rtAbortSend, rt, abortSend, "a prologue's stack check failed -> serves requests, resumes (allocate, "    \
    "translate)")                                                                                            \
  X(rtEndLoop, rt, endLoop, "a loop's stack check failed -> serves requests, resumes (allocate, "            \
    "translate)")                                                                                            \
  X(rtAbortPrimFail, rt, abortPrimFail, "r15 the primitive's error -> as rtAbortSend")                       \
  X(rtNotBoolean, no, , "rbx value, r9 bytes to back up -> sends mustBeBoolean, retries the branch "         \
    "(translate)")                                                                                           \
  X(rtNotBooleanTrue, no, , "as rtNotBoolean, rbx the value less true")                                      \
  X(rtNotBooleanFalse, no, , "as rtNotBoolean, rbx the value less false")                                    \
  X(rtMakeFullBlock, stub, makeFullBlock, "rbx method -> rbx a block on the frame's context (allocate)")     \
  X(rtConsArray, stub, consArray, "rbx count -> rbx an Array of that many stacked values, popped "           \
    "(allocate)")                                                                                            \
  X(rtMakeFullCopyingBlock, stub, makeFullCopyingBlock, "rbx method, r12 count -> rbx a full block over "    \
    "the stacked values (allocate)")                                                                         \
  X(rtMakeCopyingBlock, stub, makeCopyingBlock, "rbx method, r12 count -> rbx a copying block over the "     \
    "stacked values (allocate)")                                                                             \
  X(rtMakeCopyingBlock1, stub, makeCopyingBlock1, "rbx method, r12 value -> rbx a copying block of one "     \
    "value (allocate)")                                                                                      \
  X(rtCreateArray, stub, createArray, "r12 size in bytes -> rbx a new Array of nils (allocate)")             \
  X(rtMethodReturn, rt, methodReturn, "rbx result, r12 block depth -> the home's sender (allocate, "         \
    "translate)")                                                                                            \
  X(rtLoadContextInstVar, rt, loadContextInstVar, "rbx context, r9 byte offset -> rbx the slot's value")     \
  X(LoadContextInstVar, no, , "rtLoadContextInstVar's slow path for a live context (allocate)")              \
  X(rtStoreContextInstVar, rt, storeContextInstVar, "r12 context, rbx value, r9 index -> rbx value "         \
    "(allocate)")                                                                                            \
  X(rtCheckStore, rt, checkStore, "r12 holder, rbx value stored -> remembers the holder")                    \
  X(rtAttemptToAssign, rt, attemptToAssign, "r12 holder, rbx value, r9 index -> sends the read-only "        \
    "assignment (translate)")                                                                                \
  X(rtCannotResume, rt, cannotResume, "the top frame cannot resume -> sends the dead-context selector to "   \
    "its context (translate)")                                                                               \
  X(inToNcode, no, , "from C: onto the current segment, rbx the word under its top, return")                 \
  X(inToNcodePopResult, no, , "from C: onto the current segment, pop rbx, return")                           \
  X(rtPrimGlue0, no, , "r15 C function, rbx receiver -> rbx answer, else the failure path (allocate, "       \
    "translate)")                                                                                            \
  X(rtPrimGlue1, no, , "as rtPrimGlue0, argument r12")                                                       \
  X(rtPrimGlue2, no, , "as rtPrimGlue0, arguments r12 r13")                                                  \
  X(rtPrimGlue3, no, , "as rtPrimGlueMany, r9 3")                                                            \
  X(rtPrimGlueMany, no, , "as rtPrimGlue0, r9 arguments: the stacked ones, then r12 r13")                    \
  X(rtPrimGlueVarArgMany, rt, primGlueVarArgMany, "as rtPrimGlueMany, calls f(receiver, count, saved sp)")   \
  X(rtUPrimGlue0, no, , "as rtPrimGlue0 through the user-primitive dispatch")                                \
  X(rtUPrimGlue1, no, , "as rtPrimGlue1 through the user-primitive dispatch")                                \
  X(rtUPrimGlue2, no, , "as rtPrimGlue2 through the user-primitive dispatch")                                \
  X(rtUPrimGlue3, no, , "as rtUPrimGlueMany, r9 3")                                                          \
  X(rtUPrimGlueMany, no, , "as rtPrimGlueMany through the user-primitive dispatch")                          \
  X(primFailGlue, no, , "a failed primitive: rbx receiver, r12 r13, r15 error, to the failure path")         \
  X(primFailShort, no, , "as primFailGlue, the receiver already in rbx")                                     \
  X(minGlueInstr, no, , "label: the glue's first instruction")                                               \
  X(maxGlueInstr, no, , "label: past the glue's last instruction")

// The send kinds: the base of each kind's five rows of the send table (argument counts 0, 1,
// 2, 3, more), the nmethod entry a linked site of the kind calls, and the C routine behind
// the kind's unlinked-send entries (the rows follow GLUE_ENTRIES' unlinkedSend order).
#define SEND_KINDS(X)                                                       \
  X(Normal, 0, nMethodEntry, CunlinkedSend)                                 \
  X(NoCheck, 5, nMethodEntryNoCheck, CunlinkedSendNoCheck)                  \
  X(NonImmediate, 10, nMethodEntryNonImmediate, CunlinkedSendNonImmediate)  \
  X(Super, 15, nMethodEntryNoCheck, CunlinkedSendSuper)

// The entries C calls to go back into native code: they leave the C stack where it is and
// never return. Declared so, the sanitizer is told to forget the abandoned C frames (their
// stale poison would otherwise fault the next C code to use that stack).
#define GLUE_EXITS(X) \
  X(backToNcode) X(backToNcodePopResult) X(backToNcodePop0) X(backToNcodePop1) X(backToNcodePop2) X(backToNcodePopping)

#define GLUE_DECLARE(name, ...) void name();
#define GLUE_DECLARE_EXIT(name) [[noreturn]] void name();
extern "C" {
GLUE_ENTRIES(GLUE_DECLARE)
GLUE_EXITS(GLUE_DECLARE_EXIT)
// Records the C stack level that every later glue call starts from, so that calls into C are
// 16-byte aligned: 16 bytes below the caller's sp on System V; on Windows x64 the caller's sp,
// over the home area its own calls reserve. The Windows glue also fills a buffer given with
// the registers its convention keeps, for jumpToMarkedStack; the System V glue ignores it.
struct NativeJumpBuffer;
void markStack(NativeJumpBuffer* buffer = nullptr);

extern uint64_t SendTable[20];         // unlinked-send entries by send type
extern uint64_t PrimGlueTable[5];      // by min(numArgs, 4)
extern uint64_t UserPrimGlueTable[5];  // by min(numArgs, 4)
extern uint64_t dnuPChAddr[5];         // doesNotUnderstand: entries by min(numArgs, 4)
extern uint64_t notBTable[6];          // {rtNotBoolean, 0}, {..False, 0}, {..True, 0}
extern uint64_t cantReturnPC;          // where a non-local return with no home continues
extern uint64_t primFailGlueShort;     // failure continuations of a primitive: a pending call
extern uint64_t primFailGlueLong;      //   and a committed one
extern uint64_t minGluePC;             // the glue's code lies in [minGluePC, maxGluePC)
extern uint64_t maxGluePC;

extern uint64_t CStack;        // C stack pointer recorded by markStack
extern uint64_t CFrame;        // C frame pointer recorded by markStack
extern uint64_t contextOnTop;  // context handed to the cannot-return path
}
#undef GLUE_DECLARE
#undef GLUE_DECLARE_EXIT
enum : uint32_t { sendTableSize = 20 };

inline uint64_t glueAddress(void (*entry)()) { return reinterpret_cast<uint64_t>(entry); }
