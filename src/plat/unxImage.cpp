// Unix layer: the image-file functions used by start-up, the image reader and snapshots.
// They report errno through their out word and leave the reporting to the caller.
// Prefix: pd (pdOpenImage, pdRead, pdReadAhead, pdWrite, pdCloseImage, pdDiscardSnapshot,
// pdBlessSnapshot, pdPreferLargePages).
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "ext/platform.h"

// An image being written goes to a new file beside its target and replaces the target
// only once it is whole, closed, on disk and blessed at its expected size, so a failed or
// killed write leaves the old image as it was. One record per open snapshot, kept after a
// good close until the blessing; failed is set by any write that fell short.
struct PendingImage {
  int fd;                // -1 once closed
  int closed;            // closed well, waiting for pdBlessSnapshot
  int failed;            // errno of the first failed write, 0 while all writes succeeded
  char temp[PATH_MAX];   // the file being written
  char target[PATH_MAX]; // the file it replaces when blessed
  char name[PATH_MAX];   // the path the snapshot was opened with
};
enum { pendingImageCount = 8 };
static PendingImage pendingImages[pendingImageCount];
static bool pendingImagesReady;

static void freePending(PendingImage* p, bool removeTemp) {
  if (removeTemp) unlink(p->temp);
  p->fd = -1;
  p->closed = 0;
}

static void readyPendingImages() {
  if (pendingImagesReady) return;
  for (PendingImage& p : pendingImages) p.fd = -1, p.closed = 0;
  pendingImagesReady = true;
}

static PendingImage* pendingFor(int fd) {
  readyPendingImages();
  for (PendingImage& p : pendingImages)
    if (p.fd == fd && fd >= 0) return &p;
  return nullptr;
}

// The file a snapshot replaces: the path itself, or the file a symbolic link names, so
// that the link stays a link. Anything but a regular file (a device, a directory, a pipe)
// is refused with EPERM; a missing file is created (its mode answered as noMode).
static const mode_t noMode = ~mode_t(0);
static int resolveTarget(const char* path, char* target, mode_t* mode) {
  struct stat st;
  *mode = noMode;
  if (lstat(path, &st) != 0) {
    if (errno != ENOENT) return errno;
    if (strlen(path) >= PATH_MAX) return ENAMETOOLONG;
    strcpy(target, path);
    return 0;
  }
  if (S_ISLNK(st.st_mode)) {
    if (realpath(path, target) == nullptr || stat(target, &st) != 0) return errno != 0 ? errno : ENOENT;
  } else {
    if (strlen(path) >= PATH_MAX) return ENAMETOOLONG;
    strcpy(target, path);
  }
  if (!S_ISREG(st.st_mode)) return EPERM;
  *mode = st.st_mode & 07777;
  return 0;
}

// A snapshot (577) writes a new temporary file in the target's directory, with the old
// file's permission bits or the usual ones for a new file.
static int64_t openSnapshot(const char* path, int* error) {
  readyPendingImages();
  if (strlen(path) >= PATH_MAX) return *error = ENAMETOOLONG, -1;
  // A closed snapshot never blessed is given up when its name is written again or a
  // record is wanted.
  for (PendingImage& q : pendingImages)
    if (q.closed && strcmp(q.name, path) == 0) freePending(&q, true);
  PendingImage* p = nullptr;
  for (PendingImage& q : pendingImages)
    if (q.fd < 0 && !q.closed) p = &q;
  for (PendingImage& q : pendingImages)
    if (p == nullptr && q.closed) freePending(p = &q, true);
  if (p == nullptr) return *error = EMFILE, -1;
  strcpy(p->name, path);
  mode_t mode;
  if ((*error = resolveTarget(path, p->target, &mode)) != 0) return -1;
  if (strlen(p->target) + 8 >= PATH_MAX) return *error = ENAMETOOLONG, -1;
  strcpy(p->temp, p->target);
  strcat(p->temp, ".XXXXXX");
  int fd = mkstemp(p->temp);
  if (fd < 0) return *error = errno, -1;
  if (mode == noMode) {
    mode_t mask = umask(0);
    umask(mask);
    mode = 0666 & ~mask;
  }
  fchmod(fd, mode);
  p->fd = fd;
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

// A snapshot's data reach the disk before its close; any failure removes the temporary file.
static int closeSnapshot(PendingImage* p) {
  int error = p->failed;
  if (error == 0 && fsync(p->fd) != 0) error = errno;
  if (close(p->fd) != 0 && error == 0) error = errno;
  if (error != 0) {
    freePending(p, true);
  } else {
    p->fd = -1;
    p->closed = 1;
  }
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
// entry is made durable after the rename; anything else removes the temporary file.
int pdBlessSnapshot(const char* path, uint64_t expectedSize) {
  readyPendingImages();
  PendingImage* p = nullptr;
  for (PendingImage& q : pendingImages)
    if (q.closed && strcmp(q.name, path) == 0) p = &q;
  if (p == nullptr) return 0;
  struct stat st;
  if (stat(p->temp, &st) != 0 || uint64_t(st.st_size) != expectedSize || rename(p->temp, p->target) != 0) {
    freePending(p, true);
    return 0;
  }
  char dir[PATH_MAX];
  strcpy(dir, p->target);
  char* slash = strrchr(dir, '/');
  if (slash == nullptr) strcpy(dir, ".");
  else slash[slash == dir ? 1 : 0] = 0;
  int d = open(dir, O_RDONLY | O_DIRECTORY);
  if (d >= 0) fsync(d), close(d);
  freePending(p, false);
  return 1;
}
