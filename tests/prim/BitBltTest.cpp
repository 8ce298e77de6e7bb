// BitBlt (933, 934) against the per-pixel reference: random rules, rectangles, rasters 1-5,
// byte lengths that end inside a row, sources of their own, the destination itself (moves in
// every direction) and tiles at offsets far outside the pattern; canary words before and
// after every body and the bytes past the object's end must stay. Then the checks of the
// arguments in their order, and the documented rule cases worked out by hand.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include "mman/mmSysOop.h"
#include "mman/testHeap.h"
#include "prim/bitbltModel.h"
#include "prim/prBitBlt.h"
#include "support/ioKernel.h"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#define POISON(p, n) ASAN_POISON_MEMORY_REGION(p, n)
#define UNPOISON(p, n) ASAN_UNPOISON_MEMORY_REGION(p, n)
#else
#define POISON(p, n) ((void)(p), (void)(n))
#define UNPOISON(p, n) ((void)(p), (void)(n))
#endif

namespace {

constexpr uint64_t canary = 0xA5C3A5C3A5C3A5C3ull;

// A byte object whose header and body lie outside the heap, between canary words: one before
// the body, two after it; bytes need not fill the last word. Under the address sanitizer
// everything outside the object's bytes is poisoned, so that a read there is reported too.
struct Bitmap {
  ObjectHeader header;
  std::vector<uint64_t> words;
  int64_t raster, width, rows, bytes;
  Bitmap(int64_t raster_, int64_t width_, int64_t bytes_) : raster(raster_), width(width_), bytes(bytes_) {
    rows = bytes / (4 * raster);
    uint64_t bodyWords = uint64_t(bytes + 7) / 8;
    words.assign(bodyWords + 3, canary);
    memset(&words[1], 0, bodyWords * 8);
    header.dataPtr = reinterpret_cast<uint64_t>(&words[1]);
    header.flags = classIndexByteArray | bodyWords << sizeFieldShift | uint64_t((8 - bytes % 8) % 8) << indexabilityShift;
    poison();
  }
  ~Bitmap() { UNPOISON(words.data(), words.size() * 8); }
  void poison() const {
    POISON(words.data(), 8);
    POISON(reinterpret_cast<const uint8_t*>(&words[1]) + bytes, (words.size() - 1) * 8 - size_t(bytes));
  }
  oop object() { return oopOf(&header); }
  uint8_t* body() { return reinterpret_cast<uint8_t*>(&words[1]); }
  std::vector<uint8_t> all() const {  // the canaries and every body byte, the bytes past the end too
    UNPOISON(words.data(), words.size() * 8);
    const uint8_t* p = reinterpret_cast<const uint8_t*>(words.data());
    std::vector<uint8_t> out(p, p + words.size() * 8);
    poison();
    return out;
  }
  void randomise(std::mt19937& rng) {
    for (int64_t i = 0; i < bytes; i++) body()[i] = uint8_t(rng());
  }
};

class BitBlt : public testing::Test {
 protected:
  void SetUp() override {
    newIOTestHeap();
    initBitBltPrimitives();
  }
  void TearDown() override { freeTestHeap(); }
};

// One call's arguments after the receiver, as SmallIntegers but for the source.
struct Call {
  int64_t destRaster, destWidth, dx, dy;
  oop source;
  int64_t sourceRaster, sourceWidth, sx, sy, w, h, rule;
  std::vector<oop> args() const {
    auto i = [](int64_t v) { return smallIntegerFor(v); };
    return {i(destRaster), i(destWidth), i(dx), i(dy), source, i(sourceRaster), i(sourceWidth), i(sx), i(sy),
            i(w), i(h), i(rule)};
  }
};

// Runs the primitive and the model on copies and compares everything, canaries included.
void expectLikeModel(uint32_t number, Bitmap& dest, Bitmap* source, const Call& c, const std::string& what) {
  std::vector<uint8_t> want = dest.all();
  uint8_t* body = want.data() + 8;
  bool same = source == &dest;
  std::vector<uint8_t> sourceCopy = source != nullptr && !same ? source->all() : std::vector<uint8_t>();
  const uint8_t* s = source == nullptr ? nullptr : same ? body : sourceCopy.data() + 8;
  if ((0x8421 >> c.rule & 1) != 0) s = nullptr;  // rules that do not read the source
  modelBlt(body, c.destRaster, s, c.sourceRaster, source != nullptr ? source->bytes : 0, c.dx, c.dy, c.sx, c.sy, c.w,
           c.h, int(c.rule), number == 934);
  PrimOutcome r = callPrimitive(number, dest.object(), c.args());
  ASSERT_FALSE(r.failed) << what;
  EXPECT_EQ(r.result, dest.object()) << what;
  ASSERT_EQ(dest.all(), want) << what;
  if (source != nullptr && !same) {
    EXPECT_EQ(source->all(), sourceCopy) << what << ": the source changed";
  }
}

// A rectangle of w x h inside a bitmap of width x rows: its corner.
int64_t cornerIn(std::mt19937& rng, int64_t room) { return room <= 0 ? 0 : int64_t(rng() % uint64_t(room + 1)); }

TEST_F(BitBlt, RandomCallsMatchTheModel) {
  uint32_t seed = std::random_device{}();
  std::printf("bitblt seed %u\n", seed);
  std::mt19937 rng(seed);
  auto pick = [&rng](int64_t n) { return int64_t(rng() % uint64_t(n)); };
  for (int iteration = 0; iteration < 4000; iteration++) {
    int64_t raster = 1 + pick(5), width = 1 + pick(32 * raster), rows = 1 + pick(12);
    Bitmap dest(raster, width, 4 * raster * rows + pick(4 * raster));
    dest.randomise(rng);
    int kind = int(pick(4));  // nil, another bitmap, the destination itself, a tile
    std::unique_ptr<Bitmap> other;
    Bitmap* source = kind == 0 ? nullptr : kind == 2 ? &dest : nullptr;
    if (kind == 1 || kind == 3) {
      int64_t r = kind == 3 ? 1 : 1 + pick(5);
      other = std::make_unique<Bitmap>(r, kind == 3 ? 32 : 1 + pick(32 * r), kind == 3 ? 128 : 4 * r * (1 + pick(12)) + pick(5));
      other->randomise(rng);
      source = other.get();
    }
    int64_t sWidth = source != nullptr ? source->width : 1, sRows = source != nullptr ? source->rows : 1;
    bool tile = kind == 3;
    int64_t w = tile ? 1 + pick(width) : 1 + pick(std::min(width, sWidth));
    int64_t h = tile ? 1 + pick(dest.rows) : 1 + pick(std::min(dest.rows, sRows));
    if (kind == 0) w = 1 + pick(width), h = 1 + pick(dest.rows);
    Call c = {raster, width, cornerIn(rng, width - w), cornerIn(rng, dest.rows - h), source != nullptr ? source->object() : nilOop(),
              source != nullptr ? source->raster : 1, sWidth, 0, 0, w, h, pick(16)};
    if (tile) {
      int64_t far[] = {pick(32), -pick(1000), pick(1000), -(int64_t(1) << 59) + pick(99), (int64_t(1) << 59) + pick(99)};
      c.sx = far[pick(5)], c.sy = far[pick(5)];
    } else if (source != nullptr) {
      c.sx = cornerIn(rng, sWidth - w), c.sy = cornerIn(rng, sRows - h);
    }
    std::string what = "seed " + std::to_string(seed) + " iteration " + std::to_string(iteration);
    expectLikeModel(tile ? 934 : 933, dest, source, c, what);
    if (HasFatalFailure()) return;
  }
}

// A picture moved onto itself by one pixel and by more, every way, against the model.
TEST_F(BitBlt, MovesWithinOneBitmap) {
  std::mt19937 rng(7);
  const int64_t moves[][2] = {{1, 0},  {-1, 0}, {0, 1},  {0, -1},  {37, 0}, {-37, 0}, {5, 3},
                              {-5, -3}, {31, -1}, {-33, 2}, {32, 0}, {-32, 0}, {64, 0}, {-64, 0}};
  for (int64_t raster : {1, 3, 5})
    for (const auto& m : moves)
      for (int rule : {3, 6, 12}) {
        Bitmap b(raster, 32 * raster, 4 * raster * 10);
        b.randomise(rng);
        int64_t w = b.width - (m[0] < 0 ? -m[0] : m[0]) - (raster > 1 ? 7 : 0);  // edges inside words
        int64_t h = 6, sx = m[0] < 0 ? -m[0] : 0, sy = m[1] < 0 ? -m[1] : 0;
        if (w <= 0) continue;
        Call c = {raster, b.width, sx + m[0], sy + m[1], b.object(), raster, b.width, sx, sy, w, h, rule};
        expectLikeModel(933, b, &b, c, "move " + std::to_string(m[0]) + "," + std::to_string(m[1]) + " raster " +
                                           std::to_string(raster) + " rule " + std::to_string(rule));
      }
}

// Every check of the argument list fails with code 0, an immutable destination with 23 only
// once the rest pass; a rectangle of no width or height answers the receiver whatever its place.
TEST_F(BitBlt, ChecksInTheirOrder) {
  Bitmap dest(2, 64, 4 * 2 * 8), src(1, 32, 4 * 1 * 8), tile(1, 32, 128), shortTile(1, 32, 124);
  oop pointers = newOldObject(testClasses.threeSlots, 3);
  const Call good = {2, 64, 0, 0, src.object(), 1, 32, 0, 0, 8, 8, 3};
  const Call goodTile = {2, 64, 0, 0, tile.object(), 1, 32, 0, 0, 8, 8, 3};
  auto with = [](Call c, auto change) { return change(c), c; };
  struct Case {
    const char* name;
    uint32_t number;
    Call call;
    oop receiver;  // 0: the destination
    oop badArgument = 0;
    int position = -1;  // the argument replaced by badArgument
  };
  const Case cases[] = {
      {"receiver with pointers", 933, good, pointers},
      {"receiver immediate", 933, good, smallIntegerFor(1)},
      {"tile not bytes", 934, with(goodTile, [&](Call& c) { c.source = pointers; }), 0},
      {"raster not an integer", 933, good, 0, nilOop(), 0},
      {"rule not an integer", 933, good, 0, characterFor(3), 11},
      {"source x not an integer", 933, good, 0, nilOop(), 7},
      {"raster 0", 933, with(good, [](Call& c) { c.destRaster = 0; }), 0},
      {"width 0", 933, with(good, [](Call& c) { c.destWidth = 0; }), 0},
      {"dx negative", 933, with(good, [](Call& c) { c.dx = -1; }), 0},
      {"dy negative", 933, with(good, [](Call& c) { c.dy = -1; }), 0},
      {"one pixel right of the width", 933, with(good, [](Call& c) { c.dx = 57; }), 0},
      {"one row below", 933, with(good, [](Call& c) { c.dy = 1; }), 0},
      {"width past the raster", 933, with(good, [](Call& c) { c.destWidth = 65; }), 0},
      {"source x negative", 933, with(good, [](Call& c) { c.sx = -1; }), 0},
      {"source y negative", 933, with(good, [](Call& c) { c.sy = -1; }), 0},
      {"source raster 0", 933, with(good, [](Call& c) { c.sourceRaster = 0; }), 0},
      {"source width 0", 933, with(good, [](Call& c) { c.sourceWidth = 0; }), 0},
      {"past the source width", 933, with(good, [](Call& c) { c.sx = 25; }), 0},
      {"past the source rows", 933, with(good, [](Call& c) { c.sy = 1; }), 0},
      {"source width past its raster", 933, with(good, [](Call& c) { c.sourceWidth = 33; }), 0},
      {"source with pointers", 933, with(good, [&](Call& c) { c.source = pointers; }), 0},
      {"source immediate", 933, with(good, [](Call& c) { c.source = smallIntegerFor(4); }), 0},
      {"tile raster 2", 934, with(goodTile, [](Call& c) { c.sourceRaster = 2; }), 0},
      {"tile width 31", 934, with(goodTile, [](Call& c) { c.sourceWidth = 31; }), 0},
      {"tile of 124 bytes", 934, with(goodTile, [&](Call& c) { c.source = shortTile.object(); }), 0},
      {"rule 16", 933, with(good, [](Call& c) { c.rule = 16; }), 0},
      {"rule -1", 934, with(goodTile, [](Call& c) { c.rule = -1; }), 0},
  };
  std::vector<uint8_t> before = dest.all();
  for (bool immutable : {false, true}) {
    if (immutable) setFlag(&dest.header, isImmutableBit);
    for (const Case& c : cases) {
      SCOPED_TRACE(c.name);
      std::vector<oop> args = c.call.args();
      if (c.position >= 0) args[size_t(c.position)] = c.badArgument;
      PrimOutcome r = callPrimitive(c.number, c.receiver != 0 ? c.receiver : dest.object(), args);
      EXPECT_EQ(failureOf(r).code, 0);
      EXPECT_EQ(r.numArgs, 12u);
    }
    EXPECT_EQ(failureOf(callPrimitive(933, dest.object(), good.args())).code, immutable ? 23 : -1);
    EXPECT_EQ(failureOf(callPrimitive(934, dest.object(), goodTile.args())).code, immutable ? 23 : -1);
    const Call nothing[] = {with(good, [](Call& c) { c.w = 0, c.dx = 999, c.source = smallIntegerFor(1); }),
                            with(good, [](Call& c) { c.h = -3, c.dy = -5, c.rule = 99; })};
    for (const Call& n : nothing) EXPECT_EQ(callPrimitive(933, dest.object(), n.args()).result, dest.object());
    if (immutable) {
      EXPECT_EQ(dest.all(), before) << "nothing drawn";
    }
    before = dest.all();
  }
}

// The documented rule cases worked out by hand, which also check the model.
TEST_F(BitBlt, NamedCases) {
  Bitmap b(1, 32, 4 * 4);
  auto row = [&b](int64_t y) { return uint32_t(b.body()[4 * y]) << 24 | b.body()[4 * y + 1] << 16 | b.body()[4 * y + 2] << 8 | b.body()[4 * y + 3]; };
  auto run = [&b](uint32_t number, Call c) {
    PrimOutcome r = callPrimitive(number, b.object(), c.args());
    EXPECT_FALSE(r.failed);
  };
  run(933, {1, 32, 4, 1, nilOop(), 1, 1, 0, 0, 8, 2, 3});  // rule 3, no source: set
  EXPECT_EQ(row(0), 0u);
  EXPECT_EQ(row(1), 0x0FF00000u);
  EXPECT_EQ(row(2), 0x0FF00000u);
  run(933, {1, 32, 0, 1, nilOop(), 1, 1, 0, 0, 32, 1, 10});  // invert
  EXPECT_EQ(row(1), 0xF00FFFFFu);
  run(933, {1, 32, 0, 0, b.object(), 1, 32, 0, 1, 32, 3, 5});  // leave
  EXPECT_EQ(row(1), 0xF00FFFFFu);
  run(933, {1, 32, 9, 0, nilOop(), 1, 1, 0, 0, 1, 4, 15});  // width 1: one bit per row
  EXPECT_EQ(row(0), 0x00400000u);
  EXPECT_EQ(row(3), 0x00400000u);
  run(933, {1, 32, 1, 2, b.object(), 1, 32, 0, 2, 31, 1, 3});  // one pixel right, no smear
  EXPECT_EQ(row(2), 0x07F80000u);

  Bitmap pattern(1, 32, 128);
  for (int y = 0; y < 32; y++) pattern.body()[4 * y] = uint8_t(y);  // row y: y in the top byte
  Bitmap t1(1, 32, 4 * 2), t33(1, 32, 4 * 2);
  EXPECT_FALSE(callPrimitive(934, t1.object(), Call{1, 32, 0, 0, pattern.object(), 1, 32, 1, -1, 32, 2, 3}.args()).failed);
  EXPECT_FALSE(callPrimitive(934, t33.object(), Call{1, 32, 0, 0, pattern.object(), 1, 32, 33, 31, 32, 2, 3}.args()).failed);
  EXPECT_EQ(t1.all(), t33.all()) << "x 33 is x 1, y -1 is y 31";
  EXPECT_EQ(t1.body()[0], uint8_t(31 << 1)) << "row 31 shifted left one pixel";
  EXPECT_EQ(t1.body()[3], 0u);
  EXPECT_EQ(t1.body()[4], 0u) << "then row 0";
}

}  // namespace
