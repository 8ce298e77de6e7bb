// The display of the Windows window system, in process under Wine and Xvfb: the built-in
// palette tables, the colour description at each depth (through the depth seam), depth and
// DPI reports that leave the display usable, the herald's splash and text, the bell and the
// pointer position, the release-identification box; and, in a prefix of 144 logical pixels
// per inch, the scale of "useWindowsHiDPI".
#include <gtest/gtest.h>

#include <set>
#include <string>

#include "ext/exOption.h"
#include "ext/platform.h"
#include "prim/prDouble.h"
#include "prim/prEnviron.h"
#include "platpc/ntMain.h"
#include "platpc/winGuiFixture.h"

#include <mmsystem.h>  // after windows.h

namespace {

int seamDepth;
int depthFromSeam() { return seamDepth; }

class WinGui_Display : public WinGuiTest {
 protected:
  void SetUp() override {
    WinGuiTest::SetUp();
    saved = guiSeams;
  }
  void TearDown() override {
    guiSeams = saved;
    ASSERT_FALSE(callPrimitive(930, nilOop(), {}).failed);
    WinGuiTest::TearDown();
  }
  void atDepth(int depth) {
    seamDepth = depth;
    guiSeams.displayDepth = depthFromSeam;
    ASSERT_FALSE(callPrimitive(930, nilOop(), {}).failed);
  }
  static std::vector<int64_t> integers(oop array) {
    std::vector<int64_t> v;
    for (uint64_t i = 0; i < byteSizeOf(headerOf(array)) / 8; i++) v.push_back(smallIntegerValue(slotOf(array, i)));
    return v;
  }
  GuiSeams saved;
};

TEST_F(WinGui_Display, BuiltInPaletteTables) {
  uint32_t first[256], second[256];
  builtInPaletteTable(0, first);
  builtInPaletteTable(1, second);
  struct Row {
    int entry;
    uint32_t first, second;
  } rows[] = {{10, 0x111111, 0x4A4A4A}, {23, 0xEEEEEE, 0xF7F7F7}, {24, 0x400000, 0x880000}, {27, 0x000033, 0x00007B},
              {195, 0xBFFFFF, 0xE0FFFF}, {196, 0xFFFFFF, 0}, {245, 0xFFFFFF, 0}};
  for (const Row& r : rows) {
    EXPECT_EQ(first[r.entry], r.first) << r.entry;
    EXPECT_EQ(second[r.entry], r.second) << r.entry;
  }
  for (const uint32_t* t : {first, second}) {
    std::set<uint32_t> cube(t + 24, t + 196);
    EXPECT_EQ(cube.size(), 172u) << "no colour twice";
    for (uint32_t corner : {0x000000u, 0xFFFFFFu, 0x0000FFu, 0x00FF00u, 0xFF0000u, 0xFFFF00u, 0xFF00FFu, 0x00FFFFu})
      EXPECT_EQ(cube.count(corner), 0u) << std::hex << corner;
  }
}

TEST_F(WinGui_Display, ColourDescriptionAtEachDepth) {
  oop screen = holder(bytes(8));
  struct Row {
    int depth;
    int64_t kind;
    std::vector<int64_t> data;
  } rows[] = {{32, 1, {0, 255, 8, 255, 16, 255}}, {24, 1, {0, 255, 8, 255, 16, 255}}, {16, 1, {10, 31, 5, 31, 0, 31}}};
  for (const Row& r : rows) {
    atDepth(r.depth);
    PrimOutcome o = callPrimitive(996, screen, {});
    ASSERT_FALSE(o.failed) << r.depth;
    EXPECT_EQ(slotOf(o.result, 0), smallIntegerFor(r.kind));
    EXPECT_EQ(integers(slotOf(o.result, 1)), r.data) << r.depth;
    EXPECT_EQ(paletteMode, 0);
  }
  atDepth(8);
  EXPECT_EQ(paletteMode, 1);
  PrimOutcome o = callPrimitive(996, screen, {});
  ASSERT_FALSE(o.failed);
  EXPECT_EQ(slotOf(o.result, 0), smallIntegerFor(0));
  oop colours = slotOf(o.result, 1);
  ASSERT_EQ(byteSizeOf(headerOf(colours)) / 8, 256u);
  double red;
  ASSERT_EQ(castOopToFiniteDouble(slotOf(slotOf(colours, 255), 0), &red), 1);
  EXPECT_GE(red, 0.0);
  EXPECT_LE(red, 1.0);
  EXPECT_EQ(failureOf(callPrimitive(996, nilOop(), {})).code, 0);
}

// An unsupported depth is an Error: the set-up goes on with what it had.
TEST_F(WinGui_Display, UnsupportedDepthLeavesTheDisplayUsable) {
  atDepth(32);
  atDepth(12);
  EXPECT_EQ(displayDepth, 32);
  oop w = window(20, 20, 200, 50);
  EXPECT_NE(hwndOf(w), nullptr);
}

TEST_F(WinGui_Display, BellAndPointerPosition) {
  oop screen = holder(bytes(8));
  EXPECT_EQ(callPrimitive(705, screen, {}).result, screen);
  ASSERT_FALSE(callPrimitive(912, screen, {point(33, 44)}).failed);
  POINT p;
  GetCursorPos(&p);
  EXPECT_EQ(p.x, 33);
  EXPECT_EQ(p.y, 44);
  FailureInfo f = failureOf(callPrimitive(912, screen, {smallIntegerFor(3)}));
  EXPECT_EQ(f.code, 3);
  EXPECT_EQ(f.value, 1);
  EXPECT_EQ(failureOf(callPrimitive(912, nilOop(), {point(1, 1)})).code, 4);
}

// The splash: a text cut at 511 units with CR before each LF, a note when the bitmap file is
// missing, a text-only splash for "none", gone when removed.
TEST_F(WinGui_Display, HeraldSplash) {
  wchar_t savedPath[ntPathUnits];
  wcscpy(savedPath, heraldBitmapPath);
  uint32_t savedShow = showHerald;
  showHerald = 1;
  wcscpy(heraldBitmapPath, L"NONE");
  pdHerald(std::string(600, 'x').c_str());
  EXPECT_EQ(wcslen(heraldWindowText()), 511u);
  ASSERT_NE(heraldWindow(), nullptr);
  EXPECT_TRUE(IsWindowVisible(heraldWindow()));
  EXPECT_EQ(showHerald, 0u) << "a bitmap path of none";
  removeSplash();
  EXPECT_EQ(heraldWindow(), nullptr);

  showHerald = 1;
  wcscpy(heraldBitmapPath, L"C:\\no\\such.bmp");
  pdHerald("one\ntwo");
  EXPECT_EQ(std::wstring(heraldWindowText()), L"one\r\ntwo\nBitmap: C:\\no\\such.bmp not found");
  window(10, 10, 200, 60, 2, false);
  EXPECT_EQ(heraldWindow(), nullptr) << "the first window removes the splash";
  wcscpy(heraldBitmapPath, savedPath);
  showHerald = savedShow;
}

std::wstring soundPlayed;
DWORD soundFlags;
BOOL WINAPI recordSound(const wchar_t* sound, HMODULE, DWORD flags) {
  soundPlayed = sound;
  soundFlags = flags;
  return TRUE;
}

// An 8-bit file with a two-colour table and a gap before its bits: the splash is the bitmap's
// size plus the text's band, and shows the bitmap's pixels.
TEST_F(WinGui_Display, HeraldBitmapFile) {
  const int w = 8, h = 6, gap = 10;
  std::vector<uint8_t> file(14 + 40 + 8 + gap + w * h, 0);
  BITMAPFILEHEADER fh = {0x4D42, DWORD(file.size()), 0, 0, DWORD(14 + 40 + 8 + gap)};
  BITMAPINFOHEADER ih = {40, w, h, 1, 8, BI_RGB, 0, 0, 0, 2, 0};
  memcpy(file.data(), &fh, 14);
  memcpy(file.data() + 14, &ih, 40);
  const uint8_t table[8] = {255, 255, 255, 0, 0, 0, 255, 0};  // white, red (blue, green, red, 0)
  memcpy(file.data() + 54, table, 8);
  for (int i = 0; i < w * h; i++) file[fh.bfOffBits + i] = (i % w) >= 4 ? 1 : 0;  // right half red
  wchar_t path[MAX_PATH];
  GetTempPathW(MAX_PATH, path);
  wcscat(path, L"tessel-herald.bmp");
  HANDLE f = CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  DWORD written;
  ASSERT_TRUE(WriteFile(f, file.data(), DWORD(file.size()), &written, nullptr));
  CloseHandle(f);
  wchar_t savedPath[ntPathUnits];
  wcscpy(savedPath, heraldBitmapPath);
  uint32_t savedShow = showHerald;
  wcscpy(heraldBitmapPath, path);
  showHerald = 1;
  wchar_t savedSound[ntPathUnits];
  wcscpy(savedSound, heraldSoundPath);
  wcscpy(heraldSoundPath, L"C:\\herald.wav");
  guiSeams.playSoundW = recordSound;
  pdHerald("t");
  wcscpy(heraldSoundPath, savedSound);
  EXPECT_EQ(soundPlayed, L"C:\\herald.wav");
  EXPECT_EQ(soundFlags, DWORD(SND_FILENAME | SND_ASYNC | SND_NODEFAULT | SND_NOWAIT));
  HWND splash = heraldWindow();
  ASSERT_NE(splash, nullptr);
  UpdateWindow(splash);
  RECT c;
  GetClientRect(splash, &c);
  EXPECT_GE(c.right, w);
  EXPECT_GT(c.bottom, h) << "the text's band below the bitmap";
  HDC dc = GetDC(splash);
  EXPECT_EQ(GetPixel(dc, 1, 1), RGB(255, 255, 255));
  EXPECT_EQ(GetPixel(dc, 6, 1), RGB(255, 0, 0));
  ReleaseDC(splash, dc);
  EXPECT_EQ(std::wstring(heraldWindowText()), L"t");
  pdInformSystemReady();
  EXPECT_EQ(heraldWindow(), nullptr) << "gone when the image is ready";
  DeleteFileW(path);
  wcscpy(heraldBitmapPath, savedPath);
  showHerald = savedShow;
}

std::wstring boxText, boxTitle;
int WINAPI recordBox(HWND, LPCWSTR text, LPCWSTR title, UINT) {
  boxText = text;
  boxTitle = title;
  return IDOK;
}

TEST_F(WinGui_Display, ReleaseIdentificationBox) {
  auto savedBox = messageBoxW;
  int savedConsole = consoleMode;
  messageBoxW = recordBox;
  consoleMode = 0;
  const uint8_t vi[4] = {1, 2, 3, 4}, from[4] = {5, 6, 7, 0x25};
  pdReportVersion("banner", 9, 10, 8, 0x25, vi, from);
  messageBoxW = savedBox;
  consoleMode = savedConsole;
  EXPECT_EQ(boxTitle, L"Release identification codes");
  EXPECT_NE(boxText.find(L"banner\n"), std::wstring::npos);
  EXPECT_NE(boxText.find(L"VM   version: 9 platform: 10 release: 8.3 flags: 5"), std::wstring::npos);
  EXPECT_NE(boxText.find(L"VI   version: 1 minor: 2 release: 3 variant: 4"), std::wstring::npos);
  EXPECT_NE(boxText.find(L"From version: 5 platform: 6 release: 7.3 flags: 5"), std::wstring::npos);
}

// Run in the prefix of 144 logical pixels per inch (ctest's win.hidpi).
class WinHiDpi_Display : public WinGuiTest {};

TEST_F(WinHiDpi_Display, ScaleOfUseWindowsHiDPI) {
  HDC dc = GetDC(nullptr);
  ASSERT_EQ(GetDeviceCaps(dc, LOGPIXELSX), 144) << "the prefix's screen";
  ReleaseDC(nullptr, dc);
  RegisteredNamedObject* flag = findRegisteredName("useWindowsHiDPI", 15);
  ASSERT_NE(flag, nullptr);
  *reinterpret_cast<uint32_t*>(flag->value) = 0;
  ASSERT_FALSE(callPrimitive(930, nilOop(), {}).failed);
  EXPECT_EQ(displayScale, 1.0f) << "clear: 1.0 on any monitor";
  *reinterpret_cast<uint32_t*>(flag->value) = 1;
  ASSERT_FALSE(callPrimitive(930, nilOop(), {}).failed);
  EXPECT_EQ(displayScale, 1.5f);
  oop w = window(30, 30, 200, 100);
  EXPECT_EQ(drawableScaleX(drawableHandleBytes(w)), 1.5f);
  RECT client;
  GetClientRect(hwndOf(w), &client);
  EXPECT_EQ(client.right, 300);
  EXPECT_EQ(client.bottom, 150);
  POINT origin = {0, 0};
  ClientToScreen(hwndOf(w), &origin);
  EXPECT_GE(origin.x, 45) << "the origin scaled too";
  post(hwndOf(w), WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(30, 45));
  post(hwndOf(w), WM_LBUTTONUP, 0, MAKELPARAM(30, 45));
  std::vector<HostEvent> e = events(2);
  bool seen = false;
  for (const HostEvent& x : e)
    if (eventKind(x) == hevButtonDown) {
      seen = true;
      EXPECT_EQ(x.x, 20);
      EXPECT_EQ(x.y, 30);
    }
  EXPECT_TRUE(seen);
  *reinterpret_cast<uint32_t*>(flag->value) = 0;
}

}  // namespace
