// Native-method tables and collection: freeing oldest first by mark, sliding compaction (frames,
// method cache, new-references list, chains, send sites and rel-calls move with the code), the
// invalidation walks over send sites, unlinking, and the collectors' hooks. The nmethods are
// built by hand: a header, the entry-code word, send sites in the 11-byte form and a PC map
// written by the map writer.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <vector>

#include "ext/platform.h"
#include "mman/mmBecome.h"
#include "mman/mmIncGC.h"
#include "mman/mmObject.h"
#include "mman/mmScavenge.h"
#include "mman/mmSysOop.h"
#include "mman/testHeap.h"
#include "stack/glue.h"
#include "stack/stackzone.h"
#include "support/testZone.h"
#include "tran/nmalloc.h"
#include "tran/taux.h"
#include "tran/tloop.h"
#include "tran/tmain.h"
#include "tran/tpcmap.h"
#include "tran/txmem.h"

namespace {

constexpr uint64_t areaBytes = 3 + 2048 * 16 + 64 * 1024;
alignas(4096) uint8_t codeArea[areaBytes + 4096];
alignas(stackSegmentBytes) uint64_t stackArea[2 * stackSegmentWords];

uint64_t addr(const void* p) { return reinterpret_cast<uint64_t>(p); }
uint64_t addr(void (*f)()) { return reinterpret_cast<uint64_t>(f); }
NMethodHeader* at(uint64_t a) { return reinterpret_cast<NMethodHeader*>(a); }
uint32_t u32(uint64_t a) {
  uint32_t v;
  memcpy(&v, reinterpret_cast<const void*>(a), 4);
  return v;
}
uint64_t callTarget(uint64_t r) { return r + uint64_t(int64_t(int32_t(u32(r - 4)))); }

// Block layout: the id (u32) at 200 identifies a block wherever it moves.
constexpr uint32_t blockBytes = 256;
constexpr uint32_t idOffset = 200;
constexpr uint32_t relCallReturn = nMethodAbortSendMissReturnOffset;  // the call at 51
constexpr uint32_t siteReturns[2] = {111, 131};
constexpr uint32_t siteTypes[2] = {0, 5};  // normal and no-check, 0 arguments

uint32_t idOf(uint64_t block) { return u32(block + idOffset); }
uint64_t entryWord(const NMethodHeader* b) {
  int args = b->numArgs < 2 ? b->numArgs : 2;
  int k = b->frame == 0 ? 0 : (b->flags & nmFlagPrimitive) != 0 ? 5 + args : 1 + args;
  return entryCodeTable[k];
}
uint64_t glueOf(uint32_t type) { return sendTypeTable[type].glue; }

class NMethodCollection : public ::testing::Test {
 protected:
  SavedNMethodZone saved;
  uint64_t savedEntryCodes[8];
  SendTypeRow savedSendTypes[20];
  oop selectors[4] = {};

  void SetUp() override {
    newTestHeap();
    memcpy(savedEntryCodes, entryCodeTable, sizeof savedEntryCodes);
    memcpy(savedSendTypes, sendTypeTable, sizeof savedSendTypes);
    for (int k = 0; k < 8; k++) entryCodeTable[k] = 0x1111111111111100ull + uint64_t(k);
    static bool executable = false;
    if (!executable) pdSetMemExecPerm(codeArea, sizeof codeArea);
    executable = true;
    initNMethodAlloc(addr(codeArea), areaBytes);
    for (uint32_t t = 0; t < 20; t++) sendTypeTable[t].glue = SendTable[t];
    initSendTypeTable();
    initStacks(stackArea, 2);
    for (oop& s : selectors) s = newOldObject(classIndexArray, 1);
  }
  void TearDown() override {
    initStackChains();
    memcpy(entryCodeTable, savedEntryCodes, sizeof savedEntryCodes);
    memcpy(sendTypeTable, savedSendTypes, sizeof savedSendTypes);
    clearNTable();  // the program's zone files nothing
    freeTestHeap();
  }

  // A method nmethod with a frame: entry word, the class-check miss call at 51 to the glue
  // (a rel-call), two unlinked sites whose selectors are literals 0 and 1 of its method, the id.
  NMethodHeader* make(uint32_t id, oop selector = 0) {
    NMethodHeader* b = nMethodAlloc(blockBytes);
    EXPECT_NE(b, nullptr);
    uint64_t p = addr(b);
    memset(reinterpret_cast<uint8_t*>(p) + 16, 0, blockBytes - 16);
    b->frame = 12;
    b->numArgs = uint8_t(id % 3);
    oop method = newOldObject(classIndexArray, 2);
    bodyOf(headerOf(method))[0] = selectors[0];
    bodyOf(headerOf(method))[1] = selectors[1];
    b->vmethod = method;
    b->selector = selector != 0 ? selector : selectors[id % 4];
    memcpy(reinterpret_cast<void*>(p + nMethodHeaderSize), &entryCodeTable[0], 8);
    uint8_t* code = reinterpret_cast<uint8_t*>(p);
    code[nMethodAbortSendMissOffset] = 0xE8;
    setRel(p + relCallReturn, addr(rtPICAbortSendMiss));
    for (int i = 0; i < 2; i++) {
      uint64_t r = p + siteReturns[i];
      code[siteReturns[i] - 11] = 0x41;
      code[siteReturns[i] - 10] = 0xBF;
      code[siteReturns[i] - 5] = 0xE8;
      unlinkSite(r, siteTypes[i], uint32_t(256 + i));
    }
    memcpy(code + idOffset, &id, 4);
    writeMap(p);
    b->usedSize = blockBytes;
    uint64_t word = entryWord(b);  // for its kind
    memcpy(reinterpret_cast<void*>(p + nMethodHeaderSize), &word, 8);
    nmTableAdd(b);
    return b;
  }
  static void setRel(uint64_t r, uint64_t target) {
    uint32_t rel = uint32_t(int32_t(int64_t(target) - int64_t(r)));
    memcpy(reinterpret_cast<void*>(r - 4), &rel, 4);
  }
  static void unlinkSite(uint64_t r, uint32_t type, uint32_t index) {
    memcpy(reinterpret_cast<void*>(r - 9), &index, 4);
    setRel(r, glueOf(type));
  }
  static void link(NMethodHeader* from, int site, NMethodHeader* to, uint32_t classTag) {
    uint64_t r = addr(from) + siteReturns[site];
    memcpy(reinterpret_cast<void*>(r - 9), &classTag, 4);
    setRel(r, addr(to) + sendTypeTable[siteTypes[site]].entryOffset);
  }
  static void writeMap(uint64_t p) {
    uint8_t map[64];
    genMapAlloc(map, map + sizeof map, nullptr);
    genMapInit(0, p);
    genMapRelCall(p + relCallReturn, addr(rtPICAbortSendMiss));
    for (int i = 0; i < 2; i++) genMapSend(0, p + siteReturns[i], siteTypes[i]);
    uint8_t* end = genMapClose(0);
    ASSERT_NE(end, nullptr);
    uint64_t length = uint64_t(end - map);
    uint8_t* blockEnd = reinterpret_cast<uint8_t*>(p + blockBytes);
    memcpy(blockEnd - length, map, length);
    genMapCopy(blockEnd - length, blockEnd, length, 0);
  }
  // The block in use with this id, or 0.
  static uint64_t find(uint32_t id) {
    for (uint64_t p = nmZone.bottom; p < nmZone.free; p += nMethodBlockSize(at(p))) {
      if (at(p)->usedSize != 0 && idOf(p) == id) return p;
    }
    return 0;
  }
  static uint64_t siteTarget(uint64_t block, int site) { return callTarget(block + siteReturns[site]); }
  static uint32_t siteImmediate(uint64_t block, int site) { return u32(block + siteReturns[site] - 9); }

  // The zone's invariants: a whole chain, every block in use filed once and carrying its entry
  // word, its rel-call reaching the glue, each site either unlinked to its glue or linked to a
  // block in use.
  static void checkZone() {
    uint64_t p = nmZone.bottom, holes = 0;
    std::vector<uint64_t> used;
    while (p < nmZone.free) {
      uint64_t step = nMethodBlockSize(at(p));
      ASSERT_GE(step, nMethodHeaderSize);
      if (at(p)->usedSize == 0) holes += step;
      else used.push_back(p);
      p += step;
    }
    ASSERT_EQ(p, nmZone.free);
    ASSERT_EQ(holes, nmZone.holesBytes);
    uint64_t filed = 0;
    for (const VToNTable& t : allVToNTables)
      for (uint32_t i = 0; i <= t.mask; i++)
        for (uint64_t e = t.buckets[i]; e != 0; e = at(e)->link) {
          ASSERT_NE(at(e)->usedSize, 0u) << "a free block stays filed";
          filed++;
        }
    EXPECT_EQ(filed, used.size());
    for (uint64_t b : used) {
      EXPECT_TRUE(nMethodIsInTables(b));
      uint64_t word;
      memcpy(&word, reinterpret_cast<const void*>(b + nMethodHeaderSize), 8);
      EXPECT_EQ(word, entryWord(at(b))) << "entry word of block " << idOf(b);
      uint64_t miss = (at(b)->flags & nmFlagUnlinked) != 0 ? addr(rtAbortRelinkSendToUnlinked) : addr(rtPICAbortSendMiss);
      EXPECT_EQ(callTarget(b + relCallReturn), miss);
      for (int s = 0; s < 2; s++) {
        uint64_t target = siteTarget(b, s);
        if (target == glueOf(siteTypes[s])) continue;
        uint64_t callee = target - sendTypeTable[siteTypes[s]].entryOffset;
        EXPECT_TRUE(std::find(used.begin(), used.end(), callee) != used.end())
            << "site " << s << " of block " << idOf(b) << " calls no block in use";
      }
    }
    for (uint64_t e = nmZone.list; e < nmZone.top; e += 8)
      EXPECT_NE(at(*reinterpret_cast<uint64_t*>(e))->usedSize, 0u);
    for (uint32_t i = 0; i < mCacheEntries; i++)
      if (mCache[i].classIndex != 0) {
        EXPECT_NE(at(mCache[i].nmethod)->usedSize, 0u);
      }
  }
};

TEST_F(NMethodCollection, TablesFollowArgumentsAndKinds) {
  struct Case {
    uint8_t flags, numArgs;
    uint32_t table;
  } cases[] = {{0, 5, nmMethodTable}, {nmFlagBlock, 0, 0}, {nmFlagBlock, 1, 1}, {nmFlagBlock, 2, 2},
               {nmFlagBlock, 3, 3},   {nmFlagBlock, 9, 3}, {nmFlagPIC, 1, nmPICTable}};
  for (const Case& c : cases) {
    NMethodHeader h = {};
    h.flags = c.flags;
    h.numArgs = c.numArgs;
    EXPECT_EQ(tableOfNMethod(&h), &allVToNTables[c.table]) << int(c.flags) << " " << int(c.numArgs);
  }
  // A method's table comes from the first byte of its bytecodes: short and long headers.
  struct MCase {
    std::vector<uint8_t> bytes;
    uint32_t table;
  } methods[] = {{{0x04}, nmMethodTable}, {{0x20 | (2 << 2)}, 2}, {{0x20 | (1 << 2)}, 1},
                 {{0xA0, 7, 0, 0}, 3},     {{0x80, 1, 0, 0}, nmMethodTable}};
  for (const MCase& m : methods) {
    oop holder = newOldObject(classIndexByteArray, m.bytes.size());
    memcpy(bodyOf(headerOf(holder)), m.bytes.data(), m.bytes.size());
    oop method = newOldObject(classIndexArray, 2);
    bodyOf(headerOf(method))[0] = holder;
    EXPECT_EQ(tableForVMethod(method), &allVToNTables[m.table]) << int(m.bytes[0]);
  }
}

// Marks 0, 1, 3, 7, 0x81 (an activation) in one pass mask or the descending passes.
TEST_F(NMethodCollection, FreeUntilFreesByMarkPasses) {
  struct Case {
    uint32_t mask;
    uint64_t wanted;
    int stop;
    std::vector<uint32_t> survivors;  // ids of the marks 0, 1, 3, 7, 0x81 (ids 0-4)
  } cases[] = {
      {255, 100000, 1, {4}},        // every pass: only the active one stays
      {0x1FF, 100000, 0, {1, 2, 3, 4}},  // one pass: marks 0
      {254, 100000, 1, {4}},        // from "below 2" on
      {255, 0, 1, {0, 1, 2, 3, 4}},  // nothing wanted
      {255, blockBytes * 2, 1, {2, 3, 4}},  // stops at 0 and 1
  };
  const uint8_t marks[5] = {0, 1, 3, 7, 0x81};
  for (const Case& c : cases) {
    initNMethodAlloc(addr(codeArea), areaBytes);
    for (uint32_t id = 0; id < 5; id++) make(id)->mark = marks[id];
    uint64_t freed = nmFreeUntil(c.wanted, c.mask, c.stop);
    std::vector<uint32_t> left;
    for (uint32_t id = 0; id < 5; id++)
      if (find(id) != 0) left.push_back(id);
    EXPECT_EQ(left, c.survivors) << "mask " << c.mask << " wanted " << c.wanted;
    EXPECT_EQ(freed, (5 - c.survivors.size()) * blockBytes);
    checkZone();
  }
}

// Within one chain the oldest goes first; a target reached mid-chain leaves the cursors there.
TEST_F(NMethodCollection, FreeUntilTakesTheOldestAndResumesWhereItStopped) {
  oop method = newOldObject(classIndexArray, 2);
  std::vector<NMethodHeader*> blocks;
  for (uint32_t id = 0; id < 3; id++) {
    NMethodHeader* b = make(id);
    uint64_t* pp = findNMethodLinkBefore(b);
    *pp = b->link;  // refile under one method
    b->vmethod = method;
    b->mark = 0;
    nmTableAdd(b);
    blocks.push_back(b);
  }
  uint32_t bucket = nmFreeBucketCursor;
  int32_t table = nmFreeTableCursor;
  EXPECT_EQ(nmFreeUntil(blockBytes, 255, 1), blockBytes);
  EXPECT_EQ(find(0), 0u);
  EXPECT_NE(find(1), 0u);
  EXPECT_NE(find(2), 0u);
  uint32_t key = nmTableKey(blocks[1]) & allVToNTables[nmMethodTable].mask;
  EXPECT_EQ(nmFreeTableCursor, int32_t(nmMethodTable));
  EXPECT_EQ(nmFreeBucketCursor & allVToNTables[nmMethodTable].mask, key);
  EXPECT_GE(nmFreeBucketCursor, bucket);
  (void)table;
  EXPECT_EQ(nmFreeUntil(blockBytes, 255, 1), blockBytes);
  EXPECT_EQ(find(1), 0u);
  EXPECT_NE(find(2), 0u);
  EXPECT_EQ(nmFreeBucketCursor & allVToNTables[nmMethodTable].mask, key) << "the next call starts there";
  checkZone();
}

// A compaction frees the unmarked block and slides the rest down; frames, cache, list, chains,
// linked and unlinked sites and the rel-call follow; a site to the freed block is unlinked.
TEST_F(NMethodCollection, CompactionMovesEveryReference) {
  NMethodHeader* a = make(0);
  NMethodHeader* dead = make(1, selectors[1]);
  NMethodHeader* c = make(2);
  NMethodHeader* d = make(3);
  link(a, 0, c, 3);     // a -> c, normal entry
  link(c, 1, d, 17);    // c -> d, no-check entry
  link(d, 0, a, 9);     // d -> a
  link(d, 1, dead, 15); // d -> the block that dies
  dead->mark = 0;
  for (NMethodHeader* b : {a, c, d}) b->mark = 4;

  // A frame of d, resuming inside it, on a segment of its own.
  uint64_t* s = stackAlloc(0);
  uint64_t sp = s[shSp];
  auto push = [&](uint64_t v) {
    sp -= 8;
    *reinterpret_cast<uint64_t*>(sp) = v;
  };
  push(rootFpOf(s));
  uint64_t fp = sp;
  push(0);
  push(addr(d) | frameHybridBit);
  push(nilOop());
  push(addr(d) + 120);  // d's resume pc
  s[shSp] = sp;
  s[shFp] = fp;

  mCacheFill(&mCache[5], 3, addr(c));
  mCacheFill(&mCache[6], 4, addr(dead));
  ASSERT_TRUE(nMethodAddToList(addr(d)));
  ASSERT_TRUE(nMethodAddToList(addr(dead)));

  nmCompact(1);

  uint64_t na = find(0), nc = find(2), nd = find(3);
  EXPECT_EQ(find(1), 0u);
  EXPECT_EQ(na, addr(a));
  EXPECT_EQ(nc, addr(a) + blockBytes);
  EXPECT_EQ(nd, nc + blockBytes);
  EXPECT_EQ(nmZone.free, nd + blockBytes);
  checkZone();
  EXPECT_EQ(siteTarget(na, 0), nc + nMethodEntry);
  EXPECT_EQ(siteTarget(nc, 1), nd + nMethodEntryNoCheck);
  EXPECT_EQ(siteTarget(nd, 0), na + nMethodEntry);
  EXPECT_EQ(siteImmediate(nd, 0), 9u);
  EXPECT_EQ(siteTarget(nd, 1), glueOf(siteTypes[1]));
  EXPECT_EQ(siteImmediate(nd, 1), 257u) << "the freed callee's selector is literal 1";
  EXPECT_EQ(siteTarget(na, 1), glueOf(siteTypes[1]));
  EXPECT_EQ(reinterpret_cast<uint64_t*>(fp)[frNMethod], nd | frameHybridBit);
  EXPECT_EQ(*reinterpret_cast<uint64_t*>(s[shSp]), nd + 120);
  EXPECT_EQ(mCache[5].nmethod, nc);
  EXPECT_EQ(mCache[6].classIndex, 0u);
  ASSERT_EQ(nmZone.top - nmZone.list, 8u);
  EXPECT_EQ(*reinterpret_cast<uint64_t*>(nmZone.list), nd);
  // The active block kept bit 0x80 through the shift; the others aged by one.
  EXPECT_EQ(at(nd)->mark, (4 | 0x80) >> 1);
  EXPECT_EQ(at(na)->mark, 2);
  EXPECT_EQ(relocatingNMethods, 0u);
  EXPECT_EQ(nmZone.holesBytes, 0u);
}

// Every nmethod active: nothing is freed, the passes end at mask 0x80.
TEST_F(NMethodCollection, CompactionNeverFreesActiveOrRequiredNothing) {
  for (uint32_t id = 0; id < 4; id++) make(id)->mark = id == 2 ? 0x80 : 0;
  uint64_t* s = stackAlloc(0);
  uint64_t sp = s[shSp];
  auto push = [&](uint64_t v) {
    sp -= 8;
    *reinterpret_cast<uint64_t*>(sp) = v;
  };
  push(rootFpOf(s));
  uint64_t fp = sp;
  push(0);
  push(find(1));
  push(nilOop());
  push(find(1) + 100);
  s[shSp] = sp;
  s[shFp] = fp;
  // An unlinked nmethod with a frame survives and is marked for the next sweep.
  nMethodUnlink(at(find(1)));
  nmCompact(100000);
  EXPECT_EQ(find(0), 0u);
  EXPECT_EQ(find(3), 0u);
  ASSERT_NE(find(1), 0u);
  ASSERT_NE(find(2), 0u);
  EXPECT_EQ(at(find(1))->mark, 0) << "unlinked with a frame: freed at the next sweep";
  EXPECT_EQ(find(1), nmZone.bottom);
  checkZone();
  nmCompact(0);  // frees nothing, still slides and ages
  EXPECT_NE(find(2), 0u);
  checkZone();
}

TEST_F(NMethodCollection, InvalidationWalksUnlinkTheSitesTheyPick) {
  uint32_t ctxTag = 9, liveTag = classIndexArray, freeTag = 0x3FF0;
  struct Case {
    const char* name;
    int (*run)(const NMethodHeader* from, oop selector);
    bool freeTarget, unmarkTarget, markClass;
    uint32_t tag;
    bool unlinked;
    int answer;
  } cases[] = {
      {"all", [](const NMethodHeader* f, oop) { return nmInvalidateLinks(f); }, false, false, false, 9, true, 1},
      {"to selector", [](const NMethodHeader* f, oop s) { return nmInvalidateLinksTo(f, s); }, false, false, false, 9, true, 1},
      {"to free, target in use", [](const NMethodHeader* f, oop) { return nmInvalidateLinksToFree(f); }, false, false, false, 9, false, 0},
      {"to free", [](const NMethodHeader* f, oop) { return nmInvalidateLinksToFree(f); }, true, false, false, 9, true, 1},
      {"unmarked: context tag", [](const NMethodHeader* f, oop) { return nmInvalidateLinksToUnmarked(f); }, false, false, false, 9, false, 0},
      {"unmarked: target mark 0", [](const NMethodHeader* f, oop) { return nmInvalidateLinksToUnmarked(f); }, false, true, false, 9, true, 1},
      {"unmarked: class unmarked", [](const NMethodHeader* f, oop) { return nmInvalidateLinksToUnmarked(f); }, false, false, false, 0, true, 1},
      {"unmarked: class marked", [](const NMethodHeader* f, oop) { return nmInvalidateLinksToUnmarked(f); }, false, false, true, 0, false, 0},
      {"unmarked: no such class", [](const NMethodHeader* f, oop) { return nmInvalidateLinksToUnmarked(f); }, false, false, true, 1, true, 1},
  };
  (void)ctxTag;
  for (const Case& c : cases) {
    initNMethodAlloc(addr(codeArea), areaBytes);
    NMethodHeader* from = make(0);
    NMethodHeader* to = make(1, selectors[1]);
    uint32_t tag = c.tag == 0 ? liveTag : c.tag == 1 ? freeTag : c.tag;
    link(from, 0, to, tag);
    oop cls = classAt(liveTag);
    if (c.markClass) setFlag(headerOf(cls), isMarkedBit);
    if (c.unmarkTarget) to->mark = 0;
    if (c.freeTarget) {
      *findNMethodLinkBefore(to) = to->link;
      nMethodDealloc(to);
    }
    uint64_t before1 = siteTarget(addr(from), 1);
    EXPECT_EQ(c.run(from, selectors[1]), c.answer) << c.name;
    if (c.unlinked) {
      EXPECT_EQ(siteTarget(addr(from), 0), glueOf(siteTypes[0])) << c.name;
      EXPECT_EQ(siteImmediate(addr(from), 0), 257u) << c.name;
    } else {
      EXPECT_EQ(siteTarget(addr(from), 0), addr(to) + nMethodEntry) << c.name;
      EXPECT_EQ(siteImmediate(addr(from), 0), tag) << c.name;
    }
    EXPECT_EQ(siteTarget(addr(from), 1), before1) << c.name << ": an unlinked site is left alone";
    clearFlag(headerOf(cls), isMarkedBit);
  }
}

TEST_F(NMethodCollection, UnlinkLeadsBothEntriesToTheRelinkRoutine) {
  NMethodHeader* first = make(0);
  NMethodHeader* b = make(1);
  oop method = first->vmethod;
  *findNMethodLinkBefore(b) = b->link;
  b->vmethod = method;
  nmTableAdd(b);  // chain: b, first
  uint64_t p = addr(b);
  EXPECT_EQ(nMethodUnlink(b), addr(first));
  const uint8_t* code = reinterpret_cast<const uint8_t*>(p);
  EXPECT_EQ(code[nMethodAbortSendMissOffset], 0xE8);
  EXPECT_EQ(callTarget(p + nMethodAbortSendMissReturnOffset), addr(rtAbortRelinkSendToUnlinked));
  EXPECT_EQ(code[nMethodEntryNoCheck], 0xEB);
  EXPECT_EQ(p + nMethodEntryNoCheck + 2 + uint64_t(int64_t(int8_t(code[nMethodEntryNoCheck + 1]))),
            p + nMethodAbortSendMissOffset);
  EXPECT_EQ(b->flags & nmFlagUnlinked, nmFlagUnlinked);
  EXPECT_EQ(b->mark, 0);
  uint64_t* head = findNMethodLinkBefore(first);
  EXPECT_EQ(*head, addr(first)) << "the unlinked one moved behind";
  EXPECT_EQ(first->link, p);
  EXPECT_EQ(b->link, 0u);
  // The relink call moves with the block like any rel-call (kept here as if a frame held it).
  first->mark = 0;
  b->mark = 4;
  nmCompact(1);
  uint64_t moved = find(1);
  ASSERT_NE(moved, 0u);
  EXPECT_EQ(callTarget(moved + nMethodAbortSendMissReturnOffset), addr(rtAbortRelinkSendToUnlinked));
}

// Literals a scavenge moved out of new space are rewritten and the nmethod leaves the list; a
// literal whose object died makes the nmethod unenterable and unmarked.
TEST_F(NMethodCollection, NewLiteralsFollowTheirObjects) {
  oop tenured = newOldObject(classIndexArray, 1);
  oop movedOut = newNewObject(classIndexArray, 1);
  oop gone = newNewObject(classIndexArray, 1);
  uint64_t savedData = headerOf(movedOut)->dataPtr;
  headerOf(movedOut)->dataPtr = tenured | 2;  // forwarded by the scavenge
  struct Case {
    oop literal;
    oop expected;
    bool dies;
  } cases[] = {{movedOut, tenured, false}, {gone, gone, true}};
  uint32_t id = 0;
  std::vector<uint64_t> blocks;
  for (const Case& c : cases) {
    NMethodHeader* b = make(id++);
    uint64_t p = addr(b);
    uint8_t map[16];
    // Replace the map by one naming a literal at 160.
    memcpy(reinterpret_cast<void*>(p + 160), &c.literal, 8);
    genMapAlloc(map, map + sizeof map, nullptr);
    genMapInit(0, p);
    genMapLocProg(p + 160, 0);  // position the cursor, then mark it a new literal by hand
    uint8_t* end = genMapClose(0);
    size_t length = size_t(end - map);
    map[length - 2] = mapNewLit;
    uint8_t* blockEnd = reinterpret_cast<uint8_t*>(p + blockBytes);
    memcpy(blockEnd - length, map, length);
    genMapCopy(blockEnd - length, blockEnd, length, 0);
    b->flags |= nmFlagNewRef;
    ASSERT_TRUE(nMethodAddToList(p));
    blocks.push_back(p);
  }
  nmUpdateNewRefs();
  for (size_t i = 0; i < blocks.size(); i++) {
    oop v;
    memcpy(&v, reinterpret_cast<const void*>(blocks[i] + 160), 8);
    EXPECT_EQ(v, cases[i].expected) << i;
    EXPECT_EQ(at(blocks[i])->flags & nmFlagNewRef, 0) << i;
    EXPECT_EQ((at(blocks[i])->flags & nmFlagUnlinked) != 0, cases[i].dies) << i;
    if (cases[i].dies) {
      EXPECT_EQ(at(blocks[i])->mark, 0) << i;
    }
  }
  EXPECT_EQ(nmZone.list, nmZone.top) << "nothing is left referring to new space";
  headerOf(movedOut)->dataPtr = savedData;
}

// After a collection's marking: dead nmethods (unmarked method or selector) go, the sites that
// called them are unlinked and the cache forgets them.
TEST_F(NMethodCollection, CollectionFreesDeadNMethodsAndTheirLinks) {
  NMethodHeader* live = make(0);
  NMethodHeader* deadMethod = make(1, selectors[1]);
  NMethodHeader* deadSelector = make(2, selectors[2]);
  link(live, 0, deadMethod, 9);
  link(live, 1, deadSelector, 9);
  link(deadMethod, 0, live, 9);
  setFlag(headerOf(live->vmethod), isMarkedBit);
  setFlag(headerOf(deadSelector->vmethod), isMarkedBit);
  for (oop s : {selectors[0], selectors[1]}) setFlag(headerOf(s), isMarkedBit);
  live->mark = 0;
  mCacheFill(&mCache[7], 9, addr(deadMethod));
  EXPECT_EQ(markNMethodsWithMarkedObjs(), 1);
  EXPECT_EQ(live->mark, 1);
  EXPECT_EQ(deadMethod->mark, 0);
  EXPECT_EQ(deadSelector->mark, 0);
  unlinkAndFreeUnmarkedNMethods(1);
  EXPECT_NE(find(0), 0u);
  EXPECT_EQ(find(1), 0u);
  EXPECT_EQ(find(2), 0u);
  EXPECT_EQ(siteTarget(addr(live), 0), glueOf(siteTypes[0]));
  EXPECT_EQ(siteTarget(addr(live), 1), glueOf(siteTypes[1]));
  EXPECT_EQ(mCache[7].classIndex, 0u);
  checkZone();
  // Before a become: only the nmethods that name the object are condemned.
  NMethodHeader* other = make(3);
  EXPECT_EQ(markNMethodsAsNotReferringTo(live->vmethod), 1);
  EXPECT_EQ(live->mark, 0);
  EXPECT_NE(other->mark, 0);
  EXPECT_EQ(markNMethodsAsNotReferringTo(selectors[0]), 1) << "a literal of every method";
}

// Before a one-way become the native methods that hold r (here: as their method) are
// discarded with the links that led to them; the others stay.
TEST_F(NMethodCollection, OneWayBecomeDiscardsNativeMethodsHoldingTheObject) {
  NMethodHeader* holding = make(0);
  NMethodHeader* other = make(1);
  link(other, 0, holding, 9);
  ASSERT_EQ(discardNMethodsReferringTo(newOldObject(classIndexArray, 1)), 1) << "held by none";
  EXPECT_NE(find(0), 0u);
  ASSERT_EQ(discardNMethodsReferringTo(holding->vmethod), 1);
  EXPECT_EQ(find(0), 0u);
  EXPECT_NE(find(1), 0u);
  EXPECT_EQ(siteTarget(addr(other), 0), glueOf(siteTypes[0])) << "the site that called it is unlinked";
  checkZone();
}

// The incremental collector's marking ends by freeing the nmethods of methods nothing
// reaches, with the links that led to them; those of reached methods stay linked.
TEST_F(NMethodCollection, IncrementalMarkFreesNMethodsOfUnreachedMethods) {
  initScavenger(platformTenureThreshold);
  NMethodHeader* live = make(0);
  NMethodHeader* dead = make(1);
  NMethodHeader* callee = make(2);
  link(live, 0, dead, 9);
  link(live, 1, callee, 9);
  oop reached = newOldObject(classIndexArray, 6);  // what the image reaches
  bodyOf(headerOf(reached))[0] = live->vmethod;
  bodyOf(headerOf(reached))[1] = callee->vmethod;
  for (int i = 0; i < 4; i++) bodyOf(headerOf(reached))[2 + i] = selectors[i];
  registerSysOop(reached, uint32_t(allocSysOopSlot()));
  incMarkSweep(0, incGCUnbounded, incGCUnbounded);
  ASSERT_EQ(currentIncGCState, incGCSweeping);
  EXPECT_NE(find(0), 0u);
  EXPECT_EQ(find(1), 0u);
  EXPECT_NE(find(2), 0u);
  EXPECT_EQ(siteTarget(addr(live), 0), glueOf(siteTypes[0]));
  EXPECT_EQ(siteTarget(addr(live), 1), addr(callee) + sendTypeTable[siteTypes[1]].entryOffset);
  checkZone();
  blowAwayIncGC();
}

// A replaced method: its nmethods become unenterable; the idle one is freed with the links and
// cache entries that led to it, the one with an activation waits for the next sweep.
TEST_F(NMethodCollection, ReplacedMethodLosesItsNMethods) {
  NMethodHeader* idle = make(0);
  NMethodHeader* running = make(1);
  NMethodHeader* caller = make(2);
  oop method = idle->vmethod;
  *findNMethodLinkBefore(running) = running->link;
  running->vmethod = method;
  nmTableAdd(running);
  link(caller, 0, idle, 9);
  link(caller, 1, running, 9);
  mCacheFill(&mCache[1], 9, addr(idle));
  mCacheFill(&mCache[2], 10, addr(caller));
  uint64_t* s = stackAlloc(0);
  uint64_t sp = s[shSp];
  auto push = [&](uint64_t v) {
    sp -= 8;
    *reinterpret_cast<uint64_t*>(sp) = v;
  };
  push(rootFpOf(s));
  uint64_t fp = sp;
  push(0);
  push(addr(running));
  push(nilOop());
  push(addr(running) + 120);
  s[shSp] = sp;
  s[shFp] = fp;
  nmFlushCachedCodeForMethod(method);
  EXPECT_EQ(find(0), 0u);
  ASSERT_EQ(find(1), addr(running));
  EXPECT_EQ(running->flags & nmFlagUnlinked, nmFlagUnlinked);
  EXPECT_EQ(running->mark, 0);
  EXPECT_EQ(callTarget(addr(running) + nMethodAbortSendMissReturnOffset), addr(rtAbortRelinkSendToUnlinked));
  EXPECT_EQ(siteTarget(addr(caller), 0), glueOf(siteTypes[0])) << "linked to the freed one";
  EXPECT_EQ(siteTarget(addr(caller), 1), addr(running) + nMethodEntryNoCheck) << "relinks through the entry";
  EXPECT_EQ(mCache[1].classIndex, 0u);
  EXPECT_EQ(mCache[2].classIndex, 10u);
  EXPECT_NE(caller->flags & nmFlagUnlinked, nmFlagUnlinked);
  checkZone();
}

TEST_F(NMethodCollection, SelectorFlushUnlinksItsNMethodsAndCacheEntries) {
  NMethodHeader* a = make(0, selectors[1]);
  NMethodHeader* b = make(1, selectors[1]);
  NMethodHeader* other = make(2, selectors[2]);
  mCacheFill(&mCache[1], 9, addr(a));
  mCacheFill(&mCache[2], 9, addr(other));
  oop unhashed = newOldObject(classIndexArray, 1);
  other->selector = unhashed;
  nmFlushLookupEntriesForSelector(unhashed);  // never looked up: nothing to flush
  EXPECT_EQ(other->flags & nmFlagUnlinked, 0);
  getObjHash(headerOf(selectors[1]));
  nmFlushLookupEntriesForSelector(selectors[1]);
  for (NMethodHeader* n : {a, b}) {
    EXPECT_EQ(n->flags & nmFlagUnlinked, nmFlagUnlinked);
    EXPECT_EQ(callTarget(addr(n) + nMethodAbortSendMissReturnOffset), addr(rtAbortRelinkSendToUnlinked));
  }
  EXPECT_EQ(other->flags & nmFlagUnlinked, 0);
  EXPECT_EQ(mCache[1].classIndex, 0u);
  EXPECT_EQ(mCache[2].classIndex, 9u);
  other->selector = selectors[2];
  checkZone();
}

TEST_F(NMethodCollection, PurgeKeepsLiveClassesAndTheContextClasses) {
  struct Case {
    uint32_t classIndex;
    bool kept;
  } cases[] = {{classIndexArray, true}, {8, true}, {9, true}, {10, true}, {0x3FF0, false}, {0x100000, false},
               {0xFFFFF00, false}};
  NMethodHeader* b = make(0);
  uint32_t i = 100;
  for (const Case& c : cases) mCacheFill(&mCache[i++], c.classIndex, addr(b));
  purgeDeadClassesFromMCache();
  i = 100;
  for (const Case& c : cases) EXPECT_EQ(mCache[i++].classIndex != 0, c.kept) << c.classIndex;
}

// Random rounds of building, linking, marking, freeing and compacting: the zone, chains,
// cache, list and entry words hold after each step, and every link that survives still reaches
// the block it was made to.
TEST_F(NMethodCollection, RandomisedCollectionKeepsEveryLinkSound) {
  std::mt19937 rng(20261210);
  uint32_t nextId = 0;
  std::vector<std::pair<uint32_t, uint32_t>> expected[2];  // per site slot: (from id, to id)
  for (int round = 0; round < 60; round++) {
    int adds = int(rng() % 12);
    for (int k = 0; k < adds; k++) {
      if (nmZone.free + 2 * blockBytes + nmZoneReserve >= nmZone.list) break;
      NMethodHeader* b = make(nextId++);
      if (rng() % 3 == 0) nMethodAddToList(addr(b));
    }
    std::vector<uint64_t> used;
    for (uint64_t p = nmZone.bottom; p < nmZone.free; p += nMethodBlockSize(at(p)))
      if (at(p)->usedSize != 0) {
        used.push_back(p);
      }
    if (used.empty()) continue;
    for (int k = 0; k < 6; k++) {
      uint64_t from = used[rng() % used.size()], to = used[rng() % used.size()];
      int site = int(rng() % 2);
      link(at(from), site, at(to), 9);
    }
    for (uint64_t p : used) {
      at(p)->mark = uint8_t(rng() % 5 == 0 ? 0 : 1 + rng() % 200);
      if (rng() % 4 == 0) mCacheFill(&mCache[rng() % mCacheEntries], 9, p);
    }
    // Remember each linked site's callee by id.
    for (auto& e : expected) e.clear();
    for (uint64_t p : used)
      for (int s = 0; s < 2; s++) {
        uint64_t t = siteTarget(p, s);
        if (t != glueOf(siteTypes[s])) expected[s].push_back({idOf(p), idOf(t - sendTypeTable[siteTypes[s]].entryOffset)});
      }
    switch (rng() % 3) {
      case 0: nmCompact(int64_t(rng() % (8 * blockBytes))); break;
      case 1:
        nmFreeUntil(rng() % (4 * blockBytes), 255, 1);
        invalidatePostFreeNMethods();
        nmUpdateNewRefsFromMCache();
        break;
      default: unlinkAndFreeUnmarkedNMethods(0); break;
    }
    checkZone();
    if (HasFailure()) return;
    for (int s = 0; s < 2; s++)
      for (auto [fromId, toId] : expected[s]) {
        uint64_t from = find(fromId);
        if (from == 0) continue;
        uint64_t t = siteTarget(from, s);
        if (t == glueOf(siteTypes[s])) continue;  // unlinked: the callee went or was unmarked
        EXPECT_EQ(idOf(t - sendTypeTable[siteTypes[s]].entryOffset), toId) << "round " << round;
      }
  }
}

}  // namespace
