// Fonts and text of the Windows layer, in process: descriptions read into fonts (checked
// against the font's own LOGFONTW), the font list, widths and extents against GDI's own
// measurements, text drawn through a graphics context against the same text drawn by GDI,
// and the script layer's caret positions, hit tests and line breaks.
#include <algorithm>
#include <cmath>
#include <functional>

#include "platpc/winGdiFixture.h"
#include "prim/prDouble.h"

namespace {

class Win_Fonts : public WinGdiTest {
 protected:
  oop screen() {
    oop s = newOldObject(testClasses.threeSlots, 3);
    setSlot(s, 0, bytes("\0\0\0\0\0\0\0", 8));
    return s;
  }
  static oop ascii(const std::string& text) { return byteString(text); }
  // A font object for a description (908's handle in slot 0), or nil.
  oop font(const std::string& description, PrimOutcome* outcome = nullptr) {
    PrimOutcome r = callPrimitive(908, screen(), {ascii(description)});
    if (outcome != nullptr) *outcome = r;
    if (r.failed) return nilOop();
    oop f = newOldObject(testClasses.threeSlots, 3);
    setSlot(f, 0, slotOf(r.result, 0));
    return f;
  }
  static HFONT handleOf(oop font) { return *reinterpret_cast<HFONT*>(bodyOf(headerOf(slotOf(font, 0)))); }
  static LOGFONTW logFontOf(oop font) {
    LOGFONTW lf = {};
    GetObjectW(handleOf(font), sizeof lf, &lf);
    return lf;
  }
  static std::wstring wide(oop platformString) {
    std::string t = textOf(platformString);
    return std::wstring(t.begin(), t.end());
  }
  static double number(oop o) {
    double d = -1e9;
    castOopToFiniteDouble(o, &d);
    return d;
  }
  // GDI's extent of text in a font on the screen DC.
  static SIZE gdiExtent(HFONT f, const std::wstring& text) {
    HDC dc = GetDC(nullptr);
    HGDIOBJ old = SelectObject(dc, f);
    SIZE size = {};
    GetTextExtentPoint32W(dc, text.data(), int(text.size()), &size);
    SelectObject(dc, old);
    ReleaseDC(nullptr, dc);
    return size;
  }
};

// Each field of a description lands in the font: height negated, the three flags, the
// character set by name or "special<n>", and past the type field width, escapement and
// orientation; a list-style description gives height 0 and ANSI.
TEST_F(Win_Fonts, DescriptionsBecomeTheirFonts) {
  const struct {
    const char* description;
    LONG height, weight;
    BYTE italic, underline, strike, charset;
    LONG width, escapement, orientation;
  } cases[] = {
      {"Tahoma~0~400~0~0~0~ansi~4", 0, 400, 0, 0, 0, ANSI_CHARSET, 0, 0, 0},
      {"Arial~12~700~1~1~1~symbol~4", -12, 700, 1, 1, 1, SYMBOL_CHARSET, 0, 0, 0},
      {"Terminal~9~400~0~0~0~oem~1", -9, 400, 0, 0, 0, OEM_CHARSET, 0, 0, 0},
      {"Courier New~0x10~400~0~0~0~special161~4", -16, 400, 0, 0, 0, 161, 0, 0, 0},
      {"Arial~20~400~0~0~0~kanji~4~7~900~450", -20, 400, 0, 0, 0, SHIFTJIS_CHARSET, 7, 900, 450},
      {"Arial~20~400~0~0~0~special300", -20, 400, 0, 0, 0, 300 & 0xFF, 0, 0, 0},  // "special300-0-0-0" reads 300
  };
  for (const auto& c : cases) {
    PrimOutcome r;
    oop f = font(c.description, &r);
    ASSERT_NE(f, nilOop()) << c.description;
    LOGFONTW lf = logFontOf(f);
    EXPECT_EQ(lf.lfHeight, c.height) << c.description;
    EXPECT_EQ(lf.lfWeight, c.weight) << c.description;
    EXPECT_EQ(lf.lfItalic, c.italic) << c.description;
    EXPECT_EQ(lf.lfUnderline, c.underline) << c.description;
    EXPECT_EQ(lf.lfStrikeOut, c.strike) << c.description;
    EXPECT_EQ(lf.lfCharSet, c.charset) << c.description;
    EXPECT_EQ(lf.lfWidth, c.width) << c.description;
    EXPECT_EQ(lf.lfEscapement, c.escapement) << c.description;
    EXPECT_EQ(lf.lfOrientation, c.orientation) << c.description;
    EXPECT_EQ(lf.lfPitchAndFamily, 0) << c.description;
  }
}

// 908 answers {handle bytes, ascent + external leading, descent} as GDI measures the font;
// 973 answers GDI's extent; 980 deletes the font and takes it out of the registry, and a
// second 980 deletes nothing.
TEST_F(Win_Fonts, CreateMeasureAndDelete) {
  PrimOutcome r;
  oop f = font("Tahoma~0~400~0~0~0~ansi~4", &r);
  ASSERT_NE(f, nilOop());
  HFONT h = handleOf(f);
  ASSERT_NE(handleSerial(uint64_t(h), 0x200000), 0u);
  EXPECT_EQ(byteSizeOf(headerOf(slotOf(r.result, 0))), 24u);
  HDC dc = GetDC(nullptr);
  HGDIOBJ old = SelectObject(dc, h);
  TEXTMETRICW tm;
  ASSERT_TRUE(GetTextMetricsW(dc, &tm));
  SelectObject(dc, old);
  ReleaseDC(nullptr, dc);
  EXPECT_EQ(smallIntegerValue(slotOf(r.result, 1)), tm.tmAscent + tm.tmExternalLeading);
  EXPECT_EQ(smallIntegerValue(slotOf(r.result, 2)), tm.tmDescent);

  std::wstring text = L"Hello, wide world";
  PrimOutcome e = callPrimitive(973, f, {units(text), smallIntegerFor(1), smallIntegerFor(int64_t(text.size()))});
  ASSERT_FALSE(e.failed);
  SIZE size = gdiExtent(h, text);
  EXPECT_EQ(smallIntegerValue(slotOf(e.result, 0)), size.cx);
  EXPECT_EQ(smallIntegerValue(slotOf(e.result, 1)), size.cy);
  // 974: the same characters as bytes through a table that maps 'a'..'z' to 'A'..'Z'.
  uint16_t table[256];
  for (int i = 0; i < 256; i++) table[i] = uint16_t(i >= 'a' && i <= 'z' ? i - 32 : i);
  std::string narrow(text.begin(), text.end());
  PrimOutcome t = callPrimitive(974, f, {ascii(narrow), smallIntegerFor(3), smallIntegerFor(9), bytes(table, 512)});
  ASSERT_FALSE(t.failed);
  EXPECT_EQ(smallIntegerValue(slotOf(t.result, 0)), gdiExtent(h, L"LLO, WI").cx);

  ASSERT_FALSE(callPrimitive(980, f, {}).failed);
  EXPECT_EQ(handleSerial(uint64_t(h), 0x200000), 0u);
  EXPECT_FALSE(callPrimitive(980, f, {}).failed);
  oop shortHandle = newOldObject(testClasses.threeSlots, 3);
  setSlot(shortHandle, 0, bytes("1234567", 7));
  EXPECT_EQ(failure(callPrimitive(980, shortHandle, {})).code, primErrGeneral);
}

// Bad descriptions fail with 3 before any font is made; a bad receiver with 4; the range and
// table rules of 973 and 974 fail with 3.
TEST_F(Win_Fonts, BadDescriptionsReceiversAndRanges) {
  for (const char* d : {"x~y", "Arial~12~400~0~0~0~latin~4", "Arial~12~400~0~0~0~ansi", "Arial~12~400~0~0~0~special~4",
                        "~12~400~0~0~0~ansi~4", "ThisFaceNameIsLongerThanThirtyOneUnits~12~400~0~0~0~ansi~4"}) {
    PrimOutcome r;
    font(d, &r);
    EXPECT_EQ(failure(r).code, primErrBadArgument) << d;
  }
  EXPECT_EQ(failure(callPrimitive(908, screen(), {ascii("Arial~" + std::string(130, '1'))})).code, primErrBadArgument);
  EXPECT_EQ(failure(callPrimitive(908, screen(), {smallIntegerFor(3)})).code, primErrBadArgument);
  EXPECT_EQ(failure(callPrimitive(908, smallIntegerFor(1), {ascii("Tahoma~0~400~0~0~0~ansi~4")})).code, primErrBadReceiver);

  oop f = font("Tahoma~0~400~0~0~0~ansi~4");
  ASSERT_NE(f, nilOop());
  oop text = units(L"abcd");
  const struct { oop start, stop; } ranges[] = {{smallIntegerFor(0), smallIntegerFor(2)},
                                                {smallIntegerFor(3), smallIntegerFor(2)},
                                                {smallIntegerFor(1), smallIntegerFor(5)},
                                                {nilOop(), smallIntegerFor(2)}};
  for (const auto& r : ranges) EXPECT_EQ(failure(callPrimitive(973, f, {text, r.start, r.stop})).code, primErrBadArgument);
  uint16_t table[256] = {};
  EXPECT_EQ(failure(callPrimitive(974, f, {ascii("ab"), smallIntegerFor(1), smallIntegerFor(2), bytes(table, 511)})).code,
            primErrBadArgument);
  EXPECT_EQ(failure(callPrimitive(973, screen(), {text, smallIntegerFor(1), smallIntegerFor(2)})).code, primErrBadReceiver);
  callPrimitive(980, f, {});
}

// 977 starts with "System" (where the screen has it); every description has eight fields and makes a font whose
// face, weight and character set are those the description names.
TEST_F(Win_Fonts, TheListStartsWithSystemAndEveryDescriptionReadsBack) {
  PrimOutcome r = callPrimitive(977, screen(), {});
  ASSERT_FALSE(r.failed);
  uint64_t n = bodyWordsOf(headerOf(r.result));
  ASSERT_GT(n, 1u);
  // "System" leads when the screen has such a face, and is not listed again later.
  LOGFONTW system = {};
  system.lfCharSet = DEFAULT_CHARSET;
  wcscpy(system.lfFaceName, L"System");
  int systemStyles = 0;
  HDC dc = GetDC(nullptr);
  EnumFontFamiliesExW(dc, &system, [](const LOGFONTW*, const TEXTMETRICW*, DWORD, LPARAM n) {
    ++*reinterpret_cast<int*>(n);
    return 1;
  }, LPARAM(&systemStyles), 0);
  ReleaseDC(nullptr, dc);
  bool leading = systemStyles > 0;
  for (uint64_t k = 0; k < n; k++) {
    bool isSystem = textOf(slotOf(r.result, k)).rfind("System~", 0) == 0;
    if (!isSystem) leading = false;
    EXPECT_EQ(isSystem, leading) << k;
  }
  if (systemStyles > 0) {
    EXPECT_EQ(textOf(slotOf(r.result, 0)).rfind("System~", 0), 0u);
  }
  for (uint64_t k = 0; k < n && k < 40; k++) {
    std::string d = textOf(slotOf(r.result, k));
    EXPECT_EQ(std::count(d.begin(), d.end(), '~'), 7) << d;
    if (k > 0) {
      EXPECT_NE(d, textOf(slotOf(r.result, k - 1)));
    }
    oop f = font(d);
    ASSERT_NE(f, nilOop()) << d;
    LOGFONTW lf = logFontOf(f);
    std::wstring face(lf.lfFaceName);
    EXPECT_EQ(d.rfind(std::string(face.begin(), face.end()) + "~", 0), 0u) << d;
    EXPECT_NE(d.find("~" + std::to_string(lf.lfWeight) + "~"), std::string::npos) << d;
    callPrimitive(980, f, {});
  }
}

// 916: the width of each code from 128 copies; SmallIntegers rounded from it with the flag
// word 0, Floats with it set; wide units in byte-string mode.
TEST_F(Win_Fonts, CharacterWidths) {
  oop f = font("Arial~13~400~0~0~0~ansi~4");
  ASSERT_NE(f, nilOop());
  HFONT h = handleOf(f);
  auto gdiWidth = [&](wchar_t c) {
    return float(gdiExtent(h, std::wstring(128, c)).cx) / 128.0f;
  };
  for (int mode : {0, 1}) {
    for (uint64_t floats : {0u, 1u}) {
      byteStringMode = mode;
      reinterpret_cast<FontHandleBytes*>(bodyOf(headerOf(slotOf(f, 0))))->floats = floats;
      oop widths = array({nilOop(), nilOop(), nilOop()});
      ASSERT_FALSE(callPrimitive(916, f, {smallIntegerFor('i'), widths}).failed);
      for (int k = 0; k < 3; k++) {
        float w = gdiWidth(wchar_t('i' + k));
        oop got = slotOf(widths, uint64_t(k));
        if (floats) {
          EXPECT_FLOAT_EQ(float(number(got)), w) << mode << " " << k;
        } else {
          EXPECT_EQ(got, smallIntegerFor(int64_t(w + 0.5f))) << mode << " " << k;
        }
      }
    }
  }
  EXPECT_EQ(failure(callPrimitive(916, f, {smallIntegerFor(65), bytes("abcdefgh", 8)})).code, primErrBadArgument);
  callPrimitive(980, f, {});
}

// The script layer: lines of 983 add up to the text, each no wider than the width; a
// single-line break answers one line and a width of 0 one pair (length, total width). 981's
// caret x of every index is found again by 982, left to right and right to left; an index
// past the text answers the total width; 982 at x <= 0 answers 0 and past the text its length.
TEST_F(Win_Fonts, CaretsHitTestsAndLineBreaks) {
  oop f = font("Arial~16~400~0~0~0~ansi~4");
  ASSERT_NE(f, nilOop());
  std::wstring text = L"the quick brown fox jumps over the lazy dog again and again";
  oop t = units(text);
  int64_t n = int64_t(text.size());
  const double width = 120.0;
  PrimOutcome lines = callPrimitive(983, f, {t, newDoubleBox(width), falseOop(), trueOop()});
  ASSERT_FALSE(lines.failed);
  uint64_t slots = bodyWordsOf(headerOf(lines.result));
  ASSERT_GE(slots, 6u);
  int64_t sum = 0;
  for (uint64_t k = 0; k < slots; k += 2) {
    sum += smallIntegerValue(slotOf(lines.result, k));
    EXPECT_LE(number(slotOf(lines.result, k + 1)), width) << k;
  }
  EXPECT_EQ(sum, n);
  PrimOutcome single = callPrimitive(983, f, {t, smallIntegerFor(120), trueOop(), trueOop()});
  ASSERT_FALSE(single.failed);
  EXPECT_EQ(bodyWordsOf(headerOf(single.result)), 2u);
  double total = double(gdiExtent(handleOf(f), text).cx);
  for (oop w : {smallIntegerFor(0), smallIntegerFor(-5)}) {
    PrimOutcome whole = callPrimitive(983, f, {t, w, trueOop(), trueOop()});
    ASSERT_FALSE(whole.failed);
    ASSERT_EQ(bodyWordsOf(headerOf(whole.result)), 2u);
    EXPECT_EQ(slotOf(whole.result, 0), smallIntegerFor(n));
    EXPECT_NEAR(number(slotOf(whole.result, 1)), total, 1.0);
  }

  const struct {
    std::wstring text;
    bool leftToRight;
  } strings[] = {{L"Caret tests", true}, {L"\x05E9\x05DC\x05D5\x05DD \x05E2\x05D5\x05DC\x05DD", false}};
  for (const auto& s : strings) {
    oop u = units(s.text);
    oop ltr = booleanOop(s.leftToRight);
    int64_t len = int64_t(s.text.size());
    double previous = -1;
    for (int64_t i = 0; i < len; i++) {
      PrimOutcome x = callPrimitive(981, f, {smallIntegerFor(i), u, ltr});
      ASSERT_FALSE(x.failed) << i;
      double at = number(x.result);
      EXPECT_NE(at, previous) << i;
      previous = at;
      PrimOutcome back = callPrimitive(982, f, {smallIntegerFor(int64_t(at)), u, ltr});
      ASSERT_FALSE(back.failed) << i;
      EXPECT_EQ(smallIntegerValue(back.result), i) << "x " << at;
    }
    PrimOutcome past = callPrimitive(981, f, {smallIntegerFor(len + 3), u, ltr});
    PrimOutcome measured = callPrimitive(983, f, {u, smallIntegerFor(0), trueOop(), ltr});
    ASSERT_FALSE(past.failed);
    ASSERT_FALSE(measured.failed);
    EXPECT_EQ(number(past.result), number(slotOf(measured.result, 1)));
    EXPECT_EQ(callPrimitive(982, f, {smallIntegerFor(0), u, ltr}).result, smallIntegerFor(0));
    EXPECT_EQ(callPrimitive(982, f, {smallIntegerFor(100000), u, ltr}).result, smallIntegerFor(len));
  }
  // Bad string, index or Boolean: 3; a receiver without a handle: 4.
  EXPECT_EQ(failure(callPrimitive(981, f, {smallIntegerFor(0), ascii("ab"), trueOop()})).code, primErrBadArgument);
  EXPECT_EQ(failure(callPrimitive(981, f, {nilOop(), t, trueOop()})).code, primErrBadArgument);
  EXPECT_EQ(failure(callPrimitive(982, f, {smallIntegerFor(0), t, nilOop()})).code, primErrBadArgument);
  oop empty = newOldObject(testClasses.threeSlots, 3);
  EXPECT_EQ(failure(callPrimitive(983, empty, {t, smallIntegerFor(0), trueOop(), trueOop()})).code, primErrBadReceiver);
  callPrimitive(980, f, {});
}

// A text longer than one shaping chunk (70 000 characters of one item, shaped 32 000 at a
// time): its width, the caret x of a character in the third chunk and the index found at
// that x all follow from one character's advance.
TEST_F(Win_Fonts, LongTextsAreShapedInChunks) {
  oop f = font("Courier New~16~400~0~0~0~ansi~4");
  ASSERT_NE(f, nilOop());
  PrimOutcome one = callPrimitive(981, f, {smallIntegerFor(1), units(L"xx"), trueOop()});
  ASSERT_FALSE(one.failed);
  double advance = number(one.result);
  ASSERT_GT(advance, 0.0);
  const int64_t n = 70000, at = 65000;
  oop t = units(std::wstring(size_t(n), L'x'));
  PrimOutcome whole = callPrimitive(983, f, {t, smallIntegerFor(0), trueOop(), trueOop()});
  ASSERT_FALSE(whole.failed);
  EXPECT_EQ(number(slotOf(whole.result, 1)), advance * double(n));
  PrimOutcome x = callPrimitive(981, f, {smallIntegerFor(at), t, trueOop()});
  ASSERT_FALSE(x.failed);
  EXPECT_EQ(number(x.result), advance * double(at));
  EXPECT_EQ(callPrimitive(982, f, {smallIntegerFor(int64_t(advance) * at), t, trueOop()}).result, smallIntegerFor(at));
  callPrimitive(980, f, {});
}

// Text drawn by 975 (wide units in byte-string mode), 976 and 957 through a graphics context
// equals the same text drawn by TextOutW at the baseline; the GC's translation applies.
TEST_F(Win_Fonts, TextDrawnThroughAContextEqualsGdi) {
  oop f = font("Arial~14~400~0~0~0~ansi~4");
  ASSERT_NE(f, nilOop());
  std::wstring text = L"Hill 42";
  std::string narrow(text.begin(), text.end());
  uint16_t table[256];
  for (int i = 0; i < 256; i++) table[i] = uint16_t(i);
  byteStringMode = 1;
  struct Case {
    const char* name;
    std::function<PrimOutcome(oop)> draw;
    std::wstring drawn;
  } cases[] = {
      {"975", [&](oop g) { return callPrimitive(975, g, {units(text), smallIntegerFor(1), smallIntegerFor(int64_t(text.size())), point(3, 18)}); }, text},
      {"957", [&](oop g) { return callPrimitive(957, g, {ascii(narrow), smallIntegerFor(2), smallIntegerFor(5), point(3, 18), bytes(table, 512)}); }, text.substr(1, 4)},
      {"976", [&](oop g) { return callPrimitive(976, g, {smallIntegerFor(0x416), point(3, 18)}); }, L"\x0416"},
  };
  for (auto& c : cases) {
    HBITMAP b;
    oop p = pixmap(80, 24, &b);
    oop g = gc(p, 1, smallIntegerFor(-0x0000FF), f);
    setSlot(g, gcTranslateX, smallIntegerFor(2));
    PrimOutcome r = c.draw(g);
    ASSERT_FALSE(r.failed) << c.name;
    Direct d = direct(80, 24);
    HGDIOBJ old = SelectObject(d.dc, handleOf(f));
    SetTextAlign(d.dc, TA_BASELINE);
    SetTextColor(d.dc, RGB(255, 0, 0));
    TextOutW(d.dc, 5, 18, c.drawn.data(), int(c.drawn.size()));
    SelectObject(d.dc, old);
    std::vector<uint32_t> expected = finish(d);
    EXPECT_NE(std::count(expected.begin(), expected.end(), 0xFFFFFFu), 80 * 24) << c.name;
    EXPECT_EQ(pixels(b, 80, 24), expected) << c.name;
  }
  // 984 shapes the text: each character lands at the caret x that 981 answers for it.
  HBITMAP b;
  oop g984 = gc(pixmap(80, 24, &b), 1, smallIntegerFor(-0x0000FF), f);
  ASSERT_FALSE(callPrimitive(984, g984, {units(text), trueOop(), point(5, 18)}).failed);
  Direct d = direct(80, 24);
  HGDIOBJ old = SelectObject(d.dc, handleOf(f));
  SetTextAlign(d.dc, TA_BASELINE);
  SetTextColor(d.dc, RGB(255, 0, 0));
  for (size_t i = 0; i < text.size(); i++) {
    PrimOutcome x = callPrimitive(981, f, {smallIntegerFor(int64_t(i)), units(text), trueOop()});
    ASSERT_FALSE(x.failed);
    TextOutW(d.dc, 5 + int(number(x.result)), 18, &text[i], 1);
  }
  SelectObject(d.dc, old);
  EXPECT_EQ(pixels(b, 80, 24), finish(d));
  // A code past 16 bits, a bad range or a table too short fail with 3 before drawing.
  oop ok = gc(pixmap(8, 8), 1, smallIntegerFor(0), f);
  EXPECT_EQ(failure(callPrimitive(976, ok, {smallIntegerFor(65536), point(1, 1)})).code, primErrBadArgument);
  EXPECT_EQ(failure(callPrimitive(975, ok, {units(text), smallIntegerFor(2), smallIntegerFor(99), point(1, 1)})).code,
            primErrBadArgument);
  EXPECT_EQ(failure(callPrimitive(1220, ok, {ascii(narrow), smallIntegerFor(1), smallIntegerFor(2), point(1, 1),
                                             bytes(table, 510)})).code,
            primErrBadArgument);
  // A context whose font slot holds no font object fails with 4 carrying 9.
  oop g = gc(pixmap(8, 8), 1, smallIntegerFor(0), smallIntegerFor(3));
  FailureInfo bad = failure(callPrimitive(976, g, {smallIntegerFor(65), point(1, 1)}));
  EXPECT_EQ(bad.code, primErrBadReceiver);
  EXPECT_EQ(bad.value, 9);
  callPrimitive(980, f, {});
}

}  // namespace
