// C interface: the objects of threaded calls and the thread primitives 1051-1056. The two
// tables live in consecutive registry slots: an Array of Semaphores and a weak object of
// Processes (the class of registry slot 26, its named slots first); record i owns entry i of
// each. Empty entries hold SmallInteger 0. Owns NBAPITableIndex, nbForeignCallbackProcessX.
// Prefix: none.
#include "prim/prThreads.h"

#include "ext/exError.h"
#include "ext/exPrimTable.h"
#include "ext/exRequest.h"
#include "mman/mmAllocate.h"
#include "mman/mmCValue.h"
#include "mman/mmDebug.h"
#include "mman/mmOldSpace.h"
#include "mman/mmRt.h"
#include "mman/mmSysOop.h"
#include "stack/nsupport.h"
#include "stack/scheduler.h"
#include "stack/send.h"
#include "prim/prMessage.h"

int64_t NBAPITableIndex = -1;
int64_t nbForeignCallbackProcessX = -1;
oop (*threadReapHook)(TInfo*, CallErrorRecord*, oop);
oop (*threadCallbackArgsHook)(TInfo*);
void (*threadCallbackAnswerHook)(TInfo*, oop);

static const char threadsSource[] = __FILE__;

static oop semaphoreTable() { return sysOop(uint32_t(NBAPITableIndex)); }
static oop processTable() { return sysOop(uint32_t(NBAPITableIndex + 1)); }
static uint64_t processTableNamed;  // named slots before the Process entries

static oop emptyEntry() { return smallIntegerFor(0); }
static bool isEmpty(oop entry) { return entry == emptyEntry() || entry == nilOop() || entry == 0; }

// The weak class of registry slot 26 when the image has one, else Array (held strongly).
static void processTableClass(uint32_t* tag, uint64_t* named, uint64_t* flags) {
  oop weak = sysOop(sysWeakArrayClass);
  *tag = classIndexArray, *named = 0, *flags = hasPtrsBit;
  if (!isHeapObject(weak) || weak == nilOop() || !hasPtrs(headerOf(weak))) return;
  *tag = hashOf(headerOf(weak));
  *named = formatNamedSlots(classFormatOf(weak));
  *flags = hasPtrsBit | isGCSpecialBit;
}

// Two new tables of slots entries, the old entries copied: 1 done.
static int makeTables(uint64_t slots, uint64_t oldSlots) {
  uint32_t tag;
  uint64_t named, flags;
  processTableClass(&tag, &named, &flags);
  ObjectHeader* s = allocInOldSpace(classIndexArray, 0, 8 * slots, hasPtrsBit, emptyEntry(), 0);
  ObjectHeader* p = s == nullptr ? nullptr : allocInOldSpace(tag, named, 8 * (named + slots), flags, emptyEntry(), 0);
  if (p == nullptr) return 0;
  for (uint64_t i = 0; i < named; i++) bodyOf(p)[i] = nilOop();
  for (uint64_t i = 0; i < oldSlots; i++) {
    storeSlot(oopOf(s), i, slotOf(semaphoreTable(), i), threadsSource, __LINE__);
    storeSlot(oopOf(p), named + i, slotOf(processTable(), processTableNamed + i), threadsSource, __LINE__);
  }
  if (NBAPITableIndex < 0) {
    int64_t a = registerNewSysOop(oopOf(s)), b = registerNewSysOop(oopOf(p));
    if (a < 0 || b != a + 1) {
      doReportError("Couldn't allocate NBAPI sysOop slots", errContact | errFatal | errSpaceUnavailable, threadsSource, __LINE__);
      return 0;
    }
    NBAPITableIndex = a;
  } else {
    registerSysOop(oopOf(s), uint32_t(NBAPITableIndex));
    registerSysOop(oopOf(p), uint32_t(NBAPITableIndex + 1));
  }
  processTableNamed = named;
  return 1;
}

static uint64_t tableSlots() { return bodyWordsOf(headerOf(semaphoreTable())); }

static int newTables(uint64_t slots) { return makeTables(slots, 0); }
static uint64_t growTables(uint64_t slots) { return makeTables(slots, tableSlots()) ? slots : 0; }

oop nbapiSemaphoreAt(int32_t index) { return slotOf(semaphoreTable(), uint64_t(index)); }

static uint64_t processAt(int32_t index) {
  oop p = slotOf(processTable(), processTableNamed + uint64_t(index));
  return isEmpty(p) ? 0 : p;
}

static void setProcessAt(int32_t index, uint64_t process) {
  storeSlot(processTable(), processTableNamed + uint64_t(index), process == 0 ? emptyEntry() : process, threadsSource,
            __LINE__);
}

static bool isSemaphore(oop s) {
  return isHeapObject(s) && s != nilOop() && hasPtrs(headerOf(s)) && bodyWordsOf(headerOf(s)) >= 3 &&
         (classTagOf(headerOf(s)) == classIndexSemaphore || isKindOf(s, sysOop(sysSemaphoreClass)));
}

static void resetSemaphore(int32_t index) {
  oop s = nbapiSemaphoreAt(index);
  if (!isSemaphore(s)) return;
  storeSlot(s, listFirstLink, nilOop(), threadsSource, __LINE__);
  storeSlot(s, listLastLink, nilOop(), threadsSource, __LINE__);
  storeSlot(s, semaphoreExcessSignals, smallIntegerFor(0), threadsSource, __LINE__);
}

static int64_t readySemaphore(int32_t index) {
  if (isSemaphore(nbapiSemaphoreAt(index))) {
    resetSemaphore(index);
    return 0;
  }
  ObjectHeader* h = allocFSObj(sysOop(sysSemaphoreClass));
  if (h == nullptr) return nbapiNoMemory;
  for (uint64_t i = 0; i < bodyWordsOf(h); i++) bodyOf(h)[i] = nilOop();
  bodyOf(h)[semaphoreExcessSignals] = smallIntegerFor(0);
  storeSlot(semaphoreTable(), uint64_t(index), oopOf(h), threadsSource, __LINE__);
  return 0;
}

static uint64_t currentProcess() { return activeProcess(); }

static ProcessWait processWait(int32_t index) {
  oop p = processAt(index), s = nbapiSemaphoreAt(index);
  if (p == 0 || !isSemaphore(s) || !isHeapObject(p) || bodyWordsOf(headerOf(p)) <= processMyList) return waitGone;
  oop context = slotOf(p, processSuspendedContext);
  if (context == nilOop()) return p == activeProcess() ? waitLater : waitGone;
  bool onIt = slotOf(s, listFirstLink) == p && slotOf(s, listLastLink) == p && slotOf(p, processMyList) == s;
  return onIt ? waitOnIt : waitLater;
}

// The finished call's result goes into the object preallocated at the top of the waiting
// Process's stack, or its error becomes the primitive's failure; the Process is then woken.
static void reapCall(TInfo* t) {
  oop process = processAt(t->index), semaphore = nbapiSemaphoreAt(t->index);
  oop context = slotOf(process, processSuspendedContext);
  CallErrorRecord record = {oop(t->calls->error[0]), t->calls->error[1], t->calls->error[2]};
  oop answer = 0;
  if (record.code == 0 && threadReapHook != nullptr) answer = threadReapHook(t, &record, topOfStack(context));
  else if (record.code == 0) record.code = oop(nbapiNotInitialised);
  oop delivered = answer != 0 ? answer : cloneCallCError(&record);
  asynchSignal(semaphore);
  asynchReCommitOrFailPrimitive(context, delivered, answer == 0);
}

static void postThreadRequest() { asyncSetRequest(requestThreadedCalls, 2, 0); }

static oop registeredForeignProcess() {
  return nbForeignCallbackProcessX < 1 ? nilOop() : sysOop(uint32_t(nbForeignCallbackProcessX));
}

// A callback from a worker runs in the Process whose call the worker is making: that Process
// waits on the record's Semaphore, and a send of the threaded-callback selector to the
// callback class, {thunk address, argument object, the Process}, goes on top of its suspended
// context; the method answers with 1051 and returns into the call's restart, where the
// Process waits again. Until it waits, the callback waits.
static CallbackHandOver handWorkerCallback(TInfo* t) {
  oop process = processAt(t->index), semaphore = nbapiSemaphoreAt(t->index);
  if (process == 0 || !isHeapObject(process) || !hasPtrs(headerOf(process)) ||
      bodyWordsOf(headerOf(process)) <= processMyList || !isSemaphore(semaphore))
    return callbackRefused;
  if (process == activeProcess()) return callbackSoon;  // about to wait for its call
  oop context = slotOf(process, processSuspendedContext);
  if (context == nilOop() || slotOf(semaphore, listFirstLink) != process || slotOf(semaphore, listLastLink) != process ||
      slotOf(process, processMyList) != semaphore)
    return callbackLater;
  if (callbackClassX < 1 || nbCallbackSelectorX < 1 || threadCallbackArgsHook == nullptr) return callbackRefused;
  oop thunk = cUnsignedToOop(t->callbackThunk);
  oop args = thunk == 0 ? 0 : threadCallbackArgsHook(t);
  if (args == 0) return callbackRefused;
  oop sendArgs[3] = {thunk, args, process};
  oop activation = buildActivationOfSendWithArgs(sysOop(uint32_t(callbackClassX)), sysOop(uint32_t(nbCallbackSelectorX)),
                                                 sendArgs, 3, context);
  if (activation == 0) return callbackRefused;
  storeSlot(process, processSuspendedContext, activation, threadsSource, __LINE__);
  asynchSignal(semaphore);
  return callbackTaken;
}

// Callbacks from threads the engine did not make run in the Process registered with 1053:
// it waits on a Semaphore, and its wait answers {thunk address, argument object, the Process
// to name in the answer (1051)}. While it is busy the callback waits; with none registered C
// gets -1 at once.
static CallbackHandOver handCallback(TInfo* t) {
  if (!(t->allegiance & allegianceForeign)) return handWorkerCallback(t);
  oop server = registeredForeignProcess();
  if (!isHeapObject(server) || server == nilOop() || !hasPtrs(headerOf(server)) ||
      bodyWordsOf(headerOf(server)) <= processMyList || threadCallbackArgsHook == nullptr)
    return callbackRefused;
  oop semaphore = slotOf(server, processMyList), context = slotOf(server, processSuspendedContext);
  if (!isSemaphore(semaphore) || context == nilOop() || slotOf(semaphore, listFirstLink) != server ||
      slotOf(semaphore, listLastLink) != server)
    return server == activeProcess() || !isSemaphore(semaphore) ? callbackSoon : callbackLater;
  oop thunk = cUnsignedToOop(t->callbackThunk);
  oop args = thunk == 0 ? 0 : threadCallbackArgsHook(t);
  ObjectHeader* request = args == 0 ? nullptr : allocVSObj(sysOop(sysArrayClass), 3);
  if (request == nullptr) return callbackRefused;
  oop slots[3] = {thunk, args, server};
  for (uint64_t i = 0; i < 3; i++) storeSlot(oopOf(request), i, slots[i], threadsSource, __LINE__);
  setProcessAt(t->index, server);
  asynchSignal(semaphore);
  asynchReCommitOrFailPrimitive(context, oopOf(request), 0);
  return callbackTaken;
}

static void callbackAnswer(TInfo* t, uint64_t answer) {
  if (threadCallbackAnswerHook != nullptr) threadCallbackAnswerHook(t, answer);
}

static void describeTables(uint64_t out[4]) {
  out[0] = nilOop();
  out[1] = uint64_t(NBAPITableIndex);
  out[2] = NBAPITableIndex < 0 ? 0 : semaphoreTable();
  out[3] = NBAPITableIndex < 0 ? 0 : processTable();
}

static void describeEntry(int32_t index, uint64_t out[6]) {
  oop s = nbapiSemaphoreAt(index), p = processAt(index);
  out[0] = s;
  if (isSemaphore(s))
    for (uint32_t i = 0; i < 3; i++) out[1 + i] = slotOf(s, listFirstLink + i);
  out[4] = p;
  if (p != 0 && isHeapObject(p) && hasPtrs(headerOf(p)) && bodyWordsOf(headerOf(p)) > processMyList)
    out[5] = slotOf(p, processMyList);
}

static ThreadObjects engineThreadObjects = {newTables,      growTables,      processAt,   setProcessAt,
                                            readySemaphore, resetSemaphore,  currentProcess, processWait,
                                            reapCall,       postThreadRequest, handCallback, callbackAnswer,
                                            describeTables, describeEntry,   dbLog};

// ---- Primitives 1051-1056 -----------------------------------------------------------------------

static oop fail(uint32_t code, uint64_t numArgs) { return failPrimitive(primErrorAt(code), numArgs); }
static oop failWithCode(int64_t word, uint64_t numArgs) {
  return failPrimitive(cloneErrorWith(primErrorAt(primErrThreadedCall), oop(word)), numArgs);
}

// 1051: answer, Process: the answer of a callback that Process ran for a foreign thread.
static oop primCallbackReturn(oop receiver, oop answer, oop process) {
  int64_t code = NBAPICallbackReturn(process, answer);
  return code != 0 ? failWithCode(code, 2) : receiver;
}

// 1052: the Process registered for foreign callbacks, nil when none.
static oop primForeignProcess(oop) { return registeredForeignProcess(); }

// 1053: Process: registers it for foreign callbacks; answers the previous one.
static oop primRegisterForeignProcess(oop, oop process) {
  if (nbForeignCallbackProcessX < 1 && (nbForeignCallbackProcessX = allocSysOopSlot()) < 1) return fail(primErrGeneral, 1);
  oop previous = registeredForeignProcess();
  registerSysOop(process, uint32_t(nbForeignCallbackProcessX));
  setRequest(requestThreadedCalls);
  return previous;
}

// 1054: nil asks whether a thread is tied to the receiver; true ties one, false unties it.
static oop primAttachThread(oop process, oop what) {
  if (what == nilOop()) return booleanOop(NBAPIProcessHasAttachedThread(process));
  if (what != trueOop() && what != falseOop()) return fail(primErrBadArgument, 1);
  int64_t code = what == trueOop() ? NBAPIAttachProcessToThread(process) : NBAPIDetachProcessFromThread(process);
  return code != 0 ? failWithCode(code, 1) : process;
}

// 1055: {maximum, minimum, busy, threads (each + 1), foreign, created, stopped, CPUs or nil}.
static oop primThreadLevels(oop) {
  int64_t v[8];
  NBAPIGetThreadLevels(v);
  ObjectHeader* a = allocVSObj(sysOop(sysArrayClass), 8);
  if (a == nullptr) return fail(primErrNoSpace, 0);
  for (int i = 0; i < 7; i++) bodyOf(a)[i] = smallIntegerFor(i < 4 ? v[i] + 1 : v[i]);
  bodyOf(a)[7] = v[7] >= 1 ? smallIntegerFor(v[7]) : nilOop();
  return oopOf(a);
}

// 1056: maximum + 1, minimum + 1 (neither 0; a negative keeps the level).
static oop primSetThreadLevels(oop receiver, oop maximum, oop minimum) {
  if (!isSmallInteger(maximum) || !isSmallInteger(minimum) || maximum == smallIntegerFor(0) ||
      minimum == smallIntegerFor(0))
    return fail(primErrBadArgument, 2);
  int64_t a = smallIntegerValue(maximum), b = smallIntegerValue(minimum);
  if (!NBAPISetThreadLevels(a < 0 ? -1 : a - 1, b < 0 ? -1 : b - 1)) return fail(primErrBadArgument, 2);
  return receiver;
}

// The threaded-call interface over the engine's objects: its tables and the engine thread.
void initThreadInterface() {
  threadObjects = &engineThreadObjects;
  InitializeNBAPI();
}

void initThreadPrimitives() {
  setRequestServer(requestThreadedCalls, NBAPIServiceThreads);
  addCPrimitive(1051, reinterpret_cast<const void*>(primCallbackReturn), 2);
  addCPrimitive(1052, reinterpret_cast<const void*>(primForeignProcess), 0);
  addCPrimitive(1053, reinterpret_cast<const void*>(primRegisterForeignProcess), 1);
  addCPrimitive(1054, reinterpret_cast<const void*>(primAttachThread), 1);
  addCPrimitive(1055, reinterpret_cast<const void*>(primThreadLevels), 0);
  addCPrimitive(1056, reinterpret_cast<const void*>(primSetThreadLevels), 2);
}
