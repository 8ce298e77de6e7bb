// Object memory: snapshot writing: the header a snapshot writes and the body's writers in
// file order. Owns no global record. Prefix: none (composeSnapshotHeader, writeSnapshotFile,
// writeImageBytes).
#pragma once
#include <cstdint>

#include "mman/mmImageHeader.h"

// Writes bytes from start through pdWrite, adding what was written to *total. Answers 0, or
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
// *total receives the bytes written. A header write that comes up short without an error
// number goes on, but its bytes are not counted.
int writeSnapshotFile(int64_t fd, const ImageHeader* header, uint64_t* total);
