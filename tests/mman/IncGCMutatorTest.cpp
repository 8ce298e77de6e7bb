// The incremental collector against a randomised program: quanta of random budgets with the
// program changing the heap between them, and a model of what the roots reach that every
// cycle's outcome is checked against.
#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "mman/incGCFixture.h"

namespace {

// A tracked object and the identity it carries in body word 3.
struct Node {
  oop o;
  int64_t id;
};

// The program's state between quanta, the model of the heap it keeps, and its steps. A node
// has four slots: links in 0-2, its identity in 3. Its class lets 467 make it weak (its slots
// all weak then) or 468 make it an ephemeron (slot 0 the key); the plain class allows neither,
// and class changes move nodes among the three. Big pointer objects (plain class) and byte
// objects hold their identity in body word 3 too.
class IncGC_Mutator : public IncGC {
 protected:
  uint32_t nodeClasses[3] = {};
  uint32_t bytesClass = 0;
  // Two hand-built frames on a segment of the stack zone: their receivers, arguments,
  // temporaries and stack words are roots. A second segment runs 108; emitted stores run on
  // a third. A global collection turns frames into contexts, so the frames are dropped before
  // one and built again after.
  std::vector<oop*> frameSlots;
  uint64_t* primSegment = nullptr;
  uint64_t* nativeSegment = nullptr;
  std::vector<Node> pool;
  int64_t nextId = 1;
  uint64_t seed = 88172645463325252ull;
  // Nodes the program dropped during the cycle: the sweep may free them and the program may
  // make new nodes in their entries before the cycle ends.
  std::set<int64_t> dropped;
  // How often each kind of step ran; the test requires every kind.
  uint64_t steps = 0, rtGrowths = 0, kindChanges = 0, collections = 0, recycled = 0, frameOnly = 0;
  uint64_t switchesKept = 0;
  uint64_t allocations[4] = {};  // big pointer, large bytes, fixed bytes, old bytes of 32776 and more
  uint64_t becomes[3] = {};      // 172, 72, 108
  uint64_t frameSteps[3] = {};   // stored into a frame, moved there from the heap, stored back from it
  bool blownAway = false;        // once per cycle run: more often and a cycle at one object a quantum never ends
  bool rtGrown = false;          // once per cycle run: the table grows by thousands of entries
#ifndef _WIN32
  std::optional<NativeStores> native;
  uint64_t nativeSteps[2][3] = {};  // instance-variable or indexed store; old, new or perm value
  std::set<uint8_t> nativeStates;   // the collector's states they ran in (steps run within a cycle)
#endif

  void TearDown() override {  // no segment of this test's zone, nor its server, outlives it
    if (serverReplaced) setRequestServer(requestUserPoll, savedServer);
    harnessFrameMethod = 0;
    initStackChains();
#ifndef _WIN32
    native.reset();
#endif
    IncGC::TearDown();
  }

  uint64_t rnd(uint64_t n) {
    seed ^= seed << 13, seed ^= seed >> 7, seed ^= seed << 17;
    return seed % n;
  }

  void makeClasses() {
    nodeClasses[0] = testClasses.pointers;
    nodeClasses[1] = newTestClass(formatPointers | formatIndexable | formatWeak);
    nodeClasses[2] = newTestClass(formatPointers | formatEphemeron | 4);
    bytesClass = newTestClass(formatIndexable);
    // 108 suspends the calling frame into a hybrid context, which a later replacement scan
    // finds dead and makes stable: both need their classes.
    for (uint32_t index : {uint32_t(classIndexHybridMethodContext), uint32_t(classIndexMethodContext)})
      putTestClassAt(index, formatPointers | formatIndexable | contextNamedSlots);
    keepClasses();
  }

  static inline FakeNMethod frameMethods[2];
  void makeFrameMethods() {
    makeNMethod(frameMethods[0], 2, nilOop(), 0);
    makeNMethod(frameMethods[1], 0, nilOop(), 0);
  }
  void buildFrames() {
    alignas(stackSegmentBytes) static uint64_t zone[4 * stackSegmentWords];
    initStacks(zone, 4);
    SegmentBuilder frames(stackAlloc(0));
    frames.frame(frameMethods[0], false, 2, 1);
    frames.frame(frameMethods[1], false, 1, 3);
    frames.finish();
    frameSlots = frames.segmentSlots();
    for (oop* s : frameSlots) *s = nilOop();
    nativeSegment = stackAlloc(0);
    primSegment = stackAlloc(0);  // the current one, as the primitives expect
    primSegment[shRootSender] = nilOop();
  }

  // ---- The model ----------------------------------------------------------------------

  // Body word 3 of an old object of a tracked class (0 for any other object).
  uint64_t idWord(oop o) const {
    if (!isHeapObject(o) || o == nilOop() || isNewObject(o)) return 0;
    const ObjectHeader* h = headerOf(o);
    uint32_t tag = classTagOf(h);
    bool tracked = tag == nodeClasses[0] || tag == nodeClasses[1] || tag == nodeClasses[2] || tag == bytesClass;
    if (!tracked || h->dataPtr == 0 || bodyBytesOf(h) < 32 || hasPtrs(h) != (tag != bytesClass)) return 0;
    return bodyOf(h)[3];
  }
  bool intact(const Node& n) const { return !freed(n.o) && idWord(n.o) == smallIntegerFor(n.id); }
  bool isTracked(oop o) const { return isSmallInteger(idWord(o)); }
  bool isNode(oop o) const { return isTracked(o) && hasPtrs(headerOf(o)) && bodyWordsOf(headerOf(o)) == 4; }
  bool isBig(oop o) const { return isTracked(o) && hasPtrs(headerOf(o)) && bodyWordsOf(headerOf(o)) > 4; }

  // A tracked object joins the pool; one whose entry the collector freed and the program
  // took again (what only the mutator dropped may go before its cycle ends) leaves it.
  oop track(oop o) {
    if (hasPtrs(headerOf(o))) store(o, 3, smallIntegerFor(nextId));
    else bodyOf(headerOf(o))[3] = smallIntegerFor(nextId);
    forget(o);
    pool.push_back({o, nextId++});
    return o;
  }
  void forget(oop o) {
    pool.erase(std::remove_if(pool.begin(), pool.end(), [o](const Node& n) { return n.o == o; }), pool.end());
  }

  // A node links to up to two earlier ones, so that the roots reach deep graphs; most are plain.
  oop make(const std::vector<oop>& linkable) {
    oop o = newOldObject(nodeClasses[rnd(4) < 2 ? 0 : 1 + rnd(2)], 4);
    for (uint64_t i = 0; i < 2 && !linkable.empty(); i++)
      if (rnd(3) != 0) store(o, i, linkable[rnd(linkable.size())]);
    return track(o);
  }

  // Every allocation route besides the nodes: a pointer body of 32776 bytes or more (through
  // new space or straight into old space), a body in large space, one in fixed space, and an
  // old byte body of 32776 bytes or more. Answers 0 when the space is full. One big pointer
  // object alive at a time is enough: the verifier reads every slot after every step.
  oop allocate(const std::vector<oop>& linkable, uint64_t bigsAlive) {
    uint64_t kind = rnd(4);
    ObjectHeader* h = nullptr;
    switch (kind) {
      case 0: {
        if (bigsAlive >= 1) return 0;
        uint64_t words = 4097 + rnd(300);
        h = rnd(2) != 0 ? allocLargePointerObj(nodeClasses[0], 0, words * 8, hasPtrsBit, nilOop())
                        : headerOf(newOldObject(nodeClasses[0], words));
        if (h == nullptr) return 0;
        for (uint64_t i : {uint64_t(0), rnd(words), words - 1})
          if (i != 3) store(oopOf(h), i, linkable[rnd(linkable.size())]);
        break;
      }
      case 1: h = allocLargeByteObj(bytesClass, 2049 + rnd(6000), 0, 0); break;
      case 2: h = allocVSObjInFixedSpace(classAt(bytesClass), 32 + rnd(200)); break;
      case 3: h = allocInOldSpace(bytesClass, 0, 32776 + rnd(100), 0, 0, 0); break;
    }
    if (h == nullptr) return 0;
    allocations[kind]++;
    return isNewObject(oopOf(h)) ? oopOf(h) : track(oopOf(h));
  }

  // What the roots (the root Array, the frames) and the finalization queue reach; weak slots
  // count only when asked.
  std::vector<oop> reachableFrom(bool weakSlotsToo, bool framesToo) {
    std::vector<oop> seen, work = queued();
    work.push_back(sysOop(rootX));
    if (framesToo)
      for (oop* s : frameSlots) work.push_back(*s);
    std::set<oop> met;
    while (!work.empty()) {
      oop o = work.back();
      work.pop_back();
      if (!isHeapObject(o) || o == nilOop() || !met.insert(o).second) continue;
      seen.push_back(o);
      const ObjectHeader* h = headerOf(o);
      uint64_t n = hasPtrs(h) ? bodyWordsOf(h) : 0;
      if (n != 0 && isGCSpecial(h) && !isEphemeron(h) && !weakSlotsToo) {
        uint64_t named = indexabilityOf(h);
        n = named != indexabilityAskClass ? named : formatNamedSlots(classFormatOf(classOfHeader(h)));
      }
      for (uint64_t i = 0; i < n; i++) work.push_back(slotOf(o, i));
    }
    return seen;
  }
  std::vector<oop> reachable(bool weakSlotsToo) { return reachableFrom(weakSlotsToo, true); }
  std::vector<oop> nodesIn(const std::vector<oop>& objects, bool big = false) const {
    std::vector<oop> nodes;
    for (oop o : objects)
      if (big ? isBig(o) : isNode(o)) nodes.push_back(o);
    return nodes;
  }

  // A full collection moves headers: pool entries follow their identities, and those it freed
  // leave the pool.
  void afterCollection() {
    std::vector<std::pair<int64_t, oop>> byId;
    for (oop o : reachable(true))
      if (isTracked(o)) byId.push_back({smallIntegerValue(idWord(o)), o});
    std::sort(byId.begin(), byId.end());
    std::vector<Node> kept;
    for (const Node& n : pool) {
      auto it = std::lower_bound(byId.begin(), byId.end(), std::make_pair(n.id, oop(0)));
      if (it != byId.end() && it->first == n.id) kept.push_back({it->second, n.id});
    }
    pool.swap(kept);
  }

  // ---- The program's steps ------------------------------------------------------------
  // Each takes what the roots reach (live, and the nodes among it) and the slot it may store
  // into (a node's link or a root slot).

  // Old holders of new objects, every fiftieth hung under the target in turn, until the table grows.
  void growRememberedTable(oop target, uint64_t slot) {
    if (rtGrown || rnd(4) != 0) return;
    rtGrown = true;
    ASSERT_TRUE(scavengeNewSpace());
    uint64_t end = rt.end;
    for (uint64_t i = 0; rt.end == end; i++) {
      oop holder = oldArray(1);
      ASSERT_NE(holder, 0u);
      store(holder, 0, newNewObject(testClasses.pointers, 1));
      if (i % 50 == 0) store(target, slot, holder);
    }
    rtGrowths++;
  }

  // Become: a node and another node, a fresh one, a big, large or fixed one, or a new one.
  void become(const std::vector<oop>& live, const std::vector<oop>& nodes) {
    if (nodes.empty()) return;
    std::vector<oop> others = nodesIn(live, true);
    for (oop o : live)
      if (isTracked(o) && !hasPtrs(headerOf(o))) others.push_back(o);
    oop a = nodes[rnd(nodes.size())], b;
    bool young = false;
    switch (rnd(4)) {
      case 0: b = make(live); break;
      case 1:
        if (others.empty()) return;
        b = others[rnd(others.size())];
        break;
      case 2:
        b = newNewObject(nodeClasses[rnd(2)], 4), young = true;
        store(b, 0, live[rnd(live.size())]);
        break;
      default: b = nodes[rnd(nodes.size())]; break;
    }
    if (a == b) return;
    // Perm space is a root whatever refers to it: a perm object that 108 leaves unreferenced
    // would keep what it holds, which the model does not follow.
    uint64_t form = rnd(isPermObject(headerOf(a)) ? 2 : 3);
    PrimOutcome o = form == 0   ? callPrimitive(172, nilOop(), {a, b})
                    : form == 1 ? callPrimitive(72, a, {b})
                                : callPrimitiveOn(primSegment, 108, a, {b});
    ASSERT_FALSE(o.failed) << "become form " << form;
    if (form == 2) {  // every reference to a now refers to b; the harness's frame goes
      primSegment[shSp] = reinterpret_cast<uint64_t>(primSegment + shRootReturn);
      primSegment[shFp] = reinterpret_cast<uint64_t>(primSegment + shRootFp);
    } else if (young) {  // a's identity went into new space, where the pool does not follow it
      forget(a);
    } else {
      for (Node& n : pool) n.o = n.o == a ? b : n.o == b ? a : n.o;
    }
    becomes[form]++;
  }

  // Weak or ephemeron on and off (467, 468), or a class change (535, 536).
  void changeKind(const std::vector<oop>& nodes) {
    if (nodes.empty()) return;
    oop n = nodes[rnd(nodes.size())];
    bool on = rnd(2) != 0;
    PrimOutcome o = classTagOf(headerOf(n)) == nodeClasses[1]   ? callPrimitive(467, n, {booleanOop(on)})
                    : classTagOf(headerOf(n)) == nodeClasses[2] ? callPrimitive(468, n, {booleanOop(on)})
                    : rnd(2) != 0 ? callPrimitive(536, classAt(nodeClasses[1 + rnd(2)]), {n})
                                  : callPrimitive(535, n, {nodes[rnd(nodes.size())]});
    kindChanges += !o.failed;
    if (rnd(4) == 0) callPrimitive(536, classAt(nodeClasses[rnd(3)]), {n});  // back, where the shape allows
  }

  void collectAll() {
    if (rnd(4) != 0) return;
    initStackChains();
    frameSlots.clear();
    ASSERT_EQ(collectGarbage(int(rnd(2))), 1);
    buildFrames();
    afterCollection();
    collections++;
  }

  // A root held by a frame, moved there from the heap, or stored back.
  void moveThroughFrames(const std::vector<oop>& live, oop target, uint64_t slot) {
    oop* f = frameSlots[rnd(frameSlots.size())];
    uint64_t how = rnd(3);
    if (how == 0) *f = rnd(4) == 0 ? nilOop() : live[rnd(live.size())];
    else if (how == 1) *f = slotOf(target, slot), store(target, slot, nilOop());
    else store(target, slot, *f), *f = rnd(2) != 0 ? nilOop() : *f;
    frameSteps[how]++;
  }

  // Stores into a big object, wherever its scan is.
  void storeIntoBig(const std::vector<oop>& live) {
    std::vector<oop> bigs = nodesIn(live, true);
    if (bigs.empty()) return;
    oop big = bigs[rnd(bigs.size())];
    uint64_t i = rnd(bodyWordsOf(headerOf(big)));
    if (i != 3) store(big, i, rnd(4) == 0 ? make(live) : live[rnd(live.size())]);
  }

  // recycleObj of an object the program dropped and nothing refers to.
  void recycleDropped() {
    if (pool.empty()) return;
    std::vector<oop> everything = reachable(true);
    std::set<oop> held(everything.begin(), everything.end());
    for (int tries = 0; tries < 8; tries++) {  // a heap scan each: a few at random
      size_t i = rnd(pool.size());
      oop o = pool[i].o;
      if (held.count(o) || !intact(pool[i]) || isPermObject(headerOf(o))) continue;
      if (scanReferentsOf(o, oopInObj, nullptr, nullptr) != 0) continue;
      pool.erase(pool.begin() + int64_t(i));
      recycleObj(o);
      recycled++;
      return;
    }
  }

#ifndef _WIN32
  // Through the emitted code: into the target, a perm node or a big object.
  void storeNatively(const std::vector<oop>& live, oop target, uint64_t slot) {
    oop holder = target;
    uint64_t i = slot;
    bool byIndex = rnd(2) != 0;
    std::vector<oop> bigs = nodesIn(live, true);
    if (rnd(4) == 0) {
      holder = rootAt(20 + rnd(4)), i = rnd(3);
    } else if (!bigs.empty() && rnd(3) == 0) {
      holder = bigs[rnd(bigs.size())], i = rnd(bodyWordsOf(headerOf(holder)));
      if (i == 3) return;
    }
    oop value;
    switch (rnd(3)) {
      case 0: value = live[rnd(live.size())]; break;
      case 1:
        value = newNewObject(testClasses.pointers, 4);
        store(value, 0, live[rnd(live.size())]);
        break;
      default: value = rootAt(20 + rnd(4)); break;
    }
    native->store(nativeSegment, holder, i, value, byIndex);
    ASSERT_EQ(slotOf(holder, i), value) << "the emitted store";
    bool perm = isPermObject(headerOf(value));
    nativeSteps[byIndex || i >= NativeStores::instVarSlots][isNewObject(value) ? 1 : perm ? 2 : 0]++;
    nativeStates.insert(currentIncGCState);
  }
#endif

  // One step of the program, of a kind picked at random, then the verifier.
  void mutate() {
    if (++steps % 2 != 0 || pool.size() > 3000) return;  // the program runs slower than the collector
    std::vector<oop> live = reachable(false), nodes = nodesIn(live);
    {
      std::set<oop> liveSet(live.begin(), live.end());
      for (const Node& n : pool)
        if (!liveSet.count(n.o)) dropped.insert(n.id);
    }
    oop target = nodes.empty() || rnd(8) == 0 ? sysOop(rootX) : nodes[rnd(nodes.size())];
    uint64_t slot = target == sysOop(rootX) ? rnd(16) : rnd(3);
    uint64_t kind = rnd(20);
    switch (kind) {
      case 0: store(target, slot, nilOop()); break;
      case 1: store(target, slot, make(live)); break;
      case 2: {
        oop young = newNewObject(testClasses.pointers, 4);
        store(young, 0, live[rnd(live.size())]);
        store(target, slot, young);
        break;
      }
      case 3: ASSERT_TRUE(scavengeNewSpace()); break;
      case 4: compact(); break;
      case 5:
        if (!blownAway && rnd(20) == 0) blowAwayIncGC(), blownAway = true;
        break;
      case 6: store(rootAt(16 + rnd(4)), 1 + rnd(8), live[rnd(live.size())]); break;
      case 7: growRememberedTable(target, slot); break;
      case 8: become(live, nodes); break;
      case 9:
      case 10: changeKind(nodes); break;
      case 11: collectAll(); break;
      case 12:
      case 13: moveThroughFrames(live, target, slot); break;
      case 14: {  // every kind of allocation, hung under the target
        if (rnd(3) != 0) break;
        oop o = allocate(live, nodesIn(live, true).size());
        if (o != 0) store(target, slot, o);
        break;
      }
      case 15: storeIntoBig(live); break;
      case 16: recycleDropped(); break;
#ifndef _WIN32
      case 17: storeNatively(live, target, slot); break;
#endif
      default: store(target, slot, live[rnd(live.size())]); break;
    }
    if (HasFatalFailure()) return;
    ASSERT_EQ(verifyHeap(), "") << "step " << steps << " of kind " << kind << " in state " << currentIncGCState;
  }

  // ---- Quanta and cycles --------------------------------------------------------------

  RequestServer savedServer = nullptr;
  bool serverReplaced = false;
  // An interrupt whose server makes a higher-priority process ready.
  void replaceUserPollServer() {
    savedServer = requestServers[requestUserPoll];
    serverReplaced = true;
    setRequestServer(requestUserPoll, [] { setRequest(requestProcessSwitch); });
  }

  // One quantum of a random budget, sometimes interruptible and cut short by an interrupt
  // whose server makes a higher-priority process ready.
  int quantum(uint64_t work) {
    int interruptible = int(rnd(2));
    bool interrupt = interruptible && rnd(3) == 0;
    uint8_t before = currentIncGCState;
    if (interrupt) setRequest(requestUserPoll);
    int done = incMarkSweep(interruptible, 1 + rnd(2 * work), rnd(4) == 0 ? 1 + rnd(4096) : all);
    if (scavengeStressInterval == 0) { EXPECT_EQ(verifyHeap(), "") << "after a quantum"; }  // else it verified
    if (interrupt && before == incGCMarking) {
      EXPECT_EQ(currentIncGCState, incGCMarking) << "a switch request ends the mark quantum";
      switchesKept += currentIncGCState == incGCMarking;
    }
    clearRequest(requestUserPoll);
    clearRequest(requestProcessSwitch);  // the switch was served
    anyAck.store(anyReq.load());
    return done;
  }

  // What earlier cycles left, and more: mostly hung under live nodes.
  void growGraph() {
    std::vector<oop> live = reachable(false);
    for (int i = 0; i < 400; i++) {
      oop o = make(live), holder = live[rnd(live.size())];
      if (!isNode(holder) || rnd(8) == 0) setRoot(rnd(16), o);
      else store(holder, 2, o);
      live.push_back(o);
    }
  }

  // One whole cycle with the program between its quanta; then everything the roots reach is
  // intact, and what nothing reached when the cycle began is gone.
  void runMutatedCycle(uint64_t work) {
    blownAway = rtGrown = false;
    growGraph();
    ASSERT_TRUE(flushNewSpace());  // no new object holds garbage alive when the cycle begins
    // Objects freed in the last cycle, whose entries may hold other objects now, leave the pool.
    pool.erase(std::remove_if(pool.begin(), pool.end(), [&](const Node& n) { return !intact(n); }), pool.end());
    std::vector<oop> before = reachable(true);
    std::set<oop> beforeSet(before.begin(), before.end());
    std::set<int64_t> garbage;
    for (const Node& n : pool)
      if (!beforeSet.count(n.o) && intact(n) && !isPermObject(headerOf(n.o))) garbage.insert(n.id);
    dropped.clear();
    uint64_t quanta = 0;
    while (!quantum(work) && ++quanta < 100000 && !HasFailure()) {
      mutate();
      if (HasFatalFailure()) return;
    }
    if (HasFailure()) return;
    ASSERT_EQ(currentIncGCState, incGCResting);
    std::vector<oop> live = reachable(false), heapOnly = reachableFrom(false, false);
    std::set<oop> liveSet(live.begin(), live.end()), heapOnlySet(heapOnly.begin(), heapOnly.end());
    for (const Node& n : pool) {
      bool isLive = liveSet.count(n.o) != 0;
      bool wasGarbage = garbage.count(n.id) != 0;
      if (isLive && !wasGarbage && !dropped.count(n.id)) {
        ASSERT_FALSE(freed(n.o)) << "id " << n.id;
        ASSERT_EQ(idWord(n.o), smallIntegerFor(n.id));
        frameOnly += !heapOnlySet.count(n.o);
      }
      if (wasGarbage) {
        EXPECT_FALSE(intact(n)) << "garbage id " << n.id;
      }
    }
    EXPECT_EQ(marksInOldSpace(), 0u);
    EXPECT_HEAP_VALID();
  }
};

// The program runs between quanta of random budgets, some of them interruptible and cut short
// by a process switch that an interrupt's server asks for: it makes nodes, moves references
// among them (into weak arrays too; natively, through the code the translator emits, where
// native runs are built), drops roots, makes new objects and objects of every
// allocation route (bodies of 32776 bytes and more, large and fixed bodies), fills the
// remembered table until it grows, scavenges, compacts, exchanges objects (172, 72, 108 over
// old, perm, new and freshly made ones), turns nodes weak or ephemerons and back (467, 468,
// class changes), frees dropped objects at once (recycleObj), keeps roots only in hand-built
// frames, runs full collections (138, 406) and once brings the collector to rest. The
// verifier runs after every step. After each cycle everything the roots reach is intact (its
// identity word unchanged), and what nothing reached when the cycle began, not even a weak
// slot, is gone.
TEST_F(IncGC_Mutator, BetweenQuanta) {
  initFinalizationPrims();
  initObjectPrims();
  initBecomePrims();
  makeClasses();
  makeFrameMethods();
  buildFrames();
  harnessFrameMethod = nilOop();
  for (uint64_t i = 16; i < 20; i++) setRoot(i, oldWeak(8));  // what they alone hold dies
  // Perm nodes in root slots 20-23: stores into them, exchanges with them, kind changes.
  for (uint64_t i = 20; i < 24; i++) {
    ObjectHeader* h = allocInPermSpace(nodeClasses[0], 0, 32, hasPtrsBit, nilOop());
    ASSERT_NE(h, nullptr);
    setRoot(i, track(oopOf(h)));
  }
#ifndef _WIN32
  native.emplace();
#endif
  replaceUserPollServer();
  // Plain, then with the stress switch at 1: the verifier runs after every quantum and around
  // every scavenge, and every new-space allocation asks for a scavenge.
  for (uint64_t stress : {0, 1})
    for (uint64_t work : {uint64_t(1), uint64_t(7), uint64_t(40)})
      for (int cycle = 0; cycle < 4; cycle++) {
        if (stress != 0 && work == 1) continue;  // a verified heap at every object costs minutes under ASan
        SCOPED_TRACE("stress " + std::to_string(stress) + ", work " + std::to_string(work) + ", cycle " +
                     std::to_string(cycle));
        if (stress != 0) {  // as the variable sets it at start-up
          scavengeStressInterval = stress;
          eden.warningLimit = eden.start;
        }
        runMutatedCycle(work);
        if (HasFailure()) return;
      }
  // Each kind of step ran.
  EXPECT_GT(rtGrowths, 0u);
  for (uint64_t n : becomes) EXPECT_GT(n, 0u);
  EXPECT_GT(kindChanges, 0u);
  EXPECT_GT(collections, 0u);
  EXPECT_GT(switchesKept, 0u);
  EXPECT_GT(recycled, 0u);
  for (uint64_t n : frameSteps) EXPECT_GT(n, 0u);
  EXPECT_GT(frameOnly, 0u) << "a cycle ended with live objects that only a frame held";
  for (uint64_t n : allocations) EXPECT_GT(n, 0u);
#ifndef _WIN32
  for (auto& forms : nativeSteps)
    for (uint64_t n : forms) EXPECT_GT(n, 0u);
  for (uint8_t state : {incGCMarking, incGCSweeping}) EXPECT_TRUE(nativeStates.count(state)) << state;
#endif
}

}  // namespace
