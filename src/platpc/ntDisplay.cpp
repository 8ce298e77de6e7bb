// Windows window system: the display (DPI awareness, scale, colour depth, the shared
// palette and its two built-in tables), the window system's start-up, the splash window of
// the herald and the release-identification box. Owns the display state, guiSeams and the
// splash. Prefix: pd (pdHerald, pdReportVersion); none (initGUIPrimitives, initWindowsGUI, ...).
#include "platpc/ntCanvas.h"
#include "platpc/ntFont.h"
#include "platpc/ntGraphics.h"

#include <mmsystem.h>

#include <cstdio>
#include <cwchar>
#include <initializer_list>

#include "ext/exError.h"
#include "ext/exOption.h"
#include "ext/exPrimTable.h"
#include "ext/platform.h"
#include "mman/mmAllocate.h"
#include "mman/mmPrimUtil.h"
#include "mman/mmSysOop.h"
#include "platpc/ntCursor.h"
#include "platpc/ntFeedback.h"
#include "platpc/ntMain.h"
#include "platpc/ntPrint.h"
#include "prim/prDouble.h"
#include "prim/prEnviron.h"
#include "prim/prInQueue.h"

float displayScale = 1.0f;
int displayDpi = 96;
int displayDepth = 32;
int paletteMode;
HPALETTE sharedPalette;
uint64_t paletteSize;
static uint32_t useWindowsHiDPI;
static uint64_t sharedPaletteEntries[256];  // PALETTEENTRY words of the shared palette

static int screenDepth() {
  HDC dc = GetDC(nullptr);
  int depth = GetDeviceCaps(dc, PLANES) * GetDeviceCaps(dc, BITSPIXEL);
  ReleaseDC(nullptr, dc);
  return depth;
}

static BOOL WINAPI playSoundThroughWinmm(const wchar_t* sound, HMODULE module, DWORD flags) {
  // Loaded on first use: most runs never play a sound.
  typedef BOOL(WINAPI * PlaySoundFn)(const wchar_t*, HMODULE, DWORD);
  static PlaySoundFn play = reinterpret_cast<PlaySoundFn>(
      reinterpret_cast<void*>(GetProcAddress(LoadLibraryW(L"winmm.dll"), "PlaySoundW")));
  return play != nullptr && play(sound, module, flags);
}

static LONG WINAPI noCompositionString(HIMC, DWORD, void*, DWORD) { return 0; }

GuiSeams guiSeams = {GetKeyState, GetAsyncKeyState, GetCursorPos, noCompositionString, playSoundThroughWinmm, screenDepth};

int scaleToDevice(int logical) { return displayDpi == 96 ? logical : MulDiv(logical, displayDpi, 96); }
int windowDpiOf(HWND) { return displayDpi; }

// ---- Reports -------------------------------------------------------------------------------

// DPI and depth problems leave the display usable: they are Errors, not Fatal.
static const char displaySource[] = __FILE__;
static void displayError(const char* message, uint32_t cause, int line) {
  doReportError(message, errPlatformLayer | errError | cause, displaySource, line);
}

// ---- Palettes ------------------------------------------------------------------------------

// Entries 10-245 of a built-in table (0x00BBGGRR): 14 greys, a 172-colour cube without its
// eight corners, white or black to the end.
void builtInPaletteTable(int second, uint32_t table[256]) {
  static const uint8_t greys2[14] = {0x4A, 0x66, 0x7B, 0x8C, 0x9B, 0xA8, 0xB4, 0xC0, 0xCA, 0xD4, 0xDD, 0xE6, 0xEF, 0xF7};
  static const uint8_t blue1[5] = {0x00, 0x40, 0x80, 0xBF, 0xFF}, blue2[5] = {0x00, 0x88, 0xBA, 0xE0, 0xFF};
  static const uint8_t rg1[6] = {0x00, 0x33, 0x66, 0x99, 0xCC, 0xFF}, rg2[6] = {0x00, 0x7B, 0xA8, 0xCA, 0xE6, 0xFF};
  const uint8_t* blue = second ? blue2 : blue1;
  const uint8_t* rg = second ? rg2 : rg1;
  for (int i = 0; i < 256; i++) table[i] = 0;
  for (int k = 1; k <= 14; k++) {
    uint32_t g = second ? greys2[k - 1] : uint32_t(0x11 * k);
    table[9 + k] = g | g << 8 | g << 16;
  }
  int e = 24;
  for (int gi = 0; gi < 6; gi++)
    for (int ri = 0; ri < 6; ri++)
      for (int bi = 0; bi < 5; bi++) {
        bool corner = (bi == 0 || bi == 4) && (ri == 0 || ri == 5) && (gi == 0 || gi == 5);
        if (!corner && e < 196) table[e++] = uint32_t(rg[ri]) | uint32_t(rg[gi]) << 8 | uint32_t(blue[bi]) << 16;
      }
  for (int i = 196; i < 246; i++) table[i] = second ? 0 : 0xFFFFFF;
}

static void freeSharedPalette() {
  if (sharedPalette != nullptr) DeleteObject(sharedPalette);
  sharedPalette = nullptr;
}

// The shared palette of a display of 8 bits or fewer, its 256-entry middle from a table.
static void initDisplayPalette(HDC dc, const uint32_t* table) {
  freeSharedPalette();
  bool own = dc == nullptr;
  if (own) dc = GetDC(nullptr);
  int depth = GetDeviceCaps(dc, PLANES) * GetDeviceCaps(dc, BITSPIXEL);
  if (depth == 2) depth = 4;
  paletteSize = (GetDeviceCaps(dc, RASTERCAPS) & RC_PALETTE) ? uint64_t(GetDeviceCaps(dc, SIZEPALETTE)) : uint64_t(GetDeviceCaps(dc, NUMCOLORS));
  if (depth >= 9) paletteSize = uint64_t(1) << (depth < 24 ? depth : 24);
  if (depth < 9 && paletteSize > 0 && paletteSize <= 256) {
    struct {
      WORD version, count;
      PALETTEENTRY entries[256];
    } block = {0x300, WORD(paletteSize), {}};
    if (paletteSize < 3) {
      block.count = 2;
      block.entries[1] = {255, 255, 255, 0};
    } else {
      for (uint64_t i = 0; i < paletteSize; i++) {
        block.entries[i] = {BYTE(i), BYTE(i >> 8), 0, PC_EXPLICIT};
      }
      HPALETTE explicitPalette = CreatePalette(reinterpret_cast<LOGPALETTE*>(&block));
      HPALETTE old = SelectPalette(dc, explicitPalette, FALSE);
      RealizePalette(dc);
      for (uint64_t i = 0; i < paletteSize; i++) {
        COLORREF c = GetNearestColor(dc, COLORREF(0x1000000 + i));
        block.entries[i] = {GetRValue(c), GetGValue(c), GetBValue(c), 0};
      }
      SelectPalette(dc, old, FALSE);
      DeleteObject(explicitPalette);
      if (paletteSize == 256 && table != nullptr)
        for (int i = 10; i < 246; i++)
          block.entries[i] = {BYTE(table[i]), BYTE(table[i] >> 8), BYTE(table[i] >> 16), 0};
    }
    for (int i = 0; i < block.count; i++) memcpy(&sharedPaletteEntries[i], &block.entries[i], 4);
    sharedPalette = CreatePalette(reinterpret_cast<LOGPALETTE*>(&block));
  }
  if (own) ReleaseDC(nullptr, dc);
}

static void initDisplay() {
  if (useWindowsHiDPI) {
    HMODULE shcore = LoadLibraryW(L"SHCore.dll");
    typedef HRESULT(WINAPI * AwarenessFn)(int);
    AwarenessFn set = shcore != nullptr ? reinterpret_cast<AwarenessFn>(reinterpret_cast<void*>(GetProcAddress(shcore, "SetProcessDpiAwareness"))) : nullptr;
    if (set != nullptr) {
      if (set(2) != S_OK) displayError("no dpi aware", 0, __LINE__);
    } else {
      if (shcore != nullptr) displayError("no dpi aware function in SHCore", 0, __LINE__);
      if (SetProcessDPIAware() != 1) displayError("no dpi aware", 0, __LINE__);
    }
  }
  HDC dc = GetDC(nullptr);
  displayDpi = useWindowsHiDPI ? GetDeviceCaps(dc, LOGPIXELSX) : 96;
  ReleaseDC(nullptr, dc);
  if (displayDpi <= 0) displayDpi = 96;
  displayScale = float(displayDpi) / 96.0f;
  int depth = guiSeams.displayDepth();
  if (depth == 2) depth = 4;
  if (depth != 4 && depth != 8 && depth != 16 && depth != 24 && depth != 32 && depth != 1) {
    displayError("Unsupported color depth for display", errCausePlatform, __LINE__);
    return;
  }
  displayDepth = depth;
  paletteMode = depth == 4 || depth == 8;
}

static int displayReady;

static void rebuildDisplay() {
  displayReady = 1;
  uint32_t table[256];
  builtInPaletteTable((qrxOptions & 0x200000000ULL) != 0, table);
  initDisplayPalette(nullptr, table);
  initDisplay();
}

// The display is read when the window system is first used, not at start-up: a run that
// never opens a window never touches the window station.
void ensureDisplay() {
  if (!displayReady) rebuildDisplay();
}

// ---- Primitives ----------------------------------------------------------------------------

static oop fail(uint32_t code, uint64_t numArgs) { return failPrimitive(primErrorAt(code), numArgs); }

static bool slotZeroIsBytes(oop receiver) {
  if (!isHeapObject(receiver) || !hasPtrs(headerOf(receiver)) || bodyWordsOf(headerOf(receiver)) < 1) return false;
  oop s = slotOf(receiver, 0);
  return isHeapObject(s) && !hasPtrs(headerOf(s));
}

// 930
static oop primResetDisplay(oop receiver) {
  rebuildDisplay();
  return receiver;
}

// 960
static oop primResetDisplayBytes(oop) {
  rebuildDisplay();
  ObjectHeader* h = allocVSObj(sysOop(sysByteArrayClass), 8);
  if (h == nullptr) return fail(primErrNoSpace, 1);
  memset(bodyOf(h), 0, 8);
  return oopOf(h);
}

static oop newArrayOf(std::initializer_list<int64_t> values) {
  ObjectHeader* h = allocVSObj(sysOop(sysArrayClass), values.size());
  if (h == nullptr) return 0;
  int i = 0;
  for (int64_t v : values) bodyOf(h)[i++] = smallIntegerFor(v);
  return oopOf(h);
}

oop displayColourDescription() {
  ensureDisplay();
  oop data = 0;
  int64_t kind = 1;
  if (displayDepth == 16) {
    data = newArrayOf({10, 31, 5, 31, 0, 31});
  } else if (displayDepth == 24 || displayDepth == 32) {
    data = newArrayOf({0, 255, 8, 255, 16, 255});
  } else if (displayDepth <= 8) {
    kind = 0;
    uint64_t n = uint64_t(1) << displayDepth;
    ObjectHeader* colours = allocVSObj(sysOop(sysArrayClass), n);
    if (colours == nullptr) return 0;
    for (uint64_t i = 0; i < n; i++) bodyOf(colours)[i] = nilOop();
    for (uint64_t i = 0; i < n; i++) {
      PALETTEENTRY e;
      memcpy(&e, &sharedPaletteEntries[i < 256 ? i : 0], 4);
      ObjectHeader* rgb = allocVSObj(sysOop(sysArrayClass), 3);
      if (rgb == nullptr) return 0;
      for (int k = 0; k < 3; k++) bodyOf(rgb)[k] = nilOop();
      bodyOf(colours)[i] = oopOf(rgb);
      const BYTE parts[3] = {e.peRed, e.peGreen, e.peBlue};
      for (int k = 0; k < 3; k++) {
        oop f = newFloatBox(float(double(parts[k]) / 255.0));
        if (f == 0) return 0;
        bodyOf(rgb)[k] = f;
      }
    }
    data = oopOf(colours);
  }
  if (data == 0) return 0;
  ObjectHeader* a = allocVSObj(sysOop(sysArrayClass), 2);
  if (a == nullptr) return 0;
  bodyOf(a)[0] = smallIntegerFor(kind);
  bodyOf(a)[1] = data;
  return oopOf(a);
}

// 996: the display's colour description.
static oop primColourDescription(oop receiver) {
  if (!slotZeroIsBytes(receiver)) return fail(primErrGeneral, 0);
  oop d = displayColourDescription();
  return d != 0 ? d : fail(primErrGeneral, 0);
}

// 705: the bell.
static oop primBeep(oop receiver) {
  if (!slotZeroIsBytes(receiver)) return fail(primErrGeneral, 0);
  MessageBeep(1);
  return receiver;
}

// 912: the pointer to a screen point.
static oop primSetCursorPosition(oop receiver, oop point) {
  if (!slotZeroIsBytes(receiver)) return fail(primErrBadReceiver, 1);
  if (!isHeapObject(point) || !isKindOf(point, sysOop(sysPointClass)) || bodyWordsOf(headerOf(point)) < 2 ||
      !isSmallInteger(slotOf(point, 0)) || !isSmallInteger(slotOf(point, 1)))
    return failPrimitive(cloneErrorWith(primErrorAt(primErrBadArgument), smallIntegerFor(1)), 1);
  SetCursorPos(int(smallIntegerValue(slotOf(point, 0))), int(smallIntegerValue(slotOf(point, 1))));
  return receiver;
}

// ---- Start-up ------------------------------------------------------------------------------

static RegisteredNamedObject hiDpiRecord = {"useWindowsHiDPI", uint64_t(&useWindowsHiDPI), regBoolean, 0, namedFlag, 0};

// At exit: the drawing layer's cached DCs, the memory DC and the shared palette.
static void terminateWindow() {
  if (releaseCachedDCsHook != nullptr) releaseCachedDCsHook();
  if (sharedMemoryDC != nullptr) DeleteDC(sharedMemoryDC), sharedMemoryDC = nullptr;
  freeSharedPalette();
}

void initWindowsGUI() {
  pdTerminateWindow = terminateWindow;
  registerEventNamedObjects();
  if (findRegisteredName(hiDpiRecord.name, strlen(hiDpiRecord.name)) == nullptr) addRegisteredNamedObject(&hiDpiRecord);
  addCPrimitive(930, (const void*)primResetDisplay, 0);
  addCPrimitive(996, (const void*)primColourDescription, 0);
  // The drawing layer, bitmaps and fonts start here, before the canvases.
  initGraphicsContexts();
  initFontPrimitives();
  initCanvases();
  // Drag feedback, cursors, printing and error names start here, after the canvases.
  initFeedbackPrimitives();
  initCursorPrimitives();
  initPrinterPrimitives();
}

void initGUIPrimitives() {
  initInput();
  initClipboardPrimitives();
  addCPrimitive(912, (const void*)primSetCursorPosition, 1);
  addCPrimitive(705, (const void*)primBeep, 0);
  addCPrimitive(960, (const void*)primResetDisplayBytes, 1);
  initWindowsGUI();
}

// ---- The herald ----------------------------------------------------------------------------

static wchar_t heraldText[512];
static HWND splashWindow;
static BITMAPINFOHEADER* heraldBitmap;  // header, colour table, bits
static HPALETTE heraldPalette;
static int heraldTextHeight;

static int colourCountOf(const BITMAPINFOHEADER* h) {
  if (h->biClrUsed != 0) return int(h->biClrUsed);
  return h->biBitCount < 24 ? 1 << h->biBitCount : 0;
}

static const uint8_t* heraldBits() {
  return reinterpret_cast<const uint8_t*>(heraldBitmap) + heraldBitmap->biSize + colourCountOf(heraldBitmap) * 4;
}

static void appendHeraldText(const wchar_t* more) {
  if (wcslen(heraldText) + wcslen(more) < 512) wcscat(heraldText, more);
}

// The file at heraldBitmapPath: "BM", a 40-byte info header, read whole; the colour table
// moved up against the header when the bits offset leaves a gap.
static void loadHeraldBitmapFile() {
  HANDLE f = CreateFileW(heraldBitmapPath, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (f == INVALID_HANDLE_VALUE) {
    appendHeraldText(L"\nBitmap: ");
    appendHeraldText(heraldBitmapPath);
    appendHeraldText(L" not found");
    return;
  }
  DWORD size = GetFileSize(f, nullptr), got = 0;
  auto* file = static_cast<uint8_t*>(size != INVALID_FILE_SIZE && size > 54 ? malloc(size) : nullptr);
  bool whole = file != nullptr && ReadFile(f, file, size, &got, nullptr) && got == size;
  CloseHandle(f);
  BITMAPFILEHEADER fh;
  if (whole) memcpy(&fh, file, sizeof fh);
  auto* info = whole ? reinterpret_cast<BITMAPINFOHEADER*>(file + 14) : nullptr;
  if (!whole || fh.bfType != 0x4D42 || info->biSize != 40 || fh.bfOffBits > size || info->biWidth <= 0) {
    free(file);
    return;
  }
  int colours = colourCountOf(info);
  uint64_t bitsBytes = size - fh.bfOffBits, need = 40 + uint64_t(colours) * 4 + bitsBytes;
  if (14 + 40 + uint64_t(colours) * 4 > fh.bfOffBits) {
    free(file);
    return;
  }
  heraldBitmap = static_cast<BITMAPINFOHEADER*>(malloc(need));
  if (heraldBitmap != nullptr) {
    memcpy(heraldBitmap, info, 40 + colours * 4);
    memcpy(reinterpret_cast<uint8_t*>(heraldBitmap) + 40 + colours * 4, file + fh.bfOffBits, bitsBytes);
  }
  free(file);
}

// Bitmap resource 324 of the program: a packed DIB.
static bool loadHeraldBitmapResource() {
  HRSRC found = FindResourceW(moduleInstance, MAKEINTRESOURCEW(324), MAKEINTRESOURCEW(2));
  HGLOBAL loaded = found != nullptr ? LoadResource(moduleInstance, found) : nullptr;
  DWORD size = found != nullptr ? SizeofResource(moduleInstance, found) : 0;
  if (loaded == nullptr || size < 40) return false;
  heraldBitmap = static_cast<BITMAPINFOHEADER*>(malloc(size));
  if (heraldBitmap == nullptr) return false;
  memcpy(heraldBitmap, LockResource(loaded), size);
  return true;
}

static void makeHeraldPalette() {
  int n = colourCountOf(heraldBitmap);
  if (n <= 0 || n > 256) return;
  struct {
    WORD version, count;
    PALETTEENTRY entries[256];
  } block = {0x300, WORD(n), {}};
  auto* table = reinterpret_cast<const RGBQUAD*>(reinterpret_cast<const uint8_t*>(heraldBitmap) + heraldBitmap->biSize);
  for (int i = 0; i < n; i++) block.entries[i] = {table[i].rgbRed, table[i].rgbGreen, table[i].rgbBlue, 0};
  heraldPalette = CreatePalette(reinterpret_cast<LOGPALETTE*>(&block));
}

static void paintHerald(HWND window, HDC dc) {
  RECT c;
  GetClientRect(window, &c);
  RECT text = c;
  if (heraldBitmap != nullptr) {
    HPALETTE old = heraldPalette != nullptr ? SelectPalette(dc, heraldPalette, FALSE) : nullptr;
    if (old != nullptr) RealizePalette(dc);
    SetDIBitsToDevice(dc, 0, 0, DWORD(heraldBitmap->biWidth), DWORD(abs(heraldBitmap->biHeight)), 0, 0, 0,
                      UINT(abs(heraldBitmap->biHeight)), heraldBits(), reinterpret_cast<BITMAPINFO*>(heraldBitmap),
                      DIB_RGB_COLORS);
    if (old != nullptr) SelectPalette(dc, old, FALSE);
    text.top = c.bottom - heraldTextHeight;
  } else {
    text.top = (c.bottom - heraldTextHeight) / 2;
  }
  SetBkMode(dc, TRANSPARENT);
  DrawTextW(dc, heraldText, -1, &text, DT_WORDBREAK | DT_CENTER);
}

static void placeHerald(HWND window) {
  HDC dc = GetDC(window);
  RECT measure = {0, 0, heraldBitmap != nullptr ? heraldBitmap->biWidth : 2000, 0};
  heraldTextHeight = DrawTextW(dc, heraldText, -1, &measure, DT_CALCRECT | DT_WORDBREAK | DT_CENTER);
  ReleaseDC(window, dc);
  int width = heraldBitmap != nullptr ? heraldBitmap->biWidth : measure.right + 20;
  int height = heraldBitmap != nullptr ? abs(heraldBitmap->biHeight) + heraldTextHeight : heraldTextHeight + 20;
  int fx = GetSystemMetrics(SM_CXDLGFRAME) + GetSystemMetrics(SM_CXBORDER);
  int fy = GetSystemMetrics(SM_CYDLGFRAME) + GetSystemMetrics(SM_CYBORDER);
  width += 2 * fx, height += 2 * fy;
  const RECT& d = virtualDesktopRect;
  SetWindowPos(window, nullptr, (d.right - width - 3 * fx) / 2, (d.bottom - height - 2 * fy - fx) / 2, width, height,
               SWP_NOZORDER | SWP_SHOWWINDOW);
}

static LRESULT CALLBACK heraldWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_CREATE: {
      HRSRC sound = FindResourceW(moduleInstance, MAKEINTRESOURCEW(326), MAKEINTRESOURCEW(326));
      HGLOBAL loaded = sound != nullptr ? LoadResource(moduleInstance, sound) : nullptr;
      if (loaded != nullptr)
        guiSeams.playSoundW(static_cast<const wchar_t*>(LockResource(loaded)), nullptr, SND_MEMORY | SND_ASYNC | SND_NODEFAULT | SND_NOWAIT);
      else if (heraldSoundPath[0] != 0)
        guiSeams.playSoundW(heraldSoundPath, nullptr, SND_FILENAME | SND_ASYNC | SND_NODEFAULT | SND_NOWAIT);
      if (showHerald) {
        if (!loadHeraldBitmapResource()) loadHeraldBitmapFile();
        if (heraldBitmap != nullptr) makeHeraldPalette();
      }
      SetCursor(LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_WAIT)));
      placeHerald(window);
      return 0;
    }
    case WM_ERASEBKGND: {
      DefWindowProcW(window, message, wParam, lParam);
      paintHerald(window, HDC(wParam));
      return 1;
    }
    case WM_PAINT: {
      PAINTSTRUCT ps;
      HDC dc = BeginPaint(window, &ps);
      paintHerald(window, dc);
      EndPaint(window, &ps);
      return 1;
    }
    case WM_DESTROY:
      free(heraldBitmap);
      heraldBitmap = nullptr;
      if (heraldPalette != nullptr) DeleteObject(heraldPalette), heraldPalette = nullptr;
      splashWindow = nullptr;
      return 0;
    case WM_ACTIVATE: return 0;
    default: return DefWindowProcW(window, message, wParam, lParam);
  }
}

void removeSplash() {
  if (splashWindow == nullptr) return;
  DestroyWindow(splashWindow);
  splashWindow = nullptr;
  UnregisterClassW(L"KLPXH", moduleInstance);
}

static void informSystemReady() { removeSplash(); }

void pdHerald(const char* text) {
  int n = MultiByteToWideChar(CP_ACP, 0, text, -1, nullptr, 0);
  wchar_t* wide = static_cast<wchar_t*>(calloc(size_t(n > 0 ? n : 1), sizeof(wchar_t)));
  if (wide != nullptr && n > 0) MultiByteToWideChar(CP_ACP, 0, text, -1, wide, n);
  // Each LF preceded by CR; at most 511 units.
  int k = 0;
  for (int i = 0; wide != nullptr && wide[i] != 0 && k < 511; i++) {
    if (wide[i] == L'\n' && (i == 0 || wide[i - 1] != L'\r')) {
      if (k + 2 > 511) break;
      heraldText[k++] = L'\r';
    }
    heraldText[k++] = wide[i];
  }
  heraldText[k] = 0;
  free(wide);
  if (!showHerald) return;
  if (_wcsicmp(heraldBitmapPath, L"none") == 0) showHerald = 0;
  pdInformSystemReady = informSystemReady;
  WNDCLASSEXW c = {};
  c.cbSize = sizeof c;
  c.style = 0x1003;
  c.lpfnWndProc = heraldWindowProc;
  c.hInstance = moduleInstance;
  c.hCursor = LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_WAIT));
  c.hbrBackground = static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH));
  c.lpszClassName = L"KLPXH";
  RegisterClassExW(&c);
  splashWindow = CreateWindowExW(WS_EX_TOOLWINDOW | WS_EX_DLGMODALFRAME, L"KLPXH", applicationName, WS_POPUP | WS_VISIBLE,
                                 0, 0, 0, 0, nullptr, nullptr, moduleInstance, nullptr);
  if (splashWindow != nullptr) UpdateWindow(splashWindow);
}

HWND heraldWindow() { return splashWindow; }
const wchar_t* heraldWindowText() { return heraldText; }

void pdReportVersion(const char* banner, unsigned vmVersion, unsigned vmPlatform, unsigned vmRelease, unsigned vmFlags,
                     const uint8_t* sig, const uint8_t* fromId) {
  char text[1024];
  snprintf(text, sizeof text,
           "%s\n%s\nRelease Identification:\n\tVM   version: %u platform: %u release: %u.%u flags: %u\n"
           "\tVI   version: %d minor: %d release: %d variant: %d\n"
           "\tFrom version: %d platform: %d release: %d.%d flags: %d",
           banner, "This engine runs images made for it; see README.md.", vmVersion, vmPlatform, vmRelease,
           (vmFlags >> 4) + 1, vmFlags & 15, sig[0], sig[1], sig[2], sig[3], fromId[0], fromId[1], fromId[2],
           (fromId[3] >> 4) + 1, fromId[3] & 15);
  if (consoleMode) {
    printf("%s\n", text);
    fflush(stdout);
  } else {
    wchar_t wide[1024];
    if (MultiByteToWideChar(CP_ACP, 0, text, -1, wide, 1024) == 0) wide[0] = 0;
    messageBoxW(nullptr, wide, L"Release identification codes", MB_OK);
  }
}
