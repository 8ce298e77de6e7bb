// X11 window system: reading pixels back from windows, pixmaps and the screen (delivered
// most significant byte and bit first, rows padded to 32 bits), pixmap formats, the window
// under a point and the widget colours. Owns no global record.
// Prefix: none (readDrawablePixels, initX11PixelPrims).
#include <cstdlib>
#include <cstring>

#include "ext/exPrimTable.h"
#include "mman/mmCValue.h"
#include "mman/mmSysOop.h"
#include "x11/x11.h"

// ---- Normalising an image ----------------------------------------------------------------------

static uint8_t reversedBits(uint8_t b) {
  b = uint8_t((b & 0xF0) >> 4 | (b & 0x0F) << 4);
  b = uint8_t((b & 0xCC) >> 2 | (b & 0x33) << 2);
  return uint8_t((b & 0xAA) >> 1 | (b & 0x55) << 1);
}

static void reverseGroups(uint8_t* row, uint64_t bytes, int group) {
  for (uint64_t i = 0; i + (uint64_t)group <= bytes; i += (uint64_t)group)
    for (int a = 0, b = group - 1; a < b; a++, b--) {
      uint8_t t = row[i + (uint64_t)a];
      row[i + (uint64_t)a] = row[i + (uint64_t)b];
      row[i + (uint64_t)b] = t;
    }
}

// In place, for rows already padded to 32 bits: bits, fields or bytes turned round.
static void swapInPlace(XImage* im) {
  uint8_t* data = (uint8_t*)im->data;
  uint64_t size = (uint64_t)im->bytes_per_line * (uint64_t)im->height;
  switch (im->bits_per_pixel) {
    case 1: for (uint64_t i = 0; i < size; i++) data[i] = reversedBits(data[i]); break;
    case 2:
      for (uint64_t i = 0; i < size; i++) {
        uint8_t b = data[i];
        data[i] = uint8_t((b & 3) << 6 | (b & 0xC) << 2 | (b & 0x30) >> 2 | (b & 0xC0) >> 6);
      }
      break;
    case 4: for (uint64_t i = 0; i < size; i++) data[i] = uint8_t(data[i] << 4 | data[i] >> 4); break;
    case 16: reverseGroups(data, size, 2); break;
    case 24:
      for (int r = 0; r < im->height; r++)
        reverseGroups(data + (uint64_t)r * (uint64_t)im->bytes_per_line, (uint64_t)im->width * 3, 3);
      break;
    case 32: reverseGroups(data, size, 4); break;
  }
}

static bool isStandardSize(int bpp) {
  return bpp == 1 || bpp == 2 || bpp == 4 || bpp == 8 || bpp == 16 || bpp == 24 || bpp == 32;
}

// Pixel by pixel into a fresh image of the delivered form.
static XImage* convertedImage(Display* dpy, XImage* im) {
  int depth = im->depth, bpp = depth == 1 ? 1 : depth < 5 ? 4 : (depth + 7) / 8 * 8;
  int perLine = (im->width * bpp + 31) / 32 * 4;
  char* data = (char*)calloc((size_t)perLine * (size_t)im->height + 1, 1);
  if (data == nullptr) return nullptr;
  XImage* out = XCreateImage(dpy, DefaultVisual(dpy, DefaultScreen(dpy)), (unsigned)depth, ZPixmap, 0, data,
                             (unsigned)im->width, (unsigned)im->height, 32, perLine);
  if (out == nullptr) return free(data), nullptr;
  out->byte_order = out->bitmap_bit_order = MSBFirst;
  out->bits_per_pixel = bpp;
  XInitImage(out);
  for (int y = 0; y < im->height; y++)
    for (int x = 0; x < im->width; x++) XPutPixel(out, x, y, XGetPixel(im, x, y));
  return out;
}

static XImage* deliveredForm(Display* dpy, XImage* im) {
  bool padded = im->bytes_per_line % 4 == 0, msb = im->byte_order == MSBFirst && im->bitmap_bit_order == MSBFirst;
  if (padded && msb && isStandardSize(im->bits_per_pixel)) return im;
  if (padded && isStandardSize(im->bits_per_pixel)) {
    if (im->bits_per_pixel == 8 || (im->bits_per_pixel > 1 && im->byte_order == MSBFirst)) return im;
    swapInPlace(im);
    return im;
  }
  XImage* out = convertedImage(dpy, im);
  XDestroyImage(im);
  return out;
}

int readDrawablePixels(Display* display, Drawable drawable, int x, int y, unsigned width, unsigned height, oop bytes,
                       uint64_t start) {
  if (width == 0 || height == 0) return 1;
  XImage* im = XGetImage(display, drawable, x, y, width, height, AllPlanes, ZPixmap);
  if (im == nullptr || (im = deliveredForm(display, im)) == nullptr) return 0;
  uint64_t size = (uint64_t)im->bytes_per_line * (uint64_t)im->height, room = byteSizeOf(headerOf(bytes));
  bool fits = start >= 1 && start - 1 <= room && size <= room - (start - 1);
  if (fits) memcpy((uint8_t*)bodyOf(headerOf(bytes)) + (start - 1), im->data, size);
  XDestroyImage(im);
  return fits;
}

// ---- Primitives --------------------------------------------------------------------------------

struct PixelRequest {
  int64_t x, y, width, height;
  uint64_t start;
  oop bytes;
};

static bool pixelRequest(const oop args[6], PixelRequest* r) {
  int64_t v[4];
  for (int i = 0; i < 4; i++) {
    if (!isSmallInteger(args[i])) return false;
    v[i] = smallIntegerValue(args[i]);
  }
  if (v[0] < 0 || v[0] > 32767 || v[1] < 0 || v[1] > 32767 || v[2] < 0 || v[2] > 65535 || v[3] < 0 || v[3] > 65535)
    return false;
  if (!isByteObject(args[4]) || !isSmallInteger(args[5]) || smallIntegerValue(args[5]) < 1) return false;
  *r = PixelRequest{v[0], v[1], v[2], v[3], (uint64_t)smallIntegerValue(args[5]), args[4]};
  return true;
}

static bool insideDrawable(Display* dpy, Drawable d, const PixelRequest& r) {
  Window root;
  int x, y;
  unsigned w, h, border, depth;
  if (!XGetGeometry(dpy, d, &root, &x, &y, &w, &h, &border, &depth)) return false;
  return r.x + r.width <= (int64_t)w && r.y + r.height <= (int64_t)h;
}

static oop pairAnswer(oop first, oop second) {
  oop a = newX11Array(2);
  if (a == 0) return 0;
  x11ArrayPut(a, 0, first);
  x11ArrayPut(a, 1, second);
  return a;
}

// 1100 and 1101: {empty Array, nil} once the rectangle's pixels are in the byte object.
static oop primReadPixels(oop receiver, oop a1, oop a2, oop a3, oop a4, oop a5, oop a6) {
  const oop args[6] = {a1, a2, a3, a4, a5, a6};
  DrawableHandle* h = unpackDrawable(receiver);
  PixelRequest r;
  if (h == nullptr || !pixelRequest(args, &r) || !insideDrawable(h->display, h->drawable, r)) return x11Fail(primErrGeneral, 6);
  oop empty = newX11Array(0), answer = empty != 0 ? pairAnswer(empty, nilOop()) : 0;
  if (answer == 0) return x11Fail(primErrGeneral, 6);
  if (!readDrawablePixels(h->display, h->drawable, (int)r.x, (int)r.y, (unsigned)r.width, (unsigned)r.height, r.bytes, r.start))
    return x11Fail(primErrGeneral, 6);
  return answer;
}

// 1102: a window's rectangle through a pixmap copy; the answer lists what could not be copied.
static oop primReadPixelsByCopy(oop receiver, oop a1, oop a2, oop a3, oop a4, oop a5, oop a6) {
  const oop args[6] = {a1, a2, a3, a4, a5, a6};
  DrawableHandle* h = unpackDrawable(receiver);
  PixelRequest r;
  if (h == nullptr || h->kind != drawableWindow || !pixelRequest(args, &r) || r.width == 0 || r.height == 0 ||
      !insideDrawable(h->display, h->drawable, r))
    return x11Fail(primErrGeneral, 6);
  Display* dpy = h->display;
  XWindowAttributes a;
  if (!XGetWindowAttributes(dpy, h->drawable, &a)) return x11Fail(primErrGeneral, 6);
  pdClearAllocErrorFlag(dpy);
  Pixmap p = XCreatePixmap(dpy, h->drawable, (unsigned)r.width, (unsigned)r.height, (unsigned)a.depth);
  GC gc = XCreateGC(dpy, p, 0, nullptr);
  oop exposures = 0;
  bool ok = !pdAllocErrorOccurred(dpy) && gc != nullptr;
  if (ok) exposures = copyRectArea(dpy, h->drawable, p, gc, r.x, r.y, r.width, r.height, 0, 0, 0, 0, drawableWindow);
  ok = ok && exposures != 0 && readDrawablePixels(dpy, p, 0, 0, (unsigned)r.width, (unsigned)r.height, r.bytes, r.start);
  if (gc != nullptr) XFreeGC(dpy, gc);
  XFreePixmap(dpy, p);
  oop answer = ok ? pairAnswer(exposures, nilOop()) : 0;
  return answer != 0 ? answer : x11Fail(primErrGeneral, 6);
}

// The palette of what the screen shows: our colormap's when it is installed (or none is
// listed), else the last installed one's; nil for the visual classes without one.
static oop screenPalette(DisplayResourceNode* node) {
  Display* dpy = node->display;
  int n = 0;
  Colormap* installed = XListInstalledColormaps(dpy, RootWindow(dpy, DefaultScreen(dpy)), &n);
  bool ours = n == 0;
  for (int i = 0; i < n; i++) ours = ours || installed[i] == node->colormap;
  Colormap shown = ours || installed == nullptr ? node->colormap : installed[n - 1];
  if (installed != nullptr) XFree(installed);
  if (ours && node->colorCells == nullptr) return nilOop();
  return getUndecomposedColorPaletteEntries(dpy, shown, (uint64_t)node->visualInfo.colormap_size, nullptr);
}

static oop primReadScreenPixels(oop receiver, oop a1, oop a2, oop a3, oop a4, oop a5, oop a6) {
  const oop args[6] = {a1, a2, a3, a4, a5, a6};
  DisplayResourceNode* node = nodeOfReceiver(receiver);
  PixelRequest r;
  if (node == nullptr || !pixelRequest(args, &r)) return x11Fail(primErrGeneral, 6);
  Display* dpy = node->display;
  int screen = DefaultScreen(dpy);
  if (r.x + r.width > DisplayWidth(dpy, screen) || r.y + r.height > DisplayHeight(dpy, screen)) return x11Fail(primErrGeneral, 6);
  XGrabServer(dpy);
  bool ok = readDrawablePixels(dpy, RootWindow(dpy, screen), (int)r.x, (int)r.y, (unsigned)r.width, (unsigned)r.height,
                               r.bytes, r.start);
  oop palette = ok ? screenPalette(node) : 0;
  XUngrabServer(dpy);
  XFlush(dpy);
  oop empty = palette != 0 ? newX11Array(0) : 0;
  oop answer = empty != 0 ? pairAnswer(empty, palette) : 0;
  return answer != 0 ? answer : x11Fail(primErrGeneral, 6);
}

static oop pixmapFormat(oop receiver, int depth) {
  Display* dpy = displayOfReceiver(receiver);
  if (dpy == nullptr) return x11Fail(primErrGeneral, 0);
  if (depth == 0) depth = DefaultDepth(dpy, DefaultScreen(dpy));
  int n = 0;
  XPixmapFormatValues* formats = XListPixmapFormats(dpy, &n);
  int found = -1;
  for (int i = 0; i < n && found < 0; i++)
    if (formats[i].depth >= depth) found = i;
  int64_t d = found >= 0 ? formats[found].depth : 0, bpp = found >= 0 ? formats[found].bits_per_pixel : 0;
  if (formats != nullptr) XFree(formats);
  oop answer = bpp != 0 ? pairAnswer(smallIntegerFor(d), smallIntegerFor(bpp)) : 0;
  return answer != 0 ? answer : x11Fail(primErrGeneral, 0);
}
static oop primRootPixmapFormat(oop receiver) { return pixmapFormat(receiver, 0); }
static oop primBitmapFormat(oop receiver) { return pixmapFormat(receiver, 1); }

static bool coordinate(oop o, int* out) {
  if (!isSmallInteger(o) || smallIntegerValue(o) < -32768 || smallIntegerValue(o) > 32767) return false;
  *out = (int)smallIntegerValue(o);
  return true;
}

// 1111: the innermost window under a root point, nil for the root itself.
static oop primWindowAt(oop receiver, oop px, oop py) {
  Display* dpy = displayOfReceiver(receiver);
  int x, y, wx, wy;
  if (dpy == nullptr) return x11Fail(primErrBadReceiver, 2);
  if (!coordinate(px, &x) || !coordinate(py, &y)) return x11Fail(primErrBadArgument, 2);
  Window root = RootWindow(dpy, DefaultScreen(dpy)), at = root, child = 0;
  XTranslateCoordinates(dpy, root, at, x, y, &wx, &wy, &child);
  while (child != None) {
    at = child;
    XTranslateCoordinates(dpy, root, at, x, y, &wx, &wy, &child);
  }
  if (at == root) return nilOop();
  oop id = cUnsignedToOop(at);
  return id != 0 ? id : x11Fail(primErrNoSpace, 2);
}

// 1120: the pixel of a widget colour the resources set (selector 2), else nil.
static oop primWidgetColor(oop receiver, oop role, oop kind, oop selector) {
  DisplayResourceNode* node = nodeOfReceiver(receiver);
  if (node == nullptr) return x11Fail(primErrBadReceiver, 3);
  if (!isSmallInteger(role) || !isSmallInteger(kind) || !isSmallInteger(selector) || smallIntegerValue(role) < 0 ||
      smallIntegerValue(role) >= widgetRoleCount || smallIntegerValue(kind) < 0 || smallIntegerValue(kind) >= widgetKindCount)
    return x11Fail(primErrBadArgument, 3);
  uint32_t slot = (uint32_t)(smallIntegerValue(role) * widgetKindCount + smallIntegerValue(kind));
  bool set = (node->widgetColorSet[slot >> 3] >> (slot & 7)) & 1;
  if (smallIntegerValue(selector) != 2 || !set) return nilOop();
  oop pixel = cUnsignedToOop(node->widgetColors[slot]);
  return pixel != 0 ? pixel : x11Fail(primErrNoSpace, 3);
}

void initX11PixelPrims() {
  addCPrimitive(1100, reinterpret_cast<const void*>(primReadPixels), 6);
  addCPrimitive(1101, reinterpret_cast<const void*>(primReadPixels), 6);
  addCPrimitive(1102, reinterpret_cast<const void*>(primReadPixelsByCopy), 6);
  addCPrimitive(1103, reinterpret_cast<const void*>(primReadScreenPixels), 6);
  addCPrimitive(1104, reinterpret_cast<const void*>(primRootPixmapFormat), 0);
  addCPrimitive(1105, reinterpret_cast<const void*>(primBitmapFormat), 0);
  addCPrimitive(1111, reinterpret_cast<const void*>(primWindowAt), 2);
  addCPrimitive(1120, reinterpret_cast<const void*>(primWidgetColor), 3);
}
