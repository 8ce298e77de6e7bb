// Windows layer: input methods. Text an input method composes reaches the image as host
// events of kind 20 (start 5, up to four UTF-16 units each 6, end 7); the image steers the
// input method through the "ime*" routines of the link registry.
// Prefix: none (initInputMethods, postImeResult, imeWindowMessage, ime* routines).
#pragma once
#include <windows.h>

#include <cstdint>

enum : int { imeResultStart = 5, imeResultUnits = 6, imeResultEnd = 7, imeStringBytes = 512 };

// The input-method state; written on the command-window thread (the spot, font and area by
// the VM thread before it hops there).
struct ImeState {
  HWND window;         // the VM window that last became active, else null
  HWND serviceWindow;  // the hidden kind-2 window the routines without a window run on
  int composing;
  int disabled;
  POINT spot;          // client pixels
  int64_t font;        // stored only
  uint32_t area[2];    // stored only: top << 16 | left, bottom << 16 | right (low halves)
};
extern ImeState imeState;

// Posts a result string as 5, ceil(n / 4) x 6 and 7 for window.
void postImeResult(HWND window, const wchar_t* units, int count, const MSG* raw);
// The WM_IME_* messages of a VM window; true when handled here (the window procedure then
// answers 1 without passing them on).
bool imeWindowMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
// Registers the routines by name and installs the window system's input-method hooks.
void initInputMethods();

extern "C" {
int64_t imeSetSpot(HWND window, int64_t x, int64_t y);
int64_t imeDisable();
int64_t imeSetRoot();
int64_t imeSetFont(int64_t font);
int64_t imeSetArea(int64_t left, int64_t top, int64_t right, int64_t bottom);
int64_t imeForceAccept();
int64_t imeForceClose();
int64_t imeDisableInNewWindow(HWND window);
}
