// The printer primitives under Wine on an in-process metafile DC standing in for the default
// printer: the spooler calls are interposed and leave comments in the metafile, so a job's
// transcript (document, pages, text lines with their line positions, raw printer data) is
// read back from it in order.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "mman/mmAllocate.h"
#include "mman/mmSysOop.h"
#include "mman/testHeap.h"
#include "platpc/ntChannel.h"
#include "platpc/ntMain.h"
#include <winspool.h>

#include "platpc/ntPrint.h"
#include "prim/prDouble.h"
#include "support/ioKernel.h"
#include "platpc/winGuiFixture.h"

namespace fs = std::filesystem;

namespace {

// The stand-in printer: a metafile DC over the screen, a DEVMODE naming "Test Printer".
struct FakePrinter {
  int dialogs;           // printDialog calls
  bool absent;           // no default printer
  int pageHeight;        // the physical page height answered, in device pixels
  bool postScriptIdent;  // the device knows POSTSCRIPT_IDENTIFY
  bool refuseData;       // PASSTHROUGH answers 0
  HDC dc;
  HENHMETAFILE closed;   // the metafile once the printer DC was deleted
};
FakePrinter fake;

void comment(HDC dc, const std::string& text) { GdiComment(dc, UINT(text.size()), reinterpret_cast<const BYTE*>(text.data())); }

BOOL WINAPI fakeDialog(PRINTDLGW* dialog) {
  fake.dialogs++;
  if (fake.absent) return FALSE;
  fake.dc = dialog->hDC = CreateEnhMetaFileW(nullptr, nullptr, nullptr, nullptr);
  // A printer DC comes with a font; a metafile DC has text metrics only once it has one.
  SelectObject(dialog->hDC, GetStockObject(SYSTEM_FONT));
  dialog->hDevMode = GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, sizeof(DEVMODEW));
  DEVMODEW* mode = static_cast<DEVMODEW*>(GlobalLock(dialog->hDevMode));
  wcscpy(mode->dmDeviceName, L"Test Printer");
  mode->dmSize = sizeof *mode;
  mode->dmOrientation = DMORIENT_PORTRAIT;
  GlobalUnlock(dialog->hDevMode);
  dialog->hDevNames = GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, sizeof(DEVNAMES) + 64);
  return TRUE;
}
int WINAPI fakeStartDoc(HDC dc, const DOCINFOW* info) {
  std::wstring name = info->lpszDocName, type = info->lpszDatatype != nullptr ? info->lpszDatatype : L"";
  comment(dc, "doc(" + std::string(name.begin(), name.end()) + (type.empty() ? "" : "," + std::string(type.begin(), type.end())) + ")");
  return 1;
}
int WINAPI fakeStartPage(HDC dc) { return comment(dc, "S"), 1; }
int WINAPI fakeEndPage(HDC dc) { return comment(dc, "E"), 1; }
int WINAPI fakeEndDoc(HDC dc) { return comment(dc, "D"), 1; }
int WINAPI fakeEscape(HDC dc, int escape, int inBytes, LPCSTR in, int outBytes, LPSTR out) {
  if (escape == QUERYESCSUPPORT) {
    int asked;
    memcpy(&asked, in, sizeof asked);
    return asked == PASSTHROUGH || (asked == POSTSCRIPT_IDENTIFY && fake.postScriptIdent);
  }
  if (escape == GETPHYSPAGESIZE && outBytes >= int(sizeof(POINT))) {
    POINT page = {GetDeviceCaps(dc, HORZRES), fake.pageHeight};
    memcpy(out, &page, sizeof page);
    return 1;
  }
  if (escape == POSTSCRIPT_IDENTIFY) return comment(dc, "ident"), 1;
  if (escape != PASSTHROUGH || inBytes < 2) return -1;
  if (fake.refuseData) return 0;
  int count = uint8_t(in[0]) | uint8_t(in[1]) << 8;
  if (count != inBytes - 2) return -1;
  comment(dc, "P(" + std::string(in + 2, size_t(count)) + ")");
  return count;
}
BOOL WINAPI fakeDeleteDC(HDC dc) {
  fake.closed = CloseEnhMetaFile(dc);
  return fake.closed != nullptr;
}

struct Transcript {
  std::string text;
  int lineHeight;
};
int CALLBACK addRecord(HDC, HANDLETABLE*, const ENHMETARECORD* record, int, LPARAM data) {
  Transcript* t = reinterpret_cast<Transcript*>(data);
  if (record->iType == EMR_GDICOMMENT) {
    const EMRGDICOMMENT* c = reinterpret_cast<const EMRGDICOMMENT*>(record);
    t->text += " " + std::string(reinterpret_cast<const char*>(c->Data), c->cbData);
  } else if (record->iType == EMR_EXTTEXTOUTW) {
    const EMREXTTEXTOUTW* c = reinterpret_cast<const EMREXTTEXTOUTW*>(record);
    const wchar_t* units = reinterpret_cast<const wchar_t*>(reinterpret_cast<const char*>(record) + c->emrtext.offString);
    std::wstring s(units, c->emrtext.nChars);
    t->text += " " + std::string(s.begin(), s.end()) + "@" + std::to_string(c->emrtext.ptlReference.y / t->lineHeight);
  } else if (record->iType == EMR_STRETCHDIBITS) {
    // Where the bitmap went, its two first colours (0xBBGGRR) and each row's first byte as stored.
    const EMRSTRETCHDIBITS* c = reinterpret_cast<const EMRSTRETCHDIBITS*>(record);
    const BITMAPINFO* info = reinterpret_cast<const BITMAPINFO*>(reinterpret_cast<const char*>(record) + c->offBmiSrc);
    const uint8_t* bits = reinterpret_cast<const uint8_t*>(record) + c->offBitsSrc;
    char text[96];
    auto colour = [&](int i) { return info->bmiColors[i].rgbRed | info->bmiColors[i].rgbGreen << 8 | info->bmiColors[i].rgbBlue << 16; };
    snprintf(text, sizeof text, " dib(%ld,%ld %ldx%ld %06x %06x", c->xDest, c->yDest, c->cxDest, c->cyDest, colour(0), colour(1));
    t->text += text;
    int rowBytes = int((info->bmiHeader.biWidth * info->bmiHeader.biBitCount + 31) / 32 * 4);
    for (int row = 0; row < info->bmiHeader.biHeight; row++) {
      snprintf(text, sizeof text, " %02x", bits[row * rowBytes]);
      t->text += text;
    }
    t->text += ")";
  }
  return 1;
}

class Win_Printing : public ::testing::Test {
 protected:
  void SetUp() override {
    newIOTestHeap();
    handleRegistryX = 0;
    initHandleRegistry();
    initPrinterPrimitives();
    saved = printerCalls;
    printerCalls = {fakeDialog, fakeStartDoc, fakeStartPage, fakeEndPage, fakeEndDoc, fakeEscape, fakeDeleteDC};
    fake = {0, false, 0, false, false, nullptr, nullptr};
    dir = fs::path(testing::TempDir()) / "printing";
    fs::remove_all(dir);
    fs::create_directories(dir);
    // The line height the stand-in printer's text has.
    HDC screen = CreateEnhMetaFileW(nullptr, nullptr, nullptr, nullptr);
    TEXTMETRICW metrics;
    SelectObject(screen, GetStockObject(SYSTEM_FONT));
    ASSERT_TRUE(GetTextMetricsW(screen, &metrics));
    lineHeight = metrics.tmHeight + metrics.tmExternalLeading;
    DeleteEnhMetaFile(CloseEnhMetaFile(screen));
  }
  void TearDown() override {
    printerCalls = saved;
    if (fake.closed != nullptr) DeleteEnhMetaFile(fake.closed);
    std::error_code ignored;
    fs::remove_all(dir, ignored);
    freeTestHeap();
  }
  static oop point(int64_t x, int64_t y) { return winPoint(x, y); }
  static oop array(const std::vector<oop>& slots) { return winArray(slots); }
  static oop holder(oop slot0) {
    oop h = newOldObject(testClasses.threeSlots, 3);
    bodyOf(headerOf(h))[0] = slot0;
    return h;
  }
  oop file(const std::string& name, const std::string& contents) {
    fs::path p = dir / name;
    std::ofstream(p, std::ios::binary) << contents;
    return holder(byteString(p.string()));
  }
  // What the last job left in its metafile.
  std::string transcript() {
    Transcript t = {"", lineHeight};
    if (fake.closed == nullptr) return "<not closed>";
    EnumEnhMetaFile(nullptr, fake.closed, addRecord, &t, nullptr);
    DeleteEnhMetaFile(fake.closed);
    fake.closed = nullptr;
    return t.text;
  }
  PrinterCalls saved;
  fs::path dir;
  int lineHeight = 1;
};

}  // namespace

// A text file prints line by line at (c + 2) line heights, each line whole but for its own
// end (a last line without a newline too); a form feed starts a page, and the page fills at
// the physical height less seven lines.
TEST_F(Win_Printing, TextFilesPrintTheirLinesAndPages) {
  const std::string head = " doc(PRINTER OUTPUT) S";
  struct Case {
    const char* contents;
    int linesPerPage;
    const char* expected;
  } cases[] = {
      {"one\ntwo\nthree", 60, " one@3 two@4 three@5 E D"},
      {"a\r\nb\r\n", 60, " a@3 b@4 E D"},
      {"a\n\f\nb\n", 60, " a@3 E S b@3 E D"},
      {"a\n\fhead\nb\n", 60, " a@3 E S head@3 b@4 E D"},
      {"1\n2\n3\n4\n5\n", 10, " 1@3 2@4 3@5 E S 4@3 5@4 E D"},
      {"", 60, " D"},
      {"tab\there\n", 60, " tab@3 here@3 E D"},
  };
  for (const Case& c : cases) {
    fake.pageHeight = c.linesPerPage * lineHeight;
    PrimOutcome r = callPrimitive(1612, file("job.txt", c.contents), {});
    EXPECT_FALSE(r.failed) << c.contents;
    EXPECT_EQ(transcript(), head + c.expected) << c.contents;
  }
}

// A PostScript file goes raw after "initgraphics" in counted chunks of at most 1022 bytes,
// with no page calls; a device that knows POSTSCRIPT_IDENTIFY is switched to GDI-centric mode.
TEST_F(Win_Printing, PostScriptFilesPassThroughRaw) {
  std::string big(1022 * 2 + 5, 'x');
  big[1022] = 'y';
  struct Case {
    std::string contents;
    bool ident;
    std::string expected;
  } cases[] = {
      {"", false, " doc(PostScript Output,RAW) P(initgraphics\n) D"},
      {"%!PS\nshowpage\n", true, " ident doc(PostScript Output,RAW) P(initgraphics\n) P(%!PS\nshowpage\n) D"},
      {big, false,
       " doc(PostScript Output,RAW) P(initgraphics\n) P(" + big.substr(0, 1022) + ") P(" + big.substr(1022, 1022) +
           ") P(xxxxx) D"},
  };
  for (const Case& c : cases) {
    fake.postScriptIdent = c.ident;
    PrimOutcome r = callPrimitive(1611, file("job.ps", c.contents), {});
    EXPECT_FALSE(r.failed) << c.contents.size();
    EXPECT_EQ(transcript(), c.expected) << c.contents.size();
  }  // Data the printer refuses still ends the document, but the job is not reported as printed.
  fake.refuseData = true;
  EXPECT_EQ(failureOf(callPrimitive(1611, file("job.ps", "x"), {})).code, 0);
  EXPECT_EQ(transcript(), " doc(PostScript Output,RAW) D");
}

// 1200's record: the registered DC and DEVMODE, the drawable type and printer kind, TrueType
// as graphics; the metrics, name, depth and pages on it; 1203 releases both handles once.
TEST_F(Win_Printing, PrinterRecordsOpenRunAndRelease) {
  PrimOutcome opened = callPrimitive(1200, nilOop(), {});
  ASSERT_FALSE(opened.failed);
  ASSERT_EQ(byteSizeOf(headerOf(opened.result)), sizeof(PrinterRecord));
  PrinterRecord record;
  memcpy(&record, bodyOf(headerOf(opened.result)), sizeof record);
  HDC dc = reinterpret_cast<HDC>(record.dc);
  EXPECT_EQ(dc, fake.dc);
  EXPECT_EQ(handleForSerial(uint32_t(record.serial), handleMemoryDC), record.dc);
  EXPECT_NE(handleSerial(record.devMode, handleGlobalMemory), 0u);
  EXPECT_EQ(record.type, 1u);
  EXPECT_EQ(record.kind, 0x40000u);
  EXPECT_EQ(GetMapMode(dc), MM_ANISOTROPIC);
  const DEVMODEW* mode = static_cast<const DEVMODEW*>(GlobalLock(reinterpret_cast<HGLOBAL>(record.devMode)));
  EXPECT_EQ(mode->dmTTOption, DMTT_BITMAP);
  GlobalUnlock(reinterpret_cast<HGLOBAL>(record.devMode));
  oop printer = holder(opened.result);

  PrimOutcome metrics = callPrimitive(1204, printer, {});
  ASSERT_FALSE(metrics.failed);
  oop m = metrics.result;
  ASSERT_EQ(bodyWordsOf(headerOf(m)), 8u);
  int across = GetDeviceCaps(dc, HORZRES), width = GetDeviceCaps(dc, HORZSIZE), height = GetDeviceCaps(dc, VERTSIZE);
  EXPECT_EQ(slotOf(m, 0), smallIntegerFor(across));
  EXPECT_EQ(slotOf(m, 2), smallIntegerFor(std::lround(across * 25.4 / width)));
  EXPECT_EQ(classOf(slotOf(m, 4)), sysOop(sysFloatClass));
  float perPoint;
  memcpy(&perPoint, bodyOf(headerOf(slotOf(m, 4))), sizeof perPoint);
  EXPECT_FLOAT_EQ(perPoint, float(double(across) / (width * 720 / 254)));
  EXPECT_EQ(slotOf(m, 7), booleanOop(width >= height));

  EXPECT_EQ(textOf(callPrimitive(1205, printer, {}).result), "Test Printer");
  oop depth = callPrimitive(1206, printer, {}).result;
  EXPECT_EQ(slotOf(depth, 1), smallIntegerFor(GetDeviceCaps(dc, BITSPIXEL) * GetDeviceCaps(dc, PLANES)));
  for (uint32_t number : {1210u, 1216u, 1213u, 1217u, 1216u, 1211u}) {
    std::vector<oop> args;
    if (number == 1210) args = {byteString("Report")};
    if (number == 1213) args = {byteString(std::string("\x03\x00" "abc", 5))};
    PrimOutcome r = callPrimitive(number, printer, args);
    EXPECT_FALSE(r.failed) << number;
    EXPECT_EQ(r.result, printer) << number;
  }
  EXPECT_EQ(GetMapMode(dc), MM_ANISOTROPIC);

  EXPECT_EQ(callPrimitive(1203, printer, {}).result, printer);
  EXPECT_EQ(handleSerial(record.dc, handleMemoryDC), 0u);
  EXPECT_EQ(handleSerial(record.devMode, handleGlobalMemory), 0u);
  EXPECT_EQ(transcript(), " doc(Report) S P(abc) E S E D");
  // Released: nothing is freed twice or drawn on.
  for (uint32_t number : {1203u, 1204u, 1217u}) EXPECT_EQ(failureOf(callPrimitive(number, printer, {})).code, 0) << number;
}

// Refused input and a missing printer fail with their codes; a bad file name fails before
// any printer is opened.
TEST_F(Win_Printing, RefusedInputFailsWithItsCode) {
  oop printer = holder(callPrimitive(1200, nilOop(), {}).result);
  HGLOBAL devMode;
  {
    PrinterRecord record;
    memcpy(&record, bodyOf(headerOf(slotOf(printer, 0))), sizeof record);
    devMode = reinterpret_cast<HGLOBAL>(record.devMode);
  }
  oop badPoint = newOldObject(testClasses.threeSlots, 3);
  struct Case {
    const char* what;
    uint32_t number;
    oop receiver;
    std::vector<oop> args;
    int code;
    int64_t value;
  } cases[] = {
      {"1204 on a short record", 1204, holder(byteString("short")), {}, 0, -1},
      {"1209 with nil", 1209, printer, {nilOop()}, 0, -1},
      {"1208 with a non-point", 1208, printer, {badPoint}, 3, 1},
      {"1213 with a pointer object", 1213, printer, {badPoint}, 3, 1},
      {"1210 with a non-string", 1210, printer, {smallIntegerFor(1)}, 3, -1},
      {"1612 on a missing drive", 1612, holder(byteString("Q:\\nowhere\\job.txt")), {}, 4, -1},
      {"1611 with no name", 1611, holder(nilOop()), {}, 4, -1},
  };
  int dialogs = fake.dialogs;
  for (const Case& c : cases) {
    FailureInfo f = failureOf(callPrimitive(c.number, c.receiver, c.args));
    EXPECT_EQ(f.code, c.code) << c.what;
    EXPECT_EQ(f.value, c.value) << c.what;
  }
  EXPECT_EQ(fake.dialogs, dialogs);
  const DEVMODEW* mode = static_cast<const DEVMODEW*>(GlobalLock(devMode));
  EXPECT_EQ(mode->dmOrientation, DMORIENT_PORTRAIT);
  EXPECT_EQ(mode->dmFields & DM_ORIENTATION, 0u);
  GlobalUnlock(devMode);
  callPrimitive(1203, printer, {});

  fake.absent = true;
  EXPECT_EQ(failureOf(callPrimitive(1200, nilOop(), {})).code, 0);
  EXPECT_EQ(failureOf(callPrimitive(1611, file("a.ps", "x"), {})).code, 0);
  EXPECT_EQ(failureOf(callPrimitive(1612, file("a.txt", "x"), {})).code, 9);
}

// The printer's fonts: 1201 lists descriptions, any of which 1214 makes into a font on the
// printer's DC (registered, measuring in Floats with that DC) with its ascent plus leading
// and descent; a bad printer or description fails with its code.
TEST_F(Win_Printing, PrinterFontsAreListedAndMade) {
  PrimOutcome opened = callPrimitive(1200, nilOop(), {});
  ASSERT_FALSE(opened.failed);
  oop printer = holder(opened.result);
  PrinterRecord record;
  memcpy(&record, bodyOf(headerOf(opened.result)), sizeof record);
  PrimOutcome listed = callPrimitive(1201, printer, {});
  ASSERT_FALSE(listed.failed);
  ASSERT_EQ(classOf(listed.result), sysOop(sysArrayClass));
  uint64_t count = bodyWordsOf(headerOf(listed.result));
  ASSERT_GT(count, 0u);
  for (uint64_t i : {uint64_t(0), count - 1}) {
    std::string description = textOf(slotOf(listed.result, i));
    PrimOutcome made = callPrimitive(1214, printer, {slotOf(listed.result, i)});
    ASSERT_FALSE(made.failed) << description;
    ASSERT_EQ(bodyWordsOf(headerOf(made.result)), 3u);
    oop bytes = slotOf(made.result, 0);
    ASSERT_EQ(byteSizeOf(headerOf(bytes)), 24u);
    uint64_t words[3];
    memcpy(words, bodyOf(headerOf(bytes)), sizeof words);
    EXPECT_EQ(words[1], record.dc) << description;
    EXPECT_EQ(words[2], 1u) << description;
    EXPECT_NE(handleSerial(words[0], 0x200000), 0u) << description;
    HDC dc = reinterpret_cast<HDC>(record.dc);
    HGDIOBJ old = SelectObject(dc, reinterpret_cast<HFONT>(words[0]));
    TEXTMETRICW metrics;
    ASSERT_TRUE(GetTextMetricsW(dc, &metrics));
    SelectObject(dc, old);
    EXPECT_EQ(slotOf(made.result, 1), smallIntegerFor(metrics.tmAscent + metrics.tmExternalLeading)) << description;
    EXPECT_EQ(slotOf(made.result, 2), smallIntegerFor(metrics.tmDescent)) << description;
    unregisterHandle(words[0], 0x200000);
    DeleteObject(reinterpret_cast<HFONT>(words[0]));
  }
  struct Case {
    const char* what;
    uint32_t number;
    oop receiver;
    std::vector<oop> args;
    int code;
  } cases[] = {
      {"1201 on a short record", 1201, holder(byteString("short")), {}, 0},
      {"1214 on a short record", 1214, holder(byteString("short")), {byteString("Arial~0~400~0~0~0~ansi~4")}, 4},
      {"1214 with a malformed description", 1214, printer, {byteString("x~y")}, 3},
      {"1214 with a non-string", 1214, printer, {smallIntegerFor(3)}, 3},
      {"1214 with a description too long", 1214, printer, {byteString(std::string(128, 'a'))}, 3},
  };
  for (const Case& c : cases) EXPECT_EQ(failureOf(callPrimitive(c.number, c.receiver, c.args)).code, c.code) << c.what;
  callPrimitive(1203, printer, {});
}

// A bitmap printed through a graphics context on the printer: at the position plus the
// context's translation divided by its scale, bottom-up, a one-bit image black on white or
// in the colours given; the image's own rows are left as they were.
TEST_F(Win_Printing, BitmapsPrintThroughAGraphicsContext) {
  oop printer = holder(callPrimitive(1200, nilOop(), {}).result);
  oop bits = byteString(std::string("\xA0\0\0\0\x40\0\0\0", 8));
  oop image = array({bits, smallIntegerFor(3), smallIntegerFor(2), smallIntegerFor(1), smallIntegerFor(1)});
  auto context = [&](oop scale) {
    std::vector<oop> slots(16, nilOop());
    slots[0] = printer, slots[10] = smallIntegerFor(20), slots[11] = smallIntegerFor(10);
    slots[14] = slots[15] = scale;
    return array(slots);
  };
  oop two = newFloatBox(2.0f);
  struct Case {
    uint32_t number;
    oop context;
    std::vector<oop> args;
  } cases[] = {
      {1233, context(nilOop()), {image, point(5, 7)}},
      {1234, context(two), {image, smallIntegerFor(0x0000FF), smallIntegerFor(0x00FF00), point(5, 7)}},
  };
  for (const Case& c : cases) {
    PrimOutcome r = callPrimitive(c.number, c.context, c.args);
    EXPECT_FALSE(r.failed) << c.number;
    EXPECT_EQ(r.result, c.context) << c.number;
  }
  EXPECT_EQ(textOf(bits), std::string("\xA0\0\0\0\x40\0\0\0", 8));
  callPrimitive(1203, printer, {});
  EXPECT_EQ(transcript(), " dib(25,17 3x2 ffffff 000000 40 a0) dib(15,12 3x2 00ff00 0000ff 40 a0)");

  oop shortBits = array({byteString("\xA0\0\0"), smallIntegerFor(3), smallIntegerFor(2), smallIntegerFor(1), smallIntegerFor(1)});
  oop noDepth = array({bits, smallIntegerFor(3), smallIntegerFor(2), smallIntegerFor(1), smallIntegerFor(0)});
  oop live = holder(callPrimitive(1200, nilOop(), {}).result);
  std::vector<oop> slots(16, nilOop());
  slots[0] = live, slots[10] = slots[11] = smallIntegerFor(0);
  oop gc = array(slots);
  struct Bad {
    const char* what;
    uint32_t number;
    std::vector<oop> args;
    int code;
  } bad[] = {
      {"rows past the bits", 1233, {shortBits, point(0, 0)}, 0},
      {"no bits per pixel", 1233, {noDepth, point(0, 0)}, 0},
      {"a position that is no Point", 1233, {image, smallIntegerFor(0)}, 0},
      {"a colour beyond 32 bits", 1234, {image, smallIntegerFor(-1), smallIntegerFor(0), point(0, 0)}, 3},
  };
  for (const Bad& b : bad) EXPECT_EQ(failureOf(callPrimitive(b.number, gc, b.args)).code, b.code) << b.what;
  callPrimitive(1203, live, {});
}

namespace {

// A PostScript printer of the test prefix whose port is a file, made the default printer:
// Wine's PostScript driver over a small A4 portrait description (tessel.ppd beside this file).
const wchar_t printerName[] = L"TesselPS";

bool addFilePrinter(const std::wstring& port) {
  wchar_t dir[MAX_PATH];
  DWORD got;
  if (!GetPrinterDriverDirectoryW(nullptr, const_cast<wchar_t*>(L"Windows x64"), 1, reinterpret_cast<BYTE*>(dir), sizeof dir, &got))
    return false;
  std::wstring ppd = std::wstring(dir) + L"\\tessel.ppd";
  std::wstring source = fs::path(TESSEL_TEST_PPD).wstring();
  if (!CopyFileW(source.c_str(), ppd.c_str(), FALSE)) return false;
  DRIVER_INFO_3W driver = {};
  driver.cVersion = 3;
  driver.pName = const_cast<wchar_t*>(L"Wine PostScript Driver");
  driver.pEnvironment = const_cast<wchar_t*>(L"Windows x64");
  std::wstring wineps = L"C:\\windows\\system32\\wineps.drv";
  driver.pDriverPath = driver.pConfigFile = const_cast<wchar_t*>(wineps.c_str());
  driver.pDataFile = const_cast<wchar_t*>(ppd.c_str());
  AddPrinterDriverExW(nullptr, 3, reinterpret_cast<BYTE*>(&driver), APD_COPY_NEW_FILES);
  HANDLE old;
  if (OpenPrinterW(const_cast<wchar_t*>(printerName), &old, nullptr)) {
    DeletePrinter(old);
    ClosePrinter(old);
  }
  PRINTER_INFO_2W info = {};
  info.pPrinterName = const_cast<wchar_t*>(printerName);
  info.pPortName = const_cast<wchar_t*>(port.c_str());
  info.pDriverName = driver.pName;
  info.pPrintProcessor = const_cast<wchar_t*>(L"WinPrint");
  info.pDatatype = const_cast<wchar_t*>(L"RAW");
  HANDLE h = AddPrinterW(nullptr, 2, reinterpret_cast<BYTE*>(&info));
  if (h == nullptr) return false;
  ClosePrinter(h);
  return SetDefaultPrinterW(printerName);
}

// The letters a job printed, in order (the driver shows each glyph by name), and its pages.
struct PrintedText {
  std::string letters;
  int pages;
};
PrintedText printedText(const std::string& ps) {
  PrintedText t = {"", 0};
  size_t at = 0;
  while ((at = ps.find(" glyphshow", at)) != std::string::npos) {
    size_t slash = ps.rfind('/', at);
    std::string name = ps.substr(slash + 1, at - slash - 1);
    t.letters += name.size() == 1 ? name : "?";
    at++;
  }
  for (at = 0; (at = ps.find("\nshowpage", at)) != std::string::npos; at++) t.pages++;
  return t;
}

class Win_DefaultPrinter : public ::testing::Test {
 protected:
  void SetUp() override {
    newIOTestHeap();
    handleRegistryX = 0;
    initHandleRegistry();
    initPrinterPrimitives();
    dir = fs::path(testing::TempDir()) / "printer";
    fs::remove_all(dir);
    fs::create_directories(dir);
    output = dir / "out.ps";
    ASSERT_TRUE(addFilePrinter(output.wstring())) << GetLastError();
  }
  void TearDown() override {
    std::error_code ignored;
    fs::remove_all(dir, ignored);
    freeTestHeap();
  }
  oop file(const std::string& name, const std::string& contents) {
    fs::path p = dir / name;
    std::ofstream(p, std::ios::binary) << contents;
    oop h = newOldObject(testClasses.threeSlots, 3);
    bodyOf(headerOf(h))[0] = byteString(p.string());
    return h;
  }
  std::string printed() {
    std::string s;
    {
      std::ifstream in(output, std::ios::binary);
      s.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    std::error_code ignored;
    fs::remove(output, ignored);
    return s;
  }
  fs::path dir, output;
};

}  // namespace

// Text files through the real driver: every line's letters, the last line whole, a form feed
// starting a page.
TEST_F(Win_DefaultPrinter, TextFilesReachThePrinter) {
  struct Case {
    const char* contents;
    const char* letters;
    int pages;
  } cases[] = {
      {"one\ntwo\nthree", "onetwothree", 1},
      {"ab\n\fcd\n", "abcd", 2},
  };
  for (const Case& c : cases) {
    ASSERT_FALSE(callPrimitive(1612, file("job.txt", c.contents), {}).failed) << c.contents;
    PrintedText t = printedText(printed());
    EXPECT_EQ(t.letters, c.letters) << c.contents;
    EXPECT_EQ(t.pages, c.pages) << c.contents;
  }
}

// A PostScript file goes to the printer raw, after "initgraphics".
TEST_F(Win_DefaultPrinter, PostScriptFilesReachThePrinterRaw) {
  ASSERT_FALSE(callPrimitive(1611, file("job.ps", "%!PS\n% tessel raw\n"), {}).failed);
  std::string ps = printed();
  size_t start = ps.find("initgraphics\n");
  ASSERT_NE(start, std::string::npos);
  EXPECT_NE(ps.find("% tessel raw\n", start), std::string::npos);
}

// The default printer's record and metrics: an A4 portrait page at 300 dpi.
TEST_F(Win_DefaultPrinter, MetricsOfAPortraitPage) {
  PrimOutcome opened = callPrimitive(1200, nilOop(), {});
  ASSERT_FALSE(opened.failed);
  oop printer = newOldObject(testClasses.threeSlots, 3);
  bodyOf(headerOf(printer))[0] = opened.result;
  PrimOutcome m = callPrimitive(1204, printer, {});
  ASSERT_FALSE(m.failed);
  ASSERT_EQ(bodyWordsOf(headerOf(m.result)), 8u);
  // Pixels per inch from whole millimetres: 2479 pixels over 209 mm rounds to 301.
  EXPECT_NEAR(double(smallIntegerValue(slotOf(m.result, 2))), 300.0, 1.0);
  EXPECT_NEAR(double(smallIntegerValue(slotOf(m.result, 3))), 300.0, 1.0);
  EXPECT_EQ(slotOf(m.result, 7), falseOop());
  EXPECT_EQ(textOf(callPrimitive(1205, printer, {}).result), "TesselPS");
  EXPECT_EQ(callPrimitive(1203, printer, {}).result, printer);
}

// A document of one page holding a one-bit image printed through a graphics context.
TEST_F(Win_DefaultPrinter, AOneBitImageIsPrinted) {
  oop printer = newOldObject(testClasses.threeSlots, 3);
  bodyOf(headerOf(printer))[0] = callPrimitive(1200, nilOop(), {}).result;
  oop image = newOldObject(classIndexArray, 5);
  bodyOf(headerOf(image))[0] = byteString(std::string("\xF0\0\0\0\x0F\0\0\0", 8));
  for (int k = 1; k <= 4; k++) bodyOf(headerOf(image))[k] = smallIntegerFor(k == 1 ? 8 : k == 2 ? 2 : 1);
  oop context = newOldObject(classIndexArray, 16);
  for (int k = 0; k < 16; k++) bodyOf(headerOf(context))[k] = k == 0 ? printer : k == 10 || k == 11 ? smallIntegerFor(0) : nilOop();
  oop at = newOldObject(sysPointClass, 2);
  bodyOf(headerOf(at))[0] = bodyOf(headerOf(at))[1] = smallIntegerFor(72);
  EXPECT_EQ(callPrimitive(1210, printer, {byteString("image")}).result, printer);
  EXPECT_EQ(callPrimitive(1216, printer, {}).result, printer);
  EXPECT_EQ(callPrimitive(1233, context, {image, at}).result, context);
  EXPECT_EQ(callPrimitive(1211, printer, {}).result, printer);
  EXPECT_EQ(callPrimitive(1203, printer, {}).result, printer);
  std::string ps = printed();
  EXPECT_EQ(printedText(ps).pages, 1);
  EXPECT_NE(ps.find("image"), std::string::npos);
}
