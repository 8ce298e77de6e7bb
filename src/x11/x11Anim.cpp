// X11 window system: drag feedback. Two modal loops on the root window under a pointer and
// server grab: one moves a shape (an outline or a one-bit mask), one stretches a rectangle
// from a fixed corner; both draw with XOR, snap to a grid, stay inside bounds and answer
// where the user let go (or pressed).
// Owns no global record.
// Prefix: none (initX11AnimationPrims; the primitives are file-local).
#include <cmath>
#include <ctime>

#include "ext/exPrimTable.h"
#include "mman/mmAllocate.h"
#include "mman/mmSysOop.h"
#include "x11/x11.h"

enum : long { dragEventMask = ButtonPressMask | ButtonReleaseMask | PointerMotionMask | PointerMotionHintMask };
static_assert(dragEventMask == 204, "the drag grab's event mask");

static const unsigned int buttonMasks[4] = {Button1Mask | Button2Mask | Button3Mask, Button1Mask, Button2Mask, Button3Mask};

struct Axis {
  int64_t origin, step;  // origin reduced to 0..step-1; step 0 does not snap
  int64_t low, high;     // where the position may go (clamping only when clamp)
};

struct Drag {
  Display* display;
  Window root;
  GC gc;
  int lineWidth;
  // The shape: an outline (points, CoordModePrevious, the first relative to the position),
  // a mask, or the rectangle spanned by the fixed corner and the position.
  XPoint* points;
  int count;
  Pixmap mask;
  int64_t maskWidth, maskHeight;
  bool rectangle;
  int64_t fixedX, fixedY;
  Axis ax, ay;
  bool clamp;
  int64_t x, y;            // where the shape (or the moving corner) is drawn
  int64_t offsetX, offsetY;  // position minus pointer
};

// round((v - o) / s) * s + o in single precision, rounding by adding 0.5 and truncating.
static int64_t snap(int64_t v, const Axis& a) {
  if (a.step <= 0) return v;
  float q = (float)(v - a.origin) / (float)a.step + 0.5f;
  return (int64_t)std::floor(q) * a.step + a.origin;
}

static int64_t reduceOrigin(int64_t o, int64_t s) {
  if (s <= 0) return 0;
  int64_t r = o % s;
  return r < 0 ? r + s : r;
}

static int64_t place(int64_t v, const Axis& a, bool clamp) {
  v = snap(v, a);
  if (clamp) v = v < a.low ? a.low : v > a.high ? a.high : v;
  return v;
}

// The limits low..high as grid values: the near edge rounded up, the far one down.
static void gridLimits(Axis* a) {
  if (a->step <= 0) return;
  int64_t low = snap(a->low, *a), high = snap(a->high, *a);
  if (low < a->low) low += a->step;
  if (high > a->high) high -= a->step;
  if (low <= high) a->low = low, a->high = high;
}

static void drawShape(Drag* g) {
  if (g->rectangle) {
    int64_t left = g->x < g->fixedX ? g->x : g->fixedX, top = g->y < g->fixedY ? g->y : g->fixedY;
    int64_t w = g->x < g->fixedX ? g->fixedX - g->x : g->x - g->fixedX;
    int64_t h = g->y < g->fixedY ? g->fixedY - g->y : g->y - g->fixedY;
    XDrawRectangle(g->display, g->root, g->gc, (int)left, (int)top, (unsigned)w, (unsigned)h);
  } else if (g->points != nullptr) {
    XPoint first = g->points[0];
    g->points[0].x = (short)(first.x + g->x), g->points[0].y = (short)(first.y + g->y);
    XDrawLines(g->display, g->root, g->gc, g->points, g->count, CoordModePrevious);
    g->points[0] = first;
  } else {
    XSetClipOrigin(g->display, g->gc, (int)g->x, (int)g->y);
    XFillRectangle(g->display, g->root, g->gc, (int)g->x, (int)g->y, (unsigned)g->maskWidth, (unsigned)g->maskHeight);
  }
}

static bool queryPointer(Drag* g, int64_t* x, int64_t* y, unsigned int* state) {
  Window r, child;
  int rx, ry, wx, wy;
  unsigned int mask;
  if (!XQueryPointer(g->display, g->root, &r, &child, &rx, &ry, &wx, &wy, &mask)) return false;
  *x = rx, *y = ry;
  if (state != nullptr) *state = mask;
  return true;
}

static bool grab(Drag* g) {
  DisplayResourceNode* node = findDisplay(g->display);
  Cursor cursor = node != nullptr ? node->cursor : None;
  for (;;) {
    int r = XGrabPointer(g->display, g->root, False, (unsigned)dragEventMask, GrabModeAsync, GrabModeAsync, None,
                         cursor, CurrentTime);
    if (r == GrabSuccess) break;
    if (r != AlreadyGrabbed && r != GrabFrozen) return false;
    // Someone else holds the pointer: wait for it without spinning the processor.
    struct timespec pause = {0, 10000000};
    nanosleep(&pause, nullptr);
  }
  XGrabServer(g->display);
  return true;
}

static void ungrab(Drag* g) {
  if (g->gc != nullptr) XFreeGC(g->display, g->gc);
  g->gc = nullptr;
  XUngrabServer(g->display);
  XUngrabPointer(g->display, CurrentTime);
  XSync(g->display, False);
  XEvent ev;
  while (XCheckWindowEvent(g->display, g->root, dragEventMask, &ev)) {
  }
  updateMetaState(g->display);
}

static void makeGC(Drag* g) {
  XGCValues v = {};
  v.function = GXxor, v.foreground = ~0ul, v.line_width = g->lineWidth, v.line_style = LineSolid;
  v.cap_style = CapButt, v.join_style = JoinMiter, v.subwindow_mode = IncludeInferiors;
  unsigned long mask = GCFunction | GCForeground | GCLineWidth | GCLineStyle | GCCapStyle | GCJoinStyle | GCSubwindowMode;
  if (g->mask != None) v.clip_mask = g->mask, v.fill_style = FillSolid, mask |= GCClipMask | GCFillStyle;
  g->gc = XCreateGC(g->display, g->root, mask, &v);
}

// A new pointer position: the shape follows it snapped and inside the bounds.
static void follow(Drag* g, int64_t px, int64_t py) {
  int64_t x = place(px + g->offsetX, g->ax, g->clamp), y = place(py + g->offsetY, g->ay, g->clamp);
  if (x == g->x && y == g->y) return;
  drawShape(g);
  g->x = x, g->y = y;
  drawShape(g);
}

// The loop: until the tracked buttons are all up (hold) or one goes down (not hold). The
// pointer's last position comes back through px, py. False when the first query fails.
static bool runDrag(Drag* g, unsigned int tracked, bool hold, int64_t* px, int64_t* py) {
  unsigned int state;
  makeGC(g);
  if (!queryPointer(g, px, py, &state)) return false;
  g->offsetX = g->x - *px, g->offsetY = g->y - *py;
  auto going = [&](unsigned int s) { return hold ? (s & tracked) != 0 : (s & tracked) == 0; };
  if (!going(state)) return true;
  drawShape(g);
  for (bool done = false; !done;) {
    XEvent ev;
    XWindowEvent(g->display, g->root, dragEventMask, &ev);
    if (ev.type == ButtonPress || ev.type == ButtonRelease) {
      const XButtonEvent& b = ev.xbutton;
      // Where the button went up (or down) is where the shape ends, motion seen or not.
      if (b.window == g->root) *px = b.x_root, *py = b.y_root, follow(g, *px, *py);
      unsigned int own = b.button >= 1 && b.button <= 3 ? Button1Mask << (b.button - 1) : 0;
      state = b.state ^ own;
      done = !going(state) || (hold && (own & tracked) == 0);
    } else if (ev.type == MotionNotify) {
      if (ev.xmotion.is_hint) {
        int64_t x, y;
        if (queryPointer(g, &x, &y, nullptr)) *px = x, *py = y;
      } else {
        *px = ev.xmotion.x_root, *py = ev.xmotion.y_root;
      }
      follow(g, *px, *py);
    }
  }
  drawShape(g);  // erased
  return true;
}

static oop answerPoints(int64_t x, int64_t y, int64_t px, int64_t py, uint64_t numArgs) {
  oop result = newX11Array(2);
  ObjectHeader* a = allocFSObj(sysOop(sysPointClass));
  ObjectHeader* b = allocFSObj(sysOop(sysPointClass));
  if (result == 0 || a == nullptr || b == nullptr) return x11Fail(primErrGeneral, numArgs);
  x11ArrayPut(oopOf(a), 0, smallIntegerFor(x)), x11ArrayPut(oopOf(a), 1, smallIntegerFor(y));
  x11ArrayPut(oopOf(b), 0, smallIntegerFor(px)), x11ArrayPut(oopOf(b), 1, smallIntegerFor(py));
  x11ArrayPut(result, 0, oopOf(a)), x11ArrayPut(result, 1, oopOf(b));
  return result;
}

static bool smallInteger(oop o, int64_t* v) {
  if (!isSmallInteger(o)) return false;
  *v = smallIntegerValue(o);
  return true;
}

// Line width nil or >= 1, as X's (1 is X's thin line 0).
static bool lineWidth(oop o, int* out) {
  if (o == nilOop()) return *out = 0, true;
  if (!isSmallInteger(o) || smallIntegerValue(o) < 1 || smallIntegerValue(o) > 65535) return false;
  *out = smallIntegerValue(o) == 1 ? 0 : (int)smallIntegerValue(o);
  return true;
}

// Bounds {x y w h}, or the whole screen when the first is nil.
static bool bounds(Display* d, oop const* b, int64_t out[4]) {
  if (b[0] == nilOop()) {
    out[0] = 0, out[1] = 0, out[2] = DisplayWidth(d, DefaultScreen(d)), out[3] = DisplayHeight(d, DefaultScreen(d));
    return true;
  }
  for (int i = 0; i < 4; i++)
    if (!smallInteger(b[i], &out[i])) return false;
  return out[2] >= 0 && out[3] >= 0;
}

static bool buttonArguments(oop button, oop hold, unsigned int* tracked, bool* holding) {
  if (!isSmallInteger(button) || smallIntegerValue(button) < 0 || smallIntegerValue(button) > 3) return false;
  if (hold != trueOop() && hold != falseOop()) return false;
  *tracked = buttonMasks[smallIntegerValue(button)];
  *holding = hold == trueOop();
  return true;
}

static Display* screenDisplay(oop receiver) {
  Display* d = displayOfReceiver(receiver);
  return d != nullptr && xDisplayInRegistry(d) ? d : nullptr;
}

// 935: shape, line width, start x y, grid origin x y, grid step x y, bounds x y w h, button, hold.
static oop primDragShape(oop receiver, oop shape, oop width, oop startX, oop startY, oop originX, oop originY,
                         oop stepX, oop stepY, oop boundX, oop boundY, oop boundW, oop boundH, oop button, oop hold) {
  enum : uint64_t { n = 14 };
  Display* d = screenDisplay(receiver);
  Drag g = {};
  int64_t box[4], ox, oy, b[4];
  unsigned int tracked;
  bool holding;
  const oop boundArgs[4] = {boundX, boundY, boundW, boundH};
  if (d == nullptr || !lineWidth(width, &g.lineWidth) || !smallInteger(startX, &g.x) || !smallInteger(startY, &g.y) ||
      !smallInteger(originX, &ox) || !smallInteger(originY, &oy) || !smallInteger(stepX, &g.ax.step) ||
      !smallInteger(stepY, &g.ay.step) || g.ax.step < 0 || g.ay.step < 0 || !bounds(d, boundArgs, b) ||
      !buttonArguments(button, hold, &tracked, &holding))
    return x11Fail(primErrGeneral, n);
  g.display = d, g.root = RootWindow(d, DefaultScreen(d));
  int flag;
  if (getMask(shape, &g.mask, &g.maskWidth, &g.maskHeight, &flag)) {
    box[0] = 0, box[1] = 0, box[2] = g.maskWidth, box[3] = g.maskHeight;
  } else {
    uint64_t count = 0;
    oop xpoints = buildXPoints(shape, 0, &count, 0, 0, 1);
    if (xpoints == 0 || count > 0x7FFFFFFF) return x11Fail(primErrGeneral, n);
    g.points = reinterpret_cast<XPoint*>(bodyOf(headerOf(xpoints)));
    g.count = (int)count;
    // The outline's extent relative to the position: the first point's offset is the shape's.
    int64_t px = 0, py = 0;
    box[0] = box[2] = g.points[0].x, box[1] = box[3] = g.points[0].y;
    for (int i = 0; i < g.count; i++) {
      px += g.points[i].x, py += g.points[i].y;
      box[0] = px < box[0] ? px : box[0], box[1] = py < box[1] ? py : box[1];
      box[2] = px > box[2] ? px : box[2], box[3] = py > box[3] ? py : box[3];
    }
  }
  g.ax.origin = reduceOrigin(ox, g.ax.step), g.ay.origin = reduceOrigin(oy, g.ay.step);
  g.ax.low = b[0] - box[0], g.ax.high = b[0] + b[2] - box[2];
  g.ay.low = b[1] - box[1], g.ay.high = b[1] + b[3] - box[3];
  g.clamp = g.ax.low <= g.ax.high && g.ay.low <= g.ay.high;  // the bounds hold the shape
  if (g.clamp) gridLimits(&g.ax), gridLimits(&g.ay);
  g.x = place(g.x, g.ax, g.clamp), g.y = place(g.y, g.ay, g.clamp);
  if (!grab(&g)) return x11Fail(primErrGeneral, n);
  int64_t px, py;
  bool ok = runDrag(&g, tracked, holding, &px, &py);
  ungrab(&g);
  if (!ok) return x11Fail(primErrGeneral, n);
  return answerPoints(g.x, g.y, px, py, n);
}

// 936: fixed corner x y, initial width height, minimum width height, line width, grid step
// x y, bounds x y w h, button, hold.
static oop primStretchRectangle(oop receiver, oop fixedX, oop fixedY, oop width, oop height, oop minWidth,
                                oop minHeight, oop line, oop stepX, oop stepY, oop boundX, oop boundY, oop boundW,
                                oop boundH, oop button, oop hold) {
  enum : uint64_t { n = 15 };
  Display* d = screenDisplay(receiver);
  Drag g = {};
  int64_t w, h, mw, mh, b[4];
  unsigned int tracked;
  bool holding;
  const oop boundArgs[4] = {boundX, boundY, boundW, boundH};
  if (d == nullptr || !smallInteger(fixedX, &g.fixedX) || !smallInteger(fixedY, &g.fixedY) || !smallInteger(width, &w) ||
      !smallInteger(height, &h) || !smallInteger(minWidth, &mw) || !smallInteger(minHeight, &mh) ||
      !lineWidth(line, &g.lineWidth) || !smallInteger(stepX, &g.ax.step) || !smallInteger(stepY, &g.ay.step) ||
      g.ax.step < 0 || g.ay.step < 0 || !bounds(d, boundArgs, b) || !buttonArguments(button, hold, &tracked, &holding))
    return x11Fail(primErrGeneral, n);
  g.display = d, g.root = RootWindow(d, DefaultScreen(d)), g.rectangle = true, g.clamp = true;
  auto clampTo = [](int64_t v, int64_t low, int64_t high) { return v <= low ? low : v > high ? high : v; };
  g.x = clampTo(g.fixedX + (mw > w ? mw : w), b[0], b[0] + b[2]);
  g.y = clampTo(g.fixedY + (mh > h ? mh : h), b[1], b[1] + b[3]);
  if (g.x - g.fixedX < mw || g.y - g.fixedY < mh) return x11Fail(primErrGeneral, n);
  g.ax.origin = reduceOrigin(g.x, g.ax.step), g.ay.origin = reduceOrigin(g.y, g.ay.step);
  g.ax.low = b[0], g.ax.high = b[0] + b[2], g.ay.low = b[1], g.ay.high = b[1] + b[3];
  gridLimits(&g.ax), gridLimits(&g.ay);
  if (!grab(&g)) return x11Fail(primErrGeneral, n);
  pdMoveMouse(d, ((uint64_t)g.y << 32) + ((uint64_t)g.x & 0xFFFFFFFFu));
  XSync(d, False);
  int64_t px, py;
  bool ok = runDrag(&g, tracked, holding, &px, &py);
  ungrab(&g);
  if (!ok) return x11Fail(primErrGeneral, n);
  return answerPoints(g.x, g.y, px, py, n);
}

void initX11AnimationPrims() {
  addCPrimitive(935, reinterpret_cast<const void*>(primDragShape), 14);
  addCPrimitive(936, reinterpret_cast<const void*>(primStretchRectangle), 15);
}
