// Test support: the in-process fixture of the Windows window system.
#include "platpc/winGuiFixture.h"

#include "ext/exPrimTable.h"
#include "ext/platform.h"
#include "mman/mmSysOop.h"
#include "mman/testHeap.h"
#include "platpc/ntChannel.h"
#include "platpc/ntMain.h"

std::vector<HostEvent> WinGuiTest::drained;

enum : UINT { markerMessage = WM_APP + 0x123 };
static bool markerSeen;

static void keep(const HostEvent* e) {
  if (eventKind(*e) != hevOther) WinGuiTest::drained.push_back(*e);
  else if (e->raw.message == int32_t(markerMessage)) markerSeen = true;
}

// The VM thread's input request, reduced to what the tests read.
static void drainForTest() { drainHostEvents(keep); }

int eventKind(const HostEvent& e) { return int(smallIntegerValue(e.kind)); }

void WinGuiTest::SetUp() {
  newIOTestHeap(1 << 18);
  handleRegistryX = 0;
  if (moduleInstance == nullptr) moduleInstance = GetModuleHandleW(nullptr);
  ASSERT_TRUE(initWindowClasses(moduleInstance));
  initGUIPrimitives();
  pdSynchronizeInput = drainForTest;
  drainForTest();
  drained.clear();
}

void WinGuiTest::TearDown() {
  for (oop w : windows) callPrimitive(940, w, {});
  drainForTest();
  drained.clear();
  freeTestHeap();
}

oop winPoint(int64_t x, int64_t y) {
  oop p = newOldObject(sysPointClass, 2);
  bodyOf(headerOf(p))[0] = smallIntegerFor(x);
  bodyOf(headerOf(p))[1] = smallIntegerFor(y);
  return p;
}

oop winArray(const std::vector<oop>& slots) {
  oop a = newOldObject(classIndexArray, slots.size());
  for (uint64_t i = 0; i < slots.size(); i++) bodyOf(headerOf(a))[i] = slots[i];
  return a;
}

oop WinGuiTest::point(int64_t x, int64_t y) { return winPoint(x, y); }
oop WinGuiTest::array(const std::vector<oop>& slots) { return winArray(slots); }

oop WinGuiTest::bytes(uint64_t n) { return newOldObject(classIndexByteArray, n); }

void WinGuiTest::setSlot(oop o, uint64_t index, oop value) { bodyOf(headerOf(o))[index] = value; }

oop WinGuiTest::holder(oop handleBytes) {
  oop h = newOldObject(testClasses.threeSlots, 3);
  setSlot(h, 0, handleBytes);
  return h;
}

HWND WinGuiTest::hwndOf(oop drawable) { return drawableWindowHandle(drawableHandleBytes(drawable)); }

oop WinGuiTest::window(int64_t x, int64_t y, int64_t w, int64_t h, int64_t type, bool map) {
  PrimOutcome r = callPrimitive(906, nilOop(), {point(x, y), point(w, h), nilOop(), nilOop(), smallIntegerFor(type), nilOop()});
  EXPECT_FALSE(r.failed) << "906";
  if (r.failed) return nilOop();
  windows.push_back(holder(r.result));
  if (map) {
    EXPECT_FALSE(callPrimitive(944, windows.back(), {}).failed);
  }
  return windows.back();
}

oop WinGuiTest::pixmap(int64_t w, int64_t h) {
  PrimOutcome r = callPrimitive(900, nilOop(), {point(w, h)});
  EXPECT_FALSE(r.failed) << "900";
  return r.failed ? nilOop() : holder(r.result);
}

std::vector<HostEvent> WinGuiTest::events(size_t atLeast) {
  for (int i = 0; i < 500; i++) {
    drainForTest();
    if (drained.size() >= atLeast) break;
    Sleep(10);
  }
  std::vector<HostEvent> all;
  all.swap(drained);
  return all;
}

void WinGuiTest::post(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  PostMessageW(window, message, wParam, lParam);
  // Posted messages reach the procedure in order: once the marker has, so has this one.
  markerSeen = 0;
  PostMessageW(window, markerMessage, 0, 0);
  for (int i = 0; i < 500 && !markerSeen; i++) {
    drainForTest();
    if (!markerSeen) Sleep(10);
  }
  EXPECT_TRUE(markerSeen) << "the window's thread took the message";
}
