// Primitives: BitBlt on one-bit bitmaps held in byte objects, 933 (from a source bitmap or
// an all-ones source) and 934 (a 32 x 32 tile). Owns no global record.
// Prefix: none (initBitBltPrimitives, sourceBLT, noSourceBLT).
#include "prim/prBitBlt.h"

#include <cstring>
#include <type_traits>

#include "ext/exError.h"
#include "ext/exPrimTable.h"
#include "mman/mmPrimUtil.h"
#include "mman/mmSysOop.h"

// ---- Words and rules ------------------------------------------------------------------------

static inline uint32_t loadWord(const uint8_t* p) {
  return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | uint32_t(p[3]);
}
static inline void storeWord(uint8_t* p, uint32_t w) {
  p[0] = uint8_t(w >> 24), p[1] = uint8_t(w >> 16), p[2] = uint8_t(w >> 8), p[3] = uint8_t(w);
}

// Bit (3 - (2s + d)) of the rule, for 32 pixels at once.
template <int rule>
static inline uint32_t combine(uint32_t s, uint32_t d) {
  uint32_t r = 0;
  if (rule & 8) r |= ~s & ~d;
  if (rule & 4) r |= ~s & d;
  if (rule & 2) r |= s & ~d;
  if (rule & 1) r |= s & d;
  return r;
}

// The destination words a row of the rectangle touches and the masks of its edge words
// (one word: both masks are the combined one).
struct RowSpan {
  int64_t first, last;
  uint32_t firstMask, lastMask;
};

static RowSpan spanOf(int64_t dx, int64_t w) {
  RowSpan s = {dx >> 5, (dx + w - 1) >> 5, 0xFFFFFFFFu >> (dx & 31), 0xFFFFFFFFu << (31 - ((dx + w - 1) & 31))};
  if (s.first == s.last) s.firstMask = s.lastMask = s.firstMask & s.lastMask;
  return s;
}

// The source of a row aligned to the destination words: destination word first + k takes
// the 32 source pixels from bit shift of source word base + k on (a funnel of two words).
// Only the edge words may lie partly outside the row's source words [low, high]; those are
// read as zeros, their pixels being outside the rectangle.
struct CopySource {
  const uint8_t* row;
  int64_t base, low, high;
  int shift;
  uint32_t at(int64_t k) const {
    const uint8_t* p = row + 4 * (base + k);
    return shift == 0 ? loadWord(p) : loadWord(p) << shift | loadWord(p + 4) >> (32 - shift);
  }
  uint32_t atEdge(int64_t k) const {
    int64_t i = base + k;
    uint32_t hi = i >= low ? loadWord(row + 4 * i) : 0;
    if (shift == 0) return hi;
    uint32_t lo = i + 1 <= high ? loadWord(row + 4 * (i + 1)) : 0;
    return hi << shift | lo >> (32 - shift);
  }
};

// A tile row, or the all-ones source: one word for every destination word.
struct WordSource {
  uint32_t word;
  uint32_t at(int64_t) const { return word; }
  uint32_t atEdge(int64_t) const { return word; }
};

// One row: the edge words masked, the inner ones whole; right to left when the row reads
// pixels of its own to the left of those it writes.
template <int rule, class Source>
static void bltRow(uint8_t* row, const RowSpan& span, const Source& source, bool rightToLeft) {
  auto put = [row](int64_t j, uint32_t s, uint32_t mask) {
    uint8_t* p = row + 4 * j;
    uint32_t old = loadWord(p);
    storeWord(p, (combine<rule>(s, old) & mask) | (old & ~mask));
  };
  auto putWhole = [row](int64_t j, uint32_t s) {
    uint8_t* p = row + 4 * j;
    storeWord(p, combine<rule>(s, loadWord(p)));
  };
  int64_t n = span.last - span.first;
  if constexpr (rule == 3 && std::is_same_v<Source, CopySource>) {
    // An aligned copy: the inner words are the same bytes. The edge the row moves away from
    // goes first and the other last, so that within one row no word is read once written.
    if (source.shift == 0 && n > 1) {
      int64_t leading = rightToLeft ? n : 0, trailing = n - leading;
      put(span.first + leading, source.atEdge(leading), leading ? span.lastMask : span.firstMask);
      memmove(row + 4 * (span.first + 1), source.row + 4 * (source.base + 1), size_t(4 * (n - 1)));
      put(span.first + trailing, source.atEdge(trailing), trailing ? span.lastMask : span.firstMask);
      return;
    }
  }
  if (rightToLeft) {
    if (n > 0) put(span.last, source.atEdge(n), span.lastMask);
    for (int64_t k = n - 1; k >= 1; k--) putWhole(span.first + k, source.at(k));
    put(span.first, source.atEdge(0), span.firstMask);
    return;
  }
  put(span.first, source.atEdge(0), span.firstMask);
  for (int64_t k = 1; k < n; k++) putWhole(span.first + k, source.at(k));
  if (n > 0) put(span.last, source.atEdge(n), span.lastMask);
}

template <class Source>
using RowFunction = void (*)(uint8_t*, const RowSpan&, const Source&, bool);

template <class Source, int... rules>
static constexpr RowFunction<Source> rowTable[] = {bltRow<rules, Source>...};
template <class Source>
static const RowFunction<Source>* rowsFor() {
  return rowTable<Source, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15>;
}

static inline uint32_t rotateLeft(uint32_t w, int n) { return n == 0 ? w : w << n | w >> (32 - n); }
static inline int64_t modulo32(int64_t v) { return v & 31; }  // two's complement: the mathematical modulus

// ---- The two routines -----------------------------------------------------------------------

// Rows go bottom to top when the source lies above the destination in the same bitmap, and
// a row right to left when it lies to the left on the same rows.
void sourceBLT(const uint8_t* source, int64_t sourceRaster, uint8_t* destination, int64_t destinationRaster,
               int64_t dx, int64_t dy, int64_t sx, int64_t sy, int64_t w, int64_t h, int rule, int tile) {
  RowSpan span = spanOf(dx, w);
  if (tile) {
    RowFunction<WordSource> f = rowsFor<WordSource>()[rule];
    int shift = int(modulo32(modulo32(sx) - modulo32(dx)));
    for (int64_t r = 0; r < h; r++) {
      uint32_t pattern = loadWord(source + 4 * modulo32(modulo32(sy) + r));
      f(destination + 4 * destinationRaster * (dy + r), span, WordSource{rotateLeft(pattern, shift)}, false);
    }
    return;
  }
  RowFunction<CopySource> f = rowsFor<CopySource>()[rule];
  bool same = source == destination;
  bool upward = same && sy < dy, rightToLeft = same && sy == dy && dx > sx;
  int64_t v = 32 * span.first - dx + sx;  // source pixel under the first word's left edge
  CopySource s = {nullptr, v >> 5, sx >> 5, (sx + w - 1) >> 5, int(v & 31)};
  for (int64_t i = 0; i < h; i++) {
    int64_t r = upward ? h - 1 - i : i;
    s.row = source + 4 * sourceRaster * (sy + r);
    f(destination + 4 * destinationRaster * (dy + r), span, s, rightToLeft);
  }
}

void noSourceBLT(uint8_t* destination, int64_t destinationRaster, int64_t dx, int64_t dy, int64_t w,
                 int64_t h, int rule) {
  if ((rule & 3) == 1) return;  // leave
  RowSpan span = spanOf(dx, w);
  RowFunction<WordSource> f = rowsFor<WordSource>()[rule];
  for (int64_t r = 0; r < h; r++) f(destination + 4 * destinationRaster * (dy + r), span, WordSource{~0u}, false);
}

// ---- Primitives 933 and 934 -----------------------------------------------------------------

// The arguments after the receiver, in order.
enum BltArg { aDestRaster, aDestWidth, aDx, aDy, aSource, aSourceRaster, aSourceWidth, aSx, aSy, aW, aH, aRule, bltArgCount };

static bool isBytes(oop o) { return !isImmediate(o) && !hasPtrs(headerOf(o)); }
static int64_t rowsOf(oop bitmap, int64_t raster) { return int64_t(byteSizeOf(headerOf(bitmap))) / (4 * raster); }

// A bitmap's rectangle: inside its rows and its given width, and the width inside its raster.
static bool fits(oop bitmap, int64_t raster, int64_t width, int64_t x, int64_t y, int64_t w, int64_t h) {
  return raster >= 1 && width >= 1 && x >= 0 && y >= 0 && x + w <= width && (width + 31) / 32 <= raster &&
         y + h <= rowsOf(bitmap, raster);
}

// What the checks, in their order, leave to do.
enum BltVerdict { bltDraw, bltNothing, bltBadArgument, bltImmutable };

static BltVerdict checkBlt(oop dest, const oop* a, int64_t* v, bool tile) {
  if (!isBytes(dest) || (tile && !isBytes(a[aSource]))) return bltBadArgument;
  for (int i = 0; i < bltArgCount; i++) {
    if (i != aSource && !isSmallInteger(a[i])) return bltBadArgument;
    v[i] = i != aSource ? smallIntegerValue(a[i]) : 0;
  }
  if (v[aDestRaster] < 1 || v[aDestWidth] < 1) return bltBadArgument;
  if (v[aW] <= 0 || v[aH] <= 0) return bltNothing;
  if (!fits(dest, v[aDestRaster], v[aDestWidth], v[aDx], v[aDy], v[aW], v[aH])) return bltBadArgument;
  oop source = a[aSource];
  if (tile && (v[aSourceRaster] != 1 || v[aSourceWidth] != 32 || byteSizeOf(headerOf(source)) != 128))
    return bltBadArgument;
  if (!tile && source != nilOop() &&
      (!isBytes(source) || !fits(source, v[aSourceRaster], v[aSourceWidth], v[aSx], v[aSy], v[aW], v[aH])))
    return bltBadArgument;
  if (v[aRule] < 0 || v[aRule] > 15) return bltBadArgument;
  return isImmutable(headerOf(dest)) ? bltImmutable : bltDraw;
}

static uint8_t* bitsOf(oop bitmap) { return reinterpret_cast<uint8_t*>(bodyOf(headerOf(bitmap))); }

static oop blt(oop dest, const oop* a, bool tile) {
  int64_t v[bltArgCount];
  switch (checkBlt(dest, a, v, tile)) {
    case bltNothing: return dest;
    case bltBadArgument: return failPrimitive(primErrorAt(primErrGeneral), bltArgCount);
    case bltImmutable: return failPrimitive(primErrorAt(primErrImmutable), bltArgCount);
    case bltDraw: break;
  }
  int rule = int(v[aRule]);
  bool reads = (0x8421 >> rule & 1) == 0 && (tile || a[aSource] != nilOop());
  if (!reads) noSourceBLT(bitsOf(dest), v[aDestRaster], v[aDx], v[aDy], v[aW], v[aH], rule);
  else sourceBLT(bitsOf(a[aSource]), v[aSourceRaster], bitsOf(dest), v[aDestRaster], v[aDx], v[aDy], v[aSx], v[aSy],
                 v[aW], v[aH], rule, tile);
  return dest;
}

static oop primCopyBits(oop dest, oop a1, oop a2, oop a3, oop a4, oop a5, oop a6, oop a7, oop a8, oop a9,
                        oop a10, oop a11, oop a12) {
  const oop a[bltArgCount] = {a1, a2, a3, a4, a5, a6, a7, a8, a9, a10, a11, a12};
  return blt(dest, a, false);
}

static oop primTileBits(oop dest, oop a1, oop a2, oop a3, oop a4, oop a5, oop a6, oop a7, oop a8, oop a9,
                        oop a10, oop a11, oop a12) {
  const oop a[bltArgCount] = {a1, a2, a3, a4, a5, a6, a7, a8, a9, a10, a11, a12};
  return blt(dest, a, true);
}

void initBitBltPrimitives() {
  addCPrimitive(933, reinterpret_cast<const void*>(primCopyBits), bltArgCount);
  addCPrimitive(934, reinterpret_cast<const void*>(primTileBits), bltArgCount);
}
