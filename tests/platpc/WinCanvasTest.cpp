// The canvases of the Windows window system, in process under Wine and Xvfb: window
// creation and placement, modal windows, geometry, the window ids, pixmaps, reading pixels
// of pixmaps and of the screen (against the same pixels drawn by GDI), the system colour
// table and bad input.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "mman/mmSysOop.h"
#include "mman/testHeap.h"
#include "platpc/ntChannel.h"
#include "platpc/ntMain.h"
#include "platpc/winGuiFixture.h"

namespace {

class WinGui_Canvas : public WinGuiTest {};

TEST_F(WinGui_Canvas, HandleBytesAndPlacementClampedInsideTheDesktop) {
  const RECT& d = virtualDesktopRect;
  struct Row {
    int64_t x, y;
    bool clampedLeft, clampedRight;
  } rows[] = {{50, 60, false, false}, {d.left - 5000, 60, true, false}, {d.right + 300, d.bottom + 300, false, true}};
  for (const Row& r : rows) {
    oop w = window(r.x, r.y, 300, 80, 2, false);
    uint8_t* b = drawableHandleBytes(w);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(drawableType(b), drawableWindow);
    EXPECT_EQ(drawableKind(b), kindWindowDrawable);
    EXPECT_EQ(drawableScaleX(b), 1.0f);
    EXPECT_EQ(drawableScaleY(b), 1.0f);
    EXPECT_EQ(drawableDC(b), nullptr);
    EXPECT_EQ(handleForSerial(uint32_t(drawableSerial(b)), handleWindow), uint64_t(hwndOf(w)));
    RECT outer;
    GetWindowRect(hwndOf(w), &outer);
    if (r.clampedLeft) {
      EXPECT_EQ(outer.left, d.left);
    }
    if (r.clampedRight) {
      EXPECT_EQ(outer.left, d.right - 20);
      EXPECT_EQ(outer.top, d.bottom - 20);
    }
    RECT client;
    GetClientRect(hwndOf(w), &client);
    EXPECT_EQ(client.right, 300);
    EXPECT_EQ(client.bottom, 80);
  }
}

TEST_F(WinGui_Canvas, GeometryMoveIdsAndDestroy) {
  oop a = window(60, 70, 120, 90);
  oop b = window(300, 200, 50, 40);
  ASSERT_FALSE(callPrimitive(943, a, {point(80, 100), point(150, 110)}).failed);
  PrimOutcome g = callPrimitive(942, a, {});
  ASSERT_FALSE(g.failed);
  oop* s = bodyOf(headerOf(g.result));
  EXPECT_EQ(s[0], smallIntegerFor(80));
  EXPECT_EQ(s[1], smallIntegerFor(100));
  EXPECT_EQ(s[2], smallIntegerFor(150));
  EXPECT_EQ(s[3], smallIntegerFor(110));
  EXPECT_EQ(s[5], falseOop());
  PrimOutcome ids = callPrimitive(955, nilOop(), {});
  ASSERT_FALSE(ids.failed);
  std::vector<oop> listed(bodyOf(headerOf(ids.result)), bodyOf(headerOf(ids.result)) + byteSizeOf(headerOf(ids.result)) / 8);
  for (oop w : {a, b})
    EXPECT_EQ(std::count(listed.begin(), listed.end(), smallIntegerFor(int64_t(drawableSerial(drawableHandleBytes(w))))), 1);
  PrimOutcome at = callPrimitive(1111, nilOop(), {smallIntegerFor(310), smallIntegerFor(210)});
  EXPECT_EQ(at.result, smallIntegerFor(int64_t(drawableSerial(drawableHandleBytes(b)))));
  HWND hb = hwndOf(b);
  ASSERT_FALSE(callPrimitive(940, b, {}).failed);
  EXPECT_FALSE(IsWindow(hb));
  FailureInfo f = failureOf(callPrimitive(940, b, {}));
  EXPECT_EQ(f.code, 4) << "a destroyed window";
}

TEST_F(WinGui_Canvas, ModalWindowDisablesTheOthersUntilDestroyed) {
  oop a = window(50, 50, 100, 100), b = window(200, 50, 100, 100);
  ASSERT_TRUE(IsWindowEnabled(hwndOf(a)));
  oop m = window(120, 120, 80, 60, windowModal);
  EXPECT_FALSE(IsWindowEnabled(hwndOf(a)));
  EXPECT_FALSE(IsWindowEnabled(hwndOf(b)));
  EXPECT_TRUE(IsWindowEnabled(hwndOf(m)));
  ASSERT_FALSE(callPrimitive(940, m, {}).failed);
  EXPECT_TRUE(IsWindowEnabled(hwndOf(a)));
  EXPECT_TRUE(IsWindowEnabled(hwndOf(b)));
}

TEST_F(WinGui_Canvas, BadInput) {
  oop w = window(50, 50, 100, 100);
  oop p = point(10, 10);
  struct Row {
    uint32_t number;
    oop receiver;
    std::vector<oop> args;
    int code;
    int64_t value;
  } rows[] = {
      {906, nilOop(), {p, p, nilOop(), nilOop(), byteString("x"), nilOop()}, 3, 5},
      {906, nilOop(), {p, point(0, 10), nilOop(), nilOop(), smallIntegerFor(2), nilOop()}, 3, 2},
      {906, nilOop(), {p, p, nilOop(), nilOop(), smallIntegerFor(2), smallIntegerFor(1)}, 3, 6},
      {907, w, {smallIntegerFor(10), nilOop(), nilOop(), nilOop()}, 3, 1},
      {943, w, {smallIntegerFor(1), p}, 3, 1},
      {959, w, {nilOop()}, 3, 1},
      {900, nilOop(), {point(0, 5)}, 3, 1},
      {901, nilOop(), {point(5, 0)}, 3, 1},
      {1120, nilOop(), {smallIntegerFor(13), smallIntegerFor(0), smallIntegerFor(4)}, 3, 1},
      {1120, nilOop(), {smallIntegerFor(0), smallIntegerFor(11), smallIntegerFor(4)}, 3, 2},
      {944, holder(bytes(8)), {}, 0, -1},
  };
  int before = hostEventCount();
  for (const Row& r : rows) {
    FailureInfo f = failureOf(callPrimitive(r.number, r.receiver, r.args));
    EXPECT_EQ(f.code, r.code) << r.number;
    EXPECT_EQ(f.value, r.value) << r.number;
  }
  EXPECT_EQ(hostEventCount(), before) << "no message reached a window";
}

TEST_F(WinGui_Canvas, SystemColourTable) {
  struct Row {
    int64_t column, row, version;
    oop expected;
  } rows[] = {
      {0, 6, 4, smallIntegerFor(0)},
      {11, 6, 4, nilOop()},
      {1, 6, 4, smallIntegerFor(-12632256)},
      {0, 0, 3, nilOop()},
      {0, 0, 4, smallIntegerFor(-int64_t(GetSysColor(8)))},
      {12, 10, 4, smallIntegerFor(-int64_t(GetSysColor(6)))},
      {0, 9, 4, smallIntegerFor(-int64_t(GetSysColor(7)))},
  };
  for (const Row& r : rows) {
    PrimOutcome o = callPrimitive(1120, nilOop(), {smallIntegerFor(r.column), smallIntegerFor(r.row), smallIntegerFor(r.version)});
    ASSERT_FALSE(o.failed);
    EXPECT_EQ(o.result, r.expected) << r.column << "," << r.row;
  }
}

// An 8-bit bitmap of 30 x 20 takes 20 rows of 32 bytes; a byte short fails and writes nothing.
TEST_F(WinGui_Canvas, PixmapPixelsNeedTheWholeBuffer) {
  HBITMAP eight = CreateBitmap(30, 20, 1, 8, nullptr);
  ASSERT_NE(eight, nullptr);
  ASSERT_NE(registerHandle(uint64_t(eight), handleGdiObject), 0u);
  oop pm = holder(newHandleBytes(1, uint64_t(eight), drawablePixmap, kindPixmapDrawable, 1.0f, 1.0f));
  for (int64_t size : {641, 640, 639}) {
    oop buffer = bytes(uint64_t(size));
    memset(bodyOf(headerOf(buffer)), 0xAB, size_t(size));
    PrimOutcome o = callPrimitive(1100, pm, {smallIntegerFor(0), smallIntegerFor(0), smallIntegerFor(30), smallIntegerFor(20),
                                             buffer, smallIntegerFor(size - 639)});
    const uint8_t* b = reinterpret_cast<const uint8_t*>(bodyOf(headerOf(buffer)));
    if (size == 639) {
      EXPECT_EQ(failureOf(o).code, 0);
      EXPECT_EQ(std::count(b, b + size, 0xAB), size) << "nothing written";
    } else {
      ASSERT_FALSE(o.failed) << size;
      EXPECT_EQ(b[0], size == 641 ? 0xAB : 0) << "from the index";
    }
  }
  oop buffer = bytes(4096);
  EXPECT_EQ(failureOf(callPrimitive(1100, pm, {smallIntegerFor(10), smallIntegerFor(0), smallIntegerFor(25), smallIntegerFor(5),
                                              buffer, smallIntegerFor(1)})).code, 0);
  EXPECT_EQ(failureOf(callPrimitive(1100, pm, {nilOop(), smallIntegerFor(0), smallIntegerFor(25), smallIntegerFor(5), buffer,
                                              smallIntegerFor(1)})).code, 3);
  ASSERT_FALSE(callPrimitive(971, pm, {}).failed);
}

// Pixels read back top-down, 4 bytes each {0, blue, green, red}, against GDI's own drawing;
// a part of the pixmap is read through a copy.
TEST_F(WinGui_Canvas, PixmapPixelsMatchGDI) {
  oop pm = pixmap(16, 8);
  HBITMAP bitmap = drawableBitmapHandle(drawableHandleBytes(pm));
  BITMAP bm;
  GetObjectW(bitmap, sizeof bm, &bm);
  if (bm.bmBitsPixel != 32) GTEST_SKIP() << "the display is not 32 bits per pixel";
  HDC dc = CreateCompatibleDC(nullptr);
  HGDIOBJ old = SelectObject(dc, bitmap);
  PatBlt(dc, 0, 0, 16, 8, WHITENESS);
  SetPixel(dc, 3, 2, RGB(10, 20, 30));
  SetPixel(dc, 15, 7, RGB(200, 100, 50));
  SelectObject(dc, old);
  DeleteDC(dc);
  oop buffer = bytes(16 * 8 * 4);
  ASSERT_FALSE(callPrimitive(1100, pm, {smallIntegerFor(0), smallIntegerFor(0), smallIntegerFor(16), smallIntegerFor(8), buffer,
                                        smallIntegerFor(1)}).failed);
  const uint8_t* b = reinterpret_cast<const uint8_t*>(bodyOf(headerOf(buffer)));
  const uint8_t first[4] = {0, 30, 20, 10}, last[4] = {0, 50, 100, 200}, white[4] = {0, 255, 255, 255};
  EXPECT_EQ(memcmp(b + (2 * 16 + 3) * 4, first, 4), 0);
  EXPECT_EQ(memcmp(b + (7 * 16 + 15) * 4, last, 4), 0);
  EXPECT_EQ(memcmp(b + 1, white + 1, 3), 0);
  oop part = bytes(4 * 2 * 4);
  ASSERT_FALSE(callPrimitive(1100, pm, {smallIntegerFor(2), smallIntegerFor(1), smallIntegerFor(4), smallIntegerFor(2), part,
                                        smallIntegerFor(1)}).failed);
  EXPECT_EQ(memcmp(reinterpret_cast<const uint8_t*>(bodyOf(headerOf(part))) + (1 * 4 + 1) * 4, first, 4), 0);
}

// Pixels drawn through a graphics context are read at once, whole and in part, although
// the drawing layer may still hold the pixmap in its cached DC.
TEST_F(WinGui_Canvas, PixelsDrawnThroughAContextAreReadAtOnce) {
  oop pm = pixmap(8, 4);
  BITMAP bm;
  GetObjectW(drawableBitmapHandle(drawableHandleBytes(pm)), sizeof bm, &bm);
  if (bm.bmBitsPixel != 32) GTEST_SKIP() << "the display is not 32 bits per pixel";
  oop gc = newOldObject(newTestClass(formatPointers | 16), 16);
  setSlot(gc, 0, pm);
  setSlot(gc, 5, smallIntegerFor(1));
  setSlot(gc, 9, smallIntegerFor(0x0000FF));  // red, as the display's colour rule reads it
  for (uint64_t i : {10, 11, 12, 13}) setSlot(gc, i, smallIntegerFor(0));
  const uint8_t red[4] = {0, 0, 0, 255};
  const struct {
    int64_t x, y, w, h;
    int64_t at;  // the pixel of the area at the rectangle's corner (2, 1)
  } reads[] = {{0, 0, 8, 4, 1 * 8 + 2}, {1, 1, 4, 2, 1}};
  for (const auto& r : reads) {
    ASSERT_FALSE(callPrimitive(988, gc, {point(2, 1), point(3, 2)}).failed);
    oop buffer = bytes(uint64_t(r.w * r.h * 4));
    ASSERT_FALSE(callPrimitive(1100, pm, {smallIntegerFor(r.x), smallIntegerFor(r.y), smallIntegerFor(r.w),
                                          smallIntegerFor(r.h), buffer, smallIntegerFor(1)})
                     .failed);
    EXPECT_EQ(memcmp(reinterpret_cast<const uint8_t*>(bodyOf(headerOf(buffer))) + r.at * 4, red, 4), 0) << r.w;
  }
}

TEST_F(WinGui_Canvas, OneBitPixmapIsWhite) {
  PrimOutcome o = callPrimitive(901, nilOop(), {point(20, 3)});
  ASSERT_FALSE(o.failed);
  oop pm = holder(o.result);
  uint8_t* hb = drawableHandleBytes(pm);
  EXPECT_EQ(drawableType(hb), drawableBitmap);
  EXPECT_EQ(drawableKind(hb), kindBitmapDrawable);
  oop buffer = bytes(3 * 4);
  ASSERT_FALSE(callPrimitive(1100, pm, {smallIntegerFor(0), smallIntegerFor(0), smallIntegerFor(20), smallIntegerFor(3), buffer,
                                        smallIntegerFor(1)}).failed);
  const uint8_t* b = reinterpret_cast<const uint8_t*>(bodyOf(headerOf(buffer)));
  for (int row = 0; row < 3; row++) {
    EXPECT_EQ(b[row * 4], 0xFF);
    EXPECT_EQ(b[row * 4 + 1], 0xFF);
    EXPECT_EQ(b[row * 4 + 2] & 0xF0, 0xF0) << "20 bits of white";
  }
  ASSERT_FALSE(callPrimitive(971, pm, {}).failed);
  EXPECT_EQ(failureOf(callPrimitive(971, pm, {})).code, 4) << "freed";
}

// The screen under a window, read through 1103, holds what GDI drew into the window.
TEST_F(WinGui_Canvas, ScreenCaptureShowsTheWindow) {
  oop w = window(100, 100, 40, 30);
  HWND h = hwndOf(w);
  POINT o = {0, 0};
  ClientToScreen(h, &o);
  oop buffer = bytes(40 * 30 * 4), fromWindow = bytes(10 * 10 * 4);
  const uint8_t* b = reinterpret_cast<const uint8_t*>(bodyOf(headerOf(buffer)));
  const uint8_t* fw = reinterpret_cast<const uint8_t*>(bodyOf(headerOf(fromWindow)));
  const uint8_t redPixel[4] = {0, 0, 0, 255};
  // The X server's exposures of the new window erase it at times of their own: fill and read
  // again until a reading follows the last erase.
  bool screenRed = false, windowRed = false;
  for (int attempt = 0; attempt < 50 && !(screenRed && windowRed); attempt++) {
    HDC dc = GetDC(h);
    HBRUSH red = CreateSolidBrush(RGB(255, 0, 0));
    RECT all = {0, 0, 40, 30};
    FillRect(dc, &all, red);
    DeleteObject(red);
    ReleaseDC(h, dc);
    GdiFlush();
    PrimOutcome r = callPrimitive(1103, nilOop(), {smallIntegerFor(o.x), smallIntegerFor(o.y), smallIntegerFor(40), smallIntegerFor(30),
                                                   buffer, smallIntegerFor(1)});
    ASSERT_FALSE(r.failed);
    EXPECT_EQ(bodyOf(headerOf(r.result))[1], nilOop()) << "no colour table at this depth";
    PrimOutcome c = callPrimitive(1102, w, {smallIntegerFor(5), smallIntegerFor(5), smallIntegerFor(10), smallIntegerFor(10),
                                            fromWindow, smallIntegerFor(1)});
    ASSERT_FALSE(c.failed);
    screenRed = memcmp(b + (5 * 40 + 5) * 4, redPixel, 4) == 0;
    windowRed = memcmp(fw + (9 * 10 + 9) * 4, redPixel, 4) == 0;
    if (!(screenRed && windowRed)) Sleep(20);
  }
  if (displayDepth == 32) {
    EXPECT_TRUE(screenRed);
    EXPECT_TRUE(windowRed);
  }
  RECT client;
  GetClientRect(h, &client);
  EXPECT_EQ(failureOf(callPrimitive(1102, w, {smallIntegerFor(client.right - 5), smallIntegerFor(0), smallIntegerFor(10), smallIntegerFor(10),
                                              fromWindow, smallIntegerFor(1)})).code, 0) << "past the client area";
  EXPECT_EQ(failureOf(callPrimitive(1103, nilOop(), {smallIntegerFor(virtualDesktopRect.right), smallIntegerFor(0), smallIntegerFor(4),
                                                    smallIntegerFor(4), buffer, smallIntegerFor(1)})).code, 0);
}

// A pixmap through the clipboard comes back as a copy of the same pixels; the icons of a
// window are made at the system's sizes from a pixmap, with or without a mask.
TEST_F(WinGui_Canvas, ClipboardBitmapIconsAndMonitors) {
  oop pm = pixmap(6, 4);
  HBITMAP bitmap = drawableBitmapHandle(drawableHandleBytes(pm));
  HDC dc = CreateCompatibleDC(nullptr);
  HGDIOBJ old = SelectObject(dc, bitmap);
  PatBlt(dc, 0, 0, 6, 4, BLACKNESS);
  SetPixel(dc, 2, 1, RGB(0, 255, 0));
  SelectObject(dc, old);
  ASSERT_FALSE(callPrimitive(776, pm, {}).failed);
  PrimOutcome back = callPrimitive(905, nilOop(), {});
  ASSERT_FALSE(back.failed);
  EXPECT_EQ(slotOf(back.result, 1), smallIntegerFor(6));
  EXPECT_EQ(slotOf(back.result, 2), smallIntegerFor(4));
  HBITMAP copy = drawableBitmapHandle(drawableHandleBytes(holder(slotOf(back.result, 0))));
  EXPECT_NE(copy, bitmap);
  old = SelectObject(dc, copy);
  EXPECT_EQ(GetPixel(dc, 2, 1), RGB(0, 255, 0));
  EXPECT_EQ(GetPixel(dc, 3, 1), RGB(0, 0, 0));
  SelectObject(dc, old);
  DeleteDC(dc);
  EXPECT_EQ(failureOf(callPrimitive(776, holder(bytes(8)), {})).code, 4);

  oop w = window(30, 30, 200, 100);
  ASSERT_FALSE(callPrimitive(951, w, {pm}).failed);
  HICON big = HICON(SendMessageW(hwndOf(w), WM_GETICON, ICON_BIG, 0));
  ICONINFO info;
  ASSERT_TRUE(GetIconInfo(big, &info));
  BITMAP ib;
  GetObjectW(info.hbmColor, sizeof ib, &ib);
  EXPECT_EQ(ib.bmWidth, GetSystemMetrics(SM_CXICON));
  DeleteObject(info.hbmColor);
  DeleteObject(info.hbmMask);
  PrimOutcome mask = callPrimitive(901, nilOop(), {point(6, 4)});
  ASSERT_FALSE(callPrimitive(1110, w, {pm, holder(mask.result)}).failed);
  EXPECT_NE(HICON(SendMessageW(hwndOf(w), WM_GETICON, ICON_SMALL, 0)), nullptr);
  EXPECT_EQ(failureOf(callPrimitive(1110, w, {pm, nilOop()})).value, 2);

  PrimOutcome monitors = callPrimitive(947, nilOop(), {});
  ASSERT_FALSE(monitors.failed);
  ASSERT_GE(byteSizeOf(headerOf(monitors.result)) / 8, 1u);
  oop first = slotOf(monitors.result, 0);
  RECT d = virtualDesktopRect;
  EXPECT_EQ(slotOf(first, 2), smallIntegerFor(d.right - d.left));
}

}  // namespace
