// Unix layer: signal dispositions, asynchronous signals turned into requests, the named signal
// Semaphores, critical sections, the wake-up, termination while a snapshot is written. Owns
// SignalState (below), needMessageToWakeup and the Smalltalk thread's identity. Prefix: pd (pdBeginCritical, ...,
// pdWakeup); initSignals, registerSignal, SIGNALSemaphoreResponse, hold-, release- and blockTermination.
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <pthread.h>
#include <signal.h>
#include <ucontext.h>
#include <unistd.h>

#include "ext/exError.h"
#include "ext/exRequest.h"
#include "ext/platform.h"
#include "mman/mmSysOop.h"
#include "plat/unxThreads.h"
#include "plat/unxMain.h"
#include "prim/prCall.h"
#include "prim/prCallback.h"
#include "prim/prEnviron.h"
#include "stack/scheduler.h"
#include "tran/tnmprim.h"

static const char sigSource[] = "src/plat/unxSig.c";

// SignalState. The critical set holds the asynchronous signals and every registered one;
// handlers run with it blocked (the template's mask). Delivered signals collect in one
// atomic mask (bit s-1 for signal s) that the request server takes whole, so that handlers
// on any thread and the Smalltalk thread never race over a set.
static int criticalDepth;
static sigset_t criticalSet;
static bool criticalSetReady;
static std::atomic<uint64_t> pendingSignals;
static std::atomic<uint64_t> registeredSignals;
typedef void (*ChainedHandler)(int);
static ChainedHandler chainedHandlers[65];  // foreign handlers replaced by registerSignal

static void initCriticalSet() {
  if (criticalSetReady) return;
  sigemptyset(&criticalSet);
  for (int s : {SIGALRM, SIGIO, SIGCHLD, SIGFPE, SIGPIPE, SIGURG}) sigaddset(&criticalSet, s);
  criticalSetReady = true;
}

void pdBeginCritical() {
  initCriticalSet();
  if (criticalDepth++ == 0) pthread_sigmask(SIG_SETMASK, &criticalSet, nullptr);
}

// At the outermost end every signal is unblocked: the mask is emptied, not restored.
void pdEndCritical() {
  if (--criticalDepth >= 1) return;
  criticalDepth = 0;
  sigset_t none;
  sigemptyset(&none);
  pthread_sigmask(SIG_SETMASK, &none, nullptr);
}

void pdResetCritical() {
  criticalDepth = 0;
  pdEndCritical();
}

// Blocks the critical set on the calling thread, keeping the earlier mask in *old.
void blockCriticalSignals(sigset_t* old) {
  initCriticalSet();
  pthread_sigmask(SIG_BLOCK, &criticalSet, old);
}

// ---- Wake-up --------------------------------------------------------------------------

volatile uint32_t needMessageToWakeup;
static pthread_t vmThread;  // the VM thread, recorded at platform start-up
static volatile int smalltalkThreadSet;

void recordWakeThread() {
  vmThread = pthread_self();
  smalltalkThreadSet = 1;
}

static bool onSmalltalkThread() {
  return smalltalkThreadSet && pthread_equal(pthread_self(), vmThread);
}

int pdOnEngineThread() { return onSmalltalkThread(); }

// A SIGIO interrupts the VM thread's poll; errno is kept for the interrupted code.
void pdWakeup(int kind, int force) {
  if (kind == 1) return;
  if (!needMessageToWakeup && !force) return;
  needMessageToWakeup = 0;
  if (!smalltalkThreadSet) return;
  int saved = errno;
  int error = pthread_kill(vmThread, SIGIO);
  if (error != 0) {
    char text[64];
    snprintf(text, sizeof text, "pthread_kill failed, error %d", error);
    doReportError(text, errPlatformLayer | errCausePlatform, sigSource, __LINE__);
  }
  errno = saved;
}

// ---- Handlers -------------------------------------------------------------------------

// Only adds to the pending mask, posts requests and calls a chained handler: never touches
// objects. A signal taken on the Smalltalk thread interrupts its poll itself; on another
// thread the poll must be woken.
static void asyncSignalHandler(int signal, siginfo_t*, void*) {
  int saved = errno;
  if (signal >= 1 && signal <= 64) pendingSignals.fetch_or(uint64_t(1) << (signal - 1));
  setRequest(requestSignals);
  if (signal >= 1 && signal <= 64 && chainedHandlers[signal] != nullptr) chainedHandlers[signal](signal);
  if (signal == SIGPIPE || signal == SIGURG || signal == SIGIO) setRequest(requestInput);
  else if (signal == SIGALRM) setRequest(requestTimer);
  else if (signal == SIGCHLD) setRequest(requestChildStatus);
  if (onSmalltalkThread()) pdWakeup(1, 0);
  else pdWakeup(0, 0);
  errno = saved;
}

// A fault inside a C call fails the calling primitive and leaves the handler by a jump into
// native code: the interrupted code's signal mask is put back first, or the critical set
// this handler runs with would stay blocked (and the image's timers with it).
static void faultSignalHandler(int signal, siginfo_t*, void* context) {
  if (!onSmalltalkThread()) nbapiFaultOnWorker(signal, -1);  // a worker's call: back to its worker
  if (calloutResult != 0 && onSmalltalkThread()) {
    pthread_sigmask(SIG_SETMASK, &static_cast<ucontext_t*>(context)->uc_sigmask, nullptr);
    maybeCallCFatalError(signal, -1);
  }
  struct sigaction current;
  if (sigaction(signal, nullptr, &current) != 0 || current.sa_sigaction != faultSignalHandler) return;
  struct sigaction dfl;
  memset(&dfl, 0, sizeof dfl);
  dfl.sa_handler = SIG_DFL;
  dfl.sa_flags = SA_NODEFER | SA_NOCLDSTOP;
  sigaction(signal, &dfl, nullptr);
}

// A profiling sample: the pc the signal interrupted goes to the sample counters.
static void profileSignalHandler(int, siginfo_t*, void* context) {
  int saved = errno;
  incrementProfile(uint64_t(static_cast<ucontext_t*>(context)->uc_mcontext.gregs[REG_RIP]));
  errno = saved;
}

static void install(int signal, void (*handler)(int, siginfo_t*, void*), int flags, const char* what,
                    struct sigaction* previous) {
  struct sigaction a;
  memset(&a, 0, sizeof a);
  a.sa_sigaction = handler;
  a.sa_flags = flags;
  a.sa_mask = criticalSet;
  if (sigaction(signal, &a, previous) != 0) doReportError(makeMsg(what), errPlatformLayer | errCauseLimit | errFatal, sigSource, __LINE__);
}

void initSignals() {
  initCriticalSet();
  pendingSignals.store(0);
  const struct { int signal; const char* what; } faults[] = {
      {SIGSEGV, "setting SEGV handler"}, {SIGBUS, "setting BUS handler"}, {SIGILL, "setting ILL handler"}};
  for (auto f : faults) install(f.signal, faultSignalHandler, SA_SIGINFO | SA_NOCLDSTOP | SA_NODEFER, f.what, nullptr);
  const struct { int signal; const char* what; } async[] = {
      {SIGIO, "setting POLL handler"}, {SIGALRM, "setting ALRM handler"}, {SIGCHLD, "setting CHILD handler"},
      {SIGPIPE, "setting PIPE handler"}, {SIGURG, "setting URG handler"}};
  for (auto a : async) install(a.signal, asyncSignalHandler, SA_SIGINFO | SA_NOCLDSTOP, a.what, nullptr);
  struct sigaction ignore;
  memset(&ignore, 0, sizeof ignore);
  ignore.sa_handler = SIG_IGN;
  for (int s : {SIGHUP, SIGTTIN, SIGTTOU, SIGXCPU, SIGXFSZ}) sigaction(s, &ignore, nullptr);
}

static void terminationHandler(int signal);

// Watches a signal: it joins the critical set and its delivery posts request 5. A foreign
// handler found in place is kept and called first.
int registerSignal(int signal) {
  if (signal < 1 || signal > 64) return 0;
  initCriticalSet();
  registeredSignals.fetch_or(uint64_t(1) << (signal - 1));
  sigaddset(&criticalSet, signal);
  pdBeginCritical();
  struct sigaction previous;
  if (signal == SIGPROF)  // a sample may interrupt another
    install(signal, profileSignalHandler, SA_SIGINFO | SA_NOCLDSTOP | SA_NODEFER, "setting signal handler", &previous);
  else
    install(signal, asyncSignalHandler, SA_SIGINFO | SA_NOCLDSTOP, "setting signal handler", &previous);
  bool own = (previous.sa_flags & SA_SIGINFO) &&
             (previous.sa_sigaction == asyncSignalHandler || previous.sa_sigaction == faultSignalHandler ||
              previous.sa_sigaction == profileSignalHandler);
  bool standard = !(previous.sa_flags & SA_SIGINFO) && (previous.sa_handler == SIG_IGN ||
                                                         previous.sa_handler == SIG_DFL ||
                                                         previous.sa_handler == terminationHandler);
  if (!own && !standard) chainedHandlers[signal] = previous.sa_handler;
  pdEndCritical();
  return 1;
}

// The registered set, bit s-1 for signal s: a child resets these before it runs a program.
uint64_t registeredSignalSet() { return registeredSignals.load(); }

// ---- Termination while a snapshot is written ------------------------------------------

// SIGINT, SIGQUIT, SIGTERM, SIGUSR1 and SIGUSR2 end the engine by their default action. While
// a snapshot is written, each of them still at that default first runs the image writer's
// cleanup (which removes the file being written), then takes the default action, so the
// status stays the signal's. Signals the image watches or that were ignored at start are
// left alone.
static const int terminationSignals[] = {SIGINT, SIGQUIT, SIGTERM, SIGUSR1, SIGUSR2};
static std::atomic<void (*)()> terminationCleanup;
static int terminationHolds;
static uint64_t terminationTaken;  // bit s-1: signal s has the cleanup handler

static void setDisposition(int signal, void (*handler)(int)) {
  struct sigaction a;
  memset(&a, 0, sizeof a);
  a.sa_handler = handler;
  sigfillset(&a.sa_mask);  // the cleanup runs once, uninterrupted
  sigaction(signal, &a, nullptr);
}

static void terminationHandler(int signal) {
  void (*cleanup)() = terminationCleanup.load();
  if (cleanup != nullptr) cleanup();
  setDisposition(signal, SIG_DFL);
  sigset_t only;
  sigemptyset(&only);
  sigaddset(&only, signal);
  pthread_sigmask(SIG_UNBLOCK, &only, nullptr);
  raise(signal);
  _exit(128 + signal);  // not reached: the default action ends the process
}

void blockTermination(sigset_t* old) {
  sigset_t set;
  sigemptyset(&set);
  for (int s : terminationSignals) sigaddset(&set, s);
  pthread_sigmask(SIG_BLOCK, &set, old);
}

// Holds nest; cleanup must be safe to run in a signal handler.
void holdTermination(void (*cleanup)()) {
  if (terminationHolds++ > 0) return;
  terminationCleanup.store(cleanup);
  for (int s : terminationSignals) {
    struct sigaction current;
    if (sigaction(s, nullptr, &current) != 0 || (current.sa_flags & SA_SIGINFO) || current.sa_handler != SIG_DFL)
      continue;
    setDisposition(s, terminationHandler);
    terminationTaken |= uint64_t(1) << (s - 1);
  }
}

void releaseTermination() {
  if (terminationHolds == 0 || --terminationHolds > 0) return;
  for (int s : terminationSignals) {
    struct sigaction current;
    if (!(terminationTaken & (uint64_t(1) << (s - 1))) || sigaction(s, nullptr, &current) != 0) continue;
    if (!(current.sa_flags & SA_SIGINFO) && current.sa_handler == terminationHandler) setDisposition(s, SIG_DFL);
  }
  terminationTaken = 0;
  terminationCleanup.store(nullptr);
}

// ---- Named signal Semaphores ---------------------------------------------------------

// A named entry of the registry: its Semaphore lives in a registry slot (kind 1).
struct SignalEntry {
  RegisteredNamedObject record;  // first, so that the register function finds the entry
  uint16_t signal;
};

static oop regSignalSemaphore(oop value, RegisteredNamedObject* record) {
  oop error = regSemaphoreOrNil(value, record);
  if (error != 0) return error;
  if (!registerSignal(reinterpret_cast<SignalEntry*>(record)->signal)) return primErrorAt(primErrNotHere);
  return 0;
}

#define SIGNAL_ENTRY(name) {{#name, 0, regSignalSemaphore, 0, namedRegistrySlot, 0}, name}
static SignalEntry signalEntries[] = {
    SIGNAL_ENTRY(SIGCHLD), SIGNAL_ENTRY(SIGCONT), SIGNAL_ENTRY(SIGHUP), SIGNAL_ENTRY(SIGINT),
    SIGNAL_ENTRY(SIGIO),   SIGNAL_ENTRY(SIGPIPE), SIGNAL_ENTRY(SIGQUIT), SIGNAL_ENTRY(SIGTERM),
    SIGNAL_ENTRY(SIGURG),  SIGNAL_ENTRY(SIGUSR1), SIGNAL_ENTRY(SIGUSR2)};
#undef SIGNAL_ENTRY

void initSignalRegistration() {
  for (SignalEntry& e : signalEntries)
    if (findRegisteredName(e.record.name, strlen(e.record.name)) == nullptr) addRegisteredNamedObject(&e.record);
}

// Signals the Semaphore of every named entry whose signal is in the set.
void signalSIGNALSemaphores(uint64_t set) {
  for (SignalEntry& e : signalEntries) {
    int64_t slot = (int64_t)e.record.value;
    if (slot <= 0 || !(set & (uint64_t(1) << (e.signal - 1)))) continue;
    oop semaphore = sysOop((uint32_t)slot);
    if (semaphore != nilOop()) asynchSignal(semaphore);
  }
}

// Request 5: the signals delivered since the last service, each once however often it came.
void SIGNALSemaphoreResponse() { signalSIGNALSemaphores(pendingSignals.exchange(0)); }
