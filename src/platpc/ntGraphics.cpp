// Windows layer: graphics contexts and drawing. A drawing primitive installs the image's
// graphics-context object into a prepared device context (drawable, mapping, clip, paint,
// pen, font), draws, and uninstalls it, putting back what it selected. A tiled paint draws
// the shape into a one-bit mask first and lays the tile through it at uninstall. Lines,
// polylines, polygons, rectangles, arcs, wedges, masks and the two area copies that answer
// what other windows hid. Owns the shared objects and the cached window and memory DCs.
// Prefix: none (installGraphicsState, initGraphicsContexts; the primitives are file-local).
#include <windows.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "ext/exError.h"
#include "ext/exPrimTable.h"
#include "mman/mmAllocate.h"
#include "mman/mmPrimUtil.h"
#include "mman/mmRt.h"
#include "mman/mmSysOop.h"
#include "platpc/ntFile.h"
#include "platpc/ntFont.h"
#include "platpc/ntGraphics.h"
#include "platpc/ntMain.h"
#include "prim/prDouble.h"


static HBRUSH whiteBrush, blackBrush, nullBrush;
static HPEN nullPen, sharedPen;
// The cached window DC (of one window) and memory DC (holding one bitmap), and how many
// installs are open: a nested install makes DCs of its own.
static HWND cachedWindow;
static HDC cachedWindowDC;
static HDC cachedMemoryDC;
static HBITMAP cachedBitmap;
static HGDIOBJ cachedMemoryOldBitmap;
static int installDepth;

enum : uint32_t {
  codeDrawable = 1, codeLine = 6, codeFont = 9, codePaint = 10, codePhaseX = 13, codePhaseY = 14, codeScaleX = 15,
  codeScaleY = 16, codePen = 1,
  gcMinimumSlots = 14,  // the scale slots are read only when present
  badPixmapReport = errCauseUser | errError | 0,  // the drawing goes on unmapped
  tileMaskRop = 0x220326,  // destination and not source: the tile kept where the mask is black
};

bool gcPointOf(oop point, int64_t* x, int64_t* y) {
  if (isImmediate(point) || !isKindOf(point, sysOop(sysPointClass)) || bodyWordsOf(headerOf(point)) < 2) return false;
  oop px = slotOf(point, 0), py = slotOf(point, 1);
  if (!isSmallInteger(px) || !isSmallInteger(py)) return false;
  *x = smallIntegerValue(px), *y = smallIntegerValue(py);
  return true;
}

bool gcByteObject(oop object) { return isHeapObject(object) && !hasPtrs(headerOf(object)); }

DrawableBytes* drawableBytesOf(oop drawable) {
  if (isImmediate(drawable) || !hasPtrs(headerOf(drawable)) || bodyWordsOf(headerOf(drawable)) < 3) return nullptr;
  oop bytes = slotOf(drawable, 0);
  if (!gcByteObject(bytes) || byteSizeOf(headerOf(bytes)) < sizeof(DrawableBytes)) return nullptr;
  return reinterpret_cast<DrawableBytes*>(bodyOf(headerOf(bytes)));
}

// A pixmap object as the drawing code reads it: its bitmap, width and height.
static bool pixmapBitmapInfo(oop pixmap, HBITMAP* bitmap, int64_t* width, int64_t* height) {
  if (isImmediate(pixmap) || !hasPtrs(headerOf(pixmap)) || bodyWordsOf(headerOf(pixmap)) <= 2) return false;
  oop bytes = slotOf(pixmap, 0), w = slotOf(pixmap, 1), h = slotOf(pixmap, 2);
  if (!gcByteObject(bytes) || byteSizeOf(headerOf(bytes)) < 40 || !isSmallInteger(w) || !isSmallInteger(h) ||
      smallIntegerValue(w) < 0 || smallIntegerValue(h) < 0)
    return false;
  *bitmap = reinterpret_cast<const DrawableBytes*>(bodyOf(headerOf(bytes)))->handle != 0
                ? HBITMAP(reinterpret_cast<const DrawableBytes*>(bodyOf(headerOf(bytes)))->handle)
                : nullptr;
  *width = smallIntegerValue(w), *height = smallIntegerValue(h);
  return true;
}

COLORREF colourOf(int64_t value, uint32_t kind) {
  int32_t v = int32_t(value);
  if (v >= 0 && paletteMode && kind != kindPrinterDrawable) return COLORREF(0x1000000 | (uint32_t(v) & 0xFFFF));
  uint32_t rgb = v < 0 ? uint32_t(-int64_t(v)) : uint32_t(v);
  if (displayDepth == 16 && kind != kindPrinterDrawable)  // 5-5-5 into 8 bits a channel
    rgb = ((rgb & 0x1F) << 3) | ((rgb >> 5 & 0x1F) << 11) | ((rgb >> 10 & 0x1F) << 19);
  return COLORREF(rgb & 0xFFFFFF);
}

void narrowDamage(DrawingState* s, int64_t left, int64_t top, int64_t right, int64_t bottom, bool outlined) {
  if (outlined) {
    int64_t half = s->line / 2 + 1;
    left -= half, top -= half, right += half, bottom += half;
  }
  if (left > s->damage.left) s->damage.left = LONG(left);
  if (top > s->damage.top) s->damage.top = LONG(top);
  if (right < s->damage.right) s->damage.right = LONG(right);
  if (bottom < s->damage.bottom) s->damage.bottom = LONG(bottom);
}

// ---- Preparing drawables --------------------------------------------------------------------------

void releaseWindowDC() {
  if (cachedWindowDC == nullptr) return;
  SelectObject(cachedWindowDC, whiteBrush);
  ReleaseDC(cachedWindow, cachedWindowDC);
  cachedWindowDC = nullptr, cachedWindow = nullptr;
}

void releasePixmapDC() {
  if (cachedMemoryDC == nullptr) return;
  SelectObject(cachedMemoryDC, whiteBrush);
  SelectObject(cachedMemoryDC, cachedMemoryOldBitmap);
  DeleteDC(cachedMemoryDC);
  cachedMemoryDC = nullptr, cachedBitmap = nullptr;
}

// A bitmap is selected into one DC at a time: before another DC takes it, the cached memory
// DC lets go of it (unless that DC is the one being drawn into).
static void uncacheBitmap(HBITMAP bitmap, HDC inUse) {
  if (bitmap == cachedBitmap && cachedMemoryDC != inUse) releasePixmapDC();
}

static float scaleOf(float f) { return f > 0 && std::isfinite(f) ? f : 1.0f; }

// The device context of a drawable, its mapping set; null when there is none.
static HDC prepareDrawableFor(DrawingState* s) {
  DrawableBytes* d = s->bytes;
  HDC dc = nullptr;
  if (d->kind == kindWindowDrawable) {
    HWND window = HWND(d->handle);
    if (!IsWindow(window)) return nullptr;
    if (cachedWindow == window && cachedWindowDC != nullptr) {
      dc = cachedWindowDC;
    } else if (installDepth == 0) {
      releaseWindowDC();
      dc = cachedWindowDC = GetDC(window);
      if (dc != nullptr) cachedWindow = window;
    } else {
      dc = GetDC(window);
      s->ownsDC = 2;
    }
    if (dc == nullptr) return nullptr;
    s->window = window;
    RECT client;
    GetClientRect(window, &client);
    int w = client.right > 0 ? int(client.right) : 1, h = client.bottom > 0 ? int(client.bottom) : 1;
    SetMapMode(dc, MM_ANISOTROPIC);
    SetWindowExtEx(dc, int(w / scaleOf(d->scaleX)) > 0 ? int(w / scaleOf(d->scaleX)) : 1,
                   int(h / scaleOf(d->scaleY)) > 0 ? int(h / scaleOf(d->scaleY)) : 1, nullptr);
    SetViewportExtEx(dc, w, h, nullptr);
  } else if (d->kind == kindPixmapDrawable || d->kind == kindBitmapDrawable) {
    HBITMAP bitmap = HBITMAP(d->handle);
    if (bitmap == nullptr) return nullptr;
    if (cachedMemoryDC != nullptr && cachedBitmap == bitmap) {
      dc = cachedMemoryDC;  // its mapping was set when it took the bitmap
    } else {
      dc = CreateCompatibleDC(nullptr);
      if (dc == nullptr) return nullptr;
      HGDIOBJ old = SelectObject(dc, bitmap);
      if (old == nullptr) {
        DeleteDC(dc);
        return nullptr;
      }
      if (installDepth == 0) {
        releasePixmapDC();
        cachedMemoryDC = dc, cachedBitmap = bitmap, cachedMemoryOldBitmap = old;
      } else {
        s->ownsDC = 1, s->oldBitmap = old;
      }
      SIZE dimension = {0, 0};
      GetBitmapDimensionEx(bitmap, &dimension);
      if (dimension.cx == 0 || dimension.cy == 0) {
        doReportError("bad pixmap", badPixmapReport, __FILE__, __LINE__);
      } else if (!SetMapMode(dc, MM_ANISOTROPIC) || !SetWindowExtEx(dc, dimension.cx, dimension.cy, nullptr) ||
                 !SetViewportExtEx(dc, int(dimension.cx * scaleOf(d->scaleX)), int(dimension.cy * scaleOf(d->scaleY)),
                                   nullptr)) {
        SetMapMode(dc, MM_TEXT);
        doReportError("foo", badPixmapReport, __FILE__, __LINE__);
      }
    }
  } else if (d->kind == kindPrinterDrawable) {
    dc = HDC(d->dc);
  }
  if (dc != nullptr) SetBkMode(dc, TRANSPARENT);
  return dc;
}

HDC prepareDrawable(uint8_t* handleBytes) {
  DrawingState s = {};
  s.bytes = reinterpret_cast<DrawableBytes*>(handleBytes);
  s.kind = s.bytes->kind;
  HDC dc = prepareDrawableFor(&s);
  if (dc != nullptr && s.kind != kindPrinterDrawable) s.bytes->dc = uint64_t(dc);
  return dc;
}

// The canvas layer's hook when a window or pixmap goes: its cached DC goes first.
static void releaseDrawableDC(uint8_t* handleBytes) {
  DrawableBytes* d = reinterpret_cast<DrawableBytes*>(handleBytes);
  if (d->kind == kindWindowDrawable && HWND(d->handle) == cachedWindow) releaseWindowDC();
  if ((d->kind == kindPixmapDrawable || d->kind == kindBitmapDrawable) && HBITMAP(d->handle) == cachedBitmap)
    releasePixmapDC();
  if (d->kind != kindPrinterDrawable) d->dc = 0;
}

static void releaseCachedDCs() {
  releaseWindowDC();
  releasePixmapDC();
}

// ---- Install and uninstall ------------------------------------------------------------------------

static bool smallOrNil(oop o, int64_t* out) {
  if (o == nilOop()) return *out = 0, true;
  if (!isSmallInteger(o)) return false;
  return *out = smallIntegerValue(o), true;
}

static bool scaleSlot(oop gc, uint32_t slot, double* out) {
  *out = 1.0;
  if (bodyWordsOf(headerOf(gc)) <= slot) return true;
  oop v = slotOf(gc, slot);
  return v == nilOop() || (castOopToFiniteDouble(v, out) && *out > 0);
}

// Sets the drawing into a one-bit mask of the clip box while the paint is a tile.
static bool startTiledPaint(DrawingState* s, oop tile) {
  int64_t w, h;
  if (!pixmapBitmapInfo(tile, &s->tile, &w, &h) || s->tile == nullptr || w <= 0 || h <= 0) return false;
  s->tileWidth = int32_t(w), s->tileHeight = int32_t(h);
  GetClipBox(s->dc, &s->clipBox);
  int cw = s->clipBox.right - s->clipBox.left, ch = s->clipBox.bottom - s->clipBox.top;
  HDC maskDC = CreateCompatibleDC(nullptr);
  s->mask = CreateBitmap(cw > 0 ? cw : 1, ch > 0 ? ch : 1, 1, 1, nullptr);
  if (maskDC == nullptr || s->mask == nullptr) {
    if (maskDC != nullptr) DeleteDC(maskDC);
    if (s->mask != nullptr) DeleteObject(s->mask);
    s->mask = nullptr;
    return false;
  }
  s->oldMask = SelectObject(maskDC, s->mask);
  PatBlt(maskDC, 0, 0, cw, ch, WHITENESS);
  SetViewportOrgEx(maskDC, -s->clipBox.left, -s->clipBox.top, nullptr);
  SetBkMode(maskDC, TRANSPARENT);
  SetTextColor(maskDC, RGB(0, 0, 0));
  SetTextAlign(maskDC, GetTextAlign(s->dc));
  s->realDC = s->dc;
  s->dc = maskDC;
  return true;
}

// Lays the tile through the mask inside the damage box, then drops the mask.
static void finishTiledPaint(DrawingState* s) {
  HDC maskDC = s->dc;
  s->dc = s->realDC;
  int dw = s->damage.right - s->damage.left, dh = s->damage.bottom - s->damage.top;
  if (dw > 0 && dh > 0) {
    int tw = s->tileWidth, th = s->tileHeight;
    int ox = ((s->damage.left - s->phaseX) % tw + tw) % tw, oy = ((s->damage.top - s->phaseY) % th + th) % th;
    int fw = dw + tw, fh = dh + th;
    HDC tileDC = CreateCompatibleDC(s->realDC), fillDC = CreateCompatibleDC(s->realDC);
    HBITMAP fill = CreateCompatibleBitmap(s->realDC, fw, fh);
    uncacheBitmap(s->tile, s->realDC);
    if (tileDC != nullptr && fillDC != nullptr && fill != nullptr) {
      HGDIOBJ oldTile = SelectObject(tileDC, s->tile), oldFill = SelectObject(fillDC, fill);
      BitBlt(fillDC, 0, 0, tw, th, tileDC, 0, 0, SRCCOPY);
      for (int done = tw; done < fw; done *= 2) BitBlt(fillDC, done, 0, done, th, fillDC, 0, 0, SRCCOPY);
      for (int done = th; done < fh; done *= 2) BitBlt(fillDC, 0, done, fw, done, fillDC, 0, 0, SRCCOPY);
      SetViewportOrgEx(maskDC, 0, 0, nullptr);
      int mx = s->damage.left - s->clipBox.left, my = s->damage.top - s->clipBox.top;
      for (HDC dc : {fillDC, s->realDC, maskDC}) SetTextColor(dc, RGB(0, 0, 0)), SetBkColor(dc, RGB(255, 255, 255));
      BitBlt(fillDC, ox, oy, dw, dh, maskDC, mx, my, tileMaskRop);
      BitBlt(s->realDC, s->damage.left, s->damage.top, dw, dh, maskDC, mx, my, SRCAND);
      BitBlt(s->realDC, s->damage.left, s->damage.top, dw, dh, fillDC, ox, oy, SRCPAINT);
      SelectObject(tileDC, oldTile), SelectObject(fillDC, oldFill);
    }
    if (fill != nullptr) DeleteObject(fill);
    if (tileDC != nullptr) DeleteDC(tileDC);
    if (fillDC != nullptr) DeleteDC(fillDC);
  }
  SelectObject(maskDC, s->oldMask);
  DeleteDC(maskDC);
  DeleteObject(s->mask);
  s->mask = nullptr, s->realDC = nullptr;
}

// Gives up an install that failed part way: what it selected and made goes back.
static int failInstall(oop gc, DrawingState* s, uint32_t code, uint32_t* outCode) {
  if (s->dc != nullptr) uninstallGraphicsState(gc, s);
  *outCode = code;
  return 0;
}

int installGraphicsState(oop gc, DrawingState* s, uint32_t flags, uint32_t* code) {
  *code = 0;
  memset(s, 0, sizeof *s);
  if (isImmediate(gc) || !hasPtrs(headerOf(gc)) || bodyWordsOf(headerOf(gc)) < gcMinimumSlots) return *code = 0, 0;
  oop line = slotOf(gc, gcLine);
  if (!isSmallInteger(line)) return *code = codeLine, 0;
  s->line = int32_t(smallIntegerValue(line));
  int width = s->line & 0xFFFF, style = s->line >> 16 & 0xF;
  if ((flags & installThinOnly) && width > 1) return *code = codeLine, 0;
  int64_t phaseX, phaseY, tx, ty;
  if (!smallOrNil(slotOf(gc, gcPhaseX), &phaseX)) return *code = codePhaseX, 0;
  if (!smallOrNil(slotOf(gc, gcPhaseY), &phaseY)) return *code = codePhaseY, 0;
  s->phaseX = int32_t(phaseX), s->phaseY = int32_t(phaseY);
  double scaleX, scaleY;
  if (!scaleSlot(gc, gcScaleX, &scaleX)) return *code = codeScaleX, 0;
  if (!scaleSlot(gc, gcScaleY, &scaleY)) return *code = codeScaleY, 0;
  s->bytes = drawableBytesOf(slotOf(gc, gcDrawable));
  if (s->bytes == nullptr) return *code = codeDrawable, 0;
  s->kind = s->bytes->kind;
  s->dc = prepareDrawableFor(s);
  if (s->dc == nullptr) return *code = codeDrawable, 0;
  installDepth++;
  s->bytes->dc = uint64_t(s->dc);
  if (!smallOrNil(slotOf(gc, gcTranslateX), &tx) || !smallOrNil(slotOf(gc, gcTranslateY), &ty))
    return failInstall(gc, s, codeDrawable, code);
  s->tx = int64_t(double(tx) / scaleX), s->ty = int64_t(double(ty) / scaleY);
  if (slotOf(gc, gcClipX) != nilOop()) {
    int64_t clip[4];
    for (uint32_t i = 0; i < 4; i++)
      if (!isSmallInteger(slotOf(gc, gcClipX + i))) return failInstall(gc, s, gcClipX + i + 1, code);
      else clip[i] = smallIntegerValue(slotOf(gc, gcClipX + i));
    int64_t left = clip[0] + s->tx, top = clip[1] + s->ty;
    int64_t right = clip[2] > 0 ? left + clip[2] : left, bottom = clip[3] > 0 ? top + clip[3] : top;
    IntersectClipRect(s->dc, int(left), int(top), int(right), int(bottom));
    s->clipped = 1;
  }
  if (s->window != nullptr && IsIconic(s->window)) {
    IntersectClipRect(s->dc, 4095, 4095, 4096, 4096);
    s->clipped = 1;
  }
  GetClipBox(s->dc, &s->damage);
  oop paint = slotOf(gc, gcPaint);
  if (!isSmallInteger(paint) && !drawableBytesOf(paint)) return failInstall(gc, s, codePaint, code);
  if (!isSmallInteger(paint)) {
    if ((flags & (installPaint | installPaintPen | installNothing | installFont)) != 0 && !startTiledPaint(s, paint))
      return failInstall(gc, s, codePaint, code);
    s->colour = RGB(0, 0, 0);
  } else if (s->realDC != nullptr) {
    s->colour = smallIntegerValue(paint) != 0 ? RGB(255, 255, 255) : RGB(0, 0, 0);
  } else {
    s->colour = colourOf(smallIntegerValue(paint), s->kind);
  }
  if (flags & installPaint) {
    HBRUSH brush = blackBrush;
    if ((s->colour & 0xFFFFFF) != 0 && (brush = s->brush = CreateSolidBrush(s->colour)) == nullptr)
      return failInstall(gc, s, codePaint, code);
    s->oldBrush = SelectObject(s->dc, brush);
    SetTextColor(s->dc, s->colour);
  }
  if (flags & installPaintPen) {
    int penWidth = (flags & installLineWidth) && width > 1 ? width : 1;
    HPEN pen = sharedPen;
    if (s->colour != 0 || penWidth != 1 || style != 0) {
      pen = s->pen = CreatePen(style, penWidth, s->colour);
      if (pen == nullptr) return failInstall(gc, s, codePen, code);
    }
    s->oldPen = SelectObject(s->dc, pen);
  } else if (flags & installNullPen) {
    s->oldPen = SelectObject(s->dc, nullPen);
  }
  if (flags & installFont) {
    oop font = slotOf(gc, gcFont);
    if (font != nilOop()) {
      if (isImmediate(font) || !hasPtrs(headerOf(font)) || bodyWordsOf(headerOf(font)) < 1 ||
          !gcByteObject(slotOf(font, 0)) || byteSizeOf(headerOf(slotOf(font, 0))) < 8)
        return failInstall(gc, s, codeFont, code);
      HFONT f = *reinterpret_cast<HFONT*>(bodyOf(headerOf(slotOf(font, 0))));
      s->oldFont = SelectObject(s->dc, f);
    }
    SetTextAlign(s->dc, TA_BASELINE);
  }
  return 1;
}

void uninstallGraphicsState(oop, DrawingState* s) {
  if (s->dc == nullptr) return;
  if (s->oldBrush != nullptr) SelectObject(s->dc, s->oldBrush);
  if (s->oldPen != nullptr) SelectObject(s->dc, s->oldPen);
  if (s->oldFont != nullptr) SelectObject(s->dc, s->oldFont);
  if (s->brush != nullptr) DeleteObject(s->brush);
  if (s->pen != nullptr) DeleteObject(s->pen);
  s->oldBrush = s->oldPen = s->oldFont = nullptr, s->brush = nullptr, s->pen = nullptr;
  if (s->realDC != nullptr) finishTiledPaint(s);
  if (s->clipped) SelectClipRgn(s->dc, nullptr);
  if (s->ownsDC == 1) {
    SelectObject(s->dc, s->oldBitmap);
    DeleteDC(s->dc);
  } else if (s->ownsDC == 2) {
    ReleaseDC(s->window, s->dc);
  }
  // A printer's word is its own context, not one this layer made.
  if (s->kind != kindPrinterDrawable) s->bytes->dc = 0;
  installDepth--;
  s->dc = nullptr;
}

// ---- Shared helpers of the primitives -------------------------------------------------------------

static bool in16(int64_t v) { return v >= -32768 && v <= 32767; }

static oop failInstallCode(uint32_t code, uint64_t numArgs) { return ntFailCarrying(primErrBadReceiver, code, numArgs); }

// An Array (or subclass) of Points, each moved by (dx, dy) plus the offset Point when given,
// as Win32 points with their bounding box; null on any bad element or coordinate.
static POINT* decodePointArray(oop points, oop offset, int* count, int64_t dx, int64_t dy, RECT* box) {
  if (offset != 0) {
    int64_t ox, oy;
    if (!gcPointOf(offset, &ox, &oy)) return nullptr;
    dx += ox, dy += oy;
  }
  if (isImmediate(points) || !isKindOf(points, sysOop(sysArrayClass))) return nullptr;
  uint64_t n = bodyWordsOf(headerOf(points));
  if (n == 0 || n > INT32_MAX) return nullptr;
  POINT* out = static_cast<POINT*>(malloc(size_t(n + 1) * sizeof(POINT)));
  if (out == nullptr) return nullptr;
  *box = {32767, 32767, -32768, -32768};
  for (uint64_t i = 0; i < n; i++) {
    int64_t x, y;
    if (!gcPointOf(slotOf(points, i), &x, &y) || !in16(x + dx) || !in16(y + dy)) {
      free(out);
      return nullptr;
    }
    out[i] = {LONG(x + dx), LONG(y + dy)};
    box->left = out[i].x < box->left ? out[i].x : box->left, box->top = out[i].y < box->top ? out[i].y : box->top;
    box->right = out[i].x > box->right ? out[i].x : box->right, box->bottom = out[i].y > box->bottom ? out[i].y : box->bottom;
  }
  *count = int(n);
  return out;
}

static POINT ellipsePointAtAngle(int64_t left, int64_t top, int64_t width, int64_t height, double degrees) {
  const double pi = 3.141592653589793, theta = (360.0 - degrees) * pi / 180.0;
  return {LONG(left + int64_t(std::trunc((std::cos(theta) + 1.0) * double(width) / 2.0))),
          LONG(top + int64_t(std::trunc((std::sin(theta) + 1.0) * double(height) / 2.0)))};
}

// A double into 32 bits as the arc primitives convert it: outside the range, the lowest.
static int32_t toInt32(double d) {
  if (!(d >= -2147483648.0 && d < 2147483648.0)) return INT32_MIN;
  return int32_t(d);
}

// ---- Primitives -----------------------------------------------------------------------------------

// 949: the window system's name.
static oop primWindowSystemName(oop) {
  const char* name = "MS-Windows";
  ObjectHeader* s = allocVSObj(sysOop(sysByteStringClass), 10);
  if (s == nullptr) return ntFail(primErrGeneral, 0);
  memcpy(bodyOf(s), name, 10);
  return oopOf(s);
}

// 985: a line; a one-pixel line reaches its end point too.
static oop primLine(oop gc, oop start, oop end) {
  int64_t x0, y0, x1, y1;
  if (!gcPointOf(start, &x0, &y0)) return ntFailCarrying(primErrBadArgument, 1, 2);
  if (!gcPointOf(end, &x1, &y1)) return ntFailCarrying(primErrBadArgument, 2, 2);
  DrawingState s;
  uint32_t code;
  if (!installGraphicsState(gc, &s, installLineWidth | installPaint | installPaintPen | installThinOnly, &code))
    return failInstallCode(code, 2);
  x0 += s.tx, y0 += s.ty, x1 += s.tx, y1 += s.ty;
  if (!in16(x0) || !in16(y0) || !in16(x1) || !in16(y1)) {
    uninstallGraphicsState(gc, &s);
    return ntFail(primErrGeneral, 2);
  }
  POINT p[2] = {{LONG(x0), LONG(y0)}, {LONG(x1), LONG(y1)}};
  if (s.line == 1) {
    int64_t dx = x1 - x0, dy = y1 - y0, ax = dx < 0 ? -dx : dx, ay = dy < 0 ? -dy : dy;
    if (ax >= ay && ax != 0) p[1].x += dx > 0 ? 1 : -1;
    if (ay >= ax && ay != 0) p[1].y += dy > 0 ? 1 : -1;
  }
  Polyline(s.dc, p, 2);
  narrowDamage(&s, x0 < x1 ? x0 : x1, y0 < y1 ? y0 : y1, x0 < x1 ? x1 : x0, y0 < y1 ? y1 : y0, true);
  uninstallGraphicsState(gc, &s);
  return gc;
}

// 986 and 987: a polyline, or a polygon filled with the paint.
static oop polyShape(oop gc, oop points, oop offset, bool filled) {
  DrawingState s;
  uint32_t code;
  uint32_t flags = filled ? installNothing | installPaint | installNullPen
                          : installLineWidth | installPaint | installPaintPen | installThinOnly;
  if (!installGraphicsState(gc, &s, flags, &code)) return failInstallCode(code, 2);
  int count;
  RECT box;
  POINT* p = decodePointArray(points, offset, &count, s.tx, s.ty, &box);
  if (p == nullptr) {
    uninstallGraphicsState(gc, &s);
    return filled ? failInstallCode(0, 2) : ntFail(primErrGeneral, 2);
  }
  if (filled) Polygon(s.dc, p, count);
  else Polyline(s.dc, p, count);
  narrowDamage(&s, box.left, box.top, box.right + (filled ? 1 : 0), box.bottom + (filled ? 1 : 0), !filled);
  free(p);
  uninstallGraphicsState(gc, &s);
  return gc;
}
static oop primPolyline(oop gc, oop points, oop offset) { return polyShape(gc, points, offset, false); }
static oop primPolygon(oop gc, oop points, oop offset) { return polyShape(gc, points, offset, true); }

// Origin and extent Points of the rectangle and arc primitives.
static bool boxArguments(oop origin, oop extent, int64_t* x, int64_t* y, int64_t* w, int64_t* h, uint64_t numArgs,
                         oop* failed) {
  if (!gcPointOf(origin, x, y)) return *failed = ntFailCarrying(primErrBadArgument, 1, numArgs), false;
  if (!gcPointOf(extent, w, h)) return *failed = ntFailCarrying(primErrBadArgument, 2, numArgs), false;
  return true;
}

// 988: a filled rectangle.
static oop primFillRectangle(oop gc, oop origin, oop extent) {
  int64_t x, y, w, h;
  oop failed;
  if (!boxArguments(origin, extent, &x, &y, &w, &h, 2, &failed)) return failed;
  if (w <= 0 || h <= 0) return gc;
  DrawingState s;
  uint32_t code;
  if (!installGraphicsState(gc, &s, installNothing | installPaint, &code)) return failInstallCode(code, 2);
  x += s.tx, y += s.ty;
  PatBlt(s.dc, int(x), int(y), int(w), int(h), PATCOPY);
  narrowDamage(&s, x, y, x + w, y + h, false);
  uninstallGraphicsState(gc, &s);
  return gc;
}

// 989: a rectangle's outline.
static oop primRectangle(oop gc, oop origin, oop extent) {
  int64_t x, y, w, h;
  oop failed;
  if (!boxArguments(origin, extent, &x, &y, &w, &h, 2, &failed)) return failed;
  if (w < 0 || h < 0) return gc;
  if (w > 65535 || h > 65535) return ntFail(primErrGeneral, 2);
  DrawingState s;
  uint32_t code;
  if (!installGraphicsState(gc, &s, installLineWidth | installPaint | installPaintPen | installThinOnly, &code))
    return failInstallCode(code, 2);
  x += s.tx, y += s.ty;
  POINT p[5] = {{LONG(x), LONG(y)}, {LONG(x + w), LONG(y)}, {LONG(x + w), LONG(y + h)}, {LONG(x), LONG(y + h)}, {LONG(x), LONG(y)}};
  Polyline(s.dc, p, 5);
  narrowDamage(&s, x, y, x + w, y + h, true);
  uninstallGraphicsState(gc, &s);
  return gc;
}

// 990 and 991: an arc of an ellipse's outline, or a filled wedge; more than 359 degrees
// either way is the whole ellipse.
static oop arcShape(oop gc, oop origin, oop extent, oop startAngle, oop sweepAngle, bool wedge) {
  int64_t x, y, w, h;
  oop failed;
  if (!boxArguments(origin, extent, &x, &y, &w, &h, 4, &failed)) return failed;
  if (w < 0 || h < 0) return wedge ? ntFail(primErrGeneral, 4) : gc;
  if (w > 65535 || h > 65535) return ntFail(primErrGeneral, 4);
  double startD, sweepD;
  if (!castOopToFiniteDouble(startAngle, &startD) || !castOopToFiniteDouble(sweepAngle, &sweepD))
    return ntFail(primErrGeneral, 4);
  int32_t start = toInt32(std::round(startD)), sweep = toInt32(sweepD >= 0 ? sweepD + 1.0 : sweepD);
  if (!in16(start) || !in16(sweep)) return ntFail(primErrGeneral, 4);
  DrawingState s;
  uint32_t code;
  uint32_t flags = wedge ? installPaint | installNullPen
                         : installLineWidth | installPaint | installPaintPen | installThinOnly;
  if (!installGraphicsState(gc, &s, flags, &code)) return failInstallCode(code, 4);
  x += s.tx, y += s.ty;
  if (!in16(x) || !in16(y)) {
    uninstallGraphicsState(gc, &s);
    return ntFail(primErrGeneral, 4);
  }
  int left = int(x), top = int(y), right = int(x + w), bottom = int(y + h);
  if (sweep < -359 || sweep > 359) {
    HGDIOBJ old = wedge ? nullptr : SelectObject(s.dc, nullBrush);
    Ellipse(s.dc, left, top, right, bottom);
    if (old != nullptr) SelectObject(s.dc, old);
  } else {
    double a = sweep >= 0 ? -double(start) - sweep : -double(start), b = sweep >= 0 ? -double(start) : -double(start) - sweep;
    POINT first = ellipsePointAtAngle(x, y, w, h, a), second = ellipsePointAtAngle(x, y, w, h, b);
    if (wedge) Pie(s.dc, left, top, right, bottom, first.x, first.y, second.x, second.y);
    else Arc(s.dc, left, top, right, bottom, first.x, first.y, second.x, second.y);
  }
  narrowDamage(&s, x, y, x + w, y + h, !wedge);
  uninstallGraphicsState(gc, &s);
  return gc;
}
static oop primArc(oop gc, oop o, oop e, oop a, oop b) { return arcShape(gc, o, e, a, b, false); }
static oop primWedge(oop gc, oop o, oop e, oop a, oop b) { return arcShape(gc, o, e, a, b, true); }

// 992: the paint laid through a one-bit mask (its black bits).
static oop primMask(oop gc, oop mask, oop position) {
  int64_t x, y, w, h;
  HBITMAP bitmap;
  if (!gcPointOf(position, &x, &y)) return ntFailCarrying(primErrBadArgument, 2, 2);
  if (!pixmapBitmapInfo(mask, &bitmap, &w, &h) || bitmap == nullptr || w > 65535 || h > 65535)
    return ntFail(primErrGeneral, 2);
  DrawingState s;
  uint32_t code;
  if (!installGraphicsState(gc, &s, installNothing | installPaint, &code)) return failInstallCode(code, 2);
  x += s.tx, y += s.ty;
  if (!in16(x) || !in16(y)) {
    uninstallGraphicsState(gc, &s);
    return ntFail(primErrGeneral, 2);
  }
  uncacheBitmap(bitmap, s.dc);
  HGDIOBJ old = SelectObject(sharedMemoryDC, bitmap);
  for (HDC dc : {s.dc, sharedMemoryDC}) SetTextColor(dc, RGB(0, 0, 0)), SetBkColor(dc, RGB(255, 255, 255));
  BitBlt(s.dc, int(x), int(y), int(w), int(h), sharedMemoryDC, 0, 0, displayDepth == 1 ? 0xB8074A : 0xE20746);
  SelectObject(sharedMemoryDC, old);
  narrowDamage(&s, x, y, x + w, y + h, false);
  uninstallGraphicsState(gc, &s);
  return gc;
}

// The part of a window's client area that other windows hide (hidden set), or the part they
// leave visible, in client coordinates.
static HRGN visibleRegion(HWND window, int hidden) {
  RECT client;
  GetClientRect(window, &client);
  POINT origin = {0, 0};
  ClientToScreen(window, &origin);
  OffsetRect(&client, origin.x, origin.y);
  HRGN visible = CreateRectRgnIndirect(&client);
  HRGN desktop = CreateRectRgnIndirect(&virtualDesktopRect);
  CombineRgn(visible, visible, desktop, RGN_AND);
  DeleteObject(desktop);
  for (HWND above = GetWindow(window, GW_HWNDPREV); above != nullptr; above = GetWindow(above, GW_HWNDPREV)) {
    if (!IsWindowVisible(above)) continue;
    RECT r;
    GetWindowRect(above, &r);
    HRGN cover = CreateRectRgnIndirect(&r);
    CombineRgn(visible, visible, cover, RGN_DIFF);
    DeleteObject(cover);
  }
  if (hidden) {
    HRGN whole = CreateRectRgnIndirect(&client);
    CombineRgn(whole, whole, visible, RGN_DIFF);
    DeleteObject(visible);
    visible = whole;
  }
  OffsetRgn(visible, -origin.x, -origin.y);
  return visible;
}

// The answer of an area copy: {} or {{x, y, width, height}}.
static oop hiddenAnswer(const RECT* box, const DrawingState* d) {
  ObjectHeader* outer = allocVSObj(sysOop(sysArrayClass), box != nullptr ? 1 : 0);
  if (outer == nullptr || box == nullptr) return outer != nullptr ? oopOf(outer) : 0;
  ObjectHeader* inner = allocVSObj(sysOop(sysArrayClass), 4);
  if (inner == nullptr) return 0;
  bodyOf(inner)[0] = smallIntegerFor(box->left - d->tx);
  bodyOf(inner)[1] = smallIntegerFor(box->top - d->ty);
  bodyOf(inner)[2] = smallIntegerFor(box->right - box->left);
  bodyOf(inner)[3] = smallIntegerFor(box->bottom - box->top);
  storeSlot(oopOf(outer), 0, oopOf(inner), __FILE__, __LINE__);
  return oopOf(outer);
}

// 994 and 995: an area from the source context to the receiver, through a mask for 995.
static oop areaCopy(oop gc, oop extentOrMask, oop source, oop sourceOrigin, oop destinationOrigin, bool masked) {
  int64_t w = 0, h = 0, sx, sy, dx, dy;
  HBITMAP maskBitmap = nullptr;
  if (!masked && !gcPointOf(extentOrMask, &w, &h)) return ntFailCarrying(primErrBadArgument, 1, 4);
  if (!gcPointOf(sourceOrigin, &sx, &sy)) return ntFailCarrying(primErrBadArgument, 3, 4);
  if (!gcPointOf(destinationOrigin, &dx, &dy)) return ntFailCarrying(primErrBadArgument, 4, 4);
  if (masked && (!pixmapBitmapInfo(extentOrMask, &maskBitmap, &w, &h) || maskBitmap == nullptr || w > 65535 || h > 65535))
    return ntFail(primErrGeneral, 4);
  DrawingState src, dst;
  uint32_t code;
  if (!installGraphicsState(source, &src, 0, &code)) {
    ObjectHeader* pair = allocVSObj(sysOop(sysArrayClass), 2);
    if (pair == nullptr) return ntFail(primErrNoSpace, 4);
    bodyOf(pair)[0] = smallIntegerFor(2), bodyOf(pair)[1] = smallIntegerFor(code);
    return failPrimitive(cloneErrorWith(primErrorAt(primErrBadArgument), oopOf(pair)), 4);
  }
  if (!installGraphicsState(gc, &dst, 0, &code)) {
    uninstallGraphicsState(source, &src);
    return failInstallCode(code, 4);
  }
  sx += src.tx, sy += src.ty, dx += dst.tx, dy += dst.ty;
  int64_t cw = w, ch = h;
  if (!masked && src.window != nullptr) {
    RECT client;
    GetClientRect(src.window, &client);
    if (sx + cw > client.right) cw = client.right - sx;
    if (sy + ch > client.bottom) ch = client.bottom - sy;
  }
  RECT box;
  bool hiddenPart = false;
  if (src.window != nullptr && (!masked || GetWindow(src.window, GW_HWNDFIRST) != src.window)) {
    HRGN hidden = visibleRegion(src.window, 1);
    HRGN area = CreateRectRgn(int(sx), int(sy), int(sx + w), int(sy + h));
    CombineRgn(hidden, hidden, area, RGN_AND);
    OffsetRgn(hidden, int(dx - sx), int(dy - sy));
    if (GetRgnBox(hidden, &box) != NULLREGION) {
      hiddenPart = true;
      ExcludeClipRect(dst.dc, box.left, box.top, box.right, box.bottom);
      dst.clipped = 1;
    }
    DeleteObject(area);
    DeleteObject(hidden);
  }
  if (!masked) {
    if (cw > 0 && ch > 0) StretchBlt(dst.dc, int(dx), int(dy), int(cw), int(ch), src.dc, int(sx), int(sy), int(cw), int(ch), SRCCOPY);
  } else {
    HDC maskDC = CreateCompatibleDC(src.dc), cutDC = CreateCompatibleDC(src.dc);
    HBITMAP expanded = CreateCompatibleBitmap(src.dc, int(w), int(h)), cut = CreateCompatibleBitmap(src.dc, int(w), int(h));
    if (maskDC != nullptr && cutDC != nullptr && expanded != nullptr && cut != nullptr) {
      HGDIOBJ oldExpanded = SelectObject(maskDC, expanded), oldCut = SelectObject(cutDC, cut);
      uncacheBitmap(maskBitmap, dst.dc);
      HGDIOBJ oldShared = SelectObject(sharedMemoryDC, maskBitmap);
      SelectObject(maskDC, whiteBrush);
      for (HDC dc : {maskDC, cutDC, sharedMemoryDC}) SetTextColor(dc, RGB(0, 0, 0)), SetBkColor(dc, RGB(255, 255, 255));
      int iw = int(w), ih = int(h);
      BitBlt(maskDC, 0, 0, iw, ih, sharedMemoryDC, 0, 0, SRCCOPY);
      BitBlt(cutDC, 0, 0, iw, ih, src.dc, int(sx), int(sy), SRCCOPY);
      BitBlt(cutDC, 0, 0, iw, ih, maskDC, 0, 0, SRCAND);
      BitBlt(maskDC, 0, 0, iw, ih, dst.dc, int(dx), int(dy), SRCERASE);
      BitBlt(maskDC, 0, 0, iw, ih, cutDC, 0, 0, SRCPAINT);
      BitBlt(dst.dc, int(dx), int(dy), iw, ih, maskDC, 0, 0, SRCCOPY);
      SelectObject(sharedMemoryDC, oldShared);
      SelectObject(maskDC, oldExpanded), SelectObject(cutDC, oldCut);
    }
    for (HBITMAP b : {expanded, cut})
      if (b != nullptr) DeleteObject(b);
    for (HDC dc : {maskDC, cutDC})
      if (dc != nullptr) DeleteDC(dc);
  }
  oop result = hiddenAnswer(hiddenPart ? &box : nullptr, &dst);
  uninstallGraphicsState(gc, &dst);
  uninstallGraphicsState(source, &src);
  return result != 0 ? result : ntFail(primErrNoSpace, 4);
}
static oop primCopyArea(oop gc, oop extent, oop source, oop from, oop to) { return areaCopy(gc, extent, source, from, to, false); }
static oop primCopyMasked(oop gc, oop mask, oop source, oop from, oop to) { return areaCopy(gc, mask, source, from, to, true); }

// The canvas layer's hook: the box of the part of area that other windows hide (or leave).
static bool visibleBox(HWND window, const RECT* area, int hidden, RECT* box) {
  HRGN region = visibleRegion(window, hidden), part = CreateRectRgnIndirect(area);
  CombineRgn(region, region, part, RGN_AND);
  int kind = GetRgnBox(region, box);
  DeleteObject(part);
  DeleteObject(region);
  return kind != NULLREGION && kind != ERROR;
}

void initGraphicsContexts() {
  releaseDrawableDCHook = releaseDrawableDC;
  releaseCachedDCsHook = releaseCachedDCs;
  visibleRegionHook = visibleBox;
  whiteBrush = HBRUSH(GetStockObject(WHITE_BRUSH));
  blackBrush = HBRUSH(GetStockObject(BLACK_BRUSH));
  nullBrush = HBRUSH(GetStockObject(NULL_BRUSH));
  nullPen = HPEN(GetStockObject(NULL_PEN));
  if (sharedPen == nullptr) sharedPen = CreatePen(PS_SOLID, 1, 0);
  if (sharedMemoryDC == nullptr) sharedMemoryDC = CreateCompatibleDC(nullptr);
  addCPrimitive(949, reinterpret_cast<const void*>(primWindowSystemName), 0);
  const void* routines[] = {reinterpret_cast<const void*>(primLine), reinterpret_cast<const void*>(primPolyline),
                            reinterpret_cast<const void*>(primPolygon), reinterpret_cast<const void*>(primFillRectangle),
                            reinterpret_cast<const void*>(primRectangle), reinterpret_cast<const void*>(primArc),
                            reinterpret_cast<const void*>(primWedge), reinterpret_cast<const void*>(primMask)};
  const uint64_t counts[] = {2, 2, 2, 2, 2, 4, 4, 2};
  for (uint32_t i = 0; i < 8; i++) {
    addCPrimitive(985 + i, routines[i], counts[i]);
    addCPrimitive(1225 + i, routines[i], counts[i]);
  }
  addCPrimitive(994, reinterpret_cast<const void*>(primCopyArea), 4);
  addCPrimitive(995, reinterpret_cast<const void*>(primCopyMasked), 4);
}
