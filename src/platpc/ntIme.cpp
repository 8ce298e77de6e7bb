// Windows layer: input methods. Every IMM32 call runs on the command-window thread: the
// message handlers run there, and the routines the image calls hop there with VMWM_CALL. A
// VM window has no input context until "imeSetSpot" gives it one; "imeDisable" takes it
// away again and swallows composition messages until then.
// Owns imeState.
// Prefix: none (initInputMethods, postImeResult, imeWindowMessage, ime* routines).
#include "platpc/ntIme.h"

#include <imm.h>

#include "platpc/ntCanvas.h"
#include "platpc/ntMain.h"
#include "prim/prLinkRegistry.h"

ImeState imeState;
static wchar_t emptyString[1];

void postImeResult(HWND window, const wchar_t* units, int count, const MSG* raw) {
  int32_t time = int32_t(GetMessageTime());
  int32_t fields[5] = {imeResultStart, -1, -1, -1, -1};
  makeHostEvent(window, hevIme, time, fields, smallIntegerFor(3), raw);
  for (int at = 0; at < count; at += 4) {
    fields[0] = imeResultUnits;
    for (int k = 0; k < 4; k++) fields[1 + k] = at + k < count ? int32_t(uint16_t(units[at + k])) : -1;
    makeHostEvent(window, hevIme, time, fields, smallIntegerFor(3), raw);
  }
  fields[0] = imeResultEnd, fields[1] = fields[2] = fields[3] = fields[4] = -1;
  makeHostEvent(window, hevIme, time, fields, smallIntegerFor(3), raw);
}

// The composition string of the given kind (at most 512 bytes) into units; its unit count.
static int compositionString(HIMC context, DWORD kind, wchar_t* units) {
  LONG bytes = guiSeams.immGetCompositionStringW(context, kind, units, imeStringBytes);
  if (bytes < 0) return 0;
  if (bytes > imeStringBytes) bytes = imeStringBytes;
  return int(bytes / 2);
}

static void placeCompositionWindow(HWND window) {
  HIMC context = ImmGetContext(window);
  if (context == nullptr) return;
  COMPOSITIONFORM form = {};
  form.dwStyle = CFS_POINT;
  form.ptCurrentPos = imeState.spot;
  ImmSetCompositionWindow(context, &form);
  ImmReleaseContext(window, context);
}

static void clearComposition(HWND window) {
  HIMC context = ImmGetContext(window);
  if (context == nullptr) return;
  ImmSetCompositionStringW(context, SCS_SETSTR, emptyString, 0, nullptr, 0);
  ImmReleaseContext(window, context);
}

bool imeWindowMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_IME_STARTCOMPOSITION:
      if (imeState.disabled) return true;
      placeCompositionWindow(window);
      imeState.composing = 1;
      return false;
    case WM_IME_ENDCOMPOSITION:
      if (imeState.disabled) return true;
      imeState.composing = 0;
      return false;
    case WM_IME_COMPOSITION: {
      if (imeState.disabled || (lParam & GCS_RESULTSTR) == 0) return true;
      HIMC context = ImmGetContext(window);
      wchar_t units[imeStringBytes / 2];
      int n = compositionString(context, GCS_RESULTSTR, units);
      if (context != nullptr) ImmReleaseContext(window, context);
      MSG raw = {window, message, wParam, lParam, DWORD(GetMessageTime()), {0, 0}};
      postImeResult(window, units, n, &raw);
      return true;
    }
    default: return false;
  }
}

// Activation, deactivation and destruction of a VM window: a running composition is cleared;
// the window becomes the input-method window while it is the active one, and is forgotten
// when it no longer is.
static void imeActivationChange(HWND window) {
  if (imeState.composing && imeState.window != nullptr) {
    clearComposition(imeState.window);
    imeState.composing = 0;
  }
  if (IsWindow(window) && GetActiveWindow() == window) imeState.window = window;
  else if (imeState.window == window) imeState.window = nullptr;
}

// ---- The routines ------------------------------------------------------------------------------

static LRESULT disassociate(HWND window, LPARAM) {
  ImmAssociateContext(window, nullptr);
  return 1;
}

static LRESULT setSpotOn(HWND window, LPARAM) {
  imeState.disabled = 0;
  HIMC context = ImmGetContext(window);
  if (context == nullptr) {
    ImmAssociateContextEx(window, nullptr, IACE_DEFAULT);
    context = ImmGetContext(window);
  }
  if (context != nullptr) {
    ImmAssociateContext(window, context);
    COMPOSITIONFORM form = {};
    form.dwStyle = CFS_POINT;
    form.ptCurrentPos = imeState.spot;
    ImmSetCompositionWindow(context, &form);
    ImmReleaseContext(window, context);
  }
  return 1;
}

static LRESULT disableOn(HWND, LPARAM) {
  imeState.disabled = 1;
  if (imeState.window != nullptr) ImmAssociateContext(imeState.window, nullptr);
  return 1;
}

static LRESULT forceAcceptOn(HWND, LPARAM) {
  int composing = imeState.composing;
  if (composing && imeState.window != nullptr) {
    HIMC context = ImmGetContext(imeState.window);
    wchar_t units[imeStringBytes / 2];
    int n = compositionString(context, GCS_COMPSTR, units);
    if (context != nullptr) {
      ImmSetCompositionStringW(context, SCS_SETSTR, emptyString, 0, nullptr, 0);
      ImmReleaseContext(imeState.window, context);
    }
    postImeResult(imeState.window, units, n, nullptr);
  }
  return composing;
}

static LRESULT forceCloseOn(HWND, LPARAM) {
  int composing = imeState.composing;
  if (composing && imeState.window != nullptr) clearComposition(imeState.window);
  return composing;
}

// The hidden window the routines without a window run on, made on first need.
static HWND serviceWindow() {
  if (imeState.serviceWindow == nullptr)
    imeState.serviceWindow = createVMWindow(nullptr, 0, 0, 100, 100, windowKind2, 100, 100, 100, 100);
  return imeState.serviceWindow;
}

static int64_t callOn(HWND window, WindowCall call) {
  if (window == nullptr) return 0;
  return int64_t(sendToWindowThread(window, VMWM_CALL, WPARAM(call), 0));
}

extern "C" {
int64_t imeSetSpot(HWND window, int64_t x, int64_t y) {
  imeState.spot = {LONG(x), LONG(y)};
  return callOn(window, setSpotOn);
}
int64_t imeDisable() { return callOn(serviceWindow(), disableOn) != 0; }
int64_t imeSetRoot() { return imeDisable(); }
int64_t imeSetFont(int64_t font) {
  imeState.font = font;
  return 1;
}
int64_t imeSetArea(int64_t left, int64_t top, int64_t right, int64_t bottom) {
  imeState.area[0] = uint32_t(top) << 16 | (uint32_t(left) & 0xFFFF);
  imeState.area[1] = uint32_t(bottom) << 16 | (uint32_t(right) & 0xFFFF);
  return 1;
}
int64_t imeForceAccept() { return callOn(serviceWindow(), forceAcceptOn); }
int64_t imeForceClose() { return callOn(serviceWindow(), forceCloseOn); }
int64_t imeDisableInNewWindow(HWND window) { return callOn(window, disassociate); }
}

void initInputMethods() {
  static const struct {
    const char* name;
    void* routine;
  } routines[] = {
      {"imeSetSpot", reinterpret_cast<void*>(imeSetSpot)},
      {"imeDisable", reinterpret_cast<void*>(imeDisable)},
      {"imeSetRoot", reinterpret_cast<void*>(imeSetRoot)},
      {"imeSetFont", reinterpret_cast<void*>(imeSetFont)},
      {"imeSetArea", reinterpret_cast<void*>(imeSetArea)},
      {"imeForceAccept", reinterpret_cast<void*>(imeForceAccept)},
      {"imeForceClose", reinterpret_cast<void*>(imeForceClose)},
      {"imeDisableInNewWindow", reinterpret_cast<void*>(imeDisableInNewWindow)},
  };
  for (const auto& r : routines) UPRegisterSymbolAndHandle(r.name, r.routine);
  imeWindowSetupHook = disassociate;
  imeCleanupHook = imeActivationChange;
  imeMessageHook = imeWindowMessage;
  guiSeams.immGetCompositionStringW = ImmGetCompositionStringW;
}
