// Windows layer: the image-file functions used by start-up, the image reader and
// snapshots. Prefix: pd (pdOpenImage, pdRead, pdWrite, pdCloseImage, pdBlessSnapshot).
#include <windows.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

#include "ext/platform.h"

// An image being written goes to a new file beside its target and replaces the target
// only once it is whole and flushed, so a failed or killed write leaves the old image as
// it was. One record per open snapshot; failed is set by any write that fell short.
struct PendingImage {
  int fd;                 // -1 when the record is free
  int failed;             // errno of the first failed write, 0 while all writes succeeded
  char temp[MAX_PATH];    // the file being written
  char target[MAX_PATH];  // the file it replaces on a good close
};
enum { pendingImageCount = 8 };
static PendingImage pendingImages[pendingImageCount] = {
    {-1, 0, {0}, {0}}, {-1, 0, {0}, {0}}, {-1, 0, {0}, {0}}, {-1, 0, {0}, {0}},
    {-1, 0, {0}, {0}}, {-1, 0, {0}, {0}}, {-1, 0, {0}, {0}}, {-1, 0, {0}, {0}}};
static unsigned tempSerial;

static PendingImage* pendingFor(int fd) {
  for (PendingImage& p : pendingImages)
    if (p.fd == fd && fd >= 0) return &p;
  return nullptr;
}

// A snapshot (577) writes a new temporary file beside its target; anything but a regular
// file (a directory, a device) is refused with EPERM.
static int64_t openSnapshot(const char* path, int* error) {
  PendingImage* p = nullptr;
  for (PendingImage& q : pendingImages)
    if (q.fd < 0) p = &q;
  if (p == nullptr) return *error = EMFILE, -1;
  struct _stat64 st;
  if (_stat64(path, &st) == 0 && !(st.st_mode & _S_IFREG)) return *error = EPERM, -1;
  if (strlen(path) + 24 >= MAX_PATH) return *error = ENAMETOOLONG, -1;
  strcpy(p->target, path);
  int fd = -1;
  for (int attempt = 0; attempt < 100 && fd < 0; attempt++) {
    snprintf(p->temp, sizeof p->temp, "%s.%lu-%u", path, GetCurrentProcessId(), tempSerial++);
    fd = _open(p->temp, _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY, _S_IREAD | _S_IWRITE);
    if (fd < 0 && errno != EEXIST) break;
  }
  if (fd < 0) return *error = errno, -1;
  p->fd = fd;
  p->failed = 0;
  return fd;
}

int64_t pdOpenImage(const char* path, int oflag, int* error) {
  *error = 0;
  if (oflag == pdOpenSnapshot) return openSnapshot(path, error);
  int fd = _open(path, _O_RDONLY | _O_BINARY);
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

// A short write is retried once with the rest; a snapshot that lost any write will not
// replace its target.
int64_t pdWrite(int64_t fd, const void* buffer, uint64_t length, int* error) {
  *error = 0;
  uint64_t done = 0;
  int64_t result = -1;
  for (int attempt = 0; attempt < 2 && done < length; attempt++) {
    uint64_t rest = length - done;
    unsigned chunk = rest > 0x40000000 ? 0x40000000 : (unsigned)rest;
    int n = _write((int)fd, (const char*)buffer + done, chunk);
    if (n < 0) {
      *error = errno;
      break;
    }
    done += (uint64_t)n;
  }
  if (*error == 0) result = (int64_t)done;
  PendingImage* p = pendingFor((int)fd);
  if (p != nullptr && p->failed == 0 && (result < 0 || done != length))
    p->failed = *error != 0 ? *error : ENOSPC;
  return result;
}

static bool widePath(const char* path, wchar_t* wide) {
  return MultiByteToWideChar(CP_ACP, 0, path, -1, wide, MAX_PATH) > 0;
}

// Flushes a whole snapshot and moves it over its target, the move itself written through.
static int commitSnapshot(PendingImage* p) {
  int error = p->failed;
  if (error == 0 && _commit(p->fd) != 0) error = errno;
  if (_close(p->fd) != 0 && error == 0) error = errno;
  wchar_t temp[MAX_PATH], target[MAX_PATH];
  if (error == 0 && !(widePath(p->temp, temp) && widePath(p->target, target))) error = ENAMETOOLONG;
  if (error == 0 &&
      !MoveFileExW(temp, target, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
    error = EACCES;
  if (error != 0) _unlink(p->temp);
  p->fd = -1;
  return error;
}

int pdCloseImage(int64_t fd) {
  PendingImage* p = pendingFor((int)fd);
  if (p != nullptr) return commitSnapshot(p);
  return _close((int)fd) == 0 ? 0 : errno;
}

int pdBlessSnapshot(const char*, uint64_t) { return 1; }
