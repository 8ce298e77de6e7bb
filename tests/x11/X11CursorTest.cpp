// Cursors, the pointer warp and the drag loops in process against Xvfb: the cursor the
// server shows (XFixes), the warp seen by XQueryPointer, grid snapping of the start, and a
// drag driven by a second client that the server grab does not hold up (XTestGrabControl).
#include <cstring>
#include <csignal>
#include <sys/wait.h>
#include <unistd.h>

#include "mman/mmSysOop.h"
#include "mman/testHeap.h"
#include "x11/x11Fixture.h"

#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
#include <X11/extensions/Xfixes.h>

static oop oneBitImage(X11* t, int64_t w, int64_t h, uint8_t fill) {
  uint64_t row = (uint64_t)((w + 31) / 32) * 4;
  oop bits = t->bytes(row * (uint64_t)h);
  memset(bodyOf(headerOf(bits)), fill, row * (uint64_t)h);
  oop image = newOldObject(testClasses.pointers, 5);
  const oop slots[5] = {bits, smallIntegerFor(w), smallIntegerFor(h), smallIntegerFor(1), smallIntegerFor(1)};
  for (uint64_t i = 0; i < 5; i++) X11::setSlot(image, i, slots[i]);
  return image;
}

static oop color(X11* t, float r, float g, float b, uint64_t size = 12) {
  oop c = t->bytes(size);
  const float v[3] = {r, g, b};
  memcpy(bodyOf(headerOf(c)), v, size < 12 ? size : 12);
  return c;
}

TEST_F(X11, X11_Cursor_MadeSetOnEveryWindowAndFreed) {
  oop screen = openScreen();
  oop w = window(screen, 0, 0, 100, 100);
  ASSERT_FALSE(callPrimitive(944, w, {}).failed);
  // The image: the left half set; the mask: all of it (rows of 4 bytes).
  oop image = oneBitImage(this, 16, 16, 0), mask = oneBitImage(this, 16, 16, 0xFF);
  uint8_t* rows = reinterpret_cast<uint8_t*>(bodyOf(headerOf(slotOf(image, 0))));
  for (int y = 0; y < 16; y++) rows[y * 4] = 0xFF;
  PrimOutcome made = callPrimitive(904, screen, {image, mask, smallIntegerFor(3), smallIntegerFor(5), color(this, 1, 0, 0), color(this, 0, 0, 1)});
  ASSERT_FALSE(made.failed);
  oop cursor = newOldObject(testClasses.threeSlots, 3);
  setSlot(cursor, 1, made.result);
  ASSERT_FALSE(callPrimitive(707, cursor, {}).failed);
  XWarpPointer(own, None, DefaultRootWindow(own), 0, 0, 0, 0, 50, 50);
  XSync(displayOf(screen), False);
  XSync(own, False);
  XFixesCursorImage* shown = XFixesGetCursorImage(own);
  ASSERT_NE(shown, nullptr);
  EXPECT_EQ(shown->width, 16);
  EXPECT_EQ(shown->height, 16);
  EXPECT_EQ(shown->xhot, 3);
  EXPECT_EQ(shown->yhot, 5);
  EXPECT_EQ(shown->pixels[2 * 16 + 1] & 0xFFFFFF, 0xFF0000u) << "a set pixel in the foreground";
  EXPECT_EQ(shown->pixels[2 * 16 + 12] & 0xFFFFFF, 0x0000FFu) << "a clear one in the background";
  XFree(shown);
  EXPECT_FALSE(callPrimitive(708, cursor, {}).failed);
  EXPECT_TRUE(callPrimitive(708, cursor, {}).failed) << "freed twice";

  // Masks smaller than the image or larger than 32 x 32, and colours not of 12 bytes.
  struct Bad {
    oop image, mask, foreground;
  } bad[] = {{oneBitImage(this, 16, 16, 0), oneBitImage(this, 15, 16, 0xFF), color(this, 1, 0, 0)},
             {oneBitImage(this, 16, 16, 0), oneBitImage(this, 16, 15, 0xFF), color(this, 1, 0, 0)},
             {oneBitImage(this, 33, 33, 0), oneBitImage(this, 33, 33, 0xFF), color(this, 1, 0, 0)},
             {oneBitImage(this, 16, 16, 0), oneBitImage(this, 16, 16, 0xFF), color(this, 1, 0, 0, 11)},
             {oneBitImage(this, 16, 16, 0), oneBitImage(this, 16, 16, 0xFF), color(this, 2, 0, 0)}};
  for (const Bad& b : bad)
    EXPECT_TRUE(callPrimitive(904, screen, {b.image, b.mask, smallIntegerFor(0), smallIntegerFor(0), b.foreground, color(this, 0, 0, 0)}).failed);
}

TEST_F(X11, X11_Cursor_WarpSeenByXQueryPointer) {
  oop screen = openScreen();
  ASSERT_FALSE(callPrimitive(912, screen, {point(123, 45)}).failed);
  XSync(displayOf(screen), False);
  Window root, child;
  int rx, ry, wx, wy;
  unsigned int mask;
  XQueryPointer(own, DefaultRootWindow(own), &root, &child, &rx, &ry, &wx, &wy, &mask);
  EXPECT_EQ(rx, 123);
  EXPECT_EQ(ry, 45);
}

// The 935 arguments for an outline (a 10 x 10 square) at a start, a grid, bounds (nil: the
// screen), the button index and hold.
static std::vector<oop> dragArguments(X11* t, int64_t x, int64_t y, int64_t origin, int64_t step, oop boundX,
                                      int64_t button, bool hold) {
  oop square = t->array({t->point(0, 0), t->point(10, 0), t->point(10, 10), t->point(0, 10), t->point(0, 0)});
  return {square, nilOop(), smallIntegerFor(x), smallIntegerFor(y), smallIntegerFor(origin), smallIntegerFor(origin),
          smallIntegerFor(step), smallIntegerFor(step), boundX, smallIntegerFor(0), smallIntegerFor(200),
          smallIntegerFor(200), smallIntegerFor(button), hold ? trueOop() : falseOop()};
}

TEST_F(X11, X11_Drag_StartSnappedAndClampedWhenNoButtonIsHeld) {
  oop screen = openScreen();
  XWarpPointer(own, None, DefaultRootWindow(own), 0, 0, 0, 0, 300, 200);
  XSync(own, False);
  // Origin 3 step 10: 27 -> 23, 29 -> 33; origin -7 is origin 3; step 0 keeps it; bounds
  // 0..200 hold the 10-wide square at 0..190.
  struct Case {
    int64_t start, origin, step;
    bool bounded;
    int64_t want;
  } cases[] = {{27, 3, 10, false, 23}, {29, 3, 10, false, 33}, {27, -7, 10, false, 23}, {27, 3, 0, false, 27},
               {250, 0, 0, true, 190}, {-20, 0, 0, true, 0}, {250, 3, 10, true, 183}, {250, 0, 0, false, 250}};
  for (const Case& c : cases) {
    PrimOutcome r = callPrimitive(935, screen, dragArguments(this, c.start, c.start, c.origin, c.step,
                                                             c.bounded ? smallIntegerFor(0) : nilOop(), 1, true));
    ASSERT_FALSE(r.failed) << c.start;
    oop at = slotOf(r.result, 0), pointer = slotOf(r.result, 1);
    EXPECT_EQ(slotOf(at, 0), smallIntegerFor(c.want)) << c.start << " origin " << c.origin << " step " << c.step;
    EXPECT_EQ(slotOf(at, 1), smallIntegerFor(c.want));
    EXPECT_EQ(slotOf(pointer, 0), smallIntegerFor(300));
  }
  EXPECT_TRUE(callPrimitive(935, screen, dragArguments(this, 0, 0, 0, 0, nilOop(), 4, true)).failed) << "button 4";
  EXPECT_TRUE(callPrimitive(935, screen, dragArguments(this, 0, 0, 0, -1, nilOop(), 1, true)).failed) << "negative step";
}

// A second client in a process of its own, made impervious to the server grab, waits until
// the engine has drawn the outline, then moves the pointer by steps and lets the button go;
// again every 50 ms (for up to 5 s) until it is stopped.
static pid_t startDriver(const char* server, int x, int y) {
  int ready[2];
  if (pipe(ready) != 0) return -1;
  pid_t child = fork();
  if (child != 0) {
    char c = 0;
    close(ready[1]);
    if (child < 0 || read(ready[0], &c, 1) != 1) child = -1;
    close(ready[0]);
    return child;
  }
  close(ready[0]);
  Display* peer = XOpenDisplay(server);
  if (peer == nullptr) _exit(1);
  XTestGrabControl(peer, True);
  XSync(peer, False);
  // The drag has begun once its outline (the square's top edge at y 50) is on the root.
  Window root = DefaultRootWindow(peer);
  auto edge = [&]() {
    XImage* image = XGetImage(peer, root, 55, 50, 1, 1, AllPlanes, ZPixmap);
    unsigned long pixel = image != nullptr ? XGetPixel(image, 0, 0) : 0;
    if (image != nullptr) XDestroyImage(image);
    return pixel;
  };
  unsigned long before = edge();
  if (write(ready[1], "r", 1) != 1) _exit(1);
  struct timespec pause = {0, 5000000};
  for (int i = 0; i < 1000 && edge() == before; i++) nanosleep(&pause, nullptr);
  for (int round = 0; round < 100; round++) {
    for (int k = 1; k <= 4; k++)
      XTestFakeMotionEvent(peer, DefaultScreen(peer), 100 + (x - 100) * k / 4, 100 + (y - 100) * k / 4, CurrentTime);
    XTestFakeButtonEvent(peer, 1, False, CurrentTime);
    XSync(peer, False);
    pause.tv_nsec = 50000000;
    nanosleep(&pause, nullptr);
  }
  _exit(0);
}

TEST_F(X11, X11_Drag_ShapeFollowsThePointerUntilRelease) {
  oop screen = openScreen();
  // The shape starts at (50, 50), 50 left of and above the pointer; it ends 50 left of and
  // above where the pointer stops (140, 170), on the grid from origin 0.
  struct Case {
    int64_t step, wantX, wantY;
  } cases[] = {{0, 90, 120}, {7, 91, 119}};
  for (const Case& c : cases) {
    XTestFakeMotionEvent(own, DefaultScreen(own), 100, 100, CurrentTime);
    XTestFakeButtonEvent(own, 1, True, CurrentTime);
    XSync(own, False);
    pid_t driver = startDriver(getenv("TESSEL_X24"), 140, 170);
    ASSERT_GT(driver, 0);
    PrimOutcome r = callPrimitive(935, screen, dragArguments(this, 50, 50, 0, c.step, nilOop(), 1, true));
    kill(driver, SIGTERM);
    waitpid(driver, nullptr, 0);
    ASSERT_FALSE(r.failed);
    oop at = slotOf(r.result, 0), pointer = slotOf(r.result, 1);
    EXPECT_EQ(slotOf(pointer, 0), smallIntegerFor(140));
    EXPECT_EQ(slotOf(pointer, 1), smallIntegerFor(170));
    EXPECT_EQ(slotOf(at, 0), smallIntegerFor(c.wantX)) << "step " << c.step;
    EXPECT_EQ(slotOf(at, 1), smallIntegerFor(c.wantY));
  }
  // The server is free again: another client grabs it at once.
  XGrabServer(own);
  XUngrabServer(own);
  XSync(own, False);
}

TEST_F(X11, X11_Drag_RectangleStartsAtTheLargerExtentInsideTheBounds) {
  oop screen = openScreen();
  // Fixed corner (100, 100); initial and minimum extents; bounds 0, 0, 300, 250 (or nil).
  struct Case {
    int64_t width, height, minWidth, minHeight;
    bool bounded, fails;
    int64_t wantX, wantY;
  } cases[] = {{50, 40, 10, 10, true, false, 150, 140}, {5, 40, 30, 10, true, false, 130, 140},
               {500, 500, 0, 0, true, false, 300, 250}, {500, 500, 0, 0, false, false, 600, 480},
               {50, 40, 250, 10, true, true, 0, 0}};
  for (const Case& c : cases) {
    auto si = [](int64_t v) { return smallIntegerFor(v); };
    PrimOutcome r = callPrimitive(936, screen, {si(100), si(100), si(c.width), si(c.height), si(c.minWidth), si(c.minHeight),
                                                nilOop(), si(0), si(0), c.bounded ? si(0) : nilOop(), si(0), si(300),
                                                si(250), si(1), trueOop()});
    ASSERT_EQ(r.failed, c.fails) << c.width << "x" << c.height;
    if (c.fails) continue;
    oop corner = slotOf(r.result, 0), pointer = slotOf(r.result, 1);
    EXPECT_EQ(slotOf(corner, 0), smallIntegerFor(c.wantX)) << c.width << "x" << c.height;
    EXPECT_EQ(slotOf(corner, 1), smallIntegerFor(c.wantY));
    int64_t px = c.wantX < 639 ? c.wantX : 639, py = c.wantY < 479 ? c.wantY : 479;
    EXPECT_EQ(slotOf(pointer, 0), smallIntegerFor(px)) << "the pointer warped to the corner";
    EXPECT_EQ(slotOf(pointer, 1), smallIntegerFor(py));
  }
}
