// Execution engine: context primitives (slot access, sender-chain searches).
// Owns nothing global. Prefix: none.
#include "stack/contexts.h"

#include "ext/exError.h"
#include "ext/exPrimTable.h"
#include "mman/mmRt.h"
#include "mman/mmSysOop.h"
#include "stack/nsupport.h"
#include "stack/stackframe.h"
#include "stack/stackzone.h"
#include "tran/nmalloc.h"

static bool isContextObject(oop o) {
  if (!isHeapObject(o)) return false;
  uint32_t tag = classTagOf(headerOf(o));
  return tag == classIndexHybridMethodContext || tag == classIndexHybridBlockContext ||
         tag == classIndexMethodContext || tag == classIndexBlockContext;
}

// The next context towards the bottom: a live hybrid's caller frames up to the first that
// has a context (or the root's sender), a stable context's sender slot.
static oop nextInChain(oop context) {
  if (!isLiveHybrid(context)) return bodyOf(headerOf(context))[ctxSender];
  uint64_t fp = liveFrameOf(context);
  uint64_t* s = segmentOf(fp);
  for (;;) {
    uint64_t caller = reinterpret_cast<uint64_t*>(fp)[frCallerFp];
    if (caller == rootFpOf(s)) return s[shRootSender];
    uint64_t* c = reinterpret_cast<uint64_t*>(caller);
    if (c[frNMethod] & frameHybridBit) return c[frContext];
    fp = caller;
  }
}

oop findContextInChain(oop context, oop a, oop b) {
  for (oop c = context; c != 0 && c != nilOop() && isContextObject(c); c = nextInChain(c))
    if (c == a || c == b) return c;
  return 0;
}

// 802: contexts have no indexed slots of their own beyond the named ones.
static oop primContextSize(oop receiver) {
  if (!isContextObject(receiver)) return failPrimitive(primErrorAt(primErrWrongClass), 0);
  uint64_t words = bodyWordsOf(headerOf(receiver));
  return smallIntegerFor(int64_t(words > contextNamedSlots ? words - contextNamedSlots : 0));
}

// The body slot of a 1-based index beyond the named slots, or -1 when out of bounds.
static int64_t indexedSlot(oop receiver, oop index) {
  int64_t i = smallIntegerValue(index);
  uint64_t words = bodyWordsOf(headerOf(receiver));
  if (i < 1 || uint64_t(i) + contextNamedSlots > words) return -1;
  return i - 1 + contextNamedSlots;
}

// 800, 801: indexed slots of a context (subclasses may have them).
static oop primContextAt(oop receiver, oop index) {
  if (!isSmallInteger(index) || !isContextObject(receiver)) return failPrimitive(primErrorAt(primErrBadArgument), 1);
  int64_t slot = indexedSlot(receiver, index);
  return slot < 0 ? failPrimitive(primErrorAt(primErrIndex), 1) : bodyOf(headerOf(receiver))[slot];
}
static oop primContextAtPut(oop receiver, oop index, oop value) {
  if (!isSmallInteger(index) || !isContextObject(receiver)) return failPrimitive(primErrorAt(primErrBadArgument), 2);
  int64_t slot = indexedSlot(receiver, index);
  if (slot < 0) return failPrimitive(primErrorAt(primErrIndex), 2);
  bodyOf(headerOf(receiver))[slot] = value;
  storeCheck(headerOf(receiver), value, SOURCE_NAME, __LINE__);
  return value;
}

// 803: instVarAt: with a 1-based index.
static oop primContextInstVarAt(oop receiver, oop index) {
  if (!isSmallInteger(index)) return failPrimitive(primErrorAt(primErrBadArgument), 1);
  int64_t i = smallIntegerValue(index);
  if (!isHeapObject(receiver) || i < 1 || uint64_t(i) > bodyWordsOf(headerOf(receiver)))
    return failPrimitive(primErrorAt(primErrIndex), 1);
  if (i > int64_t(contextNamedSlots) || classTagOf(headerOf(receiver)) > classIndexHybridBlockContext)
    return bodyOf(headerOf(receiver))[i - 1];
  return CLoadContextInstVar(receiver, uint64_t(i - 1) * 8);
}

// 804: instVarAt:put: keeping a live context's frame consistent.
static oop primContextInstVarAtPut(oop receiver, oop index, oop value) {
  if (!isSmallInteger(index)) return failPrimitive(primErrorAt(primErrBadArgument), 2);
  int64_t i = smallIntegerValue(index);
  if (!isContextObject(receiver) || i < 1 || uint64_t(i) > bodyWordsOf(headerOf(receiver)))
    return failPrimitive(primErrorAt(primErrIndex), 2);
  if (i > int64_t(contextNamedSlots)) {
    bodyOf(headerOf(receiver))[i - 1] = value;
    storeCheck(headerOf(receiver), value, SOURCE_NAME, __LINE__);
  } else {
    storeContextInstVar(receiver, value, uint32_t(i - 1));
  }
  return value;
}

// 527: a stack value by 1-based index: the stacked arguments first, then from fp[-4] down.
static oop primContextStackAt(oop receiver, oop index) {
  if (!isSmallInteger(index)) return failPrimitive(primErrorAt(primErrBadArgument), 1);
  if (!isContextObject(receiver)) return failPrimitive(primErrorAt(primErrBadReceiver), 1);
  int64_t i = smallIntegerValue(index);
  uint32_t tag = classTagOf(headerOf(receiver));
  bool wasHybrid = tag <= classIndexHybridBlockContext;
  if (wasHybrid && !isLiveHybrid(receiver)) return nilOop();  // a dead hybrid
  if (!wasHybrid) {
    oop contents = bodyOf(headerOf(receiver))[ctxContents];
    if (!isHeapObject(contents) || classTagOf(headerOf(contents)) != classIndexArray)
      return failPrimitive(primErrorAt(primErrBadReceiver), 1);
    if (i < 1 || uint64_t(i) > bodyWordsOf(headerOf(contents))) return failPrimitive(primErrorAt(primErrIndex), 1);
    return slotOf(contents, uint64_t(i - 1));
  }
  uint64_t fp = liveFrameOf(receiver);
  const NMethodHeader* nm =
      reinterpret_cast<const NMethodHeader*>(reinterpret_cast<uint64_t*>(fp)[frNMethod] & frameNMethodMask);
  int64_t depth = smallIntegerValue(contextInstVarNoReify(receiver, ctxDepth));
  int64_t limit = nm->frame > uint32_t(contextMinContents) ? nm->frame : int64_t(contextMinContents);
  if (i < 1 || i > limit) return failPrimitive(primErrorAt(primErrIndex), 1);
  if (i > depth) return nilOop();
  int64_t stacked = nm->numArgs >= 3 ? nm->numArgs - 2 : 0;
  if (i <= stacked) return reinterpret_cast<uint64_t*>(fp)[nm->numArgs - i];
  return reinterpret_cast<uint64_t*>(fp)[frFirstArg - (i - stacked - 1)];
}

// 528: a stack value by 1-based index put. A live context is stabilized so that the store
// lands in its frame contents; the running frame is committed first so that it can move, and
// it is rebuilt and runs on again afterwards.
static oop primContextStackAtPut(oop receiver, oop index, oop value) {
  if (!isSmallInteger(index)) return failPrimitive(primErrorAt(primErrBadArgument), 2);
  if (!isContextObject(receiver)) return failPrimitive(primErrorAt(primErrBadReceiver), 2);
  int64_t i = smallIntegerValue(index);
  if (classTagOf(headerOf(receiver)) <= classIndexHybridBlockContext && isLiveHybrid(receiver)) {
    // Checked before the commit: a failure must leave the caller's stack as it was.
    const NMethodHeader* nm = reinterpret_cast<const NMethodHeader*>(
        reinterpret_cast<uint64_t*>(liveFrameOf(receiver))[frNMethod] & frameNMethodMask);
    int64_t limit = nm->frame > uint32_t(contextMinContents) ? nm->frame : int64_t(contextMinContents);
    if (i < 1 || i > limit) return failPrimitive(primErrorAt(primErrIndex), 2);
    commitPrimitive(value);
    oop running = suspendTopContext();
    stabilizeThisContext(receiver, 0);
    uint64_t* s = isLiveHybrid(running) ? segmentOf(liveFrameOf(running)) : stableToHybrid(running);
    stackAtHead(s);
  }
  oop contents = bodyOf(headerOf(receiver))[ctxContents];
  if (!isHeapObject(contents) || classTagOf(headerOf(contents)) != classIndexArray)
    return failPrimitive(primErrorAt(primErrBadReceiver), 2);
  if (i < 1 || uint64_t(i) > bodyWordsOf(headerOf(contents))) return failPrimitive(primErrorAt(primErrIndex), 2);
  bodyOf(headerOf(contents))[i - 1] = value;
  storeCheck(headerOf(contents), value, SOURCE_NAME, __LINE__);
  return value;
}

// A context counts for handler and unwind searches by its nmethod's flags while live, else by
// the first byte of its method's bytecodes.
static bool isMarkedForHandlers(oop context) {
  if (isLiveHybrid(context)) {
    uint64_t fp = liveFrameOf(context);
    const NMethodHeader* nm =
        reinterpret_cast<const NMethodHeader*>(reinterpret_cast<uint64_t*>(fp)[frNMethod] & frameNMethodMask);
    return (nm->flags & (nmFlagHandler | nmFlagUnwind)) != 0;
  }
  oop method = bodyOf(headerOf(context))[ctxMethod];
  if (!isHeapObject(method) || !hasPtrs(headerOf(method)) || bodyWordsOf(headerOf(method)) == 0) return false;
  oop bytecodes = slotOf(method, 0);
  if (!isHeapObject(bytecodes) || hasPtrs(headerOf(bytecodes)) || byteSizeOf(headerOf(bytecodes)) == 0) return false;
  uint8_t first = *reinterpret_cast<const uint8_t*>(bodyOf(headerOf(bytecodes)));
  return (first & 0x8C) > 131;
}

// 808: the next marked context below the receiver, stopping at the argument. Frames of a
// live chain are looked at even when they have no context yet (one is made for the answer).
static oop primNextHandlerContext(oop receiver, oop stop) {
  if (stop != nilOop() && !isContextObject(stop)) return failPrimitive(primErrorAt(primErrBadArgument), 1);
  oop c = receiver;
  while (isContextObject(c)) {
    if (isLiveHybrid(c)) {
      uint64_t fp = liveFrameOf(c);
      uint64_t* s = segmentOf(fp);
      for (fp = reinterpret_cast<uint64_t*>(fp)[frCallerFp]; fp != rootFpOf(s); fp = reinterpret_cast<uint64_t*>(fp)[frCallerFp]) {
        uint64_t* f = reinterpret_cast<uint64_t*>(fp);
        bool hybrid = (f[frNMethod] & frameHybridBit) != 0;
        if (hybrid && f[frContext] == stop) return nilOop();
        const NMethodHeader* nm = reinterpret_cast<const NMethodHeader*>(f[frNMethod] & frameNMethodMask);
        if (nm->flags & (nmFlagHandler | nmFlagUnwind)) return hybrid ? f[frContext] : frameMakeHybrid(fp, 0);
      }
      c = s[shRootSender];
    } else {
      c = bodyOf(headerOf(c))[ctxSender];
    }
    if (c == stop || !isContextObject(c)) return nilOop();
    if (!isLiveHybrid(c) && isMarkedForHandlers(c)) return c;
    if (isLiveHybrid(c)) {
      uint64_t* f = reinterpret_cast<uint64_t*>(liveFrameOf(c));
      if (reinterpret_cast<const NMethodHeader*>(f[frNMethod] & frameNMethodMask)->flags & (nmFlagHandler | nmFlagUnwind))
        return c;
    }
  }
  return nilOop();
}

// 524: a bytecode pc of the receiver's method as a native pc, SmallInteger(-offset).
static oop primBytecodeToNativePc(oop receiver, oop vpc) {
  if (!isSmallInteger(vpc) || smallIntegerValue(vpc) <= 0 || !isContextObject(receiver))
    return failPrimitive(primErrorAt(primErrBadArgument), 1);
  uint64_t nm = mustAddNMethod(bodyOf(headerOf(receiver))[ctxMethod]);
  int64_t offset = nm != 0 ? mustMapVToNPC(receiver, smallIntegerValue(vpc), nm) : 0;
  if (offset <= 0) return failPrimitive(primErrorAt(primErrGeneral), 1);
  return smallIntegerFor(-offset);
}

// 525: a native pc (negative SmallInteger) of the receiver's method as a bytecode pc.
static oop primNativeToBytecodePc(oop receiver, oop npc) {
  if (!isSmallInteger(npc) || smallIntegerValue(npc) >= 0 || !isContextObject(receiver))
    return failPrimitive(primErrorAt(primErrBadArgument), 1);
  uint64_t nm = mustAddNMethod(bodyOf(headerOf(receiver))[ctxMethod]);
  if (nm == 0) return failPrimitive(primErrorAt(primErrNoSpace), 1);
  int64_t vpc = 0;
  for (int attempt = 0; attempt < 3 && vpc <= 0 && mapNToVPCHook != nullptr; attempt++) {
    if (attempt == 1) compactNMethods();
    if (attempt == 2) {
      stabilizeMostStacks();
      compactAllNMethods();
    }
    vpc = mapNToVPCHook(nm, -smallIntegerValue(npc));
    if (vpc == 0) break;  // unmappable: retrying does not help
  }
  if (vpc < 0) return failPrimitive(primErrorAt(primErrNoSpace), 1);
  if (vpc == 0) return failPrimitive(primErrorAt(primErrGeneral), 1);
  return smallIntegerFor(vpc);
}

// 809: every context between the receiver and the argument dies (only when the argument is
// in the receiver's chain) and the argument becomes the receiver's sender.
static oop primTerminateTo(oop receiver, oop stop) {
  if (!isContextObject(receiver) || (stop != nilOop() && !isContextObject(stop)))
    return failPrimitive(primErrorAt(primErrBadArgument), 1);
  if (isImmutable(headerOf(receiver))) return failPrimitive(primErrorAt(primErrImmutable), 1);
  oop first = nextInChain(receiver);
  bool inChain = stop != nilOop() && findContextInChain(first, stop, stop) != 0;
  if (isLiveHybrid(receiver)) {
    uint64_t fp = liveFrameOf(receiver);
    uint64_t* s = segmentOf(fp);
    bool bottom = reinterpret_cast<uint64_t*>(fp)[frCallerFp] == rootFpOf(s);
    oop rootSender = s[shRootSender];
    storeLiveSender(receiver, stop);  // the receiver's frame leaves the frames below it
    if (!inChain) return receiver;
    if (bottom) {
      nilContexts(rootSender, stop);
    } else {
      oop next = 0;
      if (!popToHybridFrame(s, stop, &next)) nilContexts(next, stop);
    }
    return receiver;
  }
  if (inChain) nilContexts(first, stop);
  bodyOf(headerOf(receiver))[ctxSender] = stop;
  storeCheck(headerOf(receiver), stop, SOURCE_NAME, __LINE__);
  return receiver;
}

// 806: the first of the two arguments in the receiver's chain.
static oop primFindContextInChain(oop receiver, oop a, oop b) {
  oop found = findContextInChain(receiver, a, b);
  return found != 0 ? found : failPrimitive(primErrorAt(primErrNotFound), 2);
}

// 807: whether the argument is in the receiver's sender chain.
static oop primHasSender(oop receiver, oop context) {
  oop first = isContextObject(receiver) ? nextInChain(receiver) : 0;
  return booleanOop(first != 0 && findContextInChain(first, context, context) != 0);
}

// Translated code stores into a slot of thisContext or another context (glue
// rtStoreContextInstVar); the value stays in rbx.
extern "C" oop CrtStoreContextInstVar(oop context, oop value, uint64_t index) {
  storeContextInstVar(context, value, uint32_t(index));
  return value;
}

void initContextPrimitives() {
  addCPrimitive(800, reinterpret_cast<const void*>(primContextAt), 1);
  addCPrimitive(801, reinterpret_cast<const void*>(primContextAtPut), 2);
  addCPrimitive(802, reinterpret_cast<const void*>(primContextSize), 0);
  addCPrimitive(803, reinterpret_cast<const void*>(primContextInstVarAt), 1);
  addCPrimitive(524, reinterpret_cast<const void*>(primBytecodeToNativePc), 1);
  addCPrimitive(525, reinterpret_cast<const void*>(primNativeToBytecodePc), 1);
  addCPrimitive(527, reinterpret_cast<const void*>(primContextStackAt), 1);
  addCPrimitive(528, reinterpret_cast<const void*>(primContextStackAtPut), 2);
  addCPrimitive(804, reinterpret_cast<const void*>(primContextInstVarAtPut), 2);
  addCPrimitive(809, reinterpret_cast<const void*>(primTerminateTo), 1);
  addCPrimitive(806, reinterpret_cast<const void*>(primFindContextInChain), 2);
  addCPrimitive(807, reinterpret_cast<const void*>(primHasSender), 1);
  addCPrimitive(808, reinterpret_cast<const void*>(primNextHandlerContext), 1);
}
