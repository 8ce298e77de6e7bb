// X11 window system: images. Makes an X image over the pixels of an image object (most
// significant byte and bit first, rows padded to 32 bits) and puts it on a drawable, only the
// visible part when a clip leaves little of it (993), or as a one-bit image in two given
// pixels (998).
// Owns x11ImagePixelsPut (what the last put sent, for the tests).
// Prefix: none (createImage, initX11ImagePrims).
#include <cstring>

#include "ext/exPrimTable.h"
#include "mman/mmAllocate.h"
#include "mman/mmPrimUtil.h"
#include "mman/mmSysOop.h"
#include "x11/x11.h"

// Pixels of the last (sub-)image put: the one place that shows a clip cut the image.
extern "C" {
__attribute__((visibility("default"))) uint64_t x11ImagePixelsPut = 0;
}

// The server's bits per pixel for a depth, 0 when it has no pixmap format of that depth.
static int serverBitsPerPixel(Display* display, int depth) {
  int count = 0, bpp = 0;
  XPixmapFormatValues* formats = XListPixmapFormats(display, &count);
  for (int i = 0; formats != nullptr && i < count; i++)
    if (formats[i].depth == depth) bpp = formats[i].bits_per_pixel;
  if (formats != nullptr) XFree(formats);
  return bpp;
}

static bool smallIntegerIn(oop o, int64_t low, int64_t high, int64_t* out) {
  if (!isSmallInteger(o) || smallIntegerValue(o) < low || smallIntegerValue(o) > high) return false;
  *out = smallIntegerValue(o);
  return true;
}

// Four 2-bit pixels a byte into two bytes of two 4-bit pixels each.
static void widenTwoBitPixels(const uint8_t* from, uint64_t n, uint8_t* to) {
  static uint8_t nibble[16];
  for (uint32_t v = 0; v < 16; v++) nibble[v] = (uint8_t)(((v >> 2) << 4) | (v & 3));
  for (uint64_t i = 0; i < n; i++) to[2 * i] = nibble[from[i] >> 4], to[2 * i + 1] = nibble[from[i] & 15];
}

// An X image sharing the object's bits (or a widened copy); null when the object is no
// image, its bits are fewer than its rows need, or no image can be made. Destroy it with
// destroyImage, which leaves the bits alone.
XImage* createImage(Display* display, oop image) {
  if (isImmediate(image) || !hasPtrs(headerOf(image)) || bodyWordsOf(headerOf(image)) < 5) return nullptr;
  oop bits = slotOf(image, 0);
  int64_t width, height, depth, bpp;
  if (!isByteObject(bits) || !smallIntegerIn(slotOf(image, 1), 0, 65535, &width) ||
      !smallIntegerIn(slotOf(image, 2), 0, 65535, &height) || !smallIntegerIn(slotOf(image, 3), 1, 255, &depth) ||
      !smallIntegerIn(slotOf(image, 4), 1, 32, &bpp))
    return nullptr;
  int server = serverBitsPerPixel(display, (int)depth);
  uint64_t size = byteSizeOf(headerOf(bits));
  char* data = reinterpret_cast<char*>(bodyOf(headerOf(bits)));
  if (server == 4 && bpp == 2) {
    ObjectHeader* wide = allocVSObj(sysOop(sysByteArrayClass), size * 2);
    if (wide == nullptr) return nullptr;
    widenTwoBitPixels(reinterpret_cast<const uint8_t*>(data), size, reinterpret_cast<uint8_t*>(bodyOf(wide)));
    data = reinterpret_cast<char*>(bodyOf(wide)), size *= 2, bpp = 4;
  } else if (server != bpp && bpp != 1 && bpp != 2 && bpp != 4 && bpp != 8 && bpp != 16 && bpp != 24 && bpp != 32) {
    return nullptr;
  }
  // Rows as the object holds them: a short object would be read past its end.
  uint64_t row = (((uint64_t)bpp * (uint64_t)width + 31) / 32) * 4;
  if (row * (uint64_t)height > size) return nullptr;
  Visual* visual = DefaultVisual(display, DefaultScreen(display));
  // One bit a pixel is drawn in the GC's foreground and background (998) on any depth.
  int format = depth == 1 ? XYBitmap : ZPixmap;
  XImage* x = XCreateImage(display, visual, (unsigned)depth, format, 0, data, (unsigned)width, (unsigned)height, 32, 0);
  if (x == nullptr) return nullptr;
  x->byte_order = MSBFirst, x->bitmap_bit_order = MSBFirst;
  x->bits_per_pixel = (int)bpp, x->bytes_per_line = (int)row;
  if (!XInitImage(x)) {
    x->data = nullptr;
    XDestroyImage(x);
    return nullptr;
  }
  return x;
}

void destroyImage(XImage* image) {
  image->data = nullptr;  // the object's bits
  XDestroyImage(image);
}

static oop failArgument(int k, uint64_t n) { return x11FailWith(primErrBadArgument, k, n); }

static bool contextState(oop gc, uint32_t parts, GraphicsState* s, uint64_t n, oop* failed) {
  bool usable;
  uint32_t bad = readGraphicsState(gc, parts, s, &usable);
  if (usable && bad == 0) return true;
  *failed = x11FailWith(primErrBadReceiver, bad, n);
  return false;
}

// 993: at the point plus the translation; of a clipped image only the visible part is sent
// when it is under a third of the whole.
static oop primPutImage(oop receiver, oop image, oop position) {
  enum : uint32_t { parts = partDrawable | partClip | partPaint | partTranslation };
  int64_t x, y;
  GraphicsState s;
  oop failed;
  if (!pointArgument(position, &x, &y)) return failArgument(2, 2);
  if (!contextState(receiver, parts, &s, 2, &failed)) return failed;
  x += s.tx, y += s.ty;
  if (!fits16(x) || !fits16(y)) return failArgument(2, 2);
  DrawableHandle* d = s.handle;
  XImage* full = createImage(d->display, image);
  if (full == nullptr) return failArgument(1, 2);
  int64_t vx = x, vy = y, vw = full->width, vh = full->height;
  if (s.clip) {
    int64_t right = x + full->width, bottom = y + full->height;
    vx = x > s.clipX ? x : s.clipX, vy = y > s.clipY ? y : s.clipY;
    int64_t cr = s.clipX + (int64_t)s.clipWidth, cb = s.clipY + (int64_t)s.clipHeight;
    vw = (right < cr ? right : cr) - vx, vh = (bottom < cb ? bottom : cb) - vy;
    if (vw <= 0 || vh <= 0) {
      destroyImage(full);
      return receiver;
    }
  }
  applyGraphicsState(&s, parts);
  if (vw * vh * 3 < (int64_t)full->width * full->height) {
    XImage* part = XSubImage(full, (int)(vx - x), (int)(vy - y), (unsigned)vw, (unsigned)vh);
    if (part != nullptr) {
      XPutImage(d->display, d->drawable, d->gc, part, 0, 0, (int)vx, (int)vy, (unsigned)vw, (unsigned)vh);
      x11ImagePixelsPut = (uint64_t)(vw * vh);
      XDestroyImage(part);
      destroyImage(full);
      armXFlush();
      return receiver;
    }
  }
  XPutImage(d->display, d->drawable, d->gc, full, 0, 0, (int)x, (int)y, (unsigned)full->width, (unsigned)full->height);
  x11ImagePixelsPut = (uint64_t)full->width * (uint64_t)full->height;
  destroyImage(full);
  armXFlush();
  return receiver;
}

// 998: foreground and background set first, for one-bit images.
static oop primPutImageInPixels(oop receiver, oop image, oop foreground, oop background, oop position) {
  enum : uint32_t { parts = partDrawable | partClip | partTranslation };
  uint64_t fg, bg;
  int64_t x, y;
  GraphicsState s;
  oop failed;
  if (!oopToQ64(foreground, &fg) || fg > 0xFFFFFFFFu) return failArgument(2, 4);
  if (!oopToQ64(background, &bg) || bg > 0xFFFFFFFFu) return failArgument(3, 4);
  if (!pointArgument(position, &x, &y)) return failArgument(4, 4);
  if (!contextState(receiver, parts, &s, 4, &failed)) return failed;
  DrawableHandle* d = s.handle;
  XImage* x11Image = createImage(d->display, image);
  if (x11Image == nullptr) return failArgument(1, 4);
  x += s.tx, y += s.ty;
  if (!fits16(x) || !fits16(y)) {
    destroyImage(x11Image);
    return x11Fail(primErrGeneral, 4);
  }
  applyGraphicsState(&s, parts);
  XSetForeground(d->display, d->gc, fg);
  XSetBackground(d->display, d->gc, bg);
  XPutImage(d->display, d->drawable, d->gc, x11Image, 0, 0, (int)x, (int)y, (unsigned)x11Image->width,
            (unsigned)x11Image->height);
  x11ImagePixelsPut = (uint64_t)x11Image->width * (uint64_t)x11Image->height;
  destroyImage(x11Image);
  armXFlush();
  return receiver;
}

void initX11ImagePrims() {
  addCPrimitive(993, reinterpret_cast<const void*>(primPutImage), 2);
  addCPrimitive(998, reinterpret_cast<const void*>(primPutImageInPixels), 4);
}
