// Windows window system: the drawables (VM windows and off-screen pixmaps), the thread that
// owns every VM window, and the primitives that create, move, show, hide, decorate and
// destroy them. Owns the command window, the save-bits setting and the hooks the drawing,
// input-method and cursor files fill. Prefix: none (initCanvases, createVMWindow, ...).
#include "platpc/ntCanvas.h"

#include <process.h>

#include <cstdlib>
#include <cwchar>
#include <initializer_list>
#include <utility>

#include "ext/exError.h"
#include "ext/exOption.h"
#include "ext/exPrimTable.h"
#include "mman/mmAllocate.h"
#include "mman/mmPrimUtil.h"
#include "mman/mmSysOop.h"
#include "platpc/ntChannel.h"
#include "platpc/ntMain.h"
#include "prim/prDouble.h"

HWND commandWindow;
DWORD commandThreadId;
DWORD vmThreadId;
int saveBitsSetting = 1;
HDC sharedMemoryDC;

void (*releaseDrawableDCHook)(uint8_t*);
void (*releaseCachedDCsHook)();
bool (*visibleRegionHook)(HWND, const RECT*, int, RECT*);
WindowCall imeWindowSetupHook;
void (*imeCleanupHook)(HWND);
bool (*imeMessageHook)(HWND, UINT, WPARAM, LPARAM);
bool (*setVMCursorHook)(HWND);

// ---- Handle bytes --------------------------------------------------------------------------

uint8_t* drawableHandleBytes(oop drawable) {
  if (!isHeapObject(drawable) || !hasPtrs(headerOf(drawable)) || bodyWordsOf(headerOf(drawable)) < 3) return nullptr;
  oop bytes = slotOf(drawable, 0);
  if (!isHeapObject(bytes) || hasPtrs(headerOf(bytes)) || byteSizeOf(headerOf(bytes)) < handleBytesSize) return nullptr;
  return reinterpret_cast<uint8_t*>(bodyOf(headerOf(bytes)));
}

oop newHandleBytes(uint64_t serial, uint64_t osHandle, uint32_t type, uint32_t kind, float scaleX, float scaleY) {
  ObjectHeader* h = allocVSObj(sysOop(sysByteArrayClass), handleBytesSize);
  if (h == nullptr) return 0;
  uint8_t* b = reinterpret_cast<uint8_t*>(bodyOf(h));
  memset(b, 0, handleBytesSize);
  hbWrite64(b, handleSerialAt, serial);
  hbWrite64(b, handleOsAt, osHandle);
  hbWrite32(b, handleTypeAt, type);
  hbWrite32(b, handleKindAt, kind);
  hbWriteFloat(b, handleScaleXAt, scaleX);
  hbWriteFloat(b, handleScaleYAt, scaleY);
  return oopOf(h);
}

// ---- Primitive helpers ---------------------------------------------------------------------

static oop fail(uint32_t code, uint64_t numArgs) { return failPrimitive(primErrorAt(code), numArgs); }
static oop failArgument(int64_t position, uint64_t numArgs) {
  return failPrimitive(cloneErrorWith(primErrorAt(primErrBadArgument), smallIntegerFor(position)), numArgs);
}

static bool pointArgument(oop o, int64_t* x, int64_t* y) {
  if (!isHeapObject(o) || !isKindOf(o, sysOop(sysPointClass)) || bodyWordsOf(headerOf(o)) < 2) return false;
  oop px = slotOf(o, 0), py = slotOf(o, 1);
  if (!isSmallInteger(px) || !isSmallInteger(py)) return false;
  *x = smallIntegerValue(px), *y = smallIntegerValue(py);
  return true;
}

static bool extentArgument(oop o, int64_t* w, int64_t* h) {
  return pointArgument(o, w, h) && *w > 0 && *h > 0 && *w <= 65535 && *h <= 65535;
}

static oop newArray(uint64_t n) {
  ObjectHeader* h = allocVSObj(sysOop(sysArrayClass), n);
  if (h == nullptr) return 0;
  for (uint64_t i = 0; i < n; i++) bodyOf(h)[i] = nilOop();
  return oopOf(h);
}

// The live VM window of a window object: null when its handle bytes do not describe a
// window, or the window is destroyed; *shapeBad tells the two apart.
static HWND liveWindow(oop object, uint8_t** bytes, bool* shapeBad) {
  uint8_t* b = drawableHandleBytes(object);
  *shapeBad = b == nullptr || drawableType(b) != drawableWindow;
  if (*shapeBad) return nullptr;
  HWND w = drawableWindowHandle(b);
  if (w == nullptr || !IsWindow(w) || handleSerial(uint64_t(w), handleWindow) == 0) return nullptr;
  if (bytes != nullptr) *bytes = b;
  return w;
}

static HBITMAP livePixmap(oop object, uint8_t** bytes) {
  uint8_t* b = drawableHandleBytes(object);
  if (b == nullptr || (drawableType(b) != drawablePixmap && drawableType(b) != drawableBitmap)) return nullptr;
  if (bytes != nullptr) *bytes = b;
  return drawableBitmapHandle(b);
}

// KLPX1, KLPX2 and KLPX3 windows keep their record in their window bytes.
static bool isVMWindowClass(HWND window) {
  wchar_t name[8];
  if (GetClassNameW(window, name, 8) != 5 || wcsncmp(name, L"KLPX", 4) != 0) return false;
  return name[4] == L'1' || name[4] == L'2' || name[4] == L'3';
}

WindowRecord* windowRecordOf(HWND window) {
  if (window == nullptr || !isVMWindowClass(window)) return nullptr;
  return reinterpret_cast<WindowRecord*>(GetWindowLongPtrW(window, 0));
}

// ---- The command-window thread -------------------------------------------------------------

static HANDLE commandStartSemaphore;
static const char canvasSource[] = __FILE__;
static void canvasFatal(const char* message, int line) { doReportError(message, errCausePlatform | errFatal, canvasSource, line); }

// Owns every VM window: their procedures run here, never on the VM thread.
static unsigned __stdcall commandWindowThread(void*) {
  HWND w = CreateWindowExW(0, L"KLPX5", L"CommandWindow", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr, moduleInstance, nullptr);
  if (w != nullptr) {
    UpdateWindow(w);
    // One input state for both threads, so focus and capture calls work from either.
    AttachThreadInput(GetCurrentThreadId(), vmThreadId, TRUE);
    commandWindow = w;
  }
  ReleaseSemaphore(commandStartSemaphore, 1, nullptr);
  if (w == nullptr) return 1;
  MSG m;
  while (GetMessageW(&m, nullptr, 0, 0) > 0) {
    TranslateMessage(&m);
    DispatchMessageW(&m);
  }
  return 0;
}

void startCommandWindowThread() {
  ensureDisplay();
  if (commandWindow != nullptr) return;
  if (!initHostEventQueue()) canvasFatal("Unable to create host event queue semaphore.", __LINE__);
  commandStartSemaphore = CreateSemaphoreW(nullptr, 0, 1, nullptr);
  vmThreadId = GetCurrentThreadId();
  unsigned id = 0;
  uintptr_t thread = _beginthreadex(nullptr, 0, commandWindowThread, nullptr, 0, &id);
  if (thread == 0 || commandStartSemaphore == nullptr) canvasFatal("couldn't create command window thread", __LINE__);
  commandThreadId = id;
  CloseHandle(HANDLE(thread));
  if (WaitForSingleObject(commandStartSemaphore, 10000) != WAIT_OBJECT_0 || commandWindow == nullptr)
    canvasFatal("couldn't create command window", __LINE__);
}

// ---- Windows -------------------------------------------------------------------------------

struct WindowStyle {
  const wchar_t* className;
  DWORD style, exStyle;
};

static WindowStyle styleOfKind(uint32_t kind) {
  switch (kind) {
    case windowPopupNoActivate: return {L"KLPX3", WS_POPUP | WS_DISABLED, WS_EX_TOOLWINDOW | WS_EX_NOACTIVATE};
    case windowPopup: return {L"KLPX3", WS_POPUP | WS_DISABLED, WS_EX_TOOLWINDOW};
    case windowDialog:
    case windowDialog3:
    case windowModal: return {L"KLPX2", 0x0AC80000, WS_EX_APPWINDOW | WS_EX_DLGMODALFRAME};
    case windowToolTopmost: return {L"KLPX2", 0x0ACF0000, WS_EX_TOPMOST | WS_EX_TOOLWINDOW};
    default: return {L"KLPX2", 0x0ACF0000, WS_EX_APPWINDOW};
  }
}

static BOOL CALLBACK collectWindow(HWND window, LPARAM list) {
  auto* l = reinterpret_cast<std::pair<HWND*, int>*>(list);
  if (handleSerial(uint64_t(window), handleWindow) == 0) return TRUE;
  if (l->second < 64) l->first[l->second++] = window;
  return TRUE;
}

int registeredWindows(HWND* out, int capacity) {
  HWND top[64];
  std::pair<HWND*, int> list = {top, 0};
  if (commandThreadId != 0) EnumThreadWindows(commandThreadId, collectWindow, LPARAM(&list));
  int n = 0;
  for (int i = list.second - 1; i >= 0 && n < capacity; i--) out[n++] = top[i];  // bottom first
  return n;
}

static void enableOtherWindows(HWND except, int enable) {
  HWND windows[64];
  int n = registeredWindows(windows, 64);
  for (int i = 0; i < n; i++) {
    if (windows[i] == except) continue;
    WindowRecord* r = windowRecordOf(windows[i]);
    if (enable && r != nullptr && r->type == windowModal) break;  // the next modal one keeps them
    sendToWindowThread(windows[i], VMWM_ENABLE, WPARAM(enable), 0);
  }
}

static int32_t clampTo(int32_t v, int32_t low, int32_t high) { return v < low ? low : v > high ? high : v; }

HWND createVMWindow(HWND parent, int x, int y, int width, int height, uint32_t type, int minW, int minH, int maxW, int maxH) {
  removeSplash();
  startCommandWindowThread();
  uint32_t kind = type & 0xFFFF;
  auto* record = static_cast<WindowRecord*>(calloc(1, sizeof(WindowRecord)));
  if (record == nullptr) return nullptr;
  record->minTrackWidth = minW, record->minTrackHeight = minH, record->maxTrackWidth = maxW, record->maxTrackHeight = maxH;
  record->type = uint16_t(kind);
  record->collapsed = (type & windowStartsCollapsed) ? 1 : 0;
  WindowStyle s = styleOfKind(kind);
  const RECT& d = virtualDesktopRect;
  RECT outer = {x, y, x + width, y + height};
  if (kind == windowLayeredBar && y < 1) {
    s = {L"KLPX2", WS_POPUP | WS_DISABLED, WS_EX_LAYERED};
    outer.top = 26;
    outer.bottom = outer.top + height;
    if (outer.right > d.right) outer.right = d.right;
    if (outer.bottom > d.bottom - 26) outer.bottom = d.bottom - 26;
  }
  AdjustWindowRectEx(&outer, s.style, FALSE, s.exStyle);
  if (type & windowTopmost) s.exStyle |= WS_EX_TOPMOST;
  // Kept reachable: a window placed off every monitor could not be moved back by hand.
  int32_t ox = clampTo(outer.left, d.left, d.right - 20), oy = clampTo(outer.top, d.top, d.bottom - 20);
  if (kind == windowModal) enableOtherWindows(nullptr, 0);
  CreateWindowParams p = {s.exStyle, s.className, applicationName, s.style, ox, oy, outer.right - outer.left,
                          outer.bottom - outer.top, parent, nullptr, moduleInstance, record};
  HWND w = HWND(sendToWindowThread(commandWindow, VMWM_CREATEWINDOW, 0, LPARAM(&p)));
  if (w == nullptr) {
    if (kind == windowModal) enableOtherWindows(nullptr, 1);
    free(record);
    return nullptr;
  }
  if (GetWindowLongPtrW(w, 0) == 0) SetWindowLongPtrW(w, 0, LONG_PTR(record));
  if (imeWindowSetupHook != nullptr) sendToWindowThread(w, VMWM_CALL, WPARAM(imeWindowSetupHook), 0);
  if (kind == windowDialog || kind == windowDialog3 || kind == windowModal) {
    HMENU menu = GetSystemMenu(w, FALSE);
    if (menu != nullptr) {
      for (UINT c : {SC_MINIMIZE, SC_MAXIMIZE, SC_RESTORE, SC_TASKLIST, SC_SIZE}) DeleteMenu(menu, c, MF_BYCOMMAND);
      DeleteMenu(menu, 2, MF_BYPOSITION);
      DeleteMenu(menu, 1, MF_BYPOSITION);
    }
    sendToWindowThread(w, VMWM_DRAWMENUBAR, 0, 0);
  }
  return w;
}

void freeWindowResources(HWND window) {
  if (handleSerial(uint64_t(window), handleWindow) == 0) return;
  WindowRecord* r = windowRecordOf(window);
  if (r == nullptr) return;
  if (r->type == windowModal) enableOtherWindows(window, 1);
  if (r->background != nullptr) unregisterHandle(uint64_t(r->background), handleWindowGdiObject), DeleteObject(r->background);
  if (r->palette != nullptr) unregisterHandle(uint64_t(r->palette), handleGdiObject2), DeleteObject(r->palette);
  for (HICON icon : {r->smallIcon, r->largeIcon})
    if (icon != nullptr) unregisterHandle(uint64_t(icon), handleIcon), DestroyIcon(icon);
  r->background = nullptr, r->palette = nullptr, r->smallIcon = r->largeIcon = nullptr;
}

// ---- Bitmap capture ------------------------------------------------------------------------

int captureBitmapBits(HBITMAP bitmap, uint8_t* buffer, int64_t length) {
  BITMAP bm;
  if (GetObjectW(bitmap, sizeof bm, &bm) == 0) return 0;
  int bpp = bm.bmPlanes * bm.bmBitsPixel;
  int64_t row = ((int64_t(bm.bmWidth) * bpp + 31) / 32) * 4, total = row * bm.bmHeight;
  if (total > length) return 0;
  struct {
    BITMAPINFOHEADER h;
    WORD colours[256];
  } info = {};
  info.h.biSize = sizeof(BITMAPINFOHEADER);
  info.h.biWidth = bm.bmWidth;
  info.h.biHeight = bm.bmHeight;
  info.h.biPlanes = 1;
  info.h.biBitCount = WORD(bpp);
  info.h.biCompression = BI_RGB;
  info.h.biSizeImage = DWORD(total);
  HDC dc = sharedMemoryDC != nullptr ? sharedMemoryDC : CreateCompatibleDC(nullptr);
  BITMAPINFO* bi = reinterpret_cast<BITMAPINFO*>(&info);
  GetDIBits(dc, bitmap, 0, UINT(bm.bmHeight), nullptr, bi, DIB_PAL_COLORS);
  int lines = GetDIBits(dc, bitmap, 0, UINT(bm.bmHeight), buffer, bi, DIB_PAL_COLORS);
  if (dc != sharedMemoryDC) DeleteDC(dc);
  if (lines < bm.bmHeight) return 0;
  // Palette-relative reads answer table indices; turn them into palette indices.
  uint8_t map[256];
  bool identity = true;
  for (int i = 0; i < 256; i++) map[i] = uint8_t(i);
  if (bpp == 8 || bpp == 4) {
    int n = bpp == 8 ? 256 : 16;
    for (int i = 0; i < n; i++) {
      map[i] = uint8_t(info.colours[i]);
      identity = identity && map[i] == i;
    }
    if (bpp == 4 && !identity)
      for (int i = 0; i < 256; i++) map[i] = uint8_t((map[(i >> 4) & 15] << 4) | map[i & 15]);
  }
  // Bottom-up rows to top-down.
  for (int64_t i = 0, j = bm.bmHeight - 1; i <= j; i++, j--) {
    uint8_t* a = buffer + i * row;
    uint8_t* b = buffer + j * row;
    for (int64_t k = 0; k < row; k++) {
      uint8_t t = map[a[k]];
      a[k] = i == j ? t : map[b[k]];
      if (i != j) b[k] = t;
    }
  }
  if (bpp == 16)
    for (int64_t k = 0; k + 1 < total; k += 2) std::swap(buffer[k], buffer[k + 1]);
  if (bpp == 32)
    for (int64_t k = 0; k + 3 < total; k += 4) {
      uint32_t v;
      memcpy(&v, buffer + k, 4);
      v = (v << 8) | (v >> 24);
      memcpy(buffer + k, &v, 4);
    }
  return 1;
}

// ---- Window primitives ---------------------------------------------------------------------

static bool optionalExtent(oop o, int64_t* w, int64_t* h) {
  if (o == nilOop()) return *w = *h = 0, true;
  return pointArgument(o, w, h) && *w >= 0 && *h >= 0;
}

// 906: origin, extent, minimum and maximum extent (or nil), type, parent window (or nil).
static oop primCreateWindow(oop, oop origin, oop extent, oop minimum, oop maximum, oop type, oop parent) {
  ensureDisplay();
  int64_t x, y, w, h, minW, minH, maxW, maxH;
  if (!pointArgument(origin, &x, &y)) return failArgument(1, 6);
  if (!extentArgument(extent, &w, &h)) return failArgument(2, 6);
  if (!optionalExtent(minimum, &minW, &minH)) return failArgument(3, 6);
  if (!optionalExtent(maximum, &maxW, &maxH)) return failArgument(4, 6);
  if (!isSmallInteger(type) || smallIntegerValue(type) < 0 || smallIntegerValue(type) > 0xFFFFFFFF) return failArgument(5, 6);
  HWND owner = nullptr;
  if (parent != nilOop()) {
    bool shapeBad;
    owner = liveWindow(parent, nullptr, &shapeBad);
    if (owner == nullptr) return failArgument(6, 6);
  }
  // Made first: a window must not outlive a failed allocation of its handle.
  oop bytes = newHandleBytes(0, 0, drawableWindow, kindWindowDrawable, displayScale, displayScale);
  if (bytes == 0) return fail(primErrNoSpace, 6);
  HWND window = createVMWindow(owner, scaleToDevice(int(x)), scaleToDevice(int(y)), scaleToDevice(int(w)), scaleToDevice(int(h)),
                               uint32_t(smallIntegerValue(type)), int(minW), int(minH), int(maxW), int(maxH));
  if (window == nullptr) return fail(primErrMalloc, 6);
  WindowRecord* r = windowRecordOf(window);
  if (r == nullptr) {
    sendToWindowThread(window, VMWM_DESTROY, 0, 0);
    return fail(primErrGeneral, 6);
  }
  uint32_t serial = registerHandle(uint64_t(window), handleWindow);
  if (serial == 0) {
    sendToWindowThread(window, VMWM_DESTROY, 0, 0);
    return fail(primErrNoSpace, 6);
  }
  r->windowId = int32_t(serial);
  uint8_t* b = reinterpret_cast<uint8_t*>(bodyOf(headerOf(bytes)));
  hbWrite64(b, handleSerialAt, serial);
  hbWrite64(b, handleOsAt, uint64_t(window));
  return bytes;
}

// 907: minimum and maximum track sizes, each pair all or nothing.
static oop primSetTrackLimits(oop receiver, oop minW, oop minH, oop maxW, oop maxH) {
  bool shapeBad;
  HWND w = liveWindow(receiver, nullptr, &shapeBad);
  if (w == nullptr) return fail(shapeBad ? primErrGeneral : primErrBadReceiver, 4);
  oop a[4] = {minW, minH, maxW, maxH};
  int32_t v[4] = {};
  for (int i = 0; i < 4; i++) {
    oop partner = a[i ^ 1];
    if (a[i] == nilOop() ? partner != nilOop() : !isSmallInteger(a[i]) || smallIntegerValue(a[i]) < 0 ||
                                                     smallIntegerValue(a[i]) > 65535 || partner == nilOop())
      return failArgument(i + 1, 4);
    if (a[i] != nilOop()) v[i] = int32_t(smallIntegerValue(a[i]));
  }
  WindowRecord* r = windowRecordOf(w);
  if (r == nullptr) return fail(primErrBadReceiver, 4);
  r->minTrackWidth = v[0], r->minTrackHeight = v[1], r->maxTrackWidth = v[2], r->maxTrackHeight = v[3];
  return receiver;
}

// 940
static oop primDestroyWindow(oop receiver) {
  bool shapeBad;
  uint8_t* b = nullptr;
  HWND w = liveWindow(receiver, &b, &shapeBad);
  if (w == nullptr) return fail(shapeBad ? primErrGeneral : primErrBadReceiver, 0);
  if (releaseDrawableDCHook != nullptr) releaseDrawableDCHook(b);
  HDC dc = drawableDC(b);
  if (dc != nullptr) ReleaseDC(w, dc), setDrawableDC(b, nullptr);
  freeWindowResources(w);
  sendToWindowThread(w, VMWM_DESTROY, 0, 0);
  unregisterHandle(uint64_t(w), handleWindow);
  hbWrite64(b, handleOsAt, 0);  // a later window may get the same handle value
  return receiver;
}

// 941
static oop primWindowHandle(oop receiver) {
  bool shapeBad;
  HWND w = liveWindow(receiver, nullptr, &shapeBad);
  if (w == nullptr) return fail(shapeBad ? primErrGeneral : primErrBadReceiver, 0);
  return smallIntegerFor(int64_t(uintptr_t(w)));
}

// 942: {client x, y (screen), width, height, depth, iconic, scale}.
static oop primWindowGeometry(oop receiver) {
  bool shapeBad;
  HWND w = liveWindow(receiver, nullptr, &shapeBad);
  if (w == nullptr) return fail(shapeBad ? primErrGeneral : primErrBadReceiver, 0);
  WindowRecord* r = windowRecordOf(w);
  if (r == nullptr) return fail(primErrBadReceiver, 0);
  bool iconic = IsIconic(w) != 0;
  if (!iconic) {
    RECT c;
    GetClientRect(w, &c);
    POINT o = {0, 0};
    ClientToScreen(w, &o);
    r->clientX = o.x, r->clientY = o.y, r->clientWidth = c.right, r->clientHeight = c.bottom;
  }
  oop scale = newFloatBox(displayScale);
  if (scale == 0) return fail(primErrNoSpace, 0);
  oop a = newArray(7);
  if (a == 0) return fail(primErrNoSpace, 0);
  oop* s = bodyOf(headerOf(a));
  s[0] = smallIntegerFor(r->clientX), s[1] = smallIntegerFor(r->clientY);
  s[2] = smallIntegerFor(r->clientWidth), s[3] = smallIntegerFor(r->clientHeight);
  s[4] = smallIntegerFor(displayDepth), s[5] = booleanOop(iconic), s[6] = scale;
  return a;
}

// 943: client origin and extent.
static oop primMoveWindow(oop receiver, oop origin, oop extent) {
  bool shapeBad;
  HWND w = liveWindow(receiver, nullptr, &shapeBad);
  if (w == nullptr) return fail(shapeBad ? primErrGeneral : primErrBadReceiver, 2);
  int64_t x, y, width, height;
  if (!pointArgument(origin, &x, &y) || x < -32768 || x > 32767 || y < -32768 || y > 32767) return failArgument(1, 2);
  if (!pointArgument(extent, &width, &height) || width < 0 || height < 0 || width > 65535 || height > 65535)
    return failArgument(2, 2);
  if (IsIconic(w)) return receiver;
  WindowRecord* r = windowRecordOf(w);
  int left = scaleToDevice(int(x)), top = scaleToDevice(int(y));
  RECT outer = {left, top, left + scaleToDevice(int(width)), top + scaleToDevice(int(height))};
  if (r != nullptr) r->clientX = outer.left, r->clientY = outer.top, r->clientWidth = outer.right - outer.left,
                    r->clientHeight = outer.bottom - outer.top;
  AdjustWindowRectEx(&outer, DWORD(GetWindowLongW(w, GWL_STYLE)), FALSE, DWORD(GetWindowLongW(w, GWL_EXSTYLE)));
  SetWindowPosParams p = {nullptr, outer.left, outer.top, outer.right - outer.left, outer.bottom - outer.top,
                          SWP_NOZORDER | SWP_NOACTIVATE};
  sendToWindowThread(w, VMWM_SETWINDOWPOS, WPARAM(&p), 0);
  return receiver;
}

// 944, 948, 962, 963: one private message each.
template <UINT message>
static oop primWindowMessage(oop receiver) {
  bool shapeBad;
  HWND w = liveWindow(receiver, nullptr, &shapeBad);
  if (w == nullptr) return fail(shapeBad ? primErrGeneral : primErrBadReceiver, 0);
  sendToWindowThread(w, message, 0, 0);
  return receiver;
}

// 946, 950
static oop primGdiFlush(oop receiver) {
  GdiFlush();
  return receiver;
}

// 952: the title, a platform string.
static oop primSetTitle(oop receiver, oop title, oop bytes) {
  bool shapeBad;
  HWND w = liveWindow(receiver, nullptr, &shapeBad);
  if (w == nullptr) return fail(shapeBad ? primErrGeneral : primErrBadReceiver, 2);
  static wchar_t text[4096];
  if (platformStringToWide(title, text, 4096) == nullptr) return failArgument(1, 2);
  if (!isHeapObject(bytes) || hasPtrs(headerOf(bytes))) return failArgument(2, 2);
  sendToWindowThread(w, WM_SETTEXT, 0, LPARAM(text));
  return receiver;
}

// 953: raise; a modal window raises its parent first.
static oop primRaiseWindow(oop receiver) {
  bool shapeBad;
  HWND w = liveWindow(receiver, nullptr, &shapeBad);
  if (w == nullptr) return fail(shapeBad ? primErrGeneral : primErrBadReceiver, 0);
  SetWindowPosParams p = {HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE};
  WindowRecord* r = windowRecordOf(w);
  HWND parent = GetWindow(w, GW_OWNER);
  if (r != nullptr && r->type == windowModal && parent != nullptr) sendToWindowThread(parent, VMWM_SETWINDOWPOS, WPARAM(&p), 0);
  sendToWindowThread(w, VMWM_SETWINDOWPOS, WPARAM(&p), 0);
  return receiver;
}

// 954: lower, handing the focus on.
static oop primLowerWindow(oop receiver) {
  bool shapeBad;
  HWND w = liveWindow(receiver, nullptr, &shapeBad);
  if (w == nullptr) return fail(shapeBad ? primErrGeneral : primErrBadReceiver, 0);
  HWND windows[64];
  int n = registeredWindows(windows, 64);
  if (n > 0 && windows[0] == w) return receiver;
  HWND active = GetActiveWindow(), below = nullptr;
  for (int i = 1; i < n; i++)
    if (windows[i] == w) below = windows[i - 1];
  SetWindowPosParams p = {HWND_BOTTOM, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE};
  sendToWindowThread(w, VMWM_SETWINDOWPOS, WPARAM(&p), 0);
  HWND focus = active == w ? below : active;
  if (focus != nullptr) sendToWindowThread(focus, VMWM_SETFOCUS, 0, 0);
  return receiver;
}

// 955: the window ids, bottom of the Z order first.
static oop primWindowIds(oop) {
  HWND windows[64];
  int n = registeredWindows(windows, 64);
  oop a = newArray(uint64_t(n));
  if (a == 0) return fail(primErrNoSpace, 0);
  for (int i = 0; i < n; i++) bodyOf(headerOf(a))[i] = smallIntegerFor(handleSerial(uint64_t(windows[i]), handleWindow));
  return a;
}

COLORREF colourOf(int64_t v) {
  if (paletteMode && v >= 0) return COLORREF(0x1000000 + (v & 0xFFFF));
  if (v < 0) v = -v;
  if (displayDepth == 16) {
    uint32_t r = uint32_t(v >> 10) & 31, g = uint32_t(v >> 5) & 31, b = uint32_t(v) & 31;
    return RGB(r << 3 | r >> 2, g << 3 | g >> 2, b << 3 | b >> 2);
  }
  return COLORREF(v & 0xFFFFFF);
}

// 959: the background brush.
static oop primSetBackground(oop receiver, oop colour) {
  ensureDisplay();
  bool shapeBad;
  HWND w = liveWindow(receiver, nullptr, &shapeBad);
  if (w == nullptr) return fail(shapeBad ? primErrGeneral : primErrBadReceiver, 1);
  if (!isSmallInteger(colour)) return failArgument(1, 1);
  WindowRecord* r = windowRecordOf(w);
  if (r == nullptr) return fail(primErrBadReceiver, 1);
  HBRUSH brush = CreateSolidBrush(colourOf(smallIntegerValue(colour)));
  if (brush == nullptr) return fail(primErrGeneral, 1);
  if (registerHandle(uint64_t(brush), handleWindowGdiObject) == 0) {
    DeleteObject(brush);
    return fail(primErrNoSpace, 1);
  }
  HBRUSH old = r->background;
  r->background = brush;
  if (old != nullptr) unregisterHandle(uint64_t(old), handleWindowGdiObject), DeleteObject(old);
  return receiver;
}

// 1111: the VM window at a screen point.
static oop primWindowAt(oop, oop x, oop y) {
  if (!isSmallInteger(x)) return failArgument(1, 2);
  if (!isSmallInteger(y)) return failArgument(2, 2);
  HWND w = WindowFromPoint(POINT{LONG(smallIntegerValue(x)), LONG(smallIntegerValue(y))});
  uint32_t serial = w != nullptr ? handleSerial(uint64_t(w), handleWindow) : 0;
  return serial != 0 ? smallIntegerFor(serial) : nilOop();
}

// ---- Pixmaps -------------------------------------------------------------------------------

static HDC memoryDC() {
  if (sharedMemoryDC == nullptr) sharedMemoryDC = CreateCompatibleDC(nullptr);
  return sharedMemoryDC;
}

// The handle bytes of a new bitmap, registered; the bitmap is deleted on failure.
static oop registeredBitmap(HBITMAP bitmap, uint32_t type, uint32_t kind, float scale, uint64_t numArgs) {
  oop bytes = newHandleBytes(0, uint64_t(bitmap), type, kind, scale, scale);
  uint32_t serial = bytes != 0 ? registerHandle(uint64_t(bitmap), handleGdiObject) : 0;
  if (serial == 0) {
    DeleteObject(bitmap);
    return fail(primErrNoSpace, numArgs);
  }
  hbWrite64(reinterpret_cast<uint8_t*>(bodyOf(headerOf(bytes))), handleSerialAt, serial);
  return bytes;
}

// 900: a pixmap of the display's depth.
static oop primCreatePixmap(oop, oop extent) {
  ensureDisplay();
  int64_t w, h;
  if (!extentArgument(extent, &w, &h)) return failArgument(1, 1);
  HDC screen = GetDC(nullptr);
  HBITMAP bitmap = CreateCompatibleBitmap(screen, scaleToDevice(int(w)), scaleToDevice(int(h)));
  ReleaseDC(nullptr, screen);
  if (bitmap == nullptr) return fail(primErrMalloc, 1);
  SetBitmapDimensionEx(bitmap, int(w), int(h), nullptr);
  return registeredBitmap(bitmap, drawablePixmap, kindPixmapDrawable, displayScale, 1);
}

// 901: a one-bit pixmap, cleared to white.
static oop primCreateBitmap(oop, oop extent) {
  ensureDisplay();
  int64_t w, h;
  if (!extentArgument(extent, &w, &h)) return failArgument(1, 1);
  int whole = int(displayScale) > 0 ? int(displayScale) : 1;
  BITMAP bm = {0, int(w) * whole, int(h) * whole, ((int(w) * whole + 15) / 16) * 2, 1, 1, nullptr};
  HBITMAP bitmap = CreateBitmapIndirect(&bm);
  if (bitmap == nullptr) return fail(primErrMalloc, 1);
  SetBitmapDimensionEx(bitmap, int(w), int(h), nullptr);
  HDC dc = memoryDC();
  HGDIOBJ old = SelectObject(dc, bitmap);
  PatBlt(dc, 0, 0, bm.bmWidth, bm.bmHeight, WHITENESS);
  SelectObject(dc, old);
  return registeredBitmap(bitmap, drawableBitmap, kindBitmapDrawable, displayScale, 1);
}

// 971
static oop primFreePixmap(oop receiver) {
  uint8_t* b = nullptr;
  HBITMAP bitmap = livePixmap(receiver, &b);
  if (b == nullptr) return fail(primErrGeneral, 0);
  if (bitmap == nullptr || handleSerial(uint64_t(bitmap), handleGdiObject) == 0) return fail(primErrBadReceiver, 0);
  if (releaseDrawableDCHook != nullptr) releaseDrawableDCHook(b);
  unregisterHandle(uint64_t(bitmap), handleGdiObject);
  DeleteObject(bitmap);
  hbWrite64(b, handleOsAt, 0);
  return receiver;
}

// ---- Reading pixels (1100-1103) ------------------------------------------------------------

struct CaptureRequest {
  int64_t x, y, width, height;
  uint8_t* buffer;
  int64_t room;  // bytes from the index to the end of the buffer
};

// The arguments' kinds (primErrBadArgument) and ranges (primErrGeneral); -1 when good.
static int captureArguments(const oop a[6], int64_t low, CaptureRequest* c) {
  for (int i = 0; i < 4; i++)
    if (!isSmallInteger(a[i])) return primErrBadArgument;
  if (!isHeapObject(a[4]) || hasPtrs(headerOf(a[4])) || !isSmallInteger(a[5])) return primErrBadArgument;
  c->x = smallIntegerValue(a[0]), c->y = smallIntegerValue(a[1]);
  c->width = smallIntegerValue(a[2]), c->height = smallIntegerValue(a[3]);
  int64_t index = smallIntegerValue(a[5]), size = int64_t(byteSizeOf(headerOf(a[4])));
  c->buffer = reinterpret_cast<uint8_t*>(bodyOf(headerOf(a[4]))) + (index - 1);
  c->room = index >= 1 && index <= size + 1 ? size - (index - 1) : -1;
  bool inRange = c->x >= low && c->x <= 32767 && c->y >= low && c->y <= 32767 && c->width >= 0 && c->width <= 65535 &&
                 c->height >= 0 && c->height <= 65535;
  return inRange ? -1 : int(primErrGeneral);
}

// The area of a DC's bitmap-sized source stretched into a new compatible bitmap.
static HBITMAP copyArea(HDC source, int x, int y, int width, int height, float scale, bool blitFirst) {
  HDC screen = GetDC(nullptr);
  HBITMAP copy = CreateCompatibleBitmap(screen, width > 0 ? width : 1, height > 0 ? height : 1);
  ReleaseDC(nullptr, screen);
  if (copy == nullptr) return nullptr;
  HDC dc = CreateCompatibleDC(source);
  HGDIOBJ old = SelectObject(dc, copy);
  HPALETTE oldPalette = nullptr;
  if (paletteMode && sharedPalette != nullptr) oldPalette = SelectPalette(dc, sharedPalette, FALSE), RealizePalette(dc);
  BOOL ok = TRUE;
  if (blitFirst) ok = BitBlt(dc, 0, 0, width, height, source, x, y, SRCCOPY);
  SetStretchBltMode(dc, COLORONCOLOR);
  ok = ok && StretchBlt(dc, 0, 0, width, height, source, int(x * scale), int(y * scale), int(width * scale),
                        int(height * scale), SRCCOPY);
  if (oldPalette != nullptr) SelectPalette(dc, oldPalette, FALSE);
  SelectObject(dc, old);
  DeleteDC(dc);
  if (!ok) DeleteObject(copy), copy = nullptr;
  return copy;
}

static oop captureAnswer(oop colours, uint64_t numArgs) {
  oop hidden = newArray(0);
  oop a = hidden != 0 ? newArray(2) : 0;
  if (a == 0) return fail(primErrNoSpace, numArgs);
  bodyOf(headerOf(a))[0] = hidden;
  bodyOf(headerOf(a))[1] = colours;
  return a;
}

static bool captureInto(HBITMAP bitmap, const CaptureRequest& c) {
  return c.room >= 0 && captureBitmapBits(bitmap, c.buffer, c.room) == 1;
}

// 1100, 1101: pixels of an area of the receiver pixmap.
static oop primCapturePixmap(oop receiver, oop a1, oop a2, oop a3, oop a4, oop a5, oop a6) {
  ensureDisplay();
  oop a[6] = {a1, a2, a3, a4, a5, a6};
  CaptureRequest c;
  if (int bad = captureArguments(a, 0, &c); bad >= 0) return fail(uint32_t(bad), 6);
  uint8_t* b = nullptr;
  HBITMAP bitmap = livePixmap(receiver, &b);
  BITMAP bm;
  if (bitmap == nullptr || GetObjectW(bitmap, sizeof bm, &bm) == 0) return fail(primErrGeneral, 6);
  // A bitmap held by the drawing layer's cached DC can be neither read nor selected elsewhere.
  if (releaseDrawableDCHook != nullptr) releaseDrawableDCHook(b);
  if (c.x + c.width > bm.bmWidth || c.y + c.height > bm.bmHeight) return fail(primErrGeneral, 6);
  bool whole = c.x == 0 && c.y == 0 && c.width == bm.bmWidth && c.height == bm.bmHeight;
  if (whole) return captureInto(bitmap, c) ? captureAnswer(nilOop(), 6) : fail(primErrGeneral, 6);
  HDC dc = CreateCompatibleDC(nullptr);
  HGDIOBJ old = SelectObject(dc, bitmap);
  HBITMAP copy = copyArea(dc, int(c.x), int(c.y), int(c.width), int(c.height), 1.0f, false);
  SelectObject(dc, old);
  DeleteDC(dc);
  if (copy == nullptr) return fail(primErrGeneral, 6);
  bool ok = captureInto(copy, c);
  DeleteObject(copy);
  return ok ? captureAnswer(nilOop(), 6) : fail(primErrGeneral, 6);
}


// 1103: pixels of an area of the screen.
static oop primCaptureScreen(oop, oop a1, oop a2, oop a3, oop a4, oop a5, oop a6) {
  ensureDisplay();
  oop a[6] = {a1, a2, a3, a4, a5, a6};
  CaptureRequest c;
  if (int bad = captureArguments(a, -32768, &c); bad >= 0) return fail(uint32_t(bad), 6);
  const RECT& d = virtualDesktopRect;
  if (c.x < d.left || c.y < d.top || c.x + c.width > d.right || c.y + c.height > d.bottom) return fail(primErrGeneral, 6);
  oop colours = nilOop();
  if (displayDepth < 16) {
    colours = displayColourDescription();
    if (colours == 0) return fail(primErrGeneral, 6);
  }
  if (!saveBitsSetting) RedrawWindow(GetDesktopWindow(), nullptr, nullptr, RDW_UPDATENOW | RDW_ALLCHILDREN | RDW_VALIDATE);
  HDC screen = GetDC(nullptr);
  HBITMAP copy = CreateCompatibleBitmap(screen, c.width > 0 ? int(c.width) : 1, c.height > 0 ? int(c.height) : 1);
  HDC dc = CreateCompatibleDC(screen);
  HGDIOBJ old = copy != nullptr ? SelectObject(dc, copy) : nullptr;
  BOOL ok = copy != nullptr && BitBlt(dc, 0, 0, int(c.width), int(c.height), screen, int(c.x), int(c.y), SRCCOPY);
  if (old != nullptr) SelectObject(dc, old);
  DeleteDC(dc);
  ReleaseDC(nullptr, screen);
  ok = ok && captureInto(copy, c);
  if (copy != nullptr) DeleteObject(copy);
  return ok ? captureAnswer(colours, 6) : fail(primErrGeneral, 6);
}

// 1102: pixels of an area of the receiver window's client area, with the part that other
// windows hide.
static oop primCaptureWindow(oop receiver, oop a1, oop a2, oop a3, oop a4, oop a5, oop a6) {
  ensureDisplay();
  oop a[6] = {a1, a2, a3, a4, a5, a6};
  CaptureRequest c;
  if (int bad = captureArguments(a, 0, &c); bad >= 0) return fail(uint32_t(bad), 6);
  bool shapeBad;
  HWND w = liveWindow(receiver, nullptr, &shapeBad);
  if (w == nullptr) return fail(primErrGeneral, 6);
  RECT client;
  GetClientRect(w, &client);
  if (c.x + c.width > client.right || c.y + c.height > client.bottom) return fail(primErrGeneral, 6);
  HDC dc = GetDC(w);
  HBITMAP copy = copyArea(dc, int(c.x), int(c.y), int(c.width), int(c.height), displayScale, true);
  ReleaseDC(w, dc);
  if (copy == nullptr) return fail(primErrGeneral, 6);
  bool ok = captureInto(copy, c);
  DeleteObject(copy);
  if (!ok) return fail(primErrGeneral, 6);
  RECT area = {int(c.x), int(c.y), int(c.x + c.width), int(c.y + c.height)}, box;
  bool covered = GetWindow(w, GW_HWNDFIRST) != w && visibleRegionHook != nullptr && visibleRegionHook(w, &area, 1, &box);
  oop boxArray = covered ? newArray(4) : 0;
  oop hidden = newArray(covered ? 1 : 0);
  oop answer = hidden != 0 ? newArray(2) : 0;
  if (answer == 0 || (covered && boxArray == 0)) return fail(primErrNoSpace, 6);
  if (covered) {
    oop* s = bodyOf(headerOf(boxArray));
    s[0] = smallIntegerFor(box.left), s[1] = smallIntegerFor(box.top);
    s[2] = smallIntegerFor(box.right - box.left), s[3] = smallIntegerFor(box.bottom - box.top);
    bodyOf(headerOf(hidden))[0] = boxArray;
  }
  bodyOf(headerOf(answer))[0] = hidden;
  return answer;
}

// 1104: {bits of (palette size - 1), depth}.
static oop primPaletteBits(oop) {
  ensureDisplay();
  oop a = newArray(2);
  if (a == 0) return fail(primErrNoSpace, 0);
  int bits = 0;
  for (uint64_t n = paletteSize > 0 ? paletteSize - 1 : 0; n != 0; n >>= 1) bits++;
  bodyOf(headerOf(a))[0] = smallIntegerFor(bits);
  bodyOf(headerOf(a))[1] = smallIntegerFor(displayDepth);
  return a;
}

// 1105
static oop primPixelShape(oop receiver) {
  if (!isHeapObject(receiver) || hasPtrs(headerOf(receiver))) return fail(primErrGeneral, 0);
  oop a = newArray(2);
  if (a == 0) return fail(primErrNoSpace, 0);
  bodyOf(headerOf(a))[0] = smallIntegerFor(1);
  bodyOf(headerOf(a))[1] = smallIntegerFor(1);
  return a;
}

// 1120: the system colour table: a COLOR_* index, -1 nil, -2 zero, other values as they are.
static const int32_t systemColourTable[11][13] = {
    {8, 5, 14, 13, 17, 5, 17, 13, 6, 20, 16, -1, 6},
    {8, 5, 14, 13, 17, 5, 17, 13, 6, 20, 16, -1, 6},
    {8, 5, 14, 13, 17, 5, 17, 13, 6, 20, 16, -1, 6},
    {8, 5, 14, 13, 17, 5, 17, 13, 6, 20, 16, -1, 6},
    {18, 15, 14, 13, 17, 15, 17, 13, 6, 20, 16, -1, 6},
    {18, 15, 14, 13, 17, 15, 17, 13, 6, 20, 16, -1, 6},
    {-2, -12632256, 14, 13, 17, -12632256, 17, 13, 6, -16777215, -8421504, -1, 6},
    {18, 15, 14, 13, 17, 15, 17, 13, 6, 20, 16, -1, 6},
    {8, 0, 14, 13, 17, 5, 17, 13, 6, 20, 16, -1, 6},
    {7, 4, 14, 13, 17, 4, 17, 13, 6, 20, 16, -1, 6},
    {7, 4, 14, 13, 17, 4, 17, 13, 6, 20, 16, -1, 6},
};

static oop primSystemColour(oop, oop column, oop row, oop version) {
  ensureDisplay();
  if (!isSmallInteger(column) || smallIntegerValue(column) < 0 || smallIntegerValue(column) > 12) return failArgument(1, 3);
  if (!isSmallInteger(row) || smallIntegerValue(row) < 0 || smallIntegerValue(row) > 10) return failArgument(2, 3);
  if (!isSmallInteger(version)) return failArgument(3, 3);
  if (smallIntegerValue(version) != 4) return nilOop();
  int32_t v = systemColourTable[smallIntegerValue(row)][smallIntegerValue(column)];
  if (v == -1) return nilOop();
  if (v == -2) return smallIntegerFor(0);
  if (v < 0) return smallIntegerFor(v);
  COLORREF c = GetSysColor(v);
  if (displayDepth == 16) c = RGB(GetRValue(c) & 0xF8, GetGValue(c) & 0xF8, GetBValue(c) & 0xF8);
  return smallIntegerFor(-int64_t(c));
}

// ---- Monitors, icons and the clipboard's bitmaps ------------------------------------------

struct MonitorList {
  RECT rects[15];
  int count;
};

static BOOL CALLBACK noteMonitor(HMONITOR, HDC, LPRECT r, LPARAM list) {
  auto* l = reinterpret_cast<MonitorList*>(list);
  if (l->count >= 15) return FALSE;
  l->rects[l->count++] = *r;
  RECT& d = virtualDesktopRect;
  UnionRect(&d, &d, r);
  return TRUE;
}

// 947: {x, y, width, height, scale x, scale y} of each monitor (15 at most).
static oop primMonitors(oop) {
  ensureDisplay();
  MonitorList l = {};
  EnumDisplayMonitors(nullptr, nullptr, noteMonitor, LPARAM(&l));
  oop a = newArray(uint64_t(l.count));
  if (a == 0) return fail(primErrNoSpace, 0);
  for (int i = 0; i < l.count; i++) {
    oop entry = newArray(6);
    oop sx = entry != 0 ? newFloatBox(displayScale) : 0;
    oop sy = sx != 0 ? newFloatBox(displayScale) : 0;
    if (sy == 0) return fail(primErrNoSpace, 0);
    const RECT& r = l.rects[i];
    oop* e = bodyOf(headerOf(entry));
    e[0] = smallIntegerFor(r.left), e[1] = smallIntegerFor(r.top);
    e[2] = smallIntegerFor(r.right - r.left), e[3] = smallIntegerFor(r.bottom - r.top);
    e[4] = sx, e[5] = sy;
    bodyOf(headerOf(a))[i] = entry;
  }
  return a;
}

// The bits of a bitmap stretched to width x height in a new bitmap of the given planes and
// bits per pixel; false when the bits cannot be read or exceed limit bytes.
static bool stretchedBits(HBITMAP source, int width, int height, int planes, int bitsPerPixel, uint8_t* out, int64_t limit,
                          int64_t* size) {
  BITMAP sb;
  if (GetObjectW(source, sizeof sb, &sb) == 0) return false;
  HBITMAP target = CreateBitmap(width, height, UINT(planes), UINT(bitsPerPixel), nullptr);
  if (target == nullptr) return false;
  SetBitmapDimensionEx(target, width, height, nullptr);
  HDC from = CreateCompatibleDC(nullptr), to = CreateCompatibleDC(nullptr);
  HGDIOBJ oldFrom = SelectObject(from, source), oldTo = SelectObject(to, target);
  SetStretchBltMode(to, COLORONCOLOR);
  StretchBlt(to, 0, 0, width, height, from, 0, 0, sb.bmWidth, sb.bmHeight, SRCCOPY);
  SelectObject(from, oldFrom);
  SelectObject(to, oldTo);
  DeleteDC(from);
  DeleteDC(to);
  BITMAP tb;
  GetObjectW(target, sizeof tb, &tb);
  int64_t n = int64_t(tb.bmWidthBytes) * tb.bmHeight * tb.bmPlanes;
  LONG got = n > 0 && n <= limit ? GetBitmapBits(target, LONG(n), out) : 0;
  DeleteObject(target);
  *size = n;
  return got > 0;
}

static HICON makeIcon(HBITMAP image, HBITMAP mask, int width, int height) {
  int depth = displayDepth;
  static uint8_t colour[65536], andBits[2048];
  int64_t colourSize = 0, andSize = 0;
  if (!stretchedBits(image, width, height, 1, depth, colour, sizeof colour, &colourSize)) return nullptr;
  if (mask != nullptr) {
    BITMAP mb;
    if (GetObjectW(mask, sizeof mb, &mb) == 0) return nullptr;
    if (!stretchedBits(mask, width, height, mb.bmPlanes, mb.bmBitsPixel, andBits, sizeof andBits, &andSize)) return nullptr;
    for (int64_t i = 0; i < andSize; i++) andBits[i] = uint8_t(~andBits[i]);
  } else {
    memset(andBits, 0, sizeof andBits);
    for (int64_t i = 0; i < colourSize; i++) colour[i] = uint8_t(~colour[i]);
  }
  return CreateIcon(moduleInstance, width, height, 1, BYTE(depth), andBits, colour);
}

// The large and the small icon of the window from a pixmap (and a mask); 0 or an error code.
static int setWindowIcons(HWND window, HBITMAP image, HBITMAP mask) {
  WindowRecord* r = windowRecordOf(window);
  if (r == nullptr) return primErrGeneral;
  const int sizes[2][2] = {{GetSystemMetrics(SM_CXICON), GetSystemMetrics(SM_CYICON)},
                           {GetSystemMetrics(SM_CXSMICON), GetSystemMetrics(SM_CYSMICON)}};
  HICON made[2] = {};
  for (int k = 0; k < 2; k++) {
    made[k] = makeIcon(image, mask, sizes[k][0], sizes[k][1]);
    int error = made[k] == nullptr ? int(primErrMalloc) : registerHandle(uint64_t(made[k]), handleIcon) == 0 ? int(primErrNoSpace) : 0;
    if (error != 0) {
      for (int j = 0; j <= k; j++)
        if (made[j] != nullptr) {
          if (j < k || error != primErrMalloc) unregisterHandle(uint64_t(made[j]), handleIcon);
          DestroyIcon(made[j]);
        }
      return error;
    }
  }
  HICON* slots[2] = {&r->largeIcon, &r->smallIcon};
  for (int k = 0; k < 2; k++) {
    HICON old = *slots[k];
    *slots[k] = made[k];
    sendToWindowThread(window, WM_SETICON, k == 0 ? ICON_BIG : ICON_SMALL, LPARAM(made[k]));
    if (old != nullptr && old != made[k]) unregisterHandle(uint64_t(old), handleIcon), DestroyIcon(old);
  }
  return 0;
}

// 951: the window's icons from a pixmap.
static oop primSetIcon(oop receiver, oop pixmap) {
  bool shapeBad;
  HWND w = liveWindow(receiver, nullptr, &shapeBad);
  uint8_t* pb = nullptr;
  HBITMAP image = livePixmap(pixmap, &pb);
  if (w == nullptr || pb == nullptr) return fail(primErrGeneral, 1);
  if (image == nullptr) return receiver;
  int error = setWindowIcons(w, image, nullptr);
  return error == 0 ? receiver : fail(uint32_t(error), 1);
}

// 1110: the window's icons from an image and a mask pixmap.
static oop primSetIconWithMask(oop receiver, oop image, oop mask) {
  bool shapeBad;
  HWND w = liveWindow(receiver, nullptr, &shapeBad);
  if (w == nullptr) return fail(primErrGeneral, 2);
  HBITMAP i = livePixmap(image, nullptr);
  if (i == nullptr) return failArgument(1, 2);
  HBITMAP m = livePixmap(mask, nullptr);
  if (m == nullptr) return failArgument(2, 2);
  int error = setWindowIcons(w, i, m);
  return error == 0 ? receiver : fail(uint32_t(error), 2);
}

// 905: a copy of the clipboard's bitmap as a pixmap: {handle bytes, width, height}.
static oop primClipboardBitmap(oop) {
  ensureDisplay();
  if (!IsClipboardFormatAvailable(CF_BITMAP) || !OpenClipboard(nullptr)) return fail(primErrGeneral, 0);
  HBITMAP source = static_cast<HBITMAP>(GetClipboardData(CF_BITMAP));
  BITMAP bm;
  HBITMAP copy = nullptr;
  if (source != nullptr && GetObjectW(source, sizeof bm, &bm) != 0) {
    HDC dc = memoryDC(), screen = GetDC(nullptr);
    copy = bm.bmPlanes == 1 && bm.bmBitsPixel == 1 ? CreateBitmap(bm.bmWidth, bm.bmHeight, 1, 1, nullptr)
                                                    : CreateCompatibleBitmap(screen, bm.bmWidth, bm.bmHeight);
    ReleaseDC(nullptr, screen);
    if (copy != nullptr) {
      SetBitmapDimensionEx(copy, bm.bmWidth, bm.bmHeight, nullptr);
      HDC to = CreateCompatibleDC(dc);
      HGDIOBJ oldFrom = SelectObject(dc, source), oldTo = SelectObject(to, copy);
      if (!BitBlt(to, 0, 0, bm.bmWidth, bm.bmHeight, dc, 0, 0, SRCCOPY)) DeleteObject(copy), copy = nullptr;
      SelectObject(dc, oldFrom);
      SelectObject(to, oldTo);
      DeleteDC(to);
    }
  }
  CloseClipboard();
  if (copy == nullptr) return fail(primErrGeneral, 0);
  BITMAP cb;
  GetObjectW(copy, sizeof cb, &cb);
  bool oneBit = cb.bmPlanes == 1 && cb.bmBitsPixel == 1;
  oop answer = newArray(3);
  oop bytes = answer != 0 ? newHandleBytes(0, uint64_t(copy), drawablePixmap, oneBit ? kindBitmapDrawable : kindPixmapDrawable, 1.0f, 1.0f) : 0;
  uint32_t serial = bytes != 0 ? registerHandle(uint64_t(copy), handleGdiObject) : 0;
  if (serial == 0) {
    DeleteObject(copy);
    return fail(primErrGeneral, 0);
  }
  hbWrite64(reinterpret_cast<uint8_t*>(bodyOf(headerOf(bytes))), handleSerialAt, serial);
  oop* s = bodyOf(headerOf(answer));
  s[0] = bytes, s[1] = smallIntegerFor(cb.bmWidth), s[2] = smallIntegerFor(cb.bmHeight);
  return answer;
}

// 776: the pixmap onto the clipboard as a bitmap (and the shared palette for depths of 2 bits
// or more).
static oop primPixmapToClipboard(oop receiver) {
  ensureDisplay();
  HBITMAP bitmap = livePixmap(receiver, nullptr);
  BITMAP bm;
  if (bitmap == nullptr || GetObjectW(bitmap, sizeof bm, &bm) == 0) return fail(primErrBadReceiver, 0);
  HDC screen = GetDC(nullptr);
  HBITMAP copy = bm.bmBitsPixel == 1 ? CreateBitmap(bm.bmWidth, bm.bmHeight, 1, 1, nullptr) : CreateCompatibleBitmap(screen, bm.bmWidth, bm.bmHeight);
  ReleaseDC(nullptr, screen);
  DWORD error = 0;
  if (copy != nullptr) {
    HDC from = CreateCompatibleDC(nullptr), to = CreateCompatibleDC(nullptr);
    HGDIOBJ a = SelectObject(from, bitmap), b = SelectObject(to, copy);
    BitBlt(to, 0, 0, bm.bmWidth, bm.bmHeight, from, 0, 0, SRCCOPY);
    SelectObject(from, a), SelectObject(to, b);
    DeleteDC(from), DeleteDC(to);
  }
  // The clipboard owns what it is given: a copy, so the image's pixmap stays the image's.
  if (copy == nullptr || !OpenClipboard(commandWindow)) {
    error = GetLastError();
    if (copy != nullptr) DeleteObject(copy);
    return failPrimitive(cloneErrorWith(primErrorAt(primErrHostLookup), smallIntegerFor(int64_t(error))), 0);
  }
  EmptyClipboard();
  bool ok = SetClipboardData(CF_BITMAP, copy) != nullptr;
  if (!ok) error = GetLastError(), DeleteObject(copy);
  if (ok && bm.bmBitsPixel >= 2 && sharedPalette != nullptr && paletteSize <= 256) {
    PALETTEENTRY entries[256];
    UINT n = GetPaletteEntries(sharedPalette, 0, 256, entries);
    struct {
      WORD version, count;
      PALETTEENTRY e[256];
    } block = {0x300, WORD(n), {}};
    memcpy(block.e, entries, n * sizeof(PALETTEENTRY));
    HPALETTE p = CreatePalette(reinterpret_cast<LOGPALETTE*>(&block));
    if (p != nullptr && SetClipboardData(CF_PALETTE, p) == nullptr) DeleteObject(p);
  }
  CloseClipboard();
  if (!ok) return failPrimitive(cloneErrorWith(primErrorAt(primErrHostLookup), smallIntegerFor(int64_t(error))), 0);
  return receiver;
}

// ---- Registration --------------------------------------------------------------------------

void initCanvases() {
  addCPrimitive(906, (const void*)primCreateWindow, 6);
  addCPrimitive(907, (const void*)primSetTrackLimits, 4);
  addCPrimitive(940, (const void*)primDestroyWindow, 0);
  addCPrimitive(941, (const void*)primWindowHandle, 0);
  addCPrimitive(942, (const void*)primWindowGeometry, 0);
  addCPrimitive(943, (const void*)primMoveWindow, 2);
  addCPrimitive(944, (const void*)primWindowMessage<VMWM_MAP>, 0);
  addCPrimitive(946, (const void*)primGdiFlush, 0);
  addCPrimitive(950, (const void*)primGdiFlush, 0);
  addCPrimitive(948, (const void*)primWindowMessage<VMWM_UNMAP>, 0);
  addCPrimitive(952, (const void*)primSetTitle, 2);
  addCPrimitive(953, (const void*)primRaiseWindow, 0);
  addCPrimitive(954, (const void*)primLowerWindow, 0);
  addCPrimitive(955, (const void*)primWindowIds, 0);
  addCPrimitive(959, (const void*)primSetBackground, 1);
  addCPrimitive(962, (const void*)primWindowMessage<VMWM_MINIMIZE>, 0);
  addCPrimitive(963, (const void*)primWindowMessage<VMWM_RESTORE>, 0);
  addCPrimitive(900, (const void*)primCreatePixmap, 1);
  addCPrimitive(901, (const void*)primCreateBitmap, 1);
  addCPrimitive(971, (const void*)primFreePixmap, 0);
  addCPrimitive(1100, (const void*)primCapturePixmap, 6);
  addCPrimitive(1101, (const void*)primCapturePixmap, 6);
  addCPrimitive(1102, (const void*)primCaptureWindow, 6);
  addCPrimitive(1103, (const void*)primCaptureScreen, 6);
  addCPrimitive(1104, (const void*)primPaletteBits, 0);
  addCPrimitive(1105, (const void*)primPixelShape, 0);
  addCPrimitive(1111, (const void*)primWindowAt, 2);
  addCPrimitive(1120, (const void*)primSystemColour, 3);
  addCPrimitive(947, (const void*)primMonitors, 0);
  addCPrimitive(951, (const void*)primSetIcon, 1);
  addCPrimitive(1110, (const void*)primSetIconWithMask, 2);
  addCPrimitive(905, (const void*)primClipboardBitmap, 0);
  addCPrimitive(776, (const void*)primPixmapToClipboard, 0);
  saveBitsSetting = (qrxOptions & 0x4000000) == 0;
  if (handleRegistryX == 0) initHandleRegistry();
  // The command-window thread starts with the first window: a run that opens none, or has
  // no display to open one on, needs neither the thread nor a window station.
  if (!initHostEventQueue()) canvasFatal("Unable to create host event queue semaphore.", __LINE__);
}
