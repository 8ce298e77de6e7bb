// Images in process against Xvfb: an image object put (993) and read back (1100) on both
// servers, the clip that sends a sub-image only, one-bit images in two pixels (998), and
// the image objects that must make no image.
#include <dlfcn.h>

#include <cstring>

#include "mman/mmSysOop.h"
#include "mman/testHeap.h"
#include "x11/x11Fixture.h"

// {bits width height depth bitsPerPixel}.
static oop imageObject(X11* t, const std::vector<uint8_t>& bits, int64_t w, int64_t h, int64_t depth, int64_t bpp) {
  oop b = t->bytes(bits.size());
  memcpy(bodyOf(headerOf(b)), bits.data(), bits.size());
  oop image = newOldObject(testClasses.pointers, 5);
  const oop slots[5] = {b, smallIntegerFor(w), smallIntegerFor(h), smallIntegerFor(depth), smallIntegerFor(bpp)};
  for (uint64_t i = 0; i < 5; i++) X11::setSlot(image, i, slots[i]);
  return image;
}

// The drawable's pixels as 1100 answers them, most significant byte first.
static std::vector<uint8_t> readBack(X11* t, oop drawable, int64_t w, int64_t h, uint64_t size) {
  oop into = t->bytes(size);
  PrimOutcome r = callPrimitive(1100, drawable, {smallIntegerFor(0), smallIntegerFor(0), smallIntegerFor(w),
                                                 smallIntegerFor(h), into, smallIntegerFor(1)});
  EXPECT_FALSE(r.failed) << "1100";
  const uint8_t* p = reinterpret_cast<const uint8_t*>(bodyOf(headerOf(into)));
  return std::vector<uint8_t>(p, p + size);
}

static uint64_t* pixelsPut() {
  void* library = dlopen(TESSEL_GUI_LIBRARY, RTLD_NOW | RTLD_NOLOAD);
  return library != nullptr ? static_cast<uint64_t*>(dlsym(library, "x11ImagePixelsPut")) : nullptr;
}

static int64_t argumentNamed(const PrimOutcome& r) {
  return r.failed && isHeapObject(r.errorOop) && bodyWordsOf(headerOf(r.errorOop)) > 0 && isSmallInteger(slotOf(r.errorOop, 0))
             ? smallIntegerValue(slotOf(r.errorOop, 0))
             : -1;
}

TEST_F(X11, X11_Image_PutThenReadBackAtDepths24And8) {
  struct Case {
    const char* server;
    int64_t depth, bpp;
  } cases[] = {{"TESSEL_X24", 24, 32}, {"TESSEL_X8", 8, 8}};
  for (const Case& c : cases) {
    oop screen = openScreen(c.server);
    oop target = pixmap(screen, 8, 8);
    uint64_t size = 8 * 8 * (uint64_t)c.bpp / 8;
    std::vector<uint8_t> bits(size);
    for (uint64_t i = 0; i < size; i++) bits[i] = (uint8_t)(i * 37 + 11);
    if (c.bpp == 32)
      for (uint64_t i = 0; i < size; i += 4) bits[i] = 0;  // the pad byte above 24 bits
    ASSERT_FALSE(callPrimitive(993, graphicsContext(target), {imageObject(this, bits, 8, 8, c.depth, c.bpp), point(0, 0)}).failed);
    XSync(displayOf(screen), False);
    EXPECT_EQ(readBack(this, target, 8, 8, size), bits) << c.server;
  }
}

TEST_F(X11, X11_Image_ClipSendsTheVisiblePartOnlyWhenLittleShows) {
  uint64_t* sent = pixelsPut();
  ASSERT_NE(sent, nullptr);
  oop screen = openScreen();
  std::vector<uint8_t> bits(40 * 40 * 4);
  for (uint64_t i = 0; i < bits.size(); i += 4) bits[i + 1] = 0xFF, bits[i + 3] = (uint8_t)(i / 160);  // red, blue = row
  oop image = imageObject(this, bits, 40, 40, 24, 32);
  // Clip rectangles {x y w h} against the image at (10, 10): what is sent and what shows.
  struct Case {
    int64_t cx, cy, cw, ch;
    uint64_t pixels;  // 0: nothing put at all
  } cases[] = {{10, 10, 40, 4, 160}, {10, 10, 40, 20, 1600}, {30, 20, 8, 8, 64}, {100, 100, 5, 5, 0}, {0, 0, 200, 200, 1600}};
  for (const Case& c : cases) {
    oop target = pixmap(screen, 80, 80);
    oop white = graphicsContext(target, smallIntegerFor(0xFFFFFF));
    ASSERT_FALSE(callPrimitive(988, white, {point(0, 0), point(80, 80)}).failed);
    oop gc = graphicsContext(target);
    setSlot(gc, 1, smallIntegerFor(c.cx)), setSlot(gc, 2, smallIntegerFor(c.cy));
    setSlot(gc, 3, smallIntegerFor(c.cw)), setSlot(gc, 4, smallIntegerFor(c.ch));
    setSlot(gc, 10, smallIntegerFor(5)), setSlot(gc, 11, smallIntegerFor(5));  // translation
    *sent = 0;
    ASSERT_FALSE(callPrimitive(993, gc, {image, point(5, 5)}).failed);
    EXPECT_EQ(*sent, c.pixels) << c.cx << "," << c.cy << " " << c.cw << "x" << c.ch;
    XSync(displayOf(screen), False);
    std::vector<uint8_t> got = readBack(this, target, 80, 80, 80 * 80 * 4);
    for (int64_t y = 0; y < 80; y++)
      for (int64_t x = 0; x < 80; x++) {
        bool inImage = x >= 10 && x < 50 && y >= 10 && y < 50;
        bool inClip = x >= c.cx && x < c.cx + c.cw && y >= c.cy && y < c.cy + c.ch;
        uint32_t want = inImage && inClip ? 0xFF0000u | (uint32_t)((y - 10) * 40 * 4 / 160) : 0xFFFFFFu;
        const uint8_t* p = &got[(size_t)(y * 80 + x) * 4];
        uint32_t pixel = (uint32_t)p[1] << 16 | (uint32_t)p[2] << 8 | p[3];
        if (pixel != want) {
          ADD_FAILURE() << "pixel " << x << "," << y << " is " << std::hex << pixel << " not " << want;
          return;
        }
      }
  }
}

TEST_F(X11, X11_Image_OneBitImageInTwoPixelsAndBadImages) {
  oop screen = openScreen();
  oop target = pixmap(screen, 8, 2);
  oop gc = graphicsContext(target);
  // Rows of 8 pixels padded to 32 bits: 10110000, then 00001111.
  oop mono = imageObject(this, {0xB0, 0, 0, 0, 0x0F, 0, 0, 0}, 8, 2, 1, 1);
  ASSERT_FALSE(callPrimitive(998, gc, {mono, smallIntegerFor(0xFF0000), smallIntegerFor(0x0000FF), point(0, 0)}).failed);
  XSync(displayOf(screen), False);
  std::vector<uint8_t> got = readBack(this, target, 8, 2, 64);
  const char* want = "10110000" "00001111";
  for (int i = 0; i < 16; i++) EXPECT_EQ(got[(size_t)i * 4 + 1], want[i] == '1' ? 0xFF : 0) << i;
  for (int i = 0; i < 16; i++) EXPECT_EQ(got[(size_t)i * 4 + 3], want[i] == '1' ? 0 : 0xFF) << i;

  // Objects that make no image (argument 1), and the other arguments.
  std::vector<uint8_t> full(64 * 4);
  struct Bad {
    oop image, position;
    int64_t argument;
  } bad[] = {{imageObject(this, std::vector<uint8_t>(63 * 4), 8, 8, 24, 32), point(0, 0), 1},  // bits short of the rows
             {imageObject(this, full, 8, 8, 24, 3), point(0, 0), 1},                          // no such pixel size
             {imageObject(this, full, 8, 8, 0, 32), point(0, 0), 1},
             {imageObject(this, full, 70000, 1, 24, 32), point(0, 0), 1},
             {imageObject(this, full, 8, 8, 24, 32), point(40000, 0), 2},
             {imageObject(this, full, 8, 8, 24, 32), smallIntegerFor(3), 2}};
  for (const Bad& b : bad) EXPECT_EQ(argumentNamed(callPrimitive(993, gc, {b.image, b.position})), b.argument);
  EXPECT_EQ(argumentNamed(callPrimitive(998, gc, {mono, nilOop(), smallIntegerFor(0), point(0, 0)})), 2);
  EXPECT_EQ(argumentNamed(callPrimitive(998, gc, {mono, smallIntegerFor(0), smallIntegerFor(int64_t(1) << 33), point(0, 0)})), 3);
}
