// Link registry: growth, lookup order and the zlib entries.
#include <gtest/gtest.h>

#include <cstring>
#include <zlib.h>

#include "ext/exInflate.h"
#include "prim/prLinkRegistry.h"

namespace {

TEST(LinkRegistry, GrowsAndAnswersTheFirstOfEqualNames) {
  uint32_t start = linkRegistryCount();
  static int a, b;
  UPRegisterSymbolAndHandle("tessel-test-dup", &a);
  UPRegisterSymbolAndHandle("tessel-test-dup", &b);
  EXPECT_EQ(UPHandleForSymbol("tessel-test-dup"), &a);
  EXPECT_EQ(UPHandleForSymbol("tessel-test-absent"), nullptr);
  static char names[40][8];
  for (uint32_t i = linkRegistryCount(); i < 33; i++) {
    snprintf(names[i], sizeof names[i], "n%u", i);
    uint64_t count = oeRegisterSymbolAndHandle(names[i], names[i]);
    EXPECT_EQ(count, (uint64_t)i + 1);
    uint32_t expected = count <= 8 ? 8 : count <= 16 ? 16 : count <= 32 ? 32 : 64;
    EXPECT_EQ(linkRegistryCapacity(), expected) << count;
  }
  EXPECT_GE(linkRegistryCount(), start + 2);
}

TEST(LinkRegistry, OffersZlibByName) {
  oeInitZlibLinkRegistry();
  EXPECT_EQ(UPHandleForSymbol("inflateInit2_"), (void*)inflateInit2_);
  EXPECT_EQ(UPHandleForSymbol("zlibVersion"), (void*)zlibVersion);
  EXPECT_EQ(UPHandleForSymbol("oeConflateInitAlloc"), (void*)oeConflateInitAlloc);
}

}  // namespace
