// Test support: image files of a test heap and loading them in process.
#include "mman/loadImages.h"

#include <cassert>
#include <cstdio>
#include <cstring>
#include <unistd.h>

#include "ext/exMemory.h"
#include "ext/exOption.h"
#include "ext/platform.h"
#include "mman/mmFixedSpace.h"
#include "mman/mmImageHeader.h"
#include "mman/mmInit.h"
#include "mman/mmLargeSpace.h"
#include "mman/mmNewSpace.h"
#include "mman/mmOldSpace.h"
#include "mman/mmPermSpace.h"
#include "mman/mmRt.h"
#include "mman/mmSysOop.h"
#include "mman/testHeap.h"
#include "imageWriter.h"
#include "prim/prStartup.h"
#include "support/testZone.h"

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

static oop placeNode(const ModelNode& n, Place place) {
  bool ptrs = !n.slots.empty();
  uint64_t bytes = ptrs ? n.slots.size() * 8 : n.bytes.size();
  uint64_t flags = ptrs ? uint64_t(hasPtrsBit) : 0;
  oop fill = ptrs ? nilOop() : oop(0);
  ObjectHeader* h = nullptr;
  switch (place) {
    case Place::old1:
    case Place::old2:
      iwUseOldSegment(place == Place::old1 ? 0 : 1);
      h = allocInOldSpace(n.classIndex, 0, bytes, flags, fill, 1);
      break;
    case Place::perm: h = allocInPermSpace(n.classIndex, 0, bytes, flags, fill); break;
    case Place::past: h = allocInPastSpace(n.classIndex, 0, bytes, flags, fill); break;
    case Place::large: h = iwMoveHeader(allocInLargeSpace(n.classIndex, bytes, 0, 0), 1); break;
    case Place::fixed1:
    case Place::fixed2:
      iwUseFixedSegment(place == Place::fixed1 ? 0 : 1);
      h = iwMoveHeader(allocInFixedSpace(n.classIndex, bytes, 0, 0), place == Place::fixed1);
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

// A weak class for the finalization queue that loading creates (registry slot 26).
void addWeakArrayClass() {
  ObjectHeader* cls = allocInOldSpace(classIndexFirstFree, 3, 3 * 8, hasPtrsBit, nilOop(), 1);
  assert(cls != nullptr);
  bodyOf(cls)[2] = smallIntegerFor(int64_t(formatPointers | formatIndexable | formatWeak));
  enterIntoClassTable(oopOf(cls));
  sysOopRegistry[sysWeakArrayClass] = oopOf(cls);
}

SpanningHeap buildSpanningHeap() {
  IwHeapSizes sizes;
  sizes.permWords = 4096;
  sizes.oldSegments = 2;
  sizes.fixedSegments = 2;
  bool made = iwNewHeap(sizes);
  assert(made);
  (void)made;
  addWeakArrayClass();
  uint32_t P = classIndexArray, B = classIndexByteArray;
  typedef ModelSlot S;
  SpanningHeap heap;
  heap.graph = {
      {P, false, {S::ref(1), S::ref(2), S::ref(3), S::ref(4), S::ref(5), S::ref(6), S::ref(7), S::ref(8),
                  S::imm(smallIntegerFor(42)), S::nil()}, {}},
      {P, false, {S::ref(9), S::imm(smallIntegerFor(-7))}, {}},  // perm to old: old RT
      {P, false, {S::ref(10), S::ref(1)}, {}},                    // past
      {B, false, {}, pattern(3001, 1)},                           // large body
      {B, false, {}, pattern(200, 2)},                            // first fixed segment
      {B, false, {}, pattern(77, 3)},                             // second fixed segment
      {P, false, {S::ref(2), S::ref(0), S::ref(11), S::ref(12), S::ref(13)}, {}},  // old to past: RT
      {B, false, {}, pattern(13, 4)},                             // perm bytes
      {B, false, {}, pattern(2100, 5)},                           // old bytes with a size word
      {B, false, {}, pattern(31, 6)},                             // second old segment bytes
      {B, false, {}, pattern(9, 7)},                              // past bytes
      {classIndexTwoByteString, false, {}, pattern(22, 8)},       // units of their own size in
      {classIndexFloat, false, {}, pattern(12, 9)},               // the other byte order
      {classIndexDouble, false, {}, pattern(8, 10)},
  };
  heap.places = {Place::old1, Place::perm, Place::past,  Place::large, Place::fixed1, Place::fixed2, Place::old2,
                 Place::perm, Place::old1, Place::old2,  Place::past,  Place::old1,   Place::perm,   Place::past};
  for (size_t i = 0; i < heap.graph.size(); i++) heap.oops.push_back(placeNode(heap.graph[i], heap.places[i]));
  for (size_t i = 0; i < heap.graph.size(); i++)
    for (size_t s = 0; s < heap.graph[i].slots.size(); s++) {
      const ModelSlot& m = heap.graph[i].slots[s];
      storeSlot(heap.oops[i], s, m.node >= 0 ? heap.oops[m.node] : (m.value == 0 ? nilOop() : m.value), __FILE__,
                __LINE__);
    }
  sysOopRegistry[sysProcessor] = heap.oops[0];
  return heap;
}

oop loadedRoot() { return sysOop(sysProcessor); }

std::string writeHeapImage(const std::string& path, uint32_t kind, ImageForm form) {
  IwWriteOptions options;
  options.kind = uint8_t(kind);
  options.gzip = form == gzipForm;
  options.otherByteOrder = form == otherOrderForm;
  uint64_t bytes = 0;
  int status = iwWriteImage(path.c_str(), options, &bytes);
  return status == 0 ? "" : "image writer failed with " + std::to_string(status);
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
  resetTestZone();  // the loaded code area held the zone and the primitive sub-tables
}
