// Execution engine: the glue's names for a build without native glue (Windows x64, until
// its own glue exists). Entering native code there is fatal: not built yet.
// Owns the glue tables of that build. Prefix: as glue.h.
#include "ext/exError.h"
#include "stack/glue.h"

[[noreturn]] static void noGlue() {
  REPORT_ERROR("native glue for this platform: not built yet", errFatal | errCauseVMBug);
  doPanic(__FILE__, __LINE__);
}

#define GLUE_DEFINE(name) \
  void name() { noGlue(); }
extern "C" {
GLUE_ENTRIES(GLUE_DEFINE)
GLUE_EXITS(GLUE_DEFINE)
void markStack() {}

#define A(name) reinterpret_cast<uint64_t>(&name)
uint64_t SendTable[20] = {
    A(unlinkedSend0), A(unlinkedSend1), A(unlinkedSend2), A(unlinkedSend3), A(unlinkedSendMany),
    A(unlinkedSendNoCheck0), A(unlinkedSendNoCheck1), A(unlinkedSendNoCheck2), A(unlinkedSendNoCheck3),
    A(unlinkedSendNoCheckMany), A(unlinkedSendNonImmediate0), A(unlinkedSendNonImmediate1),
    A(unlinkedSendNonImmediate2), A(unlinkedSendNonImmediate3), A(unlinkedSendNonImmediateMany),
    A(unlinkedSendSuper0), A(unlinkedSendSuper1), A(unlinkedSendSuper2), A(unlinkedSendSuper3),
    A(unlinkedSendSuperMany)};
uint64_t PrimGlueTable[5] = {A(rtPrimGlue0), A(rtPrimGlue1), A(rtPrimGlue2), A(rtPrimGlue3), A(rtPrimGlueMany)};
uint64_t UserPrimGlueTable[5] = {A(rtUPrimGlue0), A(rtUPrimGlue1), A(rtUPrimGlue2), A(rtUPrimGlue3),
                                 A(rtUPrimGlueMany)};
uint64_t dnuPChAddr[5] = {A(dnu0), A(dnu1), A(dnu2), A(dnu3), A(dnuMany)};
uint64_t notBTable[6] = {A(rtNotBoolean), 0, A(rtNotBooleanFalse), 0, A(rtNotBooleanTrue), 0};
uint64_t cantReturnPC = A(cantReturn);
uint64_t primFailGlueShort = A(primFailShort);
uint64_t primFailGlueLong = A(primFailGlue);
uint64_t minGluePC = A(minGlueInstr);
uint64_t maxGluePC = A(maxGlueInstr);
#undef A
}
