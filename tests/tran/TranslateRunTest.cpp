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

class TranslatorZone : public ::testing::Test {
 protected:
  virtual std::vector<MkSource> sources() { return {{"T.som", runSource}}; }
  static void build(const std::vector<MkSource>& extra) {
    program = compileWithKernel(extra);
    ASSERT_TRUE(mkNewHeap());
    std::string err;
    ASSERT_TRUE(mkBuildHeap(program, {}, built, err)) << err;
  }
  void SetUp() override {
    build(sources());
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
MkProgram TranslatorZone::program;
MkBuilt TranslatorZone::built;

class TranslateRun : public TranslatorZone {};

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

namespace {

// Every method of the kernel, the examples and the compiler's corpus.
class TranslateCorpus : public TranslatorZone {
 protected:
  std::vector<MkSource> sources() override {
    std::vector<MkSource> all;
    for (const char* f : {"Args", "Arithmetic", "Blocks", "Collections", "Errors", "Files", "Hello", "LargeInt",
                          "Processes", "Recursion", "Sleep", "Strings", "Unwind"}) {
      all.push_back({std::string(f) + ".som", readText(std::string(MKIMAGE_DIR) + "/examples/" + f + ".som")});
    }
    all.push_back({"Corpus.som", readText(std::string(MKIMAGE_DIR) + "/tests/corpus/Corpus.som")});
    return all;
  }
};

struct Translated {
  std::string name;
  oop method;
  uint64_t nm;
  uint8_t* codeEnd;
};

void collect(const MkMethod& m, std::vector<const MkMethod*>& out) {
  out.push_back(&m);
  for (const MkMethod& b : m.blocks) collect(b, out);
}

// The code of an nmethod as regions of whole instructions: the abort call, then from the miss
// call (or the block entry) to the end of the code, without a primitive method's trailer words.
void appendCode(const Translated& t, std::string& bytes) {
  const uint8_t* nm = reinterpret_cast<const uint8_t*>(t.nm);
  bytes.append(reinterpret_cast<const char*>(nm + nMethodCannotResumeEntry), nMethodAbortOffsetOffset - nMethodCannotResumeEntry);
  bool block = (reinterpret_cast<const NMethodHeader*>(nm)->flags & nmFlagBlock) != 0;
  bool prim = (reinterpret_cast<const NMethodHeader*>(nm)->flags & nmFlagPrimitive) != 0;
  const uint8_t* from = nm + (block ? nMethodBlockEntry : nMethodAbortSendMissOffset);
  const uint8_t* to = t.codeEnd - (prim ? 16 : 0);
  bytes.append(reinterpret_cast<const char*>(from), size_t(to - from));
}

TEST_F(TranslateCorpus, EveryMethodTranslatesDisassemblesAndMapsItsSitesBothWays) {
  std::vector<const MkMethod*> records;
  for (const MkClass& k : program.classes) {
    for (const MkMethod& m : k.methods) collect(m, records);
    for (const MkMethod& m : k.classMethods) collect(m, records);
  }
  ASSERT_GT(records.size(), 300u);
  std::vector<Translated> done;
  for (const MkMethod* m : records) {
    oop method = built.methods.at(m);
    std::string name = m->className + (m->classSide ? " class" : "") + ">>" + m->selector +
                       (m->isBlock ? " block " + std::to_string(m->blockNumber) : "");
    uint64_t nm = m->isBlock ? addNMethod(method, 0) : addNMethod(method, built.symbols.at(m->selector));
    ASSERT_GE(nm, lookupResultLimit) << name;
    EXPECT_EQ(badBytecodePC, -1) << name;
    const NMethodHeader* h = reinterpret_cast<const NMethodHeader*>(nm);
    EXPECT_EQ(h->vmethod, method);
    EXPECT_EQ(h->numArgs, m->numArgs) << name;
    EXPECT_EQ(h->numTemps, m->numTemps) << name;
    EXPECT_EQ((h->flags & nmFlagBlock) != 0, m->isBlock) << name;
    done.push_back({name, method, nm, tLastCodeEnd});
  }
  // objdump decodes every instruction.
  std::string bytes;
  std::vector<std::pair<size_t, std::string>> starts;
  for (const Translated& t : done) {
    starts.push_back({bytes.size(), t.name});
    appendCode(t, bytes);
  }
  std::string dir = ::testing::TempDir();
  std::string bin = dir + "/corpus-code.bin";
  FILE* f = fopen(bin.c_str(), "wb");
  ASSERT_NE(f, nullptr);
  fwrite(bytes.data(), 1, bytes.size(), f);
  fclose(f);
  std::string cmd = "objdump -D -b binary -mi386:x86-64 " + bin + " | grep -F '(bad)'";
  FILE* p = popen(cmd.c_str(), "r");
  ASSERT_NE(p, nullptr);
  char line[512];
  int bad = 0;
  while (fgets(line, sizeof line, p) != nullptr) {
    size_t offset = strtoull(line, nullptr, 16);
    std::string owner;
    for (const auto& s : starts) {
      if (s.first <= offset) owner = s.second;
    }
    ADD_FAILURE() << "undecodable code in " << owner << ": " << line;
    if (++bad > 10) break;
  }
  pclose(p);
  remove(bin.c_str());
  // Every send site and loop end maps to a bytecode pc that maps back to it.
  int sites = 0, loopEnds = 0;
  for (const Translated& t : done) {
    auto roundTrip = [&](uint64_t returnAddress) {
      int64_t npc = int64_t(returnAddress - t.nm);
      int64_t vpc = mapNToVPC(t.method, npc);
      EXPECT_GT(vpc, 0) << t.name << " at " << npc;
      EXPECT_EQ(mapVToNPC(t.method, vpc), npc) << t.name << " vpc " << vpc;
    };
    forEachSendSite(t.nm, [&](uint64_t r, uint32_t) {
      roundTrip(r);
      sites++;
    });
    // Loop ends: the calls of the loop-end routine, found by the code after the stack check.
    for (const uint8_t* q = reinterpret_cast<const uint8_t*>(t.nm) + nMethodEntryNoCheck; q + 5 <= t.codeEnd; q++) {
      int32_t d;
      memcpy(&d, q + 1, 4);
      if (q[0] == 0xE8 && q + 5 + d == tRt.endLoop && q[-6] == 0x0F && q[-5] == 0x83) {
        roundTrip(uint64_t(reinterpret_cast<uintptr_t>(q + 5)));
        loopEnds++;
      }
    }
  }
  EXPECT_GT(sites, 1000);
  EXPECT_GT(loopEnds, 20);
}

}  // namespace
