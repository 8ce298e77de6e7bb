// Windows layer: graphics contexts into prepared device contexts (install and uninstall),
// the colour rule, the drawables' handle bytes as the drawing code reads them, and the
// argument readers the drawing and text primitives share. Prefix: none (installGraphicsState,
// uninstallGraphicsState, ...).
#pragma once
#include <windows.h>

#include <cstdint>

#include "mman/mmObject.h"
#include "platpc/ntCanvas.h"

// The handle bytes of a window or pixmap object (slot 0, a byte object of 40 bytes or more).
struct DrawableBytes {
  uint64_t serial;  // the window id: the handle's serial in the handle registry
  uint64_t handle;  // HWND or HBITMAP
  uint64_t dc;      // the device context the drawing layer holds (0 when none)
  uint32_t type;    // drawableWindow, drawablePixmap, drawableBitmap
  uint32_t kind;    // kindWindowDrawable, kindPixmapDrawable, kindBitmapDrawable, kindPrinterDrawable
  float scaleX, scaleY;
};
static_assert(sizeof(DrawableBytes) == 40, "the drawable handle bytes are 40 bytes");

// The slots of a graphics-context object.
enum : uint32_t {
  gcDrawable = 0, gcClipX = 1, gcClipY = 2, gcClipWidth = 3, gcClipHeight = 4, gcLine = 5,
  gcFont = 8, gcPaint = 9, gcTranslateX = 10, gcTranslateY = 11, gcPhaseX = 12, gcPhaseY = 13,
  gcScaleX = 14, gcScaleY = 15,
};

// Install flags.
enum : uint32_t {
  installLineWidth = 1, installFont = 2, installNothing = 4, installPaint = 8, installPaintPen = 0x10,
  installThinOnly = 0x20, installNullPen = 0x40,
};

// One install: what was selected, what was made, and the shape drawn so far.
struct DrawingState {
  HDC dc;
  HWND window;  // the drawable's window, null for a pixmap or printer
  DrawableBytes* bytes;
  uint32_t kind;
  HBRUSH brush;
  HPEN pen;
  HGDIOBJ oldBrush, oldPen, oldFont, oldBitmap;
  int32_t line;    // slot 5 whole: width, style and code bits
  int64_t tx, ty;  // translation in image units
  RECT damage;     // narrowed by each drawing to what it drew
  COLORREF colour;
  int ownsDC;      // a memory DC of this install (deleted at uninstall)
  int clipped;     // a clip was set on the context (removed at uninstall)
  // Tiled paint: the real context set aside while the mask collects the shape.
  HDC realDC;
  HBITMAP mask;
  HGDIOBJ oldMask;
  HBITMAP tile;
  int32_t tileWidth, tileHeight, phaseX, phaseY;
  RECT clipBox;
};

// Prepares the context's device context; 1, or 0 with the install code in *code.
int installGraphicsState(oop gc, DrawingState* s, uint32_t flags, uint32_t* code);
void uninstallGraphicsState(oop gc, DrawingState* s);
// The cached window and memory DCs, dropped before the idle wait and when their drawable goes
// (also through the canvas layer's hooks, which initGraphicsContexts sets).
void releaseWindowDC();
void releasePixmapDC();
// A drawable object's handle bytes, or null.
DrawableBytes* drawableBytesOf(oop drawable);
// Narrows the damage box to a filled shape's box (outlined shapes widen it by the line first).
void narrowDamage(DrawingState* s, int64_t left, int64_t top, int64_t right, int64_t bottom, bool outlined);
// A Point with SmallInteger coordinates.
bool gcPointOf(oop point, int64_t* x, int64_t* y);
// A non-immediate byte-indexed object.
bool gcByteObject(oop object);
// The Windows colour of a SmallInteger colour value, by the colour rule.
COLORREF colourOf(int64_t value, uint32_t kind);
void initGraphicsContexts();
