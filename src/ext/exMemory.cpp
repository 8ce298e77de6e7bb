// The memory manager's entry points to the platform's memory.
// Owns no global record. Prefix: none (moreMemory, lessMemory).
#include "ext/exMemory.h"

#include "ext/platform.h"

void* moreMemory(uint64_t size, int wantMapped, uint64_t lowestAddress, uint64_t alignment,
                 int protection, int* mappedOut, uint64_t* sizeOut) {
  uint64_t page = pdGetPagesize();
  if (page == 0) page = 8192;
  if (wantMapped) {
    *mappedOut = 0;
    uint64_t low = (lowestAddress + page - 1) / page * page;
    void* p = pdMapMemory(size, low, alignment > page ? alignment : page, protection, sizeOut);
    if (p != nullptr) {
      *mappedOut = 1;
      return p;
    }
  }
  uint64_t pad = alignment > 8 ? alignment - 1 : 0;
  void* block = pdMoreMemory(size + pad, protection);
  if (sizeOut != nullptr) *sizeOut = block != nullptr ? size : 0;
  if (block == nullptr) return nullptr;
  if (pad == 0) return block;
  return (void*)(((uint64_t)block + pad) / alignment * alignment);
}

int lessMemory(void* address, uint64_t size, int wasMapped) {
  if (!wasMapped) {
    pdFreeMoreMemory(address);
    return 1;
  }
  return pdUnmapMemory(size, address);
}
