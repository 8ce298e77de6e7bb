// Test support for the Windows drawing and font tests: a heap with the drawing and font
// primitives registered, pixmap objects over bitmaps the test makes (handle bytes as the
// canvas layer lays them out), graphics-context objects, and pixels read back for comparing
// a primitive's drawing with the same drawing done by GDI directly.
#pragma once
#include <gtest/gtest.h>
#include <windows.h>

#include <cstring>
#include <string>
#include <vector>

#include "ext/exError.h"
#include "mman/mmAllocate.h"
#include "mman/mmSysOop.h"
#include "mman/testHeap.h"
#include "platpc/ntChannel.h"
#include "platpc/ntFont.h"
#include "platpc/ntGraphics.h"
#include "platpc/ntMain.h"
#include "support/ioKernel.h"

class WinGdiTest : public testing::Test {
 protected:
  uint32_t gcClass = 0;
  std::vector<HBITMAP> bitmaps;

  void SetUp() override {
    newIOTestHeap(1 << 18);
    initHandleRegistry();
    initGraphicsContexts();
    initFontPrimitives();
    gcClass = newTestClass(formatPointers | 16);
  }
  void TearDown() override {
    releasePixmapDC();
    releaseWindowDC();
    for (HBITMAP b : bitmaps) DeleteObject(b);
    byteStringMode = 0;
    handleRegistryX = 0;
    freeTestHeap();
  }

  static void setSlot(oop o, uint64_t i, oop v) { bodyOf(headerOf(o))[i] = v; }
  static oop point(int64_t x, int64_t y) {
    oop p = newOldObject(sysPointClass, 2);
    setSlot(p, 0, smallIntegerFor(x));
    setSlot(p, 1, smallIntegerFor(y));
    return p;
  }
  static oop array(const std::vector<oop>& slots) {
    oop a = newOldObject(classIndexArray, slots.size());
    for (uint64_t i = 0; i < slots.size(); i++) setSlot(a, i, slots[i]);
    return a;
  }
  static oop bytes(const void* data, uint64_t n) {
    oop b = newOldObject(classIndexByteArray, n);
    memcpy(bodyOf(headerOf(b)), data, n);
    return b;
  }
  static oop units(const std::wstring& text) { return bytes(text.data(), text.size() * 2); }
  // A white 32-bit bitmap of w x h with its dimension set, and a pixmap object over it.
  oop pixmap(int w, int h, HBITMAP* out = nullptr) {
    HDC screen = GetDC(nullptr);
    HBITMAP b = CreateCompatibleBitmap(screen, w, h);
    ReleaseDC(nullptr, screen);
    bitmaps.push_back(b);
    SetBitmapDimensionEx(b, w, h, nullptr);
    fill(b, w, h, WHITENESS);
    return pixmapOver(b, w, h, kindPixmapDrawable, out);
  }
  // A one-bit bitmap (a mask) cleared white.
  oop bitmap1(int w, int h, HBITMAP* out = nullptr) {
    HBITMAP b = CreateBitmap(w, h, 1, 1, nullptr);
    bitmaps.push_back(b);
    SetBitmapDimensionEx(b, w, h, nullptr);
    fill(b, w, h, WHITENESS);
    return pixmapOver(b, w, h, kindBitmapDrawable, out);
  }
  static oop pixmapOver(HBITMAP b, int w, int h, uint32_t kind, HBITMAP* out) {
    DrawableBytes d = {1, uint64_t(b), 0, kind == kindBitmapDrawable ? drawableBitmap : drawablePixmap, kind, 1.0f, 1.0f};
    oop p = newOldObject(testClasses.threeSlots, 3);
    setSlot(p, 0, bytes(&d, sizeof d));
    setSlot(p, 1, smallIntegerFor(w));
    setSlot(p, 2, smallIntegerFor(h));
    if (out != nullptr) *out = b;
    return p;
  }
  static void fill(HBITMAP b, int w, int h, DWORD rop) {
    HDC dc = CreateCompatibleDC(nullptr);
    HGDIOBJ old = SelectObject(dc, b);
    PatBlt(dc, 0, 0, w, h, rop);
    SelectObject(dc, old);
    DeleteDC(dc);
  }
  // A graphics context on a drawable: line slot, paint (a colour or a tile), optional font.
  oop gc(oop drawable, int64_t line = 1, oop paint = smallIntegerFor(0), oop font = 0) {
    oop g = newOldObject(gcClass, 16);
    setSlot(g, gcDrawable, drawable);
    setSlot(g, gcLine, smallIntegerFor(line));
    setSlot(g, gcPaint, paint);
    if (font != 0) setSlot(g, gcFont, font);
    for (uint32_t s : {gcTranslateX, gcTranslateY, gcPhaseX, gcPhaseY}) setSlot(g, s, smallIntegerFor(0));
    setSlot(g, gcScaleX, smallIntegerFor(1));
    setSlot(g, gcScaleY, smallIntegerFor(1));
    return g;
  }
  // The pixels of a bitmap, top row first, as 0xRRGGBB.
  static std::vector<uint32_t> pixels(HBITMAP b, int w, int h) {
    std::vector<uint32_t> out(size_t(w) * size_t(h));
    BITMAPINFO info = {};
    info.bmiHeader = {sizeof(BITMAPINFOHEADER), w, -h, 1, 32, BI_RGB, 0, 0, 0, 0, 0};
    HDC dc = CreateCompatibleDC(nullptr);
    GetDIBits(dc, b, 0, UINT(h), out.data(), &info, DIB_RGB_COLORS);
    DeleteDC(dc);
    for (uint32_t& p : out) p &= 0xFFFFFF;
    return out;
  }
  // The same drawing done directly: a white bitmap and a memory DC to draw into.
  struct Direct {
    HDC dc;
    HBITMAP bitmap;
    HGDIOBJ old;
    int w, h;
  };
  Direct direct(int w, int h) {
    HDC screen = GetDC(nullptr);
    HBITMAP b = CreateCompatibleBitmap(screen, w, h);
    ReleaseDC(nullptr, screen);
    bitmaps.push_back(b);
    fill(b, w, h, WHITENESS);
    HDC dc = CreateCompatibleDC(nullptr);
    Direct d = {dc, b, SelectObject(dc, b), w, h};
    SetBkMode(dc, TRANSPARENT);
    return d;
  }
  static std::vector<uint32_t> finish(Direct& d) {
    SelectObject(d.dc, d.old);
    DeleteDC(d.dc);
    return pixels(d.bitmap, d.w, d.h);
  }
  // The PrimErrorTable code of a failure and the value its copy carries (-1 for none).
  static FailureInfo failure(const PrimOutcome& r) { return failureOf(r); }
};
