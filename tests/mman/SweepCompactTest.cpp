// Tests of old space's sweep-compact at the end of a global collection: object tables packed
// towards the first segment with headers moving, bodies slid and packed from the back, every
// reference following. Objects are found again by identity hash; contents by checksum.
#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <vector>

#include "mman/mmAllocate.h"
#include "mman/mmFixedSpace.h"
#include "mman/mmGlobalGC.h"
#include "mman/mmLargeSpace.h"
#include "mman/mmOldSpace.h"
#include "mman/mmPermSpace.h"
#include "mman/mmRt.h"
#include "mman/mmVerify.h"
#include "mman/scavengeHeap.h"

namespace {

enum Kind : char { kPtrs = 'p', kBytes = 'b', kLarge = 'g', kFixed = 'f', kRtListed = 'r', kPermHeld = 'o' };

struct Placement {
  uint32_t seg;   // index in list order
  bool live;
  Kind kind;
  uint64_t size;  // slots (pointer kinds) or bytes
};

struct Placed {
  oop object;
  Placement want;
  uint64_t header, body;  // before the collection
};

class SweepCompact : public ScavengeHeapTest {
 public:  // the case table's lambdas use the fixture
  using ScavengeHeapTest::rootAt;
  std::vector<OldSpaceSegment*> segs;
  std::map<uint32_t, Placed> placed;  // by tag
  oop keep = 0;                       // old Array holding every live object, in root slot 0
  uint64_t liveCount = 0;

  static uint32_t hashFor(uint32_t tag) { return 0x80000 + tag; }

  // A heap of n segments in list order, the first being the test heap's own, small one.
  void makeSegments(uint32_t n, uint64_t slotsEach) {
    makeHeap(1 << 14, 100);
    keep = newOldObject(testClasses.pointers, 200);
    setRoot(0, keep);
    for (uint32_t i = 1; i < n; i++) ASSERT_TRUE(growOldSpace(int64_t(slotsEach)));
    writeBackOldSpace();
    segs.clear();
    for (OldSpaceSegment* s = oldSpaceSegs.first; s != nullptr; s = s->next) segs.push_back(s);
    ASSERT_EQ(segs.size(), n);
  }

  // Live byte fillers until segment i has about room slots of free room.
  void fillTo(uint32_t i, uint64_t room) {
    setCurrentOldSegment(segs[i]);
    for (;;) {
      uint64_t left = segmentRoom(&oldSpace);
      if (left <= room + 2) return;
      uint64_t bytes = std::min<uint64_t>((left - room - 2) * 8, 2000);
      if (bytes < 8) return;
      add({i, true, kBytes, bytes});
    }
  }

  void fill(ObjectHeader* h, uint32_t tag, const Placement& s) {
    if (hasPtrs(h)) {
      oop* b = bodyOf(h);
      for (uint64_t i = 0; i < s.size; i++) b[i] = smallIntegerFor(int64_t(tag) * 10000 + int64_t(i));
    } else {
      uint8_t* b = reinterpret_cast<uint8_t*>(h->dataPtr);
      for (uint64_t i = 0; i < s.size; i++) b[i] = uint8_t(tag * 7 + i);
    }
  }

  oop add(const Placement& s) {
    setCurrentOldSegment(segs[s.seg]);
    ObjectHeader* h = nullptr;
    bool ptrs = s.kind == kPtrs || s.kind == kRtListed || s.kind == kPermHeld;
    if (ptrs) h = allocInOldSpace(testClasses.pointers, 0, s.size * 8, hasPtrsBit, nilOop(), 1);
    if (s.kind == kBytes) h = allocInOldSpace(testClasses.bytes, 0, s.size, 0, 0, 1);
    if (s.kind == kLarge) h = allocInLargeSpace(testClasses.bytes, s.size, 0, 0);
    if (s.kind == kFixed) h = allocVSObjInFixedSpace(classAt(testClasses.bytes), s.size);
    EXPECT_NE(h, nullptr);
    if (h == nullptr) return 0;
    uint32_t tag = uint32_t(placed.size());
    setHash(h, hashFor(tag));
    fill(h, tag, s);
    oop o = oopOf(h);
    if (s.kind == kLarge || s.kind == kFixed) {  // an old owner, tenured into this segment
      setRoot(1, o);
      EXPECT_TRUE(flushNewSpace());
      o = rootAt(1);
      setRoot(1, nilOop());
    }
    if (s.kind == kRtListed) store(o, 0, newNewObject(testClasses.pointers, 2));
    if (s.kind == kPermHeld) {
      ObjectHeader* holder = allocInPermSpace(testClasses.pointers, 0, 8, hasPtrsBit, nilOop());
      EXPECT_NE(holder, nullptr);
      store(oopOf(holder), 0, o);
      setRoot(2 + tag % 60, oopOf(holder));
    }
    if (s.live) store(keep, liveCount++, o);
    placed[tag] = {o, s, oopOf(headerOf(o)), headerOf(o)->dataPtr};
    writeBackOldSpace();
    if (ptrs || s.kind == kBytes) { EXPECT_EQ(dataSegmentOf(o), s.seg) << "placed where asked"; }
    return o;
  }

  static oop find(uint32_t tag) {
    auto search = [tag](uint64_t low, uint64_t high) -> oop {
      for (uint64_t a = low + 16; a <= high; a += 16) {
        const ObjectHeader* h = reinterpret_cast<const ObjectHeader*>(a);
        if (classTagOf(h) != 0 && hashOf(h) == hashFor(tag)) return a;
      }
      return 0;
    };
    writeBackOldSpace();
    oop found = 0;
    for (OldSpaceSegment* s = oldSpaceSegs.first; s != nullptr && found == 0; s = s->next)
      found = search(s->otLow, s->otHigh);
    return found;
  }
  uint32_t tableSegmentOf(oop o) const {
    for (uint32_t i = 0; i < segs.size(); i++)
      if (o > segs[i]->otLow && o <= segs[i]->otHigh) return i;
    return ~0u;
  }
  uint32_t dataSegmentOf(oop o) const {
    uint64_t body = headerOf(o)->dataPtr;
    for (uint32_t i = 0; i < segs.size(); i++)
      if (body >= segs[i]->dataStart && body < segs[i]->dataTop) return i;
    return ~0u;
  }

  // Every kept object's class, hash, size, immediates, bytes and referents' hashes.
  uint64_t checksum() {
    uint64_t sum = 1469598103934665603ull;
    auto mix = [&sum](uint64_t v) { sum = (sum ^ v) * 1099511628211ull; };
    oop k = rootAt(0);
    for (uint64_t i = 0; i < liveCount; i++) {
      const ObjectHeader* h = headerOf(slotOf(k, i));
      mix(classTagOf(h)), mix(hashOf(h)), mix(byteSizeOf(h));
      if (hasPtrs(h)) {
        for (uint64_t j = 0, n = bodyWordsOf(h); j < n; j++) {
          oop v = bodyOf(h)[j];
          mix(isHeapObject(v) && v != 0 && v != nilOop() ? hashOf(headerOf(v)) : v);
        }
      } else {
        const uint8_t* b = reinterpret_cast<const uint8_t*>(h->dataPtr);
        for (uint64_t j = 0, n = byteSizeOf(h); j < n; j++) mix(b[j]);
      }
    }
    return sum;
  }
};

struct Case {
  const char* name;
  uint32_t segments;
  std::function<void(SweepCompact*)> build;
  std::function<void(SweepCompact*)> check;
};

TEST_F(SweepCompact, SweepCompact_Table) {
  auto L = [](uint32_t seg, Kind k, uint64_t size) { return Placement{seg, true, k, size}; };
  auto D = [](uint32_t seg, Kind k, uint64_t size) { return Placement{seg, false, k, size}; };
  const Case cases[] = {
      {"no free run: nothing moves", 1,
       [&](SweepCompact* t) {
         for (uint64_t i = 0; i < 20; i++) t->add(L(0, i % 2 ? kPtrs : kBytes, 3 + i * 13));
       },
       [](SweepCompact* t) {
         for (auto& [tag, p] : t->placed) {
           EXPECT_EQ(find(tag), p.header) << tag;
           EXPECT_EQ(headerOf(p.header)->dataPtr, p.body) << tag;
         }
       }},
      {"holes of every layout in one table: dead at both ends, runs, singles", 1,
       [&](SweepCompact* t) {
         const char* pattern = "DDLDLLDDDLDLLLLDDDDDDLD";
         for (uint64_t i = 0; pattern[i] != 0; i++)
           t->add({0, pattern[i] == 'L', i % 3 ? kPtrs : kBytes, 2 + (i * 37) % 300});
       },
       [](SweepCompact* t) {
         uint64_t kept = 0;
         for (auto& [tag, p] : t->placed) kept += p.want.live;
         uint64_t lowest = ~uint64_t(0);
         for (auto& [tag, p] : t->placed)
           if (p.want.live) lowest = std::min(lowest, uint64_t(find(tag)));
         EXPECT_EQ(lowest, t->segs[0]->otLow + 16) << "the kept entries end the table";
         EXPECT_EQ(kept, 9u);
       }},
      {"entries crossing segments: the last table's entries fill the first's holes", 3,
       [&](SweepCompact* t) {
         for (uint64_t i = 0; i < 30; i++) t->add(D(0, kPtrs, 4));
         for (uint64_t i = 0; i < 10; i++) t->add(L(1, kBytes, 40 + i));
         for (uint64_t i = 0; i < 10; i++) t->add(L(2, kPtrs, 5 + i));
       },
       [](SweepCompact* t) {
         for (auto& [tag, p] : t->placed)
           if (p.want.live && p.want.seg == 2) { EXPECT_EQ(t->tableSegmentOf(find(tag)), 0u) << tag; }
         EXPECT_EQ(t->segs[2]->otLow, t->segs[2]->otHigh) << "the last table is empty";
       }},
      {"a block too big to pack stays threaded where it is; a smaller one moves", 2,
       [&](SweepCompact* t) {
         t->add(D(0, kPtrs, 300));
         t->fillTo(0, 200);
         t->add(L(1, kPtrs, 700));
         t->add(L(1, kBytes, 64));
       },
       [](SweepCompact* t) {
         auto last = std::prev(t->placed.end());
         oop big = find(std::prev(last)->first), small = find(last->first);
         EXPECT_EQ(t->dataSegmentOf(big), 1u);
         EXPECT_EQ(t->dataSegmentOf(small), 0u);
         EXPECT_EQ(t->tableSegmentOf(small), 0u) << "the one hole took the lowest entry";
       }},
      {"2009-byte bodies (with size words) die in holes and move across segments", 3,
       [&](SweepCompact* t) {
         for (uint64_t i = 0; i < 4; i++) t->add(D(0, kBytes, 2009));
         t->add(L(0, kBytes, 2009));
         for (uint64_t i = 0; i < 3; i++) t->add(L(2, kBytes, 2009)), t->add(D(2, kBytes, 2009));
         t->add(L(1, kPtrs, 260));
       },
       [](SweepCompact* t) {
         for (auto& [tag, p] : t->placed)
           if (p.want.live && p.want.seg == 2) { EXPECT_EQ(t->dataSegmentOf(find(tag)), 0u) << tag; }
       }},
      {"old owners of large and fixed blocks move; their tables follow", 2,
       [&](SweepCompact* t) {
         for (uint64_t i = 0; i < 8; i++) t->add(D(0, kPtrs, 3));
         t->add(L(1, kLarge, 5000)), t->add(D(1, kLarge, 4000)), t->add(L(1, kFixed, 100)), t->add(D(1, kFixed, 90));
       },
       [](SweepCompact* t) {
         for (auto& [tag, p] : t->placed)
           if (p.want.live) { EXPECT_EQ(t->tableSegmentOf(find(tag)), 0u) << tag; }
       }},
      {"RT-listed old objects and old objects held by perm objects move", 2,
       [&](SweepCompact* t) {
         for (uint64_t i = 0; i < 8; i++) t->add(D(0, kPtrs, 3));
         for (uint64_t i = 0; i < 3; i++) t->add(L(1, kRtListed, 3)), t->add(L(1, kPermHeld, 2));
         t->add(D(1, kRtListed, 3));
       },
       [](SweepCompact* t) {
         for (auto& [tag, p] : t->placed) {
           if (!p.want.live) continue;
           oop o = find(tag);
           EXPECT_EQ(t->tableSegmentOf(o), 0u) << tag;
           if (p.want.kind == kRtListed) { EXPECT_TRUE(inRt(headerOf(o)) && objReallyInRt(headerOf(o))) << tag; }
           if (p.want.kind == kPermHeld) { EXPECT_EQ(slotOf(t->rootAt(2 + tag % 60), 0), o) << tag; }
         }
       }},
      {"a later segment emptied while earlier ones have room", 4,
       [&](SweepCompact* t) {
         t->add(L(0, kPtrs, 10)), t->add(D(1, kBytes, 800)), t->add(L(1, kBytes, 30));
         t->add(D(2, kPtrs, 12)), t->add(L(3, kPtrs, 9)), t->add(L(3, kBytes, 2009)), t->add(D(3, kPtrs, 400));
       },
       [](SweepCompact* t) {
         EXPECT_EQ(t->segs[3]->dataTop, t->segs[3]->dataStart);
         EXPECT_EQ(t->segs[3]->otLow, t->segs[3]->otHigh);
         for (auto& [tag, p] : t->placed)
           if (p.want.live) { EXPECT_EQ(t->dataSegmentOf(find(tag)), 0u) << tag; }
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    placed.clear();
    liveCount = 0;
    makeSegments(c.segments, 6000);
    c.build(this);
    if (HasFatalFailure()) return;
    ASSERT_EQ(verifyHeap(), "");
    uint64_t sum = checksum();
    gcStressInterval = 1;  // the registry's post-collection checks
    ASSERT_EQ(collectGarbage(0), 1);
    gcStressInterval = 0;
    writeBackOldSpace();
    EXPECT_EQ(verifyHeap(), "");
    EXPECT_EQ(verifyOldRtAfterCollection(), "");
    EXPECT_EQ(checksum(), sum);
    for (auto& [tag, p] : placed) EXPECT_EQ(find(tag) != 0, p.want.live) << tag;
    EXPECT_EQ(oldSpaceSegs.freeChunks, 0u);
    c.check(this);
    ASSERT_EQ(collectGarbage(1), 1);  // and again with perm space: nothing changes in content
    EXPECT_EQ(verifyHeap(), "");
    EXPECT_EQ(verifyOldRtAfterCollection(), "");
    EXPECT_EQ(checksum(), sum);
  }
}

}  // namespace
