// Test tooling: grabs a rectangle of the X screen on a connection of its own, saves it as a
// PNG for a person to look at, and checks pixels against expected colours.
//   x11shot OUT.png X Y WIDTH HEIGHT [PX PY RRGGBB]...
// Pixel positions are within the rectangle; exit status 1 names every mismatch.
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <zlib.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

static void put32(std::vector<unsigned char>& out, uint32_t v) {
  for (int s = 24; s >= 0; s -= 8) out.push_back((unsigned char)(v >> s));
}

// One chunk: length, type, data, and the CRC over type and data.
static void chunk(std::vector<unsigned char>& png, const char* type, const std::vector<unsigned char>& data) {
  put32(png, (uint32_t)data.size());
  size_t at = png.size();
  png.insert(png.end(), type, type + 4);
  png.insert(png.end(), data.begin(), data.end());
  put32(png, (uint32_t)crc32(0, png.data() + at, (uInt)(png.size() - at)));
}

// 8-bit RGB rows, each with filter byte 0, deflated in one IDAT.
static bool writePng(const char* path, const std::vector<uint32_t>& rgb, int w, int h) {
  std::vector<unsigned char> raw;
  for (int y = 0; y < h; y++) {
    raw.push_back(0);
    for (int x = 0; x < w; x++)
      for (int s = 16; s >= 0; s -= 8) raw.push_back((unsigned char)(rgb[(size_t)y * w + x] >> s));
  }
  uLongf size = compressBound((uLong)raw.size());
  std::vector<unsigned char> packed(size);
  if (compress(packed.data(), &size, raw.data(), (uLong)raw.size()) != Z_OK) return false;
  packed.resize(size);
  std::vector<unsigned char> png = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'}, header;
  put32(header, (uint32_t)w);
  put32(header, (uint32_t)h);
  header.insert(header.end(), {8, 2, 0, 0, 0});
  chunk(png, "IHDR", header);
  chunk(png, "IDAT", packed);
  chunk(png, "IEND", {});
  FILE* f = fopen(path, "wb");
  if (f == nullptr) return false;
  bool ok = fwrite(png.data(), 1, png.size(), f) == png.size();
  return fclose(f) == 0 && ok;
}

static int channel(unsigned long pixel, unsigned long mask) {
  if (mask == 0) return 0;
  int shift = __builtin_ctzl(mask);
  unsigned long max = mask >> shift;
  return (int)(((pixel & mask) >> shift) * 255 / max);
}

int main(int argc, char** argv) {
  if (argc < 6 || (argc - 6) % 3 != 0) {
    fprintf(stderr, "usage: x11shot OUT.png X Y WIDTH HEIGHT [PX PY RRGGBB]...\n");
    return 2;
  }
  Display* d = XOpenDisplay(nullptr);
  if (d == nullptr) return fprintf(stderr, "x11shot: no display\n"), 2;
  int x = atoi(argv[2]), y = atoi(argv[3]), w = atoi(argv[4]), h = atoi(argv[5]);
  XImage* im = XGetImage(d, DefaultRootWindow(d), x, y, (unsigned)w, (unsigned)h, AllPlanes, ZPixmap);
  if (im == nullptr) return fprintf(stderr, "x11shot: cannot read the screen\n"), 2;
  std::vector<uint32_t> rgb((size_t)w * h);
  for (int j = 0; j < h; j++)
    for (int i = 0; i < w; i++) {
      unsigned long p = XGetPixel(im, i, j);
      rgb[(size_t)j * w + i] = (uint32_t)(channel(p, im->red_mask) << 16 | channel(p, im->green_mask) << 8 |
                                          channel(p, im->blue_mask));
    }
  XDestroyImage(im);
  XCloseDisplay(d);
  if (!writePng(argv[1], rgb, w, h)) return fprintf(stderr, "x11shot: cannot write %s\n", argv[1]), 2;
  int bad = 0;
  for (int k = 6; k < argc; k += 3) {
    int px = atoi(argv[k]), py = atoi(argv[k + 1]);
    uint32_t want = (uint32_t)strtoul(argv[k + 2], nullptr, 16);
    uint32_t got = px >= 0 && px < w && py >= 0 && py < h ? rgb[(size_t)py * w + px] : 0xFFFFFFFFu;
    if (got != want) fprintf(stderr, "pixel %d,%d: %06X, expected %06X\n", px, py, got, want), bad = 1;
  }
  return bad;
}
