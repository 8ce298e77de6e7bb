// Unix layer: child processes (start, reap, signal), the child's set-up between fork and
// execve, and descriptor pairs (pipes, pseudo-terminals, loopback socket pairs).
// Owns the child's pty failure text. Prefix: none (initProcPrims, initIpcPrims, phonypair,
// setupChildSignals).
#include <cerrno>
#include <climits>
#include <cstdio>
#include <initializer_list>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <pthread.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <termio.h>
#include <unistd.h>

#include "ext/exError.h"
#include "ext/exPrimTable.h"
#include "ext/platform.h"
#include "mman/mmAllocate.h"
#include "mman/mmCString.h"
#include "mman/mmPrimUtil.h"
#include "mman/mmSysOop.h"
#include "plat/unxFile.h"
#include "plat/unxMain.h"

extern char** environ;

enum : uint32_t { phonyAcceptTries = 200 };

// ---- The child between fork and execve -----------------------------------------------------
// Only calls that are safe after fork in a program with threads: no allocation, no locks.

static char ptyFailure[320];  // why reopenPty failed, for perror (the name and its text)

// When standard input or output is a terminal, opens it afresh so that it becomes the
// controlling terminal of the child's new session; its settings are kept. Entries equal to
// the terminal's old descriptor take the new one. 0 with ptyFailure set when it fails.
static int reopenPty(int fds[3]) {
  int d = isatty(fds[0]) ? fds[0] : isatty(fds[1]) ? fds[1] : -1;
  if (d < 0) return 1;
  struct termio settings;
  if (ioctl(d, TCGETA, &settings) != 0) {
    snprintf(ptyFailure, sizeof ptyFailure, "reopenPty: TCGETA errno = %d", errno);
    return 0;
  }
  char name[256];
  const char* tty = ttyname(d);
  if (tty == nullptr || strlen(tty) >= sizeof name) {
    snprintf(ptyFailure, sizeof ptyFailure, "reopenPty: ttyname returned null");
    return 0;
  }
  strcpy(name, tty);
  if (close(d) != 0) {
    snprintf(ptyFailure, sizeof ptyFailure, "reopenPty: close errno = %d", errno);
    return 0;
  }
  int fd;
  while ((fd = open(name, O_RDWR)) < 0 && errno == EINTR) {}
  if (fd < 0) {
    snprintf(ptyFailure, sizeof ptyFailure, "reopenPty: open '%s' errno = %d\n", name, errno);
    return 0;
  }
  if (ioctl(fd, TCSETAF, &settings) != 0) {
    snprintf(ptyFailure, sizeof ptyFailure, "reopenPty: TCSETAF errno = %d", errno);
    return 0;
  }
  fcntl(fd, F_SETFD, FD_CLOEXEC);
  for (int i = 0; i < 3; i++)
    if (fds[i] == d) fds[i] = fd;
  return 1;
}

static void emptyHandler(int) {}

// The engine's timers stop and its registered signals get a handler that does nothing
// (execve resets it to the default); then every signal is unblocked.
void setupChildSignals() {
  struct itimerval zero;
  memset(&zero, 0, sizeof zero);
  for (int timer : {ITIMER_REAL, ITIMER_VIRTUAL, ITIMER_PROF}) setitimer(timer, &zero, nullptr);
  struct sigaction a;
  memset(&a, 0, sizeof a);
  a.sa_handler = emptyHandler;
  sigemptyset(&a.sa_mask);
  uint64_t registered = registeredSignalSet();
  for (int s = 1; s <= 64; s++)
    if (registered & (uint64_t(1) << (s - 1))) sigaction(s, &a, nullptr);
  sigset_t none;
  sigemptyset(&none);
  pthread_sigmask(SIG_SETMASK, &none, nullptr);
}

// The default for standard descriptor i: /dev/null to read or write, /dev/console for errors
// (not made the controlling terminal, which reopenPty may still give the child); -1 when it
// does not open. It is kept above 2 so that the dup2 of a lower entry cannot replace it.
static int openDefault(int i) {
  int fd = i == 2 ? open("/dev/console", O_WRONLY | O_NOCTTY | O_CLOEXEC)
                  : open("/dev/null", (i == 0 ? O_RDONLY : O_WRONLY) | O_CLOEXEC);
  if (fd < 0 || fd > 2) return fd;
  int moved = fcntl(fd, F_DUPFD_CLOEXEC, 3);
  close(fd);
  return moved;
}

// The child: a new session, its standard descriptors, the signal state, the program. A
// default error output that does not open leaves descriptor 2 as inherited.
[[noreturn]] static void runChild(const char* path, char** argv, char** envp, const int given[3]) {
  setsid();
  int fds[3];
  for (int i = 0; i < 3; i++) {
    if (given[i] >= 0) {
      fcntl(given[i], F_SETFL, fcntl(given[i], F_GETFL) & ~O_NONBLOCK);
      fds[i] = given[i];
    } else {
      fds[i] = openDefault(i);
    }
  }
  if (!reopenPty(fds)) perror(ptyFailure);
  for (int i = 0; i < 3; i++) {
    if (fds[i] < 0) continue;
    if (fds[i] != i) dup2(fds[i], i);
    fcntl(i, F_SETFD, 0);
  }
  setupChildSignals();
  execve(path, argv, envp);
  int error = errno;  // perror may change it
  perror("qrx -- couldn't execve in vfork");
  _exit((-error) & 0xFF);
}

// ---- Starting a program (684) --------------------------------------------------------------

// A null-terminated vector of C strings in one malloc'd block: first (unless null), then the
// strings of an Array (nil: none). Null with *bad set when an element is no string, with
// *bad clear when there is no memory.
static char** newStringVector(const char* first, oop strings, bool* bad) {
  uint64_t n = strings == nilOop() ? 0 : bodyWordsOf(headerOf(strings));
  uint64_t bytes = (n + 2) * sizeof(char*) + (first != nullptr ? strlen(first) + 1 : 0);
  *bad = false;
  for (uint64_t i = 0; i < n; i++) {
    oop s = slotOf(strings, i);
    if (isImmediate(s) || s == nilOop() || hasPtrs(headerOf(s))) return *bad = true, nullptr;
    bytes += byteSizeOf(headerOf(s)) + 1;
  }
  char** vector = (char**)malloc(bytes);
  if (vector == nullptr) return nullptr;
  char* next = (char*)(vector + n + 2);
  char** slot = vector;
  if (first != nullptr) *slot++ = strcpy(next, first), next += strlen(first) + 1;
  for (uint64_t i = 0; i < n; i++) {
    oop s = slotOf(strings, i);
    if (copyToCString(s, next, byteSizeOf(headerOf(s))) == nullptr) return free(vector), *bad = true, nullptr;
    *slot++ = next;
    next += strlen(next) + 1;
  }
  *slot = nullptr;
  return vector;
}

// The standard-descriptor argument: nil (all defaults), or an Array of 3 entries, each nil
// (default, -1) or an I/O accessor holding a valid descriptor.
static bool standardDescriptors(oop entries, int fds[3]) {
  fds[0] = fds[1] = fds[2] = -1;
  if (entries == nilOop()) return true;
  if (!hasArrayFormat(entries) || bodyWordsOf(headerOf(entries)) != 3) return false;
  for (int i = 0; i < 3; i++) {
    oop e = slotOf(entries, (uint64_t)i);
    if (e == nilOop()) continue;
    if (ioa_classX < 0 || isImmediate(e) || !isKindOf(e, sysOop((uint32_t)ioa_classX))) return false;
    if ((fds[i] = descriptorOf(e)) < 0) return false;
  }
  return true;
}

static bool isArrayOrNil(oop o) { return o == nilOop() || hasArrayFormat(o); }

// Forks and runs the program in the child; the pid, or -1 with errno.
static pid_t forkProgram(const char* path, char** argv, char** envp, const int fds[3]) {
  fflush(stderr);
  pdBeginCritical();
  pid_t pid = fork();
  if (pid == 0) runChild(path, argv, envp, fds);
  int error = errno;
  pdEndCritical();
  errno = error;
  return pid;
}

// 684: start a program: name, arguments, environment (nil: the engine's), standard
// descriptors. Descriptor 1's entry may not be 0, nor 2's be 0 or 1: the dup2 in order would
// have replaced them.
static oop primStartProgram(oop, oop name, oop arguments, oop environment, oop standard) {
  char program[pathCapacity + 2], path[pathCapacity + 2];
  const char* found = copyPath(name, program, pathCapacity) ? findInPath(program) : nullptr;
  if (found == nullptr || strlen(found) > pathCapacity) return failCarrying(primErrBadArgument, 1, 4);
  strcpy(path, found);
  if (!isArrayOrNil(arguments)) return failCarrying(primErrBadArgument, 2, 4);
  if (!isArrayOrNil(environment)) return failCarrying(primErrBadArgument, 3, 4);
  int fds[3];
  if (!standardDescriptors(standard, fds)) return failCarrying(primErrBadArgument, 4, 4);
  bool bad;
  char** argv = newStringVector(program, arguments, &bad);
  if (argv == nullptr) return bad ? failCarrying(primErrBadArgument, 2, 4) : failCode(primErrGeneral, 4);
  char** envp = environment == nilOop() ? environ : newStringVector(nullptr, environment, &bad);
  if (envp == nullptr) {
    free(argv);
    return bad ? failCarrying(primErrBadArgument, 3, 4) : failCode(primErrGeneral, 4);
  }
  pid_t pid = -1;
  int error = EBADF;
  if (fds[1] != 0 && fds[2] != 0 && fds[2] != 1) {
    pid = forkProgram(path, argv, envp, fds);
    error = errno;
  }
  free(argv);
  if (envp != environ) free(envp);
  if (pid < 0) return failErrno(error, 4);
  return answerServingRequests(smallIntegerFor(pid));
}

// ---- Reaping and signalling ----------------------------------------------------------------

// 682: one ended child, without waiting: {pid, exit status or nil, signal or nil}.
static oop primReap(oop) {
  ObjectHeader* answer = allocVSObj(sysOop(sysArrayClass), 3);
  if (answer == nullptr) return failCode(primErrGeneral, 0);
  int status = 0;
  pid_t pid;
  while ((pid = waitpid(-1, &status, WNOHANG)) < 0 && errno == EINTR) {}
  if (pid <= 0) return failCode(primErrGeneral, 0);
  bodyOf(answer)[0] = smallIntegerFor(pid);
  if ((status & 0x7F) == 0) bodyOf(answer)[1] = smallIntegerFor((status >> 8) & 0xFF);
  else if ((status & 0x7F) != 0x7F) bodyOf(answer)[2] = smallIntegerFor(status & 0x7F);
  return answerServingRequests(oopOf(answer));
}

// 683: send a signal to the process in the receiver's slot 1. A pid of 0 or below would
// signal a process group or every process the user may signal: refused.
static oop primSendSignal(oop receiver, oop signal) {
  if (isImmediate(receiver) || !hasPtrs(headerOf(receiver)) || bodyWordsOf(headerOf(receiver)) < 2)
    return failCode(primErrGeneral, 1);
  oop pid = slotOf(receiver, 1);
  int32_t number;
  if (!isSmallInteger(pid) || !oopToSq32(signal, &number)) return failCode(primErrGeneral, 1);
  if (smallIntegerValue(pid) <= 0 || smallIntegerValue(pid) > INT_MAX) return failCode(primErrBadArgument, 1);
  pdBeginCritical();
  int r = kill((pid_t)smallIntegerValue(pid), number), error = errno;
  pdEndCritical();
  if (r != 0) return failErrno(error, 1);
  return receiver;
}

// ---- Descriptor pairs ----------------------------------------------------------------------

// A new Array {a, b}, made before the descriptors so that no space leaves none open.
static ObjectHeader* newPair() { return allocVSObj(sysOop(sysArrayClass), 2); }

static oop fillPair(ObjectHeader* pair, const int fds[2]) {
  bodyOf(pair)[0] = smallIntegerFor(fds[0]);
  bodyOf(pair)[1] = smallIntegerFor(fds[1]);
  return oopOf(pair);
}

// 656: a pipe {read end, write end}.
static oop primPipe(oop) {
  if (used_ufds + 2 > max_ufds) return failErrno(EMFILE, 0);
  ObjectHeader* pair = newPair();
  if (pair == nullptr) return failCode(primErrNoSpace, 0);
  int fds[2];
  if (pipe(fds) != 0 || !prepareUfdPair(fds)) return failErrno(errno, 0);
  return fillPair(pair, fds);
}

// Opens the BSD pseudo-terminal pair of letter and digit: 1 with fds = {master, slave}, 0
// when this pair is taken (errno set).
static int openPtyPair(char letter, char digit, int fds[2]) {
  char master[] = "/dev/ptyXX", slave[] = "/dev/ttyXX";
  master[8] = slave[8] = letter;
  master[9] = slave[9] = digit;
  if ((fds[0] = open(master, O_RDWR | O_NONBLOCK)) < 0) return 0;
  if ((fds[1] = open(slave, O_RDWR | O_NONBLOCK)) >= 0) return 1;
  int error = errno;
  close(fds[0]);
  errno = error;
  return 0;
}

// 653: a pseudo-terminal pair {master, slave} by the BSD names /dev/pty[pqr][0-9a-f]. The
// slave is only made close-on-exec and counted, staying as a child's terminal wants it.
static oop primPtyPair(oop) {
  if (used_ufds + 2 > max_ufds) return failErrno(EMFILE, 0);
  ObjectHeader* pair = newPair();
  if (pair == nullptr) return failCode(primErrNoSpace, 0);
  int fds[2], error = ENOENT;
  for (char letter : {'p', 'q', 'r'}) {
    char first[] = "/dev/ptyX0";
    first[8] = letter;
    struct stat st;
    if (stat(first, &st) != 0) return failErrno(errno, 0);
    for (const char* d = "0123456789abcdef"; *d != 0; d++) {
      if (!openPtyPair(letter, *d, fds)) {
        error = errno;
        continue;
      }
      fcntl(fds[1], F_SETFD, FD_CLOEXEC);
      used_ufds++;
      if (!prepareUfd(fds[0])) {
        error = errno;
        closeUfd(fds[0]);
        closeUfd(fds[1]);
        return failErrno(error, 0);
      }
      return answerServingRequests(fillPair(pair, fds));
    }
  }
  return failErrno(error, 0);
}

// The loopback address of a family, port 0; its length, 0 for another family.
static socklen_t loopbackAddress(int domain, struct sockaddr_storage* a) {
  memset(a, 0, sizeof *a);
  if (domain == AF_INET) {
    struct sockaddr_in* in = (struct sockaddr_in*)a;
    in->sin_family = AF_INET;
    in->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return sizeof *in;
  }
  if (domain == AF_INET6) {
    struct sockaddr_in6* in6 = (struct sockaddr_in6*)a;
    in6->sin6_family = AF_INET6;
    in6->sin6_addr = in6addr_loopback;
    return sizeof *in6;
  }
  return 0;
}

// Waits for the connector's connection on the listener: the accepted descriptor (not yet
// prepared), or -1. Another local program may connect first: a connection whose peer is not
// the connector is closed and the wait goes on. After each run of accepts that found
// nothing, the connector must still be connected.
static int acceptConnector(int listener, int connector) {
  struct sockaddr_storage own, peer;
  socklen_t ownLength = sizeof own;
  if (getsockname(connector, (struct sockaddr*)&own, &ownLength) != 0) return -1;
  for (;;) {
    for (uint32_t tries = 0; tries < phonyAcceptTries; tries++) {
      socklen_t length = sizeof peer;
      int fd = accept(listener, (struct sockaddr*)&peer, &length);
      if (fd >= 0 && length == ownLength && memcmp(&peer, &own, length) == 0) return fd;
      if (fd >= 0) close(fd);
      else if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return -1;
    }
    socklen_t length = sizeof peer;
    if (getpeername(connector, (struct sockaddr*)&peer, &length) != 0) return -1;
  }
}

// Connects a new socket to a listener bound to the loopback address: the accepted end, or
// -1 (errno set) with nothing left open but the two prepared sockets.
static int connectPair(int listener, int connector, int domain) {
  struct sockaddr_storage a;
  socklen_t length = loopbackAddress(domain, &a);
  if (length == 0) return errno = EAFNOSUPPORT, -1;
  if (bind(listener, (struct sockaddr*)&a, length) != 0) return -1;
  length = sizeof a;
  if (getsockname(listener, (struct sockaddr*)&a, &length) != 0 || listen(listener, 1) != 0) return -1;
  if (connect(connector, (struct sockaddr*)&a, length) != 0 && errno != EINPROGRESS) return -1;
  int r;
  while ((r = waitForIOWithTimeout(connector, 2, nullptr, 1)) == 0) {}
  if (r < 0) return errno = -r, -1;
  int accepted = acceptConnector(listener, connector);
  if (accepted < 0) return -1;
  struct sockaddr_storage peer;
  socklen_t peerLength = sizeof peer;
  if (getpeername(connector, (struct sockaddr*)&peer, &peerLength) != 0) {
    int error = errno;
    close(accepted);
    return errno = error, -1;
  }
  if (!prepareUfd(accepted)) {
    int error = errno;
    closeUfd(accepted);
    return errno = error, -1;
  }
  return accepted;
}

// The listener is counted like any descriptor the image holds, so it is closed with
// closeUfd; the pair is {accepted, connecting}.
int phonypair(int domain, int type, int protocol, int pair[2]) {
  pdBeginCritical();
  int listener = socket(domain, type, protocol), connector = -1, accepted = -1;
  if (listener >= 0 && prepareUfd(listener)) {
    connector = socket(domain, type, protocol);
    if (connector >= 0 && prepareUfd(connector)) accepted = connectPair(listener, connector, domain);
  }
  int error = errno;
  if (listener >= 0) closeUfd(listener);
  if (accepted < 0 && connector >= 0) closeUfd(connector);
  pdEndCritical();
  if (accepted < 0) return errno = error, -1;
  pair[0] = accepted;
  pair[1] = connector;
  return 0;
}

// 652, 654: a connected stream socket pair {accepted end, connecting end}.
static oop primSocketPairOverLoopback(oop) {
  if (used_ufds + 2 > max_ufds) return failErrno(EMFILE, 0);
  ObjectHeader* pair = newPair();
  if (pair == nullptr) return failCode(primErrNoSpace, 0);
  int fds[2];
  if (phonypair(AF_INET, SOCK_STREAM, 0, fds) != 0) return failErrno(errno, 0);
  return answerServingRequests(fillPair(pair, fds));
}

// ---- Registration --------------------------------------------------------------------------

void initIpcPrims() {
  addCPrimitive(652, (const void*)primSocketPairOverLoopback, 0);
  addCPrimitive(653, (const void*)primPtyPair, 0);
  addCPrimitive(654, (const void*)primSocketPairOverLoopback, 0);
  addCPrimitive(656, (const void*)primPipe, 0);
}

void initProcPrims() {
  addCPrimitive(682, (const void*)primReap, 0);
  addCPrimitive(683, (const void*)primSendSignal, 1);
  addCPrimitive(684, (const void*)primStartProgram, 4);
}
