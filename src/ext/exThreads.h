// Threaded calls: C call-outs run on worker threads while the image's other Processes go on,
// and the hand-over between the workers and the engine thread (request 4). Only the engine
// thread touches objects: what it must do with them goes through `threadObjects`, which the
// C-interface primitives serve; what needs the operating system (threads, locks, the call
// itself) goes through `threadPlatform`, which the platform layer serves. Without a platform
// the interface stays uninitialised and every threaded call fails.
// Owns the thread records, their two lists, the levels and counters. Prefix: NBAPI, nbapi.
#pragma once
#include <atomic>
#include <cstdint>
#include <cstdio>

// ThreadState of a record (stateof names them).
enum ThreadState : uint8_t {
  tsNascent,        // created, not yet waiting
  tsQuiescent,      // idle
  tsCalling,        // a call-out was handed to the thread
  tsReturning,      // the call-out finished; waits for the engine to reap it
  tsCallingBack,    // waits for Smalltalk to run a callback
  tsReturningBack,  // the callback's answer is ready
  tsDying,          // asked to end
  tsDead,           // ended
  tsCancelling,     // being cancelled
};

//   allegiance bits:  1 0
//                     | +- tied: the thread serves one Process only
//                     +--- foreign: a thread the engine did not create
enum : uint8_t { allegianceFreelance = 0, allegianceTied = 1, allegianceForeign = 2 };

// Error words a threaded call answers (SmallInteger oops: -n is PrimErrorTable entry n - 1 ... as
// the call-out's CallErrorRecord codes).
enum : int64_t {
  nbapiNoMemory = -13,         // table growth, Semaphore
  nbapiMallocFailed = -21,     // record or call buffer, or no memory for a thread
  nbapiErrno = -77,            // the call failed with errno
  nbapiNoMutex = -93,          // lock or condition not made; the Process has no Semaphore
  nbapiNotInitialised = -101,  // or a result kind a threaded call cannot take
  nbapiNoThread = -117,        // no thread serves the Process
  nbapiNotTied = -125,         // the Process has no tied thread
  nbapiThreadLimit = -133,     // no more workers, or a worker did not start
  nbapiFault = -141,           // the C code faulted
};

enum : uint64_t {
  nbapiLockBytes = 64,          // opaque room of a platform mutex, and of a condition
  nbapiJumpBytes = 256,         // opaque room of the fault jump point (mask saved)
  nbapiCallStep = 128,          // call records grow in steps of this many bytes
  nbapiTableSlack = 1000,       // table slots beyond the maximum level
  nbapiDefaultLevel = 32,       // default maximum and minimum thread counts
};

// The call record of a thread (grown in nbapiCallStep steps; the call package follows it).
struct CallRecord {
  CallRecord* next;                // chain of a thread's call records
  uint32_t capacity;               // bytes of the package area after the record
  std::atomic<uint32_t> inCall;    // 1 while the C function runs
  uint64_t error[3];               // the CallErrorRecord {code, value1, value2} of the call
  alignas(16) uint8_t jump[nbapiJumpBytes];  // where a fault inside the call jumps to
};
inline uint8_t* callPackageOf(CallRecord* r) { return reinterpret_cast<uint8_t*>(r + 1); }

// A callback made on a thread other than the engine's: pushed on the record's callback chain
// while the engine runs it.
struct CallbackRecord {
  CallbackRecord* next;  // the callback below it
  uint64_t thunk;        // the thunk called
  const void* frame;     // the saved argument registers and stack (the platform's layout)
  uint64_t result[6];    // the C result registers the answer converts to (the platform's layout)
};

// One thread's record: malloc'd, reused through the free list, never freed.
struct TInfo {
  TInfo* next;                            // active or free list
  uint64_t thread;                        // platform thread id; smalltalkThread while free
  int32_t wakeCount;                      // counting wake-up token (guarded by mutex)
  alignas(16) uint8_t mutex[nbapiLockBytes];  // guards wakeCount; held by a worker except in its wait
  alignas(16) uint8_t cond[nbapiLockBytes];   // the thread's wake-up signal
  std::atomic<uint8_t> started;           // the thread holds its mutex (or entered a callback)
  std::atomic<uint8_t> waiting;           // 1 while the thread is in its wait
  std::atomic<uint8_t> state;             // ThreadState
  uint8_t allegiance;                     // bits above
  int32_t index;                          // slot of the record in both tables, kept for life
  std::atomic<int64_t> callOutCount;      // call-outs (and foreign callbacks) in progress
  CallRecord* calls;                      // the call record (its package)
  CallbackRecord* callbacks;              // chain of callbacks in progress
  uint64_t callbackThunk;                 // the thunk of the callback in progress
  int64_t callbackAnswer;                 // after a callback: -1 no valid answer
};

// What the engine does with objects for the threads: the two tables in the registry, the
// Semaphores and Processes in them, and the hand-over of results and callbacks.
enum ProcessWait { waitGone, waitOnIt, waitLater };
// What became of a callback handed to the image: refused (C gets -1), taken, or left for a
// later pass (with the request posted again when the image is about to take it).
enum CallbackHandOver { callbackRefused, callbackTaken, callbackLater, callbackSoon };
struct ThreadObjects {
  int (*newTables)(uint64_t slots);           // 1 made and registered
  uint64_t (*growTables)(uint64_t slots);     // the usable size now, 0 when they did not grow
  uint64_t (*processAt)(int32_t index);       // 0 when empty
  void (*setProcessAt)(int32_t index, uint64_t process);  // 0 empties
  int64_t (*readySemaphore)(int32_t index);   // resets the Semaphore, or makes one: 0, or an error word
  void (*resetSemaphore)(int32_t index);      // no waiters, no signals (none there: nothing)
  uint64_t (*activeProcess)();
  ProcessWait (*processWait)(int32_t index);  // how the Process of the slot waits on its Semaphore
  void (*reapCall)(TInfo* t);                 // the Process waits: its result or error goes to it
  void (*postRequest)();                      // posts request 4 from any thread
  CallbackHandOver (*handCallback)(TInfo* t); // the top callback of a CallingBack record to the image
  void (*callbackAnswer)(TInfo* t, uint64_t answer);  // the image's answer into the C result
  // For the printers: {nil, the tables' registry index, Semaphore table, Process table}, and
  // of the record of index {Semaphore, its first link, last link, excess signals, Process,
  // its myList}.
  void (*describeTables)(uint64_t out[4]);
  void (*describeEntry)(int32_t index, uint64_t out[6]);
  FILE* (*log)();  // the debug log
};
extern ThreadObjects* threadObjects;

// What the operating system does for them.
struct ThreadPlatform {
  uint64_t (*self)();
  int (*start)(TInfo* t, uint64_t* id);        // runs nbapiThreadMain(t): 0, 1 no memory, 2 other
  void (*cancel)(uint64_t id);                 // the worker's cleanup runs nbapiThreadCleanup
  void (*yield)();
  int (*lockInit)(void* mutex, void* cond);    // 1 made
  void (*lockDestroy)(void* mutex, void* cond);
  void (*lock)(void* mutex);
  void (*unlock)(void* mutex);
  void (*signal)(void* cond);
  // Waits on cond releasing mutex; 0 untimed. Answers 1 when the time ran out.
  int (*wait)(void* cond, void* mutex, uint64_t nanoseconds);
  void (*innerCall)(TInfo* t);                 // runs the package on the worker; a fault returns here
  uint64_t cpuCount;
};
extern ThreadPlatform* threadPlatform;

extern uint64_t smalltalkThread;  // the engine thread's id, set by InitializeNBAPI

// Set-up: tables, the levels, the engine thread. Nothing without a platform and objects.
void InitializeNBAPI();
void NBAPIShutdownForTests();  // stops every worker and forgets the records (tests only)
// Tests only, before set-up: the table slots beyond the maximum level (and the least growth),
// so that the tables fill without a thousand threads.
void NBAPISetTableSlackForTests(uint64_t slack);
bool NBAPIInitialised();

// The thread for a threaded call of the Process (bytes of call package): its record, or an
// error word (negative).
TInfo* NBAPIThreadForCall(uint64_t process, uint64_t bytes, int64_t* error);
void NBAPISignalThreadForCallout(TInfo* t);
// The Semaphore slot index of the record serving the active Process (posts request 4), or an
// error word (negative).
int64_t NBAPISemaphoreIndexForCurrentProcess();
void NBAPIServiceThreads();  // request 4
// The answer of a callback that the Process ran for another thread: 0, or -117 when no
// thread waits for one from it.
int64_t NBAPICallbackReturn(uint64_t process, uint64_t answer);
void NBAPICheckProcessTermination(uint64_t process);
// A callback on a thread other than the engine's (record pushed for its duration): waits
// until the engine has run it. 1 when record->result holds a valid answer.
int NBAPIInvokeCallback(uint64_t thunk, CallbackRecord* record);
void NBAPIReleaseThreadIfUnwound(TInfo* t);
TInfo* NBAPITInfoForThread(uint64_t thread);
TInfo* nbapiCurrentTInfo();  // the record of the calling worker (signal-safe), or null

int64_t NBAPIAttachProcessToThread(uint64_t process);
int64_t NBAPIDetachProcessFromThread(uint64_t process);
int NBAPIProcessHasAttachedThread(uint64_t process);
void NBAPIGetThreadLevels(int64_t out[8]);
int NBAPISetThreadLevels(int64_t maximum, int64_t minimum);

// The worker's life (called by the platform's thread start routine and its cleanup).
void nbapiThreadMain(TInfo* t);
void nbapiThreadCleanup(TInfo* t);

// Visits every record under the NBAPI mutex: onFree 0 for the active list, 1 for the free
// list (the test harness's consistency checks).
void NBAPIVisitRecords(void (*visit)(const TInfo* t, int onFree, void* data), void* data);

const char* stateof(uint32_t state);
const char* allegianceName(uint32_t allegiance);
// Printers to the debug log: the tables and both lists; a list; one record.
void printNBAPI();
void printNBAPIList(const TInfo* list);
void printTInfo(const TInfo* t);
// A failing operating-system call: error < 0 means errno. Out of memory is fatal; anything
// else is printed to the debug log and the caller carries on.
void nbapiReportOSError(const char* message, const char* file, int line, int error);
