// Windows layer: fonts named by textual descriptions, the font list, widths and extents, text
// drawn through a graphics context, and complex-script text (itemising, shaping, caret
// positions, hit testing, line breaking). Prefix: none (createFontFromDescription, listFonts,
// initFontPrimitives).
#pragma once
#include <windows.h>

#include <cstdint>

#include "mman/mmObject.h"

// The handle bytes of a font object: a 24-byte ByteArray in its slot 0.
struct FontHandleBytes {
  uint64_t font;    // HFONT
  uint64_t dc;      // the device context to measure with, 0 for the screen's
  uint64_t floats;  // non-zero: primitive 916 answers Floats
};
static_assert(sizeof(FontHandleBytes) == 24, "the font handle bytes are 24 bytes");

// A description (zero-terminated UTF-16) into a font, with its metrics; null when no font
// results (GetLastError tells why) or the description is malformed (*malformed set).
HFONT createFontFromDescription(HDC dc, const wchar_t* description, TEXTMETRICW* metrics, int* malformed);
// The descriptions of the fonts of a device context (kind 0x40000 printer, else the screen),
// or 0 with a PrimErrorTable code in *error.
oop listFonts(HDC dc, uint32_t kind, uint32_t* error);
void initFontPrimitives();
