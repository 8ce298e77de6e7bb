// Windows layer: fonts and text. Fonts are made from descriptions "face~height~weight~italic~
// underline~strike-out~character set~type" and entered in the handle registry; the font list
// writes descriptions in the same form. Widths, extents and text drawing go through GDI;
// complex-script text (caret positions, hit testing, line breaks, drawing) through the script
// layer, one script cache a call. Owns no global record. Prefix: none (initFontPrimitives,
// createFontFromDescription, listFonts; the primitives are file-local).
#include <windows.h>
#include <usp10.h>

#include <cstdlib>
#include <cstring>
#include <cwchar>

#include "ext/exPrimTable.h"
#include "mman/mmAllocate.h"
#include "mman/mmCValue.h"
#include "mman/mmPrimUtil.h"
#include "mman/mmRt.h"
#include "mman/mmSysOop.h"
#include "platpc/ntChannel.h"
#include "platpc/ntFile.h"
#include "platpc/ntFont.h"
#include "platpc/ntGraphics.h"
#include "platpc/ntMain.h"
#include "prim/prDouble.h"

// Where a failed store check of a font answer is reported from.
static const char* const fontSource = "src/platpc/ntfont";

enum : int64_t {
  descriptionUnits = 127,  // longest description a font is made from
  faceUnits = 31,          // LF_FACESIZE less the terminating zero
  charsetUnits = 255,
  listChunkUnits = 4096,   // the font list's strings buffer grows by this
  maxListedFaces = 512,
  shapeChunk = 32000,      // characters shaped by one call
  shapeGlyphs = 64000,     // glyphs asked of one call
  breakChunk = 64000,      // characters given to one break analysis
  caretUnits = 500000,     // units positioned by 981; 984 draws longer text plainly
  byteTextPiece = 2048,    // bytes drawn by one call of 975
  errScriptNotInFont = 12, errScript = 22,
};
static const HRESULT scriptNotInFont = HRESULT(0x80040200);

static oop answer(oop result) { return ntAnswerServing(result); }

// ---- Descriptions ---------------------------------------------------------------------------------

static const struct {
  const wchar_t* name;
  BYTE charset;
} charsetNames[] = {{L"ansi", ANSI_CHARSET}, {L"symbol", SYMBOL_CHARSET}, {L"oem", OEM_CHARSET}, {L"kanji", SHIFTJIS_CHARSET}};

// Reads up to the next '~' (at least one unit, at most limit) into out.
static bool readText(const wchar_t** p, wchar_t* out, int64_t limit) {
  int64_t n = 0;
  while ((*p)[n] != 0 && (*p)[n] != L'~') n++;
  if (n == 0 || n > limit) return false;
  wmemcpy(out, *p, size_t(n));
  out[n] = 0;
  *p += n;
  return true;
}

// An integer in C's %i form (sign, then decimal, 0x hexadecimal or 0 octal), in 32 bits.
static bool readInteger(const wchar_t** p, int32_t* out) {
  wchar_t* end;
  errno = 0;
  long long v = wcstoll(*p, &end, 0);
  if (end == *p || errno != 0 || v < INT32_MIN || v > INT32_MAX) return false;
  *out = int32_t(v);
  *p = end;
  return true;
}

static bool readTilde(const wchar_t** p) {
  if (**p != L'~') return false;
  (*p)++;
  return true;
}

// The character set of a name of the table or "special<n>" (its low byte); -1 for another.
static int charsetOf(const wchar_t* name) {
  for (const auto& c : charsetNames)
    if (wcscmp(name, c.name) == 0) return c.charset;
  if (wcsncmp(name, L"special", 7) != 0) return -1;
  const wchar_t* p = name + 7;
  int32_t n;
  if (*p == L' ' || !readInteger(&p, &n)) return -1;
  return n & 0xFF;
}

// The fields of a description into a zeroed LOGFONTW: reading stops at the first field that
// does not match and leaves the rest 0, but the fields up to the character set must be there
// and the set known, else the description is malformed.
static bool parseDescription(const wchar_t* description, LOGFONTW* lf) {
  wchar_t text[descriptionUnits + 8], charset[charsetUnits + 1];
  if (wcslen(description) > descriptionUnits) return false;
  wcscpy(text, description);
  wcscat(text, L"-0-0-0");
  memset(lf, 0, sizeof *lf);
  const wchar_t* p = text;
  int32_t height, weight, italic, underline, strike;
  if (!readText(&p, lf->lfFaceName, faceUnits) || !readTilde(&p) || !readInteger(&p, &height) || !readTilde(&p) ||
      !readInteger(&p, &weight) || !readTilde(&p) || !readInteger(&p, &italic) || !readTilde(&p) ||
      !readInteger(&p, &underline) || !readTilde(&p) || !readInteger(&p, &strike) || !readTilde(&p) ||
      !readText(&p, charset, charsetUnits))
    return false;
  int set = charsetOf(charset);
  if (set < 0) return false;
  lf->lfHeight = -height;
  lf->lfWeight = weight;
  lf->lfItalic = BYTE(italic), lf->lfUnderline = BYTE(underline), lf->lfStrikeOut = BYTE(strike);
  lf->lfCharSet = BYTE(set);
  int32_t ignored, width, escapement, orientation;
  if (readTilde(&p) && readInteger(&p, &ignored) && readTilde(&p) && readInteger(&p, &width)) {
    lf->lfWidth = width;
    if (readTilde(&p) && readInteger(&p, &escapement)) {
      lf->lfEscapement = escapement;
      if (readTilde(&p) && readInteger(&p, &orientation)) lf->lfOrientation = orientation;
    }
  }
  return true;
}

HFONT createFontFromDescription(HDC dc, const wchar_t* description, TEXTMETRICW* metrics, int* malformed) {
  LOGFONTW lf;
  *malformed = !parseDescription(description, &lf);
  if (*malformed) return nullptr;
  SetTextAlign(dc, TA_BASELINE);
  HFONT font = CreateFontIndirectW(&lf);
  if (font == nullptr) return nullptr;
  HGDIOBJ old = SelectObject(dc, font);
  BOOL measured = GetTextMetricsW(dc, metrics);
  SelectObject(dc, old);
  if (!measured) {
    DWORD error = GetLastError();
    DeleteObject(font);
    SetLastError(error);
    return nullptr;
  }
  return font;
}

// Appends text and integers to a description being written.
struct Writer {
  wchar_t* out;
  int64_t used, capacity;
  void text(const wchar_t* t) {
    while (*t != 0 && used < capacity - 1) out[used++] = *t++;
    out[used] = 0;
  }
  void number(int64_t v) {
    wchar_t digits[24];
    swprintf(digits, 24, L"%lld", (long long)v);
    text(digits);
  }
};

static void formatDescription(wchar_t* out, const LOGFONTW* lf, int32_t height, DWORD type) {
  wchar_t charset[24] = L"";
  for (const auto& c : charsetNames)
    if (c.charset == lf->lfCharSet) wcscpy(charset, c.name);
  if (charset[0] == 0) swprintf(charset, 24, L"special%d", int(lf->lfCharSet));
  Writer w = {out, 0, 256};
  w.text(lf->lfFaceName), w.text(L"~"), w.number(height), w.text(L"~"), w.number(lf->lfWeight), w.text(L"~");
  w.number(lf->lfItalic), w.text(L"~"), w.number(lf->lfUnderline), w.text(L"~"), w.number(lf->lfStrikeOut);
  w.text(L"~"), w.text(charset), w.text(L"~"), w.number(int64_t(type));
}

// ---- The font list --------------------------------------------------------------------------------

struct FontListState {
  wchar_t scratch[256];  // the face's description with height 0
  int nonRaster;         // this face reported a scalable style
  wchar_t* strings;      // descriptions one after another, each with its zero
  int64_t used, capacity, last;
  int64_t count;
  wchar_t* faces[maxListedFaces];
  int64_t faceCount;
  const wchar_t* skip;  // the first face, listed first and not again
};

static void appendFontDescription(FontListState* s, const wchar_t* description) {
  int64_t length = int64_t(wcslen(description));
  if (s->used + length + 1 >= s->capacity) {
    wchar_t* grown = static_cast<wchar_t*>(realloc(s->strings, size_t(s->capacity + listChunkUnits) * 2));
    if (grown == nullptr) return;
    s->strings = grown;
    s->capacity += listChunkUnits;
  }
  wmemcpy(s->strings + s->used, description, size_t(length + 1));
  s->last = s->used;
  s->used += length + 1;
  s->count++;
}

static bool addFace(FontListState* s, const wchar_t* face) {
  wchar_t* copy = _wcsdup(face);
  if (copy == nullptr) return false;
  s->faces[s->faceCount++] = copy;
  return true;
}

static int CALLBACK collectFaceName(const LOGFONTW* lf, const TEXTMETRICW*, DWORD, LPARAM state) {
  FontListState* s = reinterpret_cast<FontListState*>(state);
  if (s->faceCount >= maxListedFaces) return 0;
  if (s->faceCount > 0 && wcscmp(lf->lfFaceName, s->faces[s->faceCount - 1]) == 0) return 1;
  if (s->skip != nullptr && wcscmp(lf->lfFaceName, s->skip) == 0) return 1;
  return addFace(s, lf->lfFaceName) ? 1 : 0;
}

static int CALLBACK collectFaceStyles(const LOGFONTW* reported, const TEXTMETRICW*, DWORD type, LPARAM state) {
  FontListState* s = reinterpret_cast<FontListState*>(state);
  LOGFONTW lf = *reported;
  if ((type & RASTER_FONTTYPE) == 0) {
    lf.lfHeight = 0;
    s->nonRaster = 1;
  }
  wchar_t description[256];
  formatDescription(description, &lf, lf.lfHeight, type);
  formatDescription(s->scratch, &lf, 0, type);
  if (description[0] != 0 && wcscmp(description, s->strings + s->last) != 0) appendFontDescription(s, description);
  return 1;
}

static void freeFaces(FontListState* s) {
  for (int64_t i = 0; i < s->faceCount; i++) free(s->faces[i]);
  s->faceCount = 0;
}

oop listFonts(HDC dc, uint32_t kind, uint32_t* error) {
  FontListState* s = static_cast<FontListState*>(calloc(1, sizeof(FontListState)));
  if (s == nullptr) return *error = primErrMalloc, 0;
  s->strings = static_cast<wchar_t*>(malloc(listChunkUnits * 2));
  wchar_t* printerFace = nullptr;
  bool ended = s->strings == nullptr;
  if (!ended) {
    s->capacity = listChunkUnits;
    s->strings[0] = 0;
    s->used = 1;
    if (kind == kindPrinterDrawable) {
      int length = GetTextFaceW(dc, 0, nullptr);
      if (length > 0) {
        printerFace = static_cast<wchar_t*>(calloc(size_t(length) + 1, 2));
        ended = printerFace == nullptr || GetTextFaceW(dc, length, printerFace) == 0;
      }
    } else {
      printerFace = _wcsdup(L"System");
      ended = printerFace == nullptr;
    }
  }
  if (!ended) {
    if (printerFace != nullptr && addFace(s, printerFace)) s->skip = printerFace;
    LOGFONTW lf = {};
    lf.lfCharSet = DEFAULT_CHARSET;
    EnumFontFamiliesExW(dc, &lf, collectFaceName, LPARAM(s), 0);
    for (int64_t i = 0; i < s->faceCount; i++) {
      s->nonRaster = 0;
      s->scratch[0] = 0;
      memset(&lf, 0, sizeof lf);
      lf.lfCharSet = DEFAULT_CHARSET;
      wcsncpy(lf.lfFaceName, s->faces[i], faceUnits);
      EnumFontFamiliesExW(dc, &lf, collectFaceStyles, LPARAM(s), 0);
      if (!s->nonRaster && s->scratch[0] != 0) appendFontDescription(s, s->scratch);
    }
  }
  freeFaces(s);
  free(printerFace);
  oop list = 0;
  if (s->count == 0) {
    *error = primErrMalloc;
  } else {
    ObjectHeader* a = allocVSObj(sysOop(sysArrayClass), uint64_t(s->count));
    const wchar_t* p = s->strings + 1;
    for (int64_t k = 0; a != nullptr && k < s->count; k++) {
      int64_t length = int64_t(wcslen(p));
      oop description = platformStringFromWide(p, length);
      if (description == 0) a = nullptr;
      else storeSlot(oopOf(a), uint64_t(k), description, fontSource, __LINE__);
      p += length + 1;
    }
    if (a == nullptr) *error = primErrNoSpace;
    else list = oopOf(a);
  }
  free(s->strings);
  free(s);
  return list;
}

// ---- Font objects ---------------------------------------------------------------------------------

// The handle bytes in slot 0 of a font object, at least minBytes of them; null otherwise.
static FontHandleBytes* fontBytesOf(oop fontObject, uint64_t minBytes) {
  if (isImmediate(fontObject) || !hasPtrs(headerOf(fontObject)) || bodyWordsOf(headerOf(fontObject)) < 1) return nullptr;
  oop h = slotOf(fontObject, 0);
  if (!gcByteObject(h) || byteSizeOf(headerOf(h)) < minBytes) return nullptr;
  return reinterpret_cast<FontHandleBytes*>(bodyOf(headerOf(h)));
}

// A font selected into its handle's DC (or a screen DC taken for the call) until put back.
struct SelectedFont {
  HDC dc;
  bool screen;
  HGDIOBJ old;
};

static SelectedFont selectFont(const FontHandleBytes* f) {
  SelectedFont s = {HDC(f->dc), f->dc == 0, nullptr};
  if (s.screen) s.dc = GetDC(nullptr);
  s.old = SelectObject(s.dc, HFONT(f->font));
  return s;
}

static void putBackFont(SelectedFont* s) {
  if (s->old != nullptr) SelectObject(s->dc, s->old);
  if (s->screen) ReleaseDC(nullptr, s->dc);
}

// 908: {handle bytes, ascent + external leading, descent}.
static oop primCreateFont(oop receiver, oop description) {
  if (isImmediate(receiver) || !hasPtrs(headerOf(receiver)) || bodyWordsOf(headerOf(receiver)) < 1 ||
      !gcByteObject(slotOf(receiver, 0)))
    return ntFail(primErrBadReceiver, 1);
  wchar_t text[descriptionUnits + 1];
  if (platformStringToWide(description, text, descriptionUnits + 1) == nullptr) return ntFail(primErrBadArgument, 1);
  HDC screen = GetDC(nullptr);
  TEXTMETRICW metrics;
  int malformed;
  HFONT font = createFontFromDescription(screen, text, &metrics, &malformed);
  DWORD error = GetLastError();
  ReleaseDC(nullptr, screen);
  if (malformed) return ntFail(primErrBadArgument, 1);
  if (font == nullptr) return ntFailCarrying(primErrPlatform, int64_t(error), 1);
  ObjectHeader* bytes = allocVSObj(sysOop(sysByteArrayClass), sizeof(FontHandleBytes));
  ObjectHeader* result = allocVSObj(sysOop(sysArrayClass), 3);
  if (bytes == nullptr || result == nullptr || registerHandle(uint64_t(font), handleGdiObject3) == 0) {
    DeleteObject(font);
    return ntFail(primErrNoSpace, 1);
  }
  const FontHandleBytes f = {uint64_t(font), 0, 0};
  memcpy(bodyOf(bytes), &f, sizeof f);
  storeSlot(oopOf(result), 0, oopOf(bytes), fontSource, __LINE__);
  bodyOf(result)[1] = smallIntegerFor(metrics.tmAscent + metrics.tmExternalLeading);
  bodyOf(result)[2] = smallIntegerFor(metrics.tmDescent);
  return answer(oopOf(result));
}

// 980: a font this layer made is deleted once; the handle stays in the bytes but no longer
// names a registered font, so a second free deletes nothing.
static oop primDeleteFont(oop receiver) {
  FontHandleBytes* f = fontBytesOf(receiver, 8);
  if (f == nullptr) return ntFail(primErrGeneral, 0);
  if (f->font != 0 && handleSerial(f->font, handleGdiObject3) != 0) {
    DeleteObject(HGDIOBJ(f->font));
    unregisterHandle(f->font, handleGdiObject3);
  }
  return receiver;
}

// 977: the screen's fonts.
static oop primListFonts(oop receiver) {
  if (isImmediate(receiver) || !hasPtrs(headerOf(receiver)) || bodyWordsOf(headerOf(receiver)) < 1 ||
      !gcByteObject(slotOf(receiver, 0)))
    return ntFail(primErrBadReceiver, 0);
  HDC screen = GetDC(nullptr);
  uint32_t error = 0;
  oop list = listFonts(screen, kindWindowDrawable, &error);
  ReleaseDC(nullptr, screen);
  return list != 0 ? answer(list) : ntFail(error, 0);
}

// ---- Widths and extents ---------------------------------------------------------------------------

// 916: slot k of the Array gets the width of code first + k, the extent of many copies of
// the character divided by their number.
static oop primCharWidths(oop receiver, oop first, oop widths) {
  FontHandleBytes* f = fontBytesOf(receiver, sizeof(FontHandleBytes));
  if (f == nullptr) return ntFail(primErrBadReceiver, 2);
  if (!isSmallInteger(first) || smallIntegerValue(first) < 0 || isImmediate(widths) || !hasPtrs(headerOf(widths)))
    return ntFail(primErrBadArgument, 2);
  uint64_t n = bodyWordsOf(headerOf(widths));
  int64_t start = smallIntegerValue(first);
  if (start + int64_t(n) - 1 > 0xFFFF && n > 0) return ntFail(primErrBadArgument, 2);
  bool floats = f->floats != 0;
  SelectedFont sel = selectFont(f);
  for (uint64_t k = 0; k < n; k++) {
    unsigned code = unsigned(start + int64_t(k));
    SIZE size = {0, 0};
    float width;
    if (byteStringMode) {
      wchar_t units[128];
      for (wchar_t& u : units) u = wchar_t(code);
      GetTextExtentPoint32W(sel.dc, units, 128, &size);
      width = float(size.cx) / 128.0f;
    } else if (code < 256) {
      char bytes[128];
      memset(bytes, int(code), sizeof bytes);
      GetTextExtentPoint32A(sel.dc, bytes, 128, &size);
      width = float(size.cx) / 128.0f;
    } else {
      char bytes[128];
      for (int i = 0; i < 128; i += 2) bytes[i] = char(code >> 8), bytes[i + 1] = char(code & 0xFF);
      GetTextExtentPoint32A(sel.dc, bytes, 128, &size);
      width = float(size.cx) / 64.0f;
    }
    oop value = floats ? newFloatBox(width) : smallIntegerFor(int64_t(width + 0.5f));
    if (value == 0) {
      putBackFont(&sel);
      return ntFail(primErrNoSpace, 2);
    }
    storeSlot(widths, k, value, fontSource, __LINE__);
  }
  putBackFont(&sel);
  return answer(receiver);
}

// Characters start..stop (1-based) of a string of unitBytes-wide units: the first index and
// the count; false unless 1 <= start <= stop <= size.
static bool textRange(oop string, oop start, oop stop, uint64_t unitBytes, uint64_t* first, uint64_t* count) {
  if (!gcByteObject(string) || !isSmallInteger(start) || !isSmallInteger(stop)) return false;
  int64_t a = smallIntegerValue(start), b = smallIntegerValue(stop);
  uint64_t size = byteSizeOf(headerOf(string)) / unitBytes;
  if (a < 1 || a > b || uint64_t(b) > size) return false;
  *first = uint64_t(a) - 1, *count = uint64_t(b - a + 1);
  return true;
}

static const uint16_t* translationTable(oop table) {
  if (!gcByteObject(table) || byteSizeOf(headerOf(table)) < 512) return nullptr;
  return reinterpret_cast<const uint16_t*>(bodyOf(headerOf(table)));
}

// The bytes first..first+count of a string through a table, as a new C buffer (null: no memory).
static wchar_t* translated(oop string, uint64_t first, uint64_t count, const uint16_t* table) {
  wchar_t* units = static_cast<wchar_t*>(malloc(size_t(count) * 2 + 2));
  if (units == nullptr) return nullptr;
  const uint8_t* bytes = reinterpret_cast<const uint8_t*>(bodyOf(headerOf(string))) + first;
  for (uint64_t i = 0; i < count; i++) units[i] = wchar_t(table[bytes[i]]);
  return units;
}

static oop pointAnswer(int64_t x, int64_t y, uint64_t numArgs) {
  ObjectHeader* p = allocFSObj(sysOop(sysPointClass));
  if (p == nullptr) return ntFail(primErrNoSpace, numArgs);
  bodyOf(p)[0] = smallIntegerFor(x);
  bodyOf(p)[1] = smallIntegerFor(y);
  return answer(oopOf(p));
}

static oop extentOf(oop receiver, const wchar_t* units, uint64_t count, uint64_t numArgs) {
  FontHandleBytes* f = fontBytesOf(receiver, sizeof(FontHandleBytes));
  if (f == nullptr) return ntFail(primErrBadReceiver, numArgs);
  SelectedFont sel = selectFont(f);
  SIZE size = {0, 0};
  GetTextExtentPoint32W(sel.dc, units, int(count), &size);
  putBackFont(&sel);
  return pointAnswer(size.cx, size.cy, numArgs);
}

// 973: the extent of 16-bit characters start..stop.
static oop primTextExtent16(oop receiver, oop string, oop start, oop stop) {
  uint64_t first, count;
  if (!textRange(string, start, stop, 2, &first, &count)) return ntFail(primErrBadArgument, 3);
  const wchar_t* units = reinterpret_cast<const wchar_t*>(bodyOf(headerOf(string))) + first;
  return extentOf(receiver, units, count, 3);
}

// 974: the extent of bytes start..stop through a translation table.
static oop primTextExtent(oop receiver, oop string, oop start, oop stop, oop table) {
  uint64_t first, count;
  const uint16_t* map = translationTable(table);
  if (!textRange(string, start, stop, 1, &first, &count) || map == nullptr) return ntFail(primErrBadArgument, 4);
  if (fontBytesOf(receiver, sizeof(FontHandleBytes)) == nullptr) return ntFail(primErrBadReceiver, 4);
  wchar_t* units = translated(string, first, count, map);
  if (units == nullptr) return ntFail(primErrMalloc, 4);
  oop result = extentOf(receiver, units, count, 4);
  free(units);
  return result;
}

// ---- Text through a graphics context --------------------------------------------------------------

// Installs the context for text (font and paint); false with the failure made.
static bool installText(oop gc, DrawingState* s, uint64_t numArgs, oop* failed) {
  uint32_t code;
  if (installGraphicsState(gc, s, installFont | installPaint, &code)) return true;
  *failed = ntFailCarrying(primErrBadReceiver, code, numArgs);
  return false;
}

// Narrows a tiled paint's box to the text drawn from (x, y) to (right, bottom).
static void narrowToText(DrawingState* s, int64_t right, int64_t bottom) {
  if (s->realDC == nullptr) return;
  if (right < s->damage.right) s->damage.right = LONG(right);
  if (bottom < s->damage.bottom) s->damage.bottom = LONG(bottom);
}

// 957 (and 1220): bytes start..stop through a table.
static oop primDrawText(oop receiver, oop string, oop start, oop stop, oop position, oop table) {
  uint64_t first, count;
  int64_t x, y;
  const uint16_t* map = translationTable(table);
  if (!textRange(string, start, stop, 1, &first, &count) || !gcPointOf(position, &x, &y) || map == nullptr)
    return ntFail(primErrBadArgument, 5);
  wchar_t* units = translated(string, first, count, map);
  if (units == nullptr) return ntFail(primErrMalloc, 5);
  DrawingState s;
  oop failed;
  if (!installText(receiver, &s, 5, &failed)) {
    free(units);
    return failed;
  }
  x += s.tx, y += s.ty;
  BOOL drawn = TextOutW(s.dc, int(x), int(y), units, int(count));
  SIZE size = {0, 0};
  if (s.realDC != nullptr && GetTextExtentPoint32W(s.dc, units, int(count), &size)) narrowToText(&s, x + size.cx, y + size.cy);
  free(units);
  uninstallGraphicsState(receiver, &s);
  return drawn ? receiver : ntFail(primErrGeneral, 5);
}

// 975 (and 1223): 16-bit characters start..stop; without the byte-string flag the units go
// as bytes (a unit above 255 as two), a piece at a time.
static oop primDrawText16(oop receiver, oop string, oop start, oop stop, oop position) {
  uint64_t first, count;
  int64_t x, y;
  if (!textRange(string, start, stop, 2, &first, &count) || !gcPointOf(position, &x, &y))
    return ntFail(primErrBadArgument, 4);
  DrawingState s;
  oop failed;
  if (!installText(receiver, &s, 4, &failed)) return failed;
  x += s.tx, y += s.ty;
  const wchar_t* units = reinterpret_cast<const wchar_t*>(bodyOf(headerOf(string))) + first;
  if (byteStringMode) {
    if (x != int32_t(x) || y != int32_t(y)) {
      uninstallGraphicsState(receiver, &s);
      return ntFail(primErrBadArgument, 4);
    }
    BOOL drawn = TextOutW(s.dc, int(x), int(y), units, int(count));
    uninstallGraphicsState(receiver, &s);
    return drawn ? receiver : ntFail(primErrGeneral, 4);
  }
  char piece[byteTextPiece + 1];
  int64_t tallest = 0;
  uint64_t i = 0;
  while (i < count) {
    int n = 0;
    while (i < count && n < byteTextPiece - 1) {
      wchar_t u = units[i++];
      if (u > 255) piece[n++] = char(u >> 8);
      piece[n++] = char(u & 0xFF);
    }
    TextOutA(s.dc, int(x), int(y), piece, n);
    SIZE size = {0, 0};
    if ((i < count || s.realDC != nullptr) && GetTextExtentPoint32A(s.dc, piece, n, &size)) {
      x += size.cx;
      if (size.cy > tallest) tallest = size.cy;
    }
  }
  narrowToText(&s, x, y + tallest);
  uninstallGraphicsState(receiver, &s);
  return receiver;
}

// 976 (and 1221): one character.
static oop primDrawChar(oop receiver, oop code, oop position) {
  int64_t x, y;
  if (!isSmallInteger(code) || smallIntegerValue(code) < 0 || smallIntegerValue(code) > 0xFFFF ||
      !gcPointOf(position, &x, &y))
    return ntFail(primErrBadArgument, 2);
  DrawingState s;
  oop failed;
  if (!installText(receiver, &s, 2, &failed)) return failed;
  x += s.tx, y += s.ty;
  unsigned c = unsigned(smallIntegerValue(code));
  if (byteStringMode) {
    wchar_t unit = wchar_t(c);
    TextOutW(s.dc, int(x), int(y), &unit, 1);
  } else if (c < 256) {
    char byte = char(c);
    TextOutA(s.dc, int(x), int(y), &byte, 1);
  } else {
    char bytes[2] = {char(c >> 8), char(c & 0xFF)};
    TextOutA(s.dc, int(x), int(y), bytes, 2);
  }
  uninstallGraphicsState(receiver, &s);
  return receiver;
}

// ---- Complex scripts ------------------------------------------------------------------------------

// One item shaped and placed.
struct ScriptRun {
  int32_t width, cumulative;
  int glyphCount;
  WORD* clusters;
  SCRIPT_VISATTR* attributes;
  int* advances;
  GOFFSET* offsets;
  WORD* glyphs;
};

static void freeRunBuffers(ScriptRun* r) {
  free(r->clusters), free(r->attributes), free(r->advances), free(r->offsets), free(r->glyphs);
  r->clusters = nullptr, r->attributes = nullptr, r->advances = nullptr, r->offsets = nullptr, r->glyphs = nullptr;
}

static void freeRuns(ScriptRun* runs, int count) {
  if (runs == nullptr) return;
  for (int i = 0; i < count; i++) freeRunBuffers(&runs[i]);
  free(runs);
}

// The text of one call: its units, length, items and the cache every call shares.
struct ScriptText {
  HDC dc;
  const wchar_t* text;
  int length;
  bool leftToRight;
  SCRIPT_ITEM* items;  // count + 1 entries: the last gives the length as its position
  int count;
  SCRIPT_CACHE cache;
  ScriptRun* runs;
};

static void freeScriptText(ScriptText* t) {
  freeRuns(t->runs, t->count);
  free(t->items);
  if (t->cache != nullptr) ScriptFreeCache(&t->cache);
  t->runs = nullptr, t->items = nullptr;
}

static HRESULT itemizeText(ScriptText* t) {
  SCRIPT_CONTROL control;
  SCRIPT_STATE state;
  const uint32_t controlBits = 0x1200000;  // neutral override, neutral items merged
  const uint16_t stateBits = t->leftToRight ? 0x20 : 0x21;  // direction overridden, bidi level 0 or 1
  memcpy(&control, &controlBits, sizeof control);
  memcpy(&state, &stateBits, sizeof state);
  int capacity = 16;
  for (;;) {
    t->items = static_cast<SCRIPT_ITEM*>(calloc(size_t(capacity) + 1, sizeof(SCRIPT_ITEM)));
    if (t->items == nullptr) return E_OUTOFMEMORY;
    if (t->length == 0) {  // nothing to itemise: no items, the end at 0
      t->count = 0;
      return S_OK;
    }
    HRESULT hr = ScriptItemize(t->text, t->length, capacity - 1, &control, &state, t->items, &t->count);
    if (hr != E_OUTOFMEMORY) return hr;
    free(t->items);
    t->items = nullptr;
    capacity *= 2;
  }
}

static int itemLength(const ScriptText* t, int i) { return t->items[i + 1].iCharPos - t->items[i].iCharPos; }

// Makes (or grows, keeping what they hold) the glyph buffers of a run to capacity glyphs.
static bool growGlyphs(ScriptRun* r, int capacity) {
  void* p[4] = {realloc(r->attributes, size_t(capacity) * sizeof(SCRIPT_VISATTR)),
                realloc(r->advances, size_t(capacity) * sizeof(int)),
                realloc(r->offsets, size_t(capacity) * sizeof(GOFFSET)),
                realloc(r->glyphs, size_t(capacity) * sizeof(WORD))};
  if (p[0] != nullptr) r->attributes = static_cast<SCRIPT_VISATTR*>(p[0]);
  if (p[1] != nullptr) r->advances = static_cast<int*>(p[1]);
  if (p[2] != nullptr) r->offsets = static_cast<GOFFSET*>(p[2]);
  if (p[3] != nullptr) r->glyphs = static_cast<WORD*>(p[3]);
  return p[0] != nullptr && p[1] != nullptr && p[2] != nullptr && p[3] != nullptr;
}

// Shapes and places item i in chunks into r; with draw, each chunk is drawn at *x (baseline
// y) as it is placed, and *x moves on by the item's width. Where the glyph buffers grow,
// shaping resumes at the chunk that did not fit.
static HRESULT shapeAndPlaceItem(ScriptText* t, int i, ScriptRun* r, bool draw, int* x, int y) {
  int n = itemLength(t, i), capacity = n + n / 2 + 16;
  memset(r, 0, sizeof *r);
  r->clusters = static_cast<WORD*>(malloc(size_t(n > 0 ? n : 1) * sizeof(WORD)));
  if (r->clusters == nullptr || !growGlyphs(r, capacity)) return freeRunBuffers(r), E_OUTOFMEMORY;
  SCRIPT_ANALYSIS analysis = t->items[i].a;
  analysis.fLogicalOrder = 1;
  const wchar_t* text = t->text + t->items[i].iCharPos;
  int done = 0;
  while (done < n) {
    int chunk = n - done < shapeChunk ? n - done : int(shapeChunk), glyphs = 0;
    int room = capacity - r->glyphCount < shapeGlyphs ? capacity - r->glyphCount : int(shapeGlyphs);
    HRESULT hr = ScriptShape(t->dc, &t->cache, text + done, chunk, room, &analysis, r->glyphs + r->glyphCount,
                             r->clusters + done, r->attributes + r->glyphCount, &glyphs);
    if (hr == E_OUTOFMEMORY) {
      capacity *= 2;
      if (!growGlyphs(r, capacity)) return freeRunBuffers(r), E_OUTOFMEMORY;
      continue;
    }
    if (FAILED(hr)) return freeRunBuffers(r), hr;
    if (done > 0)
      for (int k = done; k < done + chunk; k++) r->clusters[k] = WORD(r->clusters[k] + r->glyphCount);
    ABC abc;
    hr = ScriptPlace(t->dc, &t->cache, r->glyphs + r->glyphCount, glyphs, r->attributes + r->glyphCount, &analysis,
                     r->advances + r->glyphCount, r->offsets + r->glyphCount, &abc);
    if (FAILED(hr)) return freeRunBuffers(r), hr;
    if (draw) {
      hr = ScriptTextOut(t->dc, &t->cache, *x + r->width, y, 0, nullptr, &analysis, nullptr, 0, r->glyphs + r->glyphCount,
                         glyphs, r->advances + r->glyphCount, nullptr, r->offsets + r->glyphCount);
      if (FAILED(hr)) return freeRunBuffers(r), hr;
    }
    r->width += abc.abcA + int(abc.abcB) + abc.abcC;
    r->glyphCount += glyphs;
    done += chunk;
  }
  if (draw) {
    *x += r->width;
    freeRunBuffers(r);
  }
  return S_OK;
}

// Every item shaped and placed into t->runs, with cumulative widths.
static HRESULT shapeAll(ScriptText* t) {
  t->runs = static_cast<ScriptRun*>(calloc(size_t(t->count) + 1, sizeof(ScriptRun)));
  if (t->runs == nullptr) return E_OUTOFMEMORY;
  int32_t total = 0;
  for (int i = 0; i < t->count; i++) {
    HRESULT hr = shapeAndPlaceItem(t, i, &t->runs[i], false, nullptr, 0);
    if (FAILED(hr)) return hr;
    total += t->runs[i].width;
    t->runs[i].cumulative = total;
  }
  return S_OK;
}

static int32_t totalWidth(const ScriptText* t) { return t->count > 0 ? t->runs[t->count - 1].cumulative : 0; }
static int32_t widthBefore(const ScriptText* t, int i) { return i > 0 ? t->runs[i - 1].cumulative : 0; }

static int itemHolding(const ScriptText* t, int index) {
  for (int i = 0; i < t->count; i++)
    if (index >= t->items[i].iCharPos && index < t->items[i + 1].iCharPos) return i;
  return -1;
}

static HRESULT cpToX(const ScriptText* t, int i, int cp, BOOL trailing, int* x) {
  const ScriptRun* r = &t->runs[i];
  SCRIPT_ANALYSIS analysis = t->items[i].a;
  analysis.fLogicalOrder = 1;
  return ScriptCPtoX(cp, trailing, itemLength(t, i), r->glyphCount, r->clusters, r->attributes, r->advances, &analysis, x);
}

static HRESULT xToCP(const ScriptText* t, int i, int x, int* cp, int* trailing) {
  const ScriptRun* r = &t->runs[i];
  SCRIPT_ANALYSIS analysis = t->items[i].a;
  analysis.fLogicalOrder = 1;
  return ScriptXtoCP(x, itemLength(t, i), r->glyphCount, r->clusters, r->attributes, r->advances, &analysis, cp, trailing);
}

static HRESULT caretXOfIndex(ScriptText* t, int index, int* x) {
  HRESULT hr = itemizeText(t);
  if (SUCCEEDED(hr)) hr = shapeAll(t);
  if (FAILED(hr)) return hr;
  if (!t->leftToRight) index = t->length - index - 1;
  int i = itemHolding(t, index);
  if (i < 0) return *x = totalWidth(t), S_OK;
  hr = cpToX(t, i, index - t->items[i].iCharPos, t->leftToRight ? 0 : 1, x);
  if (FAILED(hr)) return hr;
  *x += widthBefore(t, i);
  if (!t->leftToRight) *x = totalWidth(t) - *x;
  return S_OK;
}

static HRESULT indexAtCaretX(ScriptText* t, int x, int* index) {
  HRESULT hr = itemizeText(t);
  if (SUCCEEDED(hr)) hr = shapeAll(t);
  if (FAILED(hr)) return hr;
  for (int i = 0; i < t->count; i++) {
    int d = widthBefore(t, i);
    if (d < x && x <= d + t->runs[i].width) {
      int cp, trailing;
      hr = xToCP(t, i, x - d, &cp, &trailing);
      if (FAILED(hr)) return hr;
      return *index = t->items[i].iCharPos + cp + trailing, S_OK;
    }
  }
  *index = totalWidth(t) < x ? t->length : 0;
  return S_OK;
}

static HRESULT charIndexAtX(const ScriptText* t, int x, int* index) {
  for (int i = 0; i < t->count; i++) {
    if (t->runs[i].cumulative >= x) {
      int cp, trailing;
      HRESULT hr = xToCP(t, i, x - widthBefore(t, i), &cp, &trailing);
      if (FAILED(hr)) return hr;
      return *index = t->items[i].iCharPos + cp, S_OK;
    }
  }
  return *index = t->length, S_OK;
}

// One whitespace and one soft-break flag a character.
static HRESULT findBreakOpportunities(const ScriptText* t, uint8_t* whitespace, uint8_t* softBreak) {
  SCRIPT_LOGATTR* attributes = static_cast<SCRIPT_LOGATTR*>(malloc(size_t(t->length > 0 ? t->length : 1) * sizeof(SCRIPT_LOGATTR)));
  if (attributes == nullptr) return E_OUTOFMEMORY;
  for (int i = 0; i < t->count; i++) {
    int at = t->items[i].iCharPos, n = itemLength(t, i);
    for (int done = 0; done < n; done += breakChunk) {
      int piece = n - done < breakChunk ? n - done : int(breakChunk);
      HRESULT hr = ScriptBreak(t->text + at + done, piece, &t->items[i].a, attributes + at + done);
      if (FAILED(hr)) return free(attributes), hr;
    }
  }
  for (int j = 0; j < t->length; j++) whitespace[j] = attributes[j].fWhiteSpace, softBreak[j] = attributes[j].fSoftBreak;
  free(attributes);
  return S_OK;
}

// The leading-edge x of character u: the total width when u lies in no item.
static HRESULT leadingX(const ScriptText* t, int u, int* x) {
  int i = itemHolding(t, u);
  if (i < 0) return *x = totalWidth(t), S_OK;
  HRESULT hr = cpToX(t, i, u - t->items[i].iCharPos, 0, x);
  *x += widthBefore(t, i);
  return hr;
}

// Pairs (character count, width) of the lines of a text wrapped at width, in a growing array.
struct LinePairs {
  int32_t* numbers;
  int count, capacity;
  bool add(int32_t a, int32_t b) {
    if (count + 2 > capacity) {
      int32_t* grown = static_cast<int32_t*>(realloc(numbers, size_t(capacity) * 2 * sizeof(int32_t)));
      if (grown == nullptr) return false;
      numbers = grown, capacity *= 2;
    }
    numbers[count++] = a, numbers[count++] = b;
    return true;
  }
};

static HRESULT breakComplexTextLines(ScriptText* t, bool singleLine, int width, LinePairs* lines) {
  lines->capacity = singleLine || width == 0 ? 2 : 8, lines->count = 0;
  lines->numbers = static_cast<int32_t*>(malloc(size_t(lines->capacity) * sizeof(int32_t)));
  if (lines->numbers == nullptr) return E_OUTOFMEMORY;
  HRESULT hr = itemizeText(t);
  if (SUCCEEDED(hr)) hr = shapeAll(t);
  if (FAILED(hr)) return hr;
  int length = t->length, total = totalWidth(t);
  if (width <= 0) return lines->add(length, total) ? S_OK : E_OUTOFMEMORY;
  uint8_t* flags = static_cast<uint8_t*>(malloc(size_t(length) * 2 + 2));
  if (flags == nullptr) return E_OUTOFMEMORY;
  uint8_t *whitespace = flags, *softBreak = flags + length + 1;
  whitespace[length] = softBreak[length] = 0;
  hr = findBreakOpportunities(t, whitespace, softBreak);
  int lineEnd = 0, lineEndX = 0, lineStartX = 0;
  while (SUCCEEDED(hr)) {
    int brk = length;
    if (width + lineStartX < total) {
      int p;
      if (FAILED(hr = charIndexAtX(t, width + lineStartX, &p))) break;
      if (!t->leftToRight) p = length - p;
      if (p <= lineEnd) p = lineEnd + 1;
      if (p > length) p = length;
      if (t->leftToRight) {
        brk = p;
        if (!whitespace[p]) {
          int o = p;
          bool found = false;
          while (o > lineEnd && !found) {
            if (softBreak[o]) found = true;
            else if (whitespace[o - 1]) o--, found = true;
            else o--;
          }
          if (found) brk = o;
        }
        if (brk > 0)
          while (brk < length && whitespace[brk]) brk++;
      } else {
        brk = p;
        while (brk > 0 && brk < length && whitespace[brk]) brk--;
      }
    }
    int x;
    if (FAILED(hr = leadingX(t, t->leftToRight ? brk : length - brk - 1, &x))) break;
    while (x == lineEndX && x < total && brk < length) {
      brk++;
      if (FAILED(hr = leadingX(t, t->leftToRight ? brk : length - brk - 1, &x))) break;
    }
    if (FAILED(hr)) break;
    if (!lines->add(brk - lineEnd, x - lineEndX)) {
      hr = E_OUTOFMEMORY;
      break;
    }
    // A break that did not move would repeat the same line for ever.
    if (singleLine || brk >= length || brk <= lineEnd) break;
    lineEnd = brk, lineEndX = lineStartX = x;
  }
  free(flags);
  return hr;
}

static HRESULT drawComplexText(ScriptText* t, int x, int y) {
  if (t->length > caretUnits) return TextOutW(t->dc, x, y, t->text, t->length) ? S_OK : E_FAIL;
  HRESULT hr = itemizeText(t);
  for (int i = 0; SUCCEEDED(hr) && i < t->count; i++) {
    ScriptRun run;
    hr = shapeAndPlaceItem(t, i, &run, true, &x, y);
  }
  return hr;
}

// A UTF-16 string of the Uniscribe primitives: a ByteArray (or subclass) of 16-bit units.
static bool unitString(oop string, const wchar_t** units, int64_t* length) {
  if (!gcByteObject(string) || !isKindOf(string, sysOop(sysByteArrayClass))) return false;
  uint64_t bytes = byteSizeOf(headerOf(string));
  if (bytes / 2 > INT32_MAX) return false;
  *units = reinterpret_cast<const wchar_t*>(bodyOf(headerOf(string)));
  *length = int64_t(bytes / 2);
  return true;
}

static bool booleanArgument(oop b, bool* out) {
  if (b == trueOop()) return *out = true, true;
  if (b == falseOop()) return *out = false, true;
  return false;
}

static oop scriptFailure(HRESULT hr, uint64_t numArgs) {
  if (hr == E_OUTOFMEMORY) return ntFail(primErrMalloc, numArgs);
  return ntFail(hr == scriptNotInFont ? uint32_t(errScriptNotInFont) : uint32_t(errScript), numArgs);
}

// The receiver's font selected for a Uniscribe primitive; false when slot 0 holds no handle.
static bool scriptFont(oop receiver, SelectedFont* sel) {
  FontHandleBytes* f = fontBytesOf(receiver, 8);
  if (f == nullptr) return false;
  FontHandleBytes whole = {f->font, 0, 0};
  if (byteSizeOf(headerOf(slotOf(receiver, 0))) >= 16) whole.dc = f->dc;
  *sel = selectFont(&whole);
  return true;
}

// 981: the x of the caret before a character.
static oop primCaretX(oop receiver, oop index, oop string, oop leftToRight) {
  ScriptText t = {};
  int64_t length;
  if (!isSmallInteger(index) || !unitString(string, &t.text, &length) || !booleanArgument(leftToRight, &t.leftToRight))
    return ntFail(primErrBadArgument, 3);
  SelectedFont sel;
  if (!scriptFont(receiver, &sel)) return ntFail(primErrBadReceiver, 3);
  t.dc = sel.dc;
  t.length = int(length < caretUnits ? length : caretUnits);
  int64_t i = smallIntegerValue(index);
  int x = 0;
  HRESULT hr = caretXOfIndex(&t, int(i < 0 ? -1 : i > t.length ? t.length : i), &x);
  freeScriptText(&t);
  putBackFont(&sel);
  if (FAILED(hr)) return scriptFailure(hr, 3);
  return ntAnswerOrNoSpace(newDoubleBox(double(x)), 3);
}

// 982: the character index at an x.
static oop primIndexAtX(oop receiver, oop x, oop string, oop leftToRight) {
  ScriptText t = {};
  int64_t length;
  double at;
  if (!castOopToFiniteDouble(x, &at) || !unitString(string, &t.text, &length) ||
      !booleanArgument(leftToRight, &t.leftToRight))
    return ntFail(primErrBadArgument, 3);
  SelectedFont sel;
  if (!scriptFont(receiver, &sel)) return ntFail(primErrBadReceiver, 3);
  t.dc = sel.dc;
  t.length = int(length);
  int index = 0;
  HRESULT hr = indexAtCaretX(&t, at > INT32_MAX ? INT32_MAX : at < INT32_MIN ? INT32_MIN : int(at), &index);
  freeScriptText(&t);
  putBackFont(&sel);
  if (FAILED(hr)) return scriptFailure(hr, 3);
  return answer(smallIntegerFor(index));
}

// 983: {count, width, count, width, ...} of the lines of a text wrapped at a width.
static oop primBreakLines(oop receiver, oop string, oop width, oop singleLine, oop leftToRight) {
  ScriptText t = {};
  int64_t length;
  double w;
  bool single;
  if (!unitString(string, &t.text, &length) || !castOopToFiniteDouble(width, &w) || !booleanArgument(singleLine, &single) ||
      !booleanArgument(leftToRight, &t.leftToRight))
    return ntFail(primErrBadArgument, 4);
  SelectedFont sel;
  if (!scriptFont(receiver, &sel)) return ntFail(primErrBadReceiver, 4);
  t.dc = sel.dc;
  t.length = int(length);
  LinePairs lines = {};
  HRESULT hr = breakComplexTextLines(&t, single, w > INT32_MAX ? INT32_MAX : w < INT32_MIN ? INT32_MIN : int(w), &lines);
  freeScriptText(&t);
  putBackFont(&sel);
  if (FAILED(hr)) {
    free(lines.numbers);
    return scriptFailure(hr, 4);
  }
  ObjectHeader* a = allocVSObj(sysOop(sysArrayClass), uint64_t(lines.count));
  for (int k = 0; a != nullptr && k < lines.count; k += 2) {
    oop lineWidth = newDoubleBox(double(lines.numbers[k + 1]));
    if (lineWidth == 0) a = nullptr;
    else {
      bodyOf(a)[k] = smallIntegerFor(lines.numbers[k]);
      storeSlot(oopOf(a), uint64_t(k + 1), lineWidth, fontSource, __LINE__);
    }
  }
  free(lines.numbers);
  return a != nullptr ? answer(oopOf(a)) : ntFail(primErrNoSpace, 4);
}

// 984: complex text through a graphics context; when the script layer cannot draw it, the
// text is drawn plainly and the primitive still fails.
static oop primDrawComplexText(oop receiver, oop string, oop leftToRight, oop position) {
  ScriptText t = {};
  int64_t length, x, y;
  if (!unitString(string, &t.text, &length) || !booleanArgument(leftToRight, &t.leftToRight) ||
      !gcPointOf(position, &x, &y))
    return ntFail(primErrBadArgument, 3);
  DrawingState s;
  oop failed;
  if (!installText(receiver, &s, 3, &failed)) return failed;
  x += s.tx, y += s.ty;
  t.dc = s.dc;
  t.length = int(length);
  HRESULT hr = drawComplexText(&t, int(x), int(y));
  freeScriptText(&t);
  uninstallGraphicsState(receiver, &s);
  if (hr == E_FAIL) {
    if (installText(receiver, &s, 3, &failed)) {
      TextOutW(s.dc, int(x), int(y), t.text, t.length);
      uninstallGraphicsState(receiver, &s);
    }
    return ntFail(errScript, 3);
  }
  if (FAILED(hr)) return scriptFailure(hr, 3);
  return receiver;
}

void initFontPrimitives() {
  addCPrimitive(908, reinterpret_cast<const void*>(primCreateFont), 1);
  addCPrimitive(916, reinterpret_cast<const void*>(primCharWidths), 2);
  addCPrimitive(981, reinterpret_cast<const void*>(primCaretX), 3);
  addCPrimitive(982, reinterpret_cast<const void*>(primIndexAtX), 3);
  addCPrimitive(983, reinterpret_cast<const void*>(primBreakLines), 4);
  addCPrimitive(984, reinterpret_cast<const void*>(primDrawComplexText), 3);
  addCPrimitive(957, reinterpret_cast<const void*>(primDrawText), 5);
  addCPrimitive(973, reinterpret_cast<const void*>(primTextExtent16), 3);
  addCPrimitive(974, reinterpret_cast<const void*>(primTextExtent), 4);
  addCPrimitive(975, reinterpret_cast<const void*>(primDrawText16), 4);
  addCPrimitive(976, reinterpret_cast<const void*>(primDrawChar), 2);
  addCPrimitive(977, reinterpret_cast<const void*>(primListFonts), 0);
  addCPrimitive(980, reinterpret_cast<const void*>(primDeleteFont), 0);
  addCPrimitive(1220, reinterpret_cast<const void*>(primDrawText), 5);
  addCPrimitive(1221, reinterpret_cast<const void*>(primDrawChar), 2);
  addCPrimitive(1223, reinterpret_cast<const void*>(primDrawText16), 4);
}
