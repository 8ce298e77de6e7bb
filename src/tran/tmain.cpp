// Translator: method information record and the fatal translator report.
// Prefix: t (tVInfo, TAbortFunc).
#include "tran/tmain.h"

#include <cinttypes>
#include <cstdio>

#include "ext/exError.h"
#include "mman/mmObject.h"
#include "mman/mmSysOop.h"
#include "tran/tprim.h"

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

enum : uint8_t {
  hdrLong = 0x80,          // long header: numArgs, numTemps, frame size follow
  hdrBlock = 0x20,         // a block method
  hdrFrame12 = 0x10,       // short header: frame of 12 words; long header: context receiver
  hdrUnwind = 0x08,        // long header only
  hdrHandler = 0x04,       // long header only
  bcPrimitiveMarker = 254,
  bcPrimitiveError = 0x43,
  bcPopIntoTemp0 = 0x4C,
  bcPopIntoTemp7 = 0x53,
  bcPopIntoTempLong = 0xDB,
  noErrorTemp = 255,
};

// The temp (counted after the arguments) a primitive's error code is popped into, judged by
// the instruction after the 0x43 marker, or 255.
static uint8_t primErrorTempOf(const uint8_t* p, const uint8_t* end, int numArgs) {
  int temp = -1;
  if (p < end && *p >= bcPopIntoTemp0 && *p <= bcPopIntoTemp7) temp = *p - bcPopIntoTemp0 - numArgs;
  else if (p + 1 < end && *p == bcPopIntoTempLong) temp = p[1] - numArgs;
  return temp >= 0 && temp < noErrorTemp ? (uint8_t)temp : (uint8_t)noErrorTemp;
}

int unpackVMethod(uint64_t method, TVInfo* info) {
  if (isImmediate(method)) return 0;
  const ObjectHeader* mh = headerOf(method);
  if (!hasPtrs(mh)) return 0;
  uint64_t format = classFormatOf(classOfHeader(mh));
  if ((format & formatIndexable) == 0) return 0;
  uint64_t named = formatNamedSlots(format);
  uint64_t words = bodyWordsOf(mh);
  if (words < named || named < 2) return 0;
  oop holder = slotOf(method, 0);
  if (isImmediate(holder) || hasPtrs(headerOf(holder))) return 0;
  const uint8_t* bytes = reinterpret_cast<const uint8_t*>(bodyOf(headerOf(holder)));
  uint64_t size = byteSizeOf(headerOf(holder));
  if (size < 1) return 0;
  uint8_t h = bytes[0];
  TVInfo i = {};
  i.method = method;
  i.isBlock = (h & hdrBlock) != 0;
  if (h & hdrLong) {
    if (size < 4) return 0;
    i.numArgs = bytes[1];
    i.numTemps = bytes[2];
    i.frameSize = bytes[3];
    i.contextReceiver = (h & hdrFrame12) != 0;
    i.isUnwind = (h & hdrUnwind) != 0;
    i.isHandler = (h & hdrHandler) != 0;
    if (i.contextReceiver && i.frameSize == 0) i.frameSize = 12;
    i.bytecodes = bytes + 4;
  } else {
    i.numArgs = (h >> 2) & 3;
    i.numTemps = h & 3;
    i.frameSize = (h & hdrFrame12) ? 12 : 0;
    i.bytecodes = bytes + 1;
  }
  i.bytecodesEnd = bytes + size;
  // The immediates' classes sit at these class indices; their methods check the tag.
  oop cls = slotOf(method, 1);
  if (!i.isBlock && !isImmediate(cls)) {
    switch (hashOf(headerOf(cls))) {
      case 3: i.receiverTag = oopTagSmallInteger; break;
      case 5: i.receiverTag = oopTagSmallDouble; break;
      case 1: i.receiverTag = oopTagCharacter; break;
      default: break;
    }
  }
  i.literals = reinterpret_cast<const uint64_t*>(bodyOf(mh)) + named;
  i.numLiterals = (uint32_t)(words - named);
  i.primitive = -1;
  i.primErrorTemp = noErrorTemp;
  const uint8_t* p = i.bytecodes;
  if (i.bytecodesEnd - p >= 3 && p[0] == bcPrimitiveMarker) {
    i.primitive = p[1] * 256 + p[2];
    p += 3;
    if (p < i.bytecodesEnd && *p == bcPrimitiveError) i.primErrorTemp = primErrorTempOf(p + 1, i.bytecodesEnd, i.numArgs);
    const PrimEntry* e = getPrimEntry((uint64_t)i.primitive);
    if (e->kind != primKindVarArgC && e->numArgs != i.numArgs) i.primitive = 0x10000;
  }
  *info = i;
  return 1;
}
