// Unix layer: critical sections that hold off the asynchronous signals; the wake-up.
// Owns the critical nesting depth, the critical signal set and the woken thread.
// Prefix: pd (pdBeginCritical, pdEndCritical, pdResetCritical, pdWakeup).
#include <cerrno>
#include <cstdio>
#include <initializer_list>
#include <pthread.h>
#include <signal.h>

#include "ext/exError.h"
#include "ext/platform.h"
#include "plat/unxMain.h"

static int criticalDepth;
static sigset_t criticalSet;
static bool criticalSetReady;

static void initCriticalSet() {
  sigemptyset(&criticalSet);
  for (int s : {SIGALRM, SIGIO, SIGCHLD, SIGFPE, SIGPIPE, SIGURG}) sigaddset(&criticalSet, s);
  criticalSetReady = true;
}

void pdBeginCritical() {
  if (!criticalSetReady) initCriticalSet();
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

// ---- Wake-up --------------------------------------------------------------------------

volatile uint32_t needMessageToWakeup;
static pthread_t wakeThread;      // the VM thread, recorded at platform start-up
static volatile int wakeThreadSet;

void recordWakeThread() {
  wakeThread = pthread_self();
  wakeThreadSet = 1;
}

// A SIGIO interrupts the VM thread's poll; errno is kept for the interrupted code.
void pdWakeup(int kind, int force) {
  if (kind == 1) return;
  if (!needMessageToWakeup && !force) return;
  needMessageToWakeup = 0;
  if (!wakeThreadSet) return;
  int saved = errno;
  int error = pthread_kill(wakeThread, SIGIO);
  if (error != 0) {
    char text[64];
    snprintf(text, sizeof text, "pthread_kill failed, error %d", error);
    doReportError(text, 0x12000, "src/plat/unxSig", __LINE__);
  }
  errno = saved;
}
