// Cursor primitives under Wine: 904 builds the cursor's planes at the system cursor size
// from one-bit pixmaps (checked against GetIconInfo's masks), refuses pixmaps it cannot use,
// and 707/708/744 show, replace by system cursors and destroy; 993/998 put image objects of
// each depth into pixmaps, checked pixel by pixel.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "mman/mmAllocate.h"
#include "mman/mmSysOop.h"
#include "mman/testHeap.h"
#include "platpc/ntChannel.h"
#include "platpc/ntCursor.h"
#include "platpc/winGdiFixture.h"
#include "support/ioKernel.h"

namespace {

class Win_Cursors : public ::testing::Test {
 protected:
  void SetUp() override {
    newIOTestHeap();
    handleRegistryX = 0;
    initHandleRegistry();
    initCursorPrimitives();
    useSystemCursors = 0;
    currentVMCursor = nullptr;
    receiver = holder(byteString("gui"));
  }
  void TearDown() override {
    for (HBITMAP b : bitmaps) DeleteObject(b);
    SetCursor(nullptr);
    freeTestHeap();
  }
  static oop holder(oop slot0) {
    oop h = newOldObject(testClasses.threeSlots, 3);
    bodyOf(headerOf(h))[0] = slot0;
    return h;
  }
  // A pixmap object over a bitmap of the given depth whose rows (word-aligned) are given.
  oop pixmap(int width, int height, int depth, const std::vector<uint8_t>& bits = {}) {
    std::vector<uint8_t> all(size_t((width * depth + 15) / 16 * 2 * height), 0xFF);
    if (!bits.empty()) all = bits;
    HBITMAP b = CreateBitmap(width, height, 1, UINT(depth), all.data());
    bitmaps.push_back(b);
    uint8_t handle[40] = {};
    uint64_t h = uint64_t(b);
    memcpy(handle + 8, &h, sizeof h);
    oop bytes = oopOf(allocVSObj(sysOop(sysByteArrayClass), sizeof handle));
    memcpy(bodyOf(headerOf(bytes)), handle, sizeof handle);
    return holder(bytes);
  }
  PrimOutcome make(oop image, oop mask, int x = 0, int y = 0) {
    return callPrimitive(904, receiver, {image, mask, smallIntegerFor(x), smallIntegerFor(y), nilOop(), nilOop()});
  }
  // A cursor object: slot 1 the serial, slot 5 the name.
  static oop cursorObject(oop serial, const char* name) {
    oop c = oopOf(allocVSObj(sysOop(sysArrayClass), 6));
    for (int i = 0; i < 6; i++) bodyOf(headerOf(c))[i] = nilOop();
    bodyOf(headerOf(c))[1] = serial;
    bodyOf(headerOf(c))[5] = byteString(name);
    return c;
  }
  oop receiver = 0;
  std::vector<HBITMAP> bitmaps;
};

// The bits of a monochrome bitmap, rows of the bitmap's own width in bytes.
std::vector<uint8_t> bitsOf(HBITMAP bitmap) {
  BITMAP info;
  GetObjectW(bitmap, sizeof info, &info);
  std::vector<uint8_t> bits(size_t(info.bmWidthBytes * info.bmHeight));
  GetBitmapBits(bitmap, LONG(bits.size()), bits.data());
  return bits;
}

}  // namespace

// An 8 x 2 image and mask make a cursor of the system size with the hot spot given: the
// AND plane is the mask in the corner and ones elsewhere, the XOR plane the image where the
// mask is clear; the serial names it in the registry.
TEST_F(Win_Cursors, PlanesAreLaidOutAtTheSystemSize) {
  int cx = systemCursorSize.cx, cy = systemCursorSize.cy;
  ASSERT_GT(cx, 8);
  // Rows padded to 16 bits: image 0b10101010 / 0b11110000, mask 0b00001111 / 0b11111111.
  PrimOutcome made = make(pixmap(8, 2, 1, {0xAA, 0, 0xF0, 0}), pixmap(8, 2, 1, {0x0F, 0, 0xFF, 0}), 3, 1);
  ASSERT_FALSE(made.failed);
  HCURSOR cursor = reinterpret_cast<HCURSOR>(handleForSerial(uint32_t(smallIntegerValue(made.result)), handleCursor));
  ASSERT_NE(cursor, nullptr);
  ICONINFO info;
  ASSERT_TRUE(GetIconInfo(cursor, &info));
  EXPECT_EQ(info.xHotspot, 3u);
  EXPECT_EQ(info.yHotspot, 1u);
  // A monochrome cursor's mask holds the AND plane above the XOR plane.
  std::vector<uint8_t> planes = bitsOf(info.hbmMask);
  int rowBytes = int(planes.size()) / (2 * cy);
  ASSERT_EQ(planes.size(), size_t(rowBytes * 2 * cy));
  auto andAt = [&](int row, int byte) { return planes[size_t(row * rowBytes + byte)]; };
  auto xorAt = [&](int row, int byte) { return planes[size_t((cy + row) * rowBytes + byte)]; };
  EXPECT_EQ(andAt(0, 0), 0x0F);
  EXPECT_EQ(andAt(1, 0), 0xFF);
  EXPECT_EQ(xorAt(0, 0), 0xA0);  // 0xAA where the mask is clear
  EXPECT_EQ(xorAt(1, 0), 0x00);
  EXPECT_EQ(andAt(0, 1), 0xFF);
  EXPECT_EQ(andAt(cy - 1, rowBytes - 1), 0xFF);
  EXPECT_EQ(xorAt(cy - 1, rowBytes - 1), 0x00);
  DeleteObject(info.hbmMask);
  if (info.hbmColor != nullptr) DeleteObject(info.hbmColor);
}

// Pixmaps it cannot use fail with error 0 and a bad hot spot names its argument; the system
// size itself is accepted.
TEST_F(Win_Cursors, UnusablePixmapsAndHotSpotsFail) {
  int cx = systemCursorSize.cx, cy = systemCursorSize.cy;
  EXPECT_FALSE(make(pixmap(cx, cy, 1), pixmap(cx, cy, 1)).failed);
  struct Case {
    const char* what;
    oop image, mask;
    int x, y;
    int code;
    int64_t value;
  } cases[] = {
      {"one pixel too wide", pixmap(cx + 1, cy, 1), pixmap(cx + 1, cy, 1), 0, 0, 0, -1},
      {"one pixel too high", pixmap(cx, cy + 1, 1), pixmap(cx, cy + 1, 1), 0, 0, 0, -1},
      {"a deeper image", pixmap(8, 8, 2), pixmap(8, 8, 1), 0, 0, 0, -1},
      {"sizes differ", pixmap(8, 8, 1), pixmap(8, 9, 1), 0, 0, 0, -1},
      {"not a pixmap", byteString("x"), pixmap(8, 8, 1), 0, 0, 0, -1},
      {"hot spot x outside", pixmap(8, 8, 1), pixmap(8, 8, 1), cx, 0, 3, 3},
      {"hot spot y negative", pixmap(8, 8, 1), pixmap(8, 8, 1), 0, -1, 3, 4},
  };
  for (const Case& c : cases) {
    FailureInfo f = failureOf(make(c.image, c.mask, c.x, c.y));
    EXPECT_EQ(f.code, c.code) << c.what;
    EXPECT_EQ(f.value, c.value) << c.what;
  }
  EXPECT_EQ(failureOf(callPrimitive(904, holder(smallIntegerFor(1)), {pixmap(8, 8, 1), pixmap(8, 8, 1), smallIntegerFor(0),
                                                             smallIntegerFor(0), nilOop(), nilOop()}))
                .code,
            0);
}

// 707 shows the cursor's own pixmaps unless 744 asked for system cursors and the name is
// one of theirs; 708 of the current cursor leaves none; a destroyed cursor is not shown.
TEST_F(Win_Cursors, ShowReplaceAndDestroy) {
  oop serial = make(pixmap(8, 8, 1), pixmap(8, 8, 1)).result;
  HCURSOR own = reinterpret_cast<HCURSOR>(handleForSerial(uint32_t(smallIntegerValue(serial)), handleCursor));
  oop wait = cursorObject(serial, "wait"), other = cursorObject(serial, "waiting");
  struct Case {
    bool system;
    oop cursor;
    HCURSOR shown;
  } cases[] = {
      {false, wait, own},
      {true, wait, LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_WAIT))},
      {true, other, own},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(callPrimitive(744, receiver, {c.system ? trueOop() : falseOop()}).result, receiver);
    EXPECT_EQ(callPrimitive(707, c.cursor, {}).result, c.cursor);
    EXPECT_EQ(currentVMCursor, c.shown);
    EXPECT_EQ(GetCursor(), c.shown);
  }
  EXPECT_EQ(callPrimitive(708, other, {}).result, other);
  EXPECT_EQ(currentVMCursor, nullptr);
  EXPECT_EQ(GetCursor(), nullptr);
  EXPECT_EQ(handleSerial(uint64_t(own), handleCursor), 0u);
  callPrimitive(744, receiver, {falseOop()});
  for (uint32_t number : {707u, 708u}) {
    EXPECT_EQ(failureOf(callPrimitive(number, other, {})).code, 0) << number;
    EXPECT_EQ(failureOf(callPrimitive(number, cursorObject(nilOop(), "wait"), {})).code, 0) << number;
  }
}

namespace {

// Image objects put through graphics contexts (993, 998) into 32-bit pixmaps.
class Win_CursorImages : public WinGdiTest {
 protected:
  void SetUp() override {
    WinGdiTest::SetUp();
    initCursorPrimitives();
    imageClass = newTestClass(formatPointers | 5);
  }
  void TearDown() override {
    if (sharedPalette != nullptr) DeleteObject(sharedPalette), sharedPalette = nullptr;
    WinGdiTest::TearDown();
  }
  // An image object: rows padded to 32 bits, width, height, 1, bits per pixel.
  oop image(const std::vector<uint8_t>& rows, int width, int height, int depth) {
    oop im = newOldObject(imageClass, 5);
    setSlot(im, 0, bytes(rows.data(), rows.size()));
    setSlot(im, 1, smallIntegerFor(width));
    setSlot(im, 2, smallIntegerFor(height));
    setSlot(im, 3, smallIntegerFor(1));
    setSlot(im, 4, smallIntegerFor(depth));
    return im;
  }
  static std::vector<uint8_t> bitsOfImage(oop im) {
    oop b = bodyOf(headerOf(im))[0];
    const uint8_t* p = reinterpret_cast<const uint8_t*>(bodyOf(headerOf(b)));
    return std::vector<uint8_t>(p, p + byteSizeOf(headerOf(b)));
  }
  uint32_t imageClass = 0;
};

// Entry i of the palette the indexed images are shown through.
constexpr uint32_t paletteColour(int i) { return uint32_t(i) << 16 | uint32_t(255 - i) << 8 | uint32_t(i * 7 & 255); }

}  // namespace

// Each depth's pixels land where the Point and the context's translation put them, in the
// colours they stand for: one bit 0 black and 1 white, 8 bits through the shared palette,
// 16 bits big-endian 5-5-5, 32 bits big-endian 0x00BBGGRR; the image's bytes are as before.
TEST_F(Win_CursorImages, ImagesOfEachDepthLandInTheirColours) {
  struct {
    WORD version, count;
    PALETTEENTRY entries[256];
  } logical = {0x300, 256, {}};
  for (int i = 0; i < 256; i++) {
    uint32_t c = paletteColour(i);
    logical.entries[i] = {BYTE(c >> 16), BYTE(c >> 8), BYTE(c), 0};
  }
  sharedPalette = CreatePalette(reinterpret_cast<LOGPALETTE*>(&logical));
  ASSERT_NE(sharedPalette, nullptr);
  const uint32_t W = 0xFFFFFF, K = 0;
  const struct Case {
    const char* what;
    int primitive, depth, width, height;
    std::vector<uint8_t> rows;
    std::vector<uint32_t> colours;  // top row first, as 0xRRGGBB
  } cases[] = {
      {"1 bit", 993, 1, 10, 2, {0xB0, 0x40, 0, 0, 0x0F, 0x80, 0, 0},
       {W, K, W, W, K, K, K, K, K, W, K, K, K, K, W, W, W, W, W, K}},
      {"8 bits", 993, 8, 3, 2, {1, 2, 200, 9, 3, 0, 255, 9},
       {paletteColour(1), paletteColour(2), paletteColour(200), paletteColour(3), paletteColour(0), paletteColour(255)}},
      {"16 bits", 993, 16, 3, 2, {0x7C, 0x00, 0x03, 0xE0, 0x00, 0x1F, 0, 0, 0x7F, 0xFF, 0x00, 0x00, 0x7C, 0x1F, 0, 0},
       {0xFF0000, 0x00FF00, 0x0000FF, W, K, 0xFF00FF}},
      {"32 bits", 993, 32, 2, 2, {0, 0, 0, 0xFF, 0, 0xFF, 0, 0, 0, 0, 0xFF, 0, 0, 0x12, 0x34, 0x56},
       {0xFF0000, 0x0000FF, 0x00FF00, 0x563412}},
      {"32 bits through 998", 998, 32, 1, 1, {0, 0x80, 0x40, 0x20}, {0x204080}},
  };
  const int pw = 14, ph = 5, atX = 1, atY = 2, translateX = 2;
  for (const Case& c : cases) {
    HBITMAP b;
    oop g = gc(pixmap(pw, ph, &b));
    setSlot(g, gcTranslateX, smallIntegerFor(translateX));
    oop im = image(c.rows, c.width, c.height, c.depth);
    std::vector<oop> args = {im, point(atX, atY)};
    if (c.primitive == 998) args = {im, smallIntegerFor(0), smallIntegerFor(0), point(atX, atY)};
    PrimOutcome r = callPrimitive(c.primitive, g, args);
    ASSERT_FALSE(r.failed) << c.what;
    EXPECT_EQ(r.result, g) << c.what;
    releasePixmapDC();
    std::vector<uint32_t> expected(size_t(pw * ph), W);
    for (int y = 0; y < c.height; y++)
      for (int x = 0; x < c.width; x++)
        expected[size_t((atY + y) * pw + atX + translateX + x)] = c.colours[size_t(y * c.width + x)];
    EXPECT_EQ(pixels(b, pw, ph), expected) << c.what;
    EXPECT_EQ(bitsOfImage(im), c.rows) << c.what << ": the bytes are put back";
  }
}

// A bad Point names its argument, an image that cannot be shown fails with 0, a context
// that cannot be installed fails with 4 carrying the install code; nothing is drawn.
TEST_F(Win_CursorImages, RefusedImagesDrawNothing) {
  HBITMAP b;
  oop target = pixmap(6, 6, &b);
  oop good = image({0, 0, 0, 0}, 1, 1, 32);
  oop noDrawable = gc(target);
  setSlot(noDrawable, gcDrawable, nilOop());
  oop badLine = gc(target);
  setSlot(badLine, gcLine, nilOop());
  const struct {
    const char* what;
    int primitive;
    oop receiver;
    std::vector<oop> args;
    int code;
    int64_t value;
  } cases[] = {
      {"993 Point not a Point", 993, gc(target), {good, smallIntegerFor(1)}, primErrBadArgument, 2},
      {"998 Point not a Point", 998, gc(target), {good, smallIntegerFor(0), smallIntegerFor(0), nilOop()}, primErrBadArgument, 4},
      {"2 bits a pixel", 993, gc(target), {image({0, 0, 0, 0}, 1, 1, 2), point(0, 0)}, primErrGeneral, -1},
      {"bytes too few", 993, gc(target), {image({0, 0, 0, 0}, 2, 1, 32), point(0, 0)}, primErrGeneral, -1},
      {"not an image", 993, gc(target), {bytes("abcd", 4), point(0, 0)}, primErrGeneral, -1},
      {"no drawable", 993, noDrawable, {good, point(0, 0)}, primErrBadReceiver, 1},
      {"line not an integer", 993, badLine, {good, point(0, 0)}, primErrBadReceiver, 6},
  };
  for (const auto& c : cases) {
    FailureInfo f = failure(callPrimitive(c.primitive, c.receiver, c.args));
    EXPECT_EQ(f.code, c.code) << c.what;
    EXPECT_EQ(f.value, c.value) << c.what;
  }
  releasePixmapDC();
  EXPECT_EQ(pixels(b, 6, 6), std::vector<uint32_t>(36, 0xFFFFFF));
}
