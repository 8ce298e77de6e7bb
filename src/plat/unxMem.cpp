// Unix layer: memory for object memory and the native-code zone.
// Prefix: pd (pdGetPagesize, pdMoreMemory, pdMapMemory, pdUnmapMemory, ...).
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/mman.h>
#include <sys/resource.h>
#include <unistd.h>

#include "ext/exError.h"
#include "ext/platform.h"

uint64_t pdGetPagesize() {
  static uint64_t pageSize;
  if (pageSize == 0) {
    long size = sysconf(_SC_PAGESIZE);
    pageSize = size > 0 ? (uint64_t)size : 0;
  }
  return pageSize;
}

static uint64_t pageSizeOr8k() {
  uint64_t size = pdGetPagesize();
  return size != 0 ? size : 8192;
}

static uint64_t roundUp(uint64_t value, uint64_t unit) { return (value + unit - 1) / unit * unit; }

// Grows the data segment to an 8-aligned block; falls back to malloc.
// Blocks that pdMoreMemory took from malloc when the data segment could not grow.
struct HeapBlock {
  char* start;  // as malloc answered it; null = unused entry
  uint64_t size;  // bytes
};
static HeapBlock heapBlocks[64];

static void* mallocBlock(uint64_t size) {
  char* p = (char*)malloc(size);
  if (p == nullptr) return nullptr;
  for (HeapBlock& b : heapBlocks) {
    if (b.start == nullptr) {
      b = {p, size};
      return p;
    }
  }
  return p;  // untracked: never freed, which is safe
}

void* pdMoreMemory(uint64_t size, int) {
  char* brk = (char*)sbrk(0);
  uint64_t pad = (uint64_t)(-(intptr_t)brk & 7);
  char* start = (char*)sbrk((intptr_t)(size + pad));
  if (start == nullptr || start == (char*)-1) return mallocBlock(size);
  return start + pad;
}

// Only blocks that malloc gave are freed (found by any address inside them, since the
// caller may have aligned the start); the data segment cannot shrink piecemeal.
void pdFreeMoreMemory(void* block) {
  for (HeapBlock& b : heapBlocks) {
    if (b.start != nullptr && block >= b.start && (char*)block < b.start + b.size) {
      free(b.start);
      b.start = nullptr;
      return;
    }
  }
}

// Tries free places from address upward (each step doubles, so the probe is short) with
// a mapping that never replaces an existing one.
static void* probeAbove(uint64_t address, uint64_t length, int prot) {
  uint64_t step = roundUp(length, pageSizeOr8k());
  for (int attempt = 0; attempt < 40 && address < (1ULL << 47); attempt++) {
    void* p = mmap((void*)address, length, prot, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED_NOREPLACE,
                   -1, 0);
    if (p != MAP_FAILED && (uint64_t)p == address) return p;
    if (p != MAP_FAILED) munmap(p, length);  // an old kernel took the address as a hint
    address += step;
    step *= 2;
  }
  return nullptr;
}

static int protectionBits(int protection) {
  int bits = PROT_NONE;
  if (protection & pdProtRead) bits |= PROT_READ;
  if (protection & pdProtWrite) bits |= PROT_WRITE;
  if (protection & pdProtExec) bits |= PROT_EXEC;
  return bits;
}

// An anonymous private mapping at or above lowestAddress, as low as it can be had. The
// wanted address is the first hint too: without one Linux places mappings far above 2 GiB,
// and the code zone and the heap must lie low for generated code's 32-bit addresses. When
// the hint is taken (the brk heap of a randomised address space can sit right there), the
// kernel answers some high address instead: free places just above the hint come first.
void* pdMapMemory(uint64_t size, uint64_t lowestAddress, uint64_t, int protection,
                  uint64_t* sizeOut) {
  uint64_t page = pageSizeOr8k();
  uint64_t length = roundUp(size == 0 ? 1 : size, page);
  uint64_t hint = roundUp(lowestAddress, page);
  if (sizeOut != nullptr) *sizeOut = length;
  int prot = protectionBits(protection);
  void* p = mmap((void*)hint, length, prot, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) return nullptr;
  if ((uint64_t)p == hint) return p;
  void* above = probeAbove(hint, length, prot);
  if (above != nullptr || (uint64_t)p < lowestAddress) {
    munmap(p, length);
    return above;
  }
  return p;
}

int pdUnmapMemory(uint64_t length, void* address) {
  if (munmap(address, length) == 0) return 1;
  doReportError("couldn't munmap memory.  (see munmap(2))", errPlatformLayer | errCauseLimit | errError,
                "src/plat/unxMem.c", __LINE__);
  return 0;
}

void pdSetMemExecPerm(void* address, uint64_t length) {
  uint64_t page = pageSizeOr8k();
  uint64_t start = (uint64_t)address / page * page;
  uint64_t end = roundUp((uint64_t)address + length, page);
  if (mprotect((void*)start, end - start, PROT_READ | PROT_WRITE | PROT_EXEC) != 0)
    perror("mprotect");
}

int pdMustFlushICache() { return 1; }

uint64_t pdMainStackLimit() {
  struct rlimit r;
  if (getrlimit(RLIMIT_STACK, &r) != 0) return 0;
  return r.rlim_cur == RLIM_INFINITY ? UINT64_MAX : uint64_t(r.rlim_cur);
}

static uint32_t copyExternal(void* destination, const void* source, int64_t length) {
  if (length < 1) return (uint32_t)length;
  if (destination == nullptr || source == nullptr) return 0xFFFFFFFF;
  memcpy(destination, source, (size_t)length);
  return (uint32_t)length;
}

uint32_t pdCopyToExternalHeap(void* destination, const void* source, int64_t length) {
  return copyExternal(destination, source, length);
}

uint32_t pdCopyFromExternalHeap(void* destination, const void* source, int64_t length) {
  return copyExternal(destination, source, length);
}
