// Translator: the native-method zone: layout of the code area, the block allocator (bump, then
// first fit over holes), the permanent area at the top, scratch space and zone walkers.
// Owns nmZone and its counters. Prefix: nMethod (allocator), nm (zone state), print (listings).
#pragma once
#include <cstdint>
#include <cstdio>

#include "mman/mmObject.h"
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

// ---- Method-to-nmethod tables ----------------------------------------------------------------
// Six hash tables of singly linked chains through each header's link word: blocks by argument
// count (0, 1, 2, 3 and more), methods, and PICs (by selector). An nmethod is in one chain at
// most; a hit moves it to the front, so a chain runs from the most recently found.
// The tables themselves (allVToNTables, tableForVMethod, clearNTable) are the lookup's.
enum : uint32_t { nmMethodTable = 4, nmPICTable = 5, nmTableCount = 6 };
extern uint32_t notInTableReason;  // why nMethodIsInTables refused: 1 outside, 2 no PIC selector, 4 no method, 5 not filed
extern uint32_t nmFreeBucketCursor;  // nmFreeUntil resumes here (masked per table)
extern int32_t nmFreeTableCursor;    // ... and with this table (5 down to 0)

// The table an nmethod is filed in: by kind and argument count, a PIC in the PIC table.
struct VToNTable* tableOfNMethod(const NMethodHeader* nmethod);
// The key an nmethod is filed under: its method's identity hash (given one when it has none),
// for a PIC its selector's hash.
uint32_t nmTableKey(const NMethodHeader* nmethod);
// Links the nmethod at the head of its chain.
void nmTableAdd(NMethodHeader* nmethod);
// The word that points to the nmethod in its chain (a bucket head or a link word), or null.
uint64_t* findNMethodLinkBefore(const NMethodHeader* nmethod);
int nMethodIsInTables(uint64_t block);

// ---- Native-method collection ----------------------------------------------------------------
// Frees nmethods oldest first until bytesWanted bytes are free: passes free the marks that have
// no bit in common with the pass mask (255: marks 0, then below 2, 4, ... 128; 0x1FF: marks 0
// only). Answers the bytes freed.
uint64_t nmFreeUntil(uint64_t bytesWanted, uint32_t mask, int stopIfNothingWanted);
int nmSweepPICs(int allCases);
// Frees about bytesWanted bytes (never an nmethod with a frame) and slides the zone down,
// moving every frame, cache entry, list entry, chain link and send site with it.
void nmCompact(int64_t bytesWanted);
uint64_t listNMethod(uint64_t nmethod);
void invalidateNMethods();
void invalidatePostFreeNMethods();
void nmUpdateNewRefs();  // scavenger hook
int markNMethodsWithMarkedObjs();
int markNMethodsAsNotReferringTo(oop object);
void unlinkAndFreeUnmarkedNMethods(uint32_t anyUnmarked);

// ---- Send-site links -------------------------------------------------------------------------
// Entries of an nmethod's PC map that name places in its code.
enum NMapPlace : uint32_t { nmPlaceSite, nmPlaceNewLiteral, nmPlaceRelCall, nmPlaceProgram };
// Calls fn for every send site (at its return address, with its send type), new-space literal
// (its first byte), rel-call displacement (its first byte) and program address of the nmethod.
void nMethodMapDo(const NMethodHeader* nmethod,
                  void (*fn)(NMapPlace kind, uint64_t position, uint32_t sendType, void* data), void* data);
// The target nmethod (or PIC) a site linked to, or 0 when the site calls outside the zone.
uint64_t nmSiteTarget(uint64_t returnAddress, uint32_t sendType);
uint32_t indexForSelectorInNMethod(oop selector, const NMethodHeader* nmethod);
void nmUnlinkSite(const NMethodHeader* nmethod, uint64_t returnAddress, uint32_t sendType);
int nmInvalidateLinks(const NMethodHeader* nmethod);
int nmInvalidateLinksTo(const NMethodHeader* nmethod, oop selector);
int nmInvalidateLinksToFree(const NMethodHeader* nmethod);
int nmInvalidateLinksToUnmarked(const NMethodHeader* nmethod);
void nMethodRelocateLinks(const NMethodHeader* nmethod);
int nMethodRefersToMustScanNMethod(oop object);
int nMethodRefersTo(const NMethodHeader* nmethod, oop object, int mustScan);
int nmUpdateNewLiterals();
uint64_t nMethodUnlink(NMethodHeader* nmethod);

// Flushes when methods change (the lookup's side).
// A compiled method being replaced: its nmethods become unenterable and are freed, except one
// with an activation, which stays unlinked until the next sweep; the cache and the sites that
// called them forget them.
void nmFlushCachedCodeForMethod(oop method);
// A method for the selector was added or removed somewhere: every nmethod of it is unlinked.
void nmFlushLookupEntriesForSelector(oop selector);
void nmFlushLookupCache();

// The PIC family's maintenance operations, registered by the PICs; PIC blocks are handed to
// them by the collection. Null until the PICs register them: no PIC exists before that.
struct NPICMaintenance {
  int (*shouldFreePIC)(uint64_t pic, int allCases);
  void (*relocateLinks)(uint64_t pic);
  void (*restorePostRelocation)(uint64_t pic);
  int (*hasLinksToUnmarked)(uint64_t pic);
  uint64_t (*updateNewLits)(uint64_t pic, int* freed);
  void (*flushCachedMNUMethodEntriesForMethod)(oop method);
  void (*flushPICEntriesForSelector)(oop selector);
};
extern NPICMaintenance npicOps;
