// Test support for the in-process x11 tests: the GUI library bound once into this program,
// a fresh test heap for every case, displays opened with primitive 960 on the Xvfb servers
// the script started (TESSEL_X24, TESSEL_X8), a connection of the test's own to look at the
// server with, and the image objects the primitives take (screens, windows, graphics
// contexts, Points).
#pragma once
#include <gtest/gtest.h>

#include <X11/Xlib.h>

#include <string>
#include <vector>

#include "mman/mmObject.h"
#include "support/ioKernel.h"

class X11 : public testing::Test {
 public:
  static void SetUpTestSuite();
  void SetUp() override;
  void TearDown() override;

  // A display opened by primitive 960 on the server named by the environment variable
  // (TESSEL_X24 or TESSEL_X8), with XENVIRONMENT set to the given file when one is given.
  oop openScreen(const char* serverVariable = "TESSEL_X24", const char* environmentFile = nullptr);
  static Display* displayOf(oop screen);
  oop point(int64_t x, int64_t y);
  oop array(const std::vector<oop>& slots);
  oop bytes(uint64_t n);
  // A window (906) at origin with extent, flags as the primitive takes them.
  oop window(oop screen, int64_t x, int64_t y, int64_t w, int64_t h, int64_t flags = 2);
  oop pixmap(oop screen, int64_t w, int64_t h);
  // A graphics context on the drawable: no clip, thin solid lines, pixel paint, no translation.
  oop graphicsContext(oop drawable, oop paint = 0);
  static void setSlot(oop o, uint64_t index, oop value);
  // The input queue: a Semaphore registered (913) and the events read back (914).
  void registerInput();
  struct Event {
    int64_t type, x, y, width, height, fifth;
    int rawType;  // the X event kept beside the record
    uint64_t window;
    oop extra1, extra2;
  };
  std::vector<Event> drainEvents();
  // Pumps the library's input until an event of the type comes for the window (or 2 s pass);
  // the events read meanwhile are appended to seen.
  bool waitForEvent(int64_t type, uint64_t window, std::vector<Event>* seen);
  static void pump();
  // The X id of a window's or pixmap's receiver.
  static uint64_t drawableId(oop receiver) { return *reinterpret_cast<uint64_t*>(bodyOf(headerOf(slotOf(receiver, 0)))); }
  // A Double or SmallDouble's value.
  static double doubleValue(oop d);

  std::vector<oop> windows;  // destroyed (940) when the case ends
  Display* own = nullptr;  // the test's own connection to the 24-bit server
  oop inputHolder = 0;
};
