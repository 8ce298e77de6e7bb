// Primitives: BitBlt on one-bit bitmaps held in byte objects, 933 (from a source bitmap or
// an all-ones source) and 934 (a 32 x 32 tile). Owns no global record.
// Prefix: none (initBitBltPrimitives, sourceBLT, noSourceBLT).
//
// A bitmap is rows of raster 32-bit big-endian words without gaps: pixel x of a row is bit
// 7 - (x mod 8) of byte x div 8, the leftmost pixel in the most significant bit. Rule r
// (0-15) makes the new destination bit bit (3 - (2s + d)) of r, s and d the source and the
// old destination bits.
#pragma once
#include <cstdint>

void initBitBltPrimitives();

// Applies a source-reading rule to the w x h rectangle at (dx, dy) from the rectangle at
// (sx, sy); with tile set the source is 32 rows of one word and its coordinates wrap modulo
// 32. The rectangle lies inside both bitmaps (the primitives check it); source and
// destination may be the same memory (rows and words then go the way that reads no pixel
// already written).
void sourceBLT(const uint8_t* source, int64_t sourceRaster, uint8_t* destination, int64_t destinationRaster,
               int64_t dx, int64_t dy, int64_t sx, int64_t sy, int64_t w, int64_t h, int rule, int tile);
// Applies rule with an all-ones source: clear, leave, invert or set (rule & 3).
void noSourceBLT(uint8_t* destination, int64_t destinationRaster, int64_t dx, int64_t dy, int64_t w,
                 int64_t h, int rule);
