// Unix layer: critical sections that hold off the asynchronous signals.
// Owns the critical nesting depth and the critical signal set.
// Prefix: pd (pdBeginCritical, pdEndCritical, pdResetCritical).
#include <initializer_list>
#include <pthread.h>
#include <signal.h>

#include "ext/platform.h"

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
