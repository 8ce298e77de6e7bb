// Start-up's bottom half: reading the image file, the orderly exit and the engine's identity.
// Owns imageFilePtr, imageFileName, headerReadPending and the version globals.
// Prefix: none (readImageFile, readImageFileAhead, readImageFileInPieces, fillImageMemoryAhead,
// closeImageFile, vmExit).
#include "ext/exInit.h"

#include <cstdio>

#include "ext/exError.h"
#include "ext/exInflate.h"
#include "ext/exOption.h"
#include "ext/platform.h"

int32_t imageFilePtr = -1;
uint32_t headerReadPending = 1;
const uint32_t hasTransFloatPrims = 1;
uint32_t enableTP = 1;
uint32_t enableTFP = 1;

const char* versionString = "tessel 0.1 Smalltalk virtual machine for x86-64";
const uint8_t vm_id0 = 72, vm_id1 = 64, vm_id2 = 76, vm_id3 = 176;
const char* imageFileName = nullptr;

static const char initSource[] = "src/ext/exInit.c";
static int imageReadError;  // the platform's error of the last failed plain read, or 0

// The header is always read plainly; a gzip body is inflated as it is read.
uint64_t readImageFile(void* buffer, uint64_t count) {
  if (!headerReadPending && imageBodyIsCompressed()) return readCompressedImage(buffer, count);
  headerReadPending = 0;
  int error = 0;
  pdBeginCritical();
  int64_t n = pdRead(imageFilePtr, buffer, count, &error);
  pdEndCritical();
  imageReadError = n < 0 ? error : 0;
  return n < 0 ? 0 : (uint64_t)n;
}

// A file that opens but cannot be read (a directory, a device that fails) is no image that
// can be opened, rather than one cut short.
int reportFailedImageRead() {
  if (imageReadError == 0 || imageFileName == nullptr) return 0;
  char message[700];
  snprintf(message, sizeof message, "Can't open %.500s: %.150s", imageFileName, pdErrorString(imageReadError));
  doReportError(message, errCauseUser | errError | errUsage, initSource, __LINE__);
  return 1;
}

int64_t readImageFileAhead(void* buffer, uint64_t count, uint64_t skip) {
  if (headerReadPending || imageBodyIsCompressed()) return -1;
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
  if (headerReadPending || imageBodyIsCompressed()) return 0;
  int error = 0;
  pdBeginCritical();
  int64_t n = pdReadInPieces(imageFilePtr, reinterpret_cast<void*>(address), count, pieceBytes, each, &error);
  pdEndCritical();
  return n < 0 ? 0 : uint64_t(n);
}

// Only ahead of readImageFileInPieces: a plain image, its header read.
void fillImageMemoryAhead(uint64_t address, uint64_t count, uint64_t first, uint64_t firstCount) {
  if (headerReadPending || imageBodyIsCompressed()) return;
  pdFillAhead(reinterpret_cast<void*>(address), count, reinterpret_cast<void*>(first), firstCount);
}

void closeImageFile() {
  pdEndFillAhead();  // a load ended early (a bad image) leaves no helper behind
  if (imageFilePtr != -1) pdCloseImage(imageFilePtr);
  imageFilePtr = -1;
  imageFileName = nullptr;
  imageReadError = 0;
  headerReadPending = 1;
  resetCompressedImage();
}

// A report raised while the process is already ending (the dump's file name refused, a
// window that will not close) calls vmExit again: that report has been printed once, and
// the process ends at once with the status of the first exit, skipping the dump.
uint32_t vmExiting = 0;
static uint64_t firstExitCode = 0;

void vmExit(uint64_t code) {
  if (vmExiting) pdExit(firstExitCode);
  vmExiting = 1;
  firstExitCode = code;
  vmExitReports();
  pdTerminateTimer();
  pdStopProfileTimer(1);
  pdTerminateWindow();
  pdExit(code);
}
