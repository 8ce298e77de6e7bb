// Image header: checksum, byte-order repair and the checks of acceptImageHeader.
#include <gtest/gtest.h>

#include <cstring>

#include "ext/exOption.h"
#include "mman/mmImageHeader.h"

namespace {

ImageHeader sampleHeader() {
  ImageHeader h;
  memset(&h, 0, sizeof h);
  h.imageType = imageType64;
  h.imageSubType = 2;
  h.flags = imageFlagSameOrder;
  h.marker = imageMarker;
  h.newSpaceBase = 0x1000;
  h.permDataStart = 0x40000000;
  h.largeDataStart = 0x20000000;
  h.oldDataStart = 0x30000000;
  h.sysOopRegistryOop = 0x30001230;
  h.firstFreeRegistryIndex = 64;
  h.lastHash = 77;
  h.fixedSizeFraction = 1234;
  h.edenWarningFraction = 9000;
  strcpy(h.heraldString, "test herald");
  return h;
}

// The option switches a case sets, as the test found them.
class ImageHeader_Accept : public ::testing::Test {
 protected:
  uint64_t savedOptions = qrxOptions;
  uint32_t savedHerald = showHerald;
  const char* savedPolicy = desiredLoadPolicyName;
  void TearDown() override {
    qrxOptions = savedOptions;
    showHerald = savedHerald;
    desiredLoadPolicyName = savedPolicy;
  }
};

TEST(ImageHeader_Checksum, PacksBytePairsIntoLowAndThirdByte) {
  ImageHeader h;
  memset(&h, 0, sizeof h);
  EXPECT_EQ(imageHeaderChecksum(&h), 0u);
  uint8_t* b = (uint8_t*)&h;
  b[0] = 1;     // + 1
  b[1] = 2;     // + 2 * 65536
  b[1018] = 3;  // + 3
  b[1019] = 4;  // + 4 * 65536
  b[1020] = 9;  // the checksum itself is not summed
  EXPECT_EQ(imageHeaderChecksum(&h), 4u + 6u * 65536u);
  sealImageHeader(&h);
  EXPECT_EQ(b[1020], 4);
  EXPECT_EQ(b[1022], 6);
}

TEST_F(ImageHeader_Accept, CopiesFieldsAndDerivesLimits) {
  ImageHeader h = sampleHeader();
  ASSERT_EQ(acceptImageHeader(&h, 1), 1);
  EXPECT_EQ(imageLayout.swapped, 0u);
  EXPECT_EQ(sysOopRegistryOop, 0x30001230u);
  EXPECT_EQ(lastHash, 77u);
  EXPECT_EQ(imageLayout.fixedSizeFraction, 1234u);
  EXPECT_EQ(imageLayout.newSpaceLimit, 0x20000000u);
  EXPECT_EQ(imageLayout.oldSpaceUpperLimit, 0x40000000u);
  EXPECT_STREQ(viHeraldString, "test herald");
  h = sampleHeader();
  h.lastHash = 0;  // a zero hash generator is loaded as 1
  h.permDataStart = 0x10000000;
  ASSERT_EQ(acceptImageHeader(&h, 1), 1);
  EXPECT_EQ(lastHash, 1u);
  EXPECT_EQ(imageLayout.oldSpaceUpperLimit, ~(uint64_t)0);
}

TEST_F(ImageHeader_Accept, RepairsTheOtherByteOrder) {
  ImageHeader h = sampleHeader();
  swapImageHeader(&h);
  h.flags = 0;  // written on a machine of the other order
  ASSERT_EQ(acceptImageHeader(&h, 1), 1);
  EXPECT_EQ(imageLayout.swapped, 1u);
  EXPECT_EQ(sysOopRegistryOop, 0x30001230u);
  EXPECT_EQ(prevFirstFreeSlotX, 64u);
  EXPECT_EQ(imageLayout.fixedSizeFraction, 1234u);
  EXPECT_EQ(imageLayout.edenWarningFraction, 9000u);
  EXPECT_EQ(lastHash, 77u);
}

// A header as a machine of the other byte order writes it, built byte by byte (each field
// most significant byte first, with a value of its own), not through the engine's swap
// routine: a wrong offset in the swap tables cannot cancel itself out here. Every field
// must read back in the loaded record.
TEST_F(ImageHeader_Accept, ReadsEveryFieldOfAnIndependentlyBuiltOtherOrderHeader) {
  struct Field {
    uint16_t offset;
    uint8_t width;
    uint64_t ImageLayout::*layout64;  // where the loaded value lands, when in imageLayout
    uint32_t ImageLayout::*layout32;
    uint64_t* global64;
    uint32_t* global32;
  } fields[] = {
      {80, 8, &ImageLayout::newSpaceBase, nullptr, nullptr, nullptr},
      {88, 8, &ImageLayout::pastSpaceStart, nullptr, nullptr, nullptr},
      {96, 8, &ImageLayout::pastSpaceBytes, nullptr, nullptr, nullptr},
      {104, 8, &ImageLayout::largeDataStart, nullptr, nullptr, nullptr},
      {112, 8, &ImageLayout::largeDataBytes, nullptr, nullptr, nullptr},
      {120, 8, &ImageLayout::largeTableStart, nullptr, nullptr, nullptr},
      {128, 8, &ImageLayout::largeTableBytes, nullptr, nullptr, nullptr},
      {136, 8, &ImageLayout::oldDataStart, nullptr, nullptr, nullptr},
      {144, 8, &ImageLayout::oldDataBytes, nullptr, nullptr, nullptr},
      {152, 8, &ImageLayout::oldOTStart, nullptr, nullptr, nullptr},
      {160, 8, &ImageLayout::oldOTBytes, nullptr, nullptr, nullptr},
      {168, 8, &ImageLayout::oldSegmentsMinusOne, nullptr, nullptr, nullptr},
      {176, 8, nullptr, nullptr, &sysOopRegistryOop, nullptr},
      {184, 4, nullptr, nullptr, nullptr, &prevFirstFreeSlotX},
      {192, 8, &ImageLayout::oldFreeEntryHead, nullptr, nullptr, nullptr},
      {200, 8, &ImageLayout::oldFreeEntryCount, nullptr, nullptr, nullptr},
      {208, 8, &ImageLayout::threadedDataHead, nullptr, nullptr, nullptr},
      {216, 8, &ImageLayout::oldFreeDataChunks, nullptr, nullptr, nullptr},
      {224, 8, &ImageLayout::oldFreeSlots, nullptr, nullptr, nullptr},
      {232, 4, nullptr, nullptr, nullptr, &lastHash},
      {236, 4, nullptr, nullptr, nullptr, &classTableAllocationPointer},
      {240, 4, nullptr, &ImageLayout::edenSizeFraction, nullptr, nullptr},
      {244, 4, nullptr, &ImageLayout::survivorSizeFraction, nullptr, nullptr},
      {248, 4, nullptr, &ImageLayout::largeSizeFraction, nullptr, nullptr},
      {252, 4, nullptr, &ImageLayout::stackSizeFraction, nullptr, nullptr},
      {256, 4, nullptr, &ImageLayout::codeCacheSizeFraction, nullptr, nullptr},
      {260, 4, nullptr, &ImageLayout::oldHeadroomFraction, nullptr, nullptr},
      {264, 8, &ImageLayout::permDataStart, nullptr, nullptr, nullptr},
      {272, 8, &ImageLayout::permDataBytes, nullptr, nullptr, nullptr},
      {280, 8, &ImageLayout::permOTStart, nullptr, nullptr, nullptr},
      {288, 8, &ImageLayout::permOTBytes, nullptr, nullptr, nullptr},
      {296, 8, nullptr, nullptr, nullptr, nullptr},  // reserved: loaded, unused
      {304, 8, &ImageLayout::permThreadedDataHead, nullptr, nullptr, nullptr},
      {320, 8, &ImageLayout::fixedDataStart, nullptr, nullptr, nullptr},
      {328, 8, &ImageLayout::fixedDataBytes, nullptr, nullptr, nullptr},
      {336, 8, &ImageLayout::fixedTableStart, nullptr, nullptr, nullptr},
      {344, 8, &ImageLayout::fixedTableBytes, nullptr, nullptr, nullptr},
      {352, 4, nullptr, &ImageLayout::fixedSizeFraction, nullptr, nullptr},
      {56, 4, nullptr, &ImageLayout::edenWarningFraction, nullptr, nullptr},
      {60, 4, nullptr, &ImageLayout::tenureFraction, nullptr, nullptr},
      {64, 4, nullptr, &ImageLayout::largeTenureFraction, nullptr, nullptr},
  };
  static_assert(sizeof fields / sizeof fields[0] == 41);
  ImageHeader h;
  memset(&h, 0, sizeof h);
  uint8_t* bytes = reinterpret_cast<uint8_t*>(&h);
  bytes[40] = imageType64, bytes[41] = 2, bytes[923] = imageMarker;  // flags 0: the other order
  // Adjacent fields hold different values, so a field swapped at the wrong width or offset
  // reads wrong.
  auto valueOf = [](const Field& f) {
    uint64_t v = 0x0102030405060708ULL * (f.offset / 4) + f.offset;  // differs in every byte
    return f.width == 8 ? v : (v & 0xFFFFFFFF) | 0x10000000;
  };
  for (const Field& f : fields)
    for (int i = 0; i < f.width; i++) bytes[f.offset + i] = uint8_t(valueOf(f) >> (8 * (f.width - 1 - i)));
  ASSERT_EQ(acceptImageHeader(&h, 1), 1);
  EXPECT_EQ(imageLayout.swapped, 1u);
  for (const Field& f : fields) {
    uint64_t inHeader = 0;
    memcpy(&inHeader, bytes + f.offset, f.width);
    EXPECT_EQ(inHeader, valueOf(f)) << "offset " << f.offset;
    if (f.layout64) {
      EXPECT_EQ(imageLayout.*f.layout64, valueOf(f)) << "offset " << f.offset;
    }
    if (f.layout32) {
      EXPECT_EQ(imageLayout.*f.layout32, valueOf(f)) << "offset " << f.offset;
    }
    if (f.global64) {
      EXPECT_EQ(*f.global64, valueOf(f)) << "offset " << f.offset;
    }
    if (f.global32) {
      EXPECT_EQ(*f.global32, valueOf(f)) << "offset " << f.offset;
    }
  }
}

// Type 9 subtype 0 (let through by the check-skipping bit) predates the fixed-space
// fraction, which then reads as 10000; the herald flag hides the herald.
TEST_F(ImageHeader_Accept, OldStyleFixedFractionAndHiddenHerald) {
  struct Case {
    uint8_t type, subType, heraldFlags;
    uint32_t fixedFraction;
    uint32_t shown;
  } cases[] = {
      {9, 0, 0, 10000, 1}, {9, 1, 0, 1234, 1}, {10, 0, 0, 1234, 1}, {10, 2, imageHeraldHidden, 1234, 0},
  };
  for (const Case& c : cases) {
    ImageHeader h = sampleHeader();
    h.imageType = c.type, h.imageSubType = c.subType, h.heraldFlags = c.heraldFlags;
    qrxOptions = optSkipImageTypeCheck;
    showHerald = 1;
    ASSERT_EQ(acceptImageHeader(&h, 1), 1);
    EXPECT_EQ(imageLayout.fixedSizeFraction, c.fixedFraction) << int(c.type) << "/" << int(c.subType);
    EXPECT_EQ(showHerald, c.shown) << int(c.heraldFlags);
    EXPECT_EQ(persistShowHerald, c.shown) << int(c.heraldFlags);
  }
}

TEST_F(ImageHeader_Accept, TypeChecksAndTheirOverride) {
  struct Case {
    uint8_t type, subType;
    uint64_t options;
    int accepted;
  } cases[] = {
      {10, 0, 0, 1}, {10, 2, 0, 1}, {10, 3, 0, 0}, {9, 0, 0, 0}, {10, 3, optSkipImageTypeCheck, 1},
  };
  for (const Case& c : cases) {
    ImageHeader h = sampleHeader();
    h.imageType = c.type;
    h.imageSubType = c.subType;
    qrxOptions = c.options;
    EXPECT_EQ(acceptImageHeader(&h, 0), c.accepted) << int(c.type) << "/" << int(c.subType);
  }
}

TEST_F(ImageHeader_Accept, LoadPolicyOptionOverridesHeader) {
  ImageHeader h = sampleHeader();
  h.snapshotKind = loadPromote;
  desiredLoadPolicyName = "demote";
  ASSERT_EQ(acceptImageHeader(&h, 1), 1);
  EXPECT_EQ(imageLayout.loadPolicy, (uint32_t)loadDemote);
  desiredLoadPolicyName = nullptr;
  h = sampleHeader();
  h.snapshotKind = loadPromote;
  ASSERT_EQ(acceptImageHeader(&h, 1), 1);
  EXPECT_EQ(imageLayout.loadPolicy, (uint32_t)loadPromote);
}

}  // namespace
