// Test support: the primitive-call harness.
#include "support/primHarness.h"

#include <cassert>
#include <cstring>
#include <vector>

#include "ext/exPrimTable.h"
#include "stack/nsupport.h"
#include "stack/stackzone.h"
#include "tran/tpcmap.h"

oop harnessFrameMethod = 0;

namespace {

alignas(16) uint64_t harnessSegment[stackSegmentWords];

// The method whose prologue "called" the primitive: a header and, at offset 100, the
// failure jump and its offset word, so that a commit can build the method's frame; at its
// end a primitive map (restart and return offsets, then the map's end byte), so that a
// restartable commit finds its resume point.
struct alignas(16) HarnessNMethod {
  NMethodHeader h;
  uint8_t code[120];
};
HarnessNMethod harnessMethod;

uint64_t harnessCallSite(uint8_t numArgs) {
  harnessMethod.h.usedSize = sizeof harnessMethod;
  harnessMethod.h.numArgs = numArgs;
  harnessMethod.h.frame = 12;
  harnessMethod.h.vmethod = harnessFrameMethod;
  uint8_t* code = reinterpret_cast<uint8_t*>(&harnessMethod);
  code[100] = 0xEB;
  uint32_t word = 102;
  memcpy(code + 102, &word, 4);
  const uint64_t restartOffset = 112, returnOffset = 116;
  memcpy(code + 128, &restartOffset, 8);
  memcpy(code + 136, &returnOffset, 8);
  code[sizeof harnessMethod - 1] = mapEnd;
  return reinterpret_cast<uint64_t>(&harnessMethod) + 100;
}

// Word 6 non-zero marks the primitive pending; some tests pass no receiver (0).
oop pendingWord(oop receiver) { return receiver != 0 ? receiver : oopTagCharacter; }

// A segment as the primitive glue leaves it: sp at the caller's return pc, the save area
// holding the pending primitive.
void preparePending(uint64_t* s, oop receiver, const std::vector<oop>& a) {
  s[shSp] = reinterpret_cast<uint64_t>(s + shRootReturn);
  s[shFp] = reinterpret_cast<uint64_t>(s + shRootFp);
  s[shRealLim] = reinterpret_cast<uint64_t>(s) + stackRealLimBytes;
  s[shNumArgs] = a.size();
  s[shReceiver] = pendingWord(receiver);
  s[shArg0] = a.size() >= 1 ? a[a.size() >= 2 ? a.size() - 2 : 0] : 0;
  s[shArg1] = a.size() >= 2 ? a[a.size() - 1] : 0;
  s[shFailAddr] = harnessCallSite(uint8_t(a.size()));
  s[shPrimErr] = 0;
}

// A failure after a commit would enter native code at the frame's failure code; the hook
// brings it back to callPrimitive instead.
void* harnessJump[5];
oop frameErrorOop;
uint64_t frameNumArgs;
void harnessFrameFailure(oop errorOop, uint64_t numArgs) {
  frameErrorOop = errorOop;
  frameNumArgs = numArgs;
  __builtin_longjmp(harnessJump, 1);
}

}  // namespace

// A var-arg primitive's call as the glue makes it: the receiver and the first n-2 arguments
// stacked above the return pc (argument 1 deepest, the receiver above it), the last two in
// the save area, and f(receiver, n, saved sp).
PrimOutcome callVarArgPrimitive(uint32_t number, oop receiver, const std::vector<oop>& a) {
  const PrimEntry* e = getPrimEntry(number);
  assert(e->function != 0 && e->kind == primKindVarArgC);
  uint64_t n = a.size();
  uint64_t stacked = n >= 3 ? n - 1 : 0;  // the receiver and arguments 1 .. n-2
  uint64_t* saved = currentStack;
  currentStack = harnessSegment;
  uint64_t* s = harnessSegment;
  preparePending(s, receiver, a);
  uint64_t* sp = s + shRootReturn - stacked;
  for (uint64_t k = 1; k + 2 <= n; k++) sp[n - k - 1] = a[k - 1];
  if (stacked) sp[n - 1] = receiver;
  sp[0] = 0;  // the caller's return pc
  s[shSp] = reinterpret_cast<uint64_t>(sp);
  s[shNumArgs] = n;
  frameFailureHook = harnessFrameFailure;
  if (__builtin_setjmp(harnessJump) != 0) {
    frameFailureHook = nullptr;
    currentStack = saved;
    return {true, 0, frameErrorOop, frameNumArgs, true};
  }
  oop result = reinterpret_cast<oop (*)(oop, uint64_t, uint64_t)>(e->function)(receiver, n, s[shSp]);
  frameFailureHook = nullptr;
  currentStack = saved;
  if (s[shReceiver] == 0 && s[shPrimErr] == 0) return {false, reinterpret_cast<const uint64_t*>(s[shSp])[1], 0, 0, false};
  if (s[shPrimErr] != 0) return {true, 0, s[shPrimErr], s[shNumArgs], false};
  return {false, result, 0, 0, false};
}

PrimOutcome callPrimitive(uint32_t number, oop receiver, std::initializer_list<oop> argList) {
  return callPrimitive(number, receiver, std::vector<oop>(argList));
}

PrimOutcome callPrimitive(uint32_t number, oop receiver, const std::vector<oop>& a) {
  return callPrimitiveOn(harnessSegment, number, receiver, a);
}

PrimOutcome callPrimitiveOn(uint64_t* segment, uint32_t number, oop receiver, const std::vector<oop>& a) {
  const PrimEntry* e = getPrimEntry(number);
  assert(e->function != 0 && e->kind == primKindC && e->numArgs == a.size());
  uint64_t* saved = currentStack;
  currentStack = segment;
  preparePending(segment, receiver, a);
  frameFailureHook = harnessFrameFailure;
  if (__builtin_setjmp(harnessJump) != 0) {
    frameFailureHook = nullptr;
    currentStack = saved;
    return {true, 0, frameErrorOop, frameNumArgs, true};
  }
  oop result = 0;
  switch (a.size()) {
    case 0: result = reinterpret_cast<oop (*)(oop)>(e->function)(receiver); break;
    case 1: result = reinterpret_cast<oop (*)(oop, oop)>(e->function)(receiver, a[0]); break;
    case 2: result = reinterpret_cast<oop (*)(oop, oop, oop)>(e->function)(receiver, a[0], a[1]); break;
    case 3:
      result = reinterpret_cast<oop (*)(oop, oop, oop, oop)>(e->function)(receiver, a[0], a[1], a[2]);
      break;
    case 4:
      result = reinterpret_cast<oop (*)(oop, oop, oop, oop, oop)>(e->function)(receiver, a[0], a[1], a[2], a[3]);
      break;
    case 5:
      result = reinterpret_cast<oop (*)(oop, oop, oop, oop, oop, oop)>(e->function)(receiver, a[0], a[1], a[2],
                                                                                    a[3], a[4]);
      break;
    case 6:
      result = reinterpret_cast<oop (*)(oop, oop, oop, oop, oop, oop, oop)>(e->function)(receiver, a[0], a[1],
                                                                                         a[2], a[3], a[4], a[5]);
      break;
    case 7:
      result = reinterpret_cast<oop (*)(oop, oop, oop, oop, oop, oop, oop, oop)>(e->function)(
          receiver, a[0], a[1], a[2], a[3], a[4], a[5], a[6]);
      break;
    case 8:
      result = reinterpret_cast<oop (*)(oop, oop, oop, oop, oop, oop, oop, oop, oop)>(e->function)(
          receiver, a[0], a[1], a[2], a[3], a[4], a[5], a[6], a[7]);
      break;
    case 12: {  // the BitBlt primitives
      typedef oop (*Twelve)(oop, oop, oop, oop, oop, oop, oop, oop, oop, oop, oop, oop, oop);
      result = reinterpret_cast<Twelve>(e->function)(receiver, a[0], a[1], a[2], a[3], a[4], a[5], a[6], a[7], a[8],
                                                     a[9], a[10], a[11]);
      break;
    }
    case 14: {  // the drag loops
      typedef oop (*Fourteen)(oop, oop, oop, oop, oop, oop, oop, oop, oop, oop, oop, oop, oop, oop, oop);
      result = reinterpret_cast<Fourteen>(e->function)(receiver, a[0], a[1], a[2], a[3], a[4], a[5], a[6], a[7], a[8],
                                                       a[9], a[10], a[11], a[12], a[13]);
      break;
    }
    case 15: {
      typedef oop (*Fifteen)(oop, oop, oop, oop, oop, oop, oop, oop, oop, oop, oop, oop, oop, oop, oop, oop);
      result = reinterpret_cast<Fifteen>(e->function)(receiver, a[0], a[1], a[2], a[3], a[4], a[5], a[6], a[7], a[8],
                                                      a[9], a[10], a[11], a[12], a[13], a[14]);
      break;
    }
    default: assert(!"primitives of 9 to 11 arguments take the var-arg form");
  }
  frameFailureHook = nullptr;
  currentStack = saved;
  const uint64_t* s = segment;
  if (s[shReceiver] == 0 && s[shPrimErr] == 0) {
    // Committed: the frame holds the answer that the glue would return through it.
    return {false, reinterpret_cast<const uint64_t*>(s[shSp])[1], 0, 0, false};
  }
  if (s[shPrimErr] != 0) {
    // The short failure path answers the receiver over a pushed failure-glue address; the
    // long one answers 0.
    bool shortPath = a.size() <= 2;
    assert(shortPath ? result == pendingWord(receiver) && s[shSp] + 8 == reinterpret_cast<uint64_t>(s + shRootReturn)
                     : result == 0);
    (void)shortPath;
    return {true, 0, s[shPrimErr], s[shNumArgs], false};
  }
  return {false, result, 0, 0, false};
}
