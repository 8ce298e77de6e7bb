// PC maps: encodings of the writer, overflow, storing behind the code, the readers of the
// stored map, the primitive map and the printers.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "mman/mmObject.h"
#include "tran/tpcmap.h"

namespace {

// A block of 1024 bytes at a 16-byte boundary with a scratch map area beside it.
struct MapFixture {
  alignas(16) uint8_t block[1024] = {};
  uint8_t scratch[256] = {};
  uint64_t nm() { return reinterpret_cast<uint64_t>(block); }
  uint64_t code(uint64_t offset) { return nm() + 40 + offset; }
  void begin(uint64_t* table = nullptr, size_t scratchBytes = sizeof scratch) {
    memset(block, 0, sizeof block);
    genMapAlloc(scratch, scratch + scratchBytes, table);
    genMapInit(0, nm());
  }
  std::vector<uint8_t> written() { return {scratch, pcMapWriter.cursor}; }
  // Closes the map and stores it at the end of a block of usedSize bytes; with primitive
  // words, they are placed below the map start as the translator leaves them.
  void store(uint32_t usedSize, const uint64_t* prim = nullptr) {
    uint8_t* end = genMapClose(0);
    ASSERT_NE(end, nullptr);
    size_t length = size_t(end - scratch);
    uint8_t* mapStart = block + usedSize - length;
    memcpy(mapStart, scratch, length);
    if (prim != nullptr) memcpy(mapStart - 16, prim, 16);
    reinterpret_cast<NMethodHeaderView*>(block)->usedSize = usedSize;
    genMapCopy(mapStart, block + usedSize, length, prim != nullptr);
  }
  struct NMethodHeaderView {
    uint64_t link;
    uint32_t usedSize;
    uint8_t flags;
  };
};

TEST(PCMap_Writer, EncodesSendsDeltasAndMarkers) {
  struct Case {
    uint64_t at;
    uint32_t type;  // 100+ : markers E1-E3
    std::vector<uint8_t> bytes;
  } cases[] = {
      {70, 0, {0x9F, 0x9F, 0x08}}, {5, 2, {0x85, 0xC2}},   {0, 2, {0xC2}},      {31, 1, {0x3F}},
      {32, 10, {0x9F, 0x41}},      {3, 11, {0x63}},        {9, 102, {0x89, 0xE2}}, {0, 103, {0xE3}},
  };
  MapFixture f;
  for (const Case& c : cases) {
    f.begin();
    if (c.type == 102) genMapRelCall(f.code(c.at) + 4, 0);
    else if (c.type == 103) genMapLocProg(f.code(c.at) - 2, 2);
    else genMapSend(1, f.code(c.at), c.type);
    EXPECT_EQ(f.written(), c.bytes) << c.at << "/" << c.type;
  }
}

TEST(PCMap_Writer, LiteralsOnlyForNewObjects) {
  MapFixture f;
  oldNewSpaceBoundary = 0x100000;
  f.begin();
  genMapLit(smallIntegerFor(5), f.code(10), -8);
  genMapLit(0x200000, f.code(10), -8);
  EXPECT_TRUE(f.written().empty());
  EXPECT_EQ(pcMapWriter.newLiteral, 0u);
  genMapLit(0x80000, f.code(10), -8);
  EXPECT_EQ(f.written(), (std::vector<uint8_t>{0x82, 0xE1}));
  genMapClose(0);
  EXPECT_EQ(f.block[12] & 0x04, 0x04);
}

TEST(PCMap_Writer, OverflowIsSeenByCloseAndMarkBacksOut) {
  MapFixture f;
  f.begin(nullptr, 5);  // odd sizes round down to even: 4 bytes
  genMapSend(1, f.code(100), 0);  // 9F 9F 9F 07
  genMapMark();
  genMapSend(2, f.code(200), 3);
  EXPECT_EQ(genMapClose(0), nullptr);
  genMapBackToMark();
  EXPECT_EQ(f.written().size(), 4u);
  f.begin(nullptr, 8);
  genMapSend(1, f.code(100), 0);
  EXPECT_NE(genMapClose(2), nullptr);
  f.begin(nullptr, 8);
  genMapSend(1, f.code(100), 0);
  EXPECT_EQ(genMapClose(3), nullptr);
}

TEST(PCMap_Writer, RecordsBytecodesInTableOrPair) {
  MapFixture f;
  uint64_t table[8] = {};
  f.begin(table);
  genMapSend(2, f.code(20), 0);
  genMapOnly(5, f.code(30));
  EXPECT_EQ(genMapTest(2), f.code(20));
  EXPECT_EQ(genMapTest(5), f.code(30));
  EXPECT_EQ(genMapTest(3), 0u);
  f.begin();
  genMapSend(2, f.code(20), 0);
  genMapOnly(4, f.code(25));
  EXPECT_EQ(genMapTest(4), f.code(25));
  EXPECT_EQ(genMapTest(2), 0u);
}

TEST(PCMap_Reader, StoredMapAnswersEachNamedPc) {
  MapFixture f;
  f.begin();
  genMapSend(1, f.code(11), 0);
  genMapRelCall(f.code(20), 0);
  genMapSend(2, f.code(90), 7);
  genMapLocProg(f.code(95), 0);
  f.store(512);
  EXPECT_EQ(f.block[511], 0x0B);  // first byte written is the block's last
  uint8_t out[4];
  uint32_t type = 99;
  EXPECT_EQ(mapDataForNpc(f.nm(), f.code(11), out, 4, &type), 1u);
  EXPECT_EQ(type, 0u);
  EXPECT_EQ(mapDataForNpc(f.nm(), f.code(90), out, 4, &type), 1u);
  EXPECT_EQ(type, 7u);
  EXPECT_EQ(mapDataForNpc(f.nm(), f.code(16), out, 4, nullptr), 1u);
  EXPECT_EQ(out[0], 0xE2);
  EXPECT_EQ(mapDataForNpc(f.nm(), f.code(95), out, 4, nullptr), 2u);  // loc-prog, then the end
  EXPECT_EQ(out[0], 0xE3);
  EXPECT_EQ(out[1], 0xE0);
  EXPECT_EQ(mapDataForNpc(f.nm(), f.code(12), out, 4, &type), 0u);
  EXPECT_EQ(mapDataForNpc(f.nm(), f.code(50), out, 4, nullptr), 0u);  // inside a delta run
  uint64_t start = findPCMapStart(f.nm() + 512);
  EXPECT_EQ(*reinterpret_cast<uint8_t*>(start), 0xE0);
  EXPECT_EQ(lastValidNPCOf(f.nm()), start - 1);
}

TEST(PCMap_Primitive, MapAndPrologueReaders) {
  MapFixture f;
  f.begin();
  genMapSend(1, f.code(60), 0);
  const uint64_t prim[2] = {0x58, 0x70};
  f.store(256, prim);
  EXPECT_EQ(mapPrimitiveRestart(f.nm()), f.nm() + 0x58);
  EXPECT_EQ(mapPrimitiveReturn(f.nm()), f.nm() + 0x70);
  uint16_t distance = 300;
  memcpy(f.block + 49, &distance, 2);
  EXPECT_EQ(nPCofFirstNonPrimitiveVPC(f.nm()), f.nm() + 49 + 300);
  // A primitive call returning at offset 100: EB d8 there, then the word at 102 = 102.
  uint32_t word = 102;
  memcpy(f.block + 102, &word, 4);
  EXPECT_EQ(nmethFromPrimReturn(f.nm() + 100), f.nm());
}

std::string printed(void (*fn)(FILE*, uint64_t), uint64_t arg) {
  FILE* out = tmpfile();
  fn(out, arg);
  rewind(out);
  char text[512] = {};
  size_t n = fread(text, 1, sizeof text - 1, out);
  fclose(out);
  return std::string(text, n);
}

TEST(PCMap_Printer, BytesAndWholeMaps) {
  const struct { uint8_t byte; const char* text; } cases[] = {
      {0x9F, "0x9f: delta(31)"}, {0xE0, "0xe0: end"},          {0xA3, "0xa3: unused(3)"},
      {0x25, "0x25: send1(5)"},  {0x41, "0x41: non-imm-send0(1)"}, {0xC7, "0xc7: send(7)"},
      {0xE2, "0xe2: rel-call"},  {0xE5, "0xe5?"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(printed([](FILE* s, uint64_t b) { fprintPCMapByte(s, uint8_t(b)); }, c.byte), c.text);
  MapFixture f;
  f.begin();
  genMapSend(1, f.code(40), 0);
  f.store(128);
  EXPECT_EQ(printed(fprintPCMap, f.nm() + 128), "0x9f: delta(31) 0x9: send0(9) 0xe0: end \n");
}

}  // namespace
