// Windows layer: drag and resize feedback (primitives 935, 936). The pointer and buttons are
// read through the window system's seams, so a test can script a drag; the outline is drawn
// twice with an inverting mix (or, on a layered window, in a dotted pen over white) so that
// the second drawing erases the first.
// Owns feedbackWindow and layeredFeedback.
// Prefix: none (initFeedbackPrimitives, startFeedbackWindow, stopFeedbackWindow, followMouse).
#include "platpc/ntFeedback.h"

#include <cstring>
#include <initializer_list>

#include "ext/exPrimTable.h"
#include "mman/mmAllocate.h"
#include "mman/mmPrimUtil.h"
#include "mman/mmRt.h"
#include "mman/mmSysOop.h"
#include "platpc/ntCanvas.h"
#include "platpc/ntFile.h"
#include "platpc/ntMain.h"
#include "prim/prEnviron.h"

HWND feedbackWindow;
uint32_t layeredFeedback;

enum : uint32_t { layeredAlpha = 50, dottedColour = 0x0A0A0A, white = 0xFFFFFF };
enum : DWORD { ropShape = 0x990066 };

// ---- The window and the pointer ---------------------------------------------------------------

// Shown without taking the activation: the image's window stays the active one (no
// deactivation events) while the pointer is captured for the drag.
static void showWithoutActivating(HWND window) {
  SetWindowPos(window, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE | SWP_SHOWWINDOW);
}

void startFeedbackWindow() {
  if (feedbackWindow != nullptr) return;
  const RECT& d = virtualDesktopRect;
  int width = d.right - d.left, height = d.bottom - d.top;
  if (layeredFeedback) {
    // Made off the desktop, keyed and filled white, then moved on: nothing flashes.
    feedbackWindow = CreateWindowExW(WS_EX_LAYERED | WS_EX_TOOLWINDOW | WS_EX_TOPMOST, L"KLPX4", applicationName,
                                     WS_POPUP, 2 * d.left - d.right, d.top, width, height, nullptr, nullptr,
                                     moduleInstance, nullptr);
    if (feedbackWindow != nullptr) {
      showWithoutActivating(feedbackWindow);
      SetLayeredWindowAttributes(feedbackWindow, 0, layeredAlpha, LWA_ALPHA);
      SetLayeredWindowAttributes(feedbackWindow, white, 0, LWA_COLORKEY);
      HDC dc = GetDC(feedbackWindow);
      RECT all = {0, 0, width, height};
      FillRect(dc, &all, static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH)));
      ReleaseDC(feedbackWindow, dc);
      SetWindowPos(feedbackWindow, nullptr, d.left, d.top, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
    }
  } else {
    feedbackWindow = CreateWindowExW(WS_EX_TOOLWINDOW | WS_EX_TOPMOST, L"KLPX4", applicationName, WS_POPUP, d.left,
                                     d.top, width, height, nullptr, nullptr, moduleInstance, nullptr);
    if (feedbackWindow != nullptr) showWithoutActivating(feedbackWindow);
  }
  dragFeedbackRunning = feedbackWindow != nullptr;
}

void stopFeedbackWindow() {
  if (feedbackWindow != nullptr) DestroyWindow(feedbackWindow);
  feedbackWindow = nullptr;
  dragFeedbackRunning = 0;
}

uint32_t feedbackButtonMask(int64_t index) {
  static const uint32_t masks[4] = {maskLeft | maskMiddle | maskRight, maskLeft, maskMiddle, maskRight};
  return index >= 0 && index < 4 ? masks[index] : 0;
}

uint32_t readFeedbackButtons() {
  uint32_t b = 0;
  if (guiSeams.getAsyncKeyState(VK_LBUTTON) & 0x8000) b |= maskLeft;
  if (guiSeams.getAsyncKeyState(VK_MBUTTON) & 0x8000) b |= maskMiddle;
  if (guiSeams.getAsyncKeyState(VK_RBUTTON) & 0x8000) b |= maskRight;
  return b;
}

static void readCursor(int* x, int* y) {
  POINT p = {};
  guiSeams.getCursorPos(&p);
  *x = p.x, *y = p.y;
}

bool followMouse(FollowState* state, uint32_t mask, bool untilRelease, int* x, int* y) {
  readCursor(x, y);
  uint32_t now = readFeedbackButtons(), before = state->buttons;
  state->buttons = now;
  uint32_t changed = untilRelease ? before & ~now : ~before & now;
  return (changed & mask) == 0;
}

// Whether the drag may start: with untilRelease a masked button must be down, otherwise none.
static bool startCondition(FollowState* state, uint32_t mask, bool untilRelease) {
  state->buttons = readFeedbackButtons();
  return untilRelease ? (state->buttons & mask) != 0 : (state->buttons & mask) == 0;
}

static void pumpMessagesHere() {
  MSG message;
  while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
}

// {Point(x, y), Point(px, py)}, or 0 when there is no space.
static oop answerPoints(int64_t x, int64_t y, int64_t px, int64_t py) {
  ObjectHeader* a = allocFSObj(sysOop(sysPointClass));
  ObjectHeader* b = allocFSObj(sysOop(sysPointClass));
  ObjectHeader* r = allocVSObj(sysOop(sysArrayClass), 2);
  if (a == nullptr || b == nullptr || r == nullptr) return 0;
  bodyOf(a)[0] = smallIntegerFor(x), bodyOf(a)[1] = smallIntegerFor(y);
  bodyOf(b)[0] = smallIntegerFor(px), bodyOf(b)[1] = smallIntegerFor(py);
  storeSlot(oopOf(r), 0, oopOf(a), __FILE__, __LINE__);
  storeSlot(oopOf(r), 1, oopOf(b), __FILE__, __LINE__);
  return oopOf(r);
}

static oop answerDrag(int64_t x, int64_t y, int64_t px, int64_t py, uint64_t numArgs) {
  oop answer = answerPoints(x, y, px, py);
  return answer != 0 ? ntAnswerServing(answer) : ntFail(primErrGeneral, numArgs);
}

static bool guiReceiver(oop receiver) {
  if (!isHeapObject(receiver) || !hasPtrs(headerOf(receiver)) || bodyWordsOf(headerOf(receiver)) < 1) return false;
  oop first = slotOf(receiver, 0);
  return isHeapObject(first) && !hasPtrs(headerOf(first));
}

static bool intArg(oop o, int64_t* v) {
  if (!isSmallInteger(o)) return false;
  *v = smallIntegerValue(o);
  return true;
}

// A pen width: a SmallInteger, or nil for 1.
static bool penWidthArg(oop o, int64_t* v) {
  if (o == nilOop()) return *v = 1, true;
  return intArg(o, v);
}

// The constraint rectangle {left, top, right, bottom}: four SmallIntegers, or nil first for
// the whole virtual desktop.
static bool constraintArgs(const oop* a, int64_t r[4]) {
  if (a[0] == nilOop()) {
    r[0] = virtualDesktopRect.left, r[1] = virtualDesktopRect.top;
    r[2] = virtualDesktopRect.right, r[3] = virtualDesktopRect.bottom;
    return true;
  }
  int64_t v[4];
  for (int i = 0; i < 4; i++)
    if (!intArg(a[i], &v[i])) return false;
  r[0] = v[0], r[1] = v[1], r[2] = v[0] + v[2], r[3] = v[1] + v[3];
  return true;
}

static int64_t clampTo(int64_t v, int64_t low, int64_t high) { return v < low ? low : v > high ? high : v; }
static bool fits16(int64_t v) { return v >= -32768 && v <= 32767; }

// ---- Pens --------------------------------------------------------------------------------------

// The drawing tools of one drag on the feedback window's DC.
struct FeedbackPens {
  HDC dc;
  HPEN draw, erase;  // layered: dotted and white; otherwise the inverting pen or null
  HBRUSH eraseBrush;
  HGDIOBJ savedPen;
};

static void makePens(FeedbackPens* p, int width) {
  p->dc = GetDC(feedbackWindow);
  p->draw = p->erase = nullptr, p->eraseBrush = nullptr, p->savedPen = nullptr;
  if (layeredFeedback) {
    p->draw = CreatePen(PS_DOT, width, dottedColour);
    p->erase = CreatePen(PS_SOLID, width, white);
    p->eraseBrush = CreateSolidBrush(white);
  } else {
    SetROP2(p->dc, R2_NOTXORPEN);
    if (width >= 2) {
      p->draw = CreatePen(PS_SOLID, width, 0);
      p->savedPen = SelectObject(p->dc, p->draw);
    }
  }
}

static void freePens(FeedbackPens* p) {
  if (p->savedPen != nullptr) SelectObject(p->dc, p->savedPen);
  else SelectObject(p->dc, GetStockObject(BLACK_PEN));
  if (p->draw != nullptr) DeleteObject(p->draw);
  if (p->erase != nullptr) DeleteObject(p->erase);
  if (p->eraseBrush != nullptr) DeleteObject(p->eraseBrush);
  ReleaseDC(feedbackWindow, p->dc);
}

// ---- 936: drag out a rectangle -------------------------------------------------------------------

struct RectangleAxis {
  int64_t anchor, minimum, grid, low, high;
};

// Pushes a corner closer than the minimum away from the anchor by the missing amount rounded
// up to the grid; where that would leave the constraint it stays at fallback.
static int64_t keepMinimum(const RectangleAxis& a, int64_t corner, int64_t fallback) {
  int64_t distance = corner >= a.anchor ? corner - a.anchor : a.anchor - corner;
  if (distance >= a.minimum) return corner;
  int64_t missing = a.minimum - distance;
  if (a.grid > 0) missing = (missing + a.grid - 1) / a.grid * a.grid;
  int64_t pushed = corner >= a.anchor ? corner + missing : corner - missing;
  return pushed < a.low || pushed > a.high ? fallback : pushed;
}

static int64_t floorToGrid(int64_t v, int64_t grid) {
  if (grid <= 0) return v;
  int64_t q = v / grid;
  if (v % grid != 0 && v < 0) q--;
  return q * grid;
}

static void drawRectangle(const FeedbackPens& p, int64_t ax, int64_t ay, int64_t cx, int64_t cy, bool erase) {
  int dx = int(virtualDesktopRect.left), dy = int(virtualDesktopRect.top);
  POINT corners[5] = {{int(ax) - dx, int(ay) - dy},
                      {int(cx) - dx, int(ay) - dy},
                      {int(cx) - dx, int(cy) - dy},
                      {int(ax) - dx, int(cy) - dy},
                      {int(ax) - dx, int(ay) - dy}};
  if (layeredFeedback) SelectObject(p.dc, erase ? p.erase : p.draw);
  Polyline(p.dc, corners, 5);
}

static oop primDragRectangle(oop receiver, oop anchorX, oop anchorY, oop offsetX, oop offsetY, oop minWidth,
                             oop minHeight, oop penWidth, oop gridX, oop gridY, oop cX, oop cY, oop cW, oop cH,
                             oop button, oop untilRelease) {
  const uint64_t n = 15;
  if (!guiReceiver(receiver)) return ntFail(primErrBadArgument, n);
  int64_t ax, ay, ox, oy, mw, mh, width, gx, gy, index, limits[4];
  oop constraint[4] = {cX, cY, cW, cH};
  if (!intArg(anchorX, &ax) || !intArg(anchorY, &ay) || !intArg(offsetX, &ox) || !intArg(offsetY, &oy) ||
      !intArg(minWidth, &mw) || !intArg(minHeight, &mh) || !penWidthArg(penWidth, &width) || width < 1 ||
      !intArg(gridX, &gx) || !intArg(gridY, &gy) || !constraintArgs(constraint, limits) || !intArg(button, &index) ||
      feedbackButtonMask(index) == 0 || (untilRelease != trueOop() && untilRelease != falseOop()))
    return ntFail(primErrGeneral, n);
  uint32_t mask = feedbackButtonMask(index);
  bool hold = untilRelease == trueOop();
  RectangleAxis x = {ax, mw, gx > 0 ? gx : 0, limits[0], limits[2]};
  RectangleAxis y = {ay, mh, gy > 0 ? gy : 0, limits[1], limits[3]};
  bool valid = true;
  int64_t corner[2];
  RectangleAxis* axes[2] = {&x, &y};
  int64_t offsets[2] = {ox, oy};
  for (int i = 0; i < 2; i++) {
    RectangleAxis& a = *axes[i];
    corner[i] = clampTo(a.anchor + (offsets[i] > a.minimum ? offsets[i] : a.minimum), a.low, a.high);
    if (a.grid > 0) {
      // Near edges rounded up, far ones down, so the aligned constraint lies inside the given one.
      int64_t low = floorToGrid(a.low, a.grid), high = floorToGrid(a.high, a.grid);
      if (low < a.low) low += a.grid;
      a.low = low, a.high = high;
      if (a.high < a.low) valid = false;
      corner[i] = floorToGrid(corner[i], a.grid);
    }
    corner[i] = keepMinimum(a, corner[i], corner[i]);
  }
  int64_t cx = corner[0], cy = corner[1];
  if (valid && ((cx >= ax ? cx - ax : ax - cx) < mw || (cy >= ay ? cy - ay : ay - cy) < mh)) return ntFail(primErrGeneral, n);
  if (!fits16(ax) || !fits16(ay) || !fits16(cx) || !fits16(cy)) return ntFail(primErrGeneral, n);

  startFeedbackWindow();
  SetCursorPos(int(cx), int(cy));
  FollowState state;
  int px, py;
  readCursor(&px, &py);
  if (!startCondition(&state, mask, hold) || feedbackWindow == nullptr) {
    stopFeedbackWindow();
    return valid ? answerDrag(cx, cy, px, py, n) : answerDrag(-1, -1, px, py, n);
  }
  SetCapture(feedbackWindow);
  FeedbackPens pens;
  makePens(&pens, int(width));
  int64_t startX = cx, startY = cy;
  if (valid) drawRectangle(pens, ax, ay, cx, cy, false);
  while (followMouse(&state, mask, hold, &px, &py)) {
    if (valid) {
      int64_t nx = x.grid > 0 ? startX + floorToGrid(px - startX, x.grid) : px;
      int64_t ny = y.grid > 0 ? startY + floorToGrid(py - startY, y.grid) : py;
      nx = keepMinimum(x, clampTo(nx, x.low, x.high), cx);
      ny = keepMinimum(y, clampTo(ny, y.low, y.high), cy);
      if (nx != cx || ny != cy) {
        drawRectangle(pens, ax, ay, cx, cy, true);
        cx = nx, cy = ny;
        drawRectangle(pens, ax, ay, cx, cy, false);
      }
    }
    pumpMessagesHere();
  }
  if (valid) drawRectangle(pens, ax, ay, cx, cy, true);
  freePens(&pens);
  pumpMessagesHere();
  ReleaseCapture();
  stopFeedbackWindow();
  return valid ? answerDrag(cx, cy, px, py, n) : answerDrag(-1, -1, px, py, n);
}

// ---- 935: drag a shape ---------------------------------------------------------------------------

struct DragShape {
  POINT* points;  // an outline, or null for a pixmap
  int count;
  HBITMAP bitmap;
  int width, height;
  int64_t grabX, grabY;
};

// An Array of Points with coordinates within 16 bits (at least one), or a pixmap.
static bool prepareDragShape(oop shape, int64_t grabX, int64_t grabY, DragShape* s) {
  *s = {nullptr, 0, nullptr, 0, 0, grabX, grabY};
  if (isHeapObject(shape) && classOf(shape) == sysOop(sysArrayClass)) {
    uint64_t count = bodyWordsOf(headerOf(shape));
    if (count == 0 || count > 0x7FFFFFFF) return false;
    s->points = static_cast<POINT*>(malloc(count * sizeof(POINT)));
    if (s->points == nullptr) return false;
    for (uint64_t i = 0; i < count; i++) {
      oop p = slotOf(shape, i);
      int64_t v[2];
      if (!isHeapObject(p) || !isKindOf(p, sysOop(sysPointClass)) || bodyWordsOf(headerOf(p)) < 2 ||
          !intArg(slotOf(p, 0), &v[0]) || !intArg(slotOf(p, 1), &v[1]) || !fits16(v[0]) || !fits16(v[1])) {
        free(s->points);
        s->points = nullptr;
        return false;
      }
      s->points[i] = {LONG(v[0]), LONG(v[1])};
    }
    s->count = int(count);
    return true;
  }
  const uint8_t* bytes = drawableHandleBytes(shape);
  BITMAP info;
  if (bytes == nullptr || drawableBitmapHandle(bytes) == nullptr ||
      GetObjectW(drawableBitmapHandle(bytes), sizeof info, &info) != sizeof info)
    return false;
  s->bitmap = drawableBitmapHandle(bytes), s->width = info.bmWidth, s->height = info.bmHeight;
  return true;
}

static void drawDragShape(const DragShape& s, int64_t x, int64_t y, HDC dc, DWORD rop) {
  int cornerX = int(x - s.grabX - virtualDesktopRect.left), cornerY = int(y - s.grabY - virtualDesktopRect.top);
  if (s.points == nullptr) {
    HDC source = sharedMemoryDC != nullptr ? sharedMemoryDC : CreateCompatibleDC(nullptr);
    HGDIOBJ previous = SelectObject(source, s.bitmap);
    BitBlt(dc, cornerX, cornerY, s.width, s.height, source, 0, 0, rop);
    SelectObject(source, previous);
    if (source != sharedMemoryDC) DeleteDC(source);
    return;
  }
  SetViewportOrgEx(dc, cornerX, cornerY, nullptr);
  Polyline(dc, s.points, s.count);
  SetViewportOrgEx(dc, 0, 0, nullptr);
}

struct ShapeAxis {
  int64_t phase, grid, low, high;
};

// phase + grid x q, q the quotient in single precision rounded half away from zero.
static int64_t snapShape(int64_t v, const ShapeAxis& a) {
  if (a.grid < 1) return v;
  float q = float(v - a.phase) / float(a.grid) + (v >= 0 ? 0.5f : -0.5f);
  return a.phase + a.grid * int64_t(q);
}

static oop primDragShape(oop receiver, oop shape, oop penWidth, oop grabX, oop grabY, oop phaseX, oop phaseY,
                         oop gridX, oop gridY, oop cX, oop cY, oop cW, oop cH, oop button, oop untilRelease) {
  const uint64_t n = 14;
  if (!guiReceiver(receiver)) return ntFail(primErrGeneral, n);
  int64_t width, gx, gy, ox, oy, hx, hy, index, limits[4];
  oop constraint[4] = {cX, cY, cW, cH};
  if (!penWidthArg(penWidth, &width) || !intArg(grabX, &gx) || !intArg(grabY, &gy) || !intArg(phaseX, &hx) ||
      !intArg(phaseY, &hy) || !intArg(gridX, &ox) || !intArg(gridY, &oy) || !constraintArgs(constraint, limits) ||
      !intArg(button, &index) || (untilRelease != trueOop() && untilRelease != falseOop()))
    return ntFail(primErrBadArgument, n);
  DragShape s;
  if (width < 1 || ox < 0 || oy < 0 || feedbackButtonMask(index) == 0 || !prepareDragShape(shape, gx, gy, &s))
    return ntFail(primErrGeneral, n);
  uint32_t mask = feedbackButtonMask(index);
  bool hold = untilRelease == trueOop();
  ShapeAxis x = {0, ox, limits[0], limits[2]}, y = {0, oy, limits[1], limits[3]};
  for (ShapeAxis* a : {&x, &y}) {
    if (a->grid >= 1) {
      int64_t phase = a == &x ? hx : hy;
      a->phase = phase % a->grid;
      if (a->phase < 0) a->phase += a->grid;
    }
  }
  if (x.grid >= 1) x.low = snapShape(x.low, x);
  if (y.grid >= 1) y.low = snapShape(y.low, y);
  bool empty = x.high < x.low || y.high < y.low;
  if (!empty) {
    if (x.grid >= 1) x.high = snapShape(x.high, x);
    if (y.grid >= 1) y.high = snapShape(y.high, y);
  }

  startFeedbackWindow();
  int px, py;
  readCursor(&px, &py);
  int64_t sx = snapShape(clampTo(px, x.low, x.high), x), sy = snapShape(clampTo(py, y.low, y.high), y);
  if (empty) sx = px, sy = py;
  FollowState state;
  oop answer;
  if (!startCondition(&state, mask, hold) || feedbackWindow == nullptr) {
    stopFeedbackWindow();
    free(s.points);
    return empty ? answerDrag(-1, -1, px, py, n) : answerDrag(sx, sy, px, py, n);
  }
  SetCapture(feedbackWindow);
  FeedbackPens pens;
  makePens(&pens, int(width));
  auto draw = [&](int64_t at, int64_t bt, bool erase) {
    DWORD rop = ropShape;
    if (layeredFeedback) {
      SelectObject(pens.dc, erase ? pens.erase : pens.draw);
      if (erase) {
        SelectObject(pens.dc, pens.eraseBrush);
        if (s.points == nullptr) rop = PATCOPY;
      }
    }
    drawDragShape(s, at, bt, pens.dc, rop);
  };
  int64_t cx = sx, cy = sy;
  if (!empty) draw(cx, cy, false);
  while (followMouse(&state, mask, hold, &px, &py)) {
    if (!empty) {
      int64_t nx = x.grid >= 1 ? snapShape(clampTo(px, x.low, x.high), x) : sx;
      int64_t ny = y.grid >= 1 ? snapShape(clampTo(py, y.low, y.high), y) : sy;
      if (nx != cx || ny != cy) {
        draw(cx, cy, true);
        cx = nx, cy = ny;
        draw(cx, cy, false);
      }
    }
    pumpMessagesHere();
  }
  if (!empty) draw(cx, cy, true);
  SelectObject(pens.dc, GetStockObject(WHITE_BRUSH));
  freePens(&pens);
  pumpMessagesHere();
  ReleaseCapture();
  stopFeedbackWindow();
  free(s.points);
  answer = answerPoints(cx, cy, px, py);
  return answer != 0 ? ntAnswerServing(answer) : ntFail(primErrGeneral, n);
}

// ---- Registration --------------------------------------------------------------------------------

static RegisteredNamedObject layeredFeedbackName = {
    "LayeredWindowsForAnimation", reinterpret_cast<uint64_t>(&layeredFeedback), regBoolean, 0, namedFlag, 0};

void initFeedbackPrimitives() {
  if (findRegisteredName(layeredFeedbackName.name, strlen(layeredFeedbackName.name)) == nullptr)
    addRegisteredNamedObject(&layeredFeedbackName);
  addCPrimitive(935, reinterpret_cast<const void*>(primDragShape), 14);
  addCPrimitive(936, reinterpret_cast<const void*>(primDragRectangle), 15);
}
