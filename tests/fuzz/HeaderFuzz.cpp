// libFuzzer target: any file, however malformed, is read through the real image reader
// (a pipe stands in for the file) without a crash or an out-of-bounds read.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

#include "ext/exOption.h"
#include "mman/mmImageHeader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 4096) return 0;
  int fds[2];
  if (pipe(fds) != 0) return 0;
  if (size > 0 && write(fds[1], data, size) != (ssize_t)size) abort();
  close(fds[1]);
  imageFilePtr = fds[0];
  headerReadPending = 1;
  // Reports of refused headers are printed; Fatal ones (an unknown format byte) would end
  // the process, so those inputs are read without reporting.
  int report = size > 43 && data[43] <= 1;
  readImageHeader(report, fds[0]);
  close(fds[0]);
  imageFilePtr = -1;
  return 0;
}
