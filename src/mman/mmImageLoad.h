// Object memory: loading the image body: byte-order repair, relocation of every space by
// the distance it moved, and the checks that keep a damaged image from being read astray.
// Owns imageDeltas, oldSpaceMap and permSpaceMoved. Prefix: none (relocateImageObjects, ...).
#pragma once
#include <cstdint>

#include "mman/mmObject.h"

// New address minus saved address of each space, in bytes (multiples of 8 in a sound image).
struct ImageDeltas {
  int64_t pastSpace;   // past space (new-space references and bodies)
  int64_t largeData;   // large-space blocks
  int64_t largeTable;  // large-space block table
  int64_t fixedData;   // fixed-space blocks (before free blocks are dropped)
  int64_t fixedTable;  // the first saved fixed segment's table
  int64_t oldData;     // old bodies, less the cumulative data gap of their segment
  int64_t oldOT;       // old entries (first live entry), less the cumulative OT gap
  int64_t permData;    // perm bodies
  int64_t permOT;      // perm entries (first live entry)
};
extern ImageDeltas imageDeltas;

// The segment map of an image saved from several old segments: 4 words per segment, read as
// {data start, data bytes, OT start, OT bytes} and converted in place to {data end,
// cumulative data gap, OT end, cumulative OT gap}, so that a saved address lies that much
// lower once the segments are laid back to back. Empty (start == end) for one segment.
struct OldSpaceMap {
  uint64_t* start;  // first word
  uint64_t* end;    // word after the last
};
extern OldSpaceMap oldSpaceMap;
enum : uint64_t { segmentMapWords = 4 };

// The large page the loader lays big fresh areas out for (x86-64's 2 MiB): an area that
// reaches its page's end can be backed by one page instead of 512 faulted one at a time.
enum : uint64_t { largePageBytes = uint64_t(2) << 20 };

extern uint32_t permSpaceMoved;  // perm space was moved or absorbed while loading (prim 407)

// Where start-up placed the spaces the image is read into (byte addresses; sizes in bytes).
struct LoadedSpaces {
  uint64_t largeArea, largeAreaBytes;  // large-space area (blocks up, table down)
  uint64_t fixedArea, fixedAreaBytes;  // fixed-space area, after its 72-byte record
};
extern LoadedSpaces loadedSpaces;

// Reports a body or table that does not fit what the image says ("Bad oop contained in
// image", fatal). Every pointer the loader follows is checked against the loaded areas first.
[[noreturn]] void reportBadImage(const char* file, int line);
#define BAD_IMAGE() reportBadImage(__FILE__, __LINE__)

void computeImageDeltas();
void convertSegmentMap();
// 1 when the object tables and new space must be walked: a delta that moves references or
// bodies is non-zero, or the image has several old segments.
int imageNeedsObjectWalk();
// Relocates one stored reference in place (remembered tables, oop stacks).
void updateOopFunc(oop* slot);
// Relocates the body pointer of one perm header in place.
void updatePermDataPtrFunc(ObjectHeader* h);
// Old space is relocated as it is read, before the other spaces: begin once its segment map
// is in (put in host byte order here and converted); then each piece of its table in
// ascending order, whole entries, as it arrives; then begin the data and load each piece of
// it as it arrives, in any order and on any thread, several at once; then finish the data
// once the part below end is in (a slot that named no object is reported here); then end.
// Every piece is put in host byte order and relocated; the pieces of each kind cover it whole.
void beginOldSpaceLoad();
void loadOldTablePiece(uint64_t from, uint64_t to);
void beginOldDataLoad();
void loadOldSpacePiece(uint64_t from, uint64_t to);
void finishOldDataLoad(uint64_t end);
void endOldSpaceLoad();
// The fresh memory the table pass writes its maps of old data into, once begun.
void oldLoadMapsArea(uint64_t* start, uint64_t* bytes);
// The other spaces, old space's having been loaded.
void relocateImageObjects();

// Perm, new, large and fixed space have been read; old space, read next, is relocated and
// checked as it arrives. Each of the four is put in host byte order now (an image of the
// other order has every 64-bit word reversed; old space's are reversed as they arrive), and
// what references may name in perm and past space is noted. Byte objects get their bytes
// back by class after relocation.
void prepareLoadedReferents();
void repairImageByteObjects();

// 1 when h is an entry of the loaded perm or old object table, or lies in past space.
int isLoadedHeader(uint64_t h);
// 1 when o is a loaded header whose body, size word included, lies wholly in a loaded area
// (or that has no body and a size field of 0): what may be read through it.
int isSoundLoadedObject(oop o);

// Byte-order repair of a byte object's body after the whole-word reversal: swap the two
// 32-bit halves of each word; swap the two 16-bit halves of each 32-bit unit; reverse the
// eight bytes of each word; reverse the four bytes of each 32-bit unit.
void objSwapTwoQ32s(uint64_t* body, uint64_t bytes);
void objReverseTwoQ16s(uint64_t* body, uint64_t bytes);
void objReverseEightQ8s(uint64_t* body, uint64_t bytes);
void objReverseFourQ8s(uint64_t* body, uint64_t bytes);

// Before the registry is used: the registry, the class-table pages, the classes start-up
// instantiates (where the registry names them) and the remembered table are loaded objects
// of the right kind ("Bad oop contained in image" when not).
void checkLoadedRoots();
// Registers in the old remembered table every perm object that refers to old space and is
// not yet listed.
void rememberPermToOldReferences();
// After the old remembered table is attached: the bodies start-up writes into (registry,
// class-table pages, remembered tables, finalization queue) share no memory.
void checkRootBodiesApart();
// Every free chunk of the image (old lists and size tree, perm free list) lies inside old or
// perm data, apart from every live body and every other chunk; else the image is bad.
void checkFreeChunksApart();
