// Compressed images: streaming inflate of the body and the conflate allocator.
// Owns the inflate stream of the image being loaded.
// Prefix: oe, conflate; readCompressedImage.
#include "ext/exInflate.h"

#include <cstring>
#include <zlib.h>

#include "ext/exError.h"
#include "ext/exInit.h"
#include "ext/exOption.h"
#include "ext/platform.h"

static_assert(sizeof(z_stream) <= conflateBlocksOffset - conflateStreamOffset,
              "the zlib stream record fits its place in the workspace");

// The workspace's first three words.
struct ConflateWorkspace {
  uint8_t* top;     // first never-used byte
  uint8_t* end;     // end of the workspace
  uint8_t* lowest;  // lowest block from which a search for a freed block starts
};

static uint16_t sizeWord(const uint8_t* block) {
  uint16_t s;
  memcpy(&s, block, 2);
  return s;
}

static void setSizeWord(uint8_t* block, uint16_t s) { memcpy(block, &s, 2); }
static bool isFree(const uint8_t* block) { return sizeWord(block) & 1; }
static uint64_t blockLength(const uint8_t* block) {
  uint16_t s = sizeWord(block);
  return (s & 1) ? (uint64_t)s * 2 + 2 : (uint64_t)s * 2 + 4;
}
static void markUsed(uint8_t* block, uint64_t b) { setSizeWord(block, (uint16_t)(b / 2 - 2)); }
static void markFree(uint8_t* block, uint64_t b) { setSizeWord(block, (uint16_t)(b / 2 - 1)); }

void* oeConflateInitAlloc(void* memory, uint64_t size) {
  if (memory == nullptr || size < conflateWorkspaceMinimum) return nullptr;
  uint8_t* base = (uint8_t*)memory;
  ConflateWorkspace* w = (ConflateWorkspace*)base;
  w->top = base + conflateBlocksOffset;
  w->end = base + size;
  w->lowest = w->top;
  z_stream* stream = (z_stream*)(base + conflateStreamOffset);
  memset(stream, 0, sizeof *stream);
  stream->zalloc = conflateAlloc;
  stream->zfree = conflateFree;
  stream->opaque = memory;
  return stream;
}

// The data address of a block taken for an allocation with the given header kind.
static void* takeBlock(uint8_t* block, uint64_t b, bool longHeader) {
  markUsed(block, b);
  if (!longHeader) return block + 2;
  memset(block + 2, 0, 6);  // the zero u16 at +6 marks the 8-byte header
  return block + 8;
}

// Merges the free block after this one when the result still fits a size word.
static bool mergeNext(ConflateWorkspace* w, uint8_t* block) {
  uint8_t* next = block + blockLength(block);
  if (next >= w->top || !isFree(next)) return false;
  uint64_t merged = blockLength(block) + blockLength(next);
  if (merged > conflateMaxBlock) return false;
  markFree(block, merged);
  return true;
}

// First fit among freed blocks, splitting or merging as needed; null when none fits.
static void* reuseBlock(ConflateWorkspace* w, uint64_t b, bool longHeader) {
  uint8_t* block = w->lowest;
  while (block < w->top) {
    if (!isFree(block)) {
      block += blockLength(block);
      continue;
    }
    uint64_t f = blockLength(block);
    if (f == b) {
      w->lowest = block;
      return takeBlock(block, b, longHeader);
    }
    if (f > b + 8) {
      markFree(block + b, f - b);
      w->lowest = block + b;
      return takeBlock(block, b, longHeader);
    }
    if (!mergeNext(w, block)) block += f;
  }
  return nullptr;
}

static void* imageWorkspace;  // the workspace lent for loading the image

void* conflateAlloc(void* opaque, unsigned items, unsigned size) {
  ConflateWorkspace* w = (ConflateWorkspace*)opaque;
  uint64_t n = (uint64_t)items * size;
  bool longHeader = size >= 3;
  uint64_t b = longHeader ? (n + 15) & ~(uint64_t)7 : (n + 9) & ~(uint64_t)7;
  if (b > conflateMaxBlock) return nullptr;
  if (w->top + b + 8 <= w->end) {
    uint8_t* block = w->top;
    w->top += b;
    return takeBlock(block, b, longHeader);
  }
  void* p = reuseBlock(w, b, longHeader);
  if (p == nullptr && opaque == imageWorkspace)
    REPORT_ERROR("Ran out of space while inflating image!", errContact | errCauseVMBug | errFatal);
  return p;
}

void conflateFree(void* opaque, void* pointer) {
  ConflateWorkspace* w = (ConflateWorkspace*)opaque;
  uint8_t* data = (uint8_t*)pointer;
  uint8_t* block = sizeWord(data - 2) != 0 ? data - 2 : data - 8;
  uint64_t b = blockLength(block);
  if (block + b == w->top) w->top = block;  // back to the bump area
  else markFree(block, b);
  if (block < w->lowest) w->lowest = block;
}

// ---- The compressed image body -------------------------------------------------------

static z_stream* imageStream;  // null until the first compressed read
DecompressionWorkspaces decompressionWorkspaces;
static uint8_t* inputBuffer;
static uint64_t inputSize;

static const char* const inflateSource = __FILE__;

// Reports of this reader are Notes (suppressed): the loader reports the short read in
// its own words.
static uint64_t compressedFailure(const char* message, int line) {
  doReportError(message, errNote | errImageUnloadable, inflateSource, line);
  return 0;
}

static int64_t readInput() {
  int error = 0;
  pdBeginCritical();
  int64_t n = pdRead(imageFilePtr, inputBuffer, inputSize, &error);
  pdEndCritical();
  return n;
}

// Checks the gzip magic and method byte, then lets zlib read the member: its header by
// its flags (extra field, file name, comment, header CRC, as the standard gzip tool
// writes them) and its trailer's CRC. Fewer than 10 bytes cannot be a member.
static bool startCompressedImage() {
  uint8_t* workspace = decompressionWorkspaces.workspace;
  uint64_t workspaceSize = decompressionWorkspaces.workspaceSize;
  inputBuffer = decompressionWorkspaces.input;
  inputSize = decompressionWorkspaces.inputSize;
  int64_t n = inputBuffer != nullptr && inputSize >= 10 ? readInput() : -1;
  if (n < 10) return compressedFailure("read past end of compressed image file", __LINE__);
  if (inputBuffer[0] != 0x1F || inputBuffer[1] != 0x8B || inputBuffer[2] != 0x08)
    return compressedFailure("compressed image data has incorrect header", __LINE__);
  z_stream* stream = (z_stream*)oeConflateInitAlloc(workspace, workspaceSize);
  if (stream == nullptr)
    return compressedFailure("failed to initialize decompression allocator", __LINE__);
  imageWorkspace = workspace;
  stream->next_in = inputBuffer;
  stream->avail_in = (uInt)n;
  if (inflateInit2(stream, 15 + 16) != Z_OK)
    return compressedFailure("failed to initialize decompression", __LINE__);
  imageStream = stream;
  return true;
}

uint64_t readCompressedImage(void* buffer, uint64_t count) {
  if (imageStream == nullptr && !startCompressedImage()) return 0;
  z_stream* stream = imageStream;
  stream->next_out = (Bytef*)buffer;
  stream->avail_out = (uInt)count;
  while (stream->avail_out > 0) {
    if (stream->avail_in == 0) {
      int64_t n = readInput();
      if (n < 1) return compressedFailure("read past end of compressed image file", __LINE__);
      stream->next_in = inputBuffer;
      stream->avail_in = (uInt)n;
    }
    int result = inflate(stream, Z_NO_FLUSH);
    if (result == Z_STREAM_END) break;  // a short body: answer what was read
    if (result != Z_OK) return 0;
  }
  return count - stream->avail_out;
}

void resetCompressedImage() {
  imageStream = nullptr;
  imageWorkspace = nullptr;
}
