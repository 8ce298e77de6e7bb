// Test support: the in-process fixture of the Windows window system (label wingui, run under
// Wine with an X server): a test heap, the window system's primitives, windows and pixmaps
// made through the primitives, and the host events the window procedures queue, read back
// in place of the VM thread's input request.
#pragma once
#include <gtest/gtest.h>

#include <vector>

#include "mman/mmObject.h"
#include "platpc/ntCanvas.h"
#include "support/ioKernel.h"

class WinGuiTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  static oop point(int64_t x, int64_t y);
  static oop array(const std::vector<oop>& slots);
  static oop bytes(uint64_t n);
  static void setSlot(oop o, uint64_t index, oop value);
  // A window or pixmap object: three slots, the handle bytes in slot 0.
  static oop holder(oop handleBytes);
  static HWND hwndOf(oop drawable);
  // A window of the type through 906 (destroyed at TearDown), mapped when asked.
  oop window(int64_t x, int64_t y, int64_t w, int64_t h, int64_t type = 2, bool map = true);
  oop pixmap(int64_t w, int64_t h);

  // The events queued so far, in order, without the kind-0 raw events; waits up to 5 s
  // until at least `atLeast` such events are queued.
  std::vector<HostEvent> events(size_t atLeast = 0);
  // Posts the message to the window and waits until its procedure has run.
  static void post(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

  std::vector<oop> windows;

 public:
  static std::vector<HostEvent> drained;  // filled by the fixture's input request
};

// A Point of SmallIntegers and an Array of the slots, in old space (for the GUI fixtures).
oop winPoint(int64_t x, int64_t y);
oop winArray(const std::vector<oop>& slots);

// The kind of an event (its SmallInteger word).
int eventKind(const HostEvent& e);
