// The engine's side of a worker's call for the ThreadSanitizer program of the thread pool,
// which holds the pool and the POSIX threads layer only: the harness runs its own call, and
// a fatal report ends the program.
#include <cstdio>
#include <cstdlib>

#include "ext/exError.h"
#include "plat/unxThreads.h"

void NBAPIInnerCall(TInfo*) {}

int doReportError(const char* message, uint32_t code, const char*, int) {
  fprintf(stderr, "%s\n", message);
  if (code & errFatal) exit(1);
  return 0;
}
