// Windows layer: the image-file functions used by start-up, the image reader and
// snapshots. Prefix: pd (pdOpenImage, pdRead, pdReadAhead, pdReadInPieces, pdWrite,
// pdCloseImage, pdDiscardSnapshot, pdBlessSnapshot).
#include <windows.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

#include "ext/exSnapshotName.h"
#include "ext/platform.h"

// An image being written goes to a new file beside its target, "<target>.saving-XXXXXX",
// and replaces the target only once it is whole, closed, flushed and blessed at its expected
// size, so a failed or killed write leaves the old image as it was. The next save to the
// target removes such a file that no writer holds open any longer: what a killed save left.
// One record per open snapshot, kept after a good close until the blessing; failed is set by
// any write that fell short.
struct PendingImage {
  int fd;                 // -1 once closed
  int closed;             // closed well, waiting for pdBlessSnapshot
  int failed;             // errno of the first failed write, 0 while all writes succeeded
  char temp[MAX_PATH];    // the file being written
  char target[MAX_PATH];  // the file it replaces when blessed
};
enum { pendingImageCount = 8 };
static PendingImage pendingImages[pendingImageCount];
static bool pendingImagesReady;

static void freePending(PendingImage* p, bool removeTemp) {
  if (removeTemp) _unlink(p->temp);
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

// The length of the directory part of a path, its separator included.
static size_t directoryLength(const char* path) {
  const char* slash = strrchr(path, '/');
  const char* backslash = strrchr(path, '\\');
  const char* last = slash > backslash ? slash : backslash;
  return last != nullptr ? size_t(last - path + 1) : 0;
}

// A file a writer still has open cannot be removed: what goes was left by a killed save.
static void removeStaleTemps(const char* target) {
  size_t dir = directoryLength(target);
  char pattern[MAX_PATH + 16], path[MAX_PATH];
  snprintf(pattern, sizeof pattern, "%s%s*", target, snapshotTempMarker);
  struct _finddata_t found;
  intptr_t search = _findfirst(pattern, &found);
  if (search == -1) return;
  do {
    if ((found.attrib & _A_SUBDIR) || !isSnapshotTempOf(found.name, target + dir) ||
        snprintf(path, sizeof path, "%.*s%s", int(dir), target, found.name) >= int(sizeof path))
      continue;
    _unlink(path);
  } while (_findnext(search, &found) == 0);
  _findclose(search);
}

// A snapshot (577) writes a new file beside its target. A directory is refused (EISDIR), and
// anything else but a regular file (a device) with EPERM.
static int64_t openSnapshot(const char* path, int* error) {
  readyPendingImages();
  if (path[0] == 0) return *error = ENOENT, -1;  // no file has the empty name
  // A closed snapshot never blessed is given up when its name is written again or a
  // record is wanted.
  for (PendingImage& q : pendingImages)
    if (q.closed && strcmp(q.target, path) == 0) freePending(&q, true);
  PendingImage* p = nullptr;
  for (PendingImage& q : pendingImages)
    if (q.fd < 0 && !q.closed) p = &q;
  for (PendingImage& q : pendingImages)
    if (p == nullptr && q.closed) freePending(p = &q, true);
  if (p == nullptr) return *error = EMFILE, -1;
  struct _stat64 st;
  if (_stat64(path, &st) == 0 && !(st.st_mode & _S_IFREG)) return *error = (st.st_mode & _S_IFDIR) ? EISDIR : EPERM, -1;
  if (strlen(path) + snapshotTempNameExtra >= MAX_PATH) return *error = ENAMETOOLONG, -1;
  strcpy(p->target, path);
  removeStaleTemps(path);
  static uint64_t serial;
  int fd = -1;
  for (int attempt = 0; attempt < 100 && fd < 0; attempt++) {
    snapshotTempName(p->temp, p->target, (uint64_t(GetCurrentProcessId()) << 40) ^ GetTickCount64() ^ (++serial << 52));
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

int64_t pdReadAhead(int64_t fd, void* buffer, uint64_t length, uint64_t skip, int* error) {
  *error = 0;
  int64_t position = _telli64((int)fd);
  if (position < 0 || _lseeki64((int)fd, position + int64_t(skip), SEEK_SET) < 0) return *error = errno, -1;
  uint64_t done = 0;
  while (done < length) {
    uint64_t rest = length - done;
    int n = _read((int)fd, static_cast<char*>(buffer) + done, rest > 0x40000000 ? 0x40000000 : (unsigned)rest);
    if (n < 0) *error = errno;
    if (n <= 0) break;
    done += uint64_t(n);
  }
  if (_lseeki64((int)fd, position, SEEK_SET) < 0 && *error == 0) *error = errno;
  return *error != 0 ? -1 : int64_t(done);
}

// Read in order on the calling thread, a piece at a time.
int64_t pdReadInPieces(int64_t fd, void* buffer, uint64_t length, uint64_t pieceBytes,
                       void (*each)(uint64_t from, uint64_t to), int* error) {
  *error = 0;
  if (pieceBytes == 0 || pieceBytes > 0x40000000) return *error = EINVAL, -1;
  int64_t position = _telli64((int)fd);
  if (position < 0) return *error = errno, -1;
  uint64_t start = reinterpret_cast<uint64_t>(buffer), done = 0;
  while (done < length) {
    uint64_t piece = length - done < pieceBytes ? length - done : pieceBytes, got = 0;
    while (got < piece) {
      int n = _read((int)fd, reinterpret_cast<char*>(start + done + got), unsigned(piece - got));
      if (n < 0) *error = errno;
      if (n <= 0) break;
      got += uint64_t(n);
    }
    if (got != piece) break;
    each(start + done, start + done + piece);
    done += piece;
  }
  // A piece that fell short was not handed over: the position stays after those that were.
  if (_lseeki64((int)fd, position + int64_t(done), SEEK_SET) < 0 && *error == 0) *error = errno;
  return int64_t(done);
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

// A snapshot is flushed before its close; any failure removes the temporary file.
static int closeSnapshot(PendingImage* p) {
  int error = p->failed;
  if (error == 0 && _commit(p->fd) != 0) error = errno;
  if (_close(p->fd) != 0 && error == 0) error = errno;
  if (error != 0) {
    freePending(p, true);
  } else {
    p->fd = -1;
    p->closed = 1;
  }
  return error;
}

int pdCloseImage(int64_t fd) {
  PendingImage* p = pendingFor((int)fd);
  if (p != nullptr) return closeSnapshot(p);
  return _close((int)fd) == 0 ? 0 : errno;
}

void pdDiscardSnapshot(int64_t fd) {
  PendingImage* p = pendingFor((int)fd);
  if (p != nullptr && p->failed == 0) p->failed = EIO;
}

// A closed snapshot of exactly the expected size moves over its target, the move written
// through; anything else removes the temporary file.
int pdBlessSnapshot(const char* path, uint64_t expectedSize) {
  readyPendingImages();
  PendingImage* p = nullptr;
  for (PendingImage& q : pendingImages)
    if (q.closed && strcmp(q.target, path) == 0) p = &q;
  if (p == nullptr) return 0;
  struct _stat64 st;
  wchar_t temp[MAX_PATH], target[MAX_PATH];
  if (_stat64(p->temp, &st) != 0 || uint64_t(st.st_size) != expectedSize ||
      !(widePath(p->temp, temp) && widePath(p->target, target)) ||
      !MoveFileExW(temp, target, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    freePending(p, true);
    return 0;
  }
  freePending(p, false);
  return 1;
}
