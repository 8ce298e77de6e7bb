// Start-up's bottom half: the image file (the header read plainly, then the body plainly or
// inflated), the orderly exit and the engine's identity. Owns imageFilePtr, imageFileName,
// headerReadPending and the version globals. Prefix: none (readImageFile, closeImageFile,
// vmExit, ...).
#pragma once
#include <cstdint>

extern int32_t imageFilePtr;               // open image descriptor, -1 = none
extern uint32_t headerReadPending;         // the next image read is a plain read
extern const uint32_t hasTransFloatPrims;  // translated float primitives exist
extern uint32_t enableTP;                  // translated primitives in use
extern uint32_t enableTFP;                 // translated float primitives in use
extern uint32_t vmExiting;                 // vmExit has begun: a later vmExit ends at once

extern const char* imageFileName;          // the name the open image was opened by, or null

void closeImageFile();
uint64_t readImageFile(void* buffer, uint64_t count);
// After a short read of the header: when the platform refused the read itself, reports that
// the named image cannot be opened (0x1207) and answers 1; else answers 0.
int reportFailedImageRead();
// Reads count bytes from skip bytes ahead in a plain image without moving on: the bytes
// read, short at the end of the file; -1 when the image cannot be read ahead (compressed,
// or a file that cannot seek).
int64_t readImageFileAhead(void* buffer, uint64_t count, uint64_t skip);
// Reads count bytes of a plain image into [address, address + count) and hands them to
// each(from, to) in pieces of at most pieceBytes as they arrive (as pdReadInPieces does: a
// large read on several threads, in any order): the bytes read and handed over from the
// start, short when the file ended or a read failed; 0 for an image that cannot be read so.
uint64_t readImageFileInPieces(uint64_t address, uint64_t count, uint64_t pieceBytes,
                               void (*each)(uint64_t from, uint64_t to));
// The fresh memory [address, address + count) that readImageFileInPieces will fill (and the
// caller may fill before it) may be faulted in ahead meanwhile, after [first, first +
// firstCount), which the caller writes first (as pdFillAhead does); the next such read or
// closeImageFile ends that. Nothing for an image that cannot be read so.
void fillImageMemoryAhead(uint64_t address, uint64_t count, uint64_t first, uint64_t firstCount);
// Ends the process with code after the reports below; the platform ends timers and windows.
[[noreturn]] void vmExit(uint64_t code);

// Hook: 1 when the open image's body is a gzip stream, as its header says. Defined by object
// memory's image header (src/mman/mmImageHeader.cpp).
extern int (*const imageBodyIsCompressed)();
// Hook: what the engine reports as vmExit begins: the collectors' usage (TESSEL_GC_REPORT)
// and, under -xq, the dump to "stack.txt". Defined by start-up (src/prim/prStartup.cpp).
extern void (*const vmExitReports)();

// Engine identification.
extern const char* versionString;                        // the engine's version line (-v, banners)
extern const uint8_t vm_id0, vm_id1, vm_id2, vm_id3;  // version, platform, release major and minor
