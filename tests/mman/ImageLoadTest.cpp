// Loading images in process: a heap spanning every space written with the snapshot writers,
// loaded elsewhere, relocated and compared by structure; compressed and other-byte-order
// files; the load policies; sizes from options; primitives 307 and 407.
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <thread>
#ifndef _WIN32
#include <sys/stat.h>
#endif

#include "ext/exInit.h"
#include "ext/exOption.h"
#include "ext/platform.h"
#include "mman/heapVerifier.h"
#include "mman/loadImages.h"
#include "mman/mmFinal.h"
#include "mman/mmFixedSpace.h"
#include "mman/mmImageHeader.h"
#include "mman/mmImageLoad.h"
#include "mman/mmInit.h"
#include "mman/mmLargeSpace.h"
#include "mman/mmNewSpace.h"
#include "mman/mmOldSpace.h"
#include "mman/mmPermSpace.h"
#include "mman/mmRt.h"
#include "mman/mmSysOop.h"
#include "mman/testHeap.h"
#include "support/primHarness.h"
#include "imageWriter.h"

namespace {

class ImageLoad_Spaces : public ::testing::Test {
 protected:
  std::vector<std::string> files;
  uint64_t savedEden = 0;
  ImageLayout savedLayout = imageLayout;  // loads and the size cases change it

  void TearDown() override {
    freeLoadedKernel();
    desiredLoadPolicyName = nullptr;
    imageLayout = savedLayout;
    for (const std::string& f : files) remove(f.c_str());
  }

  std::string path(const char* name) {
    files.push_back(tempImagePath(name));
    return files.back();
  }

  // Writes the current heap in the form and loads it; answers "" or what failed.
  std::string writeAndLoad(ImageForm form, uint32_t kind) {
    std::string why = verifyHeap();
    if (!why.empty()) return "before writing: " + why;
    savedEden = eden.start;
    std::string file = path("load.im");
    why = writeHeapImage(file, kind, form);
    iwFreeHeap();
    if (!why.empty()) return why;
    return loadImageInProcess(file) ? "" : "header refused";
  }

#ifndef _WIN32
  // As writeAndLoad, the file given through a named pipe, which cannot be read ahead.
  std::string writeAndLoadThroughPipe() {
    savedEden = eden.start;
    std::string file = path("pipe.im"), pipe = path("pipe.fifo");
    std::string why = writeHeapImage(file, loadNormal, plainForm);
    iwFreeHeap();
    if (!why.empty()) return why;
    if (mkfifo(pipe.c_str(), 0600) != 0) return "no pipe";
    std::vector<uint8_t> bytes = readFileBytes(file);
    void (*disposition)(int) = signal(SIGPIPE, SIG_IGN);  // a load that stops early ends the writer
    std::thread writer([&] { writeFileBytes(pipe, bytes); });
    bool loaded = loadImageInProcess(pipe);
    closeImageFile();
    writer.join();
    signal(SIGPIPE, disposition);
    return loaded ? "" : "header refused";
  }
#endif
};

// Every space moved (the test heap lies in a static arena and mapped segments, the loaded
// block low in the address space), so every reference was relocated.
TEST_F(ImageLoad_Spaces, RoundTrip_EverySpaceRelocatedInEachFileForm) {
  for (ImageForm form : {plainForm, gzipForm, otherOrderForm}) {
    SCOPED_TRACE(form);
    SpanningHeap heap = buildSpanningHeap();
    ASSERT_GE(numFixedSpaceSegs(), 2u);
    writeBackFixedSpace();  // each segment's first body sits under its table's topmost entry
    for (FixedSpaceSegment* s = fixedSpaceSegs.first; s != nullptr; s = s->next) ASSERT_NE(s->table.highest->owner, 0u);
    ASSERT_EQ(writeAndLoad(form, loadNormal), "");
    EXPECT_NE(eden.start, savedEden);
    EXPECT_EQ(compareWithModel(loadedRoot(), heap.graph, 0), "");
    EXPECT_HEAP_VALID();
    EXPECT_TRUE(permSpaceExists);
    EXPECT_EQ(numFixedSpaceSegs(), 1u);
    EXPECT_GE(numOldSpaceSegs(), 2u);  // the loaded segment and the headroom
    EXPECT_NE(oldRtOop, 0u);
    EXPECT_GT(rt.ffs, rt.start);
    freeLoadedKernel();
  }
}

#ifndef _WIN32
TEST_F(ImageLoad_Spaces, BlockAndCodeZoneBelowTwoGiB) {
  buildSpanningHeap();
  ASSERT_EQ(writeAndLoad(plainForm, loadNormal), "");
  EXPECT_LT(kernelBlock.base + kernelBlock.bytes, uint64_t(1) << 31);
  EXPECT_LT(oldSpaceSegs.first->otHigh, uint64_t(1) << 31);
}
#endif

// Policy, whether the image has perm space, and what prim 407 answers afterwards.
TEST_F(ImageLoad_Spaces, LoadPolicies_PermSpaceAndPrim407) {
  struct Case {
    const char* option;  // -l, or null for the image's own kind
    uint32_t kind;
    bool withPerm;
    bool permAfter;
    bool inPlace;  // prim 407
  } cases[] = {
      {nullptr, loadNormal, true, true, false},   // perm space moved with the block
      {nullptr, loadNormal, false, false, true},  // no perm space: nothing moved
      {"demote", loadNormal, true, false, false},
      {nullptr, loadDemote, true, false, false},
      {"promote", loadNormal, false, true, false},
      {nullptr, loadPromote, false, true, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.option ? c.option : "-") + " kind " + std::to_string(c.kind));
    ModelGraph graph;
    oop root;
    if (c.withPerm) {
      SpanningHeap heap = buildSpanningHeap();
      graph = heap.graph;
      root = heap.oops[0];
    } else {
      IwHeapSizes sizes;
      sizes.permWords = 0;
      ASSERT_TRUE(iwNewHeap(sizes));
      addWeakArrayClass();
      graph = {{classIndexArray, false, {ModelSlot::ref(1), ModelSlot::imm(smallIntegerFor(5))}, {}},
               {classIndexByteArray, false, {}, {1, 2, 3, 4, 5, 6, 7, 8, 9}}};
      root = buildModelGraph(graph)[0];
      sysOopRegistry[sysProcessor] = root;
    }
    desiredLoadPolicyName = c.option;
    ASSERT_EQ(writeAndLoad(plainForm, c.kind), "");
    EXPECT_EQ(compareWithModel(loadedRoot(), graph, 0), "");
    EXPECT_HEAP_VALID();
    EXPECT_EQ(bool(permSpaceExists), c.permAfter);
    if (c.permAfter && !c.withPerm) {
      EXPECT_TRUE(isPermObject(headerOf(loadedRoot())));
    }
    if (!c.permAfter) {
      EXPECT_FALSE(isPermHeader(headerOf(loadedRoot())));
    }
    PrimOutcome answer = callPrimitive(407, nilOop(), {});
    ASSERT_FALSE(answer.failed);
    EXPECT_EQ(answer.result, booleanOop(c.inPlace));
    freeLoadedKernel();
    desiredLoadPolicyName = nullptr;
  }
}

// A loaded heap saved again and reloaded: perm space lands where it was saved while the two
// old segments close up, so the perm objects that refer to old space (listed in the old
// remembered table) are relocated one by one, and prim 407 answers true.
TEST_F(ImageLoad_Spaces, PermInPlaceWhileOldSegmentsMove) {
  SpanningHeap heap = buildSpanningHeap();
  ASSERT_EQ(writeAndLoad(plainForm, loadNormal), "");
  oop perm = slotOf(loadedRoot(), 0);  // node 1, a perm object
  ASSERT_TRUE(isPermObject(headerOf(perm)));
  oop added = newOldObject(classIndexByteArray, 5);  // lands in the headroom segment
  storeSlot(perm, 1, added, __FILE__, __LINE__);
  heap.graph[1].slots[1] = ModelSlot::ref(int64_t(heap.graph.size()));
  heap.graph.push_back({classIndexByteArray, false, {}, {0, 0, 0, 0, 0}});
  uint64_t permStart = permSpace.dataStart;
  ASSERT_EQ(numOldSpaceSegs(), 2u);
  std::string again = path("again.im");
  ASSERT_EQ(writeHeapImage(again, loadNormal), "");
  freeLoadedKernel();
  ASSERT_TRUE(loadImageInProcess(again));
  ASSERT_EQ(permSpace.dataStart, permStart);
  EXPECT_EQ(compareWithModel(loadedRoot(), heap.graph, 0), "");
  EXPECT_HEAP_VALID();
  PrimOutcome answer = callPrimitive(407, nilOop(), {});
  ASSERT_FALSE(answer.failed);
  EXPECT_EQ(answer.result, trueOop());
}

// A loaded heap saved again while objects made after the load are still in eden, one held by
// a perm object, one by a run-time registry slot (as a platform layer registers its tables at
// start-up): eden is flushed before the save, as a snapshot does, so no saved reference is
// left pointing into eden, and the reload keeps the graph.
TEST_F(ImageLoad_Spaces, ObjectsStillInEdenAreSavedWithTheHeap) {
  SpanningHeap heap = buildSpanningHeap();
  ASSERT_EQ(writeAndLoad(plainForm, loadNormal), "");
  oop perm = slotOf(loadedRoot(), 0);
  oop held = newNewObject(classIndexByteArray, 3);
  ASSERT_TRUE(isInEden(held));
  storeSlot(perm, 1, held, __FILE__, __LINE__);
  heap.graph[1].slots[1] = ModelSlot::ref(int64_t(heap.graph.size()));
  heap.graph.push_back({classIndexByteArray, false, {}, {0, 0, 0}});
  ASSERT_GE(registerNewSysOop(newNewObject(classIndexArray, 4)), 0);
  std::string again = path("again.im");
  ASSERT_EQ(writeHeapImage(again, loadNormal), "");
  freeLoadedKernel();
  ASSERT_TRUE(loadImageInProcess(again));
  EXPECT_EQ(compareWithModel(loadedRoot(), heap.graph, 0), "");
  EXPECT_HEAP_VALID();
}

// Each -m option sets its space in bytes (rounded up to words); 0 takes the image's fraction.
TEST_F(ImageLoad_Spaces, SpaceOptions_ResizeTheirSpaces) {
  struct Case {
    uint64_t* option;
    uint64_t bytes;
    uint64_t expected;
    uint64_t (*observed)();
  } cases[] = {
      {&mOptionEdenSpaceSize, 600000, 600000, [] { return eden.end - eden.start; }},
      {&mOptionSurvivorSpaceSize, 200003, 200008, [] { return pastSpace.end - pastSpace.start; }},
      {&mOptionLargeSpaceSize, 800000, 800000, [] { return loadedSpaces.largeAreaBytes; }},
      {&mOptionStackSpaceSize, 300000, 300000, [] { return kernelSlots[slotsStack] * 8; }},
      {&mOptionCompiledCodeCacheSize, 2400000, 2400000, [] { return kernelSlots[slotsCode] * 8; }},
      {&mOptionCompiledCodeCacheSize, 20 << 20, 16 << 20, [] { return kernelSlots[slotsCode] * 8; }},
      {&mOptionFixedSpaceInitialSize, 500000, 500000, [] { return loadedSpaces.fixedAreaBytes; }},
  };
  for (const Case& c : cases) {
    buildSpanningHeap();
    *c.option = c.bytes;
    std::string why = writeAndLoad(plainForm, loadNormal);
    *c.option = 0;
    ASSERT_EQ(why, "");
    EXPECT_EQ(c.observed(), c.expected);
    EXPECT_HEAP_VALID();
    freeLoadedKernel();
  }
}

// Without options the image's fractions apply; 10000 gives exactly the default sizes.
TEST_F(ImageLoad_Spaces, FractionsOfTenThousandGiveTheDefaults) {
  buildSpanningHeap();
  ImageLayout& l = imageLayout;
  l.edenSizeFraction = l.survivorSizeFraction = l.largeSizeFraction = l.stackSizeFraction = 10000;
  l.codeCacheSizeFraction = l.oldHeadroomFraction = l.fixedSizeFraction = 10000;
  ASSERT_EQ(writeAndLoad(plainForm, loadNormal), "");
  EXPECT_EQ(eden.end - eden.start, 460800u);
  EXPECT_EQ(pastSpace.end - pastSpace.start, 92160u);
  EXPECT_EQ(loadedSpaces.largeAreaBytes, 307200u);
  EXPECT_EQ(kernelSlots[slotsStack] * 8, 81920u);
  EXPECT_EQ(kernelSlots[slotsCode] * 8, 983040u);
  EXPECT_EQ(loadedSpaces.fixedAreaBytes, 307200u);
  EXPECT_HEAP_VALID();
}

// The headroom is a segment of its own: the asked words above the reserve, rounded to pages.
TEST_F(ImageLoad_Spaces, HeadroomOption_SizesTheAddedSegment) {
  for (uint64_t bytes : {uint64_t(400000), uint64_t(4000000)}) {
    buildSpanningHeap();
    mOptionOldSpaceHeadroom = bytes;
    std::string why = writeAndLoad(plainForm, loadNormal);
    mOptionOldSpaceHeadroom = 0;
    ASSERT_EQ(why, "");
    writeBackOldSpace();
    OldSpaceSegment* added = nullptr;
    for (OldSpaceSegment* s = oldSpaceSegs.first; s != nullptr; s = s->next)
      if (reinterpret_cast<uint64_t>(s) != loadedOldSegment) added = s;
    ASSERT_NE(added, nullptr);
    uint64_t capacity = (added->otHigh + 16 - added->dataStart) / 8;  // slots, used or not
    EXPECT_GE(capacity, osReserveSlots + bytes / 8);
    EXPECT_LT(capacity, osReserveSlots + bytes / 8 + 4096);
    freeLoadedKernel();
  }
}

TEST_F(ImageLoad_Spaces, Prim307_DefaultSpaceSizes) {
  buildSpanningHeap();
  ASSERT_EQ(writeAndLoad(plainForm, loadNormal), "");
  PrimOutcome o = callPrimitive(307, nilOop(), {});
  ASSERT_FALSE(o.failed);
  const int64_t expected[] = {460800, 92160, 307200, 81920, 983040, 1572864, 307200};
  ASSERT_EQ(bodyWordsOf(headerOf(o.result)), 7u);
  for (int i = 0; i < 7; i++) EXPECT_EQ(bodyOf(headerOf(o.result))[i], smallIntegerFor(expected[i]));
}

// Four saved old segments, each filled to a different height, so that every data gap and
// every table gap between neighbours differs: references into each segment are lowered by
// the gaps of all the segments below it, in both byte orders. The two-byte string and symbol
// hold code units of 0x100 and above.
TEST_F(ImageLoad_Spaces, FourSegmentsWithDifferentGaps_EveryReferenceLandsInBothOrders) {
  constexpr uint32_t segments = 4;
  for (ImageForm form : {plainForm, otherOrderForm}) {
    SCOPED_TRACE(form);
    IwHeapSizes sizes;
    sizes.oldSegments = segments;
    sizes.oldSlots = 16384;
    ASSERT_TRUE(iwNewHeap(sizes));
    addWeakArrayClass();
    typedef ModelSlot S;
    std::vector<uint8_t> units;  // little-endian 16-bit units 0x0041, 0x0100, 0x4E2D, 0xFFFF, 0x1234
    for (uint16_t u : {0x0041, 0x0100, 0x4E2D, 0xFFFF, 0x1234}) units.push_back(uint8_t(u)), units.push_back(uint8_t(u >> 8));
    ModelGraph graph = {
        {classIndexArray, false, {S::ref(1), S::ref(2), S::ref(3), S::imm(smallIntegerFor(11))}, {}},  // segment 0
        {classIndexArray, false, {S::ref(2), S::ref(0), S::ref(4)}, {}},                               // segment 1
        {classIndexArray, false, {S::ref(3), S::ref(1), S::ref(5)}, {}},                               // segment 2
        {classIndexArray, false, {S::ref(0), S::ref(2), S::ref(4), S::ref(5)}, {}},                    // segment 3
        {classIndexTwoByteString, false, {}, units},                                                   // segment 3
        {classIndexTwoByteSymbol, false, {}, std::vector<uint8_t>(units.rbegin(), units.rend())},     // segment 2
    };
    const uint32_t segmentOf[] = {0, 1, 2, 3, 3, 2};
    std::vector<oop> oops;
    for (size_t i = 0; i < graph.size(); i++) {
      iwUseOldSegment(segmentOf[i]);
      const ModelNode& n = graph[i];
      oops.push_back(newOldObject(n.classIndex, n.slots.empty() ? n.bytes.size() : n.slots.size()));
      ASSERT_NE(oops.back(), 0u);
      if (n.slots.empty()) memcpy(bodyOf(headerOf(oops.back())), n.bytes.data(), n.bytes.size());
    }
    for (size_t i = 0; i < graph.size(); i++)
      for (size_t k = 0; k < graph[i].slots.size(); k++) {
        const ModelSlot& m = graph[i].slots[k];
        storeSlot(oops[i], k, m.node >= 0 ? oops[m.node] : m.value, __FILE__, __LINE__);
      }
    for (uint32_t seg = 0; seg < segments; seg++) {  // unreachable fill, a different height in each
      iwUseOldSegment(seg);
      for (uint32_t k = 0; k < 5 + 9 * seg; k++) ASSERT_NE(newOldObject(classIndexByteArray, 40 + 24 * seg), 0u);
    }
    sysOopRegistry[sysProcessor] = oops[0];
    writeBackOldSpace();
    std::vector<uint64_t> dataGaps, tableGaps;
    for (OldSpaceSegment* s = oldSpaceSegs.first; s->next != nullptr; s = s->next) {
      ASSERT_GT(s->next->dataStart, s->dataTop);  // saved in address order
      dataGaps.push_back(s->next->dataStart - s->dataTop);
      tableGaps.push_back(s->next->otLow - s->otHigh);
    }
    ASSERT_EQ(dataGaps.size(), segments - 1);
    for (size_t i = 0; i < dataGaps.size(); i++)
      for (size_t j = i + 1; j < dataGaps.size(); j++) {
        ASSERT_NE(dataGaps[i], dataGaps[j]);
        ASSERT_NE(tableGaps[i], tableGaps[j]);
      }
    ASSERT_EQ(writeAndLoad(form, loadNormal), "");
    EXPECT_EQ(compareWithModel(loadedRoot(), graph, 0), "");
    EXPECT_HEAP_VALID();
    freeLoadedKernel();
  }
}

// Old data of many read pieces: pointer bodies with and without a size word, some larger
// than a piece, crossing piece boundaries between byte bodies of odd lengths. Every form is
// loaded: plain (read ahead, relocated piece by piece), other byte order, compressed and
// through a pipe (both read whole, then relocated); and a plain image whose byte bodies are
// large enough that the platform may share the reading among threads.
TEST_F(ImageLoad_Spaces, OldDataOfManyPieces_EveryReferenceLandsInEachForm) {
  std::vector<std::pair<ImageForm, uint64_t>> forms = {{plainForm, 0}, {otherOrderForm, 0}, {gzipForm, 0}};
#ifndef _WIN32
  const ImageForm throughPipe = ImageForm(99);
  forms.push_back({throughPipe, 0});
#endif
  const uint64_t sharedExtra = pdSharedReadBytes / 10;  // added to each byte body
  forms.push_back({plainForm, sharedExtra});
  for (auto [form, byteExtra] : forms) {
    SCOPED_TRACE(testing::Message() << "form " << form << " byte extra " << byteExtra);
    IwHeapSizes sizes;
    sizes.oldSlots = (1 << 19) + byteExtra * 2 / 8 * 12;
    ASSERT_TRUE(iwNewHeap(sizes));
    addWeakArrayClass();
    const uint64_t slotCounts[] = {3, 251, 252, 253, 20000, 700, 16384, 16383, 1, 40000, 9, 5000};
    const size_t n = std::size(slotCounts);
    ModelGraph graph;
    for (size_t i = 0; i < n; i++) {
      ModelNode pointers{classIndexArray, false, {}, {}};
      for (uint64_t k = 0; k < slotCounts[i]; k++)
        pointers.slots.push_back(k % 3 == 2 ? ModelSlot::imm(smallIntegerFor(int64_t(k * 31 + i)))
                                            : ModelSlot::ref(int64_t((i * 7 + k * 2 + 1) % (2 * n))));
      graph.push_back(pointers);
    }
    for (size_t i = 0; i < n; i++) {  // byte bodies between them, from a few bytes to many pieces' worth
      std::vector<uint8_t> bytes((i * 9973) % 70000 + 5 + byteExtra);
      for (size_t b = 0; b < bytes.size(); b++) bytes[b] = uint8_t(b * 13 + i);
      graph.push_back(ModelNode{classIndexByteArray, false, {}, bytes});
    }
    std::vector<oop> oops;
    for (size_t i = 0; i < n; i++)  // pointer and byte bodies alternate in the data
      for (size_t j : {i, n + i}) {
        const ModelNode& node = graph[j];
        oop o = newOldObject(node.classIndex, node.slots.empty() ? node.bytes.size() : node.slots.size());
        ASSERT_NE(o, 0u);
        if (node.slots.empty()) memcpy(bodyOf(headerOf(o)), node.bytes.data(), node.bytes.size());
        oops.resize(std::max(oops.size(), j + 1));
        oops[j] = o;
      }
    for (size_t i = 0; i < n; i++)
      for (size_t k = 0; k < graph[i].slots.size(); k++) {
        const ModelSlot& m = graph[i].slots[k];
        storeSlot(oops[i], k, m.node >= 0 ? oops[m.node] : m.value, __FILE__, __LINE__);
      }
    sysOopRegistry[sysProcessor] = oops[0];
    ASSERT_GT(slotsUsedInOldSpace() * 8, 4 * uint64_t(oldReadPieceBytes));
    if (byteExtra != 0) {
      ASSERT_GT(slotsUsedInOldSpace() * 8, pdSharedReadBytes);
    }
#ifndef _WIN32
    if (form == throughPipe) {
      ASSERT_EQ(writeAndLoadThroughPipe(), "");
    } else
#endif
    {
      ASSERT_EQ(writeAndLoad(form, loadNormal), "");
    }
    EXPECT_EQ(compareWithModel(loadedRoot(), graph, 0), "");
    EXPECT_HEAP_VALID();
    freeLoadedKernel();
  }
}

}  // namespace

// ---- Loader parts on hand-made inputs ----------------------------------------------------

namespace {

// The loader's globals the map cases set, put back after each.
class ImageLoad_SegmentMap : public ::testing::Test {
 protected:
  OldSpaceMap savedMap = oldSpaceMap;
  ImageLayout savedLayout = imageLayout;
  ImageDeltas savedDeltas = imageDeltas;
  void TearDown() override {
    oldSpaceMap = savedMap;
    imageLayout = savedLayout;
    imageDeltas = savedDeltas;
  }
};

// Four saved segments with different data and table gaps: each row becomes {end, gap so
// far, table end, table gap so far}, and a reference is lowered by its own segment's gap.
TEST_F(ImageLoad_SegmentMap, GapsAccumulateOverEverySegment) {
  uint64_t map[] = {
      0x100000, 0x1000, 0x200000, 0x100,  // no gap before the first
      0x101800, 0x0800, 0x200180, 0x080,  // gaps 0x800 and 0x80
      0x103000, 0x2000, 0x200400, 0x200,  // gaps 0x1000 and 0x200
      0x105008, 0x0010, 0x200610, 0x010,  // gaps 0x8 and 0x10
  };
  oldSpaceMap = {map, map + 16};
  convertSegmentMap();
  uint64_t expected[] = {
      0x101000, 0, 0x200100, 0,      0x102000, 0x800, 0x200200, 0x80,
      0x105000, 0x1800, 0x200600, 0x280, 0x105018, 0x1808, 0x200620, 0x290,
  };
  for (int i = 0; i < 16; i++) EXPECT_EQ(map[i], expected[i]) << "word " << i;
  imageLayout.newSpaceLimit = 0x1000, imageLayout.oldDataStart = 0x100000;
  imageLayout.oldSpaceUpperLimit = ~uint64_t(0);
  imageDeltas = {};
  imageDeltas.oldOT = 0x10000000;
  struct Case {
    uint64_t saved, loaded;
  } refs[] = {
      {0x200010, 0x10200010}, {0x200190, 0x10200190 - 0x80}, {0x200400, 0x10200400 - 0x280},
      {0x200610, 0x10200610 - 0x290}, {0x300000, 0x10300000},  // beyond the last: no gap
      {0x200011 | 1, 0x200011}, {0x800, 0x800},                 // an immediate; a new reference (delta 0)
  };
  for (const Case& c : refs) {
    oop slot = c.saved;
    updateOopFunc(&slot);
    EXPECT_EQ(slot, c.loaded) << std::hex << c.saved;
  }
  imageDeltas = {};
  EXPECT_EQ(imageNeedsObjectWalk(), 1);  // several segments, every delta 0: still walked
  oldSpaceMap = {map, map + 4};
  EXPECT_EQ(imageNeedsObjectWalk(), 0);
}

class ImageLoad_Headers : public ::testing::Test {
 protected:
  OldSpaceSegment savedOld = oldSpace;
  SurvivorSpace savedPast = pastSpace;
  uint32_t savedPerm = permSpaceExists;
  void TearDown() override {
    oldSpace = savedOld;
    pastSpace = savedPast;
    permSpaceExists = savedPerm;
  }
};

// A header is an object-table entry above the table's low end (which is no entry) or lies
// in past space.
TEST_F(ImageLoad_Headers, TableEdgesAndPastSpace) {
  oldSpace.otLow = 0x50000, oldSpace.otHigh = 0x50100;
  pastSpace.start = 0x90000, pastSpace.top = 0x90100;
  permSpaceExists = 0;
  struct Case {
    uint64_t h;
    int loaded;
  } cases[] = {
      {0x50000, 0}, {0x50008, 0}, {0x50010, 1}, {0x50018, 0}, {0x50100, 1}, {0x50110, 0},
      {0x90000, 1}, {0x900F0, 1}, {0x900F8, 0}, {0x90100, 0}, {0x8FFF0, 0},
  };
  for (const Case& c : cases) EXPECT_EQ(isLoadedHeader(c.h), c.loaded) << std::hex << c.h;
}

// Byte bodies written by a machine of the other order, built unit by unit most significant
// byte first: after the loader's whole-word reversal, each unit size's repair gives back the
// units, code units of 0x100 and above included.
TEST(ImageLoad_ByteOrder, RepairGivesBackUnitsOfEachSize) {
  struct Case {
    int unit;
    void (*repair)(uint64_t*, uint64_t);
  } cases[] = {
      {1, objReverseEightQ8s},
      {2, [](uint64_t* b, uint64_t n) { objSwapTwoQ32s(b, n), objReverseTwoQ16s(b, n); }},
      {4, objSwapTwoQ32s},
      {8, [](uint64_t*, uint64_t) {}},
  };
  for (const Case& c : cases) {
    uint64_t native[2];
    uint8_t* units = reinterpret_cast<uint8_t*>(native);
    uint8_t file[16];
    uint64_t values[16];
    int count = 16 / c.unit;
    for (int i = 0; i < count; i++) {
      values[i] = (0x4E2D0141A5C3D83DULL >> (8 * (i % 3))) & (c.unit == 8 ? ~0ULL : (1ULL << (8 * c.unit)) - 1);
      memcpy(units + i * c.unit, &values[i], size_t(c.unit));  // the units as this machine holds them
      for (int b = 0; b < c.unit; b++) file[i * c.unit + b] = uint8_t(values[i] >> (8 * (c.unit - 1 - b)));
    }
    uint64_t body[2];
    memcpy(body, file, 16);
    for (uint64_t& w : body) w = __builtin_bswap64(w);  // the loader's reversal of every word
    c.repair(body, 16);
    EXPECT_EQ(memcmp(body, native, 16), 0) << "unit " << c.unit;
  }
}

}  // namespace
