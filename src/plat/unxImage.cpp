// Unix layer: the image-file functions used by start-up, the image reader and snapshots.
// They report errno through their out word and leave the reporting to the caller.
// Prefix: pd (pdOpenImage, pdRead, pdWrite, pdCloseImage, pdBlessSnapshot).
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "ext/platform.h"

// An image being written goes to a new file beside its target and replaces the target
// only once it is whole and on disk, so a failed or killed write leaves the old image as
// it was. One record per open snapshot; failed is set by any write that fell short.
struct PendingImage {
  int fd;                // -1 when the record is free
  int failed;            // errno of the first failed write, 0 while all writes succeeded
  char temp[PATH_MAX];   // the file being written
  char target[PATH_MAX]; // the file it replaces on a good close
};
enum { pendingImageCount = 8 };
static PendingImage pendingImages[pendingImageCount] = {
    {-1, 0, {0}, {0}}, {-1, 0, {0}, {0}}, {-1, 0, {0}, {0}}, {-1, 0, {0}, {0}},
    {-1, 0, {0}, {0}}, {-1, 0, {0}, {0}}, {-1, 0, {0}, {0}}, {-1, 0, {0}, {0}}};

static PendingImage* pendingFor(int fd) {
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
  PendingImage* p = nullptr;
  for (PendingImage& q : pendingImages)
    if (q.fd < 0) p = &q;
  if (p == nullptr) return *error = EMFILE, -1;
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

int64_t pdRead(int64_t fd, void* buffer, uint64_t length, int* error) {
  *error = 0;
  ssize_t n = read((int)fd, buffer, length);
  if (n < 0) *error = errno;
  return n;
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

// Makes a whole snapshot durable and puts it in place of its target: the data reach the
// disk before the rename, and the directory entry after it.
static int commitSnapshot(PendingImage* p) {
  int error = p->failed;
  if (error == 0 && fsync(p->fd) != 0) error = errno;
  if (close(p->fd) != 0 && error == 0) error = errno;
  if (error == 0 && rename(p->temp, p->target) != 0) error = errno;
  if (error != 0) {
    unlink(p->temp);
  } else {
    char dir[PATH_MAX];
    strcpy(dir, p->target);
    char* slash = strrchr(dir, '/');
    if (slash == nullptr) strcpy(dir, ".");
    else slash[slash == dir ? 1 : 0] = 0;
    int d = open(dir, O_RDONLY | O_DIRECTORY);
    if (d >= 0) fsync(d), close(d);
  }
  p->fd = -1;
  return error;
}

int pdCloseImage(int64_t fd) {
  pdBeginCritical();
  PendingImage* p = pendingFor((int)fd);
  int error = p != nullptr ? commitSnapshot(p) : (close((int)fd) == 0 ? 0 : errno);
  pdEndCritical();
  return error;
}

int pdBlessSnapshot(const char*, uint64_t) { return 1; }
