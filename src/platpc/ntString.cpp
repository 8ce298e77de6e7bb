// Windows layer: the converters between platform strings (bytes of the ANSI code page, or
// UTF-16 bytes in byte-string mode) and the UTF-16 of wide Win32 calls. Owns byteStringMode.
// Prefix: none (wideToPlatformBytes, platformStringToWide, platformStringFromWide, ...).
#include <cstring>

#include "mman/mmAllocate.h"
#include "mman/mmSysOop.h"
#include "platpc/ntMain.h"
#include "mman/mmCString.h"

int byteStringMode;

int64_t wideToPlatformBytes(char* dst, const wchar_t* src, int64_t srcBytes, int64_t dstBytes) {
  if (byteStringMode) {
    int64_t n = srcBytes < dstBytes ? srcBytes : dstBytes;
    memcpy(dst, src, size_t(n));
    return n;
  }
  return WideCharToMultiByte(CP_ACP, 0, src, int(srcBytes / 2), dst, int(dstBytes), nullptr, nullptr);
}

int64_t wideToPlatformBytesSize(const wchar_t* src, int64_t srcBytes) {
  if (byteStringMode) return srcBytes;
  return WideCharToMultiByte(CP_ACP, 0, src, int(srcBytes / 2), nullptr, 0, nullptr, nullptr);
}

int64_t platformBytesToWide(wchar_t* dst, const char* src, int64_t srcBytes, int64_t dstUnits) {
  if (byteStringMode) {
    int64_t n = srcBytes < 2 * dstUnits ? srcBytes : 2 * dstUnits;
    memcpy(dst, src, size_t(n));
    return n;
  }
  return 2 * int64_t(MultiByteToWideChar(CP_ACP, 0, src, int(srcBytes), dst, int(dstUnits)));
}

int64_t platformBytesToWideSize(const char* src, int64_t srcBytes) {
  if (byteStringMode) return srcBytes;
  return 2 * int64_t(MultiByteToWideChar(CP_ACP, 0, src, int(srcBytes), nullptr, 0));
}

// The byte count of a platform string object, -1 for any other object.
static int64_t platformStringBytes(oop object) {
  if (isImmediate(object) || classTagOf(headerOf(object)) != platformStringClassX) return -1;
  return int64_t(byteSizeOf(headerOf(object)));
}

// The units converted always leave room for the terminating zero: a string of 2 x capacity
// bytes in byte-string mode would otherwise fill the whole buffer and put the zero past it.
wchar_t* platformStringToWide(oop object, wchar_t* buffer, int64_t capacityUnits) {
  int64_t size = platformStringBytes(object);
  if (size < 0 || capacityUnits < 1 || size >= 2 * capacityUnits) return nullptr;
  const char* bytes = reinterpret_cast<const char*>(bodyOf(headerOf(object)));
  int64_t written = size == 0 ? 0 : platformBytesToWide(buffer, bytes, size, capacityUnits - 1);
  if (written == 0 && size != 0) return nullptr;
  buffer[written / 2] = 0;
  return buffer;
}

oop platformStringToWideObject(oop object) {
  int64_t size = platformStringBytes(object);
  if (size < 0) return 0;
  const char* bytes = reinterpret_cast<const char*>(bodyOf(headerOf(object)));
  int64_t wideBytes = size == 0 ? 0 : platformBytesToWideSize(bytes, size);
  ObjectHeader* h = allocVSObj(classAt(platformStringClassX), uint64_t(wideBytes + 2));
  if (h == nullptr) return 0;
  // Allocation moves nothing (a failure only posts the scavenge), so object is still good.
  if (platformStringToWide(object, reinterpret_cast<wchar_t*>(bodyOf(h)), wideBytes / 2 + 1) == nullptr) return 0;
  return oopOf(h);
}

oop platformStringFromWide(const wchar_t* units, int64_t count) {
  if (units == nullptr) return 0;
  int64_t bytes = count == 0 ? 0 : wideToPlatformBytesSize(units, 2 * count);
  ObjectHeader* h = allocVSObj(classAt(platformStringClassX), uint64_t(bytes));
  if (h == nullptr) return 0;
  if (bytes != 0) wideToPlatformBytes(reinterpret_cast<char*>(bodyOf(h)), units, 2 * count, bytes);
  return oopOf(h);
}

bool ansiToWide(const char* text, wchar_t* buffer, int capacityUnits) {
  if (text[0] == 0) {
    buffer[0] = 0;
    return true;
  }
  return MultiByteToWideChar(CP_ACP, 0, text, -1, buffer, capacityUnits) > 0;
}
