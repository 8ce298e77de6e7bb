// Execution engine: the native/C glue's entries, tables and the C stack level it switches to.
// Entries are machine-code labels: take their address, never call them from C.
// Prefix: rt (entries from generated code), inToNcode/backToNcode (entries from C).
#pragma once
#include <cstdint>

// Every glue entry but the exits below, in one list.
#define GLUE_ENTRIES(X)                                                                   \
  X(rootReturn) X(rtBadBytecode)                                                          \
  X(unlinkedSend0) X(unlinkedSend1) X(unlinkedSend2) X(unlinkedSend3) X(unlinkedSendMany) \
  X(unlinkedSendNoCheck0) X(unlinkedSendNoCheck1) X(unlinkedSendNoCheck2)                 \
  X(unlinkedSendNoCheck3) X(unlinkedSendNoCheckMany)                                      \
  X(unlinkedSendNonImmediate0) X(unlinkedSendNonImmediate1) X(unlinkedSendNonImmediate2)  \
  X(unlinkedSendNonImmediate3) X(unlinkedSendNonImmediateMany)                            \
  X(unlinkedSendSuper0) X(unlinkedSendSuper1) X(unlinkedSendSuper2) X(unlinkedSendSuper3) \
  X(unlinkedSendSuperMany)                                                                \
  X(rtExtendClosedPIC) X(rtOpenPICSendMiss) X(rtMNUFromPIC) X(rtPICAbortSendMiss)         \
  X(rtAbortRelinkSendToUnlinked) X(cantReturn)                                            \
  X(dnu0) X(dnu1) X(dnu2) X(dnu3) X(dnuMany)                                              \
  X(rtCarefulCallPrim) X(rtLoadThisContext) X(LoadThisContext) X(rtAbortSend) X(rtEndLoop) \
  X(rtAbortPrimFail) X(rtNotBoolean) X(rtNotBooleanTrue) X(rtNotBooleanFalse)             \
  X(rtMakeFullBlock) X(rtConsArray) X(rtMakeFullCopyingBlock) X(rtMakeCopyingBlock)       \
  X(rtMakeCopyingBlock1) X(rtCreateArray) X(rtMethodReturn) X(rtLoadContextInstVar)       \
  X(LoadContextInstVar) X(rtStoreContextInstVar) X(rtCheckStore) X(rtAttemptToAssign)     \
  X(rtCannotResume)                                                                       \
  X(inToNcode) X(inToNcodePopResult)                                                     \
  X(rtPrimGlue0) X(rtPrimGlue1) X(rtPrimGlue2) X(rtPrimGlue3) X(rtPrimGlueMany)           \
  X(rtPrimGlueVarArgMany)                                                                 \
  X(rtUPrimGlue0) X(rtUPrimGlue1) X(rtUPrimGlue2) X(rtUPrimGlue3) X(rtUPrimGlueMany)      \
  X(primFailGlue) X(primFailShort) X(minGlueInstr) X(maxGlueInstr)

// The entries C calls to go back into native code: they leave the C stack where it is and
// never return. Declared so, the sanitizer is told to forget the abandoned C frames (their
// stale poison would otherwise fault the next C code to use that stack).
#define GLUE_EXITS(X) \
  X(backToNcode) X(backToNcodePopResult) X(backToNcodePop0) X(backToNcodePop1) X(backToNcodePop2) X(backToNcodePopping)

#define GLUE_DECLARE(name) void name();
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
