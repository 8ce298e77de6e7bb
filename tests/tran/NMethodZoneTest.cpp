// Native-method zone: layout, bump and first-fit allocation, shortening, the permanent and
// list areas, block lookup by address, and the listings.
#include <gtest/gtest.h>

#include <cinttypes>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

#include "support/testFiles.h"
#include "support/testZone.h"
#include "tran/nmalloc.h"

namespace {

constexpr uint64_t cacheBytes = 2048 * 16;

// A code area in ordinary memory (nothing here runs the code) with a zone of zoneBytes.
struct Zone {
  SavedNMethodZone saved;
  std::vector<uint8_t> area;
  explicit Zone(uint64_t zoneBytes) : area(3 + cacheBytes + zoneBytes + 64) {
    uint64_t base = (reinterpret_cast<uint64_t>(area.data()) + 15) & ~uint64_t(15);
    nmHooks = NMethodZoneHooks{};
    initNMethodAlloc(base, 3 + cacheBytes + zoneBytes);
  }
};

uint64_t addr(const NMethodHeader* b) { return reinterpret_cast<uint64_t>(b); }
NMethodHeader* at(uint64_t a) { return reinterpret_cast<NMethodHeader*>(a); }

// The chain from bottom ends exactly at free and its free blocks sum to holes bytes. (First
// fit may move holes start past holes it passed over; compaction reclaims those.)
void checkChain() {
  uint64_t p = nmZone.bottom, holes = 0;
  while (p < nmZone.free) {
    const NMethodHeader* b = at(p);
    uint64_t step = nMethodBlockSize(b);
    ASSERT_GE(step, nMethodHeaderSize) << "damaged step at " << p - nmZone.bottom;
    ASSERT_EQ(step % 16, 0u);
    if (b->usedSize == 0) holes += step;
    p += step;
  }
  ASSERT_EQ(p, nmZone.free);
  ASSERT_EQ(holes, nmZone.holesBytes);
  ASSERT_LE(nmZone.free + nmZoneReserve, nmZone.list + nmZoneReserve);
  ASSERT_LE(nmZone.list, nmZone.top);
}

// Uses up the bump space with the smallest real blocks (a header and a little code) so that
// the next request must come from a hole.
void fillBumpSpace() {
  while (nmZone.free + 48 + nmZoneReserve < nmZone.list) nMethodAlloc(48);
}

TEST(NMethodZone_Layout, StubCacheAndAlignedZone) {
  Zone z(4096);
  const uint8_t* stub = reinterpret_cast<const uint8_t*>(icacheStubAddress);
  EXPECT_EQ(stub[0], 0xEB);
  EXPECT_EQ(stub[1], 0x00);
  EXPECT_EQ(stub[2], 0xC3);
  EXPECT_EQ(nmZone.bottom % 16, 0u);
  EXPECT_GE(nmZone.bottom, icacheStubAddress + 3 + cacheBytes);
  EXPECT_EQ(nmZone.top % 16, 0u);
  EXPECT_EQ(nmZone.free, nmZone.bottom);
  EXPECT_EQ(nmZone.list, nmZone.top);
  EXPECT_EQ(minNZoneRTPC, nmZone.top - 1);
}

TEST(NMethodZone_Alloc, BumpsWhileRoomAndNeverLooksAtHoles) {
  Zone z(4096);
  NMethodHeader* a = nMethodAlloc(100);
  NMethodHeader* b = nMethodAlloc(112);
  nMethodAlloc(64);
  EXPECT_EQ(a->usedSize, 112u);
  EXPECT_EQ(a->mark, 255);
  nMethodDealloc(b);  // an exactly fitting hole
  NMethodHeader* c = nMethodAlloc(112);
  EXPECT_GT(addr(c), addr(b));
  checkChain();
}

TEST(NMethodZone_Alloc, FreeingTheLastBlockMovesFreeDown) {
  Zone z(4096);
  nMethodAlloc(64);
  NMethodHeader* b = nMethodAlloc(64);
  NMethodHeader* c = nMethodAlloc(64);
  nMethodDealloc(b);
  nMethodDealloc(c);
  EXPECT_EQ(nmZone.free, addr(c));
  EXPECT_EQ(nmZone.holesBytes, 64u);
  checkChain();
}

// Fills the zone so that the next request must come from a hole of holeSize bytes, then asks
// for request bytes.
struct FitCase {
  uint32_t hole, request;
  bool taken;
  uint32_t remainder;  // free block left behind a split
};

TEST(NMethodZone_Alloc, FirstFitTakesExactSplitsLargeAndPassesOverNearMisses) {
  const FitCase cases[] = {
      {128, 128, true, 0}, {176, 128, true, 48}, {256, 64, true, 192}, {144, 128, false, 0}, {160, 128, false, 0},
  };
  for (const FitCase& c : cases) {
    Zone z(1024);
    NMethodHeader* hole = nMethodAlloc(c.hole);
    nMethodAlloc(64);
    fillBumpSpace();
    nMethodDealloc(hole);
    NMethodHeader* got = nMethodAlloc(c.request);
    EXPECT_EQ(got == hole, c.taken) << c.hole << "/" << c.request;
    if (c.taken) {
      EXPECT_EQ(got->usedSize, c.request);
    }
    if (c.remainder) {
      EXPECT_EQ(at(addr(hole) + c.request)->usedSize, 0u);
      EXPECT_EQ(at(addr(hole) + c.request)->vmethod, c.remainder);
    }
    checkChain();
  }
}

TEST(NMethodZone_Alloc, MergesAdjacentSmallHolesWhileScanning) {
  Zone z(1024);
  NMethodHeader* a = nMethodAlloc(48);
  NMethodHeader* b = nMethodAlloc(64);
  nMethodAlloc(64);
  fillBumpSpace();
  nMethodDealloc(a);
  nMethodDealloc(b);
  NMethodHeader* got = nMethodAlloc(112);
  EXPECT_EQ(got, a);
  EXPECT_EQ(nmZone.holesBytes, 0u);
  checkChain();
}

TEST(NMethodZone_Shorten, TailBecomesAHoleOnlyFromFortyBytes) {
  Zone z(4096);
  NMethodHeader* last = nMethodAlloc(256);
  nMethodShorten(last, 100);
  EXPECT_EQ(last->usedSize, 112u);
  EXPECT_EQ(nmZone.free, addr(last) + 112);
  NMethodHeader* a = nMethodAlloc(256);
  nMethodAlloc(48);
  nMethodShorten(a, 230);  // tail 16: kept
  EXPECT_EQ(a->usedSize, 256u);
  nMethodShorten(a, 200);  // tail 48: a hole
  EXPECT_EQ(a->usedSize, 208u);
  EXPECT_EQ(nmZone.holesBytes, 48u);
  checkChain();
}

// Freeing a block twice would break the chain: the check ends the process naming the invariant.
TEST(NMethodZone_Alloc, FreeingAFreeBlockIsFatal) {
  Zone zone(1 << 16);
  NMethodHeader* a = nMethodAlloc(64);
  nMethodAlloc(64);
  nMethodDealloc(a);
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  std::string report;
  EXPECT_FATAL_REPORT(nMethodDealloc(a), 9, report);
  EXPECT_NE(report.find("invariant \"chain ends at free\" broken"), std::string::npos) << report;
}

TEST(NMethodZone_Perm, MovesTheListDownAndRefusesBelowTheReserve) {
  Zone z(1024);
  uint64_t top = nmZone.top;
  EXPECT_EQ(nMethodPermAlloc(0), top);
  EXPECT_EQ(nmZone.top, top);
  ASSERT_EQ(nMethodAddToList(0x1111), 1);
  ASSERT_EQ(nMethodAddToList(0x2222), 1);
  uint64_t p = nMethodPermAlloc(20);
  EXPECT_EQ(p, top - 32);
  EXPECT_EQ(minNZoneRTPC, p);
  EXPECT_EQ(reinterpret_cast<uint64_t*>(nmZone.top)[-1], 0x1111u);
  EXPECT_EQ(reinterpret_cast<uint64_t*>(nmZone.top)[-2], 0x2222u);
  uint64_t room = nmZone.list - nmZone.free - nmZoneReserve;
  EXPECT_EQ(nMethodPermAlloc(room), 0u);
  EXPECT_EQ(nmAllocRequest, room);
  EXPECT_NE(nMethodPermAlloc(room - 16), 0u);
  while (nMethodAddToList(0x3333)) {
  }
  EXPECT_LT(nmZone.list, nmZone.free + nmZoneReserve);
  EXPECT_GE(nmZone.list + 8, nmZone.free + nmZoneReserve);
}

TEST(NMethodZone_List, SelectKeepsOrderAndReplacements) {
  Zone z(1024);
  for (uint64_t v = 1; v <= 5; v++) nMethodAddToList(v);
  nMethodSelectFromList([](uint64_t e) -> uint64_t { return e % 2 ? e * 10 : 0; });
  ASSERT_EQ(nmZone.top - nmZone.list, 24u);
  const uint64_t* t = reinterpret_cast<const uint64_t*>(nmZone.top);
  EXPECT_EQ(t[-1], 10u);
  EXPECT_EQ(t[-2], 30u);
  EXPECT_EQ(t[-3], 50u);
}

TEST(NMethodZone_Lookup, IsNMethodAndForPCRejectBadAddresses) {
  Zone z(4096);
  NMethodHeader* a = nMethodAlloc(128);
  NMethodHeader* b = nMethodAlloc(64);
  NMethodHeader* c = nMethodAlloc(96);
  nMethodDealloc(b);
  EXPECT_EQ(isNMethod(addr(a)), 1);
  EXPECT_EQ(isNMethod(addr(c)), 1);
  const uint64_t bad[] = {addr(a) + 4, addr(a) + 8, addr(b), nmZone.free, nmZone.bottom - 16, nmZone.top, 0};
  for (uint64_t p : bad) EXPECT_EQ(isNMethod(p), 0) << p - nmZone.bottom;
  EXPECT_EQ(nMethodForPC(addr(a) + 127), addr(a));
  EXPECT_EQ(nMethodForPC(addr(b) + 3), addr(b));
  EXPECT_EQ(nMethodForPC(nmZone.free + 8), 0u);
  EXPECT_EQ(nMethodForPC(nmZone.bottom - 1), 0u);
  reInitNMethods();
  EXPECT_EQ(isNMethod(addr(a)), 0);
  EXPECT_EQ(isNMethod(addr(c)), 0);
  EXPECT_EQ(nMethodForPC(addr(a)), 0u);
}

TEST(NMethodZone_Random, ChainStaysWholeThroughMixedOperations) {
  Zone z(64 * 1024);
  std::mt19937 rng(7);
  std::vector<NMethodHeader*> live;
  for (int step = 0; step < 4000; step++) {
    uint32_t op = rng() % 10;
    if (op < 5) {
      NMethodHeader* b = nMethodAlloc(40 + rng() % 600);
      if (b != nullptr) live.push_back(b);
    } else if (op < 8 && !live.empty()) {
      size_t i = rng() % live.size();
      nMethodDealloc(live[i]);
      live.erase(live.begin() + long(i));
    } else if (op == 8 && !live.empty()) {
      NMethodHeader* b = live[rng() % live.size()];
      nMethodShorten(b, 40 + rng() % (b->usedSize - 39));
    } else if (rng() % 2) {
      nMethodPermAlloc(rng() % 64);
    } else {
      nMethodAddToList(0x10);
    }
    checkChain();
    if (HasFatalFailure()) FAIL() << "step " << step;
    for (NMethodHeader* b : live) ASSERT_EQ(isNMethod(addr(b)), 1);
  }
}

TEST(NMethodZone_Listing, PrintsHeaderStateAndFlags) {
  Zone z(4096);
  NMethodHeader* a = nMethodAlloc(128);
  a->flags = nmFlagPrimitive | nmFlagUnlinked;
  a->numArgs = 2;
  a->numTemps = 1;
  a->frame = 12;
  a->vmethod = 0x1230;
  FILE* out = tmpfile();
  printNMethod(addr(a), out);
  rewind(out);
  char text[400] = {};
  fread(text, 1, sizeof text - 1, out);
  fclose(out);
  char expected[400];
  snprintf(expected, sizeof expected,
           "nMethod 0x%" PRIx64 ": in-use, mark=255, has prim, UNLINKED (entry: 0x%" PRIx64 ")\n  usedSize=0x80 link=0x0\n"
           "  numArgs=2 numTemps=1 frame=12\n  vmethod=0x1230 selector=0x0 ()\n",
           addr(a), addr(a) + 64);
  EXPECT_STREQ(text, expected);
}

}  // namespace
