// Input methods under Wine and Xvfb, on a window of the VM window procedure: an injected
// result string becomes kind-20 events (5, groups of four units as 6, 7); "imeDisable"
// swallows composition messages until "imeSetSpot"; the routines are in the link registry.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "ext/platform.h"
#include "platpc/ntCanvas.h"
#include "platpc/ntIme.h"
#include "prim/prLinkRegistry.h"

namespace {

const wchar_t injected[] = L"abcdefghi";  // 9 units
LONG WINAPI injectedComposition(HIMC, DWORD kind, void* buffer, DWORD bytes) {
  if (kind != GCS_RESULTSTR) return 0;
  LONG n = LONG(wcslen(injected) * 2);
  if (DWORD(n) > bytes) return -1;
  memcpy(buffer, injected, size_t(n));
  return n;
}

std::vector<std::vector<int32_t>> imeEvents;
void collect(const HostEvent* e) {
  if (smallIntegerValue(e->kind) != hevIme) return;
  EXPECT_EQ(smallIntegerValue(e->state), 3);
  imeEvents.push_back({e->x, e->y, e->x2, e->y2, e->extra});
}
void noSynchronize() {}

class Win_Ime : public ::testing::Test {
 protected:
  void SetUp() override {
    if (getenv("DISPLAY") == nullptr) GTEST_SKIP() << "no X display";
    savedSeams = guiSeams;
    savedSetup = imeWindowSetupHook, savedCleanup = imeCleanupHook, savedMessage = imeMessageHook;
    savedSynchronize = pdSynchronizeInput;
    static bool registered = false;
    if (!registered) initInputMethods(), registered = true;
    imeWindowSetupHook = nullptr;
    imeCleanupHook = nullptr;
    imeMessageHook = imeWindowMessage;
    guiSeams.immGetCompositionStringW = injectedComposition;
    pdSynchronizeInput = noSynchronize;
    ASSERT_EQ(initHostEventQueue(), 1);
    WNDCLASSEXW c = {};
    c.cbSize = sizeof c;
    c.lpfnWndProc = vmWindowProc;
    c.cbWndExtra = sizeof(void*);
    c.lpszClassName = L"TesselImeTest";
    RegisterClassExW(&c);
    window = CreateWindowExW(0, L"TesselImeTest", L"ime", WS_POPUP, 0, 0, 50, 50, nullptr, nullptr, nullptr, nullptr);
    ASSERT_NE(window, nullptr);
    imeState = {};
    imeState.serviceWindow = window;  // the routines' hidden window
    drainHostEvents(collect);
    imeEvents.clear();
  }
  void TearDown() override {
    if (window != nullptr) DestroyWindow(window);
    UnregisterClassW(L"TesselImeTest", nullptr);
    imeState = {};
    guiSeams = savedSeams;
    imeWindowSetupHook = savedSetup, imeCleanupHook = savedCleanup, imeMessageHook = savedMessage;
    pdSynchronizeInput = savedSynchronize;
  }
  // The kind-20 events a composition message leaves, and what the window procedure answered.
  std::vector<std::vector<int32_t>> compose(UINT message, LPARAM flags, LRESULT* answer = nullptr) {
    LRESULT a = SendMessageW(window, message, 0, flags);
    if (answer != nullptr) *answer = a;
    imeEvents.clear();
    drainHostEvents(collect);
    return imeEvents;
  }
  HWND window = nullptr;
  GuiSeams savedSeams;
  WindowCall savedSetup;
  void (*savedCleanup)(HWND);
  bool (*savedMessage)(HWND, UINT, WPARAM, LPARAM);
  void (*savedSynchronize)();
};

}  // namespace

// A result of 9 units: start, two full groups, one group of one unit and three -1, end.
TEST_F(Win_Ime, ResultStringsBecomeGroupsOfFourUnits) {
  LRESULT answer;
  std::vector<std::vector<int32_t>> expected = {
      {5, -1, -1, -1, -1}, {6, 'a', 'b', 'c', 'd'}, {6, 'e', 'f', 'g', 'h'}, {6, 'i', -1, -1, -1}, {7, -1, -1, -1, -1}};
  EXPECT_EQ(compose(WM_IME_COMPOSITION, GCS_RESULTSTR, &answer), expected);
  EXPECT_EQ(answer, 1);
  // A composition without a result posts nothing.
  EXPECT_TRUE(compose(WM_IME_COMPOSITION, GCS_COMPSTR).empty());
}

// After "imeDisable" the composition messages are swallowed (answered 1, nothing posted,
// no composition starts) until "imeSetSpot" enables the window again.
TEST_F(Win_Ime, DisableSwallowsUntilSetSpot) {
  EXPECT_EQ(imeDisable(), 1);
  LRESULT answer;
  for (UINT message : {UINT(WM_IME_STARTCOMPOSITION), UINT(WM_IME_COMPOSITION), UINT(WM_IME_ENDCOMPOSITION)}) {
    EXPECT_TRUE(compose(message, GCS_RESULTSTR, &answer).empty()) << message;
    EXPECT_EQ(answer, 1) << message;
  }
  EXPECT_EQ(imeState.composing, 0);
  EXPECT_EQ(imeSetSpot(window, 12, 34), 1);
  EXPECT_EQ(imeState.spot.x, 12);
  EXPECT_EQ(imeState.spot.y, 34);
  compose(WM_IME_STARTCOMPOSITION, 0);
  EXPECT_EQ(imeState.composing, 1);
  EXPECT_EQ(compose(WM_IME_COMPOSITION, GCS_RESULTSTR).size(), 5u);
  compose(WM_IME_ENDCOMPOSITION, 0);
  EXPECT_EQ(imeState.composing, 0);
  // Without a composition, forcing acceptance posts nothing and answers 0.
  EXPECT_EQ(imeForceAccept(), 0);
  imeEvents.clear();
  drainHostEvents(collect);
  EXPECT_TRUE(imeEvents.empty());
}

// The eight routines are found by name; the area is packed as two words of 16-bit halves.
TEST_F(Win_Ime, RoutinesAreRegisteredByName) {
  const struct {
    const char* name;
    void* routine;
  } routines[] = {
      {"imeSetSpot", reinterpret_cast<void*>(imeSetSpot)},     {"imeDisable", reinterpret_cast<void*>(imeDisable)},
      {"imeSetRoot", reinterpret_cast<void*>(imeSetRoot)},     {"imeSetFont", reinterpret_cast<void*>(imeSetFont)},
      {"imeSetArea", reinterpret_cast<void*>(imeSetArea)},     {"imeForceAccept", reinterpret_cast<void*>(imeForceAccept)},
      {"imeForceClose", reinterpret_cast<void*>(imeForceClose)},
      {"imeDisableInNewWindow", reinterpret_cast<void*>(imeDisableInNewWindow)},
  };
  for (const auto& r : routines) EXPECT_EQ(UPHandleForSymbol(r.name), r.routine) << r.name;
  imeSetArea(0x10001, 2, -1, 4);
  EXPECT_EQ(imeState.area[0], 0x00020001u);
  EXPECT_EQ(imeState.area[1], 0x0004FFFFu);
}
