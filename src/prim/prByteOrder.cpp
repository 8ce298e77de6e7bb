// Primitives: buffer byte-order helpers and the scan-character primitives 956 and 972.
// Owns the per-byte lookup tables (built at compile time).
// Prefix: none (reverseBitsInData, swapFourQ2s, swapTwoQ4s, swapTwoQ8s, swapFourQ8s,
// swapThreeQ8s, initScanCharPrimitives).
#include "prim/prByteOrder.h"

#include <array>
#include <cstring>

#include "ext/exPrimTable.h"
#include "mman/mmPrimUtil.h"
#include "mman/mmSysOop.h"

// ---- Buffer helpers ----------------------------------------------------------------------

typedef std::array<uint8_t, 256> ByteTable;
template <typename Rule>
static constexpr ByteTable makeTable(Rule rule) {
  ByteTable t{};
  for (int b = 0; b < 256; b++) t[b] = rule(uint8_t(b));
  return t;
}
static constexpr ByteTable reversedBits = makeTable([](uint8_t b) {
  uint8_t r = 0;
  for (int i = 0; i < 8; i++) r = uint8_t(r | (((b >> i) & 1) << (7 - i)));
  return r;
});
static constexpr ByteTable reversedQ2s = makeTable([](uint8_t b) {
  return uint8_t(((b & 3) << 6) | ((b & 0xC) << 2) | ((b & 0x30) >> 2) | ((b & 0xC0) >> 6));
});
static constexpr ByteTable swappedQ4s = makeTable([](uint8_t b) { return uint8_t((b << 4) | (b >> 4)); });

// Four bytes a step, then the remaining one to three.
static void mapBytes(uint8_t* p, uint64_t n, const ByteTable& t) {
  uint64_t i = 0;
  for (; i + 4 <= n; i += 4) {
    p[i] = t[p[i]];
    p[i + 1] = t[p[i + 1]];
    p[i + 2] = t[p[i + 2]];
    p[i + 3] = t[p[i + 3]];
  }
  for (; i < n; i++) p[i] = t[p[i]];
}
void reverseBitsInData(uint8_t* p, uint64_t n) { mapBytes(p, n, reversedBits); }
void swapFourQ2s(uint8_t* p, uint64_t n) { mapBytes(p, n, reversedQ2s); }
void swapTwoQ4s(uint8_t* p, uint64_t n) { mapBytes(p, n, swappedQ4s); }

static inline void exchange(uint8_t* a, uint8_t* b) {
  uint8_t t = *a;
  *a = *b;
  *b = t;
}
void swapTwoQ8s(uint8_t* p, uint64_t n) {
  for (uint64_t i = 0; i + 2 <= n; i += 2) exchange(p + i, p + i + 1);
}
void swapFourQ8s(uint8_t* p, uint64_t n) {
  for (uint64_t i = 0; i + 4 <= n; i += 4) {
    uint32_t u;
    memcpy(&u, p + i, 4);
    u = __builtin_bswap32(u);
    memcpy(p + i, &u, 4);
  }
}
void swapThreeQ8s(uint8_t* p, uint64_t rowBytes, uint64_t rows) {
  for (uint64_t r = 0; r < rows; r++, p += rowBytes)
    for (uint64_t i = 0; i + 3 <= rowBytes; i += 3) exchange(p + i, p + i + 2);
}

// ---- Scan-character primitives -------------------------------------------------------------

// The scanner's slots, and what a character's stops entry means.
enum : uint32_t { scannerDestX = 0, scannerLastIndex = 1, scannerWidths = 2 };
enum : uint32_t { stopCharacter = 65535, stopsBytes = 512, widthTableSlots = 256 };
enum : int64_t { answerEndOfRun = -1, answerCrossedMargin = -2 };

static bool isByteObject(oop o) { return isHeapObject(o) && !hasPtrs(headerOf(o)); }
static bool isPointerObjectOfSlots(oop o, uint64_t slots) {
  return isHeapObject(o) && hasPtrs(headerOf(o)) && bodyWordsOf(headerOf(o)) >= slots;
}
// A width table: an Array (class index 15) in the extended-size form with 256 slots or more.
static bool isWidthTable(oop o) {
  if (!isHeapObject(o)) return false;
  ObjectHeader* h = headerOf(o);
  return classTagOf(h) == classIndexArray && hasPtrs(h) && sizeFieldOf(h) == sizeFieldExtended &&
         bodyWordsOf(h) >= widthTableSlots;
}
static uint16_t stopsEntry(oop stops, uint8_t c) {
  uint16_t e;
  memcpy(&e, reinterpret_cast<const uint8_t*>(bodyOf(headerOf(stops))) + 2 * c, 2);
  return e;
}

// How a scan finds a character's width: from one table (956) or from pages (972). Answers
// false when the width cannot be had (the caller fails with its own code).
struct WidthSource {
  oop widths;         // 956: the widths Array
  oop pages;          // 972: the width-pages Array, else 0
  uint64_t firstPage; // 972: index of the first indexed slot
  uint64_t pageCount; // 972: count of indexed slots
  oop cache[256];     // 972: pages looked up so far (0 = not yet)
};

static bool widthOf(WidthSource* s, uint16_t e, int32_t* out) {
  oop table = s->widths;
  uint64_t slot = e;
  if (s->pages != 0) {
    uint64_t page = e >> 8;
    if (s->cache[page] == 0) {
      if (page >= s->pageCount) return false;
      oop p = slotOf(s->pages, s->firstPage + page);
      if (!isWidthTable(p)) return false;
      s->cache[page] = p;
    }
    table = s->cache[page];
    slot = e & 255;
  } else if (slot >= bodyWordsOf(headerOf(table))) {
    return false;  // an entry past the table: refused, not read
  }
  oop w = slotOf(table, slot);
  if (!isSmallInteger(w)) return false;
  *out = int32_t(uint32_t(uint64_t(smallIntegerValue(w))));
  return true;
}

// The common checks of the arguments (false: the caller's bad-argument code) and range (*range).
static bool checkScanArguments(oop start, oop stop, oop source, oop rightX, oop stops, bool* range) {
  *range = false;
  if (!isSmallInteger(start) || !isSmallInteger(stop) || !isSmallInteger(rightX) || smallIntegerValue(rightX) < 1 ||
      !isByteObject(source) || !isByteObject(stops) || byteSizeOf(headerOf(stops)) < stopsBytes)
    return false;
  int64_t first = smallIntegerValue(start), last = smallIntegerValue(stop);
  *range = first >= 1 && last >= 1 && uint64_t(last) <= byteSizeOf(headerOf(source));
  return true;
}

// The scan itself; answers the primitive's answer, or 0 when a width cannot be had. x stays
// a 32-bit signed value; lastIndex and destX are written only when the scan ends.
static oop scanCharacters(oop scanner, int64_t start, int64_t stop, oop source, int32_t rightX, oop stops,
                          WidthSource* widths) {
  oop* slots = bodyOf(headerOf(scanner));
  if (start > stop) {
    slots[scannerLastIndex] = smallIntegerFor(stop);
    return smallIntegerFor(answerEndOfRun);
  }
  const uint8_t* text = reinterpret_cast<const uint8_t*>(bodyOf(headerOf(source)));
  int32_t x = int32_t(uint32_t(uint64_t(smallIntegerValue(slots[scannerDestX])))), before = x;
  int64_t index = start, answer;
  for (;; index++) {
    if (index > stop) {
      index = stop, before = x, answer = answerEndOfRun;
      break;
    }
    uint8_t c = text[index - 1];
    uint16_t e = stopsEntry(stops, c);
    if (e == stopCharacter) {
      before = x, answer = c;
      break;
    }
    int32_t w;
    if (!widthOf(widths, e, &w)) return 0;
    int32_t next = int32_t(uint32_t(x) + uint32_t(w));
    if (next > rightX) {
      before = x, answer = answerCrossedMargin;
      break;
    }
    x = next;
  }
  slots[scannerLastIndex] = smallIntegerFor(index);
  slots[scannerDestX] = smallIntegerFor(before);
  return smallIntegerFor(answer);
}

static oop scanFail(uint32_t code, uint64_t numArgs) { return failPrimitive(primErrorAt(code), numArgs); }

static oop primScanCharacters(oop scanner, oop start, oop stop, oop source, oop rightX, oop stops) {
  if (!isPointerObjectOfSlots(scanner, 3)) return scanFail(5, 5);
  bool inRange;
  if (!checkScanArguments(start, stop, source, rightX, stops, &inRange)) return scanFail(3, 5);
  if (!inRange) return scanFail(6, 5);
  oop* slots = bodyOf(headerOf(scanner));
  if (!isSmallInteger(slots[scannerDestX]) || !isWidthTable(slots[scannerWidths])) return scanFail(4, 5);
  WidthSource widths{slots[scannerWidths], 0, 0, 0, {}};
  oop answer = scanCharacters(scanner, smallIntegerValue(start), smallIntegerValue(stop), source,
                              int32_t(smallIntegerValue(rightX)), stops, &widths);
  return answer != 0 ? answer : scanFail(4, 5);
}

static oop primScanCharactersInPages(oop scanner, oop start, oop stop, oop source, oop rightX, oop stops,
                                     oop pages) {
  bool inRange;
  if (!isPointerObjectOfSlots(scanner, 2) || !checkScanArguments(start, stop, source, rightX, stops, &inRange) ||
      !inRange || !isSmallInteger(bodyOf(headerOf(scanner))[scannerDestX]) || isImmediate(pages) ||
      !hasPtrs(headerOf(pages)) || !isKindOf(pages, sysOop(sysArrayClass)))
    return scanFail(0, 6);
  WidthSource widths{0, pages, 0, 0, {}};
  widths.firstPage = formatNamedSlots(classFormatOf(classOf(pages)));
  uint64_t words = bodyWordsOf(headerOf(pages));
  widths.pageCount = words > widths.firstPage ? words - widths.firstPage : 0;
  oop answer = scanCharacters(scanner, smallIntegerValue(start), smallIntegerValue(stop), source,
                              int32_t(smallIntegerValue(rightX)), stops, &widths);
  return answer != 0 ? answer : scanFail(0, 6);
}

void initScanCharPrimitives() {
  addCPrimitive(956, reinterpret_cast<const void*>(primScanCharacters), 5);
  addCPrimitive(972, reinterpret_cast<const void*>(primScanCharactersInPages), 6);
}
