// The image writer: a heap spanning every space written plain, gzip-compressed and in the
// other byte order, each checked against the plain file; header accepted; output stable.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>
#include <zlib.h>

#include "imageWriter.h"
#include "mman/heapVerifier.h"
#include "mman/mmFixedSpace.h"
#include "mman/mmLargeSpace.h"
#include "mman/mmNewSpace.h"
#include "mman/mmOldSpace.h"
#include "mman/mmPermSpace.h"
#include "mman/mmRt.h"
#include "mman/mmSysOop.h"

namespace {

struct ByteBody {
  oop object;
  uint32_t classIndex;
};

// Distinct bytes per object, so each body occurs once in the file.
void fillPattern(ObjectHeader* h, uint32_t seed) {
  uint8_t* b = reinterpret_cast<uint8_t*>(bodyOf(h));
  uint32_t x = seed * 2654435761u + 12345;
  for (uint64_t i = 0; i < byteSizeOf(h); i++) {
    x = x * 1103515245u + 12345;
    b[i] = uint8_t(x >> 16);
  }
}

oop oldArray(uint64_t slots) {
  ObjectHeader* h = allocInOldSpace(classIndexArray, slots, slots * 8, hasPtrsBit, nilOop(), 1);
  return h != nullptr ? oopOf(h) : 0;
}

class ImageWriter : public ::testing::Test {
 protected:
  std::vector<ByteBody> byteBodies;
  std::string dir = ::testing::TempDir();
  ImageLayout savedLayout;

  void SetUp() override {
    savedLayout = imageLayout;
    IwHeapSizes sizes;
    sizes.fixedSegments = 2;
    sizes.oldSegments = 2;
    sizes.oldSlots = 16384;
    ASSERT_EQ(iwNewHeap(sizes), 1);
    buildSpanningHeap();
    if (HasFatalFailure()) return;
    ASSERT_EQ(verifyHeap(), "");
  }
  void TearDown() override {
    iwFreeHeap();
    imageLayout = savedLayout;
  }

  oop byteObject(ObjectHeader* h, uint32_t classIndex, int toOld) {
    if (h != nullptr && isInEden(oopOf(h))) h = iwMoveHeader(h, toOld);
    if (h == nullptr) return 0;
    fillPattern(h, uint32_t(byteBodies.size() + 1));
    byteBodies.push_back({oopOf(h), classIndex});
    return oopOf(h);
  }

  // Perm, past, large, fixed (both segments) and old (both segments) objects, with entries in
  // the remembered table (old to past) and the old one (perm to old), and a freed old body.
  void buildSpanningHeap() {
    oop root = oldArray(10);
    oop garbage = oldArray(40);
    ASSERT_NE(root, 0u);
    recycleOldObj(headerOf(garbage));
    ObjectHeader* perm = allocInPermSpace(classIndexArray, 2, 16, hasPtrsBit, nilOop());
    ObjectHeader* past = allocInPastSpace(classIndexArray, 2, 16, hasPtrsBit, nilOop());
    ASSERT_TRUE(perm != nullptr && past != nullptr);
    oop two = byteObject(allocInPermSpace(classIndexTwoByteString, 0, 22, 0, noFill), classIndexTwoByteString, 0);
    oop floats = byteObject(allocInPastSpace(classIndexFloat, 0, 20, 0, noFill), classIndexFloat, 0);
    oop dbl = byteObject(allocInOldSpace(classIndexDouble, 0, 8, 0, noFill, 1), classIndexDouble, 0);
    oop large = byteObject(allocInLargeSpace(classIndexByteArray, 3001, 0, noFill), classIndexByteArray, 1);
    oop fixed0 = byteObject(allocInFixedSpace(classIndexByteString, 77, 0, noFill), classIndexByteString, 0);
    iwUseFixedSegment(1);
    oop fixed1 = byteObject(allocInFixedSpace(classIndexByteArray, 300, 0, noFill), classIndexByteArray, 1);
    iwUseOldSegment(1);
    oop symbol = byteObject(allocInOldSpace(classIndexTwoByteSymbol, 0, 16, 0, noFill, 1), classIndexTwoByteSymbol, 0);
    oop bytes = byteObject(allocInOldSpace(classIndexByteString, 0, 13, 0, noFill, 1), classIndexByteString, 0);
    oop later = oldArray(3);
    ASSERT_TRUE(two && floats && dbl && large && fixed0 && fixed1 && symbol && bytes && later);
    ASSERT_GT(uint64_t(headerOf(later)), oldSpaceSegs.first->otHigh);  // in the second segment
    uint64_t slot = 0;
    for (oop o : {oopOf(past), two, floats, dbl, large, fixed0, fixed1, symbol, bytes, later})
      storeSlot(root, slot++, o, __FILE__, __LINE__);
    storeSlot(oopOf(perm), 0, root, __FILE__, __LINE__);
    storeSlot(oopOf(perm), 1, two, __FILE__, __LINE__);
    storeSlot(later, 0, oopOf(past), __FILE__, __LINE__);
    storeSlot(oopOf(past), 0, fixed1, __FILE__, __LINE__);
    ASSERT_TRUE(inRt(headerOf(root)) && inRt(headerOf(later)));
    ASSERT_TRUE(isInOldRt(perm));
  }

  std::string write(const char* name, const IwWriteOptions& options, std::vector<uint8_t>* file) {
    std::string path = dir + name;
    uint64_t bytes = 0;
    EXPECT_EQ(iwWriteImage(path.c_str(), options, &bytes), 0);
    FILE* f = fopen(path.c_str(), "rb");
    EXPECT_NE(f, nullptr);
    file->clear();
    if (f != nullptr) {
      int c;
      while ((c = fgetc(f)) != EOF) file->push_back(uint8_t(c));
      fclose(f);
    }
    remove(path.c_str());
    EXPECT_EQ(file->size(), bytes);
    return path;
  }
};

ImageHeader headerIn(const std::vector<uint8_t>& file) {
  ImageHeader h;
  memcpy(&h, file.data(), sizeof h);
  return h;
}

uint64_t reversed(uint64_t w) {
  uint64_t r = 0;
  for (int i = 0; i < 8; i++) r = (r << 8) | ((w >> (8 * i)) & 0xFF);
  return r;
}

TEST_F(ImageWriter, PlainFileHoldsEveryPieceTheHeaderNamesAndIsStable) {
  std::vector<uint8_t> first, second;
  write("plain1.im", IwWriteOptions(), &first);
  EXPECT_EQ(verifyHeap(), "");
  write("plain2.im", IwWriteOptions(), &second);
  EXPECT_TRUE(first == second);

  ImageHeader h = headerIn(first);
  EXPECT_EQ(memcmp(&h, &iwLastHeader, sizeof h), 0);
  EXPECT_EQ(h.checksum, imageHeaderChecksum(&h));
  EXPECT_EQ(h.oldSegmentsMinusOne, 1u);
  EXPECT_GT(h.permDataBytes, 0u);
  EXPECT_GT(h.pastSpaceBytes, 0u);
  EXPECT_GT(h.largeDataBytes, 0u);
  EXPECT_GT(h.fixedDataBytes, 0u);
  EXPECT_EQ(h.fixedTableBytes % blockTableEntryBytes, 0u);
  EXPECT_NE(h.threadedDataHead, 0u);
  uint64_t body = h.permDataBytes + h.permOTBytes + h.pastSpaceBytes + h.largeDataBytes + h.largeTableBytes +
                  h.fixedDataBytes + h.fixedTableBytes + h.oldDataBytes + 32 * (h.oldSegmentsMinusOne + 1) +
                  h.oldOTBytes;
  EXPECT_EQ(first.size(), imageHeaderBytes + body);
  EXPECT_EQ(acceptImageHeader(&h, 1), 1);
  EXPECT_EQ(imageLayout.swapped, 0u);
  EXPECT_EQ(imageLayout.oldDataStart, iwLastHeader.oldDataStart);

  // Every body is in the file, once.
  for (const ByteBody& b : byteBodies) {
    const uint8_t* p = reinterpret_cast<const uint8_t*>(bodyOf(headerOf(b.object)));
    auto at = std::search(first.begin() + imageHeaderBytes, first.end(), p, p + bodyBytesOf(headerOf(b.object)));
    ASSERT_NE(at, first.end()) << "class " << b.classIndex;
  }
}

TEST_F(ImageWriter, GzipBodyInflatesToThePlainBody) {
  std::vector<uint8_t> plain, packed;
  write("plain.im", IwWriteOptions(), &plain);
  IwWriteOptions options;
  options.gzip = true;
  options.kind = loadDemote;
  write("packed.im", options, &packed);

  ImageHeader h = headerIn(packed);
  EXPECT_EQ(h.fileFormat, imageGzip);
  EXPECT_EQ(h.snapshotKind, loadDemote);
  EXPECT_EQ(h.checksum, imageHeaderChecksum(&h));
  ImageHeader expected = headerIn(plain);
  expected.fileFormat = imageGzip;
  expected.snapshotKind = loadDemote;
  sealImageHeader(&expected);
  EXPECT_EQ(memcmp(&h, &expected, sizeof h), 0);
  EXPECT_EQ(acceptImageHeader(&h, 1), 1);
  EXPECT_EQ(getImageFileFormat(), imageGzip);

  ASSERT_GT(packed.size(), imageHeaderBytes + 10);
  EXPECT_EQ(packed[1024], 0x1F);
  EXPECT_EQ(packed[1025], 0x8B);
  EXPECT_EQ(packed[1026], 0x08);
  EXPECT_LT(packed.size(), plain.size());
  z_stream z;
  memset(&z, 0, sizeof z);
  ASSERT_EQ(inflateInit2(&z, 15 + 16), Z_OK);
  std::vector<uint8_t> out(plain.size() - imageHeaderBytes + 64);
  z.next_in = packed.data() + imageHeaderBytes;
  z.avail_in = uInt(packed.size() - imageHeaderBytes);
  z.next_out = out.data();
  z.avail_out = uInt(out.size());
  EXPECT_EQ(inflate(&z, Z_FINISH), Z_STREAM_END);
  EXPECT_EQ(z.avail_in, 0u);  // one member, nothing after it
  out.resize(z.total_out);
  inflateEnd(&z);
  EXPECT_TRUE(std::equal(out.begin(), out.end(), plain.begin() + imageHeaderBytes, plain.end()));
  EXPECT_EQ(out.size(), plain.size() - imageHeaderBytes);
}

// Undoing what a reader of the other byte order undoes must give the plain file back: the
// header's swap fields, every body word, then byte bodies by class.
TEST_F(ImageWriter, OtherByteOrderRepairsToThePlainFile) {
  std::vector<uint8_t> plain, other;
  write("plain.im", IwWriteOptions(), &plain);
  IwWriteOptions options;
  options.otherByteOrder = true;
  write("other.im", options, &other);
  EXPECT_EQ(verifyHeap(), "");
  ASSERT_EQ(other.size(), plain.size());

  ImageHeader h = headerIn(other);
  EXPECT_EQ(h.flags & imageFlagSameOrder, 0);
  EXPECT_EQ(h.checksum, imageHeaderChecksum(&h));
  ImageHeader accepted = h;
  EXPECT_EQ(acceptImageHeader(&accepted, 1), 1);
  EXPECT_EQ(imageLayout.swapped, 1u);
  EXPECT_EQ(imageLayout.oldDataStart, iwLastHeader.oldDataStart);
  EXPECT_EQ(imageLayout.permDataBytes, iwLastHeader.permDataBytes);
  EXPECT_EQ(imageLayout.fixedSizeFraction, iwLastHeader.fixedSizeFraction);
  swapImageHeader(&h);
  h.flags |= imageFlagSameOrder;
  sealImageHeader(&h);
  EXPECT_EQ(memcmp(&h, plain.data(), sizeof h), 0);

  std::vector<uint8_t> repaired(other);
  for (uint64_t at = imageHeaderBytes; at < repaired.size(); at += 8) {
    uint64_t w;
    memcpy(&w, &repaired[at], 8);
    w = reversed(w);
    memcpy(&repaired[at], &w, 8);
  }
  uint32_t found = 0;
  for (const ByteBody& b : byteBodies) {
    ObjectHeader* o = headerOf(b.object);
    const uint8_t* p = reinterpret_cast<const uint8_t*>(bodyOf(o));
    auto at = std::search(plain.begin() + imageHeaderBytes, plain.end(), p, p + bodyBytesOf(o));
    ASSERT_NE(at, plain.end());
    for (uint64_t i = uint64_t(at - plain.begin()), end = i + bodyBytesOf(o); i < end; i += 8) {
      uint64_t w;
      memcpy(&w, &repaired[i], 8);
      if (b.classIndex == classIndexFloat) {
        w = (w << 32) | (w >> 32);
      } else if (b.classIndex == classIndexTwoByteString || b.classIndex == classIndexTwoByteSymbol) {
        w = (w << 32) | (w >> 32);
        w = ((w & 0x0000FFFF0000FFFFull) << 16) | ((w >> 16) & 0x0000FFFF0000FFFFull);
      } else if (b.classIndex != classIndexDouble) {
        w = reversed(w);
      }
      memcpy(&repaired[i], &w, 8);
    }
    found++;
  }
  EXPECT_EQ(found, byteBodies.size());
  memcpy(repaired.data(), plain.data(), imageHeaderBytes);
  EXPECT_TRUE(repaired == plain);
}

}  // namespace
