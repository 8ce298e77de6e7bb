// Unix layer: start-up of the descriptor-level primitive groups (initNewIO), and the file
// and directory primitives. Owns no global record.
// Prefix: none (initNewIO).
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "ext/exPrimTable.h"
#include "ext/exRequest.h"
#include "ext/platform.h"
#include "mman/mmAllocate.h"
#include "mman/mmCString.h"
#include "mman/mmCValue.h"
#include "mman/mmOopStack.h"
#include "mman/mmPrimUtil.h"
#include "mman/mmRt.h"
#include "mman/mmSysOop.h"
#include "plat/unxFile.h"
#include "plat/unxMain.h"
#include "stack/scheduler.h"

// ---- Shared by the descriptor-level primitives ---------------------------------------------

oop failCode(uint32_t code, uint64_t numArgs) { return failPrimitive(primErrorAt(code), numArgs); }

oop failCarrying(uint32_t code, int64_t value, uint64_t numArgs) {
  return failPrimitive(cloneErrorWith(primErrorAt(code), smallIntegerFor(value)), numArgs);
}

oop failErrno(int error, uint64_t numArgs) { return failCarrying(primErrPlatform, error, numArgs); }

// A request that arrived during the call is served before the primitive answers.
oop answerServingRequests(oop result) {
  return anyRequestsPending() ? commitPrimitiveAndHandleRequests(result) : result;
}

// The descriptor in slot 1 of a descriptor holder; -1 when it is no valid descriptor.
int descriptorOf(oop holder) {
  if (isImmediate(holder) || !hasPtrs(headerOf(holder)) || bodyWordsOf(headerOf(holder)) < 2) return -1;
  oop fd = slotOf(holder, 1);
  if (!isSmallInteger(fd) || smallIntegerValue(fd) < 0 || smallIntegerValue(fd) >= max_fds) return -1;
  return (int)smallIntegerValue(fd);
}

// The descriptor in slot 1 of a holder, any SmallInteger in 0 .. 2^31-1; -1 otherwise.
int smallDescriptorOf(oop holder) {
  if (isImmediate(holder) || !hasPtrs(headerOf(holder)) || bodyWordsOf(headerOf(holder)) < 2) return -1;
  oop fd = slotOf(holder, 1);
  return isSmallInteger(fd) && smallIntegerValue(fd) >= 0 && smallIntegerValue(fd) <= 0x7FFFFFFF
             ? (int)smallIntegerValue(fd) : -1;
}

bool hasArrayFormat(oop o) {
  return !isImmediate(o) && hasPtrs(headerOf(o)) &&
         classFormatOf(classOf(o)) == classFormatOf(sysOop(sysArrayClass));
}

bool hasByteArrayFormat(oop o) {
  return !isImmediate(o) && !hasPtrs(headerOf(o)) &&
         (classTagOf(headerOf(o)) == classIndexByteArray ||
          classFormatOf(classOf(o)) == classFormatOf(sysOop(sysByteArrayClass)));
}

// Characters of a string object: two bytes each in the two-byte string classes.
static uint64_t characterCount(oop s) {
  uint32_t tag = classTagOf(headerOf(s));
  uint64_t bytes = byteSizeOf(headerOf(s));
  return tag == classIndexTwoByteString || tag == classIndexTwoByteSymbol ? bytes / 2 : bytes;
}

// A string as a C path in buffer (capacity bytes and a 0); false for no string, one too
// long, or one holding a zero byte, which the system would take as the end of another path.
bool copyPath(oop s, char* buffer, uint64_t capacity) {
  if (isImmediate(s) || s == nilOop() || hasPtrs(headerOf(s))) return false;
  if (copyToCString(s, buffer, capacity) == nullptr) return false;
  return strlen(buffer) == characterCount(s);
}

// The path in slot 0 of a file name holder.
static bool receiverPath(oop holder, char* buffer, uint64_t capacity) {
  if (isImmediate(holder) || !hasPtrs(headerOf(holder)) || bodyWordsOf(headerOf(holder)) < 1) return false;
  return copyPath(slotOf(holder, 0), buffer, capacity);
}

// An argument of the receiver's own class whose slot 0 is a string.
static bool argumentPath(oop receiver, oop arg, char* buffer) {
  if (isImmediate(arg) || classOf(arg) != classOf(receiver) || !hasPtrs(headerOf(arg))) return false;
  return receiverPath(arg, buffer, pathCapacity);
}

// stat and access are repeated on EINTR, and a success that leaves errno set is repeated
// a few times (the value is then unspecified) before it is taken.
static int statPath(const char* path, struct stat* st) {
  int r;
  for (int tries = 0;; tries++) {
    errno = 0;
    r = stat(path, st);
    if (r < 0 && errno == EINTR) continue;
    if (r == 0 && errno != 0 && tries < 3) continue;
    return r;
  }
}

static int accessPath(const char* path, int mode) {
  int r;
  for (int tries = 0;; tries++) {
    errno = 0;
    r = access(path, mode);
    if (r < 0 && errno == EINTR) continue;
    if (r == 0 && errno != 0 && tries < 3) continue;
    return r;
  }
}

static bool isBoolean(oop o) { return o == trueOop() || o == falseOop(); }

// ---- Descriptor primitives -----------------------------------------------------------------

// 651, 678: close.
static oop primClose(oop receiver) {
  int fd = descriptorOf(receiver);
  if (fd < 0) return failCode(primErrBadReceiver, 0);
  clearIOsem(fd, 0);
  clearIOsem(fd, 1);
  if (closeUfd(fd) != 0) return failErrno(errno, 0);
  return receiver;
}

// The body bytes [start - 1, start - 1 + count) of a byte buffer; null when the arguments
// are refused. Counts below minCount are refused; a negative one would run past the buffer.
uint8_t* bufferRange(oop buffer, oop start, oop count, int64_t minCount, int64_t* n) {
  if (isImmediate(buffer) || hasPtrs(headerOf(buffer))) return nullptr;
  if (!isSmallInteger(start) || !isSmallInteger(count)) return nullptr;
  int64_t first = smallIntegerValue(start), k = smallIntegerValue(count);
  uint64_t size = byteSizeOf(headerOf(buffer));
  if (first <= 0 || k < minCount || k < 0 || (uint64_t)first - 1 > size || (uint64_t)k > size - ((uint64_t)first - 1))
    return nullptr;
  *n = k;
  return (uint8_t*)bodyOf(headerOf(buffer)) + first - 1;
}

// 660, 679: read; 661, 680: write. One call, a partial count answered as it is. The
// critical section keeps a signal from breaking off a call that blocks; a descriptor the
// image opened non-blocking never sleeps interruptibly, so it is spared the two mask changes.
static oop transfer(oop receiver, oop buffer, oop start, oop count, bool write) {
  int fd = descriptorOf(receiver);
  if (fd < 0) return failCode(primErrBadReceiver, 3);
  int64_t n;
  uint8_t* bytes = bufferRange(buffer, start, count, 1, &n);
  if (bytes == nullptr) return failCode(primErrBadArgument, 3);
  bool critical = !isPreparedNonBlocking(fd);
  if (critical) pdBeginCritical();
  ssize_t done = write ? ::write(fd, bytes, (size_t)n) : ::read(fd, bytes, (size_t)n);
  int error = errno;
  if (critical) pdEndCritical();
  if (done < 0) return failErrno(error, 3);
  return answerServingRequests(smallIntegerFor(done));
}
static oop primRead(oop r, oop b, oop s, oop c) { return transfer(r, b, s, c, false); }
static oop primWrite(oop r, oop b, oop s, oop c) { return transfer(r, b, s, c, true); }

// 662: seek to an absolute offset, nil to the end.
static oop primSeek(oop receiver, oop offset) {
  int fd = descriptorOf(receiver);
  if (fd < 0) return failCode(primErrBadReceiver, 1);
  int64_t where = 0;
  if (offset != nilOop() && !stOopToCValue(&where, offset, 8)) return failCode(primErrBadArgument, 1);
  off_t r = offset == nilOop() ? lseek(fd, 0, SEEK_END) : lseek(fd, (off_t)where, SEEK_SET);
  if (r < 0) return failErrno(errno, 1);
  oop answer = cSignedToOop((int64_t)r);
  return answer != 0 ? answer : failCode(primErrNoSpace, 1);
}

// 664: truncate or extend.
static oop primTruncate(oop receiver, oop length) {
  int fd = smallDescriptorOf(receiver);
  if (fd < 0) return failCode(primErrBadReceiver, 1);
  int64_t n;
  if (!stOopToCValue(&n, length, 8) || n < 0) return failCode(primErrBadArgument, 1);
  if (ftruncate(fd, (off_t)n) != 0) return failErrno(errno, 1);
  return receiver;
}

// 665: flush to the device.
static oop primSync(oop receiver) {
  int fd = smallDescriptorOf(receiver);
  if (fd < 0) return failCode(primErrBadReceiver, 0);
  if (fsync(fd) != 0) return failErrno(errno, 0);
  return answerServingRequests(receiver);
}

// 666: the open file's size.
static oop primDescriptorSize(oop receiver) {
  int fd = smallDescriptorOf(receiver);
  if (fd < 0) return failCode(primErrBadReceiver, 0);
  struct stat st;
  if (fstat(fd, &st) != 0) return failErrno(errno, 0);
  oop answer = cSignedToOop((int64_t)st.st_size);
  return answer != 0 ? answer : failCode(primErrNoSpace, 0);
}

// 668, 685: is the descriptor ready? A Semaphore given is signalled now when it is, else
// kept for the idle wait; nil only clears the direction's slot.
static oop primReadiness(oop receiver, oop semaphore, oop direction) {
  int fd = descriptorOf(receiver);
  if (fd < 0) return failCode(primErrBadReceiver, 2);
  if (!isBoolean(direction)) return failCode(primErrBadArgument, 2);
  int write = direction == trueOop();
  if (semaphore == nilOop()) {
    clearIOsem(fd, write);
  } else {
    if (isImmediate(semaphore) || !isKindOf(semaphore, sysOop(sysSemaphoreClass)))
      return failCode(primErrBadArgument, 2);
    oop error = setIOsem(fd, write, semaphore);
    if (error != 0) return failPrimitive(error, 2);
  }
  int ready = 0, r;
  while ((r = waitForIOWithTimeout(fd, write ? 2 : 1, &ready, 0)) == -EINTR) {}
  if (r < 0) {
    clearIOsem(fd, write);
    return failErrno(-r, 2);
  }
  if (r == 0 || !(ready & (write ? 2 : 1))) return falseOop();
  if (semaphore != nilOop()) {
    clearIOsem(fd, write);
    asynchSignal(semaphore);
  }
  return trueOop();
}

// ---- Path primitives -----------------------------------------------------------------------

#define PATH_OR_FAIL(buffer, n)                                                       \
  char buffer[pathCapacity + 2];                                                      \
  if (!receiverPath(receiver, buffer, pathCapacity)) return failCode(primErrBadReceiver, n)

// 1600: access, modification and status-change times, little-endian u64 seconds since 1901.
static oop primFileTimes(oop receiver) {
  PATH_OR_FAIL(path, 0);
  struct stat st;
  if (statPath(path, &st) != 0) return failErrno(errno, 0);
  ObjectHeader* h = allocVSObj(sysOop(sysByteArrayClass), 24);
  if (h == nullptr) return failCode(primErrNoSpace, 0);
  const int64_t times[3] = {(int64_t)st.st_atime, (int64_t)st.st_mtime, (int64_t)st.st_ctime};
  uint8_t* b = (uint8_t*)bodyOf(h);
  for (int t = 0; t < 3; t++) {
    uint64_t v = (uint64_t)(times[t] + secondsFrom1901To1970);
    for (int i = 0; i < 8; i++) b[t * 8 + i] = (uint8_t)(v >> (8 * i));
  }
  return oopOf(h);
}

// 1601: remove a file, or an empty directory.
static oop primRemove(oop receiver) {
  PATH_OR_FAIL(path, 0);
  pdBeginCritical();
  int r = unlink(path), error = errno;
  struct stat st;
  if (r != 0 && statPath(path, &st) == 0 && (st.st_mode & S_IFMT) == S_IFDIR) {
    r = rmdir(path);
    error = errno;
  }
  pdEndCritical();
  if (r != 0) return failErrno(error, 0);
  return receiver;
}

// 1602: a directory (true) or a regular file (false).
static oop primIsDirectory(oop receiver) {
  PATH_OR_FAIL(path, 0);
  struct stat st;
  if (statPath(path, &st) != 0) return failErrno(errno, 0);
  if (S_ISDIR(st.st_mode)) return trueOop();
  if (S_ISREG(st.st_mode)) return falseOop();
  return failCode(primErrWrongClass, 0);
}

// 1603: rename.
static oop primRename(oop receiver, oop to) {
  PATH_OR_FAIL(path, 1);
  char target[pathCapacity + 2];
  if (!argumentPath(receiver, to, target)) return failCode(primErrBadArgument, 1);
  if (rename(path, target) != 0) return failErrno(errno, 1);
  return receiver;
}

// 663: a link named by the first argument to the receiver: symbolic when true.
static oop primLink(oop receiver, oop name, oop symbolic) {
  PATH_OR_FAIL(path, 2);
  char link[pathCapacity + 2];
  if (!argumentPath(receiver, name, link) || !isBoolean(symbolic)) return failCode(primErrBadArgument, 2);
  int r = symbolic == trueOop() ? symlink(path, link) : ::link(path, link);
  if (r != 0) return failErrno(errno, 2);
  return receiver;
}

// 1604: make a directory.
static oop primMakeDirectory(oop receiver) {
  PATH_OR_FAIL(path, 0);
  if (mkdir(path, 0777) != 0) return failErrno(errno, 0);
  return answerServingRequests(receiver);
}

// 1605: the current directory.
static oop primCurrentDirectory(oop) {
  char buffer[4096];
  if (getcwd(buffer, sizeof buffer) == nullptr) return failErrno(errno, 0);
  oop s = STStringWithSize(buffer, strlen(buffer));
  return s != 0 ? s : failCode(primErrNoSpace, 0);
}

// 1606: size.
static oop primFileSize(oop receiver) {
  PATH_OR_FAIL(path, 0);
  struct stat st;
  if (statPath(path, &st) != 0) return failErrno(errno, 0);
  oop answer = cSignedToOop((int64_t)st.st_size);
  return answer != 0 ? answer : failCode(primErrNoSpace, 0);
}

// 1607: writable? (a directory must also be searchable).
static oop primIsWritable(oop receiver) {
  PATH_OR_FAIL(path, 0);
  pdBeginCritical();
  int r = accessPath(path, W_OK), error = errno;
  pdEndCritical();
  if (r == 0) {
    struct stat st;
    if (statPath(path, &st) != 0) return failErrno(errno, 0);
    if (!S_ISDIR(st.st_mode)) return trueOop();
    pdBeginCritical();
    r = accessPath(path, W_OK | X_OK);
    pdEndCritical();
    return booleanOop(r == 0);
  }
  pdBeginCritical();
  int exists = accessPath(path, F_OK);
  pdEndCritical();
  return exists == 0 ? falseOop() : failErrno(error, 0);
}

// 1608: add (masked by the umask) or clear the write bits; a directory gains search bits.
static oop primSetWritable(oop receiver, oop writable) {
  PATH_OR_FAIL(path, 1);
  if (!isBoolean(writable)) return failCode(primErrBadArgument, 1);
  struct stat st;
  if (statPath(path, &st) != 0) return failErrno(errno, 1);
  mode_t mode = st.st_mode & 07777 & ~(mode_t)0222;
  if (writable == trueOop()) {
    mode_t mask = umask(0);
    umask(mask);
    mode |= ~mask & (S_ISDIR(st.st_mode) ? 0333 : 0222);
  }
  if (chmod(path, mode) != 0) return failErrno(errno, 1);
  return receiver;
}

// 1609: exists?
static oop primExists(oop receiver) {
  PATH_OR_FAIL(path, 0);
  if (accessPath(path, F_OK) == 0) return trueOop();
  if (errno == ENOENT || errno == ENOTDIR) return falseOop();
  return failErrno(errno, 0);
}

// 1610: open; the descriptor is non-blocking and prepared for the idle wait.
static oop primOpen(oop receiver, oop accessIndex, oop creationIndex) {
  char path[openPathCapacity + 2];
  if (!receiverPath(receiver, path, openPathCapacity)) return failCode(primErrBadReceiver, 2);
  static const int accessFlags[] = {O_RDONLY, O_WRONLY, O_RDWR, O_WRONLY | O_APPEND, O_RDWR | O_APPEND};
  static const int creationFlags[] = {0, O_CREAT, O_TRUNC, O_CREAT | O_TRUNC, O_CREAT | O_EXCL};
  if (!isSmallInteger(accessIndex) || (uint64_t)smallIntegerValue(accessIndex) > 4 ||
      !isSmallInteger(creationIndex) || (uint64_t)smallIntegerValue(creationIndex) > 4)
    return failCode(primErrBadArgument, 2);
  if (used_ufds + 1 > max_ufds) return failErrno(EMFILE, 2);
  int flags = accessFlags[smallIntegerValue(accessIndex)] | creationFlags[smallIntegerValue(creationIndex)];
  pdBeginCritical();
  int fd = open(path, flags | O_NONBLOCK, 0666);
  int error = errno;
  pdEndCritical();
  if (fd < 0) return failErrno(error, 2);
  prepareUfd(fd);
  return answerServingRequests(smallIntegerFor(fd));
}

// 1615: chmod.
static oop primChmod(oop receiver, oop mode) {
  PATH_OR_FAIL(path, 1);
  if (!isSmallInteger(mode) || smallIntegerValue(mode) < 0 || smallIntegerValue(mode) > 07777)
    return failCode(primErrBadArgument, 1);
  if (chmod(path, (mode_t)smallIntegerValue(mode)) != 0) return failErrno(errno, 1);
  return receiver;
}

// 1616: set the umask, answer the previous one.
static oop primUmask(oop, oop mask) {
  if (!isSmallInteger(mask) || smallIntegerValue(mask) < 0 || smallIntegerValue(mask) > 0777)
    return failCode(primErrBadArgument, 1);
  return smallIntegerFor(umask((mode_t)smallIntegerValue(mask)));
}

// 1617: permission bits.
static oop primPermissions(oop receiver) {
  PATH_OR_FAIL(path, 0);
  struct stat st;
  if (statPath(path, &st) != 0) return failErrno(errno, 0);
  return smallIntegerFor(st.st_mode & 07777);
}

// ---- Directory listing ---------------------------------------------------------------------

// The errno of an opendir that failed without one.
static int opendirError(const char* path) {
  struct stat st;
  if (statPath(path, &st) != 0) return errno;
  if (!S_ISDIR(st.st_mode)) return ENOTDIR;
  return accessPath(path, R_OK | X_OK) != 0 ? errno : ENOMEM;
}

// Never repeated on EINTR: the stream is released either way, and a second closedir would
// free it twice.
static void closeDirectory(DIR* d) { closedir(d); }

// The names gathered on the oop stack, in readdir order, as an Array; 0 when no space.
static oop arrayFromStack(oop* stack) {
  uint64_t n = liveEntriesInOopStack(stack);
  ObjectHeader* a = allocVSObj(sysOop(sysArrayClass), n);
  if (a == nullptr) return 0;
  for (uint64_t i = n; i > 0; i--) storeSlot(oopOf(a), i - 1, popOopStack(stack), __FILE__, __LINE__);
  return oopOf(a);
}

// 1690: the names of a directory's entries, without "." and "..".
static oop primListDirectory(oop receiver) {
  PATH_OR_FAIL(path, 0);
  pdBeginCritical();
  errno = 0;
  DIR* d = opendir(path);
  int error = errno;
  pdEndCritical();
  if (d == nullptr) return failErrno(error != 0 ? error : opendirError(path), 0);
  oop stack = createOopStack();
  if (stack == 0) {
    closeDirectory(d);
    return failCode(primErrNoSpace, 0);
  }
  for (;;) {
    errno = 0;
    struct dirent* e = readdir(d);
    if (e == nullptr && errno == EINTR) continue;
    if (e == nullptr && errno != 0) {
      error = errno;
      recycleOopStack(stack);
      closeDirectory(d);
      return failErrno(error, 0);
    }
    if (e == nullptr) break;
    if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0) continue;
    oop name = STStringWithSize(e->d_name, strlen(e->d_name));
    if (name == 0 || !pushOopStack(&stack, name)) {
      recycleOopStack(stack);
      closeDirectory(d);
      return failCode(primErrNoSpace, 0);
    }
  }
  oop names = arrayFromStack(&stack);
  closeDirectory(d);
  recycleOopStack(stack);
  if (names == 0) return failCode(primErrNoSpace, 0);
  return answerServingRequests(names);
}

// ---- Registration --------------------------------------------------------------------------

static void initFilePrims() {
  const struct { uint32_t number; const void* function; uint8_t numArgs; } prims[] = {
      {651, (const void*)primClose, 0},          {660, (const void*)primRead, 3},
      {661, (const void*)primWrite, 3},          {662, (const void*)primSeek, 1},
      {663, (const void*)primLink, 2},           {664, (const void*)primTruncate, 1},
      {665, (const void*)primSync, 0},           {666, (const void*)primDescriptorSize, 0},
      {668, (const void*)primReadiness, 2},      {678, (const void*)primClose, 0},
      {679, (const void*)primRead, 3},           {680, (const void*)primWrite, 3},
      {685, (const void*)primReadiness, 2},      {1600, (const void*)primFileTimes, 0},
      {1601, (const void*)primRemove, 0},        {1603, (const void*)primRename, 1},
      {1606, (const void*)primFileSize, 0},      {1607, (const void*)primIsWritable, 0},
      {1608, (const void*)primSetWritable, 1},   {1609, (const void*)primExists, 0},
      {1610, (const void*)primOpen, 2},          {1615, (const void*)primChmod, 1},
      {1616, (const void*)primUmask, 1},         {1617, (const void*)primPermissions, 0},
  };
  for (auto p : prims) addCPrimitive(p.number, p.function, p.numArgs);
}

static void initDirPrims() {
  addCPrimitive(1602, (const void*)primIsDirectory, 0);
  addCPrimitive(1604, (const void*)primMakeDirectory, 0);
  addCPrimitive(1605, (const void*)primCurrentDirectory, 0);
  addCPrimitive(1690, (const void*)primListDirectory, 0);
}

// Start-up of the Unix descriptor-level groups.
void initNewIO() {
  setupNewIO();
  initSignals();
  initSignalRegistration();
  setRequestServer(requestInput, [] { pdSynchronizeInput(); });
  setRequestServer(requestSignals, SIGNALSemaphoreResponse);
  initFilePrims();
  initDirPrims();
  initIpcPrims();
  initProcPrims();
  initSockPrims();
  initSerialPrims();
  initMiscPrims();
  initOSErrorCodePrims();
}
