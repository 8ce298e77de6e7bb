// imagezip: a plain image compressed at a level loads back whole through the engine's
// loader; what is not a plain image is refused and nothing is written.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>

#include "mman/heapVerifier.h"
#include "mman/loadImages.h"
#include "mman/mmImageHeader.h"
#include "imageWriter.h"
#include "imageZip.h"

namespace {

TEST(ImageZip, CompressedImageLoadsWhole) {
  std::string plain = tempImagePath("zip-plain.im"), packed = tempImagePath("zip-packed.im");
  for (int level : {1, 9, 6}) {
    SCOPED_TRACE(level);
    SpanningHeap heap = buildSpanningHeap();
    ASSERT_EQ(writeHeapImage(plain, loadNormal), "");
    iwFreeHeap();
    std::vector<uint8_t> before = readFileBytes(plain);
    // Level 6 compresses the file over itself.
    std::string out = level == 6 ? plain : packed;
    ASSERT_EQ(zipImageFile(plain, out, level), "");
    std::vector<uint8_t> after = readFileBytes(out);
    ASSERT_GT(after.size(), sizeof(ImageHeader));
    EXPECT_LT(after.size(), before.size());
    ImageHeader header;
    memcpy(&header, after.data(), sizeof header);
    EXPECT_EQ(header.fileFormat, imageGzip);
    EXPECT_EQ(header.checksum, imageHeaderChecksum(&header));
    // Only the format byte and the checksum differ.
    EXPECT_EQ(memcmp(after.data(), before.data(), offsetof(ImageHeader, fileFormat)), 0);
    ASSERT_TRUE(loadImageInProcess(out));
    EXPECT_EQ(compareWithModel(loadedRoot(), heap.graph, 0), "");
    EXPECT_HEAP_VALID();
    freeLoadedKernel();
  }
  // The compressed file, a truncated one and a bad level are refused, leaving out alone.
  std::vector<uint8_t> compressed = readFileBytes(plain);
  std::string shortFile = tempImagePath("zip-short.im");
  writeFileBytes(shortFile, std::vector<uint8_t>(compressed.begin(), compressed.begin() + 100));
  writeFileBytes(packed, {7});
  struct Case {
    std::string in;
    int level;
  } refused[] = {{plain, 1}, {shortFile, 1}, {tempImagePath("zip-missing.im"), 1}, {plain, 0}, {plain, 10}};
  for (const Case& c : refused) {
    EXPECT_NE(zipImageFile(c.in, packed, c.level), "") << c.in << " " << c.level;
    EXPECT_EQ(readFileBytes(packed), std::vector<uint8_t>{7});
  }
  remove(plain.c_str());
  remove(packed.c_str());
  remove(shortFile.c_str());
}

}  // namespace
