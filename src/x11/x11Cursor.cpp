// X11 window system: pointer cursors made from two one-bit image objects (image and mask),
// set on every window of their display, and freed.
// Owns no global record.
// Prefix: none (initX11CursPrims; the primitives are file-local).
#include <cstring>

#include "ext/exPrimTable.h"
#include "mman/mmAllocate.h"
#include "mman/mmSysOop.h"
#include "x11/x11.h"

enum : int { maxCursorSide = 32 };

struct CursorHandle {
  Cursor cursor;
  Display* display;
};

// Three 32-bit floats in 0..1 (exactly 12 bytes) as an X colour.
static bool cursorColor(oop o, XColor* out) {
  if (!isByteObject(o) || byteSizeOf(headerOf(o)) != 12) return false;
  float v[3];
  memcpy(v, bodyOf(headerOf(o)), sizeof v);
  unsigned short* channels[3] = {&out->red, &out->green, &out->blue};
  for (int i = 0; i < 3; i++) {
    if (!(v[i] >= 0.0f && v[i] <= 1.0f)) return false;
    *channels[i] = (unsigned short)(int)(v[i] * 65535.0 + 0.5);
  }
  out->flags = DoRed | DoGreen | DoBlue;
  return true;
}

// A one-bit pixmap holding the image.
static Pixmap bitmapOf(Display* d, XImage* image) {
  Pixmap p = XCreatePixmap(d, RootWindow(d, DefaultScreen(d)), (unsigned)image->width, (unsigned)image->height, 1);
  XGCValues v = {};
  v.function = GXcopy, v.foreground = 1, v.background = 0, v.graphics_exposures = False;
  GC gc = XCreateGC(d, p, GCFunction | GCForeground | GCBackground | GCGraphicsExposures, &v);
  XPutImage(d, p, gc, image, 0, 0, 0, 0, (unsigned)image->width, (unsigned)image->height);
  XFreeGC(d, gc);
  return p;
}

// 904: image, mask, hot spot x and y, foreground and background colours.
static oop primMakeCursor(oop receiver, oop image, oop mask, oop hotX, oop hotY, oop foreground, oop background) {
  Display* d = displayOfReceiver(receiver);
  XColor fg = {}, bg = {};
  if (d == nullptr || !isSmallInteger(hotX) || !isSmallInteger(hotY) || !cursorColor(foreground, &fg) ||
      !cursorColor(background, &bg))
    return x11Fail(primErrGeneral, 6);
  XImage* source = createImage(d, image);
  XImage* shape = createImage(d, mask);
  bool fits = source != nullptr && shape != nullptr && source->depth == 1 && shape->depth == 1 && source->width > 0 &&
              source->height > 0 && shape->width >= source->width && shape->height >= source->height &&
              shape->width <= maxCursorSide && shape->height <= maxCursorSide;
  ObjectHeader* handle = fits ? allocVSObj(sysOop(sysByteArrayClass), sizeof(CursorHandle)) : nullptr;
  Cursor cursor = None;
  if (handle != nullptr) {
    Pixmap sourcePixmap = bitmapOf(d, source), maskPixmap = bitmapOf(d, shape);
    cursor = XCreatePixmapCursor(d, sourcePixmap, maskPixmap, &fg, &bg, (unsigned)smallIntegerValue(hotX),
                                 (unsigned)smallIntegerValue(hotY));
    XFreePixmap(d, sourcePixmap);
    XFreePixmap(d, maskPixmap);
  }
  if (source != nullptr) destroyImage(source);
  if (shape != nullptr) destroyImage(shape);
  if (cursor == None) return x11Fail(primErrGeneral, 6);
  const CursorHandle h = {cursor, d};
  memcpy(bodyOf(handle), &h, sizeof h);
  return oopOf(handle);
}

// The handle in a cursor object's second named slot, or null.
static CursorHandle* cursorOf(oop object) {
  if (isImmediate(object) || !hasPtrs(headerOf(object)) || bodyWordsOf(headerOf(object)) < 2) return nullptr;
  oop h = slotOf(object, 1);
  if (!isByteObject(h) || byteSizeOf(headerOf(h)) < sizeof(CursorHandle)) return nullptr;
  CursorHandle* c = reinterpret_cast<CursorHandle*>(bodyOf(headerOf(h)));
  return c->display != nullptr && xDisplayInRegistry(c->display) ? c : nullptr;
}

// 707: the display-wide cursor, on every window of the display.
static oop primSetCursor(oop receiver) {
  CursorHandle* c = cursorOf(receiver);
  if (c == nullptr) return x11Fail(primErrGeneral, 0);
  setXCursor(c->display, c->cursor);
  XFlush(c->display);
  return receiver;
}

// 708.
static oop primFreeCursor(oop receiver) {
  CursorHandle* c = cursorOf(receiver);
  if (c == nullptr || c->cursor == None) return x11Fail(primErrGeneral, 0);
  XFreeCursor(c->display, c->cursor);
  noteUndefinedCursor(c->cursor, c->display);
  DisplayResourceNode* node = findDisplay(c->display);
  if (node != nullptr && node->cursor == c->cursor) node->cursor = None;  // new windows and grabs must not use it
  c->cursor = None;  // a second free finds nothing to free
  return receiver;
}

void initX11CursPrims() {
  addCPrimitive(904, reinterpret_cast<const void*>(primMakeCursor), 6);
  addCPrimitive(707, reinterpret_cast<const void*>(primSetCursor), 0);
  addCPrimitive(708, reinterpret_cast<const void*>(primFreeCursor), 0);
}
