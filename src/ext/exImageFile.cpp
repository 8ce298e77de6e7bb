// Image files: the parts of the platform layers' image-file functions that make no system call.
// Prefix: readPiecesInOrder.
#include "ext/exImageFile.h"

uint64_t readPiecesInOrder(uint8_t* start, uint64_t length, uint64_t pieceBytes,
                           uint64_t (*readPiece)(void* context, uint8_t* buffer, uint64_t bytes, uint64_t done),
                           void* context, void (*each)(uint64_t from, uint64_t to)) {
  uint64_t done = 0;
  while (done < length) {
    uint64_t piece = length - done < pieceBytes ? length - done : pieceBytes;
    if (readPiece(context, start + done, piece, done) != piece) break;
    each(uint64_t(start + done), uint64_t(start + done + piece));
    done += piece;
  }
  return done;
}
