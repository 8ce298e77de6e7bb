// Windows window system: the host event queue between the command-window thread (where every
// VM window's procedure runs) and the VM thread, the window procedures that turn messages
// into events, and the private messages through which the VM thread has windows changed on
// their own thread. Owns hostEventQueue, the button/modifier mask and the procedure's flags.
// Prefix: none (postHostEvent, drainHostEvents, vmWindowProc, sendToWindowThread, ...).
#include "platpc/ntCanvas.h"

#include "ext/exError.h"
#include "ext/exOption.h"
#include "ext/exRequest.h"
#include "ext/platform.h"
#include "platpc/ntMain.h"
#include "prim/prEnviron.h"
#include "prim/prInQueue.h"

// ---- The queue -----------------------------------------------------------------------------

static HostEvent hostEventQueue[hostEventCapacity];
static int hostEventFill;
static HANDLE hostEventSemaphore;

static void lockQueue() {
  while (WaitForSingleObject(hostEventSemaphore, 50) != WAIT_OBJECT_0) Sleep(0);
}
static void unlockQueue() { ReleaseSemaphore(hostEventSemaphore, 1, nullptr); }

int initHostEventQueue() {
  hostEventFill = 0;
  if (hostEventSemaphore == nullptr) hostEventSemaphore = CreateSemaphoreW(nullptr, 1, 1, nullptr);
  return hostEventSemaphore != nullptr ? 1 : 0;
}

// A full queue drops the event: the producer is a window procedure and must not wait for
// the VM thread. The request is raised all the same so the VM drains soon.
void postHostEvent(const HostEvent* event) {
  lockQueue();
  if (hostEventFill < hostEventCapacity) hostEventQueue[hostEventFill++] = *event;
  unlockQueue();
  asyncSetRequest(requestInput, 2, 0);
}

int hostEventCount() { return hostEventFill; }

void drainHostEvents(void (*deliver)(const HostEvent*)) {
  lockQueue();
  for (int i = 0; i < hostEventFill; i++) deliver(&hostEventQueue[i]);
  hostEventFill = 0;
  unlockQueue();
}

void deliverHostEvent(const HostEvent* e) {
  int64_t kind = smallIntegerValue(e->kind);
  if (kind == hevKeyDown || kind == hevKeyUp) {
    extendedQueueNewAscii(nullptr, e->window, uint64_t(uint32_t(e->time)), e->x, e->y, e->x2, e->y2,
                          kind == hevKeyDown, e->extra, e->key, e->state, &e->raw);
    return;
  }
  int32_t fields[5] = {e->x, e->y, e->x2, e->y2, e->extra};
  queueTypedEvent(nullptr, e->kind, e->window, uint64_t(uint32_t(e->time)), fields, e->state, &e->raw);
}

static int32_t windowIdOf(HWND window) {
  WindowRecord* r = windowRecordOf(window);
  return r != nullptr ? r->windowId : 0;
}

static void fillRaw(HostEvent* e, const MSG* raw) {
  if (raw == nullptr) return;
  e->raw.windowId = windowIdOf(raw->hwnd);
  e->raw.message = int32_t(raw->message);
  e->raw.wParam = uint64_t(raw->wParam);
  e->raw.lParam = uint64_t(raw->lParam);
}

void makeHostEvent(HWND window, int kind, int32_t time, const int32_t* fields5, uint64_t state, const MSG* raw) {
  HostEvent e = {};
  e.window = uint64_t(uint32_t(windowIdOf(window)));
  e.kind = smallIntegerFor(kind);
  e.time = time;
  if (fields5 != nullptr) e.x = fields5[0], e.y = fields5[1], e.x2 = fields5[2], e.y2 = fields5[3], e.extra = fields5[4];
  e.state = state;
  fillRaw(&e, raw);
  postHostEvent(&e);
}

void makeKeyEvent(HWND window, int32_t time, int32_t x, int32_t y, int32_t x2, int32_t y2, int isDown,
                  uint32_t mask, uint64_t key, uint64_t state, const MSG* raw) {
  int32_t fields[5] = {x, y, x2, y2, int32_t(mask)};
  HostEvent e = {};
  e.window = uint64_t(uint32_t(windowIdOf(window)));
  e.kind = smallIntegerFor(isDown ? hevKeyDown : hevKeyUp);
  e.time = time;
  e.x = fields[0], e.y = fields[1], e.x2 = fields[2], e.y2 = fields[3], e.extra = fields[4];
  e.key = key;
  e.state = state;
  fillRaw(&e, raw);
  postHostEvent(&e);
}

// ---- The VM thread's side ------------------------------------------------------------------

// Events queued before the change are delivered before its effects.
LRESULT sendToWindowThread(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  pdSynchronizeInput();
  SetLastError(0);
  return SendMessageW(window, message, wParam, lParam);
}

// ---- The window procedure's state (command-window thread only) ----------------------------

uint32_t buttonMask;
HWND activeVMWindow;
int dragFeedbackRunning;
static int pointerResyncPending, inSizeMove, applicationActive, buttonsSwapped, fullWindowDrag = 1;
static uint32_t repaintDuringResizeOrMove = 1;

static RegisteredNamedObject repaintRecord = {"RepaintDuringResizeOrMove", uint64_t(&repaintDuringResizeOrMove),
                                              regBoolean, 0, namedFlag, 0};

void registerEventNamedObjects() {
  if (findRegisteredName(repaintRecord.name, strlen(repaintRecord.name)) == nullptr) addRegisteredNamedObject(&repaintRecord);
}

static int scaleFromDevice(int v) { return displayDpi == 96 || displayDpi <= 0 ? v : MulDiv(v, 96, displayDpi); }

struct PointerPlace {
  int32_t x, y, x2, y2;
};

static PointerPlace pointerOf(HWND window, bool scaled) {
  POINT screen = {0, 0};
  guiSeams.getCursorPos(&screen);
  POINT client = screen;
  ScreenToClient(window, &client);
  if (!scaled) return {client.x, client.y, screen.x, screen.y};
  return {scaleFromDevice(client.x), scaleFromDevice(client.y), scaleFromDevice(screen.x), scaleFromDevice(screen.y)};
}

static PointerPlace pointerFromLParam(HWND window, LPARAM lParam) {
  POINT client = {short(LOWORD(lParam)), short(HIWORD(lParam))};
  POINT screen = client;
  ClientToScreen(window, &screen);
  return {scaleFromDevice(client.x), scaleFromDevice(client.y), scaleFromDevice(screen.x), scaleFromDevice(screen.y)};
}

static const struct {
  int virtualKey;
  int keyCode;
  uint32_t bit;
} modifierKeys[3] = {{VK_SHIFT, 0x2000F, maskShift}, {VK_CONTROL, 0x20011, maskCtrl}, {VK_MENU, 0x20015, maskAlt}};

// Modifier keys reach the image as synthetic key events, whatever message revealed them.
static void syncModifiers(HWND window, int32_t time, const PointerPlace& p, const MSG* raw) {
  for (const auto& m : modifierKeys) {
    bool down = (guiSeams.getKeyState(m.virtualKey) & 0x8000) != 0;
    if (down == ((buttonMask & m.bit) != 0)) continue;
    buttonMask ^= m.bit;
    makeKeyEvent(window, time, p.x, p.y, p.x2, p.y2, down, buttonMask, smallIntegerFor(m.keyCode), smallIntegerFor(0), raw);
  }
}

static uint32_t readAsyncButtonState() {
  auto down = [](int vk) { return (guiSeams.getAsyncKeyState(vk) & 0x8000) != 0; };
  uint32_t mask = 0;
  if (down(buttonsSwapped ? VK_RBUTTON : VK_LBUTTON)) mask |= maskLeft;
  if (down(VK_MBUTTON)) mask |= maskMiddle;
  if (down(buttonsSwapped ? VK_LBUTTON : VK_RBUTTON)) mask |= maskRight;
  if (down(VK_SHIFT)) mask |= maskShift;
  if (down(VK_CONTROL)) mask |= maskCtrl;
  if (down(VK_MENU)) mask |= maskAlt;
  return mask;
}

// Virtual keys that reach the image as key codes.
static int keyCodeOf(WPARAM vk) {
  switch (vk) {
    case VK_HOME: return 0x20001;
    case VK_LEFT: return 0x20002;
    case VK_RIGHT: return 0x20003;
    case VK_UP: return 0x20004;
    case VK_DOWN: return 0x20005;
    case VK_PRIOR: return 0x20006;
    case VK_NEXT: return 0x20007;
    case VK_END: return 0x20008;
    case VK_INSERT: return 0x2000E;
    case VK_HELP: return 0x20017;
    case VK_NUMLOCK: return 0x2001B;
    default: return vk >= VK_F1 && vk <= VK_F24 ? int(0x20020 + (vk - VK_F1)) : 0;
  }
}

static bool isClass(HWND window, const wchar_t* name) {
  wchar_t buffer[16];
  return window != nullptr && GetClassNameW(window, buffer, 16) > 0 && wcscmp(buffer, name) == 0;
}

static void postRaw(HWND window, const MSG* raw) { makeHostEvent(window, hevOther, 0, nullptr, smallIntegerFor(0), raw); }

static void postPointerEvent(HWND window, int kind, int32_t time, const PointerPlace& p, int32_t extra, const MSG* raw) {
  int32_t fields[5] = {p.x, p.y, p.x2, p.y2, extra};
  makeHostEvent(window, kind, time, fields, smallIntegerFor(buttonMask), raw);
}

static void postMoveSize(HWND window, WindowRecord* r, int32_t time, const MSG* raw) {
  RECT c;
  GetClientRect(window, &c);
  POINT origin = {0, 0};
  ClientToScreen(window, &origin);
  int32_t fields[5] = {scaleFromDevice(origin.x), scaleFromDevice(origin.y), scaleFromDevice(c.right), scaleFromDevice(c.bottom), 0};
  if (r != nullptr) r->clientX = fields[0], r->clientY = fields[1], r->clientWidth = fields[2], r->clientHeight = fields[3];
  makeHostEvent(window, hevMoveSize, time, fields, smallIntegerFor(0), raw);
}

static void fillBackground(HWND window, HDC dc, WindowRecord* r) {
  RECT c;
  GetClientRect(window, &c);
  InflateRect(&c, 1, 1);
  HBRUSH brush = r != nullptr && r->background != nullptr ? r->background : static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH));
  HPALETTE old = nullptr;
  HPALETTE palette = r != nullptr && r->palette != nullptr ? r->palette : sharedPalette;
  if (palette != nullptr) old = SelectPalette(dc, palette, FALSE), RealizePalette(dc);
  SetBrushOrgEx(dc, 0, 0, nullptr);
  FillRect(dc, &c, brush);
  if (old != nullptr) SelectPalette(dc, old, FALSE);
}

static void postCharacterPairs(HWND window, int32_t time, WPARAM unit, LPARAM lParam, const MSG* raw) {
  PointerPlace p = pointerOf(window, true);
  if (byteStringMode) {
    UINT vk = MapVirtualKeyW((UINT(lParam) >> 16) & 0xFF, MAPVK_VSC_TO_VK);
    UINT c = vk != 0 ? MapVirtualKeyW(vk, MAPVK_VK_TO_CHAR) & 0xFFFF : 0;
    uint64_t state = c != 0 ? characterFor(uint64_t(uintptr_t(CharLowerW(reinterpret_cast<LPWSTR>(uintptr_t(c)))) & 0xFFFF))
                            : smallIntegerFor(0);
    for (int down = 1; down >= 0; down--)
      makeKeyEvent(window, time, p.x, p.y, p.x2, p.y2, down, buttonMask, characterFor(unit & 0xFFFF), state, raw);
    return;
  }
  wchar_t w = wchar_t(unit);
  char bytes[4];
  int n = WideCharToMultiByte(CP_ACP, 0, &w, 1, bytes, 4, nullptr, nullptr);
  for (int i = 0; i < n; i++)
    for (int down = 1; down >= 0; down--)
      makeKeyEvent(window, time, p.x, p.y, p.x2, p.y2, down, buttonMask, characterFor(uint8_t(bytes[i])), smallIntegerFor(0), raw);
}

static BOOL CALLBACK flushPendingExpose(HWND window, LPARAM) {
  WindowRecord* r = windowRecordOf(window);
  if (r == nullptr || !isClass(window, L"KLPX2") || IsIconic(window)) return TRUE;
  RECT update = {};
  GetUpdateRect(window, &update, FALSE);
  RECT all;
  UnionRect(&all, &update, &r->pendingUpdate);
  SetRectEmpty(&r->pendingUpdate);
  if (IsRectEmpty(&all)) return TRUE;
  ValidateRect(window, &all);
  int32_t fields[5] = {all.left, all.top, all.right - all.left, all.bottom - all.top, 0};
  makeHostEvent(window, hevExpose, GetMessageTime(), fields, smallIntegerFor(0), nullptr);
  return TRUE;
}

// The private messages; -1 when the message is not one of them.
static LRESULT privateMessage(HWND window, WindowRecord* r, UINT message, WPARAM wParam, LPARAM lParam, bool* handled) {
  *handled = true;
  switch (message) {
    case VMWM_DRAWMENUBAR: DrawMenuBar(window); return 1;
    case VMWM_SETFOCUS: SetFocus(window); return 1;
    case VMWM_SETWINDOWPOS: {
      auto* p = reinterpret_cast<const SetWindowPosParams*>(wParam);
      SetWindowPos(window, p->insertAfter, p->x, p->y, p->cx, p->cy, p->flags);
      return 1;
    }
    case VMWM_ENABLE: EnableWindow(window, wParam != 0); return 1;
    case VMWM_CALL: return reinterpret_cast<WindowCall>(wParam)(window, lParam);
    case VMWM_NCDEACTIVATE:
      if (HWND(lParam) != window) DefWindowProcW(window, WM_NCACTIVATE, FALSE, 0);
      return 1;
    case VMWM_DESTROY: {
      if (imeCleanupHook != nullptr) imeCleanupHook(window);
      if (GetActiveWindow() == window)
        for (HWND next = GetWindow(window, GW_HWNDNEXT); next != nullptr; next = GetWindow(next, GW_HWNDNEXT))
          if (IsWindowVisible(next)) {
            SetActiveWindow(next);
            break;
          }
      DestroyWindow(window);
      return 1;
    }
    case VMWM_UNMAP: ShowWindow(window, SW_HIDE), EnableWindow(window, FALSE); return 1;
    case VMWM_MAP:
      EnableWindow(window, TRUE);
      if (r != nullptr && r->collapsed) {
        ShowWindow(window, SW_SHOWMINIMIZED);
      } else {
        ShowWindow(window, SW_RESTORE);
        SetFocus(window);
        InvalidateRect(window, nullptr, TRUE);
        UpdateWindow(window);
      }
      return 1;
    case VMWM_RESTORE: ShowWindow(window, SW_RESTORE), InvalidateRect(window, nullptr, TRUE), UpdateWindow(window); return 1;
    case VMWM_MINIMIZE: ShowWindow(window, SW_SHOWMINIMIZED); return 1;
    case VMWM_POPUPHIDE: return 1;
    default: *handled = false; return 0;
  }
}

LRESULT CALLBACK vmWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  WindowRecord* r = message == WM_NCCREATE ? nullptr : windowRecordOf(window);
  int32_t time = GetMessageTime();
  MSG raw = {window, message, wParam, lParam, DWORD(time), {0, 0}};
  bool handled;
  LRESULT answer = privateMessage(window, r, message, wParam, lParam, &handled);
  if (handled) return answer;
  if (message >= VMWM_DRAWMENUBAR && message <= VMWM_POPUPHIDE) return DefWindowProcW(window, message, wParam, lParam);
  switch (message) {
    case WM_NULL: return 0;
    case WM_NCCREATE: {
      auto* create = reinterpret_cast<const CREATESTRUCTW*>(lParam);
      SetWindowLongPtrW(window, 0, LONG_PTR(create->lpCreateParams));
      postRaw(window, &raw);
      break;
    }
    case WM_DESTROY:
      makeHostEvent(window, hevDestroyed, time, nullptr, smallIntegerFor(0), &raw);
      if (imeCleanupHook != nullptr) imeCleanupHook(window);
      if (activeVMWindow == window) activeVMWindow = nullptr;
      SetWindowLongPtrW(window, 0, 0);
      free(r);
      return 0;
    case WM_MOVE:
    case WM_SIZE: {
      bool changed = false;
      // WM_MOVE's wParam is 0, SIZE_RESTORED: a move of a collapsed window expands it too.
      if (wParam == SIZE_MINIMIZED && r != nullptr && !r->collapsed) {
        r->collapsed = 1, changed = true;
        makeHostEvent(window, hevCollapse, time, nullptr, smallIntegerFor(0), &raw);
      } else if (r != nullptr && r->collapsed && !IsIconic(window) && (wParam == SIZE_MAXIMIZED || wParam == SIZE_RESTORED)) {
        r->collapsed = 0, changed = true;
        makeHostEvent(window, hevExpand, time, nullptr, smallIntegerFor(0), &raw);
      }
      if (!IsIconic(window)) postMoveSize(window, r, time, &raw);
      else if (!changed) postRaw(window, &raw);
      break;
    }
    case WM_ACTIVATE:
    case WM_CHILDACTIVATE: {
      PointerPlace p = pointerOf(window, true);
      syncModifiers(window, time, p, &raw);
      if (imeCleanupHook != nullptr) imeCleanupHook(window);
      buttonsSwapped = GetSystemMetrics(SM_SWAPBUTTON) != 0;
      bool activated = message == WM_CHILDACTIVATE || LOWORD(wParam) != WA_INACTIVE;
      if (activated) {
        activeVMWindow = window;
        pointerResyncPending = 1;
        postPointerEvent(window, hevActivate, time, p, int32_t(buttonMask), &raw);
      } else if (isClass(window, L"KLPX3") && !isClass(HWND(lParam), L"KLPX3")) {
        for (HWND w = GetTopWindow(nullptr); w != nullptr; w = GetWindow(w, GW_HWNDNEXT))
          if (w != window && IsWindowVisible(w) && isClass(w, L"KLPX3") &&
              GetWindowThreadProcessId(w, nullptr) == GetCurrentThreadId())
            PostMessageW(w, VMWM_POPUPHIDE, 0, 0);
      } else {
        postPointerEvent(window, hevDeactivate, time, p, int32_t(buttonMask), &raw);
      }
      break;
    }
    case WM_PAINT: {
      if (IsIconic(window)) {
        PAINTSTRUCT ps;
        HDC dc = BeginPaint(window, &ps);
        if (r != nullptr && r->largeIcon != nullptr) DrawIcon(dc, 0, 0, r->largeIcon);
        EndPaint(window, &ps);
        postRaw(window, &raw);
        return 0;
      }
      RECT u = {};
      GetUpdateRect(window, &u, FALSE);
      ValidateRect(window, &u);
      if (inSizeMove && r != nullptr) {
        UnionRect(&r->pendingUpdate, &r->pendingUpdate, &u);
        return 0;
      }
      int32_t fields[5] = {u.left, u.top, u.right - u.left, u.bottom - u.top, 0};
      makeHostEvent(window, hevExpose, time, fields, smallIntegerFor(0), &raw);
      return 0;
    }
    case WM_CLOSE: makeHostEvent(window, hevClose, time, nullptr, smallIntegerFor(0), &raw); return 0;
    case WM_QUERYENDSESSION:
      if (acceptQuitEvents == 0) return 0;
      makeHostEvent(window, hevQuit, time, nullptr, smallIntegerFor(0), &raw);
      sessionEnding = 1;
      pausePollThread(0);
      return 1;
    case WM_ERASEBKGND:
      if (dragFeedbackRunning) break;
      fillBackground(window, HDC(wParam), r);
      return 1;
    case WM_MOUSEACTIVATE: return 1;
    case WM_SYSCOLORCHANGE: {
      HostEvent e = {};
      e.kind = smallIntegerFor(hevSettings);
      e.state = smallIntegerFor(0);
      postHostEvent(&e);
      postRaw(window, &raw);
      break;
    }
    case WM_SETTINGCHANGE:
      if (wParam == SPI_SETDRAGFULLWINDOWS) {
        BOOL on = TRUE;
        SystemParametersInfoW(SPI_GETDRAGFULLWINDOWS, 0, &on, 0);
        fullWindowDrag = on;
      }
      postRaw(window, &raw);
      break;
    case WM_ACTIVATEAPP:
      if (wParam == 0) {
        PointerPlace p = pointerOf(window, true);
        syncModifiers(window, time, p, &raw);
        postPointerEvent(window, hevDeactivate, time, p, int32_t(buttonMask), &raw);
      }
      if (imeCleanupHook != nullptr) imeCleanupHook(window);
      applicationActive = wParam == 1;
      postRaw(window, &raw);
      break;
    case WM_SETCURSOR:
      if (LOWORD(lParam) == HTCLIENT && setVMCursorHook != nullptr && setVMCursorHook(window)) {
        postRaw(window, &raw);
        return 1;
      }
      postRaw(window, &raw);
      break;
    case WM_GETMINMAXINFO: {
      auto* info = reinterpret_cast<MINMAXINFO*>(lParam);
      if (r != nullptr) {
        if (r->minTrackWidth != 0) info->ptMinTrackSize.x = r->minTrackWidth;
        if (r->minTrackHeight != 0) info->ptMinTrackSize.y = r->minTrackHeight;
        if (r->maxTrackWidth != 0) info->ptMaxTrackSize.x = r->maxTrackWidth;
        if (r->maxTrackHeight != 0) info->ptMaxTrackSize.y = r->maxTrackHeight;
      }
      postRaw(window, &raw);
      return 0;
    }
    case WM_QUERYDRAGICON: return LRESULT(r != nullptr ? r->largeIcon : nullptr);
    case WM_NCACTIVATE:
      if (isClass(HWND(lParam), L"KLPX3")) {
        if (wParam) SendMessageW(HWND(lParam), VMWM_POPUPHIDE, 0, LPARAM(window));
        else wParam = 1;
      }
      postRaw(window, &raw);
      break;
    case WM_KEYDOWN:
    case WM_KEYUP:
    case WM_SYSKEYDOWN:
    case WM_SYSKEYUP: {
      PointerPlace p = pointerOf(window, true);
      syncModifiers(window, time, p, &raw);
      int down = message == WM_KEYDOWN || message == WM_SYSKEYDOWN;
      if (wParam == VK_SHIFT || wParam == VK_CONTROL) break;
      if (wParam == VK_MENU) return 1;
      uint64_t key = 0;
      bool ctrl = (buttonMask & maskCtrl) != 0;
      if (ctrl && (wParam == VK_BACK || wParam == VK_TAB)) key = characterFor(wParam == VK_BACK ? 8 : 9);
      else if (wParam == VK_DELETE) key = characterFor(127);
      else if (int code = keyCodeOf(wParam)) key = smallIntegerFor(code);
      if (key != 0) {
        makeKeyEvent(window, time, p.x, p.y, p.x2, p.y2, down, buttonMask, key, smallIntegerFor(0), &raw);
        return 0;
      }
      postRaw(window, &raw);
      break;
    }
    case WM_SYSCHAR:
      if (wParam == L' ') break;
      [[fallthrough]];
    case WM_CHAR: {
      PointerPlace p = pointerOf(window, true);
      syncModifiers(window, time, p, &raw);
      postCharacterPairs(window, time, wParam, lParam, &raw);
      return message == WM_SYSCHAR ? 1 : 0;
    }
    case WM_IME_STARTCOMPOSITION:
    case WM_IME_ENDCOMPOSITION:
    case WM_IME_COMPOSITION:
      if (imeMessageHook != nullptr && imeMessageHook(window, message, wParam, lParam)) return 1;
      postRaw(window, &raw);
      break;
    case WM_SYSCOMMAND:
      if ((wParam & 0xFFF0) == SC_KEYMENU && lParam == 0) return 1;
      break;
    case WM_MOUSEMOVE: {
      if (pointerResyncPending) {
        pointerResyncPending = 0;
        HostEvent e = {};
        e.kind = smallIntegerFor(hevButtonDown);
        if (activeVMWindow != nullptr) {
          PointerPlace a = pointerOf(activeVMWindow, true);
          e.x = a.x, e.y = a.y, e.x2 = a.x2, e.y2 = a.y2;
        }
        e.state = smallIntegerFor(readAsyncButtonState());
        e.time = time;
        postHostEvent(&e);
      }
      PointerPlace p = pointerFromLParam(window, lParam);
      syncModifiers(window, time, p, &raw);
      postPointerEvent(window, hevMotion, time, p, int32_t(buttonMask), &raw);
      return 0;
    }
    case WM_LBUTTONDOWN: case WM_MBUTTONDOWN: case WM_RBUTTONDOWN:
    case WM_LBUTTONUP: case WM_MBUTTONUP: case WM_RBUTTONUP:
    case WM_LBUTTONDBLCLK: case WM_MBUTTONDBLCLK: case WM_RBUTTONDBLCLK: {
      int physical = message == WM_LBUTTONDOWN || message == WM_LBUTTONUP || message == WM_LBUTTONDBLCLK ? 1
                     : message == WM_MBUTTONDOWN || message == WM_MBUTTONUP || message == WM_MBUTTONDBLCLK ? 2 : 3;
      int button = buttonsSwapped && physical != 2 ? 4 - physical : physical;
      uint32_t bit = button == 1 ? maskLeft : button == 2 ? maskMiddle : maskRight;
      bool up = message == WM_LBUTTONUP || message == WM_MBUTTONUP || message == WM_RBUTTONUP;
      bool dbl = message == WM_LBUTTONDBLCLK || message == WM_MBUTTONDBLCLK || message == WM_RBUTTONDBLCLK;
      PointerPlace p = pointerFromLParam(window, lParam);
      syncModifiers(window, time, p, &raw);
      if (up) {
        buttonMask &= ~bit;
        if ((buttonMask & (maskLeft | maskMiddle | maskRight)) == 0) ReleaseCapture();
      } else {
        buttonMask |= bit;
        SetCapture(window);
      }
      postPointerEvent(window, up ? hevButtonUp : dbl ? hevDoubleClick : hevButtonDown, time, p, button, &raw);
      return 0;
    }
    case WM_MOUSEWHEEL: {
      POINT screen = {short(LOWORD(lParam)), short(HIWORD(lParam))};
      POINT client = screen;
      ScreenToClient(window, &client);
      int32_t fields[5] = {client.x, client.y, screen.x, screen.y, int32_t(LOWORD(wParam))};
      makeHostEvent(window, hevWheel, time, fields, smallIntegerFor(-int64_t(short(HIWORD(wParam)))), &raw);
      return 0;
    }
    case WM_POWERBROADCAST: powerEventFlag = 1, postRaw(window, &raw); break;
    case WM_ENTERSIZEMOVE:
      if (repaintDuringResizeOrMove == 0 && fullWindowDrag) inSizeMove = 1;
      postRaw(window, &raw);
      break;
    case WM_EXITSIZEMOVE:
      if (inSizeMove) inSizeMove = 0, EnumThreadWindows(GetCurrentThreadId(), flushPendingExpose, 0);
      postRaw(window, &raw);
      break;
    case WM_QUERYNEWPALETTE: {
      if (applicationActive) return 0;
      HPALETTE palette = r != nullptr && r->palette != nullptr ? r->palette : sharedPalette;
      if (palette == nullptr) return 0;
      HDC dc = GetDC(window);
      HPALETTE old = SelectPalette(dc, palette, FALSE);
      UINT changed = RealizePalette(dc);
      SelectPalette(dc, old, FALSE);
      ReleaseDC(window, dc);
      if (changed != 0 || (r != nullptr && r->paletteUpdates != 0)) {
        InvalidateRect(window, nullptr, FALSE);
        if (r != nullptr) r->paletteUpdates = 0;
      }
      return 1;
    }
    case WM_PALETTECHANGED: {
      HPALETTE palette = r != nullptr && r->palette != nullptr ? r->palette : sharedPalette;
      if (HWND(wParam) != window && palette != nullptr) {
        HDC dc = GetDC(window);
        HPALETTE old = SelectPalette(dc, palette, TRUE);
        if (RealizePalette(dc) != 0) {
          if ((r != nullptr && r->paletteUpdates > 2) || (qrxOptions & 0x800000)) {
            InvalidateRect(window, nullptr, TRUE);
            if (r != nullptr) r->paletteUpdates = 0;
          } else {
            UpdateColors(dc);
            if (r != nullptr) r->paletteUpdates++;
          }
        }
        SelectPalette(dc, old, TRUE);
        ReleaseDC(window, dc);
      }
      postRaw(window, &raw);
      break;
    }
    case WM_TIMER: break;
    default: postRaw(window, &raw); break;
  }
  return DefWindowProcW(window, message, wParam, lParam);
}

// Menus and pop-ups disappear when the application loses activation; their owner's caption
// stays active while they are up.
LRESULT CALLBACK popupWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_CLOSE: return 0;
    case WM_ACTIVATEAPP:
      if (wParam == 0) ShowWindow(window, SW_HIDE), SendMessageW(window, VMWM_NCDEACTIVATE, 0, 0);
      break;
    case WM_NCACTIVATE: return DefWindowProcW(window, message, wParam, lParam);
    case VMWM_NCDEACTIVATE: {
      HWND parent = GetParent(window);
      if (parent != nullptr) SendMessageW(parent, VMWM_NCDEACTIVATE, 0, lParam);
      return 1;
    }
    case VMWM_POPUPHIDE:
      ShowWindow(window, SW_HIDE);
      if (lParam != 0) SendMessageW(window, VMWM_NCDEACTIVATE, 0, lParam);
      return 1;
    default: break;
  }
  return vmWindowProc(window, message, wParam, lParam);
}

LRESULT CALLBACK commandWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message != VMWM_CREATEWINDOW) return DefWindowProcW(window, message, wParam, lParam);
  auto* p = reinterpret_cast<const CreateWindowParams*>(lParam);
  return LRESULT(CreateWindowExW(p->exStyle, p->className, p->windowName, p->style, p->x, p->y, p->width, p->height,
                                 p->parent, p->menu, p->instance, p->parameter));
}

LRESULT CALLBACK feedbackWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  return message == WM_ERASEBKGND ? 1 : DefWindowProcW(window, message, wParam, lParam);
}
