// Execution engine: frames and hybrid contexts.
// Owns nothing global. Prefix: frame, none.
#include "stack/stackframe.h"

#include "ext/exError.h"
#include "mman/mmAllocate.h"
#include "mman/mmNewSpace.h"
#include "mman/mmRt.h"
#include "mman/mmSysOop.h"
#include "stack/glue.h"
#include "stack/stackzone.h"
#include "tran/tpcmap.h"
#include "tran/nmLayout.h"

static inline uint64_t* frameWords(uint64_t fp) { return reinterpret_cast<uint64_t*>(fp); }
static inline const NMethodHeader* nmOf(uint64_t fp) {
  return reinterpret_cast<const NMethodHeader*>(frameWords(fp)[frNMethod] & frameNMethodMask);
}
static inline uint32_t regArgs(uint32_t n) { return n < 2 ? n : 2; }

static ObjectHeader* newPointerObject(uint32_t classTag, uint64_t slots) {
  oop nil = nilOop();
  ObjectHeader* h = allocInEdenInline(classTag, int64_t(slots), slots * 8, hasPtrsBit, nil);
  if (h == nullptr) h = allocSmallObj(classTag, int64_t(slots), slots * 8, hasPtrsBit, nil);
  return h;
}

static void storeInto(ObjectHeader* h, uint32_t index, oop value) {
  bodyOf(h)[index] = value;
  storeCheck(h, value, "src/stack/stackframe", __LINE__);
}

oop frameMakeHybrid(uint64_t fp, int mayFail) {
  uint64_t* f = frameWords(fp);
  const NMethodHeader* nm = nmOf(fp);
  uint32_t tag = (nm->flags & nmFlagBlock) ? classIndexHybridBlockContext : classIndexHybridMethodContext;
  ObjectHeader* h = newPointerObject(tag, contextNamedSlots);
  if (h == nullptr) {
    if (mayFail) return 0;
    reportAllocFailure("hybrid frame", "src/stack/stackframe", __LINE__);
  }
  storeInto(h, ctxMethod, nm->vmethod);
  bodyOf(h)[ctxPc] = f[frCallerFp] + 1;
  bodyOf(h)[ctxSender] = fp + 1;
  storeInto(h, ctxReceiver, f[frReceiver]);
  bodyOf(h)[ctxDepth] = smallIntegerFor(0);
  bodyOf(h)[ctxContents] = nilOop();
  f[frNMethod] |= frameHybridBit;
  f[frContext] = oopOf(h);
  uint64_t* s = segmentOf(fp);
  if (f[frCallerFp] == rootFpOf(s)) {
    s[shRootContext] = oopOf(h);
    if (!frameEnsureStack(fp, fp + 8 * int64_t(frReceiver - int32_t(regArgs(nm->numArgs)))))
      reportAllocFailure("relocating frame", "src/stack/stackframe", __LINE__);
  }
  return oopOf(h);
}

int frameEnsureStack(uint64_t fp, uint64_t stackTop) {
  uint64_t* f = frameWords(fp);
  const NMethodHeader* nm = nmOf(fp);
  ObjectHeader* ctx = headerOf(f[frContext]);
  if (bodyOf(ctx)[ctxContents] == nilOop()) {
    uint64_t size = nm->frame > uint32_t(contextMinContents) ? nm->frame : uint32_t(contextMinContents);
    ObjectHeader* a = allocVSObj(sysOop(sysArrayClass), size);
    if (a == nullptr) return 0;
    ctx = headerOf(f[frContext]);  // allocation may not move it, but re-read by habit
    storeInto(ctx, ctxContents, oopOf(a));
  }
  ObjectHeader* contents = headerOf(bodyOf(ctx)[ctxContents]);
  uint64_t count = 0;
  for (int64_t k = int64_t(nm->numArgs) - 1; k >= 2; k--) storeInto(contents, uint32_t(count++), f[k]);
  for (uint64_t a = fp + 8 * uint64_t(int64_t(frFirstArg)); a >= stackTop; a -= 8)
    storeInto(contents, uint32_t(count++), *reinterpret_cast<uint64_t*>(a));
  bodyOf(ctx)[ctxDepth] = smallIntegerFor(int64_t(count));
  return 1;
}

// The frame of a hybrid context, when the context is live.
uint64_t liveFrameOf(oop context) {
  ObjectHeader* h = headerOf(context);
  uint32_t tag = classTagOf(h);
  if (tag != classIndexHybridMethodContext && tag != classIndexHybridBlockContext) return 0;
  uint64_t fp = bodyOf(h)[ctxSender] - 1;
  if (fp < stackZone || fp >= endOfStackZone || (fp & 7) != 0) return 0;
  uint64_t* s = segmentOf(fp);
  if (fp <= s[shSp] || fp > rootFpOf(s)) return 0;
  uint64_t* f = frameWords(fp);
  if (!(f[frNMethod] & frameHybridBit) || f[frContext] != context) return 0;
  if (bodyOf(h)[ctxPc] - 1 != f[frCallerFp]) return 0;
  return fp;
}

int isLiveHybrid(oop context) {
  if (liveFrameOf(context) != 0) return 1;
  ObjectHeader* h = headerOf(context);
  uint32_t tag = classTagOf(h);
  if (tag == classIndexHybridMethodContext || tag == classIndexHybridBlockContext) {
    bodyOf(h)[ctxSender] = nilOop();
    bodyOf(h)[ctxPc] = smallIntegerFor(-int64_t(nMethodCannotResumeEntry));
    setClassTag(h, tag + contextStableDelta);
  }
  return 0;
}

// The word holding the frame's resume pc, and the frame directly above it (0 for the top).
static uint64_t frameAbove(uint64_t fp) {
  uint64_t* s = segmentOf(fp);
  uint64_t above = 0;
  for (uint64_t f = s[shFp]; f != fp; f = frameWords(f)[frCallerFp]) above = f;
  return above;
}

oop contextInstVarNoReify(oop context, uint32_t index) {
  if (!isLiveHybrid(context)) return bodyOf(headerOf(context))[index];
  uint64_t fp = liveFrameOf(context);
  if (index > ctxContents) {
    doReportError("access to invalid hybrid context inst var", errFatal | errCauseUser, "src/stack/stackframe",
                  __LINE__);
    return 0;
  }
  uint64_t* f = frameWords(fp);
  uint64_t* s = segmentOf(fp);
  const NMethodHeader* nm = nmOf(fp);
  uint64_t above = frameAbove(fp);
  switch (index) {
    case ctxPc: {
      uint64_t resume = above == 0 ? *reinterpret_cast<uint64_t*>(s[shSp]) : frameWords(above)[frReturnPc];
      return smallIntegerFor(int64_t(reinterpret_cast<uint64_t>(nm)) - int64_t(resume));
    }
    case ctxSender: {
      uint64_t caller = f[frCallerFp];
      if (caller == rootFpOf(s)) return s[shRootSender];
      uint64_t* c = frameWords(caller);
      return (c[frNMethod] & frameHybridBit) ? c[frContext] : 0;
    }
    case ctxDepth: {
      // The stack top: sp + 8 for the top frame, else just above the stacked receiver of the
      // frame above.
      uint64_t top = above == 0 ? s[shSp] + 8
                                : (nmOf(above)->numArgs < 3 ? above + 16 : above + 8 * (nmOf(above)->numArgs + 1));
      int64_t words = int64_t(fp - 24 - top) / 8;
      if (nm->numArgs >= 3) words += nm->numArgs - 2;
      return smallIntegerFor(words);
    }
    default: return bodyOf(headerOf(context))[index];
  }
}

// A stable (or dead) context gets its frame rebuilt on a segment: not built yet.
static uint64_t* stableToHybrid(oop) {
  REPORT_ERROR("resuming a stable context: not built yet", errFatal | errCauseVMBug);
  return nullptr;
}

void resumeContext(oop context) {
  uint64_t* s;
  if (isLiveHybrid(context)) {
    uint64_t fp = liveFrameOf(context);
    s = segmentOf(fp);
    uint64_t above = frameAbove(fp);
    if (above != 0) {
      uint32_t n = nmOf(above)->numArgs;
      uint64_t word = n >= 3 ? above + 8 * uint64_t(n) : above + 8;
      frameWords(word)[0] = frameWords(above)[frReturnPc];
      s[shSp] = word;
      s[shFp] = fp;
    }
  } else {
    s = stableToHybrid(context);
  }
  if (currentStack != s || reinterpret_cast<uint64_t*>(allocatedStacks[0]) != s) stackAtHead(s);
  s[shReceiver] = 0;
  const NMethodHeader* nm = nmOf(s[shFp]);
  if (nm->flags & nmFlagPrimitive) {
    uint64_t nmAddress = reinterpret_cast<uint64_t>(nm);
    uint64_t resume = *reinterpret_cast<uint64_t*>(s[shSp]);
    uint64_t primReturn = mapPrimitiveReturn(nmAddress);
    if (resume == primReturn || resume == mapPrimitiveRestart(nmAddress))
      s[shFailAddr] = primReturn - nMethodPrimitiveJumpSize;
  }
}

extern "C" void CrootReturn() {
  uint64_t* s = currentStack;
  oop sender = s[shRootSender];
  if (sender != nilOop()) {
    stackDeAlloc(s);
    resumeContext(sender);
    return;
  }
  contextOnTop = s[shRootContext];
  stackDeAlloc(s);
  if (isLiveHybrid(contextOnTop))
    doReportError("rootReturn encountered a valid hybrid context", errFatal | errCauseVMBug, "src/stack/stackframe",
                  __LINE__);
  stableToHybrid(contextOnTop);
}

extern "C" oop CLoadContextInstVar(oop context, uint64_t byteOffset) {
  uint32_t index = uint32_t(byteOffset / 8);
  if (!isLiveHybrid(context)) return bodyOf(headerOf(context))[index];
  uint64_t fp = liveFrameOf(context);
  if (index == ctxSender) {
    uint64_t caller = frameWords(fp)[frCallerFp];
    uint64_t* s = segmentOf(fp);
    if (caller == rootFpOf(s)) return s[shRootSender];
    uint64_t* c = frameWords(caller);
    return (c[frNMethod] & frameHybridBit) ? c[frContext] : frameMakeHybrid(caller, 0);
  }
  if (index == ctxContents) {
    uint64_t above = frameAbove(fp);
    uint64_t top = above == 0 ? segmentOf(fp)[shSp] + 8
                              : (nmOf(above)->numArgs < 3 ? above + 16 : above + 8 * (nmOf(above)->numArgs + 1));
    if (!frameEnsureStack(fp, top)) reportAllocFailure("fetch hybrid stack", "src/stack/stackframe", __LINE__);
    return bodyOf(headerOf(context))[ctxContents];
  }
  return contextInstVarNoReify(context, index);
}
