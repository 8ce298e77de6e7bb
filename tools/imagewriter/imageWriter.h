// Test tooling: the image writer. Builds an empty heap in this process with the engine's
// own space set-up, lets the caller fill it with the engine's own allocation, and writes it
// as an image file exactly as a snapshot lays it out. Prefix: iw.
//
// Use:
//   IwHeapSizes sizes;                  // adjust the areas, old and fixed segment counts
//   iwNewHeap(sizes);                   // spaces, registry, class-table page 0, error table, RT
//   ... allocate with allocInOldSpace, allocInPermSpace, allocInPastSpace, allocInLargeSpace,
//       allocInFixedSpace (then iwMoveHeader), enterIntoClassTable, storeSlot ...
//   iwUseOldSegment(1);                 // later old allocations bump in segment 1
//   IwWriteOptions options;             // kind byte, gzip body, other byte order
//   iwWriteImage("some.im", options, &bytes);
//   iwFreeHeap();
//
// The heap is the engine's global memory: one heap at a time. Before writing, eden is
// flushed (its objects move to past or old space), large space is compacted, fixed tables
// are packed and the old free lists are threaded into a chunk, as a snapshot does. The
// memory-policy fractions written are those of imageLayout (iwNewHeap sets the size
// fractions to 10000, the defaults).
#pragma once
#include <cstdint>

#include "mman/mmImageHeader.h"
#include "mman/mmObject.h"

struct IwHeapSizes {
  uint64_t edenWords = 16384;     // eden
  uint64_t warningWords = 512;    // eden's scavenge-warning gap
  uint64_t survivorWords = 8192;  // each survivor space
  uint64_t permWords = 8192;      // perm space area (0: no perm space)
  uint64_t largeWords = 16384;    // large space area
  uint64_t fixedWords = 4096;     // area of each fixed segment
  uint32_t fixedSegments = 1;     // fixed segments (at least 1)
  uint64_t oldSlots = 65536;      // slots of each old segment
  uint32_t oldSegments = 1;       // old segments (at least 1)
  uint64_t rtSlots = 1000;        // remembered table capacity
};

struct IwWriteOptions {
  uint8_t kind = 0;            // header byte 42: 0 normal, 1 promote, 2 demote
  bool gzip = false;           // format 1: the body as one gzip member
  bool otherByteOrder = false; // as a machine of the other byte order would have written it
};
// In the other byte order every word is reversed (header swap fields, flags bit 0 clear)
// except the bytes of byte objects, which such a machine holds as they are, but for 4-byte
// floats (class 28) and two-byte strings and symbols (23, 24), held in units of their own
// size; 8-byte floats (25) are words. The old remembered table's segments, byte objects that
// hold machine words, are words too.

// The roots iwNewHeap makes (all in old space): nil, true, false, the empty-slot marker, the
// registry, the class-table page Array and page 0 (class index 42), the primitive error
// table (37 SmallIntegers) and the remembered table. Classes: a stand-in at index 43 (a
// pointer class that is its own class), which the four constants carry, and classes of
// that stand-in at the engine's reserved indices (Character 1, SmallInteger 3, SmallDouble
// 5, Array 15, ByteString 17, LargePositive/NegativeInteger 18/19, ByteArray 22,
// TwoByteString 23, TwoByteSymbol 24, Double 25, Float 28, ClassTablePage 42), also in the
// registry slots of those numbers; the caller may replace any of them. A loader treats an
// entry of class 0 as free. Eden is not written (a snapshot empties it): new objects that
// should be in the image go to past space (allocInPastSpace). Answers 1, or 0 without memory.
int iwNewHeap(const IwHeapSizes& sizes);
void iwFreeHeap();
// Bytes of the one block that holds new, perm, large and the first fixed space, and their
// placement in it as start-up places them (survivor spaces with a word of gap, eden, 80
// bytes, perm, large, the fixed record and fixed space). The test fixtures share it.
uint64_t iwSpacesBytes(const IwHeapSizes& sizes);
void iwLayOutSpaces(uint64_t base, const IwHeapSizes& sizes);
// Makes the index-th old segment (in address order) the one allocation bumps in; likewise
// the index-th fixed segment the one fixed allocation searches first.
void iwUseOldSegment(uint32_t index);
void iwUseFixedSegment(uint32_t index);
// Large and fixed allocation put the header in eden, which is not written: this moves the
// header h to past space (toOld 0) or old space (toOld 1), re-registers its body's owner
// and leaves a filler behind, as a snapshot's flush of eden would. Answers the new header,
// or 0 without room. References to h must be stored after the move.
ObjectHeader* iwMoveHeader(ObjectHeader* h, int toOld);
// Writes the image; answers 0, the platform error number, -1 (the free lists could not be
// threaded, or a write failed without an error number) or -2 (compression failed).
// *bytes receives the file's size.
int iwWriteImage(const char* path, const IwWriteOptions& options, uint64_t* bytes);
// The header the last iwWriteImage wrote, in this machine's order and before compression.
extern ImageHeader iwLastHeader;
