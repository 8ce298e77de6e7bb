// The shared fixtures themselves: the verifier must see each kind of corruption, and the
// model-graph comparison must see each kind of difference.
#include <gtest/gtest.h>

#include "mman/heapVerifier.h"
#include "mman/mmFixedSpace.h"
#include "mman/mmLargeSpace.h"
#include "mman/mmOldSpace.h"
#include "mman/mmPermSpace.h"
#include "mman/mmRt.h"
#include "mman/mmSysOop.h"
#include "mman/modelGraph.h"
#include "mman/testHeap.h"

namespace {

ModelGraph sampleGraph() {
  ModelGraph g;
  g.push_back({testClasses.pointers, false, {ModelSlot::ref(1), ModelSlot::ref(2), ModelSlot::imm(smallIntegerFor(7))}, {}});
  g.push_back({testClasses.pointers, true, {ModelSlot::ref(0), ModelSlot::nil()}, {}});
  g.push_back({testClasses.bytes, false, {}, {1, 2, 3, 4, 5}});
  g.push_back({testClasses.pointers, false, {ModelSlot::ref(2)}, {}, true});
  g[0].slots.push_back(ModelSlot::ref(3));
  return g;
}

TEST(HeapFixture_ModelGraph, BuildsThroughTheBarrierAndMatchesItself) {
  newTestHeap();
  ModelGraph g = sampleGraph();
  std::vector<oop> oops = buildModelGraph(g);
  EXPECT_EQ(verifyHeap(), "");
  EXPECT_TRUE(inRt(headerOf(oops[0])));     // old holder of a new object
  EXPECT_TRUE(isInOldRt(headerOf(oops[3])));  // perm holder of an old object
  EXPECT_EQ(compareWithModel(oops[0], g, 0), "");
  bodyOf(headerOf(oops[2]))[0] ^= 0xFF;  // one byte differs
  EXPECT_NE(compareWithModel(oops[0], g, 0), "");
  bodyOf(headerOf(oops[2]))[0] ^= 0xFF;
  bodyOf(headerOf(oops[0]))[3] = oops[2];  // a reference moves
  EXPECT_NE(compareWithModel(oops[0], g, 0), "");
  bodyOf(headerOf(oops[0]))[3] = oops[3];
  bodyOf(headerOf(oops[0]))[2] = smallIntegerFor(8);
  EXPECT_NE(compareWithModel(oops[0], g, 0), "");
  freeTestHeap();
}

TEST(HeapFixture_Verifier, SeesEachKindOfCorruption) {
  struct Case {
    const char* what;
    void (*corrupt)(oop holder, oop young);
  } cases[] = {
      {"old-to-new reference without RT entry", [](oop h, oop) { clearFlag(headerOf(h), inRtBit); }},
      {"leaked body chunk", [](oop, oop) { oldSpace.dataTop += 16; }},
      {"chunk freed twice", [](oop, oop) {
         uint64_t c = allocOldData(3, 0);
         freeOldData(c, 3);
         freeOldData(c, 3);
       }},
      {"free count wrong", [](oop, oop) { oldSpaceSegs.freeSlots += 1; }},
      {"bad class index", [](oop h, oop) { setClassTag(headerOf(h), 77777); }},
      {"dangling slot", [](oop h, oop) { bodyOf(headerOf(h))[1] = 0x10; }},
      {"RT entry without inRt", [](oop, oop) {
         oop o = newOldObject(testClasses.object, 0);
         registerInRt(headerOf(o));
         clearFlag(headerOf(o), inRtBit);
       }},
      {"inRt without RT entry", [](oop, oop) { setFlag(headerOf(newOldObject(testClasses.object, 0)), inRtBit); }},
      {"isInOldRt without entry", [](oop, oop) { setFlag(headerOf(newOldObject(testClasses.object, 0)), isInOldRtBit); }},
      {"extended size for a small body", [](oop h, oop) {
         (void)h;
         ObjectHeader* b = headerOf(newOldObject(testClasses.pointers, 300));
         *sizeWordOf(b) = 2000;
       }},
      {"stale class table", [](oop, oop) { classTable[0] = nullptr; }},
      {"reference into the middle of a new object", [](oop h, oop y) { bodyOf(headerOf(h))[1] = y + 16; }},
      {"eden walk overshoots", [](oop, oop y) { setSizeField(headerOf(y), 200); }},
      {"large body whose block was freed", [](oop, oop) {
         reRegisterLargeObj(allocInLargeSpace(testClasses.bytes, 3000, 0, 0), nullptr);
       }},
      {"fixed body without its NULs", [](oop, oop) {
         ObjectHeader* f = allocInFixedSpace(testClasses.bytes, 5, 0, 0);
         reinterpret_cast<uint8_t*>(bodyOf(f))[6] = 1;
       }},
      {"large chain count wrong", [](oop, oop) { largeSpace.table.freeWords -= 1; }},
      {"perm free list count wrong", [](oop, oop) { permSpaceSegs.freeWords += 1; }},
      {"a new body away from its header and under no filler", [](oop, oop y) {
         headerOf(y)->dataPtr = headerOf(newNewObject(testClasses.bytes, 16))->dataPtr;
       }},
      {"perm record left linked", [](oop, oop) {
         absorbPermSpace();
         permSpaceAbsorbed = 0;
       }},
      {"perm body overlaps", [](oop, oop) {
         ObjectHeader* p = allocInPermSpace(testClasses.bytes, 0, 16, 0, 0);
         p->dataPtr += 8;
       }},
  };
  for (const Case& c : cases) {
    newTestHeap();
    oop holder = newOldObject(testClasses.pointers, 2);
    oop young = newNewObject(testClasses.object, 0);
    storeSlot(holder, 0, young, __FILE__, __LINE__);
    ASSERT_EQ(verifyHeap(), "") << c.what;
    c.corrupt(holder, young);
    EXPECT_NE(verifyHeap(), "") << c.what;
    classTable[0] = bodyOf(headerOf(slotOf(sysOop(sysClassTablePages), 0)));
    freeTestHeap();
  }
}

}  // namespace
