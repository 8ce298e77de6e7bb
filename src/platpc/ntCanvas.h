// Windows window system: the layout shared by the canvas, event, display, drawing, font,
// clipboard, cursor, feedback, input-method and printing files of the Windows layer.
//
// Who provides what:
//   ntCanvas.cpp  - drawable handle bytes, WindowRecord, the command-window thread,
//                   createVMWindow, sendToWindowThread's callers, window/pixmap primitives,
//                   captureBitmapBits, commandWindow, virtual desktop.
//   ntEvent.cpp   - HostEvent, hostEventQueue, postHostEvent, makeHostEvent, makeKeyEvent,
//                   drainHostEvents, deliverHostEvent, the window procedures,
//                   sendToWindowThread, syncModifiers, the private VMWM_* messages.
//   ntDisplay.cpp - display scale and DPI, palettes, initGUIPrimitives, initWindowsGUI, the
//                   herald, guiSeams (the test seams over input and display).
//   ntGraphics.cpp, ntFont.cpp (wG2) - prepareDrawable, fonts and text, and set the hooks
//                   releaseDrawableDCHook, releaseCachedDCsHook, visibleRegionHook.
//   ntClipboard/ntPrint/ntCursor/ntFeedback/ntIme.cpp (wG3) - initClipboardPrimitives, and set
//                   the hooks imeWindowSetupHook, imeCleanupHook, imeMessageHook,
//                   setVMCursorHook; the feedback code sets dragFeedbackRunning.
//   The hooks are null until set: the canvas and event code call them only when set.
// Tests of the window system use tests/platpc/winGuiFixture.h; their suites are named
// WinGui_* (or Win_Graphics*, Win_Font*, Win_Clipboard*, Win_Print*, Win_Cursor*,
// Win_Feedback*, Win_Ime*) so that ctest lists them under the label wingui, run under Xvfb.
// Prefix: none (Windows-only names).
#pragma once
#include <windows.h>

#include <cstdint>
#include <cstring>

#include "mman/mmObject.h"

// ---- Drawable handle bytes -----------------------------------------------------------------

// The byte object in slot 0 of a window or pixmap object (little-endian, 40 bytes at least).
enum : uint32_t {
  handleBytesSize = 40,
  handleSerialAt = 0,   // uint64 serial in the handle registry: the window id
  handleOsAt = 8,       // uint64 HWND or HBITMAP
  handleDcAt = 16,      // uint64 DC cached by the drawing layer, 0 when none
  handleTypeAt = 24,    // uint32 drawableWindow / drawablePixmap / drawableBitmap
  handleKindAt = 28,    // uint32 kindWindowDrawable / kindPixmapDrawable / kindBitmapDrawable
  handleScaleXAt = 32,  // float
  handleScaleYAt = 36,  // float
};
enum : uint32_t { drawableWindow = 0, drawablePixmap = 1, drawableBitmap = 2 };
enum : uint32_t {
  kindWindowDrawable = 0x80000,
  kindPixmapDrawable = 0x20000,
  kindBitmapDrawable = 0x10000,  // one-bit pixmaps (primitive 901, one-bit clipboard copies)
  kindPrinterDrawable = 0x40000,
};

// Handle registry kinds of the window system's OS handles.
enum : uint32_t {
  regWindow = 0x800000,
  regBrush = 0x400000,
  regPalette = 0x80000,
  regIcon = 0x40000,
  regBitmap = 0x10000,
};

inline uint64_t hbRead64(const uint8_t* b, uint32_t at) { uint64_t v; memcpy(&v, b + at, 8); return v; }
inline uint32_t hbRead32(const uint8_t* b, uint32_t at) { uint32_t v; memcpy(&v, b + at, 4); return v; }
inline float hbReadFloat(const uint8_t* b, uint32_t at) { float v; memcpy(&v, b + at, 4); return v; }
inline void hbWrite64(uint8_t* b, uint32_t at, uint64_t v) { memcpy(b + at, &v, 8); }
inline void hbWrite32(uint8_t* b, uint32_t at, uint32_t v) { memcpy(b + at, &v, 4); }
inline void hbWriteFloat(uint8_t* b, uint32_t at, float v) { memcpy(b + at, &v, 4); }

// The handle bytes of a window or pixmap object: its slot 0 when the object has at least 3
// named slots and slot 0 is a byte object of at least 40 bytes; null otherwise.
uint8_t* drawableHandleBytes(oop drawable);
inline uint64_t drawableSerial(const uint8_t* b) { return hbRead64(b, handleSerialAt); }
inline HWND drawableWindowHandle(const uint8_t* b) { return reinterpret_cast<HWND>(hbRead64(b, handleOsAt)); }
inline HBITMAP drawableBitmapHandle(const uint8_t* b) { return reinterpret_cast<HBITMAP>(hbRead64(b, handleOsAt)); }
inline HDC drawableDC(const uint8_t* b) { return reinterpret_cast<HDC>(hbRead64(b, handleDcAt)); }
inline void setDrawableDC(uint8_t* b, HDC dc) { hbWrite64(b, handleDcAt, reinterpret_cast<uint64_t>(dc)); }
inline uint32_t drawableType(const uint8_t* b) { return hbRead32(b, handleTypeAt); }
inline uint32_t drawableKind(const uint8_t* b) { return hbRead32(b, handleKindAt); }
inline float drawableScaleX(const uint8_t* b) { return hbReadFloat(b, handleScaleXAt); }
inline float drawableScaleY(const uint8_t* b) { return hbReadFloat(b, handleScaleYAt); }
// A new 40-byte ByteArray holding the fields; 0 when there is no space.
oop newHandleBytes(uint64_t serial, uint64_t osHandle, uint32_t type, uint32_t kind, float scaleX, float scaleY);

// ---- Windows -------------------------------------------------------------------------------

// Kept in the window bytes of KLPX1-3 windows; zeroed at creation, freed at WM_DESTROY.
struct WindowRecord {
  int32_t minTrackWidth, minTrackHeight, maxTrackWidth, maxTrackHeight;  // 0 = system default
  int32_t clientX, clientY, clientWidth, clientHeight;                   // screen position
  RECT pendingUpdate;
  HPALETTE palette;
  HBRUSH background;
  HICON smallIcon, largeIcon;  // the large one is drawn when the window is iconic
  uint16_t type;               // low half of the type argument of primitive 906
  int32_t windowId;
  int32_t paletteUpdates;
  int32_t collapsed;
};

// The window kinds of primitive 906's type argument (low 16 bits) and its flag bits.
enum : uint32_t {
  windowPopupNoActivate = 0,
  windowDialog = 1,
  windowKind2 = 2,
  windowDialog3 = 3,
  windowModal = 4,
  windowToolTopmost = 5,
  windowPopup = 6,
  windowLayeredBar = 7,
  windowStartsCollapsed = 1u << 17,
  windowTopmost = 1u << 18,
};

// Private messages the VM thread sends to have windows changed on their own thread.
enum : UINT {
  VMWM_DRAWMENUBAR = 0xBFF3,
  VMWM_SETFOCUS = 0xBFF4,
  VMWM_SETWINDOWPOS = 0xBFF5,  // wParam: SetWindowPosParams*
  VMWM_ENABLE = 0xBFF6,        // wParam: enable flag
  VMWM_CALL = 0xBFF7,          // wParam: WindowCall, lParam: its argument
  VMWM_NCDEACTIVATE = 0xBFF8,
  VMWM_DESTROY = 0xBFF9,
  VMWM_UNMAP = 0xBFFA,
  VMWM_MAP = 0xBFFB,
  VMWM_RESTORE = 0xBFFC,
  VMWM_MINIMIZE = 0xBFFD,
  VMWM_CREATEWINDOW = 0xBFFE,  // lParam: CreateWindowParams*, only to the CommandWindow
  VMWM_POPUPHIDE = 0xBFFF,
};
typedef LRESULT (*WindowCall)(HWND window, LPARAM argument);

struct SetWindowPosParams {
  HWND insertAfter;
  int32_t x, y, cx, cy;
  uint32_t flags;
};

struct CreateWindowParams {
  uint32_t exStyle;
  const wchar_t* className;
  const wchar_t* windowName;
  uint32_t style;
  int32_t x, y, width, height;
  HWND parent;
  HMENU menu;
  HINSTANCE instance;
  void* parameter;
};

// ---- ntEntry.cpp ---------------------------------------------------------------------------

// Registers KLPX1-5 with their procedures and notes the virtual desktop; false on failure.
bool initWindowClasses(HINSTANCE instance);

// ---- ntCanvas.cpp --------------------------------------------------------------------------

extern HWND commandWindow;         // the hidden KLPX5 "CommandWindow", null until started
extern DWORD commandThreadId;      // the command-window thread
extern DWORD vmThreadId;           // the thread that called startCommandWindowThread
extern int saveBitsSetting;        // KLPX4's class style and the screen capture of 1103
extern HDC sharedMemoryDC;         // a memory DC of the VM thread for bitmap copies
// Starts the command-window thread, once, and waits 10 s at most for its window; fatal on
// failure (no window works without it). createVMWindow calls it for the first window.
void startCommandWindowThread();
HWND createVMWindow(HWND parent, int x, int y, int width, int height, uint32_t type,
                    int minW, int minH, int maxW, int maxH);
void freeWindowResources(HWND window);
WindowRecord* windowRecordOf(HWND window);  // null for a window without one
int captureBitmapBits(HBITMAP bitmap, uint8_t* buffer, int64_t length);
void initCanvases();
// The VM windows registered in the handle registry, bottom of the Z order first.
int registeredWindows(HWND* out, int capacity);

// ---- ntEvent.cpp ---------------------------------------------------------------------------

// One queued window event (88 bytes); its last 32 bytes are the raw message.
struct HostEvent {
  uint64_t window;  // window id
  uint64_t kind;    // SmallInteger oop of the event kind
  uint64_t state;   // SmallInteger oop: mask, minus the wheel delta, unshifted key; else 3
  uint64_t key;     // Character or SmallInteger oop for key events, else 0
  int32_t x, y, x2, y2;
  int32_t extra;
  int32_t time;
  struct {
    int32_t zero, windowId, message, pad;
    uint64_t wParam, lParam;
  } raw;
};
static_assert(sizeof(HostEvent) == 88, "HostEvent is 88 bytes");
enum { hostEventCapacity = 1024 };

// Event kinds.
enum : int {
  hevOther = 0, hevKeyDown = 1, hevKeyUp = 2, hevButtonDown = 3, hevButtonUp = 4, hevMotion = 5,
  hevActivate = 6, hevDeactivate = 7, hevExpose = 8, hevMoveSize = 9, hevClose = 10,
  hevCollapse = 11, hevExpand = 12, hevSettings = 13, hevDestroyed = 14, hevWheel = 17,
  hevQuit = 18, hevDoubleClick = 19, hevIme = 20,
};
// The process-wide button/modifier mask bits.
enum : uint32_t { maskLeft = 1, maskMiddle = 2, maskRight = 4, maskShift = 0x100, maskCtrl = 0x200, maskAlt = 0x800 };

int initHostEventQueue();
void postHostEvent(const HostEvent* event);
void makeHostEvent(HWND window, int kind, int32_t time, const int32_t* fields5, uint64_t state, const MSG* raw);
void makeKeyEvent(HWND window, int32_t time, int32_t x, int32_t y, int32_t x2, int32_t y2, int isDown,
                  uint32_t mask, uint64_t key, uint64_t state, const MSG* raw);
void drainHostEvents(void (*deliver)(const HostEvent*));
void deliverHostEvent(const HostEvent* event);
int hostEventCount();
void registerEventNamedObjects();  // "RepaintDuringResizeOrMove"
// pdSynchronizeInput, then SendMessageW: the window changes after queued events are delivered.
LRESULT sendToWindowThread(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
LRESULT CALLBACK vmWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
LRESULT CALLBACK popupWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
LRESULT CALLBACK commandWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
LRESULT CALLBACK feedbackWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
extern uint32_t buttonMask;      // command-window thread only
extern HWND activeVMWindow;
extern int dragFeedbackRunning;  // set by the feedback code while it drags

// ---- ntDisplay.cpp -------------------------------------------------------------------------

extern float displayScale;     // 1.0, or the DPI / 96 with "useWindowsHiDPI"
extern int displayDpi;         // logical pixels per inch of the screen
extern int displayDepth;       // bits per pixel of the screen
extern int paletteMode;        // the display has a palette (8 bits or fewer)
extern HPALETTE sharedPalette; // null unless paletteMode
extern uint64_t paletteSize;   // colours of the display's palette, or 2^depth
// Reads the display (DPI, scale, depth, palette) on the first use of the window system; a
// primitive that may come before any window or pixmap calls it before reading the state above.
void ensureDisplay();
int scaleToDevice(int logical);  // image coordinates to pixels (by the display DPI)
// A colour of the image as a COLORREF: palette-relative in palette mode, else RGB with
// negative values negated; 5-5-5 on a 16-bit display.
COLORREF colourOf(int64_t value);
// Primitive 996's answer {kind, data}; 0 when it cannot be made.
oop displayColourDescription();
// Entries 10-245 of the default (second = 0) or second built-in 256-colour table.
void builtInPaletteTable(int second, uint32_t table[256]);
HWND heraldWindow();             // the splash window, null when none is up
const wchar_t* heraldWindowText();
int windowDpiOf(HWND window);
void removeSplash();
// The one test seam of the window system: what Wine cannot produce on demand.
struct GuiSeams {
  SHORT (WINAPI* getKeyState)(int virtualKey);
  SHORT (WINAPI* getAsyncKeyState)(int virtualKey);
  BOOL (WINAPI* getCursorPos)(POINT* point);
  LONG (WINAPI* immGetCompositionStringW)(HIMC context, DWORD index, void* buffer, DWORD bytes);
  BOOL (WINAPI* playSoundW)(const wchar_t* sound, HMODULE module, DWORD flags);
  int (*displayDepth)();  // bits per pixel of the screen
};
extern GuiSeams guiSeams;
void initGUIPrimitives();
void initWindowsGUI();

// ---- ntGraphics.cpp, ntFont.cpp (wG2) ------------------------------------------------------

// The DC to draw into for a window or pixmap's handle bytes, cached in them; null on failure.
HDC prepareDrawable(uint8_t* handleBytes);

// ---- Hooks the other files fill (defined null in ntCanvas.cpp; set from their init) --------

// wG2: releases the drawing layer's DC of a window or pixmap (primitives 940, 971).
extern void (*releaseDrawableDCHook)(uint8_t* handleBytes);
// wG2: the DC-release hook of idleWait.
extern void (*releaseCachedDCsHook)();
// wG2: the bounding box of the part of area (client coordinates) that the window's visible
// region does not cover (hidden != 0) or covers; false when empty.
extern bool (*visibleRegionHook)(HWND window, const RECT* area, int hidden, RECT* box);
// wG3 (input methods): set-up of a new window (run on the window thread through VMWM_CALL),
// clean-up at WM_DESTROY, activation changes and VMWM_DESTROY, and the WM_IME_* messages
// (true when handled).
extern WindowCall imeWindowSetupHook;
extern void (*imeCleanupHook)(HWND window);
extern bool (*imeMessageHook)(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
// wG3 (cursors): WM_SETCURSOR in the client area; true when a VM cursor was set.
extern bool (*setVMCursorHook)(HWND window);

// ---- wG3's files ---------------------------------------------------------------------------

void initClipboardPrimitives();  // ntClipboard.cpp: primitives 910, 911
