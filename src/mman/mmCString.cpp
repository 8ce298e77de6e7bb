// Primitive utilities: the platform string encoding and copies between string objects
// and C buffers. Owns the encoding table and platformStringClassX.
// Prefix: none.
#include "mman/mmCString.h"

#include <cstring>
#include <span>

#include "mman/mmAllocate.h"
#include "mman/mmPrimUtil.h"
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

// The reference class (Array, ByteString, ByteArray or TwoByteString) whose basic-access
// methods a class's instances share, or 0. Unsupported: comparing the classes' access
// primitives through method lookup. A class shares them when it is a reference class or
// inherits from one; a pointer class is compared with Array only, others with ByteString,
// ByteArray and TwoByteString in that order.
uint32_t basicAccessClass(uint32_t classIndex, int withAtPut) {
  (void)withAtPut;
  static const uint32_t pointers[] = {classIndexArray};
  static const uint32_t bytes[] = {classIndexByteString, classIndexByteArray, classIndexTwoByteString};
  if (classIndex == classIndexArray) return classIndex;
  for (uint32_t b : bytes)
    if (classIndex == b) return b;
  oop cls = classAt(classIndex);
  if (!isHeapObject(cls)) return 0;
  bool ptrs = (classFormatOf(cls) & formatPointers) != 0;
  for (uint32_t b : ptrs ? std::span<const uint32_t>(pointers) : std::span<const uint32_t>(bytes))
    if (isHeapObject(classAt(b)) && inheritsFrom1(cls, classAt(b))) return b;
  return 0;
}

static uint32_t byteAccessClassOf(uint32_t classIndex) {
  uint32_t c = basicAccessClass(classIndex, 0);
  return c == classIndexArray ? 0 : c;
}

// The string's length in characters, or -1 for an object that is no string of the
// classes copied here (the platform string, ByteString, ByteArray, TwoByteString and the
// classes accessed like them). *classIndex receives the class copied as.
static int64_t stringLength(oop string, uint32_t* classIndex) {
  if (isImmediate(string)) return -1;
  ObjectHeader* h = headerOf(string);
  if (hasPtrs(h)) return -1;
  uint32_t c = classTagOf(h);
  if (c != platformStringClassX) c = byteAccessClassOf(c);
  *classIndex = c;
  uint64_t bytes = byteSizeOf(h);
  if (c == classIndexTwoByteString) return (int64_t)(bytes / 2);
  if (c != 0) return (int64_t)bytes;
  return -1;
}

char* copySubStringToC(oop string, char* buffer, uint64_t n) {
  uint32_t c = 0;
  int64_t length = stringLength(string, &c);
  if (length < 0 || (uint64_t)length < n) return nullptr;
  const uint8_t* body = (const uint8_t*)bodyOf(headerOf(string));
  if (c == platformStringClassX || c == classIndexByteArray) {
    if (n != 0) memcpy(buffer, body, n);  // an empty string may have no body at all
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

int setStringEncoding(oop cls, const uint16_t* codes, uint16_t* copy) {
  if (isImmediate(cls)) return 0;
  uint32_t index = hashOf(headerOf(cls));
  if (index == 0 || classTable[index >> 10] == nullptr || classAt(index) != cls) return 0;
  uint32_t access = byteAccessClassOf(index);
  if (access != classIndexByteArray && access != classIndexByteString) return 0;
  platformStringClassX = index;
  for (int i = 0; i < 256; i++) {
    encoding.charCode[i] = codes[i];
    encoding.byteCode[i] = (uint8_t)i;
    if (copy != nullptr) copy[i] = codes[i];
  }
  for (int i = 0; i < 256; i++)
    for (int j = i + 1; j < 256; j++)
      if (encoding.charCode[i] > encoding.charCode[j]) {
        uint16_t c = encoding.charCode[i];
        uint8_t b = encoding.byteCode[i];
        encoding.charCode[i] = encoding.charCode[j], encoding.byteCode[i] = encoding.byteCode[j];
        encoding.charCode[j] = c, encoding.byteCode[j] = b;
      }
  encoding.ready = true;
  return 1;
}

int isValidPlatformString(oop string) {
  if (isImmediate(string) || hasPtrs(headerOf(string))) return 0;
  ObjectHeader* h = headerOf(string);
  bool fixed = sizeFieldOf(h) == sizeFieldFixed;
  if (classTagOf(h) == platformStringClassX && fixed) return 1;
  uint32_t access = byteAccessClassOf(classTagOf(h));
  if (access != classIndexByteString && access != classIndexTwoByteString) return 0;
  const uint8_t* body = (const uint8_t*)bodyOf(h);
  bool wide = access == classIndexTwoByteString;
  if (!fixed) {
    // C code reads up to a terminating 0 inside the body's last word.
    uint64_t unit = wide ? 2 : 1, at = bodyBytesOf(h);
    bool terminated = false;
    while (!terminated && at >= unit) {
      at -= unit;
      terminated = body[at] == 0 && (!wide || body[at + 1] == 0);
    }
    if (!terminated) return 0;
  }
  uint64_t n = wide ? byteSizeOf(h) / 2 : byteSizeOf(h);
  for (uint64_t i = 0; i < n; i++) {
    uint32_t code = body[i];
    if (wide) memcpy(&code, body + 2 * i, 2), code &= 0xFFFF;
    if (platformByteFor(code) != (int)code) return 0;
  }
  return 1;
}

char* tempCString(oop string) {
  if (isImmediate(string) || hasPtrs(headerOf(string))) return nullptr;
  uint64_t size = byteSizeOf(headerOf(string));
  ObjectHeader* h = allocVSObj(sysOop(sysByteArrayClass), size + 1);
  if (h == nullptr) return nullptr;
  return copyToCString(string, (char*)bodyOf(h), size);
}
