// The X11 window system in process against Xvfb: input injected with XTest arriving as
// queue records, the event filter, expose merging, drawing read back, copies and their
// exposures, and the failures that must leave the server untouched.
#include <dlfcn.h>

#include <cstring>

#include "mman/mmSysOop.h"
#include "mman/testHeap.h"
#include "x11/x11Fixture.h"

#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

static void fakeKey(Display* d, KeySym ks, bool press) {
  XTestFakeKeyEvent(d, XKeysymToKeycode(d, ks), press, CurrentTime);
}

// A mapped window under the pointer, its events drained up to its first expose.
static oop shownWindow(X11* t, oop screen, std::vector<X11::Event>* seen, int64_t x = 0, int64_t y = 0) {
  oop w = t->window(screen, x, y, 100, 100, 2);
  EXPECT_FALSE(callPrimitive(944, w, {}).failed);
  bool exposed = t->waitForEvent(8, X11::drawableId(w), seen);
  EXPECT_TRUE(exposed) << "exposed; " << seen->size() << " events seen";
  return w;
}

static const X11::Event* firstOf(const std::vector<X11::Event>& events, int64_t type, size_t from = 0) {
  for (size_t i = from; i < events.size(); i++)
    if (events[i].type == type) return &events[i];
  return nullptr;
}

TEST_F(X11, X11_Events_XTestInputInOrderWithTheTableFields) {
  oop screen = openScreen();
  registerInput();
  std::vector<Event> seen;
  oop w = shownWindow(this, screen, &seen);
  uint64_t id = drawableId(w);
  XTestFakeMotionEvent(own, DefaultScreen(own), 600, 400, CurrentTime);
  XSync(own, False);
  waitForEvent(7, id, &seen);  // the pointer leaves, wherever it was
  XTestFakeMotionEvent(own, DefaultScreen(own), 30, 40, CurrentTime);
  fakeKey(own, XK_a, true), fakeKey(own, XK_a, false);
  XTestFakeButtonEvent(own, 1, True, CurrentTime), XTestFakeButtonEvent(own, 1, False, CurrentTime);
  XSync(own, False);
  seen.clear();
  ASSERT_TRUE(waitForEvent(4, id, &seen));
  std::vector<int64_t> types;
  for (const Event& e : seen)
    if (e.type >= 1 && e.type <= 6 && (types.empty() || types.back() != e.type)) types.push_back(e.type);
  EXPECT_EQ(types, (std::vector<int64_t>{6, 5, 1, 2, 3, 4})) << "enter, motion, key, button";
  const Event* enter = firstOf(seen, 6);
  ASSERT_NE(enter, nullptr);
  EXPECT_EQ(enter->x, 30);
  EXPECT_EQ(enter->y, 40);
  EXPECT_EQ(enter->width, 30);
  EXPECT_EQ(enter->height, 40);
  const Event* key = firstOf(seen, 1);
  ASSERT_NE(key, nullptr);
  EXPECT_EQ(key->extra1, characterFor('a'));
  EXPECT_EQ(key->extra2, smallIntegerFor(0)) << "the same without modifiers";
  EXPECT_EQ(key->window, id);
  const Event* press = firstOf(seen, 3);
  const Event* release = firstOf(seen, 4);
  ASSERT_TRUE(press != nullptr && release != nullptr);
  EXPECT_EQ(press->fifth, 1);
  EXPECT_EQ(press->extra1, smallIntegerFor(1)) << "the button's bit set";
  EXPECT_EQ(release->extra1, smallIntegerFor(0)) << "and cleared";
}

TEST_F(X11, X11_Events_KeysAndHeldModifiers) {
  oop screen = openScreen();
  registerInput();
  std::vector<Event> seen;
  oop w = shownWindow(this, screen, &seen);
  XTestFakeMotionEvent(own, DefaultScreen(own), 50, 50, CurrentTime);
  fakeKey(own, XK_Shift_L, true), fakeKey(own, XK_b, true), fakeKey(own, XK_b, false);
  fakeKey(own, XK_Shift_R, true), fakeKey(own, XK_Shift_L, false), fakeKey(own, XK_Shift_R, false);
  fakeKey(own, XK_F12, true), fakeKey(own, XK_F12, false), fakeKey(own, XK_Left, true), fakeKey(own, XK_Left, false);
  XSync(own, False);
  seen.clear();
  std::vector<const Event*> keys;
  for (int i = 0; i < 400 && keys.size() < 10; i++) {
    pump();
    std::vector<Event> more = drainEvents();
    seen.insert(seen.end(), more.begin(), more.end());
    keys.clear();
    for (const Event& e : seen)
      if (e.type == 1 || e.type == 2) keys.push_back(&e);
    struct timespec pause = {0, 5000000};
    nanosleep(&pause, nullptr);
  }
  ASSERT_EQ(keys.size(), 10u);
  (void)w;
  EXPECT_EQ(keys[0]->extra1, smallIntegerFor(0x2000F)) << "Shift_L";
  EXPECT_EQ(keys[1]->extra1, characterFor('B'));
  EXPECT_EQ(keys[1]->extra2, characterFor('b')) << "without modifiers";
  EXPECT_TRUE(keys[1]->fifth & 0x100);
  EXPECT_EQ(keys[4]->type, 2);
  EXPECT_TRUE(keys[4]->fifth & 0x100) << "one Shift released, the other held";
  EXPECT_FALSE(keys[5]->fifth & 0x100) << "both released";
  EXPECT_EQ(keys[6]->extra1, smallIntegerFor(0x2002B)) << "F12";
  EXPECT_EQ(keys[8]->extra1, smallIntegerFor(0x20002)) << "Left";
}

static int refuseAll(XEvent*) { return 0; }

TEST_F(X11, X11_Events_FilterDropsAndExposesMerge) {
  oop screen = openScreen();
  registerInput();
  std::vector<Event> seen;
  oop w = shownWindow(this, screen, &seen);
  Window id = (Window)drawableId(w);
  typedef int (*Filter)(XEvent*);
  auto setHook = reinterpret_cast<Filter (*)(Filter)>(dlsym(RTLD_DEFAULT, "OEsetCanProcessEventHook"));
  ASSERT_NE(setHook, nullptr);
  Filter previous = setHook(refuseAll);
  XClearArea(own, id, 0, 0, 10, 10, True);
  XSync(own, False);
  for (int i = 0; i < 20; i++) pump();
  EXPECT_TRUE(drainEvents().empty()) << "a filter answering 0 drops every event";
  setHook(previous);

  XClearArea(own, id, 0, 0, 10, 10, True);
  XClearArea(own, id, 5, 5, 10, 10, True);
  XSync(own, False);
  seen.clear();
  for (int i = 0; i < 50 && seen.size() < 2; i++) {
    pump();
    std::vector<Event> more = drainEvents();
    seen.insert(seen.end(), more.begin(), more.end());
  }
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0].type, 0) << "the first expose merged into the second";
  EXPECT_EQ(seen[1].type, 8);
  EXPECT_EQ(seen[1].x, 0);
  EXPECT_EQ(seen[1].y, 0);
  EXPECT_EQ(seen[1].width, 15);
  EXPECT_EQ(seen[1].height, 15);
}

// The bytes of pixel (x, y) of a 32-bit read-back whose rows are width pixels.
static uint32_t pixelAt(oop bytes, int64_t width, int64_t x, int64_t y) {
  const uint8_t* b = reinterpret_cast<const uint8_t*>(bodyOf(headerOf(bytes))) + 4 * (y * width + x);
  return uint32_t(b[0]) << 24 | uint32_t(b[1]) << 16 | uint32_t(b[2]) << 8 | b[3];
}

TEST_F(X11, X11_Drawing_FillReadBackMostSignificantFirst) {
  oop screen = openScreen();
  oop p = pixmap(screen, 100, 100);
  oop gc = graphicsContext(p, smallIntegerFor(0xFFFFFF));
  ASSERT_FALSE(callPrimitive(988, gc, {point(0, 0), point(100, 100)}).failed);
  setSlot(gc, 9, smallIntegerFor(0xFF0000));
  setSlot(gc, 10, smallIntegerFor(2));  // translation x
  ASSERT_FALSE(callPrimitive(988, gc, {point(8, 10), point(5, 5)}).failed);
  oop data = bytes(20 * 20 * 4);
  PrimOutcome r = callPrimitive(1100, p, {smallIntegerFor(0), smallIntegerFor(0), smallIntegerFor(20), smallIntegerFor(20),
                                          data, smallIntegerFor(1)});
  ASSERT_FALSE(r.failed);
  EXPECT_EQ(pixelAt(data, 20, 10, 10), 0x00FF0000u);
  EXPECT_EQ(pixelAt(data, 20, 14, 14), 0x00FF0000u);
  EXPECT_EQ(pixelAt(data, 20, 9, 10), 0x00FFFFFFu);
  EXPECT_EQ(pixelAt(data, 20, 15, 14), 0x00FFFFFFu);

  // Past the pixmap's edge, or past the byte object: nothing is read.
  oop small = bytes(16);
  memset(bodyOf(headerOf(small)), 0x5A, 16);
  struct {
    int64_t x, y, w, h;
    oop into;
  } refused[] = {{95, 95, 10, 10, data}, {0, 0, 4, 4, small}, {0, 0, 4, 1, small}};
  for (auto& c : refused) {
    const uint8_t before = reinterpret_cast<uint8_t*>(bodyOf(headerOf(c.into)))[0];
    PrimOutcome f = callPrimitive(1100, p, {smallIntegerFor(c.x), smallIntegerFor(c.y), smallIntegerFor(c.w),
                                            smallIntegerFor(c.h), c.into, smallIntegerFor(c.into == small ? 2 : 1)});
    EXPECT_TRUE(f.failed) << c.x << "," << c.y << " " << c.w << "x" << c.h;
    EXPECT_EQ(reinterpret_cast<uint8_t*>(bodyOf(headerOf(c.into)))[0], before);
  }
}

// One handle's GC serves every graphics context on it: a clip, another clip, no clip and a
// masked copy's mask each hold only until the next drawing asks otherwise.
TEST_F(X11, X11_Drawing_ClipsFollowEachDrawing) {
  oop screen = openScreen();
  oop p = pixmap(screen, 20, 20);
  oop gc = graphicsContext(p, smallIntegerFor(0xFFFFFF));
  auto clip = [&](int64_t x, int64_t y, int64_t w) {
    for (uint64_t k = 0; k < 4; k++) setSlot(gc, 1 + k, smallIntegerFor(k == 0 ? x : k == 1 ? y : w));
  };
  auto fill = [&](uint32_t rgb) {
    setSlot(gc, 9, smallIntegerFor(rgb));
    ASSERT_FALSE(callPrimitive(988, gc, {point(0, 0), point(20, 20)}).failed);
  };
  oop data = bytes(20 * 20 * 4);
  auto readBack = [&]() {
    ASSERT_FALSE(callPrimitive(1100, p, {smallIntegerFor(0), smallIntegerFor(0), smallIntegerFor(20), smallIntegerFor(20),
                                         data, smallIntegerFor(1)}).failed);
  };
  fill(0xFFFFFF);
  clip(0, 0, 5), fill(0xFF0000);
  clip(0, 0, 5), fill(0x00FF00);  // the same clip again
  clip(10, 10, 5), fill(0x0000FF);
  readBack();
  EXPECT_EQ(pixelAt(data, 20, 4, 4), 0x0000FF00u);
  EXPECT_EQ(pixelAt(data, 20, 5, 5), 0x00FFFFFFu);
  EXPECT_EQ(pixelAt(data, 20, 12, 12), 0x000000FFu);
  EXPECT_EQ(pixelAt(data, 20, 9, 9), 0x00FFFFFFu);
  setSlot(gc, 3, nilOop()), fill(0x808080);
  readBack();
  EXPECT_EQ(pixelAt(data, 20, 17, 2), 0x00808080u) << "no clip after a clip";

  PrimOutcome bitmap = callPrimitive(901, screen, {point(20, 20)});
  ASSERT_FALSE(bitmap.failed);
  oop mask = newOldObject(testClasses.threeSlots, 3);
  setSlot(mask, 0, bitmap.result), setSlot(mask, 1, smallIntegerFor(20)), setSlot(mask, 2, smallIntegerFor(20));
  oop maskGC = graphicsContext(mask);
  ASSERT_FALSE(callPrimitive(988, maskGC, {point(0, 0), point(20, 20)}).failed);  // paint 0: an empty mask
  ASSERT_FALSE(callPrimitive(995, gc, {mask, graphicsContext(pixmap(screen, 20, 20)), point(0, 0), point(0, 0)}).failed);
  fill(0x123456);
  readBack();
  EXPECT_EQ(pixelAt(data, 20, 3, 15), 0x00123456u) << "no mask after a masked copy";
}

TEST_F(X11, X11_Drawing_CopiesAnswerTheirExposures) {
  oop screen = openScreen();
  registerInput();
  std::vector<Event> seen;
  oop covered = shownWindow(this, screen, &seen, 200, 200);
  oop cover = window(screen, 250, 250, 100, 100, 0);  // override-redirect, over half of it
  ASSERT_FALSE(callPrimitive(944, cover, {}).failed);
  XSync(displayOf(screen), False);
  oop target = pixmap(screen, 100, 100);
  oop gc = graphicsContext(target);
  PrimOutcome fromPixmap = callPrimitive(994, gc, {point(50, 50), graphicsContext(pixmap(screen, 50, 50)), point(0, 0), point(0, 0)});
  ASSERT_FALSE(fromPixmap.failed);
  EXPECT_EQ(bodyWordsOf(headerOf(fromPixmap.result)), 0u) << "a pixmap has every pixel";
  pump();
  for (const Event& e : drainEvents()) EXPECT_NE(e.rawType, NoExpose) << "no NoExpose left behind as an event";
  PrimOutcome fromWindow = callPrimitive(994, gc, {point(100, 100), graphicsContext(covered), point(0, 0), point(0, 0)});
  ASSERT_FALSE(fromWindow.failed);
  ASSERT_GE(bodyWordsOf(headerOf(fromWindow.result)), 1u) << "the covered part could not be copied";
  oop first = slotOf(fromWindow.result, 0);
  EXPECT_EQ(slotOf(first, 0), smallIntegerFor(50));
  EXPECT_EQ(slotOf(first, 1), smallIntegerFor(50));
}

// Slots and arguments are checked before anything goes to the server.
TEST_F(X11, X11_Drawing_FailuresNameTheSlotOrArgumentAndSendNothing) {
  oop screen = openScreen();
  Display* d = displayOf(screen);
  oop p = pixmap(screen, 10, 10);
  struct {
    uint64_t slot;
    oop value;
    int code;
    int64_t carried;
  } cases[] = {{6, smallIntegerFor(4), 4, 7}, {7, smallIntegerFor(0), 4, 8}, {5, smallIntegerFor(70000), 4, 6},
               {9, nilOop(), 4, 10}, {10, nilOop(), 4, 11}};
  for (auto& c : cases) {
    oop gc = graphicsContext(p);
    setSlot(gc, c.slot, c.value);
    XSync(d, False);
    unsigned long request = NextRequest(d);
    FailureInfo f = failureOf(callPrimitive(989, gc, {point(0, 0), point(5, 5)}));
    EXPECT_EQ(f.code, c.code) << "slot " << c.slot + 1;
    EXPECT_EQ(f.value, c.carried) << "slot " << c.slot + 1;
    EXPECT_EQ(NextRequest(d), request) << "no request sent";
  }
  oop gc = graphicsContext(p);
  FailureInfo notPoint = failureOf(callPrimitive(985, gc, {point(0, 0), nilOop()}));
  EXPECT_EQ(notPoint.code, 3);
  EXPECT_EQ(notPoint.value, 2);
  FailureInfo emptyPolygon = failureOf(callPrimitive(987, gc, {array({}), point(0, 0)}));
  EXPECT_EQ(emptyPolygon.code, 0);
  FailureInfo badAngle = failureOf(callPrimitive(990, gc, {point(0, 0), point(5, 5), nilOop(), smallIntegerFor(90)}));
  EXPECT_EQ(badAngle.code, 3);
  EXPECT_EQ(badAngle.value, 3);
  PrimOutcome nothing = callPrimitive(991, gc, {point(0, 0), point(0, 10), smallIntegerFor(0), smallIntegerFor(360)});
  EXPECT_FALSE(nothing.failed) << "an empty extent draws nothing and succeeds";
}

TEST_F(X11, X11_Canvas_RefusedWindowsLeaveNoWindow) {
  oop screen = openScreen();
  Display* d = displayOf(screen);
  auto children = [&]() {
    Window root, parent, *kids = nullptr;
    unsigned n = 0;
    XQueryTree(d, DefaultRootWindow(d), &root, &parent, &kids, &n);
    if (kids != nullptr) XFree(kids);
    return n;
  };
  unsigned before = children();
  PrimOutcome type8 = callPrimitive(906, screen, {point(0, 0), point(10, 10), nilOop(), nilOop(), smallIntegerFor(8), nilOop()});
  PrimOutcome minOverMax = callPrimitive(906, screen, {point(0, 0), point(10, 10), point(50, 50), point(20, 20),
                                                       smallIntegerFor(2), nilOop()});
  EXPECT_TRUE(type8.failed && minOverMax.failed);
  EXPECT_EQ(failureOf(type8).code, 0);
  EXPECT_EQ(children(), before);
  oop w = window(screen, 0, 0, 10, 10);
  PrimOutcome limits = callPrimitive(907, w, {smallIntegerFor(30), smallIntegerFor(30), smallIntegerFor(20), smallIntegerFor(20)});
  EXPECT_TRUE(limits.failed) << "907 with the minimum over the maximum";
  ASSERT_FALSE(callPrimitive(940, w, {}).failed);
  EXPECT_TRUE(callPrimitive(940, w, {}).failed) << "a window destroyed twice";
  EXPECT_TRUE(callPrimitive(944, w, {}).failed) << "nor shown once destroyed";
}

// A protocol error is reported and the program goes on drawing.
TEST_F(X11, X11_Errors_BadDrawableIsReportedAndDrawingGoesOn) {
  oop screen = openScreen();
  Display* d = displayOf(screen);
  oop p = pixmap(screen, 10, 10);
  oop bogus = newOldObject(classIndexByteArray, 48);
  memcpy(bodyOf(headerOf(bogus)), bodyOf(headerOf(slotOf(p, 0))), 48);
  *reinterpret_cast<uint64_t*>(bodyOf(headerOf(bogus))) = 0x3FFFFFF;  // no such drawable
  oop bad = newOldObject(testClasses.threeSlots, 3);
  setSlot(bad, 0, bogus);
  testing::internal::CaptureStdout();
  EXPECT_FALSE(callPrimitive(988, graphicsContext(bad), {point(0, 0), point(5, 5)}).failed);
  XSync(d, False);
  std::string report = testing::internal::GetCapturedStdout();
  EXPECT_NE(report.find("\nX11 Error:\nDisplay:\t0x"), std::string::npos) << report;
  EXPECT_NE(report.find("Major:\t70 (X_PolyFillRectangle)\n"), std::string::npos) << report;
  EXPECT_NE(report.find("XID:\t0x03ffffff\n"), std::string::npos) << report;
  EXPECT_FALSE(callPrimitive(988, graphicsContext(p), {point(0, 0), point(5, 5)}).failed);
  XSync(d, False);
}
