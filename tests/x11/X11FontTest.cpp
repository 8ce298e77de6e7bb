// Core X fonts in process against Xvfb: loading and listing against Xlib's own answers,
// widths of one-row and two-row fonts, extents, and text drawn by the primitives compared
// pixel for pixel with the same text drawn by Xlib on the test's own connection.
#include <cstring>
#include <fstream>
#include <vector>

#include "mman/mmSysOop.h"
#include "mman/testHeap.h"
#include "x11/x11Fixture.h"

#include <X11/Xutil.h>

static const char* const twoRowFont = "-isas-song ti-medium-r-normal--16-160-72-72-c-160-gb2312.1980-0";

static oop byteObject(X11* t, const std::string& text) {
  oop b = t->bytes(text.size());
  memcpy(bodyOf(headerOf(b)), text.data(), text.size());
  return b;
}

// A translation table of 256 little-endian entries, identity unless changed.
static oop table(X11* t, uint64_t size = 512) {
  oop b = t->bytes(size);
  uint16_t* e = reinterpret_cast<uint16_t*>(bodyOf(headerOf(b)));
  for (uint64_t i = 0; i < size / 2 && i < 256; i++) e[i] = (uint16_t)i;
  return b;
}

// Font objects loaded by a case, freed (980) when it ends: Xlib's records of them would
// outlive the case.
static std::vector<oop> loadedFonts;
struct FreeFonts {
  ~FreeFonts() {
    for (oop f : loadedFonts) callPrimitive(980, f, {});
    loadedFonts.clear();
  }
};

// A font object (908's handle in slot 0), or nil when the font does not load.
static oop loadFont(oop screen, const char* name) {
  PrimOutcome r = callPrimitive(908, screen, {byteString(name)});
  if (r.failed) return nilOop();
  oop f = newOldObject(testClasses.threeSlots, 3);
  X11::setSlot(f, 0, slotOf(r.result, 0));
  loadedFonts.push_back(f);
  return f;
}

static uint32_t errorCode(const PrimOutcome& r) {
  for (uint32_t k = 0; k < 40; k++)
    if (r.errorOop == primErrorAt(k)) return k;
  return 99;
}

// The pixels of a drawable read on the test's connection.
static std::vector<unsigned long> pixels(Display* d, Drawable drawable, int w, int h) {
  XImage* image = XGetImage(d, drawable, 0, 0, (unsigned)w, (unsigned)h, AllPlanes, ZPixmap);
  std::vector<unsigned long> out;
  if (image == nullptr) return out;
  for (int y = 0; y < h; y++)
    for (int x = 0; x < w; x++) out.push_back(XGetPixel(image, x, y));
  XDestroyImage(image);
  return out;
}

// A white pixmap of the server's depth on the test's connection and a black-on-white GC.
static Pixmap whitePixmap(Display* d, int w, int h, GC* gc, Font font) {
  Pixmap p = XCreatePixmap(d, DefaultRootWindow(d), (unsigned)w, (unsigned)h, (unsigned)DefaultDepth(d, 0));
  *gc = XCreateGC(d, p, 0, nullptr);
  XSetForeground(d, *gc, WhitePixel(d, 0));
  XFillRectangle(d, p, *gc, 0, 0, (unsigned)w, (unsigned)h);
  XSetForeground(d, *gc, BlackPixel(d, 0));
  XSetFont(d, *gc, font);
  return p;
}

// The engine's pixmap cleared white, and a graphics context with the font drawing in black.
static oop textContext(X11* t, oop screen, oop font, int w, int h, oop* target) {
  *target = t->pixmap(screen, w, h);
  oop white = t->graphicsContext(*target, smallIntegerFor((int64_t)WhitePixel(X11::displayOf(screen), 0)));
  EXPECT_FALSE(callPrimitive(988, white, {t->point(0, 0), t->point(w, h)}).failed);
  oop gc = t->graphicsContext(*target, smallIntegerFor((int64_t)BlackPixel(X11::displayOf(screen), 0)));
  X11::setSlot(gc, 8, slotOf(font, 0));
  return gc;
}

TEST_F(X11, X11_Font_LoadFreeAndListAgainstXlib) {
  oop screen = openScreen();
  PrimOutcome r = callPrimitive(908, screen, {byteString("fixed")});
  ASSERT_FALSE(r.failed);
  XFontStruct* mine = XLoadQueryFont(own, "fixed");
  ASSERT_NE(mine, nullptr);
  EXPECT_EQ(slotOf(r.result, 1), smallIntegerFor(mine->ascent));
  EXPECT_EQ(slotOf(r.result, 2), smallIntegerFor(mine->descent));
  oop handle = slotOf(r.result, 0);
  ASSERT_EQ(byteSizeOf(headerOf(handle)), 16u);
  XFontStruct* theirs;
  memcpy(&theirs, bodyOf(headerOf(handle)), 8);
  EXPECT_EQ(theirs->max_bounds.width, mine->max_bounds.width);
  XFreeFont(own, mine);

  oop font = newOldObject(testClasses.threeSlots, 3);
  setSlot(font, 0, handle);
  EXPECT_FALSE(callPrimitive(980, font, {}).failed);
  EXPECT_EQ(slotOf(font, 0), nilOop()) << "the handle leaves the object";
  EXPECT_EQ(errorCode(callPrimitive(980, font, {})), 4u) << "freed twice";

  // Limits of the names, an unknown font, and the listings with the pattern each answers.
  struct Case {
    uint32_t primitive;
    std::string name;
    uint32_t code;
  } bad[] = {{908, std::string(257, 'a'), 3}, {908, std::string(256, 'a'), 10}, {978, std::string(256, '*'), 3},
             {978, "-nobody-*", 10}};
  for (const Case& c : bad) EXPECT_EQ(errorCode(callPrimitive(c.primitive, screen, {byteString(c.name.c_str())})), c.code)
      << c.primitive << " " << c.name.size();

  PrimOutcome all = callPrimitive(977, screen, {});
  ASSERT_FALSE(all.failed);
  int count = 0;
  char** names = XListFonts(own, "-*", 10000, &count);
  EXPECT_EQ(bodyWordsOf(headerOf(all.result)), (uint64_t)count);
  XFreeFontNames(names);
  bool alias = false;
  for (uint64_t i = 0; i < bodyWordsOf(headerOf(all.result)); i++)
    alias = alias || *reinterpret_cast<const char*>(bodyOf(headerOf(slotOf(all.result, i)))) != '-';
  EXPECT_FALSE(alias) << "XLFD names only";

  std::string path = testing::TempDir() + "/x11-fonts";
  std::ofstream(path) << "St80*xlfdOnly: false\n";
  PrimOutcome withAliases = callPrimitive(977, openScreen("TESSEL_X24", path.c_str()), {});
  ASSERT_FALSE(withAliases.failed);
  bool fixed = false;
  for (uint64_t i = 0; i < bodyWordsOf(headerOf(withAliases.result)); i++) {
    oop s = slotOf(withAliases.result, i);
    fixed = fixed || (byteSizeOf(headerOf(s)) == 5 && memcmp(bodyOf(headerOf(s)), "fixed", 5) == 0);
  }
  EXPECT_TRUE(fixed) << "the alias fixed is listed";
}

TEST_F(X11, X11_Font_WidthsOfOneAndTwoRowFonts) {
  FreeFonts freeing;
  oop screen = openScreen();
  struct Case {
    const char* font;
    int64_t start;
  } cases[] = {{"fixed", 30}, {twoRowFont, 0x4E20}, {twoRowFont, 0x2120}};
  for (const Case& c : cases) {
    oop font = loadFont(screen, c.font);
    ASSERT_NE(font, nilOop()) << c.font;
    XFontStruct* mine = XLoadQueryFont(own, c.font);
    ASSERT_NE(mine, nullptr);
    oop widths = newOldObject(classIndexArray, 40);
    ASSERT_FALSE(callPrimitive(916, font, {smallIntegerFor(c.start), widths}).failed);
    int nonZero = 0;
    for (int64_t i = 0; i < 40; i++) {
      int64_t code = c.start + i, want = 0;
      if (mine->max_byte1 == 0) {
        char ch = (char)code;
        bool present = code >= mine->min_char_or_byte2 && code <= mine->max_char_or_byte2;
        want = present ? XTextWidth(mine, &ch, 1) : 0;
      } else {
        XChar2b ch = {(unsigned char)(code >> 8), (unsigned char)(code & 255)};
        bool present = (code & 255) >= mine->min_char_or_byte2 && (code & 255) <= mine->max_char_or_byte2;
        want = present ? XTextWidth16(mine, &ch, 1) : 0;
      }
      EXPECT_EQ(slotOf(widths, (uint64_t)i), smallIntegerFor(want)) << c.font << " code " << code;
      nonZero += want != 0;
    }
    EXPECT_GT(nonZero, 20) << c.font;
    // Beyond the code limit every slot is 0.
    EXPECT_FALSE(callPrimitive(916, font, {smallIntegerFor(0x10000), widths}).failed);
    for (uint64_t i = 0; i < 40; i++) EXPECT_EQ(slotOf(widths, i), smallIntegerFor(0));
    EXPECT_EQ(errorCode(callPrimitive(916, font, {smallIntegerFor(-1), widths})), 3u);
    XFreeFont(own, mine);
  }
}

TEST_F(X11, X11_Font_ExtentsAgainstXTextExtents) {
  FreeFonts freeing;
  oop screen = openScreen();
  oop fixed = loadFont(screen, "fixed"), wide = loadFont(screen, twoRowFont);
  ASSERT_TRUE(fixed != nilOop() && wide != nilOop());
  XFontStruct* mine = XLoadQueryFont(own, "fixed");
  // 2500 characters: three chunks, the widths summed.
  std::string text;
  for (int i = 0; i < 2500; i++) text += (char)('a' + i % 26);
  int direction, ascent, descent;
  XCharStruct overall;
  XTextExtents(mine, text.data() + 1, 2498, &direction, &ascent, &descent, &overall);
  PrimOutcome r = callPrimitive(974, fixed, {byteObject(this, text), smallIntegerFor(2), smallIntegerFor(2499), table(this)});
  ASSERT_FALSE(r.failed);
  EXPECT_EQ(slotOf(r.result, 0), smallIntegerFor(overall.width));
  EXPECT_EQ(slotOf(r.result, 1), smallIntegerFor(overall.ascent + overall.descent));
  XFreeFont(own, mine);

  XFontStruct* two = XLoadQueryFont(own, twoRowFont);
  const uint16_t units[3] = {0x4E2D, 0x3021, 0x4E2E};
  XChar2b chars[3];
  for (int i = 0; i < 3; i++) chars[i] = {(unsigned char)(units[i] >> 8), (unsigned char)(units[i] & 255)};
  XTextExtents16(two, chars, 3, &direction, &ascent, &descent, &overall);
  oop string = bytes(6);
  memcpy(bodyOf(headerOf(string)), units, 6);
  r = callPrimitive(973, wide, {string, smallIntegerFor(1), smallIntegerFor(3)});
  ASSERT_FALSE(r.failed);
  EXPECT_EQ(slotOf(r.result, 0), smallIntegerFor(overall.width));
  EXPECT_EQ(slotOf(r.result, 1), smallIntegerFor(overall.ascent + overall.descent));
  XFreeFont(own, two);

  // The argument checks: range, table size and entries, the font slot.
  oop remapped = table(this);
  reinterpret_cast<uint16_t*>(bodyOf(headerOf(remapped)))[uint8_t('b')] = 0x0141;
  oop freed = newOldObject(testClasses.threeSlots, 3);
  struct Bad {
    oop font;
    const char* text;
    int64_t start, stop;
    oop table;
    uint32_t code;
  } bad[] = {{fixed, "abc", 0, 2, table(this), 3},       {fixed, "abc", 3, 2, table(this), 3},
             {fixed, "abc", 1, 4, table(this), 3},       {fixed, "abc", 1, 3, table(this, 510), 3},
             {fixed, "abc", 1, 3, remapped, 3},          {fixed, "acc", 1, 3, remapped, 0xFF},
             {freed, "abc", 1, 3, table(this), 4}};
  for (const Bad& b : bad) {
    PrimOutcome o = callPrimitive(974, b.font, {byteObject(this, b.text), smallIntegerFor(b.start), smallIntegerFor(b.stop), b.table});
    if (b.code == 0xFF) EXPECT_FALSE(o.failed) << "an entry that is never used";
    else EXPECT_EQ(errorCode(o), b.code) << b.text << " " << b.start << ".." << b.stop;
  }
}

TEST_F(X11, X11_Font_DrawnTextMatchesXDrawStringInChunks) {
  FreeFonts freeing;
  oop screen = openScreen();
  oop font = loadFont(screen, "fixed");
  ASSERT_NE(font, nilOop());
  XFontStruct* mine = XLoadQueryFont(own, "fixed");
  std::string text;
  for (int i = 0; i < 3000; i++) text += (char)(33 + (i * 7) % 90);
  const int w = 3000 * mine->max_bounds.width + 20, h = 20;
  oop target;
  oop gc = textContext(this, screen, font, w, h, &target);
  setSlot(gc, 10, smallIntegerFor(4));  // the translation moves the text
  ASSERT_FALSE(callPrimitive(957, gc, {byteObject(this, text), smallIntegerFor(1), smallIntegerFor(3000), point(1, 14), table(this)}).failed);
  XSync(displayOf(screen), False);

  // The same text in the chunks 1024, 1024 and 952, each where the ones before end.
  GC ref;
  Pixmap expected = whitePixmap(own, w, h, &ref, mine->fid);
  int x = 5;
  for (int at = 0; at < 3000; at += 1024) {
    int n = at + 1024 <= 3000 ? 1024 : 3000 - at;
    XDrawString(own, expected, ref, x, 14, text.data() + at, n);
    x += XTextWidth(mine, text.data() + at, n);
  }
  XSync(own, False);
  std::vector<unsigned long> got = pixels(own, drawableId(target), w, h), want = pixels(own, expected, w, h);
  ASSERT_EQ(got.size(), want.size());
  size_t differ = 0, black = 0;
  for (size_t i = 0; i < got.size(); i++) differ += got[i] != want[i], black += want[i] == BlackPixel(own, 0);
  EXPECT_EQ(differ, 0u);
  EXPECT_GT(black, 3000u) << "the glyphs have pixels";

  // The advancing x leaves 16 bits after the first chunk; a position outside them at once.
  EXPECT_EQ(errorCode(callPrimitive(957, gc, {byteObject(this, text), smallIntegerFor(1), smallIntegerFor(2000), point(30000, 14), table(this)})), 19u);
  EXPECT_EQ(errorCode(callPrimitive(957, gc, {byteObject(this, "ab"), smallIntegerFor(1), smallIntegerFor(2), point(32767, 14), table(this)})), 3u);
  EXPECT_FALSE(callPrimitive(957, gc, {byteObject(this, "ab"), smallIntegerFor(1), smallIntegerFor(2), point(32760, 14), table(this)}).failed);
  setSlot(gc, 8, nilOop());
  PrimOutcome noFont = callPrimitive(957, gc, {byteObject(this, "ab"), smallIntegerFor(1), smallIntegerFor(2), point(0, 14), table(this)});
  ASSERT_TRUE(noFont.failed);
  EXPECT_EQ(slotOf(noFont.errorOop, 0), smallIntegerFor(9)) << "the font slot named";
  XFreePixmap(own, expected);
  XFreeGC(own, ref);
  XFreeFont(own, mine);
}

TEST_F(X11, X11_Font_TwoByteCharactersSendRowThenColumn) {
  FreeFonts freeing;
  oop screen = openScreen();
  oop font = loadFont(screen, twoRowFont);
  ASSERT_NE(font, nilOop());
  XFontStruct* mine = XLoadQueryFont(own, twoRowFont);
  const int w = 80, h = 20;
  oop target;
  oop gc = textContext(this, screen, font, w, h, &target);
  // 976 draws one character, 975 two from the middle of three.
  const uint16_t units[3] = {0x3021, 0x4E2D, 0x4E2E};
  oop string = bytes(6);
  memcpy(bodyOf(headerOf(string)), units, 6);
  ASSERT_FALSE(callPrimitive(976, gc, {smallIntegerFor(0x4E2D), point(2, 16)}).failed);
  ASSERT_FALSE(callPrimitive(975, gc, {string, smallIntegerFor(2), smallIntegerFor(3), point(30, 16)}).failed);
  XSync(displayOf(screen), False);  // the engine's requests done before the test's own read
  GC ref;
  Pixmap expected = whitePixmap(own, w, h, &ref, mine->fid);
  XChar2b one = {0x4E, 0x2D}, two[2] = {{0x4E, 0x2D}, {0x4E, 0x2E}};
  XDrawString16(own, expected, ref, 2, 16, &one, 1);
  XDrawString16(own, expected, ref, 30, 16, two, 2);
  XSync(own, False);
  std::vector<unsigned long> got = pixels(own, drawableId(target), w, h), want = pixels(own, expected, w, h);
  size_t differ = 0, black = 0;
  for (size_t i = 0; i < got.size(); i++) differ += got[i] != want[i], black += want[i] == BlackPixel(own, 0);
  EXPECT_EQ(differ, 0u);
  EXPECT_GT(black, 30u) << "the glyphs have pixels";
  EXPECT_EQ(errorCode(callPrimitive(976, gc, {smallIntegerFor(65536), point(2, 16)})), 3u);
  XFreePixmap(own, expected);
  XFreeGC(own, ref);
  XFreeFont(own, mine);
}
