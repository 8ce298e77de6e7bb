// Timing of the Windows drawing and text primitives beside the GDI calls they stand on, in
// the same process: 10 000 lines through primitive 985 beside MoveToEx/LineTo on the same
// kind of bitmap, and primitive 973 on a 100-character string beside GetTextExtentPoint32W.
// Prints the time of each and their ratio; not a test (run it by hand, under Wine).
#include <windows.h>

#include <chrono>
#include <cstdio>
#include <string>

#include "mman/mmAllocate.h"
#include "mman/mmSysOop.h"
#include "mman/testHeap.h"
#include "platpc/ntChannel.h"
#include "platpc/ntFont.h"
#include "platpc/ntGraphics.h"
#include "support/ioKernel.h"

namespace {

double seconds(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

oop point(int64_t x, int64_t y) {
  oop p = newOldObject(sysPointClass, 2);
  bodyOf(headerOf(p))[0] = smallIntegerFor(x);
  bodyOf(headerOf(p))[1] = smallIntegerFor(y);
  return p;
}

void report(const char* what, int n, double primitive, double gdi) {
  printf("%-34s primitive %8.2f us  GDI %8.2f us  ratio %.2f\n", what, primitive * 1e6 / n, gdi * 1e6 / n, primitive / gdi);
}

}  // namespace

int main() {
  newIOTestHeap(1 << 18);
  initHandleRegistry();
  initGraphicsContexts();
  initFontPrimitives();
  const int lines = 10000, w = 400, h = 300;
  HDC screen = GetDC(nullptr);
  HBITMAP ours = CreateCompatibleBitmap(screen, w, h), theirs = CreateCompatibleBitmap(screen, w, h);
  ReleaseDC(nullptr, screen);
  SetBitmapDimensionEx(ours, w, h, nullptr);
  DrawableBytes d = {1, uint64_t(ours), 0, drawablePixmap, kindPixmapDrawable, 1.0f, 1.0f};
  oop bytes = newOldObject(classIndexByteArray, sizeof d);
  memcpy(bodyOf(headerOf(bytes)), &d, sizeof d);
  oop pixmap = newOldObject(testClasses.threeSlots, 3);
  bodyOf(headerOf(pixmap))[0] = bytes;
  uint32_t gcClass = newTestClass(formatPointers | 16);
  oop gc = newOldObject(gcClass, 16);
  bodyOf(headerOf(gc))[gcDrawable] = pixmap;
  bodyOf(headerOf(gc))[gcLine] = smallIntegerFor(1);
  bodyOf(headerOf(gc))[gcPaint] = smallIntegerFor(-0xFF);
  for (uint32_t s : {gcTranslateX, gcTranslateY, gcPhaseX, gcPhaseY}) bodyOf(headerOf(gc))[s] = smallIntegerFor(0);
  oop from = point(0, 0), to = point(399, 299);

  auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < lines; i++) callPrimitive(985, gc, {from, to});
  double primitive = seconds(start);
  HDC dc = CreateCompatibleDC(nullptr);
  HGDIOBJ old = SelectObject(dc, theirs);
  start = std::chrono::steady_clock::now();
  for (int i = 0; i < lines; i++) {
    HPEN pen = CreatePen(PS_SOLID, 1, RGB(255, 0, 0));
    HGDIOBJ oldPen = SelectObject(dc, pen);
    MoveToEx(dc, 0, 0, nullptr);
    LineTo(dc, 399, 299);
    SelectObject(dc, oldPen);
    DeleteObject(pen);
  }
  double gdi = seconds(start);
  report("985 line / MoveToEx+LineTo", lines, primitive, gdi);

  oop screenObject = newOldObject(testClasses.threeSlots, 3);
  bodyOf(headerOf(screenObject))[0] = newOldObject(classIndexByteArray, 8);
  PrimOutcome made = callPrimitive(908, screenObject, {byteString("Arial~16~400~0~0~0~ansi~4")});
  if (made.failed) return 1;
  oop font = newOldObject(testClasses.threeSlots, 3);
  bodyOf(headerOf(font))[0] = slotOf(made.result, 0);
  std::wstring text(100, L'x');
  for (size_t i = 0; i < text.size(); i++) text[i] = wchar_t(L'a' + i % 26);
  oop units = newOldObject(classIndexByteArray, text.size() * 2);
  memcpy(bodyOf(headerOf(units)), text.data(), text.size() * 2);
  const int extents = 10000;
  start = std::chrono::steady_clock::now();
  for (int i = 0; i < extents; i++) callPrimitive(973, font, {units, smallIntegerFor(1), smallIntegerFor(100)});
  primitive = seconds(start);
  HFONT f = *reinterpret_cast<HFONT*>(bodyOf(headerOf(slotOf(made.result, 0))));
  start = std::chrono::steady_clock::now();
  for (int i = 0; i < extents; i++) {
    HDC s = GetDC(nullptr);
    HGDIOBJ oldFont = SelectObject(s, f);
    SIZE size;
    GetTextExtentPoint32W(s, text.data(), 100, &size);
    SelectObject(s, oldFont);
    ReleaseDC(nullptr, s);
  }
  gdi = seconds(start);
  report("973 extent / GetTextExtentPoint32W", extents, primitive, gdi);
  SelectObject(dc, old);
  DeleteDC(dc);
  return 0;
}
