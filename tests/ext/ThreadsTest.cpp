// The thread pool of threaded calls under seeded random schedules: calls (a fake C function
// that sleeps and answers a value), service passes, terminations of waiting Processes and
// level changes, with fake Processes and Semaphores served through threadObjects. Checks:
// each call is reaped at most once and every call not terminated exactly once, no record is
// on both lists, and the table entries match the records. Also built alone as a
// ThreadSanitizer program (tessel_threads_tsan).
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <map>
#include <random>
#include <set>
#include <thread>
#include <vector>

#include "ext/exThreads.h"
#include "plat/unxThreads.h"

namespace {

enum : uint64_t { fakeProcesses = 40, fakeSlots = 4096 };

// What the fake C function finds in its call package.
struct FakePackage {
  uint64_t callId;
  uint32_t sleepMicroseconds;
  uint64_t value;
  std::atomic<uint64_t> result;
};

// A Process: the slot whose Semaphore it waits on (-1 none), whether it was terminated, the
// call it waits for.
struct FakeProcess {
  int64_t waitingOn = -1;
  bool gone = false;
  uint64_t callId = 0;
};

struct Harness {
  std::vector<FakeProcess> processes = std::vector<FakeProcess>(fakeProcesses + 1);  // id 0: none
  std::vector<uint64_t> processTable = std::vector<uint64_t>(fakeSlots, 0);
  std::vector<uint8_t> semaphoreMade = std::vector<uint8_t>(fakeSlots, 0);
  std::map<uint64_t, uint64_t> reaped;    // call id -> answers delivered
  std::map<uint64_t, uint64_t> expected;  // call id -> value
  std::set<uint64_t> terminated;          // calls whose Process was terminated
  uint64_t active = 0;                    // the running Process (0: none)
  uint64_t nextId = 1;                    // call ids, over every schedule
  std::atomic<uint64_t> posts{0};
  bool refuseCallbacks = false;
  std::vector<std::pair<uint64_t, uint64_t>> handed;  // (serving Process, thunk) of callbacks taken
  uint64_t nextServer = 1000;                          // Processes that run callbacks
  uint64_t doubleReaps = 0, wrongValues = 0;
};
Harness* h;

int newTables(uint64_t slots) { return slots <= fakeSlots; }
uint64_t growTables(uint64_t slots) { return slots <= fakeSlots ? slots : 0; }
uint64_t processAt(int32_t i) { return h->processTable[size_t(i)]; }
void setProcessAt(int32_t i, uint64_t p) { h->processTable[size_t(i)] = p; }
int64_t readySemaphore(int32_t i) {
  h->semaphoreMade[size_t(i)] = 1;
  return 0;
}
void resetSemaphore(int32_t) {}
uint64_t activeProcess() { return h->active; }
ProcessWait processWait(int32_t i) {
  uint64_t p = h->processTable[size_t(i)];
  if (p == 0 || h->processes[p].gone) return waitGone;
  return h->processes[p].waitingOn == i ? waitOnIt : waitLater;
}
void reapCall(TInfo* t) {
  FakeProcess& p = h->processes[h->processTable[size_t(t->index)]];
  const FakePackage* package = reinterpret_cast<const FakePackage*>(callPackageOf(t->calls));
  if (h->reaped[package->callId]++ != 0) h->doubleReaps++;
  if (package->result.load() != h->expected[package->callId]) h->wrongValues++;
  p.waitingOn = -1;
}
void postRequest() { h->posts++; }
// The engine side of a callback: a new serving Process takes it, unless refusing; the answer
// goes into the record's first result word.
CallbackHandOver handCallback(TInfo* t) {
  if (h->refuseCallbacks) return callbackRefused;
  uint64_t server = h->nextServer++;
  h->processTable[size_t(t->index)] = server;
  h->handed.push_back({server, t->callbackThunk});
  return callbackTaken;
}
void callbackAnswer(TInfo* t, uint64_t answer) { t->callbacks->result[0] = answer; }

ThreadObjects fakeObjects = {newTables,      growTables,     processAt,     setProcessAt, readySemaphore,
                             resetSemaphore, activeProcess,  processWait,   reapCall,     postRequest,
                             handCallback,   callbackAnswer};

// The fake C function: sleeps, then answers the value it was given.
void fakeInnerCall(TInfo* t) {
  FakePackage* p = reinterpret_cast<FakePackage*>(callPackageOf(t->calls));
  std::this_thread::sleep_for(std::chrono::microseconds(p->sleepMicroseconds));
  p->result.store(p->value);
}

ThreadPlatform fakePlatform;

struct Check {
  std::set<const TInfo*> active, free;
  uint64_t both = 0;
};
void visit(const TInfo* t, int onFree, void* data) {
  Check* c = static_cast<Check*>(data);
  auto& mine = onFree ? c->free : c->active;
  auto& other = onFree ? c->active : c->free;
  if (other.count(t) || mine.count(t)) c->both++;
  mine.insert(t);
}

class ThreadPoolTest : public ::testing::Test {
 protected:
  void SetUp() override {
    h = new Harness();
    installUnixThreads();
    fakePlatform = *threadPlatform;
    fakePlatform.innerCall = fakeInnerCall;
    threadPlatform = &fakePlatform;
    threadObjects = &fakeObjects;
    InitializeNBAPI();
    ASSERT_TRUE(NBAPIInitialised());
  }
  void TearDown() override {
    drain();
    NBAPIShutdownForTests();
    threadObjects = nullptr;
    delete h;
  }

  // Records on the free list (a program running every case keeps those of earlier cases).
  size_t freeRecords() {
    Check c;
    NBAPIVisitRecords(visit, &c);
    return c.free.size();
  }

  // Service passes until no Process waits for a call.
  void drain() {
    for (int pass = 0; pass < 20000 && waiting() > 0; pass++) {
      NBAPIServiceThreads();
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
  }
  uint64_t waiting() {
    uint64_t n = 0;
    for (uint64_t p = 1; p <= fakeProcesses; p++) n += h->processes[p].waitingOn >= 0 && !h->processes[p].gone;
    return n;
  }

  // Records on one list only; each active record's table entry names a Process that waits
  // on that record's slot, or none; no Process is served by two records.
  void checkConsistent() {
    Check c;
    NBAPIVisitRecords(visit, &c);
    EXPECT_EQ(c.both, 0u) << "a record on both lists, or twice on one";
    std::set<uint64_t> served;
    for (const TInfo* t : c.active) {
      uint64_t p = h->processTable[size_t(t->index)];
      if (p == 0) continue;
      EXPECT_TRUE(served.insert(p).second) << "process " << p << " served by two records";
    }
    for (uint64_t p = 1; p <= fakeProcesses; p++) {
      const FakeProcess& f = h->processes[p];
      if (f.waitingOn < 0 || f.gone) continue;
      EXPECT_EQ(h->processTable[size_t(f.waitingOn)], p) << "waiting process " << p << " lost its table entry";
    }
  }

  // A threaded call of process p: false when no thread could be had.
  bool call(uint64_t p, uint64_t id, uint32_t sleep, int64_t* error) {
    TInfo* t = NBAPIThreadForCall(p, sizeof(FakePackage), error);
    if (t == nullptr) return false;
    FakePackage* package = reinterpret_cast<FakePackage*>(callPackageOf(t->calls));
    package->callId = id;
    package->sleepMicroseconds = sleep;
    package->value = id * 7 + 1;
    package->result.store(0);
    h->expected[id] = package->value;
    h->processes[p] = FakeProcess{t->index, false, id};
    NBAPISignalThreadForCallout(t);
    return true;
  }

  void runSchedule(uint32_t seed, int steps) {
    std::mt19937 random(seed);
    for (int step = 0; step < steps; step++) {
      uint64_t p = 1 + random() % fakeProcesses;
      FakeProcess& f = h->processes[p];
      switch (random() % 8) {
        case 0: case 1: case 2:
          if (f.waitingOn < 0 && !f.gone) {
            int64_t error = 0;
            if (!call(p, h->nextId++, random() % 3000, &error)) {
              EXPECT_EQ(error, nbapiThreadLimit);
            }
          }
          break;
        case 3:
          if (f.waitingOn >= 0 && !f.gone) {
            f.gone = true;
            h->terminated.insert(f.callId);
            NBAPICheckProcessTermination(p);
          }
          break;
        case 4: {
          int64_t max = 1 + random() % 8, min = random() % (max + 1);
          EXPECT_EQ(NBAPISetThreadLevels(max, min), 1);
          EXPECT_EQ(NBAPISetThreadLevels(min, min + 1), 0) << "maximum below minimum is refused";
          break;
        }
        default:
          NBAPIServiceThreads();
          std::this_thread::sleep_for(std::chrono::microseconds(random() % 500));
      }
      if (f.gone && random() % 4 == 0) f = FakeProcess{};  // a new Process in the slot of the old
      checkConsistent();
    }
    drain();
    checkConsistent();
    EXPECT_EQ(h->doubleReaps, 0u);
    EXPECT_EQ(h->wrongValues, 0u);
    for (const auto& [id, value] : h->expected)
      if (!h->terminated.count(id)) {
        EXPECT_EQ(h->reaped[id], 1u) << "call " << id << " not reaped once";
      }
  }
};

TEST_F(ThreadPoolTest, RandomSchedulesReapEachCallOnceAndKeepListsAndTablesConsistent) {
  for (uint32_t seed : {1u, 2u, 3u}) {
    SCOPED_TRACE(seed);
    runSchedule(seed, 400);
  }
}

// The maximum bounds the workers at once; a level change trims idle workers to the minimum,
// whose records go back to the free list for the next threads.
TEST_F(ThreadPoolTest, TheLimitRefusesOneMoreAndLowerLevelsTrimIdleWorkers) {
  ASSERT_EQ(NBAPISetThreadLevels(3, 3), 1);
  size_t before = freeRecords();
  int64_t error = 0;
  for (uint64_t p = 1; p <= 3; p++) ASSERT_TRUE(call(p, p, 20000, &error));
  EXPECT_FALSE(call(4, 4, 0, &error));
  EXPECT_EQ(error, nbapiThreadLimit);
  drain();
  int64_t levels[8];
  NBAPIGetThreadLevels(levels);
  EXPECT_EQ(levels[3], 3);  // workers
  EXPECT_EQ(levels[5], 3);  // created
  ASSERT_EQ(NBAPISetThreadLevels(3, 1), 1);
  NBAPIServiceThreads();
  NBAPIGetThreadLevels(levels);
  EXPECT_EQ(levels[3], 1);
  EXPECT_EQ(levels[6], 2);  // stopped
  Check c;
  NBAPIVisitRecords(visit, &c);
  size_t left = before - std::min<size_t>(before, 3);  // the first three threads took free records
  EXPECT_EQ(c.free.size(), left + 2);
  // Two new threads take the two free records: no new slot is used.
  int32_t highest = 0;
  for (const TInfo* t : c.active) highest = std::max(highest, t->index);
  for (const TInfo* t : c.free) highest = std::max(highest, t->index);
  for (uint64_t p = 5; p <= 7; p++) ASSERT_TRUE(call(p, p, 1000, &error));
  Check after;
  NBAPIVisitRecords(visit, &after);
  EXPECT_EQ(after.free.size(), left);
  for (const TInfo* t : after.active) EXPECT_LE(t->index, highest);
}

// A Process terminated while its worker is inside the C function: that worker is stopped
// (its record returns to the free list when the function comes back), and the answer is
// never delivered.
TEST_F(ThreadPoolTest, TerminationDuringACallStopsItsWorkerAndDropsTheAnswer) {
  int64_t error = 0;
  size_t before = freeRecords();
  ASSERT_TRUE(call(1, 1, 50000, &error));
  before -= std::min<size_t>(before, 1);  // the call's thread may have taken a free record
  std::this_thread::sleep_for(std::chrono::milliseconds(5));
  h->processes[1].gone = true;
  NBAPICheckProcessTermination(1);
  int64_t levels[8];
  NBAPIGetThreadLevels(levels);
  EXPECT_EQ(levels[6], 1);  // stopped
  EXPECT_EQ(levels[3], 0);
  for (int i = 0; i < 400; i++) {
    Check c;
    NBAPIVisitRecords(visit, &c);
    if (c.free.size() == before + 1) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  Check c;
  NBAPIVisitRecords(visit, &c);
  EXPECT_EQ(c.free.size(), before + 1) << "the stopped worker's record is free again";
  NBAPIServiceThreads();
  EXPECT_EQ(h->reaped[1], 0u);
  for (const TInfo* t : c.free) EXPECT_EQ(processAt(t->index), 0u);
}

// Threads the pool did not make call back at once, many times each: every callback waits
// for the engine, gets its own answer, and the records go back to the free list; refused
// callbacks answer no valid value at once.
TEST_F(ThreadPoolTest, CallbacksFromForeignThreadsGetTheirAnswersAndReturnTheirRecords) {
  enum { threads = 6, callbacksEach = 40 };
  std::atomic<int> wrong{0}, finished{0};
  std::vector<std::thread> foreign;
  for (int k = 0; k < threads; k++)
    foreign.emplace_back([k, &wrong, &finished] {
      for (int i = 0; i < callbacksEach; i++) {
        CallbackRecord r;
        r.frame = nullptr;
        uint64_t thunk = uint64_t(k) * 1000 + uint64_t(i) + 1;
        if (!NBAPIInvokeCallback(thunk, &r) || r.result[0] != thunk * 2) wrong++;
      }
      finished++;
    });
  while (finished < threads) {
    NBAPIServiceThreads();
    for (auto [server, thunk] : h->handed) EXPECT_EQ(NBAPICallbackReturn(server, thunk * 2), 0);
    h->handed.clear();
    std::this_thread::yield();
  }
  for (std::thread& t : foreign) t.join();
  EXPECT_EQ(wrong, 0);
  EXPECT_EQ(NBAPICallbackReturn(1000, 1), nbapiNoThread) << "no callback waits any more";
  Check c;
  NBAPIVisitRecords(visit, &c);
  EXPECT_EQ(c.active.size(), 0u) << "foreign records go back to the free list";

  // The Process running a foreign thread's callback is terminated: the thread gets no valid
  // answer, and its record goes back to the free list.
  std::atomic<int> outcome{-1};
  std::thread orphan([&outcome] {
    CallbackRecord r;
    r.frame = nullptr;
    outcome = NBAPIInvokeCallback(9, &r);
  });
  while (h->handed.empty()) {
    NBAPIServiceThreads();
    std::this_thread::yield();
  }
  NBAPICheckProcessTermination(h->handed.front().first);
  orphan.join();
  EXPECT_EQ(outcome, 0);
  EXPECT_EQ(NBAPICallbackReturn(h->handed.front().first, 18), nbapiNoThread);
  h->handed.clear();
  Check afterTermination;
  NBAPIVisitRecords(visit, &afterTermination);
  EXPECT_EQ(afterTermination.active.size(), 0u);

  h->refuseCallbacks = true;
  std::atomic<int> answered{-1};
  std::thread refused([&answered] {
    CallbackRecord r;
    r.frame = nullptr;
    answered = NBAPIInvokeCallback(7, &r);
  });
  while (answered < 0) {
    NBAPIServiceThreads();
    std::this_thread::yield();
  }
  refused.join();
  EXPECT_EQ(answered, 0);
  int64_t levels[8];
  NBAPIGetThreadLevels(levels);
  EXPECT_EQ(levels[4], 0);  // foreign threads
}

}  // namespace
