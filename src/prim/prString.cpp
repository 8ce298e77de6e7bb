// Primitive utilities: the platform string encoding and copies between string objects
// and C buffers. Owns the encoding table and platformStringClassX.
// Prefix: none.
#include "prim/prString.h"

#include <cstring>

#include "mman/mmAllocate.h"
#include "mman/mmSysOop.h"

uint32_t platformStringClassX = classIndexByteString;

// Character codes sorted ascending and the platform byte of each; the default is the
// identity of the 256 byte codes (ISO 8859-1).
struct StringEncoding {
  uint16_t charCode[256];  // sorted ascending
  uint8_t byteCode[256];   // platform byte of charCode[i]
  bool ready;
};
static StringEncoding encoding;

static void initIdentityEncoding() {
  for (int i = 0; i < 256; i++) encoding.charCode[i] = (uint16_t)i, encoding.byteCode[i] = (uint8_t)i;
  encoding.ready = true;
}

// A full binary search: every entry, the first one included, can be found.
int platformByteFor(uint32_t code) {
  if (!encoding.ready) initIdentityEncoding();
  int low = 0, high = 255;
  while (low <= high) {
    int mid = (low + high) / 2;
    if (encoding.charCode[mid] == code) return encoding.byteCode[mid];
    if (encoding.charCode[mid] < code) low = mid + 1;
    else high = mid - 1;
  }
  return -1;
}

oop STStringWithSize(const char* bytes, uint64_t n) {
  if (bytes == nullptr) return 0;
  ObjectHeader* h = allocVSObj(classAt(platformStringClassX), n);
  if (h == nullptr) return 0;
  memcpy(bodyOf(h), bytes, n);
  return oopOf(h);
}

// The string's length in characters, or -1 for an object that is no string of the
// classes copied here (the platform string, ByteString, ByteArray, TwoByteString).
static int64_t stringLength(oop string, uint32_t* classIndex) {
  if (isImmediate(string)) return -1;
  ObjectHeader* h = headerOf(string);
  if (hasPtrs(h)) return -1;
  uint32_t c = classTagOf(h);
  *classIndex = c;
  uint64_t bytes = byteSizeOf(h);
  if (c == classIndexTwoByteString) return (int64_t)(bytes / 2);
  if (c == platformStringClassX || c == classIndexByteString || c == classIndexByteArray)
    return (int64_t)bytes;
  return -1;
}

char* copySubStringToC(oop string, char* buffer, uint64_t n) {
  uint32_t c = 0;
  int64_t length = stringLength(string, &c);
  if (length < 0 || (uint64_t)length < n) return nullptr;
  const uint8_t* body = (const uint8_t*)bodyOf(headerOf(string));
  if (c == platformStringClassX || c == classIndexByteArray) {
    memcpy(buffer, body, n);
    return buffer;
  }
  for (uint64_t i = 0; i < n; i++) {
    uint32_t code = body[i];
    if (c == classIndexTwoByteString) memcpy(&code, body + 2 * i, 2), code &= 0xFFFF;
    int byte = platformByteFor(code);
    if (byte < 0) return nullptr;
    buffer[i] = (char)byte;
  }
  return buffer;
}

char* copyToCString(oop string, char* buffer, uint64_t capacity) {
  uint32_t c = 0;
  int64_t size = stringLength(string, &c);
  if (size < 0 || (uint64_t)size > capacity) return nullptr;
  buffer[size] = 0;
  return copySubStringToC(string, buffer, (uint64_t)size);
}
