// The memory manager's entry points to the platform's memory: mappings, or blocks of the
// data segment where mapping fails. Owns no global record. Prefix: none (moreMemory, lessMemory).
#pragma once
#include <cstdint>

// Memory for the memory manager: when wantMapped, an anonymous mapping at or above
// lowestAddress (mappedOut := 1); otherwise, or when mapping fails, a data-segment block
// aligned to alignment. sizeOut (may be null) gets the size granted. 0 when refused.
void* moreMemory(uint64_t size, int wantMapped, uint64_t lowestAddress, uint64_t alignment,
                 int protection, int* mappedOut, uint64_t* sizeOut);
// Gives back memory from moreMemory; blocks of the data segment are kept.
int lessMemory(void* address, uint64_t size, int wasMapped);
