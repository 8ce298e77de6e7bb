// Translation of whole methods built by mkimage in-process, run natively on a stack segment:
// loops, recursion through linked self-sends, argument passing, stores that alias pushed
// values, loop ends that call out, and the inline arithmetic and comparisons on the
// SmallInteger edges with their send paths.
#include <gtest/gtest.h>

#include <cinttypes>
#include <functional>
#include <string>
#include <vector>

#include "ext/platform.h"
#include "imageWriter.h"
#include "mkHeap.h"
#include "mkTestUtil.h"
#include "mman/mmObject.h"
#include "mman/mmSysOop.h"
#include "stack/stackzone.h"
#include "stack/vmsupport.h"
#include "support/testZone.h"
#include "tran/nmalloc.h"
#include "tran/tloop.h"
#include "tran/tmain.h"
#include "tran/tpcmap.h"
#include "tran/tprim.h"

extern "C" {
uint64_t tranCall(uint64_t entry, uint64_t receiver, const uint64_t* args, uint64_t numArgs);
void recordSend();
void recordEndLoop();
extern uint64_t tranRspBefore, tranRspAfter, recReceiver, recArg, recSelector, recCount, recAnswer;
extern uint64_t recForceLimit, recEndLoops;
}

namespace {

alignas(stackSegmentBytes) uint64_t segments[4 * stackSegmentWords];
// The zone's code area: executable, below 2 GiB like the engine's.
constexpr uint64_t runAreaBytes = 8 << 20;
alignas(4096) uint8_t runArea[runAreaBytes];

// Every send site of an nmethod with its return address and send type, from its PC map.
void forEachSendSite(uint64_t nm, const std::function<void(uint64_t, uint32_t)>& fn) {
  static const uint32_t types[4] = {0, 1, 10, 11};
  const uint8_t* p = reinterpret_cast<const uint8_t*>(nm + reinterpret_cast<NMethodHeader*>(nm)->usedSize) - 1;
  uint64_t position = nm + nMethodHeaderSize;
  for (;; p--) {
    uint8_t b = *p;
    if (b == mapEnd) return;
    uint32_t kind = b >> 5;
    if (kind <= mapKindNonImmSend1) {
      position += b & 31;
      fn(position, types[kind]);
    } else if (kind == mapKindDelta) {
      position += b & 31;
    } else if (kind == mapKindSend) {
      fn(position, b & 31);
    }
  }
}

// Links a site as a monomorphic inline cache would: the expected class at R-9, the callee's
// entry for the site's send type at R-4.
void linkSite(uint64_t returnAddress, uint32_t sendType, uint32_t classTag, uint64_t callee) {
  uint32_t tag = classTag;
  memcpy(reinterpret_cast<void*>(returnAddress - 9), &tag, 4);
  int32_t d = int32_t(int64_t(callee + sendTypeTable[sendType].entryOffset) - int64_t(returnAddress));
  memcpy(reinterpret_cast<void*>(returnAddress - 4), &d, 4);
}

const char* const runSource = R"(T = (
----
| civ |
sumTo: n = ( | s | s := 0. 1 to: n do: [:i | s := s + i]. ^s )
fib: n = ( n < 2 ifTrue: [^n]. ^(self fib: n - 1) + (self fib: n - 2) )
a0 = ( ^7 )
a1: x = ( ^x )
a2: x y: y = ( ^x - y )
a3: x y: y z: z = ( ^x - y - z )
a4: x y: y z: z w: w = ( ^x - y - z - w )
tTemp = ( | t | t := 2. ^t + (t := 5) )
tIvar = ( civ := 2. ^civ + (civ := 5) )
poking: n = ( | s | s := 0. 1 to: n do: [:i | s := s + i. self poke]. ^s )
))";

class TranslateRun : public ::testing::Test {
 protected:
  static void build(const std::string& extra) {
    program = compileWithKernel({{"T.som", extra}});
    ASSERT_TRUE(mkNewHeap());
    std::string err;
    ASSERT_TRUE(mkBuildHeap(program, {}, built, err)) << err;
  }
  void SetUp() override {
    build(runSource);
    installTranslatorHooks();
    pdSetMemExecPerm(runArea, runAreaBytes);
    initNMethods(reinterpret_cast<uint64_t>(runArea), runAreaBytes);
    for (SendTypeRow& row : sendTypeTable) row.glue = reinterpret_cast<uint64_t>(&recordSend);
    tRt.endLoop = reinterpret_cast<const void*>(&recordEndLoop);
    initStacks(segments, 4);
    stackAlloc(0);
    currentStack[shSp] = reinterpret_cast<uint64_t>(currentStack + shRootReturn);
    currentStack[shFp] = rootFpOf(currentStack);
    restoreStackLimit(int64_t(currentStack[shRealLim]));
    recCount = recEndLoops = recForceLimit = 0;
    recAnswer = smallIntegerFor(999);
  }
  void TearDown() override {
    initStackChains();
    tRt = {};
    for (SendTypeRow& row : sendTypeTable) row = {};
    initPrimitiveTable();
    iwFreeHeap();
  }
  static oop methodOf(const std::string& selector) {
    const MkMethod* m = findMethod(program, "T", selector);
    EXPECT_NE(m, nullptr) << selector;
    return m == nullptr ? 0 : built.methods.at(m);
  }
  static oop selectorOf(const std::string& selector) { return built.symbols.at(selector); }
  static oop receiver() { return built.classes.at("T"); }
  static uint64_t translate(const std::string& selector) {
    uint64_t nm = findMethodFor(selector);
    EXPECT_GE(nm, lookupResultLimit) << selector;
    return nm;
  }
  static uint64_t findMethodFor(const std::string& selector) {
    return findMethod(selectorOf(selector), classTagOf(headerOf(receiver())));
  }
  static oop run(uint64_t nm, std::vector<uint64_t> args) {
    return tranCall(nm + nMethodEntryNoCheck, receiver(), args.data(), args.size());
  }
  static MkProgram program;
  static MkBuilt built;
  SavedNMethodZone savedZone;
};
MkProgram TranslateRun::program;
MkBuilt TranslateRun::built;

TEST_F(TranslateRun, LoopsRecursionArgumentsAndAliasedStores) {
  EXPECT_EQ(run(translate("sumTo:"), {smallIntegerFor(1000000)}), smallIntegerFor(500000500000));
  EXPECT_EQ(recCount, 0u) << "an all-inline loop sends nothing";

  uint64_t fib = translate("fib:");
  int sites = 0;
  forEachSendSite(fib, [&](uint64_t r, uint32_t type) {
    uint32_t selector;
    memcpy(&selector, reinterpret_cast<void*>(r - 9), 4);
    if (selector < 256) return;  // the inline paths' sends stay unlinked
    linkSite(r, type, classTagOf(headerOf(receiver())), fib);
    sites++;
  });
  EXPECT_EQ(sites, 2);
  EXPECT_EQ(run(fib, {smallIntegerFor(20)}), smallIntegerFor(6765));
  EXPECT_EQ(recCount, 0u);

  struct Case {
    const char* selector;
    std::vector<uint64_t> args;
    int64_t answer;
  };
  const Case cases[] = {
      {"a0", {}, 7},
      {"a1:", {smallIntegerFor(5)}, 5},
      {"a2:y:", {smallIntegerFor(100), smallIntegerFor(10)}, 90},
      {"a3:y:z:", {smallIntegerFor(100), smallIntegerFor(10), smallIntegerFor(1)}, 89},
      {"a4:y:z:w:", {smallIntegerFor(1000), smallIntegerFor(100), smallIntegerFor(10), smallIntegerFor(1)}, 889},
      {"tTemp", {}, 7},
      {"tIvar", {}, 7},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.selector);
    EXPECT_EQ(run(translate(c.selector), c.args), smallIntegerFor(c.answer));
    EXPECT_EQ(tranRspAfter, tranRspBefore) << "the callee pops what its caller stacked";
  }
}

TEST_F(TranslateRun, ForcedStackLimitCallsOutAtEachLoopEndAndResumesAtTheHead) {
  uint64_t nm = translate("poking:");
  recForceLimit = 1;
  EXPECT_EQ(run(nm, {smallIntegerFor(10)}), smallIntegerFor(55));
  EXPECT_EQ(recCount, 10u);
  EXPECT_EQ(recEndLoops, 10u);
  EXPECT_EQ(recReceiver, receiver());
}

}  // namespace
