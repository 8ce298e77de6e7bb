// Translator: the native-method zone: layout of the code area, the block allocator (bump, then
// first fit over holes), the permanent area at the top, scratch space and zone walkers.
// Owns nmZone and its counters. Prefix: nMethod (allocator), nm (zone state), print (listings).
#pragma once
#include <cstdint>
#include <cstdio>

#include "tran/nmLayout.h"

// The zone, upward: [bottom, free) a contiguous chain of blocks, each starting with an
// NMethodHeader; [free, list) unused; [list, top) the list area (8-byte nmethod pointers,
// growing down); [top, first top) the permanent area (stubs and tables, growing down).
// Invariant "chain ends at free": stepping from bottom by usedSize (or, for a free block, by
// its size at offset 24) reaches free exactly, and holes bytes is the sum of the free blocks.
struct NMZone {
  uint64_t bottom;      // lowest address, 16-byte aligned
  uint64_t top;         // upper end of the allocatable zone; permanent area above
  uint64_t list;        // lower end of the list area, which ends at top
  uint64_t free;        // bump pointer: first byte above the last block
  uint64_t holesStart;  // no free block lies below this
  uint64_t holesBytes;  // bytes in free blocks below free
};
extern NMZone nmZone;
extern uint64_t nmZoneSize;        // bytes from bottom to the end of the code area
extern uint64_t nmAllocRequest;    // bytes of the last allocation request
extern uint64_t minNZonePC;        // = bottom
extern uint64_t maxNZonePC;        // the first top - 1
extern uint64_t minNZoneRTPC;      // lowest byte of the permanent area
extern uint64_t runtimeBase;       // top when the translator started
extern uint64_t icacheStubAddress; // the EB 00 C3 stub at the area's start
extern uint32_t tHasCleanSends;    // 1 when the platform needs no i-cache flush
extern "C" void (*rtFlushICache)();  // called after code is written

enum : uint32_t {
  nmZoneReserve = 48,      // bytes kept between free and list
  nmMinSplitExcess = 40,   // a hole must exceed the request by more than this to be split
  nmMinShortenTail = 40,   // a shortened tail this large becomes a hole
};

// Hooks into later components; null until they exist.
struct NMethodZoneHooks {
  int64_t (*initMCache)(uint64_t address, uint64_t bytes);  // bytes used, or -1
  void (*clearMCache)();
  void (*clearNTable)();
  int (*nMethodIsInTables)(uint64_t block);
  void (*nmCompact)(int64_t target);
  void (*initTranslator)();  // register cache, simulated stack, action table, nmethod prims
  void (*printNPIC)(uint64_t block, FILE* stream);
};
extern NMethodZoneHooks nmHooks;
extern uint32_t relocatingNMethods;  // 1 while compaction moves blocks

int initNMethods(uint64_t codeArea, uint64_t size);
void initNMethodAlloc(uint64_t codeArea, uint64_t size);
void reInitNMethods();
void scratchNmzBounds(uint64_t* low, uint64_t* high);
NMethodHeader* nMethodAlloc(uint64_t size);
void nMethodDealloc(NMethodHeader* block);
void nMethodShorten(NMethodHeader* block, uint64_t newSize);
int nMethodAddToList(uint64_t nmethod);
void nMethodSelectFromList(uint64_t (*fn)(uint64_t entry));
uint64_t nMethodForPC(uint64_t pc);
uint64_t nMethodForPCVal(uint64_t pc);
int isNMethod(uint64_t p);
int compactNMethods();
int compactAllNMethods();
uint64_t nMethodAllocScratch(uint64_t size);
uint64_t nMethodPermAlloc(uint64_t size);
// Size of a block in the chain: usedSize, or the free size of a free block.
inline uint64_t nMethodBlockSize(const NMethodHeader* b) { return b->usedSize != 0 ? b->usedSize : b->vmethod; }
// Calls fn on every block from bottom to free; stops early at a damaged step (under 40 bytes)
// and answers 0 then, else 1.
int nMethodZoneDo(void (*fn)(NMethodHeader* block, void* data), void* data);

// Listings.
void printNMethod(uint64_t block, FILE* stream);
void printNM(uint64_t block);
void dbPrintNMethod(uint64_t block);
void printNMAtPC(uint64_t pc);
void printNMZone();
void printUnlinkedNMethods();
void printNMethodsForVMethod(uint64_t method);
