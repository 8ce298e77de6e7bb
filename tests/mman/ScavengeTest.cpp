// Tests of the scavenger: a model fuzz against a shadow graph, tenuring, weak objects and
// ephemerons, the shrinking mode of the remembered table.
#include <gtest/gtest.h>

#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "mman/mmAllocate.h"
#include "mman/mmIncGC.h"
#include "mman/mmLargeSpace.h"
#include "mman/mmOldSpace.h"
#include "mman/scavengeHeap.h"
#include "stack/vmsupport.h"

namespace {

// ---- Model fuzz ---------------------------------------------------------------------------------
//
// Every object carries its model id: slot 0 (a SmallInteger) of pointer objects, the first
// eight bytes of byte objects. The shadow model knows each object's kind, size and slots; after
// every scavenge the heap reached from the roots must match it exactly.

enum Kind { kPointers, kSizeWord, kBytes, kLargeBytes, kFixedBytes, kWeak, kOldPointers, kindCount };

constexpr int64_t refNil = -1, refMarker = -2;

struct Node {
  Kind kind;
  uint64_t size;             // slots (pointer kinds) or bytes
  std::vector<int64_t> ref;  // pointer kinds: slot i >= 1 holds refNil, refMarker or a node id
  bool old = false;
  bool alive = true;
};

bool isPointerKind(Kind k) { return k == kPointers || k == kSizeWord || k == kWeak || k == kOldPointers; }

class ScavengeModelTest : public ScavengeHeapTest {
 protected:
  std::mt19937_64 rng{12345};
  std::vector<Node> nodes;
  std::map<int64_t, oop> where;  // live node -> its object
  std::vector<int64_t> roots = std::vector<int64_t>(rootSlots, refNil);

  uint64_t pick(uint64_t n) { return rng() % n; }

  static int64_t idOf(oop o) {
    ObjectHeader* h = headerOf(o);
    if (hasPtrs(h)) return smallIntegerValue(bodyOf(h)[0]);
    return int64_t(reinterpret_cast<uint64_t*>(h->dataPtr)[0]);
  }

  ObjectHeader* allocate(Kind k, uint64_t size) {
    switch (k) {
      case kPointers:
      case kSizeWord: return allocInNewSpace(testClasses.pointers, 0, size * 8, hasPtrsBit, nilOop());
      case kWeak: return allocInNewSpace(weakClass, 1, size * 8, hasPtrsBit | isGCSpecialBit, nilOop());
      case kBytes: return allocInNewSpace(testClasses.bytes, 0, size, 0, 0);
      case kLargeBytes: return allocLargeByteObj(testClasses.bytes, size, 0, 0);
      case kFixedBytes: return allocVSObjInFixedSpace(classAt(testClasses.bytes), size);
      default: return headerOf(newOldObject(testClasses.pointers, size));
    }
  }

  void newNode() {
    Kind k = Kind(pick(kindCount));
    uint64_t sizes[kindCount] = {2 + pick(12), 260, 8 + pick(60), 2100 + pick(800), 40, 2 + pick(6), 2 + pick(6)};
    uint64_t size = sizes[k];
    ObjectHeader* h = allocate(k, size);
    if (h == nullptr) return scavenge(0);
    int64_t id = int64_t(nodes.size());
    Node n{k, size, {}, !isNewObject(oopOf(h))};
    if (isPointerKind(k)) {
      n.ref.assign(size, refNil);
      bodyOf(h)[0] = smallIntegerFor(id);
    } else {
      reinterpret_cast<uint64_t*>(h->dataPtr)[0] = uint64_t(id);
    }
    nodes.push_back(n);
    where[id] = oopOf(h);
    uint64_t r = pick(rootSlots);
    roots[r] = id;
    setRoot(r, oopOf(h));
  }

  int64_t randomLive() {
    if (where.empty()) return refNil;
    auto it = where.begin();
    std::advance(it, pick(where.size()));
    return it->first;
  }

  void storeRandom() {
    int64_t a = randomLive();
    if (a == refNil || !isPointerKind(nodes[a].kind) || nodes[a].size < 2) return;
    int64_t b = pick(4) == 0 ? refNil : randomLive();
    uint64_t k = 1 + pick(nodes[a].size - 1);
    nodes[a].ref[k] = b;
    store(where[a], k, b == refNil ? nilOop() : where[b]);
  }

  // Reachability as the scavenger sees it: the roots and every old object are alive; weak
  // slots hold nothing alive unless weakAsStrong.
  void markLive(bool weakAsStrong) {
    std::vector<int64_t> work;
    std::set<int64_t> seen;
    for (int64_t r : roots)
      if (r >= 0) work.push_back(r);
    for (auto& [id, o] : where)
      if (nodes[id].old) work.push_back(id);
    while (!work.empty()) {
      int64_t id = work.back();
      work.pop_back();
      if (!seen.insert(id).second) continue;
      Node& n = nodes[id];
      if (n.kind == kWeak && !weakAsStrong) continue;  // only slot 0 is strong: the id
      for (int64_t r : n.ref)
        if (r >= 0) work.push_back(r);
    }
    for (auto it = where.begin(); it != where.end();) {
      if (seen.count(it->first)) {
        ++it;
        continue;
      }
      nodes[it->first].alive = false;
      it = where.erase(it);
    }
    for (auto& [id, o] : where)
      for (int64_t& r : nodes[id].ref)
        if (r >= 0 && !nodes[r].alive) r = refMarker;
  }

  // Follows the heap from the roots and the old objects, checking every object against its
  // node; where learns the objects' new places.
  std::string compare() {
    std::map<int64_t, oop> found;
    std::vector<oop> work;
    for (uint64_t i = 0; i < rootSlots; i++) {
      oop o = rootAt(i);
      if ((roots[i] == refNil) != (o == nilOop())) return "root " + std::to_string(i) + " differs";
      if (o != nilOop()) work.push_back(o);
    }
    for (auto& [id, o] : where)
      if (nodes[id].old) work.push_back(o);
    while (!work.empty()) {
      oop o = work.back();
      work.pop_back();
      int64_t id = idOf(o);
      if (id < 0 || id >= int64_t(nodes.size()) || !nodes[id].alive) return "object with a dead or bad id";
      if (found.count(id)) {
        if (found[id] != o) return "node " + std::to_string(id) + " has two objects";
        continue;
      }
      found[id] = o;
      const Node& n = nodes[id];
      ObjectHeader* h = headerOf(o);
      uint64_t size = isPointerKind(n.kind) ? bodyWordsOf(h) : byteSizeOf(h);
      if (size != n.size) return "node " + std::to_string(id) + " changed size";
      for (uint64_t k = 1; k < n.ref.size(); k++) {
        oop v = bodyOf(h)[k];
        int64_t want = n.ref[k];
        if (want == refNil && v != nilOop()) return "slot should be nil";
        if (want == refMarker && v != sysOop(sysEmptySlotMarker)) return "dead weak referent not cleared";
        if (want >= 0) {
          if (isImmediate(v) || v == nilOop() || idOf(v) != want) return "slot refers to the wrong object";
          work.push_back(v);
        }
      }
    }
    for (auto& [id, o] : where)
      if (!found.count(id)) return "live node " + std::to_string(id) + " not reached";
    where = found;
    for (auto& [id, o] : where) nodes[id].old = !isNewObject(o);
    return "";
  }

  // Scavenges through one of the entry points; weak slots are cleared only by the regular ones.
  void scavenge(int which) {
    struct Entry { int (*run)(); bool weakAsStrong; } entries[] = {
        {scavengeNewSpace, false}, {flushNewSpace, false}, {flushEden, true}, {scavengeTenuringEveryone, true}};
    const Entry& e = entries[which % 4];
    markLive(e.weakAsStrong);
    e.run();
    std::string diff = compare();
    ASSERT_EQ(diff, "");
    ASSERT_EQ(futureSpace.top, futureSpace.start);
  }

  void run(int steps) {
    for (int step = 0; step < steps && !HasFatalFailure(); step++) {
      uint64_t op = pick(20);
      if (op < 8) newNode();
      else if (op < 15) storeRandom();
      else if (op < 17) {
        uint64_t r = pick(rootSlots);
        roots[r] = refNil;
        setRoot(r, nilOop());
      } else if (op == 17) {
        scavenge(int(pick(4)));
      }
      if (isRequested(requestScavenge)) {
        markLive(false);
        handleRequests();
        ASSERT_EQ(compare(), "");
      }
      if (step % 64 == 0) ASSERT_EQ(verifyHeap(), "") << "step " << step;
    }
  }
};

TEST_F(ScavengeModelTest, Scavenge_ModelFuzzKeepsTheGraph) {
  run(4000);
  EXPECT_GT(numScavenges, 20u);
}

TEST_F(ScavengeModelTest, Scavenge_ModelFuzzUnderTheStressSwitch) {
  scavengeStressInterval = 1;
  eden.warningLimit = eden.start;
  run(1500);
  EXPECT_GT(numScavenges, 500u);
}

}  // namespace
