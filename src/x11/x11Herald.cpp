// X11 window system: the start-up herald. A window centred on the screen, named by the
// herald text, showing a 4-bit picture read from the loadable file "herald.so" beside the
// program, on a display connection of its own; removed when the image shows its first window
// or says it is ready. Every problem is a line on standard error and no window.
// Owns the herald's connection, window, pixmap, colormap and the picture's properties.
// Prefix: none (pdHeraldScreenGUI, pdTearDownHerald, heraldWindow).
#include <dlfcn.h>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

#include "ext/exOption.h"
#include "plat/unxMain.h"
#include "x11/x11.h"

Window heraldWindow = 0;

static const char heraldFile[] = "herald.so";

static struct {
  Display* display;
  Pixmap pixmap;
  Colormap colormap;  // private, or 0 when the default one is shared
  void* library;
  long width, height, depth, pad, entries, sharePalette;
  const uint16_t* palette;
  const uint8_t* bits;
  const uint8_t* monoBits;
} herald;

// The picture file beside the program (its links resolved), else along PATH, else the name.
static void locatePicture(char* out, size_t capacity) {
  char resolved[4096];
  const char* program = programPath != nullptr ? programPath : "";
  ssize_t n;
  do n = readlink(program, resolved, sizeof resolved - 1);
  while (n < 0 && errno == EAGAIN);
  if (n >= 0) resolved[n] = 0;
  else snprintf(resolved, sizeof resolved, "%s", program);
  const char* slash = strrchr(resolved, '/');
  if (slash != nullptr && (size_t)(slash - resolved) + 1 + sizeof heraldFile <= capacity) {
    memcpy(out, resolved, (size_t)(slash - resolved) + 1);
    strcpy(out + (slash - resolved) + 1, heraldFile);
    if (access(out, F_OK) == 0) return;
  }
  const char* found = findInPath(heraldFile);
  snprintf(out, capacity, "%s", found != nullptr ? found : heraldFile);
}

// The data symbols in order; false (said) at the first one missing.
static bool readPicture(void* library) {
  static const char* const names[] = {"splash_width",   "splash_height",          "splash_depth",
                                      "splash_bitmap_pad", "splash_palette_entries", "splash_share_palette",
                                      "splash_palette", "splash_bits",            "splash_mono_bits"};
  void* found[9];
  for (int i = 0; i < 9; i++) {
    dlerror();
    found[i] = dlsym(library, names[i]);
    if (found[i] == nullptr) {
      const char* why = dlerror();
      fprintf(stderr, "no %s in %s; %s\n", names[i], heraldFile, why != nullptr ? why : "null symbol");
      return false;
    }
  }
  long* const fields[6] = {&herald.width, &herald.height, &herald.depth, &herald.pad, &herald.entries, &herald.sharePalette};
  for (int i = 0; i < 6; i++) *fields[i] = *static_cast<const int32_t*>(found[i]);
  herald.palette = static_cast<const uint16_t*>(found[6]);
  herald.bits = static_cast<const uint8_t*>(found[7]);
  herald.monoBits = static_cast<const uint8_t*>(found[8]);
  if (herald.depth != 4 || herald.entries > 16 || herald.entries < 0 || herald.pad != 32) {
    fprintf(stderr, "bad splash depth %ld ~= 4 or oversize palette %ld > 16 or line pad %ld ~= 32\n", herald.depth,
            herald.entries, herald.pad);
    return false;
  }
  if (herald.width < 1 || herald.height < 1 || herald.width > 4096 || herald.height > 4096) {
    fprintf(stderr, "bad splash size %ld x %ld\n", herald.width, herald.height);
    return false;
  }
  return true;
}

// The pixels of the palette's entries, in the colormap given.
static void allocatePalette(Display* d, Colormap map, unsigned long pixels[16]) {
  for (long i = 0; i < herald.entries; i++) {
    XColor c = {};
    c.red = herald.palette[3 * i], c.green = herald.palette[3 * i + 1], c.blue = herald.palette[3 * i + 2];
    c.flags = DoRed | DoGreen | DoBlue;
    pixels[i] = XAllocColor(d, map, &c) ? c.pixel : BlackPixel(d, DefaultScreen(d));
  }
}

// The picture in the screen's format: each 4-bit pixel through the palette's pixels.
static XImage* convertPicture(Display* d, const unsigned long pixels[16]) {
  int screen = DefaultScreen(d);
  XImage* image = XCreateImage(d, DefaultVisual(d, screen), (unsigned)DefaultDepth(d, screen), ZPixmap, 0, nullptr,
                               (unsigned)herald.width, (unsigned)herald.height, 32, 0);
  if (image == nullptr) {
    fprintf(stderr, "couldn't create splash XImage: %s\n", strerror(errno));
    return nullptr;
  }
  int bpp = image->bits_per_pixel;
  if (bpp > 32 || (bpp != 1 && bpp != 4 && bpp != 8 && bpp != 16 && bpp != 24 && bpp != 32)) {
    fprintf(stderr, "unsupported screen depth for splash screen %ld\n", (long)bpp);
    XDestroyImage(image);
    return nullptr;
  }
  size_t bytes = (size_t)image->bytes_per_line * (size_t)herald.height + 32;
  image->data = static_cast<char*>(calloc(1, bytes));
  if (image->data == nullptr) {
    fprintf(stderr, "couldn't malloc splash bits: %s\n", strerror(errno));
    XDestroyImage(image);
    return nullptr;
  }
  long sourceRow = ((herald.width * 4 + 31) / 32) * 4;
  if (bpp == 1) {
    long monoRow = ((herald.width + 31) / 32) * 4;
    for (long y = 0; y < herald.height; y++)
      memcpy(image->data + y * image->bytes_per_line, herald.monoBits + y * monoRow, (size_t)monoRow);
    image->byte_order = MSBFirst, image->bitmap_bit_order = MSBFirst;
    return image;
  }
  for (long y = 0; y < herald.height; y++)
    for (long x = 0; x < herald.width; x++) {
      uint8_t b = herald.bits[y * sourceRow + x / 2];
      uint8_t v = x % 2 == 0 ? b >> 4 : b & 15;
      XPutPixel(image, (int)x, (int)y, v < herald.entries ? pixels[v] : pixels[0]);
    }
  return image;
}

void pdHeraldScreenGUI(const char* text) {
  if (herald.display != nullptr) return;
  const char* name = getenv("DISPLAY");
  if (name == nullptr) return;
  // The picture file before the connection: without one the server sees no client come and go.
  char path[4096];
  locatePicture(path, sizeof path);
  herald.library = dlopen(path, RTLD_LAZY);
  if (herald.library == nullptr) {
    fprintf(stderr, "couldn't open %s; %s\n", path, dlerror());
    return;
  }
  if ((herald.display = XOpenDisplay(name)) == nullptr) {
    dlclose(herald.library);
    herald.library = nullptr;
    return;
  }
  Display* d = herald.display;
  bool shown = false;
  XImage* image = nullptr;
  if (readPicture(herald.library)) {
    int screen = DefaultScreen(d);
    Window root = RootWindow(d, screen);
    Colormap shared = DefaultColormap(d, screen);
    unsigned long pixels[16] = {};
    allocatePalette(d, shared, pixels);
    int visualClass = DefaultVisual(d, screen)->c_class;
    bool dynamic = visualClass == PseudoColor || visualClass == GrayScale || visualClass == DirectColor;
    if (herald.sharePalette == 0 && dynamic && herald.entries > 0) {
      // A copy of the default map, so the picture keeps its colours whatever the image allocates.
      herald.colormap = XCopyColormapAndFree(d, shared);
      allocatePalette(d, herald.colormap, pixels);
    }
    if ((image = convertPicture(d, pixels)) != nullptr) {
      unsigned depth = (unsigned)DefaultDepth(d, screen);
      herald.pixmap = XCreatePixmap(d, root, (unsigned)herald.width, (unsigned)herald.height, depth);
      GC gc = XCreateGC(d, herald.pixmap, 0, nullptr);
      XPutImage(d, herald.pixmap, gc, image, 0, 0, 0, 0, (unsigned)herald.width, (unsigned)herald.height);
      XSync(d, False);
      if (herald.colormap != 0) XInstallColormap(d, herald.colormap);
      int x = (DisplayWidth(d, screen) - (int)herald.width) / 2, y = (DisplayHeight(d, screen) - (int)herald.height) / 2;
      XSetWindowAttributes a = {};
      a.background_pixmap = herald.pixmap;
      a.colormap = herald.colormap;
      unsigned long mask = CWBackPixmap | (herald.colormap != 0 ? CWColormap : 0);
      heraldWindow = XCreateWindow(d, root, x, y, (unsigned)herald.width, (unsigned)herald.height, 0, (int)depth,
                                   InputOutput, DefaultVisual(d, screen), mask, &a);
      XSizeHints hints = {};
      hints.flags = USPosition, hints.x = x, hints.y = y;
      char title[129];
      size_t n = 0;
      while (text != nullptr && text[n] != 0 && text[n] != '\n' && n < 128) n++;
      memcpy(title, text != nullptr ? text : "", n);
      title[n] = 0;
      XSetStandardProperties(d, heraldWindow, title, title, None, nullptr, 0, &hints);
      XMapRaised(d, heraldWindow);
      XSync(d, False);
      XFreeGC(d, gc);
      shown = true;
    }
  }
  if (dlclose(herald.library) != 0) fprintf(stderr, "Could not close splash DLL; %s\n", dlerror());
  herald.library = nullptr;
  if (image != nullptr) XDestroyImage(image);  // frees the converted buffer too
  if (!shown) pdTearDownHerald();
}

void pdTearDownHerald() {
  Display* d = herald.display;
  if (d == nullptr) return;
  if (heraldWindow != 0) XDestroyWindow(d, heraldWindow);
  heraldWindow = 0;
  if (herald.pixmap != 0) XFreePixmap(d, herald.pixmap);
  if (herald.colormap != 0) {
    XUninstallColormap(d, herald.colormap);
    XFreeColormap(d, herald.colormap);
  }
  XFlush(d);
  XCloseDisplay(d);
  herald.display = nullptr, herald.pixmap = 0, herald.colormap = 0;
}
