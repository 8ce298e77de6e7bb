// Windows layer: the image-file functions used by start-up, the image reader and snapshots,
// over Win32 handles (an image carried as a resource of the program reads from memory, handle
// -2), and the file-size and volume helpers. Owns the pending snapshots and the image resource.
// Prefix: pd (pdOpenImage, pdRead, pdWrite, ...); findImageResource, imageFileSize, volumeIsMissing.
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "ext/exError.h"
#include "ext/exImageFile.h"
#include "ext/exSnapshotName.h"
#include "ext/platform.h"
#include "platpc/ntImage.h"
#include "platpc/ntMain.h"

static HANDLE handleOf(int64_t fd) { return HANDLE(intptr_t(fd)); }
static int64_t fdOf(HANDLE h) { return int64_t(intptr_t(h)); }

// ---- The image resource ---------------------------------------------------------------------

// An image inside the program: resource name 332, type 332. Read from memory while open.
static HRSRC imageResource;
static struct {
  const uint8_t* bytes;
  uint64_t size, position;
} resourceImage;
static int imageOpen;  // an image opened by pdOpenImage (or the resource) is open
static int64_t openImageHandle = -1;

HRSRC findImageResource() {
  imageResource = FindResourceW(nullptr, MAKEINTRESOURCEW(332), MAKEINTRESOURCEW(332));
  return imageResource;
}

int pdLoadImageResource(const void** address, uint64_t* size) {
  if (imageResource == nullptr) return 0;
  *size = SizeofResource(nullptr, imageResource);
  HGLOBAL loaded = LoadResource(nullptr, imageResource);
  const void* bytes = loaded != nullptr ? LockResource(loaded) : nullptr;
  if (bytes == nullptr) {
    REPORT_ERROR(loaded == nullptr ? "failed to load virtual image resource" : "failed to lock virtual image resource", errCausePlatform | errCauseUser | errNote);
    imageResource = nullptr;
    return -1;
  }
  *address = bytes;
  return 1;
}

int pdCloseImageResource() {
  imageOpen = 0;
  resourceImage = {};
  return 0;
}

static int64_t readResource(void* buffer, uint64_t length, uint64_t at) {
  if (at >= resourceImage.size) return 0;
  uint64_t n = resourceImage.size - at < length ? resourceImage.size - at : length;
  memcpy(buffer, resourceImage.bytes + at, n);
  return int64_t(n);
}

// ---- Reading -------------------------------------------------------------------------------

// One ReadFile; a system short of resources for a large request is asked for halves.
static int64_t readHalving(HANDLE h, char* buffer, uint64_t length, int* error) {
  *error = 0;
  DWORD n = 0;
  DWORD chunk = length > 0x40000000 ? 0x40000000 : DWORD(length);
  if (ReadFile(h, buffer, chunk, &n, nullptr)) return n;
  *error = int(GetLastError());
  if (*error != ERROR_NO_SYSTEM_RESOURCES) return n;
  if (length < 2) return 0;
  uint64_t half = length / 2;
  int64_t first = readHalving(h, buffer, half, error);
  if (first < int64_t(half)) return first;
  return first + readHalving(h, buffer + half, length - half, error);
}

int64_t pdRead(int64_t fd, void* buffer, uint64_t length, int* error) {
  *error = 0;
  if (fd == resourceImageHandle) {
    int64_t n = readResource(buffer, length, resourceImage.position);
    resourceImage.position += uint64_t(n);
    return n;
  }
  return readHalving(handleOf(fd), static_cast<char*>(buffer), length, error);
}

static int64_t filePosition(HANDLE h) {
  LARGE_INTEGER zero = {}, at;
  return SetFilePointerEx(h, zero, &at, FILE_CURRENT) ? at.QuadPart : -1;
}

void setImageFilePointer(int64_t fd, int64_t offset) {
  LARGE_INTEGER to;
  to.QuadPart = offset;
  SetFilePointerEx(handleOf(fd), to, nullptr, FILE_BEGIN);
}

// Full reads from the position on, until length or the end of the file.
static int64_t readWhole(HANDLE h, char* buffer, uint64_t length, int* error) {
  uint64_t done = 0;
  while (done < length) {
    int64_t n = readHalving(h, buffer + done, length - done, error);
    if (n <= 0 || *error != 0) break;
    done += uint64_t(n);
  }
  return int64_t(done);
}

int64_t pdReadAhead(int64_t fd, void* buffer, uint64_t length, uint64_t skip, int* error) {
  *error = 0;
  if (fd == resourceImageHandle) return readResource(buffer, length, resourceImage.position + skip);
  HANDLE h = handleOf(fd);
  int64_t position = filePosition(h);
  if (position < 0) return *error = int(GetLastError()), -1;
  setImageFilePointer(fd, position + int64_t(skip));
  int64_t done = readWhole(h, static_cast<char*>(buffer), length, error);
  setImageFilePointer(fd, position);
  return *error != 0 ? -1 : done;
}

// One piece of a read in pieces: from the image resource at the read's start plus done, or
// from the file's position.
struct PieceRead {
  HANDLE file;  // null for the resource
  uint64_t position;
  int* error;
};
static uint64_t readPiece(void* context, uint8_t* buffer, uint64_t bytes, uint64_t done) {
  PieceRead* r = static_cast<PieceRead*>(context);
  int64_t got = r->file == nullptr ? readResource(buffer, bytes, r->position + done)
                                   : readWhole(r->file, reinterpret_cast<char*>(buffer), bytes, r->error);
  return got < 0 ? 0 : uint64_t(got);
}

// Read in order on the calling thread, a piece at a time. A piece that fell short is not
// handed over: the position stays after those that were.
int64_t pdReadInPieces(int64_t fd, void* buffer, uint64_t length, uint64_t pieceBytes,
                       void (*each)(uint64_t from, uint64_t to), int* error) {
  *error = 0;
  if (pieceBytes == 0) return *error = ERROR_INVALID_PARAMETER, -1;
  bool resource = fd == resourceImageHandle;
  int64_t position = resource ? int64_t(resourceImage.position) : filePosition(handleOf(fd));
  if (position < 0) return *error = int(GetLastError()), -1;
  PieceRead r = {resource ? nullptr : handleOf(fd), uint64_t(position), error};
  uint64_t done = readPiecesInOrder(static_cast<uint8_t*>(buffer), length, pieceBytes, readPiece, &r, each);
  if (resource) resourceImage.position = uint64_t(position) + done;
  else setImageFilePointer(fd, position + int64_t(done));
  return int64_t(done);
}

// Reads here run on the calling thread alone: nothing is faulted in ahead.
void pdFillAhead(void*, uint64_t, void*, uint64_t) {}
void pdEndFillAhead() {}

// ---- Snapshots -----------------------------------------------------------------------------

// An image being written goes to a new file beside its target, "<target>.saving-XXXXXX",
// and replaces the target only once it is whole, closed, flushed and blessed at its expected
// size, so a failed or killed write leaves the old image as it was. The next save to the
// target removes such a file that no writer holds open any longer: what a killed save left.
// One record per open snapshot, kept after a good close until the blessing; failed is set by
// any write that fell short.
struct PendingImage {
  int64_t handle;         // -1 once closed
  int closed;             // closed well, waiting for pdBlessSnapshot
  int failed;             // error of the first failed write, 0 while all writes succeeded
  char temp[MAX_PATH];    // the file being written (ANSI code page, as the image named it)
  char name[MAX_PATH];    // the file it replaces when blessed, as the snapshot was opened
};
static PendingTable<PendingImage, 8> pending;

static void removeFile(const char* path) {
  wchar_t wide[MAX_PATH];
  if (ansiToWide(path, wide, MAX_PATH)) DeleteFileW(wide);
}

static void freePending(PendingImage* p, bool removeTemp) {
  if (removeTemp) removeFile(p->temp);
  p->handle = -1;
  p->closed = 0;
}

static PendingImage* pendingFor(int64_t handle) { return pendingWithHandle(&pending, handle); }

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
  char pattern[MAX_PATH + 16], name[MAX_PATH], path[MAX_PATH];
  wchar_t widePattern[MAX_PATH + 16];
  snprintf(pattern, sizeof pattern, "%s%s*", target, snapshotTempMarker);
  if (!ansiToWide(pattern, widePattern, MAX_PATH + 16)) return;
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW(widePattern, &found);
  if (search == INVALID_HANDLE_VALUE) return;
  do {
    if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ||
        WideCharToMultiByte(CP_ACP, 0, found.cFileName, -1, name, sizeof name, nullptr, nullptr) == 0 ||
        !isSnapshotTempOf(name, target + dir) ||
        snprintf(path, sizeof path, "%.*s%s", int(dir), target, name) >= int(sizeof path))
      continue;
    removeFile(path);
  } while (FindNextFileW(search, &found));
  FindClose(search);
}

// A snapshot (577) writes a new file beside its target; a directory as the target is refused.
static int64_t openSnapshot(const char* path, int* error) {
  wchar_t wide[MAX_PATH];
  if (path[0] == 0) return *error = ERROR_PATH_NOT_FOUND, -1;  // no file has the empty name
  PendingImage* p = takePendingRecord(&pending, path, freePending);
  if (p == nullptr) return *error = ERROR_TOO_MANY_OPEN_FILES, -1;
  if (strlen(path) + snapshotTempNameExtra >= MAX_PATH || !ansiToWide(path, wide, MAX_PATH))
    return *error = ERROR_FILENAME_EXCED_RANGE, -1;
  DWORD attributes = GetFileAttributesW(wide);
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY))
    return *error = ERROR_ACCESS_DENIED, -1;
  strcpy(p->name, path);
  removeStaleTemps(path);
  static uint64_t serial;
  HANDLE h = INVALID_HANDLE_VALUE;
  for (int attempt = 0; attempt < 100 && h == INVALID_HANDLE_VALUE; attempt++) {
    snapshotTempName(p->temp, p->name, (uint64_t(GetCurrentProcessId()) << 40) ^ GetTickCount64() ^ (++serial << 52));
    if (!ansiToWide(p->temp, wide, MAX_PATH)) return *error = ERROR_FILENAME_EXCED_RANGE, -1;
    h = CreateFileW(wide, GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (h == INVALID_HANDLE_VALUE && GetLastError() != ERROR_FILE_EXISTS) break;
  }
  if (h == INVALID_HANDLE_VALUE) return *error = int(GetLastError()), -1;
  p->handle = fdOf(h);
  p->failed = 0;
  return p->handle;
}

// An image opened for reading closes the one still open first; with an image resource the
// resource is the image, read from memory.
int64_t pdOpenImage(const char* path, int oflag, int* error) {
  *error = 0;
  if (oflag == pdOpenSnapshot) return openSnapshot(path, error);
  if (imageOpen && openImageHandle != -1) pdCloseImage(openImageHandle);
  imageOpen = 0;
  const void* bytes;
  uint64_t size;
  int loaded = pdLoadImageResource(&bytes, &size);
  if (loaded != 0) {
    if (loaded < 0) return *error = ERROR_RESOURCE_DATA_NOT_FOUND, -1;
    resourceImage = {static_cast<const uint8_t*>(bytes), size, 0};
    imageOpen = 1;
    return openImageHandle = resourceImageHandle;
  }
  wchar_t wide[MAX_PATH];
  if (!ansiToWide(path, wide, MAX_PATH)) return *error = ERROR_FILENAME_EXCED_RANGE, -1;
  HANDLE h = CreateFileW(wide, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  if (h == INVALID_HANDLE_VALUE) return *error = int(GetLastError()), -1;
  imageOpen = 1;
  return openImageHandle = fdOf(h);
}

// One WriteFile, flushed; halved as reads are when the system is short of resources. A
// snapshot that lost any write will not replace its target.
static int64_t writeHalving(HANDLE h, const char* buffer, uint64_t length, int* error) {
  *error = 0;
  DWORD n = 0;
  DWORD chunk = length > 0x40000000 ? 0x40000000 : DWORD(length);
  if (WriteFile(h, buffer, chunk, &n, nullptr)) return n;
  *error = int(GetLastError());
  if (*error != ERROR_NO_SYSTEM_RESOURCES) return n;
  if (length < 2) return 0;
  uint64_t half = length / 2;
  int64_t first = writeHalving(h, buffer, half, error);
  if (first < int64_t(half)) return first;
  return first + writeHalving(h, buffer + half, length - half, error);
}

int64_t pdWrite(int64_t fd, const void* buffer, uint64_t length, int* error) {
  HANDLE h = handleOf(fd);
  uint64_t done = 0;
  *error = 0;
  while (done < length && *error == 0) {
    int64_t n = writeHalving(h, static_cast<const char*>(buffer) + done, length - done, error);
    if (n <= 0) break;
    done += uint64_t(n);
  }
  if (*error == 0 && !FlushFileBuffers(h)) *error = int(GetLastError());
  PendingImage* p = pendingFor(fd);
  if (p != nullptr && p->failed == 0 && (*error != 0 || done != length))
    p->failed = *error != 0 ? *error : ERROR_DISK_FULL;
  return *error != 0 && done == 0 ? -1 : int64_t(done);
}

// A snapshot's close keeps it for the blessing; any failure removes the temporary file.
static int closeSnapshot(PendingImage* p) {
  int error = p->failed;
  if (!CloseHandle(handleOf(p->handle)) && error == 0) error = int(GetLastError());
  if (error != 0) {
    freePending(p, true);
  } else {
    p->handle = -1;
    p->closed = 1;
  }
  return error;
}

int pdCloseImage(int64_t fd) {
  if (fd == resourceImageHandle) return pdCloseImageResource();
  PendingImage* p = pendingFor(fd);
  if (p != nullptr) return closeSnapshot(p);
  if (fd == openImageHandle) imageOpen = 0, openImageHandle = -1;
  return CloseHandle(handleOf(fd)) ? 0 : int(GetLastError());
}

void pdDiscardSnapshot(int64_t fd) {
  PendingImage* p = pendingFor(fd);
  if (p != nullptr && p->failed == 0) p->failed = ERROR_WRITE_FAULT;
}

int imageFileSize(const wchar_t* path, uint64_t* size, DWORD* error) {
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW(path, &found);
  *size = 0;
  if (search == INVALID_HANDLE_VALUE) {
    if (GetFileAttributesW(path) == INVALID_FILE_ATTRIBUTES) *error = GetLastError();
    return 0;
  }
  FindClose(search);
  *size = (uint64_t(found.nFileSizeHigh) << 32) | found.nFileSizeLow;
  return 1;
}

// A closed snapshot of exactly the expected size moves over its target, the move written
// through; anything else removes the temporary file.
int pdBlessSnapshot(const char* path, uint64_t expectedSize) {
  PendingImage* p = closedPendingNamed(&pending, path);
  if (p == nullptr) return 0;
  wchar_t temp[MAX_PATH], target[MAX_PATH];
  uint64_t size = 0;
  DWORD error = 0;
  if (!(ansiToWide(p->temp, temp, MAX_PATH) && ansiToWide(p->name, target, MAX_PATH)) ||
      !imageFileSize(temp, &size, &error) || size != expectedSize ||
      !MoveFileExW(temp, target, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    freePending(p, true);
    return 0;
  }
  freePending(p, false);
  return 1;
}

int volumeIsMissing(const wchar_t* path) {
  wchar_t letter = path[0] | 0x20;
  if (letter < L'a' || letter > L'z' || path[1] != L':') return 0;
  return (GetLogicalDrives() & (1u << (letter - L'a'))) == 0 ? 1 : 0;
}
