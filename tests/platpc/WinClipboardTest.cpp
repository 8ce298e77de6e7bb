// Clipboard text through primitives 910 and 911 under Wine, checked against the clipboard as
// Win32 itself reads and writes it: ANSI-code-page and byte-string platform strings, the
// empty text, a clipboard holding only a bitmap, a refused argument.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "mman/mmAllocate.h"
#include "mman/mmSysOop.h"
#include "mman/testHeap.h"
#include "platpc/ntCanvas.h"
#include "platpc/ntClipboard.h"
#include "platpc/ntMain.h"
#include "support/ioKernel.h"

namespace {

class Win_Clipboard : public ::testing::Test {
 protected:
  void SetUp() override {
    newIOTestHeap();
    initClipboardPrimitives();
    // Windows need the X server Wine draws on (the GUI tests run under xvfb-run).
    if (getenv("DISPLAY") == nullptr) GTEST_SKIP() << "no X display";
    // The command window stands in as the clipboard's owner.
    owner = CreateWindowExW(0, L"STATIC", L"clipboard owner", 0, 0, 0, 1, 1, nullptr, nullptr, nullptr, nullptr);
    ASSERT_NE(owner, nullptr);
    saved = commandWindow;
    commandWindow = owner;
    receiver = newOldObject(testClasses.threeSlots, 3);
    bodyOf(headerOf(receiver))[0] = byteString("gui");
  }
  void TearDown() override {
    commandWindow = saved;
    DestroyWindow(owner);
    byteStringMode = 0;
    freeTestHeap();
  }
  // The clipboard's Unicode text as Win32 reads it; "<none>" when it holds none.
  std::wstring win32Text() {
    if (!OpenClipboard(owner)) return L"<not opened>";
    HANDLE data = GetClipboardData(CF_UNICODETEXT);
    std::wstring text = L"<none>";
    if (data != nullptr) {
      text = static_cast<const wchar_t*>(GlobalLock(data));
      GlobalUnlock(data);
    }
    CloseClipboard();
    return text;
  }
  void putWin32Text(const std::wstring& text) {
    HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE, (text.size() + 1) * 2);
    memcpy(GlobalLock(block), text.c_str(), (text.size() + 1) * 2);
    GlobalUnlock(block);
    ASSERT_TRUE(OpenClipboard(owner));
    EmptyClipboard();
    ASSERT_NE(SetClipboardData(CF_UNICODETEXT, block), nullptr);
    CloseClipboard();
  }
  // The platform-string bytes of text in the current mode; false when the ANSI code page
  // lacks one of its characters.
  static bool platformBytes(const std::wstring& text, std::string* out) {
    if (byteStringMode) {
      out->assign(reinterpret_cast<const char*>(text.data()), text.size() * 2);
      return true;
    }
    char buffer[64];
    BOOL lossy = FALSE;
    int n = WideCharToMultiByte(CP_ACP, 0, text.data(), int(text.size()), buffer, sizeof buffer, nullptr, &lossy);
    out->assign(buffer, size_t(n));
    return !lossy;
  }
  static oop smallIntegerReceiver() {
    oop r = newOldObject(testClasses.threeSlots, 3);
    bodyOf(headerOf(r))[0] = smallIntegerFor(1);
    return r;
  }
  PrimOutcome put(oop text) { return callPrimitive(911, receiver, {text, nilOop()}); }
  PrimOutcome get() { return callPrimitive(910, receiver, {nilOop()}); }
  HWND owner = nullptr, saved = nullptr;
  oop receiver = 0;
};

}  // namespace

// Non-ASCII text goes both ways in either string mode: 911's bytes become the Unicode text
// Win32 reads, and text Win32 put there comes back from 910 as the mode's bytes.
TEST_F(Win_Clipboard, TextRoundTripsInBothStringModes) {
  const std::wstring text = L"caf\u00e9 \u20ac5";
  for (int mode : {0, 1}) {
    byteStringMode = mode;
    std::string bytes;
    if (!platformBytes(text, &bytes)) {
      ADD_FAILURE() << "the ANSI code page " << GetACP() << " lacks a character of the text";
      continue;
    }
    ASSERT_FALSE(put(byteString(bytes)).failed) << mode;
    EXPECT_EQ(win32Text(), text) << mode;
    putWin32Text(text);
    PrimOutcome got = get();
    ASSERT_FALSE(got.failed) << mode;
    ASSERT_NE(got.result, nilOop()) << mode;
    EXPECT_EQ(textOf(got.result), bytes) << mode;
  }
}

// The empty string leaves an empty Unicode text (not none), which 910 answers as nil; a
// clipboard holding only a bitmap answers nil too.
TEST_F(Win_Clipboard, EmptyTextAndBitmapOnlyAnswerNil) {
  ASSERT_FALSE(put(byteString("")).failed);
  EXPECT_EQ(win32Text(), L"");
  EXPECT_EQ(get().result, nilOop());

  HBITMAP bitmap = CreateBitmap(8, 8, 1, 1, nullptr);
  ASSERT_TRUE(OpenClipboard(owner));
  EmptyClipboard();
  ASSERT_NE(SetClipboardData(CF_BITMAP, bitmap), nullptr);
  CloseClipboard();
  PrimOutcome got = get();
  EXPECT_FALSE(got.failed);
  EXPECT_EQ(got.result, nilOop());
}

// Refused input fails with its code before the clipboard is touched.
TEST_F(Win_Clipboard, RefusedInputLeavesTheClipboardAlone) {
  putWin32Text(L"kept");
  oop bytes = oopOf(allocVSObj(sysOop(sysByteArrayClass), 4));
  struct Case {
    const char* what;
    oop receiver, text, selection;
    int code;
    int64_t value;
  } cases[] = {
      {"a ByteArray", receiver, bytes, nilOop(), 3, 1},
      {"a SmallInteger", receiver, smallIntegerFor(7), nilOop(), 3, 1},
      {"a bad selection", receiver, byteString("x"), trueOop(), 3, 2},
      {"a receiver without bytes in slot 0", smallIntegerReceiver(), byteString("x"), nilOop(), 4, -1},
  };
  for (const Case& c : cases) {
    FailureInfo f = failureOf(callPrimitive(911, c.receiver, {c.text, c.selection}));
    EXPECT_EQ(f.code, c.code) << c.what;
    EXPECT_EQ(f.value, c.value) << c.what;
    EXPECT_EQ(win32Text(), L"kept") << c.what;
  }
  EXPECT_EQ(failureOf(callPrimitive(910, receiver, {byteString("x")})).code, 3);
}
