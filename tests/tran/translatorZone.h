// The translator test zone: methods compiled by mkimage in-process and built into a heap,
// translated into a code area below 2 GiB and run natively on stack segments with the
// recording send; the fixture restores every switch and table it changes.
#pragma once

#include <gtest/gtest.h>
#include <algorithm>
#include <cinttypes>
#include <cmath>
#include <cstring>
#include <limits>
#include <functional>
#include <fstream>
#include <random>
#include <regex>
#include <sstream>
#include <string>
#include <vector>
#include "ext/exRequest.h"
#include "ext/platform.h"
#include "imageWriter.h"
#include "mkHeap.h"
#include "mkTestUtil.h"
#include "mman/mmDebug.h"
#include "mman/mmNewSpace.h"
#include "mman/mmObject.h"
#include "mman/mmSnapshot.h"
#include "mman/mmSysOop.h"
#include "prim/prArithmetic.h"
#include "prim/prDouble.h"
#include "mman/mmCValue.h"
#include "ext/exOption.h"
#include "support/primHarness.h"
#include "stack/glue.h"
#include "stack/nsupport.h"
#include "stack/stackzone.h"
#include "support/testZone.h"
#include "tran/translateRun.h"
#include "tran/nmalloc.h"
#include "tran/tloop.h"
#include "tran/taux.h"
#include "tran/tmain.h"
#include "tran/txmem.h"
#include "tran/tpcmap.h"
#include "tran/tprim.h"

namespace {

alignas(stackSegmentBytes) uint64_t segments[4 * stackSegmentWords];
// The zone's code area: executable, below 2 GiB like the engine's.
constexpr uint64_t runAreaBytes = 8 << 20;
alignas(4096) uint8_t runArea[runAreaBytes];

const char* const opNames[8] = {"+", "-", "<", ">", "<=", ">=", "=", "~="};
// The grid's constant arguments: imm8, imm32 and 64-bit forms, and the most negative.
const int64_t gridConstants[4] = {5, 100000, (int64_t(1) << 60) - 1, -(int64_t(1) << 60)};

// The run methods and, per special selector k of 0-7: vk:with: (the value), fk:with: (before
// a branch if false), tk:with: (before a branch if true) and ckxj: (constant argument j).
std::string runSource() {
  std::string s = R"(T = (
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
nested: n = ( 1 to: n do: [:i | [i > 0] whileTrue: [^i + 10]]. ^0 )
i0: a with: b = ( ^a == b )
i1: a with: b = ( ^a ~~ b )
i2: a with: b = ( ^(a == b) ifTrue: [1] ifFalse: [2] )
k0 = ( true ifTrue: [^1]. ^2 )
k1: a = ( ^(a ifTrue: [true] ifFalse: [false]) ifTrue: [1] ifFalse: [2] )
b0 = ( ^[7] )
b1 = ( ^[:a | a] )
b2 = ( ^[:a :b | a] )
b4 = ( ^[:a :b :c :d | a] )
nest = ( ^[[2]] )
p1: x = ( <primitive: 4000> ^x )
filler = ( ^3 )
compact = ( <primitive: 4001> ^0 )
rec: n = ( n = 0 ifTrue: [^self compact]. ^(self rec: n - 1) + 1 )
)";
  for (int k = 0; k < 8; k++) {
    std::string op = opNames[k], n = std::to_string(k);
    s += "v" + n + ": a with: b = ( ^a " + op + " b )\n";
    s += "f" + n + ": a with: b = ( ^(a " + op + " b) ifTrue: [1] ifFalse: [2] )\n";
    s += "t" + n + ": a with: b = ( (a " + op + " b) ifFalse: [^2]. ^1 )\n";
    for (int j = 0; j < 4; j++) s += "c" + n + "x" + std::to_string(j) + ": a = ( ^a " + op + " " + std::to_string(gridConstants[j]) + " )\n";
  }
  return s + ")";
}

class TranslatorZone : public ::testing::Test {
 protected:
  virtual std::vector<MkSource> sources() { return {{"T.som", runSource()}}; }
  // Methods assembled from raw bytecodes, added to T's class side.
  virtual std::vector<MkMethod> assembled() { return {}; }
  void build(const std::vector<MkSource>& extra) {
    program = compileWithKernel(extra);
    for (MkClass& k : program.classes) {
      if (k.name != "T") continue;
      for (MkMethod m : assembled()) {
        m.className = "T";
        m.classSide = true;
        k.classMethods.push_back(m);
      }
    }
    ASSERT_TRUE(mkNewHeap());
    std::string err;
    ASSERT_TRUE(mkBuildHeap(program, {}, built, err)) << err;
  }
  void SetUp() override {
    build(sources());
    startRecordedRun(runArea, runAreaBytes, segments, 4);
    recAnswer = smallIntegerFor(999);
    savedTP = enableTP;
    savedDebugLog = debugLog;
  }
  void TearDown() override {
    initStackChains();
    tRt = {};
    for (SendTypeRow& row : sendTypeTable) row = {};
    initPrimitiveTable();
    iwFreeHeap();
    enableTP = savedTP;
    debugLog = savedDebugLog;
  }
  // Switches a test may change, as set-up left them.
  uint32_t savedTP = enableTP;
  FILE* savedDebugLog = debugLog;
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
MkProgram TranslatorZone::program;
MkBuilt TranslatorZone::built;

}  // namespace
