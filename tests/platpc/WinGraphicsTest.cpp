// Graphics contexts and drawing of the Windows layer, in process on pixmaps: each primitive's
// drawing against the same drawing done by GDI directly, the install failures and argument
// errors of the drawing table, tiled paint, masks and area copies.
#include <algorithm>
#include <cmath>
#include <functional>

#include "platpc/winGdiFixture.h"
#include "prim/prDouble.h"

namespace {

class Win_Graphics : public WinGdiTest {
 protected:
  static int painted(const std::vector<uint32_t>& p) {
    return int(std::count_if(p.begin(), p.end(), [](uint32_t v) { return v != 0xFFFFFF; }));
  }
};

TEST_F(Win_Graphics, TheWindowSystemIsNamed) {
  PrimOutcome r = callPrimitive(949, nilOop(), {});
  ASSERT_FALSE(r.failed);
  EXPECT_EQ(textOf(r.result), "MS-Windows");
}

// A one-pixel line reaches both ends (x 0..10 on row 0 and nothing else); a wider line is
// refused by the thin-only primitives; a line to its own start draws nothing.
TEST_F(Win_Graphics, OnePixelLinesCoverBothEnds) {
  const struct { int x0, y0, x1, y1; } lines[] = {{0, 0, 10, 0}, {10, 0, 0, 0}, {2, 1, 2, 9}, {1, 1, 6, 6}};
  for (const auto& l : lines) {
    HBITMAP b;
    oop g = gc(pixmap(16, 12, &b));
    ASSERT_FALSE(callPrimitive(985, g, {point(l.x0, l.y0), point(l.x1, l.y1)}).failed);
    std::vector<uint32_t> p = pixels(b, 16, 12);
    int n = std::max(std::abs(l.x1 - l.x0), std::abs(l.y1 - l.y0)) + 1;
    EXPECT_EQ(painted(p), n) << l.x0 << "," << l.y0;
    EXPECT_EQ(p[size_t(l.y0 * 16 + l.x0)], 0u);
    EXPECT_EQ(p[size_t(l.y1 * 16 + l.x1)], 0u);
  }
  HBITMAP b;
  oop g = gc(pixmap(8, 8, &b));
  ASSERT_FALSE(callPrimitive(1225, g, {point(3, 3), point(3, 3)}).failed);
  EXPECT_EQ(painted(pixels(b, 8, 8)), 0);
}

// The shapes equal GDI's own: polygon, filled rectangle, rectangle outline, polyline with an
// offset, in a red paint.
TEST_F(Win_Graphics, ShapesEqualGdi) {
  const COLORREF red = RGB(255, 0, 0);
  struct Case {
    const char* name;
    std::function<PrimOutcome(oop)> primitive;
    std::function<void(HDC)> gdi;
  } cases[] = {
      {"polygon", [&](oop g) { return callPrimitive(987, g, {array({point(2, 2), point(20, 4), point(8, 18)}), point(1, 0)}); },
       [](HDC dc) { POINT p[] = {{3, 2}, {21, 4}, {9, 18}}; Polygon(dc, p, 3); }},
      {"fill", [&](oop g) { return callPrimitive(988, g, {point(3, 4), point(7, 9)}); },
       [](HDC dc) { PatBlt(dc, 3, 4, 7, 9, PATCOPY); }},
      {"outline", [&](oop g) { return callPrimitive(989, g, {point(3, 4), point(7, 9)}); },
       [](HDC dc) { POINT p[] = {{3, 4}, {10, 4}, {10, 13}, {3, 13}, {3, 4}}; Polyline(dc, p, 5); }},
      {"polyline", [&](oop g) { return callPrimitive(986, g, {array({point(0, 0), point(9, 12), point(20, 3)}), point(2, 2)}); },
       [](HDC dc) { POINT p[] = {{2, 2}, {11, 14}, {22, 5}}; Polyline(dc, p, 3); }},
  };
  for (auto& c : cases) {
    HBITMAP b;
    oop g = gc(pixmap(24, 20, &b), 1, smallIntegerFor(-int64_t(red)));
    ASSERT_FALSE(c.primitive(g).failed) << c.name;
    Direct d = direct(24, 20);
    HBRUSH brush = CreateSolidBrush(red);
    HPEN pen = CreatePen(PS_SOLID, 1, red);
    HGDIOBJ oldBrush = SelectObject(d.dc, brush), oldPen = SelectObject(d.dc, pen);
    if (std::string(c.name) == "polygon") SelectObject(d.dc, GetStockObject(NULL_PEN));
    c.gdi(d.dc);
    SelectObject(d.dc, oldBrush), SelectObject(d.dc, oldPen);
    DeleteObject(brush), DeleteObject(pen);
    std::vector<uint32_t> expected = finish(d);
    EXPECT_GT(painted(expected), 0) << c.name;
    EXPECT_EQ(pixels(b, 24, 20), expected) << c.name;
  }
}

// Sweeps: above 359 degrees either way (360, and 359.5 rounding up) the whole ellipse;
// 358.5 an arc between the points at the angles; a negative extent draws nothing (the
// wedge fails with 0).
TEST_F(Win_Graphics, ArcSweeps) {
  const struct { double start, sweep; bool whole; } sweeps[] = {
      {0, 360, true}, {30, 359.5, true}, {0, -400, true}, {30, 358.5, false}, {45, -90, false}};
  for (const auto& s : sweeps) {
    HBITMAP b;
    oop g = gc(pixmap(40, 30, &b));
    ASSERT_FALSE(callPrimitive(990, g, {point(2, 3), point(30, 20), newDoubleBox(s.start), newDoubleBox(s.sweep)}).failed);
    Direct d = direct(40, 30);
    SelectObject(d.dc, GetStockObject(BLACK_PEN));
    if (s.whole) {
      SelectObject(d.dc, GetStockObject(NULL_BRUSH));
      Ellipse(d.dc, 2, 3, 32, 23);
    } else {
      int sweep = s.sweep >= 0 ? int(s.sweep + 1.0) : int(s.sweep), start = int(std::round(s.start));
      double a = sweep >= 0 ? -start - sweep : -start, c = sweep >= 0 ? -start : -start - sweep;
      auto at = [](double degrees) {
        double t = (360.0 - degrees) * 3.141592653589793 / 180.0;
        return POINT{LONG(2 + std::trunc((std::cos(t) + 1) * 30 / 2)), LONG(3 + std::trunc((std::sin(t) + 1) * 20 / 2))};
      };
      POINT p = at(a), q = at(c);
      Arc(d.dc, 2, 3, 32, 23, p.x, p.y, q.x, q.y);
    }
    std::vector<uint32_t> expected = finish(d);
    EXPECT_EQ(pixels(b, 40, 30), expected) << s.start << " " << s.sweep;
  }
  HBITMAP b;
  oop g = gc(pixmap(8, 8, &b));
  EXPECT_FALSE(callPrimitive(990, g, {point(1, 1), point(-3, 4), smallIntegerFor(0), smallIntegerFor(90)}).failed);
  EXPECT_EQ(painted(pixels(b, 8, 8)), 0);
  EXPECT_EQ(failure(callPrimitive(991, g, {point(1, 1), point(-3, 4), smallIntegerFor(0), smallIntegerFor(90)})).code, 0);
  // Angles out of the 16-bit range or not numbers fail with 0.
  EXPECT_EQ(failure(callPrimitive(990, g, {point(1, 1), point(3, 4), smallIntegerFor(40000), smallIntegerFor(90)})).code, 0);
  EXPECT_EQ(failure(callPrimitive(990, g, {point(1, 1), point(3, 4), smallIntegerFor(0), nilOop()})).code, 0);
}

// Install failures reach the image as 4 carrying the install code: a width-3 line for the
// thin-only primitives (6), infinite or zero scales (15, 16), a paint that is neither a
// colour nor a pixmap (10), a clip slot that is not an integer (slot + 1), a context of
// fewer than 14 slots (0); a context without the scale slots draws.
TEST_F(Win_Graphics, InstallFailuresCarryTheirCodes) {
  oop p = pixmap(8, 8);
  auto lineOn = [&](oop g) { return failure(callPrimitive(985, g, {point(0, 0), point(3, 0)})); };
  const struct {
    const char* name;
    uint32_t slot;
    oop value;
    int64_t code;
  } cases[] = {
      {"width 3", gcLine, smallIntegerFor(3), 6},
      {"line not integer", gcLine, nilOop(), 6},
      {"infinite scale", gcScaleX, newDoubleBox(INFINITY), 15},
      {"zero scale y", gcScaleY, smallIntegerFor(0), 16},
      {"paint", gcPaint, nilOop(), 10},
      {"clip width", gcClipWidth, nilOop(), 4},
      {"phase", gcPhaseY, trueOop(), 14},
  };
  for (const auto& c : cases) {
    oop g = gc(p);
    setSlot(g, gcClipX, smallIntegerFor(0));
    setSlot(g, gcClipY, smallIntegerFor(0));
    setSlot(g, gcClipWidth, smallIntegerFor(8));
    setSlot(g, gcClipHeight, smallIntegerFor(8));
    setSlot(g, c.slot, c.value);
    FailureInfo f = lineOn(g);
    EXPECT_EQ(f.code, primErrBadReceiver) << c.name;
    EXPECT_EQ(f.value, c.code) << c.name;
  }
  // A wide line does not stop a filled rectangle.
  HBITMAP b;
  oop wide = gc(pixmap(8, 8, &b), 3);
  EXPECT_FALSE(callPrimitive(988, wide, {point(0, 0), point(2, 2)}).failed);
  EXPECT_EQ(painted(pixels(b, 8, 8)), 4);
  // Fewer slots: 13 fail, 14 (no scale slots) draw.
  uint32_t shortClass = newTestClass(formatPointers | 13), noScaleClass = newTestClass(formatPointers | 14);
  oop small = newOldObject(shortClass, 13), noScale = newOldObject(noScaleClass, 14);
  for (oop g : {small, noScale}) {
    setSlot(g, gcDrawable, pixmap(8, 8, &b));
    setSlot(g, gcLine, smallIntegerFor(1));
    setSlot(g, gcPaint, smallIntegerFor(0));
  }
  FailureInfo f = lineOn(small);
  EXPECT_EQ(f.code, primErrBadReceiver);
  EXPECT_EQ(f.value, 0);
  EXPECT_EQ(lineOn(noScale).code, -1);
  EXPECT_EQ(painted(pixels(b, 8, 8)), 4);
}

// The argument errors of the drawing table.
TEST_F(Win_Graphics, ArgumentErrors) {
  HBITMAP b;
  oop g = gc(pixmap(8, 8, &b));
  oop mask = bitmap1(4, 4);
  const struct {
    const char* name;
    uint32_t primitive;
    std::vector<oop> args;
    int code;
    int64_t value;
  } cases[] = {
      {"line start", 985, {nilOop(), point(1, 1)}, 3, 1},
      {"line end", 985, {point(1, 1), smallIntegerFor(1)}, 3, 2},
      {"line range", 985, {point(0, 0), point(40000, 0)}, 0, -1},
      {"polyline empty", 986, {array({}), point(0, 0)}, 0, -1},
      {"polyline bad point", 986, {array({point(0, 0), nilOop()}), point(0, 0)}, 0, -1},
      {"polygon empty", 987, {array({}), point(0, 0)}, 4, 0},
      {"fill extent", 988, {point(0, 0), nilOop()}, 3, 2},
      {"outline too wide", 989, {point(0, 0), point(65536, 2)}, 0, -1},
      {"arc origin", 1230, {nilOop(), point(1, 1), smallIntegerFor(0), smallIntegerFor(9)}, 3, 1},
      {"mask position", 992, {mask, nilOop()}, 3, 2},
      {"mask not a pixmap", 992, {nilOop(), point(0, 0)}, 0, -1},
      {"copy extent", 994, {nilOop(), g, point(0, 0), point(0, 0)}, 3, 1},
      {"copy destination", 994, {point(1, 1), g, point(0, 0), nilOop()}, 3, 4},
  };
  for (const auto& c : cases) {
    FailureInfo f = failure(callPrimitive(c.primitive, g, c.args));
    EXPECT_EQ(f.code, c.code) << c.name;
    EXPECT_EQ(f.value, c.value) << c.name;
  }
  // Nothing drawn: empty fills and outlines of negative size succeed.
  EXPECT_FALSE(callPrimitive(988, g, {point(0, 0), point(0, 5)}).failed);
  EXPECT_FALSE(callPrimitive(989, g, {point(0, 0), point(-1, 5)}).failed);
  EXPECT_EQ(painted(pixels(b, 8, 8)), 0);
  // A source context that does not install: 3 carrying {2, code}.
  PrimOutcome bad = callPrimitive(994, g, {point(1, 1), smallIntegerFor(5), point(0, 0), point(0, 0)});
  ASSERT_TRUE(bad.failed);
  oop carried = slotOf(bad.errorOop, 0);
  ASSERT_FALSE(isImmediate(carried));
  EXPECT_EQ(slotOf(carried, 0), smallIntegerFor(2));
  EXPECT_EQ(slotOf(carried, 1), smallIntegerFor(0));
}

// 992 lays the paint where the mask's bits are set (white) and 995 copies the source there,
// leaving the destination elsewhere; 994 copies an area between pixmaps and answers no
// hidden part.
TEST_F(Win_Graphics, MasksAndAreaCopies) {
  oop mask = bitmap1(4, 4);
  // The left half cleared through a context of its own (the mask's bitmap is then held by
  // the layer's cached memory DC until another drawable takes that DC's place).
  ASSERT_FALSE(callPrimitive(988, gc(mask), {point(0, 0), point(2, 4)}).failed);
  HBITMAP b;
  oop g = gc(pixmap(8, 8, &b), 1, smallIntegerFor(-int64_t(RGB(0, 0, 255))));
  ASSERT_FALSE(callPrimitive(992, g, {mask, point(2, 2)}).failed);
  std::vector<uint32_t> p = pixels(b, 8, 8);
  for (int y = 0; y < 8; y++)
    for (int x = 0; x < 8; x++)
      EXPECT_EQ(p[size_t(y * 8 + x)], x >= 4 && x < 6 && y >= 2 && y < 6 ? 0x0000FFu : 0xFFFFFFu) << x << "," << y;

  HBITMAP sb, db;
  oop source = gc(pixmap(8, 8, &sb), 1, smallIntegerFor(-int64_t(RGB(0, 255, 0))));
  ASSERT_FALSE(callPrimitive(988, source, {point(0, 0), point(8, 8)}).failed);
  oop destination = gc(pixmap(8, 8, &db));
  PrimOutcome copied = callPrimitive(995, destination, {mask, source, point(1, 1), point(4, 4)});
  ASSERT_FALSE(copied.failed);
  EXPECT_EQ(bodyWordsOf(headerOf(copied.result)), 0u);
  p = pixels(db, 8, 8);
  for (int y = 0; y < 8; y++)
    for (int x = 0; x < 8; x++)
      EXPECT_EQ(p[size_t(y * 8 + x)], x >= 6 && y >= 4 ? 0x00FF00u : 0xFFFFFFu) << x << "," << y;
  PrimOutcome area = callPrimitive(994, destination, {point(3, 2), source, point(0, 0), point(0, 0)});
  ASSERT_FALSE(area.failed);
  EXPECT_EQ(bodyWordsOf(headerOf(area.result)), 0u);
  p = pixels(db, 8, 8);
  EXPECT_EQ(p[0], 0x00FF00u);
  EXPECT_EQ(p[size_t(1 * 8 + 2)], 0x00FF00u);
  EXPECT_EQ(p[size_t(1 * 8 + 3)], 0xFFFFFFu);
  EXPECT_EQ(p[size_t(2 * 8 + 0)], 0xFFFFFFu);
}

// A tile paint repeats the tile across the shape from the tile phase and leaves the rest;
// a clip limits any drawing and does not outlive its install.
TEST_F(Win_Graphics, TiledPaintAndClip) {
  HBITMAP tileBitmap;
  oop tile = pixmap(2, 2, &tileBitmap);
  {
    HDC dc = CreateCompatibleDC(nullptr);
    HGDIOBJ old = SelectObject(dc, tileBitmap);
    SetPixel(dc, 0, 0, RGB(255, 0, 0));  // red at tile (0, 0), white elsewhere
    SelectObject(dc, old);
    DeleteDC(dc);
  }
  HBITMAP b;
  oop g = gc(pixmap(10, 10, &b), 1, tile);
  setSlot(g, gcPhaseX, smallIntegerFor(1));
  ASSERT_FALSE(callPrimitive(988, g, {point(2, 2), point(6, 6)}).failed);
  std::vector<uint32_t> p = pixels(b, 10, 10);
  for (int y = 0; y < 10; y++)
    for (int x = 0; x < 10; x++) {
      bool inside = x >= 2 && x < 8 && y >= 2 && y < 8;
      bool red = inside && (x - 1) % 2 == 0 && y % 2 == 0;
      EXPECT_EQ(p[size_t(y * 10 + x)], red ? 0xFF0000u : 0xFFFFFFu) << x << "," << y;
    }

  HBITMAP c;
  oop clipped = gc(pixmap(10, 10, &c));
  setSlot(clipped, gcClipX, smallIntegerFor(0));
  setSlot(clipped, gcClipY, smallIntegerFor(0));
  setSlot(clipped, gcClipWidth, smallIntegerFor(3));
  setSlot(clipped, gcClipHeight, smallIntegerFor(10));
  ASSERT_FALSE(callPrimitive(988, clipped, {point(0, 0), point(10, 1)}).failed);
  EXPECT_EQ(painted(pixels(c, 10, 10)), 3);
  setSlot(clipped, gcClipX, nilOop());
  ASSERT_FALSE(callPrimitive(988, clipped, {point(0, 1), point(10, 1)}).failed);
  EXPECT_EQ(painted(pixels(c, 10, 10)), 13);
}

// A printer's context word is its own device context: drawing leaves it in the handle bytes,
// so a second drawing finds it again; a pixmap's word is cleared after each drawing.
TEST_F(Win_Graphics, APrinterKeepsItsContextAcrossDrawings) {
  Direct printer = direct(12, 12);
  oop p = pixmapOver(printer.bitmap, 12, 12, kindPrinterDrawable, nullptr);
  DrawableBytes* bytes = drawableBytesOf(p);
  bytes->dc = uint64_t(printer.dc);
  oop g = gc(p);
  ASSERT_FALSE(callPrimitive(988, g, {point(0, 0), point(2, 2)}).failed);
  EXPECT_EQ(bytes->dc, uint64_t(printer.dc));
  ASSERT_FALSE(callPrimitive(988, g, {point(5, 5), point(2, 2)}).failed);
  EXPECT_EQ(painted(finish(printer)), 8);
  oop q = pixmap(4, 4);
  ASSERT_FALSE(callPrimitive(988, gc(q), {point(0, 0), point(2, 2)}).failed);
  EXPECT_EQ(drawableBytesOf(q)->dc, 0u);
}

// Cases with windows of their own.
class Win_GraphicsGui : public Win_Graphics {
 protected:
  // A visible pop-up window of the test's class.
  HWND window(const wchar_t* name, DWORD exStyle, int x, int y, int w, int h) {
    WNDCLASSW wc = {};
    wc.lpfnWndProc = DefWindowProcW;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.lpszClassName = L"TesselGraphicsTest";
    wc.hbrBackground = HBRUSH(GetStockObject(WHITE_BRUSH));
    RegisterClassW(&wc);
    return CreateWindowExW(exStyle, wc.lpszClassName, name, WS_POPUP | WS_VISIBLE, x, y, w, h, nullptr, nullptr,
                           wc.hInstance, nullptr);
  }
};

// Area copies from a window: nothing hidden answers an empty Array; a window covering the
// right half of the source area answers that part (in the destination's coordinates) and
// the copy leaves it untouched; a masked copy answers the same part.
TEST_F(Win_GraphicsGui, AreaCopiesAnswerTheHiddenPart) {
  HWND source = window(L"source", 0, 100, 100, 40, 40);
  ASSERT_NE(source, nullptr);
  int left = GetSystemMetrics(SM_XVIRTUALSCREEN), top = GetSystemMetrics(SM_YVIRTUALSCREEN);
  virtualDesktopRect = {left, top, left + GetSystemMetrics(SM_CXVIRTUALSCREEN), top + GetSystemMetrics(SM_CYVIRTUALSCREEN)};
  DrawableBytes d = {1, uint64_t(source), 0, drawableWindow, kindWindowDrawable, 1.0f, 1.0f};
  oop sourceWindow = newOldObject(testClasses.threeSlots, 3);
  setSlot(sourceWindow, 0, bytes(&d, sizeof d));
  oop from = gc(sourceWindow);
  HBITMAP b;
  oop to = gc(pixmap(40, 40, &b));
  PrimOutcome clear = callPrimitive(994, to, {point(20, 20), from, point(0, 0), point(5, 5)});
  ASSERT_FALSE(clear.failed);
  EXPECT_EQ(bodyWordsOf(headerOf(clear.result)), 0u);
  HWND cover = window(L"cover", WS_EX_TOPMOST, 110, 90, 60, 60);
  ASSERT_NE(cover, nullptr);
  SetWindowPos(cover, HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
  fill(b, 40, 40, BLACKNESS);
  PrimOutcome hidden = callPrimitive(994, to, {point(20, 20), from, point(0, 0), point(5, 5)});
  ASSERT_FALSE(hidden.failed);
  ASSERT_EQ(bodyWordsOf(headerOf(hidden.result)), 1u);
  oop box = slotOf(hidden.result, 0);
  EXPECT_EQ(slotOf(box, 0), smallIntegerFor(15));
  EXPECT_EQ(slotOf(box, 1), smallIntegerFor(5));
  EXPECT_EQ(slotOf(box, 2), smallIntegerFor(10));
  EXPECT_EQ(slotOf(box, 3), smallIntegerFor(20));
  std::vector<uint32_t> p = pixels(b, 40, 40);
  EXPECT_EQ(p[size_t(10 * 40 + 20)], 0u);  // the hidden part keeps its black
  // 995 through a mask of the same size answers the same part.
  PrimOutcome masked = callPrimitive(995, to, {bitmap1(20, 20), from, point(0, 0), point(5, 5)});
  ASSERT_FALSE(masked.failed);
  ASSERT_EQ(bodyWordsOf(headerOf(masked.result)), 1u);
  for (uint64_t i = 0; i < 4; i++) EXPECT_EQ(slotOf(slotOf(masked.result, 0), i), slotOf(box, i)) << i;
  DestroyWindow(cover);
  releaseWindowDC();
  DestroyWindow(source);
}

}  // namespace
