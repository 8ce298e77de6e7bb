// Windows layer: drag and resize feedback. The engine follows the pointer itself while the
// image waits in primitive 935 (drag a shape) or 936 (drag out a rectangle), drawing the
// outline on a pop-up that covers the virtual desktop.
// Prefix: none (initFeedbackPrimitives, startFeedbackWindow, stopFeedbackWindow, followMouse).
#pragma once
#include <windows.h>

#include <cstdint>

extern HWND feedbackWindow;         // the KLPX4 pop-up while a drag runs, else null
extern uint32_t layeredFeedback;    // the named object "LayeredWindowsForAnimation"

void startFeedbackWindow();
void stopFeedbackWindow();

// The button mask of a button index (0 any, 1 left, 2 middle, 3 right), 0 for another index.
uint32_t feedbackButtonMask(int64_t index);
// The buttons of the last reading, for followMouse's comparisons.
struct FollowState {
  uint32_t buttons;
};
uint32_t readFeedbackButtons();  // left 1, middle 2, right 4, read afresh
// Reads the cursor into *x, *y and the buttons; whether the drag goes on: with untilRelease
// while no masked button went from down to up since the last reading, otherwise while none
// went from up to down.
bool followMouse(FollowState* state, uint32_t mask, bool untilRelease, int* x, int* y);
// 935 and 936, and the named object.
void initFeedbackPrimitives();
