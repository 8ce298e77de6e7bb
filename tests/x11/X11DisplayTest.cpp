// The X11 window system in process against Xvfb: palettes of both visual classes, the
// resource file driving widget colours, booleans and the colour cube, and the decoration
// offsets read from the root property.
#include <X11/Xatom.h>

#include <cstdio>
#include <fstream>

#include "mman/mmSysOop.h"
#include "mman/testHeap.h"
#include "x11/x11Fixture.h"

// The colour {r g b} of palette entry p (Doubles in 0..1), or false for nil.
static bool paletteColour(oop entries, uint64_t p, double rgb[3]) {
  oop e = slotOf(entries, p);
  if (e == nilOop()) return false;
  for (uint64_t k = 0; k < 3; k++) rgb[k] = X11::doubleValue(slotOf(e, k));
  return true;
}

static std::string resourceFile(const std::string& name, const std::string& text) {
  std::string path = testing::TempDir() + "/x11-" + name;
  std::ofstream(path) << text;
  return path;
}

TEST_F(X11, X11_Palette_TrueColorShiftsAndPseudoColorCube) {
  PrimOutcome direct = callPrimitive(996, openScreen(), {});
  ASSERT_FALSE(direct.failed);
  EXPECT_EQ(slotOf(direct.result, 0), smallIntegerFor(1));
  const int64_t want[6] = {16, 255, 8, 255, 0, 255};
  for (uint64_t k = 0; k < 6; k++) EXPECT_EQ(slotOf(slotOf(direct.result, 1), k), smallIntegerFor(want[k])) << k;

  // 8-bit PseudoColor without standard maps: a 5 x 7 x 5 cube at the top, 14 grays below it,
  // in a colormap of its own so that no other connection holds cells there.
  std::string path = resourceFile("own", "St80*useOwnColormap: true\n");
  PrimOutcome mapped = callPrimitive(996, openScreen("TESSEL_X8", path.c_str()), {});
  ASSERT_FALSE(mapped.failed);
  EXPECT_EQ(slotOf(mapped.result, 0), smallIntegerFor(0));
  oop entries = slotOf(mapped.result, 1);
  ASSERT_EQ(bodyWordsOf(headerOf(entries)), 256u);
  double c[3];
  for (uint64_t p = 81; p <= 255; p++) {
    ASSERT_TRUE(paletteColour(entries, p, c)) << p;
    uint64_t i = p - 81;
    const double r = double(i / 35) / 4, g = double(i / 5 % 7) / 6, b = double(i % 5) / 4;
    EXPECT_NEAR(c[0], r, 0.005) << p;
    EXPECT_NEAR(c[1], g, 0.005) << p;
    EXPECT_NEAR(c[2], b, 0.005) << p;
  }
  double previous = 0;
  for (uint64_t p = 67; p <= 80; p++) {
    ASSERT_TRUE(paletteColour(entries, p, c)) << p;
    EXPECT_TRUE(c[0] == c[1] && c[1] == c[2] && c[0] > previous && c[0] < 1) << p;
    previous = c[0];
  }
  EXPECT_FALSE(paletteColour(entries, 40, c)) << "a cell the engine does not hold answers nil";
}

static oop widgetColour(oop screen, int role, int kind) {
  PrimOutcome r = callPrimitive(1120, screen, {smallIntegerFor(role), smallIntegerFor(kind), smallIntegerFor(2)});
  EXPECT_FALSE(r.failed);
  return r.result;
}

// A kind's name with a role sets one slot; the bare role fills the kinds not yet set; a
// kind whose rest matches no role (menu + BarForeground) is passed over for the longer one.
TEST_F(X11, X11_Resources_WidgetColoursFromTheEnvironmentFile) {
  std::string path = resourceFile("widgets", "St80*buttonBackground: #00ff00\nSt80*background: #0000ff\n"
                                             "St80*menuBarForeground: #ff0000\nSt80*borderColor: #102030\n");
  oop screen = openScreen("TESSEL_X24", path.c_str());
  EXPECT_EQ(widgetColour(screen, 1, 1), smallIntegerFor(0x00FF00));
  EXPECT_EQ(widgetColour(screen, 1, 0), smallIntegerFor(0x0000FF));
  EXPECT_EQ(widgetColour(screen, 1, 10), smallIntegerFor(0x0000FF));
  EXPECT_EQ(widgetColour(screen, 0, 10), smallIntegerFor(0xFF0000));
  EXPECT_EQ(widgetColour(screen, 0, 9), nilOop());
  PrimOutcome bad = callPrimitive(1120, screen, {smallIntegerFor(13), smallIntegerFor(0), smallIntegerFor(2)});
  EXPECT_EQ(failureOf(bad).code, 3);
}

// Booleans are the whole words true and false in any case; anything else is no value.
TEST_F(X11, X11_Resources_BooleansChooseTheColormap) {
  struct {
    const char* value;
    bool own;
  } cases[] = {{"TRUE", true}, {"False", false}, {"yes", false}};
  for (auto& c : cases) {
    std::string path = resourceFile("colormap", std::string("St80*useOwnColormap: ") + c.value + "\n");
    oop screen = openScreen("TESSEL_X8", path.c_str());
    Display* d = displayOf(screen);
    oop w = window(screen, 0, 0, 10, 10);
    XWindowAttributes a;
    ASSERT_TRUE(XGetWindowAttributes(d, (Window)drawableId(w), &a));
    EXPECT_EQ(a.colormap != DefaultColormap(d, DefaultScreen(d)), c.own) << c.value;
  }
}

// A colorCube resource places its cube and grays; maxima of 0 make one black level each
// instead of a division by zero.
TEST_F(X11, X11_Resources_ColorCubeResource) {
  struct {
    const char* cube;
    uint64_t first, last;
    double lastRgb[3];
  } cases[] = {{"1, 4, 1, 2, 1, 1, 100; 90, 5", 100, 107, {1, 1, 1}}, {"0, 1, 0, 1, 0, 1, 120; 110, 2", 120, 120, {0, 0, 0}}};
  for (auto& c : cases) {
    std::string path = resourceFile("cube", std::string("St80*useOwnColormap: true\nSt80*colorCube: ") + c.cube + "\n");
    PrimOutcome r = callPrimitive(996, openScreen("TESSEL_X8", path.c_str()), {});
    ASSERT_FALSE(r.failed);
    oop entries = slotOf(r.result, 1);
    double rgb[3];
    for (uint64_t p = c.first; p <= c.last; p++) EXPECT_TRUE(paletteColour(entries, p, rgb)) << c.cube << " " << p;
    ASSERT_TRUE(paletteColour(entries, c.last, rgb));
    for (int k = 0; k < 3; k++) EXPECT_EQ(rgb[k], c.lastRgb[k]) << c.cube;
    EXPECT_TRUE(paletteColour(entries, c.first == 100 ? 90 : 110, rgb)) << "the ramp's first gray";
  }
}

// The root property seeds the offsets windows are placed with; only exactly 32 items count.
TEST_F(X11, X11_Registry_OffsetsPropertyOf32ItemsOnly) {
  Atom a = XInternAtom(own, "_ZNR_WIN_OFFSETS", False);
  struct {
    int items;
    int x, y;
  } cases[] = {{31, 100, 100}, {32, 93, 91}};
  for (auto& c : cases) {
    long items[32] = {};
    items[4 * 2] = 7, items[4 * 2 + 1] = 9;  // type 2, kind 0
    XChangeProperty(own, DefaultRootWindow(own), a, a, 32, PropModeReplace, (unsigned char*)items, c.items);
    XSync(own, False);
    oop screen = openScreen();
    oop w = window(screen, 100, 100, 20, 20, 2);
    Window root, child;
    int x, y;
    unsigned width, height, border, depth;
    ASSERT_TRUE(XGetGeometry(displayOf(screen), (Window)drawableId(w), &root, &x, &y, &width, &height, &border, &depth));
    EXPECT_EQ(x, c.x) << c.items << " items";
    EXPECT_EQ(y, c.y) << c.items << " items";
    (void)child;
  }
  XDeleteProperty(own, DefaultRootWindow(own), a);
  XSync(own, False);
}

// Under a reparenting window manager the first map of a decorated type measures its offset
// and writes it to the root property for the next run.
TEST_F(X11, X11_WindowManager_FirstMapWritesTheOffsets) {
  oop screen = openScreen();
  registerInput();
  oop w = window(screen, 100, 100, 60, 40, 2 | (1 << 16));
  ASSERT_FALSE(callPrimitive(944, w, {}).failed);
  std::vector<Event> seen;
  ASSERT_TRUE(waitForEvent(12, drawableId(w), &seen)) << "mapped";
  Atom a = XInternAtom(own, "_ZNR_WIN_OFFSETS", False), type;
  int format = 0;
  unsigned long count = 0, left = 0;
  unsigned char* data = nullptr;
  for (int i = 0; i < 200 && count == 0; i++) {
    pump();
    drainEvents();
    if (data != nullptr) XFree(data), data = nullptr;
    XGetWindowProperty(own, DefaultRootWindow(own), a, 0, 64, False, a, &type, &format, &count, &left, &data);
    struct timespec pause = {0, 10000000};
    nanosleep(&pause, nullptr);
  }
  ASSERT_EQ(count, 32u);
  EXPECT_EQ(format, 32);
  const long* items = reinterpret_cast<const long*>(data);
  EXPECT_GT(items[4 * 2 + 1], 0) << "the title bar's height, type 2 before mapping";
  XFree(data);
}
