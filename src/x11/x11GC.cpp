// X11 window system: the drawing primitives (lines, polygons, rectangles, arcs, fills through
// masks, copies with their exposures) and the translation of the image's graphics-context
// object into the drawable's X GC. Owns the exposure collection of the copy in progress.
// Prefix: none (installGraphicsState, copyRectArea, getMask, buildXPoints, initX11GCPrims).
#include <cmath>
#include <cstring>

#include "ext/exPrimTable.h"
#include "mman/mmAllocate.h"
#include "mman/mmCString.h"
#include "mman/mmPrimUtil.h"
#include "mman/mmSysOop.h"
#include "prim/prDouble.h"
#include "x11/x11.h"

static oop gcSlot(oop gc, uint32_t slot) { return slotOf(gc, slot - 1); }

static bool smallIntegerSlot(oop gc, uint32_t slot, int64_t* out) {
  oop v = gcSlot(gc, slot);
  if (!isSmallInteger(v)) return false;
  *out = smallIntegerValue(v);
  return true;
}

static uint32_t readClip(oop gc, GraphicsState* s) {
  s->clip = gcSlot(gc, 4) != nilOop();
  if (!s->clip) return 0;
  int64_t v[4];
  for (uint32_t i = 0; i < 4; i++)
    if (!smallIntegerSlot(gc, 2 + i, &v[i])) return 2 + i;
  if (v[2] < 0) v[2] = 0;
  if (v[3] < 0) v[3] = 0;
  if (!fits16(v[0])) return 2;
  if (!fits16(v[1])) return 3;
  if (v[2] > 65535) return 4;
  if (v[3] > 65535) return 5;
  s->clipX = (int16_t)v[0], s->clipY = (int16_t)v[1], s->clipWidth = (uint16_t)v[2], s->clipHeight = (uint16_t)v[3];
  return 0;
}

static uint32_t readLine(oop gc, GraphicsState* s) {
  int64_t width, cap, join;
  if (!smallIntegerSlot(gc, 6, &width) || width < 0 || width > 65535) return 6;
  if (!smallIntegerSlot(gc, 7, &cap) || cap < 1 || cap > 3) return 7;
  if (!smallIntegerSlot(gc, 8, &join) || join < 1 || join > 3) return 8;
  s->values.line_width = width == 1 ? 0 : (int)width;  // 1 is the server's fast thin line
  s->values.line_style = LineSolid;
  s->values.cap_style = (int)cap;
  s->values.join_style = (int)join - 1;
  s->mask |= GCLineWidth | GCLineStyle | GCCapStyle | GCJoinStyle;
  return 0;
}

static uint32_t readFont(oop gc, GraphicsState* s) {
  oop f = gcSlot(gc, 9);
  if (!isByteObject(f) || byteSizeOf(headerOf(f)) < 8) return 9;
  XFontStruct* font = *reinterpret_cast<XFontStruct**>(bodyOf(headerOf(f)));
  if (font == nullptr) return 9;
  s->values.font = font->fid;
  s->mask |= GCFont;
  return 0;
}

static uint32_t readPaint(oop gc, GraphicsState* s) {
  oop paint = gcSlot(gc, 10);
  uint64_t pixel;
  if (isSmallInteger(paint) || !hasPtrs(headerOf(paint))) {
    if (!oopToQ64(paint, &pixel) || pixel > 0xFFFFFFFFu) return 10;
    s->values.foreground = pixel;
    s->values.fill_style = FillSolid;
    s->mask |= GCForeground | GCFillStyle;
    return 0;
  }
  DrawableHandle* pattern = unpackDrawable(paint);
  if (pattern == nullptr) return 10;
  int64_t ox, oy;
  if (!smallIntegerSlot(gc, 13, &ox) || !fits16(ox)) return 13;
  if (!smallIntegerSlot(gc, 14, &oy) || !fits16(oy)) return 14;
  if (pattern->kind == drawableBitmap || (pattern->visual != nullptr && pattern->visual->depth == 1)) {
    s->values.fill_style = FillOpaqueStippled;
    s->values.stipple = pattern->drawable;
    s->values.foreground = 1, s->values.background = 0;
    s->mask |= GCForeground | GCBackground | GCFillStyle | GCStipple;
  } else {
    s->values.fill_style = FillTiled;
    s->values.tile = pattern->drawable;
    s->mask |= GCFillStyle | GCTile;
  }
  s->values.ts_x_origin = (int)ox, s->values.ts_y_origin = (int)oy;
  s->mask |= GCTileStipXOrigin | GCTileStipYOrigin;
  return 0;
}

uint32_t readGraphicsState(oop gc, uint32_t parts, GraphicsState* s, bool* usable) {
  memset(s, 0, sizeof *s);
  *usable = !isImmediate(gc) && hasPtrs(headerOf(gc)) && bodyWordsOf(headerOf(gc)) >= gcSlots;
  if (!*usable) return 0;
  if ((s->handle = unpackDrawable(gcSlot(gc, 1))) == nullptr) return 1;
  uint32_t bad = 0;
  if ((parts & partClip) && (bad = readClip(gc, s)) != 0) return bad;
  if ((parts & partLine) && (bad = readLine(gc, s)) != 0) return bad;
  if ((parts & partFont) && (bad = readFont(gc, s)) != 0) return bad;
  if ((parts & partPaint) && (bad = readPaint(gc, s)) != 0) return bad;
  if (parts & partTranslation) {
    if (!smallIntegerSlot(gc, 11, &s->tx)) return 11;
    if (!smallIntegerSlot(gc, 12, &s->ty)) return 12;
  }
  return 0;
}

void applyGraphicsState(GraphicsState* s, uint32_t parts) {
  DrawableHandle* h = s->handle;
  if (s->mask != 0) XChangeGC(h->display, h->gc, s->mask, &s->values);
  if (!(parts & partClip)) return;
  // Xlib sends every clip change, unchanged or not: the handle's record of what the GC holds
  // saves a request on each drawing that keeps its clip.
  if (s->clip) {
    if (h->clipSet == clipRectangles && h->clipX == s->clipX && h->clipY == s->clipY && h->clipWidth == s->clipWidth &&
        h->clipHeight == s->clipHeight)
      return;
    XRectangle r = {s->clipX, s->clipY, s->clipWidth, s->clipHeight};
    XSetClipRectangles(h->display, h->gc, 0, 0, &r, 1, YXBanded);
    h->clipSet = clipRectangles, h->clipX = s->clipX, h->clipY = s->clipY, h->clipWidth = s->clipWidth,
    h->clipHeight = s->clipHeight;
  } else if (h->clipSet != clipNone) {
    XSetClipMask(h->display, h->gc, None);
    h->clipSet = clipNone;
  }
}

int installGraphicsState(oop gc, uint32_t parts, GraphicsState* s, uint32_t* failSlot) {
  bool usable;
  uint32_t bad = readGraphicsState(gc, parts, s, &usable);
  if (!usable || bad != 0) return *failSlot = bad, 0;
  applyGraphicsState(s, parts);
  return 1;
}

// ---- Failures ----------------------------------------------------------------------------------

static oop failArgument(int k, uint64_t n) { return x11FailWith(primErrBadArgument, k, n); }
static oop failSlot(uint32_t slot, uint64_t n) { return x11FailWith(primErrBadReceiver, slot, n); }
static oop failBare(uint64_t n) { return x11Fail(primErrBadArgument, n); }

// The receiver's state, or a failure answered through *failed.
static bool receiverState(oop gc, uint32_t parts, GraphicsState* s, uint64_t n, oop* failed) {
  bool usable;
  uint32_t bad = readGraphicsState(gc, parts, s, &usable);
  if (usable && bad == 0) return true;
  *failed = failSlot(bad, n);
  return false;
}

static oop drawn(oop receiver) {
  armXFlush();
  return receiver;
}

// ---- Points ------------------------------------------------------------------------------------

// Translated points of an Array of Points as a ByteArray of XPoints (mode 1: each relative
// to the one before); 0 when any is no Point of SmallIntegers or lands outside 16 bits.
oop buildXPoints(oop points, oop origin, uint64_t* count, int64_t tx, int64_t ty, int mode) {
  if (isImmediate(points) || !hasPtrs(headerOf(points))) return 0;
  uint32_t tag = classTagOf(headerOf(points));
  if (tag != classIndexArray && basicAccessClass(tag, 0) != classIndexArray) return 0;
  uint64_t n = bodyWordsOf(headerOf(points));
  int64_t ox = 0, oy = 0;
  if (n == 0 || (origin != 0 && !pointArgument(origin, &ox, &oy))) return 0;
  ObjectHeader* bytes = allocVSObj(sysOop(sysByteArrayClass), n * sizeof(XPoint));
  if (bytes == nullptr) return 0;
  XPoint* out = reinterpret_cast<XPoint*>(bodyOf(bytes));
  int64_t px = 0, py = 0;
  for (uint64_t i = 0; i < n; i++) {
    int64_t x, y;
    if (!pointArgument(slotOf(points, i), &x, &y)) return 0;
    x += ox + tx, y += oy + ty;
    if (!fits16(x) || !fits16(y)) return 0;
    out[i].x = (short)(mode == 1 && i > 0 ? x - px : x);
    out[i].y = (short)(mode == 1 && i > 0 ? y - py : y);
    px = x, py = y;
  }
  *count = n;
  return oopOf(bytes);
}

// ---- Lines, shapes, arcs -------------------------------------------------------------------------

static oop primDrawLine(oop receiver, oop from, oop to) {
  int64_t x1, y1, x2, y2;
  GraphicsState s;
  oop failed;
  if (!pointArgument(from, &x1, &y1)) return failArgument(1, 2);
  if (!pointArgument(to, &x2, &y2)) return failArgument(2, 2);
  if (!receiverState(receiver, outlineParts, &s, 2, &failed)) return failed;
  x1 += s.tx, y1 += s.ty, x2 += s.tx, y2 += s.ty;
  if (!fits16(x1) || !fits16(y1) || !fits16(x2) || !fits16(y2)) return failBare(2);
  applyGraphicsState(&s, outlineParts);
  XDrawLine(s.handle->display, s.handle->drawable, s.handle->gc, (int)x1, (int)y1, (int)x2, (int)y2);
  return drawn(receiver);
}

// 986 and 987: through the points offset by the origin.
static oop drawPoints(oop receiver, oop points, oop origin, bool fill) {
  GraphicsState s;
  oop failed;
  uint32_t parts = fill ? filledParts : outlineParts;
  if (!receiverState(receiver, parts, &s, 2, &failed)) return failed;
  uint64_t n = 0;
  oop xpoints = buildXPoints(points, origin, &n, s.tx, s.ty, 0);
  if (xpoints == 0) return x11Fail(primErrGeneral, 2);
  applyGraphicsState(&s, parts);
  XPoint* p = reinterpret_cast<XPoint*>(bodyOf(headerOf(xpoints)));
  if (fill) XFillPolygon(s.handle->display, s.handle->drawable, s.handle->gc, p, (int)n, Complex, CoordModeOrigin);
  else XDrawLines(s.handle->display, s.handle->drawable, s.handle->gc, p, (int)n, CoordModeOrigin);
  return drawn(receiver);
}
static oop primDrawLines(oop receiver, oop points, oop origin) { return drawPoints(receiver, points, origin, false); }
static oop primFillPolygon(oop receiver, oop points, oop origin) { return drawPoints(receiver, points, origin, true); }

// 988 and 989: a negative extent draws nothing and succeeds.
static oop drawRectangle(oop receiver, oop origin, oop extent, bool fill) {
  int64_t x, y, w, h;
  GraphicsState s;
  oop failed;
  uint32_t parts = fill ? filledParts : outlineParts;
  if (!pointArgument(origin, &x, &y)) return failArgument(1, 2);
  if (!pointArgument(extent, &w, &h) || w > 65535 || h > 65535) return failArgument(2, 2);
  if (!receiverState(receiver, parts, &s, 2, &failed)) return failed;
  x += s.tx, y += s.ty;
  if (!fits16(x) || !fits16(y)) return failArgument(1, 2);
  if (w < 0 || h < 0) return receiver;
  applyGraphicsState(&s, parts);
  if (fill) XFillRectangle(s.handle->display, s.handle->drawable, s.handle->gc, (int)x, (int)y, (unsigned)w, (unsigned)h);
  else XDrawRectangle(s.handle->display, s.handle->drawable, s.handle->gc, (int)x, (int)y, (unsigned)w, (unsigned)h);
  return drawn(receiver);
}
static oop primFillRectangle(oop receiver, oop origin, oop extent) { return drawRectangle(receiver, origin, extent, true); }
static oop primDrawRectangle(oop receiver, oop origin, oop extent) { return drawRectangle(receiver, origin, extent, false); }

// Degrees to the server's 64ths, counter-clockwise, rounded half away from zero.
static int64_t arcUnits(double degrees) { return -(int64_t)std::llround(degrees * 64.0); }

// 990 and 991: origin, extent, start and sweep in degrees.
static oop drawArc(oop receiver, oop origin, oop extent, oop start, oop sweep, bool fill) {
  int64_t x, y, w, h;
  double a, b;
  GraphicsState s;
  oop failed;
  uint32_t parts = fill ? filledParts : outlineParts;
  if (!pointArgument(origin, &x, &y)) return failArgument(1, 4);
  if (!pointArgument(extent, &w, &h) || w > 65535 || h > 65535) return failArgument(2, 4);
  if (!castOopToFiniteDouble(start, &a)) return failArgument(3, 4);
  if (!castOopToFiniteDouble(sweep, &b)) return failArgument(4, 4);
  if (!receiverState(receiver, parts, &s, 4, &failed)) return failed;
  int64_t from = arcUnits(a), span = arcUnits(b);
  span = span < -23040 ? -23040 : span > 23040 ? 23040 : span;
  x += s.tx, y += s.ty;
  if (!fits16(from) || !fits16(x) || !fits16(y)) return failBare(4);
  if (w < 0 || h < 0 || (fill && (w < 1 || h < 1))) return receiver;
  applyGraphicsState(&s, parts);
  DrawableHandle* d = s.handle;
  if (fill) XFillArc(d->display, d->drawable, d->gc, (int)x, (int)y, (unsigned)w, (unsigned)h, (int)from, (int)span);
  else XDrawArc(d->display, d->drawable, d->gc, (int)x, (int)y, (unsigned)w, (unsigned)h, (int)from, (int)span);
  return drawn(receiver);
}
static oop primDrawArc(oop r, oop o, oop e, oop a, oop b) { return drawArc(r, o, e, a, b, false); }
static oop primFillArc(oop r, oop o, oop e, oop a, oop b) { return drawArc(r, o, e, a, b, true); }

// ---- Masks and copies ------------------------------------------------------------------------------

// A one-bit pixmap's receiver whose next two slots hold its width and height.
int getMask(oop object, Pixmap* pixmap, int64_t* width, int64_t* height, int* flag) {
  DrawableHandle* h = unpackDrawable(object);
  if (h == nullptr || h->kind != drawableBitmap) return 0;
  oop w = slotOf(object, 1), ht = slotOf(object, 2);
  if (!isSmallInteger(w) || !isSmallInteger(ht) || smallIntegerValue(w) < 0 || smallIntegerValue(ht) < 0) return 0;
  *pixmap = h->drawable, *width = smallIntegerValue(w), *height = smallIntegerValue(ht), *flag = 1;
  return 1;
}

static oop primFillThroughMask(oop receiver, oop mask, oop origin) {
  Pixmap m;
  int64_t mw, mh, x, y;
  int flag;
  GraphicsState s;
  oop failed;
  if (!getMask(mask, &m, &mw, &mh, &flag) || mw >= 65536 || mh >= 65536) return failArgument(1, 2);
  if (!pointArgument(origin, &x, &y)) return failArgument(2, 2);
  if (!receiverState(receiver, filledParts, &s, 2, &failed)) return failed;
  x += s.tx, y += s.ty;
  if (!fits16(x) || !fits16(y)) return failArgument(2, 2);
  applyGraphicsState(&s, filledParts);
  DrawableHandle* d = s.handle;
  XGCValues v;
  v.fill_style = FillStippled, v.stipple = m, v.ts_x_origin = (int)x, v.ts_y_origin = (int)y;
  XChangeGC(d->display, d->gc, GCFillStyle | GCStipple | GCTileStipXOrigin | GCTileStipYOrigin, &v);
  XFillRectangle(d->display, d->drawable, d->gc, (int)x, (int)y, (unsigned)mw, (unsigned)mh);
  return drawn(receiver);
}

// The exposures of the copy in progress: an Array grown as GraphicsExpose events come.
static struct {
  oop list;
  uint64_t count;
  bool failed;
} exposures;

static Bool isCopyResult(Display*, XEvent* ev, XPointer destination) {
  return (ev->type == GraphicsExpose && ev->xgraphicsexpose.drawable == (Drawable)destination) ||
         (ev->type == NoExpose && ev->xnoexpose.drawable == (Drawable)destination);
}

static void collectExposure(const XGraphicsExposeEvent& e, int64_t tx, int64_t ty) {
  uint64_t room = exposures.list != 0 ? bodyWordsOf(headerOf(exposures.list)) : 0;
  if (!exposures.failed && exposures.count == room) {
    oop bigger = newX11Array(exposures.count + (uint64_t)e.count + 1);
    if (bigger == 0) exposures.failed = true;
    for (uint64_t i = 0; bigger != 0 && i < exposures.count; i++) x11ArrayPut(bigger, i, slotOf(exposures.list, i));
    if (bigger != 0) exposures.list = bigger;
  }
  if (exposures.failed) return;
  const int64_t v[4] = {e.x - tx, e.y - ty, e.width, e.height};
  oop r = newX11Array(4);
  if (r == 0) return (void)(exposures.failed = true);
  for (uint64_t k = 0; k < 4; k++) x11ArrayPut(r, k, smallIntegerFor(v[k]));
  x11ArrayPut(exposures.list, exposures.count++, r);
}

// A copy whose source is a window reports the parts it could not copy (covered or off
// screen); pixmaps have all their pixels, so their copies ask for no events at all.
oop copyRectArea(Display* display, Drawable source, Drawable destination, GC gc, int64_t sx, int64_t sy, int64_t width,
                 int64_t height, int64_t dx, int64_t dy, int64_t tx, int64_t ty, int sourceKind) {
  if (width < 1 || height < 1) return newX11Array(0);
  if (!fits16(sx) || !fits16(sy) || !fits16(dx) || !fits16(dy) || width > 65535 || height > 65535) return 0;
  bool withExposures = sourceKind == drawableWindow;
  XSetGraphicsExposures(display, gc, withExposures ? True : False);
  XCopyArea(display, source, destination, gc, (int)sx, (int)sy, (unsigned)width, (unsigned)height, (int)dx, (int)dy);
  if (!withExposures) return newX11Array(0);
  exposures.list = 0, exposures.count = 0, exposures.failed = false;
  XEvent ev;
  XIfEvent(display, &ev, isCopyResult, (XPointer)destination);
  while (ev.type == GraphicsExpose) {
    collectExposure(ev.xgraphicsexpose, tx, ty);
    if (ev.xgraphicsexpose.count == 0) break;
    XIfEvent(display, &ev, isCopyResult, (XPointer)destination);
  }
  if (exposures.failed) return 0;
  if (exposures.list == 0) return newX11Array(0);
  ObjectHeader* exact = shrinkOrCopyPtrObj(headerOf(exposures.list), exposures.count);
  exposures.list = 0;
  return exact != nullptr ? oopOf(exact) : 0;
}

// The source of a copy: a graphics context whose drawable and translation are usable.
static bool sourceState(oop gc, GraphicsState* s) {
  bool usable;
  return readGraphicsState(gc, partDrawable | partTranslation, s, &usable) == 0 && usable;
}

// 994: extent, source GC, source origin, destination origin; answers the exposures.
static oop primCopyArea(oop receiver, oop extent, oop sourceGC, oop sourceOrigin, oop destinationOrigin) {
  int64_t w, h, sx, sy, dx, dy;
  GraphicsState s, src;
  oop failed;
  uint32_t parts = partDrawable | partClip | partTranslation;
  if (!pointArgument(extent, &w, &h)) return failArgument(1, 4);
  if (!pointArgument(sourceOrigin, &sx, &sy)) return failArgument(3, 4);
  if (!pointArgument(destinationOrigin, &dx, &dy)) return failArgument(4, 4);
  if (!receiverState(receiver, parts, &s, 4, &failed)) return failed;
  if (!sourceState(sourceGC, &src)) return failArgument(2, 4);
  applyGraphicsState(&s, parts);
  DrawableHandle* d = s.handle;
  oop list = copyRectArea(d->display, src.handle->drawable, d->drawable, d->gc, sx + src.tx, sy + src.ty, w, h,
                          dx + s.tx, dy + s.ty, s.tx, s.ty, src.handle->kind);
  if (list == 0) return x11Fail(primErrGeneral, 4);
  armXFlush();
  return list;
}

// 995: the mask's size copied through the mask; with a clip the destination is cut to it
// while the mask stays where the uncut destination puts it.
static oop primCopyThroughMask(oop receiver, oop mask, oop sourceGC, oop sourceOrigin, oop destinationOrigin) {
  Pixmap m;
  int64_t w, h, sx, sy, dx, dy;
  int flag;
  GraphicsState s, src;
  oop failed;
  uint32_t parts = partDrawable | partClip | partTranslation;
  if (!getMask(mask, &m, &w, &h, &flag) || w >= 65536 || h >= 65536) return failArgument(1, 4);
  if (!pointArgument(sourceOrigin, &sx, &sy)) return failArgument(3, 4);
  if (!pointArgument(destinationOrigin, &dx, &dy)) return failArgument(4, 4);
  if (!receiverState(receiver, parts, &s, 4, &failed)) return failed;
  if (!sourceState(sourceGC, &src)) return failArgument(2, 4);
  sx += src.tx, sy += src.ty, dx += s.tx, dy += s.ty;
  if (!fits16(dx) || !fits16(dy)) return failArgument(4, 4);
  int64_t maskX = dx, maskY = dy;
  if (s.clip) {
    int64_t left = s.clipX > dx ? s.clipX - dx : 0, top = s.clipY > dy ? s.clipY - dy : 0;
    sx += left, sy += top, dx += left, dy += top, w -= left, h -= top;
    if (dx + w > s.clipX + s.clipWidth) w = s.clipX + s.clipWidth - dx;
    if (dy + h > s.clipY + s.clipHeight) h = s.clipY + s.clipHeight - dy;
  }
  applyGraphicsState(&s, parts);
  DrawableHandle* d = s.handle;
  XSetClipOrigin(d->display, d->gc, (int)maskX, (int)maskY);
  XSetClipMask(d->display, d->gc, m);
  d->clipSet = clipMask;
  oop list = copyRectArea(d->display, src.handle->drawable, d->drawable, d->gc, sx, sy, w, h, dx, dy, s.tx, s.ty,
                          src.handle->kind);
  if (list == 0) return x11Fail(primErrGeneral, 4);
  armXFlush();
  return list;
}

void initX11GCPrims() {
  addCPrimitive(985, reinterpret_cast<const void*>(primDrawLine), 2);
  addCPrimitive(986, reinterpret_cast<const void*>(primDrawLines), 2);
  addCPrimitive(987, reinterpret_cast<const void*>(primFillPolygon), 2);
  addCPrimitive(988, reinterpret_cast<const void*>(primFillRectangle), 2);
  addCPrimitive(989, reinterpret_cast<const void*>(primDrawRectangle), 2);
  addCPrimitive(990, reinterpret_cast<const void*>(primDrawArc), 4);
  addCPrimitive(991, reinterpret_cast<const void*>(primFillArc), 4);
  addCPrimitive(992, reinterpret_cast<const void*>(primFillThroughMask), 2);
  addCPrimitive(994, reinterpret_cast<const void*>(primCopyArea), 4);
  addCPrimitive(995, reinterpret_cast<const void*>(primCopyThroughMask), 4);
}
