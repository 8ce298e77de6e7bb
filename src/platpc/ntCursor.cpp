// Windows layer: cursors. 904 lays a one-bit image and its mask out at the system cursor
// size and registers the cursor made of them; 707 shows a registered cursor, or the system
// cursor of the cursor's name when the image asked for those (744); 708 destroys one.
// 993 and 998 put an image object on a drawable through a graphics context.
// Owns currentVMCursor, useSystemCursors and systemCursorSize.
// Prefix: none (initCursorPrimitives).
#include "platpc/ntCursor.h"

#include <cstdint>
#include <cstring>
#include <utility>

#include "ext/exPrimTable.h"
#include "mman/mmPrimUtil.h"
#include "mman/mmSysOop.h"
#include "platpc/ntCanvas.h"
#include "platpc/ntChannel.h"
#include "platpc/ntFile.h"
#include "platpc/ntGraphics.h"
#include "platpc/ntMain.h"

HCURSOR currentVMCursor;
int useSystemCursors;
SIZE systemCursorSize;

enum : int { maxCursorNameBytes = 127 };

struct SystemCursorName {
  const char* name;
  LPCSTR cursor;  // an IDC_ resource number
};
static const SystemCursorName systemCursors[] = {
    {"origin", IDC_SIZENWSE},      {"corner", IDC_SIZENWSE}, {"topRight", IDC_SIZENESW}, {"bottomLeft", IDC_SIZENESW},
    {"crossHair", IDC_CROSS},      {"no drop", IDC_NO},      {"absoluteVertical", IDC_SIZENS},
    {"up", IDC_UPARROW},           {"iBeam", IDC_IBEAM},     {"help", IDC_HELP},
    {"normal", IDC_ARROW},         {"wait", IDC_WAIT},       {"xeq", IDC_APPSTARTING},
};

static bool isByteObj(oop o) { return isHeapObject(o) && !hasPtrs(headerOf(o)); }

// The bitmap of a pixmap object, or null.
static HBITMAP pixmapBitmap(oop pixmap) {
  const uint8_t* bytes = drawableHandleBytes(pixmap);
  return bytes != nullptr ? drawableBitmapHandle(bytes) : nullptr;
}

// A one-bit bitmap's rows laid into a plane of rows of 32-bit units; bits past the bitmap's
// width keep the plane's fill. False when the bits cannot be read.
static bool layBits(HBITMAP bitmap, const BITMAP& info, uint8_t* plane, int planeRowBytes) {
  int rowBytes = info.bmWidthBytes, used = (info.bmWidth + 7) / 8;
  uint8_t* bits = static_cast<uint8_t*>(malloc(size_t(rowBytes) * size_t(info.bmHeight)));
  if (bits == nullptr) return false;
  bool ok = GetBitmapBits(bitmap, rowBytes * info.bmHeight, bits) == rowBytes * info.bmHeight;
  uint8_t lastMask = uint8_t(0xFF00 >> (info.bmWidth - (used - 1) * 8));  // the last byte's own bits
  for (int y = 0; ok && y < info.bmHeight; y++) {
    uint8_t* to = plane + y * planeRowBytes;
    const uint8_t* from = bits + y * rowBytes;
    memcpy(to, from, size_t(used - 1));
    to[used - 1] = uint8_t((from[used - 1] & lastMask) | (to[used - 1] & ~lastMask));
  }
  free(bits);
  return ok;
}

// 904: image pixmap, mask pixmap, hot spot; the last two arguments are not read.
static oop primMakeCursor(oop receiver, oop image, oop mask, oop hotX, oop hotY, oop, oop) {
  oop first = isHeapObject(receiver) && hasPtrs(headerOf(receiver)) && bodyWordsOf(headerOf(receiver)) >= 1
                  ? slotOf(receiver, 0)
                  : nilOop();
  if (!isByteObj(first)) return ntFail(primErrGeneral, 6);
  int cx = int(systemCursorSize.cx), cy = int(systemCursorSize.cy);
  HBITMAP imageBitmap = pixmapBitmap(image), maskBitmap = pixmapBitmap(mask);
  BITMAP a, b;
  if (imageBitmap == nullptr || maskBitmap == nullptr || GetObjectW(imageBitmap, sizeof a, &a) != sizeof a ||
      GetObjectW(maskBitmap, sizeof b, &b) != sizeof b || a.bmBitsPixel != 1 || a.bmPlanes != 1 ||
      b.bmBitsPixel != 1 || b.bmPlanes != 1 || a.bmWidth != b.bmWidth || a.bmHeight != b.bmHeight ||
      a.bmWidth < 1 || a.bmHeight < 1 || a.bmWidth > cx || a.bmHeight > cy)
    return ntFail(primErrGeneral, 6);
  if (!isSmallInteger(hotX) || smallIntegerValue(hotX) < 0 || smallIntegerValue(hotX) >= cx)
    return ntFailCarrying(primErrBadArgument, 3, 6);
  if (!isSmallInteger(hotY) || smallIntegerValue(hotY) < 0 || smallIntegerValue(hotY) >= cy)
    return ntFailCarrying(primErrBadArgument, 4, 6);
  int rowBytes = (cx + 31) / 32 * 4;
  size_t planeBytes = size_t(rowBytes) * size_t(cy);
  uint8_t* andPlane = static_cast<uint8_t*>(malloc(planeBytes));
  uint8_t* xorPlane = static_cast<uint8_t*>(calloc(1, planeBytes));
  HCURSOR cursor = nullptr;
  if (andPlane != nullptr && xorPlane != nullptr) {
    memset(andPlane, 0xFF, planeBytes);
    if (layBits(maskBitmap, b, andPlane, rowBytes) && layBits(imageBitmap, a, xorPlane, rowBytes)) {
      // Where the mask lets the screen through, the image must not invert it.
      for (size_t i = 0; i < planeBytes; i++) xorPlane[i] &= uint8_t(~andPlane[i]);
      cursor = CreateCursor(moduleInstance, int(smallIntegerValue(hotX)), int(smallIntegerValue(hotY)), cx, cy,
                            andPlane, xorPlane);
    }
  }
  free(andPlane);
  free(xorPlane);
  if (cursor == nullptr) return ntFail(primErrGeneral, 6);
  uint32_t serial = registerHandle(uint64_t(cursor), handleCursor);
  if (serial == 0) {
    DestroyCursor(cursor);
    return ntFail(primErrNoSpace, 6);
  }
  return smallIntegerFor(serial);
}

// The system cursor of a cursor object's name (slot 5), or null.
static HCURSOR systemCursorNamed(oop cursorObject) {
  if (bodyWordsOf(headerOf(cursorObject)) < 6) return nullptr;
  oop name = slotOf(cursorObject, 5);
  if (!isByteObj(name)) return nullptr;
  uint64_t n = byteSizeOf(headerOf(name));
  if (n > maxCursorNameBytes) return nullptr;
  const char* bytes = reinterpret_cast<const char*>(bodyOf(headerOf(name)));
  for (const SystemCursorName& s : systemCursors)
    if (strlen(s.name) == n && memcmp(s.name, bytes, n) == 0) return LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(s.cursor));
  return nullptr;
}

// The serial in a cursor object's slot 1, or 0 when it is not a SmallInteger serial.
static uint32_t cursorSerial(oop cursorObject) {
  if (!isHeapObject(cursorObject) || !hasPtrs(headerOf(cursorObject)) || bodyWordsOf(headerOf(cursorObject)) < 2)
    return 0;
  oop serial = slotOf(cursorObject, 1);
  if (!isSmallInteger(serial) || smallIntegerValue(serial) <= 0 || smallIntegerValue(serial) > 0x1FFFFFFF) return 0;
  return uint32_t(smallIntegerValue(serial));
}

// The registered cursor of a cursor object's serial; false when it names none.
static bool registeredCursor(oop cursorObject, HCURSOR* cursor) {
  uint32_t serial = cursorSerial(cursorObject);
  *cursor = serial != 0 ? reinterpret_cast<HCURSOR>(handleForSerial(serial, handleCursor)) : nullptr;
  return *cursor != nullptr;
}

// 707: shows the cursor; a serial that names no cursor (a destroyed one) is refused rather
// than hiding the pointer.
static oop primShowCursor(oop receiver) {
  if (cursorSerial(receiver) == 0) return ntFail(primErrGeneral, 0);
  HCURSOR cursor = useSystemCursors ? systemCursorNamed(receiver) : nullptr;
  if (cursor == nullptr && !registeredCursor(receiver, &cursor)) return ntFail(primErrGeneral, 0);
  currentVMCursor = cursor;
  SetCursor(cursor);
  return receiver;
}

// 708: destroys the cursor; the VM windows have none while it was the current one.
static oop primDestroyCursor(oop receiver) {
  HCURSOR cursor;
  if (!registeredCursor(receiver, &cursor)) return ntFail(primErrGeneral, 0);
  unregisterHandle(uint64_t(cursor), handleCursor);
  if (currentVMCursor == cursor) {
    currentVMCursor = nullptr;
    SetCursor(nullptr);
  }
  DestroyCursor(cursor);
  return receiver;
}

// 744.
static oop primUseSystemCursors(oop receiver, oop flag) {
  useSystemCursors = flag == trueOop();
  return receiver;
}

// ---- Image display ----------------------------------------------------------------------------

// An image object as 993 and 998 read it: pixel bytes in top-down rows padded to 32 bits,
// width, height, bits per pixel.
struct ImageShape {
  uint8_t* bits;
  int width, height, depth;
  int64_t rowBytes;
};

static bool imageShapeOf(oop image, ImageShape* out) {
  if (!isHeapObject(image) || !hasPtrs(headerOf(image)) || bodyWordsOf(headerOf(image)) < 5) return false;
  oop bits = slotOf(image, 0);
  if (!isByteObj(bits)) return false;
  for (uint64_t i = 1; i <= 4; i++)
    if (!isSmallInteger(slotOf(image, i))) return false;
  int64_t w = smallIntegerValue(slotOf(image, 1)), h = smallIntegerValue(slotOf(image, 2)),
          d = smallIntegerValue(slotOf(image, 4));
  // The depths a device-independent bitmap can hold.
  if (w < 0 || h < 0 || w > 65535 || h > 65535 || !(d == 1 || d == 4 || d == 8 || d == 16 || d == 24 || d == 32))
    return false;
  int64_t rowBytes = (w * d + 31) / 32 * 4;
  if (uint64_t(rowBytes * h) > byteSizeOf(headerOf(bits))) return false;  // never past the image's bytes
  *out = {reinterpret_cast<uint8_t*>(bodyOf(headerOf(bits))), int(w), int(h), int(d), rowBytes};
  return true;
}

// The image's 16-bit pixels are big-endian words and its 32-bit pixels big-endian colour
// values (0x00BBGGRR), as the pixel reads answer them; a device-independent bitmap holds
// both little-endian and its 32-bit pixels as 0x00RRGGBB. Turned one way for the call and
// back after it.
static void turnPixels(const ImageShape& im, bool toDevice) {
  int64_t total = im.rowBytes * im.height;
  if (im.depth == 16)
    for (int64_t k = 0; k + 1 < total; k += 2) std::swap(im.bits[k], im.bits[k + 1]);
  if (im.depth == 32)
    for (int64_t k = 0; k + 3 < total; k += 4) {
      uint32_t v;
      memcpy(&v, im.bits + k, 4);
      v = toDevice ? (v >> 8) | (v << 24) : (v << 8) | (v >> 24);
      memcpy(im.bits + k, &v, 4);
    }
}

// A device bitmap of the image: one bit deep over its own bits, else screen-compatible,
// filled from a top-down device-independent bitmap (palette indices at 8 bits or fewer).
static HBITMAP deviceBitmapOf(const ImageShape& im) {
  if (im.depth == 1) return CreateBitmap((im.width + 31) / 32 * 32, im.height, 1, 1, im.bits);
  HDC screen = GetDC(nullptr);
  if (screen == nullptr) return nullptr;
  HBITMAP bitmap = CreateCompatibleBitmap(screen, im.width, im.height);
  struct {
    BITMAPINFOHEADER header;
    WORD indices[256];
  } info = {};
  info.header.biSize = sizeof info.header;
  info.header.biWidth = im.width;
  info.header.biHeight = -im.height;
  info.header.biPlanes = 1;
  info.header.biBitCount = WORD(im.depth);
  info.header.biCompression = BI_RGB;
  info.header.biSizeImage = DWORD(im.rowBytes * im.height);
  info.header.biXPelsPerMeter = info.header.biYPelsPerMeter = 1000;
  bool indexed = im.depth <= 8;
  for (int i = 0; i < 256; i++) info.indices[i] = WORD(i);
  HPALETTE oldPalette = indexed && sharedPalette != nullptr ? SelectPalette(screen, sharedPalette, FALSE) : nullptr;
  if (oldPalette != nullptr) RealizePalette(screen);
  turnPixels(im, true);
  int lines = bitmap != nullptr ? SetDIBits(screen, bitmap, 0, UINT(im.height), im.bits,
                                            reinterpret_cast<const BITMAPINFO*>(&info),
                                            indexed ? DIB_PAL_COLORS : DIB_RGB_COLORS)
                                : 0;
  turnPixels(im, false);
  if (oldPalette != nullptr) SelectPalette(screen, oldPalette, FALSE);
  ReleaseDC(nullptr, screen);
  if (lines != im.height && bitmap != nullptr) DeleteObject(bitmap), bitmap = nullptr;
  return bitmap;
}

// 993 and 998: the image copied at the Point (moved by the context's translation).
static oop putImage(oop gc, oop image, oop position, uint32_t positionIndex, uint64_t numArgs) {
  int64_t x, y;
  ImageShape im;
  if (!gcPointOf(position, &x, &y)) return ntFailCarrying(primErrBadArgument, positionIndex, numArgs);
  if (!imageShapeOf(image, &im)) return ntFail(primErrGeneral, numArgs);
  DrawingState s;
  uint32_t code;
  if (!installGraphicsState(gc, &s, 0, &code)) return ntFailCarrying(primErrBadReceiver, code, numArgs);
  x += s.tx, y += s.ty;
  bool ok = x >= INT32_MIN && x <= INT32_MAX && y >= INT32_MIN && y <= INT32_MAX;
  if (ok && im.width > 0 && im.height > 0) {
    HBITMAP bitmap = deviceBitmapOf(im);
    ok = bitmap != nullptr;
    if (ok) {
      HGDIOBJ old = SelectObject(sharedMemoryDC, bitmap);
      // A one-bit image copies its bits as they are: 0 black, 1 white.
      SetTextColor(s.dc, RGB(0, 0, 0)), SetBkColor(s.dc, RGB(255, 255, 255));
      ok = BitBlt(s.dc, int(x), int(y), im.width, im.height, sharedMemoryDC, 0, 0, SRCCOPY) != 0;
      SelectObject(sharedMemoryDC, old);
      DeleteObject(bitmap);
      narrowDamage(&s, x, y, x + im.width, y + im.height, false);
    }
  }
  uninstallGraphicsState(gc, &s);
  return ok ? gc : ntFail(primErrGeneral, numArgs);
}

static oop primPutImage(oop gc, oop image, oop position) { return putImage(gc, image, position, 2, 2); }
// The two integers between the image and the Point are not read.
static oop primPutImageAt(oop gc, oop image, oop, oop, oop position) { return putImage(gc, image, position, 4, 4); }

// WM_SETCURSOR in a VM window's client area: the image's cursor, when it chose one.
static bool setVMCursor(HWND) {
  if (currentVMCursor == nullptr) return false;
  SetCursor(currentVMCursor);
  return true;
}

void initCursorPrimitives() {
  setVMCursorHook = setVMCursor;
  systemCursorSize = {GetSystemMetrics(SM_CXCURSOR), GetSystemMetrics(SM_CYCURSOR)};
  addCPrimitive(904, reinterpret_cast<const void*>(primMakeCursor), 6);
  addCPrimitive(707, reinterpret_cast<const void*>(primShowCursor), 0);
  addCPrimitive(708, reinterpret_cast<const void*>(primDestroyCursor), 0);
  addCPrimitive(744, reinterpret_cast<const void*>(primUseSystemCursors), 1);
  addCPrimitive(993, reinterpret_cast<const void*>(primPutImage), 2);
  addCPrimitive(998, reinterpret_cast<const void*>(primPutImageAt), 4);
}
