// Object memory: kernel start-up (sizing and placing the spaces, loading the image).
// Owns kernelSlots, kernelBlock and the decompression workspaces. Prefix: none (startKernel,
// loadKernel).
#pragma once
#include <cstdint>

// Indices of kernelSlots: the sizes start-up works with, in 8-byte words.
enum KernelSlot : uint32_t {
  slotsStack = 0,      // stack zone
  slotsCode = 1,       // code cache (native-method zone)
  slotsSurvivor = 2,   // one survivor space
  slotsEden = 3,       // eden
  slotsLarge = 4,      // large space
  slotsFixed = 5,      // fixed space
  slotsFixedPart = 6,  // everything above but the stack zone, with the gaps
  slotsOld = 7,        // the loaded old segment
  slotsPerm = 8,       // perm space, 0 when the image has none
  kernelSlotCount = 9,
};
extern uint64_t kernelSlots[kernelSlotCount];
// Words of the stack zone as start-up sized it; the old-space reserve counts them.
extern uint64_t stackSpaceSlots;
inline uint64_t realSlotsInStackSpace() { return stackSpaceSlots; }

enum : uint64_t {
  maxCodeCacheWords = 0x200000,          // a larger code cache is cut to this
  defaultHeadroomWords = 196608,         // old headroom at fraction 10000
  minHeadroomWords = 25000,              // the headroom is never asked below this
  edenGapBytes = 80,                     // after eden: room for the perm segment record
  loadHeapBlockBytes = 153600,           // C heap block used while loading (inflate workspace)
  kernelBlockAlignment = 32768,          // alignment of the block's base
  kernelBlockHint = 0x10000000,          // the block is sought from here up
  kernelBlockLimit = uint64_t(1) << 31,  // and must end below this
  readPieceBytes = 1 << 30,              // largest single read of a space
  oldReadPieceBytes = 1 << 17,           // old data read and relocated at a time (stays in cache)
};

// The one block holding every space but the stack zone and the headroom.
struct KernelBlock {
  uint64_t base;    // as granted (the spaces start at the next 32768-byte boundary)
  uint64_t bytes;   // granted
  uint32_t mapped;  // 1: a mapping that lessMemory may give back
};
extern KernelBlock kernelBlock;
extern uint64_t totalInitialAllocBytes;  // bytes asked for the block
extern uint64_t loadedOldSegment;        // address of the old segment read from the image
extern int64_t temp1RegisteredOopX, temp2RegisteredOopX;  // registry slots for start-up's own use

// Loads the image whose header has been read: sizes, places and reads every space, relocates,
// sets up the tables, applies the load policy and registers the primitives. Failures are
// fatal reports. Returns at the point where the image would be rebooted.
void loadKernel();
// After loadKernel: the request servers, the stack zone and the reboot into Smalltalk; does
// not return.
[[noreturn]] void runKernel();
// loadKernel, then runKernel.
[[noreturn]] void startKernel();
// Registers start-up's own primitives 307 (the default space sizes) and 407 (perm space in place).
void initKernelPrims();
// Installs the request servers that start-up owns: input (through the platform hook) and
// large-space compaction. The other components install theirs as they initialise.
void installRequestServers();
