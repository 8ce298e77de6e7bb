// Drag feedback under Wine and Xvfb with scripted pointer traces: the cursor positions and
// button states that the seams answer step by step, and the answer each drag gives.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

#include "mman/mmAllocate.h"
#include "mman/mmSysOop.h"
#include "mman/testHeap.h"
#include "platpc/ntCanvas.h"
#include "platpc/ntFeedback.h"
#include "platpc/ntMain.h"
#include "support/ioKernel.h"
#include "platpc/winGuiFixture.h"

namespace {

// One step of a trace: where the cursor is and which buttons (1 left, 2 middle, 4 right) are down.
struct Step {
  int x, y;
  uint32_t buttons;
};
std::vector<Step> trace;
size_t traceAt;  // the step the next cursor reading answers
int shownReadings;  // cursor readings while the feedback window was up, visible and not active


BOOL WINAPI scriptedCursor(POINT* p) {
  const Step& s = trace[traceAt < trace.size() ? traceAt : trace.size() - 1];
  if (traceAt < trace.size()) traceAt++;
  if (feedbackWindow != nullptr && IsWindowVisible(feedbackWindow) && GetActiveWindow() != feedbackWindow) shownReadings++;
  *p = {s.x, s.y};
  return TRUE;
}
// The buttons of the step the cursor was last read at.
SHORT WINAPI scriptedKeys(int key) {
  const Step& s = trace[traceAt == 0 ? 0 : traceAt - 1];
  uint32_t bit = key == VK_LBUTTON ? 1 : key == VK_MBUTTON ? 2 : key == VK_RBUTTON ? 4 : 0;
  return (s.buttons & bit) != 0 ? SHORT(0x8000) : 0;
}

// The window system registers the feedback window's class at start-up; without it here a
// plain class stands in. True when it was registered here.
bool standInFeedbackClass() {
  WNDCLASSEXW c = {};
  c.cbSize = sizeof c;
  if (GetClassInfoExW(moduleInstance, L"KLPX4", &c)) return false;
  c.lpfnWndProc = DefWindowProcW;
  c.hInstance = moduleInstance;
  c.lpszClassName = L"KLPX4";
  return RegisterClassExW(&c) != 0;
}

class Win_Feedback : public ::testing::Test {
 protected:
  void SetUp() override {
    newIOTestHeap();
    initFeedbackPrimitives();
    saved = guiSeams;
    savedDesktop = virtualDesktopRect;
    virtualDesktopRect = {0, 0, 600, 400};
    // Windows need the X server Wine draws on (the GUI tests run under xvfb-run).
    if (getenv("DISPLAY") == nullptr) GTEST_SKIP() << "no X display";
    guiSeams.getCursorPos = scriptedCursor;
    guiSeams.getAsyncKeyState = scriptedKeys;
    ownClass = standInFeedbackClass();
    receiver = newOldObject(testClasses.threeSlots, 3);
    bodyOf(headerOf(receiver))[0] = byteString("gui");
  }
  void TearDown() override {
    guiSeams = saved;
    virtualDesktopRect = savedDesktop;
    if (ownClass) UnregisterClassW(L"KLPX4", moduleInstance);
    freeTestHeap();
  }
  static oop point(int64_t x, int64_t y) { return winPoint(x, y); }
  static oop array(const std::vector<oop>& slots) { return winArray(slots); }
  static oop i(int64_t v) { return smallIntegerFor(v); }
  GuiSeams saved;
  RECT savedDesktop;
  bool ownClass = false;
  oop receiver = 0;
};

std::vector<int64_t> pointsOf(oop answer) {
  std::vector<int64_t> v;
  for (int k = 0; k < 2; k++)
    for (int j = 0; j < 2; j++) v.push_back(smallIntegerValue(slotOf(slotOf(answer, k), j)));
  return v;
}

}  // namespace

// Each drag runs its trace to the button condition and answers {final point, last cursor}.
TEST_F(Win_Feedback, ScriptedDragsAnswerWhereTheyEnded) {
  oop t = trueOop(), f = falseOop(), nil = nilOop();
  oop line = array({point(0, 0), point(10, 0)});
  struct Case {
    const char* what;
    uint32_t number;
    std::vector<oop> args;
    std::vector<Step> steps;
    std::vector<int64_t> expected;
  } cases[] = {
      // Grid 10, minimum 25: the corner starts 30 away and is pushed back to 30 when the
      // pointer comes closer than the minimum.
      {"936 grid 10 minimum 25", 936,
       {i(100), i(100), i(0), i(0), i(25), i(25), nil, i(10), i(10), nil, nil, nil, nil, i(1), t},
       {{130, 130, 1}, {105, 105, 1}, {112, 160, 1}, {112, 160, 0}},
       {130, 160, 112, 160}},
      {"936 ends on a press", 936,
       {i(100), i(100), i(40), i(20), i(0), i(0), i(2), i(0), i(0), nil, nil, nil, nil, i(3), f},
       {{140, 120, 0}, {170, 150, 0}, {171, 151, 4}},
       {170, 150, 171, 151}},
      // Grid x 0 keeps x at its start: the line moves only vertically.
      {"935 grid x 0", 935,
       {line, nil, i(0), i(0), i(0), i(0), i(0), i(1), nil, nil, nil, nil, i(1), t},
       {{50, 60, 1}, {80, 90, 1}, {85, 95, 0}},
       {50, 90, 85, 95}},
      // Grid 10 with phase 3: the start snaps to 43, 53; a button already down ends a
      // press-ended drag at once.
      {"935 snapped start", 935,
       {line, nil, i(0), i(0), i(13), i(-7), i(10), i(10), nil, nil, nil, nil, i(0), f},
       {{47, 52, 1}},
       {43, 53, 47, 52}},
      {"935 inside a constraint", 935,
       {line, i(3), i(0), i(0), i(0), i(0), i(1), i(1), i(10), i(20), i(30), i(40), i(1), t},
       {{0, 0, 1}, {500, 500, 1}, {500, 500, 0}},
       {40, 60, 500, 500}},
      // An empty constraint answers (-1, -1) when the drag ends at once.
      {"935 empty constraint", 935,
       {line, nil, i(0), i(0), i(0), i(0), i(1), i(1), i(0), i(0), i(-10), i(10), i(1), t},
       {{70, 80, 0}},
       {-1, -1, 70, 80}},
  };
  for (const Case& c : cases) {
    trace = c.steps, traceAt = 0, shownReadings = 0;
    PrimOutcome r = callPrimitive(c.number, receiver, c.args);
    ASSERT_FALSE(r.failed) << c.what;
    EXPECT_EQ(pointsOf(r.result), c.expected) << c.what;
    EXPECT_EQ(traceAt, c.steps.size()) << c.what;
    EXPECT_EQ(shownReadings, int(c.steps.size())) << c.what;
    EXPECT_EQ(feedbackWindow, nullptr) << c.what;
    EXPECT_EQ(dragFeedbackRunning, 0) << c.what;
  }
}

// Refused arguments fail before anything is shown.
TEST_F(Win_Feedback, RefusedArgumentsFail) {
  oop t = trueOop(), nil = nilOop();
  oop line = array({point(0, 0), point(10, 0)});
  struct Case {
    const char* what;
    uint32_t number;
    std::vector<oop> args;
    int code;
  } cases[] = {
      {"936 button 4", 936, {i(0), i(0), i(0), i(0), i(0), i(0), nil, i(0), i(0), nil, nil, nil, nil, i(4), t}, 0},
      {"936 pen width 0", 936, {i(0), i(0), i(0), i(0), i(0), i(0), i(0), i(0), i(0), nil, nil, nil, nil, i(1), t}, 0},
      {"935 button 4", 935, {line, nil, i(0), i(0), i(0), i(0), i(0), i(0), nil, nil, nil, nil, i(4), t}, 0},
      {"935 pen width 0", 935, {line, i(0), i(0), i(0), i(0), i(0), i(0), i(0), nil, nil, nil, nil, i(1), t}, 0},
      {"935 empty shape", 935, {array({}), nil, i(0), i(0), i(0), i(0), i(0), i(0), nil, nil, nil, nil, i(1), t}, 0},
      {"935 negative grid", 935, {line, nil, i(0), i(0), i(0), i(0), i(-1), i(0), nil, nil, nil, nil, i(1), t}, 0},
      {"935 a grid of the wrong kind", 935, {line, nil, i(0), i(0), i(0), i(0), t, i(0), nil, nil, nil, nil, i(1), t}, 3},
  };
  trace = {{0, 0, 0}}, traceAt = 0;
  for (const Case& c : cases) {
    EXPECT_EQ(failureOf(callPrimitive(c.number, receiver, c.args)).code, c.code) << c.what;
    EXPECT_EQ(traceAt, 0u) << c.what;
  }
}

// The real pointer: xdotool (tests/platpc/feedbackDrag.sh) presses over a window, moves to
// (200, 150) and releases; the drag follows it there through Wine's own cursor and buttons.
TEST(Win_FeedbackDrag, TheRealPointerDragsAShape) {
  if (getenv("TESSEL_XDOTOOL_DRAG") == nullptr || getenv("DISPLAY") == nullptr)
    GTEST_SKIP() << "run by the win.feedback.drag test with xdotool";
  newIOTestHeap();
  initFeedbackPrimitives();
  bool ownClass = standInFeedbackClass();
  RECT savedDesktop = virtualDesktopRect;
  virtualDesktopRect = {0, 0, GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN)};
  HWND target = CreateWindowExW(WS_EX_TOPMOST, L"STATIC", L"press here", WS_POPUP | WS_VISIBLE, 0, 0, 300, 300, nullptr,
                                nullptr, nullptr, nullptr);
  ASSERT_NE(target, nullptr);
  printf("READY\n");
  fflush(stdout);
  bool pressed = false;
  for (int i = 0; i < 1000 && !pressed; i++) {
    MSG m;
    while (PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&m);
    pressed = (GetAsyncKeyState(VK_LBUTTON) & 0x8000) != 0;
    if (!pressed) Sleep(20);
  }
  ASSERT_TRUE(pressed);
  oop receiver = newOldObject(testClasses.threeSlots, 3);
  bodyOf(headerOf(receiver))[0] = byteString("gui");
  oop line = newOldObject(classIndexArray, 2);
  for (int k = 0; k < 2; k++) {
    oop p = newOldObject(sysPointClass, 2);
    bodyOf(headerOf(p))[0] = smallIntegerFor(10 * k);
    bodyOf(headerOf(p))[1] = smallIntegerFor(0);
    bodyOf(headerOf(line))[k] = p;
  }
  oop nil = nilOop(), one = smallIntegerFor(1), zero = smallIntegerFor(0);
  PrimOutcome r = callPrimitive(935, receiver, {line, nil, zero, zero, zero, zero, one, one, nil, nil, nil, nil, one, trueOop()});
  ASSERT_FALSE(r.failed);
  EXPECT_EQ(pointsOf(r.result), (std::vector<int64_t>{200, 150, 200, 150}));
  EXPECT_EQ(feedbackWindow, nullptr);
  DestroyWindow(target);
  virtualDesktopRect = savedDesktop;
  if (ownClass) UnregisterClassW(L"KLPX4", moduleInstance);
  freeTestHeap();
}
