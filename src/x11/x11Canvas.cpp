// X11 window system: the canvas primitives: top-level windows and pixmaps (creation,
// showing, hiding, iconifying, moving, labels, icons, size limits, stacking) and the
// internal map, withdraw and move the event side shares. Owns x11WindowCount and the label
// encoding. Prefix: none (initX11CanvasPrims, unpackDrawable, noteIconificationState).
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "ext/exOption.h"
#include "ext/exPrimTable.h"
#include "mman/mmAllocate.h"
#include "mman/mmCString.h"
#include "mman/mmSysOop.h"
#include "prim/prEnviron.h"
#include "x11/x11.h"

#include <X11/Xatom.h>

uint64_t x11WindowCount;

// KeyPress .. OwnerGrabButton: what every engine window selects.
enum : long {
  engineEventMask = KeyPressMask | KeyReleaseMask | ButtonPressMask | ButtonReleaseMask | EnterWindowMask |
                    LeaveWindowMask | PointerMotionMask | KeymapStateMask | ExposureMask | StructureNotifyMask |
                    SubstructureNotifyMask | FocusChangeMask | OwnerGrabButtonMask,
};
static_assert(engineEventMask == 19579007, "the engine's window event mask");

enum : int64_t {
  flagTypeMask = 0xFFFF,
  flagUserPosition = 1 << 16,
  flagIconic = 1 << 17,
  flagNoBorder = 1 << 18,
};

// ---- Handles ---------------------------------------------------------------------------------

DrawableHandle* unpackDrawable(oop object) {
  if (isImmediate(object) || !hasPtrs(headerOf(object)) || bodyWordsOf(headerOf(object)) < 3) return nullptr;
  oop handle = slotOf(object, 0);
  if (!isByteObject(handle) || byteSizeOf(headerOf(handle)) < drawableHandleBytes) return nullptr;
  DrawableHandle* h = reinterpret_cast<DrawableHandle*>(bodyOf(headerOf(handle)));
  return h->gc != nullptr ? h : nullptr;  // none once the window or pixmap is freed
}

// The GCs of the drawables not yet freed: only the handles in the image hold them otherwise,
// and a display closed at exit would leave them allocated.
struct LiveGC {
  Display* display;
  GC gc;
};
static LiveGC* liveGCs;
static uint64_t liveGCCount, liveGCRoom;

static bool noteLiveGC(Display* display, GC gc) {
  if (liveGCCount == liveGCRoom) {
    uint64_t room = liveGCRoom > 0 ? 2 * liveGCRoom : 16;
    LiveGC* grown = static_cast<LiveGC*>(realloc(liveGCs, room * sizeof(LiveGC)));
    if (grown == nullptr) return false;
    liveGCs = grown, liveGCRoom = room;
  }
  liveGCs[liveGCCount++] = LiveGC{display, gc};
  return true;
}

static void forgetLiveGC(uint64_t i) { liveGCs[i] = liveGCs[--liveGCCount]; }

// Frees the drawable's GC and marks its handle freed.
static void freeHandleGC(DrawableHandle* h) {
  for (uint64_t i = 0; i < liveGCCount; i++)
    if (liveGCs[i].gc == h->gc) forgetLiveGC(i);
  XFreeGC(h->display, h->gc);
  h->gc = nullptr;
}

void freeLiveGCs(Display* display) {
  for (uint64_t i = 0; i < liveGCCount;)
    if (liveGCs[i].display == display) XFreeGC(display, liveGCs[i].gc), forgetLiveGC(i);
    else i++;
}

static ObjectHeader* newHandle() { return allocVSObj(sysOop(sysByteArrayClass), drawableHandleBytes); }

static DrawableHandle* handleBody(ObjectHeader* h) { return reinterpret_cast<DrawableHandle*>(bodyOf(h)); }

// ---- Map, withdraw, move ---------------------------------------------------------------------

static bool isMapNotifyFor(Display*, XEvent* ev, XPointer window) {
  return ev->type == MapNotify && ev->xmap.window == (Window)window;
}
static Bool peekMapNotify(Display* d, XEvent* ev, XPointer w) { return isMapNotifyFor(d, ev, w) ? True : False; }

static void selectStructureWhile(Display* dpy, Window w, bool on) {
  long mask = xWindowEventMask(w, dpy);
  if (mask & StructureNotifyMask) return;
  XSelectInput(dpy, w, on ? mask | StructureNotifyMask : mask);
}

static void mapWindow(Display* dpy, Window w, bool raise, bool wait) {
  if (raise) XMapRaised(dpy, w);
  else XMapWindow(dpy, w);
  xWindowBeMapped(w, dpy, xWindowMapState(w, dpy) | mapStateMapped);
  if (!wait) return;
  selectStructureWhile(dpy, w, true);
  XEvent ev;
  XPeekIfEvent(dpy, &ev, peekMapNotify, (XPointer)w);
  selectStructureWhile(dpy, w, false);
}

static bool hasFrame(Display* dpy, Window w) {
  uint32_t type = xWindowType(w, dpy);
  if (type == 0 || type == 6) return false;
  Window root, parent, *children = nullptr;
  unsigned n;
  if (!XQueryTree(dpy, w, &root, &parent, &children, &n)) return false;
  if (children != nullptr) XFree(children);
  return parent != root;
}

// A pop-up menu withdrawn by the image leaves the posted chain at once: its UnmapNotify comes
// when it no longer counts as mapped, and would leave the grab held.
static bool withdrawWindow(Display* dpy, Window w) {
  bool framed = hasFrame(dpy, w);
  DisplayResourceNode* node = findDisplay(dpy);
  if (node != nullptr && xWindowType(w, dpy) == 6 && xWindowInRegistry(w, dpy)) unpostMenu(node, w);
  if (!XWithdrawWindow(dpy, w, DefaultScreen(dpy))) return false;
  xWindowBeMapped(w, dpy, xWindowMapState(w, dpy) & ~mapStateMapped);
  if (framed) {
    selectStructureWhile(dpy, w, true);
    XEvent ev;
    waitForXEvent(dpy, w, ReparentNotify, &ev, 3000);
    selectStructureWhile(dpy, w, false);
  }
  return true;
}

// To (x, y) as the image sees it: the decoration offset of the window's type and map state
// is taken off, and the size kept within the window's limits.
static void moveWindow(Display* dpy, Window w, int64_t x, int64_t y, int64_t width, int64_t height, bool resize) {
  uint32_t kind = xWindowMapState(w, dpy) & mapStateMapped, type = xWindowType(w, dpy);
  int64_t off[2], limits[4];
  windowPositionOffset(off, dpy, type, kind);
  if (resize) {
    xWindowSizeConstraints(limits, w, dpy);
    width = width < limits[0] ? limits[0] : width > limits[1] ? limits[1] : width;
    height = height < limits[2] ? limits[2] : height > limits[3] ? limits[3] : height;
    if (width < 1) width = 1;
    if (height < 1) height = 1;
    XMoveResizeWindow(dpy, w, (int)(x - off[0]), (int)(y - off[1]), (unsigned)width, (unsigned)height);
  } else {
    XMoveWindow(dpy, w, (int)(x - off[0]), (int)(y - off[1]));
  }
  DesiredPosition p = {x, y, off[0], off[1], kind, 0, windowPositionOffsetIsInitialized(dpy, type, kind)};
  setXWindowDesiredPosition(w, dpy, &p);
}

void noteIconificationState(Display* display, Window window, int iconic) {
  uint8_t state = xWindowMapState(window, display);
  xWindowBeMapped(window, display, iconic ? state | mapStateIconified : state & ~mapStateIconified);
  XWMHints* hints = XGetWMHints(display, window);
  XWMHints fresh = {};
  XWMHints* h = hints != nullptr ? hints : &fresh;
  h->flags |= StateHint;
  h->initial_state = iconic ? IconicState : NormalState;
  XSetWMHints(display, window, h);
  if (hints != nullptr) XFree(hints);
}

int isOverrideRedirect(Window window, Display* display) {
  if (!xWindowInRegistry(window, display)) return 0;
  uint32_t type = xWindowType(window, display);
  return type == 0 || type == 6;
}

// ---- Creation --------------------------------------------------------------------------------

struct WindowRequest {
  int64_t x, y, width, height, minW, minH, maxW, maxH;
  bool hasMin, hasMax;
  int64_t flags;
  uint32_t type;
  Window owner;
};

static bool optionalExtent(oop o, int64_t* w, int64_t* h, bool* given) {
  *given = o != nilOop();
  return !*given || pointArgument(o, w, h);
}

static bool windowRequest(oop args[6], DisplayResourceNode* node, WindowRequest* r) {
  if (node == nullptr || !pointArgument(args[0], &r->x, &r->y) || !pointArgument(args[1], &r->width, &r->height) ||
      !optionalExtent(args[2], &r->minW, &r->minH, &r->hasMin) || !optionalExtent(args[3], &r->maxW, &r->maxH, &r->hasMax) ||
      !isSmallInteger(args[4]))
    return false;
  if (r->hasMin && r->hasMax && (r->maxW < r->minW || r->maxH < r->minH)) return false;
  if (r->width < 1 || r->height < 1 || r->width > 65535 || r->height > 65535) return false;
  r->flags = smallIntegerValue(args[4]);
  r->type = (uint32_t)(r->flags & flagTypeMask);
  if (r->flags < 0 || r->type >= windowTypeCount) return false;
  r->owner = 0;
  if (args[5] != nilOop()) {
    DrawableHandle* o = unpackDrawable(args[5]);
    if (o == nullptr) return false;
    r->owner = (Window)o->drawable;
  }
  return true;
}

// Size, state and class hints, the protocols the engine answers, the transient owner.
static void setWindowManagerProperties(DisplayResourceNode* node, Window w, const WindowRequest& r) {
  Display* dpy = node->display;
  if (r.type == 1) XSetTransientForHint(dpy, w, r.owner != 0 ? r.owner : activeWindow);
  if (r.type >= 3 && r.type <= 5 && r.owner != 0) XSetTransientForHint(dpy, w, r.owner);
  XSizeHints size = {};
  size.flags = (r.flags & flagUserPosition) ? USPosition | USSize : PPosition | PSize;
  size.x = (int)r.x, size.y = (int)r.y, size.width = (int)r.width, size.height = (int)r.height;
  if (r.hasMin) size.flags |= PMinSize, size.min_width = (int)r.minW, size.min_height = (int)r.minH;
  if (r.hasMax) size.flags |= PMaxSize, size.max_width = (int)r.maxW, size.max_height = (int)r.maxH;
  size.flags |= PWinGravity;
  size.win_gravity = NorthWestGravity;
  XWMHints wm = {};
  wm.flags = InputHint | StateHint;
  wm.input = False;
  wm.initial_state = (r.flags & flagIconic) ? IconicState : NormalState;
  XClassHint cls = {programName, const_cast<char*>(resourceClassName)};
  XSetWMProperties(dpy, w, nullptr, nullptr, nullptr, 0, &size, &wm, &cls);
  Atom protocols[2] = {node->wmDeleteWindow, node->wmTakeFocus};
  XChangeProperty(dpy, w, node->wmProtocols, XA_ATOM, 32, PropModeAppend, (unsigned char*)protocols, 2);
  setMotifProperties(dpy, w, r.type);
}

static void registerNewWindow(Display* dpy, Window w, const WindowRequest& r, const int64_t off[2]) {
  x11WindowCount++;
  registerXWindow(w, dpy);
  xWindowBeMapped(w, dpy, (r.flags & flagIconic) ? mapStateIconified : 0);
  noteXWindowEventMask(w, dpy, engineEventMask);
  noteXWindowType(w, dpy, r.type);
  int64_t limits[4] = {r.hasMin ? r.minW : 0, r.hasMax ? r.maxW : unboundedSize, r.hasMin ? r.minH : 0,
                       r.hasMax ? r.maxH : unboundedSize};
  noteXWindowSizeConstraints(w, dpy, limits);
  DesiredPosition p = {r.x, r.y, off[0], off[1], 0, (r.flags & flagUserPosition) ? 1u : 0u,
                       windowPositionOffsetIsInitialized(dpy, r.type, 0)};
  setXWindowDesiredPosition(w, dpy, &p);
}

// 906: origin, extent, minimum and maximum extent (or nil), flags, owner (or nil).
static oop primCreateWindow(oop receiver, oop a1, oop a2, oop a3, oop a4, oop a5, oop a6) {
  oop args[6] = {a1, a2, a3, a4, a5, a6};
  DisplayResourceNode* node = nodeOfReceiver(receiver);
  WindowRequest r;
  if (!windowRequest(args, node, &r)) return x11Fail(primErrGeneral, 6);
  ObjectHeader* h = newHandle();
  if (h == nullptr) return x11Fail(primErrGeneral, 6);
  Display* dpy = node->display;
  pdClearAllocErrorFlag(dpy);
  int64_t off[2];
  windowPositionOffset(off, dpy, r.type, 0);
  XSetWindowAttributes a = {};
  a.background_pixel = WhitePixel(dpy, DefaultScreen(dpy));
  a.override_redirect = a.save_under = r.type == 0 || r.type == 6;
  a.event_mask = engineEventMask;
  a.colormap = node->colormap;
  Window w = XCreateWindow(dpy, RootWindow(dpy, DefaultScreen(dpy)), (int)(r.x - off[0]), (int)(r.y - off[1]),
                           (unsigned)r.width, (unsigned)r.height, 0, CopyFromParent, InputOutput, CopyFromParent,
                           CWBackPixel | CWOverrideRedirect | CWSaveUnder | CWEventMask | CWColormap, &a);
  if (r.type != 0 && r.type != 6) setWindowManagerProperties(node, w, r);
  if (node->cursor != 0) XDefineCursor(dpy, w, node->cursor);
  GC gc = XCreateGC(dpy, w, 0, nullptr);
  if (pdAllocErrorOccurred(dpy) || gc == nullptr || !noteLiveGC(dpy, gc)) {
    if (gc != nullptr) XFreeGC(dpy, gc);
    XDestroyWindow(dpy, w);
    return x11Fail(primErrGeneral, 6);
  }
  *handleBody(h) = DrawableHandle{w, gc, dpy, &node->visualInfo, drawableWindow, 0, 0, 0, 0, 0, {}};
  registerNewWindow(dpy, w, r, off);
  if (r.flags & flagNoBorder) {
    XWindowChanges c = {};
    XConfigureWindow(dpy, w, CWBorderWidth, &c);
  }
  armXFlush();
  return oopOf(h);
}

// 900 and 901: a pixmap of the screen's depth, or of depth 1.
static oop newPixmap(oop receiver, oop extent, bool oneBit) {
  DisplayResourceNode* node = nodeOfReceiver(receiver);
  int64_t w, h;
  if (node == nullptr) return x11Fail(primErrBadReceiver, 1);
  if (!pointArgument(extent, &w, &h) || w < 1 || h < 1 || w > 65535 || h > 65535) return x11Fail(primErrBadArgument, 1);
  ObjectHeader* handle = newHandle();
  if (handle == nullptr) return x11Fail(primErrNoSpace, 1);
  Display* dpy = node->display;
  pdClearAllocErrorFlag(dpy);
  Window root = RootWindow(dpy, DefaultScreen(dpy));
  Pixmap p = XCreatePixmap(dpy, root, (unsigned)w, (unsigned)h, oneBit ? 1 : (unsigned)DefaultDepth(dpy, DefaultScreen(dpy)));
  GC gc = XCreateGC(dpy, p, 0, nullptr);
  if (pdAllocErrorOccurred(dpy) || gc == nullptr || !noteLiveGC(dpy, gc)) {
    if (gc != nullptr) XFreeGC(dpy, gc);
    XFreePixmap(dpy, p);
    return x11Fail(primErrMalloc, 1);
  }
  uint8_t kind = oneBit ? drawableBitmap : drawablePixmap;
  *handleBody(handle) = DrawableHandle{p, gc, dpy, &node->visualInfo, kind, 0, 0, 0, 0, 0, {}};
  armXFlush();
  return oopOf(handle);
}
static oop primNewPixmap(oop receiver, oop extent) { return newPixmap(receiver, extent, false); }
static oop primNewBitmap(oop receiver, oop extent) { return newPixmap(receiver, extent, true); }

// ---- Window primitives -------------------------------------------------------------------------

static DrawableHandle* windowOf(oop receiver) {
  DrawableHandle* h = unpackDrawable(receiver);
  return h != nullptr && h->kind == drawableWindow ? h : nullptr;
}

static oop answerFlushed(oop receiver) {
  armXFlush();
  return receiver;
}

static bool limitArgument(oop o, int64_t* v, bool* given) {
  *given = o != nilOop();
  if (!*given) return true;
  if (!isSmallInteger(o)) return false;
  *v = smallIntegerValue(o);
  return true;
}

// 907: min width, min height, max width, max height (each pair both nil or both given).
static oop primSizeLimits(oop receiver, oop minW, oop minH, oop maxW, oop maxH) {
  DrawableHandle* h = windowOf(receiver);
  int64_t v[4] = {0, 0, 0, 0};
  bool given[4];
  const oop args[4] = {minW, minH, maxW, maxH};
  for (int i = 0; i < 4; i++)
    if (!limitArgument(args[i], &v[i], &given[i])) return x11Fail(primErrGeneral, 4);
  if (h == nullptr || given[0] != given[1] || given[2] != given[3]) return x11Fail(primErrGeneral, 4);
  if (given[0] && given[2] && (v[0] > v[2] || v[1] > v[3])) return x11Fail(primErrGeneral, 4);
  XSizeHints hints = {};
  long supplied;
  if (!XGetWMNormalHints(h->display, h->drawable, &hints, &supplied)) hints.flags = 0;
  int64_t limits[4];
  xWindowSizeConstraints(limits, h->drawable, h->display);
  if (given[0]) hints.flags |= PMinSize, hints.min_width = (int)v[0], hints.min_height = (int)v[1], limits[0] = v[0], limits[2] = v[1];
  if (given[2]) hints.flags |= PMaxSize, hints.max_width = (int)v[2], hints.max_height = (int)v[3], limits[1] = v[2], limits[3] = v[3];
  noteXWindowSizeConstraints(h->drawable, h->display, limits);
  XSetWMNormalHints(h->display, h->drawable, &hints);
  return answerFlushed(receiver);
}

static oop primDestroyWindow(oop receiver) {
  DrawableHandle* h = windowOf(receiver);
  if (h == nullptr) return x11Fail(primErrGeneral, 0);
  DisplayResourceNode* node = findDisplay(h->display);
  if (node != nullptr && xWindowType(h->drawable, h->display) == 6) unpostMenu(node, h->drawable);
  if (x11WindowCount > 0) x11WindowCount--;
  unregisterXWindow(h->drawable, h->display);
  XDestroyWindow(h->display, h->drawable);
  Display* dpy = h->display;
  freeHandleGC(h);
  XFlush(dpy);
  return answerFlushed(receiver);
}

// An Array of slots whose first n hold the values.
static oop arrayOfIntegers(const int64_t* values, int n, uint64_t slots) {
  oop a = newX11Array(slots);
  for (int i = 0; a != 0 && i < n; i++) x11ArrayPut(a, (uint64_t)i, smallIntegerFor(values[i]));
  return a;
}

static oop primGeometry(oop receiver) {
  DrawableHandle* h = windowOf(receiver);
  XWindowAttributes a;
  if (h == nullptr || !XGetWindowAttributes(h->display, h->drawable, &a)) return x11Fail(primErrGeneral, 0);
  int rx, ry;
  Window child;
  XTranslateCoordinates(h->display, h->drawable, a.root, 0, 0, &rx, &ry, &child);
  const int64_t v[5] = {rx, ry, a.width, a.height, a.border_width};
  oop answer = arrayOfIntegers(v, 5, 6);
  if (answer == 0) return x11Fail(primErrGeneral, 0);
  x11ArrayPut(answer, 5, booleanOop(a.map_state == IsViewable));
  return answer;
}

static oop primMoveResize(oop receiver, oop origin, oop extent) {
  DrawableHandle* h = windowOf(receiver);
  int64_t x, y, w, ht;
  if (h == nullptr || !pointArgument(origin, &x, &y) || !pointArgument(extent, &w, &ht)) return x11Fail(primErrGeneral, 2);
  moveWindow(h->display, h->drawable, x, y, w, ht, true);
  return answerFlushed(receiver);
}

// The window's map state once the server has caught up and its events are read.
static uint8_t syncedMapState(DrawableHandle* h) {
  XSync(h->display, False);
  getXinputForDisplay(h->display);
  return xWindowMapState(h->drawable, h->display);
}

static oop primShowWindow(oop receiver) {
  DrawableHandle* h = windowOf(receiver);
  if (h == nullptr) return x11Fail(primErrGeneral, 0);
  uint8_t state = syncedMapState(h);
  if ((state & (mapStateMapped | mapStateIconified)) != (mapStateMapped | mapStateIconified))
    mapWindow(h->display, h->drawable, true, false);
  if (heraldWindow != 0) pdTearDownHerald();
  return answerFlushed(receiver);
}

static oop primHideWindow(oop receiver) {
  DrawableHandle* h = windowOf(receiver);
  if (h == nullptr || !withdrawWindow(h->display, h->drawable)) return x11Fail(primErrGeneral, 0);
  return answerFlushed(receiver);
}

static oop primFlush(oop receiver) {
  Display* d = displayOfReceiver(receiver);
  if (d == nullptr) return x11Fail(primErrGeneral, 0);
  XFlush(d);
  return receiver;
}

static oop primSync(oop receiver) {
  Display* d = displayOfReceiver(receiver);
  if (d == nullptr) return x11Fail(primErrGeneral, 0);
  XSync(d, False);
  return receiver;
}

static oop primScreenBounds(oop receiver) {
  Display* d = displayOfReceiver(receiver);
  if (d == nullptr) return x11Fail(primErrGeneral, 0);
  const int64_t v[4] = {0, 0, DisplayWidth(d, DefaultScreen(d)), DisplayHeight(d, DefaultScreen(d))};
  oop bounds = arrayOfIntegers(v, 4, 4), answer = bounds != 0 ? newX11Array(1) : 0;
  if (answer == 0) return x11Fail(primErrGeneral, 0);
  x11ArrayPut(answer, 0, bounds);
  return answer;
}

static bool pixmapOn(oop o, Display* display, Pixmap* out) {
  DrawableHandle* p = unpackDrawable(o);
  if (p == nullptr || p->kind == drawableWindow || p->display != display) return false;
  *out = p->drawable;
  return true;
}

static void setIconHints(Display* dpy, Window w, Pixmap icon, Pixmap mask) {
  XWMHints* hints = XGetWMHints(dpy, w);
  XWMHints fresh = {};
  XWMHints* h = hints != nullptr ? hints : &fresh;
  h->flags |= IconPixmapHint | IconMaskHint;
  h->icon_pixmap = icon, h->icon_mask = mask;
  XSetWMHints(dpy, w, h);
  if (hints != nullptr) XFree(hints);
}

static oop primIcon(oop receiver, oop pixmap) {
  DrawableHandle* h = windowOf(receiver);
  Pixmap p;
  if (h == nullptr || !pixmapOn(pixmap, h->display, &p)) return x11Fail(primErrGeneral, 1);
  setIconHints(h->display, h->drawable, p, p);
  return answerFlushed(receiver);
}

static oop primIconAndMask(oop receiver, oop pixmap, oop mask) {
  DrawableHandle* h = windowOf(receiver);
  Pixmap p, m;
  if (h == nullptr || !pixmapOn(pixmap, h->display, &p) || !pixmapOn(mask, h->display, &m)) return x11Fail(primErrGeneral, 2);
  setIconHints(h->display, h->drawable, p, m);
  return answerFlushed(receiver);
}

// The label encoding is the image's to set; unset it is STRING.
static char labelEncoding[64];
static RegisteredNamedObject labelEncodingRecord = {"windowLabelEncoding", (uint64_t)labelEncoding, regStringOrNil,
                                                    0, namedCString, (int16_t)sizeof labelEncoding};

static Atom labelAtom(Display* dpy) {
  static char lastEncoding[64] = "STRING";
  static Atom atom = XA_STRING;
  if (labelEncoding[0] == 0) strcpy(labelEncoding, "STRING");
  if (strcmp(labelEncoding, lastEncoding) != 0) {
    atom = XInternAtom(dpy, labelEncoding, False);
    strcpy(lastEncoding, labelEncoding);
  }
  return atom;
}

static oop primLabels(oop receiver, oop name, oop iconName) {
  DrawableHandle* h = windowOf(receiver);
  char* n = h != nullptr ? tempCString(name) : nullptr;
  char* i = n != nullptr ? tempCString(iconName) : nullptr;
  if (i == nullptr) return x11Fail(primErrGeneral, 2);
  XTextProperty t = {(unsigned char*)n, labelAtom(h->display), 8, strlen(n)};
  XSetWMName(h->display, h->drawable, &t);
  XTextProperty ti = {(unsigned char*)i, labelAtom(h->display), 8, strlen(i)};
  XSetWMIconName(h->display, h->drawable, &ti);
  return answerFlushed(receiver);
}

static oop primRaise(oop receiver) {
  DrawableHandle* h = windowOf(receiver);
  if (h == nullptr) return x11Fail(primErrGeneral, 0);
  XRaiseWindow(h->display, h->drawable);
  return answerFlushed(receiver);
}

static oop primLower(oop receiver) {
  DrawableHandle* h = windowOf(receiver);
  if (h == nullptr) return x11Fail(primErrGeneral, 0);
  XLowerWindow(h->display, h->drawable);
  return answerFlushed(receiver);
}

static oop primBackground(oop receiver, oop pixel) {
  DrawableHandle* h = windowOf(receiver);
  if (h == nullptr || !isSmallInteger(pixel) || smallIntegerValue(pixel) < 0) return x11Fail(primErrGeneral, 1);
  XSetWindowBackground(h->display, h->drawable, (unsigned long)smallIntegerValue(pixel));
  return answerFlushed(receiver);
}

static oop primIconify(oop receiver) {
  DrawableHandle* h = windowOf(receiver);
  if (h == nullptr) return x11Fail(primErrGeneral, 0);
  uint8_t state = syncedMapState(h);
  if (!(state & mapStateIconified)) {
    if (state & mapStateMapped) XIconifyWindow(h->display, h->drawable, DefaultScreen(h->display));
    noteIconificationState(h->display, h->drawable, 1);
  }
  return answerFlushed(receiver);
}

static oop primDeiconify(oop receiver) {
  DrawableHandle* h = windowOf(receiver);
  if (h == nullptr) return x11Fail(primErrGeneral, 0);
  uint8_t state = syncedMapState(h);
  if (state & mapStateIconified) {
    if (state & mapStateMapped) mapWindow(h->display, h->drawable, false, false);
    noteIconificationState(h->display, h->drawable, 0);
  }
  return answerFlushed(receiver);
}

static oop primFreePixmap(oop receiver) {
  DrawableHandle* h = unpackDrawable(receiver);
  if (h == nullptr || h->kind == drawableWindow) return x11Fail(primErrGeneral, 0);
  XFreePixmap(h->display, h->drawable);
  freeHandleGC(h);
  return answerFlushed(receiver);
}

// ---- Posted menus ------------------------------------------------------------------------------

// Keyboard and pointer go to the oldest posted menu while any is mapped.
static int retryGrab(int (*grab)(Display*, Window), Display* dpy, Window w) {
  int r = AlreadyGrabbed;
  for (int i = 0; i < 5 && (r == AlreadyGrabbed || r == GrabFrozen); i++) r = grab(dpy, w);
  return r;
}
static int grabKeyboard(Display* dpy, Window w) {
  return XGrabKeyboard(dpy, w, False, GrabModeAsync, GrabModeAsync, CurrentTime);
}
static int grabPointer(Display* dpy, Window w) {
  return XGrabPointer(dpy, w, True, 0x407C, GrabModeAsync, GrabModeAsync, None, None, CurrentTime);
}

static bool grabFor(DisplayResourceNode* node, Window w) {
  if (retryGrab(grabKeyboard, node->display, w) != GrabSuccess) return false;
  if (retryGrab(grabPointer, node->display, w) != GrabSuccess) {
    XUngrabKeyboard(node->display, CurrentTime);
    return false;
  }
  node->grabWindow = w;
  return true;
}

static void ungrab(DisplayResourceNode* node) {
  XUngrabKeyboard(node->display, CurrentTime);
  XUngrabPointer(node->display, CurrentTime);
  node->grabWindow = 0;
}

void postMenu(DisplayResourceNode* node, Window window) {
  if (node->postedMenus == nullptr && !grabFor(node, window)) return;
  PostedMenu* m = (PostedMenu*)malloc(sizeof(PostedMenu));
  if (m == nullptr) return;
  *m = PostedMenu{window, node->postedMenus};
  node->postedMenus = m;
}

void unpostMenu(DisplayResourceNode* node, Window window) {
  PostedMenu** at = &node->postedMenus;
  while (*at != nullptr && (*at)->window != window) at = &(*at)->next;
  if (*at == nullptr) return;
  PostedMenu* gone = *at;
  bool wasOldest = gone->next == nullptr;
  *at = gone->next;
  free(gone);
  if (node->postedMenus == nullptr) return ungrab(node);
  if (!wasOldest) return;
  PostedMenu* oldest = node->postedMenus;
  while (oldest->next != nullptr) oldest = oldest->next;
  ungrab(node);
  grabFor(node, oldest->window);
}

// ---- Decoration offsets ----------------------------------------------------------------------

static void writeOffsetsProperty(DisplayResourceNode* node, uint32_t type, uint32_t kind, const int64_t off[2]) {
  long items[32];
  if (!readWindowOffsetsProperty(node, items)) memset(items, 0, sizeof items);
  items[4 * type + 2 * kind] = (long)off[0];
  items[4 * type + 2 * kind + 1] = (long)off[1];
  Display* dpy = node->display;
  XChangeProperty(dpy, RootWindow(dpy, DefaultScreen(dpy)), node->winOffsets, node->winOffsets, 32, PropModeReplace,
                  (unsigned char*)items, 32);
}

// Climbs from the window to the frame the window manager put round it: the offset is where
// the window ended up against where it was asked to go. False when no frame matches.
static bool measureOffset(Display* dpy, Window w, const DesiredPosition& d, int64_t off[2]) {
  Window current = w, root = 0, parent, *children;
  int64_t fx = 0, fy = 0;
  for (bool self = true;; self = false) {
    unsigned n;
    Window geometryRoot, child;
    int x, y, rx, ry;
    unsigned width, height, border, depth;
    if (!XGetGeometry(dpy, current, &geometryRoot, &x, &y, &width, &height, &border, &depth)) return false;
    XTranslateCoordinates(dpy, current, geometryRoot, 0, 0, &rx, &ry, &child);
    if (self) fx = rx, fy = ry;
    if (self && rx == d.x && ry == d.y) return off[0] = d.offsetX, off[1] = d.offsetY, true;
    for (int64_t b : {int64_t(0), int64_t(border), -int64_t(border)})
      if (!self && rx + d.offsetX + b == d.x && ry + d.offsetY + b == d.y)
        return off[0] = fx - d.x + d.offsetX, off[1] = fy - d.y + d.offsetY, true;
    children = nullptr;
    if (!XQueryTree(dpy, current, &root, &parent, &children, &n)) return false;
    if (children != nullptr) XFree(children);
    if (parent == root || parent == 0) return false;
    current = parent;
  }
}

// After the first map (kind 0) or a move of a mapped window (kind 1): learn the offset of the
// window's type and kind, and put the window where the image wanted it.
static void adjustPosition(Display* dpy, Window w, uint32_t kind) {
  DisplayResourceNode* node = findDisplay(dpy);
  if (node == nullptr || !node->adjustWindowPositions || !xWindowInRegistry(w, dpy)) return;
  DesiredPosition d;
  getXWindowDesiredPosition(w, dpy, &d);
  if ((uint32_t)d.kind != kind || d.measured) return;
  uint32_t type = xWindowType(w, dpy);
  int64_t off[2];
  if (windowPositionOffsetIsInitialized(dpy, type, kind)) {
    windowPositionOffset(off, dpy, type, kind);
  } else {
    if (!measureOffset(dpy, w, d, off)) return;
    noteWindowPositionOffset(dpy, type, kind, off, 0);
    writeOffsetsProperty(node, type, kind, off);
  }
  if (off[0] == d.offsetX && off[1] == d.offsetY) return;
  if (windowPositionOffsetIsInitialized(dpy, type, 1)) {
    moveWindow(dpy, w, d.x, d.y, 0, 0, false);
  } else if (withdrawWindow(dpy, w)) {
    moveWindow(dpy, w, d.x, d.y, 0, 0, false);
    mapWindow(dpy, w, false, true);
  }
  XFlush(dpy);
}

void mapNotify(Display* display, Window window) {
  DisplayResourceNode* node = findDisplay(display);
  if (node != nullptr && xWindowInRegistry(window, display) && xWindowType(window, display) == 6) postMenu(node, window);
  adjustPosition(display, window, 0);
}

void configureNotify(Display* display, Window window) {
  if (xWindowMapState(window, display) & mapStateMapped) adjustPosition(display, window, 1);
}

void unmapNotify(Display* display, Window window) {
  DisplayResourceNode* node = findDisplay(display);
  if (node != nullptr && xWindowInRegistry(window, display) && xWindowType(window, display) == 6) unpostMenu(node, window);
}

// ---- Stacking order ----------------------------------------------------------------------------

struct StackingWalk {
  Window* windows;  // the display's registered windows
  uint64_t count, room, placed;
  oop answer;
};

static void collectWindow(Window w, void* data) {
  StackingWalk* s = static_cast<StackingWalk*>(data);
  if (s->count < s->room) s->windows[s->count] = w;
  s->count++;
}

// Pre-order from the root, children bottom to top, each before its own children.
static void placeInOrder(Display* dpy, Window w, StackingWalk* s) {
  for (uint64_t i = 0; i < s->count; i++)
    if (s->windows[i] == w) x11ArrayPut(s->answer, s->placed++, smallIntegerFor((int64_t)w));
  Window root, parent, *children = nullptr;
  unsigned n = 0;
  if (s->placed == s->count || !XQueryTree(dpy, w, &root, &parent, &children, &n)) return;
  for (unsigned i = 0; i < n && s->placed < s->count; i++) placeInOrder(dpy, children[i], s);
  if (children != nullptr) XFree(children);
}

static oop primStackingOrder(oop receiver) {
  Display* dpy = displayOfReceiver(receiver);
  if (dpy == nullptr) return x11Fail(primErrGeneral, 0);
  ObjectHeader* scratch = allocVSObj(sysOop(sysByteArrayClass), 8 * (x11WindowCount + 1));
  if (scratch == nullptr) return x11Fail(primErrGeneral, 0);
  StackingWalk s = {reinterpret_cast<Window*>(bodyOf(scratch)), 0, x11WindowCount + 1, 0, 0};
  xWindowsOnDisplayDo(collectWindow, dpy, &s);
  if (s.count > s.room) {
    x11WindowCount = s.count;
    return x11Fail(primErrGeneral, 0);
  }
  if ((s.answer = newX11Array(s.count)) == 0) return x11Fail(primErrGeneral, 0);
  s.windows = reinterpret_cast<Window*>(bodyOf(scratch));  // allocation moves nothing, but reread
  if (s.count > 0) placeInOrder(dpy, RootWindow(dpy, DefaultScreen(dpy)), &s);
  if (s.placed < s.count) return x11Fail(primErrGeneral, 0);
  return s.answer;
}

void initX11CanvasPrims() {
  static const struct {
    uint32_t number;
    const void* function;
    uint8_t args;
  } table[] = {
      {900, reinterpret_cast<const void*>(primNewPixmap), 1},    {901, reinterpret_cast<const void*>(primNewBitmap), 1},
      {906, reinterpret_cast<const void*>(primCreateWindow), 6}, {907, reinterpret_cast<const void*>(primSizeLimits), 4},
      {940, reinterpret_cast<const void*>(primDestroyWindow), 0}, {942, reinterpret_cast<const void*>(primGeometry), 0},
      {943, reinterpret_cast<const void*>(primMoveResize), 2},   {944, reinterpret_cast<const void*>(primShowWindow), 0},
      {946, reinterpret_cast<const void*>(primFlush), 0},        {947, reinterpret_cast<const void*>(primScreenBounds), 0},
      {948, reinterpret_cast<const void*>(primHideWindow), 0},   {950, reinterpret_cast<const void*>(primSync), 0},
      {951, reinterpret_cast<const void*>(primIcon), 1},         {952, reinterpret_cast<const void*>(primLabels), 2},
      {953, reinterpret_cast<const void*>(primRaise), 0},        {954, reinterpret_cast<const void*>(primLower), 0},
      {955, reinterpret_cast<const void*>(primStackingOrder), 0}, {959, reinterpret_cast<const void*>(primBackground), 1},
      {962, reinterpret_cast<const void*>(primIconify), 0},      {963, reinterpret_cast<const void*>(primDeiconify), 0},
      {971, reinterpret_cast<const void*>(primFreePixmap), 0},   {1110, reinterpret_cast<const void*>(primIconAndMask), 2},
  };
  for (const auto& e : table) addCPrimitive(e.number, e.function, e.args);
  initX11PixelPrims();
  if (findRegisteredName(labelEncodingRecord.name, strlen(labelEncodingRecord.name)) == nullptr)
    addRegisteredNamedObject(&labelEncodingRecord);
}
