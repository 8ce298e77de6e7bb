// Start-up: the supervisor that opens the image and starts the kernel, image reading,
// and the orderly exit. Owns imageFilePtr, headerReadPending and the version globals.
// Prefix: none (startSupervisor, loadImageHeader, readImageFile, closeImageFile, vmExit).
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "ext/exEnviron.h"
#include "ext/exError.h"
#include "ext/exInflate.h"
#include "ext/exLeave.h"
#include "ext/exInit.h"
#include "ext/exOption.h"
#include "ext/exTimer.h"
#include "ext/platform.h"
#include "mman/mmImageHeader.h"
#include "mman/mmAllocate.h"
#include "mman/mmGlobalGC.h"
#include "mman/mmIncGC.h"
#include "mman/mmInit.h"
#include "mman/mmScavenge.h"
#include "mman/mmSysOop.h"
#include "prim/prArithmetic.h"
#include "prim/prBitBlt.h"
#include "prim/prByteOrder.h"
#include "prim/prDouble.h"
#include "prim/prHash.h"
#include "prim/prLargeInt.h"
#include "prim/prLinkRegistry.h"
#include "stack/contexts.h"
#include "stack/send.h"
#include "stack/stackprint.h"

int32_t imageFilePtr = -1;
uint32_t headerReadPending = 1;
const uint32_t hasTransFloatPrims = 1;
uint32_t enableTP = 1;
uint32_t enableTFP = 1;

const char* versionString = "tessel 0.1 Smalltalk virtual machine for x86-64";
const uint8_t vm_id0 = 72, vm_id1 = 64, vm_id2 = 76, vm_id3 = 176;

static const char initSource[] = "src/ext/exInit.cpp";


// The header is always read plainly; a body of format 1 is inflated as it is read.
uint64_t readImageFile(void* buffer, uint64_t count) {
  if (!headerReadPending && getImageFileFormat() == imageGzip) return readCompressedImage(buffer, count);
  headerReadPending = 0;
  int error = 0;
  pdBeginCritical();
  int64_t n = pdRead(imageFilePtr, buffer, count, &error);
  pdEndCritical();
  return n < 0 ? 0 : (uint64_t)n;
}

int64_t readImageFileAhead(void* buffer, uint64_t count, uint64_t skip) {
  if (headerReadPending || getImageFileFormat() == imageGzip) return -1;
  int error = 0;
  pdBeginCritical();
  int64_t n = pdReadAhead(imageFilePtr, buffer, count, skip, &error);
  pdEndCritical();
  return n;
}

// Only a plain image, as for reading ahead: a compressed one is inflated in order by
// readImageFile, and the loader reads it that way.
uint64_t readImageFileInPieces(uint64_t address, uint64_t count, uint64_t pieceBytes,
                               void (*each)(uint64_t from, uint64_t to)) {
  if (headerReadPending || getImageFileFormat() == imageGzip) return 0;
  int error = 0;
  pdBeginCritical();
  int64_t n = pdReadInPieces(imageFilePtr, reinterpret_cast<void*>(address), count, pieceBytes, each, &error);
  pdEndCritical();
  return n < 0 ? 0 : uint64_t(n);
}

void closeImageFile() {
  if (imageFilePtr != -1) pdCloseImage(imageFilePtr);
  imageFilePtr = -1;
  headerReadPending = 1;
  resetCompressedImage();
}

int loadImageHeader(const char* fileName, int report) {
  headerReadPending = 1;
  memset(vmThumb, 0, sizeof vmThumb);
  memset(viSig, 0, sizeof viSig);
  imageFilePtr = -1;
  if (fileName == nullptr) {
    if (report) doReportError("No image filename supplied.", 0x1207, initSource, __LINE__);
    return 0;
  }
  int error = 0;
  int64_t fd = pdOpenImage(fileName, pdOpenRead, &error);
  if (fd == -1) {
    if (report) {
      char message[600];
      snprintf(message, sizeof message, "Can't open %.500s", fileName);
      doReportError(message, 0x1207, initSource, __LINE__);
    }
    return 0;
  }
  imageFilePtr = (int32_t)fd;
  return readImageHeader(report, fd);
}

static const char* heraldOrVersion() {
  return viHeraldString[0] != 0 ? viHeraldString : versionString;
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

// -xq: the whole dump (every Process, the spaces, the collectors' counters) goes to
// "stack.txt", after the heading that says why it was written.
static void writeExitHeading(FILE* f, const void*) { fputs("Dump on vmExit:\n", f); }
static void dumpStacksOnExit() { dumpAllToFileCalling(1, 1, writeExitHeading, nullptr); }

// A report raised while the process is already ending (the dump's file name refused, a
// window that will not close) calls vmExit again: that report has been printed once, and
// the process ends at once with the status of the first exit, skipping the dump.
uint32_t vmExiting = 0;
static uint64_t firstExitCode = 0;

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

void vmExit(uint64_t code) {
  if (vmExiting) pdExit(firstExitCode);
  vmExiting = 1;
  firstExitCode = code;
  reportCollectorUsage();
  if (dumpStackOnExit) dumpStacksOnExit();
  pdTerminateTimer();
  pdStopProfileTimer(1);
  pdTerminateWindow();
  pdExit(code);
}

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
}

void installPrimErrorTable() {
  oop table = sysOop(sysPrimErrorTable);
  if (table != nilOop() && !isImmediate(table) && hasPtrs(headerOf(table)) &&
      byteSizeOf(headerOf(table)) / 8 >= primErrMinimumTableSize)
    return;
  ObjectHeader* h = allocVSObj(sysOop(sysArrayClass), primErrDefaultTableSize);
  if (h == nullptr) doReportError(nullptr, 0x8406, initSource, __LINE__);
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
    doReportError("No room in registry", 0x8400, initSource, __LINE__);
  installPrimErrorTable();
}
