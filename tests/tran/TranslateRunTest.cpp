// Translation of whole methods built by mkimage in-process, run natively on a stack segment:
// loops, recursion through linked self-sends, argument passing, stores that alias pushed
// values, loop ends that call out, and the inline arithmetic and comparisons on the
// SmallInteger edges with their send paths.
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
#include "tran/translatorZone.h"

namespace {

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

class Translate_Run : public TranslatorZone {};

TEST_F(Translate_Run, LoopsRecursionArgumentsAndAliasedStores) {
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
  // The listing labels the entries, decodes every instruction and shows each site's map byte.
  char* text = nullptr;
  size_t length = 0;
  FILE* listing = open_memstream(&text, &length);
  printEntireNMethod(fib, nullptr, listing, 0, 0);
  fclose(listing);
  std::string l(text, length);
  free(text);
  int allSites = 0;
  forEachSendSite(fib, [&](uint64_t, uint32_t) { allSites++; });
  size_t mapLines = 0;
  for (size_t at = l.find("\tmap:"); at != std::string::npos; at = l.find("\tmap:", at + 1)) mapLines++;
  EXPECT_EQ(mapLines, size_t(allSites)) << l;
  for (const char* label : {"cannot-resume entry:\n", "\nentry:\n", "non-imm entry:\n", "no-check entry:\n", "PC map:\n"}) {
    EXPECT_NE(l.find(label), std::string::npos) << label;
  }
  EXPECT_EQ(l.substr(0, l.find("PC map:")).find(".byte"), std::string::npos) << l;
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
      {"nested:", {smallIntegerFor(3)}, 11},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.selector);
    EXPECT_EQ(run(translate(c.selector), c.args), smallIntegerFor(c.answer));
    EXPECT_EQ(tranRspAfter, tranRspBefore) << "the callee pops what its caller stacked";
  }
}

// The first translation enters the translated primitives over the C functions the primitive
// sets registered, each falling back on that function through the engine's own glue; with
// them disabled the table stays as the sets left it.
TEST_F(Translate_Run, FirstTranslationRegistersTranslatedPrimitivesOverTheCOnes) {
  for (uint32_t on : {1u, 0u}) {
    SCOPED_TRACE(on);
    for (TranslatedPrimRecord* t : {txArithPrims, txControlPrims, txMemPrims, txSubscriptPrims}) {
      for (TranslatedPrimRecord* r = t; r->number != 0; r++) r->cFunction = r->glue = nullptr;
    }
    initNMethods(reinterpret_cast<uint64_t>(runArea), runAreaBytes);  // a fresh zone, an empty table
    initArithmeticPrims();
    const uint32_t numbers[] = {1, 2, 9, 12, 17};
    uint64_t before[5];
    for (int k = 0; k < 5; k++) before[k] = getPrimEntry(numbers[k])->function;
    tRt = TRoutines{};  // as start-up finds them
    enableTP = on;
    EXPECT_EQ(run(translate("sumTo:"), {smallIntegerFor(10)}), smallIntegerFor(55));
    for (int k = 0; k < 5; k++) {
      const PrimEntry* e = getPrimEntry(numbers[k]);
      SCOPED_TRACE(numbers[k]);
      ASSERT_NE(before[k], 0u);
      if (on == 0) {
        EXPECT_EQ(e->kind, primKindC);
        EXPECT_EQ(e->function, before[k]);
        continue;
      }
      ASSERT_EQ(e->kind, primKindTranslated);
      const TranslatedPrimRecord* r = reinterpret_cast<const TranslatedPrimRecord*>(uintptr_t(e->function));
      EXPECT_EQ(r->number, numbers[k]);
      EXPECT_EQ(reinterpret_cast<uint64_t>(r->cFunction), before[k]);
      EXPECT_EQ(reinterpret_cast<uint64_t>(r->glue), PrimGlueTable[1]);
    }
  }
  for (TranslatedPrimRecord* t : {txArithPrims, txControlPrims, txMemPrims, txSubscriptPrims}) {
    for (TranslatedPrimRecord* r = t; r->number != 0; r++) r->cFunction = r->glue = nullptr;
  }
}

// Saving contexts: a native pc becomes the bytecode pc it maps to, one no translation maps
// becomes the cannot-resume pc (after a report), and a bytecode pc stays as it is; without
// a cannot-resume pc the mapping fails.
TEST_F(Translate_Run, MapAllNPCsTurnsContextPcsIntoBytecodePcs) {
  uint64_t fib = translate("fib:");
  oop method = methodOf("fib:");
  int64_t site = 0;
  forEachSendSite(fib, [&](uint64_t r, uint32_t) {
    if (site == 0) site = int64_t(r - fib);
  });
  ASSERT_GT(site, 0);
  int64_t siteVpc = mapNToVPC(method, site);
  int64_t cannotResume = mapNToVPC(method, nMethodCannotResumeEntry);
  ASSERT_GT(siteVpc, 0);
  ASSERT_GT(cannotResume, siteVpc);
  struct Case {
    uint32_t classTag;
    oop pc;
    oop want;
  };
  const Case cases[] = {
      {classIndexMethodContext, smallIntegerFor(-site), smallIntegerFor(siteVpc)},
      {classIndexBlockContext, smallIntegerFor(-site), smallIntegerFor(siteVpc)},
      {classIndexMethodContext, smallIntegerFor(-1), smallIntegerFor(cannotResume)},
      {classIndexMethodContext, smallIntegerFor(3), smallIntegerFor(3)},
      {classIndexArray, smallIntegerFor(-site), smallIntegerFor(-site)},
  };
  std::vector<ObjectHeader*> objects;
  for (const Case& c : cases) {
    ObjectHeader* h = newRunTimeObject(c.classTag, 6, 0, "a test context");
    bodyOf(h)[0] = method;
    bodyOf(h)[1] = c.pc;
    objects.push_back(h);
  }
  testing::internal::CaptureStdout();
  EXPECT_EQ(mapAllNPCs(), 1);
  std::string report = testing::internal::GetCapturedStdout();
  for (size_t i = 0; i < objects.size(); i++) EXPECT_EQ(bodyOf(objects[i])[1], cases[i].want) << "case " << i;
  EXPECT_NE(report.find("Unmappable n-PC encountered:\n\t\t\tn-PC = 0x1/1,\n\t\t\tv-PC = 0x"), std::string::npos)
      << report;
  // A context of no translatable method has no cannot-resume pc either: the mapping fails.
  ObjectHeader* lost = newRunTimeObject(classIndexMethodContext, 6, 0, "a test context");
  bodyOf(lost)[0] = nilOop();
  bodyOf(lost)[1] = smallIntegerFor(-site);
  testing::internal::CaptureStdout();
  EXPECT_EQ(mapAllNPCs(), 0);
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(bodyOf(lost)[1], smallIntegerFor(-site));
}

// Collection over translated methods, every method and block of the kernel among them: after
// each round of freeing or compacting, the zone's chain, the tables, the method cache, the
// list of nmethods with new-space references and the entry-code words hold, fib's links follow
// it, and the methods still answer.
TEST_F(Translate_Run, CollectionKeepsTranslatedCodeRunning) {
  const char* selectors[] = {"sumTo:", "fib:", "a0", "a1:", "a2:y:", "a3:y:z:", "a4:y:z:w:", "tTemp", "tIvar"};
  uint32_t tag = classTagOf(headerOf(receiver()));
  std::vector<std::pair<oop, oop>> everyMethod;  // (method, selector; 0 for a block)
  std::function<void(const MkMethod&)> add = [&](const MkMethod& m) {
    everyMethod.push_back({built.methods.at(&m), m.isBlock ? 0 : built.symbols.at(m.selector)});
    for (const MkMethod& b : m.blocks) add(b);
  };
  for (const MkClass& k : program.classes) {
    for (const MkMethod& m : k.methods) add(m);
    for (const MkMethod& m : k.classMethods) add(m);
  }
  ASSERT_GT(everyMethod.size(), 300u);
  auto linkFib = [&](uint64_t fib) {
    forEachSendSite(fib, [&](uint64_t r, uint32_t type) {
      uint32_t selector;
      memcpy(&selector, reinterpret_cast<void*>(r - 9), 4);
      if (selector >= 256) linkSite(r, type, tag, fib);
    });
  };
  std::mt19937 rng(7);
  for (int round = 0; round < 25; round++) {
    SCOPED_TRACE(round);
    for (const auto& [method, selector] : everyMethod)
      if (vToNMethod(method, selector) == 0) {
        ASSERT_GE(addNMethod(method, selector), lookupResultLimit);
      }
    for (const char* s : selectors) translate(s);
    uint64_t fib = translate("fib:");
    linkFib(fib);
    for (uint64_t p = nmZone.bottom; p < nmZone.free; p += nMethodBlockSize(reinterpret_cast<NMethodHeader*>(p))) {
      NMethodHeader* b = reinterpret_cast<NMethodHeader*>(p);
      if (b->usedSize != 0) b->mark = uint8_t(rng() % 3 == 0 ? 0 : 1 + rng() % 100);
    }
    reinterpret_cast<NMethodHeader*>(fib)->mark = 0x80 | 50;  // as if running: its links must move with it
    oop fibMethod = reinterpret_cast<NMethodHeader*>(fib)->vmethod;
    if (rng() % 2 == 0) {
      nmCompact(int64_t(rng() % 4096));
    } else {
      nmFreeUntil(rng() % 4096, 255, 1);
      invalidatePostFreeNMethods();
      nmUpdateNewRefsFromMCache();
    }
    uint64_t p = nmZone.bottom, holes = 0;
    uint64_t movedFib = 0;
    while (p < nmZone.free) {
      NMethodHeader* b = reinterpret_cast<NMethodHeader*>(p);
      uint64_t step = nMethodBlockSize(b);
      ASSERT_GE(step, nMethodHeaderSize);
      if (b->usedSize == 0) {
        holes += step;
      } else {
        EXPECT_TRUE(nMethodIsInTables(p));
        int args = b->numArgs < 2 ? b->numArgs : 2;
        int k = b->frame == 0 ? 0 : (b->flags & nmFlagPrimitive) != 0 ? 5 + args : 1 + args;
        uint64_t word;
        memcpy(&word, reinterpret_cast<const void*>(p + nMethodHeaderSize), 8);
        EXPECT_EQ(word, entryCodeTable[k]);
        if (b->vmethod == fibMethod) movedFib = p;
      }
      p += step;
    }
    ASSERT_EQ(p, nmZone.free);
    ASSERT_EQ(holes, nmZone.holesBytes);
    for (uint64_t e = nmZone.list; e < nmZone.top; e += 8) {
      const NMethodHeader* listed = *reinterpret_cast<NMethodHeader* const*>(e);
      EXPECT_TRUE(isNMethod(reinterpret_cast<uint64_t>(listed)));
      EXPECT_NE(listed->flags & nmFlagNewRef, 0);
    }
    for (uint32_t i = 0; i < mCacheEntries; i++)
      if (mCache[i].classIndex != 0) {
        EXPECT_NE(reinterpret_cast<NMethodHeader*>(mCache[i].nmethod)->usedSize, 0u);
      }
    ASSERT_NE(movedFib, 0u);
    int linked = 0;
    forEachSendSite(movedFib, [&](uint64_t r, uint32_t type) {
      uint32_t selector;
      memcpy(&selector, reinterpret_cast<void*>(r - 9), 4);
      if (selector != tag) return;
      int32_t rel;
      memcpy(&rel, reinterpret_cast<void*>(r - 4), 4);
      EXPECT_EQ(r + uint64_t(int64_t(rel)), movedFib + sendTypeTable[type].entryOffset);
      linked++;
    });
    EXPECT_EQ(linked, 2);
    EXPECT_EQ(run(movedFib, {smallIntegerFor(15)}), smallIntegerFor(610));
    EXPECT_EQ(run(translate("sumTo:"), {smallIntegerFor(1000)}), smallIntegerFor(500500));
    EXPECT_EQ(run(translate("a2:y:"), {smallIntegerFor(100), smallIntegerFor(10)}), smallIntegerFor(90));
  }
  EXPECT_EQ(recCount, 0u);
}

// The open PIC's lookup leaves out the probes its code made: it looks the method up again
// and fills the victim, where findMethod answers the cached entry and leaves the cache alone.
TEST_F(Translate_Run, OpenPICLookupSkipsTheProbesButFillsTheVictim) {
  uint32_t tag = classTagOf(headerOf(receiver()));
  oop selector = selectorOf("a0");
  clearMCache();
  mCacheToggle = 0;
  uint64_t nm = translate("a0");
  uint32_t i1 = mCacheFirstProbe(selector, tag), i2 = (i1 + mCacheSecondProbe) & mCacheMask;
  ASSERT_EQ(mCache[i1].nmethod, nm);
  uint32_t toggle = mCacheToggle;
  EXPECT_EQ(findMethodForOpenPIC(selector, tag, 0), nm);
  EXPECT_EQ(findMethod(selector, tag), nm);
  EXPECT_EQ(mCacheToggle, toggle) << "a hit fills nothing";
  mCache[i2] = {};
  mCacheToggle = 1;
  EXPECT_EQ(findMethodForOpenPIC(selector, tag, 1), nm);
  EXPECT_EQ(mCacheToggle, 0u);
  EXPECT_EQ(mCache[i2].classIndex, tag) << "the first entry is taken and the toggle set: the second";
  EXPECT_EQ(mCache[i2].nmethod, nm);
  // Not understood answers 1 and fills nothing.
  std::vector<MethodCacheEntry> before(mCache, mCache + mCacheEntries);
  EXPECT_EQ(findMethodForOpenPIC(selectorOf("fib:"), classTagOf(headerOf(methodOf("a0"))), 1), lookupNotUnderstood);
  EXPECT_EQ(memcmp(before.data(), mCache, sizeof(MethodCacheEntry) * mCacheEntries), 0);
}

// Block methods are found in the table of their argument count, 3 and more sharing one,
// only once translated and never when unlinked.
TEST_F(Translate_Run, BlockMethodsAreFoundByTheirArgumentCount) {
  struct Case {
    const char* home;
    uint32_t kind;
    uint32_t otherKind;  // a table the block is not in
  };
  const Case cases[] = {{"b0", 0, 1}, {"b1", 1, 2}, {"b2", 2, 0}, {"b4", 4, 1}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.home);
    const MkMethod* home = findMethod(program, "T", c.home);
    ASSERT_TRUE(home != nullptr && home->blocks.size() == 1);
    oop block = built.methods.at(&home->blocks[0]);
    EXPECT_EQ(blockVToNMethod(block, c.kind), 0u);
    uint64_t nm = addNMethod(block, 0);
    ASSERT_GE(nm, lookupResultLimit);
    EXPECT_EQ(blockVToNMethod(block, c.kind), nm);
    if (c.kind >= 3) {
      EXPECT_EQ(blockVToNMethod(block, 3), nm) << "one table for three and more";
    }
    EXPECT_EQ(blockVToNMethod(block, c.otherKind), 0u);
    EXPECT_EQ(blockVToNMethod(methodOf(c.home), c.kind), 0u) << "the home method is no block of the table";
    reinterpret_cast<NMethodHeader*>(nm)->flags |= nmFlagUnlinked;
    EXPECT_EQ(blockVToNMethod(block, c.kind), 0u);
    reinterpret_cast<NMethodHeader*>(nm)->flags &= uint8_t(~nmFlagUnlinked);
  }
}

// The method names of the debug log: class side, blocks at any depth by their home method,
// and a method without a class.
TEST_F(Translate_Run, MethodNamesPrintClassSelectorAndBlockHome) {
  initDebugPrims();
  const MkMethod* nest = findMethod(program, "T", "nest");
  ASSERT_TRUE(nest != nullptr && nest->blocks.size() == 1 && nest->blocks[0].blocks.size() == 1);
  const MkMethod* b1 = findMethod(program, "T", "b1");
  ASSERT_TRUE(b1 != nullptr && b1->blocks.size() == 1);
  oop unbound = methodOf("a1:");
  struct Case {
    oop method;
    const char* text;
  };
  const Case cases[] = {
      {methodOf("fib:"), "T class>>fib:\n"},
      {built.methods.at(&b1->blocks[0]), "[] in T class>>b1\n"},
      {built.methods.at(&nest->blocks[0]), "[] in T class>>nest\n"},
      {built.methods.at(&nest->blocks[0].blocks[0]), "[] in T class>>nest\n"},
      {unbound, ">>unboundMethod\n"},
  };
  oop cls = slotOf(unbound, 1);
  bodyOf(headerOf(unbound))[1] = nilOop();
  for (const Case& c : cases) {
    char* text = nullptr;
    size_t length = 0;
    debugLog = open_memstream(&text, &length);
    printMethod(c.method);
    fclose(debugLog);
    EXPECT_EQ(std::string(text, length), c.text);
    free(text);
  }
  bodyOf(headerOf(unbound))[1] = cls;
  classNameX = thisClassX = metaclassInstSize = -1;
}

oop primitiveAnswer(oop receiver, oop argument) { return argument != receiver ? argument : receiver; }

// Listings of small methods against golden files: offsets in the nmethod (tDebug bit 0x1000),
// the convention's register names where asked for, every absolute address normalised.
// TESSEL_WRITE_LISTINGS=1 rewrites the files instead.
TEST_F(Translate_Run, ListingsMatchTheGoldenFiles) {
  addCPrimitive(4000, reinterpret_cast<const void*>(&primitiveAnswer), 1);
  const struct {
    const char* selector;
    int registerNames;
    const char* file;
  } cases[] = {{"a0", 0, "a0.txt"}, {"a2:y:", 1, "a2y.txt"}, {"fib:", 0, "fib.txt"}, {"p1:", 1, "p1.txt"}};
  uint32_t savedDebug = tDebug;
  tDebug |= 0x1000;
  bool write = getenv("TESSEL_WRITE_LISTINGS") != nullptr;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.selector);
    uint64_t nm = translate(c.selector);
    char* text = nullptr;
    size_t length = 0;
    FILE* f = open_memstream(&text, &length);
    printEntireNMethod(nm, nullptr, f, c.registerNames, 0);
    fclose(f);
    // Absolute addresses, and the bytes of instructions that hold one or reach out of the
    // zone, depend on where the program and the zone lie.
    std::stringstream lines(std::string(text, length));
    free(text);
    std::string listing;
    for (std::string line; std::getline(lines, line);) {
      if (line.rfind("Restart:", 0) != 0 && line.rfind("Return:", 0) != 0)
        line = std::regex_replace(line, std::regex("0x[0-9a-f]{6,}"), "0x?");
      size_t bytes = line.find(":\t "), text = line.find('\t', bytes + 2);
      if (bytes != std::string::npos && text != std::string::npos && line.find("0x?", text) != std::string::npos)
        line.replace(bytes + 2, text - bytes - 2, " ..");
      listing += line + "\n";
    }
    std::string path = std::string(TRAN_LISTINGS_DIR) + "/" + c.file;
    if (write) {
      std::ofstream(path) << listing;
      continue;
    }
    std::ifstream in(path);
    ASSERT_TRUE(in.good()) << path;
    std::stringstream golden;
    golden << in.rdbuf();
    EXPECT_EQ(listing, golden.str());
  }
  tDebug = savedDebug;
  // Without the bit, lines carry addresses; a block that is no nmethod says so.
  char* text = nullptr;
  size_t length = 0;
  FILE* f = open_memstream(&text, &length);
  uint64_t nm = translate("a0");
  printEntireNMethod(nm, nullptr, f, 0, 0);
  printEntireNMethod(nm + 8, nullptr, f, 0, 0);
  fclose(f);
  std::string plain(text, length);
  free(text);
  char first[40];
  snprintf(first, sizeof first, "_%" PRIx64 ":\t", nm + nMethodCannotResumeEntry);
  EXPECT_NE(plain.find(first), std::string::npos) << plain;
  EXPECT_EQ(plain.find("nm@"), std::string::npos);
  char bad[40];
  snprintf(bad, sizeof bad, "0x%" PRIx64 " is not an nmethod\n", nm + 8);
  EXPECT_NE(plain.find(bad), std::string::npos);
}

// The primitive behind T class>>compact: frees the lowest nmethod (that of compactFrees) and
// slides the zone down under the running frames.
oop compactFrees;
int compactions;
oop compactingPrimitive(oop) {
  nmFlushCachedCodeForMethod(compactFrees);
  nmCompact(0);
  compactions++;
  return smallIntegerFor(0);
}

// Links every literal send site of nm to the nmethod its selector names on T's class side.
void linkLiteralSends(uint64_t nm, uint32_t tag, const std::function<uint64_t(oop)>& callee) {
  TVInfo info;
  ASSERT_TRUE(unpackVMethod(reinterpret_cast<NMethodHeader*>(nm)->vmethod, &info));
  forEachSendSite(nm, [&](uint64_t r, uint32_t type) {
    uint32_t index;
    memcpy(&index, reinterpret_cast<void*>(r - 9), 4);
    if (index >= 256) linkSite(r, type, tag, callee(info.literals[index - 256]));
  });
}

TEST_F(Translate_Run, RecursionAnswersThroughCodeMovedByItsInnermostPrimitive) {
  addCPrimitive(4001, reinterpret_cast<const void*>(&compactingPrimitive), 0);
  uint32_t tag = classTagOf(headerOf(receiver()));
  compactFrees = methodOf("filler");
  compactions = 0;
  uint64_t filler = translate("filler");
  ASSERT_EQ(filler, nmZone.bottom) << "the block that is freed lies lowest";
  uint64_t rec = translate("rec:");
  translate("compact");
  linkLiteralSends(rec, tag, [&](oop selector) { return findMethod(selector, tag); });
  EXPECT_EQ(run(rec, {smallIntegerFor(6)}), smallIntegerFor(6));
  EXPECT_EQ(compactions, 1);
  EXPECT_EQ(tranRspAfter, tranRspBefore);
  uint64_t moved = vToNMethod(methodOf("rec:"), selectorOf("rec:"));
  EXPECT_LT(moved, rec);
  EXPECT_EQ(moved, nmZone.bottom) << "rec slid down into the freed block's place";
  EXPECT_EQ(vToNMethod(compactFrees, 0), 0u);
  // Again through the moved code and its moved links; the zone has nothing more to free.
  EXPECT_EQ(run(moved, {smallIntegerFor(9)}), smallIntegerFor(9));
  EXPECT_EQ(compactions, 2);
  EXPECT_EQ(recCount, 0u) << "every send went through a linked site";
}

TEST_F(Translate_Run, ForcedStackLimitCallsOutAtEachLoopEndAndResumesAtTheHead) {
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
class Translate_Corpus : public TranslatorZone {
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

TEST_F(Translate_Corpus, EveryMethodTranslatesDisassemblesAndMapsItsSitesBothWays) {
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
      if (q[0] == 0xE8 && uint64_t(reinterpret_cast<uintptr_t>(q)) + 5 + uint64_t(int64_t(d)) == uint64_t(reinterpret_cast<uintptr_t>(tRt.endLoop)) && q[-6] == 0x0F && q[-5] == 0x83) {
        roundTrip(uint64_t(reinterpret_cast<uintptr_t>(q + 5)));
        loopEnds++;
      }
    }
  }
  EXPECT_GT(sites, 1000);
  EXPECT_GT(loopEnds, 20);
}

}  // namespace

namespace {

class Translate_Grid : public TranslatorZone {};

// What a special selector's fast path answers for two SmallIntegers, or nothing when it must
// send (an overflow of + or -).
bool expected(int k, int64_t a, int64_t b, int64_t* value, bool* boolean) {
  switch (k) {
    case 0:
    case 1: {
      int64_t r = k == 0 ? a + b : a - b;
      *value = r;
      return fitsSmallInteger(r);
    }
    case 2: *boolean = a < b; break;
    case 3: *boolean = a > b; break;
    case 4: *boolean = a <= b; break;
    case 5: *boolean = a >= b; break;
    case 6: *boolean = a == b; break;
    default: *boolean = a != b; break;
  }
  return true;
}

TEST_F(Translate_Grid, InlineArithmeticAndComparisonsAnswerExactlyAndSendOnlyWhenTheyMust) {
  const int64_t e = int64_t(1) << 60;
  const int64_t values[] = {-e, -e + 1, -1, 0, 1, e - 2, e - 1};
  const oop notSmall[] = {nilOop(), characterFor('a'), receiver()};
  for (int k = 0; k < 8; k++) {
    SCOPED_TRACE(opNames[k]);
    std::string n = std::to_string(k);
    uint64_t v = translate("v" + n + ":with:");
    uint64_t f = translate("f" + n + ":with:");
    uint64_t t = translate("t" + n + ":with:");
    bool comparison = k >= 2;
    // One call through the send row: it must see exactly these operands and selector.
    auto sent = [&](uint64_t nm, oop a, oop b, oop answer) {
      uint64_t before = recCount;
      recAnswer = answer;
      oop r = run(nm, {a, b});
      EXPECT_EQ(recCount, before + 1);
      EXPECT_EQ(recReceiver, a);
      EXPECT_EQ(recArg, b);
      EXPECT_EQ(recSelector & 0xFFFFFFFF, uint64_t(k));
      return r;
    };
    for (int64_t a : values) {
      for (int64_t b : values) {
        SCOPED_TRACE(std::to_string(a) + " " + opNames[k] + " " + std::to_string(b));
        oop ao = smallIntegerFor(a), bo = smallIntegerFor(b);
        int64_t value = 0;
        bool boolean = false;
        if (!expected(k, a, b, &value, &boolean)) {
          EXPECT_EQ(sent(v, ao, bo, smallIntegerFor(999)), smallIntegerFor(999));
          continue;
        }
        uint64_t before = recCount;
        EXPECT_EQ(run(v, {ao, bo}), comparison ? booleanOop(boolean) : smallIntegerFor(value));
        if (comparison) {
          EXPECT_EQ(run(f, {ao, bo}), smallIntegerFor(boolean ? 1 : 2));
          EXPECT_EQ(run(t, {ao, bo}), smallIntegerFor(boolean ? 1 : 2));
        }
        EXPECT_EQ(recCount, before);
      }
    }
    // A non-SmallInteger on either side takes the send; its answer decides a branch.
    for (oop other : notSmall) {
      for (int side = 0; side < 2; side++) {
        oop a = side == 0 ? other : smallIntegerFor(3), b = side == 0 ? smallIntegerFor(3) : other;
        EXPECT_EQ(sent(v, a, b, smallIntegerFor(77)), smallIntegerFor(77));
        if (comparison) {
          EXPECT_EQ(sent(f, a, b, trueOop()), smallIntegerFor(1));
          EXPECT_EQ(sent(f, a, b, falseOop()), smallIntegerFor(2));
          EXPECT_EQ(sent(t, a, b, trueOop()), smallIntegerFor(1));
          EXPECT_EQ(sent(t, a, b, falseOop()), smallIntegerFor(2));
        }
      }
    }
    // Constant arguments of every immediate width.
    for (int j = 0; j < 4; j++) {
      uint64_t c = translate("c" + n + "x" + std::to_string(j) + ":");
      int64_t b = gridConstants[j];
      for (int64_t a : values) {
        SCOPED_TRACE(std::to_string(a) + " " + opNames[k] + " constant " + std::to_string(b));
        int64_t value = 0;
        bool boolean = false;
        uint64_t before = recCount;
        if (!expected(k, a, b, &value, &boolean)) {
          recAnswer = smallIntegerFor(999);
          EXPECT_EQ(run(c, {smallIntegerFor(a)}), smallIntegerFor(999));
          EXPECT_EQ(recCount, before + 1);
          EXPECT_EQ(recReceiver, smallIntegerFor(a));
          EXPECT_EQ(recArg, smallIntegerFor(b));
          continue;
        }
        EXPECT_EQ(run(c, {smallIntegerFor(a)}), comparison ? booleanOop(boolean) : smallIntegerFor(value));
        EXPECT_EQ(recCount, before);
      }
      recAnswer = smallIntegerFor(55);
      uint64_t before = recCount;
      EXPECT_EQ(run(c, {nilOop()}), smallIntegerFor(55));
      EXPECT_EQ(recCount, before + 1);
      EXPECT_EQ(recArg, smallIntegerFor(b));
    }
  }
}

TEST_F(Translate_Grid, IdentityNeverSendsAndConstantBooleansFold) {
  struct Case {
    const char* selector;
    std::vector<uint64_t> args;
    oop answer;
  };
  const oop one = smallIntegerFor(1), two = smallIntegerFor(2);
  const Case cases[] = {
      {"i0:with:", {nilOop(), nilOop()}, trueOop()},
      {"i0:with:", {nilOop(), receiver()}, falseOop()},
      {"i1:with:", {nilOop(), nilOop()}, falseOop()},
      {"i1:with:", {receiver(), nilOop()}, trueOop()},
      {"i2:with:", {receiver(), receiver()}, one},
      {"i2:with:", {one, two}, two},
      {"k0", {}, one},
      {"k1:", {trueOop()}, one},
      {"k1:", {falseOop()}, two},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.selector);
    EXPECT_EQ(run(translate(c.selector), c.args), c.answer);
  }
  EXPECT_EQ(recCount, 0u);
}

}  // namespace

namespace {

MkLiteral smallLiteral(int64_t v) {
  MkLiteral l;
  l.kind = mkLitSmallInt;
  l.small = v;
  return l;
}

MkMethod assemble(const char* selector, MkHeaderFields fields, std::vector<uint8_t> code,
                  std::vector<MkLiteral> literals = {}) {
  MkMethod m = mkAssemble(fields, code, literals);
  m.selector = selector;
  return m;
}

std::vector<uint8_t> repeat(std::vector<uint8_t> unit, int times, std::vector<uint8_t> head, std::vector<uint8_t> tail) {
  for (int i = 0; i < times; i++) head.insert(head.end(), unit.begin(), unit.end());
  head.insert(head.end(), tail.begin(), tail.end());
  return head;
}

// Invalid encodings: the method becomes a stub reporting the first bad bytecode (1-based).
struct BadCase {
  const char* selector;
  std::vector<uint8_t> code;
  int64_t badIndex;
};
const std::vector<BadCase>& badCases() {
  static const std::vector<BadCase> cases = {
      {"badOpcode", {0x2C}, 1},
      {"badThirdPrefix", {0x44, 0xC9, 1, 0xC9, 2, 0xC9, 3, 0xD0, 0}, 6},
      {"badUnusedPrefix", {0xC9, 1, 0x44, 0x65}, 3},
      {"badOperandPastEnd", {0x44, 0xD8}, 2},
      {"badPairPastEnd", {0xF9, 0}, 1},
      {"badTargetPastEnd", {0xE4, 0x10, 0x60}, 1},
      {"badTargetInsideInstruction", {0x44, 0xE4, 0x01, 0xD8, 0x05, 0x65}, 2},
      {"badPrimitiveMarkerInBody", {0x44, 0xFE, 0x65}, 2},
      {"badErrorMarkerInBody", {0x44, 0x43, 0x65}, 2},
      {"badSuperWithoutClass", {0x44, 0x44, 0xF2, 0x00, 0x65}, 3},
      {"badLoopEndWithoutHead", {0x44, 0xE3, 0xFE, 0x65}, 2},
      {"badMissingLiteral", {0x1C, 0x65}, 1},
      {"badFallsOffTheEnd", {0x44, 0x66}, 3},
  };
  return cases;
}

class Translate_Retry : public TranslatorZone {
 protected:
  std::vector<MkMethod> assembled() override {
    std::vector<MkMethod> out;
    // A five-byte branch over two compares with a 64-bit constant: more than 127 code bytes.
    out.push_back(assemble("shortJump:", {1, 0, 12},
                           {0x10, 0x10, 0xC4, 0x1C, 0xA2, 0x1C, 0xA2, 0x40, 0x65}, {smallLiteral(int64_t(1) << 59)}));
    // thisContext sixty times: two map bytes for each one-byte instruction.
    out.push_back(assemble("mapHeavy", {0, 0, 12}, repeat({0x54}, 60, {}, {0xD5, 60, 0x65})));
    // Comparisons with the constant 2: about thirty code bytes for each bytecode byte.
    out.push_back(assemble("codeHeavy:", {1, 0, 12}, repeat({0x4B, 0xA2}, 30, {0x10}, {0x65})));
    for (const BadCase& c : badCases()) out.push_back(assemble(c.selector, {0, 0, 12}, c.code));
    // The forms the compiler never chooses, and flagged long headers.
    out.push_back(assemble("forms", {0, 0, 12}, {0x34, 0x66, 0xD3, 0x00, 0x66, 0x40, 0x49, 0x4A, 0xD5, 0x02, 0x6A, 0x60},
                           {smallLiteral(1)}));
    out.push_back(assemble("flagged", {0, 1, 20, false, false, true, true, true}, {0x60}));
    out.push_back(assemble("contextIvar:", {1, 0, 0, false, true, false, false, true}, {0x00, 0x65}));
    out.push_back(assemble("underflow", {0, 0, 12}, {0x66, 0x60}));
    out.push_back(assemble("overflow", {0, 0, 12}, repeat({0x44}, 300, {}, {0x60})));
    // Comparisons that eat the code budget, then a hundred heap literals left unpushed until
    // one flush by D5: by the length of the first part the flush starts further and further
    // up the block.
    for (int k : overrunLengths()) {
      std::vector<uint8_t> code = repeat({0x10, 0xA2}, k, {0x10}, {0x66});
      code = repeat({0x1C}, 100, code, {0xD5, 100, 0x65});
      MkLiteral text;
      text.kind = mkLitString;
      text.text = "x";
      out.push_back(assemble(overrunSelector(k).c_str(), {1, 0, 12}, code, {text}));
    }
    return out;
  }
  static std::vector<int> overrunLengths() {
    std::vector<int> lengths;
    for (int k = 0; k <= 40; k += 2) lengths.push_back(k);
    return lengths;
  }
  static std::string overrunSelector(int k) { return "overrun" + std::to_string(k) + ":"; }
  static uint64_t budget(const std::string& selector, uint64_t* map) {
    TVInfo info;
    EXPECT_TRUE(unpackVMethod(methodOf(selector), &info));
    uint64_t n = uint64_t(info.bytecodesEnd - info.bytecodes);
    *map = n + 10;
    return ((info.primitive > 0 ? 60 : 30) + n) * 13 + 90;
  }
};

TEST_F(Translate_Retry, ShortJumpMapAndCodeOverflowsRetranslate) {
  // The short jump retry keeps the block: one allocation, of the first size.
  uint64_t map, code = budget("shortJump:", &map);
  uint64_t nm = translate("shortJump:");
  EXPECT_EQ(effectiveMaxVBytesJumpShort, 5);
  EXPECT_EQ(nmAllocRequest, code + map);
  bool longBranch = false;
  for (const uint8_t* q = reinterpret_cast<const uint8_t*>(nm) + nMethodEntryNoCheck; q + 1 < tLastCodeEnd; q++) {
    longBranch |= q[0] == 0x0F && q[1] == 0x84;
  }
  EXPECT_TRUE(longBranch);
  recAnswer = falseOop();
  EXPECT_EQ(run(nm, {trueOop()}), falseOop()) << "true < c answers what the send answers";
  // A map overflow doubles the map budget only, a code overflow the code budget only.
  code = budget("mapHeavy", &map);
  translate("mapHeavy");
  EXPECT_EQ(nmAllocRequest, code + 2 * map);
  code = budget("codeHeavy:", &map);
  uint64_t heavy = translate("codeHeavy:");
  EXPECT_EQ(nmAllocRequest, 2 * code + map);
  recAnswer = trueOop();
  recCount = 0;
  EXPECT_EQ(run(heavy, {smallIntegerFor(4)}), trueOop()) << "4 < 2 inline, then each Boolean < 2 sends";
  EXPECT_EQ(recCount, 29u);
}

// Each method first gets a hole of exactly its first block size just below a live nmethod,
// with no other room in the zone: the translation fits the hole, or its code-budget retry
// finds no room and answers 2. Either way nothing beyond the hole is written and a failure
// leaves the zone as it was.
TEST_F(Translate_Retry, FlushesNeverWriteBeyondAHoleBelowALiveNMethod) {
  int fitted = 0, refused = 0;
  for (int k : overrunLengths()) {
    SCOPED_TRACE(k);
    initNMethods(reinterpret_cast<uint64_t>(runArea), runAreaBytes);
    ASSERT_GE(nmTranslate(methodOf("a0"), selectorOf("a0"), nullptr), lookupResultLimit);  // the one-time set-up
    std::string selector = overrunSelector(k);
    uint64_t map, code = budget(selector, &map);
    NMethodHeader* hole = nMethodAlloc(code + map);
    ASSERT_NE(hole, nullptr);
    uint64_t live = nmTranslate(methodOf("shortJump:"), selectorOf("shortJump:"), nullptr);
    ASSERT_EQ(live, reinterpret_cast<uint64_t>(hole) + hole->usedSize);
    std::vector<NMethodHeader*> fill;
    for (uint64_t size : {uint64_t(4096), uint64_t(64), uint64_t(16)})
      for (NMethodHeader* b; (b = nMethodAlloc(size)) != nullptr;) fill.push_back(b);
    uint64_t from = reinterpret_cast<uint64_t>(hole), to = from + hole->usedSize;
    nMethodDealloc(hole);
    NMZone before = nmZone;
    std::vector<uint8_t> below(reinterpret_cast<uint8_t*>(nmZone.bottom), reinterpret_cast<uint8_t*>(from));
    std::vector<uint8_t> above(reinterpret_cast<uint8_t*>(to), reinterpret_cast<uint8_t*>(nmZone.free));
    uint64_t nm = nmTranslate(methodOf(selector), selectorOf(selector), nullptr);
    EXPECT_TRUE(nm == from || nm == lookupNoSpace) << std::hex << nm;
    EXPECT_EQ(memcmp(below.data(), reinterpret_cast<void*>(nmZone.bottom), below.size()), 0);
    EXPECT_EQ(memcmp(above.data(), reinterpret_cast<void*>(to), above.size()), 0) << "the live nmethod and the rest";
    if (nm == lookupNoSpace) {
      refused++;
      EXPECT_EQ(nmAllocRequest, 2 * code + map) << "the code budget was doubled";
      EXPECT_EQ(memcmp(&before, &nmZone, sizeof before), 0);
    } else {
      fitted++;
      EXPECT_LE(tLastCodeEnd, reinterpret_cast<uint8_t*>(to));
      nMethodDealloc(reinterpret_cast<NMethodHeader*>(nm));
    }
  }
  EXPECT_GT(fitted, 0);
  EXPECT_GT(refused, 0);
}

// Whether the code of nm calls target.
bool callsRoutine(uint64_t nm, const void* target) {
  for (const uint8_t* q = reinterpret_cast<const uint8_t*>(nm) + nMethodEntryNoCheck; q + 5 <= tLastCodeEnd; q++) {
    int32_t d;
    memcpy(&d, q + 1, 4);
    if (q[0] == 0xE8 && uint64_t(reinterpret_cast<uintptr_t>(q)) + 5 + uint64_t(int64_t(d)) == uint64_t(reinterpret_cast<uintptr_t>(target))) return true;
  }
  return false;
}

TEST_F(Translate_Retry, AssembledFormsAndFlaggedHeaders) {
  uint64_t nm = translate("forms");
  EXPECT_EQ(badBytecodePC, -1);
  std::vector<uint32_t> types;
  forEachSendSite(nm, [&](uint64_t r, uint32_t type) {
    uint32_t selector;
    memcpy(&selector, reinterpret_cast<void*>(r - 9), 4);
    EXPECT_EQ(selector, 25u);
    types.push_back(type);
  });
  EXPECT_EQ(types, (std::vector<uint32_t>{10, 10}));
  EXPECT_TRUE(callsRoutine(nm, tRt.consArray));
  const NMethodHeader* flagged = reinterpret_cast<const NMethodHeader*>(translate("flagged"));
  EXPECT_EQ(flagged->flags & (nmFlagUnwind | nmFlagHandler), nmFlagUnwind | nmFlagHandler);
  EXPECT_EQ(flagged->frame, 20);
  EXPECT_EQ(flagged->numTemps, 1);
  uint64_t ctx = translate("contextIvar:");
  EXPECT_EQ(reinterpret_cast<const NMethodHeader*>(ctx)->frame, 12);
  EXPECT_TRUE(callsRoutine(ctx, tRt.loadContextInstVar));
}

TEST_F(Translate_Retry, InvalidEncodingsBecomeAReportingStubAndBadStateIsFatal) {
  for (const BadCase& c : badCases()) {
    SCOPED_TRACE(c.selector);
    uint64_t nm = translate(c.selector);
    EXPECT_EQ(badBytecodePC, c.badIndex);
    EXPECT_EQ(reinterpret_cast<const NMethodHeader*>(nm)->flags & nmFlagPrimitive, 0);
    EXPECT_TRUE(callsRoutine(nm, tRt.badBytecode));
  }
  EXPECT_DEATH(nmTranslate(methodOf("underflow"), 0, nullptr), "Simulated stack underflow");
  EXPECT_DEATH(nmTranslate(methodOf("overflow"), 0, nullptr), "Simulated stack overflow");
  // Not translatable: 3 and nothing allocated; no room: 2 and the zone unchanged.
  NMZone before = nmZone;
  EXPECT_EQ(nmTranslate(smallIntegerFor(3), 0, nullptr), lookupNotTranslatable);
  EXPECT_EQ(nmTranslate(receiver(), 0, nullptr), lookupNotTranslatable);
  EXPECT_EQ(memcmp(&before, &nmZone, sizeof before), 0);
  while (nMethodAlloc(4096) != nullptr) {
  }
  while (nMethodAlloc(64) != nullptr) {
  }
  before = nmZone;
  EXPECT_EQ(nmTranslate(methodOf("sumTo:"), 0, nullptr), lookupNoSpace);
  EXPECT_EQ(memcmp(&before, &nmZone, sizeof before), 0);
}

}  // namespace

namespace {

// The peepholes: a + or - whose result feeds a + or - or comparison with a constant skips
// that operation's tag test; a store into a temp followed by a push of it keeps the value.
class Translate_Peephole : public TranslatorZone {
 protected:
  std::vector<MkSource> sources() override {
    return {{"T.som", runSource().substr(0, runSource().size() - 1) + R"(
ch0: a = ( ^a + 1 + 2 )
ch1: a = ( ^a - 3 + 1152921504606846975 )
ch2: a = ( ^a + 1 < 5 )
ch3: a = ( ^a + 1 < 1152921504606846975 )
ch4: a = ( (a - 1) >= 0 ifTrue: [^1]. ^2 )
ch5: a = ( ^a + -1 + 2 - 3 )
))"}};
  }
  std::vector<MkMethod> assembled() override {
    // Each with and without a no-op between the store and the push, which rules the keeping out.
    return {
        assemble("keep:", {1, 1, 12}, {0x10, 0x4A, 0xA0, 0x4D, 0x11, 0x4B, 0xA0, 0x65}),
        assemble("noKeep:", {1, 1, 12}, {0x10, 0x4A, 0xA0, 0x4D, 0x40, 0x11, 0x4B, 0xA0, 0x65}),
        // t := 2. ^t + 1 -- a kept constant folds.
        assemble("keepConst:", {1, 1, 12}, {0x4B, 0x4D, 0x11, 0x4A, 0xA0, 0x65}),
        assemble("noKeepConst:", {1, 1, 12}, {0x4B, 0x4D, 0x40, 0x11, 0x4A, 0xA0, 0x65}),
        // t := 1. a ifTrue: [t := 2]. ^t -- the push of t is a branch target: nothing kept.
        assemble("joined:", {1, 1, 12}, {0x4A, 0x4D, 0x10, 0xC1, 0x4B, 0x4D, 0x11, 0x65}),
    };
  }
  static std::vector<uint8_t> codeOf(uint64_t nm) {
    return std::vector<uint8_t>(reinterpret_cast<const uint8_t*>(nm), static_cast<const uint8_t*>(tLastCodeEnd));
  }
};

TEST_F(Translate_Peephole, ChainedOperationsAnswerAsUnchainedAndSkipTheTagTest) {
  const int64_t e = int64_t(1) << 60;
  const int64_t values[] = {-e, -e + 1, -1, 0, 1, 2, 5, e - 4, e - 2, e - 1};
  const char* selectors[] = {"ch0:", "ch1:", "ch2:", "ch3:", "ch4:", "ch5:"};
  for (const char* selector : selectors) {
    SCOPED_TRACE(selector);
    oop method = methodOf(selector);
    // Both forms at one address, so that calls out of the zone have the same displacements.
    enableASOpt = enableROpt = 0;
    uint64_t plain = nmTranslate(method, selectorOf(selector), nullptr);
    ASSERT_GE(plain, lookupResultLimit);
    std::vector<uint8_t> plainCode = codeOf(plain);
    nMethodDealloc(reinterpret_cast<NMethodHeader*>(plain));
    enableASOpt = enableROpt = 1;
    uint64_t chained = nmTranslate(method, selectorOf(selector), nullptr);
    ASSERT_EQ(chained, plain);
    std::vector<uint8_t> chainedCode = codeOf(chained);
    enableASOpt = enableROpt = 0;
    plain = nmTranslate(method, selectorOf(selector), nullptr);
    enableASOpt = enableROpt = 1;
    // Apart from the wide comparison, whose constant moves behind the test, the code differs
    // only in the exit jumps, each landing 5 bytes further: past test bl, 2 and its je.
    if (std::string(selector) != "ch3:") {
      ASSERT_EQ(plainCode.size(), chainedCode.size());
      int retargeted = 0;
      for (size_t i = nMethodHeaderSize; i < plainCode.size(); i++) {
        if (plainCode[i] == chainedCode[i]) continue;
        EXPECT_EQ(plainCode[i - 1], 0x71) << "only a jno's displacement changes, at " << i;
        EXPECT_EQ(int(chainedCode[i]) - int(plainCode[i]), 5);
        EXPECT_EQ(chainedCode[i + 1 + plainCode[i]], 0xF6) << "the skipped test stands at the exit's old target";
        retargeted++;
      }
      EXPECT_EQ(retargeted, std::string(selector) == "ch5:" ? 2 : 1) << "one per operation after the first";
    }
    // The same answers, and the same sends with the same operands, for every receiver.
    std::vector<oop> receivers;
    for (int64_t v : values) receivers.push_back(smallIntegerFor(v));
    receivers.push_back(nilOop());
    for (oop r : receivers) {
      // A send's answer is a SmallInteger or, as a comparison must answer, a Boolean.
      for (oop answer : {smallIntegerFor(999), trueOop()}) {
        SCOPED_TRACE(std::to_string(int64_t(r)) + " answering " + std::to_string(int64_t(answer)));
        recAnswer = answer;
        recCount = 0;
        recReceiver = recArg = 0;
        oop a = run(plain, {r});
        uint64_t count = recCount, rcv = recReceiver, arg = recArg;
        recCount = 0;
        recReceiver = recArg = 0;
        EXPECT_EQ(run(chained, {r}), a);
        EXPECT_EQ(recCount, count);
        EXPECT_EQ(recReceiver, rcv);
        EXPECT_EQ(recArg, arg);
      }
    }
  }
}

TEST_F(Translate_Peephole, StoreAndKeepAnswersAsTheReadBackAndIsShorter) {
  const int64_t e = int64_t(1) << 60;
  const struct {
    const char* kept;
    const char* readBack;
  } pairs[] = {{"keep:", "noKeep:"}, {"keepConst:", "noKeepConst:"}};
  for (const auto& p : pairs) {
    SCOPED_TRACE(p.kept);
    uint64_t kept = translate(p.kept);
    size_t keptSize = codeOf(kept).size();
    uint64_t readBack = translate(p.readBack);
    EXPECT_LT(keptSize, codeOf(readBack).size());
    for (oop a : {smallIntegerFor(-e), smallIntegerFor(-1), smallIntegerFor(40), smallIntegerFor(e - 2),
                  smallIntegerFor(e - 1), nilOop()}) {
      recAnswer = smallIntegerFor(77);
      recCount = 0;
      oop want = run(readBack, {a});
      uint64_t sends = recCount;
      recCount = 0;
      EXPECT_EQ(run(kept, {a}), want) << int64_t(a);
      EXPECT_EQ(recCount, sends);
    }
  }
  // A store whose following push is also a jump target keeps nothing: both paths answer.
  uint64_t joined = translate("joined:");
  EXPECT_EQ(run(joined, {trueOop()}), smallIntegerFor(2));
  EXPECT_EQ(run(joined, {falseOop()}), smallIntegerFor(1));
  EXPECT_EQ(recCount, 0u);
}

}  // namespace
