// Translator: method information record and the fatal translator report.
// Prefix: t (tVInfo, TAbortFunc).
#include "tran/tmain.h"

#include <cinttypes>
#include <cstdio>

#include "ext/exError.h"

TVInfo tVInfo;
uint64_t tNil, tTrue, tFalse;
int32_t effectiveMaxVBytesJumpShort = 6;

void TAbortFunc(const char* message, int64_t vpc, const uint8_t*, const char* file, int line) {
  fprintf(stderr, "\nTranslator problem %s %d: %s\n", file, line, message);
  if (vpc >= 0) fprintf(stderr, "   vPC = %d\n", (int)vpc);
  const TVInfo& i = tVInfo;
  fprintf(stderr, "\n------ Translating 0x%" PRIx64 " ------\nnumArgs=%d  numTemps=%d  frameSize=%d", i.method,
          i.numArgs, i.numTemps, i.frameSize);
  if (i.bytecodes != nullptr && i.bytecodesEnd > i.bytecodes) {
    int64_t n = i.bytecodesEnd - i.bytecodes;
    fprintf(stderr, "\n%d bytes:", (int)n);
    for (int64_t k = 0; k < n; k++) fprintf(stderr, "%s0x%02x", k % 10 == 0 ? "\n  " : " ", i.bytecodes[k]);
  }
  fputc('\n', stderr);
  doPanic(file, line);
}
