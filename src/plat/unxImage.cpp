// Unix layer: the image-file functions used by start-up, the image reader and snapshots.
// They report errno through their out word and leave the reporting to the caller.
// Prefix: pd (pdOpenImage, pdRead, pdWrite, pdCloseImage, pdBlessSnapshot).
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "ext/platform.h"

// A snapshot (577: write-only, create, truncate) replaces the old file and keeps its
// permission bits.
int64_t pdOpenImage(const char* path, int oflag, int* error) {
  *error = 0;
  pdBeginCritical();
  struct stat old;
  bool existed = stat(path, &old) == 0;
  bool snapshot = oflag == pdOpenSnapshot;
  if (snapshot) unlink(path);
  int flags = snapshot ? (O_WRONLY | O_CREAT | O_TRUNC) : O_RDONLY;
  int fd = open(path, flags, 0666);
  if (fd < 0) *error = errno;
  else if (snapshot && existed) fchmod(fd, old.st_mode & 0xFFF);
  pdEndCritical();
  return fd;
}

int64_t pdRead(int64_t fd, void* buffer, uint64_t length, int* error) {
  *error = 0;
  ssize_t n = read((int)fd, buffer, length);
  if (n < 0) *error = errno;
  return n;
}

// A short write is retried once with the rest; no further retries.
int64_t pdWrite(int64_t fd, const void* buffer, uint64_t length, int* error) {
  *error = 0;
  ssize_t n = write((int)fd, buffer, length);
  if (n < 0) {
    *error = errno;
    return -1;
  }
  if ((uint64_t)n >= length) return n;
  ssize_t more = write((int)fd, (const char*)buffer + n, length - (uint64_t)n);
  if (more < 0) {
    *error = errno;
    return -1;
  }
  return n + more;
}

int pdCloseImage(int64_t fd) { return close((int)fd) == 0 ? 0 : errno; }

int pdBlessSnapshot(const char*, uint64_t) { return 1; }
