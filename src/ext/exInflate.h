// Compressed images: the streaming inflate of an image body and the "conflate"
// allocator that gives zlib its memory from a borrowed workspace.
// Prefix: oe (exported C entry points), conflate (zlib's allocator callbacks).
#pragma once
#include <cstdint>

// Workspace layout (offsets in bytes):
//   0 top (first never-used byte)  8 end  16 lowest block a search starts from
//   24 the zlib stream record (at most 112 bytes)   136 blocks
// A block is a u16 size word and its data. For b bytes (b a multiple of 8, at most
// 0x20000) the word is b/2 - 2 in use and b/2 - 1 (odd) when free. Blocks for 1- and
// 2-byte elements have a 2-byte header (data at +2); larger ones an 8-byte header with a
// zero u16 at +6 (data at +8, 8-aligned), which is how conflateFree tells them apart.
enum : uint64_t {
  conflateWorkspaceMinimum = 32905,  // header and stream record, a 32 KB window, 1 byte
  conflateBlocksOffset = 136,
  conflateStreamOffset = 24,
  conflateMaxBlock = 0x20000,
};

extern "C" {
void* oeConflateInitAlloc(void* memory, uint64_t size);
void* conflateAlloc(void* opaque, unsigned items, unsigned size);
void conflateFree(void* opaque, void* pointer);
}

// Regions kernel start-up lends the inflater while the image loads, before the spaces they
// belong to are in use: one for the inflate allocator, one for compressed input.
struct DecompressionWorkspaces {
  uint8_t* workspace;      // inflate allocator's memory
  uint64_t workspaceSize;  // bytes
  uint8_t* input;          // compressed input buffer
  uint64_t inputSize;      // bytes
};
extern DecompressionWorkspaces decompressionWorkspaces;

// Reads count bytes of the compressed body (after the header) into buffer; answers the
// number of bytes produced, short of count at the end of the data or on failure.
uint64_t readCompressedImage(void* buffer, uint64_t count);
// Forgets the stream of the previous image (the workspaces are not freed: they are lent).
void resetCompressedImage();
