// libFuzzer target: any file, however malformed, goes through the real image reader and the
// whole loader (header checks, reading every space plain or inflated, byte-order repair,
// relocation, the tables) without a crash, a hang or an out-of-bounds read. A fatal report
// ends a load here instead of the process: the exit hook jumps back to the target.
#include <csetjmp>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

#include "ext/exInflate.h"
#include "ext/exInit.h"
#include "ext/exMemory.h"
#include "ext/exOption.h"
#include "ext/platform.h"
#include "mman/mmImageHeader.h"
#include "mman/mmInit.h"
#include "mman/mmOldSpace.h"

static jmp_buf loadEnded;
static void endLoad() { longjmp(loadEnded, 1); }

// What a load took: mapped old segments outside the block, the block, the C heap block.
static void releaseLoad() {
  closeImageFile();
  free(decompressionWorkspaces.workspace);
  decompressionWorkspaces = {};
  writeBackOldSpace();
  uint64_t lo = kernelBlock.base, hi = lo + kernelBlock.bytes;
  for (OldSpaceSegment* s = oldSpaceSegs.first; s != nullptr;) {
    OldSpaceSegment* next = s->next;
    uint64_t a = reinterpret_cast<uint64_t>(s);
    if ((a < lo || a >= hi) && (s->segFlags & segMapped)) lessMemory(s, s->otHigh + 16 - a, 1);
    s = next;
  }
  memset(&oldSpaceSegs, 0, sizeof oldSpaceSegs);
  if (kernelBlock.base != 0) lessMemory(reinterpret_cast<void*>(kernelBlock.base), kernelBlock.bytes, int(kernelBlock.mapped));
  kernelBlock = {};
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > (1 << 17)) return 0;
  FILE* f = tmpfile();
  if (f == nullptr) return 0;
  if (size > 0 && fwrite(data, 1, size, f) != size) abort();
  fflush(f);
  lseek(fileno(f), 0, SEEK_SET);
  imageFilePtr = dup(fileno(f));
  fclose(f);
  headerReadPending = 1;
  vmExiting = 0;  // the last input's fatal report left through the exit hook
  pdTerminateWindow = endLoad;
  if (setjmp(loadEnded) == 0 && readImageHeader(1, imageFilePtr)) loadKernel();
  releaseLoad();
  return 0;
}
