// Reports of the window-mode program go to message boxes (here behind the messageBoxW seam);
// a fault under oeMain is logged to the event log before the process ends.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "ext/exOption.h"
#include "ext/platform.h"
#include "platpc/ntMain.h"

namespace {

struct Box {
  std::wstring text, title;
  UINT flags;
};
std::vector<Box> boxes;

int WINAPI recordBox(HWND, LPCWSTR text, LPCWSTR title, UINT flags) {
  boxes.push_back({text, title, flags});
  return IDOK;
}

}  // namespace

// In window mode a report is a stop box with OK and Cancel (0x1011) whose text ends with
// the Cancel hint; the help an information box (0x40) as it is; suppressed text and console
// mode show no box.
TEST(Win_Reports, WindowModeReportsGoToMessageBoxes) {
  wcscpy(applicationName, L"tesselw");
  int savedMode = consoleMode;
  uint32_t savedHelp = printHelp;
  auto savedBox = messageBoxW;
  messageBoxW = recordBox;
  boxes.clear();
  consoleMode = 0;
  pdPrint(0, 1, "text");
  printHelp = 1;
  pdPrint(0, 1, "usage: help");
  printHelp = 0;
  testing::internal::CaptureStdout();
  pdPrint(1, 1, "suppressed");
  consoleMode = 1;
  pdPrint(0, 1, "console");
  std::string out = testing::internal::GetCapturedStdout();
  consoleMode = savedMode;
  printHelp = savedHelp;
  messageBoxW = savedBox;
  ASSERT_EQ(boxes.size(), 2u);
  EXPECT_EQ(boxes[0].text, L"text\nCancel to debug");
  EXPECT_EQ(boxes[0].flags, 0x1011u);
  EXPECT_EQ(boxes[0].title, L"tesselw");
  EXPECT_EQ(boxes[1].text, L"usage: help");
  EXPECT_EQ(boxes[1].flags, 0x40u);
  EXPECT_EQ(out, "suppressed\nconsole\n");
}

// Run by tests/platpc/faultLog.cmake only (TESSEL_FAULT_UNDER_OEMAIN set): a fault raised
// inside oeMain's filtered steps ends the process after the filter logged it.
TEST(Win_FaultLog, FaultUnderOeMain) {
  if (getenv("TESSEL_FAULT_UNDER_OEMAIN") == nullptr) GTEST_SKIP() << "run by faultLog.cmake";
  oeMainTestFault = [] { RaiseException(0xE0001234, 0, 0, nullptr); };
  wchar_t program[] = L"tessel";
  wchar_t* argv[] = {program, nullptr};
  oeMain(1, argv);
  ADD_FAILURE() << "oeMain came back";
}
