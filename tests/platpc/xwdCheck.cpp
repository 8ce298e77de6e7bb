// Reads a screen dump written by `xwd -root` (ZPixmap, 24 or 32 bits a pixel) for the
// end-to-end screen checks, and writes the small herald bitmap they show.
//   xwdCheck bmp FILE RRGGBB          a 64 x 32 24-bit bitmap of one colour
//   xwdCheck at DUMP X Y CAPTURE      exit 0 when the 200 x 150 capture (alpha, blue, green,
//                                     red; rows top first) lies at X, Y of the dump
//   xwdCheck count DUMP RRGGBB        prints how many pixels of the dump have that colour
// Exit 2 when a file is unreadable.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

struct Dump {
  uint32_t width = 0, height = 0, byteOrder = 0, bitsPerPixel = 0, bytesPerLine = 0;
  uint32_t masks[3] = {};
  std::vector<uint8_t> bits;
};

uint32_t bigEndian(const uint8_t* p) { return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3]; }

bool readFile(const char* path, std::vector<uint8_t>& out) {
  FILE* f = fopen(path, "rb");
  if (f == nullptr) return false;
  uint8_t block[65536];
  for (size_t n; (n = fread(block, 1, sizeof block, f)) > 0;) out.insert(out.end(), block, block + n);
  fclose(f);
  return true;
}

bool readDump(const char* path, Dump& d) {
  std::vector<uint8_t> file;
  if (!readFile(path, file) || file.size() < 100) return false;
  const uint8_t* h = file.data();
  uint32_t headerSize = bigEndian(h), format = bigEndian(h + 8), colours = bigEndian(h + 76);
  d.width = bigEndian(h + 16), d.height = bigEndian(h + 20), d.byteOrder = bigEndian(h + 28);
  d.bitsPerPixel = bigEndian(h + 44), d.bytesPerLine = bigEndian(h + 48);
  for (int i = 0; i < 3; i++) d.masks[i] = bigEndian(h + 56 + 4 * i);
  if (format != 2 || (d.bitsPerPixel != 24 && d.bitsPerPixel != 32)) return false;
  uint64_t start = uint64_t(headerSize) + uint64_t(colours) * 12;
  if (start + uint64_t(d.bytesPerLine) * d.height > file.size()) return false;
  d.bits.assign(file.begin() + long(start), file.end());
  return true;
}

uint32_t channel(uint32_t pixel, uint32_t mask) {
  if (mask == 0) return 0;
  while ((mask & 1) == 0) mask >>= 1, pixel >>= 1;
  return pixel & mask & 0xFF;
}

uint32_t rgbAt(const Dump& d, uint32_t x, uint32_t y) {
  const uint8_t* p = &d.bits[size_t(y) * d.bytesPerLine + size_t(x) * (d.bitsPerPixel / 8)];
  uint32_t pixel = 0;
  for (uint32_t i = 0, n = d.bitsPerPixel / 8; i < n; i++)
    pixel |= uint32_t(p[d.byteOrder == 0 ? i : n - 1 - i]) << (8 * i);
  return channel(pixel, d.masks[0]) << 16 | channel(pixel, d.masks[1]) << 8 | channel(pixel, d.masks[2]);
}

int writeBitmap(const char* path, uint32_t rgb) {
  const int w = 64, h = 32, row = w * 3, size = 54 + row * h;
  std::vector<uint8_t> b(size_t(size), 0);
  auto put = [&](int at, uint32_t v, int n) {
    for (int i = 0; i < n; i++) b[size_t(at + i)] = uint8_t(v >> (8 * i));
  };
  b[0] = 'B', b[1] = 'M';
  put(2, uint32_t(size), 4), put(10, 54, 4), put(14, 40, 4), put(18, w, 4), put(22, h, 4), put(26, 1, 2), put(28, 24, 2);
  put(34, uint32_t(row * h), 4);
  for (int i = 54; i < size; i += 3) put(i, rgb & 0xFFFFFF, 3);  // blue, green, red
  FILE* f = fopen(path, "wb");
  if (f == nullptr) return 2;
  size_t wrote = fwrite(b.data(), 1, b.size(), f);
  return fclose(f) == 0 && wrote == b.size() ? 0 : 2;
}

int compareAt(const Dump& d, long x, long y, const char* capturePath) {
  const long width = 200, height = 150;
  std::vector<uint8_t> capture;
  if (!readFile(capturePath, capture) || capture.size() != size_t(width * height * 4)) return 2;
  if (x < 0 || y < 0 || x + width > long(d.width) || y + height > long(d.height)) {
    printf("%ld,%ld is not on the %ux%u screen\n", x, y, d.width, d.height);
    return 1;
  }
  int mismatches = 0;
  for (long i = 0; i < width * height; i++) {
    const uint8_t* p = &capture[size_t(i) * 4];
    uint32_t want = uint32_t(p[3]) << 16 | uint32_t(p[2]) << 8 | p[1];
    uint32_t got = rgbAt(d, uint32_t(x + i % width), uint32_t(y + i / width));
    if (got != want && mismatches++ < 10) printf("screen %ld,%ld: %06x, capture %06x\n", x + i % width, y + i / width, got, want);
  }
  printf("%d mismatches at %ld,%ld\n", mismatches, x, y);
  return mismatches == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && strcmp(argv[1], "bmp") == 0) return writeBitmap(argv[2], uint32_t(strtoul(argv[3], nullptr, 16)));
  Dump d;
  if (argc < 3 || !readDump(argv[2], d)) return 2;
  if (argc == 6 && strcmp(argv[1], "at") == 0) return compareAt(d, strtol(argv[3], nullptr, 10), strtol(argv[4], nullptr, 10), argv[5]);
  if (argc == 4 && strcmp(argv[1], "count") == 0) {
    uint32_t want = uint32_t(strtoul(argv[3], nullptr, 16)), n = 0;
    for (uint32_t y = 0; y < d.height; y++)
      for (uint32_t x = 0; x < d.width; x++) n += rgbAt(d, x, y) == want;
    printf("%u\n", n);
    return 0;
  }
  return 2;
}
