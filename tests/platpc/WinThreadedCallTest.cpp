// Threaded calls on Windows under Wine: the call package built for a worker, run there while
// this thread goes on, and reaped into the same answers as the direct call; the error-carrying
// result kinds read their error on the worker; an exception on a worker fails its call and
// the worker serves the next one; callbacks from a worker and from a thread the engine did
// not make go through the threaded-call layer. The image's side (Processes, Semaphores, the
// Process that runs callbacks) is a fake served through threadObjects.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstring>
#include <vector>

#include "ext/exThreads.h"
#include "ext/platform.h"
#include "mman/mmAllocate.h"
#include "mman/mmCValue.h"
#include "mman/mmPrimUtil.h"
#include "mman/mmSysOop.h"
#include "platpc/ntCallC.h"
#include "platpc/ntThreads.h"
#include "platpc/ntThunk.h"
#include "prim/prCKind.h"
#include "prim/prCall.h"
#include "prim/prDouble.h"
#include "prim/prThreads.h"
#include "support/cKernel.h"

namespace {

oop k(int64_t v) { return smallIntegerFor(v); }

// Slots of the fake tables, of the Semaphore Array, and the Process serving foreign callbacks.
enum : uint64_t { fakeSlots = 4096, semaphoreSlots = 64, callbackServer = 77 };

// The image's side: the Process entries, what the reap delivered, the callbacks handed over.
struct Fake {
  std::vector<uint64_t> processes = std::vector<uint64_t>(fakeSlots, 0);
  bool reaped = false;
  oop answer = 0;  // the reap's answer (0: failed)
  CallErrorRecord record{0, 0, 0};
  oop resultObject = 0;           // the preallocated result the reap fills
  TInfo* callbackFrom = nullptr;  // the record whose callback was handed over
  std::vector<uint8_t> callbackArgs;
};
Fake* fake;

int newTables(uint64_t slots) { return slots <= fakeSlots; }
uint64_t growTables(uint64_t slots) { return slots <= fakeSlots ? slots : 0; }
uint64_t processAt(int32_t i) { return fake->processes[size_t(i)]; }
void setProcessAt(int32_t i, uint64_t p) { fake->processes[size_t(i)] = p; }
int64_t readySemaphore(int32_t) { return 0; }
void resetSemaphore(int32_t) {}
uint64_t currentProcess() { return activeProcess(); }
ProcessWait processWait(int32_t) { return waitOnIt; }
void reapCall(TInfo* t) {
  CallErrorRecord record = {oop(t->calls->error[0]), t->calls->error[1], t->calls->error[2]};
  fake->answer = record.code == 0 ? threadReapHook(t, &record, fake->resultObject) : 0;
  fake->record = record;
  fake->reaped = true;
}
void postRequest() {}
CallbackHandOver handCallback(TInfo* t) {
  oop args = threadCallbackArgsHook(t);
  if (args == 0 || args == nilOop()) return callbackRefused;
  const uint8_t* b = reinterpret_cast<const uint8_t*>(bodyOf(headerOf(args)));
  fake->callbackArgs.assign(b, b + byteSizeOf(headerOf(args)));
  fake->callbackFrom = t;
  // a foreign thread's callback is served by the registered Process; a worker keeps its own
  if (t->allegiance & allegianceForeign) setProcessAt(t->index, callbackServer);
  return callbackTaken;
}
void callbackAnswer(TInfo* t, uint64_t answer) { threadCallbackAnswerHook(t, answer); }

ThreadObjects fakeObjects = {newTables,      growTables,     processAt,      setProcessAt,
                             readySemaphore, resetSemaphore, currentProcess, processWait,
                             reapCall,       postRequest,    handCallback,   callbackAnswer,
                             nullptr,        nullptr,        nullptr};

// Service passes until the predicate holds; false when it did not within the bound (a
// safety net against a hang, not a measure of speed).
template <typename P>
bool serveUntil(P done) {
  for (int i = 0; i < 20000 && !done(); i++) {
    NBAPIServiceThreads();
    Sleep(1);
  }
  return done();
}

class Win_ThreadedCall : public ::testing::Test {
 protected:
  HMODULE lib = nullptr;
  int64_t savedTableIndex = -1;

  void SetUp() override {
    newCTestHeap();
    fake = new Fake();
    catchExternalCallErrors = 1;
    lib = LoadLibraryA("calltest.dll");
    ASSERT_NE(lib, nullptr);
    // the Semaphore table the call-out answers from: an Array of nils in the registry
    ObjectHeader* table = allocVSObj(sysOop(sysArrayClass), semaphoreSlots);
    ASSERT_NE(table, nullptr);
    for (uint64_t i = 0; i < semaphoreSlots; i++) bodyOf(table)[i] = nilOop();
    savedTableIndex = NBAPITableIndex;
    NBAPITableIndex = registerNewSysOop(oopOf(table));
    ASSERT_GE(NBAPITableIndex, 0);
    threadObjects = &fakeObjects;
    ASSERT_EQ(threadPlatform, &windowsThreadPlatform);
    InitializeNBAPI();
    ASSERT_TRUE(NBAPIInitialised());
  }
  void TearDown() override {
    NBAPIShutdownForTests();
    threadObjects = nullptr;
    NBAPITableIndex = savedTableIndex;
    catchExternalCallErrors = 1;
    delete fake;
  }
  void* fn(const char* name) {
    void* f = reinterpret_cast<void*>(GetProcAddress(lib, name));
    EXPECT_NE(f, nullptr) << name;
    return f;
  }
  static oop callWith(uint64_t flags, void* function, const std::vector<uint8_t>& kinds,
                      const std::vector<oop>& args, CallErrorRecord* record, uint64_t resultBytes) {
    std::vector<uint64_t> base(args.size() + 1);
    for (size_t i = 0; i < args.size(); i++) base[args.size() - i] = args[i];
    *record = {0, 0, 0};
    return pdCallC(flags, cUnsignedToOop(uint64_t(uintptr_t(function))), kinds.data(), args.size(), 0,
                   base.data(), nilOop(), 0, resultBytes, record);
  }
  // The call made threaded: false when it was refused at once (the record filled).
  bool start(void* function, const std::vector<uint8_t>& kinds, const std::vector<oop>& args,
             CallErrorRecord* record, uint64_t resultBytes = 0) {
    fake->reaped = false;
    return callWith(callFlagThreaded, function, kinds, args, record, resultBytes) != 0;
  }
  // The threaded call's reaped answer (0 failed: fake->record holds why).
  oop threaded(void* function, const std::vector<uint8_t>& kinds, const std::vector<oop>& args,
               uint64_t resultBytes = 0) {
    CallErrorRecord record;
    if (!start(function, kinds, args, &record, resultBytes)) {
      fake->record = record;
      return 0;
    }
    EXPECT_TRUE(serveUntil([] { return fake->reaped; }));
    return fake->answer;
  }
  static int64_t created() {
    int64_t levels[8];
    NBAPIGetThreadLevels(levels);
    return levels[5];
  }
};

double numberOf(oop n) {
  double d = 0;
  EXPECT_TRUE(calloutNumberAsDouble(n, &d));
  return d;
}

// Each row runs direct and threaded: the answers agree (integers, floats and doubles, a
// struct in rax and one through the hidden buffer, a struct argument copied, stack words).
TEST_F(Win_ThreadedCall, AnswersAsTheDirectCall) {
  int32_t s12[3] = {1, 2, 3};
  int64_t s16[2] = {0, 0};
  const struct {
    const char* name;
    std::vector<uint8_t> kinds;
    std::vector<oop> args;
    uint64_t resultBytes;
  } rows[] = {
      {"ct_int", {ckSignedInt, ckSignedInt}, {k(-12345)}, 0},
      {"ct_scale", {ckDouble, ckDouble, ckSignedInt}, {smallDoubleFor(1.25), k(3)}, 0},
      {"ct_half", {ckFloat, ckFloat}, {smallDoubleFor(5.0)}, 0},
      {"ct_s12", {ckLongLong, ckStruct}, {newComposite(nilOop(), 12, s12)}, 0},
      {"ct_make8", {ckStruct, ckSignedInt, ckSignedInt}, {k(4), k(-5)}, 8},
      {"ct_make16", {ckStruct, ckLongLong, ckLongLong}, {k(6), k(-7)}, 16},
      {"ct_record",
       {ckLongLong, ckLongLong, ckLongLong, ckLongLong, ckLongLong, ckLongLong, ckLongLong},
       {k(1), k(2), k(3), k(4), k(5), k(6)},
       0},
  };
  for (const auto& row : rows) {
    bool isStruct = row.kinds[0] == ckStruct;
    oop direct, viaWorker;
    std::vector<uint8_t> directBytes, workerBytes;
    for (int pass = 0; pass < 2; pass++) {
      oop result = isStruct ? newComposite(nilOop(), row.resultBytes, s16) : 0;
      calloutResult = result;
      fake->resultObject = result;
      CallErrorRecord record;
      oop r = pass == 0 ? callWith(0, fn(row.name), row.kinds, row.args, &record, row.resultBytes)
                        : threaded(fn(row.name), row.kinds, row.args, row.resultBytes);
      calloutResult = 0;
      ASSERT_NE(r, oop(0)) << row.name << (pass ? " threaded" : " direct");
      (pass == 0 ? direct : viaWorker) = r;
      if (isStruct) {
        const uint8_t* b = reinterpret_cast<const uint8_t*>(bodyOf(headerOf(slotOf(r, 0))));
        (pass == 0 ? directBytes : workerBytes).assign(b, b + row.resultBytes);
      }
    }
    if (isStruct)
      EXPECT_EQ(directBytes, workerBytes) << row.name;
    else
      EXPECT_EQ(numberOf(direct), numberOf(viaWorker)) << row.name;
  }
  EXPECT_EQ(created(), 1);  // one worker served them all
}

// Kinds 31-33 read their error on the worker: GetLastError there, not this thread's; result
// kinds a threaded call cannot take fail before any thread is chosen; an object argument is
// refused (it may move while C holds it).
TEST_F(Win_ThreadedCall, ErrorCarryingKindsAndRefusals) {
  SetLastError(1234);
  const struct {
    const char* name;
    std::vector<uint8_t> kinds;
    oop arg;
    oop answer;  // 0: fails
    int64_t code, value;
  } rows[] = {
      {"ct_last_error", {ckPlatform33, ckSignedInt}, k(5), 0, -77, 5},
      {"ct_errno", {ckErrnoResult, ckSignedInt}, k(34), 0, -77, -34},
      {"ct_int", {ckPlatform31, ckSignedInt}, k(-7), 0, -149, -7},
      {"ct_int", {ckPlatform31, ckSignedInt}, k(7), k(7), 0, 0},
      {"ct_int", {ckReservedPointer, ckSignedInt}, k(1), 0, -101, 0},
      {"ct_int", {ckObject, ckSignedInt}, k(1), 0, -101, 0},
      {"ct_int", {ckNone, ckSignedInt}, k(1), 0, -101, 0},
      {"ct_int", {ckSignedInt, ckObject}, k(1), 0, 0, 1},
  };
  for (const auto& row : rows) {
    oop r = threaded(fn(row.name), row.kinds, {row.arg});
    EXPECT_EQ(r, row.answer) << row.name << " kind " << int(row.kinds[0]);
    if (row.answer != 0) continue;
    EXPECT_EQ(int64_t(fake->record.code), row.code) << row.name << " kind " << int(row.kinds[0]);
    EXPECT_EQ(int64_t(fake->record.value1), row.value) << row.name << " kind " << int(row.kinds[0]);
  }
  EXPECT_EQ(created(), 1);
}

// A call of address 0 on a worker fails with the access violation even with catching off;
// the same worker serves the next call.
TEST_F(Win_ThreadedCall, ExceptionOnAWorkerFailsItsCall) {
  catchExternalCallErrors = 0;
  const uint8_t kinds[] = {ckSignedInt};
  CallErrorRecord record = {0, 0, 0};
  fake->reaped = false;
  ASSERT_NE(pdCallC(callFlagThreaded, k(0), kinds, 0, 0, nullptr, nilOop(), 0, 0, &record), oop(0));
  ASSERT_TRUE(serveUntil([] { return fake->reaped; }));
  EXPECT_EQ(fake->answer, oop(0));
  EXPECT_EQ(int64_t(fake->record.code), callErrorFault);
  EXPECT_EQ(fake->record.value1, uint64_t(EXCEPTION_ACCESS_VIOLATION));
  EXPECT_EQ(fake->record.value2, 0u);
  EXPECT_EQ(threaded(fn("ct_int"), {ckSignedInt, ckSignedInt}, {k(3)}), k(3));
  EXPECT_EQ(created(), 1);
}

// The worker blocks in C while this thread goes on: it waits for an event that only this
// thread sets after the call was handed over.
TEST_F(Win_ThreadedCall, TheCallRunsWhileTheEngineGoesOn) {
  HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  ASSERT_NE(event, nullptr);
  void* wait =
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("kernel32.dll"), "WaitForSingleObject"));
  CallErrorRecord record;
  ASSERT_TRUE(start(wait, {ckUnsignedInt, ckPointer13, ckUnsignedInt},
                    {cUnsignedToOop(uint64_t(uintptr_t(event))), cUnsignedToOop(INFINITE)}, &record));
  ASSERT_TRUE(serveUntil([] {
    int64_t levels[8];
    NBAPIGetThreadLevels(levels);
    return levels[2] == 1;  // busy
  }));
  for (int i = 0; i < 5; i++) NBAPIServiceThreads();
  EXPECT_FALSE(fake->reaped);
  SetEvent(event);
  ASSERT_TRUE(serveUntil([] { return fake->reaped; }));
  EXPECT_EQ(fake->answer, k(WAIT_OBJECT_0));
  CloseHandle(event);
}

// A Process terminated while its worker blocks in a pipe read: the worker's read is
// cancelled, and the worker gives its record back itself once its C function returns.
TEST_F(Win_ThreadedCall, TerminationCancelsABlockedRead) {
  HANDLE readEnd, writeEnd;
  ASSERT_TRUE(CreatePipe(&readEnd, &writeEnd, nullptr, 0));
  CallErrorRecord record;
  ASSERT_TRUE(start(fn("ct_block_read"), {ckLongLong, ckLongLong},
                    {cUnsignedToOop(uint64_t(uintptr_t(readEnd)))}, &record));
  auto levels = [](int i) {
    int64_t v[8];
    NBAPIGetThreadLevels(v);
    return v[i];
  };
  ASSERT_TRUE(serveUntil([&] { return levels(2) == 1; }));  // busy in the read
  Sleep(200);  // into ReadFile itself: a cancel finds only I/O in progress
  NBAPICheckProcessTermination(activeProcess());
  EXPECT_EQ(levels(6), 1);  // stopped
  struct Count {
    int active = 0, free = 0;
  } count;
  ASSERT_TRUE(serveUntil([&] {
    count = {};
    NBAPIVisitRecords(
        [](const TInfo*, int onFree, void* c) {
          (onFree ? static_cast<Count*>(c)->free : static_cast<Count*>(c)->active)++;
        },
        &count);
    return count.free == 1;
  }));
  EXPECT_EQ(count.active, 0);
  EXPECT_FALSE(fake->reaped);  // the cancelled call answers nobody
  EXPECT_EQ(threaded(fn("ct_int"), {ckSignedInt, ckSignedInt}, {k(9)}),
            k(9));  // a new worker, the record reused
  EXPECT_EQ(levels(5), 2);
  CloseHandle(readEnd);
  CloseHandle(writeEnd);
}

// A thunk called from a worker (inside a threaded call) and from a thread the engine did not
// make: the callback is handed to the image, and its answer returns to C.
TEST_F(Win_ThreadedCall, CallbacksFromOtherThreads) {
  std::vector<uint64_t> types = {nilOop(), nilOop(), nilOop()}, sizes = {k(8), k(8), k(8)},
                        kinds = {k(ckLongLong), k(ckLongLong), k(ckLongLong)};
  void* thunk = pdThunkCreate(0, 2, types.data(), sizes.data(), kinds.data());
  ASSERT_GT(uintptr_t(thunk), 1u);
  auto answerCallback = [](int64_t expectedA, int64_t expectedB) {
    ASSERT_TRUE(serveUntil([] { return fake->callbackFrom != nullptr; }));
    ASSERT_EQ(fake->callbackArgs.size(), 16u);
    int64_t ab[2];
    memcpy(ab, fake->callbackArgs.data(), 16);
    EXPECT_EQ(ab[0], expectedA);
    EXPECT_EQ(ab[1], expectedB);
    uint64_t process = processAt(fake->callbackFrom->index);
    fake->callbackFrom = nullptr;
    EXPECT_EQ(NBAPICallbackReturn(process, k(ab[0] * ab[1])), 0);
  };

  // from a worker: ct_apply(thunk, 6, 7) runs threaded
  CallErrorRecord record;
  ASSERT_TRUE(start(fn("ct_apply"), {ckLongLong, ckPointer13, ckLongLong, ckLongLong},
                    {cUnsignedToOop(uint64_t(uintptr_t(thunk))), k(6), k(7)}, &record));
  answerCallback(6, 7);
  ASSERT_TRUE(serveUntil([] { return fake->reaped; }));
  EXPECT_EQ(fake->answer, k(42));

  // from a foreign thread: its record lives only while the callback runs
  struct Call {
    void* thunk;
    int64_t answer;
  } c = {thunk, 0};
  HANDLE thread = CreateThread(
      nullptr, 0,
      [](void* p) -> DWORD {
        Call* call = static_cast<Call*>(p);
        call->answer = reinterpret_cast<int64_t (*)(int64_t, int64_t)>(call->thunk)(-3, 5);
        return 0;
      },
      &c, 0, nullptr);
  ASSERT_NE(thread, nullptr);
  answerCallback(-3, 5);
  EXPECT_EQ(WaitForSingleObject(thread, 20000), WAIT_OBJECT_0);
  CloseHandle(thread);
  EXPECT_EQ(c.answer, -15);
  int64_t levels[8];
  NBAPIGetThreadLevels(levels);
  EXPECT_EQ(levels[4], 0);  // no foreign record left

  // refused (the image cannot take the arguments): C gets -1 at once
  std::vector<uint64_t> badSizes = {k(8), k(3), k(8)};
  void* bad = pdThunkCreate(0, 2, types.data(), badSizes.data(), kinds.data());
  ASSERT_GT(uintptr_t(bad), 1u);
  c = {bad, 0};
  thread = CreateThread(
      nullptr, 0,
      [](void* p) -> DWORD {
        Call* call = static_cast<Call*>(p);
        call->answer = reinterpret_cast<int64_t (*)(int64_t, int64_t)>(call->thunk)(1, 2);
        return 0;
      },
      &c, 0, nullptr);
  ASSERT_NE(thread, nullptr);
  ASSERT_TRUE(serveUntil([&] { return WaitForSingleObject(thread, 0) == WAIT_OBJECT_0; }));
  CloseHandle(thread);
  EXPECT_EQ(c.answer, -1);
  pdThunkDestroy(bad, 0);
  pdThunkDestroy(thunk, 0);
}

}  // namespace
