// Threaded calls: worker threads, their records and states, the hand-over to the engine
// thread (request 4), termination and thread levels. Owns the records' lists, the levels and
// counters. Prefix: NBAPI, nbapi.
#include "ext/exThreads.h"

#include "ext/exError.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

ThreadObjects* threadObjects;
ThreadPlatform* threadPlatform;
uint64_t smalltalkThread;

// The interface's global record: one mutex guards both lists, the records' links and the
// tables' entries.
static struct {
  TInfo* active;                 // records of running threads
  TInfo* free;                   // records without a thread
  std::atomic<bool> initialised; // set-up done
  alignas(16) uint8_t mutex[nbapiLockBytes];
  alignas(16) uint8_t cond[nbapiLockBytes];  // unused; the platform makes locks in pairs
  uint64_t tableSize;            // slots of each table
  int32_t nextIndex;             // the index the next new record gets
  int64_t threadCount;           // non-foreign threads alive
  int64_t created, stopped;      // threads started and stopped, ever
  int64_t maximum, minimum;      // thread levels
  uint64_t slack;                // table slots beyond the maximum, and the least growth
} nb = {nullptr, nullptr, {false}, {}, {}, 0, 0, 0, 0, 0, nbapiDefaultLevel, nbapiDefaultLevel, nbapiTableSlack};

static thread_local TInfo* currentTInfo;
static const char threadsSource[] = __FILE__;

static void lockNB() { threadPlatform->lock(nb.mutex); }
static void unlockNB() { threadPlatform->unlock(nb.mutex); }
static void yieldThread() { threadPlatform->yield(); }

bool NBAPIInitialised() { return nb.initialised.load(std::memory_order_acquire); }
TInfo* nbapiCurrentTInfo() { return currentTInfo; }

// ---- Lists ---------------------------------------------------------------------------------

static void push(TInfo** list, TInfo* t) {
  t->next = *list;
  *list = t;
}
static bool unlink(TInfo** list, TInfo* t) {
  for (TInfo** p = list; *p != nullptr; p = &(*p)->next)
    if (*p == t) {
      *p = t->next;
      t->next = nullptr;
      return true;
    }
  return false;
}

static void freeCallRecords(TInfo* t) {
  while (t->calls != nullptr) {
    CallRecord* next = t->calls->next;
    free(t->calls);
    t->calls = next;
  }
}

// Back to the free list (the NBAPI mutex held): no thread, no Process, freelance.
static void retire(TInfo* t) {
  t->thread = smalltalkThread;
  t->allegiance = allegianceFreelance;
  t->callOutCount = 0;
  t->state = tsQuiescent;
  push(&nb.free, t);
}

// ---- Set-up ----------------------------------------------------------------------------------

void InitializeNBAPI() {
  if (NBAPIInitialised() || threadPlatform == nullptr || threadObjects == nullptr) return;
  uint64_t slots = uint64_t(nb.maximum) + nb.slack;
  if (slots < uint64_t(nb.nextIndex)) slots = uint64_t(nb.nextIndex);  // the records' slots, from an earlier set-up
  if (!threadObjects->newTables(slots)) {
    doReportError("Coudn't allocate NBAPI oopTables", errContact | errFatal | errSpaceUnavailable, threadsSource, __LINE__);
    return;
  }
  nb.tableSize = slots;
  smalltalkThread = threadPlatform->self();
  if (!threadPlatform->lockInit(nb.mutex, nb.cond)) {
    doReportError("Couldn't create NBAPI semaphore or mutex", errContact | errPlatformLayer | errCausePlatform | errNote,
                  threadsSource, __LINE__);
    return;
  }
  nb.initialised.store(true, std::memory_order_release);
}

// ---- Records ---------------------------------------------------------------------------------

// A record for a new thread (the NBAPI mutex held): its thread started unless foreign. An
// error word when none can be made.
static TInfo* nbapiNewThread(uint8_t allegiance, int64_t* error) {
  bool foreign = allegiance & allegianceForeign;
  if (!foreign && nb.threadCount >= nb.maximum) return *error = nbapiThreadLimit, nullptr;
  TInfo* t = nb.free;
  if (t != nullptr) {
    nb.free = t->next;
  } else {
    void* room = malloc(sizeof(TInfo));
    if (room == nullptr) return *error = nbapiMallocFailed, nullptr;
    t = new (room) TInfo();
    t->calls = nullptr;
    // A new record needs its slot in both tables: they grow when full (by doubling, at least
    // by the slack), and a slot that still lies outside them is not used.
    if (uint64_t(nb.nextIndex) >= nb.tableSize) {
      uint64_t want = nb.tableSize * 2 > nb.tableSize + nb.slack ? nb.tableSize * 2 : nb.tableSize + nb.slack;
      if (want <= uint64_t(nb.nextIndex)) want = uint64_t(nb.nextIndex) + 1;
      uint64_t size = foreign ? 0 : threadObjects->growTables(want);
      if (size > nb.tableSize) nb.tableSize = size;
    }
    if (uint64_t(nb.nextIndex) >= nb.tableSize) {
      free(t);
      return *error = nbapiNoMemory, nullptr;
    }
    t->index = nb.nextIndex++;
  }
  t->wakeCount = 0;
  if (!threadPlatform->lockInit(t->mutex, t->cond)) {
    push(&nb.free, t);
    return *error = nbapiNoMutex, nullptr;
  }
  t->started = 0;
  t->state = tsNascent;
  t->callbacks = nullptr;
  t->callOutCount = 0;
  t->waiting = 0;
  t->allegiance = allegiance;
  t->callbackThunk = 0;
  t->callbackAnswer = -1;
  if (foreign) {
    push(&nb.active, t);
    return t;
  }
  uint64_t id = 0;
  if (int failed = threadPlatform->start(t, &id)) {
    threadPlatform->lockDestroy(t->mutex, t->cond);
    push(&nb.free, t);
    return *error = failed == 1 ? nbapiMallocFailed : nbapiThreadLimit, nullptr;
  }
  t->thread = id;
  nb.threadCount++;
  nb.created++;
  push(&nb.active, t);
  while (!t->started.load(std::memory_order_acquire)) yieldThread();
  return t;
}

// Wakes the thread: one more token; a signal only when it waits for one.
static void wake(TInfo* t) {
  threadPlatform->lock(t->mutex);
  if (++t->wakeCount <= 0) threadPlatform->signal(t->cond);
  threadPlatform->unlock(t->mutex);
}

// ---- The worker ------------------------------------------------------------------------------

enum : uint64_t { repostNanoseconds = 50 * 1000 * 1000 };

static void postRequest() { threadObjects->postRequest(); }

// Waits and acts until the state says to leave: ReturningBack (true: back to the callback's
// caller) or Dying/Cancelling (false: the thread ends). The mutex is held throughout except in
// the wait.
static bool nbapiWorkerLoop(TInfo* t, ThreadState state) {
  // A new worker sets its state before it says it started: the creator hands it a call as
  // soon as it has, and that state must not be overwritten.
  bool first = !t->started.load(std::memory_order_relaxed) && !(t->allegiance & allegianceForeign);
  if (first) threadPlatform->lock(t->mutex);
  t->state = state;
  if (first) t->started.store(1, std::memory_order_release);
  if (state != tsQuiescent) postRequest();
  for (;;) {
    t->waiting = 1;
    t->wakeCount--;
    while (t->wakeCount < 0) {
      uint8_t s = t->state;
      bool repost = s == tsReturning || s == tsCallingBack;
      if (threadPlatform->wait(t->cond, t->mutex, repost ? uint64_t(repostNanoseconds) : uint64_t(0))) {
        s = t->state;
        if (s == tsReturning || s == tsCallingBack) postRequest();
      }
    }
    t->waiting = 0;
    switch (t->state) {
      case tsReturning: t->state = tsQuiescent; break;
      case tsReturningBack: return true;
      case tsDying:
      case tsCancelling: return false;
      case tsCalling: {
        t->callOutCount++;
        CallRecord* r = t->calls;
        r->error[0] = 0;
        r->inCall = 1;
        threadPlatform->innerCall(t);  // a fault comes back here with its error stored
        r->inCall = 0;
        uint8_t calling = tsCalling;  // a termination may have cancelled the call meanwhile
        if (!t->state.compare_exchange_strong(calling, tsReturning)) return false;
        postRequest();
        break;
      }
      default: break;
    }
  }
}

void nbapiThreadMain(TInfo* t) {
  currentTInfo = t;
  nbapiWorkerLoop(t, tsQuiescent);
  if (t->state == tsCancelling) return nbapiThreadCleanup(t);
  threadPlatform->unlock(t->mutex);
  t->state = tsDead;  // the stopper takes the record from here
}

void nbapiThreadCleanup(TInfo* t) {
  // Cancelled inside its C call: the mutex was held, the record is the thread's to free.
  if (t->state != tsCancelling) return;
  threadPlatform->unlock(t->mutex);
  threadPlatform->lockDestroy(t->mutex, t->cond);
  lockNB();
  freeCallRecords(t);
  unlink(&nb.active, t);
  retire(t);
  unlockNB();
}

// Ends the thread of the record: the wait is told to stop, or with cancel a thread busy in C
// is cancelled. 1 stopped, 0 not (it was busy and cancel was not asked).
static int nbapiStopThread(TInfo* t, bool cancel) {
  for (int i = 0; !t->waiting && i < (cancel ? 11 : 3); i++) yieldThread();
  if (!t->waiting) {
    if (!cancel) return 0;
    t->state = tsCancelling;
    threadPlatform->cancel(t->thread);
    nb.threadCount--;
    nb.stopped++;
    return 1;
  }
  while (t->state != tsDead) {
    t->state = tsDying;
    wake(t);
    while (t->state == tsDying) yieldThread();
  }
  threadPlatform->lockDestroy(t->mutex, t->cond);
  nb.threadCount--;
  nb.stopped++;
  return 1;
}

// ---- Calls -----------------------------------------------------------------------------------

static TInfo* serving(uint64_t process) {
  for (TInfo* t = nb.active; t != nullptr; t = t->next)
    if (threadObjects->processAt(t->index) == process) return t;
  return nullptr;
}

TInfo* NBAPIThreadForCall(uint64_t process, uint64_t bytes, int64_t* error) {
  if (!NBAPIInitialised()) return *error = nbapiNotInitialised, nullptr;
  lockNB();
  TInfo* t = serving(process);
  if (t == nullptr) {
    for (TInfo* r = nb.active; r != nullptr && t == nullptr; r = r->next)
      if (!(r->allegiance & allegianceForeign) && threadObjects->processAt(r->index) == 0 && r->state == tsQuiescent)
        t = r;
    if (t != nullptr) t->allegiance = allegianceFreelance;
    else if ((t = nbapiNewThread(allegianceFreelance, error)) == nullptr) {
      unlockNB();
      return nullptr;
    }
  }
  threadObjects->setProcessAt(t->index, process);
  int64_t made = threadObjects->readySemaphore(t->index);
  if (made == 0 && bytes > 0) {
    uint64_t rounded = (bytes + nbapiCallStep - 1) / nbapiCallStep * nbapiCallStep;
    // A call made while the thread's own call waits for a callback (the callback's Process
    // calls out again): that call's record stays as it is, a new one goes on top.
    if (t->calls != nullptr && t->calls->inCall.load()) {
      CallRecord* nested = static_cast<CallRecord*>(malloc(sizeof(CallRecord) + rounded));
      if (nested == nullptr) {
        made = nbapiMallocFailed;
      } else {
        nested->next = t->calls;
        nested->capacity = uint32_t(rounded);
        nested->inCall = 0;
        t->calls = nested;
      }
    } else if (t->calls == nullptr || t->calls->capacity < bytes) {
      bool fresh = t->calls == nullptr;
      void* grown = realloc(t->calls, sizeof(CallRecord) + rounded);
      if (grown == nullptr) {
        made = nbapiMallocFailed;
      } else {
        t->calls = static_cast<CallRecord*>(grown);
        if (fresh) t->calls->next = nullptr;
        t->calls->capacity = uint32_t(rounded);
        t->calls->inCall = 0;
      }
    }
  }
  if (made != 0) {
    *error = made;
    NBAPIReleaseThreadIfUnwound(t);
    t = nullptr;
  }
  unlockNB();
  return t;
}

void NBAPISignalThreadForCallout(TInfo* t) {
  t->state = tsCalling;
  wake(t);
  yieldThread();
}

int64_t NBAPISemaphoreIndexForCurrentProcess() {
  if (!NBAPIInitialised()) return nbapiNoThread;
  lockNB();
  TInfo* t = serving(threadObjects->activeProcess());
  int64_t answer = t == nullptr ? int64_t(nbapiNoThread) : int64_t(t->index);
  unlockNB();
  if (answer >= 0) postRequest();
  return answer;
}

// The top call record goes when a call out of a callback is over (reaped, or failed before
// it ran), uncovering the call that waits for the callback.
static void popNestedCall(TInfo* t) {
  CallRecord* top = t->calls;
  if (top == nullptr || top->next == nullptr || top->inCall.load()) return;
  t->calls = top->next;
  free(top);
}

void NBAPIReleaseThreadIfUnwound(TInfo* t) {
  if (t->state != tsReturning) popNestedCall(t);  // a reap pops after it has read the record
  if (t->callOutCount == 0 && !(t->allegiance & allegianceTied)) {
    threadObjects->setProcessAt(t->index, 0);
    threadObjects->resetSemaphore(t->index);
  }
}

// ---- Service (request 4) ------------------------------------------------------------------

// A Returning record: its result goes to its Process when that waits for it.
static void serviceReturning(TInfo* t) {
  ProcessWait w = threadObjects->processWait(t->index);
  if (w == waitLater) return;
  CallRecord* reaped = t->calls;
  if (w == waitOnIt) threadObjects->reapCall(t);
  if (t->calls == reaped) popNestedCall(t);
  t->callOutCount--;
  t->state = tsQuiescent;
  if (w == waitGone || (t->callOutCount < 1 && !(t->allegiance & allegianceTied))) {
    threadObjects->setProcessAt(t->index, 0);
    threadObjects->resetSemaphore(t->index);
  }
}

// The answer of the record's callback (the NBAPI mutex held, engine thread): converted into
// the C result, and the thread woken.
static void nbapiDeliverCallbackAnswer(TInfo* t, uint64_t answer, bool valid) {
  if (valid) threadObjects->callbackAnswer(t, answer);
  t->callbackAnswer = valid ? 0 : -1;
  if ((t->allegiance & allegianceForeign) && t->callOutCount < 2) threadObjects->setProcessAt(t->index, 0);
  t->state = tsReturningBack;
  wake(t);
  yieldThread();
}

int64_t NBAPICallbackReturn(uint64_t process, uint64_t answer) {
  if (!NBAPIInitialised()) return nbapiNoThread;
  lockNB();
  TInfo* t = serving(process);
  bool waits = t != nullptr && t->state == tsQuiescent && t->callbacks != nullptr;
  if (waits) nbapiDeliverCallbackAnswer(t, answer, true);
  unlockNB();
  return waits ? 0 : int64_t(nbapiNoThread);
}

void NBAPIServiceThreads() {
  if (!NBAPIInitialised()) return;
  lockNB();
  int64_t count = 0, idle = 0;
  bool again = false;
  for (TInfo* t = nb.active; t != nullptr; t = t->next) {
    if (t->state == tsReturning) serviceReturning(t);
    if (t->state == tsCallingBack) {
      CallbackHandOver h = threadObjects->handCallback(t);
      if (h == callbackTaken) t->state = tsQuiescent;  // the thread keeps waiting for the answer
      else if (h == callbackRefused) nbapiDeliverCallbackAnswer(t, 0, false);
      else again |= h == callbackSoon;
    }
    if (t->allegiance & allegianceForeign) continue;
    count++;
    if (t->allegiance == allegianceFreelance && t->state == tsQuiescent && t->callOutCount == 0 &&
        threadObjects->processAt(t->index) == 0)
      idle++;
  }
  // Idle freelance threads beyond the minimum are stopped; their records wait on the free list.
  for (TInfo** p = &nb.active; *p != nullptr && idle > 0 && count > nb.minimum;) {
    TInfo* t = *p;
    bool idleOne = t->allegiance == allegianceFreelance && t->state == tsQuiescent && t->callOutCount == 0 &&
                   threadObjects->processAt(t->index) == 0;
    if (idleOne && nbapiStopThread(t, false)) {
      *p = t->next;
      freeCallRecords(t);
      retire(t);
      idle--, count--;
      continue;
    }
    p = &t->next;
  }
  unlockNB();
  if (again) postRequest();
}

// A worker's own mutex is held while it runs, and the engine takes a record's mutex while
// holding the NBAPI mutex: so a thread never takes the NBAPI mutex while holding its own. A
// worker needs neither to find its record; the callback chain is the thread's to change
// while it runs (the engine reads it only after the state says CallingBack).
int NBAPIInvokeCallback(uint64_t thunk, CallbackRecord* record) {
  if (!NBAPIInitialised()) return 0;
  TInfo* t = currentTInfo;  // a worker inside its call-out
  bool foreign = t == nullptr;
  if (foreign) {
    uint64_t self = threadPlatform->self();
    lockNB();
    for (t = nb.active; t != nullptr && t->thread != self; t = t->next) {
    }
    int64_t error = 0;
    if (t == nullptr && (t = nbapiNewThread(allegianceForeign, &error)) != nullptr) t->thread = self;
    if (t != nullptr && t->callOutCount == 0) {
      t->callOutCount = 1;
      threadPlatform->lock(t->mutex);
      t->started = 1;  // the service hands callbacks only to records that started
    }
    unlockNB();
    if (t == nullptr) return 0;
  }
  record->thunk = thunk;
  record->next = t->callbacks;
  t->callbacks = record;
  t->callbackThunk = thunk;
  t->callbackAnswer = 0;
  nbapiWorkerLoop(t, tsCallingBack);
  t->callbacks = record->next;
  bool valid = t->callbackAnswer != -1;
  if (foreign && t->callOutCount < 2) {
    threadPlatform->unlock(t->mutex);
    lockNB();
    threadPlatform->lockDestroy(t->mutex, t->cond);
    unlink(&nb.active, t);
    retire(t);
    unlockNB();
  } else {
    t->state = tsCalling;  // back into its own call-out
  }
  return valid;
}

// ---- Termination ------------------------------------------------------------------------------

void NBAPICheckProcessTermination(uint64_t process) {
  if (!NBAPIInitialised()) return;
  lockNB();
  TInfo* t = serving(process);
  if (t != nullptr) {
    threadObjects->setProcessAt(t->index, 0);
    threadObjects->resetSemaphore(t->index);
    uint8_t s = t->state;
    if ((s == tsQuiescent || s == tsCallingBack) && t->callbacks != nullptr) {
      // A thread waiting for a callback's answer cannot be stopped there (C frames lie below
      // it): it gets no valid answer and goes on; a foreign one gives its record back itself,
      // a worker's call is dropped when it returns (its Process slot is empty now).
      nbapiDeliverCallbackAnswer(t, 0, false);
    } else if (!(t->allegiance & allegianceForeign)) {
      if (t->state == tsQuiescent && t->callOutCount == 0) {
        t->allegiance = allegianceFreelance;
      } else {
        bool cancelled = false;
        if (t->state == tsReturning) {
          // Done already: the result is dropped and the worker kept.
          t->callOutCount--;
          t->state = tsQuiescent;
          t->allegiance = allegianceFreelance;
        } else {
          nbapiStopThread(t, true);
          cancelled = t->state == tsCancelling;
          unlink(&nb.active, t);
          if (!cancelled) {  // stopped at its wait (Dead); a cancelled one frees itself
            freeCallRecords(t);
            retire(t);
          }
        }
      }
    }
  }
  unlockNB();
}

// ---- Attachment and levels ---------------------------------------------------------------------

int64_t NBAPIAttachProcessToThread(uint64_t process) {
  int64_t error = 0;
  TInfo* t = NBAPIThreadForCall(process, 0, &error);
  if (t == nullptr) return error;
  lockNB();
  t->allegiance |= allegianceTied;
  unlockNB();
  return 0;
}

int64_t NBAPIDetachProcessFromThread(uint64_t process) {
  if (!NBAPIInitialised()) return nbapiNotTied;
  lockNB();
  TInfo* t = serving(process);
  int64_t answer = nbapiNotTied;
  if (t != nullptr && (t->allegiance & allegianceTied)) {
    t->allegiance &= uint8_t(~allegianceTied);
    if (t->callOutCount == 0) {
      threadObjects->setProcessAt(t->index, 0);
      threadObjects->resetSemaphore(t->index);
    }
    answer = 0;
  }
  unlockNB();
  return answer;
}

int NBAPIProcessHasAttachedThread(uint64_t process) {
  if (!NBAPIInitialised()) return 0;
  lockNB();
  TInfo* t = serving(process);
  int answer = t != nullptr && (t->allegiance & allegianceTied);
  unlockNB();
  return answer;
}

void NBAPIGetThreadLevels(int64_t out[8]) {
  int64_t busy = 0, threads = 0, foreign = 0;
  if (NBAPIInitialised()) lockNB();
  for (TInfo* t = nb.active; t != nullptr; t = t->next) {
    if (t->allegiance & allegianceForeign) {
      foreign++;
      continue;
    }
    threads++;
    if (t->callOutCount > 0 || t->state != tsQuiescent) busy++;
  }
  if (NBAPIInitialised()) unlockNB();
  out[0] = nb.maximum, out[1] = nb.minimum, out[2] = busy, out[3] = threads, out[4] = foreign;
  out[5] = nb.created, out[6] = nb.stopped;
  out[7] = threadPlatform != nullptr ? int64_t(threadPlatform->cpuCount) : 0;
}

int NBAPISetThreadLevels(int64_t maximum, int64_t minimum) {
  int64_t max = maximum < 0 ? nb.maximum : maximum, min = minimum < 0 ? nb.minimum : minimum;
  if (max < min) return 0;
  nb.maximum = max, nb.minimum = min;
  if (NBAPIInitialised()) postRequest();
  return 1;
}

TInfo* NBAPITInfoForThread(uint64_t thread) {
  if (!NBAPIInitialised()) return nullptr;
  lockNB();
  TInfo* t = nb.active;
  while (t != nullptr && t->thread != thread) t = t->next;
  unlockNB();
  return t;
}

void NBAPIVisitRecords(void (*visit)(const TInfo*, int, void*), void* data) {
  if (!NBAPIInitialised()) return;
  lockNB();
  for (TInfo* t = nb.active; t != nullptr; t = t->next) visit(t, 0, data);
  for (TInfo* t = nb.free; t != nullptr; t = t->next) visit(t, 1, data);
  unlockNB();
}

void NBAPISetTableSlackForTests(uint64_t slack) {
  if (!NBAPIInitialised()) nb.slack = slack;
}

void NBAPIShutdownForTests() {
  if (!NBAPIInitialised()) return;
  lockNB();
  // Idle workers end at their waits; the records stay on the free list with their slots.
  while (TInfo* t = nb.active) {
    nb.active = t->next;
    if (!(t->allegiance & allegianceForeign) && !nbapiStopThread(t, false)) continue;  // busy: left to run out
    freeCallRecords(t);
    retire(t);
  }
  nb.threadCount = 0, nb.created = 0, nb.stopped = 0;
  nb.maximum = nb.minimum = nbapiDefaultLevel;
  nb.slack = nbapiTableSlack;
  unlockNB();
  threadPlatform->lockDestroy(nb.mutex, nb.cond);
  nb.initialised.store(false, std::memory_order_release);
}

// ---- Printers ----------------------------------------------------------------------------------

const char* stateof(uint32_t state) {
  static const char* const names[] = {"Nascent", "Quiescent", "Calling", "Returning", "CallingBack",
                                      "ReturningBack", "Dying", "Dead", "Cancelling"};
  return state <= tsCancelling ? names[state] : "UNKNOWN";
}

const char* allegianceName(uint32_t allegiance) {
  static const char* const names[] = {"freelance", "tied", "foreign"};
  return allegiance <= 2 ? names[allegiance] : "UNKNOWN";
}

static FILE* logStream() {
  FILE* f = threadObjects != nullptr && threadObjects->log != nullptr ? threadObjects->log() : nullptr;
  return f != nullptr ? f : stderr;
}

void printTInfo(const TInfo* t) {
  uint64_t e[6] = {0, 0, 0, 0, 0, 0};
  if (threadObjects != nullptr && threadObjects->describeEntry != nullptr) threadObjects->describeEntry(t->index, e);
  fprintf(logStream(),
          "\t\t\t%s thread %lu(%lx) tinfo 0x%lx\t%s  callOutCount %ld\n"
          "\t\t\tsem %lx  first %lx  last %lx  excess %d (oop:%lx)\n"
          "\t\t\tprocess %lx  myList %lx %s    (index %d)\n",
          allegianceName(t->allegiance), (unsigned long)t->thread, (unsigned long)t->thread, (unsigned long)(uintptr_t)t,
          stateof(t->state), (long)t->callOutCount.load(), (unsigned long)e[0], (unsigned long)e[1], (unsigned long)e[2],
          int(int64_t(e[3]) >> 3), (unsigned long)e[3], (unsigned long)e[4], (unsigned long)e[5],
          t->waiting ? "waiting" : "not waiting", t->index);
}

void printNBAPIList(const TInfo* list) {
  fprintf(logStream(), "\n");
  for (const TInfo* t = list; t != nullptr; t = t->next) printTInfo(t);
}

void printNBAPI() {
  uint64_t tables[4] = {0, 0, 0, 0};
  if (threadObjects != nullptr && threadObjects->describeTables != nullptr) threadObjects->describeTables(tables);
  fprintf(logStream(), "\t\t\tnil: %lx  NBAPITableIndex: %lx\tsoopTable: %lx  poopTable: %lx\n",
          (unsigned long)tables[0], (unsigned long)tables[1], (unsigned long)tables[2], (unsigned long)tables[3]);
  fprintf(logStream(), "\nUnattached tinfos list:\n");
  printNBAPIList(nb.free);
  fprintf(logStream(), "\nActive threads list:\n");
  printNBAPIList(nb.active);
}

void nbapiReportOSError(const char* message, const char* file, int line, int error) {
  if (error < 0) error = errno;
  if (error == ENOMEM) {
    doReportError(message, errFatal | errSpaceUnavailable, file, line);
    return;
  }
  const char* text = error > 0 ? strerror(error) : nullptr;
  fprintf(logStream(), "\a\aTHAPI: %s (%d:%s) (%s %d)\n", message, error, text != nullptr ? text : "unknown", file, line);
}
