// Windows layer: the printer primitives (1200-1218, 1233, 1234, 1611, 1612). A printer record
// holds the default printer's DC and DEVMODE, both in the handle registry; drawing on it goes
// through the ordinary graphics-context primitives. Coordinates are points after every page
// start; the two file jobs run on a DC of their own.
// Owns printerCalls.
// Prefix: none (initPrinterPrimitives, setPrinterPointScale, printTextFile, printPostScriptFile).
#include "platpc/ntPrint.h"

#include <commdlg.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <utility>

#include "ext/exPrimTable.h"
#include "mman/mmAllocate.h"
#include "mman/mmCString.h"
#include "mman/mmPrimUtil.h"
#include "mman/mmRt.h"
#include "mman/mmSysOop.h"
#include "platpc/ntCanvas.h"
#include "platpc/ntChannel.h"
#include "platpc/ntFile.h"
#include "platpc/ntFont.h"
#include "platpc/ntMain.h"
#include "prim/prDouble.h"

PrinterCalls printerCalls = {PrintDlgW, StartDocW, StartPage, EndPage, EndDoc, ExtEscape, DeleteDC};

enum : int { passthroughChunk = 1022, textLineUnits = 1023 };

// ---- The default printer ----------------------------------------------------------------------

// Pumps the engine thread's messages while the spooler works; code 0 continues the job.
static BOOL CALLBACK printerAbortProc(HDC, int code) {
  MSG message;
  while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
  return code == 0;
}

// The default printer's DC, DEVMODE and DEVNAMES without any dialog; false (nothing left
// allocated) when there is no printer.
static bool openDefaultPrinter(PRINTDLGW* dialog) {
  memset(dialog, 0, sizeof *dialog);
  dialog->lStructSize = sizeof *dialog;
  dialog->Flags = PD_RETURNDEFAULT | PD_RETURNDC | PD_USEDEVMODECOPIESANDCOLLATE;
  if (printerCalls.printDialog(dialog) && dialog->hDC != nullptr && dialog->hDevMode != nullptr) return true;
  if (dialog->hDC != nullptr) printerCalls.deleteDC(dialog->hDC);
  if (dialog->hDevMode != nullptr) GlobalFree(dialog->hDevMode);
  if (dialog->hDevNames != nullptr) GlobalFree(dialog->hDevNames);
  return false;
}

static void closePrinter(PRINTDLGW* dialog) {
  printerCalls.deleteDC(dialog->hDC);
  GlobalFree(dialog->hDevMode);
  if (dialog->hDevNames != nullptr) GlobalFree(dialog->hDevNames);
}

int setPrinterPointScale(HDC dc) {
  SetMapMode(dc, MM_ANISOTROPIC);
  int across = GetDeviceCaps(dc, HORZSIZE) * 720 / 254, down = GetDeviceCaps(dc, VERTSIZE) * 720 / 254;
  return SetWindowExtEx(dc, across, down, nullptr) &&
         SetViewportExtEx(dc, GetDeviceCaps(dc, HORZRES), GetDeviceCaps(dc, VERTRES), nullptr);
}

// ---- Printer objects ---------------------------------------------------------------------------

// The record in the receiver's first slot, or null; a released record (its DC cleared) is
// refused so that a second release or a late page call touches nothing freed.
static PrinterRecord* printerOf(oop receiver) {
  if (!isHeapObject(receiver) || !hasPtrs(headerOf(receiver)) || bodyWordsOf(headerOf(receiver)) < 1) return nullptr;
  oop record = slotOf(receiver, 0);
  if (!isHeapObject(record) || hasPtrs(headerOf(record)) || byteSizeOf(headerOf(record)) < sizeof(PrinterRecord))
    return nullptr;
  PrinterRecord* p = reinterpret_cast<PrinterRecord*>(bodyOf(headerOf(record)));
  return p->dc != 0 && p->devMode != 0 ? p : nullptr;
}

#define PRINTER_OR_FAIL(p, n)              \
  PrinterRecord* p = printerOf(receiver); \
  if (p == nullptr) return ntFail(primErrGeneral, n)

static HDC dcOf(const PrinterRecord* p) { return reinterpret_cast<HDC>(p->dc); }
static HGLOBAL devModeOf(const PrinterRecord* p) { return reinterpret_cast<HGLOBAL>(p->devMode); }

// 1200: opens the default printer.
static oop primOpenPrinter(oop) {
  PRINTDLGW dialog;
  if (!openDefaultPrinter(&dialog)) return ntFail(primErrGeneral, 0);
  if (dialog.hDevNames != nullptr) GlobalFree(dialog.hDevNames);
  DEVMODEW* mode = static_cast<DEVMODEW*>(GlobalLock(dialog.hDevMode));
  if (mode != nullptr) {
    mode->dmTTOption = DMTT_BITMAP;
    mode->dmFields |= DM_TTOPTION;
    GlobalUnlock(dialog.hDevMode);
  }
  uint64_t dc = uint64_t(dialog.hDC), devMode = uint64_t(dialog.hDevMode);
  uint32_t serial = registerHandle(dc, handleMemoryDC);
  bool registered = serial != 0 && registerHandle(devMode, handleGlobalMemory) != 0;
  ObjectHeader* h = nullptr;
  if (registered && setPrinterPointScale(dialog.hDC) && SetAbortProc(dialog.hDC, printerAbortProc) > 0)
    h = allocVSObj(sysOop(sysByteArrayClass), sizeof(PrinterRecord));
  if (h == nullptr) {
    if (serial != 0) unregisterHandle(dc, handleMemoryDC);
    if (registered) unregisterHandle(devMode, handleGlobalMemory);
    printerCalls.deleteDC(dialog.hDC);
    GlobalFree(dialog.hDevMode);
    return ntFail(primErrGeneral, 0);
  }
  const PrinterRecord record = {serial, 0, dc, 1, kindPrinterDrawable, 0, devMode};
  memcpy(bodyOf(h), &record, sizeof record);
  return oopOf(h);
}

// 1203: releases the DC and the DEVMODE.
static oop primReleasePrinter(oop receiver) {
  PRINTER_OR_FAIL(p, 0);
  unregisterHandle(p->dc, handleMemoryDC);
  unregisterHandle(p->devMode, handleGlobalMemory);
  printerCalls.deleteDC(dcOf(p));
  GlobalFree(devModeOf(p));
  p->dc = p->devMode = 0;
  return receiver;
}

// An Array of the given objects (each 0 when it could not be made), or 0.
static oop arrayOf(const oop* items, int n) {
  for (int i = 0; i < n; i++)
    if (items[i] == 0) return 0;
  ObjectHeader* h = allocVSObj(sysOop(sysArrayClass), uint64_t(n));
  if (h == nullptr) return 0;
  for (int i = 0; i < n; i++) storeSlot(oopOf(h), uint64_t(i), items[i], __FILE__, __LINE__);
  return oopOf(h);
}

// 1204: pixels, pixels per inch and per point across and down, depth, landscape.
static oop primPrinterMetrics(oop receiver) {
  PRINTER_OR_FAIL(p, 0);
  HDC dc = dcOf(p);
  int across = GetDeviceCaps(dc, HORZRES), down = GetDeviceCaps(dc, VERTRES);
  int width = GetDeviceCaps(dc, HORZSIZE), height = GetDeviceCaps(dc, VERTSIZE);
  int pointsAcross = width * 720 / 254, pointsDown = height * 720 / 254;
  if (pointsAcross <= 0 || pointsDown <= 0) return ntFail(primErrGeneral, 0);
  oop items[8] = {smallIntegerFor(across),
                  smallIntegerFor(down),
                  smallIntegerFor(std::lround(across * 25.4 / width)),
                  smallIntegerFor(std::lround(down * 25.4 / height)),
                  newFloatBox(float(double(across) / pointsAcross)),
                  0,
                  smallIntegerFor(GetDeviceCaps(dc, BITSPIXEL)),
                  booleanOop(width >= height)};
  items[5] = newFloatBox(float(double(down) / pointsDown));
  oop answer = arrayOf(items, 8);
  return answer != 0 ? answer : ntFail(primErrGeneral, 0);
}

// 1205: the device name at the start of the DEVMODE.
static oop primPrinterName(oop receiver) {
  PRINTER_OR_FAIL(p, 0);
  const DEVMODEW* mode = static_cast<const DEVMODEW*>(GlobalLock(devModeOf(p)));
  if (mode == nullptr) return ntFail(primErrGeneral, 0);
  int64_t n = 0;
  while (n < CCHDEVICENAME && mode->dmDeviceName[n] != 0) n++;
  oop name = platformStringFromWide(mode->dmDeviceName, n);
  GlobalUnlock(devModeOf(p));
  return name != 0 ? name : ntFail(primErrGeneral, 0);
}

static oop pairOf(int64_t value) {
  oop items[2] = {smallIntegerFor(value), smallIntegerFor(value)};
  oop answer = arrayOf(items, 2);
  return answer != 0 ? answer : ntFail(primErrGeneral, 0);
}

// 1206: the colour depth, twice.
static oop primPrinterDepth(oop receiver) {
  PRINTER_OR_FAIL(p, 0);
  return pairOf(int64_t(GetDeviceCaps(dcOf(p), BITSPIXEL)) * GetDeviceCaps(dcOf(p), PLANES));
}

// 1207.
static oop primPrinterPlanes(oop receiver) {
  PRINTER_OR_FAIL(p, 0);
  return pairOf(1);
}

// Changes the DEVMODE and resets the DC with it; false when the DC refuses it.
template <typename Change>
static bool resetWith(PrinterRecord* p, Change change) {
  DEVMODEW* mode = static_cast<DEVMODEW*>(GlobalLock(devModeOf(p)));
  if (mode == nullptr) return false;
  change(mode);
  bool ok = ResetDCW(dcOf(p), mode) != nullptr;
  GlobalUnlock(devModeOf(p));
  return ok;
}

// Both slots of a point as 16-bit values; false for anything else.
static bool shortPoint(oop point, short* x, short* y) {
  if (!isHeapObject(point) || !isKindOf(point, sysOop(sysPointClass)) || !hasPtrs(headerOf(point)) ||
      bodyWordsOf(headerOf(point)) < 2)
    return false;
  oop a = slotOf(point, 0), b = slotOf(point, 1);
  if (!isSmallInteger(a) || !isSmallInteger(b)) return false;
  int64_t u = smallIntegerValue(a), v = smallIntegerValue(b);
  if (u < SHRT_MIN || u > SHRT_MAX || v < SHRT_MIN || v > SHRT_MAX) return false;
  *x = short(u), *y = short(v);
  return true;
}

// 1208: paper width and length in tenths of a millimetre.
static oop primSetPaperSize(oop receiver, oop size) {
  PRINTER_OR_FAIL(p, 1);
  short width, length;
  if (!shortPoint(size, &width, &length)) return ntFailCarrying(primErrBadArgument, 1, 1);
  bool ok = resetWith(p, [&](DEVMODEW* mode) {
    mode->dmPaperWidth = width, mode->dmPaperLength = length;
    mode->dmFields |= DM_PAPERWIDTH | DM_PAPERLENGTH;
  });
  return ok ? receiver : ntFail(primErrGeneral, 1);
}

// 1209: true landscape, false portrait.
static oop primSetOrientation(oop receiver, oop landscape) {
  PRINTER_OR_FAIL(p, 1);
  if (landscape != trueOop() && landscape != falseOop()) return ntFail(primErrGeneral, 1);
  bool ok = resetWith(p, [&](DEVMODEW* mode) {
    mode->dmOrientation = landscape == trueOop() ? DMORIENT_LANDSCAPE : DMORIENT_PORTRAIT;
    mode->dmFields |= DM_ORIENTATION;
  });
  return ok && setPrinterPointScale(dcOf(p)) ? receiver : ntFail(primErrGeneral, 1);
}

// 1210: starts a document of the given name.
static oop primStartDocument(oop receiver, oop name) {
  PRINTER_OR_FAIL(p, 1);
  wchar_t title[ntPathUnits + 1];
  if (platformStringToWide(name, title, ntPathUnits + 1) == nullptr) return ntFail(primErrBadArgument, 1);
  DOCINFOW info = {};
  info.cbSize = sizeof info;
  info.lpszDocName = title;
  if (printerCalls.startDoc(dcOf(p), &info) <= 0) return ntFailLastError(1);
  return receiver;
}

// 1211: ends the page and the document.
static oop primEndPageAndDocument(oop receiver) {
  PRINTER_OR_FAIL(p, 0);
  if (printerCalls.endPage(dcOf(p)) <= 0 || printerCalls.endDoc(dcOf(p)) <= 0) return ntFail(primErrGeneral, 0);
  return receiver;
}

// 1212: ends the page; the next one draws in points again.
static oop primNextPage(oop receiver) {
  PRINTER_OR_FAIL(p, 0);
  if (printerCalls.endPage(dcOf(p)) < 0 || !setPrinterPointScale(dcOf(p))) return ntFail(primErrGeneral, 0);
  return receiver;
}

// 1213: bytes for the printer as they are (the image puts the 16-bit count in front).
static oop primPassThrough(oop receiver, oop bytes) {
  PRINTER_OR_FAIL(p, 1);
  if (!isHeapObject(bytes) || hasPtrs(headerOf(bytes))) return ntFailCarrying(primErrBadArgument, 1, 1);
  int n = int(byteSizeOf(headerOf(bytes)));
  if (printerCalls.extEscape(dcOf(p), PASSTHROUGH, n, reinterpret_cast<LPCSTR>(bodyOf(headerOf(bytes))), 0, nullptr) <= 0)
    return ntFail(primErrGeneral, 1);
  return receiver;
}

// ---- Printer fonts ------------------------------------------------------------------------------

// 1201: the descriptions of the printer's fonts.
static oop primPrinterFonts(oop receiver) {
  PRINTER_OR_FAIL(p, 0);
  uint32_t error = 0;
  oop list = listFonts(dcOf(p), kindPrinterDrawable, &error);
  return list != 0 ? ntAnswerServing(list) : ntFail(error, 0);
}

// 1214: {printer font record, ascent + external leading, descent} of a font made on the
// printer's DC from a description; the record measures with that DC and in Floats.
static oop primPrinterFont(oop receiver, oop description) {
  PrinterRecord* p = printerOf(receiver);
  if (p == nullptr) return ntFail(primErrBadReceiver, 1);
  enum : int { descriptionUnits = 127 };
  wchar_t text[descriptionUnits + 1];
  if (platformStringToWide(description, text, descriptionUnits + 1) == nullptr) return ntFail(primErrBadArgument, 1);
  TEXTMETRICW metrics;
  int malformed;
  HFONT font = createFontFromDescription(dcOf(p), text, &metrics, &malformed);
  DWORD error = GetLastError();
  if (malformed) return ntFail(primErrBadArgument, 1);
  if (font == nullptr) return ntFailCarrying(primErrPlatform, int64_t(error), 1);
  ObjectHeader* bytes = allocVSObj(sysOop(sysByteArrayClass), sizeof(FontHandleBytes));
  ObjectHeader* result = bytes != nullptr ? allocVSObj(sysOop(sysArrayClass), 3) : nullptr;
  if (result == nullptr || registerHandle(uint64_t(font), handleGdiObject3) == 0) {
    DeleteObject(font);
    return ntFail(primErrNoSpace, 1);
  }
  const FontHandleBytes record = {uint64_t(font), p->dc, 1};
  memcpy(bodyOf(bytes), &record, sizeof record);
  storeSlot(oopOf(result), 0, oopOf(bytes), __FILE__, __LINE__);
  bodyOf(result)[1] = smallIntegerFor(metrics.tmAscent + metrics.tmExternalLeading);
  bodyOf(result)[2] = smallIntegerFor(metrics.tmDescent);
  return ntAnswerServing(oopOf(result));
}

// 1216.
static oop primStartPage(oop receiver) {
  PRINTER_OR_FAIL(p, 0);
  if (printerCalls.startPage(dcOf(p)) <= 0 || !setPrinterPointScale(dcOf(p))) return ntFail(primErrGeneral, 0);
  return receiver;
}

// 1217.
static oop primEndPage(oop receiver) {
  PRINTER_OR_FAIL(p, 0);
  return printerCalls.endPage(dcOf(p)) > 0 ? receiver : ntFail(primErrGeneral, 0);
}

// 1218.
static oop primEndDocument(oop receiver) {
  PRINTER_OR_FAIL(p, 0);
  return printerCalls.endDoc(dcOf(p)) > 0 ? receiver : ntFail(primErrGeneral, 0);
}

// ---- Bitmaps -------------------------------------------------------------------------------------

// A Float, Double or SmallDouble as a finite, non-zero scale.
static bool scaleOf(oop o, double* out) {
  if (!isFloatObject(o) && !isDoubleObject(o) && !isSmallDouble(o)) return false;
  return castOopToFiniteDouble(o, out) && *out != 0.0;
}

static bool smallIntegerSlots(oop o, int first, int count, int64_t* values) {
  for (int i = 0; i < count; i++) {
    oop v = slotOf(o, uint64_t(first + i));
    if (!isSmallInteger(v)) return false;
    values[i] = smallIntegerValue(v);
  }
  return true;
}

static RGBQUAD quadOf(uint32_t colour) {
  RGBQUAD q = {BYTE(colour >> 16), BYTE(colour >> 8), BYTE(colour), 0};
  return q;
}

// Prints an image object (bits, width, height, a SmallInteger 1-255, bits per pixel) at a
// Point through a graphics context on a printer: a one-bit image whose slot 3 is 1 in the
// two colours given (0 for both: black on white), any other through the display palette.
static bool printBitmapOnPrinter(oop context, oop image, uint32_t oneColour, uint32_t zeroColour, oop position) {
  if (!isHeapObject(context) || !hasPtrs(headerOf(context)) || bodyWordsOf(headerOf(context)) < 12) return false;
  const uint8_t* handle = drawableHandleBytes(slotOf(context, 0));
  int64_t translation[2], at[2], shape[4];
  if (handle == nullptr || drawableDC(handle) == nullptr || !smallIntegerSlots(context, 10, 2, translation)) return false;
  HDC dc = drawableDC(handle);
  if (!isHeapObject(position) || !isKindOf(position, sysOop(sysPointClass)) || !hasPtrs(headerOf(position)) ||
      bodyWordsOf(headerOf(position)) < 2 || !smallIntegerSlots(position, 0, 2, at))
    return false;
  if (!isHeapObject(image) || !hasPtrs(headerOf(image)) || bodyWordsOf(headerOf(image)) < 5) return false;
  oop bits = slotOf(image, 0);
  if (!isHeapObject(bits) || hasPtrs(headerOf(bits)) || !smallIntegerSlots(image, 1, 4, shape)) return false;
  int64_t width = shape[0], height = shape[1], flag = shape[2], depth = shape[3];
  if (width < 0 || height < 0 || flag < 1 || flag > 255 || depth < 1 || depth > 32 || width > 0xFFFF || height > 0xFFFF)
    return false;
  int64_t wordsPerRow = (width * depth + 31) / 32, rowBytes = wordsPerRow * 4;
  // Never past the image's own bytes.
  if (uint64_t(rowBytes * height) > byteSizeOf(headerOf(bits))) return false;
  double sx = 1.0, sy = 1.0;
  if (bodyWordsOf(headerOf(context)) >= 16 && !(scaleOf(slotOf(context, 14), &sx) && scaleOf(slotOf(context, 15), &sy)))
    sx = sy = 1.0;
  SetWindowExtEx(dc, int(GetDeviceCaps(dc, HORZSIZE) * 720 / 254 / sx), int(GetDeviceCaps(dc, VERTSIZE) * 720 / 254 / sy),
                 nullptr);
  int x = int(at[0] + int64_t(double(translation[0]) / sx)), y = int(at[1] + int64_t(double(translation[1]) / sy));

  struct {
    BITMAPINFOHEADER header;
    RGBQUAD colours[256];
  } info = {};
  info.header.biSize = sizeof info.header;
  info.header.biWidth = LONG(wordsPerRow * 32 / depth);
  info.header.biHeight = LONG(height);
  info.header.biPlanes = 1;
  info.header.biBitCount = WORD(depth);
  info.header.biCompression = BI_RGB;
  info.header.biSizeImage = DWORD(height * rowBytes);
  info.header.biXPelsPerMeter = info.header.biYPelsPerMeter = 1000;
  // Every entry of the table counted: a recorder that reads 0 as "none" keeps the colours too.
  info.header.biClrUsed = depth <= 8 ? 1u << depth : 0;
  if (flag == 1 && depth == 1) {
    info.colours[0] = quadOf(zeroColour != 0 ? zeroColour : 0xFFFFFF);
    info.colours[1] = quadOf(oneColour);
  } else {
    PALETTEENTRY entries[256] = {};
    HPALETTE palette = sharedPalette != nullptr ? sharedPalette : static_cast<HPALETTE>(GetStockObject(DEFAULT_PALETTE));
    GetPaletteEntries(palette, 0, 256, entries);
    for (int i = 0; i < 256; i++) info.colours[i] = {entries[i].peBlue, entries[i].peGreen, entries[i].peRed, 0};
  }
  // The image is top-down, the device-independent bitmap bottom-up: its rows are turned
  // for the call and back.
  uint8_t* pixels = reinterpret_cast<uint8_t*>(bodyOf(headerOf(bits)));
  auto swapRows = [&]() {
    for (int64_t i = 0; i < height / 2; i++) {
      uint8_t* a = pixels + i * rowBytes;
      uint8_t* b = pixels + (height - 1 - i) * rowBytes;
      for (int64_t k = 0; k < rowBytes; k++) std::swap(a[k], b[k]);
    }
  };
  swapRows();
  int lines = StretchDIBits(dc, x, y, int(width), int(height), 0, 0, int(width), int(height), pixels,
                            reinterpret_cast<const BITMAPINFO*>(&info), DIB_RGB_COLORS, SRCCOPY);
  swapRows();
  return lines != 0 && lines != int(GDI_ERROR);
}

// 1233: image, position; black on white.
static oop primPrintBitmap(oop receiver, oop image, oop position) {
  return printBitmapOnPrinter(receiver, image, 0, 0, position) ? receiver : ntFail(primErrGeneral, 2);
}

// 1234: image, one-colour, zero-colour, position.
static oop primPrintBitmapInColours(oop receiver, oop image, oop one, oop zero, oop position) {
  uint32_t oneColour, zeroColour;
  if (!oopToQ32(one, &oneColour) || !oopToQ32(zero, &zeroColour)) return ntFail(primErrBadArgument, 4);
  return printBitmapOnPrinter(receiver, image, oneColour, zeroColour, position) ? receiver : ntFail(primErrGeneral, 4);
}

// ---- Whole files ---------------------------------------------------------------------------------

int printTextFile(const wchar_t* path, DWORD* error) {
  *error = 0;
  FILE* file = _wfopen(path, L"rb");
  if (file == nullptr) {
    *error = GetLastError() != 0 ? GetLastError() : ERROR_FILE_NOT_FOUND;
    return 0;
  }
  PRINTDLGW dialog;
  if (!openDefaultPrinter(&dialog)) {
    fclose(file);
    *error = ERROR_INVALID_PRINTER_NAME;
    return 0;
  }
  HDC dc = dialog.hDC;
  // Device pixels throughout: the page height and the text height are compared.
  SetMapMode(dc, MM_TEXT);
  SetAbortProc(dc, printerAbortProc);
  DOCINFOW info = {};
  info.cbSize = sizeof info;
  info.lpszDocName = L"PRINTER OUTPUT";
  int status = printerCalls.startDoc(dc, &info);
  if (status > 0) {
    status = printerCalls.startPage(dc);
    TEXTMETRICW metrics = {};
    GetTextMetricsW(dc, &metrics);
    int h = metrics.tmHeight + metrics.tmExternalLeading;
    if (h <= 0) h = 1;
    POINT page = {};
    if (printerCalls.extEscape(dc, GETPHYSPAGESIZE, 0, nullptr, sizeof page, reinterpret_cast<LPSTR>(&page)) <= 0)
      page.y = GetDeviceCaps(dc, PHYSICALHEIGHT);
    int linesPerPage = page.y / h, c = 1;
    char bytes[textLineUnits + 1];
    wchar_t line[textLineUnits + 1];
    auto newPage = [&]() {
      status = printerCalls.endPage(dc);
      if (status >= 0) status = printerCalls.startPage(dc);
      return status >= 0;
    };
    while (status >= 0 && fgets(bytes, sizeof bytes, file) != nullptr) {
      int n = int(strlen(bytes));
      // Only the line's own end goes; a last line without one, or a long line's piece, is kept whole.
      if (n > 0 && bytes[n - 1] == '\n') n--;
      if (n > 0 && bytes[n - 1] == '\r') n--;
      n = n == 0 ? 0 : MultiByteToWideChar(CP_ACP, 0, bytes, n, line, textLineUnits);
      if (n > 0 && line[0] == L'\f') {
        if (!newPage()) break;
        c = 0;
        if (n > 1) {
          TabbedTextOutW(dc, 0, 3 * h, line + 1, n - 1, 0, nullptr, 0);
          c = 1;
        }
      } else if (n > 0) {
        TabbedTextOutW(dc, 0, h * (c + 2), line, n, 0, nullptr, 0);
      }
      c++;
      if (c > linesPerPage - 7) {
        if (!newPage()) break;
        c = 1;
      }
    }
    if (status >= 0 && c > 1) status = printerCalls.endPage(dc);
    if (status >= 0) status = printerCalls.endDoc(dc);
  }
  if (status <= 0) *error = GetLastError();
  fclose(file);
  closePrinter(&dialog);
  return status;
}

// Sends count bytes (after their little-endian 16-bit count) through the PASSTHROUGH escape.
static int passThrough(HDC dc, const char* data, int count) {
  char chunk[2 + passthroughChunk];
  chunk[0] = char(count & 0xFF), chunk[1] = char(count >> 8);
  memcpy(chunk + 2, data, size_t(count));
  return printerCalls.extEscape(dc, PASSTHROUGH, count + 2, chunk, 0, nullptr);
}

static bool escapeSupported(HDC dc, int escape) {
  return printerCalls.extEscape(dc, QUERYESCSUPPORT, sizeof escape, reinterpret_cast<LPCSTR>(&escape), 0, nullptr) > 0;
}

int printPostScriptFile(const wchar_t* path) {
  FILE* file = _wfopen(path, L"rb");
  if (file == nullptr) return 0;
  PRINTDLGW dialog;
  if (!openDefaultPrinter(&dialog)) {
    fclose(file);
    return 0;
  }
  HDC dc = dialog.hDC;
  int status = 0;
  bool ready = dialog.hDevNames != nullptr && escapeSupported(dc, PASSTHROUGH);
  if (ready && escapeSupported(dc, POSTSCRIPT_IDENTIFY)) {
    DWORD gdiCentric = 0;
    ready = printerCalls.extEscape(dc, POSTSCRIPT_IDENTIFY, sizeof gdiCentric, reinterpret_cast<LPCSTR>(&gdiCentric), 0,
                                   nullptr) > 0;
  }
  if (ready) {
    SetAbortProc(dc, printerAbortProc);
    DOCINFOW info = {};
    info.cbSize = sizeof info;
    info.lpszDocName = L"PostScript Output";
    info.lpszDatatype = L"RAW";
    status = printerCalls.startDoc(dc, &info);
    if (status > 0) {
      static const char start[] = "initgraphics\n";
      status = passThrough(dc, start, int(sizeof start - 1));
      char data[passthroughChunk];
      size_t n;
      while (status > 0 && (n = fread(data, 1, sizeof data, file)) > 0) status = passThrough(dc, data, int(n));
      // A refused chunk still ends the document, but the job is not reported as printed.
      if (status >= 0) {
        int ended = printerCalls.endDoc(dc);
        status = status > 0 ? ended : (ended < 0 ? ended : 0);
      }
    }
  }
  fclose(file);
  closePrinter(&dialog);
  return status;
}

// The file name in the receiver's first slot; false for a bad name or one on a drive that
// does not exist, checked before any printing.
static bool printFileName(oop receiver, wchar_t* path) {
  if (!receiverWidePath(receiver, path)) return false;
  if (path[0] != 0 && path[1] == L':') {
    wchar_t root[4] = {path[0], L':', L'\\', 0};
    if (GetDriveTypeW(root) == DRIVE_NO_ROOT_DIR) return false;
  }
  return true;
}

// 1611: a PostScript file, raw, to the default printer.
static oop primPrintPostScriptFile(oop receiver) {
  wchar_t path[ntPathUnits];
  if (!printFileName(receiver, path)) return ntFail(primErrBadReceiver, 0);
  return printPostScriptFile(path) > 0 ? receiver : ntFail(primErrGeneral, 0);
}

// 1612: a text file, paginated, to the default printer.
static oop primPrintTextFile(oop receiver) {
  wchar_t path[ntPathUnits];
  if (!printFileName(receiver, path)) return ntFail(primErrBadReceiver, 0);
  DWORD error;
  return printTextFile(path, &error) > 0 ? receiver : ntFailCarrying(primErrPlatform, int64_t(error), 0);
}

void initPrinterPrimitives() {
  addCPrimitive(1200, reinterpret_cast<const void*>(primOpenPrinter), 0);
  addCPrimitive(1201, reinterpret_cast<const void*>(primPrinterFonts), 0);
  addCPrimitive(1203, reinterpret_cast<const void*>(primReleasePrinter), 0);
  addCPrimitive(1204, reinterpret_cast<const void*>(primPrinterMetrics), 0);
  addCPrimitive(1205, reinterpret_cast<const void*>(primPrinterName), 0);
  addCPrimitive(1206, reinterpret_cast<const void*>(primPrinterDepth), 0);
  addCPrimitive(1207, reinterpret_cast<const void*>(primPrinterPlanes), 0);
  addCPrimitive(1208, reinterpret_cast<const void*>(primSetPaperSize), 1);
  addCPrimitive(1209, reinterpret_cast<const void*>(primSetOrientation), 1);
  addCPrimitive(1210, reinterpret_cast<const void*>(primStartDocument), 1);
  addCPrimitive(1211, reinterpret_cast<const void*>(primEndPageAndDocument), 0);
  addCPrimitive(1212, reinterpret_cast<const void*>(primNextPage), 0);
  addCPrimitive(1213, reinterpret_cast<const void*>(primPassThrough), 1);
  addCPrimitive(1214, reinterpret_cast<const void*>(primPrinterFont), 1);
  addCPrimitive(1216, reinterpret_cast<const void*>(primStartPage), 0);
  addCPrimitive(1217, reinterpret_cast<const void*>(primEndPage), 0);
  addCPrimitive(1218, reinterpret_cast<const void*>(primEndDocument), 0);
  addCPrimitive(1233, reinterpret_cast<const void*>(primPrintBitmap), 2);
  addCPrimitive(1234, reinterpret_cast<const void*>(primPrintBitmapInColours), 4);
  addCPrimitive(1611, reinterpret_cast<const void*>(primPrintPostScriptFile), 0);
  addCPrimitive(1612, reinterpret_cast<const void*>(primPrintTextFile), 0);
}
