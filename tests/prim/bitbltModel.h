// The per-pixel reference of BitBlt, for the tests and the benchmark: pixel x of row y is bit
// 7 - x % 8 of byte 4 * raster * y + x / 8, and the new destination bit is bit 3 - (2s + d) of
// the rule. The source is read whole before anything is written, which is what a move within
// one bitmap must look like.
#pragma once
#include <cstdint>
#include <vector>

inline int modelPixel(const uint8_t* bits, int64_t raster, int64_t x, int64_t y) {
  return bits[4 * raster * y + x / 8] >> (7 - x % 8) & 1;
}

inline int64_t modelWrap32(int64_t v) { return (v % 32 + 32) % 32; }

// source null: all ones; tile: the source is 32 rows of one word and its coordinates wrap.
inline void modelBlt(uint8_t* dest, int64_t destRaster, const uint8_t* source, int64_t sourceRaster,
                     int64_t sourceBytes, int64_t dx, int64_t dy, int64_t sx, int64_t sy, int64_t w, int64_t h,
                     int rule, bool tile) {
  std::vector<uint8_t> s(source, source == nullptr ? source : source + sourceBytes);
  for (int64_t j = 0; j < h; j++)
    for (int64_t i = 0; i < w; i++) {
      int64_t x = tile ? modelWrap32(sx + i) : sx + i, y = tile ? modelWrap32(sy + j) : sy + j;
      int sBit = source == nullptr ? 1 : modelPixel(s.data(), sourceRaster, x, y);
      int dBit = modelPixel(dest, destRaster, dx + i, dy + j);
      uint8_t& byte = dest[4 * destRaster * (dy + j) + (dx + i) / 8];
      int bit = 7 - int((dx + i) % 8);
      byte = uint8_t((byte & ~(1 << bit)) | ((rule >> (3 - (2 * sBit + dBit)) & 1) << bit));
    }
}
