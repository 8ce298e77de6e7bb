// libFuzzer target: any file, however malformed, goes through the real image reader and the
// whole loader (header checks, reading every space plain or inflated, byte-order repair,
// relocation, the tables) without a crash, a hang or an out-of-bounds read. A fatal report
// ends a load here instead of the process: the exit hook jumps back to the target. What
// loads then runs, in a child process (the engine's run-time state is reset only by a
// process's end), for a bounded number of stack checks: it must end by the engine's own exit.
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
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
#include "ext/exRequest.h"
#include "ext/platform.h"
#include "mman/mmImageHeader.h"
#include "mman/mmInit.h"
#include "mman/mmOldSpace.h"
#include "prim/prTimer.h"

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

// ---- Running what loaded ---------------------------------------------------------------

enum { stackCheckBudget = 20000, runLimitMs = 20000 };
static int endPipe = -1;        // the child's end of the pipe to the target
static int checksLeft;          // stack checks the child may still make

// Every way the engine ends (vmExit's window hook, or exit) says so through the pipe.
static void endRun() {
  char done = 1;
  if (write(endPipe, &done, 1) != 1) _exit(3);
  _exit(0);
}

// Served at every stack check of translated code (methods with frames, loop ends), and by
// the idle loop, which the option bit keeps from blocking.
static void countStackCheck() {
  if (--checksLeft <= 0) endRun();
  setRequest(requestUserPoll);
}

[[noreturn]] static void runChild() {
  atexit(endRun);
  pdTerminateWindow = endRun;
  qrxOptions |= 0x2000;
  checksLeft = stackCheckBudget;
  initTime();
  setRequestServer(requestUserPoll, countStackCheck);
  setRequest(requestUserPoll);
  runKernel();
}

// A child that dies by a signal, a sanitizer's report or a hang is this input's crash.
static void runLoadedImage() {
  int fds[2];
  if (pipe(fds) != 0) return;
  pid_t child = fork();
  if (child == 0) {
    close(fds[0]);
    endPipe = fds[1];
    runChild();
  }
  close(fds[1]);
  struct pollfd p = {fds[0], POLLIN, 0};
  char done = 0;
  bool ended = poll(&p, 1, runLimitMs) == 1 && read(fds[0], &done, 1) == 1;
  if (!ended) kill(child, SIGKILL);
  int status = 0;
  waitpid(child, &status, 0);
  close(fds[0]);
  if (!ended) {
    fprintf(stderr, "the loaded image did not end by the engine's exit (wait status 0x%x)\n", status);
    abort();
  }
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
  if (setjmp(loadEnded) == 0 && readImageHeader(1, imageFilePtr)) {
    loadKernel();
    runLoadedImage();
  }
  releaseLoad();
  return 0;
}
