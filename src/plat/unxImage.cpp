// Unix layer: the image-file functions used by start-up, the image reader and snapshots.
// They report errno through their out word and leave the reporting to the caller.
// Prefix: pd (pdOpenImage, pdRead, pdReadAhead, pdReadInPieces, pdFillAhead, pdEndFillAhead,
// pdWrite, pdCloseImage, pdDiscardSnapshot, pdBlessSnapshot, pdPreferLargePages);
// snapshotUnnamedFiles.
#include <dirent.h>
#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "ext/exImageFile.h"
#include "ext/exSnapshotName.h"
#include "ext/platform.h"
#include "plat/unxMain.h"

// A large read fills fresh memory of the kernel block: asking for huge pages first saves a
// page fault (and a page-table entry) for every 4 KiB the read and the relocation touch.
// A range of at least one huge page also takes the huge pages its ends lie in, so that its
// partial first and last pages are not faulted 4 KiB at a time; the hint must come before
// anything in those pages is touched. A smaller range gets none (its neighbours keep theirs).
void pdPreferLargePages(void* buffer, uint64_t length) {
  const uint64_t huge = uint64_t(2) << 20;
  uint64_t from = reinterpret_cast<uint64_t>(buffer), to = from + length;
  uint64_t start = length >= huge ? from & ~(huge - 1) : (from + huge - 1) & ~(huge - 1);
  uint64_t end = length >= huge ? (to + huge - 1) & ~(huge - 1) : to & ~(huge - 1);
  if (end > start) madvise(reinterpret_cast<void*>(start), end - start, MADV_HUGEPAGE);  // a hint only
}

int64_t pdRead(int64_t fd, void* buffer, uint64_t length, int* error) {
  *error = 0;
  pdPreferLargePages(buffer, length);
  ssize_t n = read((int)fd, buffer, length);
  if (n < 0) *error = errno;
  return n;
}

int64_t pdReadAhead(int64_t fd, void* buffer, uint64_t length, uint64_t skip, int* error) {
  *error = 0;
  off_t position = lseek((int)fd, 0, SEEK_CUR);
  if (position < 0 || skip > uint64_t(INT64_MAX - position)) return *error = position < 0 ? errno : EINVAL, -1;
  pdPreferLargePages(buffer, length);
  uint64_t done = 0;
  while (done < length) {
    ssize_t n = pread((int)fd, static_cast<char*>(buffer) + done, length - done, off_t(position + skip + done));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return *error = errno, -1;
    if (n == 0) break;
    done += uint64_t(n);
  }
  return int64_t(done);
}

// All of length at offset, short only at the end of the file or on an error (in *error).
static uint64_t readAllAt(int fd, uint8_t* buffer, uint64_t length, off_t offset, int* error) {
  uint64_t done = 0;
  while (done < length) {
    ssize_t n = pread(fd, buffer + done, length - done, off_t(offset + done));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) *error = errno;
    if (n <= 0) break;
    done += uint64_t(n);
  }
  return done;
}

// Copying a large file into fresh memory is bound by what one core can copy, and so is the
// work done on each piece once it is in, so a large read is shared by helper threads. Each
// claims whole huge-page chunks (two threads faulting in one page would wait for each other),
// reads a chunk a piece at a time and hands each piece over while it is still in its cache.
// The calling thread claims chunks too, and waits for the helpers at the end.
enum : uint64_t { readChunkBytes = uint64_t(2) << 20 };
enum { readHelpersMax = 3 };

struct SharedRead {
  int fd;
  uint64_t start, end;          // the buffer's range
  off_t offset;                 // the file offset of start
  uint64_t pieceBytes;
  void (*each)(uint64_t from, uint64_t to);
  uint64_t chunks;
  std::atomic<uint64_t> next;   // the next chunk to be claimed
  std::atomic<bool> stop;       // set when a chunk fell short: claim no more
  std::atomic<int> error;       // the first error number met
  uint64_t* handedBytes;        // per chunk: the bytes from its start handed over
};

// Chunks lie on the huge-page grid: the first and last may be partial.
static uint64_t chunkFrom(const SharedRead& r, uint64_t k) {
  uint64_t a = (r.start & ~(readChunkBytes - 1)) + k * readChunkBytes;
  return a < r.start ? r.start : a;
}
static uint64_t chunkTo(const SharedRead& r, uint64_t k) {
  uint64_t a = (r.start & ~(readChunkBytes - 1)) + (k + 1) * readChunkBytes;
  return a > r.end ? r.end : a;
}

// Claims one chunk, reads it and hands its pieces over; false when none is left to claim.
static bool readOneChunk(SharedRead* r) {
  if (r->stop.load(std::memory_order_relaxed)) return false;
  uint64_t k = r->next.fetch_add(1, std::memory_order_relaxed);
  if (k >= r->chunks) return false;
  uint64_t from = chunkFrom(*r, k), to = chunkTo(*r, k), a = from;
  while (a < to) {
    uint64_t end = to - a < r->pieceBytes ? to : a + r->pieceBytes;
    int error = 0;
    uint64_t n = readAllAt(r->fd, reinterpret_cast<uint8_t*>(a), end - a, off_t(r->offset + (a - r->start)), &error);
    if (error != 0) {
      int none = 0;
      r->error.compare_exchange_strong(none, error);
    }
    if (n != end - a) {
      r->stop.store(true, std::memory_order_relaxed);
      break;
    }
    r->each(a, end);
    a = end;
  }
  r->handedBytes[k] = a - from;
  return true;
}

static void* readChunks(void* shared) {
  while (readOneChunk(static_cast<SharedRead*>(shared))) {
  }
  return nullptr;
}

// Memory about to be filled is faulted in ahead by helper threads, from the top down, while
// the caller still reads something else (the loader reads old space's table first): the
// kernel clears each fresh page as it is faulted in, which otherwise falls on the reading
// threads, and on the caller alone until the shared read starts. The next read in pieces
// takes the helpers on; pdEndFillAhead lets them go when none comes.
struct FillAhead {
  pthread_mutex_t lock;
  pthread_cond_t wake;
  pthread_t helpers[readHelpersMax];
  int started;                  // helpers running, 0 when none
  uint64_t low[2];              // per range, in the order they are faulted in: its start
  std::atomic<uint64_t> next[2];  // and the top of its next chunk to be faulted in
  std::atomic<bool> handedOver; // fault in no more: a read takes the helpers on, or none comes
  SharedRead* read;             // under lock: the read taken on, null when none comes
};
static FillAhead fillAhead = {PTHREAD_MUTEX_INITIALIZER, PTHREAD_COND_INITIALIZER, {}, 0, {}, {}, {false}, nullptr};

// Faults [from, to) in writable, keeping what it holds (another thread may be reading into
// it): each page gets an atomic add of nothing, a write that changes no byte. A fault takes
// no lock of the whole address space, as asking the kernel to fault a range in would, which
// would hold up the reading thread's mappings meanwhile.
static void faultIn(uint64_t from, uint64_t to) {
  uint64_t page = pdGetPagesize() != 0 ? pdGetPagesize() : 4096;
  for (uint64_t a = (from + 7) & ~uint64_t(7); a + 8 <= to; a = (a & ~(page - 1)) + page)
    __atomic_fetch_add(reinterpret_cast<uint64_t*>(a), 0, __ATOMIC_RELAXED);
}

// Claims the chunk below a range's next (on the chunk grid), down to its start, the first
// range first; false when none is left.
static bool claimFillChunk(FillAhead* f, uint64_t* from, uint64_t* to) {
  for (int i = 0; i < 2; i++) {
    uint64_t top = f->next[i].load(std::memory_order_relaxed);
    while (top > f->low[i]) {
      uint64_t below = (top - 1) & ~(readChunkBytes - 1);
      if (below < f->low[i]) below = f->low[i];
      if (f->next[i].compare_exchange_weak(top, below, std::memory_order_relaxed)) return *from = below, *to = top, true;
    }
  }
  return false;
}

static void* fillThenRead(void*) {
  FillAhead* f = &fillAhead;
  uint64_t from, to;
  while (!f->handedOver.load(std::memory_order_relaxed) && claimFillChunk(f, &from, &to)) faultIn(from, to);
  pthread_mutex_lock(&f->lock);
  while (!f->handedOver.load(std::memory_order_relaxed)) pthread_cond_wait(&f->wake, &f->lock);
  SharedRead* r = f->read;
  pthread_mutex_unlock(&f->lock);
  if (r != nullptr) readChunks(r);
  return nullptr;
}

// The helpers, with every signal blocked (signals stay with the calling thread).
static int startHelpers(void* (*run)(void*), void* argument, pthread_t* helpers) {
  long online = sysconf(_SC_NPROCESSORS_ONLN);
  int wanted = online > readHelpersMax ? readHelpersMax : online > 1 ? int(online - 1) : 0;
  int started = 0;
  sigset_t all, old;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &old);
  while (started < wanted && pthread_create(&helpers[started], nullptr, run, argument) == 0) started++;
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
  return started;
}

void pdFillAhead(void* buffer, uint64_t length, void* first, uint64_t firstLength) {
  FillAhead* f = &fillAhead;
  if (f->started != 0 || length < pdSharedReadBytes) return;
  f->low[0] = reinterpret_cast<uint64_t>(first);
  f->next[0].store(f->low[0] + firstLength);
  f->low[1] = reinterpret_cast<uint64_t>(buffer);
  f->next[1].store(f->low[1] + length);
  f->handedOver.store(false);
  f->read = nullptr;
  f->started = startHelpers(fillThenRead, nullptr, f->helpers);
}

// Hands the helpers r (null: no read comes) and answers how many there are to join.
static int handOverFill(SharedRead* r) {
  FillAhead* f = &fillAhead;
  if (f->started == 0) return 0;
  pthread_mutex_lock(&f->lock);
  f->read = r;
  f->handedOver.store(true);
  pthread_cond_broadcast(&f->wake);
  pthread_mutex_unlock(&f->lock);
  return f->started;
}

static void joinFillHelpers() {
  FillAhead* f = &fillAhead;
  for (int i = 0; i < f->started; i++) pthread_join(f->helpers[i], nullptr);
  f->started = 0;
  f->read = nullptr;
}

void pdEndFillAhead() {
  if (handOverFill(nullptr) != 0) joinFillHelpers();
}

// Answers the bytes of the chunks read whole from the start, and of the first chunk that was not.
static int64_t readInPiecesShared(SharedRead* r) {
  pthread_t helpers[readHelpersMax];
  int started = 0;
  if (handOverFill(r) == 0) started = startHelpers(readChunks, r, helpers);
  readChunks(r);
  if (fillAhead.started != 0) joinFillHelpers();
  for (int i = 0; i < started; i++) pthread_join(helpers[i], nullptr);
  uint64_t done = 0;
  for (uint64_t k = 0; k < r->chunks; k++) {
    done += r->handedBytes[k];
    if (r->handedBytes[k] != chunkTo(*r, k) - chunkFrom(*r, k)) break;
  }
  return int64_t(done);
}

// A read too small to share, in order on the calling thread.
struct PlainRead {
  int fd;
  off_t position;  // the file offset of the buffer's start
  int* error;
};
static uint64_t readPlainPiece(void* context, uint8_t* buffer, uint64_t bytes, uint64_t done) {
  PlainRead* r = static_cast<PlainRead*>(context);
  return readAllAt(r->fd, buffer, bytes, off_t(r->position + done), r->error);
}

int64_t pdReadInPieces(int64_t fd, void* buffer, uint64_t length, uint64_t pieceBytes,
                       void (*each)(uint64_t from, uint64_t to), int* error) {
  *error = 0;
  off_t position = lseek((int)fd, 0, SEEK_CUR);
  if (position < 0) return *error = errno, -1;
  if (pieceBytes == 0) return *error = EINVAL, -1;
  pdPreferLargePages(buffer, length);
  uint64_t start = reinterpret_cast<uint64_t>(buffer), done = 0;
  SharedRead* shared = nullptr;
  if (length >= pdSharedReadBytes) {
    static SharedRead r;  // one read at a time: the loader's
    r.fd = (int)fd, r.start = start, r.end = start + length, r.offset = position;
    r.pieceBytes = pieceBytes, r.each = each;
    r.chunks = (r.end - (r.start & ~(readChunkBytes - 1)) + readChunkBytes - 1) / readChunkBytes;
    r.next = 0, r.stop = false, r.error = 0;
    r.handedBytes = new (std::nothrow) uint64_t[r.chunks]();
    if (r.handedBytes != nullptr) shared = &r;
  }
  if (shared != nullptr) {
    done = uint64_t(readInPiecesShared(shared));
    *error = shared->error.load();
    delete[] shared->handedBytes;
    shared->handedBytes = nullptr;
  } else {
    pdEndFillAhead();
    PlainRead plain = {(int)fd, position, error};
    done = readPiecesInOrder(reinterpret_cast<uint8_t*>(start), length, pieceBytes, readPlainPiece, &plain, each);
  }
  if (lseek((int)fd, off_t(position + done), SEEK_SET) < 0 && *error == 0) *error = errno;
  return int64_t(done);
}


// ---- Snapshots ---------------------------------------------------------------------------

// An image being written goes to a new file in its target's directory and replaces the
// target only once it is whole, on disk, closed and blessed at its expected size, so a failed
// or killed write leaves the old image as it was. Where the file system allows, the new file
// has no name until its close (O_TMPFILE) and a kill leaves nothing behind; elsewhere it is
// named "<target>.saving-XXXXXX" and locked while it is written, and the next save to the
// target removes such a file that no writer locks any longer. The terminating signals
// remove a named one before their default action (holdTermination). A device or a pipe
// cannot be replaced: it is written in place.
//
// One record per open snapshot, kept after a good close until the blessing; failed is set
// by any write that fell short.
struct PendingImage {
  int handle;              // the file descriptor, -1 once closed
  int closed;              // closed well, waiting for pdBlessSnapshot
  int failed;              // errno of the first failed write, 0 while all writes succeeded
  int inPlace;             // the target itself is written: nothing to replace
  int unnamed;             // no name until its close links it as temp
  int held;                // holds the termination cleanup
  std::atomic<int> named;  // temp names a file of ours that an ending engine removes
  char temp[PATH_MAX];     // the new file's name
  char target[PATH_MAX];   // the file it replaces when blessed
  char name[PATH_MAX];     // the path the snapshot was opened with
};
static PendingTable<PendingImage, 8> pending;
int snapshotUnnamedFiles = 1;

// Run by a terminating signal while a snapshot is written: safe in a signal handler.
static void removeTempsOnTermination() {
  for (PendingImage& p : pending.records)
    if (p.named.load()) unlink(p.temp);
}

static void freePending(PendingImage* p, bool removeTemp) {
  if (removeTemp && p->named.load()) unlink(p->temp);
  p->named.store(0);
  if (p->handle >= 0) close(p->handle);
  p->handle = -1;
  p->closed = 0;
  if (p->held) releaseTermination();
  p->held = 0;
}

static PendingImage* pendingFor(int fd) { return pendingWithHandle(&pending, fd); }

// The directory a file lies in ("." for a bare name) and the file's own name in it.
static void splitPath(const char* path, char* dir, const char** base) {
  const char* slash = strrchr(path, '/');
  if (slash == nullptr) {
    strcpy(dir, ".");
    *base = path;
    return;
  }
  size_t n = slash == path ? 1 : size_t(slash - path);
  memcpy(dir, path, n);
  dir[n] = 0;
  *base = slash + 1;
}

// The file a snapshot replaces: the path itself, or the file a symbolic link names, so
// that the link stays a link. A directory is refused (EISDIR); a missing file is created
// (its mode answered as noMode); a device, a pipe or a socket is written in place.
static const mode_t noMode = ~mode_t(0);
static int resolveTarget(const char* path, char* target, mode_t* mode, int* inPlace) {
  struct stat st;
  *mode = noMode;
  *inPlace = 0;
  if (lstat(path, &st) != 0) {
    if (errno != ENOENT) return errno;
    strcpy(target, path);
    return 0;
  }
  if (S_ISLNK(st.st_mode)) {
    if (realpath(path, target) == nullptr || stat(target, &st) != 0) return errno != 0 ? errno : ENOENT;
  } else {
    strcpy(target, path);
  }
  if (S_ISDIR(st.st_mode)) return EISDIR;
  *inPlace = !S_ISREG(st.st_mode);
  *mode = st.st_mode & 07777;
  return 0;
}

// A pipe that no one reads fails at once (ENXIO) instead of stopping the engine until a
// reader comes; once open, writes wait as usual.
static int openInPlace(const char* target, int* error) {
  int fd = open(target, O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return *error = errno, -1;
  int flags = fcntl(fd, F_GETFL);
  if (flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
    *error = errno;
    close(fd);
    return -1;
  }
  return fd;
}

static uint64_t tempSeed() {
  static uint64_t serial;
  struct timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  return (uint64_t(getpid()) << 40) ^ uint64_t(now.tv_nsec) ^ (uint64_t(now.tv_sec) << 20) ^ (++serial << 52);
}

// A temporary file of this target's that no writer locks was left by a save that was
// killed: it goes.
static void removeStaleTemps(const char* target) {
  char dir[PATH_MAX];
  const char* base;
  splitPath(target, dir, &base);
  if (base[0] == 0) return;
  DIR* d = opendir(dir);
  if (d == nullptr) return;
  while (struct dirent* e = readdir(d)) {
    if (!isSnapshotTempOf(e->d_name, base)) continue;
    int fd = openat(dirfd(d), e->d_name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) continue;
    struct stat st;
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && flock(fd, LOCK_EX | LOCK_NB) == 0) unlinkat(dirfd(d), e->d_name, 0);
    close(fd);
  }
  closedir(d);
}

// The new file: unnamed in the target's directory, or where the file system has no unnamed
// files, named with a fresh suffix. Answers the descriptor, or -1 with *error.
static int createTemp(PendingImage* p, int* error) {
  char dir[PATH_MAX];
  const char* base;
  splitPath(p->target, dir, &base);
  if (strlen(p->target) + snapshotTempNameExtra >= PATH_MAX || strlen(base) + snapshotTempNameExtra > NAME_MAX)
    return *error = ENAMETOOLONG, -1;
  if (snapshotUnnamedFiles) {
    int fd = open(dir, O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
    if (fd >= 0) return p->unnamed = 1, fd;
    if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) return *error = errno, -1;
  }
  for (int attempt = 0; attempt < 100; attempt++) {
    snapshotTempName(p->temp, p->target, tempSeed());
    int fd = open(p->temp, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd >= 0) return p->named.store(1), fd;
    if (errno != EEXIST) break;
  }
  return *error = errno, -1;
}

// A regular file's replacement, locked, with the old file's permission bits or the usual
// ones for a new file.
static int openReplacement(PendingImage* p, mode_t mode, int* error) {
  removeStaleTemps(p->target);
  holdTermination(removeTempsOnTermination);
  p->held = 1;
  sigset_t old;
  blockTermination(&old);  // a name made is one the cleanup knows
  int fd = createTemp(p, error);
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
  if (fd < 0) {
    freePending(p, false);
    return -1;
  }
  if (mode == noMode) {
    mode_t mask = umask(0);
    umask(mask);
    mode = 0666 & ~mask;
  }
  fchmod(fd, mode);
  flock(fd, LOCK_EX | LOCK_NB);  // a new file: only a stale-file search can hold it for a moment
  return fd;
}

static int64_t openSnapshot(const char* path, int* error) {
  if (path[0] == 0) return *error = ENOENT, -1;  // no file has the empty name
  if (strlen(path) >= PATH_MAX) return *error = ENAMETOOLONG, -1;
  PendingImage* p = takePendingRecord(&pending, path, freePending);
  if (p == nullptr) return *error = EMFILE, -1;
  strcpy(p->name, path);
  p->unnamed = 0;
  mode_t mode;
  if ((*error = resolveTarget(path, p->target, &mode, &p->inPlace)) != 0) return -1;
  int fd = p->inPlace ? openInPlace(p->target, error) : openReplacement(p, mode, error);
  if (fd < 0) return -1;
  p->handle = fd;
  p->failed = 0;
  return fd;
}

int64_t pdOpenImage(const char* path, int oflag, int* error) {
  *error = 0;
  pdBeginCritical();
  int64_t fd;
  if (oflag == pdOpenSnapshot) {
    fd = openSnapshot(path, error);
  } else {
    fd = open(path, O_RDONLY);
    if (fd < 0) *error = errno;
  }
  pdEndCritical();
  return fd;
}

static int64_t writeTwice(int fd, const void* buffer, uint64_t length, int* error) {
  ssize_t n = write(fd, buffer, length);
  if (n < 0) return *error = errno, -1;
  if ((uint64_t)n >= length) return n;
  ssize_t more = write(fd, (const char*)buffer + n, length - (uint64_t)n);
  if (more < 0) return *error = errno, -1;
  return n + more;
}

// A short write is retried once with the rest; no further retries. A snapshot that lost
// any write will not replace its target.
int64_t pdWrite(int64_t fd, const void* buffer, uint64_t length, int* error) {
  *error = 0;
  int64_t n = writeTwice((int)fd, buffer, length, error);
  PendingImage* p = pendingFor((int)fd);
  if (p != nullptr && p->failed == 0 && (n < 0 || (uint64_t)n != length))
    p->failed = *error != 0 ? *error : ENOSPC;
  return n;
}

// Names the unnamed file with a fresh suffix; the blessing renames it over the target. The
// terminating signals wait while the name is made, so that one made is always removed.
static int linkUnnamed(PendingImage* p) {
  char self[32];
  snprintf(self, sizeof self, "/proc/self/fd/%d", p->handle);
  sigset_t old;
  blockTermination(&old);
  int error = EEXIST;
  for (int attempt = 0; attempt < 100 && error == EEXIST; attempt++) {
    snapshotTempName(p->temp, p->target, tempSeed());
    // Naming a descriptor directly takes a privilege; its /proc entry does not.
    if (linkat(p->handle, "", AT_FDCWD, p->temp, AT_EMPTY_PATH) == 0 ||
        (errno != EEXIST && linkat(AT_FDCWD, self, AT_FDCWD, p->temp, AT_SYMLINK_FOLLOW) == 0)) {
      p->named.store(1);
      error = 0;
    } else {
      error = errno;
    }
  }
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
  return error;
}

// A snapshot's data reach the disk before its close, and an unnamed file gets its name;
// any failure removes what was written.
static int closeSnapshot(PendingImage* p) {
  int error = p->failed;
  if (error == 0 && !p->inPlace && fsync(p->handle) != 0) error = errno;
  if (error == 0 && p->unnamed) error = linkUnnamed(p);
  if (close(p->handle) != 0 && error == 0) error = errno;
  p->handle = -1;
  if (error != 0) freePending(p, true);
  else p->closed = 1;
  return error;
}

int pdCloseImage(int64_t fd) {
  pdBeginCritical();
  PendingImage* p = pendingFor((int)fd);
  int error = p != nullptr ? closeSnapshot(p) : (close((int)fd) == 0 ? 0 : errno);
  pdEndCritical();
  return error;
}

void pdDiscardSnapshot(int64_t fd) {
  PendingImage* p = pendingFor((int)fd);
  if (p != nullptr && p->failed == 0) p->failed = EIO;
}

// A closed snapshot of exactly the expected size replaces its target, and the directory
// entry is made durable after the rename; anything else removes the new file. A target
// written in place was whole once it closed well.
int pdBlessSnapshot(const char* path, uint64_t expectedSize) {
  PendingImage* p = closedPendingNamed(&pending, path);
  if (p == nullptr) return 0;
  if (p->inPlace) {
    freePending(p, false);
    return 1;
  }
  struct stat st;
  sigset_t old;
  blockTermination(&old);
  bool replaced = stat(p->temp, &st) == 0 && uint64_t(st.st_size) == expectedSize && rename(p->temp, p->target) == 0;
  if (replaced) p->named.store(0);
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
  if (!replaced) {
    freePending(p, true);
    return 0;
  }
  char dir[PATH_MAX];
  const char* base;
  splitPath(p->target, dir, &base);
  int d = open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (d >= 0) fsync(d), close(d);
  freePending(p, false);
  return 1;
}
