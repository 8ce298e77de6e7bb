// X11 window system: the colour cells a display's visual class calls for (a colour cube and a
// gray ramp at exact pixels of a PseudoColor map, shared cells otherwise), and the palette
// answers (primitive 996, the screen read of 1103). Owns no global record.
// Prefix: none (allocateColorCells, getUndecomposedColorPaletteEntries).
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "ext/exError.h"
#include "ext/exPrimTable.h"
#include "mman/mmAllocate.h"
#include "mman/mmRt.h"
#include "mman/mmSysOop.h"
#include "prim/prDouble.h"
#include "x11/x11.h"

#include <X11/Xatom.h>

// Minimum colormap size, red, green and blue levels, grays; the first row that fits is taken.
static const struct CubeSize {
  uint64_t minimum;
  uint16_t red, green, blue, grays;
} cubeSizes[4] = {{189, 5, 7, 5, 14}, {16, 2, 3, 2, 4}, {12, 2, 2, 2, 4}, {0, 0, 0, 0, 0}};

static const CubeSize& cubeSizeFor(uint64_t colormapSize) {
  int i = 0;
  while (cubeSizes[i].minimum > colormapSize) i++;
  return cubeSizes[i];
}

static uint64_t cubeCells(const XStandardColormap& c) {
  return (c.red_max + 1) * (c.green_max + 1) * (c.blue_max + 1);
}

// A channel of cube cell i. A maximum of 0 (a colorCube resource or a standard map may give
// one) is a single level at intensity 0, as is a multiplier of 0: no division by either.
static unsigned short cubeChannel(uint64_t i, unsigned long mult, unsigned long max) {
  if (max == 0 || mult == 0) return 0;
  return (unsigned short)(((i / mult) % (max + 1)) * 65535 / max);
}

static XColor cubeColor(const XStandardColormap& c, uint64_t i) {
  XColor x = {};
  x.pixel = c.base_pixel + i;
  x.red = cubeChannel(i, c.red_mult, c.red_max);
  x.green = cubeChannel(i, c.green_mult, c.green_max);
  x.blue = cubeChannel(i, c.blue_mult, c.blue_max);
  x.flags = DoRed | DoGreen | DoBlue;
  return x;
}

static unsigned short grayLevel(uint64_t k, uint64_t n) {
  return (unsigned short)(uint32_t)(double(k) * (65535.0 / double(n + 1)) + 0.5);
}

static bool allocShared(DisplayResourceNode* node, XColor* color) {
  if (!XAllocColor(node->display, node->colormap, color)) return false;
  markColorCell(node->colorCells, color->pixel);
  return true;
}

static void allocGray(DisplayResourceNode* node, unsigned short level) {
  XColor c = {};
  c.red = c.green = c.blue = level;
  c.flags = DoRed | DoGreen | DoBlue;
  allocShared(node, &c);
}

// ---- Standard colormaps ------------------------------------------------------------------------

// The root's standard colormap of the property for our visual: one on our colormap (any with
// copyFromRGBDefaultMap), else with that resource on PseudoColor one made for a StaticColor
// visual of our size.
static bool findStandardMap(DisplayResourceNode* node, Atom property, XStandardColormap* out) {
  Display* dpy = node->display;
  XStandardColormap* maps = nullptr;
  int count = 0;
  if (!XGetRGBColormaps(dpy, RootWindow(dpy, DefaultScreen(dpy)), &maps, &count, property)) return false;
  int copy = 0;
  getBooleanX11Resource(dpy, "copyFromRGBDefaultMap", "CopyFromRGBDefaultMap", &copy);
  int found = -1;
  for (int i = 0; i < count && found < 0; i++)
    if ((maps[i].visualid == node->visualInfo.visualid || maps[i].visualid == 0) &&
        (maps[i].colormap == node->colormap || copy))
      found = i;
  for (int i = 0; i < count && found < 0 && copy && node->visualInfo.c_class == PseudoColor; i++) {
    XVisualInfo want = {}, *v;
    int n = 0;
    want.visualid = maps[i].visualid;
    if ((v = XGetVisualInfo(dpy, VisualIDMask, &want, &n)) == nullptr) continue;
    if (v[0].c_class == StaticColor && v[0].colormap_size == node->visualInfo.colormap_size) found = i;
    XFree(v);
  }
  if (found >= 0) *out = maps[found];
  XFree(maps);
  return found >= 0;
}

static void markCube(DisplayResourceNode* node, const XStandardColormap& c) {
  for (unsigned long r = 0; r <= c.red_max; r++)
    for (unsigned long g = 0; g <= c.green_max; g++)
      for (unsigned long b = 0; b <= c.blue_max; b++)
        markColorCell(node->colorCells, c.base_pixel + r * c.red_mult + g * c.green_mult + b * c.blue_mult);
}

// ---- Exact placement -------------------------------------------------------------------------

// The read/write cells taken for the placement, ascending; released marks the ones given up
// again to be taken at their pixel.
struct HeldCells {
  unsigned long* pixels;
  uint8_t* released;
  uint64_t count;
};

static void freeHeld(DisplayResourceNode* node, HeldCells* held) {
  for (uint64_t i = 0; i < held->count; i++)
    if (!held->released[i]) XFreeColors(node->display, node->colormap, &held->pixels[i], 1, 0);
  held->count = 0;
}

// The longest run of consecutive pixels among the held cells in [low, high): its first index.
static uint64_t longestRun(const HeldCells* held, unsigned long low, unsigned long high, uint64_t* length) {
  uint64_t best = 0, bestLength = 0, start = 0, run = 0;
  for (uint64_t i = 0; i < held->count; i++) {
    unsigned long p = held->pixels[i];
    if (p < low || p >= high) { run = 0; continue; }
    if (run > 0 && p == held->pixels[i - 1] + 1) run++;
    else start = i, run = 1;
    if (run > bestLength) best = start, bestLength = run;
  }
  *length = bestLength;
  return best;
}

static bool heldStretch(const HeldCells* held, unsigned long first, uint64_t n) {
  uint64_t i = 0;
  while (i < held->count && held->pixels[i] < first) i++;
  for (uint64_t k = 0; k < n; k++)
    if (i + k >= held->count || held->pixels[i + k] != first + k) return false;
  return true;
}

// Where the cube and then the grays go among the held cells; false when they do not fit.
static bool placeCubeAndGrays(const HeldCells* held, XStandardColormap* cube, unsigned long* grayStart,
                              uint64_t grays) {
  uint64_t cells = cubeCells(*cube), length;
  if (!heldStretch(held, cube->base_pixel, cells)) {
    uint64_t at = longestRun(held, 0, ~0ul, &length);
    if (length < cells) return false;
    cube->base_pixel = held->pixels[at + length - cells];
  }
  if (grays == 0) return true;
  unsigned long cubeEnd = cube->base_pixel + cells;
  bool overlaps = *grayStart < cubeEnd && *grayStart + grays > cube->base_pixel;
  if (!overlaps && heldStretch(held, *grayStart, grays)) return true;
  uint64_t at = longestRun(held, 0, cube->base_pixel, &length);
  if (length < grays) at = longestRun(held, cubeEnd, ~0ul, &length);
  if (length < grays) return false;
  *grayStart = held->pixels[at + length - grays];
  return true;
}

// The colour at exactly its pixel: the held cell there is let go and taken again shared, or,
// when Xlib answers another pixel, as a private cell that is given the colour.
static bool allocAtPixel(DisplayResourceNode* node, HeldCells* held, XColor color) {
  Display* dpy = node->display;
  unsigned long want = color.pixel;
  unsigned long* slot = std::lower_bound(held->pixels, held->pixels + held->count, want);
  if (slot == held->pixels + held->count || *slot != want || held->released[slot - held->pixels]) return false;
  XFreeColors(dpy, node->colormap, slot, 1, 0);
  held->released[slot - held->pixels] = 1;
  if (XAllocColor(dpy, node->colormap, &color) && color.pixel == want) return markColorCell(node->colorCells, want), true;
  if (color.pixel != want) XFreeColors(dpy, node->colormap, &color.pixel, 1, 0);
  unsigned long cell;
  if (!XAllocColorCells(dpy, node->colormap, False, nullptr, 0, &cell, 1)) return false;
  if (cell != want) {
    XFreeColors(dpy, node->colormap, &cell, 1, 0);
    return false;
  }
  color.pixel = want;
  color.flags = DoRed | DoGreen | DoBlue;
  XStoreColor(dpy, node->colormap, &color);
  markColorCell(node->colorCells, want);
  return true;
}

static bool takeHeldCells(DisplayResourceNode* node, HeldCells* held) {
  uint64_t size = (uint64_t)node->visualInfo.colormap_size;
  held->pixels = (unsigned long*)malloc(sizeof(unsigned long) * (size > 0 ? size : 1));
  held->released = (uint8_t*)calloc(size > 0 ? size : 1, 1);
  held->count = 0;
  if (held->pixels == nullptr || held->released == nullptr) return false;
  for (uint64_t n = size; n >= 1; n--)
    if (XAllocColorCells(node->display, node->colormap, False, nullptr, 0, held->pixels, (unsigned)n)) {
      held->count = n;
      std::sort(held->pixels, held->pixels + n);
      return true;
    }
  return false;
}

static bool placeExactly(DisplayResourceNode* node, HeldCells* held, XStandardColormap* cube,
                         unsigned long* grayStart, const unsigned short* ramp, uint64_t grays) {
  if (!takeHeldCells(node, held)) return false;
  if (grays + cubeCells(*cube) > held->count || !placeCubeAndGrays(held, cube, grayStart, grays)) return false;
  for (uint64_t i = 0; i < cubeCells(*cube); i++)
    if (!allocAtPixel(node, held, cubeColor(*cube, i))) return false;
  for (uint64_t k = 0; k < grays; k++) {
    XColor g = {};
    g.pixel = *grayStart + k;
    g.red = g.green = g.blue = ramp[k];
    if (!allocAtPixel(node, held, g)) return false;
  }
  return true;
}

// The cube and the ramp at their pixels; failing that, shared cells wherever Xlib puts them.
static void allocateCube(DisplayResourceNode* node, XStandardColormap cube, unsigned long grayStart,
                         const unsigned short* ramp, uint64_t grays) {
  HeldCells held = {nullptr, nullptr, 0};
  bool placed = placeExactly(node, &held, &cube, &grayStart, ramp, grays);
  if (!placed && held.pixels != nullptr)
    memset(node->colorCells, 0, ((uint64_t)node->visualInfo.colormap_size + 7) / 8);
  freeHeld(node, &held);
  free(held.pixels);
  free(held.released);
  if (placed) return;
  for (uint64_t k = 0; k < grays; k++) allocGray(node, ramp[k]);
  for (uint64_t i = 0; i < cubeCells(cube); i++) {
    XColor c = cubeColor(cube, i);
    allocShared(node, &c);
  }
}

// ---- By visual class -------------------------------------------------------------------------

static void blackAndWhite(DisplayResourceNode* node) {
  Display* dpy = node->display;
  if (node->colormap != DefaultColormap(dpy, DefaultScreen(dpy))) return;
  markColorCell(node->colorCells, BlackPixel(dpy, DefaultScreen(dpy)));
  markColorCell(node->colorCells, WhitePixel(dpy, DefaultScreen(dpy)));
}

static void staticCells(DisplayResourceNode* node) {
  XStandardColormap map;
  if (findStandardMap(node, XA_RGB_DEFAULT_MAP, &map) && map.colormap == node->colormap) markCube(node, map);
  for (long p = 0; p < node->visualInfo.colormap_size; p++) {
    XColor c = {};
    c.pixel = (unsigned long)p;
    XQueryColor(node->display, node->colormap, &c);
    allocShared(node, &c);
  }
  blackAndWhite(node);
}

static void grayScaleCells(DisplayResourceNode* node) {
  long size = node->visualInfo.colormap_size;
  double step = size > 1 ? 65535.0 / double(size - 1) : 0;
  XStandardColormap map;
  if (findStandardMap(node, XA_RGB_GRAY_MAP, &map)) {
    for (unsigned long i = 0; i <= map.red_max; i++)
      if (i * map.red_mult + map.base_pixel < (unsigned long)size) allocGray(node, (unsigned short)(double(i) * step + 0.5));
    return;
  }
  for (long i = 0; i < size; i++) allocGray(node, (unsigned short)(double(i) * step));
}

static void directColorCells(DisplayResourceNode* node) {
  unsigned long masks[3] = {node->visualInfo.red_mask, node->visualInfo.green_mask, node->visualInfo.blue_mask};
  static const char flags[3] = {DoRed, DoGreen, DoBlue};
  for (int ch = 0; ch < 3; ch++) {
    unsigned long m = masks[ch];
    while (m != 0 && !(m & 1)) m >>= 1;
    if (m > 65535) REPORT_ERROR("Colormap stimulus mask is invalid (out of range).", errCausePlatform | errFatal);
    for (unsigned long i = 0; i < m; i++) {
      XColor c = {};
      unsigned short v = (unsigned short)(double(i) * (65535.0 / double(m)) + 0.5);
      c.red = c.green = c.blue = v;
      c.flags = flags[ch];
      XAllocColor(node->display, node->colormap, &c);
    }
  }
}

// The "colorCube" resource: "red_max, red_mult, green_max, green_mult, blue_max, blue_mult,
// base; gray start, gray count", taken when it fits the colormap.
static bool cubeFromResource(DisplayResourceNode* node, XStandardColormap* cube, unsigned long* grayStart,
                             unsigned long* grays) {
  XrmRepresentation type;
  XrmValue v;
  if (!getX11Resource(node->display, "colorCube", "ColorCube", &type, &v) || type != x11StringQuark || v.addr == nullptr)
    return false;
  unsigned long f[9];
  if (sscanf(v.addr, "%lu, %lu, %lu, %lu, %lu, %lu, %lu; %lu, %lu", &f[0], &f[1], &f[2], &f[3], &f[4], &f[5], &f[6],
             &f[7], &f[8]) != 9)
    return false;
  unsigned long size = (unsigned long)node->visualInfo.colormap_size;
  if (f[0] * f[1] + f[2] * f[3] + f[4] * f[5] >= size || f[7] + f[8] >= size) return false;
  *cube = XStandardColormap{node->colormap, f[0], f[1], f[2], f[3], f[4], f[5], f[6], node->visualInfo.visualid, 0};
  *grayStart = f[7], *grays = f[8];
  return true;
}

static void gridCube(const CubeSize& row, unsigned long size, XStandardColormap* cube, unsigned long* grayStart) {
  unsigned long cells = (unsigned long)row.red * row.green * row.blue;
  cube->red_max = row.red - 1u, cube->red_mult = (unsigned long)row.green * row.blue;
  cube->green_max = row.green - 1u, cube->green_mult = row.blue;
  cube->blue_max = row.blue - 1u, cube->blue_mult = 1;
  cube->base_pixel = size - cells;
  *grayStart = cube->base_pixel - row.grays;
}

static bool isGrayPixel(Display* dpy, Colormap cmap, unsigned long p, unsigned short* level) {
  XColor c = {};
  c.pixel = p;
  XQueryColor(dpy, cmap, &c);
  *level = c.red;
  return c.red == c.green && c.green == c.blue && c.red != 0 && c.red != 65535;
}

// The longest run of gray pixels in [low, high) of the map's colormap (ties to the later one).
static void grayRun(Display* dpy, Colormap cmap, unsigned long low, unsigned long high, unsigned long* start,
                    unsigned long* length) {
  *start = low, *length = 0;
  unsigned long runStart = low, run = 0;
  unsigned short level;
  for (unsigned long p = low; p < high; p++) {
    if (isGrayPixel(dpy, cmap, p, &level)) {
      if (run++ == 0) runStart = p;
      if (run >= *length) *start = runStart, *length = run;
    } else {
      run = 0;
    }
  }
}

// A default standard map exists: its cube, and the grays found beside it.
static uint64_t cubeFromStandardMap(DisplayResourceNode* node, XStandardColormap map) {
  Display* dpy = node->display;
  unsigned long size = (unsigned long)node->visualInfo.colormap_size;
  unsigned long lowStart, lowLength, highStart, highLength;
  grayRun(dpy, map.colormap, 0, map.base_pixel, &lowStart, &lowLength);
  grayRun(dpy, map.colormap, map.base_pixel + cubeCells(map), size, &highStart, &highLength);
  unsigned long start = highLength > lowLength ? highStart : lowStart;
  unsigned long length = highLength > lowLength ? highLength : lowLength;
  if (length == 1) length = 0;
  unsigned short ramp[256];
  if (length > 256) length = 256;
  for (unsigned long k = 0; k < length; k++) isGrayPixel(dpy, map.colormap, start + k, &ramp[k]);
  if (map.colormap == node->colormap) {
    markCube(node, map);
    for (unsigned long k = 0; k < length; k++) allocGray(node, ramp[k]);
    return length;
  }
  map.colormap = node->colormap, map.visualid = node->visualInfo.visualid, map.killid = 0;
  allocateCube(node, map, start, ramp, length);
  return length;
}

static void pseudoColorCells(DisplayResourceNode* node) {
  unsigned long size = (unsigned long)node->visualInfo.colormap_size, grayStart = 0, grays = 0;
  XStandardColormap cube = {}, map;
  unsigned short ramp[256];
  const CubeSize& row = cubeSizeFor(size);
  if (cubeFromResource(node, &cube, &grayStart, &grays)) {
    if (grays > 256) grays = 256;
    for (unsigned long k = 0; k < grays; k++) ramp[k] = grayLevel(k + 1, grays);
    allocateCube(node, cube, grayStart, ramp, grays);
  } else if (!findStandardMap(node, XA_RGB_DEFAULT_MAP, &map)) {
    if (row.minimum != 0) {
      cube.colormap = node->colormap, cube.visualid = node->visualInfo.visualid;
      gridCube(row, size, &cube, &grayStart);
      for (unsigned long k = 0; k < row.grays; k++) ramp[k] = grayLevel(k + 1, row.grays);
      allocateCube(node, cube, grayStart, ramp, row.grays);
    }
  } else {
    uint64_t found = cubeFromStandardMap(node, map);
    uint64_t extra = (uint64_t)(0.75 * row.grays);
    if (double(extra) > double(found))
      for (uint64_t k = 0; k < extra; k++) allocGray(node, grayLevel(k + 1, extra));
  }
  blackAndWhite(node);
}

void allocateColorCells(DisplayResourceNode* node) {
  int c = node->visualInfo.c_class;
  if (node->visualInfo.colormap_size < 0) REPORT_ERROR("Colormap size is invalid (negative).", errCausePlatform | errFatal);
  if (c == TrueColor) return;
  if (c == DirectColor) return directColorCells(node);
  node->colorCells = (uint8_t*)calloc(((uint64_t)node->visualInfo.colormap_size + 7) / 8, 1);
  if (node->colorCells == nullptr) REPORT_ERROR("Unable to allocate space for colorcell status table.", errCausePlatform | errFatal);
  if (c == StaticGray || c == StaticColor) staticCells(node);
  else if (c == GrayScale) grayScaleCells(node);
  else pseudoColorCells(node);
}

// ---- Palettes --------------------------------------------------------------------------------

oop newX11Array(uint64_t slots) {
  ObjectHeader* h = allocVSObj(sysOop(sysArrayClass), slots);
  return h != nullptr ? oopOf(h) : 0;
}

void x11ArrayPut(oop array, uint64_t index, oop value) {
  bodyOf(headerOf(array))[index] = value;
  STORE_CHECK(headerOf(array), value);
}

// One colour as three Doubles in 0..1; servers that keep 8 bits a channel answer 0xFF00 for
// white, and their channels are their high bytes.
static oop paletteEntry(const XColor& c, bool highBytes) {
  oop rgb = newX11Array(3);
  if (rgb == 0) return 0;
  const unsigned short channels[3] = {c.red, c.green, c.blue};
  for (int k = 0; k < 3; k++) {
    double v = highBytes ? double(channels[k] >> 8) / 255.0 : double(channels[k]) / 65535.0;
    oop d = newDoubleBox(v);
    if (d == 0) return 0;
    x11ArrayPut(rgb, (uint64_t)k, d);
  }
  return rgb;
}

static bool whiteIsHighBytes(Display* dpy, Colormap cmap) {
  XColor w = {};
  w.pixel = WhitePixel(dpy, DefaultScreen(dpy));
  XQueryColor(dpy, cmap, &w);
  return w.red == 0xFF00 && w.green == 0xFF00 && w.blue == 0xFF00;
}

// {0, entries}: nil for a pixel the bitmap (when given) does not hold, else its colour.
oop getUndecomposedColorPaletteEntries(Display* display, Colormap colormap, uint64_t size, const uint8_t* bitmap) {
  oop entries = newX11Array(size);
  if (entries == 0) return 0;
  bool highBytes = whiteIsHighBytes(display, colormap);
  XColor batch[256];
  for (uint64_t first = 0; first < size; first += 256) {
    int n = (int)std::min<uint64_t>(256, size - first);
    for (int k = 0; k < n; k++) batch[k].pixel = first + (uint64_t)k;
    XQueryColors(display, colormap, batch, n);
    for (int k = 0; k < n; k++) {
      uint64_t p = first + (uint64_t)k;
      if (bitmap != nullptr && !((bitmap[p >> 3] >> (p & 7)) & 1)) continue;
      oop e = paletteEntry(batch[k], highBytes);
      if (e == 0) return 0;
      x11ArrayPut(entries, p, e);
    }
  }
  oop answer = newX11Array(2);
  if (answer == 0) return 0;
  x11ArrayPut(answer, 0, smallIntegerFor(0));
  x11ArrayPut(answer, 1, entries);
  return answer;
}

static int trailingZeros(unsigned long mask) { return mask == 0 ? 0 : __builtin_ctzl(mask); }

// Primitive 996: {1, {shifts and maxima}} for TrueColor and DirectColor, else the entries.
static oop primColorPalette(oop receiver) {
  DisplayResourceNode* node = nodeOfReceiver(receiver);
  if (node == nullptr) return x11Fail(primErrGeneral, 0);
  const XVisualInfo& v = node->visualInfo;
  oop answer;
  if (v.c_class == TrueColor || v.c_class == DirectColor) {
    oop shifts = newX11Array(6), pair = shifts != 0 ? newX11Array(2) : 0;
    if (pair == 0) return x11Fail(primErrGeneral, 0);
    const unsigned long masks[3] = {v.red_mask, v.green_mask, v.blue_mask};
    for (int k = 0; k < 3; k++) {
      int s = trailingZeros(masks[k]);
      x11ArrayPut(shifts, 2 * (uint64_t)k, smallIntegerFor(s));
      x11ArrayPut(shifts, 2 * (uint64_t)k + 1, smallIntegerFor((int64_t)(masks[k] >> s)));
    }
    x11ArrayPut(pair, 0, smallIntegerFor(1));
    x11ArrayPut(pair, 1, shifts);
    answer = pair;
  } else {
    answer = getUndecomposedColorPaletteEntries(node->display, node->colormap, (uint64_t)v.colormap_size, node->colorCells);
  }
  return answer != 0 ? answer : x11Fail(primErrGeneral, 0);
}

void initColorPalettePrimitive() { addCPrimitive(996, reinterpret_cast<const void*>(primColorPalette), 0); }
