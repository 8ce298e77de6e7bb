// Unix layer: descriptor bookkeeping, the IO-semaphore table and the idle wait.
// Owns max_fds, max_ufds, used_ufds, the FdBitVectors, the poll list and ioSemTableX.
// Prefix: none (setupNewIO, setIOsem, clearIOsem, signalIOsem, waitForIO, signal_userfds, ...).
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include "ext/exError.h"
#include "ext/exOption.h"
#include "ext/exRequest.h"
#include "ext/platform.h"
#include "mman/mmAllocate.h"
#include "mman/mmRt.h"
#include "mman/mmSysOop.h"
#include "plat/unxMain.h"
#include "stack/scheduler.h"

static const char* const ioSource = __FILE__;

int32_t max_fds;    // the hard RLIMIT_NOFILE, 16384 when unlimited or unreadable
int32_t max_ufds;   // descriptors the image may hold
int32_t used_ufds;  // descriptors the image holds (and the engine's watched ones)
static uint8_t* wantRead;   // bit fd: a read Semaphore waits
static uint8_t* wantWrite;  // bit fd: a write Semaphore waits
static uint8_t* systemFd;   // bit fd: the engine itself watches it
static uint8_t* nonBlockingFd;  // bit fd: prepareUfd made it non-blocking (closeUfd clears)
static int32_t highestFd;   // no bit is set above it
static struct pollfd* pollList;
static int32_t pollCapacity;
int64_t ioSemTableX;        // registry slot of the IOSemaphoreTable, 0 = not set up
IdlePoll idlePoll = ppoll;

enum : uint32_t { ioSemChunkSlots = 8192, ioSemTwoLevelFds = 4096 };

static bool testBit(const uint8_t* v, int fd) { return (v[fd >> 3] >> (fd & 7)) & 1; }
static void setBit(uint8_t* v, int fd) { v[fd >> 3] |= (uint8_t)(1 << (fd & 7)); }
static void clearBit(uint8_t* v, int fd) { v[fd >> 3] &= (uint8_t)~(1 << (fd & 7)); }
static void raiseHighest(int fd) { if (fd > highestFd) highestFd = fd; }

// ---- Messages ----------------------------------------------------------------------------

static char message[512];

const char* makeMsgForErrno(const char* text, int error) {
  const char* e = strerror(error);
  snprintf(message, sizeof message, "%s: %s", text, e != nullptr ? e : "unknown error");
  return message;
}
const char* makeMsg(const char* text) { return makeMsgForErrno(text, errno); }

// ---- Start-up ----------------------------------------------------------------------------

// Counts the descriptors open at start from /proc (one readdir instead of an fstat per
// possible descriptor); -1 when /proc cannot be read.
static int32_t countOpenFromProc() {
  DIR* d = opendir("/proc/self/fd");
  if (d == nullptr) return -1;
  int32_t count = 0, own = dirfd(d);
  for (struct dirent* e; (e = readdir(d)) != nullptr;) {
    if (e->d_name[0] < '0' || e->d_name[0] > '9') continue;
    int fd = atoi(e->d_name);
    if (fd == own || fd >= max_fds) continue;
    count++;
    raiseHighest(fd);
  }
  closedir(d);
  return count;
}

static int32_t countOpenByFstat() {
  int32_t count = 0;
  struct stat st;
  for (int fd = 0; fd < max_fds; fd++)
    if (fstat(fd, &st) == 0 || errno != EBADF) count++, raiseHighest(fd);
  return count;
}

void setupNewIO() {
  struct rlimit limit;
  bool known = getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_max != RLIM_INFINITY;
  max_fds = known && limit.rlim_max <= 0x7FFFFFF ? (int32_t)limit.rlim_max : 16384;
  if (known && limit.rlim_cur < (rlim_t)max_fds) {
    limit.rlim_cur = (rlim_t)max_fds;
    setrlimit(RLIMIT_NOFILE, &limit);
  }
  free(wantRead), free(wantWrite), free(systemFd), free(nonBlockingFd);
  size_t bytes = ((size_t)max_fds + 7) / 8;
  wantRead = (uint8_t*)calloc(bytes, 1);
  wantWrite = (uint8_t*)calloc(bytes, 1);
  systemFd = (uint8_t*)calloc(bytes, 1);
  nonBlockingFd = (uint8_t*)calloc(bytes, 1);
  if (wantRead == nullptr || wantWrite == nullptr || systemFd == nullptr || nonBlockingFd == nullptr)
    doReportError("Can't malloc file descriptor bit vectors", errFatal | errNoHeap, "src/plat/unxUtil.c", __LINE__);
  highestFd = 0;
  int32_t open = countOpenFromProc();
  if (open < 0) open = countOpenByFstat();
  used_ufds = 0;
  max_ufds = max_fds - open - 2;
  ioSemTableX = 0;
}

// ---- The IO-semaphore table --------------------------------------------------------------
// Slot 2 fd holds fd's read Semaphore, 2 fd + 1 its write Semaphore. Above 4096 descriptors
// the table has two levels: slot s is index s & 0x1FFF of chunk s >> 13, a chunk being made
// on first use.

static bool twoLevel() { return max_fds > (int32_t)ioSemTwoLevelFds; }

static ObjectHeader* newNilArray(uint64_t slots) {
  ObjectHeader* h = allocVSObj(sysOop(sysArrayClass), slots);
  if (h == nullptr) return nullptr;
  for (uint64_t i = 0; i < slots; i++) bodyOf(h)[i] = nilOop();
  return h;
}

oop initIOSemMachinery() {
  uint64_t slots = twoLevel() ? (((uint64_t)2 * max_fds + 2) >> 13) + 1 : (uint64_t)2 * max_fds;
  ObjectHeader* table = newNilArray(slots);
  int64_t index = table != nullptr ? registerNewSysOop(oopOf(table)) : -1;
  if (index < 0) return primErrorAt(primErrNoSpace);
  ioSemTableX = index;
  return 0;
}

// The holder and index of slot s; null holder when its chunk is missing and make is false.
static oop slotHolder(uint64_t s, bool make, uint64_t* index) {
  oop table = sysOop((uint32_t)ioSemTableX);
  if (!twoLevel()) {
    *index = s;
    return table;
  }
  *index = s & (ioSemChunkSlots - 1);
  oop chunk = slotOf(table, s >> 13);
  if (chunk != nilOop() || !make) return chunk == nilOop() ? 0 : chunk;
  ObjectHeader* h = newNilArray(ioSemChunkSlots);
  if (h == nullptr) return 0;
  storeSlot(table, s >> 13, oopOf(h), __FILE__, __LINE__);
  return oopOf(h);
}

oop setIOsem(int fd, int direction, oop semaphore) {
  if (ioSemTableX == 0) return primErrorAt(primErrNotInitialized);
  uint64_t index;
  oop holder = slotHolder((uint64_t)2 * fd + direction, true, &index);
  if (holder == 0) return primErrorAt(primErrNoSpace);
  setBit(direction ? wantWrite : wantRead, fd);
  raiseHighest(fd);
  storeSlot(holder, index, semaphore, __FILE__, __LINE__);
  return 0;
}

void clearIOsem(int fd, int direction) {
  if (ioSemTableX == 0) return;
  clearBit(direction ? wantWrite : wantRead, fd);
  uint64_t index;
  oop holder = slotHolder((uint64_t)2 * fd + direction, false, &index);
  if (holder != 0) bodyOf(headerOf(holder))[index] = nilOop();
}

// Each registration fires once: the slot is emptied before its Semaphore is signalled.
void signalIOsem(int fd, int direction) {
  clearBit(direction ? wantWrite : wantRead, fd);
  if (ioSemTableX == 0) return;
  uint64_t index;
  oop holder = slotHolder((uint64_t)2 * fd + direction, false, &index);
  if (holder == 0) return;
  oop semaphore = bodyOf(headerOf(holder))[index];
  bodyOf(headerOf(holder))[index] = nilOop();
  if (semaphore != nilOop()) asynchSignal(semaphore);
}

oop ioSemaphoreAt(int fd, int direction) {
  uint64_t index;
  if (ioSemTableX == 0) return nilOop();
  oop holder = slotHolder((uint64_t)2 * fd + direction, false, &index);
  return holder == 0 ? nilOop() : bodyOf(headerOf(holder))[index];
}

// ---- Descriptors of the image and of the engine -------------------------------------------

int prepareUfd(int fd) {
  used_ufds++;
  int fdFlags = fcntl(fd, F_GETFD);
  int flFlags = fcntl(fd, F_GETFL);
  if (fdFlags < 0 || flFlags < 0 || fcntl(fd, F_SETFD, fdFlags | FD_CLOEXEC) < 0 ||
      fcntl(fd, F_SETFL, flFlags | O_NONBLOCK) < 0)
    return 0;
  if (fd < max_fds) setBit(nonBlockingFd, fd);
  fcntl(fd, F_SETOWN, getpid());
  fcntl(fd, F_SETFL, flFlags | O_NONBLOCK | O_ASYNC);
  return 1;
}

// Both ends of a new pair; when either cannot be prepared both are closed, counted or not
// as they were, and errno is the failure's.
int prepareUfdPair(const int fds[2]) {
  int error;
  if (!prepareUfd(fds[0])) {
    error = errno;
    closeUfd(fds[0]);
    close(fds[1]);
  } else if (!prepareUfd(fds[1])) {
    error = errno;
    closeUfd(fds[0]);
    closeUfd(fds[1]);
  } else {
    return 1;
  }
  errno = error;
  return 0;
}

// close is never repeated on EINTR: the descriptor is gone either way.
int closeUfd(int fd) {
  if (fd >= 0 && fd < max_fds) clearBit(nonBlockingFd, fd);
  errno = 0;
  int r = close(fd);
  if (r == 0 && used_ufds > 0) used_ufds--;
  return r;
}

void prepareSfd(int fd) {
  fcntl(fd, F_SETOWN, getpid());
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_ASYNC);
  if (fcntl(fd, F_SETFD, FD_CLOEXEC) < 0)
    doReportError(makeMsg("setting close-on-exec"), errPlatformLayer | errCauseLimit | errFatal, ioSource, __LINE__);
  setBit(systemFd, fd);
  used_ufds++;
  raiseHighest(fd);
}

void releaseSfd(int fd) {
  clearBit(systemFd, fd);
  if (used_ufds > 0) used_ufds--;
}

bool isPreparedNonBlocking(int fd) { return fd >= 0 && fd < max_fds && testBit(nonBlockingFd, fd); }

int64_t bytesReadable(int fd) {
  int n = 0;
  return ioctl(fd, FIONREAD, &n) < 0 ? -1 : n;
}

// ---- Polling -----------------------------------------------------------------------------

// One record per watched descriptor; the highest descriptor drops to the last one found.
static int buildPollList() {
  if (pollCapacity < max_fds) {
    void* grown = realloc(pollList, sizeof(struct pollfd) * (size_t)max_fds);
    if (grown == nullptr) doReportError("Unable to allocate memory for fd poll", errPlatformLayer | errCausePlatform | errFatal, ioSource, __LINE__);
    pollList = (struct pollfd*)grown;
    pollCapacity = max_fds;
  }
  int n = 0, last = 0;
  for (int fd = 0; fd <= highestFd && fd < max_fds; fd++) {
    bool r = testBit(wantRead, fd) || testBit(systemFd, fd), w = testBit(wantWrite, fd);
    if (!r && !w) continue;
    pollList[n].fd = fd;
    pollList[n].events = (short)((r ? pollWatchRead : 0) | (w ? pollWatchWrite : 0));
    pollList[n].revents = 0;
    n++, last = fd;
  }
  highestFd = last;
  return n;
}

static void tracePoll(const char* who, int n) {
  if (!(qrxOptions & 0x8000000)) return;
  for (int i = 0; i < n; i++)
    printf("%s poll %d 0x%x -> 0x%x (r %x w %x e %x)\n", who, pollList[i].fd, pollList[i].events,
           pollList[i].revents, pollWatchRead, pollWatchWrite, pollErrorMask);
}

static bool switchOrThreadsPending() {
  return isRequested(requestThreadedCalls) || isRequested(requestProcessSwitch);
}

// The idle wait. The wake-up flag is armed and the requests tested with the critical set
// blocked, and ppoll unblocks it only while it sleeps: a signal or pdWakeup landing between
// the last test and the sleep stays pending and ends the sleep at once.
void waitForIO() {
  if (anyAsyncRequests()) {
    handleAsyncRequests();
    return;
  }
  int n = buildPollList();
  int r, error = 0;
  do {
    sigset_t old;
    blockCriticalSignals(&old);
    needMessageToWakeup = 1;
    if (anyAsyncRequests() || switchOrThreadsPending()) {
      needMessageToWakeup = 0;
      pthread_sigmask(SIG_SETMASK, &old, nullptr);
      handleAsyncRequests();
      return;
    }
    int ms = pollTimeout();
    struct timespec limit = {ms / 1000, (long)(ms % 1000) * 1000000};
    r = idlePoll(pollList, (nfds_t)n, ms < 0 ? nullptr : &limit, &old);
    error = errno;
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    tracePoll("waitForIO", r > 0 ? r : 0);
  } while (r < 0 && error == EAGAIN && !switchOrThreadsPending());
  needMessageToWakeup = 0;
  if (r < 0 && error != EINTR)
    doReportError(makeMsgForErrno("waitForIO bad poll", error), errPlatformLayer | errCausePlatform | errError, ioSource, __LINE__);
  if (qrxOptions & 0x8000000) printf("waitForIO setRequest(IORequest)\n");
  setRequest(requestInput);
  pdCheckTimer(0);
}

// The input request: signals the Semaphores of the watched descriptors that are ready.
void signal_userfds() {
  int n = buildPollList();
  if (n == 0) return;
  int r;
  for (;;) {
    needMessageToWakeup = 1;
    r = poll(pollList, (nfds_t)n, 0);
    if (r >= 0) break;
    if (errno != EINTR && errno != EAGAIN) {
      needMessageToWakeup = 0;
      doReportError(makeMsg("bad poll"), errPlatformLayer | errCausePlatform | errError, ioSource, __LINE__);
      return;
    }
    if (switchOrThreadsPending()) {
      needMessageToWakeup = 0;
      setRequest(requestInput);
      return;
    }
  }
  needMessageToWakeup = 0;
  tracePoll("signal_userfds", r > 0 ? n : 0);
  for (int i = n - 1; i >= 0; i--) {
    if (pollList[i].revents & pollReadyRead) signalIOsem(pollList[i].fd, 0);
    if (pollList[i].revents & pollReadyWrite) signalIOsem(pollList[i].fd, 1);
  }
}

// Polls one descriptor (mask bit 0 read, bit 1 write): poll's answer or minus errno; an
// interrupted poll is repeated. *readyOut: 1 readable, 2 writable, 4 error.
int waitForIOWithTimeout(int fd, int mask, int* readyOut, int timeoutMs) {
  struct pollfd p = {fd, (short)(((mask & 1) ? pollWatchRead : 0) | ((mask & 2) ? pollWatchWrite : 0)), 0};
  int r;
  needMessageToWakeup = 1;
  do r = poll(&p, 1, timeoutMs);
  while (r < 0 && errno == EINTR);
  int error = errno;
  needMessageToWakeup = 0;
  if (readyOut != nullptr)
    *readyOut = r <= 0 ? 0
                       : ((p.revents & pollReadyRead) && (mask & 1) ? 1 : 0) |
                             ((p.revents & pollReadyWrite) && (mask & 2) ? 2 : 0) |
                             ((p.revents & pollErrorMask) ? 4 : 0);
  pdCheckTimer(1);
  return r < 0 ? -error : r;
}
