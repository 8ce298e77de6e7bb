// The thread pool of threaded calls under seeded random schedules: calls (a fake C function
// that sleeps and answers a value), service passes, terminations of waiting Processes and
// level changes, with fake Processes and Semaphores served through threadObjects. Checks:
// each call is reaped at most once and every call not terminated exactly once, no record is
// on both lists, and the table entries match the records. Also built alone as a
// ThreadSanitizer program (tessel_threads_tsan).
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
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
  uint32_t callbacks;  // made from the worker before answering
  uint64_t value;
  std::atomic<uint64_t> result;
  std::atomic<uint32_t> wrongAnswers;  // callbacks that did not get twice their thunk
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
  uint64_t growLimit = fakeSlots;  // the tables grow up to this many slots
  std::vector<uint64_t> grows;     // sizes asked of growTables
  int failStarts = 0;              // what starting a thread answers (0 it starts)
};
Harness* h;

int newTables(uint64_t slots) { return slots <= fakeSlots; }
uint64_t growTables(uint64_t slots) {
  h->grows.push_back(slots);
  return slots <= h->growLimit ? slots : 0;
}
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
// The engine side of a callback: a worker's runs in the Process of its call, a foreign
// thread's in a new serving Process, unless refusing; the answer goes into the record's first
// result word.
CallbackHandOver handCallback(TInfo* t) {
  if (h->refuseCallbacks) return callbackRefused;
  uint64_t server = h->processTable[size_t(t->index)];
  if (t->allegiance & allegianceForeign) h->processTable[size_t(t->index)] = server = h->nextServer++;
  h->handed.push_back({server, t->callbackThunk});
  return callbackTaken;
}
void callbackAnswer(TInfo* t, uint64_t answer) { t->callbacks->result[0] = answer; }

ThreadObjects fakeObjects = {newTables,      growTables,     processAt,     setProcessAt, readySemaphore,
                             resetSemaphore, activeProcess,  processWait,   reapCall,     postRequest,
                             handCallback,   callbackAnswer, nullptr,       nullptr,      nullptr};

// The fake C function: sleeps, calls back as often as asked, then answers the value it was
// given.
void fakeInnerCall(TInfo* t) {
  FakePackage* p = reinterpret_cast<FakePackage*>(callPackageOf(t->calls));
  std::this_thread::sleep_for(std::chrono::microseconds(p->sleepMicroseconds));
  for (uint32_t i = 0; i < p->callbacks; i++) {
    CallbackRecord r;
    r.frame = nullptr;
    uint64_t thunk = p->callId * 100 + i;
    if (!NBAPIInvokeCallback(thunk, &r) || r.result[0] != thunk * 2) p->wrongAnswers++;
  }
  p->result.store(p->value);
}

ThreadPlatform fakePlatform;
int failingStart(TInfo* t, uint64_t* id) { return h->failStarts != 0 ? h->failStarts : unixThreadPlatform.start(t, id); }
FILE* fakeLog;
FILE* logOfTest() { return fakeLog; }

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

class ThreadPool : public ::testing::Test {
 protected:
  void SetUp() override {
    h = new Harness();
    installUnixThreads();
    fakePlatform = *threadPlatform;
    fakePlatform.innerCall = fakeInnerCall;
    fakePlatform.start = failingStart;
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
  bool call(uint64_t p, uint64_t id, uint32_t sleep, int64_t* error, uint32_t callbacks = 0) {
    TInfo* t = NBAPIThreadForCall(p, sizeof(FakePackage), error);
    if (t == nullptr) return false;
    FakePackage* package = reinterpret_cast<FakePackage*>(callPackageOf(t->calls));
    packages[id] = package;
    package->callId = id;
    package->sleepMicroseconds = sleep;
    package->callbacks = callbacks;
    package->wrongAnswers = 0;
    package->value = id * 7 + 1;
    package->result.store(0);
    h->expected[id] = package->value;
    h->processes[p] = FakeProcess{t->index, false, id};
    NBAPISignalThreadForCallout(t);
    return true;
  }

  std::map<uint64_t, FakePackage*> packages;

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

TEST_F(ThreadPool, RandomSchedulesReapEachCallOnceAndKeepListsAndTablesConsistent) {
  for (uint32_t seed : {1u, 2u, 3u}) {
    SCOPED_TRACE(seed);
    runSchedule(seed, 400);
  }
}

// The maximum bounds the workers at once; a level change trims idle workers to the minimum,
// whose records go back to the free list for the next threads.
TEST_F(ThreadPool, TheLimitRefusesOneMoreAndLowerLevelsTrimIdleWorkers) {
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
TEST_F(ThreadPool, TerminationDuringACallStopsItsWorkerAndDropsTheAnswer) {
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

// A worker's callbacks are handed to the Process whose call it makes. While that Process
// runs the second one it calls out again: the nested call gets a call record of its own, is
// reaped with its value, and the first call's package comes out intact.
TEST_F(ThreadPool, AWorkersCallbacksRunInTheCallingProcessAroundANestedCall) {
  int64_t error = 0;
  ASSERT_TRUE(call(1, 1, 0, &error, 3));
  FakePackage* outer = packages[1];
  int32_t slot = h->processes[1].waitingOn;
  int answered = 0;
  for (int pass = 0; answered < 3 && pass < 200000; pass++) {
    NBAPIServiceThreads();
    std::vector<std::pair<uint64_t, uint64_t>> handed;
    handed.swap(h->handed);
    for (auto [server, thunk] : handed) {
      EXPECT_EQ(server, 1u) << "callback " << thunk << " ran in another Process";
      if (answered == 1) {
        ASSERT_TRUE(call(1, 2, 100, &error));
        EXPECT_NE(packages[2], outer) << "the nested call shares the waiting call's record";
        drain();
        EXPECT_EQ(h->reaped[2], 1u);
        h->processes[1] = FakeProcess{slot, false, 1};  // back to waiting for the first call
      }
      EXPECT_EQ(NBAPICallbackReturn(server, thunk * 2), 0);
      answered++;
    }
    std::this_thread::yield();
  }
  EXPECT_EQ(answered, 3);
  drain();
  EXPECT_EQ(h->reaped[1], 1u);
  EXPECT_EQ(h->wrongValues, 0u);
  EXPECT_EQ(h->doubleReaps, 0u);
  EXPECT_EQ(outer->wrongAnswers, 0u);
  checkConsistent();
}

// A new record past the tables' end grows both (to at least its slot); a growth refused
// fails the call with no memory and leaves no record on either list; a thread that cannot be
// started fails the call by its cause and gives its record back.
TEST_F(ThreadPool, TablesGrowForNewRecordsAndFailuresGiveTheRecordBack) {
  NBAPIShutdownForTests();
  NBAPISetTableSlackForTests(0);  // tables of exactly the slots the records hold already
  ASSERT_EQ(NBAPISetThreadLevels(0, 0), 1);
  InitializeNBAPI();
  ASSERT_EQ(NBAPISetThreadLevels(fakeProcesses, 0), 1);
  size_t free = freeRecords();
  ASSERT_LE(free + 3, size_t(fakeProcesses));
  int64_t error = 0;
  uint64_t p = 1;
  for (; p <= free; p++) ASSERT_TRUE(call(p, h->nextId++, 200000, &error));  // every free record busy
  Check before;
  NBAPIVisitRecords(visit, &before);
  int32_t next = 0;
  for (const TInfo* t : before.active) next = std::max(next, t->index + 1);

  struct Case {
    uint64_t growLimit;
    int failStarts;
    int64_t error;  // 0: the call is made
  } cases[] = {{0, 0, nbapiNoMemory}, {fakeSlots, 1, nbapiMallocFailed}, {fakeSlots, 2, nbapiThreadLimit}, {fakeSlots, 0, 0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.failStarts * 10 + int(c.error));
    h->growLimit = c.growLimit;
    h->failStarts = c.failStarts;
    size_t grows = h->grows.size();
    int64_t levels[8];
    NBAPIGetThreadLevels(levels);
    EXPECT_EQ(call(p, h->nextId++, 200000, &error), c.error == 0);
    if (c.error != 0) {
      EXPECT_EQ(error, c.error);
      int64_t after[8];
      NBAPIGetThreadLevels(after);
      EXPECT_EQ(after[3], levels[3]) << "a worker counted that does not run";
      EXPECT_EQ(after[5], levels[5]);
      Check lists;
      NBAPIVisitRecords(visit, &lists);
      EXPECT_EQ(lists.active.size(), before.active.size());
      EXPECT_EQ(lists.both, 0u);
    }
    if (c.growLimit == 0) {
      ASSERT_EQ(h->grows.size(), grows + 1);
      EXPECT_GT(h->grows.back(), uint64_t(next));
    }
  }
  // The made call's record has the first slot past the old end, and its Process is there.
  EXPECT_EQ(processAt(h->processes[p].waitingOn), p);
  EXPECT_EQ(h->processes[p].waitingOn, next);
  EXPECT_TRUE(call(p + 1, h->nextId++, 0, &error)) << "a new record takes the next slot";
  EXPECT_EQ(h->processes[p + 1].waitingOn, next + 1);
  drain();
  checkConsistent();
}

// The printers show the tables and both lists with each record's state and slot; an
// operating-system error is printed with its number and text and the program goes on, but no
// memory is fatal.
TEST_F(ThreadPool, PrintersAndOSErrorReportsGoToTheDebugLog) {
  fakeLog = tmpfile();
  ASSERT_NE(fakeLog, nullptr);
  fakeObjects.log = logOfTest;
  int64_t error = 0;
  ASSERT_TRUE(call(1, h->nextId++, 100000, &error));
  printNBAPI();
  errno = EPERM;
  nbapiReportOSError("pthread_mutex_lock", "here.cpp", 12, -1);
  nbapiReportOSError("pthread_cancel", "here.cpp", 13, ESRCH);
  fflush(fakeLog);
  std::string text(size_t(ftell(fakeLog)), '\0');
  rewind(fakeLog);
  ASSERT_EQ(fread(text.data(), 1, text.size(), fakeLog), text.size());
  std::string index = "(index " + std::to_string(h->processes[1].waitingOn) + ")";
  size_t active = text.find("\nActive threads list:\n");
  ASSERT_NE(active, std::string::npos) << text;
  EXPECT_NE(text.find("\nUnattached tinfos list:\n"), std::string::npos);
  EXPECT_NE(text.find(index, active), std::string::npos) << "the record of the call among the active ones";
  EXPECT_NE(text.find("freelance thread "), std::string::npos);
  EXPECT_NE(text.find("\a\aTHAPI: pthread_mutex_lock (1:Operation not permitted) (here.cpp 12)\n"), std::string::npos) << text;
  EXPECT_NE(text.find("\a\aTHAPI: pthread_cancel (3:No such process) (here.cpp 13)\n"), std::string::npos);
  drain();
  fakeObjects.log = nullptr;
  fclose(fakeLog);
#if !defined(__SANITIZE_THREAD__)  // the sanitizer's program does not fork for death tests
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(nbapiReportOSError("pthread_attr_init", "here.cpp", 14, ENOMEM), "");
#endif
}

// Threads the pool did not make call back at once, many times each: every callback waits
// for the engine, gets its own answer, and the records go back to the free list; refused
// callbacks answer no valid value at once.
TEST_F(ThreadPool, CallbacksFromForeignThreadsGetTheirAnswersAndReturnTheirRecords) {
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
