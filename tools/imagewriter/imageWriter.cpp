// Test tooling: the image writer: an in-process heap set up as start-up sets it up, and its
// image file written as a snapshot writes it (optionally gzip-compressed or in the other
// byte order). Prefix: iw.
#include "imageWriter.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>
#include <zlib.h>

#include "ext/exMemory.h"
#include "ext/exRequest.h"
#include "ext/platform.h"
#include "mman/mmFixedSpace.h"
#include "mman/mmLargeSpace.h"
#include "mman/mmNewSpace.h"
#include "mman/mmOldSpace.h"
#include "mman/mmOopStack.h"
#include "mman/mmPermSpace.h"
#include "mman/mmRt.h"
#include "mman/mmScavenge.h"
#include "mman/mmSnapshot.h"
#include "mman/mmSysOop.h"

ImageHeader iwLastHeader;

static void* heapBlock;         // the block of new, perm, large and first fixed space
static uint64_t heapBlockBytes; // its size
static int heapBlockMapped;     // it came from a mapping

// The block is asked for low, as start-up asks for its own, so that the old and fixed
// segments mapped above it find room on every platform (Windows maps from the top down
// otherwise); 1 GiB keeps it clear of where a loading engine's block usually lands.
static const uint64_t heapBlockLowest = uint64_t(1) << 30;

enum : uint32_t { standInClassIndex = classIndexFirstFree };

// ---- Heap set-up ------------------------------------------------------------------------------

uint64_t iwSpacesBytes(const IwHeapSizes& s) {
  return (2 * (s.survivorWords + 1) + s.edenWords + 10 + s.permWords + s.largeWords + 9 + s.fixedWords) * 8;
}

void iwLayOutSpaces(uint64_t base, const IwHeapSizes& s) {
  uint64_t past = base, future = past + (s.survivorWords + 1) * 8;
  uint64_t edenStart = future + (s.survivorWords + 1) * 8;
  uint64_t edenEnd = edenStart + s.edenWords * 8;
  initNewSpaceBounds(edenStart, edenEnd, s.warningWords, past, past + s.survivorWords * 8, future,
                     future + s.survivorWords * 8);
  uint64_t perm = edenEnd + 80;
  initPermSpace(perm, perm + s.permWords * 8);
  if (s.permWords == 0) permSpaceExists = 0;
  uint64_t large = perm + s.permWords * 8;
  initLargeSpace(large, s.largeWords, 5000);
  FixedSpaceSegment* seg = reinterpret_cast<FixedSpaceSegment*>(large + s.largeWords * 8);
  initializeEmptyFixedSpaceSegment(seg, s.fixedWords, uint64_t(seg + 1), sizeof(BlockTableEntry));
  initFixedSpaceSegs(seg);
  for (uint32_t k = 0; k < requestKindCount; k++) clearRequest(k);
  anyAck.store(anyReq.load());
}

static oop oldObject(uint32_t tag, uint64_t bytes, uint64_t flags, oop fill) {
  ObjectHeader* h = allocInOldSpace(tag, (flags & hasPtrsBit) ? bytes / 8 : 0, bytes, flags, fill, 1);
  return h != nullptr ? oopOf(h) : 0;
}

// Stand-in classes at the indices the engine reserves for the formats it makes itself; the
// registry slot of the same number names the class where the registry has one.
static const struct { uint32_t index; uint64_t format; bool registered; } kernelClasses[] = {
    {classIndexCharacter, formatPointers, false},
    {classIndexSmallInteger, formatPointers, false},
    {classIndexSmallDouble, formatPointers, false},
    {classIndexArray, formatPointers | formatIndexable, true},
    {classIndexByteString, formatIndexable, true},
    {classIndexLargePositiveInteger, formatIndexable, true},
    {classIndexLargeNegativeInteger, formatIndexable, true},
    {classIndexByteArray, formatIndexable, true},
    {classIndexTwoByteString, formatIndexable, true},
    {classIndexTwoByteSymbol, formatIndexable, true},
    {classIndexDouble, formatIndexable, true},
    {classIndexFloat, formatIndexable, true},
    {classIndexClassTablePage, formatPointers | formatIndexable | formatWeak, true},
};

static int makeKernelClasses(oop nil) {
  for (const auto& k : kernelClasses) {
    oop cls = oldObject(standInClassIndex, 3 * 8, hasPtrsBit, nil);
    if (cls == 0) return 0;
    setIndexability(headerOf(cls), 3);
    bodyOf(headerOf(cls))[classFormatSlot] = smallIntegerFor(int64_t(k.format));
    classTable[0][k.index] = cls;
    setHash(headerOf(cls), k.index);
    if (k.registered) sysOopRegistry[k.index] = cls;
  }
  sysOopRegistry[sysSmallIntegerClass] = classTable[0][classIndexSmallInteger];
  sysOopRegistry[sysCharacterClass] = classTable[0][classIndexCharacter];
  return 1;
}

// The registry and the class table, as the loader expects to find them.
static int makeRegistryAndClassTable() {
  oop nil = oldObject(0, 0, 0, noFill);
  oop reg = oldObject(classIndexArray, (uint64_t(sysFirstRunTimeSlot) + registryGrowSlots) * 8, hasPtrsBit, nil);
  if (reg == 0) return 0;
  sysOopRegistryOop = reg;
  refreshSysOopRegistry();
  oop marker = oldObject(0, 0, 0, noFill);
  sysOopRegistry[sysEmptySlotMarker] = marker;
  sysOopRegistry[sysTrue] = oldObject(0, 0, 0, noFill);
  sysOopRegistry[sysFalse] = oldObject(0, 0, 0, noFill);
  oop pages = oldObject(classIndexArray, classTablePages * 8, hasPtrsBit, nil);
  oop page0 = oldObject(classIndexClassTablePage, classTablePageSlots * 8,
                        hasPtrsBit | isGCSpecialBit | isImmutableBit, marker);
  oop standIn = oldObject(standInClassIndex, 3 * 8, hasPtrsBit, nil);
  if (pages == 0 || page0 == 0 || standIn == 0) return 0;
  bodyOf(headerOf(pages))[0] = page0;
  sysOopRegistry[sysClassTablePages] = pages;
  refreshClassTable();
  setIndexability(headerOf(standIn), 3);
  bodyOf(headerOf(standIn))[classFormatSlot] = smallIntegerFor(int64_t(formatPointers));
  classTable[0][standInClassIndex] = standIn;
  setHash(headerOf(standIn), standInClassIndex);
  classTableAllocationPointer = standInClassIndex + 1;
  for (uint32_t slot : {uint32_t(sysNil), uint32_t(sysTrue), uint32_t(sysFalse), uint32_t(sysEmptySlotMarker)})
    setClassTag(headerOf(sysOop(slot)), standInClassIndex);
  return makeKernelClasses(nil);
}

static int makeTables(uint64_t rtSlots) {
  oop errors = oldObject(classIndexArray, 37 * 8, hasPtrsBit, noFill);
  oop table = oldObject(classIndexArray, rtSlots * 8, hasPtrsBit, 0);
  if (errors == 0 || table == 0) return 0;
  for (int64_t k = 0; k < 37; k++) bodyOf(headerOf(errors))[k] = smallIntegerFor(-(k + 1));
  sysOopRegistry[sysPrimErrorTable] = errors;
  sysOopRegistry[sysRt] = table;
  memset(&rt, 0, sizeof rt);
  updateRtPtrs(1);
  firstFreeSlotX = sysFirstRunTimeSlot;
  if (lastHash == 0) lastHash = 1;
  return 1;
}

// The sizes a snapshot writes as fractions: the defaults.
static void defaultFractions() {
  ImageLayout* l = &imageLayout;
  l->edenSizeFraction = l->survivorSizeFraction = l->largeSizeFraction = 10000;
  l->stackSizeFraction = l->codeCacheSizeFraction = l->oldHeadroomFraction = 10000;
  l->fixedSizeFraction = 10000;
}

int iwNewHeap(const IwHeapSizes& s) {
  iwFreeHeap();
  heapBlockBytes = iwSpacesBytes(s);
  uint64_t granted = 0;
  heapBlock = moreMemory(heapBlockBytes, 1, heapBlockLowest, 32768, pdProtRead | pdProtWrite, &heapBlockMapped, &granted);
  if (heapBlock == nullptr) return 0;
  iwLayOutSpaces(uint64_t(heapBlock), s);
  for (uint32_t i = 0; i < (s.oldSegments == 0 ? 1 : s.oldSegments); i++)
    if (!growOldSpace(int64_t(s.oldSlots))) return 0;
  for (uint32_t i = 1; i < s.fixedSegments; i++)
    if (!growFixedSpace(s.fixedWords)) return 0;
  setCurrentFixedSegment(fixedSpaceSegs.first);
  iwUseOldSegment(0);
  defaultFractions();
  return makeRegistryAndClassTable() && makeTables(s.rtSlots);
}

void iwUseOldSegment(uint32_t index) {
  writeBackOldSpace();
  OldSpaceSegment* s = oldSpaceSegs.first;
  for (uint32_t i = 0; i < index && s != nullptr; i++) s = s->next;
  if (s != nullptr) setCurrentOldSegment(s);
}

void iwUseFixedSegment(uint32_t index) {
  writeBackFixedSpace();
  FixedSpaceSegment* s = fixedSpaceSegs.first;
  for (uint32_t i = 0; i < index && s != nullptr; i++) s = s->next;
  if (s != nullptr) setCurrentFixedSegment(s);
}

ObjectHeader* iwMoveHeader(ObjectHeader* h, int toOld) {
  ObjectHeader* to = toOld ? allocInOldSpace(classTagOf(h), 0, 0, 0, noFill, 1)
                           : allocInPastSpace(classTagOf(h), 0, 0, 0, noFill);
  if (to == nullptr) return nullptr;
  uint32_t size = sizeFieldOf(h);
  if ((size == sizeFieldLarge && !reRegisterLargeObj(h, to)) ||
      (size == sizeFieldFixed && !reRegisterFixedObj(h, to)))
    return nullptr;
  to->dataPtr = h->dataPtr;
  to->flags = h->flags;
  if (isInEden(oopOf(h))) writeFiller(h, 0);
  return to;
}

void iwFreeHeap() {
  writeBackOldSpace();
  for (OldSpaceSegment* s = oldSpaceSegs.first; s != nullptr;) {
    OldSpaceSegment* next = s->next;
    lessMemory(s, s->otHigh + 16 - uint64_t(s), s->segFlags & segMapped);
    s = next;
  }
  writeBackFixedSpace();
  for (FixedSpaceSegment* f = fixedSpaceSegs.first; f != nullptr;) {
    FixedSpaceSegment* next = f->next;
    if (f != fixedSpaceSegs.first || heapBlock == nullptr)
      lessMemory(f, uint64_t(f->table.highest + 1) - uint64_t(f), int(f->mapped));
    f = next;
  }
  if (heapBlock != nullptr) lessMemory(heapBlock, heapBlockBytes, heapBlockMapped);
  heapBlock = nullptr;
  memset(&oldSpaceSegs, 0, sizeof oldSpaceSegs);
  memset(&oldSpace, 0, sizeof oldSpace);
  memset(&rt, 0, sizeof rt);
  memset(classTable, 0, sizeof classTable);
  fixedSpaceSegs = {};
  fixedSpace = {};
  largeSpace = {};
  permSpace = {};
  permSpaceSegs = {};
  permSpaceExists = 0;
  eden = {};
  pastSpace = futureSpace = {};
  oldRtOop = 0;
  threadedDataForSnapshot = 0;
  sysOopRegistry = nullptr;
  firstClassTablePage = nullptr;
  sysOopRegistryOop = 0;
}

// ---- Writing ---------------------------------------------------------------------------------

// Every header a loader walks: perm object table, each old segment's table, past space.
static void forEachImageHeader(void (*visit)(ObjectHeader*)) {
  if (permSpaceExists)
    for (uint64_t a = permSpace.otLow + objectHeaderBytes; a <= permSpace.otHigh; a += objectHeaderBytes)
      visit(reinterpret_cast<ObjectHeader*>(a));
  writeBackOldSpace();
  for (OldSpaceSegment* s = oldSpaceSegs.first; s != nullptr; s = s->next)
    for (uint64_t a = s->otLow + objectHeaderBytes; a <= s->otHigh; a += objectHeaderBytes)
      visit(reinterpret_cast<ObjectHeader*>(a));
  for (ObjectHeader* h = reinterpret_cast<ObjectHeader*>(pastSpace.start); oopOf(h) < pastSpace.top;
       h = nextNewSpaceHeader(h))
    visit(h);
}

static uint64_t reversedWord(uint64_t w) {
  w = ((w & 0x00FF00FF00FF00FFull) << 8) | ((w >> 8) & 0x00FF00FF00FF00FFull);
  w = ((w & 0x0000FFFF0000FFFFull) << 16) | ((w >> 16) & 0x0000FFFF0000FFFFull);
  return (w << 32) | (w >> 32);
}

// A machine of the other byte order holds 4-byte floats and two-byte characters in its own
// order and other bytes as they are. A loader reverses every word and then repairs byte
// bodies by class; this is the inverse of that repair (each step undoes itself, so the same
// call also restores the body after the write).
static std::vector<oop> oopStackSegments;

// The old remembered table's segments are byte objects that hold machine words: they are
// words of the writing machine like any pointer body.
static void collectOopStackSegments() {
  oopStackSegments.clear();
  if (oldRtOop == 0) return;
  oop seg = oldRtOop;
  do {
    oopStackSegments.push_back(seg);
    seg = segmentNext(seg);
  } while (seg != oldRtOop && isHeapObject(seg) && seg != 0);
}

static void otherOrderBody(ObjectHeader* h) {
  uint32_t tag = classTagOf(h);
  if (tag == 0 || hasPtrs(h) || tag == classIndexDouble || h->dataPtr == 0) return;
  for (oop seg : oopStackSegments)
    if (seg == oopOf(h)) return;
  uint64_t* body = reinterpret_cast<uint64_t*>(h->dataPtr);
  for (uint64_t i = 0, n = bodyWordsOf(h); i < n; i++) {
    uint64_t w = body[i];
    if (tag == classIndexFloat) {
      w = (w << 32) | (w >> 32);
    } else if (tag == classIndexTwoByteString || tag == classIndexTwoByteSymbol) {
      w = (w << 32) | (w >> 32);
      w = ((w & 0x0000FFFF0000FFFFull) << 16) | ((w >> 16) & 0x0000FFFF0000FFFFull);
    } else {
      w = reversedWord(w);
    }
    body[i] = w;
  }
}

static int readWholeFile(const char* path, std::vector<uint8_t>* out) {
  FILE* f = fopen(path, "rb");
  if (f == nullptr) return errno != 0 ? errno : -1;
  uint8_t buffer[65536];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, f)) > 0) out->insert(out->end(), buffer, buffer + n);
  int bad = ferror(f);
  fclose(f);
  return bad ? -1 : 0;
}

static int writeWholeFile(const char* path, const std::vector<uint8_t>& bytes) {
  FILE* f = fopen(path, "wb");
  if (f == nullptr) return errno != 0 ? errno : -1;
  bool ok = fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  if (fclose(f) != 0) ok = false;
  return ok ? 0 : -1;
}

// The body after the header as one gzip member (zlib's own header: no name, no time).
static int gzipBody(std::vector<uint8_t>* file) {
  z_stream z;
  memset(&z, 0, sizeof z);
  if (deflateInit2(&z, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) != Z_OK) return -2;
  uint64_t plainBytes = file->size() - imageHeaderBytes;
  std::vector<uint8_t> packed(imageHeaderBytes + deflateBound(&z, uLong(plainBytes)));
  memcpy(packed.data(), file->data(), imageHeaderBytes);
  z.next_in = file->data() + imageHeaderBytes;
  z.avail_in = uInt(plainBytes);
  z.next_out = packed.data() + imageHeaderBytes;
  z.avail_out = uInt(packed.size() - imageHeaderBytes);
  int status = deflate(&z, Z_FINISH);
  uint64_t packedBytes = z.total_out;
  deflateEnd(&z);
  if (status != Z_STREAM_END) return -2;
  packed.resize(imageHeaderBytes + packedBytes);
  file->swap(packed);
  return 0;
}

static void storeHeader(std::vector<uint8_t>* file, const ImageHeader& header) {
  memcpy(file->data(), &header, imageHeaderBytes);
}

// Eden is not written: objects made since the last scavenge (a loaded heap's, made at
// start-up or by a caller) would be lost and references to them left pointing nowhere. A
// snapshot flushes eden first; so does the writer, when eden holds more than fillers (a
// scavenge would also age what the caller placed in past space).
static bool edenHoldsObjects() {
  for (uint64_t a = eden.start; a < eden.allocPtr;) {
    ObjectHeader* h = reinterpret_cast<ObjectHeader*>(a);
    if (classTagOf(h) != 0) return true;
    a = oopOf(nextNewSpaceHeader(h));
  }
  return false;
}

int iwWriteImage(const char* path, const IwWriteOptions& options, uint64_t* bytes) {
  *bytes = 0;
  if (edenHoldsObjects() && !flushEden()) return -1;
  compactLargeSpace();
  compactFixedSpace();
  writeNewSpaceEndMarkers();
  if (!prepareThreadedFreeListForSnapshot()) return -1;
  canonicalizeRt();
  cacheOldRtOop();
  if (options.otherByteOrder) {
    collectOopStackSegments();
    forEachImageHeader(otherOrderBody);
  }
  composeSnapshotHeader(&iwLastHeader, options.kind);
  int error = 0;
  int64_t fd = pdOpenImage(path, pdOpenSnapshot, &error);
  if (fd >= 0) {
    error = writeSnapshotFile(fd, &iwLastHeader, bytes);
    if (error != 0) pdDiscardSnapshot(fd);
    if (pdCloseImage(fd) != 0 && error == 0) error = -1;
    if (error == 0 && !pdBlessSnapshot(path, *bytes)) error = -1;
  } else if (error == 0) {
    error = -1;
  }
  if (options.otherByteOrder) forEachImageHeader(otherOrderBody);
  if (error != 0 || (!options.otherByteOrder && !options.gzip)) return error;

  std::vector<uint8_t> file;
  if ((error = readWholeFile(path, &file)) != 0) return error;
  ImageHeader header = iwLastHeader;
  if (options.otherByteOrder) {
    for (uint64_t at = imageHeaderBytes; at + 8 <= file.size(); at += 8) {
      uint64_t w;
      memcpy(&w, &file[at], 8);
      w = reversedWord(w);
      memcpy(&file[at], &w, 8);
    }
    swapImageHeader(&header);
    header.flags &= uint8_t(~imageFlagSameOrder);
  }
  if (options.gzip) {
    header.fileFormat = imageGzip;
    if ((error = gzipBody(&file)) != 0) return error;
  }
  sealImageHeader(&header);
  storeHeader(&file, header);
  *bytes = file.size();
  return writeWholeFile(path, file);
}
