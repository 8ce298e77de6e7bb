// Start-up's top half: the supervisor that opens the image and starts the kernel, the order in
// which every primitive set registers, and the hooks the lower layers reach start-up through.
// Owns timerSemaphoreX, inputSemaphoreX. Prefix: none (startSupervisor, loadImageHeader, initSuper, ...).
#include "prim/prStartup.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "ext/exError.h"
#include "ext/exInit.h"
#include "ext/exOption.h"
#include "ext/exPrimTable.h"
#include "ext/platform.h"
#include "mman/mmAllocate.h"
#include "mman/mmBecome.h"
#include "mman/mmDebug.h"
#include "mman/mmFinal.h"
#include "mman/mmFixedSpace.h"
#include "mman/mmGlobalGC.h"
#include "mman/mmHooks.h"
#include "mman/mmImageHeader.h"
#include "mman/mmIncGC.h"
#include "mman/mmInit.h"
#include "mman/mmOldSpace.h"
#include "mman/mmScavenge.h"
#include "mman/mmSnapshot.h"
#include "mman/mmSysOop.h"
#include "prim/prArithmetic.h"
#include "prim/prBitBlt.h"
#include "prim/prByteOrder.h"
#include "prim/prCall.h"
#include "prim/prCollation.h"
#include "prim/prDouble.h"
#include "prim/prEnumerate.h"
#include "prim/prEnviron.h"
#include "prim/prHash.h"
#include "prim/prLargeInt.h"
#include "prim/prLeave.h"
#include "prim/prLinkRegistry.h"
#include "prim/prMessage.h"
#include "prim/prObject.h"
#include "prim/prResources.h"
#include "prim/prSubscript.h"
#include "prim/prThreads.h"
#include "prim/prTimer.h"
#include "prim/prUp.h"
#include "stack/contexts.h"
#include "stack/scheduler.h"
#include "stack/send.h"
#include "stack/stackprint.h"
#include "tran/nmalloc.h"
#include "tran/tloop.h"
#include "tran/tmain.h"
#include "tran/tpic.h"

static const char initSource[] = "src/ext/exInit.c";

// ---- The supervisor ------------------------------------------------------------------------

int loadImageHeader(const char* fileName, int report) {
  headerReadPending = 1;
  memset(vmThumb, 0, sizeof vmThumb);
  memset(viSig, 0, sizeof viSig);
  imageFilePtr = -1;
  if (fileName == nullptr) {
    if (report) doReportError("No image filename supplied.", errCauseUser | errError | errUsage, initSource, __LINE__);
    return 0;
  }
  int error = 0;
  int64_t fd = pdOpenImage(fileName, pdOpenRead, &error);
  if (fd == -1) {  // the Windows build's image inside the program is handle -2
    if (report) {
      char message[600];
      snprintf(message, sizeof message, "Can't open %.500s", fileName);
      doReportError(message, errCauseUser | errError | errUsage, initSource, __LINE__);
    }
    return 0;
  }
  imageFilePtr = (int32_t)fd;
  imageFileName = fileName;
  return readImageHeader(report, fd);
}

// Option 0x10 turns translated primitives off; 0x10000 toggles the float ones.
static void applyTranslationOptions() {
  if (qrxOptions & optNoTranslatedPrims) enableTFP = 0, enableTP = 0;
  if (!(qrxOptions & optToggleTranslatedFloatPrims)) return;
  if (!hasTransFloatPrims) {
    puts("platform has no translated float prims");
    return;
  }
  printf("%sabling translated float prims; default %sabled\n", enableTFP ? "dis" : "en",
         enableTFP ? "en" : "dis");
  enableTFP = !enableTFP;
}

void startSupervisor() {
  pdInitPlatform();
  initTime();
  applyTranslationOptions();
  // -v alone reports the engine's version; with a file, a file that is no usable image is
  // reported as at any start, and no version is claimed for it.
  bool versionOfEngine = reportVersionOnly && imageFilename == nullptr;
  int ok = loadImageHeader(imageFilename, !versionOfEngine);
  if (ok && !reportVersionOnly) {
    if (showHerald) pdHerald(heraldOrVersion());
    startKernel();
  }
  if (reportVersionOnly && (ok || versionOfEngine))
    pdReportVersion(heraldOrVersion(), vm_id0, vm_id1, vm_id2, vm_id3, viSig, vmThumb);
  closeImageFile();
  pdExit(qrxErrorStatus);
}

// ---- The exit's reports --------------------------------------------------------------------

// -xq: the whole dump (every Process, the spaces, the collectors' counters) goes to
// "stack.txt", after the heading that says why it was written.
static void writeExitHeading(FILE* f, const void*) { fputs("Dump on vmExit:\n", f); }
static void dumpStacksOnExit() { dumpAllToFileCalling(1, 1, writeExitHeading, nullptr); }

// TESSEL_GC_REPORT (a decimal number; unset or 0 is off): the collectors' usage lines on
// standard error at exit: incremental cycles, global collections, scavenges.
static void reportCollectorUsage() {
  const char* v = getenv("TESSEL_GC_REPORT");
  if (v == nullptr || strtoull(v, nullptr, 10) == 0) return;
  printIGCUsageTo(stderr);
  printGCUsageTo(stderr);
  printScavengerUsageTo(stderr);
  fflush(stderr);
}

static void exitReports() {
  reportCollectorUsage();
  if (dumpStackOnExit) dumpStacksOnExit();
}
void (*const vmExitReports)() = exitReports;

// ---- Registration steps of kernel start-up ---------------------------------------------

int64_t timerSemaphoreX = -1;
int64_t inputSemaphoreX = -1;

// The numeric sets first (the SmallInteger set right after the LargeInteger one), then the
// link registry, then hashing and byte order.
void initPrimitives() {
  initFloatPrims();
  initDoublePrims();
  initLargeIntPrims();
  initArithmeticPrims();
  initUserPrimitives();
  initLinkRegistryPrimitives();
  initHashPrimitives();
  initBytePrimitives();
}

// The platform's sets (its GUI binding, then its descriptor-level I/O) come around the
// portable ones in start-up's order.
static void initExternPrimitives() {
  initPlatformGUIPrimitives();
  initBitBltPrimitives();
  initScanCharPrimitives();
  initEnvironmentPrimitives();
  initLeavePrimitives();
  initTimePrimitives();
  initSignalPrimitives();
  initPlatformPrimitiveSets();
  initCPrimitives();
  initMessagePrimitives();
  initThreadPrimitives();
  initDynamicLoadPrimitives();
}

void installPrimErrorTable() {
  oop table = sysOop(sysPrimErrorTable);
  if (table != nilOop() && !isImmediate(table) && hasPtrs(headerOf(table)) &&
      byteSizeOf(headerOf(table)) / 8 >= primErrMinimumTableSize)
    return;
  ObjectHeader* h = allocVSObj(sysOop(sysArrayClass), primErrDefaultTableSize);
  if (h == nullptr) doReportError(nullptr, errCauseLimit | errFatal | errSpaceUnavailable, initSource, __LINE__);
  for (int64_t k = 0; k < primErrDefaultTableSize; k++) bodyOf(h)[k] = smallIntegerFor(-(k + 1));
  registerSysOop(oopOf(h), sysPrimErrorTable);
}

void initSuper() {
  initStackPrinting();
  initContextPrimitives();
  initEvaluationPrimitives();
  initPICs();
  registerStartupNamedObjects();
  initExternPrimitives();
  timerSemaphoreX = allocSysOopSlot();
  inputSemaphoreX = allocSysOopSlot();
  if (timerSemaphoreX < 0 || inputSemaphoreX < 0)
    doReportError("No room in registry", errCauseLimit | errFatal, initSource, __LINE__);
  installPrimErrorTable();
}

// The debug printers' slot numbers first (a report from any later set may print objects),
// then object memory's primitive sets in their fixed order,
// then the two of start-up, then the rest of the system's.
static void registerPrimitives() {
  initDebugPrims();
  initSubscriptPrims();
  initStringPrims();
  initAllocationPrims();
  initObjectPrims();
  initBecomePrims();
  initResourcePrims();
  initScavengePrims();
  initEnumerationPrims();
  initProcessPrims();
  initSnapshotPrims();
  initOldSpacePrims();
  initGarbagePrims();
  initIncGCPrims();
  initFixedSpacePrims();
  initFinalizationPrims();
  initKernelPrims();
  initPrimitives();
  initSuper();
  initTranAfter(qrxOptions);
}

// The zone's set-up initialises the translator through the hooks installed first.
static int initCodeZone(uint64_t address, uint64_t bytes) {
  installTranslatorHooks();
  return initNMethods(address, bytes);
}

const KernelHooks kernelHooks = {
    .initCodeZone = initCodeZone,
    .registerPrimitives = registerPrimitives,
    .enterImage = enterImage,
};
