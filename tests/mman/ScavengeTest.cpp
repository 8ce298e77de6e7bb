// Tests of the scavenger: a model fuzz against a shadow graph, tenuring, weak objects and
// ephemerons, the shrinking mode of the remembered table.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "ext/exMemory.h"
#include "ext/exPrimTable.h"
#include "ext/exRequest.h"
#include "mman/loadImages.h"
#include "mman/mmAllocate.h"
#include "mman/mmBecome.h"
#include "mman/mmGlobalGC.h"
#include "mman/mmIncGC.h"
#include "mman/mmLargeSpace.h"
#include "mman/mmOldSpace.h"
#include "mman/mmOopStack.h"
#include "mman/mmPermSpace.h"
#include "mman/scavengeHeap.h"
#include "ext/platform.h"
#include "mman/mmImageHeader.h"
#include "support/primHarness.h"
#include "imageWriter.h"

namespace {

// ---- Model fuzz ---------------------------------------------------------------------------------
//
// Every object carries its model id: slot 0 (a SmallInteger) of pointer objects (slot 2 of
// ephemerons, whose slot 0 is the key), the first eight bytes of byte objects. The shadow model
// knows each object's kind, size and slots; after every scavenge the heap reached from the roots
// must match it exactly.

enum Kind { kPointers, kSizeWord, kBytes, kLargeBytes, kFixedBytes, kWeak, kOldPointers, kEphemeron, kindCount };

constexpr int64_t refNil = -1, refMarker = -2;

struct Node {
  Kind kind;
  uint64_t size;             // slots (pointer kinds) or bytes
  std::vector<int64_t> ref;  // pointer kinds: slot i >= 1 holds refNil, refMarker or a node id
  bool old = false;
  bool perm = false;         // its header is a perm object (kept across a become: it stays)
  bool alive = true;
  bool ephemeron = false;    // an ephemeron not yet queued
};

bool isPointerKind(Kind k) {
  return k == kPointers || k == kSizeWord || k == kWeak || k == kOldPointers || k == kEphemeron;
}
uint64_t idSlot(Kind k) { return k == kEphemeron ? 2 : 0; }

class Scavenge_Model : public ScavengeHeapTest {
 protected:
  std::mt19937_64 rng{12345};
  std::vector<Node> nodes;
  std::map<int64_t, oop> where;  // live node -> its object
  std::vector<int64_t> roots = std::vector<int64_t>(rootSlots, refNil);
  uint32_t ephemeron3 = 0;  // key, value, id
  bool globalCollections = false;  // the fuzz also runs global collections
  bool becomesAndPerm = false;     // ... and becomes, and makes perm objects
  bool weakOverflows = false;      // weak objects may be scanned as strong (capped list area)
  uint64_t collections = 0;
  uint64_t exchanges = 0, forwards = 0, permNodes = 0;
  void* permBlock = nullptr;       // perm space placed above old space, when asked
  uint64_t permBlockBytes = 0;

  void TearDown() override {
    ScavengeHeapTest::TearDown();
    if (permBlock != nullptr) lessMemory(permBlock, permBlockBytes, 1);
  }
  // Moves the (empty) perm space from the arena below old space to a mapping above it.
  void placePermAboveOldSpace() {
    writeBackOldSpace();
    uint64_t high = 0;
    for (OldSpaceSegment* s = oldSpaceSegs.first; s != nullptr; s = s->next) high = std::max(high, s->otHigh + 16);
    int mapped = 0;
    permBlockBytes = 1 << 16;
    permBlock = moreMemory(permBlockBytes, 1, high, 4096, pdProtRead | pdProtWrite, &mapped, &permBlockBytes);
    ASSERT_NE(permBlock, nullptr);
    ASSERT_EQ(mapped, 1);
    uint64_t start = reinterpret_cast<uint64_t>(permBlock);
    ASSERT_GT(start, high);
    // Absorbing perm space writes a segment record just below its data.
    initPermSpace(start + ((sizeof(OldSpaceSegment) + 15) & ~size_t(15)), start + permBlockBytes);
  }

  void SetUp() override {
    ScavengeHeapTest::SetUp();
    ephemeron3 = newTestClass(formatPointers | formatEphemeron | 3);
    keepClasses();
    oop semaphore = newOldObject(hashOf(headerOf(sysOop(sysSemaphoreClass))), 3);
    finalizationSemaphoreX = allocSysOopSlot();
    registerSysOop(semaphore, uint32_t(finalizationSemaphoreX));  // so that the queue grows
  }
  // The image fetches everything after each scavenge.
  static void drainQueue() {
    for (uint64_t a = finalQueueBase; a < finalQueueWrite; a += 8) *reinterpret_cast<oop*>(a) = nilOop();
    finalQueueRead = finalQueueWrite = finalQueueBase;
    ASSERT_EQ(finalQueueOverflow, 0);
  }

  uint64_t pick(uint64_t n) { return rng() % n; }

  int64_t idOf(oop o) const {
    ObjectHeader* h = headerOf(o);
    if (hasPtrs(h)) return smallIntegerValue(bodyOf(h)[classTagOf(h) == ephemeron3 ? 2 : 0]);
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
      case kEphemeron:
        return allocInNewSpace(ephemeron3, 3, 24, hasPtrsBit | isGCSpecialBit | ephemeronNotWeakBit, nilOop());
      default: return headerOf(newOldObject(testClasses.pointers, size));
    }
  }

  // Nodes the collection freed die in the model too.
  template <class Kept>
  void forgetAllBut(const Kept& kept) {
    for (auto it = where.begin(); it != where.end();) {
      if (kept.count(it->first)) {
        ++it;
        continue;
      }
      nodes[it->first].alive = false;
      it = where.erase(it);
    }
  }

  void newNode() {
    Kind k = Kind(pick(kindCount));
    uint64_t sizes[kindCount] = {2 + pick(12), 260, 8 + pick(60), 2100 + pick(800), 40, 2 + pick(6), 2 + pick(6), 3};
    uint64_t size = sizes[k];
    ObjectHeader* h = allocate(k, size);
    if (h == nullptr) return scavenge(0);
    int64_t id = int64_t(nodes.size());
    Node n{k, size, {}, !isNewObject(oopOf(h))};
    n.ephemeron = k == kEphemeron;
    if (isPointerKind(k)) {
      n.ref.assign(size, refNil);
      bodyOf(h)[idSlot(k)] = smallIntegerFor(id);
    } else {
      reinterpret_cast<uint64_t*>(h->dataPtr)[0] = uint64_t(id);
    }
    nodes.push_back(n);
    where[id] = oopOf(h);
    uint64_t r = pick(rootSlots);
    roots[r] = id;
    setRoot(r, oopOf(h));
    if (k == kEphemeron) giveFreshKey(id);
  }

  // A key reachable only through the ephemeron (and, half the time, its value).
  void giveFreshKey(int64_t e) {
    ObjectHeader* h = allocate(kPointers, 2);
    if (h == nullptr) return;
    int64_t key = int64_t(nodes.size());
    Node n{kPointers, 2, {refNil, refNil}, !isNewObject(oopOf(h))};
    bodyOf(h)[0] = smallIntegerFor(key);
    nodes.push_back(n);
    where[key] = oopOf(h);
    nodes[e].ref[0] = key;
    store(where[e], 0, oopOf(h));
    if (pick(2) == 0) {
      nodes[e].ref[1] = key;
      store(where[e], 1, oopOf(h));
    }
  }

  // A pointer object of 2 to 7 slots in perm space.
  void newPermNode() {
    uint64_t size = 2 + pick(6);
    ObjectHeader* h = allocInPermSpace(testClasses.pointers, 0, size * 8, hasPtrsBit, nilOop());
    if (h == nullptr) return;
    int64_t id = int64_t(nodes.size());
    Node n{kPointers, size, std::vector<int64_t>(size, refNil), true};
    n.perm = true;
    permNodes++;
    bodyOf(h)[0] = smallIntegerFor(id);
    nodes.push_back(n);
    where[id] = oopOf(h);
    if (pick(2) == 0) {  // otherwise only the objects it refers to (138) or nothing (406) keep it
      uint64_t r = pick(rootSlots);
      roots[r] = id;
      setRoot(r, oopOf(h));
    }
  }

  // Every reference to a (in the model: node a) now leads to b; with swap, b's to a as well.
  void renameRefs(int64_t a, int64_t b, bool swap) {
    auto rename = [&](int64_t& r) {
      if (r == a) r = b;
      else if (swap && r == b) r = a;
    };
    for (int64_t& r : roots) rename(r);
    for (auto& [id, o] : where)
      for (int64_t& r : nodes[id].ref) rename(r);
  }

  // Two-way: the headers trade contents, so a's contents (its id) now lie under b's header,
  // which keeps its place and perm bit. One-way: every reference to a now refers to b.
  void become() {
    markLive(true);  // the model forgets what stores have put out of reach
    int64_t a = randomLive(), b = randomLive();
    if (a == refNil || a == b) return;
    if (pick(2) == 0) {
      if (!tryBecome(where[a], where[b])) return;  // no room: nothing changed (its own tests)
      exchanges++;
      std::swap(where[a], where[b]);
      std::swap(nodes[a].old, nodes[b].old);
      std::swap(nodes[a].perm, nodes[b].perm);
      renameRefs(a, b, true);
    } else {
      forwards++;
      replaceEveryReference(where[a], where[b]);
      renameRefs(a, b, false);
    }
    markLive(true);    ASSERT_EQ(verifyHeap(), "") << "after a become";
    ASSERT_EQ(compare(), "") << "after a become of nodes " << a << " and " << b;
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
    uint64_t k = nodes[a].kind == kEphemeron ? pick(2) : 1 + pick(nodes[a].size - 1);
    nodes[a].ref[k] = b;
    store(where[a], k, b == refNil ? nilOop() : where[b]);
  }

  // Reachability as the scavenger sees it: the roots and every old object are alive (for a
  // global collection only the roots); weak slots hold nothing alive, and an ephemeron's
  // slots only once its key is reached, unless weakAsStrong. Ephemerons whose keys were
  // reached only through such slots are kept whole and queued: they become ordinary objects.
  void markLive(bool weakAsStrong, bool global = false, bool withPerm = false) {
    auto rooted = [&](int64_t id) { return global ? nodes[id].perm && !withPerm : nodes[id].old; };
    std::vector<int64_t> work, deferred;
    std::set<int64_t> seen;
    for (int64_t r : roots)
      if (r >= 0) work.push_back(r);
    for (auto& [id, o] : where)
      if (rooted(id)) work.push_back(id);
    auto expand = [&](int64_t id) {
      for (int64_t r : nodes[id].ref)
        if (r >= 0) work.push_back(r);
    };
    auto keyReached = [&](int64_t id) {
      int64_t k = nodes[id].ref[0];
      return k < 0 || rooted(k) || seen.count(k) != 0;
    };
    auto drain = [&](bool defer) {
      while (!work.empty()) {
        int64_t id = work.back();
        work.pop_back();
        if (!seen.insert(id).second) continue;
        const Node& n = nodes[id];
        if (n.kind == kWeak && !weakAsStrong) continue;  // only slot 0 is strong: the id
        if (defer && n.ephemeron && !weakAsStrong && !keyReached(id)) deferred.push_back(id);
        else expand(id);
      }
    };
    drain(true);
    for (bool progress = true; progress;) {
      progress = false;
      for (size_t i = 0; i < deferred.size();) {
        if (!keyReached(deferred[i])) {
          i++;
          continue;
        }
        expand(deferred[i]);
        deferred.erase(deferred.begin() + long(i));
        progress = true;
      }
      drain(true);
    }
    std::set<int64_t> fixpoint = seen;
    for (int64_t d : deferred) expand(d);
    drain(false);
    for (int64_t id : seen) {
      Node& n = nodes[id];
      int64_t k = n.ephemeron ? n.ref[0] : -1;
      if (!weakAsStrong && k >= 0 && !rooted(k) && !fixpoint.count(k)) n.ephemeron = false;
    }
    forgetAllBut(seen);
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
      if (n.kind == kEphemeron && isEphemeron(h) != n.ephemeron) return "ephemeron " + std::to_string(id) + " queued wrongly";
      for (uint64_t k = 0; k < n.ref.size(); k++) {
        if (k == idSlot(n.kind)) continue;
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

  // Scavenges through one of the entry points; weak slots are cleared only by the regular
  // ones, and the tenuring variants must leave the objects they name in old space.
  void scavenge(int which) {
    int64_t a = randomLive(), b = randomLive();
    oop oa = a == refNil ? nilOop() : where[a], ob = b == refNil ? nilOop() : where[b];
    bool strong = which % 7 >= 2;
    markLive(strong);
    switch (which % 7) {
      case 0: scavengeNewSpace(); break;
      case 1: flushNewSpace(); break;
      case 2: flushEden(); break;
      case 3: scavengeTenuringEveryone(); break;
      case 4: scavengeTenuringTheseObjs(oa, ob); break;
      case 5: scavengeTenuringOwnersOf(oa); break;
      default: scavengeTenuringInstancesOf(testClasses.bytes); break;
    }
    ASSERT_EQ(compare(), "");
    drainQueue();
    ASSERT_EQ(futureSpace.top, futureSpace.start);
    for (auto& [id, o] : where) {
      const Node& n = nodes[id];
      bool named = (which % 7 == 4 && (id == a || id == b)) ||
                   (which % 7 == 5 && a != refNil && std::count(n.ref.begin(), n.ref.end(), a) != 0) ||
                   (which % 7 == 6 && (n.kind == kBytes || n.kind == kLargeBytes || n.kind == kFixedBytes)) ||
                   which % 7 == 1 || which % 7 == 3;
      ASSERT_TRUE(!named || n.old) << "scavenge " << which % 7 << " left node " << id << " new";
    }
  }

  // The model's objects in the old tables and perm space's, by id (headers move in a global
  // collection); each must be perm exactly when its node is.
  std::map<int64_t, oop> oldObjectsById() {
    std::map<int64_t, oop> found;
    writeBackOldSpace();
    std::vector<std::pair<uint64_t, uint64_t>> tables;
    for (OldSpaceSegment* s = oldSpaceSegs.first; s != nullptr; s = s->next) tables.push_back({s->otLow, s->otHigh});
    if (permSpaceExists) tables.push_back({permSpace.otLow, permSpace.otHigh});
    for (auto [low, high] : tables)
      for (uint64_t a = low + 16; a <= high; a += 16) {
        ObjectHeader* h = reinterpret_cast<ObjectHeader*>(a);
        uint32_t tag = classTagOf(h);
        bool pointers = tag == testClasses.pointers || tag == weakClass || tag == ephemeron3;
        if (!(pointers || tag == testClasses.bytes) || h->dataPtr == 0 || bodyWordsOf(h) == 0) continue;
        if (pointers && !isSmallInteger(bodyOf(h)[tag == ephemeron3 ? 2 : 0])) continue;
        int64_t id = idOf(oopOf(h));
        if (id < 0 || id >= int64_t(nodes.size())) continue;
        EXPECT_EQ(found.count(id), 0u) << "node " << id << " twice in old space";
        EXPECT_EQ(isPermObject(h), nodes[id].perm) << "node " << id << " in the wrong space";
        found[id] = oopOf(h);
      }
    return found;
  }

  // A global collection: exactly the model's reachable set survives in old space, each old
  // object found again at its new place.
  void collect() {
    if (weakOverflows) return collectKeepingOverflowedWeakReferents();
    markLive(false, true, collections % 2 == 1);
    ASSERT_EQ(verifyHeap(), "") << "before";
    ASSERT_EQ(collectGarbage(int(collections % 2)), 1);  // 138 and 406 in turn
    ASSERT_EQ(verifyHeap(), "") << "after " << collections;
    collections++;
    std::map<int64_t, oop> old = oldObjectsById();
    for (auto& [id, o] : old) ASSERT_TRUE(where.count(id)) << "dead old node " << id << " kept";
    for (auto& [id, o] : where)
      if (nodes[id].old) {
        ASSERT_TRUE(old.count(id)) << "live old node " << id << " lost";
        o = old[id];
      }
    ASSERT_EQ(compare(), "");
    drainQueue();
  }

  // The ids the model keeps through a global collection, its state left as it was.
  std::set<int64_t> survivorsOfCollection(bool weakAsStrong, bool withPerm) {
    std::vector<Node> savedNodes = nodes;
    std::map<int64_t, oop> savedWhere = where;
    markLive(weakAsStrong, true, withPerm);
    std::set<int64_t> ids;
    for (auto& [id, o] : where) ids.insert(id);
    nodes = savedNodes;
    where = savedWhere;
    return ids;
  }

  // With a capped list area a weak object or ephemeron that finds the list full is traced
  // as a strong one: the survivors lie between the weak and the strong reading of the
  // model, and are exactly what the heap left reaches. The model then takes the heap's
  // weak slots and ephemeron states.
  void collectKeepingOverflowedWeakReferents() {
    bool withPerm = collections % 2 == 1;
    std::set<int64_t> least = survivorsOfCollection(false, withPerm), most = survivorsOfCollection(true, withPerm);
    ASSERT_EQ(verifyHeap(), "") << "before";
    ASSERT_EQ(collectGarbage(int(collections % 2)), 1);
    ASSERT_EQ(verifyHeap(), "") << "after " << collections;
    collections++;
    std::map<int64_t, oop> tables = oldObjectsById(), found;
    std::vector<oop> work;
    for (uint64_t i = 0; i < rootSlots; i++)
      if (rootAt(i) != nilOop()) work.push_back(rootAt(i));
    for (auto& [id, o] : tables)
      if (nodes[id].perm && !withPerm) work.push_back(o);
    oop marker = sysOop(sysEmptySlotMarker);
    while (!work.empty()) {
      oop o = work.back();
      work.pop_back();
      int64_t id = idOf(o);
      ASSERT_TRUE(id >= 0 && id < int64_t(nodes.size()) && most.count(id)) << "an object the model lets die survived";
      if (!found.emplace(id, o).second) continue;
      Node& n = nodes[id];
      for (uint64_t k = 0; k < n.ref.size(); k++) {
        if (k == idSlot(n.kind)) continue;
        oop v = bodyOf(headerOf(o))[k];
        if (v == marker) n.ref[k] = refMarker;
        if (v == marker || v == nilOop() || isImmediate(v)) continue;
        n.ref[k] = idOf(v);
        work.push_back(v);
      }
    }
    for (int64_t id : least) ASSERT_TRUE(found.count(id)) << "reachable node " << id << " lost";
    for (auto& [id, o] : tables) ASSERT_TRUE(found.count(id)) << "unreachable node " << id << " kept";
    forgetAllBut(found);
    where = found;
    for (auto& [id, o] : where) {
      nodes[id].old = !isNewObject(o);
      if (nodes[id].kind == kEphemeron) nodes[id].ephemeron = isEphemeron(headerOf(o));
    }
    ASSERT_EQ(compare(), "");
    drainQueue();
  }

  void runWithBecomesAndPerm(int steps) {
    globalCollections = becomesAndPerm = true;
    run(steps);
    EXPECT_GT(collections, 10u);
    EXPECT_GT(exchanges, 0u);
    EXPECT_GT(forwards, 0u);
    EXPECT_GT(permNodes, 0u);
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
        scavenge(int(pick(7)));
      } else if (op == 18 && globalCollections) {
        collect();
      } else if (op == 19 && becomesAndPerm) {
        if (pick(2) == 0) become();
        else newPermNode();
      }
      if (isRequested(requestScavenge)) {
        markLive(false);
        handleRequests();
        ASSERT_EQ(compare(), "");
        drainQueue();
      }
      if (step % 64 == 0) {
        ASSERT_EQ(verifyHeap(), "") << "step " << step;
      }
    }
  }
};

TEST_F(Scavenge_Model, Scavenge_ModelFuzzKeepsTheGraph) {
  run(4000);
  EXPECT_GT(numScavenges, 20u);
}

TEST_F(Scavenge_Model, GlobalGC_ModelFuzzKeepsExactlyTheReachableGraph) {
  globalCollections = true;
  run(4000);
  EXPECT_GT(collections, 20u);
}

// A mark area of 16 slots overflows again and again; the survivors are the same.
TEST_F(Scavenge_Model, GlobalGC_ModelFuzzWithATinyMarkStack) {
  globalCollections = true;
  gcMarkAreaCap = 16 * 8;
  run(3000);
  EXPECT_GT(numMarkStackOverflows, 0u);
}

// Becomes of every kind of body and header, and perm objects (perm space below old space or
// above it); 138 keeps every perm object, 406 only those reached.
TEST_F(Scavenge_Model, GlobalGC_ModelFuzzWithBecomesAndPermSpaceBelowOldSpace) {
  ASSERT_LT(permSpace.otHigh, reinterpret_cast<uint64_t>(oldSpaceSegs.first));
  runWithBecomesAndPerm(3000);
}

TEST_F(Scavenge_Model, GlobalGC_ModelFuzzWithBecomesAndPermSpaceAboveOldSpace) {
  placePermAboveOldSpace();
  runWithBecomesAndPerm(3000);
}

// Capped mark area (16 slots) and list area (64 bytes): both overflow; the survivors are the
// model's but for what the overflowed weak objects and ephemerons keep.
TEST_F(Scavenge_Model, GlobalGC_ModelFuzzWithCappedWorkAreas) {
  weakOverflows = true;
  gcMarkAreaCap = 16 * 8;
  gcScratchAreaCap = 64;
  runWithBecomesAndPerm(3000);
  EXPECT_GT(numMarkStackOverflows, 0u);
  EXPECT_GT(numWeakObjectListOverflows, 0u);
}

TEST_F(Scavenge_Model, Scavenge_ModelFuzzUnderTheStressSwitch) {
  scavengeStressInterval = 1;
  eden.warningLimit = eden.start;
  run(1000);
  EXPECT_GT(numScavenges, 300u);
}

// ---- Tenuring -----------------------------------------------------------------------------------

class Scavenge : public ScavengeHeapTest {
 protected:
  // k rooted pointer objects of 10 slots (12 slots with the header), slot 0 their number.
  void rootObjects(uint64_t k) {
    for (uint64_t i = 0; i < k; i++) {
      oop o = newNewObject(testClasses.pointers, 10);
      bodyOf(headerOf(o))[0] = smallIntegerFor(int64_t(i));
      setRoot(i, o);
    }
  }
  uint64_t countOld(uint64_t k) {
    uint64_t n = 0;
    for (uint64_t i = 0; i < k; i++) {
      EXPECT_EQ(slotOf(rootAt(i), 0), smallIntegerFor(int64_t(i)));
      n += isOld(rootAt(i));
    }
    return n;
  }
};

// Past space holds u slots; the lowest (u - threshold) of them are tenured.
TEST_F(Scavenge, Scavenge_TenuresTheOldestSurvivorsBeyondTheThreshold) {
  struct Case { int64_t thresholdMinusUsed; uint64_t tenured; } cases[] = {
      {0, 0}, {100, 0}, {-1, 1}, {-12, 1}, {-13, 2}, {-60, 5}};
  for (const Case& c : cases) {
    makeHeap(1 << 18, 100);
    rootObjects(5);
    ASSERT_EQ(scavengeNewSpace(), 1);
    ASSERT_EQ(countOld(5), 0u);
    int64_t used = int64_t(pastSpace.top - pastSpace.start) / 8;
    ASSERT_EQ(used, 60);
    tenureThreshold = used + c.thresholdMinusUsed;
    ASSERT_EQ(scavengeNewSpace(), 1);
    EXPECT_EQ(countOld(5), c.tenured) << c.thresholdMinusUsed;
    for (uint64_t i = 0; i < c.tenured; i++) EXPECT_TRUE(isOld(rootAt(i))) << "the lowest are tenured first";
    EXPECT_HEAP_VALID();
  }
}

TEST_F(Scavenge, Scavenge_ShortFutureSpaceTenuresTheOverflow) {
  ArenaSizes sizes = testHeapSizes();
  sizes.survivorWords = 40;  // three objects of 12 slots fit
  makeHeap(1 << 18, 100, sizes);
  tenureThreshold = 1000;  // nothing is tenured by age
  rootObjects(8);
  ASSERT_EQ(scavengeNewSpace(), 1);
  EXPECT_EQ(countOld(8), 5u);
  EXPECT_EQ(pastSpace.top - pastSpace.start, 36u * 8);
}

TEST_F(Scavenge, Scavenge_ClassHeldOnlyByItsPageIsTenured) {
  ObjectHeader* cls = allocInNewSpace(testClasses.object, 3, 24, hasPtrsBit, nilOop());
  bodyOf(cls)[0] = classAt(testClasses.object);
  bodyOf(cls)[2] = smallIntegerFor(formatPointers);
  ASSERT_EQ(enterIntoClassTable(oopOf(cls)), 0u);
  uint32_t index = hashOf(cls);
  ObjectHeader* page = headerOf(slotOf(sysOop(sysClassTablePages), index >> 10));
  ASSERT_TRUE(inRt(page));
  ASSERT_EQ(scavengeNewSpace(), 1);
  oop moved = classAt(index);
  EXPECT_TRUE(isOld(moved));
  EXPECT_EQ(slotOf(moved, 2), smallIntegerFor(formatPointers));
  EXPECT_EQ(hashOf(headerOf(moved)), index);
  EXPECT_FALSE(inRt(page));
}

TEST_F(Scavenge, Scavenge_ExplicitScavengeWithoutRoomAnswersZero) {
  makeHeap(1 << 12, 100);
  uint64_t k = 0;
  while ((eden.allocPtr - eden.start) / 8 < slotsLeftInOldSpace() + 100) setRoot(k++ % rootSlots, newNewObject(testClasses.pointers, 200));
  uint64_t top = eden.allocPtr, scavenges = numScavenges;
  oop first = rootAt(0);
  for (int (*run)() : {flushEden, scavengeTenuringEveryone, flushNewSpace}) {
    int answer = run();
    EXPECT_EQ(answer, 0);  // for flushNewSpace too: eden is not flushed though past space is empty
    EXPECT_EQ(eden.allocPtr, top);
    EXPECT_EQ(numScavenges, scavenges);
    EXPECT_EQ(rootAt(0), first);
  }
}

TEST_F(Scavenge, Scavenge_LargeBodiesTenureWithinTheBudget) {
  std::vector<oop> large;
  for (uint64_t i = 0; i < 6; i++) {
    ObjectHeader* h = allocLargeByteObj(testClasses.bytes, 3000, 0, 0);
    ASSERT_EQ(sizeFieldOf(h), sizeFieldLarge);
    setRoot(i, oopOf(h));
  }
  largeSpace.tenureThresholdWords = largeSpace.table.freeWords + 800;
  int64_t budget = int64_t(largeSlotsToTenure());
  ASSERT_EQ(budget, 800);
  ASSERT_EQ(scavengeNewSpace(), 1);
  int64_t tenured = 0, objects = 0;
  for (uint64_t i = 0; i < 6; i++)
    if (isOld(rootAt(i))) tenured += int64_t(bodyWordsOf(headerOf(rootAt(i)))), objects++;
  EXPECT_GE(tenured, budget);
  EXPECT_LT(tenured - int64_t(bodyWordsOf(headerOf(rootAt(0)))), budget) << "only the last may overshoot";
  EXPECT_EQ(objects, 3);
}

// ---- Weak objects and ephemerons ------------------------------------------------------------

TEST_F(Scavenge, Scavenge_WeakSlotsOfDeadReferentsAreClearedAndTheHolderQueuedOnce) {
  for (bool oldHolder : {false, true}) {
    makeHeap(1 << 18, 100);
    oop live = newNewObject(testClasses.pointers, 1);
    setRoot(1, live);
    oop weak = oldHolder ? newOldObject(weakClass, 4) : newWeak(4);
    setRoot(0, weak);
    store(weak, 1, newNewObject(testClasses.pointers, 1));
    store(weak, 2, live);
    store(weak, 3, newNewObject(testClasses.pointers, 1));
    ASSERT_EQ(scavengeNewSpace(), 1);
    weak = rootAt(0);
    EXPECT_EQ(slotOf(weak, 1), sysOop(sysEmptySlotMarker));
    EXPECT_EQ(slotOf(weak, 2), rootAt(1));
    EXPECT_EQ(slotOf(weak, 3), sysOop(sysEmptySlotMarker));
    EXPECT_EQ(queued(), std::vector<oop>{weak}) << oldHolder;
    EXPECT_HEAP_VALID();
  }
}

// Also when the key is tenured while it is kept (flushNewSpace tenures everyone).
TEST_F(Scavenge, Scavenge_EphemeronWithKeyOnlyInItsValueIsQueuedAndKeepsBoth) {
  for (int c = 0; c < 4; c++) {
    bool oldEphemeron = c % 2 == 1;
    int (*run)() = c < 2 ? scavengeNewSpace : flushNewSpace;
    makeHeap(1 << 18, 100);
    oop key = newNewObject(testClasses.pointers, 1);
    oop value = newNewObject(testClasses.pointers, 1);
    store(value, 0, key);
    oop e = newEphemeron(key, value, oldEphemeron);
    setRoot(0, e);
    run();
    e = rootAt(0);
    ObjectHeader* h = headerOf(e);
    EXPECT_EQ(queued(), std::vector<oop>{e}) << c;
    EXPECT_FALSE(isGCSpecial(h));
    EXPECT_FALSE(hasFlag(h, ephemeronNotWeakBit));
    EXPECT_EQ(slotOf(slotOf(e, 1), 0), slotOf(e, 0)) << "key and value survive together";
    EXPECT_HEAP_VALID();
    ASSERT_EQ(scavengeNewSpace(), 1);
    EXPECT_EQ(queued().size(), 1u) << "queued once: it is an ordinary object now";
  }
}

// e[i]'s key is reachable only through e[i-1]'s value; e[0]'s key is rooted, so the fixpoint
// reaches every key and nothing is queued.
TEST_F(Scavenge, Scavenge_EphemeronChainsReachTheFixpoint) {
  for (bool reverse : {false, true}) {
    makeHeap(1 << 18, 100);
    const int n = 6;
    oop keys[n];
    for (int i = 0; i < n; i++) keys[i] = newNewObject(testClasses.pointers, 1);
    setRoot(0, keys[0]);
    for (int j = 0; j < n; j++) {
      int i = reverse ? n - 1 - j : j;
      oop value = i + 1 < n ? keys[i + 1] : nilOop();
      setRoot(uint64_t(1 + i), newEphemeron(keys[i], value, i % 2 == 1));
    }
    ASSERT_EQ(scavengeNewSpace(), 1);
    EXPECT_TRUE(queued().empty()) << reverse;
    for (int i = 0; i < n; i++) {
      oop e = rootAt(uint64_t(1 + i));
      EXPECT_TRUE(isEphemeron(headerOf(e)));
      if (i + 1 < n) {
        EXPECT_EQ(slotOf(e, 1), slotOf(rootAt(uint64_t(2 + i)), 0));
      }
    }
    EXPECT_EQ(slotOf(rootAt(1), 0), rootAt(0));
    EXPECT_HEAP_VALID();
  }
}

TEST_F(Scavenge, Scavenge_StrongModesClearAndQueueNothing) {
  for (int (*run)() : {flushEden, scavengeTenuringEveryone}) {
    makeHeap(1 << 18, 100);
    oop weak = newWeak(2);
    setRoot(0, weak);
    store(weak, 1, newNewObject(testClasses.pointers, 1));
    oop key = newNewObject(testClasses.pointers, 1);
    setRoot(1, newEphemeron(key, nilOop()));
    ASSERT_EQ(run(), 1);
    EXPECT_NE(slotOf(rootAt(0), 1), sysOop(sysEmptySlotMarker));
    EXPECT_TRUE(isEphemeron(headerOf(rootAt(1))));
    EXPECT_TRUE(queued().empty());
    EXPECT_HEAP_VALID();
  }
}

// A full queue that may not grow (no Semaphore) loses the ephemerons: they stay ephemerons,
// kept alive, and are found again once there is room.
TEST_F(Scavenge, Scavenge_FailedReservationQueuesNoneAndFindsThemAgain) {
  while (finalQueueWrite < finalQueueEnd) {
    *reinterpret_cast<oop*>(finalQueueWrite) = newOldObject(testClasses.pointers, 1);
    finalQueueWrite += 8;
  }
  for (uint64_t i = 0; i < 2; i++) setRoot(i, newEphemeron(newNewObject(testClasses.pointers, 1), nilOop()));
  ASSERT_EQ(scavengeNewSpace(), 1);
  EXPECT_EQ(finalQueueOverflow, 2);
  for (uint64_t i = 0; i < 2; i++) EXPECT_TRUE(isEphemeron(headerOf(rootAt(i))));
  finalQueueRead = finalQueueWrite;  // the image fetched everything
  finalQueueOverflow = 0;
  ASSERT_EQ(scavengeNewSpace(), 1);
  EXPECT_EQ(queued().size(), 2u);
  for (uint64_t i = 0; i < 2; i++) EXPECT_FALSE(isGCSpecial(headerOf(rootAt(i))));
}

// ---- Shrinking mode --------------------------------------------------------------------------

TEST_F(Scavenge, Scavenge_ShrinkingModeEmptiesAtLeastHalfTheTable) {
  ArenaSizes sizes = testHeapSizes();
  sizes.survivorWords = 256;
  makeHeap(1 << 18, 300, sizes);
  initScavenger(platformTenureThreshold);
  std::vector<oop> holders;
  while (!tenureToShrinkRememberedTable) {
    oop holder = newOldObject(testClasses.pointers, 1);
    store(holder, 0, newNewObject(testClasses.bytes, 8));
    holders.push_back(holder);
    ASSERT_LT(holders.size(), 400u);
  }
  EXPECT_TRUE(isRequested(requestScavenge));
  uint64_t before = (rt.ffs - rt.start) / 8;
  EXPECT_GT(before, (pastSpace.end - pastSpace.start) / 8);
  handleRequests();
  EXPECT_LE((rt.ffs - rt.start) / 8, before / 2);
  EXPECT_FALSE(tenureToShrinkRememberedTable);
  for (ObjectHeader* h = reinterpret_cast<ObjectHeader*>(pastSpace.start); oopOf(h) < pastSpace.top; h = nextNewSpaceHeader(h))
    EXPECT_EQ(h->flags & rtCountBits, 0u);
  for (oop holder : holders) EXPECT_FALSE(inRt(headerOf(holder)) && !isNewObject(slotOf(holder, 0)));
}

// ---- Incremental marking -----------------------------------------------------------------------

// While the incremental collector marks, what a marked holder reaches is marked when it is
// tenured, also through objects tenured on the way.
TEST_F(Scavenge, Scavenge_MarkingKeepsMarkedHoldersFromUnmarkedReferents) {
  incMarkStackOop = createOopStack();
  ASSERT_NE(incMarkStackOop, 0u);
  currentIncGCState = incGCMarking;
  oop marked = newOldObject(testClasses.pointers, 2), unmarked = newOldObject(testClasses.pointers, 1);
  setFlag(headerOf(marked), isMarkedBit);
  setRoot(0, marked);
  setRoot(1, unmarked);
  oop a = newNewObject(testClasses.pointers, 1), b = newNewObject(testClasses.pointers, 1);
  store(a, 0, b);
  store(marked, 0, a);
  store(marked, 1, newNewObject(testClasses.bytes, 8));
  store(unmarked, 0, newNewObject(testClasses.pointers, 1));
  ASSERT_EQ(scavengeTenuringEveryone(), 1);
  uint64_t checked = 0;
  writeBackOldSpace();
  for (OldSpaceSegment* s = oldSpaceSegs.first; s != nullptr; s = s->next)
    for (uint64_t e = s->otLow + 16; e <= s->otHigh; e += 16) {
      ObjectHeader* h = reinterpret_cast<ObjectHeader*>(e);
      if (classTagOf(h) == 0 || !isMarked(h) || !hasPtrs(h) || h->dataPtr == 0 || oopOf(h) == incMarkStackOop) continue;
      for (uint64_t i = 0; i < bodyWordsOf(h); i++) {
        oop v = bodyOf(h)[i];
        if (!isHeapObject(v) || isNewObject(v) || isPermObject(headerOf(v))) continue;
        EXPECT_TRUE(isMarked(headerOf(v))) << "marked " << std::hex << e << " slot " << i;
        checked++;
      }
    }
  EXPECT_GE(checked, 3u);
  EXPECT_TRUE(isMarked(headerOf(slotOf(slotOf(marked, 0), 0)))) << "reached through a tenured object";
  EXPECT_FALSE(isMarked(headerOf(slotOf(unmarked, 0))));
  currentIncGCState = incGCResting;
  clearOldMarks();
}

// ---- A loaded image ---------------------------------------------------------------------------

// The heap spanning every space (perm, past, large and fixed bodies, both remembered tables),
// written and loaded in process, stays the same graph and sound over scavenges that tenure
// some of it, with garbage allocated in between.
TEST(Scavenge_LoadedImage, StaysSoundOverScavenges) {
  SpanningHeap heap = buildSpanningHeap();
  std::string file = tempImagePath("scavenge.im");
  std::string why = writeHeapImage(file, loadNormal);
  iwFreeHeap();
  ASSERT_EQ(why, "");
  ASSERT_TRUE(loadImageInProcess(file));
  remove(file.c_str());
  EXPECT_EQ(verifyHeap(), "");
  for (int round = 0; round < 4; round++) {
    for (int i = 0; i < 50; i++) ASSERT_NE(allocInNewSpace(classIndexArray, 0, 64, hasPtrsBit, nilOop()), nullptr);
    tenureThreshold = round % 2 == 0 ? 0 : 7680;
    int (*run)() = round == 3 ? flushNewSpace : scavengeNewSpace;
    EXPECT_EQ(run(), 1);
    EXPECT_EQ(compareWithModel(loadedRoot(), heap.graph, 0), "") << round;
    EXPECT_EQ(verifyHeap(), "") << round;
  }
  EXPECT_EQ(pastSpace.top, pastSpace.start) << "flushNewSpace tenures everyone";
  freeLoadedKernel();
}

// ---- Primitives 308 and 309 ---------------------------------------------------------------------

int longCompDepth, longCompStarts;
void countStart(uint64_t) { longCompDepth++, longCompStarts++; }
void countFinish() { longCompDepth--; }

class Scavenge_Params : public ScavengeHeapTest {
 protected:
  uint32_t floatClass = 0;
  void (*savedStart)(uint64_t) = nullptr;
  void (*savedFinish)() = nullptr;
  void SetUp() override {
    ScavengeHeapTest::SetUp();
    initPrimitiveTable();
    initScavengePrims();
    floatClass = newTestClass(formatIndexable);
    sysOopRegistry[sysFloatClass] = classAt(floatClass);
    scavengeWarningThreshold = 1024;
    savedStart = pdStartLongComp, savedFinish = pdFinishLongComp;
    pdStartLongComp = countStart, pdFinishLongComp = countFinish;
    longCompDepth = longCompStarts = 0;
  }
  void TearDown() override {
    pdStartLongComp = savedStart, pdFinishLongComp = savedFinish;
    ScavengeHeapTest::TearDown();
  }
  oop boxed(double d) {
    oop f = newOldObject(floatClass, 8);
    memcpy(bodyOf(headerOf(f)), &d, 8);
    return f;
  }
  oop params(std::vector<oop> slots) {
    oop a = newOldObject(classIndexArray, slots.size());
    for (uint64_t i = 0; i < slots.size(); i++) store(a, i, slots[i]);
    return a;
  }
  static double floatValue(oop f) {
    double d;
    memcpy(&d, bodyOf(headerOf(f)), 8);
    return d;
  }
};

TEST_F(Scavenge_Params, Scavenge_SetParametersRejectsBadInputChangingNothing) {
  oop nil = nilOop();
  oop cases[] = {smallIntegerFor(1), params({nil, nil}), params({nil, smallIntegerFor(1), nil}),
                 params({nil, boxed(1.5), nil}), params({smallDoubleFor(1.5), nil, nil}),
                 params({nil, nil, boxed(std::nan(""))}), newOldObject(testClasses.pointers, 3)};
  uint64_t limit = eden.warningLimit;
  int64_t threshold = tenureThreshold;
  ImageLayout layout = imageLayout;
  for (oop arg : cases) {
    PrimOutcome r = callPrimitive(308, nilOop(), {arg});
    EXPECT_TRUE(r.failed);
    EXPECT_EQ(r.errorOop, primErrorAt(3));
    EXPECT_EQ(eden.warningLimit, limit);
    EXPECT_EQ(tenureThreshold, threshold);
    EXPECT_EQ(memcmp(&layout, &imageLayout, sizeof layout), 0);
  }
  EXPECT_EQ(longCompStarts, 0);
}

TEST_F(Scavenge_Params, Scavenge_SetParametersAppliesTheFractions) {
  uint64_t edenSlots = (eden.end - eden.start) / 8, pastSlots = (pastSpace.end - pastSpace.start) / 8;
  uint64_t largeSlots = (reinterpret_cast<uint64_t>(largeSpace.table.highest) + 40 - largeSpace.table.firstBlock->block) / 8;
  struct Case { double f; bool boxedForm; uint64_t limit; int64_t threshold; uint64_t large; uint32_t saved; } cases[] = {
      {0.5, false, eden.start + edenSlots / 2 * 8, int64_t(pastSlots / 2), largeSlots / 2, 5000},
      {-1.0, true, eden.end - 1024 * 8, 7680, 5000, 0},
      {1.0, false, eden.end, int64_t(pastSlots), 0, 10000},
      {0.25, true, eden.start + edenSlots / 4 * 8, int64_t(pastSlots / 4), largeSlots * 3 / 4, 2500},
  };
  for (const Case& c : cases) {
    oop f = c.boxedForm ? boxed(c.f) : smallDoubleFor(c.f);
    PrimOutcome r = callPrimitive(308, trueOop(), {params({f, f, f})});
    ASSERT_FALSE(r.failed) << c.f;
    EXPECT_EQ(r.result, trueOop());
    EXPECT_EQ(eden.warningLimit, c.limit) << c.f;
    EXPECT_EQ(tenureThreshold, c.threshold) << c.f;
    EXPECT_EQ(largeSpace.tenureThresholdWords, c.large) << c.f;
    EXPECT_EQ(imageLayout.edenWarningFraction, c.saved);
    EXPECT_EQ(imageLayout.tenureFraction, c.saved);
    EXPECT_EQ(imageLayout.largeTenureFraction, c.saved);
    EXPECT_EQ(longCompDepth, 0) << "long-computation hooks paired";
  }
  EXPECT_EQ(longCompStarts, 4) << "each change of the eden limit is a long computation";
  // nil slots leave their parameter alone
  uint64_t limit = eden.warningLimit;
  ASSERT_FALSE(callPrimitive(308, trueOop(), {params({nilOop(), smallDoubleFor(0.5), nilOop()})}).failed);
  EXPECT_EQ(eden.warningLimit, limit);
  EXPECT_EQ(tenureThreshold, int64_t(pastSlots / 2));
  EXPECT_EQ(imageLayout.edenWarningFraction, 2500u);
  EXPECT_EQ(longCompStarts, 4);
}

TEST_F(Scavenge_Params, Scavenge_GetParametersAnswersTheDefaults) {
  eden.warningLimit = eden.start;  // the current values play no part
  tenureThreshold = 3;
  PrimOutcome r = callPrimitive(309, nilOop(), {});
  ASSERT_FALSE(r.failed);
  double edenSlots = double((eden.end - eden.start) / 8), pastSlots = double((pastSpace.end - pastSpace.start) / 8);
  double largeSlots = double((reinterpret_cast<uint64_t>(largeSpace.table.highest) + 40 - largeSpace.table.firstBlock->block) / 8);
  double want[3] = {(edenSlots - 1024) / edenSlots, 7680 / pastSlots, (largeSlots - 5000) / largeSlots};
  ASSERT_EQ(bodyWordsOf(headerOf(r.result)), 3u);
  for (uint64_t i = 0; i < 3; i++) {
    EXPECT_EQ(classOf(slotOf(r.result, i)), classAt(floatClass));
    EXPECT_DOUBLE_EQ(floatValue(slotOf(r.result, i)), want[i]);
  }
}

}  // namespace
