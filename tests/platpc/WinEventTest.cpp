// The host event queue and the window procedures, in process under Wine and Xvfb: a KLPX2
// window on the command-window thread, real messages posted to it (and SendInput), read back
// as the host events the VM thread would drain. Key and pointer state Wine cannot be made to
// hold comes from the seam table.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "ext/platform.h"
#include "mman/mmSysOop.h"
#include "mman/testHeap.h"
#include "platpc/ntMain.h"
#include "prim/prEnviron.h"
#include "platpc/winGuiFixture.h"

namespace {

SHORT heldKeys[256];
SHORT WINAPI seamKeyState(int vk) { return heldKeys[vk & 255]; }

class WinGui_Events : public WinGuiTest {
 protected:
  void SetUp() override {
    WinGuiTest::SetUp();
    saved = guiSeams;
    memset(heldKeys, 0, sizeof heldKeys);
    guiSeams.getKeyState = seamKeyState;
    guiSeams.getAsyncKeyState = seamKeyState;
    SetCursorPos(0, 0);  // away from the window: no real motion there
    w = window(40, 40, 200, 150);
    hwnd = hwndOf(w);
    post(hwnd, WM_MOUSEMOVE, 0, 0);  // the pointer resync after activation
    events(0);
  }
  void TearDown() override {
    guiSeams = saved;
    byteStringMode = 0;
    WinGuiTest::TearDown();
  }
  static LPARAM at(int x, int y) { return MAKELPARAM(x, y); }
  GuiSeams saved;
  oop w;
  HWND hwnd;
};

TEST_F(WinGui_Events, FullQueueDropsLaterEventsAndKeepsOrder) {
  for (int i = 0; i < hostEventCapacity + 1; i++) {
    int32_t fields[5] = {i, 0, 0, 0, 0};
    makeHostEvent(nullptr, hevMotion, 0, fields, smallIntegerFor(0), nullptr);
  }
  std::vector<HostEvent> e = events();
  ASSERT_EQ(e.size(), size_t(hostEventCapacity));
  for (int i = 0; i < hostEventCapacity; i++) ASSERT_EQ(e[i].x, i);
}

// Each row: a message and the event it makes; the button mask carries over between rows.
TEST_F(WinGui_Events, PointerMessagesGiveKindButtonAndMask) {
  struct Row {
    UINT message;
    WPARAM wParam;
    int kind, extra;
    int64_t state;
  } rows[] = {
      {WM_RBUTTONDOWN, MK_RBUTTON, hevButtonDown, 3, maskRight},
      {WM_LBUTTONDOWN, MK_LBUTTON, hevButtonDown, 1, maskRight | maskLeft},
      {WM_RBUTTONUP, 0, hevButtonUp, 3, maskLeft},
      {WM_LBUTTONUP, 0, hevButtonUp, 1, 0},
      {WM_MBUTTONDBLCLK, 0, hevDoubleClick, 2, maskMiddle},
      {WM_MBUTTONUP, 0, hevButtonUp, 2, 0},
      {WM_MOUSEMOVE, 0, hevMotion, 0, 0},
  };
  for (const Row& r : rows) {
    post(hwnd, r.message, r.wParam, at(7, 9));
    std::vector<HostEvent> e = events(1);
    ASSERT_EQ(e.size(), 1u) << r.message;
    EXPECT_EQ(eventKind(e[0]), r.kind) << r.message;
    EXPECT_EQ(e[0].state, smallIntegerFor(r.state)) << r.message;
    if (r.kind != hevMotion) {
      EXPECT_EQ(e[0].extra, r.extra) << r.message;
    }
    EXPECT_EQ(e[0].x, 7);
    EXPECT_EQ(e[0].y, 9);
    POINT screen = {7, 9};
    ClientToScreen(hwnd, &screen);
    EXPECT_EQ(e[0].x2, screen.x);
    EXPECT_EQ(e[0].window, drawableSerial(drawableHandleBytes(w)));
    EXPECT_EQ(e[0].raw.message, int32_t(r.message));
  }
}

TEST_F(WinGui_Events, ShiftDuringMotionComesFirstAsOneSyntheticKey) {
  heldKeys[VK_SHIFT] = SHORT(0x8000);
  post(hwnd, WM_MOUSEMOVE, 0, at(3, 4));
  post(hwnd, WM_MOUSEMOVE, 0, at(5, 4));
  std::vector<HostEvent> e = events(3);
  ASSERT_EQ(e.size(), 3u);
  EXPECT_EQ(eventKind(e[0]), hevKeyDown);
  EXPECT_EQ(e[0].key, smallIntegerFor(0x2000F));
  EXPECT_EQ(e[0].extra, int32_t(maskShift));
  EXPECT_EQ(eventKind(e[1]), hevMotion);
  EXPECT_EQ(e[1].state, smallIntegerFor(maskShift));
  EXPECT_EQ(eventKind(e[2]), hevMotion);
  heldKeys[VK_SHIFT] = 0;
  post(hwnd, WM_MOUSEMOVE, 0, at(6, 4));
  e = events(2);
  ASSERT_EQ(e.size(), 2u);
  EXPECT_EQ(eventKind(e[0]), hevKeyUp);
  EXPECT_EQ(e[0].key, smallIntegerFor(0x2000F));
}

TEST_F(WinGui_Events, KeysOfTheTableAndControlCharacters) {
  struct Row {
    WPARAM vk;
    bool ctrl;
    uint64_t key;  // 0: no key event
  } rows[] = {
      {VK_HOME, false, smallIntegerFor(0x20001)}, {VK_NEXT, false, smallIntegerFor(0x20007)},
      {VK_INSERT, false, smallIntegerFor(0x2000E)}, {VK_F1, false, smallIntegerFor(0x20020)},
      {VK_F24, false, smallIntegerFor(0x20037)}, {VK_DELETE, false, characterFor(127)},
      {VK_BACK, true, characterFor(8)}, {VK_TAB, true, characterFor(9)},
      {VK_BACK, false, 0}, {'A', false, 0}, {VK_SHIFT, false, 0},
  };
  for (const Row& r : rows) {
    heldKeys[VK_CONTROL] = r.ctrl ? SHORT(0x8000) : 0;
    post(hwnd, WM_KEYDOWN, r.vk, 1);
    post(hwnd, WM_KEYUP, r.vk, 1);
    std::vector<HostEvent> e = events();
    std::vector<HostEvent> keys;  // those of the key messages, not the modifier or WM_CHAR ones
    for (const HostEvent& x : e)
      if (x.key != smallIntegerFor(0x20011) && (x.raw.message == WM_KEYDOWN || x.raw.message == WM_KEYUP)) keys.push_back(x);
    if (r.key == 0) {
      EXPECT_TRUE(keys.empty()) << r.vk;
      continue;
    }
    ASSERT_EQ(keys.size(), 2u) << r.vk;
    EXPECT_EQ(eventKind(keys[0]), hevKeyDown);
    EXPECT_EQ(eventKind(keys[1]), hevKeyUp);
    EXPECT_EQ(keys[0].key, r.key) << r.vk;
  }
}

// A character becomes one down/up pair per byte of the ANSI code page, or in byte-string
// mode one pair of its UTF-16 unit with the unshifted key in the state.
TEST_F(WinGui_Events, CharactersInBothModes) {
  const wchar_t units[] = {L'e', 0x00E9, 0x20AC, 0x0416};
  LPARAM scanOfE = LPARAM(MapVirtualKeyW('E', MAPVK_VK_TO_VSC)) << 16 | 1;
  for (wchar_t unit : units) {
    char expected[4];
    int n = WideCharToMultiByte(CP_ACP, 0, &unit, 1, expected, 4, nullptr, nullptr);
    post(hwnd, WM_CHAR, unit, scanOfE);
    std::vector<HostEvent> e = events(size_t(2 * n));
    ASSERT_EQ(e.size(), size_t(2 * n)) << int(unit);
    for (int i = 0; i < n; i++) {
      EXPECT_EQ(eventKind(e[2 * i]), hevKeyDown);
      EXPECT_EQ(eventKind(e[2 * i + 1]), hevKeyUp);
      EXPECT_EQ(e[2 * i].key, characterFor(uint8_t(expected[i])));
    }
    byteStringMode = 1;
    post(hwnd, WM_CHAR, unit, scanOfE);
    byteStringMode = 0;
    e = events(2);
    ASSERT_EQ(e.size(), 2u);
    EXPECT_EQ(e[0].key, characterFor(unit));
    EXPECT_EQ(e[0].state, characterFor('e'));
  }
}

TEST_F(WinGui_Events, WheelCloseMinimiseAndRestore) {
  POINT screen = {10, 12};
  ClientToScreen(hwnd, &screen);
  post(hwnd, WM_MOUSEWHEEL, MAKEWPARAM(MK_SHIFT, WHEEL_DELTA), MAKELPARAM(screen.x, screen.y));
  std::vector<HostEvent> e = events(1);
  ASSERT_EQ(e.size(), 1u);
  EXPECT_EQ(eventKind(e[0]), hevWheel);
  EXPECT_EQ(e[0].state, smallIntegerFor(-WHEEL_DELTA));
  EXPECT_EQ(e[0].extra, MK_SHIFT);
  EXPECT_EQ(e[0].x, 10);
  EXPECT_EQ(e[0].y, 12);

  post(hwnd, WM_CLOSE, 0, 0);
  e = events(1);
  ASSERT_EQ(e.size(), 1u);
  EXPECT_EQ(eventKind(e[0]), hevClose);
  EXPECT_TRUE(IsWindow(hwnd)) << "the image decides";

  ASSERT_FALSE(callPrimitive(962, w, {}).failed);
  e = events(1);
  ASSERT_FALSE(e.empty());
  EXPECT_EQ(eventKind(e[0]), hevCollapse);
  for (const HostEvent& x : e) EXPECT_NE(eventKind(x), hevMoveSize) << "none while iconic";
  ASSERT_FALSE(callPrimitive(963, w, {}).failed);
  e = events(2);
  std::vector<int> kinds;
  for (const HostEvent& x : e)
    if (eventKind(x) == hevExpand || eventKind(x) == hevMoveSize) kinds.push_back(eventKind(x));
  ASSERT_GE(kinds.size(), 2u);
  EXPECT_EQ(kinds[0], hevExpand);
  EXPECT_EQ(kinds[1], hevMoveSize);
}

// What the VM thread delivers: key events through the key entry (key and state as the pair),
// the others through the typed entry (state and 0), each with the raw message beside it.
TEST_F(WinGui_Events, DeliveredRecordsOfTheInputQueue) {
  oop input = holder(bytes(8));
  ASSERT_FALSE(callPrimitive(913, input, {newSemaphore()}).failed);
  HostEvent key = {};
  key.window = 7, key.kind = smallIntegerFor(hevKeyDown), key.state = characterFor('b'), key.key = characterFor('a');
  key.x = 1, key.y = 2, key.x2 = 3, key.y2 = 4, key.extra = maskShift, key.time = 99;
  key.raw = {0, 7, WM_CHAR, 0, 'a', 0x1E0001};
  HostEvent wheel = {};
  wheel.window = 8, wheel.kind = smallIntegerFor(hevWheel), wheel.state = smallIntegerFor(-120), wheel.key = 0;
  wheel.x = 5, wheel.y = 6, wheel.x2 = 7, wheel.y2 = 8, wheel.extra = MK_SHIFT, wheel.time = 100;
  wheel.raw = {0, 8, WM_MOUSEWHEEL, 0, 0x780004, 0};
  deliverHostEvent(&key);
  deliverHostEvent(&wheel);
  oop record = newOldObject(classIndexArray, 11), raw = bytes(32);
  setSlot(record, 9, raw);
  struct Want {
    int64_t type, window, fields[5];
    oop extra1, extra2;
    int32_t message;
  } wants[] = {{1, 7, {1, 2, 3, 4, maskShift}, characterFor('a'), characterFor('b'), WM_CHAR},
               {hevWheel, 8, {5, 6, 7, 8, MK_SHIFT}, smallIntegerFor(-120), smallIntegerFor(0), WM_MOUSEWHEEL}};
  for (const Want& w : wants) {
    PrimOutcome r = callPrimitive(914, input, {record});
    ASSERT_EQ(r.result, trueOop());
    EXPECT_EQ(slotOf(record, 0), smallIntegerFor(w.type));
    EXPECT_EQ(slotOf(record, 1), smallIntegerFor(w.window));
    for (int i = 0; i < 5; i++) EXPECT_EQ(slotOf(record, uint64_t(2 + i)), smallIntegerFor(w.fields[i])) << i;
    EXPECT_EQ(slotOf(record, 7), w.extra1);
    EXPECT_EQ(slotOf(record, 10), w.extra2);
    int32_t message;
    memcpy(&message, reinterpret_cast<const uint8_t*>(bodyOf(headerOf(raw))) + 8, 4);
    EXPECT_EQ(message, w.message);
  }
  EXPECT_NE(callPrimitive(914, input, {record}).result, trueOop()) << "two events only";
}

// With "RepaintDuringResizeOrMove" 0, the exposures of a full-window drag wait for its end
// and come as one event with the union of what was missed.
TEST_F(WinGui_Events, ExposuresDeferredDuringSizeMove) {
  RegisteredNamedObject* repaint = findRegisteredName("RepaintDuringResizeOrMove", 25);
  ASSERT_NE(repaint, nullptr);
  *reinterpret_cast<uint32_t*>(repaint->value) = 0;
  post(hwnd, WM_ENTERSIZEMOVE, 0, 0);
  RECT a = {10, 10, 20, 20}, b = {50, 40, 60, 45};
  InvalidateRect(hwnd, &a, FALSE);
  post(hwnd, WM_NULL, 0, 0);
  InvalidateRect(hwnd, &b, FALSE);
  post(hwnd, WM_NULL, 0, 0);
  for (const HostEvent& x : events()) EXPECT_NE(eventKind(x), hevExpose) << "none while dragging";
  post(hwnd, WM_EXITSIZEMOVE, 0, 0);
  *reinterpret_cast<uint32_t*>(repaint->value) = 1;
  std::vector<HostEvent> exposes;
  for (const HostEvent& x : events(1))
    if (eventKind(x) == hevExpose) exposes.push_back(x);
  ASSERT_EQ(exposes.size(), 1u);
  EXPECT_EQ(exposes[0].x, 10);
  EXPECT_EQ(exposes[0].y, 10);
  EXPECT_EQ(exposes[0].x2, 50) << "width of the union";
  EXPECT_EQ(exposes[0].y2, 35) << "height of the union";
}

// Real input through the window system: a right click where the window is.
TEST_F(WinGui_Events, SendInputRightClick) {
  RECT r;
  GetWindowRect(hwnd, &r);
  POINT c = {20, 30};
  ClientToScreen(hwnd, &c);
  SetCursorPos(c.x, c.y);
  INPUT in[2] = {};
  in[0].type = in[1].type = INPUT_MOUSE;
  in[0].mi.dwFlags = MOUSEEVENTF_RIGHTDOWN;
  in[1].mi.dwFlags = MOUSEEVENTF_RIGHTUP;
  ASSERT_EQ(SendInput(2, in, sizeof(INPUT)), 2u);
  std::vector<HostEvent> e, all;
  for (int i = 0; i < 50 && all.size() < 2; i++) {
    e = events(0);
    for (const HostEvent& x : e)
      if (eventKind(x) == hevButtonDown || eventKind(x) == hevButtonUp) all.push_back(x);
    Sleep(20);
  }
  ASSERT_EQ(all.size(), 2u);
  EXPECT_EQ(eventKind(all[0]), hevButtonDown);
  EXPECT_EQ(all[0].extra, 3);
  EXPECT_EQ(all[0].state, smallIntegerFor(maskRight));
  EXPECT_EQ(all[0].x, 20);
  EXPECT_EQ(all[0].y, 30);
}

// The window thread sends to its window while the VM thread has it changed through
// sendToWindowThread: neither waits on the other, and events stay in order.
TEST_F(WinGui_Events, NoDeadlockBetweenWindowThreadAndVMThread) {
  enum { count = 5000 };
  std::atomic<bool> done{false};
  std::thread producer([&] {
    for (int i = 1; i <= count; i++) SendMessageW(hwnd, WM_MOUSEMOVE, MK_XBUTTON2, MAKELPARAM(i % 1000, i / 1000));
    done = true;
  });
  int answered = 0;
  for (int i = 0; i < count; i++) answered += sendToWindowThread(hwnd, i % 2 == 0 ? VMWM_ENABLE : VMWM_SETFOCUS, 1, 0) == 1;
  producer.join();
  EXPECT_EQ(answered, int(count));
  std::vector<HostEvent> e = events(0);
  int last = 0;
  for (const HostEvent& x : e) {
    if (eventKind(x) != hevMotion || x.raw.wParam != MK_XBUTTON2) continue;
    int index = x.y * 1000 + x.x;
    EXPECT_GT(index, last) << "events in order";
    last = index;
  }
  EXPECT_TRUE(done);
}

}  // namespace
