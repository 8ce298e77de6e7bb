// The reference of the window drawing run program (tests/run/programs/WinDraw.som): the same
// drawing done by GDI calls into a memory bitmap, compared pixel for pixel with the capture
// the program wrote (rows top first, 4 bytes a pixel: alpha, blue, green, red).
//   winDrawCheck CAPTURE   exit 0 when every pixel matches, 1 otherwise, 2 when unreadable
#include <windows.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <vector>

namespace {

const int width = 200, height = 150;

POINT ellipsePointAtAngle(int left, int top, int w, int h, double degrees) {
  double t = (360.0 - degrees) * 3.141592653589793 / 180.0;
  return {LONG(left + std::trunc((std::cos(t) + 1.0) * w / 2.0)), LONG(top + std::trunc((std::sin(t) + 1.0) * h / 2.0))};
}

void withPenAndBrush(HDC dc, COLORREF colour, bool nullPen, void (*draw)(HDC)) {
  HPEN pen = CreatePen(PS_SOLID, 1, colour);
  HBRUSH brush = CreateSolidBrush(colour);
  HGDIOBJ oldPen = SelectObject(dc, nullPen ? GetStockObject(NULL_PEN) : pen), oldBrush = SelectObject(dc, brush);
  draw(dc);
  SelectObject(dc, oldPen), SelectObject(dc, oldBrush);
  DeleteObject(pen), DeleteObject(brush);
}

void drawReference(HDC dc) {
  SetBkMode(dc, TRANSPARENT);
  withPenAndBrush(dc, RGB(255, 255, 255), false, [](HDC d) { PatBlt(d, 0, 0, width, height, PATCOPY); });
  withPenAndBrush(dc, RGB(255, 0, 0), false, [](HDC d) {
    POINT a[] = {{10, 10}, {191, 10}}, b[] = {{10, 20}, {61, 71}};  // one-pixel lines reach their ends
    Polyline(d, a, 2);
    Polyline(d, b, 2);
  });
  withPenAndBrush(dc, RGB(0, 0, 255), false, [](HDC d) {
    POINT p = ellipsePointAtAngle(70, 20, 60, 40, -271), q = ellipsePointAtAngle(70, 20, 60, 40, 0);
    Arc(d, 70, 20, 130, 60, p.x, p.y, q.x, q.y);
  });
  withPenAndBrush(dc, RGB(0, 255, 0), true, [](HDC d) {
    POINT p[] = {{140, 20}, {190, 30}, {160, 70}};
    Polygon(d, p, 3);
  });
  LOGFONTW lf = {};
  lf.lfHeight = -16;
  lf.lfWeight = 400;
  lf.lfCharSet = ANSI_CHARSET;
  wcscpy(lf.lfFaceName, L"Arial");
  HFONT font = CreateFontIndirectW(&lf);
  HGDIOBJ oldFont = SelectObject(dc, font);
  SetTextAlign(dc, TA_BASELINE);
  SetTextColor(dc, RGB(0, 0, 0));
  TextOutW(dc, 10, 100, L"Tessel draws", 12);
  SelectObject(dc, oldFont);
  DeleteObject(font);
  HBITMAP mask = CreateBitmap(16, 16, 1, 1, nullptr);
  HDC maskDC = CreateCompatibleDC(nullptr);
  HGDIOBJ oldMask = SelectObject(maskDC, mask);
  PatBlt(maskDC, 0, 0, 16, 16, WHITENESS);
  PatBlt(maskDC, 0, 0, 8, 16, BLACKNESS);
  HBRUSH blue = CreateSolidBrush(RGB(0, 0, 255));
  HGDIOBJ oldBrush = SelectObject(dc, blue);
  for (HDC d : {dc, maskDC}) SetTextColor(d, RGB(0, 0, 0)), SetBkColor(d, RGB(255, 255, 255));
  BitBlt(dc, 150, 100, 16, 16, maskDC, 0, 0, 0xE20746);
  SelectObject(dc, oldBrush);
  DeleteObject(blue);
  SelectObject(maskDC, oldMask);
  DeleteDC(maskDC);
  DeleteObject(mask);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  FILE* f = fopen(argv[1], "rb");
  if (f == nullptr) return 2;
  std::vector<uint8_t> capture(size_t(width) * height * 4);
  size_t read = fread(capture.data(), 1, capture.size(), f);
  fclose(f);
  if (read != capture.size()) return 2;
  HDC screen = GetDC(nullptr);
  HBITMAP bitmap = CreateCompatibleBitmap(screen, width, height);
  HDC dc = CreateCompatibleDC(screen);
  HGDIOBJ old = SelectObject(dc, bitmap);
  drawReference(dc);
  SelectObject(dc, old);
  std::vector<uint32_t> reference(size_t(width) * height);
  BITMAPINFO info = {};
  info.bmiHeader = {sizeof(BITMAPINFOHEADER), width, -height, 1, 32, BI_RGB, 0, 0, 0, 0, 0};
  GetDIBits(dc, bitmap, 0, height, reference.data(), &info, DIB_RGB_COLORS);
  DeleteDC(dc);
  DeleteObject(bitmap);
  ReleaseDC(nullptr, screen);
  int mismatches = 0, painted = 0;
  for (int i = 0; i < width * height; i++) {
    uint32_t want = reference[size_t(i)] & 0xFFFFFF;
    const uint8_t* p = &capture[size_t(i) * 4];
    uint32_t got = uint32_t(p[3]) << 16 | uint32_t(p[2]) << 8 | p[1];
    if (want != 0xFFFFFF) painted++;
    if (got != want && mismatches++ < 10) printf("pixel %d,%d: %06x, reference %06x\n", i % width, i / width, got, want);
  }
  printf("%d mismatches, %d painted reference pixels\n", mismatches, painted);
  return mismatches == 0 && painted > 0 ? 0 : 1;
}
