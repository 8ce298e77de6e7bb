// Compressed image bodies and the conflate allocator that zlib works in.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>
#include <zlib.h>

#include "ext/exInflate.h"
#include "ext/exInit.h"
#include "ext/exOption.h"
#include "ext/platform.h"
#include "mman/mmImageHeader.h"
#include "mman/mmFixedSpace.h"
#include "mman/mmInit.h"
#include "mman/testHeap.h"
#include "prim/prLinkRegistry.h"

namespace {

// A gzip member of data; with named, its header carries every optional field (extra field,
// file name, comment, header CRC) as the standard tool may write them.
std::vector<uint8_t> gzipOf(const std::vector<uint8_t>& data, bool named = false) {
  z_stream s;
  memset(&s, 0, sizeof s);
  deflateInit2(&s, 6, Z_DEFLATED, 31, 8, Z_DEFAULT_STRATEGY);  // 31: a plain gzip header
  uint8_t extra[] = {'t', 's', 2, 0, 7, 9};
  gz_header header;
  memset(&header, 0, sizeof header);
  header.extra = extra, header.extra_len = sizeof extra;
  header.name = (Bytef*)"image.im", header.comment = (Bytef*)"saved", header.hcrc = 1;
  if (named) deflateSetHeader(&s, &header);
  std::vector<uint8_t> out(compressBound((uLong)data.size()) + 64);
  s.next_in = (Bytef*)data.data();
  s.avail_in = (uInt)data.size();
  s.next_out = out.data();
  s.avail_out = (uInt)out.size();
  deflate(&s, Z_FINISH);
  out.resize(s.total_out);
  deflateEnd(&s);
  return out;
}

std::vector<uint8_t> patterned(size_t n) {
  std::vector<uint8_t> data(n);
  uint32_t x = 12345;
  for (size_t i = 0; i < n; i++) {
    x = x * 1103515245 + 12345;
    data[i] = (uint8_t)((i % 7 == 0) ? x >> 24 : i);
  }
  return data;
}

// Opens a file holding body as an image of format 1 whose header has been read.
class CompressedImage : public testing::Test {
 protected:
  std::vector<uint8_t> workspace = std::vector<uint8_t>(256 * 1024);
  std::vector<uint8_t> input = std::vector<uint8_t>(4096);

  void open(const std::vector<uint8_t>& body) {
    std::string path = testing::TempDir() + "body.gz";
    FILE* f = fopen(path.c_str(), "wb");
    if (!body.empty()) fwrite(body.data(), 1, body.size(), f);
    fclose(f);
    int error = 0;
    imageFilePtr = (int32_t)pdOpenImage(path.c_str(), pdOpenRead, &error);
    ASSERT_GE(imageFilePtr, 0);
    headerReadPending = 0;
    imageLayout.format = imageGzip;
    decompressionWorkspaces = {workspace.data(), workspace.size(), input.data(), input.size()};
  }
  void TearDown() override {
    closeImageFile();
    imageLayout.format = imagePlain;
    decompressionWorkspaces = {};
  }
};

TEST_F(CompressedImage, SuccessiveReadsContinueOneStream) {
  std::vector<uint8_t> data = patterned(200000);
  for (bool named : {false, true}) {
    open(gzipOf(data, named));
    std::vector<uint8_t> got(data.size());
    ASSERT_EQ(readImageFile(got.data(), 100), 100u) << named;
    ASSERT_EQ(readImageFile(got.data() + 100, 200), 200u);
    ASSERT_EQ(readImageFile(got.data() + 300, data.size() - 300), data.size() - 300);
    EXPECT_EQ(got, data) << named;
    closeImageFile();
  }
}

// A well-formed body shorter than the loader asks for is a short read, not a hang.
TEST_F(CompressedImage, ShortBodyAnswersWhatItHolds) {
  std::vector<uint8_t> data = patterned(5000);
  open(gzipOf(data));
  std::vector<uint8_t> got(8000);
  EXPECT_EQ(readImageFile(got.data(), got.size()), 5000u);
  EXPECT_EQ(readImageFile(got.data(), 10), 0u);
  EXPECT_EQ(memcmp(got.data(), data.data(), 5000), 0);
}

TEST_F(CompressedImage, BrokenBodiesFailCleanly) {
  std::vector<uint8_t> gz = gzipOf(patterned(100000));
  std::vector<uint8_t> corrupt = gz;
  for (size_t i = 20; i < corrupt.size(); i += 3) corrupt[i] ^= 0x5A;
  std::vector<uint8_t> method = gz, flags = gz;
  method[2] = 7;
  flags[3] = 0xE0;  // reserved flag bits
  std::vector<uint8_t> badHeaderCrc = gzipOf(patterned(1000), true);
  badHeaderCrc[10 + 8 + 9 + 6] ^= 1;  // after the fixed part, the extra field, the name, the comment
  struct Case {
    const char* name;
    std::vector<uint8_t> body;
  } cases[] = {
      {"truncated", std::vector<uint8_t>(gz.begin(), gz.begin() + (long)gz.size() / 2)},
      {"corrupt", corrupt},
      {"not gzip", std::vector<uint8_t>(100, 'x')},
      {"method 7", method},
      {"reserved flags", flags},
      {"header CRC", badHeaderCrc},
      {"nine bytes", std::vector<uint8_t>(gz.begin(), gz.begin() + 9)},
      {"shorter than the gzip header", std::vector<uint8_t>(gz.begin(), gz.begin() + 5)},
      {"three bytes", std::vector<uint8_t>(gz.begin(), gz.begin() + 3)},
      {"two bytes", std::vector<uint8_t>(gz.begin(), gz.begin() + 2)},
      {"empty", {}},
  };
  for (const Case& c : cases) {
    open(c.body);
    std::vector<uint8_t> got(100000);
    EXPECT_LT(readImageFile(got.data(), got.size()), got.size()) << c.name;
    closeImageFile();
  }
}

TEST(Conflate, WorkspaceMinimumAndStreamPlace) {
  std::vector<uint8_t> memory(conflateWorkspaceMinimum);
  EXPECT_EQ(oeConflateInitAlloc(memory.data(), conflateWorkspaceMinimum - 1), nullptr);
  EXPECT_EQ(oeConflateInitAlloc(memory.data(), conflateWorkspaceMinimum),
            memory.data() + conflateStreamOffset);
}

// Only a fixed-space byte body can hold a workspace: it never moves while zlib works in it.
TEST(Conflate, HeapObjectWorkspaceOnlyInFixedSpace) {
  ArenaSizes sizes = testHeapSizes();
  sizes.fixedWords = 3 * conflateWorkspaceMinimum / 8;
  newTestHeap(1 << 17, 100, sizes);
  ObjectHeader* fixed = allocInFixedSpace(testClasses.bytes, conflateWorkspaceMinimum + 3, 0, 0);
  ObjectHeader* small = allocInFixedSpace(testClasses.bytes, conflateWorkspaceMinimum - 1, 0, 0);
  ASSERT_NE(fixed, nullptr);
  ASSERT_NE(small, nullptr);
  EXPECT_EQ(oeConflateInitHeapObj(oopOf(fixed)), reinterpret_cast<uint8_t*>(bodyOf(fixed)) + conflateStreamOffset);
  EXPECT_EQ(oeConflateInitHeapObj(oopOf(small)), nullptr);
  EXPECT_EQ(oeConflateInitHeapObj(newOldObject(testClasses.bytes, conflateWorkspaceMinimum + 3)), nullptr);
  EXPECT_EQ(oeConflateInitHeapObj(smallIntegerFor(5)), nullptr);
  freeTestHeap();
}

// Bump allocation first; freed blocks are searched only once the bump area is spent.
TEST(Conflate, BlocksAreReusedSplitAndGivenBack) {
  const uint64_t size = 32912;
  std::vector<uint64_t> memory(size / 8);
  uint8_t* base = (uint8_t*)memory.data();
  ASSERT_NE(oeConflateInitAlloc(base, size), nullptr);
  uint8_t** top = (uint8_t**)base;
  EXPECT_EQ(conflateAlloc(base, 0x20001, 1), nullptr);  // over the largest block
  uint8_t* a = (uint8_t*)conflateAlloc(base, 100, 8);  // 8-byte header
  uint8_t* b = (uint8_t*)conflateAlloc(base, 10, 1);   // 2-byte header
  uint8_t* c = (uint8_t*)conflateAlloc(base, 3, 4);
  EXPECT_EQ(a, base + conflateBlocksOffset + 8);
  EXPECT_EQ(b, a + 800 + 2);
  memset(a, 0xEE, 800);
  memset(b, 0xEE, 10);
  uint8_t* topBefore = *top;
  conflateFree(base, c);  // the last block goes back to the bump area
  EXPECT_EQ(*top, topBefore - 24);
  for (unsigned words : {125u, 1u})  // spend the bump area
    while (conflateAlloc(base, words, 8) != nullptr) {
    }
  conflateFree(base, a);
  EXPECT_EQ(conflateAlloc(base, 100, 8), a);  // the same size reuses the freed block
  conflateFree(base, a);
  EXPECT_EQ(conflateAlloc(base, 4, 8), a);  // first fit splits it
  EXPECT_EQ(conflateAlloc(base, 90, 8), a + 40);  // the rest stays free for later
  conflateFree(base, b);
  // The 40-byte rest before b is split first; its 24-byte tail is then too small, so the
  // freed b is merged into it and split again.
  EXPECT_EQ(conflateAlloc(base, 10, 1), a - 8 + 768 + 2);
  EXPECT_EQ(conflateAlloc(base, 10, 1), a - 8 + 784 + 2);
}

// The bump area is used up to its last byte less the 8 it keeps: an allocation that fills a
// workspace exactly succeeds, one byte less of workspace refuses it.
TEST(Conflate, BumpAllocationFillsTheWorkspaceExactly) {
  const uint64_t block = 32768;  // 4095 words with an 8-byte header
  for (uint64_t spare : {0u, 1u}) {
    uint64_t size = conflateBlocksOffset + block + 8 - spare;
    std::vector<uint64_t> memory(size / 8 + 1);
    uint8_t* base = (uint8_t*)memory.data();
    ASSERT_NE(oeConflateInitAlloc(base, size), nullptr);
    void* p = conflateAlloc(base, 4095, 8);
    if (spare == 0) {
      EXPECT_EQ(p, base + conflateBlocksOffset + 8);
      EXPECT_EQ(*(uint8_t**)base, base + size - 8);  // the top stops 8 short of the end
    } else {
      EXPECT_EQ(p, nullptr);
    }
  }
}

// Merging never makes a block larger than its size word can describe.
TEST(Conflate, MergesStayWithinTheLargestBlock) {
  const uint64_t size = conflateBlocksOffset + 3 * 0x10000 + 64;
  std::vector<uint64_t> memory(size / 8 + 1);
  uint8_t* base = (uint8_t*)memory.data();
  ASSERT_NE(oeConflateInitAlloc(base, size), nullptr);
  const unsigned words = (0x10000 - 8) / 8;
  void* x = conflateAlloc(base, words, 8);
  void* y = conflateAlloc(base, words, 8);
  void* z = conflateAlloc(base, words, 8);
  ASSERT_NE(z, nullptr);
  void* w = conflateAlloc(base, 2, 8);  // keeps the three from returning to the bump area
  ASSERT_NE(w, nullptr);
  conflateFree(base, x);
  conflateFree(base, y);
  conflateFree(base, z);
  // x and y merge to exactly 0x20000; adding z would pass the limit.
  void* big = conflateAlloc(base, 2 * words + 1, 8);
  EXPECT_EQ(big, x);
  EXPECT_EQ(conflateAlloc(base, words, 8), z);
  EXPECT_EQ(conflateAlloc(base, words, 8), nullptr);  // not the image workspace: null
}

}  // namespace
