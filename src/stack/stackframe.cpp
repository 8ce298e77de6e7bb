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
#include "tran/nmalloc.h"
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
  storeCheck(h, value, SOURCE_NAME, __LINE__);
}

oop frameMakeHybrid(uint64_t fp, int mayFail) {
  uint64_t* f = frameWords(fp);
  const NMethodHeader* nm = nmOf(fp);
  uint32_t tag = (nm->flags & nmFlagBlock) ? classIndexHybridBlockContext : classIndexHybridMethodContext;
  ObjectHeader* h = newPointerObject(tag, contextNamedSlots);
  if (h == nullptr) {
    if (mayFail) return 0;
    reportAllocFailure("hybrid frame", SOURCE_NAME, __LINE__);
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
      reportAllocFailure("relocating frame", SOURCE_NAME, __LINE__);
  }
  return oopOf(h);
}

oop frameContextOf(uint64_t fp) {
  uint64_t* f = frameWords(fp);
  return (f[frNMethod] & frameHybridBit) ? f[frContext] : frameMakeHybrid(fp, 0);
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
    doReportError("access to invalid hybrid context inst var", errFatal | errCauseUser, SOURCE_NAME,
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

uint64_t (*vToNMethodHook)(oop method);
uint64_t (*addNMethodHook)(oop method);
int64_t (*mapVToNPCHook)(oop context, int64_t vpc, uint64_t nmethod);
int64_t (*mapNToVPCHook)(uint64_t nmethod, int64_t offset);

// The stack top of a frame: sp + 8 for the segment's top frame, else just above the
// stacked receiver of the frame above (the words a callee pops are not the caller's).
static uint64_t stackTopOf(uint64_t fp, uint64_t above) {
  if (above == 0) return segmentOf(fp)[shSp] + 8;
  uint32_t n = nmOf(above)->numArgs;
  return n < 3 ? above + 16 : above + 8 * (uint64_t(n) + 1);
}

int stackReify(uint64_t* s) {
  uint64_t above = 0;
  for (uint64_t fp = s[shFp]; fp != rootFpOf(s); fp = frameWords(fp)[frCallerFp]) {
    if (!(frameWords(fp)[frNMethod] & frameHybridBit) && frameMakeHybrid(fp, 1) == 0) return 0;
    if (!frameEnsureStack(fp, stackTopOf(fp, above))) return 0;
    above = fp;
  }
  return 1;
}

int stackStabilize(uint64_t* s) {
  if (!stackReify(s)) return 0;
  uint64_t resumeWord = s[shSp];
  for (uint64_t fp = s[shFp]; fp != rootFpOf(s); fp = frameWords(fp)[frCallerFp]) {
    uint64_t* f = frameWords(fp);
    ObjectHeader* ctx = headerOf(f[frContext]);
    uint64_t caller = f[frCallerFp];
    oop sender = caller == rootFpOf(s) ? s[shRootSender] : frameWords(caller)[frContext];
    uint64_t resume = *reinterpret_cast<uint64_t*>(resumeWord);
    bodyOf(ctx)[ctxPc] = smallIntegerFor(int64_t(reinterpret_cast<uint64_t>(nmOf(fp))) - int64_t(resume));
    storeInto(ctx, ctxSender, sender);
    setClassTag(ctx, classTagOf(ctx) + contextStableDelta);
    resumeWord = fp + 8;
  }
  stackDeAlloc(s);
  return 1;
}

// Translation failures make room and try again: first by compacting the zone, then by
// stabilizing every other segment so that no frame holds on to an nmethod.
uint64_t mustAddNMethod(oop method) {
  uint64_t nm = vToNMethodHook != nullptr ? vToNMethodHook(method) : 0;
  if (nm != 0 || addNMethodHook == nullptr) return nm;
  if ((nm = addNMethodHook(method)) != 0) return nm;
  compactNMethods();
  if ((nm = addNMethodHook(method)) != 0) return nm;
  stabilizeMostStacks();
  compactAllNMethods();
  return addNMethodHook(method);
}

int64_t mustMapVToNPC(oop context, int64_t vpc, uint64_t nm) {
  const NMethodHeader* h = reinterpret_cast<const NMethodHeader*>(nm);
  int64_t offset = 0;
  bool prim = (h->flags & nmFlagPrimitive) != 0;
  if (prim && vpc == 1) offset = int64_t(mapPrimitiveRestart(nm) - nm);
  else if (prim && vpc == 4) offset = int64_t(mapPrimitiveReturn(nm) - nm);
  else if (vpc == (prim ? 5 : 1)) offset = int64_t(nPCofFirstNonPrimitiveVPC(nm) - nm);
  else if (mapVToNPCHook != nullptr) {
    for (int attempt = 0; attempt < 3 && offset <= 0; attempt++) {
      if (attempt == 1) compactNMethods();
      if (attempt == 2) {
        stabilizeMostStacks();
        compactAllNMethods();
      }
      offset = mapVToNPCHook(context, vpc, nm);
    }
    return offset;
  }
  return offset > int64_t(nMethodHeaderSize) ? offset : 0;
}

static uint64_t nmethodFor(oop method) {
  uint64_t nm = mustAddNMethod(method);
  if (nm == 0) {
    doReportError("Unable to translate method for execution. No room in code cache.", errFatal | 9,
                  SOURCE_NAME, __LINE__);
  }
  return nm;
}

// The segment the frame goes on, with the caller fp it links to.
static uint64_t* frameSegmentFor(oop context, const NMethodHeader* nm, uint64_t* callerFp) {
  oop sender = bodyOf(headerOf(context))[ctxSender];
  if (isHeapObject(sender) && sender != nilOop() && classTagOf(headerOf(sender)) <= classIndexHybridBlockContext &&
      isLiveHybrid(sender)) {
    uint64_t fp = liveFrameOf(sender);
    uint64_t* s = segmentOf(fp);
    if (s[shFp] == fp && (s[shSp] - s[shRealLim]) / 8 > uint64_t(nm->frame) + 12) {
      if (currentStack != s || reinterpret_cast<uint64_t*>(allocatedStacks[0]) != s) stackAtHead(s);
      *callerFp = fp;
      return s;
    }
  }
  uint64_t* s = stackAlloc(0);
  *callerFp = rootFpOf(s);
  s[shRootContext] = context;
  s[shRootSender] = sender;
  return s;
}

static uint64_t resumePcFor(oop context, const NMethodHeader* nm, oop contents) {
  uint64_t base = reinterpret_cast<uint64_t>(nm);
  oop pc = bodyOf(headerOf(context))[ctxPc];
  bool immutable = isImmutable(headerOf(context)) || (isHeapObject(contents) && isImmutable(headerOf(contents)));
  if (nm->frame == 0 || immutable || !isSmallInteger(pc)) return base + nMethodCannotResumeEntry;
  int64_t v = smallIntegerValue(pc);
  if (v < 0) return base + uint64_t(-v);
  int64_t offset = mustMapVToNPC(context, v, base);
  return offset > 0 ? base + uint64_t(offset) : base + nMethodCannotResumeEntry;
}

uint64_t* stableToHybrid(oop context) {
  ObjectHeader* h = headerOf(context);
  uint64_t nmAddress = nmethodFor(bodyOf(h)[ctxMethod]);
  const NMethodHeader* nm = reinterpret_cast<const NMethodHeader*>(nmAddress);
  uint64_t callerFp;
  uint64_t* s = frameSegmentFor(context, nm, &callerFp);
  h = headerOf(context);
  oop contents = bodyOf(h)[ctxContents];
  const oop* words = contents != nilOop() ? bodyOf(headerOf(contents)) : nullptr;
  uint64_t depth = uint64_t(smallIntegerValue(bodyOf(h)[ctxDepth]));
  uint64_t* sp = reinterpret_cast<uint64_t*>(s[shSp]);
  uint32_t n = nm->numArgs;
  uint64_t used = 0;
  if (n >= 3) {  // receiver and stacked arguments above the return pc
    uint64_t returnPc = *sp;
    *sp = bodyOf(h)[ctxReceiver];
    for (uint32_t i = 0; i + 2 < n; i++) *--sp = words[used++];
    *--sp = returnPc;
  }
  *--sp = callerFp;
  uint64_t fp = reinterpret_cast<uint64_t>(sp);
  *--sp = context;
  *--sp = nmAddress | frameHybridBit;
  *--sp = bodyOf(h)[ctxReceiver];
  for (; used < depth; used++) *--sp = words[used];
  *--sp = resumePcFor(context, nm, contents);
  uint32_t tag = classTagOf(h);
  if (tag > classIndexHybridBlockContext) setClassTag(h, tag - contextStableDelta);
  bodyOf(h)[ctxPc] = callerFp + 1;
  bodyOf(h)[ctxSender] = fp + 1;
  s[shSp] = reinterpret_cast<uint64_t>(sp);
  s[shFp] = fp;
  return s;
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
    doReportError("rootReturn encountered a valid hybrid context", errFatal | errCauseVMBug, SOURCE_NAME,
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
    return frameContextOf(caller);
  }
  if (index == ctxContents) {
    uint64_t above = frameAbove(fp);
    uint64_t top = above == 0 ? segmentOf(fp)[shSp] + 8
                              : (nmOf(above)->numArgs < 3 ? above + 16 : above + 8 * (nmOf(above)->numArgs + 1));
    if (!frameEnsureStack(fp, top)) reportAllocFailure("fetch hybrid stack", SOURCE_NAME, __LINE__);
    return bodyOf(headerOf(context))[ctxContents];
  }
  return contextInstVarNoReify(context, index);
}

oop suspendTopContext() { return frameContextOf(currentStack[shFp]); }

// Pops the segment's top frame: its return pc goes to the word that the caller resumes at.
static void popTopFrame(uint64_t* s) {
  uint64_t fp = s[shFp];
  uint32_t n = nmOf(fp)->numArgs;
  uint64_t word = n >= 3 ? fp + 8 * uint64_t(n) : fp + 8;
  frameWords(word)[0] = frameWords(fp)[frReturnPc];
  s[shSp] = word;
  s[shFp] = frameWords(fp)[frCallerFp];
  if (isEmptySegment(s)) stackDeAlloc(s);
}

oop stabilizeTopFrame(uint64_t* s, int dead) {
  uint64_t fp = s[shFp];
  uint64_t* f = frameWords(fp);
  if (!(f[frNMethod] & frameHybridBit)) frameMakeHybrid(fp, 0);
  if (!frameEnsureStack(fp, s[shSp] + 8)) reportAllocFailure("stable frame", SOURCE_NAME, __LINE__);
  oop pc = smallIntegerFor(-int64_t(nMethodCannotResumeEntry)), sender = nilOop();
  if (!dead) {
    pc = smallIntegerFor(int64_t(reinterpret_cast<uint64_t>(nmOf(fp))) - int64_t(*reinterpret_cast<uint64_t*>(s[shSp])));
    uint64_t caller = f[frCallerFp];
    if (caller == rootFpOf(s)) sender = s[shRootSender];
    else sender = frameContextOf(caller);
  }
  ObjectHeader* h = headerOf(f[frContext]);
  bodyOf(h)[ctxPc] = pc;
  storeInto(h, ctxSender, sender);
  setClassTag(h, classTagOf(h) + contextStableDelta);
  popTopFrame(s);
  return oopOf(h);
}

int stabilizeThisContext(oop context, int mayFail) {
  uint64_t fp = liveFrameOf(context);
  uint64_t above = frameAbove(fp);
  if (above != 0 && !relocateDownTo(above, mayFail, 0)) {
    if (mayFail) return 0;
    doReportError("Can't allocate for stabilizeThisContext", errFatal | errCauseLimit, SOURCE_NAME,
                  __LINE__);
  }
  stabilizeTopFrame(segmentOf(fp), 0);
  return 1;
}

int stabilizeContextsWithMethod(oop vmethod) {
  for (;;) {
    uint64_t found = 0, above = 0;
    for (uint64_t w = allocatedStacks[0]; found == 0 && w != reinterpret_cast<uint64_t>(allocatedStacks);
         w = reinterpret_cast<uint64_t*>(w)[shNext]) {
      uint64_t* s = reinterpret_cast<uint64_t*>(w);
      above = 0;
      for (uint64_t fp = s[shFp]; fp != rootFpOf(s); above = fp, fp = frameWords(fp)[frCallerFp])
        if (nmOf(fp)->vmethod == vmethod) {
          found = fp;
          break;
        }
    }
    if (found == 0) return 1;
    oop context = (frameWords(found)[frNMethod] & frameHybridBit) ? frameWords(found)[frContext]
                                                                   : frameMakeHybrid(found, 1);
    if (context == 0 || !frameEnsureStack(found, stackTopOf(found, above))) return 0;
    if (!stabilizeThisContext(context, 1)) return 0;
  }
}

static bool isAllocatedSegment(uint64_t* s) {
  for (uint64_t w = allocatedStacks[0]; w != reinterpret_cast<uint64_t>(allocatedStacks);
       w = reinterpret_cast<uint64_t*>(w)[shNext])
    if (reinterpret_cast<uint64_t*>(w) == s) return true;
  return false;
}

// Sender: the context's frame becomes a segment's bottom, whose root names the new sender.
void storeLiveSender(oop context, oop value) {
  uint64_t fp = liveFrameOf(context);
  uint64_t* s = segmentOf(fp);
  if (frameWords(fp)[frCallerFp] != rootFpOf(s)) {
    relocateDownTo(fp, 0, s != currentStack);
    s = segmentOf(liveFrameOf(context));
  }
  s[shRootSender] = value;
}

void storeContextInstVar(oop context, oop value, uint32_t index) {
  if (isLiveHybrid(context)) {
    uint64_t fp = liveFrameOf(context);
    if (index == ctxSender) {
      storeLiveSender(context, value);
      return;
    }
    if (index == ctxReceiver) {
      frameWords(fp)[frReceiver] = value;
      storeInto(headerOf(context), index, value);
      return;
    }
    uint64_t* running = currentStack;
    stabilizeThisContext(context, 0);
    if (running != nullptr && isAllocatedSegment(running) && currentStack != running) stackAtHead(running);
  }
  storeInto(headerOf(context), index, value);
}

// thisContext of a frame without one (glue rtLoadThisContext found the hybrid bit clear).
extern "C" oop CLoadThisContext() { return suspendTopContext(); }

int popToHybridFrame(uint64_t* s, oop context, oop* rootSender) {
  for (;;) {
    uint64_t* f = frameWords(s[shFp]);
    if ((f[frNMethod] & frameHybridBit) && f[frContext] == context) return 1;
    if (f[frCallerFp] == rootFpOf(s)) *rootSender = s[shRootSender];
    popTopFrame(s);
    if (f[frCallerFp] == rootFpOf(s) || isEmptySegment(s)) return 0;
  }
}

void nilContexts(oop start, oop stop) {
  oop c = start;
  while (c != stop && c != 0 && c != nilOop() && isHeapObject(c)) {
    uint32_t tag = classTagOf(headerOf(c));
    if (tag < classIndexHybridMethodContext || tag > classIndexBlockContext) return;
    if (isLiveHybrid(c)) {
      uint64_t fp = liveFrameOf(c);
      uint64_t* s = segmentOf(fp);
      uint64_t above = frameAbove(fp);
      if (above != 0) relocateDownTo(above, 0, 1);  // frames above are not in this chain
      oop next = 0;
      if (popToHybridFrame(s, stop, &next)) return;  // the stop context's frame is reached
      c = next;
    } else {
      ObjectHeader* h = headerOf(c);
      oop next = bodyOf(h)[ctxSender];
      bodyOf(h)[ctxSender] = nilOop();
      bodyOf(h)[ctxPc] = smallIntegerFor(-int64_t(nMethodCannotResumeEntry));
      c = next;
    }
  }
}
