// X11 window system: core X fonts. Lists the server's font names, loads and frees fonts,
// answers per-character widths and text extents, and draws one-byte (through a translation
// table) and two-byte strings through a graphics-context object, 1024 characters a request.
// Owns no global record.
// Prefix: none (initX11FontPrims; the primitives are file-local).
#include <cstring>

#include "ext/exPrimTable.h"
#include "ext/exRequest.h"
#include "mman/mmAllocate.h"
#include "mman/mmCString.h"
#include "mman/mmCValue.h"
#include "mman/mmPrimUtil.h"
#include "mman/mmSysOop.h"
#include "x11/x11.h"

enum : uint32_t {
  textChunk = 1024,           // characters measured or drawn by one request
  maxListedFonts = 10000,
  tableBytes = 512,           // 256 entries of 16 bits
  errXOutside16Bits = 19,     // the advancing x of a string left the server's coordinates
};

// The font handle: a 16-byte ByteArray {XFontStruct*, Display*}.
struct FontHandle {
  XFontStruct* font;
  Display* display;
};

static oop answer(oop result) { return anyRequestsPending() ? commitPrimitiveAndHandleRequests(result) : result; }

// The handle in a font object's slot 0, or null.
static FontHandle* fontHandleOf(oop fontObject) {
  if (isImmediate(fontObject) || !hasPtrs(headerOf(fontObject)) || bodyWordsOf(headerOf(fontObject)) < 1) return nullptr;
  oop h = slotOf(fontObject, 0);
  if (!isByteObject(h) || byteSizeOf(headerOf(h)) < sizeof(FontHandle)) return nullptr;
  FontHandle* f = reinterpret_cast<FontHandle*>(bodyOf(headerOf(h)));
  return f->font != nullptr ? f : nullptr;
}

// ---- Listing, loading, freeing -----------------------------------------------------------------

static oop listFonts(Display* display, const char* pattern, uint64_t numArgs) {
  int count = 0;
  char** names = XListFonts(display, pattern, maxListedFonts, &count);
  if (names == nullptr || count == 0) {
    if (names != nullptr) XFreeFontNames(names);
    return x11Fail(primErrNotFound, numArgs);
  }
  oop list = newX11Array((uint64_t)count);
  for (int i = 0; list != 0 && i < count; i++) {
    oop name = STStringWithSize(names[i], strlen(names[i]));
    if (name == 0) list = 0;
    else x11ArrayPut(list, (uint64_t)i, name);
  }
  XFreeFontNames(names);
  if (list == 0) return x11Fail(primErrNoSpace, numArgs);
  return answer(list);
}

// 977: every font the server names; aliases too when the resource xlfdOnly is false.
static oop primListAllFonts(oop receiver) {
  Display* display = displayOfReceiver(receiver);
  if (display == nullptr) return x11Fail(primErrBadReceiver, 0);
  int xlfdOnly = 1;
  if (!getBooleanX11Resource(display, "xlfdOnly", "XLFDOnly", &xlfdOnly)) xlfdOnly = 1;
  return listFonts(display, xlfdOnly ? "-*" : "*", 0);
}

// 978: the fonts matching a pattern.
static oop primListFonts(oop receiver, oop pattern) {
  Display* display = displayOfReceiver(receiver);
  if (display == nullptr) return x11Fail(primErrBadReceiver, 1);
  char buffer[256];
  if (copyToCString(pattern, buffer, 255) == nullptr) return x11Fail(primErrBadArgument, 1);
  return listFonts(display, buffer, 1);
}

// 908: {handle, ascent, descent}.
static oop primLoadFont(oop receiver, oop name) {
  Display* display = displayOfReceiver(receiver);
  if (display == nullptr) return x11Fail(primErrBadReceiver, 1);
  char buffer[257];
  if (copyToCString(name, buffer, 256) == nullptr) return x11Fail(primErrBadArgument, 1);
  XFontStruct* font = XLoadQueryFont(display, buffer);
  if (font == nullptr) return x11Fail(primErrNotFound, 1);
  ObjectHeader* handle = allocVSObj(sysOop(sysByteArrayClass), sizeof(FontHandle));
  oop result = newX11Array(3);
  if (handle == nullptr || result == 0) {
    XFreeFont(display, font);
    return x11Fail(primErrNoSpace, 1);
  }
  const FontHandle f = {font, display};
  memcpy(bodyOf(handle), &f, sizeof f);
  x11ArrayPut(result, 0, oopOf(handle));
  x11ArrayPut(result, 1, smallIntegerFor(font->ascent));
  x11ArrayPut(result, 2, smallIntegerFor(font->descent));
  return answer(result);
}

// 980: the handle leaves the object before the font goes, so no later primitive finds it.
static oop primFreeFont(oop receiver) {
  if (isImmediate(receiver) || !hasPtrs(headerOf(receiver)) || bodyWordsOf(headerOf(receiver)) < 1)
    return x11Fail(primErrBadReceiver, 0);
  oop h = slotOf(receiver, 0);
  if (!isByteObject(h) || byteSizeOf(headerOf(h)) < 8) return x11Fail(primErrBadReceiver, 0);
  FontHandle f = {};
  memcpy(&f, bodyOf(headerOf(h)), byteSizeOf(headerOf(h)) < sizeof f ? 8 : sizeof f);
  bodyOf(headerOf(receiver))[0] = nilOop();
  if (f.font != nullptr && f.display != nullptr && xDisplayInRegistry(f.display)) XFreeFont(f.display, f.font);
  return receiver;
}

// ---- Widths and extents -------------------------------------------------------------------------

// The width of one character code, 0 where the font has none.
static int64_t codeWidth(const XFontStruct* f, uint64_t code) {
  if (f->per_char == nullptr) return f->max_bounds.width;
  uint64_t first = f->min_char_or_byte2, last = f->max_char_or_byte2;
  if (f->min_byte1 == 0 && f->max_byte1 == 0) return code >= first && code <= last ? f->per_char[code - first].width : 0;
  uint64_t row = code >> 8, column = code & 255;
  uint64_t low = (uint64_t)f->min_byte1 * 256 + first, high = (uint64_t)f->max_byte1 * 256 + last + 1;
  if (code < low || code >= high || column < first || column > last || row < f->min_byte1) return 0;
  return f->per_char[(column - first) + (row - f->min_byte1) * (last - first + 1)].width;
}

// 916: the Array's slot i gets the width of code start + i.
static oop primCharWidths(oop receiver, oop start, oop widths) {
  FontHandle* f = fontHandleOf(receiver);
  if (f == nullptr) return x11Fail(primErrBadReceiver, 2);
  if (!isSmallInteger(start) || smallIntegerValue(start) < 0 || isImmediate(widths) ||
      classTagOf(headerOf(widths)) != classIndexArray)
    return x11Fail(primErrBadArgument, 2);
  const XFontStruct* font = f->font;
  uint64_t s = (uint64_t)smallIntegerValue(start), n = bodyWordsOf(headerOf(widths));
  uint64_t limit = font->max_byte1 != 0 ? ((uint64_t)font->max_byte1 + 1) * 256
                                        : ((uint64_t)font->max_char_or_byte2 + 256) & ~uint64_t(255);
  for (uint64_t i = 0; i < n; i++)
    bodyOf(headerOf(widths))[i] = smallIntegerFor(s > limit ? 0 : codeWidth(font, s + i));
  return answer(receiver);
}

// A string's characters start..stop (1-based): the first index and the count; false unless
// 1 <= start <= stop <= size.
static bool textRange(oop string, oop start, oop stop, uint64_t unitBytes, uint64_t* first, uint64_t* count) {
  if (!isByteObject(string) || !isSmallInteger(start) || !isSmallInteger(stop)) return false;
  int64_t a = smallIntegerValue(start), b = smallIntegerValue(stop);
  uint64_t size = byteSizeOf(headerOf(string)) / unitBytes;
  if (a < 1 || a > b || (uint64_t)b > size) return false;
  *first = (uint64_t)a - 1, *count = (uint64_t)(b - a + 1);
  return true;
}

static const uint16_t* translationTable(oop table) {
  if (!isByteObject(table) || byteSizeOf(headerOf(table)) < tableBytes) return nullptr;
  return reinterpret_cast<const uint16_t*>(bodyOf(headerOf(table)));
}

// Maps up to textChunk bytes through the table; false on an entry with high bits.
static bool translateChunk(const uint8_t* from, uint64_t n, const uint16_t* table, char* out) {
  for (uint64_t i = 0; i < n; i++) {
    uint16_t c = table[from[i]];
    if (c > 255) return false;
    out[i] = (char)c;
  }
  return true;
}

static void toChar2b(const uint8_t* from, uint64_t n, XChar2b* out) {
  for (uint64_t i = 0; i < n; i++) {
    uint16_t c;
    memcpy(&c, from + 2 * i, 2);
    out[i].byte1 = (unsigned char)(c >> 8), out[i].byte2 = (unsigned char)(c & 255);
  }
}

static oop extentAnswer(int64_t width, int64_t height, uint64_t numArgs) {
  oop w = cSignedToOop(width), h = cSignedToOop(height);
  ObjectHeader* p = allocFSObj(sysOop(sysPointClass));
  if (w == 0 || h == 0 || p == nullptr) return x11Fail(primErrNoSpace, numArgs);
  x11ArrayPut(oopOf(p), 0, w);
  x11ArrayPut(oopOf(p), 1, h);
  return answer(oopOf(p));
}

// 974 and 973: {summed widths, highest ascent + deepest descent} over the chunks.
static oop textExtent(oop receiver, oop string, oop start, oop stop, oop table, bool twoByte) {
  uint64_t numArgs = twoByte ? 3 : 4, first, count;
  const uint16_t* map = nullptr;
  if (!textRange(string, start, stop, twoByte ? 2 : 1, &first, &count)) return x11Fail(primErrBadArgument, numArgs);
  if (!twoByte && (map = translationTable(table)) == nullptr) return x11Fail(primErrBadArgument, numArgs);
  FontHandle* f = fontHandleOf(receiver);
  if (f == nullptr) return x11Fail(primErrBadReceiver, numArgs);
  const uint8_t* bytes = reinterpret_cast<const uint8_t*>(bodyOf(headerOf(string)));
  int64_t width = 0, ascent = 0, descent = 0;
  for (uint64_t done = 0; done < count; done += textChunk) {
    uint64_t n = count - done < textChunk ? count - done : uint64_t(textChunk);
    int direction, fontAscent, fontDescent;
    XCharStruct overall;
    if (twoByte) {
      XChar2b chars[textChunk];
      toChar2b(bytes + 2 * (first + done), n, chars);
      XTextExtents16(f->font, chars, (int)n, &direction, &fontAscent, &fontDescent, &overall);
    } else {
      char chars[textChunk];
      if (!translateChunk(bytes + first + done, n, map, chars)) return x11Fail(primErrBadArgument, numArgs);
      XTextExtents(f->font, chars, (int)n, &direction, &fontAscent, &fontDescent, &overall);
    }
    width += overall.width;
    if (done == 0 || overall.ascent > ascent) ascent = overall.ascent;
    if (done == 0 || overall.descent > descent) descent = overall.descent;
  }
  return extentAnswer(width, ascent + descent, numArgs);
}
static oop primTextExtent(oop r, oop s, oop a, oop b, oop t) { return textExtent(r, s, a, b, t, false); }
static oop primTextExtent16(oop r, oop s, oop a, oop b) { return textExtent(r, s, a, b, 0, true); }

// ---- Drawing ---------------------------------------------------------------------------------------

enum : uint32_t { textParts = partDrawable | partClip | partFont | partPaint | partTranslation };

// The receiver's state with its font, or the failure (GC slot) through *failed.
static bool textState(oop gc, GraphicsState* s, uint64_t numArgs, oop* failed) {
  bool usable;
  uint32_t bad = readGraphicsState(gc, textParts, s, &usable);
  if (usable && bad == 0) return true;
  *failed = x11FailWith(primErrBadReceiver, bad, numArgs);
  return false;
}

// The font the GC object's slot 9 names (checked by readGraphicsState).
static XFontStruct* gcFont(oop gc) { return *reinterpret_cast<XFontStruct**>(bodyOf(headerOf(slotOf(gc, 8)))); }

// 957 and 975: chunk after chunk, each after the widths of those before it.
static oop drawText(oop receiver, oop string, oop start, oop stop, oop position, oop table, bool twoByte) {
  uint64_t numArgs = twoByte ? 4 : 5, first, count;
  int64_t x, y;
  const uint16_t* map = nullptr;
  GraphicsState s;
  oop failed;
  if (!textRange(string, start, stop, twoByte ? 2 : 1, &first, &count) || !pointArgument(position, &x, &y))
    return x11Fail(primErrBadArgument, numArgs);
  if (!twoByte && (map = translationTable(table)) == nullptr) return x11Fail(primErrBadArgument, numArgs);
  if (!textState(receiver, &s, numArgs, &failed)) return failed;
  x += s.tx, y += s.ty;
  if (!fits16(x) || !fits16(y)) return x11Fail(primErrBadArgument, numArgs);
  applyGraphicsState(&s, textParts);
  XFontStruct* font = gcFont(receiver);
  DrawableHandle* d = s.handle;
  const uint8_t* bytes = reinterpret_cast<const uint8_t*>(bodyOf(headerOf(string)));
  for (uint64_t done = 0; done < count; done += textChunk) {
    uint64_t n = count - done < textChunk ? count - done : uint64_t(textChunk);
    if (!fits16(x)) {
      armXFlush();
      return x11Fail(errXOutside16Bits, numArgs);
    }
    int advance;  // only a chunk with another after it moves x
    if (twoByte) {
      XChar2b chars[textChunk];
      toChar2b(bytes + 2 * (first + done), n, chars);
      XDrawString16(d->display, d->drawable, d->gc, (int)x, (int)y, chars, (int)n);
      advance = done + n < count ? XTextWidth16(font, chars, (int)n) : 0;
    } else {
      char chars[textChunk];
      if (!translateChunk(bytes + first + done, n, map, chars)) {
        armXFlush();
        return x11Fail(primErrBadArgument, numArgs);
      }
      XDrawString(d->display, d->drawable, d->gc, (int)x, (int)y, chars, (int)n);
      advance = done + n < count ? XTextWidth(font, chars, (int)n) : 0;
    }
    x += advance;
  }
  armXFlush();
  return receiver;
}
static oop primDrawText(oop r, oop s, oop a, oop b, oop p, oop t) { return drawText(r, s, a, b, p, t, false); }
static oop primDrawText16(oop r, oop s, oop a, oop b, oop p) { return drawText(r, s, a, b, p, 0, true); }

// 976: one two-byte character.
static oop primDrawChar16(oop receiver, oop code, oop position) {
  int64_t x, y;
  GraphicsState s;
  oop failed;
  if (!isSmallInteger(code) || smallIntegerValue(code) < 0 || smallIntegerValue(code) > 65535 ||
      !pointArgument(position, &x, &y))
    return x11Fail(primErrBadArgument, 2);
  if (!textState(receiver, &s, 2, &failed)) return failed;
  x += s.tx, y += s.ty;
  if (!fits16(x) || !fits16(y)) return x11Fail(primErrBadArgument, 2);
  applyGraphicsState(&s, textParts);
  int64_t c = smallIntegerValue(code);
  XChar2b ch = {(unsigned char)(c >> 8), (unsigned char)(c & 255)};
  XDrawString16(s.handle->display, s.handle->drawable, s.handle->gc, (int)x, (int)y, &ch, 1);
  armXFlush();
  return receiver;
}

void initX11FontPrims() {
  addCPrimitive(977, reinterpret_cast<const void*>(primListAllFonts), 0);
  addCPrimitive(978, reinterpret_cast<const void*>(primListFonts), 1);
  addCPrimitive(908, reinterpret_cast<const void*>(primLoadFont), 1);
  addCPrimitive(980, reinterpret_cast<const void*>(primFreeFont), 0);
  addCPrimitive(916, reinterpret_cast<const void*>(primCharWidths), 2);
  addCPrimitive(974, reinterpret_cast<const void*>(primTextExtent), 4);
  addCPrimitive(973, reinterpret_cast<const void*>(primTextExtent16), 3);
  addCPrimitive(957, reinterpret_cast<const void*>(primDrawText), 5);
  addCPrimitive(975, reinterpret_cast<const void*>(primDrawText16), 4);
  addCPrimitive(976, reinterpret_cast<const void*>(primDrawChar16), 2);
}
