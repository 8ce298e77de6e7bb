// Test support: image files of a test heap and loading them in process.
#include "mman/loadImages.h"

#include <cassert>
#include <cstdio>
#include <cstring>
#include <unistd.h>
#include <zlib.h>

#include "ext/exLeave.h"
#include "ext/exOption.h"
#include "ext/platform.h"
#include "mman/mmFinal.h"
#include "mman/mmFixedSpace.h"
#include "mman/mmImageHeader.h"
#include "mman/mmInit.h"
#include "mman/mmLargeSpace.h"
#include "mman/mmNewSpace.h"
#include "mman/mmOldSpace.h"
#include "mman/mmPermSpace.h"
#include "mman/mmRt.h"
#include "mman/mmSnapshot.h"
#include "mman/mmSysOop.h"
#include "mman/testHeap.h"

std::string tempImagePath(const char* name) {
  const char* dir = getenv("TMPDIR");
  if (dir == nullptr) dir = getenv("TEMP");
  if (dir == nullptr) dir = "/tmp";
  char path[512];
  snprintf(path, sizeof path, "%s/tessel-load-%d-%s", dir, int(getpid()), name);
  return path;
}

std::vector<uint8_t> readFileBytes(const std::string& path) {
  std::vector<uint8_t> bytes;
  FILE* f = fopen(path.c_str(), "rb");
  if (f == nullptr) return bytes;
  uint8_t buffer[65536];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, f)) > 0) bytes.insert(bytes.end(), buffer, buffer + n);
  fclose(f);
  return bytes;
}

void writeFileBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
  FILE* f = fopen(path.c_str(), "wb");
  assert(f != nullptr);
  if (!bytes.empty()) fwrite(bytes.data(), 1, bytes.size(), f);
  fclose(f);
}

// ---- The spanning heap ------------------------------------------------------------------------

// Large and fixed bodies get their headers in eden; a snapshot holds no eden, so the header
// is copied to where the test wants it and the block's owner follows.
static ObjectHeader* moveHeader(ObjectHeader* from, ObjectHeader* to) {
  to->dataPtr = from->dataPtr;
  to->flags = from->flags | (to->flags & (isPermBit | isMarkedBit));  // a perm header stays perm
  int moved = sizeFieldOf(from) == sizeFieldLarge ? reRegisterLargeObj(from, to) : reRegisterFixedObj(from, to);
  assert(moved);
  (void)moved;
  return to;
}

static oop placeNode(const ModelNode& n, Place place) {
  bool ptrs = !n.slots.empty();
  uint64_t bytes = ptrs ? n.slots.size() * 8 : n.bytes.size();
  uint64_t flags = ptrs ? uint64_t(hasPtrsBit) : 0;
  oop fill = ptrs ? nilOop() : oop(0);
  ObjectHeader* h = nullptr;
  switch (place) {
    case Place::old1:
    case Place::old2: h = allocInOldSpace(n.classIndex, 0, bytes, flags, fill, 1); break;
    case Place::perm: h = allocInPermSpace(n.classIndex, 0, bytes, flags, fill); break;
    case Place::past: h = allocInPastSpace(n.classIndex, 0, bytes, flags, fill); break;
    case Place::large:
      h = moveHeader(allocInLargeSpace(n.classIndex, bytes, 0, 0), allocInPermSpace(0, 0, 0, 0, noFill));
      break;
    case Place::fixed1:
      h = moveHeader(allocInFixedSpace(n.classIndex, bytes, 0, 0), allocInOldSpace(0, 0, 0, 0, noFill, 1));
      break;
    case Place::fixed2:
      h = moveHeader(allocInFixedSpace(n.classIndex, bytes, 0, 0), allocInPastSpace(0, 0, 0, 0, noFill));
      break;
  }
  assert(h != nullptr);
  if (!ptrs) memcpy(bodyOf(h), n.bytes.data(), n.bytes.size());
  return oopOf(h);
}

static std::vector<uint8_t> pattern(size_t n, uint8_t seed) {
  std::vector<uint8_t> bytes(n);
  for (size_t i = 0; i < n; i++) bytes[i] = uint8_t(seed + i * 7);
  return bytes;
}

SpanningHeap buildSpanningHeap() {
  ArenaSizes sizes = testHeapSizes();
  sizes.permWords = 4096;
  newTestHeap(1 << 15, 100, sizes);
  sysOopRegistry[sysWeakArrayClass] = classAt(testClasses.weak);
  initFinalQueue();  // every image a running system saves holds its queue
  uint32_t P = testClasses.pointers, B = testClasses.bytes;
  typedef ModelSlot S;
  SpanningHeap heap;
  heap.graph = {
      {P, false, {S::ref(1), S::ref(2), S::ref(3), S::ref(4), S::ref(5), S::ref(6), S::ref(7), S::ref(8),
                  S::imm(smallIntegerFor(42)), S::nil()}, {}},
      {P, false, {S::ref(9), S::imm(smallIntegerFor(-7))}, {}},  // perm to old: old RT
      {P, false, {S::ref(10), S::ref(1)}, {}},                // past
      {B, false, {}, pattern(3001, 1)},                      // large body
      {B, false, {}, pattern(200, 2)},                       // first fixed segment's top entry
      {B, false, {}, pattern(77, 3)},                        // second fixed segment's top entry
      {P, false, {S::ref(2), S::ref(0), S::ref(11), S::ref(12), S::ref(13)}, {}},  // old segment 2 to past: RT
      {B, false, {}, pattern(13, 4)},                        // perm bytes
      {B, false, {}, pattern(2100, 5)},                      // old bytes with a size word
      {B, false, {}, pattern(31, 6)},                        // second old segment bytes
      {B, false, {}, pattern(9, 7)},                         // past bytes
      {classIndexTwoByteString, false, {}, pattern(22, 8)},  // units of their own size in
      {classIndexFloat, false, {}, pattern(12, 9)},          // the other byte order
      {classIndexDouble, false, {}, pattern(8, 10)},
  };
  heap.places = {Place::old1,   Place::perm,   Place::past, Place::large, Place::fixed1, Place::fixed2,
                 Place::old2,   Place::perm,   Place::old1, Place::old2,  Place::past,
                 Place::old1,   Place::perm,   Place::past};
  for (uint32_t tag : {uint32_t(classIndexTwoByteString), uint32_t(classIndexFloat), uint32_t(classIndexDouble)}) {
    oop cls = newUnenteredTestClass(formatIndexable);
    classTable[0][tag] = cls;
    setHash(headerOf(cls), tag);
  }
  OldSpaceSegment* first = oldSpaceSegs.current;
  for (size_t i = 0; i < heap.graph.size(); i++) {
    if (heap.places[i] == Place::old2 && oldSpaceSegs.first == oldSpaceSegs.last) {
      bool grown = growOldSpace(1 << 14);
      assert(grown);
      (void)grown;
      writeBackOldSpace();
      setCurrentOldSegment(oldSpaceSegs.first == first ? oldSpaceSegs.last : oldSpaceSegs.first);
    }
    if (heap.places[i] == Place::fixed2 && fixedSpaceSegs.first == fixedSpaceSegs.last) {
      bool grown = growFixedSpace(2048);
      assert(grown);
      (void)grown;
    }
    if (heap.places[i] == Place::old1) {
      writeBackOldSpace();
      setCurrentOldSegment(first);
    }
    heap.oops.push_back(placeNode(heap.graph[i], heap.places[i]));
  }
  for (size_t i = 0; i < heap.graph.size(); i++)
    for (size_t s = 0; s < heap.graph[i].slots.size(); s++) {
      const ModelSlot& m = heap.graph[i].slots[s];
      storeSlot(heap.oops[i], s, m.node >= 0 ? heap.oops[m.node] : (m.value == 0 ? nilOop() : m.value), __FILE__,
                __LINE__);
    }
  eden.allocPtr = eden.start;  // the headers made there were copied out
  sysOopRegistry[sysProcessor] = heap.oops[0];
  return heap;
}

oop loadedRoot() { return sysOop(sysProcessor); }

// ---- Writing --------------------------------------------------------------------------------

// A machine of the other byte order stores each unit of a byte body (2 bytes for two-byte
// strings, 4 for Float, 8 for Double, else 1) with its bytes reversed; the whole file is
// word-reversed afterwards, so the body is written as the word reversal of that form.
static uint64_t unitBytesOf(const ObjectHeader* h) {
  switch (classTagOf(h)) {
    case classIndexTwoByteString:
    case classIndexTwoByteSymbol: return 2;
    case classIndexFloat: return 4;
    case classIndexDouble: return 8;
    default: return 1;
  }
}

static void toOtherOrderForm(const ObjectHeader* h) {
  uint8_t* body = reinterpret_cast<uint8_t*>(h->dataPtr);
  uint64_t unit = unitBytesOf(h);
  for (uint64_t w = 0, n = bodyWordsOf(h); w < n; w++) {
    uint8_t* word = body + 8 * w;
    uint8_t stored[8];
    for (uint64_t i = 0; i < 8; i++) stored[i] = word[i / unit * unit + (unit - 1 - i % unit)];
    for (uint64_t i = 0; i < 8; i++) word[i] = stored[7 - i];
  }
}

std::string writeHeapImage(const std::string& path, uint32_t kind, const std::vector<oop>& byteObjects) {
  if (!prepareThreadedFreeListForSnapshot()) return "no chunk for the threaded free lists";
  canonicalizeRt();
  cacheOldRtOop();
  ImageHeader header;
  memset(&header, 0, sizeof header);
  composeSnapshotHeader(&header, kind);
  int error = 0;
  int64_t fd = pdOpenImage(path.c_str(), pdOpenSnapshot, &error);
  if (fd < 0) return "cannot open " + path;
  std::vector<std::vector<uint8_t>> saved;
  for (oop o : byteObjects) {
    const ObjectHeader* h = headerOf(o);
    const uint8_t* body = reinterpret_cast<const uint8_t*>(h->dataPtr);
    saved.emplace_back(body, body + bodyBytesOf(h));
    toOtherOrderForm(h);
  }
  uint64_t total = 0;
  int status = writeSnapshotFile(fd, &header, &total);
  for (size_t i = 0; i < byteObjects.size(); i++)
    memcpy(reinterpret_cast<void*>(headerOf(byteObjects[i])->dataPtr), saved[i].data(), saved[i].size());
  pdCloseImage(fd);
  return status == 0 ? "" : "write failed";
}

void gzipImageFile(const std::string& plain, const std::string& out) {
  std::vector<uint8_t> in = readFileBytes(plain);
  std::vector<uint8_t> result(in.begin(), in.begin() + imageHeaderBytes);
  result[offsetof(ImageHeader, fileFormat)] = imageGzip;
  z_stream z;
  memset(&z, 0, sizeof z);
  int ok = deflateInit2(&z, 6, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY);  // gzip wrapper
  assert(ok == Z_OK);
  (void)ok;
  std::vector<uint8_t> packed(deflateBound(&z, uLong(in.size())) + 64);
  z.next_in = in.data() + imageHeaderBytes;
  z.avail_in = uInt(in.size() - imageHeaderBytes);
  z.next_out = packed.data();
  z.avail_out = uInt(packed.size());
  int end = deflate(&z, Z_FINISH);
  assert(end == Z_STREAM_END);
  (void)end;
  result.insert(result.end(), packed.begin(), packed.begin() + z.total_out);
  deflateEnd(&z);
  writeFileBytes(out, result);
}

void otherOrderImageFile(const std::string& plain, const std::string& out) {
  std::vector<uint8_t> bytes = readFileBytes(plain);
  ImageHeader* h = reinterpret_cast<ImageHeader*>(bytes.data());
  h->flags &= uint8_t(~imageFlagSameOrder);
  swapImageHeader(h);
  for (size_t a = imageHeaderBytes; a + 8 <= bytes.size(); a += 8) {
    uint64_t w;
    memcpy(&w, &bytes[a], 8);
    w = __builtin_bswap64(w);
    memcpy(&bytes[a], &w, 8);
  }
  writeFileBytes(out, bytes);
}

// ---- Loading --------------------------------------------------------------------------------

bool loadImageInProcess(const std::string& path) {
  freeTestHeap();
  if (!loadImageHeader(path.c_str(), 1)) return false;
  loadKernel();
  return true;
}

// The segments inside the kernel block are not the platform's to take back one by one.
void freeLoadedKernel() {
  writeBackOldSpace();
  uint64_t lo = kernelBlock.base, hi = kernelBlock.base + kernelBlock.bytes;
  for (OldSpaceSegment* s = oldSpaceSegs.first; s != nullptr; s = s->next) {
    uint64_t a = reinterpret_cast<uint64_t>(s);
    if (a < lo || a >= hi) continue;
    if (s->prev != nullptr) s->prev->next = s->next; else oldSpaceSegs.first = s->next;
    if (s->next != nullptr) s->next->prev = s->prev; else oldSpaceSegs.last = s->prev;
  }
  oldSpaceSegs.current = nullptr;
  freeTestHeap();
  fixedSpaceSegs = {};
  if (kernelBlock.base != 0) lessMemory(reinterpret_cast<void*>(kernelBlock.base), kernelBlock.bytes, int(kernelBlock.mapped));
  kernelBlock = {};
  permSpaceAbsorbed = 0;
}
