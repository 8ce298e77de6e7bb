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

TEST(ImageHeader_Accept, CopiesFieldsAndDerivesLimits) {
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

TEST(ImageHeader_Accept, RepairsTheOtherByteOrder) {
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

TEST(ImageHeader_Accept, TypeChecksAndTheirOverride) {
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
  qrxOptions = 0;
}

TEST(ImageHeader_Accept, LoadPolicyOptionOverridesHeader) {
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
