// Debug printers: golden texts of each printer on a small heap with named classes (addresses
// replaced by names), the accessors at and past the body's end, and random words that
// must neither fault nor change the heap.
#include <gtest/gtest.h>

#include <cinttypes>
#include <cstring>
#include <random>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "mman/heapVerifier.h"
#include "mman/mmAllocate.h"
#include "mman/mmDebug.h"
#include "mman/mmFixedSpace.h"
#include "mman/mmLargeSpace.h"
#include "mman/mmNewSpace.h"
#include "mman/mmOldSpace.h"
#include "mman/mmPermSpace.h"
#include "mman/mmRt.h"
#include "mman/mmSysOop.h"
#include "mman/namedClasses.h"
#include "mman/testHeap.h"

namespace {

// Output of one call, with the given addresses replaced by their names.
class Capture {
 public:
  Capture() : file(tmpfile()) { debugLog = file; }
  ~Capture() {
    debugLog = nullptr;
    fclose(file);
  }
  // Also the zero-padded forms the printers' 0x%08 and 0x%07 make of low addresses.
  void name(uint64_t address, const std::string& as) {
    for (const char* form : {"0x%08" PRIx64, "0x%07" PRIx64, "0x%" PRIx64}) {
      char hex[32];
      snprintf(hex, sizeof hex, form, address);
      names.push_back({hex, as});
    }
  }
  template <class F>
  std::string of(F call) {
    fflush(file);
    rewind(file);
    call();
    fflush(file);
    long n = ftell(file);
    rewind(file);
    std::string s(size_t(n), '\0');
    EXPECT_EQ(fread(s.data(), 1, s.size(), file), s.size());
    rewind(file);
    for (auto& [hex, as] : names) {
      for (size_t at; (at = s.find(hex)) != std::string::npos;) {
        size_t end = at + hex.size();
        if (end < s.size() && isxdigit(uint8_t(s[end]))) break;  // a longer number
        s.replace(at, hex.size(), as);
      }
    }
    return s;
  }

 private:
  FILE* file;
  std::vector<std::pair<std::string, std::string>> names;
};

class DebugPrinters : public ::testing::Test {
 protected:
  void SetUp() override {
    newTestHeap();
    named.build();
    initDebugPrims();
  }
  void TearDown() override {
    classNameX = thisClassX = metaclassInstSize = -1;
    dbCodeRangesHook = savedHook;
    dbCodeRanges = savedRanges;
    freeTestHeap();
  }
  NamedClasses named;
  // The code areas a case sets by hand in place of the stack layer's.
  decltype(dbCodeRangesHook) savedHook = dbCodeRangesHook;
  DbCodeRanges savedRanges = dbCodeRanges;
};

TEST_F(DebugPrinters, InitFindsTheNameAndMetaclassSlots) {
  EXPECT_EQ(classNameX, 3);
  EXPECT_EQ(metaclassInstSize, 4);
  EXPECT_EQ(thisClassX, 3);
}

TEST_F(DebugPrinters, ClassNamesOfEveryKindOfWord) {
  Capture c;
  oop array = newOldObject(classIndexArray, 2);
  oop arrayClass = classAt(classIndexArray);
  oop meta = classOf(arrayClass);
  oop filler = newNewObject(testClasses.pointers, 3);
  writeFiller(headerOf(filler), 3);
  oop hybrid = newOldObject(testClasses.pointers, 4);
  setClassTag(headerOf(hybrid), classIndexHybridBlockContext);
  oop badClass = newOldObject(testClasses.pointers, 1);
  setClassTag(headerOf(badClass), 777);  // no class entered there
  c.name(badClass, "BAD");
  c.name(sysOop(sysEmptySlotMarker), "MARKER");
  uint64_t unaligned = array + 4;
  c.name(unaligned, "UNALIGNED");
  struct { oop o; const char* text; } cases[] = {
      {smallIntegerFor(-42), "SmallInteger -42;"},
      {characterFor('A'), "Character A (0101 0x41);"},
      {characterFor(0x20AC), "Character \xE2\x82\xAC (020254 0x20ac);"},
      {characterFor(0x1F600), "Character \xF0\x9F\x98\x80 (0373000 0x1f600);"},
      {smallDoubleFor(1.5), nullptr},
      {array, "a Array;"},
      {arrayClass, "a Class (Array);"},
      {meta, "a Metaclass (Array class);"},
      {hybrid, "HybridBlockContext;"},
      {filler, "NewSpaceDummyObject has no valid class.;"},
      {unaligned, "Bogus Oop UNALIGNED;"},
      {badClass, "bad class MARKER or class name oop 0x0!;"},
  };
  for (auto& k : cases) {
    std::string got = c.of([&] { dbfObjClassName(k.o, ";", debugLog); });
    if (k.text == nullptr) {
      char want[64];
      snprintf(want, sizeof want, "SmallDouble 1.5 (0x%" PRIx64 ");", k.o);
      EXPECT_EQ(got, want);
    } else {
      EXPECT_EQ(got, k.text) << std::hex << k.o;
    }
  }
  setClassTag(headerOf(hybrid), testClasses.pointers);
  setClassTag(headerOf(badClass), testClasses.pointers);
  EXPECT_HEAP_VALID();
}

TEST_F(DebugPrinters, ClassNamesBeforeInitAndOfAnObsoleteClass) {
  Capture c;
  oop arrayClass = classAt(classIndexArray);
  oop other = newOldObject(testClasses.pointers, 5);  // an old copy of Array, its metaclass pointing elsewhere
  memcpy(bodyOf(headerOf(other)), bodyOf(headerOf(arrayClass)), 5 * 8);
  setClassTag(headerOf(other), classTagOf(headerOf(arrayClass)));
  EXPECT_EQ(c.of([&] { dbObjClassName(other); }), "an Obsolete Class (Array) ??\n");
  classNameX = -1;
  EXPECT_EQ(c.of([&] { dbObjClassName(arrayClass); }), "classNameX uninitialized!\n");
  EXPECT_EQ(c.of([&] { dbObjClassName(smallIntegerFor(7)); }), "SmallInteger 7\n");
}

TEST_F(DebugPrinters, ClassNameTests) {
  oop array = newOldObject(classIndexArray, 1);
  oop meta = classOf(classAt(classIndexArray));
  oop filler = newNewObject(testClasses.pointers, 1);
  writeFiller(headerOf(filler), 1);
  oop hybrid = newOldObject(testClasses.pointers, 1);
  setClassTag(headerOf(hybrid), classIndexHybridMethodContext);
  struct { const char* name; oop o; int is; } objCases[] = {
      {"HybridMethodContext", hybrid, 1},      {"HybridBlockContext", hybrid, 0},
      {"SmallInteger", smallIntegerFor(1), 1}, {"Character", characterFor(9), 1},
      {"SmallDouble", smallDoubleFor(2.0), 1}, {"SmallInteger", characterFor(9), 0},
      {"Array", array, 1},                     {"Arra", array, 0},
      {"dummyObj", filler, 1},                 {"Array class", classAt(classIndexArray), 1},
      {"Metaclass", meta, 1},                  {"Array class", meta, 0},
  };
  for (auto& k : objCases) EXPECT_EQ(dbObjClassNameIs(k.name, k.o), k.is) << k.name;
  EXPECT_EQ(dbClassNameIs("Array", classAt(classIndexArray)), 1);
  EXPECT_EQ(dbClassNameIs("Array class", meta), 1);
  EXPECT_EQ(dbClassNameIs("Object class", meta), 0);
  EXPECT_EQ(dbObjMayBeClass(classAt(classIndexArray)), 1);
  EXPECT_EQ(dbObjMayBeClass(meta), 1);
  EXPECT_EQ(dbObjMayBeClass(array), 0);
  EXPECT_EQ(dbObjMayBeClass(smallIntegerFor(3)), 0);
  setClassTag(headerOf(hybrid), testClasses.pointers);
}

TEST_F(DebugPrinters, HeaderFieldsOfInlineAndExtendedBodies) {
  Capture c;
  oop small = newOldObject(testClasses.pointers, 3);
  setHash(headerOf(small), 0x123);
  setFlag(headerOf(small), isImmutableBit);
  oop big = newOldObject(testClasses.bytes, 2100);  // a body above 2008 bytes has a size word
  c.name(small, "SMALL");
  c.name(headerOf(small)->dataPtr, "BODY");
  c.name(big, "BIG");
  c.name(headerOf(big)->dataPtr, "BIGBODY");
  c.name(headerOf(big)->dataPtr - 8, "BIGSIZE");
  c.name(classAt(testClasses.pointers), "PTRCLASS");
  c.name(classAt(testClasses.bytes), "BYTECLASS");
  char flags[80];
  snprintf(flags, sizeof flags, "flags = 0x%08" PRIx64 "\n", headerOf(small)->flags);
  std::string want = std::string("\ndataPtr =  BODY  (bodyPtr = BODY)\n") + flags +
                     "classTag =  " + std::to_string(testClasses.pointers) + " 0x" +
                     (std::stringstream() << std::hex << testClasses.pointers).str() +
                     " (class = PTRCLASS)\n"
                     "size =  3 0x3 (sizeField: 3 0x3)\tbodySize =  24 0x18\n"
                     "indexability = 0x" + (std::stringstream() << std::hex << indexabilityOf(headerOf(small))).str() +
                     "\nhash =  291 0x123\ninRt =  0\nisMarked =  0\nisImmutable =  1\nisInOldRt =  0\n"
                     "isGCSpecial =  0\nephemeronNotWeak =  0\nhasPtrs =  1\n";
  EXPECT_EQ(c.of([&] { EXPECT_EQ(dbObjHeader(small), headerOf(small)->flags); }), want);
  std::string bigText = c.of([&] { dbxHeader(big); });
  EXPECT_NE(bigText.find("\ndataPtr =  BIGBODY  (bodyPtr = BIGSIZE)\nbodyPtr =  BIGSIZE\n"), std::string::npos) << bigText;
  EXPECT_NE(bigText.find("size =  263 0x107 (sizeField: 252 0xfc)\tbodySize =  2112 0x840 (extended)\n"
                         "odd bytes = 0x4\n"),
            std::string::npos)
      << bigText;
}

TEST_F(DebugPrinters, HeaderAndDataOfImmediatesFillersAndBogusWords) {
  Capture c;
  oop filler = newNewObject(testClasses.pointers, 4);
  writeFiller(headerOf(filler), 4);
  c.name(classAt(testClasses.pointers), "CLS");
  struct { oop o; const char* header; const char* data; const char* selector; } cases[] = {
      {smallIntegerFor(5), "\nImmediate objects have no headers.\n", "5 SmallInteger 0x2b has no data\n",
       "\nImmediate objects have no selector name.\n"},
      {characterFor(0xE9), "\nImmediate objects have no headers.\n", "\xC3\xA9 Character 0x749 has no data\n",
       "\nImmediate objects have no selector name.\n"},
      {filler, "\nNewSpaceDummyObject size = 4\n", "\nDummyObject has no valid data.\n",
       "\nDummyObject has no selector name.\n"},
      {0x10, "Bogus Oop 0x10\n", "Bogus Oop 0x10\n", "Bogus Oop 0x10\n"},
  };
  for (auto& k : cases) {
    EXPECT_EQ(c.of([&] { EXPECT_EQ(dbObjHeader(k.o), 0u); }), k.header);
    EXPECT_EQ(c.of([&] { dbObjData(k.o); }), k.data);
    EXPECT_EQ(c.of([&] { dbSelectorName(k.o); }), k.selector);
  }
  EXPECT_EQ(c.of([&] { EXPECT_EQ(dbObjDataPtr(smallIntegerFor(1)), 0u); }),
            "\nImmediate objects have no data pointers.\n");
}

TEST_F(DebugPrinters, DataOfPointerByteAndFloatObjects) {
  Capture c;
  oop ptrs = newOldObject(testClasses.pointers, 9);
  for (int i = 0; i < 9; i++) bodyOf(headerOf(ptrs))[i] = smallIntegerFor(i);
  oop bytes = newOldObject(testClasses.bytes, 5);
  memcpy(bodyOf(headerOf(bytes)), "hi\n\0!", 5);
  oop dbl = newOldObject(classIndexDouble, 8);
  double d = 0.25;
  memcpy(bodyOf(headerOf(dbl)), &d, 8);
  oop flt = newOldObject(classIndexFloat, 4);
  float f = 3.0f;
  memcpy(bodyOf(headerOf(flt)), &f, 4);
  oop sel = symbolFor("at:put:");
  EXPECT_EQ(c.of([&] { dbxData(ptrs); }),
            " x00000003 x0000000b x00000013 x0000001b x00000023 x0000002b x00000033 x0000003b\n x00000043\n");
  EXPECT_EQ(c.of([&] { dbObjData(bytes); }), " 68 69  a  0 21\nhi..!\n");
  EXPECT_EQ(c.of([&] { dbObjData(dbl); }), "Double 0.25\n");
  EXPECT_EQ(c.of([&] { dbObjData(flt); }), "Float 3.000000e+00\n");
  EXPECT_EQ(c.of([&] { dbxSelectorName(sel); }), "at:put:\n");
}

TEST_F(DebugPrinters, AccessorsStayInsideTheBody) {
  oop ptrs = newOldObject(testClasses.pointers, 2);
  oop bytes = newOldObject(testClasses.bytes, 3);
  oop filler = newNewObject(testClasses.pointers, 2);
  writeFiller(headerOf(filler), 2);
  EXPECT_EQ(dbSetObjDataField(ptrs, 1, smallIntegerFor(9)), smallIntegerFor(9));
  EXPECT_EQ(dbSetObjDataField(bytes, 2, 0x41), 0x41u);
  struct { oop o; uint64_t index; uint64_t value; } reads[] = {
      {ptrs, 1, smallIntegerFor(9)}, {ptrs, 0, nilOop()}, {ptrs, 2, 0}, {ptrs, ~uint64_t(0), 0},
      {bytes, 2, 0x41},           {bytes, 3, 0},       {smallIntegerFor(1), 0, 0}, {filler, 0, 0},
  };
  for (auto& r : reads) EXPECT_EQ(dbObjDataField(r.o, r.index), r.value);
  // Past the end nothing is stored: the byte after the body keeps its value.
  uint8_t* body = reinterpret_cast<uint8_t*>(bodyOf(headerOf(bytes)));
  uint8_t after = body[3];
  EXPECT_EQ(dbSetObjDataField(bytes, 3, 0x55), 0u);
  EXPECT_EQ(body[3], after);
  oop next = bodyOf(headerOf(ptrs))[2];
  EXPECT_EQ(dbSetObjDataField(ptrs, 2, 0x55), 0u);
  EXPECT_EQ(bodyOf(headerOf(ptrs))[2], next);
  EXPECT_EQ(dbSetObjDataField(smallIntegerFor(1), 0, 7), 0u);
  EXPECT_EQ(dbObjClass(smallIntegerFor(1)), classAt(classIndexSmallInteger));
  EXPECT_EQ(dbObjClass(ptrs), classAt(testClasses.pointers));
  EXPECT_EQ(dbObjClass(filler), 0u);
  EXPECT_EQ(dbObjDataSize(bytes), 3u);
  EXPECT_EQ(dbObjDataSize(ptrs), 16u);
  EXPECT_EQ(dbObjDataSize(filler), 16u);
  setFlag(headerOf(ptrs), isMarkedBit);
  EXPECT_EQ(dbObjIsMarked(ptrs), 1u);
  EXPECT_EQ(dbObjHasPtrs(ptrs), 1u);
  EXPECT_EQ(dbObjHasPtrs(bytes), 0u);
  EXPECT_EQ(dbObjHash(classAt(classIndexArray)), uint64_t(classIndexArray));
  EXPECT_EQ(dbObjDataPtr(ptrs), headerOf(ptrs)->dataPtr);
  clearFlag(headerOf(ptrs), isMarkedBit);
  EXPECT_HEAP_VALID();
}

TEST_F(DebugPrinters, ResidenceOfEverySpace) {
  Capture c;
  dbCodeRangesHook = nullptr;  // code areas as set below, whatever ran before
  dbCodeRanges = {};
  oop young = newNewObject(testClasses.pointers, 2);
  oop old = newOldObject(testClasses.pointers, 2);
  oop empty = newOldObject(testClasses.pointers, 0);
  ObjectHeader* large = allocInLargeSpace(testClasses.bytes, 4000, 0, 0);
  ObjectHeader* fixed = allocInFixedSpace(testClasses.bytes, 100, 0, 0);
  ObjectHeader* perm = allocInPermSpace(testClasses.pointers, 0, 16, hasPtrsBit, nilOop());
  ASSERT_NE(large, nullptr);
  ASSERT_NE(fixed, nullptr);
  ASSERT_NE(perm, nullptr);
  std::pair<uint64_t, const char*> names[] = {
      {young, "YOUNG"}, {headerOf(young)->dataPtr, "YOUNGDATA"}, {old, "OLD"},
      {headerOf(old)->dataPtr, "OLDDATA"}, {empty, "EMPTY"}, {oopOf(large), "LARGE"},
      {large->dataPtr, "LARGEDATA"}, {large->dataPtr + 64, "INLARGE"}, {oopOf(fixed), "FIXED"},
      {fixed->dataPtr, "FIXEDDATA"}, {oopOf(perm), "PERM"}, {perm->dataPtr, "PERMDATA"},
      {eden.allocPtr + 64, "VACANT"}, {old + 3, "ODD"}, {0x1000, "LOW"}};
  for (auto& [a, n] : names) c.name(a, n);
  struct { uint64_t a; const char* text; } cases[] = {
      {young, "object YOUNG header in eden newSpace, data YOUNGDATA in eden newSpace\n       \n"},
      {old, "object OLD header in oldSpace, data OLDDATA in oldSpace\n       \n"},
      {empty, "object EMPTY header in oldSpace, object has no data (zero sized)\n       \n"},
      {oopOf(large), "object LARGE header in eden newSpace, data LARGEDATA in largeSpace\n       \n"},
      {oopOf(fixed), "object FIXED header in eden newSpace, data FIXEDDATA in fixedSpace\n       \n"},
      {oopOf(perm), "object PERM header in permSpace, data PERMDATA in permSpace\n       \n"},
      {eden.allocPtr + 64, "object VACANT header in vacant eden newSpace, but not in any OT\n"},
      {large->dataPtr + 64, "object INLARGE header in largeSpace, but not in any OT\n"},
      {old + 3, "is immediate\n"},
      {old + 4, nullptr},
      {0x1000, "object LOW but not in any OT\n"},
      {smallIntegerFor(3), "is immediate\n"},
  };
  for (auto& k : cases) {
    std::string got = c.of([&] { dbxResidence(k.a); });
    if (k.text != nullptr) EXPECT_EQ(got, k.text) << std::hex << k.a;
    else EXPECT_NE(got.find("has invalid alignment, "), std::string::npos) << got;
  }
  // Code areas, as the stack layer names them.
  dbCodeRanges = {0x1000, 0x2000, 0x5000, 0x6000, 0x3000, 0x3100};
  c.name(0x1800, "S"), c.name(0x3008, "G"), c.name(0x5008, "N"), c.name(0x4000, "B"), c.name(0x7000, "A");
  struct { uint64_t a; const char* text; } areas[] = {
      {0x1800, "object S in stack zone, but not in any OT\n"}, {0x3008, "object G in glue code, but not in any OT\n"},
      {0x5008, "object N in ncode, but not in any OT\n"},      {0x4000, "object B below nzone, but not in any OT\n"},
      {0x7000, "object A above nzone, but not in any OT\n"}};
  for (auto& k : areas) EXPECT_EQ(c.of([&] { dbResidence(k.a); }), k.text);
  dbCodeRanges = {};
  // The remembered flags come from the header and from the tables.
  registerInRt(headerOf(old));
  EXPECT_EQ(c.of([&] { dbResidence(old); }),
            "object OLD header in oldSpace, data OLDDATA in oldSpace\n       actuallyInRt,inRt,\n");
}

TEST_F(DebugPrinters, OwnersDataOwnersAndIndices) {
  Capture c;
  oop target = newOldObject(testClasses.threeSlots, 3);
  oop holder = newOldObject(testClasses.pointers, 4);
  bodyOf(headerOf(holder))[2] = target;
  oop inst = newOldObject(testClasses.threeSlots, 3);
  oop cls = classAt(testClasses.threeSlots);
  c.name(target, "TARGET");
  c.name(holder, "HOLDER");
  c.name(inst, "INST");
  EXPECT_EQ(c.of([&] { dbxOwners(target); }), "HOLDER  \n");
  EXPECT_EQ(c.of([&] { dbObjOwners(smallIntegerFor(99)); }), "\n");  // no holder, no instances
  EXPECT_EQ(c.of([&] { dbObjOwners(target + 8); }), "\n");
  std::string insts = c.of([&] { dbObjOwners(cls); });
  EXPECT_NE(insts.find("TARGET* "), std::string::npos) << insts;
  EXPECT_NE(insts.find("INST* "), std::string::npos) << insts;
  EXPECT_EQ(c.of([&] { dbObjWhichOwnsData(headerOf(holder)->dataPtr + 8); }), "HOLDER \n");
  testing::internal::CaptureStdout();
  dbPrintIndicesOfIn(target, holder);
  dbPrintIndicesOfIn(target, newOldObject(testClasses.bytes, 8));
  printIfObjClassNameIs("Triple", inst);
  printIfObjClassNameIs("Array", inst);
  printIfClassNameIs("Triple", cls);
  std::string out = testing::internal::GetCapturedStdout();
  char want[256];
  snprintf(want, sizeof want,
           "at [2], at: 3\nas yet implemented only for pointers\n0x%07" PRIx64 "\n0x%07" PRIx64 " is named Triple\n",
           inst, cls);
  EXPECT_EQ(out, want);
}

TEST_F(DebugPrinters, OwnersCountAfterNine) {
  Capture c;
  oop target = newOldObject(testClasses.object, 0);
  for (int i = 0; i < 10; i++) bodyOf(headerOf(newOldObject(testClasses.pointers, 1)))[0] = target;
  std::string got = c.of([&] { dbObjOwners(target); });
  EXPECT_NE(got.find("(insts: 0, refs: 9)\n"), std::string::npos) << got;
  EXPECT_EQ(got.find("refs: 10"), std::string::npos) << got;
}

// The words of every area, to see that printing changed nothing.
std::vector<uint64_t> heapWords() {
  std::vector<uint64_t> w;
  auto add = [&](uint64_t lo, uint64_t hi) {
    for (uint64_t a = lo; a < hi; a += 8) w.push_back(*reinterpret_cast<uint64_t*>(a));
  };
  add(eden.start, eden.allocPtr);
  add(pastSpace.start, pastSpace.top);
  writeBackOldSpace();
  for (OldSpaceSegment* s = oldSpaceSegs.first; s != nullptr; s = s->next) {
    add(s->dataStart, s->dataTop);
    add(s->otLow + 16, s->otHigh + 16);
  }
  add(permSpace.dataStart, permSpace.dataTop);
  add(largeSpace.table.firstBlock->block, uint64_t(largeSpace.table.lowest));
  return w;
}

TEST_F(DebugPrinters, RandomWordsNeitherFaultNorChangeTheHeap) {
  Capture c;
  for (int i = 0; i < 40; i++) newNewObject(testClasses.pointers, uint64_t(i));
  for (int i = 0; i < 40; i++) newOldObject(i % 2 ? testClasses.bytes : testClasses.pointers, uint64_t(i * 3));
  allocInLargeSpace(testClasses.bytes, 5000, 0, 0);
  std::vector<uint64_t> before = heapWords();
  std::pair<uint64_t, uint64_t> areas[] = {
      {eden.start, eden.end},       {pastSpace.start, pastSpace.end},
      {oldSpace.dataStart, oldSpace.otHigh + 16}, {permSpace.dataStart, permSpace.otHigh + 16},
      {largeSpace.table.firstBlock->block, uint64_t(largeSpace.table.highest) + 40}};
  std::mt19937_64 rng(20261210);
  for (int i = 0; i < 1000000; i++) {
    uint64_t w = rng();
    switch (i % 4) {
      case 0: break;  // any word
      case 1:
      case 2: {       // inside an area, aligned or not
        auto& [lo, hi] = areas[(w >> 32) % 5];
        w = lo + (w % (hi - lo)) ;
        if (i % 4 == 1) w &= ~uint64_t(7);
        break;
      }
      case 3: w &= 0xFFFF; break;  // small words
    }
    dbObjClassName(w);
    dbObjHeader(w);
    dbObjData(w);
    dbSelectorName(w);
    dbResidence(w);
    dbObjDataField(w, rng() % 300);
    dbObjDataSize(w);
    dbObjMayBeClass(w);
    dbObjClassNameIs("Array class", w);
    if (i % 1000 == 0) rewind(debugLog);
  }
  EXPECT_TRUE(heapWords() == before);
  EXPECT_HEAP_VALID();
}

}  // namespace
