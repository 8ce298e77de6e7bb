// The translator's primitives over methods built by mkimage in-process and translated into a
// zone of the test's own: the profiling timer sampling a native loop (most samples land in the
// loop's nmethod) and compaction moving those counts with the code; the listing primitive
// answering what the listing printer writes and leaving no nmethod; failing stabilisation
// leaving the options and the code as they were; a snapshot whose contexts cannot all be
// given bytecode pcs failing without touching its file.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <numeric>
#include <string>
#include <sys/resource.h>
#include <sys/time.h>
#include <unistd.h>
#include <vector>

#include "ext/exError.h"
#include "ext/exOption.h"
#include "ext/exPrimTable.h"
#include "ext/exRequest.h"
#include "ext/platform.h"
#include "imageWriter.h"
#include "mkHeap.h"
#include "mkTestUtil.h"
#include "mman/mmCString.h"
#include "mman/mmImageHeader.h"
#include "mman/mmInit.h"
#include "mman/mmSnapshot.h"
#include "mman/mmSysOop.h"
#include "prim/prEnviron.h"
#include "prim/prSubscript.h"
#include "stack/glue.h"
#include "stack/nsupport.h"
#include "stack/scheduler.h"
#include "stack/stackzone.h"
#include "support/primHarness.h"
#include "support/testZone.h"
#include "tran/translateRun.h"
#include "tran/nmalloc.h"
#include "tran/taux.h"
#include "tran/tloop.h"
#include "tran/tmain.h"
#include "tran/tnmprim.h"


namespace {

alignas(stackSegmentBytes) uint64_t segments[4 * stackSegmentWords];
constexpr uint64_t areaBytes = 4 << 20;
alignas(4096) uint8_t area[areaBytes];

// Class-side methods: the class object is the receiver.
const char* const source = R"(P = (
----
a0 = ( ^7 )
sumTo: n = ( | s | s := 0. 1 to: n do: [:i | s := s + i]. ^s )
))";

class NMethodPrimRun : public ::testing::Test {
 protected:
  static MkProgram program;
  static MkBuilt built;
  SavedNMethodZone savedZone;
  uint64_t savedRanges[4] = {profile_text_lopc, profile_text_hipc, profile_nzone_lopc, profile_nzone_hipc};
  // The switches the primitives under test change, as set-up left them.
  uint32_t savedTP = enableTP, savedTFP = enableTFP, savedIEEE = IEEEInfNaN, savedPersist = persistIEEEInfNaN;
  int32_t savedMaxIndex = tsMaxIndex;
  int (*savedStabilize)() = nmPrimStabilizeHook;
  oop savedFrameMethod = harnessFrameMethod;

  void SetUp() override {
    program = compileWithKernel({{"P.som", source}});
    ASSERT_TRUE(mkNewHeap());
    std::string err;
    ASSERT_TRUE(mkBuildHeap(program, {}, built, err)) << err;
    startRecordedRun(area, areaBytes, segments, 4);
    temp1RegisteredOopX = allocSysOopSlot();
    temp2RegisteredOopX = allocSysOopSlot();
    pdInitProfile(reinterpret_cast<uint64_t>(area), areaBytes);
    savedTP = enableTP, savedTFP = enableTFP, savedIEEE = IEEEInfNaN, savedPersist = persistIEEEInfNaN;
    savedMaxIndex = tsMaxIndex;
    savedStabilize = nmPrimStabilizeHook;
  }
  void TearDown() override {
    collectingProfileData = 0;
    engineData = nzoneData = nullptr;
    profile_text_lopc = savedRanges[0], profile_text_hipc = savedRanges[1];
    profile_nzone_lopc = savedRanges[2], profile_nzone_hipc = savedRanges[3];
    enableTP = savedTP, enableTFP = savedTFP, IEEEInfNaN = savedIEEE, persistIEEEInfNaN = savedPersist;
    tsMaxIndex = savedMaxIndex;
    nmPrimStabilizeHook = savedStabilize;
    harnessFrameMethod = savedFrameMethod;
    temp1RegisteredOopX = temp2RegisteredOopX = -1;
    profileEngineBufferX = profileNZoneBufferX = -1;
    initStackChains();
    tRt = {};
    for (SendTypeRow& row : sendTypeTable) row = {};
    initPrimitiveTable();
    iwFreeHeap();
  }
  static oop methodOf(const std::string& selector) { return built.methods.at(findMethod(program, "P", selector)); }
  static uint64_t translate(const std::string& selector) {
    oop cls = built.classes.at("P");
    uint64_t nm = findMethod(built.symbols.at(selector), classTagOf(headerOf(cls)));
    EXPECT_GE(nm, lookupResultLimit) << selector;
    return nm;
  }
  static oop run(uint64_t nm, uint64_t arg) {
    return tranCall(nm + nMethodEntryNoCheck, built.classes.at("P"), &arg, 1);
  }
  static uint64_t zoneIndex(uint64_t address) { return (address - profile_nzone_lopc) / 8; }
};
MkProgram NMethodPrimRun::program;
MkBuilt NMethodPrimRun::built;

uint64_t sumOf(const std::vector<uint64_t>& v, uint64_t from, uint64_t to) {
  return std::accumulate(v.begin() + int64_t(from), v.begin() + int64_t(to), uint64_t(0));
}

TEST_F(NMethodPrimRun, ProfilerSamplesTheLoopAndCompactionKeepsTheCounts) {
  uint64_t small = translate("a0");
  uint64_t loop = translate("sumTo:");
  ASSERT_LT(small, loop) << "the loop's nmethod lies above the one compaction frees";
  std::vector<uint64_t> text((profile_text_hipc - profile_text_lopc) / 8 + 1), zone(areaBytes / 8);
  engineData = text.data();
  nzoneData = zone.data();
  profileOutsideSamples = 0;
  collectingProfileData = 1;
  pdStartProfileTimer();
  clock_t start = clock();
  while (clock() - start < CLOCKS_PER_SEC / 5) EXPECT_EQ(run(loop, smallIntegerFor(100000)), smallIntegerFor(5000050000));
  PrimOutcome stop = callPrimitive(1002, nilOop(), {falseOop(), nilOop(), nilOop()});
  ASSERT_FALSE(stop.failed);
  struct itimerval timer;
  ASSERT_EQ(getitimer(ITIMER_PROF, &timer), 0);
  EXPECT_EQ(timer.it_value.tv_sec + timer.it_value.tv_usec + timer.it_interval.tv_usec, 0) << "stopping stops the timer";
  EXPECT_EQ(collectingProfileData, 0u);

  uint64_t loopSize = reinterpret_cast<NMethodHeader*>(loop)->usedSize;
  uint64_t inLoop = sumOf(zone, zoneIndex(loop), zoneIndex(loop + loopSize));
  uint64_t total = sumOf(zone, 0, zone.size()) + sumOf(text, 0, text.size()) + profileOutsideSamples;
  EXPECT_GT(total, 10u);
  EXPECT_GT(2 * inLoop, total) << inLoop << " of " << total << " samples in the loop";

  // The freed nmethod's counts go to the compaction counters; the loop's move with its code.
  uint64_t smallSize = reinterpret_cast<NMethodHeader*>(small)->usedSize;
  for (uint64_t i = zoneIndex(small); i < zoneIndex(small + smallSize); i++) zone[i] = 3;
  std::vector<uint64_t> loopCounts(zone.begin() + int64_t(zoneIndex(loop)), zone.begin() + int64_t(zoneIndex(loop + loopSize)));
  uint64_t zoneSum = sumOf(zone, 0, zone.size());
  uint64_t compacted = zone[zoneIndex(profile_compaction_area)];
  uint64_t oldFree = nmZone.free;
  reinterpret_cast<NMethodHeader*>(small)->mark = 0;
  nzoneData = zone.data();
  collectingProfileData = 1;
  nmCompact(1);
  collectingProfileData = 0;
  uint64_t moved = vToNMethod(methodOf("sumTo:"), 0);
  ASSERT_EQ(moved, loop - smallSize);
  EXPECT_TRUE(std::equal(loopCounts.begin(), loopCounts.end(), zone.begin() + int64_t(zoneIndex(moved))));
  EXPECT_EQ(sumOf(zone, 0, zone.size()), zoneSum);
  EXPECT_EQ(zone[zoneIndex(profile_compaction_area)], compacted + 3 * (smallSize / 8));
  EXPECT_EQ(sumOf(zone, zoneIndex(nmZone.free), zoneIndex(oldFree)), 0u);
  EXPECT_EQ(run(moved, smallIntegerFor(10)), smallIntegerFor(55));
}

// The listing comes from a translation of its own: the method gains no nmethod and the zone
// ends as it was.
TEST_F(NMethodPrimRun, ListingAnswersThePrintedTextAndKeepsNoNMethod) {
  oop method = methodOf("sumTo:");
  translate("a0");
  NMZone before = nmZone;
  PrimOutcome o = callPrimitive(1005, nilOop(), {method});
  ASSERT_FALSE(o.failed);
  ASSERT_TRUE(isHeapObject(o.result) && !hasPtrs(headerOf(o.result)));
  std::string answered(reinterpret_cast<const char*>(bodyOf(headerOf(o.result))), byteSizeOf(headerOf(o.result)));
  EXPECT_EQ(vToNMethod(method, 0), 0u);
  EXPECT_EQ(nmZone.free, before.free);
  EXPECT_EQ(nmZone.holesBytes, before.holesBytes);

  uint64_t plain = nmTranslate(method, 0, nullptr);
  uint64_t* table = nullptr;
  uint64_t withTable = nmTranslate(method, 0, &table);
  ASSERT_GE(withTable, lookupResultLimit);
  char* text = nullptr;
  size_t length = 0;
  FILE* f = open_memstream(&text, &length);
  printEntireNMethod(withTable, table, f, 0, 0);
  fclose(f);
  std::string printed(text, length);
  free(text);
  nMethodDealloc(reinterpret_cast<NMethodHeader*>(withTable));
  nMethodDealloc(reinterpret_cast<NMethodHeader*>(plain));
  EXPECT_EQ(answered, printed);
  EXPECT_NE(answered.find("PC map:"), std::string::npos);
}

// With no file to print into (every descriptor below the limit taken), the listing fails 9
// and still keeps no nmethod.
TEST_F(NMethodPrimRun, ListingWithoutAFileFailsAndKeepsNoNMethod) {
  oop method = methodOf("sumTo:");
  translate("a0");
  NMZone before = nmZone;
  rlimit saved;
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
  const int lowestFree = dup(0);
  ASSERT_GE(lowestFree, 0);
  close(lowestFree);
  rlimit none = saved;
  none.rlim_cur = rlim_t(lowestFree);
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &none), 0);
  PrimOutcome o = callPrimitive(1005, nilOop(), {method});
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &saved), 0);
  ASSERT_TRUE(o.failed);
  EXPECT_EQ(o.errorOop, primErrorAt(primErrPlatform));
  EXPECT_EQ(vToNMethod(method, 0), 0u);
  EXPECT_EQ(nmZone.free, before.free);
  EXPECT_EQ(nmZone.holesBytes, before.holesBytes);
}

// When memory for the text cannot be had, the listing fails 1 and leaves nothing behind: no
// nmethod, the zone as it was, no descriptor or file left open.
TEST_F(NMethodPrimRun, ListingWithoutMemoryForTheTextFailsAndKeepsNothing) {
  oop method = methodOf("sumTo:");
  translate("a0");
  NMZone before = nmZone;
  auto openDescriptors = [] {
    return std::distance(std::filesystem::directory_iterator("/proc/self/fd"), std::filesystem::directory_iterator());
  };
  const auto descriptors = openDescriptors();
  static uint64_t asked = 0;
  asked = 0;
  nmListingAllocHook = [](oop, uint64_t bytes) -> ObjectHeader* {
    asked = bytes;
    return nullptr;
  };
  PrimOutcome o = callPrimitive(1005, nilOop(), {method});
  nmListingAllocHook = nullptr;
  ASSERT_TRUE(o.failed);
  EXPECT_EQ(o.errorOop, primErrorAt(primErrNoSpace));
  EXPECT_GT(asked, 0u);  // the text was printed before its string was asked for
  EXPECT_EQ(vToNMethod(method, 0), 0u);
  EXPECT_EQ(nmZone.free, before.free);
  EXPECT_EQ(nmZone.holesBytes, before.holesBytes);
  EXPECT_EQ(openDescriptors(), descriptors);
  EXPECT_FALSE(std::filesystem::exists(adjustOEReportFileName("nmdc.txt")));

  // With memory to be had, the same call answers a text of the size asked for.
  PrimOutcome again = callPrimitive(1005, nilOop(), {method});
  ASSERT_FALSE(again.failed);
  EXPECT_EQ(byteSizeOf(headerOf(again.result)), asked);
}

// Stacks that hold no activation of the translated methods are stable already: the options
// discard every nmethod, and switching translated primitives off and on gives their numbers and
// the making of Arrays back to the C functions and run-time routines and takes them again.
TEST_F(NMethodPrimRun, OptionsDiscardTheCodeAndSwitchTranslatedPrimitives) {
  nmPrimStabilizeHook = [] { return 1; };
  static const uint8_t glues[5] = {};
  for (int k = 0; k < 5; k++) tRt.primGlue[k] = &glues[k];
  initSubscriptPrims();
  uint64_t cAt = getPrimEntry(60)->function;
  enableTP = 1;
  translate("a0");  // the first translation registers the tables and makes the stubs
  ASSERT_EQ(getPrimEntry(60)->kind, primKindTranslated);
  const void* stub = tRt.createArray;
  ASSERT_NE(stub, reinterpret_cast<const void*>(rtCreateArray)) << "the first registration made the stub";
  const void* gatherStub = tRt.makeCopyingBlock;
  ASSERT_NE(gatherStub, reinterpret_cast<const void*>(rtMakeCopyingBlock)) << "and the gathering stubs";

  struct Case {
    uint32_t number;
    oop arg;
    oop answer;
    bool discards;
    uint8_t kind60;
    int32_t max;
  };
  const Case cases[] = {
      {1009, nilOop(), smallIntegerFor(27), false, primKindTranslated, 22},
      {1009, smallIntegerFor(0), smallIntegerFor(0), true, primKindC, -1},
      {1009, smallIntegerFor(0), smallIntegerFor(0), true, primKindC, -1},
      {537, nilOop(), falseOop(), false, primKindC, -1},
      {1009, smallIntegerFor(13), smallIntegerFor(13), true, primKindTranslated, 7},
      {537, trueOop(), trueOop(), true, primKindTranslated, 22},
      {537, trueOop(), trueOop(), false, primKindTranslated, 22},
      {1009, smallIntegerFor(31), smallIntegerFor(31), true, primKindTranslated, 22},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.number << " case answering " << c.answer);
    uint64_t nm = translate("a0");
    PrimOutcome o = callPrimitiveOn(currentStack, c.number, nilOop(), {c.arg});
    ASSERT_FALSE(o.failed);
    EXPECT_EQ(o.result, c.answer);
    EXPECT_EQ(vToNMethod(methodOf("a0"), 0), c.discards ? 0 : nm);
    EXPECT_EQ(getPrimEntry(60)->kind, c.kind60);
    if (c.kind60 == primKindC) {
      EXPECT_EQ(getPrimEntry(60)->function, cAt);
    }
    EXPECT_EQ(tRt.createArray, c.kind60 == primKindC ? reinterpret_cast<const void*>(rtCreateArray) : stub);
    EXPECT_EQ(tRt.makeCopyingBlock, c.kind60 == primKindC ? reinterpret_cast<const void*>(rtMakeCopyingBlock) : gatherStub);
    EXPECT_EQ(tsMaxIndex, c.max);
    EXPECT_EQ(sysOop(uint32_t(temp1RegisteredOopX)), nilOop());
    currentStack[shSp] = reinterpret_cast<uint64_t>(currentStack + shRootReturn);
    currentStack[shFp] = rootFpOf(currentStack);
  }
  EXPECT_EQ(IEEEInfNaN, 1u);

  // 526 with no activation of the method: its nmethod goes, other methods' stay.
  uint64_t keep = translate("a0");
  translate("sumTo:");
  PrimOutcome o = callPrimitiveOn(currentStack, 526, methodOf("sumTo:"), {});
  ASSERT_FALSE(o.failed);
  EXPECT_EQ(o.result, methodOf("sumTo:"));
  EXPECT_EQ(vToNMethod(methodOf("sumTo:"), 0), 0u);
  EXPECT_EQ(vToNMethod(methodOf("a0"), 0), keep);

}

// The named switch "IEEEFloatingPointPrimitives" (primitive 140) discards the translated code,
// whose float primitives carry the mode, and sets the mode and the one the image saves; with
// stacks that cannot be stabilised it fails 0 once committed and changes nothing.
TEST_F(NMethodPrimRun, IEEESwitchDiscardsTheCode) {
  initEnvironmentPrimitives();
  registerStartupNamedObjects();
  const char name[] = "IEEEFloatingPointPrimitives";
  struct Case {
    oop value;
    int stabilises;
    uint32_t mode;  // afterwards
    bool fails;
  };
  const Case cases[] = {{trueOop(), 1, 1, false}, {falseOop(), 1, 0, false}, {trueOop(), 0, 0, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "to " << (c.value == trueOop()) << (c.stabilises ? "" : ", unstable"));
    uint64_t nm = translate("a0");
    nmPrimStabilizeHook = c.stabilises ? [] { return 1; } : [] { return 0; };
    PrimOutcome o = callPrimitiveOn(currentStack, 140, nilOop(), {c.value, STStringWithSize(name, sizeof name - 1)});
    EXPECT_EQ(o.failed, c.fails);
    if (c.fails) {
      EXPECT_TRUE(o.afterCommit);
      EXPECT_EQ(o.errorOop, primErrorAt(0));
    }
    EXPECT_EQ(vToNMethod(methodOf("a0"), 0), c.fails ? nm : 0);
    EXPECT_EQ(IEEEInfNaN, c.mode);
    EXPECT_EQ(persistIEEEInfNaN, c.mode);
    EXPECT_EQ(sysOop(uint32_t(temp1RegisteredOopX)), nilOop()) << "the suspended context was resumed";
    currentStack[shSp] = reinterpret_cast<uint64_t>(currentStack + shRootReturn);
    currentStack[shFp] = rootFpOf(currentStack);
  }
}

// With stacks that cannot be stabilised, 1009 fails 1 and 537 fails 0 after resuming the
// process; the options and the translated code stay.
TEST_F(NMethodPrimRun, FailingStabilisationChangesNothing) {
  uint64_t nm = translate("a0");
  tsMaxIndex = 22;
  nmPrimStabilizeHook = [] { return 0; };
  struct Case {
    uint32_t number;
    oop arg;
    uint32_t code;
  };
  const Case cases[] = {{1009, smallIntegerFor(0), 1}, {1009, smallIntegerFor(27), 1}, {537, falseOop(), 0}};
  for (const Case& c : cases) {
    PrimOutcome o = callPrimitiveOn(currentStack, c.number, nilOop(), {c.arg});
    ASSERT_TRUE(o.failed) << c.number;
    EXPECT_TRUE(o.afterCommit) << c.number;
    EXPECT_EQ(o.errorOop, primErrorAt(c.code)) << c.number;
    EXPECT_EQ(sysOop(uint32_t(temp1RegisteredOopX)), nilOop()) << "the suspended context was resumed";
    EXPECT_EQ(vToNMethod(methodOf("a0"), 0), nm) << c.number;
    EXPECT_EQ(enableTP, savedTP);
    EXPECT_EQ(enableTFP, savedTFP);
    EXPECT_EQ(IEEEInfNaN, savedIEEE);
    EXPECT_EQ(tsMaxIndex, 22);
    currentStack[shSp] = reinterpret_cast<uint64_t>(currentStack + shRootReturn);
    currentStack[shFp] = rootFpOf(currentStack);
  }
}

// A snapshot that meets a context whose method has neither a translation of its native pc
// nor a cannot-resume pc fails 8 after committing: the target keeps its bytes, no other file
// is left, the Process holds no suspended context, and the translated code runs on.
TEST_F(NMethodPrimRun, SnapshotWithUnmappableContextFailsAndChangesNothing) {
  namespace fs = std::filesystem;
  initSnapshotPrims();
  fs::path dir = fs::path(testing::TempDir()) / ("tessel-snapshot-prim-" + std::to_string(getpid()));
  fs::remove_all(dir);
  fs::create_directories(dir);
  std::string target = (dir / "kept.im").string();
  const std::string old = "the previous image";
  std::ofstream(target, std::ios::binary) << old;
  auto bytesOf = [](const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  };
  auto files = [&] {
    std::vector<std::string> n;
    for (const fs::directory_entry& e : fs::directory_iterator(dir)) n.push_back(e.path().filename().string());
    return n;
  };

  harnessFrameMethod = methodOf("a0");
  ObjectHeader* lost = newRunTimeObject(classIndexMethodContext, 6, 0, "a test context");
  bodyOf(lost)[0] = nilOop();
  bodyOf(lost)[1] = smallIntegerFor(-5);
  registerSysOop(oopOf(lost), uint32_t(temp2RegisteredOopX));
  currentStack[shRootSender] = nilOop();  // the calling frame is the Process's bottom one
  testing::internal::CaptureStdout();
  PrimOutcome o = callPrimitiveOn(currentStack, 405, STStringWithSize(target.data(), target.size()), {smallIntegerFor(0)});
  std::string report = testing::internal::GetCapturedStdout();
  ASSERT_TRUE(o.failed);
  EXPECT_TRUE(o.afterCommit);
  EXPECT_EQ(o.errorOop, primErrorAt(primErrEngine));
  EXPECT_NE(report.find("Unmappable n-PC encountered:\n\t\t\tn-PC = 0x5/5,"), std::string::npos) << report;
  EXPECT_EQ(bytesOf(target), old);
  EXPECT_EQ(files(), std::vector<std::string>{"kept.im"});
  EXPECT_EQ(slotOf(activeProcess(), processSuspendedContext), nilOop());
  EXPECT_EQ(slotOf(sysOop(uint32_t(temp2RegisteredOopX)), 1), smallIntegerFor(-5)) << "the context keeps its pc";
  EXPECT_EQ(run(translate("sumTo:"), smallIntegerFor(10)), smallIntegerFor(55));

  fs::remove_all(dir);
}

}  // namespace
