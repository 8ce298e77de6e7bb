// Object memory: kernel start-up: sizing the spaces, placing them in one block, reading the
// image into them, relocating it, the tables the collectors need, the load policy and the
// registration of primitives. Owns kernelSlots, kernelBlock and the decompression workspaces.
// Prefix: none (startKernel, loadKernel).
#include "mman/mmInit.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "ext/exError.h"
#include "ext/exInflate.h"
#include "ext/exInit.h"
#include "ext/exMemory.h"
#include "ext/exOption.h"
#include "ext/exPrimTable.h"
#include "ext/exRequest.h"
#include "ext/platform.h"
#include "mman/mmAllocate.h"
#include "mman/mmDebug.h"
#include "mman/mmEnumerate.h"
#include "mman/mmFinal.h"
#include "mman/mmGlobalGC.h"
#include "mman/mmFixedSpace.h"
#include "mman/mmHooks.h"
#include "mman/mmImageCheck.h"
#include "mman/mmImageHeader.h"
#include "mman/mmImageLoad.h"
#include "mman/mmIncGC.h"
#include "mman/mmLargeSpace.h"
#include "mman/mmNewSpace.h"
#include "mman/mmBecome.h"
#include "mman/mmOldSpace.h"
#include "mman/mmPermSpace.h"
#include "mman/mmPrimUtil.h"
#include "mman/mmRt.h"
#include "mman/mmScavenge.h"
#include "mman/mmSnapshot.h"
#include "mman/mmSysOop.h"
#include "mman/mmVerify.h"

uint64_t kernelSlots[kernelSlotCount];
uint64_t stackSpaceSlots;
KernelBlock kernelBlock;
uint64_t totalInitialAllocBytes;
int64_t temp1RegisteredOopX = -1, temp2RegisteredOopX = -1;

static const char initFile[] = "src/mman/mmInit";

[[noreturn]] static void fatal(const char* message, uint32_t code, int line) {
  doReportError(message, code | errFatal, initFile, line);
  vmExit(qrxErrorStatus);  // not reached: the report is Fatal
}

// ---- Sizing ---------------------------------------------------------------------------------

// A header field whose value no sound image holds: the report names it by its offset.
[[noreturn]] static void badHeaderField(int offset, const char* what, const char* detail, int line) {
  char message[300];
  snprintf(message, sizeof message, "Bad image header field at %d (%s): %s.", offset, what, detail);
  fatal(message, 2, line);
}

// A field's value beyond the largest a sound image holds.
static void boundHeaderField(int offset, const char* what, uint64_t value, uint64_t max, int line) {
  if (value <= max) return;
  char detail[120];
  snprintf(detail, sizeof detail, "%llu, more than %llu", (unsigned long long)value, (unsigned long long)max);
  badHeaderField(offset, what, detail, line);
}

// A fraction (at offset in the header) that gives a space more bytes than its option may.
// Below, each space keeps its own minimum.
static void boundFraction(SpaceOptionIndex option, int offset, uint32_t fraction, uint64_t bytes) {
  const SpaceOption& o = spaceOptions[option];
  if (bytes <= o.max) return;
  char what[64], detail[120];
  snprintf(what, sizeof what, "%s fraction", o.description);
  snprintf(detail, sizeof detail, "%u gives %llu bytes, more than %llu", fraction, (unsigned long long)bytes,
           (unsigned long long)o.max);
  badHeaderField(offset, what, detail, __LINE__);
}

// The space an option gives in bytes when it is given, else the image's fraction (x 10000)
// of the default, in single precision and truncated, as images written elsewhere expect.
static uint64_t sizeFromPolicy(SpaceOptionIndex option, uint32_t fraction, int offset, uint64_t defaultBytes) {
  if (*spaceOptions[option].global != 0) return *spaceOptions[option].global;
  uint64_t bytes = uint64_t(float(fraction) / 10000.0f * float(defaultBytes));
  boundFraction(option, offset, fraction, bytes);
  return bytes;
}
static uint64_t wordsOf(uint64_t bytes) { return (bytes + 7) / 8; }
// (1 - fraction / 10000) of words: the part a threshold leaves; none for a fraction of 10000
// or more (the header's u32 may hold any value).
static uint64_t remainderOf(uint32_t fraction, uint64_t words) {
  if (fraction >= 10000) return 0;
  return uint64_t((1.0f - float(fraction) / 10000.0f) * float(words));
}
static uint64_t atLeast(uint64_t words, uint64_t minimum) { return words > minimum ? words : minimum; }

// Saved sizes beyond this many bytes cannot be placed below 2 GiB; refusing them early keeps
// the arithmetic below from wrapping on a damaged header.
enum : uint64_t { savedBytesLimit = uint64_t(1) << 31 };

static uint64_t savedOldSegments() { return imageLayout.oldSegmentsMinusOne + 1; }
static uint64_t segmentMapBytes() {
  return savedOldSegments() > 1 ? segmentMapWords * 8 * savedOldSegments() : 0;
}

// Every saved size must fit the block and be whole words or entries, and the fractions of a
// whole (x 10000) no more than one; anything else is a bad header.
static void checkSavedSizes() {
  const ImageLayout& l = imageLayout;
  const struct { int offset; const char* what; uint64_t value, unit; } sizes[] = {
      {96, "past-space bytes", l.pastSpaceBytes, 8},          {112, "large-space data bytes", l.largeDataBytes, 8},
      {128, "large-space table bytes", l.largeTableBytes, 40}, {144, "old-space data bytes", l.oldDataBytes, 8},
      {160, "old-space table bytes", l.oldOTBytes, 16},        {168, "old segments", l.oldSegmentsMinusOne, 1},
      {272, "perm-space data bytes", l.permDataBytes, 8},      {288, "perm-space table bytes", l.permOTBytes, 16},
      {328, "fixed-space data bytes", l.fixedDataBytes, 8},    {344, "fixed-space table bytes", l.fixedTableBytes, 40}};
  for (const auto& s : sizes) {
    boundHeaderField(s.offset, s.what, s.value, savedBytesLimit - 1, __LINE__);
    if (s.value % s.unit != 0) {
      char detail[80];
      snprintf(detail, sizeof detail, "%llu, not a multiple of %llu", (unsigned long long)s.value, (unsigned long long)s.unit);
      badHeaderField(s.offset, s.what, detail, __LINE__);
    }
  }
  if (l.largeDataBytes != 0 && l.largeTableBytes == 0) badHeaderField(128, "large-space table bytes", "0 beside large data", __LINE__);
  const struct { int offset; const char* what; uint32_t value; } fractions[] = {
      {56, "eden scavenge-warning fraction", l.edenWarningFraction},
      {60, "tenure fraction", l.tenureFraction},
      {64, "large-space tenure fraction", l.largeTenureFraction}};
  for (const auto& f : fractions) boundHeaderField(f.offset, f.what, f.value, 10000, __LINE__);
}

// The spaces the saved data widens must stay within their options' ranges too: the report
// names the field of the saved bytes.
static void boundSavedSpace(SpaceOptionIndex option, uint64_t words, int offset, const char* what, uint64_t saved) {
  if (words * 8 > spaceOptions[option].max) boundHeaderField(offset, what, saved, spaceOptions[option].max, __LINE__);
}

// kernelSlots[0..8] and the old headroom, in words.
static uint64_t computeKernelSlots() {
  const ImageLayout& l = imageLayout;
  uint64_t* s = kernelSlots;
  s[slotsStack] = atLeast(wordsOf(sizeFromPolicy(spaceStack, l.stackSizeFraction, 252, 81920)), 3072);
  s[slotsCode] = atLeast(wordsOf(sizeFromPolicy(spaceCodeCache, l.codeCacheSizeFraction, 256, 983040)), 25000);
  if (s[slotsCode] > maxCodeCacheWords) s[slotsCode] = maxCodeCacheWords;
  s[slotsEden] = atLeast(wordsOf(sizeFromPolicy(spaceEden, l.edenSizeFraction, 240, 460800)), 5000);
  s[slotsSurvivor] = atLeast(atLeast(wordsOf(sizeFromPolicy(spaceSurvivor, l.survivorSizeFraction, 244, 92160)), 1250),
                             l.pastSpaceBytes / 8);
  boundSavedSpace(spaceSurvivor, s[slotsSurvivor], 96, "past-space bytes", l.pastSpaceBytes);
  s[slotsLarge] = atLeast(wordsOf(sizeFromPolicy(spaceLarge, l.largeSizeFraction, 248, 307200)),
                          (l.largeDataBytes + l.largeTableBytes) / 8 + 5000);
  boundSavedSpace(spaceLarge, s[slotsLarge], 112, "large-space data bytes", l.largeDataBytes);
  // An empty fixed space still needs room for its one table entry.
  s[slotsFixed] = atLeast(wordsOf(sizeFromPolicy(spaceFixed, l.fixedSizeFraction, 352, 307200)),
                          atLeast((l.fixedDataBytes + l.fixedTableBytes) / 8, btEntryWords));
  boundSavedSpace(spaceFixed, s[slotsFixed], 328, "fixed-space data bytes", l.fixedDataBytes);
  s[slotsFixedPart] = s[slotsLarge] + s[slotsEden] + 12 + s[slotsFixed] + 2 * s[slotsSurvivor] + s[slotsCode];
  s[slotsOld] = (segmentMapBytes() + 7) / 8 + (l.oldOTBytes + l.oldDataBytes + 7) / 8 + 11;
  s[slotsPerm] = l.permOTBytes + l.permDataBytes == 0 ? 0 : (l.permOTBytes + l.permDataBytes + 7) / 8 + 2;
  if (mOptionOldSpaceHeadroom != 0) return mOptionOldSpaceHeadroom / 8;
  uint64_t headroom = uint64_t(float(l.oldHeadroomFraction) / 10000.0f * float(defaultHeadroomWords));
  boundFraction(spaceOldHeadroom, 260, l.oldHeadroomFraction, headroom * 8);
  return headroom;
}

// ---- Placing --------------------------------------------------------------------------------

// Where each space of the block starts (bytes).
struct KernelPlaces {
  uint64_t code, pastSpace, futureSpace, eden, perm, large, fixedRecord, fixed, old;
};

// The block is asked for low in the address space: translated code reaches it with 32-bit
// displacements, so block and code zone must lie below 2 GiB.
static uint64_t takeKernelBlock(uint64_t bytes) {
  if (bytes > kernelBlockLimit - kernelBlockHint) fatal(nullptr, 0x604, __LINE__);  // cannot lie below 2 GiB
  int mapped = 0;
  uint64_t granted = 0;
  // A large block reaches a large page past its end, so that the page holding its end can
  // be large too (the address space alone; nothing there is touched).
  uint64_t tail = bytes >= largePageBytes ? uint64_t(largePageBytes) : 0;
  void* block = moreMemory(bytes + kernelBlockAlignment + tail, 1, kernelBlockHint, kernelBlockAlignment,
                           pdProtRead | pdProtWrite | pdProtExec, &mapped, &granted);
  if (block == nullptr) fatal(nullptr, 0x604, __LINE__);
  kernelBlock = {reinterpret_cast<uint64_t>(block), granted, uint32_t(mapped)};
  return (kernelBlock.base + kernelBlockAlignment - 1) & ~(kernelBlockAlignment - 1);
}

static KernelPlaces placeSpaces(uint64_t base) {
  const uint64_t* s = kernelSlots;
  bool promote = imageLayout.loadPolicy == loadPromote;
  KernelPlaces p{};
  p.code = base;
  uint64_t lower = base + s[slotsCode] * 8, upper = lower + s[slotsSurvivor] * 8 + 8;
  bool pastSecond = imageLayout.newSpaceBase != imageLayout.pastSpaceStart;
  p.pastSpace = pastSecond ? upper : lower;
  p.futureSpace = pastSecond ? lower : upper;
  p.eden = upper + s[slotsSurvivor] * 8 + 8;
  uint64_t a = p.eden + s[slotsEden] * 8 + edenGapBytes;
  if (promote) p.old = a, a += s[slotsOld] * 8;
  else p.perm = a, a += s[slotsPerm] * 8;
  p.large = a, a += s[slotsLarge] * 8;
  p.fixedRecord = a, p.fixed = a + sizeof(FixedSpaceSegment), a = p.fixed + s[slotsFixed] * 8;
  if (promote) p.perm = a;  // after every other space, so that a perm space read here overlaps none
  else p.old = a;
  const uint64_t starts[] = {p.pastSpace, p.futureSpace, p.eden, p.perm, p.large, p.fixed, p.old};
  for (uint64_t start : starts)
    if (start < base) fatal("Order of memory space is invalid", 0x204, __LINE__);
  return p;
}

// ---- Reading --------------------------------------------------------------------------------

// Reads bytes into address in pieces a compressed read can count; a short read is fatal
// with the space's own message.
static void readSpace(uint64_t address, uint64_t bytes, const char* message, uint32_t code, int line) {
  uint8_t* p = reinterpret_cast<uint8_t*>(address);
  while (bytes > 0) {
    uint64_t piece = bytes < readPieceBytes ? bytes : uint64_t(readPieceBytes);
    uint64_t n = readImageFile(p, piece);
    if (n == 0) fatal(message, code, line);
    p += n, bytes -= n;
  }
}

static void readPermSpace(const KernelPlaces& p) {
  const ImageLayout& l = imageLayout;
  uint64_t top = p.perm + kernelSlots[slotsPerm] * 8;
  permSpace = {};
  permSpaceSegs = {};
  permSpaceExists = kernelSlots[slotsPerm] != 0;
  permSpace.dataStart = p.perm;
  permSpace.dataTop = p.perm + l.permDataBytes;
  permSpace.otHigh = permSpaceExists ? top - objectHeaderBytes : p.perm - objectHeaderBytes;
  permSpace.otLow = permSpace.otHigh - l.permOTBytes;
  permSpace.segFlags = segCompacting;  // marks the perm record while it counts as old
  if (imageLayout.loadPolicy != loadPromote)  // the record's flags word, in the gap after eden
    *reinterpret_cast<uint32_t*>(p.perm - 8) = segCompacting;
  permSpaceSegs.freeHead = l.permThreadedDataHead;
  if (!permSpaceExists) return;
  readSpace(permSpace.dataStart, l.permDataBytes, "Can't initialize PermSpace", 0x201, __LINE__);
  readSpace(permSpace.otLow + otEntryBytes, l.permOTBytes, "Can't initialize PermSpace", 0x201, __LINE__);
}

static void readNewSpace(const KernelPlaces& p) {
  const ImageLayout& l = imageLayout;
  uint64_t edenWords = kernelSlots[slotsEden], survivorBytes = kernelSlots[slotsSurvivor] * 8;
  uint64_t threshold = l.edenWarningFraction == 0 ? 1024 : remainderOf(l.edenWarningFraction, edenWords);
  if (threshold >= edenWords) threshold = edenWords - 1;
  scavengeWarningThreshold = threshold;
  initNewSpaceBounds(p.eden, p.eden + edenWords * 8, threshold, p.pastSpace, p.pastSpace + survivorBytes,
                     p.futureSpace, p.futureSpace + survivorBytes);
  pastSpace.top = pastSpace.start + l.pastSpaceBytes;
  readSpace(pastSpace.start, l.pastSpaceBytes, "Can't initialize VM caches", 0x201, __LINE__);
}

// Large and fixed space: data at the area's start, the table ending at its top. The tables
// are relocated and made live later, with the other spaces.
static void readBlockSpaces(const KernelPlaces& p) {
  const ImageLayout& l = imageLayout;
  uint64_t largeWords = kernelSlots[slotsLarge];
  largeSpace = {};
  largeSpace.tenureThresholdWords =
      l.largeTenureFraction == 0 ? 5000 : remainderOf(l.largeTenureFraction, largeWords);
  loadedSpaces = {p.large, largeWords * 8, p.fixed, kernelSlots[slotsFixed] * 8};
  uint64_t largeTop = p.large + largeWords * 8, fixedTop = p.fixed + kernelSlots[slotsFixed] * 8;
  readSpace(p.large, l.largeDataBytes, "Can't initialize VM caches", 0x201, __LINE__);
  readSpace(largeTop - l.largeTableBytes, l.largeTableBytes, "Can't initialize VM caches", 0x201, __LINE__);
  readSpace(p.fixed, l.fixedDataBytes, "Can't initialize VM caches", 0x201, __LINE__);
  readSpace(fixedTop - l.fixedTableBytes, l.fixedTableBytes, "Can't initialize VM caches", 0x201, __LINE__);
}

// The segment map and the table come after the data in the file. Where the file can be read
// ahead they are read first, and the table and then the data are read in pieces small
// enough to stay in cache, each relocated as soon as it is in (the platform may share a
// large read among threads); otherwise everything is read, then relocated at once.
static void readOldSpace(const KernelPlaces& p) {
  const ImageLayout& l = imageLayout;
  const char* message = "Can't initialize OldSpace";
  OldSpaceSegment* segment = reinterpret_cast<OldSpaceSegment*>(p.old);
  initOldSpaceBounds(segment, l.oldDataBytes / 8, l.oldOTBytes / otEntryBytes, kernelSlots[slotsOld],
                     l.oldFreeEntryHead, l.oldFreeEntryCount, l.threadedDataHead, l.oldFreeDataChunks,
                     l.oldFreeSlots);
  computeImageDeltas();
  oldSpaceMap.start = reinterpret_cast<uint64_t*>(segment->dataTop);
  oldSpaceMap.end = oldSpaceMap.start + segmentMapBytes() / 8;
  uint64_t table = segment->otLow + otEntryBytes, tableEnd = table + l.oldOTBytes;
  int64_t mapRead = readImageFileAhead(oldSpaceMap.start, segmentMapBytes(), l.oldDataBytes);
  if (mapRead < 0) {
    readSpace(segment->dataStart, l.oldDataBytes, message, 0x201, __LINE__);
    readSpace(segment->dataTop, segmentMapBytes(), message, 0x201, __LINE__);
    readSpace(table, l.oldOTBytes, message, 0x201, __LINE__);
    beginOldSpaceLoad();
    loadOldTablePiece(table, tableEnd);
    beginOldDataLoad();
    loadOldSpacePiece(segment->dataStart, segment->dataTop);
    finishOldDataLoad(segment->dataTop);
    endOldSpaceLoad();
    return;
  }
  if (uint64_t(mapRead) != segmentMapBytes()) fatal(message, 0x201, __LINE__);
  beginOldSpaceLoad();
  uint64_t maps, mapsBytes;
  oldLoadMapsArea(&maps, &mapsBytes);
  fillImageMemoryAhead(segment->dataStart, tableEnd - segment->dataStart, maps, mapsBytes);
  uint64_t skip = l.oldDataBytes + segmentMapBytes();
  const uint64_t tablePiece = uint64_t(oldReadPieceBytes) / otEntryBytes * otEntryBytes;
  for (uint64_t a = table; a < tableEnd; a += tablePiece) {
    uint64_t piece = tableEnd - a < tablePiece ? tableEnd - a : tablePiece;
    if (readImageFileAhead(reinterpret_cast<void*>(a), piece, skip + (a - table)) != int64_t(piece))
      fatal(message, 0x201, __LINE__);
    loadOldTablePiece(a, a + piece);
  }
  beginOldDataLoad();
  uint64_t dataBytes = segment->dataTop - segment->dataStart;
  uint64_t read = readImageFileInPieces(segment->dataStart, dataBytes, oldReadPieceBytes, loadOldSpacePiece);
  finishOldDataLoad(segment->dataStart + read);
  if (read != dataBytes) fatal(message, 0x201, __LINE__);
  endOldSpaceLoad();
}

// The inflate allocator works in the C heap block; compressed input is read into the code
// zone, which holds no code until loading is over.
static void lendDecompressionWorkspaces(uint8_t* heapBlock, const KernelPlaces& p) {
  decompressionWorkspaces = {heapBlock, loadHeapBlockBytes, reinterpret_cast<uint8_t*>(p.code),
                             kernelSlots[slotsCode] * 8};
}

// ---- Tables, headroom and load policy --------------------------------------------------------

// Perm space kept its place while references into other spaces moved: perm objects that
// refer outside perm space (those listed in the tables) still hold saved references.
static int permStayedWhileOthersMoved() { return permSpaceExists && !permSpaceMoved && imageNeedsObjectWalk(); }

// The classes are checked once byte objects hold their bytes again: selectors are read.
static void setUpTables() {
  int swapped = imageLayout.swapped;
  relocateImageObjects();
  int initPerm = permStayedWhileOthersMoved();
  checkLoadedRoots();
  refreshSysOopRegistry();
  if (swapped) repairImageByteObjects();
  refreshClassTable();
  checkLoadedClasses();
  initOldRt(swapped, initPerm);
  checkRootBodiesApart();
  initSysOopRegistry();
  initRt(initPerm);
}

// Asks for the headroom, backing off a fiftieth at a time until the request stops changing.
static void addOldHeadroom(uint64_t headroom) {
  uint64_t request = osReserveSlots + atLeast(headroom, minHeadroomWords);
  uint64_t step = request / 50;
  while (!growOldSpace(int64_t(request))) {
    headroom = headroom > step ? headroom - step : 0;
    uint64_t next = (eden.end - eden.start) / 8 + atLeast(headroom, minHeadroomWords);
    if (next == request) fatal("Can't allocate OldSpace Headroom", 0x404, __LINE__);
    request = next;
  }
}

// The loaded segment (the first, placed in the block) becomes perm space; the headroom
// segment stays as the only old segment.
static void promoteLoadedOldSpace() {
  if (permSpaceExists) fatal("Unable to promote objects from OldSpace to PermSpace", 0x4400, __LINE__);
  writeBackOldSpace();
  OldSpaceSegment* loaded = reinterpret_cast<OldSpaceSegment*>(loadedOldSegment);
  for (uint64_t a = loaded->otLow + otEntryBytes; a <= loaded->otHigh; a += otEntryBytes) {
    ObjectHeader* h = reinterpret_cast<ObjectHeader*>(a);
    if (classTagOf(h) == 0) {
      h->flags = classIndexByteArray;
      h->dataPtr = 0;
    }
    setFlag(h, isMarkedBit | isPermBit);
  }
  permSpace.dataStart = loaded->dataStart, permSpace.dataTop = loaded->dataTop;
  permSpace.otLow = loaded->otLow, permSpace.otHigh = loaded->otHigh;
  permSpaceSegs = {};
  flattenThreadedDataForPermLoad();
  loaded->segFlags |= segCompacting;
  if (loaded->prev != nullptr) loaded->prev->next = loaded->next; else oldSpaceSegs.first = loaded->next;
  if (loaded->next != nullptr) loaded->next->prev = loaded->prev; else oldSpaceSegs.last = loaded->prev;
  oldSpaceSegs.current = nullptr;
  setCurrentOldSegment(oldSpaceSegs.first);
  oldSpaceSegs.freeOtHead = 0, oldSpaceSegs.freeOtCount = 0;
  resetThreadedData();
  permSpaceExists = 1;
  rememberPermToOldReferences();
}

// An image without perm space may still hold perm objects: one saved with perm space
// absorbed into old space. They become ordinary old objects, perm space's free chunks old
// free data, and the old remembered table, which lists only perm objects, is emptied.
static void dropAbsorbedPermObjects() {
  uint64_t count, slots;
  assimilateOldFreeList(&permSpaceSegs.freeHead, &count, &slots);
  permSpaceSegs.freeChunks = permSpaceSegs.freeWords = 0;
  writeBackOldSpace();
  bool found = false;
  for (OldSpaceSegment* s = oldSpaceSegs.first; s != nullptr; s = s->next)
    for (uint64_t a = s->otLow + otEntryBytes; a <= s->otHigh; a += otEntryBytes) {
      ObjectHeader* h = reinterpret_cast<ObjectHeader*>(a);
      if (!isPermHeader(h)) continue;
      clearFlag(h, isMarkedBit | isPermBit);
      found = true;
    }
  if (found) emptyOldRt();
}

// Perm space becomes an ordinary old segment: its objects lose the perm and mark bits, and
// no perm object is left for the old remembered table to list.
static void demotePermSpace() {
  if (!permSpaceExists) return dropAbsorbedPermObjects();
  uint64_t count, slots;
  assimilateOldFreeList(&permSpaceSegs.freeHead, &count, &slots);
  for (uint64_t a = permSpace.otLow + otEntryBytes; a <= permSpace.otHigh; a += otEntryBytes)
    clearFlag(reinterpret_cast<ObjectHeader*>(a), isMarkedBit | isPermBit);
  absorbPermSpace();
  emptyOldRt();
  for (OldSpaceSegment* s = oldSpaceSegs.first; s != nullptr; s = s->next) s->segFlags &= ~uint32_t(segCompacting);
  if (oldSpaceSegs.current != nullptr) oldSpace = *oldSpaceSegs.current;
  permSpaceAbsorbed = 0;
  permSpaceExists = 0;
  permSpaceMoved = 1;
}

// ---- Primitives 307 and 407 -------------------------------------------------------------------

static oop primDefaultSpaceSizes() {
  static const int64_t defaults[] = {460800, 92160, 307200, 81920, 983040, 1572864, 307200};
  ObjectHeader* h = allocVSObj(sysOop(sysArrayClass), 7);
  if (h == nullptr) return failPrimitive(primErrorAt(primErrNoSpace), 0);
  for (int i = 0; i < 7; i++) bodyOf(h)[i] = smallIntegerFor(defaults[i]);
  return oopOf(h);
}

static oop primPermSpaceInPlace() { return booleanOop(!permSpaceMoved); }

void initKernelPrims() {
  addCPrimitive(307, reinterpret_cast<const void*>(primDefaultSpaceSizes), 0);
  addCPrimitive(407, reinterpret_cast<const void*>(primPermSpaceInPlace), 0);
}

// ---- Start-up --------------------------------------------------------------------------------

uint64_t loadedOldSegment;

void loadKernel() {
  pdStartLongComp(10000);
  uint8_t* heapBlock = static_cast<uint8_t*>(malloc(loadHeapBlockBytes));
  if (heapBlock == nullptr) fatal("Insufficient memory.", 0x404, __LINE__);
  decompressionWorkspaces = {heapBlock, loadHeapBlockBytes, nullptr, 0};  // owned here until freed
  checkSavedSizes();
  uint64_t headroom = computeKernelSlots();
  const uint64_t* s = kernelSlots;
  stackSpaceSlots = s[slotsStack];
  totalInitialAllocBytes = (s[slotsPerm] + s[slotsFixedPart] + s[slotsOld]) * 8 + sizeof(FixedSpaceSegment);
  KernelPlaces p = placeSpaces(takeKernelBlock(totalInitialAllocBytes));
  // Old and perm space are filled whole: the hint comes before anything near them is
  // touched, so that the pages at their ends can be large too.
  pdPreferLargePages(reinterpret_cast<void*>(p.old), s[slotsOld] * 8);
  pdPreferLargePages(reinterpret_cast<void*>(p.perm), s[slotsPerm] * 8);
  pdInitProfile(p.code, s[slotsCode] * 8);
  lendDecompressionWorkspaces(heapBlock, p);
  readPermSpace(p);
  readNewSpace(p);
  readBlockSpaces(p);
  loadedOldSegment = p.old;
  prepareLoadedReferents();
  readOldSpace(p);
  if (p.code + 64 * s[slotsCode] > 0x7FFFFFFF)
    fatal("Can't initialize N-method zone at a suitable address", 0x404, __LINE__);
  pdSetMemExecPerm(reinterpret_cast<void*>(p.code), s[slotsCode] * 8);
  if (!kernelHooks.initCodeZone(p.code, s[slotsCode] * 8)) fatal("Can't initialize N-method zone", 0x404, __LINE__);
  decompressionWorkspaces = {};
  free(heapBlock);
  setUpTables();
  uint64_t survivorBytes = s[slotsSurvivor] * 8;
  initScavenger(imageLayout.tenureFraction == 0 ? uint64_t(platformTenureThreshold)
                                                : uint64_t(float(imageLayout.tenureFraction) / 10000.0f * float(survivorBytes)));
  addOldHeadroom(headroom);
  initFinalQueue();  // after the headroom: an image without a queue has no room for one before
  if (oldRtOop == 0 && !createOldRt()) fatal("Can't allocate OldRt", 0x404, __LINE__);
  temp1RegisteredOopX = allocSysOopSlot();
  temp2RegisteredOopX = allocSysOopSlot();
  if (temp1RegisteredOopX < 0 || temp2RegisteredOopX < 0)
    fatal("No room in the sysOopRegistry", 0x4406, __LINE__);
  if (imageLayout.loadPolicy == loadPromote) promoteLoadedOldSpace();
  if (imageLayout.loadPolicy == loadDemote) demotePermSpace();
  if (imageLayout.loadPolicy == loadNormal && !permSpaceExists) dropAbsorbedPermObjects();
  if (!(qrxOptions & 0x40000) && (imageLayout.type != imageType64 || imageLayout.subType > imageSubTypeMax))
    fatal("Unable to convert your image's format", 0x403, __LINE__);
  closeImageFile();
  kernelHooks.registerPrimitives();
  pdFinishLongComp();
}

// Input goes through the platform hook, which a GUI library may rebind after start-up.
static void serveInput() { pdSynchronizeInput(); }

void installRequestServers() {
  setRequestServer(requestInput, serveInput);
  setRequestServer(requestCompactLarge, compactLargeSpaceResponse);
}

// The reboot into Smalltalk on a loaded kernel.
void runKernel() {
  if (initScavengeStress() != 0) scavengeNewSpace();  // verified before and after
  installRequestServers();
  kernelHooks.enterImage(kernelSlots[slotsStack]);
  fatal("the system returned from its reboot", 0x4400, __LINE__);
}

void startKernel() {
  loadKernel();
  runKernel();
}
