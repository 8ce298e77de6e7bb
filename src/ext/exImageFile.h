// Image files: what both platform layers' image-file functions share apart from their system
// calls: reading a body in pieces in order, and the records of the snapshots being written.
// Prefix: readPiecesInOrder; PendingTable (readyPending, pendingWithHandle, closedPendingNamed,
// takePendingRecord).
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstring>

// Reads length bytes into start a piece of at most pieceBytes at a time through
// readPiece(context, buffer, bytes, done), which reads the piece that lies done bytes after
// start and answers the bytes it read (fewer only when the file ended or a read failed), and
// hands each whole piece to each(from, to) in order on the calling thread. Answers the bytes
// handed over.
uint64_t readPiecesInOrder(uint8_t* start, uint64_t length, uint64_t pieceBytes,
                           uint64_t (*readPiece)(void* context, uint8_t* buffer, uint64_t bytes, uint64_t done),
                           void* context, void (*each)(uint64_t from, uint64_t to));

// The snapshots being written, a record each, kept after a good close until the blessing. A
// platform's record has at least handle (-1 while it has none), closed (closed well, waiting
// for the blessing) and name (the path the snapshot was opened with); the platform gives
// records up (closing and removing what they hold) through its release.
template <typename Record, size_t count>
struct PendingTable {
  Record records[count];
  bool ready;  // every record was made free once
};

template <typename Record, size_t count>
void readyPending(PendingTable<Record, count>* t) {
  if (t->ready) return;
  for (Record& r : t->records) r.handle = -1, r.closed = 0;
  t->ready = true;
}

// The open or closed record of handle, or null.
template <typename Record, size_t count>
Record* pendingWithHandle(PendingTable<Record, count>* t, int64_t handle) {
  readyPending(t);
  for (Record& r : t->records)
    if (handle != -1 && r.handle == handle) return &r;
  return nullptr;
}

// The closed record of the snapshot opened under name, or null.
template <typename Record, size_t count>
Record* closedPendingNamed(PendingTable<Record, count>* t, const char* name) {
  readyPending(t);
  Record* found = nullptr;
  for (Record& r : t->records)
    if (r.closed && strcmp(r.name, name) == 0) found = &r;
  return found;
}

// A record for a new snapshot under name: a closed one of that name never blessed is given
// up first; then a free record is taken, else a closed one given up; null when all are open.
template <typename Record, size_t count>
Record* takePendingRecord(PendingTable<Record, count>* t, const char* name, void (*release)(Record*, bool removeTemp)) {
  readyPending(t);
  for (Record& q : t->records)
    if (q.closed && strcmp(q.name, name) == 0) release(&q, true);
  Record* p = nullptr;
  for (Record& q : t->records)
    if (q.handle == -1 && !q.closed) p = &q;
  for (Record& q : t->records)
    if (p == nullptr && q.closed) release(p = &q, true);
  return p;
}
