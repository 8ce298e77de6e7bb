// Windows layer: the image-file functions used by start-up, the image reader and
// snapshots. Prefix: pd (pdOpenImage, pdRead, pdWrite, pdCloseImage, pdBlessSnapshot).
#include <windows.h>

#include <cerrno>
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

#include "ext/platform.h"

int64_t pdOpenImage(const char* path, int oflag, int* error) {
  *error = 0;
  bool snapshot = oflag == pdOpenSnapshot;
  int flags = snapshot ? (_O_WRONLY | _O_CREAT | _O_TRUNC | _O_BINARY) : (_O_RDONLY | _O_BINARY);
  int fd = _open(path, flags, _S_IREAD | _S_IWRITE);
  if (fd < 0) *error = errno;
  return fd;
}

int64_t pdRead(int64_t fd, void* buffer, uint64_t length, int* error) {
  *error = 0;
  unsigned chunk = length > 0x40000000 ? 0x40000000 : (unsigned)length;
  int n = _read((int)fd, buffer, chunk);
  if (n < 0) *error = errno;
  return n;
}

int64_t pdWrite(int64_t fd, const void* buffer, uint64_t length, int* error) {
  *error = 0;
  uint64_t done = 0;
  for (int attempt = 0; attempt < 2 && done < length; attempt++) {
    uint64_t rest = length - done;
    unsigned chunk = rest > 0x40000000 ? 0x40000000 : (unsigned)rest;
    int n = _write((int)fd, (const char*)buffer + done, chunk);
    if (n < 0) {
      *error = errno;
      return -1;
    }
    done += (uint64_t)n;
  }
  return (int64_t)done;
}

int pdCloseImage(int64_t fd) { return _close((int)fd) == 0 ? 0 : errno; }

int pdBlessSnapshot(const char*, uint64_t) { return 1; }
