// Object memory: debug printers and accessors of single objects.
// Owns debugLog, classNameX, thisClassX, metaclassInstSize, dbCodeRanges.
// Prefix: db, dbx, dbf.
#include "mman/mmDebug.h"

#include <cinttypes>
#include <cstring>

#include "ext/platform.h"
#include "mman/mmEnumerate.h"
#include "mman/mmFixedSpace.h"
#include "mman/mmLargeSpace.h"
#include "mman/mmNewSpace.h"
#include "mman/mmOldSpace.h"
#include "mman/mmPermSpace.h"
#include "mman/mmRt.h"
#include "mman/mmSysOop.h"

FILE* debugLog = nullptr;
int64_t classNameX = -1;
int64_t thisClassX = -1;
int64_t metaclassInstSize = -1;
DbCodeRanges dbCodeRanges = {};
void (*dbCodeRangesHook)(DbCodeRanges* ranges) = nullptr;

static uint32_t symbolClassTag = 0;  // class tag of Symbols, 0 when not known

FILE* dbLog() {
  if (debugLog == nullptr) debugLog = pdDebugLog(0);
  return debugLog;
}

// ---- Where a word lies ---------------------------------------------------------------------

// Places a header can lie. The vacant places lie inside a new-space area above its top.
enum Place {
  placeNone, placeEden, placePast, placeFuture, placePerm, placeOld,
  placeVacantEden, placeVacantPast, placeVacantFuture, placeBogusNew, placeLarge, placeFixed,
};
static const char* placeName[] = {
  "no", "eden new", "past new", "future new", "perm", "old",
  "vacant eden new", "vacant past new", "vacant future new", "BOGUS new", "large", "fixed",
};

static bool within(uint64_t a, uint64_t bytes, uint64_t lo, uint64_t hi) {
  return a >= lo && a <= hi && bytes <= hi - a;
}

// The working record of a segment: the current one is kept in oldSpace.
static const OldSpaceSegment* oldRecord(const OldSpaceSegment* s) {
  return s == oldSpaceSegs.current ? &oldSpace : s;
}
static const FixedSpaceSegment* fixedRecord(const FixedSpaceSegment* s) {
  return s == fixedSpaceSegs.current ? &fixedSpace : s;
}

static bool inOt(const OldSpaceSegment* s, uint64_t a) {
  return s->otHigh != 0 && a >= s->otLow + 16 && a <= s->otHigh && (s->otHigh - a) % 16 == 0;
}

// Block areas of large space and of each fixed segment: from the first block to the table.
static bool inBlockArea(const BlockTable* t, uint64_t a, uint64_t bytes) {
  if (t->firstBlock == nullptr || t->lowest == nullptr) return false;
  return within(a, bytes, t->firstBlock->block, uint64_t(t->lowest));
}

// Where the 16 bytes at a lie, for a header: only places headers are made in.
static Place headerPlace(uint64_t a) {
  if (a == 0 || (a & 7) != 0) return placeNone;
  if (eden.start != 0 && within(a, 16, eden.start, eden.allocPtr)) return placeEden;
  if (pastSpace.start != 0 && within(a, 16, pastSpace.start, pastSpace.top)) return placePast;
  if (futureSpace.start != 0 && within(a, 16, futureSpace.start, futureSpace.top)) return placeFuture;
  if (permSpaceExists && inOt(&permSpace, a)) return placePerm;
  for (const OldSpaceSegment* s = oldSpaceSegs.first; s != nullptr; s = s->next)
    if (inOt(oldRecord(s), a)) return placeOld;
  return placeNone;
}

// Where an address lies for dbResidence: the header places, then the rest of each area.
static Place addressPlace(uint64_t a) {
  Place p = headerPlace(a & ~uint64_t(7));
  if (p != placeNone) return p;
  if (eden.start != 0 && a >= eden.start && a < eden.end) return placeVacantEden;
  if (pastSpace.start != 0 && a >= pastSpace.start && a < pastSpace.end) return placeVacantPast;
  if (futureSpace.start != 0 && a >= futureSpace.start && a < futureSpace.end) return placeVacantFuture;
  if (newSpaceLowerBound != 0 && isInNewSpace(a)) return placeBogusNew;
  if (inBlockArea(&largeSpace.table, a, 1)) return placeLarge;
  for (const FixedSpaceSegment* s = fixedSpaceSegs.first; s != nullptr; s = s->next)
    if (inBlockArea(&fixedRecord(s)->table, a, 1)) return placeFixed;
  return placeNone;
}

// The data area holding [a, a + bytes), or placeNone.
static Place dataPlace(uint64_t a, uint64_t bytes) {
  if (eden.start != 0 && within(a, bytes, eden.start, eden.allocPtr)) return placeEden;
  if (pastSpace.start != 0 && within(a, bytes, pastSpace.start, pastSpace.top)) return placePast;
  if (futureSpace.start != 0 && within(a, bytes, futureSpace.start, futureSpace.top)) return placeFuture;
  if (permSpaceExists && permSpace.dataStart != 0 &&
      within(a, bytes, permSpace.dataStart, permSpace.dataTop))
    return placePerm;
  for (const OldSpaceSegment* s = oldSpaceSegs.first; s != nullptr; s = s->next) {
    const OldSpaceSegment* r = oldRecord(s);
    if (within(a, bytes, r->dataStart, r->dataTop)) return placeOld;
  }
  if (inBlockArea(&largeSpace.table, a, bytes)) return placeLarge;
  for (const FixedSpaceSegment* s = fixedSpaceSegs.first; s != nullptr; s = s->next)
    if (inBlockArea(&fixedRecord(s)->table, a, bytes)) return placeFixed;
  return placeNone;
}

// A readable, unforwarded header whose size word and body lie inside one data area.
static bool bodyIsSound(const ObjectHeader* h) {
  uint64_t p = h->dataPtr;
  if ((p & 7) != 0) return false;
  if (!hasSizeWord(h)) return sizeFieldOf(h) == 0 || dataPlace(p, bodyBytesOf(h)) != placeNone;
  if (p < 8 || dataPlace(p - 8, 8) == placeNone) return false;
  uint64_t bytes = *sizeWordOf(h) & ~uint64_t(7);
  return dataPlace(p - 8, bytes + 8) != placeNone;
}

static bool isNewPlace(Place p) { return p == placeEden || p == placePast || p == placeFuture; }

int dbIsFiller(oop o) {
  if (!isNewPlace(headerPlace(o))) return 0;
  const ObjectHeader* h = headerOf(o);
  return h->dataPtr == 0 && classTagOf(h) == 0;
}

// A header in place with a sound body; its class is not checked (classes themselves).
static bool isSoundHeader(oop o) {
  if (headerPlace(o) == placeNone) return false;
  const ObjectHeader* h = headerOf(o);
  return classTagOf(h) != 0 && bodyIsSound(h);
}

// The class of a sound header when the class table holds a sound object for it, else 0.
static oop soundClassOf(const ObjectHeader* h) {
  uint32_t tag = classTagOf(h);
  const oop* page = classTable[tag >> 10];
  if (page == nullptr) return 0;
  oop cls = page[tag & 1023];
  if (sysOopRegistry != nullptr && cls == sysOopRegistry[sysEmptySlotMarker]) return 0;
  return isHeapObject(cls) && isSoundHeader(cls) ? cls : 0;
}

int dbIsHeader(oop o) { return isHeapObject(o) && headerPlace(o) != placeNone; }
int dbHasSoundBody(oop o) { return dbIsHeader(o) && bodyIsSound(headerOf(o)); }

int dbIsObject(oop o) {
  return isHeapObject(o) && isSoundHeader(o) && soundClassOf(headerOf(o)) != 0;
}

static uint64_t slotCount(oop o) { return hasPtrs(headerOf(o)) ? bodyWordsOf(headerOf(o)) : 0; }

// ---- Accessors -----------------------------------------------------------------------------

extern "C" uint64_t dbObjDataField(oop obj, uint64_t index) {
  if (!dbIsObject(obj)) return 0;
  const ObjectHeader* h = headerOf(obj);
  if (index >= (hasPtrs(h) ? bodyWordsOf(h) : byteSizeOf(h))) return 0;
  if (hasPtrs(h)) return bodyOf(h)[index];
  return reinterpret_cast<const uint8_t*>(h->dataPtr)[index];
}

extern "C" uint64_t dbSetObjDataField(oop obj, uint64_t index, uint64_t value) {
  if (!dbIsObject(obj)) return 0;
  ObjectHeader* h = headerOf(obj);
  if (index >= (hasPtrs(h) ? bodyWordsOf(h) : byteSizeOf(h))) return 0;
  if (hasPtrs(h)) bodyOf(h)[index] = value;
  else reinterpret_cast<uint8_t*>(h->dataPtr)[index] = uint8_t(value);
  return value;
}

extern "C" oop dbObjClass(oop o) {
  if (isImmediate(o)) return firstClassTablePage != nullptr ? classOf(o) : 0;
  return dbIsObject(o) ? soundClassOf(headerOf(o)) : 0;
}

extern "C" uint64_t dbObjDataSize(oop o) {
  if (dbIsFiller(o)) return fillerWordsOf(headerOf(o)) * 8;
  return dbIsObject(o) ? byteSizeOf(headerOf(o)) : 0;
}

// The header bits answer for any header in place, forwarded ones too.
static uint64_t headerBit(oop o, uint64_t bit) {
  if (!isHeapObject(o) || headerPlace(o) == placeNone || dbIsFiller(o)) return 0;
  return hasFlag(headerOf(o), bit) ? 1 : 0;
}
extern "C" uint64_t dbObjHasPtrs(oop o) { return headerBit(o, hasPtrsBit); }
extern "C" uint64_t dbObjInOldRt(oop o) { return headerBit(o, isInOldRtBit); }
extern "C" uint64_t dbObjIsMarked(oop o) { return headerBit(o, isMarkedBit); }
extern "C" uint64_t dbObjInRt(oop o) { return headerBit(o, inRtBit); }
extern "C" uint64_t dbObjIsForwarded(oop o) {
  if (!isHeapObject(o) || headerPlace(o) == placeNone || dbIsFiller(o)) return 0;
  return isForwarded(headerOf(o)) ? 1 : 0;
}
extern "C" uint64_t dbObjHash(oop o) {
  if (!isHeapObject(o) || headerPlace(o) == placeNone || dbIsFiller(o)) return 0;
  return hashOf(headerOf(o));
}

extern "C" uint64_t dbObjDataPtr(oop o) {
  if (isImmediate(o)) {
    fputs("\nImmediate objects have no data pointers.\n", dbLog());
    return 0;
  }
  if (headerPlace(o) == placeNone || dbIsFiller(o)) return 0;
  return headerOf(o)->dataPtr;
}

// ---- Names ---------------------------------------------------------------------------------

int dbEncodeUtf8(uint64_t c, char* b) {
  if (c == 0 || c >= 0x110000) return b[0] = '?', 1;  // a NUL would cut a text log's line
  if (c < 0x80) return b[0] = char(c), 1;
  if (c < 0x800) return b[0] = char(0xC0 | (c >> 6)), b[1] = char(0x80 | (c & 63)), 2;
  if (c < 0x10000) {
    b[0] = char(0xE0 | (c >> 12)), b[1] = char(0x80 | ((c >> 6) & 63)), b[2] = char(0x80 | (c & 63));
    return 3;
  }
  b[0] = char(0xF0 | (c >> 18)), b[1] = char(0x80 | ((c >> 12) & 63));
  b[2] = char(0x80 | ((c >> 6) & 63)), b[3] = char(0x80 | (c & 63));
  return 4;
}

int dbPutUtf8(uint64_t c, FILE* stream) {
  char b[4];
  int n = dbEncodeUtf8(c, b);
  fwrite(b, 1, size_t(n), stream);
  return n;
}

static bool isSymbol(oop o) {
  if (!dbIsObject(o) || hasPtrs(headerOf(o))) return false;
  return symbolClassTag == 0 || classTagOf(headerOf(o)) == symbolClassTag;
}

const char* dbClassNameBytes(oop cls, uint64_t* length) {
  if (classNameX < 0 || !dbIsObject(cls) || slotCount(cls) <= uint64_t(classNameX)) return nullptr;
  oop name = slotOf(cls, uint64_t(classNameX));
  if (!isSymbol(name)) return nullptr;
  *length = byteSizeOf(headerOf(name));
  return reinterpret_cast<const char*>(headerOf(name)->dataPtr);
}

// The class a metaclass describes, or 0 when m is no metaclass.
static oop thisClassOf(oop m) {
  if (thisClassX < 0 || !dbIsObject(m) || slotCount(m) != uint64_t(metaclassInstSize)) return 0;
  oop c = slotOf(m, uint64_t(thisClassX));
  return dbIsObject(c) && dbObjClass(c) == m ? c : 0;
}

// A metaclass's size with a class-sized object where its class belongs (obsolete classes).
static bool isMetaclassShaped(oop m) {
  if (thisClassX < 0 || classNameX < 0 || !dbIsObject(m) || slotCount(m) != uint64_t(metaclassInstSize))
    return false;
  oop c = slotOf(m, uint64_t(thisClassX));
  return dbIsObject(c) && slotCount(c) > uint64_t(classNameX);
}

static const char* immediateClassName(oop o) {
  if (isSmallInteger(o)) return "SmallInteger";
  if (isCharacter(o)) return "Character";
  return "SmallDouble";
}

// Prints what a heap object is; the class-name slots are known.
static void printHeapClassName(oop o, const char* suffix, FILE* f) {
  const ObjectHeader* h = headerOf(o);
  oop cls = soundClassOf(h);
  uint64_t n = 0;
  const char* name;
  if (thisClassOf(cls) == o && (name = dbClassNameBytes(o, &n)) != nullptr) {
    fprintf(f, "a Class (%.*s)%s", int(n), name, suffix);
    return;
  }
  oop ofMeta = thisClassOf(o);
  if (ofMeta != 0 && (name = dbClassNameBytes(ofMeta, &n)) != nullptr) {
    fprintf(f, "a Metaclass (%.*s class)%s", int(n), name, suffix);
    return;
  }
  if ((name = dbClassNameBytes(cls, &n)) != nullptr) {
    fprintf(f, "a %.*s%s", int(n), name, suffix);
    return;
  }
  if (isMetaclassShaped(cls) && (name = dbClassNameBytes(o, &n)) != nullptr) {
    fprintf(f, "an Obsolete Class (%.*s) ??%s", int(n), name, suffix);
    return;
  }
  oop nameOop = classNameX >= 0 && slotCount(cls) > uint64_t(classNameX) ? slotOf(cls, uint64_t(classNameX)) : 0;
  fprintf(f, "bad class 0x%" PRIx64 " or class name oop 0x%" PRIx64 "!%s", cls, nameOop, suffix);
}

extern "C" void dbfObjClassName(oop o, const char* suffix, FILE* f) {
  if (isSmallInteger(o)) {
    fprintf(f, "SmallInteger %" PRId64 "%s", smallIntegerValue(o), suffix);
  } else if (isCharacter(o)) {
    fputs("Character ", f);
    dbPutUtf8(characterValue(o), f);
    fprintf(f, " (0%" PRIo64 " 0x%" PRIx64 ")%s", characterValue(o), characterValue(o), suffix);
  } else if (isSmallDouble(o)) {
    fprintf(f, "SmallDouble %g (0x%" PRIx64 ")%s", loadSmallDoubleFromOop(o), o, suffix);
  } else if (classNameX < 0) {
    fputs("classNameX uninitialized!\n", f);
  } else if (isImmediate(o)) {
    fprintf(f, "Bogus Oop 0x%" PRIx64 "%s", o, suffix);
  } else if (dbIsFiller(o)) {
    fprintf(f, "%sDummyObject has no valid class.%s", "NewSpace", suffix);
  } else if (o != 0 && futureSpace.start != 0 && o >= futureSpace.start && o < futureSpace.end) {
    fprintf(f, "Object 0x%" PRIx64 " in futureSpace...%s", o, suffix);
  } else if (!isSoundHeader(o)) {
    fprintf(f, "Bogus Oop 0x%" PRIx64 "%s", o, suffix);
  } else if (classTagOf(headerOf(o)) == classIndexHybridMethodContext ||
             classTagOf(headerOf(o)) == classIndexHybridBlockContext) {
    fprintf(f, "Hybrid%sContext%s",
            classTagOf(headerOf(o)) == classIndexHybridMethodContext ? "Method" : "Block", suffix);
  } else if (soundClassOf(headerOf(o)) == 0) {
    const oop* page = classTable[classTagOf(headerOf(o)) >> 10];
    oop cls = page != nullptr ? page[classTagOf(headerOf(o)) & 1023] : 0;
    fprintf(f, "bad class 0x%" PRIx64 " or class name oop 0x%" PRIx64 "!%s", cls, uint64_t(0), suffix);
  } else {
    printHeapClassName(o, suffix, f);
  }
}
extern "C" void dbObjClassName(oop o) { dbfObjClassName(o, "\n", dbLog()); }
extern "C" void dbxClassName(oop o) { dbObjClassName(o); }

// Compares a class's name, with " class" for each metaclass level, against a C string.
static int classNameMatches(const char* want, oop cls, int depth) {
  uint64_t n = 0;
  const char* name = dbClassNameBytes(cls, &n);
  if (name != nullptr) return strlen(want) == n && memcmp(want, name, n) == 0;
  oop described = thisClassOf(cls);
  size_t w = strlen(want);
  if (described == 0 || depth > 2 || w < 6 || strcmp(want + w - 6, " class") != 0) return 0;
  char shorter[256];
  if (w - 6 >= sizeof shorter) return 0;
  memcpy(shorter, want, w - 6);
  shorter[w - 6] = 0;
  return classNameMatches(shorter, described, depth + 1);
}

extern "C" int dbClassNameIs(const char* name, oop cls) { return classNameMatches(name, cls, 0); }

extern "C" int dbObjClassNameIs(const char* name, oop o) {
  if (isImmediate(o)) return strcmp(name, immediateClassName(o)) == 0;
  if (dbIsFiller(o)) return strcmp(name, "dummyObj") == 0;
  if (!isHeapObject(o) || !isSoundHeader(o)) return 0;
  uint32_t tag = classTagOf(headerOf(o));
  if (tag == classIndexHybridMethodContext) return strcmp(name, "HybridMethodContext") == 0;
  if (tag == classIndexHybridBlockContext) return strcmp(name, "HybridBlockContext") == 0;
  oop cls = soundClassOf(headerOf(o));
  return cls != 0 && dbClassNameIs(name, cls);
}

extern "C" int printIfObjClassNameIs(const char* name, oop o) {
  if (!dbObjClassNameIs(name, o)) return 0;
  printf("0x%07" PRIx64 "\n", o);
  return 1;
}

extern "C" int printIfClassNameIs(const char* name, oop cls) {
  if (!dbClassNameIs(name, cls)) return 0;
  printf("0x%07" PRIx64 " is named %s\n", cls, name);
  return 1;
}

extern "C" int dbObjMayBeClass(oop o) {
  Place p = headerPlace(o);
  if (!(isNewPlace(p) || p == placePerm || p == placeOld) || !dbIsObject(o)) return 0;
  if (!hasPtrs(headerOf(o)) || slotCount(o) < 3 || metaclassInstSize < 0) return 0;
  if (slotCount(o) == uint64_t(metaclassInstSize) && isMetaclassShaped(o)) return 1;
  return isMetaclassShaped(soundClassOf(headerOf(o))) ? 1 : 0;
}

// ---- Printers ------------------------------------------------------------------------------

static const char* flagBit(const ObjectHeader* h, uint64_t bit) { return hasFlag(h, bit) ? "1" : "0"; }

// The fields of a header in place; its size word is read only when the body is sound.
static void printHeaderFields(const ObjectHeader* h, FILE* f) {
  bool sizeWord = hasSizeWord(h) && !isForwarded(h) && bodyIsSound(h);
  uint64_t bodyPtr = sizeWord ? h->dataPtr - 8 : h->dataPtr;
  fprintf(f, "\ndataPtr =  0x%" PRIx64 " %s (bodyPtr = 0x%" PRIx64 ")\n", h->dataPtr,
          isForwarded(h) ? "(forwarded)" : "", bodyPtr);
  if (sizeWord) fprintf(f, "bodyPtr =  0x%" PRIx64 "\n", bodyPtr);
  fprintf(f, "flags = 0x%08" PRIx64 "\n", h->flags);
  uint32_t tag = classTagOf(h);
  const oop* page = classTable[tag >> 10];
  fprintf(f, "classTag =  %" PRIu32 " 0x%" PRIx32 " (class = 0x%" PRIx64 ")\n", tag, tag,
          page != nullptr ? page[tag & 1023] : uint64_t(0));
  uint64_t words = sizeWord || !hasSizeWord(h) ? bodyWordsOf(h) : 0;
  uint32_t sizeField = sizeFieldOf(h);
  fprintf(f, "size =  %" PRIu64 " 0x%" PRIx64 " (sizeField: %" PRIu32 " 0x%" PRIx32 ")", words, words,
          sizeField, sizeField);
  uint64_t bodyBytes = words * 8 + (sizeWord ? 8 : 0);
  fprintf(f, "\tbodySize =  %" PRIu64 " 0x%" PRIx64 "%s\n", bodyBytes, bodyBytes,
          hasSizeWord(h) ? " (extended)" : "");
  fprintf(f, "%s = 0x%" PRIx32 "\n", hasPtrs(h) ? "indexability" : "odd bytes", indexabilityOf(h));
  fprintf(f, "hash =  %" PRIu32 " 0x%" PRIx32 "\n", hashOf(h), hashOf(h));
  fprintf(f, "inRt =  %s\n", flagBit(h, inRtBit));
  fprintf(f, "isMarked =  %s\n", flagBit(h, isMarkedBit));
  fprintf(f, "isImmutable =  %s\n", flagBit(h, isImmutableBit));
  fprintf(f, "isInOldRt =  %s\n", flagBit(h, isInOldRtBit));
  fprintf(f, "isGCSpecial =  %s\n", flagBit(h, isGCSpecialBit));
  fprintf(f, "ephemeronNotWeak =  %s\n", flagBit(h, ephemeronNotWeakBit));
  fprintf(f, "hasPtrs =  %s\n", flagBit(h, hasPtrsBit));
}

extern "C" uint64_t dbObjHeader(oop o) {
  FILE* f = dbLog();
  if (isImmediate(o)) {
    fputs("\nImmediate objects have no headers.\n", f);
    return 0;
  }
  if (dbIsFiller(o)) {
    fprintf(f, "\nNewSpaceDummyObject size = %" PRIu64 "\n", fillerWordsOf(headerOf(o)));
    return 0;
  }
  if (headerPlace(o) == placeNone) {
    fprintf(f, "Bogus Oop 0x%" PRIx64 "\n", o);
    return 0;
  }
  printHeaderFields(headerOf(o), f);
  return headerOf(o)->flags;
}
extern "C" uint64_t dbxHeader(oop o) { return dbObjHeader(o); }

static void printImmediateData(oop o, FILE* f) {
  if (isSmallInteger(o)) fprintf(f, "%" PRId64 " ", smallIntegerValue(o));
  else if (isCharacter(o)) dbPutUtf8(characterValue(o), f), fputc(' ', f);
  else fprintf(f, "%g ", loadSmallDoubleFromOop(o));
  fprintf(f, "%s 0x%" PRIx64 " has no data\n", immediateClassName(o), o);
}

static void printBytes(const ObjectHeader* h, FILE* f) {
  const uint8_t* b = reinterpret_cast<const uint8_t*>(h->dataPtr);
  uint64_t n = byteSizeOf(h);
  for (uint64_t i = 0; i < n; i++) fprintf(f, " %2x", b[i]);
  fputc('\n', f);
  for (uint64_t i = 0; i < n; i++) fputc(b[i] >= 0x20 && b[i] < 0x7F ? b[i] : '.', f);
  fputc('\n', f);
}

extern "C" void dbObjData(oop o) {
  FILE* f = dbLog();
  if (isImmediate(o)) return printImmediateData(o, f);
  if (dbIsFiller(o)) return (void)fputs("\nDummyObject has no valid data.\n", f);
  if (!dbIsObject(o)) return (void)fprintf(f, "Bogus Oop 0x%" PRIx64 "\n", o);
  const ObjectHeader* h = headerOf(o);
  uint32_t tag = classTagOf(h);
  if (hasPtrs(h)) {
    uint64_t n = bodyWordsOf(h);
    for (uint64_t i = 0; i < n; i++) {
      fprintf(f, " x%08" PRIx64, bodyOf(h)[i]);
      if (i % 8 == 7 || i + 1 == n) fputc('\n', f);
    }
  } else if (tag == classIndexFloat && byteSizeOf(h) >= 4) {
    float v;
    memcpy(&v, reinterpret_cast<const void*>(h->dataPtr), 4);
    fprintf(f, "Float %e\n", double(v));
  } else if (tag == classIndexDouble && byteSizeOf(h) >= 8) {
    double v;
    memcpy(&v, reinterpret_cast<const void*>(h->dataPtr), 8);
    fprintf(f, "Double %g\n", v);
  } else {
    printBytes(h, f);
  }
}
extern "C" void dbxData(oop o) { dbObjData(o); }

extern "C" void dbSelectorName(oop o) {
  FILE* f = dbLog();
  if (isImmediate(o)) return (void)fputs("\nImmediate objects have no selector name.\n", f);
  if (dbIsFiller(o)) return (void)fputs("\nDummyObject has no selector name.\n", f);
  if (!dbIsObject(o) || hasPtrs(headerOf(o))) return (void)fprintf(f, "Bogus Oop 0x%" PRIx64 "\n", o);
  uint64_t n = byteSizeOf(headerOf(o));
  if (n != 0) fwrite(reinterpret_cast<const void*>(headerOf(o)->dataPtr), 1, n, f);
  fputc('\n', f);
}
extern "C" void dbxSelectorName(oop o) { dbSelectorName(o); }

// ---- Residence -----------------------------------------------------------------------------

static bool inRange(uint64_t a, uint64_t lo, uint64_t hi) { return lo < hi && a >= lo && a < hi; }

// The area of an address that lies in no heap space.
static const char* codeAreaOf(uint64_t a) {
  if (dbCodeRangesHook != nullptr) dbCodeRangesHook(&dbCodeRanges);
  const DbCodeRanges& r = dbCodeRanges;
  if (inRange(a, r.stackLow, r.stackHigh)) return "in stack zone, ";
  if (inRange(a, r.glueLow, r.glueHigh)) return "in glue code, ";
  if (inRange(a, r.nzoneLow, r.nzoneHigh)) return "in ncode, ";
  if (r.nzoneLow < r.nzoneHigh) return a < r.nzoneLow ? "below nzone, " : "above nzone, ";
  return "";
}

static bool isClassTablePage(oop o) {
  if (firstClassTablePage == nullptr) return false;
  return classTagOf(headerOf(o)) == classIndexClassTablePage;
}

extern "C" void dbResidence(uint64_t a) {
  FILE* f = dbLog();
  if (isImmediate(a)) return (void)fputs("is immediate\n", f);
  fprintf(f, "object 0x%" PRIx64 " ", a);
  if ((a & 7) != 0) fputs("has invalid alignment, ", f);
  Place p = addressPlace(a);
  if (p == placeNone) return (void)fprintf(f, "%sbut not in any OT\n", codeAreaOf(a));
  fprintf(f, "header in %sSpace, ", placeName[p]);
  if (headerPlace(a) == placeNone || (a & 7) != 0) return (void)fputs("but not in any OT\n", f);
  const ObjectHeader* h = headerOf(a);
  if (dbIsFiller(a) || classTagOf(h) == 0) fputs("no data\n", f);
  else if (!isForwarded(h) && bodyIsSound(h) && bodyWordsOf(h) == 0) fputs("object has no data (zero sized)\n", f);
  else if (!isForwarded(h) && bodyIsSound(h))
    fprintf(f, "data 0x%" PRIx64 " in %sSpace\n", h->dataPtr, placeName[dataPlace(h->dataPtr, 8)]);
  else fputs("can't determine data ptr's space\n", f);
  bool sound = dbIsObject(a);
  fprintf(f, "       %s%s%s%s%s%s\n", sound && objReallyInOldRt(headerOf(a)) ? "reallyInOldRt," : "",
          isInOldRt(h) ? "inOldRt," : "", sound && isClassTablePage(a) ? "isClassTablePage," : "",
          sound && objReallyInRt(headerOf(a)) ? "actuallyInRt," : "", inRt(h) ? "inRt," : "",
          isEphemeron(h) ? "isEphemeron" : "");
}
extern "C" void dbxResidence(uint64_t a) { dbResidence(a); }

// ---- Owners --------------------------------------------------------------------------------

struct OwnerScan {
  oop target;
  bool targetIsClass;  // a sound object: its instances are listed too
  int insts, refs;
  FILE* f;
};

static int printOwner(void* arg, ObjectHeader* h) {
  OwnerScan* s = static_cast<OwnerScan*>(arg);
  oop o = oopOf(h);
  bool inst = s->targetIsClass && soundClassOf(h) == s->target;
  bool ref = false;
  if (hasPtrs(h) && !isForwarded(h))
    for (uint64_t i = 0, n = bodyWordsOf(h); i < n && !ref; i++) ref = bodyOf(h)[i] == s->target;
  if (!inst && !ref) return 0;
  fprintf(s->f, "0x%08" PRIx64 "%c ", o, inst ? '*' : ' ');
  if (inst) s->insts++;
  if (ref) s->refs++;
  if ((inst && s->insts == 9) || (ref && s->refs == 9))
    fprintf(s->f, "(insts: %d, refs: %d)\n", s->insts, s->refs);
  return 0;
}

extern "C" void dbObjOwners(oop o) {
  OwnerScan s = {o, dbIsObject(o) != 0, 0, 0, dbLog()};
  scanObjectMemory(&s, printOwner, nullptr, nullptr);
  fputc('\n', s.f);
}
extern "C" void dbxOwners(oop o) { dbObjOwners(o); }

struct DataScan {
  uint64_t address;
  FILE* f;
};

static int printDataOwner(void* arg, ObjectHeader* h) {
  DataScan* s = static_cast<DataScan*>(arg);
  if (isForwarded(h) || !bodyIsSound(h)) return 0;
  if (s->address >= h->dataPtr && s->address < h->dataPtr + bodyBytesOf(h))
    fprintf(s->f, "0x%08" PRIx64 " ", oopOf(h));
  return 0;
}

extern "C" void dbObjWhichOwnsData(uint64_t address) {
  DataScan s = {address, dbLog()};
  scanObjectMemory(&s, printDataOwner, nullptr, nullptr);
  fputc('\n', s.f);
}

extern "C" void dbPrintIndicesOfIn(oop o, oop obj) {
  if (!dbIsObject(obj)) return;
  const ObjectHeader* h = headerOf(obj);
  if (!hasPtrs(h)) {
    if (obj != rt.object) puts("as yet implemented only for pointers");
    return;
  }
  oop cls = soundClassOf(h);
  uint64_t named = formatNamedSlots(dbIsObject(cls) && slotCount(cls) > classFormatSlot &&
                                            isSmallInteger(slotOf(cls, classFormatSlot))
                                        ? classFormatOf(cls)
                                        : 0);
  for (uint64_t i = 0, n = bodyWordsOf(h); i < n; i++)
    if (bodyOf(h)[i] == o) printf("at [%" PRIu64 "], at: %" PRId64 "\n", i, int64_t(i - named) + 1);
}

// ---- Start-up ------------------------------------------------------------------------------

// The name slot is the first slot of Array holding the Symbol #Array; the metaclass's
// size and its slot pointing back at Array follow from Array's class.
void initDebugPrims() {
  classNameX = thisClassX = metaclassInstSize = -1;
  symbolClassTag = 0;
  if (sysOopRegistry == nullptr || firstClassTablePage == nullptr) return;
  oop selector = sysOopRegistry[sysDnuSelector];
  if (dbIsObject(selector)) symbolClassTag = classTagOf(headerOf(selector));
  oop array = sysOopRegistry[sysArrayClass];
  if (symbolClassTag == 0 || !dbIsObject(array) || !hasPtrs(headerOf(array))) return;
  for (uint64_t i = 0, n = slotCount(array); i < n; i++) {
    oop s = slotOf(array, i);
    if (dbIsObject(s) && classTagOf(headerOf(s)) == symbolClassTag && byteSizeOf(headerOf(s)) == 5 &&
        memcmp(reinterpret_cast<const void*>(headerOf(s)->dataPtr), "Array", 5) == 0) {
      classNameX = int64_t(i);
      break;
    }
  }
  oop meta = soundClassOf(headerOf(array));
  if (meta == 0 || !hasPtrs(headerOf(meta))) return;
  metaclassInstSize = int64_t(slotCount(meta));
  for (uint64_t i = 0, n = slotCount(meta); i < n; i++)
    if (slotOf(meta, i) == array) {
      thisClassX = int64_t(i);
      break;
    }
}
