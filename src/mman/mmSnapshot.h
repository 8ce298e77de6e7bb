// Object memory: snapshot writing: the header a snapshot writes and the body's writers in
// file order, and saving a prepared heap to a file. Owns snapshotFileOps. Prefix: none
// (composeSnapshotHeader, writeSnapshotFile, writeImageBytes, saveSnapshotFile).
#pragma once
#include <cstdint>

#include "mman/mmImageHeader.h"

// The file operations a snapshot goes through: the platform's, or in tests ones that fail
// on purpose.
struct SnapshotFileOps {
  int64_t (*open)(const char* path, int oflag, int* error);
  int64_t (*write)(int64_t fd, const void* buffer, uint64_t length, int* error);
  int (*close)(int64_t fd);
  void (*discard)(int64_t fd);
  int (*bless)(const char* path, uint64_t expectedSize);
};
extern SnapshotFileOps snapshotFileOps;                // what saves use; tests put failing ones in place
extern const SnapshotFileOps platformSnapshotFileOps;  // the platform layer's image-file functions

// Writes bytes from start through snapshotFileOps.write, adding what was written to *total. Answers 0, or
// the platform error number of a short write (-1 when the platform gave none). The space
// writers (writePermSpace, writeLargeSpace, writeFixedSpace, writeOldSpace) all use it.
int writeImageBytes(int64_t fd, uint64_t start, uint64_t bytes, uint64_t* total);

// Fills header with every field a snapshot of the current memory writes, kind (0 normal,
// 1 promote, 2 demote) as the default load policy, and seals it with its checksum. Called
// after large and fixed space were compacted and the free lists threaded for the snapshot
// (prepareThreadedFreeListForSnapshot), with the same memory the writers will then write.
void composeSnapshotHeader(ImageHeader* header, uint32_t kind);

// Writes header and body in file order: the header, perm space, past space, large space,
// fixed space, old space. Stops at the first failure and answers its error number, else 0;
// *total receives the bytes written. Any short write stops it: -1 when the platform gave no
// error number.
int writeSnapshotFile(int64_t fd, const ImageHeader* header, uint64_t* total);

// Saves a heap made ready for it (new-space end markers written, large and fixed space
// compacted, the free lists threaded for the snapshot) to the file name: opens it, puts the
// remembered table and finalization queue in their saved form, writes header and body
// inside a critical section, closes it and has the platform bless it at the byte total.
// The target is replaced only when all of that succeeded; any failure leaves it as it was
// and no temporary file. Kinds 1 and 2 write perm space absorbed into old space and restore
// it afterwards. failure is 0 or 9 (the snapshot primitive's error index); error is the
// platform error number when one was given.
struct SnapshotOutcome {
  int failure;
  int error;
  uint64_t total;
};
enum { snapshotFailedIO = 9 };
SnapshotOutcome saveSnapshotFile(const char* name, uint32_t kind);

// The longest file name a snapshot takes, in platform bytes.
enum : uint32_t { snapshotNameBytes = 1023 };

// Primitives 303 (the herald, or the version banner when it is empty), 304 (sets the
// herald from a string of at most 100 bytes) and 405 (the snapshot: receiver the file name,
// argument the kind; answers true in the saved image when it resumes, nil here). The named object "heraldString" is one of
// start-up's.
void initSnapshotPrims();
