// The input event queue: its edge cases as a table of event sequences, the registration and
// reading primitives' refusals, and a seeded random run of appends, expose merges,
// re-registrations and reads against a list model of the pending events and their signals.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <deque>
#include <random>
#include <vector>

#include "ext/exRequest.h"
#include "ext/platform.h"
#include "mman/mmAllocate.h"
#include "mman/mmSysOop.h"
#include "mman/testHeap.h"
#include "prim/prInQueue.h"
#include "prim/prStartup.h"
#include "support/ioKernel.h"

namespace {

enum : int64_t { keyDown = 1, keyUp = 2, expose = 8, noEvent = 0 };

// An event as the reader sees it, and as the model keeps it.
struct Event {
  int64_t type;
  uint64_t window, second;
  int32_t x, y, w, h, fifth;
  int64_t extra1, extra2;
  uint8_t blobByte;  // every byte of the blob
  bool operator==(const Event&) const = default;
};

class InQueue : public testing::Test {
 protected:
  oop receiver = 0, semaphore = 0, reader = 0;
  void SetUp() override {
    newIOTestHeap();
    initInput();
    receiver = newOldObject(testClasses.threeSlots, 3);
    bodyOf(headerOf(receiver))[0] = newOldObject(testClasses.bytes, 8);
    semaphore = newSemaphore();
    reader = newEventArray();
  }
  void TearDown() override {
    clearRequest(requestInput);
    freeTestHeap();
  }
  PrimOutcome registerSemaphore(oop s) { return callPrimitive(913, receiver, {s}); }
  static void append(const Event& e) {
    const int32_t fields[5] = {e.x, e.y, e.w, e.h, e.fifth};
    const oop pair[2] = {smallIntegerFor(e.extra1), smallIntegerFor(e.extra2)};
    std::vector<uint8_t> blob(inputQueue.eventSize, e.blobByte);
    extendedQueueTypedEvent(nullptr, smallIntegerFor(e.type), e.window, e.second, fields, pair, blob.data());
  }
  static oop newEventArray(uint64_t slots = 11) {
    oop a = oopOf(allocVSObj(sysOop(sysArrayClass), slots));
    bodyOf(headerOf(a))[9] = newOldObject(testClasses.bytes, inputQueue.eventSize);
    return a;
  }
  // The next event, or false (answered false).
  bool next(Event* out) {
    oop a = reader;
    for (uint64_t i = 0; i < 11; i++)
      if (i != 9) bodyOf(headerOf(a))[i] = nilOop();
    PrimOutcome r = callPrimitive(914, receiver, {a});
    EXPECT_FALSE(r.failed);
    if (r.result != trueOop()) return false;
    const uint8_t* blob = reinterpret_cast<const uint8_t*>(bodyOf(headerOf(slotOf(a, 9))));
    for (uint32_t i = 1; i < inputQueue.eventSize; i++) EXPECT_EQ(blob[i], blob[0]);
    auto n = [a](int i) { return smallIntegerValue(slotOf(a, uint64_t(i))); };
    *out = {n(0), uint64_t(n(1)), uint64_t(n(8)), int32_t(n(2)), int32_t(n(3)), int32_t(n(4)), int32_t(n(5)),
            int32_t(n(6)), n(7), n(10), blob[0]};
    return true;
  }
  std::vector<Event> drain() {
    std::vector<Event> out;
    Event e;
    while (next(&e)) out.push_back(e);
    return out;
  }
  static int ringPages() {
    int n = 1;
    for (EventQueuePage* p = inputQueue.writePage->next; p != inputQueue.writePage; p = p->next) n++;
    return n;
  }
};

Event key(uint64_t window, int32_t x) { return {keyDown, window, 7, x, 0, 0, 0, 0, 0, 0, uint8_t(x)}; }
Event exposeOf(uint64_t window, int32_t x, int32_t y, int32_t w, int32_t h) {
  return {expose, window, 0, x, y, w, h, 0, 0, 0, 0};
}
Event merged(Event e) { return e.type = noEvent, e; }

TEST_F(InQueue, EdgeCases) {
  Event a = exposeOf(1, 0, 0, 10, 10), b = exposeOf(1, 5, 5, 10, 10), u = exposeOf(1, 0, 0, 15, 15);
  Event other = exposeOf(2, 1, 1, 1, 1);
  Event far = exposeOf(1, -5, 20, 3, 3), spans = exposeOf(1, -5, 0, 20, 23);
  Event huge = exposeOf(3, 0x7FFFFFF0, 0, 0x10, 1), wide = exposeOf(3, 0, 0, 1, 1);
  struct Case {
    const char* name;
    std::vector<Event> in, out;
  } cases[] = {
      {"two exposes merge", {a, b}, {merged(a), u}},
      {"another window's expose between", {a, other, b}, {merged(a), other, u}},
      {"other windows never merge", {a, other}, {a, other}},
      {"only the first pending one merges", {a, b, far}, {merged(a), merged(u), spans}},
      {"keys pass through", {key(1, 1), a, key(1, 2)}, {key(1, 1), a, key(1, 2)}},
      {"sums wrap at 32 bits", {huge, wide}, {merged(huge), wide}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_FALSE(registerSemaphore(semaphore).failed);
    for (const Event& e : c.in) append(e);
    EXPECT_EQ(drain(), c.out);
  }
}

// Before any Semaphore nothing is read and events are counted; registering drops them all,
// and each later event signals once; nil stops the signals and keeps the events.
TEST_F(InQueue, RegistrationDropsAndSignals) {
  Event e;
  for (int i = 0; i < 3; i++) append(key(1, i));
  EXPECT_FALSE(next(&e));
  EXPECT_EQ(inputQueue.unsignalledEvents, 3);
  uint32_t requestedBefore = requested[requestInput];
  EXPECT_EQ(registerSemaphore(semaphore).result, semaphore);
  EXPECT_EQ(requested[requestInput], requestedBefore + 1) << "input synchronisation posted";
  EXPECT_EQ(sysOop(uint32_t(inputSemaphoreX)), semaphore);
  EXPECT_FALSE(next(&e)) << "dropped";
  append(key(1, 9));
  EXPECT_EQ(excessSignals(semaphore), 1);
  EXPECT_EQ(registerSemaphore(nilOop()).result, nilOop());
  EXPECT_EQ(sysOop(uint32_t(inputSemaphoreX)), nilOop());
  append(key(1, 10));
  EXPECT_EQ(excessSignals(semaphore), 1);
  EXPECT_EQ(drain(), (std::vector<Event>{key(1, 9), key(1, 10)}));
  registerSemaphore(semaphore);
  EXPECT_EQ(requested[requestInput], requestedBefore + 2);
  registerSemaphore(semaphore);
  EXPECT_EQ(requested[requestInput], requestedBefore + 2) << "posted only when none was registered";
}

TEST_F(InQueue, RefusalsLeaveQueueAndArray) {
  ASSERT_FALSE(registerSemaphore(semaphore).failed);
  append(key(1, 1));
  oop shortArray = newEventArray(10), bytes = newOldObject(testClasses.bytes, 88);
  oop immutable = newEventArray();
  setFlag(headerOf(immutable), isImmutableBit);
  oop pointerFirst = newOldObject(testClasses.threeSlots, 3), nilFirst = newOldObject(testClasses.threeSlots, 3);
  bodyOf(headerOf(pointerFirst))[0] = newOldObject(testClasses.threeSlots, 3);
  struct Case {
    uint32_t number;
    oop receiver, argument;
    int code;
  } cases[] = {
      {913, receiver, newEventArray(), 3}, {913, receiver, smallIntegerFor(1), 3},
      {913, pointerFirst, semaphore, 4},   {913, nilFirst, semaphore, 4},
      {913, smallIntegerFor(1), semaphore, 4},
      {914, receiver, shortArray, 3},      {914, receiver, bytes, 3},
      {914, receiver, nilOop(), 3},        {914, pointerFirst, newEventArray(), 4},
      {914, receiver, immutable, 23},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.number << " failing " << c.code);
    EXPECT_EQ(failureOf(callPrimitive(c.number, c.receiver, {c.argument})).code, c.code);
  }
  for (uint64_t i = 0; i < 10; i++) EXPECT_EQ(slotOf(shortArray, i), i == 9 ? slotOf(shortArray, 9) : nilOop());
  Event e;
  ASSERT_TRUE(next(&e)) << "the event is still queued";
  EXPECT_EQ(e, key(1, 1));
  oop empty = newEventArray();
  EXPECT_EQ(callPrimitive(914, receiver, {empty}).result, falseOop());
  for (uint64_t i = 0; i < 9; i++) EXPECT_EQ(slotOf(empty, i), nilOop()) << "untouched";
  EXPECT_EQ(callPrimitive(915, receiver, {}).result, smallIntegerFor(int64_t(pdSizeOfEvent() + 7) / 8 * 8));
}

// The unsigned values past the SmallInteger range, the three entry points, and a slot 9 that
// is no byte object or shorter than the blob.
TEST_F(InQueue, EntryPointsAndSlots) {
  ASSERT_FALSE(registerSemaphore(semaphore).failed);
  const int32_t fields[5] = {1, 2, 3, 4, 5};
  uint8_t blob[192];
  for (int i = 0; i < 192; i++) blob[i] = uint8_t(i);
  queueTypedEvent(nullptr, smallIntegerFor(6), ~uint64_t(0), uint64_t(1) << 62, fields, smallIntegerFor(-4), blob);
  extendedQueueNewAscii(nullptr, 5, 6, 1, 2, 3, 4, 1, 5, smallIntegerFor(8), smallIntegerFor(9), nullptr);
  extendedQueueNewAscii(nullptr, 5, 6, 1, 2, 3, 4, 0, 5, smallIntegerFor(8), smallIntegerFor(9), nullptr);
  extendedQueueTypedEvent(nullptr, smallIntegerFor(3), 1, 1, nullptr, nullptr, nullptr);

  oop a = newEventArray();
  oop shortBlob = newOldObject(testClasses.bytes, 5);
  bodyOf(headerOf(a))[9] = shortBlob;
  ASSERT_EQ(callPrimitive(914, receiver, {a}).result, trueOop());
  EXPECT_EQ(slotOf(a, 0), smallIntegerFor(6));
  ASSERT_FALSE(isImmediate(slotOf(a, 1)));
  EXPECT_EQ(classTagOf(headerOf(slotOf(a, 1))), classIndexLargePositiveInteger);
  EXPECT_EQ(*reinterpret_cast<uint64_t*>(bodyOf(headerOf(slotOf(a, 1)))), ~uint64_t(0));
  EXPECT_EQ(classTagOf(headerOf(slotOf(a, 8))), classIndexLargePositiveInteger);
  for (int i = 2; i <= 6; i++) EXPECT_EQ(slotOf(a, uint64_t(i)), smallIntegerFor(i - 1));
  EXPECT_EQ(slotOf(a, 7), smallIntegerFor(-4));
  EXPECT_EQ(slotOf(a, 10), smallIntegerFor(0));
  EXPECT_EQ(memcmp(bodyOf(headerOf(shortBlob)), blob, 5), 0);
  EXPECT_EQ(reinterpret_cast<uint8_t*>(bodyOf(headerOf(shortBlob)))[5], 0) << "nothing past its bytes";

  Event e;
  ASSERT_TRUE(next(&e));
  EXPECT_EQ(e, (Event{keyDown, 5, 6, 1, 2, 3, 4, 5, 8, 9, 0}));
  ASSERT_TRUE(next(&e));
  EXPECT_EQ(e.type, keyUp);
  bodyOf(headerOf(a))[9] = smallIntegerFor(77);
  ASSERT_EQ(callPrimitive(914, receiver, {a}).result, trueOop());
  EXPECT_EQ(slotOf(a, 9), smallIntegerFor(77)) << "no byte object: left as it was";
  for (int i = 2; i <= 6; i++) EXPECT_EQ(slotOf(a, uint64_t(i)), smallIntegerFor(0));
}

// A reader that keeps up never grows the ring; one that does not gets new pages and every
// event in order.
TEST_F(InQueue, RingGrowsOnlyForAReaderBehind) {
  ASSERT_FALSE(registerSemaphore(semaphore).failed);
  Event e;
  for (int i = 0; i < 3000; i++) {
    append(key(1, i));
    ASSERT_TRUE(next(&e));
  }
  EXPECT_EQ(ringPages(), 2);
  for (int i = 0; i < 2000; i++) append(key(1, i));
  EXPECT_EQ(ringPages(), 5) << "the reader's page at 3000 % 512, the other, and three new";
  std::vector<Event> got = drain();
  ASSERT_EQ(got.size(), 2000u);
  for (int i = 0; i < 2000; i++) ASSERT_EQ(got[size_t(i)], key(1, i)) << i;
  EXPECT_EQ(excessSignals(semaphore), 5000);
}

// The model: the pending events in order once a Semaphore was first registered (before that
// nothing is read, and the registration drops what came); an expose turns the oldest pending
// expose of its window into "no event" and covers its rectangle.
struct QueueModel {
  std::deque<Event> pending;
  bool reading = false, signalling = false;
  int64_t signals = 0, unsignalled = 0, mergesAcrossPages = 0;
  void registerSemaphore(bool isNil) {
    signalling = !isNil;
    if (isNil) return;
    reading = true, pending.clear(), unsignalled = 0;
  }
  void append(Event e) {
    if (reading && e.type == expose)
      for (size_t i = 0; i < pending.size(); i++) {
        Event& old = pending[i];
        if (old.type != expose || old.window != e.window) continue;
        int32_t x = std::min(old.x, e.x), y = std::min(old.y, e.y);
        e.w = std::max(old.x + old.w, e.x + e.w) - x;
        e.h = std::max(old.y + old.h, e.y + e.h) - y;
        e.x = x, e.y = y;
        old.type = noEvent;
        if (pending.size() - i >= eventsPerPage) mergesAcrossPages++;
        break;
      }
    if (reading) pending.push_back(e);
    if (!signalling) {
      unsignalled++;
      return;
    }
    signals += 1 + unsignalled;
    unsignalled = 0;
  }
};

// Phases of heavy writing and heavy reading, with exposes frequent or rare: a rare expose
// merges with one far back, across pages.
TEST_F(InQueue, RandomRunMatchesTheListModel) {
  uint32_t seed = std::random_device{}();
  std::printf("input queue seed %u\n", seed);
  SCOPED_TRACE(testing::Message() << "seed " << seed);
  std::mt19937 rng(seed);
  QueueModel model;
  auto pick = [&rng](int n) { return int(rng() % uint32_t(n)); };
  int phaseLeft = 0, appendPercent = 0, exposePermille = 0;
  for (int step = 0; step < 100000; step++) {
    if (phaseLeft-- == 0) {
      phaseLeft = 200 + pick(2000);
      appendPercent = pick(2) ? 85 : 25;
      exposePermille = pick(2) ? 300 : 3;
    }
    if (pick(4000) == 0) {
      bool isNil = pick(3) == 0;
      ASSERT_FALSE(registerSemaphore(isNil ? nilOop() : semaphore).failed);
      model.registerSemaphore(isNil);
    } else if (pick(100) < appendPercent) {
      Event e = pick(1000) < exposePermille
                    ? exposeOf(uint64_t(pick(3) + 1), pick(50) - 10, pick(50) - 10, pick(30), pick(30))
                    : key(uint64_t(pick(3) + 1), pick(200));
      e.second = rng(), e.fifth = int32_t(rng()), e.blobByte = uint8_t(rng());
      append(e);
      model.append(e);
    } else {
      Event e;
      bool any = next(&e);
      ASSERT_EQ(any, model.reading && !model.pending.empty()) << "step " << step;
      if (!any) continue;
      ASSERT_EQ(e, model.pending.front()) << "step " << step;
      model.pending.pop_front();
    }
    ASSERT_EQ(excessSignals(semaphore), model.signals) << "step " << step;
    ASSERT_EQ(inputQueue.unsignalledEvents, model.unsignalled) << "step " << step;
  }
  EXPECT_EQ(drain(), std::vector<Event>(model.pending.begin(), model.pending.end()));
  EXPECT_GT(model.mergesAcrossPages, 0) << "no merge reached back a whole page";
}

}  // namespace
