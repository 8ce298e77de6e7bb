// Test support: the indexed-access primitives' cases as data.
#include "prim/subscriptCases.h"

#include <cstring>

#include "mman/mmAllocate.h"
#include "mman/mmFixedSpace.h"
#include "mman/mmLargeSpace.h"
#include "mman/mmOldSpace.h"
#include "mman/mmSysOop.h"
#include "mman/testHeap.h"
#include "tran/nmLayout.h"

oop oldBytes(uint32_t classIndex, const std::vector<uint8_t>& data) {
  ObjectHeader* h = allocInOldSpace(classIndex, 0, data.size(), 0, 0, 1);
  if (!data.empty()) memcpy(bodyOf(h), data.data(), data.size());
  return oopOf(h);
}

oop oldSlots(uint32_t classIndex, uint64_t named, const std::vector<oop>& slots) {
  uint64_t format = classFormatOf(classAt(classIndex));
  ObjectHeader* h = allocInOldSpace(classIndex, named, slots.size() * 8, headerFlagsForFormat(format), 0, 1);
  for (size_t i = 0; i < slots.size(); i++) bodyOf(h)[i] = slots[i];
  return oopOf(h);
}

static const int64_t big = smallIntegerMax, little = smallIntegerMin;

std::vector<PrimCase> slotAccessCases() {
  uint32_t namedIdx = newTestClass(formatPointers | formatIndexable | 2);
  oop nil = nilOop();
  oop arr = oldSlots(classIndexArray, 0, {si(10), si(20), si(30)});
  oop named = oopOf(allocVSObj(classAt(namedIdx), 2));  // 2 named + 2 indexed, in new space
  bodyOf(headerOf(named))[0] = si(1);
  bodyOf(headerOf(named))[3] = si(4);
  oop weak = oldSlots(testClasses.weak, 0, {si(7)});
  oop fixed = oldSlots(testClasses.threeSlots, 3, {si(1), si(2), si(3)});
  oop empty = oldSlots(classIndexArray, 0, {});
  oop frozen = oldSlots(classIndexArray, 0, {si(5)});
  setFlag(headerOf(frozen), isImmutableBit);
  oop perm = oldSlots(classIndexArray, 0, {si(6)});
  makePerm(perm);
  oop askClass = oldSlots(namedIdx, 0, {si(1), si(2), si(3)});  // indexability 255: the class says 2
  setIndexability(headerOf(askClass), indexabilityAskClass);
  oop large = oopOf(allocLargePointerObj(classIndexArray, 0, 300 * 8, hasPtrsBit, nil));
  bodyOf(headerOf(large))[299] = si(299);
  // A hybrid context without a frame (class index 8, its stable form 11, whose class format
  // names 2 slots): read through the context accessors, it is dead, so its pc cannot resume.
  oop ctxClass = newUnenteredTestClass(formatPointers | 2);
  classTable[0][classIndexHybridMethodContext] = ctxClass;
  classTable[0][classIndexMethodContext] = ctxClass;
  oop ctx = oldSlots(classIndexHybridMethodContext, 2, {si(81), si(82)});

  std::vector<PrimCase> rows = {
      {60, si(3), {si(1)}, code(5), "immediate receiver"},
      {60, arr, {ch(1)}, code(3), "Character index"},
      {60, arr, {nil}, code(3), "nil index"},
      {60, arr, {si(0)}, code(6), "index 0"},
      {60, arr, {si(3)}, ans(si(30)), "index = size"},
      {60, arr, {si(4)}, code(6), "size + 1"},
      {60, arr, {si(big)}, code(6), "2^60 - 1"},
      {60, arr, {si(little)}, code(6), "-2^60"},
      {60, named, {si(1)}, ans(nil), "first indexed slot after 2 named"},
      {60, named, {si(2)}, ans(si(4)), "last indexed slot"},
      {60, named, {si(3)}, code(6), "past the indexed slots"},
      {60, askClass, {si(1)}, ans(si(3)), "named count from the class"},
      {60, weak, {si(1)}, ans(si(7)), "weak"},
      {60, large, {si(300)}, ans(si(299)), "extended body"},
      {60, large, {si(301)}, code(6), "past the extended body"},
      {61, frozen, {si(1), si(9)}, code(23), "immutable"},
      {61, frozen, {si(2), si(9)}, code(6), "bounds before immutability"},
      {61, frozen, {ch(0), si(9)}, code(3), "index kind first"},
      {61, perm, {si(1), si(8)}, ans(si(8)), "perm store"},
      {60, perm, {si(1)}, ans(si(8)), "reads it"},
      {61, named, {si(2), ch(65)}, ans(ch(65)), "store"},
      {60, named, {si(2)}, ans(ch(65)), "reads it"},
      {62, arr, {}, ans(si(3)), "Array size"},
      {62, named, {}, ans(si(2)), "indexed count only"},
      {62, empty, {}, ans(si(0)), "empty Array"},
      {62, fixed, {}, code(5), "non-indexable class"},
      {62, si(1), {}, code(5), "immediate"},
      {62, large, {}, ans(si(300)), "large body"},
      {73, named, {si(1)}, ans(si(1)), "named slot"},
      {73, named, {si(3)}, code(6), "past the named slots"},
      {73, fixed, {si(3)}, ans(si(3)), "fixed class last slot"},
      {73, arr, {si(1)}, code(6), "Array has no named slots"},
      {73, ch(3), {si(1)}, code(5), "immediate"},
      {73, fixed, {nil}, code(3), "nil index"},
      {74, fixed, {si(2), si(22)}, ans(si(22)), "store"},
      {73, fixed, {si(2)}, ans(si(22)), "reads it"},
      {74, frozen, {si(1), si(1)}, code(6), "bounds before immutability"},
      {160, nil, {arr, si(2)}, ans(si(20)), "on the argument"},
      {160, nil, {si(4), si(1)}, code(5), "immediate argument"},
      {160, nil, {askClass, si(1)}, ans(si(3)), "named count from the class format"},
      {161, nil, {arr, si(2), si(21)}, ans(si(21)), "store on the argument"},
      {160, nil, {arr, si(2)}, ans(si(21)), "reads it"},
      {161, nil, {frozen, si(1), si(1)}, code(23), "immutable argument"},
      {162, nil, {named}, ans(si(2)), "size of the argument"},
      {162, nil, {si(1)}, code(5), "immediate argument"},
      {173, nil, {fixed, si(1)}, ans(si(1)), "named slot of the argument"},
      {173, nil, {fixed, si(4)}, code(6), "past the class's named count"},
      {173, nil, {ctx, si(2)}, ans(si(-int64_t(nMethodCannotResumeEntry))), "dead hybrid context's pc"},
      {173, nil, {ctx, si(3)}, code(6), "past the context's named count"},
      {174, nil, {ctx, si(1), si(91)}, ans(si(91)), "store into a context"},
      {173, nil, {ctx, si(1)}, ans(si(91)), "reads it"},
      {174, nil, {frozen, si(1), si(1)}, code(6), "Array class has no named slots"},
      {174, nil, {si(1), si(1), si(1)}, code(5), "immediate argument"},
  };
  return rows;
}

std::vector<PrimCase> byteAndUnitCases() {
  std::vector<PrimCase> rows;
  // Byte objects with 0-7 odd bytes: the data size bounds every access.
  for (uint32_t n = 8; n <= 16; n++) {
    std::vector<uint8_t> data(n);
    for (uint32_t i = 0; i < n; i++) data[i] = uint8_t(200 + i);
    oop b = oldBytes(classIndexByteArray, data);
    std::string w = std::to_string(n) + " bytes";
    rows.push_back({60, b, {si(n)}, ans(si(200 + n - 1)), w + " last"});
    rows.push_back({60, b, {si(n + 1)}, code(6), w + " past the data"});
    rows.push_back({62, b, {}, ans(si(n)), w + " size"});
    rows.push_back({61, b, {si(n + 1), si(1)}, code(6), w + " store past the data"});
  }
  oop b = oldBytes(classIndexByteString, {'a', 'b', 200, 'c'});
  oop frozen = oldBytes(classIndexByteArray, {1, 2});
  setFlag(headerOf(frozen), isImmutableBit);
  oop wide = oldBytes(classIndexTwoByteString, {0x41, 0, 0x34, 0x12, 0xFF, 0xFF});
  oop big2009 = oopOf(allocSmallObj(classIndexByteArray, 0, 2009, 0, 0));  // size word, 7 odd bytes
  oop inLarge = oopOf(allocInLargeSpace(classIndexByteArray, 5000, 0, 0));
  oop inFixed = oopOf(allocVSObjInFixedSpace(classAt(classIndexByteArray), 100));
  oop nil = nilOop();
  rows.insert(rows.end(), {
      {61, b, {si(1), si(256)}, code(3), "256 is no byte"},
      {61, b, {si(1), si(-1)}, code(3), "-1 is no byte"},
      {61, b, {si(1), ch(65)}, code(3), "a Character is no byte"},
      {61, frozen, {si(1), si(255)}, code(23), "immutable"},
      {61, b, {si(9), si(256)}, code(6), "bad index and bad value: bounds first"},
      {61, b, {si(4), si(255)}, ans(si(255)), "store"},
      {60, b, {si(4)}, ans(si(255)), "reads it"},
      {62, big2009, {}, ans(si(2009)), "extended size word"},
      {61, big2009, {si(2009), si(7)}, ans(si(7)), "last byte of an extended body"},
      {60, big2009, {si(2010)}, code(6), "past it"},
      {61, inLarge, {si(5000), si(9)}, ans(si(9)), "large-space body"},
      {60, inLarge, {si(5000)}, ans(si(9)), "reads it"},
      {61, inFixed, {si(100), si(3)}, ans(si(3)), "fixed-space body"},
      {420, inFixed, {si(100)}, ans(si(3)), "reads it"},
      {63, b, {si(3)}, ans(ch(200)), "byte as Character"},
      {63, b, {si(5)}, code(6), "past the data"},
      {63, b, {nil}, code(3), "nil index"},
      {342, b, {si(1)}, ans(ch('a')), "ASCII"},
      {342, b, {si(3)}, code(0), "byte of 128 or more"},
      {64, b, {si(2), ch(256)}, code(3), "code 256"},
      {64, b, {si(9), ch(256)}, code(6), "index tested before the value"},
      {64, b, {si(2), ch(255)}, ans(ch(255)), "code 255"},
      {64, frozen, {si(1), ch(1)}, code(23), "immutable"},
      {343, b, {si(2), ch(128)}, code(3), "code 128"},
      {343, b, {si(0), ch(128)}, code(6), "bounds first"},
      {343, frozen, {si(1), ch(200)}, code(3), "value before immutability"},
      {343, b, {si(2), ch(127)}, ans(ch(127)), "code 127"},
      {63, b, {si(2)}, ans(ch(127)), "reads it"},
      {420, b, {si(0)}, code(6), "index 0"},
      {421, b, {si(5), si(300)}, code(6), "bounds first"},
      {421, b, {si(1), si(300)}, code(3), "300"},
      {421, frozen, {si(1), si(3)}, code(23), "immutable"},
      {421, b, {si(1), si(0)}, ans(si(0)), "0"},
      {420, b, {si(1)}, ans(si(0)), "reads it"},
      {412, wide, {si(2)}, ans(ch(0x1234)), "two-byte unit"},
      {412, wide, {si(4)}, code(6), "past the units"},
      {423, wide, {si(3)}, ans(si(65535)), "largest unit"},
      {423, wide, {ch(1)}, code(3), "Character index"},
      {413, wide, {si(1), ch(65536)}, code(3), "code 65536"},
      {413, wide, {si(4), ch(65536)}, code(6), "bounds first"},
      {413, wide, {si(1), ch(0xFFFF)}, ans(ch(0xFFFF)), "code 65535"},
      {423, wide, {si(1)}, ans(si(0xFFFF)), "reads it"},
      {424, wide, {nil, si(-1)}, code(3), "index kind first"},
      {424, wide, {si(4), si(-1)}, code(6), "then bounds"},
      {424, wide, {si(3), si(-1)}, code(3), "then the value"},
      {424, wide, {si(3), si(7)}, ans(si(7)), "store"},
      {412, wide, {si(3)}, ans(ch(7)), "reads it"},
      {62, wide, {}, ans(si(6)), "basic size counts bytes"},
      {410, ch(0x263A), {}, ans(si(0x263A)), "Character value"},
      {411, nil, {si(0x10FFFF)}, ans(ch(0x10FFFF)), "Character of a code"},
      {411, nil, {si(uint64_t(1) << 40)}, ans(ch(uint64_t(1) << 40)), "no upper bound"},
      {411, nil, {si(-1)}, code(3), "negative"},
      {411, nil, {ch(1)}, code(3), "not a SmallInteger"},
      {534, b, {}, ans(falseOop()), "always false"},
  });
  return rows;
}

std::vector<PrimCase> byteOffsetCases() {
  // 16 bytes: offsets at the last w-1 positions of each width.
  std::vector<uint8_t> data(16);
  for (int i = 0; i < 16; i++) data[i] = uint8_t(0xF0 + i);
  oop b = oldBytes(classIndexByteArray, data);
  oop odd = oldBytes(classIndexByteArray, std::vector<uint8_t>(13, 0));  // 3 odd bytes
  oop frozen = oldBytes(classIndexByteArray, std::vector<uint8_t>(8, 0));
  setFlag(headerOf(frozen), isImmutableBit);
  oop nil = nilOop();
  auto le = [&](int from, int w) {
    uint64_t v = 0;
    for (int k = w - 1; k >= 0; k--) v = (v << 8) | data[size_t(from - 1 + k)];
    return v;
  };
  std::vector<PrimCase> rows;
  struct Width { uint32_t unsignedRead, signedRead; int w; };
  for (Width wd : {Width{540, 542, 2}, Width{544, 546, 4}, Width{552, 554, 8}}) {
    int w = wd.w;
    int last = 16 - w + 1;
    uint64_t u = le(last, w);
    int64_t s = int64_t(u << (64 - 8 * w)) >> (64 - 8 * w);
    std::string n = std::to_string(w) + "-byte ";
    rows.push_back({wd.signedRead, b, {si(last)}, ans(fitsSmallInteger(s) ? si(s) : 0), n + "signed at the last offset"});
    if (w < 8) rows.push_back({wd.unsignedRead, b, {si(last)}, ans(si(int64_t(u))), n + "unsigned at the last offset"});
    for (int past = last + 1; past <= 16; past++)
      rows.push_back({wd.unsignedRead, b, {si(past)}, code(6), n + "offset " + std::to_string(past)});
    rows.push_back({wd.unsignedRead, odd, {si(13 - w + 2)}, code(6), n + "into the odd bytes"});
    rows.push_back({wd.signedRead, b, {si(0)}, code(6), n + "offset 0"});
    rows.push_back({wd.signedRead, b, {ch(1)}, code(3), n + "Character offset"});
  }
  rows.insert(rows.end(), {
      {541, b, {si(15), si(65535)}, ans(si(65535)), "u16 at the last offset"},
      {540, b, {si(15)}, ans(si(65535)), "reads it"},
      {541, b, {si(16), si(65536)}, code(3), "value tested with the index, before bounds"},
      {541, b, {si(16), si(1)}, code(6), "then bounds"},
      {541, frozen, {si(1), si(1)}, code(23), "then immutability"},
      {543, b, {si(2), si(-32768)}, ans(si(-32768)), "s16 minimum"},
      {542, b, {si(2)}, ans(si(-32768)), "reads it"},
      {543, b, {si(2), si(32768)}, code(3), "s16 overflow"},
      {545, b, {si(13), si(0xFFFFFFFF)}, ans(si(0xFFFFFFFF)), "u32 maximum"},
      {544, b, {si(13)}, ans(si(0xFFFFFFFF)), "reads it"},
      {546, b, {si(13)}, ans(si(-1)), "as signed"},
      {545, b, {si(1), si(-1)}, code(3), "u32 negative"},
      {547, b, {si(1), si(-2147483648LL)}, ans(si(-2147483648LL)), "s32 minimum"},
      {546, b, {si(1)}, ans(si(-2147483648LL)), "reads it"},
      {547, b, {si(1), si(2147483648LL)}, code(3), "s32 overflow"},
      {555, b, {si(9), si(little)}, ans(si(little)), "s64 SmallInteger minimum"},
      {554, b, {si(9)}, ans(si(little)), "reads it"},
      {553, b, {si(9), si(-1)}, code(3), "u64 negative"},
      {553, b, {si(9), nil}, code(3), "u64 nil"},
      {555, frozen, {si(1), nil}, code(3), "bad value before immutability"},
  });
  return rows;
}

std::vector<PrimCase> searchAndTableCases() {
  oop nil = nilOop();
  oop s = oldBytes(classIndexByteString, {'a', 'b', 'c', 'b', 'a'});
  oop sym = oldBytes(21, {'a', 'b', 'c', 'b', 'a'});
  oop t = oldBytes(classIndexByteString, {'a', 'b', 'd'});
  oop w = oldBytes(classIndexTwoByteString, {'a', 0, 0x34, 0x12, 'a', 0});
  oop w2 = oldBytes(classIndexTwoByteSymbol, {'a', 0, 0x35, 0x12});
  oop bytes = oldBytes(classIndexByteArray, {1, 2});
  oop chars1 = oldSlots(classIndexArray, 0, {ch('a'), ch('b')});
  oop chars2 = oldSlots(classIndexArray, 0, {ch('a'), ch('c'), ch('z')});
  oop notChars = oldSlots(classIndexArray, 0, {si(1)});
  oop mixed = oldSlots(classIndexArray, 0, {ch('a'), si(2)});
  oop arr = oldSlots(classIndexArray, 0, {si(1), si(2), si(1), si(3)});
  oop emptyArr = oldSlots(classIndexArray, 0, {});
  oop frozenArr = oldSlots(classIndexArray, 0, {si(1)});
  setFlag(headerOf(frozenArr), isImmutableBit);
  oop page = oldBytes(classIndexByteArray, std::vector<uint8_t>(512, 0));
  reinterpret_cast<uint16_t*>(bodyOf(headerOf(page)))[255] = 4242;
  oop shortPage = oldBytes(classIndexByteArray, std::vector<uint8_t>(510, 0));
  uint32_t tableClass = newTestClass(formatPointers | formatIndexable | 1);
  oop table = oldSlots(tableClass, 1, {falseOop(), page, nil, shortPage});
  oop lockedTable = oldSlots(tableClass, 1, {trueOop(), page});
  oop frozenPage = oldBytes(classIndexByteArray, std::vector<uint8_t>(512, 0));
  setFlag(headerOf(frozenPage), isImmutableBit);
  oop tableFrozen = oldSlots(tableClass, 1, {falseOop(), frozenPage});
  std::vector<uint8_t> long128(128, 'x'), long129(129, 'x');
  oop sym128 = oldBytes(21, long128);
  oop symbols = oldSlots(classIndexArray, 0, {si(1), s, sym, w2, sym128});
  std::vector<uint8_t> wide128, wide129;
  for (int i = 0; i < 129; i++) wide129.insert(wide129.end(), {'x', 0});
  wide128.assign(wide129.begin(), wide129.end() - 2);
  std::vector<PrimCase> rows = {
      {418, s, {ch('b'), si(1), si(5)}, ans(si(2)), "forward"},
      {419, s, {ch('b'), si(5), si(1)}, ans(si(4)), "backward"},
      {418, s, {ch('b'), si(3), si(3)}, ans(nil), "single position without it"},
      {418, s, {ch('b'), si(4), si(3)}, ans(nil), "end below the beginning"},
      {419, s, {ch('b'), si(3), si(4)}, ans(nil), "beginning below the end"},
      {418, s, {ch('b'), si(0), si(5)}, code(6), "beginning 0"},
      {418, s, {ch('b'), si(1), si(6)}, code(6), "end past the size"},
      {419, s, {ch('b'), si(6), si(1)}, code(6), "backward beginning past the size"},
      {418, s, {ch(200), si(1), si(5)}, code(3), "code 200"},
      {418, s, {si(98), si(1), si(5)}, code(3), "not a Character"},
      {418, s, {ch('b'), nil, si(5)}, code(3), "nil beginning"},
      {344, w, {ch(0x1234), si(1), si(3)}, ans(si(2)), "two-byte forward"},
      {345, w, {ch('a'), si(3), si(1)}, ans(si(3)), "two-byte backward"},
      {344, w, {ch(70000), nil, nil}, ans(nil), "code above 65535 before the indices"},
      {344, w, {ch('a'), si(1), si(4)}, code(6), "past the units"},
      {417, s, {t}, ans(si(-1)), "c < d"},
      {417, t, {s}, ans(si(1)), "d > c"},
      {417, s, {sym}, ans(si(0)), "ByteSymbol accesses like ByteString"},
      {417, t, {oldBytes(classIndexByteString, {'a', 'b'})}, ans(si(1)), "longer"},
      {417, w, {w2}, ans(si(-1)), "two-byte codes unsigned"},
      {417, chars1, {chars2}, ans(si(-1)), "Arrays of Characters"},
      {417, chars2, {chars1}, ans(si(1)), "first difference decides"},
      {417, notChars, {chars1}, code(4), "receiver element not a Character"},
      {417, chars1, {mixed}, code(3), "argument element not a Character at the difference"},
      {417, bytes, {bytes}, code(4), "ByteArray"},
      {417, si(1), {s}, code(4), "immediate receiver"},
      {417, s, {si(1)}, code(3), "immediate argument"},
      {417, s, {w}, code(3), "other access class"},
      {223, s, {sym}, code(3), "other class index"},
      {223, s, {oldBytes(classIndexByteString, {'a', 'b', 'c', 'b', 'a'})}, ans(trueOop()), "equal"},
      {223, s, {t}, ans(falseOop()), "different"},
      {223, s, {nil}, code(3), "immediate"},
      {422, arr, {si(1), si(9), si(4), si(1)}, ans(si(3)), "downward scan finds the last"},
      {60, arr, {si(3)}, ans(si(9)), "it was replaced"},
      {422, arr, {si(1), si(1), si(1), si(4)}, ans(si(1)), "same object: answered, not stored"},
      {422, arr, {si(7), si(8), si(1), si(4)}, ans(si(0)), "none"},
      {422, arr, {si(1), si(8), si(0), si(4)}, code(6), "first 0"},
      {422, arr, {si(1), si(8), nil, si(4)}, code(3), "nil first"},
      {422, emptyArr, {si(1), si(8), si(1), si(0)}, ans(si(0)), "empty with 1 to 0"},
      {422, emptyArr, {si(1), si(8), si(2), si(0)}, code(6), "empty with 2 to 0"},
      {422, frozenArr, {si(1), si(8), si(1), si(1)}, code(23), "immutable"},
      {425, table, {si(256)}, ans(si(4242)), "entry 255 of page 0"},
      {425, table, {si(257)}, ans(si(0)), "absent page"},
      {425, table, {si(513)}, code(4), "page of the wrong size"},
      {425, table, {si(769)}, code(6), "page slot past the body"},
      {425, table, {si(0)}, code(6), "index 0"},
      {425, table, {ch(1)}, code(3), "Character index"},
      {426, table, {si(1), si(65535)}, ans(si(65535)), "store"},
      {425, table, {si(1)}, ans(si(65535)), "reads it"},
      {426, table, {si(1), si(65536)}, code(3), "value too large"},
      {426, table, {si(300), si(1)}, nilError(), "absent page fails with nil"},
      {426, lockedTable, {si(1), si(1)}, nilError(), "first named slot not false"},
      {426, table, {si(513), si(1)}, code(4), "bad page"},
      {426, tableFrozen, {si(1), si(1)}, code(23), "immutable page"},
      {432, symbols, {s}, ans(sym), "ByteString finds the ByteSymbol"},
      {432, symbols, {w}, ans(nil), "wide key: no TwoByteSymbol equal"},
      {432, symbols, {oldBytes(classIndexTwoByteString, {'a', 0, 0x35, 0x12})}, ans(w2), "TwoByteSymbol"},
      {432, symbols, {oldBytes(classIndexTwoByteString, wide128)}, ans(sym128), "128 narrow codes"},
      {432, symbols, {oldBytes(classIndexTwoByteString, wide129)}, code(3), "129 narrow codes"},
      {432, symbols, {bytes}, code(3), "ByteArray key"},
      {432, symbols, {si(1)}, code(3), "immediate key"},
  };
  return rows;
}

std::vector<PrimCase> rangeCopyFailureCases() {
  oop five = oldBytes(classIndexByteString, {1, 2, 3, 4, 5});
  oop emptyStr = oldBytes(classIndexByteString, {});
  oop frozen = oldBytes(classIndexByteString, {9, 9});
  setFlag(headerOf(frozen), isImmutableBit);
  oop other = oldBytes(classIndexByteArray, {1, 2, 3, 4, 5});
  oop goodMap = oldBytes(classIndexByteArray, std::vector<uint8_t>(512, 0));
  oop shortMap = oldBytes(classIndexByteArray, std::vector<uint8_t>(510, 0));
  oop wide = oldBytes(classIndexTwoByteString, {1, 0, 2, 0, 3, 0});
  oop wideFrozen = oldBytes(classIndexTwoByteString, {1, 0, 2, 0});
  setFlag(headerOf(wideFrozen), isImmutableBit);
  oop arr = oldSlots(classIndexArray, 0, {si(1), si(2), si(3)});
  oop arrFrozen = oldSlots(classIndexArray, 0, {si(1)});
  setFlag(headerOf(arrFrozen), isImmutableBit);
  oop nil = nilOop();
  std::vector<PrimCase> rows = {
      {105, five, {si(1), si(0), emptyStr, si(1)}, code(0), "empty copy from an empty source"},
      {105, frozen, {si(3), si(2), five, si(5)}, ans(frozen), "empty copy, source position inside"},
      {105, frozen, {si(3), si(2), five, si(6)}, code(0), "source position past the source"},
      {105, frozen, {si(1), si(1), five, si(1)}, code(0), "immutable"},
      {105, five, {si(1), si(2), other, si(1)}, code(0), "other class"},
      {105, five, {si(0), si(2), five, si(1)}, code(0), "start 0"},
      {105, five, {si(4), si(6), five, si(1)}, code(0), "stop past the receiver"},
      {105, five, {si(1), si(3), five, si(4)}, code(0), "source too short"},
      {105, five, {si(3), si(1), five, si(1)}, code(0), "negative count"},
      {105, five, {si(1), si(1), five, nil}, code(0), "nil source start"},
      {105, five, {si(1), si(1), si(1), si(1)}, code(0), "immediate source"},
      {559, five, {si(1), si(2), other, si(4)}, ans(five), "559 takes any byte source"},
      {559, five, {si(1), si(2), arr, si(1)}, code(0), "but not pointers"},
      {558, five, {si(1), si(2), five, si(1), shortMap}, code(0), "map of 510 bytes"},
      {558, five, {si(1), si(2), five, si(1), arr}, code(0), "map with pointers"},
      {558, frozen, {si(1), si(1), five, si(1), goodMap}, code(0), "immutable"},
      {414, wide, {si(1), si(2), wideFrozen, si(1)}, ans(wide), "two-byte copy"},
      {414, wide, {si(1), si(2), wideFrozen, si(2)}, code(3), "source too short"},
      {414, wide, {si(2), si(1), wideFrozen, si(3)}, ans(wide), "empty copy asks nothing of the source"},
      {414, wide, {si(1), si(0), wideFrozen, si(1)}, code(3), "stop 0"},
      {414, wide, {si(0), si(1), wide, si(1)}, code(3), "start 0"},
      {414, wide, {si(3), si(4), wide, si(1)}, code(3), "stop past the receiver"},
      {414, wide, {si(1), si(1), five, si(1)}, code(3), "other class"},
      {414, wideFrozen, {si(1), si(1), wide, si(1)}, code(23), "immutable"},
      {414, wideFrozen, {si(2), si(1), wide, si(1)}, ans(wideFrozen), "empty copy into immutable"},
      {450, arr, {si(1), si(2), arrFrozen, si(1)}, code(6), "source too short"},
      {450, arr, {si(1), si(0), arrFrozen, si(2)}, code(6), "source position must lie inside"},
      {450, arr, {si(1), si(1), five, si(1)}, code(3), "other class"},
      {450, arr, {nil, si(1), arr, si(1)}, code(3), "nil start"},
      {450, arrFrozen, {si(1), si(1), arr, si(1)}, code(23), "immutable"},
      {450, arrFrozen, {si(2), si(1), arr, si(1)}, ans(arrFrozen), "empty copy into immutable"},
  };
  return rows;
}
